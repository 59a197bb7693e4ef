// "Analyse ISO" of a small image with an optional cue sheet beside it, under each search option;
// whatever the sectors say, the tables left for processing must be ones it can trust.
//
// Input: an options byte, the cue sheet's length (u16, little-endian; 0 for none), the cue text,
// then the image's sectors from sector 17 on (sectors 0 to 16 are the system area, which the scan
// passes over; the harness adds them, empty but for their sync and headers). Options: bit 0 FF8
// search, bit 1 enhanced movie search, bit 2 enhanced XA search, bit 3 stamp every sector's header
// with its own address (the scan skips sectors whose address is wrong), bit 4 compact sectors: each
// 64 input bytes are the start of a sector (header, subheader and the user data the scan looks at),
// the rest zeros.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/analyse_disc.h"
#include "common/sector.h"
#include "fuzz_support.h"

using namespace quarnel;

namespace {

constexpr uint32_t SYSTEM_SECTORS = 17;
constexpr uint32_t MAX_SECTORS = 600;  // keeps each input quick however it is laid out
constexpr size_t COMPACT_SECTOR_BYTES = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in{data, size};
  const uint32_t options = in.Byte();
  const uint8_t* cue;
  const size_t cueSize = in.Take(in.U16(), &cue);

  const size_t bytesPerSector = (options & 16) ? COMPACT_SECTOR_BYTES : SECTOR_SIZE;
  // The system area carries the sync pattern, so that the image is taken for a raw CD image.
  std::vector<uint8_t> image(size_t{SYSTEM_SECTORS} * SECTOR_SIZE);
  for (uint32_t s = 0; s < SYSTEM_SECTORS; ++s) {
    std::memset(image.data() + size_t{s} * SECTOR_SIZE + 1, 0xFF, 10);
    WriteHeaderAddress(image.data() + size_t{s} * SECTOR_SIZE, s);
  }
  for (uint32_t s = SYSTEM_SECTORS; in.size != 0 && s < MAX_SECTORS; ++s) {
    const uint8_t* bytes;
    const size_t n = in.Take(bytesPerSector, &bytes);
    // A partial last sector stays partial in full layout: the reader must cope with it.
    const size_t length = bytesPerSector == SECTOR_SIZE ? n : SECTOR_SIZE;
    const size_t at = image.size();
    image.resize(at + length);
    std::memcpy(image.data() + at, bytes, n);
    if ((options & 8) && length == SECTOR_SIZE) WriteHeaderAddress(image.data() + at, s);
  }

  fuzz::ScratchDir dir;
  const std::string bin = dir.File("disc.bin");
  fuzz::WriteFile(bin, image.data(), image.size());
  if (cueSize != 0) fuzz::WriteFile(dir.File("disc.cue"), cue, cueSize);

  fuzz::SilentReporter reporter;
  const AnalysisResult result = AnalyseDisc({.ImagePath = bin,
                                             .ff8 = (options & 1) != 0,
                                             .enhancedMovie = (options & 2) != 0,
                                             .enhancedXa = (options & 4) != 0},
                                            reporter);
  // A sheet naming other files may be refused, but never silently; a raw image alone is not.
  if (!result.Opened() && (cueSize == 0 || result.message.empty())) std::abort();
  if (result.Opened()) {
    fuzz::CheckTables(*result.analysis, static_cast<uint32_t>(image.size() / SECTOR_SIZE));
  }
  return 0;
}
