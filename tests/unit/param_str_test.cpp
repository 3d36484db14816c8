#include "launch/param_str.h"

#include <gtest/gtest.h>

#include "platform/sim/sim.h"
#include "program_run.h"

namespace {

struct TokenCase {
  const char* line;
  int index;
  std::string want;
};

class ParamStrTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
};

std::string param(const std::string& line, int index) {
  sim::set_command_line(line);
  Text t = ParamStr(index);
  return std::string(t.c_str(), t.size());
}

TEST_F(ParamStrTest, SplitsTheCommandLine) {
  const TokenCase cases[] = {
      {"\"C:\\My Tools\\vokxp.exe\" C:\\a.rm", 1, "C:\\a.rm"},
      {"vokxp.exe \"C:\\My Movies\\a.rm\"", 1, "C:\\My Movies\\a.rm"},
      {"vokxp.exe", 1, ""},
      {"vokxp.exe \"\"", 1, ""},
      {"vokxp.exe \"\" \"\"", 1, ""},
      {"vokxp.exe \"\" del", 1, "del"},
      {"vokxp.exe \"\"del", 1, "del"},
      {"vokxp.exe \" \" a", 1, " "},
      {"vokxp.exe \" \" a", 2, "a"},
      {"vokxp.exe \"", 1, ""},
      {"vokxp.exe \"C:\\x y", 1, "C:\\x y"},
      {"vokxp.exe a\\\"b c\"", 1, "a\\b c"},
      {"vokxp.exe ab\"c d\"e f", 1, "abc de"},
      {"vokxp.exe ab\"c d\"e f", 2, "f"},
      {"vokxp.exe a\"\"b", 1, "ab"},
      {"vokxp.exe\ta\x01"
       "b",
       1, "a"},
      {"vokxp.exe\ta\x01"
       "b",
       2, "b"},
      {"  vokxp.exe   del   x  ", 1, "del"},
      {"  vokxp.exe   del   x  ", 2, "x"},
      {"  vokxp.exe   del   x  ", 3, ""},
      {"vokxp.exe d\"e\"l", 1, "del"},
      {"vokxp.exe \"del \"", 1, "del "},
      {"vokxp.exe a \"\" b", 2, "b"},
      {"", 1, ""},
  };
  for (const TokenCase& c : cases) {
    SCOPED_TRACE(std::string("line [") + c.line + "] index " + std::to_string(c.index));
    EXPECT_EQ(param(c.line, c.index), c.want);
  }
}

// A double-byte character is taken whole, so its second byte is never read
// as a quote, a separator or the end of a quoted run.
TEST_F(ParamStrTest, KeepsDoubleByteCharactersWhole) {
  const TokenCase cases[] = {
      // 0x81 0x22: a lead byte followed by the quote's value
      {"vokxp.exe a\x81\"b c", 1, "a\x81\"b"},
      {"vokxp.exe \"x\x81\" y\" z", 1, "x\x81\" y"},
      // 0x81 0x20 and 0x81 0x09: second bytes with separator values
      {"vokxp.exe \x81 b", 1, "\x81 b"},
      {"vokxp.exe \x81\tb c", 1, "\x81\tb"},
      // 修复.rm
      {"vokxp.exe \xD0\xDE\xB8\xB4.rm", 1, "\xD0\xDE\xB8\xB4.rm"},
      // a lead byte at the very end is a character of its own
      {"vokxp.exe a\x81", 1, "a\x81"},
      {"vokxp.exe \"a\x81", 1, "a\x81"},
      // bytes 128 and above are token characters, not separators
      {"vokxp.exe \x80\xFF", 1, "\x80\xFF"},
  };
  for (const TokenCase& c : cases) {
    SCOPED_TRACE(std::string("line [") + c.line + "]");
    EXPECT_EQ(param(c.line, c.index), c.want);
  }
}

TEST_F(ParamStrTest, TokenZeroIsTheProgramAsTyped) {
  const char line[] = "\"C:\\My Tools\\vokxp.exe\" C:\\a.rm";
  size_t size = 0;
  const char* end = scan_token(line, nullptr, &size);
  std::string token(size, '\0');
  EXPECT_EQ(scan_token(line, &token[0], &size), end);
  EXPECT_EQ(token, "C:\\My Tools\\vokxp.exe");
  EXPECT_STREQ(end, " C:\\a.rm");
}

TEST_F(ParamStrTest, RescansOnEveryCall) {
  sim::set_command_line("vokxp.exe one two");
  EXPECT_EQ(std::string(ParamStr(2).c_str()), "two");
  sim::set_command_line("vokxp.exe three");
  EXPECT_EQ(std::string(ParamStr(1).c_str()), "three");
}

TEST_F(ParamStrTest, IndexZeroIsTheModulePath) {
  sim::set_command_line("typed.exe x");
  sim::set_module_path("C:\\Tools\\vokxp.exe");
  EXPECT_STREQ(ParamStr(0).c_str(), "C:\\Tools\\vokxp.exe");
  // A failing call gives an empty path.
  sim::set_module_path("");
  EXPECT_TRUE(ParamStr(0).empty());
  // Longer than the 261-byte buffer: what the platform's truncation leaves.
  sim::set_module_path("C:\\" + std::string(300, 'a'));
  EXPECT_EQ(ParamStr(0).size(), 260u);
}

}  // namespace
