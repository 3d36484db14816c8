// POSIX files. Built with 64-bit offsets, so large files work on 32-bit builds.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_io.h"

namespace fileio {

namespace {

int fd(const File& f) { return int(f.handle); }

std::string dir_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool copy_file_exclusive(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) return ::close(in), false;
  static char buf[1 << 16];
  bool ok = true;
  for (ssize_t n; ok && (n = ::read(in, buf, sizeof buf)) != 0;)
    ok = n > 0 && ::write(out, buf, size_t(n)) == n;
  struct stat st;
  if (ok && fstat(in, &st) == 0) fchmod(out, st.st_mode & 07777);
  ok = ok && fsync(out) == 0;
  ::close(in);
  ok = ::close(out) == 0 && ok;
  if (!ok) ::unlink(to.c_str());
  return ok;
}

}  // namespace

Info stat(const std::string& path) {
  Info info;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    info.kind = errno == ENOENT || errno == ENOTDIR ? Kind::Missing : Kind::Unreadable;
    return info;
  }
  info.kind = S_ISDIR(st.st_mode) ? Kind::Folder : S_ISREG(st.st_mode) ? Kind::Regular : Kind::Other;
  info.size = uint64_t(st.st_size);
  info.mode = st.st_mode & 07777;
  // Root may write anything; a file without write bits is still one its
  // owner marked read-only.
  info.read_only = (st.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0;
  return info;
}

bool open_read(const std::string& path, bool, File& f) {
  f.handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return f.handle >= 0;
}

bool open_update(const std::string& path, File& f) {
  f.handle = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  return f.handle >= 0;
}

bool in_use_elsewhere(const File& f) {
  // A write lease is granted only when no one else has the file open.
  if (fcntl(fd(f), F_SETLEASE, F_WRLCK) != 0) return errno == EAGAIN || errno == EBUSY;
  fcntl(fd(f), F_SETLEASE, F_UNLCK);
  return false;
}

bool create_temp_beside(const std::string& path, File& f, std::string& temp_path) {
  for (int i = 0; i < 100; ++i) {
    temp_path = path + ".vok-tmp" + (i ? std::to_string(i) : "");
    f.handle = ::open(temp_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (f.handle >= 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

bool read_at(const File& f, uint64_t offset, void* buf, size_t n, size_t& got) {
  got = 0;
  while (got < n) {
    ssize_t r = ::pread(fd(f), static_cast<char*>(buf) + got, n - got, off_t(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    got += size_t(r);
  }
  return true;
}

bool write_at(const File& f, uint64_t offset, const void* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::pwrite(fd(f), static_cast<const char*>(buf) + done, n - done, off_t(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += size_t(r);
  }
  return true;
}

bool truncate(const File& f, uint64_t size) { return ftruncate(fd(f), off_t(size)) == 0; }
bool flush(const File& f) { return fsync(fd(f)) == 0; }

void close(File& f) {
  if (f.handle >= 0) ::close(fd(f));
  f.handle = -1;
}

void copy_mode(const File& to, const std::string&, const Info& info) { fchmod(fd(to), info.mode); }

bool make_backup(const std::string& path, std::string& backup_path) {
  for (int i = 1; i < 1000; ++i) {
    backup_path = path + ".bak" + (i > 1 ? "." + std::to_string(i) : "");
    // A hard link costs no copy and, like O_EXCL, never replaces a file.
    if (::link(path.c_str(), backup_path.c_str()) == 0) return true;
    if (errno == EEXIST) continue;
    if (copy_file_exclusive(path, backup_path)) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

bool replace(const std::string& temp_path, const std::string& path) {
  if (::rename(temp_path.c_str(), path.c_str()) != 0) return false;
  // The new name must survive a crash too.
  int dir = ::open(dir_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) fsync(dir), ::close(dir);
  return true;
}

void remove(const std::string& path) { ::unlink(path.c_str()); }

std::string last_error() { return strerror(errno); }

}  // namespace fileio
