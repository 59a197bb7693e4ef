// The dialog's controls by their ids, and the few operations on them that the window's own parts
// (the media list's page among them) use. Only the window knows them: the core takes options and
// reports through its Reporter.
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

class DialogControls {
 public:
  virtual ~DialogControls() = default;

  virtual std::string ControlText(int id) = 0;
  virtual void SetControlText(int id, const std::string& text) = 0;
  virtual bool IsChecked(int id) = 0;
  virtual void SetChecked(int id, bool checked) = 0;
  virtual void EnableControl(int id, bool enabled) = 0;
  // Appends one line to a panel (IDC_INFO_LOG or IDC_MEDIA_LIST) by the rules of AppendPanelText,
  // shows the panel's end and repaints it at once.
  virtual void AppendPanelLine(const char* text, int panelId) = 0;
};

}  // namespace quarnel
