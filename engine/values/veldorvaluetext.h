// The engine's fixed, locale-free text forms of values: wherever a value becomes text or text
// becomes a value inside the engine (literals in filters and SQL, conversions between strings
// and other types, default texts of fields) these forms are used, whatever the process locale.
//
//   date       written: year (at least 4 digits), "-", month (2 digits), "-", day (2 digits)
//              read:    year "-" month "-" day, each a decimal integer of any width
//   time       written: 12-hour clock "hh:mm", then ":ss" when the seconds or the milliseconds
//              are not 0, then ".mmm" (the milliseconds, not padded) when they are not 0, then
//              " AM" or " PM"; hour 12 stands for the hours 0 and 12
//              read:    hours ":" minutes [":" seconds ["." milliseconds]], with an optional
//              AM or PM anywhere (any case)
//   timestamp  written: date, " ", time
//              read:    date, a blank, time; or a time alone (when it holds ":"), on the day
//              1899-12-30; or a date alone, at midnight
//   boolean    written "True" or "False"; read "TRUE" or "FALSE" in any case
//   float      the shortest text that reads back as the same double, with "." and, beyond
//              the range 1E-5 .. 1E15, an exponent ("1.5E20", "2E-7")
//   decimal    (BCD and currency) "." and at most four decimals, no trailing zeros
//
// Blanks around numbers and around the whole text are allowed when reading. Dates lie in the
// years 1 to 9999 (day numbers 1 to 3,652,059). Every parser raises EConvertError on a text it
// cannot read, with the offending text in its message. Stateless; any thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace engine {

// A text that does not read as a value of the asked type, or a value that has no text form.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raises EConvertError with `format`, its first "%s" replaced by `text`.
[[noreturn]] void RaiseConvertError(std::string_view format, std::string_view text);

inline constexpr std::string_view kInvalidDateText = "'%s' is not a valid date";
inline constexpr std::string_view kInvalidTimeText = "'%s' is not a valid time";
inline constexpr std::string_view kInvalidBooleanText = "'%s' is not a valid boolean";
inline constexpr std::string_view kInvalidIntegerText = "'%s' is not a valid integer value";
inline constexpr std::string_view kInvalidFloatText = "'%s' is not a valid floating point value";
inline constexpr std::string_view kOutOfRangeText = "'%s' is out of range";

// ---- Values to text ----

// Throws EConvertError for a day number outside 1..3,652,059.
std::string DateToText(int32_t dayNumber);
// Milliseconds since midnight; throws EConvertError outside 0..86,399,999.
std::string TimeToText(int32_t milliseconds);
// day number * 86,400,000 + milliseconds, first rounded to whole milliseconds; throws
// EConvertError when it is not finite or its day lies outside 1..3,652,059.
std::string TimestampToText(double timestamp);
std::string BooleanToText(bool value);
// "NAN", "INF" and "-INF" for the values that have no number text.
std::string FloatToText(double value);
// A scaled value (the number times 10,000) as a decimal text.
std::string ScaledToText(int64_t scaled);

// ---- Text to values ----

int32_t ParseDateText(std::string_view text);
int32_t ParseTimeText(std::string_view text);
// A text that is no timestamp raises the message of its part that does not read: the date's or
// the time's, with that part in it.
double ParseTimestampText(std::string_view text);
bool ParseBooleanText(std::string_view text);
// A finite double; an exponent is allowed. "inf", "nan" and hexadecimal texts are not numbers.
double ParseFloatText(std::string_view text);
// The number times 10^places (0 to 18), rounded half to even, exactly from the decimal digits
// (no detour through a double). Throws EConvertError when it does not fit 64 bits.
int64_t ParseDecimalText(std::string_view text, int places);
// ParseDecimalText with four places: the currency's 64-bit fixed-point value.
int64_t ParseCurrencyText(std::string_view text);
// A decimal integer with an optional sign. Throws EConvertError for anything else and for a
// number outside min..max.
int64_t ParseIntegerText(std::string_view text, int64_t min, int64_t max);

}  // namespace engine
