#include "tools/sqlitedriver/sqlitedriver.h"

#include <sqlite3.h>

#include "dataaccess/memdata_shared.h"

namespace sqlitedriver {

namespace ds = dataset;
using ds::VariantType;

// ---- Connection ----

TSQLiteConnection::~TSQLiteConnection() {
  if (db_) sqlite3_close_v2(db_);
}

void TSQLiteConnection::Connect(const std::string&) {
  const std::string path = GetServer().empty() ? ":memory:" : GetServer();
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw EDAError(message);
  }
  SetConnectedState(true);
}

void TSQLiteConnection::Disconnect() {
  // Statements still prepared keep the handle until they are finalized.
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
  SetConnectedState(false);
}

void TSQLiteConnection::Commit() {
  if (db_ && !sqlite3_get_autocommit(db_)) exec("COMMIT");
}

void TSQLiteConnection::Rollback() {
  if (db_ && !sqlite3_get_autocommit(db_)) exec("ROLLBACK");
}

void TSQLiteConnection::exec(const char* sql) {
  if (!db_) DatabaseError(SConnectionIsClosed);
  check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr));
}

void TSQLiteConnection::check(int rc) {
  if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
  EDAError e(db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc), rc);
  bool fail = true;
  if (onError_) onError_(e, fail);
  if (fail) throw e;
  ds::Abort();
}

bool TSQLiteConnection::SetEventProp(int prop, const TQvEvent& event) {
  if (prop != evOnError) return TQvConnection::SetEventProp(prop, event);
  onError_ = std::holds_alternative<TQvErrorEvent>(event) ? std::get<TQvErrorEvent>(event) : nullptr;
  return true;
}

std::unique_ptr<TQvCommand> TSQLiteConnection::CreateCommand() {
  auto c = std::make_unique<TSQLiteCommand>();
  c->SetConnection(this);
  return c;
}

std::unique_ptr<TQvRecordSet> TSQLiteConnection::CreateRecordSet() {
  auto r = std::make_unique<TSQLiteRecordSet>();
  r->SetConnection(this);
  return r;
}

// ---- Command ----

TSQLiteCommand::~TSQLiteCommand() {
  Unprepare();
}

TSQLiteConnection& TSQLiteCommand::Conn() const {
  auto* c = static_cast<TSQLiteConnection*>(GetConnection());
  if (!c || !c->Handle()) DatabaseError(SConnectionIsClosed);
  return *c;
}

void TSQLiteCommand::SetSQL(const std::string& value) {
  if (value != GetSQL()) Unprepare();
  TQvCommand::SetSQL(value);
}

void TSQLiteCommand::Prepare() {
  if (stmt_) return;
  TSQLiteConnection& c = Conn();
  c.check(sqlite3_prepare_v2(c.Handle(), GetSQL().c_str(), -1, &stmt_, nullptr));
  state_ = 3;
}

void TSQLiteCommand::Unprepare() {
  if (stmt_) sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  state_ = 0;
}

bool TSQLiteCommand::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) Conn().check(rc);
  state_ = 9;
  return false;
}

void TSQLiteCommand::Execute(int) {
  bool succeeded = false;
  ScopeExit report([&] {
    if (!succeeded) DoAfterExecute(false);
  });
  Prepare();
  TSQLiteConnection& c = Conn();
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  for (int i = 0; i < GetParamCount(); ++i) {
    const TParamDesc& d = GetParam(i);
    const Variant v = d.GetValue();
    int rc = SQLITE_OK;
    if (d.GetNull() || v.isNull()) {
      rc = sqlite3_bind_null(stmt_, i + 1);
    } else if (v.type() == VariantType::Object) {
      auto* blob = static_cast<TBlob*>(d.GetObject());
      const std::string content = blob ? blob->AsString() : std::string();
      rc = d.GetDataType() == dtMemo
               ? sqlite3_bind_text(stmt_, i + 1, content.data(), int(content.size()), SQLITE_TRANSIENT)
               : sqlite3_bind_blob(stmt_, i + 1, content.data(), int(content.size()), SQLITE_TRANSIENT);
    } else if (v.type() == VariantType::Bytes) {
      const auto b = v.asBytes();
      rc = sqlite3_bind_blob(stmt_, i + 1, b.data(), int(b.size()), SQLITE_TRANSIENT);
    } else if (v.type() == VariantType::Double || v.type() == VariantType::Currency) {
      rc = sqlite3_bind_double(stmt_, i + 1, v.asDouble());
    } else if (v.isNumeric() && v.type() != VariantType::DateTime) {
      rc = sqlite3_bind_int64(stmt_, i + 1, v.asInt64());
    } else {
      const std::string s = v.asString();
      rc = sqlite3_bind_text(stmt_, i + 1, s.data(), int(s.size()), SQLITE_TRANSIENT);
    }
    c.check(rc);
  }
  // Without auto-commit a change waits in a transaction for the connection's Commit.
  const bool autoCommit = GetAutoCommit() && c.GetAutoCommit();
  if (!autoCommit && !sqlite3_stmt_readonly(stmt_) && sqlite3_get_autocommit(c.Handle())) c.exec("BEGIN");
  rows_ = 0;
  if (sqlite3_column_count(stmt_) == 0) {
    while (Step()) {
    }
    rows_ = int32_t(sqlite3_changes(c.Handle()));
  } else {
    state_ = 6;
  }
  succeeded = true;
  DoAfterExecute(true);
}

bool TSQLiteCommand::SetProp(int prop, const Variant& value) {
  return prop == prScanParams || TQvCommand::SetProp(prop, value);
}

bool TSQLiteCommand::GetProp(int prop, Variant& value) {
  if (prop != prRowsProcessed) return TQvCommand::GetProp(prop, value);
  value = rows_;
  return true;
}

// ---- Record set ----

void TSQLiteRecordSet::InternalPrepare() {
  command().Prepare();
  SetCommandType(sqlite3_column_count(command().Statement()) > 0 ? ctCursor : ctStatement);
}

void TSQLiteRecordSet::InternalInitFields() {
  command().Prepare();
  sqlite3_stmt* stmt = command().Statement();
  for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
    auto f = std::make_unique<TFieldDesc>();
    f->Name = f->ActualName = sqlite3_column_name(stmt, i);
    const char* declared = sqlite3_column_decltype(stmt, i);
    const std::string type = AsciiUpper(declared ? declared : "");
    const size_t open = type.find('(');
    const int length = open == std::string::npos ? 0 : std::atoi(type.c_str() + open + 1);
    auto set = [&](uint16_t dataType, uint16_t size, uint16_t len) {
      f->DataType = dataType;
      f->Size = size;
      f->Length = len;
    };
    if (type.find("INT") != std::string::npos)
      set(dtInteger, 4, 0);
    else if (type.find("REAL") != std::string::npos || type.find("FLOA") != std::string::npos ||
             type.find("DOUB") != std::string::npos || type.find("NUM") != std::string::npos)
      set(dtFloat, 8, 0);
    else if (type.find("BLOB") != std::string::npos)
      set(dtBlob, 8, 0);
    else if (type.find("CHAR") != std::string::npos && length > 0 && length < 4000)
      set(dtString, uint16_t(length + 1), uint16_t(length));
    else
      set(dtExtString, 8, 4000);
    f->FieldNo = uint16_t(Fields.Count() + 1);
    Fields.Add(std::move(f));
  }
}

void TSQLiteRecordSet::ExecCommand() {
  TQvRecordSet::ExecCommand();
  SetCommandType(sqlite3_column_count(command().Statement()) > 0 ? ctCursor : ctStatement);
  done_ = !IsQuery();
}

void TSQLiteRecordSet::InternalClose() {
  if (command().Statement()) sqlite3_reset(command().Statement());
  done_ = true;
}

bool TSQLiteRecordSet::Fetch(bool fetchBack) {
  if (fetchBack || done_) return false;
  bool cancel = false;
  FetchBlockEvent(true, cancel);
  if (cancel) return false;
  TSQLiteCommand& c = command();
  if (!c.Step()) {
    done_ = true;
    FetchBlockEvent(false, cancel);
    return false;
  }
  StartBlock(false, 0);
  std::unique_ptr<uint8_t[]> buf(AllocRecBuf());
  sqlite3_stmt* stmt = c.Statement();
  int n = 0;
  do {
    InitRecord(buf.get());
    CreateComplexFields(buf.get(), true);
    for (int i = 0; i < Fields.Count(); ++i) {
      if (sqlite3_column_type(stmt, i) == SQLITE_NULL) continue;
      Variant v;
      switch (Fields[i].DataType) {
        case dtInteger:
          v = int32_t(sqlite3_column_int64(stmt, i));
          break;
        case dtFloat:
          v = sqlite3_column_double(stmt, i);
          break;
        case dtBlob: {
          const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, i));
          v = Variant::bytes(std::vector<uint8_t>(p, p + sqlite3_column_bytes(stmt, i)));
          break;
        }
        default:
          v = std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                          size_t(sqlite3_column_bytes(stmt, i)));
      }
      PutFieldAsVariant(i + 1, buf.get(), v);
    }
    AddFetchedRecord(buf.get());
  } while (++n < FetchRows() && (c.Step() || (done_ = true, false)));
  FetchBlockEvent(false, cancel);
  return true;
}

}  // namespace sqlitedriver
