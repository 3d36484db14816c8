// The file operations vok needs, declared once; file_io_posix.cpp and
// file_io_win32.cpp implement them and the build links one. Paths are byte
// strings in the system code page. Offsets are 64-bit on every build.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace fileio {

struct File {
  intptr_t handle = -1;
};

enum class Kind { Missing, Folder, Regular, Other, Unreadable };

struct Info {
  Kind kind = Kind::Missing;
  uint64_t size = 0;
  bool read_only = false;
  uint32_t mode = 0;  // permission bits (POSIX) or attributes (Windows)
};

Info stat(const std::string& path);

// Opens for reading. `exclusive` also keeps other programs from writing
// (on Windows) and fails when another program has the file open.
bool open_read(const std::string& path, bool exclusive, File& f);
bool open_update(const std::string& path, File& f);
// Creates a new file beside `path` that did not exist before; its name is
// returned in `temp_path`.
bool create_temp_beside(const std::string& path, File& f, std::string& temp_path);
// True when some other program has the file open (where that can be known).
bool in_use_elsewhere(const File& f);

bool read_at(const File& f, uint64_t offset, void* buf, size_t n, size_t& got);
bool write_at(const File& f, uint64_t offset, const void* buf, size_t n);
bool truncate(const File& f, uint64_t size);
bool flush(const File& f);
void close(File& f);

// Gives `to` the permission bits (or attributes) of `info`.
void copy_mode(const File& to, const std::string& to_path, const Info& info);
// Keeps the original as a backup that never overwrites an existing file:
// `path`.bak, else `path`.bak.2, .bak.3, ...; the name used in `backup_path`.
bool make_backup(const std::string& path, std::string& backup_path);
// Puts `temp_path` in the place of `path` in one step.
bool replace(const std::string& temp_path, const std::string& path);
void remove(const std::string& path);

// The system's reason for the last failure, for messages.
std::string last_error();

}  // namespace fileio
