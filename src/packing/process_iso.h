// "Process ISO": writes the compressed image of the image in the path box, ripping the marked
// media on the way.
#pragma once

#include <string>
#include <vector>

#include "common/app_state.h"
#include "common/window.h"
#include "packing/compressed_format.h"

namespace quarnel {

struct ProcessResult {
  bool opened = false;  // false: the image could not be opened; nothing was changed or logged
  int openError = 0;
  bool pathTooLong = false;   // refused before anything was written
  std::string failedFile;     // a file that could not be created or written
  int fileError = 0;          // its errno
  bool createFailed = false;  // failedFile could not be created
  bool writeFailed = false;   // failedFile could not be written; the outputs were removed
  bool readFailed = false;    // the image could not be read to its end; the outputs were removed
  bool stopped = false;
  // Sound could not be taken out or stored (work folder, WAV or raw file, encoder): why, as the
  // ERROR line said; failedFile names the file and the outputs were removed.
  std::string audioError;
  std::string dataFile;
  std::string blockTable;
  uint32_t blocks = 0;
  uint32_t rippedCount = 0;
  std::vector<SectionEntryInfo> xaSection;     // empty when no XA stream section was appended
  std::vector<SectionEntryInfo> audioSection;  // likewise for the audio track section
};

// `workFolder` holds the sound's work files and is kept; empty: a private folder, removed at the
// end of the run.
ProcessResult ProcessIso(AppState& state, Window& window, const std::string& workFolder = {});

}  // namespace quarnel
