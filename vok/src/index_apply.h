// `-i`: replaces whatever follows the packets with freshly built INDX chunks,
// in place, in an order that leaves a playable file at every moment.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "file_io.h"
#include "index_build.h"
#include "repair_plan.h"

struct IndexPlan {
  std::vector<uint8_t> chunks;  // placed right after the last packet
  uint64_t at = 0;
  std::vector<Patch> unlink;  // first: the header stops pointing at any index
  std::vector<Patch> link;    // last: the header points at the new one
  bool changes = false;
  size_t chunk_count = 0, record_count = 0;  // of the index the file ends up with
  std::string refused;
};

IndexPlan plan_index(Reader& in, const Headers& h, const Scan& s, const Plan& repair,
                     const IndexBuilder& index);
bool apply_index(const fileio::File& f, const IndexPlan& plan);
