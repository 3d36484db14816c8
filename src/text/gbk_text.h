// GBK text: a byte string with a length, joined and compared byte for byte.
//
// The program never converts text; what it reads from the platform is what it
// passes back. libstdc++'s string would multiply the size of the executable,
// so this is the whole of the string support: build, join, compare.
#pragma once

#include <stddef.h>

class Text {
 public:
  Text() = default;
  Text(const char* s);  // NOLINT(google-explicit-constructor): literals read best bare
  Text(const char* s, size_t n);
  Text(const Text& other);
  Text(Text&& other) noexcept;
  Text& operator=(Text other) noexcept;
  ~Text();

  // n bytes to be filled in through data().
  static Text of_size(size_t n);
  char* data() { return bytes_; }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Always NUL-terminated, for the ANSI calls.
  const char* c_str() const { return bytes_ ? bytes_ : ""; }

  bool operator==(const Text& other) const;
  bool operator!=(const Text& other) const { return !(*this == other); }

  friend Text operator+(const Text& a, const Text& b);

 private:
  // Allocates room for n bytes and the NUL; runs out of memory fatally.
  static char* allocate(size_t n);

  char* bytes_ = nullptr;
  size_t size_ = 0;
};
