// Cursor filters: adding, dropping, activating and re-aiming filters; the used-records, range,
// filter and combined bitmaps; their upkeep; the evaluation of one record.
#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <optional>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorrecord.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"
#include "engine/values/veldorexpcheck.h"
#include "engine/values/veldorexpeval.h"
#include "engine/values/veldorexpparser.h"
#include "engine/values/veldorvalues.h"
#include "platform/scopeguard.h"

namespace engine {

using platform::ScopeExit;

namespace {

constexpr size_t kMaxFilters = 64;
constexpr const char* kFilterContext = "filter expression";
// Bytes of record slots a filter evaluation reads at once.
constexpr size_t kScanBytes = 64 * 1024;

// The record image a column reader reads from, with the cursor that knows its fields.
struct RecordView {
  const uint8_t* record;
};

// Where FetchExpressionColumn would read the column: every field but a blob is read in place.
bool locateExpressionColumn(const void* cursor, const TExpToken& node, ExpFieldPlace& place) {
  uint16_t position = 0;
  const TFieldDescriptor* field =
      static_cast<const TDataCursor*>(cursor)->Table()->DataFile().FindFieldByNumber(node.fieldNo, position);
  if (!field || field->IsBlob()) return false;
  place.offset = field->Offset();
  place.size = field->StoredSize();
  place.autoIncrement = field->IsAutoInc();
  return true;
}

}  // namespace

class TDataCursor::FilterSource final : public TSourceTable, public TTextSearchTarget {
 public:
  explicit FilterSource(TDataCursor& cursor) : cursor_(cursor) {}
  TTextSearchTarget* TextSearchTarget() override { return this; }
  bool TextSearch(uint16_t fieldNo, std::string_view text) override {
    return cursor_.TextSearch(text, columnText(fieldNo));
  }
  uint32_t TextOccurs(uint16_t fieldNo, std::string_view text) override {
    return cursor_.TextOccurs(text, columnText(fieldNo));
  }

 private:
  std::string columnText(uint16_t fieldNo) {
    if (!cursor_.evaluatedRecord_) return {};
    TExpToken value;
    value.fieldNo = fieldNo;
    RecordView view{cursor_.evaluatedRecord_};
    FetchExpressionColumn(&view, &cursor_, value);
    return value.isNull ? std::string() : std::string(value.Text());
  }
  TDataCursor& cursor_;
};

// ---- Adding and removing ----

void TDataCursor::ParseFilterExpression(const std::string& text, TExpTreePtr& tree) {
  TExpressionParser parser(nullptr);
  parser.errorCode = VELDOR_INVALIDFILTER;
  parser.contextWord = kFilterContext;
  parser.contextName1 = GetDirectoryName();
  parser.contextName2 = tableName_;
  parser.SetText(text);
  parser.NextToken();
  if (!parser.IsTokenKind(tkEnd)) tree.reset(parser.ParseExpression(pfPredicates));
  if (!tree)
    SignalEngineError(VELDOR_INVALIDFILTER, "", "", GetDirectoryName(), tableName_, "", "",
                      "filter expression is empty");
  if (!parser.IsTokenKind(tkEnd)) parser.SyntaxError("Unexpected '" + parser.GetTokenText() + "'");
}

TSourceTable* TDataCursor::filterSourceTable() {
  if (!filterSource_) filterSource_ = std::make_shared<FilterSource>(*this);
  return filterSource_.get();
}

bool TDataCursor::ResolveFilterColumn(void* data, TExpToken& node) {
  // A filter names the fields the cursor shows; it reads them from the table (where the server
  // evaluates it, too), so that an index of the table can serve it.
  TDataCursor& cursor = *static_cast<TDataCursor*>(data);
  for (uint16_t p = 1; p <= cursor.FieldCount(); ++p) {
    const TFieldDescriptor& field = cursor.fields_[p - 1u].desc;
    if (OSCompareStrings(cursor.languageId_, cursor.sortId_, field.Name(), true, 0, node.columnName) != 0)
      continue;
    node.fieldNo = field.Computed() ? uint16_t(kComputedFieldMark | p) : field.FieldNumber();
    node.type = TEngineFieldType(field.Type());
    node.subType = TEngineFieldSubType(field.SubType());
    node.SetValueSize(std::max<uint32_t>(field.StoredSize(), 1));
    node.scale = uint8_t(field.StoredScale());
    node.sourceTable = cursor.filterSourceTable();
    return true;
  }
  return false;
}

void TDataCursor::CheckFilterExpression(TExpToken& tree) {
  TypeCheckExpTree(VELDOR_INVALIDFILTER, GetDirectoryName(), tableName_, true, true, &ResolveFilterColumn,
                   this, nullptr, tree, kFilterContext);
  if (tree.type != TEngineFieldType::Boolean)
    SignalEngineError(VELDOR_INVALIDFILTER, "", "", GetDirectoryName(), tableName_, "", "",
                      "filter expression must be a boolean expression");
}

void TDataCursor::NormalizeFilterComparisons(TExpToken* node) {
  if (!node) return;
  if (node->kind == expUnary) return NormalizeFilterComparisons(node->left);
  if (node->kind != expBinary) return;
  if (node->code >= opEqual && node->code <= opLessEqual && !ExpTreeHasColumnRef(node->left) &&
      ExpTreeHasColumnRef(node->right)) {
    std::swap(node->left, node->right);
    static constexpr uint8_t kMirror[] = {0,      0,         0,           opEqual,       opNotEqual,
                                          opLess, opGreater, opLessEqual, opGreaterEqual};
    node->code = kMirror[node->code];
    return;
  }
  NormalizeFilterComparisons(node->left);
  NormalizeFilterComparisons(node->right);
}

TFilter* TDataCursor::AddFilter(void* callbackData, const std::string* text, TExpToken* tree, bool ownsTree,
                                TFilterCallback callback, bool afterOthers, bool checkRangeSize,
                                bool caseInsensitive, bool noPartialCompare) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  if (filters_.size() >= kMaxFilters) Raise(VELDOR_INTERNALLIMIT);
  if (!text && !tree && !callback)
    SignalEngineError(VELDOR_INVALIDFILTER, "", "", GetDirectoryName(), tableName_, "", "",
                      "filter expression is invalid");
  TExpTreePtr prepared;
  if (!callback && text) {
    TExpTreePtr parsed;
    ParseFilterExpression(*text, parsed);
    CheckFilterExpression(*parsed);
    NormalizeFilterComparisons(parsed.get());
    prepared.reset(PrepareExpTree(parsed.get(), this, &FetchExpressionColumn, noPartialCompare,
                                  caseInsensitive, sortId_, languageId_));
    tree = prepared.get();
    ownsTree = true;
  }
  ReadScope scope(*this);
  SyncWithTable();
  // The read pair first: it brings the table's counts up to another process's writes.
  BeginRead();
  // The filter takes the tree only once it is added: should the server refuse it, its owner
  // (`prepared` or the caller) still frees it, and only once.
  auto filter = std::make_unique<TFilter>(*this, callback, callbackData, checkRangeSize, afterOthers, false,
                                          callback ? nullptr : tree);
  if (IsRemote()) {
    TCursorRequest request;
    request.U32(serverCursor_);
    if (callback) {
      request.U8(afterOthers).U8(checkRangeSize);
    } else {
      std::vector<uint8_t> flat;
      if (GetServerVersion() >= 30400) {
        FlattenExpTreeWithArgs(filter->Tree(), flat);
      } else {
        LinkExpTreeArgs(filter->Tree());
        FlattenExpTree(filter->Tree(), flat);
      }
      request.U32(uint32_t(flat.size())).Bytes(flat).U8(ownsTree).U8(afterOthers).U8(checkRangeSize);
    }
    const TCursorReply reply =
        exchange(callback ? REQUEST_ADDCALLBACKFILTER : REQUEST_ADDEXPRFILTER, request);
    if (reply.empty() || reply[0].size() < 4 || (!callback && (reply.size() < 2 || reply[1].empty())))
      Raise(VELDOR_REMOTEINVREQUEST);
    uint32_t id = 0;
    std::memcpy(&id, reply[0].data(), 4);
    filter->SetServerFilterId(id);
    if (!callback) filter->SetOptimizeLevel(reply[1][0]);
  }
  if (!callback) {
    filter->SetOwnsTree(ownsTree);
    prepared.release();
  }
  auto place = filters_.end();
  if (!afterOthers)
    place = std::find_if(filters_.begin(), filters_.end(), [](const auto& f) { return f->AfterOthers(); });
  return filters_.insert(place, std::move(filter))->get();
}

TFilter* TDataCursor::AddFilter(TExpToken& tree) {
  TypeCheckExpTree(VELDOR_INVALIDFILTER, GetDirectoryName(), tableName_, false, true, &ResolveFilterColumn,
                   this, nullptr, tree, kFilterContext);
  if (tree.type != TEngineFieldType::Boolean)
    SignalEngineError(VELDOR_INVALIDFILTER, "", "", GetDirectoryName(), tableName_, "", "",
                      "filter expression must be a boolean expression");
  NormalizeFilterComparisons(&tree);
  // No partial compare and no case rule of the filter's own: the builder's key compares carry them.
  TExpTreePtr prepared(
      PrepareExpTree(&tree, this, &FetchExpressionColumn, true, false, sortId_, languageId_));
  TFilter* filter = AddFilter(nullptr, nullptr, prepared.get(), true, nullptr, false, false, false, true);
  prepared.release();
  return filter;
}

void TDataCursor::copyFiltersTo(TDataCursor& copy) {
  for (const auto& f : filters_) {
    TExpTreePtr tree(f->IsCallback() ? nullptr : CopyExpTree(f->Tree()));
    // Text searches of the copy's columns search the copy's records.
    std::vector<TExpToken*> pending{tree.get()};
    while (!pending.empty()) {
      TExpToken* node = pending.back();
      pending.pop_back();
      if (!node) continue;
      if (node->sourceTable && node->sourceTable == filterSource_.get()) {
        if (!copy.filterSource_) copy.filterSource_ = std::make_shared<FilterSource>(copy);
        node->sourceTable = copy.filterSource_.get();
      }
      pending.insert(pending.end(), {node->left, node->right, node->third});
      pending.insert(pending.end(), node->args.begin(), node->args.end());
    }
    TFilter* made = copy.AddFilter(f->CallbackData(), nullptr, tree.get(), true, f->Callback(),
                                   f->AfterOthers(), f->CheckRangeSize(), false, false);
    tree.release();
    if (f->Active()) copy.ActivateFilter(made);
  }
}

void TDataCursor::sendFilterRequest(uint16_t code, TFilter* filter) {
  const TCursorReply reply = exchange(code, remotePosition().U32(filter ? filter->ServerFilterId() : 0));
  requests().ReadCursorState(*this, reply);
}

std::vector<std::unique_ptr<TFilter>>::iterator TDataCursor::findFilter(TFilter* filter) {
  auto it = std::find_if(filters_.begin(), filters_.end(), [&](const auto& f) { return f.get() == filter; });
  if (it == filters_.end()) Raise(VELDOR_NOSUCHFILTER);
  return it;
}

void TDataCursor::DropFilter(TFilter* filter) {
  const uint32_t serverId = filter ? (*findFilter(filter))->ServerFilterId() : 0;
  const size_t at = filter ? size_t(findFilter(filter) - filters_.begin()) : 0;
  if (filter)
    filters_.erase(findFilter(filter));
  else
    filters_.clear();
  if (IsRemote() && active_) {
    UpdateFilterState();
    const TCursorReply reply = exchange(REQUEST_DROPFILTER, remotePosition().U32(serverId));
    return requests().ReadCursorState(*this, reply);
  }
  if (!active_) return UpdateFilterState();
  ReadScope scope(*this);
  SyncWithTable();
  // The read pair first: it brings the table's counts up to another process's writes.
  BeginRead();
  UpdateFilterState();
  // A filter built on the dropped one's verdicts would still drop what only that one dropped.
  if (builtOnEarlierFilters(at)) BuildAllFilterBitmaps();
  RebuildView();
  Resync();
}

bool TDataCursor::builtOnEarlierFilters(size_t from) const {
  for (size_t i = from; i < filters_.size(); ++i)
    if (filters_[i]->Active() && filters_[i]->AfterOthers() && filters_[i]->OptimizeLevel() != 2) return true;
  return false;
}

void TDataCursor::ActivateFilter(TFilter* filter) {
  setFiltersActive(filter, true);
}

void TDataCursor::DeactivateFilter(TFilter* filter) {
  setFiltersActive(filter, false);
}

void TDataCursor::setFiltersActive(TFilter* filter, bool active) {
  const auto set = [active](TFilter& f) { active ? f.Activate() : f.Deactivate(); };
  if (filter)
    set(**findFilter(filter));
  else
    for (auto& f : filters_) set(*f);
  if (IsRemote()) {
    UpdateFilterState();
    return sendFilterRequest(active ? REQUEST_ACTIVATEFILTER : REQUEST_DEACTIVATEFILTER, filter);
  }
  ReadScope scope(*this);
  SyncWithTable();
  // The read pair first: it brings the table's counts up to another process's writes.
  BeginRead();
  UpdateFilterState();
  if (active) {
    if (filter && viewBitmap_.Count() != 0 && !filterViewStale_)
      BuildFilterBitmap(*filter);
    else
      BuildAllFilterBitmaps();
    // The rebuild below combines the filters' bitmaps into the view.
  } else if (filter && builtOnEarlierFilters(size_t(findFilter(filter) - filters_.begin()) + 1)) {
    // A later filter built on this one's verdicts would still drop what only this one dropped.
    BuildAllFilterBitmaps();
  }
  RebuildView();
  Resync();
}

void TDataCursor::ReplaceFilterExpression(TExpTreePtr tree, TFilter* filter) {
  if (!tree) return;
  // The server's filter would go on with the old tree.
  if (IsRemote()) Raise(VELDOR_REMOTEINVREQUEST);
  ReadScope scope(*this);
  SyncWithTable();
  // The read pair first: it brings the table's counts up to another process's writes.
  BeginRead();
  auto it = std::find_if(filters_.begin(), filters_.end(),
                         [&](const auto& f) { return f.get() == filter && f->Active(); });
  if (it == filters_.end()) Raise(VELDOR_NOSUCHFILTER);
  (*it)->ReplaceTree(std::move(tree));
  // A later filter built on the old expression's verdicts would still drop what only it dropped.
  if (builtOnEarlierFilters(size_t(it - filters_.begin()) + 1))
    BuildAllFilterBitmaps();
  else
    BuildFilterBitmap(**it);
  CombineFilterBitmaps();
  RebuildView();
  Resync();
}

// ---- Bitmaps ----

void TDataCursor::UpdateFilterState() {
  // The view bitmap is the filters' while one is active; record-number order has its own.
  const bool was = bitmapView_;
  bitmapView_ = std::any_of(filters_.begin(), filters_.end(), [](const auto& f) { return f->Active(); });
  if (!bitmapView_ && !IsRemote()) {
    rangeBitmap_.SetSize(0);
    usedRecordsBitmap_.SetSize(0);
    if (was && active_) RebuildView();
  }
}

void TDataCursor::prepareBitmaps(bool& restart) {
  const uint32_t slots = table_->DataFile().GetLastRecordNumber();
  viewBitmap_.SetSize(slots);
  BuildRangeBitmap(restart);
  if (!restart) BuildUsedRecordsBitmap(restart);
}

void TDataCursor::BuildFilterBitmap(TFilter& filter) {
  if (filterBusy_ || rangeBusy_ || !filter.Active() || IsRemote()) return;
  if (viewBitmap_.Count() == 0) return BuildAllFilterBitmaps();
  filterBusy_ = true;
  ScopeExit idle([&] { filterBusy_ = false; });
  for (bool restart = true; restart;) {
    restart = false;
    prepareBitmaps(restart);
    if (restart) continue;
    TRecordsBitmap& bitmap = *filter.Bitmap();
    bitmap.Assign(usedRecordsBitmap_);
    if (filter.OptimizeLevel() != 2 && filter.AfterOthers()) {
      for (const auto& other : filters_) {
        if (other.get() == &filter) break;
        if (other->Active()) bitmap.AndBitmap(*other->Bitmap());
      }
    }
    filter.BuildBitmap(restart);
  }
}

void TDataCursor::BuildAllFilterBitmaps() {
  if (filterBusy_ || rangeBusy_ || IsRemote()) return;
  filterBusy_ = true;
  ScopeExit idle([&] { filterBusy_ = false; });
  for (bool restart = true; restart;) {
    restart = false;
    prepareBitmaps(restart);
    if (restart || table_->DataFile().GetLastRecordNumber() == 0) continue;
    for (size_t i = 0; i < filters_.size() && !restart; ++i) {
      TFilter& filter = *filters_[i];
      if (!filter.Active()) continue;
      TRecordsBitmap& bitmap = *filter.Bitmap();
      bitmap.Assign(usedRecordsBitmap_);
      if (filter.OptimizeLevel() != 2 && filter.AfterOthers())
        for (size_t j = 0; j < i; ++j)
          if (filters_[j]->Active()) bitmap.AndBitmap(*filters_[j]->Bitmap());
      filter.BuildBitmap(restart);
    }
  }
  filterViewStale_ = false;
}

void TDataCursor::CombineFilterBitmaps() {
  if (filterBusy_ || rangeBusy_ || !bitmapView_ || IsRemote()) return;
  const uint32_t slots = table_->DataFile().GetLastRecordNumber();
  if (slots < 1) {
    visibleCount_ = 0;
    return;
  }
  if (usedRecordsBitmap_.Count() != slots) {
    bool restart = false;
    prepareBitmaps(restart);
  }
  viewBitmap_.Assign(usedRecordsBitmap_);
  if (rangeSet_) viewBitmap_.AndBitmap(rangeBitmap_);
  for (const auto& f : filters_)
    if (f->Active()) viewBitmap_.AndBitmap(*f->Bitmap());
  visibleCount_ =
      filters_.empty() && !rangeSet_ ? table_->IndexFile().GetRecordCount() : viewBitmap_.CountSet();
}

void TDataCursor::combineFilterBit(uint32_t recordNo) {
  if (filterBusy_ || rangeBusy_ || !bitmapView_ || IsRemote()) return;
  const uint32_t slots = table_->DataFile().GetLastRecordNumber();
  bool inStep = recordNo >= 1 && recordNo <= slots && viewBitmap_.Count() == slots &&
                usedRecordsBitmap_.Count() == slots && (!rangeSet_ || rangeBitmap_.Count() >= recordNo);
  for (const auto& f : filters_)
    if (f->Active() && f->Bitmap()->Count() < recordNo) inStep = false;
  if (!inStep) return CombineFilterBitmaps();
  bool shown = usedRecordsBitmap_.GetBit(recordNo) && (!rangeSet_ || rangeBitmap_.GetBit(recordNo));
  for (const auto& f : filters_)
    if (shown && f->Active()) shown = f->Bitmap()->GetBit(recordNo);
  const bool was = viewBitmap_.GetBit(recordNo);
  if (shown && !was) {
    viewBitmap_.SetBit(recordNo);
    ++visibleCount_;
  } else if (!shown && was) {
    viewBitmap_.ClearBit(recordNo);
    --visibleCount_;
  }
  if (filters_.empty() && !rangeSet_) visibleCount_ = table_->IndexFile().GetRecordCount();
}

void TDataCursor::refreshFilterView() {
  if (!bitmapView_ || IsRemote()) return;
  // Index walks take the read pair; a read this call took ends with it.
  ReadScope scope(*this);
  BeginRead();
  const uint32_t slots = table_->DataFile().GetLastRecordNumber();
  if (filterViewStale_ || usedRecordsBitmap_.Count() != slots) BuildAllFilterBitmaps();
  // The range may have moved since: it bounds the filters' records only when they are combined.
  bool restart = false;
  BuildRangeBitmap(restart);
  CombineFilterBitmaps();
}

const TRecordsBitmap& TDataCursor::CombinedBitmap() {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  ReadScope scope(*this);
  SyncWithTable();
  // The read pair first: it brings the table's counts up to another process's writes.
  BeginRead();
  refreshFilterView();
  return viewBitmap_;
}

// ---- Upkeep ----

void TDataCursor::FilterRecordChanged(uint32_t recordNo, const uint8_t* buffer) {
  if (!bitmapView_ || IsRemote() || filterBusy_ || filterViewStale_) return;
  ReadScope scope(*this);
  const uint32_t slots = table_->DataFile().GetLastRecordNumber();
  for (TRecordsBitmap* b : {&viewBitmap_, &rangeBitmap_, &usedRecordsBitmap_})
    if (b->Count() < slots) b->SetSize(slots);
  usedRecordsBitmap_.SetBit(recordNo);
  for (const auto& f : filters_) {
    if (!f->Active()) continue;
    f->Bitmap()->SetSize(std::max(f->Bitmap()->Count(), slots));
    f->RecordChanged(recordNo, buffer);
  }
  combineFilterBit(recordNo);
}

void TDataCursor::FilterRecordDeleted(uint32_t recordNo) {
  if (!bitmapView_ || IsRemote() || filterBusy_ || filterViewStale_) return;
  ReadScope scope(*this);
  if (recordNo > usedRecordsBitmap_.Count()) return;
  if (rangeSet_ && recordNo <= rangeBitmap_.Count()) rangeBitmap_.ClearBit(recordNo);
  usedRecordsBitmap_.ClearBit(recordNo);
  for (const auto& f : filters_)
    if (f->Active()) f->RecordDeleted(recordNo);
  combineFilterBit(recordNo);
}

// ---- Evaluation ----

void TDataCursor::FetchExpressionColumn(void* record, void* cursor, TExpToken& result) {
  TDataCursor& c = *static_cast<TDataCursor*>(cursor);
  const RecordView& view = *static_cast<const RecordView*>(record);
  if (result.fieldNo & kComputedFieldMark) {
    const uint16_t at = uint16_t(result.fieldNo & ~kComputedFieldMark);
    if (at < 1 || at > c.FieldCount() || !c.fields_[at - 1u].tree) c.Raise(VELDOR_OUTOFRANGE);
    const TCursorField& f = c.fields_[at - 1u];
    result.SetValueSize(std::max<uint32_t>(f.desc.StoredSize(), 1));
    std::memset(result.Value(), 0, result.ValueCapacity());
    // An expression that reaches a computed field again (a damaged description) reads NULL.
    if (c.computingColumn_) {
      result.isNull = true;
      return;
    }
    c.computingColumn_ = true;
    ScopeExit reset([&] { c.computingColumn_ = false; });
    std::vector<uint8_t> image(c.recordSize_, 0);
    c.computeField(f, view.record, image.data());
    bool isNull = false;
    ReadFieldValue(f.desc, image.data(), isNull, result.Value());
    result.isNull = isNull;
    return;
  }
  uint16_t position = 0;
  const TFieldDescriptor* field = c.table_->DataFile().FindFieldByNumber(result.fieldNo, position);
  if (!field) c.Raise(VELDOR_OUTOFRANGE);
  if (field->IsBlob()) return c.fetchBlobColumn(position, view.record, result);
  result.SetValueSize(std::max<uint32_t>(field->StoredSize(), 1));
  std::memset(result.Value(), 0, result.ValueCapacity());
  bool isNull = false;
  ReadFieldValue(*field, view.record, isNull, result.Value());
  result.isNull = isNull;
  // A NULL value reads as zero bytes (the empty text), whatever the record still holds there.
  if (isNull) std::memset(result.Value(), 0, result.ValueCapacity());
}

void TDataCursor::fetchBlobColumn(uint16_t position, const uint8_t* record, TExpToken& result) {
  std::vector<uint8_t> value;
  result.isNull = !ReadBlobValue(position, true, record, value);
  result.SetValueSize(uint32_t(value.size()) + 1);
  std::memset(result.Value(), 0, result.ValueCapacity());
  if (!value.empty()) std::memcpy(result.Value(), value.data(), value.size());
}

void TDataCursor::computeField(const TCursorField& f, const uint8_t* record, uint8_t* buffer) {
  RecordView view{record};
  const uint8_t* evaluated = evaluatedRecord_;
  evaluatedRecord_ = record;
  ScopeExit reset([&] { evaluatedRecord_ = evaluated; });
  TExpTreePtr result(
      EvaluateExpTree(f.tree.get(), this, &view, sortId_, languageId_, &FetchExpressionColumn));
  if (result->isNull) return WriteFieldValue(f.desc, buffer, nullptr, false, true);
  std::array<uint8_t, kValueBufferSize> value{};
  std::memcpy(value.data(), result->Value(), std::min<size_t>(result->ValueCapacity(), value.size()));
  const bool converted =
      ConvertValue(result->type, result->valueSize, result->scale, TEngineFieldType(f.desc.Type()),
                   f.desc.StoredSize(), f.desc.StoredScale(), value);
  WriteFieldValue(f.desc, buffer, converted ? value.data() : nullptr, false, true);
}

bool TDataCursor::EvaluateFilterRecord(uint32_t recordNo, const uint8_t* buffer, TFilter& filter) {
  if (filter.IsCallback()) return filter.Callback()(filter.CallbackData(), *this, buffer, recordNo);
  if (!filter.Tree()) return true;
  return evaluateNode(buffer, filter.Tree());
}

bool TDataCursor::evaluateNode(const uint8_t* buffer, const TExpToken* node) {
  RecordView view{buffer};
  const uint8_t* evaluated = evaluatedRecord_;
  evaluatedRecord_ = buffer;
  ScopeExit reset([&] { evaluatedRecord_ = evaluated; });
  TExpToken* result = EvaluateExpTree(node, this, &view, sortId_, languageId_, &FetchExpressionColumn);
  const bool pass =
      !result->isNull && result->type == TEngineFieldType::Boolean && GetWordValue(result->Value()) != 0;
  PutExpToken(result);
  return pass;
}

void TDataCursor::EvaluateBitmapRecords(TRecordsBitmap& bitmap, TFilter& filter, const TExpToken* node,
                                        uint8_t mode, bool& restart) {
  restart = false;
  if (mode != opAnd) bitmap.SetAll();
  // Only records in use are read: bits of free slots are cleared here.
  bitmap.AndBitmap(usedRecordsBitmap_);
  // The records are read a run of slots at a time, from the first member to the last within
  // kScanBytes, past the cache: a scan would only push out what the cursor uses.
  TDataFile& data = table_->DataFile();
  const uint32_t size = data.GetRecordSize();
  const uint32_t most = uint32_t(std::max<size_t>(1, kScanBytes / size));
  std::vector<uint8_t> images;
  // A callback is handed a record buffer of the cursor's size.
  std::vector<uint8_t> image(filter.IsCallback() ? std::max<size_t>(recordSize_, size) : 0);
  // The tree is prepared for evaluation once; each record is then tested on it where it lies.
  std::optional<ExpCondition> condition;
  if (!filter.IsCallback() && node)
    condition.emplace(*node, sortId_, languageId_, &FetchExpressionColumn, &locateExpressionColumn, this);
  RecordView view{nullptr};
  ScopeExit reset([&] { evaluatedRecord_ = nullptr; });
  uint32_t first = 0;
  int64_t position = 0;
  while (bitmap.FindNext(first, 1, position)) {
    // The run ends at the last member within `most` slots.
    uint32_t last = uint32_t(std::min<uint64_t>(uint64_t(first) + most, uint64_t(bitmap.Count()) + 1));
    int64_t ignored = 0;
    bitmap.FindPrior(last, 1, ignored);
    assert(last >= first && last - first < most && bitmap.GetBit(last));
    const uint32_t count = last - first + 1;
    if (!data.ReadRecordImages(this, first, count, images) &&
        !data.ReadRecordImages(this, first, count, images))
      Raise(VELDOR_FILECORRUPT);
    // The members of the run, a word of the bitmap at a time.
    for (uint32_t w = (first - 1) / 32; w <= (last - 1) / 32; ++w) {
      const uint32_t base = w * 32 + 1;
      uint32_t bits = bitmap.Word(w);
      if (first > base) bits &= ~0u << (first - base);
      if (last < base + 31) bits &= ~0u >> (base + 31 - last);
      for (; bits != 0; bits &= bits - 1) {
        const uint32_t recordNo = base + uint32_t(std::countr_zero(bits));
        const uint8_t* record = images.data() + size_t(recordNo - first) * size;
        bool pass = true;
        if (filter.IsCallback()) {
          std::memcpy(image.data(), record, size);
          pass = filter.Callback()(filter.CallbackData(), *this, image.data(), recordNo);
        } else if (condition) {
          evaluatedRecord_ = view.record = record;
          pass = condition->Holds(record, this, &view);
          evaluatedRecord_ = nullptr;
        }
        if (!pass) bitmap.ClearBit(recordNo);
      }
    }
    first = last;
  }
}

}  // namespace engine
