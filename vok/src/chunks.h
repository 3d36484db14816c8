// The chunk grammar, in one place: what the ten bytes at an offset say of a
// chunk there. Among the headers a chunk vok reads field by field is known
// by its tag and version alone, since its size field may be what is damaged
// (the fields and the next chunk tell); after the packets a chunk is one
// that ends them: its tag, and a size that fits the file, except an index,
// which ends them even when cut short (a write that was interrupted).
#pragma once
#include <cstdint>

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
