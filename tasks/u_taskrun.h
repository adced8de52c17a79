// What a task's run needs besides the task: the program settings, the window it reports to, and
// the storage that keeps its log rows. The run itself is TUniTask::StartTask and its event
// handlers (u_unitask.h).
//
// Threads: everything here is called on the window thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/eventqueue.h"
#include "tasks/u_parfile.h"
#include "tasks/u_unitask.h"

namespace tasks {

// One `tasklog` row.
struct TaskLogEntry {
  int32_t id = 0;  // the run's `tasklogid`
  int32_t taskid = 0;
  DateTime begintime{};
  DateTime endtime{};
  int64_t filesize = 0;
  std::string dumpfile;
};

// Where a run stores its log: one `tasklog` row and its `tasklogc` row.
class TaskLogStore {
 public:
  virtual ~TaskLogStore() = default;
  // Stores `entry` under a new log id, unused by any stored log, and `content` (the main
  // program's output and the transfer lines, each line ended by CR LF) with it. Returns the id.
  // Throws when nothing could be stored; then nothing of the log is stored.
  virtual int32_t SaveTaskLog(const TaskLogEntry& entry, const std::string& content) = 0;
};

// The window as a run sees it. The window implements it.
class TaskRunView {
 public:
  virtual ~TaskRunView() = default;
  // A line for the running-messages view.
  virtual void AddRunningMessage(const std::string& line) = 0;
  // The main-log view is cleared when the main stage starts and when it ends.
  virtual void ClearMainLogs() = 0;
  // A modal error box with an OK button.
  virtual void ShowError(const std::string& text) = 0;
  // A run that reached the main stage has stored its log; the window shows it at the top of the
  // task-log list when the selected node is this task's.
  virtual void RunLogged(const TaskLogEntry& entry) = 0;
};

struct TaskRunContext {
  TaskRunSettings settings;
  TaskRunView* view = nullptr;
  TaskLogStore* store = nullptr;
  // Where the dump transfer posts WM_TRANSFEREVENT (to be handed to OnTransferEvent).
  platform::EventPoster* transferEvents = nullptr;
};

// "Save task log error!": the box of a log that could not be stored.
inline constexpr const char* kSaveTaskLogError = "Save task log error!";

}  // namespace tasks
