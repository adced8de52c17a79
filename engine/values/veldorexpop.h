// Operators on engine values: which operand types each unary and binary operator accepts, the
// type, subtype, size and scale of its result, and its evaluation on expression nodes.
//
// Operator codes are TExpCode's; bit 7 of a code is ignored everywhere here. A memo is type 3
// with subtype 22 and counts as text. Booleans are u16 0 or 1; an operand boolean is true when it
// is not 0.
//
// The engine's NULL rules, which stored filters and the SQL layer rely on:
//   =   exactly one operand NULL: false; both NULL: true; else compare
//   <>  exactly one operand NULL: true; both NULL: false; else compare
//   > < >= <= with a left operand that is not text: exactly one NULL: false; both NULL: the
//       zero-filled values compare. With a text left operand a NULL text is the empty text.
//   AND, OR, NOT look at the values only.
//   + - * / without a text operand: either operand NULL gives NULL. Concatenation with a NULL
//       text appends or prepends nothing, and its result is never NULL (two NULL texts join into
//       the empty text, which only a stored field turns into NULL).
//   unary minus and plus keep NULL; is NULL and is not NULL read the flag and are never NULL.
// Division by zero gives NULL. Integer + - * are done in 32 bits, or 64 when a LARGEINT takes
// part; integer / integer is FLOAT. DATE and TIMESTAMP arithmetic that leaves the years 1 to 9999
// gives NULL; TIME plus or minus milliseconds wraps within the day.
// An integer result beyond its type's range (unary minus of a type's smallest value too), a BCD
// result beyond the 64-bit scaled range, and a FLOAT result that overflows from finite operands
// raise VELDOR_SQLPARSE ("Numeric overflow in '+'", and so on): a wrapped value would be stored
// as another number.
//
// Stateless; any thread (text comparison goes through the platform's collator cache).
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/base/veldortypes.h"
#include "engine/values/veldorexptoken.h"

namespace engine {

// ---- Types ----

bool IsUnaryOperandAllowed(uint8_t code, TEngineFieldType operandType);
TEngineFieldType UnaryResultType(uint8_t code, TEngineFieldType operandType);
TEngineFieldSubType UnaryResultSubType(uint8_t code, TEngineFieldSubType operandSubType);

// The acceptance table of the binary operators (3-8, 10, 11, 17-20); false for every other
// code, for a left operand of type 0, and for a pair the table does not list.
bool IsOperandTypeAllowed(uint8_t code, TEngineFieldType leftType, TEngineFieldSubType leftSubType,
                          TEngineFieldType rightType, TEngineFieldSubType rightSubType);
// 4 for comparisons and logic; the arithmetic result type; 0 for any other combination.
TEngineFieldType BinaryResultType(uint8_t code, TEngineFieldType leftType, TEngineFieldType rightType);
// 22 for + when the left is a blob or the right a blob after a string; 21 (MONEY) for + and *
// when either side is a MONEY float, and for - and / when the left one is; else 0.
TEngineFieldSubType BinaryResultSubType(uint8_t code, TEngineFieldType leftType,
                                        TEngineFieldSubType leftSubType, TEngineFieldType rightType,
                                        TEngineFieldSubType rightSubType);
// Sets type, subtype, size (valueSize, growing the buffer) and scale of a binary operator node
// from its left and right operands. Requires: both operands present.
void SetBinaryResultType(TExpToken& node);

// ---- Evaluation ----

// An operand as the operators read it, wherever its bytes lie: in a node's value buffer, or in
// place in a record image. A text ends at its first zero byte or at `capacity`.
// Requires: `capacity` covers every byte that the operators read for `type` (FixedValueSize), and
// the bytes stay in place while the operand is used.
struct ExpOperand {
  TEngineFieldType type = TEngineFieldType::Unknown;
  TEngineFieldSubType subType = TEngineFieldSubType::None;
  uint8_t scale = 0;
  bool isNull = false;
  uint32_t valueSize = 0;
  const uint8_t* value = nullptr;
  uint32_t capacity = 0;

  // The node's own fields and value buffer, in place.
  static ExpOperand Of(const TExpToken& node);
  const uint8_t* Value() const { return value; }
  uint32_t ValueCapacity() const { return capacity; }
  std::string_view Text() const;
};

// What comparison `code` (3-8) makes of the two operands under the rules above: 1 true, 0 false,
// and -1 when their types have no rule (EvaluateBinaryOperator then leaves its result alone).
// -1 for every other code.
int CompareOperands(uint8_t code, const ExpOperand& left, const ExpOperand& right, uint16_t languageId,
                    uint16_t sortId);
// CompareOperands for two operands of the integer types (SMALLINT, INTEGER, WORD, LARGEINT) by
// their NULL flags and values.
int CompareIntegers(uint8_t code, bool leftNull, int64_t left, bool rightNull, int64_t right);
// The value of an operand of an integer type.
inline int64_t IntegerOperandValue(TEngineFieldType type, const uint8_t* value) {
  switch (type) {
    case TEngineFieldType::SmallInt:
      return GetSmallIntValue(value);
    case TEngineFieldType::Word:
      return GetWordValue(value);
    case TEngineFieldType::LargeInt:
      return GetLargeIntValue(value);
    default:
      return GetIntegerValue(value);
  }
}
// Raises the numeric overflow error of arithmetic operator `code` ("Numeric overflow in '+'").
[[noreturn]] void SignalNumericOverflow(uint8_t code);
// What + - * (`code`) of two non-NULL operands of the integer types makes of their values, as
// EvaluateBinaryOperator writes it: in 64 bits when `large` (a LARGEINT takes part), else in 32;
// a result beyond them raises the numeric overflow error (wrapped, it would be stored as another
// number).
inline int64_t IntegerArithmeticValue(uint8_t code, int64_t left, int64_t right, bool large) {
  code &= 0x7F;
  int64_t v = 0;
  if (large) {
    const bool over = code == opAdd        ? __builtin_add_overflow(left, right, &v)
                      : code == opSubtract ? __builtin_sub_overflow(left, right, &v)
                                           : __builtin_mul_overflow(left, right, &v);
    if (over) SignalNumericOverflow(code);
    return v;
  }
  // Both operands hold at most 32 bits, so the 64-bit result is exact.
  v = code == opAdd ? left + right : code == opSubtract ? left - right : left * right;
  if (v < INT32_MIN || v > INT32_MAX) SignalNumericOverflow(code);
  return v;
}
// The value that EvaluateStringEquality writes.
bool StringEqualityHolds(uint8_t code, const ExpOperand& left, const ExpOperand& right,
                         uint32_t compareLength, bool caseInsensitive, uint16_t languageId, uint16_t sortId);

// `result` is prepared by the caller: its type, subtype, size and scale are those of the rules
// above; its value bytes are written (the buffer grows for long texts) and its NULL flag set.

void EvaluateUnaryOperator(uint8_t code, const TExpToken& operand, TExpToken& result);
// languageId and sortId are the locale of text comparisons (language 0: US English).
void EvaluateBinaryOperator(uint8_t code, const TExpToken& left, const TExpToken& right, uint16_t languageId,
                            uint16_t sortId, TExpToken& result);
// = and <> of two texts, over the first compareLength bytes of each (0: whole texts, cut back to
// whole characters), ignoring case when asked. A right operand of type 0 tests the left's NULL
// flag; otherwise the NULL rules of = and <>.
void EvaluateStringEquality(uint8_t code, const TExpToken& left, const TExpToken& right,
                            uint32_t compareLength, bool caseInsensitive, uint16_t languageId,
                            uint16_t sortId, TExpToken& result);

}  // namespace engine
