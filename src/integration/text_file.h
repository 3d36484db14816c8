// A write-only text file with a small buffer. A failed operation leaves its
// error code in `error` for the caller's next check; nothing is retried.
#pragma once

#include <stdint.h>

#include "platform/platform.h"
#include "text/gbk_text.h"

struct TextFile {
  plat::File handle;
  bool is_device;
  uint32_t error;
  uint32_t used;
  char buffer[128];
};

// Opens path, created if missing, with any old content removed.
void open_rewrite(TextFile& f, const Text& path);
void write_line(TextFile& f, const Text& line);  // with CR LF
void write_text(TextFile& f, const Text& text);  // without
void close_file(TextFile& f);
