// Token tests and expectations shared by the statement parsers. Every failure is engine error
// 11949 whose text is the message followed by the current token's text and "'".
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "engine/values/veldorexpparser.h"

namespace engine::sql {

// A symbol or a quoted string (a [name] too for the second form).
bool IsName(const TExpressionParser& p);
bool IsNameOrBracket(const TExpressionParser& p);
bool IsAnyKeyword(const TExpressionParser& p, std::span<const std::string_view> words);
inline bool IsAnyKeyword(const TExpressionParser& p, std::initializer_list<std::string_view> words) {
  return IsAnyKeyword(p, std::span<const std::string_view>(words.begin(), words.size()));
}
[[noreturn]] void FoundError(const TExpressionParser& p, std::string_view message);
// Consumes the keyword when it is current.
bool AcceptKeyword(TExpressionParser& p, std::string_view word);
void ExpectKeyword(TExpressionParser& p, std::string_view word, std::string_view message);
void ExpectToken(TExpressionParser& p, int kind, std::string_view message);
// An integer token from `minimum` to `maximum`.
int32_t ExpectInteger(TExpressionParser& p, std::string_view message, int32_t minimum,
                      int32_t maximum = INT32_MAX);
// The text of the single token that gives an option's value (a string without its quotes); the
// end of the text instead raises "Value expected after <keyword> keyword, instead found ''".
std::string OptionText(TExpressionParser& p, std::string_view keyword);
// A symbol or string, cut to 255 bytes.
std::string ExpectName(TExpressionParser& p, std::string_view message);

}  // namespace engine::sql
