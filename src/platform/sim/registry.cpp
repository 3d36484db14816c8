// HKEY_CLASSES_ROOT in memory. Keys are found by their case-folded path;
// each holds at most a default value.
#include <map>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_state.h"

namespace sim {
namespace {

const uint32_t kFileNotFound = 2;
const uint32_t kAccessDenied = 5;
const uint32_t kInvalidHandle = 6;

struct KeyData {
  bool has_default = false;
  std::string value;
};

std::map<std::string, KeyData> g_keys;  // by folded path
std::vector<std::string> g_handles;     // folded path of each handle; "" once closed

bool has_subkeys(const std::string& folded) {
  std::string below = folded + "\\";
  auto it = g_keys.lower_bound(below);
  return it != g_keys.end() && it->first.compare(0, below.size(), below) == 0;
}

const std::string* open_key(plat::Key key) {
  if (key == 0 || key > g_handles.size() || g_handles[key - 1].empty()) return nullptr;
  return &g_handles[key - 1];
}

}  // namespace

void reset_registry() {
  g_keys.clear();
  g_handles.clear();
}

bool key_exists(const std::string& path) { return g_keys.count(fold(path)) != 0; }

std::string default_value(const std::string& path) {
  auto it = g_keys.find(fold(path));
  return it != g_keys.end() && it->second.has_default ? it->second.value : "(none)";
}

int open_keys() {
  int n = 0;
  for (const std::string& h : g_handles) n += !h.empty();
  return n;
}

}  // namespace sim

namespace plat {

uint32_t reg_create_key(const char* path, Key* key) {
  uint32_t code;
  if (sim::should_fail(sim::Op::RegCreate, path, std::string("reg_create_key ") + path, &code)) {
    return code;
  }
  // Every missing key on the way is created too.
  const std::string p = sim::fold(path);
  for (size_t i = 0; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == '\\') sim::g_keys.emplace(p.substr(0, i), sim::KeyData{});
  }
  sim::g_handles.push_back(p);
  *key = sim::g_handles.size();
  return 0;
}

uint32_t reg_set_default(Key key, const char* text) {
  const std::string* path = sim::open_key(key);
  std::string where = path ? *path : "?";
  uint32_t code;
  if (sim::should_fail(sim::Op::RegSet, where, "reg_set_default " + where + " = " + text, &code)) {
    return code;
  }
  if (!path) return sim::kInvalidHandle;
  auto& k = sim::g_keys[*path];
  k.has_default = true;
  k.value = text;
  return 0;
}

uint32_t reg_close_key(Key key) {
  const std::string* path = sim::open_key(key);
  std::string where = path ? *path : "?";
  uint32_t code;
  bool failed = sim::should_fail(sim::Op::RegClose, where, "reg_close_key " + where, &code);
  if (!path) return sim::kInvalidHandle;
  sim::g_handles[key - 1].clear();
  return failed ? code : 0;
}

uint32_t reg_delete_key(const char* path) {
  uint32_t code;
  if (sim::should_fail(sim::Op::RegDelete, path, std::string("reg_delete_key ") + path, &code)) {
    return code;
  }
  auto it = sim::g_keys.find(sim::fold(path));
  if (it == sim::g_keys.end()) return sim::kFileNotFound;
  if (sim::has_subkeys(it->first)) return sim::kAccessDenied;
  sim::g_keys.erase(it);
  return 0;
}

}  // namespace plat
