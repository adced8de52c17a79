#include "engine/values/veldorexptoken.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "engine/base/veldorerr.h"
#include "platform/bytes.h"
#include "platform/scopeguard.h"
#include "platform/textrules.h"

namespace engine {

using platform::UndoOnFailure;

namespace {

// The children of a node in pre-order: left, right, third, then the arguments.
template <typename Node, typename F>
void forEachChild(Node* node, F&& f) {
  if (node->left) f(node->left);
  if (node->right) f(node->right);
  if (node->third) f(node->third);
  for (auto* arg : node->args)
    if (arg) f(arg);
}

}  // namespace

// ---- TExpToken ----

TExpToken::TExpToken() {
  ResizeBlockBuffer(int64_t(kExpValueSize), kExpValueBlock, value);
}

void TExpToken::Reset() {
  name.clear();
  kind = code = optimisationLevel = 0;
  columnName.clear();
  fieldNo = 0;
  tableName.clear();
  subSelect = nullptr;
  sourceTable = nullptr;
  isNull = isParameter = false;
  compareLength = 0;
  caseInsensitive = false;
  type = TEngineFieldType::Unknown;
  subType = TEngineFieldSubType::None;
  valueSize = 0;
  scale = 0;
  wasQuotedText = false;
  savedType = TEngineFieldType::Unknown;
  savedSubType = TEngineFieldSubType::None;
  savedSize = 0;
  savedScale = 0;
  onClause = 0;
  joinMark = 0;
  parent = left = right = third = nullptr;
  args.clear();
  leftOffset = rightOffset = argsOffset = 0;
  if (value.size() <= kExpValueBlock) {
    std::fill(value.begin(), value.end(), uint8_t(0));
  } else {
    std::vector<uint8_t>().swap(value);
    ResizeBlockBuffer(int64_t(kExpValueSize), kExpValueBlock, value);
  }
}

void TExpToken::Assign(const TExpToken& other) {
  if (this == &other) return;
  name = other.name;
  kind = other.kind;
  code = other.code;
  optimisationLevel = other.optimisationLevel;
  columnName = other.columnName;
  fieldNo = other.fieldNo;
  tableName = other.tableName;
  subSelect = other.subSelect;
  sourceTable = other.sourceTable;
  isNull = other.isNull;
  isParameter = other.isParameter;
  compareLength = other.compareLength;
  caseInsensitive = other.caseInsensitive;
  type = other.type;
  subType = other.subType;
  scale = other.scale;
  wasQuotedText = other.wasQuotedText;
  savedType = other.savedType;
  savedSubType = other.savedSubType;
  savedSize = other.savedSize;
  savedScale = other.savedScale;
  onClause = other.onClause;
  joinMark = other.joinMark;
  parent = other.parent;
  left = other.left;
  right = other.right;
  third = other.third;
  args = other.args;
  leftOffset = other.leftOffset;
  rightOffset = other.rightOffset;
  argsOffset = other.argsOffset;
  ReserveValue(other.value.size());
  std::memcpy(value.data(), other.value.data(), other.value.size());
  std::fill(value.begin() + ptrdiff_t(other.value.size()), value.end(), uint8_t(0));
  valueSize = other.valueSize;
}

void TExpToken::ReserveValue(size_t size) {
  if (size > value.size()) ResizeBlockBuffer(int64_t(size), kExpValueBlock, value);
}

void TExpToken::SetValueSize(uint32_t size) {
  ReserveValue(size);
  valueSize = size;
}

TExpToken* TExpToken::GetArgument(size_t i) const {
  return i < args.size() ? args[i] : nullptr;
}

void TExpToken::SetArgument(size_t i, TExpToken* node) {
  if (i >= args.size()) args.resize(i + 1, nullptr);
  args[i] = node;
}

bool TExpToken::SameAs(const TExpToken& other) const {
  if (kind != other.kind || code != other.code ||
      !platform::equalIgnoringAsciiCase(columnName, other.columnName) ||
      !platform::equalIgnoringAsciiCase(tableName, other.tableName) || isParameter != other.isParameter ||
      compareLength != other.compareLength || caseInsensitive != other.caseInsensitive ||
      type != other.type || subType != other.subType)
    return false;
  if (kind != expConstant) return true;
  if (isNull != other.isNull || valueSize != other.valueSize) return false;
  return std::memcmp(value.data(), other.value.data(), std::min<size_t>(valueSize, value.size())) == 0;
}

std::string_view TExpToken::Text() const {
  const char* p = reinterpret_cast<const char*>(value.data());
  return std::string_view(p, strnlen(p, value.size()));
}

void TExpToken::SetText(std::string_view text) {
  ReserveValue(text.size() + 1);
  std::memcpy(value.data(), text.data(), text.size());
  value[text.size()] = 0;
  valueSize = uint32_t(text.size() + 1);
}

bool IsUpperOfColumn(const TExpToken* node) {
  return node && node->kind == expFunction && node->code == fnUpper && node->args.size() == 1 &&
         node->args[0] && node->args[0]->kind == expColumn;
}

bool IsTextSearchCall(const TExpToken* node) {
  return node && node->kind == expFunction && node->code == fnTextSearch;
}

// ---- The pool ----

TExpTokenStack& TExpTokenStack::Instance() {
  static TExpTokenStack pool;
  return pool;
}

TExpTokenStack::~TExpTokenStack() {
  Clear();
}

TExpToken* TExpTokenStack::Pop() {
  TExpToken* node = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (!spares_.empty()) {
      node = spares_.back();
      spares_.pop_back();
    }
  }
  if (!node) return new TExpToken();
  node->Reset();
  return node;
}

void TExpTokenStack::Push(TExpToken*& node) {
  if (!node) return;
  TExpToken* n = std::exchange(node, nullptr);
  {
    std::lock_guard lock(mutex_);
    if (spares_.size() < kCapacity) {
      spares_.push_back(n);
      return;
    }
  }
  delete n;
}

void TExpTokenStack::Clear() {
  std::vector<TExpToken*> spares;
  {
    std::lock_guard lock(mutex_);
    spares.swap(spares_);
  }
  for (auto* n : spares) delete n;
}

size_t TExpTokenStack::Count() const {
  std::lock_guard lock(mutex_);
  return spares_.size();
}

namespace {

// The calling thread's spares. Nodes left at the thread's end are freed, not handed to the pool,
// which may already be gone when the main thread ends.
struct LocalSpares {
  static constexpr size_t kCapacity = 64;
  std::vector<TExpToken*> nodes;
  int64_t inUse = 0;
  LocalSpares() { nodes.reserve(kCapacity); }
  ~LocalSpares() {
    for (auto* n : nodes) delete n;
  }
};

LocalSpares& localSpares() {
  thread_local LocalSpares spares;
  return spares;
}

}  // namespace

TExpToken* GetExpToken() {
  auto& local = localSpares();
  ++local.inUse;
  if (local.nodes.empty()) return TExpTokenStack::Instance().Pop();
  TExpToken* node = local.nodes.back();
  local.nodes.pop_back();
  node->Reset();
  return node;
}

void PutExpToken(TExpToken*& node) {
  if (!node) return;
  auto& local = localSpares();
  --local.inUse;
  if (local.nodes.size() >= LocalSpares::kCapacity) {
    // Half the spares go to the pool at once, so that a thread that only frees takes the
    // pool's lock once per many nodes.
    auto& pool = TExpTokenStack::Instance();
    while (local.nodes.size() > LocalSpares::kCapacity / 2) {
      TExpToken* n = local.nodes.back();
      local.nodes.pop_back();
      pool.Push(n);
    }
  }
  local.nodes.push_back(std::exchange(node, nullptr));
}

int64_t ExpTokensInUse() {
  return localSpares().inUse;
}

// ---- Whole trees ----

void FreeExpTree(TExpToken*& node) {
  if (!node) return;
  TExpToken* root = std::exchange(node, nullptr);
  if (!root->left && !root->right && !root->third && root->args.empty()) return PutExpToken(root);
  // The thread's own work list, kept between calls: evaluation frees a tree per record, and
  // nothing here calls back into FreeExpTree.
  thread_local std::vector<TExpToken*> pending;
  size_t base = pending.size();
  pending.push_back(root);
  while (pending.size() > base) {
    TExpToken* n = pending.back();
    pending.pop_back();
    forEachChild(n, [&](TExpToken* child) { pending.push_back(child); });
    n->left = n->right = n->third = nullptr;
    n->args.clear();
    PutExpToken(n);
  }
}

TExpToken* CopyExpTree(const TExpToken* node) {
  if (!node) return nullptr;
  TExpToken* root = GetExpToken();
  // Each entry: a source node and its fresh copy, whose links still point into the source.
  std::vector<std::pair<const TExpToken*, TExpToken*>> pending{{node, root}};
  while (!pending.empty()) {
    const TExpToken* source = pending.back().first;
    TExpToken* copy = pending.back().second;
    pending.pop_back();
    copy->Assign(*source);
    auto copyLink = [&](TExpToken*& slot) {
      if (!slot) return;
      const TExpToken* child = slot;
      slot = GetExpToken();
      slot->parent = copy;
      pending.emplace_back(child, slot);
    };
    copyLink(copy->left);
    copyLink(copy->right);
    copyLink(copy->third);
    for (auto& arg : copy->args) copyLink(arg);
  }
  root->parent = nullptr;
  return root;
}

bool SameExpTree(const TExpToken* a, const TExpToken* b) {
  std::vector<std::pair<const TExpToken*, const TExpToken*>> pending{{a, b}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    if (!x || !y) {
      if (x != y) return false;
      continue;
    }
    if (!x->SameAs(*y) || x->args.size() != y->args.size()) return false;
    pending.emplace_back(x->left, y->left);
    pending.emplace_back(x->right, y->right);
    pending.emplace_back(x->third, y->third);
    for (size_t i = 0; i < x->args.size(); ++i) pending.emplace_back(x->args[i], y->args[i]);
  }
  return true;
}

int ExpTreeDepth(const TExpToken* node) {
  if (!node) return 0;
  // Most values and columns a statement lists are a node alone: no walk, no work list.
  if (!node->left && !node->right && !node->third && node->args.empty()) return 1;
  int deepest = 0;
  // The thread's own work list, kept between calls (each statement's conditions are measured);
  // nothing here calls out.
  thread_local std::vector<std::pair<const TExpToken*, int>> pending;
  const size_t base = pending.size();
  pending.emplace_back(node, 1);
  while (pending.size() > base) {
    const TExpToken* n = pending.back().first;
    int depth = pending.back().second;
    pending.pop_back();
    deepest = std::max(deepest, depth);
    forEachChild(n, [&](const TExpToken* child) { pending.emplace_back(child, depth + 1); });
  }
  return deepest;
}

// ---- Items ----

namespace {

constexpr size_t kLinkItems = 4;
// Items of fixed length besides name, column name and value bytes: kind, code, level, field
// number, value size, is-null, compare length, case flag, type, subtype, scale.
constexpr size_t kFixedItemBytes = 1 + 1 + 1 + 2 + 4 + 1 + 4 + 1 + 1 + 1 + 1;
constexpr size_t kFixedItems = 11;
// The smallest node in items with arguments: empty name, column name and value.
constexpr size_t kMinNodeBytes = 4 * (kFixedItems + 3 + kLinkItems) + kFixedItemBytes + 4 * kLinkItems;

void putItem(std::vector<uint8_t>& out, const void* data, size_t length) {
  size_t at = out.size();
  out.resize(at + 4 + length);
  platform::put4(out.data() + at, uint32_t(length));
  if (length && data) std::memcpy(out.data() + at + 4, data, length);
}
void putItem8(std::vector<uint8_t>& out, uint8_t v) {
  putItem(out, &v, 1);
}
void putItem16(std::vector<uint8_t>& out, uint16_t v) {
  uint8_t b[2];
  platform::put2(b, v);
  putItem(out, b, 2);
}
void putItem32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  platform::put4(b, v);
  putItem(out, b, 4);
}

[[noreturn]] void badStream() {
  SignalEngineError(VELDOR_INVALIDFILTER, "", "", "", "", "", "", "Malformed expression tree in request");
}

struct ItemReader {
  std::span<const uint8_t> buffer;
  size_t& pos;

  std::span<const uint8_t> item() {
    if (buffer.size() - pos < 4) badStream();
    uint32_t length = platform::get4(buffer.data() + pos);
    if (buffer.size() - pos - 4 < length) badStream();
    auto bytes = buffer.subspan(pos + 4, length);
    pos += 4 + size_t(length);
    return bytes;
  }
  std::span<const uint8_t> fixed(size_t length) {
    auto bytes = item();
    if (bytes.size() != length) badStream();
    return bytes;
  }
  uint8_t u8() { return fixed(1)[0]; }
  uint16_t u16() { return platform::get2(fixed(2).data()); }
  uint32_t u32() { return platform::get4(fixed(4).data()); }
  std::string text() {
    auto bytes = item();
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
};

}  // namespace

size_t ExpTokenStreamSize(const TExpToken& node, bool withArgs) {
  return 4 * (kFixedItems + 3) + kFixedItemBytes + node.name.size() + node.columnName.size() +
         node.valueSize + (withArgs ? 4 : 3) * 8;
}

void WriteExpToken(const TExpToken& node, bool withArgs, std::vector<uint8_t>& buffer) {
  putItem(buffer, node.name.data(), node.name.size());
  putItem8(buffer, node.kind);
  putItem8(buffer, node.code);
  putItem8(buffer, node.optimisationLevel);
  putItem(buffer, node.columnName.data(), node.columnName.size());
  putItem16(buffer, node.fieldNo);
  putItem32(buffer, node.valueSize);
  size_t at = buffer.size();
  putItem(buffer, nullptr, node.valueSize);  // zeros past the capacity, which SetValueSize rules out
  std::memcpy(buffer.data() + at + 4, node.Value(), std::min<size_t>(node.valueSize, node.ValueCapacity()));
  putItem8(buffer, node.isNull);
  putItem32(buffer, node.compareLength);
  putItem8(buffer, node.caseInsensitive);
  putItem8(buffer, uint8_t(node.type));
  putItem8(buffer, uint8_t(node.subType));
  putItem8(buffer, node.scale);
  putItem32(buffer, node.leftOffset);
  putItem32(buffer, node.rightOffset);
  if (withArgs) {
    putItem32(buffer, uint32_t(node.args.size()));
    putItem32(buffer, node.argsOffset);
  } else {
    putItem32(buffer, 0);  // the third operand's offset: the older form is only ever measured
  }
}

uint32_t ReadExpToken(std::span<const uint8_t> buffer, size_t& pos, TExpToken& node) {
  if (pos > buffer.size()) badStream();
  ItemReader r{buffer, pos};
  node.name = r.text();
  node.kind = r.u8();
  node.code = r.u8();
  node.optimisationLevel = r.u8();
  node.columnName = r.text();
  node.fieldNo = r.u16();
  uint32_t size = r.u32();
  auto bytes = r.fixed(size);
  node.SetValueSize(size);
  if (size) std::memcpy(node.Value(), bytes.data(), size);
  node.isNull = r.u8() != 0;
  node.compareLength = r.u32();
  node.caseInsensitive = r.u8() != 0;
  node.type = TEngineFieldType(r.u8());
  node.subType = TEngineFieldSubType(r.u8());
  node.scale = r.u8();
  node.leftOffset = r.u32();
  node.rightOffset = r.u32();
  uint32_t count = r.u32();
  node.argsOffset = r.u32();
  return count;
}

size_t FlattenExpTreeWithArgs(const TExpToken* node, std::vector<uint8_t>& buffer) {
  return FlattenExpTreeInForm(node, true, buffer);
}

size_t FlattenExpTreeInForm(const TExpToken* node, bool withArgs, std::vector<uint8_t>& buffer) {
  buffer.clear();
  if (!node) return 0;
  // Pre-order: node, left subtree, right subtree, then the arguments or the third operand.
  std::vector<const TExpToken*> order;
  std::vector<const TExpToken*> pending{node};
  while (!pending.empty()) {
    const TExpToken* n = pending.back();
    pending.pop_back();
    order.push_back(n);
    if (withArgs) {
      for (auto it = n->args.rbegin(); it != n->args.rend(); ++it)
        if (*it) pending.push_back(*it);
    } else if (n->third) {
      pending.push_back(n->third);
    }
    if (n->right) pending.push_back(n->right);
    if (n->left) pending.push_back(n->left);
  }
  std::unordered_map<const TExpToken*, uint32_t> offsets;
  size_t total = 0;
  for (auto* n : order) {
    offsets[n] = uint32_t(total);
    total += ExpTokenStreamSize(*n, withArgs);
  }
  buffer.reserve(total);
  TExpToken links;  // a node's fields with the offsets of this buffer
  for (auto* n : order) {
    links.Assign(*n);
    links.leftOffset = n->left ? offsets[n->left] : 0;
    links.rightOffset = n->right ? offsets[n->right] : 0;
    if (withArgs) {
      links.args.erase(std::remove(links.args.begin(), links.args.end(), nullptr), links.args.end());
      links.argsOffset = links.args.empty() ? 0 : offsets[links.args[0]];
    }
    WriteExpToken(links, withArgs, buffer);
    // In the plain form the third operand's offset closes the node's items.
    if (!withArgs) platform::put4(buffer.data() + buffer.size() - 4, n->third ? offsets[n->third] : 0);
  }
  return buffer.size();
}

TExpToken* UnflattenExpTree(std::span<const uint8_t> buffer) {
  if (buffer.empty()) return nullptr;
  // Slots still to be filled, in reverse reading order: the parent, the slot, the offset that
  // the parent recorded for it (checked where one was recorded), and the slot's depth.
  struct Slot {
    TExpToken* parent;
    TExpToken** link;
    size_t argIndex;
    uint32_t offset;
    bool checkOffset;
    int depth;
  };
  TExpToken* root = nullptr;
  std::vector<Slot> pending{{nullptr, &root, 0, 0, true, 1}};
  size_t pos = 0;
  UndoOnFailure freeAll([&] { FreeExpTree(root); });
  while (!pending.empty()) {
    Slot slot = pending.back();
    pending.pop_back();
    if (slot.depth > kMaxExpTreeDepth || (slot.checkOffset && slot.offset != pos)) badStream();
    TExpToken* node = GetExpToken();
    UndoOnFailure putBack([&] { PutExpToken(node); });
    const uint32_t count = ReadExpToken(buffer, pos, *node);
    putBack.Dismiss();
    node->parent = slot.parent;
    if (slot.link)
      *slot.link = node;
    else
      slot.parent->args[slot.argIndex] = node;
    if (count > (buffer.size() - pos) / kMinNodeBytes) badStream();
    node->args.assign(count, nullptr);
    for (size_t i = count; i-- > 0;)
      pending.push_back({node, nullptr, i, node->argsOffset, i == 0, slot.depth + 1});
    if (node->rightOffset)
      pending.push_back({node, &node->right, 0, node->rightOffset, true, slot.depth + 1});
    if (node->leftOffset) pending.push_back({node, &node->left, 0, node->leftOffset, true, slot.depth + 1});
  }
  if (pos != buffer.size()) badStream();
  return root;
}

}  // namespace engine
