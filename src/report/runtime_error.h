// The run-time error: the one way the program stops on a failure.
//
// A message box "Runtime error NNN at XXXXXXXX" names the low 8 bits of the
// error code and the code address just after the failed check, so a report
// from the field says which check fired. The process then exits.
#pragma once

#include <stdint.h>

const uint32_t kOutOfMemory = 203;

// The exit code for an error code: its low 8 bits, or the whole code where
// those are zero, so that no failure ever exits with 0.
uint32_t exit_code_for(uint32_t code);

// The 29 bytes of the message, NUL-terminated, into out[30].
void format_runtime_error(uint32_t code, uint32_t address, char out[30]);

[[noreturn]] void runtime_error(uint32_t code, uint32_t address);

// Both report the address their caller resumes at, so every call site of
// these shows its own, stable number.
__attribute__((noinline)) void check(uint32_t code);
[[noreturn]] __attribute__((noinline)) void fail_at_caller(uint32_t code);
