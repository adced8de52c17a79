// Join planning: join conditions taken out of the WHERE and ON conditions and given to the
// table pair they link, the order of the source tables, the check that no table is looked up
// twice, and the choice of a smaller driving table when the query is prepared.
#include <algorithm>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/values/veldorexpcheck.h"

namespace engine::sql {

namespace {

bool isComparison(const TExpToken& node) {
  return node.kind == expBinary && node.code >= opEqual && node.code <= opLessEqual;
}

void swapOperands(TExpToken& node) {
  static constexpr uint8_t kMirror[] = {0,      0,         0,           opEqual,       opNotEqual,
                                        opLess, opGreater, opLessEqual, opGreaterEqual};
  static constexpr const char* kNames[] = {"", "", "", "=", "<>", ">", "<", ">=", "<="};
  std::swap(node.left, node.right);
  node.code = kMirror[node.code];
  node.name = kNames[node.code];
}

// A comparison whose column stands on the right, below NOT, AND or OR, is turned to put it on the
// left, as a filter given as text is: a constant side is then taken in its column's type wherever
// the comparison lies, so WHERE p and WHERE NOT p split the rows between them.
void columnsLeft(TExpToken* node) {
  if (!node) return;
  if (node->kind == expUnary) return columnsLeft(node->left);
  if (node->kind != expBinary) return;
  if (isComparison(*node)) {
    if (!ExpTreeHasColumnRef(node->left) && ExpTreeHasColumnRef(node->right)) swapOperands(*node);
    return;
  }
  columnsLeft(node->left);
  columnsLeft(node->right);
}

// Raises `table` above `over`: one deeper, and its joined tables after it.
void raiseAbove(TSourceTable& table, const TSourceTable& over) {
  table.JoinDepth = uint16_t(over.JoinDepth + 1);
  table.SetJoinDepth();
}

// Whether `to` is `from` or is reached from it along joins with a kind.
bool reaches(const TSourceTable& from, const TSourceTable& to) {
  std::vector<const TSourceTable*> pending{&from}, seen;
  while (!pending.empty()) {
    const TSourceTable* t = pending.back();
    pending.pop_back();
    if (t == &to) return true;
    if (std::find(seen.begin(), seen.end(), t) != seen.end()) continue;
    seen.push_back(t);
    for (const auto& j : t->Joins)
      if (j->Kind != jkNone) pending.push_back(&j->Inner);
  }
  return false;
}

bool hasOuterJoin(const TSourceTable& a, const TSourceTable& b) {
  auto outer = [](const TSourceTable& from, const TSourceTable& to) {
    return std::any_of(from.Joins.begin(), from.Joins.end(),
                       [&](const auto& j) { return j->Kind == jkLeftOuter && &j->Inner == &to; });
  };
  return outer(a, b) || outer(b, a);
}

}  // namespace

void TDataQuery::ExtractJoinConditions() {
  if (HasConditions && Conditions[csWhere]) {
    columnsLeft(Conditions[csWhere].get());
    if (WithTree(Conditions[csWhere], [&](TExpToken*& tree) { return ExtractJoinCondition(tree, nullptr); }))
      HasConditions = false;
  }
  attachOuterWholes();
  keepOuterJoinFilters();
}

// An OR or NOT of an outer join's ON condition over both of its tables joins that join's
// condition whole: the join step tests it for each preserved row.
void TDataQuery::attachOuterWholes() {
  std::vector<TExpToken*> wholes;
  wholes.swap(outerWhole_);
  auto release = [&](size_t from) {
    for (size_t i = from; i < wholes.size(); ++i) FreeExpTree(wholes[i]);
  };
  for (size_t i = 0; i < wholes.size(); ++i) {
    TExpToken* node = wholes[i];
    std::vector<const TSourceTable*> tables;
    std::vector<const TExpToken*> pending{node};
    while (!pending.empty()) {
      const TExpToken* n = pending.back();
      pending.pop_back();
      if (!n) continue;
      if (n->kind == expColumn && n->sourceTable) {
        auto* t = static_cast<const TSourceTable*>(n->sourceTable);
        if (std::find(tables.begin(), tables.end(), t) == tables.end()) tables.push_back(t);
      }
      pending.insert(pending.end(), {n->left, n->right, n->third});
      pending.insert(pending.end(), n->args.begin(), n->args.end());
    }
    TTableJoin* target = nullptr;
    for (auto& t : SourceTables)
      for (auto& join : t->Joins)
        if (join->Kind == jkLeftOuter &&
            std::all_of(tables.begin(), tables.end(),
                        [&](const TSourceTable* x) { return x == &join->Owner || x == &join->Inner; }))
          target = join.get();
    if (!target) {
      std::string name = tables.empty() ? std::string() : tables.back()->CorrelationName;
      release(i);
      SqlError("Internal join error - table correlation name \"" + name + "\" is target of multiple " +
               "join conditions in WHERE or JOIN clause");
    }
    node->parent = nullptr;
    target->AddCondition(jkLeftOuter, node);
  }
}

bool TDataQuery::ExtractJoinCondition(TExpToken*& node, TExpToken* parent) {
  if (!node) return false;
  node->parent = parent;
  bool multiple = false;
  auto residual = [&] {
    AddResidualCondition(node);
    node = nullptr;
    return true;
  };
  // A node over several tables that is no join link is tested on the joined row, or, when it is
  // part of an outer join's ON condition, decides which inner rows are partners: tested on the
  // joined row it would drop the preserved rows that found none.
  auto whole = [&] {
    if (node->onClause && (node->joinMark == jkLeftOuter || node->joinMark == jkRightOuter)) {
      outerWhole_.push_back(node);
      node = nullptr;
      return true;
    }
    return residual();
  };
  // Only an AND is taken apart: the sides of an OR, or the operand of a NOT, are no conditions
  // of their own.
  if (node->kind == expUnary || (node->kind == expBinary && node->code == opOr)) {
    TableReference(*this, node, multiple);
    return multiple && whole();
  }
  if (node->kind == expBinary && node->code == opAnd) {
    bool leftGone = ExtractJoinCondition(node->left, node);
    bool rightGone = ExtractJoinCondition(node->right, node);
    return ReplaceByRemainder(node, leftGone, rightGone);
  }
  if (isComparison(*node)) {
    bool leftColumns = ExpTreeHasColumnRef(node->left), rightColumns = ExpTreeHasColumnRef(node->right);
    if (leftColumns && rightColumns && MultiTable) {
      bool mA = false, mB = false;
      std::string nameA = TableReference(*this, node->left, mA);
      std::string nameB = TableReference(*this, node->right, mB);
      if (mA || mB)
        SqlError(
            "The join condition cannot contain multiple table correlation names in either the left or right "
            "operand in WHERE or JOIN clause");
      if (nameA == nameB) return false;
      TSourceTable* a = FindSourceTable(nameA);
      TSourceTable* b = FindSourceTable(nameB);
      if (!a || !b)
        SqlError("Internal join error attempting to validate table correlation names involved in join");
      // A WHERE comparison between the two sides of an outer join is tested on the joined row,
      // as standard SQL has it (rows whose inner side is NULL fail it); as a second join to the
      // same table it would make that table the target of two joins.
      if (node->joinMark == jkNone && hasOuterJoin(*a, *b)) return residual();
      uint8_t kind = node->joinMark == jkNone         ? uint8_t(jkInner)
                     : node->joinMark == jkRightOuter ? uint8_t(jkLeftOuter)
                                                      : node->joinMark;
      bool swap = false;
      TSourceTable* raised = nullptr;  // raised above `over` once the join is known to stand
      TSourceTable* over = nullptr;
      if (a->HasJoinTo(*b)) {
        if (a->JoinDepth > b->JoinDepth) raised = b, over = a;
      } else if (b->HasJoinTo(*a)) {
        swap = true;
        if (b->JoinDepth > a->JoinDepth) raised = a, over = b;
      } else if (a->JoinDepth > b->JoinDepth) {
        if (kind == jkLeftOuter) {
          swap = true;
        } else if (IsJoinTarget(nullptr, *a)) {
          raised = b, over = a;
        } else {
          swap = true;
        }
      } else if (IsJoinTarget(nullptr, *b) && kind == jkInner && !IsJoinTarget(nullptr, *a)) {
        swap = true;
        raised = a, over = b;
      }
      if (swap) {
        swapOperands(*node);
        std::swap(a, b);
      }
      // A join that would close a cycle (b already reaches a), or look b up a second time, cannot
      // be stepped: an inner one is tested on the joined row instead.
      if (reaches(*b, *a) || (kind == jkInner && !a->HasJoinTo(*b) && IsJoinTarget(nullptr, *b))) {
        if (kind != jkInner)
          SqlError("Internal join error - table correlation name \"" + b->CorrelationName +
                   "\" is target of multiple " + "join conditions in WHERE or JOIN clause");
        return residual();
      }
      if (raised) raiseAbove(*raised, *over);
      node->joinMark = kind;
      a->AddJoin(kind, node, *b);
      node = nullptr;
      return true;
    }
    // An operand over several tables against a value is no join link, and no table's filter can
    // test it: it is refused here, by name, as the two-operand form above is.
    if (MultiTable && (leftColumns || rightColumns)) {
      bool several = false;
      TableReference(*this, leftColumns ? node->left : node->right, several);
      if (several) {
        const uint8_t mark = node->joinMark;
        node->joinMark = jkNone;
        const std::string text = ExpTreeText(node);
        node->joinMark = mark;
        SqlError("The condition " + text +
                 " cannot contain multiple table correlation names in one operand in WHERE or JOIN clause");
      }
    }
    if (!leftColumns && rightColumns) swapOperands(*node);
    return false;
  }
  if (node->kind == expFunction || node->kind == expPredicate) {
    // A text that names a column of another table counts as that table here: y.s LIKE 'a'.
    TableReference(*this, node, multiple);
    return multiple && whole();
  }
  return false;
}

// A conjunct of an outer join's ON condition that tests only the preserved side decides whether
// that row finds partners, not whether it is in the result: it joins the outer join's condition
// (where the join step evaluates it per preserved row) instead of filtering the preserved table.
void TDataQuery::keepOuterJoinFilters() {
  auto moveFrom = [&](auto& self, TExpToken*& node) -> bool {
    if (!node) return false;
    if (node->kind == expBinary && node->code == opAnd) {
      bool leftGone = self(self, node->left), rightGone = self(self, node->right);
      return ReplaceByRemainder(node, leftGone, rightGone);
    }
    if (!node->onClause || (node->joinMark != jkLeftOuter && node->joinMark != jkRightOuter)) return false;
    bool multiple = false;
    std::string name = TableReference(*this, node, multiple);
    TSourceTable* table = multiple ? nullptr : FindSourceTable(name);
    TSourceTable* joined = nullptr;
    for (auto& t : SourceTables)
      if (t->TableNumber == node->onClause) joined = t.get();
    if (!table || !joined) return false;
    bool preserved = node->joinMark == jkLeftOuter ? table != joined : table == joined;
    if (!preserved) return false;
    for (auto& t : SourceTables)
      for (auto& join : t->Joins)
        if (join->Kind == jkLeftOuter &&
            (node->joinMark == jkLeftOuter ? &join->Inner == joined : t.get() == joined)) {
          join->AddCondition(jkLeftOuter, node);
          node = nullptr;
          return true;
        }
    return false;
  };
  if (!Conditions[csWhere]) return;
  WithTree(Conditions[csWhere], [&](TExpToken*& tree) { return moveFrom(moveFrom, tree); });
  if (!Conditions[csWhere]) HasConditions = false;
}

void TDataQuery::SortSourceTables() {
  std::stable_sort(SourceTables.begin(), SourceTables.end(),
                   [](const auto& a, const auto& b) { return a->JoinDepth < b->JoinDepth; });
  uint16_t depth = 0;
  for (auto& t : SourceTables) t->JoinDepth = ++depth;
  DrivingTable = SourceTables.empty() ? nullptr : SourceTables.front().get();
}

void TDataQuery::CheckJoins() {
  for (auto& t : SourceTables) {
    for (size_t i = t->Joins.size(); i-- > 0;) {
      TTableJoin& join = *t->Joins[i];
      bool another = false;
      for (auto& u : SourceTables)
        for (auto& j : u->Joins)
          if (j.get() != &join && j->Kind != jkNone && &j->Inner == &join.Inner) another = true;
      bool drop = join.Kind == jkNone && (another || join.Inner.JoinDepth == 1);
      if (another && join.Kind != jkNone)
        SqlError("Internal join error - table correlation name \"" + join.Inner.CorrelationName +
                 "\" is target of multiple " + "join conditions in WHERE or JOIN clause");
      if (drop) t->Joins.erase(t->Joins.begin() + ptrdiff_t(i));
    }
  }
}

TSourceTable* TDataQuery::InnerJoinSource(const TSourceTable& table) const {
  for (auto& t : SourceTables)
    for (auto& j : t->Joins)
      if (j->Kind == jkInner && &j->Inner == &table) return t.get();
  return nullptr;
}

TSourceTable* TDataQuery::InnerJoinRoot(TSourceTable& table) const {
  TSourceTable* root = &table;
  // A chain visits each table at most once; a cycle would be a planning fault.
  for (size_t steps = 0; steps <= SourceTables.size(); ++steps) {
    TSourceTable* source = InnerJoinSource(*root);
    if (!source) return root;
    root = source;
  }
  SqlError(" Internal join optimization error");
}

TSourceTable* TDataQuery::chooseDrivingCandidate() {
  TSourceTable* chosen = nullptr;
  int32_t fewest = 0;
  for (auto& t : SourceTables) {
    if (!IsInnerJoinTarget(nullptr, *t)) continue;
    TSourceTable* source = InnerJoinSource(*t);
    if (source && IsOuterJoinTarget(nullptr, *source)) continue;
    if (Kind != qkSelect && (t.get() == DrivingTable || InnerJoinRoot(*t) == DrivingTable)) continue;
    int32_t count = t->Cursor->GetRecordCount();
    if (!chosen || count < fewest) {
      chosen = t.get();
      fewest = count;
    }
  }
  if (!chosen || !DrivingTable || fewest >= DrivingTable->Cursor->GetRecordCount()) return nullptr;
  return chosen;
}

bool TDataQuery::ShouldReorderJoins() {
  return !NoJoinOptimize && chooseDrivingCandidate();
}

void TDataQuery::ReorderJoins() {
  TSourceTable* candidate = chooseDrivingCandidate();
  if (!candidate) return;
  MoveTableToFront(*candidate);
  uint16_t depth = 0;
  for (auto& t : SourceTables) t->JoinDepth = ++depth;
  DrivingTable = SourceTables.front().get();
}

void TDataQuery::MoveTableToFront(TSourceTable& table) {
  TSourceTable* source = InnerJoinSource(table);
  if (!source) return;
  MoveTableToFront(*source);
  bool several = source->Joins.size() > 1;
  auto it = std::find_if(source->Joins.begin(), source->Joins.end(),
                         [&](const auto& j) { return &j->Inner == &table; });
  if (it == source->Joins.end()) SqlError(" Internal join optimization error");
  std::unique_ptr<TTableJoin> join = std::move(*it);
  source->Joins.erase(it);
  auto turned = std::make_unique<TTableJoin>(table, join->Kind, *source, join->Condition.release());
  turned->MirrorCondition();
  join->DropFilter();
  table.Joins.push_back(std::move(turned));
  auto at = [&](const TSourceTable& t) {
    return std::find_if(SourceTables.begin(), SourceTables.end(),
                        [&](const auto& p) { return p.get() == &t; });
  };
  auto sourceAt = at(*source), tableAt = at(table);
  if (sourceAt == SourceTables.end() || tableAt == SourceTables.end())
    SqlError(" Internal join optimization error");
  if (several) {
    std::unique_ptr<TSourceTable> moved = std::move(*tableAt);
    SourceTables.erase(tableAt);
    SourceTables.insert(at(*source), std::move(moved));
  } else {
    std::iter_swap(sourceAt, tableAt);
  }
}

}  // namespace engine::sql
