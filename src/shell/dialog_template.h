// The dialog template: every control of the main window in its order, which is also the tab
// order, with its text and its place in dialog units.
#pragma once

#include "shell/dialog_controls.h"

namespace quarnel {

constexpr int ROW_PITCH = 8;      // dialog units between two media rows
constexpr int COMBO_HEIGHT = 14;  // the closed box; the template's 50 units include its list

enum class Kind {
  Button,
  PathBox,
  Combo,
  Progress,
  Label,
  MediaPanel,
  InfoPanel,
  CheckBox,
  RowBoxes
};

struct TemplateItem {
  int id;  // 0 for a static text
  Kind kind;
  const char* text;  // a check box's text is its accessible name: the label beside it shows it
  int x, y, width, height;
};

// The dialog template in its order, which is also the tab order. RowBoxes stands for the twelve
// boxes of a column, row r at y + ROW_PITCH * r.
inline constexpr TemplateItem TEMPLATE[] = {
    {IDC_QUIT, Kind::Button, "Quit", 327, 319, 50, 14},
    {IDC_PATH, Kind::PathBox, "", 5, 10, 255, 14},
    {IDC_SELECT_ISO, Kind::Button, "Select Iso", 269, 10, 45, 14},
    {IDC_PROCESS, Kind::Button, "Process ISO", 113, 305, 65, 14},
    {IDC_UNCOMPRESS, Kind::Button, "Uncompress ISO", 207, 305, 65, 14},
    {IDC_COMPRESSION, Kind::Combo, "Compression Method", 5, 34, 125, COMBO_HEIGHT},
    {IDC_PROGRESS, Kind::Progress, "Progress", 15, 187, 354, 16},
    {0, Kind::Label, "Compression Method:", 5, 25, 69, 8},
    {IDC_STOP, Kind::Button, "Stop", 330, 10, 45, 14},
    {IDC_MEDIA_LIST, Kind::MediaPanel, "Medias Found", 43, 64, 167, 111},
    {0, Kind::Label, "Medias Found:", 44, 55, 49, 8},
    {IDC_RIP_FIRST, Kind::RowBoxes, "Rip", 214, 66, 10, 8},
    {0, Kind::Label, "Rip:", 212, 55, 15, 8},
    {IDC_UP, Kind::Button, "UP", 7, 66, 32, 44},
    {IDC_DOWN, Kind::Button, "DOWN", 7, 116, 32, 45},
    {IDC_ANALYSE, Kind::Button, "Analyse ISO", 16, 305, 65, 14},
    {IDC_INFO_LOG, Kind::InfoPanel, "Informations", 15, 220, 355, 73},
    {0, Kind::Label, "Informations:", 17, 209, 49, 8},
    {IDC_SELECT_ALL, Kind::Button, "ALL", 248, 67, 21, 14},
    {IDC_SELECT_VIDEO, Kind::Button, "VID", 248, 93, 21, 14},
    {IDC_SELECT_XA, Kind::Button, "XAS", 248, 119, 21, 14},
    {IDC_SELECT_NONE, Kind::Button, "NOT", 248, 145, 21, 14},
    {0, Kind::Label, "Select:", 248, 55, 21, 8},
    {IDC_FF8, Kind::CheckBox, "FF8 Search method", 281, 66, 8, 10},
    {0, Kind::Label, "FF8 Search method", 291, 66, 67, 11},
    {0, Kind::Label, "Progress:", 16, 178, 49, 8},
    {IDC_SMALLEST_SOURCE, Kind::CheckBox, "Smallest Video Source", 281, 81, 8, 10},
    {0, Kind::Label, "Smallest Video Source", 291, 81, 76, 11},
    {IDC_TEN_PERCENT_FIRST, Kind::RowBoxes, "10%", 231, 66, 10, 8},
    {0, Kind::Label, "10%", 229, 54, 15, 8},
    {IDC_ENHANCED_MOVIE, Kind::CheckBox, "Enhanced Movie Detection", 281, 97, 8, 10},
    {0, Kind::Label, "Enhanced Movie Detection", 292, 97, 91, 11},
    {IDC_RIP_XA_MP3, Kind::CheckBox, "Rip Xa Streams to MP3", 281, 129, 8, 10},
    {0, Kind::Label, "Rip Xa Streams to MP3", 291, 129, 76, 11},
    {IDC_RIP_AUDIO_MP3, Kind::CheckBox, "Rip Audio Tracks to MP3", 281, 145, 8, 10},
    {0, Kind::Label, "Rip Audio Tracks to MP3", 291, 145, 86, 11},
    {IDC_ENHANCED_XA, Kind::CheckBox, "Enhanced XA Detection", 281, 112, 8, 10},
    {0, Kind::Label, "Enhanced XA Detection", 292, 112, 80, 11},
};

}  // namespace quarnel
