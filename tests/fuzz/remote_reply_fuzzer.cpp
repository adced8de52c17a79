// Fuzz target over the reading of engine server replies. The first byte chooses the local network
// (plain payloads) or compressed ones; the rest is what the server sends, read as up to four
// replies with their parameters and error texts. Whatever arrives must end in a reply or a clean
// error, never in a read outside the message.
#include <sys/socket.h>

#include <cstdint>
#include <memory>

#include "engine/tables/veldorsession.h"
#include "platform/tcpsocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  {
    platform::TcpConnection server(fds[1]);
    server.sendAll(data + 1, size - 1);
  }
  engine::TDataSession session;
  session.SetSessionType(engine::stRemote);
  session.SetRemoteType(data[0] % 2 == 0);
  session.AttachConnection(std::make_unique<platform::TcpConnection>(fds[0]));
  for (int i = 0; i < 4 && session.Connected(); ++i) {
    try {
      session.ReceiveReply();
      session.CheckReplyError();
      while (session.ReplyParamsLeft()) session.ReadReplyParam();
    } catch (const std::exception&) {
      // A clean error is the expected end of a damaged reply.
    }
  }
  return 0;
}
