// What a stream's codec data (the type-specific bytes of its MDPR) says about
// its packets: what kind of stream it is, what a sound packet looks like, and
// how much time one packet, frame or interleaving block covers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

enum class CodecKind : uint8_t { Unknown, Video, Audio, Logical };

struct Codec {
  CodecKind kind = CodecKind::Unknown;
  uint32_t fourcc = 0;  // RV40, cook, dnet, raac, ... (big-endian ASCII)
  uint32_t fps = 0;     // video: frames per second, 16.16 fixed point

  // Audio: the .ra header (versions 3, 4 and 5).
  uint16_t ra_version = 0;
  uint32_t interleaver = 0;  // genr, sipr, Int4, Int0, vbrs, vbrf
  uint16_t flavor = 0;
  uint32_t coded_frame_size = 0, bytes_per_minute = 0;
  uint16_t sub_packet_h = 0, frame_size = 0, sub_packet_size = 0;
  uint16_t sample_rate = 0, channels = 0;

  // RealVideo 3 and 4 frames carry their own timestamps: moving a
  // packet's time on without them breaks the decoder's clock.
  bool own_clock() const;
  // False when `data` (n bytes) cannot open a slice of this video stream in
  // a packet stamped `ts`.
  bool slice_fits(const uint8_t* data, size_t n, uint32_t ts) const;
  // Packets of an interleaved stream carry one timestamp per block of
  // sub_packet_h packets; only the first of a block is flagged.
  bool interleaved() const;
  // The payload every packet of the stream has, or 0 where it varies.
  uint32_t fixed_payload() const;
  // One video frame, or one interleaving block, in ms; 0 when unknown.
  uint32_t frame_ms() const;
  uint32_t block_ms() const;
  // The time a payload of n bytes covers, in ms, where the codec says so
  // (AAC frames, constant-rate audio); 0 when unknown. `head` holds its
  // first head_len bytes.
  uint32_t packet_ms(const uint8_t* head, size_t head_len, size_t n) const;
  // False when an audio payload of n bytes, `head` holding its first
  // head_len, cannot belong to this stream: the wrong size or layout. A
  // video payload is checked by its sub-packets (read_video_payload).
  bool payload_fits(const uint8_t* head, size_t head_len, size_t n) const;
};

// Reads type-specific data; false when it is not what its tag says (then
// `c` says as much as could be read).
bool read_codec(const uint8_t* data, size_t n, Codec& c);

// A RealVideo payload is a run of sub-packets, each with its own header: a
// slice of a frame, a whole frame, or several whole frames one after
// another. A slice that ends a frame can only come first, one that starts
// or continues a frame only last (it takes the rest of the payload).
struct VideoSlice {
  uint8_t picture = 0;
  uint32_t frame = 0;   // the frame's length
  uint32_t offset = 0;  // where this slice lies in it
  uint32_t length = 0;
};
struct VideoPayload {
  bool has_head = false;  // its first part is a slice
  VideoSlice head;
  uint32_t whole = 0;     // whole frames after it
  bool has_tail = false;  // a slice after those, leaving a frame open
  VideoSlice tail;
  // Its first part begins a frame (what an index points at).
  bool frame_start() const { return !has_head || head.offset == 0; }
};
// False unless the sub-packets' sizes add up to the n bytes of `p` exactly
// and, where `c` is given, each opens a slice of that stream at `ts`.
// `frames`, where given, gets where each frame that begins in it begins.
bool read_video_payload(const uint8_t* p, size_t n, VideoPayload& v, const Codec* c = nullptr,
                        uint32_t ts = 0, std::vector<uint32_t>* frames = nullptr);

constexpr uint32_t fourcc(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 |
         uint8_t(s[3]);
}
