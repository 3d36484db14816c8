#include "reader.h"

#include <cstring>

namespace {
constexpr size_t kWindow = 2 << 20;
}

Reader::Reader(const fileio::File& f, uint64_t size) : file_(&f), size_(size) {}
Reader::Reader(const uint8_t* data, uint64_t size) : mem_(data), size_(size) {}

const uint8_t* Reader::at(uint64_t offset, size_t n) {
  if (offset > size_ || n > size_ - offset || n > kMaxSpan) return nullptr;
  if (mem_) return mem_ + offset;
  if (offset >= buf_off_ && offset + n <= buf_off_ + buf_len_) return buf_.data() + (offset - buf_off_);
  buf_.resize(kWindow);
  uint64_t want = size_ - offset < kWindow ? size_ - offset : kWindow;
  size_t got = 0;
  if (!fileio::read_at(*file_, offset, buf_.data(), size_t(want), got) || got < n) {
    failed_ = true;
    buf_len_ = 0;
    return nullptr;
  }
  buf_off_ = offset;
  buf_len_ = got;
  if (on_window_) on_window_(offset);
  return buf_.data();
}

bool Reader::peek(uint64_t offset, void* dst, size_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  if (mem_ || (offset >= buf_off_ && offset + n <= buf_off_ + buf_len_)) {
    memcpy(dst, mem_ ? mem_ + offset : buf_.data() + (offset - buf_off_), n);
    return true;
  }
  size_t got = 0;
  if (!fileio::read_at(*file_, offset, dst, n, got) || got < n) return failed_ = true, false;
  return true;
}
