// The dump-file reader: the worker that reads an export dump file from start to end, cuts it
// into printable text lines and gives each line to the statement recogniser, so that the object
// tree fills with owners, objects and their byte ranges. Also the frame that every dump-file
// worker shares (progress, completion, cancel) and the readers of an object's bytes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dumpfile/u_formatdumpfile.h"
#include "platform/plainfile.h"

namespace dumpfile {

class TDumpRecogniser;

// Messages a worker leaves in the root.
inline constexpr std::string_view kTerminatedByUser = "Terminated by user!";
inline constexpr std::string_view kAnalyzeFileError = "Analyze file error!";

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

// Cuts a byte stream into the text lines of a dump: runs of bytes 0x20 to 0x7D, which a carriage
// return or line feed ends (when the line is not empty) or which are handed over as soon as they
// hold 201 characters. Other bytes are dropped without ending the line. Lines may span calls of
// feed(). Not thread-safe.
//
// A cutter that summarises hands over in full only the lines that may start a statement (those
// that TDumpRecogniser::CannotStartStatement does not turn away) and reports the lines between
// them by count and end offsets; one that does not hands over every line.
class DumpLineCutter {
 public:
  static constexpr int kMaxLineLength = 201;

  explicit DumpLineCutter(bool summarisePlainLines = false) : summarise_(summarisePlainLines) {}

  // A line handed over: its text is `carry` (the part that came in earlier feeds) followed by
  // the printable bytes of [begin, end). Valid only during the call that receives it.
  struct Line {
    std::string_view carry;
    const uint8_t* begin;
    const uint8_t* end;
    const uint8_t* first;  // the first character within [begin, end) when `carry` is empty, or null
    int length;            // characters in the text
    // The text of the line; `scratch` may hold it.
    std::string_view text(std::string& scratch) const;
    // False when the recogniser would answer the line "not a head" and change nothing.
    bool mayStartStatement() const;
  };

  class Sink {
   public:
    virtual ~Sink() = default;
    // `endOffset` is the offset just past the line's terminating byte (or its 201st character).
    // Returning false stops the cutting; the line counts as not handed over.
    virtual bool onLine(const Line& line, int64_t endOffset) = 0;
    // `count` lines in a row that cannot start a statement: the last ended at `lastEnd`, the one
    // before it at `previousEnd` (-1 when count is 1). Returning false stops the cutting.
    virtual bool onPlainLines(int64_t count, int64_t previousEnd, int64_t lastEnd) = 0;
  };

  // Cuts `n` bytes that lie at offset `base` of the stream. False when the sink stopped it.
  bool feed(const uint8_t* data, size_t n, int64_t base, Sink& sink);
  // Hands over the pending line, if any, at the end of the stream. False when the sink stopped.
  bool finish(int64_t endOffset, Sink& sink);
  // Characters of the line that has begun but is not handed over yet.
  int pendingLength() const { return pending_; }
  bool summarises() const { return summarise_; }
  // Forgets the pending line.
  void reset();
  // Takes over the pending line of `other`, a cutter that was fed the bytes just before the ones
  // this cutter is fed next.
  void adopt(const DumpLineCutter& other);

 private:
  bool summarise_;
  std::string carry_;
  int pending_ = 0;
};

// Cuts large buffers with helper threads, giving exactly what one cutter fed the same bytes gives.
// After any line break no line is pending, so the buffer is split into segments and each segment,
// from its first line break on, is cut into a list of lines by whichever thread takes it (the
// caller's thread takes segments too, so a helper that is slow to get a processor holds nothing
// up). The calling thread then cuts each segment's bytes up to that break itself and passes the
// segment's lines on in order. The sink is only ever called on the calling thread.
class ParallelLineCutter {
 public:
  // `helpers` threads besides the caller's; segments are at least `minSegment` bytes.
  ParallelLineCutter(int helpers, size_t minSegment);
  ~ParallelLineCutter();
  ParallelLineCutter(const ParallelLineCutter&) = delete;
  ParallelLineCutter& operator=(const ParallelLineCutter&) = delete;

  // As cutter.feed(data, n, base, sink). Not thread-safe; one caller at a time.
  bool feed(DumpLineCutter& cutter, const uint8_t* data, size_t n, int64_t base, DumpLineCutter::Sink& sink);

 private:
  struct Segment;
  void helperLoop(std::stop_token stop);
  // Cuts segments until none is left to take; called and returns with `lock` held.
  void takeSegments(std::unique_lock<std::mutex>& lock);

  size_t minSegment_;
  int helperCount_;
  std::mutex mutex_;
  std::condition_variable_any work_;
  std::condition_variable done_;
  std::vector<std::unique_ptr<Segment>> segments_;
  size_t next_ = 0, total_ = 0, finished_ = 0;
  std::vector<std::jthread> helpers_;
};

// Hands one line to the recogniser and moves the root's statement marks by its answer, which it
// returns: a complete head (0) needs nothing more; any other line belongs to the open object or,
// when none is open, to nothing. Throws what the recogniser throws.
int ProcessDumpLine(TDumpRecogniser& recogniser, TExpFileRoot& root, std::string_view line);

// The dump-file reader. The caller sets the root's file name, source kind and header facts
// before the run; afterwards the root holds the tree. Failures leave their message in the root:
// "open file: " + name + " error", "read file: " + name + " error (reason)" or
// "Analyze file error!"; a run that ends normally leaves the message as it was.
class TParseDumpfile final : public DumpWorker {
 public:
  static constexpr int64_t kDefaultChunkSize = 10485760;

  TParseDumpfile(TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone,
                 int64_t chunkSize = kDefaultChunkSize);
  ~TParseDumpfile() override;

  // How many helper threads cut a chunk beside the worker (default: one per processor beyond
  // the worker's and the read-ahead thread's, at most 6) and the least bytes each takes. Before
  // the run only.
  void SetParallelism(int helpers, size_t minSegment = 256 << 10);

 protected:
  void Run() override;
  std::string FailureMessage() const override { return std::string(kAnalyzeFileError); }

 private:
  int64_t chunkSize_;
  int helpers_;
  size_t minSegment_ = 256 << 10;
};

// The display text of an object: at most 10240 bytes from `startOffset`, where bytes 32 to 126
// stay and every other byte becomes a line feed. False when the offset is negative, the length
// is not positive, the file cannot be opened, measured or read, or no character results.
// Each call has its own buffer; any thread.
inline constexpr int64_t kDumpTextLimit = 10240;
bool ReadDumpText(const std::string& fileName, int64_t startOffset, std::string& text, int64_t length);

// The exact bytes of [startOffset, startOffset + length) of `file`, for the writers. False
// when the range does not lie inside the file (error 0) or a read fails (error = its number).
bool ReadDumpBytes(platform::RandomReader& file, int64_t startOffset, int64_t length, std::string& bytes,
                   int& error);

}  // namespace dumpfile
