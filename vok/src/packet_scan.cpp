// There is no sync marker and no checksum in a RealMedia packet stream, so a
// packet counts only when its header is plausible, its payload fits its
// stream, and the packet after it is plausible too. After damage, scanning
// resumes byte by byte at the first place where three packets in a row
// chain, so that one plausible fake header in garbage cannot swallow the good
// packets after it. A packet whose successor does not check out is dropped:
// its own tail is what the damage hit.
//
// Timestamps must keep their stream's order, within a margin for B-frames,
// and may not leap far ahead of the file's clock; where the packet that
// follows agrees with a timestamp rather than with the past, the timeline
// itself moved. Copies of packets already
// kept (a piece of a download written twice) are left out.
#include "packet_scan.h"

#include <cstring>

#include "be_bytes.h"
#include "index_build.h"

namespace {

constexpr uint32_t kReorderMs = 1000;  // how far a timestamp may step back
constexpr uint32_t kLeadMs = 30000;    // how far ahead of the clock it may be
constexpr int kLookahead = 64;         // packets looked through for the next of a stream
constexpr int kResyncChain = 3;        // packets in a row that must chain after damage
constexpr size_t kRing = 1 << 16;      // packets remembered to recognise copies
constexpr size_t kPeek = 48;           // a packet header and the start of its payload
constexpr uint64_t kHeadlessSearch = 64ull << 20;

// Misfit: a packet that chains but whose payload cannot be of its stream.
enum class Verdict { Bad, Good, Truncated, Misfit };
enum class Chunk { None, Data, File, Index, Other };

struct Seen {
  uint64_t offset;
  uint32_t ts;
  uint16_t length;
  int16_t stream;
};

class Scanner {
 public:
  Scanner(Reader& in, const Headers& h, IndexBuilder* index) : in_(in), h_(h), index_(index), ring_(kRing) {
    for (size_t i = 0; i < h.streams.size(); ++i)
      if (h.streams[i].physical) lookup_[h.streams[i].number] = int16_t(i);
    s_.stats.resize(h.streams.size());
    end_ = in.size();
    zeros_ = zero_tail_start();
  }

  Scan run();

 private:
  Verdict shape(uint64_t q, Packet& p);
  Verdict read_shape(uint64_t q, Packet& p);
  bool successor_ok(uint64_t s, int depth);
  bool trailer_at(uint64_t q);
  Chunk chunk_at(uint64_t q);
  uint64_t resync(uint64_t from);
  bool in_time(const Packet& p) const;
  bool next_of_stream(const Packet& p, Packet& n);
  bool judge_time(const Packet& p);
  bool is_copy(const Packet& p);
  bool same_bytes(const Seen& e, const Packet& p);
  bool join(uint64_t at, uint64_t& packets);
  void accept(const Packet& p);
  void skip(uint64_t from, uint64_t to);
  void finish(Chunk stop, uint64_t at, Verdict last);
  uint64_t zero_tail_start();

  Reader& in_;
  const Headers& h_;
  IndexBuilder* index_;
  std::vector<int16_t> lookup_ = std::vector<int16_t>(65536, -1);
  Scan s_;
  uint64_t end_ = 0, zeros_ = 0;
  uint32_t shift_ = 0;      // for the packets of a joined second file
  bool disrupted_ = false;  // the last packets were not kept
  std::vector<Seen> ring_;
  size_t ring_n_ = 0;
  long repeat_at_ = -1;  // the remembered packet the last copy was of
  uint32_t clock_ = 0;   // the latest timestamp kept, of any stream
  uint64_t memo_at_ = UINT64_MAX;
  uint32_t memo_shift_ = 0;
  Packet memo_;
  Verdict memo_verdict_ = Verdict::Bad;
};

uint64_t Scanner::zero_tail_start() {
  uint64_t z = in_.size();
  while (z > h_.packets) {
    uint64_t n = z - h_.packets;
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

Chunk Scanner::chunk_at(uint64_t q) {
  const uint8_t* p = in_.at(q, 10);
  if (!p) return Chunk::None;
  if (be::tag_is(p, "DATA") && be::u16(p + 8) == 0 && in_.size() - q >= field::kDataHeaderSize)
    return Chunk::Data;
  if (be::tag_is(p, ".RMF") && be::u32(p + 4) == field::kRmfSize && be::u16(p + 8) <= 1) return Chunk::File;
  // An index stops the packets even when cut short (a write that was interrupted).
  if (be::tag_is(p, "INDX") && be::u16(p + 8) == 0) return Chunk::Index;
  for (int i = 0; i < 4; ++i)
    if (p[i] < 0x20 || p[i] > 0x7E) return Chunk::None;
  uint32_t size = be::u32(p + 4);
  return size >= 10 && size <= in_.size() - q ? Chunk::Other : Chunk::None;
}

// The last packet looked at is remembered: the scan looks at each packet
// first as the successor of the one before.
Verdict Scanner::shape(uint64_t q, Packet& p) {
  if (q == memo_at_ && shift_ == memo_shift_) return p = memo_, memo_verdict_;
  memo_at_ = q;
  memo_shift_ = shift_;
  memo_verdict_ = read_shape(q, memo_);
  p = memo_;
  return memo_verdict_;
}

Verdict Scanner::read_shape(uint64_t q, Packet& p) {
  uint64_t avail = end_ - q;
  if (q >= end_ || avail < 12) return Verdict::Bad;
  size_t n = avail < kPeek ? size_t(avail) : kPeek;
  const uint8_t* b = in_.at(q, n);
  if (!b) return Verdict::Bad;
  uint16_t version = be::u16(b);
  if (version > 1) return Verdict::Bad;
  p.header = uint8_t(12 + version);
  p.length = be::u16(b + 2);
  p.stream = lookup_[be::u16(b + 4)];
  p.ts = be::u32(b + 6) + shift_;
  p.flags = b[11];
  p.offset = q;
  if (n < p.header || p.length < p.header || p.stream < 0) return Verdict::Bad;
  if (version == 0 && (p.flags & 0xFC)) return Verdict::Bad;
  const Stream& stream = h_.streams[size_t(p.stream)];
  size_t payload = p.length - p.header, seen = n - p.header < payload ? n - p.header : payload;
  // A video stream whose codec data vok does not know still has slices;
  // one whose codec vok knows must.
  VideoSlice slice;
  bool sliced = stream.video && read_video_slice(b + p.header, seen, payload, slice);
  bool fits =
      stream.codec.kind == CodecKind::Video ? sliced : stream.codec.payload_fits(b + p.header, seen, payload);
  p.frame_start = !sliced || slice.frame_start;
  p.span = stream.codec.packet_ms(b + p.header, seen, payload);
  uint64_t e = q + p.length;
  if (e > end_) return Verdict::Truncated;
  // A packet reaching into a zero-filled tail was cut short by it, unless
  // the zeros after it are no more than a writer's trailer.
  if (e > zeros_ && end_ - e > tail::kTrailerBytes) return Verdict::Truncated;
  return fits ? Verdict::Good : Verdict::Misfit;
}

// A writer's zero bytes between the last packet of one file part and the
// chunk that follows (a second file, an index).
bool Scanner::trailer_at(uint64_t q) {
  const uint8_t* b = in_.at(q, tail::kTrailerBytes);
  if (!b) return false;
  for (uint64_t i = 0; i < tail::kTrailerBytes; ++i)
    if (b[i]) return false;
  return q + tail::kTrailerBytes < end_ && chunk_at(q + tail::kTrailerBytes) != Chunk::None;
}

// A chunk or a writer's zeros cannot read as a packet (their first byte is
// not zero, or their length is): they are looked for only where no packet is.
bool Scanner::successor_ok(uint64_t s, int depth) {
  if (s >= end_ || s >= zeros_ || end_ - s < 12) return true;
  Packet p;
  Verdict v = shape(s, p);
  if (v == Verdict::Truncated) return true;
  if (v == Verdict::Bad) return chunk_at(s) != Chunk::None || trailer_at(s);
  return depth <= 1 || successor_ok(s + p.length, depth - 1);
}

uint64_t Scanner::resync(uint64_t from) {
  Packet p;
  for (uint64_t q = from; q < end_ && q < zeros_; ++q) {
    Chunk c = chunk_at(q);
    if (c == Chunk::Data || c == Chunk::File || c == Chunk::Index) return q;
    if (shape(q, p) == Verdict::Good && successor_ok(q + p.length, kResyncChain - 1)) return q;
  }
  return end_ < zeros_ ? end_ : zeros_;
}

// Within reach of a reference time: not before it by more than a B-frame
// reorder, not after it by more than the packets of other streams may lead.
bool near(uint32_t ts, uint64_t ref) { return uint64_t(ts) + kReorderMs >= ref && ts <= ref + kLeadMs; }

bool Scanner::in_time(const Packet& p) const {
  const StreamStats& st = s_.stats[size_t(p.stream)];
  if (st.packets && uint64_t(p.ts) + kReorderMs < st.last_ts) return false;
  if (!s_.packets) return true;
  uint64_t ref = st.packets && st.last_ts > clock_ ? st.last_ts : clock_;
  return uint64_t(p.ts) <= ref + kLeadMs;
}

// The next packet of the same stream as the scan will keep it: past
// packets left out for not fitting their stream, a DATA header, damage (as
// the scan resyncs), so that a repaired file, where none of these are left,
// shows the same next packet.
bool Scanner::next_of_stream(const Packet& p, Packet& n) {
  uint64_t q = p.offset + p.length;
  for (int k = 0; k < kLookahead && q < end_ && q < zeros_; ++k) {
    Chunk c = chunk_at(q);
    if (c == Chunk::Data) {
      q += field::kDataHeaderSize;
      continue;
    }
    if (c != Chunk::None) return false;
    if (trailer_at(q)) return false;
    Verdict v = shape(q, n);
    if ((v == Verdict::Good || v == Verdict::Misfit) &&
        successor_ok(q + n.length, v == Verdict::Good ? 1 : 2)) {
      if (v == Verdict::Good && n.stream == p.stream) return true;
      q += n.length;
      continue;
    }
    q = resync(q + (v == Verdict::Bad || v == Verdict::Misfit ? 0 : 1));
  }
  return false;
}

// True when the packet's timestamp can be right. One out of order is wrong
// when the next of its stream keeps to the past: a spike; when the next
// agrees with it instead, the timeline itself moved. A stream's first
// packet is wrong when the two after it agree with each other and not with
// it. The judgement rests on packets only, so that a repaired file is
// judged as its repair was.
bool Scanner::judge_time(const Packet& p) {
  Packet n, n2;
  if (in_time(p)) {
    if (s_.stats[size_t(p.stream)].packets || !next_of_stream(p, n) || near(n.ts, p.ts)) return true;
    return !(next_of_stream(n, n2) && near(n2.ts, n.ts));
  }
  return next_of_stream(p, n) && !in_time(n) && near(n.ts, p.ts);
}

bool Scanner::same_bytes(const Seen& e, const Packet& p) {
  static thread_local std::vector<uint8_t> earlier;
  earlier.resize(p.length);
  if (!in_.peek(e.offset, earlier.data(), p.length)) return false;
  const uint8_t* b = in_.at(p.offset, p.length);
  return b && memcmp(earlier.data(), b, p.length) == 0;
}

// A copy of a packet already kept. A run of copies starts with a packet
// older than its stream's latest (the piece written twice lies back in
// time) and goes on packet by packet; identical packets that share the
// latest timestamp (silence in an interleaving block) are no copies.
bool Scanner::is_copy(const Packet& p) {
  auto same = [&](const Seen& e) {
    return e.stream == p.stream && e.ts == p.ts && e.length == p.length && e.offset != p.offset &&
           same_bytes(e, p);
  };
  if (repeat_at_ >= 0) {
    size_t i = (size_t(repeat_at_) + 1) % kRing;
    if (i != ring_n_ % kRing && same(ring_[i])) return repeat_at_ = long(i), true;
    return repeat_at_ = -1, false;
  }
  const StreamStats& st = s_.stats[size_t(p.stream)];
  if (!st.packets || p.ts >= st.last_ts) return false;
  size_t n = ring_n_ < kRing ? ring_n_ : kRing;
  for (size_t k = 1; k <= n; ++k) {
    size_t i = (ring_n_ - k) % kRing;
    if (same(ring_[i])) return repeat_at_ = long(i), true;
  }
  return false;
}

// A second file whose streams are those of the first, codec data and all,
// continues it: its packets follow with their times moved on.
bool Scanner::join(uint64_t at, uint64_t& packets) {
  Headers second;
  if (read_headers(in_, second, at) != HeaderVerdict::Ok || !second.intact() || !second.data_found ||
      second.streams.size() != h_.streams.size())
    return false;
  for (size_t i = 0; i < h_.streams.size(); ++i) {
    const Stream &a = h_.streams[i], &b = second.streams[i];
    if (a.number != b.number || a.mime != b.mime || a.name != b.name || a.codec_len != b.codec_len)
      return false;
    std::vector<uint8_t> x(a.codec_len), y(b.codec_len);
    if (!in_.peek(a.codec_at, x.data(), x.size()) || !in_.peek(b.codec_at, y.data(), y.size()) || x != y)
      return false;
  }
  uint32_t shift = 0;
  for (size_t i = 0; i < h_.streams.size(); ++i)
    if (h_.streams[i].physical && s_.stats[i].end_ms(h_.streams[i].codec) > shift)
      shift = s_.stats[i].end_ms(h_.streams[i].codec);
  shift_ = shift;
  s_.joined.push_back({at, shift});
  packets = second.packets;
  return true;
}

void Scanner::accept(const Packet& p) {
  Range* last = s_.kept.empty() ? nullptr : &s_.kept.back();
  if (last && last->offset + last->length == p.offset && last->shift == shift_)
    last->length += p.length;
  else
    s_.kept.push_back({p.offset, p.length, shift_});
  StreamStats& st = s_.stats[size_t(p.stream)];
  uint32_t payload = uint32_t(p.length - p.header);
  if (st.packets == 0) {
    st.first_ts = st.max_ts = p.ts;
    st.bucket = p.ts / 1000;
  } else if (p.ts > st.last_ts && p.ts - st.last_ts < StreamStats::kSteps) {
    if (st.steps.empty()) st.steps.resize(StreamStats::kSteps);
    ++st.steps[p.ts - st.last_ts];
  }
  if (p.ts / 1000 != st.bucket) {
    if (st.bucket_bytes > st.max_bucket_bytes) st.max_bucket_bytes = st.bucket_bytes;
    st.bucket = p.ts / 1000;
    st.bucket_bytes = 0;
  }
  st.bucket_bytes += payload;
  st.last_ts = p.ts;
  if (p.ts >= st.max_ts) st.max_ts = p.ts, st.span_at_max = p.span;
  if ((p.flags & 2) && p.frame_start && (!st.keyed || p.ts > st.max_key_ts))
    st.max_key_ts = p.ts, st.keyed = true;
  if (payload > st.max_payload) st.max_payload = payload;
  ++st.packets;
  st.payload += payload;
  if (index_) index_->add(p, s_.packets);
  if (s_.packets == 0 || p.ts > clock_) clock_ = p.ts;
  ring_[ring_n_++ % kRing] = {p.offset, p.ts, p.length, int16_t(p.stream)};
  ++s_.packets;
  s_.payload += payload;
  s_.packet_bytes += p.length;
  s_.last_end = p.offset + p.length;
}

void Scanner::skip(uint64_t from, uint64_t to) {
  disrupted_ = true;
  if (!s_.damaged.empty() && s_.damaged.back().offset + s_.damaged.back().length == from)
    s_.damaged.back().length += to - from;
  else
    s_.damaged.push_back({from, to - from, 0});
}

// What follows the last kept packet.
void Scanner::finish(Chunk stop, uint64_t at, Verdict last) {
  s_.tail_at = s_.last_end;
  uint64_t boundary = stop != Chunk::None ? at : zeros_;
  s_.cut = !s_.damaged.empty() && s_.damaged.back().offset >= s_.last_end &&
           s_.damaged.back().offset + s_.damaged.back().length >= boundary;
  if (stop != Chunk::None) {
    s_.tail = stop == Chunk::File ? Tail::SecondFile : Tail::Chunks;
    s_.tail_at = at;
  } else if (s_.last_end == in_.size()) {
    s_.tail = Tail::None;
  } else if (zeros_ <= s_.last_end) {
    s_.tail = in_.size() - s_.last_end == tail::kTrailerBytes ? Tail::Trailer : Tail::ZeroFill;
  } else if (in_.size() - zeros_ > tail::kTrailerBytes) {
    s_.tail = Tail::ZeroFill;
  } else {
    s_.tail = s_.cut && last == Verdict::Truncated ? Tail::CutShort : Tail::Junk;
  }
  s_.read_error = in_.failed();
  for (StreamStats& st : s_.stats)
    if (st.bucket_bytes > st.max_bucket_bytes) st.max_bucket_bytes = st.bucket_bytes;
}

Scan Scanner::run() {
  uint64_t pos = h_.packets;
  s_.last_end = pos;
  if (!h_.data_found) {
    // DATA's header is lost: the packets start where it was, or after it.
    pos = resync(h_.packets);
    if (pos > h_.packets + field::kDataHeaderSize && !h_.head_lost)
      skip(h_.packets + field::kDataHeaderSize, pos);
    s_.last_end = h_.packets + field::kDataHeaderSize;
  }
  Verdict last = Verdict::Good;
  while (pos < end_ && pos < zeros_) {
    Packet p;
    Verdict v = shape(pos, p);
    Chunk c = v == Verdict::Bad ? chunk_at(pos) : Chunk::None;
    if (c == Chunk::Data) {
      s_.extra_data.push_back(pos);
      pos += field::kDataHeaderSize;
      continue;
    }
    uint64_t next = 0;
    if (c == Chunk::File && join(pos, next)) {
      pos = next;
      continue;
    }
    if (c != Chunk::None) {
      end_ = pos;
      finish(c, pos, last);
      return s_;
    }
    if (v == Verdict::Bad && trailer_at(pos)) {
      pos += tail::kTrailerBytes;
      continue;
    }
    last = v;
    if (v == Verdict::Misfit && successor_ok(pos + p.length, 2)) {
      // It chains, so only this packet is wrong: a flipped stream number.
      ++s_.misfits;
      disrupted_ = true;
      pos += p.length;
      continue;
    }
    if (v == Verdict::Good && successor_ok(pos + p.length, 1)) {
      bool copy = (disrupted_ || repeat_at_ >= 0) && is_copy(p);
      if (!copy && judge_time(p)) {
        accept(p);
        disrupted_ = false;
        repeat_at_ = -1;
      } else if (copy || is_copy(p)) {
        ++s_.repeats;
      } else {
        ++s_.bad_timestamps;
        disrupted_ = true;
      }
      pos += p.length;
      continue;
    }
    if (v == Verdict::Good || v == Verdict::Truncated) ++s_.dropped;
    uint64_t to = resync(pos + (v == Verdict::Bad || v == Verdict::Misfit ? 0 : 1));
    if (to > pos) skip(pos, to);
    pos = to;
  }
  finish(Chunk::None, pos, last);
  return s_;
}

// Packets without headers: any small stream number, timestamps that keep
// near each other within a stream.
bool headless_chain(Reader& in, uint64_t q, int want) {
  uint32_t first_ts[64];
  bool seen[64] = {};
  for (int k = 0; k < want; ++k) {
    const uint8_t* b = in.at(q, 12);
    if (!b) return false;
    uint16_t version = be::u16(b), length = be::u16(b + 2), stream = be::u16(b + 4);
    uint32_t ts = be::u32(b + 6);
    if (version > 1 || length < 13 + version || stream >= 64 || (version == 0 && (b[11] & 0xFC)))
      return false;
    if (seen[stream] && (ts + kReorderMs < first_ts[stream] || ts > uint64_t(first_ts[stream]) + kLeadMs))
      return false;
    if (!seen[stream]) seen[stream] = true, first_ts[stream] = ts;
    q += length;
    if (q > in.size()) return false;
  }
  return true;
}

}  // namespace

// The median step between timestamps: a gap left by damage or a slice
// sharing its frame's timestamp does not move it.
uint32_t StreamStats::step_ms() const {
  uint64_t total = 0, seen = 0;
  for (uint32_t n : steps) total += n;
  for (uint32_t d = 0; d < steps.size(); ++d)
    if ((seen += steps[d]) * 2 >= total && total) return d;
  return 0;
}

uint32_t StreamStats::unit_ms(const Codec& c) const {
  if (uint32_t ms = c.frame_ms()) return ms;
  if (uint32_t ms = c.block_ms()) return ms;
  if (span_at_max) return span_at_max;
  return step_ms();
}

uint32_t StreamStats::end_ms(const Codec& c) const {
  if (packets == 0) return 0;
  // An interleaving block is stamped where it starts, on its flagged packet.
  uint64_t from = c.interleaved() && keyed && max_key_ts < max_ts ? max_key_ts : max_ts;
  uint64_t e = from + unit_ms(c);
  if (e < max_ts) e = max_ts;
  return e > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(e);
}

Scan scan_packets(Reader& in, const Headers& h, IndexBuilder* index) {
  Scanner s(in, h, index);
  return s.run();
}

uint64_t find_headless_packets(Reader& in) {
  uint64_t limit = in.size() < kHeadlessSearch ? in.size() : kHeadlessSearch;
  for (uint64_t q = 0; q + 12 <= limit; ++q)
    if (headless_chain(in, q, 8)) return q;
  return UINT64_MAX;
}
