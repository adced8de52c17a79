// Joins whose inner table no index serves: the inner rows read once in a run and looked up by the
// value of one equality of the join condition, in place of a cursor filter that reads the whole
// table again for every outer row.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorlocale.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldorfilter.h"
#include "engine/tables/veldortable.h"
#include "engine/values/veldorexpcheck.h"

namespace engine::sql {

namespace {

using T = TEngineFieldType;

// Rows and bytes that one lookup may hold; a larger inner table is filtered row by row as before.
constexpr size_t kMaxLookupBytes = size_t(64) << 20;
// Outer rows a lookup is built for: one read of the inner table costs about what two or three
// filtered passes do, so a single outer row reads it the old way. A text key costs a sort under
// the locale, worth it only over more rows. The outer rows are those stepped so far, or, before
// the first, the driving table's: a join further down steps about as often where its owner is
// joined by equality, and a wrong guess costs one read at most.
constexpr uint32_t kLookupAfterSteps = 2;
constexpr uint32_t kTextLookupAfterSteps = 16;

bool integral(T type) {
  return type == T::SmallInt || type == T::Integer || type == T::Word || type == T::LargeInt ||
         type == T::Date || type == T::Time || type == T::Boolean;
}

// The key of a value of `type` as the engine's `=` compares it: integers by value, a DATE by its
// day, a BOOLEAN as true or false, a FLOAT or TIMESTAMP as a double with -0 taken as 0.
int64_t integerKey(T type, const uint8_t* p) {
  switch (type) {
    case T::SmallInt:
      return GetSmallIntValue(p);
    case T::Word:
      return GetWordValue(p);
    case T::LargeInt:
      return GetLargeIntValue(p);
    case T::Boolean:
      return GetWordValue(p) != 0;
    default:
      return GetIntegerValue(p);
  }
}

double doubleKey(const uint8_t* p) {
  double d = GetFloatValue(p);
  return d == 0 ? 0.0 : d;
}

std::string_view untilZero(const uint8_t* p, size_t size) {
  const auto* text = reinterpret_cast<const char*>(p);
  return std::string_view(text, strnlen(text, size));
}

// Whether the tree reads a column of `table`.
bool reads(const TExpToken* node, const TSourceTable& table) {
  if (!node) return false;
  if (node->kind == expColumn && node->sourceTable == &table) return true;
  if (reads(node->left, table) || reads(node->right, table) || reads(node->third, table)) return true;
  return std::any_of(node->args.begin(), node->args.end(),
                     [&](const TExpToken* a) { return reads(a, table); });
}

// The conjunct `column = value` of the filter built for one outer row (an AND of conjuncts, each
// with the inner table's side on the left) whose column is field `fieldNo` of `table` (any
// field when 0), or nullptr.
const TExpToken* keyConjunct(const TExpToken* node, const TSourceTable& table, uint16_t fieldNo) {
  if (!node || node->kind != expBinary) return nullptr;
  if (node->code == opAnd) {
    const TExpToken* left = keyConjunct(node->left, table, fieldNo);
    return left ? left : keyConjunct(node->right, table, fieldNo);
  }
  if (node->code != opEqual || !node->left || !node->right) return nullptr;
  const TExpToken& column = *node->left;
  if (column.kind != expColumn || column.sourceTable != &table || (fieldNo && column.fieldNo != fieldNo))
    return nullptr;
  return reads(node->right, table) ? nullptr : node;
}

}  // namespace

// ---- The lookup ----

bool TJoinLookup::Supports(T type) {
  return integral(type) || type == T::Float || type == T::Timestamp || type == T::String;
}

bool TJoinLookup::less(uint32_t a, uint32_t b) const {
  int c = OSCompareStrings(languageId_, sortId_, texts_[a], false, 0, texts_[b]);
  return c ? c < 0 : a < b;
}

namespace {

// Orders `rows` by their keys (`keys` by row), then by row; `keys` becomes the keys in that order.
template <typename Key>
void sortByKey(std::vector<uint32_t>& rows, std::vector<Key>& keys) {
  std::vector<std::pair<Key, uint32_t>> pairs;
  pairs.reserve(rows.size());
  for (uint32_t row : rows) pairs.emplace_back(keys[row], row);
  std::sort(pairs.begin(), pairs.end());
  keys.resize(pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    keys[i] = pairs[i].first;
    rows[i] = pairs[i].second;
  }
  keys.shrink_to_fit();
}

}  // namespace

bool TJoinLookup::Build(TDataCursor& cursor, uint16_t fieldNo, size_t maxBytes) {
  const TFieldDescriptor& field = cursor.GetFieldDesc(fieldNo);
  type_ = T(field.Type());
  floating_ = type_ == T::Float || type_ == T::Timestamp;
  languageId_ = cursor.LanguageId();
  sortId_ = cursor.SortId();
  recordSize_ = cursor.RecordSize();
  const size_t perRow =
      recordSize_ + 3 * sizeof(uint32_t) + sizeof(int64_t) + (type_ == T::String ? sizeof(std::string) : 0);
  if (size_t(std::max(cursor.GetRecordCount(), 0)) * perRow > maxBytes) return false;
  std::vector<uint8_t> record(recordSize_);
  std::vector<uint8_t> value(std::max<size_t>(field.StoredSize(), 16) + 1);
  size_t bytes = 0;
  auto fail = [&] {
    *this = TJoinLookup();
    return false;
  };
  cursor.SetToBegin();
  for (;;) {
    uint16_t code = cursor.GetNextRecord(record.data());
    if (code == VELDOR_EOF) break;
    RaiseEngineErrorIfSet(code);
    const auto row = uint32_t(recordNos_.size());
    records_.insert(records_.end(), record.begin(), record.end());
    recordNos_.push_back(cursor.CurrentRecordNo());
    std::fill(value.begin(), value.end(), uint8_t(0));
    bool isNull = true;
    cursor.GetField(fieldNo, record.data(), isNull, value.data());
    bytes += perRow;
    if (type_ == T::String) {
      texts_.emplace_back(isNull ? std::string_view() : untilZero(value.data(), value.size() - 1));
      bytes += texts_.back().size();
    } else if (floating_) {
      doubles_.push_back(isNull ? 0.0 : doubleKey(value.data()));
      // NaN is equal to every value by the engine's compare: it has no place in an order.
      if (std::isnan(doubles_.back())) return fail();
    } else {
      integers_.push_back(isNull ? 0 : integerKey(type_, value.data()));
    }
    if (bytes > maxBytes) return fail();
    (isNull ? nulls_ : sorted_).push_back(row);
  }
  if (type_ == T::String)
    std::sort(sorted_.begin(), sorted_.end(), [&](uint32_t a, uint32_t b) { return less(a, b); });
  else if (floating_)
    sortByKey(sorted_, doubles_);
  else
    sortByKey(sorted_, integers_);
  Find(nullptr);
  return true;
}

void TJoinLookup::Find(const TExpToken* value) {
  list_ = nullptr;
  begin_ = at_ = 0;
  end_ = recordNos_.size();
  if (!value) return;
  if (value->isNull) {
    list_ = &nulls_;
    end_ = nulls_.size();
    return;
  }
  // A value of another type (a text the conversion left as it was) compares by other rules:
  // every row is a candidate.
  if (value->type != type_) return;
  size_t first = 0, last = 0;
  auto bounds = [&](const auto& keys, auto key) {
    auto range = std::equal_range(keys.begin(), keys.end(), key);
    first = size_t(range.first - keys.begin());
    last = size_t(range.second - keys.begin());
  };
  if (type_ == T::String) {
    std::string_view text = untilZero(value->Value(), value->ValueCapacity());
    auto below = std::partition_point(sorted_.begin(), sorted_.end(), [&](uint32_t row) {
      return OSCompareStrings(languageId_, sortId_, texts_[row], false, 0, text) < 0;
    });
    auto past = std::partition_point(below, sorted_.end(), [&](uint32_t row) {
      return OSCompareStrings(languageId_, sortId_, texts_[row], false, 0, text) == 0;
    });
    first = size_t(below - sorted_.begin());
    last = size_t(past - sorted_.begin());
  } else if (floating_) {
    double key = doubleKey(value->Value());
    if (std::isnan(key)) return;
    bounds(doubles_, key);
  } else {
    bounds(integers_, integerKey(type_, value->Value()));
  }
  list_ = &sorted_;
  begin_ = at_ = first;
  end_ = last;
}

bool TJoinLookup::Next(uint32_t& recordNo, const uint8_t*& record) {
  if (at_ >= end_) return false;
  const uint32_t row = list_ ? (*list_)[at_] : uint32_t(at_);
  ++at_;
  recordNo = recordNos_[row];
  record = records_.data() + size_t(row) * recordSize_;
  return true;
}

// ---- The join's use of it ----

bool TTableJoin::lookUp(TExpTreePtr& tree) {
  ++steps_;
  if (steps_ == 1) {
    const TSourceTable* driving = Owner.Owner.DrivingTable;
    outerRows_ = driving && driving->Cursor ? uint32_t(std::max(driving->Cursor->GetRecordCount(), 0)) : 0;
  }
  if (!lookup_ && !indexRange_ && !lookupRefused_ && std::max(steps_, outerRows_) >= kLookupAfterSteps)
    buildLookup(*tree);
  if (!lookup_ && !indexRange_) return false;
  const TExpToken* key = keyConjunct(tree.get(), Inner, keyFieldNo_);
  const TExpToken* value = key ? key->right : nullptr;
  if (indexRange_) {
    // A NULL, or a value the conversion left in another type, reads the whole index.
    rangeAll_ = !value || value->isNull || value->type != key->left->type;
    if (!rangeAll_) {
      rangeKey_ = integerKey(value->type, value->Value());
      Inner.Cursor->PutField(keyFieldNo_, keyRecord_.data(), value->Value());
    }
    rangeStart_ = true;
    // A condition that is only the key's equality is decided by the range itself: the rows
    // need no test, nor the filter a tree.
    keyDecides_ = !rangeAll_ && key == tree.get();
  } else {
    lookup_->Find(value);
  }
  if (keyDecides_) {
    tree.reset();
  } else {
    lookupFilter_->ReplaceTree(std::move(tree));
  }
  Inner.Feed = this;
  Inner.RowCheck = nullptr;
  return true;
}

void TTableJoin::buildLookup(TExpToken& tree) {
  TDataCursor& cursor = *Inner.Cursor;
  const TExpToken* key = keyConjunct(&tree, Inner, 0);
  if (cursor.IsRemote() || cursor.HasComputedFields() || !key || key->left->fieldNo < 1 ||
      key->left->fieldNo > cursor.FieldCount()) {
    lookupRefused_ = true;
    return;
  }
  const uint16_t fieldNo = key->left->fieldNo;
  const T type = T(cursor.GetFieldDesc(fieldNo).Type());
  if (!TJoinLookup::Supports(type) || type != key->left->type) {
    lookupRefused_ = true;
    return;
  }
  // The filter that an index serves reads only its own keys: it stays, unless a range of that
  // index serves it with less work.
  if (cursor.GetExpressionOptimizeLevel(&tree, 0, false) != 0) {
    if (!useIndexRange(fieldNo)) lookupRefused_ = true;
    return;
  }
  // A kept record's blob could change under it between the run's read holds: the cursor reads
  // such a table itself.
  if (cursor.HasBlobFields()) {
    lookupRefused_ = true;
    return;
  }
  if (type == T::String && std::max(steps_, outerRows_) < kTextLookupAfterSteps) return;
  // The rows are read within the cursor's own filters, without the join's.
  DropFilter();
  auto lookup = std::make_unique<TJoinLookup>();
  if (!lookup->Build(cursor, fieldNo, kMaxLookupBytes)) {
    lookupRefused_ = true;
    return;
  }
  lookup_ = std::move(lookup);
  keyFieldNo_ = fieldNo;
  lookupFilter_ = std::make_unique<TFilter>(cursor, nullptr, nullptr, false, false, true, nullptr);
}

namespace {

// The last answer of EqualityKeyIndex on this thread with everything it was drawn from: a statement
// by key asks it at its open, its planning and its run, of index definitions that seldom change
// between them. Compared byte for byte, the definitions as the index file holds them give the same
// answer again or none.
struct TKeyIndexMemo {
  bool valid = false;
  uint16_t fieldNo = 0;
  T type = T::Unknown;
  bool stale = false;
  uint8_t count = 0;
  uint8_t slot = kNoCurrentIndex;
  std::array<uint8_t, size_t(kSysDeletedSlot) * kIndexDescriptorSize> descriptors{};
};

thread_local TKeyIndexMemo keyIndexMemo;

}  // namespace

uint8_t EqualityKeyIndex(TDataCursor& cursor, uint16_t fieldNo) {
  // Index keys of these types order exactly as `=` compares; a text or FLOAT key may not (case
  // rules of the index, -0 and 0).
  const T type = T(cursor.GetFieldDesc(fieldNo).Type());
  if (!integral(type) || type == T::Boolean) return kNoCurrentIndex;
  // An index with more fields than the key may hold texts whose order awaits a rebuild under a
  // changed collation: the cursor refuses to select it, and the rating passes it by.
  const bool stale = cursor.IndexRebuildNeeded();
  const uint8_t count = cursor.GetIndexCount();
  const size_t slots = std::min<size_t>(size_t(count) + 1, kSysDeletedSlot);
  const uint8_t* held =
      cursor.Table() ? cursor.Table()->IndexFile().HeaderImage() + kIndexDescriptorsOffset : nullptr;
  TKeyIndexMemo& memo = keyIndexMemo;
  const size_t bytes = slots * kIndexDescriptorSize;
  if (held && memo.valid && memo.fieldNo == fieldNo && memo.type == type && memo.stale == stale &&
      memo.count == count && std::memcmp(memo.descriptors.data(), held, bytes) == 0)
    return memo.slot;
  uint8_t found = kNoCurrentIndex;
  for (uint8_t s = 0; s < slots; ++s) {
    TIndexDescriptor index = cursor.GetIndexDesc(s);
    if (index.fieldCount >= 1 && index.fields[0] == fieldNo && !index.name.empty() && !index.descending &&
        !index.fieldDescending[0] && !(stale && index.fieldCount > 1)) {
      found = s;
      break;
    }
  }
  memo.valid = held != nullptr;
  if (held) {
    memo.fieldNo = fieldNo;
    memo.type = type;
    memo.stale = stale;
    memo.count = count;
    memo.slot = found;
    std::memcpy(memo.descriptors.data(), held, bytes);
  }
  return found;
}

int64_t EqualityKeyValue(TEngineFieldType type, const uint8_t* value) {
  return integerKey(type, value);
}

bool TTableJoin::useIndexRange(uint16_t fieldNo) {
  TDataCursor& cursor = *Inner.Cursor;
  const uint8_t slot = EqualityKeyIndex(cursor, fieldNo);
  if (slot == kNoCurrentIndex) return false;
  // The cursor's own filters would make each range build their view over the whole table again.
  DropFilter();
  savedIndex_ = cursor.CurrentIndex();
  cursor.SwitchToIndex(slot);
  if (cursor.ViewUsesBitmap()) {
    cursor.SwitchToIndex(savedIndex_);
    return false;
  }
  keyRecord_.assign(cursor.RecordSize(), 0);
  cursor.ClearRecordBuffer(keyRecord_.data());
  indexRange_ = true;
  keyFieldNo_ = fieldNo;
  lookupFilter_ = std::make_unique<TFilter>(cursor, nullptr, nullptr, false, false, true, nullptr);
  return true;
}

bool TTableJoin::aimKeyRange() {
  if (!keySidesKnown_) {
    keySidesKnown_ = true;
    keyColumn_ = keyValue_ = nullptr;
    const TExpToken* node = Condition.get();
    if (node && node->kind == expBinary && node->code == opEqual && node->left && node->right && !wide()) {
      for (auto [column, value] : {std::pair(node->left, node->right), std::pair(node->right, node->left)}) {
        if (column->kind == expColumn && column->sourceTable == &Inner && column->fieldNo == keyFieldNo_ &&
            !reads(value, Inner)) {
          keyColumn_ = column;
          keyValue_ = value;
          break;
        }
      }
    }
  }
  if (!keyColumn_) return false;
  TDataQuery& query = Owner.Owner;
  // The value as the general road's filter tree would hold it.
  TExpTreePtr value(
      EvaluateAsTypeOf(*keyColumn_, *keyValue_, nullptr, ReadSourceColumn, query.SortId, query.LanguageId));
  if (!value || value->isNull || value->type != keyColumn_->type) return false;
  ++steps_;
  Inner.RowCheck = nullptr;
  rangeAll_ = false;
  rangeKey_ = integerKey(value->type, value->Value());
  Inner.Cursor->PutField(keyFieldNo_, keyRecord_.data(), value->Value());
  rangeStart_ = true;
  keyDecides_ = true;
  Inner.Feed = this;
  return true;
}

void TTableJoin::DropLookup() {
  if (Inner.Feed == this) Inner.Feed = nullptr;
  if (indexRange_) {
    indexRange_ = false;
    Inner.Cursor->SwitchToIndex(savedIndex_);
  }
  lookupFilter_.reset();
  lookup_.reset();
  steps_ = outerRows_ = 0;
  lookupRefused_ = false;
  keyDecides_ = false;
  keySidesKnown_ = false;
  keyColumn_ = keyValue_ = nullptr;
  lookupRecordNo_ = 0;
}

bool TTableJoin::NextLookupRow() {
  TSourceTable& table = Inner;
  uint32_t recordNo = 0;
  const uint8_t* record = nullptr;
  if (indexRange_) {
    TDataCursor& cursor = *table.Cursor;
    uint8_t* buffer = table.RecordBuffer.data();
    const T type = T(cursor.GetFieldDesc(keyFieldNo_).Type());
    uint8_t value[16] = {};
    for (;;) {
      uint16_t code = 0;
      if (!rangeStart_) {
        // The current row holds the key: a next entry with other key bytes ends the equal keys
        // without its record being read.
        if (!rangeAll_ && cursor.NextKeySharesFields(1) == 0) break;
        code = cursor.GetNextRecord(buffer);
      } else if (rangeAll_) {
        cursor.SetToBegin();
        code = cursor.GetNextRecord(buffer);
      } else if (!cursor.FindKey(false, keyRecord_.data(), 1, true, 0, buffer)) {
        code = VELDOR_EOF;
      }
      rangeStart_ = false;
      if (code == VELDOR_EOF) break;
      RaiseEngineErrorIfSet(code);
      if (!rangeAll_) {
        // The index holds equal keys together: the first other value ends them.
        bool isNull = true;
        cursor.GetField(keyFieldNo_, buffer, isNull, value);
        if (!isNull && integerKey(type, value) != rangeKey_) break;
        if (isNull) continue;
      }
      recordNo = cursor.CurrentRecordNo();
      if (!keyDecides_ && !cursor.EvaluateFilterRecord(recordNo, buffer, *lookupFilter_)) continue;
      lookupRecordNo_ = recordNo;
      return true;
    }
    cursor.ClearRecordBuffer(buffer);
    lookupRecordNo_ = 0;
    return false;
  }
  while (lookup_->Next(recordNo, record)) {
    std::memcpy(table.RecordBuffer.data(), record, table.Cursor->RecordSize());
    if (!table.Cursor->EvaluateFilterRecord(recordNo, table.RecordBuffer.data(), *lookupFilter_)) continue;
    lookupRecordNo_ = recordNo;
    return true;
  }
  table.Cursor->ClearRecordBuffer(table.RecordBuffer.data());
  lookupRecordNo_ = 0;
  return false;
}

void TTableJoin::rewind() {
  if (lookup_)
    lookup_->Rewind();
  else
    rangeStart_ = true;
}

uint32_t TSourceTable::CurrentRecordNo() const {
  return Feed ? Feed->lookupRecordNo_ : Cursor->CurrentRecordNo();
}

}  // namespace engine::sql
