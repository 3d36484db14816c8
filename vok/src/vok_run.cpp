// The modes: --check says what -f would do, -f repairs the file (its own
// room: fix_transaction), -i rebuilds its index in place; each in an order
// that never harms a file that changed under vok or that another program
// holds.
#include "vok_run.h"

#include "console.h"
#include "fix_note.h"
#include "fix_transaction.h"
#include "index_apply.h"
#include "run.h"

namespace {

bool parse_args(const std::vector<std::string>& argv, Args& a) {
  bool options = true;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& s = argv[i];
    Mode m = Mode::None;
    if (options && s == "--") {
      options = false;
      continue;
    }
    if (options && s == "--no-backup") {
      a.no_backup = true;
      continue;
    }
    if (options && s == "--reference") {
      if (i + 1 == argv.size() || !a.reference.empty()) return false;
      a.reference = argv[++i];
      continue;
    }
    if (options)
      m = s == "-f"        ? Mode::Fix
          : s == "-i"      ? Mode::Index
          : s == "--check" ? Mode::Check
          : s == "--help"  ? Mode::Help
                           : Mode::None;
    if (m != Mode::None) {
      if (a.mode != Mode::None) return false;
      a.mode = m;
    } else if (options && s.size() > 1 && s[0] == '-') {
      return false;
    } else if (!a.file.empty()) {
      return false;
    } else {
      a.file = s;
    }
  }
  if (a.mode == Mode::Help) return true;
  return a.mode != Mode::None && !a.file.empty() && (!a.no_backup || a.mode == Mode::Fix) &&
         (a.reference.empty() || a.mode != Mode::Index);
}

int check(Run& r) {
  Source src;
  int code = open_file(r, src);
  if (code >= 0) return code;
  Reader in(src.f, src.size);
  Analysis a;
  if ((code = analyse_file(r, in, a)) >= 0) return code;
  std::string kept = counts(r, a.scan, a.scan.packets);
  if (!a.plan.changes) return say(r, Msg::Sound, {kept}), kOk;
  say(r, Msg::NeedsRepair, {findings_text(r.lang, a.plan.found), kept});
  return kNeedsRepair;
}

// In place, in an order that leaves a playable file at every moment.
int index(Run& r) {
  Source src;
  int code = open_file(r, src);
  if (code >= 0) return code;
  Reader in(src.f, src.size);
  Analysis a;
  if ((code = analyse_file(r, in, a)) >= 0) return code;
  IndexPlan plan = plan_index(in, a.h, a.scan, a.plan);
  if (plan.read_error) return fail(r, Msg::ReadError, kUnreadable, {fileio::last_error()});
  if (plan.refused != Refusal::None) return refusal(r, plan.refused);
  if (plan.needs_repair) return fail(r, Msg::NeedsRepairFirst, kRefused);
  std::vector<std::string> what = {std::to_string(plan.chunk_count), std::to_string(plan.record_count)};
  if (!plan.changes) return say(r, Msg::IndexRight, what), kOk;
  Msg why = why_changed(r, src);
  if (why != Msg::kCount) return fail(r, why, kWriteFailed);
  if (!apply_index(src.f, plan)) return fail(r, Msg::IndexWriteFailed, kWriteFailed, {fileio::last_error()});
  say(r, Msg::Indexed, what);
  return kOk;
}

int dispatch(Run& r) {
  switch (r.a.mode) {
    case Mode::Check:
      return check(r);
    case Mode::Fix:
      return fix(r);
    default:
      return index(r);
  }
}

}  // namespace

int run_vok(const std::vector<std::string>& argv) {
  Run r;
  r.lang = console::language();
  bool closing = console::closes_at_exit();
  if (!parse_args(argv, r.a) || r.a.mode == Mode::Help) {
    bool help = r.a.mode == Mode::Help;
    std::string usage = message(r.lang, Msg::Usage);
    usage.pop_back();
    (help ? console::out : console::err)(usage);
    if (closing) console::wait_for_key(message(r.lang, Msg::PressAnyKey), kWaitSeconds);
    return help ? kOk : kUsage;
  }
  r.target = fileio::resolve(r.a.file);
  FixNote note;
  bool noted = closing && r.a.mode == Mode::Index && take_note(r, note);
  if (noted && note.code != kOk) {
    // -f did not repair the file: that is the one thing to say.
    if (!note.waited) {
      console::out(message(r.lang, Msg::Line, {r.a.file, message(r.lang, Msg::NotRepaired, {note.summary})}));
      console::wait_for_key(message(r.lang, Msg::PressAnyKey), kWaitSeconds);
    }
    return note.code;
  }
  int code = dispatch(r);
  if (!closing) return code;
  if (r.a.mode == Mode::Fix) {
    bool done = code == kOk || r.replaced;
    leave_note(r, code, !done);
    if (done) return code;
  }
  sum_up(r, noted ? &note : nullptr, code);
  return code;
}
