// Command-line tokens.
//
// The rules are older and simpler than the C runtime's: any byte of value 32
// or less separates tokens (tabs and control characters too), a double quote
// opens a run that keeps separators and ends at the next quote or at the end
// of the line, quotes are never part of a token, and a backslash is an
// ordinary character, so "a\"b c" is the token a\b c. Quoted runs may start
// and end anywhere inside a token: ab"c d"e is the one token abc de.
//
// An empty pair "" where a token would start is skipped with the separators
// around it, so `vokxp.exe ""` has no first argument and `vokxp.exe "" del`
// has del as its first. A pair inside a token is just an empty run.
//
// The scan moves one character at a time with the platform's CharNextA, so
// the second byte of a double-byte GBK character is never read as a quote or
// a separator.
#include "launch/param_str.h"

#include <string.h>

#include "platform/platform.h"

static bool is_separator(char c) { return static_cast<unsigned char>(c) <= 32; }

static const char* skip_separators(const char* p) {
  for (;;) {
    while (*p != '\0' && is_separator(*p)) p = plat::char_next(p);
    if (p[0] != '"' || p[1] != '"') return p;
    p += 2;
  }
}

// Takes the character at p into the token.
static const char* take(const char* p, char* dst, size_t* size) {
  const char* next = plat::char_next(p);
  size_t n = static_cast<size_t>(next - p);
  if (dst) memcpy(dst + *size, p, n);
  *size += n;
  return next;
}

const char* scan_token(const char* p, char* dst, size_t* size) {
  *size = 0;
  p = skip_separators(p);
  while (*p != '\0' && !is_separator(*p)) {
    if (*p != '"') {
      p = take(p, dst, size);
      continue;
    }
    p = plat::char_next(p);
    while (*p != '\0' && *p != '"') p = take(p, dst, size);
    if (*p == '"') p = plat::char_next(p);
  }
  return p;
}

static Text read_token(const char** p) {
  size_t size = 0;
  const char* start = *p;
  *p = scan_token(start, nullptr, &size);
  Text token = Text::of_size(size);
  scan_token(start, token.data(), &size);
  return token;
}

Text ParamStr(int index) {
  if (index == 0) {
    char path[261];
    uint32_t n = plat::module_file_name(path, sizeof path);
    return n < sizeof path ? Text(path, n) : Text(path, sizeof path - 1);
  }
  const char* p = plat::command_line();
  for (int i = 0;; ++i) {
    Text token = read_token(&p);
    // An empty token means the line has run out.
    if (i == index || token.empty()) return token;
  }
}
