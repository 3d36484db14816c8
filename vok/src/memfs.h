// An in-memory file system behind the file layer (file_io_mem.cpp), for
// tests that go through vok's real reader and writer: files, hard links and
// symbolic links, other programs holding a file open, full disks, and a
// failure or an action injected at any call.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace memfs {

void reset();
void put(const std::string& path, const std::string& bytes, uint32_t mode = 0644);
bool exists(const std::string& path);
std::string get(const std::string& path);
uint64_t mtime(const std::string& path);
// The names in a folder, sorted.
std::vector<std::string> list(const std::string& folder);
void symlink(const std::string& path, const std::string& target);
bool is_link(const std::string& path);

// Another program has the file open (or not).
void hold(const std::string& path, bool held);
// Hard links fail, as on FAT: backups must be copies.
void no_hard_links(bool none);
// Writes fail once the files hold more than this many bytes in all.
void quota(uint64_t bytes);
// The nth call (1 = the next) of an operation fails, e.g. "write_at",
// "flush", "replace", "flush_dir", "link", "create_temp"; "replace_losing"
// makes the next replace remove the original before it fails; "read_temp"
// is a read of the temporary file vok wrote.
void fail(const std::string& op, int nth = 1);
// Runs `action` at the nth call of an operation, before it does its work.
void on(const std::string& op, std::function<void()> action, int nth = 1);
// Adds bytes to the end of a file, as a download still running does.
void append(const std::string& path, const std::string& bytes);
// The kth call of any operation from now on throws Crash: the run dies
// there, its handles close, its files stay as they are.
struct Crash {};
void crash_at(int k);

}  // namespace memfs
