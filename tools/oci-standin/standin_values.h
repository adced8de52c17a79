// Text and byte forms of the stand-in server's values: DATE in its stored text, its 7-byte
// wire form and the date format models of to_char and to_date, and the text of a number.
// Pure functions, no state; every one is safe on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace ocistandin {

struct DateTime {
  int year = 1;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  bool operator==(const DateTime&) const = default;
};

// A TIMESTAMP: a date and time, nanoseconds, and (WITH TIME ZONE) its offset from UTC.
struct TimeStamp {
  DateTime date;
  uint32_t nanos = 0;
  int zoneMinutes = 0;
  bool hasZone = false;
  bool operator==(const TimeStamp&) const = default;
};

// The stored form of a TIMESTAMP: "YYYY-MM-DD HH:MM:SS.fffffffff", then " +HH:MM" with a zone.
// Reading accepts a DATE's stored form, fewer fraction digits and a missing zone.
std::string storedTimestamp(const TimeStamp& t);
bool parseStoredTimestamp(std::string_view text, TimeStamp& t);
// Orders two timestamps by the instant they name (zones applied); -1, 0 or 1.
int compareTimestamps(const TimeStamp& a, const TimeStamp& b);

// An INTERVAL: YEAR TO MONTH counts months, DAY TO SECOND nanoseconds of days, hours, minutes and
// seconds; both signed.
struct Interval {
  bool yearMonth = false;
  int64_t months = 0;
  int64_t days = 0;
  int64_t nanos = 0;  // of the day, below 86400 * 10^9, with the sign of days (or the value's)
  bool operator==(const Interval&) const = default;
};
// Text "+Y-MM" / "+D HH:MM:SS.fffffffff" with the leading field padded to `lead` digits and the
// fraction cut to `fraction` digits (0: none). The stored form is lead 9, fraction 9.
std::string intervalText(const Interval& v, int lead, int fraction);
// Reads "[+-]Y-M" (year to month) or "[+-]D HH:MM:SS[.f]", "[+-]D HH:MM", "[+-]D" (day to
// second), blanks around; false for anything else or a field out of range.
bool parseInterval(std::string_view text, bool yearMonth, Interval& v);
int compareIntervals(const Interval& a, const Interval& b);

// The stored form of a DATE: "YYYY-MM-DD HH:MM:SS" (years 1 to 9999).
std::string canonicalDate(const DateTime& d);
// Accepts exactly the stored form, or "YYYY-MM-DD" alone; false for anything else or an
// impossible date.
bool parseCanonicalDate(std::string_view text, DateTime& d);
bool isValidDate(const DateTime& d);

// The 7-byte form: century + 100, year of century + 100, month, day, hour + 1, minute + 1,
// second + 1. Decoding checks every byte; false for a date that cannot exist.
std::array<uint8_t, 7> toOraDate(const DateTime& d);
bool fromOraDate(const uint8_t* bytes, DateTime& d);

// Formats under a date format model (YYYY, RRRR, YY, RR, MM, MON, MONTH, DD, DY, DAY, HH,
// HH12, HH24, MI, SS, SSSSS, AM, PM, A.M., P.M., FM, punctuation and "quoted text"; names in
// English, their case following the model's). Answers 0, or the ORA number of the fault
// (1821 for a model it does not know).
int formatDate(const DateTime& d, std::string_view model, std::string& out);

// formatDate and parseDate for TIMESTAMP values: the models also know FF and FF1..FF9 (the
// fraction; FF alone shows `precision` digits), X (the radix), TZH, TZM and TZR (the zone as
// +HH:MM).
int formatTimestamp(const TimeStamp& t, std::string_view model, int precision, std::string& out);
int parseTimestamp(std::string_view text, std::string_view model, TimeStamp& t);

// Reads `text` under a model as to_date does: separators match any punctuation, numbers may be
// shorter than their field, fields the model lacks default to the first day of the current
// month at midnight; two-digit RR years fall in 1950-2049. Answers 0 or the ORA number.
int parseDate(std::string_view text, std::string_view model, DateTime& d);

// ROWID: the row number of a table row in the extended text (data object, file, block and row
// in base-64 digits, 18 characters) and in the 13-byte descriptor form (a kind byte 1, then
// object 32 bits, file 16, block 32, row 16, big-endian). Row numbers up to 2^48 fit.
std::string rowidText(int64_t row);
// The row number of a ROWID text; false for a text that is no ROWID of this server.
bool rowidRow(std::string_view text, int64_t& row);
std::array<uint8_t, 13> rowidBytes(int64_t row);
// The 13 bytes of a ROWID of these parts (object, file, block, row number in the block).
std::array<uint8_t, 13> rowidBytes(uint32_t object, uint16_t file, uint32_t block, uint16_t number);
bool rowidFromBytes(const uint8_t* bytes, int64_t& row);

// A number's text as the server shows it: its 15 significant digits as a NUMBER's text
// (standin_number.h), fixed up to 64 characters, without a leading zero before the point (".5",
// "-.25").
std::string numberText(double value);

}  // namespace ocistandin
