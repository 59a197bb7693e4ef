// Checking a compressed image without writing anything: what its side file and section headers say
// (InspectImage, fast), and whether every block restores, with the checksums of the restored image
// and, on request, its comparison with the source image and its entry in a DAT (VerifyImage).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/checksums.h"
#include "common/reporter.h"
#include "packing/compressed_format.h"
#include "packing/dat_file.h"
#include "packing/dump_check.h"
#include "packing/image_structure.h"

namespace quarnel {

// Reads the side file and the section headers, and decompresses the last block only. The sections'
// files are decoded on request: on a disc with 78 minutes of audio tracks that takes over a second
// where the rest takes milliseconds, so `info` leaves it to verify.
ImageLayout InspectImage(const std::string& dataFile, SoundFiles sound = SoundFiles::Placed);

struct SectorRange {
  uint32_t first;
  uint32_t last;
};

struct VerifyOptions {
  std::string source;                 // compared sector by sector when not empty
  std::vector<SectorRange> media;     // the media the source's analysis found
  bool sourceHasAudioTracks = false;  // tracks behind the data track, never in the block area
  const DatFile* dat = nullptr;
  std::string datName;  // named in the log
};

struct SectorDifference {
  uint32_t first;
  uint32_t last;
  // Inside the media of the source's analysis, adjacent and overlapping ones taken as one: what
  // ripping changes.
  bool inMedium;
};

struct VerifyReport {
  ImageLayout layout;  // its problems include those of the blocks and the comparison
  uint32_t damagedBlocks = 0;
  ChecksumDigests restored;  // of exactly what "Uncompress ISO" writes
  bool stopped = false;
  bool compared = false;  // with the source
  uint64_t sourceSize = 0;
  std::vector<SectorDifference> differences;
  bool datSearched = false;
  std::optional<DatMatch> datMatch;  // the data track file's entry
  std::optional<GameReport> game;    // the game of the dump's files, file by file
  // With the list of the dump's files beside the image: its FLACs and cue sheet checked.
  std::optional<DumpCheck> dump;

  // Sound, undamaged, and with a DAT: a game whose files the image holds none differs from.
  bool Passed() const;
};

// Logs "- Verifying NAME", each problem as an "ERROR: " line, then the checksums and what the
// source and the DAT say. Progress, pumps and the stop token go through `reporter`.
VerifyReport VerifyImage(Reporter& reporter, const std::string& dataFile,
                         const VerifyOptions& options);

// The same over an image of `mode` still under the writer's temporary names.
VerifyReport VerifyWrittenImage(Reporter& reporter, const std::string& dataPath,
                                const std::string& sidePath, CompressionMode mode);

}  // namespace quarnel
