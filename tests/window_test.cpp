// The real dialog, driven with Qt Test on the offscreen platform over synthetic images.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "analysis/analyse_iso.h"
#include "analysis/media_list.h"
#include "common/panel.h"
#include "common/platform.h"
#include "fake_window.h"
#include "packing/process_iso.h"
#include "shell/main_window.h"
#include "synthetic/disc_builder.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::ScopedChdir;
using testing::TempDir;

constexpr char TITLE[] = "- Quarnel 3.2 -      The Best PSX Isos Ripping Tool For Velvix!";

// Acts on the next modal dialog as soon as it is up: the command that opened it waits in its
// exec() meanwhile.
class WhenModal {
 public:
  explicit WhenModal(std::function<void(QWidget*)> act) : act_(std::move(act)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr) return;
      timer_.stop();
      seen_ = true;
      act_(modal);
    });
    timer_.start();
  }
  bool Seen() const { return seen_; }

 private:
  std::function<void(QWidget*)> act_;
  QTimer timer_;
  bool seen_ = false;
};

void PressMessageBoxButton(QWidget* modal, QMessageBox::StandardButton which) {
  auto* box = qobject_cast<QMessageBox*>(modal);
  ASSERT_NE(box, nullptr);
  ASSERT_NE(box->button(which), nullptr);
  box->button(which)->click();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string WriteDisc(const DiscBuilder& disc, const std::string& path) {
  std::string error;
  if (!disc.Write(path, {}, &error)) ADD_FAILURE() << error;
  return path;
}

// `media` one-sector videos, found with the FF8 search method; `gap` data sectors between the
// first and the second half of them.
std::string WriteFf8Disc(const TempDir& dir, int media, uint32_t gap = 0) {
  DiscBuilder disc;
  disc.AddDataSectors(20);
  for (int i = 0; i < media; ++i) {
    disc.AddFf8Sector('J', 1, 0);
    disc.AddDataSector();
    if (i + 1 == media / 2) disc.AddDataSectors(gap);
  }
  return WriteDisc(disc, dir.File("ff8-" + std::to_string(media) + ".bin"));
}

// A video stream, an XA stream, and another video stream.
std::string WriteMixedDisc(const TempDir& dir) {
  DiscBuilder disc;
  disc.AddDataSectors(30);
  disc.AddMovie(6, 8, 7, 1);
  disc.AddDataSectors(7);
  disc.AddXaStream(2, 6);
  disc.AddDataSectors(9);
  disc.AddMovie(4, 8, 7, 2);
  disc.AddDataSectors(5);
  return WriteDisc(disc, dir.File("mixed.bin"));
}

class WindowTest : public ::testing::Test {
 protected:
  // Every window of these tests keeps its stored path in a folder of its own.
  WindowTest() { ::setenv("XDG_CONFIG_HOME", config_.Path().c_str(), 1); }

  void Open() {
    window_.reset();
    window_ = std::make_unique<MainWindow>(*state_);
    window_->show();
  }

  MainWindow& Window() { return *window_; }
  QWidget* Control(int id) { return window_->Control(id); }
  QLineEdit* PathBox() { return qobject_cast<QLineEdit*>(Control(IDC_PATH)); }
  QComboBox* Combo() { return qobject_cast<QComboBox*>(Control(IDC_COMPRESSION)); }
  QPlainTextEdit* Panel(int id) { return qobject_cast<QPlainTextEdit*>(Control(id)); }
  QProgressBar* Progress() { return qobject_cast<QProgressBar*>(Control(IDC_PROGRESS)); }
  bool Checked(int id) { return qobject_cast<QCheckBox*>(Control(id))->isChecked(); }
  bool Enabled(int id) { return Control(id)->isEnabled(); }
  const MediaRecord& Media(uint32_t i) const { return state_->MediaTable[i]; }

  void Click(int id) { QTest::mouseClick(Control(id), Qt::LeftButton); }
  void SetPath(const std::string& path) { PathBox()->setText(QString::fromStdString(path)); }
  std::string Path() { return PathBox()->text().toStdString(); }

  QStringList Lines(int panel) {
    const QString text = Panel(panel)->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
  }
  bool LogHas(const char* line) { return Lines(IDC_INFO_LOG).contains(QString::fromLatin1(line)); }

  void Analyse(const std::string& image, bool ff8 = false) {
    SetPath(image);
    if (Checked(IDC_FF8) != ff8) Click(IDC_FF8);
    Click(IDC_ANALYSE);
  }

  void Store(const std::string& path) {
    std::string bytes(IMAGE_PATH_SIZE, '\0');
    bytes.replace(0, path.size(), path);
    std::filesystem::create_directories(std::filesystem::path(SettingsFilePath()).parent_path());
    WriteFile(SettingsFilePath(), bytes);
  }
  std::string Stored() { return ReadFile(SettingsFilePath()).c_str(); }

  // Runs `act` once, inside the running command, when the bar first shows `percent` or more; the
  // window then makes a pass over the queue on every pump.
  void OnProgress(int percent, std::function<void()> act) {
    Window().SetPumpInterval(0);
    auto done = std::make_shared<bool>(false);
    QObject::connect(Progress(), &QProgressBar::valueChanged, Progress(),
                     [percent, act, done](int value) {
                       if (*done || value < percent) return;
                       *done = true;
                       act();
                     });
  }
  // The same from the pass over the queue that follows, as a user's click would come.
  void AtProgress(int percent, std::function<void()> act) {
    OnProgress(percent, [act] { QTimer::singleShot(0, act); });
  }

  TempDir config_;
  TempDir work_;
  std::unique_ptr<AppState> state_ = MakeAppState();
  std::unique_ptr<MainWindow> window_;
};

const std::vector<int>& CommandButtons() {
  static const std::vector<int> ids = {IDC_ANALYSE, IDC_PROCESS, IDC_UNCOMPRESS};
  return ids;
}

std::vector<int> RowBoxes() {
  std::vector<int> ids;
  for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) {
    ids.push_back(IDC_RIP_FIRST + r);
    ids.push_back(IDC_TEN_PERCENT_FIRST + r);
  }
  return ids;
}

const std::vector<int>& OptionBoxes() {
  static const std::vector<int> ids = {IDC_FF8,           IDC_SMALLEST_SOURCE, IDC_ENHANCED_MOVIE,
                                       IDC_RIP_AUDIO_MP3, IDC_RIP_XA_MP3,      IDC_ENHANCED_XA};
  return ids;
}

TEST_F(WindowTest, StartsWithTheTemplatesControlsAndStates) {
  Open();
  EXPECT_EQ(Window().windowTitle().toStdString(), TITLE);
  EXPECT_EQ(Window().size(), Window().DialogRect(0, 0, 387, 366).size());
  const QPoint offCentre =
      Window().frameGeometry().center() - Window().screen()->availableGeometry().center();
  EXPECT_LE(offCentre.manhattanLength(), 2);

  struct Placed {
    int id;
    QRect units;
  };
  const Placed placed[] = {
      {IDC_QUIT, {327, 319, 50, 14}},          {IDC_PATH, {5, 10, 255, 14}},
      {IDC_PROCESS, {113, 305, 65, 14}},       {IDC_PROGRESS, {15, 187, 354, 16}},
      {IDC_MEDIA_LIST, {43, 64, 167, 111}},    {IDC_DOWN, {7, 116, 32, 45}},
      {IDC_INFO_LOG, {15, 220, 355, 73}},      {IDC_SELECT_NONE, {248, 145, 21, 14}},
      {IDC_RIP_FIRST + 11, {214, 154, 10, 8}}, {IDC_TEN_PERCENT_FIRST, {231, 66, 10, 8}},
      {IDC_ENHANCED_XA, {281, 112, 8, 10}},
  };
  for (const Placed& p : placed) {
    const QRect& u = p.units;
    EXPECT_EQ(Control(p.id)->geometry(), Window().DialogRect(u.x(), u.y(), u.width(), u.height()))
        << p.id;
  }

  // Every label shows its whole text.
  QStringList labels;
  for (const QLabel* label : Window().findChildren<QLabel*>()) {
    labels << label->text();
    EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()))
        << label->text().toStdString();
  }
  labels.sort();
  EXPECT_EQ(labels.join(QLatin1Char('|')).toStdString(),
            "10%|Compression Method:|Enhanced Movie Detection|Enhanced XA Detection|"
            "FF8 Search method|Informations:|Medias Found:|Progress:|Rip Audio Tracks to MP3|"
            "Rip Xa Streams to MP3|Rip:|Select:|Smallest Video Source");

  // Tab order is the template's order; statics, the progress bar and the media list take no tab.
  std::vector<int> expected = {IDC_QUIT,       IDC_PATH,        IDC_SELECT_ISO, IDC_PROCESS,
                               IDC_UNCOMPRESS, IDC_COMPRESSION, IDC_STOP};
  for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) expected.push_back(IDC_RIP_FIRST + r);
  for (int id : {IDC_UP, IDC_DOWN, IDC_ANALYSE, IDC_INFO_LOG, IDC_SELECT_ALL, IDC_SELECT_VIDEO,
                 IDC_SELECT_XA, IDC_SELECT_NONE, IDC_FF8, IDC_SMALLEST_SOURCE}) {
    expected.push_back(id);
  }
  for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) expected.push_back(IDC_TEN_PERCENT_FIRST + r);
  for (int id : {IDC_ENHANCED_MOVIE, IDC_RIP_XA_MP3, IDC_RIP_AUDIO_MP3, IDC_ENHANCED_XA}) {
    expected.push_back(id);
  }
  std::map<QWidget*, int> idOf;
  for (int id = IDC_QUIT; id <= IDC_ENHANCED_XA; ++id) {
    if (Control(id) != nullptr) idOf[Control(id)] = id;
  }
  std::vector<int> order;
  QWidget* w = Control(IDC_QUIT);
  do {
    if (idOf.count(w) != 0 && (w->focusPolicy() & Qt::TabFocus)) order.push_back(idOf[w]);
    w = w->nextInFocusChain();
  } while (w != Control(IDC_QUIT));
  EXPECT_EQ(order, expected);

  EXPECT_TRUE(qobject_cast<QPushButton*>(Control(IDC_QUIT))->isDefault());
  for (int id : {IDC_PROCESS, IDC_UP, IDC_DOWN}) EXPECT_FALSE(Enabled(id)) << id;
  for (const auto& [widget, id] : idOf) {
    if (id != IDC_PROCESS && id != IDC_UP && id != IDC_DOWN) {
      EXPECT_TRUE(widget->isEnabled()) << id;
    }
    if (auto* box = qobject_cast<QCheckBox*>(widget)) {
      EXPECT_FALSE(box->isChecked()) << id;
    }
  }
  EXPECT_TRUE(Lines(IDC_INFO_LOG).isEmpty());
  EXPECT_TRUE(Lines(IDC_MEDIA_LIST).isEmpty());
  EXPECT_EQ(Progress()->value(), 0);
  EXPECT_EQ(Path(), "");
  ASSERT_EQ(Combo()->count(), 2);
  EXPECT_EQ(Combo()->itemText(0).toStdString(), "Maximum Compression");
  EXPECT_EQ(Combo()->itemText(1).toStdString(), "Normal Compression");
  EXPECT_EQ(Combo()->currentIndex(), COMBO_NORMAL_COMPRESSION);
  // The first start stores an empty path.
  EXPECT_EQ(ReadFile(SettingsFilePath()), std::string(IMAGE_PATH_SIZE, '\0'));
}

TEST_F(WindowTest, ComboAndPathBoxFollowTheStoredPath) {
  const struct {
    const char* path;
    int selection;
  } cases[] = {
      {"/cd/game.bin.bz", COMBO_MAXIMUM_COMPRESSION},
      {"/cd/game.bin.Z", COMBO_NORMAL_COMPRESSION},
      {"/cd/game.bin.ZNX", COMBO_NORMAL_COMPRESSION},
      {"/cd/game.bin.z", COMBO_NORMAL_COMPRESSION},
      {"/cd/game.bin", COMBO_NORMAL_COMPRESSION},
      {"/cd/old.Z/game.bin.bz", COMBO_NORMAL_COMPRESSION},  // ".Z" anywhere wins
  };
  for (const auto& c : cases) {
    Store(c.path);
    Open();
    EXPECT_EQ(Path(), c.path);
    EXPECT_EQ(Combo()->currentIndex(), c.selection) << c.path;
  }
}

TEST_F(WindowTest, QuitAndEnterStoreThePathEscAndTheCloseBoxDoNot) {
  Store("/cd/stored.bin");
  Open();
  PathBox()->clear();
  QTest::keyClicks(PathBox(), "/cd/typed.bin");
  QTest::keyClick(PathBox(), Qt::Key_Escape);
  EXPECT_FALSE(Window().isVisible());
  EXPECT_EQ(Window().result(), QDialog::Rejected);
  EXPECT_EQ(Stored(), "/cd/stored.bin");

  Open();
  SetPath("/cd/closed.bin");
  Window().close();
  EXPECT_FALSE(Window().isVisible());
  EXPECT_EQ(Stored(), "/cd/stored.bin");

  Open();
  SetPath("/cd/quit.bin");
  state_->StopRequested = 0;
  Click(IDC_QUIT);
  EXPECT_FALSE(Window().isVisible());
  EXPECT_EQ(Window().result(), QDialog::Accepted);
  EXPECT_EQ(state_->StopRequested, 1u);
  EXPECT_EQ(Stored(), "/cd/quit.bin");
  EXPECT_EQ(ReadFile(SettingsFilePath()).size(), IMAGE_PATH_SIZE);

  // Enter in the path box presses the default button, Quit.
  Open();
  EXPECT_EQ(Path(), "/cd/quit.bin");
  SetPath("/cd/enter.bin");
  QTest::keyClick(PathBox(), Qt::Key_Return);
  EXPECT_FALSE(Window().isVisible());
  EXPECT_EQ(Stored(), "/cd/enter.bin");
}

TEST_F(WindowTest, PagesOfTwelveMediaWithUpAndDown) {
  Open();
  for (int media : {12, 13, 25}) {
    SCOPED_TRACE(media);
    Analyse(WriteFf8Disc(work_, media), /*ff8=*/true);
    const int pages = (media + 11) / 12;
    for (int page = 0; page < pages; ++page) {
      const QStringList lines = Lines(IDC_MEDIA_LIST);
      ASSERT_EQ(lines.size(), std::min(12, media - 12 * page)) << page;
      for (int r = 0; r < lines.size(); ++r) {
        EXPECT_EQ(lines[r].toStdString(), MediaRowText(Media(12 * page + r)));
      }
      EXPECT_EQ(Enabled(IDC_UP), page > 0);
      EXPECT_EQ(Enabled(IDC_DOWN), page + 1 < pages);
      if (page + 1 < pages) Click(IDC_DOWN);
    }
    for (int page = pages - 1; page > 0; --page) Click(IDC_UP);
    EXPECT_EQ(Lines(IDC_MEDIA_LIST).size(), 12);
    EXPECT_FALSE(Enabled(IDC_UP));
  }

  // Marks stay in the table: paging away and back shows them again.
  Click(IDC_RIP_FIRST + 0);
  Click(IDC_TEN_PERCENT_FIRST + 0);
  Click(IDC_RIP_FIRST + 5);
  Click(IDC_DOWN);
  EXPECT_FALSE(Checked(IDC_RIP_FIRST + 0));
  EXPECT_FALSE(Checked(IDC_TEN_PERCENT_FIRST + 0));
  Click(IDC_UP);
  EXPECT_TRUE(Checked(IDC_RIP_FIRST + 0));
  EXPECT_TRUE(Checked(IDC_TEN_PERCENT_FIRST + 0));
  EXPECT_TRUE(Checked(IDC_RIP_FIRST + 5));
  EXPECT_FALSE(Checked(IDC_TEN_PERCENT_FIRST + 5));

  // "DOWN" disables itself on the last page: Enter then reaches Quit, never "Analyse ISO".
  Click(IDC_DOWN);
  Click(IDC_DOWN);
  ASSERT_FALSE(Enabled(IDC_DOWN));
  const QStringList log = Lines(IDC_INFO_LOG);
  QTest::keyClick(Window().focusWidget(), Qt::Key_Return);
  EXPECT_FALSE(Window().isVisible());
  EXPECT_EQ(Window().result(), QDialog::Accepted);
  EXPECT_EQ(Lines(IDC_INFO_LOG), log);
  EXPECT_EQ(Media(0).rip, 1u);
  EXPECT_EQ(Media(0).keepTenPercent, 1u);
}

TEST_F(WindowTest, LastPageOfAFullTable) {
  Open();
  Analyse(WriteFf8Disc(work_, 2010), /*ff8=*/true);
  while (Enabled(IDC_DOWN)) Click(IDC_DOWN);
  EXPECT_EQ(state_->FirstVisibleRow, 1992u);
  EXPECT_EQ(Lines(IDC_MEDIA_LIST).size(), 8);
  // Rows beyond the table refuse their marks.
  Click(IDC_RIP_FIRST + 8);
  EXPECT_FALSE(Checked(IDC_RIP_FIRST + 8));
  Click(IDC_RIP_FIRST + 7);
  EXPECT_TRUE(Checked(IDC_RIP_FIRST + 7));
  EXPECT_EQ(Media(1999).rip, 1u);
}

TEST_F(WindowTest, RowBoxesFollowTheMarkRules) {
  Open();
  Analyse(WriteMixedDisc(work_));
  ASSERT_EQ(Media(0).kind, MEDIA_VIDEO);
  ASSERT_EQ(Media(1).kind, MEDIA_XA);
  ASSERT_EQ(Media(2).kind, MEDIA_VIDEO);
  ASSERT_EQ(Media(3).kind, MEDIA_NONE);
  const int video = 0, xa = 1, empty = 3;
  const auto rip = [](int row) { return IDC_RIP_FIRST + row; };
  const auto ten = [](int row) { return IDC_TEN_PERCENT_FIRST + row; };

  Click(rip(empty));  // an empty row takes no mark
  EXPECT_FALSE(Checked(rip(empty)));
  Click(ten(empty));
  EXPECT_FALSE(Checked(ten(empty)));

  Click(ten(video));  // 10% only on a video marked "Rip:"
  EXPECT_FALSE(Checked(ten(video)));
  EXPECT_EQ(Media(video).keepTenPercent, 0u);
  Click(rip(video));
  Click(ten(video));
  EXPECT_TRUE(Checked(rip(video)));
  EXPECT_TRUE(Checked(ten(video)));
  EXPECT_EQ(Media(video).rip, 1u);
  EXPECT_EQ(Media(video).keepTenPercent, 1u);

  Click(rip(xa));  // never on an XA stream
  Click(ten(xa));
  EXPECT_TRUE(Checked(rip(xa)));
  EXPECT_FALSE(Checked(ten(xa)));
  EXPECT_EQ(Media(xa).keepTenPercent, 0u);

  Click(rip(video));  // clearing "Rip:" keeps the 10% mark
  EXPECT_EQ(Media(video).rip, 0u);
  EXPECT_TRUE(Checked(ten(video)));
  EXPECT_EQ(Media(video).keepTenPercent, 1u);
  Click(ten(video));
  EXPECT_FALSE(Checked(ten(video)));
  EXPECT_EQ(Media(video).keepTenPercent, 0u);
}

TEST_F(WindowTest, SelectionButtonsMarkTheWholeTable) {
  Open();
  Analyse(WriteMixedDisc(work_));
  const QString listed = Panel(IDC_MEDIA_LIST)->toPlainText();
  Click(IDC_RIP_FIRST);
  Click(IDC_TEN_PERCENT_FIRST);
  const auto ripBoxes = [this] {
    std::string s;
    for (int r = 0; r < 4; ++r) s += Checked(IDC_RIP_FIRST + r) ? 'x' : '.';
    return s;
  };
  const auto ripMarks = [this] {
    std::string s;
    for (int r = 0; r < 4; ++r) s += Media(r).rip ? 'x' : '.';
    return s;
  };
  const struct {
    int button;
    const char* marks;
  } steps[] = {{IDC_SELECT_XA, ".x.."},
               {IDC_SELECT_VIDEO, "x.x."},
               {IDC_SELECT_NONE, "...."},
               {IDC_SELECT_ALL, "xxx."}};
  for (const auto& step : steps) {
    Click(step.button);
    EXPECT_EQ(ripBoxes(), step.marks) << step.button;
    EXPECT_EQ(ripMarks(), step.marks) << step.button;
    // The 10% marks, the list and the page stay as they were.
    EXPECT_TRUE(Checked(IDC_TEN_PERCENT_FIRST));
    EXPECT_EQ(Media(0).keepTenPercent, 1u);
    EXPECT_EQ(Panel(IDC_MEDIA_LIST)->toPlainText(), listed);
  }
}

TEST_F(WindowTest, AFailedOpenSaysWhyAndLeavesNoMarkOfTheImageBefore) {
  ScopedChdir in(work_.Path());
  const std::string image = WriteMixedDisc(work_);
  Open();
  Analyse(work_.File("missing.bin"));
  EXPECT_FALSE(Enabled(IDC_PROCESS));
  EXPECT_EQ(Lines(IDC_INFO_LOG),
            QStringList{QString::fromStdString("ERROR: cannot open " + work_.File("missing.bin") +
                                               ": No such file or directory.")});
  Analyse(image);
  Click(IDC_RIP_FIRST);
  Click(IDC_TEN_PERCENT_FIRST);
  ASSERT_TRUE(Checked(IDC_TEN_PERCENT_FIRST));
  Analyse(work_.File("missing.bin"));
  EXPECT_TRUE(Lines(IDC_MEDIA_LIST).isEmpty());
  for (int id : RowBoxes()) EXPECT_FALSE(Checked(id)) << id;
  EXPECT_TRUE(Lines(IDC_INFO_LOG).last().startsWith(QStringLiteral("ERROR: cannot open ")));

  // "Process ISO" analyses the image the box names, and ends with what it wrote or kept.
  for (const bool analysed : {false, true}) {
    if (analysed) Analyse(image);
    SetPath(image);
    AtProgress(30, [this] { Click(IDC_STOP); });
    Click(IDC_PROCESS);
    const QString last = Lines(IDC_INFO_LOG).last();
    EXPECT_TRUE(analysed
                    ? last.startsWith(QStringLiteral("Stopped after "))
                    : last == QStringLiteral("Stopped during the analysis: nothing was written."))
        << last.toStdString();
    EXPECT_FALSE(std::filesystem::exists(image + ".Z"));
  }
  Click(IDC_PROCESS);
  EXPECT_EQ(Lines(IDC_INFO_LOG).last().toStdString(),
            "Wrote " + image + ".Z and " + image + ".Z.table.");
  EXPECT_EQ(Path(), image + ".Z");
}

// Marks and tables of one image never reach the compressed image of another.
TEST_F(WindowTest, ProcessAfterUncompressUsesOnlyTheRestoredImagesAnalysis) {
  TempDir reference;
  ScopedChdir in(reference.Path());
  const std::string imageB = WriteMixedDisc(reference);
  {
    testing::FakeWindow fake;
    fake.texts[IDC_PATH] = imageB;
    auto state = MakeAppState();
    ASSERT_TRUE(AnalyseIso(*state, fake).opened);
    ASSERT_TRUE(ProcessIso(*state, fake, ProcessOptions{}).outcome.Done());
  }
  const std::string compressed = work_.File("mixed.bin.Z");
  for (const char* suffix : {".Z", ".Z.table"}) {
    std::filesystem::copy_file(imageB + suffix, work_.File(std::string("mixed.bin") + suffix));
  }
  Open();
  Combo()->setCurrentIndex(COMBO_NORMAL_COMPRESSION);
  Analyse(WriteFf8Disc(work_, 20), /*ff8=*/true);
  Click(IDC_SELECT_ALL);
  Click(IDC_TEN_PERCENT_FIRST);
  SetPath(compressed);
  Click(IDC_UNCOMPRESS);
  EXPECT_EQ(Lines(IDC_INFO_LOG).last().toStdString(), "Wrote " + work_.File("mixed.bin") + ".");
  EXPECT_TRUE(Lines(IDC_MEDIA_LIST).isEmpty());
  for (int id : RowBoxes()) EXPECT_FALSE(Checked(id)) << id;
  std::filesystem::remove(compressed);
  std::filesystem::remove(compressed + ".table");
  Click(IDC_PROCESS);
  EXPECT_EQ(Path(), compressed);
  EXPECT_TRUE(ReadFile(compressed) == ReadFile(imageB + ".Z"));
  EXPECT_TRUE(ReadFile(compressed + ".table") == ReadFile(imageB + ".Z.table"));
}

TEST_F(WindowTest, PathBoxNamesWhatEachCommandExaminedOrMade) {
  ScopedChdir in(work_.Path());
  const std::string image = WriteMixedDisc(work_);
  const std::string original = ReadFile(image);
  Open();
  Analyse(image);
  EXPECT_EQ(Path(), image);
  EXPECT_EQ(Progress()->value(), 100);  // the last position shows when the command ends
  Combo()->setCurrentIndex(COMBO_MAXIMUM_COMPRESSION);
  Click(IDC_PROCESS);
  EXPECT_EQ(Path(), image + ".bz");
  EXPECT_TRUE(std::filesystem::exists(image + ".bz"));

  // Uncompress follows at once. Its output exists: No leaves it and every button as they were.
  std::string question;
  {
    WhenModal answer([&](QWidget* modal) {
      question = qobject_cast<QMessageBox*>(modal)->text().toStdString();
      PressMessageBoxButton(modal, QMessageBox::No);
    });
    Click(IDC_UNCOMPRESS);
    EXPECT_TRUE(answer.Seen());
  }
  EXPECT_NE(question.find(image), std::string::npos) << question;
  EXPECT_EQ(Path(), image + ".bz");
  EXPECT_EQ(ReadFile(image), original);
  for (int id : CommandButtons()) EXPECT_TRUE(Enabled(id)) << id;

  WriteFile(image, "something else");
  {
    WhenModal answer([](QWidget* modal) { PressMessageBoxButton(modal, QMessageBox::Yes); });
    Click(IDC_UNCOMPRESS);
    EXPECT_TRUE(answer.Seen());
  }
  EXPECT_EQ(Path(), image);
  EXPECT_TRUE(ReadFile(image) == original);
}

TEST_F(WindowTest, RippingXaForcesNormalModeAfterAWarning) {
  ScopedChdir in(work_.Path());
  const std::string image = WriteMixedDisc(work_);
  Open();
  Analyse(image);
  Combo()->setCurrentIndex(COMBO_MAXIMUM_COMPRESSION);
  Click(IDC_RIP_FIRST + 1);  // the XA stream
  ASSERT_EQ(Media(1).rip, 1u);

  std::string title, text;
  size_t buttons = 0;
  std::vector<bool> commandsEnabled;
  {
    WhenModal answer([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      title = box->windowTitle().toStdString();
      text = box->text().toStdString();
      buttons = box->buttons().size();
      for (int id : CommandButtons()) commandsEnabled.push_back(Enabled(id));
      PressMessageBoxButton(modal, QMessageBox::Ok);
    });
    Click(IDC_PROCESS);
    ASSERT_TRUE(answer.Seen());
  }
  EXPECT_EQ(title, "Warning.");
  EXPECT_EQ(text, "Compression mode forced to Normal\nbecause of music ripping selected");
  EXPECT_EQ(buttons, 1u);
  // Nothing can start while the box is up.
  EXPECT_EQ(commandsEnabled, std::vector<bool>(3, false));
  EXPECT_TRUE(LogHas("- Compression mode: Normal"));
  EXPECT_EQ(state_->CompressionMode, 3u);
  EXPECT_EQ(Path(), image + ".ZNX");
  EXPECT_EQ(Combo()->currentIndex(), COMBO_MAXIMUM_COMPRESSION);
}

TEST_F(WindowTest, ARunLocksWhatItReadsAndNeverStartsASecondRun) {
  ScopedChdir in(work_.Path());
  const std::string image = WriteFf8Disc(work_, 20, 3000);
  Open();
  std::map<int, bool> during;
  std::vector<int> all = RowBoxes();
  for (int id : {IDC_QUIT, IDC_PATH, IDC_SELECT_ISO, IDC_STOP, IDC_COMPRESSION, IDC_UP, IDC_DOWN,
                 IDC_SELECT_ALL, IDC_SELECT_VIDEO, IDC_SELECT_XA, IDC_SELECT_NONE, IDC_INFO_LOG}) {
    all.push_back(id);
  }
  for (int id : CommandButtons()) all.push_back(id);
  for (int id : OptionBoxes()) all.push_back(id);
  int analyses = 0;
  const auto look = [&] {
    for (int id : all) during[id] = Enabled(id);
    // A click on a disabled button does nothing, also from within the run.
    Click(IDC_ANALYSE);
  };
  OnProgress(50, look);
  QObject::connect(qobject_cast<QPushButton*>(Control(IDC_ANALYSE)), &QPushButton::clicked,
                   [&] { ++analyses; });

  Analyse(image, /*ff8=*/true);
  EXPECT_EQ(analyses, 1);
  std::map<int, bool> expected;
  for (int id : all) expected[id] = false;
  for (int id : {IDC_QUIT, IDC_STOP, IDC_COMPRESSION, IDC_INFO_LOG}) expected[id] = true;
  for (int id : OptionBoxes()) expected[id] = true;
  EXPECT_EQ(during, expected);
  for (int id : CommandButtons()) EXPECT_TRUE(Enabled(id)) << id;
  for (int id : RowBoxes()) EXPECT_TRUE(Enabled(id)) << id;
  EXPECT_TRUE(Enabled(IDC_DOWN));

  // During processing paging only changes the view: it follows its own rule.
  during.clear();
  Progress()->setValue(0);
  OnProgress(50, look);
  Click(IDC_PROCESS);
  expected[IDC_DOWN] = true;
  EXPECT_EQ(during, expected);
  EXPECT_TRUE(Enabled(IDC_PATH));
  EXPECT_TRUE(Enabled(IDC_SELECT_ISO));
}

TEST_F(WindowTest, StopQuitAndTheCloseBoxDuringAnAnalysis) {
  // Ten media, a long gap, ten more: a run stopped in the gap lists the first ten.
  const std::string image = WriteFf8Disc(work_, 20, 4000);
  Store("/cd/stored.bin");
  Open();
  AtProgress(30, [this] { Click(IDC_STOP); });
  Analyse(image, /*ff8=*/true);
  EXPECT_LT(Progress()->value(), 100);
  EXPECT_EQ(Lines(IDC_MEDIA_LIST).size(), 10);
  EXPECT_TRUE(LogHas("10 Video found and 0 XA Records found within XA streams"));
  for (int id : CommandButtons()) EXPECT_TRUE(Enabled(id)) << id;
  EXPECT_TRUE(Enabled(IDC_PATH));
  EXPECT_EQ(Path(), image);

  // Esc does nothing while a command runs.
  AtProgress(30, [this] { QTest::keyClick(&Window(), Qt::Key_Escape); });
  Analyse(image, true);
  EXPECT_TRUE(Window().isVisible());
  EXPECT_EQ(Progress()->value(), 100);

  // The close box lets the run finish, then the dialog ends without storing.
  AtProgress(30, [this] { Window().close(); });
  Analyse(image, true);
  EXPECT_FALSE(Window().isVisible());
  EXPECT_EQ(Window().result(), QDialog::Rejected);
  EXPECT_EQ(Progress()->value(), 100);
  EXPECT_EQ(Lines(IDC_MEDIA_LIST).size(), 12);
  EXPECT_EQ(Stored(), "/cd/stored.bin");

  // Quit stores the path and stops the run at its next test of the flag.
  Open();
  AtProgress(30, [this] { Click(IDC_QUIT); });
  Analyse(image, true);
  EXPECT_FALSE(Window().isVisible());
  EXPECT_EQ(Window().result(), QDialog::Accepted);
  EXPECT_LT(Progress()->value(), 100);
  EXPECT_EQ(Stored(), image);
  EXPECT_EQ(std::string(state_->ImagePath), image);
}

TEST_F(WindowTest, PanelLinesAreTrimmedScrolledAndAlignedWithTheRows) {
  Open();
  Window().AppendPanelLine("abc", IDC_INFO_LOG);
  Window().AppendPanelLine("", IDC_INFO_LOG);
  EXPECT_EQ(Window().ControlText(IDC_INFO_LOG), "abc\r\n");

  const std::string first = "- File Loaded.\r\n";
  const auto filled = [&](size_t total) {
    std::string text = first;
    while (text.size() + 10 <= total) text += "12345678\r\n";
    text.insert(first.size(), total - text.size(), 'x');
    return text;
  };
  std::string text = filled(PANEL_TEXT_LIMIT);
  Window().SetControlText(IDC_INFO_LOG, text);
  Window().AppendPanelLine("new", IDC_INFO_LOG);
  EXPECT_EQ(Window().ControlText(IDC_INFO_LOG), text + "new\r\n");  // not past the limit

  text = filled(PANEL_TEXT_LIMIT + 1);
  Window().SetControlText(IDC_INFO_LOG, text);
  Window().AppendPanelLine("new", IDC_INFO_LOG);
  EXPECT_EQ(Window().ControlText(IDC_INFO_LOG), text.substr(first.size()) + "new\r\n");

  // The last line is in view after every append.
  QScrollBar* bar = Panel(IDC_INFO_LOG)->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  for (int i = 0; i < 5; ++i) Window().AppendPanelLine("more", IDC_INFO_LOG);
  EXPECT_EQ(bar->value(), bar->maximum());

  // The panel shows its text line for line however the lines come: one by one while idle, or
  // gathered while a command runs, past the limit either way.
  const auto shownAsText = [&] {
    QString text = QString::fromStdString(Window().ControlText(IDC_INFO_LOG));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
    return Panel(IDC_INFO_LOG)->toPlainText() == text;
  };
  std::string expected = Window().ControlText(IDC_INFO_LOG);
  const auto appendMany = [&](int count) {
    for (int i = 0; i < count; ++i) {
      const std::string line = i % 7 ? "line " + std::to_string(i) + std::string(i % 97, 'x') : "";
      Window().AppendPanelLine(line.c_str(), IDC_INFO_LOG);
      AppendPanelText(expected, line.c_str());
    }
  };
  appendMany(600);
  EXPECT_EQ(Window().ControlText(IDC_INFO_LOG), expected);
  EXPECT_TRUE(shownAsText());
  OnProgress(50, [&] {
    Window().SetPumpInterval(1000);
    appendMany(400);
    Window().SetPumpInterval(0);
    Window().PumpMessages();
    Window().SetPumpInterval(1000);
    appendMany(50);
  });

  // Line r of the media list sits beside the boxes of row r.
  Analyse(WriteFf8Disc(work_, 12), /*ff8=*/true);
  EXPECT_TRUE(shownAsText());
  QPlainTextEdit* list = Panel(IDC_MEDIA_LIST);
  for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) {
    const QTextBlock block = list->document()->findBlockByNumber(r);
    const QRect line = list->cursorRect(QTextCursor(block));
    const QPoint top = list->viewport()->mapTo(&Window(), line.topLeft());
    const QRect box = Control(IDC_RIP_FIRST + r)->geometry();
    EXPECT_NEAR(top.y(), box.top(), 2) << r;
    EXPECT_NEAR(line.height(), box.height(), 2) << r;
    EXPECT_LE(list->fontMetrics().horizontalAdvance(block.text()), list->viewport()->width());
  }
}

// A Latin-1 file name, as the file system has it: stored, shown, analysed, logged, stored again.
TEST_F(WindowTest, APathThatIsNotUtf8KeepsItsBytesFromStartToQuitAndFromADropOrAPaste) {
  DiscBuilder disc;
  disc.AddDataSectors(30);
  disc.AddMovie(6, 8, 7, 1);
  disc.AddDataSectors(5);
  const std::string image = WriteDisc(disc, work_.File("caf\xe9.bin"));
  Store(image);
  Open();
  EXPECT_TRUE(PathBox()->text().endsWith(QStringLiteral(u"caf\uFFFD.bin")));
  Window().AppendPanelLine(("- " + image).c_str(), IDC_INFO_LOG);
  EXPECT_EQ(Window().ControlText(IDC_INFO_LOG), "- " + image + "\r\n");
  Click(IDC_ANALYSE);
  EXPECT_TRUE(LogHas("- File Loaded."));
  EXPECT_EQ(Media(0).kind, MEDIA_VIDEO);
  EXPECT_EQ(Window().ControlText(IDC_PATH), image);
  Click(IDC_QUIT);
  EXPECT_EQ(Stored(), image);

  // A dropped file puts its bytes in the path box and starts nothing; a folder is refused.
  const std::string dropped = work_.File(
      "d\xfc"
      "ck.bin.Z");
  WriteFile(dropped, "x");
  Open();
  const QStringList log = Lines(IDC_INFO_LOG);
  for (const std::string& path : {dropped, work_.Path().string()}) {
    QMimeData data;
    data.setData(QStringLiteral("text/uri-list"),
                 "file://" + QByteArray::fromStdString(path).toPercentEncoding("/") + "\r\n");
    const QPoint at = Control(IDC_MEDIA_LIST)->geometry().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&Window(), &enter);
    EXPECT_EQ(enter.isAccepted(), path == dropped);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&Window(), &drop);
  }
  EXPECT_EQ(Window().ControlText(IDC_PATH), dropped);
  EXPECT_EQ(Lines(IDC_INFO_LOG), log);

  // A file copied in a file manager pastes into the path box with its bytes.
  auto* copied = new QMimeData;
  copied->setData(QStringLiteral("text/uri-list"),
                  "file://" + QByteArray::fromStdString(image).toPercentEncoding("/") + "\r\n");
  QGuiApplication::clipboard()->setMimeData(copied);
  PathBox()->setFocus();
  QTest::keyClick(PathBox(), Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(Window().ControlText(IDC_PATH), image);
}

TEST_F(WindowTest, SelectIsoListsImagesInAnyCaseAndReturnsTheFilesBytes) {
  const std::string latin1 = "caf\xe9.bin";  // not UTF-8
  for (const std::string& name :
       {std::string("game.bin.Z"), std::string("GAME.BIN"), std::string("disc.Iso"),
        std::string("disc.CUE"), std::string("notes.txt"), std::string("game.bin.Z.table"), latin1,
        std::string("y.iso")}) {
    WriteFile(work_.File(name), "x");
  }
  Open();
  const std::string typed = work_.File("typed.bin");
  SetPath(typed);
  QStringList shown, filters;
  QString filterShown;
  {
    WhenModal answer([&](QWidget* modal) {
      auto* chooser = qobject_cast<QFileDialog*>(modal);
      ASSERT_NE(chooser, nullptr);
      filters = chooser->nameFilters();
      filterShown = chooser->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))->currentText();
      auto* view = chooser->findChild<QListView*>(QStringLiteral("listView"));
      ASSERT_NE(view, nullptr);
      EXPECT_TRUE(
          QTest::qWaitFor([&] { return view->model()->rowCount(view->rootIndex()) >= 5; }, 5000));
      QTest::qWait(50);  // the folder's listing arrives in parts
      for (int i = 0; i < view->model()->rowCount(view->rootIndex()); ++i) {
        shown << view->model()->index(i, 0, view->rootIndex()).data().toString();
      }
      chooser->reject();
    });
    Click(IDC_SELECT_ISO);
    ASSERT_TRUE(answer.Seen());
  }
  EXPECT_EQ(filters, QStringList({"Cd Iso Format (*.bin *.iso *.img *.z *.bz *.znx *.cue)",
                                  "All files (*)"}));
  EXPECT_EQ(filterShown, QStringLiteral("Cd Iso Format"));
  // Qt's folder model leaves out names that are not UTF-8; typed, they are found below.
  shown.removeAll(QString::fromUtf8(latin1.data(), static_cast<qsizetype>(latin1.size())));
  shown.sort();
  EXPECT_EQ(shown.join(QLatin1Char('|')).toStdString(),
            "GAME.BIN|disc.CUE|disc.Iso|game.bin.Z|y.iso");
  EXPECT_EQ(Path(), typed);  // cancelled

  // What the user types or picks, and the bytes that the path box then holds.
  const struct {
    QString typed;
    std::string name;
  } cases[] = {
      {QStringLiteral("GAME.BIN"), "GAME.BIN"},
      {QStringLiteral("y"), "y.iso"},
      {QString::fromUtf8(latin1.data(), static_cast<qsizetype>(latin1.size())), latin1},
  };
  for (const auto& c : cases) {
    WhenModal answer([&](QWidget* modal) {
      auto* chooser = qobject_cast<QFileDialog*>(modal);
      chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(c.typed);
      static_cast<QDialog*>(chooser)->accept();
    });
    Click(IDC_SELECT_ISO);
    ASSERT_TRUE(answer.Seen());
    EXPECT_EQ(Window().ControlText(IDC_PATH), work_.File(c.name));
    EXPECT_EQ(std::string(state_->ImagePath), work_.File(c.name));
  }
}

}  // namespace
}  // namespace quarnel

int main(int argc, char** argv) {
  // Offscreen also when run by hand, and a private runtime folder that Qt asks for.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const quarnel::testing::TempDir runtime;
  qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.Path().string()));
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
