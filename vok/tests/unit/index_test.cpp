// The records -i chooses, the INDX chunks it lays out, and the in-place update
// on a real file: once is enough, twice changes nothing.
#include <gtest/gtest.h>

#include "be_bytes.h"
#include "console_mem.h"
#include "index_apply.h"
#include "index_build.h"
#include "memfs.h"
#include "pipeline.h"
#include "rm_builder.h"
#include "vok_run.h"

namespace {

struct Indexed {
  Headers h;
  Scan s;
  Plan repair;
  IndexPlan plan;
  size_t records = 0;
};

Indexed index_of(const std::vector<uint8_t>& bytes) {
  Indexed r;
  Reader in(bytes.data(), bytes.size());
  Analysis a = analyse(in);
  EXPECT_EQ(a.verdict, HeaderVerdict::Ok);
  r.h = a.h, r.s = a.scan, r.repair = a.plan;
  r.plan = plan_index(in, r.h, r.s, r.repair);
  r.records = r.plan.record_count;
  return r;
}

TEST(Index, RecordsForKeyframesAndAboutOneAudioRecordASecond) {
  BuiltFile f = build_rm();
  Indexed r = index_of(f.bytes);
  ASSERT_EQ(r.plan.refused, Refusal::None);
  ASSERT_FALSE(r.plan.needs_repair);
  const std::vector<uint8_t>& c = r.plan.chunks;
  ASSERT_GE(c.size(), 40u);
  std::vector<uint64_t> starts;
  for (const BuiltPacket& p : f.packets) starts.push_back(p.offset);
  uint64_t chunk = 0;
  for (uint16_t stream : {0, 1}) {
    SCOPED_TRACE(stream);
    const uint8_t* x = c.data() + chunk;
    ASSERT_TRUE(be::tag_is(x, "INDX"));
    uint32_t n = be::u32(x + 10);
    EXPECT_EQ(be::u32(x + 4), 20 + 14 * n);
    EXPECT_EQ(be::u16(x + 14), stream);
    uint32_t next = be::u32(x + 16);
    EXPECT_EQ(next, stream == 0 ? r.plan.at + 20 + 14 * n : 0);
    uint32_t last_ts = 0;
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t* rec = x + 20 + 14 * i;
      uint32_t ts = be::u32(rec + 2), off = be::u32(rec + 6), ordinal = be::u32(rec + 10);
      ASSERT_LT(ordinal, f.packets.size());
      const BuiltPacket& p = f.packets[ordinal];
      EXPECT_EQ(p.offset, off);
      EXPECT_EQ(p.ts, ts);
      EXPECT_EQ(p.stream, stream);
      EXPECT_TRUE(p.flags & 2);
      if (i) {
        EXPECT_GE(ts, last_ts + (stream == 0 ? 1 : 1000));
      }
      last_ts = ts;
    }
    size_t keyframes = 0;
    for (const BuiltPacket& p : f.packets) keyframes += p.stream == 0 && (p.flags & 2);
    EXPECT_EQ(n, stream == 0 ? keyframes : 8u) << "every video keyframe; one audio record a second over 8 s";
    chunk += 20 + 14 * n;
  }
  EXPECT_EQ(chunk, c.size());
}

TEST(Index, RefusesAFileThatNeedsRepairFirst) {
  BuiltFile f = build_rm();
  f.bytes.resize(f.bytes.size() - 100);
  EXPECT_TRUE(index_of(f.bytes).plan.needs_repair);
}

std::string text(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }
std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// num_headers as a writer counts: the header chunks, DATA and one for the
// index (6 here, as RealProducer, Helix and FFmpeg write it), or every chunk.
struct InPlaceCase {
  bool trailer;
  uint32_t num_headers, indexed;
};
const InPlaceCase kInPlace[] = {{false, 6, 6}, {true, 6, 6}, {false, 5, 7}};

TEST(Index, InPlaceOnceThenNothingMoreToDo) {
  for (const InPlaceCase& c : kInPlace) {
    SCOPED_TRACE(std::string(c.trailer ? "writer's trailer" : "no trailer") + ", num_headers " +
                 std::to_string(c.num_headers));
    BuildOptions o;
    o.trailer = c.trailer;
    BuiltFile f = build_rm(o);
    put32(f.bytes, 14, c.num_headers);
    memfs::reset();
    console_mem::reset();
    memfs::put("/m/a.rm", text(f.bytes));
    EXPECT_EQ(run_vok({"-i", "/m/a.rm"}), 0);
    std::vector<uint8_t> once = bytes(memfs::get("/m/a.rm"));
    Indexed r = index_of(once);
    EXPECT_FALSE(r.repair.changes) << "an indexed file is sound";
    EXPECT_FALSE(r.plan.changes);
    uint64_t packets_end = f.packets.back().offset + f.packets.back().length;
    EXPECT_EQ(get32(once, f.prop + 38), packets_end) << "index_offset";
    EXPECT_EQ(get32(once, 14), c.indexed) << "num_headers";
    EXPECT_TRUE(std::equal(once.begin() + long(f.data + 18), once.begin() + long(packets_end),
                           f.bytes.begin() + long(f.data + 18)))
        << "packets untouched";
    uint64_t mtime = memfs::mtime("/m/a.rm");
    EXPECT_EQ(run_vok({"-i", "/m/a.rm"}), 0);
    EXPECT_EQ(memfs::mtime("/m/a.rm"), mtime) << "a second -i changes nothing";
    EXPECT_EQ(memfs::list("/m"), std::vector<std::string>{"a.rm"});
  }
}

// A producer's index stays only where every record names its packet: its
// header, its stream, its time.
struct RecordCase {
  const char* name;
  uint32_t ts_delta;     // added to the second record's time
  int32_t offset_delta;  // added to its offset
  bool kept;
};
const RecordCase kRecords[] = {
    {"as written", 0, 0, true},
    {"a time a millisecond off", 1, 0, false},
    {"an offset into the packet", 0, 2, false},
};

TEST(Index, AProducersIndexStaysWhereEveryRecordNamesItsPacket) {
  memfs::reset();
  console_mem::reset();
  memfs::put("/m/a.rm", text(build_rm().bytes));
  ASSERT_EQ(run_vok({"-i", "/m/a.rm"}), 0);
  std::vector<uint8_t> indexed = bytes(memfs::get("/m/a.rm"));
  uint64_t record = get32(indexed, 18 + 38) + 20 + 14;  // the first chunk's second record
  for (const RecordCase& c : kRecords) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> f = indexed;
    put32(f, record + 2, get32(f, record + 2) + c.ts_delta);
    put32(f, record + 6, get32(f, record + 6) + uint32_t(c.offset_delta));
    Indexed r = index_of(f);
    EXPECT_EQ(r.repair.index_kept, c.kept);
    EXPECT_EQ(r.plan.changes, !c.kept) << "-i writes an index of its own";
  }
}

}  // namespace
