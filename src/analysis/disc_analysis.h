// The findings of one "Analyse ISO" as one value: what was analysed and the tables of its results,
// with the names, sizes and limits of the tables as they have always been. The front ends own it:
// a new analysis makes a new value, so a failed or refused one leaves the last one as it was.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/media_tables.h"

namespace quarnel {

struct DiscAnalysis {
  DiscAnalysis();

  std::string ImagePath;      // as given: an image, a track file or a cue sheet
  std::string dataTrackFile;  // the file holding track 1: compressed outputs are named after it
  std::string cueSheet;       // the sheet in use, or empty
  std::vector<std::string> files;  // the image files, in the order they form the sector space
  uint32_t sectorCount = 0;
  // The scan looked for FF8 movies; ripping clears their sectors behind an 8-byte header, not the
  // 32-byte STR one.
  bool Ff8SearchMethod = false;
  uint32_t videoCount = 0;

  MediaRecord MediaTable[MEDIA_TABLE_SIZE];
  XaRecord XaRecordTable[XA_RECORD_TABLE_SIZE];
  uint32_t XaRecordTotal = 0;  // counts on past the table's end; only the first 5000 are stored
  uint16_t SectorRecordMap[SECTOR_RECORD_MAP_SIZE];
  AudioTrackTable AudioTracks;
  uint32_t dataTrackEnd = 0;  // the last sector of the data track

  // The records of the media table are contiguous from index 0; the first empty one ends them.
  uint32_t MediaCount() const;
  // The XA records stored in the table.
  uint32_t StoredXaRecords() const {
    return XaRecordTotal < XA_RECORD_TABLE_SIZE ? XaRecordTotal : XA_RECORD_TABLE_SIZE;
  }
  bool HasAudioTracks() const { return AudioTracks.audioTrackCount != 0; }
};

// A fresh analysis with empty tables, on the heap: it is over a megabyte.
std::unique_ptr<DiscAnalysis> NewDiscAnalysis();

}  // namespace quarnel
