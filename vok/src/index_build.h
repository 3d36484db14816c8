// Chooses the seek-index records while the packets are scanned, and lays out
// the INDX chunks that hold them.
#pragma once
#include <cstdint>
#include <vector>

#include "rm_headers.h"

struct Packet;

struct IndexRecord {
  uint32_t ts = 0;
  uint64_t offset = 0;   // the packet header
  uint64_t ordinal = 0;  // the packet's place among all packets of the file
};

class IndexBuilder {
 public:
  explicit IndexBuilder(const Headers& h) : h_(h), records_(h.streams.size()) {}
  void add(const Packet& p, uint64_t ordinal);
  // INDX chunks for every stream with records, chained, in stream-number
  // order, to be placed at `at`. Empty when no stream has a record.
  std::vector<uint8_t> chunks(uint64_t at) const;
  size_t chunk_count() const;
  size_t record_count() const;

 private:
  const Headers& h_;
  std::vector<std::vector<IndexRecord>> records_;  // parallel to Headers::streams
};
