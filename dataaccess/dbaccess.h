// The connection component of the data-access layer: user name, password and server, one owned
// driver connection, opening (optionally through a connect dialog) and closing, user
// transactions, and the route of server errors.
//
// Server errors reach DoError (the driver's event 101) before the driver raises them: they are
// traced, a fatal one (IsFatalError) disconnects, and OnError may change the error or clear
// `fail` to have the driver abort silently. The disconnect after a fatal error never commits:
// the session is gone, so the open transaction is dropped (the server rolls it back), failures of
// the closing steps give way to the original error, and the component ends disconnected with no
// transaction open. Destroying the component rolls an open transaction back; only an explicit
// Disconnect commits it.
//
// A derived session installs its driver connection with SetIConnection in its own constructor
// (the base constructor cannot reach a derived CreateIConnection).
//
// Threads: the thread that owns the component. A driver's event 101 may arrive on the driver's
// worker thread while the owner waits for it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataaccess/daconsts.h"
#include "dataaccess/dasqlmonitor.h"
#include "dataaccess/qvaccess.h"
#include "dataset/connection.h"

namespace dataaccess {

class TCustomDAConnection;
class TCustomConnectDialog;
class TCustomDASQL;
class TCustomDADataSet;

class TDAConnectionOptions {
 public:
  explicit TDAConnectionOptions(TCustomDAConnection* owner) : owner_(owner) {}
  virtual ~TDAConnectionOptions() = default;
  virtual void AssignTo(TDAConnectionOptions& dest) const { dest.ConnectWhenLoaded = ConnectWhenLoaded; }
  TCustomDAConnection* Owner() const { return owner_; }

  // Whether a connection restored from stored settings connects at once.
  bool ConnectWhenLoaded = true;

 private:
  TCustomDAConnection* owner_;
};

class TCustomDAConnection : public dataset::CustomConnection, public TDAComponent {
 public:
  using TDAConnectionErrorEvent = std::function<void(TCustomDAConnection& sender, EDAError& e, bool& fail)>;

  TCustomDAConnection();
  ~TCustomDAConnection() override;

  // Installs no driver connection here.
  virtual void CreateIConnection() { SetIConnection(nullptr); }
  // Disconnects the old driver connection, then passes AutoCommit (5) and ConvertEOL (28) to the
  // new one, registers DoError as its event 101 and has every statement check its command and
  // every dataset its record set.
  virtual void SetIConnection(std::unique_ptr<TQvConnection> value);
  TQvConnection* IConnection() const { return iconnection_.get(); }
  virtual TDASQLMonitorClass& SQLMonitorClass() const { return TCustomDASQLMonitor::Class(); }
  // The login dialog made for a prompt when none is assigned.
  virtual std::unique_ptr<TCustomConnectDialog> CreateConnectDialog();
  virtual bool NeedPrompt() const { return LoginPrompt; }
  // Whether the error means that the session is lost.
  virtual bool IsFatalError(const EDAError&) const { return false; }
  virtual std::string GetConnectString() const { return ""; }
  virtual void SetConnectString(const std::string&) {}
  virtual bool InTransaction() const { return !transactionName_.empty(); }
  virtual std::unique_ptr<TDAConnectionOptions> CreateOptions();
  // A new statement, and a new dataset, on this connection.
  virtual std::unique_ptr<TCustomDASQL> CreateSQL();
  virtual std::unique_ptr<TCustomDADataSet> CreateDataSet();
  // The statements on this connection, which it gives a command of each new driver and leaves
  // without a connection when it goes. A statement registers itself.
  void RegisterSQL(TCustomDASQL* sql);
  void UnRegisterSQL(TCustomDASQL* sql);

  // With the prompt: the dialog (assigned, or a new one) runs and connects; a cancelled dialog
  // aborts silently (EAbort). Without: BeforeConnect, DoConnect, the datasets told, AfterConnect.
  void SetConnected(bool value) override;
  bool GetConnected() const override { return iconnection_ && iconnection_->GetConnected(); }
  void Connect() { SetConnected(true); }
  void Disconnect() { SetConnected(false); }
  // The connect without the prompt; what a connect dialog calls once the user has confirmed.
  void PerformConnect();

  // "Operation is not allowed when the connection is closed" when closed; "User transaction is
  // already in progress." when one is open.
  virtual void StartTransaction();
  void Commit();
  void Rollback();

  // Copies Username, Password, Server and LoginPrompt.
  void AssignTo(TCustomDAConnection& dest) const;

  const std::string& Username() const { return username_; }
  const std::string& Password() const { return password_; }
  const std::string& Server() const { return server_; }
  // A different text disconnects first.
  void SetUsername(const std::string& value);
  void SetPassword(const std::string& value);
  void SetServer(const std::string& value);
  bool AutoCommit() const { return autoCommit_; }
  void SetAutoCommit(bool value);
  bool ConvertEOL() const { return convertEOL_; }
  void SetConvertEOL(bool value);
  TCustomConnectDialog* ConnectDialog() const { return connectDialog_; }
  // Not owned; each side forgets the other when it goes.
  void SetConnectDialog(TCustomConnectDialog* value);
  TDAConnectionOptions& Options() const { return *options_; }

  TDAConnectionErrorEvent OnError;

 protected:
  void DoConnect() override;
  void DoDisconnect() override;
  // The driver's event 101.
  virtual void DoError(EDAError& e, bool& fail);
  // A driver that tracks its transactions by the server's own id keeps it here; empty means no
  // user transaction.
  const std::string& TransactionName() const { return transactionName_; }
  void SetTransactionName(std::string value) { transactionName_ = std::move(value); }

 private:
  friend class TCustomConnectDialog;
  void setLogin(std::string& field, const std::string& value,
                void (TQvConnection::*pass)(const std::string&));
  void checkOpen() const;
  void endTransaction(bool commit);

  std::string username_, password_, server_;
  bool autoCommit_ = true;
  bool convertEOL_ = false;
  bool inErrorDisconnect_ = false;
  bool sessionLost_ = false;
  bool destroying_ = false;
  TCustomConnectDialog* connectDialog_ = nullptr;
  std::unique_ptr<TDAConnectionOptions> options_;
  std::unique_ptr<TQvConnection> iconnection_;
  std::string transactionName_;
  std::vector<TCustomDASQL*> sqls_;
};

}  // namespace dataaccess
