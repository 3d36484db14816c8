// Admission: whether a framed packet of a known stream is what it claims to
// be as far as its timestamp and its bytes tell. A timestamp must keep its
// stream's order, within a margin for B-frames, and not leap far ahead of
// the file's clock; a copy of a packet already admitted (a piece of a
// download written twice) is left out.
#pragma once
#include <cstdint>
#include <vector>

#include "packet_frame.h"

enum class Admit : uint8_t { Keep, BadTime, Copy };

class Admission {
 public:
  Admission(Reader& in, const Headers& h, Framer& frame);

  // `p` is Good and chains. Keep updates what later packets are judged by.
  Admit judge(const Packet& p);
  // The packets just before were not kept: a copy may start here.
  void disrupted() { disrupted_ = true; }
  // A kept packet ending at `end` has damage after it (0: none): a copy
  // reaching back into it may share its stream's latest time.
  void held(uint64_t end) { held_end_ = end; }
  // `p`, just judged a copy, is of a piece whose copied bytes reach back
  // into the held packet: its tail is the copy's, not its own.
  bool copy_reaches_held(const Packet& p) { return reaches_held(ring_[size_t(repeat_at_)].offset, p.offset); }
  // A time was judged by looking past bytes the repair leaves out: in the
  // repaired file the look reaches other packets, and may judge otherwise.
  bool looked_past_damage() const { return looked_past_damage_; }

 private:
  struct Seen {
    uint64_t offset;
    uint32_t ts;
    uint16_t length;
    int16_t stream;
  };
  struct Clock {
    uint64_t packets = 0;
    uint32_t last_ts = 0;
  };
  bool in_time(const Packet& p) const;
  bool next_of_stream(const Packet& p, Packet& n);
  bool judge_time(const Packet& p);
  bool is_copy(const Packet& p);
  bool reaches_held(uint64_t from, uint64_t at);
  bool same_bytes(const Seen& e, const Packet& p);
  void admit(const Packet& p);

  Reader& in_;
  Framer& frame_;
  std::vector<Clock> streams_;  // parallel to Headers::streams
  uint64_t admitted_ = 0;
  uint32_t clock_ = 0;  // the latest timestamp admitted, of any stream
  bool disrupted_ = false;
  bool looked_past_damage_ = false;
  std::vector<Seen> ring_;
  size_t ring_n_ = 0;
  long repeat_at_ = -1;  // the remembered packet the last copy was of
  uint64_t held_end_ = 0;
  std::vector<uint8_t> earlier_;
};
