// The cutting of a dump's bytes into its printable text lines: one cutter on the calling thread,
// and a parallel cutter that gives the same lines with helper threads.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dumpfile/dumpyacc.h"

namespace dumpfile {

// Whether a line is the record that export writes last: "EXIT" alone, in any case, between blanks.
bool IsClosingRecord(std::string_view text);

// A line that a helper has already run through a recogniser of its own.
struct RecognisedLine {
  TDumpRecogniser::Effect effect;
  bool closingRecord = false;
};

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
    // What the line does to the tree, when a helper has recognised it already; otherwise null.
    const RecognisedLine* recognised = nullptr;
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
//
// The passing on lags one buffer behind: while the threads cut a buffer, the calling thread
// passes on the lines of the one fed before it, so that the two overlap. A segment that its
// thread is slow to finish (one that lost its processor) holds up only the passing on of its own
// lines, never the cutting of the next buffer, and the calling thread cuts meanwhile.
class ParallelLineCutter {
 public:
  // `helpers` threads besides the caller's; segments are at least `minSegment` bytes. With
  // `recognise`, the lines of a segment reach the sink recognised (Line::recognised), the
  // recognising spread over the threads as the cutting is.
  ParallelLineCutter(int helpers, size_t minSegment, bool recognise = false);
  ~ParallelLineCutter();
  ParallelLineCutter(const ParallelLineCutter&) = delete;
  ParallelLineCutter& operator=(const ParallelLineCutter&) = delete;

  // As cutter.feed(data, n, base, sink) followed by flush(), except that the lines of `data` may
  // reach the sink only in the next feed() or flush(): `data` must stay as it is until then. The
  // lines of the buffer fed before are passed on here. False when the sink stopped it. Not
  // thread-safe; one caller at a time.
  bool feed(DumpLineCutter& cutter, const uint8_t* data, size_t n, int64_t base, DumpLineCutter::Sink& sink);
  // Passes on the lines of the last buffer fed, if they are still held. Afterwards no buffer fed
  // before is used any more. False when the sink stopped it.
  bool flush(DumpLineCutter& cutter, DumpLineCutter::Sink& sink);

 private:
  struct Segment;
  using Group = std::vector<std::unique_ptr<Segment>>;
  void helperLoop(std::stop_token stop);
  // Cuts segments until none is left to take; called and returns with `lock` held.
  void takeSegments(std::unique_lock<std::mutex>& lock);
  // Cuts the next segment to take (there is one); called and returns with `lock` held.
  void takeOne(std::unique_lock<std::mutex>& lock);
  // Returns when `segment` has been cut, cutting segments of the group being cut meanwhile.
  void waitCut(Segment& segment);
  // Passes on the first `count` segments of `group`, all cut, in order.
  bool replay(Group& group, size_t count, DumpLineCutter& cutter, DumpLineCutter::Sink& sink);

  size_t minSegment_;
  int helperCount_;
  bool recognise_;
  std::mutex mutex_;
  std::condition_variable_any work_;
  std::condition_variable done_;
  // Two groups of segments: one the threads cut, one whose lines are being passed on.
  std::array<Group, 2> groups_;
  int cutting_ = 0;              // the group the threads take segments from
  size_t pending_ = 0;           // segments of that group whose lines are not passed on yet
  size_t next_ = 0, total_ = 0;  // of the group being cut: the next segment to take, and how many
  std::vector<std::jthread> helpers_;
};

}  // namespace dumpfile
