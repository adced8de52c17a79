// The main window's dump side: the tree of a dump or analysis file ("Analyze" page), the text of
// the chosen node ("Text" page), the reader and writer workers behind the progress window, and
// the dump-file header dialog.
//
// The window (TFrmMain) makes the commands' actions, puts them in its menus and tool bar, and
// places the two pages; the pane wires the actions to its commands and keeps them enabled as the
// loaded file allows.
//
// Threads: window thread only. Each worker runs on its own thread while the modal progress
// window is up and is waited for before the pane goes on.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "dumpfile/u_formatdumpfile.h"
#include "dumpfile/u_parsedumpfile.h"

class QAction;
class QPlainTextEdit;
class QString;
class QTreeWidget;
class QWidget;

namespace ui {

class TFrmprogress;
class TFrm_getdumpfileheader;

// The dump commands, made by the window; their object names are the actions' names.
struct DumpActions {
  QAction* AcOpendumpfile;
  QAction* AcSavetofile;
  QAction* AcClearDumpfile;
  QAction* AcExportDDL;
};

class DumpPane final : public QObject {
 public:
  // Makes the two pages and wires `actions`. `window` is the parent of the pane's dialogs and
  // message boxes and outlives the pane.
  DumpPane(QWidget* window, const DumpActions& actions);
  ~DumpPane() override;

  // The "Analyze" page (the dump tree) and the "Text" page (the chosen node's text), for the
  // window to place.
  QWidget* TreePage() const { return Tsanalyze; }
  QWidget* TextPage() const { return TsDDlText; }

  // The dump commands are enabled only while the dump view is the active one.
  void SetActive(bool active);

  // Opens a dump or analysis file as the "&Open" command does after its dialog.
  void OpenDumpOrAnalysisFile(const std::string& path);
  // Shows the dump-file header dialog ("File header"), emptied.
  void ShowHeaderDialog();
  // Writes the first 2048 bytes of `dumpFile` to `targetDir` + its name with ".hed"; reports
  // the outcome in a message box.
  void SaveDumpFileHeader(const std::string& dumpFile, const std::string& targetDir);

  // The file shown; null when none.
  const dumpfile::TExpFileRoot* Root() const { return root_.get(); }
  // Where the dump dialogs start: the folder of the last dump opened, ending with "/"; empty
  // until one is (the dialogs then start in the last folder used, else the home folder).
  const std::string& LastDumpDir() const { return lastDumpDir_; }

  // The commands, as their actions run them.
  void OpenDumpFile();
  void SaveAnalysisFile();
  void ClearView();
  // Writes the definitions of the chosen node (every kind of the file, one kind, one owner's,
  // or one object) into files in a chosen folder.
  void ExportDDL();

 private:
  void BuildPages();
  void UpdateActions();
  // Runs the worker that `make` builds behind the progress window and waits for its end.
  using WorkerFactory = std::function<std::unique_ptr<dumpfile::DumpWorker>(
      dumpfile::ProgressSink*, dumpfile::DumpWorker::DoneCallback)>;
  void RunWorker(const WorkerFactory& make, const QString& label, int position);
  void BuildTree();
  void TvdumpfileChange();
  bool RefuseOverDump(const std::string& target, const std::string& source);

  QWidget* window_;
  DumpActions actions_;
  bool active_ = false;
  std::string lastDumpDir_;
  std::unique_ptr<dumpfile::TExpFileRoot> root_;

  QWidget* Tsanalyze = nullptr;
  QTreeWidget* Tvdumpfile = nullptr;
  QWidget* TsDDlText = nullptr;
  QPlainTextEdit* MmDDlText = nullptr;
  std::unique_ptr<TFrmprogress> Frmprogress;
  std::unique_ptr<TFrm_getdumpfileheader> Frm_getdumpfileheader;
};

}  // namespace ui
