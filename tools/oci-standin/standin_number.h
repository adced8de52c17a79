// The stand-in server's NUMBER: an exact decimal, its text, its 22-byte wire form, the rounding
// and precision rules of a NUMBER(p,s) column, and the form a value is stored in.
//
// Storage: SQLite keeps at most 15 significant digits of a number it converts, so a NUMBER is
// stored as an INTEGER when it is integral and fits 64 bits, as a REAL when it has at most 15
// significant digits (which a double carries exactly), and otherwise as text "#" followed by its
// decimal text. Such a text still sorts and compares as text in SQL; reads and writes through
// the call interface see the exact value.
//
// Pure functions, no state; every one is safe on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ocistandin {

// (negative ? -1 : 1) x digits x 10^exponent; digits hold no leading or trailing zeros, and an
// empty digit string is zero (never negative).
struct ExactNumber {
  bool negative = false;
  std::string digits;
  int exponent = 0;
  bool isZero() const { return digits.empty(); }
  bool operator==(const ExactNumber&) const = default;
};

// The most significant digits a NUMBER keeps: 40, or 39 when the digits before the point are odd
// in number (its base-100 digits pair around the point).
inline constexpr int kNumberDigits = 40;

// Reads "[+-]digits[.digits][E[+-]digits]" with blanks around it (".5" and "5." too); nullopt
// for anything else or an exponent beyond any NUMBER. The result is rounded to what a NUMBER
// keeps.
std::optional<ExactNumber> parseNumberText(std::string_view text);
ExactNumber numberFromInteger(int64_t value);
// The double's value to 15 significant digits, as a server reads a binary float.
ExactNumber numberFromDouble(double value);

// The text a client gets for a NUMBER, as the "TM9" model writes it: fixed, with fractions
// without a leading zero (".5", "-.25"), up to kLongestFixedText characters; scientific beyond
// ("1.5E+125", at most 47 characters).
inline constexpr size_t kLongestFixedText = 64;
std::string numberText(const ExactNumber& n);
// Rounds half away from zero to `scale` digits after the point (a negative scale rounds to
// tens, hundreds, ...).
ExactNumber roundToScale(const ExactNumber& n, int scale);
// Digits before the point (0 for a value below 1).
int integerDigits(const ExactNumber& n);
// The nearest integer (half away from zero); nullopt beyond 64 bits.
std::optional<int64_t> toInteger(const ExactNumber& n);
double toDouble(const ExactNumber& n);

// Orders two numbers: -1, 0 or 1.
int compareNumbers(const ExactNumber& a, const ExactNumber& b);

// The column rule of NUMBER(precision, scale): rounded to the scale, and nullopt when the value
// then needs more than precision - scale digits before the point (ORA-01438). precision 0 means
// none given (only the scale rounds); `floating` (FLOAT, NUMBER without arguments) keeps the
// value as it is.
std::optional<ExactNumber> fitNumber(const ExactNumber& n, int precision, int scale, bool floating);

// The wire form: exponent byte and up to 20 base-100 digits, with a 102 terminator after a
// negative mantissa of fewer than 20 digits. `length` is the used bytes (1 to 21). Decoding
// checks every byte; nullopt for bytes no NUMBER has.
struct NumberBytes {
  std::array<uint8_t, 21> bytes{};
  uint8_t length = 0;
};
NumberBytes toNumberBytes(const ExactNumber& n);
std::optional<ExactNumber> fromNumberBytes(const uint8_t* bytes, size_t length);

// The stored form: which SQLite storage class carries the value, and its payload.
struct StoredNumber {
  enum class Kind { Integer, Real, Text } kind = Kind::Integer;
  int64_t integer = 0;
  double real = 0;
  std::string text;  // "#" and the decimal text
};
StoredNumber storedNumber(const ExactNumber& n);
// Reads the text of a stored number ("#..." or plain number text); nullopt for other text.
std::optional<ExactNumber> numberFromStoredText(std::string_view text);

}  // namespace ocistandin
