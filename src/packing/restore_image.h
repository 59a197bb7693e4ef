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
  // Only the data track's file, also where the list of the dump's files stands beside the image
  // (without this, every file of the dump it lists is restored).
  bool dataTrackOnly = false;
};

struct RestoreReport {
  Outcome outcome;
  bool started = false;  // got past opening its files
  // The output exists and replacing it was not allowed: the user's choice, not a failure; the
  // output is in outcome.kept and the front end words it.
  bool declined = false;
  CompressionMode mode = CompressionMode::None;
  std::string dataFile;
  std::string output;
  std::string replaceDetail;  // what replacing the existing output costs, as asked (may be empty)
  uint32_t blocks = 0;        // blocks restored into the output (or its temporary)
  uint32_t totalBlocks = 0;
  uint32_t damagedBlocks = 0;  // blocks that did not decompress (written as zeros)
  bool dumpListed = false;     // the list of the dump's files stood beside the image
  bool completeDump = false;   // every file of the dump was restored as the dump's
};

// Refuses, before anything is written, an image whose structure is damaged (InspectImage's
// structure problems); damaged blocks are restored as zeros, one "ERROR: " line each, and fail
// the run. The failure that ends the run is in the outcome only, never logged.
RestoreReport RestoreImage(const RestoreRequest& request, Reporter& reporter);

}  // namespace quarnel
