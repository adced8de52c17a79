#include "tools/oci-standin/standin_rewrite.h"

#include "tools/oci-standin/standin_number.h"

#include <algorithm>
#include <cctype>

namespace ocistandin {
namespace {

bool isWordStart(unsigned char c) {
  return std::isalpha(c) || c >= 0x80;
}
bool isWordChar(unsigned char c) {
  return std::isalnum(c) || c == '_' || c == '$' || c == '#' || c >= 0x80;
}

bool isWord(const Token& t, std::string_view upperText) {
  return t.kind == TokenKind::Word && t.text == upperText;
}

bool isSymbol(const Token& t, std::string_view s) {
  return t.kind == TokenKind::Symbol && t.text == s;
}

bool isSetOperator(const Token& t) {
  return isWord(t, "UNION") || isWord(t, "INTERSECT") || isWord(t, "MINUS") || isWord(t, "EXCEPT");
}

}  // namespace

std::string upperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

namespace {

std::string quoted(std::string_view text, char quote) {
  std::string out(1, quote);
  for (char c : text) {
    out += c;
    if (c == quote) out += quote;
  }
  return out + quote;
}

}  // namespace

std::string quoteLiteral(std::string_view text) {
  return quoted(text, '\'');
}
std::string quoteName(std::string_view name) {
  return quoted(name, '"');
}

std::vector<Token> scanSql(std::string_view s) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (std::isspace(c)) {
      ++i;
      continue;
    }
    if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
      while (i < s.size() && s[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      const size_t end = s.find("*/", i + 2);
      i = end == std::string_view::npos ? s.size() : end + 2;
      continue;
    }
    const size_t begin = i;
    if (c == '\'' || c == '"') {
      std::string value;
      ++i;
      bool closed = false;
      while (i < s.size()) {
        if (s[i] == static_cast<char>(c)) {
          if (c == '\'' && i + 1 < s.size() && s[i + 1] == '\'') {
            value += '\'';
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        value += s[i++];
      }
      if (!closed) {
        tokens.push_back({TokenKind::Unterminated, begin, s.size(), std::string(s.substr(begin))});
        return tokens;
      }
      tokens.push_back({c == '\'' ? TokenKind::String : TokenKind::QuotedName, begin, i, value});
      continue;
    }
    if (c == ':' && i + 1 < s.size() &&
        (isWordChar(static_cast<unsigned char>(s[i + 1])) || s[i + 1] == '"')) {
      ++i;
      if (s[i] == '"') {
        const size_t end = s.find('"', i + 1);
        if (end == std::string_view::npos) {
          tokens.push_back({TokenKind::Unterminated, begin, s.size(), std::string(s.substr(begin))});
          return tokens;
        }
        i = end + 1;
      } else {
        while (i < s.size() && isWordChar(static_cast<unsigned char>(s[i]))) ++i;
      }
      tokens.push_back({TokenKind::Bind, begin, i, normaliseBindName(s.substr(begin, i - begin))});
      continue;
    }
    if (isWordStart(c)) {
      while (i < s.size() && isWordChar(static_cast<unsigned char>(s[i]))) ++i;
      tokens.push_back({TokenKind::Word, begin, i, upperAscii(s.substr(begin, i - begin))});
      continue;
    }
    if (std::isdigit(c) ||
        (c == '.' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
      while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.')) ++i;
      if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
          i = j;
          while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        }
      }
      tokens.push_back({TokenKind::Number, begin, i, std::string(s.substr(begin, i - begin))});
      continue;
    }
    static constexpr std::string_view pairs[] = {":=", "||", "<>", "!=", "<=", ">=", "=>", ".."};
    size_t len = 1;
    for (std::string_view p : pairs)
      if (s.substr(i, 2) == p) len = 2;
    i += len;
    tokens.push_back({TokenKind::Symbol, begin, i, std::string(s.substr(begin, len))});
  }
  return tokens;
}

std::string normaliseBindName(std::string_view p) {
  if (!p.empty() && p.front() == ':') p.remove_prefix(1);
  if (p.size() >= 2 && p.front() == '"' && p.back() == '"') {
    return std::string(p.substr(1, p.size() - 2));
  }
  return upperAscii(p);
}

namespace {

// Whether token `i` sits in the select list of its query: walking back over whole parentheses,
// SELECT comes before any clause word.
bool inSelectList(const std::vector<Token>& tokens, const std::vector<size_t>& match, size_t i) {
  static const char* const clauses[] = {"FROM", "WHERE",  "SET",  "VALUES", "BY",
                                        "ON",   "HAVING", "INTO", "UPDATE", "RETURNING",
                                        "AND",  "OR",     "WHEN", "THEN",   "ELSE"};
  for (size_t k = i; k-- > 0;) {
    const Token& t = tokens[k];
    if (isSymbol(t, ")")) {
      if (match[k] >= tokens.size()) return false;
      k = match[k];
      continue;
    }
    if (isSymbol(t, "(")) return false;
    if (isWord(t, "SELECT")) return true;
    for (const char* c : clauses)
      if (isWord(t, c)) return false;
  }
  return false;
}

bool isName(const Token& t) {
  return t.kind == TokenKind::Word || t.kind == TokenKind::QuotedName;
}

// The first token of the operand that ends at token `end` ((...), f(...), a.b.c, a literal or a
// bind); `end` + 1 when there is none such.
size_t operandStart(const std::vector<Token>& tokens, const std::vector<size_t>& match, size_t end) {
  if (isSymbol(tokens[end], ")")) {
    if (match[end] >= tokens.size()) return end + 1;
    size_t start = match[end];
    if (start > 0 && tokens[start - 1].kind == TokenKind::Word) --start;  // a function's name
    return start;
  }
  if (tokens[end].kind == TokenKind::String || tokens[end].kind == TokenKind::Number ||
      tokens[end].kind == TokenKind::Bind)
    return end;
  if (!isName(tokens[end])) return end + 1;
  size_t start = end;
  while (start >= 2 && isSymbol(tokens[start - 1], ".") && isName(tokens[start - 2])) start -= 2;
  return start;
}

// The last token of the operand that starts at token `start`; `start` - 1 when there is none.
size_t operandEnd(const std::vector<Token>& tokens, const std::vector<size_t>& match, size_t start) {
  if (isSymbol(tokens[start], "(")) return match[start] < tokens.size() ? match[start] : start - 1;
  if (tokens[start].kind == TokenKind::String || tokens[start].kind == TokenKind::Number ||
      tokens[start].kind == TokenKind::Bind)
    return start;
  if (!isName(tokens[start])) return start - 1;
  if (start + 1 < tokens.size() && isSymbol(tokens[start + 1], "(") && match[start + 1] < tokens.size())
    return match[start + 1];
  size_t end = start;
  while (end + 2 < tokens.size() && isSymbol(tokens[end + 1], ".") && isName(tokens[end + 2])) end += 2;
  if (end + 1 < tokens.size() && isSymbol(tokens[end + 1], "(") && match[end + 1] < tokens.size())
    return match[end + 1];  // owner.package.function(...)
  return end;
}

// The table names and aliases of the FROM clause that follows token `after` at its depth.
std::vector<std::string> outerNames(const std::vector<Token>& tokens, const std::vector<size_t>& match,
                                    size_t after) {
  static const char* const ends[] = {"WHERE",     "GROUP",  "ORDER",   "HAVING", "UNION", "MINUS",
                                     "INTERSECT", "EXCEPT", "CONNECT", "START",  "FOR"};
  std::vector<std::string> names;
  size_t k = after + 1;
  for (; k < tokens.size() && !isWord(tokens[k], "FROM"); ++k) {
    if (isSymbol(tokens[k], "(") && match[k] < tokens.size()) k = match[k];
    if (isSymbol(tokens[k], ")")) return names;
  }
  for (++k; k < tokens.size(); ++k) {
    if (isSymbol(tokens[k], "(") && match[k] < tokens.size()) {
      k = match[k];
      continue;
    }
    if (isSymbol(tokens[k], ")")) break;
    bool end = false;
    for (const char* e : ends) end = end || isWord(tokens[k], e);
    if (end) break;
    if (tokens[k].kind == TokenKind::Word || tokens[k].kind == TokenKind::QuotedName)
      names.push_back(tokens[k].text);
  }
  return names;
}

// A number literal SQLite would not keep exactly, in the stored form of an exact number.
bool exactLiteral(std::string_view text, bool negative, std::string& literal) {
  auto n = parseNumberText(text);
  if (!n || n->isZero()) return false;
  n->negative = negative;
  if (storedNumber(*n).kind != StoredNumber::Kind::Text) return false;
  literal = quoteLiteral(storedNumber(*n).text);
  return true;
}

bool endsOperand(const Token& t) {
  return t.kind == TokenKind::Number || t.kind == TokenKind::Word || t.kind == TokenKind::QuotedName ||
         t.kind == TokenKind::Bind || t.kind == TokenKind::String || isSymbol(t, ")");
}

}  // namespace

RewrittenSql rewriteSql(std::string_view text, std::string_view ownSchema) {
  RewrittenSql out;
  const std::vector<Token> tokens = scanSql(text);
  if (!tokens.empty() && tokens[0].kind == TokenKind::Word) {
    static const std::pair<const char*, StatementKind> kinds[] = {
        {"SELECT", StatementKind::Select}, {"WITH", StatementKind::Select},
        {"INSERT", StatementKind::Insert}, {"UPDATE", StatementKind::Update},
        {"DELETE", StatementKind::Delete}, {"CREATE", StatementKind::Create},
        {"DROP", StatementKind::Drop},     {"ALTER", StatementKind::Alter},
        {"BEGIN", StatementKind::Begin},   {"DECLARE", StatementKind::Declare},
        {"COMMIT", StatementKind::Commit}, {"ROLLBACK", StatementKind::Rollback}};
    for (const auto& [word, kind] : kinds)
      if (tokens[0].text == word) out.kind = kind;
  } else if (!tokens.empty() && isSymbol(tokens[0], "(")) {
    out.kind = StatementKind::Select;
  }

  // Each token gets a replacement text; an empty optional-like flag drops it.
  std::vector<std::string> replacement(tokens.size());
  std::vector<bool> keep(tokens.size(), true);
  for (size_t i = 0; i < tokens.size(); ++i)
    replacement[i] = std::string(text.substr(tokens[i].begin, tokens[i].end - tokens[i].begin));

  // Match parentheses once; unbalanced text is left for SQLite to refuse.
  std::vector<size_t> match(tokens.size(), tokens.size());
  {
    std::vector<size_t> open;
    for (size_t i = 0; i < tokens.size(); ++i) {
      if (isSymbol(tokens[i], "(")) open.push_back(i);
      if (isSymbol(tokens[i], ")") && !open.empty()) {
        match[open.back()] = i;
        match[i] = open.back();
        open.pop_back();
      }
    }
  }

  const bool ddl = out.kind == StatementKind::Create || out.kind == StatementKind::Alter;
  std::vector<bool> rowidBind(tokens.size(), false);
  std::vector<bool> collate(tokens.size(), false);  // " COLLATE RTRIM" follows the token
  // Text put around tokens: concatenation treats NULL as empty text, as the server does, so
  // each operand of || is wrapped in ifnull(operand, '').
  std::vector<std::string> before(tokens.size()), after(tokens.size());
  if (out.kind != StatementKind::Begin && out.kind != StatementKind::Declare) {
    std::vector<std::pair<size_t, size_t>> wrapped;
    auto wrap = [&](size_t first, size_t last) {
      if (first > last || last >= tokens.size()) return;
      if (std::find(wrapped.begin(), wrapped.end(), std::pair(first, last)) != wrapped.end()) return;
      wrapped.emplace_back(first, last);
      before[first] = "ifnull(" + before[first];
      after[last] += ", '')";
    };
    for (size_t k = 1; k + 1 < tokens.size(); ++k) {
      if (!isSymbol(tokens[k], "||")) continue;
      wrap(operandStart(tokens, match, k - 1), k - 1);
      wrap(k + 1, operandEnd(tokens, match, k + 1));
    }
  }
  auto isName = [&](size_t k) {
    return k < tokens.size() &&
           (tokens[k].kind == TokenKind::Word || tokens[k].kind == TokenKind::QuotedName);
  };
  // "( n )" at k: the number's text, and k moves past it.
  auto precisionAt = [&](size_t& k, std::string& n) {
    if (k + 2 < tokens.size() && isSymbol(tokens[k], "(") && tokens[k + 1].kind == TokenKind::Number &&
        isSymbol(tokens[k + 2], ")")) {
      n = tokens[k + 1].text;
      k += 3;
      return true;
    }
    return false;
  };
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    if (t.kind == TokenKind::Bind) {
      replacement[i] = rowidBind[i] ? "ora_rowid_row(:" + t.text + ")" : ":" + t.text;
      if (std::find(out.binds.begin(), out.binds.end(), t.text) == out.binds.end())
        out.binds.push_back(t.text);
      continue;
    }
    if (!ownSchema.empty() && (t.kind == TokenKind::Word || t.kind == TokenKind::QuotedName) &&
        t.text == ownSchema && i + 2 < tokens.size() && isSymbol(tokens[i + 1], ".") &&
        (i == 0 || !isSymbol(tokens[i - 1], ".")) &&
        (tokens[i + 2].kind == TokenKind::Word || tokens[i + 2].kind == TokenKind::QuotedName) &&
        !isWord(tokens[i + 2], "NEXTVAL") && !isWord(tokens[i + 2], "CURRVAL") &&
        !(i + 4 < tokens.size() && isSymbol(tokens[i + 3], ".") &&
          (isWord(tokens[i + 4], "NEXTVAL") || isWord(tokens[i + 4], "CURRVAL")))) {
      replacement[i] = "main";
      continue;
    }
    if (isWord(t, "SYS") && i + 4 < tokens.size() && isSymbol(tokens[i + 1], ".") &&
        isWord(tokens[i + 2], "DBMS_TRANSACTION") && isSymbol(tokens[i + 3], ".") &&
        isWord(tokens[i + 4], "LOCAL_TRANSACTION_ID")) {
      for (size_t k = i; k < i + 4; ++k) keep[k] = false;
      const bool call = i + 5 < tokens.size() && isSymbol(tokens[i + 5], "(");
      replacement[i + 4] = call ? "ora_local_transaction_id" : "ora_local_transaction_id()";
      i += 4;
      continue;
    }
    if (ddl && isWord(t, "TIMESTAMP")) {
      // SQLite spells a type's arguments last.
      size_t k = i + 1;
      std::string n;
      const bool precise = precisionAt(k, n);
      std::string name = "TIMESTAMP";  // words joined: SQLite takes few keywords in a type name
      if (k + 2 < tokens.size() && isWord(tokens[k], "WITH") && isWord(tokens[k + 1], "TIME") &&
          isWord(tokens[k + 2], "ZONE")) {
        name += "_WITH_TIME_ZONE";
        k += 3;
      } else if (k + 3 < tokens.size() && isWord(tokens[k], "WITH") && isWord(tokens[k + 1], "LOCAL") &&
                 isWord(tokens[k + 2], "TIME") && isWord(tokens[k + 3], "ZONE")) {
        name += "_WITH_LOCAL_TIME_ZONE";
        k += 4;
      }
      if (precise || k > i + 1) {
        replacement[i] = name + (precise ? "(" + n + ")" : "");
        for (size_t d = i + 1; d < k; ++d) keep[d] = false;
        i = k - 1;
      }
      continue;
    }
    if (ddl && isWord(t, "INTERVAL") && i + 1 < tokens.size() &&
        (isWord(tokens[i + 1], "YEAR") || isWord(tokens[i + 1], "DAY"))) {
      const bool year = isWord(tokens[i + 1], "YEAR");
      size_t k = i + 2;
      std::string lead = "2", fraction = "6";
      precisionAt(k, lead);
      if (k + 1 < tokens.size() && isWord(tokens[k], "TO") &&
          isWord(tokens[k + 1], year ? "MONTH" : "SECOND")) {
        k += 2;
        if (!year) precisionAt(k, fraction);
        replacement[i] = year ? "INTERVAL_YEAR_TO_MONTH(" + lead + ")"
                              : "INTERVAL_DAY_TO_SECOND(" + lead + "," + fraction + ")";
        for (size_t d = i + 1; d < k; ++d) keep[d] = false;
        i = k - 1;
      }
      continue;
    }
    if (ddl && (isWord(t, "CHAR") || isWord(t, "NCHAR")) && i >= 1 &&
        (tokens[i - 1].kind == TokenKind::Word || tokens[i - 1].kind == TokenKind::QuotedName) &&
        !isWord(tokens[i - 1], "NATIONAL") && !isWord(tokens[i - 1], "AS")) {
      // A CHAR column compares blank-padded, as the server compares fixed text: trailing blanks
      // do not count.
      size_t last = i;
      if (i + 1 < tokens.size() && isSymbol(tokens[i + 1], "(") && match[i + 1] < tokens.size())
        last = match[i + 1];
      if (!(last + 1 < tokens.size() && isWord(tokens[last + 1], "COLLATE"))) {
        collate[last] = true;
      }
      continue;
    }
    if (ddl && (isWord(t, "BYTE") || isWord(t, "CHAR")) && i >= 2 && i + 1 < tokens.size() &&
        tokens[i - 1].kind == TokenKind::Number && isSymbol(tokens[i - 2], "(") &&
        isSymbol(tokens[i + 1], ")")) {
      keep[i] = false;  // length semantics: lengths count bytes here
      continue;
    }
    if (t.kind == TokenKind::Number) {
      const bool negative = i >= 1 && isSymbol(tokens[i - 1], "-") && (i < 2 || !endsOperand(tokens[i - 2]));
      std::string literal;
      if (exactLiteral(t.text, negative, literal)) {
        replacement[i] = literal;
        if (negative) keep[i - 1] = false;
      }
      continue;
    }
    if ((isWord(t, "SYSDATE") || isWord(t, "SYSTIMESTAMP")) && !(i > 0 && isSymbol(tokens[i - 1], ".")) &&
        !(i + 1 < tokens.size() && isSymbol(tokens[i + 1], "("))) {
      replacement[i] = isWord(t, "SYSDATE") ? "ora_sysdate()" : "ora_systimestamp()";
      // SYSDATE + n and SYSDATE - n count days.
      if (isWord(t, "SYSDATE") && i + 2 < tokens.size() &&
          (isSymbol(tokens[i + 1], "+") || isSymbol(tokens[i + 1], "-")) &&
          tokens[i + 2].kind == TokenKind::Number &&
          !(i + 3 < tokens.size() && (isSymbol(tokens[i + 3], "*") || isSymbol(tokens[i + 3], "/")))) {
        replacement[i] = "ora_date_add(ora_sysdate(), " +
                         std::string(isSymbol(tokens[i + 1], "-") ? "-" : "") + tokens[i + 2].text + ")";
        keep[i + 1] = keep[i + 2] = false;
        i += 2;
      }
      continue;
    }
    if (isWord(t, "CURSOR") && i + 2 < tokens.size() && isSymbol(tokens[i + 1], "(") &&
        match[i + 1] < tokens.size() && (isWord(tokens[i + 2], "SELECT") || isWord(tokens[i + 2], "WITH"))) {
      // A cursor expression: its value carries the query, opened when the row is fetched. A
      // reference to the outer query's tables (alias.column) becomes a mark in the query's text,
      // and ora_cursor puts the row's value there.
      const size_t close = match[i + 1];
      const std::vector<std::string> outer = outerNames(tokens, match, close);
      std::vector<std::string> inner;
      for (size_t k = i + 2; k < close; ++k)
        if (isWord(tokens[k], "FROM") || isWord(tokens[k], "JOIN"))
          for (size_t n = k + 1; n < close && n < k + 4; ++n)
            if (tokens[n].kind == TokenKind::Word || tokens[n].kind == TokenKind::QuotedName)
              inner.push_back(tokens[n].text);
      std::string query, arguments;
      size_t from = tokens[i + 2].begin;
      int marks = 0;
      for (size_t k = i + 2; k < close; ++k) {
        if (tokens[k].kind == TokenKind::Bind) {
          // A bind of the cursor's query takes its value with the outer statement's binds.
          query += std::string(text.substr(from, tokens[k].begin - from));
          query += "\x02" + std::to_string(++marks) + "\x02";
          arguments += ", :" + tokens[k].text;
          if (std::find(out.binds.begin(), out.binds.end(), tokens[k].text) == out.binds.end())
            out.binds.push_back(tokens[k].text);
          from = tokens[k].end;
          continue;
        }
        if (k + 2 >= close) continue;
        const bool qualified =
            (tokens[k].kind == TokenKind::Word || tokens[k].kind == TokenKind::QuotedName) &&
            isSymbol(tokens[k + 1], ".") &&
            (tokens[k + 2].kind == TokenKind::Word || tokens[k + 2].kind == TokenKind::QuotedName);
        if (!qualified || (k > 0 && isSymbol(tokens[k - 1], "."))) continue;
        const std::string& q = tokens[k].text;
        if (std::find(outer.begin(), outer.end(), q) == outer.end() ||
            std::find(inner.begin(), inner.end(), q) != inner.end())
          continue;
        query += std::string(text.substr(from, tokens[k].begin - from));
        query += "\x02" + std::to_string(++marks) + "\x02";
        arguments += ", " + std::string(text.substr(tokens[k].begin, tokens[k + 2].end - tokens[k].begin));
        from = tokens[k + 2].end;
        k += 2;
      }
      query += std::string(text.substr(from, tokens[close].begin - from));
      replacement[i] = "ora_cursor(" + quoteLiteral(query) + arguments + ")";
      const bool last =
          close + 1 == tokens.size() || isSymbol(tokens[close + 1], ",") || isWord(tokens[close + 1], "FROM");
      if (last && inSelectList(tokens, match, i)) replacement[i] += " AS \"CURSOR\"";
      for (size_t k = i + 1; k <= close; ++k) keep[k] = false;
      i = close;
      continue;
    }
    if (isWord(t, "ROWID") && !(i + 1 < tokens.size() && isSymbol(tokens[i + 1], "("))) {
      // The pseudo-column: its text is computed from the row number, and a comparison with a
      // value turns the text back into the row number so that lookups stay direct.
      std::string qualifier;
      if (i >= 2 && isSymbol(tokens[i - 1], ".") && isName(i - 2)) {
        qualifier =
            std::string(text.substr(tokens[i - 2].begin, tokens[i - 2].end - tokens[i - 2].begin)) + ".";
        keep[i - 2] = keep[i - 1] = false;
      }
      if (i + 2 < tokens.size() && isSymbol(tokens[i + 1], "=") &&
          (tokens[i + 2].kind == TokenKind::Bind || tokens[i + 2].kind == TokenKind::String)) {
        replacement[i] = qualifier + "_rowid_";
        if (tokens[i + 2].kind == TokenKind::Bind)
          rowidBind[i + 2] = true;
        else
          replacement[i + 2] = "ora_rowid_row(" + quoteLiteral(tokens[i + 2].text) + ")";
        if (tokens[i + 2].kind == TokenKind::String) i += 2;
        continue;
      }
      replacement[i] = "ora_rowid(" + qualifier + "_rowid_)";
      const bool last =
          i + 1 == tokens.size() || isSymbol(tokens[i + 1], ",") || isWord(tokens[i + 1], "FROM");
      if (last && inSelectList(tokens, match, i)) replacement[i] += " AS \"ROWID\"";
      continue;
    }
    if ((isWord(t, "NEXTVAL") || isWord(t, "CURRVAL")) && i >= 2 && isSymbol(tokens[i - 1], ".") &&
        (tokens[i - 2].kind == TokenKind::Word || tokens[i - 2].kind == TokenKind::QuotedName) &&
        keep[i - 2]) {
      const std::string fn = isWord(t, "NEXTVAL") ? "ora_nextval(" : "ora_currval(";
      size_t first = i - 2;
      std::string args = quoteLiteral(tokens[i - 2].text);
      if (i >= 4 && isSymbol(tokens[i - 3], ".") &&
          (tokens[i - 4].kind == TokenKind::Word || tokens[i - 4].kind == TokenKind::QuotedName)) {
        first = i - 4;
        args = quoteLiteral(tokens[i - 4].text) + ", " + args;
      }
      for (size_t k = first; k < i; ++k) keep[k] = false;
      replacement[i] = fn + args + ")";
      continue;
    }
    if (isSymbol(t, "(") && match[i] < tokens.size() && i + 1 < tokens.size() &&
        isWord(tokens[i + 1], "SELECT")) {
      const size_t close = match[i];
      const bool afterSetOperator =
          i > 0 && (isSetOperator(tokens[i - 1]) ||
                    (isWord(tokens[i - 1], "ALL") && i >= 2 && isSetOperator(tokens[i - 2])));
      const bool beforeSetOperator = close + 1 < tokens.size() && isSetOperator(tokens[close + 1]);
      const bool startsMember =
          i == 0 || afterSetOperator || (isSymbol(tokens[i - 1], "(") && beforeSetOperator);
      const bool endsMember = close + 1 == tokens.size() || beforeSetOperator ||
                              isWord(tokens[close + 1], "ORDER") || isSymbol(tokens[close + 1], ")");
      if (startsMember && endsMember) {
        keep[i] = false;
        keep[close] = false;
      }
      continue;
    }
    if (isWord(t, "FOR") && i + 1 < tokens.size() && isWord(tokens[i + 1], "UPDATE") &&
        out.kind == StatementKind::Select) {
      // Only a clause that runs to the end of the statement is a locking clause.
      size_t j = i + 2;
      if (j < tokens.size() && isWord(tokens[j], "OF")) {
        ++j;
        while (j < tokens.size() &&
               (tokens[j].kind == TokenKind::Word || tokens[j].kind == TokenKind::QuotedName ||
                isSymbol(tokens[j], ".") || isSymbol(tokens[j], ","))) {
          if (isWord(tokens[j], "NOWAIT") || isWord(tokens[j], "WAIT") || isWord(tokens[j], "SKIP")) break;
          ++j;
        }
      }
      if (j < tokens.size() && isWord(tokens[j], "NOWAIT")) {
        ++j;
      } else if (j + 1 < tokens.size() && isWord(tokens[j], "WAIT") &&
                 tokens[j + 1].kind == TokenKind::Number) {
        j += 2;
      } else if (j + 1 < tokens.size() && isWord(tokens[j], "SKIP") && isWord(tokens[j + 1], "LOCKED")) {
        j += 2;
      }
      if (j == tokens.size()) {
        for (size_t k = i; k < j; ++k) keep[k] = false;
        out.forUpdate = true;
        break;
      }
    }
  }

  // Reassemble: the text between tokens (blanks, comments) stays as written, except inside a
  // run of dropped tokens.
  size_t last = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (keep[i] || i == 0 || keep[i - 1]) out.sql.append(text.substr(last, tokens[i].begin - last));
    out.sql += before[i];
    if (keep[i]) out.sql += replacement[i];
    if (keep[i] && collate[i]) out.sql += " COLLATE RTRIM";
    out.sql += after[i];
    last = tokens[i].end;
  }
  out.sql.append(text.substr(last));
  return out;
}

}  // namespace ocistandin
