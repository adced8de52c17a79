// Counted B+-tree operations over one whole index of an index file, as a cursor drives them:
// descend from the root keeping the path, change the leaf, let the change split, merge or
// balance upward, and keep every branch entry's count of the keys below it.
//
// Counts: a branch entry's count changes only once the change below it has succeeded. The
// descent itself changes nothing, so a refused insert (an equal key in a unique index) or a
// failure while reading the path leaves every count as it was.
//
// Restarts: a page read that reports a change by another process starts a search or the
// read-only part of a change again, at most kMaxRestarts times; then VELDOR_INDEXCORRUPT.
// Once a change has begun to modify pages it never restarts.
//
// Keys are compared with the cursor's CompareKeys over the index's key size. Keys of every
// index the engine builds are distinct (non-unique indexes end with the record's unique id).
//
// Not thread-safe: under the table's index write lock for changes and a read lock for reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <utility>
#include <vector>

#include "engine/storage/veldorindex.h"

namespace engine {

class TRecordsBitmap;

// One index entry as a search found it: valid, its reference and its K key bytes.
struct TKeyEntry {
  bool valid = false;
  uint32_t reference = 0;
  std::array<uint8_t, kMaxIndexKeySize> key;
};

// The entries at positions p - 1, p and p + 1 around a search's position p, and where the entry at
// p stands (place.file 0 when the search found none).
struct TKeyNeighbours {
  TKeyEntry before, at, after;
  TLeafPlace place;
  // The one of the three at `position` (p - 1 .. p + 1), or nullptr when that one is not held.
  const TKeyEntry* Get(uint64_t found, uint64_t position) const;
};

// A pinned page that is released when the holder goes.
using TPinnedPage = TPinnedItem<TPage, TIndexFile>;

// The pinned pages of one descent, root first (index = level - 1). Held in place: every search
// and change builds one, and a heap list cost an allocation per level grown.
class TPagePath {
 public:
  static constexpr size_t kCapacity = TIndexCursor::kMaxPathLevels + 1;

  TPagePath() = default;
  ~TPagePath() { clear(); }
  TPagePath(const TPagePath&) = delete;
  TPagePath& operator=(const TPagePath&) = delete;

  // False (nothing taken) when the path is full: only a tree with a cycle gets that deep.
  bool push_back(TPinnedPage&& page) {
    if (size_ == kCapacity) return false;
    new (at(size_)) TPinnedPage(std::move(page));
    ++size_;
    return true;
  }
  // Releases the pages, leaf first.
  void clear() {
    while (size_ > 0) at(--size_)->~TPinnedPage();
  }
  size_t size() const { return size_; }
  TPinnedPage& operator[](size_t index) { return *at(index); }
  TPinnedPage& back() { return *at(size_ - 1); }

 private:
  TPinnedPage* at(size_t index) { return std::launder(reinterpret_cast<TPinnedPage*>(storage_)) + index; }

  alignas(TPinnedPage) unsigned char storage_[kCapacity * sizeof(TPinnedPage)];
  size_t size_ = 0;
};

class TIndexTree {
 public:
  static constexpr int kMaxRestarts = 16;

  // Works on `slot` of `file`; the cursor's current index is set to it for every operation.
  TIndexTree(TIndexFile& file, TIndexCursor& cursor, uint8_t slot);

  // Keys in the index (the root's key total); 0 for an empty index.
  uint64_t KeyCount();
  // Adds a key with its reference (record number). An equal key in a unique index raises
  // VELDOR_KEYVIOL and changes nothing; so does a file without room (VELDOR_TABLEFULL).
  void InsertKey(const uint8_t* key, uint32_t reference);
  // Builds the index bottom-up from `count` keys in the order of the cursor's CompareKeys, key i
  // with reference(i): leaves filled to capacity (a compressed leaf to its 4083 bytes), the last
  // two of a level sharing their entries so that neither is under half full, then each branch
  // level over the one below, every page written once. The tree is one that the inserts and
  // deletes above carry on from. Requires an index without a root; not for the text index.
  // Keys out of order, or equal keys in a unique index (VELDOR_KEYVIOL), are refused before any
  // page is taken; a file without room raises VELDOR_TABLEFULL with the pages taken so far back
  // on the free-page list and the index still empty.
  void BuildFromSorted(size_t count, const std::function<const uint8_t*(size_t)>& key,
                       const std::function<uint32_t(size_t)>& reference);
  // The same for keys side by side, K bytes each, with their references.
  void BuildFromSorted(size_t count, const uint8_t* keys, const uint32_t* references);
  // Removes the entry with this key (and this reference unless it is 0). False when none. With
  // `following`, the entry after it when its leaf holds one (it then stands at the removed one's
  // position); not valid otherwise.
  bool DeleteKey(const uint8_t* key, uint32_t reference = 0, TKeyEntry* following = nullptr);
  // The 1-based position of the first entry not less than the key (KeyCount() + 1 when none),
  // and whether that entry equals it; its reference when it exists. With `near`, the entries at
  // that position and just before and after it, as far as the same leaf holds them (the entry at
  // the position also from the next leaf), so that a caller can step without another descent.
  bool FindKey(const uint8_t* key, uint64_t& position, uint32_t* reference = nullptr,
               TKeyNeighbours* near = nullptr);
  // Whether an entry equals the key (FindKey without the position).
  bool HasKey(const uint8_t* key);
  // The entry at a 1-based position; false outside 1..KeyCount(). `key` receives K bytes.
  bool KeyAtPosition(uint64_t position, uint8_t* key, uint32_t& reference);
  // The entry after the one at `place`, from its leaf or the next, without a descent: `place` then
  // stands on it. Only when the entry at `place` holds `key` (K bytes) and `reference`. False, with
  // `place` forgotten, when the place no longer holds (the tree's stamp moved, on the way too) or
  // no entry follows: the caller then searches.
  bool StepForward(TLeafPlace& place, const uint8_t* key, uint32_t reference, TKeyEntry& next);
  // Sets the references of the entries from the first not less than startKey (nullptr: from the
  // first) to the last not greater than endKey (nullptr: to the last).
  void AddRangeToBitmap(const uint8_t* startKey, const uint8_t* endKey, TRecordsBitmap& bitmap);
  // Every entry in key order.
  void ForEachKey(const std::function<void(const uint8_t* key, uint32_t reference)>& visit);
  // Every entry in key order, its K key bytes appended to `keys` and its reference to
  // `references`: what ForEachKey visits, without a call an entry.
  void CollectKeys(std::vector<uint8_t>& keys, std::vector<uint32_t>& references);
  // Sets the first byte of every key, in the branches as in the leaves, from `from` to `to`, in
  // place: the tree keeps its pages and shape. Only for a change that keeps the keys' order, as
  // when every key starts with `from`. False, with nothing changed, when a key starts otherwise
  // or a leaf is stored compressed (its stored sizes could move).
  bool ReplaceLeadingByte(uint8_t from, uint8_t to);

 private:
  // Descends to the leaf for the key; the path's pages stay pinned in `path` (index = level - 1).
  // firstNotLess: branches take the last entry less than the key. False: restart.
  // forInsert: the branches first look whether the key comes after their last entry.
  bool descend(const uint8_t* key, bool firstNotLess, TPagePath& path, uint64_t* recordPosition,
               bool forInsert = false);
  bool readPage(uint32_t number, TPinnedPage& holder);
  // InsertKey along the cursor's TAppendHint: served, not served (nothing changed, the hint
  // forgotten where it no longer holds) or restart (as after a page read).
  enum class TEdgeInsert { served, notServed, restart };
  TEdgeInsert insertAtEdge(const uint8_t* key, uint32_t reference);
  // The lowest page of the cursor's remembered descent (TDescentMemo) whose first and last keys
  // take in `key`, pinned in `page`, with its level (the root 0) and the keys before it; level
  // -1 when none serves. False: restart, as after a page read.
  bool rememberedStart(const uint8_t* key, uint64_t stamp, TPinnedPage& page, int& level, uint64_t& before);
  // FindKey; without `position` the descent sums no counts.
  bool find(const uint8_t* key, uint64_t* position, uint32_t* reference, TKeyNeighbours* near);
  void adjustCounts(TPagePath& path, int64_t delta);
  // Records entry `entry` of leaf `page` of this tree, as it now stands, in `place`.
  void notePlace(uint32_t page, uint32_t entry, TLeafPlace& place) const;
  template <class Key, class Reference>
  void buildFromSorted(size_t count, const Key& key, const Reference& reference);
  // Visits every page of the tree, level by level from the root, each pinned while visited;
  // stops at the first visit that returns false. False: restart, as after a page read.
  bool visitPages(const std::function<bool(TPage&)>& visit, bool& stopped);
  [[noreturn]] void corrupt() const;
  // Runs `attempt` until it returns true (done), at most kMaxRestarts + 1 times.
  template <class Attempt>
  void withRestarts(Attempt&& attempt);

  TIndexFile& file_;
  TIndexCursor& cursor_;
  uint8_t slot_;
};

}  // namespace engine
