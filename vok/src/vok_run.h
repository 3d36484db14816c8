// A run of vok, from its command line to its exit code: -f repairs the
// structure, -i rebuilds the seek index, --check says what -f would do.
// Exit codes are in README.md.
#pragma once
#include <string>
#include <vector>

enum Exit { kOk = 0, kNeedsRepair = 1, kUsage = 2, kUnreadable = 3, kRefused = 4, kWriteFailed = 5 };

// `argv` without the program's name, UTF-8 (Windows) or bytes (Linux).
int run_vok(const std::vector<std::string>& argv);
