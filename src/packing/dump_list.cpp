#include "packing/dump_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace quarnel {

namespace {

constexpr char MAGIC[] = "quarnel-dump-1";
constexpr size_t MAX_FLACS = 99;

bool IsHex(const std::string& text, size_t length) {
  if (text.size() != length) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool IsBareName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
         name.find_first_of("/\t\n\r") == std::string::npos && name.find('\0') == std::string::npos;
}

bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 15) return false;
  *value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// "file <size> <crc32> <md5> <sha1> <name>" after its keyword.
bool ParseFile(const std::string& rest, HeldFile* file) {
  std::istringstream in(rest);
  std::string size;
  if (!(in >> size >> file->crc32 >> file->md5 >> file->sha1)) return false;
  in.get();
  std::getline(in, file->name);
  return ParseNumber(size, &file->size) && IsHex(file->crc32, 8) && IsHex(file->md5, 32) &&
         IsHex(file->sha1, 40) && IsBareName(file->name);
}

bool ParseLine(const std::string& key, const std::string& rest, DumpList* list) {
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
           IsHex(list->prefixSha1, 40);
  }
  if (key == "file") {
    list->files.emplace_back();
    return ParseFile(rest, &list->files.back());
  }
  if (key == "flac") {
    list->flacs.push_back(rest);
    return IsBareName(rest) && list->flacs.size() <= MAX_FLACS;
  }
  if (key == "cue") {
    list->cueSheet = rest;
    return IsBareName(rest);
  }
  return false;
}

}  // namespace

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
      return true;
    }
    const size_t space = line.find(' ');
    if (space == std::string::npos ||
        !ParseLine(line.substr(0, space), line.substr(space + 1), list)) {
      *why = "line " + std::to_string(number) + " cannot be read";
      return false;
    }
  }
  *why = "it does not end as a list of a dump's files";
  return false;
}

bool ReadDumpList(const std::string& path, DumpList* list, bool* exists, std::string* why) {
  *exists = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    *why = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  *exists = true;
  struct stat st;
  std::string text;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<uint64_t>(st.st_size) <= MAX_DUMP_LIST_SIZE;
  if (ok) {
    text.resize(static_cast<size_t>(st.st_size));
    ok = ::pread(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
  }
  ::close(fd);
  if (!ok) {
    *why = "cannot read " + path + ": it is not a regular file of a few kilobytes";
    return false;
  }
  if (ParseDumpList(text, list, why)) return true;
  *why = path + " is damaged: " + *why;
  return false;
}

}  // namespace quarnel
