#include "engine/storage/veldorwriteset.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace engine {

void TWriteSet::begin(int64_t diskSize) {
  if (active_) return;
  active_ = true;
  diskSize_ = lowestCut_ = size_ = diskSize;
}

void TWriteSet::Clear() {
  if (spareWanted_) {
    for (auto& [offset, bytes] : extents_)
      if (bytes.capacity() > spare_.capacity() && bytes.capacity() <= kMaxSpareBytes) spare_.swap(bytes);
    spare_.clear();
  }
  active_ = false;
  extents_.clear();
  known_.clear();
  diskSize_ = lowestCut_ = size_ = 0;
}

void TWriteSet::Release() {
  spareWanted_ = false;
  Clear();
  spare_ = std::vector<uint8_t>();
}

std::vector<uint8_t> TWriteSet::TakeSpare() {
  spareWanted_ = true;
  return std::exchange(spare_, std::vector<uint8_t>());
}

void TWriteSet::Write(int64_t diskSize, int64_t offset, const uint8_t* data, int64_t count) {
  begin(diskSize);
  if (count <= 0) return;
  const int64_t end = offset + count;
  size_ = std::max(size_, end);
  auto first = extents_.upper_bound(offset);
  if (first != extents_.begin()) {
    auto before = std::prev(first);
    if (before->first + int64_t(before->second.size()) >= offset) first = before;
  }
  auto last = first;
  int64_t start = offset, stop = end;
  while (last != extents_.end() && last->first <= end) {
    start = std::min(start, last->first);
    stop = std::max(stop, last->first + int64_t(last->second.size()));
    ++last;
  }
  // Growing the one extent that starts at or before the write keeps runs of appends linear.
  if (first != last && std::next(first) == last && first->first <= offset) {
    forget(first->first);
    std::vector<uint8_t>& bytes = first->second;
    const size_t at = size_t(offset - first->first);
    // The part past the extent's end is appended as it is, not zero-filled first.
    const size_t inside = std::min(bytes.size() - at, size_t(count));
    std::memcpy(bytes.data() + at, data, inside);
    const size_t wanted = bytes.size() + size_t(count) - inside;
    // Grown four times over while that stays within what Clear keeps as spare, then twice (as a
    // vector would): a long run of appends copies and faults in less; room not yet written costs
    // address space only.
    const size_t room = bytes.capacity();
    if (wanted > room) bytes.reserve(std::max(wanted, room * 4 <= kMaxSpareBytes ? room * 4 : room * 2));
    bytes.insert(bytes.end(), data + inside, data + count);
    return;
  }
  // A write apart from every extent (a commit's run of records or pages) is taken as it is.
  if (first == last) {
    extents_.emplace_hint(last, offset, std::vector<uint8_t>(data, data + count));
    return;
  }
  std::vector<uint8_t> merged(size_t(stop - start));
  for (auto e = first; e != last; ++e)
    std::copy(e->second.begin(), e->second.end(), merged.begin() + (e->first - start));
  std::memcpy(merged.data() + (offset - start), data, size_t(count));
  for (auto e = first; e != last; ++e) forget(e->first);
  extents_.erase(first, last);
  extents_.emplace(start, std::move(merged));
}

void TWriteSet::Write(int64_t diskSize, int64_t offset, std::vector<uint8_t>&& bytes) {
  Write(diskSize, offset, std::move(bytes), TKnownOldBytes{});
}

void TWriteSet::Write(int64_t diskSize, int64_t offset, std::vector<uint8_t>&& bytes,
                      TKnownOldBytes&& known) {
  const int64_t count = int64_t(bytes.size());
  const int64_t end = offset + count;
  auto after = extents_.lower_bound(offset);
  // An extent that ends where these bytes begin stays apart: merging would copy them.
  const bool touchesAfter = after != extents_.end() && after->first <= end;
  const bool touchesBefore = after != extents_.begin() &&
                             std::prev(after)->first + int64_t(std::prev(after)->second.size()) > offset;
  if (count == 0 || touchesAfter || touchesBefore) {
    Write(diskSize, offset, bytes.data(), count);
    bytes.clear();
    return;
  }
  begin(diskSize);
  size_ = std::max(size_, end);
  const bool fits = known.width > 0 && known.width <= known.stride && count % known.stride == 0 &&
                    known.old.size() == size_t(count / known.stride) * known.width;
  if (fits) known_.insert_or_assign(offset, std::move(known));
  extents_.emplace_hint(after, offset, std::move(bytes));
  bytes.clear();
}

void TWriteSet::Reserve(int64_t offset, int64_t count) {
  if (count <= 0) return;
  auto e = extents_.lower_bound(offset);
  if (e == extents_.begin()) return;
  std::vector<uint8_t>& bytes = std::prev(e)->second;
  if (std::prev(e)->first + int64_t(bytes.size()) != offset) return;
  bytes.reserve(bytes.size() + size_t(count));
}

void TWriteSet::Cut(int64_t diskSize, int64_t size) {
  begin(diskSize);
  size_ = size;
  lowestCut_ = std::min(lowestCut_, size);
  auto e = extents_.lower_bound(size);
  for (auto gone = e; gone != extents_.end(); ++gone) forget(gone->first);
  extents_.erase(e, extents_.end());
  if (!extents_.empty()) {
    auto& [start, bytes] = *std::prev(extents_.end());
    if (start + int64_t(bytes.size()) > size) {
      forget(start);
      bytes.resize(size_t(size - start));
    }
  }
}

int64_t TWriteSet::Overlay(int64_t offset, uint8_t* buffer, int64_t count, int64_t diskRead) const {
  const int64_t available = std::clamp<int64_t>(size_ - offset, 0, count);
  const int64_t diskEnd = std::max(offset, std::min(lowestCut_, offset + std::max<int64_t>(diskRead, 0)));
  if (diskEnd < offset + available)
    std::memset(buffer + (diskEnd - offset), 0, size_t(offset + available - diskEnd));
  auto e = extents_.upper_bound(offset);
  if (e != extents_.begin()) e = std::prev(e);
  for (; e != extents_.end() && e->first < offset + available; ++e) {
    const int64_t from = std::max(offset, e->first);
    const int64_t to = std::min(offset + available, e->first + int64_t(e->second.size()));
    if (from < to)
      std::memcpy(buffer + (from - offset), e->second.data() + (from - e->first), size_t(to - from));
  }
  return available;
}

std::vector<std::pair<int64_t, int64_t>> TWriteSet::ChangedDiskRegions() const {
  std::vector<std::pair<int64_t, int64_t>> regions;
  const int64_t kept = std::min(lowestCut_, diskSize_);
  for (const auto& [start, bytes] : extents_) {
    const int64_t end = std::min(kept, start + int64_t(bytes.size()));
    if (start < end) regions.emplace_back(start, end);
  }
  if (kept < diskSize_) regions.emplace_back(kept, diskSize_);
  return regions;
}

}  // namespace engine
