#include "oracle/ora_dataset.h"

#include <utility>

#include "dataaccess/daconsts.h"
#include "dataaccess/memdata_shared.h"
#include "oracle/ora_fields.h"
#include "oracle/ora_sqltext.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace oracle {

namespace da = dataaccess;
namespace ds = dataset;

// ---- Options ----

TOraDataSetOptions::TOraDataSetOptions(TOraDataSet* owner) : TDADataSetOptions(owner), owner_(owner) {}

void TOraDataSetOptions::AssignTo(da::TDADataSetOptions& dest) const {
  TDADataSetOptions::AssignTo(dest);
  auto* to = dynamic_cast<TOraDataSetOptions*>(&dest);
  if (!to) return;
  to->FieldsOrigin = FieldsOrigin;
  to->DefaultValues = DefaultValues;
  to->KeepPrepared = KeepPrepared;
  to->SetAutoClose(autoClose_);
  to->SetFieldsAsString(fieldsAsString_);
  to->SetDeferredLobRead(deferredLobRead_);
  to->SetCacheLobs(cacheLobs_);
  to->SetScrollableCursor(scrollableCursor_);
  to->SetRawAsString(rawAsString_);
}

void TOraDataSetOptions::SetAutoClose(bool value) {
  autoClose_ = value;
  if (owner_) owner_->passOptions(*this);
}

void TOraDataSetOptions::SetFieldsAsString(bool value) {
  fieldsAsString_ = value;
  if (owner_) owner_->passOptions(*this);
}

void TOraDataSetOptions::SetDeferredLobRead(bool value) {
  deferredLobRead_ = value;
  if (owner_) owner_->passOptions(*this);
}

void TOraDataSetOptions::SetCacheLobs(bool value) {
  cacheLobs_ = value;
  if (owner_) owner_->passOptions(*this);
}

void TOraDataSetOptions::SetScrollableCursor(bool value) {
  scrollableCursor_ = value;
  if (owner_) owner_->passOptions(*this);
}

void TOraDataSetOptions::SetRawAsString(bool value) {
  rawAsString_ = value;
  if (owner_) owner_->passOptions(*this);
}

// ---- Dataset ----

TOraDataSet::TOraDataSet() {
  RegisterOraFieldClasses();
  SetInternalSQL(std::make_unique<TOraSQL>());
  SetOptionsObject(std::make_unique<TOraDataSetOptions>(this));
}

TOraDataSet::~TOraDataSet() {
  BeforeClose = nullptr;
  AfterClose = nullptr;
  Close();
}

da::TCustomDAConnection* TOraDataSet::UsedConnection() const {
  if (da::TCustomDAConnection* own = Connection()) return own;
  return TOraSession::DefaultSession();
}

void TOraDataSet::CheckConnection() {
  // Without a session of its own the dataset runs on the default one.
  if (!Connection())
    if (TOraSession* fallback = TOraSession::DefaultSession()) SetConnection(fallback);
  TCustomDADataSet::CheckConnection();
}

TOCIRecordSet* TOraDataSet::OCIRecordSet() const {
  return dynamic_cast<TOCIRecordSet*>(IRecordSet());
}

bool TOraDataSet::NonBlocking() const {
  return InternalSQL().NonBlocking;
}

void TOraDataSet::SetNonBlocking(bool value) {
  InternalSQL().NonBlocking = value;
  if (TOCIRecordSet* rs = OCIRecordSet()) rs->GetCommand().SetProp(prNonBlocking, value);
}

void TOraDataSet::passOptions(const TOraDataSetOptions& o) {
  TOCIRecordSet* rs = OCIRecordSet();
  if (!rs) return;
  rs->SetProp(prAutoClose, o.autoClose_);
  rs->SetProp(prDeferredLobRead, o.deferredLobRead_);
  da::TQvCommand& command = rs->GetCommand();
  command.SetProp(prFieldsAsString, o.fieldsAsString_);
  command.SetProp(prCacheLobs, o.cacheLobs_);
  command.SetProp(prScrollable, o.scrollableCursor_);
  command.SetProp(prRawAsString, o.rawAsString_);
}

void TOraDataSet::SetIRecordSet(std::unique_ptr<da::TData> recordSet) {
  TCustomDADataSet::SetIRecordSet(std::move(recordSet));
  TOCIRecordSet* rs = OCIRecordSet();
  if (!rs) return;
  passOptions(OptionsDS());
  rs->GetCommand().SetProp(prNonBlocking, NonBlocking());
  rs->SetEventProp(da::evOnFetchBlock, da::TQvFetchBlockEvent([this](bool before, bool& cancel) {
                     if (NonBlocking()) return;
                     if (!before) {
                       da::StopWait();
                       if (AfterFetch) AfterFetch(*this);
                       return;
                     }
                     da::StartWait();
                     if (BeforeFetch) BeforeFetch(*this, cancel);
                     fetchCancelled_ = cancel;
                     // A cancelled block has no after-event.
                     if (cancel) da::StopWait();
                   }));
}

ds::FieldType TOraDataSet::GetFieldType(uint16_t dataType) {
  return OraDataTypeToFieldType(dataType);
}

void TOraDataSet::SetKeyFields(const std::string& value) {
  const std::string text = da::TrimText(value);
  if (text == keyFieldsText_) return;
  keyFieldsText_ = text;
  keyFields_.clear();
  size_t start = 0;
  while (start <= text.size() && !text.empty()) {
    const size_t end = std::min(text.find(';', start), text.size());
    const std::string name = da::TrimText(std::string_view(text).substr(start, end - start));
    if (!name.empty()) keyFields_.push_back(name);
    start = end + 1;
  }
}

void TOraDataSet::SetKeySequence(const std::string& value) {
  keySequence_ = da::TrimText(value);
}

void TOraDataSet::AssignTo(TOraDataSet& dest) const {
  TMemDataSet::AssignTo(dest);
  dest.LockMode = LockMode;
  dest.SetKeyFields(keyFieldsText_);
  dest.SetKeySequence(keySequence_);
  dest.SequenceMode = SequenceMode;
  OptionsDS().AssignTo(dest.OptionsDS());
}

void TOraDataSet::OpenCursor(bool infoQuery) {
  TCustomDADataSet::OpenCursor(infoQuery);
  if (OptionsDS().FieldsOrigin || OptionsDS().DefaultValues) readDictionary();
}

void TOraDataSet::CloseCursor() {
  TCustomDADataSet::CloseCursor();
  rowIdField_ = nullptr;
  // A PL/SQL block's REF CURSOR may come back with other columns.
  constexpr uint16_t kBegin = 8, kDeclare = 9;
  if (TOCIRecordSet* rs = OCIRecordSet();
      rs && (rs->Command().SQLType() == kBegin || rs->Command().SQLType() == kDeclare))
    GetFieldDefs().Updated = false;
}

void TOraDataSet::InternalOpen() {
  if (OptionsDS().KeepPrepared && !Prepared()) Prepare();
  if (TOCIRecordSet* rs = OCIRecordSet())
    rs->GetCommand().SetProp(prScrollable, OptionsDS().ScrollableCursor());
  TCustomDADataSet::InternalOpen();
  rowIdField_ = FindField("ROWID");
  if (rowIdField_ && hideRowId_ && DefaultFields()) rowIdField_->Visible = false;
  if (rowIdField_) rowIdField_->ReadOnly = true;
  if (!keyFields_.empty() && !keySequence_.empty())
    if (ds::Field* key = FindField(keyFields_.front())) key->Required = false;
}

void TOraDataSet::InternalExecute() {
  if (OptionsDS().KeepPrepared && !Prepared()) Prepare();
  TCustomDADataSet::InternalExecute();
}

void TOraDataSet::Disconnect() {
  Params().ReleaseObjects();
  TCustomDADataSet::Disconnect();
}

int TOraDataSet::GetRecCount() {
  da::TCustomDAConnection* connection = UsedConnection();
  if (!connection) da::DatabaseError(da::SConnectionNotDefined);
  const std::string text =
      "SELECT Count(*) FROM (\r" + oracle::SetOrderBy(OwnerFinalSQL(InternalSQL()), "") + ")";
  std::unique_ptr<da::TCustomDADataSet> counter = connection->CreateDataSet();
  counter->SetInternal(true);
  counter->SetSQL(text);
  for (int i = 0; i < counter->Params().Count(); ++i) {
    da::TDAParam& p = counter->Params().Items(i);
    if (const da::TDAParam* own = Params().FindParam(p.Name)) p.Assign(*own);
  }
  const bool trace = !Internal();
  da::TDASQLMonitorClass& monitor = connection->SQLMonitorClass();
  if (trace) monitor.SQLExecute(*this, text, &counter->Params(), "Get RecCount", false);
  counter->Open();
  const int count = counter->IsEmpty() ? 0 : counter->Fields(0).AsInteger();
  if (trace) monitor.SQLExecute(*this, text, &counter->Params(), "Get RecCount", true);
  return count;
}

int TOraDataSet::RecordCount() {
  if (Active() && Options().QueryRecCount && !Fetched()) return GetRecCount();
  return TCustomDADataSet::RecordCount();
}

void TOraDataSet::AddWhere(const std::string& condition) {
  SetSQL(oracle::AddWhere(SQL(), condition));
}

void TOraDataSet::DeleteWhere() {
  SetSQL(oracle::DeleteWhere(SQL()));
}

void TOraDataSet::SetOrderBy(const std::string& fields) {
  SetSQL(oracle::SetOrderBy(SQL(), fields));
}

std::string TOraDataSet::GetOrderBy() const {
  return oracle::GetOrderBy(SQL());
}

std::string TOraDataSet::DeleteWhere(const std::string& sql) const {
  return oracle::DeleteWhere(sql);
}

std::string TOraDataSet::SetOrderBy(const std::string& sql, const std::string& fields) const {
  return oracle::SetOrderBy(sql, fields);
}

std::string TOraDataSet::GetOrderBy(const std::string& sql) const {
  return oracle::GetOrderBy(sql);
}

void TOraDataSet::PerformSQL(const std::string& sql, uint8_t statementTypes) {
  const uint8_t saved = std::exchange(statementTypes_, statementTypes);
  platform::ScopeExit restore([this, saved] { statementTypes_ = saved; });
  TCustomDADataSet::PerformSQL(sql, statementTypes);
}

void TOraDataSet::AssignFieldValue(da::TDAParam& param, ds::Field& field, bool old) {
  const ds::FieldType t = field.DataType();
  const bool text =
      t == ds::ftString || t == ds::ftFixedChar || t == ds::ftWideString || t == da::ftFixedWideChar;
  if (text && !old && (OptionsDS().ReturnParams || (statementTypes_ & da::stRefresh)))
    param.ParamType_ = ds::ptInputOutput;
  auto* ora = dynamic_cast<TOraParam*>(&param);
  const uint16_t dataType = OraFieldTypeToDataType(field.DataType());
  if (!ora || !IsOraValueType(dataType) || field.FieldNo <= 0)
    return TCustomDADataSet::AssignFieldValue(param, field, old);
  da::TSharedObject* source = nullptr;
  {
    const ds::DataSetState saved = SetTempState(old ? ds::dsOldValue : State());
    platform::ScopeExit restore([this, saved] { RestoreState(saved); });
    source = GetFieldObject(field);
  }
  if (!source) return TCustomDADataSet::AssignFieldValue(param, field, old);
  ora->SetDataType(field.DataType());
  da::TSharedObject* target = ora->GetTimeStamp();
  if (!target) target = ora->GetInterval();
  if (!target) target = ora->GetNumber();
  DA_ASSERT(target, "Parameter without its value object");
  AssignOraValue(*source, *target);
}

bool TOraDataSet::VariantToValueBuffer(const da::TFieldDesc& field, const Variant& value,
                                       da::TValueBuffer& buffer) {
  if (!IsOraValueType(field.DataType)) return TCustomDADataSet::VariantToValueBuffer(field, value, buffer);
  return OraVariantToValueBuffer(field, value, buffer);
}

bool TOraDataSet::CompareFieldValue(const da::TValueBuffer* key, const da::TFieldDesc& field,
                                    const uint8_t* recBuf, uint8_t options) {
  if (!IsOraValueType(field.DataType))
    return TCustomDADataSet::CompareFieldValue(key, field, recBuf, options);
  return OraCompareFieldValue(Data(), key, field, recBuf, options);
}

void TOraDataSet::FillKeyFromSequence() {
  if (keyFields_.empty() || keySequence_.empty()) return;
  ds::Field& key = FieldByName(keyFields_.front());
  TOraSQL sql;
  sql.SetConnection(UsedConnection());
  sql.SetSQL("begin\r  SELECT " + keySequence_ + ".NEXTVAL INTO :" + keyFields_.front() +
             " FROM Dual;\rend;");
  TOraParam& p = sql.Params().Items(0);
  p.SetDataType(key.DataType() == ds::ftUnknown ? ds::ftFloat : key.DataType());
  p.ParamType_ = ds::ptInputOutput;
  p.SetValue(Variant::null());
  sql.Execute();
  key.SetValue(p.GetValue());
}

void TOraDataSet::DoOnNewRecord() {
  // The new record is initialised by now, so the key stays.
  if (SequenceMode == smInsert) FillKeyFromSequence();
  TCustomDADataSet::DoOnNewRecord();
}

void TOraDataSet::DoAfterScroll() {
  if (fetchCancelled_) {
    fetchCancelled_ = false;
    if (Active()) Resync();
  }
  TCustomDADataSet::DoAfterScroll();
}

std::string TOraDataSet::LockSavepoint() const {
  const std::string name = Name.size() > 25 ? Name.substr(Name.size() - 25) : Name;
  return "LOCK_" + name;
}

void TOraDataSet::SetLockSavepoint() {
  auto* session = dynamic_cast<TOraSession*>(UsedConnection());
  if (!session) da::DatabaseError(da::SConnectionNotDefined);
  UpdateCursorPos();
  session->Savepoint(LockSavepoint());
  rowLocked_ = true;
}

void TOraDataSet::LockRecord() {
  const std::string sql = GetLockSQL();
  if (sql.empty()) return;
  SetLockSavepoint();
  PerformSQL(sql, da::stLock);
}

void TOraDataSet::RollbackToLock() {
  if (!rowLocked_) return;
  rowLocked_ = false;
  if (auto* session = dynamic_cast<TOraSession*>(UsedConnection()); session && session->GetConnected())
    session->RollbackToSavepoint(LockSavepoint());
}

void TOraDataSet::Lock() {
  LockRecord();
}

void TOraDataSet::PrepareUpdateDataSet(da::TCustomDADataSet& u) {
  auto* ora = dynamic_cast<TOraDataSet*>(&u);
  if (!ora) return;
  ora->OptionsDS().SetCacheLobs(OptionsDS().CacheLobs());
  ora->OptionsDS().SetFieldsAsString(OptionsDS().FieldsAsString());
  ora->OptionsDS().SetRawAsString(OptionsDS().RawAsString());
  if (TOCIRecordSet* rs = ora->OCIRecordSet()) rs->GetCommand().SetProp(prStoreRowId, true);
}

bool TOraDataSet::MayTakeBack(const ds::Field& field) const {
  return &field != rowIdField_;
}

void TOraDataSet::storeRowId(const std::string& rowId) {
  if (!rowIdField_ || rowId.empty()) return;
  SetFieldData(*rowIdField_, Variant(rowId));
}

std::string TOraDataSet::lastRowId() const {
  da::TCustomDADataSet* u = UpdateDataSet();
  auto* ora = dynamic_cast<TOraDataSet*>(u);
  TOCIRecordSet* rs = ora ? ora->OCIRecordSet() : nullptr;
  return rs ? rs->Command().GetRowId() : std::string();
}

void TOraDataSet::PerformInsert() {
  const std::string sql = GetInsertSQL();
  if (sql.empty()) return;
  PerformSQL(sql, da::stInsert);
  storeRowId(lastRowId());
  if (RefreshOptions & da::roAfterInsert) RefreshRecord();
}

void TOraDataSet::PerformDelete() {
  if (LockMode != lmNone) LockRecord();
  TCustomDADataSet::PerformDelete();
  rowLocked_ = false;
}

void TOraDataSet::PerformUpdate() {
  if (LockMode == lmLockDelayed) LockRecord();
  const std::string sql = GetModifySQL();
  if (sql.empty()) return;
  {
    platform::UndoOnFailure unlock([this] {
      if (LockMode != lmNone) RollbackToLock();
    });
    PerformSQL(sql, da::stUpdate);
  }
  rowLocked_ = false;
  // A logical rowid (of an index-organised table) may change with the update.
  if (const std::string rowId = lastRowId(); !rowId.empty() && rowId.front() == '*') storeRowId(rowId);
  if (RefreshOptions & da::roAfterUpdate) RefreshRecord();
}

bool TOraDataSet::GetCanModify() {
  if (OptionsDS().ScrollableCursor()) return false;
  return TCustomDADataSet::GetCanModify();
}

}  // namespace oracle
