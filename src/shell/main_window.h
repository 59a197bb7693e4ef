// The main dialog: every control of the window at its dialog-unit position, the command dispatch
// by control id, the options its controls give the core, and the reporter through which the long
// commands report into its panel, its progress bar and its Stop button.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QRect>
#include <QString>
#include <map>
#include <memory>
#include <string>

#include "analysis/disc_analysis.h"
#include "common/image_path.h"
#include "common/outcome.h"
#include "common/reporter.h"
#include "shell/dialog_controls.h"
#include "shell/media_page.h"

class QDragEnterEvent;
class QDropEvent;
class QKeyEvent;
class QShowEvent;
class QPlainTextEdit;
class QProgressBar;

namespace quarnel {

struct TemplateItem;

class MainWindow : public QDialog, public DialogControls {
 public:
  // Loads the stored path and sets every control to its start-up state. The dialog font is the
  // application font at 8 points; every position is converted from dialog units with its metrics.
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // DialogControls.
  std::string ControlText(int id) override;
  void SetControlText(int id, const std::string& text) override;
  bool IsChecked(int id) override;
  void SetChecked(int id, bool checked) override;
  void EnableControl(int id, bool enabled) override;
  void AppendPanelLine(const char* text, int panelId) override;

  // What the reporter of a long command does to the window.
  void SetProgress(unsigned position);
  // Handles whatever input is waiting (Stop among it) and returns at once.
  void PumpMessages();
  void ShowWarning(const std::string& text);
  bool ConfirmReplace(const std::string& path, const std::string& detail);

  // The analysis the media list shows, and the path as the last command read it.
  const DiscAnalysis& Analysis() const { return *analysis_; }
  const char* StoredPath() const { return ImagePath; }

  // The control with a dialog id, or nullptr.
  QWidget* Control(int id) const;
  // A rectangle in dialog units, in pixels of this window's font.
  QRect DialogRect(int x, int y, int width, int height) const;
  // True while "Analyse ISO", "Process ISO" or "Uncompress ISO" runs.
  bool Busy() const { return running_ != 0; }
  // The shortest time between two passes over the event queue during a long command; 0 makes
  // every call of PumpMessages a pass.
  void SetPumpInterval(int milliseconds) { pumpInterval_ = milliseconds; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  QWidget* CreateControl(const TemplateItem& item);
  QWidget* CreateButton(const TemplateItem& item);
  QWidget* CreatePanel(const TemplateItem& item);
  void CreateRowBoxes(const TemplateItem& item);
  void CreateLabel(const TemplateItem& item);
  void Centre();
  void Command(int id);
  void RunLongCommand(int id);
  bool Analyse(Outcome* failed = nullptr);
  void Process();
  void Uncompress();
  void SetAnalysing(bool analysing);
  void ReadImagePath();
  bool AnalysisShown();
  void Quit();
  void SelectIso();
  bool LockedDuringRun(int id) const;
  void ApplyEnabled(int id);
  void SetPathBytes(const std::string& bytes);
  void SetPanelText(int id, const std::string& text);
  bool ShowPanel(int id);
  static void MeasureBlocks(QPlainTextEdit* widget, int firstBlock);
  void ShowPanels(bool repaint);
  void ShowProgress();

  class WindowReporter;
  // The findings of the last analysis (empty ones before the first): only a new analysis that
  // opened its image replaces them.
  std::unique_ptr<DiscAnalysis> analysis_;
  MediaPage page_;
  StopToken stop_;                       // Stop and Quit set it; the window clears it before a run
  char ImagePath[IMAGE_PATH_SIZE] = {};  // the path box's text as a command last read it
  int baseUnitX_ = 0;  // dialog base units: the average character width and the character height
  int baseUnitY_ = 0;
  std::map<int, QWidget*> controls_;
  std::map<int, bool> enabled_;  // what the commands asked for; a run may disable more
  // The path box's file-system bytes, which need not be UTF-8, and the text shown for them:
  // while the box still shows that text, the bytes are its text.
  std::string pathBytes_;
  QString pathShown_;
  // A panel's window text, CR LF lines in their own bytes, and what its widget has yet to show:
  // lines added and dropped since it last showed the text, or all of it afresh.
  struct PanelText {
    std::string text;
    bool afresh = false;
    size_t shownLines = 0;  // line feeds in the text the widget shows
    size_t droppedLines = 0;
    std::string added;
  };
  std::map<int, PanelText> panels_;
  QElapsedTimer sincePanelShown_;
  QProgressBar* progress_ = nullptr;
  unsigned progressWanted_ = 0;  // the last position set; the bar shows it from the next pass
  int running_ = 0;              // the id of the running long command, 0 when idle
  bool analysing_ = false;       // an analysis runs, on its own or as the start of "Process ISO"
  int pumpInterval_ = 15;
  QElapsedTimer sinceLastPump_;
  int callsUntilClock_ = 0;
  bool centred_ = false;
  // The image whose tables the window holds: the path box text when its analysis ended and the
  // file's identity then, so that a file replaced under the same name counts as another image.
  struct FileIdentity {
    std::string path;
    uint64_t device = 0, inode = 0, size = 0;
    int64_t mtimeSeconds = 0, mtimeNanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
  };
  static bool Identify(const std::string& path, FileIdentity& identity);
  bool analysed_ = false;
  FileIdentity analysedFile_;
};

}  // namespace quarnel
