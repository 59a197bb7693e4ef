// Measures "Analyse ISO" of a generated image of about 300 MB through the real dialog (on Qt's
// offscreen platform, the window shown, the button clicked) against the same run through the
// command line's window, both from the page cache: the cost of the window's pumping, progress bar
// and panels. A last run pumps the event queue on every call, as a window without a time gate
// would.
//
//   quarnel_window_bench [--sectors N] [--keep PATH]
#include <QApplication>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "analysis/analyse_iso.h"
#include "bench_support.h"
#include "cli/cli_window.h"
#include "common/app_state.h"
#include "synthetic/disc_builder.h"
#include "shell/main_window.h"

namespace {

using quarnel::bench::Clock;
using quarnel::bench::Seconds;

void ReadThrough(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
  }
}

double CommandLineRun(const std::string& path) {
  auto state = quarnel::MakeAppState();
  quarnel::CliWindow window(*state, /*jsonMode=*/true, /*replaceFiles=*/false);
  window.SetControlText(quarnel::IDC_PATH, path);
  const auto start = Clock::now();
  quarnel::AnalyseIso(*state, window);
  return Seconds(start);
}

double WindowRun(const std::string& path, int pumpInterval) {
  auto state = quarnel::MakeAppState();
  quarnel::MainWindow window(*state);
  window.SetPumpInterval(pumpInterval);
  window.show();
  QCoreApplication::processEvents();
  window.SetControlText(quarnel::IDC_PATH, path);
  auto* analyse = static_cast<QPushButton*>(window.Control(quarnel::IDC_ANALYSE));
  const auto start = Clock::now();
  analyse->click();
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t sectors = 130000;  // 306 MB
  std::string path;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--sectors") && i + 1 < argc) {
      sectors = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (!std::strcmp(argv[i], "--keep") && i + 1 < argc) {
      path = argv[++i];
    } else {
      std::fprintf(stderr, "usage: quarnel_window_bench [--sectors N] [--keep PATH]\n");
      return 2;
    }
  }
  const bool keep = !path.empty();
  if (!keep) path = (std::filesystem::temp_directory_path() / "quarnel-window-bench.bin").string();
  if (!quarnel::bench::PrepareAnalysisImage(path, sectors)) return 1;

  // The settings file of the window goes to a folder of the benchmark's own.
  const std::filesystem::path config =
      std::filesystem::temp_directory_path() / "quarnel-bench-config";
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);

  ReadThrough(path);  // into the page cache
  double commandLine = 1e9, window = 1e9;
  for (int run = 0; run < 3; ++run) {
    commandLine = std::min(commandLine, CommandLineRun(path));
    window = std::min(window, WindowRun(path, 15));
  }
  const double everyCall = WindowRun(path, 0);

  const double mb = double(sectors) * quarnel::SECTOR_SIZE / 1e6;
  std::printf("image: %.0f MB (%u sectors), best of 3 runs each\n", mb, sectors);
  std::printf("Analyse ISO, command line:            %6.3f s\n", commandLine);
  std::printf("Analyse ISO, window (offscreen):      %6.3f s  (%.2f x the command line)\n", window,
              window / commandLine);
  std::printf("window pumping on every call (1 run): %6.3f s  (%.2f x the command line)\n",
              everyCall, everyCall / commandLine);
  std::error_code ec;
  std::filesystem::remove_all(config, ec);
  if (!keep) std::filesystem::remove(path);
  return 0;
}
