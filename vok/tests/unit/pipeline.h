// Runs read, scan, plan and write on bytes in memory.
#pragma once
#include <vector>

#include "packet_scan.h"
#include "reader.h"
#include "repair_plan.h"
#include "repair_write.h"
#include "rm_headers.h"

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
  p.verdict = read_headers(in, p.h);
  if (p.verdict != HeaderVerdict::Ok) return p;
  p.s = scan_packets(in, p.h);
  p.plan = plan_repair(in, p.h, p.s);
  if (p.plan.refused == Refusal::None && p.plan.changes) {
    Sink sink(p.out);
    write_repaired(in, p.s, p.plan, sink);
  }
  return p;
}
