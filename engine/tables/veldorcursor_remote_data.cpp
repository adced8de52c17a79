// The remote forms of the blob operations, the index additions and removals and the
// restructure: each one request to the engine server, which does the work on its own cursor.
#include <algorithm>
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"
#include "platform/bytes.h"
#include "platform/scopeguard.h"

namespace engine {

using platform::UndoOnFailure;

namespace {

uint16_t codeAt(const TCursorReply& reply, size_t i) {
  if (i >= reply.size() || reply[i].size() != 2) SignalEngineError(VELDOR_UNCOMPRESS);
  return platform::get2(reply[i].data());
}

uint32_t u32At(const TCursorReply& reply, size_t i) {
  if (i >= reply.size() || reply[i].size() != 4) SignalEngineError(VELDOR_UNCOMPRESS);
  return platform::get4(reply[i].data());
}

// The reply of a blob request that sends the record back: its code, then the record as the
// server left it.
uint16_t takeBlobRecord(const TCursorReply& reply, uint8_t* buffer, uint32_t recordSize) {
  const uint16_t code = codeAt(reply, 0);
  if (reply.size() < 2 || reply[1].size() != recordSize) SignalEngineError(VELDOR_UNCOMPRESS);
  if (recordSize > 0) std::memcpy(buffer, reply[1].data(), recordSize);
  return code;
}

}  // namespace

uint16_t TDataCursor::remoteOpenBlob(uint16_t fieldNo, uint8_t* buffer, uint8_t openMode, bool tableFields,
                                     uint8_t tag) {
  const TCursorReply reply = exchange(
      REQUEST_OPENBLOB,
      remotePosition().U16(fieldNo).Bytes({buffer, recordSize_}).U8(openMode).U8(tableFields).U8(tag));
  const uint16_t code = takeBlobRecord(reply, buffer, recordSize_);
  requests().ReadCursorState(*this, TCursorReply(reply.begin() + 2, reply.end()));
  return code;
}

uint16_t TDataCursor::remoteFreeBlob(uint16_t fieldNo, uint8_t* buffer, bool tableFields, uint8_t tag) {
  const TCursorReply reply = exchange(
      REQUEST_FREEBLOB,
      TCursorRequest{}.U32(serverCursor_).U16(fieldNo).Bytes({buffer, recordSize_}).U8(tableFields).U8(tag));
  return takeBlobRecord(reply, buffer, recordSize_);
}

uint16_t TDataCursor::remoteGetBlob(uint16_t fieldNo, const uint8_t* buffer, int32_t position,
                                    uint8_t* destination, int32_t length, uint32_t& countRead,
                                    bool tableFields) {
  countRead = 0;
  const TCursorReply reply = exchange(REQUEST_GETBLOB, TCursorRequest{}
                                                           .U32(serverCursor_)
                                                           .U16(fieldNo)
                                                           .Bytes({buffer, recordSize_})
                                                           .U32(uint32_t(position))
                                                           .U32(uint32_t(length))
                                                           .U8(tableFields));
  const uint16_t code = codeAt(reply, 0);
  const uint32_t read = u32At(reply, 1);
  // Never more than asked for, and exactly the bytes announced.
  if (reply.size() < 3 || reply[2].size() != read || (read > 0 && (length < 0 || read > uint32_t(length))))
    Raise(VELDOR_UNCOMPRESS);
  if (read > 0) std::memcpy(destination, reply[2].data(), read);
  countRead = read;
  return code;
}

uint16_t TDataCursor::remotePutBlob(uint16_t fieldNo, uint8_t* buffer, int32_t position,
                                    const uint8_t* source, int32_t length, bool tableFields) {
  const TCursorReply reply = exchange(REQUEST_PUTBLOB, TCursorRequest{}
                                                           .U32(serverCursor_)
                                                           .U16(fieldNo)
                                                           .Bytes({buffer, recordSize_})
                                                           .U32(uint32_t(position))
                                                           .U32(uint32_t(length))
                                                           .Bytes({source, size_t(std::max(length, 0))})
                                                           .U8(tableFields));
  return takeBlobRecord(reply, buffer, recordSize_);
}

uint16_t TDataCursor::remoteTruncateBlob(uint16_t fieldNo, uint8_t* buffer, int32_t length,
                                         bool tableFields) {
  const TCursorReply reply = exchange(REQUEST_TRUNCATEBLOB, TCursorRequest{}
                                                                .U32(serverCursor_)
                                                                .U16(fieldNo)
                                                                .Bytes({buffer, recordSize_})
                                                                .U32(uint32_t(length))
                                                                .U8(tableFields));
  return takeBlobRecord(reply, buffer, recordSize_);
}

uint16_t TDataCursor::remoteGetBlobSize(uint16_t fieldNo, const uint8_t* buffer, uint32_t& size,
                                        bool tableFields) {
  size = 0;
  const TCursorReply reply =
      exchange(REQUEST_GETBLOBSIZE,
               TCursorRequest{}.U32(serverCursor_).U16(fieldNo).Bytes({buffer, recordSize_}).U8(tableFields));
  const uint16_t code = codeAt(reply, 0);
  size = u32At(reply, 1);
  return code;
}

void TDataCursor::remoteFreeAllBlobs(bool all) {
  exchange(REQUEST_FREEALLBLOBS, TCursorRequest{}.U32(serverCursor_).U8(all));
}

// ---- Indexes and restructuring ----

void TDataCursor::remoteAddSecondaryIndex(const TIndexDescriptor& descriptor) {
  table_->KeepRemoteIndexHeader();
  const uint8_t slot = table_->IndexFile().AddSecondaryIndex(descriptor);
  uint8_t image[kIndexDescriptorSize];
  descriptor.StoreTo(image);
  UndoOnFailure forget([&] { table_->IndexFile().DeleteIndexDescriptor(slot, true); });
  const TCursorReply reply = exchange(REQUEST_ADDSECONDARYINDEX, remotePosition().Bytes(image).U8(0));
  forget.Dismiss();
  requests().ReadCursorState(*this, reply);
}

void TDataCursor::remoteDeleteIndex(std::string_view name, uint8_t slot) {
  const TCursorReply reply = exchange(REQUEST_DELETEINDEX, remotePosition().Text(name).U8(1));
  if (reply.empty() || reply[0].size() != 1) Raise(VELDOR_UNCOMPRESS);
  table_->KeepRemoteIndexHeader();
  table_->IndexFile().DeleteIndexDescriptor(slot, true);
  requests().ReadCursorState(*this, TCursorReply(reply.begin() + 1, reply.end()));
  SelectIndex(reply[0][0]);
}

void TDataCursor::remoteRestructureTable(const TRestructureArgs& args) {
  TCursorRequest request;
  request.U32(serverCursor_).Text(tableName_).U8(options_.InMemory);
  WriteTableDefinition(request, args, GetServerVersion());
  request.U8(args.NoPrimaryIndex)
      .U32(uint32_t(int32_t(args.LastAutoIncValue)))
      .U8(args.NoBackup)
      .U8(args.OptionBytes[0])
      .U8(args.OptionBytes[1]);
  exchange(REQUEST_RESTRUCTURETABLE, std::move(request));
}

}  // namespace engine
