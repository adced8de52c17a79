// Number texts are read with std::from_chars and digit by digit and written with std::to_chars,
// none of which looks at the process locale, so "." is the separator everywhere.
#include "engine/values/veldorvaluetext.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "engine/storage/veldorhelpers.h"
#include "engine/storage/veldortypes.h"

namespace engine {
namespace {

using namespace std::chrono;

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!IsDigitChar(uint8_t(c))) return false;
  return true;
}

// Digits only, blanks around them allowed; nothing when the text is not such a number or does
// not fit 64 bits.
std::optional<uint64_t> parseUnsigned(std::string_view text) {
  text = TrimBlanks(text);
  if (!allDigits(text)) return std::nullopt;
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string upperAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return result;
}

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
  std::string upper = upperAscii(text);
  if (upper == "TRUE") return true;
  if (upper == "FALSE") return false;
  RaiseConvertError(kInvalidBooleanText, text);
}

double ParseFloatText(std::string_view input) {
  std::string_view text = TrimBlanks(input);
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  std::string_view body = text;
  if (!body.empty() && body[0] == '-') body.remove_prefix(1);
  // from_chars also reads "inf" and "nan", which are not numbers to the engine.
  if (body.empty() || !(IsDigitChar(uint8_t(body[0])) || body[0] == '.'))
    RaiseConvertError(kInvalidFloatText, input);
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
    RaiseConvertError(kInvalidFloatText, input);
  return value;
}

int64_t ParseDecimalText(std::string_view input, int places) {
  if (places < 0 || places > 18) throw std::invalid_argument("ParseDecimalText: places outside 0..18");
  std::string_view text = TrimBlanks(input);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  // Coefficient digits without leading zeros, and the power of ten they are to be scaled by.
  std::string digits;
  int64_t exponent = 0;
  size_t i = 0, seen = 0;
  bool dot = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.' && !dot) {
      dot = true;
    } else if (IsDigitChar(uint8_t(c))) {
      ++seen;
      if (!digits.empty() || c != '0') digits.push_back(c);
      if (dot) --exponent;
    } else {
      break;
    }
  }
  if (seen == 0) RaiseConvertError(kInvalidFloatText, input);
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    if (i == text.size()) RaiseConvertError(kInvalidFloatText, input);
    int64_t e = 0;
    for (; i < text.size() && IsDigitChar(uint8_t(text[i])); ++i)
      e = std::min<int64_t>(e * 10 + (text[i] - '0'), 1'000'000);
    exponent += expNegative ? -e : e;
  }
  if (i != text.size()) RaiseConvertError(kInvalidFloatText, input);
  if (digits.empty()) return 0;

  constexpr uint64_t kLimit = uint64_t(std::numeric_limits<int64_t>::max()) + 1;
  int64_t shift = exponent + places;
  int64_t length = int64_t(digits.size());
  // Digits at and after `kept` fall below the unit of the result.
  size_t kept = size_t(shift >= 0 ? length : std::max<int64_t>(length + shift, 0));
  uint64_t value = 0;
  auto overflow = [&] { RaiseConvertError("'%s' is out of range", input); };
  for (size_t k = 0; k < kept; ++k) {
    uint64_t d = uint64_t(digits[k] - '0');
    if (value > (kLimit - d) / 10) overflow();
    value = value * 10 + d;
  }
  for (int64_t s = 0; s < shift; ++s) {
    if (value > kLimit / 10) overflow();
    value *= 10;
  }
  // Round half to even by the dropped digits. When zeros stand between the unit and the first
  // digit (length + shift < 0) the value is below a tenth of the unit and rounds to 0.
  if (kept < digits.size() && length + shift >= 0) {
    int first = digits[kept] - '0';
    bool restNonZero = false;
    for (size_t k = kept + 1; k < digits.size(); ++k) restNonZero = restNonZero || digits[k] != '0';
    if (first > 5 || (first == 5 && (restNonZero || value % 2 != 0))) {
      if (value == kLimit) overflow();
      ++value;
    }
  }
  if (value > kLimit || (!negative && value == kLimit)) overflow();
  return negative ? int64_t(0 - value) : int64_t(value);
}

int64_t ParseCurrencyText(std::string_view text) {
  return ParseDecimalText(text, 4);
}

int64_t ParseIntegerText(std::string_view input, int64_t min, int64_t max) {
  std::string_view text = TrimBlanks(input);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  auto magnitude = allDigits(text) ? parseUnsigned(text) : std::nullopt;
  if (!magnitude) RaiseConvertError(kInvalidIntegerText, input);
  constexpr uint64_t kLimit = uint64_t(std::numeric_limits<int64_t>::max());
  if (*magnitude > kLimit + (negative ? 1 : 0)) RaiseConvertError("'%s' is out of range", input);
  int64_t value = negative ? int64_t(0 - *magnitude) : int64_t(*magnitude);
  if (value < min || value > max) RaiseConvertError("'%s' is out of range", input);
  return value;
}

}  // namespace engine
