// -f: the repair, as one transaction.
#pragma once
#include "run.h"

// Judging a packet looks at the packets around it, and a repair changes
// what is around; a repaired file is scanned again until nothing is left to
// do, this many repairs at most (damage seen so far settles in three or four).
constexpr int kRepairRounds = 8;

// Repairs the file the run names; the exit code.
int fix(Run& r);
