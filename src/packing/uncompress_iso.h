// "Uncompress ISO": restores a raw image from a compressed one named in the path box.
#pragma once

#include <string>

#include "common/app_state.h"
#include "common/outcome.h"
#include "common/window.h"

namespace quarnel {

struct UncompressResult {
  bool started = false;  // got past opening its files; the buttons were disabled and enabled again
  std::string failedFile;  // a file that could not be found, opened, created, read or written
  int fileError = 0;
  const char* failedAction = "";  // what could not be done to it: open, create, read or write
  bool refused = false;        // the output exists and the window did not consent to replacing it
  bool busy = false;           // another run reads or writes one of the files
  bool notCompressed = false;  // the file named is no compressed image
  bool damaged = false;        // some blocks did not decompress
  bool stopped = false;
  std::string dataFile;
  std::string output;
  std::string replaceDetail;  // what replacing the existing output costs, as asked
  uint32_t blocks = 0;        // blocks restored into the output (or its temporary)
  uint32_t totalBlocks = 0;
  uint32_t damagedBlocks = 0;  // blocks that did not decompress (written as zeros)
  Outcome outcome;
};

struct UncompressOptions {
  // The folder the restored image is written to, under its usual name; empty: beside the data file.
  std::string outputDir;
};

UncompressResult UncompressIso(AppState& state, Window& window,
                               const UncompressOptions& options = {});

}  // namespace quarnel
