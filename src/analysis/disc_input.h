// What the path box names, as a disc: a raw image alone, an image with the cue sheet found beside
// it, or a cue sheet with one or several image files (one per track). Resolves the files, opens
// them as one sector space and refuses what is not a raw CD image. "Analyse ISO" and "Process ISO"
// open the disc through here, so that both see the same files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "analysis/cue_sheet.h"
#include "analysis/media_tables.h"
#include "common/image_file.h"

namespace quarnel {

// Compressed outputs append at most this suffix to the data track file's path.
constexpr const char LONGEST_OUTPUT_SUFFIX[] = ".ZNX.table";

struct DiscInput {
  std::vector<std::string> files;  // the image files, in the order they form the sector space
  std::string dataTrackFile;  // the file holding track 1: compressed outputs are named after it
  std::string cueSheet;       // the sheet in use, or empty
  CueSheet sheet;             // its FILE and TRACK lines (empty without a sheet)
  std::vector<std::string> warnings;  // "Warning: " lines, in order
  std::string refusal;                // why the input must not be used (no "ERROR: ", no stop)
  int openError = 0;                  // errno when nothing could be opened (no refusal line)
};

// Resolves `given` (an image or a .cue), opens `image` on the disc's files and checks that it is a
// raw CD image of 2352-byte sectors. True when the disc is open and may be used; otherwise either
// `refusal` holds the reason to report or `openError` the errno of an open that failed.
bool OpenDiscInput(const std::string& given, DiscInput& input, ImageFile& image);

// Whether `s` ends in `suffix`, letter case aside.
bool EndsWithNoCase(const std::string& s, const char* suffix);

// Whether `n` bytes begin as a compressed image's block does: a zlib stream (deflate, a window of
// at most 32 KiB, the check bits right) or a bzip2 stream ("BZh1" to "BZh9").
bool StartsWithCompressedStream(const uint8_t* bytes, size_t n);

// Fills `table` with the audio tracks of the sheet, placed in the open image's sector space.
// Returns a "Warning: " line in `warning` when the image ends before tracks the sheet names.
uint32_t FillDiscTracks(const DiscInput& input, const ImageFile& image, AudioTrackTable& table,
                        const std::function<void(uint32_t track, uint32_t firstSector)>& onTrack,
                        std::string* warning);

}  // namespace quarnel
