// WHERE analysis: the conditions' type checks, and the place of each conjunct that concerns one
// source table (that table's cursor as an engine filter, or the post-join condition) recorded in
// the query's plan; each run puts the conjuncts there with the parameters' values of the run.
#include <algorithm>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldorfilter.h"
#include "engine/values/veldorexpcheck.h"

namespace engine::sql {

namespace {

bool resolveColumn(void* query, TExpToken& node) {
  return static_cast<TDataQuery*>(query)->BindColumnRef(node);
}

bool isComparison(const TExpToken& node) {
  return node.kind == expBinary && node.code >= opEqual && node.code <= opLessEqual;
}

}  // namespace

bool HoldsSubSelect(const TExpToken* node) {
  if (!node) return false;
  if (node->kind == expSubSelect || node->subSelect) return true;
  if (HoldsSubSelect(node->left) || HoldsSubSelect(node->right) || HoldsSubSelect(node->third)) return true;
  return std::any_of(node->args.begin(), node->args.end(), HoldsSubSelect);
}

TSourceTable* TDataQuery::FindSourceTable(std::string_view correlation) const {
  if (correlation.empty()) return SourceTables.empty() ? nullptr : SourceTables.front().get();
  return FindCorrelation(correlation);
}

namespace {

template <typename Test>
bool anyJoin(const TDataQuery& q, const TTableJoin* skip, const TSourceTable& table, Test test) {
  for (const auto& t : q.SourceTables)
    for (const auto& join : t->Joins)
      if (join.get() != skip && &join->Inner == &table && test(join->Kind)) return true;
  return false;
}

}  // namespace

bool TDataQuery::IsJoinTarget(const TTableJoin* skip, const TSourceTable& table) const {
  return anyJoin(*this, skip, table, [](uint8_t kind) { return kind != jkNone; });
}
bool TDataQuery::IsInnerJoinTarget(const TTableJoin* skip, const TSourceTable& table) const {
  return anyJoin(*this, skip, table, [](uint8_t kind) { return kind == jkInner; });
}
bool TDataQuery::IsOuterJoinTarget(const TTableJoin* skip, const TSourceTable& table) const {
  return anyJoin(*this, skip, table, [](uint8_t kind) { return kind == jkLeftOuter; });
}

void TDataQuery::CheckCondition(TExpToken* tree) {
  if (!tree) return;
  TypeCheckExpTree(VELDOR_SQLPARSE, "", "", true, true, resolveColumn, this, nullptr, *tree,
                   "WHERE or JOIN clause");
  if (tree->type != TEngineFieldType::Boolean) SqlError("WHERE or JOIN clause must be a boolean expression");
}

void TSourceTable::PrepareJoinConditions() {
  for (auto& join : Joins) Owner.CheckCondition(join->Condition.get());
}

void TDataQuery::CheckWhereCondition() {
  if (HasConditions) CheckCondition(Conditions[csWhere].get());
  if (WhereRowCheck) CheckCondition(Conditions[csResidual].get());
  for (auto& table : SourceTables) table->PrepareJoinConditions();
}

void TDataQuery::AddPostJoinCondition(TExpToken* tree) {
  AndCondition(Conditions[csPostJoin], tree);
  JoinRowCheck = true;
}

void TDataQuery::AddResidualCondition(TExpToken* tree) {
  AndCondition(Conditions[csResidual], tree);
  WhereRowCheck = true;
}

void TDataQuery::HandDownWhere(THandDownPass pass) {
  // The conjuncts' places are decided afresh by each analysis.
  if (pass == hpIndexed || ResultOnSourceTable) plan_.Conjuncts.clear();
  if (!HasConditions || !Conditions[csWhere]) return;
  if (WithTree(Conditions[csWhere], [&](TExpToken*& tree) { return SplitWhere(pass, tree); }))
    HasConditions = false;
}

bool TDataQuery::SplitWhere(THandDownPass pass, TExpToken*& node) {
  if (!node) return false;
  auto single = [&](TExpToken* tree, std::string& name) {
    bool multiple = false;
    name = TableReference(*this, tree, multiple);
    return !multiple;
  };
  auto tableOf = [&](const std::string& name) {
    TSourceTable* table = FindSourceTable(name);
    if (!table)
      SqlError("Table correlation name '" + name + "'" +
               " referenced in WHERE clause is not defined in the FROM clause");
    return table;
  };
  std::string name, other;
  // An OR, or a NOT, is one conjunct: its sides are no conditions of their own.
  if (node->kind == expUnary || (node->kind == expBinary && node->code == opOr)) {
    if (single(node, name)) {
      HandDownConjunct(pass, *node, *tableOf(name));
    } else if (pass == hpUnindexed) {
      plan_.Conjuncts.push_back({node, nullptr, cpPostJoin});
    }
    return false;
  }
  if (node->kind == expBinary && node->code == opAnd) {
    // Both sides from the same clause: an ON conjunct ANDed with a WHERE test of the same table
    // would move with it behind an outer join, and drop the rows that the join keeps.
    const bool oneClause = node->left && node->right && node->left->onClause == node->onClause &&
                           node->right->onClause == node->onClause;
    if (oneClause && single(node->left, name) && single(node->right, other) &&
        !IsJoinCondition(*this, node->left, false) && !IsJoinCondition(*this, node->right, false) &&
        name == other) {
      HandDownConjunct(pass, *node, *tableOf(name));
      return false;
    }
    bool leftGone = SplitWhere(pass, node->left);
    bool rightGone = SplitWhere(pass, node->right);
    return ReplaceByRemainder(node, leftGone, rightGone);
  }
  if (isComparison(*node)) {
    bool leftColumns = ExpTreeHasColumnRef(node->left), rightColumns = ExpTreeHasColumnRef(node->right);
    bool leftSingle = single(node->left, name), rightSingle = single(node->right, other);
    if (leftColumns && rightColumns) {
      if (!leftSingle || !rightSingle || name != other) SqlError("Internal table filter error");
    } else if (leftColumns || rightColumns) {
      if (!(leftColumns ? leftSingle : rightSingle)) SqlError("Internal table filter error");
      if (rightColumns) name = other;
    } else {
      name.clear();
    }
    HandDownConjunct(pass, *node, *tableOf(name));
    return false;
  }
  if (node->kind == expPredicate) {
    if (!single(node->GetArgument(0), name)) SqlError("Internal table filter error");
    HandDownConjunct(pass, *node, *tableOf(name));
  }
  return false;
}

namespace {

// Whether a filter of `tree` can be set at preparation: no parameter (its value comes with the
// run) and no sub-select (its rows come with the run).
bool knownAtPreparation(const TExpToken* tree) {
  if (!tree) return true;
  if (tree->isParameter || tree->kind == expSubSelect || tree->subSelect) return false;
  if (!knownAtPreparation(tree->left) || !knownAtPreparation(tree->right) || !knownAtPreparation(tree->third))
    return false;
  return std::all_of(tree->args.begin(), tree->args.end(), knownAtPreparation);
}

// A parameter still without its value (a statement is prepared before its values are given)
// rates as a value of the type it is compared with, so that a conjunct an index serves at the
// run is placed as one in the plan.
void standInParameters(TExpToken* node) {
  if (!node) return;
  auto fill = [](TExpToken* parameter, const TExpToken* other) {
    if (!parameter || !other || !parameter->isParameter) return;
    if (!parameter->isNull && parameter->type != TEngineFieldType::Unknown) return;
    parameter->type = other->type;
    parameter->subType = other->subType;
    parameter->scale = other->scale;
    parameter->SetValueSize(std::max<uint32_t>(other->valueSize, 1));
    std::fill(parameter->Value(), parameter->Value() + parameter->ValueCapacity(), uint8_t(0));
    parameter->isNull = false;
  };
  if (node->kind == expBinary) {
    fill(node->left, node->right);
    fill(node->right, node->left);
  }
  if (node->kind == expPredicate)
    for (size_t i = 1; i < node->args.size(); ++i) fill(node->args[i], node->args[0]);
  standInParameters(node->left);
  standInParameters(node->right);
  standInParameters(node->third);
  for (TExpToken* argument : node->args) standInParameters(argument);
}

// A column of `table` equal to a constant of the column's own integral type, where an index
// leads with the column (the one a run's key search takes, EqualityKeyIndex): the rating finds
// that index serves it, and the copy it would prepare is not needed.
bool servedByKeyIndex(const TExpToken& conjunct, TSourceTable& table) {
  if (conjunct.kind != expBinary || conjunct.code != opEqual || !conjunct.left || !conjunct.right)
    return false;
  const TExpToken* column = conjunct.left;
  const TExpToken* value = conjunct.right;
  if (column->kind != expColumn) std::swap(column, value);
  if (column->kind != expColumn || column->sourceTable != &table || value->kind != expConstant ||
      value->isNull || value->isParameter || value->subSelect || value->type != column->type)
    return false;
  TDataCursor* cursor = table.Cursor.get();
  if (!cursor || cursor->IsRemote() || column->fieldNo < 1 || column->fieldNo > table.FieldCount() ||
      TEngineFieldType(cursor->GetFieldDesc(column->fieldNo).Type()) != column->type)
    return false;
  return EqualityKeyIndex(*cursor, column->fieldNo) != kNoCurrentIndex;
}

}  // namespace

void TDataQuery::HandDownConjunct(THandDownPass pass, const TExpToken& conjunct, TSourceTable& table) {
  auto place = [&](TConjunctPlace where) {
    plan_.Conjuncts.push_back({&conjunct, &table, where});
    // The choice of the driving table compares counts that the index-served filters shrink.
    if (countFilters_ && where == cpCursorFilter && knownAtPreparation(&conjunct))
      putConjunct(plan_.Conjuncts.back());
  };
  if (ResultOnSourceTable || CountStarOnly || conjunct.onClause) {
    // A live result runs pass 0 alone, any other pass 1 first.
    if (pass == hpIndexed || ResultOnSourceTable) place(cpCursorFilter);
    return;
  }
  bool served = false;
  const auto known =
      std::find_if(rated_.begin(), rated_.end(), [&](const auto& r) { return r.first == &conjunct; });
  if (known != rated_.end()) {
    served = known->second;
  } else if (!MultiTable && servedByKeyIndex(conjunct, table)) {
    served = true;
    rated_.emplace_back(&conjunct, served);
  } else {
    TExpTreePtr copy(PrepareExpTree(&conjunct, nullptr, ReadSourceColumn, false, false, SortId, LanguageId));
    standInParameters(copy.get());
    served = table.Cursor->GetExpressionOptimizeLevel(copy.get(), 0, true) != 0;
    // Over one table nothing changes between the passes that could rate it otherwise.
    if (!MultiTable) rated_.emplace_back(&conjunct, served);
  }
  if (served != (pass == hpIndexed)) return;
  bool postJoin = pass == hpIndexed
                      ? MultiTable && IsOuterJoinTarget(nullptr, table)
                      : !MultiTable || IsInnerJoinTarget(nullptr, table) || IsOuterJoinTarget(nullptr, table);
  place(postJoin ? cpPostJoin : cpCursorFilter);
}

TExpTreePtr TDataQuery::PrepareResidual() const {
  return TExpTreePtr(
      PrepareExpTree(plan_.Residual, nullptr, ReadSourceColumn, false, false, SortId, LanguageId));
}

void TDataQuery::putConjunct(const TQueryPlan::Conjunct& conjunct) {
  TExpTreePtr copy(
      PrepareExpTree(conjunct.Tree, nullptr, ReadSourceColumn, false, false, SortId, LanguageId));
  if (conjunct.Place == cpPostJoin) {
    AddPostJoinCondition(copy.release());
    return;
  }
  TDataCursor& cursor = *conjunct.Table->Cursor;
  TFilter* added = cursor.AddFilter(nullptr, nullptr, copy.get(), true, nullptr, false, false, false, false);
  copy.release();
  cursor.ActivateFilter(added);
}

}  // namespace engine::sql
