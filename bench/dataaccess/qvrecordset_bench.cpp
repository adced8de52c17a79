// Fetching 100k rows of 10 mixed columns from the scripted fake driver through the driver
// record set, reading every row forward, with fetch blocks of 10 and of 64 rows. Counters: rows
// per second and the bytes of one held record.
#include <benchmark/benchmark.h>

#include "tests/dataaccess/fakedriver.h"

namespace {

using namespace fakedriver;

constexpr int kRows = 100000;

Script& script() {
  static Script s;
  static bool filled = [] {
    s.log = false;
    s.columns = {{"ID", dtInteger, 4},       {"NAME", dtString, 31},   {"AMOUNT", dtFloat, 8},
                 {"CREATED", dtDateTime, 8}, {"ACTIVE", dtBoolean, 2}, {"CODE", dtSmallint, 2},
                 {"BIG", dtInt64, 8},        {"NOTE", dtExtString, 8}, {"PRICE", dtCurrency, 8},
                 {"QTY", dtInteger, 4}};
    for (int i = 0; i < kRows; ++i)
      s.rows.push_back({int32_t(i), "Customer " + std::to_string(i), i * 1.25, dataset::DateTime{40000.0 + i},
                        i % 2 == 0, int16_t(i % 1000), int64_t(i) * 1000003, "note " + std::to_string(i % 97),
                        i * 0.01, int32_t(i % 13)});
    return true;
  }();
  (void)filled;
  return s;
}

void BM_FetchAllRowsForward(benchmark::State& state) {
  FakeConnection conn(script());
  conn.Connect("");
  auto rs = conn.CreateRecordSet();
  rs->SetSQL("SELECT");
  rs->SetProp(prFetchRows, int32_t(state.range(0)));
  int64_t sum = 0;
  for (auto _ : state) {
    rs->Open();
    std::unique_ptr<uint8_t[]> buf(rs->AllocRecBuf());
    for (rs->GetNextRecord(buf.get()); !rs->Eof(); rs->GetNextRecord(buf.get()))
      sum += rs->GetFieldAsVariant(1, buf.get()).asInt32();
    if (rs->GetRecordCount() != kRows) state.SkipWithError("rows lost");
    state.counters["bytes_per_row"] = rs->RecordSize;
    rs->Close();
  }
  benchmark::DoNotOptimize(sum);
  state.counters["rows_per_s"] =
      benchmark::Counter(double(kRows) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FetchAllRowsForward)->Arg(10)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
