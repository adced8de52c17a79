// The dump statement recogniser: looks at the head of one dump line and, through its actions,
// closes the open object of the tree and opens, places or switches owners and objects.
//
// Heads: CREATE [link scope] DATABASE LINK / ROLLBACK SEGMENT / SYNONYM, CREATE [OR REPLACE]
// DIRECTORY / FUNCTION / PACKAGE [BODY] / PROCEDURE / TRIGGER / VIEW, CREATE [UNIQUE|BITMAP] INDEX,
// CREATE CLUSTER / PROFILE / ROLE / SEQUENCE / SNAPSHOT / TABLE / TABLESPACE / USER,
// CREATE FORMAT71TRIG CREATE TRIGGER, and CONNECT, each followed by a name (NAME, "quoted", or
// owner.name of which only the part after the dot is kept). Only the head is read: whatever
// follows it makes the line's result 1, after the head has acted.
//
// Lines that end the open object and belong to nothing: ENDTABLE, ALTER, REVOKE, EXECUTE, GRANT,
// EXIT, EXECFULL, SQLVERSION, TABLE name, ANALYZE TABLE name, INSERT INTO name, COMMENT ON,
// CREATE FORMAT71, and any line starting with CREATE that is no complete head. A head whose name
// is missing (nothing, or no name where one must stand) ends the open object and makes nothing.
// Every other line leaves the tree alone; the caller adds it to the open object, if any.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <string_view>

#include "dumpfile/dumplex.h"
#include "dumpfile/u_formatdumpfile.h"

namespace dumpfile {

class TDumpRecogniser {
 public:
  // The recogniser works on `root` (not owned), which must outlive it.
  explicit TDumpRecogniser(TExpFileRoot& root);
  // A recogniser without a root, for Recognise() only.
  TDumpRecogniser();
  ~TDumpRecogniser();

  // Parses one line (the reader hands at most 201 characters, no line break).
  // Returns 0 only when the line holds a complete CREATE or CONNECT head, else 1.
  // Throws lexyacc::LexYaccError on the runtime's fatal conditions.
  // Not thread-safe; one recogniser per reading. Separate recognisers may run on separate threads.
  int ParseLine(std::string_view line);

  // True when the line certainly gets the answer 1 and changes nothing: its first token cannot
  // start a head or a closing statement, whatever follows it. Decided from the first word alone,
  // except where the scanner may take that word apart: a line of 255 characters and more (its
  // first token may overflow the token text), a quote when the line holds a backslash (a quoted
  // text that ends in one is dropped and the rest scanned again) and a '-' when it holds a line
  // feed ("--" is then a comment up to it) are never certain.
  static bool CannotStartStatement(std::string_view line);
  // The same for a line of `length` characters that the caller holds in pieces: `next()` yields
  // its characters one by one and 0 after the last (a 0 byte ends a line's input anyway). With
  // `kPrintableOnly` the caller promises bytes 0x20 to 0x7D only (no tab, no line feed), as the
  // reader's lines are, which spares looking through the lines that begin with a '-'.
  template <bool kPrintableOnly, class Next>
  static bool CannotStartStatement(size_t length, Next next);

  // The scanner of the last line that went through the full parse. A line that
  // CannotStartStatement() is answered 1 at once and leaves the scanner as it was; so does a line
  // that Recognise() takes in one of the common shapes it knows without the scanner.
  const TDumpLex& Lexer() const;

  // What a line does to the tree, found from its text alone, so that lines can be recognised on
  // other threads and applied to the root afterwards in their order.
  struct Outcome {
    enum Action : uint8_t { kNone, kClose, kHead, kCreateUser, kConnect };
    Action action = kNone;
    uint8_t kind = 0;
    uint8_t place = 0;
    bool setsUserMode = false;
    int result = 1;             // ParseLine's answer, unless the action decides otherwise
    lexyacc::ShortString name;  // of a head, a created user or a connected owner
    std::exception_ptr error;   // what the parse threw, after the action had been taken
  };
  // An outcome as it is applied: the same facts, with the name and the error kept by whoever
  // holds them (both must outlive the Apply call), so that handing one over copies nothing.
  struct Effect {
    Outcome::Action action = Outcome::kNone;
    uint8_t kind = 0;
    uint8_t place = 0;
    bool setsUserMode = false;
    int result = 1;
    std::string_view name;
    const std::exception_ptr* error = nullptr;  // null or empty when the parse threw nothing
  };
  // Parses `line` as ParseLine does, recording its effect on the tree instead of acting. Never
  // throws; the root (when there is one) is left alone. The common lines of a dump (a statement
  // keyword, a head whose name is a plain word, a double-quoted text or owner.name) are taken
  // from their characters without the scanner, with the outcome the full parse gives.
  void Recognise(std::string_view line, Outcome& out);
  // Takes the recorded effect on the root and answers as ParseLine would have on that line,
  // throwing what it would have thrown. Requires a recogniser made with a root.
  int Apply(const Outcome& outcome);
  int Apply(const Effect& effect);
  // Whether those shortcuts are taken (on by default). Off, every line runs through the scanner
  // and parser; the tree and results are the same either way.
  void SetShortcut(bool on);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

namespace recogniser_detail {

// The keywords that the statement rule's alternatives begin with: every head and every statement
// that closes an object.
inline constexpr std::array<std::string_view, 14> kStatementKeywords = {
    "ALTER",   "ANALYZE", "COMMENT", "CONNECT", "CREATE", "ENDTABLE",   "EXECFULL",
    "EXECUTE", "EXIT",    "GRANT",   "INSERT",  "REVOKE", "SQLVERSION", "TABLE"};
inline constexpr size_t kLongestKeyword = 10;

// A first word is matched against all keywords at once: bit k of with[i][c] is set when keyword k
// has the character c (either case) at position i, bit k of ofLength[n] when it has n characters.
struct KeywordTables {
  uint16_t with[kLongestKeyword][128] = {};
  uint16_t ofLength[kLongestKeyword + 1] = {};
};

constexpr KeywordTables makeKeywordTables() {
  KeywordTables t;
  for (size_t k = 0; k < kStatementKeywords.size(); ++k) {
    const std::string_view w = kStatementKeywords[k];
    t.ofLength[w.size()] = uint16_t(t.ofLength[w.size()] | (1u << k));
    for (size_t i = 0; i < w.size(); ++i) {
      t.with[i][size_t(w[i])] = uint16_t(t.with[i][size_t(w[i])] | (1u << k));
      t.with[i][size_t(w[i] + 32)] = uint16_t(t.with[i][size_t(w[i] + 32)] | (1u << k));
    }
  }
  return t;
}
inline constexpr KeywordTables kKeywordTables = makeKeywordTables();

// The first characters of a line of printable characters that CannotStartStatement<true> does not
// turn away at once: a blank, a quote, or the first letter of a statement keyword.
struct LeadTable {
  bool may[256] = {};
};
constexpr LeadTable makeLeadTable() {
  LeadTable t;
  for (size_t c = 0; c < 128; ++c) t.may[c] = kKeywordTables.with[0][c] != 0;
  t.may[size_t(' ')] = t.may[size_t('\'')] = t.may[size_t('"')] = true;
  return t;
}
inline constexpr LeadTable kLeadTable = makeLeadTable();

constexpr bool isWordChar(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '#' ||
         c == '$';
}

}  // namespace recogniser_detail

// Inlined into the reader's cutting loop; most lines are turned away by their first letters.
template <bool kPrintableOnly, class Next>
[[gnu::always_inline]] inline bool TDumpRecogniser::CannotStartStatement(size_t length, Next next) {
  using namespace recogniser_detail;
  if (length >= size_t(lexyacc::LexLib::kMaxText)) return false;
  uint8_t c = uint8_t(next());
  while (c == ' ' || (!kPrintableOnly && (c == '\t' || c == '\n'))) c = uint8_t(next());
  if (c == '\'' || c == '"' || (!kPrintableOnly && c == '-')) {
    const uint8_t takesItApart = c == '-' ? '\n' : '\\';
    for (c = uint8_t(next()); c != 0; c = uint8_t(next()))
      if (c == takesItApart) return false;
    return true;
  }
  uint16_t possible = uint16_t((1u << kStatementKeywords.size()) - 1);
  size_t n = 0;
  for (; isWordChar(c); c = uint8_t(next()), ++n) {
    if (n == kLongestKeyword) return true;
    possible &= kKeywordTables.with[n][c];
    if (possible == 0) return true;
  }
  return (possible & kKeywordTables.ofLength[n]) == 0;
}

}  // namespace dumpfile
