// Version-2 STR frame encoder.
//
// A frame, as the sectors carry it once their 2016-byte chunks are put together:
//
// | offset | size | content                                                                   |
// |--------|------|---------------------------------------------------------------------------|
// | 0      | u16  | MDEC codes / 2, rounded up to a multiple of 32 (32-byte units of codes)   |
// | 2      | u16  | 0x3800                                                                    |
// | 4      | u16  | quantization scale, 1 to 63                                               |
// | 6      | u16  | version, 2                                                                |
// | 8      | ...  | bitstream, then zero bytes up to a multiple of 4                          |
//
// The bitstream is a run of 16-bit little-endian words, each read from its top bit down. It holds
// the macroblocks (16 × 16 pixels) column by column, top to bottom within a column; a macroblock
// is six 8 × 8 blocks, Cr, Cb, then the luma blocks top left, top right, bottom left, bottom
// right. A block is
//
// | field  | bits                                                                               |
// |--------|------------------------------------------------------------------------------------|
// | DC     | 10, signed: the coefficient / 2                                                    |
// | AC     | per non-zero coefficient in zigzag order: MPEG-1 run/level code and a sign bit, or |
// |        | escape 000001, 6 bits zero run, 10 bits signed level                               |
// | EOB    | 10                                                                                 |
//
// and the last block is followed by the end-of-frame bits 01111111110. Each DC, AC and EOB code
// becomes one 16-bit MDEC code for the decoder chip, which is what the header's first field counts.
#include "mdec_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <string_view>

namespace quarnel {
namespace {

// Raster index of each zigzag position.
constexpr int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                             12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                             35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                             58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The decoder's quantization table in raster order (the DC entry is not used: DC is stored as is).
constexpr int kQuant[64] = {2,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37,
                            19, 22, 26, 27, 29, 34, 34, 38, 22, 22, 26, 27, 29, 34, 37, 40,
                            22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32, 35, 40, 48, 58,
                            26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83};

struct AcCode {
  int run;
  int level;
  std::string_view bits;  // without the sign bit
};

// MPEG-1 table B.14 as intra blocks use it after a separately coded DC.
constexpr AcCode kAcCodes[] = {
    {0, 1, "11"},
    {1, 1, "011"},
    {0, 2, "0100"},
    {2, 1, "0101"},
    {0, 3, "00101"},
    {4, 1, "00110"},
    {3, 1, "00111"},
    {7, 1, "000100"},
    {6, 1, "000101"},
    {1, 2, "000110"},
    {5, 1, "000111"},
    {2, 2, "0000100"},
    {9, 1, "0000101"},
    {0, 4, "0000110"},
    {8, 1, "0000111"},
    {13, 1, "00100000"},
    {0, 6, "00100001"},
    {12, 1, "00100010"},
    {11, 1, "00100011"},
    {3, 2, "00100100"},
    {1, 3, "00100101"},
    {0, 5, "00100110"},
    {10, 1, "00100111"},
    {16, 1, "0000001000"},
    {5, 2, "0000001001"},
    {0, 7, "0000001010"},
    {2, 3, "0000001011"},
    {1, 4, "0000001100"},
    {15, 1, "0000001101"},
    {14, 1, "0000001110"},
    {4, 2, "0000001111"},
    {0, 11, "000000010000"},
    {8, 2, "000000010001"},
    {4, 3, "000000010010"},
    {0, 10, "000000010011"},
    {2, 4, "000000010100"},
    {7, 2, "000000010101"},
    {21, 1, "000000010110"},
    {20, 1, "000000010111"},
    {0, 9, "000000011000"},
    {19, 1, "000000011001"},
    {18, 1, "000000011010"},
    {1, 5, "000000011011"},
    {3, 3, "000000011100"},
    {0, 8, "000000011101"},
    {6, 2, "000000011110"},
    {17, 1, "000000011111"},
    {10, 2, "0000000010000"},
    {9, 2, "0000000010001"},
    {5, 3, "0000000010010"},
    {3, 4, "0000000010011"},
    {2, 5, "0000000010100"},
    {1, 7, "0000000010101"},
    {1, 6, "0000000010110"},
    {0, 15, "0000000010111"},
    {0, 14, "0000000011000"},
    {0, 13, "0000000011001"},
    {0, 12, "0000000011010"},
    {26, 1, "0000000011011"},
    {25, 1, "0000000011100"},
    {24, 1, "0000000011101"},
    {23, 1, "0000000011110"},
    {22, 1, "0000000011111"},
    // Longer codes (up to 17 bits) exist for rarer pairs; those go through the 22-bit escape,
    // which every decoder takes for any pair.
};

constexpr std::string_view kEscape = "000001";
constexpr std::string_view kEndOfBlock = "10";
constexpr std::string_view kEndOfFrame = "01111111110";

class BitWriter {
 public:
  void Put(std::string_view bits) {
    for (char c : bits) PutBit(c == '1');
  }
  void Put(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) PutBit((value >> i) & 1);
  }
  // Fills the last word with zero bits and hands the bytes over.
  std::vector<uint8_t> Finish() {
    while (filled_ != 0) PutBit(false);
    return std::move(bytes_);
  }

 private:
  void PutBit(bool bit) {
    word_ = static_cast<uint16_t>((word_ << 1) | bit);
    if (++filled_ < 16) return;
    bytes_.push_back(static_cast<uint8_t>(word_));
    bytes_.push_back(static_cast<uint8_t>(word_ >> 8));
    word_ = 0;
    filled_ = 0;
  }

  std::vector<uint8_t> bytes_;
  uint16_t word_ = 0;
  int filled_ = 0;
};

// Forward DCT at the scale the decoder's inverse expects: a flat block of value m gives
// F(0,0) = 8 (m - 128).
void ForwardDct(const double (&pixels)[64], double (&coefficients)[64]) {
  for (int v = 0; v < 8; ++v) {
    for (int u = 0; u < 8; ++u) {
      double sum = 0;
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
          sum += (pixels[y * 8 + x] - 128) * std::cos((2 * x + 1) * u * std::numbers::pi / 16) *
                 std::cos((2 * y + 1) * v * std::numbers::pi / 16);
        }
      }
      const double cu = u == 0 ? std::numbers::sqrt2 / 2 : 1;
      const double cv = v == 0 ? std::numbers::sqrt2 / 2 : 1;
      coefficients[v * 8 + u] = sum * cu * cv / 4;
    }
  }
}

// Writes one 8 × 8 block taken from `plane` at (x0, y0); returns the number of MDEC codes.
int EncodeBlock(BitWriter& out, const std::vector<uint8_t>& plane, int stride, int x0, int y0,
                int qscale) {
  double pixels[64];
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) pixels[y * 8 + x] = plane[(y0 + y) * stride + x0 + x];
  }
  double f[64];
  ForwardDct(pixels, f);

  const int dc = std::clamp(static_cast<int>(std::lround(f[0] / 2)), -512, 511);
  out.Put(static_cast<uint32_t>(dc) & 0x3FF, 10);
  int codes = 2;  // DC and EOB

  int run = 0;
  for (int i = 1; i < 64; ++i) {
    const int j = kZigzag[i];
    const int level =
        std::clamp(static_cast<int>(std::lround(8 * f[j] / (qscale * kQuant[j]))), -511, 511);
    if (level == 0) {
      ++run;
      continue;
    }
    const auto code = std::find_if(std::begin(kAcCodes), std::end(kAcCodes), [&](const AcCode& c) {
      return c.run == run && c.level == std::abs(level);
    });
    if (code != std::end(kAcCodes)) {
      out.Put(code->bits);
      out.Put(level < 0 ? 1 : 0, 1);
    } else {
      out.Put(kEscape);
      out.Put(static_cast<uint32_t>(run), 6);
      out.Put(static_cast<uint32_t>(level) & 0x3FF, 10);
    }
    ++codes;
    run = 0;
  }
  out.Put(kEndOfBlock);
  return codes;
}

void PutU16(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
  out[offset] = static_cast<uint8_t>(value);
  out[offset + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

std::vector<uint8_t> EncodeStrV2Frame(const YcbcrPicture& picture, int qscale) {
  BitWriter bits;
  int codes = 0;
  const int chromaStride = picture.width / 2;
  for (int mx = 0; mx < picture.width / 16; ++mx) {
    for (int my = 0; my < picture.height / 16; ++my) {
      codes += EncodeBlock(bits, picture.cr, chromaStride, mx * 8, my * 8, qscale);
      codes += EncodeBlock(bits, picture.cb, chromaStride, mx * 8, my * 8, qscale);
      for (int b = 0; b < 4; ++b) {
        codes += EncodeBlock(bits, picture.y, picture.width, mx * 16 + (b % 2) * 8,
                             my * 16 + (b / 2) * 8, qscale);
      }
    }
  }
  bits.Put(kEndOfFrame);
  const std::vector<uint8_t> stream = bits.Finish();

  std::vector<uint8_t> frame((8 + stream.size() + 3) & ~size_t{3}, 0);
  PutU16(frame, 0, ((codes + 1) / 2 + 31) & ~31);
  PutU16(frame, 2, 0x3800);
  PutU16(frame, 4, static_cast<uint32_t>(qscale));
  PutU16(frame, 6, 2);
  std::copy(stream.begin(), stream.end(), frame.begin() + 8);
  return frame;
}

}  // namespace quarnel
