#include "tasks/u_scheduler.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tasks/u_common.h"
#include "tasks/u_parfile.h"

namespace tasks {
namespace {

bool isExport(TTaskType type) {
  return type == TTaskType::Export || type == TTaskType::RawExport;
}

}  // namespace

int TaskNodeImage(const TUniTask& task) {
  const int base = isExport(task.tasktype()) ? 1 : 6;
  switch (task.state()) {
    case TTaskState::Running:
      return base + 2;
    case TTaskState::Queued:
    case TTaskState::ToDelete:
      return 0;
    case TTaskState::Idle:
      break;
  }
  return base + (task.parsedok() ? 0 : 1) + (task.scheduled() ? 3 : 0);
}

namespace {

// A file that a run writes or reads, and how a wait for it is told.
struct UsedFile {
  std::string path;
  const char* uses;  // kWaitingForDumpUses or kWaitingForFileUses
};

// The files that a run of `task` writes or reads: its dumps, where its transfer puts them, and
// the other files its program writes.
std::vector<UsedFile> usedFiles(const TUniTask& task, const SchedulerHost& host) {
  const std::vector<std::string> dumps = host.DumpPathsOf(task);
  std::vector<UsedFile> files;
  for (const std::string& dump : dumps) files.push_back({dump, kWaitingForDumpUses});
  for (std::string& target : RunTransferTargets(task, dumps))
    files.push_back({std::move(target), kWaitingForDumpUses});
  for (std::string& log : host.LogPathsOf(task)) files.push_back({std::move(log), kWaitingForFileUses});
  return files;
}

}  // namespace

void SchedulerTick(std::span<TUniTask* const> tasks, int maxTasks, SchedulerHost& host,
                   const platform::LocalTimeFields& now) {
  int running = 0;
  bool queued = false;
  for (const TUniTask* task : tasks) {
    if (task->state() == TTaskState::Running) ++running;
    if (task->state() == TTaskState::Queued) queued = true;
  }

  // The dumps of the running tasks, looked up only when a task may start.
  std::vector<std::pair<std::string, const TUniTask*>> inUse;
  if (queued && running < maxTasks) {
    for (const TUniTask* task : tasks) {
      if (task->state() != TTaskState::Running) continue;
      for (UsedFile& file : usedFiles(*task, host)) inUse.emplace_back(std::move(file.path), task);
    }
  }

  for (TUniTask* task : tasks) {
    if (maxTasks <= running) break;
    if (task->state() != TTaskState::Queued) continue;
    task->SetDumpClock(now);
    std::vector<UsedFile> files = usedFiles(*task, host);
    const TUniTask* holder = nullptr;
    const UsedFile* shared = nullptr;
    for (const UsedFile& file : files) {
      const auto use = std::find_if(inUse.begin(), inUse.end(),
                                    [&file](const auto& use) { return SameDumpFile(file.path, use.first); });
      if (use != inUse.end()) {
        holder = use->second;
        shared = &file;
        break;
      }
    }
    if (holder != nullptr) {
      if (task->waitnote().empty()) {
        task->SetWaitNote(platform::localNowText() + ": " + kWaitingForDump + holder->name() + shared->uses +
                          shared->path);
      }
      task->SetDumpClock(std::nullopt);
      continue;
    }
    try {
      host.StartTask(*task);
      ++running;
      for (UsedFile& file : files) inUse.emplace_back(std::move(file.path), task);
    } catch (...) {
      // The note belongs to a run that did not begin.
      task->SetWaitNote({});
      task->SetDumpClock(std::nullopt);
      host.ReportStartFailure(*task);
    }
  }

  size_t removed = tasks.size();
  for (size_t i = 0; i < tasks.size(); ++i) {
    if (tasks[i]->state() == TTaskState::ToDelete) {
      removed = i;
      host.RemoveTask(*tasks[i]);
      break;
    }
  }

  for (size_t i = 0; i < tasks.size(); ++i) {
    if (i == removed) continue;
    const int image = TaskNodeImage(*tasks[i]);
    if (host.NodeImage(*tasks[i]) != image) host.SetNodeImage(*tasks[i], image);
  }
}

void SchedulerTick(std::span<TUniTask* const> tasks, int maxTasks, SchedulerHost& host) {
  SchedulerTick(tasks, maxTasks, host, platform::localNow());
}

int64_t LocalMinuteNumber(const platform::LocalTimeFields& t) {
  using namespace std::chrono;
  const sys_days day{year{t.year} / month{unsigned(t.month)} / std::chrono::day{unsigned(t.day)}};
  return int64_t(day.time_since_epoch().count()) * 1440 + t.hour * 60 + t.minute;
}

namespace {

struct Schedule {
  int minute = 0, hour = 0, day = 0;
  bool names(int64_t minuteNo) const {
    const int64_t days = minuteNo >= 0 ? minuteNo / 1440 : (minuteNo - 1439) / 1440;
    const unsigned weekday =
        std::chrono::weekday(std::chrono::sys_days(std::chrono::days(days))).c_encoding();
    if (day != kScheduleEveryDay && unsigned(day) != weekday) return false;
    return minuteNo - days * 1440 == int64_t(hour) * 60 + minute;
  }
};

std::optional<Schedule> parseSchedule(const std::string& text) {
  Schedule s;
  if (!ParseScheduleTime(text, s.minute, s.hour, s.day)) return std::nullopt;
  return s;
}

}  // namespace

ScheduleChecker::ScheduleChecker(std::function<std::chrono::system_clock::time_point()> clock)
    : read_([clock = std::move(clock)] {
        const std::chrono::system_clock::time_point now = clock();
        return Reading{LocalMinuteNumber(platform::localTime(now)),
                       std::chrono::floor<std::chrono::minutes>(now).time_since_epoch().count()};
      }) {}

ScheduleChecker::ScheduleChecker(std::function<platform::LocalTimeFields()> now)
    : read_([now = std::move(now)] {
        const int64_t minute = LocalMinuteNumber(now());
        return Reading{minute, minute};
      }) {}

int ScheduleChecker::Check(std::span<TUniTask* const> tasks) {
  const Reading now = read_();
  int64_t first = now.local;
  if (last_ && last_->local - now.local > kSetBackMinutes) last_.reset();
  if (last_) {
    // The last minute handled stays the mark after a clock set back: what lies behind it was
    // handled once already.
    if (now.local <= last_->local) return 0;
    // The time passed, not the local time's leap, says whether the check was merely late: at the
    // start of summer time the local time leaps an hour in a moment.
    const int64_t passed = now.passed - last_->passed;
    if (passed <= kCatchUpMinutes &&
        now.local - last_->local <= std::max<int64_t>(passed, 0) + kZoneLeapMinutes)
      first = last_->local + 1;
  }
  last_ = now;
  int queued = 0;
  for (TUniTask* task : tasks) {
    if (task->state() != TTaskState::Idle) continue;
    const std::optional<Schedule> schedule = parseSchedule(task->scheduletable());
    for (int64_t minute = first; schedule && minute <= now.local; ++minute) {
      if (schedule->names(minute)) {
        task->SetState(TTaskState::Queued);
        ++queued;
        break;
      }
    }
  }
  return queued;
}

}  // namespace tasks
