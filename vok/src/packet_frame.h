// Packet framing: where packets are in a byte stream that has no sync marker
// and no checksum. A header counts as a packet's when its fields are
// plausible and the packets after it chain; what a packet holds, and whether
// it belongs to its stream, is looked at here only as far as the payload's
// own layout tells (the admission and the units judge the rest).
#pragma once
#include <cstdint>
#include <vector>

#include "codec.h"
#include "reader.h"
#include "rm_headers.h"

namespace tail {
constexpr uint64_t kTrailerBytes = 8;       // FFmpeg's zeros after the last packet
constexpr uint32_t kTrailerDataSlack = 18;  // and how much more than it holds its DATA size says
}  // namespace tail

// How far a packet's timestamp may stray from its stream's: back by a
// B-frame reorder, ahead of the file's clock by what interleaving leads.
namespace timing {
constexpr uint32_t kReorderMs = 1000, kLeadMs = 30000;
}  // namespace timing

struct Packet {
  uint64_t offset = 0;
  uint16_t length = 0;  // the whole packet, header included
  uint8_t header = 12;  // 12 for version 0, 13 for version 1
  uint16_t number = 0;  // the stream number it carries
  int stream = -1;      // index into Headers::streams; -1: no stream has its number
  uint32_t ts = 0;      // shifted by `shift` where a second file was joined
  uint32_t shift = 0;
  uint8_t flags = 0;
  uint32_t span = 0;   // the time its payload covers, where the codec says
  VideoPayload video;  // the sub-packets of a RealVideo payload
  // Its payload proves its length: RealVideo 3 or 4 sub-packets that add up,
  // each opening with a slice header of its time; an interleaved audio
  // packet of its block's exact size. Damage right after such a packet
  // did not reach into it, unless a copy found there began inside it.
  bool proven = false;

  bool keyframe() const { return flags & 2; }
};

// Good: a packet of its stream. Misfit: of a stream, but its payload is not
// what that stream carries (a flipped stream number, a payload cut by zero
// fill). Stray: a plausible header whose stream number no stream has.
// Truncated: it runs past the end of the file, or into a zero-filled tail.
enum class Shape : uint8_t { Bad, Good, Misfit, Stray, Truncated };

enum class Chunk : uint8_t { None, Data, File, Index, Other };

class Framer {
 public:
  Framer(Reader& in, const Headers& h);

  // What lies at `q`; `p` is filled as far as the header goes. The last
  // offset looked at is remembered: the scan looks at each packet first as
  // the successor of the one before.
  Shape look(uint64_t q, Packet& p);
  // True when the bytes at `s` can follow a packet: the end, a chunk, a
  // writer's trailer, or packets that chain `depth` deep.
  bool chains(uint64_t s, int depth);
  // The first place from `from` where three packets in a row chain, or a
  // chunk that ends the packets; else where the packets end.
  uint64_t resync(uint64_t from);
  Chunk chunk_at(uint64_t q);
  // A writer's zero bytes before a chunk (a second file, an index).
  bool trailer_at(uint64_t q);

  uint64_t end() const { return end_; }
  // Where the file's trailing zeros start: a pre-allocated download.
  uint64_t zeros() const { return zeros_; }
  // Packets of a joined second file have their times moved on by this.
  void shift_by(uint32_t shift) { shift_ = shift; }

 private:
  Shape read(uint64_t q, Packet& p);
  bool resumes_at(uint64_t q);
  size_t next_candidate(const uint8_t* p, size_t i, size_t n) const;
  uint64_t zero_tail_start(uint64_t from);

  Reader& in_;
  const Headers& h_;
  int stream_of(uint16_t number) const;
  std::vector<std::pair<uint16_t, int16_t>> numbers_;  // of the physical streams, with their index
  uint64_t end_ = 0, zeros_ = 0;
  uint32_t shift_ = 0;
  uint64_t memo_at_ = UINT64_MAX;
  uint32_t memo_shift_ = 0;
  Packet memo_;
  Shape memo_shape_ = Shape::Bad;
};

// A packet header as it can be with no headers to check it against: version
// 0 or 1, a payload, a small stream number, no unknown flags.
bool headless_plausible(const uint8_t* b);

// Where packets seem to start in a file whose headers are gone: the first
// place at or after `from` from which a run of packets chains, or UINT64_MAX.
uint64_t find_headless_packets(Reader& in, uint64_t from = 0);
