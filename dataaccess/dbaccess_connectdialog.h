// The login prompt of a connection: Execute loads the last user name and server from the
// settings store, lets the process-wide dialog procedure edit user name, password and server
// (and connect), and stores what was used. Without a dialog procedure Execute answers false and
// the connection is left as it was.
//
// Stored values: group KeyPath() + "Connect\" + the application name holds "Username" and the
// server value (ServerValueName()); group KeyPath() + "Connect" holds the server list, the
// current server first, as ServerValueName() + "1", "2", ...
//
// Threads: the window thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dataaccess/dbaccess.h"

namespace dataaccess {

// Where the prompt keeps what the user typed last (the program: its settings file).
class TConnectDialogStore {
 public:
  virtual ~TConnectDialogStore() = default;
  // The value, or nothing when the group or the value does not exist.
  virtual std::optional<std::string> ReadValue(const std::string& group, const std::string& name) = 0;
  // Stores the value, creating the group.
  virtual void WriteValue(const std::string& group, const std::string& name, const std::string& value) = 0;
};

// Process-wide; nullptr (the default) keeps nothing.
void SetConnectDialogStore(TConnectDialogStore* store);

class TCustomConnectDialog;
// Shows the dialog; true when the user confirmed (and the connection is open).
using TConnectDialogProc = std::function<bool(TCustomConnectDialog& dialog)>;
// Process-wide; an empty procedure (the default) makes every Execute answer false.
void SetConnectDialogProc(TConnectDialogProc proc);

class TCustomConnectDialog : public TDAComponent {
 public:
  TCustomConnectDialog();
  ~TCustomConnectDialog() override;

  TCustomDAConnection* Connection() const { return connection_; }
  void SetConnection(TCustomDAConnection* value);

  // "Connection is not defined." without a connection.
  virtual bool Execute();
  virtual std::string KeyPath() const { return ""; }
  virtual std::string ServerValueName() const { return "Server"; }
  // The servers the user may choose from.
  virtual void GetServerList(std::vector<std::string>&) {}

  int LabelSet() const { return labelSet_; }
  // Loads the six captions of a language: 1 English, 2 French, 3 German, 4 Italian, 5 Polish,
  // 6 Portuguese, 7 Russian, 8 Spanish; any other non-zero value English; 0 keeps them.
  void SetLabelSet(int value);

  uint16_t Retries = 3;
  bool SavePassword = false;
  bool StoreLogInfo = true;
  std::string Caption, UsernameLabel, PasswordLabel, ServerLabel, ConnectButton, CancelButton;

 private:
  friend class TCustomDAConnection;
  TCustomDAConnection* connection_ = nullptr;
  int labelSet_ = 0;
};

}  // namespace dataaccess
