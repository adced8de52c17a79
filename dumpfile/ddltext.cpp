#include "dumpfile/ddltext.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "dumpfile/dumplinecutter.h"
#include "dumpfile/dumpyacc.h"
#include "platform/bytes.h"

namespace dumpfile {
namespace {

constexpr uint16_t kPiecesMarker = 0xFFFD;
// Lengths from here up are markers of other records, never a piece.
constexpr uint16_t kFirstMarker = 0xFFF0;

// Statements a definition is made of.
constexpr std::array<std::string_view, 16> kStatementWords = {
    "ALTER",   "ANALYZE",      "ASSOCIATE", "AUDIT", "BEGIN",   "CALL",   "COMMENT", "CREATE",
    "DECLARE", "DISASSOCIATE", "DROP",      "GRANT", "NOAUDIT", "RENAME", "REVOKE",  "TRUNCATE"};
// Export's own records, which no database runs (those that begin with "METRIC" too).
constexpr std::array<std::string_view, 13> kExportRecords = {
    "ANALSTATS", "BIND",   "CALTER",    "CONNECT",    "ENDPARTITION", "ENDTABLE", "EXECFULL",
    "EXIT",      "INSERT", "PARTITION", "SQLVERSION", "SUBPARTITION", "TABLE"};

uint16_t u16(std::string_view b, size_t at) {
  return platform::get2(reinterpret_cast<const uint8_t*>(b.data() + at));
}

bool blank(char c) {
  return c == ' ' || c == '\t';
}

// The first word of `text` in upper case, and whether blanks come before it.
std::string firstWord(std::string_view text, bool* indented = nullptr) {
  size_t i = 0;
  while (i < text.size() && blank(text[i])) ++i;
  if (indented != nullptr) *indented = i > 0;
  std::string word;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    const bool wordChar = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '_' || c == '$' || c == '#';
    if (!wordChar) break;
    word += c >= 'a' && c <= 'z' ? char(c - 32) : c;
  }
  return word;
}

template <size_t N>
bool among(const std::array<std::string_view, N>& words, std::string_view word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// The pieces from `q` on, appended to `text` (`any`: pieces came before): without `marked`, one
// or more pieces ended by a line feed or an empty piece; with it, pieces ended by an empty one.
// False when the bytes there are no such run.
bool readPieceRun(std::string_view b, size_t q, bool marked, bool any, std::string& text, size_t& end) {
  for (;;) {
    // A range may end before the empty piece (its last line ends inside the last piece); one
    // led by the marker may end inside a piece.
    if (q + 2 > b.size()) {
      end = b.size();
      return any || (marked && q == b.size());
    }
    size_t length = u16(b, q);
    q += 2;
    if (length == 0) {
      if (q < b.size() && b[q] == '\n') ++q;
      end = q;
      return any || marked;
    }
    if (length >= kFirstMarker) return false;
    if (length > b.size() - q) {
      if (!marked) return false;
      length = b.size() - q;
    }
    const std::string_view piece = b.substr(q, length);
    if (piece.find('\0') != std::string_view::npos) return false;
    text += piece;
    any = true;
    q += length;
    if (!marked && (q == b.size() || b[q] == '\n')) {
      // The line feed ends the statement, unless it is the first byte of the next piece's length.
      if (q + 1 < b.size() && uint8_t(b[q + 1]) < 0x20) {
        std::string more = text;
        size_t moreEnd = 0;
        if (readPieceRun(b, q, false, true, more, moreEnd)) {
          text = std::move(more);
          end = moreEnd;
          return true;
        }
      }
      end = q == b.size() ? q : q + 1;
      return true;
    }
  }
}

// The pieces that start at `at`, led by the marker or not.
bool readPieces(std::string_view b, size_t at, std::string& text, size_t& end) {
  const bool marked = at + 2 <= b.size() && u16(b, at) == kPiecesMarker;
  text.clear();
  return readPieceRun(b, marked ? at + 2 : at, marked, false, text, end);
}

// Line breaks made line feeds; NUL and the other control bytes but the tab dropped.
std::string cleaned(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = uint8_t(text[i]);
    if (c == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n' || c == '\t' || (c >= 0x20 && c != 0x7F)) {
      out += char(c);
    }
  }
  return out;
}

bool isPlsql(std::string_view text) {
  std::string_view rest = text;
  auto next = [&rest]() {
    size_t i = 0;
    while (i < rest.size() && (blank(rest[i]) || rest[i] == '\n')) ++i;
    rest.remove_prefix(i);
    const std::string word = firstWord(rest);
    rest.remove_prefix(std::min(rest.size(), word.size()));
    return word;
  };
  std::string word = next();
  if (word == "BEGIN" || word == "DECLARE") return true;
  if (word != "CREATE") return false;
  word = next();
  if (word == "OR") {
    next();  // REPLACE
    word = next();
  }
  if (word == "EDITIONABLE" || word == "NONEDITIONABLE") word = next();
  return word == "FUNCTION" || word == "PROCEDURE" || word == "PACKAGE" || word == "TRIGGER" ||
         word == "TYPE" || word == "LIBRARY";
}

std::string trimmedEnd(std::string text) {
  while (!text.empty() && (blank(text.back()) || text.back() == '\n')) text.pop_back();
  return text;
}

// The first line that the reader cuts from `b`, as it cuts it.
std::string firstReaderLine(std::string_view b) {
  struct FirstLine : DumpLineCutter::Sink {
    std::string text;
    bool onLine(const DumpLineCutter::Line& line, int64_t) override {
      std::string scratch;
      text = line.text(scratch);
      return false;
    }
    bool onPlainLines(int64_t, int64_t, int64_t) override { return false; }
  } sink;
  DumpLineCutter cutter;
  if (cutter.feed(reinterpret_cast<const uint8_t*>(b.data()), b.size(), 0, sink))
    cutter.finish(int64_t(b.size()), sink);
  return sink.text;
}

bool letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Where the object's head begins in its range: the first character of the range's first line when
// the recogniser takes that line for a head that opens an object, as the reader did; npos when it
// does not.
size_t headStart(std::string_view b) {
  const std::string line = firstReaderLine(b);
  if (line.empty()) return std::string_view::npos;
  thread_local TDumpRecogniser recogniser;  // one per thread: a writer asks once per object
  TDumpRecogniser::Outcome outcome;
  recogniser.Recognise(line, outcome);
  if (outcome.action != TDumpRecogniser::Outcome::kHead &&
      outcome.action != TDumpRecogniser::Outcome::kCreateUser)
    return std::string_view::npos;
  return size_t(std::find_if(b.begin(), b.end(), [](char c) { return uint8_t(c - 0x20) < 0x5E; }) -
                b.begin());
}

// Whether the marker and length just before the head lead pieces that hold it. The last four bytes
// of row data may read as them, and then the reader has read the head as a line: the lengths that
// the pieces would have are then text the reader kept, two printable bytes within the head's line
// or a length that runs past the range. Export writes the lengths within a head's line so that the
// reader drops at least one byte of each.
bool piecesLeadToHead(std::string_view b, size_t head) {
  const auto kept = [](char c) { return uint8_t(c - 0x20) < 0x5E; };
  size_t lineEnd = b.find_first_of("\r\n", head);
  if (lineEnd == std::string_view::npos) lineEnd = b.size();
  for (size_t q = head - 2; q + 2 <= b.size();) {
    const size_t length = u16(b, q);
    if (length == 0 || length >= kFirstMarker) break;
    const bool text = kept(b[q]) && kept(b[q + 1]);
    if (text && q < lineEnd) return false;
    if (length > b.size() - q - 2) return !text;
    q += 2 + length;
  }
  return true;
}

// The head's line from `head` up to `end`, as the reader read it up to the head's first letter:
// the bytes it dropped there are what is left of row data that ends without a line break.
std::string headLine(std::string_view b, size_t head, size_t end) {
  std::string text;
  size_t i = head;
  for (; i < end && !letter(b[i]); ++i)
    if (b[i] == ' ') text += ' ';
  text += b.substr(i, end - i);
  return text;
}

}  // namespace

std::vector<DdlStatement> DdlStatements(std::string_view b) {
  std::vector<DdlStatement> statements;
  // The statement that the next text line may still continue: one made of lines only so far.
  bool openForLines = false;
  // The head the reader recognised is the object's first statement, wherever it stands on its line.
  size_t head = headStart(b);
  std::string pieces;
  // Before the head lie only bytes the reader dropped; a head held in pieces has their marker and
  // its length just before it, and the pieces are read from there. Row data that only reads like
  // them leaves the head to be read as a line.
  const bool afterMarker = head != std::string_view::npos && head >= 4 && u16(b, head - 4) == kPiecesMarker;
  const bool headInPieces = afterMarker && piecesLeadToHead(b, head);
  const bool headOnALine = afterMarker && !headInPieces;
  size_t p = headInPieces ? head - 4 : 0;
  while (p < b.size()) {
    // A piece's length may begin with the byte of a line break.
    size_t end = 0;
    const bool mayBePieces = p + 1 < b.size() && (uint8_t(b[p + 1]) < 0x20 || u16(b, p) == kPiecesMarker);
    // Pieces that take in the head must give text; else the head is read as a line.
    if (mayBePieces && readPieces(b, p, pieces, end) &&
        (head == std::string_view::npos || end <= head ||
         (!headOnALine && !trimmedEnd(cleaned(pieces)).empty()))) {
      if (head != std::string_view::npos && end <= head) {
        // Bytes the reader dropped before the head (what is left of row data) may read like
        // pieces, and are no statement.
        p = end;
        continue;
      }
      head = std::string_view::npos;
      const bool marked = u16(b, p) == kPiecesMarker;
      if (!marked && openForLines) {
        statements.back().text += '\n' + pieces;
      } else {
        statements.push_back({pieces});
      }
      openForLines = false;
      p = end;
      continue;
    }
    if (b[p] == '\n' || b[p] == '\r') {
      ++p;
      continue;
    }
    size_t e = p;
    while (e < b.size() && b[e] != '\n' && b[e] != '\r') ++e;
    const std::string_view line = b.substr(p, e - p);
    p = e;
    if (p < b.size() && b[p] == '\r') ++p;
    if (p < b.size() && b[p] == '\n') ++p;

    if (head != std::string_view::npos && head < p) {
      statements.push_back({headLine(b, head, e)});
      statements.back().plsql = isPlsql(cleaned(statements.back().text));
      openForLines = true;
      head = std::string_view::npos;
      continue;
    }

    // What is left of row data: NUL bytes, or a control byte first. A stray control byte in a
    // statement's line is only dropped.
    const bool binary =
        line.find('\0') != std::string_view::npos || (uint8_t(line[0]) < 0x20 && line[0] != '\t');
    bool indented = false;
    const std::string word = firstWord(line, &indented);
    if (binary || (!indented && (word.starts_with("METRIC") || among(kExportRecords, word)))) {
      openForLines = false;
    } else if (openForLines && (statements.back().plsql || indented || !among(kStatementWords, word))) {
      statements.back().text += '\n';
      statements.back().text += line;
    } else if (among(kStatementWords, word)) {
      statements.push_back({std::string(line)});
      // Units written as lines take every line up to the next export record.
      statements.back().plsql = isPlsql(line);
      openForLines = true;
    }
  }
  for (DdlStatement& s : statements) {
    s.text = trimmedEnd(cleaned(s.text));
    s.plsql = isPlsql(s.text);
  }
  std::erase_if(statements, [](const DdlStatement& s) { return s.text.empty(); });
  return statements;
}

std::string DdlScript(std::string_view bytes) {
  std::string script;
  for (const DdlStatement& s : DdlStatements(bytes)) {
    if (s.plsql) {
      script += s.text + "\n/\n";
      continue;
    }
    std::string text;
    size_t from = 0;
    while (from <= s.text.size()) {
      size_t to = s.text.find('\n', from);
      if (to == std::string::npos) to = s.text.size();
      const std::string_view line = std::string_view(s.text).substr(from, to - from);
      if (std::any_of(line.begin(), line.end(), [](char c) { return !blank(c); })) {
        if (!text.empty()) text += '\n';
        text += line;
      }
      from = to + 1;
    }
    const size_t lastLine = text.rfind('\n');
    const bool endsInComment =
        text.find("--", lastLine == std::string::npos ? 0 : lastLine) != std::string::npos;
    if (text.ends_with(';'))
      script += text + "\n";
    else
      script += text + (endsInComment ? "\n;\n" : ";\n");
  }
  return script;
}

}  // namespace dumpfile
