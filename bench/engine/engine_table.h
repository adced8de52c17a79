// The table that engine_bench and engine_case work on, and the rows they put in it: fields K,
// NAME, AMOUNT, NOTE; secondary indexes on K (unique), NAME and AMOUNT, as many as asked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"

namespace engine_bench {

using namespace engine;

// Folder `leaf` under VELMARON_BENCH_DIR (the system's temporary folder when unset).
inline std::string benchDir(const char* leaf) {
  const char* s = std::getenv("VELMARON_BENCH_DIR");
  return (std::filesystem::path(s ? s : std::filesystem::temp_directory_path().string()) / leaf).string();
}

inline TFieldDescriptor makeField(uint16_t number, const char* name, uint8_t type, uint8_t size = 0) {
  TFieldDescriptor d;
  d.SetFieldNumber(number);
  d.SetName(name);
  d.SetType(type);
  d.SetSize(size);
  return d;
}

struct Row {
  int32_t k;
  std::string name;
  int32_t amount;
};

inline TRestructureArgs tableArgs(int indexes) {
  TRestructureArgs a;
  a.BlobBlockSize = 512;
  a.NoPrimaryIndex = true;
  a.Fields = {makeField(1, "K", 6), makeField(2, "NAME", 1, 20), makeField(3, "AMOUNT", 6),
              makeField(4, "NOTE", 1, 20)};
  const char* names[] = {"BYK", "BYNAME", "BYAMOUNT"};
  a.Indexes.resize(size_t(1 + indexes));
  for (int i = 1; i <= indexes; ++i) {
    a.Indexes[size_t(i)].name = names[i - 1];
    a.Indexes[size_t(i)].fields[0] = uint16_t(i);
    a.Indexes[size_t(i)].unique = i == 1;
  }
  return a;
}

// `n` rows with the keys 0..n-1 in an order drawn from `rng`, which goes on from there.
inline std::vector<Row> makeRows(size_t n, std::mt19937& rng) {
  std::vector<Row> rows(n);
  std::vector<int32_t> ks(n);
  std::iota(ks.begin(), ks.end(), 0);
  std::shuffle(ks.begin(), ks.end(), rng);
  for (size_t i = 0; i < n; ++i) {
    char name[24];
    std::snprintf(name, sizeof name, "name%08d", int(ks[i] * 7919 % int(n)));
    rows[i] = {ks[i], name, int32_t(rng() % 1000)};
  }
  return rows;
}

// The table "t<indexes>", created afresh and open on an exclusive cursor.
class BenchTable {
 public:
  BenchTable(TDataDirectory& d, int indexes) : cursor_(d) {
    cursor_.SetTableName("t" + std::to_string(indexes));
    cursor_.SetExclusive(true);
    TRestructureArgs a = tableArgs(indexes);
    cursor_.CreateTable(a);
    cursor_.Open();
    buffer_.resize(cursor_.RecordSize());
  }
  TDataCursor& cursor() { return cursor_; }
  std::vector<uint8_t>& buffer() { return buffer_; }
  // The row in the cursor's buffer.
  uint8_t* put(const Row& r) {
    cursor_.ClearRecordBuffer(buffer_.data());
    cursor_.PutField(1, buffer_.data(), reinterpret_cast<const uint8_t*>(&r.k));
    cursor_.PutField(2, buffer_.data(), reinterpret_cast<const uint8_t*>(r.name.c_str()));
    cursor_.PutField(3, buffer_.data(), reinterpret_cast<const uint8_t*>(&r.amount));
    cursor_.PutField(4, buffer_.data(), reinterpret_cast<const uint8_t*>("a note of some words"));
    return buffer_.data();
  }
  // Appends the rows one by one and writes them out.
  void append(const std::vector<Row>& rows) {
    for (const Row& r : rows) cursor_.AppendRecord(put(r));
    cursor_.FlushBuffers(true, false, true, true, false);
  }
  // Every row of the cursor's view from its start; how many.
  uint32_t scan() {
    uint32_t n = 0;
    cursor_.SetToBegin();
    while (cursor_.GetNextRecord(buffer_.data()) == 0) ++n;
    return n;
  }
  // Scans K in [lo, lo + width]; how many rows. Requires index BYK selected.
  uint32_t scanRange(int32_t lo, int32_t width) {
    std::vector<uint8_t> low(put({lo, "", 0}), put({lo, "", 0}) + cursor_.RecordSize());
    cursor_.SetRange(false, low.data(), 1, put({lo + width, "", 0}), 1);
    return scan();
  }

 private:
  TDataCursor cursor_;
  std::vector<uint8_t> buffer_;
};

}  // namespace engine_bench
