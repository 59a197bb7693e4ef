// How the command line reports: the log's lines are printed, the progress bar is one line on a
// terminal's stderr, and Ctrl-C (SIGTERM, SIGHUP) is the stop token.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/interrupts.h"
#include "common/reporter.h"

namespace quarnel {

// --quiet, for every window made after: no progress line and no log on the terminal, only errors
// (the log is still kept for a JSON document).
void SetQuietMode(bool quiet);
bool QuietMode();

class CliReporter : public Reporter {
 public:
  // In JSON mode the log lines go to stderr (stdout carries the document) and are kept for it.
  // `replaceFiles` answers ConfirmReplace (the --force option).
  CliReporter(bool jsonMode, bool replaceFiles);
  ~CliReporter() override;
  CliReporter(const CliReporter&) = delete;
  CliReporter& operator=(const CliReporter&) = delete;

  void Log(const std::string& line) override;
  void Progress(unsigned percent) override;
  bool StopRequested() override { return InterruptRequested(); }
  void Warning(const std::string& text) override;
  bool ConfirmReplace(const std::string& path, const std::string& detail) override;

  // Every line logged, in JSON mode only.
  const std::vector<std::string>& LogLines() const { return logLines_; }

  // Removes the progress bar from the terminal; call before printing anything else.
  void EraseProgress();

  // The bytes the coming run reads, so that the progress line shows MB/s and the time left.
  // A position lower than the last one starts a new phase: its rate is measured afresh.
  void SetWorkBytes(uint64_t total);

 private:
  void DrawProgress();

  const bool jsonMode_;
  const bool replaceFiles_;
  std::vector<std::string> logLines_;

  const bool quiet_;
  const bool showProgress_;  // stderr is a terminal and not --quiet
  bool progressShown_ = false;
  int shownLength_ = 0;      // visible characters of the line on the terminal
  unsigned progress_ = ~0u;  // no position yet: the first one is drawn
  std::chrono::steady_clock::time_point lastDraw_;
  uint64_t workBytes_ = 0;
  std::chrono::steady_clock::time_point phaseStart_;
};

}  // namespace quarnel
