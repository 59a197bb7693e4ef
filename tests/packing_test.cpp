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
#include <random>
#include <tuple>

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

TEST(CompressedFormat, NameRuleAndEntryLayouts) {
  for (const auto& [name, mode] : {std::pair{"game.bin.bz", MODE_BZIP2},
                                   {"game.bin.ZNX", MODE_ZLIB_XA},
                                   {"game.bin.Z", MODE_ZLIB},
                                   {"game.bin.bz2", MODE_NONE},
                                   {"GAME.BIN.BZ", MODE_NONE},
                                   {"Z", MODE_NONE}}) {
    EXPECT_EQ(CompressionModeOfName(name), mode) << name;
  }

  uint8_t entry[10];
  const XaTag tag{0x1234, XA_TAG_MARKER, 0x85};
  EXPECT_EQ(EncodeBlockEntry(entry, MODE_BZIP2, 0x01020304, 99, tag), 4u);
  EXPECT_EQ(GetU32(entry), 0x01020304u);
  EXPECT_EQ(EncodeBlockEntry(entry, MODE_ZLIB, 7, 0xBEEF, tag), 6u);
  EXPECT_EQ(GetU16(entry + 4), 0xBEEFu);
  ASSERT_EQ(EncodeBlockEntry(entry, MODE_ZLIB_XA, 7, 300, tag), 10u);
  const uint8_t expected[10] = {7, 0, 0, 0, 0x2C, 0x01, 0x34, 0x12, 100, 0x85};
  EXPECT_EQ(std::memcmp(entry, expected, 10), 0);

  EXPECT_EQ(InitialComboSelection("C:/x/game.bin.bz"), COMBO_MAXIMUM_COMPRESSION);
  EXPECT_EQ(InitialComboSelection("/x.Zip/game.bin.bz"), COMBO_NORMAL_COMPRESSION);
}

// The reused codec states give the very bytes of the one-shot library calls.
TEST(BlockCodec, OutputIsByteIdenticalToTheOneShotCallsAndRoundTrips) {
  std::mt19937 rng(7);
  BlockCompressor compressor;
  BlockDecompressor decompressor;
  std::vector<uint8_t> raw(RAW_BLOCK_SIZE), packed(PACKED_BLOCK_SIZE), expected(PACKED_BLOCK_SIZE),
      back(RAW_BLOCK_SIZE);
  for (int i = 0; i < 40; ++i) {
    const size_t length =
        i % 5 == 0 ? 1 + rng() % RAW_BLOCK_SIZE : (i % 2 ? SECTOR_SIZE : RAW_BLOCK_SIZE);
    for (size_t k = 0; k < length; ++k) raw[k] = static_cast<uint8_t>(i % 3 == 0 ? rng() : k / 64);

    uLongf zlen = 2 * SECTOR_SIZE * 10;
    ASSERT_EQ(compress(expected.data(), &zlen, raw.data(), length), Z_OK);
    const size_t got = compressor.Zlib(raw.data(), length, packed.data(), PACKED_BLOCK_SIZE);
    ASSERT_EQ(got, zlen);
    ASSERT_EQ(std::memcmp(packed.data(), expected.data(), got), 0);
    size_t produced;
    ASSERT_TRUE(decompressor.Zlib(packed.data(), got, back.data(), RAW_BLOCK_SIZE, &produced));
    ASSERT_EQ(produced, length);
    ASSERT_EQ(std::memcmp(back.data(), raw.data(), length), 0);

    unsigned blen = PACKED_BLOCK_SIZE;
    ASSERT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(expected.data()), &blen,
                                       reinterpret_cast<char*>(raw.data()), length, 1, 0, 30),
              BZ_OK);
    const size_t bgot = compressor.Bzip2(raw.data(), length, packed.data(), PACKED_BLOCK_SIZE);
    ASSERT_EQ(bgot, blen);
    ASSERT_EQ(std::memcmp(packed.data(), expected.data(), bgot), 0);
    ASSERT_TRUE(decompressor.Bzip2(packed.data(), bgot, back.data(), RAW_BLOCK_SIZE, &produced));
    ASSERT_EQ(produced, length);

    // Damage, truncation and too little room are failures, never silent short output.
    packed[bgot / 2] ^= 0x55;
    EXPECT_FALSE(decompressor.Bzip2(packed.data(), bgot, back.data(), RAW_BLOCK_SIZE, &produced));
    EXPECT_FALSE(
        decompressor.Zlib(expected.data(), zlen - 1, back.data(), RAW_BLOCK_SIZE, &produced));
  }
  const size_t got = compressor.Zlib(raw.data(), SECTOR_SIZE, packed.data(), PACKED_BLOCK_SIZE);
  size_t produced;
  EXPECT_FALSE(decompressor.Zlib(packed.data(), got, back.data(), SECTOR_SIZE - 1, &produced));
}

TEST(ProcessAndUncompress, EveryKindRoundTripsByteForByte) {
  struct Kind {
    int combo;
    bool forceXa;
    const char* extension;
    const char* table;
    size_t entry;
  } kinds[] = {{COMBO_MAXIMUM_COMPRESSION, false, ".bz", ".index", 4},
               {COMBO_NORMAL_COMPRESSION, false, ".Z", ".table", 6},
               {COMBO_NORMAL_COMPRESSION, true, ".ZNX", ".table", 10}};
  for (const uint32_t tail : {0u, 1000u}) {
    for (const Kind& k : kinds) {
      TempDir dir;
      const DiscBuilder disc = MixedDisc(tail);
      const uint32_t sectors = disc.SectorCount();
      Analysis a;
      AnalyseBuilt(a, dir, disc);
      if (k.forceXa) ForceXaKind(a);
      const ProcessResult p = Process(a, k.combo);
      ASSERT_TRUE(p.failedFile.empty()) << p.failedFile;
      EXPECT_EQ(p.dataFile, dir.File("disc.bin") + k.extension);
      const uint32_t perBlock = k.combo == COMBO_MAXIMUM_COMPRESSION ? 10 : 1;
      const uint32_t blocks = (sectors + (tail ? 1 : 0) + perBlock - 1) / perBlock;
      EXPECT_EQ(p.blocks, blocks);
      const std::vector<uint8_t> table = ReadAll(p.dataFile + k.table);
      EXPECT_EQ(table.size(), k.entry * (blocks + (perBlock == 10 ? 1 : 0)));
      if (perBlock == 10) {  // the closing offset is the data file's length
        EXPECT_EQ(GetU32(table.data() + table.size() - 4), ReadAll(p.dataFile).size());
      }

      std::remove(dir.File("disc.bin").c_str());
      Uncompress(a, p.dataFile);
      EXPECT_EQ(a.window.texts[IDC_PATH], dir.File("disc.bin"));
      EXPECT_TRUE(ReadAll(dir.File("disc.bin")) == disc.Image()) << k.extension << " tail " << tail;
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
  struct Case {
    const char* name;
    DiscFileStyle style;
    int combo;
    bool xaKind;
    bool audioMp3;
  } cases[] = {
      {"Game (Disc 1)", {}, COMBO_NORMAL_COMPRESSION, false, true},
      {"My Game", {.pregapLines = true}, COMBO_NORMAL_COMPRESSION, true, false},
      {"Game", {.pregapLines = false, .upperCase = true}, COMBO_MAXIMUM_COMPRESSION, false, false},
      {"Game", {.pregapLines = true, .upperCase = true}, COMBO_NORMAL_COMPRESSION, false, false},
  };
  const auto run = [](const std::string& given, const Case& c) {
    Analysis a;
    RunAnalysis(a, given);
    if (c.xaKind) ForceXaKind(a);
    a.window.checks[IDC_RIP_AUDIO_MP3] = c.audioMp3;
    a.window.texts[IDC_PATH] = given;
    return std::pair{Process(a, c.combo), a.window.texts[IDC_PATH]};
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::filesystem::create_directory(dir.Path() / "joined");
    std::string error;
    const std::string cue = disc.WriteTrackSet(dir.Path().string(), c.name, &error, c.style);
    ASSERT_FALSE(cue.empty()) << error;
    const std::string base = c.style.upperCase ? "GAME" : c.name;
    const std::string joined = dir.File("joined/" + base + ".bin");
    ASSERT_TRUE(disc.WriteJoined(joined, dir.File("joined/" + base + ".cue"), &error, c.style));
    const std::string dataFile =
        dir.File(base + (c.style.upperCase ? " (TRACK 1).BIN" : " (Track 1).bin"));
    const std::vector<uint8_t> dump = ReadAll(dataFile);

    const auto [set, setPath] = run(cue, c);
    ASSERT_TRUE(set.outcome.Done()) << c.name << ": " << set.outcome.error;
    EXPECT_EQ(set.dataFile.substr(0, dataFile.size()), dataFile) << c.name;
    EXPECT_EQ(setPath, set.dataFile);
    const auto [merged, mergedPath] = run(joined, c);
    ASSERT_TRUE(merged.outcome.Done()) << merged.outcome.error;
    EXPECT_EQ(set.audioSection.size(), c.audioMp3 ? 2u : 0u);
    if (c.combo != COMBO_MAXIMUM_COMPRESSION) {
      EXPECT_EQ(ReadAll(set.dataFile), ReadAll(merged.dataFile)) << c.name;
      EXPECT_EQ(ReadAll(set.blockTable), ReadAll(merged.blockTable)) << c.name;
    }
    std::filesystem::rename(dataFile, dataFile + ".dump");
    Analysis restore;
    const UncompressResult u = Uncompress(restore, set.dataFile);
    ASSERT_TRUE(u.outcome.Done()) << u.outcome.error;
    EXPECT_EQ(u.output, dataFile);
    EXPECT_TRUE(ReadAll(dataFile) == dump) << c.name;
  }
}

TEST(ProcessAndUncompress, LogLinesAndClosingFigures) {
  TempDir dir;
  Analysis a;
  AnalyseBuilt(a, dir, MixedDisc());
  a.window.log.clear();
  a.state->MediaTable[0].rip = 1;
  Process(a, COMBO_MAXIMUM_COMPRESSION);
  const std::vector<std::string> expected = {
      "Processing ISO:",       "- Image Size is 0 Mb", "- Compression mode: Maximum",
      "- Result Size is 0 Mb", "- 1 Medias ripped.",
  };
  ASSERT_EQ(a.window.log.size(), expected.size() + 1);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(a.window.log[i], expected[i]);
  // Below a mebibyte the percentage comes from the byte sizes.
  const int percent = 100 - static_cast<int>(ReadAll(a.window.texts[IDC_PATH]).size() * 100 /
                                             ReadAll(dir.File("disc.bin")).size());
  EXPECT_GT(percent, 0);
  EXPECT_EQ(a.window.log.back(), "- " + std::to_string(percent) + "% smaller than original.");
  EXPECT_EQ(a.window.progress.back(), 100u);
  EXPECT_TRUE(a.window.IsEnabled(IDC_PROCESS));

  a.window.log.clear();
  a.window.texts[IDC_PATH] = dir.File("disc.bin");
  a.window.checks[IDC_RIP_XA_MP3] = true;
  a.window.checks[IDC_RIP_AUDIO_MP3] = true;
  testing::ScopedChdir inside(dir.Path());
  Process(a, COMBO_MAXIMUM_COMPRESSION);
  EXPECT_EQ(a.window.log[0], "Warning: 1 XA Streams will be ripped but wasn't selected.");
  EXPECT_EQ(a.window.log[1], "Warning: Rip audio track disabled when Rip XA Streams is enable.");
  EXPECT_EQ(a.window.log[4], "- Compression mode: Normal");
}

bool AnyTemporaryIn(const TempDir& dir) {
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    if (e.path().string().find(PARTIAL_SUFFIX) != std::string::npos) return true;
  }
  return false;
}

TEST(ProcessAndUncompress, RefusalsAndFailuresNeverLeaveABrokenImage) {
  TempDir dir;
  // Limits of the format refuse an image before anything is written: an empty one as kind 1 (whose
  // reader takes an index without blocks for a damaged one), one whose blocks could pass 4 GiB.
  for (const auto& [size, combo, why] :
       {std::tuple{uint64_t{0}, COMBO_MAXIMUM_COMPRESSION, "is empty"},
        std::tuple{uint64_t{2200} << 20, COMBO_NORMAL_COMPRESSION, "is too large"}}) {
    const std::string image = dir.File("limit.bin");
    std::string error;
    ASSERT_TRUE(MixedDisc().Write(image, {}, &error)) << error;
    std::filesystem::resize_file(image, size);
    Analysis a;
    a.window.texts[IDC_PATH] = image;
    const ProcessResult p = Process(a, combo);
    EXPECT_TRUE(p.refused);
    EXPECT_NE(p.outcome.error.find(why), std::string::npos) << p.outcome.error;
    EXPECT_EQ(a.window.log.back(), "ERROR: " + p.outcome.error + ".");
    EXPECT_FALSE(AnyTemporaryIn(dir));
    EXPECT_FALSE(std::filesystem::exists(image + ".Z") || std::filesystem::exists(image + ".bz"));
    std::filesystem::remove(image);
  }
  {  // a path too long for the table's name: refused, nothing written
    Analysis a;
    // 250 characters: the data file's name fits, its table's does not.
    const std::string longName = dir.File(std::string(249 - dir.Path().string().size(), 'n'));
    DiscBuilder disc = MixedDisc();
    std::string error;
    ASSERT_TRUE(disc.Write(longName, {}, &error));
    RunAnalysis(a, longName);
    const ProcessResult p = Process(a, COMBO_NORMAL_COMPRESSION);
    EXPECT_TRUE(p.refused);
    EXPECT_EQ(a.window.log.back().rfind("ERROR: path too long", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(longName + ".Z"));
  }
  {  // uncompress over an existing file asks first; no means nothing is written
    Analysis a;
    AnalyseBuilt(a, dir, MixedDisc());
    const ProcessResult p = Process(a, COMBO_NORMAL_COMPRESSION);
    WriteAll(dir.File("disc.bin"), {1, 2, 3});
    a.window.texts[IDC_PATH] = p.dataFile;
    a.window.allowReplace = false;
    a.window.enableCalls.clear();
    const UncompressResult u = UncompressIso(*a.state, a.window);
    EXPECT_TRUE(u.refused);
    EXPECT_EQ(a.window.replaceQuestions, std::vector<std::string>{dir.File("disc.bin")});
    EXPECT_EQ(ReadAll(dir.File("disc.bin")), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(a.window.enableCalls.empty());
  }
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
TEST(ProcessAndUncompress, OnlyAWholeRunReplacesItsOutputs) {
  enum Fault { STOP, WRITE_FAILS, DAMAGE, OUTPUT_READ, OUTPUT_WRITTEN, LINK };
  const struct Case {
    bool uncompress;
    int combo;
    Fault fault;
  } cases[] = {
      {false, COMBO_MAXIMUM_COMPRESSION, STOP},
      {false, COMBO_NORMAL_COMPRESSION, STOP},
      {false, COMBO_NORMAL_COMPRESSION, WRITE_FAILS},
      {false, COMBO_MAXIMUM_COMPRESSION, WRITE_FAILS},
      {false, COMBO_NORMAL_COMPRESSION, OUTPUT_READ},
      {false, COMBO_NORMAL_COMPRESSION, OUTPUT_WRITTEN},
      {false, COMBO_NORMAL_COMPRESSION, LINK},
      {true, COMBO_MAXIMUM_COMPRESSION, STOP},
      {true, COMBO_NORMAL_COMPRESSION, STOP},
      {true, COMBO_NORMAL_COMPRESSION, WRITE_FAILS},
      {true, COMBO_MAXIMUM_COMPRESSION, DAMAGE},
      {true, COMBO_NORMAL_COMPRESSION, DAMAGE},
      {true, COMBO_NORMAL_COMPRESSION, OUTPUT_READ},
      {true, COMBO_NORMAL_COMPRESSION, LINK},
  };
  std::mt19937 rng(8);
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "uncompress " << c.uncompress << " combo " << c.combo << " fault " << c.fault);
    TempDir dir;
    Analysis a;
    DiscBuilder disc = MixedDisc();
    AnalyseBuilt(a, dir, disc);
    const std::string image = dir.File("disc.bin");
    const ProcessResult made = Process(a, c.combo);
    ASSERT_TRUE(made.outcome.Done()) << made.outcome.error;
    const uint32_t blocks = made.blocks;
    std::vector<std::string> outputs = {made.dataFile, made.blockTable};
    if (c.uncompress) {
      outputs = {image};
      if (c.fault == DAMAGE) {  // one block in the middle
        std::vector<uint8_t> data = ReadAll(made.dataFile);
        data[data.size() / 2] ^= 0x5A;
        WriteAll(made.dataFile, data);
      }
      a.window.texts[IDC_PATH] = made.dataFile;
    } else {
      a.window.texts[IDC_PATH] = image;
    }
    for (const std::string& out : outputs) {
      if (c.fault == LINK) {
        WriteAll(out + ".target", old);
        std::filesystem::remove(out);
        std::filesystem::create_symlink(out + ".target", out);
      } else {
        WriteAll(out, old);
      }
    }
    std::unique_ptr<HeldLock> lock;
    if (c.fault == OUTPUT_READ) lock = std::make_unique<HeldLock>(outputs[0], LOCK_SH);
    if (c.fault == OUTPUT_WRITTEN) {
      lock = std::make_unique<HeldLock>(outputs[1] + PARTIAL_SUFFIX, LOCK_EX);
    }
    const uint32_t stopAt = 1 + rng() % blocks;
    a.window.pumps = 0;
    a.window.onPump = [&] {
      if (c.fault == STOP && a.window.pumps == stopAt) a.state->StopRequested = 1;
    };
    if (c.fault == WRITE_FAILS) OutputFile::FailStagedWritesAfterForTesting(rng() % 3000);
    a.window.allowReplace = true;
    const Outcome outcome =
        c.uncompress ? UncompressIso(*a.state, a.window).outcome : Process(a, c.combo).outcome;
    OutputFile::FailStagedWritesAfterForTesting(~uint64_t{0});
    a.window.onPump = nullptr;
    lock.reset();
    if (c.fault == OUTPUT_WRITTEN) std::filesystem::remove(outputs[1] + PARTIAL_SUFFIX);

    EXPECT_FALSE(AnyTemporaryIn(dir));
    const std::string line = FinalLine(outcome);
    if (c.fault == LINK) {
      EXPECT_TRUE(outcome.Done()) << line;
      EXPECT_EQ(outcome.written, outputs);
      for (const std::string& out : outputs) {
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(out)));
        EXPECT_NE(ReadAll(out), old);
        EXPECT_EQ(ReadAll(out + ".target"), old);
      }
      EXPECT_TRUE(!c.uncompress || ReadAll(image) == disc.Image());
      EXPECT_EQ(line.rfind("Wrote ", 0), 0u) << line;
      continue;
    }
    for (const std::string& out : outputs) EXPECT_EQ(ReadAll(out), old) << out;
    EXPECT_TRUE(outcome.written.empty());
    EXPECT_EQ(outcome.kept, outputs);
    EXPECT_EQ(ExitStatusOf(outcome), c.fault == STOP ? 130 : 1) << line;
    EXPECT_EQ(line.rfind(c.fault == STOP ? "Stopped after " : "ERROR: ", 0), 0u) << line;
    EXPECT_NE(line.find(" kept"), std::string::npos) << line;
    if (c.fault == OUTPUT_READ || c.fault == OUTPUT_WRITTEN) {
      EXPECT_NE(line.find("is busy"), std::string::npos) << line;
    }
  }
}

// The side file is checked whole before anything is written; a file that is no compressed image
// says so; a block that decompresses short before the last is damage.
TEST(ProcessAndUncompress, SideFilesAreCheckedBeforeAnythingIsWritten) {
  TempDir dir;
  const std::string data = dir.File("game.bin.Z");
  const std::vector<uint8_t> block(SECTOR_SIZE, 7);
  BlockCompressor compressor;
  const auto pack = [&](size_t length) {
    std::vector<uint8_t> out(PACKED_BLOCK_SIZE);
    out.resize(compressor.Zlib(block.data(), length, out.data(), out.size()));
    return out;
  };
  const std::vector<uint8_t> packed = pack(SECTOR_SIZE), shortPacked = pack(100);

  const auto entry = [](uint32_t offset, uint32_t len) {
    std::vector<uint8_t> e(6);
    PutU32(e.data(), offset);
    PutU16(e.data() + 4, len);
    return e;
  };
  const auto join = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const uint32_t n = static_cast<uint32_t>(packed.size());
  const uint32_t s = static_cast<uint32_t>(shortPacked.size());
  const std::vector<uint8_t> goodData = join({packed, shortPacked, packed});
  DiscBuilder raw;
  raw.AddDataSectors(2);
  const struct Case {
    const char* name;
    std::vector<uint8_t> data;
    std::vector<uint8_t> table;  // empty: none
    uint64_t sparseTable;        // a sparse table of this size instead
    const char* error;           // empty: restored, with this many damaged blocks
    uint32_t damaged;
  } cases[] = {
      {"game.bin.Z", goodData, {}, 10ull << 30, "more than a 99:59:74 disc holds", 0},
      {"game.bin.Z", goodData, join({entry(0, n), entry(n, 0)}), 0, "its stored length is 0", 0},
      {"game.bin.Z", {1, 2}, join({entry(0, 1), entry(0, 1), entry(0, 1)}), 0, "more than ", 0},
      {"game.bin.Z", goodData, join({entry(0, n), entry(n, 5000)}), 0, "is larger than a block", 0},
      {"game.bin.Z", goodData, join({entry(0, n), entry(9999, n)}), 0, "lies beyond the end", 0},
      {"game.bin", raw.Image(), {}, 0, "is not a compressed image: it begins with a sector", 0},
      {"game.iso", goodData, {}, 0, "is not a compressed image: there is no", 0},
      {"game.bin.Z", goodData, join({entry(0, n), entry(n, s), entry(n + s, n)}), 0, "", 1},
      {"game.bin.Z", goodData, join({entry(0, n), entry(n + s, n), entry(n, s)}), 0, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    const std::string path = dir.File(c.name);
    const std::string output = dir.File("game.bin");
    std::filesystem::remove(output);
    WriteAll(path, c.data);
    const std::string table = path + ".table";
    std::filesystem::remove(table);
    if (c.sparseTable != 0 || !c.table.empty()) WriteAll(table, c.table);
    if (c.sparseTable != 0) std::filesystem::resize_file(table, c.sparseTable);
    Analysis a;
    const UncompressResult u = Uncompress(a, path);
    if (c.error[0] != '\0') {
      EXPECT_NE(u.outcome.error.find(c.error), std::string::npos) << u.outcome.error;
      EXPECT_FALSE(u.started);
      if (path != output) {
        EXPECT_FALSE(std::filesystem::exists(output));
      }
    } else {
      // A short block anywhere but last is damage: zeros, an ERROR and a whole-length output.
      EXPECT_EQ(u.damagedBlocks, c.damaged);
      EXPECT_EQ(u.outcome.Failed(), c.damaged != 0);
      EXPECT_EQ(ReadAll(output).size(), c.damaged ? 3 * SECTOR_SIZE : 2 * SECTOR_SIZE + 100);
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
