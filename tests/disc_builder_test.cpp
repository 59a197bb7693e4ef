#include "synthetic/disc_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_support.h"

namespace quarnel {
namespace {

namespace fs = std::filesystem;

TEST(DiscBuilderWriteTest, WritesFilesAndReportsFailures) {
  // A folder of its own: two runs of the suite at once must not share files.
  const testing::TempDir temp;
  const fs::path dir = temp.Path();
  std::string error;
  DiscBuilder disc;
  disc.AddDataSectors(2);
  ASSERT_TRUE(disc.Write((dir / "a.bin").string(), (dir / "a.cue").string(), &error)) << error;
  EXPECT_FALSE(fs::exists(dir / "a.cue"));  // no audio tracks, no cue sheet

  const std::string missing = (dir / "no" / "x.bin").string();
  EXPECT_FALSE(disc.Write(missing, "", &error));
  EXPECT_NE(error.find(missing), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(WriteSampleDisc((dir / "a.bin" / "sub").string(), &error));  // a file is in the way
  EXPECT_FALSE(error.empty());

  // A full disk: the small cue sheet fails only when the stream is closed.
  if (fs::exists("/dev/full")) {
    disc.BeginAudioTrack(0);
    EXPECT_FALSE(disc.Write((dir / "b.bin").string(), "/dev/full", &error));
    EXPECT_NE(error.find("/dev/full"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace quarnel
