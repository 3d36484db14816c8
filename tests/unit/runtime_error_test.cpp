#include "report/runtime_error.h"

#include <gtest/gtest.h>

#include "program_run.h"
#include "text/gbk_text.h"

namespace {

TEST(RuntimeErrorTest, FillsTheTemplateFromTheRight) {
  struct Case {
    uint32_t code;
    uint32_t address;
    const char* want;
  } cases[] = {
      {5, 0x401A2B, "Runtime error   5 at 00401A2B"},  {1392, 0x401000, "Runtime error 112 at 00401000"},
      {256, 0, "Runtime error   0 at 00000000"},       {203, 0xFFFFFFFF, "Runtime error 203 at FFFFFFFF"},
      {32, 0xABCDEF, "Runtime error  32 at 00ABCDEF"}, {255, 0x10, "Runtime error 255 at 00000010"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    char text[30];
    format_runtime_error(c.code, c.address, text);
    EXPECT_STREQ(text, c.want);
  }
}

TEST(RuntimeErrorTest, ExitCodeIsNeverZero) {
  EXPECT_EQ(exit_code_for(5), 5u);
  EXPECT_EQ(exit_code_for(1392), 112u);
  EXPECT_EQ(exit_code_for(255), 255u);
  EXPECT_EQ(exit_code_for(256), 256u);
  EXPECT_EQ(exit_code_for(0x10000), 0x10000u);
}

class RaiseTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }

  static uint32_t exit_of(void (*fn)()) {
    try {
      fn();
    } catch (const sim::Exit& e) {
      return e.code;
    }
    return 0xDEADBEEF;
  }
};

void check_zero() { check(0); }
void check_1392() { check(1392); }
void check_256() { check(256); }

TEST_F(RaiseTest, CheckPassesZeroAndStopsOnAnythingElse) {
  EXPECT_EQ(exit_of(check_zero), 0xDEADBEEFu);
  EXPECT_TRUE(sim::boxes().empty());

  EXPECT_EQ(exit_of(check_1392), 112u);
  ASSERT_EQ(sim::boxes().size(), 1u);
  EXPECT_EQ(runtime_error_box(sim::boxes()[0]).number, "112");

  // The message shows the low 8 bits, the exit code keeps the failure.
  EXPECT_EQ(exit_of(check_256), 256u);
  ASSERT_EQ(sim::boxes().size(), 2u);
  EXPECT_EQ(runtime_error_box(sim::boxes()[1]).number, "  0");
}

void two_sites(int which) {
  if (which == 0) check(5);
  check(5);
}
void first_site() { two_sites(0); }
void second_site() { two_sites(1); }

TEST_F(RaiseTest, EachCallSiteShowsItsOwnStableAddress) {
  exit_of(first_site);
  exit_of(second_site);
  exit_of(first_site);
  ASSERT_EQ(sim::boxes().size(), 3u);
  std::string a = runtime_error_box(sim::boxes()[0]).address;
  std::string b = runtime_error_box(sim::boxes()[1]).address;
  EXPECT_NE(a, b);
  EXPECT_EQ(a, runtime_error_box(sim::boxes()[2]).address);
  EXPECT_NE(a, "00000000");
}

// Running out of memory ends the program with 203 at one fixed address,
// whichever string was being built.
TEST_F(RaiseTest, OutOfMemoryIs203AtOneAddress) {
  std::vector<std::string> addresses;
  for (int nth : {1, 2, 3}) {
    SCOPED_TRACE(nth);
    sim::fail(sim::Op::Alloc, nth, 0);
    uint32_t code = 0;
    try {
      Text a = "abc";
      Text b = a + "def";
      Text c = Text("x") + b;
    } catch (const sim::Exit& e) {
      code = e.code;
    }
    EXPECT_EQ(code, 203u);
    ASSERT_FALSE(sim::boxes().empty());
    RuntimeErrorBox box = runtime_error_box(sim::boxes().back());
    EXPECT_EQ(box.number, "203");
    addresses.push_back(box.address);
  }
  EXPECT_EQ(addresses[0], addresses[1]);
  EXPECT_EQ(addresses[1], addresses[2]);
}

class OutOfMemoryInModes : public ProgramTest {};

// Whichever allocation of a run fails, the run ends with 203 and nothing of
// the mode happens after it.
TEST_F(OutOfMemoryInModes, EveryAllocationOfEveryModeCanFail) {
  for (const char* line : {"vokxp.exe", "vokxp.exe del", "vokxp.exe D:\\a.rm"}) {
    for (int nth = 1;; ++nth) {
      SCOPED_TRACE(std::string(line) + " allocation " + std::to_string(nth));
      sim::reset();
      sim::add_folder("C:\\Tools");
      sim::fail(sim::Op::Alloc, nth, 0);
      uint32_t code = run_vokxp("C:\\Tools\\vokxp.exe", line);
      if (code == 0) break;  // the run had fewer allocations than nth
      EXPECT_EQ(code, 203u);
      ASSERT_EQ(sim::boxes().size(), 1u);
      EXPECT_EQ(runtime_error_box(sim::boxes()[0]).number, "203");
      EXPECT_TRUE(sim::launches().empty());
      ASSERT_LT(nth, 100);
    }
  }
}

}  // namespace
