#include "packing/compressed_format.h"

#include <cstring>

#include "analysis/disc_input.h"
#include "common/image_path.h"

namespace quarnel {

namespace {

// Batches: enough blocks to keep every core busy between two progress steps; a bzip2 block is ten
// sectors and costs far more.
constexpr CompressedKind KINDS[] = {
    {CompressionMode::Bzip2, ".bz", ".index", 10, 10 * SECTOR_SIZE, 4, true, false, 16,
     BlockCodec::Bzip2, "maximum (bzip2, 10 sectors per block)"},
    {CompressionMode::Zlib, ".Z", ".table", 1, SECTOR_SIZE, 6, false, false, 128, BlockCodec::Zlib,
     "normal (zlib, 1 sector per block)"},
    {CompressionMode::ZlibXa, ".ZNX", ".table", 1, SECTOR_SIZE, 6 + XA_TAG_SIZE, false, true, 128,
     BlockCodec::Zlib, "normal with XA tags (zlib, 1 sector per block)"},
};

constexpr size_t Length(const char* s) {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

constexpr bool LongestSuffixCoversEveryKind() {
  for (const CompressedKind& kind : KINDS) {
    if (Length(kind.extension) + Length(kind.tableSuffix) > Length(LONGEST_OUTPUT_SUFFIX)) {
      return false;
    }
  }
  return true;
}
static_assert(LongestSuffixCoversEveryKind(), "the up-front path check must cover every kind");

}  // namespace

const CompressedKind& KindOf(CompressionMode mode) {
  for (const CompressedKind& kind : KINDS) {
    if (kind.mode == mode) return kind;
  }
  return KINDS[1];  // None has no kind of its own; callers never ask for it
}

std::optional<CompressionMode> CompressionModeOfName(const std::string& path) {
  const size_t nameLength = BareName(path).size();
  for (const CompressedKind& kind : KINDS) {
    // A name that is only the extension would restore to no name at all.
    if (nameLength > std::strlen(kind.extension) && EndsWithNoCase(path, kind.extension)) {
      return kind.mode;
    }
  }
  return std::nullopt;
}

std::string KnownKindsText() {
  return "a compressed image's data file ends in .Z, .ZNX or .bz (in any letter case)";
}

std::string RestoredName(const std::string& dataFile, CompressionMode mode) {
  const size_t n = std::strlen(KindOf(mode).extension);
  return dataFile.substr(0, dataFile.size() >= n ? dataFile.size() - n : 0);
}

size_t EncodeBlockEntry(uint8_t* out, CompressionMode mode, uint32_t offset, uint32_t length,
                        const XaTag& tag) {
  const CompressedKind& kind = KindOf(mode);
  PutU32(out + ENTRY_OFFSET_AT, offset);
  if (kind.closingOffset) return kind.entrySize;
  PutU16(out + ENTRY_LENGTH_AT, length);
  if (!kind.xaTags) return kind.entrySize;
  uint8_t* t = out + ENTRY_TAG_AT;
  PutU16(t + TAG_RECORD_AT, tag.record);
  t[TAG_MARKER_AT] = tag.marker;
  t[TAG_CHANNEL_AT] = tag.channel;
  return kind.entrySize;
}

void DecodeBlockEntry(const uint8_t* entry, CompressionMode mode, uint32_t* offset,
                      uint32_t* length, XaTag* tag) {
  const CompressedKind& kind = KindOf(mode);
  *offset = GetU32(entry + ENTRY_OFFSET_AT);
  *length = kind.closingOffset ? 0 : GetU16(entry + ENTRY_LENGTH_AT);
  *tag = XaTag{0, 0, 0};
  if (kind.xaTags) {
    const uint8_t* t = entry + ENTRY_TAG_AT;
    *tag = XaTag{static_cast<uint16_t>(GetU16(t + TAG_RECORD_AT)), t[TAG_MARKER_AT],
                 t[TAG_CHANNEL_AT]};
  }
}

}  // namespace quarnel
