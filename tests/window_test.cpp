// The real dialog, driven with Qt Test on the offscreen platform over synthetic images.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "analysis/media_marks.h"
#include "common/platform.h"
#include "shell/main_window.h"
#include "shell/panel.h"
#include "synthetic/disc_builder.h"
#include "test_support.h"

namespace quarnel {
namespace {

using namespace std::chrono_literals;
using testing::ScopedChdir;
using testing::TempDir;

// Acts on the next modal dialog as soon as it is up: the command that opened it waits in its
// exec() meanwhile.
struct WhenModal {
  explicit WhenModal(std::function<void(QWidget*)> act) {
    QObject::connect(&timer, &QTimer::timeout, [this, act] {
      if (QWidget* modal = QApplication::activeModalWidget()) {
        timer.stop();
        act(modal);
      }
    });
    timer.start(5);
  }
  QTimer timer;
};

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

class WindowTest : public ::testing::Test {
 protected:
  // Every window of these tests keeps its stored path in a folder of its own.
  WindowTest() { ::setenv("XDG_CONFIG_HOME", config_.Path().c_str(), 1); }

  void Open() {
    window_.reset();
    window_ = std::make_unique<MainWindow>();
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
  const MediaRecord& Media(uint32_t i) const { return window_->Analysis().MediaTable[i]; }

  void Click(int id) { QTest::mouseClick(Control(id), Qt::LeftButton); }
  void SetPath(const std::string& path) { PathBox()->setText(QString::fromStdString(path)); }

  QStringList Lines(int id) { return Panel(id)->toPlainText().split('\n', Qt::SkipEmptyParts); }

  void Analyse(const std::string& image, bool ff8 = false) {
    SetPath(image);
    if (Checked(IDC_FF8) != ff8) Click(IDC_FF8);
    Click(IDC_ANALYSE);
  }

  void Store(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(SettingsFilePath()).parent_path());
    std::ofstream(SettingsFilePath(), std::ios::binary)
        << path << std::string(IMAGE_PATH_SIZE - path.size(), '\0');
  }
  std::string Stored() {
    const auto bytes = testing::ReadAll(SettingsFilePath());
    return std::string(bytes.begin(), std::find(bytes.begin(), bytes.end(), 0));
  }

  // Runs `act` once, inside the running command, when the bar first shows `percent` or more; the
  // window then makes a pass over the queue on every pump.
  void OnProgress(int percent, std::function<void()> act) {
    Window().SetPumpInterval(0);
    QObject::connect(Progress(), &QProgressBar::valueChanged, Progress(),
                     [percent, act, done = false](int value) mutable {
                       if (done || value < percent) return;
                       done = true;
                       act();
                     });
  }
  // The same from the pass over the queue that follows, as a user's click would come.
  void AtProgress(int percent, std::function<void()> act) {
    OnProgress(percent, [act] { QTimer::singleShot(0, act); });
  }

  TempDir config_;
  TempDir work_;
  std::unique_ptr<MainWindow> window_;
};

const int kCommandButtons[] = {IDC_ANALYSE, IDC_PROCESS, IDC_UNCOMPRESS};

// The rules themselves are the media list's; here the buttons and boxes reach them, and a box
// that Qt has toggled is set back where a rule refuses the mark.
TEST_F(WindowTest, PagingAndMarkingControlsReachTheTable) {
  Open();
  Analyse(WriteFf8Disc(work_, 25), /*ff8=*/true);
  Click(IDC_DOWN);
  Click(IDC_DOWN);
  EXPECT_EQ(Lines(IDC_MEDIA_LIST), QStringList(QString::fromStdString(MediaRowText(Media(24)))));
  Click(IDC_RIP_FIRST + 1);      // beyond the table
  Click(IDC_TEN_PERCENT_FIRST);  // not marked "Rip:"
  EXPECT_FALSE(Checked(IDC_RIP_FIRST + 1) || Checked(IDC_TEN_PERCENT_FIRST));
  Click(IDC_SELECT_ALL);
  Click(IDC_TEN_PERCENT_FIRST);
  EXPECT_TRUE(Checked(IDC_TEN_PERCENT_FIRST));
  Click(IDC_UP);
  EXPECT_TRUE(Checked(IDC_RIP_FIRST + 11) && !Checked(IDC_TEN_PERCENT_FIRST));

  // "DOWN" disables itself on the last page: Enter then reaches Quit, never "Analyse ISO".
  Click(IDC_DOWN);
  ASSERT_FALSE(Enabled(IDC_DOWN));
  const QStringList log = Lines(IDC_INFO_LOG);
  QTest::keyClick(Window().focusWidget(), Qt::Key_Return);
  EXPECT_EQ(Window().result(), QDialog::Accepted);
  EXPECT_EQ(Lines(IDC_INFO_LOG), log);
}

// Every failure is said once, in the log's last line, and the marks the user set stay with the
// image they belong to.
TEST_F(WindowTest, AFailureIsSaidOnceAndKeepsTheMarksOfTheImageBefore) {
  ScopedChdir in(work_.Path());
  const std::string image = WriteDisc(testing::MixedDisc(), work_.File("mixed.bin"));
  const std::string other = WriteDisc(testing::MixedDisc(), work_.File("other.bin"));
  const std::string damaged = work_.File("damaged.bin");
  std::ofstream(work_.File("empty.bin")).flush();
  Open();
  Analyse(image);
  Click(IDC_RIP_FIRST);
  Click(IDC_TEN_PERCENT_FIRST);
  const QStringList list = Lines(IDC_MEDIA_LIST);
  // A compressed image whose first block does not decompress, beside no image of its name.
  Click(IDC_PROCESS);
  for (const char* part : {".Z", ".Z.table"}) std::filesystem::rename(image + part, damaged + part);
  std::fstream(damaged + ".Z", std::ios::in | std::ios::out | std::ios::binary)
      .seekp(8)
      .write("\xff\xff\xff\xff\xff\xff\xff\xff", 8);
  // An encoder that cannot run refuses "Rip Xa Streams to MP3" before anything is written.
  std::filesystem::create_directory(work_.File("audio"));
  std::ofstream(work_.File("audio/lame")) << "not a program";
  const struct {
    std::string path;
    int command;
    std::string last;  // the start of the log's last line
  } failures[] = {
      {work_.File("missing.bin"), IDC_ANALYSE,
       "ERROR: cannot open " + work_.File("missing.bin") + ": No such file or directory."},
      {work_.File("empty.bin"), IDC_ANALYSE, "ERROR: " + work_.File("empty.bin") + " is empty"},
      {image, IDC_PROCESS, "ERROR: the MP3 encoder " + work_.File("audio/lame") + " cannot be run"},
      {work_.File("missing.bin.Z"), IDC_UNCOMPRESS,
       "ERROR: cannot open " + work_.File("missing.bin.Z") + ": No such file or directory"},
      {damaged + ".Z", IDC_UNCOMPRESS, "ERROR: 1 damaged blocks of " + damaged + ".Z"},
  };
  for (const auto& failure : failures) {
    SetPath(failure.path);
    if (Checked(IDC_RIP_XA_MP3) != (failure.command == IDC_PROCESS)) Click(IDC_RIP_XA_MP3);
    Window().SetControlText(IDC_INFO_LOG, "");  // "Uncompress ISO" adds to the log
    Click(failure.command);
    const QStringList log = Lines(IDC_INFO_LOG);
    EXPECT_TRUE(log.last().startsWith(QString::fromStdString(failure.last)))
        << log.last().toStdString();
    // The lines that name a damaged block report it; the failure itself is said once.
    EXPECT_EQ(log.filter(QRegularExpression("^ERROR")).size() - log.filter(" is damaged").size(), 1)
        << log.join(QLatin1Char(10)).toStdString();
  }
  // A damaged image that was written is named in the path box, as any written file.
  EXPECT_EQ(Window().ControlText(IDC_PATH), damaged);
  EXPECT_EQ(Lines(IDC_MEDIA_LIST), list);
  EXPECT_TRUE(Checked(IDC_RIP_FIRST) && Checked(IDC_TEN_PERCENT_FIRST));
  std::filesystem::remove_all(work_.File("audio"));

  // "Process ISO" analyses an image the tables do not describe, and ends with what it wrote or
  // kept.
  for (const std::string& path : {image, other}) {
    SetPath(path);
    AtProgress(30, [this] { Click(IDC_STOP); });
    Click(IDC_PROCESS);
    const std::string last = Lines(IDC_INFO_LOG).last().toStdString();
    EXPECT_TRUE(path == image ? last.starts_with("Stopped after ")
                              : last == "Stopped during the analysis: nothing was written.")
        << last;
    EXPECT_FALSE(std::filesystem::exists(path + ".Z"));
  }
}

// Marks and tables of one image never reach the compressed image of another: not after
// "Uncompress ISO", nor when the analysed file was replaced under its name.
TEST_F(WindowTest, ProcessUsesOnlyTheAnalysisOfTheImageItCompresses) {
  TempDir reference;
  const std::string imageB = WriteDisc(testing::MixedDisc(), reference.File("mixed.bin"));
  ScopedChdir in(work_.Path());
  const std::string restored = work_.File("mixed.bin"), compressed = restored + ".Z";
  const std::string marked = WriteFf8Disc(work_, 20);
  const auto copyOver = [](const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
  };
  Open();
  Combo()->setCurrentIndex(COMBO_NORMAL_COMPRESSION);
  Analyse(imageB);
  Click(IDC_PROCESS);  // the reference: the image with its own analysis and no marks
  for (const bool uncompress : {false, true}) {
    SCOPED_TRACE(uncompress);
    copyOver(marked, restored);
    Analyse(restored, /*ff8=*/true);
    Click(IDC_FF8);
    Click(IDC_SELECT_ALL);
    Click(IDC_TEN_PERCENT_FIRST);
    if (!uncompress) copyOver(imageB, restored);
    if (uncompress) {
      for (const char* part : {".Z", ".Z.table"}) copyOver(imageB + part, restored + part);
      SetPath(compressed);
      // The restored image's name is taken: No leaves it and every button as they were.
      for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
        std::string question;
        std::vector<bool> commandsEnabled;  // nothing can start while the box is up
        WhenModal modal([&](QWidget* box) {
          question = qobject_cast<QMessageBox*>(box)->text().toStdString();
          for (int id : kCommandButtons) commandsEnabled.push_back(Enabled(id));
          qobject_cast<QMessageBox*>(box)->button(answer)->click();
        });
        const qsizetype before = Lines(IDC_INFO_LOG).size();  // "Uncompress ISO" adds to the log
        Click(IDC_UNCOMPRESS);
        EXPECT_NE(question.find(restored), std::string::npos) << question;
        EXPECT_EQ(commandsEnabled, std::vector<bool>(3, false));
        if (answer == QMessageBox::No) {  // the player's own choice, not a failure
          const QStringList added = Lines(IDC_INFO_LOG).mid(before);
          EXPECT_EQ(added.filter("ERROR"), QStringList());
          EXPECT_EQ(added.last().toStdString(),
                    restored + " exists and was kept, as asked: nothing was written.");
          EXPECT_TRUE(testing::ReadAll(restored) == testing::ReadAll(marked));
        }
      }
      EXPECT_EQ(Lines(IDC_INFO_LOG).last().toStdString(), "Wrote " + restored + ".");
      for (const char* part : {".Z", ".Z.table"}) std::filesystem::remove(restored + part);
    }
    Click(IDC_PROCESS);
    EXPECT_EQ(Lines(IDC_INFO_LOG).last().toStdString(),
              "Wrote " + compressed + " and " + compressed + ".table.");
    EXPECT_EQ(Window().ControlText(IDC_PATH), compressed);
    for (const char* part : {".Z", ".Z.table"}) {
      EXPECT_TRUE(testing::ReadAll(restored + part) == testing::ReadAll(imageB + part)) << part;
      std::filesystem::remove(restored + part);
    }
  }

  // With both MP3 boxes ticked the XA streams win: the audio tracks are dropped, with a warning
  // and in the last line, and the box stays as the player ticked it.
  DiscBuilder tracks;
  tracks.AddDataSectors(30);
  tracks.BeginAudioTrack(2);
  tracks.AddAudioSectors(20, 440.0);
  const std::string bin = work_.File("tracks.bin");
  ASSERT_TRUE(tracks.Write(bin, work_.File("tracks.cue"), nullptr));
  Analyse(work_.File("tracks.cue"));  // ticks "Rip Audio Tracks to MP3"
  Click(IDC_RIP_XA_MP3);
  Click(IDC_PROCESS);
  EXPECT_TRUE(Lines(IDC_INFO_LOG)
                  .contains("Warning: Rip audio track disabled when Rip XA Streams is enable."));
  EXPECT_EQ(Lines(IDC_INFO_LOG).last().toStdString(),
            "Wrote " + bin + ".Z and " + bin + ".Z.table; the 1 audio tracks were not kept.");
  EXPECT_TRUE(Checked(IDC_RIP_AUDIO_MP3) && Checked(IDC_RIP_XA_MP3));
}

TEST_F(WindowTest, ARunLocksWhatItReadsAndNeverStartsASecondRun) {
  ScopedChdir in(work_.Path());
  const std::string image = WriteFf8Disc(work_, 20, 3000);
  Open();
  Analyse(image, /*ff8=*/true);  // two pages: "DOWN" is enabled between runs
  std::set<int> locked = {IDC_ANALYSE,      IDC_PROCESS,   IDC_UNCOMPRESS, IDC_PATH,
                          IDC_SELECT_ISO,   IDC_UP,        IDC_DOWN,       IDC_SELECT_ALL,
                          IDC_SELECT_VIDEO, IDC_SELECT_XA, IDC_SELECT_NONE};
  for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) {
    locked.insert({IDC_RIP_FIRST + r, IDC_TEN_PERCENT_FIRST + r});
  }
  int analyses = 0;
  QObject::connect(qobject_cast<QPushButton*>(Control(IDC_ANALYSE)), &QPushButton::clicked,
                   [&] { ++analyses; });
  // Paging only changes the view, except during an analysis, also the one "Process ISO" starts
  // with when the image has changed since.
  for (const auto& [command, analysing] :
       {std::pair{IDC_ANALYSE, true}, {IDC_PROCESS, false}, {IDC_PROCESS, true}}) {
    std::set<int> disabled;
    Progress()->setValue(0);
    OnProgress(50, [&] {
      for (int id = IDC_QUIT; id <= IDC_ENHANCED_XA; ++id) {
        if (Control(id) != nullptr && !Enabled(id)) disabled.insert(id);
      }
      Click(IDC_ANALYSE);  // disabled: does nothing, also from within the run
    });
    if (command == IDC_PROCESS && analysing) {
      SetPath(image);
      std::filesystem::last_write_time(image, std::filesystem::last_write_time(image) + 1h);
      for (const char* part : {".Z", ".Z.table"}) std::filesystem::remove(image + part);
    }
    Click(command);
    std::set<int> expected = locked;
    if (!analysing) expected.erase(IDC_DOWN);
    EXPECT_EQ(disabled, expected) << command << analysing;
  }
  EXPECT_EQ(analyses, 1);
  for (int id : {IDC_ANALYSE, IDC_PATH, IDC_RIP_FIRST, IDC_DOWN}) EXPECT_TRUE(Enabled(id)) << id;
}

TEST_F(WindowTest, StopEscQuitEnterAndTheCloseBox) {
  // Ten media, a long gap, ten more: a run stopped in the gap lists the first ten.
  const std::string image = WriteFf8Disc(work_, 20, 4000);
  Open();  // the first start stores an empty path and offers nothing to process
  EXPECT_EQ(testing::ReadAll(SettingsFilePath()), std::vector<uint8_t>(IMAGE_PATH_SIZE, 0));
  EXPECT_FALSE(Enabled(IDC_PROCESS) || Enabled(IDC_UP) || Enabled(IDC_DOWN));
  Store("/cd/stored.bin.bz");
  Open();
  EXPECT_EQ(Combo()->currentIndex(), COMBO_MAXIMUM_COMPRESSION);
  AtProgress(30, [this] { Click(IDC_STOP); });
  Analyse(image, /*ff8=*/true);
  EXPECT_EQ(Lines(IDC_MEDIA_LIST).size(), 10);
  for (int id : kCommandButtons) EXPECT_TRUE(Enabled(id)) << id;

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
  EXPECT_EQ(Lines(IDC_MEDIA_LIST).size(), 12);
  EXPECT_EQ(Stored(), "/cd/stored.bin.bz");

  // Quit stores the path and stops the run at its next test of the flag.
  Open();
  AtProgress(30, [this] { Click(IDC_QUIT); });
  Analyse(image, true);
  EXPECT_EQ(Window().result(), QDialog::Accepted);
  EXPECT_LT(Progress()->value(), 100);
  EXPECT_EQ(Stored(), image);
  EXPECT_EQ(std::string(Window().StoredPath()), image);

  // Idle, Esc ends the dialog without storing; Enter in the path box presses Quit, the default.
  for (const auto key : {Qt::Key_Escape, Qt::Key_Return}) {
    Open();
    SetPath("/cd/typed.bin");
    QTest::keyClick(PathBox(), key);
    EXPECT_FALSE(Window().isVisible());
    EXPECT_EQ(Window().result(), key == Qt::Key_Escape ? QDialog::Rejected : QDialog::Accepted);
    EXPECT_EQ(Stored(), key == Qt::Key_Escape ? image : "/cd/typed.bin");
  }
}

TEST_F(WindowTest, PanelLinesAreTrimmedScrolledAndAlignedWithTheRows) {
  Open();
  // The panel shows its text line for line however the lines come: one by one while idle, or
  // gathered while a command runs, past the limit either way.
  const auto shownAsText = [&] {
    QString text = QString::fromStdString(Window().ControlText(IDC_INFO_LOG));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
    return Panel(IDC_INFO_LOG)->toPlainText() == text;
  };
  std::string expected = Window().ControlText(IDC_INFO_LOG);
  const auto appendMany = [&](int count, int pumpInterval) {
    Window().SetPumpInterval(pumpInterval);
    for (int i = 0; i < count; ++i) {
      const std::string line = i % 7 ? "line " + std::to_string(i) + std::string(i % 97, 'x') : "";
      Window().AppendPanelLine(line.c_str(), IDC_INFO_LOG);
      AppendPanelText(expected, line.c_str());
    }
  };
  appendMany(600, 0);
  EXPECT_EQ(Window().ControlText(IDC_INFO_LOG), expected);
  EXPECT_TRUE(shownAsText());
  QScrollBar* bar = Panel(IDC_INFO_LOG)->verticalScrollBar();  // the last line is in view
  EXPECT_TRUE(bar->maximum() > 0 && bar->value() == bar->maximum());

  // The bar counts every wrapped line of a text shown afresh: each position of the thumb shows
  // the block whose line it is, and the thumb at the end is the same after a scroll through.
  std::string wrapped;
  for (int i = 0; i < 300; ++i) wrapped.append(1 + i * 37 % 300, 'w').append("\r\n");
  Window().SetControlText(IDC_INFO_LOG, wrapped);
  QApplication::processEvents();
  const int range = bar->maximum();
  const QImage atEnd = bar->grab().toImage();
  std::vector<int> values = {range / 2};  // a jump, then a pass from the top
  for (int value = 0; value <= range; value += 7) values.push_back(value);
  std::vector<std::pair<int, QTextBlock>> tops;
  for (const int value : values) {
    bar->setValue(value);
    QApplication::processEvents();
    tops.emplace_back(value, Panel(IDC_INFO_LOG)->cursorForPosition(QPoint()).block());
  }
  for (const auto& [value, top] : tops) {  // against the lines as counted when all are laid out
    EXPECT_TRUE(top.firstLineNumber() <= value && value < top.firstLineNumber() + top.lineCount())
        << value << " shows the block at line " << top.firstLineNumber();
  }
  bar->setValue(range);
  EXPECT_EQ(bar->maximum(), range);
  EXPECT_TRUE(bar->grab().toImage() == atEnd);
  OnProgress(50, [&] {
    appendMany(400, 1000);
    Window().SetPumpInterval(0);
    Window().PumpMessages();
    appendMany(50, 1000);
    // Shown within the run, the text and the bar are painted together, before any pass over the
    // queue: the screen holds no older thumb.
    appendMany(3, 0);
    const QPoint at = bar->mapTo(&Window(), QPoint());
    const QImage onScreen = Window().screen()->grabWindow(Window().winId()).toImage();
    EXPECT_TRUE(onScreen.copy(QRect(at, bar->size())) ==
                bar->grab().toImage().convertToFormat(onScreen.format()));
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

// A Latin-1 file name, as the file system has it: stored, shown, analysed, logged, stored again;
// dropped on the window or picked in the chooser, it reaches the path box with its bytes.
TEST_F(WindowTest, APathThatIsNotUtf8KeepsItsBytes) {
  const std::string image = work_.File("caf\xe9.bin");
  std::filesystem::rename(WriteDisc(testing::MixedDisc(), work_.File("mixed.bin")), image);
  Store(image);
  Open();
  EXPECT_TRUE(PathBox()->text().endsWith(QStringLiteral(u"caf\uFFFD.bin")));
  Click(IDC_ANALYSE);
  EXPECT_EQ(Media(0).kind, MEDIA_VIDEO);
  EXPECT_EQ(Window().ControlText(IDC_PATH), image);
  Click(IDC_QUIT);
  EXPECT_EQ(Stored(), image);

  // A drop fills the path box and starts nothing.
  const std::string dropped = work_.File("d\374ck.bin.Z");
  std::ofstream(dropped) << "x";
  Open();
  const QStringList log = Lines(IDC_INFO_LOG);
  QMimeData data;
  data.setData(QStringLiteral("text/uri-list"),
               "file://" + QByteArray::fromStdString(dropped).toPercentEncoding("/") + "\r\n");
  const QPoint at = Control(IDC_MEDIA_LIST)->geometry().center();
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&Window(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&Window(), &drop);
  EXPECT_EQ(Window().ControlText(IDC_PATH), dropped);
  EXPECT_EQ(Lines(IDC_INFO_LOG), log);

  // "Select ISO" opens in the path box's folder.
  WhenModal answer([](QWidget* chooser) {
    chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
        ->setText(QString::fromUtf8("caf\xe9.bin"));
    qobject_cast<QDialog*>(chooser)->accept();
  });
  Click(IDC_SELECT_ISO);
  EXPECT_EQ(Window().ControlText(IDC_PATH), image);
  EXPECT_EQ(std::string(Window().StoredPath()), image);
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
