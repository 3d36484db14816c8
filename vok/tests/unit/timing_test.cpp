// Where a stream ends and which packets an index points at, per codec
// family, on files made from the documented layouts.
#include <gtest/gtest.h>

#include <fstream>

#include "index_build.h"
#include "messages.h"
#include "pipeline.h"
#include "rm_builder.h"

namespace {

const char kVideo[] = "video/x-pn-realvideo", kAudio[] = "audio/x-pn-realaudio";

Bytes filled(size_t n, uint8_t first = 0) {
  Bytes b(n, 0x5A);
  if (n) b[0] = first;
  return b;
}

// Blocks of an interleaved stream: every packet of a block shares the
// block's timestamp and only the first is flagged.
std::vector<CustomPacket> blocks(int count, int per_block, uint32_t block_ms, size_t payload) {
  std::vector<CustomPacket> p;
  for (int b = 0; b < count; ++b)
    for (int k = 0; k < per_block; ++k)
      p.push_back({0, uint32_t(b) * block_ms, uint8_t(k == 0 ? 2 : 0), filled(payload)});
  return p;
}

// Helix stamps every packet of a block with its own time, spread over the
// block; still only the first is flagged.
std::vector<CustomPacket> spread_blocks(int count, int per_block, uint32_t block_ms, size_t payload) {
  std::vector<CustomPacket> p = blocks(count, per_block, block_ms, payload);
  for (size_t i = 0; i < p.size(); ++i)
    p[i].ts += uint32_t(i % size_t(per_block)) * block_ms / uint32_t(per_block);
  return p;
}

std::vector<CustomPacket> at_times(std::vector<uint32_t> ts, Bytes payload) {
  std::vector<CustomPacket> p;
  for (uint32_t t : ts) p.push_back({0, t, 2, payload});
  return p;
}

Bytes ac3_payload(size_t n) {
  Bytes b = filled(n, 0x77);
  b[1] = 0x0B;  // the sync word, byte-swapped as RealMedia stores AC-3
  return b;
}

Bytes aac_payload(int units) {
  Bytes b = {0x00, uint8_t(units << 4)};
  for (int i = 0; i < units; ++i) b.push_back(0), b.push_back(100);
  b.resize(b.size() + 100 * size_t(units), 0x11);
  return b;
}

Ra5 audio(const char* interleaver, const char* codec, uint16_t h, uint16_t w, uint32_t bpm) {
  Ra5 r;
  r.interleaver = interleaver;
  r.fourcc = codec;
  r.sub_packet_h = h;
  r.frame_size = w;
  r.bytes_per_minute = bpm;
  return r;
}

struct TimingCase {
  const char* name;
  Bytes codec;
  const char* mime;
  std::vector<CustomPacket> packets;
  uint32_t end_ms;
};

std::vector<TimingCase> timing_cases() {
  Ra5 int4 = audio("Int4", "28_8", 12, 228, 114000);
  int4.coded_frame_size = 38;
  Ra5 racp = audio("vbrs", "racp", 0, 0, 0);
  Ra5 raac = audio("vbrs", "raac", 0, 0, 0);
  Ra5 sipr = audio("sipr", "sipr", 14, 116, 120000);
  Ra5 helix = audio("genr", "cook", 16, 1400, 723510);  // Helix Producer 10, 44.1 kHz stereo
  helix.sub_packet_size = 280;
  sipr.flavor = 3;
  std::vector<CustomPacket> bframes, lone_b;
  uint8_t picture = 0;
  for (uint32_t ts : {0, 100, 33, 66, 200, 133, 166, 300, 233, 266})
    bframes.push_back({0, ts, uint8_t(ts == 0 ? 2 : 0), rv_frame(400, picture++, ts, true)[0]});
  for (uint32_t ts : {0, 66, 33, 133, 100, 200, 166, 266, 233})
    lone_b.push_back({0, ts, uint8_t(ts == 0 ? 2 : 0), rv_frame(400, picture++, ts, true)[0]});
  return {
      // Frames go out of order; the last shown is a frame after the largest stamp.
      {"RealVideo 4 with B-frames, 30 fps", vido_header("RV40", 30 << 16), kVideo, bframes, 333},
      {"RealVideo 4, a lone B-frame between P-frames", vido_header("RV40", 30 << 16), kVideo, lone_b, 299},
      {"cook, genr blocks of 14 (RealProducer's header)", ra5_header(), kAudio, blocks(3, 14, 2275, 651),
       2 * 2275 + 2275},
      {"cook, Helix's blocks: a time on every packet", ra5_header(helix), kAudio,
       spread_blocks(2, 16, 1857, 1400), 2 * 1857},
      {"sipr blocks", ra5_header(sipr), kAudio, blocks(3, 14, 812, 116), 3 * 812},
      {"28.8, Int4 blocks", ra5_header(int4), kAudio, blocks(2, 12, 1440, 228), 2 * 1440},
      {"AAC, two frames a packet at 44.1 kHz", ra5_header(raac), kAudio,
       at_times({0, 46, 92, 139}, aac_payload(2)), 139 + 2048 * 1000 / 44100},
      {"HE-AAC, one frame a packet", ra5_header(racp), kAudio, at_times({0, 46, 92}, aac_payload(1)),
       92 + 2048 * 1000 / 44100},
      {"AC-3 at a constant rate", ra5_header(audio("Int0", "dnet", 1, 278, 119725)), kAudio,
       at_times({0, 139, 278}, ac3_payload(278)), 278 + 278 * 60000 / 119725},
      {"a codec vok does not know: the usual step", Bytes{}, "application/x-pn-realevent",
       at_times({0, 500, 1000, 1500}, filled(50)), 1500 + 500},
  };
}

TEST(Timing, WhereEachCodecFamilyEnds) {
  for (const TimingCase& c : timing_cases()) {
    SCOPED_TRACE(c.name);
    BuiltFile f = build_custom({{0, c.mime, c.codec}}, c.packets, {c.end_ms});
    Pipeline p = run_pipeline(f.bytes);
    ASSERT_EQ(p.verdict, HeaderVerdict::Ok);
    ASSERT_EQ(p.s.packets, c.packets.size()) << "every packet fits its stream";
    EXPECT_EQ(p.s.stats[0].end_ms(p.h.streams[0].codec), c.end_ms);
    EXPECT_FALSE(p.plan.changes) << "a writer's duration at the stream's end is sound";
    // A writer may stop a unit short of the end (at the last frame, at the
    // content's length inside a padded block); further short is wrong, and
    // so is far past the end.
    uint32_t unit = p.s.stats[0].unit_ms(p.h.streams[0].codec), slack = std::max(2 * unit, 1000u);
    for (uint32_t duration : {c.end_ms - unit, c.end_ms - unit - 1, c.end_ms + slack, c.end_ms + slack + 1}) {
      put32(f.bytes, f.mdpr[0] + 36, duration);
      put32(f.bytes, f.prop + 30, duration);
      bool wrong = duration + unit < c.end_ms || duration > c.end_ms + slack;
      EXPECT_EQ(run_pipeline(f.bytes).plan.changes, wrong) << duration;
    }
  }
}

struct IndexCase {
  const char* name;
  Bytes codec;
  const char* mime;
  std::vector<CustomPacket> packets;
  std::vector<uint32_t> records;  // timestamps of the packets indexed
};

std::vector<IndexCase> index_cases() {
  std::vector<CustomPacket> sliced;
  for (uint32_t f = 0; f < 4; ++f) {
    uint8_t key = f % 2 == 0 ? 2 : 0;
    // A keyframe in three slices, then a packet holding two whole frames.
    for (const Bytes& slice : rv_frame(3000, uint8_t(3 * f), f * 80, true, 1000))
      sliced.push_back({0, f * 80, key, slice});
    sliced.push_back(
        {0, f * 80 + 40, key, rv_packed({{200, f * 80 + 40}, {150, f * 80 + 60}}, uint8_t(3 * f + 1), true)});
  }
  std::vector<CustomPacket> dense;
  for (uint32_t t = 0; t < 5000; t += 139) dense.push_back({0, t, 2, ac3_payload(278)});
  return {
      {"RealVideo 4: the first slice of each keyframe, and packed keyframes",
       vido_header("RV40", 25 << 16),
       kVideo,
       sliced,
       {0, 40, 160, 200}},
      {"cook: every block start, blocks being over a second apart",
       ra5_header(),
       kAudio,
       blocks(4, 14, 2275, 651),
       {0, 2275, 4550, 6825}},
      {"AC-3 flagged every 139 ms: about one a second",
       ra5_header(audio("Int0", "dnet", 1, 278, 119725)),
       kAudio,
       dense,
       {0, 1112, 2224, 3336, 4448}},
  };
}

TEST(Timing, IndexRecordsPerCodecFamily) {
  for (const IndexCase& c : index_cases()) {
    SCOPED_TRACE(c.name);
    BuiltFile f = build_custom({{0, c.mime, c.codec}}, c.packets, {0});
    Reader in(f.bytes.data(), f.bytes.size());
    Headers h;
    ASSERT_EQ(read_headers(in, h), HeaderVerdict::Ok);
    Scan s = scan_packets(in, h);
    ASSERT_EQ(s.packets, c.packets.size());
    IndexBuilder b;
    ASSERT_TRUE(b.build(in, h, s));
    std::vector<uint8_t> chunk = b.chunks(h, 0);
    std::vector<uint32_t> got;
    for (size_t at = 20; at + 14 <= chunk.size(); at += 14) got.push_back(get32(chunk, at + 2));
    EXPECT_EQ(got, c.records);
  }
}

// A stream's first packet stamped after the rest; the packets of its stream
// that show it lie past more damaged places than the scan looks through,
// and the repair takes the damage out. -f looks again unless its scan
// settled, and what it leaves must be sound.
TEST(Timing, ATimeJudgedAcrossDamageIsJudgedAgain) {
  constexpr uint32_t kGroups = 18, kPerGroup = 4;  // a damaged place after each group
  std::vector<CustomPacket> ps = {{0, 2300, 2, filled(40)}};
  for (uint32_t k = 0; k < kGroups * kPerGroup; ++k) ps.push_back({1, 2300 + k, 2, filled(40)});
  for (uint32_t t = 1100; t < 1400; t += 40) ps.push_back({0, t, 2, filled(40)});
  BuiltFile f = build_custom({{0, "application/x-pn-realevent", {}}, {1, "application/x-pn-realevent", {}}},
                             ps, {1400, 2400});
  for (size_t i = kGroups * kPerGroup; i >= 1; i -= kPerGroup) {
    uint64_t at = f.packets[i].offset + f.packets[i].length;
    f.bytes.insert(f.bytes.begin() + long(at), 30, 0xA5);
  }
  Pipeline p = run_pipeline(f.bytes);
  ASSERT_EQ(p.s.damaged.size(), kGroups);
  std::vector<uint8_t> now = p.out;
  for (int round = 0; round < 3 && !p.s.settled() && !now.empty(); ++round) {
    p = run_pipeline(now);
    if (p.plan.changes) now = p.out;
  }
  Pipeline last = run_pipeline(now);
  EXPECT_FALSE(last.plan.changes) << findings_text(Lang::En, last.plan.found);
}

// The cook header the tests build is the one RealProducer 8.5 wrote.
TEST(Timing, CookHeaderIsTheRealOne) {
  std::ifstream in(VOK_REALDATA "/producer85-cook.rm", std::ios::binary);
  if (!in) GTEST_SKIP() << "no " VOK_REALDATA;
  Bytes file((std::istreambuf_iterator<char>(in)), {});
  Bytes ours = ra5_header();
  auto at = std::search(file.begin(), file.end(), ours.begin(), ours.end());
  EXPECT_NE(at, file.end());
}

}  // namespace
