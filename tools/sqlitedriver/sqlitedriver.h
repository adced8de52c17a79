// A data-access driver over SQLite, standing in for the Oracle driver in tests and benchmarks.
//
// The connection opens the file named by Server (":memory:" for a database in memory). Commands
// bind their "?" markers from the parameter descriptors by position. A statement that runs with
// auto-commit off opens a transaction that the connection's Commit or Rollback ends. Record sets
// type their columns from the declared column types (INTEGER, REAL/FLOAT/DOUBLE/NUMERIC, BLOB,
// VARCHAR(n)/CHAR(n); anything else is text) and fetch in blocks of FetchRows.
//
// Errors raise EDAError with SQLite's message and result code, reported through event 101 first.
// Not thread-safe: one thread per connection.
#pragma once

#include <memory>
#include <string>

#include "dataaccess/dbaccess.h"
#include "dataaccess/qvaccess.h"

struct sqlite3;
struct sqlite3_stmt;

namespace sqlitedriver {

using namespace dataaccess;

class TSQLiteConnection : public TQvConnection {
 public:
  ~TSQLiteConnection() override;
  void Connect(const std::string& connectString) override;
  void Disconnect() override;
  void StartTransaction() override { exec("BEGIN"); }
  void Commit() override;
  void Rollback() override;
  bool SetEventProp(int prop, const TQvEvent& event) override;
  std::unique_ptr<TQvCommand> CreateCommand() override;
  std::unique_ptr<TQvRecordSet> CreateRecordSet() override;

  sqlite3* Handle() const { return db_; }
  void exec(const char* sql);
  // Raises SQLite's last error (after telling event 101) unless `rc` is a success.
  void check(int rc);

 private:
  sqlite3* db_ = nullptr;
  TQvErrorEvent onError_;
};

class TSQLiteCommand : public TQvCommand {
 public:
  ~TSQLiteCommand() override;
  void Prepare() override;
  void Unprepare() override;
  bool GetPrepared() const override { return stmt_ != nullptr; }
  void Execute(int iters) override;
  void SetSQL(const std::string& value) override;
  int GetCursorState() const override { return state_; }
  void SetCursorState(int value) override { state_ = value; }
  bool SetProp(int prop, const Variant& value) override;
  bool GetProp(int prop, Variant& value) override;

  sqlite3_stmt* Statement() const { return stmt_; }
  TSQLiteConnection& Conn() const;
  // Steps once; false at the end of the rows.
  bool Step();

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int state_ = 0;
  int32_t rows_ = 0;
};

class TSQLiteRecordSet : public TQvRecordSet {
 public:
  TSQLiteRecordSet() { CreateCommand(); }
  ~TSQLiteRecordSet() override { Close(); }
  void CreateCommand() override { SetCommand(std::make_unique<TSQLiteCommand>()); }
  void InternalPrepare() override;
  void InternalInitFields() override;
  void InternalClose() override;
  void ExecCommand() override;
  bool Fetch(bool fetchBack) override;

 private:
  TSQLiteCommand& command() const { return static_cast<TSQLiteCommand&>(GetCommand()); }
  bool done_ = false;
};

// A session component over the driver.
class TSQLiteSession : public TCustomDAConnection {
 public:
  TSQLiteSession() { SetIConnection(std::make_unique<TSQLiteConnection>()); }
};

}  // namespace sqlitedriver
