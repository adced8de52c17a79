// Engine values: conversions between the field types (CAST, assignment in INSERT and UPDATE,
// filter constants, comparisons, table restructuring), the test of a field's default, minimum
// and maximum texts, and date-time texts parsed in place. Type codes and byte forms are those of
// engine/base/veldortypes.h; text forms are those of veldorvaluetext.h.
//
// Conversions never wrap and never raise: a value that the target type cannot hold makes the
// conversion fail, and a failed conversion leaves the target's zero value.
//
// Stateless; any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/base/veldortypes.h"

namespace engine {

// Type, subtype, size in bytes and scale of a value (an expression node's or a field's).
struct TValueType {
  TEngineFieldType type = TEngineFieldType::Unknown;
  TEngineFieldSubType subType = TEngineFieldSubType::None;
  uint32_t size = 0;
  uint8_t scale = 0;
};

// The pairs a CAST may name (TEngineFieldType). Sources String, Blob, Bytes and VarBytes allow
// every target; otherwise:
//   Date: String, Date, Bytes, Timestamp, VarBytes
//   Time: String, Bytes, Time, Timestamp, VarBytes
//   Timestamp: String, Date, Bytes, Time, Timestamp, VarBytes
//   Boolean: String, Boolean, SmallInt, Integer, BCD, Bytes, Word, VarBytes, LargeInt
//   SmallInt, Word: String, Boolean, SmallInt, Integer, Float, BCD, Bytes, Word, VarBytes, LargeInt
//   Integer, Float, BCD, LargeInt: String, SmallInt, Integer, Float, BCD, Bytes, Word, VarBytes,
//     LargeInt
//   Unknown, Type13, Type14, Type16, Type17 and codes from kFirstForeignFieldType: none.
// ConvertValue supports each of these pairs except a target of Blob (the evaluator copies blob
// values itself) and the targets Unknown, Type13, Type14, Type16, Type17 and foreign codes of a
// text source.
bool IsCastAllowed(TEngineFieldType sourceType, TEngineFieldType targetType);

// Converts the value at the start of `buffer` in place. `buffer` must hold at least
// kValueBufferSize (251) bytes; a smaller buffer is left alone and the result is false.
// `sourceScale` is kept for callers' symmetry: a BCD value carries its own places.
//
// Same type: a string keeps at most targetSize - 1 bytes of its text (cut at a character
// boundary) and is terminated; bytes (Bytes, VarBytes) keep min(targetSize, sourceSize) bytes; a BCD is
// re-encoded with targetScale (rounded half to even); anything else stays. True. A BCD (of any
// source) whose rounding to targetScale takes it past the 64-bit scaled range, where no read
// could take it back, does not convert.
// Source Unknown, Type13, Type14, Type16, Type17 or a foreign code: nothing is done, true.
// Otherwise the source is taken out (a string or memo text up to its terminator, at most 255
// bytes, or sourceSize bytes), the first 251 bytes (targetSize bytes when more) are cleared and
// the converted value is written:
//   from text (String, and Blob, a memo's text): parsed by the target's text form; integers
//     must lie in the target's range; BCD is read exactly and rounded half to even to
//     targetScale; Bytes and VarBytes take min(targetSize, text length) bytes;
//   from numbers: integers widen exactly; narrowing, float and BCD to integer (truncated toward
//     zero) fail outside the target's range or for NaN; to float exactly or nearest; to BCD
//     round(x * 10,000), half to even, then with targetScale; a boolean is 1 or 0, and SmallInt
//     and Word to boolean give true for any non-zero value;
//   date to timestamp: midnight of the day; time to timestamp: that time on 1899-12-30;
//   timestamp to date or time: rounded to whole milliseconds first, then its day or time of day;
//   to text (String): the value's text form, which must fit targetSize - 1 bytes;
//   Bytes and VarBytes to any type but Unknown and Blob, and anything to Bytes or VarBytes: the
//     first bytes copied
//     unchanged (to a string at most targetSize - 1 of them, to a boolean normalised; bytes
//     that do not form a readable BCD within the 64-bit scaled range fail).
// A date, time or timestamp outside the years 1 to 9999 does not convert.
//
// False, with the target's zero value, when the conversion fails: 0, the empty text, the BCD of
// 0 with targetScale, and date-time 0 (day 693594, time 0) for dates, times and timestamps. A
// pair that the engine does not convert gives false with the cleared buffer.
bool ConvertValue(TEngineFieldType sourceType, uint32_t sourceSize, uint8_t sourceScale,
                  TEngineFieldType targetType, uint32_t targetSize, uint8_t targetScale,
                  std::span<uint8_t> buffer);

// Converts a constant into the type of the other side of a comparison, so that it is compared
// in that type. By target type:
//   Date: from Timestamp (rounded to whole milliseconds first); Timestamp: from Date (midnight)
//   SmallInt, Word, Integer, LargeInt: from the other integer types, Float (truncated toward
//     zero) and BCD (scaled / 10,000 truncated)
//   Float: from SmallInt, Integer, Word, LargeInt (exact or nearest) and BCD
//   BCD: from SmallInt, Integer, Float, Word, LargeInt: round(x * 10,000) with the target's scale
// Writes FixedValueSize(target.type) bytes into `target`. False, with `target` untouched, for
// another pair, for a value the target type cannot hold, and for a target that is too small.
bool ConvertToNodeType(const TValueType& source, std::span<const uint8_t> sourceValue,
                       const TValueType& target, std::span<uint8_t> targetValue);

// Whether a field's default, minimum or maximum text suits the field type. True for String,
// Blob, Bytes, VarBytes, for an empty text and for foreign codes. Keywords are compared without
// regard to case:
//   Date: "CURRENT_DATE" or a date text; Time: "CURRENT_TIME" or a time text; Timestamp:
//   "CURRENT_TIMESTAMP", "CURRENT_DATE", "CURRENT_TIME" or a date, timestamp or time text;
//   Boolean: "TRUE" or "FALSE"; SmallInt: -32768..32767; Word: 0..65535; Integer: a signed
//   32-bit integer; LargeInt: a signed 64-bit integer; Float: a number with "."; BCD: a number
//   with "." within the BCD range.
// False for Unknown, Type13, Type14, Type16 and Type17.
bool IsValidValueText(std::string_view text, TEngineFieldType type);

// Parses a Date, Time or Timestamp text into `value` (i32 day number, i32
// milliseconds, double timestamp). A text that does not parse gives false and the value of
// date-time 0 (day 693594, time 0). Other types: nothing written, true. A text longer than 255
// bytes is cut to 255 first. False, with nothing written, when `value` is too small.
bool ParseDateTimeValue(std::string_view text, TEngineFieldType type, std::span<uint8_t> value);

}  // namespace engine
