#pragma once

#include "text/gbk_text.h"

// The folder part of a module path: everything up to and including its last
// backslash, or empty when there is none.
Text program_dir_of(const Text& module_path);
