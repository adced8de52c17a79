// Expression trees: the node TExpToken of filters and SQL clauses, its kinds and codes, the
// process-wide pool of spare nodes, freeing, copying and comparing whole trees, and the
// flattened form of a tree that travels in remote requests.
//
// A node owns its value buffer and its argument list; the operands and arguments it points to
// are owned by the tree as a whole and go back to the pool with FreeExpTree. A node belongs to
// one tree and one thread at a time; only the pool is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/veldortypes.h"

namespace engine {

class TDataQuery;
class TSourceTable;

// Node kinds.
enum TExpKind : uint8_t {
  expUnary = 1,
  expBinary = 2,
  expKeyCompare = 3,  // a comparison prepared for a key or prefix search
  expColumn = 4,
  expConstant = 5,
  expSubSelect = 6,
  expFunction = 10,
  expPredicate = 12,
};

// Operator, function and predicate codes.
enum TExpCode : uint8_t {
  opNone = 0,
  opIsNull = 1,
  opIsNotNull = 2,
  opEqual = 3,
  opNotEqual = 4,
  opGreater = 5,
  opLess = 6,
  opGreaterEqual = 7,
  opLessEqual = 8,
  opNot = 9,
  opAnd = 10,
  opOr = 11,
  opNegate = 15,
  opPlusSign = 16,
  opAdd = 17,  // also the concatenation "||"
  opSubtract = 18,
  opMultiply = 19,
  opDivide = 20,
  fnSum = 23,
  fnRunSum = 24,
  fnCount = 25,
  fnMin = 26,
  fnMax = 27,
  fnAvg = 28,
  prLike = 32,
  prIn = 33,
  prInSelect = 34,
  fnUpper = 36,
  fnLower = 37,
  prBetween = 41,
  prNotBetween = 42,
  prNotLike = 43,
  prNotIn = 44,
  prNotInSelect = 45,
  fnSubstring = 46,
  fnReplace = 47,
  fnPos = 48,
  fnOccurs = 49,
  fnTrimLeading = 50,
  fnTrimTrailing = 51,
  fnTrimBoth = 52,
  fnLength = 53,
  fnCast = 54,
  fnExtractYear = 55,
  fnExtractMonth = 56,
  fnExtractWeek = 57,
  fnExtractDay = 58,
  fnExtractDayOfWeek = 59,
  fnExtractHour = 60,
  fnExtractMinute = 61,
  fnExtractSecond = 62,
  fnIf = 63,
  fnAbs = 64,
  fnRound = 65,
  fnTextSearch = 66,
  fnTextOccurs = 67,
};

// The bytes a fresh value buffer is asked for, and the block its capacity grows in.
inline constexpr size_t kExpValueSize = kValueBufferSize;
inline constexpr size_t kExpValueBlock = 256;

// Trees deeper than this are refused by the parser and by UnflattenExpTree, so that the
// recursive walks of the type check and the evaluation stay far from the end of a thread's stack.
inline constexpr int kMaxExpTreeDepth = 1024;

class TExpToken {
 public:
  TExpToken();
  TExpToken(const TExpToken&) = delete;
  TExpToken& operator=(const TExpToken&) = delete;

  // Every field cleared for reuse. The value buffer is kept (zero-filled) when it has its first
  // block only; a grown buffer is given back and a first block allocated.
  void Reset();
  // Every field and the value bytes copied; the argument list refers to the same nodes.
  void Assign(const TExpToken& other);
  // Sets valueSize; the buffer grows (in blocks, zero-filled) when it is too small for it.
  void SetValueSize(uint32_t size);
  // Grows the buffer to hold at least `size` bytes without changing valueSize.
  void ReserveValue(size_t size);
  // Argument i, or nullptr past the end.
  TExpToken* GetArgument(size_t i) const;
  // Grows the list to i + 1 entries when needed (new entries nullptr) and stores `node` at i.
  void SetArgument(size_t i, TExpToken* node);
  // Kind, code, is-parameter, compare length, case flag, type and subtype equal; column and
  // table names equal without regard to ASCII case; for constants also is-null and the value
  // bytes over valueSize. Operands and arguments are not compared.
  bool SameAs(const TExpToken& other) const;

  uint32_t ValueCapacity() const { return uint32_t(value.size()); }
  uint8_t* Value() { return value.data(); }
  const uint8_t* Value() const { return value.data(); }
  // A text value (types 1 and 3): the bytes up to the first zero within the buffer.
  std::string_view Text() const;
  // Writes a zero-terminated text, growing the buffer; valueSize becomes its length + 1.
  void SetText(std::string_view text);

  std::string name;
  uint8_t kind = 0;
  uint8_t code = 0;
  uint8_t optimisationLevel = 0;
  std::string columnName;
  uint16_t fieldNo = 0;
  std::string tableName;
  TDataQuery* subSelect = nullptr;      // owned by the statement
  TSourceTable* sourceTable = nullptr;  // set when the SQL layer binds a column
  bool isNull = false;
  bool isParameter = false;
  uint32_t compareLength = 0;
  bool caseInsensitive = false;
  TEngineFieldType type = TEngineFieldType::Unknown;
  TEngineFieldSubType subType = TEngineFieldSubType::None;
  uint32_t valueSize = 0;
  uint8_t scale = 0;
  bool wasQuotedText = false;
  TEngineFieldType savedType = TEngineFieldType::Unknown;
  TEngineFieldSubType savedSubType = TEngineFieldSubType::None;
  uint32_t savedSize = 0;
  uint8_t savedScale = 0;
  // Set by the SQL layer on every node of a JOIN ... ON condition: the table number of the JOIN's
  // table (from 1); 0 for a node of WHERE.
  uint16_t onClause = 0;
  // 0 WHERE, 1 INNER, 2 LEFT OUTER, 3 RIGHT OUTER: the JOIN that an ON condition's nodes come
  // from; the join kind (1 or 2) once a comparison has become a join condition.
  uint8_t joinMark = 0;
  TExpToken* parent = nullptr;
  TExpToken* left = nullptr;
  TExpToken* right = nullptr;
  TExpToken* third = nullptr;
  std::vector<TExpToken*> args;
  // Offsets of the left operand, the right operand and the first argument in a flattened buffer.
  uint32_t leftOffset = 0;
  uint32_t rightOffset = 0;
  uint32_t argsOffset = 0;

 private:
  std::vector<uint8_t> value;  // size() is the capacity
};

// UPPER of exactly one argument that is a column reference.
bool IsUpperOfColumn(const TExpToken* node);
bool IsTextSearchCall(const TExpToken* node);

// The process-wide pool of spare nodes: at most kCapacity, under its own lock. Each thread keeps
// a few spares of its own in front of it (GetExpToken, PutExpToken), so that building and
// evaluating trees rarely takes the lock.
class TExpTokenStack {
 public:
  static constexpr size_t kCapacity = 256;

  static TExpTokenStack& Instance();
  ~TExpTokenStack();

  // The most recently returned spare, reset, or a new node when there is none.
  TExpToken* Pop();
  // Keeps the node while the pool holds fewer than kCapacity, else frees it; node becomes
  // nullptr. A nullptr does nothing.
  void Push(TExpToken*& node);
  // Frees every spare.
  void Clear();
  size_t Count() const;

 private:
  TExpTokenStack() = default;
  mutable std::mutex mutex_;
  std::vector<TExpToken*> spares_;
};

// A reset node: from the calling thread's spares, else from the pool.
TExpToken* GetExpToken();
// Gives the node back (to the calling thread's spares; the overflow goes to the pool) and sets
// the variable to nullptr. A nullptr does nothing.
void PutExpToken(TExpToken*& node);
// Nodes taken with GetExpToken and not yet given back, by the calling thread (a thread that
// frees a tree built by another counts negative). For leak checks.
int64_t ExpTokensInUse();

// Gives the whole tree back (left, right, third operand and every argument), without recursion.
// Nil-safe; node becomes nullptr.
void FreeExpTree(TExpToken*& node);
// Owns a whole tree and gives it back with FreeExpTree.
struct TExpTreeDeleter {
  void operator()(TExpToken* node) const { FreeExpTree(node); }
};
using TExpTreePtr = std::unique_ptr<TExpToken, TExpTreeDeleter>;

// A deep copy: every node copied with Assign, its operands and arguments copied into the new
// node's slots. Nil-safe. Without recursion.
TExpToken* CopyExpTree(const TExpToken* node);
// Both absent, or SameAs holds for every pair of nodes in the same places. Without recursion.
bool SameExpTree(const TExpToken* a, const TExpToken* b);
// Number of nodes on the longest path from the root (0 for nullptr). Without recursion.
int ExpTreeDepth(const TExpToken* node);

// ---- One node in items: each a little-endian u32 length and that many bytes ----
//
// name, kind, code, optimisation level (1 byte each), column name, field number (2), value
// size (4), value bytes (value size), is-null (1), compare length (4), case-insensitive flag,
// type, subtype, scale (1 each); then the links: with arguments the offsets of the left and the
// right operand, the argument count and the offset of the first argument (4 each); in the older
// form the offsets of the left, right and third operand.

// Bytes the node's items take.
size_t ExpTokenStreamSize(const TExpToken& node, bool withArgs);
// Appends the node's items to `buffer`.
void WriteExpToken(const TExpToken& node, bool withArgs, std::vector<uint8_t>& buffer);
// Reads the items of one node written with arguments from `buffer` at `pos` into `node`
// (whose links are left alone) and advances `pos`; returns the argument count. Raises
// VELDOR_INVALIDFILTER when an item is cut short, has the wrong length, or the value does not
// fit the buffer it names.
uint32_t ReadExpToken(std::span<const uint8_t> buffer, size_t& pos, TExpToken& node);

// The tree in pre-order (node, left subtree, right subtree, arguments), each node in items with
// arguments; buffer holds exactly the bytes used, which are returned (0 for nullptr). A node's
// offsets are byte positions from the start; 0 means none (the root lies at 0).
size_t FlattenExpTreeWithArgs(const TExpToken* node, std::vector<uint8_t>& buffer);
// The one walk behind both flattened forms: with `withArgs` as FlattenExpTreeWithArgs; without,
// the plain form of FlattenExpTree (node, left, right, third; the third operand's offset closes
// each node's items, argument lists are not written).
size_t FlattenExpTreeInForm(const TExpToken* node, bool withArgs, std::vector<uint8_t>& buffer);
// Rebuilds a tree from FlattenExpTreeWithArgs's bytes, which may come from a peer: every length,
// count and offset is checked against the buffer, and depth is capped at kMaxExpTreeDepth.
// Raises VELDOR_INVALIDFILTER (with nothing left allocated) when the bytes are not such a tree.
// An empty buffer gives nullptr.
TExpToken* UnflattenExpTree(std::span<const uint8_t> buffer);

}  // namespace engine
