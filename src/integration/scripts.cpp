#include "integration/scripts.h"

#include "integration/text_file.h"
#include "report/runtime_error.h"

const char kRepairScriptName[] = "vok-xp.bat";
// 删除RM文件右键菜单.bat
const char kRemovalScriptName[] =
    "\xC9\xBE\xB3\xFD"
    "RM"
    "\xCE\xC4\xBC\xFE\xD3\xD2\xBC\xFC\xB2\xCB\xB5\xA5"
    ".bat";

// One file object serves both scripts, one after the other.
static TextFile script;

// cmd reads % as the start of a variable, even inside quotes. No GBK trail
// byte is a %, so bytes can be looked at one by one.
static Text escape_percent(const Text& s) {
  const char* p = s.c_str();
  size_t percents = 0;
  for (size_t i = 0; i < s.size(); ++i) percents += p[i] == '%';
  Text out = Text::of_size(s.size() + percents);
  char* d = out.data();
  for (size_t i = 0; i < s.size(); ++i) {
    *d++ = p[i];
    if (p[i] == '%') *d++ = '%';
  }
  return out;
}

// Runs the repair tool on the clicked file twice: structure first, then index.
// %1 arrives already quoted from the verb's command.
void write_repair_script(const Text& program_dir) {
  const Text tool = Text("\"") + escape_percent(program_dir) + "vok\"";
  open_rewrite(script, program_dir + kRepairScriptName);
  check(script.error);
  write_line(script, "@echo off");
  check(script.error);
  write_line(script, tool + " -f %1");
  check(script.error);
  write_text(script, tool + " -i %1");
  check(script.error);
  close_file(script);
  check(script.error);
}

// Started from its own folder, it finds the program there.
void write_removal_script(const Text& program_dir) {
  open_rewrite(script, program_dir + kRemovalScriptName);
  check(script.error);
  write_text(script, "@call vokxp del");
  check(script.error);
  close_file(script);
  check(script.error);
}
