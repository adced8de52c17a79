#include "dumpfile/dumplinecutter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstring>
#include <exception>

#include "dumpfile/dumpyacc.h"
#include "lexyacc/lexlib.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dumpfile {

// --- DumpLineCutter

namespace {

#if defined(__GNUC__) || defined(__clang__)
#define VELMARON_INLINE [[gnu::always_inline]] inline
#define VELMARON_LAMBDA_INLINE __attribute__((always_inline))
#else
#define VELMARON_LAMBDA_INLINE
#define VELMARON_INLINE inline
#endif

static_assert(DumpLineCutter::kMaxLineLength < lexyacc::LexLib::kMaxText,
              "a line handed over is never too long to be turned away by its first word");

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

  // Inlined into the loop: row data cuts into a great many short lines, each handed over here.
  auto handOver = [&](size_t end, int length) VELMARON_LAMBDA_INLINE {
    const int64_t endOffset = base + int64_t(end);
    const bool inData = carry.empty();
    const DumpLineCutter::Line line{carry, data + lineBegin, data + end, inData ? data + firstAt : nullptr,
                                    length};
    // Most lines of row data are turned away by their first character alone.
    const bool plain = summarise && (inData ? !recogniser_detail::kLeadTable.may[data[firstAt]] ||
                                                  TDumpRecogniser::CannotStartStatement<true>(
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
      // The bits up to the next break and its own (a break is never printable); all of them when
      // the block holds no break any more.
      const uint64_t upTo = breaks ? breaks ^ (breaks - 1) : ~uint64_t(0);
      const uint64_t chars = printable & upTo;
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
        if (!(go = handOver(at + unsigned(__builtin_ctzll(breaks)) + 1, pending))) break;
        carry.clear();
      }
      printable &= ~upTo;
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

bool IsClosingRecord(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return false;
  text = text.substr(first, text.find_last_not_of(' ') + 1 - first);
  return text.size() == 4 && std::toupper(uint8_t(text[0])) == 'E' && std::toupper(uint8_t(text[1])) == 'X' &&
         std::toupper(uint8_t(text[2])) == 'I' && std::toupper(uint8_t(text[3])) == 'T';
}

std::string_view DumpLineCutter::Line::text(std::string& scratch) const {
  // Most lines lie whole in the buffer, all printable but for the break that ends them.
  if (carry.empty() && first != nullptr) {
    const ptrdiff_t span = end - first;
    if (span == length || (span == length + 1 && (end[-1] == 0x0D || end[-1] == 0x0A)))
      return {reinterpret_cast<const char*>(first), size_t(length)};
  }
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

// The lines of one segment as a helper found them, to be passed on later in order. With a
// recogniser, each line is recognised as it is found, and what it does to the tree is kept in a
// few bytes (its name in one text for the segment), since a chunk may hold a hundred thousand
// statements: the thread that passes them on walks one small record a line and copies nothing.
class LineRecorder final : public DumpLineCutter::Sink {
 public:
  bool onLine(const DumpLineCutter::Line& line, int64_t endOffset) override {
    Event e;
    e.lastEnd = endOffset;
    e.tag = Event::kLine;
    if (recogniser) {
      const std::string_view text = line.text(scratch);
      TDumpRecogniser::Outcome& o = outcome;
      recogniser->Recognise(text, o);
      e.facts.action = o.action;
      e.facts.kind = o.kind;
      e.facts.place = o.place;
      e.facts.setsUserMode = o.setsUserMode;
      // The closing record is a line that closes (the recogniser tests show it).
      e.facts.closingRecord = o.action == TDumpRecogniser::Outcome::kClose && IsClosingRecord(text);
      e.facts.result = int8_t(o.result);
      // Only a head, a created user and a connect use their name.
      const bool named =
          o.action != TDumpRecogniser::Outcome::kNone && o.action != TDumpRecogniser::Outcome::kClose;
      e.line.nameAt = uint32_t(namesUsed);
      e.facts.nameLength = named ? uint8_t(o.name.size()) : uint8_t(0);
      if (named) keepName(o.name.view());
      e.line.error = kNoError;
      if (o.error) {
        e.line.error = uint32_t(errors.size());
        errors.push_back(o.error);
      }
    } else {
      e.raw = uint32_t(raw.size());
      raw.push_back({line.begin, line.end, line.first, line.length});
    }
    events.push_back(e);
    return true;
  }
  bool onPlainLines(int64_t count, int64_t previousEnd, int64_t lastEnd) override {
    Event e;
    e.lastEnd = lastEnd;
    e.tag = Event::kPlain;
    e.count = count;
    e.previousEnd = previousEnd;
    events.push_back(e);
    return true;
  }

  void clear() {
    events.clear();
    raw.clear();
    namesUsed = 0;
    errors.clear();
  }

  bool replay(DumpLineCutter::Sink& sink) {
    RecognisedLine current;
    const std::string_view allNames(names.get(), namesUsed);
    for (const Event& e : events) {
      bool go;
      if (e.tag == Event::kPlain) {
        go = sink.onPlainLines(e.count, e.previousEnd, e.lastEnd);
      } else if (recogniser) {
        TDumpRecogniser::Effect& f = current.effect;
        f.action = e.facts.action;
        f.kind = e.facts.kind;
        f.place = e.facts.place;
        f.setsUserMode = e.facts.setsUserMode;
        f.result = e.facts.result;
        f.name = allNames.substr(e.line.nameAt, e.facts.nameLength);
        f.error = e.line.error == kNoError ? nullptr : &errors[e.line.error];
        current.closingRecord = e.facts.closingRecord;
        const DumpLineCutter::Line line{{}, nullptr, nullptr, nullptr, 0, &current};
        go = sink.onLine(line, e.lastEnd);
      } else {
        const Raw& r = raw[e.raw];
        const DumpLineCutter::Line line{{}, r.begin, r.end, r.first, r.length, nullptr};
        go = sink.onLine(line, e.lastEnd);
      }
      if (!go) return false;
    }
    return true;
  }

  std::unique_ptr<TDumpRecogniser> recogniser;

 private:
  static constexpr uint32_t kNoError = ~uint32_t(0);

  void keepName(std::string_view name) {
    if (namesCapacity - namesUsed < name.size()) {
      const size_t capacity = std::max<size_t>(namesCapacity * 2, 4096);
      auto grown = std::make_unique<char[]>(capacity);
      if (namesUsed != 0) std::memcpy(grown.get(), names.get(), namesUsed);
      names = std::move(grown);
      namesCapacity = capacity;
    }
    lexyacc::detail::copyShort(names.get() + namesUsed, name.data(), name.size());
    namesUsed += name.size();
  }

  // 32 bytes: a line recognised, a line as cut (its bytes in `raw`), or a run of plain lines.
  struct Event {
    enum Tag : uint8_t { kLine, kPlain };
    int64_t lastEnd;
    union {
      int64_t count;  // of plain lines
      struct {
        uint32_t nameAt, error;
      } line;
      uint32_t raw;
    };
    union {
      int64_t previousEnd;  // of plain lines
      struct {
        TDumpRecogniser::Outcome::Action action;
        uint8_t kind, place;
        bool setsUserMode, closingRecord;
        uint8_t nameLength;
        int8_t result;  // 0 or 1
      } facts;
    };
    Tag tag;
  };
  static_assert(sizeof(Event) <= 32);
  struct Raw {
    const uint8_t *begin, *end, *first;
    int length;
  };

  // Kept across segments with their storage.
  std::vector<Event> events;
  std::vector<Raw> raw;
  // The names of the segment's lines, one after the other (not a std::string: its append of a
  // short text compiles to a string-move instruction that costs more than the rest of the line).
  std::unique_ptr<char[]> names;
  size_t namesUsed = 0, namesCapacity = 0;
  std::vector<std::exception_ptr> errors;
  TDumpRecogniser::Outcome outcome;  // of the line being recognised
  std::string scratch;
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
  bool done = false;  // cut, and no longer touched by the thread that cut it (under the mutex)

  void cut() {
    try {
      lines.clear();
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

ParallelLineCutter::ParallelLineCutter(int helpers, size_t minSegment, bool recognise)
    : minSegment_(std::max<size_t>(minSegment, 1)),
      helperCount_(std::max(helpers, 0)),
      recognise_(recognise) {
  for (int i = 0; i < helperCount_; ++i)
    helpers_.emplace_back([this](std::stop_token stop) { helperLoop(stop); });
}

ParallelLineCutter::~ParallelLineCutter() {
  for (auto& h : helpers_) h.request_stop();
  work_.notify_all();
  for (auto& h : helpers_) h.join();
}

void ParallelLineCutter::takeSegments(std::unique_lock<std::mutex>& lock) {
  while (next_ < total_) takeOne(lock);
}

void ParallelLineCutter::takeOne(std::unique_lock<std::mutex>& lock) {
  Segment& segment = *groups_[size_t(cutting_)][next_++];
  lock.unlock();
  segment.cut();
  lock.lock();
  segment.done = true;
  done_.notify_all();
}

void ParallelLineCutter::waitCut(Segment& segment) {
  std::unique_lock lock(mutex_);
  // A segment still being cut holds up only the passing on; this thread cuts the segments of the
  // buffer fed since, as the helpers do, until it is done.
  while (!segment.done) {
    if (next_ < total_)
      takeOne(lock);
    else
      done_.wait(lock);
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
  if (helperCount_ == 0 || count < 2) return flush(cutter, sink) && cutter.feed(data, n, base, sink);
  const int previous = cutting_;
  const size_t previousCount = pending_;
  {
    // Every segment of the group fed before has been taken (the calling thread took what was left
    // before it returned); some may still be being cut, and their lines are passed on when they
    // are. The group before that one has been passed on whole, so its segments are free.
    std::unique_lock lock(mutex_);
    cutting_ = 1 - cutting_;
    Group& group = groups_[size_t(cutting_)];
    while (group.size() < count) {
      group.push_back(std::make_unique<Segment>());
      if (recognise_) group.back()->lines.recogniser = std::make_unique<TDumpRecogniser>();
    }
    for (size_t i = 0; i < count; ++i) {
      Segment& s = *group[i];
      const size_t from = n / count * i;
      s.data = data + from;
      s.n = (i + 1 == count ? n : n / count * (i + 1)) - from;
      s.base = base + int64_t(from);
      s.cutter = DumpLineCutter(cutter.summarises());
      s.error = nullptr;
      s.done = false;
    }
    next_ = 0;
    total_ = count;
    work_.notify_all();
  }
  pending_ = count;
  const bool go = previousCount == 0 || replay(groups_[size_t(previous)], previousCount, cutter, sink);
  std::unique_lock lock(mutex_);
  takeSegments(lock);
  return go;
}

bool ParallelLineCutter::flush(DumpLineCutter& cutter, DumpLineCutter::Sink& sink) {
  if (pending_ == 0) return true;
  const size_t count = pending_;
  pending_ = 0;
  return replay(groups_[size_t(cutting_)], count, cutter, sink);
}

bool ParallelLineCutter::replay(Group& group, size_t count, DumpLineCutter& cutter,
                                DumpLineCutter::Sink& sink) {
  size_t i = 0;
  // However the passing on ends, no thread is left cutting the group's segments afterwards.
  struct Drain {
    ParallelLineCutter& self;
    Group& group;
    size_t& i;
    size_t count;
    ~Drain() {
      for (; i < count; ++i) self.waitCut(*group[i]);
    }
  } drain{*this, group, i, count};
  for (; i < count; ++i) {
    Segment& s = *group[i];
    waitCut(s);
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

}  // namespace dumpfile
