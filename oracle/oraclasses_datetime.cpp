#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "dataaccess/daconsts.h"
#include "oracle/oracall.h"
#include "oracle/oraclasses_values.h"
#include "oracle/oraerror.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace oracle {
namespace {

DateTimeCalls* installedCalls = nullptr;

constexpr const char* kInvalidInterval = "Invalid interval.";
constexpr const char* kDateOutOfRange = "Date out of range";

constexpr std::chrono::sys_days kDayZero = std::chrono::sys_days(std::chrono::year(1899) / 12 / 30);
constexpr int64_t kMsPerDay = 86'400'000;

using platform::asciiLower;
using platform::asciiUpper;

// The length, at `i`, of a run of letters that lower to `a` or `b`, at most `limit` long.
size_t runAt(std::string_view s, size_t i, char a, char b, size_t limit) {
  size_t n = 0;
  while (i + n < s.size() && n < limit && (asciiLower(s[i + n]) == a || asciiLower(s[i + n]) == b)) ++n;
  return n;
}

// A quoted literal at `i` goes over in double quotes; without its closing quote the rest of the
// format goes over unchanged. Returns the position after it, or npos when the format is spent.
size_t appendQuoted(std::string_view s, size_t i, std::string& out) {
  const size_t close = s.find(s[i], i + 1);
  if (close == std::string_view::npos) {
    out += s.substr(i);
    return std::string_view::npos;
  }
  out += '"';
  out += s.substr(i + 1, close - i - 1);
  out += '"';
  return close + 1;
}

void appendDatePart(std::string_view f, std::string& out) {
  static const char* const days[] = {"fmDDfm", "DD", "DY", "fmDAYfm"};
  static const char* const months[] = {"fmMMfm", "MM", "MON", "MONTH"};
  for (size_t i = 0; i < f.size();) {
    const char c = asciiLower(f[i]);
    if (c == 'd' || c == 'm') {
      const size_t n = runAt(f, i, c, c, 4);
      out += (c == 'd' ? days : months)[n - 1];
      i += n;
    } else if (c == 'g') {
      out += 'E';
      ++i;
    } else if (c == '\'' || c == '"') {
      i = appendQuoted(f, i, out);
      if (i == std::string_view::npos) return;
    } else {
      out += asciiUpper(f[i++]);
    }
  }
}

void appendTimePart(std::string_view f, std::string_view longTimeFormat, char decimalSeparator,
                    std::string& out) {
  const std::string hourSuffix =
      f.find("AMPM") != std::string_view::npos || f.find('t') != std::string_view::npos ? "12" : "24";
  const std::string fraction = longTimeFormat.find('z') == std::string_view::npos
                                   ? std::string(1, decimalSeparator) + "FF"
                                   : std::string();
  for (size_t i = 0; i < f.size();) {
    const char c = asciiLower(f[i]);
    if (platform::equalIgnoringAsciiCase(f.substr(i, 4), "AMPM")) {
      out += "AM";
      i += 4;
    } else if (c == 'h') {
      const size_t n = runAt(f, i, 'h', 'h', 2);
      out += n == 2 ? "HH" + hourSuffix : "fmHH" + hourSuffix + "fm";
      i += n;
    } else if (c == 'm' || c == 'n') {
      const size_t n = runAt(f, i, 'm', 'n', 2);
      out += n == 2 ? "MI" : "fmMIfm";
      i += n;
    } else if (c == 's') {
      const size_t n = runAt(f, i, 's', 's', 2);
      out += (n == 2 ? "SS" : "fmSSfm") + fraction;
      i += n;
    } else if (c == 't') {
      out += "AM";
      i += runAt(f, i, 't', 't', f.size());
    } else if (c == '\'' || c == '"') {
      i = appendQuoted(f, i, out);
      if (i == std::string_view::npos) return;
    } else {
      out += asciiUpper(f[i++]);
    }
  }
}

}  // namespace

ValueFormatSettings& valueFormatSettings() {
  static ValueFormatSettings settings;
  return settings;
}

std::string buildDefaultTimeStampFormat(std::string_view shortDateFormat, std::string_view localeTimeFormat,
                                        std::string_view longTimeFormat, char decimalSeparator,
                                        bool withTimeZone) {
  std::string out;
  appendDatePart(shortDateFormat, out);
  out += ' ';
  appendTimePart(localeTimeFormat, longTimeFormat, decimalSeparator, out);
  if (withTimeZone) out += " TZH:TZM";
  return out;
}

namespace {

const OraText* text(std::string_view value) {
  return reinterpret_cast<const OraText*>(value.data());
}

// A format model longer than the library's one-byte length cannot be handed over whole.
ub1 formatLength(std::string_view format) {
  if (format.size() > 255) throw std::runtime_error("Format model is too long: " + std::string(format));
  return ub1(format.size());
}

// The client library's own calls, against the shared environment and error handles.
class LibraryDateTimeCalls final : public DateTimeCalls {
 public:
  void* DescriptorAlloc(uint32_t descriptorType) override {
    if (!OCIInited) OCIInit();
    void* descriptor = nullptr;
    Check(OCIDescriptorAlloc(hOCIEnv, &descriptor, descriptorType, 0, nullptr), hOCIError);
    return descriptor;
  }
  void DescriptorFree(void* descriptor, uint32_t descriptorType) override {
    OCIDescriptorFree(descriptor, descriptorType);
  }
  void DateTimeAssign(void* from, void* to) override {
    Check(OCIDateTimeAssign(hOCIEnv, hOCIError, from, to), hOCIError);
  }
  int DateTimeCompare(void* a, void* b) override {
    sword result = 0;
    Check(OCIDateTimeCompare(hOCIEnv, hOCIError, a, b, &result), hOCIError);
    return result;
  }
  void DateTimeConstruct(void* descriptor, int16_t year, uint8_t month, uint8_t day, uint8_t hour,
                         uint8_t minute, uint8_t second, uint32_t fsec, std::string_view timeZone) override {
    Check(OCIDateTimeConstruct(hOCIEnv, hOCIError, descriptor, year, month, day, hour, minute, second, fsec,
                               text(timeZone), timeZone.size()),
          hOCIError);
  }
  void DateTimeGetDate(void* descriptor, int16_t& year, uint8_t& month, uint8_t& day) override {
    Check(OCIDateTimeGetDate(hOCIEnv, hOCIError, descriptor, &year, &month, &day), hOCIError);
  }
  void DateTimeGetTime(void* descriptor, uint8_t& hour, uint8_t& minute, uint8_t& second,
                       uint32_t& fsec) override {
    Check(OCIDateTimeGetTime(hOCIEnv, hOCIError, descriptor, &hour, &minute, &second, &fsec), hOCIError);
  }
  std::string DateTimeToText(void* descriptor, std::string_view format, uint8_t precision) override {
    OraText buffer[255];
    ub4 size = sizeof buffer;
    Check(OCIDateTimeToText(hOCIEnv, hOCIError, descriptor, text(format), formatLength(format), precision,
                            nullptr, 0, &size, buffer),
          hOCIError);
    return std::string(reinterpret_cast<const char*>(buffer), std::min<size_t>(size, sizeof buffer));
  }
  void DateTimeFromText(std::string_view value, std::string_view format, void* descriptor) override {
    Check(OCIDateTimeFromText(hOCIEnv, hOCIError, text(value), value.size(), text(format),
                              formatLength(format), nullptr, 0, descriptor),
          hOCIError);
  }
  void IntervalAssign(void* from, void* to) override {
    Check(OCIIntervalAssign(hOCIEnv, hOCIError, from, to), hOCIError);
  }
  int IntervalCompare(void* a, void* b) override {
    sword result = 0;
    Check(OCIIntervalCompare(hOCIEnv, hOCIError, a, b, &result), hOCIError);
    return result;
  }
  std::string IntervalToText(void* descriptor, uint8_t leadPrecision, uint8_t fracPrecision) override {
    OraText buffer[255];
    size_t length = 0;
    Check(OCIIntervalToText(hOCIEnv, hOCIError, descriptor, leadPrecision, fracPrecision, buffer,
                            sizeof buffer, &length),
          hOCIError);
    return std::string(reinterpret_cast<const char*>(buffer), std::min(length, sizeof buffer));
  }
  void IntervalFromText(std::string_view value, void* descriptor) override {
    Check(OCIIntervalFromText(hOCIEnv, hOCIError, text(value), value.size(), descriptor), hOCIError);
  }
  uint32_t IntervalCheck(void* descriptor) override {
    ub4 valid = 0;
    Check(OCIIntervalCheck(hOCIEnv, hOCIError, descriptor, &valid), hOCIError);
    return valid;
  }
};

}  // namespace

void setDateTimeCalls(DateTimeCalls* calls) {
  installedCalls = calls;
}

DateTimeCalls& dateTimeCalls() {
  static LibraryDateTimeCalls library;
  return installedCalls != nullptr ? *installedCalls : library;
}

// --- the shared descriptor ---

DescriptorValue::~DescriptorValue() {
  freeDescriptor();
}

bool DescriptorValue::stale() const {
  return descriptor_ && allocatedHere_ && generation_ != OCIEnvironmentGeneration;
}

void DescriptorValue::forgetStale() {
  if (!stale()) return;
  lost_ = indicator_ != -1;
  descriptor_ = nullptr;
  indicator_ = -1;
  allocatedHere_ = false;
}

void* DescriptorValue::allocate() {
  // Read first: the allocation may make the first environment.
  void* descriptor = dateTimeCalls().DescriptorAlloc(descriptorType_);
  generation_ = OCIEnvironmentGeneration;
  return descriptor;
}

void DescriptorValue::freeDescriptor() {
  forgetStale();
  lost_ = false;
  if (!descriptor_) return;
  if (allocatedHere_) dateTimeCalls().DescriptorFree(descriptor_, descriptorType_);
  descriptor_ = nullptr;
  indicator_ = -1;
  allocatedHere_ = false;
}

void DescriptorValue::SetDescriptorType(uint32_t descriptorType) {
  if (descriptorType == descriptorType_) return;
  freeDescriptor();
  descriptorType_ = descriptorType;
}

void* DescriptorValue::descriptor() {
  forgetStale();
  if (!descriptor_) {
    descriptor_ = allocate();
    allocatedHere_ = true;
  }
  return descriptor_;
}

void DescriptorValue::adopt(void* descriptor) {
  freeDescriptor();
  descriptor_ = descriptor;
}

int DescriptorValue::compareWith(DescriptorValue& other, int (DateTimeCalls::*compare)(void*, void*)) {
  if (IsNull() || other.IsNull()) return int(other.IsNull()) - int(IsNull());
  const int order = (dateTimeCalls().*compare)(descriptor(), other.descriptor());
  return order < 0 ? -1 : order > 0 ? 1 : 0;
}

void DescriptorValue::assignDescriptorTo(DescriptorValue& dest, void (DateTimeCalls::*assign)(void*, void*)) {
  forgetStale();  // its indicator goes over
  dest.SetDescriptorType(descriptorType_);
  dest.descriptor();
  dest.indicator_ = indicator_;
  dest.lost_ = lost_;
  if (!IsNull() && &dest != this) (dateTimeCalls().*assign)(descriptor(), dest.descriptor());
}

template <class Write>
void DescriptorValue::writeFresh(Write write) {
  DateTimeCalls& calls = dateTimeCalls();
  // What is left after forgetting is of the current environment, as the fresh one is.
  forgetStale();
  void* fresh = allocate();
  platform::UndoOnFailure freeFresh([&] { calls.DescriptorFree(fresh, descriptorType_); });
  write(fresh);
  freeFresh.Dismiss();
  void* const old = std::exchange(descriptor_, fresh);
  const bool oldAllocatedHere = std::exchange(allocatedHere_, true);
  indicator_ = 0;
  lost_ = false;
  if (old && oldAllocatedHere) calls.DescriptorFree(old, descriptorType_);
}

// --- TIMESTAMP ---

namespace {

uint32_t timeStampDescriptorType(uint16_t dataType) {
  switch (dataType) {
    case dtTimeStamp:
      return OCI_DTYPE_TIMESTAMP;
    case dtTimeStampTZ:
      return OCI_DTYPE_TIMESTAMP_TZ;
    case dtTimeStampLTZ:
      return OCI_DTYPE_TIMESTAMP_LTZ;
  }
  DA_ASSERT(false, "Assertion failure");
  return 0;
}

uint32_t intervalDescriptorType(uint16_t dataType) {
  DA_ASSERT(dataType == dtIntervalYM || dataType == dtIntervalDS, "Assertion failure");
  return dataType == dtIntervalYM ? OCI_DTYPE_INTERVAL_YM : OCI_DTYPE_INTERVAL_DS;
}

}  // namespace

TOraTimeStamp::TOraTimeStamp(uint16_t dataType) : DescriptorValue(timeStampDescriptorType(dataType)) {}

void TOraTimeStamp::AssignTo(TOraTimeStamp& dest) {
  // The type first: an empty format builds the default for dest's type.
  dest.SetDescriptorType(DescriptorType());
  dest.SetFormat(format_);
  dest.Precision = Precision;
  assignDescriptorTo(dest, &DateTimeCalls::DateTimeAssign);
}

int TOraTimeStamp::Compare(TOraTimeStamp& other) {
  return compareWith(other, &DateTimeCalls::DateTimeCompare);
}

void TOraTimeStamp::Construct(int16_t year, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute,
                              uint8_t second, uint32_t fsec, std::string_view timeZone) {
  dateTimeCalls().DateTimeConstruct(OCIDateTime(), year, month, day, hour, minute, second, fsec, timeZone);
  SetIsNull(false);
}

void TOraTimeStamp::GetDate(int16_t& year, uint8_t& month, uint8_t& day) {
  dateTimeCalls().DateTimeGetDate(OCIDateTime(), year, month, day);
}

void TOraTimeStamp::GetTime(uint8_t& hour, uint8_t& minute, uint8_t& second, uint32_t& fsec) {
  dateTimeCalls().DateTimeGetTime(OCIDateTime(), hour, minute, second, fsec);
}

void TOraTimeStamp::SetFormat(std::string_view format) {
  if (!format.empty()) {
    format_ = format;
    return;
  }
  const ValueFormatSettings& s = valueFormatSettings();
  format_ = buildDefaultTimeStampFormat(
      s.ShortDateFormat, s.LocaleTimeFormat.empty() ? s.LongTimeFormat : s.LocaleTimeFormat, s.LongTimeFormat,
      s.DecimalSeparator, DescriptorType() == OCI_DTYPE_TIMESTAMP_TZ);
}

dataset::DateTime TOraTimeStamp::AsDateTime() {
  if (IsNull()) return {};
  int16_t year;
  uint8_t month, day, hour, minute, second;
  uint32_t fsec;
  GetDate(year, month, day);
  GetTime(hour, minute, second, fsec);
  using namespace std::chrono;
  const double date = double((sys_days(std::chrono::year(year) / int(month) / int(day)) - kDayZero).count());
  const double time = double(((hour * 60 + minute) * 60 + second) * 1000 + fsec / 1'000'000) / kMsPerDay;
  return {date < 0 ? date - time : date + time};
}

void TOraTimeStamp::SetAsDateTime(dataset::DateTime value) {
  // Beyond the years a timestamp can hold, and so beyond the calendar's 16-bit year.
  if (!std::isfinite(value.days) || std::fabs(value.days) > 4'000'000)
    throw dataaccess::EDAError(kDateOutOfRange);
  int64_t days = int64_t(std::trunc(value.days));
  int64_t ms = std::llround(std::fabs(value.days - double(days)) * kMsPerDay);
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    ++days;
  }
  using namespace std::chrono;
  const year_month_day date(kDayZero + std::chrono::days(days));
  const int64_t seconds = ms / 1000;
  Construct(int16_t(int(date.year())), uint8_t(unsigned(date.month())), uint8_t(unsigned(date.day())),
            uint8_t(seconds / 3600), uint8_t(seconds / 60 % 60), uint8_t(seconds % 60), 0, "");
}

std::string TOraTimeStamp::AsString() {
  if (IsNull()) return "";
  if (format_.empty()) SetFormat("");
  return dateTimeCalls().DateTimeToText(OCIDateTime(), format_, Precision);
}

void TOraTimeStamp::SetAsString(std::string_view text) {
  if (format_.empty()) SetFormat("");
  writeFresh([&](void* fresh) { dateTimeCalls().DateTimeFromText(text, format_, fresh); });
}

// --- INTERVAL ---

TOraInterval::TOraInterval(uint16_t dataType) : DescriptorValue(intervalDescriptorType(dataType)) {}

void TOraInterval::AssignTo(TOraInterval& dest) {
  dest.FracPrecision = FracPrecision;
  dest.LeadPrecision = LeadPrecision;
  assignDescriptorTo(dest, &DateTimeCalls::IntervalAssign);
}

int TOraInterval::Compare(TOraInterval& other) {
  return compareWith(other, &DateTimeCalls::IntervalCompare);
}

std::string TOraInterval::AsString() {
  if (IsNull()) return "";
  return dateTimeCalls().IntervalToText(OCIInterval(), LeadPrecision, FracPrecision);
}

void TOraInterval::SetAsString(std::string_view text) {
  writeFresh([&](void* fresh) {
    DateTimeCalls& calls = dateTimeCalls();
    calls.IntervalFromText(text, fresh);
    if (calls.IntervalCheck(fresh) != 0) throw std::runtime_error(kInvalidInterval);
  });
}

}  // namespace oracle
