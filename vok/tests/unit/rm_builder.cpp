#include "rm_builder.h"

namespace {

void put(std::vector<uint8_t>& b, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
}
void tag(std::vector<uint8_t>& b, const char* t) { b.insert(b.end(), t, t + 4); }

void mdpr(BuiltFile& f, uint16_t number, const std::string& mime, bool video) {
  std::vector<uint8_t>& b = f.bytes;
  uint64_t at = b.size();
  tag(b, "MDPR");
  put(b, 0, 4);  // size, set below
  put(b, 0, 2);
  put(b, number, 2);
  for (int i = 0; i < 6; ++i) put(b, 1000 + i, 4);  // rates, sizes, start, preroll
  put(b, 0, 4);                                     // duration, set later
  put(b, 4, 1);
  tag(b, "name");
  put(b, mime.size(), 1);
  b.insert(b.end(), mime.begin(), mime.end());
  put(b, 8, 4);
  if (video) {
    put(b, 8, 4);
    tag(b, "VIDO");
  } else {
    tag(b, ".ra\xFD");
    put(b, 4, 4);
  }
  put32(b, at + 4, uint32_t(b.size() - at));
  if (number < 2) f.mdpr[number] = at;
}

}  // namespace

uint32_t get32(const std::vector<uint8_t>& b, uint64_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
void put32(std::vector<uint8_t>& b, uint64_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (24 - 8 * i));
}

BuiltFile build_rm(const BuildOptions& o) {
  BuiltFile f;
  std::vector<uint8_t>& b = f.bytes;
  tag(b, ".RMF");
  put(b, 18, 4);
  put(b, 0, 2);
  put(b, 0, 4);
  put(b, o.logical_mime.empty() ? 5 : 6, 4);
  f.prop = b.size();
  tag(b, "PROP");
  put(b, 50, 4);
  put(b, 0, 2);
  for (int i = 0; i < 9; ++i) put(b, 0, 4);
  put(b, 2, 2);
  put(b, 3, 2);
  mdpr(f, 0, "video/x-pn-realvideo", true);
  mdpr(f, 1, o.audio_mime, false);
  if (!o.logical_mime.empty()) mdpr(f, 7, o.logical_mime, false);
  f.data = b.size();
  tag(b, "DATA");
  put(b, 0, 4);
  put(b, 0, 2);
  put(b, 0, 4);
  put(b, 0, 4);

  uint32_t seed = 12345;
  int video = 0, audio = 0;
  uint32_t end_ms = uint32_t(o.seconds) * 1000;
  while (video * 40u < end_ms || audio * 32u < end_ms) {
    bool is_video = video * 40u <= audio * 32u;
    uint32_t ts = is_video ? video * 40u : audio * 32u;
    uint8_t flags = is_video ? (video % 12 == 0 ? 2 : 0) : 2;
    uint16_t header = o.version1 ? 13 : 12;
    uint16_t length = uint16_t(header + (is_video ? 300 + (video * 37) % 900 : 250));
    f.packets.push_back({b.size(), length, uint16_t(is_video ? 0 : 1), ts, flags});
    put(b, o.version1 ? 1 : 0, 2);
    put(b, length, 2);
    put(b, is_video ? 0 : 1, 2);
    put(b, ts, 4);
    put(b, 0, 1);
    put(b, flags, 1);
    if (o.version1) put(b, 0, 1);
    for (int i = header; i < length; ++i) {
      seed = seed * 1103515245 + 12345;
      b.push_back(uint8_t(seed >> 16));
    }
    if (is_video) b[f.packets.back().offset + header] = 0x40, b[f.packets.back().offset + header + 1] = 0x01;
    (is_video ? video : audio)++;
  }
  uint64_t packet_bytes = b.size() - f.data - 18;
  put32(b, f.data + 4, uint32_t(18 + packet_bytes + (o.trailer ? 18 : 0)));
  put32(b, f.data + 10, uint32_t(f.packets.size()));
  if (o.trailer) b.insert(b.end(), 8, 0);
  put32(b, f.prop + 26, uint32_t(f.packets.size()));
  put32(b, f.prop + 30, uint32_t(video * 40 > audio * 32 ? video * 40 : audio * 32));
  put32(b, f.prop + 42, uint32_t(f.data));
  put32(b, f.mdpr[0] + 36, uint32_t(video * 40));
  put32(b, f.mdpr[1] + 36, uint32_t(audio * 32));
  return f;
}
