// A producer's index is kept whenever it checks out, so that a sound file is
// never rewritten for the sake of an index that differs from ours only in
// how dense it is.
#include "index_check.h"

#include <algorithm>

#include "be_bytes.h"
#include "chunks.h"

namespace {

constexpr uint32_t kChunkHeader = 20, kRecord = 14;
constexpr uint32_t kCoverageMs = 10000;  // an index may stop this far before the last keyframe

// The kept packet run holding [at, at + n), or null.
const Range* kept_run(const Scan& s, uint64_t at, uint64_t n) {
  auto it = std::upper_bound(s.kept.begin(), s.kept.end(), at,
                             [](uint64_t v, const Range& r) { return v < r.offset; });
  if (it == s.kept.begin()) return nullptr;
  --it;
  return at + n <= it->offset + it->length ? &*it : nullptr;
}

// The record points at the header of a packet of this stream with this time.
bool record_matches(Reader& in, const Scan& s, uint16_t stream, uint32_t ts, uint64_t at) {
  const Range* run = kept_run(s, at, 12);
  uint8_t b[12];
  if (!run || !in.peek(at, b, sizeof b)) return false;
  uint16_t version = be::u16(b), length = be::u16(b + 2);
  return version <= 1 && length >= 12u + version && at + length <= run->offset + run->length &&
         be::u16(b + 4) == stream && be::u32(b + 6) == ts;
}

uint32_t median(std::vector<uint32_t>& v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// Checks one chunk's records; gives the last record's time and the usual
// spacing between records.
bool records_match(Reader& in, const Scan& s, const IndexChunk& c, uint32_t& last_ts, uint32_t& spacing) {
  std::vector<uint32_t> steps;
  uint64_t prev_at = 0;
  for (uint32_t i = 0; i < c.records; ++i) {
    const uint8_t* r = in.at(c.offset + kChunkHeader + uint64_t(kRecord) * i, kRecord);
    if (!r || be::u16(r) != 0) return false;
    uint32_t ts = be::u32(r + 2);
    uint64_t at = be::u32(r + 6);
    if (i && (at <= prev_at || ts < last_ts)) return false;
    if (!record_matches(in, s, c.stream, ts, at)) return false;
    if (i) steps.push_back(ts - last_ts);
    prev_at = at;
    last_ts = ts;
  }
  spacing = median(steps);
  return true;
}

}  // namespace

bool index_matches(Reader& in, const Headers& h, const Scan& s, const TrailingChunks& t) {
  std::vector<bool> indexed(h.streams.size());
  std::vector<uint32_t> last(h.streams.size()), spacing(h.streams.size());
  for (size_t k = 0; k < t.index.size(); ++k) {
    const IndexChunk& c = t.index[k];
    if (c.next != (k + 1 < t.index.size() ? t.index[k + 1].offset : 0)) return false;
    size_t i = 0;
    while (i < h.streams.size() && h.streams[i].number != c.stream) ++i;
    if (i == h.streams.size() || indexed[i]) return false;
    indexed[i] = true;
    if (!h.streams[i].physical) {
      if (c.records) return false;
      continue;
    }
    if (!records_match(in, s, c, last[i], spacing[i])) return false;
    indexed[i] = c.records > 0;
  }
  for (size_t i = 0; i < h.streams.size(); ++i) {
    const StreamStats& ss = s.stats[i];
    if (!h.streams[i].physical || !ss.keyed) continue;
    uint64_t slack = std::max<uint64_t>(kCoverageMs, 2ull * spacing[i]);
    if (!indexed[i] || last[i] + slack < ss.max_key_ts) return false;
  }
  return !in.failed();
}
