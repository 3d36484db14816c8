// Windows files through the UTF-16 calls only: a name the system code page
// cannot hold (Korean on a Chinese system, emoji) or would map to another
// one (the yen sign to the full-width yen) reaches the right file. Paths are
// made absolute and given the \\?\ prefix, so that they may be longer than
// MAX_PATH. Offsets go through OVERLAPPED, which takes 64 bits on every
// build. Calls that came after Windows XP are looked up at run time.
#include "file_io_win32.h"

#include <cstdio>

#include "utf16.h"

namespace fileio {

namespace {

OVERLAPPED at(uint64_t offset) {
  OVERLAPPED o = {};
  o.Offset = DWORD(offset);
  o.OffsetHigh = DWORD(offset >> 32);
  return o;
}

HANDLE open_attributes(const std::u16string& p) {
  return CreateFileW(W(p), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

Id id_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION i;
  Id id;
  if (!GetFileInformationByHandle(handle, &i)) return id;
  id.size = uint64_t(i.nFileSizeHigh) << 32 | i.nFileSizeLow;
  id.mtime = uint64_t(i.ftLastWriteTime.dwHighDateTime) << 32 | i.ftLastWriteTime.dwLowDateTime;
  id.volume = i.dwVolumeSerialNumber;
  id.index = uint64_t(i.nFileIndexHigh) << 32 | i.nFileIndexLow;
  return id;
}

}  // namespace

bool opened(HANDLE handle, File& f) {
  f.handle = reinterpret_cast<intptr_t>(handle);
  return handle != INVALID_HANDLE_VALUE;
}

std::u16string long_path(const std::string& path) {
  std::u16string in = utf8_to_utf16(path);
  if (in.compare(0, 4, u"\\\\?\\") == 0 || in.compare(0, 4, u"\\\\.\\") == 0) return in;
  DWORD n = GetFullPathNameW(W(in), 0, nullptr, nullptr);
  if (n == 0) return in;
  std::u16string full(n, u'\0');
  n = GetFullPathNameW(W(in), n, reinterpret_cast<wchar_t*>(&full[0]), nullptr);
  full.resize(n);
  if (full.compare(0, 2, u"\\\\") == 0) return u"\\\\?\\UNC\\" + full.substr(2);
  return u"\\\\?\\" + full;
}

std::u16string folder_of(const std::u16string& p) {
  size_t slash = p.rfind(u'\\');
  if (slash == std::u16string::npos) return p;
  std::u16string folder = p.substr(0, slash);
  // A drive's root is "C:\\", not "C:", which names the volume.
  return folder.back() == u':' ? folder + u"\\" : folder;
}

bool same_file(const std::u16string& p, const Id& id) {
  HANDLE a = open_attributes(p);
  if (a == INVALID_HANDLE_VALUE) return false;
  Id other = id_of(a);
  CloseHandle(a);
  return other.volume == id.volume && other.index == id.index;
}

Info stat(const std::string& path) {
  Info info;
  HANDLE a = open_attributes(long_path(path));
  if (a == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    info.kind = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? Kind::Missing : Kind::Unreadable;
    return info;
  }
  BY_HANDLE_FILE_INFORMATION i;
  bool got = GetFileInformationByHandle(a, &i) != 0;
  DWORD type = GetFileType(a);
  CloseHandle(a);
  if (!got) {
    info.kind = type == FILE_TYPE_DISK ? Kind::Unreadable : Kind::Other;
    return info;
  }
  info.kind = (i.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Folder
              : type != FILE_TYPE_DISK                        ? Kind::Other
                                                              : Kind::Regular;
  info.size = uint64_t(i.nFileSizeHigh) << 32 | i.nFileSizeLow;
  info.mode = i.dwFileAttributes;
  info.read_only = (i.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  return info;
}

std::string resolve(const std::string& path) {
  using Final = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
  static Final final_path = kernel32<Final>("GetFinalPathNameByHandleW");
  HANDLE a = open_attributes(long_path(path));
  if (!final_path || a == INVALID_HANDLE_VALUE) {
    if (a != INVALID_HANDLE_VALUE) CloseHandle(a);
    return path;
  }
  std::u16string p(32768, u'\0');
  DWORD n = final_path(a, reinterpret_cast<wchar_t*>(&p[0]), DWORD(p.size()), 0);
  CloseHandle(a);
  if (n == 0 || n >= p.size()) return path;
  p.resize(n);
  // Kept in the \\?\ form: normalised again, a name ending in a dot or a
  // space would name another file.
  return utf16_to_utf8(p);
}

bool is_link(const std::string& path) {
  DWORD a = GetFileAttributesW(W(long_path(path)));
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool open_read(const std::string& path, File& f) {
  return opened(
      CreateFileW(W(long_path(path)), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr),
      f);
}

Open open_source(const std::string& path, bool update, File& f) {
  // Sharing no writing keeps writers out while vok reads and fails at once
  // where one has the file open. Asking for deletion fails where a player
  // holds the file without allowing it to be replaced; -i, which writes in
  // place, asks for writing instead, which a reading player forbids too.
  DWORD access = GENERIC_READ | (update ? GENERIC_WRITE : DELETE);
  DWORD share = FILE_SHARE_READ | (update ? 0 : FILE_SHARE_DELETE);
  if (!opened(CreateFileW(W(long_path(path)), access, share, nullptr, OPEN_EXISTING, 0, nullptr), f))
    return GetLastError() == ERROR_SHARING_VIOLATION ? Open::InUse : Open::Failed;
  // Another vok on the same file holds this lock, far past any real byte
  // so that no reader is kept from the data.
  OVERLAPPED beyond = at(0x7FFFFFFEFFFFFFFFull);
  if (!LockFileEx(h(f), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &beyond)) {
    DWORD e = GetLastError();
    close(f);
    SetLastError(e);
    return e == ERROR_LOCK_VIOLATION ? Open::OtherVok : Open::Failed;
  }
  return Open::Ok;
}

Id identity(const File& f) { return id_of(h(f)); }

bool unchanged(const std::string& path, const File& f, const Id& was) {
  Id now = identity(f);
  return now == was && same_file(long_path(path), now);
}

bool in_use_elsewhere(const File&) { return false; }  // the share modes already refused it

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

void start_flush(const File&) {}
uint64_t copy_inside(const File&, uint64_t, const File&, uint64_t, uint64_t) { return 0; }

std::vector<std::string> siblings(const std::string& path) {
  std::vector<std::string> out;
  size_t slash = path.find_last_of("\\/");
  std::string prefix = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::u16string self = long_path(path), folder = folder_of(self);
  std::u16string name = self.substr(self.rfind(u'\\') + 1);
  WIN32_FIND_DATAW d;
  HANDLE find = FindFirstFileW(W(folder + (folder.back() == u'\\' ? u"*" : u"\\*")), &d);
  if (find == INVALID_HANDLE_VALUE) return out;
  do {
    std::u16string found = reinterpret_cast<const char16_t*>(d.cFileName);
    if (found != u"." && found != u".." && found != name && !(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      out.push_back(prefix + utf16_to_utf8(found));
  } while (FindNextFileW(find, &d));
  FindClose(find);
  return out;
}

void close(File& f) {
  if (h(f) != INVALID_HANDLE_VALUE) CloseHandle(h(f));
  f.handle = -1;
}

void remove(const std::string& path) { DeleteFileW(W(long_path(path))); }

std::string last_error() {
  wchar_t msg[512] = L"";
  DWORD e = GetLastError();
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e, 0, msg,
                           sizeof msg / sizeof *msg, nullptr);
  std::string s = n ? utf16_to_utf8(std::u16string(reinterpret_cast<const char16_t*>(msg), n))
                    : "error " + std::to_string(e);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
    s.pop_back();
  return s;
}

std::string note_path(const std::string& target) {
  wchar_t dir[MAX_PATH + 1] = L"";
  DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH) return "";
  char name[40];
  snprintf(name, sizeof name, "vok-%016llx.note", static_cast<unsigned long long>(note_key(target)));
  return utf16_to_utf8(std::u16string(reinterpret_cast<const char16_t*>(dir), n)) + name;
}

bool write_whole(const std::string& path, const std::string& bytes) {
  HANDLE out = CreateFileW(W(long_path(path)), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  bool ok = WriteFile(out, bytes.data(), DWORD(bytes.size()), &put, nullptr) && put == bytes.size();
  CloseHandle(out);
  return ok;
}

bool read_whole(const std::string& path, std::string& bytes, size_t max) {
  HANDLE in =
      CreateFileW(W(long_path(path)), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  bytes.resize(max);
  DWORD got = 0;
  bool ok = ReadFile(in, &bytes[0], DWORD(max), &got, nullptr) != 0;
  CloseHandle(in);
  bytes.resize(ok ? got : 0);
  return ok;
}

}  // namespace fileio
