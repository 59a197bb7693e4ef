#include "shell/media_page.h"

#include "analysis/media_marks.h"

namespace quarnel {

namespace {

// Records past the end of the table, or of no analysis, read as empty ones with no marks.
const MediaRecord* RecordAt(const DiscAnalysis* analysis, uint32_t index) {
  return analysis != nullptr && index < MEDIA_TABLE_SIZE ? &analysis->MediaTable[index] : nullptr;
}

bool IsEmpty(const MediaRecord* record) {
  return record == nullptr || record->kind == MEDIA_NONE;
}

}  // namespace

void MediaPage::SetPagingButtons(const DiscAnalysis* analysis, DialogControls& controls) {
  controls.EnableControl(IDC_UP, FirstVisibleRow >= MEDIA_PAGE_ROWS);
  controls.EnableControl(IDC_DOWN, !IsEmpty(RecordAt(analysis, FirstVisibleRow + MEDIA_PAGE_ROWS)));
}

void MediaPage::Render(const DiscAnalysis* analysis, DialogControls& controls) {
  controls.SetControlText(IDC_MEDIA_LIST, "");
  for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) {
    const MediaRecord* record = RecordAt(analysis, FirstVisibleRow + r);
    if (!IsEmpty(record)) controls.AppendPanelLine(MediaRowText(*record).c_str(), IDC_MEDIA_LIST);
    controls.SetChecked(IDC_RIP_FIRST + r, record != nullptr && record->rip);
    controls.SetChecked(IDC_TEN_PERCENT_FIRST + r, record != nullptr && record->keepTenPercent);
  }
  SetPagingButtons(analysis, controls);
}

void MediaPage::Up(const DiscAnalysis* analysis, DialogControls& controls) {
  if (FirstVisibleRow >= MEDIA_PAGE_ROWS) {
    FirstVisibleRow -= MEDIA_PAGE_ROWS;
    Render(analysis, controls);
  } else {
    SetPagingButtons(analysis, controls);
  }
}

void MediaPage::Down(const DiscAnalysis* analysis, DialogControls& controls) {
  if (!IsEmpty(RecordAt(analysis, FirstVisibleRow + MEDIA_PAGE_ROWS))) {
    FirstVisibleRow += MEDIA_PAGE_ROWS;
    Render(analysis, controls);
  } else {
    SetPagingButtons(analysis, controls);
  }
}

void MediaPage::RipBoxClicked(DiscAnalysis* analysis, DialogControls& controls, int row) {
  if (row < 0 || row >= MEDIA_PAGE_ROWS) return;
  const int box = IDC_RIP_FIRST + row;
  const bool checked = controls.IsChecked(box);
  const bool marked = analysis != nullptr && SetRipMark(*analysis, FirstVisibleRow + row, checked);
  if (checked && !marked) controls.SetChecked(box, false);
}

void MediaPage::TenPercentBoxClicked(DiscAnalysis* analysis, DialogControls& controls, int row) {
  if (row < 0 || row >= MEDIA_PAGE_ROWS) return;
  const int box = IDC_TEN_PERCENT_FIRST + row;
  const bool checked = controls.IsChecked(box);
  const bool marked =
      analysis != nullptr && SetTenPercentMark(*analysis, FirstVisibleRow + row, checked);
  if (checked && !marked) controls.SetChecked(box, false);
}

void MediaPage::ShowRipMarks(const DiscAnalysis* analysis, DialogControls& controls) {
  for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) {
    const MediaRecord* record = RecordAt(analysis, FirstVisibleRow + r);
    controls.SetChecked(IDC_RIP_FIRST + r, record != nullptr && record->rip == 1);
  }
}

}  // namespace quarnel
