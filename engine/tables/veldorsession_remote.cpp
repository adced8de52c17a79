// The client side of the engine server protocol: connection, handshake, login, message framing
// and compression, and the exchange of one request for one reply.
#include <chrono>
#include <stdexcept>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/tables/veldorsession.h"
#include "platform/bytes.h"
#include "platform/processinfo.h"
#include "platform/scopeguard.h"
#include "platform/tcpsocket.h"
#include "platform/zlibbuffer.h"

namespace engine {

using platform::ScopeExit;
using platform::UndoOnFailure;

namespace {

constexpr size_t kBufferStep = 32768;
constexpr size_t kChunk = 65536;
constexpr int kMaxLoginTries = 4;

// A failure of the connection itself, as opposed to an error the server reported.
class CommError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Grows a protocol buffer in whole steps, zero-filling the new space; never shrinks it.
void reserveFor(std::vector<uint8_t>& buffer, size_t size) {
  if (buffer.size() >= size) return;
  buffer.resize((size + kBufferStep - 1) / kBufferStep * kBufferStep, 0);
}

long long elapsedMs(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

std::string TDataSession::ServerName() const {
  return remoteHost_.empty() ? remoteAddress_ : remoteHost_;
}

void TDataSession::RaiseRemote(uint16_t code, std::string_view user) const {
  SignalEngineError(code, ServerName(), user, "", "", "", "", "");
}

void TDataSession::Trace(const std::string& line) const {
  if (!remoteTraceEvent_) return;
  try {
    remoteTraceEvent_(line);
  } catch (...) {
    // A failing trace sink must not break the request it describes.
  }
}

// ---- Building a request ----

void TDataSession::BeginRequest() {
  reserveFor(request_, kMessageHeaderSize);
  requestLength_ = kMessageHeaderSize;
}

void TDataSession::WriteRequestParam(const void* bytes, uint32_t length) {
  reserveFor(request_, requestLength_ + 4 + length);
  platform::put4(request_.data() + requestLength_, length);
  if (length) std::memcpy(request_.data() + requestLength_ + 4, bytes, length);
  requestLength_ += 4 + size_t(length);
}

void TDataSession::WriteRequestU16(uint16_t v) {
  uint8_t b[2];
  platform::put2(b, v);
  WriteRequestParam(b, 2);
}

void TDataSession::WriteRequestU32(uint32_t v) {
  uint8_t b[4];
  platform::put4(b, v);
  WriteRequestParam(b, 4);
}

void TDataSession::WriteRequestI64(int64_t v) {
  uint8_t b[8];
  platform::put8(b, uint64_t(v));
  WriteRequestParam(b, 8);
}

void TDataSession::WriteRequestText(std::string_view text) {
  const std::string value = EngineString(text);
  WriteRequestParam(value.data(), uint32_t(value.size()));
}

void TDataSession::EndRequest() {
  size_t payload = requestLength_ - kMessageHeaderSize;
  if (!lan_ && !inHandshake_) {
    std::vector<uint8_t> packed;
    if (!platform::deflateBuffer(request_.data() + kMessageHeaderSize, payload, packed))
      SignalEngineError(VELDOR_COMPRESS);
    reserveFor(request_, kMessageHeaderSize + packed.size());
    std::memcpy(request_.data() + kMessageHeaderSize, packed.data(), packed.size());
    payload = packed.size();
    requestLength_ = kMessageHeaderSize + payload;
  }
  platform::put4(request_.data(), uint32_t(requestLength_));
  platform::put2(request_.data() + kMessageCodeOffset, requestCode_);
  platform::put4(request_.data() + kMessagePayloadSizeOffset, uint32_t(payload));
}

// ---- Sending and receiving ----

void TDataSession::SendRequest() {
  const auto start = std::chrono::steady_clock::now();
  bytesLeft_ = false;
  if (!socket_ || !socket_->isOpen()) throw CommError("Send request error");
  // A server that closed an idle connection has certainly not seen this request: find that out
  // before sending, so that the request may safely go again on a new connection.
  // Nothing may be pending between a reply and the next request: readable data here is the
  // peer's end of stream or stray bytes, and this connection is no longer trusted.
  if (socket_->waitReadable(0) != platform::WaitResult::TimedOut) throw CommError("Send request error");
  size_t sent = 0;
  while (sent < requestLength_) {
    const size_t n = socket_->sendAll(request_.data() + sent, std::min(kChunk, requestLength_ - sent));
    sent += n;
    if (sent > 0) bytesLeft_ = true;
    if (n == 0) break;
  }
  if (sent != requestLength_) throw CommError("Send request error");
  if (remoteTrace_)
    Trace("Send request - Code: " + std::string(GetRequestName(requestCode_)) + " Size: " +
          std::to_string(requestLength_) + " Total Time: " + std::to_string(elapsedMs(start)) + " msecs");
}

void TDataSession::ReceiveReply() {
  const auto start = std::chrono::steady_clock::now();
  const int waitMs = int(std::min<uint64_t>(uint64_t(timeOut_) * 1000, INT32_MAX));
  // Reads exactly `size` bytes; a server silent for a whole wait ends the reply.
  auto readExactly = [&](uint8_t* to, size_t size) {
    size_t got = 0;
    while (got < size) {
      if (!socket_ || !socket_->isOpen()) throw CommError("Receive reply error");
      const platform::WaitResult w = socket_->waitReadable(waitMs);
      if (w == platform::WaitResult::TimedOut)
        throw CommError("Receive reply error: no answer within " + std::to_string(timeOut_) + " seconds");
      const long n =
          w == platform::WaitResult::Ready ? socket_->receive(to + got, std::min(kChunk, size - got)) : -1;
      if (n <= 0) throw CommError("Receive reply error");
      got += size_t(n);
    }
  };
  uint8_t head[4];
  readExactly(head, 4);
  const uint32_t total = platform::get4(head);
  if (total < kMessageHeaderSize || total > kMaxRemoteMessage)
    throw CommError("Receive reply error: bad message length");
  // The buffer grows with what arrives, not with what the length claims.
  reserveFor(reply_, std::min<size_t>(total, kChunk));
  std::memcpy(reply_.data(), head, 4);
  for (size_t got = 4; got < total;) {
    const size_t part = std::min(kChunk, total - got);
    reserveFor(reply_, got + part);
    readExactly(reply_.data() + got, part);
    got += part;
  }
  replyCode_ = platform::get2(reply_.data() + kMessageCodeOffset);
  const uint32_t payload = platform::get4(reply_.data() + kMessagePayloadSizeOffset);
  if (payload != total - kMessageHeaderSize) throw CommError("Receive reply error: bad payload length");
  replyTotal_ = total;
  replyPos_ = kMessageHeaderSize;
  if (!lan_ && !inHandshake_) {
    std::vector<uint8_t> plain;
    const auto status = platform::inflateBuffer(reply_.data() + kMessageHeaderSize, payload,
                                                kMaxRemoteMessage - kMessageHeaderSize, plain);
    if (status != platform::InflateStatus::Ok) {
      replyTotal_ = replyPos_ = 0;
      SignalEngineError(VELDOR_UNCOMPRESS);
    }
    reserveFor(reply_, kMessageHeaderSize + plain.size());
    if (!plain.empty()) std::memcpy(reply_.data() + kMessageHeaderSize, plain.data(), plain.size());
    replyTotal_ = kMessageHeaderSize + plain.size();
    platform::put4(reply_.data(), uint32_t(replyTotal_));
    platform::put4(reply_.data() + kMessagePayloadSizeOffset, uint32_t(plain.size()));
  }
  if (remoteTrace_)
    Trace("Receive reply - Code: " + std::string(GetEngineErrorName(replyCode_)) + " Size: " +
          std::to_string(replyTotal_) + " Total Time: " + std::to_string(elapsedMs(start)) + " msecs");
}

void TDataSession::ExchangeWith(const std::function<void()>& exchange) {
  // Whatever ends an exchange with a failure (a lost connection, a damaged reply, a failing
  // callback) leaves the connection out of step with the server, which has the request.
  UndoOnFailure disconnect([this] { Disconnect(); });
  try {
    exchange();
    disconnect.Dismiss();
    return;
  } catch (const CommError&) {
    // The server may have acted on the request; running it again could apply it twice.
    if (bytesLeft_) RaiseRemote(VELDOR_REMOTECOMMLOST, remoteUser_);
  }
  Reconnect();
  try {
    exchange();
  } catch (const CommError&) {
    RaiseRemote(VELDOR_REMOTECOMMLOST, remoteUser_);
  }
  disconnect.Dismiss();
}

void TDataSession::Exchange() {
  ExchangeWith([this] {
    SendRequest();
    ReceiveReply();
  });
}

// ---- Reading a reply ----

std::span<const uint8_t> TDataSession::ReadReplyParam(uint32_t maxLength) {
  if (replyTotal_ < 4 || replyPos_ > replyTotal_ - 4) SignalEngineError(VELDOR_UNCOMPRESS);
  const uint32_t n = platform::get4(reply_.data() + replyPos_);
  if (n > maxLength || n > replyTotal_ - replyPos_ - 4) SignalEngineError(VELDOR_UNCOMPRESS);
  std::span<const uint8_t> value(reply_.data() + replyPos_ + 4, n);
  replyPos_ += 4 + size_t(n);
  return value;
}

uint8_t TDataSession::ReadReplyU8() {
  const auto p = ReadReplyParam(1);
  return p.empty() ? 0 : p[0];
}

uint16_t TDataSession::ReadReplyU16() {
  const auto p = ReadReplyParam(2);
  uint8_t b[2] = {};
  std::memcpy(b, p.data(), p.size());
  return platform::get2(b);
}

uint32_t TDataSession::ReadReplyU32() {
  const auto p = ReadReplyParam(4);
  uint8_t b[4] = {};
  std::memcpy(b, p.data(), p.size());
  return platform::get4(b);
}

int64_t TDataSession::ReadReplyI64() {
  const auto p = ReadReplyParam(8);
  uint8_t b[8] = {};
  std::memcpy(b, p.data(), p.size());
  return int64_t(platform::get8(b));
}

std::string TDataSession::ReadReplyText() {
  const auto p = ReadReplyParam(kEngineStringMax);
  return std::string(reinterpret_cast<const char*>(p.data()), p.size());
}

void TDataSession::CheckReplyError() {
  if (replyCode_ == 0) return;
  std::string texts[6];
  for (auto& t : texts) t = ReadReplyText();
  SignalEngineError(replyCode_, ServerName(), texts[0], texts[1], texts[2], texts[3], texts[4], texts[5]);
}

// ---- Connection ----

void TDataSession::openConnection(bool reconnect) {
  const auto start = std::chrono::steady_clock::now();
  const std::string service = remoteService_.empty() ? std::to_string(remotePort_) : remoteService_;
  const std::string host = remoteHost_.empty() ? remoteAddress_ : remoteHost_;
  const int waitMs = int(std::min<uint64_t>(uint64_t(timeOut_) * 1000, INT32_MAX));
  try {
    socket_ =
        std::make_unique<platform::TcpConnection>(platform::TcpConnection::connect(host, service, waitMs));
  } catch (const platform::TcpError&) {
    socket_.reset();
    RaiseRemote(VELDOR_REMOTECONNECT);
  }
  connected_ = true;
  if (remoteTrace_) {
    std::string line = reconnect ? "Re-connection to " : "Connection to ";
    line += remoteService_.empty() ? "port " + std::to_string(remotePort_) : "service " + remoteService_;
    Trace(line + " at host " + host + " completed in " + std::to_string(elapsedMs(start)) + " msecs");
  }
  inHandshake_ = true;
  ScopeExit end([this] { inHandshake_ = false; });
  try {
    SetRequestCode(reconnect ? REQUEST_RECONNECT : REQUEST_CONNECTPARAMS);
    BeginRequest();
    WriteRequestI64(kClientVersion);
    if (reconnect) {
      WriteRequestU32(sessionId_);
      WriteRequestU8(lan_);
    } else {
      WriteRequestU8(lan_);
      WriteRequestText(platform::computerName(15) + std::to_string(platform::currentProcessId()));
    }
    EndRequest();
    SendRequest();
    ReceiveReply();
  } catch (const std::exception&) {
    Disconnect();
    RaiseRemote(VELDOR_REMOTECONNECT);
  }
  if (replyCode_ != 0) {
    Disconnect();
    RaiseRemote(replyCode_);
  }
}

void TDataSession::Connect() {
  if (connected_) return;
  sessionId_ = 0;
  openConnection(false);
  try {
    sessionId_ = ReadReplyU32();
    serverVersion_ = ReplyParamsLeft() ? ReadReplyI64() : kDefaultServerVersion;
  } catch (const std::exception&) {
    Disconnect();
    RaiseRemote(VELDOR_REMOTECONNECT);
  }
}

void TDataSession::Reconnect() {
  Disconnect();
  // The request being built waits aside while the reconnect request uses the buffer.
  std::vector<uint8_t> pending(request_.begin(), request_.begin() + requestLength_);
  const uint16_t pendingCode = requestCode_;
  ScopeExit restore([&] {
    reserveFor(request_, pending.size());
    std::copy(pending.begin(), pending.end(), request_.begin());
    requestLength_ = pending.size();
    requestCode_ = pendingCode;
    // The set-aside copy may hold a password.
    std::fill(pending.begin(), pending.end(), 0);
  });
  openConnection(true);
}

void TDataSession::Disconnect() {
  if (socket_) socket_->close();
  socket_.reset();
  connected_ = false;
}

void TDataSession::AttachConnection(std::unique_ptr<platform::TcpConnection> connection) {
  Disconnect();
  socket_ = std::move(connection);
  connected_ = socket_ && socket_->isOpen();
}

void TDataSession::EnsureConnected() {
  if (!connected_) Reconnect();
}

void TDataSession::Login() {
  int invalid = 0;
  for (;;) {
    std::string user = remoteUser_;
    std::string password = remotePassword_;
    const bool preset = !user.empty() && !password.empty();
    if (!preset) {
      const bool given = remoteLoginEvent_ && remoteLoginEvent_(user, password);
      if (!given) {
        Disconnect();
        RaiseRemote(VELDOR_REMOTECONNECT, user);
      }
      user = EngineString(user);
      password = EngineString(password);
    }
    SetRequestCode(REQUEST_LOGIN);
    BeginRequest();
    WriteRequestText(user);
    WriteRequestText(password);
    std::fill(password.begin(), password.end(), '\0');
    EndRequest();
    try {
      SendRequest();
      ReceiveReply();
    } catch (const std::exception&) {
      Disconnect();
      RaiseRemote(VELDOR_REMOTECONNECT, user);
    }
    // The password is in the request buffer only until the reply is in.
    std::fill(request_.begin(), request_.begin() + requestLength_, 0);
    if (replyCode_ == 0) {
      remoteUser_ = user;
      return;
    }
    if (replyCode_ != VELDOR_REMOTEINVLOGIN) {
      Disconnect();
      RaiseRemote(replyCode_, user);
    }
    if (preset) {
      SetRemoteUser("");
      SetRemotePassword("");
      continue;
    }
    if (++invalid == kMaxLoginTries) {
      Disconnect();
      RaiseRemote(VELDOR_REMOTEINVLOGIN, user);
    }
  }
}

void TDataSession::Logout() {
  if (!connected_) return;
  SetRequestCode(REQUEST_LOGOUT);
  BeginRequest();
  EndRequest();
  try {
    SendRequest();
  } catch (const std::exception&) {
    // The session ends either way.
  }
  Disconnect();
}

void TDataSession::SendSessionParams() {
  if (!connected_) return;
  SetRequestCode(REQUEST_SESSIONPARAMS);
  BeginRequest();
  WriteRequestU8(forceBufferFlush_);
  WriteRequestU8(strictChangeDetection_);
  WriteRequestU8(lockRetryCount_);
  WriteRequestU16(lockWaitTime_);
  if (serverVersion_ >= kLockProtocolServerVersion) WriteRequestU8(lockProtocol_);
  WriteRequestU16(progressSteps_);
  EndRequest();
  Exchange();
  CheckReplyError();
}

}  // namespace engine
