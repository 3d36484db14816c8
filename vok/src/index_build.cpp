// Video: every keyframe packet that starts a frame. Audio: flagged packets
// (the start of an interleave block), about one a second; an audio stream
// without flags gets none. Records must rise strictly in time and position,
// as players that build their own index require.
#include "index_build.h"

#include <algorithm>
#include <cstring>

#include "be_bytes.h"

namespace {
constexpr uint32_t kAudioSpacingMs = 1000;
constexpr size_t kChunkHeader = 20, kRecord = 14;
}  // namespace

void IndexBuilder::add(const Headers& h, const Packet& p, uint64_t ordinal) {
  if (!p.keyframe()) return;
  std::vector<IndexRecord>& r = records_[size_t(p.stream)];
  bool video = h.streams[size_t(p.stream)].video;
  if (video && !p.video.frame_start()) return;
  if (!r.empty()) {
    uint32_t min_ts = video ? r.back().ts + 1 : r.back().ts + kAudioSpacingMs;
    if (p.ts < min_ts || p.ts <= r.back().ts) return;
  }
  r.push_back({p.ts, p.offset, ordinal});
}

bool IndexBuilder::build(Reader& in, const Headers& h, const Scan& s) {
  records_.assign(h.streams.size(), {});
  uint64_t ordinal = 0;
  for (const Range& run : s.kept) {
    for (uint64_t at = run.offset; at < run.offset + run.length; ++ordinal) {
      const uint8_t* b = in.at(at, 12);
      if (!b) return false;
      Packet p;
      p.offset = at;
      p.header = uint8_t(12 + be::u16(b));
      p.length = be::u16(b + 2);
      p.stream = physical_stream(h, be::u16(b + 4));
      p.ts = be::u32(b + 6) + run.shift;
      p.flags = b[11];
      at += p.length;
      if (p.stream < 0 || !p.keyframe()) continue;
      if (h.streams[size_t(p.stream)].video) {
        const uint8_t* whole = in.at(p.offset, p.length);
        if (!whole) return false;
        read_video_payload(whole + p.header, p.length - p.header, p.video);
      }
      add(h, p, ordinal);
    }
  }
  return true;
}

size_t IndexBuilder::chunk_count() const {
  return size_t(std::count_if(records_.begin(), records_.end(), [](const auto& r) { return !r.empty(); }));
}

size_t IndexBuilder::record_count() const {
  size_t n = 0;
  for (const auto& r : records_) n += r.size();
  return n;
}

std::vector<uint8_t> IndexBuilder::chunks(const Headers& h, uint64_t at) const {
  std::vector<size_t> order;
  for (size_t i = 0; i < records_.size(); ++i)
    if (!records_[i].empty()) order.push_back(i);
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return h.streams[a].number < h.streams[b].number; });
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
    be::put16(c + 14, h.streams[order[k]].number);
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
