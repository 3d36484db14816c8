// POSIX files. Built with 64-bit offsets, so large files work on 32-bit
// builds. Whether another program has a file open is known only through a
// write lease, which Linux grants only when no one else has it open; runs
// of vok keep out of each other's way with flock().
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "file_io.h"

namespace fileio {

namespace {

constexpr char kTempSuffix[] = ".vok-tmp";

int fd(const File& f) { return int(f.handle); }

std::string dir_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Never as descriptor 0, 1 or 2: a vok started with one of them closed
// would write its messages into the file that took it.
int open_safe(const char* path, int flags, mode_t mode = 0) {
  int f;
  do f = ::open(path, flags, mode);
  while (f < 0 && errno == EINTR);
  if (f < 0 || f > 2) return f;
  int moved = fcntl(f, F_DUPFD_CLOEXEC, 3);
  int e = errno;
  ::close(f);
  errno = e;
  return moved;
}

bool flush_dir(const std::string& path) {
  int dir = open_safe(dir_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  bool ok = fsync(dir) == 0;
  ::close(dir);
  return ok;
}

// A copy made from the open original (not from its name, which may already
// name another file), flushed with its folder before it counts.
bool copy_exclusive(const File& src, const std::string& to) {
  int out = open_safe(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) return false;
  static char buf[1 << 16];
  bool ok = true;
  uint64_t at = 0;
  for (size_t got = 1; ok && got;) {
    ok = read_at(src, at, buf, sizeof buf, got) && (got == 0 || ::write(out, buf, got) == ssize_t(got));
    at += got;
  }
  struct stat st;
  if (ok && fstat(fd(src), &st) == 0) fchmod(out, st.st_mode & 07777);
  ok = ok && fsync(out) == 0;
  ok = ::close(out) == 0 && ok;
  ok = ok && flush_dir(to);
  if (!ok) {
    int e = errno;
    ::unlink(to.c_str());
    errno = e;
  }
  return ok;
}

// Extended attributes (a download's origin, labels) go with the content,
// whatever their size; the names of those that could not go are given back.
std::string copy_xattrs(const File& src, const std::string& to) {
  std::vector<char> names(4096), value;
  ssize_t n;
  while ((n = flistxattr(fd(src), names.data(), names.size())) < 0 && errno == ERANGE)
    names.resize(names.size() * 4);
  if (n < 0) return errno == ENOTSUP ? "" : "(their list)";
  std::string lost;
  for (ssize_t i = 0; i < n; i += ssize_t(strlen(names.data() + i)) + 1) {
    const char* name = names.data() + i;
    ssize_t len = fgetxattr(fd(src), name, nullptr, 0);
    value.resize(len > 0 ? size_t(len) : 1);
    if (len >= 0) len = fgetxattr(fd(src), name, value.data(), value.size());
    if (len < 0 || setxattr(to.c_str(), name, value.data(), size_t(len), 0) != 0)
      lost += (lost.empty() ? "" : ", ") + std::string(name);
  }
  return lost;
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

std::string resolve(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string r = real;
  free(real);
  return r;
}

bool is_link(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool open_read(const std::string& path, File& f) {
  f.handle = open_safe(path.c_str(), O_RDONLY | O_CLOEXEC);
  return f.handle >= 0;
}

Open open_source(const std::string& path, bool update, File& f) {
  f.handle = open_safe(path.c_str(), (update ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (f.handle < 0) return Open::Failed;
  if (flock(fd(f), LOCK_EX | LOCK_NB) != 0) return close(f), Open::OtherVok;
  if (in_use_elsewhere(f)) return close(f), Open::InUse;
  return Open::Ok;
}

// False when the open file cannot be asked.
bool id_of(int handle, Id& id) {
  struct stat st;
  if (fstat(handle, &st) != 0) return false;
  id.size = uint64_t(st.st_size);
  id.mtime = uint64_t(st.st_mtim.tv_sec) * 1000000000ull + uint64_t(st.st_mtim.tv_nsec);
  id.volume = uint64_t(st.st_dev);
  id.index = uint64_t(st.st_ino);
  return true;
}

// The name leads to the file `id` is of: same device, same inode.
bool same_file(const std::string& path, const Id& id) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && uint64_t(st.st_ino) == id.index &&
         uint64_t(st.st_dev) == id.volume;
}

std::vector<std::string> siblings(const std::string& path) {
  std::vector<std::string> out;
  DIR* d = opendir(dir_of(path).c_str());
  if (!d) return out;
  std::string prefix = path.rfind('/') == std::string::npos ? "" : dir_of(path) + "/";
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != ".." && name != name_of(path)) out.push_back(prefix + name);
  }
  closedir(d);
  return out;
}

Id identity(const File& f) {
  Id id;
  id_of(fd(f), id);
  return id;
}

bool unchanged(const std::string& path, const File& f, const Id& was) {
  Id now = identity(f);
  return same_file(path, now) && now == was;
}

bool in_use_elsewhere(const File& f) {
  // A write lease is granted only when no one else has the file open.
  if (fcntl(fd(f), F_SETLEASE, F_WRLCK) != 0) return errno == EAGAIN || errno == EBUSY;
  fcntl(fd(f), F_SETLEASE, F_UNLCK);
  return false;
}

bool create_temp_beside(const std::string& path, File& f, std::string& temp_path) {
  for (int i = 0; i < 100; ++i) {
    temp_path = path + kTempSuffix + (i ? std::to_string(i) : "");
    f.handle = open_safe(temp_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (f.handle >= 0) {
      // Held while this run lives: a later run removes it only once it is not.
      flock(fd(f), LOCK_EX | LOCK_NB);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

void remove_stale_temps(const std::string& path, std::vector<std::string>& removed) {
  std::string dir = dir_of(path), prefix = name_of(path) + kTempSuffix;
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0 ||
        name.find_first_not_of("0123456789", prefix.size()) != std::string::npos)
      continue;
    std::string full = dir + "/" + name;
    int t = open_safe(full.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (t < 0) continue;
    struct stat st;
    if (fstat(t, &st) == 0 && S_ISREG(st.st_mode) && flock(t, LOCK_EX | LOCK_NB) == 0 &&
        ::unlink(full.c_str()) == 0)
      removed.push_back(full);
    ::close(t);
  }
  closedir(d);
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

uint64_t copy_inside(const File& from, uint64_t from_at, const File& to, uint64_t to_at, uint64_t n) {
  uint64_t done = 0;
#ifdef __linux__
  while (done < n) {
    off64_t in = off64_t(from_at + done), out = off64_t(to_at + done);
    ssize_t r = copy_file_range(fd(from), &in, fd(to), &out, size_t(n - done), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += uint64_t(r);
  }
#else
  (void)from, (void)from_at, (void)to, (void)to_at, (void)n;
#endif
  return done;
}

bool truncate(const File& f, uint64_t size) { return ftruncate(fd(f), off_t(size)) == 0; }
bool flush(const File& f) { return fsync(fd(f)) == 0; }

void start_flush(const File& f) {
#ifdef __linux__
  sync_file_range(fd(f), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)f;
#endif
}

void close(File& f) {
  if (f.handle >= 0) ::close(fd(f));
  f.handle = -1;
}

void copy_mode(const File& to, const Info& info) { fchmod(fd(to), info.mode); }

Backup make_backup(const std::string& path, const File& src, std::string& backup_path) {
  std::string self = "/proc/self/fd/" + std::to_string(fd(src));
  Id held;
  if (!id_of(fd(src), held)) return Backup::Failed;
  for (int i = 1; i < 1000; ++i) {
    backup_path = path + ".bak" + (i > 1 ? "." + std::to_string(i) : "");
    // A hard link costs no copy and, like O_EXCL, never replaces a file.
    // Made from the open file, it holds what this run read even if the
    // name was given to another file meanwhile.
    int r = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, backup_path.c_str(), AT_SYMLINK_FOLLOW);
    if (r != 0 && errno == ENOENT) r = ::link(path.c_str(), backup_path.c_str());
    if (r == 0) {
      if (!same_file(backup_path, held)) {
        ::unlink(backup_path.c_str());
        return Backup::Changed;
      }
      return flush_dir(backup_path) ? Backup::Ok : (::unlink(backup_path.c_str()), Backup::Failed);
    }
    if (errno == EEXIST) continue;
    // No hard links here (FAT, exFAT): a copy.
    if (copy_exclusive(src, backup_path)) return Backup::Ok;
    if (errno != EEXIST) return Backup::Failed;
  }
  return Backup::Failed;
}

Replace replace(const std::string& temp_path, File& temp, const std::string& path, File& src,
                std::string& lost) {
  lost = copy_xattrs(src, temp_path);
  close(src);
  // Renamed while still open and locked: no other run takes it for stale.
  bool moved = ::rename(temp_path.c_str(), path.c_str()) == 0;
  int e = errno;
  close(temp);
  errno = e;
  if (!moved) return Replace::Failed;
  // The new name must survive a crash too.
  return flush_dir(path) ? Replace::Ok : Replace::NotDurable;
}

void remove(const std::string& path) { ::unlink(path.c_str()); }

bool keep_temp(const std::string& temp_path, File& temp, const std::vector<std::string>& names,
               std::string& made) {
  close(temp);
  for (const std::string& name : names) {
    if (::link(temp_path.c_str(), name.c_str()) == 0) {
      ::unlink(temp_path.c_str());
      made = name;
      if (flush_dir(name)) return true;
      ::unlink(name.c_str());
      break;
    }
    if (errno != EEXIST) break;
  }
  int e = errno;
  ::unlink(temp_path.c_str());
  errno = e;
  return false;
}

bool move_new(const std::string& from, const std::string& to) {
  // A link never replaces a file; then the old name goes.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return flush_dir(to);
}

std::string last_error() { return strerror(errno); }

std::string note_path(const std::string& target) {
  const char* dir = getenv("XDG_RUNTIME_DIR");
  if (!dir || !*dir) dir = getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  char name[64];
  snprintf(name, sizeof name, "/vok-%u-%016llx.note", unsigned(getuid()),
           static_cast<unsigned long long>(note_key(target)));
  return dir + std::string(name);
}

bool write_whole(const std::string& path, const std::string& bytes) {
  int out = open_safe(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (out < 0) return false;
  bool ok = ::write(out, bytes.data(), bytes.size()) == ssize_t(bytes.size());
  return ::close(out) == 0 && ok;
}

bool read_whole(const std::string& path, std::string& bytes, size_t max) {
  int in = open_safe(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) return false;
  bytes.resize(max);
  ssize_t n = ::read(in, &bytes[0], max);
  ::close(in);
  bytes.resize(n > 0 ? size_t(n) : 0);
  return n >= 0;
}

}  // namespace fileio
