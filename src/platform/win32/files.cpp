#include <windows.h>

#include "platform/platform.h"

namespace plat {

static HANDLE as_handle(File f) { return reinterpret_cast<HANDLE>(f); }

File create_file(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                 uint32_t attributes) {
  HANDLE h = CreateFileA(path, access, share, nullptr, disposition, attributes, nullptr);
  return reinterpret_cast<File>(h);
}

bool close_handle(File file) { return CloseHandle(as_handle(file)) != 0; }

bool write_file(File file, const void* data, uint32_t size) {
  DWORD written;
  return WriteFile(as_handle(file), data, size, &written, nullptr) != 0;
}

uint32_t get_file_type(File file) { return GetFileType(as_handle(file)); }

bool truncate_to_start(File file) {
  if (SetFilePointer(as_handle(file), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
    return false;
  }
  return SetEndOfFile(as_handle(file)) != 0;
}

uint32_t last_error() { return GetLastError(); }

}  // namespace plat
