// The program's own path and its command-line arguments.
#pragma once

#include <stddef.h>

#include "text/gbk_text.h"

// Index 0: the module path as the platform reports it. Index n >= 1: token n
// of the command line, token 0 being the program name as typed; empty when
// the line has fewer tokens. The line is rescanned on every call.
Text ParamStr(int index);

// Reads one token starting at p. Returns where the scan stopped (the separator
// or NUL that ended the token) and the token's length in *size. With dst set,
// also copies the token there; dst must hold *size bytes from a measuring pass.
const char* scan_token(const char* p, char* dst, size_t* size);
