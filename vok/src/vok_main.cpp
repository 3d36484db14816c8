// vok's entry: the command line as UTF-8 (Windows hands it over as UTF-16,
// so a name the system code page cannot hold arrives whole) or as the bytes
// Linux gives.
#include <string>
#include <vector>

#include "vok_run.h"

#ifdef _WIN32
#include "utf16.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(utf16_to_utf8(reinterpret_cast<const char16_t*>(argv[i])));
  return run_vok(args);
}
#else
int main(int argc, char** argv) { return run_vok(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
