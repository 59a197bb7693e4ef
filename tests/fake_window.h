// A window that records what the core did to it.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/panel.h"
#include "common/window.h"

namespace quarnel::testing {

class FakeWindow : public Window {
 public:
  std::string ControlText(int id) override { return texts[id]; }
  void SetControlText(int id, const std::string& text) override { texts[id] = text; }
  bool IsChecked(int id) override { return checks[id]; }
  void SetChecked(int id, bool checked) override { checks[id] = checked; }
  int ComboSelection(int) override { return combo; }
  void EnableControl(int id, bool enabled) override {
    this->enabled[id] = enabled;
    enableCalls.emplace_back(id, enabled);
  }
  void AppendPanelLine(const char* text, int panelId) override {
    AppendPanelText(texts[panelId], text);
    if (panelId == IDC_INFO_LOG) log.emplace_back(text);
    if (panelId == IDC_INFO_LOG && onLog) onLog(log.back());
  }
  void SetProgress(unsigned position) override { progress.push_back(position); }
  void PumpMessages() override {
    ++pumps;
    if (onPump) onPump();
  }
  void ShowWarning(const char* text) override { warnings.emplace_back(text); }
  bool ConfirmReplace(const std::string& path, const std::string& detail) override {
    replaceQuestions.push_back(path);
    replaceDetails.push_back(detail);
    return allowReplace;
  }

  bool IsEnabled(int id) const {
    auto it = enabled.find(id);
    return it == enabled.end() || it->second;
  }

  std::map<int, std::string> texts;
  std::map<int, bool> checks;
  std::map<int, bool> enabled;
  std::vector<std::pair<int, bool>> enableCalls;
  std::vector<std::string> log;
  std::vector<unsigned> progress;
  std::vector<std::string> warnings;
  std::vector<std::string> replaceQuestions;
  std::vector<std::string> replaceDetails;
  std::function<void()> onPump;
  std::function<void(const std::string&)> onLog;  // after each log line
  long pumps = 0;
  int combo = COMBO_NORMAL_COMPRESSION;
  bool allowReplace = false;
};

}  // namespace quarnel::testing
