// The PL/SQL the stand-in understands: a small interpreter whose expressions and queries SQLite
// evaluates, and the compile-error listing done natively (it needs local variables and WHILE).
#include <algorithm>
#include <cstdio>
#include <functional>

#include "tools/oci-standin/standin_server.h"

namespace ocistandin {
namespace {

std::string sqlLiteral(const Value& v) {
  switch (v.kind) {
    case Value::Kind::Null:
      return "NULL";
    case Value::Kind::Integer:
      return std::to_string(v.integer);
    case Value::Kind::Real: {
      char buffer[40];
      std::snprintf(buffer, sizeof buffer, "%.17g", v.real);
      return buffer;
    }
    case Value::Kind::Bytes: {
      static constexpr char hex[] = "0123456789ABCDEF";
      std::string out = "X'";
      for (unsigned char c : v.bytes) {
        out += hex[c >> 4];
        out += hex[c & 15];
      }
      return out + "'";
    }
    case Value::Kind::Text:
      break;
  }
  return quoteLiteral(v.bytes);
}

// Reaches the block's binds from a query inside it, by name.
class InnerBinds : public BindAccess {
 public:
  InnerBinds(BindAccess& outer, const std::vector<std::string>& names) : outer_(outer), names_(names) {}
  Value input(size_t, const std::string& name) override { return outer_.input(position(name), name); }
  void output(size_t, const std::string& name, const Value& v) override {
    outer_.output(position(name), name, v);
  }
  void openCursor(size_t, const std::string& name, const std::string& sql, BindAccess& values) override {
    outer_.openCursor(position(name), name, sql, values);
  }
  size_t position(const std::string& name) const {
    for (size_t i = 0; i < names_.size(); ++i)
      if (names_[i] == name) return i + 1;
    return 0;
  }

 private:
  BindAccess& outer_;
  const std::vector<std::string>& names_;
};

class Interpreter {
 public:
  Interpreter(Session& session, std::string_view text, BindAccess& binds)
      : session_(session),
        text_(text),
        tokens_(scanSql(text)),
        names_(rewriteSql(text).binds),
        binds_(binds, names_) {}

  void run() {
    if (!tokens_.empty() && tokens_.back().kind == TokenKind::Unterminated)
      fail(tokens_.size() - 1, "an unterminated literal");
    if (word("DECLARE")) {
      ++i_;
      while (i_ < tokens_.size() && !word("BEGIN")) declaration();
    }
    expectWord("BEGIN");
    statements(true);
    expectWord("END");
    if (i_ < tokens_.size() && tokens_[i_].kind == TokenKind::Word) ++i_;
    expectSymbol(";");
    if (i_ != tokens_.size()) fail(i_, "text after the block's end");
  }

 private:
  struct Record {
    std::string name;
    std::vector<std::string> columns;
    std::vector<Value> values;
  };

  [[noreturn]] void fail(size_t at, const std::string& what) const {
    const size_t offset = at < tokens_.size() ? tokens_[at].begin : text_.size();
    int line = 1, column = 1;
    for (size_t k = 0; k < offset; ++k) {
      if (text_[k] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    throw OraError(6550, "line " + std::to_string(line) + ", column " + std::to_string(column) +
                             ":\nPLS-00103: " + what + " is not supported");
  }

  bool word(std::string_view w) const {
    return i_ < tokens_.size() && tokens_[i_].kind == TokenKind::Word && tokens_[i_].text == w;
  }
  bool symbol(std::string_view s) const {
    return i_ < tokens_.size() && tokens_[i_].kind == TokenKind::Symbol && tokens_[i_].text == s;
  }
  // The name at the cursor, consumed.
  std::string name() {
    if (i_ >= tokens_.size() || tokens_[i_].kind != TokenKind::Word)
      fail(i_, "a statement without a name here");
    return tokens_[i_++].text;
  }

  void expectWord(std::string_view w) {
    if (!word(w)) fail(i_, "a statement without " + std::string(w) + " here");
    ++i_;
  }
  void expectSymbol(std::string_view s) {
    if (!symbol(s)) fail(i_, "a statement without '" + std::string(s) + "' here");
    ++i_;
  }

  // The index of the ';' that ends the statement starting at `from`.
  size_t statementEnd(size_t from) const {
    int depth = 0;
    for (size_t k = from; k < tokens_.size(); ++k) {
      const Token& t = tokens_[k];
      if (t.kind != TokenKind::Symbol) continue;
      if (t.text == "(") ++depth;
      if (t.text == ")") --depth;
      if (t.text == ";" && depth == 0) return k;
    }
    fail(tokens_.size(), "a statement without ';'");
  }

  // The SQL text of tokens [b, e): fields of loop records become literals.
  std::string sqlOf(size_t b, size_t e) const {
    std::string out;
    for (size_t k = b; k < e; ++k) {
      const Token& t = tokens_[k];
      out += ' ';
      if (t.kind == TokenKind::Word && k + 2 < e && tokens_[k + 1].text == ".") {
        if (const Value* v = field(t.text, tokens_[k + 2].text)) {
          out += sqlLiteral(*v);
          k += 2;
          continue;
        }
      }
      out.append(text_.substr(t.begin, t.end - t.begin));
    }
    return out;
  }

  const Value* field(const std::string& record, const std::string& column) const {
    for (auto r = records_.rbegin(); r != records_.rend(); ++r) {
      if (r->name != record) continue;
      for (size_t c = 0; c < r->columns.size(); ++c)
        if (r->columns[c] == column) return &r->values[c];
    }
    return nullptr;
  }

  void query(const std::string& sql, const std::function<void(Cursor&, std::vector<Value>&)>& row) {
    Cursor cursor(session_, sql);
    cursor.execute(binds_, false);
    std::vector<Value> values;
    while (cursor.fetch(values)) row(cursor, values);
  }

  Value evaluate(size_t b, size_t e) {
    Value result;
    query("SELECT (" + sqlOf(b, e) + ")", [&](Cursor&, std::vector<Value>& v) { result = v[0]; });
    return result;
  }

  bool condition(size_t b, size_t e) {
    const Value v = evaluate(b, e);
    return v.kind == Value::Kind::Integer ? v.integer != 0 : false;
  }

  void declaration() {
    if (word("CURSOR")) {
      ++i_;
      const std::string cursor = name();
      expectWord("IS");
      const size_t end = statementEnd(i_);
      cursors_[cursor] = {i_, end};
      i_ = end + 1;
      return;
    }
    fail(i_, "this declaration");
  }

  // Runs (or, with run false, steps over) statements up to END, ELSIF or ELSE.
  void statements(bool run) {
    if (++depth_ > kMaxDepth) fail(i_, "nesting this deep");
    while (i_ < tokens_.size() && !word("END") && !word("ELSIF") && !word("ELSE")) {
      if (word("EXCEPTION")) fail(i_, "an exception section");
      statement(run);
    }
    --depth_;
  }

  void statement(bool run) {
    const Token& t = tokens_[i_];
    if (t.kind == TokenKind::Bind && i_ + 1 < tokens_.size() && tokens_[i_ + 1].text == ":=") {
      const size_t end = statementEnd(i_);
      if (run) {
        const Value v = evaluate(i_ + 2, end);
        binds_.output(0, t.text, v);
      }
      i_ = end + 1;
      return;
    }
    if (word("SELECT")) return selectInto(run);
    if (word("FOR")) return forLoop(run);
    if (word("IF")) return ifChain(run);
    if (word("NULL")) {
      ++i_;
      expectSymbol(";");
      return;
    }
    if (word("INSERT") || word("UPDATE") || word("DELETE")) {
      const size_t end = statementEnd(i_);
      if (run) query(sqlOf(i_, end), [](Cursor&, std::vector<Value>&) {});
      i_ = end + 1;
      return;
    }
    if (word("OPEN")) {
      // OPEN :cursor FOR select;
      const size_t end = statementEnd(i_);
      if (i_ + 3 >= end || tokens_[i_ + 1].kind != TokenKind::Bind || tokens_[i_ + 2].text != "FOR")
        fail(i_, "OPEN of anything but a cursor bind");
      if (run) binds_.openCursor(0, tokens_[i_ + 1].text, sqlOf(i_ + 3, end), binds_);
      i_ = end + 1;
      return;
    }
    if (word("COMMIT") || word("ROLLBACK")) {
      const bool commit = word("COMMIT");
      ++i_;
      expectSymbol(";");
      if (run) commit ? session_.commit() : session_.rollback();
      return;
    }
    fail(i_, "this statement");
  }

  void selectInto(bool run) {
    const size_t begin = i_;
    const size_t end = statementEnd(i_);
    size_t into = end, from = end;
    int depth = 0;
    for (size_t k = begin; k < end; ++k) {
      const Token& t = tokens_[k];
      if (t.text == "(") ++depth;
      if (t.text == ")") --depth;
      if (depth == 0 && t.kind == TokenKind::Word && t.text == "INTO" && into == end) into = k;
      if (depth == 0 && t.kind == TokenKind::Word && t.text == "FROM" && into != end) {
        from = k;
        break;
      }
    }
    if (into == end || from == end) fail(begin, "a SELECT without INTO");
    std::vector<std::string> targets;
    for (size_t k = into + 1; k < from; ++k) {
      if (tokens_[k].kind == TokenKind::Bind)
        targets.push_back(tokens_[k].text);
      else if (tokens_[k].text != ",")
        fail(k, "INTO a target other than a bind");
    }
    i_ = end + 1;
    if (!run) return;
    int rows = 0;
    std::vector<Value> first;
    query(sqlOf(begin, into) + sqlOf(from, end), [&](Cursor&, std::vector<Value>& v) {
      if (++rows == 1) first = v;
    });
    if (rows == 0) throw OraError(1403, "no data found");
    if (rows > 1) throw OraError(1422, "exact fetch returns more than requested number of rows");
    if (first.size() != targets.size()) fail(into, "a different number of INTO targets and values");
    for (size_t k = 0; k < targets.size(); ++k) binds_.output(0, targets[k], first[k]);
  }

  void forLoop(bool run) {
    ++i_;
    const std::string record = name();
    expectWord("IN");
    std::string sql;
    if (symbol("(")) {
      size_t close = i_;
      for (int depth = 0; close < tokens_.size(); ++close) {
        if (tokens_[close].text == "(") ++depth;
        if (tokens_[close].text == ")" && --depth == 0) break;
      }
      sql = sqlOf(i_ + 1, close);
      i_ = close + 1;
    } else {
      const size_t at = i_;
      const auto it = cursors_.find(name());
      if (it == cursors_.end()) fail(at, "a loop over an undeclared cursor");
      sql = sqlOf(it->second.first, it->second.second);
    }
    expectWord("LOOP");
    const size_t body = i_;
    auto finish = [&] {
      expectWord("END");
      expectWord("LOOP");
      expectSymbol(";");
    };
    if (!run) {
      statements(false);
      return finish();
    }
    bool any = false;
    query(sql, [&](Cursor& cursor, std::vector<Value>& values) {
      any = true;
      Record r{record, {}, values};
      for (const ColumnInfo& c : cursor.columns()) r.columns.push_back(c.name);
      records_.push_back(std::move(r));
      i_ = body;
      statements(true);
      records_.pop_back();
    });
    if (!any) statements(false);
    finish();
  }

  void ifChain(bool run) {
    bool done = false;
    do {
      ++i_;  // IF or ELSIF
      const size_t begin = i_;
      while (i_ < tokens_.size() && !word("THEN")) ++i_;
      if (i_ == tokens_.size()) fail(begin, "IF without THEN");
      const bool take = run && !done && condition(begin, i_);
      ++i_;
      statements(take);
      done = done || take;
    } while (word("ELSIF"));
    if (word("ELSE")) {
      ++i_;
      statements(run && !done);
    }
    expectWord("END");
    expectWord("IF");
    expectSymbol(";");
  }

  Session& session_;
  std::string_view text_;
  std::vector<Token> tokens_;
  std::vector<std::string> names_;
  InnerBinds binds_;
  std::map<std::string, std::pair<size_t, size_t>> cursors_;
  std::vector<Record> records_;
  size_t i_ = 0;
  static constexpr int kMaxDepth = 64;
  int depth_ = 0;
};

bool isCompileErrorsBlock(const std::vector<Token>& t) {
  bool errors = false, result = false, startPos = false;
  for (const Token& k : t) {
    errors = errors || (k.kind == TokenKind::Word && (k.text == "USER_ERRORS" || k.text == "ALL_ERRORS"));
    result = result || (k.kind == TokenKind::Bind && k.text == "RES");
    startPos = startPos || (k.kind == TokenKind::Word && k.text == "STARTPOS");
  }
  return errors && result && startPos;
}

std::string trimLeft(std::string s) {
  s.erase(0, s.find_first_not_of(' '));
  return s;
}

// The listing: "line/position" padded to 8, then the message, its further lines indented by 10
// blanks, each line ended by a carriage return.
void compileErrors(Session& session, std::string_view text, BindAccess& binds) {
  const std::vector<std::string> names = rewriteSql(text).binds;
  InnerBinds inner(binds, names);
  // A listing by owner reads all_errors; without an owner, the session's own user_errors.
  const bool byOwner = std::find(names.begin(), names.end(), "OWNER") != names.end();
  Cursor cursor(session, byOwner ? "SELECT line, position, text FROM all_errors WHERE owner = :OWNER AND "
                                   "name = :NAME AND type = :TYPE ORDER BY sequence"
                                 : "SELECT line, position, text FROM user_errors WHERE name = :NAME AND "
                                   "type = :TYPE ORDER BY sequence");
  cursor.execute(inner, false);
  std::string res;
  std::vector<Value> row;
  while (cursor.fetch(row)) {
    std::string head = valueText(session, row[0], 0) + "/" + valueText(session, row[1], 0);
    head.resize(8, ' ');
    res += head;
    const std::string message = row[2].isNull() ? std::string() : valueText(session, row[2], 0);
    size_t start = 0;
    while (start < message.size()) {
      const size_t lf = message.find('\n', start);
      if (lf != std::string::npos && lf == start) {
        start = lf + 1;
        continue;
      }
      if (start > 0) res += std::string(10, ' ');
      res += trimLeft(message.substr(start, lf == std::string::npos ? std::string::npos : lf - start));
      res += '\r';
      if (lf == std::string::npos) break;
      start = lf + 1;
    }
  }
  inner.output(0, "RES", res.empty() ? Value{} : Value::text(res));
}

}  // namespace

void runBlock(Session& session, std::string_view text, BindAccess& binds) {
  if (isCompileErrorsBlock(scanSql(text))) return compileErrors(session, text, binds);
  Interpreter(session, text, binds).run();
}

}  // namespace ocistandin
