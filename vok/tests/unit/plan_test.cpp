// Which header fields -f rewrites, and which it leaves as the writer made them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "messages.h"
#include "pipeline.h"
#include "rm_builder.h"

namespace {

constexpr uint32_t kPropNumPackets = 26, kPropDuration = 30, kPropIndex = 38, kPropData = 42;
constexpr uint32_t kMdprDuration = 36, kMdprAvgRate = 16;

struct PlanCase {
  const char* name;
  std::function<void(BuiltFile&)> change;
  const char* found;  // null: the file is sound as it is
};

uint32_t video_ms(const BuiltFile& f) {
  uint32_t last = 0;
  for (const BuiltPacket& p : f.packets)
    if (p.stream == 0) last = p.ts;
  return last + 40;
}

const PlanCase kCases[] = {
    {"as written", [](BuiltFile&) {}, nullptr},
    {"writer's zero trailer", nullptr, nullptr},
    {"video duration a frame long",
     [](BuiltFile& f) { put32(f.bytes, f.mdpr[0] + kMdprDuration, video_ms(f) + 39); }, nullptr},
    {"bit rates the encoder's nominal ones",
     [](BuiltFile& f) { put32(f.bytes, f.mdpr[0] + kMdprAvgRate, 7); }, nullptr},
    {"video duration at its last timestamp",
     [](BuiltFile& f) { put32(f.bytes, f.mdpr[0] + kMdprDuration, video_ms(f) - 40); }, nullptr},
    {"video duration short of its last timestamp",
     [](BuiltFile& f) { put32(f.bytes, f.mdpr[0] + kMdprDuration, video_ms(f) - 41); }, "wrong duration"},
    {"video duration seconds past its last frame",
     [](BuiltFile& f) { put32(f.bytes, f.mdpr[0] + kMdprDuration, video_ms(f) + 5000); }, "wrong duration"},
    {"duration zero", [](BuiltFile& f) { put32(f.bytes, f.prop + kPropDuration, 0); }, "wrong duration"},
    {"live flag", [](BuiltFile& f) { f.bytes[f.prop + 49] |= 4; }, "live flag"},
    {"data_offset wrong", [](BuiltFile& f) { put32(f.bytes, f.prop + kPropData, 1234); },
     "wrong data_offset"},
    {"index_offset past the end", [](BuiltFile& f) { put32(f.bytes, f.prop + kPropIndex, 0x7FFFFFFF); },
     "wrong index_offset"},
    {"packet count wrong", [](BuiltFile& f) { put32(f.bytes, f.prop + kPropNumPackets, 3); },
     "wrong packet count"},
    {"DATA size wrong", [](BuiltFile& f) { put32(f.bytes, f.data + 4, 100); }, "wrong DATA header"},
    {"never finalised",
     [](BuiltFile& f) {
       put32(f.bytes, f.prop + kPropNumPackets, 0);
       put32(f.bytes, f.prop + kPropDuration, 0);
       put32(f.bytes, f.mdpr[0] + kMdprDuration, 3600000);
       put32(f.bytes, f.mdpr[1] + kMdprDuration, 3600000);
       put32(f.bytes, f.data + 4, 18);
       put32(f.bytes, f.data + 10, 0);
     },
     "unfinalised header"},
};

TEST(Plan, WhatNeedsRepairAndWhatIsLeftAlone) {
  for (const PlanCase& c : kCases) {
    SCOPED_TRACE(c.name);
    BuildOptions o;
    o.trailer = !c.change;
    BuiltFile f = build_rm(o);
    if (c.change) c.change(f);
    Pipeline p = run_pipeline(f.bytes);
    ASSERT_EQ(p.plan.refused, Refusal::None);
    EXPECT_EQ(p.plan.changes, c.found != nullptr);
    EXPECT_FALSE(p.plan.removes_bytes);
    if (!c.found) continue;
    std::string found = findings_text(Lang::En, p.plan.found);
    EXPECT_NE(found.find(c.found), std::string::npos) << found;
    ASSERT_EQ(p.out.size(), f.bytes.size());
    EXPECT_FALSE(run_pipeline(p.out).plan.changes);
  }
}

TEST(Plan, AFinalisedHeaderIsRecomputedFromThePackets) {
  BuiltFile sound = build_rm();
  BuiltFile f = sound;
  kCases[sizeof kCases / sizeof kCases[0] - 1].change(f);
  Pipeline p = run_pipeline(f.bytes);
  ASSERT_FALSE(p.out.empty());
  for (uint64_t at : {sound.prop + kPropNumPackets, sound.prop + kPropDuration, sound.data + 4,
                      sound.data + 10, sound.mdpr[0] + kMdprDuration, sound.mdpr[1] + kMdprDuration}) {
    SCOPED_TRACE(at);
    EXPECT_EQ(get32(p.out, at), get32(sound.bytes, at));
  }
  EXPECT_EQ(p.out[sound.prop + 49] & 4, 0);
}

TEST(Plan, RefusesWhatCannotBeRepairedSafely) {
  BuildOptions multirate;
  multirate.logical_mime = "logical-audio/x-pn-multirate-realaudio";
  BuiltFile f = build_rm(multirate);
  EXPECT_EQ(run_pipeline(f.bytes).plan.refused, Refusal::None) << "a sound multirate file is left as it is";
  f.bytes.resize(f.bytes.size() * 2 / 3);
  EXPECT_NE(run_pipeline(f.bytes).plan.refused, Refusal::None);

  BuiltFile empty = build_rm();
  empty.bytes.resize(empty.data + 18);
  EXPECT_EQ(run_pipeline(empty.bytes).plan.refused, Refusal::NoPackets);
}

}  // namespace

namespace {

// A chunk among the headers that vok does not know, larger than it holds
// in memory, goes from the file to the repair unchanged.
TEST(Plan, ALargeUnknownHeaderChunkIsCopiedAsItIs) {
  BuiltFile f = build_rm();
  std::vector<uint8_t> junk(3 << 20, 0x4A);
  memcpy(junk.data(), "JUNK", 4);
  put32(junk, 4, uint32_t(junk.size()));
  junk[8] = junk[9] = 0;
  f.bytes.insert(f.bytes.begin() + long(f.data), junk.begin(), junk.end());
  put32(f.bytes, f.prop + 42, uint32_t(f.data + junk.size()));
  f.bytes.resize(f.bytes.size() - 500);
  Pipeline p = run_pipeline(f.bytes);
  ASSERT_TRUE(p.plan.changes);
  EXPECT_EQ(p.plan.head_gaps.size(), 1u);
  EXPECT_LT(p.plan.head.size(), junk.size());
  ASSERT_EQ(p.out.size(), p.plan.output_size);
  EXPECT_TRUE(std::equal(junk.begin(), junk.end(), p.out.begin() + long(f.data)));
  Pipeline again = run_pipeline(p.out);
  EXPECT_FALSE(again.plan.changes) << findings_text(Lang::En, again.plan.found);
}

}  // namespace
