// Writes the file a repair plan describes: the header chunks with their fields
// patched, one DATA chunk with every kept packet, and what may stay after it.
#pragma once
#include "output_sink.h"
#include "packet_scan.h"
#include "reader.h"
#include "repair_plan.h"
#include "rm_headers.h"

// False when the original could not be read back.
bool write_repaired(Reader& in, const Headers& h, const Scan& s, const Plan& plan, Sink& out);
// Writes the patches into `buf`, which holds the file's bytes from `at` on.
void apply_patches(const std::vector<Patch>& patches, uint64_t at, uint8_t* buf, size_t n);
