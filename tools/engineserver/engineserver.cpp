#include "tools/engineserver/engineserver.h"

#include "tools/engineserver/engineserver_nav.h"

#include <algorithm>
#include <filesystem>
#include <span>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorprotocol.h"
#include "engine/tables/veldorsession.h"
#include "platform/bytes.h"
#include "platform/zlibbuffer.h"
#include "tools/engineserver/engineserver_wire.h"

namespace engineserver {
namespace {

using namespace engine;

// The most records one block request may ask for.
constexpr uint32_t kMaxBlockRecords = 4096;

Reply errorReply(uint16_t code, const std::string (&texts)[6]) {
  Reply r;
  r.code = code;
  for (const auto& t : texts) r.text(t);
  return r;
}

bool sendReply(platform::TcpConnection& connection, Reply& reply, bool compress) {
  std::vector<uint8_t> body = reply.payload;
  if (compress && !platform::deflateBuffer(reply.payload.data(), reply.payload.size(), body)) return false;
  std::vector<uint8_t> message(kMessageHeaderSize + body.size());
  platform::put4(message.data(), uint32_t(message.size()));
  platform::put2(message.data() + kMessageCodeOffset, reply.code);
  platform::put4(message.data() + kMessagePayloadSizeOffset, uint32_t(body.size()));
  std::copy(body.begin(), body.end(), message.begin() + kMessageHeaderSize);
  return connection.sendAll(message.data(), message.size()) == message.size();
}

}  // namespace

namespace {

// Sends a callback message and waits for the client's answer to it.
std::vector<std::vector<uint8_t>> callbackOn(platform::TcpConnection& connection, const Reply& callback,
                                             bool lan) {
  Reply message = callback;
  message.code = VELDOR_REMOTECALLBACK;
  std::vector<uint8_t> answer;
  if (!sendReply(connection, message, !lan) || !readMessage(connection, answer, 5000)) throw CallbackLost{};
  if (platform::get2(answer.data() + kMessageCodeOffset) != REQUEST_CALLBACKRESPONSE) throw CallbackLost{};
  std::vector<uint8_t> payload(answer.begin() + kMessageHeaderSize, answer.end());
  if (!lan) {
    std::vector<uint8_t> inflated;
    if (platform::inflateBuffer(payload.data(), payload.size(), size_t(1) << 20, inflated) !=
        platform::InflateStatus::Ok)
      throw CallbackLost{};
    payload.swap(inflated);
  }
  try {
    const Params p(payload);
    std::vector<std::vector<uint8_t>> params;
    for (size_t i = 0; i < p.count(); ++i) params.emplace_back(p.at(i).begin(), p.at(i).end());
    return params;
  } catch (const BadRequest&) {
    throw CallbackLost{};
  }
}

}  // namespace

bool readMessage(platform::TcpConnection& connection, std::vector<uint8_t>& message, int timeoutMs,
                 size_t maxSize) {
  auto readExactly = [&](uint8_t* to, size_t size) {
    for (size_t got = 0; got < size;) {
      if (connection.waitReadable(timeoutMs) != platform::WaitResult::Ready) return false;
      const long n = connection.receive(to + got, size - got);
      if (n <= 0) return false;
      got += size_t(n);
    }
    return true;
  };
  message.resize(4);
  if (!readExactly(message.data(), 4)) return false;
  const uint32_t total = platform::get4(message.data());
  if (total < kMessageHeaderSize || total > maxSize) return false;
  message.resize(total);
  return readExactly(message.data() + 4, total - 4);
}

struct EngineServer::Session {
  std::mutex mutex;
  TDataSession local{0};
  bool loggedIn = false;
  std::map<uint32_t, TDataDirectory*> directories;
  std::map<uint32_t, std::unique_ptr<TDataCursor>> cursors;
  uint32_t nextHandle = 1;
  DataState data;
  // Declared after the cursors and directories: statements go first.
  StatementState statements;

  TDataCursor& cursor(uint32_t handle) {
    auto it = cursors.find(handle);
    if (it != cursors.end()) return *it->second;
    auto result = statements.results.find(handle);
    if (result == statements.results.end()) SignalEngineError(VELDOR_REMOTEINVREQUEST);
    return *result->second;
  }
  // The cursor `handle` named for a table operation of the request.
  TDataCursor& named(const Params& p) {
    TDataCursor& c = cursor(p.u32(0));
    c.SetTableName(p.text(1));
    c.SetInMemory(p.u8(2));
    return c;
  }

  TDataDirectory& directory(uint32_t handle) {
    auto it = directories.find(handle);
    if (it == directories.end()) SignalEngineError(VELDOR_REMOTEINVREQUEST);
    return *it->second;
  }
};

EngineServer::EngineServer(std::string root, std::map<std::string, std::string> users, int64_t serverVersion)
    : root_(std::move(root)), users_(std::move(users)), serverVersion_(serverVersion) {
  acceptor_ = std::jthread([this](std::stop_token stop) { acceptLoop(stop); });
}

EngineServer::~EngineServer() {
  acceptor_.request_stop();
  listener_.shutdown();
  acceptor_ = {};
  for (auto& c : connections_) c.request_stop();
  connections_.clear();
}

int EngineServer::handled(uint16_t code) const {
  std::lock_guard lock(mutex_);
  auto it = handled_.find(code);
  return it == handled_.end() ? 0 : it->second;
}

size_t EngineServer::passwordCount(uint32_t sessionId) {
  std::shared_ptr<Session> s;
  {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(sessionId);
    if (it == sessions_.end()) return 0;
    s = it->second;
  }
  std::lock_guard lock(s->mutex);
  return s->local.PasswordCount();
}

void EngineServer::acceptLoop(std::stop_token stop) {
  while (!stop.stop_requested()) {
    platform::TcpConnection c = listener_.accept(200);
    if (!c.isOpen()) continue;
    std::lock_guard lock(mutex_);
    connections_.emplace_back(
        [this, conn = std::move(c)](std::stop_token s) mutable { serve(std::move(conn), s); });
  }
}

void EngineServer::serve(platform::TcpConnection connection, std::stop_token stop) {
  std::shared_ptr<Session> session;
  bool lan = true;
  std::vector<uint8_t> message;
  while (!stop.stop_requested()) {
    if (connection.waitReadable(100) == platform::WaitResult::TimedOut) continue;
    if (!readMessage(connection, message, 5000)) return;
    const uint16_t code = platform::get2(message.data() + kMessageCodeOffset);
    const bool plain = code == REQUEST_CONNECTPARAMS || code == REQUEST_RECONNECT;
    std::vector<uint8_t> payload(message.begin() + kMessageHeaderSize, message.end());
    if (!lan && !plain) {
      std::vector<uint8_t> inflated;
      if (platform::inflateBuffer(payload.data(), payload.size(), size_t(256) << 20, inflated) !=
          platform::InflateStatus::Ok)
        return;
      payload.swap(inflated);
    }
    Reply reply;
    std::unique_lock<std::mutex> sessionLock;
    try {
      const Params p(payload);
      if (code == REQUEST_CONNECTPARAMS) {
        lan = p.u8(1) != 0;
        std::lock_guard lock(mutex_);
        const uint32_t id = nextSessionId_++;
        session = std::make_shared<Session>();
        sessions_[id] = session;
        reply.u32(id);
        if (serverVersion_ != 0) reply.i64(serverVersion_);
      } else if (code == REQUEST_RECONNECT) {
        lan = p.u8(2) != 0;
        std::lock_guard lock(mutex_);
        auto it = sessions_.find(p.u32(1));
        if (it == sessions_.end()) SignalEngineError(VELDOR_REMOTEINVREQUEST);
        session = it->second;
      } else {
        if (!session) SignalEngineError(VELDOR_REMOTENOLOGIN);
        sessionLock = std::unique_lock(session->mutex);
        session->data.channel = [&](const Reply& callback) { return callbackOn(connection, callback, lan); };
        session->data.notice = [&](const Reply& callback) {
          Reply message = callback;
          message.code = VELDOR_REMOTECALLBACK;
          if (!sendReply(connection, message, !lan)) throw CallbackLost{};
        };
        TDataSession& local = session->local;
        if (code == REQUEST_LOGIN) {
          auto it = users_.find(p.text(0));
          session->loggedIn = it != users_.end() && it->second == p.text(1);
          if (!session->loggedIn) SignalEngineError(VELDOR_REMOTEINVLOGIN);
        } else if (code == REQUEST_LOGOUT) {
          std::lock_guard lock(mutex_);
          std::erase_if(sessions_, [&](const auto& e) { return e.second == session; });
          return;
        } else if (!session->loggedIn) {
          SignalEngineError(VELDOR_REMOTENOLOGIN);
        }
        // Keys, ranges and positioning (engineserver_nav.cpp), and the seek of positioned requests.
        const NavSession nav{[&](uint32_t h) -> TDataCursor& { return session->cursor(h); },
                             [&](std::unique_ptr<TDataCursor> c) {
                               session->cursors[session->nextHandle] = std::move(c);
                               return session->nextHandle++;
                             }};
        RequestParams navParams;
        for (size_t i = 0; i < p.count(); ++i) navParams.push_back(p.at(i));
        seekRequestPosition(code, navParams, nav);
        switch (code) {
          case REQUEST_LOGIN:
            break;
          case REQUEST_SESSIONPARAMS: {
            const bool withProtocol = p.count() == 6;
            local.SetForceBufferFlush(p.u8(0));
            local.SetStrictChangeDetection(p.u8(1));
            local.SetLockRetryCount(p.u8(2));
            local.SetLockWaitTime(p.u16(3));
            if (withProtocol) local.SetLockProtocol(TLockProtocol(p.u8(4)));
            local.SetProgressSteps(p.u16(withProtocol ? 5 : 4));
            break;
          }
          case REQUEST_OPENDATADIR: {
            const std::string name = p.text(0);
            if (name.empty() || name.find_first_of("/\\") != std::string::npos ||
                name.find("..") != std::string::npos)
              SignalEngineError(VELDOR_REMOTEINVDB);
            const std::filesystem::path folder = std::filesystem::path(root_) / name;
            std::filesystem::create_directories(folder);
            TDataDirectory* d = local.OpenDataDirectory(name, folder.string());
            const uint32_t handle = session->nextHandle++;
            session->directories[handle] = d;
            reply.u32(handle);
            break;
          }
          case REQUEST_CLOSEDATADIR: {
            TDataDirectory& d = session->directory(p.u32(0));
            session->directories.erase(p.u32(0));
            std::erase_if(session->cursors, [&](const auto& c) { return &c.second->Directory() == &d; });
            local.CloseDataDirectory(&d);
            break;
          }
          case REQUEST_ADDPASSWORD:
            local.AddPassword(p.text(0));
            break;
          case REQUEST_DELPASSWORD:
            local.RemovePassword(p.text(0));
            break;
          case REQUEST_DELALLPASSWORDS:
            local.RemoveAllPasswords();
            break;
          case REQUEST_STARTTXN:
            session->directory(p.u32(0)).StartTransaction();
            break;
          case REQUEST_COMMITTXN:
            session->directory(p.u32(0)).Commit(p.u8(1), p.u8(2));
            break;
          case REQUEST_ROLLBACKTXN:
            session->directory(p.u32(0)).Rollback();
            break;
          case REQUEST_TABLEEXISTS:
            reply.u8(session->directory(p.u32(0)).TableExists(p.text(1), p.u8(2)));
            break;
          case REQUEST_CREATECURSOR: {
            const uint32_t handle = session->nextHandle++;
            session->cursors[handle] = std::make_unique<TDataCursor>(session->directory(p.u32(0)));
            reply.u32(handle);
            break;
          }
          case REQUEST_FREECURSOR:
            session->cursors.erase(p.u32(0));
            break;
          case REQUEST_CREATESTMT:
          case REQUEST_PREPARESTMT:
          case REQUEST_SETSTMTPARAMS:
          case REQUEST_EXECUTESTMT:
          case REQUEST_FREESTMT:
            serveStatement(
                code, p, reply, session->statements, session->data,
                [&](uint32_t h) -> TDataDirectory& { return session->directory(h); }, session->nextHandle,
                serverVersion_);
            break;
          case REQUEST_DELETETABLE:
            session->named(p).DeleteTable();
            break;
          case REQUEST_RENAMETABLE:
            session->named(p).RenameTable(p.text(3));
            break;
          case REQUEST_CREATETABLE: {
            TDataCursor& c = session->named(p);
            c.SetTemporary(p.u8(3));
            c.SetExclusive(true);
            TCreateTableArgs a;
            std::vector<std::string> stopWords;
            const size_t at = readTableDefinition(p, 4, a, stopWords, serverVersion_);
            a.NoPrimaryIndex = p.u8(at);
            a.Overwrite = p.u8(at + 1);
            c.CreateTable(a);
            break;
          }
          case REQUEST_OPENCURSOR: {
            TDataCursor& c = session->cursor(p.u32(0));
            // A statement's result is open already: the client takes it as it stands.
            if (!session->statements.isResult(p.u32(0))) {
              c.SetTableName(p.text(1));
              c.SetExclusive(p.u8(2));
              c.SetReadOnly(p.u8(3));
              c.SetInMemory(p.u8(4));
              c.Open();
            }
            if (c.OpenReplyCarriesHeaders(serverVersion_)) {
              TDataTable::RemoteReply headers;
              c.Table()->WriteRemoteHeaders(headers, serverVersion_);
              addParams(reply, headers);
            }
            addCursorState(reply, c);
            reply.u8(c.CurrentIndex());
            break;
          }
          case REQUEST_SETTOBEGIN:
          case REQUEST_SETTOEND: {
            TDataCursor& c = session->cursor(p.u32(0));
            code == REQUEST_SETTOBEGIN ? c.SetToBegin() : c.SetToEnd();
            addCursorState(reply, c);
            break;
          }
          case REQUEST_SETTORECNO: {
            TDataCursor& c = session->cursor(p.u32(0));
            c.SetToRecNo(int32_t(p.u32(1)));
            addCursorState(reply, c);
            break;
          }
          case REQUEST_READRECORDBLOCK: {
            TDataCursor& c = session->cursor(p.u32(0));
            uint32_t count = p.u32(4);
            if (count > kMaxBlockRecords) throw BadRequest{};
            std::vector<uint8_t> records(size_t(count) * c.RecordSize());
            const uint16_t result = c.ReadRecordBlock(count, records.data());
            reply.u16(result);
            addCursorState(reply, c);
            reply.u32(count).bytes(records.data(), size_t(count) * c.RecordSize());
            break;
          }
          case REQUEST_GETCURRECORD: {
            TDataCursor& c = session->cursor(p.u32(0));
            std::vector<uint8_t> record = recordOf(p, 4, c);
            reply.u16(c.GetCurrentRecord(record.data(), p.u8(5)));
            addCursorState(reply, c);
            reply.bytes(record.data(), record.size());
            break;
          }
          case REQUEST_GETNEXTRECORD:
          case REQUEST_GETPRIORRECORD: {
            TDataCursor& c = session->cursor(p.u32(0));
            std::vector<uint8_t> record(c.RecordSize());
            for (uint32_t n = std::max<uint32_t>(1, p.u32(4)); n > 0; --n) {
              const uint16_t result = code == REQUEST_GETNEXTRECORD ? c.GetNextRecord(record.data())
                                                                    : c.GetPriorRecord(record.data());
              reply.u16(result);
              addCursorState(reply, c);
              reply.bytes(record.data(), record.size());
              if (result != 0) break;
            }
            break;
          }
          case REQUEST_APPENDRECORD:
          case REQUEST_MODIFYRECORD:
          case REQUEST_DELETERECORD: {
            TDataCursor& c = session->cursor(p.u32(0));
            std::vector<uint8_t> record = recordOf(p, 4, c);
            if (code == REQUEST_APPENDRECORD) c.AppendRecord(record.data(), p.u8(5));
            if (code == REQUEST_MODIFYRECORD) c.ModifyRecord(record.data(), p.u8(5), p.u8(6));
            if (code == REQUEST_DELETERECORD) c.DeleteRecord(record.data(), p.u8(5));
            addCursorState(reply, c);
            break;
          }
          case REQUEST_CANCELRECORD: {
            TDataCursor& c = session->cursor(p.u32(0));
            c.CancelRecord();
            addCursorState(reply, c);
            break;
          }
          case REQUEST_CLOSECURSOR:
            if (!session->statements.isResult(p.u32(0))) session->cursor(p.u32(0)).Close(false);
            break;
          case REQUEST_GETDATAHEADER: {
            const auto header = session->named(p).GetDataHeader();
            reply.bytes(header.data(), header.size());
            break;
          }
          default: {
            if (serveData(
                    code, p, reply, session->data,
                    [&](uint32_t h) -> TDataCursor& { return session->cursor(h); }, serverVersion_))
              break;
            TCursorRequest navReply;
            if (!serveNavigation(code, navParams, nav, navReply)) SignalEngineError(VELDOR_REMOTEINVREQUEST);
            addParams(reply, navReply.params);
          }
        }
      }
    } catch (const EVELDOREngineError& e) {
      reply = errorReply(e.ErrorCode(), {e.Item(1), e.Item(2), e.Item(3), e.Item(4), e.Item(5), e.Item(6)});
    } catch (const CallbackLost&) {
      return;
    } catch (const BadRequest&) {
      reply = errorReply(VELDOR_REMOTEINVREQUEST, {});
    } catch (const std::exception& e) {
      reply = errorReply(VELDOR_REMOTEUNKNOWN, {"", "", "", "", "", e.what()});
    }
    {
      std::lock_guard lock(mutex_);
      ++handled_[code];
    }
    // The channel names this connection: no callback may reach it once the request is done.
    if (session) session->data.channel = {}, session->data.notice = {};
    sessionLock = {};
    if (!sendReply(connection, reply, !lan && !plain)) return;
  }
}

}  // namespace engineserver
