// Seeds for the parser fuzz target in the layouts real producers write, made
// by the unit tests' builders: Helix Producer's RealVideo 3 and cook (frames
// in slices and packed, a time on every packet of a block), a silent
// RealProducer block, RealVideo 4 with B-frames and with its size in its
// keyframes, and the audio codecs' own
// packet layouts. Written at test time, never kept in the repository.
//
//   make_seeds FOLDER
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "rm_builder.h"

namespace {

bool write(const std::string& path, const Bytes& b) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(b.data(), 1, b.size(), f) == b.size();
  return fclose(f) == 0 && ok;
}

Ra5 audio(const char* interleaver, const char* codec, uint16_t h, uint16_t w, uint32_t bpm) {
  Ra5 r;
  r.interleaver = interleaver, r.fourcc = codec, r.sub_packet_h = h, r.frame_size = w,
  r.bytes_per_minute = bpm;
  return r;
}

// RealVideo 4 frames in decode order, B-frames stamped back, as FFmpeg's
// demuxer expects them; a keyframe first.
BuiltFile rv40_bframes() {
  std::vector<CustomPacket> p;
  uint8_t picture = 0;
  for (uint32_t ts : {0, 100, 33, 66, 200, 133, 166, 300, 233, 266, 400, 333, 366})
    for (const Bytes& part : rv_frame(ts % 100 ? 300 : 2500, picture++, ts, true, 1000))
      p.push_back({0, ts, uint8_t(ts == 0 ? 2 : 0), part});
  return build_custom({{0, "video/x-pn-realvideo", vido_header("RV40", 30 << 16)}}, p, {400});
}

// An audio stream of `count` packets from `payload`, every `ms`, every
// `per_block`th flagged.
BuiltFile audio_file(const Bytes& codec, int count, uint32_t ms, int per_block, const Bytes& payload) {
  std::vector<CustomPacket> p;
  for (int i = 0; i < count; ++i)
    p.push_back({0, uint32_t(i / per_block) * ms, uint8_t(i % per_block ? 0 : 2), payload});
  return build_custom({{0, "audio/x-pn-realaudio", codec}}, p, {uint32_t(count / per_block) * ms});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return fprintf(stderr, "usage: make_seeds FOLDER\n"), 2;
  std::string dir = argv[1];
  Bytes aac = {0x00, 0x20, 0x00, 0x64, 0x00, 0x64};
  aac.resize(aac.size() + 200, 0x21);
  Bytes ac3(278, 0x5A);
  ac3[0] = 0x77, ac3[1] = 0x0B, ac3[4] = 0x50, ac3[5] = 0x48, ac3[7] = 0x20;  // 11.025 kHz mono
  Ra5 sipr = audio("sipr", "sipr", 14, 116, 120000);
  sipr.flavor = 3;
  Ra5 stereo = audio("genr", "cook", 30, 834, 1437000);
  stereo.coded_frame_size = 834, stereo.sub_packet_size = 278, stereo.channels = 2;
  const std::vector<std::pair<const char*, BuiltFile>> seeds = {
      {"helix-rv30-cook.rm", build_helix(24, 12)},
      {"helix-silence.rm", build_helix(16, 8, true)},
      {"rv40-bframes.rm", rv40_bframes()},
      {"rv40-sized.rm", build_rv40()},
      {"producer-cook.rm", audio_file(ra5_header(), 28, 2275, 14, Bytes(651, 0x3C))},
      {"cook-stereo.rm", audio_file(ra5_header(stereo), 60, 2090, 30, Bytes(834, 0x3D))},
      {"sipr.rm", audio_file(ra5_header(sipr), 28, 812, 14, Bytes(116, 0x4D))},
      {"aac.rm", audio_file(ra5_header(audio("vbrs", "raac", 0, 0, 0)), 40, 46, 1, aac)},
      {"dnet.rm", audio_file(ra5_header(audio("Int0", "dnet", 1, 278, 119725)), 40, 139, 1, ac3)},
  };
  // Each again with everything before its packets zeroed: headers to rebuild.
  for (const auto& s : seeds) {
    Bytes headless = s.second.bytes;
    std::fill(headless.begin(), headless.begin() + long(s.second.packets[0].offset), 0);
    if (!write(dir + "/" + s.first, s.second.bytes) || !write(dir + "/headless-" + s.first, headless))
      return perror(s.first), 1;
  }
  return 0;
}
