// The Oracle session component: the data-access connection over a TOCIConnection, with the
// connect string, the options passed to the driver, transactions tracked by the server's local
// transaction id, savepoints, single statements, compile-error listings, failover notices and
// the process-wide list of sessions.
//
// Threads: a session and its statements belong to the thread that owns them; the session list
// and the default session may be read from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataaccess/dbaccess.h"
#include "oracle/ora_params.h"
#include "oracle/ora_sql.h"
#include "oracle/oraclasses.h"

namespace oracle {

using dataset::Variant;

class TOraSession;

class TOraSessionOptions : public dataaccess::TDAConnectionOptions {
 public:
  explicit TOraSessionOptions(TOraSession* session);

  // Values kept by the driver connection, read back from it.
  int GetCharLength() const;
  void SetCharLength(int value);  // 0..6; 0 detects it from the server character set
  std::string GetCharset() const;
  void SetCharset(const std::string& value);
  bool GetUseUnicode() const;
  void SetUseUnicode(bool value);
  std::string GetDateFormat() const;
  void SetDateFormat(const std::string& value);
  std::string GetDateLanguage() const;
  void SetDateLanguage(const std::string& value);
  bool GetConvertEOL() const;
  void SetConvertEOL(bool value);
  bool GetEnableIntegers() const { return enableIntegers_; }
  void SetEnableIntegers(bool value);
  bool GetEnableNumbers() const { return enableNumbers_; }
  void SetEnableNumbers(bool value);
  bool GetUseOCI7() const { return useOCI7_; }
  // A change disconnects, then sets the driver's call style.
  void SetUseOCI7(bool value);

  // A stored Connected value of true does not connect at run time.
  bool NeverConnect = false;

  // To another session's options: NeverConnect, UseOCI7, Charset, CharLength, DateFormat and
  // DateLanguage.
  void AssignTo(dataaccess::TDAConnectionOptions& dest) const override;

 private:
  TOCIConnection* driver() const;
  Variant prop(int id) const;
  std::string textProp(int id) const;
  void setProp(int id, const Variant& value);

  TOraSession* session_;
  bool useOCI7_ = false;
  bool enableIntegers_ = true;
  bool enableNumbers_ = false;
};

// The failover handler's view: state 0..4 (end, abort, reauth, begin, error), type 0..3 (none,
// session, select, transaction), 255 for anything else.
// The Oracle home whose client library the sessions use: the default one, or home 0 to 5 of the
// home list.
enum TOracleHome : uint8_t { ohDefault, ohHome0, ohHome1, ohHome2, ohHome3, ohHome4, ohHome5 };

using TOraFailoverEvent = std::function<void(TOraSession& sender, int state, int type, bool& retry)>;

class TOraSession : public dataaccess::TCustomDAConnection {
 public:
  TOraSession();
  ~TOraSession() override;

  void CreateIConnection() override;
  void SetIConnection(std::unique_ptr<dataaccess::TQvConnection> value) override;
  TOCIConnection* OCIConnection() const { return static_cast<TOCIConnection*>(IConnection()); }
  dataaccess::TDASQLMonitorClass& SQLMonitorClass() const override;
  // Oracle errors 28, 1012, 3113, 3114, 12203 and 12571: the session is gone.
  bool IsFatalError(const dataaccess::EDAError& e) const override;
  // Username ["/" Password] ["@" Server]; setting it disconnects first.
  std::string GetConnectString() const override;
  void SetConnectString(const std::string& value) override;
  // Asks the server whether the transaction begun by StartTransaction is still the open one; one
  // ended on the server (by DDL or a COMMIT in SQL text) is forgotten and AutoCommit restored.
  bool InTransaction() const override;
  void StartTransaction() override;
  std::unique_ptr<dataaccess::TCustomDASQL> CreateSQL() override;
  // A TOraDataSet on this session.
  std::unique_ptr<dataaccess::TCustomDADataSet> CreateDataSet() override;
  TOraSessionOptions& Options() const { return *options_; }
  // The connection's settings (user name, password, server, login prompt); to another Oracle
  // session also the home and the options that AssignTo of the options copies.
  void AssignTo(dataaccess::TCustomDAConnection& dest) const;
  // The datasets on this session build their field definitions again at their next open (the
  // mapping of NUMBER columns changed).
  void FieldDefsOutOfDate();

  // Runs one statement; `params` fill its parameters by position (Null beyond them). A parameter
  // named "Result" of unknown type becomes a string; its value is returned, else Null.
  Variant ExecSQL(const std::string& text, const std::vector<Variant>& params = {});
  void Savepoint(const std::string& name);
  void RollbackToSavepoint(const std::string& name);
  // The compile errors of the stored program that `objectText` creates, one line each, or "No
  // errors"; empty for a text that creates no procedure, function, trigger, package or type. A
  // quoted name is looked up as written, an unquoted one upper-cased; a schema prefix selects
  // that owner's errors.
  std::string GetCompileErrors(const std::string& objectText);
  std::string GetServerVersion();
  TOraSQL& InternalSQL();

  TOracleHome GetHome() const { return home_; }
  // Another home than the loaded one disconnects every session, unloads the client library (one
  // loaded but not yet initialised stays) and makes it the home of every session; the library of
  // the new home loads at the next connect.
  void SetHome(TOracleHome value);
  bool GetThreadSafety() const { return threadSafety_; }
  void SetThreadSafety(bool value);
  TConnectMode GetConnectMode() const { return connectMode_; }
  void SetConnectMode(TConnectMode value);

  // The first session created while there was none; the next listed one after it goes.
  static TOraSession* DefaultSession();
  static int SessionCount();
  static TOraSession* Sessions(int index);

  bool Debug = false;
  std::function<void(TOraSession& sender, bool connected)> OnConnectChange;
  TOraFailoverEvent OnFailover;

 protected:
  void DoConnect() override;
  void DoDisconnect() override;

 protected:
  // The driver's failover notice: at the end of a failover inside a user transaction every
  // dataset's statement is prepared again on the new connection; then OnFailover.
  void failover(int event, int type, bool& retry);

 private:
  std::unique_ptr<TOraSessionOptions> options_;
  std::unique_ptr<TOraSQL> internalSQL_;
  TOracleHome home_ = ohDefault;
  bool threadSafety_ = true;
  TConnectMode connectMode_ = cmNormal;
};

}  // namespace oracle
