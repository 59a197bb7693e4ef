#include "packing/text_fields.h"

namespace quarnel {

namespace {

constexpr size_t MAX_NAME_BYTES = 255;

}  // namespace

const char* BadFileNameReason(std::string_view name) {
  if (name.empty()) return "is empty";
  if (name.size() > MAX_NAME_BYTES) return "is longer than 255 bytes";
  if (name == "." || name == "..") return "is not a file name";
  for (const unsigned char c : name) {
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) {
      return "holds a path separator or a control character";
    }
  }
  return nullptr;
}

}  // namespace quarnel
