// Preparation of a query for its kind, and SELECT execution: the row loop and the all-aggregate
// loop, progress and abort, the row limits, and the passes of DISTINCT, GROUP BY and ORDER BY
// over the result table.
#include <algorithm>
#include <array>
#include <cassert>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/base/veldorlocale.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "engine/values/veldorexpcheck.h"
#include "engine/values/veldorexpeval.h"
#include "engine/values/veldorvalues.h"
#include "engine/values/veldorvaluetext.h"
#include "platform/debugassert.h"
#include "platform/scopeguard.h"

namespace engine::sql {

namespace {

using T = TEngineFieldType;

// Rows read, and the time spent, under one hold of the source tables' read pairs (see
// executeSelect): writers of the tables wait at most about that long. A hold costs a lock, its
// release and a look for the journal, which a hold of few rows pays again and again.
constexpr int kRowsPerReadHold = 4096;
constexpr auto kReadHoldTime = std::chrono::milliseconds(2);
// The most rows one pass over records where they lie covers between two looks at the clock.
constexpr int kRowsPerSkip = 512;

struct TokenDeleter {
  void operator()(TExpToken* node) const { FreeExpTree(node); }
};
using TokenPtr = std::unique_ptr<TExpToken, TokenDeleter>;

// Takes the query read pair of each table of `tables` that does not hold one yet, for a run of
// steps that would each take and drop a read pair of their own (refreshing the cursors, setting
// and counting their filters): the lock is then taken once per table, not once per step. Returns
// the cursors to let go of it (EndQueryRead) after the run. Nothing in such a run may write to
// the tables: a write would wait for the pair held here.
template <class Tables>
std::vector<TDataCursor*> holdQueryReads(const Tables& tables) {
  std::vector<TDataCursor*> held;
  for (const auto& table : tables) {
    TDataCursor* cursor = table->Cursor.get();
    if (!cursor || !cursor->Active() || !cursor->Table() || cursor->Table()->HoldsQueryReadPair()) continue;
    held.push_back(cursor);
    cursor->BeginQueryRead();
  }
  return held;
}

// Places a column of `data`'s source table (the driving table) in its record buffer, which the
// row conditions are tested on: read there in place, as ReadSourceColumn would copy it. The
// other tables' columns, and blobs, go through ReadSourceColumn.
bool locateDrivingColumn(const void* data, const TExpToken& node, ExpFieldPlace& place) {
  const auto* table = static_cast<const TSourceTable*>(data);
  if (node.kind != expColumn || node.sourceTable != table || !table->Cursor || node.fieldNo < 1 ||
      node.fieldNo > table->FieldCount())
    return false;
  const TFieldDescriptor& d = table->FieldDesc(node.fieldNo);
  if (d.IsBlob()) return false;
  place.offset = d.Offset();
  place.size = d.StoredSize();
  place.autoIncrement = d.IsAutoInc();
  return true;
}

uint8_t indexSlot(TDataCursor& cursor, std::string_view name) {
  for (uint8_t slot = 1; slot <= cursor.GetIndexCount(); ++slot)
    if (FoldName(cursor.GetIndexDesc(slot).name) == FoldName(name)) return slot;
  return 255;
}

// The value of a result column for the current joined row, in the column's own type.
TokenPtr columnValue(TDataQuery& q, const TResultField& f) {
  if (f.CountStar) return nullptr;
  if (f.Expression) {
    const TExpToken* tree = f.AggregateKind ? f.Tree->GetArgument(0) : f.Tree.get();
    return TokenPtr(EvaluateExpTree(tree, nullptr, nullptr, q.SortId, q.LanguageId, ReadSourceColumn));
  }
  TokenPtr node(GetExpToken());
  node->kind = expColumn;
  node->fieldNo = f.SourceFieldNo;
  node->sourceTable = f.SourceTable;
  node->type = f.ColumnType;
  node->subType = f.ColumnSubType;
  node->scale = f.ColumnScale;
  node->SetValueSize(f.ColumnSize);
  ReadSourceColumn(nullptr, nullptr, *node);
  return node;
}

// A stored field value read out of a row, zero-padded to at least 16 bytes; on the stack, since
// the aggregate loops read several per row.
struct StoredValue {
  std::array<uint8_t, 272> bytes;
  size_t size = 0;
  uint8_t* data() { return bytes.data(); }
  bool operator==(const StoredValue& other) const {
    return size == other.size && std::memcmp(bytes.data(), other.bytes.data(), size) == 0;
  }
};

bool readValue(const TFieldDescriptor& d, const uint8_t* row, StoredValue& value) {
  value.size = std::max<size_t>(d.StoredSize(), 16);
  assert(value.size <= value.bytes.size());
  std::memset(value.data(), 0, value.size);
  bool isNull = true;
  TDataCursor::ReadFieldValue(d, row, isNull, value.data());
  return isNull;
}

bool readValue(TDataCursor& cursor, uint16_t fieldNo, const uint8_t* row, StoredValue& value) {
  return readValue(cursor.GetFieldDesc(fieldNo), row, value);
}

// Drops each link that leads back to a table the walk from the driving
// table already reaches: the planning can leave such a link behind when it raises a table
// above another, and stepping along it would never end.
void pruneChainJoins(TDataQuery& q) {
  if (!q.DrivingTable) return;
  std::vector<TSourceTable*> pending{q.DrivingTable}, seen{q.DrivingTable};
  while (!pending.empty()) {
    TSourceTable* table = pending.back();
    pending.pop_back();
    auto& joins = table->Joins;
    for (size_t i = 0; i < joins.size();) {
      TSourceTable* inner = &joins[i]->Inner;
      if (std::find(seen.begin(), seen.end(), inner) != seen.end()) {
        // An inner join to a table reached already is tested on the joined row instead.
        if (joins[i]->Kind == jkLeftOuter) SqlError(" Internal join optimization error");
        if (joins[i]->Kind == jkInner) q.AddResidualCondition(joins[i]->Condition.release());
        joins.erase(joins.begin() + ptrdiff_t(i));
        continue;
      }
      seen.push_back(inner);
      pending.push_back(inner);
      ++i;
    }
  }
}

// The value's own bytes when field `d` stores them as they are, with no conversion, rescaling or
// cut (what PutConvertedValue then writes): a non-NULL value of the field's own type, a
// fixed-size one whose bytes cover the field's, or a text that ends within its bytes and is
// shorter than the field; nullptr otherwise (a NULL, a blob, a BCD).
const uint8_t* StorableValueBytes(const TFieldDescriptor& d, const TExpToken& value) {
  const T type = T(d.Type());
  if (value.isNull || value.type != type || type == T::BCD || d.IsBlob()) return nullptr;
  const uint32_t size = d.StoredSize();
  const uint32_t held = std::min(value.valueSize, value.ValueCapacity());
  const uint8_t* bytes = value.Value();
  const bool fits = type == T::String
                        ? strnlen(reinterpret_cast<const char*>(bytes), held) < std::min(held, size)
                        : FixedValueSize(type) > 0 && held >= size && held >= FixedValueSize(type);
  return fits ? bytes : nullptr;
}

}  // namespace

// Writes `value` into field `fieldNo` of `record`, converted to the field's type; false when
// the conversion fails. A blob is written through the cursor's blob operations.
bool PutConvertedValue(TDataCursor& cursor, uint16_t fieldNo, uint8_t* record, const TExpToken& value,
                       bool truncateBlob) {
  const TFieldDescriptor& d = cursor.GetFieldDesc(fieldNo);
  if (value.isNull) {
    cursor.PutField(fieldNo, record, nullptr);
    return true;
  }
  if (d.IsBlob()) {
    auto check = [&](uint16_t code) {
      if (code) SignalTableError(code, cursor.TableName());
    };
    uint32_t size = value.valueSize;
    if (value.type == T::String && size > 0)
      size = uint32_t(std::strlen(reinterpret_cast<const char*>(value.Value())));
    // A memo value carries the terminating zero of its text, which the blob does not store.
    if (value.type == T::Blob && value.subType == TEngineFieldSubType::Memo && size > 0 &&
        value.Value()[size - 1] == 0)
      --size;
    check(cursor.OpenBlob(fieldNo, record, 2, false, 1));
    if (truncateBlob) check(cursor.TruncateBlob(fieldNo, record, 0, false));
    check(cursor.PutBlob(fieldNo, record, 0, value.Value(), int32_t(size), false));
    return true;
  }
  T type = T(d.Type());
  uint32_t size = d.StoredSize();
  if (const uint8_t* bytes = StorableValueBytes(d, value)) {
    cursor.PutField(fieldNo, record, bytes);
    return true;
  }
  // Called for every column of every result row: the buffer keeps its room between calls.
  thread_local std::vector<uint8_t> buffer;
  buffer.assign(std::max<size_t>({size_t(size), size_t(value.valueSize), kValueBufferSize}) + 1, 0);
  std::memcpy(buffer.data(), value.Value(), std::min<size_t>(value.valueSize, buffer.size()));
  // A BCD of other places than the field's is encoded anew with the field's: a field holding
  // more places than it shows would compare unequal to what it shows. Digit by digit, since a
  // value a table holds may lie beyond what the conversion's scaled integer takes.
  if (type == T::BCD && value.type == T::BCD) {
    if (value.scale != d.StoredScale()) {
      uint8_t rescaled[kBcdSize];
      if (buffer.size() < kBcdSize || !RescaleBcdValue(buffer.data(), d.StoredScale(), rescaled))
        return false;
      std::memcpy(buffer.data(), rescaled, kBcdSize);
    }
  } else if (value.type != type) {
    if (value.type == T::String) {
      // Text reads as the column's value only when it is a whole value of that type.
      uint32_t length = uint32_t(std::strlen(reinterpret_cast<const char*>(buffer.data())));
      if (!ConvertValue(value.type, length + 1, value.scale, type, size, d.StoredScale(), buffer))
        return false;
    } else if (!ConvertValue(value.type, value.valueSize, value.scale, type, size, d.StoredScale(), buffer)) {
      return false;
    }
  } else if (type == T::String && value.valueSize > size) {
    // A text longer than the field keeps the whole characters that fit: a cut inside one would
    // store a text that is no longer UTF-8.
    const char* text = reinterpret_cast<const char*>(buffer.data());
    const size_t keep =
        EngineStringView(std::string_view(text, strnlen(text, buffer.size())), size - 1).size();
    std::fill(buffer.begin() + ptrdiff_t(keep), buffer.end(), 0);
  }
  cursor.PutField(fieldNo, record, buffer.data());
  return true;
}

bool AssignDecimal(TEngineFieldType sourceType, uint32_t sourceSize, uint8_t places,
                   std::span<uint8_t> buffer) {
  return ConvertValue(sourceType, sourceSize, 0, T::BCD, kBcdSize, places, buffer);
}

std::string LargestDecimalText(uint8_t places) {
  int64_t unit = 1;
  for (int i = places; i < kBcdMaxFieldScale; ++i) unit *= 10;
  return ScaledToText(std::numeric_limits<int64_t>::max() / unit * unit);
}

// ---- Preparation ----

void TDataQuery::Prepare(TPasswordCallback callback) {
  if (prepared_) return;
  switch (Kind) {
    case qkSelect: {
      if (Distinct && GroupByGiven) Distinct = false;
      OpenSources(callback);
      BindResultColumns();
      if (UnionQuery && !unionPart_) CheckUnion();
      if (!GroupByGiven && HavingGiven)
        SqlError("A GROUP BY clause must exist in order to use the HAVING clause");
      // The one-row loop ignores GROUP BY entries and HAVING: an aggregate-only list with GROUP BY
      // entries takes the grouped road, which binds, merges and filters its groups.
      AllAggregate =
          GroupBy.empty() && !ResultFields.empty() &&
          std::all_of(ResultFields.begin(), ResultFields.end(), [](auto& f) { return f->AggregateKind; });
      if (AllAggregate) GroupByGiven = true;
      CountStarOnly =
          AllAggregate && SourceTables.size() == 1 && ResultFields.size() == 1 && ResultFields[0]->CountStar;
      HasAvg = std::any_of(ResultFields.begin(), ResultFields.end(),
                           [](auto& f) { return f->AggregateKind == akAvg; });
      CalculatedColumn =
          std::any_of(ResultFields.begin(), ResultFields.end(), [](auto& f) { return f->Expression; });
      if (RequestLive && OrderByGiven) {
        BindOrderBy();
        MatchOrderIndex();
      }
      // A live result shows every record its filters let through: a TOP or a row cap needs a
      // result table that holds only so many.
      Live = RequestLive && TargetTableName.empty() && !Distinct && !MultiTable && SourceTables.size() == 1 &&
             !GroupByGiven && !Having && (!OrderByGiven || OrderByOnIndex) && !CalculatedBlobColumn &&
             !(IsSubQuery && CalculatedColumn) && Top < 0 && MaxRowCount < 0 && !unionPart_ &&
             (IsSubQuery || Owner.Queries().size() == 1);
      LinkSourceTables();
      ExtractJoinConditions();
      CheckWhereCondition();
      if (Live) {
        ResultOnSourceTable = true;
        SortSourceTables();
        DrivingTable = SourceTables.front().get();
        DrivingTable->Cursor->SetQueryResult(true);
        // Its close gives a user back when it carries both options or neither: take that user now.
        if (const auto& o = DrivingTable->Cursor->Options(); o.QueryResult == o.QuerySource)
          DrivingTable->Cursor->Table()->IncUserCount();
        ResultCursor = DrivingTable->Cursor.get();
        if (!SelectStar) SetLiveFieldList();
        ResultCursor->SwitchToIndex(OrderIndex);
        planWhere();
        break;
      }
      ResultOnSourceTable = false;
      if (HavingGiven) BindHavingAggregates();
      SortSourceTables();
      CheckJoins();
      planWhere();
      if (unionPart_) break;
      if (OrderByGiven) BindOrderBy();
      if (GroupByGiven && !AllAggregate) {
        BindGroupBy();
      } else if (Distinct) {
        CheckDistinct();
      }
      CreateResultTable();
      plan_.Result = ResultCursor;
      break;
    }
    case qkInsert:
      OpenSources(callback);
      DrivingTable = SourceTables.front().get();
      plan_.Kind = Kind;
      plan_.Order = {DrivingTable};
      CallStatementHook();
      BindTargetColumns();
      break;
    case qkUpdate:
    case qkDelete:
      OpenSources(callback);
      LinkSourceTables();
      ExtractJoinConditions();
      CheckWhereCondition();
      SortSourceTables();
      CallStatementHook();
      CheckJoins();
      planWhere();
      if (Kind == qkUpdate) BindTargetColumns();
      break;
    default:
      plan_.Kind = Kind;
      break;
  }
  prepared_ = true;
}

void TDataQuery::ResetForExecute() {
  for (auto& table : SourceTables) {
    for (auto& join : table->Joins) {
      join->DropFilter();
      join->DropLookup();
    }
    // Dropping no filter would only build the view again, which the plan's refresh does.
    if (!table->Cursor->Filters().empty()) table->Cursor->DropFilter(nullptr);
    table->AtEnd = false;
  }
  SubSelectFilter = nullptr;
  JoinRowCheck = false;
  Conditions[csPostJoin].reset();
}

namespace {

// Whether planning `query` reads nothing but its one table's headers, and those are current: a
// copied result or a data change over one table whose WHERE is a single comparison without a
// sub-select (rated on the index descriptors, no range counted), when no other writer finished a
// change since the headers were read (TDataTable::CachesCurrentOnDisk). Each run refreshes the
// table and reads its rows under its own locks.
bool plansOnHeldHeaders(const TDataQuery& query) {
  if (query.MultiTable || query.ResultOnSourceTable || query.SourceTables.size() != 1) return false;
  const TExpToken* where = query.Conditions[csWhere].get();
  if (!where || where->kind != expBinary || where->code < opEqual || where->code > opLessEqual ||
      HoldsSubSelect(where))
    return false;
  const TDataCursor* cursor = query.SourceTables.front()->Cursor.get();
  TDataTable* table = cursor ? cursor->Table() : nullptr;
  return table && !cursor->IsRemote() && !table->Session().StrictChangeDetection() &&
         table->CachesCurrentOnDisk();
}

}  // namespace

void TDataQuery::planWhere() {
  // One table without a WHERE has nothing to count or analyse: its rows are read by the runs,
  // each of which refreshes it first.
  const bool reads = (ResultOnSourceTable || MultiTable || (HasConditions && Conditions[csWhere])) &&
                     !plansOnHeldHeaders(*this);
  const std::vector<TDataCursor*> held = reads ? holdQueryReads(SourceTables) : std::vector<TDataCursor*>{};
  auto letGo = platform::ScopeExit([&] {
    for (TDataCursor* cursor : held) cursor->EndQueryRead();
  });
  if (reads)
    for (auto& table : SourceTables) table->Cursor->RefreshIfChanged();
  if (ResultOnSourceTable) {
    HandDownWhere(hpUnindexed);
  } else {
    countFilters_ = MultiTable && !NoJoinOptimize;
    auto forget = platform::ScopeExit([&] { rated_.clear(); });
    {
      auto counted = platform::ScopeExit([&] { countFilters_ = false; });
      HandDownWhere(hpIndexed);
      if (MultiTable && ShouldReorderJoins()) ReorderJoins();
    }
    pruneChainJoins(*this);
    HandDownWhere(hpUnindexed);
    // The filters set for the counts go; each run sets its own.
    ResetForExecute();
  }
  plan_.Kind = Kind;
  plan_.Order.clear();
  for (auto& table : SourceTables) plan_.Order.push_back(table.get());
  assert(plan_.Order.empty() || plan_.Order.front() == DrivingTable);
  plan_.Residual = WhereRowCheck ? Conditions[csResidual].get() : nullptr;
  plan_.Having = Having ? Conditions[csHaving].get() : nullptr;
  plan_.Live = ResultOnSourceTable;
  plan_.Result = ResultCursor;
}

void TDataQuery::applyPlan() {
  const std::vector<TDataCursor*> held = holdQueryReads(plan_.Order);
  auto letGo = platform::ScopeExit([&] {
    for (TDataCursor* cursor : held) cursor->EndQueryRead();
  });
  // A table opened for its count has no view; its count is read under the run's pair.
  for (TSourceTable* table : plan_.Order)
    if (!table->CountOnly) table->Cursor->RefreshIfChanged();
  for (const TQueryPlan::Conjunct& conjunct : plan_.Conjuncts) putConjunct(conjunct);
}

int TDataQuery::progressDue(int64_t counter, int64_t total, int last) const {
  if (!Owner.ProgressCallback()) return -1;
  int step = int(Owner.Session().GetProgressStepPercent());
  if (step <= 0) step = 100;
  int percent = total > 0 ? int(std::min<int64_t>(counter * 100 / total, 100)) : 100;
  return step + last > percent ? -1 : percent;
}

int64_t TDataQuery::rowsUntilProgress(int64_t counter, int64_t total, int last) const {
  if (!Owner.ProgressCallback()) return INT64_MAX;
  int step = int(Owner.Session().GetProgressStepPercent());
  if (step <= 0) step = 100;
  const int64_t target = int64_t(step) + last;
  if (target > 100) return INT64_MAX;
  if (total <= 0) return 0;
  // The first counter whose percent reaches the target.
  const int64_t due = (target * total + 99) / 100;
  return std::max<int64_t>(0, due - counter);
}

bool TDataQuery::ReportProgress(int64_t counter, int64_t total, int& last) {
  auto& callback = Owner.ProgressCallback();
  const int percent = progressDue(counter, total, last);
  if (percent < 0) return false;
  bool abort = false;
  callback(percent, abort);
  last = percent;
  return abort;
}

void TDataQuery::Execute() {
  auto start = std::chrono::steady_clock::now();
  RowsAffected = 0;
  switch (Kind) {
    case qkSelect:
      executeSelect();
      break;
    case qkInsert:
      executeInsert();
      break;
    case qkUpdate:
    case qkDelete:
      executeChange();
      break;
    default:
      executeDefinition();
      break;
  }
  ElapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Executed = true;
}

// ---- SELECT ----

bool TDataQuery::copyStoredValue(const TResultField& f, uint8_t* row) {
  if (f.Expression || f.CountStar || f.AggregateKind == akCount || f.AggregateKind == akAvg ||
      !f.SourceTable || !f.SourceTable->Cursor)
    return false;
  TSourceTable& table = *f.SourceTable;
  TDataCursor& result = *ResultCursor;
  const TFieldDescriptor& from = table.Cursor->GetFieldDesc(f.SourceFieldNo);
  const TFieldDescriptor& to = result.GetFieldDesc(f.ResultFieldNo);
  if (from.Type() != to.Type() || uint8_t(f.ColumnType) != to.Type() ||
      from.StoredSize() != to.StoredSize() || from.StoredScale() != to.StoredScale() || from.IsBlob() ||
      from.IsAutoInc())
    return false;
  if (table.AtEnd || table.RecordBuffer.empty()) {
    result.PutField(f.ResultFieldNo, row, nullptr);
    return true;
  }
  StoredValue value;
  const bool isNull = readValue(*table.Cursor, f.SourceFieldNo, table.RecordBuffer.data(), value);
  result.PutField(f.ResultFieldNo, row, isNull ? nullptr : value.data());
  return true;
}

void TDataQuery::planColumnCopies() {
  columnCopies_.assign(ResultFields.size(), {});
  TDataCursor& result = *ResultCursor;
  if (result.IsRemote() || result.HasComputedFields()) return;
  for (size_t i = 0; i < ResultFields.size(); ++i) {
    const TResultField& f = *ResultFields[i];
    if (f.Expression || f.CountStar || f.AggregateKind == akCount || f.AggregateKind == akAvg ||
        !f.SourceTable || !f.SourceTable->Cursor || f.SourceTable->Cursor->IsRemote())
      continue;
    const TFieldDescriptor& from = f.SourceTable->Cursor->GetFieldDesc(f.SourceFieldNo);
    const TFieldDescriptor& to = result.GetFieldDesc(f.ResultFieldNo);
    ColumnCopy& c = columnCopies_[i];
    if ((f.AggregateKind == akSum || f.AggregateKind == akRunSum) && f.ColumnType == T::Integer &&
        from.Type() == uint8_t(T::Integer) && to.Type() == uint8_t(T::LargeInt) && !from.IsAutoInc() &&
        !to.Computed() && size_t(from.Offset()) + 4 < f.SourceTable->RecordSize &&
        size_t(to.Offset()) + 8 < result.RecordSize()) {
      // What PutConvertedValue makes of the column's value.
      c = {ColumnCopy::IntegerToLargeInt, f.SourceTable, from.Offset(), to.Offset(), 8};
      continue;
    }
    // The conditions of copyStoredValue, and a result field that stores a value as it is given.
    if (from.Type() != to.Type() || uint8_t(f.ColumnType) != to.Type() ||
        from.StoredSize() != to.StoredSize() || from.StoredScale() != to.StoredScale() || from.IsBlob() ||
        from.IsAutoInc() || to.Computed() || to.IsAutoInc() || to.IsBlob() ||
        to.Type() == uint8_t(T::Boolean) || (to.Type() == uint8_t(T::String) && to.CaseRule() != 0) ||
        size_t(from.Offset()) + from.StoredSize() >= f.SourceTable->RecordSize ||
        size_t(to.Offset()) + to.StoredSize() >= result.RecordSize())
      continue;
    c.kind = to.Type() == uint8_t(T::String) ? ColumnCopy::Text : ColumnCopy::Bytes;
    c.table = f.SourceTable;
    c.from = from.Offset();
    c.to = to.Offset();
    c.size = to.StoredSize();
  }
}

void TDataQuery::copyColumn(const ColumnCopy& c, const uint8_t* record, uint8_t* row) {
  // What ReadFieldValue and WriteFieldValue would make of the stored bytes. A value that fills
  // the field's bytes needs no clearing first.
  uint8_t* at = row + c.to;
  const uint8_t* stored = record ? record + c.from : nullptr;
  if (!stored || stored[0] == 0 || c.kind == ColumnCopy::Text) std::memset(at, 0, c.size + 1u);
  if (!stored || stored[0] == 0) return;
  if (c.kind == ColumnCopy::Bytes) {
    at[0] = 1;
    std::memcpy(at + 1, stored + 1, c.size);
    return;
  }
  if (c.kind == ColumnCopy::IntegerToLargeInt) {
    at[0] = 1;
    PutLargeIntValue(at + 1, GetIntegerValue(stored + 1));
    return;
  }
  const char* text = reinterpret_cast<const char*>(stored + 1);
  size_t length = strnlen(text, c.size);
  if (c.size > 0 && length >= c.size)
    length = EngineStringView(std::string_view(text, length), c.size - 1u).size();
  while (length > 0 && stored[length] == ' ') --length;
  std::memcpy(at + 1, stored + 1, length);
  at[0] = length > 0 ? 1 : 0;
}

void TDataQuery::planColumnValues() {
  columnValues_.clear();
  columnValues_.resize(ResultFields.size());
  for (size_t i = 0; i < ResultFields.size(); ++i) {
    const TResultField& f = *ResultFields[i];
    if (!f.Expression || f.CountStar) continue;
    const TExpToken* tree = f.AggregateKind ? f.Tree->GetArgument(0) : f.Tree.get();
    if (tree)
      columnValues_[i] = std::make_unique<ExpValue>(*tree, SortId, LanguageId, ReadSourceColumn,
                                                    locateDrivingColumn, plan_.Driving());
  }
}

void TDataQuery::fillResultRow(uint8_t* row) {
  TDataCursor& result = *ResultCursor;
  result.ClearRecordBuffer(row);
  // The driving table's columns of computed values are read where its record lies.
  const TSourceTable* driving = plan_.Driving();
  const uint8_t* record =
      driving && !driving->AtEnd && !driving->RecordBuffer.empty() ? driving->RecordBuffer.data() : nullptr;
  for (size_t i = 0; i < ResultFields.size(); ++i) {
    TResultField& f = *ResultFields[i];
    if (i < columnCopies_.size() && columnCopies_[i].kind != ColumnCopy::None) {
      const ColumnCopy& c = columnCopies_[i];
      copyColumn(c, c.table->AtEnd || c.table->RecordBuffer.empty() ? nullptr : c.table->RecordBuffer.data(),
                 row);
      continue;
    }
    if (copyStoredValue(f, row)) continue;
    TokenPtr owned;
    const TExpToken* value = nullptr;
    if (i < columnValues_.size() && columnValues_[i]) {
      value = &columnValues_[i]->Evaluate(nullptr, nullptr, record);
    } else {
      owned = columnValue(*this, f);
      value = owned.get();
    }
    if (f.AggregateKind == akCount) {
      uint8_t one[4];
      PutIntegerValue(one, 1);
      result.PutField(f.ResultFieldNo, row, f.CountStar || !value->isNull ? one : nullptr);
    } else if (const TFieldDescriptor& d = result.GetFieldDesc(f.ResultFieldNo);
               const uint8_t* bytes = StorableValueBytes(d, *value)) {
      result.WriteFieldValue(d, row, bytes, false, false);
    } else {
      bool put = false;
      try {
        put = PutConvertedValue(result, f.ResultFieldNo, row, *value, false);
      } catch (const EVELDOREngineError& e) {
        // The result table has a generated name: a failing blob copy names the table the
        // value came from.
        if (!result.GetFieldDesc(f.ResultFieldNo).IsBlob()) throw;
        TSourceTable* source = f.SourceTable ? f.SourceTable : DrivingTable;
        SignalTableError(e.ErrorCode(), source ? source->TableName : result.TableName());
      }
      if (!put) result.PutField(f.ResultFieldNo, row, nullptr);
    }
    if (f.AggregateKind == akAvg) {
      uint8_t count[4];
      PutIntegerValue(count, value->isNull ? 0 : 1);
      result.PutField(f.AvgCountFieldNo, row, count);
    }
  }
}

bool TDataQuery::appendResultRow(uint8_t* row) {
  TDataCursor& result = *ResultCursor;
  if (unionTagFieldNo_) {
    uint8_t tag[8];
    PutLargeIntValue(tag, unionTagPerRow_ ? unionTag_ + unionRowsTagged_++ : unionTag_);
    result.PutField(unionTagFieldNo_, row, tag);
  }
  // Each append stands the result on its new row: in record order that only adds the row to the
  // cursor's view, where an append without it counts the whole view again.
  if (Distinct || unionPart_) {
    // The unique index of DISTINCT refuses a row it already holds before anything is written.
    try {
      result.AppendRecord(row, true);
    } catch (const EVELDOREngineError& e) {
      if (e.ErrorCode() != VELDOR_KEYVIOL) throw;
      result.FreeAllBlobs(true);
      return false;
    }
  } else {
    result.AppendRecord(row, true);
  }
  result.FreeAllBlobs(true);
  return true;
}

bool TDataQuery::AccumulateAggregates(bool first, const uint8_t* row, uint8_t* accumulator) {
  TDataCursor& result = *ResultCursor;
  StoredValue value, acc;
  for (auto& field : ResultFields) {
    TResultField& f = *field;
    if (!f.AggregateKind) continue;
    const TFieldDescriptor& d = result.GetFieldDesc(f.ResultFieldNo);
    // COUNT, and the SUM of integers, on the stored bytes: what the general steps below do.
    const bool plain = !d.IsAutoInc() && !d.Computed();
    const bool count = plain && f.AggregateKind == akCount && d.Type() == uint8_t(T::Integer);
    const bool sum = plain && (f.AggregateKind == akSum || f.AggregateKind == akRunSum) &&
                     f.StoredType == T::LargeInt && d.Type() == uint8_t(T::LargeInt);
    if ((count || sum) && !(first && (FirstGroupRow || f.AggregateKind != akRunSum))) {
      const uint8_t* v = row + d.Offset();
      uint8_t* a = accumulator + d.Offset();
      if (v[0] == 0) continue;
      if (count) {
        const int32_t n = a[0] == 0 ? 0 : GetIntegerValue(a + 1);
        a[0] = 1;
        PutIntegerValue(a + 1, n + 1);
      } else {
        const int64_t total = a[0] == 0 ? 0 : GetLargeIntValue(a + 1);
        a[0] = 1;
        PutLargeIntValue(a + 1, CheckedSum(total, GetLargeIntValue(v + 1)));
      }
      continue;
    }
    bool valueNull = readValue(d, row, value);
    bool accNull = readValue(d, accumulator, acc);
    if (first && (FirstGroupRow || f.AggregateKind != akRunSum)) {
      if (f.AggregateKind == akCount && accNull) {
        PutIntegerValue(acc.data(), 0);
        result.WriteFieldValue(d, accumulator, acc.data(), false, false);
      }
      continue;
    }
    if (f.AggregateKind == akAvg && !valueNull) {
      StoredValue count;
      readValue(result, f.AvgCountFieldNo, accumulator, count);
      PutIntegerValue(count.data(), GetIntegerValue(count.data()) + 1);
      result.PutField(f.AvgCountFieldNo, accumulator, count.data());
    }
    if (valueNull) continue;
    if (f.AggregateKind == akCount) {
      PutIntegerValue(acc.data(), (accNull ? 0 : GetIntegerValue(acc.data())) + 1);
    } else if ((f.AggregateKind == akMin || f.AggregateKind == akMax) &&
               (f.StoredType == T::String || f.StoredType == T::Boolean || f.StoredType == T::Bytes)) {
      int order = 0;
      if (accNull) {
        order = f.AggregateKind == akMin ? -1 : 1;
      } else if (f.StoredType == T::String) {
        order = OSCompareChars(LanguageId, SortId, reinterpret_cast<const char*>(value.data()),
                               reinterpret_cast<const char*>(acc.data()));
      } else {
        order = std::memcmp(value.data(), acc.data(), f.StoredSize);
      }
      if ((f.AggregateKind == akMin && order < 0) || (f.AggregateKind == akMax && order > 0)) acc = value;
    } else {
      AccumulateValue(f.AggregateKind, f.StoredType, accNull, acc.data(), value.data(), f.StoredScale);
    }
    result.WriteFieldValue(d, accumulator, acc.data(), false, false);
  }
  FirstGroupRow = false;
  return true;
}

bool TDataQuery::FinishAverages(uint8_t* row) {
  TDataCursor& result = *ResultCursor;
  StoredValue sum, count;
  for (auto& field : ResultFields) {
    TResultField& f = *field;
    if (f.AggregateKind != akAvg) continue;
    bool sumNull = readValue(result, f.ResultFieldNo, row, sum);
    readValue(result, f.AvgCountFieldNo, row, count);
    int32_t n = GetIntegerValue(count.data());
    if (sumNull || n == 0) {
      // The dialect's AVG of no values is 0.
      std::memset(sum.data(), 0, sum.size);
      if (f.StoredType == T::BCD) EncodeBcdValue(0, f.StoredScale, sum.data());
      result.PutField(f.ResultFieldNo, row, sum.data());
      continue;
    }
    switch (f.StoredType) {
      case T::Date:
      case T::Time:
        PutIntegerValue(sum.data(), GetIntegerValue(sum.data()) / n);
        break;
      case T::BCD: {
        int64_t scaled = 0;
        DecodeBcdValue(sum.data(), scaled);
        int64_t q = scaled / n, r = scaled % n;
        if (2 * (r < 0 ? -r : r) >= n) q += scaled < 0 ? -1 : 1;
        EncodeBcdValue(q, f.StoredScale, sum.data());
        break;
      }
      case T::LargeInt:
        PutLargeIntValue(sum.data(), GetLargeIntValue(sum.data()) / n);
        break;
      default:
        PutFloatValue(sum.data(), GetFloatValue(sum.data()) / n);
        break;
    }
    result.PutField(f.ResultFieldNo, row, sum.data());
  }
  return true;
}

bool TDataQuery::HavingCallback(const uint8_t* row) {
  if (!Having || !Conditions[csHaving]) return true;
  TDataCursor& result = *ResultCursor;
  std::vector<uint8_t>& buffer = result.RecordBuffer();
  std::memcpy(buffer.data(), row, result.RecordSize());
  TokenPtr value(
      EvaluateExpTree(Conditions[csHaving].get(), this, this, SortId, LanguageId, ReadResultColumn));
  return !value->isNull && value->Value()[0] != 0;
}

namespace {

// Copies `record` of `from` into a new record of `to` (same fields), blobs by value, so that
// the copy holds no reference into `from`'s blob file.
void copyRecord(TDataCursor& from, const uint8_t* record, TDataCursor& to, std::vector<uint8_t>& buffer) {
  // Field by field into a fresh record: the new record gets its own identity, which its new
  // blobs are owned by.
  buffer.assign(to.RecordSize(), 0);
  to.ClearRecordBuffer(buffer.data());
  StoredValue value;
  for (uint16_t p = 1; p <= from.FieldCount(); ++p) {
    bool isNull = readValue(from, p, record, value);
    if (isNull) {
      to.PutField(p, buffer.data(), nullptr);
    } else if (from.GetFieldDesc(p).IsBlob()) {
      from.CopyBlobValue(p, false, record, to, p, buffer.data());
    } else {
      to.PutField(p, buffer.data(), value.data());
    }
  }
  // Standing on the new row keeps the append from counting the whole view again.
  to.AppendRecord(buffer.data(), true);
  to.FreeAllBlobs(true);
}

}  // namespace

void TDataQuery::rebuildPass(uint8_t slot, bool group, int32_t cap) {
  TDataCursor& result = *ResultCursor;
  // The rows go through a scratch table of the same columns: one row in memory at a time, and
  // each blob copied by value before the result frees its own.
  TDataCursor scratch(*resultDirectory_);
  {
    TCreateTableArgs args;
    FillTableOptions(args);
    args.NoPrimaryIndex = true;
    args.Overwrite = true;
    args.Indexes.resize(1);
    for (uint16_t p = 1; p <= result.FieldCount(); ++p) args.Fields.push_back(result.GetTableFieldDesc(p));
    bool memory = result.Options().InMemory;
    // A scratch table in memory first is made temporary and stays open from its creation on.
    const bool memoryFirst = !memory && result.Options().Temporary && memoryFirstResult();
    scratch.SetTableName(memoryFirst ? resultDirectory_->MakeMemoryFirstTableName()
                                     : resultDirectory_->MakeTempTableName(memory));
    scratch.SetInMemory(memory);
    scratch.SetExclusive(true);
    scratch.SetQueryResult(true);
    args.Scratch = args.MemoryFirst = memoryFirst;
    if (memoryFirst) scratch.SetTemporary(true);
    scratch.CreateTable(args);
    scratch.SetTemporary(true);
    scratch.Open();
  }
  const uint32_t size = result.RecordSize();
  std::vector<uint8_t> row(size), buffer;
  int64_t written = 0;
  [[maybe_unused]] int64_t read = 0;  // only the assertions look at it
  auto full = [&] { return cap >= 0 && written >= cap; };
  VELMARON_DEBUG_ASSERT(!group || slot != 255, "a group pass reads the rows in the order of the group index");
  result.SwitchToIndex(slot);
  result.SetToBegin();
  if (!group) {
    while (!full() && result.GetNextRecord(row.data()) == 0) {
      ++read;
      copyRecord(result, row.data(), scratch, buffer);
      ++written;
    }
  } else {
    groupRows(
        [&]() -> const uint8_t* {
          if (result.GetNextRecord(row.data()) != 0) return nullptr;
          ++read;
          return row.data();
        },
        [&](const uint8_t* group) {
          copyRecord(result, group, scratch, buffer);
          ++written;
        },
        cap);
  }
  VELMARON_DEBUG_ASSERT(cap < 0 || written <= cap, "a pass keeps no more rows than its cap");
  VELMARON_DEBUG_ASSERT(written <= read, "a pass writes no more rows than it reads");
  VELMARON_DEBUG_ASSERT(scratch.GetRecordCount() == written,
                        "the scratch table holds exactly the pass's rows");
  result.SwitchToIndex(255);
  result.EmptyTable();
  scratch.SetToBegin();
  while (scratch.GetNextRecord(row.data()) == 0) copyRecord(scratch, row.data(), result, buffer);
  VELMARON_DEBUG_ASSERT(result.GetRecordCount() == written, "the result holds exactly the pass's rows");
  scratch.Close();
}

void TDataQuery::groupRows(const std::function<const uint8_t*()>& next,
                           const std::function<void(const uint8_t*)>& emit, int32_t cap) {
  TDataCursor& result = *ResultCursor;
  const size_t size = result.RecordSize();
  std::vector<uint8_t> accumulator(size), carried(size);
  int64_t written = 0;
  bool open = false, anyGroup = false;
  auto full = [&] { return cap >= 0 && written >= cap; };
  const uint8_t* row = nullptr;
  // The rows of a group are the neighbours in index order with values the index holds equal: the
  // same stored values (the same null flag and value bytes, what readValue reads of them), -0
  // beside 0, and texts its locale compares equal whatever their bytes.
  struct GroupField {
    uint16_t fieldNo;
    uint32_t offset, size;
    bool autoInc;
  };
  std::vector<GroupField> groupFields;
  for (auto& g : GroupBy) {
    const TFieldDescriptor& d = result.GetFieldDesc(g->ResultFieldNo);
    groupFields.push_back({g->ResultFieldNo, d.Offset(), d.IsBlob() ? 4u : d.StoredSize(), d.IsAutoInc()});
  }
  StoredValue a, b;
  auto sameGroup = [&] {
    const uint8_t* x = accumulator.data();
    for (const GroupField& g : groupFields) {
      if (g.autoInc) {
        if (std::memcmp(x + g.offset, row + g.offset, 4) != 0) return false;
        continue;
      }
      const bool nx = x[g.offset] == 0, ny = row[g.offset] == 0;
      if (nx != ny) return false;
      if (nx || std::memcmp(x + g.offset + 1, row + g.offset + 1, g.size) == 0) continue;
      readValue(result, g.fieldNo, x, a);
      readValue(result, g.fieldNo, row, b);
      const auto type = TEngineFieldType(result.GetFieldDesc(g.fieldNo).Type());
      if (type == TEngineFieldType::Float || type == TEngineFieldType::Timestamp) {
        if (GetFloatValue(a.data()) != 0 || GetFloatValue(b.data()) != 0) return false;
      } else if (type != TEngineFieldType::String || result.LanguageId() == 0 ||
                 OSCompareStrings(result.LanguageId(), result.SortId(),
                                  std::string_view(reinterpret_cast<const char*>(a.data()), a.size), false, 0,
                                  std::string_view(reinterpret_cast<const char*>(b.data()), b.size)) != 0) {
        return false;
      }
    }
    return true;
  };
  auto close = [&] {
    if (!open) return;
    open = false;
    carried = accumulator;
    if (HasAvg) FinishAverages(accumulator.data());
    if (!HavingCallback(accumulator.data())) return;
    emit(accumulator.data());
    ++written;
  };
  FirstGroupRow = true;
  while (!full() && (row = next()) != nullptr) {
    if (open && sameGroup()) {
      AccumulateAggregates(false, row, accumulator.data());
      continue;
    }
    close();
    if (full()) break;
    std::memcpy(accumulator.data(), row, size);
    FirstGroupRow = true;
    AccumulateAggregates(true, row, accumulator.data());
    // A running sum goes on from the previous group's total.
    if (anyGroup) carryRunningSums(carried.data(), accumulator.data());
    open = anyGroup = true;
  }
  if (!full()) close();
}

void TDataQuery::carryRunningSums(const uint8_t* previous, uint8_t* accumulator) {
  TDataCursor& result = *ResultCursor;
  StoredValue before, now;
  for (auto& field : ResultFields) {
    TResultField& f = *field;
    if (f.AggregateKind != akRunSum) continue;
    bool beforeNull = readValue(result, f.ResultFieldNo, previous, before);
    bool nowNull = readValue(result, f.ResultFieldNo, accumulator, now);
    if (beforeNull) continue;
    AccumulateValue(akRunSum, f.StoredType, nowNull, now.data(), before.data(), f.StoredScale);
    result.PutField(f.ResultFieldNo, accumulator, now.data());
  }
}

uint8_t TDataQuery::passSlot(std::string_view name) {
  // The preparation gave the result table the index of each pass it asks for; without it a pass
  // would silently read record order.
  uint8_t slot = indexSlot(*ResultCursor, name);
  VELMARON_DEBUG_ASSERT(slot != 255, "the result table has the index of its pass");
  return slot;
}

void TDataQuery::rebuildResult() {
  const bool capEarly = Top >= 0 && (!OrderByGiven || OrderBySatisfied);
  if (GroupByGiven && !AllAggregate) {
    // The group pass writes its rows in group order, which is also the order an ORDER BY that
    // the GROUP BY satisfies asks for.
    rebuildPass(passSlot("Sys__GroupBy"), true, capEarly ? Top : -1);
    if (OrderByGiven && !OrderBySatisfied) rebuildPass(passSlot("Sys__OrderBy"), false, Top);
    return;
  }
  if (OrderByGiven && !OrderBySatisfied) {
    rebuildPass(passSlot("Sys__OrderBy"), false, Top);
  } else if (Distinct && (OrderBySatisfied || Top >= 0)) {
    rebuildPass(OrderBySatisfied ? passSlot("Sys__Distinct") : 255, false, Top);
  }
}

void TDataQuery::executeSelect() {
  ResetForExecute();
  releaseHandedRows();
  if (plan_.Live) {
    applyPlan();
    ResultCursor->SetToBegin();
    RowsAffected = ResultCursor->GetRecordCount();
    return;
  }
  TDataCursor& result = *ResultCursor;
  // The source tables' query read pairs: WITH LOCKS holds them for the whole statement. Without
  // it they are held across runs of rows only, so that a row read needs no lock of its own, and
  // let go between the runs, where the tables' writers get in as they would between single reads.
  bool holding = false;
  int heldRows = 0;
  auto heldSince = std::chrono::steady_clock::now();
  auto release = [&] {
    if (!holding) return;
    holding = false;
    for (auto& table : SourceTables) table->Cursor->EndQueryRead();
  };
  auto hold = [&] {
    holding = true;
    heldRows = 0;
    heldSince = std::chrono::steady_clock::now();
    for (auto& table : SourceTables) {
      if (table->CountOnly) {
        table->Cursor->BeginCountRead();
      } else {
        table->Cursor->BeginQueryRead();
      }
    }
  };
  auto endLocks = platform::ScopeExit(release);
  if (WithLocks) hold();
  // A result taken from the pool with the row an earlier statement left in it gets this run's
  // row written over that one. Not while a progress callback may look at the result, which it
  // finds empty until the run ends; a failure before the row is written empties it.
  const bool fresh = resultFresh_;
  const bool rewriteRow = fresh && GroupByGiven && writesOneRow() && canHoldRows() &&
                          !Owner.ProgressCallback() && result.Table() && result.Table()->HoldsIdleRow();
  platform::UndoOnFailure emptyOnFailure([&] {
    if (!rewriteRow || !result.Table()->HoldsIdleRow()) return;
    try {
      result.EmptyTable();
    } catch (...) {
      // The row stays behind a statement whose run failed and whose result nobody is given;
      // the table's next creator of one row writes it anew, any other passes it by.
    }
  });
  if (!UnionKind && !unionPart_) {
    if (!result.Filters().empty()) result.DropFilter(nullptr);
    // The row's rewrite places the cursor: standing on the old row first would read it for nothing.
    if (rewriteRow) {
      result.SwitchToIndexUnplaced(255);
    } else {
      result.SwitchToIndex(255);
    }
    // A table just made holds nothing (no record was ever given an id): emptying it would only
    // cut its files and write them again.
    if (!rewriteRow && (!fresh || result.IsRemote() || result.GetLastUniqueId() != 0)) result.EmptyTable();
  }
  resultFresh_ = false;
  unionRowsTagged_ = 0;
  // The rows' hold is taken before the plan is put in place, whose refreshes and filters then
  // need no pair of their own.
  if (!holding) hold();
  applyPlan();
  planColumnCopies();
  planColumnValues();
  auto dropColumnValues = platform::ScopeExit([&] { columnValues_.clear(); });
  TSourceTable& driving = *plan_.Driving();
  // Under the pair held since hold(): the headers are those another writer's last commit left.
  const int64_t total =
      driving.CountOnly ? driving.Cursor->CountRecordsInUse() : driving.Cursor->GetRecordCount();
  int64_t counter = 1;
  int last = 0;
  uint32_t lastRecord = 0;
  std::vector<uint8_t> row(result.RecordSize());
  // The row conditions are prepared for evaluation once and tested on each row in place.
  const TExpTreePtr residualTree = PrepareResidual();
  std::optional<ExpCondition> residual, postJoin;
  // The driving table's columns are read where its record lies; it stands on a row whenever a
  // row is tested.
  if (residualTree)
    residual.emplace(*residualTree, SortId, LanguageId, ReadSourceColumn, locateDrivingColumn, &driving);
  if (JoinRowCheck && Conditions[csPostJoin])
    postJoin.emplace(*Conditions[csPostJoin], SortId, LanguageId, ReadSourceColumn, locateDrivingColumn,
                     &driving);
  auto passes = [&] {
    for (const std::optional<ExpCondition>* condition : {&residual, &postJoin}) {
      if (!*condition) continue;
      const ExpCondition::Outcome v = (*condition)->Evaluate(driving.RecordBuffer.data(), nullptr, nullptr);
      if (v.isNull || (v.word & 0xFF) == 0) return false;
    }
    return true;
  };
  // Where a single table drives the run and its row conditions read nothing but the record, the
  // rows they let go, those behind TOP's cut and the rows that only copy columns are dealt with
  // where the table's cursor holds them (RowSkip); each counts as a row stepped over.
  TSourceTable* skipping = nullptr;
  RowSkip rowSkip;
  rowSkip.query = this;
  rowSkip.conditions[0] = residual ? &*residual : nullptr;
  rowSkip.conditions[1] = postJoin ? &*postJoin : nullptr;
  const bool recordOnly =
      (!residual || residual->ReadsRecordOnly()) && (!postJoin || postJoin->ReadsRecordOnly());
  const bool skippable =
      recordOnly && plan_.Order.size() == 1 && !driving.Feed && driving.Joins.empty() && !driving.RowCheck;
  auto startSkipping = [&] {
    skipping = &driving;
    driving.SkipTest = keepsRecord;
    driving.SkipData = &rowSkip;
  };
  if (skippable && (residual || postJoin)) startSkipping();
  auto endSkipping = platform::ScopeExit([&] {
    if (!skipping) return;
    skipping->SkipTest = nullptr;
    skipping->SkipData = nullptr;
    skipping->SkipBudget = 0;
    skipping->Passed = 0;
  });
  // A row's columns are read under the hold its records were read in: once the pairs were let
  // go, a writer may have changed the record, freed its blobs and given their blocks to other
  // values, so a blob read through the record read before would be of another commit or another
  // row. The pairs are therefore let go only between rows, where the driving table is about to
  // leave its row (`betweenRows`); each row only counts (`progress`).
  bool cycleDue = false;
  auto progress = [&] {
    const int64_t passed = std::exchange(driving.Passed, 0);
    counter += passed;
    uint32_t recordNo = driving.Cursor->CurrentRecordNo();
    if (recordNo != lastRecord) {
      lastRecord = recordNo;
      ++counter;
    }
    if (WithLocks) return ReportProgress(counter, total, last);
    heldRows += int(passed) + 1;
    if (heldRows >= kRowsPerReadHold ||
        ((heldRows % 8 == 0 || passed != 0) && std::chrono::steady_clock::now() - heldSince >= kReadHoldTime))
      cycleDue = true;
    return false;
  };
  // The rows the next step may pass over: none past the end of the hold's run of rows or past
  // the next progress report, so that both come where stepping row by row brings them. The row
  // the step then stands on counts as well.
  auto allowSkip = [&] {
    if (!skipping) return;
    int64_t room =
        WithLocks ? INT64_MAX : std::min(int64_t(kRowsPerReadHold) - heldRows, int64_t(kRowsPerSkip));
    room = std::min(room, rowsUntilProgress(counter, total, last));
    skipping->SkipBudget = uint32_t(std::clamp<int64_t>(room - 1, 0, UINT32_MAX));
  };
  // False when the progress callback stops the statement.
  const std::function<bool()> betweenRows = [&] {
    bool goOn = true;
    if (!WithLocks && progressDue(counter, total, last) >= 0) {
      // The callback may write to these tables (through another session of the process): it
      // runs with the pairs let go.
      cycleDue = false;
      release();
      goOn = !ReportProgress(counter, total, last);
      hold();
    } else if (!WithLocks && cycleDue) {
      cycleDue = false;
      release();
      hold();
    }
    allowSkip();
    return goOn;
  };
  const bool topEarly = Top >= 0 && !OrderByGiven && !GroupByGiven;
  HeldRows held;
  // The result stands before its first row with its view built, as the end below would leave it:
  // its one row went in bulk, no pass reorders it, and no callback ran since.
  bool settled = false;
  if (GroupByGiven && AllAggregate) {
    std::vector<uint8_t> accumulator(result.RecordSize());
    result.ClearRecordBuffer(accumulator.data());
    bool first = true;
    FirstGroupRow = true;
    VELMARON_DEBUG_ASSERT(!driving.CountOnly || (CountStarOnly && !WhereRowCheck && !JoinRowCheck),
                          "a table opened for its count is only counted");
    if (CountStarOnly && !WhereRowCheck && !JoinRowCheck) {
      uint8_t count[4];
      PutIntegerValue(count, int32_t(total));
      result.PutField(ResultFields[0]->ResultFieldNo, accumulator.data(), count);
    } else {
      // An empty input still gives one row: COUNT 0, the others NULL (AVG 0).
      for (auto& f : ResultFields)
        if (f->AggregateKind == akCount || f->AggregateKind == akAvg) {
          uint8_t zero[8] = {};
          if (f->AggregateKind == akCount) result.PutField(f->ResultFieldNo, accumulator.data(), zero);
          if (f->AggregateKind == akAvg) result.PutField(f->AvgCountFieldNo, accumulator.data(), zero);
        }
      for (bool more = driving.FirstMatch(jkNone); more; more = driving.NextMatch(betweenRows)) {
        if (progress()) break;
        if (!passes()) continue;
        fillResultRow(row.data());
        if (first) {
          accumulator = row;
          AccumulateAggregates(true, row.data(), accumulator.data());
          first = false;
        } else {
          AccumulateAggregates(false, row.data(), accumulator.data());
        }
      }
    }
    if (HasAvg) FinishAverages(accumulator.data());
    const bool oneRow = MaxRowCount != 0 && Top != 0;
    if (oneRow && canHoldRows() && TargetTableName.empty()) {
      // As held rows go: a scratch result's one row needs no record-id key until something
      // looks for one.
      uint8_t* const one = accumulator.data();
      if (rewriteRow) {
        result.RewriteIdleRow(one);
      } else {
        result.AppendRecords(std::span(&one, 1), &accumulator);
        // The state the next statement's one row may start from, kept with the pooled table.
        if (fresh && writesOneRow() && result.Table()) result.Table()->NoteIdleRow();
      }
      settled = !OrderByGiven && !Distinct && !Owner.ProgressCallback();
    } else if (oneRow && (Distinct || unionPart_)) {
      appendResultRow(accumulator.data());
    } else if (oneRow) {
      result.AppendRecord(accumulator.data(), false);
    }
  } else {
    held.recordSize = result.RecordSize();
    held.active = canHoldRows();
    if (held.active) reserveHeldRows(held, total);
    if (skippable && held.active) {
      const bool cut = planTopCutSkip(rowSkip, held, driving);
      if (planTakeInPlace(rowSkip, held, driving) || cut) startSkipping();
    }
    // A failure leaves the rows taken so far in the result table, as if each had gone there.
    platform::UndoOnFailure keepRows([&] { spillHeldRows(held); });
    auto resultRows = [&] { return held.active ? held.taken : result.GetRecordCount() + held.trimmed; };
    for (bool more = driving.FirstMatch(jkNone); more; more = driving.NextMatch(betweenRows)) {
      if (progress()) break;
      if (!passes()) continue;
      if (MaxRowCount >= 0 && resultRows() >= MaxRowCount) break;
      if (topEarly && resultRows() >= Top) break;
      if (held.active) {
        fillResultRow(holdRow(held));
        afterHeldRow(held);
      } else {
        fillResultRow(row.data());
        appendResultRow(row.data());
      }
    }
    keepRows.Dismiss();
  }
  if (!WithLocks) release();
  // The joins' lookups of this run are not kept past it.
  for (auto& table : SourceTables)
    for (auto& join : table->Joins) join->DropLookup();
  if (counter != total) {
    int done = -100;
    ReportProgress(total, total, done);
  }
  if (held.active)
    finishHeldRows(held);
  else if (!unionPart_)
    rebuildResult();
  result.SwitchToIndex(255);
  if (!settled) {
    result.SetToBegin();
    result.Refresh();
  }
  RowsAffected = handed_.active ? int32_t(handed_.order.size()) : result.GetRecordCount();
}

}  // namespace engine::sql

namespace engine::sql {

bool ColumnText(TDataCursor& cursor, uint16_t fieldNo, uint8_t* record, std::string& text) {
  const TFieldDescriptor& d = cursor.GetFieldDesc(fieldNo);
  TokenPtr node(GetExpToken());
  node->kind = expColumn;
  node->fieldNo = fieldNo;
  node->type = T(d.Type());
  node->subType = TEngineFieldSubType(d.SubType());
  node->scale = d.StoredScale();
  node->SetValueSize(d.StoredSize());
  ReadCursorColumn(cursor, record, *node);
  text.clear();
  if (node->isNull) return false;
  if (node->type == T::String || node->type == T::Blob) {
    const char* bytes = reinterpret_cast<const char*>(node->Value());
    text.assign(bytes, node->type == T::String ? std::strlen(bytes) : node->valueSize);
    if (node->type == T::Blob && d.SubType() == uint8_t(TEngineFieldSubType::Memo) && !text.empty() &&
        text.back() == 0)
      text.pop_back();
    return true;
  }
  std::vector<uint8_t> buffer(256, 0);
  std::memcpy(buffer.data(), node->Value(), std::min<size_t>(node->valueSize, buffer.size()));
  if (!ConvertValue(node->type, node->valueSize, node->scale, T::String, 255, 0, buffer))
    text = "?";
  else
    text = reinterpret_cast<const char*>(buffer.data());
  return true;
}

}  // namespace engine::sql
