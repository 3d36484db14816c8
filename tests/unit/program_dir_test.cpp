#include "launch/program_dir.h"

#include <gtest/gtest.h>

#include "platform/sim/sim.h"

namespace {

TEST(ProgramDirTest, EndsAtTheLastBackslash) {
  struct Case {
    const char* path;
    const char* want;
  } cases[] = {
      {"C:\\Tools\\vokxp.exe", "C:\\Tools\\"},
      {"C:\\Tools\\vokxp (1).exe", "C:\\Tools\\"},
      {"C:\\Tools\\vokxp2.exe", "C:\\Tools\\"},
      {"C:\\Tools\\\xD0\xDE\xB8\xB4.exe", "C:\\Tools\\"},  // 修复.exe
      {"C:\\v.exe", "C:\\"},
      {"\\\\server\\share\\vokxp.exe", "\\\\server\\share\\"},
      {"vokxp.exe", ""},
      {"", ""},
      // D5 5C is one GBK character whose second byte is a backslash's value
      {"C:\\\xD5\x5C\\vokxp.exe", "C:\\\xD5\x5C\\"},
      {"C:\\a\xD5\x5C"
       "b.exe",
       "C:\\"},
      {"D:\xD5\x5C", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_STREQ(program_dir_of(c.path).c_str(), c.want);
  }
}

}  // namespace
