// The wall clock in the machine's local time zone, as calendar fields.
#pragma once

#include <chrono>
#include <string>

namespace platform {

struct LocalTimeFields {
  int year = 0;
  int month = 0;  // 1-12
  int day = 0;    // day of the month, 1-31
  int hour = 0;   // 0-23
  int minute = 0;
  int second = 0;
  int millisecond = 0;  // 0-999
};

// `when` in local time. Throws std::runtime_error when the time cannot be represented.
LocalTimeFields localTime(std::chrono::system_clock::time_point when);
// Now, in local time.
LocalTimeFields localNow();
// Now as "YYYY-MM-DD HH:MM:SS", the date-time text of saved files and run steps.
std::string localNowText();

}  // namespace platform
