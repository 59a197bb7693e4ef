#include <gtest/gtest.h>

#include <fstream>

#include "analysis/analyse_iso.h"
#include "synthetic/disc_builder.h"
#include "common/sector.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::AnalyseBuilt;
using testing::Analysis;
using testing::AnalysisOptions;
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
  std::string error;
  ASSERT_TRUE(WriteSampleDisc(dir.Path().string(), &error)) << error;
  SampleDiscLayout layout;
  BuildSampleDisc(&layout);

  Analysis a;
  RunAnalysis(a, dir.File("sample.bin"));
  ASSERT_TRUE(a.result.opened);
  EXPECT_FALSE(a.result.stopped);

  ASSERT_EQ(a.MediaCount(), layout.videos.size() + 1);
  for (size_t i = 0; i < layout.videos.size(); ++i) {
    EXPECT_EQ(a.Media(i).kind, MEDIA_VIDEO);
    EXPECT_EQ(a.Media(i).firstSector, layout.videos[i].firstSector);
    EXPECT_EQ(a.Media(i).lastSector, layout.videos[i].lastSector);
  }
  const MediaRecord& xa = a.Media(layout.videos.size());
  EXPECT_EQ(xa.kind, MEDIA_XA);
  EXPECT_EQ(xa.firstSector, layout.xaStream.firstSector);
  EXPECT_EQ(xa.lastSector, layout.xaStream.lastSector);
  EXPECT_EQ(xa.xaRecordCount, layout.xaChannels);
  ASSERT_EQ(a.state->XaRecordTotal, layout.xaRecords.size());
  for (uint32_t i = 0; i < layout.xaRecords.size(); ++i) {
    EXPECT_EQ(a.Xa(i).firstSector, layout.xaRecords[i].firstSector);
    EXPECT_EQ(a.Xa(i).lastSector, layout.xaRecords[i].lastSector);
    EXPECT_EQ(a.Xa(i).channel & 0xFF, static_cast<int32_t>(i));
    EXPECT_EQ(a.state->SectorRecordMap[layout.xaRecords[i].firstSector], i);
    EXPECT_EQ(a.state->SectorRecordMap[layout.xaRecords[i].lastSector], i);
  }

  const AudioTrackTable& tracks = a.state->AudioTracks;
  ASSERT_EQ(tracks.audioTrackCount, layout.audioTracks.size());
  for (uint32_t i = 0; i < tracks.audioTrackCount; ++i) {
    EXPECT_EQ(tracks.track[i + 2].firstSector, layout.audioTracks[i].firstSector);
    EXPECT_EQ(tracks.track[i + 2].lastSector, layout.audioTracks[i].lastSector);
  }
  EXPECT_LT(a.state->dataTrackEnd, layout.audioTracks[0].firstSector);
  EXPECT_TRUE(a.window.checks[IDC_RIP_AUDIO_MP3]);

  std::vector<std::string> expected = {
      "- File Loaded.", "- " + std::to_string(layout.sectorCount) + " sectors found"};
  for (uint32_t i = 0; i < layout.audioTracks.size(); ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "- Audio track %02u found at sector %u", i + 2,
                  layout.audioTracks[i].firstSector);
    expected.push_back(line);
  }
  expected.push_back(Summary(layout.videos.size(), layout.xaChannels));
  EXPECT_EQ(a.window.log, expected);

  // The window after the analysis: path kept, buttons back, first page shown, progress full.
  EXPECT_EQ(a.window.texts[IDC_PATH], dir.File("sample.bin"));
  EXPECT_TRUE(a.window.IsEnabled(IDC_ANALYSE));
  EXPECT_TRUE(a.window.IsEnabled(IDC_PROCESS));
  EXPECT_TRUE(a.window.IsEnabled(IDC_UNCOMPRESS));
  EXPECT_FALSE(a.window.IsEnabled(IDC_DOWN));
  EXPECT_EQ(a.window.progress.back(), 100u);
  char row[64];
  std::snprintf(row, sizeof row, "[Video Stream] from %06u to %06u\r\n",
                layout.videos[0].firstSector, layout.videos[0].lastSector);
  EXPECT_EQ(a.window.texts[IDC_MEDIA_LIST].rfind(row, 0), 0u) << a.window.texts[IDC_MEDIA_LIST];
}

TEST(Analysis, AnyFileEndsInAFinishedAnalysisOrASilentFailure) {
  TempDir dir;
  auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir.File(name), std::ios::binary) << bytes;
    return dir.File(name);
  };
  std::string iso2048(2048 * 64, '\0');
  for (size_t i = 0; i < iso2048.size(); ++i) iso2048[i] = static_cast<char>(i * 7);
  DiscBuilder truncated = DiscWithData(40);
  truncated.MutableImage().resize(truncated.Image().size() - 1000);
  std::string truncatedBytes(truncated.Image().begin(), truncated.Image().end());

  struct Case {
    std::string path;
    uint32_t sectors;
  } cases[] = {
      {write("empty.bin", ""), 0},
      {write("one.bin", "x"), 0},
      {write("text.bin", std::string(5000, 'a')), 2},
      {write("iso2048.iso", iso2048), 2048 * 64 / SECTOR_SIZE},
      {write("truncated.bin", truncatedBytes), 39},
  };
  for (const Case& c : cases) {
    Analysis a;
    RunAnalysis(a, c.path);
    ASSERT_TRUE(a.result.opened) << c.path;
    EXPECT_EQ(a.result.sectorCount, c.sectors) << c.path;
    EXPECT_EQ(a.MediaCount(), 0u) << c.path;
    ASSERT_EQ(a.window.log.size(), 3u) << c.path;
    EXPECT_EQ(a.window.log[1], "- " + std::to_string(c.sectors) + " sectors found");
    EXPECT_EQ(a.window.log[2], Summary(0, 0));
    EXPECT_TRUE(a.window.IsEnabled(IDC_PROCESS));
  }

  // An image that cannot be opened changes nothing in the window.
  for (const std::string& path : {dir.File("missing.bin"), dir.Path().string(), std::string()}) {
    Analysis a;
    a.window.texts[IDC_INFO_LOG] = "old\r\n";
    RunAnalysis(a, path);
    EXPECT_FALSE(a.result.opened);
    EXPECT_NE(a.result.openError, 0);
    EXPECT_EQ(a.window.texts[IDC_INFO_LOG], "old\r\n");
    EXPECT_TRUE(a.window.enableCalls.empty());
  }
}

TEST(Analysis, StopEndsTheScanAndKeepsTheOpenVideoUpToTheSectorBefore) {
  TempDir dir;
  DiscBuilder disc = DiscWithData(50);
  const uint32_t first = disc.AddMovie(20, 8, 7, 1);
  disc.AddDataSectors(20);
  const std::string bin = dir.File("disc.bin");
  std::string error;
  ASSERT_TRUE(disc.Write(bin, {}, &error));
  Analysis a;
  a.window.texts[IDC_PATH] = bin;
  // One pump during set-up, then one after each sector: sector s is followed by pump s + 2.
  a.window.onPump = [&] {
    if (a.window.pumps == first + 30 + 2) a.state->StopRequested = 1;
  };
  a.result = AnalyseIso(*a.state, a.window);

  EXPECT_TRUE(a.result.stopped);
  ASSERT_EQ(a.MediaCount(), 1u);
  EXPECT_EQ(a.Media(0).firstSector, first);
  EXPECT_EQ(a.Media(0).lastSector, first + 29);
  EXPECT_EQ(a.window.log.back(), Summary(0, 0));
  EXPECT_TRUE(a.window.IsEnabled(IDC_ANALYSE));
  EXPECT_NE(a.window.progress.back(), 100u);
}

TEST(Analysis, StoppedScanLeavesThePathBoxAsTheUserLeftIt) {
  TempDir dir;
  DiscBuilder disc = DiscWithData(300);
  const std::string bin = dir.File("disc.bin");
  std::string error;
  ASSERT_TRUE(disc.Write(bin, {}, &error));
  Analysis a;
  a.window.texts[IDC_PATH] = bin;
  a.window.onPump = [&] {
    if (a.window.pumps == 10) {
      a.state->StopRequested = 1;
      a.window.texts[IDC_PATH] = "edited during the scan";
    }
  };
  a.result = AnalyseIso(*a.state, a.window);
  EXPECT_TRUE(a.result.stopped);
  EXPECT_EQ(a.window.texts[IDC_PATH], "edited during the scan");
}

TEST(Analysis, PlainVideoRulesCloseCancelAndSplitMovies) {
  TempDir dir;
  {  // closed at its end-of-file sector; a second movie right behind a first one splits there
    DiscBuilder disc = DiscWithData();
    const uint32_t a1 = disc.AddMovie(6, 8, 7, 1, /*eofAtEnd=*/false);
    const uint32_t b1 = disc.AddMovie(6, 8, 7, 1, /*eofAtEnd=*/true);
    const uint32_t b2 = disc.SectorCount() - 1;
    disc.AddDataSectors(10);
    Analysis a;
    AnalyseBuilt(a, dir, disc);
    ASSERT_EQ(a.MediaCount(), 2u);
    EXPECT_EQ(a.Media(0).firstSector, a1);
    EXPECT_EQ(a.Media(0).lastSector, b1 - 1);
    EXPECT_EQ(a.Media(1).firstSector, b1);
    EXPECT_EQ(a.Media(1).lastSector, b2);
    EXPECT_EQ(a.window.log.back(), Summary(2, 0));
  }
  {  // fewer than 7 video sectors before the first audio sector: dropped, the audio opens XA
    DiscBuilder disc = DiscWithData();
    for (uint16_t i = 0; i < 3; ++i) disc.AddVideoSector(1, i, 8);
    const uint32_t audio = disc.AddXaSector(1);
    disc.AddXaSector(1);
    disc.AddXaSector(1);
    disc.AddDataSectors(5);
    Analysis a;
    AnalyseBuilt(a, dir, disc);
    ASSERT_EQ(a.MediaCount(), 1u);
    EXPECT_EQ(a.Media(0).kind, MEDIA_XA);
    EXPECT_EQ(a.Media(0).firstSector, audio);
    EXPECT_EQ(a.Media(0).lastSector, audio + 2);
  }
  {  // no audio sector: an EOF video sector does not end it, the first foreign sector cancels it
    DiscBuilder disc = DiscWithData();
    disc.AddVideoSector(1, 0, 2);
    disc.AddVideoSector(1, 1, 2, 0x48 | SUBMODE_EOF);
    disc.AddVideoSector(2, 0, 2);
    disc.AddDataSectors(5);
    Analysis a;
    AnalyseBuilt(a, dir, disc);
    EXPECT_EQ(a.MediaCount(), 0u);
  }
  {  // ... and when the scan ends first, the end of the analysis records it, uncounted
    DiscBuilder disc = DiscWithData();
    const uint32_t first = disc.AddVideoSector(1, 0, 2);
    disc.AddVideoSector(1, 1, 2);
    disc.AddVideoSector(2, 0, 2);
    Analysis a;
    AnalyseBuilt(a, dir, disc);
    ASSERT_EQ(a.MediaCount(), 1u);
    EXPECT_EQ(a.Media(0).firstSector, first);
    EXPECT_EQ(a.Media(0).lastSector, first + 2);
    EXPECT_EQ(a.window.log.back(), Summary(0, 0));
  }
  {  // a foreign sector at the last place of the cycle marks the end; the next audio closes it
    DiscBuilder disc = DiscWithData();
    const uint32_t first = disc.AddMovie(1, 7, 7, 1, /*eofAtEnd=*/false);
    disc.AddXaSector(1);  // the cycle is 8 sectors: 7 video, 1 audio
    for (uint16_t i = 0; i < 6; ++i) disc.AddVideoSector(2, i, 7);
    disc.AddDataSector();  // position 8 of 8
    const uint32_t audio = disc.AddXaSector(1);
    disc.AddDataSectors(3);
    Analysis a;
    AnalyseBuilt(a, dir, disc);
    ASSERT_EQ(a.MediaCount(), 1u);
    EXPECT_EQ(a.Media(0).firstSector, first);
    EXPECT_EQ(a.Media(0).lastSector, audio);
  }
  {  // a foreign sector elsewhere in the cycle closes the movie on itself
    DiscBuilder disc = DiscWithData();
    const uint32_t first = disc.AddMovie(1, 7, 7, 1, /*eofAtEnd=*/false);
    disc.AddXaSector(1);
    disc.AddVideoSector(2, 0, 7);
    const uint32_t data = disc.AddDataSector();
    disc.AddDataSectors(3);
    Analysis a;
    AnalyseBuilt(a, dir, disc);
    ASSERT_EQ(a.MediaCount(), 1u);
    EXPECT_EQ(a.Media(0).firstSector, first);
    EXPECT_EQ(a.Media(0).lastSector, data);
  }
}

TEST(Analysis, EnhancedVideoRulesFollowFrameNumbers) {
  TempDir dir;
  AnalysisOptions enhanced;
  enhanced.enhancedMovie = true;
  {  // a jump of two frames ends the movie; the jumping frame-1 sector starts the next one
    DiscBuilder disc = DiscWithData();
    const uint32_t a1 = disc.AddMovie(5, 8, 7, 1, /*eofAtEnd=*/false);
    const uint32_t b1 = disc.AddMovie(5, 8, 7, 1, /*eofAtEnd=*/false);
    const uint32_t jump = disc.AddVideoSector(9, 0, 8);
    disc.AddDataSectors(4);
    Analysis a;
    AnalyseBuilt(a, dir, disc, enhanced);
    ASSERT_EQ(a.MediaCount(), 2u);
    EXPECT_EQ(a.Media(0).firstSector, a1);
    EXPECT_EQ(a.Media(0).lastSector, b1 - 1);
    EXPECT_EQ(a.Media(1).firstSector, b1);
    EXPECT_EQ(a.Media(1).lastSector, jump - 1);
    EXPECT_EQ(a.window.log.back(), Summary(2, 0));
  }
  {  // a frame number one back keeps the movie going
    DiscBuilder disc = DiscWithData();
    const uint32_t first = disc.AddMovie(3, 8, 7, 1, /*eofAtEnd=*/false);
    const uint32_t back = disc.AddVideoSector(2, 0, 8);
    disc.AddDataSectors(4);
    Analysis a;
    AnalyseBuilt(a, dir, disc, enhanced);
    ASSERT_EQ(a.MediaCount(), 1u);
    EXPECT_EQ(a.Media(0).firstSector, first);
    EXPECT_EQ(a.Media(0).lastSector, back);
  }
  {  // a movie whose second sector is already foreign is dropped
    DiscBuilder disc = DiscWithData();
    disc.AddVideoSector(1, 0, 8);
    disc.AddDataSectors(4);
    Analysis a;
    AnalyseBuilt(a, dir, disc, enhanced);
    EXPECT_EQ(a.MediaCount(), 0u);
  }
  {  // with the cycle known, a foreign sector elsewhere than position 1 ends it at the sector
     // before
    DiscBuilder disc = DiscWithData();
    const uint32_t first = disc.AddMovie(3, 8, 7, 1, /*eofAtEnd=*/false);
    const uint32_t foreign = disc.AddDataSector();
    disc.AddDataSectors(3);
    Analysis a;
    AnalyseBuilt(a, dir, disc, enhanced);
    ASSERT_EQ(a.MediaCount(), 1u);
    EXPECT_EQ(a.Media(0).firstSector, first);
    EXPECT_EQ(a.Media(0).lastSector, foreign - 1);
  }
}

TEST(Analysis, Ff8RulesSplitOnDroppingFrameValuesAndIgnoreXa) {
  TempDir dir;
  DiscBuilder disc = DiscWithData();
  const uint32_t a1 = disc.AddFf8Sector('J', 1, 0);
  disc.AddFf8Sector('N', 2, 0);
  disc.AddFf8Sector('R', 3, 1);
  const uint32_t b1 = disc.AddFf8Sector('J', 1, 0);  // the value drops: a new movie here
  disc.AddFf8Sector('N', 2, 5);
  disc.AddXaStream(2, 5);
  disc.AddDataSectors(3);
  AnalysisOptions ff8;
  ff8.ff8 = true;
  Analysis a;
  AnalyseBuilt(a, dir, disc, ff8);
  ASSERT_EQ(a.MediaCount(), 2u);
  EXPECT_EQ(a.Media(0).firstSector, a1);
  EXPECT_EQ(a.Media(0).lastSector, b1 - 1);
  EXPECT_EQ(a.Media(1).firstSector, b1);
  EXPECT_EQ(a.Media(1).lastSector, b1 + 1);
  EXPECT_EQ(a.state->XaRecordTotal, 0u);
  EXPECT_EQ(a.state->Ff8SearchMethod, 1u);
  EXPECT_EQ(a.window.log.back(), Summary(2, 0));
}

TEST(Analysis, TwoThousandMediaFillTheTable) {
  TempDir dir;
  DiscBuilder disc = DiscWithData(20);
  for (int i = 0; i < 2100; ++i) {
    disc.AddFf8Sector('J', 1, 0);
    disc.AddDataSector();
  }
  AnalysisOptions ff8;
  ff8.ff8 = true;
  Analysis a;
  AnalyseBuilt(a, dir, disc, ff8);
  EXPECT_TRUE(a.result.tableFull);
  EXPECT_EQ(a.MediaCount(), 2000u);
  EXPECT_EQ(a.window.log.back(), "ERROR: TOO much Media Found, try Enhanced options.");
  EXPECT_TRUE(a.window.IsEnabled(IDC_DOWN));
}

TEST(Analysis, DataTrackEndsAtTheLastSubheaderBeforeTrackTwoOrWhereTheCueEndsIt) {
  TempDir dir;
  auto build = [](uint32_t gap, bool withData) {
    DiscBuilder disc;
    if (withData) {
      disc.AddDataSectors(200);
    } else {
      disc.AddAudioSectors(200, 0);  // silence: no byte looks like a submode
    }
    disc.AddAudioSectors(gap, 0);
    disc.AddAudioSectors(300, 440);
    return disc;
  };
  auto cue = [](uint32_t indexOne) {
    const uint32_t f = indexOne % 75, s = indexOne / 75 % 60, m = indexOne / 75 / 60;
    char text[200];
    std::snprintf(
        text, sizeof text,
        "TRACK 01 MODE2/2352\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 %02u:%02u:%02u\n", m, s,
        f);
    return std::string(text);
  };
  struct Case {
    const char* what;
    uint32_t gap;
    bool withData;
    uint32_t expectedEnd;
  } cases[] = {
      {"subheader 101 sectors before track 2", 100, true, 199},
      {"subheader 151 sectors before track 2", 150, true, 349},
      {"no subheader anywhere", 100, false, 299},
  };
  for (const Case& c : cases) {
    Analysis a;
    AnalyseBuilt(a, dir, build(c.gap, c.withData), {}, cue(200 + c.gap));
    ASSERT_EQ(a.state->AudioTracks.audioTrackCount, 1u) << c.what;
    EXPECT_EQ(a.state->dataTrackEnd, c.expectedEnd) << c.what;
    EXPECT_EQ(a.state->AudioTracks.track[1].lastSector, c.expectedEnd) << c.what;
    EXPECT_EQ(a.state->AudioTracks.track[2].firstSector, 200 + c.gap) << c.what;
    EXPECT_EQ(a.window.progress.back(), 100u);
  }

  // A later analysis without a cue sheet forgets the tracks.
  Analysis a;
  AnalyseBuilt(a, dir, build(100, true), {}, cue(300));
  ASSERT_EQ(a.state->AudioTracks.audioTrackCount, 1u);
  std::remove(dir.File("disc.cue").c_str());
  RunAnalysis(a, dir.File("disc.bin"));
  EXPECT_EQ(a.state->AudioTracks.audioTrackCount, 0u);
  EXPECT_EQ(a.state->dataTrackEnd, 599u);
}

}  // namespace
}  // namespace quarnel
