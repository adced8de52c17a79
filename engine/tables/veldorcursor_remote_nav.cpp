// The data cursor: remote forms of index selection, ranges, find, bookmarks and positioning, and
// the server's half of a position.
//
// A positioned request carries where the client's cursor stands (its position key and the two
// end flags). The server's cursor may stand elsewhere: it has read ahead to fill a record block.
// StandAtPosition puts it back before the operation, so that the operation starts where the
// client believes it does.
#include <algorithm>
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"
#include "platform/bytes.h"

namespace engine {
namespace {

// Parameters of a cursor state block: position record, record number, count, the table's four
// counters, key, begin flag, end flag.
constexpr size_t kStateParams = 10;

uint8_t flagOf(std::span<const uint8_t> p) {
  if (p.size() != 1) SignalEngineError(VELDOR_UNCOMPRESS);
  return p[0];
}

}  // namespace

// ---- Shared by client and server ----

void TDataCursor::TakeRemotePositionRecord(std::span<const uint8_t> record) {
  remoteSequence_ = record.size() >= 4 ? int32_t(platform::get4(record.data())) : 0;
}

uint16_t TDataCursor::PositionKey(uint8_t* key) const {
  const uint16_t size = GetKeySize();
  if (InRecordNumberOrder()) {
    platform::put4(key, currentRecordNo_);
  } else if (IsRemote() || keySlot_ == GetCurrentIndex()) {
    std::memcpy(key, currentKey_.data(), size);
  } else {
    std::memset(key, 0, size);
  }
  return size;
}

void TDataCursor::NoteReportedPosition(const TCursorRequest& state) const {
  const size_t n = state.params.size();
  if (n < 3) return;
  reportedPosition_ = state.params[n - 3];
  reportedPosition_.push_back(state.params[n - 2][0]);
  reportedPosition_.push_back(state.params[n - 1][0]);
}

void TDataCursor::StandAtPosition(std::span<const uint8_t> key, bool atBOF, bool atEOF) {
  if (!active_ || IsRemote()) return;
  std::array<uint8_t, kMaxCursorKeySize + 4> now{};
  const uint16_t size = PositionKey(now.data());
  // A key of another size was built for another index than this cursor's.
  if (key.size() != size) Raise(VELDOR_REMOTEINVREQUEST);
  std::vector<uint8_t> asked(key.begin(), key.end());
  asked.push_back(atBOF);
  asked.push_back(atEOF);
  if (asked == reportedPosition_) return;
  if (atBOF == atBOF_ && atEOF == atEOF_ && std::equal(key.begin(), key.end(), now.begin())) return;
  ReadScope scope(*this);
  // The client's position first: a change by another writer is then taken up from there, as the
  // client's own cursor would take it up if it were local.
  atBOF_ = atBOF;
  atEOF_ = atEOF;
  const bool noEntry = std::all_of(key.begin(), key.end(), [](uint8_t b) { return b == 0; });
  if (atBOF && atEOF) {
    SetEmptyPosition();
  } else if (InRecordNumberOrder()) {
    currentRecordNo_ = platform::get4(key.data());
  } else if (noEntry) {
    // No entry: the next move starts from the range's edge.
    keySlot_ = kNoCurrentIndex;
    currentRecordNo_ = 0;
    sequence_ = 0;
  } else {
    std::memcpy(currentKey_.data(), key.data(), size);
    keySlot_ = GetCurrentIndex();
  }
  if (!BeginRead() && !(atBOF && atEOF)) {
    if (InRecordNumberOrder()) {
      const uint32_t known = std::min(currentRecordNo_, viewBitmap_.Count());
      sequence_ = currentRecordNo_ == 0 ? 0 : viewBitmap_.CountSetBefore(known) + 1;
    } else if (!noEntry) {
      bool found = false;
      const uint64_t p = locateCurrent(found);
      // An entry that has gone leaves the cursor between its neighbours, as a local move would.
      if (found) standOn(p);
    }
  }
  loadPositionRecord();
}

// ---- Client ----

void TDataCursor::DropRecordBlock() {
  recordBlock_.clear();
  blockReadPos_ = 0;
}

void TDataCursor::remoteStateAt(const TCursorReply& reply, size_t& at) {
  if (reply.size() < at + kStateParams) Raise(VELDOR_UNCOMPRESS);
  requests().ReadCursorState(
      *this, TCursorReply(reply.begin() + ptrdiff_t(at), reply.begin() + ptrdiff_t(at + kStateParams)));
  at += kStateParams;
}

void TDataCursor::remoteSetIndexName(std::string_view name) {
  const TCursorReply reply = exchange(REQUEST_SETINDEXNAME, remotePosition().Text(name));
  if (reply.empty()) Raise(VELDOR_UNCOMPRESS);
  const uint8_t slot = flagOf(reply[0]);
  size_t at = 1;
  remoteStateAt(reply, at);
  // The server reset the range with the index.
  rangeSet_ = false;
  SelectIndex(slot);
}

void TDataCursor::remoteSetRange(const uint8_t* start, int32_t startFields, const uint8_t* end,
                                 int32_t endFields, bool keysBuilt) {
  // The server completes partial keys; a missing bound goes as the key that bounds nothing.
  const uint16_t size = GetKeySize();
  std::array<uint8_t, kMaxCursorKeySize + 1> low{}, high{};
  if (start) takeKey(keysBuilt, start, low.data());
  if (end)
    takeKey(keysBuilt, end, high.data());
  else
    std::fill(high.begin(), high.end(), 0xFF);
  const TCursorReply reply = exchange(REQUEST_SETRANGE, remotePosition()
                                                            .Bytes({low.data(), size})
                                                            .U32(uint32_t(startFields))
                                                            .Bytes({high.data(), size})
                                                            .U32(uint32_t(endFields)));
  requests().ReadCursorState(*this, reply);
  rangeSet_ = true;
}

void TDataCursor::remoteResetRange() {
  requests().ReadCursorState(*this, exchange(REQUEST_RESETRANGE, remotePosition()));
  rangeSet_ = false;
}

bool TDataCursor::remoteFindKey(bool keysBuilt, const uint8_t* source, int32_t fieldCount, bool nearest,
                                uint8_t partialLength, uint8_t* result) {
  std::array<uint8_t, kMaxCursorKeySize + 1> key{};
  takeKey(keysBuilt, source, key.data());
  const TCursorReply reply = exchange(REQUEST_FIND, remotePosition()
                                                        .Bytes({key.data(), GetKeySize()})
                                                        .U32(uint32_t(fieldCount))
                                                        .U8(nearest)
                                                        .U8(partialLength)
                                                        .U8(result != nullptr));
  if (reply.empty()) Raise(VELDOR_UNCOMPRESS);
  const bool found = flagOf(reply[0]) != 0;
  size_t at = 1;
  remoteStateAt(reply, at);
  if (result) {
    if (at >= reply.size() || reply[at].size() != recordSize_) Raise(VELDOR_UNCOMPRESS);
    std::copy(reply[at].begin(), reply[at].end(), recordBuffer_.begin());
    std::memcpy(result, reply[at].data(), recordSize_);
  }
  return found;
}

bool TDataCursor::remoteSetToBookmark(const uint8_t* bookmark, bool nearest, bool readBegun) {
  // The request carries no position, and a bookmark that names no record leaves the server's
  // cursor where it stands: a server that read ahead to fill a record block is first put back
  // where this cursor stands, with a plain read of the current record.
  const uint16_t last = GetLastRequestCode();
  if ((last == REQUEST_GETNEXTRECORD || last == REQUEST_GETPRIORRECORD) && BlockParamsLeft() > 0)
    remoteCurrentRecord(nullptr, false);
  const TCursorReply reply =
      exchange(REQUEST_SETTOBOOKMARK,
               TCursorRequest{}.U32(serverCursor_).Bytes({bookmark, GetKeySize()}).U8(nearest).U8(readBegun));
  if (reply.empty()) Raise(VELDOR_UNCOMPRESS);
  const bool found = flagOf(reply[0]) != 0;
  size_t at = 1;
  remoteStateAt(reply, at);
  return found;
}

void TDataCursor::remoteBookmark(uint8_t* bookmark) const {
  if (InRecordNumberOrder()) {
    platform::put4(bookmark, (atBOF_ && atEOF_) ? 0 : currentRecordNo_);
  } else if (currentRecordNo_ == 0 || (atBOF_ && atEOF_)) {
    std::memset(bookmark, 0, currentKeySize_);
  } else {
    std::memcpy(bookmark, currentKey_.data(), currentKeySize_);
  }
}

void TDataCursor::remoteSwitchToIndex(uint8_t slot) {
  if (slot == kNoCurrentIndex || slot > GetIndexCount()) Raise(VELDOR_OUTOFRANGE);
  // The server's index change keeps the cursor's record, as a local switch does.
  remoteSetIndexName(slot == kPrimarySlot ? std::string() : table_->IndexFile().GetIndexName(slot));
}

void TDataCursor::remoteLockRecord(uint32_t recordNo) {
  if (!active_ || options_.Exclusive || readOnlyAttribute_) return;
  const uint32_t record = recordNo != 0 ? recordNo : currentRecordNo_;
  // A record this process holds is refused at once, as for a local cursor; so is a record past
  // the table's last one (the marks are sized by record number).
  if (record == 0 || record > table_->DataFile().GetLastRecordNumber() || table_->HoldsRecordLock(record))
    Raise(VELDOR_RECLOCKFAILED);
  table_->LockRecord(record);
  lockedRecordNo_ = record;
}

void TDataCursor::remoteUnlockMark(uint32_t recordNo) {
  const uint32_t record = recordNo != 0 ? recordNo : lockedRecordNo_;
  if (record == lockedRecordNo_) lockedRecordNo_ = 0;
  if (record != 0 && table_ && table_->HoldsRecordLock(record)) table_->UnlockRecord(record);
}

uint16_t TDataCursor::remoteCloneCurrentRecord(uint8_t* buffer) {
  const TCursorReply reply = exchange(REQUEST_CLONECURRECORD, remotePosition());
  if (reply.empty() || reply[0].size() != 2) Raise(VELDOR_UNCOMPRESS);
  const uint16_t result = platform::get2(reply[0].data());
  size_t at = 1;
  remoteStateAt(reply, at);
  if (!buffer) return result;
  if (result != 0 || at >= reply.size()) {
    ClearRecordBuffer(buffer);
    return result;
  }
  if (reply[at].size() != recordSize_) Raise(VELDOR_UNCOMPRESS);
  std::memcpy(buffer, reply[at].data(), recordSize_);
  return result;
}

uint16_t TDataCursor::remoteSetToRecordBuffer(TDataCursor& other) {
  // The other cursor must be one the same server knows.
  if (!other.IsRemote() || &other.Session() != &Session() || !other.active_) Raise(VELDOR_REMOTEINVREQUEST);
  TCursorRequest request = remotePosition();
  for (auto& p : other.remotePosition().params) request.params.push_back(std::move(p));
  const TCursorReply reply = exchange(REQUEST_SETTORECBUF, request);
  if (reply.empty() || reply[0].size() != 2) Raise(VELDOR_UNCOMPRESS);
  const uint16_t result = platform::get2(reply[0].data());
  size_t at = 1;
  remoteStateAt(reply, at);
  return result;
}

}  // namespace engine
