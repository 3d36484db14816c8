#include <gtest/gtest.h>

#include <functional>

#include "pipeline.h"
#include "rm_builder.h"

namespace {

struct HeaderCase {
  const char* name;
  std::function<void(BuiltFile&)> damage;
  HeaderVerdict verdict;
};

TEST(Headers, VerdictForEachKindOfHeader) {
  const HeaderCase cases[] = {
      {"sound", [](BuiltFile&) {}, HeaderVerdict::Ok},
      {"not RealMedia", [](BuiltFile& f) { f.bytes[0] = 'X'; }, HeaderVerdict::NotRealMedia},
      {"64-bit file tag", [](BuiltFile& f) { f.bytes[3] = 'P'; }, HeaderVerdict::Variant64},
      {"64-bit PROP", [](BuiltFile& f) { f.bytes[f.prop + 9] = 2; }, HeaderVerdict::Variant64},
      {"64-bit DATA", [](BuiltFile& f) { f.bytes[f.data + 9] = 2; }, HeaderVerdict::Variant64},
      {"chunk size below 10", [](BuiltFile& f) { put32(f.bytes, f.prop + 4, 9); }, HeaderVerdict::Damaged},
      {"chunk past the end", [](BuiltFile& f) { put32(f.bytes, f.mdpr[1] + 4, 0x7FFFFFFF); },
       HeaderVerdict::Damaged},
      {"mime runs past its chunk", [](BuiltFile& f) { f.bytes[f.mdpr[0] + 45] = 250; },
       HeaderVerdict::Damaged},
      {"no PROP", [](BuiltFile& f) { f.bytes[f.prop] = 'X'; }, HeaderVerdict::Damaged},
      {"two streams numbered alike", [](BuiltFile& f) { f.bytes[f.mdpr[1] + 11] = 0; },
       HeaderVerdict::Damaged},
      {"cut inside the headers", [](BuiltFile& f) { f.bytes.resize(f.data - 4); }, HeaderVerdict::Damaged},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    BuiltFile f = build_rm();
    c.damage(f);
    EXPECT_EQ(run_pipeline(f.bytes).verdict, c.verdict);
  }
}

TEST(Headers, StreamsAndTheirKinds) {
  BuildOptions o;
  o.logical_mime = "logical-fileinfo";
  o.audio_mime = "logical-audio/x-pn-multirate-realaudio";
  BuiltFile f = build_rm(o);
  Pipeline p = run_pipeline(f.bytes);
  ASSERT_EQ(p.verdict, HeaderVerdict::Ok);
  ASSERT_EQ(p.h.streams.size(), 3u);
  EXPECT_TRUE(p.h.streams[0].physical && p.h.streams[0].video);
  EXPECT_FALSE(p.h.streams[1].physical);
  EXPECT_FALSE(p.h.streams[2].physical);
  EXPECT_TRUE(p.h.multirate);
  EXPECT_EQ(p.h.data, f.data);
  EXPECT_EQ(physical_stream(p.h, 1), -1);
}

}  // namespace
