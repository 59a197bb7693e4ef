#include "analysis/cue_sheet.h"

#include <algorithm>
#include <cctype>

#include "common/sector.h"

namespace quarnel {

namespace {

// Lines that place nothing in the sector space.
constexpr std::string_view SKIPPED_KEYWORDS[] = {"REM",     "TITLE",      "PERFORMER", "SONGWRITER",
                                                 "CATALOG", "CDTEXTFILE", "ISRC",      "FLAGS",
                                                 "PREGAP",  "POSTGAP"};
// A line is quoted in a message up to this many bytes: enough to recognise it.
constexpr size_t QUOTED_LINE_MAX = 48;
constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
// Numbers are read up to this value: a larger one is as wrong, and none overflows.
constexpr uint64_t NUMBER_MAX = uint64_t{1} << 40;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view SkipBlanks(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

std::string_view Trim(std::string_view s) {
  s = SkipBlanks(s);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
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

// A run of decimal digits ending at a blank, the end or `stop`; false when there is none. Values
// past NUMBER_MAX read as NUMBER_MAX.
bool TakeNumber(std::string_view& s, uint64_t* value, char stop = ' ') {
  size_t n = 0;
  uint64_t v = 0;
  while (n < s.size() && s[n] >= '0' && s[n] <= '9') {
    v = std::min(NUMBER_MAX, v * 10 + static_cast<uint64_t>(s[n] - '0'));
    ++n;
  }
  if (n == 0 || (n < s.size() && !IsBlank(s[n]) && s[n] != stop)) return false;
  *value = v;
  s = s.substr(n);
  return true;
}

// mm:ss:ff (75 frames per second, so ff below 75 and ss below 60) as a sector count.
bool ReadTime(std::string_view s, int64_t* sector) {
  s = SkipBlanks(s);
  uint64_t minutes, seconds, frames;
  if (!TakeNumber(s, &minutes, ':') || s.empty() || s[0] != ':') return false;
  s = s.substr(1);
  if (!TakeNumber(s, &seconds, ':') || s.empty() || s[0] != ':') return false;
  s = s.substr(1);
  if (!TakeNumber(s, &frames) || seconds >= 60 || frames >= FRAMES_PER_SECOND) return false;
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
  rest = Trim(rest);
  const size_t last = rest.find_last_of(" \t");
  if (last != std::string_view::npos) rest = Trim(rest.substr(0, last));
  return std::string(rest);
}

// Two FILE names that name the same file whatever the letter case and the kind of slash.
std::string NameKey(std::string name) {
  for (char& c : name) {
    c = c == '\\' ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return name;
}

}  // namespace

std::string QuotedCueText(std::string_view s) {
  s = Trim(s);
  const bool cut = s.size() > QUOTED_LINE_MAX;
  if (cut) {
    size_t n = QUOTED_LINE_MAX;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;  // whole characters
    s = s.substr(0, n);
  }
  std::string out;
  for (char c : s) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  return cut ? out + "..." : out;
}

namespace {

// Reads a sheet line by line into `sheet`.
class SheetReader {
 public:
  explicit SheetReader(CueSheet& sheet) : sheet_(sheet) {}
  // False when line `number` makes the sheet unusable: reading stops there.
  bool Read(uint32_t number, std::string_view line);

 private:
  bool File(std::string_view rest);
  bool Track(std::string_view rest);
  void Index(std::string_view rest);
  void Unused(const std::string& why);
  bool Fault(const std::string& why);
  std::string At() const { return "line " + std::to_string(number_) + ": "; }

  CueSheet& sheet_;
  uint32_t number_ = 0;
  std::string_view line_;
};

bool SheetReader::Read(uint32_t number, std::string_view line) {
  number_ = number;
  line_ = line;
  const std::string keyword = TakeWord(line);
  if (keyword.empty()) return true;
  if (keyword == "FILE") return File(line);
  if (keyword == "TRACK") return Track(line);
  if (keyword == "INDEX") {
    Index(line);
  } else if (std::find(std::begin(SKIPPED_KEYWORDS), std::end(SKIPPED_KEYWORDS), keyword) ==
             std::end(SKIPPED_KEYWORDS)) {
    const std::string_view lead = SkipBlanks(line_);
    Unused(QuotedCueText(lead.substr(0, lead.size() - line.size())) +
           " is not a cue sheet keyword");
  }
  return true;
}

bool SheetReader::File(std::string_view rest) {
  const std::string name = FileName(rest);
  if (name.empty()) return Fault("FILE names no file");
  if (sheet_.files.size() >= MAX_TRACKS) {
    return Fault("more than 99 FILE lines: a disc has at most 99 tracks");
  }
  const std::string key = NameKey(name);
  for (size_t i = 0; i < sheet_.files.size(); ++i) {
    if (NameKey(sheet_.files[i]) == key) {
      return Fault("FILE \"" + QuotedCueText(name) + "\" names the file of line " +
                   std::to_string(sheet_.fileLines[i]) + " again");
    }
  }
  sheet_.files.push_back(name);
  sheet_.fileLines.push_back(number_);
  return true;
}

// A TRACK line that cannot be read still ends the list of audio tracks where it stands.
bool SheetReader::Track(std::string_view rest) {
  if (sheet_.tracks.size() >= MAX_TRACKS) {
    return Fault("more than 99 TRACK lines: a disc has at most 99 tracks");
  }
  rest = SkipBlanks(rest);
  uint64_t number = 0;
  const bool numbered = TakeNumber(rest, &number);
  if (numbered && number > MAX_TRACKS) return Fault(QuotedCueText(line_) + ": tracks end at 99");
  const std::string type = TakeWord(rest);
  CueTrack track;
  track.file = sheet_.files.empty() ? 0 : sheet_.files.size() - 1;
  track.audio = type == "AUDIO";
  if (!numbered || number == 0) {
    Unused(QuotedCueText(line_) + " has no track number from 1 to 99");
  } else {
    track.number = static_cast<uint32_t>(number);
    if (type.empty()) Unused(QuotedCueText(line_) + " has no track type");
  }
  sheet_.tracks.push_back(track);
  return true;
}

void SheetReader::Index(std::string_view rest) {
  if (sheet_.tracks.empty()) return Unused(QuotedCueText(line_) + " comes before any TRACK");
  rest = SkipBlanks(rest);
  uint64_t number;
  int64_t time;
  if (!TakeNumber(rest, &number)) return Unused(QuotedCueText(line_) + " has no index number");
  if (!ReadTime(rest, &time)) return Unused(QuotedCueText(line_) + " is not a time");
  CueTrack& track = sheet_.tracks.back();
  // INDEX 02 and later mark points inside a track: nothing ends or starts there.
  int64_t* index = number == 0 ? &track.index0 : number == 1 ? &track.index1 : nullptr;
  if (index == nullptr) return;
  if (*index != NO_INDEX) return Unused(QuotedCueText(line_) + " repeats the track's INDEX");
  *index = time;
}

void SheetReader::Unused(const std::string& why) {
  if (sheet_.unusedLineCount < UINT32_MAX) ++sheet_.unusedLineCount;
  if (sheet_.unusedLines.size() < CUE_UNUSED_LINES_KEPT) sheet_.unusedLines.push_back(At() + why);
}

bool SheetReader::Fault(const std::string& why) {
  sheet_.fault = At() + why;
  return false;
}

}  // namespace

CueSheet ReadCueSheet(std::string_view text) {
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  if (text.substr(0, UTF8_BOM.size()) == UTF8_BOM) text.remove_prefix(UTF8_BOM.size());

  CueSheet sheet;
  SheetReader reader(sheet);
  for (uint32_t number = 1; !text.empty(); ++number) {
    const size_t end = text.find_first_of("\r\n");
    const std::string_view line = text.substr(0, end);
    size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (next < text.size() && text[end] == '\r' && text[next] == '\n') ++next;  // CR LF
    text.remove_prefix(next);
    if (!reader.Read(number, line)) break;
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
    const bool lastFile = track.file + 1 >= fileStart.size();
    const uint64_t first = base + static_cast<uint64_t>(track.index1);
    // previousEnd: the sector after the previous track's last.
    const uint64_t previousEnd =
        base + static_cast<uint64_t>(track.index0 != NO_INDEX ? track.index0 : track.index1);
    if (previousEnd <= previousFirst) break;
    // A track must start inside its file and before the image's last sector: one that does not
    // was cut off.
    if (!lastFile && first >= fileStart[track.file + 1]) {
      if (shortfall) *shortfall = {n, first, true, track.file, fileStart[track.file + 1] - base};
      break;
    }
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
