// Statements on an engine server: the text, the parameters and each run go to the server as
// requests, and a SELECT's result is read through a remote cursor on the server's result.
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/bytes.h"

namespace engine::sql {

namespace {

constexpr uint16_t kPasswordCallback = 11;
constexpr uint16_t kProgressCallback = 12;
constexpr uint16_t kPreparedCallback = 13;
constexpr uint16_t kMessageCallback = 14;
constexpr char kRemoteResultDirectory[] = "Remote_Query";

void answer(TDataSession& session, uint8_t byte) {
  session.SetRequestCode(REQUEST_CALLBACKRESPONSE);
  session.BeginRequest();
  session.WriteRequestU8(byte);
  session.EndRequest();
  session.SendRequest();
}

uint8_t byteAt(const TCursorReply& reply, size_t at) {
  if (at >= reply.size() || reply[at].size() != 1) RaiseEngineError(VELDOR_REMOTEINVREQUEST);
  return reply[at][0];
}

}  // namespace

TCursorReply TQueryStatement::remoteExchange(uint16_t code,
                                             const std::function<void(TDataSession&)>& params) {
  TDataSession& s = Session();
  s.EnsureConnected();
  s.SetRequestCode(code);
  s.BeginRequest();
  if (params) params(s);
  s.EndRequest();
  // Sent again only when none of its bytes left: the server never runs a statement twice.
  s.ExchangeWith([&] {
    s.SendRequest();
    for (;;) {
      s.ReceiveReply();
      if (s.GetReplyCode() != VELDOR_REMOTECALLBACK) break;
      const uint16_t kind = s.ReadReplyU16();
      const uint32_t handle = s.ReadReplyU32();
      if (handle != Handle) s.RaiseRemote(VELDOR_REMOTECALLBACKERR);
      switch (kind) {
        case kPasswordCallback:
          // The component's callback adds the password to the session when the user gives one.
          answer(s, passwordCallback_ && RemoteResultCursor ? passwordCallback_(*RemoteResultCursor) : 0);
          break;
        case kProgressCallback: {
          const uint16_t percent = s.ReadReplyU16();
          s.ReadReplyU16();
          bool abort = false;
          if (progressCallback_) progressCallback_(percent, abort);
          answer(s, abort);
          break;
        }
        case kPreparedCallback:
          Kind = s.ReadReplyU8();
          Live = s.ReadReplyU8();
          ResultOnSourceTable = s.ReadReplyU8();
          if (s.ServerVersion() >= 30600) SelectStar = s.ReadReplyU8();
          if (preparedCallback_) preparedCallback_(Kind, SelectStar, ResultOnSourceTable, Live);
          break;
        case kMessageCallback: {
          const uint32_t message = s.ReadReplyU32();
          if (messageCallback_) messageCallback_(message);
          break;
        }
        default:
          break;
      }
    }
  });
  s.CheckReplyError();
  TCursorReply reply;
  while (s.ReplyParamsLeft()) {
    const auto p = s.ReadReplyParam();
    reply.emplace_back(p.begin(), p.end());
  }
  return reply;
}

void TQueryStatement::remoteCreate() {
  const TCursorReply reply = remoteExchange(
      REQUEST_CREATESTMT, [&](TDataSession& s) { s.WriteRequestU32(Database().RemoteHandle()); });
  if (reply.empty() || reply[0].size() != 4) RaiseEngineError(VELDOR_REMOTEINVREQUEST);
  Handle = platform::get4(reply[0].data());
}

void TQueryStatement::remoteFree() {
  closeRemoteResult();
  if (!Handle) return;
  remoteExchange(REQUEST_FREESTMT, [&](TDataSession& s) { s.WriteRequestU32(Handle); });
  Handle = 0;
}

void TQueryStatement::closeRemoteResult() {
  RemoteResultCursor.reset();
  if (RemoteResultDirectory) Session().CloseDataDirectory(RemoteResultDirectory);
  RemoteResultDirectory = nullptr;
}

void TQueryStatement::remotePrepare(std::string_view sql) {
  const int64_t version = Session().ServerVersion();
  const TCursorReply reply = remoteExchange(REQUEST_PREPARESTMT, [&](TDataSession& s) {
    s.WriteRequestU32(Handle);
    s.WriteRequestU32(uint32_t(sql.size()));
    // The text is no engine string: it goes whole, its length before it.
    s.WriteRequestParam(sql.data(), uint32_t(sql.size()));
    s.WriteRequestU8(RequestLive);
    s.WriteRequestU32(uint32_t(MaxRowCount));
  });
  size_t at = 0;
  Kind = byteAt(reply, at++);
  Live = byteAt(reply, at++);
  ResultOnSourceTable = byteAt(reply, at++);
  if (version >= 30600) SelectStar = byteAt(reply, at++);
  if (version >= 30900 && Kind == qkSelect) openRemoteResult(reply, at);
}

void TQueryStatement::openRemoteResult(const TCursorReply& reply, size_t& at) {
  const int64_t version = Session().ServerVersion();
  closeRemoteResult();
  std::string directory = kRemoteResultDirectory;
  if (version >= 30600 && Live) {
    if (at >= reply.size()) RaiseEngineError(VELDOR_REMOTEINVREQUEST);
    directory.assign(reply[at].begin(), reply[at].end());
    ++at;
    RemoteResultName = directory;
  }
  RemoteResultDirectory = Session().OpenDataDirectory(directory, "");
  RemoteResultCursor = std::make_unique<TDataCursor>(*RemoteResultDirectory, true);
  RemoteResultCursor->ReadCursorReply(reply, at);
  RemoteResultCursor->Open();
  if (Live && !(version >= 30600 && SelectStar)) RemoteResultCursor->ReadFieldDescs(reply, at, version);
}

TDataCursor* TQueryStatement::remoteExecute() {
  const int64_t version = Session().ServerVersion();
  auto writeParams = [&](TDataSession& s) {
    // The parameter block: a count, a descriptor each, then each value (its flag byte first);
    // a blob's bytes follow as an item of their own.
    uint16_t count = 0;
    for (size_t i = 0; i < paramValues_.size(); ++i)
      if (paramValues_[i].given) count = uint16_t(i + 1);
    s.WriteRequestU16(count);
    std::vector<std::vector<uint8_t>> values(count);
    // A blob's bytes as a local caller gives them: the server takes a memo's last zero byte for
    // its terminator, as SetParams does, so a memo goes with one; its own zero bytes stay its own.
    std::vector<std::vector<uint8_t>> blobBytes(count);
    uint16_t offset = 0;
    for (uint16_t i = 0; i < count; ++i) {
      const TParamValue& p = paramValues_[i];
      const bool blob = p.type == TEngineFieldType::Blob;
      std::vector<uint8_t>& v = values[i];
      v.push_back(p.given && !p.isNull);
      if (blob) {
        blobBytes[i] = p.bytes;
        if (p.subType == TEngineFieldSubType::Memo) blobBytes[i].push_back(0);
        uint8_t word[4];
        platform::put4(word, uint32_t(blobBytes[i].size()));
        v.insert(v.end(), word, word + 4);
        v.insert(v.end(), 4, uint8_t(0));  // the address a local caller's buffer would hold
      } else {
        v.insert(v.end(), p.bytes.begin(), p.bytes.end());
      }
      TFieldDescriptor d;
      d.SetFieldNumber(uint16_t(i + 1));
      d.SetType(uint8_t(p.type));
      d.SetSubType(uint8_t(p.subType));
      d.SetScale(p.scale);
      d.SetStoredSize(uint8_t(blob ? 8 : p.bytes.size()));
      d.SetOffset(offset);
      offset = uint16_t(offset + v.size());
      s.WriteRequestParam(d.Bytes(), uint32_t(kFieldDescriptorSize));
    }
    for (uint16_t i = 0; i < count; ++i) {
      s.WriteRequestParam(values[i].data(), uint32_t(values[i].size()));
      if (paramValues_[i].type == TEngineFieldType::Blob)
        s.WriteRequestParam(blobBytes[i].data(), uint32_t(blobBytes[i].size()));
    }
  };
  if (version < 30900)
    remoteExchange(REQUEST_SETSTMTPARAMS, [&](TDataSession& s) {
      s.WriteRequestU32(Handle);
      writeParams(s);
    });
  const TCursorReply reply = remoteExchange(REQUEST_EXECUTESTMT, [&](TDataSession& s) {
    s.WriteRequestU32(Handle);
    if (version >= 30900) writeParams(s);
    s.WriteRequestU8(progressCallback_ ? 1 : 0);
  });
  if (reply.size() < 2 || reply[0].size() != 8 || reply[1].size() != 4)
    RaiseEngineError(VELDOR_REMOTEINVREQUEST);
  uint64_t seconds = platform::get8(reply[0].data());
  std::memcpy(&ElapsedSeconds, &seconds, 8);
  RowsAffected = int32_t(platform::get4(reply[1].data()));
  if (Kind != qkSelect) return nullptr;
  if (version >= 30900) {
    if (!RemoteResultCursor) RaiseEngineError(VELDOR_REMOTEINVREQUEST);
    SessionCursorRequestPath().ReadCursorState(*RemoteResultCursor,
                                               TCursorReply(reply.begin() + 2, reply.end()));
  } else {
    size_t at = 2;
    openRemoteResult(reply, at);
  }
  return RemoteResultCursor.get();
}

}  // namespace engine::sql
