#include "dataaccess/memds.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "dataaccess/daconsts.h"
#include "dataaccess/memdata_list.h"
#include "platform/bytes.h"
#include "platform/collation.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace dataaccess {

namespace ds = dataset;
using ds::Bookmark;
using ds::DataSetState;

namespace {

void putBookmark(uint8_t* p, const TRecBookmark& b) {
  platform::putValue(p, b.RefreshIteration);
  platform::putValue(p + 4, b.Item);
  platform::putValue(p + 12, b.Serial);
  platform::putValue(p + 20, b.Order);
}

TRecBookmark takeBookmark(const uint8_t* p) {
  TRecBookmark b;
  b.RefreshIteration = platform::getValue<uint32_t>(p);
  b.Item = platform::getValue<void*>(p + 4);
  b.Serial = platform::getValue<uint64_t>(p + 12);
  b.Order = platform::getValue<int32_t>(p + 20);
  return b;
}

bool isAscii(std::string_view s) {
  for (char c : s)
    if (uint8_t(c) >= 0x80) return false;
  return true;
}

// Case folded for an equality test; ASCII texts skip the Unicode case map.
std::string folded(std::string s) {
  if (isAscii(s)) {
    for (char& c : s)
      if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
  }
  platform::upperCaseText(platform::kUsEnglishLanguageId, s, SIZE_MAX);
  return s;
}

// 10^p - 10^(-scale) written with `scale` decimals and read back, so that a value typed with that
// many decimals compares equal to the bound.
double decimalBound(int digits, int scale) {
  const double v = std::pow(10.0, digits) - std::pow(10.0, -scale);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", scale < 0 ? 0 : scale, v);
  return std::strtod(buf, nullptr);
}

bool isTextType(uint16_t t) {
  return t == dtString || t == dtExtString || t == dtWideString || t == dtExtWideString;
}

}  // namespace

FieldType DataTypeToFieldType(uint16_t dataType) {
  switch (dataType) {
    case dtUnknown:
      return ds::ftUnknown;
    case dtString:
    case dtExtString:
      return ds::ftString;
    case dtSmallint:
      return ds::ftSmallint;
    case dtInteger:
      return ds::ftInteger;
    case dtFloat:
      return ds::ftFloat;
    case dtDate:
      return ds::ftDate;
    case dtTime:
      return ds::ftTime;
    case dtDateTime:
      return ds::ftDateTime;
    case dtBoolean:
      return ds::ftBoolean;
    case dtBlob:
      return ds::ftBlob;
    case dtMemo:
      return ds::ftMemo;
    case dtObject:
      return ds::ftADT;
    case dtReference:
      return ds::ftReference;
    case dtArray:
      return ds::ftArray;
    case dtTable:
      return ds::ftDataSet;
    case dtVariant:
      return ds::ftVariant;
    case dtBytes:
      return ds::ftBytes;
    case dtVarBytes:
    case dtExtVarBytes:
      return ds::ftVarBytes;
    case dtInt64:
    case dtUInt32:
      return ds::ftLargeint;
    case dtWideString:
    case dtExtWideString:
      return ds::ftWideString;
    default:
      AssertionFailed("Unknown data type.", __FILE__, __LINE__);
  }
}

uint16_t FieldTypeToDataType(FieldType fieldType) {
  // One entry per field type, in the field types' order.
  static constexpr uint16_t kDataTypes[] = {
      dtUnknown,    dtString,  dtInteger, dtInteger,  dtInteger,   dtBoolean,  dtFloat,   dtCurrency,
      dtUnknown,    dtDate,    dtTime,    dtDateTime, dtBytes,     dtVarBytes, dtInteger, dtBlob,
      dtMemo,       dtUnknown, dtUnknown, dtUnknown,  dtUnknown,   dtUnknown,  dtUnknown, dtString,
      dtWideString, dtInt64,   dtObject,  dtArray,    dtReference, dtTable,    dtUnknown, dtUnknown,
      dtVariant,    dtUnknown, dtUnknown, dtUnknown};
  static_assert(std::size(kDataTypes) == size_t(ds::ftGuid) + 1);
  return size_t(fieldType) < std::size(kDataTypes) ? kDataTypes[fieldType] : dtUnknown;
}

TMemDataSet::TMemDataSet() {
  CreateIRecordSet();
}

TMemDataSet::~TMemDataSet() {
  // Handlers must not stop a dataset that is going away.
  BeforeClose = nullptr;
  AfterClose = nullptr;
  Close();
  UnPrepare();
}

void TMemDataSet::CreateIRecordSet() {
  SetIRecordSet(std::make_unique<TMemData>());
}

void TMemDataSet::SetIRecordSet(std::unique_ptr<TData> recordSet) {
  if (Active()) DatabaseError(ds::SDataSetOpen);
  data_ = std::move(recordSet);
  data_->CachedUpdates = cachedUpdates_;
  data_->OnInsertRecord = [this](const uint8_t*) { writeThrough(&TMemDataSet::PerformInsert); };
  data_->OnDeleteRecord = [this] { writeThrough(&TMemDataSet::PerformDelete); };
  data_->OnUpdateRecord = [this](const uint8_t*) { writeThrough(&TMemDataSet::PerformUpdate); };
  data_->OnApplyRecord = [this](TUpdateKind kind, TUpdateAction& action) { applyRecord(kind, action); };
  GetFieldDefs().Updated = false;
}

void TMemDataSet::writeThrough(void (TMemDataSet::*perform)()) {
  if (LocalUpdate) return;
  const DataSetState saved = State();
  ScopeExit restore([this, saved] { RestoreState(saved); });
  (this->*perform)();
}

void TMemDataSet::applyRecord(TUpdateKind kind, TUpdateAction& action) {
  auto a = ds::uaFail;
  if (OnUpdateRecord) {
    OnUpdateRecord(*this, ds::UpdateKind(kind), a);
    if (a == ds::uaAbort) {
      action = uaAbort;
      ds::Abort();
    }
  }
  if (!OnUpdateRecord || a == uaDefault) {
    if (kind == ukModify) PerformUpdate();
    if (kind == ukInsert) PerformInsert();
    if (kind == ukDelete) PerformDelete();
    a = ds::uaApplied;
  }
  action = TUpdateAction(a);
}

void TMemDataSet::Prepare() {
  if (data_->Prepared()) return;
  data_->Prepare();
  GetFieldDefs().Updated = false;
  InternalInitFieldDefs();
}

void TMemDataSet::UnPrepare() {
  if (Active()) Close();
  data_->Unprepare();
  GetFieldDefs().Updated = false;
}

void TMemDataSet::SetCachedUpdates(bool value) {
  if (value == cachedUpdates_) return;
  if (Active()) CheckBrowseMode();
  cachedUpdates_ = value;
  data_->CachedUpdates = value;
}

void TMemDataSet::AssignTo(TMemDataSet& other) const {
  other.SetCachedUpdates(cachedUpdates_);
  other.LocalConstraints = LocalConstraints;
  other.LocalUpdate = LocalUpdate;
}

void TMemDataSet::CreateFieldDefs() {
  ds::FieldDefs& defs = GetFieldDefs();
  if (defs.Updated) return;
  defs.Clear();
  // Children of object fields become child definitions of their parent.
  std::vector<std::pair<const TFieldDesc*, FieldDef*>> made;
  for (int i = 0; i < data_->Fields.Count(); ++i) {
    const TFieldDesc& d = data_->Fields[i];
    if (d.Hidden) continue;
    FieldDef* parent = nullptr;
    if (d.HasParent()) {
      for (auto& [desc, def] : made)
        if (desc == d.ParentField) parent = def;
      if (!parent) continue;
    }
    FieldDef& def = parent ? parent->ChildDefs().AddFieldDef() : defs.AddFieldDef();
    def.Name = d.Name;
    def.FieldNo = d.FieldNo;
    def.DataType = GetFieldDescType(d);
    switch (def.DataType) {
      case ds::ftString:
      case ds::ftWideString:
      case ds::ftGuid:
        def.Size = std::max<int>(d.Length, 1);
        break;
      case ds::ftBytes:
      case ds::ftVarBytes:
        def.Size = d.Length;
        break;
      case ds::ftBCD:
        def.Precision = d.Length;
        def.Size = d.Scale;
        break;
      default:
        def.Size = 0;
    }
    if (def.DataType == ds::ftSmallint || def.DataType == ds::ftInteger || def.DataType == ds::ftWord ||
        def.DataType == ds::ftLargeint || def.DataType == ds::ftFloat)
      def.Precision = d.Length;
    def.Required = d.Required && LocalConstraints;
    def.Attributes = uint8_t((d.ReadOnly ? ds::faReadonly : 0) | (d.HiddenColumn ? ds::faHiddenCol : 0) |
                             (d.Fixed ? ds::faFixed : 0));
    made.emplace_back(&d, &def);
  }
  defs.Updated = true;
}

void TMemDataSet::SetNumberRange(const FieldDef& def) {
  Field* f = FindField(def.Name);
  if (!f) return;
  if (auto* i = dynamic_cast<ds::IntegerField*>(f)) {
    // Only precisions whose bound the field's type can hold give a range.
    const int maxDigits = f->DataType() == ds::ftLargeint ? 18 : f->DataType() == ds::ftSmallint ? 4 : 9;
    if (def.Precision < 1 || def.Precision > maxDigits) return;
    int64_t bound = 1;
    for (int k = 0; k < def.Precision; ++k) bound *= 10;
    i->MaxValue = bound - 1;
    i->MinValue = -i->MaxValue;
    if (f->DataType() == ds::ftWord) i->MinValue = 0;
  } else if (auto* fl = dynamic_cast<ds::FloatField*>(f)) {
    if (def.Precision < 1 || def.Precision > 15) return;
    const TFieldDesc* desc = data_->FindField(def.Name);
    const int scale = desc ? desc->Scale : 0;
    fl->Precision = def.Precision;
    fl->MaxValue = decimalBound(def.Precision - scale, scale);
    fl->MinValue = -fl->MaxValue;
  }
}

void TMemDataSet::InternalInitFieldDefs() {
  if (!data_->Active()) data_->InitFields();
  CreateFieldDefs();
}

void TMemDataSet::OpenCursor(bool infoQuery) {
  if (!infoQuery) oldValueBuf_ = nullptr;
  DataSet::OpenCursor(infoQuery);
}

void TMemDataSet::InternalOpen() {
  if (!data_->Prepared()) {
    data_->InitFields();
    GetFieldDefs().Updated = false;
  }
  data_->Open();
  CreateFieldDefs();
  const bool persistent = FieldCount() > 0;
  CreateFields();
  if (persistent)
    for (int i = 0; i < FieldCount(); ++i)
      if (Fields(i).DataType() == ds::ftString)
        if (const FieldDef* def = GetFieldDefs().Find(Fields(i).FieldName)) Fields(i).Size = def->Size;
  if (NumberRange)
    for (int i = 0; i < GetFieldDefs().Count(); ++i) SetNumberRange(GetFieldDefs()[i]);
  BookmarkSize = int(kBookmarkSize);
  recInfoOfs_ = data_->RecordSize;
  bookmarkOfs_ = recInfoOfs_ + kInfoSize;
  recBufSize_ = bookmarkOfs_ + kBookmarkSize;
  oldValueBuf_ = AllocRecordBuffer();
  if (Filtered()) installFilter();
}

void TMemDataSet::releaseReferences(uint8_t* buffer) {
  if (!buffer || !buffer[recInfoOfs_ + 6]) return;
  buffer[recInfoOfs_ + 6] = 0;
  // The pointers stay: an edit goes on with the values the buffer shows.
  for (int i = 0; i < data_->Fields.Count(); ++i) {
    const TFieldDesc& f = data_->Fields[i];
    if (f.HasParent() || !data_->IsComplexDataType(f.DataType)) continue;
    void* p = platform::getValue<void*>(buffer + f.Offset);
    if (!p) continue;
    if (data_->IsObjectDataType(f.DataType))
      ReleaseObject(static_cast<TSharedObject*>(p));
    else
      data_->StringHeap.DisposeBuf(static_cast<char*>(p));
  }
}

void TMemDataSet::releaseAllReferences() {
  for (uint8_t* b : RecordBuffers()) releaseReferences(b);
}

void TMemDataSet::CloseCursor() {
  if (inserting_ || editing_) {
    uint8_t* buffer = RecordBuffers()[0];
    if (inserting_)
      data_->FreeComplexFields(buffer, true);
    else if (data_->Active())
      data_->CancelRecord(buffer);
    inserting_ = editing_ = false;
  }
  // The references go before the store frees the strings and objects they point at.
  releaseAllReferences();
  delete[] oldValueBuf_;
  oldValueBuf_ = nullptr;
  DataSet::CloseCursor();
}

void TMemDataSet::InternalClose() {
  releaseAllReferences();
  data_->OnFilterRecord = nullptr;
  data_->Close();
  DestroyFields();
  GetFieldDefs().Updated = data_->Prepared() && GetFieldDefs().Updated;
}

uint8_t* TMemDataSet::AllocRecordBuffer() {
  return new uint8_t[recBufSize_]();
}

void TMemDataSet::FreeRecordBuffer(uint8_t*& buffer) {
  releaseReferences(buffer);
  ForgetCalcValues(buffer);
  delete[] buffer;
  buffer = nullptr;
}

ds::GetResult TMemDataSet::GetRecord(uint8_t* buffer, ds::GetMode mode, bool) {
  releaseReferences(buffer);
  switch (mode) {
    case ds::gmCurrent:
      data_->GetRecord(buffer);
      break;
    case ds::gmNext:
      data_->GetNextRecord(buffer);
      break;
    case ds::gmPrior:
      data_->GetPriorRecord(buffer);
      break;
  }
  if (data_->Bof()) return ds::grBOF;
  if (data_->Eof()) return ds::grEOF;
  platform::putValue<int32_t>(buffer + recInfoOfs_, data_->GetRecNo());
  buffer[recInfoOfs_ + 4] = data_->GetUpdateStatus();
  buffer[recInfoOfs_ + 5] = ds::bfCurrent;
  if (data_->HasComplexFields) {
    data_->AddRefComplexFields(buffer);
    buffer[recInfoOfs_ + 6] = 1;
  }
  TRecBookmark b;
  data_->GetBookmark(b);
  putBookmark(buffer + bookmarkOfs_, b);
  GetCalcFields(buffer);
  return ds::grOK;
}

void TMemDataSet::InternalInitRecord(uint8_t* buffer) {
  releaseReferences(buffer);
  data_->InitRecord(buffer);
  data_->CreateComplexFields(buffer, true);
}

void TMemDataSet::InitRecord(uint8_t* buffer) {
  DataSet::InitRecord(buffer);
  platform::putValue<int32_t>(buffer + recInfoOfs_, 0);
  buffer[recInfoOfs_ + 4] = usInserted;
  buffer[recInfoOfs_ + 5] = ds::bfInserted;
}

void TMemDataSet::InternalAddRecord(const uint8_t* buffer, bool append) {
  if (append)
    data_->AppendRecord(buffer);
  else
    data_->InsertRecord(buffer);
}

void TMemDataSet::InternalEdit() {
  uint8_t* buffer = ActiveBuffer();
  releaseReferences(buffer);
  for (int i = 0; i < data_->Fields.Count(); ++i) {
    const TFieldDesc& f = data_->Fields[i];
    if (data_->IsBlobDataType(f.DataType) && !f.HasParent())
      if (TBlob* blob = data_->GetBlob(f.FieldNo, buffer)) blob->EnableRollback();
  }
  data_->EditRecord(buffer);
  editing_ = true;
}

void TMemDataSet::InternalDelete() {
  if (!GetCanModify()) DatabaseError(ds::SDataSetReadOnly);
  data_->DeleteRecord();
}

void TMemDataSet::WriteRecord() {
  if (State() == ds::dsInsert)
    data_->InsertRecord(ActiveBuffer());
  else
    data_->PostRecord(ActiveBuffer());
}

void TMemDataSet::InternalPost() {
  DataSet::InternalPost();
  if (editing_)
    data_->PostRecord(ActiveBuffer());
  else
    data_->InsertRecord(ActiveBuffer());
  inserting_ = editing_ = false;
}

void TMemDataSet::InternalCancel() {
  uint8_t* buffer = ActiveBuffer();
  if (inserting_)
    data_->FreeComplexFields(buffer, true);
  else if (editing_)
    data_->CancelRecord(buffer);
  inserting_ = editing_ = false;
}

void TMemDataSet::InternalRefresh() {
  releaseAllReferences();
  data_->Reopen();
}

void TMemDataSet::InternalGotoBookmark(const uint8_t* bookmark) {
  data_->SetToBookmark(takeBookmark(bookmark));
}

void TMemDataSet::InternalSetToRecord(uint8_t* buffer) {
  InternalGotoBookmark(buffer + bookmarkOfs_);
}

ds::BookmarkFlag TMemDataSet::GetBookmarkFlag(const uint8_t* buffer) const {
  return ds::BookmarkFlag(buffer[recInfoOfs_ + 5]);
}

void TMemDataSet::SetBookmarkFlag(uint8_t* buffer, ds::BookmarkFlag flag) {
  buffer[recInfoOfs_ + 5] = flag;
}

void TMemDataSet::GetBookmarkData(const uint8_t* buffer, uint8_t* data) const {
  std::memcpy(data, buffer + bookmarkOfs_, kBookmarkSize);
}

void TMemDataSet::SetBookmarkData(uint8_t* buffer, const uint8_t* data) {
  std::memcpy(buffer + bookmarkOfs_, data, kBookmarkSize);
}

bool TMemDataSet::BookmarkValid(const Bookmark& b) {
  if (b.size() != kBookmarkSize || !Active()) return false;
  const TRecBookmark rb = takeBookmark(b.data());
  return data_->BookmarkValid(&rb);
}

int TMemDataSet::CompareBookmarks(const Bookmark& a, const Bookmark& b) {
  if (a.size() != kBookmarkSize || b.size() != kBookmarkSize) return DataSet::CompareBookmarks(a, b);
  const TRecBookmark ra = takeBookmark(a.data()), rb = takeBookmark(b.data());
  return data_->CompareBookmarks(&ra, &rb);
}

int TMemDataSet::RecNo() {
  const uint8_t* buffer = ActiveBuffer();
  return Active() && buffer && !IsEmpty() ? platform::getValue<int32_t>(buffer + recInfoOfs_) : 0;
}

void TMemDataSet::SetRecNo(int n) {
  CheckBrowseMode();
  data_->SetRecNo(n);
  ResyncWithScroll();
}

ds::UpdateStatus TMemDataSet::GetUpdateStatus() {
  const uint8_t* buffer = ActiveBuffer();
  if (!cachedUpdates_ || !buffer || IsEmpty()) return ds::usUnmodified;
  return ds::UpdateStatus(buffer[recInfoOfs_ + 4]);
}

void TMemDataSet::applyQueued(void (TData::*apply)()) {
  // The statements that write a queued record read its fields through this dataset; they must see
  // that record, not the one under the cursor.
  std::unique_ptr<uint8_t[]> current(data_->AllocRecBuf()), original(data_->AllocRecBuf());
  data_->SetCacheRecBuf(current.get(), original.get());
  appliedRecord_ = current.get();
  appliedOldRecord_ = original.get();
  ScopeExit done([this] {
    data_->SetCacheRecBuf(nullptr, nullptr);
    appliedRecord_ = appliedOldRecord_ = nullptr;
  });
  (data_.get()->*apply)();
}

void TMemDataSet::ApplyUpdates() {
  CheckBrowseMode();
  try {
    applyQueued(&TData::ApplyUpdates);
  } catch (const ds::EAbort&) {
  }
  Resync();
}

void TMemDataSet::CommitUpdates() {
  CheckBrowseMode();
  applyQueued(&TData::CommitUpdates);
  Resync();
}

void TMemDataSet::CancelUpdates() {
  CheckBrowseMode();
  CursorPosChanged();
  data_->CancelUpdates();
  First();
}

void TMemDataSet::RevertRecord() {
  CheckBrowseMode();
  UpdateCursorPos();
  data_->RevertRecord();
  Resync();
}

void TMemDataSet::RestoreUpdates() {
  data_->RestoreUpdates();
}

uint8_t* TMemDataSet::GetStateBuffer() {
  switch (State()) {
    case ds::dsFilter:
      return const_cast<uint8_t*>(filterBuf_);
    case ds::dsCalcFields:
      return lookupBuf_ ? lookupBuf_ : CalcBuffer();
    case ds::dsOldValue:
      if (appliedOldRecord_) return appliedOldRecord_;
      if (IsEmpty() || !oldValueBuf_) return nullptr;
      UpdateCursorPos();
      data_->GetOldRecord(oldValueBuf_);
      return oldValueBuf_;
    default:
      return appliedRecord_ ? appliedRecord_ : ActiveBuffer();
  }
}

TSharedObject* TMemDataSet::GetFieldObject(const Field& field) {
  const uint8_t* buffer = GetStateBuffer();
  if (!buffer || field.FieldNo <= 0 || field.Kind != ds::FieldKind::Data ||
      (IsEmpty() && State() == ds::dsBrowse))
    return nullptr;
  return data_->GetFieldObject(field.FieldNo, buffer);
}

bool TMemDataSet::GetFieldData(Field& field, Variant& value) {
  if (field.Kind != ds::FieldKind::Data) return DataSet::GetFieldData(field, value);
  const uint8_t* buffer = GetStateBuffer();
  if (!buffer || field.FieldNo <= 0 || (IsEmpty() && State() == ds::dsBrowse && !appliedRecord_))
    return false;
  const TFieldDesc& desc = data_->Fields[field.FieldNo - 1];
  if (!desc.HasParent() && data_->GetNull(field.FieldNo, buffer)) return false;
  if (desc.DataType == dtBlob && !desc.HasParent()) {
    TBlob* blob = data_->GetBlob(field.FieldNo, buffer);
    const std::string s = blob ? blob->AsString() : std::string();
    value = Variant::bytes(std::vector<uint8_t>(s.begin(), s.end()));
    return true;
  }
  value = data_->GetFieldAsVariant(field.FieldNo, buffer);
  return !value.isNull();
}

void TMemDataSet::SetFieldData(Field& field, const Variant& value) {
  const DataSetState s = State();
  const bool allowed = s == ds::dsEdit || s == ds::dsInsert || s == ds::dsSetKey || s == ds::dsCalcFields ||
                       s == ds::dsFilter || s == ds::dsNewValue || s == ds::dsInternalCalc;
  if (!allowed) DatabaseError(ds::SNotEditing);
  if (field.Calculated()) return DataSet::SetFieldData(field, value);
  if (s == ds::dsCalcFields) DatabaseError(ds::SNotEditing);
  if (field.ReadOnly && s != ds::dsSetKey && s != ds::dsFilter)
    ds::DatabaseErrorFmt(ds::SFieldReadOnly, field.FieldName);
  field.Validate(value);
  if (!field.Lookup()) {
    uint8_t* buffer = GetStateBuffer();
    if (!buffer || field.FieldNo <= 0) DatabaseError(ds::SNotEditing);
    data_->PutFieldAsVariant(field.FieldNo, buffer, value);
  }
  if (s != ds::dsCalcFields && s != ds::dsFilter && s != ds::dsNewValue)
    DataEventNotify(ds::deFieldChange, &field);
}

void TMemDataSet::DoOnNewRecord() {
  for (int i = 0; i < FieldCount(); ++i)
    if (!Fields(i).DefaultExpression.empty()) Fields(i).SetAsString(Fields(i).DefaultExpression);
  DataSet::DoOnNewRecord();
}

// Filtering.

void TMemDataSet::installFilter() {
  const bool on = Filtered();
  if (on && OnFilterRecord()) {
    data_->OnFilterRecord = [this](const uint8_t* record) {
      const uint8_t* savedBuf = filterBuf_;
      const DataSetState saved = SetTempState(ds::dsFilter);
      filterBuf_ = record;
      ScopeExit restore([this, saved, savedBuf] {
        RestoreState(saved);
        filterBuf_ = savedBuf;
      });
      bool accept = true;
      OnFilterRecord()(*this, accept);
      return accept;
    };
  } else {
    data_->OnFilterRecord = nullptr;
  }
  data_->SetFilterCaseInsensitive((FilterOptions() & ds::foCaseInsensitive) != 0);
  data_->SetFilterNoPartialCompare((FilterOptions() & ds::foNoPartialCompare) != 0);
  data_->SetFilterText(on ? std::string(platform::trimBlanks(Filter())) : std::string());
}

void TMemDataSet::filterChanged() {
  if (!Active()) return;
  CheckBrowseMode();
  installFilter();
  CursorPosChanged();
  data_->FilterUpdated();
  First();
}

void TMemDataSet::SetFilterText(const std::string& text) {
  if (Active() && Filtered()) {
    CheckBrowseMode();
    data_->SetFilterText(
        std::string(platform::trimBlanks(text)));  // a text that does not parse changes nothing
  }
  DataSet::SetFilterText(text);
  filterChanged();
}

void TMemDataSet::SetFiltered(bool value) {
  DataSet::SetFiltered(value);
  filterChanged();
}

void TMemDataSet::SetFilterOptions(uint8_t options) {
  DataSet::SetFilterOptions(options);
  filterChanged();
}

void TMemDataSet::SetOnFilterRecord(std::function<void(DataSet&, bool&)> handler) {
  DataSet::SetOnFilterRecord(std::move(handler));
  filterChanged();
}

bool TMemDataSet::FindRecord(bool restart, bool goForward) {
  CheckBrowseMode();
  bool found = false;
  {
    // Searching applies the filter even while the dataset does not show it.
    const bool temporary = !Filtered();
    if (temporary) {
      DataSet::SetFiltered(true);
      installFilter();
    }
    ScopeExit restore([this, temporary] {
      if (!temporary) return;
      DataSet::SetFiltered(false);
      data_->OnFilterRecord = nullptr;
      data_->SetFilterText({});  // an empty text never fails to parse
    });
    if (restart)
      goForward ? data_->SetToBegin() : data_->SetToEnd();
    else
      UpdateCursorPos();
    CursorPosChanged();
    goForward ? data_->GetNextRecord(nullptr) : data_->GetPriorRecord(nullptr);
    found = !data_->Bof() && !data_->Eof();
  }
  if (found) ResyncWithScroll();
  return found;
}

// Searching.

std::vector<TFieldDesc*> TMemDataSet::keyDescs(const std::string& keyFields) const {
  std::vector<TFieldDesc*> descs;
  size_t start = 0;
  while (start <= keyFields.size()) {
    size_t end = keyFields.find(';', start);
    if (end == std::string::npos) end = keyFields.size();
    const std::string name(platform::trimBlanks(keyFields.substr(start, end - start)));
    if (!name.empty()) descs.push_back(&data_->FieldByName(name));
    start = end + 1;
  }
  return descs;
}

bool TMemDataSet::VariantToValueBuffer(const TFieldDesc& field, const Variant& value, TValueBuffer& buffer) {
  using dataset::VariantType;
  if (value.isNull()) return false;
  std::vector<uint8_t>& b = buffer.Bytes;
  b.clear();
  auto put = [&b](auto v) {
    b.resize(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
  };
  if (value.type() == VariantType::WideString) {
    const std::u16string s = value.asWideString();
    b.resize((s.size() + 1) * 2, 0);
    for (size_t i = 0; i < s.size(); ++i) platform::put2(b.data() + 2 * i, s[i]);
    buffer.DataType = dtWideString;
    return true;
  }
  if (value.type() == VariantType::String || isTextType(field.DataType) || field.DataType == dtMemo) {
    const std::string s = value.asString();
    b.assign(s.begin(), s.end());
    b.push_back(0);
    buffer.DataType = dtString;
    return true;
  }
  buffer.DataType = field.DataType;
  try {
    switch (field.DataType) {
      case dtInt8:
      case dtSmallint:
      case dtInteger:
      case dtUInt16:
      case dtUInt32:
        put(value.asInt32());
        break;
      case dtFloat:
      case dtCurrency:
        put(value.asDouble());
        break;
      case dtDate:
      case dtTime:
      case dtDateTime:
        put(value.asDateTime().days);
        break;
      case dtBoolean:
        put(uint8_t(value.asBool() ? 1 : 0));
        break;
      case dtInt64:
        put(value.asInt64());
        break;
      case dtBytes:
      case dtVarBytes:
      case dtExtVarBytes: {
        DA_ASSERT(value.type() == VariantType::Bytes, "Invalid VType");
        const std::vector<uint8_t> bytes = value.asBytes();
        const uint16_t n = uint16_t(std::min<size_t>(bytes.size(), UINT16_MAX));
        b.resize(2 + n);
        platform::put2(b.data(), n);
        std::memcpy(b.data() + 2, bytes.data(), n);
        break;
      }
      default:
        RaiseMemDataError(SCannotConvertType);
    }
  } catch (const dataset::EVariantError&) {
    RaiseMemDataError(SCannotConvertType);
  }
  return true;
}

bool TMemDataSet::CompareFieldValue(const TValueBuffer* key, const TFieldDesc& field, const uint8_t* recBuf,
                                    uint8_t options) {
  const Variant v = data_->GetFieldAsVariant(field.FieldNo, recBuf);
  if (!key) return v.isNull();
  if (v.isNull()) return false;
  const bool nearest = (options & lxNearest) != 0;
  const uint16_t kt = key->DataType;
  if (kt == dtString || kt == dtWideString) {
    std::string k;
    if (kt == dtString) {
      k.assign(reinterpret_cast<const char*>(key->Bytes.data()));
    } else {
      std::u16string w;
      for (size_t i = 0; i + 1 < key->Bytes.size(); i += 2) {
        const char16_t c = char16_t(platform::get2(key->Bytes.data() + i));
        if (c == 0) break;
        w.push_back(c);
      }
      k = dataset::utf16ToUtf8(w);
    }
    std::string s;
    if (v.type() == dataset::VariantType::Bytes) {
      const auto bytes = v.asBytes();
      s.assign(bytes.begin(), bytes.end());
    } else {
      s = v.asString();
    }
    const bool ignoreCase = (options & lxCaseInsensitive) != 0;
    if (ignoreCase) {
      k = folded(std::move(k));
      s = folded(std::move(s));
    }
    if (options & lxPartialKey) {
      if (s.size() < k.size()) return false;
      s.resize(k.size());
    }
    if (s == k) return true;
    return nearest && platform::compareText(platform::kUsEnglishLanguageId, k, s, ignoreCase) < 0;
  }
  const uint8_t* kb = key->Bytes.data();
  switch (kt) {
    case dtInt8:
    case dtSmallint:
    case dtInteger:
    case dtUInt16:
    case dtUInt32:
    case dtInt64: {
      const int64_t k = kt == dtInt64 ? platform::getValue<int64_t>(kb) : platform::getValue<int32_t>(kb);
      const int64_t r = v.asInt64();
      return r == k || (nearest && r > k);
    }
    case dtBoolean: {
      const int k = kb[0], r = v.asBool() ? 1 : 0;
      return r == k || (nearest && r > k);
    }
    case dtFloat:
    case dtCurrency:
    case dtDate:
    case dtTime:
    case dtDateTime: {
      const double k = platform::getValue<double>(kb);
      const double r = kt >= dtDate && kt <= dtDateTime ? v.asDateTime().days : v.asDouble();
      return r == k || (nearest && r > k);
    }
    default: {
      const std::vector<uint8_t> r = v.asBytes();
      const size_t n = platform::get2(kb);
      if (options & lxPartialKey) return r.size() >= n && std::memcmp(r.data(), kb + 2, n) == 0;
      return r.size() == n && std::memcmp(r.data(), kb + 2, n) == 0;
    }
  }
}

bool TMemDataSet::LocateRecord(const std::string& keyFields, const Variant& keyValues, uint8_t options) {
  CheckBrowseMode();
  const std::vector<TFieldDesc*> descs = keyDescs(keyFields);
  std::vector<TValueBuffer> keys(descs.size());
  std::vector<bool> hasKey(descs.size());
  const bool isArray = keyValues.type() == dataset::VariantType::Array;
  for (size_t i = 0; i < descs.size(); ++i) {
    Variant v = Variant::null();
    if (isArray) {
      if (i < keyValues.asArray().size()) v = keyValues.asArray()[i];
    } else if (i == 0) {
      v = keyValues;
    }
    hasKey[i] = VariantToValueBuffer(*descs[i], v, keys[i]);
  }
  const bool backwards = (options & lxUp) != 0;
  if (options & lxNext)
    UpdateCursorPos();
  else
    backwards ? data_->SetToEnd() : data_->SetToBegin();
  CursorPosChanged();
  std::unique_ptr<uint8_t[]> scratch(data_->AllocRecBuf());
  for (;;) {
    backwards ? data_->GetPriorRecord(scratch.get()) : data_->GetNextRecord(scratch.get());
    if (data_->Eof() || data_->Bof()) return false;
    bool match = true;
    for (size_t i = 0; i < descs.size() && match; ++i)
      match = CompareFieldValue(hasKey[i] ? &keys[i] : nullptr, *descs[i], scratch.get(), options);
    if (match) return true;
  }
}

bool TMemDataSet::Locate(const std::string& keyFields, const Variant& keyValues, uint8_t options) {
  const uint8_t mapped = uint8_t(((options & ds::loCaseInsensitive) ? lxCaseInsensitive : 0) |
                                 ((options & ds::loPartialKey) ? lxPartialKey : 0));
  if (!LocateRecord(keyFields, keyValues, mapped)) return false;
  ResyncWithScroll();
  return true;
}

Variant TMemDataSet::Lookup(const std::string& keyFields, const Variant& keyValues,
                            const std::string& resultFields) {
  if (!LocateRecord(keyFields, keyValues, 0)) return Variant::null();
  uint8_t* buffer = AllocRecordBuffer();
  ScopeExit scratch([this, &buffer, saved = lookupBuf_] {
    lookupBuf_ = saved;
    FreeRecordBuffer(buffer);
  });
  if (GetRecord(buffer, ds::gmCurrent, false) != ds::grOK) return Variant::null();
  CursorPosChanged();
  lookupBuf_ = buffer;
  std::vector<Variant> values;
  {
    const DataSetState saved = SetTempState(ds::dsCalcFields);
    ScopeExit restore([this, saved] { RestoreState(saved); });
    for (Field* f : GetFieldList(resultFields)) values.push_back(f->Value());
  }
  if (values.size() == 1) return values[0];
  return Variant(values);
}

std::unique_ptr<ds::Stream> TMemDataSet::CreateBlobStream(Field& field, ds::BlobStreamMode mode) {
  return std::make_unique<TBlobStream>(*this, field, mode);
}

TBlobStream::TBlobStream(TMemDataSet& dataSet, Field& field, ds::BlobStreamMode mode)
    : dataSet_(dataSet), field_(field) {
  const DataSetState s = dataSet.State();
  if (s == ds::dsFilter) ds::DatabaseErrorFmt(ds::SFieldAccessInFilter, field.FieldName);
  if (mode != ds::bmRead) {
    if (field.ReadOnly) ds::DatabaseErrorFmt(ds::SFieldReadOnly, field.FieldName);
    if (s != ds::dsEdit && s != ds::dsInsert) DatabaseError(ds::SNotEditing);
  }
  buffer_ = dataSet.GetStateBuffer();
  if (!buffer_ || field.FieldNo <= 0) return;
  blob_ = dataSet.data_->GetStreamBlob(field.FieldNo, buffer_);
  if (s == ds::dsOldValue && blob_ && blob_->Rollback()) blob_ = blob_->Rollback();
  if (mode == ds::bmWrite && blob_) {
    blob_->Truncate(0);
    modified_ = true;
  }
}

TBlobStream::~TBlobStream() {
  if (!modified_) return;
  try {
    dataSet_.DataEventNotify(ds::deFieldChange, &field_);
  } catch (...) {
    // The value is written already; a destructor has no way to report the handler's error.
  }
}

size_t TBlobStream::Read(void* buffer, size_t count) {
  if (!blob_ || count == 0) return 0;
  if (dataSet_.data_->GetNull(field_.FieldNo, buffer_)) return 0;
  const uint64_t n = blob_->Read(uint64_t(position_), count, buffer);
  position_ += int64_t(n);
  return size_t(n);
}

size_t TBlobStream::Write(const void* buffer, size_t count) {
  if (!blob_) DatabaseError(ds::SNotEditing);
  if (count == 0) return 0;
  blob_->Write(uint64_t(position_), count, buffer);
  dataSet_.data_->SetNull(field_.FieldNo, buffer_, false);
  position_ += int64_t(count);
  modified_ = true;
  return count;
}

int64_t TBlobStream::Seek(int64_t offset, ds::SeekOrigin origin) {
  const int64_t size = blob_ ? int64_t(blob_->GetSize()) : 0;
  const int64_t base = origin == ds::soBeginning ? 0 : origin == ds::soCurrent ? position_ : size;
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

}  // namespace dataaccess
