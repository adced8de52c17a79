#include "tools/engineserver/engineserver_nav.h"

#include <algorithm>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorsession.h"
#include "platform/bytes.h"

namespace engineserver {
namespace {

using namespace engine;

std::span<const uint8_t> at(const RequestParams& p, size_t i, size_t size = SIZE_MAX) {
  if (i >= p.size() || (size != SIZE_MAX && p[i].size() != size)) SignalEngineError(VELDOR_REMOTEINVREQUEST);
  return p[i];
}
uint8_t u8(const RequestParams& p, size_t i) {
  return at(p, i, 1)[0];
}
uint32_t u32(const RequestParams& p, size_t i) {
  return platform::get4(at(p, i, 4).data());
}

// A key of the cursor's current index, checked for its size.
std::vector<uint8_t> keyOf(const RequestParams& p, size_t i, const TDataCursor& c) {
  const auto key = at(p, i, c.GetKeySize());
  std::vector<uint8_t> out(kMaxCursorKeySize + 1, 0);
  std::copy(key.begin(), key.end(), out.begin());
  return out;
}

bool filledWith(std::span<const uint8_t> key, uint8_t value) {
  return std::all_of(key.begin(), key.end(), [&](uint8_t b) { return b == value; });
}

void addState(TCursorRequest& reply, const TDataCursor& c) {
  TDataCursor::WriteCursorState(reply, c);
}

// Requests whose first four parameters are a position.
bool positioned(uint16_t code) {
  switch (code) {
    case REQUEST_SETINDEXNAME:
    case REQUEST_SETTORECBUF:
    case REQUEST_GETCURRECORD:
    case REQUEST_CLONECURRECORD:
    case REQUEST_GETNEXTRECORD:
    case REQUEST_GETPRIORRECORD:
    case REQUEST_APPENDRECORD:
    case REQUEST_MODIFYRECORD:
    case REQUEST_DELETERECORD:
    case REQUEST_REFRESH:
    case REQUEST_FIND:
    case REQUEST_SETRANGE:
    case REQUEST_RESETRANGE:
    case REQUEST_WRITEUNLOCKRECORD:
    case REQUEST_CLONECURSOR:
    case REQUEST_READRECORDBLOCK:
    case REQUEST_OPENBLOB:
    case REQUEST_DROPFILTER:
    case REQUEST_ACTIVATEFILTER:
    case REQUEST_DEACTIVATEFILTER:
    case REQUEST_ADDSECONDARYINDEX:
    case REQUEST_DELETEINDEX:
      return true;
    default:
      return false;
  }
}

void seekAt(const RequestParams& p, size_t first, const NavSession& session) {
  TDataCursor& c = session.cursor(u32(p, first));
  c.StandAtPosition(at(p, first + 1), u8(p, first + 2), u8(p, first + 3));
}

}  // namespace

void seekRequestPosition(uint16_t code, const RequestParams& params, const NavSession& session) {
  if (!positioned(code)) return;
  seekAt(params, 0, session);
  if (code == REQUEST_SETTORECBUF) seekAt(params, 4, session);
}

bool serveNavigation(uint16_t code, const RequestParams& p, const NavSession& session,
                     TCursorRequest& reply) {
  if (code == REQUEST_FLUSHBUFFERS) {
    session.cursor(u32(p, 0)).FlushBuffers(u8(p, 1), u8(p, 2), u8(p, 3), u8(p, 4), u8(p, 5));
    return true;
  }
  if (code == REQUEST_SUPPRESSAUTOINC) {
    session.cursor(u32(p, 0)).SuppressAutoInc(u8(p, 1));
    return true;
  }
  switch (code) {
    case REQUEST_SETINDEXNAME:
    case REQUEST_SETTORECBUF:
    case REQUEST_CLONECURRECORD:
    case REQUEST_REFRESH:
    case REQUEST_SETTOBOOKMARK:
    case REQUEST_FIND:
    case REQUEST_SETRANGE:
    case REQUEST_RESETRANGE:
    case REQUEST_WRITEUNLOCKRECORD:
    case REQUEST_CLONECURSOR:
      break;
    default:
      return false;
  }
  TDataCursor& c = session.cursor(u32(p, 0));
  switch (code) {
    case REQUEST_SETINDEXNAME: {
      const auto name = at(p, 4);
      c.SetIndexName(std::string(name.begin(), name.end()));
      reply.U8(c.CurrentIndex());
      break;
    }
    case REQUEST_SETTORECBUF:
      reply.U16(c.SetToRecordBuffer(session.cursor(u32(p, 4))));
      break;
    case REQUEST_CLONECURRECORD: {
      std::vector<uint8_t> record(c.RecordSize());
      reply.U16(c.CloneCurrentRecord(record.data()));
      addState(reply, c);
      reply.Bytes(record);
      return true;
    }
    case REQUEST_REFRESH:
      c.Refresh();
      break;
    case REQUEST_SETTOBOOKMARK: {
      const auto bookmark = keyOf(p, 1, c);
      reply.U8(c.SetToBookmark(bookmark.data(), u8(p, 2), u8(p, 3)));
      break;
    }
    case REQUEST_FIND: {
      const auto key = keyOf(p, 4, c);
      const bool wanted = u8(p, 8);
      std::vector<uint8_t> record(c.RecordSize());
      reply.U8(c.FindKey(true, key.data(), int32_t(u32(p, 5)), u8(p, 6), u8(p, 7),
                         wanted ? record.data() : nullptr));
      addState(reply, c);
      if (wanted) reply.Bytes(record);
      return true;
    }
    case REQUEST_SETRANGE: {
      // The client sends an unbounded side as all zeros (start) or all 0xFF (end).
      const auto start = keyOf(p, 4, c), end = keyOf(p, 6, c);
      const bool noStart = filledWith(at(p, 4), 0x00), noEnd = filledWith(at(p, 6), 0xFF);
      c.SetRange(true, noStart ? nullptr : start.data(), int32_t(u32(p, 5)), noEnd ? nullptr : end.data(),
                 int32_t(u32(p, 7)));
      break;
    }
    case REQUEST_RESETRANGE:
      c.ResetRange();
      break;
    case REQUEST_WRITEUNLOCKRECORD:
      c.UnlockRecord(false, u32(p, 4));
      return true;
    case REQUEST_CLONECURSOR:
      reply.U32(session.adopt(c.Clone()));
      return true;
  }
  addState(reply, c);
  return true;
}

}  // namespace engineserver
