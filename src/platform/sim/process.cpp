#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_state.h"

namespace sim {
namespace {

struct Fault {
  Op op;
  int countdown;
  uint32_t code;
  std::string path;
};

std::string g_module_path;
std::string g_command_line;
std::vector<Box> g_boxes;
std::vector<Launch> g_launches;
std::vector<Fault> g_faults;
std::vector<std::string> g_calls;

}  // namespace

std::string fold(const std::string& s) {
  std::string out = s;
  for (size_t i = 0; i < out.size(); ++i) {
    auto c = static_cast<unsigned char>(out[i]);
    if (c >= 0x81 && c <= 0xFE) {
      ++i;  // a GBK trail byte may look like a letter; it is not one
    } else if (c >= 'A' && c <= 'Z') {
      out[i] = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

bool should_fail(Op op, const std::string& path, const std::string& log, uint32_t* code) {
  if (!log.empty()) g_calls.push_back(log);
  for (auto it = g_faults.begin(); it != g_faults.end(); ++it) {
    if (it->op != op || (!it->path.empty() && fold(it->path) != fold(path))) continue;
    if (--it->countdown > 0) continue;
    *code = it->code;
    g_faults.erase(it);
    return true;
  }
  return false;
}

void fail(Op op, int nth, uint32_t code, const std::string& path) {
  g_faults.push_back(Fault{op, nth, code, path});
}

void reset_records() {
  g_boxes.clear();
  g_launches.clear();
  g_faults.clear();
  g_calls.clear();
}

void reset_process() {
  g_module_path = "C:\\Tools\\vokxp.exe";
  g_command_line = "vokxp.exe";
  reset_records();
}

void reset() {
  reset_process();
  reset_registry();
  reset_files();
}

void set_module_path(const std::string& path) { g_module_path = path; }
void set_command_line(const std::string& line) { g_command_line = line; }
const std::vector<Box>& boxes() { return g_boxes; }
const std::vector<Launch>& launches() { return g_launches; }
const std::vector<std::string>& calls() { return g_calls; }

}  // namespace sim

namespace plat {

uint32_t module_file_name(char* buf, uint32_t size) {
  const std::string& path = sim::g_module_path;
  if (path.empty() || size == 0) return 0;
  // As Windows does on a short buffer: truncate, terminate, report the size.
  uint32_t n = path.size() < size ? static_cast<uint32_t>(path.size()) : size - 1;
  memcpy(buf, path.data(), n);
  buf[n] = '\0';
  return path.size() < size ? n : size;
}

const char* command_line() { return sim::g_command_line.c_str(); }

// Code page 936: a lead byte 81..FE takes the next byte with it, unless that
// is the terminating NUL.
const char* char_next(const char* p) {
  auto c = static_cast<unsigned char>(*p);
  if (c == 0) return p;
  if (c >= 0x81 && c <= 0xFE && p[1] != '\0') return p + 2;
  return p + 1;
}

void exit_process(uint32_t code) {
  sim::g_calls.push_back("exit " + std::to_string(code));
  throw sim::Exit{code};
}

void* mem_alloc(size_t size) {
  uint32_t unused;
  if (sim::should_fail(sim::Op::Alloc, "", "", &unused)) return nullptr;
  return malloc(size);
}

void mem_free(void* p) { free(p); }

// Offsets from the start of the executable do not move between runs of one
// build, as link-time addresses do not on Windows.
uint32_t link_address(const void* code) {
  Dl_info info;
  if (dladdr(code, &info) == 0 || info.dli_fbase == nullptr) abort();
  return static_cast<uint32_t>(static_cast<const char*>(code) - static_cast<const char*>(info.dli_fbase));
}

void message_box(const char* text, const char* caption, uint32_t type) {
  sim::g_calls.push_back(std::string("message_box ") + text);
  sim::g_boxes.push_back(sim::Box{caption, text, type});
}

uint32_t win_exec(const char* command, uint32_t show) {
  uint32_t result;
  if (sim::should_fail(sim::Op::Exec, "", std::string("win_exec ") + command, &result)) return result;
  sim::g_launches.push_back(sim::Launch{command, show});
  return 33;  // any value above 31 is success
}

}  // namespace plat
