// The loopback server's view of one message: the parameters of a request and the reply built
// for it, and what the request handlers share. Private to the server's sources.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/veldorsq.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldorprotocol.h"
#include "engine/tables/veldortable.h"
#include "platform/bytes.h"

namespace engineserver {

using namespace engine;

// A request that does not hold the parameters its code needs.
struct BadRequest {};

class Params {
 public:
  explicit Params(std::span<const uint8_t> payload) {
    if (!SplitParams(payload, items_)) throw BadRequest{};
  }
  size_t count() const { return items_.size(); }
  std::span<const uint8_t> at(size_t i) const {
    if (i >= items_.size()) throw BadRequest{};
    return items_[i];
  }
  uint8_t u8(size_t i) const { return fixed<1>(i)[0]; }
  uint16_t u16(size_t i) const { return platform::get2(fixed<2>(i)); }
  uint32_t u32(size_t i) const { return platform::get4(fixed<4>(i)); }
  std::string text(size_t i) const {
    const auto p = at(i);
    return std::string(reinterpret_cast<const char*>(p.data()), p.size());
  }

 private:
  template <size_t N>
  const uint8_t* fixed(size_t i) const {
    const auto p = at(i);
    if (p.size() != N) throw BadRequest{};
    return p.data();
  }
  std::vector<std::span<const uint8_t>> items_;
};

class Reply {
 public:
  Reply& u8(uint8_t v) { return bytes(&v, 1); }
  Reply& u16(uint16_t v) {
    uint8_t b[2];
    platform::put2(b, v);
    return bytes(b, 2);
  }
  Reply& u32(uint32_t v) {
    uint8_t b[4];
    platform::put4(b, v);
    return bytes(b, 4);
  }
  Reply& i64(int64_t v) {
    uint8_t b[8];
    platform::put8(b, uint64_t(v));
    return bytes(b, 8);
  }
  Reply& text(std::string_view t) { return bytes(t.data(), t.size()); }
  Reply& bytes(const void* data, size_t n) {
    AppendParam(payload, {static_cast<const uint8_t*>(data), n});
    return *this;
  }
  uint16_t code = 0;
  std::vector<uint8_t> payload;
};

inline void addParams(Reply& reply, const TDataTable::RemoteReply& params) {
  for (const auto& p : params) reply.bytes(p.data(), p.size());
}

// Where a cursor stands, with its table's counters: what every positioning reply ends with.
inline void addCursorState(Reply& reply, const TDataCursor& c) {
  TCursorRequest state;
  TDataCursor::WriteCursorState(state, c);
  addParams(reply, state.params);
}

// The record image of a request, sized to the cursor's records.
inline std::vector<uint8_t> recordOf(const Params& p, size_t i, const TDataCursor& c) {
  const auto image = p.at(i);
  if (image.size() != c.RecordSize()) throw BadRequest{};
  return {image.begin(), image.end()};
}

// The connection broke while the server waited for the client's answer to a callback: the
// request is given up and the connection closed.
struct CallbackLost {};

// Sends `callback` (its parameters: kind, cursor handle, the kind's own) as a callback message on
// the connection of the request being served and returns the parameters of the client's
// answer. Throws CallbackLost.
using CallbackChannel = std::function<std::vector<std::vector<uint8_t>>(const Reply& callback)>;
// The same for a callback that the client does not answer (progress). Throws CallbackLost.
using CallbackNotice = std::function<void(const Reply& callback)>;

// What the blob, filter and maintenance handlers keep per session: the server's filter ids, the
// callback filters' links back to the client, and the channels of the request in progress.
struct DataState {
  struct FilterLink {
    DataState* state = nullptr;
    uint32_t cursor = 0;
  };
  struct FilterEntry {
    uint32_t id;
    uint32_t cursor;
    TFilter* filter;
  };
  CallbackChannel channel;
  CallbackNotice notice;
  std::vector<FilterEntry> filters;
  std::vector<std::unique_ptr<FilterLink>> links;
  uint32_t nextFilterId = 1;

  // Drops the ids of cursor `handle`'s filters that `c` no longer has.
  void forget(uint32_t handle, const TDataCursor& c) {
    std::erase_if(filters, [&](const FilterEntry& e) {
      return e.cursor == handle && std::none_of(c.Filters().begin(), c.Filters().end(),
                                                [&](const auto& k) { return k.get() == e.filter; });
    });
  }
};

inline TIndexDescriptor indexAt(const Params& p, size_t i) {
  const auto image = p.at(i);
  if (image.size() != kIndexDescriptorSize) throw BadRequest{};
  return TIndexDescriptor::LoadFrom(image.data());
}

// Reads a table definition as the create and restructure requests carry it (WriteTableDefinition)
// from parameter `at` on and returns the parameter after it; `stopWords` keeps the list that
// `a.StopWords` then points to.
inline size_t readTableDefinition(const Params& p, size_t at, TCreateTableArgs& a,
                                  std::vector<std::string>& stopWords, int64_t serverVersion) {
  a.LanguageId = p.u16(at);
  a.SortId = p.u16(at + 1);
  a.UserMajorVersion = p.u16(at + 2);
  a.UserMinorVersion = p.u16(at + 3);
  a.Encrypted = p.u8(at + 4);
  a.Password = p.text(at + 5);
  a.Description = p.text(at + 6);
  a.BlobBlockSize = p.u16(at + 7);
  const uint16_t fields = p.u16(at + 8);
  at += 9;
  for (uint16_t i = 0; i < fields; ++i, ++at) {
    const auto image = p.at(at);
    if (image.size() != kFieldDescriptorSize) throw BadRequest{};
    a.Fields.emplace_back();
    std::copy(image.begin(), image.end(), a.Fields.back().Bytes());
  }
  for (int i = p.u8(at++); i >= 0; --i) a.Indexes.push_back(indexAt(p, at++));
  if (serverVersion >= 30400) {
    a.TextIndex = indexAt(p, at++);
    TCursorReply rest;
    for (size_t i = at; i < p.count(); ++i) rest.emplace_back(p.at(i).begin(), p.at(i).end());
    size_t used = 0;
    bool hasList = false;
    if (!ReadTextIndexParams(rest, used, hasList, stopWords, a.SpaceChars, a.IncludeChars))
      throw BadRequest{};
    if (hasList) a.StopWords = &stopWords;
    at += used;
  }
  return at;
}

// Serves the blob, filter, table-maintenance and restructure requests; false for any other code.
// `cursor` finds the session's cursor of a handle (raising for an unknown one).
bool serveData(uint16_t code, const Params& p, Reply& reply, DataState& state,
               const std::function<TDataCursor&(uint32_t)>& cursor, int64_t serverVersion);

// The SQL statements of a session and the cursors over their results, which the statements own:
// a result cursor is opened, closed and freed with its statement, not by the client's requests.
struct StatementState {
  std::map<uint32_t, std::unique_ptr<engine::sql::TQueryStatement>> statements;
  std::map<uint32_t, TDataCursor*> results;  // by cursor handle
  std::map<uint32_t, uint32_t> resultOf;     // statement handle -> its result's cursor handle

  bool isResult(uint32_t handle) const { return results.count(handle) != 0; }
};

// Serves CREATESTMT, PREPARESTMT, SETSTMTPARAMS, EXECUTESTMT and FREESTMT; false for any other
// code. `directory` finds a directory handle's directory; `nextHandle` hands out cursor and
// statement handles; progress goes to the client through `data`'s channel.
bool serveStatement(uint16_t code, const Params& p, Reply& reply, StatementState& state, DataState& data,
                    const std::function<TDataDirectory&(uint32_t)>& directory, uint32_t& nextHandle,
                    int64_t serverVersion);

}  // namespace engineserver
