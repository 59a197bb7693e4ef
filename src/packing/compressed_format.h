// The compressed image: a data file of independently compressed blocks, optionally followed by
// audio sections, and a side file (the block table) that gives the place of every block. Written
// by "Process ISO", read by "Uncompress ISO" and by the emulator. All integers little-endian; no
// header, magic or count anywhere: the kind is known from the data file's extension alone and the
// number of blocks from the table's length.
//
// Kinds (CompressionMode; the traits of each are in the kinds table, KindOf):
//   mode  data file  table    compressor  sectors/block  raw block  table entry
//   1     .bz        .index   bzip2 (1)   10             23520      u32 offset
//   2     .Z         .table   zlib        1              2352       u32 offset, u16 length
//   3     .ZNX       .table   zlib        1              2352       u32 offset, u16 length, XaTag
//   0     none chosen or recognised: no compressed image
// The data file's extension names the kind, in any letter case; any other name is no compressed
// image.
//
// Blocks: the image cut from its first byte into raw blocks; the last may be shorter (any number
// of bytes). Each is stored as one complete compressor output: a bzip2 stream (block size 1,
// work factor 30) or a zlib stream at the default level. A stored block never exceeds twice its
// raw length. Only blocks whose first sector lies at or before the end of the data track are
// stored; the offsets run from 0 without gaps.
//
// ".index" (mode 1): one u32 offset per block, then the closing offset (the end of the last
// block), so block k's length is offset(k + 1) - offset(k); n blocks take 4 * (n + 1) bytes.
// ".table" (modes 2, 3): 6 or 10 bytes per block, no closing entry.
//
// XaTag (mode 3, 4 bytes):
//   u16 record   XA record of the sector from the sector-to-record map, 0xFFFF for none
//   u8  marker   100
//   u8  channel  the record's channel, | 0x80 on the record's first sector; 0x7F when there is no
//                record or XA streams are not converted to MP3
//   All four bytes are zero for sectors outside ripped XA streams and for blocks starting at
//   sector 16 or lower.
//
// Sections behind the last block, each only when written: the XA stream section, then the audio
// track section. Each: u32 count, count x SectionEntry, then the files the entries point at, in
// entry order, without gaps. SectionEntry (16 bytes): u32 first sector, u32 last sector
// (inclusive), u32 absolute offset of the file's copy, u32 its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "analysis/media_tables.h"
#include "common/sector.h"

namespace quarnel {

enum class CompressionMode : uint32_t {
  None = 0,
  Bzip2 = 1,
  Zlib = 2,
  ZlibXa = 3,
};

enum class BlockCodec { Bzip2, Zlib };

// Everything that depends on the kind, named once: the writer, the reader, the name rules, the
// length checks and `info` all read it here.
struct CompressedKind {
  CompressionMode mode;
  const char* extension;    // of the data file, as written
  const char* tableSuffix;  // appended to the data file's name
  uint32_t sectorsPerBlock;
  uint32_t rawBlockLength;
  uint32_t entrySize;
  bool closingOffset;  // the side file ends with the offset behind the last block
  bool xaTags;         // entries carry an XaTag
  size_t batchBlocks;  // blocks coded in one round on every core
  BlockCodec codec;
  const char* description;
};

// The traits of a kind; `mode` is never None.
const CompressedKind& KindOf(CompressionMode mode);

// The kind a data file's name gives by its extension (".Z", ".bz", ".ZNX" in any letter case);
// nullopt for any other name.
std::optional<CompressionMode> CompressionModeOfName(const std::string& path);

// "the compressed image's data file must end in .Z, .ZNX or .bz (any letter case)".
std::string KnownKindsText();

// The restored image's name: the data file's name without exactly its kind's extension.
std::string RestoredName(const std::string& dataFile, CompressionMode mode);

constexpr uint8_t XA_TAG_MARKER = 100;
constexpr uint8_t XA_TAG_NO_CHANNEL = 0x7F;
constexpr uint8_t XA_TAG_FIRST_SECTOR = 0x80;
constexpr size_t XA_TAG_SIZE = 4;
constexpr size_t SECTION_ENTRY_SIZE = 16;

// A section entry as written, with the file whose copy it points at (an MP3, or a record's WAV).
struct SectionEntryInfo {
  uint32_t firstSector;
  uint32_t lastSector;
  uint32_t offset;
  uint32_t size;
  std::string file;
};

struct XaTag {
  uint16_t record;
  uint8_t marker;
  uint8_t channel;
};

// Field offsets inside a table entry, for the writer and the reader alike.
constexpr size_t ENTRY_OFFSET_AT = 0;  // u32, every kind
constexpr size_t ENTRY_LENGTH_AT = 4;  // u16, ".table" kinds
constexpr size_t ENTRY_TAG_AT = 6;     // XaTag, ".ZNX"
constexpr size_t TAG_RECORD_AT = 0;    // inside the XaTag
constexpr size_t TAG_MARKER_AT = 2;
constexpr size_t TAG_CHANNEL_AT = 3;

// The emulator's reader limits: the largest side file it loads and the largest stored block its
// buffer takes. Larger ones restore here but not in the emulator.
constexpr uint64_t EMULATOR_SIDE_FILE_LIMIT = uint64_t{4} << 20;
constexpr uint32_t EMULATOR_STORED_BLOCK_LIMIT = 37732;
// Sectors of the longest disc, 99:59:74: no side file describes more.
constexpr uint32_t MAX_DISC_SECTORS = 100 * 60 * 75;

// Writes one table entry of `mode` into `out` (at least 10 bytes); returns its size.
size_t EncodeBlockEntry(uint8_t* out, CompressionMode mode, uint32_t offset, uint32_t length,
                        const XaTag& tag);

// Reads back one table entry of a ".table" kind: the offset, the stored length and the tag (zero
// for ".Z"). For ".index" the length comes from the next entry's offset.
void DecodeBlockEntry(const uint8_t* entry, CompressionMode mode, uint32_t* offset,
                      uint32_t* length, XaTag* tag);

inline void PutU16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  PutU16(p, v);
  PutU16(p + 2, v >> 16);
}
inline uint32_t GetU16(const uint8_t* p) {
  return p[0] | (p[1] << 8);
}
inline uint32_t GetU32(const uint8_t* p) {
  return GetU16(p) | (GetU16(p + 2) << 16);
}

}  // namespace quarnel
