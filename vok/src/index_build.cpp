// Video: every keyframe packet that starts a frame. Audio: flagged packets
// (the start of an interleave block), about one a second; an audio stream
// without flags gets none. Records must rise strictly in time and position,
// as players that build their own index require.
#include "index_build.h"

#include <algorithm>
#include <cstring>

#include "be_bytes.h"
#include "packet_scan.h"

namespace {
constexpr uint32_t kAudioSpacingMs = 1000;
constexpr uint8_t kKeyframe = 0x02;
constexpr size_t kChunkHeader = 20, kRecord = 14;
}  // namespace

void IndexBuilder::add(const Packet& p, uint64_t ordinal) {
  if (!(p.flags & kKeyframe)) return;
  std::vector<IndexRecord>& r = records_[size_t(p.stream)];
  bool video = h_.streams[size_t(p.stream)].video;
  if (video && !p.frame_start) return;
  if (!r.empty()) {
    uint32_t min_ts = video ? r.back().ts + 1 : r.back().ts + kAudioSpacingMs;
    if (p.ts < min_ts || p.ts <= r.back().ts) return;
  }
  r.push_back({p.ts, p.offset, ordinal});
}

size_t IndexBuilder::chunk_count() const {
  return size_t(std::count_if(records_.begin(), records_.end(), [](const auto& r) { return !r.empty(); }));
}

size_t IndexBuilder::record_count() const {
  size_t n = 0;
  for (const auto& r : records_) n += r.size();
  return n;
}

std::vector<uint8_t> IndexBuilder::chunks(uint64_t at) const {
  std::vector<size_t> order;
  for (size_t i = 0; i < records_.size(); ++i)
    if (!records_[i].empty()) order.push_back(i);
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return h_.streams[a].number < h_.streams[b].number; });
  std::vector<uint8_t> out;
  for (size_t k = 0; k < order.size(); ++k) {
    const std::vector<IndexRecord>& r = records_[order[k]];
    size_t start = out.size();
    uint32_t size = uint32_t(kChunkHeader + kRecord * r.size());
    out.resize(start + size);
    uint8_t* c = out.data() + start;
    memcpy(c, "INDX", 4);
    be::put32(c + 4, size);
    be::put16(c + 8, 0);
    be::put32(c + 10, uint32_t(r.size()));
    be::put16(c + 14, h_.streams[order[k]].number);
    be::put32(c + 16, k + 1 < order.size() ? uint32_t(at + start + size) : 0);
    uint8_t* rec = c + kChunkHeader;
    for (const IndexRecord& e : r) {
      be::put16(rec, 0);
      be::put32(rec + 2, e.ts);
      be::put32(rec + 6, uint32_t(e.offset));
      be::put32(rec + 10, uint32_t(e.ordinal));
      rec += kRecord;
    }
  }
  return out;
}
