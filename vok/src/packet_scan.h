// Finds the media packets of a RealMedia file by chaining their lengths from
// the first DATA chunk, without trusting any size or count in the headers.
#pragma once
#include <cstdint>
#include <vector>

#include "reader.h"
#include "rm_headers.h"

struct Packet {
  uint64_t offset = 0;
  uint16_t length = 0;  // the whole packet, header included
  uint8_t header = 12;  // 12 for version 0, 13 for version 1
  int stream = -1;      // index into Headers::streams
  uint32_t ts = 0;
  uint8_t flags = 0;
  bool frame_start = true;  // false for a RealVideo slice after the first
  uint32_t span = 0;        // the time its payload covers, where the codec says
};

struct Range {
  uint64_t offset = 0, length = 0;
};

struct StreamStats {
  static constexpr uint32_t kSteps = 10001;  // steps longer than 10 s are gaps
  uint64_t packets = 0, payload = 0;
  std::vector<uint32_t> steps;  // how often each step between timestamps occurs
  uint32_t max_payload = 0, first_ts = 0, last_ts = 0, max_ts = 0;
  uint32_t max_key_ts = 0;      // the latest keyframe, or flagged audio packet (a block's start)
  bool keyed = false;
  uint32_t span_at_max = 0;     // what the packet with the largest timestamp covers
  uint64_t bucket_bytes = 0, max_bucket_bytes = 0;
  uint32_t bucket = 0;
  // The time one unit of the stream covers: a video frame, an interleaving
  // block, its last packet; else the usual step between its timestamps.
  uint32_t unit_ms(const Codec& c) const;
  // Where the stream ends, in ms: after its last frame or block.
  uint32_t end_ms(const Codec& c) const;
  uint32_t step_ms() const;
};

class IndexBuilder;

struct Scan {
  std::vector<Range> kept;           // runs of kept packets, in file order
  std::vector<Range> damaged;        // bytes skipped between kept packets
  std::vector<uint64_t> extra_data;  // DATA headers after the first
  std::vector<StreamStats> stats;    // parallel to Headers::streams
  uint64_t packets = 0, payload = 0, dropped = 0;
  uint64_t packet_bytes = 0;  // sum of kept packet lengths
  uint64_t end = 0;           // a chunk after the packets, or EOF
  uint64_t zeros = 0;         // where the file's trailing run of zero bytes starts
  uint64_t last_end = 0;      // first byte after the last kept packet
  bool chunk_after = false;   // a chunk (INDX or other) starts at `end`
  bool read_error = false;
};

// `index` may be null; when given it sees every kept packet in order.
Scan scan_packets(Reader& in, const Headers& h, IndexBuilder* index);
