// The media list: twelve rows of the media table at a time, with their "Rip:" and "10%" boxes and
// the paging buttons. The marks themselves and their rules are the analysis' (media_marks.h).
#pragma once

#include <cstdint>

#include "analysis/disc_analysis.h"
#include "shell/dialog_controls.h"

namespace quarnel {

class MediaPage {
 public:
  // Shows the page that starts at FirstVisibleRow: its rows, their boxes and the paging buttons.
  // Without an analysis every row is empty.
  void Render(const DiscAnalysis* analysis, DialogControls& controls);
  void Up(const DiscAnalysis* analysis, DialogControls& controls);
  void Down(const DiscAnalysis* analysis, DialogControls& controls);
  // A click on the "Rip:" or "10%" box of row 0 to 11; the box has already toggled itself, and
  // the mark's rule may undo it.
  void RipBoxClicked(DiscAnalysis* analysis, DialogControls& controls, int row);
  void TenPercentBoxClicked(DiscAnalysis* analysis, DialogControls& controls, int row);
  // After a selection button: the page's "Rip:" boxes show the marks.
  void ShowRipMarks(const DiscAnalysis* analysis, DialogControls& controls);

  uint32_t FirstVisibleRow = 0;

 private:
  void SetPagingButtons(const DiscAnalysis* analysis, DialogControls& controls);
};

}  // namespace quarnel
