// The .ra header fields sit at fixed places in versions 4 and 5 up to the
// sub-packet size; after it version 5 has three more words and fixed
// four-character ids where version 4 has length-prefixed strings.
#include "codec.h"

#include "be_bytes.h"

namespace {

constexpr uint32_t kGenr = fourcc("genr"), kSipr = fourcc("sipr"), kInt4 = fourcc("Int4"),
                   kInt0 = fourcc("Int0"), kVbrs = fourcc("vbrs"), kVbrf = fourcc("vbrf");
constexpr uint32_t kRv30 = fourcc("RV30"), kRv40 = fourcc("RV40");
constexpr uint32_t kDnet = fourcc("dnet"), kRaac = fourcc("raac"), kRacp = fourcc("racp"),
                   kLpcj = fourcc("lpcJ");

constexpr uint32_t kSliceSlackMs = 1000;  // a B-frame's reorder, as the scan allows

// Whole milliseconds, cut rather than rounded, as writers store them.
uint32_t ms_div(uint64_t a, uint64_t b) { return b ? uint32_t(a / b) : 0; }

// A 4-character id stored after a length byte (version 4).
bool str8_id(const uint8_t* p, size_t n, size_t& at, uint32_t& id) {
  if (at >= n || at + 1 + p[at] > n) return false;
  uint8_t len = p[at];
  id = 0;
  for (uint8_t i = 0; i < 4; ++i) id = id << 8 | (i < len ? p[at + 1 + i] : 0);
  at += 1 + len;
  return true;
}

bool read_audio(const uint8_t* p, size_t n, Codec& c) {
  c.kind = CodecKind::Audio;
  if (n < 6) return false;
  c.ra_version = be::u16(p + 4);
  if (c.ra_version == 3) {
    // The oldest header: 8 kHz speech, one frame after another.
    if (n < 18) return false;
    c.fourcc = kLpcj;
    c.interleaver = kInt0;
    c.bytes_per_minute = be::u16(p + 16);
    c.sample_rate = 8000;
    c.channels = 1;
    return true;
  }
  if (c.ra_version != 4 && c.ra_version != 5) return false;
  if (n < (c.ra_version == 5 ? 70u : 58u)) return false;
  c.flavor = be::u16(p + 22);
  c.coded_frame_size = be::u32(p + 24);
  c.bytes_per_minute = be::u32(p + 32);
  c.sub_packet_h = be::u16(p + 40);
  c.frame_size = be::u16(p + 42);
  c.sub_packet_size = be::u16(p + 44);
  if (c.ra_version == 5) {
    c.sample_rate = be::u16(p + 54);
    c.channels = be::u16(p + 60);
    c.interleaver = be::u32(p + 62);
    c.fourcc = be::u32(p + 66);
  } else {
    c.sample_rate = be::u16(p + 48);
    c.channels = be::u16(p + 54);
    size_t at = 56;
    if (!str8_id(p, n, at, c.interleaver) || !str8_id(p, n, at, c.fourcc)) return false;
  }
  // The consistency a decoder demands before it will deinterleave.
  uint32_t w = c.frame_size, h = c.sub_packet_h;
  switch (c.interleaver) {
    case kGenr:
      return h > 0 && c.sub_packet_size > 0 && c.sub_packet_size <= w && w % c.sub_packet_size == 0;
    case kInt4:
      return h > 1 && c.coded_frame_size <= w && uint64_t(c.coded_frame_size) * h == 2ull * w;
    case kSipr:
      return h > 0 && w > 0 && c.flavor <= 3;
    case kInt0:
    case kVbrs:
    case kVbrf:
      return true;
    default:
      return false;
  }
}

// A RealVideo length or offset: two bytes with bit 14 set below 16 KiB,
// else four.
bool video_number(const uint8_t* p, size_t n, size_t& at, uint32_t& v) {
  if (at + 2 > n) return false;
  uint32_t x = be::u16(p + at) & 0x7FFF;
  at += 2;
  if (x >= 0x4000) return v = x - 0x4000, true;
  if (at + 2 > n) return false;
  v = x << 16 | be::u16(p + at);
  at += 2;
  return true;
}

}  // namespace

bool read_video_payload(const uint8_t* p, size_t n, VideoPayload& v, const Codec* c, uint32_t ts,
                        std::vector<uint32_t>* frames) {
  v = VideoPayload();
  auto fits = [&](size_t at) { return !c || c->slice_fits(p + at, n - at, ts); };
  auto begins = [&](size_t at) {
    if (frames) frames->push_back(uint32_t(at));
  };
  for (size_t at = 0; at < n;) {
    uint8_t type = p[at] >> 6;
    if (type == 1) {  // a whole frame: the rest of the payload
      if (at != 0 || n < 3 || !fits(2)) return false;
      v.whole = 1;
      begins(2);
      return true;
    }
    size_t q = at + 1 + (type != 3);  // a sequence byte, but in packed frames
    uint32_t frame = 0, pos = 0;
    if (!video_number(p, n, q, frame) || !video_number(p, n, q, pos) || q >= n) return false;
    ++q;  // picture number
    VideoSlice s{p[q - 1], frame, 0, 0};
    size_t rest = n - q;
    if (frame == 0 || !fits(q)) return false;
    if (type == 3) {  // a whole frame of `frame` bytes; `pos` is its time
      if (frame > rest) return false;
      ++v.whole;
      begins(q);
      at = q + frame;
      continue;
    }
    if (type == 2) {  // the last slice of a frame, `pos` bytes long
      if (at != 0 || pos == 0 || pos > frame || pos > rest) return false;
      s.offset = frame - pos, s.length = pos;
      v.has_head = true, v.head = s;
      if (pos == frame) begins(q);
      at = q + pos;
      continue;
    }
    // A slice at `pos` of its frame, taking the rest of the payload.
    if (uint64_t(pos) + rest > frame) return false;
    if (pos == 0) begins(q);
    s.offset = pos, s.length = uint32_t(rest);
    if (at == 0)
      v.has_head = true, v.head = s;
    else
      v.has_tail = true, v.tail = s;
    return true;
  }
  return n > 0;
}

bool read_codec(const uint8_t* p, size_t n, Codec& c) {
  c = Codec();
  if (n >= 4 && be::tag_is(p, ".ra\xFD")) return read_audio(p, n, c);
  if (n >= 8 && be::tag_is(p + 4, "VIDO")) {
    c.kind = CodecKind::Video;
    if (n < 26) return false;
    c.fourcc = be::u32(p + 8);
    c.fps = be::u32(p + 22);
    return true;
  }
  return true;
}

bool Codec::own_clock() const { return kind == CodecKind::Video && (fourcc == kRv30 || fourcc == kRv40); }

// A RealVideo 3 or 4 slice header: bits that must be zero, and the frame's
// time in ms modulo 8192, which B-frames have earlier than their packet's
// (up to a reorder), never much later.
bool Codec::slice_fits(const uint8_t* d, size_t n, uint32_t ts) const {
  if (!own_clock()) return true;
  if (n < 4) return false;
  uint32_t bits = be::u32(d);
  bool rv40 = fourcc == kRv40;
  if (rv40 ? (bits >> 31 || (bits >> 22 & 3)) : (bits >> 26 & 1)) return false;
  uint32_t pts = (bits >> (rv40 ? 6 : 7)) & 0x1FFF;
  uint32_t ahead = (pts - ts) & 0x1FFF, behind = (ts - pts) & 0x1FFF;
  return ahead <= kSliceSlackMs || behind <= kSliceSlackMs;
}

bool Codec::interleaved() const {
  return kind == CodecKind::Audio && (interleaver == kGenr || interleaver == kSipr || interleaver == kInt4) &&
         sub_packet_h > 0 && frame_size > 0;
}

uint32_t Codec::fixed_payload() const {
  if (!interleaved()) return 0;
  return interleaver == kInt4 ? uint32_t(sub_packet_h / 2) * coded_frame_size : frame_size;
}

uint32_t Codec::frame_ms() const {
  // Between 1 and 240 frames a second; anything else is not a frame rate.
  if (kind != CodecKind::Video || fps < 0x10000 || fps > 240u * 0x10000) return 0;
  return ms_div(1000ull << 16, fps);
}

uint32_t Codec::block_ms() const {
  if (!interleaved() || bytes_per_minute == 0) return 0;
  uint32_t ms = ms_div(uint64_t(sub_packet_h) * frame_size * 60000, bytes_per_minute);
  return ms <= 20000 ? ms : 0;
}

uint32_t Codec::packet_ms(const uint8_t* head, size_t head_len, size_t n) const {
  if (kind != CodecKind::Audio || interleaved()) return 0;
  if ((interleaver == kVbrs || interleaver == kVbrf) && (fourcc == kRaac || fourcc == kRacp)) {
    // AAC: a count of access units first; an HE-AAC frame gives twice the
    // samples of a plain one at the rate the header names.
    if (head_len < 2 || sample_rate == 0) return 0;
    uint32_t units = (be::u16(head) & 0xF0) >> 4;
    return ms_div(uint64_t(units) * (fourcc == kRacp ? 2048 : 1024) * 1000, sample_rate);
  }
  return bytes_per_minute ? ms_div(uint64_t(n) * 60000, bytes_per_minute) : 0;
}

bool Codec::payload_fits(const uint8_t* p, size_t head_len, size_t n) const {
  if (kind != CodecKind::Audio) return true;
  if (uint32_t fixed = fixed_payload()) return n == fixed;
  if (interleaver == kVbrs || interleaver == kVbrf) {
    // AAC: the access units' lengths follow their count and must fit.
    if (head_len < 2) return n >= 2;
    size_t units = (be::u16(p) & 0xF0) >> 4, at = 2 + 2 * units;
    if (units == 0 || at > n) return false;
    if (at > head_len) return true;  // more lengths than were read
    uint64_t sum = 0;
    for (size_t i = 0; i < units; ++i) sum += be::u16(p + 2 + 2 * i);
    return sum > 0 && sum <= n - at;
  }
  // AC-3 frames open with their sync word, stored byte-swapped.
  if (fourcc == kDnet && head_len >= 2)
    return (p[0] == 0x77 && p[1] == 0x0B) || (p[0] == 0x0B && p[1] == 0x77);
  return true;
}
