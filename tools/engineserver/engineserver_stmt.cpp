// The loopback server's SQL statements: each request runs the same step of a local statement,
// and a SELECT's result is handed to the client as a cursor it reads like any other.
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldordirectory.h"
#include "engine/values/veldorexptoken.h"
#include "tools/engineserver/engineserver_wire.h"

namespace engineserver {

namespace {

using engine::sql::TQueryStatement;

TQueryStatement& statementOf(StatementState& state, uint32_t handle) {
  auto it = state.statements.find(handle);
  if (it == state.statements.end()) SignalEngineError(VELDOR_REMOTEINVREQUEST);
  return *it->second;
}

// The result's description (and, for a live result that is not "*", its field list) under the
// cursor handle of the statement.
void describeResult(Reply& reply, StatementState& state, uint32_t statement, TQueryStatement& s,
                    TDataCursor& result, uint32_t& nextHandle, int64_t serverVersion) {
  auto known = state.resultOf.find(statement);
  const uint32_t handle = known != state.resultOf.end() ? known->second : nextHandle++;
  state.resultOf[statement] = handle;
  state.results[handle] = &result;
  if (serverVersion >= 30600 && s.Live) reply.text(result.Directory().Name());
  const auto& o = result.Options();
  reply.u32(handle)
      .text(result.TableName())
      .u8(o.Exclusive)
      .u8(o.InMemory)
      .u8(o.Temporary)
      .u8(1)
      .u8(o.QuerySource);
}

// The parameter block from parameter `at` on: a count, the descriptors, each value with its flag
// byte (a blob's length and a place-holder, then its bytes as an item of their own).
size_t readParams(const Params& p, size_t at, TQueryStatement& s) {
  const uint16_t count = p.u16(at++);
  std::vector<TFieldDescriptor> descriptors(count);
  for (uint16_t i = 0; i < count; ++i) {
    const auto image = p.at(at++);
    if (image.size() != kFieldDescriptorSize) throw BadRequest{};
    std::memcpy(descriptors[i].Bytes(), image.data(), kFieldDescriptorSize);
  }
  std::vector<uint8_t> values;
  std::vector<size_t> offsets;
  for (uint16_t i = 0; i < count; ++i) {
    const auto value = p.at(at++);
    if (value.empty()) throw BadRequest{};
    offsets.push_back(values.size());
    if (descriptors[i].IsBlob()) {
      const auto bytes = p.at(at++);
      if (value.size() < 5) throw BadRequest{};
      values.push_back(value[0]);
      uint8_t length[4];
      platform::put4(length, uint32_t(bytes.size()));
      values.insert(values.end(), length, length + 4);
      values.insert(values.end(), bytes.begin(), bytes.end());
    } else {
      values.insert(values.end(), value.begin(), value.end());
      // The descriptor's stored size is what the value holds after its flag.
      descriptors[i].SetStoredSize(uint8_t(value.size() - 1));
    }
  }
  s.SetParams(count, descriptors, values, offsets);
  return at;
}

}  // namespace

bool serveStatement(uint16_t code, const Params& p, Reply& reply, StatementState& state, DataState& data,
                    const std::function<TDataDirectory&(uint32_t)>& directory, uint32_t& nextHandle,
                    int64_t serverVersion) {
  switch (code) {
    case REQUEST_CREATESTMT: {
      auto statement = std::make_unique<TQueryStatement>(directory(p.u32(0)));
      const uint32_t handle = nextHandle++;
      state.statements[handle] = std::move(statement);
      reply.u32(handle);
      return true;
    }
    case REQUEST_PREPARESTMT: {
      const uint32_t handle = p.u32(0);
      TQueryStatement& s = statementOf(state, handle);
      const std::string sql = p.text(2);
      if (sql.size() != p.u32(1)) throw BadRequest{};
      s.RequestLive = p.u8(3);
      s.MaxRowCount = int32_t(p.u32(4));
      s.Prepare(sql);
      reply.u8(s.Kind).u8(s.Live).u8(s.ResultOnSourceTable);
      if (serverVersion >= 30600) reply.u8(s.SelectStar);
      if (serverVersion >= 30900 && s.Kind == engine::sql::qkSelect && s.MasterQuery() &&
          s.MasterQuery()->ResultCursor) {
        TDataCursor& result = *s.MasterQuery()->ResultCursor;
        describeResult(reply, state, handle, s, result, nextHandle, serverVersion);
        if (s.Live && !(serverVersion >= 30600 && s.SelectStar)) {
          reply.u16(result.FieldCount());
          for (uint16_t f = 1; f <= result.FieldCount(); ++f) {
            reply.bytes(result.GetFieldDesc(f).Bytes(), kFieldDescriptorSize);
            // A computed field's expression follows it, for the client to compute its edits.
            if (serverVersion >= 30800 && result.Field(f).desc.Computed()) {
              std::vector<uint8_t> flat;
              if (result.Field(f).tree) engine::FlattenExpTreeWithArgs(result.Field(f).tree.get(), flat);
              reply.bytes(flat.data(), flat.size());
            }
          }
        }
      }
      return true;
    }
    case REQUEST_SETSTMTPARAMS:
      readParams(p, 1, statementOf(state, p.u32(0)));
      return true;
    case REQUEST_EXECUTESTMT: {
      const uint32_t handle = p.u32(0);
      TQueryStatement& s = statementOf(state, handle);
      size_t at = serverVersion >= 30900 ? readParams(p, 1, s) : 1;
      if (p.u8(at)) {
        s.SetProgressCallback([&](int percent, bool& abort) {
          Reply callback;
          callback.u16(12).u32(handle).u16(uint16_t(percent)).u16(0);
          const auto answer = data.channel(callback);
          abort = !answer.empty() && !answer[0].empty() && answer[0][0] != 0;
        });
      } else {
        s.SetProgressCallback(nullptr);
      }
      TDataCursor* result = s.Execute();
      s.SetProgressCallback(nullptr);
      uint64_t seconds = 0;
      std::memcpy(&seconds, &s.ElapsedSeconds, 8);
      reply.i64(int64_t(seconds)).u32(uint32_t(s.RowsAffected));
      if (s.Kind == engine::sql::qkSelect && result) {
        if (serverVersion >= 30900) {
          auto known = state.resultOf.find(handle);
          if (known == state.resultOf.end()) SignalEngineError(VELDOR_REMOTEINVREQUEST);
          state.results[known->second] = result;
          addCursorState(reply, *result);
        } else {
          describeResult(reply, state, handle, s, *result, nextHandle, serverVersion);
        }
      }
      return true;
    }
    case REQUEST_FREESTMT: {
      const uint32_t handle = p.u32(0);
      auto known = state.resultOf.find(handle);
      if (known != state.resultOf.end()) {
        state.results.erase(known->second);
        state.resultOf.erase(known);
      }
      state.statements.erase(handle);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace engineserver
