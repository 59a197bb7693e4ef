// The input of fuzz_disc_set, shared with the seed writer: a flags byte, one 4-byte record per
// file, then the cue sheet as a list of line operations, read until the input ends.
//
// Flags: bits 0-1 the number of files less one; bit 2 CR LF line ends; bit 3 a byte order mark;
// bits 4 and 5 both set: the disc is opened through its first file instead of its sheet.
// File record: whole sectors (u8), a partial last sector (u16, little-endian: bit 15 set gives
// (value & 0x7FFF) % 2352 more bytes), content (u8: bits 0-1 a Content, bits 2-3 the submode of
// the data sectors, bits 4-7 for PARTLY_DATA the first synced sector / 3).
// Operations (a byte modulo OP_COUNT, then its arguments):
//   FILE_LINE   pick: file pick % (files + 1), the last one missing.bin; name variant
//               (pick / 8) % VARIANT_COUNT; bit 6 unquoted when the name has no blank; bit 7 no
//               type
//   TRACK_LINE  pick, type: the next track number below NUMBER_JUMP, else (pick - NUMBER_JUMP) * 8;
//               type % 4: MODE2/2352, AUDIO, AUDIO, none
//   INDEX_LINE  pick, time (u16 sectors): index pick % 3; from BROKEN_TIME on a time that is none
//   PREGAP_LINE time (u16 sectors)
//   REM_LINE, BLANK_LINE, UNKNOWN_LINE: a remark, an empty line, a keyword the reader does not know
//   TRACK_RUN   count: 1 + count % 128 audio tracks, numbered on, two sectors apart in the file
#pragma once

#include <cstdint>
#include <vector>

namespace quarnel::fuzz::disc_set {

constexpr uint32_t MAX_FILES = 4;
constexpr uint8_t FILE_COUNT_BITS = 3;
constexpr uint8_t CRLF = 4;
constexpr uint8_t BYTE_ORDER_MARK = 8;
constexpr uint8_t OPEN_FIRST_FILE = 0x30;
constexpr uint16_t PARTIAL_SECTOR = 0x8000;

enum Content : uint8_t { ZEROS, DATA, CD_AUDIO, PARTLY_DATA };
enum Op : uint8_t {
  FILE_LINE,
  TRACK_LINE,
  INDEX_LINE,
  PREGAP_LINE,
  REM_LINE,
  BLANK_LINE,
  UNKNOWN_LINE,
  TRACK_RUN,
  OP_COUNT
};
enum Variant : uint8_t {
  EXACT,
  UPPER,
  LOWER,
  IN_FOLDER,
  IN_FOLDER_BACKSLASH,
  DOT_SLASH,
  VARIANT_COUNT
};

constexpr uint8_t FILE_BITS = 7;
constexpr uint8_t UNQUOTED = 0x40;
constexpr uint8_t NO_TYPE = 0x80;
constexpr uint8_t NUMBER_JUMP = 240;
constexpr uint8_t BROKEN_TIME = 250;
constexpr uint8_t MODE2_TRACK = 0, AUDIO_TRACK = 1, UNTYPED_TRACK = 3;

// Writes an input in this layout.
class InputWriter {
 public:
  explicit InputWriter(uint8_t flags) { bytes.push_back(flags); }
  void File(uint8_t sectors, uint16_t partialBytes, uint8_t content) {
    const uint16_t tail = partialBytes == 0 ? 0 : (PARTIAL_SECTOR | partialBytes);
    bytes.insert(bytes.end(),
                 {sectors, static_cast<uint8_t>(tail), static_cast<uint8_t>(tail >> 8), content});
  }
  void FileLine(uint8_t file, Variant variant = EXACT, uint8_t bits = 0) {
    bytes.insert(bytes.end(), {FILE_LINE, static_cast<uint8_t>(file + variant * 8 + bits)});
  }
  void TrackLine(uint8_t type, uint8_t pick = 0) {
    bytes.insert(bytes.end(), {TRACK_LINE, pick, type});
  }
  void IndexLine(uint8_t number, uint16_t sectors) {
    bytes.insert(bytes.end(), {INDEX_LINE, number, static_cast<uint8_t>(sectors),
                               static_cast<uint8_t>(sectors >> 8)});
  }
  void Pregap(uint16_t sectors) {
    bytes.insert(bytes.end(),
                 {PREGAP_LINE, static_cast<uint8_t>(sectors), static_cast<uint8_t>(sectors >> 8)});
  }
  void Op(uint8_t op) { bytes.push_back(op); }  // a line without arguments
  void TrackRun(uint8_t count) {
    bytes.insert(bytes.end(), {TRACK_RUN, static_cast<uint8_t>(count - 1)});
  }

  std::vector<uint8_t> bytes;
};

}  // namespace quarnel::fuzz::disc_set
