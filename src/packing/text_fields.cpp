#include "packing/text_fields.h"

namespace quarnel {

namespace {

constexpr size_t MAX_NAME_BYTES = 255;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

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

bool ParseDecimal(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

bool ParseHex(std::string_view text, std::string* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high << 4 | low));
  }
  return true;
}

bool IsLowerHex(std::string_view text, size_t length) {
  if (text.size() != length) return false;
  for (const char c : text) {
    if (HexDigit(c) < 0 || (c >= 'A' && c <= 'F')) return false;
  }
  return true;
}

}  // namespace quarnel
