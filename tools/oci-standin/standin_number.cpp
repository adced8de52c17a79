#include "tools/oci-standin/standin_number.h"

#include <cstdio>
#include <cstdlib>

namespace ocistandin {
namespace {

// Digits before the point of the largest and the smallest NUMBER (below 1E+126, from 1E-130):
// base-100 exponents 62 and -65 fill the exponent byte.
constexpr int kMaxExponent = 126;
constexpr int kMinExponent = -129;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Drops leading and trailing zeros; zero loses its sign.
void normalise(ExactNumber& n) {
  const size_t lead = n.digits.find_first_not_of('0');
  if (lead == std::string::npos) {
    n = ExactNumber{};
    return;
  }
  n.digits.erase(0, lead);
  const size_t last = n.digits.find_last_not_of('0');
  n.exponent += static_cast<int>(n.digits.size() - 1 - last);
  n.digits.erase(last + 1);
}

// Keeps the `keep` most significant digits, rounding half away from zero.
void roundDigits(ExactNumber& n, size_t keep) {
  if (n.digits.size() <= keep) return;
  const bool up = n.digits[keep] >= '5';
  n.exponent += static_cast<int>(n.digits.size() - keep);
  n.digits.resize(keep);
  if (up) {
    size_t i = keep;
    while (i > 0 && n.digits[i - 1] == '9') n.digits[--i] = '0';
    if (i == 0)
      n.digits.insert(n.digits.begin(), '1');
    else
      ++n.digits[i - 1];
  }
  normalise(n);
}

// A NUMBER holds 20 base-100 digits paired around the point: 40 decimal digits when the first
// pair is full, 39 when it starts with a zero.
void roundToNumber(ExactNumber& n) {
  for (int pass = 0; pass < 2 && !n.isZero(); ++pass) {
    const int point = static_cast<int>(n.digits.size()) + n.exponent;
    roundDigits(n, (point % 2 == 0) ? kNumberDigits : kNumberDigits - 1);
  }
}

}  // namespace

std::optional<ExactNumber> parseNumberText(std::string_view text) {
  size_t i = 0;
  auto blank = [&](size_t at) { return at < text.size() && (text[at] == ' ' || text[at] == '\t'); };
  while (blank(i)) ++i;
  ExactNumber n;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) n.negative = text[i++] == '-';
  bool any = false;
  int fraction = 0;
  while (i < text.size() && isDigit(text[i])) {
    n.digits += text[i++];
    any = true;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isDigit(text[i])) {
      n.digits += text[i++];
      ++fraction;
      any = true;
    }
  }
  if (!any) return std::nullopt;
  long power = 0;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    ++i;
    bool minus = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) minus = text[i++] == '-';
    if (i >= text.size() || !isDigit(text[i])) return std::nullopt;
    while (i < text.size() && isDigit(text[i])) {
      power = power * 10 + (text[i++] - '0');
      if (power > 100000) return std::nullopt;
    }
    if (minus) power = -power;
  }
  while (blank(i)) ++i;
  if (i != text.size()) return std::nullopt;
  // Leading zeros never count, so a long run of them cannot push the exponent.
  const size_t lead = n.digits.find_first_not_of('0');
  if (lead == std::string::npos) return ExactNumber{};
  n.digits.erase(0, lead);
  if (n.digits.size() > 100000) return std::nullopt;
  n.exponent = static_cast<int>(power) - fraction;
  normalise(n);
  roundToNumber(n);
  const int top = n.exponent + static_cast<int>(n.digits.size());
  if (top > kMaxExponent) return std::nullopt;
  if (top < kMinExponent) return ExactNumber{};
  return n;
}

ExactNumber numberFromInteger(int64_t value) {
  ExactNumber n;
  n.negative = value < 0;
  uint64_t magnitude = n.negative ? ~static_cast<uint64_t>(value) + 1 : static_cast<uint64_t>(value);
  n.digits = std::to_string(magnitude);
  normalise(n);
  return n;
}

ExactNumber numberFromDouble(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15E", value);
  if (auto n = parseNumberText(buffer)) {
    roundDigits(*n, 15);
    return *n;
  }
  return ExactNumber{};
}

std::string numberText(const ExactNumber& n) {
  if (n.isZero()) return "0";
  const std::string sign = n.negative ? "-" : "";
  const int count = static_cast<int>(n.digits.size());
  const int point = count + n.exponent;  // digits before the point
  std::string fixed;
  if (n.exponent >= 0)
    fixed = sign + n.digits + std::string(static_cast<size_t>(n.exponent), '0');
  else if (point <= 0)
    fixed = sign + "." + std::string(static_cast<size_t>(-point), '0') + n.digits;
  else
    fixed = sign + n.digits.substr(0, static_cast<size_t>(point)) + "." +
            n.digits.substr(static_cast<size_t>(point));
  if (fixed.size() <= kLongestFixedText) return fixed;
  std::string out = sign + n.digits.substr(0, 1);
  if (count > 1) out += "." + n.digits.substr(1);
  const int power = point - 1;
  out += power < 0 ? "E-" : "E+";
  const int magnitude = power < 0 ? -power : power;
  if (magnitude < 10) out += "0";
  out += std::to_string(magnitude);
  return out;
}

ExactNumber roundToScale(const ExactNumber& n, int scale) {
  if (n.isZero() || n.exponent >= -scale) return n;
  // Digits at or above 10^-scale stay; the first dropped one rounds.
  const int keep = static_cast<int>(n.digits.size()) + n.exponent + scale;
  if (keep < 0) return ExactNumber{};
  ExactNumber r = n;
  if (keep == 0) {
    // Only dropped digits: rounds to one unit of the scale or to zero.
    if (r.digits[0] < '5') return ExactNumber{};
    r.digits = "1";
    r.exponent = -scale;
    return r;
  }
  roundDigits(r, static_cast<size_t>(keep));
  return r;
}

int integerDigits(const ExactNumber& n) {
  const int point = static_cast<int>(n.digits.size()) + n.exponent;
  return n.isZero() || point < 0 ? 0 : point;
}

std::optional<int64_t> toInteger(const ExactNumber& n) {
  const ExactNumber r = roundToScale(n, 0);
  if (r.isZero()) return 0;
  if (integerDigits(r) > 19) return std::nullopt;
  uint64_t magnitude = 0;
  for (char c : r.digits) magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
  for (int k = 0; k < r.exponent; ++k) {
    if (magnitude > UINT64_MAX / 10) return std::nullopt;
    magnitude *= 10;
  }
  const uint64_t limit = r.negative ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
  if (magnitude > limit) return std::nullopt;
  return r.negative ? static_cast<int64_t>(~magnitude + 1) : static_cast<int64_t>(magnitude);
}

double toDouble(const ExactNumber& n) {
  return std::strtod(numberText(n).c_str(), nullptr);
}

int compareNumbers(const ExactNumber& a, const ExactNumber& b) {
  const int signA = a.isZero() ? 0 : a.negative ? -1 : 1;
  const int signB = b.isZero() ? 0 : b.negative ? -1 : 1;
  if (signA != signB) return signA < signB ? -1 : 1;
  if (signA == 0) return 0;
  // Same sign: compare magnitudes by their leading digit's place, then digit by digit.
  const int topA = static_cast<int>(a.digits.size()) + a.exponent;
  const int topB = static_cast<int>(b.digits.size()) + b.exponent;
  int magnitude = topA != topB ? (topA < topB ? -1 : 1) : 0;
  if (magnitude == 0) {
    const int c = a.digits.compare(b.digits);  // equal places: the longer digit string is larger
    magnitude = c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  return signA > 0 ? magnitude : -magnitude;
}

std::optional<ExactNumber> fitNumber(const ExactNumber& n, int precision, int scale, bool floating) {
  if (floating) return n;
  ExactNumber r = roundToScale(n, scale);
  if (precision > 0 && !r.isZero()) {
    // The value must stay below 10^(precision - scale).
    const int top = static_cast<int>(r.digits.size()) + r.exponent;
    if (top > precision - scale) return std::nullopt;
  }
  return r;
}

NumberBytes toNumberBytes(const ExactNumber& n) {
  NumberBytes out;
  if (n.isZero()) {
    out.bytes[0] = 0x80;
    out.length = 1;
    return out;
  }
  // Pair the digits around the point: pad so that (digits before the point) is even.
  ExactNumber r = n;
  roundToNumber(r);
  std::string digits = r.digits;
  int point = static_cast<int>(digits.size()) + r.exponent;  // digits before the point
  if (point % 2 != 0) {
    // One more leading zero keeps base-100 pairs aligned on the point.
    digits.insert(digits.begin(), '0');
    ++point;
  }
  if (r.exponent > 0) digits.append(static_cast<size_t>(r.exponent), '0');
  if (digits.size() % 2 != 0) digits.push_back('0');
  std::string pairs;
  for (size_t i = 0; i < digits.size(); i += 2)
    pairs.push_back(static_cast<char>((digits[i] - '0') * 10 + (digits[i + 1] - '0')));
  int exponent = point / 2 - 1;  // base-100 exponent of the first pair
  size_t first = 0;
  while (first < pairs.size() && pairs[first] == 0) {
    ++first;
    --exponent;
  }
  pairs.erase(0, first);
  while (!pairs.empty() && pairs.back() == 0) pairs.pop_back();
  if (pairs.size() > 20) pairs.resize(20);
  const bool negative = r.negative;
  out.bytes[0] = negative ? static_cast<uint8_t>(62 - exponent) : static_cast<uint8_t>(193 + exponent);
  size_t at = 1;
  for (char p : pairs) {
    const int digit = static_cast<unsigned char>(p);
    out.bytes[at++] = negative ? static_cast<uint8_t>(101 - digit) : static_cast<uint8_t>(digit + 1);
  }
  if (negative && pairs.size() < 20) out.bytes[at++] = 102;
  out.length = static_cast<uint8_t>(at);
  return out;
}

std::optional<ExactNumber> fromNumberBytes(const uint8_t* bytes, size_t length) {
  if (length < 1 || length > 21) return std::nullopt;
  // 0x80 alone is zero; with digits it is a positive number of the smallest exponent (-65).
  if (bytes[0] == 0x80 && length == 1) return ExactNumber{};
  const bool negative = bytes[0] < 0x80;
  size_t end = length;
  if (negative) {
    // 102 ends a negative mantissa of fewer than 20 digits; no digit byte is 102.
    if (bytes[length - 1] == 102) {
      end = length - 1;
    } else if (length != 21) {
      return std::nullopt;
    }
  }
  if (end < 2) return std::nullopt;
  const int exponent = negative ? 62 - bytes[0] : bytes[0] - 193;
  ExactNumber n;
  n.negative = negative;
  for (size_t i = 1; i < end; ++i) {
    const int digit = negative ? 101 - bytes[i] : bytes[i] - 1;
    if (digit < 0 || digit > 99) return std::nullopt;
    n.digits += static_cast<char>('0' + digit / 10);
    n.digits += static_cast<char>('0' + digit % 10);
  }
  // The first pair stands for 100^exponent.
  n.exponent = 2 * (exponent - static_cast<int>(end - 1) + 1);
  normalise(n);
  if (n.isZero()) return std::nullopt;  // zero has its own form
  // Leading zero digits at the smallest exponent would make a value below any NUMBER.
  if (n.exponent + static_cast<int>(n.digits.size()) < kMinExponent) return std::nullopt;
  return n;
}

StoredNumber storedNumber(const ExactNumber& n) {
  StoredNumber s;
  if (const auto i = toInteger(n); i && n.exponent >= 0) {
    s.integer = *i;
    return s;
  }
  if (n.digits.size() <= 15) {
    s.kind = StoredNumber::Kind::Real;
    s.real = toDouble(n);
    return s;
  }
  s.kind = StoredNumber::Kind::Text;
  s.text = "#" + numberText(n);
  return s;
}

std::optional<ExactNumber> numberFromStoredText(std::string_view text) {
  if (!text.empty() && text[0] == '#') text.remove_prefix(1);
  return parseNumberText(text);
}

}  // namespace ocistandin
