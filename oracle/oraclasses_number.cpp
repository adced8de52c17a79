#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "dataaccess/daconsts.h"
#include "oracle/oraclasses_values.h"

namespace oracle {
namespace {

constexpr const char* kInvalidNumber = "Invalid number";
constexpr const char* kNumericOverflow = "Numeric overflow";
constexpr const char* kExponentModel = "9D99999999999999999999999999999999999999999EEEE";

constexpr int kMaxPairs = 20;
constexpr int kMinExponent = -65;  // base 100
constexpr int kMaxExponent = 62;
// Beyond any exponent a NUMBER can reach, small enough that sums of it cannot overflow.
constexpr int64_t kExponentClamp = 100000;

[[noreturn]] void invalidNumber() {
  throw dataaccess::EDAError(kInvalidNumber);
}
[[noreturn]] void numericOverflow() {
  throw dataaccess::EDAError(kNumericOverflow);
}

// (negative ? -1 : 1) x 0.digits x 10^point; no digits is zero.
struct Decimal {
  bool negative = false;
  std::string digits;
  int64_t point = 0;
};

enum class Kind { Finite, PositiveInfinity, NegativeInfinity };

// Drops leading zeros (moving the point) and trailing zeros; zero loses its sign.
void normalize(Decimal& d) {
  const size_t lead = d.digits.find_first_not_of('0');
  if (lead == std::string::npos) {
    d = Decimal{};
    return;
  }
  d.digits.erase(0, lead);
  d.point -= int64_t(lead);
  d.digits.erase(d.digits.find_last_not_of('0') + 1);
}

TOraNumber::Bytes encode(Decimal d) {
  TOraNumber::Bytes b{};
  normalize(d);
  if (d.digits.empty()) {
    b[0] = 1;
    b[1] = 0x80;
    return b;
  }
  // Base-100 digits pair up around the decimal point.
  std::string s = std::move(d.digits);
  int64_t point = d.point;
  if (point % 2 != 0) {
    s.insert(s.begin(), '0');
    ++point;
  }
  if (s.size() % 2 != 0) s += '0';
  std::vector<int> pairs;
  for (size_t i = 0; i < s.size(); i += 2) pairs.push_back((s[i] - '0') * 10 + (s[i + 1] - '0'));
  int64_t exponent = point / 2 - 1;
  if (pairs.size() > kMaxPairs) {
    const bool up = pairs[kMaxPairs] >= 50;
    pairs.resize(kMaxPairs);
    for (int i = kMaxPairs - 1; up && i >= 0; --i) {
      if (++pairs[i] < 100) break;
      pairs[i] = 0;
      if (i == 0) {
        pairs.insert(pairs.begin(), 1);
        pairs.resize(kMaxPairs);
        ++exponent;
      }
    }
  }
  while (pairs.back() == 0) pairs.pop_back();
  if (exponent > kMaxExponent) numericOverflow();
  if (exponent < kMinExponent) return encode(Decimal{});
  const size_t n = pairs.size();
  if (!d.negative) {
    b[1] = uint8_t(193 + exponent);
    for (size_t i = 0; i < n; ++i) b[2 + i] = uint8_t(pairs[i] + 1);
    b[0] = uint8_t(1 + n);
  } else {
    b[1] = uint8_t(62 - exponent);
    for (size_t i = 0; i < n; ++i) b[2 + i] = uint8_t(101 - pairs[i]);
    // The terminator keeps a shorter negative above a longer one in byte order.
    if (n < kMaxPairs) b[2 + n] = 102;
    b[0] = uint8_t(1 + n + (n < kMaxPairs ? 1 : 0));
  }
  return b;
}

// Bytes that come from a bind or a define are checked before they are read.
Kind decode(const TOraNumber::Bytes& b, Decimal& out) {
  out = Decimal{};
  const int len = b[0];
  if (len < 1 || len > 21) invalidNumber();
  const int head = b[1];
  if (len == 1 && head == 0x80) return Kind::Finite;
  if (len == 1 && head == 0) return Kind::NegativeInfinity;
  if (len == 2 && head == 0xFF && b[2] == 101) return Kind::PositiveInfinity;
  out.negative = head < 0x80;
  int count = len - 1;
  if (out.negative && count > 0 && b[1 + count] == 102) --count;
  if (count == 0) invalidNumber();
  const int exponent = out.negative ? 62 - head : head - 193;
  for (int i = 0; i < count; ++i) {
    const int raw = b[2 + i];
    const int pair = out.negative ? 101 - raw : raw - 1;
    if (pair < 0 || pair > 99) invalidNumber();
    out.digits += char('0' + pair / 10);
    out.digits += char('0' + pair % 10);
  }
  out.point = 2 * (int64_t(exponent) + 1);
  normalize(out);
  return Kind::Finite;
}

Decimal decodeFinite(const TOraNumber::Bytes& b) {
  Decimal d;
  if (decode(b, d) != Kind::Finite) numericOverflow();
  return d;
}

// Fixed notation as the library's "TM9" model gives it (".5" without a leading zero), or
// scientific when that would exceed 64 characters.
std::string minimalText(const Decimal& d, char separator) {
  if (d.digits.empty()) return "0";
  const std::string& s = d.digits;
  const int64_t len = int64_t(s.size()), p = d.point;
  std::string out = d.negative ? "-" : "";
  if (p <= 0)
    out += separator + std::string(size_t(-p), '0') + s;
  else if (p >= len)
    out += s + std::string(size_t(p - len), '0');
  else
    out += s.substr(0, size_t(p)) + separator + s.substr(size_t(p));
  if (out.size() <= 64) return out;
  const int64_t e = p - 1;
  out = d.negative ? "-" : "";
  out += s[0];
  if (len > 1) out += separator + s.substr(1);
  out += e < 0 ? "E-" : "E+";
  return out + std::to_string(e < 0 ? -e : e);
}

// The model before the library's length cut: one model character per text character.
std::string fullModel(std::string_view text, char decimalSeparator, char thousandSeparator) {
  std::string model;
  const bool sign = !text.empty() && (text[0] == '+' || text[0] == '-');
  bool seenNine = false, seenD = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 0 && sign) {
      model += 'S';
    } else if (c == 'E' || c == 'e') {
      return sign ? std::string("S") + kExponentModel : std::string(kExponentModel);
    } else if (c == decimalSeparator && !seenD) {
      model += 'D';
      seenD = true;
    } else if (c == thousandSeparator && seenNine && !seenD) {
      model += 'G';
    } else {
      model += '9';
      seenNine = true;
    }
  }
  return model;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

Decimal parseScientific(std::string_view text, char decimalSeparator) {
  Decimal d;
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) d.negative = text[i++] == '-';
  bool seenPoint = false;
  int64_t beforePoint = 0;
  for (; i < text.size() && text[i] != 'E' && text[i] != 'e'; ++i) {
    if (text[i] == decimalSeparator && !seenPoint) {
      seenPoint = true;
    } else if (isDigit(text[i])) {
      d.digits += text[i];
      if (!seenPoint) ++beforePoint;
    } else {
      invalidNumber();
    }
  }
  if (d.digits.empty() || i == text.size()) invalidNumber();
  ++i;
  bool negativeExponent = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
  if (i == text.size()) invalidNumber();
  int64_t exponent = 0;
  for (; i < text.size(); ++i) {
    if (!isDigit(text[i])) invalidNumber();
    exponent = std::min(exponent * 10 + (text[i] - '0'), kExponentClamp);
  }
  d.point = beforePoint + (negativeExponent ? -exponent : exponent);
  return d;
}

Decimal parseText(std::string_view text, char decimalSeparator, char thousandSeparator) {
  const std::string model = fullModel(text, decimalSeparator, thousandSeparator);
  if (model.ends_with("EEEE")) return parseScientific(text, decimalSeparator);
  Decimal d;
  bool seenPoint = false;
  for (size_t i = 0; i < model.size(); ++i) {
    switch (model[i]) {
      case 'S':
        d.negative = text[i] == '-';
        break;
      case 'D':
        seenPoint = true;
        break;
      case 'G':
        break;
      default:
        if (!isDigit(text[i])) invalidNumber();
        d.digits += text[i];
        if (!seenPoint) ++d.point;
    }
  }
  if (d.digits.empty()) invalidNumber();
  return d;
}

}  // namespace

std::string buildNumberFormatModel(std::string_view text, char decimalSeparator, char thousandSeparator) {
  std::string model = fullModel(text, decimalSeparator, thousandSeparator);
  if (model.size() >= 64) model.resize(model[0] == 'S' ? 64 : 63);
  return model;
}

void TOraNumber::AssignTo(TOraNumber& dest) const {
  dest.SetIsNull(IsNull());
  if (!IsNull()) dest.bytes_ = bytes_;
}

int TOraNumber::Compare(const TOraNumber& other) const {
  if (IsNull() || other.IsNull()) return int(other.IsNull()) - int(IsNull());
  // The form is built so that its bytes sort as the numbers do.
  const int a = std::min<int>(bytes_[0], 21), b = std::min<int>(other.bytes_[0], 21);
  const auto order = std::lexicographical_compare_three_way(
      bytes_.begin() + 1, bytes_.begin() + 1 + a, other.bytes_.begin() + 1, other.bytes_.begin() + 1 + b);
  return order < 0 ? -1 : order > 0 ? 1 : 0;
}

int32_t TOraNumber::AsInteger() const {
  if (IsNull()) return 0;
  const Decimal d = decodeFinite(bytes_);
  if (d.point <= 0) return 0;
  if (d.point > 10) numericOverflow();
  int64_t magnitude = 0;
  for (int64_t i = 0; i < d.point; ++i)
    magnitude = magnitude * 10 + (i < int64_t(d.digits.size()) ? d.digits[size_t(i)] - '0' : 0);
  const int64_t value = d.negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) numericOverflow();
  return int32_t(value);
}

void TOraNumber::SetAsInteger(int32_t value) {
  SetAsString(std::to_string(value));
}

double TOraNumber::AsFloat() const {
  if (IsNull()) return 0;
  Decimal d;
  switch (decode(bytes_, d)) {
    case Kind::PositiveInfinity:
      return HUGE_VAL;
    case Kind::NegativeInfinity:
      return -HUGE_VAL;
    case Kind::Finite:
      break;
  }
  if (d.digits.empty()) return 0;
  const std::string text = (d.negative ? "-0." : "0.") + d.digits + "e" + std::to_string(d.point);
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

void TOraNumber::SetAsFloat(double value) {
  if (std::isnan(value)) invalidNumber();
  if (std::isinf(value)) {
    Bytes b{};
    if (value > 0) {
      b = {2, 0xFF, 101};
    } else {
      b = {1, 0};
    }
    bytes_ = b;
    indicator_ = 0;
    return;
  }
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  bytes_ = encode(parseScientific(std::string_view(buffer, size_t(result.ptr - buffer)), '.'));
  indicator_ = 0;
}

std::string TOraNumber::AsString() const {
  if (IsNull()) return "";
  const char separator = valueFormatSettings().DecimalSeparator;
  Decimal d;
  switch (decode(bytes_, d)) {
    case Kind::PositiveInfinity:
      return "~";
    case Kind::NegativeInfinity:
      return "-~";
    case Kind::Finite:
      break;
  }
  const std::string text = minimalText(d, separator);
  if (text[0] == separator) return "0" + text;
  if (text.size() > 1 && text[0] == '-' && text[1] == separator) return "-0" + text.substr(1);
  return text;
}

void TOraNumber::SetAsString(std::string_view text) {
  const ValueFormatSettings& settings = valueFormatSettings();
  bytes_ = encode(parseText(text, settings.DecimalSeparator, settings.ThousandSeparator));
  indicator_ = 0;
}

}  // namespace oracle
