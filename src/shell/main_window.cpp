#include "shell/main_window.h"

#include <dirent.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "analysis/analyse_disc.h"
#include "analysis/media_marks.h"
#include "common/outcome.h"
#include "common/platform.h"
#include "packing/process_disc.h"
#include "packing/restore_image.h"
#include "shell/dialog_template.h"
#include "shell/panel.h"

namespace quarnel {

namespace {

constexpr char TITLE[] = "- Quarnel 3.2 -      The Best PSX Isos Ripping Tool For Velvix!";
constexpr int DIALOG_WIDTH = 387;  // dialog units
constexpr int DIALOG_HEIGHT = 366;
constexpr int DIALOG_POINT_SIZE = 8;
constexpr int CLOCK_STRIDE = 16;  // pumps between two looks at the clock
constexpr char ISO_FILTER[] = "Cd Iso Format (*.bin *.iso *.img *.z *.bz *.znx *.cue)";
constexpr char ALL_FILTER[] = "All files (*)";

bool IsRipBox(int id) {
  return id >= IDC_RIP_FIRST && id < IDC_RIP_FIRST + MEDIA_PAGE_ROWS;
}

bool IsTenPercentBox(int id) {
  return id >= IDC_TEN_PERCENT_FIRST && id < IDC_TEN_PERCENT_FIRST + MEDIA_PAGE_ROWS;
}

bool IsPanel(int id) {
  return id == IDC_INFO_LOG || id == IDC_MEDIA_LIST;
}

// Text for the eye only: a byte that is not UTF-8 shows as U+FFFD; what is kept stays bytes.
QString Shown(const std::string& bytes) {
  return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// A panel shows its CR LF lines as blocks, one per LF. Every other character that would start a
// block shows as a space, so that dropping the text's first k lines drops the first k blocks.
QString PanelDisplayText(const std::string& text) {
  QString shown = Shown(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  for (QChar& c : shown) {
    if (c == QLatin1Char('\r') || c == QChar::ParagraphSeparator || c.unicode() == 0xfdd0 ||
        c.unicode() == 0xfdd1) {
      c = QLatin1Char(' ');
    }
  }
  if (shown.endsWith(QLatin1Char('\n'))) shown.chop(1);
  return shown;
}

bool Exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

// The file-system bytes of an absolute path that Qt has decoded, lossily where a name is not
// UTF-8: a component that does not exist as encoded is matched against its folder's entries.
// Empty when a component matches no entry, or more than one.
std::string FileSystemPath(const QString& path) {
  std::string resolved;
  for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    const std::string direct = resolved + "/" + part.toStdString();
    if (Exists(direct)) {
      resolved = direct;
      continue;
    }
    DIR* dir = ::opendir(resolved.empty() ? "/" : resolved.c_str());
    if (dir == nullptr) return {};
    std::string match;
    int matches = 0;
    while (const dirent* entry = ::readdir(dir)) {
      if (QString::fromUtf8(entry->d_name) == part) {
        match = entry->d_name;
        ++matches;
      }
    }
    ::closedir(dir);
    if (matches != 1) return {};
    resolved += "/" + match;
  }
  return resolved;
}

// The one local file of a drop, in its file-system bytes: the URI list carries them
// percent-encoded, where QUrl would decode them as UTF-8. Empty for anything else.
std::string DroppedFile(const QMimeData* data) {
  std::vector<std::string> files;
  const QByteArray list = data->data(QStringLiteral("text/uri-list"));
  for (QByteArray line : list.split('\n')) {
    line = line.trimmed();
    if (line.isEmpty() || line.startsWith('#')) continue;
    if (!line.startsWith("file://")) return {};
    QByteArray path = line.mid(7);
    if (path.startsWith("localhost/")) path = path.mid(9);
    if (!path.startsWith('/')) return {};
    files.push_back(QByteArray::fromPercentEncoding(path).toStdString());
  }
  if (files.empty() && data->hasUrls()) {
    for (const QUrl& url : data->urls()) {
      if (!url.isLocalFile()) return {};
      files.push_back(url.toLocalFile().toStdString());
    }
  }
  struct stat info;
  if (files.size() != 1 || ::stat(files[0].c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return {};
  }
  return files[0];
}

// The combo box entry that matches a path at start-up: ".Z" anywhere selects "Normal Compression",
// else ".bz" anywhere "Maximum Compression", else "Normal Compression".
int InitialComboSelection(const char* path) {
  if (std::strstr(path, ".Z") != nullptr) return COMBO_NORMAL_COMPRESSION;
  if (std::strstr(path, ".bz") != nullptr) return COMBO_MAXIMUM_COMPRESSION;
  return COMBO_NORMAL_COMPRESSION;
}

// The line a core that logs the failure ending its run gives it; empty when the run did not fail.
std::string FailureLogLine(const Outcome& outcome) {
  return outcome.Failed() ? "ERROR: " + outcome.error + "." : std::string();
}

// Copies a text into a fixed buffer, cut to its size with the terminating zero.
void CopyToBuffer(const std::string& text, char (&buffer)[IMAGE_PATH_SIZE]) {
  const size_t n = std::min(text.size(), sizeof buffer - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

}  // namespace

// The long commands report into the window: the log panel, the progress bar, the pump that lets
// Stop and Quit through, the "Warning." box and the replace question.
//
// The window's last line states the failure that ends a run, once. A core that logs that line as
// well logs it last: a line that starts "ERROR" waits for the next report, and End drops it when
// it states the run's own failure.
class MainWindow::WindowReporter : public Reporter {
 public:
  explicit WindowReporter(MainWindow& window) : window_(window) {}
  ~WindowReporter() override { Release(); }
  WindowReporter(const WindowReporter&) = delete;
  WindowReporter& operator=(const WindowReporter&) = delete;

  void Log(const std::string& line) override {
    Release();
    if (line.starts_with("ERROR")) {
      held_ = line;
    } else {
      window_.AppendPanelLine(line.c_str(), IDC_INFO_LOG);
    }
  }
  void Progress(unsigned percent) override {
    Release();
    window_.SetProgress(percent);
  }
  void Pump() override {
    Release();
    window_.PumpMessages();
  }
  bool StopRequested() override { return window_.stop_.Requested(); }
  void Warning(const std::string& text) override {
    Release();
    window_.ShowWarning(text);
  }
  bool ConfirmReplace(const std::string& path, const std::string& detail) override {
    Release();
    return window_.ConfirmReplace(path, detail);
  }
  // The run has returned: a held line that is `failureLine` is dropped, any other one shown.
  void End(const std::string& failureLine) {
    if (held_ == failureLine) held_.clear();
    Release();
  }

 private:
  void Release() {
    if (held_.empty()) return;
    window_.AppendPanelLine(held_.c_str(), IDC_INFO_LOG);
    held_.clear();
  }

  MainWindow& window_;
  std::string held_;
};

MainWindow::MainWindow(QWidget* parent) : QDialog(parent), analysis_(NewDiscAnalysis()) {
  QFont dialogFont = QApplication::font();
  dialogFont.setPointSize(DIALOG_POINT_SIZE);
  setFont(dialogFont);
  const QFontMetrics metrics(dialogFont);
  // Measured as a dialog manager measures its font: the mean advance of the 52 Latin letters,
  // rounded. The font's own average width is narrower than real text and would clip the labels.
  baseUnitX_ = (metrics.horizontalAdvance(
                    QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                    26 +
                1) /
               2;
  baseUnitY_ = metrics.height();

  setWindowTitle(QString::fromLatin1(TITLE));
  setFixedSize(DialogRect(0, 0, DIALOG_WIDTH, DIALOG_HEIGHT).size());
  CreateControls();
  setAcceptDrops(true);
  // Placed by hand: Qt's own placement of a dialog without parent sits above the centre.
  Centre();

  LoadSettings(ImagePath);
  auto* combo = static_cast<QComboBox*>(Control(IDC_COMPRESSION));
  combo->addItem(QStringLiteral("Maximum Compression"));
  combo->addItem(QStringLiteral("Normal Compression"));
  SetControlText(IDC_PATH, ImagePath);
  combo->setCurrentIndex(InitialComboSelection(ImagePath));
  progress_->setValue(0);
  EnableControl(IDC_PROCESS, false);
  EnableControl(IDC_UP, false);
  EnableControl(IDC_DOWN, false);
}

MainWindow::~MainWindow() = default;

// The window, frame included where it is known, in the middle of its screen.
void MainWindow::Centre() {
  const QScreen* shownOn = screen();
  if (shownOn == nullptr) return;
  QRect placed = frameGeometry();
  placed.moveCenter(shownOn->availableGeometry().center());
  move(placed.topLeft());
}

void MainWindow::showEvent(QShowEvent* event) {
  // The frame is known once the window is shown.
  if (!centred_) {
    centred_ = true;
    Centre();
  }
  QDialog::showEvent(event);
}

QRect MainWindow::DialogRect(int x, int y, int width, int height) const {
  // Each edge is converted on its own, so that neighbouring controls tile as in dialog units.
  const auto px = [this](int units) { return (units * baseUnitX_ + 2) / 4; };
  const auto py = [this](int units) { return (units * baseUnitY_ + 4) / 8; };
  return QRect(QPoint(px(x), py(y)), QPoint(px(x + width) - 1, py(y + height) - 1));
}

// A button that runs its command; Enter presses the focused button, or Quit when no push button
// has the focus.
QWidget* MainWindow::CreateButton(const TemplateItem& item) {
  auto* button = new QPushButton(QString::fromLatin1(item.text), this);
  const int id = item.id;
  connect(button, &QPushButton::clicked, this, [this, id] { Command(id); });
  button->setDefault(id == IDC_QUIT);
  return button;
}

// Read-only: the panels are the program's report, rewritten on every line it adds; the user can
// still select and copy, and Enter reaches the dialog's default button.
QWidget* MainWindow::CreatePanel(const TemplateItem& item) {
  auto* panel = new QPlainTextEdit(this);
  panel->setReadOnly(true);
  panel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  panel->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  panel->setAccessibleName(QString::fromLatin1(item.text));
  panel->setUndoRedoEnabled(false);
  panel->setAcceptDrops(false);
  if (item.kind == Kind::InfoPanel) {
    panel->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    panel->setTabChangesFocus(true);
  } else {
    // One line per row beside the row's boxes, never wrapped onto the next row's place.
    panel->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    panel->setLineWrapMode(QPlainTextEdit::NoWrap);
    panel->setFocusPolicy(Qt::ClickFocus);
  }
  return panel;
}

// The twelve boxes of a column, row r at y + ROW_PITCH * r. Row boxes are one row high: a
// slightly smaller box keeps a gap between two rows.
void MainWindow::CreateRowBoxes(const TemplateItem& item) {
  const int rowHeight = DialogRect(0, 0, 1, ROW_PITCH).height();
  const int indicator = std::min(style()->pixelMetric(QStyle::PM_IndicatorHeight), rowHeight - 2);
  const QString sheet =
      QStringLiteral("QCheckBox::indicator { width: %1px; height: %1px; }").arg(indicator);
  for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) {
    auto* box = new QCheckBox(this);
    const int id = item.id + r;
    box->setAccessibleName(
        QStringLiteral("%1 row %2").arg(QString::fromLatin1(item.text)).arg(r + 1));
    box->setGeometry(DialogRect(item.x, item.y + ROW_PITCH * r, item.width, item.height));
    box->setStyleSheet(sheet);
    // The box has toggled itself when clicked is sent; the row rule may undo it.
    connect(box, &QCheckBox::clicked, this, [this, id] { Command(id); });
    controls_[id] = box;
    enabled_[id] = true;
  }
}

// A static text; a font wider than the template's must not cut it short.
void MainWindow::CreateLabel(const TemplateItem& item) {
  const QString text = QString::fromLatin1(item.text);
  auto* label = new QLabel(text, this);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  QRect rect = DialogRect(item.x, item.y, item.width, item.height);
  rect.setWidth(std::max(rect.width(), QFontMetrics(font()).horizontalAdvance(text) + 1));
  label->setGeometry(rect);
}

// The one widget of a template item with an id.
QWidget* MainWindow::CreateControl(const TemplateItem& item) {
  const QString text = QString::fromLatin1(item.text);
  QWidget* widget = nullptr;
  switch (item.kind) {
    case Kind::Button:
      return CreateButton(item);
    case Kind::PathBox:
      widget = new QLineEdit(this);
      widget->setAccessibleName(QStringLiteral("Image path"));
      // A file dropped on the box is the window's, and one pasted is the box's: either way its
      // path keeps its bytes.
      widget->setAcceptDrops(false);
      widget->installEventFilter(this);
      return widget;
    case Kind::Progress:
      progress_ = new QProgressBar(this);
      progress_->setRange(0, 100);
      progress_->setTextVisible(false);
      progress_->setAccessibleName(text);
      return progress_;
    case Kind::MediaPanel:
    case Kind::InfoPanel:
      return CreatePanel(item);
    case Kind::Combo:
      widget = new QComboBox(this);
      break;
    default:
      widget = new QCheckBox(this);
      break;
  }
  widget->setAccessibleName(text);
  return widget;
}

void MainWindow::CreateControls() {
  // Widgets are created in template order: Qt's tab order is the order of creation.
  for (const TemplateItem& item : TEMPLATE) {
    if (item.kind == Kind::Label) {
      CreateLabel(item);
    } else if (item.kind == Kind::RowBoxes) {
      CreateRowBoxes(item);
    } else {
      QWidget* widget = CreateControl(item);
      widget->setGeometry(DialogRect(item.x, item.y, item.width, item.height));
      controls_[item.id] = widget;
      enabled_[item.id] = true;
    }
  }
  // Line r of the media list sits beside the boxes of row r: its text starts where row 0 does.
  auto* list = static_cast<QPlainTextEdit*>(Control(IDC_MEDIA_LIST));
  const int firstRowTop = Control(IDC_RIP_FIRST)->geometry().top();
  list->document()->setDocumentMargin(
      std::max(0, firstRowTop - list->geometry().top() - list->frameWidth()));
}

QWidget* MainWindow::Control(int id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

// Controls whose change would alter what a running command reads, and the commands themselves:
// a second long command never runs inside the first.
bool MainWindow::LockedDuringRun(int id) const {
  switch (id) {
    case IDC_ANALYSE:
    case IDC_PROCESS:
    case IDC_UNCOMPRESS:
    case IDC_SELECT_ISO:
    case IDC_PATH:
    case IDC_SELECT_ALL:
    case IDC_SELECT_VIDEO:
    case IDC_SELECT_XA:
    case IDC_SELECT_NONE:
      return true;
    case IDC_UP:
    case IDC_DOWN:
      // Paging only changes the view, except while an analysis, on its own or the one that
      // "Process ISO" starts with, replaces the table.
      return analysing_;
    default:
      return IsRipBox(id) || IsTenPercentBox(id);
  }
}

void MainWindow::ApplyEnabled(int id) {
  QWidget* widget = Control(id);
  if (widget == nullptr) return;
  const bool enabled = enabled_[id] && !(Busy() && LockedDuringRun(id));
  // Qt would pass the focus on to the next control, "Analyse ISO" after "DOWN", and Enter would
  // then start it; the default button is where Enter belongs.
  if (!enabled && !Busy() && focusWidget() == widget) Control(IDC_QUIT)->setFocus();
  widget->setEnabled(enabled);
}

void MainWindow::Command(int id) {
  // What a run has disabled stays inert, also when the event was queued before the run began.
  if (Busy() && LockedDuringRun(id)) return;
  switch (id) {
    case IDC_QUIT:
      Quit();
      return;
    case IDC_SELECT_ISO:
      SelectIso();
      return;
    case IDC_ANALYSE:
    case IDC_PROCESS:
    case IDC_UNCOMPRESS:
      RunLongCommand(id);
      return;
    case IDC_STOP:
      stop_.Request();
      return;
    case IDC_UP:
      page_.Up(analysis_.get(), *this);
      return;
    case IDC_DOWN:
      page_.Down(analysis_.get(), *this);
      return;
    case IDC_SELECT_ALL:
    case IDC_SELECT_VIDEO:
    case IDC_SELECT_XA:
    case IDC_SELECT_NONE:
      SelectMedia(*analysis_, id == IDC_SELECT_ALL     ? MediaSelection::All
                              : id == IDC_SELECT_VIDEO ? MediaSelection::Video
                              : id == IDC_SELECT_XA    ? MediaSelection::Xa
                                                       : MediaSelection::None);
      page_.ShowRipMarks(analysis_.get(), *this);
      return;
    default:
      break;
  }
  if (IsRipBox(id)) page_.RipBoxClicked(analysis_.get(), *this, id - IDC_RIP_FIRST);
  if (IsTenPercentBox(id)) {
    page_.TenPercentBoxClicked(analysis_.get(), *this, id - IDC_TEN_PERCENT_FIRST);
  }
}

void MainWindow::RunLongCommand(int id) {
  if (Busy()) return;
  const QPointer<QWidget> focus = focusWidget();
  running_ = id;
  stop_.Clear();
  for (const auto& [controlId, widget] : controls_) ApplyEnabled(controlId);
  sinceLastPump_.invalidate();  // the first pump of a run always makes a pass
  callsUntilClock_ = 0;

  // Each command reports through this window, its buttons included; the results only repeat it.
  switch (id) {
    case IDC_ANALYSE:
      Analyse();
      break;
    case IDC_PROCESS:
      Process();
      break;
    case IDC_UNCOMPRESS:
      Uncompress();
      break;
    default:
      break;
  }

  running_ = 0;
  ShowProgress();
  ShowPanels(/*repaint=*/false);
  for (const auto& [controlId, widget] : controls_) ApplyEnabled(controlId);
  if (isVisible()) {
    if (focus != nullptr && focus->isEnabled()) {
      focus->setFocus();
    } else {
      Control(IDC_QUIT)->setFocus();
    }
  }
}

bool MainWindow::Identify(const std::string& path, FileIdentity& identity) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return false;
  identity.path = path;
  identity.device = static_cast<uint64_t>(info.st_dev);
  identity.inode = static_cast<uint64_t>(info.st_ino);
  identity.size = static_cast<uint64_t>(info.st_size);
  identity.mtimeSeconds = static_cast<int64_t>(info.st_mtim.tv_sec);
  identity.mtimeNanoseconds = static_cast<int64_t>(info.st_mtim.tv_nsec);
  return true;
}

// True when the tables hold the analysis of the very file the path box names now.
bool MainWindow::AnalysisShown() {
  FileIdentity now;
  return analysed_ && Identify(ControlText(IDC_PATH), now) && now == analysedFile_;
}

void MainWindow::ReadImagePath() {
  CopyToBuffer(ControlText(IDC_PATH), ImagePath);
}

// True when the image was opened and scanned to its end; `failed` then says why not, when it
// was opened. Only an analysis that opened its image replaces the tables, the marks and the list.
bool MainWindow::Analyse(Outcome* failed) {
  ReadImagePath();
  const std::string path = ImagePath;
  SetControlText(IDC_INFO_LOG, "");
  WindowReporter reporter(*this);
  AnalysisOptions options;
  options.ImagePath = path;
  options.ff8 = IsChecked(IDC_FF8);
  options.enhancedMovie = IsChecked(IDC_ENHANCED_MOVIE);
  options.enhancedXa = IsChecked(IDC_ENHANCED_XA);
  SetAnalysing(true);
  AnalysisResult result = AnalyseDisc(options, reporter);
  SetAnalysing(false);
  if (!result.Opened()) {
    // Nothing was changed; the refusal or the open failure is the log's last line.
    const std::string line =
        "ERROR: " +
        (result.refused ? result.message
                        : "cannot open " + path + ": " + std::strerror(result.openError)) +
        ".";
    reporter.End(line);
    AppendPanelLine(line.c_str(), IDC_INFO_LOG);
    return false;
  }
  reporter.End({});
  if (result.readError) {
    const std::string why = "cannot read " + path + ": " +
                            std::strerror(result.readErrno != 0 ? result.readErrno : EIO);
    if (failed != nullptr) {
      failed->Fail(why);  // "Process ISO" ends with its own line
    } else {
      AppendPanelLine(("ERROR: " + why + ".").c_str(), IDC_INFO_LOG);
    }
  } else if (failed != nullptr && result.stopped) {
    failed->stopped = true;
    failed->stopDetail = "during the analysis";
  }
  const bool complete = result.Complete();
  analysis_ = std::move(result.analysis);
  if (analysis_->HasAudioTracks()) SetChecked(IDC_RIP_AUDIO_MP3, true);
  if (!result.stopped) SetControlText(IDC_PATH, ImagePath);
  for (const int id : {IDC_ANALYSE, IDC_PROCESS, IDC_UNCOMPRESS}) EnableControl(id, true);
  page_.FirstVisibleRow = 0;
  page_.Render(analysis_.get(), *this);
  analysed_ = Identify(ControlText(IDC_PATH), analysedFile_);
  return complete;
}

// While an analysis runs, paging would show the table it is about to replace.
void MainWindow::SetAnalysing(bool analysing) {
  analysing_ = analysing;
  ApplyEnabled(IDC_UP);
  ApplyEnabled(IDC_DOWN);
}

void MainWindow::Process() {
  // Marks and tables belong to one image: another one is analysed first, with the options shown.
  Outcome analysis;
  if (!AnalysisShown() && !Analyse(&analysis)) {
    // An open failure or a refusal has said so in its own line.
    if (!analysis.Done()) AppendPanelLine(FinalLine(analysis).c_str(), IDC_INFO_LOG);
    return;
  }
  ReadImagePath();
  ProcessOptions options;
  options.compression = qobject_cast<QComboBox*>(Control(IDC_COMPRESSION))->currentIndex() ==
                                COMBO_MAXIMUM_COMPRESSION
                            ? CompressionChoice::Maximum
                            : CompressionChoice::Normal;
  options.xaMp3 = IsChecked(IDC_RIP_XA_MP3);
  options.audioMp3 = IsChecked(IDC_RIP_AUDIO_MP3);
  options.smallestSource = IsChecked(IDC_SMALLEST_SOURCE);
  SetControlText(IDC_INFO_LOG, "");
  WindowReporter reporter(*this);
  const ProcessReport result = ProcessDisc(*analysis_, options, reporter);
  reporter.End(FailureLogLine(result.outcome));
  // The XA streams that "Rip Xa Streams to MP3" ripped stay marked, and their boxes show it.
  if (!result.refused && options.xaMp3) {
    MarkAllXaStreams(*analysis_);
    page_.ShowRipMarks(analysis_.get(), *this);
  }
  if (!result.dataFile.empty()) CopyToBuffer(result.dataFile, ImagePath);
  if (!result.outcome.written.empty()) SetControlText(IDC_PATH, result.outcome.written.front());
  AppendPanelLine(FinalLine(result.outcome).c_str(), IDC_INFO_LOG);
}

void MainWindow::Uncompress() {
  ReadImagePath();
  WindowReporter reporter(*this);
  const RestoreReport result = RestoreImage(RestoreRequest{ImagePath, {}}, reporter);
  reporter.End(FailureLogLine(result.outcome));
  if (!result.output.empty()) CopyToBuffer(result.output, ImagePath);
  if (!result.outcome.written.empty()) SetControlText(IDC_PATH, result.outcome.written.front());
  // "No" to the replace question is the player's choice, not a failure.
  const std::string last =
      result.declined ? result.output + " exists and was kept, as asked: nothing was written."
                      : FinalLine(result.outcome);
  AppendPanelLine(last.c_str(), IDC_INFO_LOG);
}

void MainWindow::Quit() {
  // The stored path is the box's text. A command still running keeps the ImagePath it works on.
  char running[IMAGE_PATH_SIZE];
  std::memcpy(running, ImagePath, sizeof running);
  ReadImagePath();
  SaveSettings(ImagePath);
  if (Busy()) std::memcpy(ImagePath, running, sizeof running);
  // A running command stops at its next test of the token; the dialog's loop ends after it.
  stop_.Request();
  accept();
}

void MainWindow::SelectIso() {
  QFileDialog chooser(this);
  // Qt's own chooser matches the patterns in any letter case (game.bin.Z, GAME.BIN), as the
  // images' home platform does; a native one may not.
  chooser.setOption(QFileDialog::DontUseNativeDialog);
  chooser.setAcceptMode(QFileDialog::AcceptOpen);
  // Any name is returned, as typed, with "iso" added when it has no extension: the commands say
  // what they cannot open. Qt's check that a file exists would refuse a name that is not UTF-8.
  chooser.setFileMode(QFileDialog::AnyFile);
  chooser.setDefaultSuffix(QStringLiteral("iso"));
  chooser.setOption(QFileDialog::HideNameFilterDetails);
  chooser.setNameFilters({QString::fromLatin1(ISO_FILTER), QString::fromLatin1(ALL_FILTER)});
  // It opens in the folder of the path in the box, when there is one.
  const QFileInfo shown(Shown(ControlText(IDC_PATH)));
  if (!shown.filePath().isEmpty() && shown.dir().exists()) chooser.setDirectory(shown.dir());
  if (chooser.exec() != QDialog::Accepted) return;
  const QStringList files = chooser.selectedFiles();
  if (files.isEmpty()) return;
  // Qt lists a name that is not UTF-8 decoded; the folder knows its bytes.
  std::string path = files.first().toStdString();
  if (!Exists(path)) {
    const std::string found = FileSystemPath(files.first());
    if (!found.empty()) path = found;
  }
  // ImagePath holds at most 255 characters: a longer path is refused, not cut.
  if (path.size() >= IMAGE_PATH_SIZE) return;
  CopyToBuffer(path, ImagePath);
  SetControlText(IDC_PATH, ImagePath);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  // While a command runs and pumps the queue, Enter and Esc do not end the dialog; Quit, Stop
  // and the close box do.
  if (Busy()) {
    switch (event->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
      case Qt::Key_Escape:
        event->accept();
        return;
      default:
        break;
    }
  }
  QDialog::keyPressEvent(event);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (!Busy() && !DroppedFile(event->mimeData()).empty()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  // Only the path box changes: the user starts a command when ready.
  if (Busy()) return;
  const std::string path = DroppedFile(event->mimeData());
  if (path.empty() || path.size() >= IMAGE_PATH_SIZE) return;
  SetPathBytes(path);
  event->acceptProposedAction();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Control(IDC_PATH) && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->matches(QKeySequence::Paste)) {
    const std::string path = DroppedFile(QGuiApplication::clipboard()->mimeData());
    if (!path.empty() && path.size() < IMAGE_PATH_SIZE) {
      SetPathBytes(path);
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

std::string MainWindow::ControlText(int id) {
  if (id == IDC_PATH) {
    const QString text = static_cast<QLineEdit*>(Control(IDC_PATH))->text();
    return text == pathShown_ ? pathBytes_ : text.toStdString();
  }
  if (IsPanel(id)) return panels_[id].text;
  if (auto* button = qobject_cast<QAbstractButton*>(Control(id)))
    return button->text().toStdString();
  return {};
}

void MainWindow::SetControlText(int id, const std::string& text) {
  if (id == IDC_PATH) {
    SetPathBytes(text);
  } else if (IsPanel(id)) {
    SetPanelText(id, text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(Control(id))) {
    button->setText(QString::fromStdString(text));
  }
}

void MainWindow::SetPathBytes(const std::string& bytes) {
  pathBytes_ = bytes;
  pathShown_ = Shown(bytes);
  static_cast<QLineEdit*>(Control(IDC_PATH))->setText(pathShown_);
}

void MainWindow::SetPanelText(int id, const std::string& text) {
  PanelText& panel = panels_[id];
  panel.text = text;
  panel.afresh = true;
  ShowPanel(id);
}

bool MainWindow::IsChecked(int id) {
  auto* box = qobject_cast<QCheckBox*>(Control(id));
  return box != nullptr && box->isChecked();
}

void MainWindow::SetChecked(int id, bool checked) {
  // setChecked sends no click: setting a box never runs its command.
  if (auto* box = qobject_cast<QCheckBox*>(Control(id))) box->setChecked(checked);
}

void MainWindow::EnableControl(int id, bool enabled) {
  if (Control(id) == nullptr) return;
  enabled_[id] = enabled;
  ApplyEnabled(id);
}

void MainWindow::AppendPanelLine(const char* text, int panelId) {
  if (!IsPanel(panelId)) return;
  PanelText& panel = panels_[panelId];
  const std::string before = panel.text;
  AppendPanelText(panel.text, text);
  const size_t length = std::strlen(text);
  const size_t dropped = before.size() + (length == 0 ? 0 : length + 2) - panel.text.size();
  // Lines can be added as blocks only behind a text whose last line is closed.
  const bool closed =
      before.empty() || (before.size() >= 2 && before.compare(before.size() - 2, 2, "\r\n") == 0);
  if (!closed || (dropped > 0 && dropped == before.size()) ||
      panel.added.size() > 2 * PANEL_TEXT_LIMIT) {
    panel.afresh = true;
  }
  if (panel.afresh) {
    panel.added.clear();
    panel.droppedLines = 0;
  } else {
    panel.droppedLines += static_cast<size_t>(
        std::count(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(dropped), '\n'));
    if (length > 0) panel.added.append(text, length).append("\r\n");
  }
  // Showing a line costs more than adding it, so lines that come faster than the pump's interval
  // are shown together, at the latest by the next pass over the queue.
  if (Busy() && pumpInterval_ > 0 && sincePanelShown_.isValid() &&
      sincePanelShown_.elapsed() < pumpInterval_) {
    return;
  }
  ShowPanels(/*repaint=*/true);
}

// Brings a panel's widget up to its text by edits at its two ends, so that the cost of a line
// does not grow with the panel. False when there was nothing to do.
bool MainWindow::ShowPanel(int id) {
  PanelText& panel = panels_[id];
  auto* widget = static_cast<QPlainTextEdit*>(Control(id));
  int firstNewBlock = 0;  // the blocks from this one on are new
  if (panel.afresh || panel.droppedLines >= panel.shownLines) {
    if (!panel.afresh && panel.added.empty() && panel.droppedLines == 0) return false;
    // A text whose last line is open is shown afresh again by its next append.
    widget->setPlainText(PanelDisplayText(panel.text));
    panel.afresh = false;
    panel.shownLines = static_cast<size_t>(std::count(panel.text.begin(), panel.text.end(), '\n'));
  } else {
    if (panel.droppedLines == 0 && panel.added.empty()) return false;
    QTextCursor cursor(widget->document());
    firstNewBlock = widget->document()->blockCount();
    if (panel.droppedLines > 0) {
      cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor,
                          static_cast<int>(panel.droppedLines));
      cursor.removeSelectedText();
    }
    if (!panel.added.empty()) {
      cursor.movePosition(QTextCursor::End);
      firstNewBlock = cursor.blockNumber() + 1;
      cursor.insertBlock();
      cursor.insertText(PanelDisplayText(panel.added));
    }
    panel.shownLines +=
        static_cast<size_t>(std::count(panel.added.begin(), panel.added.end(), '\n'));
    panel.shownLines -= panel.droppedLines;
  }
  panel.added.clear();
  panel.droppedLines = 0;
  MeasureBlocks(widget, firstNewBlock);
  // The last line in view.
  widget->moveCursor(QTextCursor::End);
  widget->ensureCursorVisible();
  return true;
}

// The scroll bar counts the wrapped lines of the blocks the layout has measured and one line for
// each block it has not, and the widget measures only the blocks it shows. Left to it, a text shown
// afresh or lines shown together had a thumb that did not match the text shown, and a range that
// grew under the thumb as scrolling and painting measured more. Every block is measured when added.
void MainWindow::MeasureBlocks(QPlainTextEdit* widget, int firstBlock) {
  const auto* layout =
      qobject_cast<QPlainTextDocumentLayout*>(widget->document()->documentLayout());
  if (layout == nullptr) return;
  for (QTextBlock block = widget->document()->findBlockByNumber(firstBlock); block.isValid();
       block = block.next()) {
    layout->ensureBlockLayout(block);
  }
}

void MainWindow::ShowPanels(bool repaint) {
  sincePanelShown_.start();
  for (const int id : {IDC_INFO_LOG, IDC_MEDIA_LIST}) {
    // Painted now, text and scroll bar together: a running command pumps the queue only now and
    // then.
    if (ShowPanel(id) && repaint) Control(id)->repaint();
  }
}

void MainWindow::SetProgress(unsigned position) {
  // Called once per sector: the position is only noted here. QProgressBar repaints itself at once
  // on every visible change, so the bar takes the position at the next pass over the queue.
  const unsigned wanted = std::min(position, 100u);
  if (wanted == progressWanted_) return;
  // A phase that starts again from 0 may block next (the MP3 encoder): its pump makes a pass.
  if (wanted < progressWanted_) sinceLastPump_.invalidate();
  progressWanted_ = wanted;
  callsUntilClock_ = 0;
  if (!Busy()) ShowProgress();
}

void MainWindow::ShowProgress() {
  if (progress_->value() != static_cast<int>(progressWanted_)) {
    progress_->setValue(static_cast<int>(progressWanted_));
  }
}

void MainWindow::PumpMessages() {
  // Called once per sector or block. Reading the clock costs more than scanning a sector, so it is
  // read after a new progress position or every CLOCK_STRIDE calls; a pass over the queue every
  // pumpInterval_ keeps the window as lively as a pass per call, at a small part of its cost.
  if (pumpInterval_ > 0) {
    if (--callsUntilClock_ > 0) return;
    callsUntilClock_ = CLOCK_STRIDE;
    if (sinceLastPump_.isValid() && sinceLastPump_.elapsed() < pumpInterval_) return;
  }
  sinceLastPump_.start();
  ShowProgress();
  ShowPanels(/*repaint=*/false);
  QCoreApplication::processEvents();
}

void MainWindow::ShowWarning(const std::string& text) {
  ShowPanels(/*repaint=*/false);
  // Modal to the window: nothing can start while the box is up.
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Warning."), QString::fromStdString(text),
                  QMessageBox::Ok, this);
  box.exec();
}

bool MainWindow::ConfirmReplace(const std::string& path, const std::string& detail) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("Uncompress ISO"),
                  QStringLiteral("%1 already exists.\nDo you want to replace it?")
                      .arg(QFile::decodeName(QByteArray::fromStdString(path))),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  box.setInformativeText(QString::fromUtf8(detail.c_str()));
  return box.exec() == QMessageBox::Yes;
}

}  // namespace quarnel
