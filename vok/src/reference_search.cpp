#include "reference_search.h"

#include <algorithm>

#include "analysis.h"

namespace {

constexpr uint64_t kJudged = 32u << 20;  // of the damaged file, enough for its streams to show
constexpr double kSure = 0.9;            // of the packets, those a fitting reference frames
constexpr double kAsGood = 0.01;         // a fit this close to the best is as good

struct Fitted {
  size_t at;
  double share;  // of the packets framed, those of its streams
  Headers h;
};

// Packets framed as the candidate's streams, whole units or not, of all
// the scan framed: the fit of the headers, whatever the damage took.
double fitting_share(const Scan& s) {
  uint64_t fitting = s.packets + s.incomplete, judged = fitting + s.misfits + s.dropped;
  return judged ? double(fitting) / double(judged) : 0;
}

}  // namespace

Choice choose_reference(Reader& damaged, const std::vector<Candidate>& candidates) {
  Reader part = damaged.head(kJudged);
  std::vector<Fitted> fits;
  for (size_t i = 0; i < candidates.size(); ++i) {
    Lender lender;
    lender.in = candidates[i].in, lender.name = candidates[i].name;
    Analysis a = analyse(part, lender);
    // Packets of its streams that make no whole unit still show the fit.
    bool framed = a.outcome == Outcome::Ok ||
                  (a.outcome == Outcome::Refused && a.plan.refused == Refusal::NothingWhole);
    if (framed) fits.push_back({i, fitting_share(a.scan), a.h});
  }
  Choice c;
  if (fits.empty()) return c;
  std::stable_sort(fits.begin(), fits.end(),
                   [](const Fitted& x, const Fitted& y) { return x.share > y.share; });
  const Fitted& best = fits[0];
  bool sure = best.share >= kSure;
  for (const Fitted& f : fits) {
    bool rival = f.at != best.at && f.share + kAsGood >= best.share &&
                 !same_making(*candidates[best.at].in, best.h, *candidates[f.at].in, f.h);
    if (!sure || rival) c.unsure.push_back(candidates[f.at].name);
  }
  if (c.unsure.empty()) return c.taken = int(best.at), c;
  if (sure) c.unsure.insert(c.unsure.begin(), candidates[best.at].name);
  return c;
}
