#include "packing/placeholder_video.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/sector.h"
#include "test_support.h"

namespace quarnel {
namespace {

constexpr uint32_t kFrames = 70;
constexpr uint32_t kSectorsPerFrame = 5;
constexpr size_t kChunkSize = 2016;
constexpr int kWidth = 320;
constexpr int kHeight = 240;

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}

bool AllZero(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

// The magic, sector numbering, sizes and dimensions are left to the decode test: a decoder refuses
// a frame that gets them wrong.
TEST(PlaceholderVideoTest, SectorsFormFiveSectorFrames) {
  ASSERT_EQ(PLACEHOLDER_VIDEO_SECTORS, kFrames * kSectorsPerFrame);
  const uint8_t sync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  const uint8_t subheader[8] = {1, 1, 0x48, 0, 1, 1, 0x48, 0};
  for (uint32_t i = 0; i < PLACEHOLDER_VIDEO_SECTORS; ++i) {
    SCOPED_TRACE(i);
    const uint8_t* s = PlaceholderVideo() + size_t{i} * SECTOR_SIZE;
    const uint8_t* h = s + USER_DATA_OFFSET;
    const uint8_t* first = h - (i % kSectorsPerFrame) * SECTOR_SIZE;
    const uint32_t frame = i / kSectorsPerFrame, size = Le32(h + 12);
    ASSERT_TRUE(std::equal(sync, sync + 12, s) && AllZero(s + HEADER_OFFSET, 4));
    ASSERT_TRUE(std::equal(subheader, subheader + 8, s + SUBHEADER_OFFSET));
    ASSERT_EQ(Le32(h + 8), frame < 54 ? frame + 1 : 10000 + frame - 54);
    ASSERT_EQ(size, Le32(first + 12));
    // The frame header is copied into every sector header; past the frame's end, zeros.
    ASSERT_TRUE(std::equal(h + 20, h + 28, first + 32) && AllZero(h + 28, 4));
    const size_t chunkStart = (i % kSectorsPerFrame) * kChunkSize;
    const size_t used = std::clamp(size, uint32_t(chunkStart), uint32_t(chunkStart + kChunkSize));
    ASSERT_TRUE(AllZero(h + 32 + (used - chunkStart), chunkStart + kChunkSize - used));
    ASSERT_TRUE(
        AllZero(h + FORM1_USER_DATA_SIZE, SECTOR_SIZE - USER_DATA_OFFSET - FORM1_USER_DATA_SIZE));
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Decoding goes through ffmpeg, a decoder written independently of our encoder.
class PlaceholderVideoDecodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("ffmpeg -version > /dev/null 2>&1") != 0) {
      GTEST_SKIP() << "ffmpeg is not installed; the placeholder video is not decoded";
    }
    std::ofstream out(str_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(PlaceholderVideo()),
              PLACEHOLDER_VIDEO_SECTORS * SECTOR_SIZE);
  }

  // Runs ffmpeg on the sectors with `output` options; returns its exit status, stderr in `log`.
  int Ffmpeg(const std::string& output, std::string* log) {
    const std::string err = dir_.File("ffmpeg.log");
    const std::string command =
        "ffmpeg -nostdin -v error -f psxstr -i '" + str_ + "' " + output + " 2> '" + err + "'";
    const int status = std::system(command.c_str());
    *log = ReadFile(err);
    return status;
  }

  testing::TempDir dir_;
  std::string str_ = dir_.File("placeholder.str");
};

TEST_F(PlaceholderVideoDecodeTest, DecodesToSeventyEqualFramesOfALightCaption) {
  const std::string md5 = dir_.File("frames.md5");
  std::string log;
  ASSERT_EQ(Ffmpeg("-f framemd5 -y '" + md5 + "'", &log), 0) << log;

  // Frame lines: "stream, dts, pts, duration, size, hash"; a frame that fails to decode is dropped.
  std::istringstream lines(ReadFile(md5));
  std::string line;
  int frames = 0;
  std::set<std::string> hashes;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] != '#') {
      ++frames;
      EXPECT_NE(line.find("115200"), std::string::npos) << line;  // 320 × 240 at 4:2:0
      hashes.insert(line.substr(line.rfind(',') + 1));
    }
  }
  EXPECT_EQ(frames, static_cast<int>(kFrames)) << log;
  EXPECT_EQ(hashes.size(), 1u) << "the frames are meant to be the same picture";

  // The picture: a light caption on a dark ground.
  const std::string luma = dir_.File("frame.y");
  ASSERT_EQ(Ffmpeg("-frames:v 1 -f rawvideo -pix_fmt gray -y '" + luma + "'", &log), 0) << log;
  const std::string y = ReadFile(luma);
  ASSERT_EQ(y.size(), size_t{kWidth} * kHeight);

  int light = 0, dark = 0;
  for (const char c : y) {
    const int v = static_cast<uint8_t>(c);
    dark += v < 40;
    light += v > 160;
  }
  EXPECT_EQ(dark + light, kWidth * kHeight) << "no grey smear around the letters";
  EXPECT_GT(light, kWidth * kHeight / 100);
  EXPECT_LT(light, kWidth * kHeight / 10);
}

}  // namespace
}  // namespace quarnel
