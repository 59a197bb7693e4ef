// The window as the long operations see it. The dialog, the command line and the tests' fake each
// implement it; the core never reports any other way.
#pragma once

#include <string>

namespace quarnel {

// Control ids of the main window.
enum ControlId : int {
  IDC_QUIT = 1,
  IDC_CANCEL = 2,
  IDC_PATH = 1000,
  IDC_SELECT_ISO = 1001,
  IDC_PROCESS = 1002,
  IDC_UNCOMPRESS = 1003,
  IDC_COMPRESSION = 1004,
  IDC_PROGRESS = 1005,
  IDC_STOP = 1006,
  IDC_ANALYSE = 1007,
  IDC_MEDIA_LIST = 1008,
  IDC_RIP_FIRST = 1013,  // "Rip:" box of row r is IDC_RIP_FIRST + r
  IDC_FF8 = 1025,
  IDC_SMALLEST_SOURCE = 1026,
  IDC_UP = 1027,
  IDC_DOWN = 1028,
  IDC_INFO_LOG = 1029,
  IDC_SELECT_ALL = 1030,
  IDC_SELECT_VIDEO = 1031,
  IDC_SELECT_XA = 1032,
  IDC_SELECT_NONE = 1033,
  IDC_TEN_PERCENT_FIRST = 1034,  // "10%" box of row r is IDC_TEN_PERCENT_FIRST + r
  IDC_ENHANCED_MOVIE = 1046,
  IDC_RIP_AUDIO_MP3 = 1047,
  IDC_RIP_XA_MP3 = 1048,
  IDC_ENHANCED_XA = 1049,
};

constexpr int MEDIA_PAGE_ROWS = 12;

// Combo box entries of IDC_COMPRESSION (the box sorts them).
constexpr int COMBO_MAXIMUM_COMPRESSION = 0;
constexpr int COMBO_NORMAL_COMPRESSION = 1;

class Window {
 public:
  virtual ~Window() = default;

  virtual std::string ControlText(int id) = 0;
  virtual void SetControlText(int id, const std::string& text) = 0;
  virtual bool IsChecked(int id) = 0;
  virtual void SetChecked(int id, bool checked) = 0;
  virtual int ComboSelection(int id) = 0;
  virtual void EnableControl(int id, bool enabled) = 0;

  // Appends one line to a panel (IDC_INFO_LOG or IDC_MEDIA_LIST) by the rules of AppendPanelText,
  // shows the panel's end and repaints it at once.
  virtual void AppendPanelLine(const char* text, int panelId) = 0;

  // Position 0 to 100; callers compute it with unsigned integer division.
  virtual void SetProgress(unsigned position) = 0;

  // Handles whatever input is waiting (Stop among it) and returns at once.
  virtual void PumpMessages() = 0;

  // The "Warning." box; returns when the user has closed it.
  virtual void ShowWarning(const char* text) = 0;

  // Asked before an existing file is replaced; true lets the command go on. `detail` says what
  // replacing it costs (sizes and what is lost), empty when nothing is.
  virtual bool ConfirmReplace(const std::string& path, const std::string& detail) = 0;
};

}  // namespace quarnel
