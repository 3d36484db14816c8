#include "integration/registry_setup.h"

#include "integration/scripts.h"
#include "platform/platform.h"
#include "report/runtime_error.h"

const char kFileType[] = "RealPlayer.RM.6";
// RealPlayer.RM.6\shell\RM文件修复
const char kVerbKey[] = "RealPlayer.RM.6\\shell\\RM\xCE\xC4\xBC\xFE\xD0\xDE\xB8\xB4";
const char kCommandKey[] = "RealPlayer.RM.6\\shell\\RM\xCE\xC4\xBC\xFE\xD0\xDE\xB8\xB4\\command";
const char kExtensionKey[] = ".rm";

// The shell replaces %1 with the clicked file; both halves are quoted so that
// spaces in either path survive.
Text verb_command(const Text& program_dir) {
  return Text("\"") + program_dir + kRepairScriptName + "\" \"%1\"";
}

static const uint32_t kFileNotFound = 2;

static uint32_t deleted_or_absent(uint32_t result) { return result == kFileNotFound ? 0 : result; }

void register_verb(const Text& program_dir) {
  plat::Key key;
  check(plat::reg_create_key(kCommandKey, &key));
  check(plat::reg_set_default(key, verb_command(program_dir).c_str()));
  plat::reg_close_key(key);

  check(plat::reg_create_key(kExtensionKey, &key));
  check(plat::reg_set_default(key, kFileType));
  plat::reg_close_key(key);
}

void unregister_verb() {
  // A key with subkeys cannot be deleted, so the command key goes first.
  check(deleted_or_absent(plat::reg_delete_key(kCommandKey)));
  check(deleted_or_absent(plat::reg_delete_key(kVerbKey)));
}
