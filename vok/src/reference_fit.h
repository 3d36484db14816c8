// Whether packets found in a file whose headers are lost can belong to the
// streams a reference file describes: the same streams, packets of the
// same sizes, keyframes where the reference has them. The codec sub-headers
// were checked while scanning.
#pragma once
#include <cstdint>

#include "packet_scan.h"
#include "rm_headers.h"

enum class Misfit : uint8_t { None, NoPackets, Sizes, Keyframes };

struct Fit {
  Misfit misfit = Misfit::None;
  uint16_t stream = 0;
};

Fit reference_fit(const Headers& ref, const Scan& ref_scan, const Scan& file_scan);
