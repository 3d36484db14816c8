// The real POSIX file layer under whole runs of vok, its system calls
// watched (and made to fail) from below: the order that keeps a file safe
// is that of the calls the product makes, not only of the in-memory layer.
// The calls are taken over by defining them here; the C library's own are
// reached through dlsym.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "rm_builder.h"
#include "vok_run.h"

namespace {

struct Watch {
  bool on = false;
  std::string folder;              // names are given relative to it
  std::vector<std::string> calls;  // "fsync a.rm.vok-tmp", "rename a.rm.vok-tmp a.rm", ...
  std::string fail_op, fail_name;  // the `fail_nth` call of this op on this name fails
  int fail_nth = 0, matched = 0;
} watch;

std::string relative(std::string path) {
  if (path.compare(0, watch.folder.size(), watch.folder) == 0) path = path.substr(watch.folder.size());
  if (!path.empty() && path[0] == '/') path = path.substr(1);
  return path.empty() ? "." : path;
}

std::string name_of(int fd) {
  char buf[4096];
  ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf - 1);
  return relative(n > 0 ? std::string(buf, size_t(n)) : "?");
}

// Records the call; true when it is the one to fail.
bool called(const std::string& op, const std::string& name, const std::string& more = "") {
  if (!watch.on) return false;
  watch.calls.push_back(op + " " + name + (more.empty() ? "" : " " + more));
  if (op != watch.fail_op || name != watch.fail_name || ++watch.matched != watch.fail_nth) return false;
  errno = EIO;
  return true;
}

template <typename F>
F libc(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {
int fsync(int fd) {
  if (called("fsync", name_of(fd))) return -1;
  return libc<int (*)(int)>("fsync")(fd);
}
int rename(const char* from, const char* to) {
  if (called("rename", relative(from), relative(to))) return -1;
  return libc<int (*)(const char*, const char*)>("rename")(from, to);
}
int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  if (called("link", relative(to))) return -1;
  return libc<int (*)(int, const char*, int, const char*, int)>("linkat")(from_dir, from, to_dir, to, flags);
}
int setxattr(const char* path, const char* name, const void* value, size_t size, int flags) {
  if (called("setxattr", relative(path), name)) return -1;
  return libc<int (*)(const char*, const char*, const void*, size_t, int)>("setxattr")(path, name, value,
                                                                                       size, flags);
}
int ftruncate64(int fd, off64_t size) {
  if (called("ftruncate", name_of(fd))) return -1;
  return libc<int (*)(int, off64_t)>("ftruncate64")(fd, size);
}
}

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

void write_all(const std::string& path, const std::vector<uint8_t>& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), long(b.size()));
}

class Posix : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/vok-posix-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    folder = dir;
    file = folder + "/a.rm";
    watch = Watch();
    watch.folder = folder;
  }
  void TearDown() override { std::filesystem::remove_all(folder); }
  // The folder emptied and the watch reset, for the next case.
  void again() {
    for (const auto& e : std::filesystem::directory_iterator(folder)) std::filesystem::remove_all(e);
    watch = Watch();
    watch.folder = folder;
  }
  int run(const std::vector<std::string>& args) {
    watch.on = true;
    int code = run_vok(args);
    watch.on = false;
    return code;
  }
  // Where the first call starting so stands among those recorded, or -1.
  long at(const std::string& call) const {
    for (size_t i = 0; i < watch.calls.size(); ++i)
      if (watch.calls[i].compare(0, call.size(), call) == 0) return long(i);
    return -1;
  }
  std::vector<std::string> listing() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string folder, file;
};

// Packets lost at the end: -f writes the whole file anew.
std::vector<uint8_t> damaged() {
  BuiltFile f = build_rm();
  f.bytes.resize(f.bytes.size() * 3 / 5);
  return f.bytes;
}

TEST_F(Posix, TheRepairIsFlushedBeforeItReplacesTheOriginalAndItsNameAfter) {
  write_all(file, damaged());
  ASSERT_EQ(run({"-f", file}), 0);
  long flushed = at("fsync a.rm.vok-tmp"), backup = at("link a.rm.bak"),
       renamed = at("rename a.rm.vok-tmp a.rm");
  ASSERT_GE(flushed, 0);
  ASSERT_GE(backup, 0);
  ASSERT_GE(renamed, 0);
  EXPECT_LT(flushed, renamed) << "the repaired file is on disk before it takes the name";
  EXPECT_LT(backup, renamed) << "the original is kept before it goes";
  long named = -1;
  for (long i = renamed + 1; i < long(watch.calls.size()); ++i)
    if (watch.calls[size_t(i)] == "fsync .") named = i;
  EXPECT_GT(named, renamed) << "the folder is flushed after the rename";
}

struct Fault {
  const char* name;
  const char* op;
  const char* target;
  int nth;  // of the calls of that op on that name
  int code;
  bool repaired;  // else the file is as it was, alone in its folder
};

const Fault kFaults[] = {
    {"the repaired file cannot be flushed", "fsync", "a.rm.vok-tmp", 1, 5, false},
    {"the backup's folder cannot be flushed", "fsync", ".", 1, 5, false},
    {"the rename fails", "rename", "a.rm.vok-tmp", 1, 5, false},
    {"the folder cannot be flushed after the rename", "fsync", ".", 2, 5, true},
};

TEST_F(Posix, AFailureInsideTheLayerLeavesTheOriginalOrTheRepair) {
  for (const Fault& f : kFaults) {
    SCOPED_TRACE(f.name);
    again();
    std::vector<uint8_t> original = damaged();
    write_all(file, original);
    watch.fail_op = f.op, watch.fail_name = f.target, watch.fail_nth = f.nth;
    EXPECT_EQ(run({"-f", file}), f.code);
    EXPECT_EQ(read_all(file) == std::string(original.begin(), original.end()), !f.repaired);
    if (!f.repaired) {
      EXPECT_EQ(listing(), std::vector<std::string>{"a.rm"});
    }
  }
}

uint32_t get32(const std::string& b, size_t at) {
  return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 |
         uint32_t(uint8_t(b[at + 2])) << 8 | uint8_t(b[at + 3]);
}

// -i first unlinks the old index from the header, so a write that fails
// later leaves the header pointing at no index, never past the end.
TEST_F(Posix, AFailedIndexPointsAtNothing) {
  write_all(file, build_rm().bytes);
  ASSERT_EQ(run({"-i", file}), 0);
  std::string indexed = read_all(file);
  uint32_t at = get32(indexed, 18 + 38);
  again();
  write_all(file, std::vector<uint8_t>(indexed.begin(), indexed.begin() + at + 30));  // cut into the index
  watch.fail_op = "ftruncate", watch.fail_name = "a.rm", watch.fail_nth = 1;
  EXPECT_EQ(run({"-i", file}), 5);
  std::string now = read_all(file);
  uint32_t pointer = get32(now, 18 + 38);
  EXPECT_TRUE(pointer == 0 || (pointer + 4 <= now.size() && now.compare(pointer, 4, "INDX") == 0))
      << "index_offset " << pointer << " in a file of " << now.size();
}

// With its standard output closed, a vok must not take descriptor 1 for
// the file: its summary would be written into it.
TEST_F(Posix, NoFileOfVoksIsStandardOutput) {
  std::vector<uint8_t> plain = build_rm().bytes;
  write_all(file, plain);
  ASSERT_EQ(run({"-i", file}), 0);
  std::string indexed = read_all(file);
  write_all(file, plain);
  fflush(stdout);
  int saved = dup(1);
  close(1);
  int code = run({"-i", file});
  dup2(saved, 1);
  close(saved);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(read_all(file), indexed);
}

// Extended attributes go with the repaired file whatever their size (a
// value, a list of names over 4 KiB: tmpfs takes them, ext4 does not); one
// that cannot go is said.
TEST_F(Posix, AttributesOfAnySizeAreKeptAndALostOneIsSaid) {
  std::filesystem::remove_all(folder);
  char dir[] = "/dev/shm/vok-posix-XXXXXX";
  if (!mkdtemp(dir)) GTEST_SKIP() << "no /dev/shm";
  folder = watch.folder = dir;
  file = folder + "/a.rm";
  std::vector<uint8_t> original = damaged();
  std::string big(10000, 'u');
  auto put = [&] {
    write_all(file, original);
    bool ok = ::setxattr(file.c_str(), "user.vok.big", big.data(), big.size(), 0) == 0;
    for (int i = 0; ok && i < 400; ++i)
      ok = ::setxattr(file.c_str(), ("user.vok.n" + std::to_string(i)).c_str(), "x", 1, 0) == 0;
    return ok;
  };
  if (!put()) GTEST_SKIP() << "no large user attributes here";
  ASSERT_EQ(run({"-f", file}), 0);
  char value[16384];
  EXPECT_EQ(getxattr(file.c_str(), "user.vok.big", value, sizeof value), ssize_t(big.size()));
  EXPECT_EQ(getxattr(file.c_str(), "user.vok.n399", value, sizeof value), 1);

  again();
  ASSERT_TRUE(put());
  watch.fail_op = "setxattr", watch.fail_name = "a.rm.vok-tmp", watch.fail_nth = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(run({"-f", file}), 0);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("not all the original's attributes are kept: user.vok."), std::string::npos) << said;
}

}  // namespace
