#include "packing/compression_mode.h"

namespace quarnel {

CompressionMode ChooseCompressionMode(CompressionChoice choice, bool xaStreamRipped,
                                      Reporter& reporter) {
  CompressionMode mode =
      choice == CompressionChoice::Maximum ? CompressionMode::Bzip2 : CompressionMode::Zlib;
  if (xaStreamRipped) {
    if (mode == CompressionMode::Bzip2) {
      reporter.Warning("Compression mode forced to Normal\nbecause of music ripping selected");
    }
    mode = CompressionMode::ZlibXa;
  }
  reporter.Log(mode == CompressionMode::Bzip2 ? "- Compression mode: Maximum"
                                              : "- Compression mode: Normal");
  return mode;
}

}  // namespace quarnel
