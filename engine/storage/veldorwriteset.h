// Writes held back from a file until they can be written out as one unit.
//
// A write set lies over the file as it is on disk: extents of new bytes and the length the file
// is to have. A cut below the disk length hides the disk's bytes from there on (they read as
// zeros when the file grows again). Reads through the set see exactly what the file would hold
// once the set is written out. Not thread-safe: it belongs to one file handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace engine {

// What the writer of an extent knows of the bytes it replaces: the extent differs from the bytes
// below it on disk only inside windows of `width` bytes, one every `stride` bytes from its start,
// and `old` holds the disk's bytes of each window, one window after another. A write-out then
// journals those windows without reading the disk again.
struct TKnownOldBytes {
  uint32_t stride = 0;
  uint32_t width = 0;
  std::vector<uint8_t> old;
};

class TWriteSet {
 public:
  // Nothing held since the last Clear.
  bool Empty() const { return !active_; }
  // Holds a write or a cut over a file whose length on disk is `diskSize` (taken at the first).
  void Write(int64_t diskSize, int64_t offset, const uint8_t* data, int64_t count);
  // The same for `bytes`, which the set takes over instead of copying when they overlap no
  // extent it holds and none starts right at their end; `bytes` is left empty either way.
  void Write(int64_t diskSize, int64_t offset, std::vector<uint8_t>&& bytes);
  // The same, with what the writer knows of the bytes replaced: kept with the extent while it
  // stands as taken over, forgotten once anything else is written or cut into it (the windows
  // would no longer cover every changed byte). Ignored when it does not fit the bytes.
  void Write(int64_t diskSize, int64_t offset, std::vector<uint8_t>&& bytes, TKnownOldBytes&& known);
  void Cut(int64_t diskSize, int64_t size);
  // Room for `count` more bytes in the extent that ends at `offset`, so that a run of writes
  // appended there grows it without moving what it holds; nothing when no extent ends there.
  void Reserve(int64_t offset, int64_t count);
  // Drops what is held. Once TakeSpare has been asked, the storage of the largest extent is kept
  // for it: a file written a large run at a time would otherwise fault fresh memory in for it at
  // every write-out. Storage over kMaxSpareBytes is freed: a file kept idle keeps no more.
  static constexpr size_t kMaxSpareBytes = size_t(8) << 20;
  void Clear();
  // Drops what is held and frees that storage too; nothing is kept until TakeSpare is asked again.
  void Release();
  // An empty buffer with the kept storage (none when nothing was kept).
  std::vector<uint8_t> TakeSpare();

  // The file's length on disk when the first write was held, the lowest length it was cut to
  // (the disk length when never cut), and the length it is to have.
  int64_t DiskSize() const { return diskSize_; }
  int64_t LowestCut() const { return lowestCut_; }
  int64_t Size() const { return size_; }
  // Non-overlapping extents by offset; bytes handed over may start right where one ends.
  const std::map<int64_t, std::vector<uint8_t>>& Extents() const { return extents_; }
  // What the writer knew of the old bytes under the extent at `offset`, unchanged since; null
  // when nothing is known.
  const TKnownOldBytes* KnownOld(int64_t offset) const {
    if (known_.empty()) return nullptr;
    auto k = known_.find(offset);
    return k == known_.end() ? nullptr : &k->second;
  }

  // Lays the set over `buffer`, which holds `diskRead` bytes read from the disk at `offset`;
  // returns the count of bytes the file holds there (at most `count`).
  int64_t Overlay(int64_t offset, uint8_t* buffer, int64_t count, int64_t diskRead) const;

  // The disk regions the write-out changes, as [offset, end) pairs below the disk length.
  std::vector<std::pair<int64_t, int64_t>> ChangedDiskRegions() const;

 private:
  void begin(int64_t diskSize);
  void forget(int64_t offset) {
    if (!known_.empty()) known_.erase(offset);
  }

  bool active_ = false;
  int64_t diskSize_ = 0;
  int64_t lowestCut_ = 0;
  int64_t size_ = 0;
  std::map<int64_t, std::vector<uint8_t>> extents_;
  // By the offset of the extent each belongs to.
  std::map<int64_t, TKnownOldBytes> known_;
  std::vector<uint8_t> spare_;
  bool spareWanted_ = false;
};

}  // namespace engine
