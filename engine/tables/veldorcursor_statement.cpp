// A remote SQL statement's result cursor: the server's description of it and of its field list,
// and the cursor state that each run of the statement sends.
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/values/veldorexptoken.h"

namespace engine {

namespace {

const std::vector<uint8_t>& paramAt(const TCursorReply& reply, size_t at) {
  if (at >= reply.size()) RaiseEngineError(VELDOR_REMOTEINVREQUEST);
  return reply[at];
}

uint8_t byteAt(const TCursorReply& reply, size_t at) {
  const auto& p = paramAt(reply, at);
  if (p.size() != 1) RaiseEngineError(VELDOR_REMOTEINVREQUEST);
  return p[0];
}

}  // namespace

void TDataCursor::ReadCursorReply(const TCursorReply& reply, size_t& at) {
  if (active_) Raise(VELDOR_TABLEOPEN);
  const auto& handle = paramAt(reply, at++);
  if (handle.size() != 4) Raise(VELDOR_REMOTEINVREQUEST);
  std::memcpy(&serverCursor_, handle.data(), 4);
  const auto& name = paramAt(reply, at++);
  tableName_.assign(name.begin(), name.end());
  options_.Exclusive = byteAt(reply, at++) != 0;
  options_.InMemory = byteAt(reply, at++) != 0;
  options_.Temporary = byteAt(reply, at++) != 0;
  options_.QueryResult = byteAt(reply, at++) != 0;
  options_.QuerySource = byteAt(reply, at++) != 0;
}

void TDataCursor::ReadFieldDescs(const TCursorReply& reply, size_t& at, int64_t serverVersion) {
  const auto& count = paramAt(reply, at++);
  if (count.size() != 2) Raise(VELDOR_REMOTEINVREQUEST);
  const uint16_t n = uint16_t(count[0] | (count[1] << 8));
  std::vector<TFieldDescriptor> descriptors(n);
  std::vector<TExpTreePtr> trees(n);
  for (uint16_t i = 0; i < n; ++i) {
    const auto& image = paramAt(reply, at++);
    if (image.size() != kFieldDescriptorSize) Raise(VELDOR_REMOTEINVREQUEST);
    std::memcpy(descriptors[i].Bytes(), image.data(), kFieldDescriptorSize);
    // A computed field's expression follows its descriptor.
    if (serverVersion >= 30800 && descriptors[i].Bytes()[247] != 0) {
      trees[i].reset(UnflattenExpTree(paramAt(reply, at++)));
      if (!trees[i]) Raise(VELDOR_REMOTEINVREQUEST);
    }
  }
  SetFieldDescs(descriptors);
  for (uint16_t i = 0; i < n; ++i)
    if (trees[i]) AttachFieldExpression(uint16_t(i + 1), trees[i].release());
}

}  // namespace engine
