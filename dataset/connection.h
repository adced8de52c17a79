// A connection that datasets use: connecting and disconnecting with their events, the login
// prompt, and the list of datasets that use it, which hear of every connect and disconnect.
//
// The connection does not own its datasets; a dataset unregisters itself when it is destroyed,
// and the connection tells those still registered when it goes.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace dataset {

class DataSet;

class CustomConnection {
 public:
  // Told `true` after the connection opened, `false` before it closes, and `false` once more,
  // with `gone` set, when the connection is destroyed.
  using ClientEvent = std::function<void(bool connected, bool gone)>;

  CustomConnection() = default;
  virtual ~CustomConnection();
  CustomConnection(const CustomConnection&) = delete;
  CustomConnection& operator=(const CustomConnection&) = delete;

  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }
  virtual void SetConnected(bool value);
  virtual bool GetConnected() const = 0;

  void RegisterClient(DataSet* client, ClientEvent event);
  void UnRegisterClient(DataSet* client);
  int DataSetCount() const { return int(clients_.size()); }
  DataSet* DataSets(int i) const { return clients_.at(size_t(i)).client; }

  // With LoginPrompt on, OnLogin is asked for the user name and password before connecting;
  // throwing EAbort from it cancels the connect.
  bool LoginPrompt = true;
  std::function<void(CustomConnection&, std::string& user, std::string& password)> OnLogin;
  std::function<void(CustomConnection&)> BeforeConnect, AfterConnect, BeforeDisconnect, AfterDisconnect;

 protected:
  virtual void DoConnect() = 0;
  virtual void DoDisconnect() = 0;
  // The user name and password the login prompt starts from and that it sets.
  virtual void GetLoginParams(std::string& user, std::string& password) const;
  virtual void SetLoginParams(const std::string& user, const std::string& password);
  void SendConnectEvent(bool connected);

 private:
  struct Client {
    DataSet* client;
    ClientEvent event;
  };
  std::vector<Client> clients_;
};

}  // namespace dataset
