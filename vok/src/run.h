// One run of vok as the user meets it: its arguments, the file it works on,
// what it says about it, and what every mode shares (opening the file, the
// analysis with a progress line, the check that the file is still the one
// read).
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis.h"
#include "file_io.h"
#include "messages.h"
#include "vok_run.h"

// How long a console window about to close waits for a key.
constexpr int kWaitSeconds = 60;

enum class Mode { None, Fix, Index, Check, Help };

struct Args {
  Mode mode = Mode::None;
  bool no_backup = false;
  std::string file;
  std::string reference;  // headers for a file that lost its own
};

struct Run {
  Args a;
  Lang lang = Lang::En;
  std::string target;     // the file the name leads to
  std::string summary;    // how it went, in one line
  std::string backup;     // the backup this run made
  std::string second;     // where a second file after the packets went
  bool replaced = false;  // the repaired file took the original's place
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  fileio::Info info;  // of the file as vok found it
};

// The file as this run holds it.
struct Source {
  fileio::File f;
  fileio::Id id;
  uint64_t size = 0;
  ~Source() { fileio::close(f); }
};

// The summary line: the file, then how it is (kept in `summary`), then
// `more` (where the backup went).
void say(Run& r, Msg id, const std::vector<std::string>& args, const std::string& more = "");
// An error line about the file that leaves the summary as it is.
void warn(const Run& r, Msg id, const std::vector<std::string>& args = {});
// An error line that is the summary; gives back `code`.
int fail(Run& r, Msg id, int code, const std::vector<std::string>& args = {});
// "packets kept K, dropped D": `kept` may come from a later round than `s`,
// which left out `later` more.
std::string counts(const Run& r, const Scan& s, uint64_t kept, uint64_t later = 0);

// A progress line once the run has taken longer than a second.
class Progress {
 public:
  Progress(const Run& r, Msg what, uint64_t total) : r_(r), what_(what), total_(total) {}
  ~Progress();
  void operator()(uint64_t done);

 private:
  const Run& r_;
  Msg what_;
  uint64_t total_;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Each gives back the exit code, or -1 when the run goes on.
// What the user is told where an analysis stopped.
int analysis_failed(Run& r, Reader& in, const Analysis& a);
// What the user is told where a repair or an index cannot be made safely.
int refusal(Run& r, Refusal why);
// Opens the file the way the mode needs it.
int open_file(Run& r, Source& src);
// Analyses the open file, with a progress line, and the reference the user
// named where the file's headers are lost.
int analyse_file(Run& r, Reader& in, Analysis& a);

// The file must be as it was when vok read it, and no one else may have it
// open, right up to the moment it is changed: else why not (kCount: it is).
Msg why_changed(const Run& r, const Source& src);
