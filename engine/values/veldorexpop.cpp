#include "engine/values/veldorexpop.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/base/veldorlocale.h"
#include "engine/values/veldorwholetext.h"

namespace engine {

namespace {

using T = TEngineFieldType;
using S = TEngineFieldSubType;
using int128 = __int128;

constexpr uint8_t kCodeMask = 0x7F;

constexpr bool isInt(T t) {
  return t == T::SmallInt || t == T::Integer || t == T::Word || t == T::LargeInt;
}
constexpr bool isNumber(T t) {
  return isInt(t) || t == T::Float || t == T::BCD;
}
constexpr bool isText(T t, S s) {
  return t == T::String || (t == T::Blob && s == S::Memo);
}
bool isText(const ExpOperand& n) {
  return isText(n.type, n.subType);
}
constexpr bool isDateTime(T t) {
  return t == T::Date || t == T::Time || t == T::Timestamp;
}
constexpr bool isComparison(uint8_t code) {
  return code >= opEqual && code <= opLessEqual;
}
template <typename... Ts>
constexpr bool oneOf(T t, Ts... ts) {
  return ((t == ts) || ...);
}

const char* operatorSymbol(uint8_t code) {
  switch (code) {
    case opAdd:
      return "+";
    case opSubtract:
      return "-";
    case opMultiply:
      return "*";
    case opDivide:
      return "/";
    default:
      return "-";
  }
}

[[noreturn]] void overflow(uint8_t code) {
  SignalNumericOverflow(code);
}

// ---- Reading operands ----

int64_t intValue(const ExpOperand& n) {
  return IntegerOperandValue(n.type, n.Value());
}

int64_t scaledValue(const ExpOperand& n, uint8_t code) {
  int64_t scaled = 0;
  auto r = DecodeBcdValue(n.Value(), scaled);
  if (r == TBcdDecode::Overflow || r == TBcdDecode::Malformed) overflow(code);
  return scaled;
}

long double floatValue(const ExpOperand& n, uint8_t code) {
  if (n.type == T::Float) return GetFloatValue(n.Value());
  if (n.type == T::BCD) return (long double)scaledValue(n, code) / kScaledOne;
  return (long double)intValue(n);
}

std::string_view textValue(const ExpOperand& n) {
  return n.isNull ? std::string_view() : n.Text();
}

// ---- Writing results ----

void setNull(TExpToken& r) {
  std::memset(r.Value(), 0, r.ValueCapacity());
  r.isNull = true;
}
void putBool(TExpToken& r, bool v) {
  PutWordValue(r.Value(), NormalizeBooleanValue(v ? 0xFFFF : 0));
  r.isNull = false;
}
void putInt32(TExpToken& r, int64_t v) {
  PutIntegerValue(r.Value(), int32_t(uint32_t(uint64_t(v))));
  r.isNull = false;
}
void putFloat(TExpToken& r, long double v, bool operandsFinite, uint8_t code) {
  double d = double(v);
  if (operandsFinite && !std::isfinite(d) && !std::isnan(d)) overflow(code);
  PutFloatValue(r.Value(), d);
  r.isNull = false;
}
void putDay(TExpToken& r, int128 day) {
  if (day < kMinEngineDay || day > kMaxEngineDay) return setNull(r);
  PutIntegerValue(r.Value(), int32_t(day));
  r.isNull = false;
}
int64_t wrapTime(int128 ms) {
  int128 m = ms % kMsPerDay;
  return int64_t(m < 0 ? m + kMsPerDay : m);
}
void putTime(TExpToken& r, int128 ms) {
  PutIntegerValue(r.Value(), int32_t(wrapTime(ms)));
  r.isNull = false;
}

// A timestamp rounded to whole milliseconds and split into day and time; false when it is not a
// finite value of the engine's day range.
bool splitTimestamp(double ts, int64_t& day, int64_t& ms) {
  if (!std::isfinite(ts)) return false;
  double t = std::nearbyint(ts);
  if (t < double(kMinEngineDay) * double(kMsPerDay) || t >= (double(kMaxEngineDay) + 1) * double(kMsPerDay))
    return false;
  auto whole = int64_t(t);
  day = whole / kMsPerDay;
  ms = whole % kMsPerDay;
  return true;
}
void putTimestamp(TExpToken& r, int64_t day, int64_t ms) {
  if (day < kMinEngineDay || day > kMaxEngineDay) return setNull(r);
  PutFloatValue(r.Value(), double(day) * double(kMsPerDay) + double(ms));
  r.isNull = false;
}

// a / b rounded to the nearest integer, ties to even. Requires b != 0.
int128 divideRoundEven(int128 a, int128 b) {
  if (b < 0) a = -a, b = -b;
  int128 q = a / b, rem = a % b;
  if (rem < 0) rem = -rem;
  int128 twice = rem * 2;
  if (twice > b || (twice == b && (q % 2 != 0))) q += (a < 0 ? -1 : 1);
  return q;
}

void putScaled(TExpToken& r, int128 scaled, uint8_t scale, uint8_t code) {
  if (scaled > std::numeric_limits<int64_t>::max() || scaled < -std::numeric_limits<int64_t>::max())
    overflow(code);
  EncodeBcdValue(int64_t(scaled), scale, r.Value());
  r.isNull = false;
}

// ---- Comparison ----

template <typename V>
int compareValues(V a, V b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

// -1, 0 or 1 into `cmp`; false for a pair that has no rule.
bool compareOperands(const ExpOperand& l, const ExpOperand& r, uint16_t languageId, uint16_t sortId,
                     uint8_t code, int& cmp) {
  T lt = l.type, rt = r.type;
  if (isText(l) || isText(r)) {
    cmp = OSCompareStrings(languageId, sortId, textValue(l), false, 0, textValue(r));
    return true;
  }
  if (rt == T::Unknown) rt = lt;  // the NULL constant: its zero bytes read in the left's type
  if (lt == T::Unknown) lt = rt;
  if (isNumber(lt) && isNumber(rt)) {
    auto read = [&](const ExpOperand& n, T t) { return t == n.type ? floatValue(n, code) : 0.0L; };
    if (lt == T::BCD || rt == T::BCD) {
      int128 ls = lt == T::BCD ? int128(l.type == T::BCD ? scaledValue(l, code) : 0) : 0;
      int128 rs = rt == T::BCD ? int128(r.type == T::BCD ? scaledValue(r, code) : 0) : 0;
      if (lt == T::Float || rt == T::Float) {
        long double a = lt == T::BCD ? (long double)ls : read(l, lt) * kScaledOne;
        long double b = rt == T::BCD ? (long double)rs : read(r, rt) * kScaledOne;
        cmp = compareValues(a, b);
      } else {
        int128 a = lt == T::BCD ? ls : int128(l.type == lt ? intValue(l) : 0) * kScaledOne;
        int128 b = rt == T::BCD ? rs : int128(r.type == rt ? intValue(r) : 0) * kScaledOne;
        cmp = compareValues(a, b);
      }
    } else if (lt == T::Float || rt == T::Float) {
      cmp = compareValues(read(l, lt), read(r, rt));
    } else {
      cmp = compareValues(l.type == lt ? intValue(l) : 0, r.type == rt ? intValue(r) : 0);
    }
    return true;
  }
  auto dateMs = [](const ExpOperand& n, T t) -> long double {
    if (n.type != t) return 0;
    if (t == T::Date) return (long double)GetIntegerValue(n.Value()) * kMsPerDay;
    return GetFloatValue(n.Value());
  };
  if (oneOf(lt, T::Date, T::Timestamp) && oneOf(rt, T::Date, T::Timestamp)) {
    cmp = compareValues(dateMs(l, lt), dateMs(r, rt));
    return true;
  }
  if (lt == T::Time && rt == T::Time) {
    cmp = compareValues(GetIntegerValue(l.Value()), GetIntegerValue(r.Value()));
    return true;
  }
  if (lt == T::Boolean && rt == T::Boolean) {
    cmp = (GetWordValue(l.Value()) != 0) == (GetWordValue(r.Value()) != 0) ? 0 : 1;
    return true;
  }
  if (oneOf(lt, T::Bytes, T::VarBytes) && oneOf(rt, T::Bytes, T::VarBytes)) {
    size_t n = std::min({size_t(l.valueSize), size_t(l.ValueCapacity()), size_t(r.ValueCapacity())});
    int c = std::memcmp(l.Value(), r.Value(), n);
    cmp = c < 0 ? -1 : (c > 0 ? 1 : 0);
    return true;
  }
  return false;
}

// What the NULL rules make of a comparison with a NULL operand (`leftText`: the left operand is
// text); -1 when neither is NULL.
int nullOutcome(uint8_t code, bool ln, bool rn, bool leftText) {
  if (!ln && !rn) return -1;
  if (code == opEqual || code == opNotEqual) {
    if (ln != rn) return code == opNotEqual;
    return code == opEqual;
  }
  if (leftText) return -1;  // a NULL text is the empty text
  if (ln != rn) return 0;
  // Both NULL: their zero-filled values are equal.
  return code == opGreaterEqual || code == opLessEqual;
}

// What comparison `code` makes of the order -1, 0 or 1 of its operands.
int orderOutcome(uint8_t code, int cmp) {
  switch (code) {
    case opEqual:
      return cmp == 0;
    case opNotEqual:
      return cmp != 0;
    case opGreater:
      return cmp > 0;
    case opLess:
      return cmp < 0;
    case opGreaterEqual:
      return cmp >= 0;
    default:
      return cmp <= 0;
  }
}

int comparisonOutcome(uint8_t code, const ExpOperand& l, const ExpOperand& r, uint16_t languageId,
                      uint16_t sortId) {
  const int byNull = nullOutcome(code, l.isNull, r.isNull, isText(l));
  if (byNull >= 0) return byNull;
  int cmp = 0;
  if (!compareOperands(l, r, languageId, sortId, code, cmp)) return -1;
  return orderOutcome(code, cmp);
}

// ---- Arithmetic ----

void concatenate(const ExpOperand& l, const ExpOperand& r, TExpToken& result) {
  // A memo operand gives every byte it holds: the joined memo loses none of them.
  std::string_view a = l.isNull ? std::string_view() : WholeText(l);
  std::string_view b = r.isNull ? std::string_view() : WholeText(r);
  size_t length = a.size() + b.size();
  result.ReserveValue(std::max<size_t>(length + 1, result.valueSize));
  uint8_t* p = result.Value();
  if (!a.empty()) std::memmove(p, a.data(), a.size());
  if (!b.empty()) std::memmove(p + a.size(), b.data(), b.size());
  // A memo is as long as its bytes: what stores it takes its size for the memo's length.
  if (result.type == T::Blob) result.valueSize = uint32_t(length + 1);
  std::memset(p + length, 0, result.ValueCapacity() - length);
  if (length + 1 > result.valueSize) result.valueSize = uint32_t(length + 1);
  // A NULL text reads as the empty one, so the joined text is never NULL, even when empty.
  result.isNull = false;
}

void dateArithmetic(uint8_t code, const ExpOperand& l, const ExpOperand& r, TExpToken& result) {
  if (code != opAdd && code != opSubtract) return;
  if (code == opSubtract && !isDateTime(l.type)) return;
  // The date-time operand and the integer, whichever side each is on.
  const ExpOperand& dt = isDateTime(l.type) ? l : r;
  const ExpOperand& other = isDateTime(l.type) ? r : l;
  if (isInt(other.type)) {
    int128 n = intValue(other);
    if (code == opSubtract) n = -n;
    switch (dt.type) {
      case T::Date:
        return putDay(result, GetIntegerValue(dt.Value()) + n);
      case T::Time:
        return putTime(result, GetIntegerValue(dt.Value()) + n);
      default: {
        int64_t day = 0, ms = 0;
        if (!splitTimestamp(GetFloatValue(dt.Value()), day, ms)) return setNull(result);
        int32_t days = int32_t(uint32_t(uint64_t(intValue(other))));  // a LARGEINT gives its low 32 bits
        return putTimestamp(result, code == opSubtract ? day - days : day + days, ms);
      }
    }
  }
  if (code != opSubtract) return;
  const uint8_t* a = l.Value();
  const uint8_t* b = r.Value();
  if (l.type == T::Date && r.type == T::Date)
    return putInt32(result, int64_t(GetIntegerValue(a)) - GetIntegerValue(b));
  if (l.type == T::Time && r.type == T::Time)
    return putInt32(result, int64_t(GetIntegerValue(a)) - GetIntegerValue(b));
  if (l.type != T::Timestamp) return;
  if (r.type == T::Timestamp)
    return putFloat(result, (long double)GetFloatValue(a) - GetFloatValue(b), false, code);
  int64_t day = 0, ms = 0;
  if (!splitTimestamp(GetFloatValue(a), day, ms)) return setNull(result);
  if (r.type == T::Date) return putInt32(result, day - GetIntegerValue(b));
  if (r.type == T::Time) return putInt32(result, ms - GetIntegerValue(b));
}

void integerArithmetic(uint8_t code, const ExpOperand& l, const ExpOperand& r, TExpToken& result) {
  int64_t a = intValue(l), b = intValue(r);
  if (code == opDivide) {
    if (b == 0) return setNull(result);
    return putFloat(result, (long double)a / (long double)b, true, code);
  }
  const bool large = l.type == T::LargeInt || r.type == T::LargeInt;
  const int64_t v = IntegerArithmeticValue(code, a, b, large);
  if (large)
    PutLargeIntValue(result.Value(), v);
  else
    PutIntegerValue(result.Value(), int32_t(v));
  result.isNull = false;
}

void floatArithmetic(uint8_t code, const ExpOperand& l, const ExpOperand& r, TExpToken& result) {
  // A BCD side takes part through its scaled value, as the engine has always computed it.
  bool lb = l.type == T::BCD, rb = r.type == T::BCD;
  long double a = lb ? (long double)scaledValue(l, code) : floatValue(l, code);
  long double b = rb ? (long double)scaledValue(r, code) : floatValue(r, code);
  bool finite = std::isfinite(a) && std::isfinite(b);
  long double v = 0;
  switch (code) {
    case opAdd:
    case opSubtract: {
      long double sa = lb ? a : a * kScaledOne, sb = rb ? b : b * kScaledOne;
      v = code == opAdd ? sa + sb : sa - sb;
      if (lb || rb)
        v /= kScaledOne;
      else
        v = code == opAdd ? a + b : a - b;
      break;
    }
    case opMultiply:
      v = a * b;
      if (lb || rb) v /= kScaledOne;
      break;
    default:
      if (b == 0) return setNull(result);
      v = a / b;
      if (lb) v /= kScaledOne;
      if (rb) v *= kScaledOne;
      break;
  }
  putFloat(result, v, finite, code);
}

void bcdArithmetic(uint8_t code, const ExpOperand& l, const ExpOperand& r, TExpToken& result) {
  bool lb = l.type == T::BCD, rb = r.type == T::BCD;
  int128 a = lb ? int128(scaledValue(l, code)) : int128(intValue(l));
  int128 b = rb ? int128(scaledValue(r, code)) : int128(intValue(r));
  uint8_t scale = lb ? l.scale : r.scale;
  int128 v = 0;
  switch (code) {
    case opAdd:
    case opSubtract:
      if (!lb) a *= kScaledOne;
      if (!rb) b *= kScaledOne;
      v = code == opAdd ? a + b : a - b;
      break;
    case opMultiply:
      v = lb && rb ? divideRoundEven(a * b, kScaledOne) : a * b;
      break;
    default:
      if (b == 0) return setNull(result);
      if (lb && rb)
        v = divideRoundEven(a * kScaledOne, b);
      else if (lb)
        v = divideRoundEven(a, b);
      else
        v = divideRoundEven(a * int128(100'000'000), b);
      break;
  }
  putScaled(result, v, scale, code);
}

}  // namespace

// ---- Types ----

bool IsUnaryOperandAllowed(uint8_t code, T operandType) {
  switch (code & kCodeMask) {
    case opIsNull:
    case opIsNotNull:
    case opNot:
      return operandType == T::Boolean;
    case opNegate:
      return oneOf(operandType, T::Unknown, T::Date, T::SmallInt, T::Integer, T::Float, T::BCD, T::Time,
                   T::Timestamp, T::LargeInt);
    case opPlusSign:
      return oneOf(operandType, T::Unknown, T::Date, T::SmallInt, T::Integer, T::Float, T::BCD, T::Time,
                   T::Timestamp, T::Word, T::LargeInt);
    default:
      return false;
  }
}

T UnaryResultType(uint8_t code, T operandType) {
  switch (code & kCodeMask) {
    case opIsNull:
    case opIsNotNull:
    case opNot:
      return T::Boolean;
    case opNegate:
    case opPlusSign:
      return operandType;
    default:
      return T::Unknown;
  }
}

S UnaryResultSubType(uint8_t code, S operandSubType) {
  code &= kCodeMask;
  return code == opNegate || code == opPlusSign ? operandSubType : S::None;
}

bool IsOperandTypeAllowed(uint8_t code, T l, S ls, T r, S rs) {
  code &= kCodeMask;
  if (l == T::Unknown) return false;
  bool any = r == T::Unknown;
  bool lText = isText(l, ls), rText = isText(r, rs);
  bool comparison = isComparison(code);
  if (l == T::Blob && !lText) return (comparison || code == opAdd) && any;
  auto ints = [&] { return any || isInt(r); };
  auto numbers = [&] { return any || isNumber(r); };
  switch (code) {
    case opEqual:
    case opNotEqual:
    case opGreater:
    case opLess:
    case opGreaterEqual:
    case opLessEqual: {
      bool equality = code <= opNotEqual;
      if (lText) return any || rText;
      if (oneOf(l, T::Date, T::Timestamp)) return any || oneOf(r, T::Date, T::Timestamp);
      if (isNumber(l)) return numbers();
      if (l == T::Time) return any || r == T::Time;
      if (l == T::Boolean) return equality && (any || r == T::Boolean);
      if (l == T::Bytes) return equality && (any || r == T::Bytes);
      return false;
    }
    case opAnd:
    case opOr:
      return l == T::Boolean && (any || r == T::Boolean);
    case opAdd:
      if (lText) return any || rText;
      if (isDateTime(l)) return ints();
      if (isInt(l)) return numbers() || isDateTime(r);
      if (isNumber(l)) return numbers();
      return false;
    case opSubtract:
      if (l == T::Date) return ints() || r == T::Date;
      if (l == T::Time) return ints() || r == T::Time;
      if (l == T::Timestamp) return ints() || isDateTime(r);
      return isNumber(l) && numbers();
    case opMultiply:
    case opDivide:
      return isNumber(l) && numbers();
    default:
      return false;
  }
}

T BinaryResultType(uint8_t code, T l, T r) {
  code &= kCodeMask;
  if (isComparison(code) || code == opAnd || code == opOr) return T::Boolean;
  if (code < opAdd || code > opDivide) return T::Unknown;
  if (code == opAdd) {
    if (l == T::String) return oneOf(r, T::String, T::Blob) ? r : T::Unknown;
    if (l == T::Blob) return oneOf(r, T::String, T::Blob) ? T::Blob : T::Unknown;
    if (isDateTime(l)) return isInt(r) ? l : T::Unknown;
    if (isInt(l) && isDateTime(r)) return r;
  }
  if (code == opSubtract && isDateTime(l)) {
    if (isInt(r)) return l;
    if (l == T::Date) return r == T::Date ? T::Integer : T::Unknown;
    if (l == T::Time) return r == T::Time ? T::Integer : T::Unknown;
    if (oneOf(r, T::Date, T::Time)) return T::Integer;
    return r == T::Timestamp ? T::Float : T::Unknown;
  }
  if (!isNumber(l) || !isNumber(r)) return T::Unknown;
  if (l == T::Float) return T::Float;
  if (l == T::BCD) return r == T::Float ? T::Float : T::BCD;
  if (code == opDivide) return r == T::BCD ? T::BCD : T::Float;
  if (r == T::Float || r == T::BCD) return r;
  if (l == T::LargeInt || r == T::LargeInt) return T::LargeInt;
  return T::Integer;
}

S BinaryResultSubType(uint8_t code, T l, S ls, T r, S rs) {
  code &= kCodeMask;
  if (code == opAdd && (l == T::Blob || (l == T::String && r == T::Blob))) return S::Memo;
  bool lMoney = l == T::Float && ls == S::Money, rMoney = r == T::Float && rs == S::Money;
  if ((code == opAdd || code == opMultiply) && ((lMoney && isNumber(r)) || (rMoney && isNumber(l))))
    return S::Money;
  if ((code == opSubtract || code == opDivide) && lMoney && isNumber(r)) return S::Money;
  return S::None;
}

void SetBinaryResultType(TExpToken& node) {
  const TExpToken& l = *node.left;
  const TExpToken& r = *node.right;
  node.type = BinaryResultType(node.code, l.type, r.type);
  node.subType = BinaryResultSubType(node.code, l.type, l.subType, r.type, r.subType);
  node.scale = 0;
  uint32_t size = 0;
  if ((node.code & kCodeMask) == opAdd && oneOf(l.type, T::String, T::Blob) &&
      oneOf(r.type, T::String, T::Blob)) {
    size = l.valueSize + r.valueSize > 0 ? l.valueSize + r.valueSize - 1 : 0;
  } else {
    switch (node.type) {
      case T::String:
        size = std::max(l.valueSize, r.valueSize);
        break;
      case T::BCD:
        size = uint32_t(kBcdSize);
        node.scale = std::max(l.scale, r.scale);
        break;
      default:
        size = uint32_t(FixedValueSize(node.type));
        break;
    }
  }
  node.SetValueSize(size);
}

// ---- Evaluation ----

void EvaluateUnaryOperator(uint8_t code, const TExpToken& operand, TExpToken& result) {
  code &= kCodeMask;
  const uint8_t* p = operand.Value();
  switch (code) {
    case opIsNull:
      return putBool(result, operand.isNull);
    case opIsNotNull:
      return putBool(result, !operand.isNull);
    case opNot:
      return putBool(result, GetWordValue(p) == 0);
    case opNegate:
    case opPlusSign:
      break;
    default:
      return;
  }
  if (operand.isNull) return setNull(result);
  bool negate = code == opNegate;
  uint8_t* out = result.Value();
  switch (operand.type) {
    // The smallest value of a signed type has no negative in that type.
    case T::SmallInt:
      if (negate && GetSmallIntValue(p) == INT16_MIN) overflow(code);
      PutSmallIntValue(out, negate ? int16_t(-GetSmallIntValue(p)) : GetSmallIntValue(p));
      break;
    case T::Word:
      PutWordValue(out, negate ? uint16_t(0u - GetWordValue(p)) : GetWordValue(p));
      break;
    case T::Integer:
      if (negate && GetIntegerValue(p) == INT32_MIN) overflow(code);
      PutIntegerValue(out, negate ? -GetIntegerValue(p) : GetIntegerValue(p));
      break;
    case T::LargeInt:
      if (negate && GetLargeIntValue(p) == INT64_MIN) overflow(code);
      PutLargeIntValue(out, negate ? -GetLargeIntValue(p) : GetLargeIntValue(p));
      break;
    case T::Float:
      PutFloatValue(out, negate ? -GetFloatValue(p) : GetFloatValue(p));
      break;
    case T::Date:
      return putDay(result, negate ? -int64_t(GetIntegerValue(p)) : GetIntegerValue(p));
    case T::Time:
      return putTime(result, negate ? -int128(GetIntegerValue(p)) : GetIntegerValue(p));
    case T::Timestamp: {
      double ts = negate ? -GetFloatValue(p) : GetFloatValue(p);
      int64_t day = 0, ms = 0;
      if (!splitTimestamp(ts, day, ms)) return setNull(result);
      PutFloatValue(out, ts);
      break;
    }
    case T::BCD: {
      int64_t scaled = scaledValue(ExpOperand::Of(operand), code);
      return putScaled(result, negate ? -int128(scaled) : int128(scaled), operand.scale, code);
    }
    default:
      return;
  }
  result.isNull = false;
}

void EvaluateBinaryOperator(uint8_t code, const TExpToken& left, const TExpToken& right, uint16_t languageId,
                            uint16_t sortId, TExpToken& result) {
  code &= kCodeMask;
  const ExpOperand l = ExpOperand::Of(left), r = ExpOperand::Of(right);
  if (isComparison(code)) {
    int outcome = comparisonOutcome(code, l, r, languageId, sortId);
    if (outcome >= 0) putBool(result, outcome != 0);
    return;
  }
  if (code == opAnd || code == opOr) {
    bool a = GetWordValue(left.Value()) != 0, b = GetWordValue(right.Value()) != 0;
    return putBool(result, code == opAnd ? a && b : a || b);
  }
  if (code < opAdd || code > opDivide) return;
  if (code == opAdd && (isText(l) || isText(r))) return concatenate(l, r, result);
  if (left.isNull || right.isNull) return setNull(result);
  if (isDateTime(l.type) || isDateTime(r.type)) return dateArithmetic(code, l, r, result);
  if (!isNumber(l.type) || !isNumber(r.type)) return;
  if (l.type == T::Float || r.type == T::Float) return floatArithmetic(code, l, r, result);
  if (l.type == T::BCD || r.type == T::BCD) return bcdArithmetic(code, l, r, result);
  integerArithmetic(code, l, r, result);
}

int CompareOperands(uint8_t code, const ExpOperand& left, const ExpOperand& right, uint16_t languageId,
                    uint16_t sortId) {
  code &= kCodeMask;
  return isComparison(code) ? comparisonOutcome(code, left, right, languageId, sortId) : -1;
}

int CompareIntegers(uint8_t code, bool leftNull, int64_t left, bool rightNull, int64_t right) {
  code &= kCodeMask;
  if (!isComparison(code)) return -1;
  const int byNull = nullOutcome(code, leftNull, rightNull, false);
  return byNull >= 0 ? byNull : orderOutcome(code, compareValues(left, right));
}

void SignalNumericOverflow(uint8_t code) {
  SignalEngineError(VELDOR_SQLPARSE, "", "", "", "", "", "",
                    std::string("Numeric overflow in '") + operatorSymbol(code & kCodeMask) + "'");
}

bool StringEqualityHolds(uint8_t code, const ExpOperand& left, const ExpOperand& right,
                         uint32_t compareLength, bool caseInsensitive, uint16_t languageId, uint16_t sortId) {
  code &= kCodeMask;
  bool wantEqual = code == opEqual;
  if (right.type == T::Unknown) return left.isNull == wantEqual;
  if (left.isNull != right.isNull) return !wantEqual;
  if (left.isNull) return wantEqual;
  int cmp = OSCompareStrings(languageId, sortId, left.Text(), caseInsensitive, compareLength, right.Text());
  return (cmp == 0) == wantEqual;
}

void EvaluateStringEquality(uint8_t code, const TExpToken& left, const TExpToken& right,
                            uint32_t compareLength, bool caseInsensitive, uint16_t languageId,
                            uint16_t sortId, TExpToken& result) {
  putBool(result, StringEqualityHolds(code, ExpOperand::Of(left), ExpOperand::Of(right), compareLength,
                                      caseInsensitive, languageId, sortId));
}

// ---- Operands ----

ExpOperand ExpOperand::Of(const TExpToken& node) {
  return ExpOperand{node.type,      node.subType, node.scale,          node.isNull,
                    node.valueSize, node.Value(), node.ValueCapacity()};
}

std::string_view ExpOperand::Text() const {
  const char* p = reinterpret_cast<const char*>(value);
  return std::string_view(p, strnlen(p, capacity));
}

}  // namespace engine
