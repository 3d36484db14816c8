// Any bytes through the whole repair (headers rebuilt where they are lost):
// no crash, no read outside the input, every write inside the file, and a
// repair that settles: vok looks at its result again and repairs that too,
// a few times at most.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "analysis.h"
#include "fix_transaction.h"
#include "header_rebuild.h"
#include "index_apply.h"
#include "output_sink.h"
#include "repair_write.h"

namespace {

void require(bool ok) {
  if (!ok) abort();
}

// The product's analysis of the bytes, and -i's plan; returns the repaired
// bytes, empty when nothing would change.
std::vector<uint8_t> repair(const uint8_t* data, size_t size, bool& changed, bool& settled) {
  std::vector<uint8_t> out;
  changed = false;
  settled = false;
  Reader in(data, size);
  Analysis a = analyse(in);
  // Headers lost: those the packets determine, as -f takes them.
  Rebuilt rb;
  std::unique_ptr<Reader> made;
  if (a.outcome == Outcome::Headers && rebuild_headers(in, rb)) {
    made.reset(new Reader(rb.file.data(), rb.file.size()));
    Lender lender;
    lender.in = made.get(), lender.name = rb.said, lender.rebuilt = true;
    a = analyse(in, lender);
    if (a.outcome == Outcome::Ok) require(a.referenced);
  }
  if (a.outcome != Outcome::Ok && a.verdict != HeaderVerdict::Ok) return out;
  IndexPlan ip = plan_index(in, a.h, a.scan, a.plan);
  if (ip.refused == Refusal::None && !ip.needs_repair && ip.changes) {
    require(ip.at >= a.h.data + 18 && ip.at <= size);
    for (const Patch& p : ip.link) require(p.offset + p.width <= ip.at);
  }
  if (a.outcome != Outcome::Ok || !a.plan.changes) return out;
  Sink sink(out);
  require(write_repaired(in, a.scan, a.plan, sink));
  require(out.size() == a.plan.output_size);
  changed = true;
  settled = a.scan.settled() && a.h.intact();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool changed = false, settled = false, again = false;
  std::vector<uint8_t> now = repair(data, size, changed, settled);
  for (int round = 1; changed && round <= kRepairRounds; ++round) {
    bool was_settled = settled;
    std::vector<uint8_t> next = repair(now.data(), now.size(), again, settled);
    // -f skips its second look after a settled scan: there must be nothing to find.
    require(!(was_settled && again));
    require(!again || round < kRepairRounds);
    changed = again;
    if (changed) now.swap(next);
  }
  return 0;
}
