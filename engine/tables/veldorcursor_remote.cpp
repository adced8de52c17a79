// The request path of remote cursors: one request through the session's connection, the
// callbacks a server may make while it works on it, and the cursor state its replies carry.
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorfilter.h"
#include "engine/tables/veldorsession.h"
#include "platform/bytes.h"

namespace engine {
namespace {

constexpr size_t kIndexPathSize = 528;
constexpr size_t kMaxRemoteKey = 523;
constexpr size_t kCounterParams = 4;
constexpr size_t kCursorStateParams = 6 + kCounterParams;

void answer(TDataSession& session, std::initializer_list<uint8_t> bytes) {
  session.SetRequestCode(REQUEST_CALLBACKRESPONSE);
  session.BeginRequest();
  for (uint8_t b : bytes) session.WriteRequestU8(b);
  session.EndRequest();
  session.SendRequest();
}

// Serves callbacks until the reply proper arrives.
void HandleServerCallbacks(TDataCursor& cursor, TDataSession& session) {
  for (;;) {
    session.ReceiveReply();
    if (session.GetReplyCode() != VELDOR_REMOTECALLBACK) return;
    const uint16_t kind = session.ReadReplyU16();
    if (session.ReadReplyU32() != cursor.ServerCursor()) session.RaiseRemote(VELDOR_REMOTECALLBACKERR);
    switch (kind) {
      case kCallbackPassword: {
        const bool given = cursor.PasswordCallback() && cursor.PasswordCallback()(cursor);
        answer(session, {uint8_t(given)});
        break;
      }
      case kCallbackFilter: {
        const auto image = session.ReadReplyParam(cursor.RecordSize());
        std::vector<uint8_t> record(cursor.RecordSize(), 0);
        std::copy(image.begin(), image.end(), record.begin());
        const uint32_t value = session.ReadReplyU32();
        bool passes = false;
        for (const auto& f : cursor.Filters()) {
          if (!f->IsCallback()) continue;
          passes = f->Callback()(f->CallbackData(), cursor, record.data(), value);
          break;
        }
        answer(session, {uint8_t(passes)});
        break;
      }
      case kCallbackDataLost: {
        const uint8_t cause = session.ReadReplyU8();
        const std::string text = session.ReadReplyText();
        bool goOn = session.ReadReplyU8() != 0;
        bool stopAsking = session.ReadReplyU8() != 0;
        // A server's restructure asks here about each record or value it cannot carry over; the
        // hook decides from the server's flags, which also stand when no hook is set.
        if (cursor.DataLostHook())
          cursor.DataLostHook()(cursor, TRestructureCase(cause), text, goOn, stopAsking);
        answer(session, {uint8_t(goOn), uint8_t(stopAsking)});
        break;
      }
      default:
        // Progress and log callbacks need no answer.
        cursor.ServeEventCallback(kind, session);
        break;
    }
  }
}

// Position record, record number, visible count, the table's counters, key, at BOF, at EOF.
void readCursorState(TDataCursor& cursor, const TCursorReply& reply, size_t& at) {
  if (reply.size() < at + kCursorStateParams) cursor.Raise(VELDOR_UNCOMPRESS);
  const auto u32 = [&](size_t i) {
    if (reply[i].size() != 4) cursor.Raise(VELDOR_UNCOMPRESS);
    return platform::get4(reply[i].data());
  };
  const size_t first = at;
  if (reply[first].size() != kIndexPathSize) cursor.Raise(VELDOR_UNCOMPRESS);
  cursor.TakeRemotePositionRecord(reply[first]);
  at += 3;
  if (cursor.Table())
    cursor.Table()->LoadRemoteCounters(reply, at);
  else
    at += kCounterParams;
  if (reply[at].size() > kMaxRemoteKey || reply[at + 1].size() != 1 || reply[at + 2].size() != 1)
    cursor.Raise(VELDOR_UNCOMPRESS);
  cursor.TakeRemoteState(u32(first + 1), u32(first + 2), reply[at], reply[at + 1][0] != 0,
                         reply[at + 2][0] != 0);
  at += 3;
}

class SessionRequestPath final : public TCursorRequestPath {
 public:
  TCursorReply Exchange(TDataCursor& cursor, uint16_t code, const TCursorRequest& request) override {
    TDataSession& session = cursor.Session();
    session.EnsureConnected();
    session.SetRequestCode(code);
    session.BeginRequest();
    for (const auto& p : request.params) session.WriteRequestParam(p.data(), uint32_t(p.size()));
    session.EndRequest();
    session.ExchangeWith([&] {
      session.SendRequest();
      cursor.SetLastRequestHeader(session.RequestBytes().first(10));
      HandleServerCallbacks(cursor, session);
    });
    session.CheckReplyError();
    TCursorReply reply;
    while (session.ReplyParamsLeft()) {
      const auto p = session.ReadReplyParam();
      reply.emplace_back(p.begin(), p.end());
    }
    return reply;
  }

  void ReadCursorState(TDataCursor& cursor, const TCursorReply& reply) override {
    size_t at = 0;
    readCursorState(cursor, reply, at);
  }
};

}  // namespace

TCursorRequestPath& SessionCursorRequestPath() {
  static SessionRequestPath path;
  return path;
}

void WriteTableDefinition(TCursorRequest& request, const TCreateTableArgs& args, int64_t serverVersion) {
  request.U16(args.LanguageId)
      .U16(args.SortId)
      .U16(args.UserMajorVersion)
      .U16(args.UserMinorVersion)
      .U8(args.Encrypted)
      .Text(args.Password)
      .Text(args.Description)
      .U16(args.BlobBlockSize)
      .U16(uint16_t(args.Fields.size()));
  for (const TFieldDescriptor& f : args.Fields) request.Bytes(f.Span());
  request.U8(uint8_t(args.Indexes.size() - 1));
  uint8_t image[kIndexDescriptorSize];
  for (const TIndexDescriptor& d : args.Indexes) {
    d.StoreTo(image);
    request.Bytes(image);
  }
  if (serverVersion >= 30400) {
    args.TextIndex.StoreTo(image);
    request.Bytes(image);
    WriteTextIndexParams(request, args.StopWords, args.SpaceChars, args.IncludeChars);
  }
}

void TDataCursor::SetLastRequestHeader(std::span<const uint8_t> header) {
  std::memcpy(lastRequestHeader_.data(), header.data(), std::min(header.size(), lastRequestHeader_.size()));
}

uint16_t TDataCursor::GetLastRequestCode() const {
  return platform::get2(lastRequestHeader_.data() + kMessageCodeOffset);
}

void TDataCursor::TakeRemoteState(uint32_t recordNo, uint32_t recordCount, std::span<const uint8_t> key,
                                  bool atBOF, bool atEOF) {
  currentRecordNo_ = recordNo;
  remoteRecordCount_ = recordCount;
  currentKey_.fill(0);
  if (!key.empty()) std::memcpy(currentKey_.data(), key.data(), std::min(key.size(), currentKey_.size()));
  atBOF_ = atBOF;
  atEOF_ = atEOF;
}

}  // namespace engine

namespace engine {

bool TDataCursor::OpenReplyCarriesHeaders(int64_t serverVersion) const {
  if (serverVersion < 30500) return true;
  if (serverVersion < 30600) return table_->GetOpenCount() == 1;
  return options_.QueryResult != options_.QuerySource || table_->GetUserCount() == 1;
}

uint8_t TDataCursor::takeOpenReply(const TCursorReply& reply) {
  size_t at = 0;
  if (OpenReplyCarriesHeaders(GetServerVersion())) table_->LoadRemoteHeaders(reply, at, GetServerVersion());
  readOnlyAttribute_ = table_->IsReadOnlyAttribute();
  options_.ReadOnly = table_->IsReadOnly() || readOnlyAttribute_;
  readCursorState(*this, reply, at);
  if (at + 1 != reply.size() || reply[at].size() != 1) Raise(VELDOR_UNCOMPRESS);
  return reply[at][0];
}

}  // namespace engine

// ---- Remote record reads, moves and writes ----

namespace engine {

void TDataCursor::TakeRecordBlock(TCursorReply block) {
  recordBlock_ = std::move(block);
  blockReadPos_ = 0;
}

std::span<const uint8_t> TDataCursor::ReadBlockParam() {
  if (blockReadPos_ >= recordBlock_.size()) SignalEngineError(VELDOR_UNCOMPRESS);
  return recordBlock_[blockReadPos_++];
}

void TDataCursor::WriteCursorState(TCursorRequest& out, const TDataCursor& cursor) {
  uint8_t position[kIndexPathSize] = {};
  platform::put4(position, uint32_t(cursor.GetSequenceNumber()));
  out.Bytes(position).U32(cursor.CurrentRecordNo()).U32(uint32_t(cursor.GetRecordCount()));
  TDataTable::RemoteReply counters;
  cursor.Table()->WriteRemoteCounters(counters);
  for (const auto& c : counters) out.Bytes(c);
  std::array<uint8_t, kMaxCursorKeySize + 4> key{};
  out.Bytes({key.data(), cursor.PositionKey(key.data())}).U8(cursor.AtBOF()).U8(cursor.AtEOF());
  cursor.NoteReportedPosition(out);
}

TCursorRequest TDataCursor::remotePosition() const {
  std::array<uint8_t, kMaxCursorKeySize + 4> key{};
  return TCursorRequest{}
      .U32(serverCursor_)
      .Bytes({key.data(), PositionKey(key.data())})
      .U8(atBOF_)
      .U8(atEOF_);
}

void TDataCursor::remoteMove(uint16_t code) {
  requests().ReadCursorState(*this, exchange(code, TCursorRequest{}.U32(serverCursor_)));
}

void TDataCursor::remoteSetToRecNo(int32_t n) {
  requests().ReadCursorState(
      *this, exchange(REQUEST_SETTORECNO, TCursorRequest{}.U32(serverCursor_).U32(uint32_t(n))));
}

namespace {

uint16_t resultCode(std::span<const uint8_t> p) {
  if (p.size() != 2) SignalEngineError(VELDOR_UNCOMPRESS);
  return platform::get2(p.data());
}

}  // namespace

uint16_t TDataCursor::remoteNextOrPrior(uint16_t code, uint8_t* buffer) {
  if (GetLastRequestCode() != code || BlockParamsLeft() == 0)
    TakeRecordBlock(exchange(code, remotePosition().U32(recordBlockCount_)));
  const uint16_t result = resultCode(ReadBlockParam());
  readCursorState(*this, recordBlock_, blockReadPos_);
  const auto record = ReadBlockParam();
  if (result != 0) {
    if (buffer) ClearRecordBuffer(buffer);
    return result;
  }
  if (record.size() != recordSize_) Raise(VELDOR_UNCOMPRESS);
  std::copy(record.begin(), record.end(), recordBuffer_.begin());
  if (buffer) std::memcpy(buffer, record.data(), recordSize_);
  return 0;
}

uint16_t TDataCursor::remoteCurrentRecord(uint8_t* buffer, bool lock) {
  // A record this process holds is refused at once, before the image is compared, as for a local
  // cursor: the lock marks of the process's cursors live here, not on the server.
  if (lock && Session().LockProtocol() == lpPessimistic && currentRecordNo_ != 0 && !atBOF_ && !atEOF_ &&
      !options_.Exclusive && !readOnlyAttribute_ && table_->HoldsRecordLock(currentRecordNo_))
    Raise(VELDOR_RECLOCKFAILED);
  std::vector<uint8_t> image(recordSize_, 0);
  if (buffer) std::memcpy(image.data(), buffer, recordSize_);
  const TCursorReply reply = exchange(REQUEST_GETCURRECORD, remotePosition().Bytes(image).U8(lock));
  if (reply.empty()) Raise(VELDOR_UNCOMPRESS);
  const uint16_t result = resultCode(reply[0]);
  size_t at = 1;
  readCursorState(*this, reply, at);
  if (buffer) {
    if (at >= reply.size() || reply[at].size() != recordSize_) Raise(VELDOR_UNCOMPRESS);
    std::memcpy(buffer, reply[at].data(), recordSize_);
  }
  // The server holds the lock; the cursor keeps which record it locked.
  if (result == 0 && lock && Session().LockProtocol() == lpPessimistic) LockRecord(currentRecordNo_);
  return result;
}

void TDataCursor::remoteWrite(uint16_t code, const uint8_t* buffer, std::initializer_list<bool> flags) {
  TCursorRequest request = remotePosition().Bytes({buffer, recordSize_});
  for (bool f : flags) request.U8(f);
  const uint32_t written = currentRecordNo_;
  requests().ReadCursorState(*this, exchange(code, request));
  // The server released the deleted record's lock with it.
  if (code == REQUEST_DELETERECORD && written != 0 && written == lockedRecordNo_) remoteUnlockMark(written);
  for (TDataCursor* c : Directory().Cursors())
    if (c->table_ == table_) c->DropRecordBlock();
}

uint16_t TDataCursor::remoteReadRecordBlock(uint32_t& count, uint8_t* buffer) {
  const TCursorReply reply = exchange(REQUEST_READRECORDBLOCK, remotePosition().U32(count));
  if (reply.empty()) Raise(VELDOR_UNCOMPRESS);
  const uint16_t result = resultCode(reply[0]);
  size_t at = 1;
  readCursorState(*this, reply, at);
  if (reply.size() != at + 2 || reply[at].size() != 4) Raise(VELDOR_UNCOMPRESS);
  const uint32_t read = platform::get4(reply[at].data());
  if (read > count || reply[at + 1].size() != size_t(read) * recordSize_) Raise(VELDOR_UNCOMPRESS);
  if (buffer && read > 0) std::memcpy(buffer, reply[at + 1].data(), reply[at + 1].size());
  count = read;
  return result;
}

}  // namespace engine
