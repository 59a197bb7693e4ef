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
  bool Rip(int row) { return window.checks[IDC_RIP_FIRST + row]; }
  bool Ten(int row) { return window.checks[IDC_TEN_PERCENT_FIRST + row]; }
  void ClickRip(int row, bool checked) {
    window.checks[IDC_RIP_FIRST + row] = checked;
    RipBoxClicked(*state, window, row);
  }
  void ClickTen(int row, bool checked) {
    window.checks[IDC_TEN_PERCENT_FIRST + row] = checked;
    TenPercentBoxClicked(*state, window, row);
  }
};

TEST(MediaList, RowTextsPadSectorsToSixDigits) {
  MediaRecord video{MEDIA_VIDEO, 1234, 5678, 0, 0, 0};
  EXPECT_EQ(MediaRowText(video), "[Video Stream] from 001234 to 005678");
  MediaRecord xa{MEDIA_XA, 100000, 123456, 3, 0, 0};
  EXPECT_EQ(MediaRowText(xa), "[XA Stream] from 100000 to 123456 (3 Records)");
  EXPECT_EQ(MediaRowText(MediaRecord{}), "");
}

TEST(MediaList, PagesOfTwelveWithUpAndDown) {
  ListFixture twelve(12);
  EXPECT_FALSE(twelve.window.IsEnabled(IDC_DOWN));
  EXPECT_FALSE(twelve.window.IsEnabled(IDC_UP));

  ListFixture f(13);
  EXPECT_TRUE(f.window.IsEnabled(IDC_DOWN));
  MediaPageUp(*f.state, f.window);  // first page: only the buttons are set again
  EXPECT_EQ(f.state->FirstVisibleRow, 0u);
  MediaPageDown(*f.state, f.window);
  EXPECT_EQ(f.state->FirstVisibleRow, 12u);
  EXPECT_EQ(f.window.texts[IDC_MEDIA_LIST], "[Video Stream] from 013000 to 013099\r\n");
  EXPECT_FALSE(f.window.IsEnabled(IDC_DOWN));
  EXPECT_TRUE(f.window.IsEnabled(IDC_UP));
  MediaPageDown(*f.state, f.window);
  EXPECT_EQ(f.state->FirstVisibleRow, 12u);

  // An empty row's boxes refuse to be checked.
  f.ClickRip(1, true);
  EXPECT_FALSE(f.Rip(1));
  EXPECT_EQ(f.state->MediaTable[13].rip, 0);
}

TEST(MediaList, RowBoxRulesAndSelectionButtons) {
  ListFixture f(13);
  f.ClickTen(0, true);  // not marked "Rip:" yet: refused
  EXPECT_FALSE(f.Ten(0));
  f.ClickRip(0, true);
  f.ClickTen(0, true);
  EXPECT_TRUE(f.Ten(0));
  EXPECT_EQ(f.state->MediaTable[0].keepTenPercent, 1);
  f.ClickRip(2, true);
  f.ClickTen(2, true);  // an XA stream never keeps a tenth
  EXPECT_FALSE(f.Ten(2));

  SelectMedia(*f.state, f.window, MediaSelection::Xa);
  EXPECT_EQ(f.state->MediaTable[0].rip, 0);
  EXPECT_EQ(f.state->MediaTable[0].keepTenPercent, 1);
  EXPECT_FALSE(f.Rip(0));
  EXPECT_TRUE(f.Rip(2));
  EXPECT_TRUE(f.Ten(0));  // the "10%" column is left alone

  SelectMedia(*f.state, f.window, MediaSelection::All);
  for (uint32_t i = 0; i < 13; ++i) EXPECT_EQ(f.state->MediaTable[i].rip, 1) << i;
  EXPECT_EQ(f.state->MediaTable[13].rip, 0);

  SelectMedia(*f.state, f.window, MediaSelection::Video);
  EXPECT_EQ(f.state->MediaTable[2].rip, 0);
  EXPECT_EQ(f.state->MediaTable[12].rip, 1);

  // Paging away and back shows the marks again.
  MediaPageDown(*f.state, f.window);
  MediaPageUp(*f.state, f.window);
  EXPECT_TRUE(f.Rip(0));
  EXPECT_FALSE(f.Rip(2));
  EXPECT_TRUE(f.Ten(0));

  SelectMedia(*f.state, f.window, MediaSelection::None);
  for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) EXPECT_FALSE(f.Rip(r));
  EXPECT_TRUE(f.Ten(0));
  f.ClickRip(0, false);
  EXPECT_EQ(f.state->MediaTable[0].keepTenPercent, 1);
}

TEST(MediaList, LastPageOfAFullTableReadsNothingBeyondIt) {
  ListFixture f(MEDIA_TABLE_SIZE);
  f.state->FirstVisibleRow = 1980;
  MediaPageDown(*f.state, f.window);
  EXPECT_EQ(f.state->FirstVisibleRow, 1992u);
  EXPECT_FALSE(f.window.IsEnabled(IDC_DOWN));
  for (int r = 8; r < MEDIA_PAGE_ROWS; ++r) {
    f.ClickRip(r, true);
    EXPECT_FALSE(f.Rip(r));
    f.ClickTen(r, true);
    EXPECT_FALSE(f.Ten(r));
  }
  f.ClickRip(7, true);
  EXPECT_EQ(f.state->MediaTable[1999].rip, 1);
}

TEST(Panel, AppendsLinesAndDropsTheOldestPastTheLimit) {
  std::string panel;
  AppendPanelText(panel, "abc");
  EXPECT_EQ(panel, "abc\r\n");
  AppendPanelText(panel, "");
  EXPECT_EQ(panel, "abc\r\n");

  const std::string first = "- File Loaded.\r\n";
  std::string full = first + std::string(PANEL_TEXT_LIMIT - first.size() - 2, 'x') + "\r\n";
  std::string over = full + "y";
  AppendPanelText(full, "new");  // exactly at the limit: nothing is lost
  EXPECT_EQ(full.rfind(first, 0), 0u);
  AppendPanelText(over, "new");
  EXPECT_EQ(over.substr(over.size() - 6), "ynew\r\n");
  EXPECT_NE(over.rfind("xx", 0), std::string::npos);
  EXPECT_EQ(over.size(), PANEL_TEXT_LIMIT + 1 - first.size() + 5);

  std::string noLineFeed(PANEL_TEXT_LIMIT + 1, 'z');
  AppendPanelText(noLineFeed, "alone");
  EXPECT_EQ(noLineFeed, "alone\r\n");

  std::string leadingLineFeed = "\n" + std::string(PANEL_TEXT_LIMIT, 'q') + "\nrest";
  AppendPanelText(leadingLineFeed, "");  // the first character never ends the first line
  EXPECT_EQ(leadingLineFeed, "rest");
}

}  // namespace
}  // namespace quarnel
