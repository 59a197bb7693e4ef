#include "packing/dump_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "common/checksums.h"
#include "packing/regular_files.h"
#include "packing/text_fields.h"

namespace quarnel {

namespace {

constexpr char MAGIC[] = "quarnel-dump-1";
constexpr size_t MAX_FLACS = 99;

// Sizes and lengths past this are refused: far beyond any disc, and safe to add.
constexpr uint64_t MAX_LISTED_NUMBER = 999'999'999'999'999;

bool DecodeHex(const std::string& text, std::string* bytes) {
  return text.size() / 2 <= MAX_LISTED_CUE_TEXT && ParseHex(text, bytes) && !bytes->empty();
}

// The names become the restored files' names.
bool IsBareName(const std::string& name) {
  return BadFileNameReason(name) == nullptr;
}

bool ParseNumber(const std::string& text, uint64_t* value) {
  return ParseDecimal(text, value) && *value <= MAX_LISTED_NUMBER;
}

// "file <size> <crc32> <md5> <sha1> <name>" after its keyword.
bool ParseFile(const std::string& rest, HeldFile* file) {
  std::istringstream in(rest);
  std::string size;
  if (!(in >> size >> file->crc32 >> file->md5 >> file->sha1)) return false;
  in.get();
  std::getline(in, file->name);
  return ParseNumber(size, &file->size) && IsLowerHex(file->crc32, 8) &&
         IsLowerHex(file->md5, 32) && IsLowerHex(file->sha1, 40) && IsBareName(file->name);
}

// False with `why` (what follows "line N") when the line cannot be taken.
bool ParseLine(const std::string& key, const std::string& rest, DumpList* list, std::string* why) {
  *why = "cannot be read";
  if (key == "data") {
    list->dataFile = rest;
    return IsBareName(rest);
  }
  if (key == "ripped") {
    list->ripped = rest == "1";
    return rest == "0" || rest == "1";
  }
  if (key == "prefix") {
    const size_t space = rest.find(' ');
    list->prefixSha1 = space == std::string::npos ? "" : rest.substr(space + 1);
    return space != std::string::npos && ParseNumber(rest.substr(0, space), &list->prefixLength) &&
           IsLowerHex(list->prefixSha1, 40);
  }
  if (key == "file") {
    HeldFile file;
    if (!ParseFile(rest, &file)) return false;
    // Each file is restored once, under its name.
    if (list->Find(file.name) != nullptr) {
      *why = "names " + file.name + " a second time";
      return false;
    }
    list->files.push_back(std::move(file));
    return true;
  }
  if (key == "flac") {
    list->flacs.push_back(rest);
    return IsBareName(rest) && list->flacs.size() <= MAX_FLACS;
  }
  if (key == "cue") {
    list->cueSheet = rest;
    return IsBareName(rest);
  }
  if (key == "cuetext") return DecodeHex(rest, &list->cueText);
  return false;
}

}  // namespace

bool IsListedCueSheet(const DumpList& list, const std::string& bytes) {
  const HeldFile* file = list.Find(list.cueSheet);
  if (file == nullptr) return false;
  Checksums sums;
  sums.Update(bytes.data(), bytes.size());
  const ChecksumDigests got = sums.Finish();
  return got.size == file->size && got.sha1 == file->sha1;
}

const HeldFile* DumpList::Find(const std::string& name) const {
  for (const HeldFile& file : files) {
    if (file.name == name) return &file;
  }
  return nullptr;
}

std::string FormatDumpList(const DumpList& list) {
  std::ostringstream out;
  out << MAGIC << "\ndata " << list.dataFile << "\nripped " << (list.ripped ? 1 : 0) << "\n";
  if (list.prefixLength != 0)
    out << "prefix " << list.prefixLength << " " << list.prefixSha1 << "\n";
  for (const HeldFile& f : list.files) {
    out << "file " << f.size << " " << f.crc32 << " " << f.md5 << " " << f.sha1 << " " << f.name
        << "\n";
  }
  for (const std::string& flac : list.flacs) out << "flac " << flac << "\n";
  if (!list.cueSheet.empty()) out << "cue " << list.cueSheet << "\n";
  if (!list.cueText.empty()) {
    out << "cuetext "
        << HexString(reinterpret_cast<const unsigned char*>(list.cueText.data()),
                     list.cueText.size())
        << "\n";
  }
  out << "end\n";
  return out.str();
}

bool ParseDumpList(const std::string& text, DumpList* list, std::string* why) {
  *list = DumpList{};
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != MAGIC) {
    *why = "it is not a list of a dump's files";
    return false;
  }
  for (size_t number = 2; std::getline(in, line); ++number) {
    if (line == "end") {
      if (std::getline(in, line)) break;  // nothing may follow the end
      if (list->dataFile.empty() || list->Find(list->dataFile) == nullptr) {
        *why = "it names no data track file among its files";
        return false;
      }
      if (!list->cueText.empty() && !IsListedCueSheet(*list, list->cueText)) {
        *why = "the cue sheet it holds is not the one it lists";
        return false;
      }
      return true;
    }
    const size_t space = line.find(' ');
    std::string reason = "cannot be read";
    if (space == std::string::npos ||
        !ParseLine(line.substr(0, space), line.substr(space + 1), list, &reason)) {
      *why = "line " + std::to_string(number) + " " + reason;
      return false;
    }
  }
  *why = "it does not end as a list of a dump's files";
  return false;
}

int ReadSmallFile(const std::string& path, uint64_t limit, std::string* bytes) {
  bytes->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  int error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > limit) {
    error = EFBIG;
  } else {
    bytes->resize(static_cast<size_t>(st.st_size));
    // A file that shrank while it was read fails as a read does.
    if (!PreadAll(fd, 0, bytes->data(), bytes->size(), &error) && error == 0) error = EIO;
  }
  ::close(fd);
  if (error != 0) bytes->clear();
  return error;
}

bool ReadDumpList(const std::string& path, DumpList* list, bool* exists, std::string* why) {
  std::string text;
  const int error = ReadSmallFile(path, MAX_DUMP_LIST_SIZE, &text);
  *exists = error != ENOENT;
  if (error == ENOENT) return true;
  if (error == EFBIG) {
    *why = "cannot read " + path + ": it is not a regular file of a few kilobytes";
    return false;
  }
  if (error != 0) {
    *why = "cannot read " + path + ": " + std::strerror(error);
    return false;
  }
  if (ParseDumpList(text, list, why)) return true;
  *why = path + " is damaged: " + *why;
  return false;
}

}  // namespace quarnel
