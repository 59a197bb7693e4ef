// How the core reports to whoever runs it: one small interface that the window, the command line
// and the tests implement. The core knows no control, button or terminal; it logs lines, moves a
// progress position, lets the front end handle its input, tests the stop token, shows the one
// warning box and asks before it replaces a file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quarnel {

constexpr size_t LOG_LINE_SIZE = 4096;

// Set by a front end (Stop, Quit, Ctrl-C) and cleared only by it, before it starts a run; every
// phase of the core tests it and none clears it, so a stop asked in any phase is seen.
class StopToken {
 public:
  void Request() { requested_.store(true, std::memory_order_relaxed); }
  void Clear() { requested_.store(false, std::memory_order_relaxed); }
  bool Requested() const { return requested_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> requested_{false};
};

class Reporter {
 public:
  virtual ~Reporter() = default;

  // One line of the log ("Informations:" in the window). An empty line adds nothing.
  virtual void Log(const std::string& line) = 0;
  // The running phase's progress, 0 to 100, computed with unsigned integer division.
  virtual void Progress(unsigned percent) = 0;
  // Handles whatever input is waiting (Stop among it) and returns at once.
  virtual void Pump() {}
  // The stop token of the run.
  virtual bool StopRequested() = 0;
  // The "Warning." box; returns when the user has closed it.
  virtual void Warning(const std::string& text) = 0;
  // Asked before an existing file is replaced; true lets the command go on. `detail` says what
  // replacing it costs (sizes and what is lost), empty when nothing is.
  virtual bool ConfirmReplace(const std::string& path, const std::string& detail) = 0;

  // Formats one line printf-style into LogLine and logs it.
  void LogF(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  char LogLine[LOG_LINE_SIZE] = {};
};

// The shape of every long loop: after each unit of work the progress, a pump and the stop test,
// in one place per loop.
class LongOperation {
 public:
  explicit LongOperation(Reporter& reporter) : reporter_(reporter) {}

  // `done` of `total` units are finished (total 0 counts as finished). True when a stop was asked.
  bool Step(uint64_t done, uint64_t total) {
    reporter_.Progress(total == 0 ? 100u : static_cast<unsigned>(done * 100 / total));
    reporter_.Pump();
    return reporter_.StopRequested();
  }

 private:
  Reporter& reporter_;
};

}  // namespace quarnel
