// Checksums of data fed in pieces, and naming a dump from a DAT file.

#include "common/checksums.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "packing/dat_file.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::TempDir;

TEST(Checksums, PiecesGiveTheDigestsOfTheWhole) {
  const std::string million(1000000, 'a');
  struct Case {
    std::vector<std::string> pieces;
    const char* digests;  // CRC-32, MD5, SHA-1
  } cases[] = {
      {{"a", "", "bc"},
       "352441c2 900150983cd24fb0d6963f7d28e17f72 a9993e364706816aba3e25717850c26c9cd0d89d"},
      {{million.substr(0, 333), million.substr(333)},
       "dc25bfbc 7707d6ae4e027c70eea2a935c2296f21 34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  Checksums sums;
  for (const Case& c : cases) {
    uint64_t size = 0;
    for (const std::string& piece : c.pieces) {
      sums.Update(piece.data(), piece.size());
      size += piece.size();
    }
    // Finish starts over, so each case also checks that the last one left nothing behind.
    const ChecksumDigests digests = sums.Finish();
    EXPECT_EQ(digests.crc32 + " " + digests.md5 + " " + digests.sha1, c.digests);
    EXPECT_EQ(digests.size, size);
  }
}

TEST(DatFile, FindsTheDumpBySizeAndSha1AndRefusesWhatIsNotADat) {
  TempDir dir;
  const std::string dat = dir.File("set.dat");
  std::ofstream(dat) << R"xml(<?xml version="1.0"?>
<datafile>
  <header><name>Sony - PlayStation</name></header>
  <game name="Game A (Europe)">
    <rom name="Game A (Europe) (Track 1).bin" size="4000000" sha1="A9993E364706816ABA3E25717850C26C9CD0D89D"/>
    <rom name="Game A (Europe) (Track 2).bin" size="5000" sha1="da39a3ee5e6b4b0d3255bfef95601890afd80709"/>
  </game>
  <machine name="Game B (Japan)">
    <rom name="Game B (Japan).bin" size="1234" sha1="34aa973cd4c4daa4f61eeb2bdbad27316534016f"/>
    <rom name="no size" sha1="34aa973cd4c4daa4f61eeb2bdbad27316534016f"/>
  </machine>
</datafile>
)xml";
  DatFile file;
  std::string error;
  ASSERT_TRUE(file.Load(dat, error)) << error;
  EXPECT_EQ(file.Name(), "Sony - PlayStation");
  EXPECT_EQ(file.Roms().size(), 3u);
  struct Case {
    uint64_t size;
    const char* sha1;
    const char* match;  // game/rom, nullptr: none
  } cases[] = {
      {4000000, "a9993e364706816aba3e25717850c26c9cd0d89d",
       "Game A (Europe)/Game A (Europe) (Track 1).bin"},
      {1234, "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F", "Game B (Japan)/Game B (Japan).bin"},
      {4000001, "a9993e364706816aba3e25717850c26c9cd0d89d", nullptr},
      {5000, "da39a3ee5e6b4b0d3255bfef95601890afd80708", nullptr},
  };
  for (const Case& c : cases) {
    const auto match = file.Find(c.size, c.sha1);
    EXPECT_EQ(match ? match->game + "/" + match->rom : "", c.match ? c.match : "") << c.size;
  }

  // Each refusal is one line that names the file and says why.
  const std::string broken = dir.File("broken.dat"), other = dir.File("other.xml"),
                    huge = dir.File("huge.dat");
  std::ofstream(broken) << "<datafile><game name=\"x\"><rom></game></datafile>";
  std::ofstream(other) << "<softwarelist/>";
  std::ofstream(huge) << "<datafile>";
  std::filesystem::resize_file(huge, MAX_DAT_FILE_SIZE + 1);  // sparse: nothing is written
  const std::pair<std::string, const char*> refusals[] = {
      {broken, "at byte"},
      {other, "no <datafile>"},
      {huge, "larger than 256 MiB"},
      {dir.File("missing.dat"), "No such file"},
      {dir.Path().string(), "not a regular file"},
  };
  for (const auto& [path, why] : refusals) {
    EXPECT_FALSE(file.Load(path, error)) << path;
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_NE(error.find(why), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_TRUE(file.Roms().empty());
  }
}

}  // namespace
}  // namespace quarnel
