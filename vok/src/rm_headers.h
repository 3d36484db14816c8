// The header chunks of a RealMedia file, from `.RMF` up to the first DATA.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "codec.h"
#include "reader.h"

// Field offsets from the start of their chunk.
namespace field {
constexpr uint32_t kRmfNumHeaders = 14;
constexpr uint32_t kPropMaxBitRate = 10, kPropAvgBitRate = 14, kPropMaxPacket = 18, kPropAvgPacket = 22,
                   kPropNumPackets = 26, kPropDuration = 30, kPropIndexOffset = 38, kPropDataOffset = 42,
                   kPropFlags = 48;
constexpr uint32_t kMdprMaxBitRate = 12, kMdprAvgBitRate = 16, kMdprMaxPacket = 20, kMdprAvgPacket = 24,
                   kMdprDuration = 36;
constexpr uint32_t kDataSize = 4, kDataNumPackets = 10, kDataNext = 14;
constexpr uint32_t kDataHeaderSize = 18;
constexpr uint16_t kPropFlagLive = 4;
}  // namespace field

struct Stream {
  uint64_t chunk = 0;  // offset of its MDPR
  uint16_t number = 0;
  bool physical = false;  // logical streams never carry packets
  bool video = false;
  Codec codec;
  uint32_t max_bit_rate = 0, avg_bit_rate = 0, max_packet = 0, avg_packet = 0, duration = 0;
};

struct Prop {
  uint64_t chunk = 0;
  uint32_t max_bit_rate = 0, avg_bit_rate = 0, max_packet = 0, avg_packet = 0, num_packets = 0, duration = 0,
           index_offset = 0, data_offset = 0;
  uint16_t flags = 0;
};

struct Headers {
  uint32_t num_headers = 0;
  uint32_t header_chunks = 0;  // chunks between .RMF and the first DATA
  Prop prop;
  std::vector<Stream> streams;
  bool multirate = false;
  uint64_t data = 0;  // the first DATA chunk
  uint32_t data_size = 0, data_num_packets = 0, data_next = 0;
};

enum class HeaderVerdict { Ok, NotRealMedia, Damaged, Variant64 };

HeaderVerdict read_headers(Reader& in, Headers& h, std::string& why);

// Index into h.streams of the physical stream with this number, or -1.
int physical_stream(const Headers& h, uint16_t number);
