#include "packing/compression_mode.h"

#include <cstring>

#include "common/report.h"
#include "packing/compressed_format.h"

namespace quarnel {

void ChooseCompressionMode(AppState& state, Window& window) {
  state.CompressionMode = MODE_NONE;
  state.CompressionMode =
      window.ComboSelection(IDC_COMPRESSION) == COMBO_MAXIMUM_COMPRESSION ? MODE_BZIP2 : MODE_ZLIB;

  if (AnyXaStreamRipped(state)) {
    if (state.CompressionMode == MODE_BZIP2) {
      ShowWarningF(window, "Compression mode forced to Normal\nbecause of music ripping selected");
    }
    state.CompressionMode = MODE_ZLIB_XA;
  }
  LogF(state, window,
       state.CompressionMode == MODE_BZIP2 ? "- Compression mode: Maximum"
                                           : "- Compression mode: Normal");
}

bool AnyXaStreamRipped(const AppState& state) {
  for (const MediaRecord& r : state.MediaTable) {
    if (r.rip != 0 && r.kind == MEDIA_XA) return true;
  }
  return false;
}

int InitialComboSelection(const char* path) {
  if (std::strstr(path, ".Z") != nullptr) return COMBO_NORMAL_COMPRESSION;
  if (std::strstr(path, ".bz") != nullptr) return COMBO_MAXIMUM_COMPRESSION;
  return COMBO_NORMAL_COMPRESSION;
}

}  // namespace quarnel
