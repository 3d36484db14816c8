#include "console_mem.h"

#include "console.h"

namespace {
console_mem::Record rec;
Lang lang_ = Lang::En;
bool closes_ = false;
}  // namespace

namespace console_mem {
void reset(Lang lang, bool closes) {
  rec = Record();
  lang_ = lang;
  closes_ = closes;
}
Record& record() { return rec; }
}  // namespace console_mem

namespace console {
Lang language() { return lang_; }
void out(const std::string& utf8) { rec.out.push_back(utf8); }
void err(const std::string& utf8) { rec.err.push_back(utf8); }
bool shows_progress() { return true; }
void progress(const std::string& utf8) { rec.progress.push_back(utf8); }
void end_progress() {}
bool closes_at_exit() { return closes_; }
void wait_for_key(const std::string& prompt, int) { rec.waits.push_back(prompt); }
}  // namespace console
