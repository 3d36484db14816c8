// Finds the media packets of a RealMedia file by chaining their lengths from
// the first DATA chunk, without trusting any size or count in the headers,
// keeps those that are whole units of their streams, and says what follows
// them. Framing (packet_frame), admission (packet_admit) and units (units)
// each decide one thing; this is where their answers are added up.
#pragma once
#include <cstdint>
#include <vector>

#include "chunks.h"
#include "packet_frame.h"
#include "reader.h"
#include "rm_headers.h"

// What follows the last kept packet: the one answer that planning, writing
// and indexing switch on.
enum class Tail : uint8_t {
  None,        // the packets end where the file does
  Trailer,     // a writer's zero bytes, its DATA size counting them and more
  Chunks,      // chunks (an index, metadata) from `tail_at`
  ZeroFill,    // zero bytes to the end: a pre-allocated download
  Junk,        // bytes that are neither packets nor chunks
  SecondFile,  // another RealMedia file from `tail_at`
  CutShort,    // the last packet runs past the end of the file
};

struct StreamStats {
  static constexpr uint32_t kLongestStep = 10000;  // steps longer than 10 s are gaps
  static constexpr size_t kStepKinds = 1024;       // steps of more lengths are not counted
  uint64_t packets = 0, payload = 0;
  // How often each step between timestamps occurs; a stream has few kinds,
  // the latest seen first.
  std::vector<std::pair<uint32_t, uint64_t>> steps;
  void count_step(uint32_t step);
  uint32_t max_payload = 0, first_ts = 0, last_ts = 0, max_ts = 0;
  uint32_t max_key_ts = 0;  // the latest keyframe, or flagged audio packet (a block's start)
  bool keyed = false;
  bool tail_dropped = false;  // its last unit was incomplete and left out
  uint64_t incomplete = 0;    // packets left out with a unit that lost a part
  uint32_t span_at_max = 0;   // what the packet with the largest timestamp covers
  uint64_t bucket_bytes = 0, max_bucket_bytes = 0;
  uint32_t bucket = 0;
  // The time one unit of the stream covers: a video frame, an interleaving
  // block, its last packet; else the usual step between its timestamps.
  uint32_t unit_ms(const Codec& c) const;
  // Where the stream ends, in ms: after its last frame or block.
  uint32_t end_ms(const Codec& c) const;
  uint32_t step_ms() const;
};

struct Join {
  uint64_t offset = 0;  // the second file's .RMF
  uint32_t shift = 0;   // added to its timestamps
};

struct Scan {
  std::vector<Range> kept;           // runs of kept packets, in file order
  std::vector<Range> damaged;        // bytes skipped between kept packets
  std::vector<uint64_t> extra_data;  // DATA headers after the first
  std::vector<Join> joined;          // second files whose streams match, appended
  std::vector<StreamStats> stats;    // parallel to Headers::streams
  uint64_t packets = 0, payload = 0, dropped = 0;
  uint64_t claimed = 0;         // packets the headers of the file's parts count
  uint64_t bad_timestamps = 0;  // whole packets left out: a timestamp out of order
  uint64_t repeats = 0;         // whole packets left out: copies of earlier ones
  uint64_t misfits = 0;         // whole packets left out: a payload not of their stream
  uint64_t incomplete = 0;      // whole packets left out with a unit that lost a part
  uint64_t frames_lost = 0;     // video frames in those units
  uint64_t sound_lost_ms = 0;   // and the audio blocks', as they would have played
  uint64_t packet_bytes = 0;    // sum of kept packet lengths
  uint64_t last_end = 0;        // first byte after the last kept packet
  Tail tail = Tail::None;
  uint64_t tail_at = 0;  // where the tail starts
  bool cut = false;      // the last packet ran past the end, or into the zeros
  bool read_error = false;
  bool judged_past_damage = false;  // a time judged by packets beyond bytes the repair leaves out

  // The last packets of the file are gone: whatever played after the kept
  // ones cannot be counted on.
  bool tail_lost() const {
    return cut || tail == Tail::ZeroFill || tail == Tail::Junk || tail == Tail::CutShort;
  }
  // No packet was judged against others the repair leaves out (by its
  // time, its bytes, its unit) or across them, and no second file joined:
  // the repaired file reads as this scan read the original, nothing left
  // to find.
  bool settled() const {
    return !bad_timestamps && !repeats && !misfits && !incomplete && !judged_past_damage && joined.empty();
  }
  // Some packet is not where it was, or not there at all.
  bool packets_moved() const {
    return !damaged.empty() || !extra_data.empty() || !joined.empty() || bad_timestamps || repeats ||
           misfits || incomplete;
  }
};

Scan scan_packets(Reader& in, const Headers& h);
