// Header statistics (sizes, bit rates) describe a packet set: they are left as
// the writer made them unless packets were lost or the counts show the header
// was never finalised. Pointers, counts and durations are checked always.
#include "repair_plan.h"

#include "be_bytes.h"

namespace {

constexpr uint64_t kTrailer = 8;
constexpr uint64_t kMaxOutput = 0xFFFFFFFFu;  // offsets are 32-bit

uint32_t clamp32(uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v); }
uint32_t bit_rate(uint64_t bytes, uint32_t ms) { return ms ? clamp32(bytes * 8000 / ms) : 0; }

struct Builder {
  Plan& plan;
  void set(uint64_t chunk, uint32_t field, uint32_t have, uint32_t want, const char* why = nullptr,
           bool index = false) {
    if (have == want) return;
    plan.patches.push_back({chunk + field, 4, want});
    if (why) note(why, index);
    if (!index) plan.index_only = false;
  }
  // `index`: something -i mends on its own when it writes a new index.
  void note(const std::string& why, bool index = false) {
    if (!index) plan.index_only = false;
    for (const std::string& f : plan.found)
      if (f == why) return;
    plan.found.push_back(why);
  }
};

// A stored duration is left as its writer made it unless the packets prove
// it wrong: shorter than the last timestamp, or well past the stream's end.
// Writers differ by about a frame or a block, and some stop at the last
// timestamp.
bool duration_sound(uint32_t have, uint32_t max_ts, uint32_t end, uint32_t unit) {
  uint64_t slack = 2ull * unit > 1000 ? 2ull * unit : 1000;
  return have >= max_ts && uint64_t(have) <= uint64_t(end) + slack;
}

void plan_durations(Builder& b, const Headers& h, const Scan& s, bool stats_changed) {
  uint32_t end_all = 0, max_ts_all = 0, unit_all = 0;
  for (size_t i = 0; i < h.streams.size(); ++i) {
    const Stream& st = h.streams[i];
    if (!st.physical) continue;
    const StreamStats& ss = s.stats[i];
    uint32_t end = ss.end_ms(st.codec), unit = ss.unit_ms(st.codec);
    if (end > end_all) end_all = end, unit_all = unit;
    if (ss.packets && ss.max_ts > max_ts_all) max_ts_all = ss.max_ts;
    if (stats_changed || !duration_sound(st.duration, ss.max_ts, end, unit))
      b.set(st.chunk, field::kMdprDuration, st.duration, end, "wrong duration");
  }
  if (stats_changed || !duration_sound(h.prop.duration, max_ts_all, end_all, unit_all))
    b.set(h.prop.chunk, field::kPropDuration, h.prop.duration, end_all, "wrong duration");
}

void plan_statistics(Builder& b, const Headers& h, const Scan& s) {
  uint32_t max_payload = 0, duration = 0;
  uint64_t max_rate = 0;
  for (size_t i = 0; i < h.streams.size(); ++i) {
    const Stream& st = h.streams[i];
    if (!st.physical) continue;
    const StreamStats& ss = s.stats[i];
    uint32_t ms = ss.end_ms(st.codec);
    uint32_t avg_rate = bit_rate(ss.payload, ms);
    uint32_t max_rate_s = clamp32(ss.max_bucket_bytes * 8);
    if (max_rate_s < avg_rate) max_rate_s = avg_rate;
    b.set(st.chunk, field::kMdprAvgBitRate, st.avg_bit_rate, avg_rate);
    b.set(st.chunk, field::kMdprMaxBitRate, st.max_bit_rate, max_rate_s);
    b.set(st.chunk, field::kMdprMaxPacket, st.max_packet, ss.max_payload);
    b.set(st.chunk, field::kMdprAvgPacket, st.avg_packet, ss.packets ? uint32_t(ss.payload / ss.packets) : 0);
    if (ss.max_payload > max_payload) max_payload = ss.max_payload;
    if (ms > duration) duration = ms;
    max_rate += max_rate_s;
  }
  const Prop& p = h.prop;
  uint32_t avg_rate = bit_rate(s.payload, duration);
  b.set(p.chunk, field::kPropAvgBitRate, p.avg_bit_rate, avg_rate);
  b.set(p.chunk, field::kPropMaxBitRate, p.max_bit_rate,
        clamp32(max_rate) < avg_rate ? avg_rate : clamp32(max_rate));
  b.set(p.chunk, field::kPropMaxPacket, p.max_packet, max_payload);
  b.set(p.chunk, field::kPropAvgPacket, p.avg_packet, s.packets ? uint32_t(s.payload / s.packets) : 0);
}

// What lies between the last kept packet and the end of the file.
void plan_layout(Builder& b, Reader& in, const Headers& h, const Scan& s) {
  Plan& plan = b.plan;
  size_t regions = s.damaged.size();
  bool cut_short =
      regions && s.damaged.back().offset + s.damaged.back().length >= (s.chunk_after ? s.end : s.zeros);
  if (cut_short) --regions;
  if (regions) b.note(std::to_string(regions) + (regions == 1 ? " damaged region" : " damaged regions"));
  if (cut_short) b.note("truncated tail");
  if (!s.extra_data.empty()) b.note(std::to_string(s.extra_data.size() + 1) + " chained DATA chunks merged");
  bool packets_moved = !s.damaged.empty() || !s.extra_data.empty();

  uint64_t tail = (s.chunk_after ? s.end : in.size()) - s.last_end;
  plan.keep_trailer = !s.chunk_after && tail == kTrailer && s.zeros <= s.last_end &&
                      h.data_size == field::kDataHeaderSize + s.packet_bytes + 18 && !packets_moved;
  bool index_dropped = false;
  if (s.chunk_after) {
    TrailingChunks& t = plan.trailing;
    t = read_trailing(in, s.end);
    if (!t.valid) b.note("damaged chunks after the packets");
    bool index_ok = t.index.empty() || index_matches(in, h, s, t);
    plan.keep_trailing = t.valid && !packets_moved && tail == 0 && index_ok;
    plan.index_kept = plan.keep_trailing && !t.index.empty();
    if (t.valid && !t.index.empty() && packets_moved) b.note("stale index dropped");
    if (t.valid && !index_ok && !packets_moved) b.note("index does not match the packets", true);
    index_dropped = t.valid && !index_ok;
  }
  uint64_t zero_run = in.size() - (s.zeros > s.last_end ? s.zeros : s.last_end);
  if (!s.chunk_after && zero_run > kTrailer) b.note("zero-filled tail");
  if (!s.chunk_after && !cut_short && s.zeros > s.last_end) b.note("junk after the packets");
  plan.removes_bytes = packets_moved || (!plan.keep_trailer && tail > 0) ||
                       (s.chunk_after && !plan.keep_trailing) || index_dropped;
  if (packets_moved || (!plan.keep_trailer && tail > 0 && !index_dropped)) plan.index_only = false;
}

}  // namespace

Plan plan_repair(Reader& in, const Headers& h, const Scan& s) {
  Plan plan;
  Builder b{plan};
  if (s.packets == 0) {
    plan.refused = "no packets found";
    return plan;
  }
  plan_layout(b, in, h, s);
  if (h.multirate && plan.removes_bytes) plan.refused = "multirate file would need restructuring";

  bool stats_changed = plan.removes_bytes || h.prop.num_packets != s.packets;
  if (!plan.removes_bytes && h.prop.num_packets != s.packets)
    b.note(h.prop.num_packets == 0 ? "unfinalised header" : "wrong packet count");
  b.set(h.prop.chunk, field::kPropNumPackets, h.prop.num_packets, uint32_t(s.packets));
  b.set(h.prop.chunk, field::kPropDataOffset, h.prop.data_offset, uint32_t(h.data), "wrong data_offset");
  uint32_t index_at = plan.index_kept ? uint32_t(plan.trailing.index[0].offset) : 0;
  b.set(h.prop.chunk, field::kPropIndexOffset, h.prop.index_offset, index_at, "wrong index_offset", true);
  if (h.prop.flags & field::kPropFlagLive) {
    plan.patches.push_back(
        {h.prop.chunk + field::kPropFlags, 2, uint32_t(h.prop.flags & ~field::kPropFlagLive)});
    b.note("live flag on a finished file");
  }
  plan_durations(b, h, s, stats_changed);
  if (stats_changed) plan_statistics(b, h, s);

  plan.data_packets = uint32_t(s.packets);
  plan.data_size = plan.keep_trailer ? h.data_size : clamp32(field::kDataHeaderSize + s.packet_bytes);
  plan.data_changed =
      plan.data_size != h.data_size || plan.data_packets != h.data_num_packets || h.data_next != 0;
  // DATA's size alone is set right by -i too.
  bool size_only = plan.data_packets == h.data_num_packets && h.data_next == 0;
  if (plan.data_changed && !plan.removes_bytes) b.note("wrong DATA header", size_only);

  if (plan.changes()) {
    uint32_t chunks = h.header_chunks + 1 + (plan.keep_trailing ? plan.trailing.chunks : 0);
    b.set(0, field::kRmfNumHeaders, h.num_headers, chunks, nullptr, true);
  }
  plan.output_size = h.data + field::kDataHeaderSize + s.packet_bytes + (plan.keep_trailer ? kTrailer : 0) +
                     (plan.keep_trailing ? in.size() - s.end : 0);
  if (plan.output_size > kMaxOutput) plan.refused = "the result would be larger than 4 GiB";
  return plan;
}
