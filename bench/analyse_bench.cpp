// Measures "Analyse ISO" on a generated full-size CD image against a plain sequential read of the
// same file, both from the page cache, through the command line's reporter.
//
//   quarnel_bench [--sectors N] [--keep PATH]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/analyse_disc.h"
#include "bench_support.h"
#include "cli/cli_reporter.h"
#include "synthetic/disc_builder.h"

namespace {

using quarnel::bench::Clock;
using quarnel::bench::Seconds;

double PlainReadSeconds(const std::string& path) {
  std::vector<char> buffer(1 << 20);
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) std::exit(1);
  const auto start = Clock::now();
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
  const double s = Seconds(start);
  ::close(fd);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t sectors = 340000;  // about 800 MB
  std::string path;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--sectors") && i + 1 < argc) {
      sectors = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (!std::strcmp(argv[i], "--keep") && i + 1 < argc) {
      path = argv[++i];
    } else {
      std::fprintf(stderr, "usage: quarnel_bench [--sectors N] [--keep PATH]\n");
      return 2;
    }
  }
  const bool keep = !path.empty();
  if (!keep) path = (std::filesystem::temp_directory_path() / "quarnel-bench.bin").string();
  if (!quarnel::bench::PrepareAnalysisImage(path, sectors)) return 1;
  const double mb = double(sectors) * quarnel::SECTOR_SIZE / 1e6;
  PlainReadSeconds(path);  // into the page cache

  double bestRead = 1e9, bestScan = 1e9;
  uint32_t media = 0;
  for (int run = 0; run < 3; ++run) {
    bestRead = std::min(bestRead, PlainReadSeconds(path));
    quarnel::CliReporter reporter(/*jsonMode=*/true, /*replaceFiles=*/false);
    const auto start = Clock::now();
    const quarnel::AnalysisResult result = quarnel::AnalyseDisc({.ImagePath = path}, reporter);
    bestScan = std::min(bestScan, Seconds(start));
    media = result.Opened() ? result.analysis->MediaCount() : 0;
  }
  std::printf("image: %.0f MB, %u media found\n", mb, media);
  std::printf("plain read (1 MiB buffer): %8.1f MB/s\n", mb / bestRead);
  std::printf("Analyse ISO:               %8.1f MB/s  (%.0f%% of the plain read)\n", mb / bestScan,
              100.0 * bestRead / bestScan);
  if (!keep) std::filesystem::remove(path);
  return 0;
}
