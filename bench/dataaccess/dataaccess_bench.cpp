// MatchLike at its worst (many stars, a text that almost matches), a filter over 100k records,
// and 10 MB blob writes, reads and line-feed expansion.
#include <benchmark/benchmark.h>
#include <strings.h>

#include <string>
#include <vector>

#include "dataaccess/memdata_blob.h"
#include "dataaccess/memdata_filter.h"

namespace {

using namespace dataaccess;

// Text of n "a"s. Shape 0: stars each followed by one "a", then "*b". Shape 1: one star, then m
// "a"s and a "b", so that after every restart of the star m characters match before the "b"
// fails: the matcher's worst case, n * m steps.
void BM_MatchLikeWorstCase(benchmark::State& state) {
  const std::string text(size_t(state.range(0)), 'a');
  std::string pattern;
  if (state.range(2) == 0) {
    for (int i = 0; i < state.range(1); ++i) pattern += "*a";
    pattern += "*b";
  } else {
    pattern = "*" + std::string(size_t(state.range(1)), 'a') + "b";
  }
  for (auto _ : state) benchmark::DoNotOptimize(MatchLike(text, pattern));
}
BENCHMARK(BM_MatchLikeWorstCase)
    ->ArgNames({"text", "pattern", "shape"})
    ->Args({1000, 100, 0})
    ->Args({10000, 100, 0})
    ->Args({1000, 100, 1})
    ->Args({10000, 100, 1})
    ->Args({10000, 1000, 1});

void BM_MatchLikeTypical(benchmark::State& state) {
  const std::string text = "Anderson-Smith, Margaret Elizabeth";
  for (auto _ : state) benchmark::DoNotOptimize(MatchLike(text, "A*Smith*Eliz_beth"));
}
BENCHMARK(BM_MatchLikeTypical);

class Rows : public TFilterRecordSource {
 public:
  explicit Rows(size_t n) {
    const char* cities[] = {"Paris", "Oslo", "Rome", "Lima"};
    for (size_t i = 0; i < n; ++i)
      rows.push_back({Variant(std::string(i % 3 ? "Bob" : "Anna") + std::to_string(i)),
                      Variant(int32_t(i % 20)), Variant(cities[i % 4])});
  }
  int FindFilterField(std::string_view name) const override {
    const char* names[] = {"NAME", "QTY", "CITY"};
    for (int i = 0; i < 3; ++i)
      if (strcasecmp(std::string(name).c_str(), names[i]) == 0) return i;
    return -1;
  }
  uint16_t FilterFieldDataType(int field) const override { return field == 1 ? 4 : 1; }
  Variant FilterFieldValue(int field) const override { return rows[row][size_t(field)]; }
  std::vector<std::vector<Variant>> rows;
  size_t row = 0;
};

void BM_FilterOver100kRecords(benchmark::State& state) {
  Rows rows(100000);
  TDataFilter filter;
  filter.CaseInsensitive = state.range(0) != 0;
  filter.SetFilter("NAME LIKE 'A*' AND (QTY > 10 OR CITY = 'Paris')", rows);
  size_t passed = 0;
  for (auto _ : state) {
    passed = 0;
    for (rows.row = 0; rows.row < rows.rows.size(); ++rows.row) passed += filter.Eval(rows);
  }
  state.counters["passed"] = double(passed);
  state.SetItemsProcessed(int64_t(state.iterations()) * 100000);
}
BENCHMARK(BM_FilterOver100kRecords)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

constexpr size_t kBlobBytes = 10 << 20;

std::string textOfLines() {
  std::string s(kBlobBytes, 'x');
  for (size_t i = 79; i < s.size(); i += 80) s[i] = '\n';
  return s;
}

// Writes 10 MB in chunks of state.range(0) bytes.
void BM_BlobWrite10MB(benchmark::State& state) {
  const std::string data = textOfLines();
  const size_t chunk = size_t(state.range(0));
  for (auto _ : state) {
    auto* blob = new TBlob();
    for (size_t at = 0; at < data.size(); at += chunk)
      blob->Write(at, std::min(chunk, data.size() - at), &data[at]);
    blob->Release();
  }
  state.SetBytesProcessed(int64_t(state.iterations() * kBlobBytes));
}
BENCHMARK(BM_BlobWrite10MB)->Arg(kBlobBytes)->Arg(65536)->Arg(4096)->Unit(benchmark::kMillisecond);

void BM_BlobRead10MB(benchmark::State& state) {
  const std::string data = textOfLines();
  auto* blob = new TBlob();
  blob->Write(0, data.size(), data.data());
  std::string out(kBlobBytes, '\0');
  for (auto _ : state) benchmark::DoNotOptimize(blob->Read(0, 0, out.data()));
  blob->Release();
  state.SetBytesProcessed(int64_t(state.iterations() * kBlobBytes));
}
BENCHMARK(BM_BlobRead10MB)->Unit(benchmark::kMillisecond);

// Expands the line feeds of 10 MB of 80-byte lines, 8-bit or 16-bit.
void BM_BlobExpandLineFeeds10MB(benchmark::State& state) {
  const std::string data = textOfLines();
  for (auto _ : state) {
    state.PauseTiming();
    auto* blob = new TBlob(state.range(0) != 0);
    if (blob->IsUnicode()) {
      std::u16string wide(data.begin(), data.end());
      blob->Write(0, data.size(), wide.data());  // the first 5 MB of wide text
    } else {
      blob->Write(0, data.size(), data.data());
    }
    state.ResumeTiming();
    blob->ExpandLineFeeds();
    state.PauseTiming();
    blob->Release();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations() * kBlobBytes));
}
BENCHMARK(BM_BlobExpandLineFeeds10MB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
