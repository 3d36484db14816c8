#include "integration/text_file.h"

static const uint32_t kInvalidFileMode = 105;  // the handle is no file at all

void open_rewrite(TextFile& f, const Text& path) {
  f.used = 0;
  f.error = 0;
  f.is_device = false;
  // Create or empty it. Whether this worked is for the real open to find out.
  plat::File h = plat::create_file(path.c_str(), plat::kGenericWrite, 0, plat::kCreateAlways, 0);
  if (h != plat::kInvalidFile) plat::close_handle(h);

  f.handle = plat::create_file(path.c_str(), plat::kGenericRead | plat::kGenericWrite, plat::kShareRead,
                               plat::kOpenExisting, plat::kAttributeNormal);
  if (f.handle == plat::kInvalidFile) {
    f.error = plat::last_error();
    return;
  }
  uint32_t type = plat::get_file_type(f.handle);
  if (type == plat::kFileTypeUnknown) {
    plat::close_handle(f.handle);
    f.error = kInvalidFileMode;
    return;
  }
  f.is_device = type == plat::kFileTypeChar;
  // The emptying above fails on a hidden or system file, or one another
  // program holds open; old text left behind would corrupt the script.
  if (!f.is_device && !plat::truncate_to_start(f.handle)) f.error = plat::last_error();
}

static void flush(TextFile& f) {
  if (f.used == 0) return;
  if (!plat::write_file(f.handle, f.buffer, f.used)) f.error = plat::last_error();
  // Written or not, those bytes are gone; the next check reports the loss.
  f.used = 0;
}

static void put(TextFile& f, const char* bytes, size_t size) {
  for (size_t i = 0; i < size && f.error == 0; ++i) {
    f.buffer[f.used++] = bytes[i];
    if (f.used == sizeof f.buffer) flush(f);
  }
  // A console or printer shows each piece as it comes.
  if (f.is_device) flush(f);
}

void write_text(TextFile& f, const Text& text) { put(f, text.c_str(), text.size()); }

void write_line(TextFile& f, const Text& line) {
  write_text(f, line);
  put(f, "\r\n", 2);
}

void close_file(TextFile& f) {
  flush(f);
  // A failed close outranks a failed last write: its code is the one left.
  if (!plat::close_handle(f.handle)) f.error = plat::last_error();
}
