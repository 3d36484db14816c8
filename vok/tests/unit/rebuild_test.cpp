// Headers rebuilt from the packets of a file whose head is gone: a codec the
// packets determine comes back as its encoder set it, and the repair reads
// as sound; where the packets fit several settings, or none, nothing is made.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "analysis.h"
#include "header_rebuild.h"
#include "repair_write.h"
#include "rm_builder.h"

namespace {

// Audio packets of `w` bytes, a block of `h` flagged on its first, each
// stamped with its own time as Helix does; the head before them zeroed.
BuiltFile head_lost(const Bytes& codec, uint16_t w, uint16_t h, uint32_t packet_ms, int packets,
                    std::function<void(Bytes&, int)> fill) {
  std::vector<CustomPacket> ps;
  for (int i = 0; i < packets; ++i) {
    Bytes payload(w);
    for (size_t k = 0; k < w; ++k) payload[k] = uint8_t((i * 131 + k * 7) % 251);
    fill(payload, i);
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
  return head_lost(ra5_header(r), 278, 1, 139, 300, [](Bytes& p, int) {
    const uint8_t frame[] = {0x77, 0x0B, 0x12, 0x34, 0x50, 0x48, 0x00, 0x44};
    std::copy(frame, frame + 8, p.begin());
  });
}

// The payloads of stream 0 of a real producer's file, in their order.
std::vector<Bytes> real_payloads(const char* name) {
  std::ifstream in(std::string(VOK_REALDATA "/") + name, std::ios::binary);
  Bytes f((std::istreambuf_iterator<char>(in)), {});
  std::vector<Bytes> out;
  const char data[] = "DATA";
  auto q = std::search(f.begin(), f.end(), data, data + 4);
  for (size_t at = q == f.end() ? f.size() : size_t(q - f.begin()) + 18; at + 12 <= f.size();) {
    uint16_t length = uint16_t(f[at + 2] << 8 | f[at + 3]);
    if (f[at] != 0 || length < 12 || at + length > f.size()) break;
    if (f[at + 4] == 0 && f[at + 5] == 0)
      out.emplace_back(f.begin() + long(at) + 12, f.begin() + long(at) + length);
    at += length;
  }
  return out;
}

// Blocks of a real producer's cook packets, under headers of the setting
// they were coded with and a partner alike in every size; after `quiet`
// packets of frames that code nothing, as a film may open.
BuiltFile real_cook(const char* name, const Ra5& r, uint32_t packet_ms, int quiet = 0, int blocks = 8) {
  std::vector<Bytes> real = real_payloads(name);
  return head_lost(
      ra5_header(r), r.frame_size, r.sub_packet_h, packet_ms, quiet + blocks * r.sub_packet_h,
      [real, quiet](Bytes& p, int i) {
        static const uint8_t kZeroed[4] = {0x37, 0xC5, 0x11, 0xF2};  // all bits clear, unscrambled
        for (size_t k = 0; k < p.size(); ++k) p[k] = kZeroed[k % 4];
        if (!real.empty() && i >= quiet) p = real[size_t(i - quiet) % real.size()];
      });
}

// Zeroed up to its packet `lost`, the packets before it gone.
BuiltFile head_zeroed(BuiltFile f, size_t lost = 0) {
  std::fill(f.bytes.begin(), f.bytes.begin() + long(f.packets[lost].offset), 0);
  f.packets.erase(f.packets.begin(), f.packets.begin() + long(lost));
  return f;
}

struct RebuildCase {
  const char* name;
  std::function<BuiltFile()> make;
  const char* said;  // what the rebuilt headers are said to be; null: none are made
  const char* alike;
  uint16_t rate = 0, channels = 0, h = 0;  // of the audio stream rebuilt
  uint16_t flavor = 0;
  const char* real = nullptr;  // the real producer's file its payloads come from
};

const auto kAsIs = [](Bytes&, int) {};
// Bytes of no codec, as encrypted or foreign payloads are.
std::function<void(Bytes&, int)> random_bytes(uint32_t seed) {
  return [seed](Bytes& p, int i) {
    uint32_t x = 2463534242u + uint32_t(i) * 7919u + seed;
    for (uint8_t& b : p) x ^= x << 13, x ^= x >> 17, x ^= x << 5, b = uint8_t(x);
  };
}

const RebuildCase kCases[] = {
    {"AC-3", dnet, "AC-3 11.025 kHz 3 channels", "", 11025, 3, 1},
    {"cook at 96 kbps, two channels coded apart",
     [] { return head_lost(ra5_header(cook(13, 834, 30, 278, 44100, 2)), 834, 30, 70, 120, kAsIs); },
     "cook 44.1 kHz stereo", "", 44100, 2, 30, 13},
    {"cook at 8 kbps",
     [] { return head_lost(ra5_header(cook(0, 288, 8, 32, 8000, 1)), 288, 8, 288, 64, kAsIs); },
     "cook 8 kHz mono", "", 8000, 1, 8},
    // 96 kbps joint stereo and its surround variant block alike; frames
    // that are not cook's do not tell them apart, a real encoder's do.
    {"cook at 96 kbps joint stereo",
     [] { return head_lost(ra5_header(cook(25, 1400, 16, 280, 44100, 2)), 1400, 16, 116, 64, kAsIs); },
     nullptr, "cook flavours 25 28"},
    {"Helix's cook at 96 kbps joint stereo",
     [] { return real_cook("helix10-cook.rm", cook(25, 1400, 16, 280, 44100, 2), 116); },
     "cook 44.1 kHz stereo", "", 44100, 2, 16, 25, "helix10-cook.rm"},
    {"RealProducer's cook at 32 kbps, 47 bands",
     [] { return real_cook("producer85-cook.rm", cook(16, 651, 14, 93, 44100, 1), 163); },
     "cook 44.1 kHz mono", "", 44100, 1, 14, 16, "producer85-cook.rm"},
    {"RealProducer's cook after a quiet opening",
     [] { return real_cook("producer85-cook.rm", cook(16, 651, 14, 93, 44100, 1), 163, 70); },
     "cook 44.1 kHz mono", "", 44100, 1, 14, 16, "producer85-cook.rm"},
    {"Helix's cook, one block long",
     [] { return real_cook("helix10-cook.rm", cook(25, 1400, 16, 280, 44100, 2), 116, 0, 1); },
     "cook 44.1 kHz stereo", "", 44100, 2, 16, 25, "helix10-cook.rm"},
    {"one block of frames that are not cook's",
     [] { return head_lost(ra5_header(cook(0, 288, 8, 32, 8000, 1)), 288, 8, 288, 8, kAsIs); }, nullptr, ""},
    {"random bytes blocked as 64 kbps cook",
     [] { return head_lost(ra5_header(cook(6, 744, 20, 186, 44100, 1)), 744, 20, 93, 400, random_bytes(0)); },
     nullptr, "cook flavours 6 12"},
    {"random bytes blocked as 96 kbps joint stereo",
     [] {
       return head_lost(ra5_header(cook(25, 1400, 16, 280, 44100, 2)), 1400, 16, 116, 400, random_bytes(0));
     },
     nullptr, "cook flavours 25 28"},
    {"random bytes in one block",
     [] { return head_lost(ra5_header(cook(2, 564, 8, 47, 22050, 1)), 564, 8, 0, 8, random_bytes(4)); },
     nullptr, ""},
    {"cook whose blocks take another time",
     [] { return head_lost(ra5_header(cook(13, 834, 30, 278, 44100, 2)), 834, 30, 90, 120, kAsIs); }, nullptr,
     ""},
    {"RealVideo 4", [] { return head_zeroed(build_rv40(5, 5)); },
     "RealVideo 4 640\xC3\x97"
     "480",
     ""},
    {"RealVideo 4 from frames before a keyframe", [] { return head_zeroed(build_rv40(5, 5), 3); },
     "RealVideo 4 640\xC3\x97"
     "480",
     ""},
    {"RealVideo 4, three frames to a packet", [] { return head_zeroed(build_rv40(5, 5, 3)); },
     "RealVideo 4 640\xC3\x97"
     "480",
     ""},
    {"RealVideo 4, every packet flagged",
     [] {
       BuiltFile f = build_rv40();
       for (const BuiltPacket& p : f.packets) f.bytes[p.offset + 11] |= 2;
       return head_zeroed(f);
     },
     "RealVideo 4 640\xC3\x97"
     "480",
     ""},
    {"RealVideo 4 whose keyframes name two sizes", [] { return head_zeroed(build_rv40(4, 5)); }, nullptr, ""},
    // RealVideo 3 keeps its size in the headers alone.
    {"RealVideo 3", [] { return head_zeroed(build_helix()); }, nullptr, ""},
    {"packets of no codec known", [] { return head_lost(ra5_header(), 500, 1, 40, 100, kAsIs); }, nullptr,
     ""},
};

TEST(Rebuild, HeadersComeBackWhereThePacketsDetermineThem) {
  for (const RebuildCase& c : kCases) {
    SCOPED_TRACE(c.name);
    if (c.real && real_payloads(c.real).empty()) {
      ADD_FAILURE() << "no " VOK_REALDATA "/" << c.real;
      continue;
    }
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
    // Made headers carry no durations: the repair gives the packets' own.
    const char prop[] = "PROP";
    size_t at = size_t(std::search(out.begin(), out.end(), prop, prop + 4) - out.begin());
    ASSERT_LT(at, out.size());
    EXPECT_GT(get32(out, at + field::kPropDuration), f.packets.back().ts);
    Reader again_in(out.data(), out.size());
    Analysis again = analyse(again_in);
    ASSERT_EQ(again.outcome, Outcome::Ok);
    EXPECT_TRUE(again.h.intact());
    EXPECT_FALSE(again.plan.changes);
    EXPECT_EQ(again.scan.packets, f.packets.size());
    const Codec& codec = again.h.streams[0].codec;
    if (codec.kind == CodecKind::Video) {
      EXPECT_EQ(codec.fps, 25u << 16);
      continue;
    }
    EXPECT_EQ(codec.sample_rate, c.rate);
    EXPECT_EQ(codec.channels, c.channels);
    EXPECT_EQ(codec.sub_packet_h, c.h);
    EXPECT_EQ(codec.flavor, c.flavor);
  }
}

}  // namespace
