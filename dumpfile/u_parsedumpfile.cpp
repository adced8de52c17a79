#include "dumpfile/u_parsedumpfile.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "dumpfile/dumpyacc.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dumpfile {

// --- DumpWorker

DumpWorker::DumpWorker(TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone)
    : root_(root), progress_(progress), onDone_(std::move(onDone)) {}

DumpWorker::~DumpWorker() {
  StopAndJoin();
  SignalDone();
}

void DumpWorker::StopAndJoin() {
  Terminate();
  if (thread_.joinable()) thread_.join();
}

void DumpWorker::Start() {
  if (started_.exchange(true)) throw std::logic_error("dump worker started twice");
  thread_ = std::jthread([this] { RunOnce(); });
}

void DumpWorker::Execute() {
  if (started_.exchange(true)) throw std::logic_error("dump worker started twice");
  RunOnce();
}

void DumpWorker::RunOnce() noexcept {
  try {
    Run();
  } catch (...) {
    try {
      root_.SetMessage(FailureMessage());
    } catch (...) {
      // Not even the message could be made; the completion below still tells the window.
    }
  }
  SignalDone();
}

void DumpWorker::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void DumpWorker::SignalDone() noexcept {
  if (doneSignalled_.exchange(true)) return;
  if (onDone_) onDone_();
}

std::unique_ptr<platform::RandomReader> DumpWorker::OpenInput(const std::string& path, int& error) const {
  if (opener_) return opener_(path, error);
  auto file = std::make_unique<platform::InputFile>();
  if (!file->open(path)) {
    error = file->error();
    return nullptr;
  }
  return file;
}

std::unique_ptr<platform::RandomReader> DumpWorker::OpenRootFile(int64_t* size) {
  int error = 0;
  std::unique_ptr<platform::RandomReader> file = OpenInput(root_.DumpFileName(), error);
  const int64_t measured = file ? file->size() : -1;
  if (size != nullptr) *size = measured;
  if (measured >= 0) return file;
  root_.SetMessage("open file: " + root_.DumpFileName() + " error");
  return nullptr;
}

bool DumpWorker::ReadNodeBytes(platform::RandomReader& file, const TExpFileNode& node, std::string& bytes) {
  int error = 0;
  if (ReadDumpBytes(file, node.StartOffset(), std::max<int64_t>(node.Length(), 0), bytes, error)) return true;
  root_.SetMessage("Read " + node.Name() + " from " + root_.DumpFileName() + " error!" +
                   (error != 0 ? " (" + platform::errorText(error) + ")" : ""));
  return false;
}

void DumpWorker::BeginProgress(int64_t total) {
  progressStep_ = total / 100 + 1;
  progressCounter_ = 0;
  progressPosition_ = 1;
  if (progress_ == nullptr) return;
  progress_->setMin(1);
  progress_->setMax(100);
  progress_->setStep(1);
  progress_->setPosition(1);
}

void DumpWorker::CountProgress(int64_t units) {
  progressCounter_ += units;
  while (progressCounter_ >= progressStep_) {
    progressCounter_ -= progressStep_;
    if (progressPosition_ < 100) {
      ++progressPosition_;
      if (progress_ != nullptr) progress_->stepIt();
    }
  }
}

void CancelDumpJob(TExpFileRoot& root, DumpWorker& worker) {
  root.SetCancelled(true);
  root.SetMessage(std::string(kTerminatedByUser));
  worker.Terminate();
}

// --- DumpLineCutter

namespace {

#if defined(__GNUC__) || defined(__clang__)
#define VELMARON_INLINE [[gnu::always_inline]] inline
#else
#define VELMARON_INLINE inline
#endif

constexpr bool isPrintable(uint8_t b) {
  return uint8_t(b - 0x20) < 0x5E;
}  // 0x20..0x7D

// Bit i of `printable` is set when byte i is printable; of `breaks`, when it is CR or LF.
VELMARON_INLINE void blockMasks(const uint8_t* p, size_t n, uint64_t& printable, uint64_t& breaks) {
  printable = 0;
  breaks = 0;
#if defined(__SSE2__)
  if (n == 64) {
    // b + 0x60 maps 0x20..0x7D onto -128..-35, the only bytes below -34 as signed values.
    const __m128i shift = _mm_set1_epi8(0x60);
    const __m128i limit = _mm_set1_epi8(char(0xDE));
    const __m128i cr = _mm_set1_epi8(0x0D);
    const __m128i lf = _mm_set1_epi8(0x0A);
    for (int k = 0; k < 4; ++k) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
      const __m128i pr = _mm_cmplt_epi8(_mm_add_epi8(v, shift), limit);
      const __m128i br = _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf));
      printable |= uint64_t(uint16_t(_mm_movemask_epi8(pr))) << (16 * k);
      breaks |= uint64_t(uint16_t(_mm_movemask_epi8(br))) << (16 * k);
    }
    return;
  }
#endif
  for (size_t i = 0; i < n; ++i) {
    printable |= uint64_t(isPrintable(p[i])) << i;
    breaks |= uint64_t(p[i] == 0x0D || p[i] == 0x0A) << i;
  }
}

// Bits below `to` (to <= 64).
constexpr uint64_t bitsBelow(unsigned to) {
  return to >= 64 ? ~uint64_t(0) : (uint64_t(1) << to) - 1;
}

VELMARON_INLINE int countBits(uint64_t x) {
  return __builtin_popcountll(x);
}

// Appends the printable bytes of [begin, end), a run at a time.
void appendPrintable(std::string& out, const uint8_t* begin, const uint8_t* end) {
  const uint8_t* p = begin;
  while (p < end) {
    const uint8_t* run = p;
    while (p < end && isPrintable(*p)) ++p;
    out.append(reinterpret_cast<const char*>(run), size_t(p - run));
    while (p < end && !isPrintable(*p)) ++p;
  }
}

// The characters of a line from `p` on (its bytes up to `end` without the unprintable ones).
struct RawChars {
  const uint8_t* p;
  const uint8_t* end;
  VELMARON_INLINE uint8_t operator()() {
    while (p < end) {
      const uint8_t b = *p++;
      if (isPrintable(b)) return b;
    }
    return 0;
  }
};

// The cutting loop. Inlined into two callers: one built for processors with a population-count
// instruction, one for any processor.
VELMARON_INLINE bool cutLines(std::string& carry, int& pendingInOut, bool summarise, const uint8_t* data,
                              size_t n, int64_t base, DumpLineCutter::Sink& sink) {
  constexpr int kMax = DumpLineCutter::kMaxLineLength;
  int pending = pendingInOut;
  size_t lineBegin = 0;  // where the pending line's bytes begin within `data`
  size_t firstAt = 0;    // where its first character is, when it began within `data`
  // Plain lines not yet reported: how many, and where the last two ended.
  int64_t plainCount = 0, plainPrevious = -1, plainLast = -1;

  auto handOver = [&](size_t end, int length) {
    const int64_t endOffset = base + int64_t(end);
    const bool inData = carry.empty();
    const DumpLineCutter::Line line{carry, data + lineBegin, data + end, inData ? data + firstAt : nullptr,
                                    length};
    const bool plain = summarise && (inData ? TDumpRecogniser::CannotStartStatement<true>(
                                                  size_t(length), RawChars{data + firstAt, data + end})
                                            : !line.mayStartStatement());
    if (plain) {
      ++plainCount;
      plainPrevious = plainLast;
      plainLast = endOffset;
    } else {
      if (plainCount > 0 && !sink.onPlainLines(plainCount, plainPrevious, plainLast)) return false;
      plainCount = 0;
      plainLast = -1;
      if (!sink.onLine(line, endOffset)) return false;
    }
    pending = 0;
    lineBegin = end;
    return true;
  };

  bool go = true;
  for (size_t at = 0; at < n && go; at += 64) {
    const size_t blockLen = n - at < 64 ? n - at : 64;
    uint64_t printable, breaks;
    blockMasks(data + at, blockLen, printable, breaks);
    if (breaks == 0 && pending + countBits(printable) < kMax) {
      if (pending == 0 && printable != 0) firstAt = at + unsigned(__builtin_ctzll(printable));
      pending += countBits(printable);
      continue;
    }
    // Walk the block from one line end to the next; `printable` loses the bits already counted.
    for (;;) {
      const unsigned breakAt = breaks ? unsigned(__builtin_ctzll(breaks)) : unsigned(blockLen);
      const uint64_t chars = printable & bitsBelow(breakAt);
      const int count = countBits(chars);
      if (pending == 0 && chars != 0) firstAt = at + unsigned(__builtin_ctzll(chars));
      if (pending + count >= kMax) [[unlikely]] {
        // The line is full at its 201st character, somewhere before the next break.
        uint64_t x = chars;
        for (int k = kMax - pending; k > 1; --k) x &= x - 1;
        const unsigned last = unsigned(__builtin_ctzll(x));
        if (!(go = handOver(at + last + 1, kMax))) break;
        carry.clear();
        printable &= ~bitsBelow(last + 1);
        continue;
      }
      pending += count;
      if (breaks == 0) break;
      if (pending > 0) {
        if (!(go = handOver(at + breakAt + 1, pending))) break;
        carry.clear();
      }
      printable &= ~bitsBelow(breakAt + 1);
      breaks &= breaks - 1;
    }
  }
  if (go && plainCount > 0) go = sink.onPlainLines(plainCount, plainPrevious, plainLast);
  if (go && pending > 0) appendPrintable(carry, data + (carry.empty() ? firstAt : lineBegin), data + n);
  pendingInOut = pending;
  return go;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELMARON_POPCNT_DISPATCH 1
[[gnu::target("popcnt")]] bool cutLinesWithPopcnt(std::string& carry, int& pending, bool summarise,
                                                  const uint8_t* data, size_t n, int64_t base,
                                                  DumpLineCutter::Sink& sink) {
  return cutLines(carry, pending, summarise, data, n, base, sink);
}
#endif

}  // namespace

std::string_view DumpLineCutter::Line::text(std::string& scratch) const {
  scratch.assign(carry);
  appendPrintable(scratch, first != nullptr ? first : begin, end);
  return scratch;
}

bool DumpLineCutter::Line::mayStartStatement() const {
  size_t i = 0;
  RawChars raw{first != nullptr ? first : begin, end};
  return !TDumpRecogniser::CannotStartStatement<true>(
      size_t(length), [&]() -> uint8_t { return i < carry.size() ? uint8_t(carry[i++]) : raw(); });
}

bool DumpLineCutter::feed(const uint8_t* data, size_t n, int64_t base, Sink& sink) {
#ifdef VELMARON_POPCNT_DISPATCH
  static const bool hasPopcnt = __builtin_cpu_supports("popcnt");
  if (hasPopcnt) return cutLinesWithPopcnt(carry_, pending_, summarise_, data, n, base, sink);
#endif
  return cutLines(carry_, pending_, summarise_, data, n, base, sink);
}

void DumpLineCutter::reset() {
  carry_.clear();
  pending_ = 0;
}

void DumpLineCutter::adopt(const DumpLineCutter& other) {
  carry_ = other.carry_;
  pending_ = other.pending_;
}

bool DumpLineCutter::finish(int64_t endOffset, Sink& sink) {
  if (pending_ == 0) return true;
  const Line line{carry_, nullptr, nullptr, nullptr, pending_};
  const bool go = summarise_ && !line.mayStartStatement() ? sink.onPlainLines(1, -1, endOffset)
                                                          : sink.onLine(line, endOffset);
  if (!go) return false;
  carry_.clear();
  pending_ = 0;
  return true;
}

// --- ParallelLineCutter

namespace {

// The lines of one segment as a helper found them, to be passed on later in order.
class LineRecorder final : public DumpLineCutter::Sink {
 public:
  struct Event {
    bool isLine;
    int64_t count, previousEnd, lastEnd;
    const uint8_t *begin, *end, *first;
    int length;
  };

  bool onLine(const DumpLineCutter::Line& line, int64_t endOffset) override {
    events.push_back({true, 1, -1, endOffset, line.begin, line.end, line.first, line.length});
    return true;
  }
  bool onPlainLines(int64_t count, int64_t previousEnd, int64_t lastEnd) override {
    events.push_back({false, count, previousEnd, lastEnd, nullptr, nullptr, nullptr, 0});
    return true;
  }

  bool replay(DumpLineCutter::Sink& sink) const {
    for (const Event& e : events) {
      const bool go =
          e.isLine ? sink.onLine(DumpLineCutter::Line{{}, e.begin, e.end, e.first, e.length}, e.lastEnd)
                   : sink.onPlainLines(e.count, e.previousEnd, e.lastEnd);
      if (!go) return false;
    }
    return true;
  }

  std::vector<Event> events;
};

}  // namespace

// One segment of a buffer and what became of it.
struct ParallelLineCutter::Segment {
  const uint8_t* data = nullptr;
  size_t n = 0;
  int64_t base = 0;
  size_t breakAt = 0;  // the segment's first line break, or n when it has none
  DumpLineCutter cutter;
  LineRecorder lines;
  std::exception_ptr error;

  void cut() {
    try {
      lines.events.clear();
      breakAt = n;
      for (size_t i = 0; i < n; ++i) {
        if (data[i] == 0x0D || data[i] == 0x0A) {
          breakAt = i;
          break;
        }
      }
      if (breakAt < n) {
        cutter.reset();
        const size_t from = breakAt + 1;
        cutter.feed(data + from, n - from, base + int64_t(from), lines);
      }
    } catch (...) {
      error = std::current_exception();
    }
  }
};

ParallelLineCutter::ParallelLineCutter(int helpers, size_t minSegment)
    : minSegment_(std::max<size_t>(minSegment, 1)), helperCount_(std::max(helpers, 0)) {
  for (int i = 0; i < helperCount_; ++i)
    helpers_.emplace_back([this](std::stop_token stop) { helperLoop(stop); });
}

ParallelLineCutter::~ParallelLineCutter() {
  for (auto& h : helpers_) h.request_stop();
  work_.notify_all();
  for (auto& h : helpers_) h.join();
}

void ParallelLineCutter::takeSegments(std::unique_lock<std::mutex>& lock) {
  while (next_ < total_) {
    Segment& segment = *segments_[next_++];
    lock.unlock();
    segment.cut();
    lock.lock();
    if (++finished_ == total_) done_.notify_all();
  }
}

void ParallelLineCutter::helperLoop(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (work_.wait(lock, stop, [&] { return next_ < total_; })) takeSegments(lock);
}

bool ParallelLineCutter::feed(DumpLineCutter& cutter, const uint8_t* data, size_t n, int64_t base,
                              DumpLineCutter::Sink& sink) {
  // A few segments per thread, so that the work evens out when some thread is held up.
  const size_t count = std::min(size_t(helperCount_ + 1) * 4, n / minSegment_);
  if (helperCount_ == 0 || count < 2) return cutter.feed(data, n, base, sink);
  {
    std::unique_lock lock(mutex_);
    while (segments_.size() < count) segments_.push_back(std::make_unique<Segment>());
    for (size_t i = 0; i < count; ++i) {
      Segment& s = *segments_[i];
      const size_t from = n / count * i;
      s.data = data + from;
      s.n = (i + 1 == count ? n : n / count * (i + 1)) - from;
      s.base = base + int64_t(from);
      s.cutter = DumpLineCutter(cutter.summarises());
      s.error = nullptr;
    }
    next_ = 0;
    finished_ = 0;
    total_ = count;
    work_.notify_all();
    takeSegments(lock);
    // The segments point into `data`: wait for every one before anything else happens to it.
    done_.wait(lock, [&] { return finished_ == total_; });
  }
  for (size_t i = 0; i < count; ++i) {
    Segment& s = *segments_[i];
    if (s.error) std::rethrow_exception(s.error);
    if (s.breakAt == s.n) {
      if (!cutter.feed(s.data, s.n, s.base, sink)) return false;
      continue;
    }
    if (!cutter.feed(s.data, s.breakAt + 1, s.base, sink) || !s.lines.replay(sink)) return false;
    cutter.adopt(s.cutter);
  }
  return true;
}

// --- ProcessDumpLine

int ProcessDumpLine(TDumpRecogniser& recogniser, TExpFileRoot& root, std::string_view line) {
  const int result = recogniser.ParseLine(line);
  if (result == 0) return 0;
  if (root.OpenNode() != nullptr)
    root.MarkLineStart();
  else
    root.NextStatement();
  return result;
}

// --- TParseDumpfile

TParseDumpfile::TParseDumpfile(TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone,
                               int64_t chunkSize)
    : DumpWorker(root, progress, std::move(onDone)),
      chunkSize_(std::max<int64_t>(chunkSize, 1)),
      // One processor for the worker, one for the thread that reads ahead, the rest for helpers.
      helpers_(std::clamp(int(std::thread::hardware_concurrency()) - 2, 0, 6)) {}

void TParseDumpfile::SetParallelism(int helpers, size_t minSegment) {
  helpers_ = std::max(helpers, 0);
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
    ProcessDumpLine(recogniser_, root_, line.text(scratch_));
    return true;
  }

  bool onPlainLines(int64_t count, int64_t previousEnd, int64_t lastEnd) override {
    if (worker_.Terminated()) return false;
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
};

}  // namespace

namespace {

// Reads the chunks of a file ahead of their use on a thread of its own, so that reading one chunk
// overlaps cutting the one before. Only this thread touches the file while it runs.
class ChunkReader {
 public:
  struct Chunk {
    int64_t offset = 0;
    int64_t size = 0;  // bytes in `data`; 0 at the end of the file
    int error = 0;     // a read error, which ends the chunks
    std::vector<uint8_t> data;
  };

  ChunkReader(platform::RandomReader& file, int64_t fileSize, int64_t chunkSize)
      : file_(file), size_(fileSize), chunkSize_(chunkSize) {
    const size_t bytes = size_t(std::min(chunkSize_, std::max<int64_t>(fileSize, 1)));
    for (auto& c : chunks_) {
      c.data.resize(bytes);
      free_.push_back(&c);
    }
    thread_ = std::jthread([this](std::stop_token stop) { fill(stop); });
  }

  ~ChunkReader() {
    thread_.request_stop();
    changed_.notify_all();
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

  void readChunk(Chunk& c, int64_t offset) {
    c.error = 0;
    c.size = 0;
    // A hole of a sparse file reads as zero bytes, which end no line and join no text.
    c.offset = offset < size_ ? std::min(file_.nextDataOffset(offset), size_) : offset;
    const int64_t want = std::min<int64_t>(chunkSize_, size_ - c.offset);
    // A reader may come back short before the end of the file; ask again for the rest.
    while (c.size < want) {
      const int64_t n = file_.readAt(c.offset + c.size, c.data.data() + c.size, size_t(want - c.size));
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
  std::array<Chunk, 2> chunks_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::vector<Chunk*> free_, ready_;
  std::jthread thread_;
};

}  // namespace

void TParseDumpfile::Run() {
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

  try {
    TDumpRecogniser recogniser(root);
    DumpLineCutter cutter(true);
    RecognisingSink sink(*this, root, recogniser);
    ChunkReader reader(*file, size, chunkSize_);
    // Helpers only pay off on chunks that hold several segments. They go before the chunks do.
    const int helpers = std::min<int64_t>(size, chunkSize_) >= int64_t(2 * minSegment_) ? helpers_ : 0;
    ParallelLineCutter parallel(helpers, minSegment_);
    int64_t offset = 0;
    while (offset < size) {
      if (Terminated()) return;
      ChunkReader::Chunk& chunk = reader.next();
      if (chunk.offset > offset) {  // a hole
        CountProgress(chunk.offset - offset);
        offset = chunk.offset;
        root.SetProcessedBytes(offset);
      }
      if (chunk.error != 0) {
        root.SetReadPosition(offset);
        root.SetMessage("read file: " + fileName + " error (" + platform::errorText(chunk.error) + ")");
        return;
      }
      if (chunk.size == 0) break;
      if (!parallel.feed(cutter, chunk.data.data(), size_t(chunk.size), offset, sink)) return;
      const int64_t got = chunk.size;
      reader.release(chunk);  // the chunk is the read-ahead thread's again from here on
      offset += got;
      root.SetProcessedBytes(offset);
      CountProgress(got);
    }
    if (Terminated()) return;
    root.SetReadPosition(offset);
    cutter.finish(offset, sink);
  } catch (const std::exception&) {
    root.SetMessage(std::string(kAnalyzeFileError));
  }
}

// --- object bytes

bool ReadDumpText(const std::string& fileName, int64_t startOffset, std::string& text, int64_t length) {
  if (startOffset < 0 || length <= 0) return false;
  platform::InputFile file;
  if (!file.open(fileName) || file.size() < 0) return false;
  std::vector<uint8_t> buffer(size_t(std::min(length, kDumpTextLimit)));
  const int64_t got = file.readAt(startOffset, buffer.data(), buffer.size());
  if (got <= 0) return false;
  text.resize(size_t(got));
  for (int64_t i = 0; i < got; ++i) {
    const uint8_t b = buffer[size_t(i)];
    text[size_t(i)] = b >= 32 && b <= 126 ? char(b) : '\n';
  }
  return true;
}

bool ReadDumpBytes(platform::RandomReader& file, int64_t startOffset, int64_t length, std::string& bytes,
                   int& error) {
  error = 0;
  if (startOffset < 0 || length < 0) return false;
  const int64_t size = file.size();
  if (size < 0) {
    error = file.error();
    return false;
  }
  if (startOffset > size || length > size - startOffset) return false;
  bytes.resize(size_t(length));
  int64_t got = 0;
  while (got < length) {
    const int64_t n = file.readAt(startOffset + got, bytes.data() + got, size_t(length - got));
    if (n < 0) {
      error = file.error();
      return false;
    }
    if (n == 0) return false;  // the file has become shorter
    got += n;
  }
  return true;
}

}  // namespace dumpfile
