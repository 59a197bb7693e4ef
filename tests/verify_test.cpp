#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <tuple>

#include "common/output_file.h"
#include "common/sector.h"
#include "packing/compressed_format.h"
#include "packing/dump_check.h"
#include "packing/dump_restore.h"
#include "packing/process_disc.h"
#include "packing/verify_image.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::AnalyseBuilt;
using testing::Analysis;
using testing::ReadAll;
using testing::RunAnalysis;
using testing::ScopedChdir;
using testing::TempDir;
using testing::WriteAll;

// Whatever process writes, verify passes with the SHA-1 process logged; the source differs in
// exactly the ripped sectors; the DAT names the entry, or none once it is changed.
TEST(VerifyImage, PassesWhatProcessWritesWithTheSha1ProcessLogged) {
  // name, sample disc (else a mixed disc), combo, XA stream ripped with its sound kept (".ZNX" with
  // an XA section), audio tracks to MP3, entries of the XA and of the audio track sections
  for (const auto& [name, sample, combo, ripXa, audioMp3, xaEntries, trackEntries] :
       {std::tuple{"bzip2, partial sector", false, CompressionChoice::Maximum, false, false, 0u,
                   0u},
        {"zlib, audio tracks", true, CompressionChoice::Normal, false, true, 0u, 2u},
        {"bzip2, audio tracks", true, CompressionChoice::Maximum, false, true, 0u, 2u},
        {"XA tags, XA section", true, CompressionChoice::Normal, true, false, 4u, 0u}}) {
    SCOPED_TRACE(name);
    TempDir dir;
    ScopedChdir inside(dir.Path());
    Analysis a;
    const SampleDiscLayout& layout = testing::WriteSample(dir);
    sample ? RunAnalysis(a, dir.File("sample.bin"))
           : AnalyseBuilt(a, dir, testing::MixedDisc(1000));
    // The analysis's media, as the command line hands them to the comparison.
    VerifyOptions options;
    options.source = a.Found().ImagePath;
    options.sourceHasAudioTracks = a.Found().AudioTracks.audioTrackCount != 0;
    for (uint32_t i = 0; i < a.MediaCount(); ++i) {
      options.media.push_back({a.Media(i).firstSector, a.Media(i).lastSector});
    }
    if (ripXa) a.Marks().MediaTable[layout.videos.size()].rip = 1;
    const ProcessReport p = ProcessDisc(
        a.Found(), {.compression = combo, .xaMp3 = ripXa, .audioMp3 = audioMp3, .verify = true},
        a.reporter);
    ASSERT_TRUE(p.outcome.Done()) << p.outcome.error;
    EXPECT_EQ(a.reporter.log.back(), "- SHA-1 of the restored image: " + p.restoredSha1);

    testing::TestReporter window;
    VerifyReport report = VerifyImage(window, p.dataFile, options);
    ASSERT_TRUE(report.Passed()) << report.layout.error;
    EXPECT_EQ(report.restored.sha1, p.restoredSha1);
    EXPECT_EQ(window.log.back(), "- SHA-1 of the restored image: " + p.restoredSha1);
    uint32_t entries[2] = {0, 0};  // audio tracks, XA records
    for (const SectionInfo& s : report.layout.sections) entries[s.xa] += s.entries.size();
    EXPECT_EQ(std::pair(entries[1], entries[0]), std::pair(xaEntries, trackEntries));
    ASSERT_EQ(report.differences.size(), ripXa ? 1u : 0u);
    for (const auto& d : report.differences) {
      EXPECT_EQ(std::tuple(d.first, d.last, d.inMedium),
                std::tuple(layout.xaStream.firstSector, layout.xaStream.lastSector, true));
    }

    DatFile dat;
    std::string error;
    for (const bool changed : {false, true}) {
      std::ofstream(dir.File("set.dat"))
          << "<datafile><game name=\"Sample\"><rom name=\"Sample Game (Track 1).bin\" size=\""
          << report.restored.size << "\" sha1=\""
          << (changed ? std::string(40, 'a') : report.restored.sha1) << "\"/></game></datafile>";
      ASSERT_TRUE(dat.Load(dir.File("set.dat"), error)) << error;
      options.dat = &dat;
      options.source.clear();
      const VerifyReport named = VerifyImage(window, p.dataFile, options);
      EXPECT_EQ(named.Passed(), !changed);
      EXPECT_EQ(named.datMatch ? named.datMatch->rom : "",
                changed ? "" : "Sample Game (Track 1).bin");
    }
  }
}

// The source may differ only inside the media its analysis found, taken together: two XA streams
// ripped back to back differ as one range, which passes; a range that runs past the media fails.
TEST(VerifyImage, ComparesWithTheSourceInsideTheJoinedMedia) {
  TempDir dir;
  DiscBuilder disc;
  disc.AddDataSectors(30);
  disc.AddXaStream(2, 6);  // sectors 30-41
  disc.AddXaStream(4, 5);  // sectors 42-61
  disc.AddDataSectors(5);
  Analysis a;
  AnalyseBuilt(a, dir, disc);
  VerifyOptions options;
  options.source = a.Found().ImagePath;
  for (uint32_t i = 0; i < a.MediaCount(); ++i) {
    a.Marks().MediaTable[i].rip = 1;
    options.media.push_back({a.Media(i).firstSector, a.Media(i).lastSector});
  }
  ASSERT_EQ(options.media.size(), 2u);
  const ProcessReport p = ProcessDisc(a.Found(), {}, a.reporter);
  ASSERT_TRUE(p.outcome.Done()) << p.outcome.error;
  for (const bool joined : {true, false}) {
    if (!joined) options.media.pop_back();  // the range now starts inside a medium and runs on
    testing::TestReporter window;
    const VerifyReport report = VerifyImage(window, p.dataFile, options);
    ASSERT_EQ(report.differences.size(), 1u);
    const SectorDifference& d = report.differences[0];
    EXPECT_EQ(std::tuple(d.first, d.last, d.inMedium), std::tuple(30u, 61u, joined));
    EXPECT_EQ(report.Passed(), joined);
  }
}

// A written image that restores whole but different (two blocks of one stored length swapped
// before the read-back) fails the run: the restored SHA-1 must be the written one.
TEST(VerifyImage, ProcessRefusesAnImageThatRestoresToOtherBytes) {
  TempDir dir;
  Analysis a;
  AnalyseBuilt(a, dir, testing::MixedDisc());
  const std::string data = dir.File("disc.bin.Z") + PARTIAL_SUFFIX;
  bool swapped = false;
  a.reporter.onLog = [&](const std::string& line) {
    if (line != "- Reading the compressed image back...") return;
    const std::vector<uint8_t> t = ReadAll(dir.File("disc.bin.Z.table") + PARTIAL_SUFFIX);
    std::vector<uint8_t> d = ReadAll(data);
    for (size_t i = 0; i + 6 < t.size() && !swapped; i += 6) {
      for (size_t j = i + 6; j < t.size() && !swapped; j += 6) {
        const uint32_t length = GetU16(t.data() + i + 4);
        if (GetU16(t.data() + j + 4) != length) continue;
        const auto x = d.begin() + GetU32(t.data() + i), y = d.begin() + GetU32(t.data() + j);
        swapped = !std::equal(x, x + length, y);
        std::swap_ranges(x, x + length, y);
      }
    }
    WriteAll(data, d);
  };
  const ProcessReport p = ProcessDisc(a.Found(), {.verify = true}, a.reporter);
  ASSERT_TRUE(swapped);
  EXPECT_TRUE(p.outcome.Failed());
  EXPECT_EQ(p.outcome.error, dir.File("disc.bin.Z") + " does not restore what was compressed");
  EXPECT_FALSE(std::filesystem::exists(dir.File("disc.bin.Z")));
}

// A stop while the kept FLACs decode is a stop, never damage: verify's check of them and the
// restore of a single image's audio tracks end with no problem and no failure.
TEST(VerifyImage, AStopInTheKeptFlacsIsNoDamage) {
  TempDir dir;
  ScopedChdir inside(dir.Path());
  testing::WriteSample(dir);
  Analysis a;
  RunAnalysis(a, dir.File("sample.bin"));
  const ProcessReport p = ProcessDisc(a.Found(), {.keepLossless = true}, a.reporter);
  ASSERT_TRUE(p.outcome.Done()) << p.outcome.error;
  testing::TestReporter stopping;
  stopping.onPump = [&] { stopping.stop.Request(); };
  DumpRestore dump;
  ASSERT_TRUE(dump.Load(p.dataFile, dir.File("")) && dump.PrefixLength() != 0) << dump.Error();
  const DumpCheck check = CheckDumpBeside(p.dataFile, dump.List(), {}, "", stopping);
  EXPECT_TRUE(check.stopped && check.problems.empty() && !check.Complete());
  OutputFile out;
  Checksums sums;
  std::string why;
  ASSERT_TRUE(out.CreateStaged(dir.File("restored.bin")));
  EXPECT_FALSE(dump.AppendDataFileTail(out, sums, stopping, &why));
  EXPECT_TRUE(dump.Stopped()) << why;
  out.Discard();
}

// Damages aimed at the data file, the side file, a tag and the sections (entries whose sectors
// are impossible, sound files that do not decode), then random ones, end in a failed verification
// that names the block, section entry or file.
TEST(VerifyImage, FailsNamingTheBlockOrSectionOfEveryDamage) {
  TempDir dir;
  ScopedChdir inside(dir.Path());
  const SampleDiscLayout& layout = testing::WriteSample(dir);
  std::mt19937 rng(99);
  using Bytes = std::vector<uint8_t>;
  for (const bool xa : {false, true}) {  // ".ZNX" with an XA section, else ".bz" with a track one
    Analysis a;
    RunAnalysis(a, dir.File("sample.bin"));
    a.Marks().MediaTable[layout.videos.size()].rip = xa;
    const ProcessReport p =
        ProcessDisc(a.Found(),
                    {.compression = xa ? CompressionChoice::Normal : CompressionChoice::Maximum,
                     .xaMp3 = xa,
                     .audioMp3 = !xa},
                    a.reporter);
    ASSERT_TRUE(p.outcome.Done());
    const Bytes table = ReadAll(p.blockTable), data = ReadAll(p.dataFile);
    const uint32_t tagged = layout.xaRecords[0].firstSector;
    const uint32_t blocks = xa ? table.size() / 10 : table.size() / 4 - 1;
    // The first section's entries: field k of entry j.
    const size_t at = xa ? GetU32(&table[table.size() - 10]) + GetU16(&table[table.size() - 6])
                         : GetU32(&table[table.size() - 4]);
    const auto field = [at](Bytes& d, uint32_t j, uint32_t k) {
      return &d[at + 4 + 16 * j + 4 * k];
    };
    const auto noise = [&rng](Bytes& d, size_t from, size_t n) {
      for (size_t k = 0; k < n; ++k) d[from + k] = static_cast<uint8_t>(rng());
    };
    const std::string e = xa ? "XA section entry " : "audio track section entry ";
    const std::string aimed[] = {"data file",
                                 e + (xa ? "3" : "1"),
                                 "side file",
                                 "block " + std::to_string(xa ? tagged : 0),
                                 e + "1",
                                 e + "0",
                                 e + (xa ? "3" : "0"),
                                 e + "1",
                                 e + "1",
                                 e + "1"};
    const size_t shared = xa ? 7 : std::size(aimed);  // the last three: audio track rules
    for (size_t i = 0; i < shared + 30; ++i) {
      Bytes t = table, d = data;
      if (i == 0) d.insert(d.end(), {1, 2, 3});
      if (i == 1) d.pop_back();
      if (i == 2) t.push_back(0);
      if (i == 3) xa ? PutU16(t.data() + 10 * tagged + ENTRY_TAG_AT, 3) : PutU32(t.data(), 1);
      // The sound of entry 1 partly overwritten, of entry 0 only noise.
      if (i == 4) noise(d, GetU32(field(d, 1, 2)) + GetU32(field(d, 1, 3)) / 2, 1024);
      if (i == 5) noise(d, GetU32(field(d, 0, 2)), GetU32(field(d, 0, 3)));
      // An XA record past the data track; a track inside it, over the one before, before it, or
      // past 99:59:74.
      if (i == 6) PutU32(field(d, xa ? 3 : 0, xa ? 1 : 0), xa ? blocks : 0);
      if (i == 7) PutU32(field(d, 1, 0), GetU32(field(d, 0, 1)));
      if (i == 8) std::swap_ranges(field(d, 0, 0), field(d, 0, 2), field(d, 1, 0));
      if (i == 9) PutU32(field(d, 1, 1), MAX_DISC_SECTORS);
      if (i >= shared) testing::RandomDamage(rng, t, d);
      if (t == table && d == data) continue;
      WriteAll(p.blockTable, t);
      WriteAll(p.dataFile, d);
      testing::TestReporter window;
      const VerifyReport report = VerifyImage(window, p.dataFile, {});
      ASSERT_FALSE(report.Passed() || report.layout.problems.empty()) << i << report.layout.error;
      const std::string& named = report.layout.problems[0].where;
      EXPECT_TRUE(i < shared
                      ? named == aimed[i]
                      : named.rfind("block ", 0) == 0 || named == "side file" ||
                            named == "data file" || named.find("section") != std::string::npos)
          << i << " " << named << ": " << report.layout.problems[0].what;
      EXPECT_TRUE(std::any_of(window.log.begin(), window.log.end(),
                              [](const std::string& l) { return l.rfind("ERROR: ", 0) == 0; }));
    }
  }
}

}  // namespace
}  // namespace quarnel
