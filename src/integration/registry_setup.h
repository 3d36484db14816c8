// The context-menu verb on .rm files, below HKEY_CLASSES_ROOT.
#pragma once

#include "text/gbk_text.h"

// Every key path and value the program writes, in one place.
extern const char kVerbKey[];
extern const char kCommandKey[];
extern const char kExtensionKey[];
extern const char kFileType[];
Text verb_command(const Text& program_dir);

// Points .rm at the file type and gives the type the verb. A failed create or
// write ends the program with the run-time error.
void register_verb(const Text& program_dir);
// Deletes the command key, then the verb key. A key that is not there counts
// as deleted; any other failure ends the program.
void unregister_verb();
