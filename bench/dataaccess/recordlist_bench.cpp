// The in-memory record list: appending 100k rows of 10 mixed columns (blocks of 10 items and of
// 100), a forward scan, random positioning by record number, inserts in the middle, and freeing
// a list that holds long strings.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>

#include "dataaccess/memdata_list.h"

namespace {

using namespace dataaccess;

constexpr int kRows = 100000;

class Table : public TMemData {
 public:
  explicit Table(uint16_t blockItems) { BlockMan.DefaultItemCount = blockItems; }
  void InternalInitFields() override {
    const std::pair<uint16_t, uint16_t> columns[] = {
        {dtInteger, 4},  {dtExtString, 8}, {dtFloat, 8}, {dtDateTime, 8}, {dtString, 21},
        {dtSmallint, 2}, {dtExtString, 8}, {dtInt64, 8}, {dtBoolean, 2},  {dtWideString, 22}};
    for (auto [type, size] : columns) {
      auto f = std::make_unique<TFieldDesc>();
      f->Name = f->ActualName = "C" + std::to_string(Fields.Count());
      f->DataType = type;
      f->Size = size;
      f->Length = type == dtWideString ? 10 : 0;
      f->FieldNo = uint16_t(Fields.Count() + 1);
      Fields.Add(std::move(f));
    }
  }
};

void fill(Table& t, int rows, size_t longText = 0) {
  std::unique_ptr<uint8_t[]> buf(t.AllocRecBuf());
  const std::string text = longText ? std::string(longText, 'x') : "customer name";
  for (int i = 0; i < rows; ++i) {
    t.InitRecord(buf.get());
    t.PutFieldAsVariant(1, buf.get(), int32_t(i));
    t.PutFieldAsVariant(2, buf.get(), text);
    t.PutFieldAsVariant(3, buf.get(), i * 0.5);
    t.PutFieldAsVariant(4, buf.get(), dataset::DateTime{40000.0 + i});
    t.PutFieldAsVariant(5, buf.get(), "SHORT");
    t.PutFieldAsVariant(6, buf.get(), int32_t(i % 1000));
    t.PutFieldAsVariant(7, buf.get(), "second text");
    t.PutFieldAsVariant(8, buf.get(), int64_t(i) << 20);
    t.PutFieldAsVariant(9, buf.get(), i % 2 == 0);
    t.PutFieldAsVariant(10, buf.get(), std::u16string(u"wide"));
    t.AppendRecord(buf.get());
  }
}

std::unique_ptr<Table> openTable(uint16_t blockItems) {
  auto t = std::make_unique<Table>(blockItems);
  t->Open();
  t->InitFields();
  return t;
}

void BM_Append100kRows(benchmark::State& state) {
  for (auto _ : state) {
    auto t = openTable(uint16_t(state.range(0)));
    fill(*t, kRows);
    state.PauseTiming();
    state.counters["record_bytes"] = t->RecordSize;
    // Item header and record, rounded to 8, plus the block header's share.
    state.counters["item_bytes"] = double((sizeof(TItemHeader) + t->RecordSize + 7) / 8 * 8) +
                                   double(sizeof(TBlockHeader)) / double(state.range(0));
    t.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kRows);
}
BENCHMARK(BM_Append100kRows)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

void BM_ForwardScan(benchmark::State& state) {
  auto t = openTable(10);
  fill(*t, kRows);
  std::unique_ptr<uint8_t[]> buf(t->AllocRecBuf());
  for (auto _ : state) {
    t->SetToBegin();
    for (t->GetNextRecord(buf.get()); !t->Eof(); t->GetNextRecord(buf.get()))
      benchmark::DoNotOptimize(buf[0]);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kRows);
}
BENCHMARK(BM_ForwardScan)->Unit(benchmark::kMillisecond);

void BM_RandomSetRecNo(benchmark::State& state) {
  auto t = openTable(10);
  fill(*t, kRows);
  std::mt19937 rng(1);
  for (auto _ : state) t->SetRecNo(1 + int(rng() % kRows));
}
BENCHMARK(BM_RandomSetRecNo)->Unit(benchmark::kMicrosecond);

// Inserts 1,000 rows at the middle of a list of 100k.
void BM_InsertInTheMiddle(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto t = openTable(10);
    fill(*t, kRows);
    std::unique_ptr<uint8_t[]> buf(t->AllocRecBuf());
    t->InitRecord(buf.get());
    state.ResumeTiming();
    for (int i = 0; i < 1000; ++i) {
      t->SetRecNo(kRows / 2);
      t->InsertRecord(buf.get());
    }
    state.PauseTiming();
    t.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * 1000);
}
BENCHMARK(BM_InsertInTheMiddle)->Unit(benchmark::kMillisecond);

// Frees 100k rows whose text column holds 100 bytes (pooled) or 3,000 bytes (system heap).
void BM_FreeList(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto t = openTable(10);
    fill(*t, kRows, size_t(state.range(0)));
    state.ResumeTiming();
    t->FreeData();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kRows);
}
BENCHMARK(BM_FreeList)->Arg(100)->Arg(3000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
