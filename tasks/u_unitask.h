// The task: one row of the local table `task` plus the run state of that task. The export and
// import tasks (u_task1.h) derive from it and add the options of the export and import programs.
//
// Threads: a task is used on the window thread only; it takes no locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/localclock.h"

namespace tasks {

using DateTime = std::chrono::system_clock::time_point;

// Column `tasktype`. A row may carry another value; such a task runs no main stage.
enum class TTaskType : uint8_t { Export = 0, Import = 1, RawExport = 2, RawImport = 3 };

enum class TTaskState : int32_t { Idle = 0, Queued = 1, Running = 2, ToDelete = 3 };

// Stage of a run: what the runner of that stage starts.
enum : int32_t { kStageNone = 0, kStagePreScript = 1, kStageMain = 2, kStagePostScript = 3 };

// Column `transfermode`.
enum : int32_t { kTransferNone = 0, kTransferFtp = 1, kTransferCopy = 2 };

// Task events that the runners post to the window: second parameter of WM_TASKEVENT.
enum : int32_t { kEventStarted = 1, kEventFinished = 2, kEventCouldNotStart = 3 };

// The task's node in the window's task tree. The run writes its step lines to the window only
// while this node is the selected one.
class TaskNode {
 public:
  virtual ~TaskNode() = default;
  virtual bool IsSelected() const = 0;
};

// Where the runners of a task post their events (the main window). Posting never waits.
class TaskEventSink {
 public:
  virtual ~TaskEventSink() = default;
  virtual void PostTaskEvent(int32_t taskId, int32_t event) = 0;
};

// What a task takes from the window that makes it. Borrowed: it outlives every task it makes.
class TaskHost {
 public:
  virtual ~TaskHost() = default;
  virtual TaskEventSink* EventSink() = 0;
  // The configured programs (settings `expcmd` and `impcmd`).
  virtual std::string ExportProgram() const = 0;
  virtual std::string ImportProgram() const = 0;
};

class TThreadRunTask;
class TDumpTransfer;
struct TaskRunContext;

// What a runner starts for one stage of a run.
struct TaskStartRecord {
  std::string program;
  std::string arguments;
  std::string folder;
  TaskEventSink* window = nullptr;
  int32_t taskId = 0;
};

// Where a parameter-text parser stopped: the scanner's column and the token text there.
struct ParseFailure {
  int32_t errorpos = 0;
  std::string errortext;
};

class TUniTask {
 public:
  // `owner` may be null (a task made only to check a parameter text); the task then has no
  // engine components and no configured programs.
  explicit TUniTask(TaskHost* owner);
  virtual ~TUniTask();
  TUniTask(const TUniTask&) = delete;
  TUniTask& operator=(const TUniTask&) = delete;

  // Clears `params`; the export and import tasks also reset their options.
  virtual void ResetToDefaults();
  // True; no task kind refuses itself so far.
  virtual bool Validate();
  // `program` := the configured export program for Export and RawExport, the import program for
  // Import and RawImport.
  virtual void SetProgramPath();
  // Rebuilds `params` and `command` from the options.
  virtual void BuildCommand() = 0;
  // The run (u_unitask_run.cpp). Window thread only; events come back through the window.
  //
  // Begins a run with `context` (copied; what it points to must outlive the run): the
  // pre-script when `ispreexec` and `preexec` is not blank, else the export or import program (a
  // script stage that is on with no script is skipped with a step line, kPreScriptSkipped or
  // kPostScriptSkipped). Requires an owner with an
  // event sink (std::logic_error otherwise). A stage whose preparation fails ends the run as
  // terminated, its reason a line of the stage's output; StartTask does not throw for it.
  // An export's dump counts only when this run's program wrote it: otherwise (the program did
  // not start, or ended before writing it) `dumpfile` is "Unknown" and `filesize` 0, and nothing
  // is transferred. Only an export that ended with exit code 0 and was not terminated is transferred; each
  // stage's output ends with its exit code. At the end the parameter file is deleted and one log
  // is stored (the main program's output and the transfer lines); a task destroyed mid-run kills
  // its programs and deletes the parameter file too. The dump's name is resolved at `dumpclock`
  // when one was set before the start (the scheduler sets the clock it judged the wait at), else
  // at the start, however long the pre-script takes.
  void StartTask(const TaskRunContext& context);
  // Starts `stage` (1, 2 or 3; 1 and 3 only with their flag on); anything else does nothing.
  void RunStage(int32_t stage);
  // WM_TASKEVENT for this task: kEventStarted, kEventFinished or kEventCouldNotStart (whose box
  // says "Start " program " error(00" stage ")" and, on a line of its own, the runner's reason).
  void OnStageEvent(int32_t event);
  // WM_TRANSFEREVENT for this task: kTransferLineAdded or kTransferEnded.
  void OnTransferEvent(int32_t event);
  // Marks the run terminated and kills the program of the stage that runs, or aborts the
  // transfer in progress; the stage then ends through kEventFinished (kTransferEnded) as usual.
  // A `reason` given becomes the last line of the run's stored log.
  void TerminateTask(const std::string& reason = {});

  // Reads `command` with the parameter-text parser of the task's kind. On success the parsed
  // options replace the task's, `command` becomes the generated text (a RawExport or RawImport
  // task keeps its text as typed) and `parsedok` is set. On
  // failure the task keeps its options, `params` and `command`, `errorpos` and `errortext` tell
  // where the parser stopped, and `parsedok` is cleared. The whole text is read, however long.
  bool ParseCommand();

  // Row fields.
  int32_t id() const { return id_; }
  const std::string& name() const { return name_; }
  const std::string& description() const {
    details();
    return description_;
  }
  DateTime createtime() const { return createtime_; }
  bool connecttodb() const { return connecttodb_; }
  const std::string& uname() const {
    details();
    return uname_;
  }
  const std::string& upassword() const {
    details();
    return upassword_;
  }
  const std::string& connectstring() const {
    details();
    return connectstring_;
  }
  const std::string& scheduletable() const { return scheduletable_; }
  const std::string& command() const { return command_; }
  const std::string& preexec() const {
    details();
    return preexec_;
  }
  const std::string& postexec() const {
    details();
    return postexec_;
  }
  TTaskType tasktype() const { return tasktype_; }
  bool ispreexec() const { return ispreexec_; }
  bool ispostexec() const { return ispostexec_; }
  bool isexecuser() const { return isexecuser_; }
  const std::string& execusername() const {
    details();
    return execusername_;
  }
  const std::string& execpassword() const {
    details();
    return execpassword_;
  }
  const std::string& execconnectstring() const {
    details();
    return execconnectstring_;
  }
  int32_t ftpanonymous() const { return ftpanonymous_; }
  int32_t transfermode() const { return transfermode_; }
  int32_t deletefileafter() const { return deletefileafter_; }
  const std::string& ftpremotedir() const {
    details();
    return ftpremotedir_;
  }
  const std::string& copyfiledir() const {
    details();
    return copyfiledir_;
  }
  const std::string& ftppassword() const {
    details();
    return ftppassword_;
  }
  const std::string& ftpusername() const {
    details();
    return ftpusername_;
  }
  const std::string& ftpserver() const {
    details();
    return ftpserver_;
  }

  // Details: the text columns the task list does not show (every text column but `name`,
  // `scheduletable` and `command`). A task read without them holds a loader that the first get
  // or set of any of them calls; a set therefore never loses to a later load. A loader that
  // raises leaves the task as it was and is tried again on the next use. Window thread only.
  using DetailsLoader = std::function<void(TUniTask&)>;
  void SetDetailsLoader(DetailsLoader loader) { detailsLoader_ = std::move(loader); }
  bool DetailsLoaded() const { return !detailsLoader_; }

  // Row setters: each stores its value (after the details, for one of them) and does nothing else.
  void SetId(int32_t v) { id_ = v; }
  void SetName(std::string v) { name_ = std::move(v); }
  void SetDescription(std::string v) {
    details();
    description_ = std::move(v);
  }
  void SetCreateTime(DateTime v) { createtime_ = v; }
  void SetConnectToDb(bool v) { connecttodb_ = v; }
  void SetUName(std::string v) {
    details();
    uname_ = std::move(v);
  }
  void SetUPassword(std::string v) {
    details();
    upassword_ = std::move(v);
  }
  void SetConnectString(std::string v) {
    details();
    connectstring_ = std::move(v);
  }
  void SetScheduleTable(std::string v) { scheduletable_ = std::move(v); }
  void SetCommand(std::string v) { command_ = std::move(v); }
  void SetPreExec(std::string v) {
    details();
    preexec_ = std::move(v);
  }
  void SetPostExec(std::string v) {
    details();
    postexec_ = std::move(v);
  }
  void SetTaskType(TTaskType v) { tasktype_ = v; }
  void SetIsPreExec(bool v) { ispreexec_ = v; }
  void SetIsPostExec(bool v) { ispostexec_ = v; }
  void SetIsExecUser(bool v) { isexecuser_ = v; }
  void SetExecUserName(std::string v) {
    details();
    execusername_ = std::move(v);
  }
  void SetExecPassword(std::string v) {
    details();
    execpassword_ = std::move(v);
  }
  void SetExecConnectString(std::string v) {
    details();
    execconnectstring_ = std::move(v);
  }
  void SetFtpAnonymous(int32_t v) { ftpanonymous_ = v; }
  void SetTransferMode(int32_t v) { transfermode_ = v; }
  void SetDeleteFileAfter(int32_t v) { deletefileafter_ = v; }
  void SetFtpRemoteDir(std::string v) {
    details();
    ftpremotedir_ = std::move(v);
  }
  void SetCopyFileDir(std::string v) {
    details();
    copyfiledir_ = std::move(v);
  }
  void SetFtpPassword(std::string v) {
    details();
    ftppassword_ = std::move(v);
  }
  void SetFtpUserName(std::string v) {
    details();
    ftpusername_ = std::move(v);
  }
  void SetFtpServer(std::string v) {
    details();
    ftpserver_ = std::move(v);
  }

  // Run and working fields.
  // One entry per parameter, "keyword=value"; the name lists leave empty entries.
  const std::vector<std::string>& params() const { return params_; }
  std::vector<std::string>& runlog() { return runlog_; }
  const std::vector<std::string>& runlog() const { return runlog_; }
  TTaskState state() const { return state_; }
  int32_t stage() const { return stage_; }
  bool terminated() const { return terminated_; }
  bool parsedok() const { return parsedok_; }
  bool scheduled() const { return scheduled_; }
  const std::string& program() const { return program_; }
  const std::string& parfile() const { return parfile_; }
  const std::string& dumpfile() const { return dumpfile_; }
  const std::string& dumppath() const { return dumppath_; }
  // Why the scheduler kept the task queued before its run, for that run's stored log, where it
  // stands first; the run's end clears it.
  const std::string& waitnote() const { return waitnote_; }
  // The local time whose day, hour and minute name this run's dump file ("%d", "%h", "%m"): taken
  // once, before the run begins, so that the wait is judged on the path that the program then
  // writes and the transfer sends; empty between runs.
  const std::optional<platform::LocalTimeFields>& dumpclock() const { return dumpclock_; }
  // The work folder of the run in progress, where its programs run; empty when none runs.
  std::string runfolder() const;
  int64_t filesize() const { return filesize_; }
  int32_t tasklogid() const { return tasklogid_; }
  DateTime begintime() const { return begintime_; }
  DateTime endtime() const { return endtime_; }
  const std::string& savedcommand() const { return savedcommand_; }
  int32_t errorpos() const { return errorpos_; }
  const std::string& errortext() const { return errortext_; }
  TaskStartRecord& prerecord() { return prerecord_; }
  TaskStartRecord& mainrecord() { return mainrecord_; }
  TaskStartRecord& postrecord() { return postrecord_; }
  TThreadRunTask* prethread() const { return prethread_.get(); }
  TThreadRunTask* mainthread() const { return mainthread_.get(); }
  TThreadRunTask* postthread() const { return postthread_.get(); }
  TaskNode* node() const { return node_; }
  TaskHost* owner() const { return owner_; }

  void SetState(TTaskState v) { state_ = v; }
  void SetStage(int32_t v) { stage_ = v; }
  void SetTerminated(bool v) { terminated_ = v; }
  void SetParsedOk(bool v) { parsedok_ = v; }
  void SetScheduled(bool v) { scheduled_ = v; }
  void SetProgram(std::string v) { program_ = std::move(v); }
  void SetParFile(std::string v) { parfile_ = std::move(v); }
  void SetDumpFile(std::string v) { dumpfile_ = std::move(v); }
  void SetDumpPath(std::string v) { dumppath_ = std::move(v); }
  void SetWaitNote(std::string v) { waitnote_ = std::move(v); }
  void SetDumpClock(std::optional<platform::LocalTimeFields> v) { dumpclock_ = v; }
  void SetFileSize(int64_t v) { filesize_ = v; }
  void SetTaskLogId(int32_t v) { tasklogid_ = v; }
  void SetBeginTime(DateTime v) { begintime_ = v; }
  void SetEndTime(DateTime v) { endtime_ = v; }
  void SetSavedCommand(std::string v) { savedcommand_ = std::move(v); }
  void SetNode(TaskNode* v) { node_ = v; }

 protected:
  // Parses `command` into a fresh set of options of the task's kind and, only when the whole text
  // is accepted, makes them the task's. Returns false with `failure` filled otherwise.
  virtual bool Parse(std::string_view command, ParseFailure& failure) = 0;

  std::vector<std::string>& mutableParams() { return params_; }
  // Joins `params` into `command`: a blank before every entry, so an empty entry gives a blank.
  void CommandFromParams();

 private:
  // The run's steps (u_unitask_run.cpp).
  void stageFailed(TThreadRunTask* thread, const std::string& reason);
  void postFinished();
  void addStepLine(const std::string& line);
  void showOutput(const TThreadRunTask* thread);
  bool startTransfer();
  // The dump's modification time and size, when the file exists.
  std::optional<std::pair<int64_t, int64_t>> dumpStamp() const;
  void noteScriptFailure(const TThreadRunTask* thread, bool stopped);
  void mainStageEnded();
  void stageEnded(bool stopped);
  void endRun();
  void freeRun();

  void details() const {
    if (detailsLoader_) loadDetails();
  }
  void loadDetails() const;

  TaskHost* owner_;
  mutable DetailsLoader detailsLoader_;

  int32_t id_ = 0;
  std::string name_;
  std::string description_;
  DateTime createtime_{};
  bool connecttodb_ = false;
  std::string uname_;
  std::string upassword_;
  std::string connectstring_;
  std::string scheduletable_;
  std::string command_;
  std::string preexec_;
  std::string postexec_;
  TTaskType tasktype_ = TTaskType::RawExport;
  bool ispreexec_ = true;
  bool ispostexec_ = true;
  bool isexecuser_ = false;
  std::string execusername_;
  std::string execpassword_;
  std::string execconnectstring_;
  int32_t ftpanonymous_ = 0;
  int32_t transfermode_ = kTransferNone;
  int32_t deletefileafter_ = 0;
  std::string ftpremotedir_;
  std::string copyfiledir_;
  std::string ftppassword_;
  std::string ftpusername_;
  std::string ftpserver_;

  std::vector<std::string> params_;
  std::vector<std::string> runlog_;
  TTaskState state_ = TTaskState::Idle;
  int32_t stage_ = kStageNone;
  bool terminated_ = false;
  bool parsedok_ = false;
  bool scheduled_ = false;
  std::string program_;
  std::string parfile_;
  std::string dumpfile_;
  std::string dumppath_;
  std::string waitnote_;
  std::optional<platform::LocalTimeFields> dumpclock_;
  int64_t filesize_ = 0;
  int32_t tasklogid_ = 0;
  DateTime begintime_{};
  DateTime endtime_{};
  std::string savedcommand_;
  int32_t errorpos_ = 0;
  std::string errortext_;
  TaskStartRecord prerecord_;
  TaskStartRecord mainrecord_;
  TaskStartRecord postrecord_;
  TaskNode* node_ = nullptr;
  std::unique_ptr<TThreadRunTask> prethread_;
  std::unique_ptr<TThreadRunTask> mainthread_;
  std::unique_ptr<TThreadRunTask> postthread_;
  std::unique_ptr<TaskRunContext> run_;
  std::unique_ptr<TDumpTransfer> transfer_;
  // Why the run was terminated, for its log; empty when it was not, or no reason was given.
  std::string terminateReason_;
  // A script stage that failed, for the stored log, which holds the main program's output only.
  std::string preScriptNote_;
  std::string postScriptNote_;
  // The dump as it was before this run's main program started.
  std::optional<std::pair<int64_t, int64_t>> dumpBefore_;
};

// The step lines of a script stage that is on but names no script, which the run skips.
inline constexpr std::string_view kPreScriptSkipped = "Pre script skipped: no script file is set";
inline constexpr std::string_view kPostScriptSkipped = "Post script skipped: no script file is set";

// The first output line of a raw command's main stage that the parser took but whose parameter
// list would leave out what it says (TypedKeywordsLeftOut, listed after this text): the program
// gets the typed text, and the run neither measures nor transfers a dump, whose name only the
// program knows.
inline constexpr std::string_view kRunsAsTyped =
    "The command runs as typed, since its parameter list cannot carry: ";

// The output line of a raw command's run that ran as typed (RunsAsTyped) and has a transfer:
// the program may have written dumps, but no name of one is known to transfer.
inline constexpr std::string_view kTransferSkippedAsTyped =
    "Transfer skipped: the command ran as typed, so the dump file it wrote is not known";

// The loopback address that a new task's `ftpserver` names.
inline constexpr std::string_view kLoopbackAddress = "127.0.0.1";

}  // namespace tasks
