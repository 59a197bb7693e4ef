// Measures the MP3 phases of process on a generated disc: the XA records of --xa-mp3 (many short
// encodes) and the CD audio tracks kept by default (a few long ones), each with one encoder at a
// time against one per core. The sections written must be the same bytes either way.
//
//   quarnel_mp3_bench [--records N] [--track-seconds S] [--dir DIR]
//     N XA records (default 128: 16 streams of 8 channels, 2 s of sound each), two audio tracks of
//     S seconds (default 60), written into DIR (default: the temporary folder)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "analysis/analyse_disc.h"
#include "bench_support.h"
#include "common/platform.h"
#include "common/reporter.h"
#include "packing/process_disc.h"

namespace {

using quarnel::bench::Clock;
using quarnel::bench::Seconds;

constexpr uint32_t CHANNELS = 8;
constexpr uint32_t SECTORS_PER_CHANNEL = 38;  // about 2 s of 37800 Hz mono per record

quarnel::DiscBuilder BuildDisc(uint32_t records, uint32_t trackSeconds) {
  quarnel::DiscBuilder disc;
  disc.AddDataSectors(300);
  for (uint32_t made = 0; made < records; made += CHANNELS) {
    std::vector<double> tones;
    for (uint32_t c = 0; c < CHANNELS; ++c) tones.push_back(200.0 + 37.0 * (made + c));
    disc.AddXaToneStream(tones, SECTORS_PER_CHANNEL);
    disc.AddDataSectors(20);
  }
  for (const double hz : {440.0, 660.0}) {
    disc.BeginAudioTrack(150);
    disc.AddAudioSectors(trackSeconds * 75, hz);
  }
  return disc;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The runs' logs would drown the figures.
class SilentReporter : public quarnel::Reporter {
 public:
  void Log(const std::string&) override {}
  void Progress(unsigned) override {}
  bool StopRequested() override { return false; }
  void Warning(const std::string&) override {}
  bool ConfirmReplace(const std::string&, const std::string&) override { return true; }
};

struct Run {
  double seconds = 0;
  std::string data;
};

Run Process(const std::string& image, quarnel::ProcessOptions options) {
  SilentReporter reporter;
  quarnel::AnalysisResult analysed = quarnel::AnalyseDisc({.ImagePath = image}, reporter);
  if (!analysed.analysis) std::exit(1);
  const auto start = Clock::now();
  const quarnel::ProcessReport r = quarnel::ProcessDisc(*analysed.analysis, options, reporter);
  Run run{Seconds(start), {}};
  if (!r.outcome.Done()) {
    std::fprintf(stderr, "process failed: %s\n", r.outcome.error.c_str());
    std::exit(1);
  }
  run.data = ReadAll(r.dataFile);
  std::filesystem::remove(r.dataFile);
  std::filesystem::remove(r.blockTable);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t records = 128, trackSeconds = 60;
  std::string dir = std::filesystem::temp_directory_path().string();
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--records")) records = static_cast<uint32_t>(std::atoi(argv[i + 1]));
    if (!std::strcmp(argv[i], "--track-seconds")) {
      trackSeconds = static_cast<uint32_t>(std::atoi(argv[i + 1]));
    }
    if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
  }
  std::string why;
  if (quarnel::FindEncoder(&why).empty()) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  const std::string image = dir + "/mp3_bench.bin", cue = dir + "/mp3_bench.cue";
  std::string error;
  if (!BuildDisc(records, trackSeconds).Write(image, cue, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::printf("%u XA records of %u sectors, 2 audio tracks of %u s, %u cores\n", records,
              SECTORS_PER_CHANNEL, trackSeconds, cores);
  bool same = true;
  for (const bool xa : {true, false}) {
    quarnel::ProcessOptions options;
    options.xaMp3 = xa;
    options.audioMp3 = !xa;
    options.encoders = 1;
    const Run one = Process(image, options);
    options.encoders = 0;
    const Run all = Process(image, options);
    same &= one.data == all.data;
    std::printf("%-22s one encoder %7.2f s   one per core %7.2f s   %.2fx   sections %s\n",
                xa ? "--xa-mp3 (XA records)" : "audio tracks (default)", one.seconds, all.seconds,
                one.seconds / all.seconds, one.data == all.data ? "identical" : "DIFFER");
  }
  std::filesystem::remove(image);
  std::filesystem::remove(cue);
  return same ? 0 : 1;
}
