// Whether a cook frame reads as its encoder wrote it under a given setting.
// Settings that agree in every size a packet shows still code their frames
// differently (bands, samples, joint stereo). An encoder spends a frame's
// bits to its end; read under the wrong setting, the frame soon asks for a
// code that does not exist, for more bits than it has, or ends early. A
// quiet frame fills under none, so only frames of sound tell.
#pragma once
#include <cstdint>

struct CookCoding {
  uint16_t coded;    // bytes per frame
  uint16_t samples;  // per frame and channel
  uint8_t subbands;
  uint8_t js_start, js_bits;  // joint stereo's first coupled band and value width; 0 where not joint
  bool two_apart;             // two channels, each in its half of the frame
};

// True where every code of `frame` (`c.coded` bytes) is one the format has,
// every value is in range, and its coefficients end in the frame's last bits.
bool cook_frame_fills(const uint8_t* frame, const CookCoding& c);
