// Which mode each first argument chooses, seen from what the program does.
#include <gtest/gtest.h>

#include "program_run.h"
#include "report/messages.h"

namespace {

using DispatchTest = ProgramTest;

enum class Mode { Install, Removal, Repair };

Mode mode_run(const std::vector<sim::Box>& boxes, const std::vector<sim::Launch>& launches) {
  if (!launches.empty()) return Mode::Repair;
  if (!boxes.empty() && boxes.back().text == kRemovalText) return Mode::Removal;
  return Mode::Install;
}

TEST_F(DispatchTest, ChoosesTheModeFromTheFirstArgument) {
  struct Case {
    const char* line;
    Mode want;
  } cases[] = {
      {"vokxp.exe", Mode::Install},           {"vokxp.exe \"\"", Mode::Install},
      {"vokxp.exe \"\" \"\"", Mode::Install}, {"vokxp.exe del", Mode::Removal},
      {"vokxp.exe \"del\"", Mode::Removal},   {"vokxp.exe d\"e\"l", Mode::Removal},
      {"vokxp.exe del x", Mode::Removal},     {"vokxp.exe del \t ", Mode::Removal},
      {"vokxp.exe \"\" del", Mode::Removal},  {"vokxp.exe DEL", Mode::Repair},
      {"vokxp.exe Del", Mode::Repair},        {"vokxp.exe /del", Mode::Repair},
      {"vokxp.exe \"del \"", Mode::Repair},   {"vokxp.exe dele", Mode::Repair},
      {"vokxp.exe de", Mode::Repair},         {"vokxp.exe D:\\a.rm", Mode::Repair},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    sim::reset();
    sim::add_folder("C:\\Tools");
    EXPECT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", c.line), 0u);
    EXPECT_EQ(mode_run(sim::boxes(), sim::launches()), c.want);
  }
}

TEST_F(DispatchTest, InstallEndsWithTheCompletionMessage) {
  ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe"), 0u);
  ASSERT_EQ(sim::boxes().size(), 1u);
  EXPECT_EQ(sim::boxes()[0].caption, "");
  EXPECT_EQ(sim::boxes()[0].type, 0u);
  // 设置完成 VOK伴侣1.3 作者:
  const std::string head =
      unhex("C9 E8 D6 C3 CD EA B3 C9 20 56 4F 4B B0 E9 C2 C2 31 2E 33 20 D7 F7 D5 DF 3A");
  const std::string& text = sim::boxes()[0].text;
  ASSERT_GE(text.size(), head.size());
  EXPECT_EQ(text.substr(0, head.size()), head);
  // The credit block: name, CR, web address, CR, "QQ:" number, two spaces,
  // e-mail, and no line break at the end.
  std::string credit = text.substr(head.size());
  size_t cr1 = credit.find('\r');
  size_t cr2 = credit.find('\r', cr1 + 1);
  ASSERT_NE(cr2, std::string::npos);
  EXPECT_EQ(credit.find('\n'), std::string::npos);
  EXPECT_EQ(credit.find('\r', cr2 + 1), std::string::npos);
  EXPECT_GT(cr1, 0u);
  EXPECT_NE(credit.substr(cr1 + 1, cr2 - cr1 - 1).find("example.org"), std::string::npos);
  std::string last = credit.substr(cr2 + 1);
  EXPECT_EQ(last.substr(0, 3), "QQ:");
  size_t gap = last.find("  ");
  ASSERT_NE(gap, std::string::npos);
  EXPECT_NE(last.substr(gap + 2).find("@example.org"), std::string::npos);
  EXPECT_NE(last.back(), ' ');
}

TEST_F(DispatchTest, RemovalEndsWithTheRemovalMessage) {
  ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe del"), 0u);
  ASSERT_EQ(sim::boxes().size(), 1u);
  EXPECT_EQ(sim::boxes()[0].caption, "");
  EXPECT_EQ(sim::boxes()[0].type, 0u);
  // 注册表删除信息完成
  EXPECT_EQ(sim::boxes()[0].text, unhex("D7 A2 B2 E1 B1 ED C9 BE B3 FD D0 C5 CF A2 CD EA B3 C9"));
}

TEST_F(DispatchTest, RepairShowsNothing) {
  ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe D:\\a.rm"), 0u);
  EXPECT_TRUE(sim::boxes().empty());
}

// Everything the program writes or starts sits in the folder it was started
// from, whatever the file is called.
TEST_F(DispatchTest, RenamedProgramKeepsItsFolder) {
  const char* names[] = {"vokxp2.exe", "vokxp (1).exe", "\xD0\xDE\xB8\xB4.exe", "v.exe"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    sim::reset();
    sim::add_folder("C:\\Tools");
    ASSERT_EQ(run_vokxp(std::string("C:\\Tools\\") + name, "x"), 0u);
    EXPECT_TRUE(sim::file_exists("C:\\Tools\\vok-xp.bat"));
    EXPECT_FALSE(sim::file_exists("C:\\Toolsvok-xp.bat"));
    ASSERT_EQ(run_vokxp(std::string("C:\\Tools\\") + name, "x D:\\a.rm"), 0u);
    ASSERT_EQ(sim::launches().size(), 1u);
    EXPECT_EQ(sim::launches()[0].command.substr(0, 20), "\"C:\\Tools\\vok-xp.bat");
  }
}

}  // namespace
