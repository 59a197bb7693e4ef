#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <optional>
#include <tuple>

#include "common/platform.h"
#include "common/sector.h"
#include "packing/audio_extraction.h"
#include "packing/compressed_format.h"
#include "packing/mp3_phases.h"
#include "packing/process_disc.h"
#include "test_support.h"
#include "xa/xa_decoder.h"
#include "xa/xa_encoder.h"

namespace quarnel {
namespace {

using testing::AnalyseBuilt;
using testing::Analysis;
using testing::ReadAll;
using testing::RunAnalysis;
using testing::ScopedChdir;
using testing::TempDir;

// Decodes the sound in `bytes` (any format ffmpeg reads) to 16 kHz mono.
std::vector<int16_t> DecodeWithFfmpeg(const TempDir& dir, const uint8_t* bytes, size_t size) {
  const std::string in = dir.File("probe.mp3"), out = dir.File("probe.pcm");
  std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(bytes), size);
  const std::string command =
      "ffmpeg -nostdin -v error -y -i '" + in + "' -f s16le -ac 1 -ar 16000 '" + out + "'";
  if (std::system(command.c_str()) != 0) return {};
  const std::vector<uint8_t> raw = ReadAll(out);
  std::vector<int16_t> samples(raw.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = int16_t(raw[2 * i] | raw[2 * i + 1] << 8);
  return samples;
}

// The pitch of a steady tone from its zero crossings, away from the ends.
double Pitch(const std::vector<int16_t>& s, double rate) {
  const size_t from = s.size() / 5, to = s.size() - s.size() / 5;
  size_t crossings = 0;
  for (size_t i = from + 1; i < to; ++i) crossings += (s[i - 1] < 0) != (s[i] < 0);
  return crossings / 2.0 / ((to - from) / rate);
}

TEST(XaEncoder, ToneSurvivesTheDecoderMonoAndStereo) {
  for (const bool stereo : {false, true}) {
    XaEncoder encoder;
    XaDecoder decoder;
    InitXaDecoder(decoder);
    double phase = 0, signal = 0, noise = 0;
    for (int sector = 0; sector < 4; ++sector) {
      int16_t in[XA_SAMPLES_PER_SECTOR], out[XA_SAMPLES_PER_SECTOR];
      for (size_t i = 0; i < XA_SAMPLES_PER_SECTOR; ++i) {
        in[i] = int16_t(9000 * std::sin(phase) + (stereo && i % 2 ? 3000 : 0));
        if (!stereo || i % 2) phase += 2 * std::numbers::pi * 440 / 37800;
      }
      uint8_t data[SOUND_GROUPS_PER_SECTOR * SOUND_GROUP_SIZE];
      (stereo ? EncodeXaSectorStereo : EncodeXaSectorMono)(encoder, data, in);
      (stereo ? DecodeXaSectorStereo : DecodeXaSectorMono)(decoder, out, data);
      for (size_t i = 0; i < XA_SAMPLES_PER_SECTOR; ++i) {
        signal += double(in[i]) * in[i];
        noise += double(in[i] - out[i]) * (in[i] - out[i]);
      }
      // The encoder's idea of the history is the decoder's.
      EXPECT_TRUE(encoder.history[0] == decoder.XaDecoderState[0] &&
                  encoder.history[1] == decoder.XaDecoderState[1]);
    }
    EXPECT_GT(10 * std::log10(signal / noise), 30.0) << (stereo ? "stereo" : "mono");
  }
}

// Reads a section at `at`: its entries, checking that they tile the section to the data's end.
std::vector<std::array<uint32_t, 4>> ReadSection(const std::vector<uint8_t>& data, size_t at) {
  const size_t count = at + 4 <= data.size() ? GetU32(data.data() + at) : 0;
  if (at + 4 + 16 * count > data.size()) return {};  // no section there: the callers' counts fail
  std::vector<std::array<uint32_t, 4>> entries(count);
  size_t expected = at + 4 + 16 * entries.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    for (int f = 0; f < 4; ++f) entries[i][f] = GetU32(data.data() + at + 4 + 16 * i + 4 * f);
    EXPECT_EQ(entries[i][2], expected) << "entry " << i;
    expected += entries[i][3];
  }
  EXPECT_EQ(expected, data.size());  // one section only
  return entries;
}

size_t BlockAreaEnd(const ProcessReport& p) {
  const std::vector<uint8_t> table = ReadAll(p.blockTable);
  if (p.blockTable.ends_with(".index")) return GetU32(table.data() + table.size() - 4);
  const size_t entrySize = p.dataFile.ends_with(".ZNX") ? 10 : 6;
  const uint8_t* last = table.data() + table.size() - entrySize;
  return GetU32(last) + GetU16(last + 4);
}

// A stream of two interleaved channels plus a two-sector stereo record at 18900 Hz, ripped.
struct XaRip {
  TempDir dir;
  DiscBuilder disc;
  Analysis a;
  uint32_t first = 0;

  XaRip() {
    disc.AddDataSectors(40);
    first = disc.AddXaToneStream({500.0, 800.0}, 6);
    disc.AddDataSectors(3);
    disc.AddXaToneSector(0, 0x05, 1000.0);  // stereo, 18900 Hz
    disc.AddXaToneSector(0, 0x05, 1000.0, SUBMODE_EOF);
    disc.AddDataSectors(3);
    disc.BeginAudioTrack(0);  // one CD track, for the audio track phase
    disc.AddAudioSectors(20, 440.0);
  }
  // With `xaMp3` the XA records become MP3 (and the track is dropped); without it only the audio
  // track does, unless `audioMp3` is off too.
  ProcessReport Run(ProcessOptions options) {
    ScopedChdir inside(dir.Path());
    AnalyseBuilt(a, dir, disc, {}, disc.CueSheet("disc.bin"));
    a.Marks().MediaTable[0].rip = a.Marks().MediaTable[1].rip = 1;
    return ProcessDisc(a.Found(), options, a.reporter);
  }
  // A stand-in encoder: a shell script run in the disc's folder.
  void Encoder(const std::string& script) {
    testing::PutScript(dir.File("audio/lame"), "cd '" + dir.Path().string() + "'\n" + script);
  }
};

// Each channel decoded alone, with a fresh decoder, straight from the source image; then the
// stereo record of two sectors at 18900 Hz.
TEST(XaExtraction, WavFilesHoldEachRecordDecodedWithItsOwnHistory) {
  XaRip rip;
  const std::string audio = rip.dir.File("audio");
  const ProcessReport p = rip.Run({.workFolder = audio});
  ASSERT_TRUE(p.failedFile.empty());
  ASSERT_EQ(rip.a.Found().XaRecordTotal, 3u);
  const uint32_t records[][3] = {{6, 1, 37800}, {6, 1, 37800}, {2, 2, 18900}};
  for (uint32_t r = 0; r < 3; ++r) {
    const auto [sectors, channels, rate] = records[r];
    const std::vector<uint8_t> wav = ReadAll(XaWavPath(audio, r));
    ASSERT_EQ(wav.size(), WAV_HEADER_SIZE + sectors * 8064u);
    uint8_t header[WAV_HEADER_SIZE];
    EncodeWavHeader(header, sectors * 8064, channels, rate);
    EXPECT_EQ(std::memcmp(wav.data(), header, WAV_HEADER_SIZE), 0);
    XaDecoder alone;
    InitXaDecoder(alone);
    for (uint32_t k = 0; r < 2 && k < 6; ++k) {
      int16_t pcm[XA_SAMPLES_PER_SECTOR];
      DecodeXaSectorMono(alone, pcm, rip.disc.SectorAt(rip.first + 2 * k + r) + USER_DATA_OFFSET);
      ASSERT_EQ(std::memcmp(wav.data() + WAV_HEADER_SIZE + 8064 * k, pcm, 8064), 0) << r << k;
    }
  }
  // Without "Rip Xa Streams to MP3" nothing is appended behind the blocks.
  EXPECT_EQ(ReadAll(p.dataFile).size(), BlockAreaEnd(p));
}

// A record of one sector is complete (its header says how long it is) at its first sector.
TEST(XaExtraction, OneSectorRecordGetsACompleteWav) {
  TempDir dir;
  const auto analysis = NewDiscAnalysis();
  DiscBuilder disc;
  disc.AddDataSectors(20);
  const uint32_t n = disc.AddXaToneSector(3, 0x01, 700.0);  // stereo, 37800 Hz
  analysis->SectorRecordMap[n] = 0;
  analysis->XaRecordTable[0] = XaRecord{n, n, 3};
  analysis->XaRecordTotal = 1;
  AudioExtraction audio(*analysis, dir.Path().string());
  audio.ExtractXaSector(n, disc.MutableImage().data() + size_t{n} * SECTOR_SIZE, true);
  const std::vector<uint8_t> wav = ReadAll(XaWavPath(dir.Path().string(), 0));
  uint8_t header[WAV_HEADER_SIZE];
  EncodeWavHeader(header, 8064, 2, 37800);
  ASSERT_EQ(wav.size(), WAV_HEADER_SIZE + 8064u);
  EXPECT_EQ(std::memcmp(wav.data(), header, WAV_HEADER_SIZE), 0);
}

// Both sections from one written sample disc: XA records (".ZNX"), audio tracks in either kind.
TEST(Mp3, XaRecordsAndAudioTracksBecomeMp3OfTheirTones) {
  if (std::system("command -v lame && command -v ffmpeg >/dev/null") != 0) GTEST_SKIP();
  TempDir dir;
  ScopedChdir inside(dir.Path());
  const SampleDiscLayout& layout = testing::WriteSample(dir);
  const std::vector<uint8_t> source = ReadAll(dir.File("sample.bin"));
  for (const auto& [xa, combo] : {std::pair{true, CompressionChoice::Normal},
                                  {false, CompressionChoice::Maximum},
                                  {false, CompressionChoice::Normal}}) {
    SCOPED_TRACE(combo == CompressionChoice::Maximum);
    Analysis a;
    RunAnalysis(a, dir.File("sample.bin"));
    std::filesystem::remove_all(dir.File("audio"));
    // Both sounds asked for: the XA one wins.
    const ProcessReport p = ProcessDisc(
        a.Found(),
        {.compression = combo, .xaMp3 = xa, .audioMp3 = true, .workFolder = dir.File("audio")},
        a.reporter);
    ASSERT_TRUE(p.failedFile.empty());
    std::vector<std::tuple<SampleDiscLayout::Range, double, double>> want;  // seconds, hz
    EXPECT_NE(std::find(a.reporter.log.begin(), a.reporter.log.end(),
                        xa ? "Warning: Rip audio track disabled when Rip XA Streams is enable."
                           : "- Compressed audio tracks added."),
              a.reporter.log.end());
    for (uint32_t c = 0; xa && c < layout.xaChannels; ++c) {
      want.emplace_back(layout.xaRecords[c], 40 * 4032 / 37800.0, layout.xaTonesHz[c]);
    }
    EXPECT_EQ(std::filesystem::exists(dir.File("audio/track02.raw")), !xa);
    for (uint32_t t = 0; !xa && t < layout.audioTracks.size(); ++t) {
      // The raw files hold the complete tracks, whatever the block size.
      const SampleDiscLayout::Range& r = layout.audioTracks[t];
      const std::vector<uint8_t> raw = ReadAll(TrackRawPath(dir.File("audio"), t + 2));
      EXPECT_TRUE(std::equal(raw.begin(), raw.end(),
                             source.begin() + size_t{r.firstSector} * SECTOR_SIZE,
                             source.begin() + size_t{r.lastSector + 1} * SECTOR_SIZE));
      want.emplace_back(r, 4.0, layout.trackTonesHz[t]);
    }
    const std::vector<uint8_t> data = ReadAll(p.dataFile);
    const auto entries = ReadSection(data, BlockAreaEnd(p));
    ASSERT_EQ(entries.size(), want.size());
    for (uint32_t i = 0; i < entries.size(); ++i) {
      const auto& [range, seconds, hz] = want[i];
      EXPECT_EQ(std::pair(entries[i][0], entries[i][1]),
                std::pair(range.firstSector, range.lastSector));
      const std::vector<int16_t> pcm =
          DecodeWithFfmpeg(dir, data.data() + entries[i][2], entries[i][3]);
      EXPECT_NEAR(pcm.size() / 16000.0, seconds, seconds * 0.05) << i;
      EXPECT_NEAR(Pitch(pcm, 16000), hz, hz * 0.01) << i;
    }
  }
}

// What an encoder leaves is stored only when it is MPEG audio of the right length: an XA record
// falls back to its WAV, an audio track fails the run. A failure leaves no outputs and no private
// work folder; a work folder another run holds, or a link in it, is never written through.
TEST(Mp3Phases, EncoderFaultsStopsAndWorkFolders) {
  // The XA arguments end with the WAV and the MP3 ($6, $7), the track arguments with the raw file
  // and the MP3 ($13, $14).
  enum End { WAV_STORED, FAILS };
  // encoder script, XA records (else the audio track), work folder (empty: a private one), what
  // stands in it first, how the run ends and what its line or warnings say
  for (const auto& [encoder, xa, workFolder, before, end, says] :
       {std::tuple{"exit 3", true, "", "", WAV_STORED, "the encoder ended with exit status 3"},
        {"head -c 3000 /dev/urandom >\"$7\"", true, "", "", WAV_STORED, "no MPEG audio frame"},
        {"printf ID3 >\"$7\"", true, "", "", WAV_STORED, "no MPEG audio frame at byte 0"},
        {"head -c 9000 /dev/urandom >\"$14\"", false, "", "", FAILS, "made no MP3 of"},
        {"exit 3", false, "", "", FAILS, "could not convert"},
        {"exit 3", true, "work", "dir track0001.wav", FAILS, "track0001.wav: Is a directory"},
        {"exit 3", true, "audio/lame/work", "", FAILS, "cannot make the work folder"},
        {"exit 3", true, "work", "link track0000.wav", WAV_STORED, "were replaced: track0000.wav"},
        {"exit 3", true, "work", "locked", FAILS, "in use by another run"}}) {
    SCOPED_TRACE(std::string(encoder) + " " + before);
    XaRip rip;
    rip.Encoder(encoder);
    const std::string folder = *workFolder ? rip.dir.File(workFolder) : "";
    std::optional<WorkFolder> other;
    if (std::string(before).starts_with("dir ")) {
      std::filesystem::create_directories(folder + "/" + (before + 4));
    } else if (std::string(before).starts_with("link ")) {
      testing::WriteAll(rip.dir.File("outside"), {1, 2, 3});
      std::filesystem::create_directories(folder);
      std::filesystem::create_symlink(rip.dir.File("outside"), folder + "/" + (before + 5));
    } else if (*before) {
      std::string why;
      ASSERT_TRUE(other.emplace().Make(folder, "", &why)) << why;
    }
    const ProcessReport p = rip.Run({.xaMp3 = xa, .audioMp3 = !xa, .workFolder = folder});
    for (const auto& e : std::filesystem::directory_iterator(rip.dir.Path())) {
      EXPECT_FALSE(e.path().filename().string().starts_with(".quarnel-work-")) << e.path();
    }
    if (std::string(before).starts_with("link ")) {
      EXPECT_EQ(testing::ReadAll(rip.dir.File("outside")), (std::vector<uint8_t>{1, 2, 3}));
    }
    const std::vector<std::string>& log = rip.a.reporter.log;
    if (end == WAV_STORED) {
      ASSERT_TRUE(p.outcome.Done()) << p.outcome.error;
      EXPECT_EQ(rip.a.reporter.Count("Warning: no MP3 of XA record "), 3u);
      EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) {
        return l.find(says) != std::string::npos;
      })) << ::testing::PrintToString(log);
      const std::vector<uint8_t> data = ReadAll(p.dataFile);
      const auto entries = ReadSection(data, BlockAreaEnd(p));
      ASSERT_EQ(entries.size(), 3u);
      EXPECT_EQ(entries[0][3], WAV_HEADER_SIZE + 6 * 8064u);
      EXPECT_EQ(std::memcmp(data.data() + entries[0][2], "RIFF", 4), 0);
      continue;
    }
    EXPECT_FALSE(std::filesystem::exists(p.dataFile) || std::filesystem::exists(p.blockTable));
    EXPECT_TRUE(p.outcome.Failed());
    EXPECT_NE(p.outcome.error.find(says), std::string::npos) << p.outcome.error;
    EXPECT_EQ(rip.a.reporter.Count("ERROR"), 0u);  // the front end says it, once
  }
}

// A stop asked in any phase is seen there: nothing is committed, what stood at the outputs' names
// keeps its bytes, and no encoder runs on.
TEST(ProcessDisc, AStopIsSeenInEveryPhase) {
  // phase, the log line that begins it (empty: the blocks, stopped at a pump), the options
  for (const auto& [phase, line, options] :
       {std::tuple{"blocks", "", ProcessOptions{}},
        {"XA encodes", "- Compressing XA Records...", ProcessOptions{.xaMp3 = true}},
        {"track encodes", "- Compressing audio tracks...", ProcessOptions{.audioMp3 = true}},
        {"lossless tracks", "- Keeping the audio tracks lossless...",
         ProcessOptions{.keepLossless = true}},
        {"verify read-back", "- Reading the compressed image back...",
         ProcessOptions{.verify = true}}}) {
    SCOPED_TRACE(phase);
    XaRip rip;
    rip.Encoder("echo $$ >>pids; exec sleep 30");
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    for (const char* name : {"disc.bin.ZNX", "disc.bin.ZNX.table"}) {
      testing::WriteAll(rip.dir.File(name), old);
    }
    const std::string stopAt = line;
    int blockPumps = -1;  // counted from "Processing ISO:"
    rip.a.reporter.onLog = [&](const std::string& l) {
      if (!stopAt.empty() && l == stopAt) rip.a.reporter.stop.Request();
      if (l == "Processing ISO:") blockPumps = 0;
    };
    rip.a.reporter.onPump = [&] {
      if (stopAt.empty() && blockPumps >= 0 && ++blockPumps == 30) rip.a.reporter.stop.Request();
    };
    const ProcessReport p = rip.Run(options);
    ASSERT_TRUE(rip.a.result.Complete());
    EXPECT_TRUE(p.outcome.stopped && !p.outcome.Failed()) << p.outcome.error;
    EXPECT_TRUE(p.outcome.written.empty());
    for (const char* name : {"disc.bin.ZNX", "disc.bin.ZNX.table"}) {
      EXPECT_EQ(ReadAll(rip.dir.File(name)), old) << name;
    }
    for (const auto& e : std::filesystem::directory_iterator(rip.dir.Path())) {
      const std::string name = e.path().filename().string();
      EXPECT_FALSE(name.ends_with(".partial") || name.ends_with(".flac") ||
                   name.starts_with(".quarnel-work-"))
          << name;
    }
    std::ifstream pids(rip.dir.File("pids"));
    for (pid_t pid; pids >> pid;) EXPECT_NE(::kill(pid, 0), 0) << "encoder " << pid << " runs on";
  }
}

// One encoder per core stores the very sections one encoder at a time stores.
TEST(Mp3Phases, SectionsDoNotDependOnHowManyEncodersRun) {
  std::string why;
  if (FindEncoder(&why).empty()) GTEST_SKIP() << why;
  std::vector<uint8_t> data[2];
  for (const unsigned encoders : {1u, 2u}) {
    XaRip rip;
    const ProcessReport p = rip.Run({.xaMp3 = true, .encoders = encoders});
    ASSERT_TRUE(p.outcome.Done()) << p.outcome.error;
    data[encoders - 1] = ReadAll(p.dataFile);
  }
  EXPECT_TRUE(data[0] == data[1]);
}

}  // namespace
}  // namespace quarnel
