#include <bzlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <tuple>

#include "common/commit_group.h"
#include "common/outcome.h"
#include "common/output_file.h"
#include "common/sector.h"
#include "packing/block_codec.h"
#include "packing/compressed_format.h"
#include "packing/compression_mode.h"
#include "packing/media_ripping.h"
#include "packing/placeholder_video.h"
#include "packing/process_iso.h"
#include "packing/uncompress_iso.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::AnalyseBuilt;
using testing::Analysis;
using testing::MixedDisc;
using testing::ReadAll;
using testing::RunAnalysis;
using testing::TempDir;
using testing::WriteAll;

// Forces the ".ZNX" kind without changing a byte: a marked XA stream beyond the image's end.
void ForceXaKind(Analysis& a) {
  MediaRecord& r = a.state->MediaTable[MEDIA_TABLE_SIZE - 1];
  r = MediaRecord{MEDIA_XA, 4000000, 4000001, 0, 1, 0};
}

ProcessResult Process(Analysis& a, int combo) {
  a.window.combo = combo;
  return ProcessIso(*a.state, a.window);
}

UncompressResult Uncompress(Analysis& a, const std::string& dataFile) {
  a.window.texts[IDC_PATH] = dataFile;
  a.window.allowReplace = true;
  return UncompressIso(*a.state, a.window);
}

TEST(CompressedFormat, NameRules) {
  // Only the exact extensions name a kind; the round trips below cover the three that do.
  for (const char* name : {"game.bin.bz2", "GAME.BIN.BZ", "Z"}) {
    EXPECT_EQ(CompressionModeOfName(name), MODE_NONE) << name;
  }
  EXPECT_EQ(InitialComboSelection("C:/x/game.bin.bz"), COMBO_MAXIMUM_COMPRESSION);
  EXPECT_EQ(InitialComboSelection("/x.Zip/game.bin.bz"), COMBO_NORMAL_COMPRESSION);
}

// The reused codec states give the very bytes of the one-shot library calls; damage, truncation
// and too little room are failures, never silent short output.
TEST(BlockCodec, OutputIsByteIdenticalToTheOneShotCallsAndDamageFails) {
  std::mt19937 rng(7);
  BlockCompressor compressor;
  BlockDecompressor decompressor;
  std::vector<uint8_t> raw(RAW_BLOCK_SIZE), packed(PACKED_BLOCK_SIZE), expected(PACKED_BLOCK_SIZE),
      back(RAW_BLOCK_SIZE);
  size_t produced;
  for (int i = 0; i < 40; ++i) {
    const size_t length =
        i % 5 == 0 ? 1 + rng() % RAW_BLOCK_SIZE : (i % 2 ? SECTOR_SIZE : RAW_BLOCK_SIZE);
    for (size_t k = 0; k < length; ++k) raw[k] = static_cast<uint8_t>(i % 3 == 0 ? rng() : k / 64);
    uLongf zlen = PACKED_BLOCK_SIZE;
    ASSERT_EQ(compress(expected.data(), &zlen, raw.data(), length), Z_OK);
    size_t got = compressor.Zlib(raw.data(), length, packed.data(), PACKED_BLOCK_SIZE);
    ASSERT_TRUE(got == zlen && std::memcmp(packed.data(), expected.data(), got) == 0) << i;
    ASSERT_TRUE(decompressor.Zlib(packed.data(), got, back.data(), RAW_BLOCK_SIZE, &produced) &&
                produced == length && std::memcmp(back.data(), raw.data(), length) == 0);
    EXPECT_FALSE(decompressor.Zlib(packed.data(), got - 1, back.data(), RAW_BLOCK_SIZE, &produced));

    unsigned blen = PACKED_BLOCK_SIZE;
    ASSERT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(expected.data()), &blen,
                                       reinterpret_cast<char*>(raw.data()), length, 1, 0, 30),
              BZ_OK);
    got = compressor.Bzip2(raw.data(), length, packed.data(), PACKED_BLOCK_SIZE);
    ASSERT_TRUE(got == blen && std::memcmp(packed.data(), expected.data(), got) == 0) << i;
    ASSERT_TRUE(decompressor.Bzip2(packed.data(), got, back.data(), RAW_BLOCK_SIZE, &produced) &&
                produced == length);
    packed[got / 2] ^= 0x55;
    EXPECT_FALSE(decompressor.Bzip2(packed.data(), got, back.data(), RAW_BLOCK_SIZE, &produced));
  }
  const size_t got = compressor.Zlib(raw.data(), SECTOR_SIZE, packed.data(), PACKED_BLOCK_SIZE);
  EXPECT_FALSE(decompressor.Zlib(packed.data(), got, back.data(), SECTOR_SIZE - 1, &produced));
}

TEST(ProcessAndUncompress, EveryKindRoundTripsByteForByte) {
  for (const uint32_t tail : {0u, 1000u}) {
    for (const auto& [combo, forceXa, extension] :
         {std::tuple{COMBO_MAXIMUM_COMPRESSION, false, ".bz"},
          {COMBO_NORMAL_COMPRESSION, false, ".Z"},
          {COMBO_NORMAL_COMPRESSION, true, ".ZNX"}}) {
      TempDir dir;
      const DiscBuilder disc = MixedDisc(tail);
      Analysis a;
      AnalyseBuilt(a, dir, disc);
      if (forceXa) ForceXaKind(a);
      const ProcessResult p = Process(a, combo);
      ASSERT_TRUE(p.failedFile.empty()) << p.failedFile;
      EXPECT_EQ(p.dataFile, dir.File("disc.bin") + extension);
      const uint32_t perBlock = combo == COMBO_MAXIMUM_COMPRESSION ? 10 : 1;
      EXPECT_EQ(p.blocks, (disc.SectorCount() + (tail ? 1 : 0) + perBlock - 1) / perBlock);
      EXPECT_EQ(p.blockTable, p.dataFile + (perBlock == 10 ? ".index" : ".table"));
      if (perBlock == 10) {  // the closing offset is the data file's length
        const std::vector<uint8_t> table = ReadAll(p.blockTable);
        EXPECT_EQ(GetU32(table.data() + table.size() - 4), ReadAll(p.dataFile).size());
      }
      std::remove(dir.File("disc.bin").c_str());
      Uncompress(a, p.dataFile);
      EXPECT_EQ(a.window.texts[IDC_PATH], dir.File("disc.bin"));
      EXPECT_TRUE(ReadAll(dir.File("disc.bin")) == disc.Image()) << extension << " tail " << tail;
    }
  }
}

// A disc kept as one file per track compresses like the same disc joined into one image, under the
// data track file's name, and restores exactly that file. The .bz kind cuts its last block at the
// file's end where the joined image stores it whole, so there only the restore is compared.
TEST(ProcessAndUncompress, TrackSetCompressesLikeItsJoinedImageAndRestoresItsDataFile) {
  // A data track that ends inside a .bz block, then two audio tracks.
  DiscBuilder disc = MixedDisc();
  while (disc.SectorCount() % 10 != 7) disc.AddDataSectors(1);
  disc.BeginAudioTrack(2);
  disc.AddAudioSectors(30, 440.0);
  disc.BeginAudioTrack(0);
  disc.AddAudioSectors(20, 660.0);
  for (const auto& [name, style, combo, xaKind, audioMp3] :
       {std::tuple{"Game (Disc 1)", DiscFileStyle{}, COMBO_NORMAL_COMPRESSION, false, true},
        {"My Game", DiscFileStyle{.pregapLines = true}, COMBO_NORMAL_COMPRESSION, true, false},
        {"Game", DiscFileStyle{.upperCase = true}, COMBO_MAXIMUM_COMPRESSION, false, false},
        {"Game", DiscFileStyle{true, true}, COMBO_NORMAL_COMPRESSION, false, false}}) {
    const auto run = [&, combo = combo, xaKind = xaKind,
                      audioMp3 = audioMp3](const std::string& given) {
      Analysis a;
      RunAnalysis(a, given);
      if (xaKind) ForceXaKind(a);
      a.window.checks[IDC_RIP_AUDIO_MP3] = audioMp3;
      const ProcessResult p = Process(a, combo);
      EXPECT_EQ(a.window.texts[IDC_PATH], p.dataFile);
      return p;
    };
    TempDir dir;
    std::filesystem::create_directory(dir.Path() / "joined");
    std::string error;
    const std::string cue = disc.WriteTrackSet(dir.Path().string(), name, &error, style);
    ASSERT_FALSE(cue.empty()) << error;
    const std::string base = style.upperCase ? "GAME" : name;
    const std::string joined = dir.File("joined/" + base + ".bin");
    ASSERT_TRUE(disc.WriteJoined(joined, dir.File("joined/" + base + ".cue"), &error, style));
    const std::string dataFile =
        dir.File(base + (style.upperCase ? " (TRACK 1).BIN" : " (Track 1).bin"));
    const std::vector<uint8_t> dump = ReadAll(dataFile);

    const ProcessResult set = run(cue), merged = run(joined);
    ASSERT_TRUE(set.outcome.Done() && merged.outcome.Done()) << name << ": " << set.outcome.error;
    EXPECT_EQ(set.dataFile.substr(0, dataFile.size()), dataFile) << name;
    EXPECT_EQ(set.audioSection.size(), audioMp3 ? 2u : 0u);
    if (combo != COMBO_MAXIMUM_COMPRESSION) {
      EXPECT_EQ(ReadAll(set.dataFile), ReadAll(merged.dataFile)) << name;
      EXPECT_EQ(ReadAll(set.blockTable), ReadAll(merged.blockTable)) << name;
    }
    std::filesystem::rename(dataFile, dataFile + ".dump");
    Analysis restore;
    const UncompressResult u = Uncompress(restore, set.dataFile);
    ASSERT_TRUE(u.outcome.Done()) << u.outcome.error;
    EXPECT_EQ(u.output, dataFile);
    EXPECT_TRUE(ReadAll(dataFile) == dump) << name;
  }
}

TEST(ProcessAndUncompress, LogLinesAndClosingFigures) {
  TempDir dir;
  Analysis a;
  AnalyseBuilt(a, dir, MixedDisc());
  a.window.log.clear();
  a.state->MediaTable[0].rip = 1;
  Process(a, COMBO_MAXIMUM_COMPRESSION);
  // Below a mebibyte the percentage comes from the byte sizes.
  const int percent = 100 - static_cast<int>(ReadAll(a.window.texts[IDC_PATH]).size() * 100 /
                                             ReadAll(dir.File("disc.bin")).size());
  EXPECT_GT(percent, 0);
  EXPECT_EQ(a.window.log,
            (std::vector<std::string>{
                "Processing ISO:", "- Image Size is 0 Mb", "- Compression mode: Maximum",
                "- Result Size is 0 Mb", "- 1 Medias ripped.",
                "- " + std::to_string(percent) + "% smaller than original."}));
  EXPECT_EQ(a.window.progress.back(), 100u);
  EXPECT_TRUE(a.window.IsEnabled(IDC_PROCESS));

  a.window.log.clear();
  a.window.texts[IDC_PATH] = dir.File("disc.bin");
  a.window.checks[IDC_RIP_XA_MP3] = true;
  testing::ScopedChdir inside(dir.Path());
  Process(a, COMBO_MAXIMUM_COMPRESSION);
  EXPECT_EQ(a.window.log[0], "Warning: 1 XA Streams will be ripped but wasn't selected.");
}

// A temporary or a commit record left beside the outputs.
bool AnyTemporaryIn(const TempDir& dir) {
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    const std::string name = e.path().filename().string();
    if (name.find(PARTIAL_SUFFIX) != std::string::npos || name.ends_with(COMMIT_SUFFIX)) {
      return true;
    }
  }
  return false;
}

// Limits of the format refuse an image before anything is written: an empty one as kind 1 (whose
// reader takes an index without blocks for a damaged one), one whose blocks could pass 4 GiB, and
// one whose path leaves no room for its table's name (250 characters: the data file's name fits).
TEST(ProcessAndUncompress, RefusalsAndFailuresNeverLeaveABrokenImage) {
  TempDir dir;
  const std::string longName = dir.File(std::string(249 - dir.Path().string().size(), 'n'));
  for (const auto& [image, size, combo, why] :
       {std::tuple{dir.File("limit.bin"), uint64_t{0}, COMBO_MAXIMUM_COMPRESSION, "is empty"},
        {dir.File("limit.bin"), uint64_t{2200} << 20, COMBO_NORMAL_COMPRESSION, "is too large"},
        {longName, uint64_t{SECTOR_SIZE} * 50, COMBO_NORMAL_COMPRESSION, "path too long"}}) {
    ASSERT_TRUE(MixedDisc().Write(image, {}, nullptr));
    std::filesystem::resize_file(image, size);
    Analysis a;
    a.window.texts[IDC_PATH] = image;
    const ProcessResult p = Process(a, combo);
    EXPECT_TRUE(p.refused);
    EXPECT_NE(p.outcome.error.find(why), std::string::npos) << p.outcome.error;
    EXPECT_EQ(a.window.log.back(), "ERROR: " + p.outcome.error + ".");
    EXPECT_FALSE(AnyTemporaryIn(dir) || std::filesystem::exists(image + ".Z") ||
                 std::filesystem::exists(image + ".bz"));
    std::filesystem::remove(image);
  }
  // Uncompress over an existing file asks first; no means nothing is written.
  Analysis a;
  AnalyseBuilt(a, dir, MixedDisc());
  a.window.texts[IDC_PATH] = Process(a, COMBO_NORMAL_COMPRESSION).dataFile;
  WriteAll(dir.File("disc.bin"), {1, 2, 3});
  a.window.enableCalls.clear();
  EXPECT_TRUE(UncompressIso(*a.state, a.window).refused);
  EXPECT_EQ(a.window.replaceQuestions, std::vector<std::string>{dir.File("disc.bin")});
  EXPECT_EQ(ReadAll(dir.File("disc.bin")), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(a.window.enableCalls.empty());
}

// Holds an advisory lock on a file as another run would, for as long as it lives.
struct HeldLock {
  HeldLock(const std::string& path, int operation)
      : fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    EXPECT_EQ(::flock(fd, operation | LOCK_NB), 0) << path;
  }
  ~HeldLock() { ::close(fd); }
  int fd;
};

// Every way a run can end short leaves what stands at its outputs' names exactly as it was, and no
// temporary beside it; only a whole run replaces them, and a link there is replaced, not followed.
// A temporary's name that is a hard link to another file is refused: that file is never written.
TEST(ProcessAndUncompress, OnlyAWholeRunReplacesItsOutputs) {
  enum Fault { STOP, WRITE_FAILS, DAMAGE, OUTPUT_READ, OUTPUT_WRITTEN, LINK, LINKED_TEMPORARY };
  const std::tuple<bool, int, Fault> cases[] = {
      // uncompress, combo, fault
      {false, COMBO_MAXIMUM_COMPRESSION, STOP},
      {false, COMBO_NORMAL_COMPRESSION, STOP},
      {false, COMBO_NORMAL_COMPRESSION, WRITE_FAILS},
      {false, COMBO_MAXIMUM_COMPRESSION, WRITE_FAILS},
      {false, COMBO_NORMAL_COMPRESSION, OUTPUT_READ},
      {false, COMBO_NORMAL_COMPRESSION, OUTPUT_WRITTEN},
      {false, COMBO_NORMAL_COMPRESSION, LINK},
      {false, COMBO_MAXIMUM_COMPRESSION, LINKED_TEMPORARY},
      {true, COMBO_MAXIMUM_COMPRESSION, STOP},
      {true, COMBO_NORMAL_COMPRESSION, STOP},
      {true, COMBO_NORMAL_COMPRESSION, WRITE_FAILS},
      {true, COMBO_MAXIMUM_COMPRESSION, DAMAGE},
      {true, COMBO_NORMAL_COMPRESSION, DAMAGE},
      {true, COMBO_NORMAL_COMPRESSION, OUTPUT_READ},
      {true, COMBO_NORMAL_COMPRESSION, LINK},
      {true, COMBO_NORMAL_COMPRESSION, LINKED_TEMPORARY},
  };
  std::mt19937 rng(8);
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  for (const auto& [uncompress, combo, fault] : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "uncompress " << uncompress << " combo " << combo << " fault " << fault);
    TempDir dir;
    Analysis a;
    const DiscBuilder disc = MixedDisc();
    AnalyseBuilt(a, dir, disc);
    const std::string image = dir.File("disc.bin");
    const ProcessResult made = Process(a, combo);
    ASSERT_TRUE(made.outcome.Done()) << made.outcome.error;
    const std::vector<std::string> outputs =
        uncompress ? std::vector{image} : std::vector{made.dataFile, made.blockTable};
    a.window.texts[IDC_PATH] = uncompress ? made.dataFile : image;
    if (fault == DAMAGE) {  // one block in the middle
      std::vector<uint8_t> data = ReadAll(made.dataFile);
      data[data.size() / 2] ^= 0x5A;
      WriteAll(made.dataFile, data);
    }
    for (const std::string& out : outputs) {
      WriteAll(fault == LINK ? out + ".target" : out, old);
      if (fault != LINK) continue;
      std::filesystem::remove(out);
      std::filesystem::create_symlink(out + ".target", out);
    }
    std::optional<HeldLock> lock;
    if (fault == OUTPUT_READ) lock.emplace(outputs[0], LOCK_SH);
    if (fault == OUTPUT_WRITTEN) lock.emplace(outputs[1] + PARTIAL_SUFFIX, LOCK_EX);
    const std::string linked = outputs.back() + PARTIAL_SUFFIX;
    if (fault == LINKED_TEMPORARY) std::filesystem::create_hard_link(made.dataFile, linked);
    const std::vector<uint8_t> linkedBytes = ReadAll(made.dataFile);
    const uint32_t stopAt = 1 + rng() % made.blocks;
    a.window.pumps = 0;
    if (fault == STOP) {
      a.window.onPump = [&a, stopAt] {
        if (a.window.pumps == stopAt) a.state->StopRequested = 1;
      };
    }
    if (fault == WRITE_FAILS) OutputFile::FailStagedWritesAfterForTesting(rng() % 3000);
    a.window.allowReplace = true;
    const Outcome outcome =
        uncompress ? UncompressIso(*a.state, a.window).outcome : Process(a, combo).outcome;
    OutputFile::FailStagedWritesAfterForTesting(~uint64_t{0});
    lock.reset();
    if (fault == OUTPUT_WRITTEN) std::filesystem::remove(outputs[1] + PARTIAL_SUFFIX);
    if (fault == LINKED_TEMPORARY) {
      EXPECT_EQ(ReadAll(linked), linkedBytes);
      std::filesystem::remove(linked);
    }

    EXPECT_FALSE(AnyTemporaryIn(dir));
    const std::string line = FinalLine(outcome);
    if (fault == LINK) {
      EXPECT_TRUE(outcome.Done() && outcome.written == outputs) << line;
      for (const std::string& out : outputs) {
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(out)));
        EXPECT_TRUE(ReadAll(out) != old && ReadAll(out + ".target") == old) << out;
      }
      EXPECT_TRUE(!uncompress || ReadAll(image) == disc.Image());
      continue;
    }
    for (const std::string& out : outputs) EXPECT_EQ(ReadAll(out), old) << out;
    EXPECT_TRUE(outcome.written.empty() && outcome.kept == outputs);
    EXPECT_EQ(ExitStatusOf(outcome), fault == STOP ? 130 : 1) << line;
    EXPECT_EQ(line.rfind(fault == STOP ? "Stopped after " : "ERROR: ", 0), 0u) << line;
    EXPECT_NE(line.find(" kept"), std::string::npos) << line;
    const bool busy = fault == OUTPUT_READ || fault == OUTPUT_WRITTEN;
    EXPECT_EQ(line.find("is busy") != std::string::npos, busy) << line;
  }
}

// The side file is checked whole before anything is written; a file that is no compressed image
// says so; a block that decompresses short before the last is damage. Other damages of the side
// file only need a refusal with a reason, which the fuzzers check.
TEST(ProcessAndUncompress, SideFilesAreCheckedBeforeAnythingIsWritten) {
  TempDir dir;
  const std::vector<uint8_t> block(SECTOR_SIZE, 7);
  BlockCompressor compressor;
  const auto pack = [&](size_t length) {
    std::vector<uint8_t> out(PACKED_BLOCK_SIZE);
    out.resize(compressor.Zlib(block.data(), length, out.data(), out.size()));
    return out;
  };
  const std::vector<uint8_t> packed = pack(SECTOR_SIZE), shortPacked = pack(100);
  const uint32_t n = static_cast<uint32_t>(packed.size()), s = n + shortPacked.size();
  const auto table = [](std::initializer_list<std::pair<uint32_t, uint32_t>> entries) {
    std::vector<uint8_t> t;
    for (const auto& [offset, length] : entries) {
      t.resize(t.size() + 6);
      PutU32(&t[t.size() - 6], offset);
      PutU16(&t[t.size() - 2], length);
    }
    return t;
  };
  std::vector<uint8_t> goodData = packed;
  goodData.insert(goodData.end(), shortPacked.begin(), shortPacked.end());
  goodData.insert(goodData.end(), packed.begin(), packed.end());
  DiscBuilder raw;
  raw.AddDataSectors(2);
  // name, data, side file (none when empty), a sparse side file of this size instead, the
  // refusal's text (none: restored with this many damaged blocks)
  const std::tuple<const char*, std::vector<uint8_t>, std::vector<uint8_t>, uint64_t, const char*,
                   uint32_t>
      cases[] = {
          {"game.bin.Z", goodData, {}, 10ull << 30, "more than a 99:59:74 disc holds", 0},
          {"game.bin.Z", goodData, table({{0, n}, {n, 0}}), 0, "its stored length is 0", 0},
          {"game.bin.Z", {1, 2}, table({{0, 1}, {0, 1}, {0, 1}}), 0, "more than ", 0},
          {"game.bin", raw.Image(), {}, 0, "is not a compressed image: it begins with a sector", 0},
          {"game.iso", goodData, {}, 0, "is not a compressed image: there is no", 0},
          {"game.bin.Z", goodData, table({{0, n}, {n, s - n}, {s, n}}), 0, "", 1},
          {"game.bin.Z", goodData, table({{0, n}, {s, n}, {n, s - n}}), 0, "", 0},
      };
  for (const auto& [name, data, side, sparse, error, damaged] : cases) {
    SCOPED_TRACE(error);
    const std::string path = dir.File(name), output = dir.File("game.bin");
    std::filesystem::remove(output);
    std::filesystem::remove(path + ".table");
    WriteAll(path, data);
    if (sparse != 0 || !side.empty()) WriteAll(path + ".table", side);
    if (sparse != 0) std::filesystem::resize_file(path + ".table", sparse);
    Analysis a;
    const UncompressResult u = Uncompress(a, path);
    if (*error != '\0') {
      EXPECT_NE(u.outcome.error.find(error), std::string::npos) << u.outcome.error;
      EXPECT_FALSE(u.started || (path != output && std::filesystem::exists(output)));
    } else {
      // A short block anywhere but last is damage: zeros, an ERROR and a whole-length output.
      EXPECT_EQ(std::pair(u.damagedBlocks, u.outcome.Failed()), std::pair(damaged, damaged != 0));
      EXPECT_EQ(ReadAll(output).size(), damaged ? 3 * SECTOR_SIZE : 2 * SECTOR_SIZE + 100);
    }
    EXPECT_FALSE(AnyTemporaryIn(dir));
  }
}

// Ripped XA sectors are tagged with their channel (and, with the XA option, the first-sector bit)
// and restore with their user data cleared, everything else as it was.
TEST(ProcessAndUncompress, RippedXaSectorsAreClearedAndTagged) {
  TempDir dir;
  testing::ScopedChdir inside(dir.Path());
  const SampleDiscLayout& layout = testing::WriteSample(dir);
  const std::vector<uint8_t> source = ReadAll(dir.File("sample.bin"));
  const uint32_t first = layout.xaStream.firstSector, last = layout.xaStream.lastSector;
  for (const bool xaOption : {false, true}) {
    Analysis a;
    RunAnalysis(a, dir.File("sample.bin"));
    a.state->MediaTable[layout.videos.size()].rip = 1;
    a.window.checks[IDC_RIP_XA_MP3] = xaOption;
    a.window.checks[IDC_RIP_AUDIO_MP3] = false;
    const ProcessResult p = Process(a, COMBO_NORMAL_COMPRESSION);
    EXPECT_EQ(p.dataFile, dir.File("sample.bin.ZNX"));
    const uint32_t sectors = a.state->dataTrackEnd + 1;
    const std::vector<uint8_t> table = ReadAll(p.blockTable);
    ASSERT_EQ(table.size(), 10u * sectors);
    std::vector<uint8_t> want(source.begin(), source.begin() + size_t{sectors} * SECTOR_SIZE);
    for (uint32_t n = 0; n < sectors; ++n) {
      const uint8_t* tag = table.data() + 10 * n + ENTRY_TAG_AT;
      if (n < first || n > last) {
        ASSERT_EQ(GetU32(tag), 0u) << n;
        continue;
      }
      const uint32_t channel = (n - first) % layout.xaChannels;
      const bool firstOfChannel = n == layout.xaRecords[channel].firstSector;
      ASSERT_EQ(GetU16(tag), channel) << n;
      ASSERT_EQ(tag[2], XA_TAG_MARKER);
      ASSERT_EQ(tag[3], xaOption ? (channel | (firstOfChannel ? 0x80 : 0)) : XA_TAG_NO_CHANNEL);
      std::fill_n(want.begin() + size_t{n} * SECTOR_SIZE + USER_DATA_OFFSET,
                  SECTOR_SIZE - USER_DATA_OFFSET, 0);
    }
    WriteAll(dir.File("sample.bin"), {});
    EXPECT_TRUE(ReadAll(Uncompress(a, p.dataFile).output) == want);
    WriteAll(dir.File("sample.bin"), source);
  }
}

}  // namespace
}  // namespace quarnel
