#include "repair_write.h"

#include "be_bytes.h"

namespace {

bool copy(Reader& in, uint64_t from, uint64_t n, Sink& out, const std::vector<Patch>* patches = nullptr) {
  std::vector<uint8_t> block;
  while (n > 0) {
    size_t step = n < Reader::kMaxSpan ? size_t(n) : Reader::kMaxSpan;
    const uint8_t* p = in.at(from, step);
    if (!p) return false;
    if (patches) {
      block.assign(p, p + step);
      apply_patches(*patches, from, block.data(), step);
      p = block.data();
    }
    out.write(p, step);
    from += step;
    n -= step;
  }
  return true;
}

}  // namespace

void apply_patches(const std::vector<Patch>& patches, uint64_t at, uint8_t* buf, size_t n) {
  // Byte by byte, so a field split across two blocks is still written whole.
  for (const Patch& p : patches)
    for (unsigned k = 0; k < p.width; ++k) {
      uint64_t off = p.offset + k;
      if (off >= at && off < at + n) buf[off - at] = uint8_t(p.value >> (8 * (p.width - 1 - k)));
    }
}

bool write_repaired(Reader& in, const Headers& h, const Scan& s, const Plan& plan, Sink& out) {
  if (!copy(in, 0, h.data, out, &plan.patches)) return false;
  uint8_t data[field::kDataHeaderSize] = {'D', 'A', 'T', 'A'};
  be::put32(data + field::kDataSize, plan.data_size);
  be::put32(data + field::kDataNumPackets, plan.data_packets);
  out.write(data, sizeof data);
  for (const Range& r : s.kept)
    if (!copy(in, r.offset, r.length, out)) return false;
  if (plan.keep_trailer) {
    static const uint8_t zeros[8] = {};
    out.write(zeros, sizeof zeros);
  }
  if (plan.keep_trailing && !copy(in, s.end, in.size() - s.end, out)) return false;
  return true;
}
