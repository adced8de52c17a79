// A remote table's headers and counters, loaded from the parameters of its server's replies, and
// the same parameters built from a local table for a server to send.
#include <bit>
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "platform/bytes.h"

namespace engine {
namespace {

constexpr int64_t kReadOnlyByteServerVersion = 30800;
constexpr size_t kHeaderStampOffset = 27;

// The next parameter, which must be `size` bytes long (any size for SIZE_MAX).
const std::vector<uint8_t>& take(const TDataTable::RemoteReply& reply, size_t& at, size_t size = SIZE_MAX) {
  if (at >= reply.size() || (size != SIZE_MAX && reply[at].size() != size))
    SignalEngineError(VELDOR_UNCOMPRESS);
  return reply[at++];
}

void add(TDataTable::RemoteReply& out, const uint8_t* bytes, size_t size) {
  out.emplace_back(bytes, bytes + size);
}

void addU32(TDataTable::RemoteReply& out, uint32_t v) {
  uint8_t b[4];
  platform::put4(b, v);
  add(out, b, 4);
}

}  // namespace

void TDataTable::LoadRemoteHeaders(const RemoteReply& reply, size_t& at, int64_t serverVersion) {
  if (serverVersion >= kReadOnlyByteServerVersion) readOnly_ = take(reply, at, 1)[0] != 0;
  readOnlyAttribute_ = take(reply, at, 1)[0] != 0;
  if (readOnlyAttribute_) readOnly_ = true;
  const auto& header = take(reply, at, kDataHeaderSize);
  data_->LoadHeaderFromReply(header, [&] { return std::span<const uint8_t>(take(reply, at)); });
  index_->LoadHeaderFromReply(take(reply, at, kIndexHeaderSize).data());
  const auto& blob = take(reply, at);
  if (data_->GetBlobFieldCount() > 0) {
    if (blob.size() != kBlobHeaderSize) SignalEngineError(VELDOR_UNCOMPRESS);
    blob_->LoadHeaderFromReply(blob.data());
  }
  remoteHeadersLoaded_ = true;
}

void TDataTable::LoadRemoteCounters(const RemoteReply& reply, size_t& at) {
  const uint32_t lastRecord = platform::get4(take(reply, at, 4).data());
  const uint32_t lastUniqueId = platform::get4(take(reply, at, 4).data());
  const double stamp = std::bit_cast<double>(platform::get8(take(reply, at, 8).data()));
  const uint32_t count = platform::get4(take(reply, at, 4).data());
  data_->LoadCountersFromReply(lastRecord, lastUniqueId, stamp);
  index_->LoadRecordCountFromReply(count);
}

void TDataTable::WriteRemoteHeaders(RemoteReply& out, int64_t serverVersion) const {
  if (serverVersion >= kReadOnlyByteServerVersion) out.push_back({uint8_t(readOnly_)});
  out.push_back({uint8_t(readOnlyAttribute_)});
  uint8_t header[kDataHeaderSize];
  data_->GetHeader(header);
  add(out, header, kDataHeaderSize);
  for (uint16_t p = 1; p <= data_->GetFieldCount(); ++p)
    add(out, data_->GetFieldDescriptor(p)->Bytes(), kFieldDescriptorSize);
  add(out, index_->HeaderImage(), kIndexHeaderSize);
  out.emplace_back();
  if (data_->GetBlobFieldCount() > 0) {
    out.back().resize(kBlobHeaderSize);
    blob_->CopyHeaderImage(out.back().data());
  }
}

void TDataTable::WriteRemoteCounters(RemoteReply& out) const {
  addU32(out, data_->GetLastRecordNumber());
  addU32(out, data_->GetLastUniqueId());
  uint8_t header[kDataHeaderSize];
  data_->GetHeader(header);
  const double stamp = std::bit_cast<double>(platform::get8(header + kHeaderStampOffset)) + kStampBias;
  uint8_t b[8];
  platform::put8(b, std::bit_cast<uint64_t>(stamp));
  add(out, b, 8);
  addU32(out, index_->GetRecordCount());
}

void TDataTable::KeepRemoteIndexHeader() {
  if (inTransaction_ && remoteIndexKept_.empty())
    remoteIndexKept_.assign(index_->HeaderImage(), index_->HeaderImage() + kIndexHeaderSize);
}

}  // namespace engine
