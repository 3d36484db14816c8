// How a repaired file takes the original's place on Windows: the temporary
// file beside it, the backup, the replacement in one step, and what a run
// that died left behind.
#include <cstdio>

#include "file_io_win32.h"
#include "utf16.h"

namespace fileio {

namespace {

constexpr char16_t kTempSuffix[] = u".vok-tmp";
constexpr char16_t kOldSuffix[] = u".vok-old";  // the original, for a moment, while it is replaced

// SetFileInformationByHandle, which Vista brought.
void set_info(const File& f, int info_class, void* info, DWORD size) {
  using Set = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);
  static Set set = kernel32<Set>("SetFileInformationByHandle");
  if (set) set(h(f), info_class, info, size);
}

// Marks a file to go when its last handle does, or not.
void delete_on_close(const File& f, bool yes) {
  struct Disposition {
    BOOLEAN remove;
  } d = {BOOLEAN(yes)};
  set_info(f, 4 /* FileDispositionInfo */, &d, sizeof d);
}

bool flush_path(const std::u16string& p, DWORD flags) {
  HANDLE d = CreateFileW(W(p), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, flags, nullptr);
  if (d == INVALID_HANDLE_VALUE) return false;
  bool ok = FlushFileBuffers(d) != 0;
  CloseHandle(d);
  return ok;
}

// A copy made from the open original (not from its name, which may already
// name another file), flushed before it counts.
bool copy_exclusive(const File& src, const std::u16string& to) {
  HANDLE out = CreateFileW(W(to), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  static char buf[1 << 16];
  bool ok = true;
  uint64_t pos = 0;
  for (size_t got = 1; ok && got;) {
    DWORD put = 0;
    ok = read_at(src, pos, buf, sizeof buf, got) &&
         (got == 0 || (WriteFile(out, buf, DWORD(got), &put, nullptr) && put == got));
    pos += got;
  }
  FILETIME made, seen, written;
  if (ok && GetFileTime(h(src), &made, &seen, &written)) SetFileTime(out, &made, &seen, &written);
  ok = ok && FlushFileBuffers(out);
  DWORD e = GetLastError();
  CloseHandle(out);
  if (!ok) DeleteFileW(W(to)), SetLastError(e);
  return ok;
}

}  // namespace

bool create_temp_beside(const std::string& path, File& f, std::string& temp_path) {
  for (int i = 0; i < 100; ++i) {
    char n[16] = "";
    if (i) snprintf(n, sizeof n, "%d", i);
    temp_path = path + ".vok-tmp" + n;
    if (opened(CreateFileW(W(long_path(temp_path)), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr),
               f)) {
      delete_on_close(f, true);
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

void remove_stale_temps(const std::string& path, std::vector<std::string>& removed) {
  std::u16string target = long_path(path), base = target + kTempSuffix, folder = folder_of(base);
  WIN32_FIND_DATAW d;
  HANDLE find = FindFirstFileW(W(base + u"*"), &d);
  if (find == INVALID_HANDLE_VALUE) return;
  std::u16string name = base.substr(folder.size() + 1);
  do {
    std::u16string found = reinterpret_cast<const char16_t*>(d.cFileName);
    if (found.compare(0, name.size(), name) != 0 ||
        found.find_first_not_of(u"0123456789", name.size()) != std::u16string::npos ||
        (d.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
      continue;
    // A running vok holds its temporary file unshared: that one cannot go.
    std::u16string full = folder + u"\\" + found;
    if (DeleteFileW(W(full)))
      removed.push_back(path + utf16_to_utf8(kTempSuffix + found.substr(name.size())));
  } while (FindNextFileW(find, &d));
  FindClose(find);
  // The original under its moment's name, left where a run died right after
  // replacing it: the file itself is in place.
  if (GetFileAttributesW(W(target)) != INVALID_FILE_ATTRIBUTES && DeleteFileW(W(target + kOldSuffix)))
    removed.push_back(path + ".vok-old");
}

void copy_mode(const File& to, const Info& info) {
  // Through the open handle: the file is marked to go when it closes, and
  // its name cannot be opened again until it is kept.
  struct Basic {
    LARGE_INTEGER made, seen, written, changed;  // 0: left as they are
    DWORD attributes;
  } b = {};
  DWORD keep = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  b.attributes = (info.mode & keep) ? info.mode & keep : FILE_ATTRIBUTE_NORMAL;
  set_info(to, 0 /* FileBasicInfo */, &b, sizeof b);
}

Backup make_backup(const std::string& path, const File& src, std::string& backup_path) {
  std::u16string original = long_path(path);
  Id held = identity(src);
  for (int i = 1; i < 1000; ++i) {
    char n[16] = "";
    if (i > 1) snprintf(n, sizeof n, ".%d", i);
    backup_path = path + ".bak" + n;
    std::u16string backup = long_path(backup_path);
    if (GetFileAttributesW(W(backup)) != INVALID_FILE_ATTRIBUTES) continue;
    // A hard link costs no copy. It is of the name, so it must turn out to
    // be of the file this run read.
    if (CreateHardLinkW(W(backup), W(original), nullptr)) {
      if (same_file(backup, held)) return Backup::Ok;
      DeleteFileW(W(backup));
      return Backup::Changed;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
    // No hard links here (FAT, exFAT): a copy that refuses to overwrite.
    if (copy_exclusive(src, backup)) {
      flush_path(folder_of(backup), FILE_FLAG_BACKUP_SEMANTICS);
      return Backup::Ok;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return Backup::Failed;
  }
  return Backup::Failed;
}

Replace replace(const std::string& temp_path, File& temp_file, const std::string& path, File& src,
                std::string& lost) {
  lost.clear();
  std::u16string temp = long_path(temp_path), target = long_path(path), old = target + kOldSuffix;
  // ReplaceFile opens both files itself: they must be closed, the temporary
  // one no longer to go when it is.
  delete_on_close(temp_file, false);
  close(temp_file);
  close(src);
  DeleteFileW(W(old));
  // With a name for the original, no failure of ReplaceFile leaves it
  // deleted: it is either where it was or under that name. It keeps the
  // original's security, streams (a download's zone mark) and attributes; a
  // file system without it gets a plain move.
  if (ReplaceFileW(W(target), W(temp), W(old), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    DeleteFileW(W(old));
  } else {
    DWORD e = GetLastError();
    if (GetFileAttributesW(W(target)) == INVALID_FILE_ATTRIBUTES &&
        GetFileAttributesW(W(old)) != INVALID_FILE_ATTRIBUTES)
      MoveFileExW(W(old), W(target), MOVEFILE_WRITE_THROUGH);  // the original back in its place
    bool unsupported = e == ERROR_INVALID_FUNCTION || e == ERROR_NOT_SUPPORTED ||
                       e == ERROR_INVALID_PARAMETER || e == ERROR_CALL_NOT_IMPLEMENTED;
    if (!unsupported) return SetLastError(e), Replace::Failed;
    if (!MoveFileExW(W(temp), W(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return Replace::Failed;
    lost = "streams, security";  // a plain move keeps the new file's own
  }
  // The new name must survive a power cut: flushing the folder does it, or
  // else flushing the file with its entry.
  if (flush_path(folder_of(target), FILE_FLAG_BACKUP_SEMANTICS) || flush_path(target, 0)) return Replace::Ok;
  return Replace::NotDurable;
}

bool keep_temp(const std::string& temp_path, File& temp, const std::vector<std::string>& names,
               std::string& made) {
  std::u16string from = long_path(temp_path);
  delete_on_close(temp, false);
  close(temp);
  for (const std::string& name : names) {
    // Without MOVEFILE_REPLACE_EXISTING a move never replaces a file.
    if (MoveFileExW(W(from), W(long_path(name)), MOVEFILE_WRITE_THROUGH)) {
      made = name;
      return true;
    }
    DWORD e = GetLastError();
    if (e != ERROR_ALREADY_EXISTS && e != ERROR_FILE_EXISTS) break;
  }
  DWORD e = GetLastError();
  DeleteFileW(W(from));
  SetLastError(e);
  return false;
}

bool move_new(const std::string& from, const std::string& to) {
  return MoveFileExW(W(long_path(from)), W(long_path(to)), MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace fileio
