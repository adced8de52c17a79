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
  std::string postJoin;
  for (const Conjunct& c : Conjuncts)
    if (c.Place == cpPostJoin)
      postJoin =
          postJoin.empty() ? ExpTreeText(c.Tree) : "(" + postJoin + " AND " + ExpTreeText(c.Tree) + ")";
  for (const TSourceTable* t : Order) {
    o << " " << t->CorrelationName;
    if (t->CorrelationName != FoldName(t->TableName)) o << "=" << t->TableName;
    for (const auto& j : t->Joins)
      o << " ->" << j->Inner.CorrelationName << "#" << int(j->Kind) << ExpTreeText(j->Condition.get());
    for (const Conjunct& c : Conjuncts)
      if (c.Place == cpCursorFilter && c.Table == t) o << " filter" << ExpTreeText(c.Tree);
  }
  if (Residual) o << " | residual" << ExpTreeText(Residual);
  if (!postJoin.empty()) o << " | post" << postJoin;
  if (Having) o << " | having" << ExpTreeText(Having);
  if (Live) o << " | live";
  if (Kind == qkSelect && !Live && Result) {
    TDataCursor& r = *Result;
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
    o << " | result " << text;
  }
  return o.str();
}

std::vector<TQueryPlan> TQueryStatement::Plan() {
  std::vector<TQueryPlan> plans;
  for (const auto& q : queries_) plans.push_back(q->Plan());
  return plans;
}

}  // namespace engine::sql
