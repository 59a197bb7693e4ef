// "Process ISO": writes the compressed image of the image in the path box, ripping the marked
// media on the way.
#pragma once

#include <string>
#include <vector>

#include "common/app_state.h"
#include "common/outcome.h"
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
  bool refused = false;       // a limit of the format refused the image before anything was written
  bool busy = false;          // another run reads or writes an output's name
  bool stopped = false;       // with outcome.written set: stopped after the blocks, image complete
  // Sound could not be taken out or stored (work folder, WAV or raw file, encoder): why, as the
  // ERROR line said; failedFile names the file and the outputs were removed.
  std::string audioError;
  std::string dataFile;
  std::string blockTable;
  uint32_t blocks = 0;
  uint32_t rippedCount = 0;
  std::vector<SectionEntryInfo> xaSection;     // empty when no XA stream section was appended
  std::vector<SectionEntryInfo> audioSection;  // likewise for the audio track section
  std::string restoredSha1;  // with `verify`: of the image as read back, before it was committed
  Outcome outcome;
};

struct ProcessOptions {
  // Holds the sound's work files and is kept; empty: a private folder, removed at the end of the
  // run.
  std::string workFolder;
  // Reads the written image back and restores it before it gets its final names; a block that
  // does not give back what was compressed fails the run.
  bool verify = false;
  // The folder the outputs are written to, under the data track file's name; empty: beside it.
  std::string outputDir = {};
};

ProcessResult ProcessIso(AppState& state, Window& window, const ProcessOptions& options = {});

}  // namespace quarnel
