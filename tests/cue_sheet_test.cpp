#include "analysis/cue_sheet.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace quarnel {
namespace {

struct Parsed {
  AudioTrackTable table{};
  std::vector<std::pair<uint32_t, uint32_t>> logged;
  uint32_t count = 0;
};

Parsed Parse(const std::string& text, uint32_t sectors) {
  Parsed p;
  p.count = ParseCueSheet(text, sectors, p.table, [&](uint32_t track, uint32_t first) {
    p.logged.emplace_back(track, first);
  });
  return p;
}

// A track ends before the next one's pregap (INDEX 00) or at the image's last sector.
TEST(CueSheet, TracksEndAtTheNextPregapOrTheImageEnd) {
  using Spans = std::vector<std::pair<uint32_t, uint32_t>>;  // (first, last) from track 2 on
  struct Case {
    uint32_t dataEnd;
    Spans audio;
    std::string text;
  } cases[] = {
      {8999,
       {{9150, 19999}},
       "FILE \"game.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n "
       "   INDEX 00 02:00:00\n    INDEX 01 02:02:00\n"},
      {9149,
       {{9150, 19999}},
       "  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n  TRACK 02 AUDIO\r\n    INDEX 01 "
       "02:02:00"},
      {13499,
       {{13500, 19999}},
       "TRACK 1 MODE2/2352\nINDEX 1 00:00:00\nTRACK 2 AUDIO\nINDEX 1 03:00:00\n"},
      {4499,
       {{4650, 8999}, {9000, 13499}, {13650, 19999}},
       "TRACK 01 MODE2/2352\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 00 01:00:00\nINDEX 01 "
       "01:02:00\nTRACK 03 AUDIO\nINDEX 01 02:00:00\nTRACK 04 AUDIO\nINDEX 00 03:00:00\nINDEX 01 "
       "03:02:00\n"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.text, 20000);
    ASSERT_EQ(p.count, c.audio.size()) << c.text;
    EXPECT_EQ(p.table.track[1].lastSector, c.dataEnd) << c.text;
    Spans got, logged;
    for (uint32_t n = 2; n < p.count + 2; ++n) {
      got.emplace_back(p.table.track[n].firstSector, p.table.track[n].lastSector);
      logged.emplace_back(n, p.table.track[n].firstSector);
    }
    EXPECT_EQ(got, c.audio) << c.text;
    EXPECT_EQ(p.logged, logged) << c.text;
  }
}

// A sheet with 99 tracks and a 100th TRACK line.
std::string HundredTracks() {
  std::string cue = "TRACK 01 MODE2/2352\nINDEX 01 00:00:00\n";
  for (int n = 2; n <= 99; ++n) {
    char lines[64];
    std::snprintf(lines, sizeof lines, "TRACK %d AUDIO\nINDEX 1 %02d:%02d:00\n", n, n * 2 / 60,
                  n * 2 % 60);
    cue += lines;
  }
  return cue + "TRACK 99 AUDIO\n";
}

// Every line that cannot be used is named with its number; a line that makes the whole sheet
// unusable stops the reading there.
TEST(CueSheet, MalformedSheetsEndTheListAtTheLastGoodTrack) {
  const std::string head = "TRACK 01 MODE2/2352\nINDEX 01 00:00:00\n";
  const std::string two = "TRACK 02 AUDIO\nINDEX 01 01:00:00\n";
  struct Case {
    const char* what;
    std::string text;
    uint32_t tracks;
    std::vector<std::string> unused = {};
    std::string fault = {};
    uint32_t moreUnused = 0;  // counted, not kept
  } cases[] = {
      {"lower case keywords", "track 01 mode2/2352\n  track 02 audio\n\tindex 01 01:00:00\n", 1},
      {"TRACK in titles, file names and remarks",
       "REM TRACK 05 AUDIO\nTITLE \"ORIGINAL SOUNDTRACK\"\nFILE \"TRACK01.BIN\" BINARY\n" + head +
           "  TITLE \"TRACK 03 AUDIO INDEX 01 00:01:00\"\n" + two,
       1},
      {"track without its own INDEX 01 does not take the next one's",
       head + two + "TRACK 03 AUDIO\nPREGAP 00:02:00\nTRACK 04 AUDIO\nINDEX 01 02:00:00\n", 1},
      {"TRACK at the very end", "TRACK", 0, {"line 1: TRACK has no track number from 1 to 99"}},
      {"no space after the number",
       "TRACK 01\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n",
       0,
       {"line 1: TRACK 01 has no track type"}},
      {"skipped number", head + two + "TRACK 04 AUDIO\nINDEX 01 02:00:00\n", 1},
      {"track without INDEX", head + two + "TRACK 03 AUDIO\n", 1},
      {"digits run off the end",
       head + two + "TRACK 03 AUDIO\nINDEX 01 02:0",
       1,
       {"line 6: INDEX 01 02:0 is not a time"}},
      {"index number cut",
       head + two + "TRACK 03 AUDIO\nINDEX ",
       1,
       {"line 6: INDEX has no index number"}},
      {"starts at the last sector", head + two + "TRACK 03 AUDIO\nINDEX 01 04:26:49\n", 1},
      {"starts beyond the image", head + "TRACK 02 AUDIO\nINDEX 01 60:00:00\n", 0},
      {"goes backwards", head + two + "TRACK 03 AUDIO\nINDEX 01 00:30:00\n", 1},
      {"pregap after index 1", head + "TRACK 02 AUDIO\nINDEX 00 02:00:00\nINDEX 01 01:00:00\n", 0},
      {"index 02 first", head + "TRACK 02 AUDIO\nINDEX 02 01:00:00\n", 0},
      {"zero byte hides the rest", head + std::string("\0", 1) + two, 0},
      {"lines counted across a byte order mark, CR LF and CR; the first five kept",
       "\xEF\xBB\xBFREM x\r\nINDEX 01 00:00:00\rCATALOG 1\r\n\x1B[2J\r\n" + head +
           "INDEX 01 00:00:10\r\nTRACK 02 AUDIO\r\nINDEX 01 99:xx:00\nINDEX 00 00:60:00\n"
           "INDEX 1 01:00:00\nPOSTGAP 00:02:00\n; a comment\n",
       1,
       {"line 2: INDEX 01 00:00:00 comes before any TRACK",
        "line 4: ?[2J is not a cue sheet keyword",
        "line 7: INDEX 01 00:00:10 repeats the track's INDEX",
        "line 9: INDEX 01 99:xx:00 is not a time", "line 10: INDEX 00 00:60:00 is not a time"},
       {},
       1},
      {"a track number past 99",
       head + "TRACK 100 AUDIO\nINDEX 01 01:00:00\n",
       0,
       {},
       "line 3: TRACK 100 AUDIO: tracks end at 99"},
      {"a 100th TRACK",
       HundredTracks(),
       98,
       {},
       "line 199: more than 99 TRACK lines: a disc has at most 99 tracks"},
      {"a FILE named twice, in another letter case",
       "FILE \"Game.bin\" BINARY\n" + head + "FILE \"game.BIN\" BINARY\n" + two,
       0,
       {},
       "line 4: FILE \"game.BIN\" names the file of line 1 again"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.text, 20000);  // the last sector is 04:26:49
    EXPECT_EQ(p.count, c.tracks) << c.what;
    EXPECT_EQ(p.logged.size(), c.tracks) << c.what;
    if (c.tracks > 0) {
      EXPECT_EQ(p.table.track[c.tracks + 1].lastSector, 19999u) << c.what;
    }
    const CueSheet sheet = ReadCueSheet(c.text);
    EXPECT_EQ(sheet.unusedLines, c.unused) << c.what;
    EXPECT_EQ(sheet.unusedLineCount, c.unused.size() + c.moreUnused) << c.what;
    EXPECT_EQ(sheet.fault, c.fault) << c.what;
  }
}

}  // namespace
}  // namespace quarnel
