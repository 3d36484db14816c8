#include "text/gbk_text.h"

#include <string.h>

#include "platform/platform.h"
#include "report/runtime_error.h"

char* Text::allocate(size_t n) {
  auto* p = static_cast<char*>(plat::mem_alloc(n + 1));
  // One fixed place reports every failed allocation, whichever string it was.
  if (!p) fail_at_caller(kOutOfMemory);
  p[n] = '\0';
  return p;
}

Text::Text(const char* s) : Text(s, strlen(s)) {}

Text::Text(const char* s, size_t n) : size_(n) {
  if (n == 0) return;
  bytes_ = allocate(n);
  memcpy(bytes_, s, n);
}

Text Text::of_size(size_t n) {
  Text t;
  t.size_ = n;
  if (n != 0) t.bytes_ = allocate(n);
  return t;
}

Text::Text(const Text& other) : Text(other.c_str(), other.size_) {}

Text::Text(Text&& other) noexcept : bytes_(other.bytes_), size_(other.size_) {
  other.bytes_ = nullptr;
  other.size_ = 0;
}

Text& Text::operator=(Text other) noexcept {
  char* b = bytes_;
  bytes_ = other.bytes_;
  other.bytes_ = b;
  size_t n = size_;
  size_ = other.size_;
  other.size_ = n;
  return *this;
}

Text::~Text() { plat::mem_free(bytes_); }

bool Text::operator==(const Text& other) const {
  return size_ == other.size_ && memcmp(c_str(), other.c_str(), size_) == 0;
}

Text operator+(const Text& a, const Text& b) {
  Text r;
  r.size_ = a.size_ + b.size_;
  if (r.size_ == 0) return r;
  r.bytes_ = Text::allocate(r.size_);
  memcpy(r.bytes_, a.c_str(), a.size_);
  memcpy(r.bytes_ + a.size_, b.c_str(), b.size_);
  return r;
}
