#include "ui/taskpane.h"

#include <QAction>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "platform/scopeguard.h"
#include "tasks/u_common.h"
#include "tasks/u_parfile.h"
#include "tasks/u_task1.h"
#include "tasks/u_transfer.h"
#include "ui/programsettings.h"
#include "ui/services.h"
#include "ui/u_exportwizard.h"
#include "ui/u_importwizard.h"
#include "ui/u_newblanktask.h"
#include "ui/u_taskfiles.h"
#include "ui/u_taskoption.h"
#include "ui/windowtext.h"

namespace ui {

// A task, its node in the tree and the node's image.
struct TaskPane::TaskEntry final : tasks::TaskNode {
  std::unique_ptr<tasks::TUniTask> task;
  QTreeWidgetItem* item = nullptr;
  int image = -1;
  bool IsSelected() const override { return item != nullptr && item->isSelected(); }
};

namespace {

QString timeText(tasks::DateTime t) {
  return QDateTime::fromMSecsSinceEpoch(
             std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count())
      .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

QTreeWidgetItem* runItem(const tasks::TaskLogEntry& entry) {
  auto* item = new QTreeWidgetItem({toQString(entry.dumpfile), QString::number(entry.filesize),
                                    timeText(entry.begintime), timeText(entry.endtime)});
  item->setData(0, Qt::UserRole, entry.id);
  return item;
}

}  // namespace

TaskPane::TaskPane(QWidget* window, const TaskActions& actions, AnalyzeCommand analyze)
    : window_(window), actions_(actions), analyze_(std::move(analyze)) {
  BuildPages();
  WireActions();
}

TaskPane::~TaskPane() {
  EndAllTasks();
}

void TaskPane::BuildPages() {
  TsExpimp = new QWidget;
  TsExpimp->setObjectName("TsExpimp");
  TvwTasks = new QTreeWidget(TsExpimp);
  TvwTasks->setObjectName("TvwTasks");
  TvwTasks->setHeaderHidden(true);
  (new QVBoxLayout(TsExpimp))->addWidget(TvwTasks);

  TsTasks = new QWidget;
  TsTasks->setObjectName("TsTasks");
  auto* tasksLayout = new QVBoxLayout(TsTasks);
  lvtasklogs = new QTreeWidget;
  lvtasklogs->setObjectName("lvtasklogs");
  lvtasklogs->setRootIsDecorated(false);
  lvtasklogs->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lvtasklogs->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvtasklogs->setHeaderLabels({"Dump file", "Size", "Start time", "End time"});
  const int widths[] = {250, 80, 120, 120};
  for (int i = 0; i < 4; ++i) lvtasklogs->header()->resizeSection(i, widths[i]);
  PageControl2 = new QTabWidget;
  PageControl2->setObjectName("PageControl2");
  MmRunningMsg = new QPlainTextEdit;
  MmRunningMsg->setObjectName("MmRunningMsg");
  Mmmainlogs = new QPlainTextEdit;
  Mmmainlogs->setObjectName("Mmmainlogs");
  PageControl2->addTab(MmRunningMsg, QStringLiteral("Message"));
  PageControl2->addTab(Mmmainlogs, QStringLiteral("Logs"));
  auto* logSplit = new QSplitter(Qt::Vertical);
  logSplit->addWidget(lvtasklogs);
  logSplit->addWidget(PageControl2);
  tasksLayout->addWidget(logSplit);
}

void TaskPane::WireActions() {
  const TaskActions& a = actions_;
  // The task side waits for the task storage: its commands stay disabled until it is open.
  for (QAction* action : {a.AcNewBlanktask, a.AcNewExp, a.AcNewImp, a.AcRuntask, a.AcTerminaterunningtask,
                          a.AcModifyTask, a.AcDelTask, a.AcModifyOption, a.AcDeleteTasklog,
                          a.AcImportthisfile, a.AcAnalyzethisfile, a.AcSavetask, a.AcLoadTask})
    action->setEnabled(false);
  connect(a.AcRuntask, &QAction::triggered, this, &TaskPane::RunTask);
  connect(a.AcTerminaterunningtask, &QAction::triggered, this, &TaskPane::TerminateTask);
  connect(a.AcDelTask, &QAction::triggered, this, &TaskPane::DeleteTask);
  connect(a.AcModifyTask, &QAction::triggered, this, &TaskPane::ModifyTask);
  connect(a.AcModifyOption, &QAction::triggered, this, &TaskPane::ModifyOptions);
  connect(a.AcNewBlanktask, &QAction::triggered, this, [this] { NewTask(tasks::TTaskType::RawExport); });
  connect(a.AcNewExp, &QAction::triggered, this, [this] { NewTask(tasks::TTaskType::Export); });
  connect(a.AcNewImp, &QAction::triggered, this, [this] { NewTask(tasks::TTaskType::Import); });
  connect(a.AcDeleteTasklog, &QAction::triggered, this, &TaskPane::DeleteTaskLogs);
  connect(a.AcSavetask, &QAction::triggered, this, &TaskPane::ExportTasks);
  connect(a.AcLoadTask, &QAction::triggered, this, &TaskPane::ImportTasks);
  connect(a.AcAnalyzethisfile, &QAction::triggered, this, &TaskPane::AnalyzeRunDump);
  connect(a.AcImportthisfile, &QAction::triggered, this, &TaskPane::ImportRunDump);

  TvwTasks->setContextMenuPolicy(Qt::ActionsContextMenu);
  TvwTasks->addActions({a.AcNewBlanktask, a.AcNewExp, a.AcNewImp, a.AcModifyTask, a.AcDelTask,
                        a.AcModifyOption, a.AcRuntask, a.AcTerminaterunningtask});
  lvtasklogs->setContextMenuPolicy(Qt::ActionsContextMenu);
  lvtasklogs->addActions({a.AcDeleteTasklog, a.AcImportthisfile, a.AcAnalyzethisfile});
}

void TaskPane::Open() {
  // Made after the window's own widgets: its pages carry names that the window's use too.
  FrmTaskOption = std::make_unique<TFrmTaskOption>(window_);
  // The hand-over to a running program goes by the runtime folder, which differs between
  // sessions that share the data folder; two programs on one store would each run every
  // scheduled task, writing the same dumps, and write back tasks over each other's changes.
  const std::string folder = tasks::TTaskStore::DefaultFolder();
  std::filesystem::create_directories(std::filesystem::path(folder).parent_path());
  if (!storeLock_.acquire(folder + ".lock")) {
    throw std::runtime_error("The task store " + folder +
                             " is in use by another Velmaron for Oracle of this user");
  }
  store_ = std::make_unique<tasks::TTaskStore>(folder);
  TvwTasks->clear();
  tasksRoot_ = new QTreeWidgetItem(TvwTasks, {kProgramTitle});
  tasksRoot_->setIcon(0, window_->style()->standardIcon(QStyle::SP_ComputerIcon));
  // Newest first, as the store gives them: the first part now, enough to fill the tree, and the
  // rest from the event loop, so that many tasks do not hold up the window's start.
  listWorkFolder_ = Settings().tmpdir;
  listReader_ = store_->OpenTaskList(this);
  platform::UndoOnFailure noListing([this] { listReader_.reset(); });
  ListTasks(listReader_->Next(kFirstListPart));
  tasksRoot_->setExpanded(true);
  TvwTasks->setCurrentItem(tasksRoot_);
  TmListTasks = new QTimer(this);
  TmListTasks->setObjectName("TmListTasks");
  connect(TmListTasks, &QTimer::timeout, this, &TaskPane::ListMoreTasks);
  if (listReader_->AtEnd()) {
    StopListing();
  } else {
    // The rest wait for the tree's first paint, so that the window shows before more are read;
    // a tree not shown by then (the window hidden, the other page in front) does not wait longer.
    TvwTasks->viewport()->installEventFilter(this);
    TmListTasks->start(kListWaitMs);
  }
  actions_.AcImportthisfile->setEnabled(true);
  actions_.AcAnalyzethisfile->setEnabled(true);
  connect(TvwTasks, &QTreeWidget::itemSelectionChanged, this, &TaskPane::TvwTasksChange);
  connect(lvtasklogs, &QTreeWidget::itemSelectionChanged, this, &TaskPane::LvtasklogsChange);
  connect(TvwTasks, &QTreeWidget::itemDoubleClicked, this, [this] {
    if (SelectedTask()) ModifyTask();
  });
  // The Delete key works on a running task's node too, to say it cannot be deleted.
  auto* deleteTask = new QShortcut(QKeySequence::Delete, TvwTasks, nullptr, nullptr, Qt::WidgetShortcut);
  connect(deleteTask, &QShortcut::activated, this, &TaskPane::DeleteTask);
  auto* deleteLogs = new QShortcut(QKeySequence::Delete, lvtasklogs, nullptr, nullptr, Qt::WidgetShortcut);
  connect(deleteLogs, &QShortcut::activated, this, &TaskPane::DeleteTaskLogs);
  Tmscheduler = new QTimer(this);
  Tmscheduler->setObjectName("Tmscheduler");
  connect(Tmscheduler, &QTimer::timeout, this, &TaskPane::SchedulerTimerTick);
  Tmscheduler->start(tasks::kSchedulerTickMs);
  TmCheckSchedule = new QTimer(this);
  TmCheckSchedule->setObjectName("TmCheckSchedule");
  connect(TmCheckSchedule, &QTimer::timeout, this, &TaskPane::ScheduleCheckTimer);
  TmCheckSchedule->start(tasks::kScheduleCheckMs);
  UpdateActions();
}

void TaskPane::SetActive(bool active) {
  active_ = active;
  UpdateActions();
}

void TaskPane::ShowFresh() {
  MmRunningMsg->clear();
  Mmmainlogs->clear();
  TvwTasks->setFocus();
}

QTreeWidgetItem* TaskPane::NewTaskEntry(std::unique_ptr<tasks::TUniTask> task, bool atTop) {
  auto entry = std::make_unique<TaskEntry>();
  entry->item = new QTreeWidgetItem({toQString(task->name())});
  entry->item->setData(0, Qt::UserRole, QVariant::fromValue<void*>(entry.get()));
  task->SetNode(entry.get());
  entry->task = std::move(task);
  SetNodeImage(*entry->task, tasks::TaskNodeImage(*entry->task));
  QTreeWidgetItem* item = entry->item;
  entries_.insert(atTop ? entries_.begin() : entries_.end(), std::move(entry));
  return item;
}

void TaskPane::AddTaskNode(std::unique_ptr<tasks::TUniTask> task, bool atTop) {
  if (listReader_) addedWhileListing_.insert(task->id());
  QTreeWidgetItem* item = NewTaskEntry(std::move(task), atTop);
  if (atTop) {
    tasksRoot_->insertChild(0, item);
  } else {
    tasksRoot_->addChild(item);
  }
}

void TaskPane::ListTasks(std::vector<std::unique_ptr<tasks::TUniTask>> part) {
  std::vector<const tasks::TUniTask*> listed;
  // The tree needs each task's name, type and schedule; the rest of a task is read when it is
  // first used. A stored task keeps its command as text: its parameters come from parsing it
  // again. A raw task runs its command as typed; parsing only tells whether its parameter list
  // can be used.
  for (auto& task : part) {
    if (addedWhileListing_.contains(task->id())) continue;
    const std::string typed = task->command();
    task->ParseCommand();
    if (task->tasktype() == tasks::TTaskType::RawExport || task->tasktype() == tasks::TTaskType::RawImport)
      task->SetCommand(typed);
    int minute = 0, hour = 0, day = 0;
    task->SetScheduled(tasks::ParseScheduleTime(task->scheduletable(), minute, hour, day));
    listed.push_back(task.get());
    unshownItems_.push_back(NewTaskEntry(std::move(task), false));
  }
  // Each addition lays out the whole tree again: the nodes go in when as many wait as the tree
  // holds, so that the additions take time in proportion to the tasks, not to their square.
  if (unshownItems_.size() >= tasksRoot_->childCount()) ShowListedNodes();
  // A task not yet listed has not run: a parameter file of one is left by a program that ended
  // mid-run, and it holds the account.
  tasks::RemoveStaleParFiles(listed, listWorkFolder_);
}

bool TaskPane::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Paint && watched == TvwTasks->viewport()) {
    watched->removeEventFilter(this);
    if (listReader_) TmListTasks->start(0);
  }
  return false;
}

void TaskPane::ListMoreTasks() {
  if (!listReader_) return StopListing();
  if (TmListTasks->interval() != 0) {
    TvwTasks->viewport()->removeEventFilter(this);
    TmListTasks->start(0);
  }
  // Parts of a few dozen tasks until the turn's time is used: the tree, the timers and the user
  // get the event loop between turns.
  static constexpr size_t kPart = 40;
  QElapsedTimer turn;
  turn.start();
  try {
    do {
      ListTasks(listReader_->Next(kPart));
    } while (!listReader_->AtEnd() && turn.elapsed() < kListTurnMs);
  } catch (const std::exception& e) {
    StopListing();
    ShowError(e.what());
    return;
  }
  if (listReader_->AtEnd()) StopListing();
}

void TaskPane::EnsureTasksLoaded() {
  if (!listReader_) return;
  try {
    while (!listReader_->AtEnd()) ListTasks(listReader_->Next(SIZE_MAX));
  } catch (const std::exception& e) {
    StopListing();
    ShowError(e.what());
    return;
  }
  StopListing();
}

void TaskPane::ShowListedNodes() {
  if (unshownItems_.isEmpty()) return;
  tasksRoot_->addChildren(unshownItems_);
  unshownItems_.clear();
}

void TaskPane::StopListing() {
  ShowListedNodes();
  if (TmListTasks) TmListTasks->stop();
  TvwTasks->viewport()->removeEventFilter(this);
  listReader_.reset();
  addedWhileListing_.clear();
}

std::vector<tasks::TUniTask*> TaskPane::Tasks() {
  EnsureTasksLoaded();
  return ListedTasks();
}

std::vector<tasks::TUniTask*> TaskPane::ListedTasks() const {
  std::vector<tasks::TUniTask*> list;
  list.reserve(entries_.size());
  for (const auto& entry : entries_) list.push_back(entry->task.get());
  return list;
}

tasks::TUniTask* TaskPane::SelectedTask() const {
  QTreeWidgetItem* item = TvwTasks->currentItem();
  if (!item || !item->isSelected()) return nullptr;
  auto* entry = static_cast<TaskEntry*>(item->data(0, Qt::UserRole).value<void*>());
  return entry ? entry->task.get() : nullptr;
}

void TaskPane::SelectTask(const tasks::TUniTask* task) {
  ShowListedNodes();
  for (const auto& entry : entries_)
    if (entry->task.get() == task) TvwTasks->setCurrentItem(entry->item);
}

void TaskPane::SetScheduleClock(std::function<platform::LocalTimeFields()> now) {
  checker_ = tasks::ScheduleChecker(std::move(now));
}

void TaskPane::SchedulerTimerTick() {
  // The tick starts queued tasks, removes one marked for deletion and keeps the nodes' images:
  // a task not yet listed is idle and has no node (the schedule check and the commands queue or
  // mark only listed ones), so the tick does the same with the tasks listed so far, and does not
  // make the listing wait.
  std::vector<tasks::TUniTask*> list = ListedTasks();
  // A task open in a dialog is not started: a wizard's options are half edited until it closes,
  // and a Cancel puts the old ones back. Queued meanwhile, it starts after the dialog.
  std::erase(list, editing_);
  tasks::SchedulerTick(list, Settings().maxtasks, *this);
  UpdateActions();
}

void TaskPane::ScheduleCheckTimer() {
  const std::vector<tasks::TUniTask*> list = Tasks();
  checker_.Check(list);
}

int TaskPane::RunningCount() const {
  int running = 0;
  for (const auto& entry : entries_) running += entry->task->state() == tasks::TTaskState::Running;
  return running;
}

void TaskPane::EndAllTasks() {
  // Every task's parameter file left from an earlier start goes, as it would have by now.
  EnsureTasksLoaded();
  if (Tmscheduler) Tmscheduler->stop();
  if (TmCheckSchedule) TmCheckSchedule->stop();
  // First every program of every run is told to end, so that they end together; their last
  // events store each run's log. A task still running after the wait goes with its runners
  // joined and its parameter file deleted, before anything else is freed.
  for (const auto& entry : entries_)
    if (entry->task->state() == tasks::TTaskState::Running)
      entry->task->TerminateTask("Terminated: the window was closed");
  QElapsedTimer waited;
  waited.start();
  while (RunningCount() > 0 && waited.elapsed() < kEndRunsWaitMs)
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
  const QSignalBlocker treeQuiet(TvwTasks), logsQuiet(lvtasklogs);
  entries_.clear();
  TvwTasks->clear();
  tasksRoot_ = nullptr;
  lvtasklogs->clear();
  UpdateActions();
}

void TaskPane::AddRunningMessage(const std::string& line) {
  MmRunningMsg->appendPlainText(displayText(line));
}

void TaskPane::ClearMainLogs() {
  Mmmainlogs->clear();
}

void TaskPane::ShowError(const std::string& text) {
  Services().messages->error(window_, toQString(text));
}

void TaskPane::RunLogged(const tasks::TaskLogEntry& entry) {
  const tasks::TUniTask* task = SelectedTask();
  if (!task || task->id() != entry.taskid) return;
  lvtasklogs->insertTopLevelItem(0, runItem(entry));
}

std::string TaskPane::RunWorkFolder() const {
  // A long-running window outlives its work folder when a temporary-file cleaner removes it:
  // the run then takes the folder that a start of the program would take, as a start does.
  std::string workFolder = Settings().tmpdir;
  try {
    workFolder = ApplyWorkFolderRule(workFolder);
  } catch (const std::exception&) {
    // No folder could be made: the run reports the setting's folder as it finds it.
  }
  return workFolder;
}

std::vector<std::string> TaskPane::DumpPathsOf(const tasks::TUniTask& task) const {
  return tasks::RunDumpPaths(task, RunWorkFolder(), platform::localNow());
}

std::vector<std::string> TaskPane::LogPathsOf(const tasks::TUniTask& task) const {
  return tasks::RunLogPaths(task, RunWorkFolder());
}

void TaskPane::StartTask(tasks::TUniTask& task) {
  MmRunningMsg->clear();
  Mmmainlogs->clear();
  PageControl2->setCurrentIndex(0);
  tasks::TaskRunContext context;
  context.settings = tasks::TaskRunSettings{RunWorkFolder(), Settings().sqlpluscmd};
  context.view = this;
  context.store = store_.get();
  context.transferEvents = &poster_;
  task.StartTask(context);
}

void TaskPane::ReportStartFailure(tasks::TUniTask& task) {
  (void)task;
  ShowError("Error while starting task ");
}

void TaskPane::RemoveTask(tasks::TUniTask& task) {
  try {
    store_->DeleteTask(task.id());
  } catch (const tasks::ETaskStoreError& e) {
    ShowError(std::string(e.what()) + "\n" + e.cause());
  } catch (const std::exception& e) {
    ShowError(std::string(tasks::kDeleteTaskError) + "\n" + e.what());
  }
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if ((*it)->task.get() != &task) continue;
    QTreeWidgetItem* item = (*it)->item;
    auto entry = std::move(*it);
    entries_.erase(it);
    unshownItems_.removeOne(item);
    delete item;
    break;
  }
}

void TaskPane::SetNodeImage(tasks::TUniTask& task, int image) {
  auto* entry = static_cast<TaskEntry*>(task.node());
  if (!entry || entry->image == image) return;
  entry->image = image;
  // The tree's image list: each image made once, on its first use, since making a style's icon
  // reads and decodes its pictures.
  static const QStyle::StandardPixmap kIcons[kNodeImages] = {
      QStyle::SP_BrowserReload, QStyle::SP_ArrowUp,           QStyle::SP_MessageBoxWarning,
      QStyle::SP_MediaPlay,     QStyle::SP_FileDialogStart,   QStyle::SP_MessageBoxWarning,
      QStyle::SP_ArrowDown,     QStyle::SP_MessageBoxWarning, QStyle::SP_MediaPlay,
      QStyle::SP_FileDialogEnd, QStyle::SP_MessageBoxWarning};
  const size_t shown = size_t(image < 0 || image >= kNodeImages ? 0 : image);
  if (nodeImages_[shown].isNull()) nodeImages_[shown] = window_->style()->standardIcon(kIcons[shown]);
  entry->item->setIcon(0, nodeImages_[shown]);
  entry->item->setData(0, Qt::UserRole + 1, image);
}

int TaskPane::NodeImage(const tasks::TUniTask& task) const {
  const auto* entry = static_cast<const TaskEntry*>(task.node());
  return entry ? entry->image : -1;
}

std::string TaskPane::ExportProgram() const {
  return Settings().expcmd;
}

std::string TaskPane::ImportProgram() const {
  return Settings().impcmd;
}

void TaskPane::UpdateActions() {
  if (!store_) return;
  const tasks::TUniTask* task = active_ ? SelectedTask() : nullptr;
  const bool idle = task && task->state() == tasks::TTaskState::Idle;
  const TaskActions& a = actions_;
  a.AcRuntask->setEnabled(idle);
  a.AcTerminaterunningtask->setEnabled(task && task->state() == tasks::TTaskState::Running);
  a.AcDelTask->setEnabled(idle);
  a.AcModifyTask->setEnabled(idle);
  a.AcModifyOption->setEnabled(idle);
  for (QAction* action :
       {a.AcNewBlanktask, a.AcNewExp, a.AcNewImp, a.AcDeleteTasklog, a.AcSavetask, a.AcLoadTask})
    action->setEnabled(active_);
}

void TaskPane::TvwTasksChange() {
  lvtasklogs->clear();
  MmRunningMsg->clear();
  Mmmainlogs->clear();
  if (tasks::TUniTask* task = SelectedTask()) {
    if (task->state() == tasks::TTaskState::Running)
      for (const std::string& line : task->runlog()) MmRunningMsg->appendPlainText(displayText(line));
    try {
      store_->LoadTaskDetails(*task);
      for (const tasks::TaskLogEntry& entry : store_->LoadTaskLogs(task->id()))
        lvtasklogs->addTopLevelItem(runItem(entry));
    } catch (const std::exception& e) {
      ShowError(e.what());
    }
  }
  UpdateActions();
}

void TaskPane::LvtasklogsChange() {
  QTreeWidgetItem* item = lvtasklogs->currentItem();
  tasks::TUniTask* task = SelectedTask();
  if (item && item->isSelected() && task) {
    try {
      Mmmainlogs->setPlainText(
          displayText(store_->LoadTaskLogContent(task->id(), item->data(0, Qt::UserRole).toInt())));
      PageControl2->setCurrentIndex(1);
    } catch (const std::exception& e) {
      ShowError(e.what());
    }
  }
  UpdateActions();
}

void TaskPane::RunTask() {
  tasks::TUniTask* task = SelectedTask();
  if (!task || task->state() != tasks::TTaskState::Idle) return;
  task->SetState(tasks::TTaskState::Queued);
  UpdateActions();
}

void TaskPane::TerminateTask() {
  tasks::TUniTask* task = SelectedTask();
  if (task && task->state() == tasks::TTaskState::Running) task->TerminateTask();
}

void TaskPane::DeleteTask() {
  tasks::TUniTask* task = SelectedTask();
  if (!task) return;
  if (task->state() == tasks::TTaskState::Running) {
    Services().messages->information(window_, QStringLiteral("Can not delete running task "));
    return;
  }
  if (task->state() != tasks::TTaskState::Idle) return;
  if (!Services().messages->question(window_, "Delete this task: " + toQString(task->name()) + "?")) return;
  // The event loop ran while the question was open: the schedule may have started the task
  // meanwhile, and a running task's runners still use it.
  const std::vector<tasks::TUniTask*> listed = ListedTasks();
  if (std::find(listed.begin(), listed.end(), task) == listed.end()) return;
  if (task->state() == tasks::TTaskState::Running) {
    Services().messages->information(window_, QStringLiteral("Can not delete running task "));
    return;
  }
  if (task->state() != tasks::TTaskState::Idle) return;
  // The tick removes it.
  task->SetState(tasks::TTaskState::ToDelete);
  UpdateActions();
}

void TaskPane::ModifyOptions() {
  tasks::TUniTask* task = SelectedTask();
  if (!task) return;
  if (task->state() == tasks::TTaskState::Running) {
    Services().messages->information(window_, QStringLiteral("Can not modify running task "));
    return;
  }
  if (task->state() != tasks::TTaskState::Idle) return;
  FrmTaskOption->Fill(*task);
  editing_ = task;
  platform::ScopeExit edited([this] { editing_ = nullptr; });
  if (Services().dialogs->run(*FrmTaskOption) != QDialog::Accepted) return;
  FrmTaskOption->TakeInto(*task);
  try {
    store_->UpdateTask(*task);
  } catch (const tasks::ETaskStoreError& e) {
    ShowError(std::string(e.what()) + "\n" + e.cause());
  } catch (const std::exception& e) {
    ShowError(std::string(tasks::kSaveTaskError) + "\n" + e.what());
  }
  SetNodeImage(*task, tasks::TaskNodeImage(*task));
}

void TaskPane::StoreNewTask(std::unique_ptr<tasks::TUniTask> task) {
  task->SetCreateTime(std::chrono::system_clock::now());
  try {
    store_->SaveTask(*task);
  } catch (const tasks::ETaskStoreError& e) {
    ShowError(std::string(e.what()) + "\n" + e.cause());
    return;
  } catch (const std::exception& e) {
    ShowError(std::string(tasks::kSaveTaskError) + "\n" + e.what());
    return;
  }
  tasks::TUniTask* added = task.get();
  AddTaskNode(std::move(task), true);
  SelectTask(added);
}

void TaskPane::CompleteNewTask(std::unique_ptr<tasks::TUniTask> task) {
  task->SetPreExec("");
  task->SetPostExec("");
  task->SetIsPreExec(false);
  task->SetIsPostExec(false);
  task->SetIsExecUser(false);
  task->SetExecUserName("");
  task->SetExecPassword("");
  task->SetExecConnectString(task->connectstring());
  StoreNewTask(std::move(task));
}

bool TaskPane::RunWizard(tasks::TUniTask& task, const QString& heading) {
  if (auto* exportTask = dynamic_cast<tasks::TExpTask*>(&task)) {
    TFrmExportWizard wizard(links_, changeCharset_, window_);
    wizard.SetPageCaptions(heading);
    wizard.Load(*exportTask);
    if (Services().dialogs->run(wizard) != QDialog::Accepted) return false;
    wizard.TakeNamesInto(task);
    return true;
  }
  if (auto* importTask = dynamic_cast<tasks::TImpTask*>(&task)) {
    TFrmImportWizard wizard(links_, window_);
    wizard.SetPageCaptions(heading);
    wizard.Load(*importTask);
    if (Services().dialogs->run(wizard) != QDialog::Accepted) return false;
    wizard.TakeNamesInto(task);
    return true;
  }
  return false;
}

std::unique_ptr<tasks::TUniTask> TaskPane::RunBlankTaskDialog(const tasks::TUniTask* task) {
  auto serverCharset = [links = links_](const OracleLogin& login, const std::string& client) {
    return ReadServerCharset(links, login, client);
  };
  TFrmNewBlankTask dialog(this, serverCharset, changeCharset_, window_);
  dialog.Fill(task);
  if (Services().dialogs->run(dialog) != QDialog::Accepted) return nullptr;
  return dialog.TakeTask();
}

void TaskPane::NewTask(tasks::TTaskType type) {
  if (type == tasks::TTaskType::Export || type == tasks::TTaskType::Import) {
    std::unique_ptr<tasks::TUniTask> task;
    if (type == tasks::TTaskType::Export) {
      auto exportTask = std::make_unique<tasks::TExpTask>(this);
      exportTask->SetFull(true);
      task = std::move(exportTask);
    } else {
      auto importTask = std::make_unique<tasks::TImpTask>(this);
      importTask->SetFull(true);
      task = std::move(importTask);
    }
    const bool isExport = type == tasks::TTaskType::Export;
    if (!RunWizard(*task,
                   isExport ? QStringLiteral("Create export task") : QStringLiteral("Create import task")))
      return;
    CompleteNewTask(std::move(task));
    return;
  }
  if (std::unique_ptr<tasks::TUniTask> task = RunBlankTaskDialog(nullptr)) CompleteNewTask(std::move(task));
}

namespace {

// What the blank-task dialog does not edit, from the task it replaces.
void keepRowOf(const tasks::TUniTask& from, tasks::TUniTask& to) {
  to.SetId(from.id());
  to.SetCreateTime(from.createtime());
  to.SetConnectToDb(from.connecttodb());
  to.SetScheduleTable(from.scheduletable());
  to.SetScheduled(from.scheduled());
  to.SetPreExec(from.preexec());
  to.SetPostExec(from.postexec());
  to.SetIsPreExec(from.ispreexec());
  to.SetIsPostExec(from.ispostexec());
  to.SetIsExecUser(from.isexecuser());
  to.SetExecUserName(from.execusername());
  to.SetExecPassword(from.execpassword());
  to.SetExecConnectString(from.execconnectstring());
  to.SetFtpAnonymous(from.ftpanonymous());
  to.SetTransferMode(from.transfermode());
  to.SetDeleteFileAfter(from.deletefileafter());
  to.SetFtpRemoteDir(from.ftpremotedir());
  to.SetCopyFileDir(from.copyfiledir());
  to.SetFtpPassword(from.ftppassword());
  to.SetFtpUserName(from.ftpusername());
  to.SetFtpServer(from.ftpserver());
}

}  // namespace

void TaskPane::ModifyTask() {
  tasks::TUniTask* task = SelectedTask();
  if (!task) return;
  if (task->state() == tasks::TTaskState::Running) {
    Services().messages->information(window_, QStringLiteral("Can not modify running task "));
    return;
  }
  if (task->state() != tasks::TTaskState::Idle) return;
  const tasks::TTaskType type = task->tasktype();
  if (type == tasks::TTaskType::RawExport || type == tasks::TTaskType::RawImport) {
    // The kind may change, and with it the class that reads the command: the dialog makes a new
    // task, which takes the old one's place with the rest of its row.
    editing_ = task;
    platform::ScopeExit edited([this] { editing_ = nullptr; });
    std::unique_ptr<tasks::TUniTask> changed = RunBlankTaskDialog(task);
    if (!changed) return;
    keepRowOf(*task, *changed);
    // Queued by its schedule while the dialog was open: the changed task runs in its place.
    changed->SetState(task->state());
    auto* entry = static_cast<TaskEntry*>(task->node());
    changed->SetNode(entry);
    entry->task = std::move(changed);
    StoreChangedTask(*entry->task);
    return;
  }
  if (type != tasks::TTaskType::Export && type != tasks::TTaskType::Import) return;
  const bool isExport = type == tasks::TTaskType::Export;
  const std::string command = task->command();
  if (!task->ParseCommand()) {
    task->SetTaskType(isExport ? tasks::TTaskType::RawExport : tasks::TTaskType::RawImport);
    Services().messages->information(window_, toQString(command) + "\n" +
                                                  (isExport ? QStringLiteral("Invalid export command")
                                                            : QStringLiteral("Invalid import command")));
    return;
  }
  task->SetSavedCommand(task->command());
  editing_ = task;
  platform::ScopeExit edited([this] { editing_ = nullptr; });
  if (!RunWizard(*task,
                 isExport ? QStringLiteral("Modify export task") : QStringLiteral("Modify import task"))) {
    // The wizard wrote every change into the options at once: reading the saved command again
    // brings the options and the parameter list back with it.
    task->SetCommand(task->savedcommand());
    task->ParseCommand();
    return;
  }
  StoreChangedTask(*task);
}

void TaskPane::StoreChangedTask(tasks::TUniTask& task) {
  try {
    store_->UpdateTask(task);
  } catch (const tasks::ETaskStoreError& e) {
    ShowError(std::string(e.what()) + "\n" + e.cause());
  } catch (const std::exception& e) {
    ShowError(std::string(tasks::kSaveTaskError) + "\n" + e.what());
  }
  auto* entry = static_cast<TaskEntry*>(task.node());
  entry->item->setText(0, toQString(task.name()));
  SetNodeImage(task, tasks::TaskNodeImage(task));
  TvwTasks->setFocus();
  SelectTask(&task);
  TvwTasksChange();
}

void TaskPane::DeleteTaskLogs() {
  tasks::TUniTask* task = SelectedTask();
  if (!task) return;
  const QList<QTreeWidgetItem*> chosen = lvtasklogs->selectedItems();
  if (chosen.isEmpty()) return;
  if (!Services().messages->question(window_, QStringLiteral("Delete selected tasklog ?"))) return;
  for (QTreeWidgetItem* item : chosen) {
    try {
      store_->DeleteTaskLog(task->id(), item->data(0, Qt::UserRole).toInt());
      delete item;
    } catch (const tasks::ETaskStoreError& e) {
      ShowError(std::string(e.what()) + "\n" + e.cause());
      break;
    } catch (const std::exception& e) {
      ShowError(std::string(tasks::kDeleteTaskLogError) + "\n" + e.what());
      break;
    }
  }
  Mmmainlogs->clear();
  UpdateActions();
}

void TaskPane::ExportTasks() {
  EnsureTasksLoaded();
  std::vector<const tasks::TUniTask*> list;
  for (const auto& entry : entries_) list.push_back(entry->task.get());
  ExportTasksToFile(window_, QString(), list);
}

void TaskPane::ImportTasks() {
  for (auto& task : ImportTasksFromFile(window_, QString(), this, *store_))
    AddTaskNode(std::move(task), true);
}

std::string TaskPane::ChosenRunDump() {
  const QList<QTreeWidgetItem*> chosen = lvtasklogs->selectedItems();
  if (chosen.isEmpty()) return {};
  // The first chosen run in list order.
  QTreeWidgetItem* first = chosen.front();
  for (QTreeWidgetItem* item : chosen)
    if (lvtasklogs->indexOfTopLevelItem(item) < lvtasklogs->indexOfTopLevelItem(first)) first = item;
  const QString path = first->text(0);
  if (!QFileInfo(path).isFile()) {
    Services().messages->error(window_, "File does not exists:" + path);
    return {};
  }
  return path.toStdString();
}

void TaskPane::ImportRunDump() {
  const std::string dump = ChosenRunDump();
  if (dump.empty()) return;
  auto task = std::make_unique<tasks::TImpTask>(this);
  task->SetFull(true);
  try {
    task->SetFile(dump);
  } catch (const std::invalid_argument& e) {
    ShowError("Can not import " + dump + ": " + e.what());
    return;
  }
  if (!RunWizard(*task, QStringLiteral("Create import task"))) return;
  CompleteNewTask(std::move(task));
}

void TaskPane::AnalyzeRunDump() {
  const std::string dump = ChosenRunDump();
  if (dump.empty()) return;
  analyze_(dump);
}

void TaskPane::PanePoster::post(const platform::PostedEvent& event) {
  // Any thread: the event is handled on the window thread, and dropped when the pane is gone.
  QMetaObject::invokeMethod(
      pane_, [p = pane_, event] { p->HandlePosted(event); }, Qt::QueuedConnection);
}

void TaskPane::HandlePosted(const platform::PostedEvent& event) {
  for (const auto& entry : entries_) {
    if (entry->task->id() < 0 || entry->task->id() != int32_t(event.first)) continue;
    if (event.message == tasks::WM_TASKEVENT) entry->task->OnStageEvent(int32_t(event.second));
    if (event.message == tasks::WM_TRANSFEREVENT) entry->task->OnTransferEvent(int32_t(event.second));
    UpdateActions();
    return;
  }
}

}  // namespace ui
