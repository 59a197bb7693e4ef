// Cue sheets: the FILE, TRACK, INDEX and PREGAP lines, and the audio tracks they give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/media_tables.h"

namespace quarnel {

// Cue files larger than this are not read.
constexpr size_t CUE_SHEET_MAX_SIZE = 1 << 20;
// A sheet keeps this many of the lines it could not use; the rest are only counted.
constexpr size_t CUE_UNUSED_LINES_KEPT = 5;

constexpr int64_t NO_INDEX = -1;

struct CueTrack {
  uint32_t number = 0;
  bool audio = false;
  size_t file = 0;            // index into CueSheet::files; 0 for a track before any FILE line
  int64_t index0 = NO_INDEX;  // sectors from the start of its file
  int64_t index1 = NO_INDEX;
};

struct CueSheet {
  std::vector<std::string> files;   // the FILE names, in order, as written
  std::vector<uint32_t> fileLines;  // the line number of each FILE
  std::vector<CueTrack> tracks;     // in order
  // The first lines that could not be used, each "line 7: INDEX 01 99:xx:00 is not a time", and
  // how many there are in all.
  std::vector<std::string> unusedLines;
  uint32_t unusedLineCount = 0;
  // "line N: ..." when a line makes the whole sheet unusable (a track number past 99, a 100th
  // TRACK or FILE, a FILE without a name or named twice); reading stopped there.
  std::string fault;
};

// Reads the lines whose first word (any leading blanks, either letter case) is FILE, TRACK or
// INDEX; lines count from 1, a line ends at CR, LF or CR LF. PREGAP is silence that no file holds,
// so it places nothing in the sector space and is skipped like REM, TITLE and the other lines that
// carry no position. Any other line, and a FILE, TRACK or INDEX line that cannot be read, is noted
// in `unusedLines`. The text ends at its first zero byte.
CueSheet ReadCueSheet(std::string_view text);

// Text of a sheet as a message shows it: blanks trimmed, control bytes as '?', cut to a few dozen
// bytes.
std::string QuotedCueText(std::string_view text);

// What ended the list of audio tracks early because the image, or a file of it, is shorter than
// the sheet says.
struct CueShortfall {
  uint32_t track = 0;  // 0: nothing was cut
  uint64_t firstSector = 0;
  bool fileTooShort = false;  // its file ends before it (else the image does)
  size_t file = 0;            // that file, and its sectors
  uint64_t fileSectors = 0;
};

// Fills the audio tracks 2, 3, ... of `table` and returns how many there are (also stored in
// table.audioTrackCount). `fileStart[i]` is the first sector of the sheet's file i in the joined
// image. Track 1's lastSector becomes the sector before track 2's pregap or start; the last audio
// track ends at sectorCount - 1. The list ends at the last track that has its own INDEX 01 and
// starts after its predecessor, inside its own file and before the image's last sector. `onTrack`
// is called once per accepted track, in order.
uint32_t FillAudioTracks(const CueSheet& sheet, const std::vector<uint64_t>& fileStart,
                         uint32_t sectorCount, AudioTrackTable& table,
                         const std::function<void(uint32_t track, uint32_t firstSector)>& onTrack,
                         CueShortfall* shortfall = nullptr);

// The sheet of one image file: every time counts from the start of that file.
uint32_t ParseCueSheet(std::string_view text, uint32_t sectorCount, AudioTrackTable& table,
                       const std::function<void(uint32_t track, uint32_t firstSector)>& onTrack);

}  // namespace quarnel
