// "Uncompress ISO" of a damaged compressed image of each kind: any block table against any data
// file, with consent to replace the output; the restored image is removed with the folder.
//
// Input: a kind byte (taken modulo 3: .bz, .Z, .ZNX), the data file's length (u16,
// little-endian), the data file, then the side file. The side file comes last so that the
// fuzzer's most common mutations, erasing, inserting and cutting off bytes, change its length:
// tables cut short or with a partial entry are the usual damage.
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
  const uint32_t mode = MODE_BZIP2 + in.Byte() % 3;
  const CompressedKind& kind = KindOf(mode);
  const uint8_t* dataBytes;
  const size_t dataSize = in.Take(in.U16(), &dataBytes);
  const size_t maxSide =
      mode == MODE_BZIP2 ? 4 * (MAX_BZIP2_BLOCKS + 1) : kind.entrySize * MAX_ZLIB_BLOCKS;
  const size_t sideSize = std::min(in.size, maxSide);

  fuzz::ScratchDir dir;
  const std::string dataFile = dir.File("disc.bin") + kind.extension;
  fuzz::WriteFile(dataFile, dataBytes, dataSize);
  fuzz::WriteFile(dataFile + kind.tableSuffix, in.data, sideSize);

  AppState& state = fuzz::FreshAppState();
  fuzz::SilentWindow window;
  window.texts[IDC_PATH] = dataFile;
  UncompressIso(state, window);
  return 0;
}
