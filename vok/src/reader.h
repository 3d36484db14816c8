// Random reads over a file through one window, so scanning a file of any size
// takes a fixed amount of memory. Also serves bytes already in memory (tests,
// fuzzing).
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "file_io.h"

class Reader {
 public:
  Reader(const fileio::File& f, uint64_t size);
  Reader(const uint8_t* data, uint64_t size);

  uint64_t size() const { return size_; }
  // A reader of the first n bytes of the same file (all of it when smaller).
  Reader head(uint64_t n) const {
    uint64_t m = n < size_ ? n : size_;
    return mem_ ? Reader(mem_, m) : Reader(*file_, m);
  }
  // Pointer to bytes [offset, offset + n), or null when they run past the end
  // or cannot be read. Valid until the next call. n is at most kMaxSpan.
  const uint8_t* at(uint64_t offset, size_t n);
  // Copies n bytes at offset into dst without moving the window, for small
  // reads scattered over the file. False when they are not all there.
  bool peek(uint64_t offset, void* dst, size_t n);
  // Hands the bytes [offset, offset + n) to f(p, length) a window at a
  // time. False when they cannot all be read, or f returns false.
  template <typename F>
  bool each_span(uint64_t offset, uint64_t n, F f) {
    for (uint64_t done = 0; done < n;) {
      size_t step = size_t(n - done < kMaxSpan ? n - done : kMaxSpan);
      const uint8_t* p = at(offset + done, step);
      if (!p || !f(p, step)) return false;
      done += step;
    }
    return true;
  }
  bool failed() const { return failed_; }
  // The file it reads, or null for bytes in memory.
  const fileio::File* file() const { return file_; }
  // Called with each new window's offset: how far a scan has come.
  void on_window(std::function<void(uint64_t)> f) { on_window_ = std::move(f); }

  static constexpr size_t kMaxSpan = 1 << 18;

 private:
  const fileio::File* file_ = nullptr;
  const uint8_t* mem_ = nullptr;
  uint64_t size_;
  std::vector<uint8_t> buf_;
  uint64_t buf_off_ = 0;
  size_t buf_len_ = 0;
  bool failed_ = false;
  std::function<void(uint64_t)> on_window_;
};
