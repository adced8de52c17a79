#include "dataset/variant.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include <cstring>
#include <limits>

#include "platform/collation.h"
#include "platform/textrules.h"

namespace dataset {
namespace {

constexpr double kMsPerDay = 86400000.0;

bool parseDouble(std::string_view s, double& out) {
  s = platform::trimBlanks(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size() && std::isfinite(out);
}

bool parseInt(std::string_view s, int64_t& out) {
  s = platform::trimBlanks(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

std::string doubleText(double d) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  return ec == std::errc() ? std::string(buf, end) : std::string("NaN");
}

std::string currencyText(Currency c) {
  uint64_t mag = c.scaled < 0 ? uint64_t(0) - uint64_t(c.scaled) : uint64_t(c.scaled);
  std::string s = std::to_string(mag / 10000);
  if (uint64_t frac = mag % 10000) {
    std::string f = std::to_string(frac + 10000).substr(1);
    while (f.back() == '0') f.pop_back();
    s += "." + f;
  }
  return c.scaled < 0 ? "-" + s : s;
}

DateTime makeDateTime(int64_t day, double msOfDay) {
  const double frac = msOfDay / kMsPerDay;
  return DateTime{day < 0 ? double(day) - frac : double(day) + frac};
}

template <class T>
int sign(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

bool isIntegral(VariantType t) {
  return t == VariantType::Bool || t == VariantType::Int16 || t == VariantType::Int32 ||
         t == VariantType::Int64;
}

// Exact: the integer is never rounded to a double.
int compareIntegerWithDouble(int64_t i, double d) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (d >= kTwoTo63) return -1;
  if (d < -kTwoTo63) return 1;
  const double whole = std::trunc(d);
  if (const int c = sign(i, int64_t(whole))) return c;
  return sign(0.0, d - whole);
}

// An integer against a number's text: a plain decimal whose whole part fits 64 bits compares
// digit-exactly; another form goes through its double, compared exactly with the integer. False
// when the text is no number.
bool compareIntegerWithText(int64_t i, std::string_view text, int& result) {
  const std::string_view s = platform::trimBlanks(text);
  const size_t point = s.find('.');
  const std::string_view wholeText = s.substr(0, point);
  const std::string_view fraction = point == s.npos ? std::string_view() : s.substr(point + 1);
  const size_t digitsFrom = !s.empty() && (s.front() == '-' || s.front() == '+') ? 1 : 0;
  const bool plain = wholeText.size() > digitsFrom &&
                     wholeText.find_first_not_of("0123456789", digitsFrom) == wholeText.npos &&
                     fraction.find_first_not_of("0123456789") == fraction.npos;
  int64_t whole;
  if (plain && parseInt(wholeText, whole)) {
    if (const int c = sign(i, whole)) {
      result = c;
    } else if (fraction.find_first_not_of('0') == fraction.npos) {
      result = 0;
    } else {
      // The fraction takes the text away from zero, beyond the equal whole part.
      result = s.front() == '-' ? 1 : -1;
    }
    return true;
  }
  double d;
  if (!parseDouble(s, d)) return false;
  result = compareIntegerWithDouble(i, d);
  return true;
}

int compareTexts(const std::string& a, const std::string& b) {
  if (int c = platform::compareText(platform::kUsEnglishLanguageId, a, b, false)) return c;
  return sign(a, b);
}

}  // namespace

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468 + 25569;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468 - 25569;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = int64_t(yoe) + era * 400 + (m <= 2);
}

const char* variantTypeName(VariantType t) {
  static const char* const names[] = {"Empty",      "Null",   "Boolean",  "Int16", "Int32",
                                      "Int64",      "Double", "Currency", "Date",  "String",
                                      "WideString", "Bytes",  "Object",   "Array"};
  return names[size_t(t)];
}

void Variant::fail(VariantType to) const {
  throw EVariantError(std::string("Could not convert variant of type (") + variantTypeName(type()) +
                      ") into type (" + variantTypeName(to) + ")");
}

bool Variant::asBool() const {
  switch (type()) {
    case VariantType::Empty:
      return false;
    case VariantType::Bool:
      return std::get<bool>(v_);
    case VariantType::String:
    case VariantType::WideString: {
      const std::string s(platform::trimBlanks(asString()));
      if (platform::equalIgnoringAsciiCase(s, "true")) return true;
      if (platform::equalIgnoringAsciiCase(s, "false")) return false;
      double d;
      if (parseDouble(s, d)) return d != 0;
      fail(VariantType::Bool);
    }
    default:
      if (isNumeric()) return asDouble() != 0;
      fail(VariantType::Bool);
  }
}

int64_t Variant::asInt64() const {
  switch (type()) {
    case VariantType::Empty:
      return 0;
    case VariantType::Bool:
      return std::get<bool>(v_) ? 1 : 0;
    case VariantType::Int16:
      return std::get<int16_t>(v_);
    case VariantType::Int32:
      return std::get<int32_t>(v_);
    case VariantType::Int64:
      return std::get<int64_t>(v_);
    case VariantType::String:
    case VariantType::WideString: {
      int64_t i;
      if (parseInt(asString(), i)) return i;
      break;
    }
    default:
      break;
  }
  if (!isNumeric() && !isText()) fail(VariantType::Int64);
  const double d = std::nearbyint(asDouble());
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) fail(VariantType::Int64);
  return int64_t(d);
}

int32_t Variant::asInt32() const {
  const int64_t i = asInt64();
  if (i < std::numeric_limits<int32_t>::min() || i > std::numeric_limits<int32_t>::max())
    fail(VariantType::Int32);
  return int32_t(i);
}

double Variant::asDouble() const {
  switch (type()) {
    case VariantType::Double:
      return std::get<double>(v_);
    case VariantType::Currency:
      return double(std::get<Currency>(v_).scaled) / 10000.0;
    case VariantType::DateTime:
      return std::get<DateTime>(v_).days;
    case VariantType::String:
    case VariantType::WideString: {
      double d;
      if (parseDouble(asString(), d)) return d;
      fail(VariantType::Double);
    }
    default:
      if (type() == VariantType::Empty || isIntegral(type())) return double(asInt64());
      fail(VariantType::Double);
  }
}

Currency Variant::asCurrency() const {
  if (type() == VariantType::Currency) return std::get<Currency>(v_);
  if (type() == VariantType::Empty || isIntegral(type())) {
    const int64_t i = asInt64();
    if (i > INT64_MAX / 10000 || i < INT64_MIN / 10000) fail(VariantType::Currency);
    return Currency{i * 10000};
  }
  const double d = std::nearbyint(asDouble() * 10000.0);
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) fail(VariantType::Currency);
  return Currency{int64_t(d)};
}

DateTime Variant::asDateTime() const {
  if (type() == VariantType::DateTime) return std::get<DateTime>(v_);
  if (isText()) return textToDateTime(asString());
  if (type() == VariantType::Empty || isNumeric()) return DateTime{asDouble()};
  fail(VariantType::DateTime);
}

std::string Variant::takeString() {
  if (auto* text = std::get_if<std::string>(&v_)) return std::move(*text);
  return asString();
}

std::string Variant::asString() const {
  switch (type()) {
    case VariantType::Empty:
    case VariantType::Null:
      return {};
    case VariantType::Bool:
      return std::get<bool>(v_) ? "True" : "False";
    case VariantType::Int16:
    case VariantType::Int32:
    case VariantType::Int64:
      return std::to_string(asInt64());
    case VariantType::Double:
      return doubleText(std::get<double>(v_));
    case VariantType::Currency:
      return currencyText(std::get<Currency>(v_));
    case VariantType::DateTime:
      return dateTimeToText(std::get<DateTime>(v_));
    case VariantType::String:
      return std::get<std::string>(v_);
    case VariantType::WideString:
      return utf16ToUtf8(std::get<std::u16string>(v_));
    case VariantType::Bytes: {
      const auto& b = std::get<std::vector<uint8_t>>(v_);
      return std::string(b.begin(), b.end());
    }
    default:
      fail(VariantType::String);
  }
}

std::u16string Variant::asWideString() const {
  if (type() == VariantType::WideString) return std::get<std::u16string>(v_);
  return utf8ToUtf16(asString());
}

std::vector<uint8_t> Variant::asBytes() const {
  if (type() == VariantType::Bytes) return std::get<std::vector<uint8_t>>(v_);
  if (type() == VariantType::Empty || type() == VariantType::Null) return {};
  const std::string s = asString();
  return std::vector<uint8_t>(s.begin(), s.end());
}

void* Variant::asObject() const {
  if (type() == VariantType::Object) return std::get<ObjectRef>(v_).p;
  if (isNull()) return nullptr;
  fail(VariantType::Object);
}

const std::vector<Variant>& Variant::asArray() const {
  if (type() != VariantType::Array) fail(VariantType::Array);
  return std::get<std::vector<Variant>>(v_);
}

bool operator==(const Variant& a, const Variant& b) {
  if (a.type() == b.type()) return a.v_ == b.v_;
  return compareVariants(a, b) == 0;
}

int compareVariants(const Variant& a, const Variant& b) {
  if (a.isNull() || b.isNull()) return int(!a.isNull()) - int(!b.isNull());
  const VariantType ta = a.type(), tb = b.type();
  if (a.isNumeric() && b.isNumeric()) {
    if (isIntegral(ta) && isIntegral(tb)) return sign(a.asInt64(), b.asInt64());
    if (isIntegral(ta) && tb == VariantType::Double)
      return compareIntegerWithDouble(a.asInt64(), b.asDouble());
    if (ta == VariantType::Double && isIntegral(tb))
      return -compareIntegerWithDouble(b.asInt64(), a.asDouble());
    return sign(a.asDouble(), b.asDouble());
  }
  if (a.isText() && b.isText()) return compareTexts(a.asString(), b.asString());
  if ((a.isText() && b.isNumeric()) || (a.isNumeric() && b.isText())) {
    const Variant& text = a.isText() ? a : b;
    const Variant& num = a.isText() ? b : a;
    if (isIntegral(num.type())) {
      int c;
      if (compareIntegerWithText(num.asInt64(), text.asString(), c)) return a.isText() ? -c : c;
      return compareTexts(a.asString(), b.asString());
    }
    double d;
    const bool isDate = num.type() == VariantType::DateTime;
    bool readable = false;
    if (isDate) {
      try {
        d = text.asDateTime().days;
        readable = true;
      } catch (const EVariantError&) {
      }
    } else {
      readable = parseDouble(text.asString(), d);
    }
    if (readable) {
      const int c = sign(d, num.asDouble());
      return a.isText() ? c : -c;
    }
    return compareTexts(a.asString(), b.asString());
  }
  if (ta == VariantType::Array && tb == VariantType::Array) {
    const auto &x = a.asArray(), &y = b.asArray();
    for (size_t i = 0; i < x.size() && i < y.size(); ++i)
      if (int c = compareVariants(x[i], y[i])) return c;
    return sign(x.size(), y.size());
  }
  if (ta == VariantType::Object && tb == VariantType::Object) return sign(a.asObject(), b.asObject());
  if (ta == VariantType::Object || tb == VariantType::Object || ta == VariantType::Array ||
      tb == VariantType::Array)
    return sign(ta, tb);
  const auto x = a.asBytes(), y = b.asBytes();
  const size_t common = std::min(x.size(), y.size());
  if (const int c = common ? std::memcmp(x.data(), y.data(), common) : 0) return c < 0 ? -1 : 1;
  return sign(x.size(), y.size());
}

Variant upperCased(const Variant& v) {
  if (!v.isText()) return v;
  std::string s = v.asString();
  platform::upperCaseText(platform::kUsEnglishLanguageId, s, SIZE_MAX);
  if (v.type() == VariantType::WideString) return Variant(utf8ToUtf16(s));
  return Variant(std::move(s));
}

std::string dateTimeToText(DateTime d) {
  if (!std::isfinite(d.days) || std::fabs(d.days) > 1e9) return doubleText(d.days);
  const double whole = std::trunc(d.days);
  int64_t ms = std::llround(std::fabs(d.days - whole) * kMsPerDay);
  int64_t day = int64_t(whole);
  if (ms >= int64_t(kMsPerDay)) {
    ms -= int64_t(kMsPerDay);
    day += d.days < 0 ? -1 : 1;
  }
  int64_t y;
  unsigned m, dd;
  civilFromDays(day, y, m, dd);
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, dd);
  if (ms != 0) {
    const int64_t s = ms / 1000;
    n += std::snprintf(buf + n, sizeof buf - size_t(n), " %02lld:%02lld:%02lld",
                       static_cast<long long>(s / 3600), static_cast<long long>(s / 60 % 60),
                       static_cast<long long>(s % 60));
    if (ms % 1000)
      std::snprintf(buf + n, sizeof buf - size_t(n), ".%03lld", static_cast<long long>(ms % 1000));
  }
  return buf;
}

DateTime textToDateTime(std::string_view text) {
  const std::string_view s = platform::trimBlanks(text);
  size_t i = 0;
  auto number = [&](size_t minDigits, size_t maxDigits, int64_t& out) {
    size_t start = i;
    out = 0;
    while (i < s.size() && i - start < maxDigits && s[i] >= '0' && s[i] <= '9')
      out = out * 10 + (s[i++] - '0');
    return i - start >= minDigits;
  };
  auto take = [&](char c) { return i < s.size() && s[i] == c ? (++i, true) : false; };
  auto bad = [&]() -> DateTime {
    throw EVariantError("'" + std::string(text) + "' is not a valid date and time");
  };

  int64_t day = 0;
  int64_t a;
  if (!number(1, 4, a)) return bad();
  if (take('-')) {
    int64_t m, d;
    if (!number(1, 2, m) || !take('-') || !number(1, 2, d)) return bad();
    if (m < 1 || m > 12 || d < 1) return bad();
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (a % 4 == 0 && a % 100 != 0) || a % 400 == 0;
    if (d > kDays[m - 1] || (m == 2 && d == 29 && !leap)) return bad();
    day = daysFromCivil(a, unsigned(m), unsigned(d));
    if (i == s.size()) return makeDateTime(day, 0);
    if (!take(' ') && !take('T')) return bad();
    while (take(' ')) {
    }
    if (!number(1, 2, a)) return bad();
  }
  // a holds the hour.
  int64_t mi, sec = 0, ms = 0;
  if (!take(':') || !number(2, 2, mi)) return bad();
  if (take(':')) {
    if (!number(2, 2, sec)) return bad();
    if (take('.')) {
      size_t start = i;
      if (!number(1, 3, ms)) return bad();
      for (size_t k = i - start; k < 3; ++k) ms *= 10;
    }
  }
  if (i != s.size() || a > 23 || mi > 59 || sec > 59) return bad();
  return makeDateTime(day, double(((a * 60 + mi) * 60 + sec) * 1000 + ms));
}

std::u16string utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    uint32_t c = p[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool ok = len != 0 && i + len <= n;
    if (ok && len > 1) {
      c &= 0x7F >> len;
      for (size_t k = 1; k < len; ++k) {
        if ((p[i + k] & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        c = (c << 6) | (p[i + k] & 0x3F);
      }
      static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
      ok = ok && c >= kMin[len] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
    }
    if (!ok) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(char16_t(0xD800 + (c >> 10)));
      out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(char16_t(c));
    }
    i += len;
  }
  return out;
}

std::string utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(char(c));
    } else if (c < 0x800) {
      out.push_back(char(0xC0 | (c >> 6)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(char(0xE0 | (c >> 12)));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else {
      out.push_back(char(0xF0 | (c >> 18)));
      out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

namespace {

// The bytes of the character that starts at text[at] in a double-byte set. A form whose trail
// bytes can be lead bytes (the EUC sets' two-, three- and four-byte forms and GB18030's four-byte
// one) is taken only when the bytes that follow its lead in the text can continue it: in a
// damaged text a lead byte before others stands alone, so that the walk reads the next character
// where the set's converters do and never keeps the lead byte of a character it cuts. Bytes past
// the text's end are taken to continue it (the character does not fit either way).
size_t doubleByteCharLength(std::string_view text, size_t at, NarrowText encoding) {
  const auto follows = [&](size_t i, uint8_t low, uint8_t high) {
    return at + i >= text.size() || (uint8_t(text[at + i]) >= low && uint8_t(text[at + i]) <= high);
  };
  const uint8_t b = uint8_t(text[at]);
  switch (encoding) {
    case NarrowText::ShiftJis:
      return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC) ? 2 : 1;
    case NarrowText::EucJp:
      if (b == 0x8F) return follows(1, 0xA1, 0xFE) && follows(2, 0xA1, 0xFE) ? 3 : 1;
      return (b == 0x8E || (b >= 0xA1 && b <= 0xFE)) && follows(1, 0xA1, 0xFE) ? 2 : 1;
    case NarrowText::EucTw:
      if (b == 0x8E)
        return follows(1, 0xA1, 0xB0) && follows(2, 0xA1, 0xFE) && follows(3, 0xA1, 0xFE) ? 4 : 1;
      return b >= 0xA1 && b <= 0xFE && follows(1, 0xA1, 0xFE) ? 2 : 1;
    case NarrowText::Lead81:
      return b >= 0x81 && b <= 0xFE ? 2 : 1;
    case NarrowText::LeadA1:
      return b >= 0xA1 && b <= 0xFE ? 2 : 1;
    case NarrowText::Gb18030:
      if (b < 0x81 || b > 0xFE) return 1;
      if (at + 1 >= text.size() || !follows(1, '0', '9')) return 2;
      return follows(2, 0x81, 0xFE) && follows(3, '0', '9') ? 4 : 1;
    case NarrowText::Utf8:
    case NarrowText::SingleByte:
      break;
  }
  return 1;
}

}  // namespace

size_t fittingTextLength(std::string_view text, size_t width, NarrowText encoding) {
  if (text.size() <= width) return text.size();
  if (encoding == NarrowText::SingleByte) return width;
  if (encoding == NarrowText::Utf8) {
    size_t n = width;
    while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80) --n;
    return n;
  }
  size_t n = 0;
  for (;;) {
    const size_t next = n + doubleByteCharLength(text, n, encoding);
    if (next > width) return n;
    n = next;
  }
}

}  // namespace dataset
