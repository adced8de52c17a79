#include "dataset/connection.h"

#include <algorithm>

namespace dataset {

CustomConnection::~CustomConnection() {
  const std::vector<Client> clients = std::move(clients_);
  for (const Client& c : clients)
    if (c.event) c.event(false, true);
}

void CustomConnection::SetConnected(bool value) {
  if (value == GetConnected()) return;
  if (value) {
    if (BeforeConnect) BeforeConnect(*this);
    if (LoginPrompt && OnLogin) {
      std::string user, password;
      GetLoginParams(user, password);
      OnLogin(*this, user, password);
      SetLoginParams(user, password);
    }
    DoConnect();
    SendConnectEvent(true);
    if (AfterConnect) AfterConnect(*this);
  } else {
    if (BeforeDisconnect) BeforeDisconnect(*this);
    SendConnectEvent(false);
    DoDisconnect();
    if (AfterDisconnect) AfterDisconnect(*this);
  }
}

void CustomConnection::GetLoginParams(std::string&, std::string&) const {}

void CustomConnection::SetLoginParams(const std::string&, const std::string&) {}

void CustomConnection::SendConnectEvent(bool connected) {
  // A client may unregister while it is told.
  const std::vector<Client> clients = clients_;
  for (const Client& c : clients)
    if (c.event) c.event(connected, false);
}

void CustomConnection::RegisterClient(DataSet* client, ClientEvent event) {
  UnRegisterClient(client);
  clients_.push_back({client, std::move(event)});
}

void CustomConnection::UnRegisterClient(DataSet* client) {
  std::erase_if(clients_, [client](const Client& c) { return c.client == client; });
}

}  // namespace dataset
