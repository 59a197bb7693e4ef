// A reporter that records what the core told it, and can ask for a stop at a chosen moment.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/reporter.h"

namespace quarnel::testing {

class TestReporter : public Reporter {
 public:
  void Log(const std::string& line) override {
    if (line.empty()) return;
    log.push_back(line);
    if (onLog) onLog(line);
  }
  void Progress(unsigned percent) override { progress.push_back(percent); }
  void Pump() override {
    ++pumps;
    if (onPump) onPump();
  }
  bool StopRequested() override { return stop.Requested(); }
  void Warning(const std::string& text) override { warnings.push_back(text); }
  bool ConfirmReplace(const std::string& path, const std::string& detail) override {
    replaceQuestions.push_back(path);
    replaceDetails.push_back(detail);
    return allowReplace;
  }

  // The lines that begin with `prefix`.
  size_t Count(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& line : log) n += line.rfind(prefix, 0) == 0;
    return n;
  }

  StopToken stop;
  std::vector<std::string> log;
  std::vector<unsigned> progress;
  std::vector<std::string> warnings;
  std::vector<std::string> replaceQuestions;
  std::vector<std::string> replaceDetails;
  std::function<void()> onPump;
  std::function<void(const std::string&)> onLog;  // after each log line
  long pumps = 0;
  bool allowReplace = false;
};

}  // namespace quarnel::testing
