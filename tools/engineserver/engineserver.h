// A loopback engine server for tests: it answers each request of the remote protocol by doing
// the same operation on a local engine session, so that one scenario can run locally and
// remotely with the same results. It listens on 127.0.0.1 only, on a port the system chooses.
//
// Each client session id owns one local TDataSession; a reconnect with the id resumes it. A
// database name maps to the folder of that name under the server's root (made when missing).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/tcpsocket.h"

namespace engineserver {

// Reads one whole message (header and payload) within `timeoutMs`; false when the connection
// ended, timed out or announced a message outside 10 bytes .. `maxSize`.
bool readMessage(platform::TcpConnection& connection, std::vector<uint8_t>& message, int timeoutMs,
                 size_t maxSize = size_t(256) << 20);

class EngineServer {
 public:
  // Users who may log in, by name, with their passwords. `serverVersion` is what the handshake
  // reports (0: the reply leaves it out).
  EngineServer(std::string root, std::map<std::string, std::string> users, int64_t serverVersion = 31000);
  ~EngineServer();
  EngineServer(const EngineServer&) = delete;
  EngineServer& operator=(const EngineServer&) = delete;

  uint16_t port() const { return listener_.port(); }
  // How many requests of `code` the server has carried out.
  int handled(uint16_t code) const;
  // The table passwords the session `sessionId` holds.
  size_t passwordCount(uint32_t sessionId);

 private:
  struct Session;
  void acceptLoop(std::stop_token stop);
  void serve(platform::TcpConnection connection, std::stop_token stop);

  std::string root_;
  std::map<std::string, std::string> users_;
  int64_t serverVersion_;
  platform::TcpListener listener_;
  mutable std::mutex mutex_;
  std::map<uint32_t, std::shared_ptr<Session>> sessions_;
  uint32_t nextSessionId_ = 1;
  std::map<uint16_t, int> handled_;
  std::vector<std::jthread> connections_;
  std::jthread acceptor_;
};

}  // namespace engineserver
