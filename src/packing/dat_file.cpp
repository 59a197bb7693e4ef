#include "packing/dat_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <pugixml.hpp>
#include <set>
#include <tuple>

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

// The whole file, refused when it is not a regular file or is too large to be a DAT. Opened
// without blocking, so that a FIFO or a device is refused instead of waited on.
bool ReadBounded(const std::string& path, std::string& data, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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

// A zip archive starts with a local file header, or is an empty one's end record.
bool IsZip(const std::string& data) {
  return data.size() >= 4 &&
         (data.compare(0, 4, "PK\x03\x04") == 0 || data.compare(0, 4, "PK\x05\x06") == 0);
}

// An entry's name fit for a one-line message.
std::string Printable(const char* name) {
  std::string out(name);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

// "a, b, c": the first ten names, then how many more.
std::string NameList(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size() && i < 10; ++i) out += (i == 0 ? "" : ", ") + names[i];
  if (names.size() > 10) out += " and " + std::to_string(names.size() - 10) + " more";
  return out;
}

struct ArchiveDiscarder {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct EntryCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};

// Inflates the one .dat entry of the zip archive `zip` into `text`, its name into `entry`. On
// failure `error` is one line that starts with `path`.
bool UnzipDat(const std::string& path, const std::string& zip, std::string& text,
              std::string& entry, std::string& error) {
  const std::string notDat = path + " is not a DAT file: ";
  zip_error_t zipError;
  zip_error_init(&zipError);
  zip_source_t* source = zip_source_buffer_create(zip.data(), zip.size(), 0, &zipError);
  zip_t* opened = source == nullptr
                      ? nullptr
                      : zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &zipError);
  if (opened == nullptr) {
    zip_source_free(source);  // an archive that opened owns its source
    error = notDat + "a damaged zip archive (" + zip_error_strerror(&zipError) + ")";
    zip_error_fini(&zipError);
    return false;
  }
  zip_error_fini(&zipError);
  const std::unique_ptr<zip_t, ArchiveDiscarder> archive(opened);

  std::vector<std::string> names, dats;
  zip_uint64_t index = 0;
  const zip_int64_t count = zip_get_num_entries(opened, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(opened, static_cast<zip_uint64_t>(i), 0);
    if (name == nullptr) continue;
    names.push_back(Printable(name));
    const size_t length = std::strlen(name);
    if (length >= 4 && Lower(name + length - 4) == ".dat") {
      dats.push_back(names.back());
      index = static_cast<zip_uint64_t>(i);
    }
  }
  if (dats.empty()) {
    error = path + " holds no .dat file; " +
            (names.empty() ? "it is empty" : "it holds: " + NameList(names));
    return false;
  }
  if (dats.size() > 1) {
    error = path + " holds several .dat files: " + NameList(dats);
    return false;
  }
  entry = dats.front();

  // The size the archive gives is checked before anything is inflated, and then held to: an
  // entry that inflates to more is refused, not read on.
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(opened, index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0) {
    error = notDat + "cannot read " + entry + " in it (" + zip_strerror(opened) + ")";
    return false;
  }
  if (stat.size > MAX_DAT_FILE_SIZE) {
    error = notDat + "its " + entry + " is larger than 256 MiB";
    return false;
  }
  const std::unique_ptr<zip_file_t, EntryCloser> file(zip_fopen_index(opened, index, 0));
  if (!file) {
    error = notDat + "cannot read " + entry + " in it (" + zip_strerror(opened) + ")";
    return false;
  }
  text.assign(static_cast<size_t>(stat.size), '\0');
  size_t done = 0;
  char probe;  // one byte past the size: the end must come there, and its CRC is checked then
  for (;;) {
    const bool full = done == text.size();
    const zip_int64_t n =
        zip_fread(file.get(), full ? &probe : text.data() + done, full ? 1 : text.size() - done);
    if (n < 0) {
      error = notDat + "cannot inflate " + entry + " in it (" + zip_file_strerror(file.get()) + ")";
      return false;
    }
    if (n == 0) break;
    if (full) {
      error = notDat + "its " + entry + " inflates to more than the archive says";
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (done != text.size()) {
    error = notDat + "its " + entry + " inflates to less than the archive says";
    return false;
  }
  return true;
}

// The part of a rom's name after its folders: some DATs give paths.
std::string_view BaseName(std::string_view name) {
  const size_t slash = name.find_last_of("/\\");
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

// A held file with its name and checksums in lowercase, as the DAT's are kept.
struct Held {
  std::string name;
  uint64_t size;
  std::string crc, md5, sha1;
};

bool SameName(const DatRom& rom, const Held& held) {
  return Lower(BaseName(rom.name)) == held.name;
}

// Same size and bytes, by the strongest checksum the DAT gives.
bool SameBytes(const DatRom& rom, const Held& held) {
  if (rom.size != held.size) return false;
  if (!rom.sha1.empty()) return rom.sha1 == held.sha1;
  if (!rom.md5.empty()) return rom.md5 == held.md5;
  return !rom.crc.empty() && rom.crc == held.crc;
}

}  // namespace

bool GameReport::Complete() const {
  if (roms.empty()) return false;
  for (const RomReport& rom : roms) {
    if (rom.status != RomStatus::Matches) return false;
  }
  return true;
}

bool DatFile::Load(const std::string& path, std::string& error) {
  name_.clear();
  roms_.clear();
  std::string data;
  if (!ReadBounded(path, data, error)) return false;
  // Errors in a zipped DAT name the entry too.
  std::string source = path;
  if (IsZip(data)) {
    std::string text, entry;
    if (!UnzipDat(path, data, text, entry, error)) return false;
    data = std::move(text);
    source = path + " (" + entry + ")";
  }

  pugi::xml_document document;
  const pugi::xml_parse_result parsed = document.load_buffer_inplace(data.data(), data.size());
  if (!parsed) {
    error = source + " is not a DAT file: " + parsed.description() + " at byte " +
            std::to_string(parsed.offset);
    return false;
  }
  const pugi::xml_node root = document.child("datafile");
  if (!root) {
    error = source + " is not a DAT file: no <datafile> element";
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

std::optional<GameReport> DatFile::MatchGame(const std::vector<HeldFile>& heldFiles) const {
  std::vector<Held> held;
  for (const HeldFile& f : heldFiles) {
    held.push_back({Lower(f.name), f.size, Lower(f.crc32), Lower(f.md5), Lower(f.sha1)});
  }

  // How many held files match each game, by checksum and by name, each file counted once a game.
  struct Tally {
    size_t order;  // a rom's index: games keep the DAT's order
    size_t bySum = 0, byName = 0;
  };
  std::map<std::string_view, Tally> games;
  for (const Held& h : held) {
    std::set<std::string_view> bySum, byName;
    for (size_t i = 0; i < roms_.size(); ++i) {
      const DatRom& rom = roms_[i];
      const bool sum = SameBytes(rom, h), name = SameName(rom, h);
      if (sum) bySum.insert(rom.game);
      if (name) byName.insert(rom.game);
      if (sum || name) games.try_emplace(rom.game, Tally{i});
    }
    for (std::string_view game : bySum) ++games.at(game).bySum;
    for (std::string_view game : byName) ++games.at(game).byName;
  }
  const std::pair<const std::string_view, Tally>* best = nullptr;
  for (const auto& game : games) {
    const Tally& t = game.second;
    if (best == nullptr || std::tie(t.bySum, t.byName, best->second.order) >
                               std::tie(best->second.bySum, best->second.byName, t.order)) {
      best = &game;
    }
  }
  if (best == nullptr) return std::nullopt;

  GameReport report;
  report.game = best->first;
  std::vector<const DatRom*> entry;
  for (const DatRom& rom : roms_) {
    if (rom.game == report.game) entry.push_back(&rom);
  }
  // Each held file matches one rom at most: first those of the rom's own name, then any.
  std::vector<bool> used(held.size());
  std::vector<size_t> matched(entry.size(), held.size());
  for (const bool byNameToo : {true, false}) {
    for (size_t k = 0; k < entry.size(); ++k) {
      for (size_t j = 0; j < held.size() && matched[k] == held.size(); ++j) {
        if (!used[j] && SameBytes(*entry[k], held[j]) &&
            (!byNameToo || SameName(*entry[k], held[j]))) {
          matched[k] = j;
          used[j] = true;
        }
      }
    }
  }
  for (size_t k = 0; k < entry.size(); ++k) {
    RomReport rom{entry[k]->name, RomStatus::Matches, ""};
    if (matched[k] < held.size()) {
      rom.heldName = heldFiles[matched[k]].name;
    } else {
      rom.status = RomStatus::NotHeld;
      for (size_t j = 0; j < held.size() && rom.status == RomStatus::NotHeld; ++j) {
        if (SameName(*entry[k], held[j])) {
          rom.status = RomStatus::Differs;
          rom.heldName = heldFiles[j].name;
        }
      }
    }
    report.roms.push_back(std::move(rom));
  }
  for (size_t j = 0; j < held.size(); ++j) {
    bool known = false;
    for (const DatRom* rom : entry)
      known = known || SameName(*rom, held[j]) || SameBytes(*rom, held[j]);
    if (!known) report.unknown.push_back(heldFiles[j].name);
  }
  return report;
}

}  // namespace quarnel
