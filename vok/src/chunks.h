// The chunk grammar, in one place: what the ten bytes at an offset say of a
// chunk there. Among the headers a chunk vok reads field by field is known
// by its tag and version alone, since its size field may be what is damaged
// (the fields and the next chunk tell); after the packets a chunk is one
// that ends them: its tag, and a size that fits the file, except an index,
// which ends them even when cut short (a write that was interrupted).
#pragma once
#include <cstdint>
#include <vector>

#include "reader.h"

enum class Tag : uint8_t { None, File, Prop, Mdpr, Cont, Data, Index, Other };

struct ChunkAt {
  Tag tag = Tag::None;  // Other: any four printable letters; None: no tag
  uint16_t version = 0;
  uint64_t size = 0;  // as its size field says
  uint64_t room = 0;  // bytes from it to the end of the file

  bool fits() const { return size >= 10 && size <= room; }
  // A header chunk, or DATA (the 64-bit variant's too), known without its size.
  bool header() const;
  // A chunk that ends the packets and starts what follows them.
  bool ends_packets() const;
  // Of those: a DATA chunk that continues them, and an index.
  bool chained_data() const;
  bool index() const;
};

ChunkAt chunk_at(Reader& in, uint64_t at);
// The first place in [from, limit) where `want` holds of the chunk there;
// only bytes among `firsts` (the first letters of the tags wanted) get a
// closer look. UINT64_MAX where there is none.
uint64_t find_chunk(Reader& in, uint64_t from, uint64_t limit, const char* firsts,
                    bool (*want)(const ChunkAt&));

// Bytes of the file: packets kept, a region skipped, a chunk.
struct Range {
  uint64_t offset = 0, length = 0;
  uint32_t shift = 0;  // added to every timestamp in it (a joined second file)
};

struct IndexChunk {
  uint64_t offset = 0;
  uint64_t size = 0;  // counting its records, also where the size field does not
  uint16_t stream = 0;
  uint32_t records = 0, next = 0;
};

// The chunks that follow the packets, one after another.
struct TrailingChunks {
  bool valid = false;  // whole chunks, one after another, to the end of the file
  uint64_t end = 0;    // where the whole chunks stop
  // What stops them is an index the end of the file cuts short: a write of
  // one that was interrupted, which -i may replace.
  bool index_cut = false;
  uint64_t second_file = 0;       // where a second file's header stops them, or 0
  std::vector<IndexChunk> index;  // the INDX chunks among them, in file order
  std::vector<Range> others;      // the chunks that are not an index
};

TrailingChunks read_trailing(Reader& in, uint64_t from);
