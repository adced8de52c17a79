#include "dataaccess/dbaccess.h"

#include <algorithm>

#include "dataaccess/dbaccess_connectdialog.h"
#include "dataaccess/dbaccess_dataset.h"
#include "dataaccess/dbaccess_sql.h"
#include "dataaccess/memdata_shared.h"

namespace dataaccess {

TCustomDAConnection::TCustomDAConnection() {
  LoginPrompt = true;
  CreateIConnection();
  options_ = CreateOptions();
}

TCustomDAConnection::~TCustomDAConnection() {
  destroying_ = true;
  try {
    Disconnect();
  } catch (const std::exception&) {
    // A destructor cannot raise; the session still goes, without committing anything.
    transactionName_.clear();
    if (GetConnected()) {
      try {
        iconnection_->Disconnect();
      } catch (const std::exception&) {
      }
    }
  }
  if (connectDialog_ && connectDialog_->connection_ == this) connectDialog_->connection_ = nullptr;
  while (!sqls_.empty()) sqls_.front()->SetConnection(nullptr);
}

std::unique_ptr<TDAConnectionOptions> TCustomDAConnection::CreateOptions() {
  return std::make_unique<TDAConnectionOptions>(this);
}

std::unique_ptr<TCustomConnectDialog> TCustomDAConnection::CreateConnectDialog() {
  return std::make_unique<TCustomConnectDialog>();
}

void TCustomDAConnection::SetIConnection(std::unique_ptr<TQvConnection> value) {
  if (GetConnected()) Disconnect();
  iconnection_ = std::move(value);
  if (!iconnection_) return;
  iconnection_->SetProp(prAutoCommit, autoCommit_);
  iconnection_->SetProp(prConvertEOL, convertEOL_);
  iconnection_->SetEventProp(evOnError, TQvErrorEvent([this](EDAError& e, bool& fail) { DoError(e, fail); }));
  for (TCustomDASQL* sql : sqls_) sql->CheckICommand();
  for (int i = 0; i < DataSetCount(); ++i)
    if (auto* d = dynamic_cast<TCustomDADataSet*>(DataSets(i))) d->CheckIRecordSet();
}

std::unique_ptr<TCustomDADataSet> TCustomDAConnection::CreateDataSet() {
  auto d = std::make_unique<TCustomDADataSet>();
  d->SetConnection(this);
  return d;
}

std::unique_ptr<TCustomDASQL> TCustomDAConnection::CreateSQL() {
  auto sql = std::make_unique<TCustomDASQL>();
  sql->SetConnection(this);
  return sql;
}

void TCustomDAConnection::RegisterSQL(TCustomDASQL* sql) {
  if (std::find(sqls_.begin(), sqls_.end(), sql) == sqls_.end()) sqls_.push_back(sql);
}

void TCustomDAConnection::UnRegisterSQL(TCustomDASQL* sql) {
  std::erase(sqls_, sql);
}

void TCustomDAConnection::SetConnected(bool value) {
  if (value == GetConnected()) return;
  if (!value) {
    try {
      SendConnectEvent(false);
    } catch (const EDAError& e) {
      if (!IsFatalError(e)) throw;
    }
    if (BeforeDisconnect) BeforeDisconnect(*this);
    DoDisconnect();
    if (AfterDisconnect) AfterDisconnect(*this);
    return;
  }
  if (NeedPrompt()) {
    std::unique_ptr<TCustomConnectDialog> made;
    TCustomConnectDialog* dialog = connectDialog_;
    if (!dialog) dialog = (made = CreateConnectDialog()).get();
    if (dialog) {
      dialog->SetConnection(this);
      if (!dialog->Execute()) dataset::Abort();
      // A dialog procedure that only edits the login leaves the connect to us.
      if (!GetConnected()) PerformConnect();
      return;
    }
  }
  PerformConnect();
}

void TCustomDAConnection::PerformConnect() {
  if (BeforeConnect) BeforeConnect(*this);
  DoConnect();
  SendConnectEvent(true);
  if (AfterConnect) AfterConnect(*this);
}

void TCustomDAConnection::DoConnect() {
  DA_ASSERT(iconnection_, "No driver connection");
  SQLMonitorClass().SQLConnect(*this, username_, server_, false);
  StartWait();
  {
    ScopeExit stop([] { StopWait(); });
    iconnection_->SetUsername(username_);
    iconnection_->SetPassword(password_);
    iconnection_->SetServer(server_);
    iconnection_->Connect("");
  }
  SQLMonitorClass().SQLConnect(*this, username_, server_, true);
}

void TCustomDAConnection::DoDisconnect() {
  if (InTransaction()) {
    if (sessionLost_) {
      // Nothing can be committed on a lost session; the server drops the transaction.
      transactionName_.clear();
      iconnection_->SetProp(prAutoCommit, autoCommit_);
    } else {
      endTransaction(!destroying_);
    }
  }
  SQLMonitorClass().SQLDisconnect(*this, username_, server_, false);
  if (sessionLost_) {
    try {
      iconnection_->Disconnect();
    } catch (const std::exception&) {
      // The session is gone already; the error that lost it is the one the caller gets.
    }
  } else {
    iconnection_->Disconnect();
  }
  SQLMonitorClass().SQLDisconnect(*this, username_, server_, true);
}

void TCustomDAConnection::DoError(EDAError& e, bool& fail) {
  SQLMonitorClass().SQLError(e);
  if (!inErrorDisconnect_ && IsFatalError(e)) {
    inErrorDisconnect_ = sessionLost_ = true;
    ScopeExit reset([this] { inErrorDisconnect_ = sessionLost_ = false; });
    try {
      Disconnect();
    } catch (const std::exception&) {
      // A handler of the closing steps failed: the state is cleared all the same, and the
      // original error stays the one raised.
      transactionName_.clear();
      if (iconnection_ && iconnection_->GetConnected()) {
        try {
          iconnection_->Disconnect();
        } catch (const std::exception&) {
        }
      }
    }
  }
  if (OnError) OnError(*this, e, fail);
}

void TCustomDAConnection::checkOpen() const {
  if (!GetConnected()) DatabaseError(SConnectionIsClosed);
}

void TCustomDAConnection::StartTransaction() {
  checkOpen();
  if (InTransaction()) DatabaseError(STransactionInProgress);
  iconnection_->StartTransaction();
  transactionName_ = "Local";
  iconnection_->SetProp(prAutoCommit, false);
}

void TCustomDAConnection::endTransaction(bool commit) {
  checkOpen();
  auto& monitor = SQLMonitorClass();
  if (commit) {
    monitor.SQLCommit(*this, username_, server_, false);
    iconnection_->Commit();
  } else {
    monitor.SQLRollback(*this, username_, server_, false);
    iconnection_->Rollback();
  }
  transactionName_.clear();
  iconnection_->SetProp(prAutoCommit, autoCommit_);
  if (commit)
    monitor.SQLCommit(*this, username_, server_, true);
  else
    monitor.SQLRollback(*this, username_, server_, true);
}

void TCustomDAConnection::Commit() {
  endTransaction(true);
}

void TCustomDAConnection::Rollback() {
  endTransaction(false);
}

void TCustomDAConnection::AssignTo(TCustomDAConnection& dest) const {
  dest.SetUsername(username_);
  dest.SetPassword(password_);
  dest.SetServer(server_);
  dest.LoginPrompt = LoginPrompt;
}

void TCustomDAConnection::setLogin(std::string& field, const std::string& value,
                                   void (TQvConnection::*pass)(const std::string&)) {
  if (field == value) return;
  Disconnect();
  field = value;
  if (iconnection_) (iconnection_.get()->*pass)(value);
}

void TCustomDAConnection::SetUsername(const std::string& value) {
  setLogin(username_, value, &TQvConnection::SetUsername);
}

void TCustomDAConnection::SetPassword(const std::string& value) {
  setLogin(password_, value, &TQvConnection::SetPassword);
}

void TCustomDAConnection::SetServer(const std::string& value) {
  setLogin(server_, value, &TQvConnection::SetServer);
}

void TCustomDAConnection::SetAutoCommit(bool value) {
  autoCommit_ = value;
  if (iconnection_) iconnection_->SetProp(prAutoCommit, value);
}

void TCustomDAConnection::SetConvertEOL(bool value) {
  convertEOL_ = value;
  if (iconnection_) iconnection_->SetProp(prConvertEOL, value);
}

void TCustomDAConnection::SetConnectDialog(TCustomConnectDialog* value) {
  connectDialog_ = value;
}

}  // namespace dataaccess
