// The media list's page and the mark rules behind its boxes, over a recording stand-in for the
// dialog's controls.
#include <gtest/gtest.h>

#include <map>

#include "analysis/media_marks.h"
#include "shell/media_page.h"
#include "shell/panel.h"

namespace quarnel {
namespace {

class FakeControls : public DialogControls {
 public:
  std::string ControlText(int id) override { return texts[id]; }
  void SetControlText(int id, const std::string& text) override { texts[id] = text; }
  bool IsChecked(int id) override { return checks[id]; }
  void SetChecked(int id, bool checked) override { checks[id] = checked; }
  void EnableControl(int id, bool enabled) override { this->enabled[id] = enabled; }
  void AppendPanelLine(const char* text, int panelId) override {
    AppendPanelText(texts[panelId], text);
  }
  bool IsEnabled(int id) const { return !enabled.contains(id) || enabled.at(id); }

  std::map<int, std::string> texts;
  std::map<int, bool> checks;
  std::map<int, bool> enabled;
};

struct ListFixture {
  std::unique_ptr<DiscAnalysis> analysis = NewDiscAnalysis();
  MediaPage page;
  FakeControls window;

  explicit ListFixture(uint32_t media) {
    for (uint32_t i = 0; i < media; ++i) {
      MediaRecord& r = analysis->MediaTable[i];
      r.kind = i % 3 == 2 ? MEDIA_XA : MEDIA_VIDEO;
      r.firstSector = 1000 * (i + 1);
      r.lastSector = 1000 * (i + 1) + 99;
      r.xaRecordCount = 4;
    }
    page.Render(analysis.get(), window);
  }
  // One letter per record (first 14) or page row: T ripped with its tenth, R ripped, t tenth only.
  static char Letter(bool rip, bool ten) { return rip ? (ten ? 'T' : 'R') : (ten ? 't' : '.'); }
  std::string Marks() const {
    std::string marks;
    for (int i = 0; i < 14; ++i) {
      marks += Letter(analysis->MediaTable[i].rip, analysis->MediaTable[i].keepTenPercent);
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
    page.RipBoxClicked(analysis.get(), window, row);
  }
  void ClickTen(int row, bool checked) {
    window.checks[IDC_TEN_PERCENT_FIRST + row] = checked;
    page.TenPercentBoxClicked(analysis.get(), window, row);
  }
  void Select(MediaSelection selection) {
    SelectMedia(*analysis, selection);
    page.ShowRipMarks(analysis.get(), window);
  }
};

TEST(MediaList, PagesOfTwelveWithUpAndDown) {
  ListFixture f(13);
  EXPECT_TRUE(f.window.IsEnabled(IDC_DOWN));
  EXPECT_FALSE(f.window.IsEnabled(IDC_UP));
  EXPECT_TRUE(f.window.texts[IDC_MEDIA_LIST].starts_with(
      "[Video Stream] from 001000 to 001099\r\n[Video Stream] from 002000 to 002099\r\n"
      "[XA Stream] from 003000 to 003099 (4 Records)\r\n"));
  f.page.Up(f.analysis.get(), f.window);  // first page: only the buttons are set again
  EXPECT_EQ(f.page.FirstVisibleRow, 0u);
  f.page.Down(f.analysis.get(), f.window);
  EXPECT_EQ(f.page.FirstVisibleRow, 12u);
  EXPECT_EQ(f.window.texts[IDC_MEDIA_LIST], "[Video Stream] from 013000 to 013099\r\n");
  EXPECT_FALSE(f.window.IsEnabled(IDC_DOWN));  // the next page would start with an empty row
  EXPECT_TRUE(f.window.IsEnabled(IDC_UP));
  f.page.Down(f.analysis.get(), f.window);
  EXPECT_EQ(f.page.FirstVisibleRow, 12u);

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
  f.Select(MediaSelection::Xa);
  EXPECT_EQ(f.Marks(), "t.R..R..R..R..");
  EXPECT_EQ(f.Boxes(), "t.R..R..R..R");
  f.Select(MediaSelection::All);
  EXPECT_EQ(f.Marks(), "TRRRRRRRRRRRR.");
  f.Select(MediaSelection::Video);
  EXPECT_EQ(f.Marks(), "TR.RR.RR.RR.R.");
  f.page.Down(f.analysis.get(), f.window);  // paging away and back shows the marks again
  f.page.Up(f.analysis.get(), f.window);
  EXPECT_EQ(f.Boxes(), "TR.RR.RR.RR.");
  f.Select(MediaSelection::None);
  f.ClickRip(0, false);
  EXPECT_EQ(f.Marks(), "t.............");
  EXPECT_EQ(f.Boxes(), "t...........");
}

TEST(MediaList, LastPageOfAFullTableReadsNothingBeyondIt) {
  ListFixture f(MEDIA_TABLE_SIZE);
  f.page.FirstVisibleRow = 1980;
  f.page.Down(f.analysis.get(), f.window);
  EXPECT_EQ(f.page.FirstVisibleRow, 1992u);
  EXPECT_FALSE(f.window.IsEnabled(IDC_DOWN));
  for (int r = 8; r < MEDIA_PAGE_ROWS; ++r) {
    f.ClickRip(r, true);
    f.ClickTen(r, true);
  }
  EXPECT_EQ(f.Boxes(), "............");
  f.ClickRip(7, true);
  EXPECT_EQ(f.analysis->MediaTable[1999].rip, 1);
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
