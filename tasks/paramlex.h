// The scanner of export and import parameter texts (both programs share it; only their keyword
// tables differ), on the shared scanner runtime. Tokens, longest match first, then the earlier
// rule (the scanner's rules, in priority order):
//   ruleString: STRING, a single quote and the characters up to the next single quote that has
//      no backslash before it; the value drops the leading and closing quotes and every
//      backslash that stands before a quote. A quote left open at the end of the text
//      (ruleOpenQuote) is an illegal token.
//   ruleNumber: NUMBER, a run of digits that converts to a 32-bit integer, else an illegal token.
//      The value is the digits as written.
//   ruleWord: WORD, a run of characters other than blank, line end, quote, "(", ")", "," and
//      "=". Tab and form feed are word characters; digits followed by word characters make a
//      WORD.
//   ruleEquals, ruleComma, ruleLParen, ruleRParen: "=", ",", "(", ")".
//   ruleBlank, ruleLineEnd: blanks and line ends (carriage return or line feed) separate tokens
//      and are skipped.
// A token text holds at most 255 characters, counting the character read to see where it ends.
//
// Writing a value back is the scanner's inverse: a value goes bare where the scanner reads the
// bare text back as exactly that value, and in single quotes, with a backslash before each quote
// inside it, where it does not (a blank, comma, quote, "(", ")", "=" or line end in it; empty; too
// long for a WORD; digits that do not convert). The scanner has no other quote character and no
// escape for a backslash, so a value that needs quotes and ends with a backslash has no text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "lexyacc/lexlib.h"
#include "tasks/paramtokens.h"

namespace tasks {

class ParamLexer {
 public:
  // Raised when a token outgrows the runtime's token text.
  using Fatal = lexyacc::LexYaccError;

  // Reads all of `text`, whatever its length: it goes to the runtime in lines of the runtime's
  // line length, which are read with nothing between them.
  explicit ParamLexer(std::string_view text);

  // The next token, tokEnd at the end of the text. Throws Fatal.
  int32_t Lex();
  // The value of the last token: the text of a WORD or NUMBER, the unquoted text of a STRING.
  std::string_view Value() const { return lex_.yylval.view(); }
  // The runtime's column, counted from the start of the whole text.
  int32_t Column() const;
  // The runtime's current token text (a STRING with its quotes).
  std::string TokenText() const { return lex_.yytext.str(); }

  // Line length of the runtime's input.
  static constexpr size_t kLineLength = lexyacc::LexLib::kMaxText;

 private:
  struct Dfa;

  lexyacc::LexLib lex_;
};

// Longest value written bare: a WORD's text also holds the character that ends it.
inline constexpr size_t kMaxBareParamValue = lexyacc::LexLib::kMaxText - 1;
// Longest quoted text, quotes and backslashes included.
inline constexpr size_t kMaxQuotedParamValue = lexyacc::LexLib::kMaxText;

// True when `value`, written as it stands and followed by a blank, a comma or the end of the
// text, reads back as one WORD or NUMBER token whose text is `value`.
bool IsBareParamValue(std::string_view value);

// Why no quoted text reads back as `value`; an empty view when QuoteParamValue may be used.
std::string_view ParamValueQuoteProblem(std::string_view value);

// `value` in single quotes, a backslash before each quote inside it: one STRING token whose value
// is `value`. Requires: ParamValueQuoteProblem(value) is empty.
std::string QuoteParamValue(std::string_view value);

// The value that one value text reads as: a text in single quotes without them and without the
// backslash of each escaped quote, any other text as it stands. The inverse of QuoteParamValue,
// for readers of parameter lines that need a value itself, such as a dump-file path.
std::string UnquoteParamValue(std::string_view text);

}  // namespace tasks
