#include "repair_write.h"

#include "be_bytes.h"

namespace {

// Packets of a joined second file, each with its timestamp moved on.
bool copy_shifted(Reader& in, const Range& r, Sink& out) {
  for (uint64_t at = r.offset; at < r.offset + r.length;) {
    const uint8_t* p = in.at(at, 12);
    if (!p) return false;
    uint16_t length = be::u16(p + 2);
    const uint8_t* whole = in.at(at, length);
    if (!whole || length < 12) return false;
    uint8_t head[12];
    std::copy(whole, whole + 12, head);
    be::put32(head + 6, be::u32(head + 6) + r.shift);
    out.write(head, sizeof head);
    out.write(whole + 12, length - 12u);
    at += length;
  }
  return true;
}

}  // namespace

bool write_repaired(Reader& in, const Scan& s, const Plan& plan, Sink& out) {
  size_t held = 0;
  for (const HeadGap& g : plan.head_gaps) {
    out.write(plan.head.data() + held, g.at - held);
    if (!out.copy(in, g.from, g.length)) return false;
    held = g.at;
  }
  out.write(plan.head.data() + held, plan.head.size() - held);
  uint8_t data[field::kDataHeaderSize] = {'D', 'A', 'T', 'A'};
  be::put32(data + field::kDataSize, plan.data_size);
  be::put32(data + field::kDataNumPackets, plan.data_packets);
  out.write(data, sizeof data);
  for (const Range& r : s.kept)
    if (!(r.shift ? copy_shifted(in, r, out) : out.copy(in, r.offset, r.length))) return false;
  if (plan.keep_trailer) {
    static const uint8_t zeros[tail::kTrailerBytes] = {};
    out.write(zeros, sizeof zeros);
  }
  if (plan.keep_trailing && !out.copy(in, s.tail_at, in.size() - s.tail_at)) return false;
  if (plan.keep_others)
    for (const Range& r : plan.trailing.others)
      if (!out.copy(in, r.offset, r.length)) return false;
  return true;
}
