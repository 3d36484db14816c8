#include "launch/program_dir.h"

#include "platform/platform.h"

Text program_dir_of(const Text& module_path) {
  // Whole characters only: a GBK character's second byte may be 5C, which is
  // not a backslash there.
  const char* start = module_path.c_str();
  const char* end = start;
  for (const char* p = start; *p != '\0'; p = plat::char_next(p)) {
    if (*p == '\\') end = p + 1;
  }
  return Text(start, static_cast<size_t>(end - start));
}
