// Windows files through the ANSI API, so paths stay bytes in the system code
// page. Offsets go through OVERLAPPED, which takes 64 bits on every build.
#include <windows.h>

#include <cstdio>

#include "file_io.h"

namespace fileio {

namespace {

HANDLE h(const File& f) { return reinterpret_cast<HANDLE>(f.handle); }

bool opened(HANDLE handle, File& f) {
  f.handle = reinterpret_cast<intptr_t>(handle);
  return handle != INVALID_HANDLE_VALUE;
}

OVERLAPPED at(uint64_t offset) {
  OVERLAPPED o = {};
  o.Offset = DWORD(offset);
  o.OffsetHigh = DWORD(offset >> 32);
  return o;
}

}  // namespace

Info stat(const std::string& path) {
  Info info;
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a)) {
    DWORD e = GetLastError();
    info.kind = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? Kind::Missing : Kind::Unreadable;
    return info;
  }
  info.kind = (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Folder
              : (a.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)  ? Kind::Other
                                                              : Kind::Regular;
  info.size = uint64_t(a.nFileSizeHigh) << 32 | a.nFileSizeLow;
  info.mode = a.dwFileAttributes;
  info.read_only = (a.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  return info;
}

bool open_read(const std::string& path, bool exclusive, File& f) {
  // Exclusive: no one else may write while the file is repaired, and a file
  // someone is writing now cannot be opened.
  DWORD share = exclusive ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
  return opened(CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr), f);
}

bool open_update(const std::string& path, File& f) {
  return opened(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr),
                f);
}

bool in_use_elsewhere(const File&) { return false; }  // the share mode already refused it

bool create_temp_beside(const std::string& path, File& f, std::string& temp_path) {
  for (int i = 0; i < 100; ++i) {
    char n[16] = "";
    if (i) snprintf(n, sizeof n, "%d", i);
    temp_path = path + ".vok-tmp" + n;
    if (opened(CreateFileA(temp_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr),
               f))
      return true;
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

bool read_at(const File& f, uint64_t offset, void* buf, size_t n, size_t& got) {
  got = 0;
  while (got < n) {
    OVERLAPPED o = at(offset + got);
    DWORD r = 0;
    if (!ReadFile(h(f), static_cast<char*>(buf) + got, DWORD(n - got), &r, &o))
      return GetLastError() == ERROR_HANDLE_EOF;
    if (r == 0) break;
    got += r;
  }
  return true;
}

bool write_at(const File& f, uint64_t offset, const void* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    OVERLAPPED o = at(offset + done);
    DWORD w = 0;
    if (!WriteFile(h(f), static_cast<const char*>(buf) + done, DWORD(n - done), &w, &o) || w == 0)
      return false;
    done += w;
  }
  return true;
}

bool truncate(const File& f, uint64_t size) {
  LARGE_INTEGER li;
  li.QuadPart = LONGLONG(size);
  return SetFilePointerEx(h(f), li, nullptr, FILE_BEGIN) && SetEndOfFile(h(f));
}

bool flush(const File& f) { return FlushFileBuffers(h(f)) != 0; }

void close(File& f) {
  if (h(f) != INVALID_HANDLE_VALUE) CloseHandle(h(f));
  f.handle = -1;
}

void copy_mode(const File&, const std::string& to_path, const Info& info) {
  DWORD keep = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  if (info.mode & keep) SetFileAttributesA(to_path.c_str(), info.mode & keep);
}

bool make_backup(const std::string& path, std::string& backup_path) {
  for (int i = 1; i < 1000; ++i) {
    char n[16] = "";
    if (i > 1) snprintf(n, sizeof n, ".%d", i);
    backup_path = path + ".bak" + n;
    if (GetFileAttributesA(backup_path.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
    // A hard link costs no copy; where there are none, a copy that refuses
    // to overwrite.
    if (CreateHardLinkA(backup_path.c_str(), path.c_str(), nullptr)) return true;
    if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
    if (CopyFileA(path.c_str(), backup_path.c_str(), TRUE)) return true;
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

bool replace(const std::string& temp_path, const std::string& path) {
  return MoveFileExA(temp_path.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
         0;
}

void remove(const std::string& path) { DeleteFileA(path.c_str()); }

std::string last_error() {
  char msg[256] = "";
  DWORD e = GetLastError();
  if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e, 0, msg,
                      sizeof msg, nullptr))
    snprintf(msg, sizeof msg, "error %lu", static_cast<unsigned long>(e));
  std::string s = msg;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace fileio
