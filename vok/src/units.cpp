// A unit's packets go into one group; a packet that ends one frame and
// starts the next puts both in one group, since it cannot be kept for the
// one and dropped for the other. A group is decided when it closes: whole
// when every frame in it came together slice by slice (or the block has all
// its packets), else it is dropped.
#include "units.h"

namespace {

// Packets waiting for their unit at most: a unit still open after this many
// packets of the file is broken (a sound one spans a few hundred).
constexpr size_t kMaxWaiting = 1 << 16;

}  // namespace

Units::Units(const Headers& h) : streams_(h.streams.size()) {
  for (size_t i = 0; i < h.streams.size(); ++i) {
    const Codec& c = h.streams[i].codec;
    StreamState& st = streams_[i];
    if (c.kind == CodecKind::Video) st.kind = Kind::Frames;
    if (c.interleaved()) st.kind = Kind::Blocks, st.per_block = c.sub_packet_h, st.block_ms = c.block_ms();
  }
}

int64_t Units::open_group(int stream, bool bad) {
  Group g;
  g.stream = stream;
  g.bad = bad;
  groups_.push_back(g);
  return first_group_ + int64_t(groups_.size()) - 1;
}

void Units::close(StreamState& st) {
  Group& g = group(st.open);
  g.closed = true;
  st.open = -1;
  st.in_frame = false;
  st.late = false;
  if (!g.bad) return;
  loss_.frames += g.frames;
  if (st.kind == Kind::Blocks) {
    uint32_t blocks = st.per_block ? (g.packets + st.per_block - 1) / st.per_block : 1;
    loss_.sound_ms += uint64_t(blocks) * st.block_ms;
  }
}

// A slice continues the frame being assembled when it is of the same
// picture and length and starts where the one before ended.
void Units::slice(StreamState& st, Group& g, const VideoSlice& s) {
  bool continues = st.in_frame && s.picture == st.picture && s.frame == st.frame && s.offset == st.next;
  if (s.offset == 0 || !continues) {
    if (st.in_frame || s.offset != 0) g.bad = true;  // a frame lost its end, or this one its start
    if (s.offset == 0 || !st.in_frame || s.picture != st.picture) ++g.frames;
    st.in_frame = true, st.picture = s.picture, st.frame = s.frame;
  }
  st.next = s.offset + s.length;
  if (st.next >= st.frame) st.in_frame = false;
}

void Units::add_frame_parts(StreamState& st, const Packet& p) {
  const VideoPayload& v = p.video;
  // A slice of the frame being assembled stays with it, whether or not it
  // starts where the one before ended.
  bool same_frame = st.in_frame && v.has_head && v.head.offset != 0 && v.head.picture == st.picture &&
                    v.head.frame == st.frame;
  if (st.open >= 0 && !same_frame) {
    // The frame the open group holds never got its end.
    group(st.open).bad = true;
    close(st);
  }
  if (st.open < 0) st.open = open_group(int(&st - streams_.data()), false);
  Group& g = group(st.open);
  if (v.has_head) slice(st, g, v.head);
  if (v.whole) {
    if (st.in_frame) g.bad = true;
    st.in_frame = false;
    g.frames += v.whole;
  }
  if (v.has_tail) slice(st, g, v.tail);
}

// A block starts with a flagged packet and has `per_block` packets. Packets
// before any flag in a stream that never shows one are units of their own.
// A packet stamped past the open block's time (its packets share the
// block's time or spread over it) may be of a later block that lost its
// first; the next packet tells: past it too, and the block ended short;
// within it, and that one time alone was wrong.
void Units::add_to_block(StreamState& st, const Packet& p) {
  uint32_t half_step = st.per_block ? st.block_ms / (2 * st.per_block) : 0;
  bool later = st.open >= 0 && st.timed && st.block_ms &&
               uint64_t(p.ts) + half_step >= uint64_t(st.block_ts) + st.block_ms;
  if (st.open >= 0 && (p.keyframe() || st.late)) {
    bool complete = group(st.open).packets >= st.per_block;
    if (p.keyframe() || later || complete) {
      if (!complete || (later && !p.keyframe())) group(st.open).bad = true;
      close(st);
    }
  }
  st.late = later && st.open >= 0 && !p.keyframe();
  if (p.keyframe()) {
    st.flagged_seen = true;
    st.open = open_group(p.stream, false);
    st.timed = true, st.block_ts = p.ts;
  } else if (st.open < 0) {
    st.open = open_group(p.stream, true);  // its block's first packet is lost
    st.timed = false;
  }
}

bool Units::whole_now(const Packet& p) const {
  if (!waiting_.empty()) return false;
  const StreamState& st = streams_[size_t(p.stream)];
  if (st.kind == Kind::Packet) return true;
  const VideoPayload& v = p.video;
  bool head_whole = !v.has_head || (v.head.offset == 0 && v.head.length >= v.head.frame);
  return st.kind == Kind::Frames && st.open < 0 && head_whole && !v.has_tail;
}

void Units::add(const Packet& p) {
  StreamState& st = streams_[size_t(p.stream)];
  if (st.kind == Kind::Frames)
    add_frame_parts(st, p);
  else if (st.kind == Kind::Blocks)
    add_to_block(st, p);
  else
    st.open = open_group(p.stream, false);
  Group& g = group(st.open);
  ++g.packets;
  ++g.waiting;
  waiting_.push_back({p, st.open});
  if (st.kind == Kind::Blocks && g.packets >= st.per_block && !st.late) {
    if (g.bad && !st.flagged_seen) g.bad = false, st.kind = Kind::Packet;  // a stream without flags
    if (!g.bad) close(st);
  } else if (st.kind != Kind::Blocks && !st.in_frame) {
    close(st);
  }
  if (waiting_.size() > kMaxWaiting) {
    Group& front = group(waiting_.front().group);
    StreamState& owner = streams_[size_t(front.stream)];
    front.bad = true;
    if (!front.closed && owner.open == waiting_.front().group) close(owner);
    front.closed = true;
  }
}

bool Units::next(Decided& d) {
  while (!groups_.empty() && groups_.front().closed && groups_.front().waiting == 0) {
    groups_.pop_front();
    ++first_group_;
  }
  if (waiting_.empty()) return false;
  Group& g = group(waiting_.front().group);
  if (!g.closed) return false;
  d.p = waiting_.front().p;
  d.keep = !g.bad;
  loss_.packets += g.bad;
  --g.waiting;
  waiting_.pop_front();
  return true;
}

void Units::finish() {
  for (StreamState& st : streams_)
    if (st.open >= 0) {
      // Whole, but for a last packet stamped past it.
      if (!st.late || group(st.open).packets < st.per_block) group(st.open).bad = true;
      close(st);
    }
}
