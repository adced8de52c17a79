#include "platform/localclock.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace platform {

LocalTimeFields localTime(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  if (::localtime_r(&t, &tm) == nullptr) throw std::runtime_error("Cannot read the local time");
  const auto sinceEpoch = when.time_since_epoch();
  const int millisecond = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  sinceEpoch - std::chrono::floor<std::chrono::seconds>(sinceEpoch))
                                  .count());
  return LocalTimeFields{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                         tm.tm_min,         tm.tm_sec,     millisecond};
}

LocalTimeFields localNow() {
  return localTime(std::chrono::system_clock::now());
}

std::string localNowText() {
  const LocalTimeFields t = localNow();
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

}  // namespace platform
