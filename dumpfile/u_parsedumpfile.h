// The dump-file reader: the worker that reads an export dump file from start to end, cuts it
// into printable text lines and gives each line to the statement recogniser, so that the object
// tree fills with owners, objects and their byte ranges. Also the display text of an object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "dumpfile/dumplinecutter.h"
#include "dumpfile/dumpworker.h"
#include "dumpfile/dumpyacc.h"
#include "dumpfile/u_formatdumpfile.h"
#include "platform/plainfile.h"

namespace dumpfile {

// Hands one line to the recogniser and moves the root's statement marks by its answer, which it
// returns: a complete head (0) needs nothing more; any other line belongs to the open object or,
// when none is open, to nothing. Throws what the recogniser throws.
int ProcessDumpLine(TDumpRecogniser& recogniser, TExpFileRoot& root, std::string_view line);
// The same for a line recognised beforehand (TDumpRecogniser::Recognise) by any recogniser.
int ApplyDumpLine(TDumpRecogniser& recogniser, TExpFileRoot& root, const TDumpRecogniser::Outcome& outcome);
int ApplyDumpLine(TDumpRecogniser& recogniser, TExpFileRoot& root, const TDumpRecogniser::Effect& effect);

// The message of a reading of a dump that ends before its closing records (the two "EXIT" lines
// that export writes last), or between them.
inline const std::string kDumpEndsEarly =
    "The dump ends before its closing records. " + std::string(kReadingIncomplete);

// The message of a reading that found no owner and no object at all.
inline const std::string kNothingFound = "No user or object was found in this file.";

// The dump-file reader. The caller sets the root's file name, source kind and header facts
// before the run; afterwards the root holds the tree. Failures leave their message in the root:
// "open file: " + name + " error", "read file: " + name + " error (reason)" or
// "Analyze file error!"; a run that ends normally leaves the message as it was, unless the dump
// ends before its closing records (kDumpEndsEarly) or held no owner and no object (kNothingFound); a
// cancelled run leaves "Terminated by user! "
// + kReadingIncomplete. The root is marked Incomplete unless the run read a whole dump (or an
// empty file).
class TParseDumpfile final : public DumpWorker {
 public:
  static constexpr int64_t kDefaultChunkSize = 10485760;

  TParseDumpfile(TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone,
                 int64_t chunkSize = kDefaultChunkSize);
  ~TParseDumpfile() override;

  // The most helper threads a reader takes: the processor count.
  static int MaxHelpers();
  // How many helper threads cut a chunk beside the worker (default: one per processor beyond
  // the worker's and the read-ahead thread's, at most 6; at most MaxHelpers()) and the least
  // bytes each takes. Before the run only.
  void SetParallelism(int helpers, size_t minSegment = 256 << 10);

 protected:
  void Run() override;
  std::string FailureMessage() const override { return std::string(kAnalyzeFileError); }

 private:
  void ReadFile();

  int64_t chunkSize_;
  int helpers_;
  size_t minSegment_ = 256 << 10;
};

// The display text of an object: the script of the statements (DdlScript) in the first
// 1048576 bytes of its range, cut to 10240 bytes. False when the offset is negative, the length
// is not positive, the file cannot be opened, measured or read, or the range holds no statement.
// Each call has its own buffer; any thread.
inline constexpr int64_t kDumpTextLimit = 10240;
inline constexpr int64_t kDumpTextBuffer = 1048576;
bool ReadDumpText(const std::string& fileName, int64_t startOffset, std::string& text, int64_t length);

}  // namespace dumpfile
