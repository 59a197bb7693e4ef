#include "packing/media_ripping.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>

#include "packing/compressed_format.h"
#include "packing/placeholder_video.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::TempDir;

// An image of random sectors, ripped sector by sector from 17 on as "Process ISO" does.
struct RipFixture {
  std::vector<MediaRecord> media = std::vector<MediaRecord>(MEDIA_TABLE_SIZE, MediaRecord{});
  testing::TestReporter reporter;
  std::vector<uint8_t> original, image;
  CompressionMode mode = CompressionMode::Zlib;
  bool ff8 = false;
  std::unique_ptr<MediaRipper> ripper;

  explicit RipFixture(uint32_t sectors) : original(size_t{sectors} * SECTOR_SIZE) {
    std::mt19937 rng(sectors);
    for (uint8_t& b : original) b = static_cast<uint8_t>(rng() | 1);  // never zero
    image = original;
  }
  void Mark(uint32_t index, uint8_t kind, uint32_t first, uint32_t last, bool tenPercent = false) {
    media[index] = MediaRecord{kind, first, last, 0, 1, tenPercent ? uint8_t{1} : uint8_t{0}};
  }
  void Run(bool smallest = false, const std::string& imagePath = {}) {
    ImageFile file;
    if (!imagePath.empty()) file.Open(imagePath.c_str());
    ripper = std::make_unique<MediaRipper>(media.data(), ff8);
    ripper->ChooseVideoSource(smallest, file, reporter);
    ripper->SetUpCursor(mode);
    for (uint32_t n = 17; n < image.size() / SECTOR_SIZE; ++n) ripper->RipSector(n, Sector(n));
  }
  uint8_t* Sector(uint32_t n) { return image.data() + size_t{n} * SECTOR_SIZE; }
  const uint8_t* Original(uint32_t n) const { return original.data() + size_t{n} * SECTOR_SIZE; }
  bool Same(uint32_t n, size_t from, size_t to, const uint8_t* source) {
    return std::memcmp(Sector(n) + from, source + from, to - from) == 0;
  }
  bool Zero(uint32_t n, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      if (Sector(n)[i] != 0) return false;
    }
    return true;
  }
};

const uint8_t* Placeholder(uint32_t k) {
  return PlaceholderVideo() + size_t{k} * SECTOR_SIZE;
}

TEST(MediaRipping, VideosTakeThePlaceholderInContinuingAndSwitchingForm) {
  RipFixture f(1000);
  f.Mark(0, MEDIA_VIDEO, 10, 30);  // starts among the system sectors
  f.Mark(1, MEDIA_VIDEO, 100, 139);
  f.Mark(2, MEDIA_VIDEO, 140, 149);  // right behind the first
  f.Mark(3, MEDIA_VIDEO, 200, 599);  // longer than the placeholder
  f.Mark(4, MEDIA_VIDEO, 990, 999);  // never passed, but ripped: counted as well
  f.Run();

  for (uint32_t n = 0; n <= 16; ++n) EXPECT_TRUE(f.Same(n, 0, SECTOR_SIZE, f.Original(n))) << n;
  EXPECT_TRUE(f.Same(17, 16, SECTOR_SIZE, Placeholder(0)));
  EXPECT_TRUE(f.Same(100, 0, 16, f.Original(100)));  // sync and header stay
  EXPECT_TRUE(f.Same(100, 16, SECTOR_SIZE, Placeholder(0)));
  EXPECT_TRUE(f.Same(139, 16, SECTOR_SIZE, Placeholder(39)));
  // The first sector of a medium right behind another keeps its subheader and 4 user data bytes.
  EXPECT_TRUE(f.Same(140, 0, 28, f.Original(140)));
  EXPECT_TRUE(f.Same(140, 28, SECTOR_SIZE, Placeholder(0)));
  EXPECT_TRUE(f.Same(141, 16, SECTOR_SIZE, Placeholder(1)));
  EXPECT_TRUE(f.Same(200, 16, SECTOR_SIZE, Placeholder(0)));
  EXPECT_TRUE(f.Same(549, 16, SECTOR_SIZE, Placeholder(349)));
  for (uint32_t n : {550u, 599u}) {  // the placeholder ran out: picture data cleared
    EXPECT_TRUE(f.Same(n, 0, 56, f.Original(n)));
    EXPECT_TRUE(f.Zero(n, 56, 2072));
    EXPECT_TRUE(f.Same(n, 2072, SECTOR_SIZE, f.Original(n)));
  }
  EXPECT_TRUE(f.Same(99, 0, SECTOR_SIZE, f.Original(99)));
  EXPECT_TRUE(f.Same(600, 0, SECTOR_SIZE, f.Original(600)));
  EXPECT_EQ(f.ripper->RippedCount(), 5u);
}

TEST(MediaRipping, TenPercentKeepsTheFirstTenthAndOneSectorVideosWhole) {
  RipFixture f(1200);
  f.Mark(0, MEDIA_VIDEO, 1000, 1099, /*tenPercent=*/true);
  f.Mark(1, MEDIA_VIDEO, 1100, 1100, /*tenPercent=*/true);
  f.Mark(2, MEDIA_VIDEO, 1101, 1110);
  f.ff8 = true;
  f.Run();
  for (uint32_t n = 1000; n <= 1010; ++n)
    EXPECT_TRUE(f.Same(n, 0, SECTOR_SIZE, f.Original(n))) << n;
  EXPECT_TRUE(f.Same(1011, 0, 32, f.Original(1011)));  // FF8 movies keep 8 bytes of user data
  EXPECT_TRUE(f.Zero(1011, 32, 2072));
  EXPECT_TRUE(f.Zero(1099, 32, 2072));
  EXPECT_TRUE(f.Same(1100, 0, SECTOR_SIZE, f.Original(1100)));
  // The tenth took nothing from the source: the next video starts at its first sector.
  EXPECT_TRUE(f.Same(1101, 28, SECTOR_SIZE, Placeholder(0)));
  EXPECT_TRUE(f.Same(1102, 16, SECTOR_SIZE, Placeholder(1)));
  EXPECT_EQ(f.ripper->RippedCount(), 3u);
}

TEST(MediaRipping, XaStreamsAreFlaggedExceptInBzipBlocks) {
  for (const CompressionMode mode : {CompressionMode::Zlib, CompressionMode::Bzip2}) {
    RipFixture f(300);
    f.mode = mode;
    f.Mark(0, MEDIA_XA, 100, 110);
    f.Run();
    EXPECT_EQ(f.ripper->blockHoldsRippedXa, mode != CompressionMode::Bzip2);
    EXPECT_TRUE(f.Same(105, 0, SECTOR_SIZE, f.Original(105)));  // the extraction clears it, later
  }
}

TEST(MediaRipping, SmallestMarkedMediumIsTheSource) {
  TempDir dir;
  RipFixture f(1000);
  f.Mark(0, MEDIA_VIDEO, 100, 219);  // 120 sectors: the source
  f.Mark(1, MEDIA_XA, 300, 419);     // also 120, later: not chosen
  f.Mark(2, MEDIA_VIDEO, 500, 799);
  std::ofstream(dir.File("img.bin"), std::ios::binary)
      .write(reinterpret_cast<const char*>(f.original.data()), f.original.size());
  f.Run(/*smallest=*/true, dir.File("img.bin"));
  ASSERT_TRUE(f.ripper->VideoSourceFromImage());
  EXPECT_EQ(f.ripper->VideoSourceSectors(), 120u);
  for (uint32_t n = 100; n <= 219; ++n) ASSERT_TRUE(f.Same(n, 0, SECTOR_SIZE, f.Original(n))) << n;
  EXPECT_TRUE(f.Same(500, 16, SECTOR_SIZE, f.Original(100)));
  EXPECT_TRUE(f.Same(619, 16, SECTOR_SIZE, f.Original(219)));
  EXPECT_TRUE(f.Zero(620, 56, 2072));
  f.ripper->ReleaseVideoSource();
}

}  // namespace
}  // namespace quarnel
