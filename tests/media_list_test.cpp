#include "analysis/media_list.h"

#include <gtest/gtest.h>

#include "common/panel.h"
#include "fake_window.h"

namespace quarnel {
namespace {

using testing::FakeWindow;

struct ListFixture {
  std::unique_ptr<AppState> state = MakeAppState();
  FakeWindow window;

  explicit ListFixture(uint32_t media) {
    for (uint32_t i = 0; i < media; ++i) {
      MediaRecord& r = state->MediaTable[i];
      r.kind = i % 3 == 2 ? MEDIA_XA : MEDIA_VIDEO;
      r.firstSector = 1000 * (i + 1);
      r.lastSector = 1000 * (i + 1) + 99;
      r.xaRecordCount = 4;
    }
    RenderMediaPage(*state, window);
  }
  // One letter per record (first 14) or page row: T ripped with its tenth, R ripped, t tenth only.
  static char Letter(bool rip, bool ten) { return rip ? (ten ? 'T' : 'R') : (ten ? 't' : '.'); }
  std::string Marks() const {
    std::string marks;
    for (int i = 0; i < 14; ++i) {
      marks += Letter(state->MediaTable[i].rip, state->MediaTable[i].keepTenPercent);
    }
    return marks;
  }
  std::string Boxes() {
    std::string boxes;
    for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) {
      boxes += Letter(window.checks[IDC_RIP_FIRST + r], window.checks[IDC_TEN_PERCENT_FIRST + r]);
    }
    return boxes;
  }
  void ClickRip(int row, bool checked) {
    window.checks[IDC_RIP_FIRST + row] = checked;
    RipBoxClicked(*state, window, row);
  }
  void ClickTen(int row, bool checked) {
    window.checks[IDC_TEN_PERCENT_FIRST + row] = checked;
    TenPercentBoxClicked(*state, window, row);
  }
};

TEST(MediaList, PagesOfTwelveWithUpAndDown) {
  ListFixture f(13);
  EXPECT_TRUE(f.window.IsEnabled(IDC_DOWN));
  EXPECT_FALSE(f.window.IsEnabled(IDC_UP));
  EXPECT_TRUE(f.window.texts[IDC_MEDIA_LIST].starts_with(
      "[Video Stream] from 001000 to 001099\r\n[Video Stream] from 002000 to 002099\r\n"
      "[XA Stream] from 003000 to 003099 (4 Records)\r\n"));
  MediaPageUp(*f.state, f.window);  // first page: only the buttons are set again
  EXPECT_EQ(f.state->FirstVisibleRow, 0u);
  MediaPageDown(*f.state, f.window);
  EXPECT_EQ(f.state->FirstVisibleRow, 12u);
  EXPECT_EQ(f.window.texts[IDC_MEDIA_LIST], "[Video Stream] from 013000 to 013099\r\n");
  EXPECT_FALSE(f.window.IsEnabled(IDC_DOWN));  // the next page would start with an empty row
  EXPECT_TRUE(f.window.IsEnabled(IDC_UP));
  MediaPageDown(*f.state, f.window);
  EXPECT_EQ(f.state->FirstVisibleRow, 12u);

  // An empty row's boxes refuse to be checked.
  f.ClickRip(1, true);
  EXPECT_EQ(f.Boxes(), "............");
  EXPECT_EQ(f.Marks(), "..............");
}

TEST(MediaList, RowBoxRulesAndSelectionButtons) {
  ListFixture f(13);
  f.ClickTen(0, true);  // not marked "Rip:" yet: refused
  EXPECT_EQ(f.Boxes(), "............");
  f.ClickRip(0, true);
  f.ClickTen(0, true);
  f.ClickRip(2, true);
  f.ClickTen(2, true);  // an XA stream never keeps a tenth
  EXPECT_EQ(f.Marks(), "T.R...........");
  EXPECT_EQ(f.Boxes(), "T.R.........");

  // The selection buttons set "Rip:" only; the "10%" column is left alone.
  SelectMedia(*f.state, f.window, MediaSelection::Xa);
  EXPECT_EQ(f.Marks(), "t.R..R..R..R..");
  EXPECT_EQ(f.Boxes(), "t.R..R..R..R");
  SelectMedia(*f.state, f.window, MediaSelection::All);
  EXPECT_EQ(f.Marks(), "TRRRRRRRRRRRR.");
  SelectMedia(*f.state, f.window, MediaSelection::Video);
  EXPECT_EQ(f.Marks(), "TR.RR.RR.RR.R.");
  MediaPageDown(*f.state, f.window);  // paging away and back shows the marks again
  MediaPageUp(*f.state, f.window);
  EXPECT_EQ(f.Boxes(), "TR.RR.RR.RR.");
  SelectMedia(*f.state, f.window, MediaSelection::None);
  f.ClickRip(0, false);
  EXPECT_EQ(f.Marks(), "t.............");
  EXPECT_EQ(f.Boxes(), "t...........");
}

TEST(MediaList, LastPageOfAFullTableReadsNothingBeyondIt) {
  ListFixture f(MEDIA_TABLE_SIZE);
  f.state->FirstVisibleRow = 1980;
  MediaPageDown(*f.state, f.window);
  EXPECT_EQ(f.state->FirstVisibleRow, 1992u);
  EXPECT_FALSE(f.window.IsEnabled(IDC_DOWN));
  for (int r = 8; r < MEDIA_PAGE_ROWS; ++r) {
    f.ClickRip(r, true);
    f.ClickTen(r, true);
  }
  EXPECT_EQ(f.Boxes(), "............");
  f.ClickRip(7, true);
  EXPECT_EQ(f.state->MediaTable[1999].rip, 1);
}

TEST(Panel, AppendsLinesAndDropsTheOldestPastTheLimit) {
  const std::string first = "- File Loaded.\r\n";
  const std::string full = first + std::string(PANEL_TEXT_LIMIT - first.size() - 2, 'x') + "\r\n";
  const std::string rest(PANEL_TEXT_LIMIT, 'q');
  struct Case {
    std::string panel;
    const char* line;
    std::string expected;
  };
  const Case cases[] = {
      {"", "abc", "abc\r\n"},
      {"abc\r\n", "", "abc\r\n"},
      {full, "new", full + "new\r\n"},  // exactly at the limit: nothing is lost
      {full + "y", "new", full.substr(first.size()) + "ynew\r\n"},
      {std::string(PANEL_TEXT_LIMIT + 1, 'z'), "alone", "alone\r\n"},
      {"\n" + rest + "\nrest", "", "rest"},  // the first character never ends the first line
  };
  for (const Case& c : cases) {
    std::string panel = c.panel;
    AppendPanelText(panel, c.line);
    EXPECT_EQ(panel, c.expected) << c.panel.substr(0, 20);
  }
}

}  // namespace
}  // namespace quarnel
