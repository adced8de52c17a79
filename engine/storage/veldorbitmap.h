// Record bitmaps: a set of record numbers of one table, one bit per record, 1-based. Filters and
// ranges keep their results in them and step through them; bitmaps are recycled through one
// process-wide pool because filters are built and dropped often.
//
// Bit layout: record n is bit (n - 1) mod 32, least significant first, of 32-bit word
// (n - 1) div 32. Bits past Count() in the last word carry no meaning: every count and search
// stops at Count().
//
// Counting members before a record, which every positioning does, reads a running count per
// block of words that is kept lazily: a change in one block only drops the counts after it.
//
// A bitmap belongs to one cursor or filter at a time and is not thread-safe. The pool is.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace engine {

class TRecordsBitmap {
 public:
  // Empty: no buffer, count 0.
  TRecordsBitmap() = default;

  // Covers records 1..count. The buffer is sized in steps of 256 bytes and only grows; a count
  // of 0 frees it. Bytes the buffer gains are zero; bits it already had keep their values, so a
  // caller that needs a defined state clears or fills the bitmap after sizing it.
  void SetSize(uint32_t count);

  uint32_t Count() const { return count_; }
  // Bytes allocated: a multiple of 256.
  size_t BufferSize() const { return words_.size() * sizeof(uint32_t); }
  // Word i (0-based) of the buffer; Requires i < BufferSize() / 4.
  uint32_t Word(size_t i) const { return words_.at(i); }

  // False for a record outside 1..Count().
  bool GetBit(uint32_t n) const;
  // Requires 1 <= n <= Count(); throws std::out_of_range otherwise.
  void SetBit(uint32_t n);
  void ClearBit(uint32_t n);

  // Records first..last all made members / all made not members: word by word where a bit each
  // would take a call per record. Requires 1 <= first <= last <= Count(); throws std::out_of_range
  // otherwise.
  void SetRange(uint32_t first, uint32_t last);
  void ClearRange(uint32_t first, uint32_t last);
  // True when every record first..last is a member; false for first > last or a range not
  // within 1..Count().
  bool AllSetIn(uint32_t first, uint32_t last) const;

  // Every byte of the buffer to 0 / to 255, bits past Count() included.
  void ClearAll();
  void SetAll();
  // SetSize(count) then SetAll(), the bytes the buffer gains written once instead of zeroed first.
  void SetSizeAllSet(uint32_t count);

  // Members among records 1..Count().
  uint32_t CountSet() const;
  // Members among records 1..n-1 (n beyond Count() counts to Count()); 0 for n <= 1.
  uint32_t CountSetBefore(uint32_t n) const;

  // Looks for the n-th member after `recordNumber` (records above it, up to Count()). Each
  // member passed raises `position` by one and is stored in `recordNumber`. True when the n-th
  // was found (recordNumber is then that member); false when Count() came first, with
  // recordNumber the last member found (unchanged when none). A start past Count(), and n = 0,
  // give false with nothing changed.
  bool FindNext(uint32_t& recordNumber, uint32_t n, int64_t& position) const;
  // The mirror image: members below `recordNumber` (a start above Count() starts at Count()),
  // each lowering `position` by one.
  bool FindPrior(uint32_t& recordNumber, uint32_t n, int64_t& position) const;

  // The highest (lowest) member among records first..last, the range cut to 1..Count(); 0 when
  // there is none. Looks only at the range's words.
  uint32_t LastMemberIn(uint32_t first, uint32_t last) const;
  uint32_t FirstMemberIn(uint32_t first, uint32_t last) const;

  // Intersect with / unite with `other`, word by word over this bitmap's words. Records that
  // `other` does not cover count as not members of it: And clears them, Or keeps them.
  void AndBitmap(const TRecordsBitmap& other);
  void OrBitmap(const TRecordsBitmap& other);
  // Every word inverted (bits past Count() too).
  void NotBitmap();

  // Takes other's buffer size, count and bytes.
  void Assign(const TRecordsBitmap& other);

 private:
  static constexpr uint32_t kBlockWords = 16;

  void checkRecord(uint32_t n) const;
  // Members among records 1..last; Requires last <= count_.
  uint32_t countThrough(uint32_t last) const;
  // The running counts through block `block` are brought up to date.
  void countBlocksBefore(uint32_t block) const;
  // True when the running counts show block `block` without members; false when they do not know.
  bool blockKnownEmpty(uint32_t block) const {
    return block < countedBlocks_ && countedBlocks_ < blockCounts_.size() &&
           blockCounts_[block + 1] == blockCounts_[block];
  }
  // Every running count known from a buffer whose words are all full.
  void countedAllSet();
  // Every running count is stale (a change that may touch any word).
  void changedAll() {
    countedBlocks_ = 0;
    countedWord_ = 0;
  }
  void changedBlockOf(uint32_t word) {
    countedBlocks_ = std::min(countedBlocks_, word / kBlockWords);
    if (word < countedWord_) countedWord_ = 0;
  }

  std::vector<uint32_t> words_;
  uint32_t count_ = 0;
  uint32_t wordCount_ = 0;
  // blockCounts_[b] is the number of members in the words of blocks 0..b-1; entries
  // 0..countedBlocks_ are current.
  mutable std::vector<uint32_t> blockCounts_{0};
  mutable uint32_t countedBlocks_ = 0;
  // The last count's word and the members in the words before it (countedWord_ 0: none kept): a
  // scan counts word after word, each from the one before.
  mutable uint32_t countedWord_ = 0;
  mutable uint32_t countedBefore_ = 0;
};

// The records a walk finds for `target`, set in it only when the walk is done (Apply), so that a
// walk begun again (Restart) leaves the target as it was before. A few records are kept in a list
// and set one by one at the end; once they are more than copying the bitmap costs (a record
// listed takes about as long as copying 256 bits), they go into a copy of the target, which then
// takes the target's place.
class TRecordsFound {
 public:
  explicit TRecordsFound(TRecordsBitmap& target)
      : target_(target), listLimit_(std::max<uint32_t>(kMinListLimit, target.Count() / 256)) {}
  uint32_t Count() const { return target_.Count(); }
  // Requires 1 <= record <= Count().
  void Add(uint32_t record) {
    if (!copied_) {
      if (list_.size() < listLimit_) return list_.push_back(record);
      copyTarget();
    }
    copy_.SetBit(record);
  }
  // Forgets every record added.
  void Restart() {
    list_.clear();
    copied_ = false;
  }
  // Sets the records added in the target.
  void Apply();

 private:
  static constexpr uint32_t kMinListLimit = 64;
  void copyTarget();

  TRecordsBitmap& target_;
  const uint32_t listLimit_;
  std::vector<uint32_t> list_;
  TRecordsBitmap copy_;
  bool copied_ = false;
};

// The pool of spare bitmaps. Thread-safe: every operation holds its lock.
class TRecordsBitmapStack {
 public:
  static constexpr size_t kMaxSpare = 64;

  // The last spare bitmap with every bit cleared (its size stays as it was), or a new empty
  // bitmap when there is none.
  std::unique_ptr<TRecordsBitmap> Get();
  // Keeps the bitmap as a spare while fewer than kMaxSpare are kept, frees it otherwise; the
  // caller's pointer is empty afterwards. An empty pointer is ignored.
  void Put(std::unique_ptr<TRecordsBitmap>& bitmap);
  size_t SpareCount() const;
  // Frees every spare (engine shut-down).
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<TRecordsBitmap>> spares_;
};

// The process's pool; lives for the whole process.
TRecordsBitmapStack& RecordsBitmapStack();

std::unique_ptr<TRecordsBitmap> GetRecordsBitmap();
void PutRecordsBitmap(std::unique_ptr<TRecordsBitmap>& bitmap);

}  // namespace engine
