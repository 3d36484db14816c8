// There is no sync marker and no checksum in a RealMedia packet stream, so a
// packet counts only when its header is plausible and the one after it is
// too. After damage, scanning resumes byte by byte at the first place where
// three packets in a row chain, so that one plausible fake header in garbage
// cannot swallow the good packets after it. A packet whose successor does not
// check out is dropped: its own tail is what the damage hit.
#include "packet_scan.h"

#include "be_bytes.h"
#include "index_build.h"

namespace {

constexpr uint32_t kTsWindowMs = 60000;  // largest plausible jump within a stream
constexpr uint64_t kTrailer = 8;  // zeros some writers put after the last packet
constexpr size_t kPeek = 32;      // a packet header and the start of its payload

enum class Verdict { Bad, Good, Truncated };
enum class Chunk { None, Data, Other };

class Scanner {
 public:
  Scanner(Reader& in, const Headers& h, IndexBuilder* index) : in_(in), h_(h), index_(index) {
    for (size_t i = 0; i < h.streams.size(); ++i)
      if (h.streams[i].physical) lookup_[h.streams[i].number] = int16_t(i);
    s_.stats.resize(h.streams.size());
    end_ = in.size();
    zeros_ = zero_tail_start();
  }

  Scan run();

 private:
  Verdict check(uint64_t q, bool history, Packet& p);
  bool successor_ok(uint64_t s, int depth);
  Chunk chunk_at(uint64_t q);
  uint64_t resync(uint64_t from);
  void accept(const Packet& p);
  void skip(uint64_t from, uint64_t to);
  uint64_t zero_tail_start();

  Reader& in_;
  const Headers& h_;
  IndexBuilder* index_;
  std::vector<int16_t> lookup_ = std::vector<int16_t>(65536, -1);
  Scan s_;
  uint64_t end_ = 0, zeros_ = 0;
};

uint64_t Scanner::zero_tail_start() {
  uint64_t z = in_.size();
  while (z > h_.data + field::kDataHeaderSize) {
    uint64_t n = z - (h_.data + field::kDataHeaderSize);
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
  for (int i = 0; i < 4; ++i)
    if (p[i] < 0x20 || p[i] > 0x7E) return Chunk::None;
  uint32_t size = be::u32(p + 4);
  return size >= 10 && size <= in_.size() - q ? Chunk::Other : Chunk::None;
}

Verdict Scanner::check(uint64_t q, bool history, Packet& p) {
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
  p.ts = be::u32(b + 6);
  p.flags = b[11];
  p.offset = q;
  if (n < p.header || p.length < p.header || p.stream < 0) return Verdict::Bad;
  if (version == 0 && (p.flags & 0xFC)) return Verdict::Bad;
  const StreamStats& st = s_.stats[size_t(p.stream)];
  if (history && st.packets) {
    uint32_t d = p.ts > st.last_ts ? p.ts - st.last_ts : st.last_ts - p.ts;
    if (d > kTsWindowMs) return Verdict::Bad;
  }
  // A RealVideo payload opens with a sub-header: type in the top two bits,
  // then (unless several whole frames share the packet) a slice number.
  p.frame_start = true;
  const Stream& stream = h_.streams[size_t(p.stream)];
  size_t payload = p.length - p.header, seen = n - p.header < payload ? n - p.header : payload;
  p.span = stream.codec.packet_ms(b + p.header, seen, payload);
  VideoSlice slice;
  if (stream.video && read_video_slice(b + p.header, seen, payload, slice)) p.frame_start = slice.frame_start;
  uint64_t e = q + p.length;
  if (e > end_) return Verdict::Truncated;
  // A packet reaching into a zero-filled tail was cut short by it, unless
  // the zeros after it are no more than a writer's trailer.
  if (e > zeros_ && end_ - e > kTrailer) return Verdict::Truncated;
  return Verdict::Good;
}

bool Scanner::successor_ok(uint64_t s, int depth) {
  if (s >= end_ || s >= zeros_ || end_ - s < 12 || chunk_at(s) != Chunk::None) return true;
  Packet p;
  Verdict v = check(s, false, p);
  if (v == Verdict::Truncated) return true;
  if (v == Verdict::Bad) return false;
  return depth <= 1 || successor_ok(s + p.length, depth - 1);
}

uint64_t Scanner::resync(uint64_t from) {
  Packet p;
  for (uint64_t q = from; q < end_ && q < zeros_; ++q) {
    Chunk c = chunk_at(q);
    if (c == Chunk::Data) return q;
    const uint8_t* b = in_.at(q, 4);
    if (c == Chunk::Other && b && be::tag_is(b, "INDX")) return q;
    if (check(q, false, p) == Verdict::Good && successor_ok(q + p.length, 2)) return q;
  }
  return end_ < zeros_ ? end_ : zeros_;
}

void Scanner::accept(const Packet& p) {
  if (!s_.kept.empty() && s_.kept.back().offset + s_.kept.back().length == p.offset)
    s_.kept.back().length += p.length;
  else
    s_.kept.push_back({p.offset, p.length});
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
  if ((p.flags & 2) && p.frame_start && (!st.keyed || p.ts > st.max_key_ts)) st.max_key_ts = p.ts, st.keyed = true;
  if (payload > st.max_payload) st.max_payload = payload;
  ++st.packets;
  st.payload += payload;
  if (index_) index_->add(p, s_.packets);
  ++s_.packets;
  s_.payload += payload;
  s_.packet_bytes += p.length;
  s_.last_end = p.offset + p.length;
}

void Scanner::skip(uint64_t from, uint64_t to) {
  if (!s_.damaged.empty() && s_.damaged.back().offset + s_.damaged.back().length == from)
    s_.damaged.back().length += to - from;
  else
    s_.damaged.push_back({from, to - from});
}

Scan Scanner::run() {
  uint64_t pos = h_.data + field::kDataHeaderSize;
  s_.last_end = pos;
  bool history = true;  // after a resync the stream's past does not count
  while (pos < end_ && pos < zeros_) {
    Chunk c = chunk_at(pos);
    if (c == Chunk::Data) {
      s_.extra_data.push_back(pos);
      pos += field::kDataHeaderSize;
      continue;
    }
    if (c == Chunk::Other) {
      s_.chunk_after = true;
      end_ = pos;
      break;
    }
    Packet p;
    Verdict v = check(pos, history, p);
    if (v == Verdict::Good && successor_ok(pos + p.length, 1)) {
      accept(p);
      pos += p.length;
      history = true;
      continue;
    }
    if (v != Verdict::Bad) ++s_.dropped;
    uint64_t next = resync(pos + (v == Verdict::Bad ? 0 : 1));
    if (next > pos) skip(pos, next);
    pos = next;
    history = false;
  }
  s_.end = end_;
  s_.zeros = zeros_;
  s_.read_error = in_.failed();
  for (StreamStats& st : s_.stats)
    if (st.bucket_bytes > st.max_bucket_bytes) st.max_bucket_bytes = st.bucket_bytes;
  return s_;
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
