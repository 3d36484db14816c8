#include "chunks.h"

#include "be_bytes.h"
#include "rm_headers.h"

ChunkAt chunk_at(Reader& in, uint64_t at) {
  ChunkAt c;
  const uint8_t* p = in.at(at, 10);
  if (!p) return c;
  for (int i = 0; i < 4; ++i)
    if (p[i] < 0x20 || p[i] > 0x7E) return c;
  c.version = be::u16(p + 8);
  c.size = be::u32(p + 4);
  c.room = in.size() - at;
  c.tag = be::tag_is(p, "PROP")   ? Tag::Prop
          : be::tag_is(p, "MDPR") ? Tag::Mdpr
          : be::tag_is(p, "CONT") ? Tag::Cont
          : be::tag_is(p, "DATA") ? Tag::Data
          : be::tag_is(p, "INDX") ? Tag::Index
                                  : Tag::Other;
  if (be::tag_is(p, ".RMF") && c.size == field::kRmfSize && c.version <= 1 && c.room >= c.size)
    c.tag = Tag::File;
  return c;
}

uint64_t find_chunk(Reader& in, uint64_t from, uint64_t limit, const char* firsts,
                    bool (*want)(const ChunkAt&)) {
  if (limit > in.size()) limit = in.size();
  bool first[256] = {};
  for (const char* f = firsts; *f; ++f) first[uint8_t(*f)] = true;
  for (uint64_t q = from; q < limit;) {
    size_t n = size_t(limit - q < Reader::kMaxSpan ? limit - q : Reader::kMaxSpan);
    const uint8_t* p = in.at(q, n);
    if (!p) return UINT64_MAX;
    size_t i = 0;
    while (i < n && !first[p[i]]) ++i;
    if (i < n && want(chunk_at(in, q + i))) return q + i;
    q += i < n ? i + 1 : n;
  }
  return UINT64_MAX;
}

bool ChunkAt::header() const {
  if (tag == Tag::Data) return (version == 0 || version == 2) && room >= field::kDataHeaderSize;
  return version == 0 && (tag == Tag::Prop || tag == Tag::Mdpr || tag == Tag::Cont);
}

bool ChunkAt::chained_data() const {
  return tag == Tag::Data && version == 0 && room >= field::kDataHeaderSize;
}

bool ChunkAt::index() const { return tag == Tag::Index && version == 0; }

bool ChunkAt::ends_packets() const {
  return tag == Tag::File || chained_data() || index() || (tag != Tag::None && fits());
}

namespace {
constexpr uint32_t kIndexHeader = 20, kRecord = 14;
}  // namespace

TrailingChunks read_trailing(Reader& in, uint64_t from) {
  TrailingChunks t;
  uint64_t off = from;
  while (off < in.size()) {
    ChunkAt c = chunk_at(in, off);
    if (c.tag == Tag::File) {
      t.second_file = off;
      break;
    }
    uint64_t size = c.size;
    if (c.tag == Tag::Index) {
      const uint8_t* p = c.index() ? in.at(off, kIndexHeader) : nullptr;
      if (!p) break;
      IndexChunk x{off, size, be::u16(p + 14), be::u32(p + 10), be::u32(p + 16)};
      uint64_t want = kIndexHeader + uint64_t(kRecord) * x.records;
      // Some writers count only the chunk header; the records follow it.
      if (size == kIndexHeader && want <= c.room) x.size = want;
      if (size < kIndexHeader || x.size != want || x.size > c.room) {
        t.index_cut = want > c.room || size > c.room;
        break;
      }
      t.index.push_back(x);
      size = x.size;
    } else {
      if (c.tag == Tag::None || !c.fits()) break;
      t.others.push_back({off, size, 0});
    }
    off += size;
  }
  t.end = off;
  t.valid = off == in.size();
  return t;
}
