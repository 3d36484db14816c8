// A Linux terminal or pipe: UTF-8 throughout; terminals stay open, so vok
// never waits.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"

namespace console {

namespace {

size_t shown = 0;  // width of the progress line on screen

bool simplified_chinese(const char* locale) {
  return !strncmp(locale, "zh_CN", 5) || !strncmp(locale, "zh_SG", 5) || !strcmp(locale, "zh") ||
         !strncmp(locale, "zh.", 3);
}

}  // namespace

Lang language() {
  const char* forced = getenv("VOK_LANG");
  if (forced && !strcmp(forced, "zh")) return Lang::Zh;
  if (forced && !strcmp(forced, "en")) return Lang::En;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = getenv(name);
    if (v && *v) return simplified_chinese(v) ? Lang::Zh : Lang::En;
  }
  return Lang::En;
}

void out(const std::string& utf8) {
  end_progress();
  fwrite(utf8.data(), 1, utf8.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

void err(const std::string& utf8) {
  end_progress();
  fwrite(utf8.data(), 1, utf8.size(), stderr);
  fputc('\n', stderr);
}

bool shows_progress() { return isatty(2) != 0; }

void progress(const std::string& utf8) {
  fprintf(stderr, "\r%s", utf8.c_str());
  if (utf8.size() < shown) fprintf(stderr, "%*s", int(shown - utf8.size()), "");
  shown = utf8.size() > shown ? utf8.size() : shown;
  fflush(stderr);
}

void end_progress() {
  if (!shown) return;
  fprintf(stderr, "\r%*s\r", int(shown), "");
  shown = 0;
}

bool closes_at_exit() { return false; }
void wait_for_key(const std::string&, int) {}

}  // namespace console
