#include "engine/storage/veldorbitmap.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

namespace engine {
namespace {

constexpr size_t kBufferStep = 256;                               // bytes
constexpr size_t kWordsPerStep = kBufferStep / sizeof(uint32_t);  // 64

// The bits of word `w` that belong to records first..last (1-based, inclusive).
uint32_t rangeMask(uint32_t w, uint32_t first, uint32_t last) {
  uint64_t lo = uint64_t(w) * 32 + 1;  // record of bit 0
  uint64_t hi = lo + 31;
  if (last < lo || first > hi) return 0;
  uint32_t mask = 0xFFFFFFFFu;
  if (first > lo) mask &= 0xFFFFFFFFu << (first - lo);
  if (last < hi) mask &= 0xFFFFFFFFu >> (hi - last);
  return mask;
}

// Position (0-31) of the k-th (1-based) set bit of `bits`, counting from the lowest.
int nthSetBitFromLow(uint32_t bits, uint32_t k) {
  while (--k > 0) bits &= bits - 1;
  return std::countr_zero(bits);
}

// Position of the k-th set bit of `bits`, counting from the highest.
int nthSetBitFromHigh(uint32_t bits, uint32_t k) {
  int at = 31 - std::countl_zero(bits);
  while (--k > 0) {
    bits &= ~(1u << at);
    at = 31 - std::countl_zero(bits);
  }
  return at;
}

// Members in words [from, to).
[[gnu::always_inline]] inline uint32_t countWordsPortable(const uint32_t* words, size_t from, size_t to) {
  // Two words read as one: a member is a member in either order of the halves.
  auto pair = [&](size_t at) {
    uint64_t bits;
    std::memcpy(&bits, words + at, sizeof bits);
    return uint32_t(std::popcount(bits));
  };
  uint32_t total = 0;
  for (; from + 8 <= to; from += 8) total += pair(from) + pair(from + 2) + pair(from + 4) + pair(from + 6);
  for (; from + 2 <= to; from += 2) total += pair(from);
  if (from < to) total += uint32_t(std::popcount(words[from]));
  return total;
}

// Members in words [from, to) and in the bits of `last`.
[[gnu::always_inline]] inline uint32_t countWordsAndPartPortable(const uint32_t* words, size_t from,
                                                                 size_t to, uint32_t last) {
  return countWordsPortable(words, from, to) + uint32_t(std::popcount(last));
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Without the instruction the count is a library call per word, which made counting a large
// view cost several times its reading.
[[gnu::target("popcnt")]] uint32_t countWordsWithPopcnt(const uint32_t* words, size_t from, size_t to) {
  return countWordsPortable(words, from, to);
}
[[gnu::target("popcnt")]] uint32_t countWordsAndPartWithPopcnt(const uint32_t* words, size_t from, size_t to,
                                                               uint32_t last) {
  return countWordsAndPartPortable(words, from, to, last);
}

// Read at start-up, before which a count takes the portable way.
const bool hasPopcnt = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("popcnt") != 0;
}();

uint32_t countWords(const uint32_t* words, size_t from, size_t to) {
  return hasPopcnt ? countWordsWithPopcnt(words, from, to) : countWordsPortable(words, from, to);
}
uint32_t countWordsAndPart(const uint32_t* words, size_t from, size_t to, uint32_t last) {
  return hasPopcnt ? countWordsAndPartWithPopcnt(words, from, to, last)
                   : countWordsAndPartPortable(words, from, to, last);
}
#else
uint32_t countWords(const uint32_t* words, size_t from, size_t to) {
  return countWordsPortable(words, from, to);
}
uint32_t countWordsAndPart(const uint32_t* words, size_t from, size_t to, uint32_t last) {
  return countWordsAndPartPortable(words, from, to, last);
}
#endif

}  // namespace

void TRecordsBitmap::SetSize(uint32_t count) {
  if (count == count_) return;
  // The words the buffer keeps keep their bits, so their running counts hold.
  count_ = count;
  wordCount_ = uint32_t((uint64_t(count) + 31) / 32);
  if (wordCount_ == 0) {
    changedAll();
    words_.clear();
    words_.shrink_to_fit();
    return;
  }
  size_t need = (size_t(wordCount_) + kWordsPerStep - 1) / kWordsPerStep * kWordsPerStep;
  if (need > words_.size()) words_.resize(need, 0);
}

void TRecordsBitmap::checkRecord(uint32_t n) const {
  if (n < 1 || n > count_)
    throw std::out_of_range("record " + std::to_string(n) + " outside the bitmap's 1.." +
                            std::to_string(count_));
}

bool TRecordsBitmap::GetBit(uint32_t n) const {
  if (n < 1 || n > count_) return false;
  return (words_[(n - 1) / 32] >> ((n - 1) % 32)) & 1u;
}

void TRecordsBitmap::SetBit(uint32_t n) {
  checkRecord(n);
  changedBlockOf((n - 1) / 32);
  words_[(n - 1) / 32] |= 1u << ((n - 1) % 32);
}

void TRecordsBitmap::ClearBit(uint32_t n) {
  checkRecord(n);
  changedBlockOf((n - 1) / 32);
  words_[(n - 1) / 32] &= ~(1u << ((n - 1) % 32));
}

void TRecordsBitmap::SetRange(uint32_t first, uint32_t last) {
  checkRecord(first);
  checkRecord(last);
  if (first > last) throw std::out_of_range("an empty range of records");
  const uint32_t firstWord = (first - 1) / 32, lastWord = (last - 1) / 32;
  // The running counts of every word from the first on are stale.
  changedBlockOf(firstWord);
  for (uint32_t w = firstWord; w <= lastWord; ++w)
    words_[w] |= w == firstWord || w == lastWord ? rangeMask(w, first, last) : 0xFFFFFFFFu;
}

void TRecordsBitmap::ClearRange(uint32_t first, uint32_t last) {
  checkRecord(first);
  checkRecord(last);
  if (first > last) throw std::out_of_range("an empty range of records");
  const uint32_t firstWord = (first - 1) / 32, lastWord = (last - 1) / 32;
  changedBlockOf(firstWord);
  for (uint32_t w = firstWord; w <= lastWord; ++w)
    words_[w] &= w == firstWord || w == lastWord ? ~rangeMask(w, first, last) : 0u;
}

bool TRecordsBitmap::AllSetIn(uint32_t first, uint32_t last) const {
  if (first < 1 || first > last || last > count_) return false;
  const uint32_t firstWord = (first - 1) / 32, lastWord = (last - 1) / 32;
  for (uint32_t w = firstWord; w <= lastWord; ++w) {
    const uint32_t mask = w == firstWord || w == lastWord ? rangeMask(w, first, last) : 0xFFFFFFFFu;
    if ((words_[w] & mask) != mask) return false;
  }
  return true;
}

void TRecordsBitmap::ClearAll() {
  changedAll();
  std::fill(words_.begin(), words_.end(), 0u);
}

void TRecordsBitmap::SetAll() {
  changedAll();
  std::fill(words_.begin(), words_.end(), 0xFFFFFFFFu);
  countedAllSet();
}

void TRecordsBitmap::SetSizeAllSet(uint32_t count) {
  const size_t need =
      (size_t((uint64_t(count) + 31) / 32) + kWordsPerStep - 1) / kWordsPerStep * kWordsPerStep;
  if (count == 0 || need <= words_.size()) {
    SetSize(count);
    return SetAll();
  }
  changedAll();
  count_ = count;
  wordCount_ = uint32_t((uint64_t(count) + 31) / 32);
  words_.assign(need, 0xFFFFFFFFu);
  countedAllSet();
}

void TRecordsBitmap::countedAllSet() {
  // Every word is full, so every running count is known without reading a word: a view of a
  // table without deleted records is built this way, and counted at once after.
  const uint32_t blocks = uint32_t(words_.size() / kBlockWords);
  blockCounts_.resize(size_t(blocks) + 1);
  for (uint32_t b = 0; b <= blocks; ++b) blockCounts_[b] = b * kBlockWords * 32;
  countedBlocks_ = blocks;
}

void TRecordsBitmap::countBlocksBefore(uint32_t block) const {
  // A bitmap moved from has lost its counts along with its words.
  if (countedBlocks_ >= blockCounts_.size()) {
    blockCounts_.assign(1, 0);
    countedBlocks_ = 0;
  }
  if (countedBlocks_ >= block) return;
  if (blockCounts_.size() <= block) blockCounts_.resize(size_t(block) + 1);
  for (uint32_t b = countedBlocks_; b < block; ++b)
    blockCounts_[b + 1] =
        blockCounts_[b] + countWords(words_.data(), size_t(b) * kBlockWords, size_t(b + 1) * kBlockWords);
  countedBlocks_ = block;
}

uint32_t TRecordsBitmap::countThrough(uint32_t last) const {
  if (last == 0) return 0;
  const uint32_t lastWord = (last - 1) / 32;
  const uint32_t part = words_[lastWord] & rangeMask(lastWord, 1, last);
  // Words 0..countedWord_-1 hold countedBefore_ members while no change touched them.
  if (countedWord_ != 0 && countedWord_ <= lastWord && lastWord - countedWord_ < 4 && !blockCounts_.empty()) {
    const uint32_t before = countedBefore_ + countWords(words_.data(), countedWord_, lastWord);
    countedWord_ = lastWord;
    countedBefore_ = before;
    return before + countWordsAndPart(words_.data(), 0, 0, part);
  }
  const uint32_t block = lastWord / kBlockWords;
  // Whole blocks before the last word lie inside 1..last, so inside Count().
  countBlocksBefore(block);
  const uint32_t before =
      blockCounts_[block] + countWords(words_.data(), size_t(block) * kBlockWords, lastWord);
  countedWord_ = lastWord;
  countedBefore_ = before;
  return before + countWordsAndPart(words_.data(), 0, 0, part);
}

uint32_t TRecordsBitmap::CountSet() const {
  return countThrough(count_);
}

uint32_t TRecordsBitmap::CountSetBefore(uint32_t n) const {
  return n <= 1 ? 0 : countThrough(std::min(n - 1, count_));
}

bool TRecordsBitmap::FindNext(uint32_t& recordNumber, uint32_t n, int64_t& position) const {
  if (n == 0 || recordNumber >= count_) return false;
  uint32_t start = recordNumber + 1;
  uint32_t found = 0;
  for (uint32_t w = (start - 1) / 32; w < wordCount_; ++w) {
    // A sparse view (a narrow filter) is stepped through a block of words at a time where the
    // counts are known.
    if (w % kBlockWords == 0 && blockKnownEmpty(w / kBlockWords)) {
      w += kBlockWords - 1;
      continue;
    }
    uint32_t bits = words_[w];
    if (bits == 0) continue;
    bits &= rangeMask(w, start, count_);
    if (bits == 0) continue;
    // The next member, as a scan asks for it, needs no count.
    if (found + 1 == n) {
      recordNumber = w * 32 + uint32_t(std::countr_zero(bits)) + 1;
      position += 1;
      return true;
    }
    uint32_t here = uint32_t(std::popcount(bits));
    if (found + here >= n) {
      uint32_t k = n - found;
      recordNumber = w * 32 + uint32_t(nthSetBitFromLow(bits, k)) + 1;
      position += k;
      return true;
    }
    found += here;
    position += here;
    recordNumber = w * 32 + uint32_t(31 - std::countl_zero(bits)) + 1;
  }
  return false;
}

bool TRecordsBitmap::FindPrior(uint32_t& recordNumber, uint32_t n, int64_t& position) const {
  if (n == 0 || recordNumber <= 1 || count_ == 0) return false;
  uint32_t start = std::min(recordNumber - 1, count_);
  uint32_t found = 0;
  for (uint32_t w = (start - 1) / 32 + 1; w-- > 0;) {
    uint32_t bits = words_[w] & rangeMask(w, 1, start);
    if (bits == 0) continue;
    if (found + 1 == n) {
      recordNumber = w * 32 + uint32_t(31 - std::countl_zero(bits)) + 1;
      position -= 1;
      return true;
    }
    uint32_t here = uint32_t(std::popcount(bits));
    if (found + here >= n) {
      uint32_t k = n - found;
      recordNumber = w * 32 + uint32_t(nthSetBitFromHigh(bits, k)) + 1;
      position -= k;
      return true;
    }
    found += here;
    position -= here;
    recordNumber = w * 32 + uint32_t(std::countr_zero(bits)) + 1;
  }
  return false;
}

uint32_t TRecordsBitmap::LastMemberIn(uint32_t first, uint32_t last) const {
  first = std::max<uint32_t>(first, 1);
  last = std::min(last, count_);
  if (first > last) return 0;
  for (uint32_t w = (last - 1) / 32 + 1; w-- > (first - 1) / 32;) {
    const uint32_t bits = words_[w] & rangeMask(w, first, last);
    if (bits != 0) return w * 32 + uint32_t(31 - std::countl_zero(bits)) + 1;
  }
  return 0;
}

uint32_t TRecordsBitmap::FirstMemberIn(uint32_t first, uint32_t last) const {
  first = std::max<uint32_t>(first, 1);
  last = std::min(last, count_);
  if (first > last) return 0;
  const uint32_t firstWord = (first - 1) / 32, lastWord = (last - 1) / 32;
  for (uint32_t w = firstWord; w <= lastWord; ++w) {
    if (w % kBlockWords == 0 && blockKnownEmpty(w / kBlockWords)) {
      w += kBlockWords - 1;
      continue;
    }
    // Only the range's end words need its mask.
    uint32_t bits = words_[w];
    if (bits == 0) continue;
    if (w == firstWord || w == lastWord) bits &= rangeMask(w, first, last);
    if (bits != 0) return w * 32 + uint32_t(std::countr_zero(bits)) + 1;
  }
  return 0;
}

void TRecordsBitmap::AndBitmap(const TRecordsBitmap& other) {
  changedAll();
  size_t common = std::min(wordCount_, other.wordCount_);
  for (size_t w = 0; w < common; ++w) words_[w] &= other.words_[w];
  // Bits past other's count in its last word carry no meaning: they are not members of it.
  if (common > 0 && common == other.wordCount_)
    words_[common - 1] &= rangeMask(uint32_t(common - 1), 1, other.count_);
  for (size_t w = common; w < wordCount_; ++w) words_[w] = 0;
}

void TRecordsBitmap::OrBitmap(const TRecordsBitmap& other) {
  changedAll();
  size_t common = std::min(wordCount_, other.wordCount_);
  for (size_t w = 0; w < common; ++w) {
    uint32_t bits = other.words_[w];
    if (w + 1 == other.wordCount_) bits &= rangeMask(uint32_t(w), 1, other.count_);
    words_[w] |= bits;
  }
}

void TRecordsBitmap::NotBitmap() {
  changedAll();
  for (uint32_t w = 0; w < wordCount_; ++w) words_[w] = ~words_[w];
}

void TRecordsBitmap::Assign(const TRecordsBitmap& other) {
  if (this == &other) return;
  words_ = other.words_;
  count_ = other.count_;
  wordCount_ = other.wordCount_;
  // The same words: other's running counts hold for them (a filter starts from a copy of the
  // records in use, which are counted already).
  blockCounts_ = other.blockCounts_;
  countedBlocks_ = other.countedBlocks_;
  countedWord_ = other.countedWord_;
  countedBefore_ = other.countedBefore_;
}

void TRecordsFound::copyTarget() {
  copy_.Assign(target_);
  for (const uint32_t record : list_) copy_.SetBit(record);
  list_.clear();
  copied_ = true;
}

void TRecordsFound::Apply() {
  if (copied_) {
    // The copy has the target's size and buffer steps: it takes the target's place whole.
    target_ = std::move(copy_);
    copied_ = false;
    return;
  }
  for (const uint32_t record : list_) target_.SetBit(record);
  list_.clear();
}

// ---- Pool ----

std::unique_ptr<TRecordsBitmap> TRecordsBitmapStack::Get() {
  std::unique_ptr<TRecordsBitmap> bitmap;
  {
    std::lock_guard lock(mutex_);
    if (!spares_.empty()) {
      bitmap = std::move(spares_.back());
      spares_.pop_back();
    }
  }
  if (!bitmap) return std::make_unique<TRecordsBitmap>();
  bitmap->ClearAll();
  return bitmap;
}

void TRecordsBitmapStack::Put(std::unique_ptr<TRecordsBitmap>& bitmap) {
  if (!bitmap) return;
  std::unique_ptr<TRecordsBitmap> dropped;
  {
    std::lock_guard lock(mutex_);
    if (spares_.size() < kMaxSpare)
      spares_.push_back(std::move(bitmap));
    else
      dropped = std::move(bitmap);
  }
  bitmap.reset();
}

size_t TRecordsBitmapStack::SpareCount() const {
  std::lock_guard lock(mutex_);
  return spares_.size();
}

void TRecordsBitmapStack::Clear() {
  std::vector<std::unique_ptr<TRecordsBitmap>> dropped;
  std::lock_guard lock(mutex_);
  dropped.swap(spares_);
}

TRecordsBitmapStack& RecordsBitmapStack() {
  static TRecordsBitmapStack stack;
  return stack;
}

std::unique_ptr<TRecordsBitmap> GetRecordsBitmap() {
  return RecordsBitmapStack().Get();
}

void PutRecordsBitmap(std::unique_ptr<TRecordsBitmap>& bitmap) {
  RecordsBitmapStack().Put(bitmap);
}

}  // namespace engine
