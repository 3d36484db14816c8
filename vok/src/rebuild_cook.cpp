// A cook stream's setting from its packets: the packet size, the block
// height and the block's time one of those real encoders use must match,
// and where several do, the frames must read as one's alone.
#include <algorithm>
#include <set>

#include "cook_read.h"
#include "rebuild_streams.h"

namespace rebuild {

namespace {

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

// A cook setting (a "flavour") as real encoders write it: the packets show
// `w`, `h` and the block's time; the rest is the encoder's, and only the
// frames tell settings apart that agree in those three.
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

}  // namespace

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

}  // namespace rebuild
