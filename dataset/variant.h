// The value type that datasets, fields and parameters pass around: empty, null, boolean,
// integers of 16, 32 and 64 bits, double, currency, date-time, UTF-8 and UTF-16 text, bytes, an
// object reference or an array of variants.
//
// Conversions never depend on the process locale: numbers are written and read with "." as the
// decimal separator, and date-times as "YYYY-MM-DD HH:MM:SS". A conversion that cannot be made
// throws EVariantError naming both types. Empty converts to 0, false and the empty text; Null
// converts to the empty text only.
//
// Text comparisons go through the platform collation (US English, case kept); two texts that the
// collation finds equal are ordered by their bytes, so "equal" always means the same text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace dataset {

enum class VariantType : uint8_t {
  Empty,
  Null,
  Bool,
  Int16,
  Int32,
  Int64,
  Double,
  Currency,
  DateTime,
  String,
  WideString,
  Bytes,
  Object,
  Array,
};

// A fixed-point amount with four decimals, held scaled by 10,000.
struct Currency {
  int64_t scaled = 0;
  friend bool operator==(Currency, Currency) = default;
};

// Days since 1899-12-30; the fraction is the time of day. Before that day the whole part counts
// backwards and the fraction still counts forwards from midnight (-1.25 is 1899-12-29 06:00).
struct DateTime {
  double days = 0;
  friend bool operator==(DateTime, DateTime) = default;
};

// A conversion between variant types that cannot be made.
class EVariantError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Variant {
 public:
  Variant() = default;
  Variant(bool v) : v_(v) {}
  Variant(int16_t v) : v_(v) {}
  Variant(int32_t v) : v_(v) {}
  Variant(int64_t v) : v_(v) {}
  Variant(double v) : v_(v) {}
  Variant(Currency v) : v_(v) {}
  Variant(DateTime v) : v_(v) {}
  Variant(std::string v) : v_(std::move(v)) {}
  Variant(const char* v) : v_(std::string(v)) {}
  Variant(std::u16string v) : v_(std::move(v)) {}
  Variant(std::vector<Variant> v) : v_(std::move(v)) {}

  static Variant null() {
    Variant v;
    v.v_ = NullTag{};
    return v;
  }
  static Variant bytes(std::vector<uint8_t> b) {
    Variant v;
    v.v_ = std::move(b);
    return v;
  }
  // A reference to an object the variant does not own.
  static Variant object(void* p) {
    Variant v;
    v.v_ = ObjectRef{p};
    return v;
  }

  VariantType type() const { return VariantType(v_.index()); }
  // Null or Empty.
  bool isNull() const { return type() == VariantType::Empty || type() == VariantType::Null; }
  bool isText() const { return type() == VariantType::String || type() == VariantType::WideString; }
  // Boolean, an integer, double, currency or date-time.
  bool isNumeric() const { return type() >= VariantType::Bool && type() <= VariantType::DateTime; }

  bool asBool() const;
  int64_t asInt64() const;
  int32_t asInt32() const;
  double asDouble() const;
  Currency asCurrency() const;
  DateTime asDateTime() const;
  std::string asString() const;
  // asString, moving the text out of a text variant (which is left holding some valid text).
  std::string takeString();
  // Makes this variant the text `text`, built in place.
  void setString(std::string_view text) { v_.emplace<std::string>(text); }
  std::u16string asWideString() const;
  std::vector<uint8_t> asBytes() const;
  void* asObject() const;
  const std::vector<Variant>& asArray() const;

  friend bool operator==(const Variant& a, const Variant& b);

 private:
  struct NullTag {
    friend bool operator==(NullTag, NullTag) = default;
  };
  struct ObjectRef {
    void* p;
    friend bool operator==(ObjectRef, ObjectRef) = default;
  };
  [[noreturn]] void fail(VariantType to) const;

  std::variant<std::monostate, NullTag, bool, int16_t, int32_t, int64_t, double, Currency, DateTime,
               std::string, std::u16string, std::vector<uint8_t>, ObjectRef, std::vector<Variant>>
      v_;
};

// The name of a variant type as conversion errors give it ("Null", "Int32", "String", ...).
const char* variantTypeName(VariantType t);

// -1, 0 or 1. Null and Empty sort first and equal each other; numbers (booleans, integers,
// doubles, currency, date-times) compare by value; texts by the collation; a text against a number
// by value when the text reads as a number, else as texts; bytes by their bytes.
int compareVariants(const Variant& a, const Variant& b);

// Upper-cases a text variant (either width) by the platform's case mapping; other values pass.
Variant upperCased(const Variant& v);

// Days from 1899-12-30 to a civil date of the proleptic Gregorian calendar, and back.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d);
void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d);

// Text forms, independent of the locale.
std::string dateTimeToText(DateTime d);
// Reads "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.fff]]" (or with "T" between) or "HH:MM[:SS[.fff]]",
// blanks around it ignored. Throws EVariantError when the text is none of these or names no day.
DateTime textToDateTime(std::string_view text);

// UTF-8 and UTF-16 conversions; ill-formed input becomes U+FFFD.
std::u16string utf8ToUtf16(std::string_view s);
std::string utf16ToUtf8(std::u16string_view s);

// How the bytes of narrow text form characters: UTF-8 sequences, one character a byte (a
// single-byte character set such as WE8ISO8859P1, whose bytes 0x80 to 0xFF are letters too), or
// a double-byte set, whose lead bytes say how many bytes their character takes:
//   ShiftJis  0x81-0x9F and 0xE0-0xFC lead two bytes (JA16SJIS and its variants);
//   EucJp     0x8E and 0xA1-0xFE lead two bytes, 0x8F three (JA16EUC and its variants);
//   EucTw     0xA1-0xFE lead two bytes, 0x8E four (ZHT32EUC);
//   Lead81    0x81-0xFE lead two bytes (ZHS16GBK, ZHT16BIG5, ZHT16MSWIN950, KO16MSWIN949, ...);
//   LeadA1    0xA1-0xFE lead two bytes (KO16KSC5601, ZHS16CGB231280);
//   Gb18030   0x81-0xFE lead two bytes, or four when a digit 0x30-0x39 follows (ZHS32GB18030).
// Any other byte is a character of its own, whatever follows it; and in a damaged text a lead
// byte of the EUC sets or of GB18030's four-byte form before bytes that cannot continue its
// character is one too, as the sets' converters read it.
enum class NarrowText : uint8_t { Utf8, SingleByte, ShiftJis, EucJp, EucTw, Lead81, LeadA1, Gb18030 };
// The length of the longest prefix of `text` that fits in `width` bytes without cutting a
// character: `width` itself for single-byte text, for UTF-8 the start of the character the width
// ends in, and for a double-byte set the end of the last whole character, read from the text's
// start (a trail byte may look like a lead byte, so the characters cannot be told from the cut
// backwards). A text that fits is returned whole, its bytes unread.
size_t fittingTextLength(std::string_view text, size_t width, NarrowText encoding);

}  // namespace dataset
