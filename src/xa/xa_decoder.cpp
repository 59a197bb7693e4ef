#include "xa/xa_decoder.h"

#include "common/sector.h"

namespace quarnel {
namespace {

constexpr int kUnitSamples = SOUND_UNIT_SAMPLES;
constexpr int kUnitPairs = 4;
constexpr int kGroupBytes = SOUND_GROUP_SIZE;
constexpr int kGroupSamples = SOUND_GROUP_SAMPLES;
constexpr int kGroupsPerSector = SOUND_GROUPS_PER_SECTOR;
constexpr int kParamOffset = SOUND_PARAMETERS_OFFSET;
constexpr int kWordsOffset = SOUND_WORDS_OFFSET;
constexpr int kWordBytes = SOUND_WORD_SIZE;

// Prediction weights in 1/64. Filter numbers past the table mark a unit that is skipped.
constexpr int kFilterCount = 5;
constexpr int32_t kFilterK0[kFilterCount] = {0, 60, 115, 98, 122};
constexpr int32_t kFilterK1[kFilterCount] = {0, 0, -52, -55, -60};

// Decodes the unit whose nibbles sit at `nibbleShift` in byte `bytes[0]` of each sample word,
// writing every `stride`-th slot of `out`. history[0] is the newest sample, history[1] the one
// before. Returns false, leaving output and history alone, when the unit is skipped.
bool DecodeUnit(const XaDecoder& decoder, uint8_t param, const uint8_t* bytes, int nibbleShift,
                int32_t* history, int16_t* out, int stride) {
  const int filter = (param >> 4) & 7;
  if (filter >= kFilterCount) return false;
  const int32_t* row = decoder.XaShiftTable[param & 15];
  const int32_t k0 = kFilterK0[filter];
  const int32_t k1 = kFilterK1[filter];
  int32_t h1 = history[0];
  int32_t h2 = history[1];
  for (int t = 0; t < kUnitSamples; ++t) {
    const int32_t d = row[(bytes[t * kWordBytes] >> nibbleShift) & 15];
    // History is always a clamped sample, so the weighted sum fits; the one shift comes after it.
    const int32_t prediction = (k0 * h1 + k1 * h2) >> 6;
    // Shift rows 13-15 can overflow here; the sum wraps in 32 bits.
    int32_t x = static_cast<int32_t>(static_cast<uint32_t>(prediction) + static_cast<uint32_t>(d));
    if (x > 32767) x = 32767;
    if (x < -32768) x = -32768;
    out[t * stride] = static_cast<int16_t>(x);
    h2 = h1;
    h1 = x;
  }
  history[0] = h1;
  history[1] = h2;
  return true;
}

}  // namespace

void InitXaDecoder(XaDecoder& decoder) {
  for (int r = 0; r < 16; ++r) {
    // Rows 13-15 would need a negative shift; taking the count modulo 32 gives the wrapped
    // values of s * 2^31, 2^30, 2^29 that the unused shift values are pinned to.
    const int amount = (12 - r) & 31;
    for (int n = 0; n < 16; ++n) {
      const int32_t s = n < 8 ? n : n - 16;
      decoder.XaShiftTable[r][n] = static_cast<int32_t>(static_cast<uint32_t>(s) << amount);
    }
  }
  for (int32_t& value : decoder.XaDecoderState) value = 0;
}

void DecodeXaGroupMono(XaDecoder& decoder, int16_t* out, const uint8_t* group) {
  const uint8_t* params = group + kParamOffset;
  const uint8_t* words = group + kWordsOffset;
  int32_t* history = &decoder.XaDecoderState[0];
  // A skipped unit does not advance the output, so the units behind it move up.
  for (int j = 0; j < kUnitPairs; ++j) {
    if (DecodeUnit(decoder, params[2 * j], words + j, 0, history, out, 1)) out += kUnitSamples;
    if (DecodeUnit(decoder, params[2 * j + 1], words + j, 4, history, out, 1)) {
      out += kUnitSamples;
    }
  }
}

void DecodeXaGroupStereo(XaDecoder& decoder, int16_t* out, const uint8_t* group) {
  const uint8_t* params = group + kParamOffset;
  const uint8_t* words = group + kWordsOffset;
  for (int j = 0; j < kUnitPairs; ++j) {
    // The pair base is fixed, so a skipped unit leaves only its own slots untouched.
    int16_t* base = out + 2 * kUnitSamples * j;
    DecodeUnit(decoder, params[2 * j], words + j, 0, &decoder.XaDecoderState[0], base, 2);
    DecodeUnit(decoder, params[2 * j + 1], words + j, 4, &decoder.XaDecoderState[2], base + 1, 2);
  }
}

void DecodeXaSectorMono(XaDecoder& decoder, int16_t* out, const uint8_t* sectorData) {
  for (int g = 0; g < kGroupsPerSector; ++g) {
    DecodeXaGroupMono(decoder, out + kGroupSamples * g, sectorData + kGroupBytes * g);
  }
}

void DecodeXaSectorStereo(XaDecoder& decoder, int16_t* out, const uint8_t* sectorData) {
  for (int g = 0; g < kGroupsPerSector; ++g) {
    DecodeXaGroupStereo(decoder, out + kGroupSamples * g, sectorData + kGroupBytes * g);
  }
}

}  // namespace quarnel
