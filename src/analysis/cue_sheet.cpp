#include "analysis/cue_sheet.h"

#include <cstdio>
#include <string>

namespace quarnel {

namespace {

constexpr size_t npos = std::string_view::npos;

// A run of decimal digits at `pos`; false when `pos` lies outside the text. No digit reads as 0.
bool ReadNumber(std::string_view text, size_t pos, uint64_t* value) {
  if (pos >= text.size()) return false;
  uint64_t v = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    if (v < (1ull << 40)) v = v * 10 + static_cast<uint64_t>(text[pos] - '0');
    ++pos;
  }
  *value = v;
  return true;
}

// mm:ss:ff with the minutes at `m`, seconds at `m` + 3 and frames at `m` + 6, as a sector number.
bool ReadTime(std::string_view text, size_t m, uint64_t* sector) {
  uint64_t minutes, seconds, frames;
  if (!ReadNumber(text, m, &minutes) || !ReadNumber(text, m + 3, &seconds) ||
      !ReadNumber(text, m + 6, &frames)) {
    return false;
  }
  *sector = (minutes * 60 + seconds) * 75 + frames;
  return true;
}

}  // namespace

uint32_t ParseCueSheet(std::string_view text, uint32_t sectorCount, AudioTrackTable& table,
                       const std::function<void(uint32_t track, uint32_t firstSector)>& onTrack) {
  // The text ends at its first zero byte, like the C string it is read as.
  const size_t nul = text.find('\0');
  if (nul != npos) text = text.substr(0, nul);

  table.audioTrackCount = 0;
  const size_t trackPos = text.find("TRACK");
  if (trackPos == npos) return 0;

  // The width of the first track number decides how the audio track lines are written.
  const size_t numberPos = trackPos + 6;
  if (numberPos >= text.size()) return 0;
  const size_t space = text.find(' ', numberPos);
  if (space == npos || space == numberPos) return 0;
  for (size_t i = numberPos; i < space; ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
  }
  const size_t width = space - numberPos;
  const char* format = width == 2 ? "TRACK %02u AUDIO" : "TRACK %u AUDIO";

  uint32_t n = 2;
  size_t searchFrom = space;
  uint32_t previousFirst = 0;  // track 1 starts at sector 0
  while (n <= MAX_TRACKS) {
    char pattern[32];
    std::snprintf(pattern, sizeof pattern, format, n);
    const size_t match = text.find(pattern, searchFrom);
    if (match == npos) break;

    const size_t index = text.find("INDEX ", match);
    if (index == npos) break;
    const size_t p = index + 5 + width;  // the last digit of the index number
    if (p >= text.size()) break;

    uint64_t previousEnd, first;  // previousEnd: the sector after the previous track's last
    size_t parsePos;
    if (text[p] == '0') {
      uint64_t pregap;
      if (!ReadTime(text, p + 2, &pregap)) break;
      const size_t next = text.find("INDEX ", p + 8);
      if (next == npos || !ReadTime(text, next + width + 7, &first)) break;
      if (pregap > first) break;
      previousEnd = pregap;
      parsePos = next + width + 13;
    } else if (text[p] == '1') {
      if (!ReadTime(text, p + 2, &first)) break;
      previousEnd = first;
      parsePos = p + 8;
    } else {
      break;  // an index this parse cannot place: no sectors for the track
    }
    // A track must start after its predecessor's start and before the image's last sector.
    if (previousEnd <= previousFirst || first + 1 >= static_cast<uint64_t>(sectorCount)) break;

    table.track[n - 1].lastSector = static_cast<uint32_t>(previousEnd - 1);
    table.track[n].firstSector = static_cast<uint32_t>(first);
    previousFirst = static_cast<uint32_t>(first);
    onTrack(n, table.track[n].firstSector);
    table.audioTrackCount += 1;
    n += 1;
    searchFrom = parsePos;
  }
  if (table.audioTrackCount != 0) table.track[n - 1].lastSector = sectorCount - 1;
  return table.audioTrackCount;
}

}  // namespace quarnel
