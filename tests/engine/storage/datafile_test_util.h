// Helpers of the data-file tests: a table owner and a cursor standing in for the table layer,
// field definitions with their record layout, and raw access to the bytes of a table file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/storage/veldordata.h"
#include "engine/storage/veldorkeys.h"
#include "platform/bytes.h"
#include "tests/engine/storage/storage_test_util.h"

namespace datafile_test {

using namespace engine;

// The table layer as the data file sees it; every answer can be set by the test, and value
// texts are checked as the table checks them.
class TestTable : public TStandaloneTableOwner {
 public:
  TestTable() {
    tableName = "task";
    tablePath = "/db";
  }
  bool IsValidValueText(std::string_view text, uint8_t type) const override {
    if (text.empty()) return true;
    switch (type) {
      case 4:
        return IsValidBooleanText(text);
      case 5:
        return IsValidSmallIntText(text);
      case 12:
        return IsValidWordText(text);
      case 6:
      case 18:
        return IsValidIntegerText(text);
      case 7:
      case 8:
        return IsValidFloatText(text);
      case 2:
        return IsValidDateText(text);
      default:
        return true;
    }
  }
};

// A cursor that answers the cache's read check and read-ahead question.
class TestCursor : public TCacheReader {
 public:
  bool BeginRead() override {
    ++beginReads;
    if (onBeginRead) return onBeginRead();
    return false;
  }
  uint32_t GetReadAheadCount(uint32_t readAheadCount, bool) override {
    return wanted ? wanted : readAheadCount;
  }
  bool KeepsReadAhead(uint32_t recordNo) override { return !keeps || keeps(recordNo); }
  bool FetchesByKey() override { return byKey; }
  std::function<bool(uint32_t)> keeps;
  bool byKey = false;
  int beginReads = 0;
  uint32_t wanted = 0;
  std::function<bool()> onBeginRead;
};

inline TFieldDescriptor field(uint16_t number, const std::string& name, uint8_t type, uint8_t size = 0,
                              uint8_t subType = 0, uint8_t scale = 0) {
  TFieldDescriptor d;
  d.SetFieldNumber(number);
  d.SetName(name);
  d.SetType(type);
  d.SetSize(size);
  d.SetSubType(subType);
  d.SetScale(scale);
  return d;
}

// Stored sizes and record offsets as the table layer assigns them. Returns the record size.
inline uint32_t layOut(std::vector<TFieldDescriptor>& fields) {
  uint32_t running = 9;
  for (TFieldDescriptor& d : fields) {
    SetFieldStorageSize(d.Span());
    SetFieldStorageScale(d.Span());
    if (d.Computed()) continue;
    if (d.IsAutoInc()) {
      d.SetOffset(5);
      continue;
    }
    d.SetOffset(uint16_t(running));
    running += d.StoredSize() + 1u;
  }
  return running;
}

// `count` byte fields of `size` bytes each (type 9), laid out.
inline std::vector<TFieldDescriptor> byteFields(int count, uint8_t size) {
  std::vector<TFieldDescriptor> fields;
  for (int i = 1; i <= count; ++i) fields.push_back(field(uint16_t(i), "F" + std::to_string(i), 9, size));
  layOut(fields);
  return fields;
}

using storage_test::errorOf;

inline std::vector<uint8_t> readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Changes the file's bytes in place through `edit`.
inline void patchFile(const std::string& path, const std::function<void(std::vector<uint8_t>&)>& edit) {
  std::vector<uint8_t> bytes = readFileBytes(path);
  edit(bytes);
  writeFileBytes(path, bytes);
}

// Writes everything a table flush writes.
inline void flushAll(TDataFile& file) {
  file.FlushDirtyRecords();
  file.WriteHeader(false);
  file.WriteFieldDescriptors();
}

// Fills the field area of `record` with bytes derived from `seed`.
inline void fillRecord(TRecord& record, uint32_t seed) {
  uint8_t* p = record.GetBuffer();
  for (uint32_t i = 9; i < record.GetBufferSize(); ++i) p[i] = uint8_t(seed * 31 + i * 7);
  record.SetDirty(true);
}

// Appends `count` records through AllocateRecord, each filled from its number.
inline void appendRecords(TDataFile& file, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    TRecord* r = nullptr;
    ASSERT_TRUE(file.AllocateRecord(nullptr, r));
    r->Initialize(true);
    fillRecord(*r, r->GetRecordNumber());
    file.ReleaseRecord(r);
  }
}

}  // namespace datafile_test
