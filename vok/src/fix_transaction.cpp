// The repair as one transaction, in the order that keeps the user's file
// safe: the repaired file is written to a temporary file beside it, looked
// at again where the repair may have changed how its packets are judged,
// and flushed; the original is backed up,
// a second file after the packets goes beside it under a name of its own,
// the original is checked to be the one read, and only then replaced in
// one step. Until that step,
// everything this run made goes again when the run leaves (`Made`): the file
// on disk is the old one or the new one, never a mix.
#include "fix_transaction.h"

#include "output_sink.h"
#include "repair_write.h"

namespace {

// What this run puts beside the file: removed when the run leaves, unless
// the repair took the original's place.
class Made {
 public:
  explicit Made(Run& r) : r_(r) {}
  ~Made() {
    if (kept_) return;
    fileio::close(temp);
    if (!temp_path.empty()) fileio::remove(temp_path);
    if (!r_.backup.empty()) fileio::remove(r_.backup), r_.backup.clear();
    if (!r_.second.empty()) fileio::remove(r_.second), r_.second.clear();
  }
  void keep() { kept_ = true; }

  fileio::File temp;  // the repaired file, not yet in place
  std::string temp_path;

 private:
  Run& r_;
  bool kept_ = false;
};

// Writes the repaired file to `out`; kCount when it is complete.
Msg write_temp(Run& r, Reader& in, const Scan& scan, const Plan& plan, fileio::File& out) {
  Sink sink(out);
  Progress p(r, Msg::Writing, plan.output_size);
  sink.on_drain([&](uint64_t done) { p(done); });
  if (!write_repaired(in, scan, plan, sink)) return Msg::ReadError;
  if (!sink.finish()) return Msg::CannotWrite;
  fileio::copy_mode(out, r.info);
  return Msg::kCount;
}

// A second look at the repaired temporary file: when it still needs repair,
// the repair of it takes its place. Anything but a file that reads back and
// needs nothing more, or another round, is a failure: `why` says what.
struct Look {
  Msg why = Msg::kCount;
  std::string error;
  bool removes_bytes = false;  // a later round left bytes out too
  uint64_t packets = 0;        // kept by the last round
  std::vector<Finding> found;  // what every round found
};

bool second_look(Run& r, Made& made, uint64_t size, Look& look) {
  for (int round = 1; round < kRepairRounds; ++round) {
    Reader in(made.temp, size);
    Analysis a = analyse(in);
    if (a.outcome != Outcome::Ok) return look.error = fileio::last_error(), look.why = Msg::ReadError, false;
    if (!a.plan.changes) return true;
    fileio::File next;
    std::string name;
    if (!fileio::create_temp_beside(r.target, next, name))
      return look.error = fileio::last_error(), look.why = Msg::NoTemp, false;
    look.why = write_temp(r, in, a.scan, a.plan, next);
    look.error = fileio::last_error();
    fileio::close(made.temp);
    fileio::remove(made.temp_path);
    made.temp = next;
    made.temp_path = name;
    if (look.why != Msg::kCount) return false;
    merge_findings(look.found, a.plan.found);
    look.removes_bytes = look.removes_bytes || a.plan.removes_bytes;
    look.packets = a.scan.packets;
    size = a.plan.output_size;
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
// first, under the first of "NAME (2).EXT", "NAME (3).EXT", ... that no file
// has: `r.second`.
Msg save_second(Run& r, Reader& in, uint64_t from) {
  fileio::File out;
  std::string temp;
  if (!fileio::create_temp_beside(r.target, out, temp)) return Msg::NoTemp;
  Sink sink(out);
  bool read = sink.copy(in, from, in.size() - from);
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

int code_of(Msg why) { return why == Msg::ReadError ? kUnreadable : kWriteFailed; }

}  // namespace

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
  Analysis a;
  if ((code = analyse_file(r, in, a)) >= 0) return code;
  if (!a.plan.changes) return say(r, Msg::Sound, {counts(r, a.scan, a.scan.packets)}), kOk;
  Msg why = why_changed(r, src);
  if (why != Msg::kCount) return fail(r, why, kWriteFailed);

  Made made(r);
  if (!fileio::create_temp_beside(r.target, made.temp, made.temp_path))
    return fail(r, Msg::NoTemp, kWriteFailed, {fileio::last_error()});
  if ((why = write_temp(r, in, a.scan, a.plan, made.temp)) != Msg::kCount)
    return fail(r, why, code_of(why), {fileio::last_error()});
  Look look;
  look.found = a.plan.found;
  look.packets = a.scan.packets;
  // A scan that judged nothing against what the repair leaves out needs no
  // second look (the fuzzer holds it to that).
  bool settled = a.scan.settled() && a.h.intact();
  if (!settled && !second_look(r, made, a.plan.output_size, look))
    return fail(r, look.why, kWriteFailed, {look.error});
  if (!fileio::flush(made.temp)) return fail(r, Msg::CannotWrite, kWriteFailed, {fileio::last_error()});
  if ((a.plan.removes_bytes || look.removes_bytes) && !r.a.no_backup) {
    std::string backup;
    fileio::Backup b = fileio::make_backup(r.target, src.f, backup);
    if (b == fileio::Backup::Changed) return fail(r, Msg::Changed, kWriteFailed);
    if (b == fileio::Backup::Failed) return fail(r, Msg::NoBackup, kWriteFailed, {fileio::last_error()});
    r.backup = backup;
  }
  if (a.scan.tail == Tail::SecondFile && (why = save_second(r, in, a.scan.tail_at)) != Msg::kCount)
    return fail(r, why, code_of(why), {fileio::last_error()});
  if ((why = why_changed(r, src)) != Msg::kCount) return fail(r, why, kWriteFailed);
  std::string lost;
  fileio::Replace done = fileio::replace(made.temp_path, made.temp, r.target, src.f, lost);
  if (done == fileio::Replace::Failed) {
    std::string error = fileio::last_error();
    // A replace that took the original away and failed leaves the repaired
    // file as the one to keep, never nothing.
    if (fileio::stat(r.target).kind != fileio::Kind::Missing || !fileio::move_new(made.temp_path, r.target))
      return fail(r, Msg::NoReplace, kWriteFailed, {error});
  }
  made.keep();
  r.replaced = true;

  // Packets a later round left out were dropped too.
  uint64_t later = a.scan.packets > look.packets ? a.scan.packets - look.packets : 0;
  if (!r.backup.empty()) r.backup = as_named(r, r.backup);
  std::string more = r.second.empty() ? "" : message(r.lang, Msg::SecondSaved, {as_named(r, r.second)});
  if (!r.backup.empty()) more += message(r.lang, Msg::Backup, {r.backup});
  say(r, Msg::Repaired, {findings_text(r.lang, look.found), counts(r, a.scan, look.packets, later)}, more);
  if (!lost.empty()) warn(r, Msg::AttributesLost, {lost});
  // Repaired all the same: the summary says so, and -i goes on.
  if (done == fileio::Replace::NotDurable)
    return warn(r, Msg::NotDurable, {fileio::last_error()}), kWriteFailed;
  return kOk;
}
