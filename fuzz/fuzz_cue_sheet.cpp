// The cue sheet reader on arbitrary text, one image file or several, checked against what it
// promises: its notes and faults name their lines and stay few, no two FILE lines name the same
// file, every track names a FILE line it follows (or file 0), and the audio tracks accepted start
// in order, each inside its own file, after its predecessor and before the image's last sector,
// each ends where the next begins (or at the image's end), and each is reported once, in order.
//
// Input: a mode byte (bit 0: the sheet's files form the image, else one file holds it all), the
// image's sector count (u32, little-endian; one file only), the lengths in sectors of the first
// FILES files (u16 each; several files only, later files are empty), then the cue text.
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/cue_sheet.h"
#include "fuzz_support.h"

using namespace quarnel;

namespace {

constexpr size_t FILES = 8;

// What the reader promises of any text: bounded notes and counts, each naming its line, and FILE
// lines that name distinct files.
void CheckSheet(const CueSheet& sheet) {
  if (sheet.unusedLines.size() > CUE_UNUSED_LINES_KEPT ||
      sheet.unusedLineCount < sheet.unusedLines.size() || sheet.files.size() > MAX_TRACKS ||
      sheet.tracks.size() > MAX_TRACKS || sheet.fileLines.size() != sheet.files.size()) {
    std::abort();
  }
  for (const std::string& note : sheet.unusedLines) {
    if (note.rfind("line ", 0) != 0) std::abort();
  }
  if (!sheet.fault.empty() && sheet.fault.rfind("line ", 0) != 0) std::abort();
  for (size_t i = 0; i < sheet.files.size(); ++i) {
    if (sheet.files[i].empty() || (i != 0 && sheet.fileLines[i] <= sheet.fileLines[i - 1])) {
      std::abort();
    }
    for (size_t k = 0; k < i; ++k) {
      if (strcasecmp(sheet.files[i].c_str(), sheet.files[k].c_str()) == 0) std::abort();
    }
  }
  for (const CueTrack& track : sheet.tracks) {
    if (track.number > MAX_TRACKS || (track.file != 0 && track.file >= sheet.files.size())) {
      std::abort();
    }
  }
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
    fuzz::CheckTracks(table, count, sectorCount, reported);
    return 0;
  }

  const CueSheet sheet = ReadCueSheet(text);
  CheckSheet(sheet);
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
  fuzz::CheckTracks(table, count, sectorCount, reported);
  // Each track starts inside its own file.
  for (uint32_t n = 2; n < count + 2; ++n) {
    const size_t file = sheet.tracks[n - 1].file;
    const uint64_t end = file + 1 < fileStart.size() ? fileStart[file + 1] : sectorCount;
    const uint32_t first = table.track[n].firstSector;
    if (file < fileStart.size() && (first < fileStart[file] || first >= end)) std::abort();
  }
  return 0;
}
