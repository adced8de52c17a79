// Opening the sources, column binding, the select list's names and stored types, the UNION
// checks, and the target columns and values of INSERT and UPDATE.
#include <algorithm>
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/sql/veldorsq.h"
#include "engine/values/veldorexpcheck.h"
#include "engine/values/veldorexpop.h"
#include "engine/values/veldorvalues.h"

namespace engine::sql {

namespace {

constexpr size_t kMaxResultColumns = 1024;
constexpr size_t kMaxResultName = 30;
constexpr uint32_t kMaxExpressionSize = 251;  // 250 characters and the terminating zero

using T = TEngineFieldType;

bool hidden(const TFieldDescriptor& d) {
  return d.Hidden();
}

bool resolveColumn(void* query, TExpToken& node) {
  return static_cast<TDataQuery*>(query)->BindColumnRef(node);
}

std::string columnText(const TResultField& f) {
  if (f.Expression) return f.ExpressionText;
  return f.TableName.empty() ? f.ColumnName : f.TableName + "." + f.ColumnName;
}

// Stored type of an aggregate over `type`.
void aggregateType(TResultField& f, T type, TEngineFieldSubType subType, uint16_t size, uint8_t scale) {
  f.StoredType = type;
  f.StoredSubType = subType == TEngineFieldSubType::AutoInc ? TEngineFieldSubType::None : subType;
  f.StoredSize = size;
  f.StoredScale = scale;
  bool small = type == T::SmallInt || type == T::Word;
  bool integer = small || type == T::Integer || type == T::LargeInt;
  auto set = [&](T t, uint16_t s) {
    f.StoredType = t;
    f.StoredSubType = TEngineFieldSubType::None;
    f.StoredSize = s;
    f.StoredScale = 0;
  };
  switch (f.AggregateKind) {
    case akSum:
    case akRunSum:
      if (small) set(T::Integer, 4);
      if (type == T::Integer) set(T::LargeInt, 8);
      break;
    case akAvg:
      if (integer) set(T::Float, 8);
      break;
    case akCount:
      set(T::Integer, 4);
      break;
    default:
      break;
  }
}

std::string baseName(const TResultField& f) {
  if (!f.Visible && !f.Alias.empty())
    return f.Alias.size() > kMaxResultName ? RightStr(f.Alias, kMaxResultName) : f.Alias;
  static const char* const kPrefix[] = {"",        "Sum Of ",     "Running Sum Of ", "Min Of ",
                                        "Max Of ", "Average Of ", "Count Of "};
  std::string name = f.Expression ? (f.AggregateKind ? "Expr" : "Expression") : f.ColumnName;
  return LeftStr(kPrefix[f.AggregateKind] + name, kMaxResultName);
}

}  // namespace

namespace {

// For the one table of an UPDATE or DELETE whose WHERE is `column = value` (or `value = column`),
// the value reading no column: the index the key search by that column takes, once the open has
// read the table's fields. The search itself decides at each run whether it serves; where it does
// not, the run works in that index as it would after an earlier run's search.
TDataCursor::TOpenIndexChooser keySearchIndex(const TDataQuery& query, const TSourceTable& table) {
  if ((query.Kind != qkUpdate && query.Kind != qkDelete) || query.SourceTables.size() != 1 ||
      query.MultiTable)
    return nullptr;
  const TExpToken* where = query.Conditions[csWhere].get();
  if (!where || where->kind != expBinary || where->code != opEqual || !where->left || !where->right)
    return nullptr;
  const TExpToken* column = where->left;
  const TExpToken* value = where->right;
  if (column->kind != expColumn) std::swap(column, value);
  if (column->kind != expColumn || value->kind != expConstant ||
      (!column->tableName.empty() && FoldName(column->tableName) != table.CorrelationName))
    return nullptr;
  return [&table, name = column->columnName](TDataCursor& cursor) {
    const uint16_t fieldNo = table.GetFieldNumber(name);
    return fieldNo == 0 ? kNoCurrentIndex : EqualityKeyIndex(cursor, fieldNo);
  };
}

// Whether `query` reads nothing of its one table but the count of its live records: SELECT
// COUNT(*) without WHERE, joins, GROUP BY or HAVING (TDataQuery::CountStarOnly without a row check).
bool countsOnly(const TDataQuery& query) {
  return query.Kind == qkSelect && !query.MultiTable && !query.HasConditions && !query.Conditions[csWhere] &&
         query.SourceTables.size() == 1 && query.ResultFields.size() == 1 &&
         query.ResultFields[0]->CountStar && query.GroupBy.empty() && !query.HavingGiven;
}

}  // namespace

void TDataQuery::OpenSources(TPasswordCallback callback) {
  const bool counts = countsOnly(*this);
  for (auto& table : SourceTables) table->Open(callback, RequestLive, keySearchIndex(*this, *table), counts);
  if (!SourceTables.empty()) {
    TDataCursor& first = *SourceTables.front()->Cursor;
    if (!LanguageGiven) LanguageId = first.GetLanguageId();
    if (!SortGiven) SortId = first.GetSortId();
  }
  uint16_t depth = 0;
  for (auto& table : SourceTables) {
    table->AllocRecordBuffer();
    table->JoinDepth = ++depth;
  }
}

void TDataQuery::LinkSourceTables() {
  for (size_t i = 0; i + 1 < SourceTables.size(); ++i)
    SourceTables[i]->AddJoin(jkNone, nullptr, *SourceTables[i + 1]);
}

bool TDataQuery::LookupColumn(std::string_view column, std::string_view correlation, TSourceTable*& table,
                              uint16_t& fieldNo) const {
  std::string folded = FoldName(correlation);
  for (const auto& t : SourceTables) {
    if (!correlation.empty() && t->CorrelationName != folded) continue;
    if (uint16_t n = t->GetFieldNumber(column)) {
      table = t.get();
      fieldNo = n;
      return true;
    }
  }
  return false;
}

bool TDataQuery::BindColumnRef(TExpToken& node) {
  if (node.kind == expSubSelect) {
    // The sub-select's one column, as its result table stores it.
    if (ResultFields.empty() || !ResultCursor) return false;
    const TResultField& f = *ResultFields.front();
    node.fieldNo = f.ResultFieldNo;
    node.sourceTable = nullptr;
    node.type = f.StoredType;
    node.subType = f.StoredSubType;
    node.valueSize = ResultCursor->GetFieldDesc(f.ResultFieldNo).StoredSize();
    node.scale = f.StoredScale;
    return true;
  }
  TSourceTable* table = nullptr;
  uint16_t fieldNo = 0;
  if (!LookupColumn(node.columnName, node.tableName, table, fieldNo)) return false;
  const TFieldDescriptor& d = table->FieldDesc(fieldNo);
  node.fieldNo = fieldNo;
  node.sourceTable = table;
  node.tableName = table->CorrelationName;
  node.type = T(d.Type());
  node.subType = TEngineFieldSubType(d.SubType());
  node.valueSize = d.StoredSize();
  node.scale = d.StoredScale();
  return true;
}

void TDataQuery::BindResultColumns() {
  auto invalid = [](const TResultField& f) {
    SqlError("Invalid column name '" + f.ColumnName + "'" + " or table correlation name " + "'" +
             f.TableName + "'" + " specified in source columns");
  };
  auto bindColumn = [&](TResultField& f, TSourceTable& table, uint16_t fieldNo) {
    const TFieldDescriptor& d = table.FieldDesc(fieldNo);
    f.SourceTable = &table;
    f.SourceFieldNo = fieldNo;
    f.ColumnType = f.ResultType = T(d.Type());
    f.ColumnSubType = TEngineFieldSubType(d.SubType());
    f.ColumnSize = d.StoredSize();
    f.ColumnScale = f.ResultScale = d.StoredScale();
    aggregateType(f, f.ColumnType, f.ColumnSubType, f.ColumnSize, f.ColumnScale);
  };

  // Columns and "*" first; expressions after the list has its final shape.
  std::vector<std::unique_ptr<TResultField>> bound;
  for (auto& field : ResultFields) {
    TResultField& f = *field;
    if (f.AggregateKind == akCount && !f.Expression && f.ColumnName == "*") {
      f.CountStar = true;
      if (!f.TableName.empty() && !FindCorrelation(f.TableName)) invalid(f);
      aggregateType(f, T::Integer, TEngineFieldSubType::None, 4, 0);
    } else if (!f.Expression && f.AggregateKind == akNone && f.ColumnName == "*") {
      if (!f.Visible)
        SqlError("Invalid use of column correlation name '" + f.Alias + "'" + " for " + "'" + columnText(f) +
                 "'" + " specified in source columns");
      TSourceTable* only = f.TableName.empty() ? nullptr : FindCorrelation(f.TableName);
      if (!f.TableName.empty() && !only) invalid(f);
      std::vector<TSourceTable*> tables;
      for (auto& t : SourceTables)
        if (!only || t.get() == only) tables.push_back(t.get());
      std::stable_sort(tables.begin(), tables.end(), [](const TSourceTable* a, const TSourceTable* b) {
        return a->TableNumber < b->TableNumber;
      });
      for (TSourceTable* t : tables)
        for (uint16_t n = 1; n <= t->FieldCount(); ++n) {
          const TFieldDescriptor& d = t->FieldDesc(n);
          if (hidden(d)) continue;
          auto column = std::make_unique<TResultField>(*this);
          column->TableName = t->CorrelationName;
          column->SetColumnName(d.Name());
          bindColumn(*column, *t, n);
          bound.push_back(std::move(column));
        }
      continue;
    } else if (!f.Expression) {
      TSourceTable* table = nullptr;
      uint16_t fieldNo = 0;
      if (!LookupColumn(f.ColumnName, f.TableName, table, fieldNo)) invalid(f);
      bindColumn(f, *table, fieldNo);
    }
    bound.push_back(std::move(field));
  }
  ResultFields = std::move(bound);
  if (ResultFields.size() > kMaxResultColumns)
    SqlError("Maximum number of columns (" + std::to_string(kMaxResultColumns) + ") in result set exceeded");
  bool anyAggregate =
      std::any_of(ResultFields.begin(), ResultFields.end(), [](auto& f) { return f->AggregateKind; });
  bool anyPlain =
      std::any_of(ResultFields.begin(), ResultFields.end(), [](auto& f) { return !f->AggregateKind; });
  if (anyAggregate && anyPlain && !GroupByGiven)
    SqlError("Invalid use of aggregate function(s), the necessary GROUP BY clause is missing");

  for (auto& field : ResultFields) {
    TResultField& f = *field;
    if (!f.Expression) continue;
    TypeCheckExpTree(VELDOR_SQLPARSE, "", "", true, false, resolveColumn, this, nullptr, *f.Tree,
                     "source columns");
    TExpToken* value = f.AggregateKind ? f.Tree->GetArgument(0) : f.Tree.get();
    if (value->kind == expColumn && value->sourceTable) {
      f.Expression = false;
      f.TableName = value->tableName;
      f.SetColumnName(value->columnName);
      bindColumn(f, *static_cast<TSourceTable*>(value->sourceTable), value->fieldNo);
      continue;
    }
    // "*" inside an expression, for one, has no type a result table could store.
    if (value->type == T::Unknown || uint8_t(value->type) >= kFirstForeignFieldType)
      SqlError("Column expression '" + f.ExpressionText + "'" + " has no data type in source columns");
    if (value->type == T::String && value->valueSize > kMaxExpressionSize)
      SqlError("Column expression '" + f.ExpressionText + "'" + " exceeds the maximum allowable field size");
    f.ColumnType = f.ResultType = value->type;
    f.ColumnSubType = value->subType;
    f.ColumnSize = uint16_t(std::min(value->valueSize, kMaxExpressionSize));
    f.ColumnScale = f.ResultScale = value->scale;
    if (value->type == T::Blob) CalculatedBlobColumn = true;
    aggregateType(f, f.ColumnType, f.ColumnSubType, f.ColumnSize, f.ColumnScale);
  }

  // Names: the base name, made unique with "_n" (ignoring case), at most 30 characters.
  for (size_t i = 0; i < ResultFields.size(); ++i) {
    TResultField& f = *ResultFields[i];
    std::string base = baseName(f), name = base;
    auto taken = [&](const std::string& n) {
      for (size_t j = 0; j < i; ++j)
        if (FoldName(ResultFields[j]->ResultName) == FoldName(n)) return true;
      return false;
    };
    for (int counter = 1; taken(name); ++counter) {
      std::string suffix = "_" + std::to_string(counter);
      name = (base.size() + suffix.size() > kMaxResultName ? RightStr(base, kMaxResultName - suffix.size())
                                                           : base) +
             suffix;
    }
    f.ResultName = name;
    f.ResultFieldNo = uint16_t(i + 1);
  }
}

void TDataQuery::CheckUnion() {
  for (TDataQuery *part = UnionQuery, *before = this; part; before = part, part = part->UnionQuery) {
    std::string kind = before->UnionKind == 2 ? "UNION ALL" : "UNION";
    if (part->ResultFields.size() != ResultFields.size())
      SqlError("The number of columns  in the " + kind + " query must match the " +
               " number of columns in the master query");
    for (size_t i = 0; i < ResultFields.size(); ++i)
      if (part->ResultFields[i]->StoredType != ResultFields[i]->StoredType)
        SqlError("Type mismatch between column expression '" + columnText(*part->ResultFields[i]) + "'" +
                 " in the " + kind + " query and " + "column expression " + "'" +
                 columnText(*ResultFields[i]) + "'" + " in the master query");
  }
}

void TDataQuery::BindTargetColumns() {
  TSourceTable* target = nullptr;
  for (auto& t : SourceTables)
    if (t->TableNumber == 1) target = t.get();
  if (!target) return;
  TDataCursor& cursor = *target->Cursor;
  if (UpdateFields.size() == 1 && UpdateFields[0]->ColumnName == "*") {
    UpdateFields.clear();
    for (uint16_t n = 1; n <= cursor.FieldCount(); ++n)
      if (!hidden(cursor.GetFieldDesc(n)))
        UpdateFields.emplace_back(std::make_unique<TUpdateField>(*this))->ColumnName =
            cursor.GetFieldDesc(n).Name();
  }
  if (InsertFromSelect && SelectQuery) {
    UpdateValues.clear();
    for (auto& column : SelectQuery->ResultFields) {
      auto& value = *UpdateValues.emplace_back(std::make_unique<TUpdateValue>(*this));
      value.Text = columnText(*column);
    }
  }
  // Too few values would leave columns without one, too many would be dropped unseen.
  if (UpdateValues.size() != UpdateFields.size())
    SqlError("The number of values (" + std::to_string(UpdateValues.size()) +
             ") does not match the number of " + "table columns (" + std::to_string(UpdateFields.size()) +
             ")");

  for (size_t i = 0; i < UpdateFields.size(); ++i) {
    TUpdateField& f = *UpdateFields[i];
    uint16_t fieldNo = target->GetFieldNumber(f.ColumnName);
    if (!fieldNo || (!f.TableName.empty() && FoldName(f.TableName) != target->CorrelationName))
      SqlError("Invalid column name '" + f.ColumnName + "'" + " or table correlation name " + "'" +
               f.TableName + "'" + " specified in table columns");
    const TFieldDescriptor& d = cursor.GetFieldDesc(fieldNo);
    f.FieldNo = fieldNo;
    f.ColumnType = T(d.Type());
    f.ColumnSubType = TEngineFieldSubType(d.SubType());
    f.ColumnSize = d.StoredSize();
    f.ColumnScale = d.StoredScale();
    if (InsertFromSelect) continue;

    TUpdateValue& v = *UpdateValues[i];
    TExpToken& value = *v.Tree;
    TypeCheckExpTree(VELDOR_SQLPARSE, "", "", false, false, Kind == qkUpdate ? resolveColumn : nullptr, this,
                     nullptr, value, "update values");
    if (value.kind == expConstant && !value.isNull && !value.isParameter && value.type != f.ColumnType &&
        value.type == T::String &&
        (f.ColumnType == T::Date || f.ColumnType == T::Time || f.ColumnType == T::Timestamp)) {
      uint8_t converted[16] = {};
      if (!ParseDateTimeValue(value.Text(), f.ColumnType, converted))
        SqlError("Date, time, or timestamp expression expected, instead found '" + v.Text + "'" +
                 " in update values");
      value.type = f.ColumnType;
      value.SetValueSize(f.ColumnSize);
      std::memcpy(value.Value(), converted, std::min<size_t>(sizeof converted, f.ColumnSize));
      value.scale = f.ColumnScale;
      continue;
    }
    if (!value.isParameter && !value.isNull &&
        !IsOperandTypeAllowed(opEqual, f.ColumnType, f.ColumnSubType, value.type, value.subType)) {
      const char* kind = value.kind == expUnary || value.kind == expBinary ? "expression"
                         : value.kind == expColumn                         ? "column"
                         : value.kind == expConstant                       ? "constant"
                                                                           : "function";
      SqlError("Type mismatch between " + std::string("column") + " " + "'" + f.ColumnName + "'" + " and " +
               kind + " " + "'" + v.Text + "'" + " in update values");
    }
  }
}

}  // namespace engine::sql
