// The window of the command line: controls are plain values, the information panel prints its
// lines, the progress bar is one line on a terminal's stderr and Ctrl-C is the Stop button.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/app_state.h"
#include "common/window.h"

namespace quarnel {

// Makes Ctrl-C act as Stop: the first press asks the running operation to stop at its next
// PumpMessages, the second ends the process at once with status 130.
void InstallInterruptHandler();

// True once Ctrl-C has been pressed.
bool InterruptRequested();

// --quiet, for every window made after: no progress line and no log on the terminal, only errors
// (the log is still kept for a JSON document).
void SetQuietMode(bool quiet);
bool QuietMode();

class CliWindow : public Window {
 public:
  // In JSON mode the log lines go to stderr (stdout carries the document) and are kept for it.
  // `replaceFiles` answers ConfirmReplace (the --force option).
  CliWindow(AppState& state, bool jsonMode, bool replaceFiles);
  ~CliWindow() override;
  CliWindow(const CliWindow&) = delete;
  CliWindow& operator=(const CliWindow&) = delete;

  std::string ControlText(int id) override;
  void SetControlText(int id, const std::string& text) override;
  bool IsChecked(int id) override;
  void SetChecked(int id, bool checked) override;
  int ComboSelection(int id) override;
  void EnableControl(int id, bool enabled) override;
  void AppendPanelLine(const char* text, int panelId) override;
  void SetProgress(unsigned position) override;
  void PumpMessages() override;
  void ShowWarning(const char* text) override;
  bool ConfirmReplace(const std::string& path, const std::string& detail) override;

  void SetComboSelection(int selection) { comboSelection_ = selection; }
  bool IsEnabled(int id) const;

  // Every line appended to the information panel, in JSON mode only.
  const std::vector<std::string>& LogLines() const { return logLines_; }

  // Removes the progress bar from the terminal; call before printing anything else.
  void EraseProgress();

  // The bytes the coming run reads, so that the progress line shows MB/s and the time left.
  // A position lower than the last one starts a new phase: its rate is measured afresh.
  void SetWorkBytes(uint64_t total);

 private:
  void DrawProgress();

  AppState& state_;
  const bool jsonMode_;
  const bool replaceFiles_;
  std::map<int, std::string> texts_;
  std::map<int, bool> checked_;
  std::map<int, bool> enabled_;
  int comboSelection_ = COMBO_NORMAL_COMPRESSION;
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
