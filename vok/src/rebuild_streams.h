// What the rebuild of lost headers sees of each stream's packets, and what
// it makes of a stream: shared by the census and by each codec's reading.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace rebuild {

struct Seen {
  uint16_t number = 0;
  uint64_t packets = 0, bytes = 0;
  uint32_t length = 0;  // of every payload, or 0 where they differ
  uint32_t max_length = 0;
  bool all_flagged = true;
  std::vector<uint32_t> times;
  std::vector<bool> flags;
  std::vector<uint8_t> key;     // the start of its first flagged payload
  std::vector<uint8_t> sample;  // payloads from its first on, while they are all one size
  struct Start {
    uint32_t ts;
    std::vector<uint8_t> head;
  };
  std::vector<Start> starts;  // the codec's first bytes in its first frames, where they are video
};

// What is made of a stream: its MDPR's type and codec data.
struct Made {
  std::string name, mime;
  std::vector<uint8_t> codec;
  std::string said;
};

// Big-endian fields and text, appended.
void put16(std::vector<uint8_t>& b, uint16_t v);
void put32(std::vector<uint8_t>& b, uint32_t v);
void put_text(std::vector<uint8_t>& b, const char* s);

// A rate and a channel count, as the summary says them.
std::string khz(uint32_t rate);
std::string channels(uint32_t n);

// The fields versions 4 and 5 of the .ra header share, up to the sub-packet
// size, with the interleaving block `h` packets of `w` bytes; the header's
// own size, set once the rest is written.
void ra_common(std::vector<uint8_t>& b, uint16_t version, uint16_t flavor, uint32_t coded,
               uint32_t per_minute, uint16_t h, uint16_t w, uint16_t sub);
void ra_header_size(std::vector<uint8_t>& b);

// The usual time from one flagged packet to the next; 0 where none follows.
uint32_t block_step(const Seen& s);
// From its first packet's time to its last's.
uint32_t span_ms(const Seen& s);

// Each codec's reading of a stream: true, with `m` made, where the packets
// determine it. `alike` names the settings that fit where several do.
bool dnet(const Seen& s, Made& m);
bool cook(const Seen& s, Made& m, std::string& alike);
bool rv40(const Seen& s, Made& m);

}  // namespace rebuild
