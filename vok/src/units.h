// What a decoder consumes is not a packet but a unit: a RealVideo frame
// assembled from its slices (one packet may end one frame and start the
// next), or an interleaved audio superblock of `sub_packet_h` packets, the
// first one flagged. A unit missing a part is useless to the decoder, and
// its remaining packets only feed it garbage: they are dropped with it.
// Packets come in file order and leave in file order, each with its unit's
// verdict, once that is known.
#pragma once
#include <cstdint>
#include <deque>
#include <vector>

#include "packet_frame.h"
#include "rm_headers.h"

struct Decided {
  Packet p;
  bool keep = false;
};

// What incomplete units took with them.
struct UnitLoss {
  uint64_t packets = 0;   // admitted packets dropped with their unit
  uint64_t frames = 0;    // video frames
  uint64_t sound_ms = 0;  // audio, as the blocks would have played
};

class Units {
 public:
  explicit Units(const Headers& h);

  // A packet of a known stream that is kept as far as it alone goes.
  void add(const Packet& p);
  // True when `p` is a whole unit by itself and no packet waits before it:
  // it is kept at once, without going through add() and next().
  bool whole_now(const Packet& p) const;
  // The next packet in file order whose unit is decided; false when the
  // first one waiting still waits.
  bool next(Decided& d);
  // The file ends: units still open are incomplete.
  void finish();
  const UnitLoss& loss() const { return loss_; }

 private:
  enum class Kind : uint8_t { Packet, Frames, Blocks };
  struct Group {
    int stream = -1;
    bool bad = false, closed = false;
    uint32_t packets = 0, frames = 0;
    uint32_t waiting = 0;  // packets not yet handed out
  };
  struct StreamState {
    Kind kind = Kind::Packet;
    uint32_t per_block = 0, block_ms = 0;
    int64_t open = -1;          // the group being filled
    bool flagged_seen = false;  // Blocks: a block start has been seen
    bool timed = false;         // Blocks: the open block started with its flagged packet, at block_ts
    uint32_t block_ts = 0;
    bool late = false;  // Blocks: its last packet was stamped past the open block
    // Frames: the frame the open group is assembling.
    bool in_frame = false;
    uint8_t picture = 0;
    uint32_t frame = 0, next = 0;
  };
  struct Waiting {
    Packet p;
    int64_t group;
  };

  int64_t open_group(int stream, bool bad);
  Group& group(int64_t id) { return groups_[size_t(id - first_group_)]; }
  void close(StreamState& st);
  void add_frame_parts(StreamState& st, const Packet& p);
  void add_to_block(StreamState& st, const Packet& p);
  void slice(StreamState& st, Group& g, const VideoSlice& s);

  std::vector<StreamState> streams_;
  std::deque<Waiting> waiting_;
  std::deque<Group> groups_;
  int64_t first_group_ = 0;
  UnitLoss loss_;
};
