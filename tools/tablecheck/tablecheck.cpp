// The table checker: reads the index file page by page and checks every rule of its trees.
#include "tools/tablecheck/tablecheck.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorcompress.h"
#include "engine/storage/veldorindex.h"
#include "engine/storage/veldorjournal.h"
#include "engine/storage/veldorkeys.h"
#include "platform/bytes.h"
#include "platform/plainfile.h"
#include "platform/textrules.h"

namespace tablecheck {

using namespace engine;
using platform::get2;
using platform::get4;

namespace {

constexpr int kOwnerNone = -1;
constexpr int kOwnerFree = 100;    // + slot
constexpr int kOwnerParams = 200;  // the text index's parameter page

// Data file layout: the parts the checker needs.
constexpr size_t kDataHeaderSize = 127;
constexpr size_t kFieldDescriptorSize = 768;

struct Node {
  uint32_t page = 0;
  int parent = -1;        // index in the level above
  uint32_t entry = 0;     // entry of the parent that points here
  uint64_t declared = 0;  // the parent entry's count
  std::vector<uint8_t> parentKey;
  std::vector<uint8_t> firstKey, lastKey;
  bool loaded = false;
  bool leaf = false;
  uint32_t prev = 0, next = 0;
  uint32_t count = 0;
  uint64_t total = 0;
};

std::string hexKey(const std::vector<uint8_t>& key) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < key.size() && i < 24; ++i) {
    s += digits[key[i] >> 4];
    s += digits[key[i] & 15];
  }
  if (key.size() > 24) s += "...";
  return s;
}

class Checker {
 public:
  Checker(const std::vector<uint8_t>& file, const Options& options, const std::optional<DataFileFacts>& data)
      : file_(file), options_(options), data_(data) {
    encrypted_ = data ? data->encrypted : options.encrypted;
    if (!options_.compare)
      options_.compare = [](uint8_t, const uint8_t* a, const uint8_t* b, uint16_t n) {
        const int r = std::memcmp(a, b, n);
        return r < 0 ? -1 : (r > 0 ? 1 : 0);
      };
  }

  Report run() {
    if (file_.size() < kIndexHeaderSize) {
      problem("index file: shorter than its 4096-byte header (" + std::to_string(file_.size()) + " bytes)");
      return std::move(report_);
    }
    std::memcpy(header_.data(), file_.data(), kIndexHeaderSize);
    if (encrypted_) UnscrambleBuffer(header_.data(), header_.size(), kStructureSeed);
    if (!checkHeader()) return std::move(report_);
    owners_.assign(nextPage_, kOwnerNone);
    for (uint8_t s = 0; s < kIndexSlotCount; ++s) checkSlot(s);
    const uint32_t params = get4(descriptor(kSysTextSlot) + 96);
    if (params != 0) claimParams(params);
    for (uint32_t p = 1; p < nextPage_; ++p)
      if (owners_[p] == kOwnerNone)
        problem("page " + std::to_string(p) + ": reachable from no index, free list or parameter page");
    if (data_) {
      checkRecords();
      checkFreeChain();
    }
    return std::move(report_);
  }

 private:
  const uint8_t* descriptor(uint8_t slot) const {
    return header_.data() + kIndexDescriptorsOffset + slot * kIndexDescriptorSize;
  }

  void problem(const std::string& text) {
    if (report_.problems.size() < options_.maxProblems)
      report_.problems.push_back(text);
    else if (report_.problems.size() == options_.maxProblems)
      report_.problems.push_back("... further problems not listed");
  }

  std::string slotName(uint8_t slot) const {
    if (slot == 0) return "index 0 (primary)";
    const uint8_t* d = descriptor(slot);
    const size_t n = std::min<size_t>(d[0], kMaxIndexNameLength);
    return "index " + std::to_string(slot) + " (\"" + std::string(reinterpret_cast<const char*>(d + 1), n) +
           "\")";
  }

  bool slotInUse(uint8_t slot) const {
    if (slot == 0) return header_[kIndexNoPrimaryOffset] == 0 && get2(descriptor(0) + 31) != 0;
    return slot <= header_[13] || slot == kSysDeletedSlot || slot == kSysTextSlot;
  }

  bool checkHeader() {
    if (header_[8] != kIndexFileVersion) {
      problem("header: version " + std::to_string(header_[8]) + ", not 5");
      return false;
    }
    nextPage_ = get4(header_.data() + 9);
    report_.recordCount = get4(header_.data() + kIndexRecordCountOffset);
    if (nextPage_ == 0) {
      problem("header: next page number 0");
      return false;
    }
    report_.pageCount = nextPage_ - 1;
    const uint64_t expected = uint64_t(nextPage_) * kIndexPageSize;
    if (file_.size() < expected)
      problem("index file: " + std::to_string(file_.size()) + " bytes, but its header counts " +
              std::to_string(nextPage_ - 1) + " pages (" + std::to_string(expected) + " bytes)");
    else if (file_.size() > expected)
      problem("index file: " + std::to_string(file_.size() - expected) + " bytes past its last page");
    if (header_[13] > kMaxSecondaryIndexes) {
      problem("header: " + std::to_string(header_[13]) + " secondary indexes, more than 30");
      return false;
    }
    if (header_[kIndexNoPrimaryOffset] > 1)
      problem("header: no-primary flag " + std::to_string(header_[kIndexNoPrimaryOffset]));
    for (uint8_t s = 0; s < kIndexSlotCount; ++s) {
      const uint8_t* d = descriptor(s);
      for (uint32_t off : {86u, 90u, 96u}) {
        const uint32_t p = get4(d + off);
        if (p >= nextPage_)
          problem(slotName(s) + ": page number " + std::to_string(p) + " at descriptor offset " +
                  std::to_string(off) + " past the last page");
      }
      if (!slotInUse(s)) continue;
      const uint16_t k = get2(d + 31);
      if (k == 0 || k > kMaxKeyFieldsSize) problem(slotName(s) + ": key size " + std::to_string(k));
      if (d[36] > kcBoth) problem(slotName(s) + ": compression " + std::to_string(d[36]));
      if (d[37] > kMaxIndexFields) problem(slotName(s) + ": " + std::to_string(d[37]) + " key fields");
      if (s >= 1 && s <= kMaxSecondaryIndexes && d[0] == 0) problem(slotName(s) + ": no name");
      if (s == 0 && d[35] == 0) problem(slotName(s) + ": primary index not unique");
    }
    return true;
  }

  bool loadPage(uint8_t slot, uint32_t number, TPage& page, bool headerOnly, std::string& why) {
    const uint64_t offset = uint64_t(number) * kIndexPageSize;
    if (offset + kIndexPageSize > file_.size()) {
      why = "lies past the end of the file";
      return false;
    }
    std::vector<uint8_t> image(file_.begin() + ptrdiff_t(offset),
                               file_.begin() + ptrdiff_t(offset + kIndexPageSize));
    if (encrypted_) UnscrambleBuffer(image.data(), image.size(), kStructureSeed);
    const uint8_t* d = descriptor(slot);
    // Only a page's header is read from a free page, whatever key size its slot has now.
    const bool usable = get2(d + 31) != 0 && get2(d + 31) <= kMaxIndexKeySize && d[36] <= kcBoth;
    try {
      if (headerOnly && !usable)
        page.SetIndex(slot, 1, 0, 0, 0);
      else
        page.SetIndex(slot, get2(d + 31), d[33], d[35], d[36]);
      page.SetPageNumber(number);
      page.LoadFromBuffer(image.data(), headerOnly);
    } catch (const EVELDOREngineError& e) {
      why = std::string("cannot be read: ") + e.what();
      return false;
    }
    return true;
  }

  bool claim(uint32_t number, int owner, const std::string& what) {
    if (number == 0 || number >= nextPage_) {
      problem(what + ": page number " + std::to_string(number) + " out of range");
      return false;
    }
    if (owners_[number] != kOwnerNone) {
      problem(what + ": page " + std::to_string(number) + " is reached a second time");
      return false;
    }
    owners_[number] = owner;
    return true;
  }

  // The text parameters: a chain of raw pages from the text index's parameter page.
  void claimParams(uint32_t number) {
    while (number != 0) {
      if (!claim(number, kOwnerParams, "text parameter page")) return;
      TPage page;
      std::string why;
      if (!loadPage(kSysTextSlot, number, page, true, why)) {
        problem("text parameter page " + std::to_string(number) + " " + why);
        return;
      }
      if (page.GetPageType() != ptRaw) {
        problem("text parameter page " + std::to_string(number) + ": type " +
                std::to_string(page.GetPageType()) + ", not raw");
        return;
      }
      number = page.GetNextPage();
    }
  }

  int compare(uint8_t slot, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, uint16_t k) const {
    return options_.compare(slot, a.data(), b.data(), k);
  }

  void checkSlot(uint8_t slot) {
    const uint8_t* d = descriptor(slot);
    const uint32_t root = get4(d + 86);
    const uint32_t freeHead = get4(d + 90);
    IndexFacts facts;
    facts.slot = slot;
    facts.name = slotName(slot);
    const uint16_t k = get2(d + 31);
    const bool inUse = slotInUse(slot);
    // A slot that was emptied keeps its free-page list (the pages are used again when the slot is
    // defined anew); only a tree needs a key size.
    if (root != 0 && (k == 0 || k > kMaxIndexKeySize || d[36] > kcBoth)) {
      problem(facts.name + ": has pages but no usable key size");
      return;
    }
    if (root != 0 && root < nextPage_) walkTree(slot, root, facts);
    if (freeHead != 0 && freeHead < nextPage_) walkFreeList(slot, freeHead, facts);
    if (inUse && options_.checkKeysPerRecord && !data_ && slot != kSysDeletedSlot && slot != kSysTextSlot &&
        facts.keys != report_.recordCount)
      problem(facts.name + ": " + std::to_string(facts.keys) + " keys, but the record count is " +
              std::to_string(report_.recordCount));
    if (inUse || root != 0 || freeHead != 0) report_.indexes.push_back(facts);
  }

  void walkFreeList(uint8_t slot, uint32_t head, IndexFacts& facts) {
    uint32_t p = head;
    uint64_t steps = 0;
    while (p != 0) {
      if (++steps > nextPage_) {
        problem(slotName(slot) + ": free-page list does not end");
        return;
      }
      if (!claim(p, kOwnerFree + slot, slotName(slot) + " free list")) return;
      ++facts.freePages;
      TPage page;
      std::string why;
      if (!loadPage(slot, p, page, true, why)) {
        problem(slotName(slot) + ": free page " + std::to_string(p) + " " + why);
        return;
      }
      if (page.GetLoadedEntryCount() != 0)
        problem(slotName(slot) + ": free page " + std::to_string(p) + " holds " +
                std::to_string(page.GetLoadedEntryCount()) + " entries");
      p = page.GetNextPage();
    }
  }

  void walkTree(uint8_t slot, uint32_t root, IndexFacts& facts) {
    const std::string name = slotName(slot);
    const bool text = slot == kSysTextSlot;
    const bool unique = descriptor(slot)[35] != 0;
    std::vector<std::vector<Node>> levels;
    Node top;
    top.page = root;
    levels.push_back({top});
    std::vector<uint32_t> refs;
    std::vector<std::vector<uint8_t>> keys;
    TPage page;
    const uint16_t k = get2(descriptor(slot) + 31);
    while (!levels.back().empty()) {
      if (levels.size() > size_t(TIndexCursor::kMaxPathLevels)) {
        problem(name + ": tree deeper than " + std::to_string(TIndexCursor::kMaxPathLevels) + " levels");
        return;
      }
      const bool top = levels.size() == 1;
      std::vector<Node> below;
      std::vector<Node>& level = levels.back();
      bool anyLeaf = false, anyBranch = false;
      for (size_t i = 0; i < level.size(); ++i) {
        Node& node = level[i];
        const std::string where = name + ": page " + std::to_string(node.page);
        if (!claim(node.page, slot, name + " tree")) continue;
        ++facts.pages;
        std::string why;
        if (!loadPage(slot, node.page, page, false, why)) {
          problem(where + " " + why);
          continue;
        }
        node.loaded = true;
        const uint8_t type = page.GetPageType();
        const bool typeOk =
            top ? (type == ptRootBranch || type == ptRootLeaf) : (type == ptBranch || type == ptLeaf);
        if (!typeOk) {
          problem(where + ": type " + std::to_string(type) + (top ? " for a root" : " below the root"));
          node.loaded = false;
          continue;
        }
        node.leaf = page.IsLeaf();
        (node.leaf ? anyLeaf : anyBranch) = true;
        node.prev = page.GetPrevPage();
        node.next = page.GetNextPage();
        node.count = page.GetEntryCount();
        if (node.count == 0) {
          problem(where + ": no entries");
          node.loaded = false;
          continue;
        }
        // Fill rules.
        if (top && !node.leaf && node.count < 2) problem(where + ": root branch with a single entry");
        if (!top && !page.IsCompressedLeaf() && node.count < (page.GetCapacity() >> 1))
          problem(where + ": " + std::to_string(node.count) + " entries, fewer than half of " +
                  std::to_string(page.GetCapacity()));
        if (!top && !node.leaf && node.count < 2) problem(where + ": branch with a single entry");
        if (top && (node.prev != 0 || node.next != 0)) problem(where + ": root with neighbours");
        // Order within the page.
        for (uint32_t e = 2; e <= node.count; ++e) {
          const int c = options_.compare(slot, page.GetEntryKey(e - 1), page.GetEntryKey(e), k);
          if (c > 0 || (c == 0 && unique && node.leaf))
            problem(where + ": entry " + std::to_string(e) + " not after entry " + std::to_string(e - 1));
        }
        node.firstKey.assign(page.GetEntryKey(1), page.GetEntryKey(1) + k);
        node.lastKey.assign(page.GetEntryKey(node.count), page.GetEntryKey(node.count) + k);
        if (node.leaf) {
          node.total = node.count;
          for (uint32_t e = 1; e <= node.count; ++e) {
            refs.push_back(page.GetEntryRef(e));
            if (data_) keys.emplace_back(page.GetEntryKey(e), page.GetEntryKey(e) + k);
          }
        } else {
          for (uint32_t e = 1; e <= node.count; ++e) {
            Node child;
            child.page = page.GetEntryRef(e);
            child.parent = int(i);
            child.entry = e;
            child.declared = page.GetEntryKeyCount(e);
            child.parentKey.assign(page.GetEntryKey(e), page.GetEntryKey(e) + k);
            below.push_back(std::move(child));
          }
        }
      }
      if (anyLeaf && anyBranch)
        problem(name + ": leaves and branches on level " + std::to_string(levels.size()));
      // Sibling links and order across pages of one level.
      const Node* prevNode = nullptr;
      for (size_t i = 0; i < level.size(); ++i) {
        const Node& node = level[i];
        if (!node.loaded) {
          prevNode = nullptr;
          continue;
        }
        const uint32_t wantPrev = i == 0 ? 0 : level[i - 1].page;
        const uint32_t wantNext = i + 1 == level.size() ? 0 : level[i + 1].page;
        const std::string where = name + ": page " + std::to_string(node.page);
        if (node.prev != wantPrev)
          problem(where + ": previous link " + std::to_string(node.prev) + ", expected " +
                  std::to_string(wantPrev));
        if (node.next != wantNext)
          problem(where + ": next link " + std::to_string(node.next) + ", expected " +
                  std::to_string(wantNext));
        if (prevNode) {
          const int c = compare(slot, prevNode->lastKey, node.firstKey, k);
          if (c > 0 || (c == 0 && unique && node.leaf))
            problem(where + ": first key " + hexKey(node.firstKey) + " not after the last key of page " +
                    std::to_string(prevNode->page));
        }
        if (node.parent >= 0 && node.parentKey != node.firstKey)
          problem(where + ": parent entry key " + hexKey(node.parentKey) + " differs from the first key " +
                  hexKey(node.firstKey));
        prevNode = &node;
      }
      levels.push_back(std::move(below));
    }
    if (levels.back().empty()) levels.pop_back();
    facts.depth = uint32_t(levels.size());
    // Counts, bottom-up.
    for (size_t l = levels.size(); l-- > 0;) {
      for (Node& node : levels[l]) {
        if (node.parent >= 0 && !text && node.loaded && node.declared != node.total)
          problem(name + ": page " + std::to_string(node.page) + " holds " + std::to_string(node.total) +
                  " keys, its parent entry counts " + std::to_string(node.declared));
        if (l > 0 && node.parent >= 0) levels[l - 1][size_t(node.parent)].total += node.total;
      }
    }
    facts.keys = levels.empty() || levels[0].empty() ? 0 : levels[0][0].total;
    if (data_) {
      refsBySlot_[slot] = std::move(refs);
      keysBySlot_[slot] = std::move(keys);
    }
  }

  void checkRecords() {
    uint32_t live = 0;
    const auto& status = data_->status;
    for (uint8_t s : status)
      if (s == 0) ++live;
    if (live != report_.recordCount)
      problem("record count " + std::to_string(report_.recordCount) + ", but the data file holds " +
              std::to_string(live) + " live records");
    for (uint8_t slot = 0; slot < kIndexSlotCount; ++slot) {
      if (!slotInUse(slot) || slot == kSysTextSlot) continue;
      const bool all = slot == kSysDeletedSlot;
      const auto found = refsBySlot_.find(slot);
      const std::vector<uint32_t> none;
      const std::vector<uint32_t>& refs = found == refsBySlot_.end() ? none : found->second;
      std::vector<uint32_t> seen(status.size() + 1, 0);
      for (uint32_t r : refs) {
        if (r == 0 || r > status.size()) {
          problem(slotName(slot) + ": entry for record " + std::to_string(r) + ", which does not exist");
          continue;
        }
        if (!all && status[r - 1] != 0)
          problem(slotName(slot) + ": entry for deleted record " + std::to_string(r));
        ++seen[r];
      }
      const auto& keys = keysBySlot_[slot];
      for (size_t i = 0; options_.checkRecordKeys && i < refs.size() && i < keys.size(); ++i) {
        const uint32_t r = refs[i];
        if (r == 0 || r > data_->records.size() || (!all && status[r - 1] != 0)) continue;
        const std::vector<uint8_t> want = keyOf(slot, data_->records[r - 1]);
        if (!want.empty() && want != keys[i])
          problem(slotName(slot) + ": key " + hexKey(keys[i]) + " of record " + std::to_string(r) +
                  " is not the record's key " + hexKey(want));
      }
      for (uint32_t r = 1; r <= status.size(); ++r) {
        const bool wanted = all || status[r - 1] == 0;
        if (wanted && seen[r] == 0) problem(slotName(slot) + ": no entry for record " + std::to_string(r));
        if (seen[r] > 1)
          problem(slotName(slot) + ": " + std::to_string(seen[r]) + " entries for record " +
                  std::to_string(r));
      }
    }
  }

  // The key a record has in the slot, built as the cursor builds it; empty when the slot's
  // fields are not the data file's.
  std::vector<uint8_t> keyOf(uint8_t slot, const std::vector<uint8_t>& record) const {
    const uint8_t* d = descriptor(slot);
    const uint16_t k = get2(d + 31);
    std::vector<uint8_t> key(k, 0);
    if (slot == kSysDeletedSlot) {
      if (k != kSysDeletedKeySize || record.size() < 9) return {};
      key[0] = record[0];
      EncodeIntegerKey(int32_t(get4(record.data() + 5)), key.data() + 1);
      return key;
    }
    const bool descending = d[33] != 0, caseInsensitive = d[34] != 0, unique = d[35] != 0;
    uint32_t offset = 0;
    for (int i = 0; i < kMaxIndexFields; ++i) {
      const uint16_t number = get2(d + 54 + 2 * i);
      if (number == 0) break;
      const std::vector<uint8_t>* field = nullptr;
      for (const auto& f : data_->descriptors)
        if (get2(f.data()) == number) field = &f;
      if (!field) return {};
      const uint8_t type = (*field)[84], subType = (*field)[85], stored = (*field)[88];
      const uint16_t at = get2(field->data() + 90);
      const uint32_t size = GetFieldKeySize(*field);
      const bool autoInc = type == 6 && subType == 29;
      if (offset + 1 + size > k || size_t(at) + 1 + stored > record.size() + (autoInc ? 1 : 0)) return {};
      std::vector<uint8_t> value(std::max<size_t>(stored, 4), 0);
      if (autoInc) {
        std::memcpy(value.data(), record.data() + at, 4);
        key[offset] = 1;
      } else {
        std::memcpy(value.data(), record.data() + at + 1, stored);
        key[offset] = record[at] != 0 ? 1 : 0;
      }
      try {
        BuildFieldKey(*field, value, {key.data() + offset, size + 1u}, caseInsensitive,
                      !descending && d[38 + i] != 0, data_->languageId, data_->sortId);
      } catch (const std::exception&) {
        return {};
      }
      offset += size + 1;
    }
    if (!unique) {
      if (offset + 4 > k) return {};
      EncodeIntegerKey(int32_t(get4(record.data() + 5)), key.data() + offset);
    }
    return key;
  }

  void checkFreeChain() {
    const auto& status = data_->status;
    if (data_->records.size() != status.size()) return;
    std::vector<bool> onChain(status.size() + 1, false);
    size_t steps = 0;
    for (uint32_t r = data_->freeHead; r != 0; r = get4(data_->records[r - 1].data() + 1)) {
      if (r > status.size() || status[r - 1] == 0 || onChain[r] || ++steps > status.size()) {
        problem(
            "free-record chain: reaches record " + std::to_string(r) +
            (r <= status.size() && r > 0 && status[r - 1] == 0 ? ", which is in use" : ", which it may not"));
        return;
      }
      onChain[r] = true;
    }
    for (uint32_t r = 1; r <= status.size(); ++r)
      if (status[r - 1] != 0 && !onChain[r] && !noPrimaryIndex())
        problem("free-record chain: deleted record " + std::to_string(r) + " is not on it");
  }

  bool noPrimaryIndex() const { return header_[kIndexNoPrimaryOffset] != 0; }

  const std::vector<uint8_t>& file_;
  Options options_;
  const std::optional<DataFileFacts>& data_;
  bool encrypted_ = false;
  std::array<uint8_t, kIndexHeaderSize> header_{};
  uint32_t nextPage_ = 1;
  std::vector<int> owners_;
  std::map<uint8_t, std::vector<uint32_t>> refsBySlot_;
  std::map<uint8_t, std::vector<std::vector<uint8_t>>> keysBySlot_;
  Report report_;
};

std::string withExtension(const std::string& path, const std::string& ext) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  std::string base = path;
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    const std::string e = platform::asciiUpperCased(path.substr(dot));
    if (e == ".IDX" || e == ".DAT" || e == ".BLB") base = path.substr(0, dot);
  }
  return base + ext;
}

}  // namespace

FileRead ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& why) {
  platform::InputFile file;
  int64_t size = -1;
  if (file.open(path)) size = file.size();
  if (size >= 0) {
    bytes.resize(size_t(size));
    const int64_t got = file.readAt(0, bytes.data(), bytes.size());
    if (got == size) return FileRead::Read;
  }
  if (file.error() == ENOENT) return FileRead::Missing;
  why = file.error() == EISDIR ? "a folder"
        : file.error() != 0    ? platform::errorText(file.error())
                               : "changed while read";
  return FileRead::Unreadable;
}

std::string Report::text() const {
  std::ostringstream out;
  if (ok()) {
    out << "ok: " << pageCount << " pages, record count " << recordCount << "\n";
    for (const IndexFacts& f : indexes)
      out << "  " << f.name << ": " << f.keys << " keys, depth " << f.depth << ", " << f.pages << " pages, "
          << f.freePages << " free\n";
  } else {
    for (const std::string& p : problems) out << p << "\n";
  }
  return out.str();
}

Report CheckIndexImage(const std::vector<uint8_t>& file, const Options& options,
                       const std::optional<DataFileFacts>& data) {
  return Checker(file, options, data).run();
}

std::optional<DataFileFacts> ReadDataFileFacts(const std::string& path, std::string& problem) {
  std::vector<uint8_t> bytes;
  std::string why;
  const FileRead read = ReadWholeFile(path, bytes, why);
  if (read != FileRead::Read) {
    problem =
        "data file " + path + (read == FileRead::Missing ? ": missing" : ": cannot be read (" + why + ")");
    return std::nullopt;
  }
  if (bytes.size() < kDataHeaderSize) {
    problem = "data file: shorter than its header";
    return std::nullopt;
  }
  DataFileFacts facts;
  facts.encrypted = bytes[86] != 0;
  const uint32_t nextRecord = get4(bytes.data() + 13);
  const uint32_t recordSize = get2(bytes.data() + 21);
  const uint32_t fields = get2(bytes.data() + 23);
  const uint64_t start = kDataHeaderSize + uint64_t(fields) * kFieldDescriptorSize;
  if (recordSize == 0 || nextRecord == 0 || start > bytes.size()) {
    problem = "data file: header does not add up (record size " + std::to_string(recordSize) + ", " +
              std::to_string(fields) + " fields)";
    return std::nullopt;
  }
  const uint64_t slots = (bytes.size() - start) / recordSize;
  if (slots + 1 != nextRecord || (bytes.size() - start) % recordSize != 0) {
    problem = "data file: " + std::to_string(bytes.size() - start) +
              " bytes of records, next record number " + std::to_string(nextRecord);
    return std::nullopt;
  }
  facts.status.resize(slots);
  facts.languageId = get2(bytes.data() + 103);
  facts.sortId = get2(bytes.data() + 105);
  facts.freeHead = get4(bytes.data() + 9);
  std::vector<uint8_t> descriptors(bytes.begin() + kDataHeaderSize, bytes.begin() + std::ptrdiff_t(start));
  if (facts.encrypted) UnscrambleBuffer(descriptors.data(), descriptors.size(), kStructureSeed);
  for (uint32_t f = 0; f < fields; ++f)
    facts.descriptors.emplace_back(descriptors.begin() + std::ptrdiff_t(f * kFieldDescriptorSize),
                                   descriptors.begin() + std::ptrdiff_t((f + 1) * kFieldDescriptorSize));
  std::vector<uint8_t> record(recordSize);
  for (uint64_t r = 0; r < slots; ++r) {
    std::memcpy(record.data(), bytes.data() + start + r * recordSize, recordSize);
    if (facts.encrypted) UnscrambleBuffer(record.data(), record.size(), kStructureSeed);
    facts.status[r] = record[0];
    facts.records.push_back(record);
  }
  if (facts.freeHead > slots) {
    problem = "data file: free-record chain starts at record " + std::to_string(facts.freeHead) + " of " +
              std::to_string(slots);
    return std::nullopt;
  }
  return facts;
}

namespace {

Report checkFiles(const std::string& path, const Options& options) {
  std::vector<uint8_t> index;
  const std::string indexPath = withExtension(path, ".IDX");
  std::string why;
  if (const FileRead read = ReadWholeFile(indexPath, index, why); read != FileRead::Read) {
    Report r;
    r.problems.push_back("index file " + indexPath +
                         (read == FileRead::Missing ? ": missing" : ": cannot be read (" + why + ")"));
    return r;
  }
  const std::string dataPath = withExtension(path, ".DAT");
  std::optional<DataFileFacts> data;
  std::string dataProblem;
  std::vector<uint8_t> ignored;
  // A table without a data file is checked on its index alone; one that is there must be read.
  if (platform::InputFile probe; probe.open(dataPath) || probe.error() != ENOENT) {
    data = ReadDataFileFacts(dataPath, dataProblem);
    if (!data) {
      Report r = CheckIndexImage(index, options);
      r.problems.push_back(dataProblem);
      return r;
    }
  }
  return CheckIndexImage(index, options, data);
}

}  // namespace

Report CheckTableFiles(const std::string& path, const Options& options) {
  Report r = checkFiles(path, options);
  // A change that never ended leaves its journal, and the files may hold part of the change
  // until the journal is rolled back. An empty one holds no change: a writer keeps it between two
  // changes, or ended between them.
  if (const std::string journal = withExtension(path, std::string(engine::kJournalExt));
      engine::JournalHot(platform::FileSystem::local(), journal))
    r.problems.insert(r.problems.begin(),
                      "rollback journal " + journal + " is left: opening the table rolls it back");
  return r;
}

}  // namespace tablecheck
