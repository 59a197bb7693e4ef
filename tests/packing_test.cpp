#include <bzlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
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
#include "packing/process_disc.h"
#include "packing/restore_image.h"
#include "packing/verify_image.h"
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

constexpr CompressionChoice MAXIMUM = CompressionChoice::Maximum;
constexpr CompressionChoice NORMAL = CompressionChoice::Normal;

// Forces the ".ZNX" kind without changing a byte: a marked XA stream beyond the image's end.
void ForceXaKind(Analysis& a) {
  MediaRecord& r = a.Marks().MediaTable[MEDIA_TABLE_SIZE - 1];
  r = MediaRecord{MEDIA_XA, 4000000, 4000001, 0, 1, 0};
}

// An analysis with empty tables of the image at `path`, as if it had found nothing.
void Unanalysed(Analysis& a, const std::string& path) {
  a.result.analysis = NewDiscAnalysis();
  a.result.analysis->ImagePath = path;
}

ProcessReport Process(Analysis& a, CompressionChoice choice, ProcessOptions options = {}) {
  options.compression = choice;
  return ProcessDisc(a.Found(), options, a.reporter);
}

RestoreReport Uncompress(Analysis& a, const std::string& dataFile) {
  a.reporter.allowReplace = true;
  return RestoreImage(RestoreRequest{dataFile, {}}, a.reporter);
}

TEST(CompressedFormat, NameRules) {
  // The kinds' extensions in any letter case, and nothing else, name a compressed image; the
  // restored name drops exactly the extension.
  for (const auto& [name, mode, restored] :
       {std::tuple{"game.bin.Z", CompressionMode::Zlib, "game.bin"},
        {"game.bin.znx", CompressionMode::ZlibXa, "game.bin"},
        {"GAME.BIN.BZ", CompressionMode::Bzip2, "GAME.BIN"},
        {"game.img", CompressionMode::None, ""},
        {"game", CompressionMode::None, ""},
        {"game.bin.Z.bak", CompressionMode::None, ""},
        {"game.bin.bz2", CompressionMode::None, ""},
        {"dir.Z/.Z", CompressionMode::None, ""}}) {
    const std::optional<CompressionMode> got = CompressionModeOfName(name);
    EXPECT_EQ(got.value_or(CompressionMode::None), mode) << name;
    if (got) {
      EXPECT_EQ(RestoredName(name, *got), restored) << name;
    }
  }
}

// The reused codec states give the very bytes of the one-shot library calls; damage, truncation
// and too little room are failures, never silent short output.
TEST(BlockCodec, OutputIsByteIdenticalToTheOneShotCallsAndDamageFails) {
  std::mt19937 rng(7);
  BlockCompressor compressor;
  BlockDecompressor decompressor;
  std::vector<uint8_t> raw(10 * SECTOR_SIZE), packed(20 * SECTOR_SIZE), expected(20 * SECTOR_SIZE),
      back(10 * SECTOR_SIZE);
  size_t produced;
  for (int i = 0; i < 40; ++i) {
    const size_t length =
        i % 5 == 0 ? 1 + rng() % 10 * SECTOR_SIZE : (i % 2 ? SECTOR_SIZE : 10 * SECTOR_SIZE);
    for (size_t k = 0; k < length; ++k) raw[k] = static_cast<uint8_t>(i % 3 == 0 ? rng() : k / 64);
    uLongf zlen = 20 * SECTOR_SIZE;
    ASSERT_EQ(compress(expected.data(), &zlen, raw.data(), length), Z_OK);
    size_t got = compressor.Zlib(raw.data(), length, packed.data(), 20 * SECTOR_SIZE);
    ASSERT_TRUE(got == zlen && std::memcmp(packed.data(), expected.data(), got) == 0) << i;
    ASSERT_TRUE(decompressor.Zlib(packed.data(), got, back.data(), 10 * SECTOR_SIZE, &produced) &&
                produced == length && std::memcmp(back.data(), raw.data(), length) == 0);
    EXPECT_FALSE(
        decompressor.Zlib(packed.data(), got - 1, back.data(), 10 * SECTOR_SIZE, &produced));

    unsigned blen = 20 * SECTOR_SIZE;
    ASSERT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(expected.data()), &blen,
                                       reinterpret_cast<char*>(raw.data()), length, 1, 0, 30),
              BZ_OK);
    got = compressor.Bzip2(raw.data(), length, packed.data(), 20 * SECTOR_SIZE);
    ASSERT_TRUE(got == blen && std::memcmp(packed.data(), expected.data(), got) == 0) << i;
    ASSERT_TRUE(decompressor.Bzip2(packed.data(), got, back.data(), 10 * SECTOR_SIZE, &produced) &&
                produced == length);
    packed[got / 2] ^= 0x55;
    EXPECT_FALSE(decompressor.Bzip2(packed.data(), got, back.data(), 10 * SECTOR_SIZE, &produced));
  }
  const size_t got = compressor.Zlib(raw.data(), SECTOR_SIZE, packed.data(), 20 * SECTOR_SIZE);
  EXPECT_FALSE(decompressor.Zlib(packed.data(), got, back.data(), SECTOR_SIZE - 1, &produced));
}

TEST(ProcessAndUncompress, EveryKindRoundTripsByteForByte) {
  for (const uint32_t tail : {0u, 1000u}) {
    for (const auto& [combo, forceXa, extension] :
         {std::tuple{MAXIMUM, false, ".bz"}, {NORMAL, false, ".Z"}, {NORMAL, true, ".ZNX"}}) {
      TempDir dir;
      const DiscBuilder disc = MixedDisc(tail);
      Analysis a;
      AnalyseBuilt(a, dir, disc);
      if (forceXa) ForceXaKind(a);
      const ProcessReport p = Process(a, combo);
      ASSERT_TRUE(p.failedFile.empty()) << p.failedFile;
      EXPECT_EQ(p.dataFile, dir.File("disc.bin") + extension);
      const uint32_t perBlock = combo == MAXIMUM ? 10 : 1;
      EXPECT_EQ(p.blocks, (disc.SectorCount() + (tail ? 1 : 0) + perBlock - 1) / perBlock);
      EXPECT_EQ(p.blockTable, p.dataFile + (perBlock == 10 ? ".index" : ".table"));
      if (perBlock == 10) {  // the closing offset is the data file's length
        const std::vector<uint8_t> table = ReadAll(p.blockTable);
        EXPECT_EQ(GetU32(table.data() + table.size() - 4), ReadAll(p.dataFile).size());
      }
      std::remove(dir.File("disc.bin").c_str());
      EXPECT_TRUE(Uncompress(a, p.dataFile).outcome.Done());
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
       {std::tuple{"Game (Disc 1)", DiscFileStyle{}, NORMAL, false, true},
        {"My Game", DiscFileStyle{.pregapLines = true}, NORMAL, true, false},
        {"Game", DiscFileStyle{.upperCase = true}, MAXIMUM, false, false},
        {"Game", DiscFileStyle{true, true}, NORMAL, false, false}}) {
    const auto run = [&, combo = combo, xaKind = xaKind,
                      audioMp3 = audioMp3](const std::string& given) {
      Analysis a;
      RunAnalysis(a, given);
      if (xaKind) ForceXaKind(a);
      return Process(a, combo, {.audioMp3 = audioMp3});
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

    const ProcessReport set = run(cue), merged = run(joined);
    ASSERT_TRUE(set.outcome.Done() && merged.outcome.Done()) << name << ": " << set.outcome.error;
    EXPECT_EQ(set.dataFile.substr(0, dataFile.size()), dataFile) << name;
    EXPECT_EQ(set.audioSection.size(), audioMp3 ? 2u : 0u);
    if (combo != MAXIMUM) {
      EXPECT_EQ(ReadAll(set.dataFile), ReadAll(merged.dataFile)) << name;
      EXPECT_EQ(ReadAll(set.blockTable), ReadAll(merged.blockTable)) << name;
    }
    std::filesystem::rename(dataFile, dataFile + ".dump");
    Analysis restore;
    const RestoreReport u = Uncompress(restore, set.dataFile);
    ASSERT_TRUE(u.outcome.Done()) << u.outcome.error;
    EXPECT_EQ(u.output, dataFile);
    EXPECT_TRUE(ReadAll(dataFile) == dump) << name;
  }
}

TEST(ProcessAndUncompress, LogLinesAndClosingFigures) {
  TempDir dir;
  Analysis a;
  AnalyseBuilt(a, dir, MixedDisc());
  a.reporter.log.clear();
  a.Marks().MediaTable[0].rip = 1;
  const ProcessReport p = Process(a, MAXIMUM);
  // The figures come from the bytes: the data file and its side file against the image, in
  // decimal megabytes, the percentage rounded.
  const double before = ReadAll(dir.File("disc.bin")).size();
  const double after = ReadAll(p.dataFile).size() + ReadAll(p.blockTable).size();
  EXPECT_EQ(std::pair(p.sizeBefore, p.sizeAfter), std::pair(uint64_t(before), uint64_t(after)));
  char image[32], result[32];
  std::snprintf(image, sizeof image, "- Image Size is %.1f Mb", before / 1e6);
  std::snprintf(result, sizeof result, "- Result Size is %.1f Mb", after / 1e6);
  EXPECT_EQ(a.reporter.log, (std::vector<std::string>{
                                "Processing ISO:", image, "- Compression mode: Maximum", result,
                                "- 1 Medias ripped.",
                                "- " + std::to_string(std::lround(100 * (1 - after / before))) +
                                    "% smaller than original."}));
  EXPECT_EQ(a.reporter.progress.back(), 100u);

  a.reporter.log.clear();
  testing::ScopedChdir inside(dir.Path());
  Process(a, MAXIMUM, {.xaMp3 = true});
  EXPECT_EQ(a.reporter.log[0], "Warning: 1 XA Streams will be ripped but wasn't selected.");
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
       {std::tuple{dir.File("limit.bin"), uint64_t{0}, MAXIMUM, "is empty"},
        {dir.File("limit.bin"), uint64_t{2200} << 20, NORMAL, "is too large"},
        {longName, uint64_t{SECTOR_SIZE} * 50, NORMAL, "path too long"}}) {
    ASSERT_TRUE(MixedDisc().Write(image, {}, nullptr));
    std::filesystem::resize_file(image, size);
    Analysis a;
    Unanalysed(a, image);
    const ProcessReport p = Process(a, combo);
    EXPECT_TRUE(p.refused);
    EXPECT_NE(p.outcome.error.find(why), std::string::npos) << p.outcome.error;
    EXPECT_EQ(a.reporter.Count("ERROR"), 0u);  // the front end's last line says it, once
    EXPECT_FALSE(AnyTemporaryIn(dir) || std::filesystem::exists(image + ".Z") ||
                 std::filesystem::exists(image + ".bz"));
    std::filesystem::remove(image);
  }
  // Uncompress over an existing file asks first, saying what is lost: the bytes behind the
  // restored image, and the dump's XA sound when streams were ripped. No is the user's choice,
  // no failure: nothing is written and the file is kept. An interrupted commit of the compressed
  // image is completed first, and logged.
  DiscBuilder disc = MixedDisc();
  disc.BeginAudioTrack(0);
  disc.AddAudioSectors(20, 440.0);
  const std::string image = dir.File("disc.bin");
  const std::vector<uint8_t>& source = disc.Image();
  const size_t restored = size_t{disc.SectorCount() - 20} * SECTOR_SIZE;
  const std::vector<uint8_t> small = {1, 2, 3},
                             partial(source.begin(), source.begin() + restored + 9);
  // rip the XA stream, audio tracks to MP3, the existing file, the detail (a part of it)
  for (const auto& [ripXa, audioMp3, existing, detail] :
       {std::tuple{false, false, small, ""},
        {false, false, partial, "The 9 bytes behind it (a partial last sector"},
        {false, false, source, "(audio tracks the compressed image does not hold) will be lost."},
        {false, true, source, "(audio tracks the compressed image keeps only as MP3, which"},
        {true, false, small, "not the original dump: 12 sectors of ripped XA streams come back"}}) {
    Analysis a;
    AnalyseBuilt(a, dir, disc, {}, disc.CueSheet("disc.bin"));
    a.Marks().MediaTable[1].rip = ripXa;
    testing::ScopedChdir inside(dir.Path());
    const bool interrupted = existing == small && !ripXa;
    CommitGroup::KillAfterStepForTesting(interrupted ? 2 : 0);
    const std::string dataFile = Process(a, NORMAL, {.audioMp3 = audioMp3}).dataFile;
    CommitGroup::KillAfterStepForTesting(0);
    WriteAll(image, existing);
    a.reporter.log.clear();
    const RestoreReport u = RestoreImage({dataFile, {}}, a.reporter);
    EXPECT_TRUE(u.declined && !u.outcome.Failed() && u.outcome.kept == std::vector{image});
    EXPECT_EQ(a.reporter.replaceQuestions, std::vector<std::string>{image});
    EXPECT_EQ(std::pair(a.reporter.Count("ERROR"), a.reporter.Count("- completed the interrupted")),
              std::pair(size_t{0}, size_t{interrupted}));
    EXPECT_EQ(*detail == '\0', u.replaceDetail.empty()) << u.replaceDetail;
    EXPECT_NE(u.replaceDetail.find(detail), std::string::npos) << u.replaceDetail;
    EXPECT_EQ(ReadAll(image), existing);
    for (const char* suffix : {".Z", ".Z.table", ".ZNX", ".ZNX.table"}) {
      std::filesystem::remove(image + suffix);
    }
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
// A temporary's name that is a hard link to another file is refused: that file is never written.
TEST(ProcessAndUncompress, OnlyAWholeRunReplacesItsOutputs) {
  enum Fault {
    STOP,
    WRITE_FAILS,
    DAMAGE,
    OUTPUT_READ,
    OUTPUT_WRITTEN,
    LINK,
    LINKED_TEMPORARY,
    FOLDER_SYNC
  };
  const std::tuple<bool, CompressionChoice, Fault> cases[] = {
      // uncompress, compression, fault
      {false, MAXIMUM, STOP},       {false, NORMAL, STOP},
      {false, NORMAL, WRITE_FAILS}, {false, MAXIMUM, WRITE_FAILS},
      {false, NORMAL, OUTPUT_READ}, {false, NORMAL, OUTPUT_WRITTEN},
      {false, NORMAL, LINK},        {false, MAXIMUM, LINKED_TEMPORARY},
      {true, MAXIMUM, STOP},        {true, NORMAL, STOP},
      {true, NORMAL, WRITE_FAILS},  {true, MAXIMUM, DAMAGE},
      {true, NORMAL, DAMAGE},       {true, NORMAL, OUTPUT_READ},
      {true, NORMAL, LINK},         {true, NORMAL, LINKED_TEMPORARY},
      {true, NORMAL, FOLDER_SYNC},
  };
  std::mt19937 rng(8);
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  for (const auto& [uncompress, combo, fault] : cases) {
    SCOPED_TRACE(::testing::Message() << "uncompress " << uncompress << " maximum "
                                      << (combo == MAXIMUM) << " fault " << fault);
    TempDir dir;
    Analysis a;
    const DiscBuilder disc = MixedDisc();
    AnalyseBuilt(a, dir, disc);
    const std::string image = dir.File("disc.bin");
    const ProcessReport made = Process(a, combo);
    ASSERT_TRUE(made.outcome.Done()) << made.outcome.error;
    const std::vector<std::string> outputs =
        uncompress ? std::vector{image} : std::vector{made.dataFile, made.blockTable};
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
    a.reporter.pumps = 0;
    if (fault == STOP) {
      a.reporter.onPump = [&a, stopAt] {
        if (a.reporter.pumps == stopAt) a.reporter.stop.Request();
      };
    }
    if (fault == WRITE_FAILS) OutputFile::FailStagedWritesAfterForTesting(rng() % 3000);
    if (fault == FOLDER_SYNC) OutputFile::FailFolderSyncForTesting(EIO);
    const Outcome outcome =
        uncompress ? Uncompress(a, made.dataFile).outcome : Process(a, combo).outcome;
    OutputFile::FailStagedWritesAfterForTesting(~uint64_t{0});
    OutputFile::FailFolderSyncForTesting(0);
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
    if (fault == FOLDER_SYNC) {  // renamed, yet a failure: the new name may not survive a crash
      EXPECT_TRUE(outcome.written == outputs && outcome.kept.empty() && ExitStatusOf(outcome) == 1);
      EXPECT_EQ(ReadAll(image), disc.Image());
      EXPECT_EQ(line, "ERROR: cannot sync the folder " + dir.Path().string() + " holding " + image +
                          ": Input/output error; " + image +
                          " has its final name but may not survive a crash; wrote " + image + ".");
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

// The side file and the data file are checked whole before anything is written: every damage of
// their structure that verify names is refused with the existing output untouched and no ERROR
// line (the front end shows the failure). A file that is no compressed image says so; a block that
// decompresses short before the last is damage; an empty image restores to nothing. Other damages
// only need a refusal with a reason, which the fuzzers check.
TEST(ProcessAndUncompress, SideFilesAreCheckedBeforeAnythingIsWritten) {
  TempDir dir;
  const std::vector<uint8_t> block(10 * SECTOR_SIZE, 7);
  BlockCompressor compressor;
  const auto pack = [&](size_t length, bool bzip2 = false) {
    std::vector<uint8_t> out(20 * SECTOR_SIZE);
    out.resize(bzip2 ? compressor.Bzip2(block.data(), length, out.data(), out.size())
                     : compressor.Zlib(block.data(), length, out.data(), out.size()));
    return out;
  };
  const std::vector<uint8_t> packed = pack(SECTOR_SIZE), shortPacked = pack(100);
  const uint32_t n = static_cast<uint32_t>(packed.size()), s = n + shortPacked.size();
  // Entries of `mode` (for ".bz" the offsets, the closing one last), XA tags with `marker`.
  using Entries = std::initializer_list<std::pair<uint32_t, uint32_t>>;
  const auto table = [](Entries entries, CompressionMode mode = CompressionMode::Zlib,
                        uint8_t marker = 0) {
    std::vector<uint8_t> t;
    for (const auto& [offset, length] : entries) {
      uint8_t e[16];
      t.insert(t.end(), e, e + EncodeBlockEntry(e, mode, offset, length, {0, marker, 0}));
    }
    return t;
  };
  std::vector<uint8_t> goodData = packed, bzData = pack(10 * SECTOR_SIZE, true);
  goodData.insert(goodData.end(), shortPacked.begin(), shortPacked.end());
  goodData.insert(goodData.end(), packed.begin(), packed.end());
  const uint32_t b = static_cast<uint32_t>(bzData.size());
  bzData.insert(bzData.end(), bzData.begin(), bzData.end());
  const auto BZ = CompressionMode::Bzip2, ZNX = CompressionMode::ZlibXa;
  std::vector<uint8_t> longer = goodData, cut = table({{0, n}, {n, s - n}, {s, n}}),
                       odd = table({{0, 0}, {b, 0}, {2 * b, 0}}, BZ), largest = packed;
  longer.insert(longer.end(), {1, 2, 3});
  largest.insert(largest.end(), packed.begin(), packed.end());
  largest.resize(2 * n + 2 * SECTOR_SIZE);  // a last block of the largest stored length, not zlib
  cut.erase(cut.end() - 2, cut.end());
  odd.push_back(0);
  DiscBuilder raw;
  raw.AddDataSectors(2);
  // name, data, side file (none: nullopt), a sparse side file of this size instead, the
  // refusal's text (none: restored with this many damaged blocks)
  const std::tuple<const char*, std::vector<uint8_t>, std::optional<std::vector<uint8_t>>, uint64_t,
                   const char*, uint32_t>
      cases[] = {
          {"game.bin.Z", goodData, {}, 10ull << 30, "more than a 99:59:74 disc holds", 0},
          {"game.bin.Z", goodData, table({{0, n}, {n, 0}}), 0, "its stored length is 0", 0},
          {"game.bin.Z", {1, 2}, table({{0, 1}, {0, 1}, {0, 1}}), 0, "more than ", 0},
          {"game.bin.Z", raw.Image(), {}, 0, "not a compressed image: it begins with a sector", 0},
          {"game.iso", goodData, {}, 0, "is not a compressed image: a compressed image's data", 0},
          {"game.bin.Z", goodData, table({{0, n}, {n, s - n}, {s, n}}), 0, "", 1},
          {"game.bin.Z", largest, table({{0, n}, {n, n}, {2 * n, 2 * SECTOR_SIZE}}), 0, "", 1},
          {"game.bin.Z", goodData, table({{0, n}, {n, s - n}, {s, n + 1}}), 0,
           "block 2 lies beyond the end of", 0},
          {"game.bin.Z", goodData, table({{0, n}, {n, s - n}, {s, n}}), 0,
           "is busy: another run writes it", 0},
          {"game.bin.Z", {}, std::vector<uint8_t>{}, 0, "", 0},
          {"game.bin.Z", goodData, std::vector<uint8_t>{}, 0,
           "side file: it lacks entries: a "
           "compressed block begins at offset 0",
           0},
          {"game.bin.Z", goodData, table({{0, n}, {n, s - n}}), 0, "it lacks entries", 0},
          {"game.bin.Z", goodData, cut, 0, "its last 4 bytes are no whole entry of 6", 0},
          {"game.bin.Z", goodData, table({{0, n}, {s, n}, {n, s - n}}), 0, "block 1: starts at", 0},
          {"game.bin.Z", longer, table({{0, n}, {n, s - n}, {s, n}}), 0, "belong to no block", 0},
          {"game.bin.ZNX", goodData, table({{0, n}, {n, s - n}, {s, n}}, ZNX, 99), 0,
           "block 0: its XA tag's marker is 99", 0},
          {"game.bin.bz", bzData, table({{0, 0}, {b, 0}}, BZ), 0, "lacks entries or its closing",
           0},
          {"game.bin.bz", bzData, odd, 0, "is damaged: side file: its last 1 bytes are no", 0},
          {"fifo.bin.Z", {}, {}, 0, "fifo.bin.Z: not a regular file", 0},
      };
  for (const auto& [name, data, side, sparse, error, damaged] : cases) {
    SCOPED_TRACE(error);
    const std::string path = dir.File(name), output = dir.File("game.bin");
    for (const char* suffix : {".table", ".index"}) std::filesystem::remove(path + suffix);
    const std::string sideFile = path + (std::string(name).ends_with(".bz") ? ".index" : ".table");
    std::string(name).starts_with("fifo") ? (void)::mkfifo(path.c_str(), 0644)
                                          : WriteAll(path, data);
    if (side || sparse != 0) WriteAll(sideFile, side.value_or(std::vector<uint8_t>{}));
    if (sparse != 0) std::filesystem::resize_file(sideFile, sparse);
    // Another run writes the data file, or only reads it as this one does.
    const HeldLock held(path,
                        std::string(error).find("busy") != std::string::npos ? LOCK_EX : LOCK_SH);
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    *error != '\0' ? WriteAll(output, old) : (void)std::filesystem::remove(output);
    Analysis a;
    const RestoreReport u = Uncompress(a, path);
    // Info and verify count the refusals of the side file, and only those, as damage.
    const std::string why = error;
    EXPECT_EQ(InspectImage(path).StructureDamaged(),
              !why.empty() && why.find("busy") == why.npos && why.find("not a") == why.npos);
    if (*error != '\0') {
      EXPECT_NE(u.outcome.error.find(error), std::string::npos) << u.outcome.error;
      EXPECT_FALSE(u.started || a.reporter.Count("ERROR") != 0 || ReadAll(output) != old);
    } else {
      // A short block anywhere but last is damage: zeros, an ERROR and a whole-length output.
      EXPECT_EQ(std::pair(u.damagedBlocks, u.outcome.Failed()), std::pair(damaged, damaged != 0));
      EXPECT_EQ(a.reporter.Count("ERROR"), damaged);
      EXPECT_EQ(ReadAll(output).size(), damaged * 3 * SECTOR_SIZE);
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
    a.Marks().MediaTable[layout.videos.size()].rip = 1;
    const ProcessReport p = Process(a, NORMAL, {.xaMp3 = xaOption});
    EXPECT_EQ(p.dataFile, dir.File("sample.bin.ZNX"));
    const uint32_t sectors = a.Found().dataTrackEnd + 1;
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
