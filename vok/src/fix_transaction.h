// -f: the repair, as one transaction.
#pragma once
#include "run.h"

// Repairs the file the run names; the exit code.
int fix(Run& r);
