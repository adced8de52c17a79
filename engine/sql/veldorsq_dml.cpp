// INSERT, UPDATE and DELETE execution: the statement's own transaction and its commit interval,
// the values written into columns, and the rows that UPDATE and DELETE change.
#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>
#include <numeric>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/sql/veldorsq_inplace.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldortable.h"
#include "engine/values/veldorexpcheck.h"
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
//
// Inside the statement's own transaction two per-row costs are shared by many rows without
// changing what another process can see:
//   - the target's write pair (its index and blob write locks; the transaction holds the data
//     file's) is held across up to kRowsPerWriteHold rows and at most kWriteHoldTime, where each
//     write would otherwise take and release it: the transaction writes nothing to the files
//     before its commit, so a reader that gets in between reads what it would have read, and one
//     that comes while the pair is held waits at most that long, as it waits for one write;
//   - the record locks of the rows still to be written before the next commit are taken ahead,
//     in runs (LockRecordsAhead), where each row would take its own: the transaction keeps a
//     row's lock to its end all the same, and a row that another holder keeps is left to its
//     write, which waits for it and fails as it did.
class TStatementTransaction {
 public:
  TStatementTransaction(TDataQuery& query, TDataCursor& target)
      : query_(query), target_(target), directory_(target.Directory()) {
    own_ = !directory_.InTransaction();
    interval_ = query.CommitIntervalGiven ? std::max(query.CommitInterval, 0) : 0;
    if (own_) directory_.StartTransaction();
  }
  ~TStatementTransaction() {
    try {
      releaseWrite();
    } catch (...) {
      // The failure in flight is the one to report; the rollback releases the pair anyway.
    }
    if (own_ && !done_) directory_.Rollback();
  }
  // Locks ahead the records of `numbers` from `at` on that the rows up to the next commit will
  // write; returns the position up to which they were taken (the end when nothing is taken
  // ahead).
  size_t LockAhead(std::span<const uint32_t> numbers, size_t at) {
    const size_t count = RowsAhead(numbers.size() - std::min(at, numbers.size()));
    if (count == 0) return numbers.size();
    target_.Table()->LockRecordsAhead(numbers.subspan(at, count));
    return at + count;
  }
  // How many of `rows` rows to come are written before the next commit, when their locks are
  // taken ahead; 0 when they are not.
  size_t RowsAhead(size_t rows) const {
    if (!own_ || !target_.Table() || target_.IsRemote()) return 0;
    return interval_ > 0 ? std::min(rows, size_t(interval_ - rows_ % interval_)) : rows;
  }
  // Whether every row goes out with the one commit at the end, in the statement's own
  // transaction: a failure part way is then rolled back whole.
  bool OneCommit() const { return own_ && interval_ == 0 && target_.Table() && !target_.IsRemote(); }
  // Rows written together, as many RowWritten calls (OneCommit only); `wrote` false when none
  // of them changed.
  void RowsWritten(size_t count, bool wrote = true) {
    rows_ += int32_t(count);
    wrote_ |= wrote && count > 0;
  }
  // Before each row's write.
  void BeforeWrite() {
    wrote_ = true;
    if (!own_ || writeHeld_) return;
    TDataTable* table = target_.Table();
    if (!table || table->HoldsWritePair()) return;
    target_.BeginWrite();
    writeHeld_ = true;
    heldRows_ = 0;
    heldSince_ = std::chrono::steady_clock::now();
  }
  // After each row, `wrote` false for one whose write would have left it as it was.
  void RowWritten(bool wrote = true) {
    wrote_ |= wrote;
    ++rows_;
    // The clock is read every kRowsPerClockLook rows: a row takes a microsecond or two, and a
    // clock read a row was a noticeable share of a bulk UPDATE.
    if (writeHeld_ && (++heldRows_ >= kRowsPerWriteHold ||
                       (heldRows_ % kRowsPerClockLook == 0 &&
                        std::chrono::steady_clock::now() - heldSince_ >= kWriteHoldTime)))
      releaseWrite();
    if (interval_ > 0 && rows_ % interval_ == 0) {
      releaseWrite();
      directory_.Commit(false, query_.CommitFlush);
      target_.UpdateChangeCounters();
      query_.RowsAffected = rows_;
    } else if (!own_) {
      query_.RowsAffected = rows_;
    }
  }
  void Finish() {
    // The commit takes the write pair that is held already, and its end releases it; the
    // cursor then only lets go of its mark. (An interim commit keeps the transaction, so the
    // pair is released before it: the next row must take it again.) A transaction in which no
    // row was written has nothing to write out: it only lets its locks go.
    if (own_ && wrote_) {
      directory_.Commit(true, query_.CommitFlush);
    } else if (own_) {
      directory_.EndUnchangedTransaction();
    }
    releaseWrite();
    done_ = true;
    query_.RowsAffected = rows_;
  }

 private:
  static constexpr int kRowsPerWriteHold = 256;
  static constexpr std::chrono::milliseconds kWriteHoldTime{2};
  static constexpr int kRowsPerClockLook = 16;

  void releaseWrite() {
    if (!std::exchange(writeHeld_, false)) return;
    target_.EndWrite();
  }

  TDataQuery& query_;
  TDataCursor& target_;
  TDataDirectory& directory_;
  bool own_ = false;
  bool done_ = false;
  bool writeHeld_ = false;
  // A row was written in the statement's own transaction (since its start, interim commits
  // included: the last one may have left writes for the end).
  bool wrote_ = false;
  int32_t interval_ = 0;
  int32_t rows_ = 0;
  int heldRows_ = 0;
  std::chrono::steady_clock::time_point heldSince_;
};

// Rows an INSERT ... SELECT gathers before it appends them together.
constexpr size_t kStagedBytes = size_t(8) << 20;
// Rows an UPDATE changes between two moves of its changed records into the held writes.
constexpr size_t kRowsPerSpill = 1024;

[[noreturn]] void raiseAborted() {
  SqlError("The statement was stopped; its changes since the last commit were rolled back");
}

}  // namespace

void TDataQuery::writeColumnValue(TDataCursor& cursor, uint8_t* record, const TUpdateField& field,
                                  const TExpToken& value, bool update) {
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
  TDataQuery& select = *SelectQuery;
  TDataCursor& source = *select.ResultCursor;
  // The SELECT's rows in memory when it handed them over, else in its result table.
  HandedRows& handed = select.handed_;
  auto letGo = platform::ScopeExit([&] { select.releaseHandedRows(); });
  const bool fromMemory = handed.active;
  const int64_t total = fromMemory ? int64_t(handed.order.size()) : source.GetRecordCount();
  std::vector<uint8_t> row(source.RecordSize());
  size_t nextHanded = 0;
  const auto nextRow = [&]() -> uint8_t* {
    if (fromMemory)
      return nextHanded < handed.order.size()
                 ? handed.bytes.data() + size_t(handed.order[nextHanded++]) * handed.recordSize
                 : nullptr;
    return source.GetNextRecord(row.data()) == 0 ? row.data() : nullptr;
  };
  TStatementTransaction transaction(*this, target);
  int64_t counter = 0;
  int last = 0;
  if (!fromMemory) source.SetToBegin();
  TExpToken* value = GetExpToken();
  TokenPtr holder(value);
  // A column whose value the conversion would write back byte for byte (the same type, size
  // and places on both sides, a type stored as it is read) is copied from the source record as it
  // lies: its null mark and, when set, its bytes. Text goes as the conversion writes it (cut
  // at the zero, trailing blanks dropped, empty as NULL) into a field at least as long with no
  // case rule.
  enum TCopyKind : uint8_t { ckConvert, ckBytes, ckText };
  struct TColumnCopy {
    uint32_t from = 0, to = 0;
    uint32_t size = 0;  // the bytes read: the field's, or the source's text
    uint32_t room = 0;  // the target field's stored size
    TCopyKind kind = ckConvert;
  };
  std::vector<TColumnCopy> copies(UpdateFields.size());
  for (size_t i = 0; i < UpdateFields.size(); ++i) {
    const TFieldDescriptor& s = source.GetFieldDesc(select.ResultFields[i]->ResultFieldNo);
    const TFieldDescriptor& t = target.GetFieldDesc(UpdateFields[i]->FieldNo);
    const uint8_t type = t.Type();
    const bool plain = !target.HasComputedFields() && s.Type() == type && !t.IsBlob() && !s.IsBlob() &&
                       !s.IsAutoInc() && !t.IsAutoInc() && !t.Computed() && !s.Computed();
    TCopyKind kind = ckConvert;
    if (plain && type == kFieldTypeString) {
      if (t.CaseRule() == 0 && s.StoredSize() <= t.StoredSize()) kind = ckText;
    } else if (plain && s.SubType() == t.SubType() && s.StoredSize() == t.StoredSize() &&
               s.StoredScale() == t.StoredScale() && type != uint8_t(TEngineFieldType::Boolean)) {
      kind = ckBytes;
    }
    copies[i] = {s.Offset(), t.Offset(), kind == ckText ? s.StoredSize() : t.StoredSize(), t.StoredSize(),
                 kind};
  }
  // Appends past the last record take the numbers that follow it, one each; a free record
  // reused instead is locked by its own append.
  std::vector<uint32_t> appended;
  int64_t lockedAhead = 0;
  // Rows written with the one commit at the end are gathered and appended together, in runs of
  // about kStagedBytes (AppendRecords: the same records, keys and errors as one append each); a
  // failure part way is rolled back whole all the same. The source is the SELECT's own rows,
  // which the appends do not reach.
  const bool staging =
      transaction.OneCommit() && !NoAutoInc && !target.HasBlobFields() && !target.HasTextIndex();
  const size_t recordSize = target.RecordSize();
  // Rows are made where they are gathered, in room for a run (or for every row, when fewer),
  // which the table's held writes may take over as it is (AppendRecords).
  const size_t stagedRoom =
      staging ? std::min(kStagedBytes, size_t(std::max<int64_t>(total, 1)) * recordSize) / recordSize + 1 : 0;
  std::vector<uint8_t> staged;
  size_t stagedRows = 0;
  const auto appendStaged = [&] {
    if (stagedRows == 0) return;
    std::vector<uint8_t*> each(stagedRows);
    for (size_t i = 0; i < stagedRows; ++i) each[i] = staged.data() + i * recordSize;
    target.AppendRecords(each, &staged, true);
    transaction.RowsWritten(stagedRows);
    stagedRows = 0;
    staged.clear();
  };
  const auto lockAhead = [&] {
    if (counter - 1 != lockedAhead) return;
    const size_t count = transaction.RowsAhead(size_t(std::max<int64_t>(total - counter + 1, 1)));
    const TDataFile* data = count > 0 ? &target.Table()->DataFile() : nullptr;
    if (data && data->GetFreeRecordNumber() == data->GetNextRecordNumber()) {
      appended.resize(count);
      // Past the rows gathered and not yet appended.
      std::iota(appended.begin(), appended.end(), uint32_t(data->GetNextRecordNumber() + stagedRows));
      transaction.LockAhead(appended, 0);
      lockedAhead += int64_t(count);
    } else {
      lockedAhead = -1;
    }
  };
  // The handed rows can be the batch itself when they lie in the target's layout, in their
  // order, and each byte past the header belongs to one column copied to the place it is read
  // from (every other byte then comes out as a copy into a cleared record makes it).
  const auto handedInPlace = [&] {
    if (!staging || !fromMemory || handed.recordSize != recordSize ||
        target.StoredRecordSize() != recordSize || handed.bytes.size() < handed.order.size() * recordSize)
      return false;
    // The record's header (its status, number and id, which the append writes) ends where its
    // first field begins.
    const uint16_t fields = target.Table()->DataFile().GetFieldCount();
    size_t header = recordSize;
    for (uint16_t p = 1; p <= fields; ++p)
      header = std::min<size_t>(header, target.GetTableFieldDesc(p).Offset());
    std::vector<bool> covered(recordSize, false);
    for (const TColumnCopy& c : copies) {
      if ((c.kind != ckBytes && c.kind != ckText) || c.from != c.to || c.size != c.room || c.to < header ||
          size_t(c.to) + c.room + 1 > recordSize)
        return false;
      for (size_t b = c.to; b <= c.to + c.room; ++b) {
        if (covered[b]) return false;
        covered[b] = true;
      }
    }
    for (size_t b = header; b < recordSize; ++b)
      if (!covered[b]) return false;
    for (size_t i = 0; i < handed.order.size(); ++i)
      if (handed.order[i] != i) return false;
    return true;
  };
  if (handedInPlace()) {
    // The handed rows are the batch: each column is made in place what its copy would write,
    // which the SELECT's own copy of each column has made it already when it copied them all.
    const size_t rows = handed.order.size();
    for (size_t n = 0; n < rows; ++n) {
      if (ReportProgress(++counter, total, last)) raiseAborted();
      lockAhead();
      if (handed.columnsCopied) continue;
      uint8_t* out = handed.bytes.data() + n * recordSize;
      for (const TColumnCopy& c : copies) CopyFieldInPlace(out + c.to, c.kind == ckBytes, c.size, c.room);
    }
    std::vector<uint8_t*> each(rows);
    for (size_t i = 0; i < rows; ++i) each[i] = handed.bytes.data() + i * recordSize;
    target.AppendRecords(each, &handed.bytes, true);
    transaction.RowsWritten(rows);
    transaction.Finish();
    return;
  }
  while (uint8_t* in = nextRow()) {
    if (ReportProgress(++counter, total, last)) raiseAborted();
    lockAhead();
    if (!staging) transaction.BeforeWrite();
    if (staging && stagedRows == stagedRoom) appendStaged();
    if (staging && staged.empty()) staged.resize(stagedRoom * recordSize);
    uint8_t* out = staging ? staged.data() + stagedRows * recordSize : record.data();
    target.ClearRecordBuffer(out);
    target.ApplyDefaultValues(out);
    for (size_t i = 0; i < UpdateFields.size(); ++i) {
      const TColumnCopy& c = copies[i];
      uint8_t* at = out + c.to;
      const uint8_t* stored = in + c.from;
      if (c.kind == ckBytes) {
        if (stored[0] == 0) {
          std::memset(at, 0, c.size + 1u);
        } else {
          at[0] = 1;
          std::memcpy(at + 1, stored + 1, c.size);
        }
        continue;
      }
      if (c.kind == ckText) {
        // The field is clear but for a default, which the value replaces.
        size_t length = stored[0] == 0 ? 0 : strnlen(reinterpret_cast<const char*>(stored + 1), c.size);
        if (c.size > 0 && length >= c.size) length = c.size - 1u;
        while (length > 0 && stored[length] == ' ') --length;
        std::memset(at, 0, c.room + 1u);
        std::memcpy(at + 1, stored + 1, length);
        at[0] = length > 0 ? 1 : 0;
        continue;
      }
      uint16_t fieldNo = select.ResultFields[i]->ResultFieldNo;
      value->kind = expColumn;
      value->fieldNo = fieldNo;
      const TFieldDescriptor& d = source.GetFieldDesc(fieldNo);
      value->type = TEngineFieldType(d.Type());
      value->subType = TEngineFieldSubType(d.SubType());
      value->scale = d.StoredScale();
      value->SetValueSize(d.StoredSize());
      ReadCursorColumn(source, in, *value);
      writeColumnValue(target, out, *UpdateFields[i], *value, false);
    }
    if (staging) {
      if (++stagedRows * recordSize >= kStagedBytes) appendStaged();
      continue;
    }
    target.AppendRecord(record.data());
    target.FreeAllBlobs(true);
    transaction.RowWritten();
  }
  appendStaged();
  transaction.Finish();
}

bool TDataQuery::findByKey(std::vector<uint32_t>& rows) {
  if (SourceTables.size() != 1 || plan_.Conjuncts.size() != 1 || plan_.Residual || JoinRowCheck) return false;
  TSourceTable& table = *SourceTables.front();
  const TQueryPlan::Conjunct& conjunct = plan_.Conjuncts.front();
  TDataCursor& cursor = *table.Cursor;
  if (conjunct.Place != cpCursorFilter || conjunct.Table != &table || !table.Joins.empty() ||
      cursor.IsRemote() || !cursor.Filters().empty())
    return false;
  const TExpToken* node = conjunct.Tree;
  if (!node || node->kind != expBinary || node->code != opEqual || !node->left || !node->right) return false;
  const TExpToken* column = node->left;
  const TExpToken* value = node->right;
  if (column->kind != expColumn) std::swap(column, value);
  if (column->kind != expColumn || column->sourceTable != &table || column->fieldNo < 1 ||
      column->fieldNo > table.FieldCount() || ExpTreeHasColumnRef(value) || HoldsSubSelect(value) ||
      KeepsOwnType(column->type, value->type))
    return false;
  const uint16_t fieldNo = column->fieldNo;
  const uint8_t slot = EqualityKeyIndex(cursor, fieldNo);
  if (slot == kNoCurrentIndex) return false;
  // The value as the filter's prepared tree would hold it: converted to the column's type where
  // it converts.
  TokenPtr key(EvaluateAsTypeOf(*column, *value, nullptr, ReadSourceColumn, SortId, LanguageId));
  const auto type = TEngineFieldType(cursor.GetFieldDesc(fieldNo).Type());
  if (!key || key->isNull || key->type != type || column->type != type) return false;
  cursor.RefreshIfChanged();
  const uint8_t saved = cursor.CurrentIndex();
  // The key search below places the cursor.
  cursor.SwitchToIndexUnplaced(slot);
  if (cursor.ViewUsesBitmap()) {
    cursor.SwitchToIndex(saved);
    return false;
  }
  // Found, the cursor stays in the index: the run goes on in record order, switching once.
  platform::UndoOnFailure back([&] { cursor.SwitchToIndex(saved); });
  std::vector<uint8_t> keyRecord(cursor.RecordSize());
  cursor.ClearRecordBuffer(keyRecord.data());
  cursor.PutField(fieldNo, keyRecord.data(), key->Value());
  const int64_t wanted = EqualityKeyValue(type, key->Value());
  uint8_t* buffer = table.RecordBuffer.data();
  if (!cursor.FindKey(false, keyRecord.data(), 1, true, 0, buffer)) return true;
  uint8_t stored[16] = {};
  for (;;) {
    bool isNull = true;
    cursor.GetField(fieldNo, buffer, isNull, stored);
    // The index holds equal keys together: the first other value ends them.
    if (isNull || EqualityKeyValue(type, stored) != wanted) break;
    rows.push_back(cursor.CurrentRecordNo());
    if (cursor.NextKeySharesFields(1) == 0) break;
    const uint16_t code = cursor.GetNextRecord(buffer);
    if (code == VELDOR_EOF) break;
    RaiseEngineErrorIfSet(code);
  }
  return true;
}

void TDataQuery::executeChange() {
  TSourceTable& driving = *plan_.Driving();
  // The target is the statement's first table, whatever order the joins run in.
  TSourceTable* targetTable = nullptr;
  for (auto& t : SourceTables)
    if (t->TableNumber == 1) targetTable = t.get();
  if (!targetTable) targetTable = &driving;
  TDataCursor& target = *targetTable->Cursor;
  if (Kind == qkUpdate) target.SuppressAutoInc(NoAutoInc);
  // The transaction's write lock is taken before the plan's filters are set and the walk: no
  // other writer can commit between the rows found and the rows written, nor in the middle of
  // the walk, and the filters' reads need no read pair of their own.
  TStatementTransaction transaction(*this, target);
  ResetForExecute();
  // A single-table UPDATE evaluates its values against the record read with its lock.
  const bool valuesAtWrite = Kind == qkUpdate && SourceTables.size() == 1;

  // Every row is found before any changes: a change to a column that the walk's index or
  // filter depends on could otherwise move the row ahead of the walk or out of its view.
  // They are written in record order, each once, with the values of its first match.
  std::vector<std::pair<uint32_t, std::vector<TokenPtr>>> changes;
  int64_t counter = 0;
  int last = 0;
  std::vector<uint32_t> keyed;
  const bool byKey = findByKey(keyed);
  if (byKey) {
    // Each row once, as the filter's view would give them; the values come at the write.
    assert(Kind == qkDelete || valuesAtWrite);
    for (uint32_t recordNo : keyed) {
      if (ReportProgress(++counter, int64_t(keyed.size()), last)) raiseAborted();
      changes.emplace_back(recordNo, std::vector<TokenPtr>{});
    }
  } else {
    applyPlan();
  }
  const int64_t total = byKey ? 0 : driving.Cursor->GetRecordCount();
  std::vector<bool> found;
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
  // A change of every row of one table: nothing narrows its rows, however the planning placed
  // the conditions.
  const bool everyRow =
      !byKey && !HasConditions && !MultiTable && SourceTables.size() == 1 && targetTable == &driving &&
      driving.Joins.empty() &&
      std::all_of(std::begin(Conditions), std::end(Conditions), [](const auto& c) { return !c; }) &&
      plan_.Conjuncts.empty() && !plan_.Residual && !residual && !postJoin && !driving.Feed &&
      !driving.RowCheck && !driving.SkipTest;
  // Such a DELETE walks nothing: its rows are those of the cursor's view, which the record-id
  // index gives without reading a record.
  std::vector<uint32_t> numbers;
  const bool wholeView = Kind == qkDelete && everyRow && target.RecordNumbersOfView(numbers);
  // Counted as a walk counts its rows, with a report (and a chance to stop) at each row where the
  // walk's would fall: the rows between are counted at once.
  for (int64_t total = int64_t(numbers.size()), left = total; left > 0;) {
    const int64_t until = rowsUntilProgress(counter, total, last);
    const int64_t quiet = std::min(left, until > 0 ? until - 1 : 0);
    counter += quiet;
    left -= quiet;
    if (left == 0) break;
    --left;
    if (ReportProgress(++counter, total, last)) raiseAborted();
  }
  // Such an UPDATE in its own transaction with the one commit at the end takes the table's slots
  // instead of walking its rows: the change reads each record anyway and passes over those not in
  // use, as the walk would have. The transaction lock's take made the table current
  // (TDataTable::LockForTransaction), and no other writer changes it since.
  const bool everySlot = Kind == qkUpdate && everyRow && valuesAtWrite && transaction.OneCommit() &&
                         target.Table()->HoldsTransactionLock();
  if (everySlot) {
    const uint32_t slots = target.Table()->DataFile().GetLastRecordNumber();
    changes.reserve(slots);
    for (uint32_t recordNo = 1; recordNo <= slots; ++recordNo) {
      if (ReportProgress(++counter, slots, last)) raiseAborted();
      changes.emplace_back(recordNo, std::vector<TokenPtr>{});
    }
  }
  for (bool more = !byKey && !wholeView && !everySlot && driving.FirstMatch(jkNone); more;
       more = driving.NextMatch()) {
    if (ReportProgress(++counter, total, last)) raiseAborted();
    if (targetTable->AtEnd || !passes()) continue;
    uint32_t recordNo = targetTable->CurrentRecordNo();
    if (recordNo >= found.size()) found.resize(std::max<size_t>(recordNo + 1, found.size() * 2), false);
    if (found[recordNo]) continue;
    found[recordNo] = true;
    std::vector<TokenPtr>& values = changes.emplace_back(recordNo, std::vector<TokenPtr>{}).second;
    if (Kind == qkUpdate && !valuesAtWrite)
      for (auto& v : UpdateValues)
        values.emplace_back(
            EvaluateExpTree(v->Tree.get(), nullptr, nullptr, SortId, LanguageId, ReadSourceColumn));
  }
  const auto byRecord = [](const auto& a, const auto& b) { return a.first < b.first; };
  if (!std::is_sorted(changes.begin(), changes.end(), byRecord))
    std::sort(changes.begin(), changes.end(), byRecord);
  ResetForExecute();
  // A key search that found one row left the cursor on it in the key's index, and the
  // transaction's lock has kept every other writer out since: the row is written from there,
  // without the switch back to record-number order (a second build of the view) and the placing
  // by number.
  const bool standing = byKey && targetTable == &driving && changes.size() == 1 && target.Table() &&
                        target.Table()->HoldsTransactionLock() && !target.AtBOF() && !target.AtEOF() &&
                        target.CurrentRecordNo() == changes.front().first;
  // Otherwise each row is stood on by its number below; the key search's cursor has no filters
  // whose view the placing would have to build.
  if (!standing) {
    if (byKey && targetTable == &driving)
      target.SwitchToIndexUnplaced(255);
    else
      target.SwitchToIndex(255);
  }
  auto blobs = platform::ScopeExit([&] { target.FreeAllBlobs(true); });
  // The record read and, behind it, the stored image kept to compare it with, in one buffer.
  std::vector<uint8_t> images(size_t(target.RecordSize()) + target.StoredRecordSize());
  const std::span<uint8_t> record(images.data(), target.RecordSize());
  uint8_t* const stored = images.data() + record.size();
  // A row whose stored image the new values leave byte for byte as it was is not written: the
  // write would put back the same bytes, and only move the header's change counter and stamp,
  // which tell other readers to drop caches that are still right. The row is still locked,
  // checked and counted as the write would. Blob columns change outside the record, and a
  // remote cursor or the optimistic protocol locks or writes elsewhere: they always write.
  const uint32_t storedSize = target.StoredRecordSize();
  bool skipUnchanged = Kind == qkUpdate && !target.IsRemote() &&
                       target.Session().LockProtocol() == lpPessimistic && storedSize <= record.size();
  for (const auto& field : UpdateFields)
    if (target.GetFieldDesc(field->FieldNo).IsBlob()) skipUnchanged = false;
  if (!wholeView) {
    numbers.reserve(changes.size());
    for (const auto& change : changes) numbers.push_back(change.first);
  }
  size_t at = 0, lockedAhead = 0;
  // Every row of the table goes: the table's keys are rebuilt at once instead of changed row by
  // row, where nothing can keep a row from its delete.
  if (Kind == qkDelete && numbers.size() > 1 && transaction.OneCommit()) {
    lockedAhead = transaction.LockAhead(numbers, 0);
    if (target.DeleteEveryRecord(numbers)) {
      transaction.RowsWritten(numbers.size());
      transaction.Finish();
      return;
    }
  }
  if (wholeView) {
    changes.reserve(numbers.size());
    for (uint32_t recordNo : numbers) changes.emplace_back(recordNo, std::vector<TokenPtr>{});
  }
  // Values evaluated at the write keep their nodes from row to row. A constant is evaluated once
  // here, as an ExpValue would prime it, and its node serves every row.
  struct TWriteValue {
    TokenPtr constant;
    std::optional<ExpValue> computed;
  };
  std::vector<TWriteValue> atWrite;
  if (valuesAtWrite) {
    atWrite.resize(UpdateValues.size());
    for (size_t i = 0; i < UpdateValues.size(); ++i) {
      const TExpToken& tree = *UpdateValues[i]->Tree;
      if (tree.kind == expConstant)
        atWrite[i].constant.reset(
            EvaluateExpTree(&tree, nullptr, nullptr, SortId, LanguageId, ReadSourceColumn));
      else
        atWrite[i].computed.emplace(tree, SortId, LanguageId, ReadSourceColumn);
    }
  }
  std::vector<const TExpToken*> rowValues(UpdateFields.size());
  // Every value is evaluated before the first is written: an evaluation's error comes before a
  // conversion's.
  const auto makeNewValues = [&](uint8_t* image, std::vector<TokenPtr>& matchValues) {
    for (size_t i = 0; i < UpdateFields.size(); ++i)
      rowValues[i] = !valuesAtWrite        ? matchValues[i].get()
                     : atWrite[i].constant ? atWrite[i].constant.get()
                                           : &atWrite[i].computed->Evaluate(nullptr, nullptr);
    for (size_t i = 0; i < UpdateFields.size(); ++i)
      writeColumnValue(target, image, *UpdateFields[i], *rowValues[i], true);
  };
  // Rows that no index keys, changed in place run by run with the one commit at the end: each is
  // read where the run read it and written back with its run, as the row's own write would leave
  // it.
  if (valuesAtWrite && skipUnchanged && numbers.size() > 1 && transaction.OneCommit()) {
    lockedAhead = transaction.LockAhead(numbers, 0);
    size_t edited = 0, changed = 0;
    std::vector<TokenPtr> none;
    const bool done = target.ModifyEveryRecord(
        numbers,
        [&](uint8_t* image) {
          targetTable->RecordBuffer.assign(image, image + record.size());
          targetTable->AtEnd = false;
          makeNewValues(image, none);
          ++edited;
        },
        changed);
    if (done) {
      transaction.RowsWritten(edited, changed != 0);
      transaction.Finish();
      return;
    }
  }
  // The rows changed so far go to the held writes every kRowsPerSpill rows, so that the cache
  // keeps its size instead of holding every changed record to the commit.
  const bool spills = target.Table() && !target.IsRemote();
  size_t unspilled = 0;
  for (auto& [recordNo, matchValues] : changes) {
    if (at == lockedAhead) lockedAhead = transaction.LockAhead(numbers, at);
    ++at;
    // An UPDATE takes the write pair once its row proves to change.
    if (Kind == qkDelete) transaction.BeforeWrite();
    if (!standing) target.SetToRecordNo(recordNo);
    if (target.CurrentRecordNo() != recordNo || target.GetLockedCurrentRecord(record.data()) != 0) continue;
    if (Kind == qkDelete) {
      target.DeleteRecord(record.data(), false);
    } else {
      if (valuesAtWrite) {
        targetTable->RecordBuffer.assign(record.begin(), record.end());
        targetTable->AtEnd = false;
      }
      if (skipUnchanged) std::memcpy(stored, record.data(), storedSize);
      makeNewValues(record.data(), matchValues);
      if (skipUnchanged && std::memcmp(stored, record.data(), storedSize) == 0) {
        // What the write checks first, and the record lock it lets go at its end.
        target.CheckWritable();
        target.CheckFieldValues(record.data());
        target.UnlockRecord();
        matchValues.clear();
        transaction.RowWritten(false);
        continue;
      }
      transaction.BeforeWrite();
      // The cursor walks record numbers without filters: the write keeps the record's place in
      // the view as it is, and the next row is stood on by its number, so nothing repositions
      // on the row just written (which would read it again).
      target.ModifyRecord(record.data(), true, false);
      target.FreeAllBlobs(true);
      // The row's values go back to the node spares at once, for the next row to take.
      matchValues.clear();
      if (++unspilled == kRowsPerSpill && spills) {
        target.Table()->SpillDirtyRecords();
        unspilled = 0;
        // The rows still to come follow on without a gap: their room is held once, where the
        // extent would otherwise be copied at every doubling.
        if (at < numbers.size() && numbers.back() - numbers[at - 1] == numbers.size() - at)
          target.Table()->DataFile().ReserveRecordRun(numbers[at - 1] + 1, numbers.back());
      }
    }
    transaction.RowWritten();
  }
  transaction.Finish();
}

}  // namespace engine::sql
