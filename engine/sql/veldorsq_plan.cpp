// The plan of a prepared query as a value: what the planning decided, in the order the run
// follows it, and its one-line text.
#include <sstream>

#include "engine/sql/veldorsq.h"
#include "engine/tables/veldorfilter.h"

namespace engine::sql {

std::string ExpTreeText(const TExpToken* n) {
  if (!n) return "";
  switch (n->kind) {
    case expColumn:
      return (n->tableName.empty() ? "" : n->tableName + ".") + n->columnName;
    case expUnary:
      return n->name + "(" + ExpTreeText(n->left) + ")";
    case expBinary:
      return "(" + ExpTreeText(n->left) + " " + n->name +
             (n->joinMark && n->code >= opEqual && n->code <= opLessEqual ? "#" + std::to_string(n->joinMark)
                                                                          : "") +
             " " + ExpTreeText(n->right) + ")";
    case expFunction:
    case expPredicate: {
      std::string s = n->name + "(";
      for (size_t i = 0; i < n->args.size(); ++i) s += (i ? "," : "") + ExpTreeText(n->args[i]);
      return s + ")";
    }
    default:
      return n->name;
  }
}

std::string TQueryPlan::ToString() const {
  static const char* const kKinds[] = {
      "?",           "SELECT",     "INSERT",       "UPDATE",    "DELETE", "CREATE TABLE",
      "ALTER TABLE", "DROP TABLE", "CREATE INDEX", "DROP INDEX"};
  std::ostringstream o;
  o << kKinds[Kind < std::size(kKinds) ? Kind : 0];
  for (const Table& t : Tables) {
    o << " " << t.Correlation;
    if (t.Correlation != FoldName(t.Name)) o << "=" << t.Name;
    for (const Join& j : t.Joins) o << " ->" << j.Inner << "#" << int(j.Kind) << j.Condition;
    for (const std::string& f : t.Filters) o << " filter" << f;
  }
  if (!Residual.empty()) o << " | residual" << Residual;
  if (!PostJoin.empty()) o << " | post" << PostJoin;
  if (!Having.empty()) o << " | having" << Having;
  if (Live) o << " | live";
  if (!Result.empty()) o << " | result " << Result;
  return o.str();
}

TQueryPlan TDataQuery::Plan() {
  TQueryPlan plan;
  plan.Kind = Kind;
  if (Kind == qkSelect || Kind == qkUpdate || Kind == qkDelete) {
    // The analysis a run begins with: filters, the driving table, the post-join condition.
    ResetForExecute();
    planWhere();
  }
  for (const auto& t : SourceTables) {
    TQueryPlan::Table& table = plan.Tables.emplace_back();
    table.Correlation = t->CorrelationName;
    table.Name = t->TableName;
    for (const auto& j : t->Joins)
      table.Joins.push_back({j->Inner.CorrelationName, j->Kind, ExpTreeText(j->Condition.get())});
    if (t->Cursor)
      for (const auto& f : t->Cursor->Filters()) table.Filters.push_back(ExpTreeText(f->Tree()));
  }
  plan.Residual = ExpTreeText(Conditions[csResidual].get());
  plan.PostJoin = ExpTreeText(Conditions[csPostJoin].get());
  plan.Having = ExpTreeText(Conditions[csHaving].get());
  plan.Live = ResultOnSourceTable;
  if (Kind == qkSelect && !ResultOnSourceTable && ResultCursor) {
    TDataCursor& r = *ResultCursor;
    std::string text;
    for (uint16_t n = 1; n <= r.FieldCount(); ++n)
      text += (text.empty() ? "" : ",") + r.GetFieldDesc(n).Name() +
              (r.GetFieldDesc(n).Bytes()[252] ? "(hidden)" : "");
    for (uint8_t slot = 1; slot <= r.GetIndexCount(); ++slot) {
      TIndexDescriptor index = r.GetIndexDesc(slot);
      text += " " + index.name + "(";
      for (uint8_t i = 0; i < index.fieldCount; ++i)
        text += (i ? "," : "") + std::to_string(index.fields[i]) + (index.fieldDescending[i] ? " DESC" : "");
      text += ")";
    }
    plan.Result = text;
  }
  return plan;
}

std::vector<TQueryPlan> TQueryStatement::Plan() {
  std::vector<TQueryPlan> plans;
  for (const auto& q : queries_) plans.push_back(q->Plan());
  return plans;
}

}  // namespace engine::sql
