// A packet out of order is judged by the packet of its stream that follows:
// where that one keeps to the past, the odd one is a spike; where it agrees
// with the odd one, the timeline itself moved. The judgement rests on
// packets only, so that a repaired file is judged as its repair was.
#include "packet_admit.h"

#include <cstring>

namespace {

constexpr int kLookahead = 64;        // packets looked through for the next of a stream
constexpr size_t kRing = 1 << 16;     // packets remembered to recognise copies
constexpr uint64_t kReach = 1 << 17;  // bytes a copied piece is followed back through

// Within reach of a reference time: not before it by more than a B-frame
// reorder, not after it by more than the packets of other streams may lead.
bool near(uint32_t ts, uint64_t ref) {
  return uint64_t(ts) + timing::kReorderMs >= ref && ts <= ref + timing::kLeadMs;
}

}  // namespace

Admission::Admission(Reader& in, const Headers& h, Framer& frame)
    : in_(in), frame_(frame), streams_(h.streams.size()) {}

bool Admission::in_time(const Packet& p) const {
  const Clock& st = streams_[size_t(p.stream)];
  if (st.packets && uint64_t(p.ts) + timing::kReorderMs < st.last_ts) return false;
  if (!admitted_) return true;
  uint64_t ref = st.packets && st.last_ts > clock_ ? st.last_ts : clock_;
  return uint64_t(p.ts) <= ref + timing::kLeadMs;
}

// The next packet of the same stream as the scan will see it: past packets
// left out for not fitting their stream, a DATA header, damage (as the scan
// resyncs), so that a repaired file, where none of these are left, shows
// the same next packet.
bool Admission::next_of_stream(const Packet& p, Packet& n) {
  uint64_t q = p.offset + p.length;
  for (int k = 0; k < kLookahead && q < frame_.end() && q < frame_.zeros(); ++k) {
    Chunk c = frame_.chunk_at(q);
    if (c == Chunk::Data) {
      q += field::kDataHeaderSize, looked_past_damage_ = true;
      continue;
    }
    if (c != Chunk::None || frame_.trailer_at(q)) return false;
    Shape v = frame_.look(q, n);
    bool framed = v == Shape::Good || v == Shape::Misfit || v == Shape::Stray;
    // Kept as the scan keeps it: chained, or a payload proven whole.
    bool kept = v == Shape::Good && n.proven;
    if (framed && (kept || frame_.chains(q + n.length, v == Shape::Good ? 1 : 2))) {
      if (v == Shape::Good && n.stream == p.stream) return true;
      q += n.length;
      looked_past_damage_ = looked_past_damage_ || v != Shape::Good;
      continue;
    }
    q = frame_.resync(q + (v == Shape::Good || v == Shape::Truncated ? 1 : 0));
    looked_past_damage_ = true;
  }
  return false;
}

// True when the packet's timestamp can be right. One out of order is wrong
// when the next of its stream keeps to the past. A stream's first packet is
// wrong when the two after it agree with each other and not with it.
bool Admission::judge_time(const Packet& p) {
  Packet n, n2;
  if (in_time(p)) {
    if (streams_[size_t(p.stream)].packets || !next_of_stream(p, n) || near(n.ts, p.ts)) return true;
    return !(next_of_stream(n, n2) && near(n2.ts, n.ts));
  }
  return next_of_stream(p, n) && !in_time(n) && near(n.ts, p.ts);
}

bool Admission::same_bytes(const Seen& e, const Packet& p) {
  earlier_.resize(p.length);
  if (!in_.peek(e.offset, earlier_.data(), p.length)) return false;
  const uint8_t* b = in_.at(p.offset, p.length);
  return b && memcmp(earlier_.data(), b, p.length) == 0;
}

// The bytes from just inside the held packet's end up to `at` repeat those
// before `from`, by more than chance would repeat.
bool Admission::reaches_held(uint64_t from, uint64_t at) {
  constexpr uint64_t kBeyondChance = 4;
  if (held_end_ < kBeyondChance) return false;
  uint64_t floor = held_end_ - kBeyondChance, shift = at - from;
  if (floor >= at || at - floor > kReach || floor < shift) return false;
  uint8_t a[256], b[256];
  for (uint64_t end = at; end > floor;) {
    size_t n = size_t(end - floor < sizeof a ? end - floor : sizeof a);
    if (!in_.peek(end - n, a, n) || !in_.peek(end - n - shift, b, n) || memcmp(a, b, n) != 0) return false;
    end -= n;
  }
  return true;
}

// A run of copies starts with a packet older than its stream's latest (the
// piece written twice lies back in time) and goes on packet by packet;
// identical packets that share the latest timestamp (silence in an
// interleaving block) are no copies, unless the bytes before them repeat
// too, back into a packet held before damage.
bool Admission::is_copy(const Packet& p) {
  auto same = [&](const Seen& e) {
    return e.stream == p.stream && e.ts == p.ts && e.length == p.length && e.offset != p.offset &&
           same_bytes(e, p);
  };
  if (repeat_at_ >= 0) {
    size_t i = (size_t(repeat_at_) + 1) % kRing;
    if (i != ring_n_ % kRing && same(ring_[i])) return repeat_at_ = long(i), true;
    repeat_at_ = -1;  // a new run may start here, of another earlier packet
  }
  const Clock& st = streams_[size_t(p.stream)];
  bool level = st.packets && p.ts == st.last_ts;
  if (!st.packets || p.ts > st.last_ts || (level && !held_end_)) return false;
  size_t n = ring_n_ < kRing ? ring_n_ : kRing;
  for (size_t k = 1; k <= n; ++k) {
    size_t i = (ring_n_ - k) % kRing;
    if (same(ring_[i]) && (!level || reaches_held(ring_[i].offset, p.offset)))
      return repeat_at_ = long(i), true;
  }
  return false;
}

void Admission::admit(const Packet& p) {
  Clock& st = streams_[size_t(p.stream)];
  ++st.packets;
  st.last_ts = p.ts;
  if (!admitted_ || p.ts > clock_) clock_ = p.ts;
  ++admitted_;
  Seen seen{p.offset, p.ts, p.length, int16_t(p.stream)};
  if (ring_.size() < kRing)
    ring_.push_back(seen);  // it grows with the file, to its bound
  else
    ring_[ring_n_ % kRing] = seen;
  ++ring_n_;
}

Admit Admission::judge(const Packet& p) {
  // A piece written twice need not cut a packet: where the time goes back
  // cleanly, its bytes say whether the timeline moved or came again.
  bool looked = disrupted_ || repeat_at_ >= 0 || !in_time(p);
  bool copy = looked && is_copy(p);
  if (!copy && judge_time(p)) {
    admit(p);
    disrupted_ = false;
    repeat_at_ = -1;
    return Admit::Keep;
  }
  if (copy || (!looked && is_copy(p))) return Admit::Copy;
  disrupted_ = true;
  return Admit::BadTime;
}
