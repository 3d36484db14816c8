// RealVideo 4 from its packets: the size its keyframes name, the rate its
// frames' times show.
#include <algorithm>

#include "be_bytes.h"
#include "bit_reader.h"
#include "codec.h"
#include "rebuild_streams.h"

namespace rebuild {

namespace {

// RealVideo 4 codes a frame's size in its keyframes' slice headers: one of
// a few standard sizes in three bits, or its own in bytes of four pixels.
uint32_t dimension(BitReader& b, const int16_t* sizes) {
  int v = sizes[b.get(3)];
  if (v < 0) v = sizes[int(b.bit()) - v];
  if (v) return uint32_t(v);
  uint32_t size = 0, byte;
  do {
    byte = b.get(8);
    size += byte << 2;
  } while (byte == 0xFF && !b.over);
  return size;
}

// The size a keyframe's first slice header names; 0 where it does not
// open a RealVideo 4 keyframe at its first macroblock.
uint32_t rv40_key_size(const std::vector<uint8_t>& head) {
  static const int16_t kWidths[8] = {160, 172, 240, 320, 352, 640, 704, 0};
  static const int16_t kHeights[12] = {120, 132, 144, 240, 288, 480, -8, -10, 180, 360, 576, 0};
  static const uint32_t kMostBlocks[5] = {0x2F, 0x62, 0x18B, 0x62F, 0x18BF};
  static const int kStartBits[6] = {6, 7, 9, 11, 13, 14};
  BitReader b(head.data(), head.size());
  if (b.bit()) return 0;
  uint32_t type = b.get(2);
  b.get(5);
  if (b.get(2) || type > 1) return 0;  // intra only
  b.get(16);                           // its coding set and time
  uint32_t w = dimension(b, kWidths), h = dimension(b, kHeights);
  if (!w || !h || w > 4096 || h > 4096) return 0;
  uint32_t blocks = ((w + 15) >> 4) * ((h + 15) >> 4);
  int i = 0;
  while (i < 5 && kMostBlocks[i] < blocks - 1) ++i;
  return b.get(kStartBits[i]) == 0 && !b.over ? w << 16 | h : 0;
}

}  // namespace

// A video stream is RealVideo 4 where every frame's first slice header
// reads as one, its time its packet's, and every intra frame names one
// size. A frame's own header says it is intra: writers flag packets that
// only end a keyframe too.
bool rv40(const Seen& s, Made& m) {
  Codec c;
  c.kind = CodecKind::Video, c.fourcc = fourcc("RV40");
  uint32_t size = 0;
  int64_t first = INT64_MAX, last = INT64_MIN;
  for (const Seen::Start& f : s.starts) {
    if (!c.slice_fits(f.head.data(), f.head.size(), f.ts)) return false;
    uint32_t pts = be::u32(f.head.data()) >> 6 & 0x1FFF;
    int64_t shown = int64_t(f.ts) + (int64_t((pts - f.ts + 4096) & 0x1FFF) - 4096);
    first = std::min(first, shown), last = std::max(last, shown);
    if ((be::u32(f.head.data()) >> 29 & 3) > 1) continue;  // P- and B-frames say no size
    uint32_t key = rv40_key_size(f.head);
    if (!key || (size && key != size)) return false;
    size = key;
  }
  if (!size || s.starts.size() < 8 || last <= first) return false;
  uint32_t w = size >> 16, h = size & 0xFFFF;
  uint64_t fps =
      (uint64_t(s.starts.size() - 1) * 65536000 + uint64_t(last - first) / 2) / uint64_t(last - first);
  if (fps < 0x10000 || fps > 240u * 0x10000) return false;
  put32(m.codec, 34), put_text(m.codec, "VIDORV40");
  put16(m.codec, uint16_t(w)), put16(m.codec, uint16_t(h)), put16(m.codec, 12), put32(m.codec, 0);
  put32(m.codec, uint32_t(fps)), put32(m.codec, 0), put32(m.codec, 0x40000000);
  m.name = "Video Stream", m.mime = "video/x-pn-realvideo";
  m.said = "RealVideo 4 " + std::to_string(w) + "\xC3\x97" + std::to_string(h);  // ×
  return true;
}

}  // namespace rebuild
