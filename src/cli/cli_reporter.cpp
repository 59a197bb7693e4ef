#include "cli/cli_reporter.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>

#include "cli/console.h"

namespace quarnel {

using cli::Emit;

namespace {

bool quietMode = false;

constexpr int BAR_WIDTH = 30;
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);
// Before this, a rate would be a guess from a handful of sectors.
constexpr auto RATE_DELAY = std::chrono::milliseconds(500);

bool IsErrorLine(std::string_view line) {
  return line.starts_with("ERROR");
}

// An "ERROR" line's reason: without "ERROR: " and its closing full stop.
std::string_view Reason(std::string_view line) {
  if (line.starts_with("ERROR: ")) line.remove_prefix(7);
  if (line.ends_with('.')) line.remove_suffix(1);
  return line;
}

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

void SetQuietMode(bool quiet) {
  quietMode = quiet;
}

bool QuietMode() {
  return quietMode;
}

CliReporter::CliReporter(bool jsonMode, bool replaceFiles)
    : jsonMode_(jsonMode),
      replaceFiles_(replaceFiles),
      quiet_(quietMode),
      showProgress_(!quietMode && isatty(STDERR_FILENO) == 1),
      phaseStart_(std::chrono::steady_clock::now()) {}

CliReporter::~CliReporter() {
  FlushHeldErrors();
  EraseProgress();
}

bool CliReporter::StopRequested() {
  return cli::StopAsked();
}

void CliReporter::Log(const std::string& line) {
  if (line.empty()) return;
  if (jsonMode_) logLines_.push_back(line);
  if (IsErrorLine(line)) {
    heldErrors_.push_back(line);
  } else if (!quiet_) {
    Print(line);
  }
}

void CliReporter::EndRun(const std::string& line) {
  if (line.empty()) return;
  if (jsonMode_) logLines_.push_back(line);
  if (IsErrorLine(line)) DropError(std::string(Reason(line)));
  FlushHeldErrors();
  if (IsErrorLine(line) || !quiet_) Print(line);
}

void CliReporter::DropError(const std::string& why) {
  const auto said = [&](const std::string& held) {
    const std::string_view reason = Reason(held);
    return !reason.empty() && why.find(reason) != std::string::npos;
  };
  // The document's log holds what was shown.
  for (const std::string& held : heldErrors_) {
    if (!said(held)) continue;
    const auto line = std::find(logLines_.rbegin(), logLines_.rend(), held);
    if (line != logLines_.rend()) logLines_.erase(std::next(line).base());
  }
  std::erase_if(heldErrors_, said);
}

void CliReporter::FlushHeldErrors() {
  for (const std::string& line : heldErrors_) Print(line);
  heldErrors_.clear();
}

// "ERROR" lines go where a user looks for them, and are never quiet.
void CliReporter::Print(const std::string& line) {
  EraseProgress();
  Emit(jsonMode_ || IsErrorLine(line) ? stderr : stdout, line + "\n");
}

void CliReporter::SetWorkBytes(uint64_t total) {
  workBytes_ = total;
  phaseStart_ = std::chrono::steady_clock::now();
  progress_ = ~0u;
}

void CliReporter::Progress(unsigned position) {
  if (!showProgress_ || position == progress_) return;
  const auto now = std::chrono::steady_clock::now();
  if (progress_ != ~0u && position < progress_) phaseStart_ = now;
  progress_ = position;
  if (progressShown_ && now - lastDraw_ < REDRAW_INTERVAL) return;
  lastDraw_ = now;
  DrawProgress();
}

void CliReporter::DrawProgress() {
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
  Emit(stderr, line);
  shownLength_ = std::max(length, shownLength_);
  progressShown_ = true;
}

void CliReporter::EraseProgress() {
  if (!progressShown_) return;
  std::string line = "\r";
  line.append(shownLength_, ' ');
  line += '\r';
  Emit(stderr, line);
  progressShown_ = false;
  shownLength_ = 0;
}

// The warning box does not stop the command line: its text is one line on stderr, unless quiet.
void CliReporter::Warning(const std::string& text) {
  if (quiet_) return;
  EraseProgress();
  std::string line = text;
  std::replace(line.begin(), line.end(), '\n', ' ');
  Emit(stderr, "quarnel: warning: " + line + "\n");
}

// The command that asked reports a refusal: it knows what it leaves undone. With --force, what the
// replacement costs is said before it happens.
bool CliReporter::ConfirmReplace(const std::string&, const std::string& detail) {
  if (replaceFiles_ && !detail.empty()) Log("Warning: " + detail);
  return replaceFiles_;
}

}  // namespace quarnel
