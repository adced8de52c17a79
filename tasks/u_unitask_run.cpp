// The run of a task: its three stages, their events, the transfer after the main stage and the
// log at the end.
#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/ftpclient.h"
#include "platform/localclock.h"
#include "platform/oserror.h"
#include "platform/plainfile.h"
#include "platform/textrules.h"
#include "tasks/u_TRunTask.h"
#include "tasks/u_parfile.h"
#include "tasks/u_taskrun.h"
#include "tasks/u_transfer.h"
#include "tasks/u_unitask.h"

namespace tasks {

namespace {

bool ranProgram(const TThreadRunTask* thread) {
  return thread != nullptr && thread->startResult() == 0 && thread->startTime() != DateTime{};
}

bool isExport(TTaskType type) {
  return type == TTaskType::Export || type == TTaskType::RawExport;
}

bool hasScript(const std::string& path) {
  return !platform::trimBlanks(path).empty();
}

// The export program's own verdict of failure, when its output ends the export so; some end
// with 0 all the same (a wrapper script, a port that does not report it). The program may tell
// it under a message code ("EXP-00000: "), as it tells its other messages.
constexpr std::string_view kExportFailed = "Export terminated unsuccessfully";

bool saysExportFailed(const std::vector<std::string>& output) {
  for (const std::string& line : output) {
    std::string_view text(line);
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
    if (text.starts_with("EXP-")) {
      const size_t colon = text.find(": ");
      const std::string_view code = text.substr(4, colon == std::string_view::npos ? 0 : colon - 4);
      if (!code.empty() && code.find_first_not_of("0123456789") == std::string_view::npos)
        text.remove_prefix(colon + 2);
    }
    if (text == kExportFailed) return true;
  }
  return false;
}

}  // namespace

TUniTask::~TUniTask() {
  // The programs die with their runners; a parameter file of a run cut short goes with them,
  // since it holds the account.
  const bool running = state_ == TTaskState::Running && run_ != nullptr;
  transfer_.reset();
  prethread_.reset();
  mainthread_.reset();
  postthread_.reset();
  if (running && !parfile_.empty()) {
    int error = 0;
    platform::removeFile(parfile_, error);
  }
}

void TUniTask::StartTask(const TaskRunContext& context) {
  if (owner_ == nullptr || owner_->EventSink() == nullptr || context.view == nullptr ||
      context.store == nullptr) {
    throw std::logic_error("A task runs only for a window that takes its events");
  }
  terminated_ = false;
  terminateReason_.clear();
  preScriptNote_.clear();
  postScriptNote_.clear();
  freeRun();
  run_ = std::make_unique<TaskRunContext>(context);
  // A script stage without a script would run sqlplus on nothing as an empty account: it is
  // skipped, and the run says so where the stage would have begun.
  if (ispreexec_ && hasScript(preexec_)) prethread_ = std::make_unique<TThreadRunSqlplus>();
  if (ispostexec_ && hasScript(postexec_)) postthread_ = std::make_unique<TThreadRunSqlplus>();
  mainthread_ = std::make_unique<TThreadRunTask>();
  state_ = TTaskState::Running;
  SetProgramPath();
  begintime_ = std::chrono::system_clock::now();
  // Nothing of an earlier run may be measured, logged or transferred by this one.
  dumppath_.clear();
  dumpfile_ = "Unknown";
  filesize_ = 0;
  if (!dumpclock_) dumpclock_ = platform::localNow();
  if (ispreexec_ && prethread_ == nullptr)
    addStepLine(platform::localNowText() + ": " + std::string(kPreScriptSkipped));
  RunStage(prethread_ != nullptr ? kStagePreScript : kStageMain);
}

void TUniTask::RunStage(int32_t stage) {
  if (run_ == nullptr) return;
  TThreadRunTask* thread = nullptr;
  if (stage == kStagePreScript && ispreexec_) {
    thread = prethread_.get();
  } else if (stage == kStagePostScript && ispostexec_) {
    thread = postthread_.get();
  } else if (stage == kStageMain) {
    thread = mainthread_.get();
  }
  // A flag turned on after the start has no runner for its stage.
  if (thread == nullptr) return;
  state_ = TTaskState::Running;
  stage_ = stage;
  try {
    if (stage == kStagePreScript) {
      thread->Start(PreparePreStage(*this, run_->settings));
    } else if (stage == kStagePostScript) {
      thread->Start(PreparePostStage(*this, run_->settings));
    } else {
      std::optional<TRunStartRecord> record =
          PrepareMainStage(*this, run_->settings, dumpclock_.value_or(platform::localNow()));
      if (!record)
        throw std::runtime_error("The task type " + std::to_string(int(tasktype_)) + " runs no program");
      run_->view->ClearMainLogs();
      // The parser took the text, so nothing else tells why the dump is not measured or sent.
      if (parsedok_) {
        std::string left;
        for (const std::string& keyword : TypedKeywordsLeftOut(*this))
          left += (left.empty() ? "" : ", ") + keyword;
        if (!left.empty()) thread->output().push_back(std::string(kRunsAsTyped) + left);
      }
      dumpBefore_ = dumpStamp();
      thread->Start(std::move(*record));
    }
  } catch (const std::exception& e) {
    stageFailed(thread, e.what());
  }
}

void TUniTask::stageFailed(TThreadRunTask* thread, const std::string& reason) {
  // No runner will post for this stage: the run ends through the finished event as one whose
  // program could not start, its reason kept in the stage's output and so in the log.
  thread->output().push_back("Stage " + std::to_string(stage_) + " could not be prepared: " + reason);
  terminated_ = true;
  postFinished();
}

void TUniTask::postFinished() {
  owner_->EventSink()->PostTaskEvent(id_, kEventFinished);
}

void TUniTask::addStepLine(const std::string& line) {
  runlog_.push_back(line);
  if (node_ != nullptr && node_->IsSelected()) run_->view->AddRunningMessage(line);
}

void TUniTask::showOutput(const TThreadRunTask* thread) {
  if (thread == nullptr) return;
  for (const std::string& line : thread->output()) run_->view->AddRunningMessage(line);
}

void TUniTask::OnStageEvent(int32_t event) {
  // Only the running stage's events count: a stray one after the end, or during the transfer,
  // has nothing left to act on.
  if (run_ == nullptr || state_ != TTaskState::Running || transfer_ != nullptr) return;
  const bool script = stage_ == kStagePreScript || stage_ == kStagePostScript;
  if (event == kEventStarted) {
    if (stage_ == kStagePreScript) runlog_.clear();
    const bool exec = isexecuser_ && script;
    std::string line = platform::localNowText() + ": User(" + (exec ? execusername_ : uname_) + "@" +
                       (exec ? execconnectstring_ : connectstring_) + ") ";
    if (stage_ == kStagePreScript) {
      line += "Running pre script " + preexec_ + "...";
    } else if (stage_ == kStagePostScript) {
      line += "Running post script " + postexec_ + "...";
    } else {
      // A typed account's password must not reach the stored log.
      std::string shown = command_;
      for (const std::string& password : TypedPasswords(*this))
        shown = platform::maskPassword(shown, password);
      line += program_ + " " + shown;
    }
    addStepLine(line);
  } else if (event == kEventCouldNotStart) {
    const std::string program = script ? run_->settings.sqlplusProgram : program_;
    // The runner's last line says why; the box says it too, not only the log.
    const TThreadRunTask* thread = stage_ == kStagePreScript    ? prethread_.get()
                                   : stage_ == kStagePostScript ? postthread_.get()
                                                                : mainthread_.get();
    const std::string reason = thread != nullptr && !thread->output().empty() ? thread->output().back() : "";
    run_->view->ShowError("Start " + program + " error(00" + std::to_string(stage_) + ")" +
                          (reason.empty() ? "" : "\n" + reason));
    terminated_ = true;
    postFinished();
  } else if (event == kEventFinished) {
    // The line of the stage that ended: the next one's failure to start is not its own.
    const bool stopped = terminated_;
    TThreadRunTask* thread = stage_ == kStagePreScript    ? prethread_.get()
                             : stage_ == kStagePostScript ? postthread_.get()
                                                          : mainthread_.get();
    if (ranProgram(thread)) thread->output().push_back("Exit code: " + std::to_string(thread->exitCode()));
    if (script) noteScriptFailure(thread, stopped);
    if (stage_ == kStagePostScript) {
      showOutput(postthread_.get());
      state_ = TTaskState::Idle;
    } else if (stage_ == kStageMain) {
      // A file left by an earlier run under the same name is not this run's dump.
      if (isExport(tasktype_) &&
          (!ranProgram(mainthread_.get()) || !dumpStamp() || dumpStamp() == dumpBefore_)) {
        dumppath_.clear();
        dumpfile_ = "Unknown";
      }
      std::error_code ec;
      const auto size = dumppath_.empty() ? 0 : std::filesystem::file_size(dumppath_, ec);
      filesize_ = ec ? 0 : int64_t(size);
      if (startTransfer()) return;
      mainStageEnded();
    } else if (stage_ == kStagePreScript) {
      showOutput(prethread_.get());
      if (terminated_) {
        state_ = TTaskState::Idle;
      } else {
        RunStage(kStageMain);
      }
    }
    stageEnded(stopped);
  }
}

bool TUniTask::startTransfer() {
  if (transfermode_ != kTransferFtp && transfermode_ != kTransferCopy) return false;
  // An import's dump is its source: it is never uploaded, copied or deleted.
  if (!isExport(tasktype_)) return false;
  std::vector<std::string>& output = mainthread_->output();
  // A dump of a failed or stopped export is incomplete: it must not replace a good copy.
  if (terminated_) {
    output.push_back("Transfer skipped: the run was terminated");
    return false;
  }
  if (mainthread_->exitCode() != 0) {
    output.push_back("Transfer skipped: the export program ended with exit code " +
                     std::to_string(mainthread_->exitCode()));
    return false;
  }
  if (saysExportFailed(output)) {
    output.push_back("Transfer skipped: the export program said \"" + std::string(kExportFailed) + "\"");
    return false;
  }
  // A command run as typed may have written dumps: only their names are unknown here.
  if (dumppath_.empty() && RunsAsTyped(*this)) {
    output.push_back(std::string(kTransferSkippedAsTyped));
    return false;
  }
  if (dumppath_.empty()) {
    output.push_back("Transfer skipped: the run wrote no dump file");
    return false;
  }
  transfer_ = std::make_unique<TDumpTransfer>(*this, nullptr, run_->transferEvents);
  if (run_->transferEvents == nullptr) OnTransferEvent(kTransferEnded);
  return true;
}

void TUniTask::OnTransferEvent(int32_t event) {
  if (transfer_ == nullptr) return;
  std::vector<std::string>& output = mainthread_->output();
  if (event == kTransferEnded) transfer_->Join();
  for (std::string& line : transfer_->TakeLines()) output.push_back(std::move(line));
  if (event != kTransferEnded) return;
  transfer_->ApplyTo(*this);
  transfer_.reset();
  const bool stopped = terminated_;
  mainStageEnded();
  stageEnded(stopped);
}

void TUniTask::noteScriptFailure(const TThreadRunTask* thread, bool stopped) {
  if (thread == nullptr) return;
  const bool pre = stage_ == kStagePreScript;
  std::string note = pre ? "Pre script " : "Post script ";
  if (!ranProgram(thread)) {
    // The reason, which names the program, is the last line of its output; the stored log does
    // not hold that output.
    note += "could not start: " +
            (thread->output().empty() ? run_->settings.sqlplusProgram : thread->output().back());
  } else if (!stopped && thread->exitCode() != 0) {
    // A script stopped by the user is a terminated run, which the log tells as such.
    note += "ended with exit code " + std::to_string(thread->exitCode());
  } else {
    return;
  }
  (pre ? preScriptNote_ : postScriptNote_) = std::move(note);
}

void TUniTask::mainStageEnded() {
  run_->view->ClearMainLogs();
  showOutput(mainthread_.get());
  if (!terminated_ && ispostexec_ && !hasScript(postexec_))
    addStepLine(platform::localNowText() + ": " + std::string(kPostScriptSkipped));
  if (terminated_ || !ispostexec_ || postthread_ == nullptr) {
    state_ = TTaskState::Idle;
  } else {
    RunStage(kStagePostScript);
  }
}

void TUniTask::stageEnded(bool stopped) {
  addStepLine(platform::localNowText() + ": " + (stopped ? "Terminated" : "Done") + "\r\n");
  if (state_ == TTaskState::Idle) endRun();
}

void TUniTask::endRun() {
  std::vector<std::string>& output = mainthread_->output();
  int error = 0;
  // A parameter file that could not be written is no failure of its own.
  if (!parfile_.empty() && !platform::removeFile(parfile_, error) && error != ENOENT && error != ENOTDIR) {
    output.push_back("Delete file failed: " + parfile_ + ": " + platform::errorText(error));
  }
  if (!terminateReason_.empty()) output.push_back(std::exchange(terminateReason_, {}));
  endtime_ = std::chrono::system_clock::now();
  TaskLogEntry entry{0, id_, begintime_, endtime_, filesize_, dumpfile_};
  std::string content;
  if (!waitnote_.empty()) content += std::exchange(waitnote_, {}) + "\r\n";
  dumpclock_.reset();
  if (!preScriptNote_.empty()) content += preScriptNote_ + "\r\n";
  for (const std::string& line : output) content += line + "\r\n";
  if (!postScriptNote_.empty()) content += postScriptNote_ + "\r\n";
  bool stored = true;
  try {
    tasklogid_ = run_->store->SaveTaskLog(entry, content);
    entry.id = tasklogid_;
  } catch (const std::exception&) {
    stored = false;
    run_->view->ShowError(kSaveTaskLogError);
  }
  if (stored && (stage_ == kStageMain || stage_ == kStagePostScript)) run_->view->RunLogged(entry);
  freeRun();
}

void TUniTask::freeRun() {
  transfer_.reset();
  prethread_.reset();
  mainthread_.reset();
  postthread_.reset();
}

void TUniTask::TerminateTask(const std::string& reason) {
  if (state_ == TTaskState::Running && !reason.empty()) terminateReason_ = reason;
  for (TThreadRunTask* thread : {prethread_.get(), mainthread_.get(), postthread_.get()}) {
    terminated_ = true;
    if (thread != nullptr && thread->HasProcess()) thread->Terminate();
  }
  if (transfer_ != nullptr) transfer_->Abort();
}

std::string TUniTask::runfolder() const {
  return state_ == TTaskState::Running && run_ != nullptr ? run_->settings.workFolder : std::string();
}

std::optional<std::pair<int64_t, int64_t>> TUniTask::dumpStamp() const {
  std::error_code ec;
  if (dumppath_.empty() || !std::filesystem::is_regular_file(dumppath_, ec)) return std::nullopt;
  const auto time = std::filesystem::last_write_time(dumppath_, ec);
  if (ec) return std::nullopt;
  const auto size = std::filesystem::file_size(dumppath_, ec);
  if (ec) return std::nullopt;
  return std::pair{int64_t(time.time_since_epoch().count()), int64_t(size)};
}

}  // namespace tasks
