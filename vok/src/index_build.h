// Chooses the seek-index records from the packets a scan kept, and lays out
// the INDX chunks that hold them.
#pragma once
#include <cstdint>
#include <vector>

#include "packet_scan.h"
#include "reader.h"
#include "rm_headers.h"

struct IndexRecord {
  uint32_t ts = 0;
  uint64_t offset = 0;   // the packet header
  uint64_t ordinal = 0;  // the packet's place among all packets of the file
};

class IndexBuilder {
 public:
  // Reads the headers of the kept packets again; false on a read error.
  bool build(Reader& in, const Headers& h, const Scan& s);
  // INDX chunks for every stream with records, chained, in stream-number
  // order, to be placed at `at`. Empty when no stream has a record.
  std::vector<uint8_t> chunks(const Headers& h, uint64_t at) const;
  size_t chunk_count() const;
  size_t record_count() const;

 private:
  void add(const Headers& h, const Packet& p, uint64_t ordinal);
  std::vector<std::vector<IndexRecord>> records_;  // parallel to Headers::streams
};
