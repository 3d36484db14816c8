// The two tables of texts say the same things, and names survive the trip
// through UTF-16 unchanged.
#include <gtest/gtest.h>

#include <set>

#include "messages.h"
#include "utf16.h"

namespace {

const std::vector<std::string> kArgs = {"<1>", "<2>", "<3>", "<4>"};

std::set<std::string> args_in(const std::string& text) {
  std::set<std::string> used;
  for (const std::string& a : kArgs)
    if (text.find(a) != std::string::npos) used.insert(a);
  return used;
}

TEST(Texts, EveryMessageInBothLanguagesWithTheSameArguments) {
  for (int i = 0; i < int(Msg::kCount); ++i) {
    SCOPED_TRACE(i);
    std::string en = message(Lang::En, Msg(i), kArgs), zh = message(Lang::Zh, Msg(i), kArgs);
    EXPECT_FALSE(en.empty());
    EXPECT_NE(en, zh) << "a Chinese text";
    EXPECT_EQ(args_in(en), args_in(zh)) << en << " | " << zh;
  }
  for (int n = 0; n <= int(Note::DamagedChunksAfter); ++n) {
    SCOPED_TRACE(n);
    std::string en = finding_text(Lang::En, {Note(n), 7, ""}), zh = finding_text(Lang::Zh, {Note(n), 7, ""});
    EXPECT_FALSE(en.empty());
    EXPECT_NE(en, zh);
    EXPECT_EQ(en.find('7') != std::string::npos, zh.find('7') != std::string::npos) << en << " | " << zh;
  }
  EXPECT_EQ(finding_text(Lang::En, {Note::DamagedRegions, 1, ""}), "1 damaged region");
  EXPECT_EQ(finding_text(Lang::En, {Note::DamagedRegions, 2, ""}), "2 damaged regions");
}

TEST(Texts, NamesRoundTripThroughUtf16) {
  const std::u16string names[] = {
      u"movie.rm",
      u"坏 文件.rm",
      u"한국어.rm",
      u"Phở.rm",
      u"\u00A5100.rm",
      u"\uFFE5100.rm",
      u"\U0001F600 emoji.rm",
      std::u16string(u"lone \xD800 high"),
      std::u16string(u"lone \xDC00 low"),
  };
  std::set<std::string> seen;
  for (const std::u16string& n : names) {
    std::string utf8 = utf16_to_utf8(n);
    EXPECT_EQ(utf8_to_utf16(utf8), n);
    seen.insert(utf8);
  }
  EXPECT_EQ(seen.size(), sizeof names / sizeof *names) << "no two names alike";
  EXPECT_EQ(utf16_to_utf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

}  // namespace
