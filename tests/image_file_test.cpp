#include "common/image_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <numeric>

#include "test_support.h"

namespace quarnel {
namespace {

using testing::TempDir;

std::vector<uint8_t> Bytes(size_t size, uint8_t seed) {
  std::vector<uint8_t> b(size);
  std::iota(b.begin(), b.end(), seed);
  return b;
}

// Several files read as one image: every file but the last gives only its whole sectors, reads
// of any size cross the joins, and a file that shrinks after the open is a read failure.
TEST(ImageFile, JoinsFilesIntoOneSectorSpace) {
  TempDir dir;
  const std::vector<std::vector<uint8_t>> parts = {
      Bytes(3 * SECTOR_SIZE, 1), Bytes(2 * SECTOR_SIZE + 7, 2), Bytes(5 * SECTOR_SIZE + 9, 3)};
  std::vector<std::string> paths;
  std::vector<uint8_t> joined;
  for (size_t i = 0; i < parts.size(); ++i) {
    paths.push_back(dir.File("part" + std::to_string(i)));
    testing::WriteAll(paths.back(), parts[i]);
    const size_t used =
        i + 1 < parts.size() ? parts[i].size() / SECTOR_SIZE * SECTOR_SIZE : parts[i].size();
    joined.insert(joined.end(), parts[i].begin(), parts[i].begin() + used);
  }

  ImageFile image;
  ASSERT_TRUE(image.Open(paths));
  ASSERT_EQ(image.Size(), joined.size());
  EXPECT_EQ(image.FileStart(2), 5u * SECTOR_SIZE);
  for (size_t piece : {size_t{1}, size_t{1000}, size_t{SECTOR_SIZE}, size_t{10 * SECTOR_SIZE}}) {
    image.Rewind();
    std::vector<uint8_t> got(joined.size() + 100);
    size_t done = 0;
    while (size_t n = image.ReadStream(got.data() + done, std::min(piece, got.size() - done))) {
      done += n;
    }
    got.resize(done);
    EXPECT_EQ(got, joined) << piece;
  }
  image.Rewind();
  uint32_t sectors = 0;
  while (const uint8_t* s = image.NextSector()) {
    uint8_t at[SECTOR_SIZE];
    ASSERT_TRUE(image.ReadSectorAt(sectors, at));
    ASSERT_EQ(0, std::memcmp(s, joined.data() + sectors * SECTOR_SIZE, SECTOR_SIZE));
    ASSERT_EQ(0, std::memcmp(at, s, SECTOR_SIZE));
    ++sectors;
  }
  EXPECT_EQ(sectors, 10u);
  EXPECT_FALSE(image.ReadSectorAt(10, joined.data()));
  EXPECT_FALSE(image.ReadFailed());

  ASSERT_EQ(0, ::truncate(paths[2].c_str(), SECTOR_SIZE));
  image.Rewind();
  while (image.NextSector() != nullptr) {
  }
  EXPECT_TRUE(image.ReadFailed());
}

}  // namespace
}  // namespace quarnel
