#include "analysis/media_marks.h"

#include <cstdio>

namespace quarnel {

std::string MediaRowText(const MediaRecord& record) {
  char text[128];
  switch (record.kind) {
    case MEDIA_VIDEO:
      std::snprintf(text, sizeof text, "[Video Stream] from %06d to %06d",
                    static_cast<int>(record.firstSector), static_cast<int>(record.lastSector));
      return text;
    case MEDIA_XA:
      std::snprintf(text, sizeof text, "[XA Stream] from %06d to %06d (%d Records)",
                    static_cast<int>(record.firstSector), static_cast<int>(record.lastSector),
                    static_cast<int>(record.xaRecordCount));
      return text;
    default:
      return {};
  }
}

bool SetRipMark(DiscAnalysis& analysis, uint32_t index, bool checked) {
  if (index >= MEDIA_TABLE_SIZE) return false;
  MediaRecord& record = analysis.MediaTable[index];
  if (!checked) {
    record.rip = 0;
  } else if (record.kind != MEDIA_NONE) {
    record.rip = 1;
  }
  return record.rip != 0;
}

bool SetTenPercentMark(DiscAnalysis& analysis, uint32_t index, bool checked) {
  if (index >= MEDIA_TABLE_SIZE) return false;
  MediaRecord& record = analysis.MediaTable[index];
  if (!checked) {
    record.keepTenPercent = 0;
    return false;
  }
  if (record.rip != 1 || record.kind != MEDIA_VIDEO) return false;
  record.keepTenPercent = 1;
  return true;
}

void SelectMedia(DiscAnalysis& analysis, MediaSelection selection) {
  for (MediaRecord& record : analysis.MediaTable) {
    switch (selection) {
      case MediaSelection::All:
        if (record.kind != MEDIA_NONE) record.rip = 1;
        break;
      case MediaSelection::Video:
        record.rip = record.kind == MEDIA_VIDEO ? 1 : 0;
        break;
      case MediaSelection::Xa:
        record.rip = record.kind == MEDIA_XA ? 1 : 0;
        break;
      case MediaSelection::None:
        record.rip = 0;
        break;
    }
  }
}

uint32_t MarkAllXaStreams(DiscAnalysis& analysis) {
  uint32_t count = 0;
  for (MediaRecord& r : analysis.MediaTable) {
    if (r.kind == MEDIA_XA && r.rip == 0) {
      r.rip = 1;
      ++count;
    }
  }
  return count;
}

}  // namespace quarnel
