// What the tests' console recorded, and how it behaves.
#pragma once
#include <string>
#include <vector>

#include "messages.h"

namespace console_mem {

struct Record {
  std::vector<std::string> out, err, progress;
  std::vector<std::string> waits;  // the prompt of each wait for a key
};

void reset(Lang lang = Lang::En, bool closes = false);
Record& record();

}  // namespace console_mem
