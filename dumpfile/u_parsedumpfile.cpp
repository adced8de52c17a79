#include "dumpfile/u_parsedumpfile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <vector>

#include "dumpfile/ddltext.h"
#include "dumpfile/dumpyacc.h"
#include "platform/plainfile.h"

namespace dumpfile {

// --- ProcessDumpLine

namespace {

int moveMarks(TExpFileRoot& root, int result) {
  if (result == 0) return 0;
  if (root.OpenNode() != nullptr)
    root.MarkLineStart();
  else
    root.NextStatement();
  return result;
}

}  // namespace

int ProcessDumpLine(TDumpRecogniser& recogniser, TExpFileRoot& root, std::string_view line) {
  return moveMarks(root, recogniser.ParseLine(line));
}

int ApplyDumpLine(TDumpRecogniser& recogniser, TExpFileRoot& root, const TDumpRecogniser::Outcome& outcome) {
  return moveMarks(root, recogniser.Apply(outcome));
}

int ApplyDumpLine(TDumpRecogniser& recogniser, TExpFileRoot& root, const TDumpRecogniser::Effect& effect) {
  return moveMarks(root, recogniser.Apply(effect));
}

// --- TParseDumpfile

TParseDumpfile::TParseDumpfile(TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone,
                               int64_t chunkSize)
    : DumpWorker(root, progress, std::move(onDone)),
      chunkSize_(std::max<int64_t>(chunkSize, 1)),
      // One processor for the worker, one for the thread that reads ahead, the rest for helpers.
      helpers_(std::clamp(int(std::thread::hardware_concurrency()) - 2, 0, 6)) {}

int TParseDumpfile::MaxHelpers() {
  return std::max(int(std::thread::hardware_concurrency()), 1);
}

void TParseDumpfile::SetParallelism(int helpers, size_t minSegment) {
  helpers_ = std::clamp(helpers, 0, MaxHelpers());
  minSegment_ = std::max<size_t>(minSegment, 1);
}

TParseDumpfile::~TParseDumpfile() {
  StopAndJoin();
}

namespace {

// Gives each line that may start a statement to the recogniser; for the lines between them the
// answer is known ("not a head"), and only the marks move, as ProcessDumpLine would move them.
class RecognisingSink final : public DumpLineCutter::Sink {
 public:
  RecognisingSink(DumpWorker& worker, TExpFileRoot& root, TDumpRecogniser& recogniser)
      : worker_(worker), root_(root), recogniser_(recogniser) {}

  bool onLine(const DumpLineCutter::Line& line, int64_t endOffset) override {
    if (worker_.Terminated()) return false;
    root_.SetReadPosition(endOffset);
    if (line.recognised != nullptr) {
      ApplyDumpLine(recogniser_, root_, line.recognised->effect);
      countClosing(line.recognised->closingRecord, endOffset);
      return true;
    }
    const std::string_view text = line.text(scratch_);
    // Recognised apart and applied, as a helper's line is: the common lines take a shorter way.
    recogniser_.Recognise(text, outcome_);
    ApplyDumpLine(recogniser_, root_, outcome_);
    countClosing(outcome_.action == TDumpRecogniser::Outcome::kClose && IsClosingRecord(text), endOffset);
    return true;
  }
  // Export ends a dump with two "EXIT" lines in a row. Whether they are the last lines read: one
  // alone is a dump cut between them, and one further on is none, since row data may hold the
  // word on a line of its own.
  bool EndsWithClosingRecords() const { return closingRun_ >= 2; }
  // The end offset of the last "EXIT" line read that followed another; -1 when none did.
  int64_t LastClosingRecordsEnd() const { return closingEnd_; }

  bool onPlainLines(int64_t count, int64_t previousEnd, int64_t lastEnd) override {
    if (worker_.Terminated()) return false;
    closingRun_ = 0;
    if (root_.OpenNode() != nullptr) {
      root_.SetReadPosition(lastEnd);
      root_.MarkLineStart();
      return true;
    }
    // Only the last two of a run of lines that belong to nothing leave a trace in the marks.
    if (count > 1) {
      root_.SetReadPosition(previousEnd);
      root_.NextStatement();
    }
    root_.SetReadPosition(lastEnd);
    root_.NextStatement();
    return true;
  }

 private:
  DumpWorker& worker_;
  TExpFileRoot& root_;
  TDumpRecogniser& recogniser_;
  std::string scratch_;
  TDumpRecogniser::Outcome outcome_;
  void countClosing(bool closing, int64_t endOffset) {
    closingRun_ = closing ? closingRun_ + 1 : 0;
    if (closingRun_ >= 2) closingEnd_ = endOffset;
  }

  int64_t closingRun_ = 0;  // "EXIT" lines in a row up to the last line read
  int64_t closingEnd_ = -1;
};

// Whether the bytes of `file` in [from, to) hold no character of a line but blanks: lines of
// blanks after the closing records (a block filled up with them) add nothing to the dump.
bool onlyBlanks(platform::RandomReader& file, int64_t from, int64_t to) {
  std::vector<uint8_t> buffer(size_t(std::min<int64_t>(std::max<int64_t>(to - from, 1), 1 << 16)));
  while (from < to) {
    const int64_t got =
        file.readAt(from, buffer.data(), size_t(std::min<int64_t>(to - from, int64_t(buffer.size()))));
    if (got <= 0) return false;
    for (int64_t i = 0; i < got; ++i)
      if (buffer[size_t(i)] > 0x20 && buffer[size_t(i)] <= 0x7D) return false;
    from += got;
  }
  return true;
}

}  // namespace

namespace {

// Reads the chunks of a file ahead of their use on a thread of its own, so that reading one chunk
// overlaps cutting the one before. Only this thread touches the file while it runs, except that
// a reader whose reads may be shared gives pieces of each chunk to `pieceHelpers` threads more:
// copying a chunk out of the system's cache costs about as much as cutting it, and one thread
// alone would bound the reading.
class ChunkReader {
 public:
  struct Chunk {
    int64_t offset = 0;
    int64_t size = 0;  // bytes in `data`; 0 at the end of the file
    int error = 0;     // a read error, which ends the chunks
    // Left uninitialised: its pages are first touched by the threads that read into it, not by
    // the reader's thread before the first chunk.
    std::unique_ptr<uint8_t[]> data;
  };

  ChunkReader(platform::RandomReader& file, int64_t fileSize, int64_t chunkSize, int pieceHelpers)
      : file_(file), size_(fileSize), chunkSize_(chunkSize) {
    const size_t bytes = size_t(std::min(chunkSize_, std::max<int64_t>(fileSize, 1)));
    for (auto& c : chunks_) {
      c.data = std::make_unique_for_overwrite<uint8_t[]>(bytes);
      free_.push_back(&c);
    }
    if (file_.sharesReads() && int64_t(bytes) >= 2 * kLeastPiece) {
      pieces_.resize(size_t(std::clamp<int64_t>(int64_t(bytes) / kLeastPiece, 1, pieceHelpers + 1)));
      for (size_t i = 1; i < pieces_.size(); ++i)
        pieceThreads_.emplace_back([this, i](std::stop_token stop) { pieceLoop(stop, i); });
    }
    thread_ = std::jthread([this](std::stop_token stop) { fill(stop); });
  }

  ~ChunkReader() {
    thread_.request_stop();
    changed_.notify_all();
    thread_.join();
    for (auto& t : pieceThreads_) t.request_stop();
    pieceWork_.notify_all();
  }

  // The next chunk in file order; waits until it is read. Hand it back with release().
  Chunk& next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !ready_.empty(); });
    Chunk* c = ready_.front();
    ready_.erase(ready_.begin());
    return *c;
  }

  void release(Chunk& c) {
    std::lock_guard lock(mutex_);
    free_.push_back(&c);
    changed_.notify_all();
  }

 private:
  void fill(std::stop_token stop) {
    int64_t offset = 0;
    for (;;) {
      Chunk* c = nullptr;
      {
        std::unique_lock lock(mutex_);
        if (!changed_.wait(lock, stop, [&] { return !free_.empty(); })) return;
        c = free_.front();
        free_.erase(free_.begin());
      }
      readChunk(*c, offset);
      const bool last = c->size == 0 || c->error != 0;
      offset = c->offset + c->size;
      {
        std::lock_guard lock(mutex_);
        ready_.push_back(c);
        changed_.notify_all();
      }
      if (last) return;
    }
  }

  // One piece of a chunk: [begin, end) of the file into `to`; what came of it.
  struct Piece {
    int64_t begin = 0, end = 0;
    uint8_t* to = nullptr;
    int64_t got = 0;
    int error = 0;
    uint64_t round = 0;  // the round the piece was last read in
  };
  static constexpr int64_t kLeastPiece = 1 << 20;

  // Reads a piece as the chunk's own loop would: asks again after a short read, stops at an error
  // or at the end of the file.
  void readPiece(Piece& p) {
    p.got = 0;
    p.error = 0;
    while (p.begin + p.got < p.end) {
      const int64_t n =
          file_.readShared(p.begin + p.got, p.to + p.got, size_t(p.end - p.begin - p.got), p.error);
      if (n < 0) {
        if (p.error == 0) p.error = EIO;
        return;
      }
      if (n == 0) return;
      p.got += n;
    }
  }

  void pieceLoop(std::stop_token stop, size_t i) {
    uint64_t done = 0;
    for (;;) {
      {
        std::unique_lock lock(pieceMutex_);
        if (!pieceWork_.wait(lock, stop, [&] { return round_ != done; })) return;
        done = round_;
      }
      readPiece(pieces_[i]);
      std::lock_guard lock(pieceMutex_);
      pieces_[i].round = done;
      pieceDone_.notify_all();
    }
  }

  // Reads [c.offset, c.offset + want) in pieces at once; the chunk ends where the first piece
  // that came back short ended, with that piece's error.
  void readInPieces(Chunk& c, int64_t want) {
    const int64_t step = (want / int64_t(pieces_.size()) + 4095) / 4096 * 4096;
    for (size_t i = 0; i < pieces_.size(); ++i) {
      Piece& p = pieces_[i];
      p.begin = c.offset + std::min(want, step * int64_t(i));
      p.end = i + 1 == pieces_.size() ? c.offset + want : c.offset + std::min(want, step * int64_t(i + 1));
      p.to = c.data.get() + (p.begin - c.offset);
    }
    uint64_t round = 0;
    {
      std::lock_guard lock(pieceMutex_);
      round = ++round_;
      pieceWork_.notify_all();
    }
    readPiece(pieces_[0]);
    {
      std::unique_lock lock(pieceMutex_);
      pieceDone_.wait(lock, [&] {
        for (size_t i = 1; i < pieces_.size(); ++i)
          if (pieces_[i].round != round) return false;
        return true;
      });
    }
    for (const Piece& p : pieces_) {
      c.size = p.begin + p.got - c.offset;
      if (p.got < p.end - p.begin) {
        c.error = p.error;
        return;
      }
    }
  }

  void readChunk(Chunk& c, int64_t offset) {
    c.error = 0;
    c.size = 0;
    // A hole of a sparse file reads as zero bytes, which end no line and join no text.
    c.offset = offset < size_ ? std::min(file_.nextDataOffset(offset), size_) : offset;
    const int64_t want = std::min<int64_t>(chunkSize_, size_ - c.offset);
    if (pieces_.size() > 1 && want >= 2 * kLeastPiece) return readInPieces(c, want);
    // A reader may come back short before the end of the file; ask again for the rest.
    while (c.size < want) {
      const int64_t n = file_.readAt(c.offset + c.size, c.data.get() + c.size, size_t(want - c.size));
      if (n < 0) {
        c.error = file_.error();
        if (c.error == 0) c.error = EIO;
        return;
      }
      if (n == 0) return;  // the file has become shorter since it was measured
      c.size += n;
    }
  }

  platform::RandomReader& file_;
  const int64_t size_;
  const int64_t chunkSize_;
  // One being read, one being cut and one whose lines are being passed on.
  std::array<Chunk, 3> chunks_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::vector<Chunk*> free_, ready_;
  std::vector<Piece> pieces_;
  std::mutex pieceMutex_;
  std::condition_variable_any pieceWork_;
  std::condition_variable pieceDone_;
  uint64_t round_ = 0;
  std::vector<std::jthread> pieceThreads_;
  std::jthread thread_;
};

}  // namespace

void TParseDumpfile::Run() {
  TExpFileRoot& root = Root();
  root.SetIncomplete(true);
  const std::string before = root.Message();
  ReadFile();
  if (Terminated() && root.Incomplete()) {
    root.SetMessage(std::string(kTerminatedByUser) + " " + std::string(kReadingIncomplete));
    return;
  }
  // A file that held nothing to show (an empty file, a text file read on the user's word) is
  // not a reading that succeeded.
  bool found = root.PublicObjectCount() > 0;
  TExpFileUser* owner = nullptr;
  for (int i = 0; !found && root.GetUser(i, owner); ++i)
    found = owner->NodeCount() > 0 || owner->Length() > 0;
  if (!found && (root.Message() == before || root.Message() == kDumpEndsEarly))
    root.SetMessage(kNothingFound);
}

namespace {

// Below this a tree is too small for chunks made ready to pay for their thread.
constexpr int64_t kReadyChunksFrom = 16 << 20;

}  // namespace

void TParseDumpfile::ReadFile() {
  TExpFileRoot& root = Root();
  const std::string fileName = root.DumpFileName();
  root.SetUserMode(false);
  auto defaultOwner = std::make_unique<TExpFileUser>();
  defaultOwner->SetName(root.ExportUser());
  root.SetCurrentOwner(root.AddUser(std::move(defaultOwner)));

  int64_t size = -1;
  std::unique_ptr<platform::RandomReader> file = OpenRootFile(&size);
  if (!file) return;
  BeginProgress(size);
  root.SetProcessedBytes(0);
  // A large dump may make a large tree: its chunks are made ready beside this thread.
  std::optional<tree_detail::ReadyChunks> readyChunks;
  if (size >= kReadyChunksFrom) readyChunks.emplace();

  try {
    TDumpRecogniser recogniser(root);
    DumpLineCutter cutter(true);
    RecognisingSink sink(*this, root, recogniser);
    std::optional<ChunkReader> reader(std::in_place, *file, size, chunkSize_, std::min(helpers_, 3));
    // Helpers only pay off on chunks that hold several segments. They go before the chunks do.
    const int helpers = std::min<int64_t>(size, chunkSize_) >= int64_t(2 * minSegment_) ? helpers_ : 0;
    ParallelLineCutter parallel(helpers, minSegment_, true);
    // The chunk fed last: its lines may reach the tree only with the next feed or the flush.
    ChunkReader::Chunk* held = nullptr;
    int64_t offset = 0;
    while (offset < size) {
      if (Terminated()) return;
      ChunkReader::Chunk& chunk = reader->next();
      if (chunk.offset > offset) {  // a hole
        CountProgress(chunk.offset - offset);
        offset = chunk.offset;
        root.SetProcessedBytes(offset);
      }
      if (chunk.error != 0) {
        if (!parallel.flush(cutter, sink)) return;
        root.SetReadPosition(offset);
        root.SetMessage("read file: " + fileName + " error (" + platform::errorText(chunk.error) + ")");
        return;
      }
      if (chunk.size == 0) break;
      if (!parallel.feed(cutter, chunk.data.get(), size_t(chunk.size), offset, sink)) return;
      // The chunk before is passed on whole: it is the read-ahead thread's again from here on.
      if (held != nullptr) reader->release(*held);
      held = &chunk;
      const int64_t got = chunk.size;
      offset += got;
      root.SetProcessedBytes(offset);
      CountProgress(got);
    }
    if (!parallel.flush(cutter, sink)) return;
    if (Terminated()) return;
    root.SetReadPosition(offset);
    cutter.finish(offset, sink);
    reader.reset();  // the file is this thread's alone again
    if (sink.EndsWithClosingRecords() || size == 0 ||
        (sink.LastClosingRecordsEnd() >= 0 && onlyBlanks(*file, sink.LastClosingRecordsEnd(), offset)))
      root.SetIncomplete(false);
    else
      root.SetMessage(kDumpEndsEarly);
  } catch (const std::exception& e) {
    root.SetMessage(WithCause(kAnalyzeFileError, e));
  }
}

// --- object bytes

bool ReadDumpText(const std::string& fileName, int64_t startOffset, std::string& text, int64_t length) {
  if (startOffset < 0 || length <= 0) return false;
  platform::InputFile file;
  if (!file.open(fileName) || file.size() < 0) return false;
  std::string bytes(size_t(std::min(length, kDumpTextBuffer)), '\0');
  const int64_t got = file.readAt(startOffset, bytes.data(), bytes.size());
  if (got <= 0) return false;
  bytes.resize(size_t(got));
  std::string script = DdlScript(bytes);
  if (script.empty()) return false;
  if (script.size() > size_t(kDumpTextLimit)) script.resize(size_t(kDumpTextLimit));
  text = std::move(script);
  return true;
}

}  // namespace dumpfile
