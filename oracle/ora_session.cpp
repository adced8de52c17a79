#include "oracle/ora_session.h"

#include <algorithm>
#include <mutex>

#include "dataaccess/memds.h"
#include "oracle/ora_dataset.h"
#include "oracle/oraerror.h"
#include "oracle/oraparser.h"
#include "oracle/orasqlmonitor.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace oracle {

namespace da = dataaccess;
namespace ds = dataset;

namespace {

struct SessionList {
  std::mutex lock;
  std::vector<TOraSession*> items;
  TOraSession* defaultSession = nullptr;
};

SessionList& sessionList() {
  static SessionList list;
  return list;
}

// The failover events and types of the client library, in the order the handler numbers them.
constexpr uint32_t kFailoverEvents[] = {1, 2, 4, 8, 16};  // end, abort, reauth, begin, error
constexpr uint32_t kFailoverTypes[] = {1, 2, 4, 8};       // none, session, select, transaction

template <size_t N>
int positionOf(const uint32_t (&values)[N], int value) {
  const auto* it = std::find(values, values + N, uint32_t(value));
  return it == values + N ? 255 : int(it - values);
}

// A name as the dictionary holds it: a quoted one as written, an unquoted one upper-cased.
std::string dictionaryName(const std::string& token) {
  if (token.size() >= 2 && token.front() == '"' && token.back() == '"') {
    std::string name;
    for (size_t i = 1; i + 1 < token.size(); ++i) {
      name += token[i];
      if (token[i] == '"' && token[i + 1] == '"') ++i;
    }
    return name;
  }
  return platform::asciiUpperCased(token);
}

constexpr const char* kCompileErrorsBlock =
    "declare\r"
    "CURSOR Cur IS\r"
    "SELECT Line,Position,Text\r"
    "FROM All_Errors\r"
    "WHERE Owner = :Owner and Name = :Name and Type = :Type\r"
    "ORDER BY Sequence;\r"
    "Rec All_Errors%ROWTYPE;\r"
    "StartPos INTEGER;\r"
    "EndPos INTEGER;\r"
    "begin\r"
    ":Res := '';\r"
    "for Rec in Cur loop\r"
    ":Res := :Res || RPad(Rec.Line || '/' || Rec.Position, 8);\r"
    "StartPos := 1;\r"
    "EndPos := 1;\r"
    "while EndPos > 0 and StartPos <= Length(Rec.Text) loop\r"
    "EndPos := InStr(Rec.Text, Chr(10), StartPos);\r"
    "if EndPos > 0 then\r"
    "if EndPos <> StartPos then\r"
    "if StartPos > 1 then\r"
    ":Res := :Res || RPad(' ', 10);\r"
    "end if;\r"
    ":Res := :Res || LTrim(SubStr(Rec.Text, StartPos, EndPos - StartPos)) || Chr(13);\r"
    "end if;\r"
    "else\r"
    "if StartPos > 1 then\r"
    ":Res := :Res || RPad(' ', 10);\r"
    "end if;\r"
    ":Res := :Res || LTrim(SubStr(Rec.Text, StartPos)) || Chr(13);\r"
    "end if;\r"
    "StartPos := EndPos + 1;\r"
    "end loop;\r"
    "end loop;\r"
    "end;";

}  // namespace

// ---- Options ----

TOraSessionOptions::TOraSessionOptions(TOraSession* session)
    : TDAConnectionOptions(session), session_(session) {}

TOCIConnection* TOraSessionOptions::driver() const {
  return session_->OCIConnection();
}

Variant TOraSessionOptions::prop(int id) const {
  Variant value;
  if (TOCIConnection* d = driver()) d->GetProp(id, value);
  return value;
}

std::string TOraSessionOptions::textProp(int id) const {
  const Variant value = prop(id);
  std::string text = value.isNull() ? std::string() : value.asString();
  // The driver's texts come from a fixed buffer of 40 characters ended by the first NUL.
  text = text.substr(0, std::min(text.find('\0'), size_t(40)));
  return text;
}

void TOraSessionOptions::setProp(int id, const Variant& value) {
  if (TOCIConnection* d = driver()) d->SetProp(id, value);
}

int TOraSessionOptions::GetCharLength() const {
  const Variant value = prop(prCharLength);
  return value.isNull() ? 1 : value.asInt32();
}

void TOraSessionOptions::SetCharLength(int value) {
  setProp(prCharLength, int32_t(value));
}

std::string TOraSessionOptions::GetCharset() const {
  return textProp(prCharset);
}

void TOraSessionOptions::SetCharset(const std::string& value) {
  setProp(prCharset, value);
}

bool TOraSessionOptions::GetUseUnicode() const {
  const Variant value = prop(prUseUnicode);
  return !value.isNull() && value.asBool();
}

void TOraSessionOptions::SetUseUnicode(bool value) {
  setProp(prUseUnicode, value);
}

std::string TOraSessionOptions::GetDateFormat() const {
  return textProp(prDateFormat);
}

void TOraSessionOptions::SetDateFormat(const std::string& value) {
  setProp(prDateFormat, value);
}

std::string TOraSessionOptions::GetDateLanguage() const {
  return textProp(prDateLanguage);
}

void TOraSessionOptions::SetDateLanguage(const std::string& value) {
  setProp(prDateLanguage, value);
}

bool TOraSessionOptions::GetConvertEOL() const {
  return session_->ConvertEOL();
}

void TOraSessionOptions::SetConvertEOL(bool value) {
  session_->SetConvertEOL(value);
}

void TOraSessionOptions::SetEnableIntegers(bool value) {
  if (value == enableIntegers_) return;
  enableIntegers_ = value;
  setProp(prEnableIntegers, value);
  session_->FieldDefsOutOfDate();
}

void TOraSessionOptions::SetEnableNumbers(bool value) {
  if (value == enableNumbers_) return;
  enableNumbers_ = value;
  setProp(prEnableNumbers, value);
  session_->FieldDefsOutOfDate();
}

void TOraSessionOptions::SetUseOCI7(bool value) {
  if (value == useOCI7_) return;
  session_->Disconnect();
  useOCI7_ = value;
  if (TOCIConnection* d = driver()) d->SetOCICallStyle(value ? osOCI7 : OCICallStyle);
}

void TOraSessionOptions::AssignTo(da::TDAConnectionOptions& dest) const {
  TDAConnectionOptions::AssignTo(dest);
  auto* to = dynamic_cast<TOraSessionOptions*>(&dest);
  if (!to) return;
  to->NeverConnect = NeverConnect;
  to->SetUseOCI7(useOCI7_);
  to->SetCharset(GetCharset());
  to->SetCharLength(GetCharLength());
  to->SetDateFormat(GetDateFormat());
  to->SetDateLanguage(GetDateLanguage());
}

// ---- Session ----

TOraSession::TOraSession() : options_(std::make_unique<TOraSessionOptions>(this)) {
  CreateIConnection();
  SessionList& list = sessionList();
  std::lock_guard<std::mutex> guard(list.lock);
  if (!list.defaultSession) list.defaultSession = this;
  if (!list.items.empty()) home_ = list.items.front()->home_;
  list.items.push_back(this);
}

void TOraSession::SetHome(TOracleHome value) {
  if (uint8_t(value) != OracleHomeIndex) {
    Disconnect();
    std::vector<TOraSession*> sessions;
    {
      SessionList& list = sessionList();
      std::lock_guard<std::mutex> guard(list.lock);
      sessions = list.items;
    }
    for (TOraSession* s : sessions) s->Disconnect();
    if (!OCILoaded() || OCIInited) FreeOCI();
    OracleHomeIndex = uint8_t(value);
    for (TOraSession* s : sessions) s->home_ = value;
    if (options_->GetUseOCI7())
      if (TOCIConnection* c = OCIConnection()) c->SetOCICallStyle(osOCI7);
  }
  home_ = value;
}

TOraSession::~TOraSession() {
  // The statement goes before the connection it runs on.
  internalSQL_.reset();
  try {
    // Going away undoes what its owner never committed, as the base's destructor does: a plain
    // disconnection would commit it.
    if (!TransactionName().empty()) Rollback();
    Disconnect();
  } catch (const std::exception&) {
    // A destructor cannot raise (a link that died unnoticed refuses the end of its session);
    // the base destructor frees the session all the same.
  }
  SessionList& list = sessionList();
  std::lock_guard<std::mutex> guard(list.lock);
  std::erase(list.items, this);
  if (list.defaultSession == this) list.defaultSession = list.items.empty() ? nullptr : list.items.front();
}

TOraSession* TOraSession::DefaultSession() {
  SessionList& list = sessionList();
  std::lock_guard<std::mutex> guard(list.lock);
  return list.defaultSession;
}

int TOraSession::SessionCount() {
  SessionList& list = sessionList();
  std::lock_guard<std::mutex> guard(list.lock);
  return int(list.items.size());
}

TOraSession* TOraSession::Sessions(int index) {
  SessionList& list = sessionList();
  std::lock_guard<std::mutex> guard(list.lock);
  return list.items.at(size_t(index));
}

void TOraSession::CreateIConnection() {
  SetIConnection(std::make_unique<TOCIConnection>());
}

void TOraSession::SetIConnection(std::unique_ptr<da::TQvConnection> value) {
  if (value && !dynamic_cast<TOCIConnection*>(value.get())) value.reset();
  TCustomDAConnection::SetIConnection(std::move(value));
  if (TOCIConnection* c = OCIConnection()) {
    c->SetProp(prThreadSafety, threadSafety_);
    c->SetOnFailover([this](int event, int type, bool& retry) { failover(event, type, retry); });
  }
}

da::TDASQLMonitorClass& TOraSession::SQLMonitorClass() const {
  return TOraSQLMonitor::Class();
}

bool TOraSession::IsFatalError(const da::EDAError& e) const {
  switch (e.ErrorCode) {
    case 28:
    case 1012:
    case 3113:
    case 3114:
    case 12203:
    case 12571:
      return true;
    default:
      return false;
  }
}

std::string TOraSession::GetConnectString() const {
  std::string text = Username();
  if (!Password().empty()) text += "/" + Password();
  if (!Server().empty()) text += "@" + Server();
  return text;
}

void TOraSession::SetConnectString(const std::string& value) {
  if (value == GetConnectString()) return;
  Disconnect();
  const size_t slash = value.find('/'), at = value.find('@');
  std::string user = slash == std::string::npos ? std::string() : value.substr(0, slash);
  std::string password, server;
  if (at == std::string::npos) {
    if (slash != std::string::npos)
      password = value.substr(slash + 1);
    else
      user = value;
  } else {
    if (slash != std::string::npos && slash < at)
      password = value.substr(slash + 1, at - slash - 1);
    else
      user = value.substr(0, at);
    server = value.substr(at + 1);
  }
  SetUsername(user);
  SetPassword(password);
  SetServer(server);
}

void TOraSession::SetThreadSafety(bool value) {
  threadSafety_ = value;
  if (TOCIConnection* c = OCIConnection()) c->SetProp(prThreadSafety, value);
}

void TOraSession::SetConnectMode(TConnectMode value) {
  connectMode_ = value;
  if (TOCIConnection* c = OCIConnection()) c->SetProp(prConnectMode, int32_t(value));
}

void TOraSession::DoConnect() {
  SetHome(home_);
  TCustomDAConnection::DoConnect();
  if (OnConnectChange) OnConnectChange(*this, true);
}

void TOraSession::DoDisconnect() {
  TCustomDAConnection::DoDisconnect();
  if (OnConnectChange) OnConnectChange(*this, false);
}

bool TOraSession::InTransaction() const {
  if (TransactionName().empty()) return false;
  // Asking the server is a query, not a change of the session's meaning.
  auto* self = const_cast<TOraSession*>(this);
  const Variant id = self->ExecSQL("begin  :result := sys.dbms_transaction.local_transaction_id; end;");
  if (!id.isNull() && id.asString() == TransactionName()) return true;
  self->SetTransactionName({});
  IConnection()->SetProp(da::prAutoCommit, AutoCommit());
  return false;
}

void TOraSession::StartTransaction() {
  TCustomDAConnection::StartTransaction();
  const Variant id = ExecSQL("begin  :result := sys.dbms_transaction.local_transaction_id(true); end;");
  SetTransactionName(id.isNull() ? std::string() : id.asString());
}

std::unique_ptr<da::TCustomDASQL> TOraSession::CreateSQL() {
  auto sql = std::make_unique<TOraSQL>();
  sql->SetConnection(this);
  return sql;
}

std::unique_ptr<da::TCustomDADataSet> TOraSession::CreateDataSet() {
  auto d = std::make_unique<TOraDataSet>();
  d->SetConnection(this);
  return d;
}

TOraSQL& TOraSession::InternalSQL() {
  if (!internalSQL_) {
    internalSQL_ = std::make_unique<TOraSQL>();
    internalSQL_->SetConnection(this);
  }
  internalSQL_->Debug = Debug;
  return *internalSQL_;
}

Variant TOraSession::ExecSQL(const std::string& text, const std::vector<Variant>& params) {
  TOraSQL& sql = InternalSQL();
  sql.SetSQL(text);
  for (int i = 0; i < sql.GetParamCount(); ++i) {
    da::TDAParam& param = sql.Params().Items(i);
    param.SetValue(size_t(i) < params.size() ? params[size_t(i)] : Variant::null());
    if (ds::SameName(param.Name, "Result") && param.DataType == ds::ftUnknown) param.DataType = ds::ftString;
  }
  sql.Execute();
  const da::TDAParam* result = sql.FindParam("Result");
  return result ? result->GetValue() : Variant::null();
}

void TOraSession::Savepoint(const std::string& name) {
  TOraSQLMonitor::Savepoint(*this, Username(), Server(), name);
  ExecSQL("SAVEPOINT " + name);
}

void TOraSession::RollbackToSavepoint(const std::string& name) {
  TOraSQLMonitor::RollbackToSavepoint(*this, Username(), Server(), name);
  ExecSQL("ROLLBACK TO SAVEPOINT " + name);
}

std::string TOraSession::GetServerVersion() {
  TOCIConnection* c = OCIConnection();
  return c ? c->GetServerVersion() : std::string();
}

std::string TOraSession::GetCompileErrors(const std::string& objectText) {
  TOraParser parser(objectText);
  parser.OmitComment = true;
  std::string lexeme;
  auto next = [&] {
    parser.GetNext(lexeme);
    return lexeme;
  };
  if (next() != "CREATE") return {};
  std::string type = next();
  if (type == "OR") {
    if (next() != "REPLACE") return {};
    type = next();
  }
  if (type != "PROCEDURE" && type != "FUNCTION" && type != "TRIGGER" && type != "PACKAGE" && type != "TYPE")
    return {};
  std::string name = next();
  if (type == "PACKAGE" && name == "BODY") {
    type = "PACKAGE BODY";
    name = next();
  }
  std::string owner;
  if (next() == ".") {
    owner = dictionaryName(name);
    name = next();
  }
  if (owner.empty()) {
    const Variant schema = ExecSQL("begin :Result := sys_context('USERENV', 'CURRENT_SCHEMA'); end;");
    owner = schema.isNull() ? platform::asciiUpperCased(Username()) : schema.asString();
  }

  TOraSQL& sql = InternalSQL();
  const bool debug = sql.Debug;
  sql.Debug = false;
  platform::ScopeExit restore([&] { sql.Debug = debug; });
  sql.SetSQL(kCompileErrorsBlock);
  da::TDAParam& res = sql.ParamByName("Res");
  res.SetDataType(ds::ftString);
  res.SetValue(Variant::null());
  res.ParamType_ = ds::ptInputOutput;
  sql.ParamByName("Owner").SetAsString(owner);
  sql.ParamByName("Name").SetAsString(dictionaryName(name));
  sql.ParamByName("Type").SetAsString(type);
  sql.Execute();
  const std::string text = res.GetAsString();
  return text.empty() ? "No errors" : text;
}

void TOraSession::AssignTo(da::TCustomDAConnection& dest) const {
  TCustomDAConnection::AssignTo(dest);
  auto* to = dynamic_cast<TOraSession*>(&dest);
  if (!to) return;
  to->SetHome(home_);
  options_->AssignTo(to->Options());
}

void TOraSession::FieldDefsOutOfDate() {
  for (int i = 0; i < DataSetCount(); ++i) {
    auto* d = dynamic_cast<da::TCustomDADataSet*>(DataSets(i));
    if (!d) continue;
    d->GetFieldDefs().Updated = false;
    // The columns are described again only by a record set that is prepared anew.
    if (!d->Active()) d->UnPrepare();
  }
}

void TOraSession::failover(int event, int type, bool& retry) {
  constexpr int kFailoverEnd = 1;
  if (event == kFailoverEnd && InTransaction())
    for (int i = 0; i < DataSetCount(); ++i)
      if (auto* d = dynamic_cast<da::TCustomDADataSet*>(DataSets(i)); d && d->IRecordSet())
        d->IRecordSet()->InternalUnprepare();
  if (OnFailover)
    OnFailover(*this, positionOf(kFailoverEvents, event), positionOf(kFailoverTypes, type), retry);
}

}  // namespace oracle
