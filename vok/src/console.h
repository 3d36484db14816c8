// Where vok's words go: standard output and error, in the user's language,
// a progress line on a console, and a wait for a key before a console
// window that was opened for this run closes. console_posix.cpp,
// console_win32.cpp and, for tests, console_mem.cpp implement it.
#pragma once
#include <string>

#include "messages.h"

namespace console {

// VOK_LANG=en|zh, else the user's language (Chinese where the system is).
Lang language();
// One line, to standard output or standard error; a newline is added.
void out(const std::string& utf8);
void err(const std::string& utf8);
// A progress line goes only to a console, rewritten in place.
bool shows_progress();
void progress(const std::string& utf8);
void end_progress();
// True when the console window was opened for this run and closes when it
// ends (a right-click's batch, a program started from the desktop), as
// opposed to a terminal the user typed into, a script's output or a pipe.
bool closes_at_exit();
// Shows the prompt and waits for a key, at most `seconds`.
void wait_for_key(const std::string& prompt, int seconds);

}  // namespace console
