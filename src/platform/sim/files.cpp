// A file system in memory with the answers Windows gives: 2 for a missing
// file, 3 for a missing folder, 5 for a read-only file or folder and for
// re-creating a hidden or system file with plain attributes, 32 for a sharing
// conflict, 206 for a path past the ANSI limit. Device names such as CON are
// character devices whose output is collected.
#include <algorithm>
#include <map>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_state.h"

namespace sim {
namespace {

const uint32_t kFileNotFound = 2;
const uint32_t kPathNotFound = 3;
const uint32_t kAccessDenied = 5;
const uint32_t kInvalidHandle = 6;
const uint32_t kSharingViolation = 32;
const uint32_t kNameTooLong = 206;
const size_t kMaxPath = 259;  // characters, without the NUL
const uint32_t kFileTypeDisk = 1;
const uint32_t kShareWrite = 2;
const uint32_t kHiddenAttribute = 2;
const uint32_t kSystemAttribute = 4;

struct FileData {
  std::string bytes;
  Attributes attributes;
  uint32_t held_access = 0;  // by another process
  uint32_t held_share = 0;
  bool held = false;
};

struct Handle {
  std::string path;  // folded
  bool device;
  uint32_t access;
  uint32_t share;
  size_t position = 0;
  bool open = true;
};

std::map<std::string, FileData> g_files;  // by folded path
std::map<std::string, bool> g_folders;    // folded path -> read-only
std::vector<std::string> g_devices;       // folded paths that name a device
std::vector<Handle> g_handles;
std::string g_device_output;
uint32_t g_last_error = 0;

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

bool is_device(const std::string& path) {
  for (const std::string& d : g_devices) {
    if (d == fold(path)) return true;
  }
  std::string name = fold(path.substr(path.rfind('\\') + 1));
  name.resize(std::min(name.size(), name.find('.')));
  static const char* const kDevices[] = {"con", "prn", "aux", "nul"};
  for (const char* d : kDevices) {
    if (name == d) return true;
  }
  return name.size() == 4 && (name.compare(0, 3, "com") == 0 || name.compare(0, 3, "lpt") == 0) &&
         name[3] >= '1' && name[3] <= '9';
}

// Whether an open with this access and sharing can stand beside one held.
bool shares_with(uint32_t access, uint32_t share, uint32_t other_access, uint32_t other_share) {
  auto allowed = [](uint32_t a, uint32_t s) {
    return (!(a & plat::kGenericRead) || (s & plat::kShareRead)) &&
           (!(a & plat::kGenericWrite) || (s & kShareWrite));
  };
  return allowed(access, other_share) && allowed(other_access, share);
}

bool sharing_conflict(const std::string& folded, uint32_t access, uint32_t share) {
  const FileData& f = g_files[folded];
  if (f.held && !shares_with(access, share, f.held_access, f.held_share)) return true;
  for (const Handle& h : g_handles) {
    if (h.open && h.path == folded && !shares_with(access, share, h.access, h.share)) return true;
  }
  return false;
}

plat::File fail_with(uint32_t code) {
  g_last_error = code;
  return plat::kInvalidFile;
}

plat::File new_handle(const std::string& folded, bool device, uint32_t access, uint32_t share) {
  g_handles.push_back(Handle{folded, device, access, share});
  return g_handles.size() - 1;
}

Handle* handle_of(plat::File file) {
  if (file >= g_handles.size() || !g_handles[file].open) return nullptr;
  return &g_handles[file];
}

// Why a change through this handle is refused, or 0.
uint32_t write_refusal(const Handle* h) {
  if (!h) return kInvalidHandle;
  return (h->access & plat::kGenericWrite) ? 0 : kAccessDenied;
}

// Why an open of an existing or missing file is refused, or 0.
uint32_t refusal(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition,
                 uint32_t attributes) {
  if (path.size() > kMaxPath) return kNameTooLong;
  std::string folder = fold(folder_of(path));
  if (!folder.empty() && g_folders.count(folder) == 0) return kPathNotFound;
  std::string folded = fold(path);
  auto it = g_files.find(folded);
  if (it == g_files.end()) {
    if (disposition == plat::kOpenExisting) return kFileNotFound;
    return !folder.empty() && g_folders[folder] ? kAccessDenied : 0;
  }
  const Attributes& a = it->second.attributes;
  if ((access & plat::kGenericWrite) && a.read_only) return kAccessDenied;
  if (disposition == plat::kCreateAlways &&
      ((a.hidden && !(attributes & kHiddenAttribute)) || (a.system && !(attributes & kSystemAttribute)))) {
    return kAccessDenied;
  }
  return sharing_conflict(folded, access, share) ? kSharingViolation : 0;
}

}  // namespace

void reset_files() {
  g_files.clear();
  g_folders.clear();
  g_handles.clear();
  g_devices.clear();
  g_device_output.clear();
  g_last_error = 0;
}

void add_folder(const std::string& path, bool read_only) {
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '\\') g_folders.emplace(fold(path.substr(0, i)), false);
  }
  g_folders[fold(path)] = read_only;
}

void add_device(const std::string& path) { g_devices.push_back(fold(path)); }

void put_file(const std::string& path, const std::string& bytes, Attributes attributes) {
  FileData& f = g_files[fold(path)];
  f.bytes = bytes;
  f.attributes = attributes;
}

bool file_exists(const std::string& path) { return g_files.count(fold(path)) != 0; }

std::string file_bytes(const std::string& path) {
  auto it = g_files.find(fold(path));
  return it == g_files.end() ? std::string() : it->second.bytes;
}

void hold_open(const std::string& path, uint32_t access, uint32_t share) {
  FileData& f = g_files[fold(path)];
  f.held = true;
  f.held_access = access;
  f.held_share = share;
}

const std::string& device_output() { return g_device_output; }

int open_files() {
  int n = 0;
  for (const Handle& h : g_handles) n += h.open;
  return n;
}

}  // namespace sim

namespace plat {

File create_file(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                 uint32_t attributes) {
  uint32_t code;
  if (sim::should_fail(sim::Op::Create, path, std::string("create_file ") + path, &code)) {
    return sim::fail_with(code);
  }
  if (sim::is_device(path)) return sim::new_handle(sim::fold(path), true, access, share);
  code = sim::refusal(path, access, share, disposition, attributes);
  if (code != 0) return sim::fail_with(code);
  std::string folded = sim::fold(path);
  sim::FileData& f = sim::g_files[folded];
  if (disposition == kCreateAlways) {
    f.bytes.clear();
    f.attributes = sim::Attributes{};
  }
  return sim::new_handle(folded, false, access, share);
}

bool close_handle(File file) {
  sim::Handle* h = sim::handle_of(file);
  uint32_t code;
  if (!sim::should_fail(sim::Op::Close, h ? h->path : "", "close_handle", &code)) {
    code = h ? 0 : sim::kInvalidHandle;
  }
  if (h) h->open = false;  // even a failed close lets go of the file
  if (code != 0) sim::g_last_error = code;
  return code == 0;
}

bool write_file(File file, const void* data, uint32_t size) {
  sim::Handle* h = sim::handle_of(file);
  std::string bytes(static_cast<const char*>(data), size);
  uint32_t code;
  if (!sim::should_fail(sim::Op::Write, h ? h->path : "", "write_file " + bytes, &code)) {
    code = sim::write_refusal(h);
  }
  if (code != 0) {
    sim::g_last_error = code;
    return false;
  }
  if (h->device) {
    sim::g_device_output += bytes;
    return true;
  }
  std::string& content = sim::g_files[h->path].bytes;
  if (content.size() < h->position) content.resize(h->position);
  content.replace(h->position, size, bytes);
  h->position += size;
  return true;
}

uint32_t get_file_type(File file) {
  sim::Handle* h = sim::handle_of(file);
  uint32_t code;
  if (sim::should_fail(sim::Op::FileType, h ? h->path : "", "get_file_type", &code) || !h) {
    sim::g_last_error = h ? code : sim::kInvalidHandle;
    return kFileTypeUnknown;
  }
  return h->device ? kFileTypeChar : sim::kFileTypeDisk;
}

bool truncate_to_start(File file) {
  sim::Handle* h = sim::handle_of(file);
  uint32_t code;
  if (!sim::should_fail(sim::Op::Truncate, h ? h->path : "", "truncate_to_start", &code)) {
    code = sim::write_refusal(h);
  }
  if (code != 0) {
    sim::g_last_error = code;
    return false;
  }
  sim::g_files[h->path].bytes.clear();
  h->position = 0;
  return true;
}

uint32_t last_error() { return sim::g_last_error; }

}  // namespace plat
