// Small, finalised RealMedia files made in memory: a RealVideo stream 0 at
// 25 frames a second with a keyframe every 12 frames, and an audio stream 1
// with every packet flagged, as an encoder writes them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct BuiltPacket {
  uint64_t offset;
  uint16_t length;
  uint16_t stream;
  uint32_t ts;
  uint8_t flags;
};

struct BuiltFile {
  std::vector<uint8_t> bytes;
  std::vector<BuiltPacket> packets;
  uint64_t prop = 0, data = 0, mdpr[2] = {0, 0};
};

struct BuildOptions {
  int seconds = 8;
  bool trailer = false;      // a writer's 18-too-large DATA size and 8 zero bytes
  bool version1 = false;     // 13-byte packet headers
  std::string logical_mime;  // an extra logical MDPR, when not empty
  std::string audio_mime = "audio/x-pn-realaudio";
};

BuiltFile build_rm(const BuildOptions& o = BuildOptions());

uint32_t get32(const std::vector<uint8_t>& b, uint64_t at);
void put32(std::vector<uint8_t>& b, uint64_t at, uint32_t v);
