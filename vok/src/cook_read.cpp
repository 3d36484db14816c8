// The cook frame's layout read as a decoder reads it, up to the last bit
// the coefficients take; nothing is decoded to sound.
#include "cook_read.h"

#include <algorithm>
#include <vector>

#include "bit_reader.h"
#include "cook_tables.h"

namespace {

// A table's codes sorted by length, then bits, for a search per bit read.
struct Codes {
  std::vector<uint32_t> keys;  // length << 16 | bits
  std::vector<int> symbols;
  explicit Codes(const cook::Table& t) {
    std::vector<std::pair<uint32_t, int>> all;
    for (int s = 0; s < t.size; ++s)
      if (t.lengths[s]) all.emplace_back(uint32_t(t.lengths[s]) << 16 | t.codes[s], s);
    std::sort(all.begin(), all.end());
    for (const auto& a : all) keys.push_back(a.first), symbols.push_back(a.second);
  }
};

struct AllCodes {
  std::vector<Codes> envelope, vectors, coupling;
  AllCodes() {
    for (const cook::Table& t : cook::kEnvelope) envelope.emplace_back(t);
    for (const cook::Table& t : cook::kVectors) vectors.emplace_back(t);
    for (const cook::Table& t : cook::kCoupling) coupling.emplace_back(t);
  }
};

const AllCodes& codes() {
  static const AllCodes all;
  return all;
}

constexpr int kMostBands = 53;    // as many as a decoder takes
constexpr int kSpare = 16;        // bits an encoder that filled the frame may leave
constexpr int kMostBytes = 1400;  // of a frame; no setting codes more

// A code of `t`, or -1 where its bits are none of them.
int code(BitReader& b, const Codes& t) {
  uint32_t v = 0;
  for (uint32_t len = 1; len <= 16; ++len) {
    v = v << 1 | b.bit();
    if (b.over) return -1;
    auto k = std::lower_bound(t.keys.begin(), t.keys.end(), len << 16 | v);
    if (k != t.keys.end() && *k == (len << 16 | v)) return t.symbols[size_t(k - t.keys.begin())];
  }
  return -1;
}

bool gains(BitReader& b) {
  int n = 0;
  while (b.bit() && !b.over) ++n;
  for (int i = 0; i < n; ++i)
    if (b.get(3), b.bit()) b.get(4);
  return !b.over;
}

bool coupling(BitReader& b, const CookCoding& c) {
  int start = cook::kCouplingBand[c.js_start], end = cook::kCouplingBand[c.subbands - 1];
  bool coded = b.bit() != 0;
  for (int i = start; i <= end; ++i) {
    int v = coded ? code(b, codes().coupling[size_t(c.js_bits - 2)]) : int(b.get(c.js_bits));
    if (v < 0 || (!coded && v == (1 << c.js_bits) - 1)) return false;
  }
  return !b.over;
}

bool envelope(BitReader& b, int bands, int js_start, int* q) {
  q[0] = int(b.get(6)) - 6;
  for (int i = 1; i < bands; ++i) {
    int t = i >= js_start * 2 ? i - js_start : std::max(i / 2, 1);
    int step = code(b, codes().envelope[size_t(std::min(t, 13) - 1)]);
    if (step < 0) return false;
    q[i] = q[i - 1] + step - 12;
    if (q[i] > 63 || q[i] < -63) return false;
  }
  return !b.over;
}

const int kExpBits[8] = {52, 47, 43, 37, 29, 22, 16, 0};

// The bands' categories, as the decoder derives them from the envelope and
// the bits left, then moved by the frame's `vectors`.
void categorize(const int* q, int bands, int bits_left, int samples, int steps, int vectors, int* cat) {
  if (bits_left > samples) bits_left = samples + (bits_left - samples) * 5 / 8;
  int bias = -32;
  for (int i = 32; i > 0; i /= 2) {
    int n = 0;
    for (int j = 0; j < bands; ++j) n += kExpBits[std::clamp((i - q[j] + bias) / 2, 0, 7)];
    if (n >= bits_left - 32) bias += i;
  }
  int up[kMostBands], down[kMostBands], order[256] = {};
  int n = 0;
  for (int i = 0; i < bands; ++i) {
    up[i] = down[i] = std::clamp((bias - q[i]) / 2, 0, 7);
    n += kExpBits[up[i]];
  }
  int bits_up = n, bits_down = n, first = steps, last = steps;
  for (int j = 1; j < steps; ++j) {
    bool raise = bits_up + bits_down > 2 * bits_left;
    int best = raise ? -999999 : 999999, index = -1;
    for (int i = 0; i < bands; ++i) {
      int e = raise ? up[i] : down[i];
      if (raise ? e >= 7 : e <= 0) continue;
      int v = -2 * e - q[i] + bias;
      if (raise ? v >= best : v < best) best = v, index = i;
    }
    if (index < 0) break;
    if (raise) {
      order[last++] = index;
      bits_up -= kExpBits[up[index]] - kExpBits[up[index] + 1];
      ++up[index];
    } else {
      order[--first] = index;
      bits_down -= kExpBits[down[index]] - kExpBits[down[index] - 1];
      --down[index];
    }
  }
  std::copy(down, down + bands, cat);
  for (int i = 0; i < vectors; ++i) ++cat[order[first + i]];
}

const int kInvRadix[7] = {74899, 104858, 149797, 209716, 262144, 349526, 524288};
const int kMaxLevel[7] = {13, 9, 6, 4, 3, 2, 1};
const int kPerVector[7] = {2, 2, 2, 4, 4, 5, 5};
const int kVectorsPerBand[7] = {10, 10, 10, 5, 5, 4, 4};

// A band's coefficients: a code per vector and a sign per coefficient not zero.
bool band(BitReader& b, int cat) {
  for (int i = 0; i < kVectorsPerBand[cat]; ++i) {
    int v = code(b, codes().vectors[size_t(cat)]);
    if (v < 0) return false;
    for (int j = 0; j < kPerVector[cat]; ++j) {
      int rest = v * kInvRadix[cat] / 0x100000;
      if (v - rest * (kMaxLevel[cat] + 1)) b.bit();
      v = rest;
    }
  }
  return !b.over;
}

bool channel(BitReader& b, const CookCoding& c, int bands, int samples) {
  int q[kMostBands], cat[kMostBands];
  if (!gains(b) || (c.js_bits && !coupling(b, c)) || !envelope(b, bands, c.js_start, q)) return false;
  int log2_steps = c.js_bits ? (samples > 512 ? 7 : samples > 256 ? 6 : 5) : 5;
  int vectors = int(b.get(log2_steps));
  if (b.over) return false;
  categorize(q, bands, int(b.left()), samples, 1 << log2_steps, vectors, cat);
  for (int i = 0; i < bands; ++i)
    if (cat[i] > 7 || (cat[i] < 7 && !band(b, cat[i]))) return false;
  return b.left() < size_t(kSpare);
}

}  // namespace

bool cook_frame_fills(const uint8_t* frame, const CookCoding& c) {
  static const uint8_t kKey[4] = {0x37, 0xC5, 0x11, 0xF2};
  int bands = c.subbands + c.js_start, halves = c.two_apart ? 2 : 1, size = c.coded / halves;
  // As the decoder refuses: too many bands, a coupling table it cannot
  // build (6 bits), a frame whose halves are not alike.
  if (bands > kMostBands || c.subbands < 1 || c.subbands > 50 || c.js_start > 50 || c.js_bits > 5 ||
      (c.js_bits && c.js_bits < 2) || size > kMostBytes || (c.two_apart && c.coded % 2))
    return false;
  for (int h = 0; h < halves; ++h) {
    uint8_t bytes[kMostBytes];
    for (int i = 0; i < size; ++i) bytes[i] = frame[h * size + i] ^ kKey[i % 4];
    BitReader b(bytes, size_t(size));
    if (!channel(b, c, bands, c.samples)) return false;
  }
  return true;
}
