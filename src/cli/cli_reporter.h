// How the command line reports: the log's lines are printed on stdout as they come, except its
// "ERROR" lines, which go to stderr when the run ends, beside its last line; the progress bar is
// one line on a terminal's stderr; Ctrl-C (SIGTERM, SIGHUP) or a closed output is the stop token.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/reporter.h"

namespace quarnel {

// --quiet, for every reporter made after: no progress line, no warning and, of the log, only its
// "ERROR" lines (the whole log is still kept for a JSON document).
void SetQuietMode(bool quiet);
bool QuietMode();

class CliReporter : public Reporter {
 public:
  // In JSON mode every log line goes to stderr (stdout carries the document) and is kept for it.
  // `replaceFiles` answers ConfirmReplace (the --force option).
  CliReporter(bool jsonMode, bool replaceFiles);
  ~CliReporter() override;
  CliReporter(const CliReporter&) = delete;
  CliReporter& operator=(const CliReporter&) = delete;

  void Log(const std::string& line) override;
  void Progress(unsigned percent) override;
  bool StopRequested() override;
  void Warning(const std::string& text) override;
  bool ConfirmReplace(const std::string& path, const std::string& detail) override;

  // Every line logged, in JSON mode only.
  const std::vector<std::string>& LogLines() const { return logLines_; }

  // The run's last line: FinalLine of its outcome, or "ERROR: why." of a failure found by the
  // command. The "ERROR" lines of the log come just before it, on stderr; those whose reason
  // `line` repeats (the core's own line of the failure) are left out, so that each is said once.
  void EndRun(const std::string& line);
  // Leaves out the core's "ERROR" line for `why` without saying more: for a refusal the command
  // words itself (an existing file kept without --force is not an error).
  void DropError(const std::string& why);

  // Removes the progress bar from the terminal; call before printing anything else.
  void EraseProgress();

  // The bytes the coming run reads, so that the progress line shows MB/s and the time left.
  // A position lower than the last one starts a new phase: its rate is measured afresh.
  void SetWorkBytes(uint64_t total);

 private:
  void DrawProgress();
  void Print(const std::string& line);
  void FlushHeldErrors();

  const bool jsonMode_;
  const bool replaceFiles_;
  std::vector<std::string> logLines_;
  // The run's "ERROR" lines, held back until its end shows which of them its last line repeats.
  std::vector<std::string> heldErrors_;

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
