#include "cli/cli_window.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>

#include "common/panel.h"
#include "common/temporary_files.h"

namespace quarnel {

namespace {

volatile std::sig_atomic_t interruptCount = 0;
bool quietMode = false;

// The first Ctrl-C, SIGTERM or SIGHUP asks for a stop at the next block; a second Ctrl-C ends the
// process at once, leaving no temporary output behind.
void OnInterrupt(int signal) {
  if (interruptCount > 0 && signal == SIGINT) {
    UnlinkTemporaryFiles();
    // Also end the running encoder here.
    static const char message[] = "\nquarnel: interrupted\n";
    const ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
    _exit(130);
  }
  interruptCount = 1;
}

constexpr int BAR_WIDTH = 30;
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);
// Before this, a rate would be a guess from a handful of sectors.
constexpr auto RATE_DELAY = std::chrono::milliseconds(500);

// "1:05" or "2:03:07".
std::string DurationText(uint64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%u:%02u:%02u", static_cast<unsigned>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(seconds / 60),
                  static_cast<unsigned>(seconds % 60));
  }
  return text;
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Reads of the image are restarted rather than failing with EINTR, so that a stop is a stop and
  // never a read error.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

bool InterruptRequested() {
  return interruptCount != 0;
}

void SetQuietMode(bool quiet) {
  quietMode = quiet;
}

bool QuietMode() {
  return quietMode;
}

CliWindow::CliWindow(AppState& state, bool jsonMode, bool replaceFiles)
    : state_(state),
      jsonMode_(jsonMode),
      replaceFiles_(replaceFiles),
      quiet_(quietMode),
      showProgress_(!quietMode && isatty(STDERR_FILENO) == 1),
      phaseStart_(std::chrono::steady_clock::now()) {
  // As in the window: "Process ISO" waits for a successful analysis.
  enabled_[IDC_PROCESS] = false;
}

CliWindow::~CliWindow() {
  EraseProgress();
}

std::string CliWindow::ControlText(int id) {
  const auto it = texts_.find(id);
  return it == texts_.end() ? std::string() : it->second;
}

void CliWindow::SetControlText(int id, const std::string& text) {
  texts_[id] = text;
}

bool CliWindow::IsChecked(int id) {
  const auto it = checked_.find(id);
  return it != checked_.end() && it->second;
}

void CliWindow::SetChecked(int id, bool checked) {
  checked_[id] = checked;
}

int CliWindow::ComboSelection(int id) {
  return id == IDC_COMPRESSION ? comboSelection_ : -1;
}

void CliWindow::EnableControl(int id, bool enabled) {
  enabled_[id] = enabled;
}

bool CliWindow::IsEnabled(int id) const {
  const auto it = enabled_.find(id);
  return it == enabled_.end() || it->second;
}

void CliWindow::AppendPanelLine(const char* text, int panelId) {
  AppendPanelText(texts_[panelId], text);
  if (panelId != IDC_INFO_LOG || text[0] == '\0') return;
  if (jsonMode_) logLines_.emplace_back(text);
  if (quiet_) return;
  EraseProgress();
  std::FILE* out = jsonMode_ ? stderr : stdout;
  std::fputs(text, out);
  std::fputc('\n', out);
  // Lines show as they come, also through a pipe; there are only a few per analysis.
  std::fflush(out);
}

void CliWindow::SetWorkBytes(uint64_t total) {
  workBytes_ = total;
  phaseStart_ = std::chrono::steady_clock::now();
  progress_ = ~0u;
}

void CliWindow::SetProgress(unsigned position) {
  if (!showProgress_ || position == progress_) return;
  const auto now = std::chrono::steady_clock::now();
  if (progress_ != ~0u && position < progress_) phaseStart_ = now;
  progress_ = position;
  if (progressShown_ && now - lastDraw_ < REDRAW_INTERVAL) return;
  lastDraw_ = now;
  DrawProgress();
}

void CliWindow::DrawProgress() {
  const unsigned percent = progress_ > 100 ? 100 : progress_;
  const int filled = static_cast<int>(percent * BAR_WIDTH / 100);
  std::string line = "[";
  line.append(filled, '#');
  line.append(BAR_WIDTH - filled, '.');
  char text[96];
  std::snprintf(text, sizeof text, "]%4u%%", percent);
  line += text;

  // Positions are percents of the work, so the bytes done are known to 1%: enough for a rate.
  const auto elapsed = std::chrono::steady_clock::now() - phaseStart_;
  const double seconds = std::chrono::duration<double>(elapsed).count();
  if (workBytes_ != 0 && elapsed >= RATE_DELAY && percent > 0) {
    const double done = static_cast<double>(workBytes_) * percent / 100;
    const double rate = done / seconds;
    std::snprintf(text, sizeof text, "  %.1f MB/s", rate / 1e6);
    line += text;
    if (percent < 100) {
      const double left = (static_cast<double>(workBytes_) - done) / rate;
      line += "  " + DurationText(static_cast<uint64_t>(left + 0.5)) + " left";
    }
  }
  const int length = static_cast<int>(line.size());
  // A shorter line leaves the end of the last one behind unless it is blanked.
  if (length < shownLength_) line.append(shownLength_ - length, ' ');
  line.insert(line.begin(), '\r');
  // A log line on a terminal's stdout must be out before the bar is drawn beside it.
  std::fflush(stdout);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  shownLength_ = std::max(length, shownLength_);
  progressShown_ = true;
}

void CliWindow::EraseProgress() {
  if (!progressShown_) return;
  std::string line = "\r";
  line.append(shownLength_, ' ');
  line += '\r';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  progressShown_ = false;
  shownLength_ = 0;
}

// Called once per sector of a scan: one load and, only after Ctrl-C, one store.
void CliWindow::PumpMessages() {
  if (interruptCount != 0) state_.StopRequested = 1;
}

// The warning box does not stop the command line: its text is one line on stderr.
void CliWindow::ShowWarning(const char* text) {
  EraseProgress();
  std::fflush(stdout);
  std::string line = text;
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::fprintf(stderr, "quarnel: warning: %s\n", line.c_str());
}

// The command that asked reports a refusal: it knows what it leaves undone. With --force, what the
// replacement costs is said before it happens.
bool CliWindow::ConfirmReplace(const std::string&, const std::string& detail) {
  if (replaceFiles_ && !detail.empty()) {
    const std::string line = "Warning: " + detail;
    AppendPanelLine(line.c_str(), IDC_INFO_LOG);
  }
  return replaceFiles_;
}

}  // namespace quarnel
