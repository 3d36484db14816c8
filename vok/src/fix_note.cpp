#include "fix_note.h"

#include <cstdlib>
#include <ctime>
#include <vector>

#include "console.h"

namespace {

constexpr int64_t kNoteSeconds = 600;  // a note of -f counts for the -i that follows

}  // namespace

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
