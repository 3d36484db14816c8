// Big-endian fields, as every RealMedia structure stores them.
#pragma once
#include <cstdint>

namespace be {

inline uint16_t u16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t u32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
inline bool tag_is(const uint8_t* p, const char* tag) {
  return p[0] == uint8_t(tag[0]) && p[1] == uint8_t(tag[1]) && p[2] == uint8_t(tag[2]) &&
         p[3] == uint8_t(tag[3]);
}

}  // namespace be
