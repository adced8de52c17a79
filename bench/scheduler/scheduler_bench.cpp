// One scheduler tick and one schedule check over 10,000 idle tasks with schedules, none due:
// the work of every 100 ms and every few seconds of a window with that many tasks.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "tasks/u_scheduler.h"
#include "tasks/u_task1.h"

namespace {

struct Host final : tasks::SchedulerHost {
  std::vector<int> images;
  void StartTask(tasks::TUniTask&) override {}
  void ReportStartFailure(tasks::TUniTask&) override {}
  void RemoveTask(tasks::TUniTask&) override {}
  void SetNodeImage(tasks::TUniTask& t, int image) override { images[size_t(t.id())] = image; }
  int NodeImage(const tasks::TUniTask& t) const override { return images[size_t(t.id())]; }
  std::vector<std::string> DumpPathsOf(const tasks::TUniTask&) const override { return {}; }
  std::vector<std::string> LogPathsOf(const tasks::TUniTask&) const override { return {}; }
};

struct Tasks {
  explicit Tasks(int n) {
    for (int i = 0; i < n; ++i) {
      owned.push_back(std::make_unique<tasks::TExpTask>(nullptr));
      owned.back()->SetId(i);
      owned.back()->SetScheduleTable("3002" + std::string(i % 2 ? "07" : "03"));
      list.push_back(owned.back().get());
    }
  }
  std::vector<std::unique_ptr<tasks::TUniTask>> owned;
  std::vector<tasks::TUniTask*> list;
};

void BM_Tick(benchmark::State& state) {
  Tasks t(int(state.range(0)));
  Host host;
  host.images.assign(t.list.size(), 2);
  for (auto _ : state) tasks::SchedulerTick(t.list, 5, host);
}
BENCHMARK(BM_Tick)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_Check(benchmark::State& state) {
  Tasks t(int(state.range(0)));
  int minute = 0;  // the next minute at every check, within 09:00-09:59 when no task is due
  tasks::ScheduleChecker checker([&] {
    ++minute;
    return platform::LocalTimeFields{2026, 1, 1 + (minute / 60) % 28, 9, minute % 60, 0};
  });
  for (auto _ : state) benchmark::DoNotOptimize(checker.Check(t.list));
}
BENCHMARK(BM_Check)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
