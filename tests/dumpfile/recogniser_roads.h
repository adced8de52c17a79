// The differential of the recogniser's quick road against its full parse, shared by the unit tests
// and the fuzz target. An input is taken twice: as the reader cuts it (printable lines of at most
// 201 characters) and split at line feeds only (tabs, carriage returns, NUL and bytes above 126 left
// in). For each line the quick recogniser must record exactly what the full parse records, and a
// line that CannotStartStatement turns away must be one that the full parse answers 1 without
// touching the tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dumpfile/dumplinecutter.h"
#include "dumpfile/dumpyacc.h"

namespace dumpfile::recogniser_roads {

inline bool sameOutcome(const TDumpRecogniser::Outcome& a, const TDumpRecogniser::Outcome& b) {
  if (a.action != b.action || a.result != b.result || bool(a.error) != bool(b.error)) return false;
  if (a.action == TDumpRecogniser::Outcome::kNone || a.action == TDumpRecogniser::Outcome::kClose)
    return true;
  return a.name.view() == b.name.view() && a.kind == b.kind && a.place == b.place &&
         a.setsUserMode == b.setsUserMode;
}

// An outcome as a short text, for the message of a disagreement.
inline std::string describe(const TDumpRecogniser::Outcome& o) {
  static constexpr const char* kActions[] = {"none", "close", "head", "create user", "connect"};
  std::string s = kActions[o.action];
  if (o.action != TDumpRecogniser::Outcome::kNone && o.action != TDumpRecogniser::Outcome::kClose) {
    s += " '" + o.name.str() + "' kind " + std::to_string(o.kind) + " place " + std::to_string(o.place);
    if (o.setsUserMode) s += " user mode";
  }
  s += ", result " + std::to_string(o.result);
  if (o.error) s += ", threw";
  return s;
}

// A line with its bytes outside the printable ones written as \xNN.
inline std::string visible(std::string_view line) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (const char ch : line) {
    const auto c = uint8_t(ch);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      s += ch;
    } else {
      s += "\\x";
      s += kHex[c >> 4];
      s += kHex[c & 15];
    }
  }
  return s;
}

class Roads {
 public:
  Roads() { full_.SetShortcut(false); }

  // Empty when the roads agree on `line`; otherwise what went apart. `printableOnly` when the
  // line is one the reader's cutting hands over (bytes 0x20 to 0x7D only).
  std::string compare(std::string_view line, bool printableOnly) {
    TDumpRecogniser::Outcome quick, full;
    quick_.Recognise(line, quick);
    full_.Recognise(line, full);
    std::string fault;
    if (!sameOutcome(quick, full))
      fault = "quick road: " + describe(quick) + "; full parse: " + describe(full);
    const bool untouched = full.action == TDumpRecogniser::Outcome::kNone && full.result == 1 && !full.error;
    if (TDumpRecogniser::CannotStartStatement(line) && !untouched)
      fault += "turned away, but the full parse gives " + describe(full);
    if (printableOnly) {
      size_t i = 0;
      const bool cannot = TDumpRecogniser::CannotStartStatement<true>(
          line.size(), [&]() -> char { return i < line.size() ? line[i++] : '\0'; });
      if (cannot && !untouched)
        fault += "turned away as printable, but the full parse gives " + describe(full);
    }
    return fault.empty() ? fault : "line \"" + visible(line) + "\": " + fault;
  }

  // Every line of `input`, cut as the reader cuts it and split at line feeds; the first
  // disagreement, or empty.
  std::string compareInput(std::string_view input) {
    Cut cut(*this);
    DumpLineCutter cutter;
    const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
    cutter.feed(bytes, input.size(), 0, cut);
    cutter.finish(int64_t(input.size()), cut);
    if (!cut.fault.empty()) return cut.fault;
    for (size_t from = 0; from <= input.size();) {
      size_t to = input.find('\n', from);
      if (to == std::string_view::npos) to = input.size();
      std::string fault = compare(input.substr(from, to - from), false);
      if (!fault.empty()) return fault;
      from = to + 1;
    }
    return {};
  }

 private:
  class Cut final : public DumpLineCutter::Sink {
   public:
    explicit Cut(Roads& roads) : roads_(roads) {}
    bool onLine(const DumpLineCutter::Line& line, int64_t) override {
      if (fault.empty()) fault = roads_.compare(line.text(scratch_), true);
      return true;
    }
    bool onPlainLines(int64_t, int64_t, int64_t) override { return false; }  // never summarised
    std::string fault;

   private:
    Roads& roads_;
    std::string scratch_;
  };

  TDumpRecogniser quick_, full_;
};

}  // namespace dumpfile::recogniser_roads
