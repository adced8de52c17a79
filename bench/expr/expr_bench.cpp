// Filter texts parsed per second and checked and prepared per second; prepared filters evaluated
// over 1,000,000 in-memory records, in full and as conditions tested in place (nanoseconds and
// heap allocations per record, after a warm-up pass); and nodes taken and given back through the
// calling thread's spares against the shared pool's lock alone, on one thread and on four at once.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "engine/values/veldorexpcheck.h"
#include "engine/values/veldorexpeval.h"
#include "engine/values/veldorexpparser.h"
#include "engine/values/veldorexptoken.h"

// Every heap allocation of the process is counted here (the replaced operators pair malloc with
// free, which the compiler cannot see across the replacement).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<uint64_t> allocations{0};
}
void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}

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

// ---- Prepared filters over records ----

struct Record {
  int32_t number;
  int32_t day;
  int64_t scaled;
  char name[21];
};

struct Column {
  const char* name;
  TEngineFieldType type;
  uint32_t size;
};
const Column kColumns[] = {{"Number", TEngineFieldType::Integer, 4},
                           {"RunDate", TEngineFieldType::Date, 4},
                           {"Amount", TEngineFieldType::BCD, 34},
                           {"Name", TEngineFieldType::String, 21}};

bool resolve(void*, TExpToken& node) {
  for (size_t k = 0; k < std::size(kColumns); ++k)
    if (strcasecmp(kColumns[k].name, node.columnName.c_str()) == 0) {
      node.fieldNo = uint16_t(k + 1);
      node.type = kColumns[k].type;
      node.SetValueSize(kColumns[k].size);
      node.scale = node.type == TEngineFieldType::BCD ? 2 : 0;
      return true;
    }
  return false;
}

void read(void*, void* data1, TExpToken& r) {
  const Record& record = *static_cast<const Record*>(data1);
  r.isNull = false;
  switch (r.fieldNo) {
    case 1:
      return PutIntegerValue(r.Value(), record.number);
    case 2:
      return PutIntegerValue(r.Value(), record.day);
    case 3:
      EncodeBcdValue(record.scaled, 2, r.Value());
      return;
    default:
      std::memcpy(r.Value(), record.name, sizeof record.name);
  }
}

const std::vector<Record>& records() {
  static const std::vector<Record> all = [] {
    std::vector<Record> v(1'000'000);
    std::mt19937 rng(42);
    const char* names[] = {"Smith", "Smithers", "Jones", "Miller", "Brown", "Wilson", "Taylor", "Moore"};
    for (auto& r : v) {
      r.number = int32_t(rng() % 1'000'000);
      r.day = 730000 + int32_t(rng() % 2000);
      r.scaled = int64_t(rng() % 100'000'000) - 50'000'000;
      std::snprintf(r.name, sizeof r.name, "%s%u", names[rng() % 8], unsigned(rng() % 100));
    }
    return v;
  }();
  return all;
}

const char* const kRecordFilters[] = {
    "Number = 4711",
    "Name = 'Smith42'",
    "Name = 'Smi*'",
    "Name LIKE '%x%'",
    "RunDate BETWEEN '2001-01-01' AND '2001-12-31'",
    "Amount * 3 - 1.5 > Amount + 100",
    "Number > 10 AND Number < 990000 AND (Name = 'Jones7' OR Name = 'Brown8' OR RunDate > '2002-01-01') AND "
    "Number <> 5 AND RunDate < '2005-01-01' AND (Number = 3 OR Number > 20) AND Amount > -1000000",
};

TExpTreePtr prepared(const char* text) {
  TExpressionParser parser;
  parser.SetText(text);
  parser.NextToken();
  TExpTreePtr tree(parser.ParseExpression(pfPredicates));
  TypeCheckExpTree(VELDOR_SQLPARSE, "", "", false, true, resolve, nullptr, nullptr, *tree, "filter");
  return TExpTreePtr(PrepareExpTree(tree.get(), nullptr, nullptr, false, false, 0, 0x0409));
}

void BM_CheckAndPrepareFilter(benchmark::State& state) {
  const char* text = kRecordFilters[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(prepared(text));
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(text);
}
BENCHMARK(BM_CheckAndPrepareFilter)->DenseRange(0, 6);

void BM_FilterPerRecord(benchmark::State& state) {
  const char* text = kRecordFilters[state.range(0)];
  TExpTreePtr filter = prepared(text);
  const auto& all = records();
  auto pass = [&] {
    uint64_t passed = 0;
    for (const Record& r : all) {
      TExpToken* result = EvaluateExpTree(filter.get(), const_cast<Record*>(&r), nullptr, 0, 0x0409, read);
      passed += GetWordValue(result->Value());
      PutExpToken(result);
    }
    return passed;
  };
  pass();  // warm-up: the thread's spare nodes and the collator
  uint64_t before = allocations.load(), passed = 0;
  for (auto _ : state) passed = pass();
  state.counters["ns_per_record"] = benchmark::Counter(
      double(state.iterations() * all.size()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_record"] =
      double(allocations.load() - before) / double(state.iterations() * all.size());
  state.counters["passed"] = double(passed);
  state.SetLabel(text);
}
BENCHMARK(BM_FilterPerRecord)->DenseRange(0, 6)->Iterations(2)->Unit(benchmark::kMillisecond);

// The same filters prepared once as conditions and tested on each record in place.
void BM_ConditionPerRecord(benchmark::State& state) {
  const char* text = kRecordFilters[state.range(0)];
  TExpTreePtr filter = prepared(text);
  const ExpCondition condition(*filter, 0, 0x0409, read);
  const auto& all = records();
  auto pass = [&] {
    uint64_t passed = 0;
    for (const Record& r : all) passed += condition.Holds(nullptr, const_cast<Record*>(&r), nullptr);
    return passed;
  };
  pass();  // warm-up: the collator
  uint64_t before = allocations.load(), passed = 0;
  for (auto _ : state) passed = pass();
  state.counters["ns_per_record"] = benchmark::Counter(
      double(state.iterations() * all.size()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_record"] =
      double(allocations.load() - before) / double(state.iterations() * all.size());
  state.counters["passed"] = double(passed);
  state.SetLabel(text);
}
BENCHMARK(BM_ConditionPerRecord)->DenseRange(0, 6)->Iterations(2)->Unit(benchmark::kMillisecond);

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
