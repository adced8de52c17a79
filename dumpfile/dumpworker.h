// The frame that every dump-file worker shares (the reader, the analysis-file reader and writer,
// the definition writer): its own thread, progress, completion and cancel, and the readers of an
// object's exact bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "dumpfile/u_formatdumpfile.h"
#include "platform/plainfile.h"

namespace dumpfile {

// Messages a worker leaves in the root.
inline constexpr std::string_view kTerminatedByUser = "Terminated by user!";
inline constexpr std::string_view kAnalyzeFileError = "Analyze file error!";
// What a reading that is incomplete adds to its result.
inline constexpr std::string_view kReadingIncomplete =
    "The reading is incomplete: the tree holds only what was read.";

// A fixed message with the cause of the failure after it, in parentheses.
std::string WithCause(std::string_view message, const std::exception& cause);

// Where a worker shows its progress: the progress window's bar. Called on the worker's thread,
// so an implementation must be thread-safe (the window's one hands the calls to its own thread).
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void setMin(int value) = 0;
  virtual void setMax(int value) = 0;
  virtual void setStep(int value) = 0;
  virtual void setPosition(int value) = 0;
  // One step forward.
  virtual void stepIt() = 0;
};

// The frame of a dump-file worker (the reader, the analysis-file reader and writer, the
// definition writer). The caller owns the worker and the root; the root must outlive the worker.
//
// The completion callback runs exactly once per worker: on the worker's thread when the run
// ends, whatever the outcome, or from the destructor when the run never started. It must not
// throw. It replaces the message that told the progress window that the job was done.
class DumpWorker {
 public:
  using DoneCallback = std::function<void()>;
  // How a worker opens the files it reads; tests put in readers that fail or read short.
  using Opener = std::function<std::unique_ptr<platform::RandomReader>(const std::string& path, int& error)>;

  // `progress` (may be null) is borrowed and must outlive the worker.
  DumpWorker(TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone);
  virtual ~DumpWorker();
  DumpWorker(const DumpWorker&) = delete;
  DumpWorker& operator=(const DumpWorker&) = delete;

  // Runs the job on the worker's own thread. At most one of Start() and Execute() per worker.
  void Start();
  // Runs the job on the calling thread and returns when it has ended.
  void Execute();
  // Asks the run to stop at its next check. Any thread; the run ends soon after.
  void Terminate() { terminated_.store(true, std::memory_order_relaxed); }
  bool Terminated() const { return terminated_.load(std::memory_order_relaxed); }
  // Waits for the thread started by Start() to end. Not from the worker's own thread.
  void WaitFor();

  void SetOpener(Opener opener) { opener_ = std::move(opener); }
  TExpFileRoot& Root() const { return root_; }

 protected:
  // The job itself. Leaves its outcome in the root's message. An exception that leaves it ends
  // the run with FailureMessage().
  virtual void Run() = 0;
  // The message of a run that ended with an unexpected exception.
  virtual std::string FailureMessage() const = 0;

  // Every derived destructor calls this first, so that the run never outlives the members it uses.
  void StopAndJoin();

  std::unique_ptr<platform::RandomReader> OpenInput(const std::string& path, int& error) const;
  // Opens the root's file and measures it into `size` (when given). Null after leaving
  // "open file: " + name + " error" in the root when it cannot be opened or measured.
  std::unique_ptr<platform::RandomReader> OpenRootFile(int64_t* size = nullptr);
  // The exact bytes of `node`'s range in `file`, the root's file. False after leaving "Read " +
  // node name + " from " + file name + " error!" (with the reason, when there is one) in the root.
  bool ReadNodeBytes(platform::RandomReader& file, const TExpFileNode& node, std::string& bytes);

  // Progress over `total` units: the bar goes to 1..100, step 1, position 1, and steps once per
  // total/100+1 units counted, never beyond its maximum.
  void BeginProgress(int64_t total);
  void CountProgress(int64_t units);

 private:
  void RunOnce() noexcept;
  void SignalDone() noexcept;

  TExpFileRoot& root_;
  ProgressSink* progress_;
  DoneCallback onDone_;
  Opener opener_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> doneSignalled_{false};
  int64_t progressStep_ = 1;
  int64_t progressCounter_ = 0;
  int progressPosition_ = 1;
  std::jthread thread_;
};

// What the progress window does when the user cancels or closes it: sets the root's cancel flag,
// sets its message to "Terminated by user!" and asks the worker to stop. Any thread.
void CancelDumpJob(TExpFileRoot& root, DumpWorker& worker);

// The exact bytes of [startOffset, startOffset + length) of `file`, for the writers. False
// when the range does not lie inside the file (error 0) or a read fails (error = its number).
bool ReadDumpBytes(platform::RandomReader& file, int64_t startOffset, int64_t length, std::string& bytes,
                   int& error);

}  // namespace dumpfile
