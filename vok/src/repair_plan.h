// What `-f` would change in a file, worked out from its headers and a packet
// scan before any byte is written. `--check` reports the same plan.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "packet_scan.h"
#include "rm_headers.h"

struct Patch {
  uint64_t offset = 0;
  uint8_t width = 4;  // 2 or 4 bytes
  uint32_t value = 0;
};

struct Trailing {
  bool valid = false;  // chunks after the packets tile the file to its end
  uint64_t first_index = 0;
  uint32_t chunks = 0, index_chunks = 0;
};

struct Plan {
  std::vector<std::string> found;            // what is wrong, for the summary line
  std::vector<Patch> patches;                // fields before the first DATA chunk
  uint32_t data_size = 0, data_packets = 0;  // the one DATA chunk written
  bool data_changed = false;
  bool removes_bytes = false;  // some bytes of the original are left out: back it up
  bool keep_trailer = false;   // a writer's 8 zero bytes after the last packet stay
  bool keep_trailing = false;  // the chunks after the packets stay as they are
  uint64_t output_size = 0;
  std::string refused;  // not empty: cannot be repaired safely
  Trailing trailing;

  bool changes() const { return removes_bytes || data_changed || !patches.empty(); }
};

Plan plan_repair(Reader& in, const Headers& h, const Scan& s);
Trailing read_trailing(Reader& in, uint64_t from);
