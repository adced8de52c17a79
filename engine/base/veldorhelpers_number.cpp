// Week and day numbers, rounding, currency and BCD conversion, and the validity tests of value
// texts. Number texts are read with std::from_chars, which never looks at the process locale.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "engine/base/veldorhelpers.h"
#include "engine/base/veldortypes.h"
#include "platform/localclock.h"

namespace engine {
namespace {

using namespace std::chrono;

// Digits only (the "-" of a date is its separator, so a date part has no sign).
std::optional<int64_t> parseUnsigned(std::string_view text) {
  text = TrimBlanks(text);
  if (text.empty() || !IsDigitChar(uint8_t(text[0]))) return std::nullopt;
  return ReadIntegerText(text);
}

sys_days isoWeekOneMonday(int y) {
  // The Monday on or before 4 January starts week 1.
  sys_days fourth = sys_days(year{y} / January / 4);
  return fourth - days((weekday(fourth).iso_encoding() - 1));
}

constexpr uint8_t kBcdSign = 0x80;
constexpr uint8_t kBcdSpecial = 0x40;
constexpr uint8_t kBcdPlaces = 0x3F;

uint8_t bcdDigit(const TBcd& bcd, size_t k) {
  uint8_t byte = bcd.Fraction[k / 2];
  return k % 2 == 0 ? uint8_t(byte >> 4) : uint8_t(byte & 0x0F);
}

void setBcdDigit(TBcd& bcd, size_t k, uint8_t digit) {
  uint8_t& byte = bcd.Fraction[k / 2];
  byte = k % 2 == 0 ? uint8_t((byte & 0x0F) | (digit << 4)) : uint8_t((byte & 0xF0) | digit);
}

}  // namespace

// ---- Dates ----

void EngineNow(int32_t& day, int32_t& milliseconds) {
  const platform::LocalTimeFields now = platform::localNow();
  day = SysDaysToEngineDay(
      sys_days(year{now.year} / month(unsigned(now.month)) / std::chrono::day(unsigned(now.day))));
  milliseconds = ((now.hour * 60 + now.minute) * 60 + now.second) * 1000 + now.millisecond;
}

unsigned IsoDayOfWeek(sys_days date) {
  return weekday(date).iso_encoding();
}

unsigned WeekOfYear(sys_days date) {
  int y = int(year_month_day(date).year());
  sys_days start = isoWeekOneMonday(y);
  if (date < start) {
    start = isoWeekOneMonday(y - 1);
  } else if (date >= isoWeekOneMonday(y + 1)) {
    return 1;
  }
  return unsigned((date - start).count() / 7 + 1);
}

// ---- Rounding ----

double RoundFloat(double value, int n) {
  if (value == 0 || !std::isfinite(value)) return value;
  if (n < 0) n = 0;
  constexpr double kNoFraction = 4503599627370496.0;  // 2^52: from here on doubles are integers
  double scale = std::pow(10.0, n);
  double scaled = value * scale;
  if (!std::isfinite(scaled) || std::fabs(scaled) >= kNoFraction) return value;
  return std::round(scaled) / scale;  // std::round takes halves away from zero
}

Currency RoundCurrency(Currency value, int n) {
  if (value == 0) return 0;
  if (n > 4) n = 4;
  if (n < 0) n = 0;
  int64_t step = 1;
  for (int i = n; i < 4; ++i) step *= 10;
  int64_t q = value / step, r = value % step;
  int64_t magnitude = r < 0 ? -r : r;
  if (2 * magnitude >= step) {
    int64_t away = q + (value < 0 ? -1 : 1);
    int64_t limit =
        (value < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max()) / step;
    if ((value < 0 && away >= limit) || (value > 0 && away <= limit)) q = away;
  }
  return q * step;
}

// ---- BCD ----

bool CurrencyToBcd(Currency value, int scale, TBcd& bcd) {
  bcd = TBcd{};
  if (scale < 0 || scale > 32) return false;
  constexpr size_t precision = 32;
  // The magnitude with `scale` decimals, as decimal digits (currency has 4).
  bool negative = value < 0;
  uint64_t magnitude = negative ? 0 - uint64_t(value) : uint64_t(value);
  std::string digits;
  if (scale < 4) {
    uint64_t step = 1;
    for (int i = scale; i < 4; ++i) step *= 10;
    uint64_t q = magnitude / step, r = magnitude % step;
    if (2 * r > step || (2 * r == step && q % 2 != 0)) ++q;
    digits = std::to_string(q);
  } else {
    digits = std::to_string(magnitude) + std::string(size_t(scale - 4), '0');
  }
  if (digits.size() > precision) return false;
  bcd.Precision = uint8_t(precision);
  bcd.SignSpecialPlaces = uint8_t(scale);
  // Right-aligned within the precision: leading zeros fill the integer digits.
  size_t first = precision - digits.size();
  bool nonZero = false;
  for (size_t i = 0; i < digits.size(); ++i) {
    uint8_t d = uint8_t(digits[i] - '0');
    nonZero = nonZero || d != 0;
    setBcdDigit(bcd, first + i, d);
  }
  if (negative && nonZero) bcd.SignSpecialPlaces |= kBcdSign;
  return true;
}

Currency BcdToCurrency(const TBcd& bcd) {
  size_t precision = bcd.Precision;
  size_t places = bcd.SignSpecialPlaces & kBcdPlaces;
  if (precision == 0 || precision > 64 || places > precision || (bcd.SignSpecialPlaces & kBcdSpecial))
    return 0;
  // Accumulate the digits down to four decimals, then round by the fifth and any after it.
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  size_t integerDigits = precision - places;
  size_t kept = integerDigits + std::min<size_t>(places, 4);
  bool overflow = false;
  uint64_t value = 0;
  for (size_t k = 0; k < kept; ++k) {
    uint8_t d = bcdDigit(bcd, k);
    if (d > 9) return 0;
    if (!overflow) {
      if (value > (uint64_t(kMax) - d) / 10)
        overflow = true;
      else
        value = value * 10 + d;
    }
  }
  for (size_t k = kept; k < precision; ++k)
    if (bcdDigit(bcd, k) > 9) return 0;
  for (size_t i = places; i < 4 && !overflow; ++i) {
    if (value > uint64_t(kMax) / 10)
      overflow = true;
    else
      value *= 10;
  }
  if (!overflow && places > 4 && bcdDigit(bcd, kept) >= 5) {
    if (value == uint64_t(kMax))
      overflow = true;
    else
      ++value;
  }
  bool negative = (bcd.SignSpecialPlaces & kBcdSign) != 0;
  if (overflow) return negative ? std::numeric_limits<int64_t>::min() : kMax;
  return negative ? -int64_t(value) : int64_t(value);
}

// ---- Number texts ----

std::optional<int64_t> ReadIntegerText(std::string_view text, bool* outOfRange) {
  if (outOfRange) *outOfRange = false;
  text = TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (!IsDigitChar(uint8_t(c))) return std::nullopt;
  uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  constexpr uint64_t limit = uint64_t(std::numeric_limits<int64_t>::max());
  if (ec != std::errc() || magnitude > limit + (negative ? 1 : 0)) {
    if (outOfRange) *outOfRange = true;
    return std::nullopt;
  }
  return negative ? int64_t(0 - magnitude) : int64_t(magnitude);
}

std::optional<double> ReadFloatText(std::string_view text) {
  text = TrimBlanks(text);
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  std::string_view digits = text;
  if (!digits.empty() && digits[0] == '-') digits.remove_prefix(1);
  // from_chars also reads "inf" and "nan", which are not numbers to the engine.
  if (digits.empty() || !(IsDigitChar(uint8_t(digits[0])) || digits[0] == '.')) return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<int64_t> ReadDecimalText(std::string_view text, int places, bool* outOfRange) {
  if (outOfRange) *outOfRange = false;
  if (places < 0 || places > 18) return std::nullopt;
  text = TrimBlanks(text);
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
  if (seen == 0) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    int64_t e = 0;
    for (; i < text.size() && IsDigitChar(uint8_t(text[i])); ++i)
      e = std::min<int64_t>(e * 10 + (text[i] - '0'), 1'000'000);
    exponent += expNegative ? -e : e;
  }
  if (i != text.size()) return std::nullopt;
  if (digits.empty()) return 0;

  auto overflow = [&]() -> std::optional<int64_t> {
    if (outOfRange) *outOfRange = true;
    return std::nullopt;
  };
  constexpr uint64_t kLimit = uint64_t(std::numeric_limits<int64_t>::max()) + 1;
  int64_t shift = exponent + places;
  int64_t length = int64_t(digits.size());
  // Digits at and after `kept` fall below the unit of the result.
  size_t kept = size_t(shift >= 0 ? length : std::max<int64_t>(length + shift, 0));
  uint64_t value = 0;
  for (size_t k = 0; k < kept; ++k) {
    uint64_t d = uint64_t(digits[k] - '0');
    if (value > (kLimit - d) / 10) return overflow();
    value = value * 10 + d;
  }
  for (int64_t s = 0; s < shift; ++s) {
    if (value > kLimit / 10) return overflow();
    value *= 10;
  }
  // Round half to even by the dropped digits. When zeros stand between the unit and the first
  // digit (length + shift < 0) the value is below a tenth of the unit and rounds to 0.
  if (kept < digits.size() && length + shift >= 0) {
    int first = digits[kept] - '0';
    bool restNonZero = false;
    for (size_t k = kept + 1; k < digits.size(); ++k) restNonZero = restNonZero || digits[k] != '0';
    if (first > 5 || (first == 5 && (restNonZero || value % 2 != 0))) {
      if (value == kLimit) return overflow();
      ++value;
    }
  }
  if (value > kLimit || (!negative && value == kLimit)) return overflow();
  return negative ? int64_t(0 - value) : int64_t(value);
}

std::optional<bool> ReadBooleanText(std::string_view text) {
  auto equal = [&](std::string_view word) {
    if (text.size() != word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
      char c = text[i];
      if (c >= 'a' && c <= 'z') c = char(c - 32);
      if (c != word[i]) return false;
    }
    return true;
  };
  if (equal("TRUE")) return true;
  if (equal("FALSE")) return false;
  return std::nullopt;
}

// ---- Validity of value texts ----

bool IsValidWordText(std::string_view text) {
  auto v = ReadIntegerText(text);
  return v && *v >= 0 && *v <= 65535;
}

bool IsValidSmallIntText(std::string_view text) {
  auto v = ReadIntegerText(text);
  return v && *v >= -32768 && *v <= 32767;
}

bool IsValidIntegerText(std::string_view text) {
  auto v = ReadIntegerText(text);
  return v && *v >= std::numeric_limits<int32_t>::min() && *v <= std::numeric_limits<int32_t>::max();
}

bool IsValidLargeIntText(std::string_view text) {
  return ReadIntegerText(text).has_value();
}

bool IsValidBooleanText(std::string_view text) {
  return ReadBooleanText(text).has_value();
}

bool IsValidFloatText(std::string_view text) {
  return ReadFloatText(text).has_value();
}

bool IsValidCurrencyText(std::string_view text) {
  return ReadDecimalText(text, 4).has_value();
}

std::optional<int32_t> ReadDateText(std::string_view text) {
  size_t first = text.find('-');
  if (first == std::string_view::npos) return std::nullopt;
  size_t second = text.find('-', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  auto y = parseUnsigned(text.substr(0, first));
  auto m = parseUnsigned(text.substr(first + 1, second - first - 1));
  auto d = parseUnsigned(text.substr(second + 1));
  if (!y || !m || !d || *y < 1 || *y > 9999 || *m < 1 || *m > 12 || *d < 1 || *d > 31) return std::nullopt;
  year_month_day date{year(int(*y)), month(unsigned(*m)), day(unsigned(*d))};
  if (!date.ok()) return std::nullopt;
  return SysDaysToEngineDay(sys_days(date));
}

std::optional<int32_t> ReadTimeText(std::string_view input) {
  std::string text(input);
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = char(c - 32);
  int half = 0;  // 1 morning, 2 afternoon
  if (size_t at = text.find("AM"); at != std::string::npos) {
    text.erase(at, 2);
    half = 1;
  } else if (size_t pm = text.find("PM"); pm != std::string::npos) {
    text.erase(pm, 2);
    half = 2;
  }
  std::string_view rest = TrimBlanks(text);
  size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto hours = parseUnsigned(rest.substr(0, colon));
  rest = rest.substr(colon + 1);
  std::optional<int64_t> minutes, seconds = 0, milliseconds = 0;
  colon = rest.find(':');
  if (colon == std::string_view::npos) {
    minutes = parseUnsigned(rest);
  } else {
    minutes = parseUnsigned(rest.substr(0, colon));
    rest = rest.substr(colon + 1);
    size_t dot = rest.find('.');
    if (dot == std::string_view::npos) {
      seconds = parseUnsigned(rest);
    } else {
      seconds = parseUnsigned(rest.substr(0, dot));
      milliseconds = parseUnsigned(rest.substr(dot + 1));
    }
  }
  if (!hours || !minutes || !seconds || !milliseconds) return std::nullopt;
  int64_t h = *hours;
  if (half == 1 && h == 12) h = 0;
  if (half == 2 && h != 12) h += 12;
  if (h > 23 || *minutes > 59 || *seconds > 59 || *milliseconds > 999) return std::nullopt;
  return int32_t(h * 3'600'000 + *minutes * 60'000 + *seconds * 1000 + *milliseconds);
}

std::optional<double> ReadTimestampText(std::string_view text) {
  size_t blank = text.find(' ');
  if (blank != std::string_view::npos) {
    auto day = ReadDateText(text.substr(0, blank));
    auto ms = day ? ReadTimeText(text.substr(blank + 1)) : std::nullopt;
    if (!ms) return std::nullopt;
    return double(*day) * double(kMsPerDay) + *ms;
  }
  if (text.find(':') != std::string_view::npos) {
    auto ms = ReadTimeText(text);
    if (!ms) return std::nullopt;
    return kDateTimeZeroTimestamp + *ms;
  }
  auto day = ReadDateText(text);
  if (!day) return std::nullopt;
  return double(*day) * double(kMsPerDay);
}

bool IsValidDateText(std::string_view text) {
  return ReadDateText(text).has_value();
}

bool IsValidTimeText(std::string_view text) {
  return ReadTimeText(text).has_value();
}

bool IsValidTimestampText(std::string_view text) {
  return ReadTimestampText(text).has_value();
}

}  // namespace engine
