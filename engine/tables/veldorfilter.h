// One filter of a data cursor: an expression tree or a callback of the caller. Its bitmap holds
// the records that pass it. An expression filter answers the parts of its tree that an index can
// serve from key ranges (record numbers straight from the index, no record read) and evaluates
// only the rest record by record.
//
// Answers never depend on whether an index exists: a key range stands in for a test only where
// the index orders and compares keys exactly as the evaluation compares values (the cursor's
// GetExpressionOptimizeLevel decides), and NULL values fall in or out of a range as the
// evaluation would have them.
//
// Bitmap contract of Optimize: on return the bits of the records that were set on entry are
// right (set when the record passes); bits of other records are left as they come and are bounded
// by the caller (an enclosing AND, and at the top the cursor's used-records and range bitmaps).
//
// Not thread-safe: used by its cursor's thread.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/storage/veldorbitmap.h"
#include "engine/values/veldorexptoken.h"

namespace engine {

class TDataCursor;

// A callback filter's test of one record buffer (the cursor's record layout); true passes.
// `value` is the record's number on a local cursor, and on a remote one the 32-bit value the
// server sends with the record.
using TFilterCallback = bool (*)(void* data, TDataCursor& cursor, const uint8_t* record, uint32_t value);

class TFilter {
 public:
  // A callback filter when `callback` is given (tree ignored, level 0), else an expression
  // filter whose level the cursor computes now (local cursors only). Local cursors take a bitmap
  // from the pool. Inactive.
  TFilter(TDataCursor& cursor, TFilterCallback callback, void* callbackData, bool checkRangeSize,
          bool afterOthers, bool ownsTree, TExpToken* tree);
  // Frees the tree when owned and gives the bitmap back to the pool.
  ~TFilter();
  TFilter(const TFilter&) = delete;
  TFilter& operator=(const TFilter&) = delete;

  void Activate() { active_ = true; }
  void Deactivate() { active_ = false; }
  bool Active() const { return active_; }
  bool IsCallback() const { return isCallback_; }
  bool AfterOthers() const { return afterOthers_; }
  bool CheckRangeSize() const { return checkRangeSize_; }
  uint8_t OptimizeLevel() const { return level_; }
  void SetOptimizeLevel(uint8_t level) { level_ = level; }
  uint32_t ServerFilterId() const { return serverId_; }
  void SetServerFilterId(uint32_t id) { serverId_ = id; }
  TExpToken* Tree() const { return tree_; }
  bool OwnsTree() const { return ownsTree_; }
  void SetOwnsTree(bool owns) { ownsTree_ = owns; }
  TFilterCallback Callback() const { return callback_; }
  void* CallbackData() const { return callbackData_; }
  // Empty for a remote cursor's filter.
  TRecordsBitmap* Bitmap() const { return bitmap_.get(); }

  // Narrows the bitmap (filled by the cursor with the candidate records) to the records that
  // pass. `restart` is set when the table changed under the build; the cursor then starts again.
  void BuildBitmap(bool& restart);
  // Upkeep after record `recordNo` was appended or changed to `record`: its bit is set, grown
  // into the bitmap when needed, and cleared again when the record fails.
  void RecordChanged(uint32_t recordNo, const uint8_t* record);
  void RecordDeleted(uint32_t recordNo);
  // Takes a new tree, which the filter owns from then on (the old one is freed when owned), and
  // recomputes the level with the range-size check off.
  void ReplaceTree(TExpTreePtr tree);

  // Narrows `bitmap` to the records for which `node` holds (see the bitmap contract above).
  void Optimize(TRecordsBitmap& bitmap, TExpToken* node, bool& restart, uint8_t parentCode);

 private:
  void evaluateRecords(TRecordsBitmap& bitmap, const TExpToken* node, bool& restart, uint8_t parentCode);
  void freeTree();

  TDataCursor& cursor_;
  bool ownsTree_ = false;
  TExpToken* tree_ = nullptr;
  void* callbackData_ = nullptr;
  TFilterCallback callback_ = nullptr;
  std::unique_ptr<TRecordsBitmap> bitmap_;
  bool active_ = false;
  bool isCallback_ = false;
  uint8_t level_ = 0;
  bool afterOthers_ = false;
  bool checkRangeSize_ = false;
  uint32_t serverId_ = 0;
};

}  // namespace engine
