// Fuzzes the command-line tokenizer: no crash, no read past the terminating
// NUL (the line lives in a buffer of exactly its size), no quote left in a
// token except as the second byte of a double-byte character, and ParamStr
// agreeing with a plain walk over the tokens.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "launch/param_str.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"

static void require(bool ok) {
  if (!ok) abort();
}

static void check_token(const char* token, size_t size) {
  for (size_t i = 0; i < size;) {
    require(token[i] != '"');
    size_t step = static_cast<size_t>(plat::char_next(token + i) - (token + i));
    require(step == 1 || step == 2);
    i += step;
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t len = strnlen(reinterpret_cast<const char*>(data), size);
  char* line = static_cast<char*>(malloc(len + 1));
  memcpy(line, data, len);
  line[len] = '\0';

  std::string tokens[4];
  const char* p = line;
  for (int i = 0; i < 4; ++i) {
    size_t n = 0;
    const char* end = scan_token(p, nullptr, &n);
    require(end >= p && end <= line + len);
    char* token = static_cast<char*>(malloc(n + 1));
    size_t copied = 0;
    require(scan_token(p, token, &copied) == end && copied == n);
    token[n] = '\0';
    check_token(token, n);
    tokens[i].assign(token, n);
    free(token);
    p = end;
    if (n == 0) break;  // the line has run out
  }

  sim::reset();
  sim::set_command_line(line);
  for (int i = 1; i < 4; ++i) {
    Text t = ParamStr(i);
    require(std::string(t.c_str(), t.size()) == tokens[i]);
  }
  free(line);
  return 0;
}
