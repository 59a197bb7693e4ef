// The cue sheet reader on arbitrary text, one image file or several, checked against what it
// promises: every track names a FILE line it follows (or file 0), and the audio tracks accepted
// start in order, each after its predecessor and before the image's last sector, each ends where
// the next begins (or at the image's end), and each is reported once, in order.
//
// Input: a mode byte (bit 0: the sheet's files form the image, else one file holds it all), the
// image's sector count (u32, little-endian; one file only), the lengths in sectors of the first
// FILES files (u16 each; several files only, later files are empty), then the cue text.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "analysis/cue_sheet.h"
#include "fuzz_support.h"

using namespace quarnel;

namespace {

constexpr size_t FILES = 8;

void CheckTracks(const AudioTrackTable& table, uint32_t count, uint32_t sectorCount,
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
    // The track before ends before this one starts (its pregap included).
    if (table.track[n - 1].lastSector >= track.firstSector) std::abort();
    previousFirst = track.firstSector;
  }
  if (count != 0 && table.track[count + 1].lastSector != sectorCount - 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in{data, size};
  const bool severalFiles = (in.Byte() & 1) != 0;
  uint32_t sectorCount = 0;
  uint32_t lengths[FILES] = {};
  if (severalFiles) {
    for (uint32_t& length : lengths) length = in.U16();
  } else {
    sectorCount = in.U32();
  }
  const std::string_view text(reinterpret_cast<const char*>(in.data), in.size);

  AudioTrackTable table{};
  std::vector<std::pair<uint32_t, uint32_t>> reported;
  const auto onTrack = [&](uint32_t track, uint32_t first) { reported.emplace_back(track, first); };
  if (!severalFiles) {
    const uint32_t count = ParseCueSheet(text, sectorCount, table, onTrack);
    CheckTracks(table, count, sectorCount, reported);
    return 0;
  }

  const CueSheet sheet = ReadCueSheet(text);
  for (const CueTrack& track : sheet.tracks) {
    if (track.file != 0 && track.file >= sheet.files.size()) std::abort();
  }
  // The files joined into one sector space, as the image reader joins them.
  std::vector<uint64_t> fileStart;
  uint64_t next = 0;
  for (size_t i = 0; i < sheet.files.size(); ++i) {
    fileStart.push_back(next);
    if (i < FILES) next += lengths[i];
  }
  sectorCount = static_cast<uint32_t>(next);
  CueShortfall shortfall;
  const uint32_t count = FillAudioTracks(sheet, fileStart, sectorCount, table, onTrack, &shortfall);
  CheckTracks(table, count, sectorCount, reported);
  return 0;
}
