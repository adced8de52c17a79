#include "dataaccess/qvparser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dataaccess/daconsts.h"
#include "platform/textrules.h"

namespace dataaccess {
namespace {

constexpr std::string_view kBaseLexemes[] = {
    "!", "\"", "#", "$", "%", "&", "'", "(",  ")", "*", "+", ",", "-",   ".",   "/",  ":",
    ";", "<",  "=", ">", "?", "@", "[", "\\", "]", "^", "_", "`", "AND", "NOT", "OR",
};

}  // namespace

TParser::TParser(std::string_view text) : Text(text.substr(0, std::min(text.size(), text.find('\0')))) {
  SetLexemes(kBaseLexemes, 28, 3);
  Reset();
}

void TParser::SetLexemes(std::span<const std::string_view> table, uint16_t symbols, uint16_t keywords) {
  DA_ASSERT(size_t(symbols) + keywords <= table.size(), "Lexeme table too short");
  Lexemes = table;
  SymbolCount = symbols;
  KeywordCount = keywords;
}

void TParser::Reset() {
  Pos = LexemeBegin = PrevLexemeBegin = CurrLineBegin = PrevLineBegin = 0;
  CurrLine = PrevLine = 0;
}

bool TParser::IsBlank(char c) const {
  return c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == ' ' || c == '\x7F';
}

bool TParser::IsSymbol(char c) const {
  const auto b = uint8_t(c);
  return (b >= 33 && b <= 47) || (b >= 58 && b <= 64) || (b >= 91 && b <= 94) || b == 96 ||
         (b >= 123 && b <= 126);
}

bool TParser::IsAlpha(char c) const {
  const auto b = uint8_t(c);
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b >= 128;
}

bool TParser::IsDigit(char c) const {
  return c >= '0' && c <= '9';
}

bool TParser::IsStringQuote(char c) const {
  return c == '"' || c == '\'';
}

void TParser::SkipToQuote(char quote) {
  while (Pos < Text.size() && Text[Pos] != quote) ++Pos;
}

bool TParser::IsIdentifierQuote(char) const {
  return false;
}

bool TParser::IsInlineComment(size_t pos) const {
  return At(pos) == '/' && At(pos + 1) == '/';
}

int TParser::GetNext(std::string& lexeme) {
  PrevLexemeBegin = LexemeBegin;
  LexemeBegin = Pos;
  PrevLine = CurrLine;
  PrevLineBegin = CurrLineBegin;
  lexeme.clear();

  // Counts the line break at Pos (a CR LF pair once) and steps over it.
  auto passLineBreak = [&] {
    if (Text[Pos] == '\r' && At(Pos + 1) == '\n') ++Pos;
    ++Pos;
    ++CurrLine;
    CurrLineBegin = Pos;
  };

  for (;;) {
    const size_t blanksStart = Pos;
    while (Pos < Text.size() && IsBlank(Text[Pos])) {
      if (Text[Pos] == '\r' || Text[Pos] == '\n')
        passLineBreak();
      else
        ++Pos;
    }
    lexeme.append(Text.substr(blanksStart, Pos - blanksStart));
    if (!OmitBlank && Pos > blanksStart) return lcBlank;
    if (Pos >= Text.size()) return lcEnd;

    const size_t commentStart = Pos;
    if (IsInlineComment(Pos)) {
      while (Pos < Text.size() && Text[Pos] != '\n' && Text[Pos] != '\r') ++Pos;
    }
    if (!CommentBegin.empty() && Text.substr(Pos).starts_with(CommentBegin)) {
      const size_t close = Text.find(CommentEnd, Pos + CommentBegin.size());
      const size_t end = close == std::string_view::npos ? Text.size() : close + CommentEnd.size();
      // A CR LF pair counts once, at its LF.
      for (; Pos < end; ++Pos) {
        if (Text[Pos] == '\n' || (Text[Pos] == '\r' && At(Pos + 1) != '\n')) {
          ++CurrLine;
          CurrLineBegin = Pos + 1;
        }
      }
    }
    if (Pos == commentStart) break;
    lexeme.append(Text.substr(commentStart, Pos - commentStart));
    if (!OmitComment) return lcComment;
    // A dropped comment must not come back inside the blanks that follow it.
    lexeme.clear();
  }

  lexeme.clear();
  const char c = Text[Pos];
  const size_t start = Pos;
  int code;
  if (!IsSymbol(c)) {
    if (IsAlpha(c) || c == '_') {
      while (Pos < Text.size() && (IsAlpha(Text[Pos]) || IsDigit(Text[Pos]) || Text[Pos] == '_')) ++Pos;
      code = lcIdent;
    } else if (IsDigit(c)) {
      while (Pos < Text.size() && IsDigit(Text[Pos])) ++Pos;
      if (At(Pos) == '.' && IsDigit(At(Pos + 1))) {
        ++Pos;
        while (Pos < Text.size() && IsDigit(Text[Pos])) ++Pos;
      }
      code = lcNumber;
    } else {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02X", unsigned(uint8_t(c)));
      RaiseMemDataError(std::string("Parser: The unknown symbol '") + c + "'  $" + hex);
    }
    lexeme.assign(Text.substr(start, Pos - start));
  } else if (IsStringQuote(c)) {
    if (QuotedString) lexeme.push_back(c);
    ++Pos;
    const size_t bodyStart = Pos;
    SkipToQuote(c);
    lexeme.append(Text.substr(bodyStart, Pos - bodyStart));
    if (Pos < Text.size()) {
      if (QuotedString) lexeme.push_back(Text[Pos]);
      ++Pos;
    }
    code = lcString;
  } else if (IsIdentifierQuote(c)) {
    ++Pos;
    while (Pos < Text.size() && !IsIdentifierQuote(Text[Pos])) ++Pos;
    if (Pos < Text.size()) ++Pos;
    lexeme.assign(Text.substr(start, Pos - start));
    code = lcIdent;
  } else {
    code = ReadSymbol(lexeme);
  }

  if (code == lcIdent) {
    const int k = FindKeyword(lexeme, SymbolCount + 1, SymbolCount + KeywordCount);
    if (k > 0) {
      code = k;
      if (Uppercase) std::transform(lexeme.begin(), lexeme.end(), lexeme.begin(), platform::asciiUpper);
    }
  }
  return code;
}

// The longest run of symbol characters at Pos that is a prefix of some symbol entry, matched to
// the first entry it is a prefix of; a run that starts no entry gives its first byte alone.
int TParser::ReadSymbol(std::string& lexeme) {
  const size_t start = Pos;
  size_t bestLength = 1;
  int code = lcSymbol;
  for (size_t length = 1; start + length <= Text.size(); ++length) {
    const std::string_view run = Text.substr(start, length);
    if (length > 1 && !IsSymbol(run.back())) break;
    int match = 0;
    for (int i = 1; i <= SymbolCount && match == 0; ++i)
      if (Lexeme(i).starts_with(run)) match = i;
    // No longer run can match an entry when this one matches none.
    if (match == 0) break;
    bestLength = length;
    code = match;
  }
  lexeme.assign(Text.substr(start, bestLength));
  Pos = start + bestLength;
  return code;
}

int TParser::GetNextCode() {
  std::string scratch;
  return GetNext(scratch);
}

int TParser::SkipToCode(int code) {
  int read;
  do read = GetNextCode();
  while (read != code && read != lcEnd);
  return read;
}

void TParser::StepBack() {
  Pos = LexemeBegin;
  CurrLine = PrevLine;
  CurrLineBegin = PrevLineBegin;
}

int TParser::FindKeyword(std::string_view word, int low, int high) const {
  std::string upper(word);
  std::transform(upper.begin(), upper.end(), upper.begin(), platform::asciiUpper);
  int found = -1;
  while (low <= high) {
    const int mid = low + (high - low) / 2;
    const int c = Lexeme(mid).compare(upper);
    if (c >= 0) {
      if (c == 0) found = mid;
      high = mid - 1;
    } else {
      low = mid + 1;
    }
  }
  return found;
}

}  // namespace dataaccess
