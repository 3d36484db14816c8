// The chunks that follow the packets, and whether the index among them can
// stay as its writer made it.
#pragma once
#include <cstdint>
#include <vector>

#include "packet_scan.h"
#include "reader.h"
#include "rm_headers.h"

// True when the index can stay: it is chained from its first chunk, every
// record points at the header of a kept packet of its stream and carries
// that packet's timestamp, records rise, a stream without packets has no
// records, and every stream with keyframes is indexed to near its end.
bool index_matches(Reader& in, const Headers& h, const Scan& s, const TrailingChunks& t);
