// State shared by the simulated platform's files; not for the tests.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/sim/sim.h"

namespace sim {

// Logs a call of op on path and counts it against the armed faults. True, with
// the fault's code, when this call is the one to fail.
bool should_fail(Op op, const std::string& path, const std::string& log, uint32_t* code);

// Windows compares names case-insensitively for ASCII letters only.
std::string fold(const std::string& s);

void reset_process();
void reset_registry();
void reset_files();

}  // namespace sim
