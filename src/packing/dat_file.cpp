#include "packing/dat_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <tuple>

#include "packing/dat_zip.h"
#include "packing/text_fields.h"

namespace quarnel {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
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
  return rom.lowerBaseName == held.name;
}

// Same size and bytes, by the strongest checksum the DAT gives.
bool SameBytes(const DatRom& rom, const Held& held) {
  if (rom.size != held.size) return false;
  if (!rom.sha1.empty()) return rom.sha1 == held.sha1;
  if (!rom.md5.empty()) return rom.md5 == held.md5;
  return !rom.crc.empty() && rom.crc == held.crc;
}

// The game most held files match by checksum, else by name (ties: more by name, then the first
// in the DAT); nullopt when no game matches by either.
std::optional<std::string> BestGame(const std::vector<DatRom>& roms,
                                    const std::vector<Held>& held) {
  // How many held files match each game, by checksum and by name, each file counted once a game.
  struct Tally {
    size_t order;  // a rom's index: games keep the DAT's order
    size_t bySum = 0, byName = 0;
  };
  std::map<std::string_view, Tally> games;
  for (const Held& h : held) {
    std::set<std::string_view> bySum, byName;
    for (size_t i = 0; i < roms.size(); ++i) {
      const DatRom& rom = roms[i];
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
  return std::string(best->first);
}

// For each rom of a game's `entry`, the index of the held file it matches (held.size(): none).
// Each held file matches one rom at most: first those of the rom's own name, then any.
std::vector<size_t> PairRoms(const std::vector<const DatRom*>& entry,
                             const std::vector<Held>& held) {
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
  return matched;
}

// A rom that matched held file `matched` (held.size(): none), else one that differs from the held
// file of its name, else one not held.
RomReport ReportRom(const DatRom& rom, size_t matched, const std::vector<Held>& held,
                    const std::vector<HeldFile>& heldFiles) {
  RomReport report{rom.name, RomStatus::Matches, ""};
  if (matched < held.size()) {
    report.heldName = heldFiles[matched].name;
    return report;
  }
  report.status = RomStatus::NotHeld;
  for (size_t j = 0; j < held.size() && report.status == RomStatus::NotHeld; ++j) {
    if (SameName(rom, held[j])) {
      report.status = RomStatus::Differs;
      report.heldName = heldFiles[j].name;
    }
  }
  return report;
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
      entry.lowerBaseName = Lower(BaseName(entry.name));
      // An entry without a usable size can match nothing; it is skipped, not an error, as
      // DATs list the odd placeholder ("nodump") without one.
      if (!ParseDecimal(rom.attribute("size").value(), &entry.size)) continue;
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
  const std::optional<std::string> game = BestGame(roms_, held);
  if (!game) return std::nullopt;

  GameReport report;
  report.game = *game;
  std::vector<const DatRom*> entry;
  for (const DatRom& rom : roms_) {
    if (rom.game == report.game) entry.push_back(&rom);
  }
  const std::vector<size_t> matched = PairRoms(entry, held);
  for (size_t k = 0; k < entry.size(); ++k) {
    report.roms.push_back(ReportRom(*entry[k], matched[k], held, heldFiles));
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
