// A stream's codec is taken as determined only where one reading of its
// packets fits: AC-3 ('dnet') names its own rate and channels in every
// frame; a cook stream shows its packet size, its block height and its
// block time, and one setting of those real encoders use must match all
// three, or among several that do, its frames must read as that one's
// alone (rebuild_cook); RealVideo 4 names its size in its keyframes
// (rebuild_rv40). Other codecs, RealVideo 3 among them, are not told apart
// from packets. Here: what each stream shows, and the headers made of it.
#include "header_rebuild.h"

#include <algorithm>
#include <cstring>

#include "be_bytes.h"
#include "codec.h"
#include "packet_frame.h"
#include "rebuild_streams.h"
#include "rm_headers.h"

namespace rebuild {

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

uint32_t span_ms(const Seen& s) {
  auto mm = std::minmax_element(s.times.begin(), s.times.end());
  return s.times.empty() ? 0 : *mm.second - *mm.first;
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

namespace {

constexpr uint64_t kLooked = 32u << 20;  // of the packets, enough for each stream to show its kind
constexpr size_t kKept = 4096;           // times and flags kept of each stream
constexpr size_t kMostStreams = 8;
constexpr uint64_t kStray = 8;   // packets of a number no stream has: junk read as packets
constexpr size_t kSampled = 64;  // payloads kept of each stream, for its codec's frames to be read

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
  for (uint32_t at : frames) s.starts.push_back({ts, {payload + at, payload + std::min<size_t>(n, at + 16)}});
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

}  // namespace rebuild

bool rebuild_headers(Reader& in, Rebuilt& out) {
  using rebuild::Made;
  using rebuild::Seen;
  out = Rebuilt();
  std::vector<Seen> seen = rebuild::census(in);
  if (seen.empty() || seen.size() > rebuild::kMostStreams) return false;
  std::sort(seen.begin(), seen.end(), [](const Seen& a, const Seen& b) { return a.number < b.number; });
  std::vector<Made> made(seen.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    if (!rebuild::dnet(seen[i], made[i]) && !rebuild::cook(seen[i], made[i], out.alike) &&
        !rebuild::rv40(seen[i], made[i]))
      return out.unknown = seen[i].number, false;
    out.said += (i ? ", " : "") + made[i].said;
  }
  out.file = rebuild::file_of(seen, made);
  return true;
}
