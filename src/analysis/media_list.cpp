#include "analysis/media_list.h"

#include <cstdio>

#include "common/report.h"

namespace quarnel {

namespace {

// Records past the end of the table read as empty ones with no marks.
const MediaRecord* RecordAt(AppState& state, uint32_t index) {
  return index < MEDIA_TABLE_SIZE ? &state.MediaTable[index] : nullptr;
}

bool IsEmpty(const MediaRecord* record) {
  return record == nullptr || record->kind == MEDIA_NONE;
}

void SetPagingButtons(AppState& state, Window& window) {
  window.EnableControl(IDC_UP, state.FirstVisibleRow >= MEDIA_PAGE_ROWS);
  window.EnableControl(IDC_DOWN,
                       !IsEmpty(RecordAt(state, state.FirstVisibleRow + MEDIA_PAGE_ROWS)));
}

}  // namespace

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

void RenderMediaPage(AppState& state, Window& window) {
  window.SetControlText(IDC_MEDIA_LIST, "");
  for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) {
    const MediaRecord* record = RecordAt(state, state.FirstVisibleRow + r);
    if (!IsEmpty(record)) {
      std::snprintf(state.LogLine, sizeof state.LogLine, "%s", MediaRowText(*record).c_str());
      window.AppendPanelLine(state.LogLine, IDC_MEDIA_LIST);
    }
    window.SetChecked(IDC_RIP_FIRST + r, record != nullptr && record->rip);
    window.SetChecked(IDC_TEN_PERCENT_FIRST + r, record != nullptr && record->keepTenPercent);
  }
  SetPagingButtons(state, window);
}

void MediaPageUp(AppState& state, Window& window) {
  if (state.FirstVisibleRow >= MEDIA_PAGE_ROWS) {
    state.FirstVisibleRow -= MEDIA_PAGE_ROWS;
    RenderMediaPage(state, window);
  } else {
    SetPagingButtons(state, window);
  }
}

void MediaPageDown(AppState& state, Window& window) {
  if (!IsEmpty(RecordAt(state, state.FirstVisibleRow + MEDIA_PAGE_ROWS))) {
    state.FirstVisibleRow += MEDIA_PAGE_ROWS;
    RenderMediaPage(state, window);
  } else {
    SetPagingButtons(state, window);
  }
}

void RipBoxClicked(AppState& state, Window& window, int row) {
  if (row < 0 || row >= MEDIA_PAGE_ROWS) return;
  const int box = IDC_RIP_FIRST + row;
  const uint32_t index = state.FirstVisibleRow + row;
  MediaRecord* record = index < MEDIA_TABLE_SIZE ? &state.MediaTable[index] : nullptr;
  if (!window.IsChecked(box)) {
    if (record != nullptr) record->rip = 0;
  } else if (!IsEmpty(record)) {
    record->rip = 1;
  } else {
    window.SetChecked(box, false);
  }
}

void TenPercentBoxClicked(AppState& state, Window& window, int row) {
  if (row < 0 || row >= MEDIA_PAGE_ROWS) return;
  const int box = IDC_TEN_PERCENT_FIRST + row;
  const uint32_t index = state.FirstVisibleRow + row;
  MediaRecord* record = index < MEDIA_TABLE_SIZE ? &state.MediaTable[index] : nullptr;
  if (!window.IsChecked(box)) {
    if (record != nullptr) record->keepTenPercent = 0;
  } else if (record != nullptr && record->rip == 1 && record->kind == MEDIA_VIDEO) {
    record->keepTenPercent = 1;
  } else {
    window.SetChecked(box, false);
  }
}

void SelectMedia(AppState& state, Window& window, MediaSelection selection) {
  for (MediaRecord& record : state.MediaTable) {
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
  for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) {
    const MediaRecord* record = RecordAt(state, state.FirstVisibleRow + r);
    window.SetChecked(IDC_RIP_FIRST + r, record != nullptr && record->rip == 1);
  }
}

}  // namespace quarnel
