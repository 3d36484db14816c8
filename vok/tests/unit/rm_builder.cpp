#include "rm_builder.h"

#include <algorithm>
#include <iterator>

namespace {

void put(std::vector<uint8_t>& b, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
}
void tag(std::vector<uint8_t>& b, const char* t) { b.insert(b.end(), t, t + 4); }

void put_bytes(std::vector<uint8_t>& b, const std::vector<uint8_t>& v) {
  b.insert(b.end(), v.begin(), v.end());
}

// AC-3 at a constant rate: 250 bytes every 32 ms.
const Ra5 kAc3 = [] {
  Ra5 r;
  r.interleaver = "Int0";
  r.fourcc = "dnet";
  r.sub_packet_h = 1;
  r.frame_size = 250;
  r.bytes_per_minute = 468750;
  return r;
}();

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
  Bytes codec = video ? vido_header("RV20", 25 << 16) : ra5_header(kAc3);
  put(b, codec.size(), 4);
  put_bytes(b, codec);
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
  put(b, o.logical_mime.empty() ? 6 : 7, 4);
  f.prop = b.size();
  tag(b, "PROP");
  put(b, 50, 4);
  put(b, 0, 2);
  for (int i = 0; i < 9; ++i) put(b, 0, 4);
  put(b, o.logical_mime.empty() ? 2 : 3, 2);
  put(b, 3, 2);
  f.cont = b.size();
  tag(b, "CONT");
  put(b, 18 + 5, 4);
  put(b, 0, 2);
  put(b, 5, 2);
  tag(b, "Titl");
  b.push_back('e');
  for (int i = 0; i < 3; ++i) put(b, 0, 2);
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
    uint64_t payload = f.packets.back().offset + header;
    if (is_video) b[payload] = 0x40, b[payload + 1] = 0x01;   // a whole frame
    if (!is_video) b[payload] = 0x77, b[payload + 1] = 0x0B;  // AC-3's sync word
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

BuiltFile build_custom(const std::vector<CustomStream>& streams, const std::vector<CustomPacket>& packets,
                       const std::vector<uint32_t>& stream_ms) {
  BuiltFile f;
  std::vector<uint8_t>& b = f.bytes;
  tag(b, ".RMF");
  put(b, 18, 4);
  put(b, 0, 2);
  put(b, 0, 4);
  put(b, 3 + streams.size(), 4);
  f.prop = b.size();
  tag(b, "PROP");
  put(b, 50, 4);
  put(b, 0, 2);
  for (int i = 0; i < 9; ++i) put(b, 0, 4);
  put(b, streams.size(), 2);
  put(b, 9, 2);
  uint32_t longest = 0;
  for (size_t i = 0; i < streams.size(); ++i) {
    const CustomStream& s = streams[i];
    uint64_t at = b.size();
    tag(b, "MDPR");
    put(b, 0, 4);
    put(b, 0, 2);
    put(b, s.number, 2);
    for (int k = 0; k < 6; ++k) put(b, 1000, 4);
    put(b, stream_ms[i], 4);
    if (stream_ms[i] > longest) longest = stream_ms[i];
    put(b, 6, 1);
    tag(b, "Stre");
    put(b, 0x616d, 2);
    put(b, s.mime.size(), 1);
    b.insert(b.end(), s.mime.begin(), s.mime.end());
    put(b, s.codec.size(), 4);
    put_bytes(b, s.codec);
    put32(b, at + 4, uint32_t(b.size() - at));
    if (i < 2) f.mdpr[i] = at;
  }
  f.data = b.size();
  tag(b, "DATA");
  put(b, 0, 4);
  put(b, 0, 2);
  put(b, packets.size(), 4);
  put(b, 0, 4);
  for (const CustomPacket& p : packets) {
    uint16_t length = uint16_t(12 + p.payload.size());
    f.packets.push_back({b.size(), length, p.stream, p.ts, p.flags, p.unit});
    put(b, 0, 2);
    put(b, length, 2);
    put(b, p.stream, 2);
    put(b, p.ts, 4);
    put(b, 0, 1);
    put(b, p.flags, 1);
    put_bytes(b, p.payload);
  }
  put32(b, f.data + 4, uint32_t(b.size() - f.data));
  put32(b, f.prop + 26, uint32_t(packets.size()));
  put32(b, f.prop + 30, longest);
  put32(b, f.prop + 42, uint32_t(f.data));
  return f;
}

Bytes ra5_header(const Ra5& r) {
  Bytes b;
  tag(b, ".ra\xFD");
  put(b, 5, 2);
  put(b, 0, 2);
  tag(b, ".ra5");
  put(b, 0x660561C7, 4);  // what RealProducer 8.5 leaves in the data size
  put(b, 5, 2);
  put(b, 70, 4);
  put(b, r.flavor, 2);
  put(b, r.coded_frame_size, 4);
  put(b, 0x000AD8EC, 4);
  put(b, r.bytes_per_minute, 4);
  put(b, 0, 4);
  put(b, r.sub_packet_h, 2);
  put(b, r.frame_size, 2);
  put(b, r.sub_packet_size, 2);
  put(b, 0, 2);
  put(b, 0, 2);
  put(b, r.sample_rate, 2);
  put(b, 0, 2);
  put(b, r.sample_rate, 2);
  put(b, 16, 4);
  put(b, r.channels, 2);
  tag(b, r.interleaver);
  tag(b, r.fourcc);
  put(b, 0x0107, 2);
  put(b, 0, 2);
  put(b, r.extradata.size(), 4);
  put_bytes(b, r.extradata);
  return b;
}

Bytes vido_header(const char* fourcc, uint32_t fps) {
  Bytes b;
  put(b, 34, 4);
  tag(b, "VIDO");
  tag(b, fourcc);
  put(b, 320, 2);
  put(b, 240, 2);
  put(b, 12, 2);
  put(b, 0, 4);
  put(b, fps, 4);
  put(b, 0x00000008, 4);
  put(b, 0x40000000, 4);  // RealVideo 4 in the codec's own version word
  return b;
}

namespace {

// A RealVideo length or offset: two bytes with bit 14 set below 16 KiB.
void rv_number(Bytes& b, uint32_t v) {
  if (v < 0x4000)
    put(b, 0x4000 | v, 2);
  else
    put(b, v, 4);
}

// Frame bytes: anything but the long zero runs compressed data never has.
void frame_bytes(Bytes& b, size_t n, uint32_t seed) {
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245 + 12345;
    b.push_back(uint8_t(seed >> 16) | 1);
  }
}

// A slice: its header (the bits that must be zero left so, the time in ms
// modulo 8192 where the codec keeps it), then frame bytes.
void slice_data(Bytes& b, size_t n, uint32_t ts, bool rv40, uint32_t seed) {
  put(b, uint64_t(ts & 0x1FFF) << (rv40 ? 6 : 7), 4);
  frame_bytes(b, n - 4, seed);
}

}  // namespace

std::vector<Bytes> rv_frame(uint32_t frame_len, uint8_t picture, uint32_t ts, bool rv40, size_t max_payload) {
  if (frame_len + 8 <= max_payload) return {rv_packed({{frame_len, ts}}, picture, rv40)};
  size_t data = max_payload - 7 - (frame_len >= 0x4000 ? 4 : 0);
  uint32_t slices = uint32_t((frame_len + data - 1) / data);
  std::vector<Bytes> out;
  for (uint32_t k = 0, at = 0; k < slices; ++k) {
    uint32_t n = uint32_t(std::min<size_t>(data, frame_len - at));
    bool last = k + 1 == slices;
    Bytes b;
    put(b, (last ? 2u : 0u) << 6 | ((slices - 1) & 0x3F), 1);
    put(b, k + 1, 1);
    rv_number(b, frame_len);
    rv_number(b, last ? n : at);  // the last slice says its length, the others where they lie
    put(b, picture, 1);
    slice_data(b, n, ts, rv40, frame_len + at);
    out.push_back(b);
    at += n;
  }
  return out;
}

Bytes rv_packed(const std::vector<std::pair<uint32_t, uint32_t>>& frames, uint8_t picture, bool rv40) {
  Bytes b;
  for (const auto& f : frames) {
    put(b, 3u << 6, 1);
    rv_number(b, f.first);
    rv_number(b, f.second);
    put(b, picture++, 1);
    slice_data(b, f.first, f.second, rv40, f.second);
  }
  return b;
}

Bytes helix_rv30_vido() {
  return {0x00, 0x00, 0x00, 0x24, 0x56, 0x49, 0x44, 0x4F, 0x52, 0x56, 0x33, 0x30,
          0x00, 0xB0, 0x00, 0x90, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F,
          0x00, 0x00, 0x00, 0x49, 0x10, 0x30, 0x30, 0x20, 0x30, 0x02, 0x2C, 0x24};
}

Bytes helix_cook_ra5() {
  return {0x2E, 0x72, 0x61, 0xFD, 0x00, 0x05, 0x00, 0x00, 0x2E, 0x72, 0x61, 0x35, 0x00, 0x00, 0x00,
          0x10, 0x00, 0x05, 0x00, 0x00, 0x00, 0x46, 0x00, 0x03, 0x00, 0x00, 0x02, 0x58, 0x00, 0x00,
          0x00, 0x00, 0x00, 0x02, 0x5D, 0x99, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x02, 0x58, 0x00,
          0x3C, 0x00, 0x00, 0x00, 0x00, 0x56, 0x22, 0x00, 0x00, 0x56, 0x22, 0x00, 0x00, 0x00, 0x10,
          0x00, 0x01, 0x67, 0x65, 0x6E, 0x72, 0x63, 0x6F, 0x6F, 0x6B, 0x01, 0x07, 0x00, 0x00, 0x00,
          0x00, 0x00, 0x08, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x17};
}

BuiltFile build_helix(int frames, int gop, bool silence, bool shared) {
  constexpr uint32_t kFrameMs = 80, kBlockMs = 2090, kPerBlock = 9;
  std::vector<CustomPacket> video, audio;
  for (int i = 0; i < frames; ++i) {
    bool key = i % gop == 0;
    uint32_t ts = uint32_t(i) * kFrameMs,
             len = key ? 2400 + 500 * uint32_t(i / gop % 2) : 30 + 13 * uint32_t(i % 7);
    for (const Bytes& part : rv_frame(len, uint8_t(i), ts, false))
      video.push_back({0, ts, uint8_t(key ? 2 : 0), part, i});
  }
  int blocks = int((uint32_t(frames) * kFrameMs + kBlockMs - 1) / kBlockMs);
  for (int k = 0; k < blocks * int(kPerBlock); ++k) {
    Bytes payload;
    frame_bytes(payload, 600, silence ? 7919 : uint32_t(k) * 7919);
    uint32_t ts = uint32_t(k / kPerBlock) * kBlockMs +
                  (silence || shared ? 0 : uint32_t(k % kPerBlock) * kBlockMs / kPerBlock);
    audio.push_back({1, ts, uint8_t(k % kPerBlock == 0 ? 2 : 0), payload, frames + k / int(kPerBlock)});
  }
  std::vector<CustomPacket> all;
  std::merge(video.begin(), video.end(), audio.begin(), audio.end(), std::back_inserter(all),
             [](const CustomPacket& a, const CustomPacket& b) { return a.ts < b.ts; });
  uint32_t video_ms = uint32_t(frames) * kFrameMs, audio_ms = uint32_t(blocks) * kBlockMs;
  return build_custom(
      {{0, "video/x-pn-realvideo", helix_rv30_vido()}, {1, "audio/x-pn-realaudio", helix_cook_ra5()}}, all,
      {video_ms, audio_ms});
}

Bytes rv40_slice_header(bool key, uint32_t pts, uint32_t w, uint32_t h) {
  uint64_t bits = 0;
  int n = 0;
  auto add = [&](uint32_t v, int k) { bits = bits << k | v, n += k; };
  add(0, 1), add(key ? 0 : 2, 2), add(9, 5), add(0, 2), add(1, 2), add(0, 1), add(pts & 0x1FFF, 13);
  key ? (add(w, 3), add(h, 3)) : add(1, 1);
  add(0, 11);
  bits <<= 64 - n;
  Bytes b;
  put(b, bits, 8);
  return b;
}

BuiltFile build_rv40(uint32_t last_w, uint32_t last_h, int packed) {
  std::vector<CustomPacket> ps;
  for (int i = 0; i < 60; ++i) {
    bool key = i % 10 == 0;
    uint32_t ts = uint32_t(i) * 40, len = key ? 3000 : 400 + uint32_t(i % 7) * 50;
    bool joins = !key && (i % 10 - 1) % packed != 0;  // the frame before it is in the packet
    Bytes fresh, &p = joins ? ps.back().payload : fresh;
    put(p, 3u << 6, 1);
    rv_number(p, len);
    rv_number(p, ts);
    put(p, uint8_t(i), 1);
    put_bytes(p, rv40_slice_header(key, ts, i == 50 ? last_w : 5, i == 50 ? last_h : 5));
    frame_bytes(p, len - 8, uint32_t(i) * 7919);
    if (!joins) ps.push_back({0, ts, uint8_t(key ? 2 : 0), p, i});
  }
  return build_custom({{0, "video/x-pn-realvideo", vido_header("RV40", 25 << 16)}}, ps, {2400});
}
