// A proxy on 127.0.0.1 that passes whole messages between a client and a server and spoils one
// reply on purpose, so that tests can see what the client makes of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/tcpsocket.h"

namespace engineserver {

enum class Fault {
  None,
  DropRequest,      // closes the connection instead of passing the request on
  Truncate,         // passes half of the reply, then closes
  CloseMidReply,    // passes the reply's first 6 bytes, then closes
  Delay,            // holds the reply back for `delayMs`, then closes
  CorruptZlib,      // flips bits in the reply's payload
  OversizedLength,  // announces a reply far larger than any the client accepts
};

class FaultProxy {
 public:
  FaultProxy(uint16_t serverPort);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  uint16_t port() const { return listener_.port(); }
  // Spoils the reply to the next request of `code` (once).
  void arm(Fault fault, uint16_t code, int delayMs = 0);

 private:
  void acceptLoop(std::stop_token stop);
  void relay(platform::TcpConnection client, std::stop_token stop);

  uint16_t serverPort_;
  platform::TcpListener listener_;
  std::mutex mutex_;
  Fault fault_ = Fault::None;
  uint16_t code_ = 0;
  int delayMs_ = 0;
  std::vector<std::jthread> relays_;
  std::jthread acceptor_;
};

}  // namespace engineserver
