// The dataset over an engine cursor, the database link of datasets, and the blob stream.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "dataset/dberror.h"
#include "engine/base/veldorhelpers.h"
#include "engine/components/veldortb.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "platform/bytes.h"
#include "platform/scopeguard.h"

namespace engine::components {

namespace ds = dataset;
using ds::DatabaseError;
using ds::DatabaseErrorFmt;
using ds::Variant;
using platform::ScopeExit;

namespace {

// Record buffer: the engine image, then 8 bytes of record info (i32 sequence number, the
// bookmark flag), then the bookmark, sized for the longest key so that a change of index keeps
// the layout.
constexpr size_t kInfoSize = 8;
constexpr size_t kBookmarkRoom = kMaxCursorKeySize;
// Days between the engine's day 1 (0001-01-01) and the dataset layer's day 0 (1899-12-30).
constexpr int32_t kDayOffset = 693594;
constexpr double kMsPerDay = 86400000.0;
constexpr uint8_t kMemo = 22;
constexpr int64_t kMaxBlobPosition = 0x7FFFFFFF;

double getDouble(const uint8_t* p) {
  return std::bit_cast<double>(platform::get8(p));
}
void putDouble(uint8_t* p, double v) {
  platform::put8(p, std::bit_cast<uint64_t>(v));
}

bool editingState(ds::DataSetState s) {
  return s == ds::dsEdit || s == ds::dsInsert;
}

// The blob word of `field` in `record`: negative while the blob is open in the cursor.
int32_t blobWord(const TFieldDescriptor& field, const uint8_t* record) {
  return platform::get4s(record + field.Offset() + 1);
}

// Whether `v` is a number with more decimals than `places` (at most 4, currency's): a field of
// that many places holds it only rounded. Values that are not numbers are left to the field.
bool hasMorePlaces(const Variant& v, int places) {
  int64_t unit = 1;
  for (int i = places; i < 4; ++i) unit *= 10;
  if (v.type() == ds::VariantType::Currency) return v.asCurrency().scaled % unit != 0;
  if (v.type() != ds::VariantType::Double && !v.isText()) return false;
  double d = 0;
  try {
    d = v.asDouble();
  } catch (const ds::EVariantError&) {
    return false;
  }
  if (!std::isfinite(d)) return false;
  if (places == 0) return d != std::trunc(d);
  // Any digit past the field's places counts, a fifth or seventh as much as a third; the margin
  // only absorbs the double's own error (1.23 reads as 1.2299999...).
  const double x = d * double(10000 / unit);
  return std::fabs(x - std::nearbyint(x)) > 1e-9 * std::max(1.0, std::fabs(x));
}

// `value` into the DECIMAL field's 34 bytes as SQL assignment puts it there: a number's text read
// exactly, a float through its scaled value, whole numbers exactly, each rounded half to even to
// the field's places once. A value that does not fit is refused, never cut or kept.
void putDecimal(const TFieldDescriptor& field, const Variant& value, uint8_t* out) {
  using T = TEngineFieldType;
  std::array<uint8_t, kValueBufferSize> buffer{};
  bool stored = false;
  std::string text;
  if (value.type() == ds::VariantType::Currency) {
    EncodeBcdValue(value.asCurrency().scaled, kBcdMaxFieldScale, buffer.data());
    stored = sql::AssignDecimal(T::BCD, kBcdSize, field.Scale(), buffer);
  } else if (value.isText()) {
    text = value.asString();
    if (text.size() < buffer.size()) {
      std::memcpy(buffer.data(), text.data(), text.size());
      stored = sql::AssignDecimal(T::String, uint32_t(text.size() + 1), field.Scale(), buffer);
    }
  } else if (value.type() == ds::VariantType::Double) {
    PutFloatValue(buffer.data(), value.asDouble());
    stored = sql::AssignDecimal(T::Float, 8, field.Scale(), buffer);
  } else {
    PutLargeIntValue(buffer.data(), value.asInt64());
    stored = sql::AssignDecimal(T::LargeInt, 8, field.Scale(), buffer);
  }
  if (!stored) {
    if (text.empty()) text = value.asString();
    if (value.isText() && !IsValidFloatText(text))
      ds::DatabaseError("'" + text + "' is not a valid value for field '" + field.Name() + "'");
    const std::string largest = sql::LargestDecimalText(field.Scale());
    ds::DatabaseError(text + " is not a valid value for field '" + field.Name() +
                      "'. The allowed range is -" + largest + " to " + largest);
  }
  std::memcpy(out, buffer.data(), kBcdSize);
}

}  // namespace

// ---- Values ----

Variant EngineValueToVariant(const TFieldDescriptor& field, const uint8_t* v) {
  switch (field.Type()) {
    case 1:
      return Variant(std::string(reinterpret_cast<const char*>(v),
                                 strnlen(reinterpret_cast<const char*>(v), field.StoredSize())));
    case 2:
      return Variant(ds::DateTime{double(platform::get4s(v) - kDayOffset)});
    case 4:
      return Variant(platform::get2(v) != 0);
    case 5:
      return Variant(int16_t(platform::get2(v)));
    case 6:
    case 13:
      return Variant(platform::get4s(v));
    case 7:
      return Variant(getDouble(v));
    case 8: {
      TBcd bcd;
      std::memcpy(&bcd, v, sizeof bcd);
      return Variant(ds::Currency{BcdToCurrency(bcd)});
    }
    case 9:
    case 15:
      return Variant::bytes(std::vector<uint8_t>(v, v + field.StoredSize()));
    case 10:
      return Variant(ds::DateTime{platform::get4s(v) / kMsPerDay});
    case 11:
      return Variant(ds::DateTime{getDouble(v) / kMsPerDay - kDayOffset});
    case 12:
      return Variant(int32_t(platform::get2(v)));
    case 18:
      return Variant(int64_t(platform::get8(v)));
    default:
      return Variant::null();
  }
}

bool VariantToEngineValue(const TFieldDescriptor& field, const Variant& value, uint8_t* out) {
  if (value.isNull()) return false;
  std::memset(out, 0, field.StoredSize());
  switch (field.Type()) {
    case 1: {
      // A text longer than the field keeps the whole characters that fit, as SQL stores it.
      const std::string s = value.asString();
      const std::string_view kept = EngineStringView(s, field.StoredSize() - 1u);
      if (kept.empty()) return false;
      std::memcpy(out, kept.data(), kept.size());
      return true;
    }
    case 2:
      platform::put4(out, uint32_t(int32_t(std::floor(value.asDateTime().days)) + kDayOffset));
      return true;
    case 4:
      platform::put2(out, value.asBool() ? 1 : 0);
      return true;
    case 5:
      platform::put2(out, uint16_t(int16_t(value.asInt32())));
      return true;
    case 6:
    case 13:
      platform::put4(out, uint32_t(value.asInt32()));
      return true;
    case 7:
      putDouble(out, value.asDouble());
      return true;
    case 8:
      putDecimal(field, value, out);
      return true;
    case 9:
    case 15: {
      const std::vector<uint8_t> b = value.asBytes();
      std::memcpy(out, b.data(), std::min<size_t>(b.size(), field.StoredSize()));
      return true;
    }
    case 10: {
      const double days = value.asDateTime().days;
      platform::put4(out, uint32_t(int32_t(std::llround((days - std::floor(days)) * kMsPerDay))));
      return true;
    }
    case 11:
      putDouble(out, std::round((value.asDateTime().days + kDayOffset) * kMsPerDay));
      return true;
    case 12:
      platform::put2(out, uint16_t(value.asInt32()));
      return true;
    case 18:
      platform::put8(out, uint64_t(value.asInt64()));
      return true;
    default:
      return false;
  }
}

ds::FieldType EngineTypeToFieldType(uint8_t type, uint8_t subType) {
  switch (type) {
    case 1:
      return ds::ftString;
    case 2:
      return ds::ftDate;
    case 3:
      return subType == 22   ? ds::ftMemo
             : subType == 24 ? ds::ftFmtMemo
             : subType == 26 ? ds::ftGraphic
             : subType == 28 ? ds::ftTypedBinary
                             : ds::ftBlob;
    case 4:
      return ds::ftBoolean;
    case 5:
      return ds::ftSmallint;
    case 6:
      return subType == kFieldSubTypeAutoInc ? ds::ftAutoInc : ds::ftInteger;
    case 7:
      return subType == 21 ? ds::ftCurrency : ds::ftFloat;
    case 8:
      return ds::ftBCD;
    case 9:
      return ds::ftBytes;
    case 10:
      return ds::ftTime;
    case 11:
      return ds::ftDateTime;
    case 12:
      return ds::ftWord;
    case 13:
      return ds::ftInteger;
    case 15:
      return ds::ftVarBytes;
    case 18:
    case 19:
      return ds::ftLargeint;
    case 20:
      return ds::ftADT;
    case 21:
      return ds::ftArray;
    case 22:
      return ds::ftReference;
    case 23:
      return ds::ftDataSet;
    default:
      return ds::ftUnknown;
  }
}

void FieldTypeToEngineType(ds::FieldType t, uint8_t& type, uint8_t& subType) {
  subType = 0;
  switch (t) {
    case ds::ftString:
    case ds::ftFixedChar:
    case ds::ftWideString:
      type = 1;
      break;
    case ds::ftSmallint:
      type = 5;
      break;
    case ds::ftInteger:
    case ds::ftAutoInc:
      type = 6;
      break;
    case ds::ftWord:
      type = 12;
      break;
    case ds::ftBoolean:
      type = 4;
      break;
    case ds::ftFloat:
    case ds::ftCurrency:
      type = 7;
      break;
    case ds::ftBCD:
      type = 8;
      break;
    case ds::ftDate:
      type = 2;
      break;
    case ds::ftTime:
      type = 10;
      break;
    case ds::ftDateTime:
      type = 11;
      break;
    case ds::ftBytes:
      type = 9;
      break;
    case ds::ftVarBytes:
      type = 15;
      break;
    case ds::ftBlob:
    case ds::ftParadoxOle:
    case ds::ftDBaseOle:
    case ds::ftOraBlob:
    case ds::ftOraClob:
      type = 3;
      break;
    case ds::ftMemo:
      type = 3, subType = 22;
      break;
    case ds::ftGraphic:
      type = 3, subType = 26;
      break;
    case ds::ftFmtMemo:
      type = 3, subType = 24;
      break;
    case ds::ftTypedBinary:
      type = 3, subType = 28;
      break;
    case ds::ftCursor:
      type = 17;
      break;
    case ds::ftLargeint:
      type = 18;
      break;
    case ds::ftADT:
      type = 20;
      break;
    case ds::ftArray:
      type = 21;
      break;
    case ds::ftReference:
      type = 22;
      break;
    case ds::ftDataSet:
      type = 23;
      break;
    default:
      type = 0;
  }
}

// ---- The dataset ----

TVELDORDataSet::TVELDORDataSet() = default;

TVELDORDataSet::~TVELDORDataSet() = default;

void TVELDORDataSet::DestroyCursor() {
  if (!cursor_) return;
  TSessionLock lock(LockSession());
  DestroyLookupCursor();
  cursor_->Close();
  cursor_.reset();
}

void TVELDORDataSet::OpenCursor(bool infoQuery) {
  if (!infoQuery) {
    {
      TSessionLock lock(LockSession());
      cursor_ = CreateCursor(false);
    }
    if (!cursor_) DatabaseError(SHandleError);
  }
  DataSet::OpenCursor(infoQuery);
}

void TVELDORDataSet::CloseCursor() {
  DataSet::CloseCursor();
  DestroyCursor();
}

void TVELDORDataSet::fillFieldDefs(TDataCursor& cursor) {
  ds::FieldDefs& defs = GetFieldDefs();
  defs.Clear();
  for (uint16_t i = 1; i <= cursor.FieldCount(); ++i) {
    const TFieldDescriptor& d = cursor.Field(i).desc;
    const ds::FieldType type = EngineTypeToFieldType(d.Type(), d.SubType());
    if (type == ds::ftUnknown || d.Hidden()) continue;
    std::string name = d.Name();
    for (int n = 1; defs.Find(name); ++n) name = d.Name() + "_" + std::to_string(n);
    ds::FieldDef& def = defs.AddFieldDef();
    def.Name = name;
    def.DataType = type;
    def.FieldNo = i;
    def.Required = d.Required() != 0;
    // A computed field's value comes from its expression: it is never edited.
    if (d.Computed()) def.Attributes |= ds::faReadonly;
    if (type == ds::ftString || type == ds::ftBytes || type == ds::ftVarBytes) def.Size = d.Size();
    if (type == ds::ftBCD) def.Precision = 32, def.Size = d.Scale();
  }
  defs.Updated = true;
}

void TVELDORDataSet::InternalInitFieldDefs() {
  if (cursor_) fillFieldDefs(*cursor_);
}

void TVELDORDataSet::InternalOpen() {
  TSessionLock lock(LockSession());
  recordSize_ = cursor_->RecordSize();
  BookmarkSize = cursor_->GetKeySize();
  fillFieldDefs(*cursor_);
  CreateFields();
  makeFieldReaders();
  for (int i = 0; i < FieldCount(); ++i) {
    ds::Field& f = Fields(i);
    if (f.Kind != ds::FieldKind::Data || f.FieldNo <= 0) continue;
    const std::string text = cursor_->Field(uint16_t(f.FieldNo)).desc.Description();
    if (AutoDisplayLabels && !text.empty()) f.DisplayLabel = text;
  }
  infoOffset_ = recordSize_;
  bookmarkOffset_ = infoOffset_ + kInfoSize;
  bufferSize_ = bookmarkOffset_ + kBookmarkRoom;
  oldValues_.assign(recordSize_, 0);
  cursor_->SetToBegin();
  PrepareCursor();
  installFilters();
}

void TVELDORDataSet::makeFieldReaders() {
  fieldReaders_.clear();
  for (int i = 0; i < FieldCount(); ++i) {
    const ds::Field& f = Fields(i);
    if (f.Kind != ds::FieldKind::Data || f.FieldNo <= 0) continue;
    const TFieldDescriptor& d = cursor_->GetFieldDesc(uint16_t(f.FieldNo));
    FieldReader reader;
    if (d.Type() == kFieldTypeString)
      reader.how = FieldRead::Text;
    else if (d.Type() == kFieldTypeInteger && !d.IsAutoInc() && d.StoredSize() == 4)
      reader.how = FieldRead::Int32;
    else
      continue;
    reader.storedSize = d.StoredSize();
    reader.offset = d.Offset();
    if (fieldReaders_.size() <= size_t(f.FieldNo)) fieldReaders_.resize(size_t(f.FieldNo) + 1);
    fieldReaders_[size_t(f.FieldNo)] = reader;
  }
}

const uint8_t* TVELDORDataSet::directField(const ds::Field& field, FieldRead how, bool& known) {
  known = field.Kind == ds::FieldKind::Data && field.FieldNo > 0 &&
          size_t(field.FieldNo) < fieldReaders_.size() && fieldReaders_[size_t(field.FieldNo)].how == how;
  if (!known) return nullptr;
  // As GetFieldData finds the record.
  const uint8_t* buffer = GetStateBuffer();
  if (!buffer || !cursor_ || (IsEmpty() && State() == ds::dsBrowse)) return nullptr;
  const uint8_t* at = buffer + fieldReaders_[size_t(field.FieldNo)].offset;
  return at[0] == 0 ? nullptr : at;
}

ds::DataSet::DirectRead TVELDORDataSet::ReadFieldText(ds::Field& field, std::string& out) {
  bool known = false;
  const uint8_t* at = directField(field, FieldRead::Text, known);
  if (!known) return DirectRead::Unknown;
  if (!at) return DirectRead::Null;
  const char* text = reinterpret_cast<const char*>(at + 1);
  out.assign(text, strnlen(text, fieldReaders_[size_t(field.FieldNo)].storedSize));
  return DirectRead::Value;
}

ds::DataSet::DirectRead TVELDORDataSet::ReadFieldInt32(ds::Field& field, int32_t& out) {
  bool known = false;
  const uint8_t* at = directField(field, FieldRead::Int32, known);
  if (!known) return DirectRead::Unknown;
  if (!at) return DirectRead::Null;
  out = platform::get4s(at + 1);
  return DirectRead::Value;
}

void TVELDORDataSet::InternalClose() {
  fieldReaders_.clear();
  dropFilters();
  block_.clear();
  blockSize_ = 0;
  blockCapacity_ = blockCount_ = blockPos_ = 0;
  for (KeyBuffer& key : keys_) key = {};
  savedKey_ = {};
  keyBuffer_ = nullptr;
  oldValues_.clear();
  DestroyFields();
}

uint8_t* TVELDORDataSet::AllocRecordBuffer() {
  return new uint8_t[bufferSize_]();
}

void TVELDORDataSet::FreeRecordBuffer(uint8_t*& buffer) {
  delete[] buffer;
  buffer = nullptr;
}

ds::GetResult TVELDORDataSet::GetRecord(uint8_t* buffer, ds::GetMode mode, bool doCheck) {
  TSessionLock lock(LockSession());
  uint16_t code = 0;
  switch (mode) {
    case ds::gmCurrent:
      code = cursor_->GetCurrentRecord(buffer, false);
      break;
    case ds::gmNext:
      code = cursor_->GetNextRecord(buffer);
      break;
    case ds::gmPrior:
      code = cursor_->GetPriorRecord(buffer);
      break;
  }
  if (code == VELDOR_BOF) return ds::grBOF;
  if (code == VELDOR_EOF) return ds::grEOF;
  if (code != 0) {
    if (doCheck && code != VELDOR_NOCURRREC) CheckEngineError(code);
    return ds::grError;
  }
  platform::put4(buffer + infoOffset_, uint32_t(cursor_->GetSequenceNumber()));
  buffer[infoOffset_ + 4] = ds::bfCurrent;
  cursor_->GetBookmark(buffer + bookmarkOffset_);
  GetCalcFields(buffer);
  return ds::grOK;
}

void TVELDORDataSet::InternalFirst() {
  TSessionLock lock(LockSession());
  cursor_->SetToBegin();
}

void TVELDORDataSet::InternalLast() {
  TSessionLock lock(LockSession());
  cursor_->SetToEnd();
}

void TVELDORDataSet::InternalInitRecord(uint8_t* buffer) {
  cursor_->ClearRecordBuffer(buffer);
}

void TVELDORDataSet::InitRecord(uint8_t* buffer) {
  DataSet::InitRecord(buffer);
  platform::put4(buffer + infoOffset_, uint32_t(-1));
  buffer[infoOffset_ + 4] = ds::bfInserted;
}

void TVELDORDataSet::DoOnNewRecord() {
  TSessionLock lock(LockSession());
  uint8_t* buffer = ActiveBuffer();
  // An append stands at the end, past every record: the copy is of the record that was active,
  // and the cursor goes back to the end after it, where the append left it.
  const bool atEnd = GetBookmarkFlag(buffer) == ds::bfEOF;
  if (CopyOnAppend && !IsEmpty() && !(atEnd && InsertOrigin().empty())) {
    if (atEnd) InternalGotoBookmark(InsertOrigin().data());
    const uint16_t code = cursor_->CloneCurrentRecord(buffer);
    if (atEnd) cursor_->SetToEnd();
    CheckEngineError(code);
  } else {
    cursor_->ApplyDefaultValues(buffer);
  }
  DataSet::DoOnNewRecord();
}

void TVELDORDataSet::InternalAddRecord(const uint8_t* buffer, bool) {
  TSessionLock lock(LockSession());
  std::vector<uint8_t> image(buffer, buffer + recordSize_);
  cursor_->AppendRecord(image.data());
}

void TVELDORDataSet::InternalEdit() {
  TSessionLock lock(LockSession());
  uint8_t* buffer = ActiveBuffer();
  CheckEngineError(cursor_->GetCurrentRecord(buffer, true));
  std::memcpy(oldValues_.data(), buffer, recordSize_);
  haveOldValues_ = true;
}

void TVELDORDataSet::InternalDelete() {
  TSessionLock lock(LockSession());
  cursor_->DeleteRecord(ActiveBuffer());
}

void TVELDORDataSet::InternalPost() {
  DataSet::InternalPost();
  TSessionLock lock(LockSession());
  haveOldValues_ = false;
  if (State() == ds::dsEdit)
    cursor_->ModifyRecord(ActiveBuffer());
  else
    cursor_->AppendRecord(ActiveBuffer());
  // The record's blobs are written with it: their handles go, or a dataset kept open would run
  // out of them after some posts.
  cursor_->FreeAllBlobs(true);
}

void TVELDORDataSet::InternalCancel() {
  TSessionLock lock(LockSession());
  haveOldValues_ = false;
  if (State() == ds::dsEdit) cursor_->CancelRecord();
  cursor_->FreeAllBlobs(true);
}

void TVELDORDataSet::InternalRefresh() {
  TSessionLock lock(LockSession());
  cursor_->Refresh();
}

void TVELDORDataSet::InternalGotoBookmark(const uint8_t* bookmark) {
  TSessionLock lock(LockSession());
  // Nearest only when the record is gone: a nearest search keeps the cursor's end flags.
  if (!cursor_->SetToBookmark(bookmark, false)) cursor_->SetToBookmark(bookmark, true);
}

void TVELDORDataSet::InternalSetToRecord(uint8_t* buffer) {
  InternalGotoBookmark(buffer + bookmarkOffset_);
}

ds::BookmarkFlag TVELDORDataSet::GetBookmarkFlag(const uint8_t* buffer) const {
  return ds::BookmarkFlag(buffer[infoOffset_ + 4]);
}

void TVELDORDataSet::SetBookmarkFlag(uint8_t* buffer, ds::BookmarkFlag flag) {
  buffer[infoOffset_ + 4] = flag;
}

void TVELDORDataSet::GetBookmarkData(const uint8_t* buffer, uint8_t* data) const {
  std::memcpy(data, buffer + bookmarkOffset_, size_t(BookmarkSize));
}

void TVELDORDataSet::SetBookmarkData(uint8_t* buffer, const uint8_t* data) {
  std::memcpy(buffer + bookmarkOffset_, data, size_t(BookmarkSize));
}

bool TVELDORDataSet::BookmarkValid(const ds::Bookmark& b) {
  if (!IsCursorOpen() || b.size() != size_t(BookmarkSize)) return false;
  TSessionLock lock(LockSession());
  CursorPosChanged();
  return cursor_->SetToBookmark(b.data(), false) && cursor_->GetCurrentRecord(nullptr, false) == 0;
}

int TVELDORDataSet::CompareBookmarks(const ds::Bookmark& a, const ds::Bookmark& b) {
  if (a.empty() || b.empty() || !IsCursorOpen()) return DataSet::CompareBookmarks(a, b);
  TSessionLock lock(LockSession());
  return cursor_->CompareBookmarks(a.data(), b.data());
}

int TVELDORDataSet::RecNo() {
  const uint8_t* buffer = ActiveBuffer();
  if (!Active() || !buffer || IsEmpty() || State() == ds::dsInsert) return -1;
  return platform::get4s(buffer + infoOffset_);
}

void TVELDORDataSet::SetRecNo(int n) {
  CheckBrowseMode();
  {
    TSessionLock lock(LockSession());
    cursor_->SetToRecNo(n);
  }
  CursorPosChanged();
  ResyncWithScroll();
}

int TVELDORDataSet::RecordCount() {
  if (!IsCursorOpen()) return -1;
  TSessionLock lock(LockSession());
  return cursor_->GetRecordCount();
}

bool TVELDORDataSet::GetCanModify() {
  return cursor_ && !cursor_->Options().ReadOnly && !cursor_->ReadOnlyAttribute();
}

bool TVELDORDataSet::IsSequenced() {
  if (!cursor_) return true;
  const bool filtered = std::any_of(cursor_->Filters().begin(), cursor_->Filters().end(),
                                    [](const auto& f) { return f->Active(); });
  return !filtered && !(cursor_->Options().QueryResult && cursor_->Options().QuerySource);
}

uint8_t* TVELDORDataSet::GetStateBuffer() {
  switch (State()) {
    case ds::dsFilter:
      return const_cast<uint8_t*>(filterRecord_);
    case ds::dsCalcFields:
      return lookupRecord_ ? lookupRecord_ : CalcBuffer();
    case ds::dsOldValue:
      return haveOldValues_ ? oldValues_.data() : ActiveBuffer();
    case ds::dsSetKey:
      return keyBuffer_ ? keyBuffer_->record.data() : nullptr;
    case ds::dsBlockRead:
      return blockCount_ ? block_.data() + size_t(blockPos_) * recordSize_ : ActiveBuffer();
    default:
      return ActiveBuffer();
  }
}

void TVELDORDataSet::openRecordBlob(uint16_t fieldNo, uint8_t* buffer, uint8_t mode) {
  recordBlobStep(buffer, [&] { return cursor_->OpenBlob(fieldNo, buffer, mode, false, 0); });
}

void TVELDORDataSet::recordBlobStep(uint8_t* buffer, const std::function<uint16_t()>& step) {
  TSessionLock lock(LockSession());
  const auto check = [&](uint16_t code) {
    if (code == VELDOR_KEYORRECDELETED) SignalTableError(code, cursor_->TableName());
    CheckEngineError(code);
  };
  const uint16_t code = step();
  if (code != VELDOR_KEYORRECDELETED || rereadingRecord_ || State() != ds::dsBrowse ||
      buffer != ActiveBuffer())
    return check(code);
  rereadingRecord_ = true;
  ScopeExit done([this] { rereadingRecord_ = false; });
  uint16_t again = code;
  {
    // The record and its blob under one read of the table: no writer gets in between them.
    const bool held = cursor_->HoldRead();
    ScopeExit end([&] {
      if (held) cursor_->EndRead();
    });
    std::vector<uint8_t> fresh(recordSize_);
    UpdateCursorPos();
    // Another record where this one was: it was deleted, and the dataset learns so when it moves.
    if (cursor_->GetCurrentRecord(fresh.data(), false) != 0 ||
        platform::get4(fresh.data() + 1) != platform::get4(buffer + 1)) {
      CursorPosChanged();
      return check(code);
    }
    std::memcpy(buffer, fresh.data(), recordSize_);
    again = step();
  }
  if (HasCalcFields()) GetCalcFields(buffer);
  DataEventNotify(ds::deRecordChange);
  check(again);
}

std::string TVELDORDataSet::readBlob(const TFieldDescriptor& d, uint16_t fieldNo, uint8_t* buffer) {
  if (buffer[d.Offset()] == 0 && blobWord(d, buffer) >= 0) return {};
  TSessionLock lock(LockSession());
  std::string bytes;
  if (cursor_->ReadsStoredBlob(fieldNo, false, buffer)) {
    // The row as read, most often: the step that reads the record again on a change (and takes
    // the session again) is for the reads that fail.
    if (cursor_->ReadStoredBlob(fieldNo, false, buffer, bytes) == 0) return bytes;
    // A record read again for it holds its stored chains too.
    recordBlobStep(buffer, [&] { return cursor_->ReadStoredBlob(fieldNo, false, buffer, bytes); });
    return bytes;
  }
  const bool wasOpen = blobWord(d, buffer) < 0;
  openRecordBlob(fieldNo, buffer, 1);
  uint32_t size = 0;
  uint16_t code = cursor_->GetBlobSize(fieldNo, buffer, size, false);
  if (code == 0) {
    bytes.resize(size);
    uint32_t read = 0;
    code = cursor_->GetBlob(fieldNo, buffer, 0, reinterpret_cast<uint8_t*>(bytes.data()), int32_t(size), read,
                            false);
    if (code == VELDOR_ENDOFBLOB) code = 0;
    bytes.resize(read);
  }
  if (!wasOpen) cursor_->FreeBlob(fieldNo, buffer, false, 0);
  CheckEngineError(code);
  return bytes;
}

bool TVELDORDataSet::GetFieldData(ds::Field& field, Variant& value) {
  if (field.Kind != ds::FieldKind::Data) return DataSet::GetFieldData(field, value);
  uint8_t* buffer = GetStateBuffer();
  if (!buffer || field.FieldNo <= 0 || !cursor_ || (IsEmpty() && State() == ds::dsBrowse)) return false;
  if (size_t(field.FieldNo) < fieldReaders_.size()) {
    const FieldReader& reader = fieldReaders_[size_t(field.FieldNo)];
    const uint8_t* at = buffer + reader.offset;
    switch (reader.how) {
      case FieldRead::Text: {
        // The text ends at its first zero byte or at the stored size.
        if (at[0] == 0) return false;
        const char* text = reinterpret_cast<const char*>(at + 1);
        value.setString(std::string_view(text, strnlen(text, reader.storedSize)));
        return true;
      }
      case FieldRead::Int32:
        if (at[0] == 0) return false;
        value = Variant(platform::get4s(at + 1));
        return true;
      case FieldRead::ByDescriptor:
        break;
    }
  }
  const TFieldDescriptor& d = cursor_->GetFieldDesc(uint16_t(field.FieldNo));
  if (d.IsBlob()) {
    std::string bytes = readBlob(d, uint16_t(field.FieldNo), buffer);
    if (bytes.empty()) return false;
    value = d.SubType() == kMemo ? Variant(std::move(bytes)) : Variant::bytes({bytes.begin(), bytes.end()});
    return true;
  }
  if (d.Type() == kFieldTypeString) {
    // Straight from the record: the text ends at its first zero byte or at the stored size.
    const uint8_t* at = buffer + d.Offset();
    if (at[0] == 0) return false;
    const char* text = reinterpret_cast<const char*>(at + 1);
    value.setString(std::string_view(text, strnlen(text, d.StoredSize())));
    return true;
  }
  if (d.Type() == kFieldTypeInteger && !d.IsAutoInc() && d.StoredSize() == 4) {
    const uint8_t* at = buffer + d.Offset();
    if (at[0] == 0) return false;
    value = Variant(platform::get4s(at + 1));
    return true;
  }
  bool isNull = true;
  // Read for every field of every row: no allocation. The value takes its stored size, and at
  // least the 8 bytes that the widest number types are read as.
  std::array<uint8_t, 256> bytes;
  std::memset(bytes.data(), 0, 8);
  TDataCursor::ReadFieldValue(d, buffer, isNull, bytes.data());
  if (isNull) return false;
  value = EngineValueToVariant(d, bytes.data());
  return !value.isNull();
}

void TVELDORDataSet::SetFieldData(ds::Field& field, const Variant& value) {
  const ds::DataSetState s = State();
  const bool allowed = editingState(s) || s == ds::dsSetKey || s == ds::dsCalcFields || s == ds::dsFilter ||
                       s == ds::dsNewValue || s == ds::dsInternalCalc;
  if (!allowed) DatabaseError(SNotEditing);
  if (field.Kind != ds::FieldKind::Data) return DataSet::SetFieldData(field, value);
  if (s == ds::dsCalcFields) DatabaseError(SNotEditing);
  int keyAt = -1;
  if (s == ds::dsSetKey && cursor_->CurrentIndex() != kNoCurrentIndex) {
    keyAt = keyPosition(field);
    if (keyAt < 0) DatabaseErrorFmt(SNotIndexField, field.DisplayName());
  }
  if (field.ReadOnly && s != ds::dsSetKey && s != ds::dsFilter)
    DatabaseErrorFmt(SFieldReadOnly, field.DisplayName());
  field.Validate(value);
  uint8_t* buffer = GetStateBuffer();
  if (!buffer || field.FieldNo <= 0) DatabaseError(SNotEditing);
  const TFieldDescriptor& d = cursor_->GetFieldDesc(uint16_t(field.FieldNo));
  if (d.IsBlob()) {
    TVELDORBlobStream stream(*this, field, ds::bmWrite);
    if (!value.isNull()) {
      const std::vector<uint8_t> bytes = value.isText() ? [&] {
        const std::string t = value.asString();
        return std::vector<uint8_t>(t.begin(), t.end());
      }()
                                                        : value.asBytes();
      stream.Write(bytes.data(), bytes.size());
    }
    return;
  }
  std::vector<uint8_t> bytes(std::max<size_t>(d.StoredSize(), 8));
  const bool has = VariantToEngineValue(d, value, bytes.data());
  {
    TSessionLock lock(LockSession());
    cursor_->PutField(uint16_t(field.FieldNo), buffer, has ? bytes.data() : nullptr);
  }
  if (keyAt >= 0 && keyBuffer_) keyBuffer_->assigned |= 1u << keyAt;
  if (s != ds::dsCalcFields && s != ds::dsFilter && s != ds::dsNewValue)
    DataEventNotify(ds::deFieldChange, &field);
}

// ---- Filters and searches ----

bool TVELDORDataSet::filterCallback(void* data, TDataCursor&, const uint8_t* record, uint32_t) {
  auto& self = *static_cast<TVELDORDataSet*>(data);
  const uint8_t* saved = self.filterRecord_;
  const ds::DataSetState state = self.SetTempState(ds::dsFilter);
  self.filterRecord_ = record;
  ScopeExit restore([&] {
    self.RestoreState(state);
    self.filterRecord_ = saved;
  });
  bool accept = true;
  self.OnFilterRecord()(self, accept);
  return accept;
}

void TVELDORDataSet::installFilters() {
  TSessionLock lock(LockSession());
  const uint8_t options = FilterOptions();
  std::string text = Filter();
  if (text.find_first_not_of(" \t\r\n") != std::string::npos)
    textFilter_ =
        cursor_->AddFilter(nullptr, &text, nullptr, true, nullptr, false, false,
                           (options & ds::foCaseInsensitive) != 0, (options & ds::foNoPartialCompare) != 0);
  if (OnFilterRecord())
    callbackFilter_ =
        cursor_->AddFilter(this, nullptr, nullptr, false, &filterCallback, true, false, false, false);
  if (Filtered()) {
    if (textFilter_) cursor_->ActivateFilter(textFilter_);
    if (callbackFilter_) cursor_->ActivateFilter(callbackFilter_);
  }
}

void TVELDORDataSet::dropFilters() {
  if (!cursor_) return;
  TSessionLock lock(LockSession());
  if (textFilter_) cursor_->DropFilter(textFilter_);
  if (callbackFilter_) cursor_->DropFilter(callbackFilter_);
  textFilter_ = callbackFilter_ = nullptr;
}

void TVELDORDataSet::filterChanged() {
  if (!Active()) return;
  CheckBrowseMode();
  dropFilters();
  installFilters();
  CursorPosChanged();
  First();
}

void TVELDORDataSet::SetFilterText(const std::string& text) {
  DataSet::SetFilterText(text);
  filterChanged();
}

void TVELDORDataSet::SetFiltered(bool value) {
  DataSet::SetFiltered(value);
  filterChanged();
}

void TVELDORDataSet::SetFilterOptions(uint8_t options) {
  DataSet::SetFilterOptions(options);
  filterChanged();
}

void TVELDORDataSet::SetOnFilterRecord(std::function<void(ds::DataSet&, bool&)> handler) {
  DataSet::SetOnFilterRecord(std::move(handler));
  filterChanged();
}

bool TVELDORDataSet::FindRecord(bool restart, bool goForward) {
  CheckBrowseMode();
  bool found = false;
  {
    TSessionLock lock(LockSession());
    const bool temporary = !Filtered();
    auto toggle = [&](bool on) {
      for (TFilter* f : {textFilter_, callbackFilter_})
        if (f) on ? cursor_->ActivateFilter(f) : cursor_->DeactivateFilter(f);
    };
    std::vector<uint8_t> at(kBookmarkRoom);
    {
      // The filters serve the search only; the cursor stays on what they found.
      if (temporary) toggle(true);
      ScopeExit off([&] {
        if (temporary) toggle(false);
      });
      if (restart)
        goForward ? cursor_->SetToBegin() : cursor_->SetToEnd();
      else
        UpdateCursorPos();
      CursorPosChanged();
      found = (goForward ? cursor_->GetNextRecord(nullptr) : cursor_->GetPriorRecord(nullptr)) == 0;
      if (found) cursor_->GetBookmark(at.data());
    }
    if (found && temporary) cursor_->SetToBookmark(at.data(), false);
  }
  if (found) ResyncWithScroll();
  return found;
}

void TVELDORDataSet::SetLocateValue(TExpToken& comparison, TExpToken& constant, bool partialKey,
                                    const Variant& v) const {
  using T = TEngineFieldType;
  constant.isNull = v.isNull();
  if (constant.isNull) return;
  const auto invalid = [&] { DatabaseErrorFmt(ds::SInvalidFieldValue, comparison.left->columnName); };
  switch (constant.type) {
    case T::String:
    case T::Blob:
    case T::Bytes: {
      std::string text = v.asString();
      if (text.empty()) {
        constant.isNull = true;
        return;
      }
      if (partialKey) {
        const bool star = text.back() == '*';
        const size_t length = star ? text.size() - 1 : text.size();
        if (star && length > 0) text.pop_back();
        comparison.compareLength = uint32_t(length);
      }
      if (constant.type == T::Bytes) {
        std::memset(constant.Value(), 0, constant.valueSize);
        std::memcpy(constant.Value(), text.data(), std::min<size_t>(text.size(), constant.valueSize));
        return;
      }
      constant.SetText(text);
      // A memo compares as a string; other blobs are sized by their bytes alone.
      if (constant.type == T::Blob && constant.subType != TEngineFieldSubType::Memo)
        constant.valueSize = uint32_t(text.size());
      return;
    }
    case T::BCD: {
      TBcd bcd;
      if (!CurrencyToBcd(v.asCurrency().scaled, constant.scale, bcd)) invalid();
      std::memcpy(constant.Value(), &bcd, sizeof bcd);
      return;
    }
    case T::SmallInt:
    case T::Word: {
      const int32_t n = v.asInt32();
      if (constant.type == T::SmallInt ? n != int16_t(n) : n != uint16_t(n)) invalid();
      break;
    }
    default:
      break;
  }
  // The stored form of a field of the constant's type.
  TFieldDescriptor form;
  form.SetType(uint8_t(constant.type));
  form.SetStoredSize(uint8_t(std::min<uint32_t>(constant.valueSize, kMaxFieldSize)));
  if (!VariantToEngineValue(form, v, constant.Value())) constant.isNull = true;
}

TExpTreePtr TVELDORDataSet::BuildLocateFilter(const std::vector<ds::Field*>& fields,
                                              const std::vector<Variant>& values, bool partialKey,
                                              bool caseInsensitive) const {
  using T = TEngineFieldType;
  TExpTreePtr tree;
  for (size_t i = 0; i < fields.size(); ++i) {
    const ds::Field& f = *fields[i];
    if (f.FieldNo <= 0 || f.FieldNo > cursor_->FieldCount() ||
        !ds::SameName(cursor_->GetFieldDesc(uint16_t(f.FieldNo)).Name(), f.FieldName))
      DatabaseErrorFmt(SFieldNotFound, f.FieldName);
    const TFieldDescriptor& d = cursor_->GetFieldDesc(uint16_t(f.FieldNo));
    uint8_t type = 0, subType = 0;
    FieldTypeToEngineType(f.DataType(), type, subType);

    TExpTreePtr comparison(GetExpToken());
    comparison->kind = expBinary;
    comparison->code = opEqual;
    comparison->name = "=";
    comparison->type = T::Boolean;
    comparison->caseInsensitive = caseInsensitive;
    TExpToken& column = *(comparison->left = GetExpToken());
    TExpToken& constant = *(comparison->right = GetExpToken());
    column.parent = constant.parent = comparison.get();
    column.kind = expColumn;
    column.name = column.columnName = f.FieldName;
    column.fieldNo = uint16_t(f.FieldNo);
    column.type = T(type);
    column.subType = TEngineFieldSubType(subType);
    column.SetValueSize(std::max<uint32_t>(d.StoredSize(), 1));
    if (column.type == T::BCD) column.scale = d.StoredScale();

    constant.kind = expConstant;
    constant.type = column.type;
    constant.subType = column.subType;
    constant.scale = column.scale;
    constant.SetValueSize(column.valueSize);
    const Variant& value = values[i];
    constant.name = value.isNull() ? "NULL" : value.asString().substr(0, 255);
    SetLocateValue(*comparison, constant, partialKey, value);
    // Texts compare by the comparison's own length and case rule.
    const bool text = constant.type == T::String || constant.type == T::Blob;
    if (text && (comparison->compareLength > 0 || caseInsensitive)) comparison->kind = expKeyCompare;

    if (!tree) {
      tree = std::move(comparison);
      continue;
    }
    TExpTreePtr both(GetExpToken());
    both->kind = expBinary;
    both->code = opAnd;
    both->name = "AND";
    both->type = T::Boolean;
    both->left = tree.release();
    both->right = comparison.release();
    both->left->parent = both->right->parent = both.get();
    tree = std::move(both);
  }
  return tree;
}

bool TVELDORDataSet::LocateRecord(const std::string& keyFields, const Variant& keyValues, uint8_t options,
                                  bool synchronise) {
  CheckBrowseMode();
  const std::vector<ds::Field*> fields = GetFieldList(keyFields);
  if (fields.empty()) DatabaseErrorFmt(SFieldNotFound, keyFields);
  std::vector<Variant> values;
  const bool isArray = keyValues.type() == ds::VariantType::Array;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (isArray)
      values.push_back(i < keyValues.asArray().size() ? keyValues.asArray()[i] : Variant::null());
    else
      values.push_back(i == 0 ? keyValues : Variant::null());
  }
  const bool partial = (options & ds::loPartialKey) != 0;
  const bool caseInsensitive = (options & ds::loCaseInsensitive) != 0;
  TSessionLock lock(LockSession());
  // A key value its field holds only rounded (1.5 for a whole number, a third place for a BCD
  // field of two) equals none of the field's values: it finds nothing, by index or by filter.
  for (size_t k = 0; k < fields.size(); ++k) {
    const ds::FieldType type = fields[k]->DataType();
    const bool whole = type == ds::ftSmallint || type == ds::ftInteger || type == ds::ftWord ||
                       type == ds::ftAutoInc || type == ds::ftLargeint;
    const int fieldNo = fields[k]->FieldNo;
    const bool bcd = type == ds::ftBCD && fieldNo > 0 && fieldNo <= cursor_->FieldCount();
    if ((whole && hasMorePlaces(values[k], 0)) ||
        (bcd && hasMorePlaces(values[k], cursor_->GetFieldDesc(uint16_t(fieldNo)).StoredScale())))
      return false;
  }
  if (indexServes(fields, values, caseInsensitive)) {
    const bool found = findKey(*cursor_, fields, values, partial);
    if (found && synchronise) ResyncWithScroll();
    return found;
  }
  // A look-up cursor sees every record of the table: not for a null key (the engine's key search
  // does not match nulls) nor while filters hide records.
  const bool anyNull = std::any_of(values.begin(), values.end(), [](const Variant& v) { return v.isNull(); });
  const bool filtered = std::any_of(cursor_->Filters().begin(), cursor_->Filters().end(),
                                    [](const auto& f) { return f->Active(); });
  if (TDataCursor* lookup = anyNull || filtered ? nullptr : GetLookupCursor(keyFields, caseInsensitive)) {
    if (!findKey(*lookup, fields, values, partial)) return false;
    CursorPosChanged();
    CheckEngineError(cursor_->SetToRecordBuffer(*lookup));
    if (synchronise) ResyncWithScroll();
    return true;
  }
  const TExpTreePtr tree = BuildLocateFilter(fields, values, partial, caseInsensitive);
  TFilter* filter = cursor_->AddFilter(*tree);
  bool found = false;
  std::vector<uint8_t> at(kBookmarkRoom);
  {
    ScopeExit drop([&] { cursor_->DropFilter(filter); });
    cursor_->ActivateFilter(filter);
    cursor_->SetToBegin();
    CursorPosChanged();
    found = cursor_->GetNextRecord(nullptr) == 0;
    if (found) cursor_->GetBookmark(at.data());
  }
  if (found) cursor_->SetToBookmark(at.data(), false);
  if (found && synchronise) ResyncWithScroll();
  return found;
}

bool TVELDORDataSet::indexServes(const std::vector<ds::Field*>& fields, const std::vector<Variant>& values,
                                 bool caseInsensitive) const {
  const uint8_t slot = cursor_->CurrentIndex();
  if (slot == kNoCurrentIndex || fields.empty()) return false;
  const TIndexDescriptor d = cursor_->GetIndexDesc(slot);
  if (d.fieldCount < fields.size() || (d.caseInsensitive != 0) != caseInsensitive) return false;
  for (size_t k = 0; k < fields.size(); ++k) {
    if (fields[k]->FieldNo <= 0 || values[k].isNull()) return false;
    if (cursor_->GetFieldDesc(uint16_t(fields[k]->FieldNo)).FieldNumber() != d.fields[k]) return false;
  }
  return true;
}

std::vector<uint8_t> TVELDORDataSet::keyRecord(const std::vector<Variant>& values) const {
  return keyRecord(*cursor_, values);
}

std::vector<uint8_t> TVELDORDataSet::keyRecord(TDataCursor& cursor,
                                               const std::vector<Variant>& values) const {
  const uint8_t slot = cursor.CurrentIndex();
  const TIndexDescriptor index = slot == kNoCurrentIndex ? TIndexDescriptor{} : cursor.GetIndexDesc(slot);
  if (values.size() > index.fieldCount) DatabaseError(SFieldIndexError);
  std::vector<uint8_t> record(recordSize_);
  cursor.ClearRecordBuffer(record.data());
  for (size_t k = 0; k < values.size(); ++k) {
    const TFieldDescriptor& d = cursor.GetFieldDescByNumber(index.fields[k]);
    std::vector<uint8_t> bytes(std::max<size_t>(d.StoredSize(), 8));
    const bool has = VariantToEngineValue(d, values[k], bytes.data());
    cursor.PutField(index.fields[k], record.data(), has ? bytes.data() : nullptr);
  }
  return record;
}

bool TVELDORDataSet::findKey(TDataCursor& cursor, const std::vector<ds::Field*>& fields,
                             const std::vector<Variant>& values, bool partial) {
  std::vector<Variant> keys;
  uint8_t partialLength = 0;
  int32_t whole = int32_t(fields.size());
  for (size_t k = 0; k < fields.size(); ++k) {
    keys.push_back(fields[k]->Convert(values[k]));
    if (partial && k + 1 == fields.size() && fields[k]->DataType() == ds::ftString) {
      std::string text = keys.back().asString();
      if (!text.empty() && text.back() == '*') text.pop_back();
      --whole;
      partialLength = uint8_t(std::min<size_t>(text.size(), 255));
      keys.back() = partialLength ? Variant(text) : Variant::null();
    }
  }
  std::vector<uint8_t> search = keyRecord(cursor, keys);
  if (&cursor == cursor_.get()) CursorPosChanged();
  return cursor.FindKey(false, search.data(), whole, false, partialLength, nullptr);
}

void TVELDORDataSet::SetRange(const std::vector<Variant>& start, const std::vector<Variant>& end) {
  CheckBrowseMode();
  {
    TSessionLock lock(LockSession());
    const std::vector<uint8_t> low = keyRecord(start), high = keyRecord(end);
    cursor_->SetRange(false, start.empty() ? nullptr : low.data(), int32_t(start.size()),
                      end.empty() ? nullptr : high.data(), int32_t(end.size()));
  }
  CursorPosChanged();
  First();
}

void TVELDORDataSet::CancelRange() {
  CheckBrowseMode();
  {
    TSessionLock lock(LockSession());
    cursor_->ResetRange();
  }
  keys_[kiRangeStart] = {};
  keys_[kiRangeEnd] = {};
  CursorPosChanged();
  First();
}

bool TVELDORDataSet::Locate(const std::string& keyFields, const Variant& keyValues, uint8_t options) {
  return LocateRecord(keyFields, keyValues, options, true);
}

Variant TVELDORDataSet::Lookup(const std::string& keyFields, const Variant& keyValues,
                               const std::string& resultFields) {
  if (!LocateRecord(keyFields, keyValues, 0, false)) return Variant::null();
  std::vector<uint8_t> record(bufferSize_);
  if (GetRecord(record.data(), ds::gmCurrent, true) != ds::grOK) return Variant::null();
  uint8_t* saved = lookupRecord_;
  lookupRecord_ = record.data();
  const ds::DataSetState state = SetTempState(ds::dsCalcFields);
  ScopeExit restore([&] {
    RestoreState(state);
    lookupRecord_ = saved;
    ForgetCalcValues(record.data());
  });
  std::vector<Variant> values;
  for (ds::Field* f : GetFieldList(resultFields)) values.push_back(f->Value());
  return values.size() == 1 ? values[0] : Variant(values);
}

// ---- Keys ----

int TVELDORDataSet::IndexFieldCount() const {
  if (!cursor_ || cursor_->CurrentIndex() == kNoCurrentIndex) return 0;
  return cursor_->GetIndexDesc(cursor_->CurrentIndex()).fieldCount;
}

ds::Field& TVELDORDataSet::IndexFields(int index) const {
  if (index < 0 || index >= IndexFieldCount()) DatabaseError(SFieldIndexError);
  const uint16_t number = cursor_->GetIndexDesc(cursor_->CurrentIndex()).fields[index];
  for (int i = 0; i < FieldCount(); ++i) {
    ds::Field& f = Fields(i);
    if (f.Kind == ds::FieldKind::Data && f.FieldNo > 0 &&
        cursor_->GetFieldDesc(uint16_t(f.FieldNo)).FieldNumber() == number)
      return f;
  }
  DatabaseErrorFmt(SIndexFieldMissing, cursor_->GetFieldDescByNumber(number).Name());
}

int TVELDORDataSet::keyPosition(const ds::Field& field) const {
  if (field.FieldNo <= 0) return -1;
  const TIndexDescriptor d = cursor_->GetIndexDesc(cursor_->CurrentIndex());
  const uint16_t number = cursor_->GetFieldDesc(uint16_t(field.FieldNo)).FieldNumber();
  for (int k = 0; k < d.fieldCount; ++k)
    if (d.fields[k] == number) return k;
  return -1;
}

void TVELDORDataSet::beginKeyEntry(KeyIndex which, bool clear) {
  CheckBrowseMode();
  KeyBuffer& key = keys_[which];
  savedKey_ = key;
  if (key.record.size() != bufferSize_ || clear) {
    key = {std::vector<uint8_t>(bufferSize_), 0, 0};
    TSessionLock lock(LockSession());
    cursor_->ClearRecordBuffer(key.record.data());
  }
  keyBuffer_ = &key;
  SetState(ds::dsSetKey);
  DataEventNotify(ds::deDataSetChange);
}

void TVELDORDataSet::PostKeyBuffer(bool keep) {
  if (keyBuffer_ && !keep) *keyBuffer_ = savedKey_;
  keyBuffer_ = nullptr;
  savedKey_ = {};
}

void TVELDORDataSet::SetKey() {
  beginKeyEntry(kiLookup, true);
}
void TVELDORDataSet::EditKey() {
  beginKeyEntry(kiLookup, false);
}
void TVELDORDataSet::SetRangeStart() {
  beginKeyEntry(kiRangeStart, true);
}
void TVELDORDataSet::SetRangeEnd() {
  beginKeyEntry(kiRangeEnd, true);
}

int TVELDORDataSet::KeyFieldCount() const {
  if (State() != ds::dsSetKey || !keyBuffer_) DatabaseError(SNotEditing);
  return keyBuffer_->fieldCount;
}

void TVELDORDataSet::SetKeyFieldCount(int count) {
  if (State() != ds::dsSetKey || !keyBuffer_) DatabaseError(SNotEditing);
  if (count < 0 || count > IndexFieldCount()) DatabaseError(SFieldIndexError);
  keyBuffer_->fieldCount = count;
}

int TVELDORDataSet::keyFields(const KeyBuffer& key) const {
  if (key.fieldCount > 0) return std::min(key.fieldCount, IndexFieldCount());
  int count = 0;
  for (int k = 0; k < 32; ++k)
    if (key.assigned & (1u << k)) count = k + 1;
  return count;
}

bool TVELDORDataSet::gotoKey(bool nearest) {
  CheckBrowseMode();
  const KeyBuffer& key = keys_[kiLookup];
  if (key.record.empty()) return false;
  bool found = false;
  {
    TSessionLock lock(LockSession());
    CursorPosChanged();
    found = cursor_->FindKey(false, key.record.data(), keyFields(key), nearest, 0, nullptr);
  }
  // A nearest search that found nothing at or above the key leaves the cursor at the end.
  if (found || nearest) ResyncWithScroll();
  return found;
}

bool TVELDORDataSet::GotoKey() {
  return gotoKey(false);
}

void TVELDORDataSet::GotoNearest() {
  gotoKey(true);
}

bool TVELDORDataSet::FindKey(const std::vector<Variant>& values) {
  if (values.size() > size_t(IndexFieldCount())) DatabaseError(SFieldIndexError);
  SetKey();
  for (size_t k = 0; k < values.size(); ++k) IndexFields(int(k)).SetValue(values[k]);
  return GotoKey();
}

void TVELDORDataSet::FindNearest(const std::vector<Variant>& values) {
  if (values.size() > size_t(IndexFieldCount())) DatabaseError(SFieldIndexError);
  SetKey();
  for (size_t k = 0; k < values.size(); ++k) IndexFields(int(k)).SetValue(values[k]);
  GotoNearest();
}

void TVELDORDataSet::ApplyRange() {
  CheckBrowseMode();
  const KeyBuffer &start = keys_[kiRangeStart], &end = keys_[kiRangeEnd];
  const int startFields = start.record.empty() ? 0 : keyFields(start);
  const int endFields = end.record.empty() ? 0 : keyFields(end);
  {
    TSessionLock lock(LockSession());
    cursor_->SetRange(false, startFields ? start.record.data() : nullptr, startFields,
                      endFields ? end.record.data() : nullptr, endFields);
  }
  CursorPosChanged();
  First();
}

// ---- Block reading ----

void TVELDORDataSet::SetBlockReadSize(int size) {
  if (size > 0) {
    if (State() == ds::dsBlockRead) SetBlockReadSize(0);
    CheckBrowseMode();
    // Calculated fields live beside a record buffer, which a block's records do not have: such a
    // dataset goes on reading record by record.
    if (HasCalcFields()) return;
    blockSize_ = size;
    blockCapacity_ = size == INT32_MAX ? std::max<uint32_t>(1, 65536 / recordSize_) : uint32_t(size);
    block_.assign(size_t(blockCapacity_) * recordSize_, 0);
    blockCount_ = blockPos_ = 0;
    blockTotal_ = 0;
    if (!IsEmpty() && !Eof()) {
      // The block starts with the current record; the rest follows it in one read.
      UpdateCursorPos();
      std::memcpy(block_.data(), ActiveBuffer(), recordSize_);
      uint32_t count = blockCapacity_ - 1;
      TSessionLock lock(LockSession());
      const uint16_t code = count ? cursor_->ReadRecordBlock(count, block_.data() + recordSize_) : 0;
      if (code != 0 && code != VELDOR_EOF) CheckEngineError(code);
      blockPastEnd_ = code == VELDOR_EOF;
      blockCount_ = 1 + count;
      blockTotal_ = blockCount_;
    }
    SetState(ds::dsBlockRead);
    return;
  }
  if (State() != ds::dsBlockRead) return;
  const bool atEnd = Eof();
  if (!atEnd) {
    // Back from the last record read (or from the end, where a short read leaves the cursor) to
    // the one reached.
    TSessionLock lock(LockSession());
    const uint32_t back = blockCount_ ? blockCount_ - 1 - blockPos_ + (blockPastEnd_ ? 1 : 0) : 0;
    for (uint32_t step = 0; step < back; ++step) cursor_->GetPriorRecord(nullptr);
  }
  block_.clear();
  block_.shrink_to_fit();
  blockSize_ = 0;
  blockCapacity_ = blockCount_ = blockPos_ = 0;
  SetState(ds::dsBrowse);
  if (atEnd) return Last();
  CursorPosChanged();
  Resync();
}

void TVELDORDataSet::BlockReadNext() {
  if (blockPos_ + 1 < blockCount_) {
    ++blockPos_;
  } else if (blockCount_ < blockCapacity_) {
    blockPos_ = blockCount_ ? blockCount_ - 1 : 0;
    Last();
    return;
  } else {
    uint32_t count = blockCapacity_;
    uint16_t code = 0;
    {
      TSessionLock lock(LockSession());
      code = cursor_->ReadRecordBlock(count, block_.data());
    }
    if (code != 0 && code != VELDOR_EOF) CheckEngineError(code);
    blockPastEnd_ = code == VELDOR_EOF;
    if (count == 0) {
      blockPos_ = blockCount_ - 1;
      Last();
      return;
    }
    blockCount_ = count;
    blockPos_ = 0;
    blockTotal_ += count;
  }
  DataEventNotify(ds::deDataSetScroll);
}

void TVELDORDataSet::IndexChanged() {
  BookmarkSize = cursor_->GetKeySize();
  // Keys are entered field by field of an index; another index's would search the wrong fields.
  for (KeyBuffer& key : keys_) key = {};
}

std::unique_ptr<ds::Stream> TVELDORDataSet::CreateBlobStream(ds::Field& field, ds::BlobStreamMode mode) {
  return std::make_unique<TVELDORBlobStream>(*this, field, mode);
}

// ---- Database use ----

TVELDORDBDataSet::~TVELDORDBDataSet() {
  // Closing here, while the database link still stands; the base would close too late for it.
  try {
    Close();
  } catch (...) {
    // A destructor cannot report the close's failure; the cursor goes with the object.
  }
}

TVELDORSession& TVELDORDBDataSet::LockSession() const {
  return database_ ? database_->Session() : TVELDORSessionList::Instance().GetSession(sessionName_);
}

void TVELDORDBDataSet::SetDatabaseName(const std::string& name) {
  Close();
  if (database_) DatabaseError(SDatabaseOpen);
  databaseName_ = name;
  DataEventNotify(ds::dePropertyChange);
}

void TVELDORDBDataSet::SetSessionName(const std::string& name) {
  Close();
  if (database_) DatabaseError(SDatabaseOpen);
  sessionName_ = name;
  DataEventNotify(ds::dePropertyChange);
}

void TVELDORDBDataSet::SetDBFlag(int flag, bool value) {
  const uint16_t bit = uint16_t(1u << flag);
  if (value) {
    if (dbFlags_ == 0) {
      TVELDORSession& session = TVELDORSessionList::Instance().GetSession(sessionName_);
      database_ = &session.OpenDatabase(databaseName_);
      database_->dataSets_.push_back(this);
    }
    dbFlags_ |= bit;
  } else if (dbFlags_ & bit) {
    dbFlags_ &= uint16_t(~bit);
    if (dbFlags_ == 0 && database_) {
      TVELDORDatabase* d = database_;
      database_ = nullptr;
      std::erase(d->dataSets_, this);
      d->Session().CloseDatabase(*d);
    }
  }
}

void TVELDORDBDataSet::OpenCursor(bool infoQuery) {
  SetDBFlag(0, true);
  try {
    TVELDORDataSet::OpenCursor(infoQuery);
  } catch (...) {
    SetDBFlag(0, false);
    throw;
  }
}

void TVELDORDBDataSet::CloseCursor() {
  TVELDORDataSet::CloseCursor();
  SetDBFlag(0, false);
}

// ---- Blob stream ----

TVELDORBlobStream::TVELDORBlobStream(TVELDORDataSet& dataSet, ds::Field& field, ds::BlobStreamMode mode)
    : dataSet_(dataSet), field_(field) {
  record_ = dataSet.GetStateBuffer();
  if (!record_ || field.FieldNo <= 0 || !dataSet.cursor_) return;
  if (mode != ds::bmRead) {
    if (field.ReadOnly) DatabaseErrorFmt(SFieldReadOnly, field.DisplayName());
    if (!editingState(dataSet.State())) DatabaseError(SNotEditing);
  }
  fieldNo_ = uint16_t(field.FieldNo);
  TSessionLock lock(dataSet.LockSession());
  TDataCursor& cursor = *dataSet.cursor_;
  dataSet.openRecordBlob(fieldNo_, record_, mode == ds::bmRead ? 1 : 2);
  opened_ = true;
  if (mode == ds::bmWrite) {
    CheckEngineError(cursor.TruncateBlob(fieldNo_, record_, 0, false));
    modified_ = true;
  }
}

TVELDORBlobStream::~TVELDORBlobStream() {
  if (!opened_) return;
  if (modified_) field_.Modified = true;
  try {
    // A read stream lets go of the blob; a written one stays open in the record until the
    // record is posted (which saves it) or cancelled (which drops it).
    if (!modified_) {
      TSessionLock lock(dataSet_.LockSession());
      if (dataSet_.State() == ds::dsBrowse || !editingState(dataSet_.State()))
        dataSet_.cursor_->FreeBlob(fieldNo_, record_, false, 0);
    }
    if (modified_) dataSet_.DataEventNotify(ds::deFieldChange, &field_);
  } catch (...) {
    // The bytes are in the record already; a destructor has no way to report the handler's error.
  }
}

size_t TVELDORBlobStream::Read(void* buffer, size_t count) {
  if (!opened_ || count == 0) return 0;
  if (position_ > kMaxBlobPosition) return 0;
  const int32_t length = int32_t(std::min<int64_t>(int64_t(count), kMaxBlobPosition - position_));
  TSessionLock lock(dataSet_.LockSession());
  uint32_t read = 0;
  const uint16_t code = dataSet_.cursor_->GetBlob(fieldNo_, record_, int32_t(position_),
                                                  static_cast<uint8_t*>(buffer), length, read, false);
  if (code == VELDOR_INVALIDBLOBOFFSET) return count;
  if (code != VELDOR_ENDOFBLOB) CheckEngineError(code);
  position_ += read;
  return read;
}

size_t TVELDORBlobStream::Write(const void* buffer, size_t count) {
  if (!opened_ || count == 0) return 0;
  // The engine's blobs end before 2 GiB: a write past that is refused, never cut or wrapped.
  if (position_ + int64_t(count) - 1 > kMaxBlobPosition)
    SignalEngineError(VELDOR_INVALIDBLOBOFFSET, {}, {}, {}, dataSet_.cursor_->TableName(), field_.FieldName,
                      {}, {});
  TSessionLock lock(dataSet_.LockSession());
  CheckEngineError(dataSet_.cursor_->PutBlob(fieldNo_, record_, int32_t(position_),
                                             static_cast<const uint8_t*>(buffer), int32_t(count), false));
  position_ += int64_t(count);
  modified_ = true;
  return count;
}

int64_t TVELDORBlobStream::Seek(int64_t offset, ds::SeekOrigin origin) {
  int64_t base = 0;
  if (origin == ds::soCurrent) {
    base = position_;
  } else if (origin == ds::soEnd && opened_) {
    TSessionLock lock(dataSet_.LockSession());
    uint32_t size = 0;
    CheckEngineError(dataSet_.cursor_->GetBlobSize(fieldNo_, record_, size, false));
    base = size;
  }
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

void TVELDORBlobStream::Truncate() {
  if (!opened_) return;
  TSessionLock lock(dataSet_.LockSession());
  CheckEngineError(dataSet_.cursor_->TruncateBlob(fieldNo_, record_,
                                                  int32_t(std::min(position_, kMaxBlobPosition)), false));
  modified_ = true;
}

}  // namespace engine::components
