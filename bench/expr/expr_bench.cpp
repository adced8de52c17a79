// Filter texts parsed per second, and nodes taken and given back through the calling thread's
// spares against the shared pool's lock alone, on one thread and on four at once.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/values/veldorexpparser.h"
#include "engine/values/veldorexptoken.h"

using namespace engine;

namespace {

const char* const kFilters[] = {
    "Name = 'Nightly export'",
    "Status <> 3 AND LastRun >= '2024-01-01' AND Enabled = TRUE",
    "UPPER(Owner) LIKE 'SCOTT%' OR Kind IN (1, 2, 5, 7)",
    "(Size / 1024) * 1.5 > 2048 AND NOT (Host IS NULL) AND Started BETWEEN 100 AND 200",
    "EXTRACT(YEAR FROM RunDate) = 2024 AND SUBSTRING(Folder FROM 1 FOR 4) = '/var' AND ABS(Delta) < 10",
};

void BM_ParseFilter(benchmark::State& state) {
  TExpressionParser parser;
  const char* text = kFilters[state.range(0)];
  for (auto _ : state) {
    parser.SetText(text);
    parser.NextToken();
    TExpToken* tree = parser.ParseExpression(pfPredicates);
    benchmark::DoNotOptimize(tree);
    FreeExpTree(tree);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(text);
}
BENCHMARK(BM_ParseFilter)->DenseRange(0, 4);

// A tree's worth of nodes taken and given back, as an evaluation does per record.
constexpr int kNodes = 32;

void BM_NodesThroughThreadSpares(benchmark::State& state) {
  TExpToken* nodes[kNodes];
  for (auto _ : state) {
    for (auto*& n : nodes) n = GetExpToken();
    for (auto*& n : nodes) PutExpToken(n);
  }
  state.SetItemsProcessed(state.iterations() * kNodes);
}
BENCHMARK(BM_NodesThroughThreadSpares)->Threads(1)->Threads(4)->UseRealTime();

void BM_NodesThroughPoolLock(benchmark::State& state) {
  auto& pool = TExpTokenStack::Instance();
  TExpToken* nodes[kNodes];
  for (auto _ : state) {
    for (auto*& n : nodes) n = pool.Pop();
    for (auto*& n : nodes) pool.Push(n);
  }
  state.SetItemsProcessed(state.iterations() * kNodes);
}
BENCHMARK(BM_NodesThroughPoolLock)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
