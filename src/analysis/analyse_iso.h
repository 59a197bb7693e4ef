// "Analyse ISO": opens the image named in the path box, reads its cue sheet, scans the data track
// for video and XA streams and fills the analysis tables.
#pragma once

#include <string>

#include "common/app_state.h"
#include "common/window.h"

namespace quarnel {

struct AnalysisResult {
  bool opened = false;   // false: the image could not be opened or was refused
  int openError = 0;     // errno of the failed open; nothing was changed or logged
  bool refused = false;  // not a disc this program can analyse; `message` is the logged line
  std::string message;
  std::string dataTrackFile;  // the file holding track 1, after which outputs are named
  std::string cueSheet;       // the sheet in use, or empty
  bool readError = false;     // a read failed before the end of the data track
  int readErrno = 0;
  bool stopped = false;  // StopRequested ended the scan
  bool tableFull = false;
  uint32_t sectorCount = 0;
  uint32_t videoCount = 0;
};

AnalysisResult AnalyseIso(AppState& state, Window& window);

}  // namespace quarnel
