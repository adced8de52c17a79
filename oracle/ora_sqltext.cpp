#include "oracle/ora_sqltext.h"

#include <algorithm>
#include <initializer_list>

#include "oracle/oraparser.h"
#include "platform/debugassert.h"
#include "platform/textrules.h"

namespace oracle {

namespace {

struct Token {
  int code;
  std::string text;  // keywords upper-cased
  size_t begin, end;
  int depth;  // of the text around it: "(" and ")" carry the outer depth

  bool isBlank() const { return code == dataaccess::lcBlank; }
  bool isComment() const { return code == dataaccess::lcComment; }
  bool isSpace() const { return isBlank() || isComment(); }
  bool is(std::string_view word) const {
    return (code > 0 || code == dataaccess::lcIdent || code == dataaccess::lcSymbol) &&
           platform::equalIgnoringAsciiCase(text, word);
  }
  bool isAny(std::initializer_list<std::string_view> words) const {
    return std::any_of(words.begin(), words.end(), [&](std::string_view w) { return is(w); });
  }
  bool isName() const { return code == dataaccess::lcIdent; }
};

// The tokens from the first SELECT on, blanks and comments included.
std::vector<Token> tokensFromSelect(std::string_view sql) {
  TOraParser parser(sql);
  parser.OmitBlank = false;
  parser.OmitComment = false;
  parser.QuotedString = true;
  std::vector<Token> tokens;
  std::string lexeme;
  int depth = 0;
  bool started = false;
  for (int code; (code = parser.GetNext(lexeme)) != dataaccess::lcEnd;) {
    Token token{code, lexeme, parser.LexemePos(), parser.CurrPos(), depth};
    if (!started && !token.is("SELECT")) continue;
    started = true;
    if (token.is("(")) {
      ++depth;
    } else if (token.is(")") && depth > 0) {
      token.depth = --depth;
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

const std::initializer_list<std::string_view> kWhereEnders = {"CONNECT", "FOR",   "GROUP",
                                                              "ORDER",   "START", "UNION"};

size_t nextSolid(const std::vector<Token>& tokens, size_t i) {
  while (i < tokens.size() && tokens[i].isBlank()) ++i;
  return i;
}

// Where a clause starts and ends, found by one scan to a stop keyword at depth 0.
struct Clause {
  bool found = false;
  size_t keywordBegin = 0;  // of the clause's first keyword, blanks before it included
  size_t bodyBegin = 0;     // of the first token after its keywords
  size_t end = 0;           // of the last token before the stop, or before the trailing blanks
  bool endsInComment = false;
};

Clause findClause(std::string_view sql, const std::vector<Token>& tokens,
                  std::initializer_list<std::string_view> keywords,
                  std::initializer_list<std::string_view> stops) {
  Clause clause;
  clause.end = sql.size();
  size_t blanksBegin = tokens.empty() ? sql.size() : tokens.front().begin;
  bool any = false;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& token = tokens[i];
    if (token.isBlank()) continue;
    if (token.depth == 0 && !clause.found && token.is(*keywords.begin())) {
      size_t k = i;
      bool all = true;
      for (auto word = keywords.begin() + 1; word != keywords.end() && all; ++word) {
        k = nextSolid(tokens, k + 1);
        all = k < tokens.size() && tokens[k].is(*word);
      }
      if (all) {
        clause.found = true;
        clause.keywordBegin = i > 0 && tokens[i - 1].isBlank() ? tokens[i - 1].begin : token.begin;
        const size_t body = nextSolid(tokens, k + 1);
        clause.bodyBegin = body < tokens.size() ? tokens[body].begin : sql.size();
        i = k;
        clause.end = tokens[k].end;
        any = true;
        continue;
      }
    }
    if (token.depth == 0 && token.isAny(stops)) {
      clause.end = any ? clause.end : blanksBegin;
      return clause;
    }
    clause.end = token.end;
    clause.endsInComment = token.isComment();
    blanksBegin = token.end;
    any = true;
  }
  if (!any) clause.end = blanksBegin;
  return clause;
}

// Replaces a clause's body, removes the clause, or adds it before the stop.
std::string replaceClause(std::string_view sql, std::initializer_list<std::string_view> keywords,
                          std::initializer_list<std::string_view> stops, std::string_view header,
                          std::string_view body) {
  const std::vector<Token> tokens = tokensFromSelect(sql);
  const Clause clause = findClause(sql, tokens, keywords, stops);
  std::string result(sql);
  if (clause.found) {
    const size_t from = body.empty() ? clause.keywordBegin : clause.bodyBegin;
    result.replace(from, std::max(clause.end, from) - from, body);
  } else if (!body.empty()) {
    const bool multiline = sql.substr(0, clause.end).find('\r') != std::string_view::npos;
    result.insert(clause.end, std::string(multiline ? "\r" : "") + std::string(header) + std::string(body));
  }
  return result;
}

}  // namespace

std::string AddWhere(std::string_view sql, std::string_view condition) {
  condition = platform::trimBlanks(condition);
  if (condition.empty()) return std::string(sql);
  const std::vector<Token> tokens = tokensFromSelect(sql);
  const Clause where = findClause(sql, tokens, {"WHERE"}, kWhereEnders);
  std::string result(sql);
  if (!where.found) {
    // The condition follows the outer query's last token; the blanks that led to a stop keyword
    // now lead from the condition to it.
    result.insert(where.end, "\rWHERE " + std::string(condition));
    return result;
  }
  // A line comment runs to the line's end: the closing parenthesis goes on the next line.
  const std::string close = where.endsInComment ? "\r)" : ")";
  result.insert(where.end, close + " AND (" + std::string(condition) + ")");
  result.insert(where.bodyBegin, "(");
  return result;
}

std::string SetWhere(std::string_view sql, std::string_view condition) {
  return replaceClause(sql, {"WHERE"}, kWhereEnders, " WHERE ", platform::trimBlanks(condition));
}

std::string DeleteWhere(std::string_view sql) {
  return SetWhere(sql, {});
}

std::string SetOrderBy(std::string_view sql, std::string_view fields) {
  std::string list(platform::trimBlanks(fields));
  std::replace(list.begin(), list.end(), ';', ',');
  return replaceClause(sql, {"ORDER", "BY"}, {"FOR"}, " ORDER BY ", list);
}

std::string GetOrderBy(std::string_view sql) {
  const std::vector<Token> tokens = tokensFromSelect(sql);
  const Clause clause = findClause(sql, tokens, {"ORDER", "BY"}, {"FOR"});
  if (!clause.found || clause.end <= clause.bodyBegin) return {};
  return std::string(platform::trimBlanks(sql.substr(clause.bodyBegin, clause.end - clause.bodyBegin)));
}

namespace {

// The solid tokens (no blanks, no comments) from the first SELECT on.
std::vector<Token> solidTokens(std::string_view sql) {
  std::vector<Token> tokens = tokensFromSelect(sql);
  std::erase_if(tokens, [](const Token& t) { return t.isSpace(); });
  return tokens;
}

}  // namespace

int GetTablesInfo(std::string_view sql, std::vector<TTableInfo>& tables) {
  tables.clear();
  const std::vector<Token> tokens = solidTokens(sql);
  size_t i = 0;
  while (i < tokens.size() && !(tokens[i].depth == 0 && tokens[i].is("FROM"))) ++i;
  ++i;
  auto at = [&](size_t k) -> const Token* { return k < tokens.size() ? &tokens[k] : nullptr; };
  while (i < tokens.size()) {
    const Token& first = tokens[i];
    if (first.is("(")) {
      // A subquery gives no entry; its alias goes with it.
      ++i;
      while (i < tokens.size() && !(tokens[i].depth == 0 && tokens[i].is(")"))) ++i;
      ++i;
      if (at(i) && at(i)->isName()) ++i;
    } else if (first.isName()) {
      TTableInfo table{first.text, {}};
      ++i;
      if (at(i) && at(i)->is(".") && at(i + 1) && at(i + 1)->isName()) {
        table.TableName += "." + tokens[i + 1].text;
        i += 2;
      }
      if (at(i) && at(i)->is("@") && at(i + 1) && at(i + 1)->isName()) {
        table.TableName += "@" + tokens[i + 1].text;
        i += 2;
        while (at(i) && at(i)->is(".") && at(i + 1) && at(i + 1)->isName()) {
          table.TableName += "." + tokens[i + 1].text;
          i += 2;
        }
      }
      if (at(i) && at(i)->isName()) table.Alias = tokens[i++].text;
      VELMARON_DEBUG_ASSERT(tables.size() < MaxTablesInfo, "a FROM list of more than 50 tables");
      if (tables.size() < MaxTablesInfo) tables.push_back(std::move(table));
    } else {
      break;
    }
    if (!at(i) || !at(i)->is(",")) break;
    ++i;
  }
  return int(tables.size());
}

namespace {

bool isPseudoColumn(const Token& token) {
  return token.isAny({"NULL", "SYSDATE", "USER", "UID"});
}

// Fills `item` from the item's tokens [from, to).
TSelectItem selectItem(std::string_view sql, const std::vector<Token>& tokens, size_t from, size_t to) {
  TSelectItem item;
  // An alias is a trailing name after AS, or after a name, a ")" or a literal.
  if (to - from >= 2 && tokens[to - 1].isName() && !isPseudoColumn(tokens[to - 1])) {
    const Token& before = tokens[to - 2];
    const bool afterValue = before.isName() || before.is(")") || before.code == dataaccess::lcNumber ||
                            before.code == dataaccess::lcString;
    if (before.is("AS") && to - from >= 3) {
      item.Alias = tokens[to - 1].text;
      to -= 2;
    } else if (afterValue) {
      item.Alias = tokens[to - 1].text;
      to -= 1;
    }
  }
  const size_t n = to - from;
  auto name = [&](size_t k) { return tokens[from + k].isName() && !isPseudoColumn(tokens[from + k]); };
  auto dot = [&](size_t k) { return tokens[from + k].is("."); };
  auto star = [&](size_t k) { return tokens[from + k].is("*"); };
  if (n == 1 && star(0)) {
    item.Column = "*";
  } else if (n == 3 && name(0) && dot(1) && star(2)) {
    item.Table = tokens[from].text;
    item.Column = "*";
  } else if (n == 1 && name(0)) {
    item.Column = tokens[from].text;
  } else if (n == 3 && name(0) && dot(1) && name(2)) {
    item.Table = tokens[from].text;
    item.Column = tokens[from + 2].text;
  } else if (n == 5 && name(0) && dot(1) && name(2) && dot(3) && name(4)) {
    item.Table = tokens[from + 2].text;
    item.Column = tokens[from + 4].text;
  } else if (n > 0) {
    item.Expression = std::string(sql.substr(tokens[from].begin, tokens[to - 1].end - tokens[from].begin));
  }
  return item;
}

}  // namespace

std::vector<TSelectItem> ScanSelectList(std::string_view sql) {
  const std::vector<Token> tokens = solidTokens(sql);
  std::vector<TSelectItem> items;
  size_t i = 1;  // after SELECT
  while (i < tokens.size() && tokens[i].isAny({"ALL", "DISTINCT", "UNIQUE"})) ++i;
  size_t from = i;
  for (; i <= tokens.size(); ++i) {
    const bool end = i == tokens.size() || (tokens[i].depth == 0 && tokens[i].is("FROM"));
    if (!end && !(tokens[i].depth == 0 && tokens[i].is(","))) continue;
    if (i > from && items.size() < MaxSelectItems) items.push_back(selectItem(sql, tokens, from, i));
    if (end) break;
    from = i + 1;
  }
  return items;
}

}  // namespace oracle
