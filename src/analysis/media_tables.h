// The findings of "Analyse ISO": the media table, the XA records, the sector-to-record map and the
// audio tracks of the cue sheet. Fixed sizes; nothing is ever written outside them.
#pragma once

#include <cstdint>

namespace quarnel {

constexpr uint32_t MEDIA_TABLE_SIZE = 2000;
constexpr uint32_t XA_RECORD_TABLE_SIZE = 5000;
constexpr uint32_t SECTOR_RECORD_MAP_SIZE = 400000;
constexpr uint16_t NO_XA_RECORD = 0xFFFF;
constexpr uint32_t MAX_TRACKS = 99;

enum MediaKind : uint8_t { MEDIA_NONE = 0, MEDIA_VIDEO = 1, MEDIA_XA = 2 };

struct MediaRecord {
  uint8_t kind;
  uint32_t firstSector;
  uint32_t lastSector;  // inclusive; 0 while open
  uint32_t xaRecordCount;
  uint8_t rip;
  uint8_t keepTenPercent;
};

// One channel's run of sound inside an XA stream. What processing needs while it decodes a record
// (its WAV file, byte count and decoder history) belongs to the audio extraction.
struct XaRecord {
  uint32_t firstSector;
  uint32_t lastSector;
  int32_t channel;  // XA channel number in the low 8 bits
};

struct AudioTrack {
  uint32_t firstSector;
  uint32_t lastSector;
  uint32_t dataOffset;
  uint32_t dataSize;
};

// Indexed by CD track number; track 1 is the data track, audio tracks are 2 to count + 1.
struct AudioTrackTable {
  uint32_t audioTrackCount;
  AudioTrack track[MAX_TRACKS + 1];
};

}  // namespace quarnel
