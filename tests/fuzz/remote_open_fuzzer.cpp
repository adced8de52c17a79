// Fuzz target over what a remote cursor takes from its server's replies: the table's headers and
// counters at the open, the cursor state, record blocks and records, blob replies, and the
// replies of index, find, bookmark and range requests. The input is a list of
// replies (a u8 parameter count, then per parameter a u16 length and its bytes); a stand-in
// request path hands them out one per request. Whatever arrives must end in an open cursor or a
// clean error, never in a read outside a reply.
#include <cstdint>
#include <span>
#include <stdexcept>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/bytes.h"

namespace {

class ScriptedPath final : public engine::TCursorRequestPath {
 public:
  explicit ScriptedPath(std::span<const uint8_t> input) : input_(input) {}

  engine::TCursorReply Exchange(engine::TDataCursor&, uint16_t code, const engine::TCursorRequest&) override {
    lastCode = code;
    if (input_.empty()) engine::SignalEngineError(engine::VELDOR_REMOTECOMMLOST);
    size_t count = input_[0];
    input_ = input_.subspan(1);
    engine::TCursorReply reply;
    while (count-- > 0 && input_.size() >= 2) {
      const size_t size = std::min<size_t>(platform::get2(input_.data()), input_.size() - 2);
      reply.emplace_back(input_.begin() + 2, input_.begin() + 2 + ptrdiff_t(size));
      input_ = input_.subspan(2 + size);
    }
    return reply;
  }
  void ReadCursorState(engine::TDataCursor& cursor, const engine::TCursorReply& reply) override {
    engine::SessionCursorRequestPath().ReadCursorState(cursor, reply);
  }
  bool done() const { return input_.empty(); }
  uint16_t lastCode = 0;

 private:
  std::span<const uint8_t> input_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  ScriptedPath path({data + 1, size - 1});
  engine::SetCursorRequestPath(&path);
  {
    engine::TDataSession session;
    session.SetSessionType(engine::stRemote);
    engine::TDataDirectory* directory = session.OpenDataDirectory("db", "", true);
    try {
      engine::TDataCursor cursor(*directory);
      cursor.SetTableName("t");
      cursor.Open();
      std::vector<uint8_t> records(size_t(cursor.RecordSize()) * 3), key(engine::kMaxCursorKeySize + 4, 0x41);
      for (uint8_t step = data[0]; !path.done(); step = uint8_t(step * 5 + 1)) {
        try {
          uint32_t count = 3;
          uint32_t got = 0;
          uint8_t bytes[64], value[512];
          bool isNull = false;
          switch (step % 14) {
            case 0:
              if (cursor.GetNextRecord(records.data()) == 0)
                for (uint16_t f = 1; f <= cursor.FieldCount(); ++f)
                  cursor.GetField(f, records.data(), isNull, value);
              break;
            case 1:
              cursor.GetPriorRecord(records.data());
              break;
            case 2:
              cursor.GetCurrentRecord(records.data(), step % 2 == 0);
              break;
            case 3:
              cursor.ReadRecordBlock(count, records.data());
              break;
            case 10:
              cursor.OpenBlob(1, records.data(), 1, true, 0);
              break;
            case 11:
              cursor.GetBlob(1, records.data(), 0, bytes, sizeof bytes, got, true);
              break;
            case 12:
              cursor.PutBlob(1, records.data(), 0, bytes, sizeof bytes, true);
              break;
            case 13:
              cursor.GetBlobSize(1, records.data(), got, true);
              break;
            case 4:
              cursor.SetToEnd();
              break;
            // Keys, ranges, finds, bookmarks and positioning.
            case 5:
              cursor.SetIndexName(step % 4 ? "I" : "");
              break;
            case 6:
              cursor.FindKey(true, key.data(), step % 3, step % 2, 0, step % 4 ? records.data() : nullptr);
              break;
            case 7:
              cursor.SetToBookmark(key.data(), step % 2);
              cursor.GetBookmark(key.data());
              break;
            case 8:
              cursor.CloneCurrentRecord(step % 2 ? records.data() : nullptr);
              break;
            default:
              cursor.SetRange(true, key.data(), 0, nullptr, 0);
              cursor.GetSequenceNumber();
              break;
          }
        } catch (const engine::EVELDOREngineError&) {
          // A clean error is the expected end of a damaged reply.
        }
      }
    } catch (const engine::EVELDOREngineError&) {
    }
  }
  engine::SetCursorRequestPath(nullptr);
  return 0;
}
