#pragma once

#include "text/gbk_text.h"

// Starts the repair script on the file and returns at once. A launch the
// platform refuses ends the program with the run-time error.
void launch_repair(const Text& program_dir, const Text& file);

// The command line it starts, in one place.
Text repair_command(const Text& program_dir, const Text& file);
