#include "analysis/cue_sheet.h"

#include <cctype>

#include "common/sector.h"

namespace quarnel {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view SkipBlanks(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

// The first word of `line` (cut from it), in upper case.
std::string TakeWord(std::string_view& line) {
  line = SkipBlanks(line);
  size_t n = 0;
  std::string word;
  while (n < line.size() && !IsBlank(line[n])) {
    word += static_cast<char>(std::toupper(static_cast<unsigned char>(line[n])));
    ++n;
  }
  line = line.substr(n);
  return word;
}

// A run of decimal digits; false when there is none or it does not fit.
bool TakeNumber(std::string_view& s, uint64_t* value) {
  size_t n = 0;
  uint64_t v = 0;
  while (n < s.size() && s[n] >= '0' && s[n] <= '9') {
    if (v >= (1ull << 40)) return false;
    v = v * 10 + static_cast<uint64_t>(s[n] - '0');
    ++n;
  }
  if (n == 0) return false;
  *value = v;
  s = s.substr(n);
  return true;
}

// mm:ss:ff (75 frames per second) as a sector count.
bool ReadTime(std::string_view s, int64_t* sector) {
  s = SkipBlanks(s);
  uint64_t minutes, seconds, frames;
  if (!TakeNumber(s, &minutes) || s.empty() || s[0] != ':') return false;
  s = s.substr(1);
  if (!TakeNumber(s, &seconds) || s.empty() || s[0] != ':') return false;
  s = s.substr(1);
  if (!TakeNumber(s, &frames)) return false;
  *sector = static_cast<int64_t>((minutes * 60 + seconds) * FRAMES_PER_SECOND + frames);
  return true;
}

// FILE "name with spaces" TYPE, or FILE name TYPE.
std::string FileName(std::string_view rest) {
  rest = SkipBlanks(rest);
  if (!rest.empty() && rest[0] == '"') {
    const size_t close = rest.find('"', 1);
    return std::string(
        rest.substr(1, close == std::string_view::npos ? rest.size() - 1 : close - 1));
  }
  // Unquoted: the type is the last word.
  while (!rest.empty() && IsBlank(rest.back())) rest.remove_suffix(1);
  const size_t last = rest.find_last_of(" \t");
  if (last != std::string_view::npos) rest = rest.substr(0, last);
  while (!rest.empty() && IsBlank(rest.back())) rest.remove_suffix(1);
  return std::string(rest);
}

}  // namespace

CueSheet ReadCueSheet(std::string_view text) {
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);

  CueSheet sheet;
  while (!text.empty()) {
    const size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

    const std::string keyword = TakeWord(line);
    if (keyword == "FILE") {
      sheet.files.push_back(FileName(line));
    } else if (keyword == "TRACK") {
      std::string_view rest = SkipBlanks(line);
      uint64_t number;
      if (!TakeNumber(rest, &number) || number > MAX_TRACKS) number = 0;
      CueTrack track;
      track.number = static_cast<uint32_t>(number);
      track.audio = TakeWord(rest) == "AUDIO";
      track.file = sheet.files.empty() ? 0 : sheet.files.size() - 1;
      sheet.tracks.push_back(track);
    } else if (keyword == "INDEX" && !sheet.tracks.empty()) {
      std::string_view rest = SkipBlanks(line);
      uint64_t number;
      int64_t time;
      if (!TakeNumber(rest, &number) || !ReadTime(rest, &time)) continue;
      CueTrack& track = sheet.tracks.back();
      if (number == 0 && track.index0 == NO_INDEX) track.index0 = time;
      if (number == 1 && track.index1 == NO_INDEX) track.index1 = time;
    }
  }
  return sheet;
}

uint32_t FillAudioTracks(const CueSheet& sheet, const std::vector<uint64_t>& fileStart,
                         uint32_t sectorCount, AudioTrackTable& table,
                         const std::function<void(uint32_t track, uint32_t firstSector)>& onTrack,
                         CueShortfall* shortfall) {
  table.audioTrackCount = 0;
  uint32_t n = 2;
  uint64_t previousFirst = 0;  // track 1 starts at sector 0
  for (size_t i = 1; i < sheet.tracks.size() && n <= MAX_TRACKS; ++i, ++n) {
    const CueTrack& track = sheet.tracks[i];
    if (track.number != n || !track.audio || track.index1 == NO_INDEX) break;
    if (track.index0 != NO_INDEX && track.index0 > track.index1) break;
    const uint64_t base = track.file < fileStart.size() ? fileStart[track.file] : 0;
    const uint64_t first = base + static_cast<uint64_t>(track.index1);
    // previousEnd: the sector after the previous track's last.
    const uint64_t previousEnd =
        base + static_cast<uint64_t>(track.index0 != NO_INDEX ? track.index0 : track.index1);
    if (previousEnd <= previousFirst) break;
    // A track must start before the image's last sector: one that does not was cut off.
    if (first + 1 >= static_cast<uint64_t>(sectorCount)) {
      if (shortfall) *shortfall = {n, first};
      break;
    }
    table.track[n - 1].lastSector = static_cast<uint32_t>(previousEnd - 1);
    table.track[n].firstSector = static_cast<uint32_t>(first);
    previousFirst = first;
    onTrack(n, table.track[n].firstSector);
    table.audioTrackCount += 1;
  }
  if (table.audioTrackCount != 0)
    table.track[table.audioTrackCount + 1].lastSector = sectorCount - 1;
  return table.audioTrackCount;
}

uint32_t ParseCueSheet(std::string_view text, uint32_t sectorCount, AudioTrackTable& table,
                       const std::function<void(uint32_t track, uint32_t firstSector)>& onTrack) {
  return FillAudioTracks(ReadCueSheet(text), {}, sectorCount, table, onTrack);
}

}  // namespace quarnel
