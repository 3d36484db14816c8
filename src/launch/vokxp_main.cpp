#include "launch/vokxp_main.h"

#include "integration/registry_setup.h"
#include "integration/repair_launch.h"
#include "integration/scripts.h"
#include "launch/param_str.h"
#include "launch/program_dir.h"
#include "platform/platform.h"
#include "report/messages.h"

// No argument (a double-click) installs, "del" (what the removal script
// passes) removes, anything else is a file to repair.
void vokxp_main() {
  const Text ProgramDir = program_dir_of(ParamStr(0));
  const Text arg = ParamStr(1);
  if (arg.empty()) {
    register_verb(ProgramDir);
    write_repair_script(ProgramDir);
    write_removal_script(ProgramDir);
    show_completion_message();
  } else if (arg == "del") {
    unregister_verb();
    show_removal_message();
  } else {
    launch_repair(ProgramDir, arg);
  }
  plat::exit_process(0);
}
