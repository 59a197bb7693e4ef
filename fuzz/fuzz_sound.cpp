// The sound checks on arbitrary bytes: each either refuses with a reason or accepts with a
// length that the bytes can hold.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "packing/sound_check.h"

using namespace quarnel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SoundInfo info;
  std::string why;
  if (CheckMp3(data, size, &info, &why)) {
    // No frame gives more than 24 samples a byte (1152 in 48 bytes).
    if (info.samples == 0 || info.samples > uint64_t{size} * 24 || info.channels == 0 ||
        info.channels > 2 || info.rate < 8000 || info.rate > 48000) {
      std::abort();
    }
  } else if (why.empty()) {
    std::abort();
  }
  why.clear();
  info = {};
  if (CheckWav(data, size, &info, &why)) {
    // The smallest header is 44 bytes: RIFF, "fmt " and "data".
    if (info.channels == 0 || info.rate == 0 || 44 + info.samples * 2 * info.channels > size) {
      std::abort();
    }
  } else if (why.empty()) {
    std::abort();
  }
  return 0;
}
