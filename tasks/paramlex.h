// The scanner of export and import parameter texts (both programs share it; only their keyword
// tables differ). Tokens, longest match first, then the earlier rule:
//   1. STRING: a single quote and the characters up to the next single quote that has no
//      backslash before it; the value drops the leading and closing quotes and every backslash
//      that stands before a quote. A quote left open at the end of the text is an illegal token.
//   2. NUMBER: a run of digits that converts to a 32-bit integer, else an illegal token.
//   3. WORD: a run of characters other than blank, line end, quote, "(", ")", "," and "=". Tab
//      and form feed are word characters; digits followed by word characters make a WORD.
//   4. "=", ",", "(", ")".
//   5. Blanks and line ends separate tokens and are skipped.
// No token may be longer than 255 characters.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tasks/paramtokens.h"

namespace tasks {

class ParamLexer {
 public:
  // Raised when a token outgrows the 255 characters of the token text.
  struct Fatal : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // Reads `text` (borrowed; it must outlive the scanner) as one input, whatever its length.
  explicit ParamLexer(std::string_view text);

  // The next token, tokEnd at the end of the text. Throws Fatal.
  int32_t Lex();
  // The value of the last token: the text of a WORD or NUMBER, the unquoted text of a STRING.
  const std::string& Value() const { return value_; }
  // 1-based position, from the start of the text, of the next character the scanner will read.
  int32_t Column() const { return column_; }
  // The text of the current token as it stands in the input (a STRING with its quotes).
  const std::string& TokenText() const { return token_; }

 private:
  // The next character, -1 at the end of the text.
  int getChar();
  // Gives back the last character of the token text.
  void putBack();
  // Reads the next character into the token text.
  int scan();

  std::string_view text_;
  size_t pos_ = 0;
  int32_t column_ = 1;
  std::string token_;
  std::string value_;
};

// Longest token text.
constexpr size_t kMaxTokenLength = 255;

}  // namespace tasks
