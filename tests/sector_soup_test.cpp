// Randomized images of plausible and broken sectors: every analysis must finish with tables that
// processing can trust, whatever the sectors say.
#include <gtest/gtest.h>

#include <random>

#include "common/sector.h"
#include "synthetic/disc_builder.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::AnalyseBuilt;
using testing::Analysis;
using testing::AnalysisOptions;
using testing::TempDir;

void AddRandomSector(DiscBuilder& disc, std::mt19937& rng) {
  const uint8_t channel = static_cast<uint8_t>(rng() % 8 == 0 ? rng() : rng() % 4);
  switch (rng() % 10) {
    case 0:
      disc.AddDataSector();
      break;
    case 1:
    case 2: {
      static const uint8_t submodes[] = {0x48, 0x42, 0x48 | 0x80, 0x42 | 0x80, 0x08};
      disc.AddVideoSector(rng() % 4, static_cast<uint16_t>(rng() % 8), 8, submodes[rng() % 5],
                          channel);
      break;
    }
    case 3:
    case 4:
    case 5:
      disc.AddXaSector(channel, static_cast<uint8_t>(rng() % 16), rng() % 12 == 0 ? 0x80 : 0,
                       rng() % 4 == 0 ? static_cast<uint32_t>(rng()) : 0);
      break;
    case 6: {
      static const uint8_t kinds[] = {'J', 'N', 'R', 'X'};
      disc.AddFf8Sector(kinds[rng() % 4], static_cast<uint8_t>(rng() % 3),
                        static_cast<uint16_t>(rng() % 6));
      break;
    }
    case 7:
      disc.AddSector(static_cast<uint8_t>(rng()), channel, static_cast<uint8_t>(rng()),
                     static_cast<uint8_t>(rng()));
      break;
    case 8: {
      uint8_t raw[SECTOR_SIZE];
      for (uint8_t& b : raw) b = static_cast<uint8_t>(rng());
      disc.AddRawSector(raw);
      break;
    }
    default:
      disc.AddXaSector(channel);
      break;
  }
}

void CheckTables(const Analysis& a, uint32_t sectors) {
  const AppState& st = *a.state;
  uint32_t count = 0;
  while (count < MEDIA_TABLE_SIZE && st.MediaTable[count].kind != MEDIA_NONE) ++count;
  for (uint32_t i = count; i < MEDIA_TABLE_SIZE; ++i) ASSERT_EQ(st.MediaTable[i].kind, MEDIA_NONE);
  for (uint32_t i = 0; i < count; ++i) {
    const MediaRecord& m = st.MediaTable[i];
    ASSERT_GT(m.firstSector, 16u) << i;
    ASSERT_LE(m.firstSector, m.lastSector) << i;
    ASSERT_LT(m.lastSector, sectors) << i;
    ASSERT_TRUE(i == 0 || m.firstSector > st.MediaTable[i - 1].lastSector) << i;
    ASSERT_TRUE(m.kind != MEDIA_XA || m.xaRecordCount <= st.XaRecordTotal) << i;
  }
  const uint32_t stored = std::min(st.XaRecordTotal, XA_RECORD_TABLE_SIZE);
  for (uint32_t r = 0; r < stored; ++r) {
    const XaRecord& x = st.XaRecordTable[r];
    if (x.lastSector == 0) continue;  // a run that nothing ended
    ASSERT_LE(x.firstSector, x.lastSector) << r;
    ASSERT_LT(x.lastSector, sectors) << r;
  }
  for (uint32_t s = 0; s < SECTOR_RECORD_MAP_SIZE; ++s) {
    const uint16_t r = st.SectorRecordMap[s];
    if (r == NO_XA_RECORD) continue;
    ASSERT_LT(s, sectors);
    ASSERT_LT(r, XA_RECORD_TABLE_SIZE);
  }
}

TEST(SectorSoup, RandomImagesGiveConsistentTablesInEveryMode) {
  TempDir dir;
  std::mt19937 rng(20261206);
  for (int iteration = 0; iteration < 24; ++iteration) {
    DiscBuilder disc;
    disc.AddDataSectors(17 + rng() % 5);
    const uint32_t total = 500 + rng() % 3000;
    while (disc.SectorCount() < total) {
      // Runs of one kind, as on real discs, mixed with single odd sectors.
      const uint32_t run = rng() % 3 == 0 ? 1 + rng() % 40 : 1;
      const uint32_t kind = rng();
      for (uint32_t i = 0; i < run; ++i) {
        std::mt19937 local(kind + (run > 1 ? 0 : i));
        AddRandomSector(disc, run > 1 && i % 2 ? rng : local);
      }
    }
    if (iteration % 3 == 0) disc.MutableImage().resize(disc.Image().size() - rng() % SECTOR_SIZE);
    const uint32_t sectors = static_cast<uint32_t>(disc.Image().size() / SECTOR_SIZE);
    for (int mode = 0; mode < 4; ++mode) {
      const AnalysisOptions options{
          .ff8 = mode == 3, .enhancedMovie = mode == 1 || mode == 2, .enhancedXa = mode == 2};
      Analysis a;
      AnalyseBuilt(a, dir, disc, options);
      ASSERT_TRUE(a.result.opened);
      ASSERT_NO_FATAL_FAILURE(CheckTables(a, sectors))
          << "iteration " << iteration << " mode " << mode;
    }
  }
}

}  // namespace
}  // namespace quarnel
