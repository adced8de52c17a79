#include "engine/sql/veldorsq.h"

#include <algorithm>
#include <utility>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorfilter.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "engine/values/veldorexpcheck.h"
#include "engine/values/veldorexpeval.h"

namespace engine::sql {

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return folded;
}

// ---- Clause objects ----

void TResultField::SetColumnName(std::string_view name) {
  if (ColumnName != name) ColumnName = EngineString(name);
  if (Alias.empty() && name != "*") Alias = ColumnName;
}

void TCreateField::ApplyDataType(uint16_t position) {
  const TExpToken* node = Tree.get();
  if (!node) return;
  Name = node->columnName;
  if (node->left) {
    OldName = Name;
    node = node->left;
    Name = node->columnName;
  }
  Type = node->type;
  SubType = node->subType;
  if (Type == TEngineFieldType::String)
    Size = uint8_t(node->valueSize > 0 ? node->valueSize - 1 : 0);
  else if (Type == TEngineFieldType::Bytes || Type == TEngineFieldType::VarBytes)
    Size = uint8_t(node->valueSize);
  else if (Type == TEngineFieldType::BCD)
    Size = node->scale;
  Scale = node->scale;
  Position = position;
}

void TCreateIndex::BuildColumnList() {
  Columns.clear();
  for (const auto& node : ColumnNodes)
    Columns.push_back(node->kind == expConstant ? std::string(node->Text()) : node->columnName);
}

void AndCondition(TExpTreePtr& tree, TExpToken* condition) {
  if (!tree) {
    tree.reset(condition);
    return;
  }
  TExpToken* both = GetExpToken();
  both->kind = expBinary;
  both->code = opAnd;
  both->name = "AND";
  both->type = TEngineFieldType::Boolean;
  both->left = tree.release();
  both->right = condition;
  both->left->parent = both;
  if (condition) condition->parent = both;
  tree.reset(both);
}

bool ReplaceByRemainder(TExpToken*& node, bool leftGone, bool rightGone) {
  if (!leftGone && !rightGone) return false;
  TExpToken* shell = node;
  TExpToken* keep = leftGone ? shell->right : shell->left;
  if (leftGone && rightGone) keep = nullptr;
  shell->left = shell->right = nullptr;
  if (keep) keep->parent = shell->parent;
  PutExpToken(shell);
  node = keep;
  return node == nullptr;
}

// ---- Joins ----

namespace {

bool isComparison(const TExpToken& node) {
  return node.kind == expBinary && node.code >= opEqual && node.code <= opLessEqual;
}

uint8_t mirroredOperator(uint8_t code) {
  switch (code) {
    case opGreater:
      return opLess;
    case opLess:
      return opGreater;
    case opGreaterEqual:
      return opLessEqual;
    case opLessEqual:
      return opGreaterEqual;
    default:
      return code;
  }
}

std::string_view operatorName(uint8_t code) {
  switch (code) {
    case opEqual:
      return "=";
    case opNotEqual:
      return "<>";
    case opGreater:
      return ">";
    case opLess:
      return "<";
    case opGreaterEqual:
      return ">=";
    default:
      return "<=";
  }
}

void mirror(TExpToken& node) {
  std::swap(node.left, node.right);
  node.code = mirroredOperator(node.code);
  node.name = operatorName(node.code);
}

// Whether a column of `table` stands anywhere in the tree.
bool refersTo(const TExpToken* node, const TSourceTable& table) {
  if (!node) return false;
  if (node->kind == expColumn && node->sourceTable == &table) return true;
  if (refersTo(node->left, table) || refersTo(node->right, table) || refersTo(node->third, table))
    return true;
  return std::any_of(node->args.begin(), node->args.end(),
                     [&](const TExpToken* a) { return refersTo(a, table); });
}

TExpToken* newNodeLike(const TExpToken& node) {
  TExpToken* copy = GetExpToken();
  copy->Assign(node);
  copy->parent = copy->left = copy->right = copy->third = nullptr;
  copy->args.clear();
  return copy;
}

}  // namespace

bool KeepsOwnType(TEngineFieldType inner, TEngineFieldType outer) {
  using T = TEngineFieldType;
  bool integer = inner == T::SmallInt || inner == T::Integer || inner == T::Word || inner == T::LargeInt;
  // A FLOAT meets a BCD column as the column's type when it converts exactly (1.23 at two places),
  // which EvaluateAsTypeOf decides value by value: compared as the scaled value against the
  // float times 10,000, 1.23 would not equal 1.23.
  return (integer && (outer == T::Float || outer == T::BCD || outer == T::LargeInt)) ||
         (inner == T::Date && outer == T::Timestamp);
}

TTableJoin::TTableJoin(TSourceTable& owner, uint8_t kind, TSourceTable& inner, TExpToken* condition)
    : Owner(owner), Kind(kind), Inner(inner), Condition(condition) {}

TTableJoin::~TTableJoin() {
  if (Filter && Inner.Cursor) Inner.Cursor->DropFilter(Filter);
}

void TTableJoin::AddCondition(uint8_t kind, TExpToken* condition) {
  if (Kind == jkNone) {
    Kind = kind;
    Condition.reset(condition);
    return;
  }
  AndCondition(Condition, condition);
}

void TTableJoin::MirrorCondition() {
  std::vector<TExpToken*> pending{Condition.get()};
  while (!pending.empty()) {
    TExpToken* node = pending.back();
    pending.pop_back();
    if (!node) continue;
    if (node->kind == expUnary) {
      pending.push_back(node->left);
    } else if (isComparison(*node)) {
      mirror(*node);
    } else if (node->kind == expBinary) {
      pending.push_back(node->left);
      pending.push_back(node->right);
    }
  }
}

void TTableJoin::ApplyFilter() {
  TDataQuery& query = Owner.Owner;
  auto constantOf = [&](const TExpToken& typeNode, const TExpToken& node) {
    return EvaluateAsTypeOf(typeNode, node, nullptr, ReadSourceColumn, query.SortId, query.LanguageId);
  };
  if (indexRange_ && aimKeyRange()) return;
  // A comparison whose outer side the inner column's type would cut (1.5 to 1, a time of day
  // off a timestamp) cannot become a filter on the inner column: the whole condition is then
  // tested on each joined row, in the wider type, as WHERE tests it.
  if (wide()) {
    DropFilter();
    Inner.RowCheck = Condition.get();
    return;
  }
  Inner.RowCheck = nullptr;
  // The filter reads the inner table only: whatever does not refer to it is the outer row's
  // value now, taken as a constant.
  auto build = [&](auto& self, const TExpToken* node) -> TExpToken* {
    if (!node) return nullptr;
    TExpTreePtr copy(newNodeLike(*node));
    if (node->kind == expUnary) {
      copy->left = self(self, node->left);
    } else if (isComparison(*node) && !refersTo(node, Inner)) {
      // A test of the outer row alone is a constant for this row.
      return constantOf(*node, *node);
    } else if (isComparison(*node) && refersTo(node->left, Inner) && refersTo(node->right, Inner)) {
      return CopyExpTree(node);
    } else if (isComparison(*node)) {
      bool innerLeft = refersTo(node->left, Inner) && !refersTo(node->right, Inner);
      const TExpToken* innerSide = innerLeft ? node->left : node->right;
      const TExpToken* outerSide = innerLeft ? node->right : node->left;
      copy->left = CopyExpTree(innerSide);
      copy->right = constantOf(*innerSide, *outerSide);
      if (!innerLeft) {
        copy->code = mirroredOperator(node->code);
        copy->name = operatorName(copy->code);
      }
    } else if (node->kind == expBinary) {
      copy->left = self(self, node->left);
      copy->right = self(self, node->right);
    } else if (node->kind == expFunction || node->kind == expPredicate) {
      for (const TExpToken* arg : node->args) {
        TExpToken* a = nullptr;
        if (arg) a = refersTo(arg, Inner) ? self(self, arg) : constantOf(*arg, *arg);
        copy->args.push_back(a);
      }
    } else {
      copy->left = CopyExpTree(node->left);
      copy->right = CopyExpTree(node->right);
    }
    for (TExpToken* child : {copy->left, copy->right})
      if (child) child->parent = copy.get();
    for (TExpToken* arg : copy->args)
      if (arg) arg->parent = copy.get();
    return copy.release();
  };
  TExpTreePtr tree(build(build, Condition.get()));
  if (lookUp(tree)) return;
  if (!Filter) {
    Filter = Inner.Cursor->AddFilter(nullptr, nullptr, tree.get(), true, nullptr, false, false, false, false);
    tree.release();
    Inner.Cursor->ActivateFilter(Filter);
  } else {
    Inner.Cursor->ReplaceFilterExpression(std::move(tree), Filter);
  }
}

bool TTableJoin::wide() const {
  std::vector<const TExpToken*> pending{Condition.get()};
  while (!pending.empty()) {
    const TExpToken* node = pending.back();
    pending.pop_back();
    if (!node) continue;
    if (isComparison(*node)) {
      bool innerLeft = refersTo(node->left, Inner) && !refersTo(node->right, Inner);
      const TExpToken* innerSide = innerLeft ? node->left : node->right;
      const TExpToken* outerSide = innerLeft ? node->right : node->left;
      if (innerSide && outerSide && KeepsOwnType(innerSide->type, outerSide->type)) return true;
    }
    pending.push_back(node->left);
    pending.push_back(node->right);
    for (const TExpToken* arg : node->args) pending.push_back(arg);
  }
  return false;
}

void TTableJoin::DropFilter() {
  if (!Filter) return;
  TFilter* filter = Filter;
  Filter = nullptr;
  Inner.Cursor->DropFilter(filter);
}

bool TTableJoin::Step() {
  if (Kind != jkNone) ApplyFilter();
  return Inner.FirstMatch(Kind) || Kind == jkLeftOuter;
}

// ---- Source tables ----

TSourceTable::TSourceTable(TDataQuery& owner) : Owner(owner) {}

TSourceTable::~TSourceTable() {
  Joins.clear();
  Cursor.reset();
  if (Directory && !Owner.Owner.Detached()) Owner.Owner.Session().CloseDataDirectory(Directory);
}

void TSourceTable::SetTableName(std::string_view text) {
  if (Cursor && Cursor->Active()) return;
  if (text == TableText && !TableText.empty()) return;
  TableText = EngineString(text);
  TableName = ExtractFileBaseName(text, ".DAT");
  if (InMemory) {
    DirectoryName = "Memory";
  } else if (!IsPathName(text)) {
    DirectoryName = Owner.Owner.DatabaseName();
  } else {
    size_t at = text.find_last_of("/\\:");
    std::string path = ExcludeTrailingPathDelimiter(text.substr(0, at + 1));
    if (Owner.Owner.Session().IsRemote()) path = StripPathDelimiters(path);
    DirectoryName = path;
  }
  if (CorrelationName.empty()) SetCorrelationName(TableName);
}

void TSourceTable::SetCorrelationName(std::string_view name) {
  if (Cursor && Cursor->Active()) return;
  CorrelationName = FoldName(EngineString(name));
}

void TSourceTable::Open(TPasswordCallback callback, bool writable, TDataCursor::TOpenIndexChooser chooser,
                        bool countOnly) {
  TDataSession& session = Owner.Owner.Session();
  // The folder as the hooks leave it; copied only where a hook is called.
  std::string folder;
  const bool pathName = !InMemory && IsPathName(TableText);
  if (InMemory) {
    std::string database = "Memory";
    session.CallDatabaseNameHook(database);
    Directory = session.OpenDataDirectory(database, "");
  } else if (!pathName) {
    // A bare name lives in the statement's own database, whatever its folder or name.
    TDataDirectory& database = Owner.Owner.Database();
    Directory = session.OpenDataDirectory(database.Name(), database.Path());
  } else {
    std::string name = TableName;
    folder = DirectoryName;
    session.CallDatabaseDirectoryHook(name, folder);
    Directory = session.OpenDataDirectory(folder, folder);
  }
  if (session.IsRemote()) {
    if (!pathName) folder = DirectoryName;
    uint8_t flag = 0;
    session.CallDatabaseOpenedHook(folder, flag);
  }
  Cursor = std::make_unique<TDataCursor>(*Directory);
  Cursor->SetTableName(TableName);
  Cursor->SetReadOnly(!writable);
  Cursor->SetExclusive(false);
  // The in-memory database (no folder) holds its bare names in memory too.
  Cursor->SetInMemory(InMemory || (Directory->Path().empty() && FoldName(Directory->Name()) == "MEMORY"));
  Cursor->SetQuerySource(true);
  // Every read of a statement's source places the cursor first (a scan's SetToBegin, a key
  // search): the open reads no row.
  Cursor->SetOpenUnplaced(true);
  Cursor->SetPasswordCallback(std::move(callback));
  Cursor->SetOpenIndexChooser(std::move(chooser));
  Cursor->SetOpenForCount(countOnly);
  Cursor->Open();
  CountOnly = countOnly && !Cursor->IsRemote();
  // A live result hands this cursor to the user, whose own opens of it place it.
  Cursor->SetOpenUnplaced(false);
  Cursor->SetOpenForCount(false);
  Cursor->SetPasswordCallback(nullptr);
  Cursor->SetOpenIndexChooser(nullptr);
  RecordSize = 0;
  RecordBuffer.clear();
}

uint16_t TSourceTable::FieldCount() const {
  return Cursor && Cursor->Active() ? Cursor->Table()->DataFile().GetFieldCount() : 0;
}

const TFieldDescriptor& TSourceTable::FieldDesc(uint16_t fieldNo) const {
  return Cursor->GetTableFieldDesc(fieldNo);
}

namespace {

char foldedChar(char c) {
  return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

// Equal as FoldName makes them.
bool sameFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return foldedChar(x) == foldedChar(y); });
}

}  // namespace

uint16_t TSourceTable::GetFieldNumber(std::string_view name) const {
  if (!Cursor || !Cursor->Active()) return 0;
  const std::span<const TFieldDescriptor> fields = Cursor->Table()->DataFile().FieldDescriptors();
  const size_t count = std::min<size_t>(FieldCount(), fields.size());
  // Compared as FoldName compares, on the stored names in place: most differ in length. A table's
  // names differ ignoring case, so where the search starts does not change what it finds.
  const size_t start = lastFieldFound_ < count ? lastFieldFound_ : 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = start + i < count ? start + i : start + i - count;
    if (sameFolded(fields[at].NameView(), name)) {
      lastFieldFound_ = uint16_t(at + 1);
      return uint16_t(at + 1);
    }
  }
  return 0;
}

void TSourceTable::AllocRecordBuffer() {
  RecordSize = Cursor->RecordSize();
  RecordBuffer.assign(RecordSize, 0);
}

void TSourceTable::FreeRecordBuffer() {
  RecordBuffer.clear();
  RecordBuffer.shrink_to_fit();
  RecordSize = 0;
}

void TSourceTable::AddJoin(uint8_t kind, TExpToken* condition, TSourceTable& inner) {
  for (auto& join : Joins) {
    if (&join->Inner == &inner && (join->Kind == kind || join->Kind == jkNone)) {
      join->AddCondition(kind, condition);
      return;
    }
  }
  Joins.push_back(std::make_unique<TTableJoin>(*this, kind, inner, condition));
}

void TSourceTable::SetJoinDepth() {
  // Along joins with a kind only: the planning keeps those free of cycles, while the links
  // without a condition may lead back.
  for (auto& join : Joins) {
    if (join->Kind == jkNone) continue;
    join->Inner.JoinDepth = uint16_t(JoinDepth + 1);
    join->Inner.SetJoinDepth();
  }
}

bool TSourceTable::HasJoinTo(const TSourceTable& inner) const {
  return std::any_of(Joins.begin(), Joins.end(),
                     [&](const auto& join) { return join->Kind != jkNone && &join->Inner == &inner; });
}

void TSourceTable::First() {
  if (Feed)
    Feed->rewind();
  else
    Cursor->SetToBegin();
  Next();
}

void TSourceTable::Next() {
  if (RecordBuffer.size() < Cursor->RecordSize()) AllocRecordBuffer();
  if (Feed) {
    AtEnd = !Feed->NextLookupRow();
    return;
  }
  for (;;) {
    if (SkipTest && SkipBudget != 0)
      Passed += Cursor->SkipHeldRecords(SkipTest, SkipData, std::exchange(SkipBudget, 0));
    uint16_t code = Cursor->GetNextRecord(RecordBuffer.data());
    AtEnd = code == VELDOR_EOF;
    if (AtEnd) return;
    RaiseEngineErrorIfSet(code);
    if (!RowCheck) return;
    TExpToken* value =
        EvaluateExpTree(RowCheck, nullptr, nullptr, Owner.SortId, Owner.LanguageId, ReadSourceColumn);
    bool passes = !value->isNull && value->Value()[0] != 0;
    FreeExpTree(value);
    if (passes) return;
  }
}

bool TSourceTable::FirstMatch(uint8_t kind) {
  First();
  if (AtEnd) {
    if (kind == jkLeftOuter)
      for (auto& join : Joins) join->Step();
    return false;
  }
  if (Joins.empty()) return true;
  for (; !AtEnd; Next())
    if (std::all_of(Joins.begin(), Joins.end(), [](auto& join) { return join->Step(); })) return true;
  return false;
}

bool TSourceTable::NextMatch(const std::function<bool()>& beforeStep) {
  if (!Joins.empty() && AdvanceJoin(int(Joins.size()) - 1)) return true;
  if (beforeStep && !beforeStep()) return false;
  if (Joins.empty()) {
    Next();
    return !AtEnd;
  }
  for (Next(); !AtEnd; Next())
    if (std::all_of(Joins.begin(), Joins.end(), [](auto& join) { return join->Step(); })) return true;
  return false;
}

bool TSourceTable::AdvanceJoin(int index) {
  if (index < 0) return false;
  TTableJoin& join = *Joins[size_t(index)];
  if (join.Inner.NextMatch()) return true;
  if (!AdvanceJoin(index - 1)) return false;
  return join.Inner.FirstMatch(join.Kind) || join.Kind == jkLeftOuter;
}

void ReadCursorColumn(TDataCursor& cursor, uint8_t* record, TExpToken& result, bool tableFields) {
  const TFieldDescriptor& d =
      tableFields ? cursor.GetTableFieldDesc(result.fieldNo) : cursor.GetFieldDesc(result.fieldNo);
  result.ReserveValue(std::max<size_t>(d.StoredSize(), kExpValueSize));
  TDataCursor::ReadFieldValue(d, record, result.isNull, result.Value());
  if (!d.IsBlob() || result.isNull) return;
  auto check = [&](uint16_t code) {
    if (code) SignalTableError(code, cursor.TableName());
  };
  constexpr uint8_t kTag = 1;
  check(cursor.OpenBlob(result.fieldNo, record, 1, tableFields, kTag));
  uint32_t size = 0, read = 0;
  uint16_t code = cursor.GetBlobSize(result.fieldNo, record, size, tableFields);
  bool memo = d.SubType() == uint8_t(TEngineFieldSubType::Memo);
  if (!code) {
    result.SetValueSize(size + (memo ? 1 : 0));
    std::fill(result.Value(), result.Value() + result.valueSize, uint8_t(0));
    code = cursor.GetBlob(result.fieldNo, record, 0, result.Value(), int32_t(size), read, tableFields);
  }
  uint16_t freed = cursor.FreeBlob(result.fieldNo, record, tableFields, kTag);
  check(code);
  check(freed);
}

void ReadSourceColumn(void*, void*, TExpToken& result) {
  auto* table = static_cast<TSourceTable*>(result.sourceTable);
  if (!table || !table->Cursor || table->AtEnd || table->RecordBuffer.empty()) {
    result.isNull = true;
    return;
  }
  ReadCursorColumn(*table->Cursor, table->RecordBuffer.data(), result, true);
}

void ReadResultColumn(void*, void* query, TExpToken& result) {
  TDataCursor* cursor = static_cast<TDataQuery*>(query)->ResultCursor;
  if (!cursor || cursor->RecordBuffer().empty()) {
    result.isNull = true;
    return;
  }
  ReadCursorColumn(*cursor, cursor->RecordBuffer().data(), result);
}

// ---- Queries ----

TDataQuery::TDataQuery(TQueryStatement& owner) : Owner(owner) {}

TDataQuery::~TDataQuery() {
  for (TExpToken* node : outerWhole_) FreeExpTree(node);
  // Joins hold filters on other tables' cursors: they go before any cursor.
  for (auto& table : SourceTables) table->Joins.clear();
  resultCursor_.reset();
  if (resultDirectory_ && !Owner.Detached()) Owner.Session().CloseDataDirectory(resultDirectory_);
}

void TDataQuery::clearLists() {
  for (auto& table : SourceTables) table->Joins.clear();
  SourceTables.clear();
  ResultFields.clear();
  UpdateFields.clear();
  UpdateValues.clear();
  CreateFields.clear();
  CreateIndexes.clear();
  TextIndex.reset();
  OrderBy.clear();
  GroupBy.clear();
  for (auto& c : Conditions) c.reset();
  StopWords.clear();
}

void TDataQuery::Reset() {
  clearLists();
  IsSubQuery = false;
  Kind = qkNone;
  ElapsedSeconds = 0;
  RowsAffected = 0;
  MaxRowCount = -1;
  Distinct = HasAvg = CalculatedColumn = CalculatedBlobColumn = WhereRowCheck = JoinRowCheck = false;
  MultiTable = NoJoinOptimize = HasConditions = HavingGiven = OrderByGiven = OrderByOnIndex = false;
  OrderIndex = 255;
  OrderByNoCase = GroupByGiven = OrderBySatisfied = AllAggregate = CountStarOnly = Having = false;
  plan_ = {};
  Live = ResultOnSourceTable = InMemory = InsertFromSelect = HasOpenBlobs = WithLocks = false;
  TargetTableName.clear();
  IndexName.clear();
  DrivingTable = nullptr;
  SubSelectFilter = nullptr;
  Encrypted = false;
  Password.clear();
  LanguageId = SortId = 0;
  BlobBlockSize = 512;
  Description.clear();
  UserMajorVersion = 1;
  UserMinorVersion = 0;
  LastAutoInc = -1;
  NoAutoInc = NoBackup = false;
  CommitInterval = 0;
  CommitFlush = false;
  EncryptionGiven = LanguageGiven = SortGiven = BlobBlockSizeGiven = DescriptionGiven = MajorVersionGiven =
      MinorVersionGiven = CommitIntervalGiven = false;
  Top = -1;
  SelectQuery = nullptr;
  UnionKind = 0;
  UnionQuery = nullptr;
  unionTagged_ = unionTagPerRow_ = false;
  unionTagFieldNo_ = 0;
  unionTag_ = 0;
  IfExists = IfNotExists = FirstGroupRow = StopWordsGiven = SelectStar = false;
  SpaceChars.reset();
  IncludeChars.reset();
}

int TDataQuery::StatementClass() const {
  switch (Kind) {
    case qkSelect:
    case qkCreateTable:
    case qkCreateIndex:
      return 4;
    case qkInsert:
      return 1;
    case qkUpdate:
      return 2;
    case qkDelete:
      return 3;
    case qkAlterTable:
      return 5;
    case qkDropTable:
    case qkDropIndex:
      return 6;
    default:
      return 0;
  }
}

void TDataQuery::CallStatementHook() {
  Owner.Session().CallStatementHook(&Owner, StatementClass());
}

TSourceTable* TDataQuery::FindCorrelation(std::string_view name) const {
  // Compared as FoldName folds, in place.
  for (const auto& table : SourceTables)
    if (sameFolded(table->CorrelationName, name)) return table.get();
  return nullptr;
}

void TDataQuery::Parse(TExpressionParser&) {
  Parse(true, 0);
}

void TDataQuery::ApplySubSelectFilter(TExpToken& test) {
  if (!ResultCursor || !test.left || !test.right) return;
  TDataCursor& result = *ResultCursor;
  // The filter reads the result's column; the outer row's value is a constant for this row.
  TExpTreePtr column(newNodeLike(*test.right));
  column->kind = expColumn;
  column->sourceTable = nullptr;
  TExpTreePtr value(EvaluateAsTypeOf(*test.left, *test.left, nullptr, ReadSourceColumn, SortId, LanguageId));
  value->kind = expConstant;
  TExpTreePtr tree(newNodeLike(test));
  tree->kind = expBinary;
  tree->code = opEqual;
  tree->name = "=";
  tree->type = TEngineFieldType::Boolean;
  if (KeepsOwnType(column->type, value->type)) {
    // A value that the column's type would cut (1.5 against whole numbers) is compared in its
    // own type: it stands on the left.
    tree->left = value.release();
    tree->right = column.release();
  } else {
    TExpTreePtr converted(EvaluateAsTypeOf(*column, *value, nullptr, ReadSourceColumn, SortId, LanguageId));
    tree->left = column.release();
    tree->right = converted.release();
  }
  tree->left->parent = tree->right->parent = tree.get();
  if (!SubSelectFilter) {
    SubSelectFilter =
        result.AddFilter(nullptr, nullptr, tree.get(), true, nullptr, false, false, false, false);
    tree.release();
    result.ActivateFilter(SubSelectFilter);
  } else {
    result.ReplaceFilterExpression(std::move(tree), SubSelectFilter);
  }
}

int64_t TDataQuery::ResultRecordCount() {
  return ResultCursor ? ResultCursor->GetRecordCount() : 0;
}

}  // namespace engine::sql
