// The product's analysis, and the write of its plan, on bytes in memory.
#pragma once
#include <vector>

#include "analysis.h"
#include "repair_write.h"

struct Pipeline {
  HeaderVerdict verdict = HeaderVerdict::NotRealMedia;
  Headers h;
  Scan s;
  Plan plan;
  std::vector<uint8_t> out;  // the repaired file, when the plan changes anything
};

inline Pipeline run_pipeline(const std::vector<uint8_t>& bytes) {
  Pipeline p;
  Reader in(bytes.data(), bytes.size());
  Analysis a = analyse(in);
  p.verdict = a.verdict, p.h = a.h, p.s = a.scan, p.plan = a.plan;
  if (a.outcome == Outcome::Ok && p.plan.changes) {
    Sink sink(p.out);
    write_repaired(in, p.s, p.plan, sink);
  }
  return p;
}
