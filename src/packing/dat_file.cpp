#include "packing/dat_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <pugixml.hpp>

namespace quarnel {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A decimal size; false for anything else, or a value past 64 bits.
bool ParseSize(const char* text, uint64_t& value) {
  value = 0;
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(*text - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

// The whole file, refused when it is not a regular file or is too large to be a DAT.
bool ReadBounded(const std::string& path, std::string& data, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info = {};
  bool ok = ::fstat(fd, &info) == 0;
  if (!ok) {
    error = "cannot read " + path + ": " + std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    error = path + " is not a DAT file: not a regular file";
    ok = false;
  } else if (static_cast<uint64_t>(info.st_size) > MAX_DAT_FILE_SIZE) {
    error = path + " is not a DAT file: larger than 256 MiB";
    ok = false;
  }
  if (ok) {
    data.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    // Reads up to the size seen by fstat; a file that grows meanwhile is read as it was.
    while (done < data.size()) {
      const ssize_t n = ::read(fd, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = "cannot read " + path + ": " + std::strerror(n < 0 ? errno : EIO);
        ok = false;
        break;
      }
      done += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  return ok;
}

}  // namespace

bool DatFile::Load(const std::string& path, std::string& error) {
  name_.clear();
  roms_.clear();
  std::string data;
  if (!ReadBounded(path, data, error)) return false;

  pugi::xml_document document;
  const pugi::xml_parse_result parsed = document.load_buffer_inplace(data.data(), data.size());
  if (!parsed) {
    error = path + " is not a DAT file: " + parsed.description() + " at byte " +
            std::to_string(parsed.offset);
    return false;
  }
  const pugi::xml_node root = document.child("datafile");
  if (!root) {
    error = path + " is not a DAT file: no <datafile> element";
    return false;
  }
  name_ = root.child("header").child_value("name");
  for (const pugi::xml_node game : root.children()) {
    if (std::strcmp(game.name(), "game") != 0 && std::strcmp(game.name(), "machine") != 0) {
      continue;
    }
    for (const pugi::xml_node rom : game.children("rom")) {
      DatRom entry;
      entry.game = game.attribute("name").value();
      entry.name = rom.attribute("name").value();
      // An entry without a usable size can match nothing; it is skipped, not an error, as
      // DATs list the odd placeholder ("nodump") without one.
      if (!ParseSize(rom.attribute("size").value(), entry.size)) continue;
      entry.crc = Lower(rom.attribute("crc").value());
      entry.md5 = Lower(rom.attribute("md5").value());
      entry.sha1 = Lower(rom.attribute("sha1").value());
      roms_.push_back(std::move(entry));
    }
  }
  return true;
}

std::optional<DatMatch> DatFile::Find(uint64_t size, std::string_view sha1) const {
  const std::string wanted = Lower(sha1);
  if (wanted.empty()) return std::nullopt;
  for (const DatRom& rom : roms_) {
    if (rom.size == size && rom.sha1 == wanted) return DatMatch{rom.game, rom.name};
  }
  return std::nullopt;
}

}  // namespace quarnel
