#include "engine/values/veldorexpcheck.h"

#include <algorithm>
#include <string>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/values/veldorexpeval.h"
#include "engine/values/veldorexpop.h"
#include "engine/values/veldorvalues.h"

namespace engine {

namespace {

using T = TEngineFieldType;
using S = TEngineFieldSubType;

bool isText(const TExpToken& n) {
  return n.type == T::String || (n.type == T::Blob && n.subType == S::Memo);
}
bool isDateTime(T t) {
  return t == T::Date || t == T::Time || t == T::Timestamp;
}
bool isNullConstant(const TExpToken& n) {
  return n.kind == expConstant && n.isNull && n.type == T::Unknown;
}
bool isStringConstant(const TExpToken& n) {
  return n.kind == expConstant && n.type == T::String && !n.isParameter;
}
// A parameter not yet given its value, or a node whose type waits for one: a statement is checked
// once without values and again with them, and only the second check knows what it computes.
bool awaitsValue(const TExpToken& n) {
  if (n.type != T::Unknown) return false;
  if (n.kind == expConstant) return n.isParameter;
  for (const TExpToken* c : {n.left, n.right, n.third})
    if (c && awaitsValue(*c)) return true;
  return std::any_of(n.args.begin(), n.args.end(), [](const TExpToken* a) { return a && awaitsValue(*a); });
}
const char* kindWord(const TExpToken& n) {
  switch (n.kind) {
    case expUnary:
    case expBinary:
      return "expression";
    case expColumn:
      return "column";
    case expConstant:
      return "constant";
    case expFunction:
      return "function";
    default:
      return "";
  }
}
void setType(TExpToken& n, T type, uint32_t size, S subType = S::None) {
  n.type = type;
  n.subType = subType;
  n.SetValueSize(size);
}
void takeType(TExpToken& n, const TExpToken& from) {
  n.type = from.type;
  n.subType = from.subType;
  n.SetValueSize(from.valueSize);
  n.scale = from.scale;
}
size_t characterCount(std::string_view text) {
  return size_t(std::count_if(text.begin(), text.end(), [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
}

struct Checker {
  uint16_t errorCode;
  std::string_view context1, context2, where;
  TColumnResolver resolver;
  void* resolverData;

  [[noreturn]] void fail(std::string message) const {
    message += " in ";
    message += where;
    SignalEngineError(errorCode, "", "", context1, context2, "", "", EngineString(message));
  }
  [[noreturn]] void failAfter(std::string message) const {  // messages that name the clause mid-way
    SignalEngineError(errorCode, "", "", context1, context2, "", "", EngineString(message));
  }
  [[noreturn]] void invalidColumn(const TExpToken& n) const {
    fail("Invalid column name '" + n.columnName + "'" + " or table correlation name " + "'" + n.tableName +
         "'" + " specified");
  }

  // A string constant standing beside a date, time or timestamp becomes a value of that type.
  void coerceDateText(const TExpToken& dateSide, TExpToken& textSide) const {
    if (!isDateTime(dateSide.type) || !isStringConstant(textSide) || textSide.isNull) return;
    std::string text(textSide.Text());
    if (!ParseDateTimeValue(text, dateSide.type, std::span(textSide.Value(), textSide.ValueCapacity())))
      fail("Date, time, or timestamp expression expected, instead found '" + textSide.name + "'");
    takeType(textSide, dateSide);
  }

  void booleanRewrite(TExpToken& n, bool booleanContext) const {
    if (!booleanContext || n.type != T::Boolean) return;
    if (n.parent && !(n.parent->code == opNot && n.parent->kind == expUnary) &&
        !(n.parent->kind == expBinary && (n.parent->code == opAnd || n.parent->code == opOr)))
      return;
    ExpandBooleanToComparison(n);
  }

  void check(TExpToken* parent, TExpToken& n, bool textMayNameColumn, bool booleanContext) const {
    n.parent = parent;
    if (textMayNameColumn && isStringConstant(n) && !n.isNull) {
      std::string text(n.Text());
      if (!text.empty() && text != "*") {
        n.columnName = EngineString(text);
        n.savedType = n.type;
        n.savedSubType = n.subType;
        n.savedSize = n.valueSize;
        n.savedScale = n.scale;
        if (resolver && resolver(resolverData, n)) {
          n.kind = expColumn;
          n.wasQuotedText = true;
        } else {
          n.columnName.clear();
          n.type = n.savedType;
          n.subType = n.savedSubType;
          n.SetValueSize(n.savedSize);
          n.scale = n.savedScale;
        }
      }
    }
    switch (n.kind) {
      case expUnary:
        return checkUnary(n, textMayNameColumn, booleanContext);
      case expBinary:
      case expKeyCompare:
        return checkBinary(n, textMayNameColumn, booleanContext);
      case expColumn:
        if (n.columnName != "*" && n.kind == expColumn && !n.wasQuotedText &&
            !(resolver && resolver(resolverData, n)))
          invalidColumn(n);
        return booleanRewrite(n, booleanContext);
      case expSubSelect:
        if (!n.subSelect) invalidColumn(n);
        if (n.subSelect->ResultColumnCount() > 1) fail("More than 1 column for sub-select  specified");
        if (!n.subSelect->BindColumnRef(n)) invalidColumn(n);
        return;
      case expFunction:
        return checkFunction(n, textMayNameColumn, booleanContext);
      case expPredicate:
        return checkPredicate(n, textMayNameColumn);
      default:
        return;
    }
  }

  void checkUnary(TExpToken& n, bool quoted, bool booleanContext) const {
    TExpToken& op = *n.left;
    check(&n, op, quoted, booleanContext);
    if (!awaitsValue(op) && !IsUnaryOperandAllowed(n.code, op.type))
      fail("Type mismatch between '" + n.name + "'" + " operator and " + "'" + op.name + "'");
    n.type = UnaryResultType(n.code, op.type);
    n.subType = UnaryResultSubType(n.code, op.subType);
    n.SetValueSize(op.valueSize);
    n.scale = op.scale;
    if (n.type == T::Boolean) n.SetValueSize(2);
  }

  void checkBinary(TExpToken& n, bool quoted, bool booleanContext) const {
    check(&n, *n.left, quoted, booleanContext);
    check(&n, *n.right, quoted, booleanContext);
    TExpToken& l = *n.left;
    TExpToken& r = *n.right;
    uint8_t code = n.code & 0x7F;
    auto columnSide = [](TExpToken& side) {
      return (side.kind == expColumn || side.kind == expFunction) && ExpTreeHasColumnRef(&side);
    };
    if (((code >= opEqual && code <= opLessEqual) || code == opAdd) && columnSide(l) && columnSide(r)) {
      TExpToken* quotedColumn = FindFirstColumnRef(&r);
      if (!quotedColumn || !quotedColumn->wasQuotedText) quotedColumn = FindFirstColumnRef(&l);
      if (quotedColumn && quotedColumn->wasQuotedText) {
        quotedColumn->kind = expConstant;
        quotedColumn->columnName.clear();
        quotedColumn->type = quotedColumn->savedType;
        quotedColumn->subType = quotedColumn->savedSubType;
        quotedColumn->SetValueSize(quotedColumn->savedSize);
        quotedColumn->scale = quotedColumn->savedScale;
      }
    }
    coerceDateText(l, r);
    coerceDateText(r, l);
    // A comparison is symmetric: NULL on the left takes the right side's type. A left side that
    // waits for a parameter's value is taken when some type of it suits the right side, as a
    // right side that waits is; two sides that wait are both checked with their values.
    const bool leftWaits = awaitsValue(l);
    const bool untypedLeft = l.type == T::Unknown && r.type != T::Unknown &&
                             ((code >= opEqual && code <= opLessEqual) || leftWaits);
    const bool bothUntyped = leftWaits && r.type == T::Unknown;
    if (!bothUntyped && (untypedLeft ? !IsOperandTypeAllowed(n.code, r.type, r.subType, l.type, l.subType)
                                     : !IsOperandTypeAllowed(n.code, l.type, l.subType, r.type, r.subType)))
      fail(std::string("Type mismatch between ") + kindWord(l) + " " + "'" + l.name + "'" + " and " +
           kindWord(r) + " " + "'" + r.name + "'");
    SetBinaryResultType(n);
  }

  TExpToken& arg(TExpToken& n, size_t i, bool quoted, bool booleanContext = false) const {
    TExpToken* a = n.GetArgument(i);
    if (!a) fail("Missing argument of " + n.name);
    check(&n, *a, quoted, booleanContext);
    return *a;
  }

  void checkFunction(TExpToken& n, bool quoted, bool booleanContext) const {
    const std::string& name = n.name;
    std::string upper = name;
    for (auto& c : upper)
      if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    uint8_t code = n.code;
    // An argument that waits for a parameter's value passes; the check with the values decides.
    auto text = [](const TExpToken& a) { return awaitsValue(a) || isText(a); };
    auto is = [](const TExpToken& a, T type) { return awaitsValue(a) || a.type == type; };
    auto textResult = [&](const TExpToken& source) {
      if (awaitsValue(source)) return setType(n, T::Unknown, 0);
      bool memo = source.type == T::Blob;
      setType(n, memo ? T::Blob : T::String, source.valueSize, memo ? S::Memo : S::None);
    };
    switch (code) {
      case fnSum:
      case fnRunSum:
      case fnCount:
      case fnMin:
      case fnMax:
      case fnAvg: {
        TExpToken& a = arg(n, 0, quoted);
        if (code != fnCount && !awaitsValue(a) &&
            !(isDateTime(a.type) || a.type == T::SmallInt || a.type == T::Integer || a.type == T::Float ||
              a.type == T::BCD || a.type == T::Word || a.type == T::LargeInt))
          fail(name + " aggregate function " + "must contain a numeric, date, time, or timestamp expression");
        takeType(n, a);
        return;
      }
      case fnUpper:
      case fnLower: {
        TExpToken& a = arg(n, 0, quoted);
        if (!text(a))
          fail(std::string("Type mismatch between ") + (code == fnUpper ? "UPPER" : "LOWER") +
               " function and function argument");
        textResult(a);
        break;
      }
      case fnSubstring: {
        TExpToken& a = arg(n, 0, quoted);
        if (!text(a)) fail("Expression argument of SUBSTRING function must be a string or memo");
        if (!is(arg(n, 1, false), T::Integer))
          fail("FROM argument of SUBSTRING function must be an integer value");
        if (n.GetArgument(2) && !is(arg(n, 2, false), T::Integer))
          fail("FOR argument of SUBSTRING function must be an integer value");
        textResult(a);
        break;
      }
      case fnReplace: {
        TExpToken& c = arg(n, 2, quoted);
        if (!text(c)) fail("IN argument of REPLACE function must be a string or memo");
        if (!is(arg(n, 0, false), T::String))
          fail("Type mismatch between REPLACE function and search string argument");
        if (!is(arg(n, 1, false), T::String))
          fail("Type mismatch between REPLACE function and WITH argument");
        textResult(c);
        break;
      }
      case fnPos:
      case fnOccurs: {
        std::string word = code == fnPos ? "POS" : "OCCURS";
        if (!text(arg(n, 1, quoted))) fail("Type mismatch between " + word + " function and IN argument");
        if (!is(arg(n, 0, false), T::String))
          fail("Type mismatch between " + word + " function and search string argument");
        setType(n, T::Integer, 4);
        break;
      }
      case fnTrimLeading:
      case fnTrimTrailing:
      case fnTrimBoth: {
        TExpToken& x = arg(n, 1, quoted);
        if (!text(x)) fail("FROM argument of TRIM function must be a string or memo");
        TExpToken& c = arg(n, 0, false);
        if (!isStringConstant(c) || c.isNull || characterCount(c.Text()) != 1)
          fail("Trim character argument of TRIM function must be a single character constant");
        textResult(x);
        break;
      }
      case fnLength:
        if (!text(arg(n, 0, quoted))) fail("Type mismatch between LENGTH function and function argument");
        setType(n, T::Integer, 4);
        break;
      case fnCast: {
        TExpToken& a = arg(n, 0, quoted);
        CheckDataTypeArguments(errorCode, context1, context2, n, where);
        if (a.type != T::Unknown && !IsCastAllowed(a.type, n.type))
          fail(std::string("Type mismatch between ") + kindWord(a) + " " + "'" + a.name + "'" +
               " and AS argument");
        return booleanRewrite(n, booleanContext);
      }
      case fnExtractYear:
      case fnExtractMonth:
      case fnExtractWeek:
      case fnExtractDay:
      case fnExtractDayOfWeek:
      case fnExtractHour:
      case fnExtractMinute:
      case fnExtractSecond:
        if (const TExpToken& a = arg(n, 0, quoted); !awaitsValue(a) && !isDateTime(a.type))
          fail("FROM argument of EXTRACT function must be a date, time, or timestamp");
        setType(n, T::Integer, 4);
        break;
      case fnIf: {
        if (!is(arg(n, 0, quoted, true), T::Boolean))
          fail("First expression argument of IF function must be a boolean type");
        TExpToken& a = arg(n, 1, true);
        TExpToken& b = arg(n, 2, true);
        const bool waits = awaitsValue(a) || awaitsValue(b);
        if (isNullConstant(a) && isNullConstant(b))
          failAfter("At least one of the second and third IF expression arguments in " + std::string(where) +
                    " must be a non-NULL value");
        if (isNullConstant(a)) takeType(a, b);
        if (isNullConstant(b)) takeType(b, a);
        if (!waits && !IsOperandTypeAllowed(opEqual, a.type, a.subType, b.type, b.subType))
          fail("Type mismatch between second and third IF expression arguments");
        n.type = a.type;
        n.subType = a.subType;
        if (a.type == T::String && b.type != T::Blob) {
          n.SetValueSize(std::max(a.valueSize, b.valueSize));
          n.scale = std::max(a.scale, b.scale);
        } else {
          n.SetValueSize(a.valueSize);
          n.scale = a.scale;
        }
        return booleanRewrite(n, booleanContext);
      }
      case fnAbs: {
        TExpToken& a = arg(n, 0, quoted);
        if (!awaitsValue(a) && !(a.type == T::SmallInt || a.type == T::Integer || a.type == T::Float ||
                                 a.type == T::BCD || a.type == T::Word || a.type == T::LargeInt))
          fail("Expression argument of ABS function must be an integer, floating-point, or BCD type");
        takeType(n, a);
        return;
      }
      case fnRound: {
        TExpToken& a = arg(n, 0, quoted);
        if (!awaitsValue(a) && a.type != T::Float && a.type != T::BCD)
          fail("Expression argument of ROUND function must be a floating-point or BCD type");
        if (n.GetArgument(1)) {
          TExpToken& places = arg(n, 1, false);
          if (places.kind != expConstant || places.type != T::Integer || places.isNull)
            fail("Decimal places argument of ROUND function must be an integer constant");
          int32_t v = GetIntegerValue(places.Value());
          if (v < 0 || v > 32)
            fail("Decimal places argument of ROUND function must be an integer constant between 0 and 32");
        }
        takeType(n, a);
        return;
      }
      case fnTextSearch:
      case fnTextOccurs: {
        std::string word = code == fnTextSearch ? "TEXTSEARCH" : "TEXTOCCURS";
        TExpToken& a = arg(n, 0, false);
        if (!text(a)) fail("Type mismatch between " + word + " function and search text function argument");
        if (a.kind != expConstant) fail(word + " search text function argument must be a string constant");
        TExpToken& c = arg(n, 1, quoted);
        if (c.kind != expColumn) fail(word + " function column argument must be a valid column name");
        if (!isText(c)) fail("Type mismatch between " + word + " function and column function argument");
        if (code == fnTextOccurs) {
          setType(n, T::Integer, 4);
          break;
        }
        setType(n, T::Boolean, 2);
        n.scale = 0;
        return booleanRewrite(n, booleanContext);
      }
      default:
        fail("Unknown or unexpected function '" + name + "'");
    }
    n.scale = 0;
  }

  void checkPredicate(TExpToken& n, bool quoted) const {
    uint8_t code = n.code;
    std::string word = code == prLike                             ? "LIKE"
                       : code == prNotLike                        ? "NOT LIKE"
                       : code == prBetween                        ? "BETWEEN"
                       : code == prNotBetween                     ? "NOT BETWEEN"
                       : code == prNotIn || code == prNotInSelect ? "NOT IN"
                                                                  : "IN";
    auto mismatch = [&](const TExpToken& a) {
      fail("Type mismatch between " + word + " operator and expression " + "'" + a.name + "'");
    };
    TExpToken& tested = arg(n, 0, quoted);
    // A tested value that waits for a parameter's value is taken when some type of it equals
    // the item's; items that wait are taken as on the right of "=".
    auto comparable = [&](const TExpToken& item) {
      if (!awaitsValue(tested))
        return IsOperandTypeAllowed(opEqual, tested.type, tested.subType, item.type, item.subType);
      return item.type == T::Unknown ||
             IsOperandTypeAllowed(opEqual, item.type, item.subType, tested.type, tested.subType);
    };
    if (code == prLike || code == prNotLike) {
      if (!awaitsValue(tested) && !isText(tested)) mismatch(tested);
      TExpToken& pattern = arg(n, 1, false);
      if (!awaitsValue(pattern) && pattern.type != T::String) mismatch(pattern);
    } else if (code == prInSelect || code == prNotInSelect) {
      TExpToken& sub = arg(n, 1, quoted);
      if (!comparable(sub)) mismatch(sub);
    } else {
      for (size_t i = 1; i < n.args.size(); ++i) {
        TExpToken& a = arg(n, i, false);
        coerceDateText(tested, a);
        if (!comparable(a)) mismatch(a);
      }
    }
    setType(n, T::Boolean, 2);
    n.scale = 0;
  }
};

}  // namespace

void TypeCheckExpTree(uint16_t errorCode, std::string_view contextText1, std::string_view contextText2,
                      bool textMayNameColumn, bool booleanContext, TColumnResolver resolver,
                      void* resolverData, TExpToken* parent, TExpToken& node, std::string_view where) {
  Checker checker{errorCode, contextText1, contextText2, where, resolver, resolverData};
  checker.check(parent, node, textMayNameColumn, booleanContext);
}

void CheckDataTypeArguments(uint16_t errorCode, std::string_view contextText1, std::string_view contextText2,
                            TExpToken& node, std::string_view where) {
  Checker checker{errorCode, contextText1, contextText2, where, nullptr, nullptr};
  const TExpToken* operand = node.GetArgument(0);
  const TExpToken* first = node.GetArgument(1);
  const TExpToken* second = node.GetArgument(2);
  auto integer = [](const TExpToken* a) { return a && a->type == T::Integer && !a->isNull; };
  switch (node.type) {
    case T::String:
    case T::Bytes: {
      bool text = node.type == T::String;
      if (!first) {
        node.SetValueSize(operand ? operand->valueSize : 10);
        break;
      }
      if (!integer(first)) checker.fail("Length argument must be an integer");
      int32_t length = GetIntegerValue(first->Value());
      if (length < 1 || length > int32_t(kMaxStringLength))
        checker.fail("Length argument must be an integer greater than 0 and less than or equal to " +
                     std::to_string(kMaxStringLength));
      node.SetValueSize(uint32_t(length + (text ? 1 : 0)));
      break;
    }
    case T::BCD:
    case T::Float:
      node.SetValueSize(node.type == T::BCD ? uint32_t(kBcdSize) : 8);
      node.scale = 0;
      if (first && second) {
        if (!integer(second)) checker.fail("Scale argument must be an integer");
        int32_t scale = GetIntegerValue(second->Value());
        if (node.type == T::BCD && (scale < 0 || scale > kBcdMaxFieldScale))
          checker.failAfter(
              "Scale argument must be an integer less than or equal to 4 for the BCD data type " +
              std::string(where));
        node.scale = uint8_t(std::clamp(scale, 0, 32));
      }
      break;
    case T::Blob: {
      node.SetValueSize(operand ? operand->valueSize : 8);
      if (!integer(first)) checker.fail("First BLOB type argument must be an integer");
      if (!integer(second)) checker.fail("BLOB type argument must be an integer");
      int32_t kind = GetIntegerValue(second->Value());
      if (kind != 1 && kind != 2 && kind != 3 && kind != 5 && kind != 7)
        checker.fail("BLOB type argument must be an integer with a value of 1,2,3,5, or 7");
      node.subType = S(21 + kind);
      break;
    }
    default:
      node.SetValueSize(uint32_t(FixedValueSize(node.type)));
      break;
  }
}

void ExpandBooleanToComparison(TExpToken& node) {
  TExpToken* copy = GetExpToken();
  copy->Assign(node);
  copy->parent = &node;
  for (auto* child : {copy->left, copy->right, copy->third})
    if (child) child->parent = copy;
  for (auto* child : copy->args)
    if (child) child->parent = copy;
  TExpToken* truth = GetExpToken();
  truth->kind = expConstant;
  truth->name = "True";
  truth->type = T::Boolean;
  truth->SetValueSize(2);
  PutWordValue(truth->Value(), 1);
  truth->parent = &node;
  TExpToken* parent = node.parent;
  node.Reset();
  node.parent = parent;
  node.kind = expBinary;
  node.code = opEqual;
  node.name = "=";
  node.type = T::Boolean;
  node.SetValueSize(2);
  node.left = copy;
  node.right = truth;
}

// ---- Tree tests ----

bool ExpTreeHasColumnRef(const TExpToken* node) {
  auto walked = [](const TExpToken* n) {
    return n->kind == expUnary || n->kind == expBinary || n->kind == expFunction || n->kind == expPredicate;
  };
  if (!node) return false;
  if (node->kind == expColumn) return true;
  if (!walked(node)) return false;
  // The thread's own work list, kept between calls: planning asks this of every condition and
  // value, mostly small trees. Nothing here calls out, so no other walk can share it meanwhile.
  thread_local std::vector<const TExpToken*> pending;
  const size_t base = pending.size();
  pending.push_back(node);
  bool found = false;
  while (pending.size() > base) {
    const TExpToken* n = pending.back();
    pending.pop_back();
    if (n->kind == expColumn) {
      found = true;
      break;
    }
    if (!walked(n)) continue;
    for (auto* c : {n->left, n->right, n->third})
      if (c) pending.push_back(c);
    for (auto* c : n->args)
      if (c) pending.push_back(c);
  }
  pending.resize(base);
  return found;
}

bool ExpTreeHasAggregate(const TExpToken* node) {
  if (!node) return false;
  if (node->kind == expFunction && node->code >= fnSum && node->code <= fnAvg) return true;
  if (ExpTreeHasAggregate(node->left) || ExpTreeHasAggregate(node->right) || ExpTreeHasAggregate(node->third))
    return true;
  return std::any_of(node->args.begin(), node->args.end(),
                     [](const TExpToken* a) { return ExpTreeHasAggregate(a); });
}

TExpToken* FindFirstColumnRef(TExpToken* node) {
  if (!node) return nullptr;
  if (node->kind == expColumn) return node;
  for (auto* c : {node->left, node->right, node->third})
    if (TExpToken* found = FindFirstColumnRef(c)) return found;
  for (auto* c : node->args)
    if (TExpToken* found = FindFirstColumnRef(c)) return found;
  return nullptr;
}

bool IsDisjunction(const TExpToken* node) {
  if (!node) return false;
  if (node->kind == expBinary && node->code == opOr) return true;
  if (node->kind == expUnary && node->code == opNot) return !IsDisjunction(node->left);
  return false;
}

bool IsNegatedByNot(const TExpToken* node) {
  if (!node) return false;
  if (node->kind == expUnary && node->code == opNot) return true;
  if (node->kind != expBinary) return false;
  for (const TExpToken* p = node->parent; p; p = p->parent)
    if (p->kind == expUnary && p->code == opNot) return true;
  return false;
}

// ---- Preparation ----

namespace {

// Whether two values of `type` are the same number or instant.
bool sameValue(T type, const uint8_t* a, const uint8_t* b) {
  switch (type) {
    case T::SmallInt:
    case T::Word:
    case T::Integer:
    case T::LargeInt:
      return IntegerOperandValue(type, a) == IntegerOperandValue(type, b);
    case T::Float:
    case T::Timestamp:
      return GetFloatValue(a) == GetFloatValue(b);
    case T::Date:
      return GetIntegerValue(a) == GetIntegerValue(b);
    case T::BCD: {
      int64_t x = 0, y = 0;
      return DecodeBcdValue(a, x) == TBcdDecode::Exact && DecodeBcdValue(b, y) == TBcdDecode::Exact && x == y;
    }
    default:
      return false;
  }
}

// Whether `converted` (in `to`) is the value `original` (in `from`) itself: converted back, it
// gives the original again. A fraction cut off, a scale rounded away, the high bits of a wide
// integer or the time of a timestamp make it another value.
bool convertedExactly(const TValueType& from, std::span<const uint8_t> original, const TValueType& to,
                      const uint8_t* converted) {
  uint8_t back[kBcdSize] = {};
  if (!ConvertToNodeType(to, std::span(converted, kBcdSize), from, back)) return false;
  return sameValue(from.type, original.data(), back);
}

}  // namespace

TExpToken* EvaluateAsTypeOf(const TExpToken& typeNode, const TExpToken& node, void* readerData,
                            TColumnReader columnReader, uint16_t sortId, uint16_t languageId) {
  TExpToken* result = EvaluateExpTree(&node, readerData, readerData, sortId, languageId, columnReader);
  if (result->isNull || result->type == T::String || result->type == typeNode.type) return result;
  TValueType from{result->type, result->subType, result->valueSize, result->scale};
  TValueType to{typeNode.type, typeNode.subType, typeNode.valueSize, typeNode.scale};
  uint8_t converted[kBcdSize] = {};
  const std::span<const uint8_t> original(result->Value(), result->ValueCapacity());
  // A value the column's type cannot hold keeps its own type: compared in it, 1.5 equals no
  // whole number, and the index ranges, which take only values of the column's type, stand aside.
  if (ConvertToNodeType(from, original, to, converted) && convertedExactly(from, original, to, converted)) {
    std::fill(result->Value(), result->Value() + result->ValueCapacity(), uint8_t(0));
    std::copy_n(converted, FixedValueSize(to.type), result->Value());
    takeType(*result, typeNode);
  }
  return result;
}

namespace {

struct Preparer {
  void* readerData;
  TColumnReader reader;
  bool noPartialCompare, caseInsensitive;
  uint16_t sortId, languageId;

  TExpToken* once(const TExpToken& typeNode, const TExpToken& n) const {
    return EvaluateAsTypeOf(typeNode, n, readerData, reader, sortId, languageId);
  }
  // The prepared copy when the subtree reads columns or waits for a parameter's value (it has
  // no value to take before the run), else its value evaluated once.
  TExpToken* operand(const TExpToken& typeNode, const TExpToken& n) const {
    return ExpTreeHasColumnRef(&n) || awaitsValue(n) ? prepare(n) : once(typeNode, n);
  }

  TExpToken* prepare(const TExpToken& n) const {
    TExpTreePtr copy(GetExpToken());
    copy->Assign(n);
    copy->left = copy->right = copy->third = nullptr;
    copy->args.clear();
    auto link = [&](TExpToken*& slot, TExpToken* child) {
      slot = child;
      if (child) child->parent = copy.get();
    };
    auto addArg = [&](TExpToken* child) {
      child->parent = copy.get();
      copy->args.push_back(child);
    };
    uint8_t code = n.code;
    switch (n.kind) {
      case expUnary:
        link(copy->left, prepare(*n.left));
        break;
      case expBinary:
      case expKeyCompare:
        if (code < opEqual || code > opLessEqual) {
          link(copy->left, prepare(*n.left));
          link(copy->right, prepare(*n.right));
          break;
        }
        // A constant side takes the type of the side that reads columns, whichever side it
        // stands on: 14 / -3 against an integer column is -4 on the left as on the right.
        if (!ExpTreeHasColumnRef(n.left) && ExpTreeHasColumnRef(n.right)) {
          link(copy->left, operand(*n.right, *n.left));
          link(copy->right, prepare(*n.right));
          break;
        }
        link(copy->left, prepare(*n.left));
        link(copy->right, operand(*n.left, *n.right));
        if (code == opEqual || code == opNotEqual) prefixForStar(*copy);
        break;
      case expFunction:
        for (const TExpToken* a : n.args) addArg(operand(*a, *a));
        break;
      case expPredicate: {
        const TExpToken& tested = *n.args[0];
        addArg(prepare(tested));
        for (size_t i = 1; i < n.args.size(); ++i)
          addArg(code == prInSelect || code == prNotInSelect ? prepare(*n.args[i])
                                                             : operand(tested, *n.args[i]));
        // LIKE 'abc%' stays a LIKE: a prefix comparison cuts the text at the pattern's bytes and
        // compares as the language does, where LIKE takes a letter with its marks and compares
        // letter by letter ('A' + acute is not cut to 'A'; under English 'A%' finds 'Áx').
        break;
      }
      default:
        break;
    }
    return copy.release();
  }

  // = 'abc*' (or any text equality when case is ignored) becomes a prefix comparison. A key
  // compare its builder made keeps the length and case rule it was given: its text is a value.
  void prefixForStar(TExpToken& n) const {
    if (n.kind == expKeyCompare) return;
    TExpToken& r = *n.right;
    if (r.kind != expConstant || r.type != T::String || r.isNull) return;
    std::string_view text = r.Text();
    bool star = !text.empty() && text.back() == '*';
    if (!star && !caseInsensitive) return;
    n.kind = expKeyCompare;
    n.caseInsensitive = caseInsensitive;
    n.compareLength = star && !noPartialCompare ? uint32_t(text.size() - 1) : 0;
    if (n.compareLength > 0) r.SetText(text.substr(0, text.size() - 1));
  }
};

}  // namespace

TExpToken* PrepareExpTree(const TExpToken* node, void* readerData, TColumnReader columnReader,
                          bool noPartialCompare, bool caseInsensitive, uint16_t sortId, uint16_t languageId) {
  if (!node) return nullptr;
  Preparer preparer{readerData, columnReader, noPartialCompare, caseInsensitive, sortId, languageId};
  return preparer.prepare(*node);
}

}  // namespace engine
