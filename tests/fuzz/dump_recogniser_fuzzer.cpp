// Differential of the recogniser's quick roads against its full parse, line by line, with no file
// and no thread in between so that many lines go through per second. The input is taken twice:
// as the reader cuts it (printable lines of at most 201 characters) and split at line feeds only
// (tabs, carriage returns, NUL and bytes above 126 left in). For each line the quick recogniser
// must record exactly what the full parse records, and a line that CannotStartStatement turns
// away must be one that the full parse answers 1 without touching the tree.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "dumpfile/dumplinecutter.h"
#include "dumpfile/dumpyacc.h"

namespace {

using dumpfile::TDumpRecogniser;

void check(bool ok) {
  if (!ok) std::abort();
}

bool same(const TDumpRecogniser::Outcome& a, const TDumpRecogniser::Outcome& b) {
  if (a.action != b.action || a.result != b.result || bool(a.error) != bool(b.error)) return false;
  if (a.action == TDumpRecogniser::Outcome::kNone || a.action == TDumpRecogniser::Outcome::kClose)
    return true;
  return a.name.view() == b.name.view() && a.kind == b.kind && a.place == b.place &&
         a.setsUserMode == b.setsUserMode;
}

struct Roads {
  TDumpRecogniser quick, full;
  Roads() { full.SetShortcut(false); }

  void compare(std::string_view line, bool printableOnly) {
    TDumpRecogniser::Outcome a, b;
    quick.Recognise(line, a);
    full.Recognise(line, b);
    check(same(a, b));
    const bool untouched = b.action == TDumpRecogniser::Outcome::kNone && b.result == 1 && !b.error;
    if (TDumpRecogniser::CannotStartStatement(line)) check(untouched);
    if (printableOnly) {
      size_t i = 0;
      const bool cannot = TDumpRecogniser::CannotStartStatement<true>(
          line.size(), [&]() -> char { return i < line.size() ? line[i++] : '\0'; });
      if (cannot) check(untouched);
    }
  }
};

// Every line of the reader's cutting, in full.
class EachLine final : public dumpfile::DumpLineCutter::Sink {
 public:
  explicit EachLine(Roads& roads) : roads_(roads) {}
  bool onLine(const dumpfile::DumpLineCutter::Line& line, int64_t) override {
    roads_.compare(line.text(scratch_), true);
    return true;
  }
  bool onPlainLines(int64_t, int64_t, int64_t) override { std::abort(); }

 private:
  Roads& roads_;
  std::string scratch_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Roads roads;
  EachLine sink(roads);
  dumpfile::DumpLineCutter cutter;
  cutter.feed(data, size, 0, sink);
  cutter.finish(int64_t(size), sink);

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (size_t from = 0; from <= text.size();) {
    size_t to = text.find('\n', from);
    if (to == std::string_view::npos) to = text.size();
    roads.compare(text.substr(from, to - from), false);
    from = to + 1;
  }
  return 0;
}
