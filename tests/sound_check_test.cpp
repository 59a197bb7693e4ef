// The checks on the sound files given to the encoder and left by it.
#include "packing/sound_check.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>

#include "common/platform.h"
#include "packing/audio_extraction.h"
#include "packing/mp3_phases.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

// A tone of 16-bit samples, the channels interleaved, behind a WAV header unless `raw`.
std::vector<uint8_t> Tone(uint32_t samples, uint32_t channels, uint32_t rate, bool raw = false) {
  std::vector<uint8_t> out(raw ? 0 : WAV_HEADER_SIZE);
  if (!raw) EncodeWavHeader(out.data(), samples * channels * 2, channels, rate);
  for (uint32_t i = 0; i < samples * channels; ++i) {
    const auto v =
        static_cast<int16_t>(8000 * std::sin(i / channels * 2 * std::numbers::pi * 440 / rate));
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
  }
  return out;
}

// What the encoder makes of `input` with the arguments the phases give it, and extra ones first.
std::vector<uint8_t> Encode(const TempDir& dir, const std::vector<uint8_t>& input, bool raw,
                            std::vector<std::string> extra = {}) {
  const std::string in = dir.File(raw ? "in.raw" : "in.wav"), out = dir.File("out.mp3");
  WriteAll(in, input);
  std::vector<std::string> args =
      raw ? TrackEncoderArguments(in, out) : XaEncoderArguments(in, out);
  args.insert(args.begin(), extra.begin(), extra.end());
  std::string why;
  const EncoderResult result = RunEncoder(FindEncoder(&why), args, [] { return false; });
  EXPECT_EQ(result.end, EncoderEnd::Succeeded) << result.how;
  return ReadAll(out);
}

// Real encoder output passes with its length; damaged, cut, foreign or random bytes do not.
TEST(SoundCheck, Mp3sDecodeWholeAndDamageIsRefused) {
  std::string why;
  if (FindEncoder(&why).empty()) GTEST_SKIP() << why;
  TempDir dir;
  constexpr double FRAME = 576.0 / 16000;  // the encoder's frames at 16 kHz
  struct Good {
    const char* name;
    std::vector<uint8_t> mp3;
    double seconds;  // the input's length
    uint32_t channels;
  };
  const std::vector<Good> good = {
      // Mono 16 kHz frames are too small for the encoder's info frame: its delay and padding stay.
      {"one XA sector", Encode(dir, Tone(4032, 1, 37800), false), 4032 / 37800.0, 1},
      {"one CD sector", Encode(dir, Tone(588, 2, 44100, true), true), 588 / 44100.0, 2},
      {"CD track", Encode(dir, Tone(300 * 588, 2, 44100, true), true), 4.0, 2},
      {"ID3v2 and ID3v1 tags",
       Encode(dir, Tone(2016, 2, 37800), false, {"--tt", "Title", "--add-id3v2"}), 2016 / 37800.0,
       2},
  };
  for (const Good& g : good) {
    SoundInfo info;
    std::string why;
    ASSERT_TRUE(CheckMp3(g.mp3.data(), g.mp3.size(), &info, &why)) << g.name << ": " << why;
    EXPECT_EQ(info.rate, 16000u) << g.name;
    EXPECT_EQ(info.channels, g.channels) << g.name;
    EXPECT_GE(info.Seconds(), g.seconds - 0.001) << g.name;
    EXPECT_LE(info.Seconds(), g.seconds + (g.channels == 1 ? 3 * FRAME : 0.001)) << g.name;
  }

  const std::vector<uint8_t>& mono = good[0].mp3;
  const std::vector<uint8_t>& track = good[2].mp3;
  const std::vector<uint8_t>& tagged = good[3].mp3;
  const auto with = [](std::vector<uint8_t> bytes, auto change) {
    change(bytes);
    return bytes;
  };
  ASSERT_EQ(std::memcmp(tagged.data(), "ID3", 3), 0);
  ASSERT_EQ(std::memcmp(tagged.data() + tagged.size() - 128, "TAG", 3), 0);
  const size_t id3Size = tagged[6] << 21 | tagged[7] << 14 | tagged[8] << 7 | tagged[9];
  const std::vector<uint8_t> id3(tagged.begin(), tagged.begin() + 10 + id3Size);
  const std::pair<const char*, std::vector<uint8_t>> bad[] = {
      {"empty", {}},
      {"a bare ID3v2 tag", id3},
      {"a WAV", Tone(4032, 1, 37800)},
      {"a stretch overwritten",
       with(track, [](auto& b) { std::fill(b.begin() + 8000, b.begin() + 9000, 0x55); })},
      {"a frame cut short", with(track, [](auto& b) { b.resize(b.size() - 100); })},
      // A whole frame less: only the info frame's count tells.
      {"the last frame gone", with(track, [](auto& b) { b.resize(b.size() - 216); })},
      {"junk after the frames", with(track, [](auto& b) { b.insert(b.end(), 300, 0); })},
      {"a mono stream after a stereo one",
       with(track, [&](auto& b) { b.insert(b.end(), mono.begin(), mono.end()); })},
  };
  for (const auto& [name, bytes] : bad) {
    std::string why;
    EXPECT_FALSE(CheckMp3(bytes.data(), bytes.size(), nullptr, &why)) << name;
    EXPECT_FALSE(why.empty()) << name;
  }
  // An APE tag (a footer of 32 bytes, no header) may close the file too.
  std::vector<uint8_t> ape = track;
  const uint8_t footer[32] = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 7, 0, 0, 32};
  ape.insert(ape.end(), footer, footer + sizeof footer);
  EXPECT_TRUE(CheckMp3(ape.data(), ape.size(), nullptr, nullptr));
  // Noise of every length, some of it behind a plausible frame header.
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> noise(i % 4 == 0 ? i % 40 : random() % 200000);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
    if (i % 3 == 0 && noise.size() >= 4) std::memcpy(noise.data(), track.data(), 4);
    EXPECT_FALSE(CheckMp3(noise.data(), noise.size(), nullptr, nullptr)) << i;
    EXPECT_FALSE(CheckWav(noise.data(), noise.size(), nullptr, nullptr)) << i;
  }
}

TEST(SoundCheck, WavHeaderMustMatchItsLengthAndHold16BitPcm) {
  const std::vector<uint8_t> wav = Tone(4032, 2, 37800);
  SoundInfo info;
  std::string why;
  ASSERT_TRUE(CheckWav(wav.data(), wav.size(), &info, &why)) << why;
  EXPECT_EQ(info.samples, 4032u);
  EXPECT_EQ(info.channels, 2u);
  EXPECT_EQ(info.rate, 37800u);

  // The WAV with bytes put at offsets, then cut to `size` (0: left as it is).
  using Patch = std::pair<size_t, std::vector<uint8_t>>;
  const auto with = [&](std::vector<Patch> patches, size_t size = 0) {
    std::vector<uint8_t> out = wav;
    for (const auto& [at, bytes] : patches) std::copy(bytes.begin(), bytes.end(), out.begin() + at);
    if (size != 0) out.resize(size);
    return out;
  };
  const std::pair<const char*, std::vector<uint8_t>> bad[] = {
      {"cut short", with({}, wav.size() - 2)},
      {"RIFF size too small", with({{4, {0, 0, 0, 0}}})},
      {"8-bit", with({{34, {8}}})},
      {"not PCM", with({{20, {3}}})},
      {"block size wrong", with({{32, {2}}})},
      {"data past the end", with({{40, {0xFF, 0xFF, 0xFF, 0x7F}}})},
      {"half a sample", with({{4, {42, 0, 0, 0}}, {40, {2, 0, 0, 0}}}, 50)},
      {"no data chunk", with({{36, {'l', 'i', 's', 't'}}})},
      {"not RIFF", with({{0, {'R', 'I', 'F', 'X'}}})},
  };
  for (const auto& [name, bytes] : bad) {
    std::string why;
    EXPECT_FALSE(CheckWav(bytes.data(), bytes.size(), nullptr, &why)) << name;
    EXPECT_FALSE(why.empty()) << name;
  }
}

}  // namespace
}  // namespace quarnel
