// INSERT, UPDATE and DELETE execution: the statement's own transaction and its commit interval,
// the values written into columns, and the rows that UPDATE and DELETE change.
#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/values/veldorexpeval.h"
#include "engine/values/veldorvalues.h"
#include "platform/scopeguard.h"

namespace engine::sql {

bool PutConvertedValue(TDataCursor& cursor, uint16_t fieldNo, uint8_t* record, const TExpToken& value,
                       bool truncateBlob);

namespace {

struct TokenDeleter {
  void operator()(TExpToken* node) const { FreeExpTree(node); }
};
using TokenPtr = std::unique_ptr<TExpToken, TokenDeleter>;

std::string valueText(const TExpToken& value) {
  if (value.type == TEngineFieldType::String) return std::string(value.Text());
  std::vector<uint8_t> text(std::max<size_t>(value.valueSize, 256) + 1, 0);
  std::memcpy(text.data(), value.Value(), value.valueSize);
  if (!ConvertValue(value.type, value.valueSize, value.scale, TEngineFieldType::String, 255, 0, text))
    return "?";
  return reinterpret_cast<const char*>(text.data());
}

// The transaction rule of a data change: one commit at the end by default, every
// CommitInterval rows when the statement names one; the caller's transaction is left alone
// unless COMMIT INTERVAL asks for commits.
class TStatementTransaction {
 public:
  TStatementTransaction(TDataQuery& query, TDataCursor& target)
      : query_(query), target_(target), directory_(target.Directory()) {
    own_ = !directory_.InTransaction();
    interval_ = query.CommitIntervalGiven ? std::max(query.CommitInterval, 0) : 0;
    if (own_) directory_.StartTransaction();
  }
  ~TStatementTransaction() {
    if (own_ && !done_) directory_.Rollback();
  }
  void RowWritten() {
    ++rows_;
    if (interval_ > 0 && rows_ % interval_ == 0) {
      directory_.Commit(false, query_.CommitFlush);
      target_.UpdateChangeCounters();
      query_.RowsAffected = rows_;
    } else if (!own_) {
      query_.RowsAffected = rows_;
    }
  }
  void Finish() {
    if (own_) directory_.Commit(true, query_.CommitFlush);
    done_ = true;
    query_.RowsAffected = rows_;
  }

 private:
  TDataQuery& query_;
  TDataCursor& target_;
  TDataDirectory& directory_;
  bool own_ = false;
  bool done_ = false;
  int32_t interval_ = 0;
  int32_t rows_ = 0;
};

[[noreturn]] void raiseAborted() {
  SqlError("The statement was stopped; its changes since the last commit were rolled back");
}

}  // namespace

void TDataQuery::writeColumnValue(TDataCursor& cursor, uint8_t* record, const TUpdateField& field,
                                  TExpToken& value, bool update) {
  if (!PutConvertedValue(cursor, field.FieldNo, record, value, update))
    SqlError("Type mismatch between column " + field.ColumnName + " and constant value " + valueText(value) +
             (update ? " in UPDATE statement" : " in INSERT statement"));
}

void TDataQuery::executeInsert() {
  TDataCursor& target = *DrivingTable->Cursor;
  target.SuppressAutoInc(NoAutoInc);
  std::vector<uint8_t>& record = DrivingTable->RecordBuffer;
  auto blobs = platform::ScopeExit([&] { target.FreeAllBlobs(true); });
  if (!InsertFromSelect) {
    target.ClearRecordBuffer(record.data());
    target.ApplyDefaultValues(record.data());
    for (size_t i = 0; i < UpdateFields.size(); ++i) {
      TokenPtr value(EvaluateExpTree(UpdateValues[i]->Tree.get(), nullptr, nullptr, SortId, LanguageId,
                                     ReadSourceColumn));
      writeColumnValue(target, record.data(), *UpdateFields[i], *value, false);
    }
    target.AppendRecord(record.data());
    RowsAffected = 1;
    return;
  }
  TDataCursor& source = *SelectQuery->ResultCursor;
  const int64_t total = source.GetRecordCount();
  std::vector<uint8_t> row(source.RecordSize());
  TStatementTransaction transaction(*this, target);
  int64_t counter = 0;
  int last = 0;
  source.SetToBegin();
  TExpToken* value = GetExpToken();
  TokenPtr holder(value);
  while (source.GetNextRecord(row.data()) == 0) {
    if (ReportProgress(++counter, total, last)) raiseAborted();
    target.ClearRecordBuffer(record.data());
    target.ApplyDefaultValues(record.data());
    for (size_t i = 0; i < UpdateFields.size(); ++i) {
      uint16_t fieldNo = SelectQuery->ResultFields[i]->ResultFieldNo;
      value->kind = expColumn;
      value->fieldNo = fieldNo;
      const TFieldDescriptor& d = source.GetFieldDesc(fieldNo);
      value->type = TEngineFieldType(d.Type());
      value->subType = TEngineFieldSubType(d.SubType());
      value->scale = d.StoredScale();
      value->SetValueSize(d.StoredSize());
      ReadCursorColumn(source, row.data(), *value);
      writeColumnValue(target, record.data(), *UpdateFields[i], *value, false);
    }
    target.AppendRecord(record.data());
    target.FreeAllBlobs(true);
    transaction.RowWritten();
  }
  transaction.Finish();
}

void TDataQuery::executeChange() {
  ResetForExecute();
  applyPlan();
  TSourceTable& driving = *plan_.Driving();
  // The target is the statement's first table, whatever order the joins run in.
  TSourceTable* targetTable = nullptr;
  for (auto& t : SourceTables)
    if (t->TableNumber == 1) targetTable = t.get();
  if (!targetTable) targetTable = &driving;
  TDataCursor& target = *targetTable->Cursor;
  if (Kind == qkUpdate) target.SuppressAutoInc(NoAutoInc);
  // The transaction's write lock is taken before the walk: no other writer can commit between
  // the rows found and the rows written, nor in the middle of the walk.
  TStatementTransaction transaction(*this, target);
  const int64_t total = driving.Cursor->GetRecordCount();
  int64_t counter = 0;
  int last = 0;
  // A single-table UPDATE evaluates its values against the record read with its lock.
  const bool valuesAtWrite = Kind == qkUpdate && SourceTables.size() == 1;

  // Every row is found before any changes: a change to a column that the walk's index or
  // filter depends on could otherwise move the row ahead of the walk or out of its view.
  std::map<uint32_t, std::vector<TokenPtr>> changes;
  // The row conditions are prepared for evaluation once and tested on each row in place.
  const TExpTreePtr residualTree = PrepareResidual();
  std::optional<ExpCondition> residual, postJoin;
  if (residualTree) residual.emplace(*residualTree, SortId, LanguageId, ReadSourceColumn);
  if (JoinRowCheck && Conditions[csPostJoin])
    postJoin.emplace(*Conditions[csPostJoin], SortId, LanguageId, ReadSourceColumn);
  auto passes = [&] {
    for (const std::optional<ExpCondition>* condition : {&residual, &postJoin}) {
      if (!*condition) continue;
      const ExpCondition::Outcome v = (*condition)->Evaluate(nullptr, nullptr, nullptr);
      if (v.isNull || (v.word & 0xFF) == 0) return false;
    }
    return true;
  };
  for (bool more = driving.FirstMatch(jkNone); more; more = driving.NextMatch()) {
    if (ReportProgress(++counter, total, last)) raiseAborted();
    if (targetTable->AtEnd || !passes()) continue;
    uint32_t recordNo = targetTable->CurrentRecordNo();
    if (changes.count(recordNo)) continue;
    std::vector<TokenPtr>& values = changes[recordNo];
    if (Kind == qkUpdate && !valuesAtWrite)
      for (auto& v : UpdateValues)
        values.emplace_back(
            EvaluateExpTree(v->Tree.get(), nullptr, nullptr, SortId, LanguageId, ReadSourceColumn));
  }
  ResetForExecute();
  target.SwitchToIndex(255);
  auto blobs = platform::ScopeExit([&] { target.FreeAllBlobs(true); });
  std::vector<uint8_t> record(target.RecordSize());
  for (auto& [recordNo, values] : changes) {
    target.SetToRecordNo(recordNo);
    if (target.CurrentRecordNo() != recordNo || target.GetCurrentRecord(record.data(), false) != 0) continue;
    uint16_t locked = target.GetCurrentRecord(record.data(), true);
    if (locked) SignalTableError(locked, target.TableName());
    if (Kind == qkDelete) {
      target.DeleteRecord(record.data(), false);
    } else {
      if (valuesAtWrite) {
        targetTable->RecordBuffer.assign(record.begin(), record.end());
        targetTable->AtEnd = false;
        for (auto& v : UpdateValues)
          values.emplace_back(
              EvaluateExpTree(v->Tree.get(), nullptr, nullptr, SortId, LanguageId, ReadSourceColumn));
      }
      for (size_t i = 0; i < UpdateFields.size(); ++i)
        writeColumnValue(target, record.data(), *UpdateFields[i], *values[i], true);
      // Standing on the row written keeps the write from building the whole view again.
      target.ModifyRecord(record.data(), true, true);
      target.FreeAllBlobs(true);
    }
    transaction.RowWritten();
  }
  transaction.Finish();
}

}  // namespace engine::sql
