// Where a repaired file's bytes go: a file written front to back through a
// buffer, or memory (tests, fuzzing).
#pragma once
#include <cstdint>
#include <vector>

#include "file_io.h"

class Sink {
 public:
  explicit Sink(const fileio::File& f) : file_(&f) { buf_.reserve(kBuffer); }
  explicit Sink(std::vector<uint8_t>& mem) : mem_(&mem) {}
  void write(const uint8_t* p, size_t n);
  bool finish();  // writes what is buffered; false if any write failed
  uint64_t written() const { return pos_ + buf_.size(); }

 private:
  static constexpr size_t kBuffer = 1 << 20;
  void drain();
  const fileio::File* file_ = nullptr;
  std::vector<uint8_t>* mem_ = nullptr;
  std::vector<uint8_t> buf_;
  uint64_t pos_ = 0;
  bool ok_ = true;
};
