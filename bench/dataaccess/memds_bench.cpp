// The memory dataset over 100k rows (an integer and a heap string each): opening it and reading
// every row through the dataset's fields, beside the same scan straight over the record store;
// and Locate ignoring case, whose only hit is the last row.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "dataaccess/memdata_list.h"
#include "dataaccess/memds.h"

namespace {

using namespace dataaccess;
namespace ds = dataset;

constexpr int kRows = 100000;

// A record list that holds kRows rows as soon as it opens, as a fetch would leave it.
class Rows : public TMemData {
 public:
  void InternalInitFields() override {
    for (auto [name, type, size] : {std::tuple{"ID", dtInteger, 4}, {"NAME", dtExtString, 8}}) {
      auto f = std::make_unique<TFieldDesc>();
      f->Name = f->ActualName = name;
      f->DataType = uint16_t(type);
      f->Size = uint16_t(size);
      f->Length = 30;
      f->FieldNo = uint16_t(Fields.Count() + 1);
      Fields.Add(std::move(f));
    }
  }
  void InternalOpen() override {
    std::unique_ptr<uint8_t[]> buf(AllocRecBuf());
    for (int i = 0; i < kRows; ++i) {
      InitRecord(buf.get());
      PutFieldAsVariant(1, buf.get(), int32_t(i));
      PutFieldAsVariant(2, buf.get(), "Customer " + std::to_string(i));
      BlockMan.PutRecord(AppendItem(), buf.get());
      ++RecordCount;
    }
    ReorderItems(nullptr, 2);
  }
};

class RowSet : public TMemDataSet {
 public:
  RowSet() { SetIRecordSet(std::make_unique<Rows>()); }
};

void BM_OpenAndScanDataSet(benchmark::State& state) {
  RowSet d;
  for (auto _ : state) {
    d.Open();
    Field& id = d.FieldByName("ID");
    Field& name = d.FieldByName("NAME");
    int64_t sum = 0;
    size_t chars = 0;
    for (; !d.Eof(); d.Next()) {
      sum += id.AsInteger();
      chars += name.AsString().size();
    }
    benchmark::DoNotOptimize(sum + int64_t(chars));
    d.Close();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_OpenAndScanDataSet)->Unit(benchmark::kMillisecond);

void BM_OpenAndScanRecordStore(benchmark::State& state) {
  Rows t;
  for (auto _ : state) {
    t.InitFields();
    t.Open();
    std::unique_ptr<uint8_t[]> buf(t.AllocRecBuf());
    int64_t sum = 0;
    size_t chars = 0;
    for (t.SetToBegin(), t.GetNextRecord(buf.get()); !t.Eof(); t.GetNextRecord(buf.get())) {
      sum += t.GetFieldAsVariant(1, buf.get()).asInt32();
      chars += t.GetFieldAsVariant(2, buf.get()).asString().size();
    }
    benchmark::DoNotOptimize(sum + int64_t(chars));
    t.Close();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_OpenAndScanRecordStore)->Unit(benchmark::kMillisecond);

void BM_LocateLastRowIgnoringCase(benchmark::State& state) {
  RowSet d;
  d.Open();
  const std::string key = "CUSTOMER " + std::to_string(kRows - 1);
  for (auto _ : state) {
    d.First();
    if (!d.Locate("NAME", key, ds::loCaseInsensitive) || d.RecNo() != kRows) state.SkipWithError("not found");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_LocateLastRowIgnoringCase)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
