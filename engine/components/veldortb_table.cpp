// The table component.
#include <algorithm>

#include "dataset/dberror.h"
#include "engine/components/veldortb.h"
#include "engine/storage/veldorindex.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldortable.h"
#include "platform/scopeguard.h"

namespace engine::components {

namespace ds = dataset;
using ds::DatabaseError;
using ds::DatabaseErrorFmt;
using platform::ScopeExit;
using platform::UndoOnFailure;

namespace {

// Database-use flags of the table's own work: 3 create, delete and exists; 4 field
// definitions; 5 index definitions.
constexpr int kFlagTableOp = 3;
constexpr int kFlagFieldDefs = 4;
constexpr int kFlagIndexDefs = 5;
// The size of a text field defined without one.
constexpr int kDefaultStringSize = 20;

std::vector<std::string> splitNames(const std::string& names) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string::npos) end = names.size();
    std::string name = names.substr(start, end - start);
    const auto a = name.find_first_not_of(' ');
    if (a != std::string::npos) out.push_back(name.substr(a, name.find_last_not_of(' ') - a + 1));
    start = end + 1;
  }
  return out;
}

// Holds a database-use flag for one operation.
class DBFlag {
 public:
  DBFlag(TVELDORDBDataSet& dataSet, int flag) : dataSet_(dataSet), flag_(flag) {
    dataSet.SetDBFlag(flag, true);
  }
  ~DBFlag() { dataSet_.SetDBFlag(flag_, false); }
  DBFlag(const DBFlag&) = delete;
  DBFlag& operator=(const DBFlag&) = delete;

 private:
  TVELDORDBDataSet& dataSet_;
  int flag_;
};

}  // namespace

TVELDORTable::TVELDORTable() {
  masterLink_.OnMasterChange = [this] { masterChanged(); };
  masterLink_.OnMasterDisable = [this] { masterDisabled(); };
}

TVELDORTable::~TVELDORTable() {
  try {
    Close();
  } catch (...) {
    // See ~TVELDORDBDataSet.
  }
}

void TVELDORTable::checkClosed() const {
  if (Active()) DatabaseError(ds::SDataSetOpen);
}

void TVELDORTable::SetExclusive(bool value) {
  checkClosed();
  exclusive_ = value;
}

void TVELDORTable::SetReadOnly(bool value) {
  checkClosed();
  readOnly_ = value;
}

void TVELDORTable::SetDatabaseName(const std::string& name) {
  TVELDORDBDataSet::SetDatabaseName(name);
  inMemory_ = ds::SameName(name, kMemoryDatabaseName);
  indexDefsRead_ = false;
  restructureFields_.Clear();
  restructureIndexes_.Clear();
}

void TVELDORTable::SetTableName(const std::string& name) {
  Close();
  const size_t slash = name.find_last_of('/');
  if (!inMemory_ && slash != std::string::npos) {
    SetDatabaseName(name.substr(0, slash == 0 ? 1 : slash));
    tableName_ = name.substr(slash + 1);
  } else {
    tableName_ = name;
  }
  indexDefsRead_ = false;
  restructureFields_.Clear();
  restructureIndexes_.Clear();
  GetFieldDefs().Updated = false;
  DataEventNotify(ds::dePropertyChange);
}

std::unique_ptr<TDataCursor> TVELDORTable::makeCursor() {
  if (tableName_.empty()) DatabaseError(SNoTableName);
  TVELDORDatabase* database = Database();
  auto cursor = std::make_unique<TDataCursor>(*database->Handle());
  cursor->SetTableName(tableName_.substr(0, std::min<size_t>(tableName_.size(), 255)));
  cursor->SetInMemory(inMemory_);
  TVELDORSession* session = &database->Session();
  cursor->SetPasswordCallback([session](TDataCursor&) { return session->PasswordRequest(); });
  return cursor;
}

std::unique_ptr<TDataCursor> TVELDORTable::CreateCursor(bool) {
  auto cursor = makeCursor();
  cursor->SetExclusive(exclusive_);
  cursor->SetReadOnly(readOnly_);
  cursor->Open();
  hookEvents(*cursor);
  // A cursor opens in the table's own order: the primary index, or record order without one.
  if (!index_.empty()) switchToIndex(*cursor);
  return cursor;
}

void TVELDORTable::hookEvents(TDataCursor& cursor) {
  cursor.SetIndexProgressHook([this](TDataCursor&, uint32_t percent) {
    if (OnIndexProgress) OnIndexProgress(*this, uint16_t(percent));
  });
}

void TVELDORTable::switchToIndex(TDataCursor& cursor) {
  std::string name = index_;
  if (byFields_ && !index_.empty()) {
    // The index whose fields are the given ones, in order.
    const std::vector<std::string> wanted = splitNames(index_);
    bool found = false;
    for (uint8_t slot = 0; slot <= cursor.GetIndexCount() && !found; ++slot) {
      if (slot == 0 && cursor.Table()->NoPrimaryIndex()) continue;
      const TIndexDescriptor d = cursor.GetIndexDesc(slot);
      if (d.fieldCount != wanted.size()) continue;
      bool same = true;
      for (size_t k = 0; k < wanted.size() && same; ++k)
        same = ds::SameName(cursor.GetFieldDescByNumber(d.fields[k]).Name(), wanted[k]);
      if (same) found = true, name = d.name;
    }
    if (!found) DatabaseErrorFmt("No index for fields '%s'", index_);
  }
  if (name.empty() && cursor.Table()->NoPrimaryIndex()) {
    // A remote cursor refuses to be switched to the record order it already has.
    if (cursor.CurrentIndex() != kNoCurrentIndex) cursor.SwitchToIndex(kNoCurrentIndex);
  } else {
    cursor.SetIndexName(name);
  }
}

TDataCursor* TVELDORTable::GetLookupCursor(const std::string& keyFields, bool caseInsensitive) {
  if (!cursor_ || cursor_->RangeSet()) return nullptr;
  if (lookupCursor_ && ds::SameName(lookupFields_, keyFields) && lookupCaseInsensitive_ == caseInsensitive)
    return lookupCursor_.get();
  DestroyLookupCursor();
  const std::vector<std::string> wanted = splitNames(keyFields);
  TSessionLock lock(LockSession());
  for (uint8_t slot = 0; slot <= cursor_->GetIndexCount(); ++slot) {
    if (slot == 0 && cursor_->Table()->NoPrimaryIndex()) continue;
    const TIndexDescriptor d = cursor_->GetIndexDesc(slot);
    if (d.fieldCount != wanted.size() || (d.caseInsensitive != 0) != caseInsensitive) continue;
    bool same = true;
    for (size_t k = 0; k < wanted.size() && same; ++k)
      same = ds::SameName(cursor_->GetFieldDescByNumber(d.fields[k]).Name(), wanted[k]);
    if (!same) continue;
    lookupCursor_ = cursor_->Clone();
    lookupCursor_->SwitchToIndex(slot);
    lookupFields_ = keyFields;
    lookupCaseInsensitive_ = caseInsensitive;
    return lookupCursor_.get();
  }
  return nullptr;
}

void TVELDORTable::DestroyLookupCursor() {
  if (!lookupCursor_) return;
  TSessionLock lock(LockSession());
  lookupCursor_->Close();
  lookupCursor_.reset();
  lookupFields_.clear();
}

void TVELDORTable::PrepareCursor() {
  if (!index_.empty()) switchToIndex(*cursor_);
  applyMasterRange();
}

void TVELDORTable::SetMasterSource(ds::DataSource* source) {
  if (source && IsLinkedTo(source)) DatabaseError(SCircularDataLink);
  masterLink_.SetDataSource(source);
}

void TVELDORTable::SetMasterFields(const std::string& names) {
  masterLink_.FieldNames = names;
  masterChanged();
}

bool TVELDORTable::applyMasterRange() {
  const std::vector<ds::Field*> master =
      masterLink_.Active() ? masterLink_.MasterFields() : std::vector<ds::Field*>{};
  if (master.empty() || cursor_->CurrentIndex() == kNoCurrentIndex) {
    cursor_->ResetRange();
    return false;
  }
  std::vector<ds::Variant> values;
  for (ds::Field* f : master) values.push_back(f->Value());
  const std::vector<uint8_t> key = keyRecord(values);
  cursor_->SetRange(false, key.data(), int32_t(values.size()), key.data(), int32_t(values.size()));
  return true;
}

void TVELDORTable::masterChanged() {
  if (!Active()) return;
  CheckBrowseMode();
  {
    TSessionLock lock(LockSession());
    applyMasterRange();
  }
  CursorPosChanged();
  First();
}

void TVELDORTable::masterDisabled() {
  if (!Active()) return;
  CheckBrowseMode();
  {
    TSessionLock lock(LockSession());
    cursor_->ResetRange();
  }
  CursorPosChanged();
  First();
}

void TVELDORTable::DoOnNewRecord() {
  const std::vector<ds::Field*> master =
      masterLink_.Active() ? masterLink_.MasterFields() : std::vector<ds::Field*>{};
  const uint8_t slot = master.empty() ? kNoCurrentIndex : cursor_->CurrentIndex();
  TVELDORDataSet::DoOnNewRecord();
  if (slot == kNoCurrentIndex) return;
  const TIndexDescriptor index = cursor_->GetIndexDesc(slot);
  for (size_t k = 0; k < master.size() && k < index.fieldCount; ++k)
    for (int i = 0; i < FieldCount(); ++i)
      if (Fields(i).Kind == ds::FieldKind::Data &&
          cursor_->GetFieldDesc(uint16_t(Fields(i).FieldNo)).FieldNumber() == index.fields[k])
        Fields(i).SetValue(master[k]->Value());
}

void TVELDORTable::SetIndexName(const std::string& name) {
  byFields_ = false;
  index_ = name;
  if (!Active()) return;
  CheckBrowseMode();
  {
    TSessionLock lock(LockSession());
    switchToIndex(*cursor_);
  }
  IndexChanged();
  masterChanged();
}

void TVELDORTable::SetIndexFieldNames(const std::string& names) {
  const std::string saved = index_;
  const bool savedByFields = byFields_;
  byFields_ = true;
  index_ = names;
  if (!Active()) return;
  CheckBrowseMode();
  {
    UndoOnFailure keep([&] {
      index_ = saved;
      byFields_ = savedByFields;
    });
    TSessionLock lock(LockSession());
    switchToIndex(*cursor_);
  }
  IndexChanged();
  masterChanged();
}

void TVELDORTable::InternalInitFieldDefs() {
  if (cursor_) return TVELDORDataSet::InternalInitFieldDefs();
  if (tableName_.empty()) DatabaseError(SNoTableName);
  DBFlag flag(*this, kFlagFieldDefs);
  TSessionLock lock(LockSession());
  cursor_ = makeCursor();
  ScopeExit drop([&] { cursor_.reset(); });
  cursor_->Open();
  TVELDORDataSet::InternalInitFieldDefs();
  cursor_->Close();
}

std::vector<TVELDORIndexDef>& TVELDORTable::IndexDefs() {
  return indexDefs_;
}

void TVELDORTable::UpdateIndexDefs() {
  if (indexDefsRead_) return;
  if (tableName_.empty()) DatabaseError(SNoTableName);
  DBFlag flag(*this, kFlagIndexDefs);
  TSessionLock lock(LockSession());
  std::unique_ptr<TDataCursor> temporary;
  TDataCursor* cursor = cursor_.get();
  if (!cursor) {
    temporary = makeCursor();
    temporary->Open();
    cursor = temporary.get();
  }
  std::vector<TVELDORIndexDef> defs;
  for (uint8_t slot = 0; slot <= cursor->GetIndexCount(); ++slot) {
    if (slot == 0 && cursor->Table()->NoPrimaryIndex()) continue;
    const TIndexDescriptor d = cursor->GetIndexDesc(slot);
    TVELDORIndexDef def;
    def.Name = d.name;
    for (uint8_t k = 0; k < d.fieldCount; ++k) {
      if (d.fields[k] == 0 || d.fields[k] > cursor->FieldCount()) continue;
      def.Fields += (def.Fields.empty() ? "" : ";") + cursor->GetFieldDescByNumber(d.fields[k]).Name();
    }
    def.Options = uint8_t((slot == 0 ? ixPrimary : 0) | (d.unique ? ixUnique : 0) |
                          (d.descending ? ixDescending : 0) | (d.caseInsensitive ? ixCaseInsensitive : 0));
    defs.push_back(std::move(def));
  }
  if (temporary) temporary->Close();
  indexDefs_ = std::move(defs);
  indexDefsRead_ = true;
}

bool TVELDORTable::Exists() {
  if (Active()) return true;
  if (tableName_.empty()) return false;
  DBFlag flag(*this, kFlagTableOp);
  TSessionLock lock(LockSession());
  return Database()->Handle()->TableExists(tableName_, inMemory_);
}

void TVELDORTable::CreateTable() {
  checkClosed();
  ds::FieldDefs& fieldDefs = GetFieldDefs();
  if (fieldDefs.Count() == 0)
    for (int i = 0; i < FieldCount(); ++i)
      if (Fields(i).Kind == ds::FieldKind::Data)
        fieldDefs.Add(Fields(i).FieldName, Fields(i).DataType(), Fields(i).Size, Fields(i).Required);
  std::stable_partition(indexDefs_.begin(), indexDefs_.end(),
                        [](const TVELDORIndexDef& d) { return (d.Options & ixPrimary) != 0; });
  TCreateTableArgs args;
  args.BlobBlockSize = 512;
  args.UserMajorVersion = 1;
  for (int i = 0; i < fieldDefs.Count(); ++i) {
    const ds::FieldDef& def = fieldDefs[i];
    TFieldDescriptor d;
    uint8_t type = 0, subType = 0;
    FieldTypeToEngineType(def.DataType, type, subType);
    if (def.DataType == ds::ftAutoInc) subType = kFieldSubTypeAutoInc;
    if (type == 0) DatabaseErrorFmt(ds::SUnknownFieldType, def.Name);
    d.SetFieldNumber(uint16_t(i + 1));
    d.SetName(def.Name);
    d.SetType(type);
    d.SetSubType(subType);
    if (def.DataType == ds::ftString || def.DataType == ds::ftBytes || def.DataType == ds::ftVarBytes ||
        def.DataType == ds::ftFixedChar || def.DataType == ds::ftWideString)
      d.SetSize(uint8_t(def.Size <= 0 ? kDefaultStringSize : std::min(def.Size, 250)));
    if (def.DataType == ds::ftBCD) d.SetScale(uint8_t(def.Size));
    d.SetRequired(def.Required ? 1 : 0);
    args.Fields.push_back(d);
  }
  const bool primaryFirst = !indexDefs_.empty() && (indexDefs_[0].Options & ixPrimary);
  if (!primaryFirst) {
    args.Indexes.emplace_back();
    args.NoPrimaryIndex = true;
  }
  for (const TVELDORIndexDef& def : indexDefs_) {
    TIndexDescriptor d;
    d.name = def.Name.substr(0, std::min<size_t>(def.Name.size(), 30));
    d.descending = (def.Options & ixDescending) ? 1 : 0;
    d.caseInsensitive = (def.Options & ixCaseInsensitive) ? 1 : 0;
    d.unique = (def.Options & ixUnique) ? 1 : 0;
    const std::vector<std::string> names = splitNames(def.Fields);
    for (size_t k = 0; k < names.size() && k < size_t(kMaxIndexFields); ++k) {
      const int at = fieldDefs.IndexOf(names[k]);
      if (at < 0) DatabaseErrorFmt(SFieldNotFound, names[k]);
      d.fields[k] = uint16_t(at + 1);
    }
    args.Indexes.push_back(d);
  }
  // The text-index slot always holds its descriptor, with no fields: the table has no text index
  // until one is built, and readers of the slot find it named.
  args.TextIndex.name = std::string(kSysTextName);
  args.TextIndex.unique = 1;
  DBFlag flag(*this, kFlagTableOp);
  TSessionLock lock(LockSession());
  auto cursor = makeCursor();
  cursor->SetExclusive(true);
  cursor->CreateTable(args);
  cursor->Close();
  indexDefsRead_ = false;
}

void TVELDORTable::DeleteTable() {
  checkClosed();
  DBFlag flag(*this, kFlagTableOp);
  TSessionLock lock(LockSession());
  auto cursor = makeCursor();
  cursor->SetExclusive(true);
  cursor->DeleteTable();
  indexDefsRead_ = false;
}

}  // namespace engine::components
