// Appends in bulk: the records of a run written past the record cache, and each index's keys
// gathered for every record and put into its tree at once, in key order; and keys sorted as an
// index orders them.
#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorbitmap.h"
#include "engine/storage/veldorbtree.h"
#include "engine/storage/veldorkeys.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"
#include "platform/bytes.h"
#include "platform/scopeguard.h"

namespace engine {

namespace {

// The records go out by runs of about this many bytes.
constexpr size_t kAppendRunBytes = size_t(1) << 20;
// A delete of every record frees them by runs of about this many bytes.
constexpr size_t kFreeRunBytes = size_t(1) << 20;

}  // namespace

std::vector<uint8_t> TDataCursor::TakeSpareRecordBuffer() {
  if (!active_ || IsRemote()) return {};
  return table_->DataFile().TakeSpareBuffer();
}

void TDataCursor::AppendRecords(std::span<uint8_t* const> rows, std::vector<uint8_t>* images,
                                bool rolledBackWhole) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  CheckWritable();
  const size_t count = rows.size();
  // Every check that one append after another could fail on (field rules, a full table, the
  // counter, a unique key, a record lock) is made before anything is written; a table that could
  // fail one takes the rows one append each, which fails where it would have. A shared table's
  // runs go to its transaction's held writes: nothing reaches the files before the commit, and a
  // failure part way goes with the transaction's rollback.
  const bool shared = !options_.Exclusive && rolledBackWhole && table_ && table_->InTransaction();
  bool bulk = count > 0 && !IsRemote() && (options_.Exclusive || shared) && !suppressAutoInc_ &&
              !hasChecks_ && !HasBlobFields() && !HasTextIndex() && count < (size_t(1) << 31);
  TDataFile* data = bulk ? &table_->DataFile() : nullptr;
  std::vector<uint8_t> slots;
  // Indexes whose tree holds keys already: the new keys go in one by one, each unique one looked
  // for first.
  std::vector<bool> filled;
  if (bulk) {
    slots = writtenSlots();
    slots.push_back(kSysDeletedSlot);
    bulk = data->GetFreeRecordNumber() == data->GetNextRecordNumber() &&
           uint64_t(data->GetLastUniqueId()) + count <= kMaxCounterValue;
    for (uint8_t slot : slots) filled.push_back(table_->IndexFile().GetRootPageNumber(slot) != 0);
    slots.pop_back();
    if (bulk) {
      try {
        data->CheckRoomForRecords(uint32_t(count));
      } catch (const EVELDOREngineError&) {
        bulk = false;
      }
    }
    // Each new record's lock, which its append would take, is the transaction's already and no
    // cursor holds it.
    if (bulk && NeedsLocks()) {
      const uint32_t first = data->GetNextRecordNumber();
      bulk = table_->HoldsReleasedRecordLocks(first, uint32_t(first + count - 1));
    }
  }
  std::vector<std::vector<uint8_t>> keys;
  std::vector<uint32_t> records;
  {
    auto keep = KeepCurrentIndex(*this);
    // The trees are looked at and changed under the write pair, as one append does it.
    const bool writeTaken = writeTaken_;
    if (bulk) BeginWrite();
    auto endWrite = platform::ScopeExit([&, took = bulk && !writeTaken] {
      if (took) EndWrite();
    });
    if (bulk) {
      const uint32_t first = data->GetNextRecordNumber();
      const uint32_t lastId = data->GetLastUniqueId();
      records.reserve(count);
      for (size_t i = 0; i < count; ++i) {
        uint8_t* row = rows[i];
        row[0] = kRecordInUse;
        platform::put4(row + 1, uint32_t(first + i));
        platform::put4(row + 5, uint32_t(lastId + 1 + i));
        records.push_back(uint32_t(first + i));
      }
      for (uint8_t slot : slots) {
        SelectIndex(slot);
        const uint16_t size = currentKeySize_;
        std::vector<uint8_t>& built = keys.emplace_back(count * size);
        for (size_t i = 0; i < count; ++i) BuildKey(rows[i], built.data() + i * size, rows[i]);
        if (!indexUnique_) continue;
        // A key met twice: the second append would be refused.
        std::vector<uint32_t> order(count);
        std::iota(order.begin(), order.end(), 0u);
        const auto keyOf = [&](uint32_t i) { return built.data() + size_t(i) * size; };
        std::sort(order.begin(), order.end(),
                  [&](uint32_t a, uint32_t b) { return CompareKeys(keyOf(a), keyOf(b), size) < 0; });
        for (size_t i = 1; i < count && bulk; ++i)
          bulk = CompareKeys(keyOf(order[i - 1]), keyOf(order[i]), size) != 0;
        // A key its tree holds already: that row's append would be refused.
        for (size_t i = 0; i < count && bulk && filled[keys.size() - 1]; ++i)
          bulk = !keyExists(keyOf(order[i]));
        if (!bulk) break;
      }
    }
    if (bulk) {
      // A scratch result is mostly read in record order, which needs no record-id index: its
      // keys follow from the numbers and ids given above, and an empty tree is built from them
      // when something first looks at it (a key search, a write). No other process opens the
      // table.
      const bool deferIds = table_->IsScratch() && !filled.back();
      const uint32_t lastId = data->GetLastUniqueId();
      if (!deferIds) {
        std::vector<uint8_t>& ids = keys.emplace_back(count * kSysDeletedKeySize);
        for (size_t i = 0; i < count; ++i) BuildRecordIdKey(rows[i], ids.data() + i * kSysDeletedKeySize);
        slots.push_back(kSysDeletedSlot);
      }
      const size_t r = data->GetRecordSize();
      const size_t perRun = std::max<size_t>(1, kAppendRunBytes / r);
      // Rows side by side in storage not much larger than they are: the storage is taken.
      bool adopt = images && images->size() >= count * r && images->capacity() <= 2 * count * r;
      for (size_t i = 0; i < count && adopt; ++i) adopt = rows[i] == images->data() + i * r;
      if (adopt) data->AppendRecordImages(std::move(*images), uint32_t(count));
      for (size_t at = 0; at < count && !adopt; at += perRun) {
        // The held extent the runs grow gets their room once (a no-op where it has it already).
        data->ReserveRecordImages(uint32_t(count - at));
        data->AppendRecordImages(rows.data() + at, uint32_t(std::min(perRun, count - at)));
      }
      data->SetLastUniqueId(uint32_t(data->GetLastUniqueId() + count));
      TIndexFile& index = table_->IndexFile();
      for (size_t i = 0; i < count; ++i) index.IncRecordCount();
      for (size_t s = 0; s < slots.size(); ++s) {
        SelectIndex(slots[s]);
        insertKeysInOrder(keys[s].data(), records.data(), count, slots[s] == kSysDeletedSlot);
        keys[s] = {};
      }
      if (deferIds)
        index.DeferTreeBuild(kSysDeletedSlot, [&index, first = records.front(), lastId, count] {
          // The record-id index orders its keys by their bytes, as a plain index cursor does.
          TIndexCursor cursor;
          // Two keys: the build compares each key with the one before.
          std::array<std::array<uint8_t, kSysDeletedKeySize>, 2> key{};
          TIndexTree(index, cursor, kSysDeletedSlot)
              .BuildFromSorted(
                  count,
                  [&](size_t i) {
                    uint8_t* k = key[i & 1].data();
                    k[0] = kRecordInUse;
                    EncodeIntegerKey(int32_t(lastId + 1 + i), k + 1);
                    return k;
                  },
                  [&](size_t i) { return uint32_t(first + i); });
        });
      FlushBuffers(false, false, true, true, false);
    }
  }
  if (bulk)
    RebuildView();
  else
    for (uint8_t* row : rows) AppendRecord(row, false);
  SetToBegin();
}

void TDataCursor::RewriteIdleRow(uint8_t* row) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  CheckWritable();
  if (IsRemote() || !table_->HoldsIdleRow()) Raise(VELDOR_FILECORRUPT);
  TDataFile& data = table_->DataFile();
  {
    const bool writeTaken = writeTaken_;
    BeginWrite();
    auto endWrite = platform::ScopeExit([&, took = !writeTaken] {
      if (took) EndWrite();
    });
    row[0] = kRecordInUse;
    platform::put4(row + 1, data.GetLastRecordNumber());
    platform::put4(row + 5, data.GetLastUniqueId());
    data.RewriteRecordRun(data.GetLastRecordNumber(), 1,
                          std::vector<uint8_t>(row, row + data.GetRecordSize()));
    table_->ForgetIdleRow();
    FlushBuffers(false, false, true, false, false);
  }
  RebuildView();
  // As SetToBegin leaves it; the record it would load is the row just written, which the buffer
  // takes from `row` rather than from the data file's cache.
  ReadScope scope(*this);
  moveToBegin();
  if (currentRecordNo_ == data.GetLastRecordNumber() && !(atBOF_ && atEOF_)) {
    std::memcpy(recordBuffer_.data(), row, std::min<size_t>(recordSize_, data.GetRecordSize()));
    deferredRecordNo_ = 0;
    ComputeFields(recordBuffer_.data());
  } else {
    loadPositionRecord();
  }
}

bool TDataCursor::DeleteEveryRecord(std::span<const uint32_t> numbers) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  CheckWritable();
  if (numbers.empty() || IsRemote() || !table_->InTransaction() || HasBlobFields() || HasTextIndex())
    return false;
  TDataFile& data = table_->DataFile();
  TIndexFile& index = table_->IndexFile();
  if (index.GetRecordCount() != numbers.size()) return false;
  // A record another cursor holds fails its delete; one the transaction has not locked waits.
  // Looked at by runs of neighbours, a word of each lock set at a time.
  if (NeedsLocks())
    for (size_t at = 0, end = 0; at < numbers.size(); at = end) {
      for (end = at + 1; end < numbers.size() && numbers[end] == numbers[end - 1] + 1;) ++end;
      if (!table_->HoldsReleasedRecordLocks(numbers[at], numbers[end - 1])) return false;
    }
  const bool writeTaken = writeTaken_;
  BeginWrite();
  auto endWrite = platform::ScopeExit([&] {
    if (!writeTaken) EndWrite();
  });
  const uint8_t ownIndex = GetCurrentIndex();
  auto keep = KeepCurrentIndex(*this);
  // Every record-id key, each of a record in use among `numbers`: after the deletes each says
  // deleted, in the order of the ids, which the status byte no longer splits.
  SelectIndex(kSysDeletedSlot);
  std::vector<uint8_t> ids;
  std::vector<uint32_t> refs;
  // The in-use entries by record number: entry i then names numbers[i].
  std::vector<std::pair<uint32_t, uint32_t>> inUse;
  // Room for the keys in use at least, which a growing buffer would copy at every doubling.
  ids.reserve(numbers.size() * kSysDeletedKeySize);
  refs.reserve(numbers.size());
  inUse.reserve(numbers.size());
  TIndexTree(index, *this, kSysDeletedSlot).CollectKeys(ids, refs);
  if (ids.size() != refs.size() * kSysDeletedKeySize) Raise(VELDOR_INDEXCORRUPT, {}, kSysDeletedName);
  for (size_t i = 0; i < refs.size(); ++i) {
    uint8_t& status = ids[i * kSysDeletedKeySize];
    if (status == kRecordInUse) inUse.emplace_back(refs[i], uint32_t(i));
    status = kRecordDeleted;
  }
  if (inUse.size() != numbers.size()) return false;
  // The tree's order is mostly the records' (ids rise as records are appended): a check costs
  // far less than sorting what is sorted already.
  if (!std::is_sorted(inUse.begin(), inUse.end())) std::sort(inUse.begin(), inUse.end());
  for (size_t i = 0; i < numbers.size(); ++i)
    if (inUse[i].first != numbers[i]) return false;
  // The records are freed in rising order, as the deletes one after another free them: the
  // free-record chain comes out the same.
  std::array<uint8_t, kSysDeletedKeySize> idKey;
  const auto check = [&](const uint8_t* image, size_t i) {
    if (image[0] != kRecordInUse) Raise(VELDOR_KEYORRECDELETED);
    // The key one delete would remove must be the record's.
    BuildRecordIdKey(image, idKey.data());
    if (std::memcmp(idKey.data() + 1, ids.data() + size_t(inUse[i].second) * kSysDeletedKeySize + 1,
                    kSysDeletedKeySize - 1) != 0)
      Raise(VELDOR_INDEXCORRUPT, {}, kSysDeletedName);
  };
  if (data.HoldsWrites()) {
    // Runs of neighbouring records are read, freed and written back as one held write each, past
    // the record cache: a slot a record would cost a cache miss, and the commit a copy of each.
    const uint32_t r = data.GetRecordSize();
    const size_t perRun = std::max<size_t>(1, kFreeRunBytes / std::max<uint32_t>(r, 1));
    for (size_t at = 0; at < numbers.size();) {
      size_t end = at + 1;
      while (end < numbers.size() && end - at < perRun && numbers[end] == numbers[end - 1] + 1) ++end;
      const uint32_t count = uint32_t(end - at);
      std::vector<uint8_t> images, heads;
      if (!data.ReadRecordImages(nullptr, numbers[at], count, images, heads)) Raise(VELDOR_FILECORRUPT);
      for (size_t i = at; i < end; ++i) check(images.data() + (i - at) * r, i);
      data.FreeRecordRun(numbers[at], count, std::move(images), std::move(heads));
      at = end;
    }
  } else {
    for (size_t i = 0; i < numbers.size(); ++i) {
      TRecord* record = nullptr;
      if (!data.GetRecord(nullptr, numbers[i], record)) Raise(VELDOR_FILECORRUPT);
      platform::ScopeExit release([&] { data.ReleaseRecord(record); });
      check(record->GetBuffer(), i);
      data.FreeRecord(record);
    }
  }
  index.SetRecordCount(0);
  for (uint8_t slot : writtenSlots()) DeleteIndexPages(slot);
  const size_t used = inUse.size();
  // Every key was in use and now says deleted: the same keys in the same order, so the tree
  // keeps its pages and only their status bytes change (a rebuild writes, and journals, every
  // page anew).
  if (used != refs.size() ||
      !TIndexTree(index, *this, kSysDeletedSlot).ReplaceLeadingByte(kRecordInUse, kRecordDeleted)) {
    DeleteIndexPages(kSysDeletedSlot);
    // The tree held the keys in use, then the deleted ones, each run by id: merged by id they
    // are in the order the build takes, which then needs no sort.
    // An id's key bytes order as their big-endian number: compared as one word, where a call to
    // compare bytes a key would cost more than the rest of the merge.
    static_assert(kSysDeletedKeySize == 5);
    const auto wordAt = [](const uint8_t* key) { return platform::getBig4(key + 1); };
    const auto idAt = [&](size_t i) { return wordAt(ids.data() + i * kSysDeletedKeySize); };
    // Ids each above the one before go to the build as they are; an id met twice takes the road
    // that checks and sorts keys.
    bool rising = true;
    SelectIndex(kSysDeletedSlot);
    if (used == refs.size()) {
      // No key said deleted before: the keys in use are the merge, in the tree's order already.
      for (size_t i = 1; i < refs.size() && rising; ++i) rising = idAt(i - 1) < idAt(i);
      insertKeysInOrder(ids.data(), refs.data(), refs.size(), rising);
    } else {
      std::vector<uint8_t> merged(ids.size());
      std::vector<uint32_t> mergedRefs(refs.size());
      // The id before is kept at hand: read back from the bytes just written, it would wait on
      // the stores.
      uint32_t before = 0;
      for (size_t a = 0, b = used, out = 0; out < refs.size(); ++out) {
        const bool takeUsed = b == refs.size() || (a < used && idAt(a) < idAt(b));
        const size_t from = takeUsed ? a++ : b++;
        const uint32_t id = idAt(from);
        std::memcpy(merged.data() + out * kSysDeletedKeySize, ids.data() + from * kSysDeletedKeySize,
                    kSysDeletedKeySize);
        if (out > 0 && before >= id) rising = false;
        before = id;
        mergedRefs[out] = refs[from];
      }
      insertKeysInOrder(merged.data(), mergedRefs.data(), mergedRefs.size(), rising);
    }
  }
  FlushBuffers(false, false, true, true, false);
  // The view is the cursor's own index's: built on the record-id index it would keep counting
  // the slots.
  SelectIndex(ownIndex);
  RebuildView();
  SetToBegin();
  return true;
}

bool TDataCursor::RecordNumbersOfView(std::vector<uint32_t>& numbers) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  numbers.clear();
  if (IsRemote() || !table_ || !InRecordNumberOrder() || bitmapView_ || rangeSet_) return false;
  // A step of the walk would first move the cursor where another writer's change puts it.
  ReadScope scope(*this);
  SyncWithTable();
  TRecordsBitmap view;
  BuildUsedRecordsBitmap(view);
  const uint32_t last = view.Count(), members = view.CountSet();
  numbers.reserve(members);
  if (members == last) {
    numbers.resize(last);
    std::iota(numbers.begin(), numbers.end(), 1u);
    return true;
  }
  for (uint32_t n = view.FirstMemberIn(1, last); n != 0; n = n < last ? view.FirstMemberIn(n + 1, last) : 0)
    numbers.push_back(n);
  return true;
}

bool TDataCursor::ModifyEveryRecord(std::span<const uint32_t> numbers,
                                    const std::function<void(uint8_t* image)>& edit, size_t& changed) {
  changed = 0;
  if (!active_) Raise(VELDOR_TABLEOPEN);
  CheckWritable();
  if (numbers.empty() || IsRemote() || !table_->InTransaction() || HasBlobFields() || HasTextIndex() ||
      suppressAutoInc_ || bitmapView_ || !InRecordNumberOrder() || Session().LockProtocol() != lpPessimistic)
    return false;
  TDataFile& data = table_->DataFile();
  const uint32_t r = data.GetRecordSize();
  if (!data.HoldsWrites() || r != recordSize_ || StoredRecordSize() != r || r < kRecordHeaderSize ||
      !table_->NoPrimaryIndex() || GetIndexCount() != 0 || numbers.back() > data.GetLastRecordNumber() ||
      numbers.front() == 0)
    return false;
  // Runs of neighbours, each locked ahead by the transaction and released by every cursor: a
  // record another cursor holds fails its write, one the transaction has not locked waits.
  const size_t perRun = std::max<size_t>(1, kFreeRunBytes / r);
  std::vector<std::pair<size_t, size_t>> runs;
  for (size_t at = 0; at < numbers.size();) {
    size_t end = at + 1;
    while (end < numbers.size() && end - at < perRun && numbers[end] == numbers[end - 1] + 1) ++end;
    if (end < numbers.size() && numbers[end] <= numbers[end - 1]) return false;
    if (NeedsLocks() && !table_->HoldsReleasedRecordLocks(numbers[at], numbers[end - 1])) return false;
    runs.emplace_back(at, end);
    at = end;
  }
  const bool writeTaken = writeTaken_;
  BeginWrite();
  auto endWrite = platform::ScopeExit([&] {
    if (!writeTaken) EndWrite();
  });
  const uint32_t stored = StoredRecordSize();
  std::vector<uint8_t> old(r);
  for (const auto& [at, end] : runs) {
    const uint32_t first = numbers[at], count = uint32_t(end - at);
    std::vector<uint8_t> images;
    if (!data.ReadRecordImages(nullptr, first, count, images)) Raise(VELDOR_FILECORRUPT);
    size_t runChanged = 0;
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t* image = images.data() + size_t(i) * r;
      if (image[0] != kRecordInUse) continue;
      std::memcpy(old.data(), image, stored);
      edit(image);
      // The status, number and id stay the record's, whatever the edit left there.
      std::memcpy(image, old.data(), kRecordHeaderSize);
      CheckFieldValues(image);
      if (std::memcmp(old.data(), image, stored) != 0) ++runChanged;
    }
    if (runChanged == 0) continue;
    changed += runChanged;
    data.RewriteRecordRun(first, count, std::move(images));
  }
  if (changed != 0) FlushBuffers(false, false, true, false, false);
  SetToRecordNo(numbers.back());
  readRecord(numbers.back(), recordBuffer_.data());
  viewAfterWrite(numbers.back(), true);
  return true;
}

void TDataCursor::SortKeys(const uint8_t* keys, size_t stride, uint16_t length,
                           std::vector<uint32_t>& order) const {
  const int byteOrder = ByteOrder();
  if (byteOrder != 0) return SortKeyBytes(keys, stride, length, byteOrder < 0, order);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return CompareKeys(keys + size_t(a) * stride, keys + size_t(b) * stride, length) < 0;
  });
}

}  // namespace engine
