// The main window's task side: the task tree ("Exp/Imp" page), the run list with its "Message"
// and "Logs" memos ("Tasks" page), the scheduler's two timers, and the task commands. It owns the
// task storage and every task; the runners report to it through queued calls.
//
// The window (TFrmMain) makes the commands' actions, puts them in its menus and tool bar, and
// places the two pages; the pane wires the actions to its commands and keeps them enabled as the
// selected task's state allows.
//
// Threads: window thread only. Runner and transfer events arrive on any thread and are handed
// to the window thread; those arriving after the pane is gone are dropped.
#pragma once

#include <QIcon>
#include <QObject>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/eventqueue.h"
#include "platform/localclock.h"
#include "platform/processlock.h"
#include "tasks/u_TRunTask.h"
#include "tasks/u_scheduler.h"
#include "tasks/u_taskrun.h"
#include "tasks/u_taskstore.h"
#include "ui/oracleaccess.h"

class QAction;
class QPlainTextEdit;
class QTabWidget;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace ui {

class TFrmTaskOption;

// The task commands, made by the window; their object names are the actions' names.
struct TaskActions {
  QAction* AcNewBlanktask;
  QAction* AcNewExp;
  QAction* AcNewImp;
  QAction* AcRuntask;
  QAction* AcTerminaterunningtask;
  QAction* AcModifyTask;
  QAction* AcDelTask;
  QAction* AcModifyOption;
  QAction* AcDeleteTasklog;
  QAction* AcImportthisfile;
  QAction* AcAnalyzethisfile;
  QAction* AcSavetask;
  QAction* AcLoadTask;
};

class TaskPane final : public QObject,
                       public tasks::TaskRunView,
                       public tasks::SchedulerHost,
                       public tasks::TaskHost {
 public:
  // Opens a run's dump in the dump view ("Analyze" on a run).
  using AnalyzeCommand = std::function<void(const std::string& dumpFile)>;

  // Makes the two pages and wires `actions`, which stay disabled until Open. `window` is the
  // parent of the pane's dialogs and message boxes and outlives the pane.
  TaskPane(QWidget* window, const TaskActions& actions, AnalyzeCommand analyze);
  // Ends every run (EndAllTasks) before the pages, which the window owns, go.
  ~TaskPane() override;

  // The "Exp/Imp" page (the task tree) and the "Tasks" page (the runs and their memos), for
  // the window to place.
  QWidget* TreePage() const { return TsExpimp; }
  QWidget* LogPage() const { return TsTasks; }

  // How the wizards and the blank-task dialog reach Oracle; the Oracle client's links until set.
  void SetOracleLinks(OracleLinkFactory links) { links_ = std::move(links); }
  // The character-set command ("&Change") that the dialogs offer; nothing until set.
  void SetCharsetCommand(std::function<void()> change) { changeCharset_ = std::move(change); }

  // Opens the task storage in its default folder, shows its newest tasks (kFirstListPart), enables
  // the commands and starts the timers. The rest of the tasks are listed from the event loop once
  // the tree is first painted (or kListWaitMs passed), about kListTurnMs at a time, and go to the
  // end of the tree. A task's parameter file left in the work folder is removed when the task is
  // listed, before it can run. Throws what the storage throws; a failure of a later part is shown
  // and ends the listing.
  void Open();
  // Shows the rest of the stored tasks now, when some are still to come. Whatever needs every
  // task (the schedule check, a task file's export, the close) calls it first.
  void EnsureTasksLoaded();
  bool TasksLoaded() const { return listReader_ == nullptr; }
  // How many tasks are listed so far.
  size_t ListedCount() const { return entries_.size(); }
  static constexpr size_t kFirstListPart = 150;
  static constexpr int kListTurnMs = 4;
  static constexpr int kListWaitMs = 50;
  // The task commands are enabled only while the task view is the active one.
  void SetActive(bool active);
  // The state the window is shown in: memos empty, the tree focused.
  void ShowFresh();

  // Every task in tree order (the rest are shown first), and the selected one (null when none).
  std::vector<tasks::TUniTask*> Tasks();
  tasks::TUniTask* SelectedTask() const;
  void SelectTask(const tasks::TUniTask* task);
  tasks::TTaskStore* Store() const { return store_.get(); }
  // The clock of the schedule check; tests give their own.
  void SetScheduleClock(std::function<platform::LocalTimeFields()> now);
  // One tick of the scheduler and one schedule check, as their timers run them.
  void SchedulerTimerTick();
  void ScheduleCheckTimer();
  // How many tasks are running now.
  int RunningCount() const;
  // Ends every run: the programs' process groups, the runners, the transfers. Each run then ends
  // as a terminated one and stores its log, whose last line says the window was closed (waiting
  // for that at most kEndRunsWaitMs); then the tasks are freed, with their parameter files, and
  // the timers stopped. Called on close.
  void EndAllTasks();
  static constexpr int kEndRunsWaitMs = 15000;

  // The commands, as their actions run them.
  // A new task made in the dialog of `type`: the export wizard (Export), the import wizard
  // (Import) or the blank-task dialog (a raw type). On OK it is stored with no scripts and no
  // run-as account, and shown selected; on Cancel nothing remains of it.
  void NewTask(tasks::TTaskType type);
  // The selected idle task in the dialog of its type (the wizard of its kind, the blank-task
  // dialog for a raw task); the changed task is stored. Cancel leaves the task as it was.
  void ModifyTask();
  // The option dialog on the selected idle task; the changed task is stored.
  void ModifyOptions();
  void RunTask();
  void TerminateTask();
  // Asks, then marks the selected idle task for the tick to delete.
  void DeleteTask();
  void DeleteTaskLogs();
  void ExportTasks();
  void ImportTasks();
  // A new import task of the first chosen run's dump.
  void ImportRunDump();
  void AnalyzeRunDump();

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
  std::vector<std::string> DumpPathsOf(const tasks::TUniTask& task) const override;
  std::vector<std::string> LogPathsOf(const tasks::TUniTask& task) const override;
  // TaskHost
  tasks::TaskEventSink* EventSink() override { return &taskEvents_; }
  std::string ExportProgram() const override;
  std::string ImportProgram() const override;

 private:
  // The work folder that a run started now takes.
  std::string RunWorkFolder() const;
  void BuildPages();
  void WireActions();
  // The entry of `task`, first or last in tree order, and its node, not yet in the tree.
  QTreeWidgetItem* NewTaskEntry(std::unique_ptr<tasks::TUniTask> task, bool atTop);
  void AddTaskNode(std::unique_ptr<tasks::TUniTask> task, bool atTop);
  // Stored tasks read by the listing, at the end of the task list; those of `addedWhileListing_`
  // are there already. Their nodes wait in `unshownItems_` for ShowListedNodes.
  void ListTasks(std::vector<std::unique_ptr<tasks::TUniTask>> part);
  void ShowListedNodes();
  // One event-loop turn of the listing.
  void ListMoreTasks();
  void StopListing();
  // The tasks listed so far, in tree order.
  std::vector<tasks::TUniTask*> ListedTasks() const;
  // Starts the listing's turns at the tree's first paint.
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Gives a new task its creation time, stores it, and shows it selected in the tree.
  void StoreNewTask(std::unique_ptr<tasks::TUniTask> task);
  // A task made in a wizard or the blank-task dialog: no scripts, no run-as account (its
  // connect string the task's own); then stored and shown.
  void CompleteNewTask(std::unique_ptr<tasks::TUniTask> task);
  // The wizard of `task`'s kind on `task`, with page captions `heading`; true on OK, after which
  // the task holds the wizard's name, description and account.
  bool RunWizard(tasks::TUniTask& task, const QString& heading);
  // The blank-task dialog, filled from `task` (empty for a new one); the task it made on OK.
  std::unique_ptr<tasks::TUniTask> RunBlankTaskDialog(const tasks::TUniTask* task);
  // Writes a changed task back and shows its name, selected.
  void StoreChangedTask(tasks::TUniTask& task);
  void HandlePosted(const platform::PostedEvent& event);
  void TvwTasksChange();
  void LvtasklogsChange();
  void UpdateActions();
  // The dump file of the first chosen run; "" when none is chosen or it does not exist (said).
  std::string ChosenRunDump();

  // Posts runner and transfer events to the window thread.
  class PanePoster final : public platform::EventPoster {
   public:
    explicit PanePoster(TaskPane* pane) : pane_(pane) {}
    void post(const platform::PostedEvent& event) override;

   private:
    TaskPane* pane_;
  };
  struct TaskEntry;

  QWidget* window_;
  TaskActions actions_;
  AnalyzeCommand analyze_;
  OracleLinkFactory links_ = NewOracleClientLink;
  std::function<void()> changeCharset_ = [] {};
  bool active_ = true;

  QWidget* TsExpimp = nullptr;
  QTreeWidget* TvwTasks = nullptr;
  QWidget* TsTasks = nullptr;
  QTreeWidget* lvtasklogs = nullptr;
  QTabWidget* PageControl2 = nullptr;
  QPlainTextEdit* MmRunningMsg = nullptr;
  QPlainTextEdit* Mmmainlogs = nullptr;
  QTimer* Tmscheduler = nullptr;
  QTimer* TmCheckSchedule = nullptr;
  std::unique_ptr<TFrmTaskOption> FrmTaskOption;

  PanePoster poster_{this};
  tasks::TaskEventPoster taskEvents_{poster_};
  // Held while the store is open: one program at a time uses it.
  platform::ProcessLock storeLock_;
  std::unique_ptr<tasks::TTaskStore> store_;
  // The stored tasks not yet in the tree, and the timer that shows them; null once all are.
  std::unique_ptr<tasks::TTaskListReader> listReader_;
  QTimer* TmListTasks = nullptr;
  // The nodes of listed tasks not yet in the tree, in list order: the last tasks of `entries_`.
  QList<QTreeWidgetItem*> unshownItems_;
  // Tasks added on top while the listing runs (new or from a task file).
  std::unordered_set<int32_t> addedWhileListing_;
  // The work folder at the start, whose parameter files of listed tasks are removed.
  std::string listWorkFolder_;
  std::vector<std::unique_ptr<TaskEntry>> entries_;
  tasks::ScheduleChecker checker_;
  QTreeWidgetItem* tasksRoot_ = nullptr;
  // The task a Modify or Option dialog edits, which the scheduler leaves alone; null when none.
  tasks::TUniTask* editing_ = nullptr;
  static constexpr int kNodeImages = 11;
  std::array<QIcon, kNodeImages> nodeImages_;
};

}  // namespace ui
