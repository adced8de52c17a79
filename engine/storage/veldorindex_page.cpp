// Index pages in memory and on disk: entry access, key compression, loading and saving.
#include <algorithm>
#include <cstring>
#include <span>
#include <type_traits>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/storage/veldorcompress.h"
#include "engine/storage/veldorindex.h"
#include "platform/bytes.h"

namespace engine {

using platform::get2;
using platform::get4;
using platform::put2;
using platform::put4;

namespace {

// The smallest stored entry of a compressed leaf: a count byte and the record number.
constexpr uint32_t kMinCompressedEntry = 5;

}  // namespace

TPage::TPage(TIndexFile* owner) : owner_(owner) {}

void TPage::noteChange() {
  if (owner_) owner_->NotePageChange(slot_);
}

void TPage::SetDirty(bool dirty) {
  if (dirty)
    touch();
  else
    dirty_ = false;
}

void TPage::corrupt() const {
  if (owner_) owner_->RaiseIndexError(VELDOR_INDEXCORRUPT, owner_->GetIndexName(slot_));
  SignalEngineError(VELDOR_INDEXCORRUPT);
}

void TPage::SetIndex(uint8_t slot, uint16_t keySize, uint8_t descending, uint8_t unique,
                     uint8_t compression) {
  noteChange();
  slot_ = slot;
  noteChange();
  if (keySize == 0 || keySize > kMaxIndexKeySize || compression > kcBoth) corrupt();
  // Trailing compression of a non-unique index keeps the last 4 bytes, so its keys need them.
  if (unique == 0 && compression == kcTrailing && keySize < 4) corrupt();
  if (keySize != keySize_) {
    // The stride changes: entries of the old layout mean nothing now.
    count_ = 0;
    std::fill(entries_.begin(), entries_.end(), 0);
  }
  keySize_ = keySize;
  descending_ = descending;
  unique_ = unique;
  compression_ = compression;
}

void TPage::SetPageType(uint8_t type) {
  type_ = type;
  touch();
}

void TPage::reserveEntries(uint32_t count) {
  const size_t need = std::max<size_t>(size_t(count) * EntryStride(), kPageDataSize);
  if (entries_.size() < need) entries_.resize((need + 4095) / 4096 * 4096, 0);
}

void TPage::SetEntryCount(uint32_t count) {
  reserveEntries(count);
  if (count < count_) {
    std::fill(entries_.begin() + ptrdiff_t(size_t(count) * EntryStride()),
              entries_.begin() + ptrdiff_t(size_t(count_) * EntryStride()), 0);
  }
  count_ = count;
  touch();
}

void TPage::SetPrevPage(uint32_t page) {
  prev_ = page;
  touch();
}

void TPage::SetNextPage(uint32_t page) {
  next_ = page;
  touch();
}

void TPage::SetFreed(bool freed) {
  freed_ = freed;
  touch();
}

uint32_t TPage::GetCapacity() const {
  if (IsBranch()) return kPageDataSize / (uint32_t(keySize_) + (IsTextIndex() ? 4 : 8));
  if (IsLeaf()) return kPageDataSize / (uint32_t(keySize_) + 4);
  return 0;
}

bool TPage::IsFull() const {
  if (IsCompressedLeaf()) return usedBytes_ > kPageDataSize;
  return count_ > GetCapacity();
}

uint32_t TPage::GetEntryRef(uint32_t i) const {
  if (count_ == 0) return 0;
  return get4(entry(i) + keySize_);
}

void TPage::SetEntryRef(uint32_t i, uint32_t ref) {
  put4(entry(i) + keySize_, ref);
  touch();
}

void TPage::SetEntryKeyCount(uint32_t i, uint32_t count) {
  if (IsLeaf() || IsTextIndex()) return;
  put4(entry(i) + keySize_ + 4, count);
  touch();
}

void TPage::SetEntryKey(uint32_t i, const uint8_t* key) {
  std::memmove(entry(i), key, keySize_);
  touch();
}

uint64_t TPage::sumKeyCounts(uint32_t last) const {
  // Every descent sums a branch's counts: one pass over the fixed stride.
  const size_t stride = EntryStride();
  const uint8_t* at = entries_.data() + keySize_ + 4;
  uint64_t total = 0;
  for (uint32_t i = 0; i < last; ++i, at += stride) total += get4(at);
  return total;
}

uint64_t TPage::GetKeyTotal() const {
  if (IsLeaf()) return count_;
  return sumKeyCounts(count_);
}

uint64_t TPage::CountKeysBefore(uint32_t position) const {
  if (position <= 1) return 0;
  if (IsLeaf()) return position - 1;
  return sumKeyCounts(std::min(position - 1, count_));
}

void TPage::InsertEntry(const uint8_t* key, uint32_t& position) {
  if (position > count_) corrupt();
  reserveEntries(count_ + 1);
  const size_t stride = EntryStride();
  uint8_t* at = entries_.data() + size_t(position) * stride;
  std::memmove(at + stride, at, size_t(count_ - position) * stride);
  std::memset(at, 0, stride);
  std::memcpy(at, key, keySize_);
  ++count_;
  ++position;
  touch();
}

void TPage::DeleteEntry(uint32_t& position) {
  if (position < 1 || position > count_) corrupt();
  const size_t stride = EntryStride();
  uint8_t* at = entry(position);
  std::memmove(at, at + stride, size_t(count_ - position) * stride);
  --count_;
  std::memset(entries_.data() + size_t(count_) * stride, 0, stride);
  if (position > count_) position = count_;
  if (position < 1) position = 1;
  touch();
}

uint32_t TPage::compressEntry(uint32_t i) {
  const uint32_t k = keySize_;
  uint8_t* e = entry(i);
  uint8_t lead = 0, trail = 0;
  if (compression_ != kcTrailing && i > 1) lead = CommonPrefixLength(entry(i - 1), e, k);
  if (compression_ == kcTrailing) {
    const uint32_t part = unique_ ? k : (k >= 4 ? k - 4 : 0);
    trail = TrailingZeroCount(e, part);
  } else if (compression_ == kcBoth) {
    const uint32_t rest = k - lead;
    if (unique_)
      trail = TrailingZeroCount(e + lead, rest);
    else if (rest > 4)
      trail = TrailingZeroCount(e + lead, rest - 4);
  }
  e[k + 8] = lead;
  e[k + 9] = trail;
  return CompressedEntrySize(i);
}

void TPage::UpdateCompressedSize() {
  if (!IsCompressedLeaf()) {
    usedBytes_ = 0;
    return;
  }
  uint32_t used = 0;
  for (uint32_t i = 1; i <= count_; ++i) used += compressEntry(i);
  usedBytes_ = used;
}

bool TPage::AppendEntry(const uint8_t* key, uint32_t reference, uint32_t keyCount) {
  if (!IsCompressedLeaf() && count_ >= GetCapacity()) return false;
  // A page built entry by entry mostly has the room already: no call for it.
  if (entries_.size() < std::max<size_t>(size_t(count_ + 1) * EntryStride(), kPageDataSize))
    reserveEntries(count_ + 1);
  uint8_t* at = entries_.data() + size_t(count_) * EntryStride();
  // The record-id index's keys, the most appended, copied at a size known here: a copy of a size
  // known only at run time is a call per entry.
  if (keySize_ == kSysDeletedKeySize)
    std::memcpy(at, key, kSysDeletedKeySize);
  else
    std::memcpy(at, key, keySize_);
  platform::put4(at + keySize_, reference);
  // A leaf counts 1 per entry, as a loaded one does.
  platform::put4(at + keySize_ + 4, IsLeaf() ? 1 : (IsTextIndex() ? 0 : keyCount));
  at[keySize_ + 8] = at[keySize_ + 9] = 0;
  ++count_;
  touch();
  if (!IsCompressedLeaf()) return true;
  const uint32_t size = compressEntry(count_);
  if (count_ > 1 && usedBytes_ + size > kPageDataSize) {
    --count_;
    std::memset(at, 0, EntryStride());
    return false;
  }
  usedBytes_ += size;
  return true;
}

uint32_t TPage::CompressedEntrySize(uint32_t i) const {
  const uint32_t k = keySize_;
  const uint32_t lead = GetEntryLeading(i), trail = GetEntryTrailing(i);
  switch (compression_) {
    case kcLeading:
      return k - lead + 5;
    case kcTrailing:
      return k - trail + 5;
    case kcBoth:
      return k - lead - trail + 6;
    default:
      return k + 4;
  }
}

namespace {

// Calls `copy` with the key size, as a constant for the record-id index's keys: those are the
// pages loaded and stored most (every row's delete and append), and a copy of a size known only
// at run time is a call per key.
template <class Copy>
void withKeySize(uint32_t k, Copy&& copy) {
  if (k == kSysDeletedKeySize)
    copy(std::integral_constant<uint32_t, kSysDeletedKeySize>{});
  else
    copy(k);
}

}  // namespace

void TPage::StoreEntries(uint8_t* data) const {
  const uint32_t k = keySize_;
  if (type_ == ptRaw) {
    std::memcpy(data, entries_.data(), kPageDataSize);
    return;
  }
  if (!IsCompressedLeaf()) {
    const uint32_t stride = IsBranch() ? (IsTextIndex() ? k + 4 : k + 8) : k + 4;
    if (size_t(count_) * stride > kPageDataSize) corrupt();
    const bool child = IsBranch() && !IsTextIndex();
    withKeySize(k, [&](auto size) {
      const uint32_t n = size;
      for (uint32_t i = 1; i <= count_; ++i) {
        uint8_t* out = data + size_t(i - 1) * stride;
        const uint8_t* e = entry(i);
        std::memcpy(out, e, n);
        put4(out + n, get4(e + n));
        if (child) put4(out + n + 4, get4(e + n + 4));
      }
    });
    return;
  }
  if (usedBytes_ > kPageDataSize) corrupt();
  uint8_t* out = data;
  for (uint32_t i = 1; i <= count_; ++i) {
    const uint8_t* e = entry(i);
    const uint32_t lead = GetEntryLeading(i), trail = GetEntryTrailing(i);
    switch (compression_) {
      case kcLeading:
        *out++ = uint8_t(lead);
        std::memcpy(out, e + lead, k - lead);
        out += k - lead;
        break;
      case kcTrailing:
        *out++ = uint8_t(trail);
        if (unique_) {
          std::memcpy(out, e, k - trail);
          out += k - trail;
        } else {
          std::memcpy(out, e, k - 4 - trail);
          out += k - 4 - trail;
          std::memcpy(out, e + k - 4, 4);
          out += 4;
        }
        break;
      default:  // both
        *out++ = uint8_t(lead);
        *out++ = uint8_t(trail);
        if (unique_) {
          std::memcpy(out, e + lead, k - lead - trail);
          out += k - lead - trail;
        } else if (k - lead > 4) {
          std::memcpy(out, e + lead, k - 4 - lead - trail);
          out += k - 4 - lead - trail;
          std::memcpy(out, e + k - 4, 4);
          out += 4;
        } else {
          std::memcpy(out, e + lead, k - lead);
          out += k - lead;
        }
        break;
    }
    put4(out, get4(e + k));
    out += 4;
  }
}

void TPage::LoadEntries(const uint8_t* data, uint32_t count) {
  const uint32_t k = keySize_;
  reserveEntries(count);
  count_ = count;
  if (!IsCompressedLeaf()) {
    const uint32_t stride = IsBranch() ? (IsTextIndex() ? k + 4 : k + 8) : k + 4;
    const bool branch = IsBranch(), text = IsTextIndex();
    withKeySize(k, [&](auto size) {
      const uint32_t n = size;
      for (uint32_t i = 1; i <= count; ++i) {
        const uint8_t* in = data + size_t(i - 1) * stride;
        uint8_t* e = entry(i);
        std::memcpy(e, in, n);
        put4(e + n, get4(in + n));
        put4(e + n + 4, branch ? (text ? 0 : get4(in + n + 4)) : 1);
      }
    });
    return;
  }
  // Every count byte is checked against the key size and the bytes left before it is used.
  const uint32_t used = usedBytes_;
  uint32_t pos = 0;
  auto need = [&](uint32_t n) {
    if (pos + n > used) corrupt();
  };
  for (uint32_t i = 1; i <= count; ++i) {
    uint8_t* e = entry(i);
    uint32_t lead = 0, trail = 0;
    if (compression_ == kcLeading || compression_ == kcBoth) {
      need(1);
      lead = data[pos++];
    }
    if (compression_ == kcTrailing || compression_ == kcBoth) {
      need(1);
      trail = data[pos++];
    }
    if (lead > 254 || trail > 254 || lead > k || (i == 1 && lead != 0)) corrupt();
    if (lead > 0) std::memcpy(e, entry(i - 1), lead);
    switch (compression_) {
      case kcLeading:
        need(k - lead);
        std::memcpy(e + lead, data + pos, k - lead);
        pos += k - lead;
        break;
      case kcTrailing: {
        const uint32_t part = unique_ ? k : (k >= 4 ? k - 4 : 0);
        if (trail > part || (!unique_ && k < 4)) corrupt();
        need(part - trail);
        std::memcpy(e, data + pos, part - trail);
        pos += part - trail;
        std::memset(e + part - trail, 0, trail);
        if (!unique_) {
          need(4);
          std::memcpy(e + k - 4, data + pos, 4);
          pos += 4;
        }
        break;
      }
      default: {
        const uint32_t rest = k - lead;
        if (unique_) {
          if (trail > rest) corrupt();
          need(rest - trail);
          std::memcpy(e + lead, data + pos, rest - trail);
          pos += rest - trail;
          std::memset(e + k - trail, 0, trail);
        } else if (rest > 4) {
          if (trail > rest - 4) corrupt();
          need(rest - 4 - trail);
          std::memcpy(e + lead, data + pos, rest - 4 - trail);
          pos += rest - 4 - trail;
          std::memset(e + k - 4 - trail, 0, trail);
          need(4);
          std::memcpy(e + k - 4, data + pos, 4);
          pos += 4;
        } else {
          if (trail != 0) corrupt();
          need(rest);
          std::memcpy(e + lead, data + pos, rest);
          pos += rest;
        }
        break;
      }
    }
    need(4);
    put4(e + k, get4(data + pos));
    pos += 4;
    put4(e + k + 4, 1);
    e[k + 8] = uint8_t(lead);
    e[k + 9] = uint8_t(trail);
  }
  if (pos != used) corrupt();
}

void TPage::LoadFromBuffer(const uint8_t* source, bool loadEmpty) {
  // Only a scrambled page is copied first: every cache miss comes through here.
  std::array<uint8_t, kIndexPageSize> plain;
  std::span<const uint8_t> image(source, kIndexPageSize);
  if (owner_ && owner_->Owner().IsEncrypted()) {
    std::memcpy(plain.data(), source, kIndexPageSize);
    UnscrambleBuffer(plain.data(), plain.size(), kStructureSeed);
    image = plain;
  }
  std::memcpy(header_.data(), image.data(), kPageHeaderSize);
  const uint8_t type = image[0];
  const uint16_t count = get2(image.data() + 1);
  const uint32_t prev = get4(image.data() + 3);
  const uint32_t next = get4(image.data() + 7);
  const uint16_t used = get2(image.data() + 11);
  if (type > ptRaw) corrupt();
  noteChange();
  count_ = 0;
  std::fill(entries_.begin(), entries_.end(), 0);
  reserveEntries(0);
  type_ = type;
  prev_ = prev;
  next_ = next;
  loadedCount_ = count;
  usedBytes_ = 0;
  dirty_ = false;
  if (loadEmpty) {
    // Only pages of a free-page list are read this way; such a page was written without entries.
    freed_ = count == 0;
    return;
  }
  freed_ = false;
  if (type == ptRaw) {
    // A raw page has no entries; its bytes and header count are kept as they are.
    std::memcpy(entries_.data(), image.data() + kPageHeaderSize, kPageDataSize);
    return;
  }
  if (IsCompressedLeaf()) {
    if (used > kPageDataSize || count > kPageDataSize / kMinCompressedEntry) corrupt();
    usedBytes_ = used;
  } else if (count > GetCapacity()) {
    corrupt();
  }
  LoadEntries(image.data() + kPageHeaderSize, count);
  count_ = count;
}

void TPage::SaveToBuffer(uint8_t* image) {
  std::memset(image, 0, kIndexPageSize);
  image[0] = type_;
  const bool compressed = IsCompressedLeaf() && !freed_;
  if (compressed && usedBytes_ > kPageDataSize) corrupt();
  put2(image + 1, uint16_t(freed_ ? 0 : (type_ == ptRaw ? loadedCount_ : count_)));
  put4(image + 3, prev_);
  put4(image + 7, next_);
  put2(image + 11, uint16_t(compressed ? usedBytes_ : 0));
  if (!freed_) StoreEntries(image + kPageHeaderSize);
  if (owner_ && owner_->Owner().IsEncrypted()) ScrambleBuffer(image, kIndexPageSize, kStructureSeed);
  dirty_ = false;
}

void TPage::Assign(const TPage& other) {
  noteChange();
  dirty_ = other.dirty_;
  number_ = other.number_;
  usedBytes_ = other.usedBytes_;
  count_ = other.count_;
  loadedCount_ = other.loadedCount_;
  keySize_ = other.keySize_;
  slot_ = other.slot_;
  descending_ = other.descending_;
  unique_ = other.unique_;
  compression_ = other.compression_;
  header_ = other.header_;
  entries_ = other.entries_;
  prev_ = other.prev_;
  next_ = other.next_;
  type_ = other.type_;
  freed_ = other.freed_;
  noteChange();
}

void TPage::Clear() {
  noteChange();
  type_ = ptRootBranch;
  count_ = 0;
  loadedCount_ = 0;
  prev_ = next_ = 0;
  usedBytes_ = 0;
  freed_ = false;
  dirty_ = false;
  header_.fill(0);
  std::fill(entries_.begin(), entries_.end(), 0);
  // A new page may become a raw page, whose data callers fill through RawData.
  reserveEntries(0);
}

}  // namespace engine
