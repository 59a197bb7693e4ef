#include "packing/compressed_format.h"

#include <cstring>

namespace quarnel {

namespace {

constexpr CompressedKind KINDS[] = {
    {".Z", ".table", 1, SECTOR_SIZE, 6},                  // MODE_NONE reads as zlib
    {".bz", ".index", 10, 10 * SECTOR_SIZE, 4},           // MODE_BZIP2
    {".Z", ".table", 1, SECTOR_SIZE, 6},                  // MODE_ZLIB
    {".ZNX", ".table", 1, SECTOR_SIZE, 6 + XA_TAG_SIZE},  // MODE_ZLIB_XA
};

bool EndsWith(const char* s, size_t n, const char* suffix) {
  const size_t m = std::strlen(suffix);
  return n >= m && std::memcmp(s + n - m, suffix, m) == 0;
}

}  // namespace

const CompressedKind& KindOf(uint32_t mode) {
  return KINDS[mode <= MODE_ZLIB_XA ? mode : 0];
}

uint32_t CompressionModeOfName(const char* path) {
  const size_t n = std::strlen(path);
  if (EndsWith(path, n, ".Z")) return MODE_ZLIB;
  if (EndsWith(path, n, ".bz")) return MODE_BZIP2;
  if (EndsWith(path, n, ".ZNX")) return MODE_ZLIB_XA;
  return MODE_NONE;
}

void CompressionModeFromExtension(AppState& state) {
  state.CompressionMode = CompressionModeOfName(state.ImagePath);
}

size_t EncodeBlockEntry(uint8_t* out, uint32_t mode, uint32_t offset, uint32_t length,
                        const XaTag& tag) {
  PutU32(out + ENTRY_OFFSET_AT, offset);
  if (mode == MODE_BZIP2) return KindOf(mode).entrySize;
  PutU16(out + ENTRY_LENGTH_AT, length);
  if (mode != MODE_ZLIB_XA) return KindOf(mode).entrySize;
  uint8_t* t = out + ENTRY_TAG_AT;
  PutU16(t + TAG_RECORD_AT, tag.record);
  t[TAG_MARKER_AT] = tag.marker;
  t[TAG_CHANNEL_AT] = tag.channel;
  return KindOf(mode).entrySize;
}

void DecodeBlockEntry(const uint8_t* entry, uint32_t mode, uint32_t* offset, uint32_t* length,
                      XaTag* tag) {
  *offset = GetU32(entry + ENTRY_OFFSET_AT);
  *length = mode == MODE_BZIP2 ? 0 : GetU16(entry + ENTRY_LENGTH_AT);
  *tag = XaTag{0, 0, 0};
  if (mode == MODE_ZLIB_XA) {
    const uint8_t* t = entry + ENTRY_TAG_AT;
    *tag = XaTag{static_cast<uint16_t>(GetU16(t + TAG_RECORD_AT)), t[TAG_MARKER_AT],
                 t[TAG_CHANNEL_AT]};
  }
}

}  // namespace quarnel
