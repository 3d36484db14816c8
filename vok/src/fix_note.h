// -f tells the -i after it, in a console window that closes, how it went:
// so that -i can sum up the whole repair and, when -f failed, say that once.
#pragma once
#include <string>

#include "run.h"

struct FixNote {
  int code = 0;
  bool waited = false;  // -f waited for a key already
  std::string summary, backup;
};

void leave_note(const Run& r, int code, bool waited);
// The note -f left for this file in the last minutes, taken away.
bool take_note(const Run& r, FixNote& note);
// The last words in a console window that is about to close.
void sum_up(const Run& r, const FixNote* fix, int code);
