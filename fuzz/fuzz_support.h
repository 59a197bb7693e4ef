// Shared pieces of the fuzzing harnesses: a reporter that shows nothing and answers every
// question as the harness decided, a scratch folder that vanishes with each input, byte helpers,
// and the checks of what an analysis leaves for processing.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "analysis/disc_analysis.h"
#include "common/reporter.h"
#include "packing/compressed_format.h"

// Harness code that loops over whole images or tables: its coverage would guide the fuzzer to
// nothing and cost most of its time.
#define FUZZ_UNCOVERED __attribute__((no_sanitize("coverage")))

namespace quarnel::fuzz {

class SilentReporter : public Reporter {
 public:
  // The log is dropped: one that grows with every input would only cost time.
  void Log(const std::string&) override {}
  void Progress(unsigned) override {}
  bool StopRequested() override { return false; }
  void Warning(const std::string&) override {}
  bool ConfirmReplace(const std::string&, const std::string&) override { return allowReplace; }

  bool allowReplace = true;
};

// Keeps the first lines of the log, for harnesses that check what was said.
class LogKeeper : public SilentReporter {
 public:
  void Log(const std::string& line) override {
    if (log.size() < MAX_LINES) log.push_back(line);
  }
  static constexpr size_t MAX_LINES = 1000;
  std::vector<std::string> log;
};

// A fresh folder under the temporary directory for one input, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarnel-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string File(const char* name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  if (std::fclose(f) != 0) std::abort();
}

// Takes `n` bytes off the front of the input, or what is left of it.
struct Input {
  const uint8_t* data;
  size_t size;

  size_t Take(size_t n, const uint8_t** out) {
    if (n > size) n = size;
    *out = data;
    data += n;
    size -= n;
    return n;
  }
  uint32_t Byte() { return size == 0 ? 0 : (size -= 1, *data++); }
  uint32_t U16() { return Byte() | Byte() << 8; }
  uint32_t U32() { return U16() | U16() << 16; }
};

// True for about one input in `n`, always the same for the same input: the slow whole-command
// paths run this seldom so that the fast paths get thousands of inputs a second.
inline bool OneIn(const uint8_t* data, size_t size, uint32_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
  return h % n == 0;
}

// A damaged compressed image, as the uncompress and verify harnesses lay it out: a kind byte
// (taken modulo 3: .bz, .Z, .ZNX), the data file's length (u16, little-endian), the data file,
// then the side file. The side file comes last so that the fuzzer's most common mutations,
// erasing, inserting and cutting off bytes, change its length: tables cut short or with a partial
// entry are the usual damage. Its length is capped at `maxBzip2Blocks` or `maxZlibBlocks` blocks,
// which bounds the work of one input (every entry may point at the same short stream).
inline std::string WriteCompressedImage(const ScratchDir& dir, const uint8_t* data, size_t size,
                                        size_t maxBzip2Blocks, size_t maxZlibBlocks) {
  Input in{data, size};
  const auto mode = static_cast<CompressionMode>(1 + in.Byte() % 3);
  const CompressedKind& kind = KindOf(mode);
  const uint8_t* dataBytes;
  const size_t dataSize = in.Take(in.U16(), &dataBytes);
  const size_t maxSide =
      kind.closingOffset ? 4 * (maxBzip2Blocks + 1) : kind.entrySize * maxZlibBlocks;
  const std::string dataFile = dir.File("disc.bin") + kind.extension;
  WriteFile(dataFile, dataBytes, dataSize);
  WriteFile(dataFile + kind.tableSuffix, in.data, std::min(in.size, maxSide));
  return dataFile;
}

// The audio tracks accepted from a cue sheet: `count` of them, each reported once as (track, first
// sector) in order, starting each after its predecessor and before the image's last sector, each
// ending where the next begins (or at the image's end), and the track before it (its pregap
// included) ending before it starts.
FUZZ_UNCOVERED inline void CheckTracks(const AudioTrackTable& table, uint32_t count,
                                       uint32_t sectorCount,
                                       const std::vector<std::pair<uint32_t, uint32_t>>& reported) {
  if (count != table.audioTrackCount || count != reported.size() || count > MAX_TRACKS - 1) {
    std::abort();
  }
  uint32_t previousFirst = 0;
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t n = k + 2;
    const AudioTrack& track = table.track[n];
    if (reported[k].first != n || reported[k].second != track.firstSector) std::abort();
    if (track.firstSector <= previousFirst) std::abort();
    if (track.firstSector + uint64_t{1} >= sectorCount) std::abort();
    if (track.lastSector < track.firstSector || track.lastSector >= sectorCount) std::abort();
    if (table.track[n - 1].lastSector >= track.firstSector) std::abort();
    previousFirst = track.firstSector;
  }
  if (count != 0 && table.track[count + 1].lastSector != sectorCount - 1) std::abort();
}

// Media in order, apart and inside the image; the rest of the table empty; every XA record and
// every sector mapped to one inside the image and the record table.
FUZZ_UNCOVERED inline void CheckTables(const DiscAnalysis& st, uint32_t sectors) {
  uint32_t count = 0;
  while (count < MEDIA_TABLE_SIZE && st.MediaTable[count].kind != MEDIA_NONE) ++count;
  for (uint32_t i = count; i < MEDIA_TABLE_SIZE; ++i) {
    if (st.MediaTable[i].kind != MEDIA_NONE) std::abort();
  }
  for (uint32_t i = 0; i < count; ++i) {
    const MediaRecord& m = st.MediaTable[i];
    if (m.firstSector <= 16 || m.firstSector > m.lastSector || m.lastSector >= sectors)
      std::abort();
    if (i != 0 && m.firstSector <= st.MediaTable[i - 1].lastSector) std::abort();
    if (m.kind == MEDIA_XA && m.xaRecordCount > st.XaRecordTotal) std::abort();
  }
  for (uint32_t r = 0; r < std::min(st.XaRecordTotal, XA_RECORD_TABLE_SIZE); ++r) {
    const XaRecord& x = st.XaRecordTable[r];
    if (x.lastSector == 0) continue;  // a run that nothing ended
    if (x.firstSector > x.lastSector || x.lastSector >= sectors) std::abort();
  }
  for (uint32_t s = 0; s < SECTOR_RECORD_MAP_SIZE; ++s) {
    const uint16_t r = st.SectorRecordMap[s];
    if (r != NO_XA_RECORD && (s >= sectors || r >= XA_RECORD_TABLE_SIZE)) std::abort();
  }
}

}  // namespace quarnel::fuzz
