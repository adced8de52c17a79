#include "dataaccess/dbaccess_sql.h"

#include <cmath>
#include <typeinfo>

#include "dataaccess/memdata_shared.h"
#include "dataaccess/memds.h"

namespace dataaccess {

namespace ds = dataset;

namespace {

bool isName(const TParser& parser, int code) {
  return code == lcIdent || code > parser.SymbolCount;
}

std::vector<std::string> splitNames(std::string_view names) {
  std::vector<std::string> out;
  for (size_t start = 0;;) {
    const size_t end = names.find(';', start);
    std::string name = TrimRightText(names.substr(start, end - start));
    name.erase(0, name.find_first_not_of(" \t"));
    out.push_back(name);
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

}  // namespace

bool TDASQLParser::IsInlineComment(size_t pos) const {
  return TParser::IsInlineComment(pos) || (At(pos) == '-' && At(pos + 1) == '-');
}

// ---- Macros ----

void TMacro::SetValue(const std::string& value) {
  value_ = value;
  if (owner_) owner_->Changed();
}

void TMacro::SetActive(bool value) {
  active_ = value;
  if (owner_) owner_->Changed();
}

void TMacros::Changed() {
  if (updating_ == 0 && changed_) changed_();
}

void TMacros::EndUpdate() {
  if (--updating_ == 0) Changed();
}

void TMacros::Scan(std::string_view sql) {
  std::vector<std::unique_ptr<TMacro>> found;
  if (sql.find(MacroChar) != std::string_view::npos) {
    auto parser = CreateParser(sql);
    parser->OmitBlank = false;
    parser->Uppercase = false;
    std::string lexeme;
    for (int code = parser->GetNext(lexeme); code != lcEnd; code = parser->GetNext(lexeme)) {
      if (lexeme.size() != 1 || lexeme[0] != MacroChar) continue;
      code = parser->GetNext(lexeme);
      if (!isName(*parser, code)) {
        parser->StepBack();
        continue;
      }
      bool known = false;
      for (const auto& m : found) known = known || ds::SameName(m->Name, lexeme);
      if (known) continue;
      auto macro = std::make_unique<TMacro>(this);
      macro->Name = lexeme;
      if (const TMacro* old = FindMacro(lexeme)) {
        macro->value_ = old->value_;
        macro->active_ = old->active_;
      }
      found.push_back(std::move(macro));
    }
  }
  items_ = std::move(found);
}

std::string TMacros::Expand(std::string_view sql) const {
  auto parser = CreateParser(sql);
  parser->OmitBlank = false;
  parser->OmitComment = false;
  parser->Uppercase = false;
  parser->QuotedString = true;
  std::string out, lexeme;
  for (int code = parser->GetNext(lexeme); code != lcEnd; code = parser->GetNext(lexeme)) {
    if (lexeme.size() != 1 || lexeme[0] != MacroChar) {
      out += lexeme;
      continue;
    }
    code = parser->GetNext(lexeme);
    const TMacro* macro = isName(*parser, code) ? FindMacro(lexeme) : nullptr;
    if (macro) {
      if (macro->active_) out += macro->value_;
    } else {
      out += MacroChar;
      if (code != lcEnd) parser->StepBack();
    }
  }
  return out;
}

TMacro* TMacros::FindMacro(std::string_view name) const {
  for (const auto& m : items_)
    if (ds::SameName(m->Name, name)) return m.get();
  return nullptr;
}

TMacro& TMacros::MacroByName(std::string_view name) const {
  TMacro* m = FindMacro(name);
  if (!m) DatabaseError(DAMessage(SMacroNotFound, name));
  return *m;
}

void TMacros::Assign(const TMacros& source) {
  if (&source == this) return;
  items_.clear();
  for (const auto& s : source.items_) {
    auto m = std::make_unique<TMacro>(this);
    m->Name = s->Name;
    m->value_ = s->value_;
    m->active_ = s->active_;
    items_.push_back(std::move(m));
  }
  Changed();
}

bool TMacros::IsEqual(const TMacros& other) const {
  if (Count() != other.Count()) return false;
  for (int i = 0; i < Count(); ++i) {
    const TMacro &a = Items(i), &b = other.Items(i);
    if (a.Name != b.Name || a.value_ != b.value_ || a.active_ != b.active_) return false;
  }
  return true;
}

// ---- SQL component ----

TCustomDASQL::TCustomDASQL()
    : params_(CreateParamsObject()), macros_([this] {
        if (Owner) Owner->OwnerSQLChanged();
        ApplySQL();
      }) {}

TCustomDASQL::~TCustomDASQL() {
  SetConnection(nullptr);
}

TDASQLMonitorClass& TCustomDASQL::monitorClass() const {
  TCustomDAConnection* c = UsedConnection();
  return c ? c->SQLMonitorClass() : TCustomDASQLMonitor::Class();
}

void TCustomDASQL::CreateICommand() {
  TCustomDAConnection* c = UsedConnection();
  SetICommand(c && c->IConnection() ? c->IConnection()->CreateCommand() : nullptr);
}

void TCustomDASQL::SetICommand(std::unique_ptr<TQvCommand> value) {
  ownedCommand_ = std::move(value);
  install(ownedCommand_.get());
}

void TCustomDASQL::UseICommand(TQvCommand* value) {
  ownedCommand_.reset();
  install(value);
}

void TCustomDASQL::install(TQvCommand* command) {
  icommand_ = command;
  if (!icommand_) return;
  TCustomDAConnection* c = UsedConnection();
  icommand_->SetConnection(c ? c->IConnection() : nullptr);
  icommand_->SetSQL(finalSQL_);
  icommand_->SetProp(prAutoCommit, autoCommit_);
  icommand_->SetEventProp(evAfterExecute, TQvBoolEvent([this](bool ok) { DoAfterExecute(ok); }));
  if (!driverScansParams()) WriteParamDescs(false);
}

void TCustomDASQL::CheckICommand() {
  TCustomDAConnection* c = UsedConnection();
  if (!c || !c->IConnection()) return;
  std::unique_ptr<TQvCommand> probe = c->IConnection()->CreateCommand();
  const TQvCommand* current = icommand_;
  const TQvCommand& fresh = *probe;
  if (current && typeid(*current) == typeid(fresh))
    icommand_->SetConnection(c->IConnection());  // the same class, but perhaps a new driver connection
  else
    SetICommand(std::move(probe));
}

void TCustomDASQL::SetConnection(TCustomDAConnection* value) {
  if (value == connection_) return;
  if (connection_) connection_->UnRegisterSQL(this);
  connection_ = value;
  if (connection_) connection_->RegisterSQL(this);
  if (connection_ && connection_->IConnection())
    CreateICommand();
  else if (icommand_)
    icommand_->SetConnection(nullptr);
}

void TCustomDASQL::CheckConnection() {
  TCustomDAConnection* c = UsedConnection();
  if (!c) DatabaseError(SConnectionNotDefined);
  if (!c->GetConnected()) c->Connect();
  if (!icommand_ && !Owner) CreateICommand();
  DA_ASSERT(icommand_, "No driver command");
}

bool TCustomDASQL::driverScansParams() const {
  Variant v;
  return icommand_ && icommand_->GetProp(prScanParams, v) && v.asBool();
}

bool TCustomDASQL::Executing() const {
  Variant v;
  return icommand_ && icommand_->GetProp(prExecuting, v) && v.asBool();
}

std::unique_ptr<TParser> TCustomDASQL::CreateParser(std::string_view text) const {
  return std::make_unique<TDASQLParser>(text);
}

std::string TCustomDASQL::GetFinalSQL() const {
  std::string text = TrimRightText(sql_);
  return macros_.Count() ? macros_.Expand(text) : text;
}

void TCustomDASQL::SetSQL(const std::string& value) {
  if (Owner)
    Owner->OwnerSQLChanged();
  else
    UnPrepare();
  sql_ = value;
  ScanMacros();
  ApplySQL();
}

void TCustomDASQL::ApplySQL() {
  const std::string text = Owner ? Owner->OwnerFinalSQL(*this) : GetFinalSQL();
  auto keepOldValues = [](TDAParams& fresh, const TDAParams& old) {
    for (int i = 0; i < fresh.Count(); ++i)
      if (const TDAParam* o = old.FindParam(fresh.Items(i).Name)) {
        const std::string name = fresh.Items(i).Name;
        fresh.Items(i).Assign(*o);
        fresh.Items(i).Name = name;
      }
  };
  positions_.clear();
  if (!paramCheck_ || driverScansParams()) {
    finalSQL_ = text;
    if (!icommand_) return;
    icommand_->SetSQL(text);
    if (!paramCheck_) return;
    std::unique_ptr<TDAParams> old = std::move(params_);
    params_ = CreateParamsObject();
    ReadParamDescs();
    keepOldValues(*params_, *old);
    return;
  }
  std::unique_ptr<TDAParams> fresh = CreateParamsObject();
  std::string result;
  std::vector<int> positions;
  ParseSQLParams(text, fresh.get(), result, &positions);
  keepOldValues(*fresh, *params_);
  params_ = std::move(fresh);
  positions_ = std::move(positions);
  finalSQL_ = result;
  if (!icommand_) return;
  icommand_->SetSQL(finalSQL_);
  WriteParamDescs(false);
}

void TCustomDASQL::ParseSQLParams(std::string_view text, TDAParams* params, std::string& result,
                                  std::vector<int>* positions) const {
  auto parser = CreateParser(text);
  parser->OmitBlank = false;
  parser->OmitComment = true;
  parser->Uppercase = false;
  parser->QuotedString = true;
  result.clear();
  std::string lexeme;
  for (int code = parser->GetNext(lexeme); code != lcEnd; code = parser->GetNext(lexeme)) {
    if (lexeme != ":") {
      if (code != lcComment) result += lexeme;
      continue;
    }
    std::string prefix;
    code = parser->GetNext(lexeme);
    if (lexeme == "@") {
      prefix = "@";
      code = parser->GetNext(lexeme);
    }
    if (!params || !(isName(*parser, code) || code == lcNumber)) {
      result += ":" + prefix + lexeme;
      continue;
    }
    std::string name = prefix + lexeme;
    if (name.size() > 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    int index = -1;
    for (int i = 0; i < params->Count() && index < 0; ++i)
      if (ds::SameName(params->Items(i).Name, name)) index = i;
    if (index < 0) {
      params->CreateParam(ds::ftUnknown, name, ds::ptUnknown);
      index = params->Count() - 1;
    }
    if (positions) positions->push_back(index);
    result += "?";
  }
}

uint16_t TCustomDASQL::ParamDataType(const TDAParam& param) const {
  return FieldTypeToDataType(param.DataType);
}

void TCustomDASQL::WriteParamDescs(bool values) {
  if (!icommand_) return;
  std::vector<int> order = positions_;
  if (order.empty())
    for (int i = 0; i < params_->Count(); ++i) order.push_back(i);
  for (size_t i = 0; i < order.size(); ++i) {
    TDAParam& p = params_->Items(order[i]);
    TParamDesc& d = int(i) < icommand_->GetParamCount() ? icommand_->GetParam(int(i)) : icommand_->AddParam();
    d.SetName(p.Name);
    d.SetDataType(ParamDataType(p));
    d.SetParamType(p.ParamType_);
    d.SetConvertEOL(connection_ && connection_->ConvertEOL());
    if (!values) continue;
    d.SetValue(Variant());
    if (p.IsBlob()) {
      d.SetObject(p.ValueObject());
      if (p.IsNull()) d.SetNull(true);
      continue;
    }
    Variant v = p.GetValue();
    const uint16_t type = d.GetDataType();
    if (!v.isNull() && p.DataType == ds::ftDate) v = ds::DateTime{std::floor(v.asDateTime().days)};
    if (v.isText() && (type == dtBlob || type == dtBytes || type == dtVarBytes)) {
      const std::string s = v.asString();
      v = Variant::bytes(std::vector<uint8_t>(s.begin(), s.end()));
    }
    d.SetValue(v);
  }
  while (icommand_->GetParamCount() > int(order.size()))
    icommand_->DeleteParam(icommand_->GetParamCount() - 1);
}

void TCustomDASQL::ReadParamDescs() {
  params_->Clear();
  positions_.clear();
  for (int i = 0; i < icommand_->GetParamCount(); ++i) {
    const TParamDesc& d = icommand_->GetParam(i);
    params_->CreateParam(DataTypeToFieldType(d.GetDataType()), d.GetName(), ds::ParamType(d.GetParamType()));
  }
}

void TCustomDASQL::ReadParamValues() {
  if (!icommand_) return;
  std::vector<bool> done(size_t(params_->Count()));
  for (int i = 0; i < icommand_->GetParamCount(); ++i) {
    const int k = positions_.empty() ? i : positions_.at(size_t(i));
    if (k >= params_->Count() || done[size_t(k)]) continue;
    done[size_t(k)] = true;
    TDAParam& p = params_->Items(k);
    if (p.ParamType_ == ds::ptInput || p.IsBlob()) continue;
    const TParamDesc& d = icommand_->GetParam(i);
    if (d.GetNull())
      p.Clear();
    else
      p.SetValue(d.GetValue());
  }
}

void TCustomDASQL::SetParamCheck(bool value) {
  paramCheck_ = value;
  if (icommand_) icommand_->SetProp(prScanParams, value);
  if (value) ApplySQL();
}

void TCustomDASQL::SetAutoCommit(bool value) {
  autoCommit_ = value;
  if (icommand_) icommand_->SetProp(prAutoCommit, value);
}

void TCustomDASQL::InternalPrepare() {
  icommand_->Prepare();
}

void TCustomDASQL::InternalUnPrepare() {
  if (icommand_) icommand_->Unprepare();
}

void TCustomDASQL::ExecuteICommand(int iters) {
  icommand_->Execute(iters);
}

void TCustomDASQL::Prepare() {
  if (Executing()) DatabaseError("The statement is still executing.");
  CheckConnection();
  monitorClass().SQLPrepare(*this, finalSQL_, params_.get(), false);
  InternalPrepare();
  monitorClass().SQLPrepare(*this, finalSQL_, params_.get(), true);
}

void TCustomDASQL::UnPrepare() {
  InternalUnPrepare();
}

void TCustomDASQL::InternalExecute(int iters) {
  if (Executing()) DatabaseError("The statement is still executing.");
  CheckConnection();
  monitorClass().SQLExecute(*this, finalSQL_, params_.get(), "", false);
  const bool wait = WaitCursor && !NonBlocking;
  if (wait) StartWait();
  {
    ScopeExit stop([wait] {
      if (wait) StopWait();
    });
    WriteParamDescs(true);
    ExecuteICommand(iters);
  }
  monitorClass().SQLExecute(*this, finalSQL_, params_.get(), "", true);
}

void TCustomDASQL::DoAfterExecute(bool succeeded) {
  if (succeeded) ReadParamValues();
  if (WaitCursor && NonBlocking) StopWait();
  if (AfterExecute) AfterExecute(*this, succeeded);
}

Variant TCustomDASQL::ParamValues(std::string_view names) const {
  const std::vector<std::string> list = splitNames(names);
  if (list.size() == 1) return ParamByName(list[0]).GetValue();
  std::vector<Variant> values;
  for (const auto& n : list) values.push_back(ParamByName(n).GetValue());
  return Variant(std::move(values));
}

void TCustomDASQL::AssignTo(TCustomDASQL& dest) const {
  dest.SetConnection(connection_);
  dest.paramCheck_ = paramCheck_;
  dest.SetSQL(sql_);
  dest.macros_.Assign(macros_);
  dest.params_->Assign(*params_);
  dest.Debug = Debug;
  dest.SetAutoCommit(autoCommit_);
}

}  // namespace dataaccess
