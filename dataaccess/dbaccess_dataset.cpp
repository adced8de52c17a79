#include "dataaccess/dbaccess_dataset.h"

#include <algorithm>
#include <typeinfo>

#include "dataaccess/memdata_shared.h"

namespace dataaccess {

namespace ds = dataset;

namespace {

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = list.find(';', start)) != std::string::npos; start = end + 1)
    out.push_back(TrimText(std::string_view(list).substr(start, end - start)));
  out.push_back(TrimText(std::string_view(list).substr(start)));
  return out;
}

}  // namespace

// ---- Options, update SQL, detail link ----

void TDADataSetOptions::AssignTo(TDADataSetOptions& dest) const {
  dest.RequiredFields = RequiredFields;
  dest.StrictUpdate = StrictUpdate;
  dest.NumberRange = NumberRange;
  dest.QueryRecCount = QueryRecCount;
  dest.ReturnParams = ReturnParams;
  dest.TrimFixedChar = TrimFixedChar;
  dest.RemoveOnRefresh = RemoveOnRefresh;
  dest.QuoteNames = QuoteNames;
  dest.SetLongStrings(longStrings_);
  dest.SetFlatBuffers(flatBuffers_);
}

void TDADataSetOptions::SetLongStrings(bool value) {
  if (value == longStrings_) return;
  if (owner_) owner_->Close();
  longStrings_ = value;
  if (owner_ && owner_->recordSet_) owner_->recordSet_->SetProp(prLongStrings, value);
  if (owner_) owner_->GetFieldDefs().Updated = false;
}

void TDADataSetOptions::SetFlatBuffers(bool value) {
  if (value == flatBuffers_) return;
  if (owner_) owner_->Close();
  flatBuffers_ = value;
  if (owner_ && owner_->recordSet_) owner_->recordSet_->SetProp(prFlatBuffers, value);
}

TUpdateObjectRef& TUpdateObjectRef::operator=(TCustomDAUpdateSQL* value) {
  if (value == object_) return *this;
  if (object_) std::erase(object_->users_, this);
  object_ = value;
  if (object_) object_->users_.push_back(this);
  return *this;
}

TCustomDAUpdateSQL::~TCustomDAUpdateSQL() {
  for (TUpdateObjectRef* user : users_) user->object_ = nullptr;
}

void TCustomDAUpdateSQL::Apply(TUpdateKind kind) {
  if (!dataSet_) DatabaseError(SConnectionNotDefined);
  dataSet_->PerformSQL(SQL(kind), stUpdate);
}

TDADetailDataLink::TDADetailDataLink(TCustomDADataSet& detail) : MasterDataLink(detail) {
  OnMasterChange = [&detail] { detail.masterChanged(); };
}

// ---- Dataset ----

TCustomDADataSet::TCustomDADataSet() : detailLink_(*this) {
  sql_ = std::make_unique<TCustomDASQL>();
  sql_->Owner = this;
  options_ = CreateOptions();
}

void TCustomDADataSet::SetInternalSQL(std::unique_ptr<TCustomDASQL> sql) {
  sql_->UseICommand(nullptr);
  sql_ = std::move(sql);
  sql_->Owner = this;
  if (recordSet_) sql_->UseICommand(&recordSet_->GetCommand());
}

void TCustomDADataSet::SetOptionsObject(std::unique_ptr<TDADataSetOptions> options) {
  options_->AssignTo(*options);
  options_ = std::move(options);
}

TCustomDADataSet::~TCustomDADataSet() {
  BeforeClose = nullptr;
  AfterClose = nullptr;
  Close();
  if (UpdateObject && UpdateObject->DataSet() == this) UpdateObject->SetDataSet(nullptr);
  updateDataSet_.reset();
  SetConnection(nullptr);
  // The statement borrows the record set's command, which goes with the memory dataset.
  sql_->UseICommand(nullptr);
}

std::string TCustomDADataSet::QuoteName(const std::string& name) const {
  return options_->QuoteNames && !name.empty() ? "\"" + name + "\"" : name;
}

void TCustomDADataSet::CheckConnection() {
  if (!connection_) DatabaseError(SConnectionNotDefined);
  if (!connection_->GetConnected()) connection_->Connect();
  if (!recordSet_) CheckIRecordSet();
  DA_ASSERT(recordSet_, "No driver record set");
}

void TCustomDADataSet::Disconnect() {
  Close();
  UnPrepare();
  GetFieldDefs().Updated = false;
}

void TCustomDADataSet::InternalExecute() {
  recordSet_->ExecCommand();
}

void TCustomDADataSet::CreateIRecordSet() {
  TCustomDAConnection* c = UsedConnection();
  if (c && c->IConnection())
    SetIRecordSet(c->IConnection()->CreateRecordSet());
  else
    TMemDataSet::CreateIRecordSet();
}

void TCustomDADataSet::CheckIRecordSet() {
  TCustomDAConnection* c = UsedConnection();
  if (!c || !c->IConnection()) return;
  std::unique_ptr<TQvRecordSet> probe = c->IConnection()->CreateRecordSet();
  const TQvRecordSet* current = recordSet_;
  const TQvRecordSet& fresh = *probe;
  if (current && typeid(*current) == typeid(fresh)) {
    recordSet_->SetConnection(c->IConnection());
    return;
  }
  Close();
  SetIRecordSet(std::move(probe));
}

void TCustomDADataSet::SetIRecordSet(std::unique_ptr<TData> recordSet) {
  updateDataSet_.reset();
  sql_->UseICommand(nullptr);
  TMemDataSet::SetIRecordSet(std::move(recordSet));
  recordSet_ = dynamic_cast<TQvRecordSet*>(&Data());
  if (!recordSet_) return;
  recordSet_->TrimFixedChar = options_->TrimFixedChar;
  recordSet_->SetProp(prUniDirectional, uniDirectional_);
  recordSet_->SetProp(prFetchRows, fetchRows_);
  recordSet_->SetProp(prFetchAll, fetchAll_);
  recordSet_->SetProp(prLongStrings, options_->LongStrings());
  recordSet_->SetProp(prFlatBuffers, options_->FlatBuffers());
  recordSet_->SetEventProp(evAfterExecFetch, TQvBoolEvent([this](bool ok) {
                             if (ok) sql_->ReadParamValues();
                             if (AfterExecute) AfterExecute(*this, ok);
                           }));
  recordSet_->SetEventProp(evOnFetchBlock, TQvFetchBlockEvent([this](bool before, bool&) {
                             if (sql_->NonBlocking) return;
                             before ? StartWait() : StopWait();
                           }));
  sql_->UseICommand(&recordSet_->GetCommand());
  recordSet_->GetCommand().SetProp(prAutoCommit, autoCommit_);
  recordSet_->GetCommand().SetEventProp(evAfterExecute,
                                        TQvBoolEvent([this](bool ok) { onCommandExecuted(ok); }));
}

void TCustomDADataSet::onCommandExecuted(bool succeeded) {
  if (succeeded) {
    sql_->ReadParamValues();
    Variant rows;
    if (recordSet_->GetCommand().GetProp(prRowsProcessed, rows)) rowsAffected_ = rows.asInt32();
  }
  if (AfterExecute) AfterExecute(*this, succeeded);
}

void TCustomDADataSet::SetConnection(TCustomDAConnection* value) {
  if (value == connection_) return;
  Disconnect();
  if (connection_) connection_->UnRegisterClient(this);
  connection_ = value;
  if (connection_)
    connection_->RegisterClient(this, [this](bool connected, bool gone) {
      if (gone) {
        Close();
        connection_ = nullptr;
        if (recordSet_) recordSet_->SetConnection(nullptr);
      } else if (!connected) {
        Close();
      }
    });
  CheckIRecordSet();
  if (recordSet_) recordSet_->SetConnection(connection_ ? connection_->IConnection() : nullptr);
}

std::string TCustomDADataSet::updateSQL(TUpdateKind kind) const {
  return UpdateObject ? UpdateObject->SQL(kind) : "";
}

std::string TCustomDADataSet::AddWhere(const std::string& sql, const std::string& condition) const {
  if (TrimText(condition).empty()) return sql;
  TDASQLParser parser(sql);
  parser.OmitComment = true;
  parser.Uppercase = false;
  size_t where = std::string::npos, end = sql.size();
  int depth = 0;
  std::string lexeme;
  for (int code = parser.GetNext(lexeme); code != lcEnd; code = parser.GetNext(lexeme)) {
    if (lexeme == "(") ++depth;
    if (lexeme == ")") --depth;
    if (depth != 0 || !(code == lcIdent || code > parser.SymbolCount)) continue;
    const std::string word = AsciiUpper(lexeme);
    if (word == "WHERE" && where == std::string::npos) {
      where = parser.CurrPos();
    } else if (word == "GROUP" || word == "HAVING" || word == "ORDER" || word == "UNION" ||
               word == "INTERSECT" || word == "EXCEPT" || word == "MINUS" || word == "FOR") {
      end = parser.LexemePos();
      break;
    }
  }
  const std::string rest = end < sql.size() ? " " + TrimText(sql.substr(end)) : "";
  if (where == std::string::npos) return TrimText(sql.substr(0, end)) + " WHERE " + condition + rest;
  return sql.substr(0, where) + " (" + TrimText(sql.substr(where, end - where)) + ") AND (" + condition +
         ")" + rest;
}

bool TCustomDADataSet::linkComplete() const {
  return MasterSource() && !masterFields_.empty() && !detailFields_.empty();
}

std::string TCustomDADataSet::OwnerFinalSQL(const TCustomDASQL& sql) const {
  std::string text = sql.GetFinalSQL();
  if (!filterSQL_.empty()) text = AddWhere(text, filterSQL_);
  if (linkComplete()) {
    const auto masters = split(masterFields_), details = split(detailFields_);
    std::string condition;
    for (size_t i = 0; i < std::min(masters.size(), details.size()); ++i)
      condition += (i ? " and " : "") + QuoteName(details[i]) + " = :" + QuoteName(masters[i]);
    text = AddWhere(text, condition);
  }
  return text;
}

void TCustomDADataSet::OwnerSQLChanged() {
  Close();
  UnPrepare();
  if (recordSet_) recordSet_->ForgetCommandType();
  GetFieldDefs().Updated = false;
}

void TCustomDADataSet::reapply() {
  const bool wasActive = Active();
  Close();
  sql_->ApplySQL();
  if (wasActive) Open();
}

void TCustomDADataSet::SetFilterSQL(const std::string& value) {
  const std::string text = TrimText(value);
  if (text == filterSQL_) return;
  filterSQL_ = text;
  reapply();
}

void TCustomDADataSet::SetMasterFields(const std::string& value) {
  const bool wasComplete = linkComplete();
  masterFields_ = value;
  detailLink_.FieldNames = value;
  if (wasComplete || linkComplete()) reapply();
}

void TCustomDADataSet::SetDetailFields(const std::string& value) {
  const bool wasComplete = linkComplete();
  detailFields_ = value;
  if (wasComplete || linkComplete()) reapply();
}

void TCustomDADataSet::SetMasterSource(ds::DataSource* value) {
  const bool wasComplete = linkComplete();
  detailLink_.SetDataSource(value);
  if (wasComplete || linkComplete()) reapply();
}

bool TCustomDADataSet::takeMasterValues() {
  ds::DataSet* master = detailLink_.GetDataSet();
  if (!master || !master->Active()) return false;
  bool changed = false;
  for (int i = 0; i < Params().Count(); ++i) {
    TDAParam& p = Params().Items(i);
    Field* f = master->FindField(p.Name);
    if (!f) continue;
    const Variant value = f->Value();
    changed = changed || ds::compareVariants(value, p.GetValue()) != 0 || value.type() != p.GetValue().type();
    p.AssignFieldValue(*f, value);
    if (p.ParamType_ == ds::ptUnknown) p.ParamType_ = ds::ptInput;
  }
  return changed;
}

void TCustomDADataSet::masterChanged() {
  if (Active() && takeMasterValues()) Refresh();
}

void TCustomDADataSet::SetFetchRows(int32_t value) {
  if (value < 1 || value > 10000) DatabaseError(SInvalidFetchRows);
  if (value == fetchRows_) return;
  Close();
  fetchRows_ = value;
  if (recordSet_) recordSet_->SetProp(prFetchRows, value);
}

void TCustomDADataSet::SetFetchAll(bool value) {
  fetchAll_ = value;
  if (value) uniDirectional_ = false;
  if (recordSet_) {
    recordSet_->SetProp(prFetchAll, value);
    recordSet_->SetProp(prUniDirectional, uniDirectional_);
    if (value && Active()) recordSet_->FetchAll();
  }
}

void TCustomDADataSet::SetUniDirectional(bool value) {
  if (value == uniDirectional_) return;
  Close();
  uniDirectional_ = value;
  if (value) fetchAll_ = false;
  if (recordSet_) {
    recordSet_->SetProp(prUniDirectional, value);
    recordSet_->SetProp(prFetchAll, fetchAll_);
  }
}

void TCustomDADataSet::SetAutoCommit(bool value) {
  autoCommit_ = value;
  if (recordSet_) recordSet_->GetCommand().SetProp(prAutoCommit, value);
}

TDASQLMonitorClass& TCustomDADataSet::monitorClass() const {
  return connection_ ? connection_->SQLMonitorClass() : TCustomDASQLMonitor::Class();
}

void TCustomDADataSet::traceExecute(const char* caption, bool after) {
  if (internal_) return;
  monitorClass().SQLExecute(*this, FinalSQL(), &Params(), caption ? caption : "", after);
}

void TCustomDADataSet::Prepare() {
  if (Prepared()) return;
  CheckConnection();
  if (!internal_) monitorClass().SQLPrepare(*this, FinalSQL(), &Params(), false);
  TMemDataSet::Prepare();
  if (!internal_) monitorClass().SQLPrepare(*this, FinalSQL(), &Params(), true);
}

void TCustomDADataSet::takeServerCount() {
  serverRecCount_ = options_->QueryRecCount ? GetRecCount() : 0;
}

int TCustomDADataSet::RecordCount() {
  if (Active() && serverRecCount_ > 0 && options_->QueryRecCount && recordSet_ && !Fetched()) {
    Variant fetched;
    if (recordSet_->GetCommand().GetProp(prRowsProcessed, fetched))
      return TMemDataSet::RecordCount() + serverRecCount_ - fetched.asInt32();
  }
  return TMemDataSet::RecordCount();
}

void TCustomDADataSet::OpenCursor(bool infoQuery) {
  CheckConnection();
  NumberRange = options_->NumberRange;
  Data().TrimFixedChar = options_->TrimFixedChar;
  takeMasterValues();
  takeServerCount();
  traceExecute(nullptr, false);
  const bool wait = !sql_->NonBlocking;
  if (wait) StartWait();
  ScopeExit stop([wait] {
    if (wait) StopWait();
  });
  sql_->WriteParamDescs(true);
  TMemDataSet::OpenCursor(infoQuery);
  rowsAffected_ = -1;
  traceExecute(nullptr, true);
}

void TCustomDADataSet::CloseCursor() {
  TMemDataSet::CloseCursor();
  if (updateDataSet_) updateDataSet_->Close();
}

void TCustomDADataSet::InternalRefresh() {
  takeServerCount();
  traceExecute("Refresh", false);
  sql_->WriteParamDescs(true);
  TMemDataSet::InternalRefresh();
  rowsAffected_ = -1;
  traceExecute("Refresh", true);
}

void TCustomDADataSet::Execute() {
  if (sql_->Executing()) DatabaseError("The statement is still executing.");
  CheckConnection();
  if (Active()) Close();
  if (IsQuery()) return Open();
  const bool wait = !sql_->NonBlocking;
  if (wait) StartWait();
  {
    ScopeExit stop([wait] {
      if (wait) StopWait();
    });
    takeMasterValues();
    traceExecute(nullptr, false);
    sql_->WriteParamDescs(true);
    InternalExecute();
    traceExecute(nullptr, true);
  }
  if (IsQuery()) Open();
}

bool TCustomDADataSet::Fetched() const {
  if (!recordSet_) return true;
  const int state = recordSet_->GetCommand().GetCursorState();
  return state >= 9 || (Active() && state == 0);
}

void TCustomDADataSet::AssignFieldValue(TDAParam& param, Field& field, bool old) {
  param.AssignFieldValue(field, old ? field.OldValue() : field.Value());
}

void TCustomDADataSet::PerformSQL(const std::string& text, uint8_t statementTypes) {
  if (!updateDataSet_) {
    updateDataSet_ = connection_ ? connection_->CreateDataSet() : std::make_unique<TCustomDADataSet>();
    updateDataSet_->internal_ = true;
  }
  TCustomDADataSet& u = *updateDataSet_;
  u.SetConnection(connection_);
  u.Close();
  u.options_->TrimFixedChar = options_->TrimFixedChar;
  u.options_->SetFlatBuffers(options_->FlatBuffers());
  PrepareUpdateDataSet(u);
  if (TrimText(u.SQL()) != TrimText(text)) u.SetSQL(text);
  const bool refresh = statementTypes & stRefresh;
  for (int i = 0; i < u.Params().Count(); ++i) {
    TDAParam& p = u.Params().Items(i);
    const bool old = p.Name.size() > 4 && AsciiUpper(p.Name.substr(0, 4)) == "OLD_";
    if (Field* f = FindField(old ? p.Name.substr(4) : p.Name)) {
      AssignFieldValue(p, *f, old);
    } else if (const TDAParam* own = refresh ? Params().FindParam(p.Name) : nullptr) {
      const std::string name = p.Name;
      p.Assign(*own);
      p.Name = name;
    } else if (!BeforeUpdateExecute) {
      DatabaseError(DAMessage(SNoCorrespondParam, p.Name));
    }
  }
  if (BeforeUpdateExecute) {
    BeforeUpdateExecute(*this, statementTypes, u.Params());
    for (int i = 0; i < u.Params().Count(); ++i)
      if (u.Params().Items(i).DataType == ds::ftUnknown)
        DatabaseError(DAMessage(SUnknownParamDataType, u.Params().Items(i).Name));
  }
  if (refresh) {
    u.Open();
    rowsAffected_ = u.RecordCount();
    if (options_->StrictUpdate && rowsAffected_ != 1) DatabaseError(DAMessage(SRefreshFailed, rowsAffected_));
    if (rowsAffected_ == 1) {
      std::vector<std::pair<std::string, Variant>> values;
      for (int i = 0; i < u.FieldCount(); ++i) {
        Field& source = u.Fields(i);
        Field* target = FindField(source.FieldName);
        if (!target) continue;
        if ((statementTypes & stCheck) && ds::compareVariants(source.Value(), target->OldValue()) != 0)
          DatabaseError(SRecordChanged);
        values.emplace_back(source.FieldName, source.Value());
      }
      if (!(statementTypes & stCheck)) writeBack(values);
    }
  } else {
    // A record's insert, update, delete or lock must touch exactly that record; other
    // statements (a key from a sequence) are not counted. Outside a user transaction a change is
    // committed only once it is known to touch one row; a lock is never committed, which would
    // release it.
    const bool lock = statementTypes & stLock;
    const bool counted = statementTypes & (stInsert | stUpdate | stDelete | stLock);
    const bool guard = !lock && counted && options_->StrictUpdate && connection_ &&
                       !connection_->InTransaction() && autoCommit_ && connection_->AutoCommit();
    u.SetAutoCommit(!lock && autoCommit_ && !guard);
    u.Execute();
    rowsAffected_ = u.Active() ? u.RecordCount() : u.RowsAffected();
    if (counted && options_->StrictUpdate && rowsAffected_ != 1) {
      if (guard) connection_->Rollback();
      DatabaseError(DAMessage(SUpdateFailed, rowsAffected_));
    }
    if (guard) connection_->Commit();
    if (options_->ReturnParams) {
      std::vector<std::pair<std::string, Variant>> values;
      for (int i = 0; i < u.Params().Count(); ++i) {
        const TDAParam& p = u.Params().Items(i);
        const bool output = p.ParamType_ == ds::ptOutput || p.ParamType_ == ds::ptInputOutput;
        if (output && AsciiUpper(p.Name).rfind("OLD_", 0) != 0) values.emplace_back(p.Name, p.GetValue());
      }
      writeBack(values);
    }
  }
  if (AfterUpdateExecute) AfterUpdateExecute(*this, statementTypes, u.Params());
}

void TCustomDADataSet::writeBack(const std::vector<std::pair<std::string, Variant>>& values) {
  if (values.empty()) return;
  TData& store = Data();
  if (uint8_t* applied = AppliedRecord()) {
    // A queued record being applied: the store copies this buffer back into it.
    for (const auto& [name, value] : values) {
      Field* f = FindField(name);
      TFieldDesc* desc = store.FindField(name);
      if (f && desc && MayTakeBack(*f)) store.PutFieldAsVariant(desc->FieldNo, applied, value);
    }
    return;
  }
  if (State() == ds::dsEdit || State() == ds::dsInsert) {
    for (const auto& [name, value] : values)
      if (Field* f = FindField(name); f && MayTakeBack(*f)) SetFieldData(*f, value);
    return;
  }
  UpdateCursorPos();
  std::unique_ptr<uint8_t[]> buf(store.AllocRecBuf());
  store.GetRecord(buf.get());
  for (const auto& [name, value] : values) {
    Field* f = FindField(name);
    TFieldDesc* desc = store.FindField(name);
    if (f && desc && MayTakeBack(*f)) store.PutFieldAsVariant(desc->FieldNo, buf.get(), value);
  }
  store.PutRecord(buf.get());
  Resync();
}

void TCustomDADataSet::RefreshRecord() {
  const std::string sql = GetRefreshSQL();
  if (!sql.empty()) PerformSQL(sql, stRefresh);
}

void TCustomDADataSet::PerformInsert() {
  const std::string sql = GetInsertSQL();
  if (sql.empty()) return;
  PerformSQL(sql, stInsert);
  if (RefreshOptions & roAfterInsert) RefreshRecord();
}

void TCustomDADataSet::PerformUpdate() {
  const std::string sql = GetModifySQL();
  if (sql.empty()) return;
  PerformSQL(sql, stUpdate);
  if (RefreshOptions & roAfterUpdate) RefreshRecord();
}

void TCustomDADataSet::PerformDelete() {
  const std::string sql = GetDeleteSQL();
  if (!sql.empty()) PerformSQL(sql, stDelete);
}

bool TCustomDADataSet::GetCanModify() {
  if (ReadOnly || uniDirectional_) return false;
  return LocalUpdate || (CachedUpdates() && OnUpdateRecord) || UpdateObject;
}

void TCustomDADataSet::DoOnNewRecord() {
  ds::DataSet* master = detailLink_.GetDataSet();
  if (linkComplete() && master && master->Active()) {
    const auto masters = split(masterFields_), details = split(detailFields_);
    for (size_t i = 0; i < std::min(masters.size(), details.size()); ++i)
      FieldByName(details[i]).SetValue(master->FieldByName(masters[i]).Value());
  }
  TMemDataSet::DoOnNewRecord();
}

}  // namespace dataaccess
