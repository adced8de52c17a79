// INSERT, UPDATE and DELETE.
#include "engine/base/veldorhelpers.h"
#include "engine/sql/veldorsq.h"
#include "engine/sql/veldorsq_tokens.h"

namespace engine::sql {

void TDataQuery::ParseInsert() {
  TExpressionParser& p = Owner.Parser();
  RequestLive = true;
  p.NextToken();
  ExpectKeyword(p, "INTO", "INTO keyword expected, instead found '");
  if (!IsName(p)) FoundError(p, "Table name expected after INTO clause, instead found '");
  TSourceTable& target = addSourceTable(false);
  if (AcceptKeyword(p, "MEMORY")) target.InMemory = true;
  target.SetTableName(ExpectName(p, "Table name expected after INTO keyword, instead found '"));
  if (IsName(p) && !p.IsKeyword("VALUES") && !p.IsKeyword("SELECT")) {
    target.SetCorrelationName(p.GetTokenText());
    p.NextToken();
  }

  if (p.IsTokenKind('(')) {
    p.NextToken();
    for (;;) {
      auto& field = *UpdateFields.emplace_back(std::make_unique<TUpdateField>(*this));
      TClauseParser(*this).ParseTableColumn(field, false);
      if (!p.IsTokenKind(',')) break;
      p.NextToken();
    }
    ExpectToken(p, ')', "Right parentheses expected after list of table columns, instead found '");
  } else {
    UpdateFields.emplace_back(std::make_unique<TUpdateField>(*this))->ColumnName = "*";
  }

  if (AcceptKeyword(p, "VALUES")) {
    ExpectToken(p, '(', "Left parentheses expected after VALUES keyword, instead found '");
    for (;;) {
      auto& value = *UpdateValues.emplace_back(std::make_unique<TUpdateValue>(*this));
      TClauseParser(*this).ParseValue(value);
      if (!p.IsTokenKind(',')) break;
      p.NextToken();
    }
    ExpectToken(p, ')', "Right parentheses expected after list of values, instead found '");
  } else if (p.IsKeyword("SELECT")) {
    InsertFromSelect = true;
    TDataQuery& select = Owner.NewQuery();
    SelectQuery = &select;
    select.RequestLive = true;
    select.insertSelect_ = true;
    select.Parse(true, 0);
  } else {
    FoundError(p, "VALUES or SELECT  keyword expected, instead found '");
  }
  if (AcceptKeyword(p, "NOAUTOINC")) NoAutoInc = true;
  parseCommitClause();
  expectStatementEnd("INSERT");
}

void TDataQuery::ParseUpdate() {
  TExpressionParser& p = Owner.Parser();
  RequestLive = true;
  p.NextToken();
  if (!IsName(p)) FoundError(p, "Table name expected, instead found '");
  TSourceTable& target = addSourceTable(false);
  if (AcceptKeyword(p, "MEMORY")) target.InMemory = true;
  target.SetTableName(ExpectName(p, "Table name expected, instead found '"));
  if (AcceptKeyword(p, "AS")) {
    target.SetCorrelationName(ExpectName(p, "Symbol or string expected after AS keyword, instead found '"));
  } else if (IsName(p) && !p.IsKeyword("SET")) {
    target.SetCorrelationName(p.GetTokenText());
    p.NextToken();
  }

  ExpectKeyword(p, "SET", "SET keyword expected, instead found '");
  // Room for the usual lists at once, where each doubling would take a buffer of its own.
  UpdateFields.reserve(32);
  UpdateValues.reserve(32);
  for (;;) {
    auto& field = *UpdateFields.emplace_back(std::make_unique<TUpdateField>(*this));
    TClauseParser(*this).ParseTableColumn(field, true);
    ExpectToken(p, '=', "Assignment (=) operator expected after column name, instead found '");
    auto& value = *UpdateValues.emplace_back(std::make_unique<TUpdateValue>(*this));
    TClauseParser(*this).ParseValue(value);
    if (!p.IsTokenKind(',')) break;
    p.NextToken();
  }

  static constexpr std::string_view kEnds[] = {"LEFT", "RIGHT",     "INNER",  "JOIN",          "WHERE",
                                               "FULL", "NOAUTOINC", "COMMIT", "NOJOINOPTIMIZE"};
  if (AcceptKeyword(p, "FROM")) {
    // The first item names the updated table again, so that joins can refer to it.
    bool memory = AcceptKeyword(p, "MEMORY");
    std::string name = ExpectName(p, "Table name expected after FROM keyword, instead found '");
    std::string correlation;
    if (AcceptKeyword(p, "AS")) {
      correlation = ExpectName(p, "Symbol or string expected after AS keyword, instead found '");
    } else if (IsName(p) && !IsAnyKeyword(p, kEnds)) {
      correlation = EngineString(p.GetTokenText());
      p.NextToken();
    }
    if (FoldName(ExtractFileBaseName(name, ".DAT")) != FoldName(target.TableName) ||
        (memory && !target.InMemory) ||
        (!correlation.empty() && FoldName(correlation) != target.CorrelationName))
      SqlError(
          "The first source table specified in FROM clause must match the table being updated in the UPDATE "
          "statement");
    parseJoins("UPDATE");
    while (p.IsTokenKind(',')) {
      p.NextToken();
      MultiTable = true;
      parseSourceItem(false, kEnds);
      parseJoins("UPDATE");
    }
  }
  if (AcceptKeyword(p, "WHERE")) {
    HasConditions = true;
    TClauseParser(*this).ParseCondition(jkNone, 0, true);
  }
  if (AcceptKeyword(p, "NOAUTOINC")) NoAutoInc = true;
  parseCommitClause();
  if (AcceptKeyword(p, "NOJOINOPTIMIZE")) NoJoinOptimize = true;
  expectStatementEnd("UPDATE");
}

void TDataQuery::ParseDelete() {
  TExpressionParser& p = Owner.Parser();
  RequestLive = true;
  p.NextToken();
  ExpectKeyword(p, "FROM", "FROM keyword expected, instead found '");
  static constexpr std::string_view kEnds[] = {"LEFT",  "RIGHT",  "INNER",          "JOIN",
                                               "WHERE", "COMMIT", "NOJOINOPTIMIZE", "FULL"};
  parseSources("DELETE", kEnds);
  if (AcceptKeyword(p, "WHERE")) {
    HasConditions = true;
    TClauseParser(*this).ParseCondition(jkNone, 0, true);
  }
  parseCommitClause();
  if (AcceptKeyword(p, "NOJOINOPTIMIZE")) NoJoinOptimize = true;
  expectStatementEnd("DELETE");
}

}  // namespace engine::sql
