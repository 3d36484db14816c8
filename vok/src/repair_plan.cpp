// A field is changed only when the packets prove it wrong. Header
// statistics (sizes, bit rates) describe a packet set: they are left as the
// writer made them unless packets were lost, the counts show the header was
// never finalised, or PROP had to be made anew. Pointers, counts and
// durations are checked always.
#include "repair_plan.h"

#include <cstring>

#include "be_bytes.h"

namespace {

constexpr uint64_t kMaxOutput = 0xFFFFFFFFu;  // offsets are 32-bit
constexpr size_t kNone = SIZE_MAX;
constexpr uint64_t kInMemory = 1 << 20;  // larger unknown header chunks are copied, not held

uint32_t clamp32(uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v); }
uint32_t bit_rate(uint64_t bytes, uint32_t ms) { return ms ? clamp32(bytes * 8000 / ms) : 0; }

void put_tag(std::vector<uint8_t>& b, const char* tag, uint32_t size) {
  size_t at = b.size();
  b.resize(at + 10);
  memcpy(b.data() + at, tag, 4);
  be::put32(b.data() + at + 4, size);
}

// The header chunks of the file written: copied from where they are, or
// made anew where they were lost or damaged; `prop` and `mdpr` say where
// their fields are in `head`.
struct Head {
  std::vector<uint8_t> bytes;
  std::vector<HeadGap> gaps;
  size_t prop = kNone;
  std::vector<size_t> mdpr;
  uint32_t chunks = 0;  // after the file header
  uint64_t kept = 0;    // bytes of the file it keeps as they are (but for fields set anew)

  uint64_t size() const {
    uint64_t n = bytes.size();
    for (const HeadGap& g : gaps) n += g.length;
    return n;
  }
  bool copy(Reader& src, uint64_t from, uint64_t n) {
    return src.each_span(from, n, [&](const uint8_t* p, size_t k) {
      bytes.insert(bytes.end(), p, p + k);
      return true;
    });
  }
  void size_field(size_t at, uint32_t size) { be::put32(bytes.data() + at + 4, size); }
  uint32_t get(size_t at) const { return be::u32(bytes.data() + at); }
};

bool rewrite_mdpr(Reader& src, const Stream& s, Head& head) {
  size_t at = head.bytes.size();
  put_tag(head.bytes, "MDPR", 0);
  if (!head.copy(src, s.chunk + field::kMdprNumber, field::kMdprName - field::kMdprNumber)) return false;
  for (const std::string* text : {&s.name, &s.mime}) {
    head.bytes.push_back(uint8_t(text->size()));
    head.bytes.insert(head.bytes.end(), text->begin(), text->end());
  }
  size_t len = head.bytes.size();
  head.bytes.resize(len + 4);
  be::put32(head.bytes.data() + len, s.codec_len);
  if (!head.copy(src, s.codec_at, s.codec_len)) return false;
  head.size_field(at, uint32_t(head.bytes.size() - at));
  return true;
}

bool has(const std::vector<Finding>& found, Note note) {
  for (const Finding& f : found)
    if (f.note == note) return true;
  return false;
}

// `own`: the chunks are the file's own, so a large unknown one can be
// copied from it when it is written; a reference's is left out.
bool build_head(Reader& src, const Headers& h, Head& head, bool own) {
  head.mdpr.assign(h.streams.size(), kNone);
  if (h.rmf_found) {
    if (!head.copy(src, h.start, field::kRmfSize)) return false;
    head.kept += own ? field::kRmfSize : 0;
  } else {
    put_tag(head.bytes, ".RMF", field::kRmfSize);
    head.bytes.resize(field::kRmfSize);
  }
  if (!h.prop.found) {
    head.prop = head.bytes.size();
    put_tag(head.bytes, "PROP", field::kPropSize);
    head.bytes.resize(head.prop + field::kPropSize);
    ++head.chunks;
  }
  for (const HeaderChunk& c : h.chunks) {
    size_t at = head.bytes.size();
    ++head.chunks;
    if (c.kind == ChunkKind::Mdpr) {
      head.mdpr[size_t(c.stream)] = at;
      const Stream& s = h.streams[size_t(c.stream)];
      if (s.rewrite) {
        if (!rewrite_mdpr(src, s, head)) return false;
        continue;
      }
    }
    uint32_t size = c.kind == ChunkKind::Prop ? field::kPropSize : c.size;
    if (c.kind == ChunkKind::Other && size > kInMemory) {
      if (own) head.gaps.push_back({at, c.offset, size}), head.kept += size;
      if (!own) --head.chunks;
      continue;
    }
    if (c.kind == ChunkKind::Prop) head.prop = at;
    if (!head.copy(src, c.offset, size)) return false;
    head.size_field(at, size);
    head.kept += own ? size : 0;
  }
  if (has(h.recovered, Note::ContRebuilt)) {
    put_tag(head.bytes, "CONT", 18);
    head.bytes.resize(head.bytes.size() + 8);  // four empty strings
    ++head.chunks;
  }
  return true;
}

class Planner {
 public:
  Planner(Reader& in, const Headers& h, const Scan& s, Plan& plan) : in_(in), h_(h), s_(s), plan_(plan) {}
  // `head_moves`: the packets will not be where they were.
  void layout(bool head_moves);
  void fields(Head& head);
  void finish(Head& head);

 private:
  void note(Note n, uint64_t a = 0, bool index = false) {
    if (!index) plan_.index_only = false;
    add_finding(plan_.found, n, a);
  }
  // Sets a 4-byte field of the head; `why`, when given, is noted if it changes.
  void set(Head& head, size_t at, uint32_t want, const Note* why = nullptr, bool index = false) {
    if (head.get(at) == want) return;
    be::put32(head.bytes.data() + at, want);
    if (why) note(*why, 0, index);
    if (!index) plan_.index_only = false;
  }
  void durations(Head& head);
  void statistics(Head& head);

  Reader& in_;
  const Headers& h_;
  const Scan& s_;
  Plan& plan_;
};

// What follows the packets stays byte for byte.
bool tail_whole(const Scan& s, const Plan& plan) {
  return s.tail == Tail::None || plan.keep_trailer || plan.keep_trailing;
}

// The bytes after the packets the file written keeps.
uint64_t kept_after(Reader& in, const Scan& s, const Plan& plan) {
  uint64_t n = plan.keep_trailer ? tail::kTrailerBytes : plan.keep_trailing ? in.size() - s.tail_at : 0;
  for (const Range& r : plan.trailing.others) n += plan.keep_others ? r.length : 0;
  return n;
}

// A stored duration is left as its writer made it unless the packets prove
// it wrong: longer than what the kept packets play, or short of the
// stream's end by more than one unit (a zero too, but where the stream is
// one unit long: FFmpeg leaves 0 for a stream whose packets all say 0). Producers differ here: Helix writes
// the content's length, up to a padded superblock short of the audio's end;
// others stop at the last timestamp or a frame past it. Where the end of
// the stream was lost, nothing past what remains can be right.
bool duration_sound(uint32_t have, uint32_t end, uint32_t unit, bool tail_lost) {
  uint64_t slack = tail_lost ? 0 : 2ull * unit > 1000 ? 2ull * unit : 1000;
  return uint64_t(have) + unit >= end && uint64_t(have) <= uint64_t(end) + slack;
}

void Planner::durations(Head& head) {
  // Headers lent by another file, or made, carry no durations of this
  // one's: they are set, and that is no finding.
  static const Note kWrong = Note::WrongDuration;
  const Note* wrong = h_.head_lost ? nullptr : &kWrong;
  bool lent = h_.head_lost;
  uint32_t end_all = 0, unit_all = 0;
  bool lost_all = false;
  for (size_t i = 0; i < h_.streams.size(); ++i) {
    const Stream& st = h_.streams[i];
    if (!st.physical || head.mdpr[i] == kNone) continue;
    const StreamStats& ss = s_.stats[i];
    uint32_t end = ss.end_ms(st.codec), unit = ss.unit_ms(st.codec);
    bool lost = s_.tail_lost() || ss.tail_dropped;
    if (end > end_all) end_all = end, unit_all = unit;
    lost_all = lost_all || lost;
    size_t at = head.mdpr[i] + field::kMdprDuration;
    if (lent || !duration_sound(head.get(at), end, unit, lost)) set(head, at, end, wrong);
  }
  size_t at = head.prop + field::kPropDuration;
  if (lent || !duration_sound(head.get(at), end_all, unit_all, lost_all))
    set(head, at, end_all, h_.prop.found ? wrong : nullptr);
}

// A maximum bit rate is the busiest second's, unless the writer gave the
// average as the maximum (Helix Producer does, for VBR too): then it still is.
void Planner::statistics(Head& head) {
  uint32_t max_payload = 0, duration = 0, preroll = 0;
  uint64_t max_rate = 0;
  auto max_is_avg = [&](size_t max_at) { return head.get(max_at) == head.get(max_at + 4); };
  for (size_t i = 0; i < h_.streams.size(); ++i) {
    const Stream& st = h_.streams[i];
    if (!st.physical || head.mdpr[i] == kNone) continue;
    const StreamStats& ss = s_.stats[i];
    size_t m = head.mdpr[i];
    uint32_t ms = ss.end_ms(st.codec);
    uint32_t avg_rate = bit_rate(ss.payload, ms);
    uint32_t max_rate_s = clamp32(ss.max_bucket_bytes * 8);
    if (max_rate_s < avg_rate || max_is_avg(m + field::kMdprMaxBitRate)) max_rate_s = avg_rate;
    set(head, m + field::kMdprAvgBitRate, avg_rate);
    set(head, m + field::kMdprMaxBitRate, max_rate_s);
    set(head, m + field::kMdprMaxPacket, ss.max_payload);
    set(head, m + field::kMdprAvgPacket, ss.packets ? uint32_t(ss.payload / ss.packets) : 0);
    if (ss.max_payload > max_payload) max_payload = ss.max_payload;
    if (ms > duration) duration = ms;
    if (st.preroll > preroll) preroll = st.preroll;
    max_rate += max_rate_s;
  }
  size_t p = head.prop;
  uint32_t avg_rate = bit_rate(s_.payload, duration);
  bool prop_max_is_avg = h_.prop.found && max_is_avg(p + field::kPropMaxBitRate);
  set(head, p + field::kPropAvgBitRate, avg_rate);
  set(head, p + field::kPropMaxBitRate,
      clamp32(max_rate) < avg_rate || prop_max_is_avg ? avg_rate : clamp32(max_rate));
  set(head, p + field::kPropMaxPacket, max_payload);
  set(head, p + field::kPropAvgPacket, s_.packets ? uint32_t(s_.payload / s_.packets) : 0);
  if (!h_.prop.found) set(head, p + field::kPropPreroll, preroll);
}

// What lies between the last kept packet and the end of the file.
void Planner::layout(bool head_moves) {
  size_t regions = s_.damaged.size() - (s_.cut ? 1 : 0);
  if (regions) note(Note::DamagedRegions, regions);
  if (s_.cut) note(Note::TruncatedTail);
  if (!s_.extra_data.empty()) note(Note::DataChunksMerged, s_.extra_data.size() + 1);
  if (s_.bad_timestamps) note(Note::BadTimestamps, s_.bad_timestamps);
  if (s_.repeats) note(Note::RepeatedPackets, s_.repeats);
  if (s_.misfits) note(Note::MisfitPackets, s_.misfits);
  if (s_.frames_lost) note(Note::FramesLost, s_.frames_lost);
  if (s_.sound_lost_ms) note(Note::SoundLost, s_.sound_lost_ms);
  for (const Join& j : s_.joined) note(Note::SecondFileJoined, j.offset);
  bool moved = s_.packets_moved() || head_moves;
  switch (s_.tail) {
    case Tail::None:
      break;
    case Tail::Trailer:
      // FFmpeg's ending: 8 zero bytes, and a DATA size counting 18 more
      // bytes than the packets. Sound as long as nothing else changes.
      plan_.keep_trailer = !moved && h_.data_found &&
                           h_.data_size == field::kDataHeaderSize + s_.packet_bytes + tail::kTrailerDataSlack;
      break;
    case Tail::Chunks: {
      TrailingChunks& t = plan_.trailing;
      t = read_trailing(in_, s_.tail_at);
      // An index cut short where a write of one was interrupted is -i's to mend.
      if (!t.valid) note(t.index_cut ? Note::IndexMismatch : Note::DamagedChunksAfter, 0, t.index_cut);
      bool index_ok = t.index.empty() || index_matches(in_, h_, s_, t);
      plan_.keep_trailing = t.valid && !moved && s_.tail_at == s_.last_end && index_ok;
      plan_.index_kept = plan_.keep_trailing && !t.index.empty();
      plan_.keep_others = !plan_.keep_trailing && !t.others.empty();
      if (!t.index.empty() && moved) note(Note::StaleIndexDropped);
      if (!t.index.empty() && !moved && !index_ok) note(Note::IndexMismatch, 0, t.valid);
      break;
    }
    case Tail::ZeroFill:
      note(Note::ZeroFilledTail);
      break;
    case Tail::SecondFile:
      note(Note::SecondFileFollows, s_.tail_at);
      break;
    case Tail::Junk:
      if (!s_.cut) note(Note::JunkAfterPackets);
      break;
    case Tail::CutShort:
      break;
  }
}

void Planner::fields(Head& head) {
  const Note kPackets = h_.prop.num_packets == 0 ? Note::UnfinalisedHeader : Note::WrongPacketCount;
  static const Note kData = Note::WrongDataOffset, kIndex = Note::WrongIndexOffset;
  // Statistics describe the packets: they change when packets do.
  bool stats_changed = s_.packets_moved() || h_.prop.num_packets != s_.packets || !h_.prop.found;
  size_t p = head.prop;
  if (h_.prop.found && !plan_.removes_bytes && h_.prop.num_packets != s_.packets) note(kPackets);
  set(head, p + field::kPropNumPackets, uint32_t(s_.packets));
  // A pointer is wrong when it was wrong in the file as it was; one that
  // moves with the repair is only updated.
  bool data_wrong = h_.prop.found && h_.prop.data_offset != h_.data - h_.start;
  set(head, p + field::kPropDataOffset, uint32_t(head.size()), data_wrong ? &kData : nullptr);
  uint32_t index_at = plan_.index_kept ? uint32_t(plan_.trailing.index[0].offset - s_.tail_at + head.size() +
                                                  field::kDataHeaderSize + s_.packet_bytes)
                                       : 0;
  uint64_t index_was = plan_.index_kept ? plan_.trailing.index[0].offset - h_.start : 0;
  // An index that goes with the packets it was of (a lost tail, a second
  // file) is stale, not pointed at wrongly.
  const uint8_t* pointed = h_.prop.index_offset ? in_.at(h_.start + h_.prop.index_offset, 4) : nullptr;
  bool stale = pointed && be::tag_is(pointed, "INDX") && !plan_.index_kept;
  if (stale) note(Note::StaleIndexDropped, 0, true);
  bool index_wrong = h_.prop.found && h_.prop.index_offset != index_was && !stale && !s_.tail_lost();
  set(head, p + field::kPropIndexOffset, index_at, index_wrong ? &kIndex : nullptr, true);
  uint16_t flags = be::u16(head.bytes.data() + p + field::kPropFlags);
  if (!h_.prop.found) flags = 3;  // saving and perfect play allowed, as writers set them
  if (flags & field::kPropFlagLive) {
    flags &= uint16_t(~field::kPropFlagLive);
    note(Note::LiveFlag);
  }
  be::put16(head.bytes.data() + p + field::kPropFlags, flags);
  be::put16(head.bytes.data() + p + field::kPropNumStreams, uint16_t(h_.streams.size()));
  durations(head);
  if (stats_changed) statistics(head);
}

void Planner::finish(Head& head) {
  plan_.data_packets = uint32_t(s_.packets);
  plan_.data_size = plan_.keep_trailer ? h_.data_size : clamp32(field::kDataHeaderSize + s_.packet_bytes);
  bool data_changed = !h_.data_found || plan_.data_size != h_.data_size ||
                      plan_.data_packets != h_.data_num_packets || h_.data_next != 0;
  // DATA's size alone is set right by -i too.
  bool size_only = h_.data_found && plan_.data_packets == h_.data_num_packets && h_.data_next == 0;
  if (data_changed && !plan_.removes_bytes && h_.data_found) note(Note::WrongDataHeader, 0, size_only);

  bool head_same = h_.start == 0 && head.size() == h_.data;
  // Piece by piece: bytes held, then a chunk copied from where it already is.
  uint64_t out = 0;
  size_t held = 0;
  for (size_t g = 0; head_same && g <= head.gaps.size(); ++g) {
    size_t upto = g < head.gaps.size() ? head.gaps[g].at : head.bytes.size();
    uint64_t n = upto - held;
    head_same = in_.each_span(out, n, [&](const uint8_t* p, size_t k) {
      bool same = memcmp(p, head.bytes.data() + held, k) == 0;
      held += k;
      return same;
    });
    out += n;
    if (g < head.gaps.size()) head_same = head_same && head.gaps[g].from == out, out += head.gaps[g].length;
  }
  plan_.changes = !head_same || data_changed || s_.packets_moved() || !tail_whole(s_, plan_);
  if (plan_.changes) {
    size_t after_was = plan_.trailing.index.size() + plan_.trailing.others.size();
    size_t after = plan_.keep_trailing ? after_was : plan_.keep_others ? plan_.trailing.others.size() : 0;
    set(head, field::kRmfNumHeaders, header_count(h_, after_was, head.chunks, after), nullptr, true);
  }
  plan_.output_size = head.size() + field::kDataHeaderSize + s_.packet_bytes + kept_after(in_, s_, plan_);
  if (plan_.output_size > kMaxOutput) plan_.refused = Refusal::TooLarge;
  plan_.head = std::move(head.bytes);
  plan_.head_gaps = std::move(head.gaps);
}

}  // namespace

Plan plan_repair(Reader& in, const Headers& h, const Scan& s, Reader* head_src) {
  Plan plan;
  if (s.packets == 0) {
    plan.refused = s.incomplete ? Refusal::NothingWhole : Refusal::NoPackets;
    return plan;
  }
  Planner p(in, h, s, plan);
  plan.found.insert(plan.found.end(), h.recovered.begin(), h.recovered.end());
  if (!h.recovered.empty()) plan.index_only = false;
  Head head;
  if (!build_head(head_src ? *head_src : in, h, head, !head_src)) {
    plan.read_error = true;
    return plan;
  }
  // An index's records hold absolute offsets: one that moves with the head
  // points at nothing.
  p.layout(h.start != 0 || head.size() != h.data);
  // The backup follows the bytes: where the file written keeps fewer of the
  // original's than it has (fields set anew aside), some are lost without it.
  uint64_t kept =
      head.kept + (h.data_found ? field::kDataHeaderSize : 0) + s.packet_bytes + kept_after(in, s, plan);
  plan.removes_bytes = kept < in.size();
  if (plan.removes_bytes && !(s.tail == Tail::Chunks && !s.packets_moved() && plan.index_only))
    plan.index_only = false;
  if (h.multirate && plan.removes_bytes) plan.refused = Refusal::Multirate;
  p.fields(head);
  p.finish(head);
  return plan;
}
