// Checksums of data fed in pieces, and naming a dump from a DAT file.

#include "common/checksums.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <tuple>

#include "common/sizes.h"
#include "packing/dat_file.h"
#include "packing/dump_list.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

// Writes a zip archive of `entries` (name, content) at `path`.
void WriteZip(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& entries) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(archive, nullptr) << error;
  for (const auto& [name, content] : entries) {
    zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
    ASSERT_GE(zip_file_add(archive, name.c_str(), source, 0), 0) << zip_strerror(archive);
  }
  ASSERT_EQ(zip_close(archive), 0);
}

// Loads `path`; a load that blocks is released after 10 s (a FIFO's reader returns once a writer
// comes) and fails the test.
bool LoadWithoutBlocking(DatFile& file, const std::string& path, std::string& error) {
  std::future<bool> load = std::async(std::launch::async, [&] { return file.Load(path, error); });
  if (load.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
    ADD_FAILURE() << path << " blocked";
    ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));
  }
  return load.get();
}

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

// The names of a dump's list become the restored files' names: one with a path separator or a
// control character, or a file listed twice, is refused with its line; any other bytes stand.
TEST(DumpList, RefusesNamesARestoreCouldNotCreateOnce) {
  const std::string sums = " 00000000 " + std::string(32, '0') + " " + std::string(40, '0') + " ";
  for (const auto& [second, why] : {std::pair{"b\xE9.bin", ""},
                                    {"a\\b.bin", "line 5 cannot be read"},
                                    {"b\x7F.bin", "line 5 cannot be read"},
                                    {"a.bin", "line 5 names a.bin a second time"}}) {
    const std::string text = "quarnel-dump-1\ndata a.bin\nripped 0\nfile 1" + sums +
                             "a.bin\nfile 2" + sums + second + "\nend\n";
    DumpList list;
    std::string error;
    EXPECT_EQ(ParseDumpList(text, &list, &error), *why == '\0') << second;
    EXPECT_EQ(error, why);
  }
}

// One definition of sizes for every line that states them: decimal megabytes, and a percentage that
// is rounded but never claims that nothing is left.
TEST(Sizes, MegabytesAndPercentSmaller) {
  for (const auto& [before, after, text, percent] :
       {std::tuple{uint64_t{4000000}, uint64_t{497200}, "0.5", 88},
        {uint64_t{700000000}, uint64_t{1000}, "0.0", 99},
        {uint64_t{3000000}, uint64_t{3300000}, "3.3", -10},
        {uint64_t{0}, uint64_t{12000000}, "12", 0},
        {uint64_t{1000}, uint64_t{0}, "0.0", 100}}) {
    EXPECT_EQ(MegabytesText(after), text);
    EXPECT_EQ(PercentSmaller(before, after), percent) << before << " " << after;
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
  const std::string fifo = dir.File("fifo.dat");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Zipped DATs are known by their signature, not their name.
  const std::string noDat = dir.File("none.zip"), twoDats = dir.File("two.zip"),
                    damaged = dir.File("damaged.zip"), bad = dir.File("bad.zip"),
                    bomb = dir.File("bomb.zip"), zipped = dir.File("zipped.dat");
  WriteZip(noDat, {{"a.txt", "x"}, {"b.xml", "<datafile/>"}});
  WriteZip(twoDats, {{"one.dat", "<datafile/>"}, {"sub/two.DAT", "<datafile/>"}});
  WriteZip(bad, {{"set.dat", "<datafile><game>"}});
  std::vector<uint8_t> bytes = ReadAll(dat);
  WriteZip(zipped, {{"readme.txt", "hello"}, {"Set.DAT", {bytes.begin(), bytes.end()}}});
  bytes = ReadAll(zipped);
  WriteAll(damaged, {bytes.begin(), bytes.end() - 30});  // the directory's end record cut short
  bytes[std::string(bytes.begin(), bytes.end()).find("Set.DAT") + 20] ^= 0x55;
  const std::string flipped = dir.File("flipped.zip");  // a byte of the DAT's deflated data
  WriteAll(flipped, bytes);
  // An entry that says it inflates to 4 GiB, in its local header and in the directory.
  WriteZip(bomb, {{"set.dat", "<datafile/>"}});
  bytes = ReadAll(bomb);
  const std::string text(bytes.begin(), bytes.end());
  for (size_t at : {size_t{22}, text.find("PK\x01\x02") + 24}) {
    std::fill(bytes.begin() + at, bytes.begin() + at + 4, 0xF0);
  }
  WriteAll(bomb, bytes);
  const std::pair<std::string, const char*> refusals[] = {
      {broken, "at byte"},
      {other, "no <datafile>"},
      {huge, "larger than 256 MiB"},
      {dir.File("missing.dat"), "No such file"},
      {dir.Path().string(), "not a regular file"},
      {fifo, "not a regular file"},
      {noDat, "holds no .dat file; it holds: a.txt, b.xml"},
      {twoDats, "holds several .dat files: one.dat, sub/two.DAT"},
      {damaged, "damaged zip archive"},
      {flipped, "cannot inflate Set.DAT in it"},
      {bad, "(set.dat) is not a DAT file: "},
      {bomb, "set.dat is larger than 256 MiB"},
  };
  for (const auto& [path, why] : refusals) {
    EXPECT_FALSE(LoadWithoutBlocking(file, path, error)) << path;
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_NE(error.find(why), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_TRUE(file.Roms().empty());
  }
  ASSERT_TRUE(file.Load(zipped, error)) << error;
  EXPECT_EQ(file.Roms().size(), 3u);
}

// A dump's files against their game's entry: which game, and rom by rom what matches.
TEST(DatFile, MatchesADumpsFilesAgainstItsGame) {
  TempDir dir;
  const std::string dat = dir.File("set.dat");
  const std::string s1(40, '1'), s2(40, '2'), s3(40, '3'), md5(32, 'c');
  std::ofstream(dat) << "<datafile><game name=\"Game A\">"
                     << "<rom name=\"A1.bin\" size=\"1000\" sha1=\"" << s1 << "\"/>"
                     << "<rom name=\"A2.bin\" size=\"2000\" sha1=\"" << s2 << "\"/>"
                     << "<rom name=\"A3.bin\" size=\"2000\" sha1=\"" << s2 << "\"/>"
                     << "<rom name=\"A.cue\" size=\"300\" md5=\"" << md5 << "\"/></game>"
                     << "<game name=\"Game B\"><rom name=\"B.bin\" size=\"2000\" sha1=\"" << s2
                     << "\"/><rom name=\"B.cue\" size=\"100\" sha1=\"" << s1 << "\"/></game>"
                     << "</datafile>";
  DatFile file;
  std::string error;
  ASSERT_TRUE(file.Load(dat, error)) << error;

  const HeldFile a1{"A1.bin", 1000, "", "", s1}, a2{"A2.bin", 2000, "", "", s2},
      a3{"a3.BIN", 2000, "", "", "2222222222222222222222222222222222222222"},
      cue{"A.cue", 300, "", "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC", ""};
  struct Case {
    std::vector<HeldFile> held;
    // The game; each rom as M(atches), D(iffers) or N(ot held) with the held file compared; the
    // files the game does not know. Empty: no game.
    const char* report;
    bool complete;
  } cases[] = {
      {{a1, a2, a3, cue}, "Game A: M:A1.bin M:A2.bin M:a3.BIN M:A.cue", true},
      {{a1, {"A2.bin", 2000, "", "", s3}, a3, cue},
       "Game A: M:A1.bin D:A2.bin M:a3.BIN M:A.cue",
       false},
      {{a1, a2, cue}, "Game A: M:A1.bin M:A2.bin N M:A.cue", false},
      // Identical tracks need a file each, whatever their names.
      {{a1, {"x.bin", 2000, "", "", s2}, a2, cue},
       "Game A: M:A1.bin M:A2.bin M:x.bin M:A.cue",
       true},
      {{a1, a2, a3, cue, {"notes.txt", 5, "", "", s3}},
       "Game A: M:A1.bin M:A2.bin M:a3.BIN M:A.cue | notes.txt",
       true},
      // B.bin is also A2.bin and A3.bin: the game most files match is taken.
      {{a1, a2}, "Game A: M:A1.bin M:A2.bin N N", false},
      {{{"b.cue", 100, "", "", s3}}, "Game B: N D:b.cue", false},
      {{{"other.bin", 1000, "", "", s3}}, "", false},
  };
  for (const Case& c : cases) {
    const std::optional<GameReport> report = file.MatchGame(c.held);
    std::string text;
    if (report) {
      text = report->game + ":";
      for (const RomReport& rom : report->roms) {
        text += std::string(" ") + "MDN"[static_cast<int>(rom.status)] +
                (rom.heldName.empty() ? "" : ":" + rom.heldName);
      }
      if (!report->unknown.empty()) text += " |";
      for (const std::string& name : report->unknown) text += " " + name;
      EXPECT_EQ(report->Complete(), c.complete) << c.report;
    }
    EXPECT_EQ(text, c.report);
  }
}

}  // namespace
}  // namespace quarnel
