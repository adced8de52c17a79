// The data cursor: fields of record buffers, defaults, field rules and reading the current record.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/storage/veldorkeys.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "engine/values/veldorexpeval.h"
#include "engine/values/veldorvalues.h"
#include "engine/values/veldorvaluetext.h"
#include "platform/bytes.h"
#include "platform/debugassert.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace engine {

using platform::ScopeExit;

namespace {

constexpr int64_t kMillisecondsPerDay = 86'400'000;
constexpr double kStampOriginDay = 693594;  // 1899-12-30, the day of a time alone

bool sameKeyword(std::string_view text, std::string_view keyword) {
  return platform::equalIgnoringAsciiCase(TrimBlanks(text), keyword);
}

// The date-time keywords of a default text as the stored bytes of the field's type; false for
// any other text.
bool presentMoment(std::string_view text, uint8_t type, uint8_t* value) {
  int32_t day = 0, ms = 0;
  const bool date = sameKeyword(text, "CURRENT_DATE"), time = sameKeyword(text, "CURRENT_TIME");
  const bool stamp = sameKeyword(text, "CURRENT_TIMESTAMP");
  if (!date && !time && !stamp) return false;
  EngineNow(day, ms);
  if (type == uint8_t(TEngineFieldType::Date) && date) {
    std::memcpy(value, &day, 4);
  } else if (type == uint8_t(TEngineFieldType::Time) && time) {
    std::memcpy(value, &ms, 4);
  } else if (type == uint8_t(TEngineFieldType::Timestamp)) {
    const double v = date ? double(day) * kMillisecondsPerDay
                          : (time ? kStampOriginDay * double(kMillisecondsPerDay) + ms
                                  : double(day) * kMillisecondsPerDay + ms);
    std::memcpy(value, &v, 8);
  } else {
    return false;
  }
  return true;
}

}  // namespace

const TFieldDescriptor& TDataCursor::GetFieldDesc(uint16_t fieldNo) const {
  if (fieldsRemapped_ && !IsRemote()) {
    for (const TCursorField& f : fields_)
      if (f.desc.FieldNumber() == fieldNo) return f.desc;
  } else if (fieldNo >= 1 && fieldNo <= fields_.size()) {
    return fields_[fieldNo - 1u].desc;
  }
  Raise(VELDOR_OUTOFRANGE, std::to_string(fieldNo));
}

const TFieldDescriptor& TDataCursor::GetTableFieldDesc(uint16_t fieldNo) const {
  const TFieldDescriptor* d = table_ ? table_->DataFile().GetFieldDescriptor(fieldNo) : nullptr;
  if (!d) Raise(VELDOR_OUTOFRANGE, std::to_string(fieldNo));
  return *d;
}

void TDataCursor::ClearRecordBuffer(uint8_t* buffer) const {
  std::memset(buffer, 0, recordSize_);
}

void TDataCursor::ReadFieldValue(const TFieldDescriptor& d, const uint8_t* buffer, bool& isNull,
                                 uint8_t* destination) {
  const bool autoInc = d.IsAutoInc();
  const uint8_t* at = buffer + d.Offset();
  isNull = !autoInc && at[0] == 0;
  if (!destination) return;
  // The value's bytes, then zeros up to the stored size.
  const size_t stored = d.StoredSize();
  const size_t copied = autoInc || d.IsBlob() ? 4 : stored;
  platform::copyShort(destination, autoInc ? at : at + 1, copied);
  if (copied < stored) std::memset(destination + copied, 0, stored - copied);
}

void TDataCursor::WriteFieldValue(const TFieldDescriptor& d, uint8_t* buffer, const uint8_t* value,
                                  bool blobNull, bool writeComputed) {
  if (d.Computed() && !writeComputed) return;
  const uint32_t size = d.StoredSize();
  uint8_t* at = buffer + d.Offset();
  if (!value) {
    if (!d.IsAutoInc()) std::memset(at, 0, size + 1u);
  } else if (d.Type() == kFieldTypeString && d.CaseRule() == 0) {
    // Without a case rule the text is only cut to the field and trimmed: no copy of it is made
    // (one a row for every longer text). Moved, as the value may lie in the buffer itself.
    // A longer text keeps the whole characters that fit: a cut inside one would store a text
    // that is no longer UTF-8.
    const char* text = reinterpret_cast<const char*>(value);
    size_t n = strnlen(text, size);
    if (size > 0 && n >= size) n = EngineStringView(std::string_view(text, n), size - 1u).size();
    while (n > 0 && text[n - 1] == ' ') --n;
    std::memmove(at + 1, text, n);
    std::memset(at + 1 + n, 0, size - n);
    at[0] = n == 0 ? 0 : 1;
  } else if (d.Type() == kFieldTypeString) {
    std::string text(reinterpret_cast<const char*>(value),
                     strnlen(reinterpret_cast<const char*>(value), size));
    if (size > 0 && text.size() >= size) text.resize(EngineStringView(text, size - 1u).size());
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (d.CaseRule() == 1) OSLowerCase(languageId_, sortId_, text, size > 0 ? size - 1u : 0);
    if (d.CaseRule() == 2) OSUpperCase(languageId_, sortId_, text, size > 0 ? size - 1u : 0);
    if (size > 0 && text.size() >= size) {
      // Cut at a character boundary.
      size_t n = size - 1u;
      while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80) --n;
      text.resize(n);
    }
    std::memset(at, 0, size + 1u);
    std::memcpy(at + 1, text.data(), text.size());
    at[0] = text.empty() ? 0 : 1;
  } else if (d.IsBlob()) {
    int32_t reference;
    std::memcpy(&reference, value, 4);
    std::memcpy(at + 1, value, 4);
    at[0] = reference > 0 ? 1 : (reference < 0 ? !blobNull : 0);
  } else if (d.IsAutoInc()) {
    std::memcpy(at, value, 4);
  } else if (d.Type() == uint8_t(TEngineFieldType::Boolean)) {
    uint16_t v;
    std::memcpy(&v, value, 2);
    v = v != 0 ? 1 : 0;
    at[0] = 1;
    std::memcpy(at + 1, &v, 2);
  } else {
    at[0] = 1;
    std::memcpy(at + 1, value, size);
  }
  if (!d.Computed()) ComputeFields(buffer);
}

void TDataCursor::GetField(uint16_t fieldNo, const uint8_t* buffer, bool& isNull, uint8_t* value) const {
  ReadFieldValue(GetFieldDesc(fieldNo), buffer, isNull, value);
}
void TDataCursor::GetTableField(uint16_t fieldNo, const uint8_t* buffer, bool& isNull, uint8_t* value) const {
  ReadFieldValue(GetTableFieldDesc(fieldNo), buffer, isNull, value);
}
void TDataCursor::PutField(uint16_t fieldNo, uint8_t* buffer, const uint8_t* value, bool blobNull,
                           bool writeComputed) {
  WriteFieldValue(GetFieldDesc(fieldNo), buffer, value, blobNull, writeComputed);
}
void TDataCursor::PutTableField(uint16_t fieldNo, uint8_t* buffer, const uint8_t* value, bool blobNull) {
  WriteFieldValue(GetTableFieldDesc(fieldNo), buffer, value, blobNull, false);
}

void TDataCursor::ApplyDefaultValues(uint8_t* buffer) {
  if (!hasDefaults_) return;
  const uint16_t count = table_->DataFile().GetFieldCount();
  for (uint16_t p = 1; p <= count; ++p) {
    const TFieldDescriptor& d = GetTableFieldDesc(p);
    const std::string text = d.DefaultText();
    const TEngineFieldType type = TEngineFieldType(d.Type());
    if (text.empty() || d.IsBlob() || type == TEngineFieldType::Bytes || type == TEngineFieldType::VarBytes)
      continue;
    std::array<uint8_t, kValueBufferSize> value{};
    if (!presentMoment(text, d.Type(), value.data())) {
      std::memcpy(value.data(), text.data(), std::min(text.size(), value.size() - 1));
      try {
        if (type == TEngineFieldType::Date || type == TEngineFieldType::Time ||
            type == TEngineFieldType::Timestamp) {
          if (!ParseDateTimeValue(text, type, value)) RaiseConvertError(kInvalidDateText, text);
        } else if (type != TEngineFieldType::String &&
                   !ConvertValue(TEngineFieldType::String, uint32_t(text.size() + 1), 0, type, d.StoredSize(),
                                 d.StoredScale(), value)) {
          RaiseConvertError(kOutOfRangeText, text);
        }
      } catch (const EConvertError& e) {
        // A default that the check at creation let through (a damaged descriptor, a value the
        // field's size cannot hold) is the engine's error that creation raises, with the
        // parser's message as its text: no other error family leaves the cursor.
        SignalEngineError(VELDOR_INVALIDVCHKSTRUCT, "", "", GetDirectoryName(), tableName_, d.Name(), "",
                          e.what());
      }
    }
    PutTableField(p, buffer, value.data());
  }
}

bool TDataCursor::CheckFieldBound(std::string_view bound, bool isMax, const TFieldDescriptor& d,
                                  const uint8_t* value) const {
  const TEngineFieldType type = TEngineFieldType(d.Type());
  int order;
  if (type == TEngineFieldType::String) {
    const std::string_view text(reinterpret_cast<const char*>(value),
                                strnlen(reinterpret_cast<const char*>(value), d.StoredSize()));
    order = OSCompareStrings(languageId_, sortId_, text, false, 0, bound);
  } else {
    switch (type) {
      case TEngineFieldType::Date:
      case TEngineFieldType::Time:
      case TEngineFieldType::Timestamp:
      case TEngineFieldType::SmallInt:
      case TEngineFieldType::Integer:
      case TEngineFieldType::Word:
      case TEngineFieldType::LargeInt:
      case TEngineFieldType::Float:
      case TEngineFieldType::BCD:
        break;
      default:
        return true;
    }
    // Both sides as the field's stored bytes, compared through their byte-comparable keys.
    std::array<uint8_t, kValueBufferSize> limit{};
    std::memcpy(limit.data(), bound.data(), std::min(bound.size(), limit.size() - 1));
    const bool parsed = (type == TEngineFieldType::Date || type == TEngineFieldType::Time ||
                         type == TEngineFieldType::Timestamp)
                            ? ParseDateTimeValue(bound, type, limit)
                            : ConvertValue(TEngineFieldType::String, uint32_t(bound.size() + 1), 0, type,
                                           d.StoredSize(), d.StoredScale(), limit);
    if (!parsed) return true;
    const uint32_t keySize = GetFieldKeySize(d.Span());
    std::vector<uint8_t> a(keySize + 1), b(keySize + 1);
    BuildFieldKey(d.Span(), {value, d.StoredSize()}, a, false, false, 0, 0);
    BuildFieldKey(d.Span(), {limit.data(), d.StoredSize()}, b, false, false, 0, 0);
    order = CompareBytes(a.data() + 1, b.data() + 1, uint16_t(keySize), false);
  }
  return isMax ? order <= 0 : order >= 0;
}

void TDataCursor::CheckFieldValues(const uint8_t* buffer) const {
  if (!hasChecks_) return;
  const uint16_t count = table_->DataFile().GetFieldCount();
  for (uint16_t p = 1; p <= count; ++p) {
    const TFieldDescriptor& d = GetTableFieldDesc(p);
    const std::string minText = d.MinText(), maxText = d.MaxText();
    if (!d.Required() && minText.empty() && maxText.empty()) continue;
    std::array<uint8_t, kValueBufferSize> value{};
    bool isNull = false;
    ReadFieldValue(d, buffer, isNull, value.data());
    if (d.Required() && isNull) Raise(VELDOR_REQDERR, d.Name());
    if (!minText.empty() && !CheckFieldBound(minText, false, d, value.data()))
      Raise(VELDOR_MINVALERR, d.Name());
    if (!maxText.empty() && !CheckFieldBound(maxText, true, d, value.data()))
      Raise(VELDOR_MAXVALERR, d.Name());
  }
}

void TDataCursor::readRecord(uint32_t recordNo, uint8_t* image, bool readAhead) {
  TDataFile& data = table_->DataFile();
  // GetRecord appends a fresh slot for the number after the last one; a read there (a record
  // number just past the end, or one a rollback took back) finds no record, as past it.
  if (recordNo >= data.GetNextRecordNumber()) Raise(VELDOR_FILECORRUPT);
  TRecord* record = nullptr;
  // A fetch that met another writer's change is tried once more on the refreshed table. The
  // cursor sizes the run: records its view will read next, not the slots that merely follow.
  if (!data.GetRecord(this, recordNo, record, true, readAhead, readAhead) &&
      !data.GetRecord(this, recordNo, record, true, readAhead, readAhead))
    Raise(VELDOR_FILECORRUPT);
  std::memcpy(image, record->GetBuffer(), std::min<uint32_t>(recordSize_, data.GetRecordSize()));
  data.ReleaseRecord(record);
}

void TDataCursor::LoadCurrentRecord(bool readAhead) {
  if (currentRecordNo_ != 0)
    readRecord(currentRecordNo_, recordBuffer_.data(), readAhead);
  else
    std::fill(recordBuffer_.begin(), recordBuffer_.end(), 0);
  // Only once the buffer was filled: a step that fails on a cache miss is taken back and leaves
  // a deferred load in place.
  deferredRecordNo_ = 0;
  ComputeFields(recordBuffer_.data());
}

void TDataCursor::deferRecordLoad() {
  if ((atBOF_ && atEOF_) || currentRecordNo_ == 0 || !options_.Exclusive || IsRemote() ||
      hasComputedFields_ || !table_ || table_->GetOpenCount() != 1 || table_->InTransaction())
    return loadPositionRecord();
  deferredRecordNo_ = currentRecordNo_;
}

void TDataCursor::loadDeferredRecord() {
  if (deferredRecordNo_ == 0) return;
  readRecord(deferredRecordNo_, recordBuffer_.data());
  deferredRecordNo_ = 0;
}

bool TDataCursor::BindColumn(void* cursor, TExpToken& node) {
  auto* c = static_cast<TDataCursor*>(cursor);
  if (!c->table_) return false;
  uint16_t position = 0;
  const TFieldDescriptor* d = c->table_->DataFile().FindFieldByName(node.columnName, position);
  if (!d) return false;
  node.fieldNo = d->FieldNumber();
  node.tableName = c->TableName();
  node.type = TEngineFieldType(d->Type());
  node.subType = TEngineFieldSubType(d->SubType());
  node.valueSize = d->StoredSize();
  node.scale = d->StoredScale();
  return true;
}

void TDataCursor::AttachFieldExpression(uint16_t position, TExpToken* tree) {
  std::shared_ptr<const TExpToken> owned(tree, [](const TExpToken* node) {
    TExpToken* n = const_cast<TExpToken*>(node);
    FreeExpTree(n);
  });
  // Its columns are this cursor's: a text search among them searches the record computed.
  std::vector<TExpToken*> pending{tree};
  while (!pending.empty()) {
    TExpToken* node = pending.back();
    pending.pop_back();
    if (!node) continue;
    if (node->kind == expColumn) node->sourceTable = filterSourceTable();
    pending.insert(pending.end(), {node->left, node->right, node->third});
    pending.insert(pending.end(), node->args.begin(), node->args.end());
  }
  TCursorField& f = fields_.Own().at(position - 1u);
  f.tree = std::move(owned);
  if (!f.desc.Computed()) {
    f.desc.SetComputed(true);
    f.desc.SetOffset(uint16_t(recordSize_));
    loadDeferredRecord();
    recordSize_ += f.desc.StoredSize() + 1u;
    if (active_) recordBuffer_.resize(recordSize_, 0);
  }
  hasComputedFields_ = true;
}

void TDataCursor::ComputeFields(uint8_t* buffer) {
  if (!hasComputedFields_ || computingColumn_) return;
  // Writing a value, or reading a blob column, may come back here: the values are computed once.
  computingColumn_ = true;
  ScopeExit reset([&] { computingColumn_ = false; });
  for (const TCursorField& f : fields_)
    if (f.desc.Computed() && f.tree) computeField(f, buffer, buffer);
}

uint16_t TDataCursor::GetCurrentRecord(uint8_t* buffer, bool lock) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  if (IsRemote()) return remoteCurrentRecord(buffer, lock);
  ReadScope scope(*this);
  // The record read here is seen: a step forward goes past it.
  ScopeExit seen([&] { resumeOnCurrent_ = false; });
  SyncWithTable();
  // The record read under the lock just taken is the one returned: nothing comes in between.
  bool loaded = false;
  if (lock && Session().LockProtocol() == lpPessimistic && currentRecordNo_ != 0 && !atBOF_ && !atEOF_) {
    const uint32_t held = lockedRecordNo_;
    LockRecord();
    if (!options_.Exclusive) {
      LoadCurrentRecord(false);
      loaded = true;
      if (!buffer || std::memcmp(buffer, recordBuffer_.data(), StoredRecordSize()) != 0) {
        // Only the lock just taken goes: one the cursor held before stays its own, not an orphan
        // that would refuse the cursor its own record later.
        UnlockRecord();
        lockedRecordNo_ = held;
        Raise(VELDOR_KEYORRECDELETED);
      }
    }
  }
  uint16_t result = 0;
  if (atBOF_ && atEOF_)
    result = VELDOR_NOCURRREC;
  else if (atBOF_)
    result = VELDOR_BOF;
  else if (atEOF_ || currentRecordNo_ == 0)
    result = atEOF_ ? VELDOR_EOF : VELDOR_NOCURRREC;
  if (result != 0) {
    if (buffer) ClearRecordBuffer(buffer);
    return result;
  }
  if (!loaded) LoadCurrentRecord(true);
  if (recordBuffer_[0] != kRecordInUse) {
    if (buffer) ClearRecordBuffer(buffer);
    return VELDOR_NOCURRREC;
  }
  if (buffer) std::memcpy(buffer, recordBuffer_.data(), recordSize_);
  return 0;
}

uint16_t TDataCursor::GetLockedCurrentRecord(uint8_t* buffer) {
  // While the table holds the transaction lock (or is exclusive) no other writer can change the
  // record between the read and the lock: the read under the lock and its compare would prove
  // nothing, so the record is read once. Otherwise the image read first is checked under the
  // lock.
  if (!active_ || IsRemote() || !table_ || Session().LockProtocol() != lpPessimistic ||
      !(options_.Exclusive || table_->HoldsTransactionLock())) {
    const uint16_t result = GetCurrentRecord(buffer, false);
    return result != 0 ? result : GetCurrentRecord(buffer, true);
  }
  const uint16_t result = GetCurrentRecord(buffer, false);
  if (result != 0) return result;
  LockRecord();
  VELMARON_DEBUG_ASSERT(currentRecordStill(buffer),
                        "no other writer changes a record under the transaction lock");
  return 0;
}

bool TDataCursor::currentRecordStill(const uint8_t* image) {
  std::vector<uint8_t> now(recordSize_);
  readRecord(currentRecordNo_, now.data());
  return std::memcmp(now.data(), image, StoredRecordSize()) == 0;
}

uint16_t TDataCursor::CloneCurrentRecord(uint8_t* buffer) {
  if (IsRemote()) return remoteCloneCurrentRecord(buffer);
  // The record and its blobs under one read: a blob of a record that another writer changed in
  // between would be refused (or, read anyway, be of another version than the other fields).
  const bool held = HoldRead();
  ScopeExit end([&] {
    if (held) EndRead();
  });
  std::vector<uint8_t> current(recordSize_);
  const uint16_t result = GetCurrentRecord(current.data(), false);
  if (result != 0) {
    if (buffer) ClearRecordBuffer(buffer);
    return result;
  }
  if (!buffer) return 0;
  ClearRecordBuffer(buffer);
  std::array<uint8_t, kValueBufferSize> value{};
  for (uint16_t p = 1; p <= FieldCount(); ++p) {
    const TFieldDescriptor& d = GetFieldDesc(p);
    if (d.IsAutoInc()) continue;
    if (d.IsBlob()) {
      // The copy gets a blob of its own.
      CopyBlobValue(p, false, current.data(), *this, p, buffer);
      continue;
    }
    bool isNull = false;
    ReadFieldValue(d, current.data(), isNull, value.data());
    WriteFieldValue(d, buffer, isNull ? nullptr : value.data(), false, false);
  }
  if (suppressAutoInc_) std::memcpy(buffer + kAutoIncFieldOffset, current.data() + kAutoIncFieldOffset, 4);
  return 0;
}

}  // namespace engine
