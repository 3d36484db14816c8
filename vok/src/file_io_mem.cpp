// The file layer over memfs: files are shared nodes (so hard links work),
// names map to nodes, and open handles are remembered so that share rules,
// locks and held temporary files behave as on a real system. Semantics
// follow Linux: a backup links the node this run holds.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "file_io.h"
#include "memfs.h"

namespace {

struct Node {
  std::string data;
  uint32_t mode = 0644;
  uint64_t index = 0, mtime = 0;
  std::string link;  // a symbolic link's target, when not empty
  int held = 0;      // other programs with it open
};

struct Handle {
  std::shared_ptr<Node> node;
  bool write = false, locked = false, temp = false;
};

struct Fault {
  int nth;
  std::function<void()> action;  // empty: the call fails
};

struct State {
  std::map<std::string, std::shared_ptr<Node>> names;
  std::vector<Handle> handles;
  std::map<std::string, int> calls;
  std::multimap<std::string, Fault> faults;
  bool links = true;
  uint64_t quota = UINT64_MAX, clock = 1, next_index = 1;
  int crash_in = 0;  // calls left until a crash; 0: none
  std::string error = "no error";
};

State& st() {
  static State s;
  return s;
}

// Counts the call and runs or fails what was injected for it.
bool refused(const std::string& op) {
  State& s = st();
  int n = ++s.calls[op];
  if (s.crash_in && --s.crash_in == 0) {
    for (Handle& h : s.handles) h = Handle();
    throw memfs::Crash();
  }
  auto range = s.faults.equal_range(op);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.nth != n) continue;
    if (it->second.action) {
      std::function<void()> action = it->second.action;
      action();
      return false;
    }
    s.error = "injected failure of " + op;
    return true;
  }
  return false;
}

std::shared_ptr<Node> node(const std::string& path) {
  auto it = st().names.find(fileio::resolve(path));
  return it == st().names.end() ? nullptr : it->second;
}

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::shared_ptr<Node> make(const std::string& path) {
  auto n = std::make_shared<Node>();
  n->index = st().next_index++;
  n->mtime = st().clock++;
  st().names[path] = n;
  return n;
}

Handle* handle(const fileio::File& f) {
  size_t i = size_t(f.handle);
  return f.handle >= 0 && i < st().handles.size() && st().handles[i].node ? &st().handles[i] : nullptr;
}

intptr_t add_handle(std::shared_ptr<Node> n, bool write) {
  st().handles.push_back({std::move(n), write, false, false});
  return intptr_t(st().handles.size() - 1);
}

bool locked_elsewhere(const std::shared_ptr<Node>& n) {
  for (const Handle& h : st().handles)
    if (h.node == n && h.locked) return true;
  return false;
}

uint64_t used() {
  uint64_t total = 0;
  std::vector<Node*> seen;
  for (auto& kv : st().names)
    if (std::find(seen.begin(), seen.end(), kv.second.get()) == seen.end())
      seen.push_back(kv.second.get()), total += kv.second->data.size();
  return total;
}

}  // namespace

namespace memfs {

void reset() { st() = State(); }

void put(const std::string& path, const std::string& bytes, uint32_t mode) {
  auto n = make(path);
  n->data = bytes;
  n->mode = mode;
}

bool exists(const std::string& path) { return st().names.count(path) != 0; }
std::string get(const std::string& path) {
  auto n = node(path);
  return n ? n->data : std::string();
}
uint64_t mtime(const std::string& path) {
  auto n = node(path);
  return n ? n->mtime : 0;
}
std::vector<std::string> list(const std::string& folder) {
  std::vector<std::string> out;
  for (auto& kv : st().names)
    if (folder_of(kv.first) == folder) out.push_back(kv.first.substr(folder.size() + 1));
  return out;
}

void symlink(const std::string& path, const std::string& target) { make(path)->link = target; }
bool is_link(const std::string& path) { return exists(path) && !st().names[path]->link.empty(); }

void hold(const std::string& path, bool held) {
  if (auto n = node(path)) n->held = held ? 1 : 0;
}
void no_hard_links(bool none) { st().links = !none; }
void quota(uint64_t bytes) { st().quota = bytes; }
void fail(const std::string& op, int nth) { st().faults.insert({op, {st().calls[op] + nth, nullptr}}); }
void on(const std::string& op, std::function<void()> action, int nth) {
  st().faults.insert({op, {st().calls[op] + nth, std::move(action)}});
}
void append(const std::string& path, const std::string& bytes) {
  if (auto n = node(path)) n->data += bytes, n->mtime = st().clock++;
}
void crash_at(int k) { st().crash_in = k; }

}  // namespace memfs

namespace fileio {

Info stat(const std::string& path) {
  Info info;
  refused("stat");
  auto n = node(path);
  if (!n) return info;
  info.kind = Kind::Regular;
  info.size = n->data.size();
  info.mode = n->mode;
  info.read_only = (n->mode & 0222) == 0;
  return info;
}

std::string resolve(const std::string& path) {
  std::string p = path;
  for (int i = 0; i < 8 && memfs::is_link(p); ++i) p = st().names[p]->link;
  return p;
}

bool is_link(const std::string& path) { return memfs::is_link(path); }

bool open_read(const std::string& path, File& f) {
  auto n = node(path);
  if (refused("open") || !n) return false;
  f.handle = add_handle(n, false);
  return true;
}

Open open_source(const std::string& path, bool update, File& f) {
  auto n = node(path);
  if (refused("open") || !n) return Open::Failed;
  if (update && (n->mode & 0222) == 0) return st().error = "permission denied", Open::Failed;
  if (n->held) return Open::InUse;
  if (locked_elsewhere(n)) return Open::OtherVok;
  f.handle = add_handle(n, update);
  handle(f)->locked = true;
  return Open::Ok;
}

Id identity(const File& f) {
  Id id;
  if (Handle* h = handle(f)) id = {h->node->data.size(), h->node->mtime, 1, h->node->index};
  return id;
}

bool unchanged(const std::string& path, const File& f, const Id& was) {
  Handle* h = handle(f);
  return h && node(path) == h->node && identity(f) == was;
}

bool in_use_elsewhere(const File& f) {
  Handle* h = handle(f);
  return h && h->node->held;
}

bool create_temp_beside(const std::string& path, File& f, std::string& temp_path) {
  if (refused("create_temp")) return false;
  for (int i = 0; i < 100; ++i) {
    temp_path = path + ".vok-tmp" + (i ? std::to_string(i) : "");
    if (memfs::exists(temp_path)) continue;
    auto n = make(temp_path);
    n->mode = 0600;
    f.handle = add_handle(n, true);
    handle(f)->temp = true;
    return true;
  }
  return false;
}

void remove_stale_temps(const std::string& path, std::vector<std::string>& removed) {
  std::string prefix = path + ".vok-tmp";
  std::vector<std::string> names;
  for (auto& kv : st().names)
    if (kv.first.compare(0, prefix.size(), prefix) == 0 &&
        kv.first.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
      names.push_back(kv.first);
  for (const std::string& name : names) {
    bool held = false;
    for (const Handle& h : st().handles) held = held || (h.temp && h.node == st().names[name]);
    if (!held) st().names.erase(name), removed.push_back(name);
  }
}

bool read_at(const File& f, uint64_t offset, void* buf, size_t n, size_t& got) {
  got = 0;
  Handle* h = handle(f);
  if (refused("read_at") || !h || (h->temp && refused("read_temp"))) return false;
  const std::string& d = h->node->data;
  if (offset < d.size()) got = std::min<uint64_t>(n, d.size() - offset);
  memcpy(buf, d.data() + offset, got);
  return true;
}

bool write_at(const File& f, uint64_t offset, const void* buf, size_t n) {
  Handle* h = handle(f);
  if (refused("write_at") || !h || !h->write) return false;
  std::string& d = h->node->data;
  uint64_t grow = offset + n > d.size() ? offset + n - d.size() : 0;
  if (used() + grow > st().quota) return st().error = "no space left on device", false;
  if (d.size() < offset + n) d.resize(offset + n);
  memcpy(&d[offset], buf, n);
  h->node->mtime = st().clock++;
  return true;
}

bool truncate(const File& f, uint64_t size) {
  Handle* h = handle(f);
  if (refused("truncate") || !h || !h->write) return false;
  h->node->data.resize(size);
  h->node->mtime = st().clock++;
  return true;
}

bool flush(const File& f) { return !refused("flush") && handle(f); }

// Writes all go through write_at, where the tests inject their failures.
void start_flush(const File&) {}
uint64_t copy_inside(const File&, uint64_t, const File&, uint64_t, uint64_t) { return 0; }

std::vector<std::string> siblings(const std::string& path) {
  std::vector<std::string> out;
  for (const std::string& name : memfs::list(folder_of(path)))
    if (folder_of(path) + "/" + name != path) out.push_back(folder_of(path) + "/" + name);
  return out;
}

void close(File& f) {
  if (Handle* h = handle(f)) *h = Handle();
  f.handle = -1;
}

void copy_mode(const File& to, const Info& info) {
  if (Handle* h = handle(to)) h->node->mode = info.mode;
}

Backup make_backup(const std::string& path, const File& src, std::string& backup_path) {
  Handle* h = handle(src);
  if (!h) return Backup::Failed;
  for (int i = 1; i < 1000; ++i) {
    backup_path = path + ".bak" + (i > 1 ? "." + std::to_string(i) : "");
    if (memfs::exists(backup_path)) continue;
    if (st().links && !refused("link")) {
      st().names[backup_path] = h->node;
    } else {
      if (refused("copy") || used() + h->node->data.size() > st().quota) return Backup::Failed;
      auto n = make(backup_path);
      n->data = h->node->data;
      n->mode = h->node->mode;
    }
    return refused("flush_dir") ? (st().names.erase(backup_path), Backup::Failed) : Backup::Ok;
  }
  return Backup::Failed;
}

Replace replace(const std::string& temp_path, File& temp, const std::string& path, File& src,
                std::string& lost) {
  lost = refused("attributes") ? "user.xdg.origin.url" : "";
  close(src);
  if (refused("replace_losing")) st().names.erase(resolve(path));
  bool failed = refused("replace") || !memfs::exists(temp_path);
  close(temp);
  if (failed) return Replace::Failed;
  std::string target = resolve(path);
  st().names[target] = st().names[temp_path];
  st().names.erase(temp_path);
  return refused("flush_dir") ? Replace::NotDurable : Replace::Ok;
}

void remove(const std::string& path) { st().names.erase(path); }

bool keep_temp(const std::string& temp_path, File& temp, const std::vector<std::string>& names,
               std::string& made) {
  close(temp);
  if (!refused("keep_temp"))
    for (const std::string& name : names)
      if (!memfs::exists(name)) {
        st().names[name] = st().names[temp_path];
        st().names.erase(temp_path);
        made = name;
        return true;
      }
  st().names.erase(temp_path);
  return false;
}

bool move_new(const std::string& from, const std::string& to) {
  if (refused("move_new") || !memfs::exists(from) || memfs::exists(to)) return false;
  st().names[to] = st().names[from];
  st().names.erase(from);
  return true;
}

std::string last_error() { return st().error; }

std::string note_path(const std::string& target) { return "/notes/" + target; }

bool write_whole(const std::string& path, const std::string& bytes) {
  if (refused("write_whole")) return false;
  memfs::put(path, bytes, 0600);
  return true;
}

bool read_whole(const std::string& path, std::string& bytes, size_t max) {
  if (!memfs::exists(path)) return false;
  bytes = memfs::get(path).substr(0, max);
  return true;
}

}  // namespace fileio
