// The index file: header, descriptors, page cache, free-page lists and locks.
#include "engine/storage/veldorindex.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/base/veldorlocale.h"
#include "engine/base/veldortypes.h"
#include "engine/storage/veldorcompress.h"
#include "engine/storage/veldorkeys.h"
#include "platform/bytes.h"
#include "platform/scopeguard.h"

namespace engine {

using platform::UndoOnFailure;

using platform::get2;
using platform::get4;
using platform::put2;
using platform::put4;

namespace {

constexpr uint8_t kBlobFieldType = TypeCode(TEngineFieldType::Blob);
constexpr uint8_t kStringFieldType = TypeCode(TEngineFieldType::String);
constexpr uint8_t kMemoSubType = uint8_t(TEngineFieldSubType::Memo);

constexpr int64_t kWriteLockOffset = 0xFFFEFFFFLL;
constexpr int64_t kWriteLockLength = 65536;
constexpr int64_t kReadLockBase = 0xFFFFFFFFLL;

// Descriptor offsets.
constexpr uint32_t kDescKeySize = 31;
constexpr uint32_t kDescDescending = 33;
constexpr uint32_t kDescCaseInsensitive = 34;
constexpr uint32_t kDescUnique = 35;
constexpr uint32_t kDescCompression = 36;
constexpr uint32_t kDescFieldCount = 37;
constexpr uint32_t kDescFieldDescending = 38;
constexpr uint32_t kDescFields = 54;
constexpr uint32_t kDescRoot = 86;
constexpr uint32_t kDescFreeHead = 90;
constexpr uint32_t kDescByte94 = 94;
constexpr uint32_t kDescTextParams = 96;
constexpr uint32_t kDescTail = 100;

bool sameIndexName(std::string_view a, std::string_view b) {
  const std::string ta(TrimBlanks(a)), tb(TrimBlanks(b));
  return OSCompareStrings(0, 0, ta, true, 0, tb) == 0;
}

std::string descriptorName(const uint8_t* d) {
  const size_t n = std::min<size_t>(d[0], kMaxIndexNameLength);
  return std::string(reinterpret_cast<const char*>(d + 1), n);
}

void putName(uint8_t* d, std::string_view name) {
  const size_t n = std::min(name.size(), kMaxIndexNameLength);
  std::memset(d, 0, 1 + kMaxIndexNameLength);
  d[0] = uint8_t(n);
  std::memcpy(d + 1, name.data(), n);
}

// Key size, the five option bytes and the key fields of a definition.
void putDefinition(uint8_t* img, const TIndexDescriptor& d) {
  put2(img + kDescKeySize, d.keySize);
  img[kDescDescending] = d.descending;
  img[kDescCaseInsensitive] = d.caseInsensitive;
  img[kDescUnique] = d.unique;
  img[kDescCompression] = d.compression;
  img[kDescFieldCount] = d.fieldCount;
  for (int i = 0; i < kMaxIndexFields; ++i) {
    img[kDescFieldDescending + i] = d.fieldDescending[size_t(i)];
    put2(img + kDescFields + 2 * i, d.fields[size_t(i)]);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Descriptor

void TIndexDescriptor::StoreTo(uint8_t* d) const {
  std::memset(d, 0, kIndexDescriptorSize);
  putName(d, name);
  putDefinition(d, *this);
  put4(d + kDescRoot, rootPage);
  put4(d + kDescFreeHead, freePageHead);
  d[kDescByte94] = byte94;
  put4(d + kDescTextParams, textParamsPage);
}

TIndexDescriptor TIndexDescriptor::LoadFrom(const uint8_t* d) {
  TIndexDescriptor r;
  r.name.assign(reinterpret_cast<const char*>(d + 1), std::min<size_t>(d[0], kMaxIndexNameLength));
  r.keySize = get2(d + kDescKeySize);
  r.descending = d[kDescDescending];
  r.caseInsensitive = d[kDescCaseInsensitive];
  r.unique = d[kDescUnique];
  r.compression = d[kDescCompression];
  r.fieldCount = d[kDescFieldCount];
  // Read at every key search's choice of index: the flags are copied whole, and the field numbers
  // too where the machine keeps them in the stored order.
  std::memcpy(r.fieldDescending.data(), d + kDescFieldDescending, kMaxIndexFields);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(r.fields.data(), d + kDescFields, 2 * kMaxIndexFields);
  } else {
    for (int i = 0; i < kMaxIndexFields; ++i) r.fields[size_t(i)] = get2(d + kDescFields + 2 * i);
  }
  r.rootPage = get4(d + kDescRoot);
  r.freePageHead = get4(d + kDescFreeHead);
  r.byte94 = d[kDescByte94];
  r.textParamsPage = get4(d + kDescTextParams);
  return r;
}

// ---------------------------------------------------------------------------------------------
// Cursor path

int TIndexCursor::CompareKeys(const uint8_t* entryKey, const uint8_t* searchKey, uint16_t keySize) const {
  return CompareBytes(entryKey, searchKey, keySize, false);
}

void TIndexCursor::SetPathLevel(int level) {
  if (level < 1 || level > kMaxPathLevels) SignalEngineError(VELDOR_INDEXCORRUPT);
  level_ = level;
  deepest_ = std::max(deepest_, level_);
}

void TIndexCursor::PushPathLevel(uint32_t parentPage) {
  if (level_ >= kMaxPathLevels) SignalEngineError(VELDOR_INDEXCORRUPT);
  ++level_;
  deepest_ = std::max(deepest_, level_);
  parents_[size_t(level_)] = parentPage;
  entries_[size_t(level_)] = 0;
}

void TIndexCursor::PopPathLevel() {
  if (level_ > 1) --level_;
}

void TIndexCursor::ResetPath() {
  level_ = 1;
  // Levels below the deepest one reached since the last reset were never written.
  std::fill(entries_.begin(), entries_.begin() + deepest_ + 1, 0);
  std::fill(parents_.begin(), parents_.begin() + deepest_ + 1, 0);
  deepest_ = 1;
}

// ---------------------------------------------------------------------------------------------
// Page pool

std::unique_ptr<TPage> TPageStack::Pop() {
  if (spares_.empty()) return std::make_unique<TPage>(owner_);
  std::unique_ptr<TPage> page = std::move(spares_.back());
  spares_.pop_back();
  page->SetOwner(owner_);
  page->Clear();
  page->ResetPins();
  page->lruPrev = page->lruNext = nullptr;
  return page;
}

void TPageStack::Push(std::unique_ptr<TPage>& page) {
  if (!page) return;
  if (spares_.size() < kCapacity) {
    page->lruPrev = page->lruNext = nullptr;
    spares_.push_back(std::move(page));
  }
  page.reset();
}

// ---------------------------------------------------------------------------------------------
// Index file: header

namespace {

uint64_t newInstanceId() {
  static std::atomic<uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

TIndexFile::TIndexFile(TTableFileOwner& owner, TFileList* list)
    : TFileHandler(list), owner_(&owner), instanceId_(newInstanceId()), pool_(this) {
  for (int s = 0; s < kIndexSlotCount; ++s) {
    caches_[s] = &cacheStore_[s].emplace(pool_, 2, 4);
    caches_[s]->SetCapacity(2);
  }
  initHeader();
  header_[kIndexDirtyOffset] = 0;
}

TIndexFile::~TIndexFile() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; Close is called explicitly on every path that can.
  }
}

void TIndexFile::RaiseIndexError(uint16_t code, std::string_view indexName) const {
  SignalEngineError(code, "", "", owner_->GetTablePath(), owner_->GetTableName(), "", indexName, "");
}

void TIndexFile::initHeader() {
  header_.fill(0);
  header_[8] = kIndexFileVersion;
  put4(header_.data() + 9, 1);
  uint8_t* d = descriptor(kSysDeletedSlot);
  putName(d, kSysDeletedName);
  put2(d + kDescKeySize, kSysDeletedKeySize);
  d = descriptor(kSysTextSlot);
  putName(d, kSysTextName);
  put2(d + kDescKeySize, kSysTextKeySize);
  d[kDescCompression] = kcBoth;
  setDirty();
}

void TIndexFile::CreateFile() {
  ClearPageCache();
  initHeader();
  TFileHandler::CreateFile();
}

void TIndexFile::Open() {
  if (IsOpen()) return;
  TFileHandler::Open();
  {
    UndoOnFailure close([this] { TFileHandler::Close(); });
    ReadHeader();
    if (GetIndexCount() > kMaxSecondaryIndexes) RaiseIndexError(VELDOR_HEADERCORRUPT);
  }
}

void TIndexFile::Close() {
  forgetDeferredBuild();
  ClearPageCache();
  TFileHandler::Close();
}

void TIndexFile::ReadHeader() {
  std::array<uint8_t, kIndexHeaderSize> image{};
  const int64_t n = ReadAt(0, image.data(), kIndexHeaderSize, true);
  if (n != int64_t(kIndexHeaderSize)) RaiseIndexError(VELDOR_HEADERCORRUPT);
  if (owner_->IsEncrypted()) UnscrambleBuffer(image.data(), image.size(), kStructureSeed);
  header_ = image;
  header_[kIndexDirtyOffset] = 0;
  keepDeferredBuildIfUnbuilt();
  ++epoch_;
}

bool TIndexFile::WriteHeader(bool force) {
  if (!force && !IsHeaderDirty()) return false;
  put4(header_.data(), get4(header_.data()) + 1);
  writeBuffer_.assign(header_.begin(), header_.end());
  if (owner_->IsEncrypted()) ScrambleBuffer(writeBuffer_.data(), kIndexHeaderSize, kStructureSeed);
  WriteAt(0, writeBuffer_.data(), kIndexHeaderSize);
  owner_->MarkWritten();
  header_[kIndexDirtyOffset] = 0;
  return true;
}

bool TIndexFile::HeaderChanged() {
  std::array<uint8_t, kIndexHeaderSize> image{};
  const int64_t n = ReadAt(0, image.data(), kIndexHeaderSize, true);
  if (n != int64_t(kIndexHeaderSize)) RaiseIndexError(VELDOR_HEADERCORRUPT);
  if (owner_->IsEncrypted()) UnscrambleBuffer(image.data(), image.size(), kStructureSeed);
  if (get4(image.data()) == GetChangeCounter()) return false;
  header_ = image;
  keepDeferredBuildIfUnbuilt();
  ++epoch_;
  // The other writer's unsaved state is not ours.
  header_[kIndexDirtyOffset] = 0;
  return true;
}

bool TIndexFile::ChangeCounterCurrent() {
  uint8_t counter[4];
  if (!PeekDiskHead(counter, 4)) return false;
  // The scrambling works byte by byte, so the counter's bytes unscramble on their own.
  if (owner_->IsEncrypted()) UnscrambleBuffer(counter, 4, kStructureSeed);
  return get4(counter) == GetChangeCounter();
}

void TIndexFile::IncChangeCounter() {
  put4(header_.data(), get4(header_.data()) + 1);
  setDirty();
  owner_->MarkWritten();
}

uint32_t TIndexFile::GetChangeCounter() const {
  return get4(header_.data());
}

void TIndexFile::GetSettingsHeader(uint8_t* buffer) const {
  std::memcpy(buffer, header_.data(), kIndexHeaderSize);
  put4(buffer, 0);
  buffer[kIndexDirtyOffset] = 0;
  for (int s = 0; s < kIndexSlotCount; ++s) {
    uint8_t* d = buffer + kIndexDescriptorsOffset + size_t(s) * kIndexDescriptorSize;
    put4(d + kDescRoot, 0);
    put4(d + kDescFreeHead, 0);
    put4(d + kDescTextParams, 0);
  }
}

void TIndexFile::CheckVersion() {
  if (header_[8] != kIndexFileVersion) RaiseIndexError(VELDOR_OLDVERSION);
}

bool TIndexFile::IsValidPageNumber(uint32_t number) const {
  return number < GetNextPageNumber();
}

void TIndexFile::Empty() {
  forgetDeferredBuild();
  // Cached pages describe the pages being cut away: none of them may be written again.
  ClearPageCache();
  Seek(kSeekBegin, kIndexHeaderSize);
  Truncate();
  if (owner_->ForceBufferFlush()) Flush();
  header_[8] = kIndexFileVersion;
  put4(header_.data() + 9, 1);
  put4(header_.data() + kIndexRecordCountOffset, 0);
  for (uint8_t s = 0; s < kIndexSlotCount; ++s) {
    uint8_t* d = descriptor(s);
    put4(d + kDescRoot, 0);
    put4(d + kDescFreeHead, 0);
    put4(d + kDescTextParams, 0);
  }
  setDirty();
}

void TIndexFile::setHeader4(uint32_t offset, uint32_t value) {
  if (get4(header_.data() + offset) == value) return;
  put4(header_.data() + offset, value);
  setDirty();
}

uint32_t TIndexFile::GetRecordCount() const {
  return get4(header_.data() + kIndexRecordCountOffset);
}
void TIndexFile::SetRecordCount(uint32_t count) {
  setHeader4(kIndexRecordCountOffset, count);
}
void TIndexFile::IncRecordCount() {
  SetRecordCount(GetRecordCount() + 1);
}
void TIndexFile::DecRecordCount() {
  if (GetRecordCount() > 0) SetRecordCount(GetRecordCount() - 1);
}
uint32_t TIndexFile::GetNextPageNumber() const {
  return get4(header_.data() + 9);
}

uint32_t TIndexFile::GetCollationVersion() const {
  return get4(header_.data() + kIndexCollationVersionOffset);
}

void TIndexFile::SetCollationVersion(uint32_t version) {
  setHeader4(kIndexCollationVersionOffset, version);
}

void TIndexFile::VerifyHeader() {
  CheckVersion();
  const uint8_t count = GetIndexCount();
  if (count > kMaxSecondaryIndexes) RaiseIndexError(VELDOR_HEADERCORRUPT);
  const bool noPrimary = GetNoPrimaryIndex();
  auto checkFieldList = [&](const uint8_t* d, bool isText, bool fieldsOptional, const std::string& name) {
    if (d[kDescFieldCount] > kMaxIndexFields) RaiseIndexError(VELDOR_HEADERCORRUPT, name);
    bool ended = false;
    uint32_t sum = 0;
    for (int i = 0; i < kMaxIndexFields; ++i) {
      const uint16_t f = get2(d + kDescFields + 2 * i);
      if (f == 0) {
        ended = true;
        continue;
      }
      if (ended) RaiseIndexError(VELDOR_HEADERCORRUPT, name);
      if (fieldsOptional) continue;
      TIndexFieldInfo info;
      if (!owner_->FindFieldByNumber(f, info)) RaiseIndexError(VELDOR_HEADERCORRUPT, name);
      if (isText) {
        if (!(info.type == kStringFieldType || (info.type == kBlobFieldType && info.subType == kMemoSubType)))
          RaiseIndexError(VELDOR_HEADERCORRUPT, name);
      } else if (info.type == kBlobFieldType) {
        RaiseIndexError(VELDOR_HEADERCORRUPT, name);
      }
      sum += uint32_t(info.keySize) + 1;
    }
    return sum;
  };
  auto checkPages = [&](const uint8_t* d, const std::string& name) {
    if (!IsValidPageNumber(get4(d + kDescRoot)) || !IsValidPageNumber(get4(d + kDescFreeHead)) ||
        !IsValidPageNumber(get4(d + kDescTextParams)))
      RaiseIndexError(VELDOR_HEADERCORRUPT, name);
  };
  // The stored key size is what the key fields make of it (a non-unique key carries the record's
  // unique id): nothing larger can reach the key buffers of the pages and cursors.
  auto checkKeyShape = [&](const uint8_t* d, uint32_t expected, const std::string& name) {
    if (get2(d + kDescKeySize) != expected || expected > kMaxKeyFieldsSize || d[kDescCompression] > kcBoth)
      RaiseIndexError(VELDOR_HEADERCORRUPT, name);
  };
  for (uint8_t s = 0; s <= count; ++s) {
    const uint8_t* d = descriptor(s);
    const std::string name = s == 0 ? std::string("Primary") : descriptorName(d);
    const bool optional = s == 0 && noPrimary;
    if (s == 0) {
      if (d[0] != 0) RaiseIndexError(VELDOR_HEADERCORRUPT, name);
      if (!noPrimary && d[kDescUnique] == 0) RaiseIndexError(VELDOR_HEADERCORRUPT, name);
    } else {
      const std::string t(TrimBlanks(name));
      if (t.empty() || !IsIdentStartChar(uint8_t(t[0]))) RaiseIndexError(VELDOR_HEADERCORRUPT, name);
      for (uint8_t o = 1; o <= count; ++o)
        if (o != s && sameIndexName(descriptorName(descriptor(o)), t))
          RaiseIndexError(VELDOR_HEADERCORRUPT, name);
    }
    const uint32_t sum = checkFieldList(d, false, optional, name);
    if (sum > kMaxKeyFieldsSize) RaiseIndexError(VELDOR_HEADERCORRUPT, name);
    if (sum == 0 && !optional) RaiseIndexError(VELDOR_HEADERCORRUPT, name);
    if (!optional) checkKeyShape(d, sum + (d[kDescUnique] != 0 ? 0 : kUniqueIdKeySize), name);
    if (optional && get2(d + kDescKeySize) > kMaxKeyFieldsSize) RaiseIndexError(VELDOR_HEADERCORRUPT, name);
    checkPages(d, name);
  }
  const uint8_t* text = descriptor(kSysTextSlot);
  checkFieldList(text, true, false, std::string(kSysTextName));
  checkKeyShape(text, kSysTextKeySize, std::string(kSysTextName));
  checkPages(text, std::string(kSysTextName));
}

// ---------------------------------------------------------------------------------------------
// Per slot

void TIndexFile::checkSlot(uint8_t slot) const {
  if (slot >= kIndexSlotCount) RaiseIndexError(VELDOR_INDEXCORRUPT);
}

uint32_t TIndexFile::GetRootPageNumber(uint8_t slot) const {
  checkSlot(slot);
  if (deferredBuild_ && slot == deferredSlot_) runDeferredBuild();
  return get4(descriptor(slot) + kDescRoot);
}

void TIndexFile::DeferTreeBuild(uint8_t slot, std::function<void()> build) {
  checkSlot(slot);
  if (deferredBuild_ || get4(descriptor(slot) + kDescRoot) != 0) RaiseIndexError(VELDOR_INDEXCORRUPT);
  deferredSlot_ = slot;
  deferredRows_ = GetRecordCount();
  deferredBuild_ = std::move(build);
  ranBuild_ = nullptr;
}

void TIndexFile::keepDeferredBuildIfUnbuilt() {
  std::function<void()> build = deferredBuild_ ? std::move(deferredBuild_) : std::move(ranBuild_);
  forgetDeferredBuild();
  // A tree with no root over rows counted is not one any write left: the build's pages, if it
  // ran, were dropped unwritten (a failed write, caches discarded), and the rows are still the
  // ones it was made for, since every write that adds or takes one runs it first.
  if (build && deferredRows_ != 0 && get4(descriptor(deferredSlot_) + kDescRoot) == 0 &&
      GetRecordCount() == deferredRows_)
    deferredBuild_ = std::move(build);
}

void TIndexFile::runDeferredBuild() const {
  // Taken first: the build looks at the root itself.
  std::function<void()> build = std::move(deferredBuild_);
  deferredBuild_ = nullptr;
  UndoOnFailure keep([&] { deferredBuild_ = std::move(build); });
  build();
  keep.Dismiss();
  ranBuild_ = std::move(build);
}

void TIndexFile::SetRootPage(uint8_t slot, uint32_t page) {
  checkSlot(slot);
  setHeader4(kIndexDescriptorsOffset + slot * kIndexDescriptorSize + kDescRoot, page);
}

uint32_t TIndexFile::GetTextParamsPageNumber() const {
  return get4(descriptor(kSysTextSlot) + kDescTextParams);
}

void TIndexFile::SetTextParamsPage(uint32_t page) {
  setHeader4(kIndexDescriptorsOffset + kSysTextSlot * kIndexDescriptorSize + kDescTextParams, page);
}

uint32_t TIndexFile::GetFreePageHead(uint8_t slot) const {
  checkSlot(slot);
  return get4(descriptor(slot) + kDescFreeHead);
}

void TIndexFile::SetFreePageHead(uint8_t slot, uint32_t page) {
  checkSlot(slot);
  setHeader4(kIndexDescriptorsOffset + slot * kIndexDescriptorSize + kDescFreeHead, page);
}

uint32_t TIndexFile::GetFreePageNumber(uint8_t slot) const {
  const uint32_t head = GetFreePageHead(slot);
  return head != 0 ? head : GetNextPageNumber();
}

void TIndexFile::GetIndexFields(uint8_t slot, uint8_t* fields) const {
  checkSlot(slot);
  std::memcpy(fields, descriptor(slot) + kDescFields, 2 * kMaxIndexFields);
}

TIndexDescriptor TIndexFile::GetIndexDescriptor(uint8_t slot) const {
  checkSlot(slot);
  return TIndexDescriptor::LoadFrom(descriptor(slot));
}

uint16_t TIndexFile::GetKeySize(uint8_t slot) const {
  checkSlot(slot);
  return get2(descriptor(slot) + kDescKeySize);
}

std::string TIndexFile::GetIndexName(uint8_t slot) const {
  checkSlot(slot);
  return slot == 0 ? std::string("Primary") : descriptorName(descriptor(slot));
}

// ---------------------------------------------------------------------------------------------
// Index definitions

void TIndexFile::checkKeyFields(const TIndexDescriptor& d, std::string_view indexName) const {
  if (d.fieldCount > kMaxIndexFields) RaiseIndexError(VELDOR_INDEXLIMIT, indexName);
  bool ended = false;
  for (int i = 0; i < kMaxIndexFields; ++i) {
    const uint16_t f = d.fields[size_t(i)];
    if (f == 0) {
      ended = true;
      continue;
    }
    if (ended) RaiseIndexError(VELDOR_INVALIDIDXDESC, indexName);
    TIndexFieldInfo info;
    if (!owner_->FindFieldByNumber(f, info)) RaiseIndexError(VELDOR_INVALIDIDXDESC, indexName);
    if (info.type == kBlobFieldType)
      SignalEngineError(VELDOR_SEARCHCOLREQD, "", "", owner_->GetTablePath(), owner_->GetTableName(),
                        info.name, indexName, "");
  }
  // A descriptor that the open check would refuse is refused now, so that a definition can
  // never leave a table that no longer opens.
  if (d.keySize == 0 || d.keySize > kMaxIndexKeySize || d.compression > kcBoth)
    RaiseIndexError(VELDOR_INVALIDIDXDESC, indexName);
}

void TIndexFile::DefinePrimaryIndex(const TIndexDescriptor& d) {
  const std::string_view name = "Primary";
  if (GetKeySize(0) != 0) RaiseIndexError(VELDOR_PRIMARYKEYREDEFINE, name);
  if (d.fieldCount > kMaxIndexFields) RaiseIndexError(VELDOR_INDEXLIMIT, name);
  if (d.fieldCount == 0 && d.fields[0] == 0) {
    SetNoPrimaryIndex(true);
    setDirty();
    return;
  }
  checkKeyFields(d, name);
  header_[kIndexNoPrimaryOffset] = 0;
  uint8_t* img = descriptor(0);
  const uint32_t freeHead = get4(img + kDescFreeHead);
  std::memset(img, 0, kIndexDescriptorSize);
  putDefinition(img, d);
  img[kDescUnique] = 1;
  put4(img + kDescFreeHead, freeHead);
  setDirty();
}

uint8_t TIndexFile::AddSecondaryIndex(const TIndexDescriptor& d) {
  const std::string name(TrimBlanks(d.name));
  if (GetIndexCount() >= kMaxSecondaryIndexes) RaiseIndexError(VELDOR_INDEXLIMIT, name);
  if (d.fieldCount > kMaxIndexFields) RaiseIndexError(VELDOR_INDEXLIMIT, name);
  if (name.empty()) RaiseIndexError(VELDOR_INDEXNAMEREQUIRED);
  if (!IsIdentStartChar(uint8_t(name[0])) || name.size() > kMaxIndexNameLength)
    RaiseIndexError(VELDOR_INVALIDINDEXNAME, name);
  for (uint8_t s = 1; s <= GetIndexCount(); ++s)
    if (sameIndexName(descriptorName(descriptor(s)), name)) RaiseIndexError(VELDOR_INDEXEXISTS, name);
  checkKeyFields(d, name);
  const uint8_t slot = uint8_t(GetIndexCount() + 1);
  uint8_t* img = descriptor(slot);
  putName(img, name);
  putDefinition(img, d);
  put4(img + kDescRoot, 0);
  header_[13] = slot;
  setDirty();
  return slot;
}

void TIndexFile::DeleteIndexDescriptor(uint8_t slot, bool removeEntry) {
  if (slot == 0) {
    SetNoPrimaryIndex(true);
    setDirty();
    return;
  }
  const uint8_t count = GetIndexCount();
  if (slot > count) RaiseIndexError(VELDOR_INVALIDINDEXDELETE);
  if (removeEntry) {
    // Only the slots in use move down: the unused ones beyond them keep their descriptors, and
    // with them the free-page lists of indexes removed earlier.
    std::array<uint8_t, kIndexDescriptorSize> kept{};
    std::memcpy(kept.data(), descriptor(slot), kIndexDescriptorSize);
    for (uint8_t s = slot; s < count; ++s)
      std::memcpy(descriptor(s), descriptor(uint8_t(s + 1)), kIndexDescriptorSize);
    std::memcpy(descriptor(count), kept.data(), kIndexDescriptorSize);
    header_[13] = uint8_t(count - 1);
    // Cached pages, unwritten ones among them, move with their indexes: a page looked up under
    // its index's new slot must be the cached one, never a stale copy read from disk.
    std::rotate(caches_.begin() + slot, caches_.begin() + slot + 1, caches_.begin() + count + 1);
    for (uint8_t s = slot; s <= count; ++s) {
      const uint8_t* d = descriptor(s);
      for (size_t i = 0; i < caches_[s]->Count(); ++i)
        caches_[s]->At(i)->SetIndex(s, get2(d + kDescKeySize), d[kDescDescending], d[kDescUnique],
                                    d[kDescCompression]);
    }
  }
  setDirty();
}

void TIndexFile::SetIndexDescriptor(uint8_t slot, const TIndexDescriptor& d) {
  checkSlot(slot);
  uint8_t* img = descriptor(slot);
  putName(img, d.name);
  putDefinition(img, d);
  put4(img + kDescRoot, 0);
  img[kDescByte94] = 0;
  std::memset(img + kDescTail, 0, kIndexDescriptorSize - kDescTail);
  setDirty();
}

void TIndexFile::SetIndexNameAndFields(uint8_t slot, const TIndexDescriptor& d) {
  checkSlot(slot);
  uint8_t* img = descriptor(slot);
  putName(img, d.name);
  for (int i = 0; i < kMaxIndexFields; ++i) put2(img + kDescFields + 2 * i, d.fields[size_t(i)]);
  setDirty();
}

void TIndexFile::ClearIndexDescriptor(uint8_t slot) {
  checkSlot(slot);
  uint8_t* img = descriptor(slot);
  std::memset(img, 0, kDescTextParams);
  std::memset(img + kDescTail, 0, kIndexDescriptorSize - kDescTail);
  setDirty();
}

bool TIndexFile::IndexNameExists(std::string_view name) const {
  for (uint8_t s = 0; s <= GetIndexCount(); ++s)
    if (sameIndexName(descriptorName(descriptor(s)), name)) return true;
  return false;
}

void TIndexFile::SetIndexCount(uint8_t count) {
  if (count > kMaxSecondaryIndexes) RaiseIndexError(VELDOR_INDEXLIMIT);
  if (header_[13] == count) return;
  header_[13] = count;
  setDirty();
}

void TIndexFile::SetNoPrimaryIndex(bool flag) {
  if (flag) ClearIndexDescriptor(0);
  if (header_[kIndexNoPrimaryOffset] == uint8_t(flag)) return;
  header_[kIndexNoPrimaryOffset] = uint8_t(flag);
  setDirty();
}

// ---------------------------------------------------------------------------------------------
// Page cache

void TIndexFile::setUpPage(TPage& page, uint8_t slot, uint32_t number) {
  const uint8_t* d = descriptor(slot);
  page.SetIndex(slot, get2(d + kDescKeySize), d[kDescDescending], d[kDescUnique], d[kDescCompression]);
  page.SetPageNumber(number);
}

void TIndexFile::makeRoom(uint8_t slot) {
  TPageCache& own = *caches_[slot];
  if (own.Count() < own.Capacity()) return;
  size_t total = 0, active = 0, largest = 0;
  uint8_t donor = slot;
  for (uint8_t s = 0; s < kIndexSlotCount; ++s) {
    const size_t n = caches_[s]->Count();
    total += n;
    if (n > 0 || s == slot) ++active;
    if (s != slot && n > largest) {
      largest = n;
      donor = s;
    }
  }
  if (total < kIndexPageCacheBudget) {
    own.SetCapacity(own.Count() + 1);
    return;
  }
  // Over the budget: a slot below its share grows at the expense of the largest other slot,
  // which gives up its least recently used idle page (never a dirty one: no flush here).
  if (donor == slot || own.Count() >= kIndexPageCacheBudget / active || largest <= own.Count() + 1) return;
  TPageCache& other = *caches_[donor];
  bool damaged = false;
  const bool dropped = other.DropRecent([] {}, damaged);
  if (damaged) RaiseIndexError(VELDOR_INDEXCORRUPT, GetIndexName(donor));
  if (!dropped) return;
  other.SetCapacity(other.Count());
  own.SetCapacity(own.Count() + 1);
}

std::unique_ptr<TPage> TIndexFile::takeCacheSlot(uint8_t slot, uint32_t number) {
  makeRoom(slot);
  std::unique_ptr<TPage> page =
      caches_[slot]->GetCacheSlot(number, !owner_->HoldsTransactionLock(), [this] { FlushDirtyPages(); });
  if (!page) RaiseIndexError(VELDOR_INDEXCORRUPT, GetIndexName(slot));
  page->SetOwner(this);
  setUpPage(*page, slot, number);
  return page;
}

bool TIndexFile::GetPage(TIndexCursor& cursor, uint32_t number, TPage*& page, bool loadEmpty) {
  return getPage(cursor, number, page, loadEmpty, false);
}

bool TIndexFile::getPage(TIndexCursor& cursor, uint32_t number, TPage*& page, bool loadEmpty,
                         bool mayAppend) {
  page = nullptr;
  const uint8_t slot = cursor.GetCurrentIndex();
  checkSlot(slot);
  if (number == 0) RaiseIndexError(VELDOR_INDEXCORRUPT, GetIndexName(slot));
  // A key size or compression that no page can carry is refused before anything is cached.
  {
    const uint8_t* d = descriptor(slot);
    const uint16_t k = get2(d + kDescKeySize);
    if (k == 0 || k > kMaxKeyFieldsSize || d[kDescCompression] > kcBoth)
      RaiseIndexError(VELDOR_INDEXCORRUPT, GetIndexName(slot));
  }
  TPageCache& c = *caches_[slot];
  const uint32_t next = GetNextPageNumber();
  if (number < next) {
    TPage* p = c.Find(number);
    if (p) {
      // A cached page is only as fresh as the last look for other writers: the operation makes
      // one before it uses it, as before a disk read.
      if (!owner_->StrictChangeDetection() && !cursor.CachesCurrent() && cursor.BeginRead()) return false;
    } else {
      if (!owner_->StrictChangeDetection() && cursor.BeginRead()) return false;
      readBuffer_.assign(kIndexPageSize, 0);
      const int64_t got =
          ReadAt(int64_t(number) * kIndexPageSize, readBuffer_.data(), kIndexPageSize, shortReadTolerated());
      if (got < int64_t(kIndexPageSize))
        std::fill(readBuffer_.begin() + std::max<int64_t>(got, 0), readBuffer_.end(), 0);
      std::unique_ptr<TPage> fresh = takeCacheSlot(slot, number);
      {
        // A page that failed its checks never enters the cache.
        UndoOnFailure discard([&] {
          fresh->Clear();
          pool_.Push(fresh);
        });
        fresh->LoadFromBuffer(readBuffer_.data(), loadEmpty);
      }
      p = c.Insert(std::move(fresh));
      if (!p) RaiseIndexError(VELDOR_INDEXCORRUPT, GetIndexName(slot));
    }
    if (p->GetPageNumber() != number) RaiseIndexError(VELDOR_INDEXCORRUPT, GetIndexName(slot));
    p->Pin();
    page = p;
    return true;
  }
  if (number == next && mayAppend) {
    CheckRoomForPages(1);
    std::unique_ptr<TPage> fresh = takeCacheSlot(slot, number);
    fresh->Clear();
    fresh->SetDirty(true);
    TPage* p = c.Insert(std::move(fresh));
    if (!p) RaiseIndexError(VELDOR_INDEXCORRUPT, GetIndexName(slot));
    p->Pin();
    put4(header_.data() + 9, next + 1);
    setDirty();
    page = p;
    return true;
  }
  RaiseIndexError(VELDOR_INDEXCORRUPT, GetIndexName(slot));
}

bool TIndexFile::shortReadTolerated() const {
  // Pages past the end of the file can only be this table's own, not yet written.
  return owner_->WrittenSinceOpen() && (IsTemporary() || owner_->HoldsTransactionLock());
}

void TIndexFile::CheckRoomForPages(uint32_t extra) const {
  const uint64_t last = uint64_t(GetNextPageNumber()) + extra - 1;
  if (last > kMaxIndexPageNumber || (last + 1) * kIndexPageSize > kMaxIndexFileSize)
    RaiseIndexError(VELDOR_TABLEFULL);
}

void TIndexFile::ReleasePage(TPage* page) {
  if (!page) return;
  page->Unpin();
  if (page->PinCount() == 0 && !detached_.empty()) {
    auto it =
        std::find_if(detached_.begin(), detached_.end(), [page](const auto& d) { return d.get() == page; });
    if (it != detached_.end()) {
      std::unique_ptr<TPage> done = std::move(*it);
      detached_.erase(it);
      pool_.Push(done);
    }
  }
}

bool TIndexFile::NewPage(TIndexCursor& cursor, TPage*& page) {
  page = nullptr;
  const uint8_t slot = cursor.GetCurrentIndex();
  const uint32_t head = GetFreePageHead(slot);
  if (head == 0) {
    if (!getPage(cursor, GetNextPageNumber(), page, true, true)) return false;
  } else {
    if (!IsValidPageNumber(head)) RaiseIndexError(VELDOR_INDEXCORRUPT, GetIndexName(slot));
    TPage* p = nullptr;
    if (!getPage(cursor, head, p, true, false)) return false;
    const uint32_t nextFree = p->GetNextPage();
    if (!p->IsFreed() || p->PinCount() != 1 || !IsValidPageNumber(nextFree) || nextFree == head) {
      ReleasePage(p);
      RaiseIndexError(VELDOR_INDEXCORRUPT, GetIndexName(slot));
    }
    SetFreePageHead(slot, nextFree);
    page = p;
  }
  setUpPage(*page, slot, page->GetPageNumber());
  page->Clear();
  page->SetDirty(true);
  return true;
}

void TIndexFile::FreePage(TIndexCursor& cursor, TPage& page) {
  const uint8_t slot = cursor.GetCurrentIndex();
  if (page.IsFreed()) RaiseIndexError(VELDOR_INDEXCORRUPT, GetIndexName(slot));
  page.SetNextPage(GetFreePageHead(slot));
  page.SetPrevPage(0);
  page.SetEntryCount(0);
  page.SetFreed(true);
  SetFreePageHead(slot, page.GetPageNumber());
}

bool TIndexFile::GetRootPage(TIndexCursor& cursor, TPage*& page, bool& failed) {
  page = nullptr;
  failed = false;
  const uint32_t root = GetRootPageNumber(cursor.GetCurrentIndex());
  if (root == 0) return false;
  const bool got = GetPage(cursor, root, page);
  failed = !got;
  return got;
}

bool TIndexFile::GetTextParamsPage(TIndexCursor& cursor, TPage*& page, bool& failed) {
  page = nullptr;
  failed = false;
  const uint32_t number = GetTextParamsPageNumber();
  if (number == 0) return false;
  const bool got = GetPage(cursor, number, page);
  failed = !got;
  return true;
}

namespace {

// Runs of at least this many dirty pages go to the held writes in their own storage.
constexpr size_t kHandedOverPages = 16;

}  // namespace

bool TIndexFile::FlushDirtyPages() {
  if (GetIndexCount() > 32) return false;
  std::vector<TPage*> work;
  for (auto& c : caches_) {
    std::vector<TPage*> dirty = c->CollectDirty([](const TPage&) { return true; });
    work.insert(work.end(), dirty.begin(), dirty.end());
  }
  if (work.empty()) return false;
  std::sort(work.begin(), work.end(),
            [](const TPage* a, const TPage* b) { return a->GetPageNumber() < b->GetPageNumber(); });
  size_t i = 0;
  while (i < work.size()) {
    size_t j = i + 1;
    while (j < work.size() && work[j]->GetPageNumber() == work[j - 1]->GetPageNumber() + 1) ++j;
    const size_t bytes = (j - i) * kIndexPageSize;
    // A long run of held pages (a rebuilt tree) is built in storage the held writes take over, and
    // keep for the next one: copied in, it would cost a second pass over fresh memory.
    const bool handOver = HoldsWrites() && j - i >= kHandedOverPages;
    std::vector<uint8_t> run;
    if (handOver) run = TakeSpareBuffer();
    std::vector<uint8_t>& image = handOver ? run : writeBuffer_;
    // Every byte is the pages': SaveToBuffer writes the whole page.
    image.resize(bytes);
    for (size_t k = i; k < j; ++k) work[k]->SaveToBuffer(image.data() + (k - i) * kIndexPageSize);
    {
      // Pages that did not reach the disk stay dirty, so that a later flush writes them.
      UndoOnFailure redirty([&] {
        for (size_t k = i; k < work.size(); ++k) work[k]->SetDirty(true);
      });
      const int64_t at = int64_t(work[i]->GetPageNumber()) * kIndexPageSize;
      if (handOver)
        WriteAt(at, std::move(run));
      else
        WriteAt(at, image.data(), int64_t(bytes));
    }
    owner_->MarkWritten();
    i = j;
  }
  return true;
}

void TIndexFile::ClearPageCache() {
  ++epoch_;
  for (auto& c : caches_)
    c->Clear([this](std::unique_ptr<TPage> pinned) { detached_.push_back(std::move(pinned)); });
}

void TIndexFile::TrimPageCache() {
  for (uint8_t s = 0; s < kIndexSlotCount; ++s)
    if (!caches_[s]->Trim(2, [] {})) RaiseIndexError(VELDOR_INDEXCORRUPT, GetIndexName(s));
}

std::unique_ptr<TPage> TIndexFile::PopPageBuffer() {
  return pool_.Pop();
}

void TIndexFile::PushPageBuffer(std::unique_ptr<TPage>& page) {
  pool_.Push(page);
}

// ---------------------------------------------------------------------------------------------
// Locks

bool TIndexFile::LockWrite() {
  return LockRegionRetrying([](uint32_t) { return kWriteLockOffset; }, kWriteLockLength);
}

bool TIndexFile::UnlockWrite() {
  return LockRegion(false, kWriteLockOffset, kWriteLockLength);
}

bool TIndexFile::LockRead(uint16_t& slot) {
  return LockReadSlot(kReadLockBase, slot);
}

bool TIndexFile::UnlockRead(uint16_t slot) {
  return UnlockReadSlot(kReadLockBase, slot);
}

// ---------------------------------------------------------------------------------------------
// Remote tables

void TIndexFile::LoadHeaderFromReply(const uint8_t* header) {
  // A server's header passes the checks of a header read from disk; a refused one leaves the
  // header as it was.
  const std::array<uint8_t, kIndexHeaderSize> before = header_;
  ++epoch_;
  UndoOnFailure restore([&] { header_ = before; });
  std::memcpy(header_.data(), header, kIndexHeaderSize);
  header_[kIndexDirtyOffset] = 0;
  VerifyHeader();
  forgetDeferredBuild();
}

void TIndexFile::LoadRecordCountFromReply(uint32_t count) {
  put4(header_.data() + kIndexRecordCountOffset, count);
}

}  // namespace engine
