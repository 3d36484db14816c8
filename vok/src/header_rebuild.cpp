// A stream's codec is taken as determined only where one reading of its
// packets fits: AC-3 ('dnet') names its own rate and channels in every
// frame; a cook stream shows its packet size, its block height and its
// block time, and one setting of those real encoders use must match all
// three, or among several that do, its frames must read as that one's
// alone. Other codecs, and video, are not told apart from packets yet.
#include "header_rebuild.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "be_bytes.h"
#include "bit_reader.h"
#include "codec.h"
#include "cook_read.h"
#include "packet_frame.h"
#include "rm_headers.h"

namespace {

constexpr uint64_t kLooked = 32u << 20;  // of the packets, enough for each stream to show its kind
constexpr size_t kKept = 4096;           // times and flags kept of each stream
constexpr size_t kMostStreams = 8;
constexpr uint64_t kStray = 8;   // packets of a number no stream has: junk read as packets
constexpr size_t kSampled = 64;  // payloads kept of each stream, for its codec's frames to be read

struct Seen {
  uint16_t number = 0;
  uint64_t packets = 0, bytes = 0;
  uint32_t length = 0;  // of every payload, or 0 where they differ
  uint32_t max_length = 0;
  bool all_flagged = true;
  std::vector<uint32_t> times;
  std::vector<bool> flags;
  std::vector<uint8_t> key;     // the start of its first flagged payload
  std::vector<uint8_t> sample;  // payloads from its first on, while they are all one size
  struct Start {
    uint32_t ts;
    bool flagged;
    std::vector<uint8_t> head;
  };
  std::vector<Start> starts;  // the codec's first bytes in its first frames, where they are video
};

Seen* stream_seen(std::vector<Seen>& seen, uint16_t number) {
  for (Seen& s : seen)
    if (s.number == number) return &s;
  if (seen.size() == kMostStreams * 4) return nullptr;
  seen.push_back(Seen());
  seen.back().number = number;
  return &seen.back();
}

void count(Seen& s, const uint8_t* payload, uint32_t n, uint32_t ts, bool flagged) {
  s.length = s.packets == 0 || s.length == n ? n : 0;
  ++s.packets;
  s.bytes += n;
  s.max_length = std::max(s.max_length, n);
  s.all_flagged = s.all_flagged && flagged;
  if (s.times.size() < kKept) s.times.push_back(ts), s.flags.push_back(flagged);
  if (flagged && s.key.empty()) s.key.assign(payload, payload + std::min<uint32_t>(n, 64));
  // A film may open quiet: past its first packets, one in 8.
  if (s.length && (s.packets <= kSampled || (s.packets % 8 == 0 && s.sample.size() < 8 * kSampled * n)))
    s.sample.insert(s.sample.end(), payload, payload + n);
  VideoPayload v;
  std::vector<uint32_t> frames;
  if (s.starts.size() >= kSampled || !read_video_payload(payload, n, v, nullptr, 0, &frames)) return;
  for (uint32_t at : frames)  // a keyframe is its packet's first
    s.starts.push_back(
        {ts, flagged && at == frames[0], {payload + at, payload + std::min<size_t>(n, at + 16)}});
}

// The packets chained from where they seem to start, over damage to where
// they chain again, per stream number.
std::vector<Seen> census(Reader& in) {
  std::vector<Seen> seen;
  uint64_t q = find_headless_packets(in);
  uint64_t end = q == UINT64_MAX ? 0 : std::min(in.size(), q + kLooked);
  while (q < end) {
    uint8_t h[12] = {};
    bool plausible = in.peek(q, h, 12) && headless_plausible(h);
    uint16_t length = be::u16(h + 2);
    uint32_t header = 12 + be::u16(h);
    const uint8_t* p = plausible ? in.at(q, length) : nullptr;
    Seen* s = p ? stream_seen(seen, be::u16(p + 4)) : nullptr;
    if (!s) {
      q = find_headless_packets(in, q + 1);
      continue;
    }
    count(*s, p + header, length - header, be::u32(p + 6), (p[header - 1] & 2) != 0);
    q += length;
  }
  seen.erase(std::remove_if(seen.begin(), seen.end(), [](const Seen& s) { return s.packets < kStray; }),
             seen.end());
  return seen;
}

// What is made of a stream: its MDPR's type and codec data.
struct Made {
  std::string name, mime;
  std::vector<uint8_t> codec;
  std::string said;
};

std::string khz(uint32_t rate) {
  std::string s = std::to_string(rate / 1000);
  uint32_t rest = rate % 1000;
  if (!rest) return s + " kHz";
  std::string frac = std::to_string(1000 + rest).substr(1);
  while (frac.back() == '0') frac.pop_back();
  return s + "." + frac + " kHz";
}

std::string channels(uint32_t n) {
  return n == 1 ? "mono" : n == 2 ? "stereo" : std::to_string(n) + " channels";
}

void put16(std::vector<uint8_t>& b, uint16_t v) { b.push_back(uint8_t(v >> 8)), b.push_back(uint8_t(v)); }
void put32(std::vector<uint8_t>& b, uint32_t v) { put16(b, uint16_t(v >> 16)), put16(b, uint16_t(v)); }
void put_text(std::vector<uint8_t>& b, const char* s) { b.insert(b.end(), s, s + strlen(s)); }

// The fields versions 4 and 5 of the .ra header share, up to the sub-packet
// size, with the interleaving block `h` packets of `w` bytes.
void ra_common(std::vector<uint8_t>& b, uint16_t version, uint16_t flavor, uint32_t coded,
               uint32_t per_minute, uint16_t h, uint16_t w, uint16_t sub) {
  put_text(b, ".ra\xFD");
  put16(b, version), put16(b, 0);
  put_text(b, version == 5 ? ".ra5" : ".ra4");
  put32(b, 16), put16(b, version), put32(b, 0);  // data size as Helix writes it; the header size comes last
  put16(b, flavor), put32(b, coded), put32(b, 0), put32(b, per_minute), put32(b, 0);
  put16(b, h), put16(b, w), put16(b, sub), put16(b, 0);
}

void ra_header_size(std::vector<uint8_t>& b) { be::put32(b.data() + 18, uint32_t(b.size() - 16)); }

// Its packets per block: the distance between flagged packets, the same
// throughout; 0 where it is not.
uint32_t block_height(const Seen& s) {
  uint32_t h = 0, last = UINT32_MAX;
  for (uint32_t i = 0; i < s.flags.size(); ++i) {
    if (!s.flags[i]) continue;
    if (last != UINT32_MAX && h && i - last != h) return 0;
    if (last != UINT32_MAX) h = i - last;
    last = i;
  }
  return h;
}

// The usual time from one block to the next.
uint32_t block_step(const Seen& s) {
  std::vector<uint32_t> steps;
  uint32_t last = UINT32_MAX;
  for (size_t i = 0; i < s.flags.size(); ++i)
    if (s.flags[i]) {
      if (last != UINT32_MAX && s.times[i] > last) steps.push_back(s.times[i] - last);
      last = s.times[i];
    }
  if (steps.empty()) return 0;
  std::nth_element(steps.begin(), steps.begin() + long(steps.size() / 2), steps.end());
  return steps[steps.size() / 2];
}

// AC-3, its 16-bit words byte-swapped: every frame names its rate (a half
// or quarter of the base rate in the low-rate variant) and its channels.
bool dnet(const Seen& s, Made& m) {
  const std::vector<uint8_t>& k = s.key;
  if (!s.all_flagged || !s.length || k.size() < 8 || k[0] != 0x77 || k[1] != 0x0B) return false;
  static const uint32_t kRates[] = {48000, 44100, 32000};
  static const uint8_t kChannels[] = {2, 1, 2, 3, 3, 4, 4, 5};
  uint8_t fscod = k[5] >> 6, bsid = k[4] >> 3, acmod = k[7] >> 5;
  if (fscod > 2 || bsid > 10) return false;
  uint32_t rate = kRates[fscod] >> (bsid > 8 ? bsid - 8 : 0);
  uint32_t frame_ms = 1536 * 1000 / rate, step = block_step(s);  // a frame a packet
  if (step * 100 < frame_ms * 98 || step * 98 > frame_ms * 100ull) return false;
  // lfeon follows the mix levels acmod calls for.
  int mixes = ((acmod & 1) && acmod != 1 ? 2 : 0) + ((acmod & 4) ? 2 : 0) + (acmod == 2 ? 2 : 0);
  bool lfe = (k[7] >> (4 - mixes)) & 1;
  uint16_t n = uint16_t(kChannels[acmod] + lfe);
  uint32_t per_minute = uint32_t(uint64_t(s.length) * rate * 60 / 1536);
  ra_common(m.codec, 4, 0, s.length, per_minute, 1, uint16_t(s.length), 0);
  put16(m.codec, uint16_t(rate)), put16(m.codec, 0), put16(m.codec, 16), put16(m.codec, n);
  m.codec.insert(m.codec.end(), {4, 'I', 'n', 't', '0', 4, 'd', 'n', 'e', 't', 0, 6, 0, 0, 0, 0, 0});
  ra_header_size(m.codec);
  m.name = "Audio Stream", m.mime = "audio/x-pn-realaudio";
  m.said = "AC-3 " + khz(rate) + " " + channels(n);
  return true;
}

// A cook setting (a "flavour") as real encoders write it: the packets show
// `w`, `h` and the block's time; the rest is the encoder's. Settings that
// agree in those three cannot be told apart: such a stream is not
// determined.
struct CookSetting {
  uint16_t flavor;
  uint32_t rate;
  uint8_t channels;
  uint16_t coded;    // bytes per cook frame
  uint16_t samples;  // per frame and channel
  uint8_t subbands, js_start, js_bits;
  uint8_t version;  // of the cook data: 1 mono, 2 two channels coded apart, 3 joint stereo
  uint16_t h, w;    // packets per block, payload bytes per packet
};

const CookSetting kCook[] = {
    {0, 8000, 1, 32, 256, 12, 0, 0, 1, 8, 288},        {1, 11025, 1, 32, 256, 12, 0, 0, 1, 8, 352},
    {2, 22050, 1, 47, 512, 18, 0, 0, 1, 8, 564},       {3, 22050, 1, 60, 512, 23, 0, 0, 1, 9, 600},
    {4, 44100, 1, 93, 1024, 37, 0, 0, 1, 14, 651},     {6, 44100, 1, 186, 1024, 47, 0, 0, 1, 20, 744},
    {7, 22050, 1, 93, 512, 24, 0, 0, 1, 16, 558},      {8, 8000, 1, 24, 256, 9, 0, 0, 1, 6, 288},
    {9, 11025, 2, 58, 256, 11, 0, 0, 2, 10, 580},      {10, 22050, 2, 94, 512, 18, 0, 0, 2, 14, 564},
    {11, 22050, 2, 128, 512, 24, 0, 0, 2, 16, 640},    {12, 44100, 2, 186, 1024, 37, 0, 0, 2, 20, 744},
    {13, 44100, 2, 278, 1024, 47, 0, 0, 2, 30, 834},   {15, 44100, 1, 60, 1024, 47, 0, 0, 1, 9, 600},
    {16, 44100, 1, 93, 1024, 47, 0, 0, 2, 14, 651},    {18, 22050, 2, 60, 512, 20, 1, 3, 3, 10, 600},
    {19, 22050, 2, 60, 512, 23, 1, 3, 3, 10, 600},     {20, 22050, 2, 93, 512, 24, 2, 4, 3, 16, 465},
    {21, 44100, 2, 93, 1024, 32, 2, 4, 3, 16, 465},    {22, 44100, 2, 128, 1024, 32, 5, 5, 3, 16, 640},
    {23, 44100, 2, 128, 1024, 37, 2, 4, 3, 16, 640},   {24, 44100, 2, 186, 1024, 37, 6, 5, 3, 16, 930},
    {25, 44100, 2, 280, 1024, 37, 8, 5, 3, 16, 1400},  {27, 44100, 2, 186, 1024, 30, 17, 5, 3, 16, 930},
    {28, 44100, 2, 280, 1024, 34, 19, 5, 3, 16, 1400}, {29, 22050, 2, 128, 512, 23, 17, 5, 3, 16, 640},
};

// The time one block of the setting covers, in ms.
uint64_t block_ms(const CookSetting& c) { return uint64_t(c.w) * c.h / c.coded * c.samples * 1000 / c.rate; }

CookCoding coding(const CookSetting& c) {
  bool joint = c.version == 3;
  return {c.coded,
          c.samples,
          c.subbands,
          joint ? c.js_start : uint8_t(0),
          joint ? c.js_bits : uint8_t(0),
          c.version == 2 && c.channels == 2};
}

// Of settings alike in every size, the one whose coding the frames fill:
// most of them, where sound enough to tell shows, and no other comes near.
// A quiet frame repeats byte for byte and counts once; bytes that are no
// cook's fill a few frames by chance, not most. False where none does.
bool by_frames(const Seen& s, std::vector<const CookSetting*>& fit) {
  if (fit.empty()) return false;
  std::vector<size_t> filled;
  size_t frames = 0;
  for (const CookSetting* c : fit) {
    std::set<std::vector<uint8_t>> seen;
    size_t n = 0;
    for (size_t at = 0; at + c->coded <= s.sample.size(); at += c->coded)
      if (seen.insert({s.sample.begin() + long(at), s.sample.begin() + long(at + c->coded)}).second)
        n += cook_frame_fills(&s.sample[at], coding(*c));
    filled.push_back(n);
    frames = std::max(frames, seen.size());
  }
  size_t best = size_t(std::max_element(filled.begin(), filled.end()) - filled.begin());
  if (filled[best] < 8 || filled[best] * 2 < frames) return false;
  for (size_t i = 0; i < fit.size(); ++i)
    if (i != best && filled[i] * 4 > filled[best]) return false;
  fit = {fit[best]};
  return true;
}

uint32_t span_ms(const Seen& s) {
  auto mm = std::minmax_element(s.times.begin(), s.times.end());
  return s.times.empty() ? 0 : *mm.second - *mm.first;
}

// A stream of one block, all there: the first of its packets flagged alone.
uint32_t one_block(const Seen& s) {
  bool one =
      s.packets == s.flags.size() && s.flags[0] && std::count(s.flags.begin(), s.flags.end(), true) == 1;
  return one ? uint32_t(s.packets) : 0;
}

// Whether its blocks are the setting's: as many packets of its size, and a
// block's time. One block shows its time only where each packet carries
// its own (Helix), over all but the last packet's share.
bool blocks_fit(const Seen& s, const CookSetting& c, uint32_t h, uint32_t step) {
  if (c.w != s.length || c.h != h) return false;
  uint64_t ms = block_ms(c), span = span_ms(s), spread = ms * (h - 1) / h;
  if (step) return ms * 98 <= step * 100ull && step * 98 <= ms * 100;
  return span == 0 || (spread * 98 <= span * 100 && span * 98 <= spread * 100);
}

// `alike` names the settings that fit where more than one does.
bool cook(const Seen& s, Made& m, std::string& alike) {
  uint32_t h = block_height(s), step = block_step(s);
  bool one = !h && (h = one_block(s)) != 0;
  if (!s.length || !h || (!one && !step)) return false;
  std::vector<const CookSetting*> fit;
  for (const CookSetting& c : kCook)
    if (blocks_fit(s, c, h, step)) fit.push_back(&c);
  // One block shows too little of its times: its frames must say cook.
  bool told = (fit.size() > 1 || one) && by_frames(s, fit);
  if (one && !told) return false;
  if (fit.size() > 1) {
    alike = "cook flavours";
    for (const CookSetting* c : fit) alike += " " + std::to_string(c->flavor);
  }
  if (fit.size() != 1) return false;
  const CookSetting& c = *fit[0];
  uint32_t per_minute = uint32_t(uint64_t(c.coded) * c.rate * 60 / c.samples);
  ra_common(m.codec, 5, c.flavor, c.w, per_minute, c.h, c.w, c.coded);
  for (uint16_t v : {uint16_t(0), uint16_t(c.rate), uint16_t(0), uint16_t(c.rate), uint16_t(0), uint16_t(16)})
    put16(m.codec, v);
  put16(m.codec, c.channels);
  put_text(m.codec, "genrcook");
  m.codec.insert(m.codec.end(), {1, 7, 0, 0});
  bool joint = c.version == 3;
  put32(m.codec, joint ? 16 : 8);
  put32(m.codec, 0x01000000u | c.version), put16(m.codec, uint16_t(c.samples * c.channels));
  put16(m.codec, c.subbands);
  if (joint) put32(m.codec, 0), put16(m.codec, c.js_start), put16(m.codec, c.js_bits);
  ra_header_size(m.codec);
  m.name = "Audio Stream", m.mime = "audio/x-pn-realaudio";
  m.said = "cook " + khz(c.rate) + " " + channels(c.channels);
  return true;
}

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

// A video stream is RealVideo 4 where every frame's first slice header
// reads as one, its time its packet's, and every keyframe names one size.
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
    if (!f.flagged) continue;  // frames before the first keyframe say no size
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

void put_chunk(std::vector<uint8_t>& b, const char* tag, size_t at) {
  memcpy(b.data() + at, tag, 4);
  be::put32(b.data() + at + 4, uint32_t(b.size() - at));
}

void mdpr(std::vector<uint8_t>& b, const Seen& s, const Made& m, uint32_t ms) {
  size_t at = b.size();
  b.resize(at + 8);
  uint32_t rate = ms ? uint32_t(s.bytes * 8000 / ms) : 0;
  put16(b, 0), put16(b, s.number), put32(b, rate), put32(b, rate), put32(b, s.max_length);
  put32(b, uint32_t(s.bytes / s.packets)), put32(b, 0), put32(b, 0), put32(b, 0);
  b.push_back(uint8_t(m.name.size())), b.insert(b.end(), m.name.begin(), m.name.end());
  b.push_back(uint8_t(m.mime.size())), b.insert(b.end(), m.mime.begin(), m.mime.end());
  put32(b, uint32_t(m.codec.size()));
  b.insert(b.end(), m.codec.begin(), m.codec.end());
  put_chunk(b, "MDPR", at);
}

// A file of these streams with no packets: headers to take, as a
// reference's are taken. Durations are left to the repair, which counts
// them from every packet; the rates here are those of the packets looked at.
std::vector<uint8_t> file_of(const std::vector<Seen>& seen, const std::vector<Made>& made) {
  std::vector<uint8_t> b;
  put_text(b, ".RMF"), put32(b, field::kRmfSize), put16(b, 0), put32(b, 0);
  put32(b, uint32_t(seen.size() + 2));
  uint64_t bytes = 0, packets = 0;
  uint32_t ms = 0, largest = 0;
  for (const Seen& s : seen) {
    bytes += s.bytes, packets += s.packets;
    ms = std::max(ms, span_ms(s)), largest = std::max(largest, s.max_length);
  }
  size_t prop = b.size();
  b.resize(prop + 8);
  uint32_t rate = ms ? uint32_t(bytes * 8000 / ms) : 0;
  put16(b, 0), put32(b, rate), put32(b, rate), put32(b, largest), put32(b, uint32_t(bytes / packets));
  put32(b, 0), put32(b, 0), put32(b, 0), put32(b, 0), put32(b, 0);
  put16(b, uint16_t(seen.size())), put16(b, 0);
  put_chunk(b, "PROP", prop);
  for (size_t i = 0; i < seen.size(); ++i) mdpr(b, seen[i], made[i], span_ms(seen[i]));
  size_t data = b.size();
  b.resize(data + 8);
  put16(b, 0), put32(b, 0), put32(b, 0);
  put_chunk(b, "DATA", data);
  be::put32(b.data() + prop + field::kPropDataOffset, uint32_t(data));
  return b;
}

}  // namespace

bool rebuild_headers(Reader& in, Rebuilt& out) {
  out = Rebuilt();
  std::vector<Seen> seen = census(in);
  if (seen.empty() || seen.size() > kMostStreams) return false;
  std::sort(seen.begin(), seen.end(), [](const Seen& a, const Seen& b) { return a.number < b.number; });
  std::vector<Made> made(seen.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    if (!dnet(seen[i], made[i]) && !cook(seen[i], made[i], out.alike) && !rv40(seen[i], made[i]))
      return out.unknown = seen[i].number, false;
    out.said += (i ? ", " : "") + made[i].said;
  }
  out.file = file_of(seen, made);
  return true;
}
