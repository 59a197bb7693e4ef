#include "analysis/disc_input.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/image_path.h"
#include "common/sector.h"

namespace quarnel {

namespace {

// A disc whose first sectors all lack the sync pattern is not a raw image; one damaged sector is
// not enough to say so.
constexpr uint32_t SYNC_PROBE_SECTORS = 32;
// An ISO 9660 image of 2048-byte sectors has its first volume descriptor at sector 16.
constexpr uint64_t ISO_IDENTIFIER_OFFSET = 16 * 2048 + 1;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// `name` in `folder`, matched exactly or else in any letter case: the discs come from a platform
// whose file names ignore case. Empty when there is none.
std::string FindInFolder(const std::string& folder, const std::string& name) {
  if (name.empty()) return {};
  if (Exists(folder + name)) return folder + name;
  const std::string wanted = Lower(name);
  for (const std::string& entry : FolderEntries(folder)) {
    if (Lower(entry) == wanted && Exists(folder + entry)) return folder + entry;
  }
  return {};
}

// A FILE line's file: its path relative to the sheet, else its bare name beside the sheet.
std::string ResolveFile(const std::string& folder, std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  if (!name.empty() && name[0] != '/' && name.find('/') != std::string::npos &&
      Exists(folder + name)) {
    return folder + name;
  }
  return FindInFolder(folder, NameOf(name));
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Reads a whole cue sheet; on failure `why` says what is wrong with it.
bool ReadSheetText(const std::string& path, std::string* text, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *why = std::strerror(errno);
    return false;
  }
  struct stat st;
  bool ok = false;
  if (::fstat(fd, &st) != 0) {
    *why = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    *why = "it is not a regular file";
  } else if (static_cast<uint64_t>(st.st_size) > CUE_SHEET_MAX_SIZE) {
    *why = "it is larger than 1 MiB";
  } else {
    text->resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    ok = true;
    while (done < text->size()) {
      const ssize_t r = ::read(fd, text->data() + done, text->size() - done);
      if (r > 0) {
        done += static_cast<size_t>(r);
      } else if (r == 0) {
        break;
      } else if (errno != EINTR) {
        *why = std::strerror(errno);
        ok = false;
        break;
      }
    }
    text->resize(done);
  }
  ::close(fd);
  if (ok && text->find('\0') != std::string::npos) {
    *why = "it is not a text file";
    ok = false;
  }
  return ok;
}

bool HasUsableTrack(const CueSheet& sheet) {
  return std::any_of(sheet.tracks.begin(), sheet.tracks.end(),
                     [](const CueTrack& t) { return t.index1 != NO_INDEX; });
}

// The sheet beside an image: NAME.cue in any letter case, else the one .cue whose FILE lines name
// the image.
std::string FindSheetFor(const std::string& imagePath) {
  const std::string folder = FolderOf(imagePath);
  const std::string name = NameOf(imagePath);
  const size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  std::string sheet = FindInFolder(folder, stem + ".cue");
  if (!sheet.empty()) return sheet;
  for (const std::string& entry : FolderEntries(folder)) {
    if (!EndsWithNoCase(entry, ".cue")) continue;
    std::string text, why;
    if (!ReadSheetText(folder + entry, &text, &why)) continue;
    for (const std::string& file : ReadCueSheet(text).files) {
      const std::string resolved = ResolveFile(folder, file);
      if (!resolved.empty() && SameFile(resolved, imagePath)) return folder + entry;
    }
  }
  return {};
}

std::string Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Line(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// The files a sheet names, in order. False at the first FILE `*bad` that is not there (`*same` is
// then npos) or that names the file of an earlier FILE `*same` by another name.
bool ResolveSheetFiles(const std::string& sheetPath, const CueSheet& sheet,
                       std::vector<std::string>* files, size_t* bad, size_t* same) {
  const std::string folder = FolderOf(sheetPath);
  for (size_t i = 0; i < sheet.files.size(); ++i) {
    *bad = i;
    *same = std::string::npos;
    const std::string resolved = ResolveFile(folder, sheet.files[i]);
    if (resolved.empty()) return false;
    for (size_t k = 0; k < files->size(); ++k) {
      if (SameFile((*files)[k], resolved)) {
        *same = k;
        return false;
      }
    }
    files->push_back(resolved);
  }
  return true;
}

// Why FILE `bad` cannot be used, as "line N: ..."; `missing` ends the sentence for a file that is
// not there.
std::string FileProblem(const CueSheet& sheet, size_t bad, size_t same, const char* missing) {
  const std::string name = QuotedCueText(sheet.files[bad]);
  if (same == std::string::npos) {
    return Line("line %u: FILE \"%s\" %s", sheet.fileLines[bad], name.c_str(), missing);
  }
  return Line("line %u: FILE \"%s\" names the file of line %u again", sheet.fileLines[bad],
              name.c_str(), sheet.fileLines[same]);
}

// One warning for each line of the sheet that could not be used, the first few of them, then how
// many more there are.
void WarnOfUnusedLines(const std::string& sheetPath, const CueSheet& sheet, DiscInput& input) {
  for (const std::string& line : sheet.unusedLines) {
    input.warnings.push_back(Line("Warning: cue sheet %s, %s.", sheetPath.c_str(), line.c_str()));
  }
  const size_t more = sheet.unusedLineCount - sheet.unusedLines.size();
  if (more != 0) {
    input.warnings.push_back(
        Line("Warning: cue sheet %s: %zu more lines cannot be used.", sheetPath.c_str(), more));
  }
}

// A compressed image by its name: a data file beside its side file, or a side file beside its
// data file.
bool IsCompressedByName(const std::string& path) {
  const std::string folder = FolderOf(path);
  const std::string name = NameOf(path);
  for (const char* kind : {".z", ".bz", ".znx"}) {
    if (!EndsWithNoCase(name, kind)) continue;
    if (!FindInFolder(folder, name + ".table").empty() ||
        !FindInFolder(folder, name + ".index").empty()) {
      return true;
    }
  }
  for (const char* side : {".table", ".index"}) {
    if (EndsWithNoCase(name, side) &&
        !FindInFolder(folder, name.substr(0, name.size() - std::strlen(side))).empty()) {
      return true;
    }
  }
  return false;
}

// Whether any of the first sectors starts with the sync pattern (a partial first sector counts).
bool HasSyncedSector(ImageFile& image) {
  const uint64_t sectors = std::max<uint64_t>(1, image.Size() / SECTOR_SIZE);
  const uint32_t probe = static_cast<uint32_t>(std::min<uint64_t>(SYNC_PROBE_SECTORS, sectors));
  for (uint32_t n = 0; n < probe; ++n) {
    uint8_t sync[SYNC_SIZE];
    if (image.ReadAt(static_cast<uint64_t>(n) * SECTOR_SIZE, sync, SYNC_SIZE) == SYNC_SIZE &&
        std::memcmp(sync, CD_SYNC, SYNC_SIZE) == 0) {
      return true;
    }
  }
  return false;
}

// Refuses what is not a raw CD image; warns about a dump that looks cut short.
bool CheckContent(DiscInput& input, ImageFile& image) {
  const char* name = input.dataTrackFile.c_str();
  if (image.Size() == 0) {
    input.refusal = Line("%s is empty: it is not a raw CD image", name);
    return false;
  }
  if (!HasSyncedSector(image)) {
    uint8_t head[4] = {};
    const size_t n = image.ReadAt(0, head, sizeof head);
    char iso[5] = {};
    if (StartsWithCompressedStream(head, n)) {
      input.refusal = Line("%s is a compressed image, not a raw CD image: use uncompress", name);
    } else if (image.ReadAt(ISO_IDENTIFIER_OFFSET, reinterpret_cast<uint8_t*>(iso), 5) == 5 &&
               std::memcmp(iso, "CD001", 5) == 0) {
      input.refusal =
          Line("%s is a 2048-byte-sector ISO, not a raw CD image of 2352-byte sectors", name);
    } else {
      const uint64_t sectors = std::max<uint64_t>(1, image.Size() / SECTOR_SIZE);
      input.refusal = Line(
          "%s is not a raw CD image: none of its first %u sectors starts with the CD sync "
          "pattern",
          name, static_cast<unsigned>(std::min<uint64_t>(SYNC_PROBE_SECTORS, sectors)));
    }
    return false;
  }
  if (image.ReadFailed()) {
    input.refusal = Line("cannot read %s: %s", name, std::strerror(image.ReadErrno()));
    return false;
  }
  for (size_t i = 0; i < image.FileCount(); ++i) {
    const uint64_t size = image.FileSize(i);
    if (size % SECTOR_SIZE == 0) continue;
    input.warnings.push_back(
        Line("Warning: %s is %llu bytes, not a whole number of 2352-byte sectors: the dump looks "
             "incomplete; its last %llu bytes are not used.",
             input.files[i].c_str(), static_cast<unsigned long long>(size),
             static_cast<unsigned long long>(size % SECTOR_SIZE)));
  }
  return true;
}

// Settles files, sheet and data track file for a sheet given in the path box.
bool ResolveGivenSheet(const std::string& given, DiscInput& input) {
  const char* sheetName = given.c_str();
  std::string text, why;
  if (!ReadSheetText(given, &text, &why)) {
    input.refusal = Line("cannot read cue sheet %s: %s", sheetName, why.c_str());
    return false;
  }
  input.sheet = ReadCueSheet(text);
  if (!input.sheet.fault.empty()) {
    input.refusal = Line("cue sheet %s, %s", sheetName, input.sheet.fault.c_str());
    return false;
  }
  if (input.sheet.files.empty()) {
    input.refusal = Line("cue sheet %s names no FILE", sheetName);
    return false;
  }
  size_t bad, same;
  if (!ResolveSheetFiles(given, input.sheet, &input.files, &bad, &same)) {
    const std::string problem = FileProblem(input.sheet, bad, same, "is not beside it");
    input.refusal = Line("cue sheet %s, %s", sheetName, problem.c_str());
    return false;
  }
  input.cueSheet = given;
  WarnOfUnusedLines(given, input.sheet, input);
  if (!HasUsableTrack(input.sheet)) {
    input.warnings.push_back(
        Line("Warning: cue sheet %s has no TRACK with an INDEX 01: its tracks are not used.",
             sheetName));
    input.sheet.tracks.clear();
  }
  return true;
}

// Settles files, sheet and data track file for an image given in the path box.
void ResolveGivenImage(const std::string& given, DiscInput& input) {
  input.files = {given};
  const std::string sheetPath = FindSheetFor(given);
  if (sheetPath.empty()) return;
  const char* sheetName = sheetPath.c_str();
  std::string text, why;
  if (!ReadSheetText(sheetPath, &text, &why)) {
    input.warnings.push_back(
        Line("Warning: cue sheet %s cannot be used: %s.", sheetName, why.c_str()));
    return;
  }
  CueSheet sheet = ReadCueSheet(text);
  WarnOfUnusedLines(sheetPath, sheet, input);
  if (!sheet.fault.empty()) {
    input.warnings.push_back(
        Line("Warning: cue sheet %s cannot be used: %s.", sheetName, sheet.fault.c_str()));
    return;
  }
  if (!HasUsableTrack(sheet)) {
    input.warnings.push_back(
        Line("Warning: cue sheet %s cannot be used: it has no TRACK with an INDEX 01.", sheetName));
    return;
  }
  std::vector<std::string> files;
  size_t bad, same;
  if (!ResolveSheetFiles(sheetPath, sheet, &files, &bad, &same)) {
    const std::string problem =
        FileProblem(sheet, bad, same, "names neither this image nor a file beside it");
    input.warnings.push_back(
        Line("Warning: cue sheet %s cannot be used: %s.", sheetName, problem.c_str()));
    return;
  }
  if (files.size() > 1) {
    if (std::none_of(files.begin(), files.end(),
                     [&](const std::string& f) { return SameFile(f, given); })) {
      input.warnings.push_back(
          Line("Warning: cue sheet %s cannot be used: its FILE lines do not name this image.",
               sheetName));
      return;
    }
    input.files = std::move(files);
  }
  // A sheet of one file describes the image it is named after, as it always has.
  input.sheet = std::move(sheet);
  input.cueSheet = sheetPath;
}

}  // namespace

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  const size_t m = std::strlen(suffix);
  if (s.size() < m) return false;
  for (size_t i = 0; i < m; ++i) {
    const auto a = static_cast<unsigned char>(s[s.size() - m + i]);
    const auto b = static_cast<unsigned char>(suffix[i]);
    if (std::tolower(a) != std::tolower(b)) return false;
  }
  return true;
}

bool StartsWithCompressedStream(const uint8_t* b, size_t n) {
  const bool zlib =
      n >= 2 && (b[0] & 0x0F) == 8 && (b[0] >> 4) <= 7 && (b[0] * 256 + b[1]) % 31 == 0;
  const bool bzip2 =
      n >= 4 && b[0] == 'B' && b[1] == 'Z' && b[2] == 'h' && b[3] >= '1' && b[3] <= '9';
  return zlib || bzip2;
}

bool OpenDiscInput(const std::string& given, DiscInput& input, ImageFile& image) {
  input = DiscInput();
  if (given.empty()) {
    input.openError = ENOENT;
    return false;
  }
  if (EndsWithNoCase(given, ".cue")) {
    if (!ResolveGivenSheet(given, input)) return false;
  } else {
    if (IsCompressedByName(given)) {
      input.refusal = Line("%s is part of a compressed image, not a raw CD image: use uncompress",
                           given.c_str());
      return false;
    }
    ResolveGivenImage(given, input);
  }
  const size_t dataFile =
      input.sheet.tracks.empty() ? 0 : std::min(input.sheet.tracks[0].file, input.files.size() - 1);
  input.dataTrackFile = input.files.size() == 1 ? input.files[0] : input.files[dataFile];

  const size_t limit = IMAGE_PATH_SIZE - 1;  // the path buffer keeps its terminating zero
  const size_t needed = input.dataTrackFile.size() + std::strlen(LONGEST_OUTPUT_SUFFIX);
  if (given.size() > limit || needed > limit) {
    input.refusal =
        Line("path too long: the image's path plus \"%s\" must fit in %zu bytes, and needs %zu",
             LONGEST_OUTPUT_SUFFIX, limit, std::max(given.size(), needed));
    return false;
  }

  if (!image.Open(input.files)) {
    const int error = image.OpenError();
    const char* failed = image.FailedPath().c_str();
    if (error == EWOULDBLOCK) {
      input.refusal = Line("%s is being written by another run of the program", failed);
    } else if (error == EINVAL) {
      input.refusal = Line("%s is neither a regular file nor a block device", failed);
    } else if (input.files.size() > 1 || !input.cueSheet.empty()) {
      input.refusal = Line("cannot open %s: %s", failed, std::strerror(error));
    } else {
      input.openError = error;
    }
    return false;
  }
  if (!CheckContent(input, image)) {
    image.Close();
    return false;
  }
  return true;
}

uint32_t FillDiscTracks(const DiscInput& input, const ImageFile& image, AudioTrackTable& table,
                        const std::function<void(uint32_t track, uint32_t firstSector)>& onTrack,
                        std::string* warning) {
  std::vector<uint64_t> fileStart;
  for (size_t i = 0; i < image.FileCount(); ++i)
    fileStart.push_back(image.FileStart(i) / SECTOR_SIZE);
  const uint64_t sectors64 = image.Size() / SECTOR_SIZE;
  const uint32_t sectorCount = sectors64 > UINT32_MAX ? UINT32_MAX : uint32_t(sectors64);
  CueShortfall shortfall;
  const uint32_t count =
      FillAudioTracks(input.sheet, fileStart, sectorCount, table, onTrack, &shortfall);
  if (shortfall.fileTooShort && warning != nullptr) {
    const char* file =
        shortfall.file < input.files.size() ? input.files[shortfall.file].c_str() : "its file";
    const uint64_t inFile = shortfall.firstSector - fileStart[shortfall.file];
    *warning = Line(
        "Warning: the cue sheet places track %02u at sector %llu of %s, which has %llu sectors: "
        "the dump looks incomplete; the tracks from %02u on are left out.",
        shortfall.track, static_cast<unsigned long long>(inFile), file,
        static_cast<unsigned long long>(shortfall.fileSectors), shortfall.track);
  } else if (shortfall.track != 0 && warning != nullptr) {
    *warning = Line(
        "Warning: the cue sheet places track %02u at sector %llu, but the image has %u sectors: "
        "the dump looks incomplete; the tracks from %02u on are left out.",
        shortfall.track, static_cast<unsigned long long>(shortfall.firstSector), sectorCount,
        shortfall.track);
  }
  return count;
}

}  // namespace quarnel
