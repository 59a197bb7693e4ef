#include "synthetic/disc_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/sector.h"
#include "test_support.h"

namespace quarnel {
namespace {

namespace fs = std::filesystem;

bool IsVideo(const uint8_t* s) {
  return (Submode(s) & 0x42) == 0x42 || (Submode(s) & 0x48) == 0x48;
}
bool IsRealTimeAudio(const uint8_t* s) {
  return (Submode(s) & 0x44) == 0x44;
}
bool IsXaAudio(const uint8_t* s) {
  return (Submode(s) & 0xAE) == 0x24;
}
bool IsSilentGroup(const uint8_t* s, size_t k) {
  const uint8_t* g = UserData(s) + SOUND_GROUP_SIZE * k;
  return std::all_of(g, g + 16, [](uint8_t b) { return b == 0x0C; }) &&
         std::all_of(g + 16, g + SOUND_GROUP_SIZE, [](uint8_t b) { return b == 0; });
}

TEST(DiscBuilderTest, MovieInterleavesAudioAfterEachRunButNotAtTheEnd) {
  DiscBuilder disc;
  disc.AddDataSectors(5);
  const uint32_t first = disc.AddMovie(2, 7, 7, 3);  // 14 video sectors, a multiple of the run
  std::string kinds;
  for (uint32_t n = first, video = 0; n < disc.SectorCount(); ++n) {
    const uint8_t* s = disc.SectorAt(n);
    if (IsRealTimeAudio(s)) {
      kinds += s[CHANNEL_OFFSET] == 3 && IsXaAudio(s) ? 'A' : '?';
      continue;
    }
    kinds += !IsVideo(s) ? '?' : Submode(s) & SUBMODE_EOF ? 'E' : 'V';
    EXPECT_EQ(UserData(s)[8], 1 + video / 7) << n;  // frame number
    EXPECT_EQ(UserData(s)[4], video++ % 7) << n;    // index in frame
  }
  EXPECT_EQ(kinds, "VVVVVVVAVVVVVVE");
  EXPECT_EQ(UserData(disc.SectorAt(first))[0], 0x60);  // the video sector's magic
  EXPECT_EQ(UserData(disc.SectorAt(first))[1], 0x01);

  const uint32_t plain = disc.AddMovie(1, 3, 7, -1, false);
  for (uint32_t n = plain; n < disc.SectorCount(); ++n) EXPECT_EQ(Submode(disc.SectorAt(n)), 0x48);
}

TEST(DiscBuilderTest, XaSectorsAreAudioWithSilenceExactlyWhereAsked) {
  DiscBuilder disc;
  const uint32_t silent = (1u << 0) | (1u << 9) | (1u << 17);
  disc.AddXaSector(5, 0x01, 0, silent);
  disc.AddXaSector(6, 0x04, SUBMODE_EOF);
  const uint8_t* s = disc.SectorAt(0);
  EXPECT_TRUE(IsXaAudio(s));
  EXPECT_EQ(s[CODING_OFFSET], 0x01);
  for (size_t k = 0; k < SOUND_GROUPS_PER_SECTOR; ++k) {
    EXPECT_EQ(IsSilentGroup(s, k), ((silent >> k) & 1) != 0) << k;
    EXPECT_FALSE(IsSilentGroup(disc.SectorAt(1), k)) << k;
  }
  EXPECT_EQ(Submode(disc.SectorAt(1)), 0xE4);
  EXPECT_FALSE(IsXaAudio(disc.SectorAt(1)));  // the EOF variant ends a channel instead
}

TEST(DiscBuilderTest, AudioSectorsAreAHeaderlessContinuousTone) {
  DiscBuilder disc;
  disc.AddAudioSectors(75, 440.0);  // one second
  int peak = 0, maxStep = 0, crossings = 0, prev = 0;
  for (size_t i = 0; i < disc.Image().size(); i += 4) {
    const uint8_t* p = disc.Image().data() + i;
    const int v = static_cast<int16_t>(p[0] | p[1] << 8);
    ASSERT_EQ(v, static_cast<int16_t>(p[2] | p[3] << 8)) << i;  // same on both sides
    peak = std::max(peak, std::abs(v));
    maxStep = std::max(maxStep, std::abs(v - prev));
    crossings += (prev < 0) != (v < 0);
    prev = v;
  }
  EXPECT_NE(disc.SectorAt(0)[1], 0xFF);  // no sync pattern
  EXPECT_GE(peak, 7900);
  EXPECT_LE(peak, 8000);
  // 2*pi*440/44100*8000 is about 502: a phase jump at a sector boundary would exceed it.
  EXPECT_LE(maxStep, 505);
  EXPECT_NEAR(crossings, 880, 2);
}

TEST(DiscBuilderTest, CueSheetOfTwoAudioTracks) {
  DiscBuilder disc;
  disc.AddDataSectors(10);
  disc.BeginAudioTrack(4500);  // INDEX 01 lands past the first minute
  disc.AddAudioSectors(20, 440.0);
  disc.BeginAudioTrack(0);  // no pregap: no INDEX 00
  disc.AddAudioSectors(5, 660.0);
  EXPECT_TRUE(std::all_of(disc.SectorAt(10), disc.SectorAt(4510), [](uint8_t b) { return !b; }));
  EXPECT_EQ(disc.CueSheet("game.bin"),
            "FILE \"game.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n"
            "  TRACK 02 AUDIO\n    INDEX 00 00:00:10\n    INDEX 01 01:00:10\n"
            "  TRACK 03 AUDIO\n    INDEX 01 01:00:30\n");
}

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
