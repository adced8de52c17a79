// Cuts a single-byte SQL text into lexemes: blanks, comments, identifiers, numbers, quoted
// strings, symbols and keywords. Subclasses change what counts as a letter, a symbol, a quote or
// a comment opener by overriding the character classes, and swap the lexeme table (symbols first,
// then keywords) with SetLexemes; the scanning loop stays the same.
//
// The text is not copied: the caller keeps it alive and unchanged while the parser is used. A NUL
// byte ends it. Numbers always use "." as the decimal separator, whatever the locale, so a text
// means the same on every machine. Form feed, vertical tab and DEL count as blanks.
//
// Not thread-safe: one parser per thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace dataaccess {

// Codes that GetNext returns besides the 1-based index of a table entry.
inline constexpr int lcEnd = 0;
inline constexpr int lcSymbol = -102;   // a symbol that is not in the table
inline constexpr int lcIdent = -103;    // an identifier that is not a keyword
inline constexpr int lcNumber = -105;   // digits, optionally "." and digits
inline constexpr int lcString = -106;   // a quoted string
inline constexpr int lcBlank = -107;    // blanks, only when OmitBlank is off
inline constexpr int lcComment = -108;  // a comment, only when OmitComment is off

class TParser {
 public:
  explicit TParser(std::string_view text);
  virtual ~TParser() = default;

  // Back to the start of the text. Call it after changing the flags.
  void Reset();

  // Reads the next lexeme into `lexeme` and returns its code. At the end of the text returns 0.
  // Throws EMemDataError on a byte that is no blank, letter, digit or symbol, leaving the
  // position on it.
  int GetNext(std::string& lexeme);
  int GetNextCode();
  // Reads until `code` or the end; returns the last code read.
  int SkipToCode(int code);
  // The last lexeme is read again by the next GetNext.
  void StepBack();

  size_t CurrPos() const { return Pos; }
  size_t LexemePos() const { return LexemeBegin; }
  size_t PrevLexemePos() const { return PrevLexemeBegin; }

  // The lowest index in [low, high] whose table entry equals `word` upper-cased (ASCII), or -1.
  // The entries there must be upper-case and sorted by bytes.
  int FindKeyword(std::string_view word, int low, int high) const;

  // The table entry of a code from 1 to SymbolCount + KeywordCount.
  std::string_view Lexeme(int code) const { return Lexemes[size_t(code - 1)]; }

  bool OmitBlank = true;
  bool OmitComment = false;
  bool Uppercase = true;      // keywords come back upper-cased
  bool QuotedString = false;  // strings keep their quotes
  std::string CommentBegin = "/*";
  std::string CommentEnd = "*/";

  // Line breaks passed so far (a CR LF pair counts once), and the offset where that line starts;
  // the Prev values are those at the start of the last lexeme.
  int CurrLine = 0;
  int PrevLine = 0;
  size_t CurrLineBegin = 0;
  size_t PrevLineBegin = 0;

  uint16_t SymbolCount = 0;
  uint16_t KeywordCount = 0;

 protected:
  virtual bool IsBlank(char c) const;
  virtual bool IsSymbol(char c) const;
  virtual bool IsAlpha(char c) const;
  virtual bool IsDigit(char c) const;
  virtual bool IsStringQuote(char c) const;
  // Moves Pos to the next `quote` or to the end of the text.
  virtual void SkipToQuote(char quote);
  virtual bool IsIdentifierQuote(char c) const;
  // True when an inline comment (to the end of the line) starts at `pos`.
  virtual bool IsInlineComment(size_t pos) const;

  // Symbols are table[0 .. symbols-1], keywords the `keywords` entries that follow.
  void SetLexemes(std::span<const std::string_view> table, uint16_t symbols, uint16_t keywords);

  char At(size_t pos) const { return pos < Text.size() ? Text[pos] : '\0'; }

  std::string_view Text;
  size_t Pos = 0;
  size_t LexemeBegin = 0;
  size_t PrevLexemeBegin = 0;

 private:
  int ReadSymbol(std::string& lexeme);

  std::span<const std::string_view> Lexemes;
};

}  // namespace dataaccess
