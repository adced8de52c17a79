#include "engine/values/veldorexpeval.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/base/veldorlocale.h"
#include "engine/values/veldorexpop.h"
#include "engine/values/veldorvalues.h"
#include "engine/values/veldorwholetext.h"
#include "platform/collation.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace engine {

using platform::ScopeExit;

namespace {

using T = TEngineFieldType;
using S = TEngineFieldSubType;

template <typename Node>
bool isText(const Node& n) {
  return n.type == T::String || (n.type == T::Blob && n.subType == S::Memo);
}
bool isNumber(T t) {
  return t == T::SmallInt || t == T::Integer || t == T::Word || t == T::LargeInt || t == T::Float ||
         t == T::BCD;
}
bool isContinuation(char c) {
  return (uint8_t(c) & 0xC0) == 0x80;
}
// Byte offset of character `index` (0-based) of the text, or its size when it has fewer.
size_t characterOffset(std::string_view text, int64_t index) {
  size_t pos = 0;
  for (; index > 0 && pos < text.size(); --index) {
    ++pos;
    while (pos < text.size() && isContinuation(text[pos])) ++pos;
  }
  return pos;
}
int64_t characterCount(std::string_view text) {
  return std::count_if(text.begin(), text.end(), [](char c) { return !isContinuation(c); });
}

void setNull(TExpToken& r) {
  std::memset(r.Value(), 0, r.ValueCapacity());
  r.isNull = true;
}
void putBool(TExpToken& r, bool v) {
  PutWordValue(r.Value(), NormalizeBooleanValue(v));
  r.isNull = false;
}
void putInteger(TExpToken& r, int64_t v) {
  PutIntegerValue(r.Value(), int32_t(v));
  r.isNull = false;
}
// A text result; an empty one is NULL. A memo is as long as its text: what stores it takes its
// size for the memo's length.
void putText(TExpToken& r, std::string_view text) {
  uint32_t declared = r.type == T::Blob ? 0 : r.valueSize;
  r.ReserveValue(text.size() + 1);
  std::memset(r.Value(), 0, r.ValueCapacity());
  if (!text.empty()) std::memcpy(r.Value(), text.data(), text.size());
  r.valueSize = std::max<uint32_t>(declared, uint32_t(text.size() + 1));
  r.isNull = text.empty();
}
// The value bytes and NULL flag of `from` into `to`; a blob takes the size of `from`'s bytes.
void putValue(TExpToken& to, const TExpToken& from) {
  to.ReserveValue(from.ValueCapacity());
  std::memcpy(to.Value(), from.Value(), from.ValueCapacity());
  std::memset(to.Value() + from.ValueCapacity(), 0, to.ValueCapacity() - from.ValueCapacity());
  to.valueSize = to.type == T::Blob ? from.valueSize : std::max(to.valueSize, from.valueSize);
  to.isNull = from.isNull;
}

// UPPER or LOWER of `a` into `r`.
void changeCase(uint8_t code, const TExpToken& a, TExpToken& r, uint16_t languageId, uint16_t sortId) {
  if (a.isNull) return setNull(r);
  // An all-ASCII text under a locale that maps ASCII letters alone is mapped in place; a memo's
  // zero bytes map to themselves.
  const std::string_view whole = WholeText(a);
  if (std::all_of(whole.begin(), whole.end(), [](char c) { return uint8_t(c) < 0x80; }) &&
      platform::mapsAsciiCaseAlone(platform::makeLocaleId(languageId, sortId))) {
    putText(r, whole);
    char* p = reinterpret_cast<char*>(r.Value());
    for (size_t i = 0; i < whole.size(); ++i)
      p[i] = code == fnUpper ? platform::asciiUpper(p[i]) : platform::asciiLower(p[i]);
    r.isNull = false;
    return;
  }
  // A memo's zero bytes are its own: each run between them is mapped, and they stay in place.
  std::string s;
  for (size_t begin = 0;;) {
    const size_t end = std::min(whole.find('\0', begin), whole.size());
    std::string run(whole.substr(begin, end - begin));
    if (code == fnUpper)
      OSUpperCase(languageId, sortId, run);
    else
      OSLowerCase(languageId, sortId, run);
    s += run;
    if (end == whole.size()) break;
    s += '\0';
    begin = end + 1;
  }
  // Case mapping keeps what it maps: the empty text of a concatenation stays a text.
  putText(r, s);
  r.isNull = false;
}

struct Evaluator {
  void* data1;
  void* data2;
  uint16_t sortId, languageId;
  TColumnReader reader;

  using Result = TExpTreePtr;

  // The node that evaluating `n` fills: what operators, functions and readers read of `n` (name,
  // codes, type, size, scale, NULL flag, column binding and value), without its links. Runs per node and
  // record, so only the value bytes in use are copied (a pool node comes zero-filled), and none
  // for a column that the reader fills.
  static void prime(const TExpToken& n, TExpToken& r, bool readerFills) {
    r.code = n.code;
    r.optimisationLevel = n.optimisationLevel;
    r.fieldNo = n.fieldNo;
    r.subSelect = n.subSelect;
    r.sourceTable = n.sourceTable;
    r.isNull = n.isNull;
    r.isParameter = n.isParameter;
    r.compareLength = n.compareLength;
    r.caseInsensitive = n.caseInsensitive;
    r.type = n.type;
    r.subType = n.subType;
    r.scale = n.scale;
    r.wasQuotedText = n.wasQuotedText;
    r.savedType = n.savedType;
    r.savedSubType = n.savedSubType;
    r.savedSize = n.savedSize;
    r.savedScale = n.savedScale;
    r.onClause = n.onClause;
    r.joinMark = n.joinMark;
    r.name = n.name;
    if (n.kind == expColumn || n.kind == expSubSelect) {
      r.columnName = n.columnName;
      r.tableName = n.tableName;
    }
    r.ReserveValue(n.ValueCapacity());
    if (!readerFills) std::memcpy(r.Value(), n.Value(), std::min<size_t>(n.valueSize, n.ValueCapacity()));
    r.valueSize = n.valueSize;
  }

  Result eval(const TExpToken& n) const {
    Result r(GetExpToken());
    prime(n, *r, reader && n.kind == expColumn);
    r->kind = n.kind == expSubSelect ? expColumn : expConstant;
    switch (n.kind) {
      case expUnary: {
        Result op = eval(*n.left);
        EvaluateUnaryOperator(n.code, *op, *r);
        break;
      }
      case expBinary:
        return binary(n, std::move(r));
      case expKeyCompare: {
        Result lh, rh;
        const TExpToken &l = operand(*n.left, lh), &rv = operand(*n.right, rh);
        if (isText(l))
          EvaluateStringEquality(n.code, l, rv, n.compareLength, n.caseInsensitive, languageId, sortId, *r);
        else
          EvaluateBinaryOperator(n.code, l, rv, languageId, sortId, *r);
        break;
      }
      case expColumn:
        if (reader) {
          r->kind = expColumn;
          reader(data2, data1, *r);
          r->kind = expConstant;
        } else if (!n.wasQuotedText) {
          SignalEngineError(VELDOR_SQLPARSE, "", "", "", "", "", "",
                            "Internal error: Column '" + n.columnName + "'" + " specified illegally");
        }
        break;
      case expFunction:
        function(n, *r);
        break;
      case expPredicate:
        predicate(n, *r);
        break;
      default:
        break;
    }
    return r;
  }

  Result binary(const TExpToken& n, Result r) const {
    if (n.code == opAnd || n.code == opOr) {
      Result right = eval(*n.right);
      bool value = GetWordValue(right->Value()) != 0;
      if ((n.code == opAnd && !value) || (n.code == opOr && value)) return right;
      Result left = eval(*n.left);
      EvaluateBinaryOperator(n.code, *left, *right, languageId, sortId, *r);
      return r;
    }
    Result lh, rh;
    const TExpToken &l = operand(*n.left, lh), &rv = operand(*n.right, rh);
    EvaluateBinaryOperator(n.code, l, rv, languageId, sortId, *r);
    return r;
  }

  // An operand's value: a constant is read in place (its node holds what an evaluation would
  // copy), anything else is evaluated into `holder`.
  const TExpToken& operand(const TExpToken& n, Result& holder) const {
    if (n.kind == expConstant) return n;
    holder = eval(n);
    return *holder;
  }

  std::string text(const TExpToken& n) const { return n.isNull ? std::string() : std::string(n.Text()); }

  void function(const TExpToken& n, TExpToken& r) const {
    auto arg = [&](size_t i) { return eval(*n.args[i]); };
    switch (n.code) {
      case fnSum:
      case fnRunSum:
      case fnCount:
      case fnMin:
      case fnMax:
      case fnAvg:
        return putValue(r, *arg(0));
      case fnUpper:
      case fnLower:
        return changeCase(n.code, *arg(0), r, languageId, sortId);
      case fnSubstring: {
        Result x = arg(0), from = arg(1);
        Result count = n.args.size() > 2 ? arg(2) : nullptr;
        if (x->isNull || from->isNull || (count && count->isNull)) return setNull(r);
        std::string s(WholeText(*x));
        int64_t start = std::max<int64_t>(GetIntegerValue(from->Value()), 1) - 1;
        int64_t length = count ? GetIntegerValue(count->Value()) : characterCount(s);
        if (length <= 0) return setNull(r);
        size_t begin = characterOffset(s, start);
        size_t end = begin + characterOffset(std::string_view(s).substr(begin), length);
        return putText(r, std::string_view(s).substr(begin, end - begin));
      }
      case fnReplace: {
        Result c = arg(2);
        if (c->isNull) return setNull(r);
        return putText(r, StrReplaceAll(text(*arg(0)), text(*arg(1)), WholeText(*c)));
      }
      case fnPos:
      case fnOccurs: {
        Result b = arg(1);
        if (b->isNull) return setNull(r);
        std::string a = text(*arg(0));
        std::string_view in = b->Text();
        if (n.code == fnOccurs) return putInteger(r, int64_t(StrOccurrences(a, in)));
        size_t at = StrPosition(a, in);
        return putInteger(r, at == 0 ? 0 : characterCount(in.substr(0, at - 1)) + 1);
      }
      case fnTrimLeading:
      case fnTrimTrailing:
      case fnTrimBoth: {
        Result x = arg(1);
        std::string c = text(*arg(0));
        std::string_view s = x->isNull ? std::string_view() : WholeText(*x);
        if (!c.empty()) {
          if (n.code != fnTrimTrailing)
            while (s.substr(0, c.size()) == c) s.remove_prefix(c.size());
          if (n.code != fnTrimLeading)
            while (s.size() >= c.size() && s.substr(s.size() - c.size()) == c) s.remove_suffix(c.size());
        }
        return putText(r, s);
      }
      case fnLength: {
        Result a = arg(0);
        if (a->isNull) return setNull(r);
        return putInteger(r, characterCount(WholeText(*a)));
      }
      case fnCast:
        return convert(*arg(0), r, "CAST");
      case fnIf: {
        Result c = arg(0);
        bool yes = !c->isNull && GetWordValue(c->Value()) != 0;
        return convert(*arg(yes ? 1 : 2), r, "IF");
      }
      case fnAbs:
        return absolute(*arg(0), r);
      case fnRound: {
        Result x = arg(0);
        int places = n.args.size() > 1 ? GetIntegerValue(arg(1)->Value()) : 0;
        if (x->isNull) return setNull(r);
        r.isNull = false;
        if (x->type == T::Float)
          return PutFloatValue(r.Value(), RoundFloat(GetFloatValue(x->Value()), places));
        int64_t scaled = 0;
        DecodeBcdValue(x->Value(), scaled);
        EncodeBcdValue(RoundCurrency(scaled, places), r.scale, r.Value());
        return;
      }
      case fnTextSearch:
      case fnTextOccurs: {
        const TExpToken& column = *n.args[1];
        TTextSearchTarget* target = column.sourceTable ? column.sourceTable->TextSearchTarget() : nullptr;
        std::string words = text(*arg(0));
        if (n.code == fnTextSearch) return putBool(r, target && target->TextSearch(column.fieldNo, words));
        return putInteger(r, target ? int64_t(target->TextOccurs(column.fieldNo, words)) : 0);
      }
      default:
        if (n.code >= fnExtractYear && n.code <= fnExtractSecond) return extract(n.code, *arg(0), r);
    }
  }

  // CAST and IF: the value in the node's type, as far as a conversion exists (else its zero).
  // A number that the node's number type cannot hold raises the numeric overflow of `name`:
  // its zero would pass on as another number.
  void convert(const TExpToken& x, TExpToken& r, const char* name) const {
    if (x.isNull) return setNull(r);
    r.isNull = false;
    if (x.type == r.type && x.subType == r.subType && r.type != T::String && r.type != T::Bytes)
      return putValue(r, x);
    bool text = r.type == T::String;
    if (x.type == T::Blob || r.type == T::Blob) {
      // Blob bytes (a string's up to its terminator, a memo's all): a blob takes them all and is exactly as
      // long as they are; another type takes at most what it holds (a string keeps room for its terminator).
      size_t n = std::min<size_t>(x.valueSize, x.ValueCapacity());
      if (isText(x)) n = std::min(n, WholeText(x).size());
      if (r.type != T::Blob)
        n = std::min<size_t>(n, text ? (r.valueSize > 0 ? r.valueSize - 1 : 0) : r.valueSize);
      // A memo cut to a string keeps its whole characters.
      if (text && isText(x)) n = EngineStringView(x.Text(), n).size();
      r.ReserveValue(std::max<size_t>(r.valueSize, n + 1));
      std::memset(r.Value(), 0, r.ValueCapacity());
      std::memcpy(r.Value(), x.Value(), n);
      if (r.type == T::Blob) r.valueSize = uint32_t(n + (isText(r) ? 1 : 0));
      return;
    }
    // The value, at most a string's 250 bytes and terminator, in a cleared buffer of its own.
    uint8_t buffer[kValueBufferSize + 64] = {};
    size_t n = std::min<size_t>(x.ValueCapacity(), x.type == T::String ? kMaxStringLength : kValueBufferSize);
    std::memcpy(buffer, x.Value(), n);
    if (!ConvertValue(x.type, std::min<uint32_t>(x.valueSize, uint32_t(kValueBufferSize)), x.scale, r.type,
                      r.valueSize, r.scale, std::span(buffer, kValueBufferSize + 64)) &&
        isNumber(x.type) && isNumber(r.type))
      SignalEngineError(VELDOR_SQLPARSE, "", "", "", "", "", "",
                        std::string("Numeric overflow in '") + name + "'");
    size_t size = std::clamp<size_t>(r.valueSize, 1, kValueBufferSize);
    std::memset(r.Value(), 0, r.ValueCapacity());
    std::memcpy(r.Value(), buffer, size);
    if (text) r.Value()[size - 1] = 0;
  }

  void absolute(const TExpToken& x, TExpToken& r) const {
    if (x.isNull) return setNull(r);
    r.isNull = false;
    const uint8_t* p = x.Value();
    uint8_t* out = r.Value();
    // The smallest value of a signed type has no absolute value in that type.
    auto overflow = [] {
      SignalEngineError(VELDOR_SQLPARSE, "", "", "", "", "", "", "Numeric overflow in 'ABS'");
    };
    switch (x.type) {
      case T::SmallInt: {
        const int16_t v = GetSmallIntValue(p);
        if (v == INT16_MIN) overflow();
        return PutSmallIntValue(out, v < 0 ? int16_t(-v) : v);
      }
      case T::Integer: {
        const int32_t v = GetIntegerValue(p);
        if (v == INT32_MIN) overflow();
        return PutIntegerValue(out, v < 0 ? -v : v);
      }
      case T::LargeInt: {
        const int64_t v = GetLargeIntValue(p);
        if (v == INT64_MIN) overflow();
        return PutLargeIntValue(out, v < 0 ? -v : v);
      }
      case T::Float:
        return PutFloatValue(out, std::fabs(GetFloatValue(p)));
      case T::BCD: {
        int64_t scaled = 0;
        DecodeBcdValue(p, scaled);
        EncodeBcdValue(scaled < 0 ? -scaled : scaled, x.scale, out);
        return;
      }
      default:
        return putValue(r, x);
    }
  }

  void extract(uint8_t code, const TExpToken& x, TExpToken& r) const {
    if (x.isNull) return setNull(r);
    int64_t day = 0, ms = -1;
    if (x.type == T::Date) {
      day = GetIntegerValue(x.Value());
    } else if (x.type == T::Time) {
      ms = GetIntegerValue(x.Value());
    } else {
      double t = std::nearbyint(GetFloatValue(x.Value()));
      if (!std::isfinite(t) || t < 0 || t >= double(kMaxEngineDay + 1) * double(kMsPerDay)) return setNull(r);
      day = int64_t(t) / kMsPerDay;
      ms = int64_t(t) % kMsPerDay;
    }
    if (x.type != T::Time && (day < kMinEngineDay || day > kMaxEngineDay)) return setNull(r);
    int64_t v = 0;
    if (code <= fnExtractDayOfWeek && x.type != T::Time) {
      auto date = EngineDayToSysDays(int32_t(day));
      std::chrono::year_month_day ymd(date);
      v = code == fnExtractYear    ? int(ymd.year())
          : code == fnExtractMonth ? unsigned(ymd.month())
          : code == fnExtractDay   ? unsigned(ymd.day())
          : code == fnExtractWeek  ? WeekOfYear(date)
                                   : IsoDayOfWeek(date);
    } else if (code > fnExtractDayOfWeek && ms >= 0) {
      v = code == fnExtractHour     ? ms / 3'600'000
          : code == fnExtractMinute ? ms / 60'000 % 60
                                    : ms / 1000 % 60;
    }
    putInteger(r, v);
  }

  void predicate(const TExpToken& n, TExpToken& r) const {
    uint8_t code = n.code;
    bool negated = code == prNotLike || code == prNotIn || code == prNotBetween || code == prNotInSelect;
    bool match = false;
    Result x = eval(*n.args[0]);
    auto test = [&](uint8_t op, const TExpToken& bound) {
      Result b = eval(bound);
      EvaluateBinaryOperator(op, *x, *b, languageId, sortId, r);
      return GetWordValue(r.Value()) != 0;
    };
    switch (code) {
      case prLike:
      case prNotLike: {
        Result p = eval(*n.args[1]);
        match = !x->isNull && !p->isNull && MatchSqlLike(languageId, sortId, x->Text(), p->Text());
        break;
      }
      case prIn:
      case prNotIn:
        for (size_t i = 1; i < n.args.size() && !match; ++i) match = test(opEqual, *n.args[i]);
        break;
      case prBetween:
      case prNotBetween:
        match = test(opGreaterEqual, *n.args[1]) && test(opLessEqual, *n.args[2]);
        break;
      case prInSelect:
      case prNotInSelect: {
        Result sub = eval(*n.args[1]);
        TDataQuery* query = n.args[1]->subSelect;
        if (query) {
          // For the moment the result is "value = column", which the sub-select filters by.
          r.kind = expBinary;
          r.code = opEqual;
          r.left = x.get();
          r.right = sub.get();
          ScopeExit restore([&] {
            r.kind = expConstant;
            r.left = r.right = nullptr;
          });
          query->ApplySubSelectFilter(r);
          match = query->ResultRecordCount() > 0;
        }
        break;
      }
      default:
        break;
    }
    putBool(r, match != negated);
  }
};

// The node's value word as evaluating it would give it: the bytes past its size read as zero.
uint16_t primedWord(const TExpToken& n) {
  uint8_t word[2] = {};
  std::memcpy(word, n.Value(), std::min<size_t>({n.valueSize, n.ValueCapacity(), 2}));
  return GetWordValue(word);
}

// LIKE, IN or BETWEEN (or a negation) with every operand that its evaluation reads.
bool predicateArgsPresent(const TExpToken& n) {
  const uint8_t c = n.code;
  size_t needed = 0;
  if (c == prLike || c == prNotLike) needed = 2;
  if (c == prIn || c == prNotIn) needed = 1;
  if (c == prBetween || c == prNotBetween) needed = 3;
  if (needed == 0 || n.args.size() < needed) return false;
  return std::all_of(n.args.begin(), n.args.end(), [](const TExpToken* a) { return a != nullptr; });
}

// A node that ExpValue computes on its kept nodes, from its operands' parts: unary operators,
// binary operators other than AND and OR, UPPER and LOWER.
bool computedInPlace(const TExpToken& n) {
  if (n.kind == expUnary) return n.left != nullptr;
  if (n.kind == expBinary) return n.code != opAnd && n.code != opOr && n.left && n.right;
  return n.kind == expFunction && (n.code == fnUpper || n.code == fnLower) && n.args.size() == 1 && n.args[0];
}

// Zero bytes that a NULL column reads as.
constexpr uint8_t kZeros[kExpValueBlock] = {};

// Room for a value of any fixed-size type.
constexpr uint32_t kFixedValueRoom = 64;

}  // namespace

// ---- ExpCondition ----

// What a test node reads of another node's result: a constant in place or as evaluating it gives
// it (Primed), a column in the record or through the reader, another test node, a value that
// operators compute on kept nodes (Computed), or a node that only the full evaluation knows.
struct ExpCondition::Operand {
  enum Kind : uint8_t { Constant, Primed, Field, Read, Step, Computed, Sum, General };
  Kind kind = General;
  uint32_t step = 0;  // a Step's, or a Sum's in sums_
  const TExpToken* node = nullptr;
  ExpValue* computed = nullptr;
  ExpFieldPlace place;
  ExpOperand field;  // a Field's type, subtype, scale, size and capacity
  // A Read's node, primed as evaluating the column primes one, and its buffer's size then; a
  // Primed constant's evaluated node.
  TExpToken* read = nullptr;
  uint32_t readCapacity = 0;
  int64_t integer = 0;  // an integer Constant's value
};

struct ExpCondition::Step {
  // IntegerCompare: a comparison of two columns or constants of the integer types. Like, In and
  // Between (and their negations) take their operands from `args`.
  enum Kind : uint8_t {
    And,
    Or,
    Not,
    IsNull,
    IsNotNull,
    Compare,
    KeyCompare,
    IntegerCompare,
    Like,
    In,
    Between
  };
  Kind kind = Compare;
  const TExpToken* node = nullptr;
  Operand left, right;
  std::vector<Operand> args;
};

// An operand that + - * compute from integer columns placed in the record and integer constants
// alone: its value is worked out in 64-bit integers from theirs, in the operators' order and with
// their NULL and overflow rules, without a node filled per operator.
struct ExpCondition::Sum {
  struct Op {
    // WithConstant: a Binary whose right operand is the op's constant.
    enum Kind : uint8_t { Field, Constant, Binary, WithConstant };
    Kind kind = Constant;
    uint8_t code = 0;                                   // a Binary's operator
    bool large = false;                                 // a Binary with a LARGEINT operand: 64 bits, else 32
    bool isNull = false;                                // a Constant's
    TEngineFieldType type = TEngineFieldType::Unknown;  // a Field's
    ExpFieldPlace place;                                // a Field's
    int64_t value = 0;                                  // a Constant's
  };
  // Deeper trees go the general way; the evaluation's stack is sized by it.
  static constexpr uint32_t kMaxHeight = 30;
  std::vector<Op> ops;  // operands before their operator
  // The result's bytes as its node would hold them, for what reads the value as bytes.
  mutable std::array<uint8_t, 16> bytes{};
};

// The parts of a boolean result that AND, OR, NOT, IS NULL and the final test read.
struct ExpCondition::Truth {
  uint16_t word = 0;
  bool isNull = false;
  TEngineFieldType type = TEngineFieldType::Unknown;
};

struct ExpCondition::Context {
  const uint8_t* record;
  Evaluator evaluator;
};

ExpCondition::ExpCondition(const TExpToken& tree, uint16_t sortId, uint16_t languageId,
                           TColumnReader columnReader, TColumnLocator locator, const void* locatorData)
    : sortId_(sortId),
      languageId_(languageId),
      reader_(columnReader),
      locator_(locator),
      locatorData_(locatorData) {
  root_ = std::make_unique<Operand>(operand(&tree, Use::Truth));
}

ExpCondition::~ExpCondition() = default;

// A node as an operand: as a test node for Use::Truth when its kind is one, else by its kind.
// Comparisons read constants in place, as the full evaluation does; predicates read what
// evaluating them gives, and the boolean operators only the NULL flag and word of that.
ExpCondition::Operand ExpCondition::operand(const TExpToken* node, Use use) {
  Operand o;
  o.node = node;
  if (!node) return o;
  if (node->kind == expConstant) {
    o.kind = Operand::Constant;
    if (use == Use::Evaluated) {
      o.kind = Operand::Primed;
      o.read =
          reads_.emplace_back(Evaluator{nullptr, nullptr, sortId_, languageId_, reader_}.eval(*node)).get();
    }
    return o;
  }
  if (node->kind == expColumn) {
    if (placeField(*node, o)) return o;
    recordOnly_ = false;
    if (reader_) {
      o.kind = Operand::Read;
      o.read = reads_.emplace_back(GetExpToken()).get();
      Evaluator::prime(*node, *o.read, true);
      o.readCapacity = o.read->ValueCapacity();
    }
    return o;
  }
  if (use != Use::Truth) {
    if (Sum s; sum(*node, s, 0)) {
      o.kind = Operand::Sum;
      o.step = uint32_t(sums_.size());
      sums_.push_back(std::move(s));
      return o;
    }
    if (computedInPlace(*node)) {
      o.kind = Operand::Computed;
      o.computed = computed_
                       .emplace_back(std::make_unique<ExpValue>(*node, sortId_, languageId_, reader_,
                                                                locator_, locatorData_))
                       .get();
    }
    if (o.kind != Operand::Computed || !o.computed->ReadsRecordOnly()) recordOnly_ = false;
    return o;
  }
  Step s;
  s.node = node;
  const uint8_t code = node->code & 0x7F;
  const bool comparison = code >= opEqual && code <= opLessEqual;
  if (node->kind == expBinary && (node->code == opAnd || node->code == opOr) && node->left && node->right) {
    s.kind = node->code == opAnd ? Step::And : Step::Or;
    s.left = operand(node->left, Use::Truth);
    s.right = operand(node->right, Use::Truth);
  } else if (node->kind == expUnary && (code == opNot || code == opIsNull || code == opIsNotNull) &&
             node->left) {
    s.kind = code == opNot ? Step::Not : code == opIsNull ? Step::IsNull : Step::IsNotNull;
    s.left = operand(node->left, Use::Truth);
  } else if ((node->kind == expBinary || node->kind == expKeyCompare) && comparison && node->left &&
             node->right) {
    s.kind = node->kind == expBinary ? Step::Compare : Step::KeyCompare;
    s.left = operand(node->left, Use::InPlace);
    s.right = operand(node->right, Use::InPlace);
    // A column's operand has the column node's type, whoever reads it.
    auto isInteger = [](const Operand& o) {
      const TEngineFieldType t = o.node->type;
      return (o.kind == Operand::Field || o.kind == Operand::Read || o.kind == Operand::Constant ||
              o.kind == Operand::Sum) &&
             (t == T::SmallInt || t == T::Integer || t == T::Word || t == T::LargeInt);
    };
    if (isInteger(s.left) && isInteger(s.right)) {
      s.kind = Step::IntegerCompare;
      for (Operand* o : {&s.left, &s.right})
        if (o->kind == Operand::Constant) o->integer = IntegerOperandValue(o->node->type, o->node->Value());
    }
  } else if (node->kind == expPredicate && predicateArgsPresent(*node)) {
    const uint8_t c = node->code;
    s.kind = c == prLike || c == prNotLike ? Step::Like
             : c == prIn || c == prNotIn   ? Step::In
                                           : Step::Between;
    for (const TExpToken* arg : node->args) s.args.push_back(operand(arg, Use::Evaluated));
  } else {
    recordOnly_ = false;
    return o;
  }
  o.kind = Operand::Step;
  o.step = uint32_t(steps_.size());
  steps_.push_back(std::move(s));
  return o;
}

// A column placed in the record, where every operator reads the value within its stored bytes.
bool ExpCondition::placeField(const TExpToken& node, Operand& o) const {
  if (!reader_ || !locator_ || !locator_(locatorData_, node, o.place)) return false;
  const size_t room = o.place.autoIncrement ? 4 : o.place.size;
  const size_t fixed = FixedValueSize(node.type);
  const bool fits = (node.type == T::String && room <= sizeof kZeros) ||
                    (fixed > 0 && fixed <= room && node.type != T::Blob && node.type != T::Type13 &&
                     node.type != T::Type14);
  if (!fits) return false;
  o.kind = Operand::Field;
  o.field.type = node.type;
  o.field.subType = node.subType;
  o.field.scale = node.scale;
  o.field.valueSize = std::max<uint32_t>(o.place.size, 1);
  o.field.capacity = uint32_t(std::min(room, sizeof kZeros));
  return true;
}

// Appends `node`'s ops to `s`; false when the node is not + - * over placed integer columns and
// integer constants whose types are those the operators give (its `height` from the operand's
// root). Nothing else changes.
bool ExpCondition::sum(const TExpToken& node, Sum& s, uint32_t height) const {
  auto isInteger = [](T t) {
    return t == T::SmallInt || t == T::Integer || t == T::Word || t == T::LargeInt;
  };
  if (height > Sum::kMaxHeight || !isInteger(node.type)) return false;
  Sum::Op op;
  if (node.kind == expConstant) {
    op.kind = Sum::Op::Constant;
    op.isNull = node.isNull;
    op.value = IntegerOperandValue(node.type, node.Value());
  } else if (node.kind == expColumn) {
    Operand o;
    if (!placeField(node, o)) return false;
    op.kind = Sum::Op::Field;
    op.type = node.type;
    op.place = o.place;
  } else {
    const uint8_t code = node.code & 0x7F;
    if (node.kind != expBinary || (code != opAdd && code != opSubtract && code != opMultiply) || !node.left ||
        !node.right || !sum(*node.left, s, height + 1) || !sum(*node.right, s, height + 1))
      return false;
    const T lt = node.left->type, rt = node.right->type;
    if (node.type != BinaryResultType(code, lt, rt)) return false;
    op.kind = Sum::Op::Binary;
    op.code = code;
    op.large = lt == T::LargeInt || rt == T::LargeInt;
    // A constant right operand is read by its operator: nothing comes between them.
    if (s.ops.back().kind == Sum::Op::Constant) {
      op.kind = Sum::Op::WithConstant;
      op.isNull = s.ops.back().isNull;
      op.value = s.ops.back().value;
      s.ops.pop_back();
    }
  }
  s.ops.push_back(op);
  return true;
}

// The Sum's value into `v`; true when it is NULL.
bool ExpCondition::computeSum(const Sum& s, const uint8_t* record, int64_t& v) const {
  int64_t values[Sum::kMaxHeight + 2];
  bool nulls[Sum::kMaxHeight + 2];
  size_t top = 0;
  for (const Sum::Op& op : s.ops) {
    switch (op.kind) {
      case Sum::Op::Field: {
        const uint8_t* at = record + op.place.offset;
        const bool isNull = !op.place.autoIncrement && at[0] == 0;
        nulls[top] = isNull;
        values[top++] = isNull ? 0 : IntegerOperandValue(op.type, op.place.autoIncrement ? at : at + 1);
        break;
      }
      case Sum::Op::Constant:
        nulls[top] = op.isNull;
        values[top++] = op.value;
        break;
      case Sum::Op::Binary: {
        // Both operands were worked out first, the left one first: an overflow in either is raised
        // whatever the other holds.
        --top;
        const bool isNull = nulls[top - 1] || nulls[top];
        values[top - 1] =
            isNull ? 0 : IntegerArithmeticValue(op.code, values[top - 1], values[top], op.large);
        nulls[top - 1] = isNull;
        break;
      }
      case Sum::Op::WithConstant: {
        const bool isNull = nulls[top - 1] || op.isNull;
        values[top - 1] = isNull ? 0 : IntegerArithmeticValue(op.code, values[top - 1], op.value, op.large);
        nulls[top - 1] = isNull;
        break;
      }
    }
  }
  v = values[0];
  return nulls[0];
}

ExpCondition::Outcome ExpCondition::Evaluate(const uint8_t* record, void* readerData1,
                                             void* readerData2) const {
  const Context c{record, Evaluator{readerData1, readerData2, sortId_, languageId_, reader_}};
  const Truth t = truth(*root_, c);
  return {t.isNull, t.type, t.word};
}

bool ExpCondition::Holds(const uint8_t* record, void* readerData1, void* readerData2) const {
  const Context c{record, Evaluator{readerData1, readerData2, sortId_, languageId_, reader_}};
  const Truth t = truth(*root_, c);
  return !t.isNull && t.type == TEngineFieldType::Boolean && t.word != 0;
}

// An IntegerCompare operand's value; true when it is NULL.
bool ExpCondition::integer(const Operand& o, const Context& c, int64_t& v) const {
  if (o.kind == Operand::Constant) {
    v = o.integer;
    return o.node->isNull;
  }
  if (o.kind == Operand::Field) {
    const uint8_t* at = c.record + o.place.offset;
    const bool isNull = !o.place.autoIncrement && at[0] == 0;
    v = isNull ? 0 : IntegerOperandValue(o.field.type, o.place.autoIncrement ? at : at + 1);
    return isNull;
  }
  if (o.kind == Operand::Sum) return computeSum(sums_[o.step], c.record, v);
  TExpTreePtr none;
  const ExpOperand x = value(o, c, none);
  v = IntegerOperandValue(x.type, x.value);
  return x.isNull;
}

ExpOperand ExpCondition::value(const Operand& o, const Context& c, TExpTreePtr& holder) const {
  switch (o.kind) {
    case Operand::Constant:
      return ExpOperand::Of(*o.node);
    case Operand::Primed:
      return ExpOperand::Of(*o.read);
    case Operand::Field: {
      ExpOperand v = o.field;
      const uint8_t* at = c.record + o.place.offset;
      v.isNull = !o.place.autoIncrement && at[0] == 0;
      v.value = v.isNull ? kZeros : o.place.autoIncrement ? at : at + 1;
      return v;
    }
    case Operand::Read: {
      // The node is put back as priming a fresh one leaves it (readers write only the value, its
      // size and the NULL flag); one that a reader grew is primed afresh.
      TExpToken& r = *o.read;
      if (r.ValueCapacity() != o.readCapacity) {
        r.Reset();
        Evaluator::prime(*o.node, r, true);
      } else {
        std::memset(r.Value(), 0, r.ValueCapacity());
        r.valueSize = o.node->valueSize;
        r.isNull = o.node->isNull;
      }
      r.kind = expColumn;
      reader_(c.evaluator.data2, c.evaluator.data1, r);
      r.kind = expConstant;
      return ExpOperand::Of(r);
    }
    case Operand::Computed:
      return ExpOperand::Of(o.computed->Evaluate(c.evaluator.data1, c.evaluator.data2, c.record));
    case Operand::Sum: {
      // As the operator's node holds it: the value in its type's bytes, zeros when NULL.
      const Sum& s = sums_[o.step];
      int64_t v = 0;
      ExpOperand x;
      x.type = o.node->type;
      x.subType = o.node->subType;
      x.scale = o.node->scale;
      x.isNull = computeSum(s, c.record, v);
      x.valueSize = o.node->valueSize;
      s.bytes.fill(0);
      if (!x.isNull && x.type == T::LargeInt)
        PutLargeIntValue(s.bytes.data(), v);
      else if (!x.isNull)
        PutIntegerValue(s.bytes.data(), int32_t(v));
      x.value = s.bytes.data();
      x.capacity = uint32_t(s.bytes.size());
      return x;
    }
    default:
      holder = c.evaluator.eval(*o.node);
      return ExpOperand::Of(*holder);
  }
}

ExpCondition::Truth ExpCondition::truth(const Operand& o, const Context& c) const {
  switch (o.kind) {
    case Operand::Constant:
      return {primedWord(*o.node), o.node->isNull, o.node->type};
    case Operand::Step:
      return step(steps_[o.step], c);
    default: {
      TExpTreePtr holder;
      const ExpOperand v = value(o, c, holder);
      uint8_t word[2] = {};
      std::memcpy(word, v.value, std::min<size_t>(v.capacity, 2));
      return {GetWordValue(word), v.isNull, v.type};
    }
  }
}

ExpCondition::Truth ExpCondition::step(const Step& s, const Context& c) const {
  const TExpToken& n = *s.node;
  auto result = [&](bool v) { return Truth{NormalizeBooleanValue(v), false, n.type}; };
  switch (s.kind) {
    case Step::And:
    case Step::Or: {
      // The right operand first: when it decides alone, it is the result.
      const Truth right = truth(s.right, c);
      const bool b = right.word != 0;
      if ((s.kind == Step::And && !b) || (s.kind == Step::Or && b)) return right;
      const bool a = truth(s.left, c).word != 0;
      return result(s.kind == Step::And ? a && b : a || b);
    }
    case Step::Not:
      return result(truth(s.left, c).word == 0);
    case Step::IsNull:
      return result(truth(s.left, c).isNull);
    case Step::IsNotNull:
      return result(!truth(s.left, c).isNull);
    case Step::Like:
    case Step::In:
    case Step::Between: {
      const uint8_t code = n.code;
      const bool negated = code == prNotLike || code == prNotIn || code == prNotBetween;
      TExpTreePtr xHolder;
      const ExpOperand x = value(s.args[0], c, xHolder);
      bool match = false;
      // The word that each bound's comparison leaves in the result, as the full evaluation has it.
      uint16_t word = primedWord(n);
      auto test = [&](uint8_t op, const Operand& bound) {
        TExpTreePtr holder;
        const int outcome = CompareOperands(op, x, value(bound, c, holder), languageId_, sortId_);
        if (outcome >= 0) word = NormalizeBooleanValue(outcome != 0);
        return word != 0;
      };
      if (s.kind == Step::Like) {
        TExpTreePtr holder;
        const ExpOperand p = value(s.args[1], c, holder);
        match = !x.isNull && !p.isNull && MatchSqlLike(languageId_, sortId_, x.Text(), p.Text());
      } else if (s.kind == Step::In) {
        for (size_t i = 1; i < s.args.size() && !match; ++i) match = test(opEqual, s.args[i]);
      } else {
        match = test(opGreaterEqual, s.args[1]) && test(opLessEqual, s.args[2]);
      }
      return result(match != negated);
    }
    case Step::IntegerCompare: {
      int64_t l = 0, r = 0;
      const bool leftNull = integer(s.left, c, l);
      const bool rightNull = integer(s.right, c, r);
      return result(CompareIntegers(n.code, leftNull, l, rightNull, r) != 0);
    }
    default: {
      TExpTreePtr leftHolder, rightHolder;
      const ExpOperand l = value(s.left, c, leftHolder);
      const ExpOperand r = value(s.right, c, rightHolder);
      if (s.kind == Step::KeyCompare && isText(l))
        return result(
            StringEqualityHolds(n.code, l, r, n.compareLength, n.caseInsensitive, languageId_, sortId_));
      const int outcome = CompareOperands(n.code, l, r, languageId_, sortId_);
      if (outcome < 0) return {primedWord(n), n.isNull, n.type};
      return result(outcome != 0);
    }
  }
}

// ---- ExpValue ----

// One node of the tree: a constant read in place (Constant) or evaluated once (Primed), a
// column that the reader fills, an operator or UPPER and LOWER (Case) filling its kept node from
// its operands' parts, or a node evaluated whole.
struct ExpValue::Part {
  enum Kind : uint8_t { Constant, Primed, Column, Placed, Unary, Binary, Case, General };
  Kind kind = General;
  const TExpToken* node = nullptr;
  TExpTreePtr kept;
  ExpFieldPlace place;    // a Placed column's
  uint32_t capacity = 0;  // the kept node's buffer size once primed
  // The leading bytes of the kept node's buffer that may differ from zero; every byte past them
  // is zero. The next record's reset clears only these.
  uint32_t used = 0;
  size_t left = 0, right = 0;
};

ExpValue::ExpValue(const TExpToken& tree, uint16_t sortId, uint16_t languageId, TColumnReader columnReader,
                   TColumnLocator locator, const void* locatorData)
    : sortId_(sortId),
      languageId_(languageId),
      reader_(columnReader),
      locator_(locator),
      locatorData_(locatorData) {
  add(tree, false);
}

ExpValue::~ExpValue() = default;
ExpValue::ExpValue(ExpValue&&) noexcept = default;
ExpValue& ExpValue::operator=(ExpValue&&) noexcept = default;

// `inPlace`: the node is a binary operator's operand, which the evaluation reads in place when it
// is a constant.
size_t ExpValue::add(const TExpToken& node, bool inPlace) {
  Part p;
  p.node = &node;
  if (node.kind == expConstant) {
    p.kind = inPlace ? Part::Constant : Part::Primed;
  } else if (node.kind == expColumn && reader_) {
    p.kind = Part::Column;
  } else if (computedInPlace(node) && node.kind == expUnary) {
    p.kind = Part::Unary;
    p.left = add(*node.left, false);
  } else if (computedInPlace(node) && node.kind == expBinary) {
    p.kind = Part::Binary;
    p.left = add(*node.left, true);
    p.right = add(*node.right, true);
  } else if (computedInPlace(node)) {
    p.kind = Part::Case;
    p.left = add(*node.args[0], false);
  }
  if (p.kind == Part::Primed) {
    p.kept.reset(EvaluateExpTree(&node, nullptr, nullptr, sortId_, languageId_, reader_));
  } else if (p.kind != Part::Constant && p.kind != Part::General) {
    p.kept.reset(GetExpToken());
    Evaluator::prime(node, *p.kept, p.kind == Part::Column);
    p.kept->kind = expConstant;
    p.capacity = uint32_t(p.kept->ValueCapacity());
    p.used = p.capacity;
  }
  if (p.kind == Part::Column && locator_ && locator_(locatorData_, node, p.place)) {
    // Only where the stored bytes fit the node as the reader leaves it, and mean the value alone.
    const TEngineFieldType t = node.type;
    const size_t room = p.place.autoIncrement ? 4 : p.place.size;
    const size_t fixed = FixedValueSize(t);
    if (room <= p.capacity &&
        (t == T::String || (fixed > 0 && fixed <= room && t != T::Blob && t != T::Type13 && t != T::Type14)))
      p.kind = Part::Placed;
  }
  if (p.kind == Part::Column || p.kind == Part::General) recordOnly_ = false;
  parts_.push_back(std::move(p));
  return parts_.size() - 1;
}

const TExpToken& ExpValue::Evaluate(void* readerData1, void* readerData2, const uint8_t* record) {
  return value(parts_.size() - 1, readerData1, readerData2, record);
}

const TExpToken& ExpValue::value(size_t part, void* readerData1, void* readerData2, const uint8_t* record) {
  Part& p = parts_[part];
  const TExpToken& n = *p.node;
  switch (p.kind) {
    case Part::Constant:
      return n;
    case Part::Primed:
      return *p.kept;
    case Part::General:
      p.kept.reset(EvaluateExpTree(&n, readerData1, readerData2, sortId_, languageId_, reader_));
      return *p.kept;
    default:
      break;
  }
  // The kept node as priming a fresh one leaves it (operators and readers write only the value,
  // its size and the NULL flag); one whose buffer grew is primed afresh.
  TExpToken& r = *p.kept;
  const bool placed = p.kind == Part::Placed && record;
  const bool column = p.kind == Part::Column || p.kind == Part::Placed;
  if (r.ValueCapacity() != p.capacity) {
    r.Reset();
    Evaluator::prime(n, r, column);
    r.kind = expConstant;
    p.capacity = uint32_t(r.ValueCapacity());
  } else {
    assert(std::all_of(r.Value() + p.used, r.Value() + p.capacity, [](uint8_t b) { return b == 0; }));
    std::memset(r.Value(), 0, p.used);
    if (!column) std::memcpy(r.Value(), n.Value(), std::min<size_t>(n.valueSize, n.ValueCapacity()));
    r.valueSize = n.valueSize;
    r.isNull = n.isNull;
  }
  // What the evaluation below may write: a placed column its stored bytes; an operator or a case
  // mapping a value of a fixed type (none takes more than kBcdSize bytes) or a text within its
  // size, zeros past it. A column that the reader fills may write anywhere in the buffer.
  static_assert(kBcdSize <= kFixedValueRoom);
  auto written = [&] {
    if (column && !placed) return uint32_t(r.ValueCapacity());
    const uint32_t stored = p.place.autoIncrement ? 4 : p.place.size;
    const uint32_t bound = std::max({r.valueSize, n.valueSize, placed ? stored : kFixedValueRoom});
    return std::min(bound, uint32_t(r.ValueCapacity()));
  };
  // Until the evaluation is through, a failure may leave any byte written.
  p.used = p.capacity;
  if (placed) {
    const uint8_t* at = record + p.place.offset;
    r.isNull = !p.place.autoIncrement && at[0] == 0;
    if (!r.isNull)
      std::memcpy(r.Value(), p.place.autoIncrement ? at : at + 1, p.place.autoIncrement ? 4 : p.place.size);
  } else if (column) {
    r.kind = expColumn;
    reader_(readerData2, readerData1, r);
    r.kind = expConstant;
  } else if (p.kind == Part::Unary) {
    EvaluateUnaryOperator(n.code, value(p.left, readerData1, readerData2, record), r);
  } else if (p.kind == Part::Case) {
    changeCase(n.code, value(p.left, readerData1, readerData2, record), r, languageId_, sortId_);
  } else {
    const TExpToken& l = value(p.left, readerData1, readerData2, record);
    const TExpToken& rv = value(p.right, readerData1, readerData2, record);
    EvaluateBinaryOperator(n.code, l, rv, languageId_, sortId_, r);
  }
  p.used = written();
  return r;
}

TExpToken* EvaluateExpTree(const TExpToken* node, void* readerData1, void* readerData2, uint16_t sortId,
                           uint16_t languageId, TColumnReader columnReader) {
  if (!node) return nullptr;
  Evaluator evaluator{readerData1, readerData2, sortId, languageId, columnReader};
  return evaluator.eval(*node).release();
}

uint8_t AggregateCodeFromName(std::string_view name) {
  static constexpr std::pair<std::string_view, uint8_t> kNames[] = {{"SUM", fnSum},     {"RUNSUM", fnRunSum},
                                                                    {"COUNT", fnCount}, {"MIN", fnMin},
                                                                    {"MAX", fnMax},     {"AVG", fnAvg}};
  for (auto [word, code] : kNames) {
    if (word.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < word.size() && same; ++i) {
      char c = name[i];
      same = (c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c) == word[i];
    }
    if (same) return code;
  }
  return 0;
}

void LinkExpTreeArgs(TExpToken* node) {
  if (!node) return;
  LinkExpTreeArgs(node->left);
  LinkExpTreeArgs(node->right);
  LinkExpTreeArgs(node->third);
  if ((node->kind != expFunction && node->kind != expPredicate) || node->args.empty()) return;
  if (node->kind == expFunction && (node->code == fnTextSearch || node->code == fnTextOccurs)) return;
  for (auto* arg : node->args) LinkExpTreeArgs(arg);
  auto a = [&](size_t i) { return node->GetArgument(i); };
  // The links of this node: left, right, third, and the argument that each later one hangs on.
  TExpToken *left = nullptr, *right = nullptr, *third = nullptr;
  std::vector<std::pair<TExpToken*, TExpToken*>> chained;  // (argument, the argument on its right)
  uint8_t c = node->code;
  if (node->kind == expPredicate) {
    left = a(0);
    if (c == prIn || c == prNotIn) {
      right = a(1);
      for (size_t i = 2; i < node->args.size(); ++i) chained.emplace_back(a(i - 1), a(i));
    } else {
      right = a(1);
      if (c == prBetween || c == prNotBetween) chained.emplace_back(a(1), a(2));
    }
  } else if (c == fnSubstring || c == fnCast) {
    left = a(0), right = a(1);
    chained.emplace_back(a(1), a(2));
  } else if (c == fnReplace) {
    left = a(2), right = a(0);
    chained.emplace_back(a(0), a(1));
  } else if (c >= fnPos && c <= fnTrimBoth) {
    left = a(1), right = a(0);
  } else if (c == fnIf) {
    left = a(0), right = a(1), third = a(2);
  } else if (c == fnRound) {
    left = a(0), right = a(1);
  } else {
    left = a(0);
  }
  // An argument that has a right operand of its own cannot carry the next one: the plain form
  // would lose that operand, or read it back as the next argument when there is none. Such trees
  // travel only in the form with arguments.
  for (auto [from, to] : chained)
    if (from && from->right)
      SignalEngineError(VELDOR_INVALIDFILTER, "", "", "", "", "", "",
                        "Expression cannot be written without its argument lists");
  node->left = left;
  node->right = right;
  node->third = third;
  for (auto [from, to] : chained)
    if (from) from->right = to;
  for (auto* arg : node->args)
    if (arg) arg->parent = node;
  node->args.clear();
}

size_t FlattenExpTree(const TExpToken* node, std::vector<uint8_t>& buffer) {
  return FlattenExpTreeInForm(node, false, buffer);
}

}  // namespace engine
