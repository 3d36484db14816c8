// Bits of a codec's own headers, first bit the highest; a read past the end
// gives zeros and says so.
#pragma once
#include <cstddef>
#include <cstdint>

struct BitReader {
  const uint8_t* bytes;
  size_t size, at = 0;  // in bits
  bool over = false;

  BitReader(const uint8_t* p, size_t n) : bytes(p), size(n * 8) {}
  size_t left() const { return size - at; }
  uint32_t bit() {
    if (at >= size) return over = true, 0;
    uint32_t b = (bytes[at >> 3] >> (7 - (at & 7))) & 1;
    ++at;
    return b;
  }
  uint32_t get(int n) {
    uint32_t v = 0;
    while (n-- > 0) v = v << 1 | bit();
    return v;
  }
};
