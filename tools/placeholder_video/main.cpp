// Builds the placeholder movie that replaces ripped videos and writes it as a C++ source that
// defines PlaceholderVideo() (and, when a second path is given, as the raw 2352-byte sectors).
//
//   placeholder_video_gen OUTPUT.cpp [OUTPUT.bin]
//
// The movie: 70 frames of 320 × 240, five Mode 2 Form 1 sectors each, all showing "NO VIDEO" in
// light blocky letters on a dark ground. A sector:
//
// | bytes     | content                                                                        |
// |-----------|--------------------------------------------------------------------------------|
// | 0-11      | sync, 00 FF×10 00                                                              |
// | 12-15     | zero: a rip keeps the address and mode of the sector it overwrites             |
// | 16-23     | subheader file 1, channel 1, submode 0x48 (data, real-time), coding 0; twice   |
// | 24-25     | 0x0160                                                                         |
// | 26-27     | 0x8001                                                                         |
// | 28-29     | index of the sector within its frame, 0 to 4                                   |
// | 30-31     | sectors per frame, 5                                                           |
// | 32-35     | frame number: 1 to 54, then 10000 to 10015                                     |
// | 36-39     | bytes of frame data                                                            |
// | 40-41     | width, 320                                                                     |
// | 42-43     | height, 240                                                                    |
// | 44-51     | the frame's first 8 bytes (its header)                                         |
// | 52-55     | zero                                                                           |
// | 56-2071   | the sector's 2016-byte share of the frame data, zero-filled past its end       |
// | 2072-2351 | EDC and ECC, zero                                                              |
//
// All numbers little-endian. The frame data are laid out in mdec_encoder.cpp.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "common/sector.h"
#include "mdec_encoder.h"

namespace quarnel {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFrames = 70;
constexpr int kSectorsPerFrame = 5;
constexpr size_t kChunkOffset = USER_DATA_OFFSET + STR_HEADER_SIZE;
constexpr size_t kChunkSize = STR_DATA_PER_SECTOR;

constexpr uint8_t kGround = 24;  // luma of the dark ground
constexpr uint8_t kInk = 208;    // luma of the letters
constexpr int kCell = 4;         // pixels per font dot, so that letter edges fall on 4-pixel lines

// 5 × 7 dots per letter, top row first, bit 4 leftmost.
struct Glyph {
  char c;
  std::array<uint8_t, 7> rows;
};
constexpr Glyph kFont[] = {
    {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
};

YcbcrPicture DrawPicture(const std::string& caption) {
  YcbcrPicture p;
  p.width = kWidth;
  p.height = kHeight;
  p.y.assign(kWidth * kHeight, kGround);
  p.cb.assign(kWidth * kHeight / 4, 128);
  p.cr.assign(kWidth * kHeight / 4, 128);

  const int advance = 6 * kCell;
  const int textWidth = static_cast<int>(caption.size()) * advance - kCell;
  const int left = ((kWidth - textWidth) / 2) / kCell * kCell;
  const int top = ((kHeight - 7 * kCell) / 2) / kCell * kCell;
  for (size_t i = 0; i < caption.size(); ++i) {
    for (const Glyph& g : kFont) {
      if (g.c != caption[i]) continue;
      for (int row = 0; row < 7; ++row) {
        for (int col = 0; col < 5; ++col) {
          if (!((g.rows[row] >> (4 - col)) & 1)) continue;
          for (int dy = 0; dy < kCell; ++dy) {
            for (int dx = 0; dx < kCell; ++dx) {
              const int x = left + static_cast<int>(i) * advance + col * kCell + dx;
              p.y[(top + row * kCell + dy) * kWidth + x] = kInk;
            }
          }
        }
      }
    }
  }
  return p;
}

void PutLe(uint8_t* p, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

std::vector<uint8_t> BuildSectors(const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> out(size_t{kFrames} * kSectorsPerFrame * SECTOR_SIZE, 0);
  for (int f = 0; f < kFrames; ++f) {
    const uint32_t number = f < 54 ? f + 1 : 10000 + (f - 54);
    for (int s = 0; s < kSectorsPerFrame; ++s) {
      uint8_t* sector = &out[(static_cast<size_t>(f) * kSectorsPerFrame + s) * SECTOR_SIZE];
      for (int i = 1; i <= 10; ++i) sector[SYNC_OFFSET + i] = 0xFF;
      for (size_t copy : {SUBHEADER_OFFSET, SUBHEADER_COPY_OFFSET}) {
        sector[copy] = 1;      // file
        sector[copy + 1] = 1;  // channel
        sector[copy + 2] = SUBMODE_DATA | SUBMODE_REAL_TIME;
        sector[copy + 3] = 0;  // coding
      }
      uint8_t* h = sector + USER_DATA_OFFSET;
      h[0] = STR_MAGIC_0;
      h[1] = STR_MAGIC_1;
      PutLe(h + STR_VERSION_OFFSET, 0x8001, 2);
      PutLe(h + STR_INDEX_IN_FRAME_OFFSET, s, 2);
      PutLe(h + STR_SECTORS_IN_FRAME_OFFSET, kSectorsPerFrame, 2);
      PutLe(h + STR_FRAME_NUMBER_OFFSET, number, 4);
      PutLe(h + STR_FRAME_SIZE_OFFSET, static_cast<uint32_t>(frame.size()), 4);
      PutLe(h + STR_WIDTH_OFFSET, kWidth, 2);
      PutLe(h + STR_HEIGHT_OFFSET, kHeight, 2);
      std::copy(frame.begin(), frame.begin() + 8, h + 20);
      const size_t begin = s * kChunkSize;
      if (begin < frame.size()) {
        const size_t n = std::min(kChunkSize, frame.size() - begin);
        std::copy(frame.begin() + begin, frame.begin() + begin + n, sector + kChunkOffset);
      }
    }
  }
  return out;
}

// Octal escapes only, so that no escape can run into the next byte.
bool WriteSource(const std::string& path, const std::vector<uint8_t>& data) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  std::fputs(
      "// Generated by tools/placeholder_video from its encoder; not to be edited.\n"
      "#include \"packing/placeholder_video.h\"\n\n"
      "#include \"common/sector.h\"\n\n"
      "namespace quarnel {\nnamespace {\n\n"
      "const unsigned char kSectors[] =\n",
      f);
  size_t column = 0;  // characters of escapes on the current line
  for (uint8_t b : data) {
    if (column == 0) std::fputs("    \"", f);
    column += std::fprintf(f, "\\%o", b);
    if (column >= 90) {
      std::fputs("\"\n", f);
      column = 0;
    }
  }
  if (column != 0) std::fputs("\"\n", f);
  std::fputs(
      "    ;\n\n"
      "// The literal's closing NUL is the one byte beyond the sectors.\n"
      "static_assert(sizeof(kSectors) == PLACEHOLDER_VIDEO_SECTORS * SECTOR_SIZE + 1);\n\n"
      "}  // namespace\n\n"
      "const uint8_t* PlaceholderVideo() { return kSectors; }\n\n"
      "}  // namespace quarnel\n",
      f);
  return std::fclose(f) == 0;
}

bool WriteBinary(const std::string& path, const std::vector<uint8_t>& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool written = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && written;
}

}  // namespace
}  // namespace quarnel

int main(int argc, char** argv) {
  using namespace quarnel;
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s OUTPUT.cpp [OUTPUT.bin]\n", argv[0]);
    return 2;
  }
  const YcbcrPicture picture = DrawPicture("NO VIDEO");
  // The finest quantization whose frame fits in the five sectors.
  std::vector<uint8_t> frame;
  for (int qscale = 1; qscale <= 63; ++qscale) {
    frame = EncodeStrV2Frame(picture, qscale);
    if (frame.size() <= kSectorsPerFrame * kChunkSize) break;
  }
  if (frame.size() > kSectorsPerFrame * kChunkSize) {
    std::fprintf(stderr, "placeholder frame does not fit: %zu bytes\n", frame.size());
    return 1;
  }
  const std::vector<uint8_t> sectors = BuildSectors(frame);
  if (!WriteSource(argv[1], sectors) || (argc == 3 && !WriteBinary(argv[2], sectors))) {
    std::fprintf(stderr, "cannot write the placeholder video\n");
    return 1;
  }
  return 0;
}
