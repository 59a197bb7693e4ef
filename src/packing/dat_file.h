// A DAT file: the list of known good dumps (game, file name, size, CRC32, MD5, SHA-1) in the
// Logiqx XML layout that preservation groups publish, plain or zipped, used to name the image a
// checksum belongs to and to check a dump's files against their game's entry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel {

struct DatRom {
  std::string game;  // the <game> or <machine> name
  std::string name;  // the <rom> name
  // Its part after any folders, in lowercase: what a held file's name is compared with.
  std::string lowerBaseName;
  uint64_t size = 0;
  // Lowercase hex, empty when the DAT leaves it out.
  std::string crc;
  std::string md5;
  std::string sha1;
};

struct DatMatch {
  std::string game;
  std::string rom;
};

// A larger DAT is refused: the biggest published ones are a few tens of MiB. A zipped DAT is held
// to this size both as a file and inflated.
constexpr uint64_t MAX_DAT_FILE_SIZE = 256ull << 20;

// A file of a dump, to be matched against the DAT: its base name and its checksums (hex, any
// case; an empty one matches nothing).
struct HeldFile {
  std::string name;
  uint64_t size = 0;
  std::string crc32, md5, sha1;
};

enum class RomStatus { Matches, Differs, NotHeld };

struct RomReport {
  std::string rom;
  RomStatus status = RomStatus::NotHeld;
  // The held file compared: the one that matches, or for Differs the one of the rom's name.
  std::string heldName;
};

struct GameReport {
  std::string game;
  std::vector<RomReport> roms;  // every rom of the game's entry, in the DAT's order
  // Held files that no rom of the game names or matches.
  std::vector<std::string> unknown;
  // Every rom matches; files the game does not know leave the dump complete.
  bool Complete() const;
};

class DatFile {
 public:
  // Reads `path`: a DAT, or a zip archive (known by its signature, whatever its name) that holds
  // exactly one .dat entry. Never blocks: what is not a regular file is refused. On failure
  // returns false and sets `error` to one line naming the file and, for malformed XML, the byte
  // offset and what is wrong there; for a zip without one .dat, the entries it holds.
  bool Load(const std::string& path, std::string& error);

  // The entry of this size whose SHA-1 is `sha1` (hex, any case), if any.
  std::optional<DatMatch> Find(uint64_t size, std::string_view sha1) const;

  // The game `held` belongs to, with every rom of its entry: Matches (a held file of the same
  // size and SHA-1, or MD5, or CRC-32 when the DAT gives no SHA-1), Differs (none matches, but a
  // held file has the rom's name, case-insensitively) or NotHeld. Each held file matches one rom
  // at most, one of its own name first, so identical tracks need a file each. The game is the
  // one most held files match by checksum, else by name (ties: more by name, then the first in
  // the DAT); nullopt when no game matches by either.
  std::optional<GameReport> MatchGame(const std::vector<HeldFile>& held) const;

  const std::string& Name() const { return name_; }  // <header><name>, may be empty
  const std::vector<DatRom>& Roms() const { return roms_; }

 private:
  std::string name_;
  std::vector<DatRom> roms_;
};

}  // namespace quarnel
