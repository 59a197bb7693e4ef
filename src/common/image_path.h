// The image path as the window holds it and the emulator reads it: at most 255 characters and a
// terminating zero. Every path the core takes or forms from it (the image, the data file and its
// side file, the restored image) must fit; a longer one is refused, never cut, as a cut path could
// name another file.
#pragma once

#include <cstddef>
#include <string>

namespace quarnel {

constexpr size_t IMAGE_PATH_SIZE = 256;

inline bool FitsImagePath(const std::string& path) {
  return path.size() < IMAGE_PATH_SIZE;
}

}  // namespace quarnel
