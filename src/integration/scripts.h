// The two batch files install mode leaves next to the program.
#pragma once

#include "text/gbk_text.h"

extern const char kRepairScriptName[];
extern const char kRemovalScriptName[];

// Each ends the program with the run-time error at the first failed file
// operation; the file keeps what had been written out by then.
void write_repair_script(const Text& program_dir);
void write_removal_script(const Text& program_dir);
