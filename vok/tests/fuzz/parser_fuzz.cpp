// Any bytes through the whole repair: no crash, no read outside the input,
// every write inside the file, and a repair that settles: vok looks at its
// result again and repairs that too, a few times at most.
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
  if (read_headers(in, h) != HeaderVerdict::Ok) return out;
  Scan s = scan_packets(in, h);
  Plan plan = plan_repair(in, h, s);
  IndexPlan ip = plan_index(in, h, s, plan);
  if (ip.refused == Refusal::None && !ip.needs_repair && ip.changes) {
    require(ip.at >= h.data + 18 && ip.at <= size);
    for (const Patch& p : ip.link) require(p.offset + p.width <= ip.at);
  }
  if (plan.refused != Refusal::None || !plan.changes || plan.read_error) return out;
  Sink sink(out);
  require(write_repaired(in, s, plan, sink));
  require(out.size() == plan.output_size);
  changed = true;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int kRounds = 3;  // as vok -f
  bool changed = false;
  std::vector<uint8_t> now = repair(data, size, changed);
  for (int round = 1; changed && round <= kRounds; ++round) {
    std::vector<uint8_t> next = repair(now.data(), now.size(), changed);
    require(!changed || round < kRounds);
    if (changed) now.swap(next);
  }
  return 0;
}
