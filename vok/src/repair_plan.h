// What `-f` would change in a file, worked out from its headers and a packet
// scan before any byte is written. `--check` reports the same plan.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "index_check.h"
#include "packet_scan.h"
#include "rm_headers.h"

struct Patch {
  uint64_t offset = 0;
  uint8_t width = 4;  // 2 or 4 bytes
  uint32_t value = 0;
};

struct Plan {
  std::vector<std::string> found;            // what is wrong, for the summary line
  std::vector<Patch> patches;                // fields before the first DATA chunk
  uint32_t data_size = 0, data_packets = 0;  // the one DATA chunk written
  bool data_changed = false;
  bool removes_bytes = false;  // some bytes of the original are left out: back it up
  bool keep_trailer = false;   // a writer's 8 zero bytes after the last packet stay
  bool keep_trailing = false;  // the chunks after the packets stay as they are
  bool index_kept = false;     // among them an index that checks out
  bool index_only = true;      // every change is one that -i makes itself
  uint64_t output_size = 0;
  std::string refused;  // not empty: cannot be repaired safely
  TrailingChunks trailing;

  bool changes() const { return removes_bytes || data_changed || !patches.empty(); }
};

Plan plan_repair(Reader& in, const Headers& h, const Scan& s);
