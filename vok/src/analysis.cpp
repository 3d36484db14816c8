#include "analysis.h"

namespace {

constexpr uint64_t kMaxInput = 0xFFFFFFFFu;
// Of a reference's packets, enough to know their sizes and keyframes.
constexpr uint64_t kReferenceScan = 32u << 20;

// A reference's headers for the packets of a file that lost its own, once
// the reference shows itself sound.
bool take_reference(const Lender& lender, Analysis& a, Headers& ref_h, Scan& ref_scan) {
  Reader& ref = *lender.in;
  if (read_headers(ref, ref_h) != HeaderVerdict::Ok || !ref_h.intact()) return false;
  Reader part = ref.head(kReferenceScan);
  ref_scan = scan_packets(part, ref_h);
  if (ref_scan.read_error) return false;
  a.h = ref_h;
  a.h.prop.num_packets = 0;  // the reference's count says nothing of this file
  a.h.data = 0;
  a.h.packets = 0;
  a.h.data_found = false;
  a.h.head_lost = true;
  a.h.recovered = {{lender.rebuilt ? Note::HeadersRebuilt : Note::HeadersFromReference, 0, lender.name}};
  a.referenced = true;
  return true;
}

}  // namespace

Analysis analyse(Reader& in, const Lender& lender) {
  Analysis a;
  a.reference = lender.name;
  Reader* reference = lender.in;
  if (in.size() > kMaxInput) return a.outcome = Outcome::TooLarge, a;
  a.verdict = read_headers(in, a.h);
  Headers ref_h;
  Scan ref_scan;
  bool lost = a.verdict == HeaderVerdict::NotRealMedia || a.verdict == HeaderVerdict::Damaged;
  if (a.verdict != HeaderVerdict::Ok && !(lost && reference && a.h.problem != HeaderProblem::RealAudio))
    return a.outcome = Outcome::Headers, a;
  if (a.verdict != HeaderVerdict::Ok && !take_reference(lender, a, ref_h, ref_scan))
    return a.outcome = Outcome::ReferenceBad, a;
  a.scan = scan_packets(in, a.h);
  if (a.scan.read_error) return a.outcome = Outcome::ReadError, a;
  if (a.referenced && (a.fit = reference_fit(ref_h, ref_scan, a.scan)).misfit != Misfit::None)
    return a.outcome = Outcome::ReferenceMisfit, a;
  a.plan = plan_repair(in, a.h, a.scan, a.referenced ? reference : nullptr);
  if (a.plan.read_error) return a.outcome = Outcome::ReadError, a;
  if (a.plan.refused != Refusal::None) return a.outcome = Outcome::Refused, a;
  return a;
}
