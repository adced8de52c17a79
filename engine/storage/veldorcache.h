// The cache of numbered items that the table files share: records of the data file, and the
// same scheme for index pages and blob blocks.
//
// The cache owns its items. They sit in a list sorted by number (no two with one number) and in
// a recently-used chain linked through two fields of each item (head = most recently used). An
// item that is pinned (a caller uses it) or dirty (not yet written) is never reused or dropped.
// The list has a capacity: below it a new item comes from the pool; at it the least recently
// used idle item is reused, after one attempt to write dirty items back when the owner allows;
// when nothing is idle even then, the capacity grows by a fixed step. While the owner holds its
// changes back, only the last step's worth of the chain is searched (see GetCacheSlot).
//
// What the cache needs of an item is told by TCacheTraits<Item>:
//   static uint32_t Number(const Item&);
//   static void Reset(Item&, uint32_t number);     // renumber and clear for reuse
//   static bool Pinned(const Item&); static bool Dirty(const Item&);
//   static Item* Prev(const Item&); static Item* Next(const Item&);   // toward head / tail
//   static void SetPrev(Item&, Item*); static void SetNext(Item&, Item*);
//   static void Release(File&, Item*);            // unpin through the owning file (TPinnedItem)
// and of the pool: std::unique_ptr<Item> Pop(); void Push(std::unique_ptr<Item>&).
//
// Not thread-safe: a cache belongs to one table file, which one thread uses at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/debugassert.h"

namespace engine {

template <class Item>
struct TCacheTraits;

template <class Item, class Pool, class Traits = TCacheTraits<Item>>
class TItemCache {
 public:
  using Ptr = std::unique_ptr<Item>;

  // `probe`: how many items at the head of the chain are looked at before the binary search;
  // `growStep`: how much the capacity grows when no item can be reused.
  TItemCache(Pool& pool, size_t probe, size_t growStep) : pool_(pool), probe_(probe), growStep_(growStep) {}
  ~TItemCache() {
    for (Item* item : items_) delete item;
  }
  TItemCache(const TItemCache&) = delete;
  TItemCache& operator=(const TItemCache&) = delete;

  size_t Count() const { return items_.size(); }
  size_t Capacity() const { return capacity_; }
  void SetCapacity(size_t capacity) { capacity_ = capacity; }
  Item* At(size_t index) const { return items_[index]; }
  Item* Head() const { return head_; }
  Item* Tail() const { return tail_; }

  // Binary search: true with the item's index when `number` is cached, else false with the
  // index at which it would be inserted.
  bool Locate(uint32_t number, size_t& index) const {
    auto it = std::lower_bound(items_.begin(), items_.end(), number,
                               [](const Item* item, uint32_t n) { return Traits::Number(*item) < n; });
    index = size_t(it - items_.begin());
    return it != items_.end() && Traits::Number(**it) == number;
  }
  Item* FindCached(uint32_t number) const {
    size_t index;
    return Locate(number, index) ? items_[index] : nullptr;
  }
  // Looks among the first `probe` items of the chain only.
  Item* FindRecent(uint32_t number) const {
    size_t seen = 0;
    for (Item* item = head_; item && seen < probe_; item = Traits::Next(*item), ++seen)
      if (Traits::Number(*item) == number) return item;
    return nullptr;
  }
  // The cached item of `number`, moved to the head of the chain; nullptr when not cached.
  Item* Find(uint32_t number) {
    Item* item = FindRecent(number);
    if (!item) item = FindCached(number);
    if (item) MoveFirst(item);
    return item;
  }

  void LinkFirst(Item* item) {
    Traits::SetPrev(*item, nullptr);
    Traits::SetNext(*item, head_);
    if (head_) Traits::SetPrev(*head_, item);
    head_ = item;
    if (!tail_) tail_ = item;
  }
  void Unlink(Item* item) {
    Item* prev = Traits::Prev(*item);
    Item* next = Traits::Next(*item);
    if (prev)
      Traits::SetNext(*prev, next);
    else if (head_ == item)
      head_ = next;
    if (next)
      Traits::SetPrev(*next, prev);
    else if (tail_ == item)
      tail_ = prev;
    Traits::SetPrev(*item, nullptr);
    Traits::SetNext(*item, nullptr);
  }
  void MoveFirst(Item* item) {
    if (head_ == item) return;
    Unlink(item);
    LinkFirst(item);
  }

  // Puts a detached item at its sorted place and at the head of the chain. Returns it, or
  // nullptr (and the item goes back to the pool) when its number is already cached.
  Item* Insert(Ptr item) {
    size_t index;
    if (Locate(Traits::Number(*item), index)) {
      pool_.Push(item);
      return nullptr;
    }
    Item* raw = item.get();
    items_.insert(items_.begin() + std::ptrdiff_t(index), raw);
    item.release();
    VELMARON_DEBUG_ASSERT(index == 0 || Traits::Number(*items_[index - 1]) < Traits::Number(*raw),
                          "the list stays sorted by number");
    VELMARON_DEBUG_ASSERT(
        index + 1 == items_.size() || Traits::Number(*raw) < Traits::Number(*items_[index + 1]),
        "the list stays sorted by number");
    LinkFirst(raw);
    return raw;
  }

  // Takes `item` out of the list and the chain; nullptr when it is not in the list.
  Ptr Remove(Item* item) {
    size_t index;
    if (!Locate(Traits::Number(*item), index) || items_[index] != item) return nullptr;
    Ptr owned(items_[index]);
    items_.erase(items_.begin() + std::ptrdiff_t(index));
    Unlink(item);
    return owned;
  }

  // The least recently used item that is neither pinned nor dirty.
  Item* FindReusable() const {
    for (Item* item = tail_; item; item = Traits::Prev(*item))
      if (!Traits::Pinned(*item) && !Traits::Dirty(*item)) return item;
    return nullptr;
  }

  // A detached item numbered `number` and cleared: a new one while the list is below its
  // capacity; else an idle item from the tail end of the chain. Without `mayFlush` (the owner
  // holds its changes until a commit) only the last `growStep` items are looked at; with it the
  // whole chain, and when none is idle `flush` runs once and the search is repeated. When no idle
  // item is found the capacity grows and a new one is taken. nullptr only when the chain and the
  // list disagree (a damaged cache).
  //
  // Items passed over (pinned or dirty) move to the head of the chain, so that a later search
  // does not walk them again: inside a large transaction the chain fills with dirty items, and a
  // search from the tail through all of them per slot made every change cost the size of the
  // transaction. The bounded look also keeps a run of records read ahead from evicting its own
  // neighbours while dirty items crowd the chain.
  template <class Flush>
  Ptr GetCacheSlot(uint32_t number, bool mayFlush, Flush&& flush) {
    if (items_.size() < capacity_) return fresh(number);
    Item* victim = takeIdleFromTail(mayFlush ? items_.size() : std::min(growStep_, items_.size()));
    if (!victim && mayFlush) {
      flush();
      victim = takeIdleFromTail(items_.size());
    }
    if (!victim) {
      capacity_ = std::max(capacity_, items_.size()) + growStep_;
      return fresh(number);
    }
    VELMARON_DEBUG_ASSERT(!Traits::Pinned(*victim) && !Traits::Dirty(*victim), "only an idle item is reused");
    Ptr item = Remove(victim);
    if (item) Traits::Reset(*item, number);
    return item;
  }

  // Gives the least recently used idle item back to the pool (running `flush` once when none is
  // idle). False when nothing could be dropped; `damaged` is set when the chain named an item
  // that the list does not hold.
  template <class Flush>
  bool DropRecent(Flush&& flush, bool& damaged) {
    damaged = false;
    Item* victim = FindReusable();
    if (!victim) {
      flush();
      victim = FindReusable();
    }
    if (!victim) return false;
    Ptr item = Remove(victim);
    if (!item) {
      damaged = true;
      return false;
    }
    pool_.Push(item);
    return true;
  }

  // Drops idle items until at most `target` remain or none can go; the capacity is then the
  // larger of `target` and the count. False when the cache turned out damaged.
  //
  // The same items go as DropRecent called until it fails would drop, least recently used
  // first, but taken out of the list in one pass: after a large transaction the list may hold a
  // hundred thousand items, and closing the gap of each one by one cost a move of the list apiece.
  template <class Flush>
  bool Trim(size_t target, Flush&& flush) {
    bool damaged = !dropIdle(target);
    if (!damaged && items_.size() > target) {
      flush();
      damaged = !dropIdle(target);
    }
    capacity_ = std::max(target, items_.size());
    VELMARON_DEBUG_ASSERT(damaged || chainHoldsList(), "the chain holds exactly the listed items");
    return !damaged;
  }

  // Empties the list and the chain. Idle and dirty items go back to the pool; a pinned item is
  // handed to `keepPinned`, because its user still holds it.
  template <class KeepPinned>
  void Clear(KeepPinned&& keepPinned) {
    VELMARON_DEBUG_ASSERT(chainHoldsList(), "the chain holds exactly the listed items");
    for (Item*& raw : items_) {
      Ptr item(std::exchange(raw, nullptr));
      Traits::SetPrev(*item, nullptr);
      Traits::SetNext(*item, nullptr);
      if (Traits::Pinned(*item))
        keepPinned(std::move(item));
      else
        pool_.Push(item);
    }
    items_.clear();
    head_ = tail_ = nullptr;
  }

  // The dirty, unpinned items that `wanted` accepts, in number order.
  template <class Wanted>
  std::vector<Item*> CollectDirty(Wanted&& wanted) const {
    std::vector<Item*> out;
    for (Item* item : items_)
      if (Traits::Dirty(*item) && !Traits::Pinned(*item) && wanted(*item)) out.push_back(item);
    return out;
  }

  // Calls run(first index, count) for each run of consecutive numbers in `items` (ascending).
  template <class Run>
  static void ForEachRun(const std::vector<Item*>& items, Run&& run) {
    size_t start = 0;
    for (size_t i = 1; i <= items.size(); ++i) {
      if (i == items.size() || Traits::Number(*items[i]) != Traits::Number(*items[i - 1]) + 1) {
        run(start, i - start);
        start = i;
      }
    }
  }

 private:
  // The chain runs from head_ to tail_ through exactly the items of the list, each link matched
  // by its reverse, and the list is strictly ascending by number. For assertions: it walks all.
  bool chainHoldsList() const {
    size_t seen = 0;
    const Item* prev = nullptr;
    for (const Item* item = head_; item; prev = item, item = Traits::Next(*item)) {
      if (Traits::Prev(*item) != prev || ++seen > items_.size() || FindCached(Traits::Number(*item)) != item)
        return false;
    }
    for (size_t i = 1; i < items_.size(); ++i)
      if (!(Traits::Number(*items_[i - 1]) < Traits::Number(*items_[i]))) return false;
    return prev == tail_ && seen == items_.size();
  }

  // The idle item nearest the tail among the last `limit` items of the chain. Each busy item
  // passed over moves to the head, ahead of those not yet looked at, so none is looked at twice
  // and the busy ones keep their order among themselves.
  Item* takeIdleFromTail(size_t limit) {
    VELMARON_DEBUG_ASSERT(limit <= items_.size(), "the look stays within the chain");
    Item* item = tail_;
    for (size_t seen = 0; item && seen < limit; ++seen) {
      if (!Traits::Pinned(*item) && !Traits::Dirty(*item)) return item;
      Item* prev = Traits::Prev(*item);
      MoveFirst(item);
      item = prev;
    }
    return nullptr;
  }

  // Drops idle items from the tail end of the chain until at most `target` remain or none is
  // idle. False when an item of the chain is not in the list (a damaged cache).
  bool dropIdle(size_t target) {
    if (items_.size() <= target) return true;
    std::vector<Item*> victims;
    for (Item* item = tail_; item && victims.size() < items_.size() - target; item = Traits::Prev(*item))
      if (!Traits::Pinned(*item) && !Traits::Dirty(*item)) victims.push_back(item);
    if (victims.empty()) return true;
    std::sort(victims.begin(), victims.end(),
              [](const Item* a, const Item* b) { return Traits::Number(*a) < Traits::Number(*b); });
    size_t next = 0, kept = 0;
    for (Item* item : items_) {
      if (next < victims.size() && victims[next] == item)
        ++next;
      else
        items_[kept++] = item;
    }
    if (next != victims.size()) return false;
    items_.resize(kept);
    for (Item* item : victims) {
      Unlink(item);
      Ptr owned(item);
      pool_.Push(owned);
    }
    return true;
  }

  Ptr fresh(uint32_t number) {
    Ptr item = pool_.Pop();
    Traits::Reset(*item, number);
    return item;
  }

  Pool& pool_;
  size_t probe_;
  size_t growStep_;
  size_t capacity_ = 0;
  // Owned, as raw pointers: shifting them on an insert or removal is one memmove, where owning
  // pointers would be moved one by one.
  std::vector<Item*> items_;
  Item* head_ = nullptr;
  Item* tail_ = nullptr;
};

// A pinned item that goes back to its file (TCacheTraits<Item>::Release) when the holder goes.
template <class Item, class File, class Traits = TCacheTraits<Item>>
class TPinnedItem {
 public:
  TPinnedItem() = default;
  TPinnedItem(File& file, Item* item) : file_(&file), item_(item) {}
  ~TPinnedItem() { reset(); }
  TPinnedItem(TPinnedItem&& other) noexcept : file_(other.file_), item_(other.item_) {
    other.item_ = nullptr;
  }
  TPinnedItem& operator=(TPinnedItem&& other) noexcept {
    if (this != &other) {
      reset();
      file_ = other.file_;
      item_ = other.item_;
      other.item_ = nullptr;
    }
    return *this;
  }
  TPinnedItem(const TPinnedItem&) = delete;
  TPinnedItem& operator=(const TPinnedItem&) = delete;

  void reset() {
    if (item_) Traits::Release(*file_, item_);
    item_ = nullptr;
  }
  void reset(File& file, Item* item) {
    reset();
    file_ = &file;
    item_ = item;
  }
  Item* get() const { return item_; }
  Item* operator->() const { return item_; }
  Item& operator*() const { return *item_; }
  explicit operator bool() const { return item_ != nullptr; }

 private:
  File* file_ = nullptr;
  Item* item_ = nullptr;
};

}  // namespace engine
