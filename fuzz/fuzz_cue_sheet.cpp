// The cue sheet reader on arbitrary text, checked against what it promises: the audio tracks it
// accepts start in order, each after its predecessor and before the image's last sector, each
// ends where the next begins (or at the image's end), and it reports each one once, in order.
//
// Input: the image's sector count (u32, little-endian), then the cue text.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "analysis/cue_sheet.h"
#include "fuzz_support.h"

using namespace quarnel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in{data, size};
  const uint32_t sectorCount = in.U32();
  const std::string_view text(reinterpret_cast<const char*>(in.data), in.size);

  AudioTrackTable table{};
  std::vector<std::pair<uint32_t, uint32_t>> reported;
  const uint32_t count =
      ParseCueSheet(text, sectorCount, table,
                    [&](uint32_t track, uint32_t first) { reported.emplace_back(track, first); });

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
    // The track before ends before this one starts (its pregap included).
    if (table.track[n - 1].lastSector >= track.firstSector) std::abort();
    previousFirst = track.firstSector;
  }
  if (count != 0 && table.track[count + 1].lastSector != sectorCount - 1) std::abort();
  return 0;
}
