// A run of vok, from its command line to its exit code: -f repairs the
// structure, -i rebuilds the seek index, --check says what -f would do.
// Exit codes are in README.md.
#pragma once
#include <string>
#include <vector>

enum class Mode { None, Fix, Index, Check, Help };

struct Args {
  Mode mode = Mode::None;
  bool no_backup = false;
  std::string file;
  std::string reference;  // headers for a file that lost its own
};

enum Exit { kOk = 0, kNeedsRepair = 1, kUsage = 2, kUnreadable = 3, kRefused = 4, kWriteFailed = 5 };

// `argv` without the program's name, UTF-8 (Windows) or bytes (Linux).
bool parse_args(const std::vector<std::string>& argv, Args& a);
int run_vok(const std::vector<std::string>& argv);
