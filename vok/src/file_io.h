// The file operations vok needs, declared once; file_io_posix.cpp, the
// file_io_win32 pair and, for tests, file_io_mem.cpp implement them and the
// build links one. Paths are byte strings: as the system has them on Linux,
// UTF-8 on Windows (turned into UTF-16 only inside the Windows layer).
// Offsets are 64-bit on every build.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fileio {

struct File {
  intptr_t handle = -1;
};

enum class Kind { Missing, Folder, Regular, Other, Unreadable };

// What tells one version of a file from another.
struct Id {
  uint64_t size = 0, mtime = 0, volume = 0, index = 0;
  bool operator==(const Id& o) const {
    return size == o.size && mtime == o.mtime && volume == o.volume && index == o.index;
  }
};

struct Info {
  Kind kind = Kind::Missing;
  uint64_t size = 0;
  bool read_only = false;
  uint32_t mode = 0;  // permission bits (POSIX) or attributes (Windows)
};

Info stat(const std::string& path);
// The file a path names in the end, through any symbolic links, so that a
// repair changes the target and leaves the link a link.
std::string resolve(const std::string& path);
bool is_link(const std::string& path);

// The other names in the folder of `path` (not below it), as paths in the
// form `path` has.
std::vector<std::string> siblings(const std::string& path);

// Opens for reading only, sharing with every other program.
bool open_read(const std::string& path, File& f);

enum class Open { Ok, Failed, InUse, OtherVok };
// Opens the file to repair (or, with `update`, to index in place): no other
// program may write to it while vok holds it, and a file another program
// has open is refused before anything is written. A second vok on the same
// file is refused too.
Open open_source(const std::string& path, bool update, File& f);
Id identity(const File& f);
// True when `path` still names the open file and it is as `was` says.
bool unchanged(const std::string& path, const File& f, const Id& was);
// True when some other program has the file open now.
bool in_use_elsewhere(const File& f);

// Creates a new file beside `path` that did not exist before; its name is
// returned in `temp_path`. It stays open (and, where the system can, goes
// away by itself if vok dies) until `replace` puts it in place.
bool create_temp_beside(const std::string& path, File& f, std::string& temp_path);
// Removes temporary files of vok's naming beside `path` that no running vok
// holds; their names go to `removed`.
void remove_stale_temps(const std::string& path, std::vector<std::string>& removed);

bool read_at(const File& f, uint64_t offset, void* buf, size_t n, size_t& got);
// Copies up to n bytes at `from_at` of `from` to `to` at `to_at` inside the
// system (no trip through vok's memory); how many it copied, 0 where the
// system cannot (the caller copies the rest through memory).
uint64_t copy_inside(const File& from, uint64_t from_at, const File& to, uint64_t to_at, uint64_t n);
bool write_at(const File& f, uint64_t offset, const void* buf, size_t n);
bool truncate(const File& f, uint64_t size);
bool flush(const File& f);
// Starts writing the file's data to the disk without waiting for it, where
// the system can: a flush() later then has less left to wait for.
void start_flush(const File& f);
void close(File& f);

// Gives `to` the permission bits (or attributes) of `info`.
void copy_mode(const File& to, const Info& info);

enum class Backup { Ok, Failed, Changed };
// Keeps the bytes of the open file `src` as a backup beside `path` that
// never overwrites an existing file: `path`.bak, else `path`.bak.2, .bak.3,
// ... (the name used goes to `backup_path`). Flushed before it returns.
// Changed: `path` no longer holds what `src` does.
Backup make_backup(const std::string& path, const File& src, std::string& backup_path);

enum class Replace { Ok, Failed, NotDurable };
// Puts the temporary file (`temp`, open, named `temp_path`) in the place of
// `path` in one step, keeping what the system keeps with a file
// (permissions, attributes, streams) where it can; `lost` names what it
// could not keep ("" for nothing). Closes `temp` and `src` (the original).
// NotDurable: replaced, but the folder could not be flushed.
Replace replace(const std::string& temp_path, File& temp, const std::string& path, File& src,
                std::string& lost);
// Closes the temporary file (`temp`, open, named `temp_path`, flushed) and
// gives it the first of `names` that no file has, never replacing one;
// `made` is that name. False when none could be given: the temporary file
// is gone then.
bool keep_temp(const std::string& temp_path, File& temp, const std::vector<std::string>& names,
               std::string& made);
void remove(const std::string& path);
// Gives `from` the name `to` where no file has it.
bool move_new(const std::string& from, const std::string& to);

// The system's reason for the last failure, for messages.
std::string last_error();

// A small note -f leaves for the -i that follows it in the same console,
// about the file `target` (a path resolve() gave).
std::string note_path(const std::string& target);
// What names that note after its target, alike on every system (FNV-1a).
inline uint64_t note_key(const std::string& target) {
  uint64_t v = 14695981039346656037ull;
  for (unsigned char c : target) v = (v ^ c) * 1099511628211ull;
  return v;
}
bool write_whole(const std::string& path, const std::string& bytes);
bool read_whole(const std::string& path, std::string& bytes, size_t max);

}  // namespace fileio
