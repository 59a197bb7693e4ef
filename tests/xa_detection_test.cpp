#include <gtest/gtest.h>

#include "synthetic/disc_builder.h"
#include "common/sector.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::AnalyseBuilt;
using testing::Analysis;
using testing::AnalysisOptions;
using testing::TempDir;

constexpr uint32_t SILENT_START = 1u << 0;
constexpr uint32_t SILENT_END = (1u << 16) | (1u << 17);

DiscBuilder DataUpTo(uint32_t sector) {
  DiscBuilder disc;
  disc.AddDataSectors(sector);
  return disc;
}

TEST(XaDetection, FourChannelsInTurnClosedByADataSector) {
  TempDir dir;
  DiscBuilder disc = DataUpTo(1000);
  for (uint32_t i = 0; i < 400; ++i) disc.AddXaSector(static_cast<uint8_t>(i % 4));
  disc.AddDataSectors(10);
  Analysis a;
  AnalyseBuilt(a, dir, disc);

  ASSERT_EQ(a.MediaCount(), 1u);
  EXPECT_EQ(a.Media(0).kind, MEDIA_XA);
  EXPECT_EQ(a.Media(0).firstSector, 1000u);
  EXPECT_EQ(a.Media(0).lastSector, 1399u);
  EXPECT_EQ(a.Media(0).xaRecordCount, 4u);
  ASSERT_EQ(a.state->XaRecordTotal, 4u);
  for (uint32_t c = 0; c < 4; ++c) {
    EXPECT_EQ(a.Xa(c).firstSector, 1000 + c);
    EXPECT_EQ(a.Xa(c).lastSector, 1396 + c);
    EXPECT_EQ(a.Xa(c).channel, static_cast<int32_t>(c));
  }
  for (uint32_t s = 1000; s < 1400; ++s) ASSERT_EQ(a.state->SectorRecordMap[s], (s - 1000) % 4);
  EXPECT_EQ(a.state->SectorRecordMap[999], NO_XA_RECORD);
  EXPECT_EQ(a.state->SectorRecordMap[1400], NO_XA_RECORD);
  EXPECT_EQ(a.window.log.back(), "0 Video found and 4 XA Records found within XA streams");
  EXPECT_EQ(a.window.texts[IDC_MEDIA_LIST], "[XA Stream] from 001000 to 001399 (4 Records)\r\n");
}

TEST(XaDetection, SingleAndAlternatingChannelsEndAtTheirEofSectors) {
  TempDir dir;
  {  // a lone XA sector is dropped again
    DiscBuilder disc = DataUpTo(100);
    disc.AddXaSector(0);
    disc.AddDataSectors(5);
    Analysis a;
    AnalyseBuilt(a, dir, disc);
    EXPECT_EQ(a.MediaCount(), 0u);
    EXPECT_EQ(a.state->XaRecordTotal, 0u);
  }
  {  // one channel: one record from the first sector to the EOF sector
    DiscBuilder disc = DataUpTo(100);
    for (int i = 0; i < 9; ++i) disc.AddXaSector(3);
    const uint32_t eof = disc.AddXaSector(3, 0, SUBMODE_EOF);
    disc.AddDataSectors(5);
    Analysis a;
    AnalyseBuilt(a, dir, disc);
    ASSERT_EQ(a.MediaCount(), 1u);
    EXPECT_EQ(a.Media(0).firstSector, 100u);
    EXPECT_EQ(a.Media(0).lastSector, eof);
    ASSERT_EQ(a.state->XaRecordTotal, 1u);
    EXPECT_EQ(a.Xa(0).firstSector, 100u);
    EXPECT_EQ(a.Xa(0).lastSector, eof);
    EXPECT_EQ(a.Xa(0).channel, 3);
  }
  {  // two strictly alternating channels: one record each; the last EOF closes the stream
    DiscBuilder disc = DataUpTo(100);
    const uint32_t first = disc.AddXaStream(2, 12);
    const uint32_t last = disc.SectorCount() - 1;
    disc.AddDataSectors(5);
    Analysis a;
    AnalyseBuilt(a, dir, disc);
    ASSERT_EQ(a.MediaCount(), 1u);
    EXPECT_EQ(a.Media(0).firstSector, first);
    EXPECT_EQ(a.Media(0).lastSector, last);
    ASSERT_EQ(a.state->XaRecordTotal, 2u);
    EXPECT_EQ(a.Xa(0).firstSector, first);
    EXPECT_EQ(a.Xa(0).lastSector, last - 1);
    EXPECT_EQ(a.Xa(1).firstSector, first + 1);
    EXPECT_EQ(a.Xa(1).lastSector, last);
  }
}

TEST(XaDetection, DisplacedChannelEndsOneCycleBack) {
  TempDir dir;
  DiscBuilder disc = DataUpTo(200);
  for (uint32_t i = 0; i < 40; ++i) disc.AddXaSector(static_cast<uint8_t>(i % 4));
  // Channel 1's place (position 1) is taken by channel 7 from sector 241 on.
  for (uint32_t i = 40; i < 80; ++i) disc.AddXaSector(static_cast<uint8_t>(i % 4 == 1 ? 7 : i % 4));
  disc.AddDataSectors(5);
  Analysis a;
  AnalyseBuilt(a, dir, disc);
  ASSERT_EQ(a.state->XaRecordTotal, 5u);
  EXPECT_EQ(a.Xa(1).firstSector, 201u);
  EXPECT_EQ(a.Xa(1).lastSector, 237u);
  EXPECT_EQ(a.Xa(1).channel, 1);
  EXPECT_EQ(a.Xa(4).firstSector, 241u);
  EXPECT_EQ(a.Xa(4).lastSector, 277u);
  EXPECT_EQ(a.Xa(4).channel, 7);
  EXPECT_EQ(a.state->SectorRecordMap[241], 4u);
  EXPECT_EQ(a.Media(0).xaRecordCount, 5u);
}

TEST(XaDetection, SilenceDelaysRunsAndSplitsThemWhenEnhanced) {
  TempDir dir;
  DiscBuilder disc = DataUpTo(300);
  // Channels 0 and 1 in turn; channel 1 starts quiet, then sounds, then ends a sector in silence.
  for (uint32_t i = 0; i < 60; ++i) {
    const uint8_t c = static_cast<uint8_t>(i % 2);
    uint32_t silent = 0;
    if (c == 1 && i < 10) silent = SILENT_START;
    if (c == 1 && i == 41) silent = SILENT_END;
    disc.AddXaSector(c, 0, 0, silent);
  }
  disc.AddDataSectors(5);

  Analysis plain;
  AnalyseBuilt(plain, dir, disc);
  ASSERT_EQ(plain.state->XaRecordTotal, 2u);
  EXPECT_EQ(plain.state->SectorRecordMap[301], NO_XA_RECORD);  // quiet start: not mapped
  EXPECT_EQ(plain.Xa(1).firstSector, 311u);
  EXPECT_EQ(plain.Xa(1).lastSector, 359u);

  AnalysisOptions enhanced;
  enhanced.enhancedXa = true;
  Analysis split;
  AnalyseBuilt(split, dir, disc, enhanced);
  ASSERT_EQ(split.state->XaRecordTotal, 3u);
  EXPECT_EQ(split.Xa(1).firstSector, 311u);
  EXPECT_EQ(split.Xa(1).lastSector, 341u);
  EXPECT_EQ(split.Xa(2).firstSector, 343u);
  EXPECT_EQ(split.Xa(2).lastSector, 359u);
  EXPECT_EQ(split.state->SectorRecordMap[341], 1u);
  EXPECT_EQ(split.state->SectorRecordMap[343], 2u);
}

TEST(XaDetection, VideoSectorInsideAStreamOnlyAdvancesTheCycle) {
  TempDir dir;
  DiscBuilder disc = DataUpTo(100);
  for (uint32_t i = 0; i < 12; ++i) disc.AddXaSector(static_cast<uint8_t>(i % 3));
  disc.AddVideoSector(1, 0, 1);  // takes channel 0's place once
  for (uint32_t i = 13; i < 24; ++i) disc.AddXaSector(static_cast<uint8_t>(i % 3));
  disc.AddDataSectors(5);
  Analysis a;
  AnalyseBuilt(a, dir, disc);
  ASSERT_EQ(a.MediaCount(), 1u);
  EXPECT_EQ(a.Media(0).kind, MEDIA_XA);
  EXPECT_EQ(a.Media(0).lastSector, 123u);
  EXPECT_EQ(a.state->XaRecordTotal, 3u);
  EXPECT_EQ(a.state->SectorRecordMap[112], NO_XA_RECORD);
}

TEST(XaDetection, StreamsThatNeverCloseAreClosedAtTheEnd) {
  TempDir dir;
  {  // the first channel never comes back: closed after 256 sectors, the rest starts anew
    DiscBuilder disc = DataUpTo(100);
    disc.AddXaSector(0);
    for (int i = 0; i < 300; ++i) disc.AddXaSector(1);
    disc.AddDataSectors(3);
    Analysis a;
    AnalyseBuilt(a, dir, disc);
    ASSERT_EQ(a.MediaCount(), 2u);
    EXPECT_EQ(a.Media(0).firstSector, 100u);
    EXPECT_EQ(a.Media(0).lastSector, 355u);
    EXPECT_EQ(a.Media(1).firstSector, 356u);
    EXPECT_EQ(a.Media(1).lastSector, 400u);
    EXPECT_EQ(a.Xa(0).lastSector, 100u);
    EXPECT_EQ(a.Xa(1).firstSector, 101u);
    EXPECT_EQ(a.Xa(1).lastSector, 355u);
  }
  {  // a stream running into the end of the image is closed with its runs
    DiscBuilder disc = DataUpTo(100);
    for (uint32_t i = 0; i < 30; ++i) disc.AddXaSector(static_cast<uint8_t>(i % 3));
    Analysis a;
    AnalyseBuilt(a, dir, disc);
    ASSERT_EQ(a.MediaCount(), 1u);
    EXPECT_EQ(a.Media(0).lastSector, 129u);
    EXPECT_EQ(a.Media(0).xaRecordCount, 3u);
    EXPECT_EQ(a.Xa(0).lastSector, 127u);
    EXPECT_EQ(a.Xa(2).lastSector, 129u);
  }
}

TEST(XaDetection, RecordsPastTheTableAreCountedButNeverStored) {
  TempDir dir;
  DiscBuilder disc = DataUpTo(20);
  // Once the four-sector cycle is learned, channels 0-3 and 4-7 take turns by round, so every
  // sector displaces the channel a cycle back and starts a record.
  for (uint32_t i = 0; i < 5200; ++i) {
    const uint32_t round = i / 4;
    const uint32_t set = round < 2 ? 0 : round % 2;
    disc.AddXaSector(static_cast<uint8_t>(set * 4 + i % 4));
  }
  disc.AddDataSectors(3);
  Analysis a;
  AnalyseBuilt(a, dir, disc);
  EXPECT_GT(a.state->XaRecordTotal, XA_RECORD_TABLE_SIZE);
  EXPECT_EQ(a.window.log.back(), "ERROR: TOO much XA records Found, try Enhanced options.");
  for (uint32_t s = 0; s < disc.SectorCount(); ++s) {
    const uint16_t r = a.state->SectorRecordMap[s];
    ASSERT_TRUE(r == NO_XA_RECORD || r < XA_RECORD_TABLE_SIZE);
  }
}

}  // namespace
}  // namespace quarnel
