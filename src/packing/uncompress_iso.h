// "Uncompress ISO": restores a raw image from a compressed one named in the path box.
#pragma once

#include <string>

#include "common/app_state.h"
#include "common/window.h"

namespace quarnel {

struct UncompressResult {
  bool started = false;  // got past opening its files; the buttons were disabled and enabled again
  std::string failedFile;  // a file that could not be found, opened, created, read or written
  int fileError = 0;
  const char* failedAction = "";  // what could not be done to it: open, create, read or write
  bool refused = false;  // the output exists and the window did not consent to replacing it
  bool damaged = false;  // the table or data file is inconsistent: the output is incomplete
  bool stopped = false;
  std::string dataFile;
  std::string output;
  uint32_t blocks = 0;
  uint32_t damagedBlocks = 0;  // blocks that did not decompress (written as zeros)
};

UncompressResult UncompressIso(AppState& state, Window& window);

}  // namespace quarnel
