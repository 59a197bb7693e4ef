// "Uncompress ISO" of a damaged compressed image of each kind: any block table against any data
// file, with consent to replace the output; the restored image is removed with the folder.
//
// Input: a byte whose low two bits choose the kind (.bz, .Z, .ZNX; 3 reads as .Z) and whose six
// high bits cut that many bytes off the side file's end (the usual damage: a copy cut short),
// the side file's length (u16, little-endian), the side file, then the data file.
#include <algorithm>
#include <cstdint>

#include "common/app_state.h"
#include "fuzz_support.h"
#include "packing/compressed_format.h"
#include "packing/uncompress_iso.h"

using namespace quarnel;

namespace {

// Bounds the output (every entry may point at the same short stream) to about a mebibyte or two.
constexpr size_t MAX_BZIP2_BLOCKS = 64;
constexpr size_t MAX_ZLIB_BLOCKS = 512;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in{data, size};
  const uint32_t choice = in.Byte();
  const uint32_t mode = MODE_BZIP2 + (choice & 3) % 3;
  const size_t cut = choice >> 2;
  const CompressedKind& kind = KindOf(mode);
  const size_t maxSide =
      mode == MODE_BZIP2 ? 4 * (MAX_BZIP2_BLOCKS + 1) : kind.entrySize * MAX_ZLIB_BLOCKS;
  const uint8_t* side;
  size_t sideSize = in.Take(in.U16(), &side);
  sideSize -= std::min(cut, sideSize);
  if (sideSize > maxSide) sideSize = maxSide;

  fuzz::ScratchDir dir;
  const std::string dataFile = dir.File("disc.bin") + kind.extension;
  fuzz::WriteFile(dataFile, in.data, in.size);
  fuzz::WriteFile(dataFile + kind.tableSuffix, side, sideSize);

  AppState& state = fuzz::FreshAppState();
  fuzz::SilentWindow window;
  window.texts[IDC_PATH] = dataFile;
  UncompressIso(state, window);
  return 0;
}
