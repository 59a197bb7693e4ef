// The image path as the window holds it and the emulator reads it: at most 255 characters and a
// terminating zero. Every path the core takes or forms from it (the image, the data file and its
// side file, the restored image) must fit; a longer one is refused, never cut, as a cut path could
// name another file. Also the split of a path into its folder and its bare name.
#pragma once

#include <cstddef>
#include <string>

namespace quarnel {

constexpr size_t IMAGE_PATH_SIZE = 256;

inline bool FitsImagePath(const std::string& path) {
  return path.size() < IMAGE_PATH_SIZE;
}

// The folder part of `path` with its slash, "" for a bare name: what a bare name in that folder
// is put after.
inline std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// What follows the last slash of `path`.
inline std::string BareName(const std::string& path) {
  return path.substr(FolderOf(path).size());
}

// `path`'s bare name in folder `dir`; `path` itself when `dir` is empty. The batch plan and the
// runs name their outputs through this one rule, so that the plan's collision checks hold.
inline std::string InFolder(const std::string& dir, const std::string& path) {
  if (dir.empty()) return path;
  return dir + (dir.back() == '/' ? "" : "/") + BareName(path);
}

}  // namespace quarnel
