// The audio tracks of a cue sheet: only "TRACK nn AUDIO" lines and the "INDEX " lines after them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "common/media_tables.h"

namespace quarnel {

// Cue files larger than this are not read.
constexpr size_t CUE_SHEET_MAX_SIZE = 1 << 20;

// Fills the audio tracks 2, 3, ... of `table` from the cue text and returns how many there are
// (also stored in table.audioTrackCount). Track 1's lastSector becomes the sector before track 2's
// pregap or start; the last audio track ends at sectorCount - 1. The list ends at the last track
// that reads completely and starts after its predecessor, before the image's last sector.
// `onTrack` is called once per accepted track, in order.
uint32_t ParseCueSheet(std::string_view text, uint32_t sectorCount, AudioTrackTable& table,
                       const std::function<void(uint32_t track, uint32_t firstSector)>& onTrack);

}  // namespace quarnel
