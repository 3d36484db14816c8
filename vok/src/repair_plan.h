// What `-f` would write, worked out from the headers and a packet scan
// before any byte is written: the header chunks as they must be, one DATA
// chunk with every kept packet, and what may stay after it. `--check`
// reports the same plan.
#pragma once
#include <cstdint>
#include <vector>

#include "findings.h"
#include "index_check.h"
#include "packet_scan.h"
#include "rm_headers.h"

struct Patch {
  uint64_t offset = 0;
  uint8_t width = 4;  // 2 or 4 bytes
  uint32_t value = 0;
};

enum class Refusal : uint8_t { None, NoPackets, NothingWhole, Multirate, TooLarge };

// A large chunk among the headers that vok does not know goes from the file
// to the file written without passing through memory: at `at` in the head's
// bytes, `length` bytes of the original from `from`.
struct HeadGap {
  size_t at = 0;
  uint64_t from = 0, length = 0;
};

struct Plan {
  std::vector<Finding> found;                // what is wrong, for the summary line
  std::vector<uint8_t> head;                 // the file header and header chunks, as written
  std::vector<HeadGap> head_gaps;            // with these copied in
  uint32_t data_size = 0, data_packets = 0;  // the one DATA chunk written
  bool removes_bytes = false;                // some bytes of the original are left out: back it up
  bool keep_trailer = false;                 // a writer's zero bytes after the last packet stay
  bool keep_trailing = false;                // the chunks after the packets stay as they are
  bool keep_others = false;                  // of those, the ones that are no index stay
  bool index_kept = false;                   // among them an index that checks out
  bool index_only = true;                    // every change is one that -i makes itself
  bool changes = false;                      // the file written would differ from the original
  uint64_t output_size = 0;
  Refusal refused = Refusal::None;
  bool read_error = false;
  TrailingChunks trailing;
};

// `head_src` holds the header chunks `h` describes when they come from a
// reference file; else they are the file's own.
Plan plan_repair(Reader& in, const Headers& h, const Scan& s, Reader* head_src = nullptr);
