#include "tasks/u_scheduler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>

#include "platform/localclock.h"
#include "tasks/u_taskfile.h"

namespace tasks {
namespace {

// Records what the tick does; a start of a task named "fails" throws.
struct Host final : SchedulerHost {
  std::vector<std::string> log;
  std::map<const TUniTask*, int> images;
  void StartTask(TUniTask& t) override {
    if (t.name() == "fails") throw std::runtime_error("no");
    t.SetState(TTaskState::Running);
    log.push_back("start " + t.name());
  }
  void ReportStartFailure(TUniTask& t) override { log.push_back("failed " + t.name()); }
  void RemoveTask(TUniTask& t) override { log.push_back("remove " + t.name()); }
  void SetNodeImage(TUniTask& t, int image) override { images[&t] = image; }
  int NodeImage(const TUniTask& t) const override { return images.count(&t) ? images.at(&t) : 2; }
  std::vector<std::string> DumpPathsOf(const TUniTask&) const override { return {}; }
  std::vector<std::string> LogPathsOf(const TUniTask&) const override { return {}; }
};

class SchedulerTest : public ::testing::Test {
 protected:
  TUniTask& add(const std::string& name, TTaskState state, int type = 0, const std::string& schedule = "0") {
    owned.push_back(MakeTaskOfType(type, "full=y", nullptr));
    owned.back()->SetName(name);
    owned.back()->SetScheduleTable(schedule);
    owned.back()->SetState(state);
    list.push_back(owned.back().get());
    return *owned.back();
  }
  std::vector<std::unique_ptr<TUniTask>> owned;
  std::vector<TUniTask*> list;
  Host host;
};

TEST_F(SchedulerTest, StartsQueuedTasksInOrderBelowTheLimit) {
  add("a", TTaskState::Queued);
  add("fails", TTaskState::Queued);
  add("b", TTaskState::Queued);
  add("c", TTaskState::Queued);
  SchedulerTick(list, 2, host);
  EXPECT_EQ(host.log, (std::vector<std::string>{"start a", "failed fails", "start b"}));
  SchedulerTick(list, 2, host);
  EXPECT_EQ(host.log.size(), 3u);
  SchedulerTick(list, 0, host);
  EXPECT_EQ(host.log.size(), 3u);
}

TEST_F(SchedulerTest, RemovesOneMarkedTaskPerTickAndKeepsImages) {
  add("x", TTaskState::ToDelete);
  TUniTask& imp = add("i", TTaskState::Idle, 1);
  add("y", TTaskState::ToDelete);
  imp.SetScheduled(true);
  SchedulerTick(list, 5, host);
  EXPECT_EQ(host.log, std::vector<std::string>{"remove x"});
  EXPECT_EQ(host.images[&imp], 9);
  EXPECT_EQ(host.images.count(list[0]), 0u);
  list.erase(list.begin());
  SchedulerTick(list, 5, host);
  EXPECT_EQ(host.log.back(), "remove y");
  imp.SetParsedOk(false);
  EXPECT_EQ(TaskNodeImage(imp), 10);
}

TEST_F(SchedulerTest, CheckerQueuesIdleTasksOnceForEveryMinuteThatCame) {
  // 2026-12-02 is a Wednesday.
  platform::LocalTimeFields now{2026, 12, 2, 2, 29, 50};
  ScheduleChecker checker([&] { return now; });
  TUniTask& daily = add("daily", TTaskState::Idle, 0, "300207");
  TUniTask& wed = add("wed", TTaskState::Idle, 0, "310203");
  TUniTask& busy = add("busy", TTaskState::Running, 0, "300207");
  add("none", TTaskState::Idle, 0, "0000");

  EXPECT_EQ(checker.Check(list), 0);
  now.minute = 31;  // a late check: 02:30 was not skipped
  EXPECT_EQ(checker.Check(list), 2);
  EXPECT_EQ(daily.state(), TTaskState::Queued);
  EXPECT_EQ(wed.state(), TTaskState::Queued);
  EXPECT_EQ(busy.state(), TTaskState::Running);
  daily.SetState(TTaskState::Idle);
  now.second = 59;  // the same minute again is not repeated
  EXPECT_EQ(checker.Check(list), 0);
  wed.SetState(TTaskState::Idle);  // a quick run of 02:31 is over within its minute
  EXPECT_EQ(checker.Check(list), 0);
  now.day = 3;  // a day later, Thursday: the daily task only
  now.minute = 30;
  EXPECT_EQ(checker.Check(list), 1);
  EXPECT_EQ(wed.state(), TTaskState::Idle);
}

TEST_F(SchedulerTest, AClockSetBackHandlesNoMinuteTwice) {
  platform::LocalTimeFields now{2026, 12, 2, 2, 30, 0};
  ScheduleChecker checker([&] { return now; });
  TUniTask& early = add("early", TTaskState::Idle, 0, "300107");
  TUniTask& late = add("late", TTaskState::Idle, 0, "300207");
  EXPECT_EQ(checker.Check(list), 1);
  late.SetState(TTaskState::Idle);
  for (int hour : {0, 1}) {  // set back two hours; the clock then walks through them again
    now.hour = hour;
    for (int minute = 29; minute <= 31; ++minute) {
      now.minute = minute;
      EXPECT_EQ(checker.Check(list), 0) << hour << ":" << minute;
    }
  }
  EXPECT_EQ(early.state(), TTaskState::Idle);
  now.hour = 2;
  now.minute = 31;  // past the last minute handled: on as before
  EXPECT_EQ(checker.Check(list), 0);
  now.day = 3;
  now.hour = 1;
  now.minute = 30;
  EXPECT_EQ(checker.Check(list), 1);
  EXPECT_EQ(early.state(), TTaskState::Queued);
}

TEST_F(SchedulerTest, AClockPutRightAfterRunningFarAheadSchedulesAtOnce) {
  // The program started while the clock stood months ahead; then the clock was put right.
  platform::LocalTimeFields now{2027, 6, 9, 2, 30, 0};
  ScheduleChecker checker([&] { return now; });
  TUniTask& daily = add("daily", TTaskState::Idle, 0, "310207");
  EXPECT_EQ(checker.Check(list), 0);
  now = {2026, 12, 2, 2, 30, 0};
  EXPECT_EQ(checker.Check(list), 0);
  now.minute = 31;
  EXPECT_EQ(checker.Check(list), 1);
  EXPECT_EQ(daily.state(), TTaskState::Queued);
  daily.SetState(TTaskState::Idle);
  // Set back by just over a day: the same.
  now = {2026, 12, 3, 2, 32, 0};
  EXPECT_EQ(checker.Check(list), 0);
  now = {2026, 12, 2, 2, 31, 0};
  EXPECT_EQ(checker.Check(list), 1);
}

// The process runs in a zone with summer time, as a DBA's machine does.
class ZoneTest : public SchedulerTest {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  // Checks every five seconds from `from` to `to` (UTC), as the window does; each queued task
  // runs at once and is idle again by the next check. Returns the local times it was queued at.
  std::map<std::string, std::vector<std::string>> walk(ScheduleChecker& checker,
                                                       std::chrono::sys_seconds& clock,
                                                       std::chrono::sys_seconds to) {
    std::map<std::string, std::vector<std::string>> runs;
    for (; clock <= to; clock += std::chrono::seconds(5)) {
      checker.Check(list);
      for (TUniTask* task : list) {
        if (task->state() != TTaskState::Queued) continue;
        const platform::LocalTimeFields t = platform::localTime(clock);
        runs[task->name()].push_back(std::to_string(t.hour) + ":" + std::to_string(t.minute));
        task->SetState(TTaskState::Idle);
      }
    }
    return runs;
  }
  std::optional<std::string> saved_;
};

TEST_F(ZoneTest, SummerTimeNightsRunEachTaskOnce) {
  using namespace std::chrono;
  add("sunday 02:30", TTaskState::Idle, 0, "300200");  // a time that is missing, then twice there
  add("daily 03:00", TTaskState::Idle, 0, "000307");
  add("daily 01:59", TTaskState::Idle, 0, "590107");
  sys_seconds clock = sys_days{2026y / March / 29} + 0h + 50min;  // 01:50 winter time
  ScheduleChecker checker([&] { return clock; });
  using Runs = std::map<std::string, std::vector<std::string>>;
  // 02:00 winter time is 03:00 summer time: the missing 02:30 runs when the clock has jumped.
  EXPECT_EQ(walk(checker, clock, sys_days{2026y / March / 29} + 1h + 20min),
            (Runs{{"daily 01:59", {"1:59"}}, {"daily 03:00", {"3:0"}}, {"sunday 02:30", {"3:0"}}}));
  // 03:00 summer time is 02:00 winter time: the hour from 02:00 comes twice, its tasks run once.
  clock = sys_days{2026y / October / 24} + 23h + 50min;
  EXPECT_EQ(walk(checker, clock, sys_days{2026y / October / 25} + 2h + 10min),
            (Runs{{"daily 01:59", {"1:59"}}, {"daily 03:00", {"3:0"}}, {"sunday 02:30", {"2:30"}}}));
  // A machine asleep from 02:20 to 02:50 runs the 02:30 task when it wakes; one asleep for
  // longer than an hour does not run it that week.
  clock = sys_days{2026y / November / 1} + 1h + 19min;
  walk(checker, clock, sys_days{2026y / November / 1} + 1h + 20min);
  clock = sys_days{2026y / November / 1} + 1h + 50min;
  EXPECT_EQ(walk(checker, clock, clock), (Runs{{"sunday 02:30", {"2:50"}}}));
  clock = sys_days{2026y / November / 8} + 1h + 20min;
  walk(checker, clock, clock);
  clock = sys_days{2026y / November / 8} + 2h + 50min;
  EXPECT_EQ(walk(checker, clock, clock), Runs{});
}

}  // namespace
}  // namespace tasks
