// The entry points of TIMESTAMP and INTERVAL descriptors and of the object level's NUMBER and
// DATE values.
#include <cmath>

#include "tools/oci-standin/oci_internal.h"

// --- TIMESTAMP and INTERVAL descriptors --------------------------------------------------------
// The environment handle stands for the session: these calls use the default NLS formats.

namespace ocistandin {
namespace {

DateTimeHandle& dateTime(const void* p) {
  DateTimeHandle* h = lookupDateTime(p);
  if (!h) throw InvalidHandle{};
  return *h;
}

const DateTimeHandle& validDateTime(const void* p) {
  DateTimeHandle& h = dateTime(p);
  if (!h.valid) throw OraError(1891, "Datetime/Interval internal error");
  return h;
}

IntervalHandle& interval(const void* p) {
  IntervalHandle* h = lookupInterval(p);
  if (!h) throw InvalidHandle{};
  return *h;
}

const IntervalHandle& validInterval(const void* p) {
  IntervalHandle& h = interval(p);
  if (!h.valid) throw OraError(1867, "the interval is invalid");
  return h;
}

std::string defaultModel(ub4 type) {
  return type == OCI_DTYPE_TIMESTAMP_TZ ? "DD-MON-RR HH.MI.SSXFF AM TZR" : "DD-MON-RR HH.MI.SSXFF AM";
}

std::string textOf(const OraText* p, size_t length) {
  return p ? std::string(reinterpret_cast<const char*>(p), length) : std::string();
}

// A zone text "+HH:MM" or "-HH:MM"; empty is the session's zone (UTC here).
int zoneMinutesOf(const std::string& zone) {
  if (zone.empty()) return 0;
  TimeStamp t;
  std::string stamp = "2000-01-01 00:00:00 " + zone;
  if (!parseStoredTimestamp(stamp, t)) throw OraError(1857, "not a valid time zone");
  return t.zoneMinutes;
}

}  // namespace
}  // namespace ocistandin

using namespace ocistandin;

OCI_EXPORT sword OCIDateTimeConstruct(void*, void* errhp, void* datetime, sb2 year, ub1 month, ub1 day,
                                      ub1 hour, ub1 minute, ub1 second, ub4 fsec, const OraText* timezone,
                                      size_t timezoneLength) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    DateTimeHandle& h = dateTime(datetime);
    TimeStamp t;
    t.date = {year, month, day, hour, minute, second};
    if (!isValidDate(t.date) || fsec > 999999999)
      throw OraError(1858, "a non-numeric character was found where a numeric was expected");
    t.nanos = fsec;
    if (h.type != OCI_DTYPE_TIMESTAMP) {
      t.zoneMinutes = zoneMinutesOf(textOf(timezone, timezoneLength));
      t.hasZone = h.type == OCI_DTYPE_TIMESTAMP_TZ;
    }
    h.value = t;
    h.valid = true;
    return OCI_SUCCESS;
  });
}

// Validity flags: 0 when valid; 0x1 for a value never set.
OCI_EXPORT sword OCIDateTimeCheck(void*, void* errhp, const void* date, ub4* valid) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const DateTimeHandle& h = dateTime(date);
    *valid = h.valid && isValidDate(h.value.date) ? 0 : 1;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDateTimeFromText(void*, void* errhp, const OraText* text, size_t textLength,
                                     const OraText* fmt, ub1 fmtLength, const OraText*, size_t,
                                     void* datetime) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    DateTimeHandle& h = dateTime(datetime);
    const std::string model = fmtLength ? textOf(fmt, fmtLength) : defaultModel(h.type);
    TimeStamp t;
    if (const int code = parseTimestamp(textOf(text, textLength), model, t))
      throw OraError(code, "literal does not match format string");
    if (h.type == OCI_DTYPE_TIMESTAMP) {
      t.hasZone = false;
      t.zoneMinutes = 0;
    } else {
      t.hasZone = h.type == OCI_DTYPE_TIMESTAMP_TZ;
    }
    h.value = t;
    h.valid = true;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDateTimeToText(void*, void* errhp, const void* date, const OraText* fmt, ub1 fmtLength,
                                   ub1 fsprec, const OraText*, size_t, ub4* bufSize, OraText* buf) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const DateTimeHandle& h = validDateTime(date);
    const std::string model = fmtLength ? textOf(fmt, fmtLength) : defaultModel(h.type);
    std::string out;
    if (const int code = formatTimestamp(h.value, model, fsprec ? fsprec : 6, out))
      throw OraError(code, "date format not recognized");
    if (!bufSize || out.size() > *bufSize) throw OraError(1877, "string is too long for internal buffer");
    std::memcpy(buf, out.data(), out.size());
    *bufSize = static_cast<ub4>(out.size());
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDateTimeGetDate(void*, void* errhp, const void* date, sb2* year, ub1* month, ub1* day) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const DateTimeHandle& h = validDateTime(date);
    *year = static_cast<sb2>(h.value.date.year);
    *month = static_cast<ub1>(h.value.date.month);
    *day = static_cast<ub1>(h.value.date.day);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDateTimeGetTime(void*, void* errhp, void* datetime, ub1* hour, ub1* minute, ub1* second,
                                    ub4* fsec) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const DateTimeHandle& h = validDateTime(datetime);
    *hour = static_cast<ub1>(h.value.date.hour);
    *minute = static_cast<ub1>(h.value.date.minute);
    *second = static_cast<ub1>(h.value.date.second);
    *fsec = h.value.nanos;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDateTimeGetTimeZoneOffset(void*, void* errhp, const void* datetime, sb1* hour,
                                              sb1* minute) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const DateTimeHandle& h = validDateTime(datetime);
    if (h.type == OCI_DTYPE_TIMESTAMP)
      throw OraError(1878, "specified field not found in datetime or interval");
    *hour = static_cast<sb1>(h.value.zoneMinutes / 60);
    *minute = static_cast<sb1>(h.value.zoneMinutes % 60);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDateTimeGetTimeZoneName(void*, void* errhp, const void* datetime, ub1* buf, ub4* buflen) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const DateTimeHandle& h = validDateTime(datetime);
    if (h.type == OCI_DTYPE_TIMESTAMP)
      throw OraError(1878, "specified field not found in datetime or interval");
    std::string out;
    formatTimestamp(h.value, "TZR", 0, out);
    if (!buflen || out.size() > *buflen) throw OraError(1877, "string is too long for internal buffer");
    std::memcpy(buf, out.data(), out.size());
    *buflen = static_cast<ub4>(out.size());
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDateTimeAssign(void*, void* errhp, const void* from, void* to) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const DateTimeHandle& source = dateTime(from);
    DateTimeHandle& target = dateTime(to);
    target.value = source.value;
    target.valid = source.valid;
    if (target.type == OCI_DTYPE_TIMESTAMP) target.value.hasZone = false;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDateTimeCompare(void*, void* errhp, const void* date1, const void* date2, sword* result) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    *result = compareTimestamps(validDateTime(date1).value, validDateTime(date2).value);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIIntervalFromText(void*, void* errhp, const OraText* text, size_t length, void* result) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    IntervalHandle& h = interval(result);
    Interval v;
    if (!parseInterval(textOf(text, length), h.type == OCI_DTYPE_INTERVAL_YM, v))
      throw OraError(1867, "the interval is invalid");
    h.value = v;
    h.valid = true;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIIntervalToText(void*, void* errhp, const void* value, ub1 lfprec, ub1 fsprec,
                                   OraText* buffer, size_t buflen, size_t* resultlen) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const IntervalHandle& h = validInterval(value);
    const std::string out =
        intervalText(h.value, std::clamp<int>(lfprec, 1, 9), h.value.yearMonth ? 0 : fsprec);
    if (out.size() > buflen) throw OraError(1877, "string is too long for internal buffer");
    std::memcpy(buffer, out.data(), out.size());
    if (resultlen) *resultlen = out.size();
    return OCI_SUCCESS;
  });
}

// Validity flags: 0 when valid, 0x1 for a value never set.
OCI_EXPORT sword OCIIntervalCheck(void*, void* errhp, const void* value, ub4* valid) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    *valid = interval(value).valid ? 0 : 1;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIIntervalAssign(void*, void* errhp, const void* from, void* to) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const IntervalHandle& source = interval(from);
    IntervalHandle& target = interval(to);
    if (source.type != target.type)
      throw OraError(1870, "the intervals or datetimes are not mutually comparable");
    target.value = source.value;
    target.valid = source.valid;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIIntervalCompare(void*, void* errhp, void* a, void* b, sword* result) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const IntervalHandle& x = validInterval(a);
    const IntervalHandle& y = validInterval(b);
    if (x.type != y.type) throw OraError(1870, "the intervals or datetimes are not mutually comparable");
    *result = compareIntervals(x.value, y.value);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIIntervalSetYearMonth(void*, void* errhp, sb4 years, sb4 months, void* result) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    IntervalHandle& h = interval(result);
    if (h.type != OCI_DTYPE_INTERVAL_YM)
      throw OraError(1870, "the intervals or datetimes are not mutually comparable");
    h.value.months = int64_t(years) * 12 + months;
    h.valid = true;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIIntervalGetYearMonth(void*, void* errhp, sb4* years, sb4* months, const void* value) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const IntervalHandle& h = validInterval(value);
    if (h.type != OCI_DTYPE_INTERVAL_YM)
      throw OraError(1870, "the intervals or datetimes are not mutually comparable");
    *years = static_cast<sb4>(h.value.months / 12);
    *months = static_cast<sb4>(h.value.months % 12);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIIntervalSetDaySecond(void*, void* errhp, sb4 days, sb4 hours, sb4 minutes, sb4 seconds,
                                         sb4 fsec, void* result) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    IntervalHandle& h = interval(result);
    if (h.type != OCI_DTYPE_INTERVAL_DS)
      throw OraError(1870, "the intervals or datetimes are not mutually comparable");
    const int64_t total = ((int64_t(hours) * 60 + minutes) * 60 + seconds) * 1000000000 + fsec;
    constexpr int64_t perDay = int64_t(86400) * 1000000000;
    h.value.days = int64_t(days) + total / perDay;
    h.value.nanos = total % perDay;
    h.valid = true;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIIntervalGetDaySecond(void*, void* errhp, sb4* days, sb4* hours, sb4* minutes,
                                         sb4* seconds, sb4* fsec, const void* value) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const IntervalHandle& h = validInterval(value);
    if (h.type != OCI_DTYPE_INTERVAL_DS)
      throw OraError(1870, "the intervals or datetimes are not mutually comparable");
    const int64_t n = h.value.nanos;
    *days = static_cast<sb4>(h.value.days);
    *hours = static_cast<sb4>(n / 3600000000000);
    *minutes = static_cast<sb4>(n / 60000000000 % 60);
    *seconds = static_cast<sb4>(n / 1000000000 % 60);
    *fsec = static_cast<sb4>(n % 1000000000);
    return OCI_SUCCESS;
  });
}

// The number (22-byte form: length byte, then the NUMBER bytes) counts years or days.
OCI_EXPORT sword OCIIntervalFromNumber(void*, void* errhp, void* result, const void* number) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    IntervalHandle& h = interval(result);
    const auto* b = static_cast<const uint8_t*>(number);
    if (!b || b[0] < 1 || b[0] > 21) throw OraError(ORA_INVALID_NUMBER, "invalid number");
    const auto n = fromNumberBytes(b + 1, b[0]);
    if (!n) throw OraError(ORA_INVALID_NUMBER, "invalid number");
    if (h.type == OCI_DTYPE_INTERVAL_YM) {
      // Fractions of a year become whole months.
      const double value = toDouble(*n);
      h.value.months = static_cast<int64_t>(std::llround(value * 12));
    } else {
      const double value = toDouble(*n);
      constexpr double perDay = 86400e9;
      const auto total = static_cast<int64_t>(std::llround(value * perDay));
      h.value.days = total / static_cast<int64_t>(perDay);
      h.value.nanos = total % static_cast<int64_t>(perDay);
    }
    h.valid = true;
    return OCI_SUCCESS;
  });
}

// --- NUMBER values of the object calls -----------------------------------------------------------
// A number is 22 bytes: a length byte, then the NUMBER bytes (standin_number.h).

namespace ocistandin {
namespace {

ExactNumber numberAt(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  if (!b || b[0] < 1 || b[0] > 21)
    throw OraError(22060, "argument [1] is an invalid or uninitialized number");
  const auto n = fromNumberBytes(b + 1, b[0]);
  if (!n) throw OraError(22060, "argument [1] is an invalid or uninitialized number");
  return *n;
}

void putNumber(void* p, const ExactNumber& n) {
  if (!p) throw OraError(22060, "argument [2] is an invalid or uninitialized number");
  const NumberBytes b = toNumberBytes(n);
  auto* out = static_cast<uint8_t*>(p);
  std::memset(out, 0, 22);
  out[0] = b.length;
  std::memcpy(out + 1, b.bytes.data(), b.length);
}

// The decimal and group characters of "NLS_NUMERIC_CHARACTERS='dg'"; ".," when not given.
std::pair<char, char> numericCharacters(const OraText* nls, ub4 length) {
  const std::string text = nls ? std::string(reinterpret_cast<const char*>(nls), length) : std::string();
  const size_t quote = text.find('\'');
  if (quote == std::string::npos || quote + 2 >= text.size()) return {'.', ','};
  return {text[quote + 1], text[quote + 2]};
}

}  // namespace
}  // namespace ocistandin

OCI_EXPORT sword OCINumberAssign(void* errhp, const void* from, void* to) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    putNumber(to, numberAt(from));
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCINumberCmp(void* errhp, const void* a, const void* b, sword* result) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    *result = compareNumbers(numberAt(a), numberAt(b));
    return OCI_SUCCESS;
  });
}

// flag 0 unsigned, 2 signed; lengths 1, 2, 4 or 8 bytes.
OCI_EXPORT sword OCINumberFromInt(void* errhp, const void* value, unsigned length, unsigned flag,
                                  void* number) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    int64_t v = 0;
    uint64_t u = 0;
    switch (length) {
      case 1:
        v = *static_cast<const int8_t*>(value);
        u = *static_cast<const uint8_t*>(value);
        break;
      case 2: {
        int16_t x;
        std::memcpy(&x, value, 2);
        v = x;
        u = static_cast<uint16_t>(x);
        break;
      }
      case 4: {
        int32_t x;
        std::memcpy(&x, value, 4);
        v = x;
        u = static_cast<uint32_t>(x);
        break;
      }
      case 8:
        std::memcpy(&v, value, 8);
        u = static_cast<uint64_t>(v);
        break;
      default:
        throw OraError(22053, "overflow error");
    }
    if (flag == 2) {
      putNumber(number, numberFromInteger(v));
    } else {
      auto n = *parseNumberText(std::to_string(u));
      putNumber(number, n);
    }
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCINumberToInt(void* errhp, const void* number, unsigned length, unsigned flag,
                                void* result) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const ExactNumber n = roundToScale(numberAt(number), 0);
    const auto v = toInteger(n);
    const int bits = static_cast<int>(length) * 8;
    if (!v || length == 0 || length > 8 ||
        (length < 8 && flag == 2 && (*v < -(int64_t{1} << (bits - 1)) || *v >= (int64_t{1} << (bits - 1)))) ||
        (flag != 2 && (*v < 0 || (length < 8 && *v >= (int64_t{1} << bits)))))
      throw OraError(22053, "overflow error");
    std::memcpy(result, &*v, length);  // little-endian: the low bytes
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCINumberFromReal(void* errhp, const void* value, unsigned length, void* number) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    double d = 0;
    if (length == 4) {
      float f;
      std::memcpy(&f, value, 4);
      d = f;
    } else if (length == 8) {
      std::memcpy(&d, value, 8);
    } else {
      throw OraError(22053, "overflow error");
    }
    if (!std::isfinite(d)) throw OraError(22053, "overflow error");
    putNumber(number, numberFromDouble(d));
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCINumberToReal(void* errhp, const void* number, unsigned length, void* result) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const double d = toDouble(numberAt(number));
    if (length == 4) {
      const auto f = static_cast<float>(d);
      std::memcpy(result, &f, 4);
    } else if (length == 8) {
      std::memcpy(result, &d, 8);
    } else {
      throw OraError(22053, "overflow error");
    }
    return OCI_SUCCESS;
  });
}

// The model is read loosely: group characters are skipped, the decimal character is the one of
// the NLS text, and an exponent is taken as written.
OCI_EXPORT sword OCINumberFromText(void* errhp, const OraText* text, ub4 length, const OraText*, ub4,
                                   const OraText* nls, ub4 nlsLength, void* number) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const auto [decimal, group] = numericCharacters(nls, nlsLength);
    std::string plain;
    for (char c : std::string(reinterpret_cast<const char*>(text), length)) {
      if (c == group) continue;
      plain += c == decimal ? '.' : c;
    }
    const auto n = parseNumberText(plain);
    if (!n) throw OraError(1722, "invalid number");
    putNumber(number, *n);
    return OCI_SUCCESS;
  });
}

// Any model gives the number's shortest text (as "TM9" does), with the NLS decimal character.
OCI_EXPORT sword OCINumberToText(void* errhp, const void* number, const OraText*, ub4, const OraText* nls,
                                 ub4 nlsLength, ub4* bufSize, OraText* buf) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    std::string out = numberText(numberAt(number));
    const char decimal = numericCharacters(nls, nlsLength).first;
    std::replace(out.begin(), out.end(), '.', decimal);
    if (!bufSize || out.size() > *bufSize)
      throw OraError(22065, "number to text translation for the given format causes overflow");
    std::memcpy(buf, out.data(), out.size());
    *bufSize = static_cast<ub4>(out.size());
    return OCI_SUCCESS;
  });
}

// --- DATE values of the object calls --------------------------------------------------------------
// A date is 8 bytes: year (16 bits, machine order), month, day, hour, minute, second, one unused.

namespace ocistandin {
namespace {

DateTime dateAt(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  int16_t year = 0;
  std::memcpy(&year, b, 2);
  const DateTime d{year, b[2], b[3], b[4], b[5], b[6]};
  if (!isValidDate(d)) throw OraError(1858, "a non-numeric character was found where a numeric was expected");
  return d;
}

void putDate(void* p, const DateTime& d) {
  auto* b = static_cast<uint8_t*>(p);
  const auto year = static_cast<int16_t>(d.year);
  std::memcpy(b, &year, 2);
  b[2] = static_cast<uint8_t>(d.month);
  b[3] = static_cast<uint8_t>(d.day);
  b[4] = static_cast<uint8_t>(d.hour);
  b[5] = static_cast<uint8_t>(d.minute);
  b[6] = static_cast<uint8_t>(d.second);
  b[7] = 0;
}

}  // namespace
}  // namespace ocistandin

OCI_EXPORT sword OCIDateAssign(void* errhp, const void* from, void* to) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    putDate(to, dateAt(from));
    return OCI_SUCCESS;
  });
}

// Without a model the date reads and writes as DD-MON-YY.
OCI_EXPORT sword OCIDateFromText(void* errhp, const OraText* text, ub4 length, const OraText* fmt,
                                 ub1 fmtLength, const OraText*, ub4, void* date) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const std::string model =
        fmtLength ? std::string(reinterpret_cast<const char*>(fmt), fmtLength) : "DD-MON-YY";
    DateTime d;
    if (const int code = parseDate(std::string(reinterpret_cast<const char*>(text), length), model, d))
      throw OraError(code, "literal does not match format string");
    putDate(date, d);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDateToText(void* errhp, const void* date, const OraText* fmt, ub1 fmtLength,
                               const OraText*, ub4, ub4* bufSize, OraText* buf) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const std::string model =
        fmtLength ? std::string(reinterpret_cast<const char*>(fmt), fmtLength) : "DD-MON-YY";
    std::string out;
    if (const int code = formatDate(dateAt(date), model, out))
      throw OraError(code, "date format not recognized");
    if (!bufSize || out.size() > *bufSize) throw OraError(1877, "string is too long for internal buffer");
    std::memcpy(buf, out.data(), out.size());
    *bufSize = static_cast<ub4>(out.size());
    return OCI_SUCCESS;
  });
}
