// Measures "Analyse ISO" of a generated image of about 300 MB through the real dialog (on Qt's
// offscreen platform, the window shown, the button clicked) against the same run through the
// command line's window, both from the page cache: the cost of the window's pumping, progress bar
// and panels. A last run pumps the event queue on every call, as a window without a time gate
// would. Then "Uncompress ISO" of a compressed image whose every block is damaged, one "ERROR"
// line per block, through both windows: the cost of a long information log.
//
//   quarnel_window_bench [--sectors N] [--damaged N] [--keep PATH]
#include <fcntl.h>
#include <unistd.h>

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
#include "packing/uncompress_iso.h"
#include "synthetic/disc_builder.h"
#include "shell/main_window.h"

namespace {

constexpr int RUNS = 5;  // the best of them counts: the machine may be busy with other work

using quarnel::bench::Clock;
using quarnel::bench::Seconds;

void ReadThrough(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
  }
}

// The command line's lines go where a user's redirection would send them.
class QuietStderr {
 public:
  QuietStderr() : saved_(::dup(STDERR_FILENO)) {
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  ~QuietStderr() {
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int saved_;
};

double CommandLineRun(const std::string& path, int command) {
  auto state = quarnel::MakeAppState();
  quarnel::CliWindow window(*state, /*jsonMode=*/true, /*replaceFiles=*/true);
  window.SetControlText(quarnel::IDC_PATH, path);
  const QuietStderr quiet;
  const auto start = Clock::now();
  if (command == quarnel::IDC_ANALYSE) {
    quarnel::AnalyseIso(*state, window);
  } else {
    quarnel::UncompressIso(*state, window);
  }
  return Seconds(start);
}

double WindowRun(const std::string& path, int command, int pumpInterval) {
  auto state = quarnel::MakeAppState();
  quarnel::MainWindow window(*state);
  window.SetPumpInterval(pumpInterval);
  window.show();
  QCoreApplication::processEvents();
  window.SetControlText(quarnel::IDC_PATH, path);
  auto* button = static_cast<QPushButton*>(window.Control(command));
  const auto start = Clock::now();
  button->click();
  return Seconds(start);
}

// A ".Z" image of `blocks` one-sector blocks that are not zlib streams; its restored image is
// `data` without the extension.
void WriteDamagedImage(const std::string& data, uint32_t blocks) {
  constexpr uint16_t STORED = 64;
  std::ofstream(data, std::ios::binary) << std::string(size_t{blocks} * STORED, '\xff');
  std::string table;
  for (uint32_t i = 0; i < blocks; ++i) {
    const uint32_t offset = i * STORED;
    for (int b = 0; b < 4; ++b) table += static_cast<char>(offset >> (8 * b));
    table += static_cast<char>(STORED & 0xff);
    table += static_cast<char>(STORED >> 8);
  }
  std::ofstream(data + ".table", std::ios::binary) << table;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t sectors = 130000;  // 306 MB
  uint32_t damaged = 20000;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--sectors") && i + 1 < argc) {
      sectors = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (!std::strcmp(argv[i], "--damaged") && i + 1 < argc) {
      damaged = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (!std::strcmp(argv[i], "--keep") && i + 1 < argc) {
      path = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: quarnel_window_bench [--sectors N] [--damaged N] [--keep PATH]\n");
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
  for (int run = 0; run < RUNS; ++run) {
    commandLine = std::min(commandLine, CommandLineRun(path, quarnel::IDC_ANALYSE));
    window = std::min(window, WindowRun(path, quarnel::IDC_ANALYSE, 15));
  }
  const double everyCall = WindowRun(path, quarnel::IDC_ANALYSE, 0);

  const std::filesystem::path damagedDir =
      std::filesystem::temp_directory_path() / "quarnel-window-bench-damaged";
  std::filesystem::create_directories(damagedDir);
  const std::string damagedData = (damagedDir / "damaged.bin.Z").string();
  const std::filesystem::path restored = damagedDir / "damaged.bin";
  WriteDamagedImage(damagedData, damaged);
  double logCommandLine = 1e9, logWindow = 1e9;
  for (int run = 0; run < RUNS; ++run) {
    std::filesystem::remove(restored);
    logCommandLine = std::min(logCommandLine, CommandLineRun(damagedData, quarnel::IDC_UNCOMPRESS));
    std::filesystem::remove(restored);
    logWindow = std::min(logWindow, WindowRun(damagedData, quarnel::IDC_UNCOMPRESS, 15));
  }

  const double mb = double(sectors) * quarnel::SECTOR_SIZE / 1e6;
  std::printf("image: %.0f MB (%u sectors), best of %d runs each\n", mb, sectors, RUNS);
  std::printf("Analyse ISO, command line:            %6.3f s\n", commandLine);
  std::printf("Analyse ISO, window (offscreen):      %6.3f s  (%.2f x the command line)\n", window,
              window / commandLine);
  std::printf("window pumping on every call (1 run): %6.3f s  (%.2f x the command line)\n",
              everyCall, everyCall / commandLine);
  std::printf("Uncompress ISO, %u damaged blocks (one ERROR line each), best of %d runs each\n",
              damaged, RUNS);
  std::printf("Uncompress ISO, command line:         %6.3f s\n", logCommandLine);
  std::printf("Uncompress ISO, window (offscreen):   %6.3f s  (%.2f x the command line)\n",
              logWindow, logWindow / logCommandLine);
  std::error_code ec;
  std::filesystem::remove_all(config, ec);
  std::filesystem::remove_all(damagedDir, ec);
  if (!keep) std::filesystem::remove(path);
  return 0;
}
