// The dispatcher and the SELECT parser, with the pieces the other statement parsers share:
// source items and joins, the COMMIT clause, LANGUAGE/SORT and ENCRYPTED WITH.
#include <charconv>
#include <cstdint>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/base/veldorlocale.h"
#include "engine/sql/veldorsq.h"
#include "engine/sql/veldorsq_tokens.h"

namespace engine::sql {

bool IsName(const TExpressionParser& p) {
  return p.IsTokenKind(tkSymbol) || p.IsTokenKind(tkString);
}

bool IsNameOrBracket(const TExpressionParser& p) {
  return IsName(p) || p.IsTokenKind(tkBracketName);
}

bool IsAnyKeyword(const TExpressionParser& p, std::span<const std::string_view> words) {
  for (std::string_view w : words)
    if (p.IsKeyword(w)) return true;
  return false;
}

void FoundError(const TExpressionParser& p, std::string_view message) {
  SqlError(std::string(message) + p.GetTokenText() + "'");
}

bool AcceptKeyword(TExpressionParser& p, std::string_view word) {
  if (!p.IsKeyword(word)) return false;
  p.NextToken();
  return true;
}

void ExpectKeyword(TExpressionParser& p, std::string_view word, std::string_view message) {
  if (!AcceptKeyword(p, word)) FoundError(p, message);
}

void ExpectToken(TExpressionParser& p, int kind, std::string_view message) {
  if (!p.IsTokenKind(kind)) FoundError(p, message);
  p.NextToken();
}

int32_t ExpectInteger(TExpressionParser& p, std::string_view message, int32_t minimum, int32_t maximum) {
  int32_t value = 0;
  std::string text = p.GetTokenText();
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (!p.IsTokenKind(tkInteger) || ec != std::errc() || end != text.data() + text.size() || value < minimum ||
      value > maximum)
    FoundError(p, message);
  p.NextToken();
  return value;
}

std::string OptionText(TExpressionParser& p, std::string_view keyword) {
  if (p.IsTokenKind(tkEnd))
    FoundError(p, "Value expected after " + std::string(keyword) + " keyword, instead found '");
  std::string text = EngineString(p.GetTokenText());
  p.NextToken();
  return text;
}

std::string ExpectName(TExpressionParser& p, std::string_view message) {
  if (!IsName(p)) FoundError(p, message);
  std::string name = EngineString(p.GetTokenText());
  p.NextToken();
  return name;
}

// ---- Dispatcher ----

void TDataQuery::Parse(bool isSubQuery, uint8_t unionKind) {
  if (Executed) return;
  bool subSelect = isSubQuery || IsSubQuery;
  Reset();
  IsSubQuery = subSelect;
  unionPart_ = unionKind != 0;
  TExpressionParser& p = Owner.Parser();
  if (subSelect || unionKind != 0) {
    // Sub-selects and UNION parts are parsed within the query that holds them: their depth is
    // counted over the whole statement, so that no text can exhaust the stack.
    auto level = Owner.EnterNesting();
    if (!p.IsKeyword("SELECT")) FoundError(p, "SELECT keyword expected, instead found '");
    Kind = qkSelect;
    ParseSelect();
    return;
  }
  if (p.IsKeyword("SELECT")) {
    Kind = qkSelect;
    ParseSelect();
  } else if (p.IsKeyword("INSERT")) {
    Kind = qkInsert;
    ParseInsert();
  } else if (p.IsKeyword("UPDATE")) {
    Kind = qkUpdate;
    ParseUpdate();
  } else if (p.IsKeyword("DELETE")) {
    Kind = qkDelete;
    ParseDelete();
  } else if (AcceptKeyword(p, "CREATE")) {
    if (AcceptKeyword(p, "TABLE")) {
      Kind = qkCreateTable;
      ParseCreateTable();
    } else if (IsAnyKeyword(p,
                            {"INDEX", "IF", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE"})) {
      Kind = qkCreateIndex;
      ParseCreateIndex();
    } else {
      FoundError(p, "TABLE or INDEX keyword expected, instead found '");
    }
  } else if (AcceptKeyword(p, "ALTER")) {
    ExpectKeyword(p, "TABLE", "TABLE keyword expected, instead found '");
    Kind = qkAlterTable;
    ParseAlterTable();
  } else if (AcceptKeyword(p, "DROP")) {
    if (AcceptKeyword(p, "TABLE")) {
      Kind = qkDropTable;
      ParseDropTable();
    } else if (AcceptKeyword(p, "INDEX")) {
      Kind = qkDropIndex;
      ParseDropIndex();
    } else {
      FoundError(p, "TABLE or INDEX keyword expected, instead found '");
    }
  } else {
    FoundError(p, "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found '");
  }
}

void TDataQuery::expectStatementEnd(std::string_view statement) {
  TExpressionParser& p = Owner.Parser();
  if (p.IsTokenKind(';')) {
    p.NextToken();
  } else if (!p.IsTokenKind(tkEnd)) {
    FoundError(p, "End of " + std::string(statement) + " statement expected, instead found '");
  }
}

// ---- Source tables ----

TSourceTable& TDataQuery::addSourceTable(bool atFront) {
  // Planning a join compares every table with every other: a bound keeps that quick.
  if (SourceTables.size() >= kMaxSourceTables)
    SqlError("Maximum number of tables (" + std::to_string(kMaxSourceTables) + ") in FROM clause exceeded");
  auto table = std::make_unique<TSourceTable>(*this);
  table->TableNumber = int32_t(SourceTables.size()) + 1;
  TSourceTable& added = *table;
  SourceTables.insert(atFront ? SourceTables.begin() : SourceTables.end(), std::move(table));
  return added;
}

void TDataQuery::checkCorrelation(const TSourceTable& table) {
  for (const auto& other : SourceTables)
    if (other.get() != &table && other->CorrelationName == table.CorrelationName)
      SqlError("Duplicate table correlation name '" + table.CorrelationName + "'" +
               " found in source tables");
}

TSourceTable& TDataQuery::parseSourceItem(bool atFront, std::span<const std::string_view> excluded) {
  TExpressionParser& p = Owner.Parser();
  // A RIGHT JOIN's table becomes the outer one: it goes to the front.
  TSourceTable& table = addSourceTable(atFront);
  if (AcceptKeyword(p, "MEMORY")) table.InMemory = true;
  table.SetTableName(ExpectName(p, excluded.size() == 0
                                       ? "Table name expected after JOIN keyword, instead found '"
                                       : "Table name expected after FROM keyword, instead found '"));
  if (AcceptKeyword(p, "AS")) {
    table.SetCorrelationName(ExpectName(p, "Symbol or string expected after AS keyword, instead found '"));
  } else if (IsName(p) && !IsAnyKeyword(p, excluded) && !(excluded.size() == 0 && p.IsKeyword("ON"))) {
    table.SetCorrelationName(p.GetTokenText());
    p.NextToken();
  }
  checkCorrelation(table);
  return table;
}

void TDataQuery::parseJoins(std::string_view statement) {
  TExpressionParser& p = Owner.Parser();
  for (;;) {
    uint8_t kind;
    if (AcceptKeyword(p, "JOIN")) {
      kind = jkInner;
    } else if (AcceptKeyword(p, "INNER")) {
      ExpectKeyword(p, "JOIN", "JOIN keyword expected after INNER keyword, instead found '");
      kind = jkInner;
    } else if (AcceptKeyword(p, "LEFT")) {
      AcceptKeyword(p, "OUTER");
      ExpectKeyword(p, "JOIN", "JOIN keyword expected after LEFT or OUTER keyword, instead found '");
      kind = jkLeftOuter;
    } else if (AcceptKeyword(p, "RIGHT")) {
      AcceptKeyword(p, "OUTER");
      ExpectKeyword(p, "JOIN", "JOIN keyword expected after RIGHT or OUTER keyword, instead found '");
      kind = jkRightOuter;
    } else if (p.IsKeyword("FULL")) {
      SqlError("Full outer joins are currently not supported in VELDOR SQL " + std::string(statement) +
               " statements");
    } else {
      return;
    }
    TSourceTable& joined = parseSourceItem(kind == jkRightOuter, {});
    ExpectKeyword(p, "ON", "ON keyword expected in JOIN clause, instead found '");
    TClauseParser(*this).ParseCondition(kind, uint16_t(joined.TableNumber), false);
    MultiTable = true;
    HasConditions = true;
  }
}

void TDataQuery::parseSources(std::string_view statement, std::span<const std::string_view> excluded) {
  TExpressionParser& p = Owner.Parser();
  for (;;) {
    parseSourceItem(false, excluded);
    parseJoins(statement);
    if (!p.IsTokenKind(',')) return;
    p.NextToken();
    MultiTable = true;
  }
}

// ---- Clauses shared with the other statements ----

void TDataQuery::parseCommitClause() {
  TExpressionParser& p = Owner.Parser();
  if (!AcceptKeyword(p, "COMMIT")) return;
  if (AcceptKeyword(p, "INTERVAL")) {
    // An interval of 0 rows has no meaning (and would divide by zero when the rows are counted
    // out): it is refused like any other text that is not a row count.
    CommitInterval =
        ExpectInteger(p, "Integer value greater than 0 expected after INTERVAL keyword, instead found '", 1);
    CommitIntervalGiven = true;
    if (AcceptKeyword(p, "FLUSH")) CommitFlush = true;
  } else if (AcceptKeyword(p, "FLUSH")) {
    CommitFlush = true;
  } else {
    FoundError(p, "INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found '");
  }
}

void TDataQuery::parseLanguage() {
  TExpressionParser& p = Owner.Parser();
  if (!AcceptKeyword(p, "LANGUAGE")) return;
  std::string language = p.GetTokenText();
  if (p.IsTokenKind(tkEnd) || !IsLanguageName(language))
    SqlError("Invalid language constant '" + language + "'" + " specified after LANGUAGE keyword");
  p.NextToken();
  LanguageId = GetLanguageId(language);
  LanguageGiven = true;
  if (!AcceptKeyword(p, "SORT")) return;
  std::string sort = p.GetTokenText();
  if (p.IsTokenKind(tkEnd) || !IsSortOrderName(LanguageId, sort))
    SqlError("Invalid sort constant '" + sort + "'" + " specified after SORT keyword");
  p.NextToken();
  SortId = GetSortOrderId(LanguageId, sort);
  SortGiven = true;
}

void TDataQuery::parseEncryption(bool setGiven) {
  TExpressionParser& p = Owner.Parser();
  if (!AcceptKeyword(p, "ENCRYPTED")) return;
  ExpectKeyword(p, "WITH", "WITH keyword expected after ENCRYPTED keyword, instead found '");
  if (p.IsTokenKind(tkEnd) || p.IsTokenKind(';'))
    FoundError(p, "Password expected after WITH keyword, instead found '");
  Password = EngineString(p.GetTokenText());
  p.NextToken();
  Encrypted = !Password.empty();
  if (setGiven) EncryptionGiven = true;
}

// ---- SELECT ----

namespace {

void parseOrderItem(TExpressionParser& p, std::string& table, std::string& column, int32_t& number,
                    bool& byNumber, std::string_view message) {
  if (IsNameOrBracket(p)) {
    column = EngineString(p.GetTokenText());
    p.NextToken();
    if (p.IsTokenKind('.')) {
      p.NextToken();
      if (!IsNameOrBracket(p)) FoundError(p, message);
      table = column;
      column = EngineString(p.GetTokenText());
      p.NextToken();
    }
  } else if (p.IsTokenKind(tkInteger)) {
    // Any integer is a column number here; binding refuses one outside the select list.
    number = ExpectInteger(p, message, 0);
    byNumber = true;
  } else {
    FoundError(p, message);
  }
}

}  // namespace

void TDataQuery::ParseSelect() {
  TExpressionParser& p = Owner.Parser();
  p.NextToken();
  AcceptKeyword(p, "ALL");
  if (AcceptKeyword(p, "DISTINCT")) Distinct = true;

  for (;;) {
    auto& field = *ResultFields.emplace_back(std::make_unique<TResultField>(*this));
    TClauseParser(*this).ParseResultColumn(field);
    bool aliased = false;
    if (AcceptKeyword(p, "AS")) {
      if (!IsNameOrBracket(p)) FoundError(p, "Symbol or string expected after AS keyword, instead found '");
      aliased = true;
    } else if (IsNameOrBracket(p) && !p.IsKeyword("INTO") && !p.IsKeyword("FROM")) {
      aliased = true;
    }
    if (aliased) {
      field.Alias = EngineString(p.GetTokenText());
      field.Visible = false;
      p.NextToken();
      if (p.IsTokenKind('.')) {
        p.NextToken();
        if (!IsNameOrBracket(p))
          FoundError(p, "Symbol or string expected after table correlation name, instead found '");
        field.Alias = EngineString(p.GetTokenText());
        p.NextToken();
      }
    }
    if (!p.IsTokenKind(',')) break;
    p.NextToken();
  }
  SelectStar = ResultFields.size() == 1 && !ResultFields[0]->Expression &&
               ResultFields[0]->AggregateKind == 0 && ResultFields[0]->ColumnName == "*" &&
               ResultFields[0]->TableName.empty();

  if (AcceptKeyword(p, "INTO")) {
    if (this != Owner.MasterQuery()) SqlError("The INTO clause can only be used with the master query");
    RequestLive = false;
    if (AcceptKeyword(p, "MEMORY")) {
      InMemory = true;
      if (IsName(p) && !p.IsKeyword("FROM")) TargetTableName = ExpectName(p, "");
    } else {
      TargetTableName = ExpectName(p, "Result table name expected in INTO clause, instead found '");
    }
  }

  ExpectKeyword(p, "FROM", "FROM keyword expected, instead found '");
  // The last two words end a name only in the SELECT of an INSERT.
  static constexpr std::string_view kEnds[] = {
      "LEFT", "RIGHT", "INNER", "JOIN", "WHERE",     "UNION",    "ORDER",          "GROUP",     "HAVING",
      "TOP",  "RANGE", "WITH",  "FULL", "ENCRYPTED", "LANGUAGE", "NOJOINOPTIMIZE", "NOAUTOINC", "COMMIT"};
  parseSources("SELECT", std::span(kEnds).first(insertSelect_ ? std::size(kEnds) : std::size(kEnds) - 2));

  if (AcceptKeyword(p, "WHERE")) {
    HasConditions = true;
    TClauseParser(*this).ParseCondition(jkNone, 0, true);
  }
  auto withLocks = [&] {
    if (!AcceptKeyword(p, "WITH")) return;
    ExpectKeyword(p, "LOCKS", "LOCKS keyword expected after WITH keyword, instead found '");
    WithLocks = true;
  };
  withLocks();
  if (AcceptKeyword(p, "NOJOINOPTIMIZE")) NoJoinOptimize = true;

  if (AcceptKeyword(p, "UNION")) {
    UnionKind = AcceptKeyword(p, "ALL") ? 2 : 1;
    TDataQuery& part = Owner.NewQuery();
    UnionQuery = &part;
    part.insertSelect_ = insertSelect_;
    part.Parse(false, UnionKind);
    part.RequestLive = false;
    if (!unionPart_) planUnionDistinct();
  }
  // The clauses after the last part belong to the query that began the chain.
  if (unionPart_) return;

  if (AcceptKeyword(p, "GROUP")) {
    ExpectKeyword(p, "BY", "BY keyword expected after GROUP keyword, instead found '");
    GroupByGiven = true;
    do {
      if (!GroupBy.empty()) p.NextToken();
      auto& item = *GroupBy.emplace_back(std::make_unique<TGroupByField>(*this));
      parseOrderItem(p, item.TableName, item.ColumnName, item.ColumnNumber, item.ByNumber,
                     "Column name or column number expected in GROUP BY clause, instead found '");
    } while (p.IsTokenKind(','));
  }
  if (AcceptKeyword(p, "HAVING")) {
    HavingGiven = true;
    Having = true;
    TClauseParser(*this).ParseHaving();
  }
  if (AcceptKeyword(p, "ORDER")) {
    ExpectKeyword(p, "BY", "BY keyword expected after ORDER keyword, instead found '");
    OrderByGiven = true;
    do {
      if (!OrderBy.empty()) p.NextToken();
      auto& item = *OrderBy.emplace_back(std::make_unique<TOrderByField>(*this));
      parseOrderItem(p, item.TableName, item.ColumnName, item.ColumnNumber, item.ByNumber,
                     "Column name or column number expected in ORDER BY clause, instead found '");
      if (AcceptKeyword(p, "ASC") || AcceptKeyword(p, "ASCENDING")) {
        item.Descending = false;
      } else if (AcceptKeyword(p, "DESC") || AcceptKeyword(p, "DESCENDING")) {
        item.Descending = true;
      }
    } while (p.IsTokenKind(','));
    if (AcceptKeyword(p, "NOCASE")) OrderByNoCase = true;
  }
  if (AcceptKeyword(p, "TOP"))
    Top = ExpectInteger(p, "Integer value expected after TOP keyword, instead found '", 0);
  withLocks();
  parseLanguage();
  parseEncryption(false);
  if (AcceptKeyword(p, "NOJOINOPTIMIZE")) NoJoinOptimize = true;
  if (!IsSubQuery) expectStatementEnd("SELECT");
}

void TDataQuery::planUnionDistinct() {
  std::vector<TDataQuery*> parts;
  size_t last = 0;
  for (TDataQuery* q = this; q; q = q->UnionQuery) {
    if (!parts.empty() && parts.back()->UnionKind == 1) last = parts.size();
    parts.push_back(q);
  }
  const bool together = last > 0 || Distinct;
  bool alone = false;
  for (size_t i = last + 1; i < parts.size(); ++i) alone = alone || parts[i]->Distinct;
  Distinct = together || alone;
  // One unique index over the result columns serves where every row is distinct from every other.
  unionTagged_ = alone || (together && last + 1 < parts.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    TDataQuery& q = *parts[i];
    q.unionTagPerRow_ = i <= last ? !together : !q.Distinct;
    // Groups take 0 and up, each row of a part that keeps its rows a value below 0 of its own.
    q.unionTag_ = q.unionTagPerRow_ ? -(int64_t(i + 1) << 32) : i <= last ? 0 : int64_t(i);
  }
}

}  // namespace engine::sql
