// Runner threads: each runs one console program of a task's stage, collects its standard output
// and standard error line by line, and posts the task events (WM_TASKEVENT with the task id):
// kEventStarted when the program has started, kEventFinished when it has ended,
// kEventCouldNotStart when it could not be started (then no kEventFinished).
//
// Threads: the owner (the task, on the window thread) makes a runner, starts it once, may
// terminate it, and reads its results after kEventFinished or kEventCouldNotStart, when the runner no longer
// writes them. A runner never waits for the window: it only posts.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventqueue.h"
#include "tasks/u_parfile.h"
#include "tasks/u_unitask.h"

namespace platform {
class ChildProcess;
}

namespace tasks {

// The message that carries task events: WM_USER + 10.
inline constexpr uint32_t WM_TASKEVENT = 1034;

// Hands task events to a platform event poster as WM_TASKEVENT, task id first, event second.
class TaskEventPoster final : public TaskEventSink {
 public:
  explicit TaskEventPoster(platform::EventPoster& poster) : poster_(poster) {}
  void PostTaskEvent(int32_t taskId, int32_t event) override;

 private:
  platform::EventPoster& poster_;
};

class TThreadRunTask {
 public:
  TThreadRunTask();
  // Kills a program that still runs, then waits for the thread to end.
  virtual ~TThreadRunTask();
  TThreadRunTask(const TThreadRunTask&) = delete;
  TThreadRunTask& operator=(const TThreadRunTask&) = delete;

  // Starts the thread with `record`. Once per runner; a second call throws std::logic_error.
  // Events go to record.window (none when it is null).
  void Start(TRunStartRecord record);

  // Kills the program's whole process group. The output then ends and kEventFinished follows as usual.
  // Asked before the program has started, the program is killed as soon as it starts. Any thread.
  void Terminate();
  // True while the program runs (the process handle of the design is not 0). Any thread.
  bool HasProcess() const;
  // Waits until the thread has ended. Owner only.
  void Join();

  // Results: read them after kEventFinished or kEventCouldNotStart (or Join). `output` holds the program's
  // complete lines; a line keeps its carriage returns, zero bytes are dropped, and a last line without a line
  // feed is kept. The owner may append lines of its own (the transfer's) after kEventFinished.
  std::vector<std::string>& output() { return output_; }
  const std::vector<std::string>& output() const { return output_; }
  // The exit code (128 + signal for a killed program; -1 when it could not be learned); 0 until
  // the program has ended.
  int exitCode() const { return exitCode_; }
  // 0, or -1 when the program could not be started.
  int startResult() const { return startResult_; }
  DateTime startTime() const { return startTime_; }
  DateTime endTime() const { return endTime_; }

 protected:
  // Whether the program reads record.input through a pipe; otherwise it reads /dev/null.
  virtual bool FeedsInput() const { return false; }

 private:
  void Execute();
  void RunConsoleProcess();
  void PostEvent(int32_t event);
  void AddOutputByte(char c);

  bool started_ = false;
  TRunStartRecord record_;
  bool feedsInput_ = false;
  std::vector<std::string> output_;
  std::string line_;
  int exitCode_ = 0;
  int startResult_ = 0;
  DateTime startTime_{};
  DateTime endTime_{};

  mutable std::mutex processMutex_;  // guards process_ against Terminate from other threads
  std::unique_ptr<platform::ChildProcess> process_;
  bool terminateRequested_ = false;

  std::jthread thread_;  // last: joined before the members above go away
};

// The runner of the pre- and post-script stages: the same, with record.input given to the
// program on its standard input (which is then closed).
class TThreadRunSqlplus : public TThreadRunTask {
 protected:
  bool FeedsInput() const override { return true; }
};

}  // namespace tasks
