// Checking a damaged compressed image of each kind, sections behind the blocks included: the
// layout as InspectImage reads it, and for about one input in 64 the whole VerifyImage (every block
// restored and checksummed), without a source image or a DAT.
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchDir dir;
  const std::string dataFile =
      fuzz::WriteCompressedImage(dir, data, size, MAX_BZIP2_BLOCKS, MAX_ZLIB_BLOCKS);
  CheckLayout(InspectImage(dataFile));
  if (!fuzz::OneIn(data, size, 64)) return 0;

  fuzz::SilentReporter reporter;
  const VerifyReport report = VerifyImage(reporter, dataFile, {});
  CheckLayout(report.layout);
  if (report.layout.opened && report.damagedBlocks > report.layout.blocks) std::abort();
  return 0;
}
