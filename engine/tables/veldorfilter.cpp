#include "engine/tables/veldorfilter.h"

#include <utility>

#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"

namespace engine {

namespace {

// A bitmap from the pool, given back on every path.
class PooledBitmap {
 public:
  explicit PooledBitmap(uint32_t count) : bitmap_(GetRecordsBitmap()) { bitmap_->SetSize(count); }
  ~PooledBitmap() { PutRecordsBitmap(bitmap_); }
  PooledBitmap(const PooledBitmap&) = delete;
  PooledBitmap& operator=(const PooledBitmap&) = delete;
  TRecordsBitmap& operator*() { return *bitmap_; }
  TRecordsBitmap* operator->() { return bitmap_.get(); }

 private:
  std::unique_ptr<TRecordsBitmap> bitmap_;
};

bool isRangeTest(const TExpToken& n) {
  if (n.kind == expKeyCompare) return true;
  if (n.kind == expBinary) return n.code >= opEqual && n.code <= opLessEqual;
  if (n.kind == expUnary) return n.code == opIsNull || n.code == opIsNotNull;
  if (n.kind == expPredicate) return n.code == prBetween || n.code == prNotBetween;
  return false;
}

bool isListTest(const TExpToken& n) {
  return n.kind == expPredicate && (n.code == prIn || n.code == prNotIn);
}

}  // namespace

TFilter::TFilter(TDataCursor& cursor, TFilterCallback callback, void* callbackData, bool checkRangeSize,
                 bool afterOthers, bool ownsTree, TExpToken* tree)
    : cursor_(cursor), afterOthers_(afterOthers), checkRangeSize_(checkRangeSize) {
  if (callback) {
    isCallback_ = true;
    callback_ = callback;
    callbackData_ = callbackData;
  } else {
    tree_ = tree;
    ownsTree_ = ownsTree;
  }
  if (!cursor.IsRemote()) {
    bitmap_ = GetRecordsBitmap();
    if (!isCallback_ && tree_) level_ = cursor.GetExpressionOptimizeLevel(tree_, 0, checkRangeSize_);
  }
}

TFilter::~TFilter() {
  freeTree();
  if (bitmap_) PutRecordsBitmap(bitmap_);
}

void TFilter::freeTree() {
  if (ownsTree_ && tree_) FreeExpTree(tree_);
  tree_ = nullptr;
}

void TFilter::BuildBitmap(bool& restart) {
  if (!bitmap_) return;
  if (isCallback_ || !tree_) return evaluateRecords(*bitmap_, tree_, restart, opAnd);
  Optimize(*bitmap_, tree_, restart, opAnd);
}

void TFilter::RecordChanged(uint32_t recordNo, const uint8_t* record) {
  if (!bitmap_) return;
  if (bitmap_->Count() < recordNo) bitmap_->SetSize(recordNo);
  bitmap_->SetBit(recordNo);
  if (!cursor_.EvaluateFilterRecord(recordNo, record, *this)) bitmap_->ClearBit(recordNo);
}

void TFilter::RecordDeleted(uint32_t recordNo) {
  if (bitmap_ && recordNo <= bitmap_->Count()) bitmap_->ClearBit(recordNo);
}

void TFilter::ReplaceTree(TExpTreePtr tree) {
  freeTree();
  tree_ = tree.release();
  ownsTree_ = true;
  level_ = cursor_.IsRemote() || !tree_ ? 0 : cursor_.GetExpressionOptimizeLevel(tree_, 0, false);
}

void TFilter::evaluateRecords(TRecordsBitmap& bitmap, const TExpToken* node, bool& restart,
                              uint8_t parentCode) {
  cursor_.EvaluateBitmapRecords(bitmap, *this, node, parentCode, restart);
}

void TFilter::Optimize(TRecordsBitmap& bitmap, TExpToken* node, bool& restart, uint8_t parentCode) {
  if (restart || bitmap.FirstMemberIn(1, bitmap.Count()) == 0) return;
  // Whatever no index serves is evaluated: a bitmap is never left unfiltered.
  if (node->optimisationLevel == 0) return evaluateRecords(bitmap, node, restart, parentCode);
  const uint32_t count = bitmap.Count();
  if (node->kind == expUnary && node->code == opNot) {
    PooledBitmap copy(count);
    copy->Assign(bitmap);
    Optimize(*copy, node->left, restart, opNot);
    if (restart) return;
    bitmap.Assign(*copy);
    bitmap.NotBitmap();
    return;
  }
  if (node->kind == expBinary && node->code == opAnd) {
    PooledBitmap a(count);
    a->Assign(bitmap);
    Optimize(*a, node->left, restart, opAnd);
    PooledBitmap b(count);
    b->Assign(*a);
    Optimize(*b, node->right, restart, opAnd);
    if (restart) return;
    b->AndBitmap(*a);
    bitmap.Assign(*b);
    return;
  }
  if (node->kind == expBinary && node->code == opOr) {
    if (node->optimisationLevel != 2) return evaluateRecords(bitmap, node, restart, parentCode);
    PooledBitmap a(count);
    a->Assign(bitmap);
    Optimize(*a, node->left, restart, opOr);
    PooledBitmap b(count);
    b->SetAll();
    Optimize(*b, node->right, restart, opOr);
    if (restart) return;
    b->OrBitmap(*a);
    bitmap.Assign(*b);
    return;
  }
  if (const TExpToken* search = cursor_.IndexedTextSearch(*node)) {
    // The index keeps the records that hold every whole word; prefixes are evaluated on those.
    if (parentCode != opAnd) bitmap.SetAll();
    if (!cursor_.NarrowByTextIndex(search->args[1]->fieldNo, search->args[0]->Text(), bitmap))
      evaluateRecords(bitmap, node, restart, opAnd);
    return;
  }
  if (!isRangeTest(*node) && !isListTest(*node)) return evaluateRecords(bitmap, node, restart, parentCode);

  // A test that GetExpressionOptimizeLevel found an index for: find it again and scan.
  SavedIndex saved(cursor_);
  const TExpToken* tested = isRangeTest(*node) && node->kind != expPredicate ? node->left : node->args[0];
  const bool upper = IsUpperOfColumn(tested);
  const TExpToken* column = upper ? tested->args[0] : tested;
  const bool nullTest = node->kind == expUnary;
  if (!cursor_.FindIndexForField(column->fieldNo, upper, nullTest))
    return evaluateRecords(bitmap, node, restart, parentCode);
  TDataCursor::TKeyRange range;
  bool complement = false;
  if (isRangeTest(*node)) {
    if (!cursor_.BuildComparisonRange(*node, nullptr, range, complement))
      return evaluateRecords(bitmap, node, restart, parentCode);
    uint64_t inRange = 0;
    bool outside = false;
    if (checkRangeSize_) {
      inRange = cursor_.CountRangeKeys(range, restart);
      const uint64_t total = cursor_.Table()->IndexFile().GetRecordCount();
      outside = inRange > total - std::min(total, inRange);
    }
    cursor_.AddRangeToBitmap(range, bitmap, restart, outside);
    if (outside != complement) bitmap.NotBitmap();
    return;
  }
  // IN list: the union of the ranges of its values.
  for (size_t i = 1; i < node->args.size(); ++i)
    if (!cursor_.BuildComparisonRange(*node, node->args[i], range, complement))
      return evaluateRecords(bitmap, node, restart, parentCode);
  PooledBitmap work(count);
  for (size_t i = 1; i < node->args.size() && !restart; ++i) {
    cursor_.BuildComparisonRange(*node, node->args[i], range, complement);
    cursor_.AddRangeToBitmap(range, i == 1 ? bitmap : *work, restart);
    if (i > 1) bitmap.OrBitmap(*work);
  }
  if (node->code == prNotIn) bitmap.NotBitmap();
}

}  // namespace engine
