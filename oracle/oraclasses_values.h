// Oracle values without an exact field type of their own: TIMESTAMP (plain, WITH TIME ZONE, WITH
// LOCAL TIME ZONE), INTERVAL (YEAR TO MONTH, DAY TO SECOND) and NUMBER in its 22-byte form, with
// the builders of the default datetime format model and of number format models.
//
// A NUMBER is held and converted here alone: text, integers and doubles go to and from the 22
// bytes exactly (no double on the way), and two values compare by their bytes. TIMESTAMP and
// INTERVAL values live in client-library descriptors; every library call they make goes through
// DateTimeCalls: the client library's own entry points unless another set is installed. Text
// forms follow the process-wide ValueFormatSettings.
//
// Values are TSharedObject (one reference at creation; Release destroys). One thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "dataaccess/memdata_shared.h"
#include "dataset/variant.h"

namespace oracle {

// Data type codes of the library's Oracle extensions handled here.
inline constexpr uint16_t dtTimeStamp = 109;
inline constexpr uint16_t dtTimeStampTZ = 110;
inline constexpr uint16_t dtTimeStampLTZ = 111;
inline constexpr uint16_t dtIntervalYM = 112;
inline constexpr uint16_t dtIntervalDS = 113;

// Descriptor types of the client library.
inline constexpr uint32_t OCI_DTYPE_INTERVAL_YM = 62;
inline constexpr uint32_t OCI_DTYPE_INTERVAL_DS = 63;
inline constexpr uint32_t OCI_DTYPE_TIMESTAMP = 68;
inline constexpr uint32_t OCI_DTYPE_TIMESTAMP_TZ = 69;
inline constexpr uint32_t OCI_DTYPE_TIMESTAMP_LTZ = 70;

// The locale conventions that text forms follow. The client sets them once at start-up, before
// any value is converted; LocaleTimeFormat empty means LongTimeFormat.
struct ValueFormatSettings {
  std::string ShortDateFormat = "dd.MM.yyyy";
  std::string LongTimeFormat = "HH:mm:ss";
  std::string LocaleTimeFormat;
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
};
ValueFormatSettings& valueFormatSettings();

// The default datetime format model built from a short date format and a time format; the time
// suffix "12" or "24" comes from `localeTimeFormat`, and fractional seconds ("FF" after the
// decimal separator) are left out when `longTimeFormat` shows milliseconds ("z").
std::string buildDefaultTimeStampFormat(std::string_view shortDateFormat, std::string_view localeTimeFormat,
                                        std::string_view longTimeFormat, char decimalSeparator,
                                        bool withTimeZone);

// The number format model that reads `text`: "S" for a leading sign, "D" for the first decimal
// separator, "G" for a thousand separator between digits and the decimal separator, "9" for
// anything else, or the exponent model when the text holds "E"; cut to 64 characters with a
// sign, 63 without (the client library's limit).
std::string buildNumberFormatModel(std::string_view text, char decimalSeparator, char thousandSeparator);

// What the datetime and interval values need of the client library, against the shared
// environment and error handles. Every failing status raises (EOraError through Check).
class DateTimeCalls {
 public:
  virtual ~DateTimeCalls() = default;
  // Initialises the library when needed and allocates a descriptor of `descriptorType`.
  virtual void* DescriptorAlloc(uint32_t descriptorType) = 0;
  virtual void DescriptorFree(void* descriptor, uint32_t descriptorType) = 0;

  virtual void DateTimeAssign(void* from, void* to) = 0;
  virtual int DateTimeCompare(void* a, void* b) = 0;
  virtual void DateTimeConstruct(void* descriptor, int16_t year, uint8_t month, uint8_t day, uint8_t hour,
                                 uint8_t minute, uint8_t second, uint32_t fsec,
                                 std::string_view timeZone) = 0;
  virtual void DateTimeGetDate(void* descriptor, int16_t& year, uint8_t& month, uint8_t& day) = 0;
  virtual void DateTimeGetTime(void* descriptor, uint8_t& hour, uint8_t& minute, uint8_t& second,
                               uint32_t& fsec) = 0;
  // The text in a 255-byte buffer, cut to the length the library returns.
  virtual std::string DateTimeToText(void* descriptor, std::string_view format, uint8_t precision) = 0;
  virtual void DateTimeFromText(std::string_view text, std::string_view format, void* descriptor) = 0;

  virtual void IntervalAssign(void* from, void* to) = 0;
  virtual int IntervalCompare(void* a, void* b) = 0;
  // The text in a 255-byte buffer, cut to the length the library returns.
  virtual std::string IntervalToText(void* descriptor, uint8_t leadPrecision, uint8_t fracPrecision) = 0;
  virtual void IntervalFromText(std::string_view text, void* descriptor) = 0;
  // The library's validity flags; 0 is a valid interval.
  virtual uint32_t IntervalCheck(void* descriptor) = 0;
};

// Installs other calls (borrowed; nullptr goes back to the client library's own, which load the
// library and create the shared environment on first use).
void setDateTimeCalls(DateTimeCalls* calls);
DateTimeCalls& dateTimeCalls();

// The descriptor and null state that TIMESTAMP and INTERVAL values share. A descriptor allocated
// here is freed here; one adopted from outside (an object attribute's) never is. Freeing it makes
// the value null. A descriptor allocated here went with the shared environment when that was freed
// (another Oracle home unloaded the client): it is forgotten, never used or freed, and the value is
// null from then on. A value so forgotten is lost until written again: a bind refuses it rather
// than send a null in its place.
class DescriptorValue : public dataaccess::TSharedObject {
 public:
  uint32_t DescriptorType() const { return descriptorType_; }
  // A different type frees the current descriptor first.
  void SetDescriptorType(uint32_t descriptorType);

  bool IsNull() const { return indicator_ == -1 || stale(); }
  void SetIsNull(bool isNull) {
    indicator_ = isNull ? -1 : 0;
    lost_ = false;
  }
  // Held a value when its descriptor was forgotten, and nothing was written since.
  bool Lost() const { return lost_ || (stale() && indicator_ != -1); }
  // Where binds and defines read and write the null indicator; what the library writes there is a
  // value again.
  int16_t* IndicatorPtr() {
    lost_ = false;
    return &indicator_;
  }

 protected:
  explicit DescriptorValue(uint32_t descriptorType) : descriptorType_(descriptorType) {}
  ~DescriptorValue() override;

  // The descriptor, allocated on first use.
  void* descriptor();
  void** descriptorPtr() { return &descriptor_; }
  // Adopts `descriptor`; the indicator is left to the caller.
  void adopt(void* descriptor);
  // Nulls sort first; two values go to `compare`.
  int compareWith(DescriptorValue& other, int (DateTimeCalls::*compare)(void*, void*));
  void assignDescriptorTo(DescriptorValue& dest, void (DateTimeCalls::*assign)(void*, void*));
  // Runs `write` on a fresh descriptor, which replaces the current one only when `write`
  // returns: on a failure the value stays as it was.
  template <class Write>
  void writeFresh(Write write);

  int16_t indicator_ = -1;

 private:
  void freeDescriptor();
  bool stale() const;
  void forgetStale();
  void* allocate();

  void* descriptor_ = nullptr;
  uint32_t descriptorType_;
  uint32_t generation_ = 0;  // of the environment the descriptor was allocated under
  bool allocatedHere_ = false;
  bool lost_ = false;
};

class TOraTimeStamp : public DescriptorValue {
 public:
  // Null, no descriptor yet. Data types other than 109-111 are an assertion failure.
  explicit TOraTimeStamp(uint16_t dataType);

  void* OCIDateTime() { return descriptor(); }
  // Where defines and binds write a descriptor handle.
  void** OCIDateTimePtr() { return descriptorPtr(); }
  // Adopts a descriptor owned elsewhere (never freed here); the null state is left to IsNull.
  void SetOCIDateTime(void* descriptor) { adopt(descriptor); }

  void AssignTo(TOraTimeStamp& dest);
  // Negative, 0 or positive; a null value sorts before every other and equals another null.
  int Compare(TOraTimeStamp& other);
  void Construct(int16_t year, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute, uint8_t second,
                 uint32_t fsec, std::string_view timeZone);
  void GetDate(int16_t& year, uint8_t& month, uint8_t& day);
  void GetTime(uint8_t& hour, uint8_t& minute, uint8_t& second, uint32_t& fsec);

  const std::string& Format() const { return format_; }
  // An empty text builds the default format from the current ValueFormatSettings.
  void SetFormat(std::string_view format);

  // Whole milliseconds; 0 when null.
  dataset::DateTime AsDateTime();
  // Whole seconds: milliseconds are dropped. No time zone.
  void SetAsDateTime(dataset::DateTime value);
  // Empty when null.
  std::string AsString();
  // A text the library refuses leaves the value as it was.
  void SetAsString(std::string_view text);

  uint8_t Precision = 6;

 protected:
  ~TOraTimeStamp() override = default;

 private:
  std::string format_;
};

class TOraInterval : public DescriptorValue {
 public:
  // Null, no descriptor yet. Data types other than 112-113 are an assertion failure.
  explicit TOraInterval(uint16_t dataType);

  void* OCIInterval() { return descriptor(); }
  void** OCIIntervalPtr() { return descriptorPtr(); }
  void SetOCIInterval(void* descriptor) { adopt(descriptor); }

  void AssignTo(TOraInterval& dest);
  // Negative, 0 or positive; a null value sorts before every other and equals another null.
  int Compare(TOraInterval& other);

  // Empty when null.
  std::string AsString();
  // A text the library refuses, or reads into an invalid interval ("Invalid interval."), leaves
  // the value as it was.
  void SetAsString(std::string_view text);

  uint8_t FracPrecision = 6;
  uint8_t LeadPrecision = 2;

 protected:
  ~TOraInterval() override = default;
};

// NUMBER: byte 0 is the length of what follows, then the exponent byte and up to 20 base-100
// digits. Conversions that cannot be made raise dataaccess::EDAError ("Invalid number",
// "Numeric overflow"); a failed write leaves the value as it was. Texts of more than 40
// significant digits are rounded half away from zero to what the 22 bytes hold; magnitudes below
// 1E-130 become 0.
class TOraNumber : public dataaccess::TSharedObject {
 public:
  using Bytes = std::array<uint8_t, 22>;

  TOraNumber() = default;

  uint8_t* OCINumberPtr() { return bytes_.data(); }
  const Bytes& OCINumber() const { return bytes_; }

  bool IsNull() const { return indicator_ == -1; }
  void SetIsNull(bool isNull) { indicator_ = isNull ? -1 : 0; }
  // Where binds and defines read and write the null indicator.
  int16_t* IndicatorPtr() { return &indicator_; }

  void AssignTo(TOraNumber& dest) const;
  // Negative, 0 or positive; a null value sorts before every number and equals another null.
  int Compare(const TOraNumber& other) const;

  // The value cut toward zero; 0 when null; beyond 32 bits raises "Numeric overflow".
  int32_t AsInteger() const;
  void SetAsInteger(int32_t value);
  // The nearest double; 0 when null.
  double AsFloat() const;
  // The shortest decimal text that gives the double back; NaN is an "Invalid number".
  void SetAsFloat(double value);
  // Fixed notation with the settings' decimal separator and a "0" before a leading separator;
  // scientific ("1.5E+100") beyond 64 characters; "~" and "-~" for the infinities. Empty when null.
  std::string AsString() const;
  // Reads a text by its number format model (above), with the settings' separators.
  void SetAsString(std::string_view text);

 protected:
  ~TOraNumber() override = default;

 private:
  Bytes bytes_{};
  int16_t indicator_ = -1;
};

}  // namespace oracle
