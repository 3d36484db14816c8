// Where a repaired file's bytes go: a file written front to back through a
// buffer (its writing to the disk set going as it grows), or memory (tests,
// fuzzing).
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "file_io.h"
#include "reader.h"

class Sink {
 public:
  explicit Sink(const fileio::File& f) : file_(&f) { buf_.reserve(kBuffer); }
  explicit Sink(std::vector<uint8_t>& mem) : mem_(&mem) {}
  void write(const uint8_t* p, size_t n);
  // Writes n bytes of what `in` reads from `from`: file to file inside the
  // system where it can. False when they cannot all be read.
  bool copy(Reader& in, uint64_t from, uint64_t n);
  bool finish();  // writes what is buffered; false if any write failed
  uint64_t written() const { return pos_ + buf_.size(); }
  // Called with the bytes written so far, after each buffer goes out.
  void on_drain(std::function<void(uint64_t)> f) { on_drain_ = std::move(f); }

 private:
  static constexpr size_t kBuffer = 1 << 20;
  static constexpr uint64_t kKick = 16 << 20;  // bytes written between two starts of their writing to disk
  void drain();
  void written(bool all);
  const fileio::File* file_ = nullptr;
  std::vector<uint8_t>* mem_ = nullptr;
  std::vector<uint8_t> buf_;
  uint64_t pos_ = 0, kicked_ = 0;
  bool ok_ = true;
  std::function<void(uint64_t)> on_drain_;
};
