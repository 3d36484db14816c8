// Any bytes through the whole repair: no crash, no read outside the input,
// every write inside the file, and a repaired file that needs no more repair.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "index_apply.h"
#include "index_build.h"
#include "packet_scan.h"
#include "reader.h"
#include "repair_plan.h"
#include "repair_write.h"
#include "rm_headers.h"

namespace {

void require(bool ok) {
  if (!ok) abort();
}

// Returns the repaired bytes; empty when nothing would change.
std::vector<uint8_t> repair(const uint8_t* data, size_t size, bool& changed) {
  std::vector<uint8_t> out;
  changed = false;
  Reader in(data, size);
  Headers h;
  std::string why;
  if (read_headers(in, h, why) != HeaderVerdict::Ok) return out;
  IndexBuilder index(h);
  Scan s = scan_packets(in, h, &index);
  Plan plan = plan_repair(in, h, s);
  for (const Patch& p : plan.patches) require(p.offset + p.width <= h.data);
  IndexPlan ip = plan_index(in, h, s, plan, index);
  if (ip.refused.empty()) {
    require(ip.at >= h.data + 18 && ip.at <= size);
    for (const Patch& p : ip.link) require(p.offset + p.width <= ip.at);
  }
  if (!plan.refused.empty() || !plan.changes()) return out;
  Sink sink(out);
  require(write_repaired(in, h, s, plan, sink));
  require(out.size() == plan.output_size);
  changed = true;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool changed = false;
  std::vector<uint8_t> once = repair(data, size, changed);
  if (changed) {
    repair(once.data(), once.size(), changed);
    require(!changed);
  }
  return 0;
}
