// "Analyse ISO" of a disc kept as one to four image files and a cue sheet naming them, opened
// through the sheet (or now and then through its first file). The harness writes the sheet itself
// and knows what each line says, so it checks the outcome against it: a sheet the reader must
// refuse (a track number past 99, a 100th TRACK or FILE, a FILE named again) is refused at its
// line, as is a FILE that is missing or names an earlier one's file under another name; a set
// whose joined sectors do not look raw is refused as such; an opened set has the sheet's files in
// order, and its audio tracks start where their FILE and INDEX 01 lines put them, inside their
// own file and the image, each ending before the next; the tables are ones processing can trust.
//
// Input: see disc_set_input.h. Set QUARNEL_FUZZ_SHOW to see the files, sheet and log of each input.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/analyse_disc.h"
#include "analysis/cue_sheet.h"
#include "common/sector.h"
#include "disc_set_input.h"
#include "fuzz_support.h"

using namespace quarnel;
using namespace quarnel::fuzz::disc_set;

namespace {

constexpr uint32_t SYNC_PROBE_SECTORS = 32;  // as many first sectors as the raw-image test reads
constexpr uint8_t SUBMODES[] = {SUBMODE_DATA, 0x64, 0x48, 0x89};
const char* const NAMES[MAX_FILES] = {"Game (Track 1).bin", "TRACK02.BIN", "Game (Track 3).bin",
                                      "track4.bin"};
constexpr const char* MISSING = "missing.bin";

struct FileLine {
  uint32_t line;
  int file;  // the set's file it names, -1 for the missing one
};

struct TrackLine {
  uint32_t number;
  bool audio;
  size_t fileLine;  // the FILE line it follows (0 before any)
  int64_t index0 = NO_INDEX, index1 = NO_INDEX;
};

// The sheet as written, with what each line says.
struct Sheet {
  bool crlf = false;
  std::string text;
  uint32_t lines = 0;
  std::vector<FileLine> files;
  std::vector<std::string> fileKeys;  // as the reader compares FILE names
  std::vector<TrackLine> tracks;
  uint32_t faultLine = 0;  // the first line the reader must refuse, 0 for none
  int64_t lastIndexOne = 0;

  void Add(const std::string& line) {
    text += line + (crlf ? "\r\n" : "\n");
    ++lines;
  }
  void Fault() {
    if (faultLine == 0) faultLine = lines;
  }
};

std::string Time(uint32_t sectors, bool broken = false) {
  char text[32];
  const uint32_t seconds = sectors / FRAMES_PER_SECOND;
  std::snprintf(text, sizeof text, broken ? "%02u:x%02u:%02u" : "%02u:%02u:%02u", seconds / 60,
                seconds % 60, sectors % FRAMES_PER_SECOND);
  return text;
}

std::string Cased(std::string s, bool upper) {
  for (char& c : s) {
    const auto u = static_cast<unsigned char>(c);
    c = static_cast<char>(upper ? std::toupper(u) : std::tolower(u));
  }
  return s;
}

void AddFile(Sheet& sheet, uint32_t pick, size_t fileCount) {
  const int file = static_cast<int>((pick & FILE_BITS) % (fileCount + 1));
  const std::string base = file == static_cast<int>(fileCount) ? MISSING : NAMES[file];
  const std::string variants[VARIANT_COUNT] = {base,          Cased(base, true), Cased(base, false),
                                               "sub/" + base, "sub\\" + base,    "./" + base};
  const std::string name = variants[(pick / 8) % VARIANT_COUNT];
  const bool quoted = name.find(' ') != std::string::npos || (pick & UNQUOTED) == 0;
  sheet.Add("FILE " + (quoted ? "\"" + name + "\"" : name) + ((pick & NO_TYPE) ? "" : " BINARY"));
  std::string key = Cased(name, false);
  for (char& c : key) c = c == '\\' ? '/' : c;
  for (const std::string& earlier : sheet.fileKeys) {
    if (earlier == key) sheet.Fault();
  }
  if (sheet.files.size() >= MAX_TRACKS) sheet.Fault();
  sheet.files.push_back({sheet.lines, file == static_cast<int>(fileCount) ? -1 : file});
  sheet.fileKeys.push_back(key);
  sheet.lastIndexOne = 0;
}

void AddTrack(Sheet& sheet, uint32_t number, uint32_t type) {
  const char* const TYPES[] = {" MODE2/2352", " AUDIO", " AUDIO", ""};
  char line[48];
  std::snprintf(line, sizeof line, "  TRACK %02u%s", number, TYPES[type % 4]);
  sheet.Add(line);
  if (sheet.tracks.size() >= MAX_TRACKS || number > MAX_TRACKS) sheet.Fault();
  const size_t fileLine = sheet.files.empty() ? 0 : sheet.files.size() - 1;
  sheet.tracks.push_back({number, type % 4 == 1 || type % 4 == 2, fileLine});
}

void AddIndex(Sheet& sheet, uint32_t number, uint32_t sectors, bool broken) {
  char line[48];
  std::snprintf(line, sizeof line, "    INDEX %02u %s", number, Time(sectors, broken).c_str());
  sheet.Add(line);
  if (broken || sheet.tracks.empty()) return;
  TrackLine& track = sheet.tracks.back();
  int64_t* index = number == 0 ? &track.index0 : number == 1 ? &track.index1 : nullptr;
  if (index != nullptr && *index == NO_INDEX) *index = sectors;
  if (number == 1) sheet.lastIndexOne = sectors;
}

Sheet MakeSheet(fuzz::Input& in, size_t fileCount, bool crlf) {
  Sheet sheet;
  sheet.crlf = crlf;
  uint32_t next = 1;
  while (in.size != 0) {
    switch (in.Byte() % OP_COUNT) {
      case FILE_LINE:
        AddFile(sheet, in.Byte(), fileCount);
        break;
      case TRACK_LINE: {
        const uint32_t pick = in.Byte();
        const uint32_t number = pick < NUMBER_JUMP ? next : (pick - NUMBER_JUMP) * 8;
        AddTrack(sheet, number, in.Byte());
        next = number + 1;
        break;
      }
      case INDEX_LINE: {
        const uint32_t pick = in.Byte();
        AddIndex(sheet, pick % 3, in.U16(), pick >= BROKEN_TIME);
        break;
      }
      case PREGAP_LINE:
        sheet.Add("    PREGAP " + Time(in.U16()));
        break;
      case REM_LINE:
        sheet.Add("REM COMMENT \"set\"");
        break;
      case BLANK_LINE:
        sheet.Add("");
        break;
      case UNKNOWN_LINE:
        sheet.Add("SIZE_INFO 0x01");
        break;
      case TRACK_RUN:
        for (uint32_t k = 1 + in.Byte() % 128; k != 0; --k, ++next) {
          AddTrack(sheet, next, AUDIO_TRACK);
          AddIndex(sheet, 1, static_cast<uint32_t>(sheet.lastIndexOne + 2), false);
        }
        break;
    }
  }
  return sheet;
}

// A sector of noise, made once: CD audio.
const uint8_t* Noise() {
  static const auto noise = [] {
    std::vector<uint8_t> bytes(SECTOR_SIZE);
    uint32_t x = 2463534242u;
    for (uint8_t& b : bytes) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
  }();
  return noise.data();
}

// One sector of the given content at sector `n` of the set's natural order.
FUZZ_UNCOVERED void FillSector(uint8_t* s, uint32_t content, uint32_t n, uint32_t nInFile) {
  if ((content & 3) == ZEROS) return;
  if ((content & 3) == CD_AUDIO) {
    std::memcpy(s, Noise(), SECTOR_SIZE);
    std::memcpy(s, &n, sizeof n);  // no two sectors alike, and never the sync pattern
    return;
  }
  if ((content & 3) == PARTLY_DATA && nInFile < (content >> 4) * 3) return;
  std::memcpy(s, CD_SYNC, SYNC_SIZE);
  WriteHeaderAddress(s, n);
  s[MODE_OFFSET] = 2;
  const uint8_t subheader[4] = {1, 0, SUBMODES[(content >> 2) & 3], 0};
  std::memcpy(s + SUBHEADER_OFFSET, subheader, sizeof subheader);
  std::memcpy(s + SUBHEADER_COPY_OFFSET, subheader, sizeof subheader);
}

FUZZ_UNCOVERED std::vector<std::vector<uint8_t>> MakeFiles(fuzz::Input& in, uint32_t count) {
  std::vector<std::vector<uint8_t>> files(count);
  uint32_t n = 0;  // the sector's number when the files are taken in order
  for (std::vector<uint8_t>& bytes : files) {
    const uint32_t sectors = in.Byte();
    const uint32_t tail = in.U16();
    const uint32_t content = in.Byte();
    const size_t partial = (tail & PARTIAL_SECTOR) ? (tail & 0x7FFF) % SECTOR_SIZE : 0;
    bytes.assign(size_t{sectors} * SECTOR_SIZE + partial, 0);
    uint8_t sector[SECTOR_SIZE];
    for (uint32_t k = 0; k * SECTOR_SIZE < bytes.size(); ++k, ++n) {
      std::memset(sector, 0, sizeof sector);
      FillSector(sector, content, n, k);
      const size_t at = size_t{k} * SECTOR_SIZE;
      std::memcpy(bytes.data() + at, sector, std::min<size_t>(SECTOR_SIZE, bytes.size() - at));
    }
  }
  return files;
}

// The line a sheet given by name must be refused at, 0 for none: a line the reader refuses, else
// the first FILE that is missing or names a file named before.
uint32_t RefusalLine(const Sheet& sheet) {
  if (sheet.faultLine != 0) return sheet.faultLine;
  std::vector<int> named;
  for (const FileLine& f : sheet.files) {
    if (f.file < 0 || std::find(named.begin(), named.end(), f.file) != named.end()) return f.line;
    named.push_back(f.file);
  }
  return 0;
}

// The set joined in the sheet's order: each FILE line's first sector, and the image's size.
struct Joined {
  std::vector<uint64_t> start;
  uint64_t bytes = 0;
  bool raw = false;  // what the raw-image test must conclude
};

FUZZ_UNCOVERED Joined Join(const Sheet& sheet, const std::vector<std::vector<uint8_t>>& files) {
  Joined j;
  std::vector<uint8_t> head;  // the first sectors, for the sync test
  for (size_t i = 0; i < sheet.files.size(); ++i) {
    const std::vector<uint8_t>& f = files[static_cast<size_t>(sheet.files[i].file)];
    const bool last = i + 1 == sheet.files.size();
    const size_t used = last ? f.size() : f.size() / SECTOR_SIZE * SECTOR_SIZE;
    j.start.push_back(j.bytes / SECTOR_SIZE);
    j.bytes += used;
    const size_t wanted = SYNC_PROBE_SECTORS * SECTOR_SIZE;
    head.insert(head.end(), f.begin(),
                f.begin() + std::min(used, wanted - std::min(wanted, head.size())));
  }
  const uint64_t sectors = std::max<uint64_t>(1, j.bytes / SECTOR_SIZE);
  for (uint64_t n = 0; n < std::min<uint64_t>(SYNC_PROBE_SECTORS, sectors); ++n) {
    const size_t at = n * SECTOR_SIZE;
    j.raw |=
        at + SYNC_SIZE <= head.size() && std::memcmp(head.data() + at, CD_SYNC, SYNC_SIZE) == 0;
  }
  return j;
}

FUZZ_UNCOVERED std::vector<std::pair<uint32_t, uint32_t>> ReportedTracks(
    const std::vector<std::string>& log) {
  std::vector<std::pair<uint32_t, uint32_t>> reported;
  for (const std::string& line : log) {
    unsigned track, first;
    if (std::sscanf(line.c_str(), "- Audio track %u found at sector %u", &track, &first) == 2) {
      reported.emplace_back(track, first);
    }
  }
  return reported;
}

// What every opened disc promises, however it was named.
FUZZ_UNCOVERED void CheckOpened(const DiscAnalysis& analysis, const std::vector<std::string>& log) {
  fuzz::CheckTables(analysis, analysis.sectorCount);
  const AudioTrackTable& tracks = analysis.AudioTracks;
  fuzz::CheckTracks(tracks, tracks.audioTrackCount, analysis.sectorCount, ReportedTracks(log));
  if (std::find(analysis.files.begin(), analysis.files.end(), analysis.dataTrackFile) ==
      analysis.files.end()) {
    std::abort();
  }
  size_t sheetWarnings = 0;
  for (const std::string& line : log) {
    sheetWarnings +=
        line.rfind("Warning: cue sheet ", 0) == 0 && line.find(", line ") != std::string::npos;
  }
  if (sheetWarnings > CUE_UNUSED_LINES_KEPT) std::abort();
}

// The set opened through its sheet: the files in the sheet's order, each audio track where its
// FILE and INDEX 01 lines put it and inside its own file.
FUZZ_UNCOVERED void CheckSheetOpened(const DiscAnalysis& analysis, const Sheet& sheet,
                                     const Joined& joined, const fuzz::ScratchDir& dir) {
  if (analysis.files.size() != sheet.files.size() ||
      analysis.sectorCount != joined.bytes / SECTOR_SIZE) {
    std::abort();
  }
  for (size_t i = 0; i < sheet.files.size(); ++i) {
    if (!std::filesystem::equivalent(analysis.files[i], dir.File(NAMES[sheet.files[i].file])))
      std::abort();
  }
  const AudioTrackTable& table = analysis.AudioTracks;
  for (uint32_t n = 2; n < table.audioTrackCount + 2; ++n) {
    if (n - 1 >= sheet.tracks.size()) std::abort();
    const TrackLine& t = sheet.tracks[n - 1];
    if (t.number != n || !t.audio || t.index1 == NO_INDEX) std::abort();
    const uint64_t first = table.track[n].firstSector;
    const uint64_t fileStart = t.fileLine < joined.start.size() ? joined.start[t.fileLine] : 0;
    const bool lastFile = t.fileLine + 1 >= joined.start.size();
    if (first != fileStart + static_cast<uint64_t>(t.index1)) std::abort();
    if (!lastFile && first >= joined.start[t.fileLine + 1]) std::abort();
  }
}

// With QUARNEL_FUZZ_SHOW set, what a reproducer made: the files, the sheet and the log.
void Show(const Sheet& sheet, const std::vector<std::vector<uint8_t>>& files,
          const std::vector<std::string>& log) {
  for (size_t i = 0; i < files.size(); ++i) {
    std::fprintf(stderr, "file %s: %zu bytes\n", NAMES[i], files[i].size());
  }
  std::fprintf(stderr, "sheet:\n%s\nlog:\n", sheet.text.c_str());
  for (const std::string& line : log) std::fprintf(stderr, "  %s\n", line.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in{data, size};
  const uint32_t flags = in.Byte();
  const std::vector<std::vector<uint8_t>> files = MakeFiles(in, 1 + (flags & FILE_COUNT_BITS));
  const Sheet sheet = MakeSheet(in, files.size(), (flags & CRLF) != 0);
  const bool throughImage = (flags & OPEN_FIRST_FILE) == OPEN_FIRST_FILE;

  fuzz::ScratchDir dir;
  for (size_t i = 0; i < files.size(); ++i)
    fuzz::WriteFile(dir.File(NAMES[i]), files[i].data(), files[i].size());
  const std::string cue = dir.File("disc.cue");
  const std::string text = ((flags & BYTE_ORDER_MARK) ? "\xEF\xBB\xBF" : "") + sheet.text;
  fuzz::WriteFile(cue, reinterpret_cast<const uint8_t*>(text.data()), text.size());

  fuzz::LogKeeper reporter;
  const std::string given = throughImage ? dir.File(NAMES[0]) : cue;
  const AnalysisResult result = AnalyseDisc({.ImagePath = given}, reporter);
  static const bool show = std::getenv("QUARNEL_FUZZ_SHOW") != nullptr;
  if (show) Show(sheet, files, reporter.log);
  if (!result.Opened() && (!result.refused || result.message.empty())) std::abort();
  if (result.Opened()) CheckOpened(*result.analysis, reporter.log);
  if (throughImage) {
    // A sheet found beside an image is only ever left unused.
    if (!result.Opened() && result.message.find("cue sheet") != std::string::npos) std::abort();
    return 0;
  }

  const std::string sheetError = "cue sheet " + cue;
  if (const uint32_t line = RefusalLine(sheet); line != 0) {
    if (result.message.rfind(sheetError + ", line " + std::to_string(line) + ": ", 0) != 0)
      std::abort();
    return 0;
  }
  if (sheet.files.empty()) {
    if (result.message != sheetError + " names no FILE") std::abort();
    return 0;
  }
  const Joined joined = Join(sheet, files);
  if (result.Opened() != (joined.bytes != 0 && joined.raw)) std::abort();
  if (result.Opened()) CheckSheetOpened(*result.analysis, sheet, joined, dir);
  return 0;
}
