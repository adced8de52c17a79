#include "engine/values/veldorexpop.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <random>
#include <set>
#include <string>

#include "engine/base/veldorerr.h"
#include "tests/engine/storage/storage_test_util.h"

namespace engine {
namespace {

using T = TEngineFieldType;
using S = TEngineFieldSubType;
using Set = std::initializer_list<int>;

// Operand kinds of the tables: a type code, or kMemo / kMoney.
constexpr int kMemo = 100, kMoney = 101;
T typeOf(int k) {
  return k == kMemo ? T::Blob : k == kMoney ? T::Float : T(k);
}
S subTypeOf(int k) {
  return k == kMemo ? S::Memo : k == kMoney ? S::Money : S::None;
}

struct Rule {
  Set codes, left, right;
  int result;  // for the result-type table
};

// Which right operands each operator accepts after which left operand.
const Rule kAccepted[] = {
    {{3, 4}, {1, kMemo}, {0, 1, kMemo}, 0},
    {{3, 4}, {2, 11}, {0, 2, 11}, 0},
    {{3, 4}, {4}, {0, 4}, 0},
    {{3, 4, 5, 6, 7, 8}, {5, 6, 7, kMoney, 8, 12, 18}, {0, 5, 6, 7, kMoney, 8, 12, 18}, 0},
    {{3, 4}, {9}, {0, 9}, 0},
    {{3, 4, 5, 6, 7, 8}, {10}, {0, 10}, 0},
    {{5, 6, 7, 8}, {1, kMemo}, {0, 1, kMemo}, 0},
    {{5, 6, 7, 8}, {2, 11}, {0, 2, 11}, 0},
    {{10, 11}, {4}, {0, 4}, 0},
    {{17}, {1, kMemo}, {0, 1, kMemo}, 0},
    {{17}, {2, 10, 11}, {0, 5, 6, 12, 18}, 0},
    {{17}, {5, 6, 12, 18}, {0, 2, 5, 6, 7, kMoney, 8, 10, 11, 12, 18}, 0},
    {{17}, {7, kMoney, 8}, {0, 5, 6, 7, kMoney, 8, 12, 18}, 0},
    {{18}, {2}, {0, 2, 5, 6, 12, 18}, 0},
    {{18}, {10}, {0, 5, 6, 10, 12, 18}, 0},
    {{18}, {11}, {0, 2, 5, 6, 10, 11, 12, 18}, 0},
    {{18, 19, 20}, {5, 6, 7, kMoney, 8, 12, 18}, {0, 5, 6, 7, kMoney, 8, 12, 18}, 0},
    {{3, 4, 5, 6, 7, 8, 17}, {3}, {0}, 0},  // a blob that is no memo
};

// Result types of the arithmetic operators (comparisons and logic give 4 whatever the operands).
const Rule kResults[] = {
    {{17}, {1}, {1}, 1},
    {{17}, {1}, {3}, 3},
    {{17}, {3}, {1, 3}, 3},
    {{17}, {2}, {5, 6, 12, 18}, 2},
    {{17}, {10}, {5, 6, 12, 18}, 10},
    {{17}, {11}, {5, 6, 12, 18}, 11},
    {{17}, {5, 6, 12, 18}, {2}, 2},
    {{17}, {5, 6, 12, 18}, {10}, 10},
    {{17}, {5, 6, 12, 18}, {11}, 11},
    {{17, 18, 19}, {5, 6, 12}, {5, 6, 12}, 6},
    {{17, 18, 19}, {5, 6, 12, 18}, {7}, 7},
    {{17, 18, 19}, {5, 6, 12, 18}, {8}, 8},
    {{17, 18, 19}, {5, 6, 12}, {18}, 18},
    {{17, 18, 19}, {18}, {5, 6, 12, 18}, 18},
    {{17, 18, 19, 20}, {7}, {5, 6, 7, 8, 12, 18}, 7},
    {{17, 18, 19, 20}, {8}, {7}, 7},
    {{17, 18, 19, 20}, {8}, {5, 6, 8, 12, 18}, 8},
    {{18}, {2}, {2}, 6},
    {{18}, {2}, {5, 6, 12, 18}, 2},
    {{18}, {10}, {10}, 6},
    {{18}, {10}, {5, 6, 12, 18}, 10},
    {{18}, {11}, {2, 10}, 6},
    {{18}, {11}, {11}, 7},
    {{18}, {11}, {5, 6, 12, 18}, 11},
    {{20}, {5, 6, 12, 18}, {8}, 8},
    {{20}, {5, 6, 12, 18}, {5, 6, 7, 12, 18}, 7},
};

bool in(Set s, int v) {
  for (int x : s)
    if (x == v) return true;
  return false;
}

TEST(OperatorTypeTest, AcceptanceAndResultTypesFollowTheOperatorTables) {
  std::vector<int> kinds{kMemo, kMoney};
  for (int t = 0; t < 20; ++t) kinds.push_back(t);
  for (int code = 0; code < 0x100; ++code) {
    int c = code & 0x7F;
    for (int l : kinds)
      for (int r : kinds) {
        bool accepted = false;
        int result = (c >= 3 && c <= 8) || c == 10 || c == 11 ? 4 : 0;
        for (const Rule& rule : kAccepted)
          accepted |= in(rule.codes, c) && in(rule.left, l) && in(rule.right, r);
        for (const Rule& rule : kResults)
          if (in(rule.codes, c) && in(rule.left, int(typeOf(l))) && in(rule.right, int(typeOf(r))))
            result = rule.result;
        SCOPED_TRACE(testing::Message() << "code " << code << " left " << l << " right " << r);
        ASSERT_EQ(IsOperandTypeAllowed(uint8_t(code), typeOf(l), subTypeOf(l), typeOf(r), subTypeOf(r)),
                  accepted);
        ASSERT_EQ(int(BinaryResultType(uint8_t(code), typeOf(l), typeOf(r))), result);
      }
  }
  // MONEY follows a MONEY float through + and * from either side, through - and / from the left.
  EXPECT_EQ(BinaryResultSubType(opSubtract, T::Float, S::Money, T::Float, S::None), S::Money);
  EXPECT_EQ(BinaryResultSubType(opSubtract, T::Float, S::None, T::Float, S::Money), S::None);
  EXPECT_EQ(BinaryResultSubType(opMultiply, T::Integer, S::None, T::Float, S::Money), S::Money);
  EXPECT_EQ(BinaryResultSubType(opAdd, T::String, S::None, T::Blob, S::Memo), S::Memo);
}

// ---- Evaluation ----

TExpTreePtr node(T type, S subType = S::None) {
  TExpTreePtr n(GetExpToken());
  n->kind = expConstant;
  n->type = type;
  n->subType = subType;
  n->SetValueSize(uint32_t(FixedValueSize(type)));
  return n;
}
TExpTreePtr num(T type, int64_t v, uint8_t scale = 2) {
  auto n = node(type);
  switch (type) {
    case T::SmallInt:
    case T::Word:
      PutWordValue(n->Value(), uint16_t(v));
      break;
    case T::LargeInt:
      PutLargeIntValue(n->Value(), v);
      break;
    case T::Float:
    case T::Timestamp:
      PutFloatValue(n->Value(), double(v));
      break;
    case T::BCD:  // v is the scaled value
      n->scale = scale;
      EncodeBcdValue(v, scale, n->Value());
      break;
    default:
      PutIntegerValue(n->Value(), int32_t(v));
  }
  return n;
}
TExpTreePtr text(const char* s) {
  auto n = node(T::String);
  n->SetText(s);
  return n;
}
TExpTreePtr null(T type) {
  auto n = node(type);
  n->isNull = true;
  return n;
}

// The result node of `code` on the two operands, typed as the type check would type it.
TExpTreePtr apply(uint8_t code, const TExpTreePtr& l, const TExpTreePtr& r) {
  TExpToken op;
  op.code = code;
  op.left = l.get();
  op.right = r.get();
  SetBinaryResultType(op);
  TExpTreePtr result(GetExpToken());
  result->Assign(op);
  result->left = result->right = nullptr;
  EvaluateBinaryOperator(code, *l, *r, 0, 0, *result);
  return result;
}
// The code and text of the engine error that `f` raises; "none" when it raises none.
std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EVELDOREngineError& e) {
    return std::to_string(e.ErrorCode()) + " " + e.ErrorText();
  }
  return "none";
}
// What a BCD result of `code` past the BCD range raises.
std::string overflowOf(uint8_t code) {
  const int64_t half = INT64_MAX / 2;
  return errorOf([&] {
    if (code == opMultiply)
      apply(code, num(T::BCD, half), num(T::Integer, 4));
    else
      apply(code, num(T::BCD, code == opSubtract ? -half : half, 4), num(T::BCD, half + 2, 4));
  });
}
bool truth(const TExpTreePtr& n) {
  return GetWordValue(n->Value()) != 0;
}
int64_t asInt(const TExpTreePtr& n) {
  return n->type == T::LargeInt ? GetLargeIntValue(n->Value()) : GetIntegerValue(n->Value());
}

// Random numbers of every numeric type, compared and combined against exact wide arithmetic: an
// integer result is exact in its width, and one past its width is refused, never wrapped.
TEST(OperatorEvaluationTest, NumbersCompareExactlyAndIntegerResultsPastTheirWidthAreRefused) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937_64 rng(seed);
  const T types[] = {T::SmallInt, T::Word, T::Integer, T::LargeInt, T::BCD, T::Float};
  auto pick = [&](T t) -> std::pair<TExpTreePtr, __int128> {  // the node and its value x 10,000
    int64_t v = int64_t(rng()) >> (rng() % 62);
    if (rng() % 4 == 0) v = int64_t(rng() % 7) - 3;
    switch (t) {
      case T::SmallInt:
        v = int16_t(v);
        break;
      case T::Word:
        v = uint16_t(v);
        break;
      case T::Integer:
        v = int32_t(v);
        break;
      case T::Float:
        v = v >> 12;  // exact as a double
        break;
      case T::BCD:
        return {num(t, v, 4), v};
      default:
        break;
    }
    return {num(t, v), __int128(v) * 10000};
  };
  for (int i = 0; i < 20000; ++i) {
    T lt = types[rng() % 6], rt = types[rng() % 6];
    auto [l, a] = pick(lt);
    auto [r, b] = pick(rt);
    SCOPED_TRACE(testing::Message() << "seed " << seed << " case " << i << " types " << int(lt) << " "
                                    << int(rt));
    ASSERT_EQ(truth(apply(opLess, l, r)), a < b);
    ASSERT_EQ(truth(apply(opEqual, l, r)), a == b);
    ASSERT_EQ(truth(apply(opGreaterEqual, l, r)), a >= b);
    if (lt == T::BCD || rt == T::BCD || lt == T::Float || rt == T::Float) continue;
    bool wide = lt == T::LargeInt || rt == T::LargeInt;
    const __int128 lowest = wide ? INT64_MIN : INT32_MIN, highest = wide ? INT64_MAX : INT32_MAX;
    __int128 x = a / 10000, y = b / 10000;
    const std::pair<uint8_t, __int128> exact[] = {{opAdd, x + y}, {opSubtract, x - y}, {opMultiply, x * y}};
    for (auto [code, v] : exact) {
      if (v >= lowest && v <= highest) {
        ASSERT_EQ(asInt(apply(code, l, r)), int64_t(v)) << int(code);
      } else {
        ASSERT_EQ(errorOf([&] { apply(code, l, r); }), overflowOf(code)) << int(code);
      }
    }
    auto q = apply(opDivide, l, r);
    ASSERT_EQ(q->isNull, y == 0);
    if (y != 0) {
      ASSERT_EQ(GetFloatValue(q->Value()), double((long double)x / (long double)y));
    }
  }
  EXPECT_EQ(ExpTokensInUse(), 0);
}

// Unary minus keeps its operand's type: the smallest value of a signed type has no negative
// there. The error is the one a BCD or FLOAT past its range raises.
TEST(OperatorEvaluationTest, TheNegativeOfATypesSmallestValueIsRefused) {
  ASSERT_NE(overflowOf(opSubtract), "none");
  auto negate = [](const TExpTreePtr& x) {
    TExpTreePtr result(GetExpToken());
    result->type = x->type;
    result->SetValueSize(x->valueSize);
    EvaluateUnaryOperator(opNegate, *x, *result);
    return result;
  };
  const std::pair<T, int64_t> smallest[] = {
      {T::SmallInt, INT16_MIN}, {T::Integer, INT32_MIN}, {T::LargeInt, INT64_MIN}};
  for (auto [type, v] : smallest) {
    EXPECT_EQ(errorOf([&] { negate(num(type, v)); }), overflowOf(opSubtract)) << int(type);
    // One above it, and the largest, negate exactly.
    auto above = negate(num(type, v + 1));
    auto largest = negate(num(type, -(v + 1)));
    if (type == T::SmallInt) {
      EXPECT_EQ(GetSmallIntValue(above->Value()), -(v + 1));
      EXPECT_EQ(GetSmallIntValue(largest->Value()), v + 1);
    } else {
      EXPECT_EQ(asInt(above), -(v + 1)) << int(type);
      EXPECT_EQ(asInt(largest), v + 1) << int(type);
    }
  }
  EXPECT_EQ(ExpTokensInUse(), 0);
}

TEST(OperatorEvaluationTest, NullRulesOfComparisonsArithmeticAndLogic) {
  auto one = num(T::Integer, 1);
  auto nul = null(T::Integer);
  // = <> > < >= <= for (value, value), (value, NULL), (NULL, value), (NULL, NULL).
  const bool expected[6][4] = {{true, false, false, true},   {false, true, true, false},
                               {false, false, false, false}, {false, false, false, false},
                               {true, false, false, true},   {true, false, false, true}};
  for (uint8_t code = opEqual; code <= opLessEqual; ++code)
    for (int k = 0; k < 4; ++k) {
      auto r = apply(code, k & 2 ? nul : one, k & 1 ? nul : one);
      EXPECT_EQ(truth(r), expected[code - opEqual][k]) << int(code) << " " << k;
      EXPECT_FALSE(r->isNull);
    }
  for (uint8_t code = opAdd; code <= opDivide; ++code) EXPECT_TRUE(apply(code, one, nul)->isNull);
  // A NULL text is the empty text under <, <=, >= and concatenation, but not under =.
  auto empty = null(T::String);
  EXPECT_TRUE(truth(apply(opLess, empty, text("a"))));
  EXPECT_TRUE(truth(apply(opLessEqual, empty, text(""))) && truth(apply(opGreaterEqual, empty, text(""))));
  EXPECT_FALSE(truth(apply(opEqual, empty, text(""))));
  EXPECT_EQ(apply(opAdd, text("ab"), empty)->Text(), "ab");
  // is NULL, NOT and the string equality against the NULL constant.
  TExpTreePtr result(GetExpToken());
  EvaluateUnaryOperator(opIsNull, *nul, *result);
  EXPECT_TRUE(truth(result) && !result->isNull);
  EvaluateUnaryOperator(opNegate, *nul, *result);
  EXPECT_TRUE(result->isNull);
  EvaluateStringEquality(opEqual, *empty, *null(T::Unknown), 0, false, 0, 0, *result);
  EXPECT_TRUE(truth(result));
  EvaluateStringEquality(opNotEqual, *text("Abc"), *text("aBd"), 2, true, 0, 0, *result);
  EXPECT_FALSE(truth(result));
}

TEST(OperatorEvaluationTest, TextDateAndDecimalResults) {
  EXPECT_FALSE(truth(apply(opEqual, text("a"), text("A"))));
  EXPECT_FALSE(truth(apply(opEqual, text("a "), text("a"))));
  EXPECT_TRUE(truth(apply(opEqual, text("\xC3\xA9t\xC3\xA9"), text("ete"))));  // accents ignored

  // BCD 1.00 / 3 is 0.33 with scale 2; a product beyond the 64-bit scaled range is an error.
  int64_t scaled = 0;
  DecodeBcdValue(apply(opDivide, num(T::BCD, 10000), num(T::Integer, 3))->Value(), scaled);
  EXPECT_EQ(scaled, 3300);
  DecodeBcdValue(apply(opMultiply, num(T::BCD, 15000), num(T::BCD, -25000))->Value(), scaled);
  EXPECT_EQ(scaled, -37500);
  EXPECT_TRUE(apply(opDivide, num(T::BCD, 10000), num(T::BCD, 0))->isNull);
  EXPECT_THROW(apply(opMultiply, num(T::BCD, INT64_MAX / 2), num(T::Integer, 4)), EVELDOREngineError);
  auto huge = node(T::Float);
  PutFloatValue(huge->Value(), 1e308);
  EXPECT_THROW(apply(opMultiply, huge, num(T::Integer, 10)), EVELDOREngineError);

  // Dates: differences, a day later, the ends of the calendar give NULL, times wrap in the day.
  auto day = [](int32_t d) { return num(T::Date, d); };
  EXPECT_EQ(asInt(apply(opSubtract, day(730547), day(730519))), 28);
  EXPECT_EQ(GetIntegerValue(apply(opAdd, num(T::Integer, 1), day(730519))->Value()), 730520);
  EXPECT_TRUE(apply(opSubtract, day(1), num(T::Integer, 1))->isNull);
  EXPECT_TRUE(apply(opAdd, day(kMaxEngineDay), num(T::LargeInt, 1))->isNull);
  EXPECT_EQ(GetIntegerValue(apply(opAdd, num(T::Time, 86399000), num(T::Integer, 2000))->Value()), 1000);
  EXPECT_EQ(GetIntegerValue(apply(opSubtract, num(T::Time, 0), num(T::Integer, 1))->Value()), 86399999);
  auto ts = num(T::Timestamp, int64_t(730519) * kMsPerDay + 5);
  EXPECT_EQ(GetFloatValue(apply(opAdd, ts, num(T::SmallInt, 1))->Value()), double(730520 * kMsPerDay + 5));
  EXPECT_EQ(asInt(apply(opSubtract, ts, num(T::Time, 2))), 3);
  EXPECT_TRUE(apply(opSubtract, ts, num(T::Integer, 730519))->isNull);
}

}  // namespace
}  // namespace engine
