#include "tools/oci-standin/standin_values.h"

#include "tools/oci-standin/standin_number.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace ocistandin {
namespace {

constexpr const char* kMonths[12] = {"JANUARY", "FEBRUARY", "MARCH",     "APRIL",   "MAY",      "JUNE",
                                     "JULY",    "AUGUST",   "SEPTEMBER", "OCTOBER", "NOVEMBER", "DECEMBER"};
constexpr const char* kDays[7] = {"SUNDAY",   "MONDAY", "TUESDAY", "WEDNESDAY",
                                  "THURSDAY", "FRIDAY", "SATURDAY"};

constexpr int kFormatNotRecognised = 1821;
constexpr int kLiteralMismatch = 1861;
constexpr int kPictureEnds = 1830;
constexpr int kBadMonth = 1843;
constexpr int kBadDay = 1847;
constexpr int kBadHour24 = 1850;
constexpr int kBadMinute = 1851;
constexpr int kBadSecond = 1852;
constexpr int kBadHour12 = 1849;
constexpr int kBadYear = 1841;

bool isLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int y, int m) {
  static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

// 0 is Sunday.
int weekday(const DateTime& d) {
  const auto days = std::chrono::sys_days{std::chrono::year{d.year} / d.month / d.day};
  return static_cast<int>(std::chrono::weekday{days}.c_encoding());
}

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}
char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

enum class Element {
  Year4,
  Year2,
  RYear4,
  RYear2,
  Month,
  MonthAbbr,
  MonthName,
  Day,
  DayAbbr,
  DayName,
  Hour12,
  Hour24,
  Minute,
  Second,
  DaySeconds,
  Meridian,
  MeridianDots,
  FillMode,
  Fraction,  // FF or FF1..FF9: the digit count in `literal` ("" for the value's precision)
  Radix,     // X
  ZoneHour,  // TZH
  ZoneMinute,
  ZoneRegion,
  Literal
};

struct Item {
  Element element;
  std::string literal;  // Literal text; for names and meridians the model's spelling
};

// Splits a model into elements, longest name first. nullopt when some part is unknown.
std::optional<std::vector<Item>> splitModel(std::string_view model) {
  static const std::pair<const char*, Element> names[] = {{"SSSSS", Element::DaySeconds},
                                                          {"MONTH", Element::MonthName},
                                                          {"YYYY", Element::Year4},
                                                          {"RRRR", Element::RYear4},
                                                          {"HH24", Element::Hour24},
                                                          {"HH12", Element::Hour12},
                                                          {"A.M.", Element::MeridianDots},
                                                          {"P.M.", Element::MeridianDots},
                                                          {"MON", Element::MonthAbbr},
                                                          {"DAY", Element::DayName},
                                                          {"YY", Element::Year2},
                                                          {"RR", Element::RYear2},
                                                          {"MM", Element::Month},
                                                          {"DD", Element::Day},
                                                          {"DY", Element::DayAbbr},
                                                          {"HH", Element::Hour12},
                                                          {"MI", Element::Minute},
                                                          {"SS", Element::Second},
                                                          {"AM", Element::Meridian},
                                                          {"PM", Element::Meridian},
                                                          {"FM", Element::FillMode},
                                                          {"TZH", Element::ZoneHour},
                                                          {"TZM", Element::ZoneMinute},
                                                          {"TZR", Element::ZoneRegion},
                                                          {"X", Element::Radix}};
  std::vector<Item> items;
  size_t i = 0;
  while (i < model.size()) {
    const char c = model[i];
    if (c == '"') {
      const size_t end = model.find('"', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      items.push_back({Element::Literal, std::string(model.substr(i + 1, end - i - 1))});
      i = end + 1;
      continue;
    }
    if (!isAlpha(c)) {
      if (isDigit(c)) return std::nullopt;
      items.push_back({Element::Literal, std::string(1, c)});
      ++i;
      continue;
    }
    if (upper(c) == 'F' && i + 1 < model.size() && upper(model[i + 1]) == 'F') {
      i += 2;
      std::string digits;
      if (i < model.size() && model[i] >= '1' && model[i] <= '9') digits = std::string(1, model[i++]);
      items.push_back({Element::Fraction, digits});
      continue;
    }
    bool found = false;
    for (const auto& [name, element] : names) {
      const std::string_view n(name);
      if (model.size() - i < n.size()) continue;
      bool same = true;
      for (size_t k = 0; k < n.size() && same; ++k) same = upper(model[i + k]) == n[k];
      if (!same) continue;
      items.push_back({element, std::string(model.substr(i, n.size()))});
      i += n.size();
      found = true;
      break;
    }
    if (!found) return std::nullopt;
  }
  return items;
}

// "MONTH" -> "JULY", "Month" -> "July", "month" -> "july".
std::string cased(std::string_view name, std::string_view spelling) {
  std::string out(name);
  const bool allUpper = spelling.size() > 1 && !(spelling[1] >= 'a' && spelling[1] <= 'z') &&
                        !(spelling[0] >= 'a' && spelling[0] <= 'z');
  const bool allLower = spelling[0] >= 'a' && spelling[0] <= 'z';
  for (size_t k = 0; k < out.size(); ++k) {
    if (allLower || (!allUpper && k > 0)) out[k] = lower(out[k]);
  }
  return out;
}

std::string padded(int value, int width, bool fill) {
  std::string digits = std::to_string(value);
  if (!fill)
    while (static_cast<int>(digits.size()) < width) digits.insert(digits.begin(), '0');
  return digits;
}

std::string named(std::string_view name, std::string_view spelling, int width, bool fill) {
  std::string out = cased(name, spelling);
  if (!fill)
    while (static_cast<int>(out.size()) < width) out.push_back(' ');
  return out;
}

DateTime today() {
  const auto now = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
  const std::chrono::year_month_day ymd{now};
  DateTime d;
  d.year = static_cast<int>(ymd.year());
  d.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  d.day = 1;
  return d;
}

// Matches a month or day name at text[i]: the full name, else its first three letters.
int matchName(std::string_view text, size_t& i, const char* const* names, int count) {
  for (int full = 1; full >= 0; --full) {
    for (int n = 0; n < count; ++n) {
      const std::string_view name = full ? std::string_view(names[n]) : std::string_view(names[n], 3);
      if (text.size() - i < name.size()) continue;
      bool same = true;
      for (size_t k = 0; k < name.size() && same; ++k) same = upper(text[i + k]) == name[k];
      if (same) {
        i += name.size();
        return n;
      }
    }
  }
  return -1;
}

}  // namespace

bool isValidDate(const DateTime& d) {
  return d.year >= 1 && d.year <= 9999 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
         d.day <= daysInMonth(d.year, d.month) && d.hour >= 0 && d.hour <= 23 && d.minute >= 0 &&
         d.minute <= 59 && d.second >= 0 && d.second <= 59;
}

std::string canonicalDate(const DateTime& d) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day, d.hour,
                d.minute, d.second);
  return buffer;
}

bool parseCanonicalDate(std::string_view text, DateTime& d) {
  if (text.size() != 10 && text.size() != 19) return false;
  static constexpr std::string_view shape = "dddd-dd-dd dd:dd:dd";
  for (size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == 'd' ? !isDigit(text[i]) : text[i] != shape[i]) return false;
  }
  auto num = [&](size_t at, size_t len) {
    int v = 0;
    for (size_t k = 0; k < len; ++k) v = v * 10 + (text[at + k] - '0');
    return v;
  };
  DateTime r;
  r.year = num(0, 4);
  r.month = num(5, 2);
  r.day = num(8, 2);
  if (text.size() == 19) {
    r.hour = num(11, 2);
    r.minute = num(14, 2);
    r.second = num(17, 2);
  }
  if (!isValidDate(r)) return false;
  d = r;
  return true;
}

std::array<uint8_t, 7> toOraDate(const DateTime& d) {
  return {static_cast<uint8_t>(d.year / 100 + 100),
          static_cast<uint8_t>(d.year % 100 + 100),
          static_cast<uint8_t>(d.month),
          static_cast<uint8_t>(d.day),
          static_cast<uint8_t>(d.hour + 1),
          static_cast<uint8_t>(d.minute + 1),
          static_cast<uint8_t>(d.second + 1)};
}

bool fromOraDate(const uint8_t* b, DateTime& d) {
  if (b[0] < 100 || b[1] < 100 || b[1] > 199) return false;
  DateTime r;
  r.year = (b[0] - 100) * 100 + (b[1] - 100);
  r.month = b[2];
  r.day = b[3];
  r.hour = b[4] - 1;
  r.minute = b[5] - 1;
  r.second = b[6] - 1;
  if (!isValidDate(r)) return false;
  d = r;
  return true;
}

int formatDate(const DateTime& d, std::string_view model, std::string& out) {
  TimeStamp t;
  t.date = d;
  return formatTimestamp(t, model, 0, out);
}

int formatTimestamp(const TimeStamp& t, std::string_view model, int precision, std::string& out) {
  const DateTime& d = t.date;
  const auto items = splitModel(model);
  if (!items) return kFormatNotRecognised;
  out.clear();
  bool fill = false;
  const int hour12 = d.hour % 12 == 0 ? 12 : d.hour % 12;
  for (const Item& item : *items) {
    switch (item.element) {
      case Element::Literal:
        out += item.literal;
        break;
      case Element::FillMode:
        fill = !fill;
        break;
      case Element::Year4:
      case Element::RYear4:
        out += padded(d.year, 4, fill);
        break;
      case Element::Year2:
      case Element::RYear2:
        out += padded(d.year % 100, 2, fill);
        break;
      case Element::Month:
        out += padded(d.month, 2, fill);
        break;
      case Element::MonthAbbr:
        out += cased(std::string_view(kMonths[d.month - 1], 3), item.literal);
        break;
      case Element::MonthName:
        out += named(kMonths[d.month - 1], item.literal, 9, fill);
        break;
      case Element::Day:
        out += padded(d.day, 2, fill);
        break;
      case Element::DayAbbr:
        out += cased(std::string_view(kDays[weekday(d)], 3), item.literal);
        break;
      case Element::DayName:
        out += named(kDays[weekday(d)], item.literal, 9, fill);
        break;
      case Element::Hour12:
        out += padded(hour12, 2, fill);
        break;
      case Element::Hour24:
        out += padded(d.hour, 2, fill);
        break;
      case Element::Minute:
        out += padded(d.minute, 2, fill);
        break;
      case Element::Second:
        out += padded(d.second, 2, fill);
        break;
      case Element::DaySeconds:
        out += padded(d.hour * 3600 + d.minute * 60 + d.second, 5, fill);
        break;
      case Element::Meridian:
        out += cased(d.hour < 12 ? "AM" : "PM", item.literal);
        break;
      case Element::MeridianDots:
        out += cased(d.hour < 12 ? "A.M." : "P.M.", item.literal);
        break;
      case Element::Fraction: {
        const int digits = item.literal.empty() ? (precision > 0 ? precision : 9) : item.literal[0] - '0';
        char nanos[16];
        std::snprintf(nanos, sizeof nanos, "%09u", static_cast<unsigned>(t.nanos % 1000000000u));
        out.append(nanos, static_cast<size_t>(std::clamp(digits, 1, 9)));
        break;
      }
      case Element::Radix:
        out += '.';
        break;
      case Element::ZoneHour:
      case Element::ZoneRegion: {
        const int m = t.zoneMinutes < 0 ? -t.zoneMinutes : t.zoneMinutes;
        char zone[16];
        if (item.element == Element::ZoneHour)
          std::snprintf(zone, sizeof zone, "%c%02d", t.zoneMinutes < 0 ? '-' : '+', m / 60);
        else
          std::snprintf(zone, sizeof zone, "%c%02d:%02d", t.zoneMinutes < 0 ? '-' : '+', m / 60, m % 60);
        out += zone;
        break;
      }
      case Element::ZoneMinute: {
        const int m = t.zoneMinutes < 0 ? -t.zoneMinutes : t.zoneMinutes;
        out += padded(m % 60, 2, false);
        break;
      }
    }
  }
  return 0;
}

int parseDate(std::string_view text, std::string_view model, DateTime& d) {
  TimeStamp t;
  const int code = parseTimestamp(text, model, t);
  if (code == 0) d = t.date;
  return code;
}

int parseTimestamp(std::string_view text, std::string_view model, TimeStamp& out) {
  const auto items = splitModel(model);
  if (!items) return kFormatNotRecognised;
  DateTime r = today();
  TimeStamp stamp;
  int meridian = -1;  // -1 none, 0 AM, 1 PM
  bool twelveHour = false;
  size_t i = 0;
  auto skipBlanks = [&] {
    while (i < text.size() && text[i] == ' ') ++i;
  };
  auto number = [&](int maxDigits, int& value) {
    skipBlanks();
    int digits = 0;
    value = 0;
    while (i < text.size() && digits < maxDigits && isDigit(text[i])) {
      value = value * 10 + (text[i++] - '0');
      ++digits;
    }
    return digits;
  };
  for (const Item& item : *items) {
    int v = 0;
    switch (item.element) {
      case Element::FillMode:
        break;
      case Element::Literal: {
        skipBlanks();
        // Any run of punctuation in the text stands for any literal of the model.
        bool consumed = false;
        while (i < text.size() && !isDigit(text[i]) && !isAlpha(text[i])) {
          ++i;
          consumed = true;
        }
        bool words = false;
        for (char c : item.literal) words = words || isAlpha(c);
        if (!consumed && words && i < text.size()) {
          // A quoted word must appear as written.
          const std::string& lit = item.literal;
          if (text.substr(i, lit.size()) != lit) return kLiteralMismatch;
          i += lit.size();
        }
        break;
      }
      case Element::Year4:
      case Element::RYear4: {
        const int n = number(4, v);
        if (n == 0) return kLiteralMismatch;
        if (item.element == Element::RYear4 && n <= 2) v += v < 50 ? 2000 : 1900;
        if (v < 1) return kBadYear;
        r.year = v;
        break;
      }
      case Element::Year2:
      case Element::RYear2:
        if (number(2, v) == 0) return kLiteralMismatch;
        if (item.element == Element::RYear2)
          r.year = v < 50 ? 2000 + v : 1900 + v;
        else
          r.year = (today().year / 100) * 100 + v;
        break;
      case Element::Month:
        if (number(2, v) == 0) return kLiteralMismatch;
        if (v < 1 || v > 12) return kBadMonth;
        r.month = v;
        break;
      case Element::MonthAbbr:
      case Element::MonthName: {
        skipBlanks();
        const int m = matchName(text, i, kMonths, 12);
        if (m < 0) return kBadMonth;
        r.month = m + 1;
        break;
      }
      case Element::Day:
        if (number(2, v) == 0) return kLiteralMismatch;
        if (v < 1 || v > 31) return kBadDay;
        r.day = v;
        break;
      case Element::DayAbbr:
      case Element::DayName:
        skipBlanks();
        if (matchName(text, i, kDays, 7) < 0) return kLiteralMismatch;
        break;
      case Element::Hour12:
        if (number(2, v) == 0) return kLiteralMismatch;
        if (v < 1 || v > 12) return kBadHour12;
        r.hour = v % 12;
        twelveHour = true;
        break;
      case Element::Hour24:
        if (number(2, v) == 0) return kLiteralMismatch;
        if (v > 23) return kBadHour24;
        r.hour = v;
        break;
      case Element::Minute:
        if (number(2, v) == 0) return kLiteralMismatch;
        if (v > 59) return kBadMinute;
        r.minute = v;
        break;
      case Element::Second:
        if (number(2, v) == 0) return kLiteralMismatch;
        if (v > 59) return kBadSecond;
        r.second = v;
        break;
      case Element::DaySeconds:
        if (number(5, v) == 0) return kLiteralMismatch;
        if (v > 86399) return kBadSecond;
        r.hour = v / 3600;
        r.minute = v / 60 % 60;
        r.second = v % 60;
        break;
      case Element::Fraction: {
        const int most = item.literal.empty() ? 9 : item.literal[0] - '0';
        int digits = 0;
        uint32_t nanos = 0;
        while (i < text.size() && digits < most && isDigit(text[i])) {
          nanos = nanos * 10 + static_cast<uint32_t>(text[i++] - '0');
          ++digits;
        }
        if (digits == 0) return kLiteralMismatch;
        for (int k = digits; k < 9; ++k) nanos *= 10;
        stamp.nanos = nanos;
        break;
      }
      case Element::Radix:
        skipBlanks();
        if (i >= text.size() || (text[i] != '.' && text[i] != ',')) return kLiteralMismatch;
        ++i;
        break;
      case Element::ZoneHour:
      case Element::ZoneRegion: {
        skipBlanks();
        int sign = 1;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) sign = text[i++] == '-' ? -1 : 1;
        if (number(2, v) == 0 || v > 14) return 1874;  // time zone hour must be between -12 and 14
        stamp.zoneMinutes = sign * v * 60;
        stamp.hasZone = true;
        if (item.element == Element::ZoneRegion && i < text.size() && text[i] == ':') {
          ++i;
          if (number(2, v) == 0 || v > 59) return 1875;
          stamp.zoneMinutes += sign * v;
        }
        break;
      }
      case Element::ZoneMinute:
        if (number(2, v) == 0 || v > 59) return 1875;  // time zone minute must be between -59 and 59
        stamp.zoneMinutes += stamp.zoneMinutes < 0 ? -v : v;
        break;
      case Element::Meridian:
      case Element::MeridianDots: {
        skipBlanks();
        const std::string_view rest = text.substr(i);
        auto starts = [&](std::string_view word) {
          if (rest.size() < word.size()) return false;
          for (size_t k = 0; k < word.size(); ++k)
            if (upper(rest[k]) != word[k]) return false;
          return true;
        };
        if (starts("A.M.") || starts("P.M.")) {
          meridian = upper(rest[0]) == 'P';
          i += 4;
        } else if (starts("AM") || starts("PM")) {
          meridian = upper(rest[0]) == 'P';
          i += 2;
        } else {
          return 1855;
        }
        break;
      }
    }
  }
  skipBlanks();
  if (i < text.size()) return kPictureEnds;
  if (twelveHour && meridian == 1) r.hour += 12;
  if (r.day > daysInMonth(r.year, r.month)) return kBadDay;
  if (!isValidDate(r)) return kBadYear;
  stamp.date = r;
  out = stamp;
  return 0;
}

std::string storedTimestamp(const TimeStamp& t) {
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, ".%09u", static_cast<unsigned>(t.nanos % 1000000000u));
  std::string out = canonicalDate(t.date) + fraction;
  if (t.hasZone) {
    const int m = t.zoneMinutes < 0 ? -t.zoneMinutes : t.zoneMinutes;
    char zone[16];
    std::snprintf(zone, sizeof zone, " %c%02d:%02d", t.zoneMinutes < 0 ? '-' : '+', m / 60, m % 60);
    out += zone;
  }
  return out;
}

bool parseStoredTimestamp(std::string_view text, TimeStamp& t) {
  TimeStamp r;
  std::string_view rest = text;
  const size_t dateLength = rest.size() >= 19 && rest[10] == ' ' ? 19 : 10;
  if (rest.size() < dateLength || !parseCanonicalDate(rest.substr(0, dateLength), r.date)) return false;
  rest.remove_prefix(dateLength);
  if (!rest.empty() && rest[0] == '.' && dateLength == 19) {
    rest.remove_prefix(1);
    int digits = 0;
    while (!rest.empty() && isDigit(rest[0]) && digits < 9) {
      r.nanos = r.nanos * 10 + static_cast<uint32_t>(rest[0] - '0');
      rest.remove_prefix(1);
      ++digits;
    }
    if (digits == 0) return false;
    for (int k = digits; k < 9; ++k) r.nanos *= 10;
  }
  if (!rest.empty()) {
    if (rest.size() != 7 || rest[0] != ' ' || (rest[1] != '+' && rest[1] != '-') || !isDigit(rest[2]) ||
        !isDigit(rest[3]) || rest[4] != ':' || !isDigit(rest[5]) || !isDigit(rest[6]))
      return false;
    const int hours = (rest[2] - '0') * 10 + (rest[3] - '0');
    const int minutes = (rest[5] - '0') * 10 + (rest[6] - '0');
    if (hours > 14 || minutes > 59) return false;
    r.zoneMinutes = (rest[1] == '-' ? -1 : 1) * (hours * 60 + minutes);
    r.hasZone = true;
  }
  t = r;
  return true;
}

int compareTimestamps(const TimeStamp& a, const TimeStamp& b) {
  auto instant = [](const TimeStamp& t) {
    const auto days = std::chrono::sys_days{std::chrono::year{t.date.year} / t.date.month / t.date.day}
                          .time_since_epoch()
                          .count();
    const int64_t seconds = int64_t(days) * 86400 + t.date.hour * 3600 + t.date.minute * 60 + t.date.second -
                            int64_t(t.zoneMinutes) * 60;
    return std::pair<int64_t, uint32_t>(seconds, t.nanos);
  };
  const auto x = instant(a), y = instant(b);
  return x < y ? -1 : x == y ? 0 : 1;
}

std::string intervalText(const Interval& v, int lead, int fraction) {
  char buffer[96];
  if (v.yearMonth) {
    const bool negative = v.months < 0;
    const uint64_t m = negative ? uint64_t(0) - uint64_t(v.months) : uint64_t(v.months);
    std::snprintf(buffer, sizeof buffer, "%c%0*llu-%02llu", negative ? '-' : '+', lead,
                  static_cast<unsigned long long>(m / 12), static_cast<unsigned long long>(m % 12));
    return buffer;
  }
  const bool negative = v.days < 0 || v.nanos < 0;
  const uint64_t days = v.days < 0 ? uint64_t(0) - uint64_t(v.days) : uint64_t(v.days);
  const uint64_t n = v.nanos < 0 ? uint64_t(0) - uint64_t(v.nanos) : uint64_t(v.nanos);
  const uint64_t seconds = n / 1000000000, nanos = n % 1000000000;
  std::snprintf(buffer, sizeof buffer, "%c%0*llu %02llu:%02llu:%02llu", negative ? '-' : '+', lead,
                static_cast<unsigned long long>(days), static_cast<unsigned long long>(seconds / 3600),
                static_cast<unsigned long long>(seconds / 60 % 60),
                static_cast<unsigned long long>(seconds % 60));
  std::string out = buffer;
  if (fraction > 0) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%09llu", static_cast<unsigned long long>(nanos));
    out += ".";
    out.append(digits, static_cast<size_t>(std::min(fraction, 9)));
  }
  return out;
}

bool parseInterval(std::string_view text, bool yearMonth, Interval& v) {
  size_t i = 0;
  auto blanks = [&] {
    while (i < text.size() && text[i] == ' ') ++i;
  };
  auto number = [&](int most, uint64_t& value) {
    int digits = 0;
    value = 0;
    while (i < text.size() && isDigit(text[i]) && digits < most) {
      value = value * 10 + static_cast<uint64_t>(text[i++] - '0');
      ++digits;
    }
    return digits > 0;
  };
  blanks();
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  Interval r;
  r.yearMonth = yearMonth;
  uint64_t first = 0;
  if (!number(9, first)) return false;
  if (yearMonth) {
    uint64_t months = 0;
    if (i >= text.size() || text[i] != '-') return false;
    ++i;
    if (!number(2, months) || months > 11) return false;
    blanks();
    if (i != text.size()) return false;
    const auto total = static_cast<int64_t>(first * 12 + months);
    r.months = negative ? -total : total;
    v = r;
    return true;
  }
  uint64_t hours = 0, minutes = 0, seconds = 0, nanos = 0;
  if (i < text.size() && text[i] == ' ') {
    ++i;
    if (!number(2, hours) || hours > 23) return false;
    if (i < text.size() && text[i] == ':') {
      ++i;
      if (!number(2, minutes) || minutes > 59) return false;
      if (i < text.size() && text[i] == ':') {
        ++i;
        if (!number(2, seconds) || seconds > 59) return false;
        if (i < text.size() && text[i] == '.') {
          ++i;
          const size_t start = i;
          if (!number(9, nanos)) return false;
          for (size_t k = i - start; k < 9; ++k) nanos *= 10;
        }
      }
    }
  }
  blanks();
  if (i != text.size()) return false;
  const auto day = static_cast<int64_t>(first);
  const auto within = static_cast<int64_t>(((hours * 60 + minutes) * 60 + seconds) * 1000000000 + nanos);
  r.days = negative ? -day : day;
  r.nanos = negative ? -within : within;
  v = r;
  return true;
}

int compareIntervals(const Interval& a, const Interval& b) {
  if (a.yearMonth) return a.months < b.months ? -1 : a.months == b.months ? 0 : 1;
  const auto x = std::pair(a.days, a.nanos), y = std::pair(b.days, b.nanos);
  return x < y ? -1 : x == y ? 0 : 1;
}

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint32_t kRowidObject = 73001;
constexpr uint16_t kRowidFile = 4;

void base64(uint64_t value, int digits, std::string& out) {
  for (int k = digits - 1; k >= 0; --k) out += kBase64[(value >> (6 * k)) & 63];
}

bool unbase64(std::string_view text, uint64_t& value) {
  value = 0;
  for (char c : text) {
    const char* at = std::strchr(kBase64, c);
    if (!at || c == 0) return false;
    value = value << 6 | static_cast<uint64_t>(at - kBase64);
  }
  return true;
}

}  // namespace

std::string rowidText(int64_t row) {
  std::string out;
  const auto r = static_cast<uint64_t>(row);
  base64(kRowidObject, 6, out);
  base64(kRowidFile, 3, out);
  base64((r >> 16) & 0xFFFFFFFFu, 6, out);
  base64(r & 0xFFFF, 3, out);
  return out;
}

bool rowidRow(std::string_view text, int64_t& row) {
  uint64_t object = 0, file = 0, block = 0, number = 0;
  if (text.size() != 18 || !unbase64(text.substr(0, 6), object) || !unbase64(text.substr(6, 3), file) ||
      !unbase64(text.substr(9, 6), block) || !unbase64(text.substr(15, 3), number))
    return false;
  if (object != kRowidObject || file != kRowidFile || block > 0xFFFFFFFFu || number > 0xFFFF) return false;
  row = static_cast<int64_t>(block << 16 | number);
  return true;
}

std::array<uint8_t, 13> rowidBytes(int64_t row) {
  const auto r = static_cast<uint64_t>(row);
  return rowidBytes(kRowidObject, kRowidFile, uint32_t((r >> 16) & 0xFFFFFFFFu), uint16_t(r & 0xFFFF));
}

std::array<uint8_t, 13> rowidBytes(uint32_t object, uint16_t file, uint32_t block, uint16_t number) {
  return {1,
          static_cast<uint8_t>(object >> 24),
          static_cast<uint8_t>(object >> 16),
          static_cast<uint8_t>(object >> 8),
          static_cast<uint8_t>(object),
          static_cast<uint8_t>(file >> 8),
          static_cast<uint8_t>(file),
          static_cast<uint8_t>(block >> 24),
          static_cast<uint8_t>(block >> 16),
          static_cast<uint8_t>(block >> 8),
          static_cast<uint8_t>(block),
          static_cast<uint8_t>(number >> 8),
          static_cast<uint8_t>(number)};
}

bool rowidFromBytes(const uint8_t* b, int64_t& row) {
  if (b[0] != 1) return false;
  const uint32_t object = uint32_t(b[1]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 8 | b[4];
  const uint16_t file = static_cast<uint16_t>(b[5] << 8 | b[6]);
  const uint64_t block = uint64_t(b[7]) << 24 | uint64_t(b[8]) << 16 | uint64_t(b[9]) << 8 | b[10];
  const uint64_t number = uint64_t(b[11]) << 8 | b[12];
  if (object != kRowidObject || file != kRowidFile) return false;
  row = static_cast<int64_t>(block << 16 | number);
  return true;
}

std::string numberText(double value) {
  // A stored REAL stands for a NUMBER of at most 15 digits; the client writes it as any NUMBER.
  if (std::isfinite(value) && std::fabs(value) < 1e126) return numberText(numberFromDouble(value));
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.15G", value);
  return buffer;
}

}  // namespace ocistandin
