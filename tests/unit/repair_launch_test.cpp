#include <gtest/gtest.h>

#include "program_run.h"

namespace {

using RepairLaunchTest = ProgramTest;

TEST_F(RepairLaunchTest, StartsTheScriptOnTheQuotedArgument) {
  struct Case {
    std::string dir;
    std::string line;
    std::string command;
  } cases[] = {
      {"C:\\Tools\\", "vokxp.exe D:\\a.rm", "\"C:\\Tools\\vok-xp.bat\" \"D:\\a.rm\""},
      {"C:\\Tools\\", "vokxp.exe \"D:\\My Movies\\a b&c.rm\"",
       "\"C:\\Tools\\vok-xp.bat\" \"D:\\My Movies\\a b&c.rm\""},
      {"C:\\My Tools\\", "vokxp.exe D:\\a.rm", "\"C:\\My Tools\\vok-xp.bat\" \"D:\\a.rm\""},
      {"C:\\Tools\\", "vokxp.exe D:\\^(x)^.rm", "\"C:\\Tools\\vok-xp.bat\" \"D:\\^(x)^.rm\""},
      {"C:\\Tools\\", "vokxp.exe D:\\dir\\", "\"C:\\Tools\\vok-xp.bat\" \"D:\\dir\\\""},
      {"C:\\Tools\\", "vokxp.exe D:\\" + unhex("D0 DE B8 B4") + ".rm",
       "\"C:\\Tools\\vok-xp.bat\" \"D:\\" + unhex("D0 DE B8 B4") + ".rm\""},
      {"C:\\Tools\\", "vokxp.exe DEL", "\"C:\\Tools\\vok-xp.bat\" \"DEL\""},
      // quotes on the command line never reach the launch
      {"C:\\Tools\\", "vokxp.exe a\"b\"c", "\"C:\\Tools\\vok-xp.bat\" \"abc\""},
      {"", "vokxp.exe x.rm", "\"vok-xp.bat\" \"x.rm\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    sim::reset();
    sim::add_folder("C:\\Tools");
    sim::put_file(c.dir + "vok-xp.bat", "script");
    EXPECT_EQ(run_vokxp(c.dir + "vokxp.exe", c.line), 0u);
    ASSERT_EQ(sim::launches().size(), 1u);
    EXPECT_EQ(sim::launches()[0].command, c.command);
    EXPECT_EQ(sim::launches()[0].show, 5u);
    EXPECT_TRUE(sim::boxes().empty());
  }
}

TEST_F(RepairLaunchTest, WritesNothing) {
  sim::put_file("C:\\Tools\\vok-xp.bat", "old script");
  ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe D:\\a.rm"), 0u);
  const std::vector<std::string> want = {"win_exec \"C:\\Tools\\vok-xp.bat\" \"D:\\a.rm\"", "exit 0"};
  EXPECT_EQ(sim::calls(), want) << "only the launch happens";
  EXPECT_EQ(sim::file_bytes("C:\\Tools\\vok-xp.bat"), "old script");
  EXPECT_FALSE(sim::key_exists(".rm"));
}

// A refused launch is a failure: its result below 32 is the error code, and
// 0 (out of memory) is reported as 8.
TEST_F(RepairLaunchTest, RefusedLaunchEndsWithTheRuntimeError) {
  std::string address;
  for (uint32_t result : {2u, 0u, 31u, 11u}) {
    SCOPED_TRACE(result);
    sim::reset();
    sim::fail(sim::Op::Exec, 1, result);
    uint32_t want = result == 0 ? 8 : result;
    EXPECT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe D:\\a.rm"), want);
    ASSERT_EQ(sim::boxes().size(), 1u);
    RuntimeErrorBox box = runtime_error_box(sim::boxes()[0]);
    EXPECT_EQ(std::stoi(box.number), static_cast<int>(want));
    if (address.empty()) address = box.address;
    EXPECT_EQ(box.address, address);
  }
}

}  // namespace
