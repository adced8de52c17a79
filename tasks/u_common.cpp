#include "tasks/u_common.h"

#include <charconv>

#include "platform/processinfo.h"

namespace tasks {

bool ParseYesNo(std::string_view text, bool& flag) {
  if (text.size() != 1) return false;
  switch (text[0]) {
    case 'Y':
    case 'y':
      flag = true;
      return true;
    case 'N':
    case 'n':
      flag = false;
      return true;
    default:
      return false;
  }
}

namespace {

// A two-character field as a decimal number, or `fallback` when it is not one.
int scheduleField(std::string_view field, int fallback) {
  int value = 0;
  auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size()) return fallback;
  return value;
}

}  // namespace

bool ParseScheduleTime(std::string_view text, int& minute, int& hour, int& day) {
  if (text.size() != 6) return false;
  minute = scheduleField(text.substr(0, 2), 60);
  hour = scheduleField(text.substr(2, 2), 24);
  day = scheduleField(text.substr(4, 2), 8);
  return minute >= 0 && minute < 60 && hour >= 0 && hour < 24 && day >= 0 && day < 8;
}

std::string GetSystemTempDir() {
  std::string dir = platform::systemTempDirectory();
  if (dir.size() > 1) dir.pop_back();
  return dir;
}

const std::array<std::string_view, kTipCount> Tips = {
    "Export dump files can only be read by Oracle utility,Import.",
    "To use Export,you must have the CREATE SESSION privilege on an Oracle database.",
    "There are three export modes: Full database,User and Table mode",
    "To Export tables owned by another user,you musthave the EXP_FULL_DATABASE role enabled.This "
    "role is granted to all DBAS.",
    "Direct path Export extracts data much faster than a conventional path export.",
    "Conventional path Export uses SQL SELECT statement to extract data from tables.",
    "Incremental,cumulative,and complete Exports provide time- and space-effective backup "
    "strategies.",
    "If you use cumulative and incremental Exports,you should periodically perform a complete "
    "Export to create a base backup.",
    "If you do not have the system privileges containedin the EXP_FULL_DATABASE roleyou can not "
    "export a table in another user's schema,even if you created a synonym for it.",
};

}  // namespace tasks
