#include "reference_fit.h"

Fit reference_fit(const Headers& ref, const Scan& ref_scan, const Scan& file_scan) {
  for (size_t i = 0; i < ref.streams.size(); ++i) {
    const StreamStats &want = ref_scan.stats[i], &got = file_scan.stats[i];
    uint16_t n = ref.streams[i].number;
    if (!ref.streams[i].physical || want.packets == 0) continue;
    if (got.packets == 0 && got.incomplete == 0) return {Misfit::NoPackets, n};
    if (got.packets == 0) continue;  // its packets are there, but no unit is whole to judge by
    // Another encoding shows in its packet sizes long before it shows in
    // the picture: the average may differ by half, the largest by twice.
    uint64_t want_avg = want.payload / want.packets, got_avg = got.payload / got.packets;
    if (got_avg * 2 < want_avg || got_avg > want_avg * 2 || got.max_payload > 2ull * want.max_payload + 64)
      return {Misfit::Sizes, n};
    if (want.keyed != got.keyed) return {Misfit::Keyframes, n};
  }
  return {};
}
