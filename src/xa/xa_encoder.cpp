#include "xa/xa_encoder.h"

#include <cstring>

#include "common/sector.h"

namespace quarnel {

namespace {

constexpr int UNIT_SAMPLES = SOUND_UNIT_SAMPLES;
constexpr int UNITS = SOUND_UNITS_PER_GROUP;
constexpr int PARAM_OFFSET = SOUND_PARAMETERS_OFFSET;
constexpr int WORDS_OFFSET = SOUND_WORDS_OFFSET;
constexpr int GROUP_SAMPLES = SOUND_GROUP_SAMPLES;

// The four filters every player knows; the decoder's fifth is never chosen.
constexpr int FILTERS = 4;
constexpr int32_t K0[FILTERS] = {0, 60, 115, 98};
constexpr int32_t K1[FILTERS] = {0, 0, -52, -55};
constexpr int MAX_SHIFT = 12;

struct UnitChoice {
  uint8_t param;
  uint8_t nibbles[UNIT_SAMPLES];
  int32_t h1, h2;
};

int32_t Clamp16(int64_t x) {
  return x > 32767 ? 32767 : x < -32768 ? -32768 : int32_t(x);
}

// Encodes 28 samples taken every `stride`-th from `in` against the history (h1 newest).
UnitChoice EncodeUnit(const int16_t* in, int stride, int32_t h1, int32_t h2) {
  UnitChoice best{};
  int64_t bestError = -1;
  for (int filter = 0; filter < FILTERS; ++filter) {
    for (int shift = 0; shift <= MAX_SHIFT; ++shift) {
      const int scaleBits = 12 - shift;
      UnitChoice c{};
      c.param = static_cast<uint8_t>((filter << 4) | shift);
      int32_t a = h1, b = h2;
      int64_t error = 0;
      for (int t = 0; t < UNIT_SAMPLES && (bestError < 0 || error < bestError); ++t) {
        const int32_t prediction = (K0[filter] * a + K1[filter] * b) >> 6;
        const int32_t residual = in[t * stride] - prediction;
        // Round to the nearest step, then keep the nibble in range.
        int32_t q = (residual + (scaleBits > 0 ? (1 << (scaleBits - 1)) : 0)) >> scaleBits;
        if (q > 7) q = 7;
        if (q < -8) q = -8;
        const int32_t y = Clamp16(int64_t{prediction} + (int64_t{q} << scaleBits));
        const int64_t e = int64_t{in[t * stride]} - y;
        error += e * e;
        c.nibbles[t] = static_cast<uint8_t>(q & 15);
        b = a;
        a = y;
      }
      if (bestError < 0 || error < bestError) {
        bestError = error;
        c.h1 = a;
        c.h2 = b;
        best = c;
      }
    }
  }
  return best;
}

void PutUnit(uint8_t* group, int unit, const UnitChoice& c) {
  group[PARAM_OFFSET + unit] = c.param;
  // The parameters are repeated: units 0-3 in bytes 0-3, units 4-7 in bytes 12-15.
  group[unit < 4 ? unit : unit + 8] = c.param;
  const int j = unit / 2;
  const int shift = unit % 2 ? 4 : 0;
  for (int t = 0; t < UNIT_SAMPLES; ++t) {
    uint8_t& byte = group[WORDS_OFFSET + 4 * t + j];
    byte = static_cast<uint8_t>((byte & ~(15 << shift)) | (c.nibbles[t] << shift));
  }
}

}  // namespace

void EncodeXaGroupMono(XaEncoder& encoder, uint8_t* group, const int16_t* samples) {
  std::memset(group, 0, SOUND_GROUP_SIZE);
  for (int u = 0; u < UNITS; ++u) {
    const UnitChoice c =
        EncodeUnit(samples + u * UNIT_SAMPLES, 1, encoder.history[0], encoder.history[1]);
    PutUnit(group, u, c);
    encoder.history[0] = c.h1;
    encoder.history[1] = c.h2;
  }
}

void EncodeXaGroupStereo(XaEncoder& encoder, uint8_t* group, const int16_t* samples) {
  std::memset(group, 0, SOUND_GROUP_SIZE);
  for (int j = 0; j < UNITS / 2; ++j) {
    const int16_t* pairs = samples + 2 * UNIT_SAMPLES * j;
    const UnitChoice left = EncodeUnit(pairs, 2, encoder.history[0], encoder.history[1]);
    const UnitChoice right = EncodeUnit(pairs + 1, 2, encoder.history[2], encoder.history[3]);
    PutUnit(group, 2 * j, left);
    PutUnit(group, 2 * j + 1, right);
    encoder.history[0] = left.h1;
    encoder.history[1] = left.h2;
    encoder.history[2] = right.h1;
    encoder.history[3] = right.h2;
  }
}

void EncodeXaSectorMono(XaEncoder& encoder, uint8_t* sectorData, const int16_t* samples) {
  for (size_t g = 0; g < SOUND_GROUPS_PER_SECTOR; ++g) {
    EncodeXaGroupMono(encoder, sectorData + g * SOUND_GROUP_SIZE, samples + g * GROUP_SAMPLES);
  }
}

void EncodeXaSectorStereo(XaEncoder& encoder, uint8_t* sectorData, const int16_t* samples) {
  for (size_t g = 0; g < SOUND_GROUPS_PER_SECTOR; ++g) {
    EncodeXaGroupStereo(encoder, sectorData + g * SOUND_GROUP_SIZE, samples + g * GROUP_SAMPLES);
  }
}

}  // namespace quarnel
