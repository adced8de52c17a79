// Number texts are read by the storage layer's readers and written with std::to_chars, neither
// of which looks at the process locale, so "." is the separator everywhere.
#include "engine/values/veldorvaluetext.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "engine/base/veldorhelpers.h"
#include "engine/base/veldortypes.h"

namespace engine {
namespace {

using namespace std::chrono;

bool validDay(int64_t day) {
  return day >= kMinEngineDay && day <= kMaxEngineDay;
}

std::string twoDigits(int64_t v) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%02d", int(v));
  return buffer;
}

}  // namespace

void RaiseConvertError(std::string_view format, std::string_view text) {
  std::string message(format);
  size_t at = message.find("%s");
  if (at != std::string::npos) message.replace(at, 2, text);
  throw EConvertError(message);
}

// ---- Values to text ----

std::string DateToText(int32_t dayNumber) {
  if (!validDay(dayNumber)) RaiseConvertError("'%s' is not a valid day number", std::to_string(dayNumber));
  year_month_day date(EngineDayToSysDays(dayNumber));
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", int(date.year()), unsigned(date.month()),
                unsigned(date.day()));
  return buffer;
}

std::string TimeToText(int32_t milliseconds) {
  if (milliseconds < 0 || milliseconds >= kMsPerDay)
    RaiseConvertError("'%s' is not a valid number of milliseconds", std::to_string(milliseconds));
  int64_t hours = milliseconds / 3'600'000;
  int64_t minutes = milliseconds / 60'000 % 60;
  int64_t seconds = milliseconds / 1000 % 60;
  int64_t ms = milliseconds % 1000;
  int64_t hour12 = hours % 12 == 0 ? 12 : hours % 12;
  std::string text = twoDigits(hour12) + ":" + twoDigits(minutes);
  // Seconds are written whenever milliseconds are, so that no part of the time is lost.
  if (seconds != 0 || ms != 0) {
    text += ":" + twoDigits(seconds);
    if (ms != 0) text += "." + std::to_string(ms);
  }
  text += hours < 12 ? " AM" : " PM";
  return text;
}

std::string TimestampToText(double timestamp) {
  double ms = std::nearbyint(timestamp);
  constexpr double kFirst = double(kMinEngineDay) * double(kMsPerDay);
  constexpr double kEnd = (double(kMaxEngineDay) + 1) * double(kMsPerDay);
  if (!(ms >= kFirst && ms < kEnd))
    RaiseConvertError("'%s' is not a valid timestamp", FloatToText(timestamp));
  int64_t whole = int64_t(ms);
  return DateToText(int32_t(whole / kMsPerDay)) + " " + TimeToText(int32_t(whole % kMsPerDay));
}

std::string BooleanToText(bool value) {
  return value ? "True" : "False";
}

std::string FloatToText(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  // The shortest digits that read back as the same double, in scientific form: d.dddde+XX.
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view sci(buffer, size_t(result.ptr - buffer));
  std::string sign;
  if (sci.front() == '-') {
    sign = "-";
    sci.remove_prefix(1);
  }
  size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits.push_back(c);
  int exponent = 0;
  std::string_view expText = sci.substr(e + 1);
  if (expText.front() == '+') expText.remove_prefix(1);
  std::from_chars(expText.data(), expText.data() + expText.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  if (value == 0) return sign + "0";
  if (exponent >= -5 && exponent < 15) {
    std::string text;
    if (exponent < 0) {
      text = "0." + std::string(size_t(-exponent - 1), '0') + digits;
    } else {
      size_t integerDigits = size_t(exponent) + 1;
      if (digits.size() <= integerDigits) {
        text = digits + std::string(integerDigits - digits.size(), '0');
      } else {
        text = digits.substr(0, integerDigits) + "." + digits.substr(integerDigits);
      }
    }
    return sign + text;
  }
  std::string text = digits.substr(0, 1);
  if (digits.size() > 1) text += "." + digits.substr(1);
  return sign + text + "E" + std::to_string(exponent);
}

std::string ScaledToText(int64_t scaled) {
  bool negative = scaled < 0;
  uint64_t magnitude = negative ? 0 - uint64_t(scaled) : uint64_t(scaled);
  std::string text = std::to_string(magnitude / uint64_t(kScaledOne));
  uint64_t fraction = magnitude % uint64_t(kScaledOne);
  if (fraction != 0) {
    std::string decimals = std::to_string(fraction);
    decimals.insert(0, 4 - decimals.size(), '0');
    while (decimals.back() == '0') decimals.pop_back();
    text += "." + decimals;
  }
  return negative ? "-" + text : text;
}

// ---- Text to values ----

int32_t ParseDateText(std::string_view text) {
  auto day = ReadDateText(text);
  if (!day) RaiseConvertError(kInvalidDateText, text);
  return *day;
}

int32_t ParseTimeText(std::string_view text) {
  auto ms = ReadTimeText(text);
  if (!ms) RaiseConvertError(kInvalidTimeText, text);
  return *ms;
}

double ParseTimestampText(std::string_view text) {
  if (auto timestamp = ReadTimestampText(text)) return *timestamp;
  // Not a timestamp text: the part that does not read raises its own message.
  size_t blank = text.find(' ');
  if (blank != std::string_view::npos) {
    ParseDateText(text.substr(0, blank));
    ParseTimeText(text.substr(blank + 1));
  } else if (text.find(':') != std::string_view::npos) {
    ParseTimeText(text);
  } else {
    ParseDateText(text);
  }
  RaiseConvertError(kInvalidDateText, text);  // not reached: one of the parts did not read
}

bool ParseBooleanText(std::string_view text) {
  auto value = ReadBooleanText(text);
  if (!value) RaiseConvertError(kInvalidBooleanText, text);
  return *value;
}

double ParseFloatText(std::string_view text) {
  auto value = ReadFloatText(text);
  if (!value) RaiseConvertError(kInvalidFloatText, text);
  return *value;
}

int64_t ParseDecimalText(std::string_view text, int places) {
  if (places < 0 || places > 18) throw std::invalid_argument("ParseDecimalText: places outside 0..18");
  bool outOfRange = false;
  auto value = ReadDecimalText(text, places, &outOfRange);
  if (!value) RaiseConvertError(outOfRange ? kOutOfRangeText : kInvalidFloatText, text);
  return *value;
}

int64_t ParseCurrencyText(std::string_view text) {
  return ParseDecimalText(text, 4);
}

int64_t ParseIntegerText(std::string_view text, int64_t min, int64_t max) {
  bool outOfRange = false;
  auto value = ReadIntegerText(text, &outOfRange);
  if (!value && !outOfRange) RaiseConvertError(kInvalidIntegerText, text);
  if (!value || *value < min || *value > max) RaiseConvertError(kOutOfRangeText, text);
  return *value;
}

}  // namespace engine
