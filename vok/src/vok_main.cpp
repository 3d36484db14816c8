// vok: repairs the structure of a RealMedia file (-f), rebuilds its seek
// index (-i), or says what -f would do (--check). Exit codes are in README.md.
#include <cstdio>
#include <cstring>
#include <string>

#include "file_io.h"
#include "index_apply.h"
#include "index_build.h"
#include "packet_scan.h"
#include "reader.h"
#include "repair_plan.h"
#include "repair_write.h"
#include "rm_headers.h"

namespace {

enum Exit { kOk = 0, kNeedsRepair = 1, kUsage = 2, kUnreadable = 3, kRefused = 4, kWriteFailed = 5 };
enum class Mode { None, Fix, Index, Check, Help };

struct Args {
  Mode mode = Mode::None;
  bool no_backup = false;
  std::string file;
};

const char kUsageText[] =
    "usage: vok -f [--no-backup] FILE   repair the structure of a RealMedia file\n"
    "       vok -i FILE                 rebuild its seek index\n"
    "       vok --check FILE            say what -f would repair; change nothing\n"
    "       vok --help\n"
    "exit codes: 0 sound or repaired, 1 needs repair (--check), 2 usage error,\n"
    "3 not RealMedia or unreadable, 4 refused (cannot repair safely), 5 write failure\n";

int fail(const std::string& file, const std::string& why, int code) {
  fprintf(stderr, "vok: %s: %s\n", file.c_str(), why.c_str());
  return code;
}

bool parse(int argc, char** argv, Args& a) {
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const char* s = argv[i];
    Mode m = Mode::None;
    if (options && !strcmp(s, "--")) {
      options = false;
      continue;
    }
    if (options && !strcmp(s, "--no-backup")) {
      a.no_backup = true;
      continue;
    }
    if (options)
      m = !strcmp(s, "-f")        ? Mode::Fix
          : !strcmp(s, "-i")      ? Mode::Index
          : !strcmp(s, "--check") ? Mode::Check
          : !strcmp(s, "--help")  ? Mode::Help
                                  : Mode::None;
    if (m != Mode::None) {
      if (a.mode != Mode::None) return false;
      a.mode = m;
    } else if (options && s[0] == '-' && s[1]) {
      return false;
    } else if (!a.file.empty()) {
      return false;
    } else {
      a.file = s;
    }
  }
  if (a.mode == Mode::Help) return true;
  return a.mode != Mode::None && !a.file.empty() && (!a.no_backup || a.mode == Mode::Fix);
}

std::string joined(const std::vector<std::string>& parts) {
  std::string s;
  for (const std::string& p : parts) s += (s.empty() ? "" : ", ") + p;
  return s;
}

// Packets lost inside a damaged region cannot be counted one by one; the
// header's own count, where it claims more, says how many there were.
std::string counts(const Headers& h, const Scan& s) {
  uint64_t dropped = h.prop.num_packets > s.packets ? h.prop.num_packets - s.packets : s.dropped;
  return "packets kept " + std::to_string(s.packets) + ", dropped " + std::to_string(dropped);
}

// The file, opened and its headers read; or an exit code saying why not.
struct Source {
  fileio::File f;
  fileio::Info info;
  Headers h;
  ~Source() { fileio::close(f); }
};

int open_source(const Args& a, Source& src) {
  const std::string& path = a.file;
  src.info = fileio::stat(path);
  switch (src.info.kind) {
    case fileio::Kind::Missing:
      return fail(path, "no such file", kUnreadable);
    case fileio::Kind::Folder:
      return fail(path, "is a folder, not a file", kUnreadable);
    case fileio::Kind::Regular:
      break;
    default:
      return fail(path, "not a regular file", kUnreadable);
  }
  if (src.info.size == 0) return fail(path, "empty file", kUnreadable);
  bool writes = a.mode != Mode::Check;
  if (writes && src.info.read_only) return fail(path, "read-only file; nothing changed", kWriteFailed);
  bool ok = writes && a.mode == Mode::Index ? fileio::open_update(path, src.f)
                                            : fileio::open_read(path, writes, src.f);
  if (!ok) return fail(path, "cannot open: " + fileio::last_error(), writes ? kWriteFailed : kUnreadable);
  if (writes && fileio::in_use_elsewhere(src.f))
    return fail(path, "in use by another program; nothing changed", kWriteFailed);
  Reader in(src.f, src.info.size);
  std::string why;
  switch (read_headers(in, src.h, why)) {
    case HeaderVerdict::Ok:
      break;
    case HeaderVerdict::Variant64:
      return fail(path, "cannot repair the " + why, kRefused);
    default:
      return fail(path, why, kUnreadable);
  }
  if (src.info.size > 0xFFFFFFFFu)
    return fail(path, "larger than 4 GiB: its offsets cannot be right", kRefused);
  return -1;
}

int check(const Args& a, Reader& in, const Headers& h) {
  Scan s = scan_packets(in, h, nullptr);
  if (s.read_error) return fail(a.file, "read error: " + fileio::last_error(), kUnreadable);
  Plan plan = plan_repair(in, h, s);
  if (!plan.refused.empty()) return fail(a.file, "cannot repair safely: " + plan.refused, kRefused);
  if (!plan.changes()) return printf("%s: sound; %s\n", a.file.c_str(), counts(h, s).c_str()), kOk;
  printf("%s: needs repair: %s; %s\n", a.file.c_str(), joined(plan.found).c_str(), counts(h, s).c_str());
  return kNeedsRepair;
}

// Writes the repaired file; an empty answer means it is complete and flushed.
std::string write_temp(Reader& in, const Source& src, const Scan& s, const Plan& plan,
                       const std::string& temp, fileio::File& out, int& code) {
  Sink sink(out);
  std::string why;
  code = kWriteFailed;
  if (!write_repaired(in, src.h, s, plan, sink))
    why = "read error", code = kUnreadable;
  else if (!sink.finish() || !fileio::flush(out))
    why = "cannot write: " + fileio::last_error();
  else
    fileio::copy_mode(out, temp, src.info);
  fileio::close(out);
  return why;
}

// The repaired file goes to a temporary file beside the original, which it
// replaces only when complete and flushed; a backup, when needed, first.
int fix(const Args& a, Source& src, Reader& in) {
  Scan s = scan_packets(in, src.h, nullptr);
  if (s.read_error) return fail(a.file, "read error: " + fileio::last_error(), kUnreadable);
  Plan plan = plan_repair(in, src.h, s);
  if (!plan.refused.empty())
    return fail(a.file, "cannot repair safely: " + plan.refused + "; nothing changed", kRefused);
  if (!plan.changes()) return printf("%s: sound; %s\n", a.file.c_str(), counts(src.h, s).c_str()), kOk;

  fileio::File out;
  std::string temp, backup;
  if (!fileio::create_temp_beside(a.file, out, temp))
    return fail(a.file, "cannot create a temporary file: " + fileio::last_error() + "; nothing changed",
                kWriteFailed);
  int code = kWriteFailed;
  std::string why = write_temp(in, src, s, plan, temp, out, code);
  fileio::close(src.f);
  if (why.empty() && plan.removes_bytes && !a.no_backup && !fileio::make_backup(a.file, backup)) {
    why = "cannot make a backup: " + fileio::last_error();
  } else if (why.empty() && !fileio::replace(temp, a.file)) {
    why = "cannot replace the file: " + fileio::last_error();
    if (!backup.empty()) fileio::remove(backup);
  }
  if (!why.empty()) {
    fileio::remove(temp);
    return fail(a.file, why + "; nothing changed", code);
  }
  printf("%s: repaired: %s; %s%s\n", a.file.c_str(), joined(plan.found).c_str(), counts(src.h, s).c_str(),
         backup.empty() ? "" : ("; backup " + backup).c_str());
  return kOk;
}

int index(const Args& a, Source& src, Reader& in) {
  IndexBuilder builder(src.h);
  Scan s = scan_packets(in, src.h, &builder);
  if (s.read_error) return fail(a.file, "read error: " + fileio::last_error(), kUnreadable);
  Plan repair = plan_repair(in, src.h, s);
  IndexPlan plan = plan_index(in, src.h, s, repair, builder);
  if (!plan.refused.empty())
    return fail(a.file, "cannot index: " + plan.refused + "; nothing changed", kRefused);
  std::string what = std::to_string(plan.chunk_count) + " index chunks, " +
                     std::to_string(plan.record_count) + " records";
  if (!plan.changes) return printf("%s: index already right: %s\n", a.file.c_str(), what.c_str()), kOk;
  if (!apply_index(src.f, plan))
    return fail(a.file, "write failed: " + fileio::last_error() + "; the file plays but may have no index",
                kWriteFailed);
  printf("%s: indexed: %s\n", a.file.c_str(), what.c_str());
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  if (!parse(argc, argv, a)) return fputs(kUsageText, stderr), kUsage;
  if (a.mode == Mode::Help) return fputs(kUsageText, stdout), kOk;
  Source src;
  int code = open_source(a, src);
  if (code >= 0) return code;
  Reader in(src.f, src.info.size);
  switch (a.mode) {
    case Mode::Check:
      return check(a, in, src.h);
    case Mode::Fix:
      return fix(a, src, in);
    default:
      return index(a, src, in);
  }
}
