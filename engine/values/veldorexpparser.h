// The expression parser: the text of a filter or of an SQL clause becomes a tree of TExpToken
// nodes. A hand-written scanner and one recursive-descent procedure per precedence level, from
// loosest to tightest: OR, AND, NOT, comparison or predicate, + - ||, * /, sign, primary.
//
// Flags say what the clause allows; every syntax error raises the parser's error code with a
// fixed English message ending in " in " and the context word, cut to 255 characters, and the
// two context names as database and table items. On an error no node is left allocated.
//
// Nesting is limited (kMaxExpNesting levels of parentheses and function calls, and
// kMaxExpTreeDepth levels of tree), so that a hostile text cannot exhaust the stack of this or
// any later walk over the tree.
//
// One parser is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/base/veldorerr.h"
#include "engine/values/veldorexptoken.h"

namespace engine {

class TQueryStatement;

// Flag bits of ParseExpression.
enum TExpParseFlag : uint8_t {
  pfAggregates = 0x01,
  pfAllColumns = 0x02,  // the "*" symbol
  pfPredicates = 0x04,  // NOT after an operand, LIKE, BETWEEN, IN, IS
  pfParameters = 0x08,  // "?"
  pfSubSelects = 0x10,
};

// Token kinds besides the character codes of single-character tokens.
enum TExpTokenKind : int {
  tkEnd = 0,
  tkSymbol = 1,
  tkBracketName = 2,
  tkString = 3,
  tkCharConstant = 4,
  tkInteger = 5,
  tkDecimal = 6,
};

inline constexpr int kMaxExpNesting = 128;

class TExpressionParser {
 public:
  // `statement` owns sub-selects and parameters; nullptr when a cursor parses a filter, which
  // then allows neither.
  explicit TExpressionParser(TQueryStatement* statement = nullptr);

  // Code raised for every syntax error (VELDOR_SQLPARSE unless the owner sets another).
  uint16_t errorCode = VELDOR_SQLPARSE;
  // Passed as the database and table items with every error.
  std::string contextName1;
  std::string contextName2;
  // Appended to every message after " in ". Set from a literal at each clause of a statement:
  // kept as a view, so that setting it copies nothing; what it views must outlive the parsing.
  std::string_view contextWord;

  // A private copy of the text (up to its first zero byte); the scanner stands before the first
  // token, which NextToken reads.
  void SetText(std::string_view text);
  void Clear();

  // Reads the next token and returns its kind: a TExpTokenKind or the byte of a
  // single-character token. At the end of the text the kind is tkEnd and stays so.
  int NextToken();
  // The current token's text; strings and bracketed names without their delimiters, a doubled
  // quote made single.
  std::string GetTokenText() const;
  // The current token is a symbol equal to `word` without regard to case.
  bool IsKeyword(std::string_view word) const;
  bool IsTokenKind(int kind) const { return kind_ == kind; }
  // The source text from the current token's start to the end of the last consumed token,
  // without carriage returns and line feeds.
  void MarkStart();
  std::string GetMarkedText() const;

  // Parses an expression starting at the current token; the token after it is current
  // afterwards. The caller owns the tree (FreeExpTree).
  TExpToken* ParseExpression(uint8_t flags);
  // One level of the grammar alone, for clauses that take less than an expression: a primary
  // (a column, constant, function or parenthesised expression), a primary with an optional
  // sign, or a sum or concatenation of such. Same ownership as ParseExpression.
  TExpToken* ParsePrimary(uint8_t flags);
  TExpToken* ParseSigned(uint8_t flags);
  TExpToken* ParseAdditive(uint8_t flags);
  // Parses a data type at the current token into node's type and subtype, with its numbers as
  // arguments 1 and 2. False (nothing consumed) when no type keyword stands there and `optional`.
  bool ParseDataType(TExpToken& node, uint8_t flags, bool optional);

  // Raises a syntax error with `message` + " in " + the context word.
  [[noreturn]] void SyntaxError(std::string_view message) const;

 private:
  // The current token is an operand of one token (a name, a text, a number, a parameter) that
  // the text goes on after without an operator or a call: a list's separator or end, the end,
  // or a word that continues no expression. Looks ahead without scanning, so it raises nothing.
  bool operandStandsAlone() const;
  TExpTreePtr parseExpression(uint8_t flags);
  TExpTreePtr parseAnd(uint8_t flags);
  TExpTreePtr parseNot(uint8_t flags);
  TExpTreePtr parseComparison(uint8_t flags);
  TExpTreePtr parsePredicate(uint8_t flags, TExpTreePtr tested);
  TExpTreePtr parseAdditive(uint8_t flags);
  TExpTreePtr parseMultiplicative(uint8_t flags);
  TExpTreePtr parseSigned(uint8_t flags);
  TExpTreePtr parsePrimary(uint8_t flags);
  TExpTreePtr parseSymbol(uint8_t flags, const std::string& name);
  TExpTreePtr parseFunction(uint8_t flags, const std::string& name);
  TExpTreePtr parseNumber();

  // Raises `message` + the current token's text + "' in " + the context word unless the current
  // token has `kind`; then reads the next token.
  void expect(int kind, std::string_view message);
  void expectKeyword(std::string_view word, std::string_view message);
  [[noreturn]] void foundError(std::string_view message) const;

  TQueryStatement* statement_;
  std::string text_;
  size_t pos_ = 0;
  size_t tokenStart_ = 0;
  size_t tokenEnd_ = 0;
  size_t lastEnd_ = 0;
  size_t mark_ = 0;
  int kind_ = tkEnd;
  int nesting_ = 0;
};

}  // namespace engine
