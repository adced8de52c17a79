#include "platform/localclock.h"

#include <ctime>
#include <stdexcept>

namespace platform {

LocalTimeFields localTime(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  if (::localtime_r(&t, &tm) == nullptr) throw std::runtime_error("Cannot read the local time");
  return LocalTimeFields{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

LocalTimeFields localNow() {
  return localTime(std::chrono::system_clock::now());
}

}  // namespace platform
