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

// The first Ctrl-C, SIGTERM or SIGHUP asks for a stop at the next block; a second Ctrl-C ends the
// process at once, leaving no temporary output behind.
void OnInterrupt(int signal) {
  if (interruptCount > 0 && signal == SIGINT) {
    UnlinkTemporaryFiles();
    // KillRunningEncoder(): the encoder's process group goes with us.
    static const char message[] = "\nquarnel: interrupted\n";
    const ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
    _exit(130);
  }
  interruptCount = 1;
}

constexpr int BAR_WIDTH = 40;
// Visible characters of the bar line: "[", the bar, "] 100%".
constexpr int BAR_LINE_LENGTH = BAR_WIDTH + 7;
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);

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

CliWindow::CliWindow(AppState& state, bool jsonMode, bool replaceFiles)
    : state_(state),
      jsonMode_(jsonMode),
      replaceFiles_(replaceFiles),
      showProgress_(isatty(STDERR_FILENO) == 1) {
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
  EraseProgress();
  std::FILE* out = jsonMode_ ? stderr : stdout;
  std::fputs(text, out);
  std::fputc('\n', out);
  // Lines show as they come, also through a pipe; there are only a few per analysis.
  std::fflush(out);
  if (jsonMode_) logLines_.emplace_back(text);
}

void CliWindow::SetProgress(unsigned position) {
  if (!showProgress_ || position == progress_) return;
  progress_ = position;
  const auto now = std::chrono::steady_clock::now();
  if (progressShown_ && now - lastDraw_ < REDRAW_INTERVAL) return;
  lastDraw_ = now;
  DrawProgress();
}

void CliWindow::DrawProgress() {
  const unsigned percent = progress_ > 100 ? 100 : progress_;
  const int filled = static_cast<int>(percent * BAR_WIDTH / 100);
  char line[BAR_LINE_LENGTH + 2];  // with the leading CR and snprintf's zero
  int n = 0;
  line[n++] = '\r';
  line[n++] = '[';
  for (int i = 0; i < BAR_WIDTH; ++i) line[n++] = i < filled ? '#' : '.';
  n += std::snprintf(line + n, sizeof line - n, "]%4u%%", percent);
  // A log line on a terminal's stdout must be out before the bar is drawn beside it.
  std::fflush(stdout);
  std::fwrite(line, 1, n, stderr);
  std::fflush(stderr);
  progressShown_ = true;
}

void CliWindow::EraseProgress() {
  if (!progressShown_) return;
  char line[BAR_LINE_LENGTH + 2];  // CR, blanks, CR
  int n = 0;
  line[n++] = '\r';
  while (n <= BAR_LINE_LENGTH) line[n++] = ' ';
  line[n++] = '\r';
  std::fwrite(line, 1, n, stderr);
  std::fflush(stderr);
  progressShown_ = false;
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
