// Control of the simulated platform, for the host tests.
//
// The simulation keeps an in-memory registry and file system that answer with
// the codes Windows gives, records message boxes and launches, and lets a
// test make any single operation fail. Process exit throws sim::Exit, so a
// test gets control back with the exit code.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace sim {

struct Exit {
  uint32_t code;
};

struct Box {
  std::string caption;
  std::string text;
  uint32_t type;
};

struct Launch {
  std::string command;
  uint32_t show;
};

// Operations a test can make fail.
enum class Op {
  Alloc,
  RegCreate,
  RegSet,
  RegClose,
  RegDelete,
  Create,
  Write,
  Close,
  FileType,
  Truncate,
  Exec
};

// Back to a clean machine: no keys, no files, no records, no faults.
void reset();
// Forgets boxes, launches, calls and faults; keys and files stay.
void reset_records();

// --- Process -------------------------------------------------------------------
void set_module_path(const std::string& path);  // an empty path makes the call fail
void set_command_line(const std::string& line);
const std::vector<Box>& boxes();

// --- Faults --------------------------------------------------------------------
// The nth call of op from now (1 = the next one) fails with code; for registry
// and file operations, `path` limits the count to calls on that path. A failed
// Alloc returns no memory, a failed FileType answers FILE_TYPE_UNKNOWN, a
// failed Exec returns code.
void fail(Op op, int nth, uint32_t code, const std::string& path = "");

// Every operation in order, as "op argument" lines, for tests that check what
// ran and what did not.
const std::vector<std::string>& calls();

// --- Registry ------------------------------------------------------------------
bool key_exists(const std::string& path);
// The key's default value, or "(none)" when it has none or is missing.
std::string default_value(const std::string& path);
int open_keys();

// --- Files -----------------------------------------------------------------------
// Folders exist only once added; their parents are added with them. "" (the
// current folder) always exists.
void add_folder(const std::string& path, bool read_only = false);
struct Attributes {
  bool read_only = false;
  bool hidden = false;
  bool system = false;
};
void put_file(const std::string& path, const std::string& bytes, Attributes attributes = {});
bool file_exists(const std::string& path);
std::string file_bytes(const std::string& path);
// Another process keeps the file open with this access and sharing.
void hold_open(const std::string& path, uint32_t access, uint32_t share);
// Makes path open as a character device, as CON does.
void add_device(const std::string& path);
// What was written to character devices.
const std::string& device_output();
int open_files();

// --- Launches ------------------------------------------------------------------
const std::vector<Launch>& launches();

}  // namespace sim
