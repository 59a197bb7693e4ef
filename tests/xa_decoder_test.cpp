#include "xa/xa_decoder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace quarnel {
namespace {

constexpr int kGroupBytes = 128;
constexpr int kGroupSamples = 224;
constexpr int kGroupsPerSector = 18;
constexpr int kSectorSamples = kGroupsPerSector * kGroupSamples;

using Group = std::array<uint8_t, kGroupBytes>;

void SetParam(Group& group, int unit, int shift, int filter) {
  group[4 + unit] = static_cast<uint8_t>(shift | (filter << 4));
}

void SetNibble(Group& group, int unit, int t, int nibble) {
  uint8_t& byte = group[16 + 4 * t + unit / 2];
  byte = unit % 2 == 0 ? static_cast<uint8_t>((byte & 0xF0) | nibble)
                       : static_cast<uint8_t>((byte & 0x0F) | (nibble << 4));
}

Group RandomGroup(std::mt19937& rng, bool realistic) {
  Group group;
  for (uint8_t& byte : group) byte = static_cast<uint8_t>(rng());
  if (realistic) {
    for (int u = 0; u < 8; ++u) SetParam(group, u, rng() % 13, rng() % 5);
  }
  return group;
}

// Slow model of the decoder, written from the format's definition with 64-bit arithmetic and
// explicit wrapping, so it shares no shortcuts with the real one.
int32_t Wrap32(int64_t v) {
  constexpr int64_t kMod = int64_t{1} << 32;
  int64_t r = ((v % kMod) + kMod) % kMod;
  return static_cast<int32_t>(r >= kMod / 2 ? r - kMod : r);
}

int64_t FloorDiv64(int64_t v) {
  return v >= 0 ? v / 64 : -((-v + 63) / 64);
}

int32_t RefTableEntry(int row, int nibble) {
  const int64_t s = nibble < 8 ? nibble : nibble - 16;
  if (row <= 12) return static_cast<int32_t>(s * (int64_t{1} << (12 - row)));
  return Wrap32(s * (int64_t{1} << (44 - row)));  // Rows 13-15: s * 2^31, 2^30, 2^29.
}

struct RefDecoder {
  std::array<int64_t, 4> state{};

  // Decodes unit `unit` of `group` into out[first + stride * t]; returns false when skipped.
  bool Unit(const Group& group, int unit, int64_t& h1, int64_t& h2, std::vector<int16_t>& out,
            size_t first, size_t stride) {
    static const int64_t kK0[5] = {0, 60, 115, 98, 122};
    static const int64_t kK1[5] = {0, 0, -52, -55, -60};
    const int shift = group[4 + unit] % 16;
    const int filter = (group[4 + unit] / 16) % 8;
    if (filter > 4) return false;
    for (int t = 0; t < 28; ++t) {
      const uint8_t byte = group[16 + 4 * t + unit / 2];
      const int nibble = unit % 2 == 0 ? byte % 16 : byte / 16;
      const int64_t prediction = FloorDiv64(kK0[filter] * h1 + kK1[filter] * h2);
      const int64_t x = Wrap32(prediction + RefTableEntry(shift, nibble));
      const int64_t y = x > 32767 ? 32767 : (x < -32768 ? -32768 : x);
      out[first + stride * t] = static_cast<int16_t>(y);
      h2 = h1;
      h1 = y;
    }
    return true;
  }

  void Mono(const Group& group, std::vector<int16_t>& out, size_t base) {
    size_t pos = base;
    for (int u = 0; u < 8; ++u) {
      if (Unit(group, u, state[0], state[1], out, pos, 1)) pos += 28;
    }
  }

  void Stereo(const Group& group, std::vector<int16_t>& out, size_t base) {
    for (int u = 0; u < 8; ++u) {
      const int channel = u % 2;
      Unit(group, u, state[2 * channel], state[2 * channel + 1], out, base + 56 * (u / 2) + channel,
           2);
    }
  }
};

class XaDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { InitXaDecoder(decoder_); }

  void SetHistory(int32_t h1, int32_t h2) {
    decoder_.XaDecoderState[0] = h1;
    decoder_.XaDecoderState[1] = h2;
  }

  XaDecoder decoder_;
};

// First sample of unit 0 from a given history: prediction, rounding, wrapping and clamping.
TEST_F(XaDecoderTest, FirstSampleArithmetic) {
  struct Case {
    int shift, filter, h1, h2, nibble, expected;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 8, -32768},
      {0, 0, 0, 0, 7, 28672},
      {0, 4, 32767, 0, 7, 32767},       // 62462 + 28672 clamps high.
      {0, 4, -32768, 0, 8, -32768},     // Clamps low.
      {12, 1, -1, 0, 0, -1},            // -60 >> 6 rounds down, not towards zero.
      {12, 2, 1, -1, 0, 2},             // One shift of the whole sum: 167 >> 6, not 1 + 0.
      {12, 3, 100, 50, 1, 111},         // (9800 - 2750) >> 6 = 110.
      {13, 1, -5, 0, 1, 32767},         // -2^31 - 5 wraps to 2^31 - 5.
      {13, 4, 32767, 32767, 2, 31743},  // Even nibbles of row 13 add nothing.
      {14, 3, -100, 0, 2, 32767},       // -2^31 - 154 wraps as well.
      {15, 0, 0, 0, 1, 32767},          // 2^29.
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "shift " << c.shift << " filter " << c.filter << " h1 "
                                      << c.h1 << " h2 " << c.h2 << " nibble " << c.nibble);
    Group group{};
    SetParam(group, 0, c.shift, c.filter);
    SetNibble(group, 0, 0, c.nibble);
    SetHistory(c.h1, c.h2);
    std::vector<int16_t> out(kGroupSamples);
    DecodeXaGroupMono(decoder_, out.data(), group.data());
    EXPECT_EQ(out[0], c.expected);
    SetHistory(c.h1, c.h2);
    DecodeXaGroupStereo(decoder_, out.data(), group.data());
    EXPECT_EQ(out[0], c.expected);
  }
}

// Whole sectors of random and realistic groups against the model, with the history carried
// from sector to sector as a stream would and cleared by the init between the passes; random
// shift values use all 16 rows of the table. Random parameters skip units (filters 5-7): mono moves
// the later units up, stereo leaves the skipped unit's slots, and both keep the stale output.
TEST_F(XaDecoderTest, SectorsMatchReferenceModel) {
  std::mt19937 rng(2024);
  for (bool stereo : {false, true}) {
    SCOPED_TRACE(stereo ? "stereo" : "mono");
    RefDecoder ref;
    InitXaDecoder(decoder_);
    for (int sector = 0; sector < 200; ++sector) {
      const bool realistic = sector % 2 == 0;
      std::vector<uint8_t> data(kGroupsPerSector * kGroupBytes);
      std::vector<Group> groups(kGroupsPerSector);
      for (int g = 0; g < kGroupsPerSector; ++g) {
        groups[g] = RandomGroup(rng, realistic);
        std::copy(groups[g].begin(), groups[g].end(), data.begin() + g * kGroupBytes);
      }
      std::vector<int16_t> out(kSectorSamples);
      for (int16_t& sample : out) sample = static_cast<int16_t>(rng());
      std::vector<int16_t> expected = out;

      if (stereo) {
        DecodeXaSectorStereo(decoder_, out.data(), data.data());
        for (int g = 0; g < kGroupsPerSector; ++g) ref.Stereo(groups[g], expected, g * 224);
      } else {
        DecodeXaSectorMono(decoder_, out.data(), data.data());
        for (int g = 0; g < kGroupsPerSector; ++g) ref.Mono(groups[g], expected, g * 224);
      }
      ASSERT_EQ(out, expected) << "sector " << sector;
      for (int i = 0; i < 4; ++i) ASSERT_EQ(decoder_.XaDecoderState[i], ref.state[i]) << i;
    }
  }
}

}  // namespace
}  // namespace quarnel
