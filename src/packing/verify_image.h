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

namespace quarnel {

// One fault, with the part of the image it names: "block 12", "side file", "XA section entry 3",
// "audio track section", "data file", "source".
struct ImageProblem {
  std::string where;
  std::string what;
  bool limit = false;  // only the emulator's reader limits are passed; the image restores here

  std::string Text() const { return where + ": " + what; }
};

// A section behind the blocks as its header gives it.
struct SectionInfo {
  bool xa = false;                        // the XA stream section, else the audio track section
  uint64_t at = 0;                        // offset of its count field
  uint64_t end = 0;                       // where its last file ends
  std::vector<SectionEntryInfo> entries;  // `file` stays empty
};

struct ImageLayout {
  bool opened = false;
  std::string error;  // why the image could not be opened, one sentence
  int errorNumber = 0;
  bool notCompressed = false;
  CompressionMode mode = CompressionMode::None;
  std::string dataFile;
  std::string sideFile;
  uint32_t blocks = 0;
  uint64_t dataSize = 0;
  uint64_t sideSize = 0;
  uint64_t blockAreaEnd = 0;
  uint64_t restoredSize =
      0;  // the bytes "Uncompress ISO" writes; InspectImage decodes the last block
  uint32_t largestBlock = 0;    // stored bytes
  uint32_t xaTaggedBlocks = 0;  // ".ZNX" blocks holding ripped XA sectors
  std::vector<SectionInfo> sections;
  std::vector<ImageProblem> problems;
  uint32_t moreProblems = 0;  // found past the ones kept

  bool SideFileWithinLimit() const { return sideSize <= EMULATOR_SIDE_FILE_LIMIT; }
  bool BlocksWithinLimit() const { return largestBlock <= EMULATOR_STORED_BLOCK_LIMIT; }
  // Problems other than the reader limits.
  bool Damaged() const;
};

// Problems past this many are only counted.
constexpr size_t MAX_IMAGE_PROBLEMS = 100;

// Reads the side file and the section headers, and decompresses the last block only.
ImageLayout InspectImage(const std::string& dataFile);

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
  bool inMedium;  // inside one medium of the source's analysis: what ripping changes
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
  std::optional<DatMatch> datMatch;

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
