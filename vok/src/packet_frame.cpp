// There is no sync marker and no checksum in a RealMedia packet stream, so a
// header counts only when the packets after it chain. After damage the scan
// resumes byte by byte at the first place where three packets in a row
// chain, so that one plausible fake header in garbage cannot swallow the
// good packets after it. A header whose stream number is damaged still
// frames its packet when what follows chains: the packet before it is whole.
#include "packet_frame.h"

#include <cstring>

#include "be_bytes.h"
#include "chunks.h"

namespace {

constexpr int kResyncChain = 3;  // packets in a row that must chain after damage
constexpr uint64_t kHeadlessSearch = 64ull << 20;
// Compressed audio and video never end in a run of zeros this long; a
// payload that does was cut by zero fill (a piece of a download that never
// came) that stops right where the next packet starts.
constexpr size_t kZeroCut = 16;

constexpr size_t kHeaderBytes = 12;  // what a closer look at a place needs
constexpr uint64_t kTailBytes = 64;  // the file's last bytes are looked at one by one

// The first bytes of a packet header (its version) and of the tags of
// chunks that end the packets.
constexpr struct MayStart {
  bool b[256] = {};
  constexpr MayStart() : b() { b[0] = b[uint8_t('D')] = b[uint8_t('.')] = b[uint8_t('I')] = true; }
  bool operator[](uint8_t c) const { return b[c]; }
} kMayStart;

uint64_t word(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// The first byte from `i` that is not zero: a page at a time through zero
// fill (memcmp is the library's fastest loop), then a word, then a byte.
size_t skip_zeros(const uint8_t* p, size_t i, size_t n) {
  static const uint8_t kZeroPage[4096] = {};
  while (i + sizeof kZeroPage <= n && memcmp(p + i, kZeroPage, sizeof kZeroPage) == 0) i += sizeof kZeroPage;
  while (i + 8 <= n && word(p + i) == 0) i += 8;
  while (i < n && p[i] == 0) ++i;
  return i;
}

// Whether any of the eight bytes of `v` is one of those, all at once.
bool may_start_in(uint64_t v) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  auto has_zero = [](uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  return has_zero(v) | has_zero(v ^ (kOnes * 'D')) | has_zero(v ^ (kOnes * '.')) |
         has_zero(v ^ (kOnes * 'I'));
}

bool zero_cut(const uint8_t* payload, size_t n) {
  if (n < 2 * kZeroCut) return false;
  for (size_t i = n - kZeroCut; i < n; ++i)
    if (payload[i]) return false;
  return true;
}

}  // namespace

Framer::Framer(Reader& in, const Headers& h) : in_(in), h_(h) {
  for (size_t i = 0; i < h.streams.size(); ++i)
    if (h.streams[i].physical) numbers_.push_back({h.streams[i].number, int16_t(i)});
  end_ = in.size();
  zeros_ = zero_tail_start(h.packets);
}

uint64_t Framer::zero_tail_start(uint64_t from) {
  uint64_t z = in_.size();
  while (z > from) {
    uint64_t n = z - from;
    if (n > 65536) n = 65536;
    const uint8_t* p = in_.at(z - n, size_t(n));
    if (!p) return z;
    size_t i = size_t(n);
    while (i > 0 && p[i - 1] == 0) --i;
    if (i > 0) return z - n + i;
    z -= n;
  }
  return z;
}

// Files have a few streams: a look along them beats a table of every number.
int Framer::stream_of(uint16_t number) const {
  for (const auto& n : numbers_)
    if (n.first == number) return n.second;
  return -1;
}

Chunk Framer::chunk_at(uint64_t q) {
  ChunkAt c = ::chunk_at(in_, q);
  if (!c.ends_packets()) return Chunk::None;
  if (c.tag == Tag::File) return Chunk::File;
  if (c.chained_data()) return Chunk::Data;
  if (c.index()) return Chunk::Index;
  // Four printable letters and a size that fits are common enough in
  // damaged packet data: another chunk ends the packets only where chunks
  // run from it to the end of the file (or to a second file, or to an index
  // cut short).
  TrailingChunks t = read_trailing(in_, q);
  return t.valid || t.second_file || t.index_cut ? Chunk::Other : Chunk::None;
}

bool Framer::trailer_at(uint64_t q) {
  const uint8_t* b = in_.at(q, tail::kTrailerBytes);
  if (!b) return false;
  for (uint64_t i = 0; i < tail::kTrailerBytes; ++i)
    if (b[i]) return false;
  return q + tail::kTrailerBytes < end_ && chunk_at(q + tail::kTrailerBytes) != Chunk::None;
}

Shape Framer::look(uint64_t q, Packet& p) {
  if (q == memo_at_ && shift_ == memo_shift_) return p = memo_, memo_shape_;
  memo_at_ = q;
  memo_shift_ = shift_;
  memo_shape_ = read(q, memo_);
  p = memo_;
  return memo_shape_;
}

Shape Framer::read(uint64_t q, Packet& p) {
  p = Packet();
  if (q >= end_ || end_ - q < 12) return Shape::Bad;
  const uint8_t* b = in_.at(q, 12);
  if (!b) return Shape::Bad;
  uint16_t version = be::u16(b);
  if (version > 1) return Shape::Bad;
  p.offset = q;
  p.header = uint8_t(12 + version);
  p.length = be::u16(b + 2);
  p.number = be::u16(b + 4);
  p.stream = stream_of(p.number);
  p.ts = be::u32(b + 6) + shift_;
  p.shift = shift_;
  p.flags = b[11];
  if (p.length < p.header || (version == 0 && (p.flags & 0xFC))) return Shape::Bad;
  uint64_t e = q + p.length;
  // A packet reaching into a zero-filled tail was cut short by it, unless
  // the zeros after it are no more than a writer's trailer.
  if (e > end_ || (e > zeros_ && end_ - e > tail::kTrailerBytes)) return Shape::Truncated;
  if (p.stream < 0) return Shape::Stray;
  const uint8_t* whole = in_.at(q, p.length);
  if (!whole) return Shape::Bad;
  const Stream& stream = h_.streams[size_t(p.stream)];
  const uint8_t* payload = whole + p.header;
  size_t n = p.length - p.header;
  p.span = stream.codec.packet_ms(payload, n, n);
  // A video stream whose codec data vok does not know still has sub-packets;
  // one whose codec vok knows must.
  bool sliced = stream.video && read_video_payload(payload, n, p.video, &stream.codec, p.ts - p.shift);
  bool fits = stream.codec.kind == CodecKind::Video ? sliced : stream.codec.payload_fits(payload, n, n);
  if (!sliced) p.video = VideoPayload();
  bool whole_units = stream.codec.kind == CodecKind::Video || stream.codec.interleaved();
  if (!fits || (whole_units && zero_cut(payload, n))) return Shape::Misfit;
  p.proven = stream.codec.own_clock() || stream.codec.interleaved();
  return Shape::Good;
}

bool Framer::chains(uint64_t s, int depth) {
  if (s >= end_ || s >= zeros_ || end_ - s < 12) return true;
  Packet p;
  switch (look(s, p)) {
    case Shape::Truncated:
      return true;
    case Shape::Bad:
      return chunk_at(s) != Chunk::None || trailer_at(s);
    case Shape::Stray: {
      // Its stream number is damaged: it counts only with packets of known
      // streams after it.
      uint64_t next = s + p.length;
      Packet n;
      return next < end_ && next < zeros_ && look(next, n) == Shape::Good && chains(next + n.length, 1);
    }
    default:
      return depth <= 1 || chains(s + p.length, depth - 1);
  }
}

bool Framer::resumes_at(uint64_t q) {
  Chunk c = chunk_at(q);
  if (c == Chunk::Data || c == Chunk::File || c == Chunk::Index) return true;
  Packet p;
  return look(q, p) == Shape::Good && chains(q + p.length, kResyncChain - 1);
}

// Only a packet header of a known stream, or the tag of a chunk that ends
// the packets, can be where the scan resumes: everything else is passed over
// a byte at a time without a closer look, and zeros eight bytes at a time
// (no packet starts where its length would be zero).
size_t Framer::next_candidate(const uint8_t* p, size_t i, size_t n) const {
  size_t last = n - kHeaderBytes;
  while (i < last) {
    while (i + 8 <= last && !may_start_in(word(p + i))) i += 8;
    while (i < last && !kMayStart[p[i]]) ++i;
    if (i >= last) break;
    if (p[i] != 0) {
      if (be::tag_is(p + i, "DATA") || be::tag_is(p + i, ".RMF") || be::tag_is(p + i, "INDX")) return i;
      ++i;
      continue;
    }
    if (word(p + i) == 0) {
      // Past the zeros: a packet may start up to three bytes before the
      // first byte that is not zero (its length's, or its version's).
      size_t j = skip_zeros(p, i + 8, n);
      i = j - 3;
      continue;
    }
    uint16_t version = p[i + 1], length = be::u16(p + i + 2);
    if (p[i + 1] <= 1 && length >= 12 + version && stream_of(be::u16(p + i + 4)) >= 0 &&
        (version == 1 || (p[i + 11] & 0xFC) == 0))
      return i;
    ++i;
  }
  return last;
}

uint64_t Framer::resync(uint64_t from) {
  uint64_t stop = end_ < zeros_ ? end_ : zeros_;
  uint64_t q = from;
  while (q < stop && end_ - q > kTailBytes) {
    size_t n = size_t(end_ - q < Reader::kMaxSpan ? end_ - q : Reader::kMaxSpan);
    const uint8_t* p = in_.at(q, n);
    if (!p) return stop;
    size_t k = next_candidate(p, 0, n);
    if (k == n - kHeaderBytes) {
      q += k;
      continue;
    }
    if (q + k >= stop) return stop;
    if (resumes_at(q + k)) return q + k;
    q += k + 1;
  }
  // The last bytes, one at a time: a chunk there may be cut short.
  for (; q < stop; ++q)
    if (resumes_at(q)) return q;
  return stop;
}

bool headless_plausible(const uint8_t* b) {
  uint16_t version = be::u16(b), length = be::u16(b + 2), stream = be::u16(b + 4);
  return version <= 1 && length >= 13 + version && stream < 64 && (version == 1 || !(b[11] & 0xFC));
}

namespace {

// Packets without headers: plausible ones whose timestamps keep near each
// other within a stream.
bool headless_chain(Reader& in, uint64_t q, int want) {
  uint32_t first_ts[64];
  bool seen[64] = {};
  for (int k = 0; k < want; ++k) {
    const uint8_t* b = in.at(q, 12);
    if (!b) return false;
    if (!headless_plausible(b)) return false;
    uint16_t length = be::u16(b + 2), stream = be::u16(b + 4);
    uint32_t ts = be::u32(b + 6);
    if (seen[stream] &&
        (ts + timing::kReorderMs < first_ts[stream] || ts > uint64_t(first_ts[stream]) + timing::kLeadMs))
      return false;
    if (!seen[stream]) seen[stream] = true, first_ts[stream] = ts;
    q += length;
    if (q > in.size()) return false;
  }
  return true;
}

}  // namespace

uint64_t find_headless_packets(Reader& in, uint64_t from) {
  uint64_t limit = in.size() - from < kHeadlessSearch ? in.size() : from + kHeadlessSearch;
  uint8_t eight[8];
  for (uint64_t q = from; q + 12 <= limit; ++q) {
    // No packet starts where its length field would be zero: zero fill is
    // passed five bytes at a time.
    if (q + 8 <= limit && in.peek(q, eight, 8) && !(be::u32(eight) | be::u32(eight + 4))) {
      q += 4;
      continue;
    }
    if (headless_chain(in, q, 8)) return q;
  }
  return UINT64_MAX;
}
