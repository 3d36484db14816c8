#include "integration/repair_launch.h"

#include "integration/scripts.h"
#include "platform/platform.h"
#include "report/runtime_error.h"

// Quoted like the verb's command, so a path with spaces or & stays one argument.
Text repair_command(const Text& program_dir, const Text& file) {
  return Text("\"") + program_dir + kRepairScriptName + "\" \"" + file + "\"";
}

void launch_repair(const Text& program_dir, const Text& file) {
  uint32_t result = plat::win_exec(repair_command(program_dir, file).c_str(), plat::kShowNormal);
  // WinExec answers 32 and above on success; 0 means out of memory.
  if (result < 32) check(result == 0 ? 8 : result);
}
