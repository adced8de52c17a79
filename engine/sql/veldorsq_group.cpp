// ORDER BY, GROUP BY and DISTINCT binding against the select list, HAVING's aggregates bound to
// result columns, and the accumulation of aggregate values.
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/values/veldorexpcheck.h"
#include "platform/bytes.h"

namespace engine::sql {

namespace {

// A sum past its type's range is refused as the expression evaluator refuses an addition past
// it, rather than wrapping into a wrong total.
[[noreturn]] void sumOverflow() {
  SignalEngineError(VELDOR_SQLPARSE, "", "", "", "", "", "", "Numeric overflow in '+'");
}
int32_t checkedSum32(int64_t a, int64_t b) {
  const int64_t r = a + b;
  if (r < INT32_MIN || r > INT32_MAX) sumOverflow();
  return int32_t(r);
}

using T = TEngineFieldType;
constexpr size_t kMaxListColumns = 1024;

bool sameName(std::string_view a, std::string_view b) {
  return FoldName(a) == FoldName(b);
}

// The same expression as written: kinds, codes, names (case ignored) and constants' texts;
// types are not compared, since only one side may have been checked.
bool sameExpression(const TExpToken* a, const TExpToken* b) {
  if (!a || !b) return a == b;
  if (a->kind != b->kind || a->code != b->code || !sameName(a->columnName, b->columnName) ||
      !sameName(a->tableName, b->tableName) || a->args.size() != b->args.size())
    return false;
  if (a->kind == expConstant && (a->name != b->name || a->isParameter != b->isParameter)) return false;
  if (!sameExpression(a->left, b->left) || !sameExpression(a->right, b->right)) return false;
  for (size_t i = 0; i < a->args.size(); ++i)
    if (!sameExpression(a->args[i], b->args[i])) return false;
  return true;
}

// The result column that a list item names: by number (1-based), or by name (the result name,
// or the column name with an optional correlation name). 0 when none.
template <typename Item>
size_t findResultColumn(const TDataQuery& q, const Item& item) {
  if (item.ByNumber)
    return item.ColumnNumber >= 1 && size_t(item.ColumnNumber) <= q.ResultFields.size()
               ? size_t(item.ColumnNumber)
               : 0;
  for (size_t i = 0; i < q.ResultFields.size(); ++i) {
    const TResultField& f = *q.ResultFields[i];
    // A column name never names an aggregate of that column; its result name (an alias) may.
    bool column = !f.AggregateKind && !f.Expression && sameName(f.ColumnName, item.ColumnName);
    if (item.TableName.empty() ? sameName(f.ResultName, item.ColumnName) || column
                               : sameName(f.TableName, item.TableName) && column)
      return i + 1;
  }
  return 0;
}

template <typename Item>
void bindList(TDataQuery& q, std::vector<std::unique_ptr<Item>>& list, const std::string& clause,
              bool blobAllowed) {
  if (list.size() > kMaxListColumns)
    SqlError("Maximum number of columns (" + std::to_string(kMaxListColumns) + ") in " + clause + " clause " +
             "exceeded");
  for (auto& item : list) {
    size_t n = findResultColumn(q, *item);
    // By number, ORDER BY refuses a blob column as it refuses a number out of range.
    if (item->ByNumber && (!n || (blobAllowed && q.ResultFields[n - 1]->StoredType == T::Blob)))
      SqlError("Invalid column number '" + std::to_string(item->ColumnNumber) + "'" + " specified in " +
               clause + " clause");
    if (!n)
      SqlError("Invalid column name '" + item->ColumnName + "'" + " or table correlation name " + "'" +
               item->TableName + "'" + " specified in " + clause + " clause");
    const TResultField& f = *q.ResultFields[n - 1];
    if (!blobAllowed && f.StoredType == T::Blob)
      SqlError("Invalid BLOB column '" + f.ResultName + "'" + " specified in " + clause + " clause");
    item->ResultFieldNo = uint16_t(n);
  }
}

}  // namespace

void TDataQuery::BindOrderBy() {
  bindList(*this, OrderBy, "ORDER BY", true);
}

void TDataQuery::BindGroupBy() {
  bindList(*this, GroupBy, "GROUP BY", false);
  // An aggregate's value is known only once its group is: as a key it would split groups by the
  // partial totals of their rows.
  for (auto& item : GroupBy) {
    if (!ResultFields[item->ResultFieldNo - 1]->AggregateKind) continue;
    if (item->ByNumber)
      SqlError("Invalid column number '" + std::to_string(item->ColumnNumber) + "'" +
               " specified in GROUP BY clause");
    SqlError("Invalid column name '" + item->ColumnName + "'" + " or table correlation name " + "'" +
             item->TableName + "'" + " specified in GROUP BY clause");
  }
}

void TDataQuery::CheckDistinct() {
  if (ResultFields.size() > kMaxListColumns)
    SqlError("Maximum number of columns (" + std::to_string(kMaxListColumns) + ") in DISTINCT clause " +
             "exceeded");
  for (auto& f : ResultFields)
    if (f->StoredType == T::Blob)
      SqlError("Invalid BLOB column '" + f->ResultName + "'" + " specified in DISTINCT clause");
}

void TDataQuery::BindHavingAggregates() {
  TExpToken* having = Conditions[csHaving].get();
  if (!having) return;
  std::vector<std::pair<TExpToken*, TExpToken*>> pending{{having, nullptr}};
  while (!pending.empty()) {
    auto [node, parent] = pending.back();
    pending.pop_back();
    if (!node) continue;
    node->parent = parent;
    if (node->kind == expFunction && AggregateKindOf(node->code) != akNone) {
      // The function and its argument both have to match: MAX(x) is not MIN(x).
      TResultField* match = nullptr;
      for (auto& f : ResultFields)
        if (f->AggregateKind == AggregateKindOf(node->code) && f->Tree &&
            sameExpression(f->Tree->GetArgument(0), node->GetArgument(0))) {
          match = f.get();
          break;
        }
      if (!match) SqlError("Expression in HAVING clause not found in source columns");
      for (TExpToken*& arg : node->args) FreeExpTree(arg);
      node->args.clear();
      node->kind = expColumn;
      node->code = opNone;
      node->name = node->columnName = match->ResultName;
      node->tableName.clear();
      node->fieldNo = match->ResultFieldNo;
      node->type = match->StoredType;
      node->subType = match->StoredSubType;
      node->valueSize = match->StoredSize;
      node->scale = match->StoredScale;
      continue;
    }
    if (node->kind == expUnary) pending.emplace_back(node->left, node);
    if (node->kind == expBinary) {
      pending.emplace_back(node->left, node);
      pending.emplace_back(node->right, node);
    }
  }
  // The rest of the condition reads result columns by name.
  auto resolve = [](void* query, TExpToken& node) {
    auto& q = *static_cast<TDataQuery*>(query);
    for (auto& f : q.ResultFields)
      if (sameName(f->ResultName, node.columnName) && node.tableName.empty()) {
        node.fieldNo = f->ResultFieldNo;
        node.type = f->StoredType;
        node.subType = f->StoredSubType;
        node.valueSize = f->StoredSize;
        node.scale = f->StoredScale;
        return true;
      }
    return false;
  };
  TypeCheckExpTree(VELDOR_SQLPARSE, "", "", true, true, resolve, this, nullptr, *having, "HAVING clause");
  if (having->type != T::Boolean) SqlError("HAVING clause must be a boolean expression");
}

void TDataQuery::AccumulateValue(uint8_t kind, TEngineFieldType type, bool& accumulatorIsNull, uint8_t* acc,
                                 const uint8_t* value, uint8_t scale) {
  if (uint8_t(type) > uint8_t(T::LargeInt)) return;
  if (kind == akCount) {
    int32_t n = accumulatorIsNull ? 0 : GetIntegerValue(acc);
    PutIntegerValue(acc, n + 1);
    accumulatorIsNull = false;
    return;
  }
  auto bcd = [](const uint8_t* p) {
    int64_t scaled = 0;
    DecodeBcdValue(p, scaled);
    return scaled;
  };
  // A BCD beyond the 64-bit scaled range takes part in no sum, as it takes part in no addition.
  auto summand = [](const uint8_t* p) {
    int64_t scaled = 0;
    const TBcdDecode r = DecodeBcdValue(p, scaled);
    if (r == TBcdDecode::Overflow || r == TBcdDecode::Malformed) sumOverflow();
    return scaled;
  };
  auto fetch16 = [](const uint8_t* p) { return int16_t(platform::get2(p)); };
  auto fetchWord = [](const uint8_t* p) { return platform::get2(p); };
  if (kind == akMin || kind == akMax) {
    if (accumulatorIsNull) {
      std::memcpy(acc, value, FixedValueSize(type));
      accumulatorIsNull = false;
      return;
    }
    int order = 0;  // incoming against accumulator
    switch (type) {
      case T::Integer:
      case T::Date:
      case T::Time:
        order =
            (GetIntegerValue(value) > GetIntegerValue(acc)) - (GetIntegerValue(value) < GetIntegerValue(acc));
        break;
      case T::SmallInt:
        order = (fetch16(value) > fetch16(acc)) - (fetch16(value) < fetch16(acc));
        break;
      case T::Word:
        order = (fetchWord(value) > fetchWord(acc)) - (fetchWord(value) < fetchWord(acc));
        break;
      case T::Float:
      case T::Timestamp:
        order = (GetFloatValue(value) > GetFloatValue(acc)) - (GetFloatValue(value) < GetFloatValue(acc));
        break;
      case T::BCD:
        order = (bcd(value) > bcd(acc)) - (bcd(value) < bcd(acc));
        break;
      case T::LargeInt:
        order = (GetLargeIntValue(value) > GetLargeIntValue(acc)) -
                (GetLargeIntValue(value) < GetLargeIntValue(acc));
        break;
      default:
        return;
    }
    if ((kind == akMin && order < 0) || (kind == akMax && order > 0))
      std::memcpy(acc, value, FixedValueSize(type));
    return;
  }
  // SUM, RUNSUM and AVG: the accumulator holds the stored type of the column.
  bool wasNull = accumulatorIsNull;
  accumulatorIsNull = false;
  switch (type) {
    case T::SmallInt:
    case T::Word:
    case T::Integer:
    case T::Date:
    case T::Time: {
      int64_t v = type == T::SmallInt ? fetch16(value)
                  : type == T::Word   ? fetchWord(value)
                                      : GetIntegerValue(value);
      if (kind == akAvg && type != T::Date && type != T::Time) {
        PutFloatValue(acc, (wasNull ? 0.0 : GetFloatValue(acc)) + double(v));
      } else if (type == T::Integer && kind != akAvg) {
        PutLargeIntValue(acc, CheckedSum(wasNull ? 0 : GetLargeIntValue(acc), v));
      } else {
        PutIntegerValue(acc, checkedSum32(wasNull ? 0 : GetIntegerValue(acc), v));
      }
      break;
    }
    case T::Float:
    case T::Timestamp:
      PutFloatValue(acc, (wasNull ? 0.0 : GetFloatValue(acc)) + GetFloatValue(value));
      break;
    case T::LargeInt:
      if (kind == akAvg)
        PutFloatValue(acc, (wasNull ? 0.0 : GetFloatValue(acc)) + double(GetLargeIntValue(value)));
      else
        PutLargeIntValue(acc, CheckedSum(wasNull ? 0 : GetLargeIntValue(acc), GetLargeIntValue(value)));
      break;
    case T::BCD:
      EncodeBcdValue(CheckedSum(wasNull ? 0 : summand(acc), summand(value)), scale, acc);
      break;
    default:
      accumulatorIsNull = wasNull;
      break;
  }
}

int64_t CheckedSum(int64_t a, int64_t b) {
  int64_t r = 0;
  if (__builtin_add_overflow(a, b, &r)) sumOverflow();
  return r;
}

}  // namespace engine::sql
