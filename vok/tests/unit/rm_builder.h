// Small, finalised RealMedia files made in memory: a RealVideo stream 0 at
// 25 frames a second with a keyframe every 12 frames, and an audio stream 1
// with every packet flagged, as an encoder writes them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct BuiltPacket {
  uint64_t offset;
  uint16_t length;
  uint16_t stream;
  uint32_t ts;
  uint8_t flags;
  int unit = -1;  // the frame or audio block it holds a part of, where the builder knows
};

struct BuiltFile {
  std::vector<uint8_t> bytes;
  std::vector<BuiltPacket> packets;
  uint64_t prop = 0, cont = 0, data = 0, mdpr[2] = {0, 0};
};

struct BuildOptions {
  int seconds = 8;
  bool trailer = false;      // a writer's 18-too-large DATA size and 8 zero bytes
  bool version1 = false;     // 13-byte packet headers
  std::string logical_mime;  // an extra logical MDPR, when not empty
  std::string audio_mime = "audio/x-pn-realaudio";
};

BuiltFile build_rm(const BuildOptions& o = BuildOptions());

// Files of any codec, packet by packet.
using Bytes = std::vector<uint8_t>;
struct CustomStream {
  uint16_t number;
  std::string mime;
  Bytes codec;  // type-specific data
};
struct CustomPacket {
  uint16_t stream;
  uint32_t ts;
  uint8_t flags;
  Bytes payload;
  int unit = -1;
};
// Finalised: counts, sizes and durations as a careful writer leaves them,
// durations `stream_ms` per stream in order.
BuiltFile build_custom(const std::vector<CustomStream>& streams, const std::vector<CustomPacket>& packets,
                       const std::vector<uint32_t>& stream_ms);

// A version 5 .ra header laid out as RealProducer writes it; the defaults
// are those of a 44.1 kHz mono cook stream with genr interleaving.
struct Ra5 {
  uint16_t flavor = 16;
  uint32_t coded_frame_size = 651, bytes_per_minute = 240311;
  uint16_t sub_packet_h = 14, frame_size = 651, sub_packet_size = 93;
  uint16_t sample_rate = 44100, channels = 1;
  const char* interleaver = "genr";
  const char* fourcc = "cook";
  Bytes extradata = {0x01, 0x00, 0x00, 0x02, 0x04, 0x00, 0x00, 0x2F};
};
Bytes ra5_header(const Ra5& r = Ra5());
// A VIDO header: codec and frames per second (16.16).
Bytes vido_header(const char* fourcc, uint32_t fps);
// RealVideo payloads as Helix Producer lays them out: a frame that fits in
// `max_payload` goes whole into one packet (a packed frame, its time in the
// sub-header); a larger one is cut into slices, one a packet, the last one
// saying its own length. Each slice opens with the codec's slice header
// (RealVideo 4's, or 3's), its time the frame's.
std::vector<Bytes> rv_frame(uint32_t frame_len, uint8_t picture, uint32_t ts, bool rv40,
                            size_t max_payload = 1380);
// Several whole frames packed into one payload: {length, time} each.
Bytes rv_packed(const std::vector<std::pair<uint32_t, uint32_t>>& frames, uint8_t picture, bool rv40);

// Helix Producer 11's own codec data: RealVideo 3 at 176x144, 15 frames a
// second, and cook at 22 kHz mono, blocks of 9 packets of 600 bytes.
Bytes helix_rv30_vido();
Bytes helix_cook_ra5();
// A file as Helix Producer writes it: RealVideo 3 (stream 0) at 80 ms a
// frame, a keyframe every `gop` frames in 2 slices, then 3, the frames between
// packed one to a packet; cook (stream 1), every packet of a block stamped
// with its own time, only the first flagged; packets in time order. With
// `silence`, every packet of a block is the same and all share the block's
// time, as RealProducer writes a silent passage; with `shared`, they share
// it but differ, as RealProducer stamps sound.
BuiltFile build_helix(int frames = 60, int gop = 30, bool silence = false, bool shared = false);

// A RealVideo 4 slice header as an encoder codes it: a keyframe's names its
// size by the standard codes `w` and `h` (5 and 5: 640x480), another says
// the size stays; the slice starts at the first macroblock of 640x480.
Bytes rv40_slice_header(bool key, uint32_t pts, uint32_t w, uint32_t h);
// RealVideo 4 at 25 frames a second, a keyframe every tenth, the last
// keyframe coded at `last_w` by `last_h`; whole frames, a keyframe alone in
// its packet, the others `packed` to a packet.
BuiltFile build_rv40(uint32_t last_w = 5, uint32_t last_h = 5, int packed = 1);

uint32_t get32(const std::vector<uint8_t>& b, uint64_t at);
void put32(std::vector<uint8_t>& b, uint64_t at, uint32_t v);
