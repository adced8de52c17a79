#include "tools/engineserver/faultproxy.h"

#include "engine/tables/veldorprotocol.h"
#include "platform/bytes.h"
#include "tools/engineserver/engineserver.h"

namespace engineserver {

FaultProxy::FaultProxy(uint16_t serverPort) : serverPort_(serverPort) {
  acceptor_ = std::jthread([this](std::stop_token stop) { acceptLoop(stop); });
}

FaultProxy::~FaultProxy() {
  acceptor_.request_stop();
  listener_.shutdown();
  acceptor_ = {};
  relays_.clear();
}

void FaultProxy::arm(Fault fault, uint16_t code, int delayMs) {
  std::lock_guard lock(mutex_);
  fault_ = fault;
  code_ = code;
  delayMs_ = delayMs;
}

void FaultProxy::acceptLoop(std::stop_token stop) {
  while (!stop.stop_requested()) {
    platform::TcpConnection c = listener_.accept(200);
    if (!c.isOpen()) continue;
    std::lock_guard lock(mutex_);
    relays_.emplace_back(
        [this, conn = std::move(c)](std::stop_token s) mutable { relay(std::move(conn), s); });
  }
}

void FaultProxy::relay(platform::TcpConnection client, std::stop_token stop) {
  platform::TcpConnection server;
  try {
    server = platform::TcpConnection::connect("127.0.0.1", std::to_string(serverPort_), 2000);
  } catch (const platform::TcpError&) {
    return;
  }
  std::vector<uint8_t> request, reply;
  while (!stop.stop_requested()) {
    if (client.waitReadable(100) == platform::WaitResult::TimedOut) continue;
    if (!readMessage(client, request, 5000)) return;
    Fault fault = Fault::None;
    int delayMs = 0;
    {
      std::lock_guard lock(mutex_);
      if (fault_ != Fault::None && platform::get2(request.data() + engine::kMessageCodeOffset) == code_) {
        fault = fault_;
        delayMs = delayMs_;
        fault_ = Fault::None;
      }
    }
    if (fault == Fault::DropRequest) return;
    if (server.sendAll(request.data(), request.size()) != request.size()) return;
    if (!readMessage(server, reply, 5000)) return;
    switch (fault) {
      case Fault::Truncate:
        client.sendAll(reply.data(), reply.size() / 2);
        return;
      case Fault::CloseMidReply:
        client.sendAll(reply.data(), 6);
        return;
      case Fault::Delay:
        for (int waited = 0; waited < delayMs && !stop.stop_requested(); waited += 50)
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return;
      case Fault::CorruptZlib:
        for (size_t i = 12; i < reply.size(); i += 3) reply[i] ^= 0x5A;
        break;
      case Fault::OversizedLength:
        platform::put4(reply.data(), 0xFFFFFFF0u);
        break;
      default:
        break;
    }
    if (client.sendAll(reply.data(), reply.size()) != reply.size()) return;
  }
}

}  // namespace engineserver
