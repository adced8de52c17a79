#include "oracle/oraparser.h"

#include <array>
#include <string_view>

namespace oracle {

namespace {

constexpr std::array<std::string_view, 37> kLexemes = {
    "*",       "=",     ":",       ",",         ".",       " :=",       "/",       "AND",
    "AS",      "BEGIN", "BODY",    "BY",        "CONNECT", "CREATE",    "DECLARE", "DELETE",
    "END",     "FOR",   "FROM",    "FUNCTION",  "GROUP",   "INSERT",    "INTO",    "IS",
    "OR",      "ORDER", "PACKAGE", "PROCEDURE", "REPLACE", "RETURNING", "SELECT",  "START",
    "TRIGGER", "TYPE",  "UNION",   "UPDATE",    "WHERE"};

}  // namespace

TOraParser::TOraParser(std::string_view text) : dataaccess::TParser(text) {
  SetLexemes(kLexemes, 7, 30);
  CommentBegin = "/*";
  CommentEnd = "*/";
}

bool TOraParser::IsAlpha(char c) const {
  return dataaccess::TParser::IsAlpha(c) || c == '#' || c == '$';
}

bool TOraParser::IsStringQuote(char c) const {
  return c == '\'';
}

bool TOraParser::IsIdentifierQuote(char c) const {
  return c == '"';
}

bool TOraParser::IsInlineComment(size_t pos) const {
  return At(pos) == '-' && At(pos + 1) == '-';
}

}  // namespace oracle
