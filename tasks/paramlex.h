// The scanner of export and import parameter texts (both programs share it; only their keyword
// tables differ), on the shared scanner runtime. Tokens, longest match first, then the earlier
// rule:
//   1. STRING: a single quote and the characters up to the next single quote that has no
//      backslash before it; the value drops the leading and closing quotes and every backslash
//      that stands before a quote. A quote left open at the end of the text is an illegal token.
//   2. NUMBER: a run of digits that converts to a 32-bit integer, else an illegal token. The
//      value is the digits as written.
//   3. WORD: a run of characters other than blank, line end, quote, "(", ")", "," and "=". Tab
//      and form feed are word characters; digits followed by word characters make a WORD.
//   4. "=", ",", "(", ")".
//   5. Blanks and line ends (carriage return or line feed) separate tokens and are skipped.
// A token text holds at most 255 characters, counting the character read to see where it ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dumpfile/lexlib.h"
#include "tasks/paramtokens.h"

namespace tasks {

class ParamLexer {
 public:
  // Raised when a token outgrows the runtime's token text.
  using Fatal = dumpfile::LexYaccError;

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
  static constexpr size_t kLineLength = dumpfile::LexLib::kMaxText;

 private:
  struct Dfa;

  dumpfile::LexLib lex_;
};

}  // namespace tasks
