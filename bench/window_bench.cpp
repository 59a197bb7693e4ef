// Measures "Analyse ISO" of a generated image of about 300 MB through the real dialog (on Qt's
// offscreen platform, the window shown, the button clicked) against the same run through the
// command line's reporter, both from the page cache: the cost of the window's pumping, progress bar
// and panels. A last run pumps the event queue on every call, as a window without a time gate
// would. Then a long information log: "ERROR" lines appended through the Window interface while a
// command runs, in the dialog and in the command line's reporter with its output to /dev/null.
//
//   quarnel_window_bench [--sectors N] [--lines N] [--keep PATH]
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QProgressBar>
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

#include "analysis/analyse_disc.h"
#include "bench_support.h"
#include "cli/cli_reporter.h"
#include "shell/main_window.h"
#include "synthetic/disc_builder.h"

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
class QuietOutput {
 public:
  QuietOutput() : savedOut_(::dup(STDOUT_FILENO)), savedErr_(::dup(STDERR_FILENO)) {
    std::fflush(nullptr);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  ~QuietOutput() {
    std::fflush(nullptr);
    ::dup2(savedOut_, STDOUT_FILENO);
    ::dup2(savedErr_, STDERR_FILENO);
    ::close(savedOut_);
    ::close(savedErr_);
  }
  QuietOutput(const QuietOutput&) = delete;
  QuietOutput& operator=(const QuietOutput&) = delete;

 private:
  int savedOut_;
  int savedErr_;
};

std::vector<std::string> ErrorLines(uint32_t count) {
  std::vector<std::string> lines;
  for (uint32_t i = 0; i < count; ++i) {
    lines.push_back("ERROR: block " + std::to_string(i) +
                    " of damaged.bin.Z does not decompress: its sectors are written as zeros.");
  }
  return lines;
}

void AppendAll(quarnel::MainWindow& window, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) window.AppendPanelLine(line.c_str(), quarnel::IDC_INFO_LOG);
}

void AppendAll(quarnel::Reporter& reporter, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) reporter.Log(line);
}

double CommandLineRun(const std::string& path) {
  quarnel::CliReporter reporter(/*jsonMode=*/false, /*replaceFiles=*/true);
  const QuietOutput quiet;
  const auto start = Clock::now();
  quarnel::AnalyseDisc({.ImagePath = path}, reporter);
  return Seconds(start);
}

double WindowRun(const std::string& path, int pumpInterval) {
  quarnel::MainWindow window;
  window.SetPumpInterval(pumpInterval);
  window.show();
  QCoreApplication::processEvents();
  window.SetControlText(quarnel::IDC_PATH, path);
  auto* button = static_cast<QPushButton*>(window.Control(quarnel::IDC_ANALYSE));
  const auto start = Clock::now();
  button->click();
  return Seconds(start);
}

double CommandLineLog(const std::vector<std::string>& lines) {
  quarnel::CliReporter reporter(/*jsonMode=*/false, /*replaceFiles=*/true);
  const QuietOutput quiet;
  const auto start = Clock::now();
  AppendAll(reporter, lines);
  std::fflush(nullptr);
  return Seconds(start);
}

// The lines come from within an analysis of `path`, as a command's lines do, and are timed until
// the panel shows the last of them.
double WindowLog(const std::string& path, const std::vector<std::string>& lines) {
  quarnel::MainWindow window;
  window.show();
  QCoreApplication::processEvents();
  window.SetControlText(quarnel::IDC_PATH, path);
  double seconds = 0;
  bool done = false;
  auto* bar = static_cast<QProgressBar*>(window.Control(quarnel::IDC_PROGRESS));
  QObject::connect(bar, &QProgressBar::valueChanged, bar, [&](int) {
    if (done) return;
    done = true;
    window.SetPumpInterval(15);
    const auto start = Clock::now();
    AppendAll(window, lines);
    window.SetPumpInterval(0);
    window.PumpMessages();
    seconds = Seconds(start);
    window.SetPumpInterval(15);
  });
  window.SetPumpInterval(0);  // the first progress position shows at once
  static_cast<QPushButton*>(window.Control(quarnel::IDC_ANALYSE))->click();
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t sectors = 130000;  // 306 MB
  uint32_t lineCount = 20000;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--sectors") && i + 1 < argc) {
      sectors = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (!std::strcmp(argv[i], "--lines") && i + 1 < argc) {
      lineCount = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (!std::strcmp(argv[i], "--keep") && i + 1 < argc) {
      path = argv[++i];
    } else {
      std::fprintf(stderr, "usage: quarnel_window_bench [--sectors N] [--lines N] [--keep PATH]\n");
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
    commandLine = std::min(commandLine, CommandLineRun(path));
    window = std::min(window, WindowRun(path, 15));
  }
  const double everyCall = WindowRun(path, 0);

  const std::vector<std::string> lines = ErrorLines(lineCount);
  double logCommandLine = 1e9, logWindow = 1e9;
  for (int run = 0; run < RUNS; ++run) {
    logCommandLine = std::min(logCommandLine, CommandLineLog(lines));
    logWindow = std::min(logWindow, WindowLog(path, lines));
  }

  const double mb = double(sectors) * quarnel::SECTOR_SIZE / 1e6;
  std::printf("image: %.0f MB (%u sectors), best of %d runs each\n", mb, sectors, RUNS);
  std::printf("Analyse ISO, command line:            %6.3f s\n", commandLine);
  std::printf("Analyse ISO, window (offscreen):      %6.3f s  (%.2f x the command line)\n", window,
              window / commandLine);
  std::printf("window pumping on every call (1 run): %6.3f s  (%.2f x the command line)\n",
              everyCall, everyCall / commandLine);
  std::printf("%u ERROR lines, command line to /dev/null: %6.3f s\n", lineCount, logCommandLine);
  std::printf("%u ERROR lines, window (offscreen):        %6.3f s  (%.2f x the command line)\n",
              lineCount, logWindow, logWindow / logCommandLine);
  std::error_code ec;
  std::filesystem::remove_all(config, ec);
  if (!keep) std::filesystem::remove(path);
  return 0;
}
