#include <gtest/gtest.h>

#include "common/sector.h"
#include "synthetic/disc_builder.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::AnalyseBuilt;
using testing::Analysis;
using testing::TempDir;

constexpr uint32_t SILENT_START = 1u << 0;
constexpr uint32_t SILENT_END = (1u << 16) | (1u << 17);
constexpr int64_t ANY = -1;
constexpr uint16_t NONE = NO_XA_RECORD;

struct MediaCheck {
  uint32_t first, last, records;
};
struct RecordCheck {
  uint32_t index;
  int64_t first, last, channel;  // ANY: not checked
};

DiscBuilder Lead() {
  DiscBuilder disc;
  disc.AddDataSectors(100);
  return disc;
}

void InTurn(DiscBuilder& disc, uint32_t channels, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) disc.AddXaSector(static_cast<uint8_t>(i % channels));
}

std::unique_ptr<Analysis> Detect(const DiscBuilder& disc, bool enhanced = false) {
  TempDir dir;
  auto a = std::make_unique<Analysis>();
  AnalyseBuilt(*a, dir, disc, {.enhancedXa = enhanced});
  return a;
}

void Check(const Analysis& a, const std::vector<MediaCheck>& media, uint32_t total,
           const std::vector<RecordCheck>& records,
           const std::vector<std::pair<uint32_t, uint16_t>>& map = {}) {
  ASSERT_EQ(a.MediaCount(), media.size());
  for (size_t i = 0; i < media.size(); ++i) {
    EXPECT_EQ(a.Media(i).kind, MEDIA_XA) << i;
    EXPECT_EQ(a.Media(i).firstSector, media[i].first) << i;
    EXPECT_EQ(a.Media(i).lastSector, media[i].last) << i;
    EXPECT_EQ(a.Media(i).xaRecordCount, media[i].records) << i;
  }
  ASSERT_EQ(a.Found().XaRecordTotal, total);
  for (const RecordCheck& r : records) {
    const XaRecord& x = a.Xa(r.index);
    auto same = [](int64_t want, int64_t got) { return want == ANY || want == got; };
    EXPECT_TRUE(same(r.first, x.firstSector) && same(r.last, x.lastSector) &&
                same(r.channel, x.channel))
        << "record " << r.index << ": " << x.firstSector << "-" << x.lastSector << " channel "
        << x.channel;
  }
  for (const auto& [sector, record] : map) {
    EXPECT_EQ(a.Found().SectorRecordMap[sector], record) << "sector " << sector;
  }
}

TEST(XaDetection, CycleLearningAndClosingRules) {
  {
    SCOPED_TRACE("four channels in turn closed by a data sector");
    DiscBuilder d = Lead();
    InTurn(d, 4, 400);
    d.AddDataSectors(10);
    Check(*Detect(d), {{100, 499, 4}}, 4,
          {{0, 100, 496, 0}, {1, 101, 497, 1}, {2, 102, 498, 2}, {3, 103, 499, 3}},
          {{99, NONE}, {100, 0}, {101, 1}, {498, 2}, {499, 3}, {500, NONE}});
  }
  {
    SCOPED_TRACE("a lone XA sector is dropped again");
    DiscBuilder d = Lead();
    d.AddXaSector(0);
    d.AddDataSectors(5);
    Check(*Detect(d), {}, 0, {});
  }
  {
    SCOPED_TRACE("one channel ends at its EOF sector");
    DiscBuilder d = Lead();
    for (int i = 0; i < 9; ++i) d.AddXaSector(3);
    d.AddXaSector(3, 0, SUBMODE_EOF);
    d.AddDataSectors(5);
    Check(*Detect(d), {{100, 109, 1}}, 1, {{0, 100, 109, 3}});
  }
  {
    SCOPED_TRACE("two alternating channels end at their EOF sectors");
    DiscBuilder d = Lead();
    d.AddXaStream(2, 12);
    d.AddDataSectors(5);
    Check(*Detect(d), {{100, 123, 2}}, 2, {{0, 100, 122, ANY}, {1, 101, 123, ANY}});
  }
  {
    SCOPED_TRACE("a displaced channel ends one cycle back");
    DiscBuilder d = Lead();
    for (uint32_t i = 0; i < 80; ++i) {  // channel 7 takes channel 1's place from 141 on
      d.AddXaSector(static_cast<uint8_t>(i >= 40 && i % 4 == 1 ? 7 : i % 4));
    }
    d.AddDataSectors(5);
    Check(*Detect(d), {{100, 179, 5}}, 5, {{1, 101, 137, 1}, {4, 141, 177, 7}}, {{141, 4}});
  }
  {
    SCOPED_TRACE("a video sector inside a stream only advances the cycle");
    DiscBuilder d = Lead();
    InTurn(d, 3, 12);
    d.AddVideoSector(1, 0, 1);  // in channel 0's place
    for (uint32_t i = 13; i < 24; ++i) d.AddXaSector(static_cast<uint8_t>(i % 3));
    d.AddDataSectors(5);
    Check(*Detect(d), {{100, 123, 3}}, 3, {}, {{112, NONE}});
  }
  {
    SCOPED_TRACE("a first channel that never comes back closes after 256 sectors");
    DiscBuilder d = Lead();
    d.AddXaSector(0);
    for (int i = 0; i < 300; ++i) d.AddXaSector(1);
    d.AddDataSectors(3);
    Check(*Detect(d), {{100, 355, 2}, {356, 400, 1}}, 3, {{0, ANY, 100, ANY}, {1, 101, 355, 1}});
  }
  {
    SCOPED_TRACE("a stream running into the end of the image closes with its runs");
    DiscBuilder d = Lead();
    InTurn(d, 3, 30);
    Check(*Detect(d), {{100, 129, 3}}, 3, {{0, 100, 127, 0}, {2, 102, 129, 2}});
  }
}

TEST(XaDetection, SilenceDelaysRunsAndSplitsThemWhenEnhanced) {
  // Channels 0 and 1 in turn; channel 1 starts quiet, sounds, then ends a sector in silence.
  DiscBuilder d = Lead();
  for (uint32_t i = 0; i < 60; ++i) {
    const uint8_t c = static_cast<uint8_t>(i % 2);
    const uint32_t silent = c == 0 ? 0 : i < 10 ? SILENT_START : i == 41 ? SILENT_END : 0;
    d.AddXaSector(c, 0, 0, silent);
  }
  d.AddDataSectors(5);
  Check(*Detect(d), {{100, 159, 2}}, 2, {{1, 111, 159, 1}}, {{101, NONE}, {111, 1}});
  Check(*Detect(d, true), {{100, 159, 3}}, 3, {{1, 111, 141, 1}, {2, 143, 159, ANY}},
        {{141, 1}, {143, 2}});
}

TEST(XaDetection, RecordsPastTheTableAreCountedButNeverStored) {
  // Once the four-sector cycle is learned, channels 0-3 and 4-7 take turns by round, so every
  // sector displaces the channel a cycle back and starts a record.
  DiscBuilder d = Lead();
  for (uint32_t i = 0; i < 5200; ++i) {
    const uint32_t set = i < 8 ? 0 : (i / 4) % 2;
    d.AddXaSector(static_cast<uint8_t>(set * 4 + i % 4));
  }
  d.AddDataSectors(3);
  const auto a = Detect(d);
  EXPECT_GT(a->Found().XaRecordTotal, XA_RECORD_TABLE_SIZE);
  EXPECT_EQ(a->reporter.log.back(), "ERROR: TOO much XA records Found, try Enhanced options.");
  for (uint32_t s = 0; s < d.SectorCount(); ++s) {
    const uint16_t r = a->Found().SectorRecordMap[s];
    ASSERT_TRUE(r == NONE || r < XA_RECORD_TABLE_SIZE);
  }
}

}  // namespace
}  // namespace quarnel
