// The scan itself: each packet framed, admitted and put into its unit, and
// the packets that leave the units whole added up. A second file whose
// streams are those of the first continues it, its times moved on, unless
// its frames carry their own clock.
#include "packet_scan.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "be_bytes.h"
#include "index_check.h"
#include "packet_admit.h"
#include "units.h"

namespace {

class Scanner {
 public:
  Scanner(Reader& in, const Headers& h) : in_(in), h_(h), frame_(in, h), admit_(in, h, frame_), units_(h) {
    s_.stats.resize(h.streams.size());
    s_.claimed = h.prop.num_packets;
  }
  Scan run();

 private:
  bool join(uint64_t at, uint64_t& packets);
  void settle();
  void to_units(const Packet& p);
  void release();
  void hold(bool yes);
  void accept(const Packet& p);
  void skip(uint64_t from, uint64_t to);
  void finish(Chunk stop, uint64_t at, Shape last);

  Reader& in_;
  const Headers& h_;
  Framer frame_;
  Admission admit_;
  Units units_;
  Scan s_;
  // A proven packet with damage after it waits here until the damage shows
  // whether it reached into the packet.
  Packet held_;
  bool holding_ = false;
};

// A second file whose streams are those of the first, codec data and all,
// continues it: its packets follow with their times moved on.
bool Scanner::join(uint64_t at, uint64_t& packets) {
  Headers second;
  if (read_headers(in_, second, at) != HeaderVerdict::Ok || !second.intact() || !second.data_found ||
      !same_making(in_, h_, in_, second))
    return false;
  for (const Stream& s : h_.streams)
    if (s.codec.own_clock()) return false;
  // The first file's last units are as complete as they will get.
  release();
  units_.finish();
  settle();
  uint32_t shift = 0;
  for (size_t i = 0; i < h_.streams.size(); ++i)
    if (h_.streams[i].physical && s_.stats[i].end_ms(h_.streams[i].codec) > shift)
      shift = s_.stats[i].end_ms(h_.streams[i].codec);
  frame_.shift_by(shift);
  s_.joined.push_back({at, shift});
  s_.claimed += second.prop.num_packets;
  packets = second.packets;
  return true;
}

// Hands on every packet whose unit is decided.
void Scanner::settle() {
  Decided d;
  while (units_.next(d)) {
    if (d.keep) {
      accept(d.p);
    } else {
      StreamStats& st = s_.stats[size_t(d.p.stream)];
      st.tail_dropped = true;
      ++st.incomplete;
      ++s_.incomplete;
    }
  }
}

void Scanner::to_units(const Packet& p) {
  if (units_.whole_now(p))
    accept(p);
  else
    units_.add(p), settle();
}

void Scanner::release() {
  if (holding_) to_units(held_);
  hold(false);
}

void Scanner::hold(bool yes) {
  holding_ = yes;
  admit_.held(yes ? held_.offset + held_.length : 0);
}

void Scanner::accept(const Packet& p) {
  Range* last = s_.kept.empty() ? nullptr : &s_.kept.back();
  if (last && last->offset + last->length == p.offset && last->shift == p.shift)
    last->length += p.length;
  else
    s_.kept.push_back({p.offset, p.length, p.shift});
  StreamStats& st = s_.stats[size_t(p.stream)];
  uint32_t payload = uint32_t(p.length - p.header);
  if (st.packets == 0) {
    st.first_ts = st.max_ts = p.ts;
    st.bucket = p.ts / 1000;
  } else if (p.ts > st.last_ts && p.ts - st.last_ts <= StreamStats::kLongestStep) {
    st.count_step(p.ts - st.last_ts);
  }
  if (p.ts / 1000 != st.bucket) {
    if (st.bucket_bytes > st.max_bucket_bytes) st.max_bucket_bytes = st.bucket_bytes;
    st.bucket = p.ts / 1000;
    st.bucket_bytes = 0;
  }
  st.bucket_bytes += payload;
  st.last_ts = p.ts;
  st.tail_dropped = false;
  if (p.ts >= st.max_ts) st.max_ts = p.ts, st.span_at_max = p.span;
  if (p.keyframe() && p.video.frame_start() && (!st.keyed || p.ts > st.max_key_ts))
    st.max_key_ts = p.ts, st.keyed = true;
  if (payload > st.max_payload) st.max_payload = payload;
  ++st.packets;
  st.payload += payload;
  ++s_.packets;
  s_.payload += payload;
  s_.packet_bytes += p.length;
  s_.last_end = p.offset + p.length;
}

void Scanner::skip(uint64_t from, uint64_t to) {
  admit_.disrupted();
  if (!s_.damaged.empty() && s_.damaged.back().offset + s_.damaged.back().length == from)
    s_.damaged.back().length += to - from;
  else
    s_.damaged.push_back({from, to - from, 0});
}

// What follows the last kept packet.
void Scanner::finish(Chunk stop, uint64_t at, Shape last) {
  release();
  units_.finish();
  settle();
  s_.frames_lost = units_.loss().frames;
  s_.sound_lost_ms = units_.loss().sound_ms;
  s_.judged_past_damage = admit_.looked_past_damage();
  uint64_t zeros = frame_.zeros();
  s_.tail_at = s_.last_end;
  uint64_t boundary = stop != Chunk::None ? at : zeros;
  s_.cut = !s_.damaged.empty() && s_.damaged.back().offset >= s_.last_end &&
           s_.damaged.back().offset + s_.damaged.back().length >= boundary;
  if (stop != Chunk::None) {
    s_.tail = stop == Chunk::File ? Tail::SecondFile : Tail::Chunks;
    s_.tail_at = at;
  } else if (s_.last_end == in_.size()) {
    s_.tail = Tail::None;
  } else if (zeros <= s_.last_end) {
    s_.tail = in_.size() - s_.last_end == tail::kTrailerBytes ? Tail::Trailer : Tail::ZeroFill;
  } else if (in_.size() - zeros > tail::kTrailerBytes) {
    s_.tail = Tail::ZeroFill;
  } else {
    s_.tail = s_.cut && last == Shape::Truncated ? Tail::CutShort : Tail::Junk;
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
    pos = frame_.resync(h_.packets);
    if (pos > h_.packets + field::kDataHeaderSize && !h_.head_lost)
      skip(h_.packets + field::kDataHeaderSize, pos);
    s_.last_end = h_.packets + field::kDataHeaderSize;
  }
  Shape last = Shape::Good;
  while (pos < frame_.end() && pos < frame_.zeros()) {
    Packet p;
    Shape v = frame_.look(pos, p);
    Chunk c = v == Shape::Bad ? frame_.chunk_at(pos) : Chunk::None;
    if (c == Chunk::Data) {
      s_.extra_data.push_back(pos);
      pos += field::kDataHeaderSize;
      continue;
    }
    // A file's index, or other chunks, may end it and a second file follow.
    uint64_t second = c == Chunk::Index || c == Chunk::Other ? read_trailing(in_, pos).second_file : 0;
    if (second) c = Chunk::File, pos = second;
    uint64_t next = 0;
    if (c == Chunk::File && join(pos, next)) {
      pos = next;
      continue;
    }
    if (c != Chunk::None) {
      finish(c, pos, last);
      return s_;
    }
    if (v == Shape::Bad && frame_.trailer_at(pos)) {
      pos += tail::kTrailerBytes;
      continue;
    }
    last = v;
    if ((v == Shape::Misfit || v == Shape::Stray) && frame_.chains(pos + p.length, 2)) {
      // It chains, so only this packet is wrong: a flipped stream number, a
      // payload cut by zero fill.
      ++s_.misfits;
      admit_.disrupted();
      pos += p.length;
      continue;
    }
    bool chained = v == Shape::Good && frame_.chains(pos + p.length, 1);
    if (v == Shape::Good && (p.proven || chained)) {
      Admit a = admit_.judge(p);
      // Its tail the copy's, not its own: damaged.
      if (a == Admit::Copy && holding_ && admit_.copy_reaches_held(p)) hold(false), ++s_.dropped;
      if (a != Admit::BadTime) release();
      if (a == Admit::Keep && chained) to_units(p);
      if (a == Admit::Keep && !chained) held_ = p, hold(true);
      // Out of time with nothing after it, not even its length is sure: the
      // scan looks for packets inside it.
      if (a != Admit::BadTime || chained) {
        s_.repeats += a == Admit::Copy;
        s_.bad_timestamps += a == Admit::BadTime;
        pos += p.length;
        continue;
      }
    }
    if (v == Shape::Good || v == Shape::Truncated) ++s_.dropped;
    uint64_t to = frame_.resync(pos + (v == Shape::Good || v == Shape::Truncated ? 1 : 0));
    if (to > pos) skip(pos, to);
    pos = to;
  }
  finish(Chunk::None, pos, last);
  return s_;
}

}  // namespace

// The median step between timestamps: a gap left by damage or a slice
// sharing its frame's timestamp does not move it.
uint32_t StreamStats::step_ms() const {
  std::vector<std::pair<uint32_t, uint64_t>> sorted = steps;
  std::sort(sorted.begin(), sorted.end());
  uint64_t total = 0, seen = 0;
  for (const auto& s : sorted) total += s.second;
  for (const auto& s : sorted)
    if ((seen += s.second) * 2 >= total) return s.first;
  return 0;
}

void StreamStats::count_step(uint32_t step) {
  for (size_t i = 0; i < steps.size(); ++i)
    if (steps[i].first == step) {
      ++steps[i].second;
      if (i) std::swap(steps[i], steps[0]);
      return;
    }
  if (steps.size() < kStepKinds) steps.insert(steps.begin(), {step, 1});
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

Scan scan_packets(Reader& in, const Headers& h) {
  Scanner s(in, h);
  return s.run();
}
