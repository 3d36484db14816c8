// Headers rebuilt from the packets of a file whose head is gone: a codec the
// packets determine comes back as its encoder set it, and the repair reads
// as sound; where the packets fit several settings, or none, nothing is made.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "analysis.h"
#include "header_rebuild.h"
#include "repair_write.h"
#include "rm_builder.h"

namespace {

// Audio packets of `w` bytes, a block of `h` flagged on its first, each
// stamped with its own time as Helix does; the head before them zeroed.
BuiltFile head_lost(const Bytes& codec, uint16_t w, uint16_t h, uint32_t packet_ms, int packets,
                    std::function<void(Bytes&)> fill) {
  std::vector<CustomPacket> ps;
  for (int i = 0; i < packets; ++i) {
    Bytes payload(w);
    for (size_t k = 0; k < w; ++k) payload[k] = uint8_t((i * 131 + k * 7) % 251);
    fill(payload);
    ps.push_back({1, uint32_t(i) * packet_ms, uint8_t(i % h == 0 ? 2 : 0), payload, i / h});
  }
  BuiltFile f = build_custom({{1, "audio/x-pn-realaudio", codec}}, ps, {uint32_t(packets) * packet_ms});
  std::fill(f.bytes.begin(), f.bytes.begin() + long(f.packets[0].offset), 0);
  return f;
}

Ra5 cook(uint16_t flavor, uint16_t w, uint16_t h, uint16_t coded, uint16_t rate, uint16_t channels) {
  Ra5 r;
  r.flavor = flavor, r.coded_frame_size = w, r.frame_size = w, r.sub_packet_h = h, r.sub_packet_size = coded;
  r.sample_rate = rate, r.channels = channels;
  return r;
}

// AC-3 frames with their words byte-swapped, 44.1 kHz at a quarter rate,
// two channels and the low-frequency one.
BuiltFile dnet() {
  Ra5 r = cook(0, 278, 1, 278, 11025, 3);
  r.interleaver = "Int0", r.fourcc = "dnet", r.extradata.clear();
  return head_lost(ra5_header(r), 278, 1, 139, 300, [](Bytes& p) {
    const uint8_t frame[] = {0x77, 0x0B, 0x12, 0x34, 0x50, 0x48, 0x00, 0x44};
    std::copy(frame, frame + 8, p.begin());
  });
}

struct RebuildCase {
  const char* name;
  std::function<BuiltFile()> make;
  const char* said;  // what the rebuilt headers are said to be; null: none are made
  const char* alike;
  uint16_t rate = 0, channels = 0, h = 0;  // of the audio stream rebuilt
};

const auto kAsIs = [](Bytes&) {};

const RebuildCase kCases[] = {
    {"AC-3", dnet, "AC-3 11.025 kHz 3 channels", "", 11025, 3, 1},
    {"cook at 96 kbps, two channels coded apart",
     [] { return head_lost(ra5_header(cook(13, 834, 30, 278, 44100, 2)), 834, 30, 70, 120, kAsIs); },
     "cook 44.1 kHz stereo", "", 44100, 2, 30},
    {"cook at 8 kbps",
     [] { return head_lost(ra5_header(cook(0, 288, 8, 32, 8000, 1)), 288, 8, 288, 64, kAsIs); },
     "cook 8 kHz mono", "", 8000, 1, 8},
    // 96 kbps joint stereo and its surround variant block alike.
    {"cook at 96 kbps joint stereo",
     [] { return head_lost(ra5_header(cook(25, 1400, 16, 280, 44100, 2)), 1400, 16, 116, 64, kAsIs); },
     nullptr, "cook flavours 25 28"},
    {"cook whose blocks take another time",
     [] { return head_lost(ra5_header(cook(13, 834, 30, 278, 44100, 2)), 834, 30, 90, 120, kAsIs); }, nullptr,
     ""},
    {"packets of no codec known", [] { return head_lost(ra5_header(), 500, 1, 40, 100, kAsIs); }, nullptr,
     ""},
};

TEST(Rebuild, HeadersComeBackWhereThePacketsDetermineThem) {
  for (const RebuildCase& c : kCases) {
    SCOPED_TRACE(c.name);
    BuiltFile f = c.make();
    Reader in(f.bytes.data(), f.bytes.size());
    Rebuilt rb;
    ASSERT_EQ(rebuild_headers(in, rb), c.said != nullptr) << rb.said;
    EXPECT_EQ(rb.alike, c.alike);
    if (!c.said) continue;
    EXPECT_EQ(rb.said, c.said);
    Reader made(rb.file.data(), rb.file.size());
    Lender lender;
    lender.in = &made, lender.name = rb.said, lender.rebuilt = true;
    Analysis a = analyse(in, lender);
    ASSERT_EQ(a.outcome, Outcome::Ok);
    EXPECT_EQ(a.scan.packets, f.packets.size());
    std::vector<uint8_t> out;
    Sink sink(out);
    ASSERT_TRUE(write_repaired(in, a.scan, a.plan, sink));
    Reader again_in(out.data(), out.size());
    Analysis again = analyse(again_in);
    ASSERT_EQ(again.outcome, Outcome::Ok);
    EXPECT_TRUE(again.h.intact());
    EXPECT_FALSE(again.plan.changes);
    EXPECT_EQ(again.scan.packets, f.packets.size());
    const Codec& codec = again.h.streams[0].codec;
    EXPECT_EQ(codec.sample_rate, c.rate);
    EXPECT_EQ(codec.channels, c.channels);
    EXPECT_EQ(codec.sub_packet_h, c.h);
  }
}

}  // namespace
