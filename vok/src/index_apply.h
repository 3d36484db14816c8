// `-i`: puts freshly built INDX chunks after the packets (after any chunk
// that is not an index), in place, in an order that leaves a playable file
// at every moment: until the last step the header says "no index".
#pragma once
#include <cstdint>
#include <vector>

#include "file_io.h"
#include "index_build.h"
#include "repair_plan.h"

struct IndexPlan {
  std::vector<uint8_t> chunks;  // placed at `at`; the file ends after them
  uint64_t at = 0;
  std::vector<Patch> unlink;  // first: the header stops pointing at any index
  std::vector<Patch> link;    // last: the header points at the new one
  bool changes = false;
  bool needs_repair = false;  // something only -f can mend
  bool read_error = false;
  Refusal refused = Refusal::None;
  size_t chunk_count = 0, record_count = 0;  // of the index the file ends up with
};

IndexPlan plan_index(Reader& in, const Headers& h, const Scan& s, const Plan& repair);
// False at the first write that fails; the file then plays but may have no
// index.
bool apply_index(const fileio::File& f, const IndexPlan& plan);
