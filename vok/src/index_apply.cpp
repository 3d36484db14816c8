#include "index_apply.h"

#include <cstring>

#include "be_bytes.h"

namespace {

bool same_bytes(Reader& in, uint64_t at, const std::vector<uint8_t>& want) {
  if (in.size() - at != want.size()) return false;
  size_t done = 0;
  return in.each_span(at, want.size(), [&](const uint8_t* p, size_t n) {
    bool same = memcmp(p, want.data() + done, n) == 0;
    done += n;
    return same;
  });
}

uint32_t current(Reader& in, const Patch& p) {
  const uint8_t* b = in.at(p.offset, p.width);
  return !b ? ~p.value : p.width == 2 ? be::u16(b) : be::u32(b);
}

bool write_patches(const fileio::File& f, const std::vector<Patch>& patches) {
  for (const Patch& p : patches) {
    uint8_t b[4];
    if (p.width == 2)
      be::put16(b, uint16_t(p.value));
    else
      be::put32(b, p.value);
    if (!fileio::write_at(f, p.offset, b, p.width)) return false;
  }
  return fileio::flush(f);
}

}  // namespace

IndexPlan plan_index(Reader& in, const Headers& h, const Scan& s, const Plan& repair) {
  IndexPlan plan;
  plan.refused = repair.refused;
  plan.needs_repair = repair.changes && !repair.index_only;
  if (plan.refused != Refusal::None || plan.needs_repair) return plan;
  if (repair.index_kept && !repair.changes) {
    // The writer's own index checks out: it stays, whatever its density.
    plan.chunk_count = repair.trailing.index.size();
    for (const IndexChunk& c : repair.trailing.index) plan.record_count += c.records;
    return plan;
  }
  IndexBuilder index;
  if (!index.build(in, h, s)) {
    plan.read_error = true;
    return plan;
  }
  plan.chunk_count = index.chunk_count();
  plan.record_count = index.record_count();
  // Chunks that are no index stay where they are; the index goes after them.
  plan.at = s.last_end;
  for (const Range& r : repair.trailing.others)
    if (r.offset + r.length > plan.at) plan.at = r.offset + r.length;
  plan.chunks = index.chunks(h, plan.at);
  if (plan.at + plan.chunks.size() > 0xFFFFFFFFu) {
    plan.refused = Refusal::TooLarge;  // its offsets would not fit
    return plan;
  }
  uint32_t index_at = plan.chunks.empty() ? 0 : uint32_t(plan.at);
  plan.link = {
      {h.data + field::kDataSize, 4, uint32_t(field::kDataHeaderSize + s.packet_bytes)},
      {0 + field::kRmfNumHeaders, 4,
       header_count(h, repair.trailing.index.size() + repair.trailing.others.size(), h.chunks.size(),
                    repair.trailing.others.size() + index.chunk_count())},
      {h.prop.chunk + field::kPropIndexOffset, 4, index_at},
  };
  bool linked = true;
  for (const Patch& p : plan.link) linked = linked && current(in, p) == p.value;
  plan.changes = !linked || !same_bytes(in, plan.at, plan.chunks);
  if (h.prop.index_offset != 0) plan.unlink.push_back({h.prop.chunk + field::kPropIndexOffset, 4, 0});
  return plan;
}

bool apply_index(const fileio::File& f, const IndexPlan& plan) {
  if (!plan.unlink.empty() && !write_patches(f, plan.unlink)) return false;
  if ((!plan.chunks.empty() && !fileio::write_at(f, plan.at, plan.chunks.data(), plan.chunks.size())) ||
      !fileio::truncate(f, plan.at + plan.chunks.size()) || !fileio::flush(f)) {
    // Where it can, the file goes back to ending with its packets.
    if (fileio::truncate(f, plan.at)) fileio::flush(f);
    return false;
  }
  return write_patches(f, plan.link);
}
