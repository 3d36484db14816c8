// Writes the file a repair plan describes: the header chunks, one DATA chunk
// with every kept packet, and what may stay after it.
#pragma once
#include "output_sink.h"
#include "packet_scan.h"
#include "reader.h"
#include "repair_plan.h"

// False when the original could not be read back.
bool write_repaired(Reader& in, const Scan& s, const Plan& plan, Sink& out);
