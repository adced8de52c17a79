// Small routines that the whole engine shares: character classes, text and path helpers,
// week and day numbers, rounding, currency and BCD conversion, validity
// tests of value texts, minimum and maximum, the byte helpers of index-key compression, and the
// defaults and word splitter of text indexes.
//
// Texts are UTF-8. Routines that return an engine string cut it to kEngineStringMax bytes,
// never inside a character. Paths: "/" is the delimiter that is added; "/" and "\" are both
// recognised where a path is split, and ":" where the name of a drive would end.
// Number and date texts are read the same whatever the process locale is.
//
// Every routine here is stateless and may be called from any thread.
#pragma once

#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/veldorlocale.h"
#include "platform/osfile.h"

namespace engine {

inline constexpr size_t kEngineStringLength = 255;

// The text cut to kEngineStringLength bytes (or `limit`), not inside a character.
std::string EngineString(std::string_view text, size_t limit = kEngineStringLength);
// The same cut as a view into `text`.
std::string_view EngineStringView(std::string_view text, size_t limit = kEngineStringLength);

// The text without the blanks before and after it.
std::string_view TrimBlanks(std::string_view text);

// ---- Character classes (bytes) ----

// A-Z, a-z, "_" and the bytes 128 to 254, so that every byte of a UTF-8 letter counts.
constexpr bool IsIdentStartChar(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}
constexpr bool IsDigitChar(uint8_t c) {
  return c >= '0' && c <= '9';
}
constexpr bool IsIdentChar(uint8_t c) {
  return IsIdentStartChar(c) || IsDigitChar(c);
}
// * + , - . / : ; < = > \ and the grave accent.
constexpr bool IsWordBreakChar(uint8_t c) {
  return (c >= 42 && c <= 47) || (c >= 58 && c <= 62) || c == 92 || c == 96;
}

using TCharSet = std::bitset<256>;

// The set of the bytes of a text; the text of the set's bytes 1 to 255 in ascending order.
TCharSet StringToCharSet(std::string_view text);
std::string CharSetToString(const TCharSet& set);

// ---- Text helpers ----

// The pieces of the text between single blanks, empty pieces included; none for an empty text.
void SplitBySpaces(std::string_view text, std::vector<std::string>& list);
// piece = the text before the first `delimiter`, text = what follows it; without a delimiter the
// piece is the whole text and the text becomes empty.
void ExtractToken(std::string& text, std::string_view delimiter, std::string& piece);
// The text prefixed with `c` up to `length` bytes; longer texts unchanged.
std::string PadLeft(std::string_view text, size_t length, char c);
// The first / last n bytes, shortened so that no character is split.
std::string LeftStr(std::string_view text, size_t n);
std::string RightStr(std::string_view text, size_t n);
// 1-based position of the last occurrence of `sub`; 0 when none or `sub` is empty.
size_t LastPos(std::string_view sub, std::string_view text);
// Remove every leading and/or trailing occurrence of `c`.
void StrTrimChar(std::string& text, char c);
void StrTrimCharLeft(std::string& text, char c);
void StrTrimCharRight(std::string& text, char c);
// 1-based position of the first occurrence of `sub`; 0 when none or `sub` is empty.
size_t StrPosition(std::string_view sub, std::string_view text);
// Non-overlapping occurrences of `sub`, scanning left to right; 0 for an empty `sub`.
size_t StrOccurrences(std::string_view sub, std::string_view text);
// The length of the text after StrReplaceAll.
size_t StrReplacedLength(std::string_view oldText, std::string_view newText, std::string_view text);
// The text with every non-overlapping occurrence of `oldText`, left to right, replaced by
// `newText`; the text as it is when `oldText` is empty or equals `newText`.
std::string StrReplaceAll(std::string_view oldText, std::string_view newText, std::string_view text);
// Every carriage return and line feed removed.
std::string StripLineBreaks(std::string_view text);
// Working from the end towards the third character, each pair of equal quote characters (two
// double or two single quotes) loses its second one; the first character never takes part.
std::string CollapseDoubledQuotes(std::string_view text);
// Target cleared and given the source's items with their numbers (and its locale).
void CopyList(const TLanguageStringList& source, TLanguageStringList& target);
// False when exactly one list is missing; otherwise true when both hold the same number of items
// and each pair is equal by OSCompareStrings with case ignored.
bool SameStringLists(uint16_t languageId, uint16_t sortId, const TLanguageStringList* a,
                     const TLanguageStringList* b);

// ---- Path helpers (blanks around a path are trimmed first) ----

bool IsPathDelimiter(char c);  // "/" or "\"
// A "/" appended unless the path is empty or already ends in a delimiter.
std::string IncludePathDelimiter(std::string_view path);
// One trailing delimiter removed (a lone "/" stays, it is the root).
std::string ExcludeTrailingPathDelimiter(std::string_view path);
// One trailing, then one leading delimiter removed.
std::string StripPathDelimiters(std::string_view path);
// True when the name is empty or holds a delimiter or ":": such a name is used as it stands and
// not joined to the database directory.
bool IsPathName(std::string_view name);
// When the last "." comes after the last delimiter, the name is cut before it; with `ext` not
// empty only when the extension (dot included) equals `ext`, ASCII case ignored.
std::string RemoveFileExt(std::string_view name, std::string_view ext);
// The extension changed from `oldExt` to `newExt` when it is `oldExt` (case ignored); otherwise
// `newExt` appended.
std::string ForceFileExt(std::string_view name, std::string_view oldExt, std::string_view newExt);
// ForceFileExt for a path on disk: never cut, since a path may be far longer than an engine
// string. For every result of kEngineStringLength bytes or fewer the two agree.
std::string ForcePathExt(std::string_view path, std::string_view oldExt, std::string_view newExt);
// The file-name part of the path (after the last delimiter or ":"), then RemoveFileExt.
std::string ExtractFileBaseName(std::string_view path, std::string_view ext);

// ---- Dates ----

// Engine date: day 1 is 0001-01-01 (proleptic Gregorian), so 1899-12-30 is day 693594.
inline constexpr int32_t kEngineDayOfEpoch = 719163;  // 1970-01-01
constexpr std::chrono::sys_days EngineDayToSysDays(int32_t day) {
  return std::chrono::sys_days(std::chrono::days(int64_t(day) - kEngineDayOfEpoch));
}
constexpr int32_t SysDaysToEngineDay(std::chrono::sys_days date) {
  return int32_t(date.time_since_epoch().count() + kEngineDayOfEpoch);
}

// The local present as an engine day and the milliseconds since its midnight: the one clock
// behind CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP.
void EngineNow(int32_t& day, int32_t& milliseconds);

// Monday 1 to Sunday 7.
unsigned IsoDayOfWeek(std::chrono::sys_days date);
// The ISO 8601 week number, 1 to 53: week 1 is the week (Monday to Sunday) that holds the year's
// first Thursday; days before it belong to the last week of the year before, days from the next
// year's week 1 on to that week.
unsigned WeekOfYear(std::chrono::sys_days date);

// ---- Rounding, currency, BCD ----

// Currency: a 64-bit integer count of ten-thousandths.
using Currency = int64_t;
inline constexpr int64_t kCurrencyScale = 10000;

// Rounds to n decimals (n < 0 counts as 0), halves away from zero. A value whose scaled form
// reaches 2^52 has no fraction left to round and is returned as it is; so are NaN and infinity.
double RoundFloat(double value, int n);
// Rounds to n decimals (above 4 counts as 4, below 0 as 0), halves away from zero. Where
// rounding away would leave the currency range, the value rounds towards zero instead.
Currency RoundCurrency(Currency value, int n);

// The class library's packed decimal: `Precision` digits, nibble-packed from the high nibble of
// Fraction[0]; SignSpecialPlaces holds the sign (bit 7), a special-value flag (bit 6) and the
// number of decimals (bits 0-5). Its record form is these 34 bytes in this order.
struct TBcd {
  uint8_t Precision = 0;
  uint8_t SignSpecialPlaces = 0;
  uint8_t Fraction[32] = {};
};

// Precision 32 with `scale` decimals (0 to 32); a value with more decimals than `scale` is
// rounded half to even, as every other road into a packed decimal rounds (EncodeBcdValue). False (and a zero
// BCD) when scale is beyond 32 or the integer digits do not fit into 32 - scale digits.
bool CurrencyToBcd(Currency value, int scale, TBcd& bcd);
// The BCD's value as currency: precision 0 gives 0; decimals past the fourth are rounded halves
// away from zero; a value beyond the currency range gives the nearest end of the range; a
// malformed BCD (precision above 64, more decimals than digits, a digit above 9, the special
// flag) gives 0.
Currency BcdToCurrency(const TBcd& bcd);

// -n, wrapping for the smallest integer (which stays as it is).
constexpr int32_t NegateInteger(int32_t n) {
  return int32_t(0u - uint32_t(n));
}

constexpr int32_t MaxInteger(int32_t a, int32_t b) {
  return a > b ? a : b;
}
constexpr int32_t MinInteger(int32_t a, int32_t b) {
  return a < b ? a : b;
}
constexpr int64_t MaxLargeInt(int64_t a, int64_t b) {
  return a > b ? a : b;
}
constexpr int64_t MinLargeInt(int64_t a, int64_t b) {
  return a < b ? a : b;
}
constexpr uint16_t MaxWord(uint16_t a, uint16_t b) {
  return a > b ? a : b;
}
constexpr uint16_t MinWord(uint16_t a, uint16_t b) {
  return a < b ? a : b;
}
constexpr int16_t MaxSmallInt(int16_t a, int16_t b) {
  return a > b ? a : b;
}
constexpr int16_t MinSmallInt(int16_t a, int16_t b) {
  return a < b ? a : b;
}
constexpr Currency MaxCurrency(Currency a, Currency b) {
  return a > b ? a : b;
}
constexpr Currency MinCurrency(Currency a, Currency b) {
  return a < b ? a : b;
}
constexpr double MaxFloat(double a, double b) {
  return a > b ? a : b;
}
constexpr double MinFloat(double a, double b) {
  return a < b ? a : b;
}
constexpr uint8_t MaxByte(uint8_t a, uint8_t b) {
  return a > b ? a : b;
}

// ---- Number texts (never throw; blanks around numbers are allowed) ----
//
// The one grammar of number texts in the engine; the value layer's parsers wrap these readers.
// Each gives nothing when the text is not such a number; `outOfRange`, when given, is set to
// whether the text was a well-formed number beyond the reader's range.

// A decimal integer with an optional sign, in the signed 64-bit range.
std::optional<int64_t> ReadIntegerText(std::string_view text, bool* outOfRange = nullptr);
// A finite double with "." as separator and an optional exponent; "inf", "nan" and hexadecimal
// texts are not numbers.
std::optional<double> ReadFloatText(std::string_view text);
// The number times 10^places (0 to 18), rounded half to even, exactly from the decimal digits
// (no detour through a double); the float grammar. Nothing when it does not fit 64 bits.
std::optional<int64_t> ReadDecimalText(std::string_view text, int places, bool* outOfRange = nullptr);
// "TRUE" or "FALSE", ASCII case ignored, nothing around them.
std::optional<bool> ReadBooleanText(std::string_view text);

// ---- Validity of value texts (never throw; blanks around numbers are allowed) ----

bool IsValidWordText(std::string_view text);      // 0 to 65535
bool IsValidSmallIntText(std::string_view text);  // -32768 to 32767
bool IsValidIntegerText(std::string_view text);   // signed 32-bit
bool IsValidLargeIntText(std::string_view text);  // signed 64-bit
bool IsValidBooleanText(std::string_view text);   // "TRUE" or "FALSE", case ignored
// A decimal number with "." as separator and an optional exponent.
bool IsValidFloatText(std::string_view text);
// A decimal text within the currency range (ReadDecimalText with four places).
bool IsValidCurrencyText(std::string_view text);
// year-month-day, each a decimal integer of any width; a real date of the years 1 to 9999.
bool IsValidDateText(std::string_view text);
// hours:minutes[:seconds[.milliseconds]] with an optional AM or PM anywhere (any case).
bool IsValidTimeText(std::string_view text);
// date, a blank, time; or a time alone (when it holds ":"); or a date alone.
bool IsValidTimestampText(std::string_view text);

// The readers behind the date and time tests, for the value text forms: a date text as its
// engine day number, a time text as milliseconds since midnight, a timestamp text as engine
// day number x 86,400,000 + milliseconds (a time alone lies on 1899-12-30). Nothing when the
// text is not such a text.
std::optional<int32_t> ReadDateText(std::string_view text);
std::optional<int32_t> ReadTimeText(std::string_view text);
std::optional<double> ReadTimestampText(std::string_view text);

// ---- Index-key compression ----

// Equal leading bytes of a and b, at most n and at most 254.
uint8_t CommonPrefixLength(const uint8_t* a, const uint8_t* b, size_t n);
// Zero bytes at the end of the n bytes at `data`, at most n and at most 254.
uint8_t TrailingZeroCount(const uint8_t* data, size_t n);
// n bytes (0 to 255) set to 0.
void ZeroBytes(uint8_t* buffer, uint8_t n);

// ---- Text indexes ----

// "A", "AN", "AND", ... "WILL": the 22 default stop words in their order.
const std::vector<std::string_view>& DefaultStopWords();
// Bytes 1 to 32 and every byte from 33 up that IsWordBreakChar accepts.
TCharSet GetDefaultSpaceChars();
// Every byte from 33 to 255 that IsIdentChar accepts.
TCharSet GetDefaultIncludeChars();
// Clears `stopWords` and adds the default stop words; returns the default sets.
void GetDefaultTextIndexParams(TLanguageStringList& stopWords, TCharSet& spaceChars, TCharSet& includeChars);

inline constexpr size_t kMaxTextWordLength = 60;

// Splits a text into words for a text index. A byte in `spaceChars` ends the current word; one
// outside `includeChars` is dropped; others are appended while the word has room (at most
// kMaxTextWordLength bytes, cut back to whole characters). With `wildcard`, a "*" at the very
// end of the text is kept on the last word. In count mode each distinct word (by the list's
// locale, case ignored; the list should be sorted) is stored once with its number of
// occurrences, at most 65535; otherwise each word is appended with the 0-based byte position of
// its first kept byte. The list is cleared first.
void ExtractTextWords(std::string_view text, TLanguageStringList& list, bool wildcard, bool countMode,
                      const TCharSet& includeChars, const TCharSet& spaceChars);

}  // namespace engine
