#include <gtest/gtest.h>

#include <algorithm>

#include "platform/platform.h"
#include "program_run.h"

namespace {

// 删除RM文件右键菜单.bat
const std::string kRemovalName = unhex("C9 BE B3 FD 52 4D CE C4 BC FE D3 D2 BC FC B2 CB B5 A5 2E 62 61 74");
const std::string kRemovalBytes = "@call vokxp del";

std::string repair_bytes(const std::string& tool_dir) {
  return "@echo off\r\n\"" + tool_dir + "vok\" -f %1\r\n\"" + tool_dir + "vok\" -i %1";
}

using ScriptsTest = ProgramTest;

// What install leaves, registry and files, from folders whose names need care.
TEST_F(ScriptsTest, InstallFromVariousFolders) {
  struct Case {
    std::string dir;
    std::string tool_dir;  // as the repair script names it
  } cases[] = {
      {"C:\\Tools\\", "C:\\Tools\\"},
      {"C:\\My Tools\\", "C:\\My Tools\\"},
      {"C:\\" + unhex("D0 DE B8 B4") + "\\", "C:\\" + unhex("D0 DE B8 B4") + "\\"},
      {"C:\\100% done\\", "C:\\100%% done\\"},
      {"C:\\%PATH%\\", "C:\\%%PATH%%\\"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    sim::reset();
    if (!c.dir.empty()) sim::add_folder(c.dir.substr(0, c.dir.size() - 1));
    ASSERT_EQ(run_vokxp(c.dir + "vokxp.exe", "vokxp.exe"), 0u);
    // The registry keeps ProgramDir as it is; only the batch file doubles %.
    EXPECT_EQ(sim::default_value(kCommand), "\"" + c.dir + "vok-xp.bat\" \"%1\"");
    EXPECT_EQ(sim::default_value(kVerb), "(none)");
    EXPECT_EQ(sim::default_value(".rm"), "RealPlayer.RM.6");
    EXPECT_EQ(sim::file_bytes(c.dir + "vok-xp.bat"), repair_bytes(c.tool_dir));
    EXPECT_EQ(sim::file_bytes(c.dir + kRemovalName), kRemovalBytes);
    EXPECT_EQ(sim::open_files(), 0);
    EXPECT_EQ(sim::open_keys(), 0);
  }
  EXPECT_EQ(repair_bytes("C:\\Tools\\").size(), 53u);
}

TEST_F(ScriptsTest, ReinstallReplacesOldContentCompletely) {
  struct Case {
    const char* name;
    sim::Attributes attributes;
    bool held;  // another program has it open, sharing read and write
  } cases[] = {
      {"plain", {}, false},
      {"hidden", {false, true, false}, false},
      {"system", {false, false, true}, false},
      {"hidden and system", {false, true, true}, false},
      {"held open", {}, true},
  };
  // Longer than the new script, with 0E and 1A bytes among its last 128.
  std::string old = std::string(300, 'x') + "\x0E" + "tail\x1A" + std::string(50, 'y');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::reset();
    sim::add_folder("C:\\Tools");
    sim::put_file("C:\\Tools\\vok-xp.bat", old, c.attributes);
    sim::put_file("C:\\Tools\\" + kRemovalName, old, c.attributes);
    if (c.held) {
      sim::hold_open("C:\\Tools\\vok-xp.bat", plat::kGenericRead, plat::kShareRead | 2);
      sim::hold_open("C:\\Tools\\" + kRemovalName, plat::kGenericRead, plat::kShareRead | 2);
    }
    ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe"), 0u);
    EXPECT_EQ(sim::file_bytes("C:\\Tools\\vok-xp.bat"), repair_bytes("C:\\Tools\\"));
    EXPECT_EQ(sim::file_bytes("C:\\Tools\\" + kRemovalName), kRemovalBytes);
    ASSERT_EQ(sim::boxes().size(), 1u);
    EXPECT_EQ(sim::boxes()[0].caption, "");
  }
}

// Each failure ends install with the run-time error carrying the platform's
// code; the exit code is the number shown, and there is no completion message.
TEST_F(ScriptsTest, FileErrorsEndInstall) {
  struct Case {
    const char* name;
    void (*arrange)();
    std::string module;
    uint32_t code;
    std::string repair_after;   // what vok-xp.bat holds afterwards; "-" for missing
    std::string removal_after;  // the same for the removal script
  };
  const std::string removal = "C:\\Tools\\" + kRemovalName;
  const Case cases[] = {
      {"read-only repair script",
       [] {
         sim::put_file("C:\\Tools\\vok-xp.bat", "old", {true, false, false});
       },
       "C:\\Tools\\vokxp.exe", 5, "old", "-"},
      {"read-only removal script",
       [] {
         sim::put_file("C:\\Tools\\" + kRemovalName, "old", {true, false, false});
       },
       "C:\\Tools\\vokxp.exe", 5, repair_bytes("C:\\Tools\\"), "old"},
      {"read-only folder", [] { sim::add_folder("C:\\Locked", true); }, "C:\\Locked\\vokxp.exe", 2, "-", "-"},
      {"missing folder", [] {}, "C:\\Gone\\vokxp.exe", 3, "-", "-"},
      {"path too long", [] { sim::add_folder("C:\\" + std::string(250, 'd')); },
       "C:\\" + std::string(250, 'd') + "\\vokxp.exe", 206, "-", "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::reset();
    sim::add_folder("C:\\Tools");
    c.arrange();
    EXPECT_EQ(run_vokxp(c.module, "vokxp.exe"), c.code);
    ASSERT_EQ(sim::boxes().size(), 1u);
    RuntimeErrorBox box = runtime_error_box(sim::boxes()[0]);
    EXPECT_EQ(std::stoi(box.number), static_cast<int>(c.code));
    std::string dir = c.module.substr(0, c.module.rfind('\\') + 1);
    auto held = [](const std::string& path) { return sim::file_exists(path) ? sim::file_bytes(path) : "-"; };
    EXPECT_EQ(held(dir + "vok-xp.bat"), c.repair_after);
    EXPECT_EQ(held(dir + kRemovalName), c.removal_after);
  }
}

// The removal script's long name pushes a path over the limit that the
// repair script's still fits: the repair script is written, then the error.
TEST_F(ScriptsTest, OverlongRemovalScriptPath) {
  // 260 bytes for the removal script, one past the limit
  std::string dir = "C:\\" + std::string(260 - 22 - 3 - 1, 'd');
  sim::add_folder(dir);
  EXPECT_EQ(run_vokxp(dir + "\\vokxp.exe", "vokxp.exe"), 206u);
  EXPECT_EQ(sim::file_bytes(dir + "\\vok-xp.bat"), repair_bytes(dir + "\\"));
  EXPECT_FALSE(sim::file_exists(dir + "\\" + kRemovalName));
}

// On a character device every line and every piece of a line goes out at
// once, so each check after a line can be made to fire.
TEST_F(ScriptsTest, DeviceTargetGetsEachPieceAtOnce) {
  sim::add_device("C:\\Tools\\vok-xp.bat");
  sim::add_device("C:\\Tools\\" + kRemovalName);
  ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe"), 0u);
  EXPECT_EQ(sim::device_output(), repair_bytes("C:\\Tools\\") + kRemovalBytes);
  std::vector<std::string> writes;
  for (const std::string& call : sim::calls()) {
    if (call.rfind("write_file ", 0) == 0) writes.push_back(call.substr(11));
  }
  const std::vector<std::string> want = {
      "@echo off", "\r\n", "\"C:\\Tools\\vok\" -f %1", "\r\n", "\"C:\\Tools\\vok\" -i %1", kRemovalBytes};
  EXPECT_EQ(writes, want);
}

// Every file check has its own address, the same on every run, and the
// program stops right there.
TEST_F(ScriptsTest, EachCheckStopsWithItsOwnAddress) {
  struct Case {
    const char* name;
    sim::Op op;
    int nth;
    std::string path;
    uint32_t code;
    std::string written;  // what reached the devices before the stop
  };
  const std::string repair = "C:\\Tools\\vok-xp.bat";
  const std::string removal = "C:\\Tools\\" + kRemovalName;
  const std::string full = repair_bytes("C:\\Tools\\");
  // The emptying step opens and closes each file first: the second open and
  // close are the checked ones.
  const Case cases[] = {
      {"repair open", sim::Op::Create, 2, repair, 32, ""},
      {"repair line 1", sim::Op::Write, 1, repair, 39, ""},
      {"repair line 2", sim::Op::Write, 3, repair, 112, "@echo off\r\n"},
      {"repair line 3", sim::Op::Write, 5, repair, 1392, "@echo off\r\n\"C:\\Tools\\vok\" -f %1\r\n"},
      {"repair close", sim::Op::Close, 2, repair, 6, full},
      {"removal open", sim::Op::FileType, 1, removal, 0, full},
      {"removal line", sim::Op::Write, 1, removal, 39, full},
      {"removal close", sim::Op::Close, 2, removal, 6, full + kRemovalBytes},
  };
  std::vector<std::string> addresses;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int run = 0; run < 2; ++run) {
      sim::reset();
      sim::add_folder("C:\\Tools");
      sim::add_device(repair);
      sim::add_device(removal);
      sim::fail(c.op, c.nth, c.code, c.path);
      // A handle of unknown type is refused with 105.
      uint32_t code = c.op == sim::Op::FileType ? 105 : c.code;
      EXPECT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe"), code & 0xFF);
      ASSERT_EQ(sim::boxes().size(), 1u);
      RuntimeErrorBox box = runtime_error_box(sim::boxes()[0]);
      EXPECT_EQ(std::stoi(box.number), static_cast<int>(code & 0xFF));
      EXPECT_EQ(sim::device_output(), c.written);
      EXPECT_EQ(sim::open_files(), c.op == sim::Op::Write ? 1 : 0);
      if (run == 0)
        addresses.push_back(box.address);
      else
        EXPECT_EQ(box.address, addresses.back());
    }
  }
  std::sort(addresses.begin(), addresses.end());
  EXPECT_EQ(std::unique(addresses.begin(), addresses.end()), addresses.end());
}

// On disk the text is buffered: a write fails when the buffer fills, the rest
// of that line is dropped, and the check after the line stops the program.
TEST_F(ScriptsTest, WriteFailingInTheMiddleOfALine) {
  // A folder name long enough that the buffer fills inside the second line.
  const std::string dir = "C:\\" + std::string(120, 'd') + "\\";
  sim::add_folder(dir.substr(0, dir.size() - 1));
  sim::fail(sim::Op::Write, 1, 112, dir + "vok-xp.bat");
  EXPECT_EQ(run_vokxp(dir + "vokxp.exe", "vokxp.exe"), 112u);
  EXPECT_EQ(sim::file_bytes(dir + "vok-xp.bat"), "");
  int writes = 0;
  for (const std::string& call : sim::calls()) writes += call.rfind("write_file ", 0) == 0;
  EXPECT_EQ(writes, 1) << "nothing more is written after the failed write";
  EXPECT_FALSE(sim::file_exists(dir + kRemovalName));

  // The same line without a failure: the first write is the first 128 bytes.
  sim::reset();
  sim::add_folder(dir.substr(0, dir.size() - 1));
  ASSERT_EQ(run_vokxp(dir + "vokxp.exe", "vokxp.exe"), 0u);
  EXPECT_EQ(sim::file_bytes(dir + "vok-xp.bat"), repair_bytes(dir));
}

// The last write happens as the file is closed; if both it and the close
// fail, the close's code is the one reported.
TEST_F(ScriptsTest, WhichCodeWinsAtTheClose) {
  const std::string repair = "C:\\Tools\\vok-xp.bat";
  sim::fail(sim::Op::Write, 1, 39, repair);
  EXPECT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe"), 39u);
  std::string write_address = runtime_error_box(sim::boxes().at(0)).address;
  EXPECT_EQ(sim::file_bytes(repair), "");

  sim::reset();
  sim::add_folder("C:\\Tools");
  sim::fail(sim::Op::Write, 1, 39, repair);
  sim::fail(sim::Op::Close, 2, 6, repair);  // the first close is the emptying's
  EXPECT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe"), 6u);
  EXPECT_EQ(runtime_error_box(sim::boxes().at(0)).address, write_address)
      << "both are the check after the close";
}

}  // namespace
