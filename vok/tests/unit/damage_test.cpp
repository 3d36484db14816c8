// Each kind of damage, made to a known file: exactly the packets whose bytes
// the damage did not touch survive, and the repaired file is sound.
#include <gtest/gtest.h>

#include <functional>

#include "messages.h"
#include "pipeline.h"
#include "rm_builder.h"

namespace {

struct Damage {
  uint64_t from, to;  // bytes of the original the damage touched
};

void fill_random(std::vector<uint8_t>& b, uint64_t from, uint64_t n, uint32_t seed) {
  for (uint64_t i = from; i < from + n && i < b.size(); ++i) {
    seed = seed * 1664525 + 1013904223;
    b[i] = uint8_t(seed >> 24);
  }
}

std::vector<Range> expected_runs(const BuiltFile& f, const Damage& d, int64_t shift_after = -1) {
  std::vector<Range> runs;
  for (const BuiltPacket& p : f.packets) {
    if (p.offset < d.to && p.offset + p.length > d.from) continue;
    uint64_t at = p.offset + (shift_after >= 0 && p.offset >= uint64_t(shift_after) ? 18 : 0);
    if (!runs.empty() && runs.back().offset + runs.back().length == at)
      runs.back().length += p.length;
    else
      runs.push_back({at, p.length});
  }
  return runs;
}

struct DamageCase {
  const char* name;
  // Damages the file's bytes and says which original bytes it touched.
  std::function<Damage(BuiltFile&)> apply;
  const char* found;  // a phrase the summary must contain
};

uint64_t at_fraction(const BuiltFile& f, double x) { return uint64_t(double(f.bytes.size()) * x); }

// A version 0 packet header, as garbage may happen to hold one.
void put_fake_header(BuiltFile& f, uint64_t at, uint16_t length, uint16_t stream, uint32_t ts,
                     uint8_t flags) {
  std::vector<uint8_t>& b = f.bytes;
  put32(b, at, length);  // version 0, then the length
  b[at + 4] = uint8_t(stream >> 8), b[at + 5] = uint8_t(stream);
  put32(b, at + 6, ts);
  b[at + 10] = 0, b[at + 11] = flags;
}

// Garbage holding `count` audio packet headers that chain one to the next,
// each plausible on its own (an AC-3 sync word after each), with the given flags.
Damage fake_chain(BuiltFile& f, int count, uint8_t flags) {
  uint64_t a = at_fraction(f, 0.4);
  fill_random(f.bytes, a, 4000, 13);
  const BuiltPacket& near = f.packets[f.packets.size() / 2];
  uint64_t at = a + 100;
  for (int k = 0; k < count; ++k, at += 300) {
    put_fake_header(f, at, 300, 1, near.ts, flags);
    f.bytes[at + 12] = 0x77, f.bytes[at + 13] = 0x0B;
  }
  return Damage{a, a + 4000};
}

const DamageCase kCases[] = {
    {"zeroed region",
     [](BuiltFile& f) {
       uint64_t a = at_fraction(f, 0.3);
       std::fill(f.bytes.begin() + long(a), f.bytes.begin() + long(a + 3000), 0);
       return Damage{a, a + 3000};
     },
     "1 damaged region"},
    {"random garbage",
     [](BuiltFile& f) {
       uint64_t a = at_fraction(f, 0.4);
       fill_random(f.bytes, a, 3000, 7);
       return Damage{a, a + 3000};
     },
     "1 damaged region"},
    {"plausible fake header inside garbage",
     [](BuiltFile& f) {
       uint64_t a = at_fraction(f, 0.4);
       fill_random(f.bytes, a, 4000, 11);
       put_fake_header(f, a + 100, 60000, 0, f.packets[f.packets.size() / 2].ts, 0);
       return Damage{a, a + 4000};
     },
     "1 damaged region"},
    // Resyncing on two would take these for packets; on three it does not.
    {"two packets' headers chaining in garbage", [](BuiltFile& f) { return fake_chain(f, 2, 2); },
     "1 damaged region"},
    {"three chaining in garbage, with flag bits no packet has",
     [](BuiltFile& f) { return fake_chain(f, 3, 6); }, "1 damaged region"},
    // FFmpeg's ending is eight zero bytes exactly.
    {"nine zero bytes after the packets",
     [](BuiltFile& f) {
       put32(f.bytes, f.data + 4, get32(f.bytes, f.data + 4) + 18);
       uint64_t end = f.bytes.size();
       f.bytes.insert(f.bytes.end(), 9, 0);
       return Damage{end, end};
     },
     "zero-filled tail"},
    {"packet length too long",
     [](BuiltFile& f) {
       const BuiltPacket& p = f.packets[100];
       uint64_t at = p.offset + 2;
       uint16_t len = uint16_t(p.length + 100);
       f.bytes[at] = uint8_t(len >> 8), f.bytes[at + 1] = uint8_t(len);
       return Damage{at, at + 2};
     },
     "1 damaged region"},
    {"packet length too short",
     [](BuiltFile& f) {
       const BuiltPacket& p = f.packets[150];
       uint64_t at = p.offset + 2;
       uint16_t len = uint16_t(p.length - 130);
       f.bytes[at] = uint8_t(len >> 8), f.bytes[at + 1] = uint8_t(len);
       return Damage{at, at + 2};
     },
     "1 damaged region"},
    {"truncated download",
     [](BuiltFile& f) {
       uint64_t cut = at_fraction(f, 0.55), size = f.bytes.size();
       f.bytes.resize(cut);
       return Damage{cut, size};
     },
     "truncated tail"},
    {"pre-allocated download",
     [](BuiltFile& f) {
       uint64_t cut = at_fraction(f, 0.55), size = f.bytes.size();
       std::fill(f.bytes.begin() + long(cut), f.bytes.end(), 0);
       return Damage{cut, size};
     },
     "zero-filled tail"},
};

TEST(Damage, ExactlyTheUntouchedPacketsSurvive) {
  for (const DamageCase& c : kCases) {
    for (bool v1 : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (v1 ? ", version-1 packets" : ""));
      BuildOptions o;
      o.version1 = v1;
      BuiltFile f = build_rm(o);
      Damage d = c.apply(f);
      Pipeline p = run_pipeline(f.bytes);
      ASSERT_EQ(p.plan.refused, Refusal::None);
      std::vector<Range> want = expected_runs(f, d);
      ASSERT_EQ(p.s.kept.size(), want.size());
      for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(p.s.kept[i].offset, want[i].offset) << i;
        EXPECT_EQ(p.s.kept[i].length, want[i].length) << i;
      }
      std::string found = findings_text(Lang::En, p.plan.found);
      EXPECT_NE(found.find(c.found), std::string::npos) << found;
      EXPECT_TRUE(p.plan.removes_bytes);
      ASSERT_EQ(p.out.size(), p.plan.output_size);
      Pipeline again = run_pipeline(p.out);
      EXPECT_FALSE(again.plan.changes) << "repaired file still needs: " << again.plan.found.size();
      EXPECT_EQ(again.s.packets, p.s.packets);
    }
  }
}

TEST(Damage, ChainedDataChunksAreMergedLosingNothing) {
  BuiltFile f = build_rm();
  uint64_t split = f.packets[200].offset;
  uint8_t second[18] = {'D', 'A', 'T', 'A', 0, 0, 0, 18};
  f.bytes.insert(f.bytes.begin() + long(split), second, second + 18);
  Pipeline p = run_pipeline(f.bytes);
  std::vector<Range> want = expected_runs(f, Damage{0, 0}, int64_t(split));
  ASSERT_EQ(p.s.kept.size(), 2u);
  EXPECT_EQ(p.s.kept[0].length + p.s.kept[1].length, want[0].length + want[1].length);
  EXPECT_EQ(p.s.extra_data.size(), 1u);
  EXPECT_EQ(p.s.packets, f.packets.size());
  Pipeline again = run_pipeline(p.out);
  EXPECT_FALSE(again.plan.changes);
  EXPECT_EQ(again.s.packets, f.packets.size());
  EXPECT_EQ(again.out.size(), 0u);
  EXPECT_EQ(p.out.size(), f.bytes.size() - 18);
}

}  // namespace
