// The main window: the task side (tree, log list, run memos; its commands present and disabled
// until the task storage exists), the dump-file view, the settings, the tray icon and the
// hand-over from a second instance of the program.
//
// Threads: window thread only. Dump-file workers run on their own threads behind the modal
// progress window and report back through queued calls.
#pragma once

#include <QMainWindow>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dumpfile/u_formatdumpfile.h"
#include "dumpfile/u_parsedumpfile.h"
#include "platform/eventqueue.h"
#include "tasks/u_TRunTask.h"
#include "tasks/u_scheduler.h"
#include "tasks/u_taskrun.h"
#include "tasks/u_taskstore.h"

class QAction;
class QLabel;
class QLocalServer;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace ui {

class TFrmAboutBox;
class TFrmTaskOption;
class TFrmSysOption;
class TFrmTips;
class TFrmprogress;
class Tfrmchangenls;
class TFrm_getdumpfileheader;

// The name under which the running instance listens: the program's name and the user's id, in
// the user's runtime folder.
QString InstanceName();

// True when an instance listens under `name`; it has then been told to come to the front.
// False when none listens (a socket left by a crashed instance counts as none). Sets `error`
// when one was found but could not be told.
bool HandOverToRunningInstance(const QString& name, QString& error);

class TFrmMain final : public QMainWindow,
                       public tasks::TaskRunView,
                       public tasks::SchedulerHost,
                       public tasks::TaskHost {
  Q_OBJECT
 public:
  // Creates the window (FormCreate). When an instance listens under `instanceName`, hands over
  // to it and stops: HandedOver() is then true and the caller ends. Otherwise listens under
  // `instanceName` for later instances.
  explicit TFrmMain(const QString& instanceName);
  ~TFrmMain() override;

  bool HandedOver() const { return handedOver_; }
  // False after a failure of the creation, which has been reported; the caller ends.
  bool Started() const { return started_; }

  // --- the dump-file view
  // Opens a dump or analysis file as the "&Open" command does after its dialog.
  void OpenDumpOrAnalysisFile(const std::string& path);
  // Writes the first 2048 bytes of `dumpFile` to `targetDir` + its name with ".hed"; reports
  // the outcome in a message box.
  void SaveDumpFileHeader(const std::string& dumpFile, const std::string& targetDir);
  const dumpfile::TExpFileRoot* Root() const { return root_.get(); }

  // --- the task view
  // The tasks in tree order and the selected one (null when none).
  std::vector<tasks::TUniTask*> Tasks() const;
  tasks::TUniTask* SelectedTask() const;
  void SelectTask(const tasks::TUniTask* task);
  tasks::TTaskStore* Store() const { return store_.get(); }
  // The clock of the schedule check; tests give their own.
  void SetScheduleClock(std::function<platform::LocalTimeFields()> now);
  // One tick of the scheduler and one schedule check, as their timers run them.
  void SchedulerTimerTick();
  void ScheduleCheckTimer();
  // Ends every run: the programs' process groups, the runners, the parameter files; then frees
  // the tasks. Called on close.
  void EndAllTasks();

  // TaskRunView
  void AddRunningMessage(const std::string& line) override;
  void ClearMainLogs() override;
  void ShowError(const std::string& text) override;
  void RunLogged(const tasks::TaskLogEntry& entry) override;
  // SchedulerHost
  void StartTask(tasks::TUniTask& task) override;
  void ReportStartFailure(tasks::TUniTask& task) override;
  void RemoveTask(tasks::TUniTask& task) override;
  void SetNodeImage(tasks::TUniTask& task, int image) override;
  int NodeImage(const tasks::TUniTask& task) const override;
  // TaskHost
  tasks::TaskQuery* Query() override { return nullptr; }
  tasks::TaskLogTable* LogTable() override { return nullptr; }
  tasks::TaskEventSink* EventSink() override { return &taskEvents_; }
  std::string ExportProgram() const override;
  std::string ImportProgram() const override;

  bool TaskViewActive() const { return taskViewActive_; }
  bool AnalysisViewActive() const { return !taskViewActive_; }
  const std::string& LastDumpDir() const { return lastDumpDir_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void BuildActions();
  void BuildLayout();
  void BuildMenus();
  QAction* NewAction(const char* name, const QString& caption, const QString& hint = QString());
  void UpdateActions();
  void SetTaskViewActive(bool on);
  void RestoreFromTray();
  void ShowTips();

  void OpenTaskStore();
  void AddTaskNode(std::unique_ptr<tasks::TUniTask> task, bool atTop);
  void HandlePosted(const platform::PostedEvent& event);
  void TvwTasksChange();
  void LvtasklogsChange();
  void UpdateTaskActions();
  void AcRuntaskExecute();
  void AcTerminaterunningtaskExecute();
  void AcDelTaskExecute();
  void AcModifyOptionExecute();
  // Gives a new task its creation time, stores it, and shows it selected in the tree.
  void StoreNewTask(std::unique_ptr<tasks::TUniTask> task);
  void AcNewTaskExecute(tasks::TTaskType type);
  void AcDeleteTasklogExecute();
  void AcSavetaskExecute();
  void AcLoadTaskExecute();
  // The dump file of the first chosen run; "" when none is chosen or it does not exist (said).
  std::string ChosenRunDump();
  void AcImportthisfileExecute();
  void AcAnalyzethisfileExecute();

  void AcOpendumpfileExecute();
  void AcSavetofileExecute();
  void AcClearDumpfileExecute();
  void AcExportDDLExecute();
  void AcModifySysoptionExecute();
  void AcchangeregnlsExecute();
  void HelpTopicsClick();
  void OnTheWebClick();
  void FileHeaderClick();

  void ClearView();
  // Runs `worker` behind the progress window and waits for its end.
  using WorkerFactory = std::function<std::unique_ptr<dumpfile::DumpWorker>(
      dumpfile::ProgressSink*, dumpfile::DumpWorker::DoneCallback)>;
  void RunWorker(const WorkerFactory& make, const QString& label, int position);
  void BuildTree();
  void TvdumpfileChange();
  bool RefuseOverDump(const std::string& target, const std::string& source);

  bool handedOver_ = false;
  bool started_ = false;
  bool shown_ = false;
  bool taskViewActive_ = true;
  bool tipsAtStartup_ = true;
  bool showTipsOnActivate_ = false;
  std::string lastDumpDir_;
  std::unique_ptr<dumpfile::TExpFileRoot> root_;

  QAction *AcNewBlanktask, *AcNewExp, *AcNewImp, *AcRuntask, *AcTerminaterunningtask, *AcModifyTask,
      *AcDelTask, *AcModifyOption, *AcModifySysoption, *AcDeleteTasklog, *AcImportthisfile,
      *AcAnalyzethisfile, *AcOpendumpfile, *AcSavetofile, *AcClearDumpfile, *AcExportDDL, *AcSavetask,
      *AcLoadTask, *Acchangeregnls, *Acsavedumpfileheader;
  QAction *exitAction_, *tipsAction_, *fileHeaderAction_, *helpTopicsAction_, *onTheWebAction_, *aboutAction_;

  QTabWidget* PageControl3 = nullptr;
  QTabWidget* PageControl1 = nullptr;
  QTreeWidget* TvwTasks = nullptr;
  QTreeWidget* Tvdumpfile = nullptr;
  QTreeWidget* lvtasklogs = nullptr;
  QPlainTextEdit* MmRunningMsg = nullptr;
  QPlainTextEdit* Mmmainlogs = nullptr;
  QPlainTextEdit* MmDDlText = nullptr;
  QWidget* TsTasks = nullptr;
  QWidget* TsDDlText = nullptr;
  QSystemTrayIcon* TrayIcon1 = nullptr;
  QMenu* pop_tray = nullptr;
  QLocalServer* instanceServer_ = nullptr;

  std::unique_ptr<TFrmAboutBox> FrmAboutBox;
  std::unique_ptr<TFrmSysOption> FrmSysOption;
  std::unique_ptr<TFrmprogress> Frmprogress;
  std::unique_ptr<Tfrmchangenls> frmchangenls;
  std::unique_ptr<TFrm_getdumpfileheader> Frm_getdumpfileheader;
  std::unique_ptr<TFrmTips> FrmTips;
  std::unique_ptr<TFrmTaskOption> FrmTaskOption;

  // Posts runner and transfer events to the window thread.
  class WindowPoster final : public platform::EventPoster {
   public:
    explicit WindowPoster(TFrmMain* window) : window_(window) {}
    void post(const platform::PostedEvent& event) override;

   private:
    TFrmMain* window_;
  };
  struct TaskEntry;
  WindowPoster poster_{this};
  tasks::TaskEventPoster taskEvents_{poster_};
  std::unique_ptr<tasks::TTaskStore> store_;
  std::vector<std::unique_ptr<TaskEntry>> entries_;
  tasks::ScheduleChecker checker_;
  QTreeWidgetItem* tasksRoot_ = nullptr;
  QTimer* Tmscheduler = nullptr;
  QTimer* TmCheckSchedule = nullptr;
};

}  // namespace ui
