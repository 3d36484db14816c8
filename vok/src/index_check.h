// The chunks that follow the packets, and whether the index among them can
// stay as its writer made it.
#pragma once
#include <cstdint>
#include <vector>

#include "packet_scan.h"
#include "reader.h"
#include "rm_headers.h"

struct IndexChunk {
  uint64_t offset = 0;
  uint64_t size = 0;  // counting its records, also where the size field does not
  uint16_t stream = 0;
  uint32_t records = 0, next = 0;
};

struct TrailingChunks {
  bool valid = false;  // whole chunks, one after another, to the end of the file
  uint64_t end = 0;    // where the whole chunks stop
  // What stops them is an index the end of the file cuts short: a write of
  // one that was interrupted, which -i may replace.
  bool index_cut = false;
  uint64_t second_file = 0;       // where a second file's header stops them, or 0
  std::vector<IndexChunk> index;  // the INDX chunks among them, in file order
  std::vector<Range> others;      // the chunks that are not an index
};

TrailingChunks read_trailing(Reader& in, uint64_t from);

// True when the index can stay: it is chained from its first chunk, every
// record points at the header of a kept packet of its stream and carries
// that packet's timestamp, records rise, a stream without packets has no
// records, and every stream with keyframes is indexed to near its end.
bool index_matches(Reader& in, const Headers& h, const Scan& s, const TrailingChunks& t);
