// Fuzz target over opening a table whose files are damaged, headers included. The input holds
// the data, index and blob files in turn, each as a u32 length and its bytes (a file the input
// does not reach is left out). The table is opened, each of its indexes selected, its records
// read forwards and backwards with a key search and the size and first bytes of each blob. A
// damaged table must end in an engine error, never in a crash or a read outside a buffer.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/storage/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/bytes.h"

namespace {

namespace fs = std::filesystem;

const fs::path& folder() {
  static const fs::path path = [] {
    fs::path p = fs::temp_directory_path() / ("table_open_fuzzer-" + std::to_string(std::random_device{}()));
    fs::create_directories(p);
    return p;
  }();
  return path;
}

// Writes the table's files from the input; false when the index file is not in it.
bool writeFiles(std::span<const uint8_t> input) {
  bool index = false;
  for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
    const fs::path path = folder() / (std::string("t") + ext);
    std::error_code ec;
    fs::remove(path, ec);
    if (input.size() < 4) continue;
    const size_t size = std::min<size_t>(platform::get4(input.data()), input.size() - 4);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data() + 4), std::streamsize(size));
    input = input.subspan(4 + size);
    index = index || std::string_view(ext) == ".IDX";
  }
  return index;
}

void readAll(engine::TDataCursor& cursor, std::vector<uint8_t>& record) {
  cursor.SetToBegin();
  for (int n = 0; n < 64 && cursor.GetNextRecord(record.data()) == 0; ++n) {
    for (uint16_t f = 1; f <= cursor.FieldCount(); ++f) {
      if (!cursor.Field(f).desc.IsBlob()) continue;
      uint32_t size = 0;
      uint8_t bytes[64];
      if (cursor.GetBlobSize(f, record.data(), size, true) == 0 && size > 0)
        cursor.GetBlob(f, record.data(), 0, bytes, sizeof bytes, size, true);
    }
  }
  cursor.SetToEnd();
  for (int n = 0; n < 16 && cursor.GetPriorRecord(record.data()) == 0; ++n) {
  }
  std::vector<uint8_t> key(engine::kMaxCursorKeySize + 1, 0x41);
  cursor.FindKey(true, key.data(), 0, true, 0, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!writeFiles({data, size})) return 0;
  engine::TDataSession session;
  engine::TDataDirectory* directory = session.OpenDataDirectory("db", folder().string());
  try {
    engine::TDataCursor cursor(*directory);
    cursor.SetTableName("t");
    cursor.Open();
    std::vector<uint8_t> record(cursor.RecordSize());
    for (uint8_t slot = 0; slot <= cursor.GetIndexCount(); ++slot) {
      try {
        cursor.SwitchToIndex(slot);
        readAll(cursor, record);
      } catch (const engine::EVELDOREngineError&) {
        // One damaged index does not keep the others from being read.
      }
    }
  } catch (const engine::EVELDOREngineError&) {
  }
  session.CloseDataDirectory(directory);
  return 0;
}
