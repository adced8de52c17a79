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
  std::array<uint8_t, kValueBufferSize> value{};
  std::memcpy(value.data(), constant.Value(), std::min<size_t>(constant.ValueCapacity(), value.size()));
  const uint32_t size = GetFieldKeySize(field.Span());
  key[0] = 1;
  BuildFieldKey(field.Span(), {value.data(), std::max<size_t>(stored, 4)}, {key, size + 1u}, false,
                !indexDescending_ && keyFieldDescending_[0], languageId_, sortId_);
  return true;
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
    if (!buildConstantKey(field, constant, range.low.data())) return false;
    range.high = range.low;
    range.hasLow = range.hasHigh = true;
    complement = negated;
    return true;
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
    if (!buildConstantKey(field, *test.args[1], range.low.data()) ||
        !buildConstantKey(field, *test.args[2], range.high.data()))
      return false;
    range.hasLow = range.hasHigh = true;
    complement = test.code == prNotBetween;
    return true;
  }
  if (!isComparison(test) || !test.right) return false;
  if (test.code == opEqual || test.code == opNotEqual) return equal(*test.right, test.code == opNotEqual);
  if (T(field.Type()) == T::Boolean) return false;
  if (!buildConstantKey(
          field, *test.right,
          test.code == opGreater || test.code == opGreaterEqual ? range.low.data() : range.high.data()))
    return false;
  switch (test.code) {
    case opGreater:
      range.hasLow = true;
      range.lowInclusive = false;
      break;
    case opGreaterEqual:
      range.hasLow = true;
      break;
    case opLess:
      range.hasHigh = true;
      range.highInclusive = false;
      break;
    default:
      range.hasHigh = true;
      break;
  }
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
  rangeBitmap_->SetSize(table_->DataFile().GetLastRecordNumber());
  if (!rangeSet_ || InRecordNumberOrder()) return;
  rangeBitmap_->ClearAll();
  if (CompareKeys(rangeStartKey_.data(), rangeEndKey_.data(), currentKeySize_) > 0) return;
  TIndexTree(table_->IndexFile(), *this, GetCurrentIndex())
      .AddRangeToBitmap(rangeStartKey_.data(), rangeEndKey_.data(), *rangeBitmap_);
}

void TDataCursor::BuildUsedRecordsBitmap(bool& restart) {
  restart = false;
  BuildUsedRecordsBitmap(*usedRecordsBitmap_);
}

}  // namespace engine
