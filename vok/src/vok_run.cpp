// The modes in order: open the file the way the mode needs it, read its
// headers, scan its packets, plan, then (for -f and -i) write in an order
// that leaves either the old file or the new one, never a mix, and never
// harms a file that changed under vok or that another program holds.
#include "vok_run.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "console.h"
#include "file_io.h"
#include "index_apply.h"
#include "packet_frame.h"
#include "packet_scan.h"
#include "reader.h"
#include "reference_fit.h"
#include "repair_plan.h"
#include "repair_write.h"
#include "rm_headers.h"

namespace {

constexpr int kWaitSeconds = 60;
constexpr int64_t kNoteSeconds = 600;  // a note of -f counts for the -i that follows
constexpr uint64_t kMaxInput = 0xFFFFFFFFu;
// Judging a packet looks at the packets around it, and damage changes what
// is around; a repaired file is scanned again until nothing is left to do.
constexpr int kRounds = 3;

enum class Mode { None, Fix, Index, Check, Help };

struct Args {
  Mode mode = Mode::None;
  bool no_backup = false;
  std::string file;
  std::string reference;  // headers for a file that lost its own
};

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

struct Run {
  Args a;
  Lang lang = Lang::En;
  std::string target;   // the file the name leads to
  std::string summary;  // how it went, in one line
  std::string backup;
  std::string second;     // where a second file after the packets went
  bool replaced = false;  // the repaired file took the original's place
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  fileio::Info info;  // of the file as vok found it
};

// The summary line: the file, then how it is (kept in `summary`), then
// `more` (where the backup went).
void say(Run& r, Msg id, const std::vector<std::string>& args, const std::string& more = "") {
  r.summary = message(r.lang, id, args);
  console::out(message(r.lang, Msg::Line, {r.a.file, r.summary + more}));
}

// An error line about the file that leaves the summary as it is.
void warn(const Run& r, Msg id, const std::vector<std::string>& args = {}) {
  console::err(message(r.lang, Msg::Error, {r.a.file, message(r.lang, id, args)}));
}

int fail(Run& r, Msg id, int code, const std::vector<std::string>& args = {}) {
  r.summary = message(r.lang, id, args);
  warn(r, id, args);
  return code;
}

// A progress line once the run has taken longer than a second.
class Progress {
 public:
  Progress(Run& r, Msg what, uint64_t total) : r_(r), what_(what), total_(total) {}
  ~Progress() { console::end_progress(); }
  void operator()(uint64_t done) {
    auto now = std::chrono::steady_clock::now();
    if (!total_ || now - r_.started < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200))
      return;
    last_ = now;
    uint64_t pct = done * 100 / total_;
    if (console::shows_progress())
      console::progress(message(r_.lang, what_, {std::to_string(pct > 99 ? 99 : pct)}));
  }

 private:
  Run& r_;
  Msg what_;
  uint64_t total_;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Packets lost inside a damaged region cannot be counted one by one; the
// headers' own counts, where they claim more, say how many there were.
// `kept` may come from a later round than `s`, which left out `later` more.
std::string counts(const Run& r, const Scan& s, uint64_t kept, uint64_t later = 0) {
  uint64_t seen = s.dropped + s.bad_timestamps + s.misfits + s.incomplete + later;
  uint64_t lost = s.claimed > kept ? s.claimed - kept : seen;
  return message(r.lang, Msg::Counts, {std::to_string(kept), std::to_string(lost + s.repeats)});
}

struct Source {
  fileio::File f;
  fileio::Id id;
  uint64_t size = 0;
  Headers h;
  ~Source() { fileio::close(f); }
};

int open_file(Run& r, Source& src) {
  fileio::Info info = fileio::stat(r.target);
  switch (info.kind) {
    case fileio::Kind::Missing:
      return fail(r, Msg::NoSuchFile, kUnreadable);
    case fileio::Kind::Folder:
      return fail(r, Msg::Folder, kUnreadable);
    case fileio::Kind::Regular:
      break;
    case fileio::Kind::Unreadable:
      return fail(r, Msg::CannotOpen, kUnreadable, {fileio::last_error()});
    default:
      return fail(r, Msg::NotRegular, kUnreadable);
  }
  if (info.size == 0) return fail(r, Msg::Empty, kUnreadable);
  src.size = info.size;
  r.info = info;
  if (r.a.mode == Mode::Check)
    return fileio::open_read(r.target, src.f) ? -1
                                              : fail(r, Msg::CannotOpen, kUnreadable, {fileio::last_error()});
  if (info.read_only) return fail(r, Msg::ReadOnly, kWriteFailed);
  switch (fileio::open_source(r.target, r.a.mode == Mode::Index, src.f)) {
    case fileio::Open::Ok:
      break;
    case fileio::Open::InUse:
      return fail(r, Msg::InUse, kWriteFailed);
    case fileio::Open::OtherVok:
      return fail(r, Msg::OtherVok, kWriteFailed);
    default: {
      // Not even readable is a file vok cannot read; readable, it cannot change.
      std::string why = fileio::last_error();
      bool readable = fileio::open_read(r.target, src.f);
      fileio::close(src.f);
      return fail(r, Msg::CannotOpen, readable ? kWriteFailed : kUnreadable, {why});
    }
  }
  src.id = fileio::identity(src.f);
  src.size = src.id.size;
  return -1;
}

int header_problem(Run& r, Reader& in, HeaderVerdict v, const Headers& h) {
  if (v == HeaderVerdict::Variant64) return fail(r, Msg::Variant64, kRefused);
  switch (h.problem) {
    case HeaderProblem::RealAudio:
      return fail(r, Msg::RealAudio, kUnreadable);
    case HeaderProblem::StreamLost:
      return fail(r, Msg::StreamLost, kUnreadable);
    case HeaderProblem::CodecDamaged:
      return fail(r, Msg::CodecDamaged, kUnreadable, {std::to_string(h.problem_at)});
    case HeaderProblem::DuplicateStream:
      return fail(r, Msg::DuplicateStream, kUnreadable, {std::to_string(h.problem_at)});
    case HeaderProblem::NoStreams:
      return fail(r, Msg::NoStreams, kUnreadable);
    default:
      break;
  }
  uint64_t at = find_headless_packets(in);
  if (at != UINT64_MAX) return fail(r, Msg::HeadLost, kUnreadable, {std::to_string(at)});
  return fail(r, Msg::NotRealMedia, kUnreadable);
}

// The reference file's headers, for the packets of a file that lost its own.
struct Reference {
  fileio::File f;
  Headers h;
  Scan scan;
  ~Reference() { fileio::close(f); }
};

int use_reference(Run& r, Reference& ref, std::unique_ptr<Reader>& ref_in, Headers& h) {
  fileio::Info info = fileio::stat(r.a.reference);
  if (info.kind != fileio::Kind::Regular || !fileio::open_read(r.a.reference, ref.f))
    return fail(r, Msg::ReferenceBad, kUnreadable, {r.a.reference});
  ref_in.reset(new Reader(ref.f, info.size));
  if (read_headers(*ref_in, ref.h) != HeaderVerdict::Ok || !ref.h.intact())
    return fail(r, Msg::ReferenceBad, kUnreadable, {r.a.reference});
  ref.scan = scan_packets(*ref_in, ref.h);
  h = ref.h;
  h.prop.num_packets = 0;  // the reference's count says nothing of this file
  h.data = 0;
  h.packets = 0;
  h.data_found = false;
  h.head_lost = true;
  h.recovered = {{Note::HeadersFromReference, 0}};
  return -1;
}

int reference_misfit(Run& r, const Reference& ref, const Scan& s) {
  Fit fit = reference_fit(ref.h, ref.scan, s);
  if (fit.misfit == Misfit::None) return -1;
  Msg why = fit.misfit == Misfit::NoPackets ? Msg::MisfitNoPackets
            : fit.misfit == Misfit::Sizes   ? Msg::MisfitSizes
                                            : Msg::MisfitKeyframes;
  return fail(r, Msg::ReferenceMismatch, kRefused, {message(r.lang, why, {std::to_string(fit.stream)})});
}

int refusal(Run& r, Refusal why) {
  Msg m = why == Refusal::NoPackets      ? Msg::NoPackets
          : why == Refusal::NothingWhole ? Msg::NothingWhole
          : why == Refusal::Multirate    ? Msg::Multirate
                                         : Msg::TooLargeOutput;
  return fail(r, m, kRefused);
}

// Everything -f and --check share: the headers (or the reference's), the
// scan and the plan.
struct Analysis {
  Reference ref;
  std::unique_ptr<Reader> ref_in;
  Scan scan;
  Plan plan;
};

// The packets, with a progress line.
int scan(Run& r, Reader& in, const Source& src, Scan& s) {
  {
    Progress p(r, Msg::Scanning, src.size);
    in.on_window([&](uint64_t at) { p(at); });
    s = scan_packets(in, src.h);
    in.on_window(nullptr);
  }
  return s.read_error ? fail(r, Msg::ReadError, kUnreadable, {fileio::last_error()}) : -1;
}

int analyse(Run& r, Source& src, Reader& in, Analysis& an) {
  if (src.size > kMaxInput) return fail(r, Msg::TooLargeInput, kRefused);
  HeaderVerdict v = read_headers(in, src.h);
  bool referenced = false;
  int code = -1;
  if (v != HeaderVerdict::Ok && v != HeaderVerdict::Variant64 && src.h.problem != HeaderProblem::RealAudio &&
      !r.a.reference.empty()) {
    if ((code = use_reference(r, an.ref, an.ref_in, src.h)) >= 0) return code;
    referenced = true;
  } else if (v != HeaderVerdict::Ok) {
    return header_problem(r, in, v, src.h);
  }
  if ((code = scan(r, in, src, an.scan)) >= 0) return code;
  if (referenced && (code = reference_misfit(r, an.ref, an.scan)) >= 0) return code;
  an.plan = plan_repair(in, src.h, an.scan, referenced ? an.ref_in.get() : nullptr);
  if (an.plan.read_error) return fail(r, Msg::ReadError, kUnreadable, {fileio::last_error()});
  if (an.plan.refused != Refusal::None) return refusal(r, an.plan.refused);
  return -1;
}

int check(Run& r) {
  Source src;
  int code = open_file(r, src);
  if (code >= 0) return code;
  Reader in(src.f, src.size);
  Analysis an;
  if ((code = analyse(r, src, in, an)) >= 0) return code;
  if (!an.plan.changes) return say(r, Msg::Sound, {counts(r, an.scan, an.scan.packets)}), kOk;
  say(r, Msg::NeedsRepair, {findings_text(r.lang, an.plan.found), counts(r, an.scan, an.scan.packets)});
  return kNeedsRepair;
}

// Writes the repaired file to a new temporary file beside the target;
// `why` is empty when it is complete and flushed.
Msg write_temp(Run& r, Reader& in, const Scan& scan, const Plan& plan, fileio::File& out) {
  Sink sink(out);
  Progress p(r, Msg::Writing, plan.output_size);
  sink.on_drain([&](uint64_t done) { p(done); });
  if (!write_repaired(in, scan, plan, sink)) return Msg::ReadError;
  if (!sink.finish() || !fileio::flush(out)) return Msg::CannotWrite;
  fileio::copy_mode(out, r.info);
  return Msg::kCount;
}

// The file must be as it was when vok read it, and no one else may have it
// open, right up to the moment it is replaced: else why not.
Msg why_changed(const Run& r, const Source& src) {
  if (fileio::unchanged(r.target, src.f, src.id))
    return fileio::in_use_elsewhere(src.f) ? Msg::InUse : Msg::kCount;
  return fileio::identity(src.f).size > src.id.size ? Msg::StillWritten : Msg::Changed;
}

int changed(Run& r, const Source& src) {
  Msg why = why_changed(r, src);
  return why == Msg::kCount ? -1 : fail(r, why, kWriteFailed);
}

// A second look at a repaired temporary file (`out`, open): when it still
// needs repair, the repair of it takes its place. Anything but a file that
// reads back and needs nothing more, or another round, is a failure: `why`
// and `error` say what.
struct Look {
  Msg why = Msg::kCount;
  std::string error;
  bool removes_bytes = false;  // a later round left bytes out too
  uint64_t packets = 0;        // kept by the last round
};

bool second_look(Run& r, std::string& temp, fileio::File& out, uint64_t size, std::vector<Finding>& found,
                 Look& look) {
  for (int round = 1; round < kRounds; ++round) {
    Reader in(out, size);
    Headers h;
    if (read_headers(in, h) != HeaderVerdict::Ok) return look.why = Msg::ReadError, false;
    Scan scan = scan_packets(in, h);
    Plan plan = plan_repair(in, h, scan);
    if (scan.read_error || plan.read_error || plan.refused != Refusal::None) {
      look.error = fileio::last_error();
      return look.why = Msg::ReadError, false;
    }
    if (!plan.changes) return true;
    fileio::File next;
    std::string name;
    if (!fileio::create_temp_beside(r.target, next, name)) {
      look.error = fileio::last_error();
      return look.why = Msg::NoTemp, false;
    }
    look.why = write_temp(r, in, scan, plan, next);
    look.error = fileio::last_error();
    fileio::close(out);
    fileio::remove(temp);
    out = next;
    temp = name;
    if (look.why != Msg::kCount) return false;
    merge_findings(found, plan.found);
    look.removes_bytes = look.removes_bytes || plan.removes_bytes;
    look.packets = scan.packets;
    size = plan.output_size;
  }
  return true;
}

// "NAME (n).EXT" beside `path`.
std::string numbered(const std::string& path, int n) {
  size_t slash = path.find_last_of("/\\"), dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
  return path.substr(0, dot) + " (" + std::to_string(n) + ")" + path.substr(dot);
}

// A second file after the packets goes to a file of its own beside the
// first, under the first name of "NAME (2).EXT", "NAME (3).EXT", ... that no
// file has.
Msg save_second(Run& r, Reader& in, uint64_t from) {
  fileio::File out;
  std::string temp;
  if (!fileio::create_temp_beside(r.target, out, temp)) return Msg::NoTemp;
  Sink sink(out);
  bool read = in.each_span(from, in.size() - from, [&](const uint8_t* p, size_t k) {
    sink.write(p, k);
    return true;
  });
  if (!read || !sink.finish() || !fileio::flush(out)) {
    fileio::close(out);
    fileio::remove(temp);
    return read ? Msg::CannotWrite : Msg::ReadError;
  }
  fileio::copy_mode(out, r.info);
  std::vector<std::string> names;
  for (int n = 2; n < 100; ++n) names.push_back(numbered(r.target, n));
  return fileio::keep_temp(temp, out, names, r.second) ? Msg::kCount : Msg::CannotWrite;
}

// A file vok made beside the target, named as the user named the target
// (unless that was a link).
std::string as_named(const Run& r, const std::string& made) {
  if (fileio::is_link(r.a.file)) return made;
  if (made.compare(0, r.target.size(), r.target) == 0) return r.a.file + made.substr(r.target.size());
  for (int n = 2; n < 100; ++n)
    if (made == numbered(r.target, n)) return numbered(r.a.file, n);
  return made;
}

int fix(Run& r) {
  Source src;
  int code = open_file(r, src);
  if (code >= 0) return code;
  // Only now that this run holds the file is another run's temporary file
  // surely one that no run holds.
  std::vector<std::string> stale;
  fileio::remove_stale_temps(r.target, stale);
  for (const std::string& t : stale) warn(r, Msg::StaleTemp, {t});
  Reader in(src.f, src.size);
  Analysis an;
  if ((code = analyse(r, src, in, an)) >= 0) return code;
  if (!an.plan.changes) return say(r, Msg::Sound, {counts(r, an.scan, an.scan.packets)}), kOk;
  if ((code = changed(r, src)) >= 0) return code;

  fileio::File out;
  std::string temp;
  if (!fileio::create_temp_beside(r.target, out, temp))
    return fail(r, Msg::NoTemp, kWriteFailed, {fileio::last_error()});
  auto undo = [&](Msg m, int c, std::vector<std::string> args = {}) {
    fileio::close(out);
    fileio::remove(temp);
    if (!r.backup.empty()) fileio::remove(r.backup), r.backup.clear();
    if (!r.second.empty()) fileio::remove(r.second), r.second.clear();
    return fail(r, m, c, args);
  };
  Msg why = write_temp(r, in, an.scan, an.plan, out);
  if (why != Msg::kCount)
    return undo(why, why == Msg::ReadError ? kUnreadable : kWriteFailed, {fileio::last_error()});
  std::vector<Finding> found = an.plan.found;
  Look look;
  look.packets = an.scan.packets;
  if (!second_look(r, temp, out, an.plan.output_size, found, look))
    return undo(look.why, kWriteFailed, {look.error});
  // Packets the second look left out were dropped too.
  std::string kept =
      counts(r, an.scan, look.packets, an.scan.packets > look.packets ? an.scan.packets - look.packets : 0);
  if ((an.plan.removes_bytes || look.removes_bytes) && !r.a.no_backup) {
    std::string backup;
    fileio::Backup b = fileio::make_backup(r.target, src.f, backup);
    if (b == fileio::Backup::Changed) return undo(Msg::Changed, kWriteFailed);
    if (b == fileio::Backup::Failed) return undo(Msg::NoBackup, kWriteFailed, {fileio::last_error()});
    r.backup = backup;
  }
  if (an.scan.tail == Tail::SecondFile && (why = save_second(r, in, an.scan.tail_at)) != Msg::kCount)
    return undo(why, why == Msg::ReadError ? kUnreadable : kWriteFailed, {fileio::last_error()});
  if ((why = why_changed(r, src)) != Msg::kCount) return undo(why, kWriteFailed);
  fileio::Replace done = fileio::replace(temp, out, r.target, src.f);
  if (done == fileio::Replace::Failed) {
    std::string error = fileio::last_error();
    // A replace that took the original away and failed leaves the repaired
    // file as the one to keep, never nothing.
    if (fileio::stat(r.target).kind != fileio::Kind::Missing || !fileio::move_new(temp, r.target))
      return undo(Msg::NoReplace, kWriteFailed, {error});
  }
  r.replaced = true;
  if (!r.backup.empty()) r.backup = as_named(r, r.backup);
  std::string more = r.second.empty() ? "" : message(r.lang, Msg::SecondSaved, {as_named(r, r.second)});
  if (!r.backup.empty()) more += message(r.lang, Msg::Backup, {r.backup});
  say(r, Msg::Repaired, {findings_text(r.lang, found), kept}, more);
  // Repaired all the same: the summary says so, and -i goes on.
  if (done == fileio::Replace::NotDurable)
    return warn(r, Msg::NotDurable, {fileio::last_error()}), kWriteFailed;
  return kOk;
}

int index(Run& r) {
  Source src;
  int code = open_file(r, src);
  if (code >= 0) return code;
  Reader in(src.f, src.size);
  if (src.size > kMaxInput) return fail(r, Msg::TooLargeInput, kRefused);
  HeaderVerdict v = read_headers(in, src.h);
  if (v != HeaderVerdict::Ok) return header_problem(r, in, v, src.h);
  Scan s;
  if ((code = scan(r, in, src, s)) >= 0) return code;
  Plan repair = plan_repair(in, src.h, s);
  IndexPlan plan = plan_index(in, src.h, s, repair);
  if (plan.read_error) return fail(r, Msg::ReadError, kUnreadable, {fileio::last_error()});
  if (plan.refused != Refusal::None) return refusal(r, plan.refused);
  if (plan.needs_repair) return fail(r, Msg::NeedsRepairFirst, kRefused);
  std::vector<std::string> what = {std::to_string(plan.chunk_count), std::to_string(plan.record_count)};
  if (!plan.changes) return say(r, Msg::IndexRight, what), kOk;
  if ((code = changed(r, src)) >= 0) return code;
  if (!apply_index(src.f, plan)) return fail(r, Msg::IndexWriteFailed, kWriteFailed, {fileio::last_error()});
  say(r, Msg::Indexed, what);
  return kOk;
}

// -f tells the -i after it, in a console that closes, how it went: so that
// -i can sum up the whole repair and, when -f failed, say that once.
struct FixNote {
  int code = 0;
  bool waited = false;
  std::string summary, backup;
};

void leave_note(const Run& r, int code, bool waited) {
  if (r.replaced) code = kOk;  // repaired: -i goes on, whatever warning came with it
  std::string summary = r.summary;
  for (char& c : summary) c = c == '\n' ? ' ' : c;
  fileio::write_whole(fileio::note_path(r.target),
                      "vok-note 1\n" + std::to_string(int64_t(time(nullptr))) + "\n" + std::to_string(code) +
                          "\n" + (waited ? "1" : "0") + "\n" + summary + "\n" + r.backup + "\n");
}

bool take_note(const Run& r, FixNote& note) {
  std::string path = fileio::note_path(r.target), text;
  if (!fileio::read_whole(path, text, 1 << 16)) return false;
  fileio::remove(path);
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(text.substr(at, nl - at));
  if (lines.size() != 6 || lines[0] != "vok-note 1") return false;
  int64_t age = int64_t(time(nullptr)) - strtoll(lines[1].c_str(), nullptr, 10);
  if (age < 0 || age > kNoteSeconds) return false;
  note.code = atoi(lines[2].c_str());
  note.waited = lines[3] == "1";
  note.summary = lines[4];
  note.backup = lines[5];
  return true;
}

// The last words in a console window that is about to close.
void sum_up(const Run& r, const FixNote* fix, int code) {
  console::out("");
  console::out(message(r.lang, Msg::SummaryTitle, {r.a.file}));
  if (fix) console::out("  " + fix->summary);
  bool unrepaired = code != kOk && r.a.mode == Mode::Fix && !r.replaced;
  console::out("  " + (unrepaired ? message(r.lang, Msg::SummaryFailed, {r.summary}) : r.summary));
  std::string backup = fix ? fix->backup : r.backup;
  if (!backup.empty()) console::out("  " + message(r.lang, Msg::SummaryBackup, {backup}));
  console::wait_for_key(message(r.lang, Msg::PressAnyKey), kWaitSeconds);
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
