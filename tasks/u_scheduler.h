// The two timers' work over the task list, apart from the window and the storage: the task
// scheduler's tick (start queued tasks while fewer than `maxtasks` run, remove at most one task
// marked for deletion, keep each node's image) and the schedule checker that queues the tasks
// whose weekly schedule names a minute that has come.
//
// Threads: window thread only, like every change of a task's state.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/localclock.h"
#include "tasks/u_unitask.h"

namespace tasks {

// How often the window runs the scheduler's tick and the schedule check, in milliseconds.
inline constexpr int kSchedulerTickMs = 100;
inline constexpr int kScheduleCheckMs = 5000;

// The node image of `task` (0 to 10): 1, 4, 2, 5 for an idle export task that is parsed and not
// scheduled, parsed and scheduled, not parsed, not parsed and scheduled; 6, 9, 7, 10 the same for
// an import task; 3 and 8 running; 0 queued or to be deleted.
int TaskNodeImage(const TUniTask& task);

// What a tick does to the window and the storage.
class SchedulerHost {
 public:
  virtual ~SchedulerHost() = default;
  // Clears the run memos, shows the "Message" page and starts the task's run. Throws when the
  // run cannot start.
  virtual void StartTask(TUniTask& task) = 0;
  // Shows the start failure of `task`.
  virtual void ReportStartFailure(TUniTask& task) = 0;
  // Deletes the task's rows and its node; `task` is gone afterwards.
  virtual void RemoveTask(TUniTask& task) = 0;
  // Gives the task's node `image` (called only when it differs from the node's current one).
  virtual void SetNodeImage(TUniTask& task, int image) = 0;
  virtual int NodeImage(const TUniTask& task) const = 0;
  // The dump files that the run of `task` writes or reads, as RunDumpPaths (u_parfile.h) gives
  // them for the work folder that the run takes.
  virtual std::vector<std::string> DumpPathsOf(const TUniTask& task) const = 0;
  // The other files that the program of `task` writes (its log), as RunLogPaths gives them for
  // the same work folder.
  virtual std::vector<std::string> LogPathsOf(const TUniTask& task) const = 0;
};

// One tick of the task scheduler over `tasks`, in tree order. Starts queued tasks while fewer
// than `maxTasks` run (a start that throws is reported and not counted), removes the first task
// marked for deletion, then sets every remaining node's image. A queued task with a dump file of
// a running task (SameDumpFile), or whose transfer puts a dump where a running task's dump is or
// its transfer puts one (RunTransferTargets), or one of whose files (dumps, transfer targets, the
// program's log) is one of those or the log of a running task, stays queued until that run has
// ended, so that no dump or log is ever written by two programs or transfers at once, or read or
// transferred while another one writes it; the first tick that keeps it waiting sets its
// `waitnote` (kWaitingForDump). A queued task is
// judged with its `dumpclock` set to `now`, and starts with it, so that its run names its dump as it was
// judged, however long its pre-script takes; one that stays queued keeps no clock.
void SchedulerTick(std::span<TUniTask* const> tasks, int maxTasks, SchedulerHost& host,
                   const platform::LocalTimeFields& now);
// The tick at the local time now.
void SchedulerTick(std::span<TUniTask* const> tasks, int maxTasks, SchedulerHost& host);

// The wait note's text after the time and ": ": this, the running task's name, kWaitingForDumpUses
// and the waiting task's path of the shared dump file (or of its transfer), or kWaitingForFileUses
// and its path of a log that the running task uses.
inline constexpr const char* kWaitingForDump = "Waiting for task ";
inline constexpr const char* kWaitingForDumpUses = " to end: it uses the dump file ";
inline constexpr const char* kWaitingForFileUses = " to end: it uses the file ";

// Local time to the minute: minutes since 1970-01-01 00:00 of the local calendar.
int64_t LocalMinuteNumber(const platform::LocalTimeFields& t);

// Queues the idle tasks whose schedule names a minute that has come since the last check. Call it
// every few seconds: it remembers the last minute handled, so a late or early call neither skips
// nor repeats a minute; the first check handles the current minute. After more than an hour
// without a check (a suspended machine, a clock set forward) only the current minute is handled.
// The local time may leap further than the time that passed when summer time begins: the
// minutes it leaps over never show on the clock, and their tasks run at the first check after
// the leap. A clock set back handles no minute twice: nothing is queued until the clock has passed
// the last minute handled (a repeated hour at the end of summer time runs its tasks once). A
// clock set back by more than a day had been wrong, not merely moved: the check starts over at
// the current minute as the first one does, so that no schedule waits for the wrong time to come
// round again.
class ScheduleChecker {
 public:
  // How long a late check still catches up, in minutes of time passed.
  static constexpr int64_t kCatchUpMinutes = 60;
  // How far the local time may leap beyond the time passed and still be caught up, in minutes:
  // the largest change of a zone's offset at the start of summer time.
  static constexpr int64_t kZoneLeapMinutes = 120;
  // How far a clock may be set back before the checker starts over, in minutes.
  static constexpr int64_t kSetBackMinutes = 24 * 60;

  // `clock` reads the system clock; the local time is taken from it in the process's time zone.
  explicit ScheduleChecker(
      std::function<std::chrono::system_clock::time_point()> clock = std::chrono::system_clock::now);
  // A clock of local time alone: every move of its local time counts as time passed.
  explicit ScheduleChecker(std::function<platform::LocalTimeFields()> now);

  // Returns how many tasks it queued.
  int Check(std::span<TUniTask* const> tasks);

 private:
  struct Reading {
    int64_t local = 0;   // LocalMinuteNumber
    int64_t passed = 0;  // minutes of a clock that no zone offset moves
  };
  std::function<Reading()> read_;
  std::optional<Reading> last_;
};

}  // namespace tasks
