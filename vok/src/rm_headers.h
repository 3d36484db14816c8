// The header chunks of a RealMedia file, from `.RMF` up to the first DATA,
// read as a demuxer reads them: every field must fill its chunk exactly and
// a stream's type must match its codec data. What is damaged but can be
// rebuilt is mended on the way and named in `recovered`.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "codec.h"
#include "findings.h"
#include "reader.h"

// Field offsets from the start of their chunk.
namespace field {
constexpr uint32_t kRmfNumHeaders = 14, kRmfSize = 18;
constexpr uint32_t kPropMaxBitRate = 10, kPropAvgBitRate = 14, kPropMaxPacket = 18, kPropAvgPacket = 22,
                   kPropNumPackets = 26, kPropDuration = 30, kPropPreroll = 34, kPropIndexOffset = 38,
                   kPropDataOffset = 42, kPropNumStreams = 46, kPropFlags = 48, kPropSize = 50;
constexpr uint32_t kMdprNumber = 10, kMdprMaxBitRate = 12, kMdprAvgBitRate = 16, kMdprMaxPacket = 20,
                   kMdprAvgPacket = 24, kMdprPreroll = 32, kMdprDuration = 36, kMdprName = 40;
constexpr uint32_t kDataSize = 4, kDataNumPackets = 10, kDataNext = 14;
constexpr uint32_t kDataHeaderSize = 18;
constexpr uint16_t kPropFlagLive = 4;
}  // namespace field

struct Stream {
  uint64_t chunk = 0;  // offset of its MDPR
  uint16_t number = 0;
  bool physical = false;  // logical streams never carry packets
  bool video = false;
  bool rewrite = false;  // its MDPR is written anew: a lost name or type restored
  Codec codec;
  std::string name, mime;
  uint64_t codec_at = 0;  // its type-specific data
  uint32_t codec_len = 0;
  uint32_t preroll = 0;
};

struct Prop {
  uint64_t chunk = 0;
  bool found = false;  // else made anew from the packets
  uint32_t num_packets = 0, index_offset = 0, data_offset = 0;
  uint16_t num_streams = 0;
};

enum class ChunkKind : uint8_t { Prop, Mdpr, Cont, Other };

struct HeaderChunk {
  ChunkKind kind = ChunkKind::Other;
  uint64_t offset = 0;
  uint32_t size = 0;  // as it must be
  int stream = -1;    // an MDPR's index into Headers::streams
};

enum class HeaderProblem : uint8_t {
  None,
  NotRealMedia,
  RealAudio,     // a bare .ra stream
  StreamLost,    // the header of a stream is gone
  CodecDamaged,  // the codec data of stream `problem_at` is damaged
  DuplicateStream,
  NoStreams,
  Variant64,  // the 64-bit variant
};

struct Headers {
  uint64_t start = 0;               // where the file header is (or would be); junk before it is cut
  bool rmf_found = true;            // else written anew
  uint32_t num_headers = 0;         // as the file header says
  std::vector<HeaderChunk> chunks;  // between .RMF and DATA, in file order, lost ones left out
  Prop prop;
  bool cont_found = false;
  std::vector<Stream> streams;
  bool multirate = false;
  uint64_t data = 0;       // the first DATA chunk, or where its header would be
  bool data_found = true;  // else its header is rebuilt
  uint32_t data_size = 0, data_num_packets = 0, data_next = 0;
  uint64_t packets = 0;    // where the packets start
  bool head_lost = false;  // everything before the packets is gone (headers from a reference)
  std::vector<Finding> recovered;
  HeaderProblem problem = HeaderProblem::None;
  uint64_t problem_at = 0;

  // True when the header chunks stay as the writer made them.
  bool intact() const { return recovered.empty(); }
};

enum class HeaderVerdict { Ok, NotRealMedia, Damaged, Variant64 };

// Reads the headers of the file that starts at or after `from`.
HeaderVerdict read_headers(Reader& in, Headers& h, uint64_t from = 0);

// How many chunks follow the file header, counted the way the file's writer
// counted them: `headers` header chunks and `after` chunks after the packets
// (`after_was` in the file as it is).
uint32_t header_count(const Headers& h, size_t after_was, size_t headers, size_t after);

// The same streams, made the same way: numbers, names, types and codec
// data alike (`a` read from `in_a`, `b` from `in_b`).
bool same_making(Reader& in_a, const Headers& a, Reader& in_b, const Headers& b);

// Index into h.streams of the physical stream with this number, or -1.
int physical_stream(const Headers& h, uint16_t number);
