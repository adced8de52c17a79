// The final passes of a SELECT over result rows held in memory: the rows are ordered, made
// distinct or grouped by the keys of the result table's own pass indexes, so that they come out
// exactly as the passes through those indexes give them, and go into the result table once, in
// their final order (rows that no pass reorders go in at once too), or, for an INSERT's SELECT,
// are handed to the INSERT as they lie. A result that outgrows the memory limit goes through the
// table instead.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <numeric>
#include <string_view>
#include <vector>

#include "engine/sql/veldorsq.h"
#include "engine/sql/veldorsq_inplace.h"
#include "engine/values/veldorexpeval.h"
#include "platform/debugassert.h"
#include "platform/scopeguard.h"

namespace engine::sql {

namespace {

std::atomic<size_t> heldRowsLimit{size_t(32) << 20};

// The storage of handed rows kept for the next run of a query on the thread, at most as much as
// an idle pooled result keeps: the pooled result, which would have kept it, never held the rows.
constexpr size_t kIdleHandedBytes = size_t(8) << 20;
thread_local std::vector<uint8_t> idleHeldBytes;

// The rows holdRow makes room for at once within the room reserved (cleared while they are in
// the cache).
constexpr size_t kHeldRowsPerGrowth = 16;

// TOP keeps its best rows once this many more than it needs wait.
constexpr size_t kMinTopSlack = 1024;

// Two keys of a pass index by their first `compared` bytes, as sortByIndex orders them.
int compareHeldKeys(TDataCursor& result, const uint8_t* a, const uint8_t* b, uint16_t compared) {
  return result.GetLanguageId() == 0 ? std::memcmp(a, b, compared) : result.CompareKeys(a, b, compared);
}

}  // namespace

size_t TDataQuery::SetHeldRowsLimit(size_t bytes) {
  return heldRowsLimit.exchange(bytes);
}

bool TDataQuery::canHoldRows() const {
  const TDataCursor& result = *ResultCursor;
  if (unionPart_ || UnionKind != 0 || result.IsRemote() || result.HasBlobFields()) return false;
  const bool grouped = GroupByGiven && !AllAggregate;
  // A row limit counts the rows the result holds, which for DISTINCT are the distinct ones: held
  // rows are, when duplicates go on arrival.
  if (Distinct && !grouped && (MaxRowCount >= 0 || Top >= 0) && ResultCursor->GetLanguageId() != 0)
    return false;
  return true;
}

uint8_t* TDataQuery::holdRow(HeldRows& held) {
  // Within the room reserved first the rows grow kHeldRowsPerGrowth at a time: rows taken whole
  // come in past the last one as copies (keepsRecord), where room made far ahead would have been
  // cleared for nothing. Past it the room doubles.
  const size_t needed = (held.count + 1) * held.recordSize;
  if (needed > held.bytes.size())
    held.bytes.resize(
        needed <= held.bytes.capacity()
            ? std::min(held.bytes.capacity(), needed + (kHeldRowsPerGrowth - 1) * held.recordSize)
            : std::max(needed, 2 * held.bytes.size()));
  return held.row(held.count);
}

bool TDataQuery::heldTopOnly() const {
  return Top >= 0 && OrderByGiven && !OrderBySatisfied && !Distinct && !(GroupByGiven && !AllAggregate);
}

void TDataQuery::reserveHeldRows(HeldRows& held, int64_t sourceRows) {
  if (MultiTable || sourceRows <= 0 || held.recordSize == 0) return;
  size_t rows = size_t(sourceRows);
  if (heldTopOnly()) rows = std::min(rows, std::max<size_t>(2 * size_t(Top), kMinTopSlack) + 1);
  rows = std::min(rows, heldRowsLimit.load() / held.recordSize + 1);
  // The room the result's last rows had, when it was emptied for this run: taken over below
  // (finishHeldRows), it comes back each time instead of being allocated and touched anew.
  held.bytes = ResultCursor->TakeSpareRecordBuffer();
  if (held.bytes.capacity() < idleHeldBytes.capacity()) held.bytes.swap(idleHeldBytes);
  idleHeldBytes = {};
  held.bytes.reserve(rows * held.recordSize);
}

bool TDataQuery::heldDuplicate(HeldRows& held) {
  TDataCursor& result = *ResultCursor;
  if (held.distinctKeySize == 0) {
    held.savedIndex = result.CurrentIndex();
    result.SelectIndex(passSlot("Sys__Distinct"));
    held.distinctKeySize = result.GetKeySize();
    held.keyTable.assign(1024, 0);
  }
  const size_t size = held.distinctKeySize;
  held.keys.resize((held.count + 1) * size);
  uint8_t* key = held.keys.data() + held.count * size;
  result.BuildKey(held.row(held.count), key, held.row(held.count));
  auto hashOf = [&](const uint8_t* k) {
    return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(k), size));
  };
  const size_t mask = held.keyTable.size() - 1;
  size_t at = hashOf(key) & mask;
  for (; held.keyTable[at] != 0; at = (at + 1) & mask)
    if (std::memcmp(held.keys.data() + size_t(held.keyTable[at] - 1) * size, key, size) == 0) return true;
  held.keyTable[at] = uint32_t(held.count + 1);
  if (2 * (held.count + 1) > held.keyTable.size()) {
    // Half full: twice the room, every held key placed anew.
    held.keyTable.assign(held.keyTable.size() * 2, 0);
    const size_t wider = held.keyTable.size() - 1;
    for (uint32_t i = 0; i <= held.count; ++i) {
      size_t slot = hashOf(held.keys.data() + size_t(i) * size) & wider;
      while (held.keyTable[slot] != 0) slot = (slot + 1) & wider;
      held.keyTable[slot] = i + 1;
    }
  }
  return false;
}

void TDataQuery::endDistinctOnArrival(HeldRows& held) {
  if (held.distinctKeySize == 0) return;
  ResultCursor->SelectIndex(held.savedIndex);
  held.distinctKeySize = 0;
  held.keys.clear();
  held.keys.shrink_to_fit();
  held.keyTable.clear();
  held.keyTable.shrink_to_fit();
}

void TDataQuery::setTopCut(HeldRows& held) {
  TDataCursor& result = *ResultCursor;
  const uint8_t slot = passSlot("Sys__OrderBy");
  if (held.cutCompared == 0) {
    held.savedIndex = result.CurrentIndex();
    result.SelectIndex(slot);
  }
  const size_t keySize = result.GetKeySize();
  held.cutCompared = uint16_t(result.GetIndexDesc(slot).unique ? keySize : keySize - kUniqueIdKeySize);
  held.cutKey.resize(keySize);
  held.arrivingKey.resize(keySize);
  for (size_t i = 0; i < held.count; ++i) {
    result.BuildKey(held.row(i), held.arrivingKey.data(), held.row(i));
    if (i == 0 || compareHeldKeys(result, held.arrivingKey.data(), held.cutKey.data(), held.cutCompared) > 0)
      held.cutKey.swap(held.arrivingKey);
  }
}

bool TDataQuery::behindTopCut(HeldRows& held) {
  if (held.cutCompared == 0) return false;
  TDataCursor& result = *ResultCursor;
  result.BuildKey(held.row(held.count), held.arrivingKey.data(), held.row(held.count));
  // Every row kept came earlier, so a tie with the last of them loses too.
  return compareHeldKeys(result, held.arrivingKey.data(), held.cutKey.data(), held.cutCompared) >= 0;
}

bool TDataQuery::planTopCutSkip(RowSkip& skip, HeldRows& held, const TSourceTable& driving) {
  // A row limit counts the rows let go behind the cut as taken.
  if (!heldTopOnly() || MaxRowCount >= 0 || !ResultCursor || ResultCursor->IsRemote()) return false;
  TDataCursor& result = *ResultCursor;
  const TIndexDescriptor index = result.GetIndexDesc(passSlot("Sys__OrderBy"));
  std::vector<const ColumnCopy*> keyCopies;
  for (uint8_t k = 0; k < index.fieldCount && k < index.fields.size(); ++k) {
    const ColumnCopy* copy = nullptr;
    for (size_t i = 0; i < ResultFields.size() && i < columnCopies_.size(); ++i)
      if (ResultFields[i]->ResultFieldNo == index.fields[k]) copy = &columnCopies_[i];
    if (!copy || copy->table != &driving ||
        (copy->kind != ColumnCopy::Bytes && copy->kind != ColumnCopy::Text))
      return false;
    keyCopies.push_back(copy);
  }
  if (keyCopies.empty()) return false;
  skip.keyCopies = std::move(keyCopies);
  skip.row.assign(result.RecordSize(), 0);
  result.ClearRecordBuffer(skip.row.data());
  skip.held = &held;
  return true;
}

bool TDataQuery::planTakeInPlace(RowSkip& skip, HeldRows& held, const TSourceTable& driving) {
  // A row limit, or TOP without an order, ends the run at a row count: the row loop counts.
  if (!held.active || MaxRowCount >= 0 || (Top >= 0 && !OrderByGiven && !GroupByGiven) ||
      columnCopies_.size() != ResultFields.size())
    return false;
  for (const ColumnCopy& copy : columnCopies_)
    if (copy.kind == ColumnCopy::None || copy.table != &driving) return false;
  skip.held = &held;
  skip.take = true;
  // A record laid out as the row, each of its bytes past the header one column's.
  const size_t size = ResultCursor->RecordSize();
  if (driving.Cursor->RecordSize() != size || columnCopies_.empty()) return true;
  size_t from = size;
  std::vector<bool> covered(size, false);
  for (const ColumnCopy& copy : columnCopies_) {
    if ((copy.kind != ColumnCopy::Bytes && copy.kind != ColumnCopy::Text) || copy.from != copy.to ||
        size_t(copy.to) + copy.size + 1 > size)
      return true;
    from = std::min<size_t>(from, copy.to);
    for (size_t b = copy.to; b <= copy.to + copy.size; ++b) {
      if (covered[b]) return true;
      covered[b] = true;
    }
  }
  for (size_t b = from; b < size; ++b)
    if (!covered[b]) return true;
  skip.whole = true;
  skip.wholeFrom = uint16_t(from);
  return true;
}

// Beside keepsRecord, which calls it for every column of every row taken whole.
void TDataQuery::copyColumnInPlace(const ColumnCopy& c, uint8_t* row) {
  CopyFieldInPlace(row + c.to, c.kind == ColumnCopy::Bytes, c.size, c.size);
}

bool TDataQuery::keepsRecord(const void* data, const uint8_t* record) {
  const auto& skip = *static_cast<const RowSkip*>(data);
  for (const ExpCondition* condition : skip.conditions) {
    if (!condition) continue;
    const ExpCondition::Outcome v = condition->Evaluate(record, nullptr, nullptr);
    if (v.isNull || (v.word & 0xFF) == 0) return false;
  }
  HeldRows* held = skip.held;
  if (!held) return true;
  TDataQuery& query = *skip.query;
  TDataCursor& result = *query.ResultCursor;
  if (!skip.keyCopies.empty() && held->cutCompared != 0) {
    // The row as far as the ORDER BY key reads it: its key is the one the whole row would have.
    auto* row = const_cast<uint8_t*>(skip.row.data());
    for (const ColumnCopy* copy : skip.keyCopies) copyColumn(*copy, record, row);
    result.BuildKey(row, held->arrivingKey.data(), row);
    // As behindTopCut: every row kept came earlier, so a tie with the last of them loses too.
    if (compareHeldKeys(result, held->arrivingKey.data(), held->cutKey.data(), held->cutCompared) >= 0) {
      // Taken and let go at once, as afterHeldRow would.
      ++held->taken;
      ++held->trimmed;
      return false;
    }
  }
  // Once the rows spilt to the result table, the row loop appends them.
  if (!skip.take || !held->active) return true;
  if (skip.whole) {
    const size_t size = result.RecordSize();
    const size_t at = held->count * held->recordSize;
    uint8_t* row = nullptr;
    if (size == held->recordSize && held->bytes.size() == at) {
      // Past the room made so far the row comes in as the record's copy, its bytes not cleared
      // first (holdRow's room would clear them).
      held->bytes.insert(held->bytes.end(), record, record + size);
      row = held->bytes.data() + at;
    } else {
      row = query.holdRow(*held);
      std::memcpy(row, record, size);
    }
    std::memset(row, 0, skip.wholeFrom);
    for (const ColumnCopy& copy : query.columnCopies_) copyColumnInPlace(copy, row);
  } else {
    uint8_t* row = query.holdRow(*held);
    result.ClearRecordBuffer(row);
    for (const ColumnCopy& copy : query.columnCopies_) copyColumn(copy, record, row);
  }
  query.afterHeldRow(*held);
  return false;
}

void TDataQuery::endTopCut(HeldRows& held) {
  if (held.cutCompared == 0) return;
  ResultCursor->SelectIndex(held.savedIndex);
  held.cutCompared = 0;
  held.cutKey.clear();
  held.arrivingKey.clear();
}

void TDataQuery::afterHeldRow(HeldRows& held) {
  // Without a locale a key equals another exactly when its bytes do.
  if (Distinct && !(GroupByGiven && !AllAggregate) && ResultCursor->GetLanguageId() == 0 &&
      heldDuplicate(held))
    return;
  const bool topOnly = heldTopOnly();
  if (topOnly && behindTopCut(held)) {
    // Taken and let go at once, as a trim would have.
    ++held.taken;
    ++held.trimmed;
    return;
  }
  ++held.count;
  ++held.taken;
  if (topOnly && held.count >= std::max<size_t>(2 * size_t(Top), kMinTopSlack)) {
    // The best TOP rows so far, in arrival order: a later row can only push some of them out.
    std::vector<uint32_t> order(held.count);
    std::iota(order.begin(), order.end(), 0u);
    sortByIndex(held, passSlot("Sys__OrderBy"), order, size_t(Top));
    std::sort(order.begin(), order.end());
    for (size_t i = 0; i < order.size(); ++i)
      if (order[i] != i) std::memcpy(held.row(i), held.row(order[i]), held.recordSize);
    held.trimmed += int64_t(held.count - order.size());
    held.count = order.size();
    if (held.count > 0) setTopCut(held);
  }
  // The passes build a key beside each row.
  if (held.keySize == 0)
    for (uint8_t slot = 1; slot <= ResultCursor->GetIndexCount(); ++slot)
      held.keySize = std::max<size_t>(held.keySize, ResultCursor->GetIndexDesc(slot).keySize);
  if (held.count * (held.recordSize + held.keySize + 2 * sizeof(uint32_t)) > heldRowsLimit.load())
    spillHeldRows(held);
}

void TDataQuery::spillHeldRows(HeldRows& held) {
  if (!held.active) return;
  held.active = false;
  endDistinctOnArrival(held);
  endTopCut(held);
  for (size_t i = 0; i < held.count; ++i) appendResultRow(held.row(i));
  held.count = 0;
  held.bytes.clear();
  held.bytes.shrink_to_fit();
}

void TDataQuery::sortByIndex(HeldRows& held, uint8_t slot, std::vector<uint32_t>& order, size_t best) {
  TDataCursor& result = *ResultCursor;
  const uint8_t saved = result.CurrentIndex();
  auto restore = platform::ScopeExit([&] { result.SelectIndex(saved); });
  result.SelectIndex(slot);
  const size_t keySize = result.GetKeySize();
  VELMARON_DEBUG_ASSERT(!result.GetIndexDesc(slot).descending, "a pass index orders its ties by unique id");
  // A key of a non-unique index ends with the row's unique id, which is its place in `order`.
  const uint16_t compared = uint16_t(result.GetIndexDesc(slot).unique ? keySize : keySize - kUniqueIdKeySize);
  std::vector<uint8_t> keys(held.count * keySize);
  for (uint32_t i : order) result.BuildKey(held.row(i), keys.data() + size_t(i) * keySize, held.row(i));
  const uint8_t* at = keys.data();
  if (best >= order.size()) {
    // Ties keep the order given, which the unique id of the rows' keys would give.
    result.SortKeys(at, keySize, compared, order);
  } else if (result.GetLanguageId() == 0) {
    // The best few: the first sixteen key bytes travel with the row number, so that most
    // comparisons read no key.
    VELMARON_DEBUG_ASSERT(std::is_sorted(order.begin(), order.end()), "the rows come in their arrival order");
    struct Entry {
      uint64_t high, low;
      uint32_t index;
    };
    std::vector<Entry> entries;
    entries.reserve(order.size());
    constexpr size_t kPrefix = 16;
    const size_t head = std::min<size_t>(compared, kPrefix);
    for (uint32_t i : order) {
      const uint8_t* key = at + size_t(i) * keySize;
      uint64_t high = 0, low = 0;
      for (size_t b = 0; b < 8; ++b) high = high << 8 | (b < head ? key[b] : 0);
      for (size_t b = 8; b < kPrefix; ++b) low = low << 8 | (b < head ? key[b] : 0);
      entries.push_back({high, low, i});
    }
    const auto before = [&](const Entry& a, const Entry& b) {
      if (a.high != b.high) return a.high < b.high;
      if (a.low != b.low) return a.low < b.low;
      if (compared > kPrefix) {
        const int order = std::memcmp(at + size_t(a.index) * keySize + kPrefix,
                                      at + size_t(b.index) * keySize + kPrefix, compared - kPrefix);
        if (order != 0) return order < 0;
      }
      return a.index < b.index;
    };
    // The order is total (ties go by row number): the first `best` are one set, found without
    // ordering the rest.
    std::nth_element(entries.begin(), entries.begin() + ptrdiff_t(best), entries.end(), before);
    entries.resize(best);
    order.resize(best);
    for (size_t i = 0; i < entries.size(); ++i) order[i] = entries[i].index;
  } else {
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      return result.CompareKeys(at + size_t(a) * keySize, at + size_t(b) * keySize, compared) < 0;
    });
    if (best < order.size()) order.resize(best);
  }
}

void TDataQuery::releaseHandedRows() {
  handed_.active = false;
  handed_.columnsCopied = false;
  handed_.order = {};
  if (handed_.bytes.capacity() <= kIdleHandedBytes && handed_.bytes.capacity() > idleHeldBytes.capacity())
    idleHeldBytes.swap(handed_.bytes);
  handed_.bytes = {};
}

void TDataQuery::finishHeldRows(HeldRows& held) {
  endTopCut(held);
  TDataCursor& result = *ResultCursor;
  std::vector<uint32_t> order(held.count);
  std::iota(order.begin(), order.end(), 0u);
  const bool grouped = GroupByGiven && !AllAggregate;
  const bool ordered = OrderByGiven && !OrderBySatisfied;
  const bool capEarly = Top >= 0 && (!OrderByGiven || OrderBySatisfied);
  auto cap = [&](int32_t rows) {
    if (rows >= 0 && order.size() > size_t(rows)) order.resize(size_t(rows));
  };
  if (grouped) {
    sortByIndex(held, passSlot("Sys__GroupBy"), order);
    // The rows side by side in group order: the merge then reads memory in sequence.
    std::vector<uint8_t> sorted(order.size() * held.recordSize);
    for (size_t i = 0; i < order.size(); ++i)
      std::memcpy(sorted.data() + i * held.recordSize, held.row(order[i]), held.recordSize);
    held.bytes.swap(sorted);
    sorted = {};
    HeldRows groups;
    groups.recordSize = held.recordSize;
    size_t next = 0;
    groupRows([&]() -> const uint8_t* { return next < held.count ? held.row(next++) : nullptr; },
              [&](const uint8_t* group) {
                std::memcpy(holdRow(groups), group, groups.recordSize);
                ++groups.count;
              },
              capEarly ? Top : -1);
    held = std::move(groups);
    order.resize(held.count);
    std::iota(order.begin(), order.end(), 0u);
    if (ordered) {
      sortByIndex(held, passSlot("Sys__OrderBy"), order);
      cap(Top);
    }
  } else {
    if (Distinct && held.distinctKeySize != 0) {
      // The duplicates went on arrival.
      endDistinctOnArrival(held);
      if (OrderBySatisfied) {
        sortByIndex(held, passSlot("Sys__Distinct"), order);
        cap(Top);
      }
    } else if (Distinct) {
      // The unique index refuses a row whose key it holds already: the first of equal rows stays.
      const uint8_t slot = passSlot("Sys__Distinct");
      sortByIndex(held, slot, order);
      const uint8_t saved = result.CurrentIndex();
      auto restore = platform::ScopeExit([&] { result.SelectIndex(saved); });
      result.SelectIndex(slot);
      const size_t keySize = result.GetKeySize();
      std::vector<uint8_t> previous(keySize), key(keySize);
      std::vector<bool> kept(held.count, false);
      for (size_t i = 0; i < order.size(); ++i) {
        result.BuildKey(held.row(order[i]), key.data(), held.row(order[i]));
        if (i == 0 || result.CompareKeys(previous.data(), key.data(), uint16_t(keySize)) != 0) {
          kept[order[i]] = true;
          previous.swap(key);
        }
      }
      order.clear();
      for (uint32_t i = 0; i < held.count; ++i)
        if (kept[i]) order.push_back(i);
      if (OrderBySatisfied) {
        sortByIndex(held, slot, order);
        cap(Top);
      }
    }
    if (ordered) {
      sortByIndex(held, passSlot("Sys__OrderBy"), order);
      cap(Top);
    }
  }
  VELMARON_DEBUG_ASSERT(Top < 0 || !(ordered || capEarly) || order.size() <= size_t(Top),
                        "a pass keeps no more rows than its cap");
  if (!TargetTableName.empty()) {
    // A named table outlives the statement: one append each, so that a failure part way leaves
    // it whole with the rows before.
    for (uint32_t i : order) result.AppendRecord(held.row(i), true);
    held.active = false;
    return;
  }
  if (insertSelect_) {
    // The INSERT reads the rows where they lie: written to the result table they would only be
    // read back, and written out with the INSERT's commit where the result shares its folder.
    handed_.bytes = std::move(held.bytes);
    handed_.order = std::move(order);
    handed_.recordSize = held.recordSize;
    handed_.active = true;
    handed_.columnsCopied = !GroupByGiven && columnCopies_.size() == ResultFields.size();
    for (size_t i = 0; i < ResultFields.size() && handed_.columnsCopied; ++i)
      handed_.columnsCopied =
          ResultFields[i]->AggregateKind == akNone &&
          (columnCopies_[i].kind == ColumnCopy::Bytes || columnCopies_[i].kind == ColumnCopy::Text);
    held.active = false;
    return;
  }
  std::vector<uint8_t*> rows;
  rows.reserve(order.size());
  for (uint32_t i : order) rows.push_back(held.row(i));
  // Rows in the order they were held may go to the result as the bytes they lie in.
  result.AppendRecords(rows, &held.bytes);
  held.active = false;
}

}  // namespace engine::sql
