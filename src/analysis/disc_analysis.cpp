#include "analysis/disc_analysis.h"

#include <algorithm>
#include <cstring>

namespace quarnel {

DiscAnalysis::DiscAnalysis() {
  std::memset(MediaTable, 0, sizeof MediaTable);
  std::memset(XaRecordTable, 0, sizeof XaRecordTable);
  std::fill(std::begin(SectorRecordMap), std::end(SectorRecordMap), NO_XA_RECORD);
  std::memset(&AudioTracks, 0, sizeof AudioTracks);
}

uint32_t DiscAnalysis::MediaCount() const {
  uint32_t n = 0;
  while (n < MEDIA_TABLE_SIZE && MediaTable[n].kind != MEDIA_NONE) ++n;
  return n;
}

std::unique_ptr<DiscAnalysis> NewDiscAnalysis() {
  return std::make_unique<DiscAnalysis>();
}

}  // namespace quarnel
