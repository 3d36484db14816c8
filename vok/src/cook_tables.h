// The cook bitstream's code tables: each code's length and bits, by symbol.
#pragma once
#include <cstdint>

namespace cook {

struct Table {
  const uint8_t* lengths;
  const uint16_t* codes;
  int size;
};

extern const Table kEnvelope[13];  // quantiser steps from band to band, by band
extern const Table kVectors[7];    // a band's coefficients, by category
extern const Table kCoupling[5];   // joint stereo's coupling values, by their width 2..6
extern const uint8_t kCouplingBand[51];

}  // namespace cook
