// Fuzz target over opening a table whose files are damaged, headers included: the input holds the
// data, index and blob files in turn, each a u32 length and its bytes. The table is opened, and
// through each index its records are read both ways with their blobs and a key is sought. A
// damaged table must end in an engine error, never in a crash or a read outside a buffer.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/bytes.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path folder = [] {
    fs::path p = fs::temp_directory_path() / ("table_open_fuzzer-" + std::to_string(std::random_device{}()));
    fs::create_directories(p);
    return p;
  }();
  for (const char* name : {"t.DAT", "t.IDX", "t.BLB"}) {
    const size_t length = size < 4 ? 0 : std::min<size_t>(platform::get4(data), size - 4);
    std::ofstream(folder / name, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data + 4), std::streamsize(length));
    data += size < 4 ? size : 4 + length;
    size -= size < 4 ? size : 4 + length;
  }
  engine::TDataSession session;
  engine::TDataDirectory* directory = session.OpenDataDirectory("db", folder.string());
  try {
    engine::TDataCursor cursor(*directory);
    cursor.SetTableName("t");
    cursor.Open();
    std::vector<uint8_t> record(cursor.RecordSize()), key(engine::kMaxCursorKeySize + 1, 0x41);
    uint8_t bytes[64];
    std::vector<uint8_t> value;
    for (uint8_t slot = 0; slot <= cursor.GetIndexCount(); ++slot) {
      try {
        cursor.SwitchToIndex(slot);
        cursor.SetToBegin();
        for (int n = 0; n < 64 && cursor.GetNextRecord(record.data()) == 0; ++n)
          for (uint16_t f = 1; f <= cursor.FieldCount(); ++f)
            if (uint32_t got = 0; cursor.Field(f).desc.IsBlob())
              cursor.GetBlob(f, record.data(), 0, bytes, sizeof bytes, got, true);
        cursor.SetToEnd();
        // Backwards each stored value is read whole, as a scan reads it in passing.
        for (int n = 0; n < 16 && cursor.GetPriorRecord(record.data()) == 0; ++n)
          for (uint16_t f = 1; f <= cursor.FieldCount(); ++f)
            if (cursor.Field(f).desc.IsBlob()) cursor.ReadBlobValue(f, true, record.data(), value);
        cursor.FindKey(true, key.data(), 0, true, 0, nullptr);
      } catch (const engine::EVELDOREngineError&) {
        // One damaged index does not keep the others from being read.
      }
    }
  } catch (const engine::EVELDOREngineError&) {
  }
  session.CloseDataDirectory(directory);
  return 0;
}
