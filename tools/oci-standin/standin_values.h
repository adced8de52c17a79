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

// Reads `text` under a model as to_date does: separators match any punctuation, numbers may be
// shorter than their field, fields the model lacks default to the first day of the current
// month at midnight; two-digit RR years fall in 1950-2049. Answers 0 or the ORA number.
int parseDate(std::string_view text, std::string_view model, DateTime& d);

// A number's text as the server shows it: integers in full, others with up to 15 significant
// digits and no leading zero before the point (".5", "-.25").
std::string numberText(double value);

}  // namespace ocistandin
