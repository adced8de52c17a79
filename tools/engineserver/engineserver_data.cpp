// The loopback server's blob, filter, table-maintenance and restructure requests, each carried
// out on the session's local cursor. Callback filters and the restructure's feedback ask the
// client over the connection of the request in progress; index builds and restructures tell it
// their progress there.
#include <algorithm>
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/values/veldorexptoken.h"
#include "tools/engineserver/engineserver_wire.h"

namespace engineserver {
namespace {

constexpr uint32_t kMaxBlobRead = 64u << 20;

uint8_t answerByte(const std::vector<std::vector<uint8_t>>& answer, size_t i) {
  if (i >= answer.size() || answer[i].size() != 1) throw CallbackLost{};
  return answer[i][0];
}

// A callback filter's test: the client's callback, asked over the connection.
bool relayFilter(void* data, TDataCursor& cursor, const uint8_t* record, uint32_t recordNo) {
  const auto* link = static_cast<const DataState::FilterLink*>(data);
  if (!link->state->channel) return false;
  Reply callback;
  callback.u16(kCallbackFilter).u32(link->cursor).bytes(record, cursor.RecordSize()).u32(recordNo);
  return answerByte(link->state->channel(callback), 0) != 0;
}

TFilter* filterOf(DataState& state, TDataCursor& c, uint32_t cursorHandle, uint32_t id) {
  if (id == 0) return nullptr;
  for (const auto& [filterId, handle, kept] : state.filters) {
    if (filterId != id || handle != cursorHandle) continue;
    TFilter* filter = kept;  // clang 14 cannot capture a structured binding in a lambda
    const auto& list = c.Filters();
    if (std::any_of(list.begin(), list.end(), [&](const auto& f) { return f.get() == filter; }))
      return filter;
  }
  SignalEngineError(VELDOR_NOSUCHFILTER);
}

// The local cursor's progress of `kind`, told to the client while the request runs.
TDataCursor::TProgressHook relayProgress(DataState& state, uint32_t handle, uint16_t kind) {
  return [&state, handle, kind](TDataCursor&, uint32_t percent) {
    if (!state.notice) return;
    Reply callback;
    callback.u16(kind).u32(handle).u32(percent);
    state.notice(callback);
  };
}

void restructure(const Params& p, TDataCursor& c, DataState& state, uint32_t handle, int64_t serverVersion) {
  c.SetTableName(p.text(1));
  c.SetInMemory(p.u8(2));
  c.SetExclusive(true);
  TRestructureArgs a;
  std::vector<std::string> stopWords;
  const size_t at = readTableDefinition(p, 3, a, stopWords, serverVersion);
  a.NoPrimaryIndex = p.u8(at);
  a.LastAutoIncValue = int32_t(p.u32(at + 1));
  a.NoBackup = p.u8(at + 2);
  a.OptionBytes = {p.u8(at + 3), p.u8(at + 4)};
  // Each case goes to the client; the values sent are what happens when it has no feedback of
  // its own: the restructure stops, as a local one without feedback does.
  c.SetDataLostHook([&state, handle](TDataCursor&, TRestructureCase kind, const std::string& message,
                                     bool& goOn, bool& applyToAll) {
    Reply callback;
    callback.u16(kCallbackDataLost)
        .u32(handle)
        .u8(uint8_t(kind))
        .text(std::string_view(message).substr(0, 255))
        .u8(0)
        .u8(0);
    const auto answer = state.channel(callback);
    goOn = answerByte(answer, 0) != 0;
    applyToAll = answerByte(answer, 1) != 0;
  });
  c.SetRestructureProgressHook(relayProgress(state, handle, kCallbackRestructureProgress));
  struct HooksReset {
    TDataCursor& c;
    ~HooksReset() {
      c.SetDataLostHook({});
      c.SetRestructureProgressHook({});
    }
  } reset{c};
  c.RestructureTable(a);
}

}  // namespace

bool serveData(uint16_t code, const Params& p, Reply& reply, DataState& state,
               const std::function<TDataCursor&(uint32_t)>& cursor, int64_t serverVersion) {
  switch (code) {
    case REQUEST_OPENBLOB: {
      TDataCursor& c = cursor(p.u32(0));
      std::vector<uint8_t> record = recordOf(p, 5, c);
      reply.u16(c.OpenBlob(p.u16(4), record.data(), p.u8(6), p.u8(7), p.u8(8)));
      reply.bytes(record.data(), record.size());
      addCursorState(reply, c);
      return true;
    }
    case REQUEST_FREEBLOB: {
      TDataCursor& c = cursor(p.u32(0));
      std::vector<uint8_t> record = recordOf(p, 2, c);
      reply.u16(c.FreeBlob(p.u16(1), record.data(), p.u8(3), p.u8(4)));
      reply.bytes(record.data(), record.size());
      return true;
    }
    case REQUEST_FREEALLBLOBS:
      cursor(p.u32(0)).FreeAllBlobs(p.u8(1));
      return true;
    case REQUEST_GETBLOB: {
      TDataCursor& c = cursor(p.u32(0));
      const std::vector<uint8_t> record = recordOf(p, 2, c);
      const int32_t position = int32_t(p.u32(3)), length = int32_t(p.u32(4));
      // Room for what the blob holds from the position on, not for what the request asks.
      uint32_t size = 0;
      c.GetBlobSize(p.u16(1), record.data(), size, p.u8(5));
      const uint64_t left = position >= 0 && uint32_t(position) < size ? size - uint32_t(position) : 0;
      std::vector<uint8_t> bytes(std::min<uint64_t>({left, uint64_t(std::max(length, 0)), kMaxBlobRead}));
      uint32_t read = 0;
      const uint16_t result = c.GetBlob(p.u16(1), record.data(), position, bytes.data(),
                                        length < 0 ? length : int32_t(bytes.size()), read, p.u8(5));
      reply.u16(result == 0 && bytes.size() < uint64_t(std::max(length, 0)) ? VELDOR_ENDOFBLOB : result);
      reply.u32(read).bytes(bytes.data(), read);
      return true;
    }
    case REQUEST_PUTBLOB: {
      TDataCursor& c = cursor(p.u32(0));
      std::vector<uint8_t> record = recordOf(p, 2, c);
      const auto bytes = p.at(5);
      if (bytes.size() != uint32_t(std::max(int32_t(p.u32(4)), 0))) throw BadRequest{};
      reply.u16(
          c.PutBlob(p.u16(1), record.data(), int32_t(p.u32(3)), bytes.data(), int32_t(p.u32(4)), p.u8(6)));
      reply.bytes(record.data(), record.size());
      return true;
    }
    case REQUEST_TRUNCATEBLOB: {
      TDataCursor& c = cursor(p.u32(0));
      std::vector<uint8_t> record = recordOf(p, 2, c);
      reply.u16(c.TruncateBlob(p.u16(1), record.data(), int32_t(p.u32(3)), p.u8(4)));
      reply.bytes(record.data(), record.size());
      return true;
    }
    case REQUEST_GETBLOBSIZE: {
      TDataCursor& c = cursor(p.u32(0));
      const std::vector<uint8_t> record = recordOf(p, 2, c);
      uint32_t size = 0;
      reply.u16(c.GetBlobSize(p.u16(1), record.data(), size, p.u8(3)));
      reply.u32(size);
      return true;
    }
    case REQUEST_ADDEXPRFILTER: {
      TDataCursor& c = cursor(p.u32(0));
      // Older clients send the tree without its argument lists, which this server does not read.
      if (serverVersion < 30400 || p.at(2).size() != p.u32(1)) throw BadRequest{};
      TExpTreePtr tree(UnflattenExpTree(p.at(2)));
      if (!tree) throw BadRequest{};
      TFilter* f = c.AddFilter(nullptr, nullptr, tree.get(), true, nullptr, p.u8(4), p.u8(5), false, false);
      tree.release();
      state.forget(p.u32(0), c);
      state.filters.push_back({state.nextFilterId, p.u32(0), f});
      reply.u32(state.nextFilterId++).u8(f->OptimizeLevel());
      return true;
    }
    case REQUEST_ADDCALLBACKFILTER: {
      TDataCursor& c = cursor(p.u32(0));
      auto link = std::make_unique<DataState::FilterLink>(DataState::FilterLink{&state, p.u32(0)});
      TFilter* f =
          c.AddFilter(link.get(), nullptr, nullptr, false, &relayFilter, p.u8(1), p.u8(2), false, false);
      state.links.push_back(std::move(link));
      state.forget(p.u32(0), c);
      state.filters.push_back({state.nextFilterId, p.u32(0), f});
      reply.u32(state.nextFilterId++);
      return true;
    }
    case REQUEST_DROPFILTER:
    case REQUEST_ACTIVATEFILTER:
    case REQUEST_DEACTIVATEFILTER: {
      TDataCursor& c = cursor(p.u32(0));
      TFilter* f = filterOf(state, c, p.u32(0), p.u32(4));
      if (code == REQUEST_DROPFILTER) c.DropFilter(f);
      if (code == REQUEST_ACTIVATEFILTER) c.ActivateFilter(f);
      if (code == REQUEST_DEACTIVATEFILTER) c.DeactivateFilter(f);
      state.forget(p.u32(0), c);
      addCursorState(reply, c);
      return true;
    }
    case REQUEST_EMPTYTABLE: {
      TDataCursor& c = cursor(p.u32(0));
      c.EmptyTable();
      addCursorState(reply, c);
      return true;
    }
    case REQUEST_ADDSECONDARYINDEX: {
      TDataCursor& c = cursor(p.u32(0));
      TIndexDescriptor d = indexAt(p, 4);
      p.u8(5);
      c.SetIndexProgressHook(relayProgress(state, p.u32(0), kCallbackIndexProgress));
      struct HookReset {
        TDataCursor& c;
        ~HookReset() { c.SetIndexProgressHook({}); }
      } reset{c};
      c.AddSecondaryIndex(d);
      addCursorState(reply, c);
      return true;
    }
    case REQUEST_DELETEINDEX: {
      TDataCursor& c = cursor(p.u32(0));
      p.u8(5);
      c.DeleteIndex(p.text(4));
      reply.u8(c.CurrentIndex());
      addCursorState(reply, c);
      return true;
    }
    case REQUEST_TEXTINDEXPARAMS: {
      TDataCursor& c = cursor(p.u32(0));
      const TLanguageStringList& list = c.GetStopWords();
      std::vector<std::string> words;
      for (size_t i = 0; i < list.count(); ++i) words.push_back(list[i]);
      TCursorRequest block;
      WriteTextIndexParams(block, &words, c.GetSpaceChars(), c.GetIncludeChars());
      addParams(reply, block.params);
      return true;
    }
    case REQUEST_RESTRUCTURETABLE:
      restructure(p, cursor(p.u32(0)), state, p.u32(0), serverVersion);
      return true;
    default:
      return false;
  }
}

}  // namespace engineserver
