#include "tools/oci-standin/standin_values.h"

#include <chrono>
#include <cmath>
#include <cstdio>
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
  Literal
};

struct Item {
  Element element;
  std::string literal;  // Literal text; for names and meridians the model's spelling
};

// Splits a model into elements, longest name first. nullopt when some part is unknown.
std::optional<std::vector<Item>> splitModel(std::string_view model) {
  static const std::pair<const char*, Element> names[] = {
      {"SSSSS", Element::DaySeconds},  {"MONTH", Element::MonthName},
      {"YYYY", Element::Year4},        {"RRRR", Element::RYear4},
      {"HH24", Element::Hour24},       {"HH12", Element::Hour12},
      {"A.M.", Element::MeridianDots}, {"P.M.", Element::MeridianDots},
      {"MON", Element::MonthAbbr},     {"DAY", Element::DayName},
      {"YY", Element::Year2},          {"RR", Element::RYear2},
      {"MM", Element::Month},          {"DD", Element::Day},
      {"DY", Element::DayAbbr},        {"HH", Element::Hour12},
      {"MI", Element::Minute},         {"SS", Element::Second},
      {"AM", Element::Meridian},       {"PM", Element::Meridian},
      {"FM", Element::FillMode}};
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
    }
  }
  return 0;
}

int parseDate(std::string_view text, std::string_view model, DateTime& d) {
  const auto items = splitModel(model);
  if (!items) return kFormatNotRecognised;
  DateTime r = today();
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
  d = r;
  return 0;
}

std::string numberText(double value) {
  if (value == 0) return "0";
  if (std::fabs(value) < 1e15 && value == std::floor(value)) {
    return std::to_string(static_cast<long long>(value));
  }
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.15G", value);
  std::string out = buffer;
  if (out.find('E') == std::string::npos) {
    if (out.rfind("0.", 0) == 0) out.erase(0, 1);
    if (out.rfind("-0.", 0) == 0) out.erase(1, 1);
  }
  return out;
}

}  // namespace ocistandin
