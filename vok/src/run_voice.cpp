// What a run says: one summary line on standard output, errors on standard
// error, a progress line on the console, and what an analysis that stopped
// is called.
#include "console.h"
#include "packet_frame.h"
#include "run.h"

void say(Run& r, Msg id, const std::vector<std::string>& args, const std::string& more) {
  r.summary = message(r.lang, id, args);
  console::out(message(r.lang, Msg::Line, {r.a.file, r.summary + more}));
}

void warn(const Run& r, Msg id, const std::vector<std::string>& args) {
  console::err(message(r.lang, Msg::Error, {r.a.file, message(r.lang, id, args)}));
}

int fail(Run& r, Msg id, int code, const std::vector<std::string>& args) {
  r.summary = message(r.lang, id, args);
  warn(r, id, args);
  return code;
}

// Packets lost inside a damaged region cannot be counted one by one; the
// headers' own counts, where they claim more, say how many there were.
std::string counts(const Run& r, const Scan& s, uint64_t kept, uint64_t later) {
  uint64_t seen = s.dropped + s.bad_timestamps + s.misfits + s.incomplete + later;
  uint64_t lost = s.claimed > kept ? s.claimed - kept : seen;
  return message(r.lang, Msg::Counts, {std::to_string(kept), std::to_string(lost + s.repeats)});
}

Progress::~Progress() { console::end_progress(); }

void Progress::operator()(uint64_t done) {
  auto now = std::chrono::steady_clock::now();
  if (!total_ || now - r_.started < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200))
    return;
  last_ = now;
  uint64_t pct = done * 100 / total_;
  if (console::shows_progress())
    console::progress(message(r_.lang, what_, {std::to_string(pct > 99 ? 99 : pct)}));
}

namespace {

int header_problem(Run& r, Reader& in, const Analysis& a) {
  if (a.verdict == HeaderVerdict::Variant64) return fail(r, Msg::Variant64, kRefused);
  std::string at = std::to_string(a.h.problem_at);
  switch (a.h.problem) {
    case HeaderProblem::RealAudio:
      return fail(r, Msg::RealAudio, kUnreadable);
    case HeaderProblem::StreamLost:
      return fail(r, Msg::StreamLost, kUnreadable);
    case HeaderProblem::CodecDamaged:
      return fail(r, Msg::CodecDamaged, kUnreadable, {at});
    case HeaderProblem::DuplicateStream:
      return fail(r, Msg::DuplicateStream, kUnreadable, {at});
    case HeaderProblem::NoStreams:
      return fail(r, Msg::NoStreams, kUnreadable);
    default:
      break;
  }
  uint64_t packets = find_headless_packets(in);
  if (packets != UINT64_MAX) return fail(r, Msg::HeadLost, kUnreadable, {std::to_string(packets)});
  return fail(r, Msg::NotRealMedia, kUnreadable);
}

}  // namespace

int refusal(Run& r, Refusal why) {
  Msg m = why == Refusal::NoPackets      ? Msg::NoPackets
          : why == Refusal::NothingWhole ? Msg::NothingWhole
          : why == Refusal::Multirate    ? Msg::Multirate
                                         : Msg::TooLargeOutput;
  return fail(r, m, kRefused);
}

// What the user is told where an analysis stopped.
int analysis_failed(Run& r, Reader& in, const Analysis& a) {
  switch (a.outcome) {
    case Outcome::Ok:
      return -1;
    case Outcome::TooLarge:
      return fail(r, Msg::TooLargeInput, kRefused);
    case Outcome::Headers:
      return header_problem(r, in, a);
    case Outcome::ReferenceBad:
      return fail(r, Msg::ReferenceBad, kUnreadable, {a.reference});
    case Outcome::ReferenceMisfit: {
      Msg why = a.fit.misfit == Misfit::NoPackets ? Msg::MisfitNoPackets
                : a.fit.misfit == Misfit::Sizes   ? Msg::MisfitSizes
                                                  : Msg::MisfitKeyframes;
      return fail(r, Msg::ReferenceMismatch, kRefused,
                  {message(r.lang, why, {std::to_string(a.fit.stream)})});
    }
    case Outcome::ReadError:
      return fail(r, Msg::ReadError, kUnreadable, {fileio::last_error()});
    case Outcome::Refused:
      return refusal(r, a.plan.refused);
  }
  return -1;
}
