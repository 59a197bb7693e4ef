// A DAT file: the list of known good dumps (game, file name, size, CRC32, MD5, SHA-1) in the
// Logiqx XML layout that preservation groups publish, used to name the image a checksum belongs to.
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

// A larger DAT is refused: the biggest published ones are a few tens of MiB.
constexpr uint64_t MAX_DAT_FILE_SIZE = 256ull << 20;

class DatFile {
 public:
  // Reads `path`. On failure returns false and sets `error` to one line naming the file and,
  // for malformed XML, the byte offset and what is wrong there.
  bool Load(const std::string& path, std::string& error);

  // The entry of this size whose SHA-1 is `sha1` (hex, any case), if any.
  std::optional<DatMatch> Find(uint64_t size, std::string_view sha1) const;

  const std::string& Name() const { return name_; }  // <header><name>, may be empty
  const std::vector<DatRom>& Roms() const { return roms_; }

 private:
  std::string name_;
  std::vector<DatRom> roms_;
};

}  // namespace quarnel
