// Index-assisted filtering: which tests an index answers, and the key ranges that answer them.
//
// A range is found by position in the counted tree: the first key not less than a bound, or the
// first key greater than it, compared over the bound's significant bytes only. Strict bounds and
// string prefixes so need no stepped keys, and a locale's order needs no next character.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorbtree.h"
#include "engine/storage/veldorkeys.h"
#include "engine/storage/veldorrecord.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"
#include "engine/values/veldorexpop.h"
#include "engine/values/veldorvalues.h"
#include "platform/scopeguard.h"

namespace engine {

using platform::ScopeExit;

namespace {

using T = TEngineFieldType;

bool isComparison(const TExpToken& n) {
  return n.kind == expBinary && n.code >= opEqual && n.code <= opLessEqual;
}

// Tests an index may answer, and the node that names the column they test.
const TExpToken* testedOperand(const TExpToken& n) {
  if (isComparison(n) || n.kind == expKeyCompare) return n.left;
  if (n.kind == expUnary && (n.code == opIsNull || n.code == opIsNotNull)) return n.left;
  if (n.kind == expPredicate &&
      (n.code == prBetween || n.code == prNotBetween || n.code == prIn || n.code == prNotIn))
    return n.args.empty() ? nullptr : n.args[0];
  return nullptr;
}

// Types whose key order is the evaluation's order of their values.
bool keyOrderedType(uint8_t type) {
  switch (T(type)) {
    case T::String:
    case T::Date:
    case T::Boolean:
    case T::SmallInt:
    case T::Integer:
    case T::Float:
    case T::BCD:
    case T::Time:
    case T::Timestamp:
    case T::Word:
    case T::LargeInt:
      return true;
    default:
      return false;
  }
}

bool integerType(T type) {
  return type == T::SmallInt || type == T::Word || type == T::Integer || type == T::LargeInt;
}
bool numberType(T type) {
  return integerType(type) || type == T::Float || type == T::BCD;
}

// The value one step above (`up`) or below `value` among the values of `type` (a BCD of `scale`
// places); false past the type's range.
bool stepValue(T type, uint8_t scale, uint8_t* value, bool up) {
  const int64_t step = up ? 1 : -1;
  switch (type) {
    case T::SmallInt:
    case T::Word:
    case T::Integer: {
      const int64_t next = IntegerOperandValue(type, value) + step;
      const int64_t low = type == T::SmallInt ? INT16_MIN : type == T::Word ? 0 : INT32_MIN;
      const int64_t high = type == T::SmallInt ? INT16_MAX : type == T::Word ? UINT16_MAX : INT32_MAX;
      if (next < low || next > high) return false;
      if (type == T::SmallInt) PutSmallIntValue(value, int16_t(next));
      if (type == T::Word) PutWordValue(value, uint16_t(next));
      if (type == T::Integer) PutIntegerValue(value, int32_t(next));
      return true;
    }
    case T::LargeInt: {
      const int64_t v = GetLargeIntValue(value);
      if (up ? v == INT64_MAX : v == INT64_MIN) return false;
      PutLargeIntValue(value, v + step);
      return true;
    }
    case T::BCD: {
      int64_t scaled = 0;
      if (DecodeBcdValue(value, scaled) != TBcdDecode::Exact) return false;
      int64_t unit = 1;
      for (int i = scale; i < 4; ++i) unit *= 10;
      if (__builtin_add_overflow(scaled, step * unit, &scaled)) return false;
      return EncodeBcdValue(scaled, scale, value);
    }
    case T::Date:
      PutIntegerValue(value, GetIntegerValue(value) + int32_t(step));
      return true;
    default:
      return false;
  }
}

// -1 for a number below zero, 1 above it, 0 for zero or a BCD that does not read.
int signOf(const TExpToken& n) {
  auto sign = [](auto v) { return v < 0 ? -1 : v > 0 ? 1 : 0; };
  switch (n.type) {
    case T::Float:
      return sign(GetFloatValue(n.Value()));
    case T::BCD: {
      int64_t scaled = 0;
      const TBcdDecode decoded = DecodeBcdValue(n.Value(), scaled);
      return decoded == TBcdDecode::Exact || decoded == TBcdDecode::Rounded ? sign(scaled) : 0;
    }
    default:
      return sign(IntegerOperandValue(n.type, n.Value()));
  }
}

}  // namespace

uint8_t TDataCursor::GetExpressionOptimizeLevel(TExpToken* node, uint8_t parentCode, bool checkRangeSize) {
  if (!node) return 0;
  // Rating reads index pages (the range sizes): a read pair taken for that ends with the rating,
  // after the saved index is back.
  ReadScope scope(*this);
  SavedIndex saved(*this);
  uint8_t level = 0;
  if (options_.QueryResult && !options_.QuerySource) {
    level = 0;
  } else if (node->kind == expBinary && node->code == opAnd) {
    const uint8_t l = GetExpressionOptimizeLevel(node->left, opAnd, checkRangeSize);
    const uint8_t r = GetExpressionOptimizeLevel(node->right, opAnd, checkRangeSize);
    if (l == 2 && r == 2) {
      level = 2;
    } else if (l > 0 || r > 0) {
      level = 1;
      // The index-served side runs first and narrows what the other side reads.
      if (r > l) std::swap(node->left, node->right);
    }
  } else if (node->kind == expBinary && node->code == opOr) {
    const uint8_t l = GetExpressionOptimizeLevel(node->left, opOr, checkRangeSize);
    const uint8_t r = GetExpressionOptimizeLevel(node->right, opOr, checkRangeSize);
    level = l == 2 && r == 2 ? 2 : 0;
  } else if (node->kind == expUnary && node->code == opNot) {
    level = GetExpressionOptimizeLevel(node->left, opNot, checkRangeSize);
  } else if (IndexedTextSearch(*node)) {
    level = 2;
  } else if (const TExpToken* tested = testedOperand(*node)) {
    const bool upper = IsUpperOfColumn(tested);
    const TExpToken* column = upper ? tested->args[0] : tested;
    const bool nullTest = node->kind == expUnary;
    if (column && column->kind == expColumn && FindIndexForField(column->fieldNo, upper, nullTest)) {
      const bool counted = parentCode != 0 && checkRangeSize;
      const uint64_t limit = uint64_t(std::trunc(0.9 * table_->IndexFile().GetRecordCount()));
      const bool list = node->kind == expPredicate && (node->code == prIn || node->code == prNotIn);
      level = 2;
      for (size_t i = 1; level == 2 && i < (list ? node->args.size() : 2); ++i) {
        TKeyRange range;
        bool complement = false, restart = false;
        if (!BuildComparisonRange(*node, list ? node->args[i] : nullptr, range, complement) ||
            (counted && CountRangeKeys(range, restart) > limit))
          level = 0;
      }
    }
  }
  node->optimisationLevel = level;
  return level;
}

bool TDataCursor::FindIndexForField(uint16_t fieldNo, bool caseInsensitive, bool anyCase) {
  TIndexFile& index = table_->IndexFile();
  uint16_t position = 0;
  const TFieldDescriptor* field = table_->DataFile().FindFieldByNumber(fieldNo, position);
  if (!field) return false;
  for (uint8_t slot = table_->NoPrimaryIndex() ? 1 : 0; slot <= index.GetIndexCount(); ++slot) {
    const TIndexDescriptor d = index.GetIndexDescriptor(slot);
    if (d.fields[0] != fieldNo) continue;
    if (indexRebuildNeeded_ && indexUsesLocale(slot)) continue;
    if (anyCase || field->Type() != kFieldTypeString || (d.caseInsensitive != 0) == caseInsensitive) {
      SelectIndex(slot);
      return true;
    }
  }
  return false;
}

bool TDataCursor::buildConstantKey(const TFieldDescriptor& field, const TExpToken& constant,
                                   uint8_t* key) const {
  if (constant.kind != expConstant || constant.isNull || uint8_t(constant.type) != field.Type()) return false;
  if (!keyOrderedType(field.Type())) return false;
  const uint32_t stored = field.StoredSize();
  if (field.Type() == kFieldTypeString) {
    // An empty text equals the NULL value's text; a longer one than the field holds would be cut
    // to a key that a stored value can have.
    const std::string_view text = constant.Text();
    if (text.empty() || text.size() + 1 > stored) return false;
  } else if (field.Type() == kFieldTypeBCD && constant.scale != field.StoredScale()) {
    return false;
  } else if (T(field.Type()) == T::Float && std::isnan(GetFloatValue(constant.Value()))) {
    return false;
  }
  buildValueKey(field, constant.Value(), constant.ValueCapacity(), key);
  return true;
}

void TDataCursor::buildValueKey(const TFieldDescriptor& field, const uint8_t* value, size_t capacity,
                                uint8_t* key) const {
  std::array<uint8_t, kValueBufferSize> bytes{};
  std::memcpy(bytes.data(), value, std::min(capacity, bytes.size()));
  const uint32_t size = GetFieldKeySize(field.Span());
  key[0] = 1;
  BuildFieldKey(field.Span(), {bytes.data(), std::max<size_t>(field.StoredSize(), 4)}, {key, size + 1u},
                false, !indexDescending_ && keyFieldDescending_[0], languageId_, sortId_);
}

TDataCursor::TBoundFit TDataCursor::fitBound(const TFieldDescriptor& field, const TExpToken& constant,
                                             bool low, uint8_t* key) const {
  if (buildConstantKey(field, constant, key)) return kExact;
  const T type = T(field.Type());
  if (constant.kind != expConstant || constant.isNull) return kUnknown;
  // A number the field's type cannot hold (a fraction for whole numbers, more places than a BCD
  // field keeps, beyond the type's range), or a timestamp with a time of day for a DATE: the
  // filter compares it as itself, and the bound is the field's nearest value on its side.
  const bool numbers = (integerType(type) || type == T::BCD) && numberType(constant.type);
  const bool dates = type == T::Date && constant.type == T::Timestamp;
  if (!numbers && !dates) return kUnknown;
  if (constant.type == T::Float && std::isnan(GetFloatValue(constant.Value()))) return kUnknown;
  const uint8_t scale = type == T::BCD ? field.StoredScale() : 0;
  const TValueType to{type, TEngineFieldSubType::None, uint32_t(FixedValueSize(type)), scale};
  std::array<uint8_t, kBcdSize> nearest{};
  bool converted = false;
  if (constant.type == T::BCD && type == T::BCD) {
    int64_t scaled = 0;
    const TBcdDecode decoded = DecodeBcdValue(constant.Value(), scaled);
    if (decoded != TBcdDecode::Exact && decoded != TBcdDecode::Rounded) return kUnknown;
    converted = EncodeBcdValue(scaled, scale, nearest.data());
  } else {
    const TValueType from{constant.type, constant.subType, constant.valueSize, constant.scale};
    converted = ConvertToNodeType(from, {constant.Value(), constant.ValueCapacity()}, to, nearest);
  }
  if (!converted) {
    // Beyond the type's range: every value lies on one side of it.
    const int sign = dates ? 0 : signOf(constant);
    if (sign == 0) return kUnknown;
    return (sign < 0) == low ? kEveryValue : kNoValue;
  }
  // The conversion cut or rounded the constant to a neighbouring value; the filter's own
  // comparison tells on which side it fell.
  const ExpOperand value = ExpOperand::Of(constant);
  const ExpOperand candidate{
      type,           TEngineFieldSubType::None, scale, false, uint32_t(FixedValueSize(type)),
      nearest.data(), uint32_t(nearest.size())};
  if (CompareOperands(opEqual, candidate, value, languageId_, sortId_) == 1) {
    buildValueKey(field, nearest.data(), nearest.size(), key);
    return kExact;
  }
  const int wrongSide = CompareOperands(low ? opLess : opGreater, candidate, value, languageId_, sortId_);
  if (wrongSide < 0) return kUnknown;
  if (wrongSide == 1 && !stepValue(type, scale, nearest.data(), low)) return kNoValue;
  buildValueKey(field, nearest.data(), nearest.size(), key);
  return kNearest;
}

bool TDataCursor::BuildComparisonRange(const TExpToken& test, const TExpToken* value, TKeyRange& range,
                                       bool& complement) {
  range = TKeyRange{};
  complement = false;
  if (keyFields_.empty()) return false;
  const TFieldDescriptor& field = keyFields_[0];
  const bool text = field.Type() == kFieldTypeString;
  // In byte order a string index orders and tells texts apart as the bytes do, but the evaluation
  // compares texts by a collation (accents and case weigh less): only the NULL tests agree.
  const bool ordered = !text || languageId_ != 0;
  range.compareLength = uint16_t(1 + GetFieldKeySize(field.Span()));
  auto equal = [&](const TExpToken& constant, bool negated) {
    if (constant.kind == expConstant && constant.isNull) {
      range.nullKeys = true;
      complement = negated;
      return true;
    }
    if (T(field.Type()) == T::Boolean && constant.kind == expConstant) {
      // Any non-zero word is true to the evaluation, but keys tell the words apart.
      return false;
    }
    complement = negated;
    switch (fitBound(field, constant, true, range.low.data())) {
      case kExact:
        range.high = range.low;
        range.hasLow = range.hasHigh = true;
        return true;
      case kUnknown:
        return false;
      default:
        // No value of the field's type equals it.
        range.empty = true;
        return true;
    }
  };
  // A bound of a range test: inclusive for the field's nearest value to an inexact constant
  // (n > 1.5 is n >= 2), none when every value lies on its side; false when no value does.
  auto bound = [&](const TExpToken& constant, bool low, bool inclusive) {
    uint8_t* key = low ? range.low.data() : range.high.data();
    const TBoundFit fit = fitBound(field, constant, low, key);
    if (fit == kNoValue) range.empty = true;
    if (fit == kExact || fit == kNearest) (low ? range.hasLow : range.hasHigh) = true;
    (low ? range.lowInclusive : range.highInclusive) = inclusive || fit == kNearest;
    return fit != kUnknown;
  };

  if (test.kind == expUnary) {
    range.nullKeys = true;
    complement = test.code == opIsNotNull;
    return true;
  }
  // IS NULL and IS NOT NULL, prepared as comparisons with NULL: the NULL keys answer them in any
  // order.
  if (isComparison(test) && (test.code == opEqual || test.code == opNotEqual) && test.right &&
      test.right->kind == expConstant && test.right->isNull)
    return equal(*test.right, test.code == opNotEqual);
  if (!ordered) return false;
  if (value) return equal(*value, test.code == prNotIn);
  if (test.kind == expKeyCompare) {
    if (test.caseInsensitive || !test.right || (test.code != opEqual && test.code != opNotEqual))
      return false;
    // A text prefix is no single run of keys in a collation's order ("ab" < "ába" < "abb").
    if (test.compareLength != 0) return false;
    return equal(*test.right, test.code == opNotEqual);
  }
  if (test.kind == expPredicate) {
    if (test.args.size() != 3 || T(field.Type()) == T::Boolean) return false;
    if (!bound(*test.args[1], true, true) || !bound(*test.args[2], false, true)) return false;
    complement = test.code == prNotBetween;
    return true;
  }
  if (!isComparison(test) || !test.right) return false;
  if (test.code == opEqual || test.code == opNotEqual) return equal(*test.right, test.code == opNotEqual);
  if (T(field.Type()) == T::Boolean) return false;
  const bool low = test.code == opGreater || test.code == opGreaterEqual;
  if (!bound(*test.right, low, test.code == opGreaterEqual || test.code == opLessEqual)) return false;
  // The evaluation reads a NULL string as the empty text, below every other.
  range.withNulls = text && !range.hasLow;
  return true;
}

int TDataCursor::compareBound(const uint8_t* entry, const uint8_t* bound) const {
  const TFieldDescriptor& field = keyFields_[0];
  const bool descending = languageId_ == 0 ? indexDescending_ : (indexDescending_ || keyFieldDescending_[0]);
  int r;
  if (languageId_ == 0 || field.Type() != kFieldTypeString) {
    r = CompareBytes(entry, bound, boundLength_, descending);
  } else {
    r = CompareBytes(entry, bound, 1, descending);
    if (r == 0 && boundLength_ > 1) {
      const size_t n = boundLength_ - 1u;
      r = OSCompareStrings(languageId_, sortId_,
                           std::string_view(reinterpret_cast<const char*>(entry + 1), n), false, n,
                           std::string_view(reinterpret_cast<const char*>(bound + 1), n));
      if (descending) r = -r;
    }
  }
  return r != 0 ? r : boundTie_;
}

uint64_t TDataCursor::keyPosition(const uint8_t* key, uint16_t length, bool after) {
  boundLength_ = length;
  boundTie_ = after ? -1 : 0;
  ScopeExit unbound([&] { boundLength_ = 0; });
  uint64_t position = 0;
  TIndexTree(table_->IndexFile(), *this, GetCurrentIndex()).FindKey(key, position);
  return position;
}

void TDataCursor::rangePositions(const TKeyRange& range, std::vector<std::pair<uint64_t, uint64_t>>& spans) {
  spans.clear();
  if (range.empty) return;
  const uint64_t total = TIndexTree(table_->IndexFile(), *this, GetCurrentIndex()).KeyCount();
  // Where the NULL keys of the first field lie: first in ascending order, last in descending.
  std::array<uint8_t, kMaxCursorKeySize + 1> nullKey{};
  if (languageId_ == 0 && !indexDescending_ && keyFieldDescending_[0]) nullKey[0] = 0xFF;
  const uint64_t nullStart = keyPosition(nullKey.data(), 1, false);
  const uint64_t nullEnd = keyPosition(nullKey.data(), 1, true);
  if (range.nullKeys) {
    if (nullEnd > nullStart) spans.emplace_back(nullStart, nullEnd);
    return;
  }
  uint64_t start = 1, end = total + 1;
  if (nullEnd > nullStart) {
    if (nullStart == 1)
      start = nullEnd;
    else
      end = nullStart;
  }
  const bool descending = indexDescending_ || keyFieldDescending_[0];
  const uint16_t length = range.compareLength;
  if (!descending) {
    if (range.hasLow) start = std::max(start, keyPosition(range.low.data(), length, !range.lowInclusive));
    if (range.hasHigh) end = std::min(end, keyPosition(range.high.data(), length, range.highInclusive));
  } else {
    if (range.hasHigh) start = std::max(start, keyPosition(range.high.data(), length, !range.highInclusive));
    if (range.hasLow) end = std::min(end, keyPosition(range.low.data(), length, range.lowInclusive));
  }
  if (start < end) spans.emplace_back(start, end);
  if (range.withNulls && nullEnd > nullStart) spans.emplace_back(nullStart, nullEnd);
}

uint64_t TDataCursor::CountRangeKeys(const TKeyRange& range, bool& restart) {
  // Index walks take the read pair; a read this call took ends with it.
  ReadScope scope(*this);
  restart = false;
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  rangePositions(range, spans);
  uint64_t count = 0;
  for (const auto& [start, end] : spans) count += end - start;
  return count;
}

uint64_t TDataCursor::CountKeysForComparison(const TExpToken& test) {
  TKeyRange range;
  bool complement = false, restart = false;
  return BuildComparisonRange(test, nullptr, range, complement) ? CountRangeKeys(range, restart) : 0;
}

void TDataCursor::AddRangeToBitmap(const TKeyRange& range, TRecordsBitmap& bitmap, bool& restart,
                                   bool outside) {
  restart = false;
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  rangePositions(range, spans);
  TIndexTree tree(table_->IndexFile(), *this, GetCurrentIndex());
  if (outside) {
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<uint64_t, uint64_t>> rest;
    uint64_t from = 1;
    for (const auto& [start, end] : spans) {
      if (start > from) rest.emplace_back(from, start);
      from = std::max(from, end);
    }
    const uint64_t total = tree.KeyCount();
    if (from <= total) rest.emplace_back(from, total + 1);
    spans.swap(rest);
  }
  bitmap.ClearAll();
  std::array<uint8_t, kMaxCursorKeySize + 1> first{}, last{};
  for (const auto& [start, end] : spans) {
    uint32_t reference = 0;
    if (!tree.KeyAtPosition(start, first.data(), reference) ||
        !tree.KeyAtPosition(end - 1, last.data(), reference))
      Raise(VELDOR_INDEXCORRUPT, {}, currentIndexName_);
    tree.AddRangeToBitmap(first.data(), last.data(), bitmap);
  }
}

void TDataCursor::BuildRangeBitmap(bool& restart) {
  restart = false;
  rangeBitmap_.SetSize(table_->DataFile().GetLastRecordNumber());
  if (!rangeSet_ || InRecordNumberOrder()) return;
  rangeBitmap_.ClearAll();
  if (CompareKeys(rangeStartKey_.data(), rangeEndKey_.data(), currentKeySize_) > 0) return;
  TIndexTree(table_->IndexFile(), *this, GetCurrentIndex())
      .AddRangeToBitmap(rangeStartKey_.data(), rangeEndKey_.data(), rangeBitmap_);
}

void TDataCursor::BuildUsedRecordsBitmap(bool& restart) {
  restart = false;
  BuildUsedRecordsBitmap(usedRecordsBitmap_);
}

}  // namespace engine
