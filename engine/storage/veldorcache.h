// The cache of numbered items that the table files share: records of the data file, and the
// same scheme for index pages and blob blocks.
//
// The cache owns its items. They sit in a table keyed by number (no two with one number) and in
// a recently-used chain linked through two fields of each item (head = most recently used). An
// item that is pinned (a caller uses it) or dirty (not yet written) is never reused or dropped.
// The cache has a capacity: below it a new item comes from the pool; at it the least recently
// used idle item is reused, after one attempt to write dirty items back when the owner allows;
// when nothing is idle even then, the capacity grows by a fixed step, or an eighth of the count
// when that is more. While the owner holds its changes back, only the last step's worth of the
// chain is searched (see GetCacheSlot).
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

  // `probe`: how many items at the head of the chain are looked at before the table;
  // `growStep`: how much the capacity grows when no item can be reused.
  TItemCache(Pool& pool, size_t probe, size_t growStep) : pool_(pool), probe_(probe), growStep_(growStep) {}
  ~TItemCache() {
    for (Item* item = head_; item;) {
      Item* next = Traits::Next(*item);
      delete item;
      item = next;
    }
  }
  TItemCache(const TItemCache&) = delete;
  TItemCache& operator=(const TItemCache&) = delete;

  size_t Count() const { return count_; }
  size_t Capacity() const { return capacity_; }
  void SetCapacity(size_t capacity) { capacity_ = capacity; }
  // The item at `index` of the cached items in ascending number order. The order is built on the
  // first call after a change, so a walk over all items costs one sort.
  Item* At(size_t index) const {
    if (!orderValid_) {
      order_.clear();
      order_.reserve(count_);
      for (Item* item = head_; item; item = Traits::Next(*item)) order_.push_back(item);
      std::sort(order_.begin(), order_.end(),
                [](const Item* a, const Item* b) { return Traits::Number(*a) < Traits::Number(*b); });
      orderValid_ = true;
    }
    return order_[index];
  }
  Item* Head() const { return head_; }
  Item* Tail() const { return tail_; }

  // The cached item of `number`, else nullptr; the chain is left as it is.
  Item* FindCached(uint32_t number) const {
    if (slots_.empty()) return nullptr;
    for (size_t i = home(number);; i = (i + 1) & mask()) {
      const Slot& slot = slots_[i];
      if (!slot.item) return nullptr;
      if (slot.number == number) return slot.item;
    }
  }
  // Looks among the first `probe` items of the chain only.
  Item* FindRecent(uint32_t number) const {
    size_t seen = 0;
    for (Item* item = head_; item && seen < probe_; item = Traits::Next(*item), ++seen)
      if (Traits::Number(*item) == number) return item;
    return nullptr;
  }
  // The cached item of `number`, moved to the head of the chain; nullptr when not cached. The
  // table answers at once: a look along the chain first would read items a scan left cold.
  Item* Find(uint32_t number) {
    Item* item = FindCached(number);
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

  // Puts a detached item in the table and at the head of the chain. Returns it, or nullptr (and
  // the item goes back to the pool) when its number is already cached.
  Item* Insert(Ptr item) {
    const uint32_t number = Traits::Number(*item);
    if (FindCached(number)) {
      pool_.Push(item);
      return nullptr;
    }
    Item* raw = item.release();
    put(number, raw);
    LinkFirst(raw);
    return raw;
  }

  // Takes `item` out of the table and the chain; nullptr when it is not the cached item of its
  // number.
  Ptr Remove(Item* item) {
    Item* held = erase(Traits::Number(*item), item);
    if (!held) return nullptr;
    Unlink(held);
    return Ptr(held);
  }

  // The least recently used item that is neither pinned nor dirty.
  Item* FindReusable() const {
    for (Item* item = tail_; item; item = Traits::Prev(*item))
      if (!Traits::Pinned(*item) && !Traits::Dirty(*item)) return item;
    return nullptr;
  }

  // A detached item numbered `number` and cleared: a new one while the cache is below its
  // capacity; else an idle item from the tail end of the chain. Without `mayFlush` (the owner
  // holds its changes until a commit) only the last `growStep` items are looked at; with it the
  // whole chain, and when none is idle `flush` runs once and the search is repeated. When no idle
  // item is found the capacity grows (by `growStep`, or an eighth of the count when more) and a new
  // one is taken. nullptr only when the chain and the table disagree (a damaged cache).
  //
  // Items passed over (pinned or dirty) move to the head of the chain, so that a later search
  // does not walk them again: inside a large transaction the chain fills with dirty items, and a
  // search from the tail through all of them per slot made every change cost the size of the
  // transaction. The bounded look also keeps a run of records read ahead from evicting its own
  // neighbours while dirty items crowd the chain.
  template <class Flush>
  Ptr GetCacheSlot(uint32_t number, bool mayFlush, Flush&& flush) {
    if (count_ < capacity_) return fresh(number);
    Item* victim = takeIdleFromTail(mayFlush ? count_ : std::min(growStep_, count_));
    if (!victim && mayFlush) {
      flush();
      victim = takeIdleFromTail(count_);
    }
    if (!victim) {
      // Nothing idle at the tail: in a transaction that changes many items, nothing will be until
      // its commit. The capacity grows with the count (an eighth of it), so that the searches of
      // a bulk change, one a growth, pass over a bounded share of its items rather than each once
      // (a cache miss apiece); at most an eighth more idle items are kept meanwhile.
      capacity_ = std::max(capacity_, count_) + std::max(growStep_, count_ / 8);
      return fresh(number);
    }
    VELMARON_DEBUG_ASSERT(!Traits::Pinned(*victim) && !Traits::Dirty(*victim), "only an idle item is reused");
    Ptr item = Remove(victim);
    if (item) Traits::Reset(*item, number);
    return item;
  }

  // Gives the least recently used idle item back to the pool (running `flush` once when none is
  // idle). False when nothing could be dropped; `damaged` is set when the chain named an item
  // that the table does not hold.
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
  // larger of `target` and the count. False when the cache turned out damaged. The same items go
  // as DropRecent called until it fails would drop, least recently used first.
  template <class Flush>
  bool Trim(size_t target, Flush&& flush) {
    // Most caches of an index file are empty or small: nothing to drop, only the capacity set.
    if (count_ <= target) {
      capacity_ = target;
      VELMARON_DEBUG_ASSERT(chainHoldsList(), "the chain holds exactly the cached items");
      return true;
    }
    bool damaged = !dropIdle(target);
    if (!damaged && count_ > target) {
      flush();
      damaged = !dropIdle(target);
    }
    capacity_ = std::max(target, count_);
    VELMARON_DEBUG_ASSERT(damaged || chainHoldsList(), "the chain holds exactly the cached items");
    return !damaged;
  }

  // Empties the table and the chain. Idle and dirty items go back to the pool; a pinned item is
  // handed to `keepPinned`, because its user still holds it.
  template <class KeepPinned>
  void Clear(KeepPinned&& keepPinned) {
    VELMARON_DEBUG_ASSERT(chainHoldsList(), "the chain holds exactly the cached items");
    orderValid_ = false;
    // An empty cache's table is empty already (a removal shifts its neighbours back, leaving no
    // marks): an index file clears one cache a slot, most of them never used.
    if (count_ == 0) return;
    Item* item = head_;
    head_ = tail_ = nullptr;
    while (item) {
      Item* next = Traits::Next(*item);
      Ptr owned(item);
      Traits::SetPrev(*owned, nullptr);
      Traits::SetNext(*owned, nullptr);
      if (Traits::Pinned(*owned))
        keepPinned(std::move(owned));
      else
        pool_.Push(owned);
      item = next;
    }
    std::fill(slots_.begin(), slots_.end(), Slot{});
    count_ = 0;
    orderValid_ = false;
  }

  // The dirty, unpinned items that `wanted` accepts, in number order.
  template <class Wanted>
  std::vector<Item*> CollectDirty(Wanted&& wanted) const {
    // Sorted by numbers held beside the items: a large transaction's commit sorts hundreds of
    // thousands, and a compare that reads each item's number from the item misses the cache. The
    // items are found through the table, whose look at each is independent of the one before,
    // where a walk along the chain waits for each item before it can reach the next.
    std::vector<std::pair<uint32_t, Item*>> found;
    uint32_t low = UINT32_MAX, high = 0;
    for (const Slot& slot : slots_)
      if (slot.item && Traits::Dirty(*slot.item) && !Traits::Pinned(*slot.item) && wanted(*slot.item)) {
        found.emplace_back(slot.number, slot.item);
        low = std::min(low, slot.number);
        high = std::max(high, slot.number);
      }
    std::vector<Item*> out(found.size());
    // Numbers are distinct: when they fill low..high without a gap (appends, a run of changes),
    // each item's place is its number's distance from the lowest, and nothing needs sorting.
    if (!found.empty() && size_t(high - low) + 1 == found.size()) {
      for (const auto& [number, item] : found) out[number - low] = item;
      return out;
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < found.size(); ++i) out[i] = found[i].second;
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
  // An entry of the open-addressed table (linear probing, at most half full); no item: empty.
  // A miss looks at one or two adjacent entries instead of searching a sorted list whose every
  // step reads a cold item, and an insert or removal moves no other entry but the few after it.
  struct Slot {
    uint32_t number = 0;
    Item* item = nullptr;
  };

  size_t mask() const { return slots_.size() - 1; }
  // Numbers are hashed in groups of kGroup neighbours that share adjacent entries: a run of
  // records read together, or a walk in number order, then looks at a few lines of a large table
  // instead of one line a record. The groups themselves are spread by the multiply.
  static constexpr unsigned kGroupBits = 3;
  size_t home(uint32_t number) const {
    // The table has at least 16 entries, so shift_ + kGroupBits stays below 64.
    const uint64_t group = (uint64_t(number >> kGroupBits) * 0x9E3779B97F4A7C15ull) >> (shift_ + kGroupBits);
    return size_t(group << kGroupBits) | (number & ((1u << kGroupBits) - 1));
  }

  void put(uint32_t number, Item* item) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    size_t i = home(number);
    while (slots_[i].item) i = (i + 1) & mask();
    slots_[i] = Slot{number, item};
    ++count_;
    orderValid_ = false;
  }

  // Removes the entry of `number` when it holds `item` and returns the item (else nullptr); the
  // entries after it in its probe run move back so that no search stops early.
  Item* erase(uint32_t number, const Item* item) {
    if (slots_.empty()) return nullptr;
    size_t i = home(number);
    for (;; i = (i + 1) & mask()) {
      if (!slots_[i].item) return nullptr;
      if (slots_[i].number == number) break;
    }
    Item* held = slots_[i].item;
    if (held != item) return nullptr;
    for (size_t j = (i + 1) & mask();; j = (j + 1) & mask()) {
      if (!slots_[j].item) break;
      const size_t h = home(slots_[j].number);
      // Entry j may fill the hole at i unless its home lies cyclically in (i, j].
      const bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      slots_[i] = slots_[j];
      i = j;
    }
    slots_[i] = Slot{};
    --count_;
    orderValid_ = false;
    return held;
  }

  void grow() {
    const size_t size = slots_.empty() ? 16 : slots_.size() * 2;
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
    shift_ = 64;
    for (size_t s = size; s > 1; s >>= 1) --shift_;
    for (const Slot& slot : old) {
      if (!slot.item) continue;
      size_t i = home(slot.number);
      while (slots_[i].item) i = (i + 1) & mask();
      slots_[i] = slot;
    }
  }

  // The chain runs from head_ to tail_ through exactly the items of the table, each link matched
  // by its reverse. For assertions: it walks all.
  bool chainHoldsList() const {
    size_t seen = 0;
    const Item* prev = nullptr;
    for (const Item* item = head_; item; prev = item, item = Traits::Next(*item)) {
      if (Traits::Prev(*item) != prev || ++seen > count_ || FindCached(Traits::Number(*item)) != item)
        return false;
    }
    return prev == tail_ && seen == count_;
  }

  // The idle item nearest the tail among the last `limit` items of the chain. Each busy item
  // passed over moves to the head, ahead of those not yet looked at, so none is looked at twice
  // and the busy ones keep their order among themselves.
  Item* takeIdleFromTail(size_t limit) {
    VELMARON_DEBUG_ASSERT(limit <= count_, "the look stays within the chain");
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
  // idle. False when an item of the chain is not in the table (a damaged cache).
  bool dropIdle(size_t target) {
    if (count_ <= target) return true;
    std::vector<Item*> victims;
    for (Item* item = tail_; item && victims.size() < count_ - target; item = Traits::Prev(*item))
      if (!Traits::Pinned(*item) && !Traits::Dirty(*item)) victims.push_back(item);
    if (victims.size() * 2 < count_) {
      for (Item* item : victims) {
        Ptr owned = Remove(item);
        if (!owned) return false;
        pool_.Push(owned);
      }
      return true;
    }
    // Most of the cache goes (after a large transaction's commit): the table is built anew for
    // the items that stay, at the size they need, where erasing each victim would move entries
    // of a table sized for them all.
    for (Item* item : victims) {
      Unlink(item);
      Ptr owned(item);
      pool_.Push(owned);
    }
    const size_t before = count_;
    count_ = 0;
    orderValid_ = false;
    size_t size = 16;
    for (Item* item = head_; item; item = Traits::Next(*item)) ++count_;
    // The chain held a different set of items than the table.
    if (count_ + victims.size() != before) return false;
    while (size < count_ * 2) size *= 2;
    slots_.assign(size, Slot{});
    shift_ = 64;
    for (size_t s = size; s > 1; s >>= 1) --shift_;
    for (Item* item = head_; item; item = Traits::Next(*item)) {
      size_t i = home(Traits::Number(*item));
      for (; slots_[i].item; i = (i + 1) & mask())
        if (slots_[i].number == Traits::Number(*item)) return false;
      slots_[i] = Slot{Traits::Number(*item), item};
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
  size_t count_ = 0;
  // The cached items by number; owned, as raw pointers.
  std::vector<Slot> slots_;
  unsigned shift_ = 64;
  Item* head_ = nullptr;
  Item* tail_ = nullptr;
  // At's ascending order, valid until the next insert or removal.
  mutable std::vector<Item*> order_;
  mutable bool orderValid_ = false;
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
