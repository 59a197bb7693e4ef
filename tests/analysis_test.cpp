#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <tuple>

#include "analysis/analyse_disc.h"
#include "common/sector.h"
#include "synthetic/disc_builder.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::AnalyseBuilt;
using testing::Analysis;
using testing::RunAnalysis;
using testing::TempDir;

constexpr uint8_t XA_EOF = SUBMODE_EOF;

DiscBuilder DiscWithData(uint32_t dataSectors = 100) {
  DiscBuilder disc;
  disc.AddDataSectors(dataSectors);
  return disc;
}

std::string Summary(uint32_t videos, uint32_t records) {
  return std::to_string(videos) + " Video found and " + std::to_string(records) +
         " XA Records found within XA streams";
}

TEST(Analysis, SampleDiscGivesExactlyWhatTheBuilderPutIn) {
  TempDir dir;
  const SampleDiscLayout& layout = testing::WriteSample(dir);
  Analysis a;
  RunAnalysis(a, dir.File("sample.bin"));
  ASSERT_TRUE(a.result.Opened());
  EXPECT_FALSE(a.result.stopped);

  using Span = std::tuple<int, uint32_t, uint32_t>;  // kind, first and last sector
  std::vector<Span> want, got;
  for (const auto& v : layout.videos) want.emplace_back(MEDIA_VIDEO, v.firstSector, v.lastSector);
  want.emplace_back(MEDIA_XA, layout.xaStream.firstSector, layout.xaStream.lastSector);
  for (uint32_t i = 0; i < a.MediaCount(); ++i)
    got.emplace_back(a.Media(i).kind, a.Media(i).firstSector, a.Media(i).lastSector);
  ASSERT_EQ(got, want);
  const MediaRecord& xa = a.Media(layout.videos.size());
  EXPECT_EQ(xa.xaRecordCount, layout.xaChannels);
  ASSERT_EQ(a.Found().XaRecordTotal, layout.xaRecords.size());
  for (uint32_t i = 0; i < layout.xaRecords.size(); ++i) {
    EXPECT_EQ(a.Xa(i).firstSector, layout.xaRecords[i].firstSector);
    EXPECT_EQ(a.Xa(i).lastSector, layout.xaRecords[i].lastSector);
    EXPECT_EQ(a.Xa(i).channel & 0xFF, static_cast<int32_t>(i));
  }

  EXPECT_LT(a.Found().dataTrackEnd, layout.audioTracks[0].firstSector);
  std::vector<std::string> expected = {
      "- File Loaded.", "- " + std::to_string(layout.sectorCount) + " sectors found"};
  const AudioTrackTable& tracks = a.Found().AudioTracks;
  ASSERT_EQ(tracks.audioTrackCount, layout.audioTracks.size());
  for (uint32_t i = 0; i < tracks.audioTrackCount; ++i) {
    EXPECT_EQ(tracks.track[i + 2].firstSector, layout.audioTracks[i].firstSector);
    EXPECT_EQ(tracks.track[i + 2].lastSector, layout.audioTracks[i].lastSector);
    char line[64];
    std::snprintf(line, sizeof line, "- Audio track %02u found at sector %u", i + 2,
                  layout.audioTracks[i].firstSector);
    expected.push_back(line);
  }
  expected.push_back(Summary(layout.videos.size(), layout.xaChannels));
  EXPECT_EQ(a.reporter.log, expected);
}

// Everything an analysis leaves for processing, and its log.
void ExpectSameAnalysis(const Analysis& got, const Analysis& want, const std::string& what) {
  const DiscAnalysis& g = got.Found();
  const DiscAnalysis& w = want.Found();
  EXPECT_EQ(0, std::memcmp(g.MediaTable, w.MediaTable, sizeof g.MediaTable)) << what;
  EXPECT_EQ(0, std::memcmp(g.XaRecordTable, w.XaRecordTable, sizeof g.XaRecordTable)) << what;
  EXPECT_EQ(0, std::memcmp(g.SectorRecordMap, w.SectorRecordMap, sizeof g.SectorRecordMap)) << what;
  EXPECT_EQ(g.XaRecordTotal, w.XaRecordTotal) << what;
  EXPECT_EQ(g.dataTrackEnd, w.dataTrackEnd) << what;
  ASSERT_EQ(g.AudioTracks.audioTrackCount, w.AudioTracks.audioTrackCount) << what;
  for (uint32_t n = 1; n <= w.AudioTracks.audioTrackCount + 1; ++n) {
    EXPECT_EQ(g.AudioTracks.track[n].firstSector, w.AudioTracks.track[n].firstSector) << what;
    EXPECT_EQ(g.AudioTracks.track[n].lastSector, w.AudioTracks.track[n].lastSector) << what;
  }
  EXPECT_EQ(got.reporter.log, want.reporter.log) << what;
}

// A disc kept as one file per track analyses exactly like the same files joined into one image,
// whichever of its files or its sheet the path names.
TEST(Analysis, TrackSetAnalysesLikeItsJoinedImage) {
  SampleDiscLayout layout;
  const DiscBuilder disc = BuildSampleDisc(&layout);
  struct Case {
    const char* name;
    DiscFileStyle style;
  } cases[] = {
      {"Game (Disc 1)", {}},
      {"My Game", {.pregapLines = true}},
      {"Game", {.pregapLines = false, .upperCase = true}},
      {"Game", {.pregapLines = true, .upperCase = true}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::filesystem::create_directory(dir.Path() / "joined");
    std::string error;
    const std::string cue = disc.WriteTrackSet(dir.Path().string(), c.name, &error, c.style);
    ASSERT_FALSE(cue.empty()) << error;
    const std::string upper = c.style.upperCase ? "GAME" : c.name;
    const std::string joined = dir.File("joined/" + upper + ".BIN");
    ASSERT_TRUE(disc.WriteJoined(joined, dir.File("joined/" + upper + ".CUE"), &error, c.style));
    Analysis want;
    RunAnalysis(want, joined);
    ASSERT_EQ(want.Found().AudioTracks.audioTrackCount, 2u) << c.name;

    const std::string track = c.style.upperCase ? " (TRACK " : " (Track ";
    const std::string first = dir.File(upper + track + (c.style.upperCase ? "1).BIN" : "1).bin"));
    for (const std::string& path :
         {cue, first, dir.File(upper + track + "2).BIN"), dir.File(upper + track + "3).bin")}) {
      if (!std::filesystem::exists(path)) continue;  // the other letter case
      Analysis got;
      RunAnalysis(got, path);
      ExpectSameAnalysis(got, want, path);
      EXPECT_EQ(got.Found().ImagePath, path);
    }
    if (c.style.upperCase || c.style.pregapLines) continue;
    // The sheet renamed after the data track's file still describes the whole set.
    std::filesystem::rename(cue, dir.File(std::string(c.name) + " (Track 1).cue"));
    Analysis renamed;
    RunAnalysis(renamed, first);
    ExpectSameAnalysis(renamed, want, "renamed sheet");
    EXPECT_EQ(renamed.Found().dataTrackEnd, layout.audioTracks[0].firstSector - 151);
  }
}

TEST(Analysis, RefusesWhatIsNotARawImageAndWarnsOfIncompleteDumps) {
  TempDir dir;
  const auto bytes = [](const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); };
  DiscBuilder small;
  small.AddDataSectors(3);
  DiscBuilder withTracks = DiscWithData(40);
  withTracks.BeginAudioTrack(2);
  withTracks.AddAudioSectors(20, 440);
  const std::string raw = bytes(small.Image());
  std::string iso(2048 * 20, '\0');
  iso.replace(16 * 2048 + 1, 5, "CD001");
  std::string damaged = bytes(DiscWithData(40).Image());
  damaged[1] = 0;  // sector 0 has lost its sync
  const std::string longName = std::string(250 - dir.Path().string().size(), 'x') + ".bin";
  const std::string cutTracks =
      "TRACK 01 MODE2/2352\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:00:20\n"
      "TRACK 03 AUDIO\nINDEX 01 00:01:00\n";
  const std::string setHead = "FILE \"set1.bin\" BINARY\nTRACK 01 MODE2/2352\nINDEX 01 00:00:00\n";
  const std::string missingSet =
      setHead + "FILE \"gone.bin\" BINARY\nTRACK 02 AUDIO\nINDEX 01 0:0:0\n";
  const std::string badLines =
      "REM nothing here\nTRACK 01 MODE2/2352\nINDEX 01 0:00\nINDEX 1\nX\nY\nZ\nW\nV\n";
  const std::string FIFO = "<fifo>", KEEP = "<keep>";  // made by mkfifo; left as it is
  const auto put = [&](const std::string& name, const std::string& content) {
    if (name.empty() || content == KEEP) return;
    if (content == FIFO)
      ::mkfifo(dir.File(name).c_str(), 0600);
    else
      testing::WriteAll(dir.File(name), std::vector<uint8_t>(content.begin(), content.end()));
  };
  const auto cue = [&](const char* name) {
    return "cue sheet " + dir.File(name) + " cannot be used: ";
  };

  struct Case {
    std::string file, content;  // the path analysed and what it holds
    std::string beside, besideContent;
    std::string line;  // {} stands for the path
    bool refused;
  } cases[] = {
      {"empty.bin", "", "", "", "ERROR: {} is empty: it is not a raw CD image.", true},
      {"notes.bin", std::string(5000, 'a'), "", "",
       "ERROR: {} is not a raw CD image: none of its first 2 sectors starts with the CD sync "
       "pattern.",
       true},
      {"game.iso", iso, "", "",
       "ERROR: {} is a 2048-byte-sector ISO, not a raw CD image of 2352-byte sectors.", true},
      {"renamed.bin", "\x78\x9C\x63\x60\x18\x05", "", "",
       "ERROR: {} is a compressed image, not a raw CD image: use uncompress.", true},
      {"game.bin.ZNX", raw, "game.bin.ZNX.table", "",
       "ERROR: {} is part of a compressed image, not a raw CD image: use uncompress.", true},
      {"game.bin.ZNX.table", KEEP, "", "",
       "ERROR: {} is part of a compressed image, not a raw CD image: use uncompress.", true},
      {"fifo.bin", FIFO, "", "", "ERROR: {} is neither a regular file nor a block device.", true},
      {"busy.bin", raw, "", "", "ERROR: {} is being written by another run of the program.", true},
      {"shared.bin", raw, "", "", "- 3 sectors found", false},  // another run reads it too
      {longName, raw, "", "",
       "ERROR: path too long: the image's path plus \".ZNX.table\" must fit in 255 bytes, and "
       "needs 265.",
       true},
      {"nofile.cue", "TRACK 01 MODE2/2352\nINDEX 01 00:00:00\n", "", "",
       "ERROR: cue sheet {} names no FILE.", true},
      {"set.cue", missingSet, "set1.bin", raw,
       "ERROR: cue sheet {}, line 4: FILE \"gone.bin\" is not beside it.", true},
      {"same.cue", setHead + "FILE \"./set1.bin\" BINARY\nTRACK 02 AUDIO\nINDEX 01 0:0:0\n", "", "",
       "ERROR: cue sheet {}, line 4: FILE \"./set1.bin\" names the file of line 1 again.", true},
      {"tracks.cue", "FILE \"set1.bin\" BINARY\nTRACK 100 MODE2/2352\n", "", "",
       "ERROR: cue sheet {}, line 2: TRACK 100 MODE2/2352: tracks end at 99.", true},
      // Warnings: the analysis goes on.
      {"damaged.bin", damaged, "", "", "- 40 sectors found", false},
      {"cut.bin", raw.substr(0, raw.size() - 100), "", "",
       "Warning: {} is 6956 bytes, not a whole number of 2352-byte sectors: the dump looks "
       "incomplete; its last 2252 bytes are not used.",
       false},
      {"short.bin", bytes(withTracks.Image()), "short.cue", cutTracks,
       "Warning: the cue sheet places track 03 at sector 75, but the image has 62 sectors: the "
       "dump looks incomplete; the tracks from 03 on are left out.",
       false},
      {"piped.bin", raw, "piped.CUE", FIFO,
       "Warning: " + cue("piped.CUE") + "it is not a regular file.", false},
      {"binary.bin", raw, "binary.cue", std::string("TRACK\0\1", 7),
       "Warning: " + cue("binary.cue") + "it is not a text file.", false},
      {"notracks.bin", raw, "notracks.cue", badLines,
       "Warning: cue sheet " + dir.File("notracks.cue") +
           ", line 3: INDEX 01 0:00 is not a time.\n" + "Warning: cue sheet " +
           dir.File("notracks.cue") + ", line 7: Z is not a cue sheet " +
           "keyword.\nWarning: cue sheet " + dir.File("notracks.cue") +
           ": 2 more lines cannot be used.\nWarning: " + cue("notracks.cue") +
           "it has no TRACK with an INDEX 01.",
       false},
      {"split.cue",
       setHead + "TRACK 02 AUDIO\nINDEX 01 00:00:05\nFILE \"set2.bin\" BINARY\nTRACK 03 AUDIO\n" +
           "INDEX 01 00:00:00\n",
       "set2.bin", raw,
       "Warning: the cue sheet places track 02 at sector 5 of " + dir.File("set1.bin") +
           ", which has 3 sectors: the dump looks incomplete; the tracks from 02 on are left out.",
       false},
      {"set1.bin", KEEP, "set1.cue", missingSet,
       "Warning: " + cue("set1.cue") +
           "line 4: FILE \"gone.bin\" names neither this image nor a file beside it.",
       false},
  };
  for (const Case& c : cases) {
    put(c.beside, c.besideContent);
    put(c.file, c.content);
    const std::string path = dir.File(c.file);
    const bool busy = c.file == "busy.bin";
    const int lockFd = busy || c.file == "shared.bin" ? ::open(path.c_str(), O_RDONLY) : -1;
    if (lockFd >= 0) ::flock(lockFd, busy ? LOCK_EX : LOCK_SH);
    std::string line = c.line;
    for (size_t at; (at = line.find("{}")) != std::string::npos;) line.replace(at, 2, path);
    std::set<std::filesystem::path> before(std::filesystem::directory_iterator(dir.Path()), {});
    Analysis a;
    RunAnalysis(a, path);
    EXPECT_EQ(a.result.refused, c.refused) << line;
    EXPECT_EQ(a.result.Opened(), !c.refused) << line;
    if (c.refused) {
      EXPECT_EQ("ERROR: " + a.result.message + ".", line);
      EXPECT_EQ(a.reporter.log, std::vector<std::string>{line});
      EXPECT_EQ(before, std::set<std::filesystem::path>(
                            std::filesystem::directory_iterator(dir.Path()), {}));
    } else {
      std::istringstream lines(line);  // each line of the case is in the log
      for (std::string one; std::getline(lines, one);) {
        EXPECT_NE(std::find(a.reporter.log.begin(), a.reporter.log.end(), one),
                  a.reporter.log.end())
            << one;
      }
      EXPECT_EQ(a.reporter.log.back(), Summary(0, 0)) << line;
    }
    if (lockFd >= 0) ::close(lockFd);
  }

  // An image that cannot be opened logs nothing: the front end says why.
  for (const std::string& path : {dir.File("missing.bin"), dir.Path().string(), std::string()}) {
    Analysis a;
    RunAnalysis(a, path);
    EXPECT_FALSE(a.result.Opened());
    EXPECT_NE(a.result.openError, 0);
    EXPECT_TRUE(a.reporter.log.empty());
  }
}

// A stop keeps the open video up to the sector before.
TEST(Analysis, StopEndsTheScanAndKeepsTheOpenVideoUpToTheSectorBefore) {
  TempDir dir;
  DiscBuilder disc = DiscWithData(50);
  const uint32_t first = disc.AddMovie(20, 8, 7, 1);
  disc.AddDataSectors(20);
  std::string error;
  ASSERT_TRUE(disc.Write(dir.File("disc.bin"), {}, &error));
  Analysis a;
  // One pump during set-up, then one after each sector: sector s is followed by pump s + 2.
  a.reporter.onPump = [&] {
    if (a.reporter.pumps == first + 30 + 2) a.reporter.stop.Request();
  };
  RunAnalysis(a, dir.File("disc.bin"));

  EXPECT_TRUE(a.result.stopped);
  ASSERT_EQ(a.MediaCount(), 1u);
  EXPECT_EQ(a.Media(0).firstSector, first);
  EXPECT_EQ(a.Media(0).lastSector, first + 29);
  EXPECT_EQ(a.reporter.log.back(), Summary(0, 0));
}

// Each case adds its sectors behind 100 data sectors and returns the media it expects.
TEST(Analysis, VideoRulesCloseCancelAndSplitMovies) {
  using Ranges = std::vector<std::pair<uint32_t, uint32_t>>;
  const AnalysisOptions PLAIN{}, ENHANCED{.enhancedMovie = true}, FF8{.ff8 = true};
  struct Case {
    const char* what;
    AnalysisOptions options;
    std::function<Ranges(DiscBuilder&)> build;
    uint32_t counted;  // the videos the summary line counts
    MediaKind kind = MEDIA_VIDEO;
  } cases[] = {
      {"closed at its EOF sector; a movie right behind another splits there", PLAIN,
       [](DiscBuilder& d) {
         const uint32_t a1 = d.AddMovie(6, 8, 7, 1, /*eofAtEnd=*/false);
         const uint32_t b1 = d.AddMovie(6, 8, 7, 1, /*eofAtEnd=*/true);
         const uint32_t b2 = d.SectorCount() - 1;
         d.AddDataSectors(10);
         return Ranges{{a1, b1 - 1}, {b1, b2}};
       },
       2},
      {"fewer than 7 video sectors before audio: dropped, the audio opens XA", PLAIN,
       [](DiscBuilder& d) {
         for (uint16_t i = 0; i < 3; ++i) d.AddVideoSector(1, i, 8);
         const uint32_t audio = d.AddXaSector(1);
         d.AddXaSector(1);
         d.AddXaSector(1);
         d.AddDataSectors(5);
         return Ranges{{audio, audio + 2}};
       },
       0, MEDIA_XA},
      {"no audio: an EOF video sector does not end it, a foreign sector cancels it", PLAIN,
       [](DiscBuilder& d) {
         d.AddVideoSector(1, 0, 2);
         d.AddVideoSector(1, 1, 2, 0x48 | SUBMODE_EOF);
         d.AddVideoSector(2, 0, 2);
         d.AddDataSectors(5);
         return Ranges{};
       },
       0},
      {"the scan's end records an open movie, uncounted", PLAIN,
       [](DiscBuilder& d) {
         const uint32_t first = d.AddVideoSector(1, 0, 2);
         d.AddVideoSector(1, 1, 2);
         d.AddVideoSector(2, 0, 2);
         return Ranges{{first, first + 2}};
       },
       0},
      {"a foreign sector at the cycle's last place marks the end; the next audio closes it", PLAIN,
       [](DiscBuilder& d) {
         const uint32_t first = d.AddMovie(1, 7, 7, 1, /*eofAtEnd=*/false);
         d.AddXaSector(1);  // the cycle is 8 sectors: 7 video, 1 audio
         for (uint16_t i = 0; i < 6; ++i) d.AddVideoSector(2, i, 7);
         d.AddDataSector();  // position 8 of 8
         const uint32_t audio = d.AddXaSector(1);
         d.AddDataSectors(3);
         return Ranges{{first, audio}};
       },
       1},
      {"a foreign sector elsewhere in the cycle closes the movie on itself", PLAIN,
       [](DiscBuilder& d) {
         const uint32_t first = d.AddMovie(1, 7, 7, 1, /*eofAtEnd=*/false);
         d.AddXaSector(1);
         d.AddVideoSector(2, 0, 7);
         const uint32_t data = d.AddDataSector();
         d.AddDataSectors(3);
         return Ranges{{first, data}};
       },
       1},
      {"enhanced: a jump of two frames ends the movie, the jumping sector starts the next",
       ENHANCED,
       [](DiscBuilder& d) {
         const uint32_t a1 = d.AddMovie(5, 8, 7, 1, /*eofAtEnd=*/false);
         const uint32_t b1 = d.AddMovie(5, 8, 7, 1, /*eofAtEnd=*/false);
         const uint32_t jump = d.AddVideoSector(9, 0, 8);
         d.AddDataSectors(4);
         return Ranges{{a1, b1 - 1}, {b1, jump - 1}};
       },
       2},
      {"enhanced: a frame number one back keeps the movie going", ENHANCED,
       [](DiscBuilder& d) {
         const uint32_t first = d.AddMovie(3, 8, 7, 1, /*eofAtEnd=*/false);
         const uint32_t back = d.AddVideoSector(2, 0, 8);
         d.AddDataSectors(4);
         return Ranges{{first, back}};
       },
       1},
      {"enhanced: a movie whose second sector is foreign is dropped", ENHANCED,
       [](DiscBuilder& d) {
         d.AddVideoSector(1, 0, 8);
         d.AddDataSectors(4);
         return Ranges{};
       },
       0},
      {"enhanced: a foreign sector elsewhere than position 1 ends it at the sector before",
       ENHANCED,
       [](DiscBuilder& d) {
         const uint32_t first = d.AddMovie(3, 8, 7, 1, /*eofAtEnd=*/false);
         const uint32_t foreign = d.AddDataSector();
         d.AddDataSectors(3);
         return Ranges{{first, foreign - 1}};
       },
       1},
      {"FF8: a dropping frame value starts a new movie, XA is not looked for", FF8,
       [](DiscBuilder& d) {
         const uint32_t a1 = d.AddFf8Sector('J', 1, 0);
         d.AddFf8Sector('N', 2, 0);
         d.AddFf8Sector('R', 3, 1);
         const uint32_t b1 = d.AddFf8Sector('J', 1, 0);
         d.AddFf8Sector('N', 2, 5);
         d.AddXaStream(2, 5);
         d.AddDataSectors(3);
         return Ranges{{a1, b1 - 1}, {b1, b1 + 1}};
       },
       2},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DiscBuilder disc = DiscWithData();
    const Ranges want = c.build(disc);
    Analysis a;
    AnalyseBuilt(a, dir, disc, c.options);
    ASSERT_EQ(a.MediaCount(), want.size());
    for (uint32_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(a.Media(i).kind, c.kind);
      EXPECT_EQ(std::pair(a.Media(i).firstSector, a.Media(i).lastSector), want[i]);
    }
    if (c.kind == MEDIA_VIDEO) {
      EXPECT_EQ(a.reporter.log.back(), Summary(c.counted, 0));
    }
  }
}

TEST(Analysis, TwoThousandMediaFillTheTable) {
  TempDir dir;
  DiscBuilder disc = DiscWithData(20);
  for (int i = 0; i < 2100; ++i) {
    disc.AddFf8Sector('J', 1, 0);
    disc.AddDataSector();
  }
  Analysis a;
  AnalyseBuilt(a, dir, disc, {.ff8 = true});
  EXPECT_TRUE(a.result.tableFull);
  EXPECT_EQ(a.MediaCount(), 2000u);
  EXPECT_EQ(a.reporter.log.back(), "ERROR: TOO much Media Found, try Enhanced options.");
}

TEST(Analysis, DataTrackEndsAtTheLastSubheaderBeforeTrackTwoOrWhereTheCueEndsIt) {
  TempDir dir;
  const auto build = [](uint32_t gap, bool withData) {
    DiscBuilder disc;
    // Without data: a synced first sector, then silence, so nothing near track 2 looks like a
    // subheader.
    disc.AddDataSectors(withData ? 200 : 1);
    disc.AddAudioSectors(withData ? gap : 199 + gap, 0);
    disc.AddAudioSectors(300, 440);
    return disc;
  };
  const auto cue = [](const std::string& indexOne) {
    return "TRACK 01 MODE2/2352\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 " + indexOne + "\n";
  };
  struct Case {
    const char* what;
    uint32_t gap;
    bool withData;
    uint32_t expectedEnd;
    const char* indexOne;
  } cases[] = {
      {"subheader 101 sectors before track 2", 100, true, 199, "00:04:00"},
      {"subheader 151 sectors before track 2", 150, true, 349, "00:04:50"},
      {"no subheader anywhere", 100, false, 299, "00:04:00"},
  };
  for (const Case& c : cases) {
    Analysis a;
    AnalyseBuilt(a, dir, build(c.gap, c.withData), {}, cue(c.indexOne));
    ASSERT_EQ(a.Found().AudioTracks.audioTrackCount, 1u) << c.what;
    EXPECT_EQ(a.Found().dataTrackEnd, c.expectedEnd) << c.what;
    EXPECT_EQ(a.Found().AudioTracks.track[1].lastSector, c.expectedEnd) << c.what;
    EXPECT_EQ(a.Found().AudioTracks.track[2].firstSector, 200 + c.gap) << c.what;
    EXPECT_EQ(a.reporter.progress.back(), 100u);
  }

  // A later analysis without a cue sheet forgets the tracks.
  Analysis a;
  AnalyseBuilt(a, dir, build(100, true), {}, cue("00:04:00"));
  ASSERT_EQ(a.Found().AudioTracks.audioTrackCount, 1u);
  std::remove(dir.File("disc.cue").c_str());
  RunAnalysis(a, dir.File("disc.bin"));
  EXPECT_EQ(a.Found().AudioTracks.audioTrackCount, 0u);
  EXPECT_EQ(a.Found().dataTrackEnd, 599u);
}

}  // namespace
}  // namespace quarnel
