// Checking a damaged compressed image of each kind, sections behind the blocks included: the
// layout as InspectImage reads it (a structure it calls sound keeps every rule of the format), and
// for about one input in 64 the whole VerifyImage (every block restored and checksummed, the
// sections' files decoded), without a source image or a DAT, which must find the same structure
// problems and never pass what InspectImage calls damaged.
//
// Input: see WriteCompressedImage.
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.h"
#include "packing/verify_image.h"

using namespace quarnel;

namespace {

constexpr size_t MAX_BZIP2_BLOCKS = 64;
constexpr size_t MAX_ZLIB_BLOCKS = 512;

// A structure without problems: the sections fill the data file behind the blocks, XA records lie
// in the block area, audio tracks behind it, in order and within 99:59:74.
void CheckSoundStructure(const ImageLayout& layout) {
  const CompressedKind& kind = KindOf(layout.mode);
  const uint64_t blockSectors = uint64_t{layout.blocks} * kind.sectorsPerBlock;
  uint64_t at = layout.blockAreaEnd;
  for (const SectionInfo& s : layout.sections) {
    if (s.at != at) std::abort();
    at = s.end;
    uint64_t after = layout.blocks == 0 ? 0 : blockSectors - kind.sectorsPerBlock + 1;
    for (const SectionEntryInfo& e : s.entries) {
      if (e.firstSector > e.lastSector) std::abort();
      if (s.xa ? e.lastSector >= blockSectors
               : e.firstSector < after || e.lastSector >= MAX_DISC_SECTORS) {
        std::abort();
      }
      if (!s.xa) after = uint64_t{e.lastSector} + 1;
    }
  }
  if (at != layout.dataSize) std::abort();
}

// What every reading of the layout promises, damaged or not.
void CheckLayout(const ImageLayout& layout) {
  if (!layout.opened) {
    if (layout.error.empty()) std::abort();
    return;
  }
  if (layout.blockAreaEnd > layout.dataSize || layout.problems.size() > MAX_IMAGE_PROBLEMS) {
    std::abort();
  }
  for (const SectionInfo& s : layout.sections) {
    if (s.at < layout.blockAreaEnd || s.end > layout.dataSize) std::abort();
  }
  if (!layout.StructureDamaged()) CheckSoundStructure(layout);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchDir dir;
  const std::string dataFile =
      fuzz::WriteCompressedImage(dir, data, size, MAX_BZIP2_BLOCKS, MAX_ZLIB_BLOCKS);
  const ImageLayout inspected = InspectImage(dataFile);
  CheckLayout(inspected);
  if (!fuzz::OneIn(data, size, 64)) return 0;

  fuzz::SilentReporter reporter;
  const VerifyReport report = VerifyImage(reporter, dataFile, {});
  CheckLayout(report.layout);
  if (report.layout.opened && report.damagedBlocks > report.layout.blocks) std::abort();
  if (report.layout.structureProblems != inspected.structureProblems) std::abort();
  if (report.Passed() && inspected.Damaged()) std::abort();
  return 0;
}
