// The engine's field types and the byte form of each value. The same bytes lie in a record after
// the field's has-value byte, in an expression node's value buffer, in index keys (after their
// own encoding) and in requests. All multi-byte values are little-endian.
//
//   1 string     UTF-8 text, zero-terminated; a field of declared size n stores n + 1 bytes
//   2 date       i32 day number: 0001-01-01 is day 1, 1899-12-30 is day 693594
//   3 blob       in a record a reference to the blob chain; in an expression a memo's text,
//                zero-terminated
//   4 boolean    u16: 0 false, 1 true
//   5 smallint   i16        6 integer  i32        12 word   u16       18 largeint  i64
//   7 float      IEEE 754 double
//   8 BCD        34-byte packed decimal, below
//   9 bytes      n raw bytes; 15 is handled exactly as 9
//  10 time       i32 milliseconds since midnight
//  11 timestamp  double: day number * 86,400,000 + milliseconds since midnight
// Code 0 marks an untyped value (the NULL constant); 13 (4 bytes) and 14 (10 bytes) have sizes
// but no operations; 16 and 17 have neither.
//
// Packed decimal, 34 bytes: byte 0 the precision (32), byte 1 the sign (bit 7, 1 = negative)
// and the number of decimal places (bits 0-5), then the digits two per byte, high nibble first,
// most significant first, right-aligned within the precision (zeros in front); the last `places`
// digits are the fraction. Arithmetic, comparison and conversion work on the scaled value: a
// signed 64-bit integer equal to the number times 10,000.
//
// Everything here is stateless and may be called from any thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/bytes.h"

namespace engine {

enum class TEngineFieldType : uint8_t {
  Unknown = 0,
  String = 1,
  Date = 2,
  Blob = 3,
  Boolean = 4,
  SmallInt = 5,
  Integer = 6,
  Float = 7,
  BCD = 8,
  Bytes = 9,
  Time = 10,
  Timestamp = 11,
  Word = 12,
  Type13 = 13,
  Type14 = 14,
  VarBytes = 15,
  Type16 = 16,
  Type17 = 17,
  LargeInt = 18,
};
// Codes from here on are not types of the engine; operations pass them through untouched.
inline constexpr uint8_t kFirstForeignFieldType = 19;

enum class TEngineFieldSubType : uint8_t {
  None = 0,
  Money = 21,   // on FLOAT
  Memo = 22,    // on BLOB: compared, concatenated and searched as text
  Blob23 = 23,  // further blob kinds: BLOB(n, t) with t = 2, 3, 5, 7 gives 21 + t
  Blob24 = 24,
  Blob26 = 26,
  Blob28 = 28,
  AutoInc = 29,  // on INTEGER: filled by the table, stored without a has-value byte
};

constexpr uint8_t TypeCode(TEngineFieldType type) {
  return uint8_t(type);
}

// The longest text of a string value and the value buffer that holds it with its terminator.
inline constexpr size_t kMaxStringLength = 250;
inline constexpr size_t kValueBufferSize = 251;

inline constexpr size_t kBcdSize = 34;
inline constexpr uint8_t kBcdPrecision = 32;
inline constexpr uint8_t kBcdMaxFieldScale = 4;  // the scale a DECIMAL field may have
inline constexpr int64_t kScaledOne = 10000;     // the scaled value of 1

inline constexpr int64_t kMsPerDay = 86'400'000;
inline constexpr int32_t kDateTimeZeroDay = 693594;  // 1899-12-30, the zero of date-time values
inline constexpr int32_t kMinEngineDay = 1;          // 0001-01-01
inline constexpr int32_t kMaxEngineDay = 3652059;    // 9999-12-31
inline constexpr double kDateTimeZeroTimestamp = double(kDateTimeZeroDay) * double(kMsPerDay);

// Bytes of a value of a fixed-size type (Blob counts 8, its size in expressions); 0 for the
// types whose size is the field's (String, Bytes, VarBytes) and for the rest.
constexpr size_t FixedValueSize(TEngineFieldType type) {
  switch (type) {
    case TEngineFieldType::Boolean:
    case TEngineFieldType::SmallInt:
    case TEngineFieldType::Word:
      return 2;
    case TEngineFieldType::Date:
    case TEngineFieldType::Integer:
    case TEngineFieldType::Time:
    case TEngineFieldType::Type13:
      return 4;
    case TEngineFieldType::Blob:
    case TEngineFieldType::Float:
    case TEngineFieldType::Timestamp:
    case TEngineFieldType::LargeInt:
      return 8;
    case TEngineFieldType::Type14:
      return 10;
    case TEngineFieldType::BCD:
      return kBcdSize;
    default:
      return 0;
  }
}

// ---- Reading and writing value bytes (callers check the room) ----

inline int16_t GetSmallIntValue(const uint8_t* p) {
  return int16_t(platform::get2(p));
}
inline uint16_t GetWordValue(const uint8_t* p) {
  return platform::get2(p);
}
inline int32_t GetIntegerValue(const uint8_t* p) {
  return int32_t(platform::get4(p));
}
inline int64_t GetLargeIntValue(const uint8_t* p) {
  return int64_t(platform::get8(p));
}
inline double GetFloatValue(const uint8_t* p) {
  return std::bit_cast<double>(platform::get8(p));
}

inline void PutSmallIntValue(uint8_t* p, int16_t v) {
  platform::put2(p, uint16_t(v));
}
inline void PutWordValue(uint8_t* p, uint16_t v) {
  platform::put2(p, v);
}
inline void PutIntegerValue(uint8_t* p, int32_t v) {
  platform::put4(p, uint32_t(v));
}
inline void PutLargeIntValue(uint8_t* p, int64_t v) {
  platform::put8(p, uint64_t(v));
}
inline void PutFloatValue(uint8_t* p, double v) {
  platform::put8(p, std::bit_cast<uint64_t>(v));
}

// 0 stays 0, 1 stays 1, anything else becomes 1.
constexpr uint16_t NormalizeBooleanValue(uint16_t v) {
  return v == 0 ? 0 : 1;
}

// ---- Packed decimals ----

// What DecodeBcdValue found.
enum class TBcdDecode : uint8_t {
  Exact,      // the scaled value is the number
  Rounded,    // the number has digits below the fourth decimal; the scaled value is rounded
  Overflow,   // the number is beyond the 64-bit scaled range
  Malformed,  // precision above 64, more places than digits, or a nibble above 9
};

// The scaled value of the 34 bytes at `bcd`: leading zeros skipped, the digits taken as an
// integer, negated when the sign bit is set, times 10^(4 - places), rounded half to even. A
// precision of 0 reads as 0. `scaled` is 0 unless the result is Exact or Rounded.
TBcdDecode DecodeBcdValue(const uint8_t* bcd, int64_t& scaled);

// Writes the 34 bytes of the scaled value with `places` decimals: below 4 places the value is
// first divided by 10^(4 - places), rounded half to even; above 4 the extra digits are 0. A
// negative value sets the sign bit (a value that rounds to 0 does not). False (and the bytes of
// 0 with `places`, or with 0 places when `places` is above 32) when places is beyond 32.
bool EncodeBcdValue(int64_t scaled, int places, uint8_t* bcd);

// Writes the 34 bytes of the BCD at `in` (not `out`) with `places` decimals, digit by digit, so
// that a value beyond the 64-bit scaled range keeps its digits: dropped digits round half to
// even, added ones are 0, a value that rounds to 0 has no sign. False for a malformed BCD, one
// that takes more than 32 digits, places beyond 32, or a value within the scaled range that the
// rounding takes out of it.
bool RescaleBcdValue(const uint8_t* in, int places, uint8_t* out);

// value / divisor rounded half to even; Requires divisor > 0.
int64_t DivideRoundHalfEven(int64_t value, int64_t divisor);

// ---- Buffers ----

// For size >= 1: rounds size up to a multiple of blockSize and grows the buffer to it when it
// is smaller (the bytes it gains are zero); a buffer never shrinks. For size <= 0: frees it.
// The buffer's size() is its capacity. Requires blockSize > 0.
void ResizeBlockBuffer(int64_t size, size_t blockSize, std::vector<uint8_t>& buffer);

}  // namespace engine
