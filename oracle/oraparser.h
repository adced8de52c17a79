// The SQL tokenizer with Oracle's lexical rules: "#" and "$" are letters, only "'" quotes a
// string, a double-quoted name is one identifier lexeme (quotes kept), "--" starts a line
// comment, and the lexeme table holds the symbols and keywords the Oracle client looks for.
//
// Not thread-safe: one parser per thread.
#pragma once

#include "dataaccess/qvparser.h"

namespace oracle {

// Codes of the table entries GetNext returns.
inline constexpr int lxColon = 3;
inline constexpr int lxTrigger = 33;

class TOraParser : public dataaccess::TParser {
 public:
  explicit TOraParser(std::string_view text);

 protected:
  bool IsAlpha(char c) const override;
  bool IsStringQuote(char c) const override;
  bool IsIdentifierQuote(char c) const override;
  bool IsInlineComment(size_t pos) const override;
};

}  // namespace oracle
