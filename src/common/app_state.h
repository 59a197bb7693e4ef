// Everything that lives from start to exit: the shared values, the analysis tables and the XA
// decoder's state. One instance for the program; tests make fresh ones.
#pragma once

#include <cstdint>
#include <memory>

#include "common/media_tables.h"
#include "common/sector.h"
#include "common/xa_decoder_state.h"

namespace quarnel {

constexpr size_t IMAGE_PATH_SIZE = 256;
constexpr size_t LOG_LINE_SIZE = 4096;
constexpr size_t RAW_BLOCK_SIZE = 10 * SECTOR_SIZE;
constexpr size_t PACKED_BLOCK_SIZE = 2 * RAW_BLOCK_SIZE;

struct AppState {
  char ImagePath[IMAGE_PATH_SIZE];
  char LogLine[LOG_LINE_SIZE];
  uint32_t StopRequested;
  uint32_t CompressionMode;
  uint32_t Ff8SearchMethod;
  uint32_t FirstVisibleRow;

  MediaRecord MediaTable[MEDIA_TABLE_SIZE];
  XaRecord XaRecordTable[XA_RECORD_TABLE_SIZE];
  uint32_t XaRecordTotal;
  uint16_t SectorRecordMap[SECTOR_RECORD_MAP_SIZE];
  AudioTrackTable AudioTracks;
  uint32_t dataTrackEnd;

  XaDecoder Xa;
  int16_t PcmSectorBuffer[XA_SAMPLES_PER_SECTOR];  // one decoded XA sector
};

// A zero-filled state on the heap (it is over a megabyte).
std::unique_ptr<AppState> MakeAppState();

}  // namespace quarnel
