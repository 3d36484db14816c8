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
};

struct Range {
  uint64_t offset = 0, length = 0;
};

struct StreamStats {
  static constexpr uint32_t kSteps = 1001;  // steps longer than a second are gaps
  uint64_t packets = 0, payload = 0;
  std::vector<uint32_t> steps;  // how often each step between timestamps occurs
  uint32_t max_payload = 0, first_ts = 0, last_ts = 0, max_ts = 0;
  uint64_t bucket_bytes = 0, max_bucket_bytes = 0;
  uint32_t bucket = 0;
  // Expected end of the stream in ms: the last timestamp plus one frame.
  uint32_t end_ms() const;
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
