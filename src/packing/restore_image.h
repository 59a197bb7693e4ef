// "Uncompress ISO": restores the raw image from a compressed one.
#pragma once

#include <cstdint>
#include <string>

#include "common/outcome.h"
#include "common/reporter.h"
#include "packing/compressed_format.h"

namespace quarnel {

struct RestoreRequest {
  std::string dataFile = {};  // the compressed image's data file
  // The folder the restored image is written to, under its usual name; empty: beside the data file.
  std::string outputDir = {};
};

struct RestoreReport {
  Outcome outcome;
  std::string failedFile;      // the file a failure concerns
  bool started = false;        // got past opening its files
  bool declined = false;       // the output exists and replacing it was not allowed
  bool notCompressed = false;  // the file named is no compressed image
  CompressionMode mode = CompressionMode::None;
  std::string dataFile;
  std::string output;
  std::string replaceDetail;  // what replacing the existing output costs, as asked
  uint32_t blocks = 0;        // blocks restored into the output (or its temporary)
  uint32_t totalBlocks = 0;
  uint32_t damagedBlocks = 0;  // blocks that did not decompress (written as zeros)
};

RestoreReport RestoreImage(const RestoreRequest& request, Reporter& reporter);

}  // namespace quarnel
