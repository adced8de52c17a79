// The engine's SQL statement model: one TDataQuery per parsed statement (the master, each UNION
// part and each sub-select), the clause objects its lists hold, the source tables with their
// name rules, the join links between them and the nested-loop stepping over joined tables; and
// the statement that owns the queries of one SQL text and its parser.
//
// Parsing (veldorsq_parse*.cpp) fills a query from the statement's parser; it raises
// EVELDOREngineError 11949 at the first offending token, and whatever it built so far stays in
// the query's lists, to be freed with the statement.
//
// Names: correlation names are folded to upper case once, where they are bound (a source
// table's correlation name, a column node's table name), so that every later comparison of two
// bound names is exact.
//
// A statement and its queries are used by one thread at a time.
#pragma once

#include <bitset>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/base/veldortypes.h"
#include "engine/tables/veldorcursor.h"
#include "engine/values/veldorexpparser.h"
#include "engine/values/veldorexpservices.h"
#include "engine/values/veldorexptoken.h"

namespace engine {
class ExpCondition;
class ExpValue;
}  // namespace engine

namespace engine::sql {

// Raises engine error 11949 with `message` as its text.
[[noreturn]] void SqlError(std::string_view message);

class TDataQuery;
class TQueryStatement;
class TSourceTable;

enum TQueryKind : uint8_t {
  qkNone = 0,
  qkSelect = 1,
  qkInsert = 2,
  qkUpdate = 3,
  qkDelete = 4,
  qkCreateTable = 5,
  qkAlterTable = 6,
  qkDropTable = 7,
  qkCreateIndex = 8,
  qkDropIndex = 9,
};

// The statement's condition trees (TDataQuery::Conditions).
enum TConditionSlot : uint8_t {
  csWhere = 0,     // WHERE, with each ON condition ANDed in; join conditions leave it at preparation
  csHaving = 1,    // HAVING, bound to the result columns
  csResidual = 2,  // disjunctions over several tables, tested on each joined row
  csPostJoin = 3,  // conjuncts no cursor filter may carry, built afresh from the plan by each run
  csCount = 4
};

// The two passes of the WHERE analysis (at preparation) around the choice of the driving table:
// the conjuncts an index serves first (their filters shrink the counts that choice compares), the
// others after.
enum THandDownPass : uint8_t { hpUnindexed = 0, hpIndexed = 1 };

enum TJoinKind : uint8_t { jkNone = 0, jkInner = 1, jkLeftOuter = 2, jkRightOuter = 3 };

enum TAggregateKind : uint8_t {
  akNone = 0,
  akSum = 1,
  akRunSum = 2,
  akMin = 3,
  akMax = 4,
  akAvg = 5,
  akCount = 6
};

// Source tables of one query (FROM items and joined tables).
inline constexpr size_t kMaxSourceTables = 256;
// Sub-selects and UNION parts within one statement, nested or chained.
inline constexpr int kMaxQueryNesting = 256;

// A correlation or table name as it is bound and compared: ASCII letters in upper case.
std::string FoldName(std::string_view name);
// Runs `step` over the tree that `owner` holds, by a pointer that the step may replace (or set
// to nullptr when it consumed the whole tree); `owner` holds what is left on every path.
template <typename Step>
auto WithTree(TExpTreePtr& owner, Step step) {
  TExpToken* tree = owner.release();
  struct Keep {
    TExpTreePtr& owner;
    TExpToken*& tree;
    ~Keep() { owner.reset(tree); }
  } keep{owner, tree};
  return step(tree);
}
// After the walk of a binary node's operands consumed one or both (they are nullptr): the node
// gives way to the operand that is left, or is freed with both. True when nothing is left.
bool ReplaceByRemainder(TExpToken*& node, bool leftGone, bool rightGone);
// The aggregate kind (akSum ...) of a function code, akNone for any other.
uint8_t AggregateKindOf(uint8_t code);
// `tree` becomes AND(tree, condition), or the condition when the tree is empty; takes the
// condition.
void AndCondition(TExpTreePtr& tree, TExpToken* condition);

// A sub-select anywhere in the tree (its rows come with the run, through a filter of its own).
bool HoldsSubSelect(const TExpToken* tree);

// The text of an expression tree, operands in parentheses, a join mark after a comparison ("#1").
std::string ExpTreeText(const TExpToken* tree);

// Where a WHERE conjunct is tested at each run.
enum TConjunctPlace : uint8_t {
  cpCursorFilter = 0,  // an engine filter on its table's cursor, set before any row is read
  cpPostJoin = 1,      // part of the post-join condition, tested on each joined row
};

// What Prepare decided for one query, as a value that Execute only reads: the source tables in
// join order (the first drives; each holds its joins), each WHERE conjunct with the place it is
// tested in, in the order a run puts them there (those an index serves first), the residual
// condition and HAVING, and the result (live on the source table, or a result table). The
// pointers are into the query and valid while it lives; the conjuncts are nodes of its WHERE
// tree, copied with the parameters' values at each run.
struct TQueryPlan {
  struct Conjunct {
    const TExpToken* Tree = nullptr;
    TSourceTable* Table = nullptr;  // nullptr for a post-join conjunct over several tables
    TConjunctPlace Place = cpCursorFilter;
  };
  uint8_t Kind = qkNone;
  std::vector<TSourceTable*> Order;
  std::vector<Conjunct> Conjuncts;
  const TExpToken* Residual = nullptr;
  const TExpToken* Having = nullptr;
  bool Live = false;
  TDataCursor* Result = nullptr;
  TSourceTable* Driving() const { return Order.empty() ? nullptr : Order.front(); }
  // One line: kind, then each table with its joins ("->B#1(cond)") and filters, then the
  // conditions and the result.
  std::string ToString() const;
};

class TResultField {
 public:
  explicit TResultField(TDataQuery& owner) : Owner(owner) {}
  // Stores the name when it differs; an empty alias takes a name other than "*".
  void SetColumnName(std::string_view name);

  TDataQuery& Owner;
  std::string ColumnName;
  std::string TableName;  // correlation name of a plain column, as written
  TSourceTable* SourceTable = nullptr;
  uint16_t SourceFieldNo = 0;
  TEngineFieldType ColumnType = TEngineFieldType::Unknown;
  TEngineFieldSubType ColumnSubType = TEngineFieldSubType::None;
  uint16_t ColumnSize = 0;
  uint8_t ColumnScale = 0;
  std::string Alias;
  bool Visible = true;
  uint16_t ResultFieldNo = 0;
  TEngineFieldType ResultType = TEngineFieldType::Unknown;
  uint8_t ResultScale = 0;
  // Type, subtype, size and scale of the column in a result table.
  TEngineFieldType StoredType = TEngineFieldType::Unknown;
  TEngineFieldSubType StoredSubType = TEngineFieldSubType::None;
  uint16_t StoredSize = 0;
  uint8_t StoredScale = 0;
  std::string ResultName;  // at most 30 characters, unique in the select list
  bool Expression = false;
  uint8_t AggregateKind = akNone;
  uint16_t AvgCountFieldNo = 0;
  bool CountStar = false;
  std::string ExpressionText;  // source text of an expression or expression aggregate
  TExpTreePtr Tree;
};

class TUpdateField {
 public:
  explicit TUpdateField(TDataQuery& owner) : Owner(owner) {}
  TDataQuery& Owner;
  std::string ColumnName;  // "*": every column in table order
  std::string TableName;
  TEngineFieldType ColumnType = TEngineFieldType::Unknown;
  TEngineFieldSubType ColumnSubType = TEngineFieldSubType::None;
  uint8_t ColumnSize = 0;
  uint8_t ColumnScale = 0;
  uint16_t FieldNo = 0;
  TExpTreePtr Tree;
};

class TUpdateValue {
 public:
  explicit TUpdateValue(TDataQuery& owner) : Owner(owner) {}
  TDataQuery& Owner;
  std::string Text;
  TExpTreePtr Tree;
};

class TCreateField {
 public:
  explicit TCreateField(TDataQuery& owner) : Owner(owner) {}
  // Takes name, type, subtype, size and scale from the data-type node and stores `position`. A
  // REDEFINE with a new definition (the node's left child) moves the name to OldName first.
  void ApplyDataType(uint16_t position);

  TDataQuery& Owner;
  std::string Name;
  std::string OldName;
  uint16_t FieldNo = 0;
  TEngineFieldType Type = TEngineFieldType::Unknown;
  TEngineFieldSubType SubType = TEngineFieldSubType::None;
  uint8_t Size = 0;
  uint8_t Scale = 0;
  std::string Description;
  bool DescriptionGiven = false;
  bool Required = false;
  bool RequiredGiven = false;
  uint8_t CharCase = 0;  // 0 NOCHANGE, 1 LOWER, 2 UPPER
  bool CharCaseGiven = false;
  std::string MinValue;
  bool MinGiven = false;
  std::string MaxValue;
  bool MaxGiven = false;
  std::string DefaultValue;
  bool DefaultGiven = false;
  bool Add = false;
  bool Redefine = false;
  bool Drop = false;
  uint16_t Position = 0;  // AT n; 0 = at the end
  std::string Text;       // source text of the definition
  TExpTreePtr Tree;       // the data-type node
};

class TCreateIndex {
 public:
  explicit TCreateIndex(TDataQuery& owner) : Owner(owner) {}
  // The column list again from the parsed column nodes: a column's name, or the text of a
  // quoted constant.
  void BuildColumnList();

  TDataQuery& Owner;
  std::string Name;
  std::vector<std::string> Columns;
  bool Descending = false;
  bool Unique = false;
  bool NoCase = false;
  uint8_t Compression = 0;  // 0 NONE, 1 DUPBYTE, 2 TRAILBYTE, 3 FULL
  bool Add = false;
  bool Redefine = false;
  bool Drop = false;
  std::vector<TExpTreePtr> ColumnNodes;
};

class TOrderByField {
 public:
  explicit TOrderByField(TDataQuery& owner) : Owner(owner) {}
  TDataQuery& Owner;
  std::string TableName;
  std::string ColumnName;
  int32_t ColumnNumber = 0;  // 1-based select-list position when given by number
  bool ByNumber = false;
  uint16_t ResultFieldNo = 0;
  bool Descending = false;
};

class TGroupByField {
 public:
  explicit TGroupByField(TDataQuery& owner) : Owner(owner) {}
  TDataQuery& Owner;
  std::string TableName;
  std::string ColumnName;
  int32_t ColumnNumber = 0;
  bool ByNumber = false;
  uint16_t ResultFieldNo = 0;
};

// The rows of a join's inner table, read once in a run together with the value of one column
// (the key), and looked up by a value of the key's type. Each row is the record as the inner
// cursor read it (within the cursor's own filters), and rows come in the cursor's order. Find
// gives at least every row whose key the engine's `=` finds equal to the value (NULL equal to
// NULL only), in that order; whoever reads them still tests the whole condition on each.
// Keys of the integer types, DATE, TIME, BOOLEAN, FLOAT, TIMESTAMP and text (compared under the
// cursor's locale); Supports says which.
class TJoinLookup {
 public:
  static bool Supports(TEngineFieldType type);
  // Reads the rows of `cursor` from its first, field `fieldNo` as the key. False, with nothing
  // kept, when they would take more than `maxBytes` or a key has no order (a FLOAT NaN).
  // Requires: Supports(the field's type), a local cursor without blob or computed fields.
  bool Build(TDataCursor& cursor, uint16_t fieldNo, size_t maxBytes);
  // The rows that may match `value` become the candidates (every row for nullptr); the next row
  // read is their first.
  void Find(const TExpToken* value);
  // Back to the first candidate.
  void Rewind() { at_ = begin_; }
  // The next candidate: its record number and record (RecordSize bytes); false past the last.
  bool Next(uint32_t& recordNo, const uint8_t*& record);
  size_t RowCount() const { return recordNos_.size(); }

 private:
  bool less(uint32_t a, uint32_t b) const;
  TEngineFieldType type_ = TEngineFieldType::Unknown;
  bool floating_ = false;  // numeric keys are doubles, else 64-bit integers
  uint16_t languageId_ = 0, sortId_ = 0;
  uint32_t recordSize_ = 0;
  std::vector<uint8_t> records_;     // the rows' records, in the cursor's order
  std::vector<uint32_t> recordNos_;  // and their record numbers
  // The keys by kind: each row's while the rows are read, then those of `sorted_` in its order.
  std::vector<int64_t> integers_;
  std::vector<double> doubles_;
  std::vector<std::string> texts_;
  std::vector<uint32_t> sorted_;  // rows with a key, by key and then row
  std::vector<uint32_t> nulls_;   // rows whose key is NULL, in order
  // The candidates: positions in `sorted_` or `nulls_` (`list_`), or every row (nullptr).
  const std::vector<uint32_t>* list_ = nullptr;
  size_t begin_ = 0, end_ = 0, at_ = 0;
};

// The index that finds the rows `column = value` of field `fieldNo` by one key search: where `=`
// compares the field's values as integers (the integer types, DATE, TIME; not BOOLEAN), the slot
// of the first ascending, named index whose first field it is, and not one that waits for a
// rebuild under a changed collation; kNoCurrentIndex otherwise. Its equal keys lie together and hold exactly
// the rows whose EqualityKeyValue is the value's.
uint8_t EqualityKeyIndex(TDataCursor& cursor, uint16_t fieldNo);
// A value of such a type (as stored, not NULL) as `=` compares it.
int64_t EqualityKeyValue(TEngineFieldType type, const uint8_t* value);
// Whether a value of `outer` type may lose part of itself in the `inner` type (1.5 against whole
// numbers): a comparison of the two then takes place in the value's own type. A FLOAT against a
// BCD is not among them: each value keeps its own type only where it does not convert exactly.
bool KeepsOwnType(TEngineFieldType inner, TEngineFieldType outer);

// A join of an outer table (the owner) to an inner one, with its condition and the filter that
// the condition puts on the inner cursor for the current outer row.
class TTableJoin {
 public:
  TTableJoin(TSourceTable& owner, uint8_t kind, TSourceTable& inner, TExpToken* condition);
  ~TTableJoin();
  TTableJoin(const TTableJoin&) = delete;
  TTableJoin& operator=(const TTableJoin&) = delete;

  // A join without a kind takes kind and condition. Otherwise the condition becomes one more
  // conjunct: AND(old, new). The caller hands over whole conjuncts (a disjunction is one), so
  // the AND is right whatever operator stood above the new condition in the source text.
  void AddCondition(uint8_t kind, TExpToken* condition);
  // Swaps the operands of every comparison (mirroring the operator) so that the inner table's
  // columns stand on the left.
  void MirrorCondition();
  // Puts the condition, with the outer row's values evaluated into constants, on the inner
  // cursor as an active expression filter (or re-aims the filter it already has). Where the
  // condition holds an equality `inner column = outer value` and the run steps more than one
  // outer row, the inner rows come instead from a lookup read once per run (no index serves the
  // column) or from that column's ascending index, key by key (an integer column), each row
  // tested with the same condition: the rows are those the filter passes.
  void ApplyFilter();
  void DropFilter();
  // Applies the filter (when the join has a kind) and looks for the inner table's first match;
  // a LEFT OUTER join without one still counts as matched.
  bool Step();

  // Whether a comparison of the condition would cut its outer value to the inner column's type.
  bool wide() const;
  // The lookup of this run goes (the next run may build its own).
  void DropLookup();
  // Reads the inner table's next row of the lookup that passes the condition into its record
  // buffer; false past the last.
  bool NextLookupRow();

  TSourceTable& Owner;
  uint8_t Kind = jkNone;  // 0 not yet a join, 1 INNER, 2 LEFT OUTER
  TSourceTable& Inner;
  TExpTreePtr Condition;
  TFilter* Filter = nullptr;

 private:
  // Takes the condition built for the current outer row; true when the lookup or the key range
  // reads the inner rows for it (the tree is then theirs), false to filter the cursor as before.
  bool lookUp(TExpTreePtr& tree);
  void buildLookup(TExpToken& tree);
  // An index whose first field is the join column, when one serves the join: the inner cursor
  // in that index finds each outer row's key and reads the entries that hold it, without a
  // filter over the whole table. False when no such index may serve.
  bool useIndexRange(uint16_t fieldNo);
  // Where the range is in use and the condition is only `key column = outer value`, aims the
  // range at the outer row's value without a filter tree being built for the row; false where
  // the row needs the general road (no such condition, a NULL value or one of another type).
  bool aimKeyRange();
  // Outer rows this run has stepped, and the lookup (or index range) with the filter that tests
  // its rows (not active on the cursor: it only evaluates).
  uint32_t steps_ = 0;
  uint32_t outerRows_ = 0;  // the driving table's rows when the run began
  bool lookupRefused_ = false;
  uint16_t keyFieldNo_ = 0;
  std::unique_ptr<TJoinLookup> lookup_;
  std::unique_ptr<TFilter> lookupFilter_;
  uint32_t lookupRecordNo_ = 0;
  bool indexRange_ = false;
  uint8_t savedIndex_ = 255;        // the inner cursor's index before the range's
  std::vector<uint8_t> keyRecord_;  // a record holding the outer row's key, to find it by
  int64_t rangeKey_ = 0;
  bool rangeAll_ = false;    // the whole index is read (a NULL key)
  bool rangeStart_ = false;  // the next read finds the key first
  bool keyDecides_ = false;  // the range's key equality is the whole condition: no row test
  // The condition's sides when it is only the key's equality (else null), found once per range.
  bool keySidesKnown_ = false;
  const TExpToken* keyColumn_ = nullptr;
  const TExpToken* keyValue_ = nullptr;
  // The next row read is the first of the outer row's.
  void rewind();
  friend class TSourceTable;
};

class TSourceTable final : public engine::TSourceTable {
 public:
  explicit TSourceTable(TDataQuery& owner);
  ~TSourceTable() override;
  TSourceTable(const TSourceTable&) = delete;
  TSourceTable& operator=(const TSourceTable&) = delete;

  // Table name and directory from `text`: the base name (folder and ".DAT" in any case removed)
  // in the directory "Memory" (MEMORY given), in the statement's database (a bare name), or in
  // the folder of a path ("/", "\" or ":" in the text). A still empty correlation name becomes
  // the base name. Nothing once the cursor is open.
  void SetTableName(std::string_view text);
  // Stores the name folded (FoldName). Nothing once the cursor is open.
  void SetCorrelationName(std::string_view name);
  // Opens the directory and a query-source cursor on the table; read-only unless `writable`. The
  // cursor opens in the index `chooser` picks, if one is given (TDataCursor::SetOpenIndexChooser).
  // With `countOnly`, a local table's cursor opens without a view (TDataCursor::SetOpenForCount)
  // and CountOnly is set: the statement reads nothing of the table but its count of live records.
  void Open(TPasswordCallback callback, bool writable, TDataCursor::TOpenIndexChooser chooser = nullptr,
            bool countOnly = false);
  // A source table's fields are its table's, by their place in the table, whatever field list
  // its cursor shows (a live result shows the select list). FieldCount is 0 while not open.
  uint16_t FieldCount() const;
  const TFieldDescriptor& FieldDesc(uint16_t fieldNo) const;
  // The field number of `name` (ignoring case), 0 when the table has none or is not open.
  uint16_t GetFieldNumber(std::string_view name) const;
  void AllocRecordBuffer();
  void FreeRecordBuffer();

  // Adds `condition` to the join with `inner` of this kind (or of none yet), or a new join.
  void AddJoin(uint8_t kind, TExpToken* condition, TSourceTable& inner);
  void SetJoinDepth();
  bool HasJoinTo(const TSourceTable& inner) const;
  // Type-checks each join condition as a WHERE condition (CheckCondition).
  void PrepareJoinConditions();

  // Nested-loop stepping: the table is matched when it stands on a row for which each of its
  // joins found a row. The cursor reads into the record buffer. `beforeStep` runs where this
  // table is about to leave its row, when nothing read of the match so far is still needed;
  // false from it ends the stepping (NextMatch gives false).
  void First();
  void Next();
  bool FirstMatch(uint8_t kind);
  bool NextMatch(const std::function<bool()>& beforeStep = {});
  bool AdvanceJoin(int index);

  // engine::TSourceTable
  TTextSearchTarget* TextSearchTarget() override { return nullptr; }

  TDataQuery& Owner;
  TDataDirectory* Directory = nullptr;
  std::unique_ptr<TDataCursor> Cursor;
  bool InMemory = false;
  uint16_t JoinDepth = 0;
  int32_t TableNumber = 0;
  std::string DirectoryName;
  std::string TableName;
  std::string TableText;        // the name as written
  std::string CorrelationName;  // folded
  uint32_t RecordSize = 0;
  std::vector<uint8_t> RecordBuffer;
  std::vector<std::unique_ptr<TTableJoin>> Joins;
  bool AtEnd = false;
  // Opened for its count of live records only: its cursor has no view to refresh or step through.
  bool CountOnly = false;
  // A join condition that each row must pass (the join's, when no filter can carry it).
  const TExpToken* RowCheck = nullptr;
  // The join whose lookup gives this table its rows in this run (see TJoinLookup), or nullptr
  // when the cursor does.
  TTableJoin* Feed = nullptr;
  // Rows that the query would let go without looking at them further (a row condition false, a
  // TOP that a row cannot enter), tested where the cursor holds them: Next passes over at most
  // SkipBudget of them before it reads a row (TDataCursor::SkipHeldRecords), and adds them to
  // Passed. Only for a table that steps its own cursor.
  TDataCursor::TRecordTest SkipTest = nullptr;
  const void* SkipData = nullptr;
  uint32_t SkipBudget = 0;
  int64_t Passed = 0;
  // The record number of the row in the record buffer.
  uint32_t CurrentRecordNo() const;

 private:
  // Where GetFieldNumber found the last name: statements list columns mostly in table order, so
  // the next look-up starts after it.
  mutable uint16_t lastFieldFound_ = 0;
};

// Reads a bound column node's value from its source table's record buffer (NULL while the table
// stands past its end; a blob read whole, a memo with its terminating zero): the column-value
// callback of join filters and of evaluations over the current joined row. Engine failures
// raise with the table as context.
void ReadSourceColumn(void* readerData2, void* readerData1, TExpToken& result);
// The same for a column of the query's (readerData1) result table, from the result cursor's
// record buffer.
void ReadResultColumn(void* readerData2, void* readerData1, TExpToken& result);
// Reads field result.fieldNo of `record` into `result` (a blob whole, a memo with its zero): the
// field of the cursor's list, or with `tableFields` the table's field at that place.
void ReadCursorColumn(TDataCursor& cursor, uint8_t* record, TExpToken& result, bool tableFields = false);
// a + b for a SUM's running total; a total past the 64-bit range raises the evaluator's numeric
// overflow instead of wrapping.
int64_t CheckedSum(int64_t a, int64_t b);
// Writes `value` into field `fieldNo` of `record`, converted to the field's type (a text only
// when it reads whole as a value of it); false when it does not convert. A blob is written
// through the cursor's blob operations, emptied first when `truncateBlob`.
// The text of field `fieldNo` of `record` in the engine's locale-free forms (a memo's text, a
// blob's bytes); false, with an empty text, for NULL.
bool ColumnText(TDataCursor& cursor, uint16_t fieldNo, uint8_t* record, std::string& text);
bool PutConvertedValue(TDataCursor& cursor, uint16_t fieldNo, uint8_t* record, const TExpToken& value,
                       bool truncateBlob);
// A value of `sourceType` (a text, a float, a currency's scaled value or a whole number, its
// bytes at the start of `buffer`, a text terminated) made the 34 bytes of a DECIMAL of `places`,
// in place, as INSERT and UPDATE assign it to such a column: a text read exactly, a number
// through its scaled value, rounded half to even once. False when the column cannot hold it
// (not a number, or beyond LargestDecimalText). `buffer` holds at least kValueBufferSize bytes.
bool AssignDecimal(TEngineFieldType sourceType, uint32_t sourceSize, uint8_t places,
                   std::span<uint8_t> buffer);
// The largest number a DECIMAL of `places` places holds, as text (its negative is the smallest):
// every read of a packed decimal goes through a 64-bit count of ten-thousandths.
std::string LargestDecimalText(uint8_t places);

class TDataQuery final : public engine::TDataQuery {
 public:
  explicit TDataQuery(TQueryStatement& owner);
  ~TDataQuery() override;
  TDataQuery(const TDataQuery&) = delete;
  TDataQuery& operator=(const TDataQuery&) = delete;

  // Every flag and option back to its initial value; lists emptied.
  void Reset();
  // Parses one statement from the statement parser's current token; nothing once executed. A
  // sub-query or UNION part must be a SELECT and leaves the token after it current.
  void Parse(bool isSubQuery, uint8_t unionKind);
  // The session's statement class code of the kind (SELECT, CREATE TABLE, CREATE INDEX 4;
  // INSERT 1; UPDATE 2; DELETE 3; ALTER TABLE 5; DROP TABLE, DROP INDEX 6); 0 for none.
  int StatementClass() const;
  // Bytes of result rows a SELECT holds in memory before it writes them in a table (the rest of
  // a larger result goes through the table). Returns the previous limit; for tuning and tests.
  static size_t SetHeldRowsLimit(size_t bytes);
  // Calls the session's statement hook with StatementClass.
  void CallStatementHook();

  // The source table whose correlation name is `name` (folded before comparing), or nullptr.
  TSourceTable* FindCorrelation(std::string_view name) const;

  // engine::TDataQuery
  int ResultColumnCount() override { return int(ResultFields.size()); }
  void MarkSubSelect() override { IsSubQuery = true; }
  void Parse(TExpressionParser& parser) override;
  bool BindColumnRef(TExpToken& node) override;
  void ApplySubSelectFilter(TExpToken& node) override;
  int64_t ResultRecordCount() override;

  TQueryStatement& Owner;
  bool Executed = false;
  bool IsSubQuery = false;
  uint8_t Kind = qkNone;
  double ElapsedSeconds = 0;
  bool RequestLive = false;
  int32_t RowsAffected = 0;
  int32_t MaxRowCount = -1;
  bool Distinct = false;
  bool HasAvg = false;
  bool CalculatedColumn = false;
  bool CalculatedBlobColumn = false;
  bool WhereRowCheck = false;
  bool JoinRowCheck = false;
  bool MultiTable = false;
  bool NoJoinOptimize = false;
  bool HasConditions = false;
  bool HavingGiven = false;
  bool OrderByGiven = false;
  bool OrderByOnIndex = false;
  uint8_t OrderIndex = 255;
  std::vector<std::unique_ptr<TOrderByField>> OrderBy;
  bool OrderByNoCase = false;
  bool GroupByGiven = false;
  std::vector<std::unique_ptr<TGroupByField>> GroupBy;
  bool OrderBySatisfied = false;
  bool AllAggregate = false;
  bool CountStarOnly = false;
  bool Having = false;
  bool Live = false;
  bool ResultOnSourceTable = false;
  bool InMemory = false;
  bool InsertFromSelect = false;
  std::string TargetTableName;
  std::string IndexName;
  TDataCursor* ResultCursor = nullptr;
  bool HasOpenBlobs = false;
  bool WithLocks = false;
  TSourceTable* DrivingTable = nullptr;
  std::vector<std::unique_ptr<TSourceTable>> SourceTables;
  std::vector<std::unique_ptr<TResultField>> ResultFields;
  std::vector<std::unique_ptr<TUpdateField>> UpdateFields;
  std::vector<std::unique_ptr<TUpdateValue>> UpdateValues;
  std::vector<std::unique_ptr<TCreateField>> CreateFields;
  std::vector<std::unique_ptr<TCreateIndex>> CreateIndexes;
  std::unique_ptr<TCreateIndex> TextIndex;
  TExpTreePtr Conditions[csCount];    // by TConditionSlot
  TDataQuery* SelectQuery = nullptr;  // the SELECT of an INSERT ... SELECT
  TFilter* SubSelectFilter = nullptr;
  bool Encrypted = false;
  std::string Password;
  uint16_t LanguageId = 0;
  uint16_t SortId = 0;
  uint16_t BlobBlockSize = 512;
  std::string Description;
  uint16_t UserMajorVersion = 1;
  uint16_t UserMinorVersion = 0;
  int32_t LastAutoInc = -1;
  bool NoAutoInc = false;
  bool NoBackup = false;
  int32_t CommitInterval = 0;  // rows between commits; 0 = one commit at the end
  bool CommitFlush = false;
  bool EncryptionGiven = false, LanguageGiven = false, SortGiven = false, BlobBlockSizeGiven = false,
       DescriptionGiven = false, MajorVersionGiven = false, MinorVersionGiven = false,
       CommitIntervalGiven = false;
  int32_t Top = -1;
  uint8_t UnionKind = 0;  // 0 none, 1 UNION, 2 UNION ALL
  TDataQuery* UnionQuery = nullptr;
  bool IfExists = false;
  bool IfNotExists = false;
  bool FirstGroupRow = false;
  std::vector<std::string> StopWords;
  bool StopWordsGiven = false;
  std::bitset<256> SpaceChars;
  std::bitset<256> IncludeChars;
  bool SelectStar = false;

  // ---- Preparation (veldorsq_bind.cpp, veldorsq_where.cpp, veldorsq_join.cpp, veldorsq_group.cpp) ----
  // Opens every source table (writable when RequestLive), takes LANGUAGE and SORT from the first
  // unless given, allocates the record buffers and numbers the join depths from 1. The one table
  // of an UPDATE or DELETE whose WHERE is one column's equality to a value opens in the index the
  // key search (findByKey) would switch to.
  void OpenSources(TPasswordCallback callback);
  // A kind-0 link from each source table to the next.
  void LinkSourceTables();
  // Column lookup: by correlation name (folded) and field, else the first table, in list order,
  // that has the field.
  bool LookupColumn(std::string_view column, std::string_view correlation, TSourceTable*& table,
                    uint16_t& fieldNo) const;
  // Binds, expands, checks and names the select list.
  void BindResultColumns();
  // Each UNION part against this (master) query.
  void CheckUnion();
  // On the first query of a UNION chain, once the chain is parsed: which rows are made distinct
  // with which. Parts join from the left, so the rows up to the last plain UNION are distinct
  // together (the first part's own when it alone says DISTINCT), and each part after it is
  // distinct within itself when it says DISTINCT and keeps every row when it does not. Sets
  // Distinct when any rows are made distinct.
  void planUnionDistinct();
  // The target columns and values of INSERT and UPDATE.
  void BindTargetColumns();

  TSourceTable* FindSourceTable(std::string_view correlation) const;
  bool IsJoinTarget(const TTableJoin* skip, const TSourceTable& table) const;
  bool IsInnerJoinTarget(const TTableJoin* skip, const TSourceTable& table) const;
  bool IsOuterJoinTarget(const TTableJoin* skip, const TSourceTable& table) const;
  // Type-checks `tree` against the source columns; raises unless it is boolean.
  void CheckCondition(TExpToken* tree);
  void CheckWhereCondition();
  void HandDownWhere(THandDownPass pass);
  bool SplitWhere(THandDownPass pass, TExpToken*& node);
  void HandDownConjunct(THandDownPass pass, const TExpToken& conjunct, TSourceTable& table);
  void AddPostJoinCondition(TExpToken* tree);
  void AddResidualCondition(TExpToken* tree);

  void ExtractJoinConditions();
  bool ExtractJoinCondition(TExpToken*& node, TExpToken* parent);
  void SortSourceTables();
  void CheckJoins();
  TSourceTable* InnerJoinSource(const TSourceTable& table) const;
  TSourceTable* InnerJoinRoot(TSourceTable& table) const;
  bool ShouldReorderJoins();
  void ReorderJoins();
  void MoveTableToFront(TSourceTable& table);

  void BindOrderBy();
  void BindGroupBy();
  void CheckDistinct();
  void BindHavingAggregates();
  // Whether an index of the single source table gives the ORDER BY (plain columns only): sets
  // OrderByOnIndex and OrderIndex. Requires BindOrderBy.
  bool MatchOrderIndex();
  // Creates the result table (fields, hidden AVG counts, GROUP BY, DISTINCT and ORDER BY
  // indexes) and opens ResultCursor on it.
  void CreateResultTable();
  // Gives the live result's cursor (the single source table's) the select list as its field
  // list: a column is its table field under the result name, an expression a computed field of
  // the result type that the cursor evaluates for each record.
  void SetLiveFieldList();
  static void AccumulateValue(uint8_t kind, TEngineFieldType type, bool& accumulatorIsNull,
                              uint8_t* accumulator, const uint8_t* value, uint8_t scale);

  // ---- Preparation and execution (veldorsq_exec.cpp, veldorsq_dml.cpp, veldorsq_ddl.cpp) ----
  // Opens, binds and plans the parsed query for its kind; a SELECT gets its live or copied
  // result. Raises the engine errors of the steps; the query stays in its statement.
  void Prepare(TPasswordCallback callback);
  // Runs the prepared query: ElapsedSeconds, RowsAffected and Executed set. A SELECT leaves its
  // rows in ResultCursor. A data change runs in a transaction of its own unless the database is
  // in one: without COMMIT INTERVAL it commits once at its end, and an error or an abort rolls
  // it back and raises; with COMMIT INTERVAL n it commits every n rows, and an error rolls back
  // the rows since the last such commit.
  void Execute();
  // Every join and source cursor drops its filters; the end flags are cleared.
  void ResetForExecute();
  // Puts the plan's conjuncts in place for a run, with the parameters' present values: a filter
  // on its cursor, or a prepared copy in the post-join condition; the cursors are refreshed
  // first. Requires ResetForExecute.
  void applyPlan();
  // The plan that Prepare built and each run follows (an empty one before Prepare).
  const TQueryPlan& Plan() const { return plan_; }
  // Folds `row` (a result row of single values) into `accumulator` (the group's row); true.
  bool AccumulateAggregates(bool first, const uint8_t* row, uint8_t* accumulator);
  // Divides each AVG sum by its hidden count; true.
  bool FinishAverages(uint8_t* row);
  // Whether the group row passes HAVING.
  bool HavingCallback(const uint8_t* row);
  // The session's progress rule over `total` driving rows; true when the caller asked to stop.
  bool ReportProgress(int64_t counter, int64_t total, int& last);
  // The percent that ReportProgress would report now, or -1 when it would call nothing.
  int progressDue(int64_t counter, int64_t total, int last) const;
  // How many more rows the counter may take before progressDue reports (INT64_MAX: never).
  int64_t rowsUntilProgress(int64_t counter, int64_t total, int last) const;

  // ---- Parsers (veldorsq_parse*.cpp) ----
  void ParseSelect();
  void ParseInsert();
  void ParseUpdate();
  void ParseDelete();
  void ParseCreateTable();
  void ParseCreateIndex();
  void ParseAlterTable();
  void ParseDropTable();
  void ParseDropIndex();

 private:
  friend class TClauseParser;
  void clearLists();
  // FROM items and JOINs (SELECT, DELETE; UPDATE after its first item). `statement` names the
  // statement in the full-outer-join message; `excluded` are the words that end a bare
  // correlation name.
  void parseSources(std::string_view statement, std::span<const std::string_view> excluded);
  // One FROM item (`excluded` end a bare correlation name) or, with no words, the table of a
  // JOIN (ON ends it), which goes to the front for a RIGHT JOIN (`atFront`).
  TSourceTable& parseSourceItem(bool atFront, std::span<const std::string_view> excluded);
  void parseJoins(std::string_view statement);
  void parseCommitClause();
  void parseTableOptions(bool setGiven);
  void parseTextIndex();
  void parsePrimaryKey(bool add, bool redefine);
  void parseIndexOptions(TCreateIndex& index);
  void parseCompression(TCreateIndex& index);
  void parseColumnAttributes(TCreateField& field);
  void parseLanguage();
  void parseEncryption(bool setGiven);
  void expectStatementEnd(std::string_view statement);
  void checkCorrelation(const TSourceTable& table);
  TSourceTable& addSourceTable(bool atFront);

  TSourceTable* chooseDrivingCandidate();
  // Opens the directory of TargetTableName (a temporary name in the private folder when empty)
  // as resultDirectory_ and returns the table's base name; without `nameMemoryFirst`, empty for a
  // result whose files start in memory (its creation names it).
  std::string openTargetDirectory(bool nameMemoryFirst = true);
  // Whether the copied result (and the scratch tables it is rebuilt through) starts in memory.
  bool memoryFirstResult() const;
  // Whether each run writes the result's one row into its emptied table and nothing else, in
  // one append: the all-aggregate row of a query of its own (no UNION), without DISTINCT, ORDER
  // BY, row limits or INTO, into a result that can hold it (canHoldRows, asked of the result
  // once it exists). Its result may then be a pooled one that holds a row
  // (TCreateTableArgs::OneRow).
  bool writesOneRow() const;
  // The statement's table options (locale, blob block size, description, password, versions).
  void FillTableOptions(TCreateTableArgs& args) const;
  // A closed cursor on the target table, exclusive, in memory when InMemory.
  TDataCursor& targetCursor();
  void executeSelect();
  void executeInsert();
  void executeChange();  // UPDATE and DELETE
  // A run's rows where the plan is one conjunct `column = value` on the one source table, the
  // value reading no column and no sub-select, and EqualityKeyIndex serves the column: the record
  // numbers of the rows the conjunct's filter would pass, found by one key search in that index
  // (in its order), without a filter over the table. False, with nothing found and the cursor
  // as it was, where the filter must find them (no such plan or index, a NULL value, one that
  // keeps a type of its own). Found, the cursor stands in that index. Requires ResetForExecute,
  // under the statement's transaction.
  bool findByKey(std::vector<uint32_t>& rows);
  void executeDefinition();
  // ALTER TABLE on the open target cursor: its options, columns and indexes as the statement
  // changes them.
  void alterTable(TDataCursor& cursor);
  // The WHERE analysis and the join order, once, into plan_: each conjunct's place, the driving
  // table chosen on the counts that the index-served filters leave (a conjunct with a parameter
  // or a sub-select counts as no filter: its value is known only at the run).
  void planWhere();
  void putConjunct(const TQueryPlan::Conjunct& conjunct);
  // The residual condition as a run tests it on each joined row: prepared as the filters and the
  // post-join condition are (a constant side in the type of what it is compared with), with
  // the run's parameter values; none without a residual.
  TExpTreePtr PrepareResidual() const;
  // Fills the result row `row` from the current joined row: values converted to the stored
  // types, aggregates in their single-row form.
  void fillResultRow(uint8_t* row);
  // Copies the value of a plain column that the result stores as its source does (type and size
  // alike, no aggregate that converts it) into `row`; false for any other column.
  bool copyStoredValue(const TResultField& f, uint8_t* row);
  // How fillResultRow fills each result column in a run: the columns that copyStoredValue copies
  // and whose stored bytes the copy leaves as they are (numbers, dates and times; a text, which
  // loses trailing blanks), and the SUM of an INTEGER column (a LARGEINT), are made straight
  // from the record buffer. Made at each run's start.
  struct ColumnCopy {
    enum Kind : uint8_t { None, Bytes, Text, IntegerToLargeInt } kind = None;
    const TSourceTable* table = nullptr;
    uint16_t from = 0, to = 0;  // offsets of the null flag in the source and the result record
    uint32_t size = 0;
  };
  std::vector<ColumnCopy> columnCopies_;
  void planColumnCopies();
  // The computed columns' values, each evaluated row after row on its own kept nodes (null: the
  // column is not computed). Made at each run's start, since a parameter may have changed the
  // tree's constants, and dropped at its end.
  std::vector<std::unique_ptr<ExpValue>> columnValues_;
  void planColumnValues();
  // Puts the column that `c` copies from `record` (null: its table stands past its end) into
  // `row`, as fillResultRow does.
  static void copyColumn(const ColumnCopy& c, const uint8_t* record, uint8_t* row);
  // The same for a Bytes or Text column of `row` that holds the stored bytes where the copy
  // would put them.
  static void copyColumnInPlace(const ColumnCopy& c, uint8_t* row);
  // Appends `row` to the result; false when DISTINCT already holds it.
  bool appendResultRow(uint8_t* row);
  void rebuildResult();
  // Rewrites the result in the order of index `slot` (255: record order), keeping at most `cap`
  // rows (-1: all); `group` merges each group into one row (aggregates, AVG, HAVING).
  void rebuildPass(uint8_t slot, bool group, int32_t cap);
  // Merges each run of rows from `next` (none: the end) with the same GROUP BY values into one
  // row (aggregates, AVG, HAVING) and hands it to `emit`, at most `cap` rows (-1: all).
  void groupRows(const std::function<const uint8_t*()>& next, const std::function<void(const uint8_t*)>& emit,
                 int32_t cap);
  // The slot of the result's pass index `name`.
  uint8_t passSlot(std::string_view name);
  // Adds each RUNSUM total of the group row `previous` to the new group's `accumulator`.
  void carryRunningSums(const uint8_t* previous, uint8_t* accumulator);

  // Result rows held in memory until the final passes run (or the run ends, without a pass), so
  // that the result table is written once, in its final order (veldorsq_final.cpp). Rows in
  // arrival order, each of the result's record size.
  struct HeldRows {
    std::vector<uint8_t> bytes;
    size_t recordSize = 0;
    size_t keySize = 0;  // the longest key of the result's indexes
    size_t count = 0;
    int64_t taken = 0;    // rows handed in, TOP's trimmed ones included, duplicates not
    int64_t trimmed = 0;  // rows TOP let go before the end
    bool active = false;  // false: the rows go to the result table as they come
    // DISTINCT whose keys compare as bytes drops a row on arrival when its key is held: the key of
    // each held row, and an open-addressing table of row numbers + 1 (0: free) over them. While
    // set, the result cursor stands on the DISTINCT index, `savedIndex` being its own.
    size_t distinctKeySize = 0;
    uint8_t savedIndex = 255;
    std::vector<uint8_t> keys;
    std::vector<uint32_t> keyTable;
    // Once TOP has kept its best rows: the ORDER BY key of the last of them (its first
    // `cutCompared` bytes count, 0: none yet), and room for an arriving row's key. While set, the
    // result cursor stands on the ORDER BY index, `savedIndex` being its own.
    uint16_t cutCompared = 0;
    std::vector<uint8_t> cutKey, arrivingKey;
    uint8_t* row(size_t i) { return bytes.data() + i * recordSize; }
  };
  // The rows of an INSERT's SELECT, handed to the INSERT in memory where a copied result would
  // have been written to the result table and read back: the held rows (`bytes`, each of the
  // result's record size) in result order (`order`). The result table is left empty. Set by a
  // run that held every row to its end (finishHeldRows); the INSERT reads them and lets them go
  // (releaseHandedRows), the storage kept for the thread's next held rows.
  struct HandedRows {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> order;
    size_t recordSize = 0;
    bool active = false;
    // Every column of every row was put there by copyColumn's rules (or copyColumnInPlace's):
    // no row was grouped or computed.
    bool columnsCopied = false;
  };
  HandedRows handed_;
  // After the INSERT read the handed rows: they go, and their storage is kept for the thread's
  // next held rows unless it is larger than an idle pooled result keeps.
  void releaseHandedRows();
  // Looks the key of the newest held row up among the held rows' keys; false (and the row taken
  // in) when no row holds it, true when it is a duplicate.
  bool heldDuplicate(HeldRows& held);
  // Ends dropping duplicates on arrival: the result cursor back on its own index.
  void endDistinctOnArrival(HeldRows& held);
  // After TOP kept its best rows (rows 0 to TOP - 1): notes the key a row must come before to
  // be held, with the result cursor on the ORDER BY index.
  void setTopCut(HeldRows& held);
  // Whether the newest held row comes after TOP's best rows so far, so that it can never be
  // among them.
  bool behindTopCut(HeldRows& held);
  // Ends testing rows against TOP's best: the result cursor back on its own index.
  void endTopCut(HeldRows& held);
  // What the driving table's cursor tests a record on where it lies, so that it passes over the
  // rows this run would let go (TSourceTable::SkipTest): the row conditions, when they read only
  // the record, and TOP's cut, when every field of the ORDER BY key is a column copy of the
  // driving table (`keyCopies`), tested on a row that holds those alone (`row`). With `take`,
  // when every result column is a column copy of the driving table, a row that passes them is
  // held there and then (as fillResultRow and afterHeldRow would) and passed over too.
  struct RowSkip {
    TDataQuery* query = nullptr;
    const ExpCondition* conditions[2] = {};
    HeldRows* held = nullptr;
    std::vector<const ColumnCopy*> keyCopies;
    std::vector<uint8_t> row;
    bool take = false;
    // Taken rows start as a copy of the whole record (its header, the bytes before
    // `wholeFrom`, cleared), each column then made in place what copyColumn writes: every byte
    // from there on is one column's, at the same place in both records.
    bool whole = false;
    uint16_t wholeFrom = 0;
  };
  static bool keepsRecord(const void* skip, const uint8_t* record);
  // Readies `skip` to test TOP's cut on the driving table's records; false when it cannot.
  bool planTopCutSkip(RowSkip& skip, HeldRows& held, const TSourceTable& driving);
  // Readies `skip` to take rows where the driving table's records lie; false when it cannot.
  bool planTakeInPlace(RowSkip& skip, HeldRows& held, const TSourceTable& driving);
  // Whether this run's rows can be held: no UNION shares the result, the result has no blob (a
  // held row could not own one), and no row limit counts distinct rows.
  bool canHoldRows() const;
  // A fresh row slot of `held` for the next result row.
  uint8_t* holdRow(HeldRows& held);
  // Room in `held` for the rows a single source of `sourceRows` records can give (TOP's best
  // rows, at most what may be held), so that held rows are not moved as they come.
  void reserveHeldRows(HeldRows& held, int64_t sourceRows);
  // Whether only TOP's best rows are kept while rows are held.
  bool heldTopOnly() const;
  // After a held row: keeps only the best TOP rows once enough wait, and writes every held row
  // to the result table (going on there) when they outgrow the memory limit.
  void afterHeldRow(HeldRows& held);
  // Writes the held rows to the result table in arrival order, as the row loop would have; the
  // rest of the run goes to the table.
  void spillHeldRows(HeldRows& held);
  // The passes of rebuildResult over the held rows, then the rows into the result table.
  void finishHeldRows(HeldRows& held);
  // The held rows ordered by index `slot`'s key, ties in the order given (the index's unique id).
  // With `best`, only the first `best` rows of that order are kept, in no particular order.
  void sortByIndex(HeldRows& held, uint8_t slot, std::vector<uint32_t>& order, size_t best = SIZE_MAX);
  void writeColumnValue(TDataCursor& cursor, uint8_t* record, const TUpdateField& field,
                        const TExpToken& value, bool update);
  friend class TQueryStatement;
  void keepOuterJoinFilters();
  void attachOuterWholes();
  // ORs and NOTs of outer joins' ON conditions over both tables, held between their extraction
  // and attachOuterWholes.
  std::vector<TExpToken*> outerWhole_;
  TDataDirectory* resultDirectory_ = nullptr;
  std::unique_ptr<TDataCursor> resultCursor_;
  // The result table as CreateResultTable left it, not yet run into: nothing to empty.
  bool resultFresh_ = false;
  bool unionPart_ = false;  // parsed after UNION: the clauses after it are the first part's
  // A UNION chain whose rows are distinct in groups, not all with all (a DISTINCT part after
  // the last plain UNION, or a UNION ALL after distinct rows), tells its groups apart by a
  // hidden result column that the chain's DISTINCT index takes after the result columns:
  // `unionTag_` for each row of this query, or, with `unionTagPerRow_`, a value of each row's
  // own counted up from it, so that no row of a query that keeps its rows meets another.
  bool unionTagged_ = false;  // the chain's first query: its result table has the column
  uint16_t unionTagFieldNo_ = 0;
  int64_t unionTag_ = 0;
  bool unionTagPerRow_ = false;
  int64_t unionRowsTagged_ = 0;
  bool insertSelect_ = false;  // the SELECT of an INSERT: NOAUTOINC and COMMIT end its names
  bool prepared_ = false;
  TQueryPlan plan_;
  // Set while planWhere applies index-served filters so that the counts show them.
  bool countFilters_ = false;
  // Within planWhere over one table: each conjunct the first pass rated, and whether an index
  // serves it, for the second pass.
  std::vector<std::pair<const TExpToken*, bool>> rated_;
};

// The queries of one SQL text, its parser and its parameters. Owns every query; a query lives
// until the statement is freed or its queries are freed for the next statement.
//
// A text may hold several statements separated by ";". Prepare checks the syntax of all of
// them before anything runs and prepares the first; Execute runs them in order, each prepared
// just before it runs (so it may use a table an earlier one created). The "?" parameters are
// numbered through the whole text; each statement takes the values of its own.
class TQueryStatement : public engine::TQueryStatement {
 public:
  using TProgressCallback = std::function<void(int percent, bool& abort)>;

  // `database` is borrowed; it gives the session and the database name of bare table names. The
  // statement enters the directory's statement list until it is freed; should the directory go
  // first, every later use of the statement raises VELDOR_NOTINITIALIZED.
  explicit TQueryStatement(TDataDirectory& database);
  ~TQueryStatement() override;

  // Gives the text to the parser and parses its first statement into a new master query
  // (ending at ";", consumed, or the end of the text). Raises the parsers' engine errors, and
  // then holds no query.
  void ParseStatement(std::string_view sql);
  // Parses every statement of `sql` (raising the first syntax error, nothing having run) and
  // prepares the first. Kind, Live, ResultOnSourceTable and SelectStar are the first's. Failing,
  // it leaves nothing prepared, and Execute raises its error again until a Prepare succeeds.
  void Prepare(std::string_view sql);
  // Gives parameter i (0-based, through the whole text) its value: the descriptor's type,
  // subtype, scale and stored size; in `values` at the descriptor's offset a flag byte (0 for
  // NULL), then the value: fixed-size, or for a blob a u32 length and that many bytes. Raises
  // 11949 "Internal parameter error" for more values than the text has parameters, and for a
  // value outside `values`. Parameters not given keep their values. `offsets`, when given, hold
  // each parameter's flag-byte offset in place of the descriptors' 16-bit ones.
  void SetParams(uint16_t count, std::span<const TFieldDescriptor> descriptors,
                 std::span<const uint8_t> values, std::span<const size_t> offsets = {});
  // Runs every statement of the text; the last one's result cursor (a SELECT's), or nullptr.
  // ElapsedSeconds and RowsAffected are the totals. Raises 11949 for a parameter without a
  // value, before its statement runs.
  TDataCursor* Execute();
  // Frees every query, last first.
  void FreeQueries();
  // The plans of the prepared statement's queries, its master first.
  std::vector<TQueryPlan> Plan();
  TDataQuery& CreateMasterQuery();

  using TPreparedCallback =
      std::function<void(uint8_t kind, bool selectStar, bool resultOnSourceTable, bool live)>;
  using TMessageCallback = std::function<void(uint32_t message)>;
  void SetPasswordCallback(TPasswordCallback callback) { passwordCallback_ = std::move(callback); }
  // Remote statements: what the server reports after preparing, and the messages it sends while a
  // request runs.
  void SetPreparedCallback(TPreparedCallback callback) { preparedCallback_ = std::move(callback); }
  void SetMessageCallback(TMessageCallback callback) { messageCallback_ = std::move(callback); }
  void SetProgressCallback(TProgressCallback callback) { progressCallback_ = std::move(callback); }
  const TProgressCallback& ProgressCallback() const { return progressCallback_; }

  TExpressionParser& Parser() { return parser_; }
  // Raise VELDOR_NOTINITIALIZED once the directory has gone.
  TDataDirectory& Database() const;
  TDataSession& Session() const;
  // Whether the directory has gone (DirectoryGone): the queries then free nothing of it.
  bool Detached() const { return !database_; }
  // The folder of the database, or its name on a remote session.
  std::string DatabaseName() const;
  TDataQuery* MasterQuery() const { return master_; }
  const std::vector<std::unique_ptr<TDataQuery>>& Queries() const { return queries_; }
  const std::vector<TExpToken*>& Params() const { return params_; }
  TDataQuery& NewQuery();
  // One more level of sub-select or UNION part until the returned guard goes; raises 11949
  // "Statement is nested too deeply" past kMaxQueryNesting.
  auto EnterNesting() {
    if (nesting_ >= kMaxQueryNesting) SqlError("Statement is nested too deeply");
    ++nesting_;
    struct Level {
      int& nesting;
      ~Level() { --nesting; }
    };
    return Level{nesting_};
  }

  // engine::TQueryStatement
  std::unique_ptr<engine::TDataQuery> CreateQuery() override;
  engine::TDataQuery* AddQuery(std::unique_ptr<engine::TDataQuery> query) override;
  void AddParameter(TExpToken* node) override { params_.push_back(node); }
  void DirectoryGone() override;

  uint8_t Kind = qkNone;
  double ElapsedSeconds = 0;
  bool RequestLive = false;
  int32_t MaxRowCount = -1;
  bool Live = false;
  bool ResultOnSourceTable = false;
  bool SelectStar = false;
  int32_t RowsAffected = 0;
  // On a remote session: the server's statement, and the cursor over its SELECT result (in the
  // directory "Remote_Query", or RemoteResultName for a live result).
  uint32_t Handle = 0;
  std::string RemoteResultName;
  TDataDirectory* RemoteResultDirectory = nullptr;
  std::unique_ptr<TDataCursor> RemoteResultCursor;

 private:
  struct TParamValue {
    bool given = false;
    TEngineFieldType type = TEngineFieldType::Unknown;
    TEngineFieldSubType subType = TEngineFieldSubType::None;
    uint8_t scale = 0;
    bool isNull = true;
    std::vector<uint8_t> bytes;
  };
  // Parses the statement at the parser's place into a fresh master query.
  void parseNext();
  // Drops the queries and everything their preparation noted of the text and its parameters.
  void forgetPrepared();
  void prepareText(std::string_view sql);
  void prepareQueries();
  TDataCursor* executeQueries();
  // Gives statement `index`'s parameter nodes their values; raises for one without.
  void applyParams(size_t index);
  // Whether the queries were checked with parameters of the types statement `index`'s values
  // have now, and texts no longer than theirs; a statement without parameters always was.
  bool checkedWithParams(size_t index) const;
  void rememberCheckedParams(size_t index);
  // Runs statement `index`'s preparation with its parameters' values in place, so that every
  // node above a parameter gets the type it has with a value of that type.
  void prepareWithParams(size_t index);

  TDataDirectory* database_;
  TExpressionParser parser_;
  TDataQuery* master_ = nullptr;
  std::vector<std::unique_ptr<TDataQuery>> queries_;
  std::vector<TExpToken*> params_;
  std::string text_;
  std::vector<size_t> paramCounts_;  // per statement
  std::vector<TParamValue> paramValues_;
  // The types (and sizes) of the parameter values that the queries were checked with; nullopt
  // when they were checked before any value was given, when each parameter's type was unknown.
  struct TCheckedParam {
    TEngineFieldType type;
    TEngineFieldSubType subType;
    uint8_t scale;
    size_t size;
  };
  std::optional<std::vector<TCheckedParam>> checkedParams_;
  // The result column types (type, subtype) the first preparation of a SELECT reported; a run
  // whose values would give other ones is refused.
  std::vector<std::pair<TEngineFieldType, TEngineFieldSubType>> preparedColumns_;
  size_t current_ = 0;  // the statement that the queries hold
  int nesting_ = 0;     // sub-selects and UNION parts being parsed
  bool fresh_ = false;  // the queries hold the first statement, prepared and not yet run
  // The error of the last Prepare, when it failed.
  std::exception_ptr failed_;
  TPasswordCallback passwordCallback_;
  TProgressCallback progressCallback_;
  TPreparedCallback preparedCallback_;
  TMessageCallback messageCallback_;

  // ---- Remote statements (veldorsq_remote.cpp) ----
  // One request with the statement's callbacks served while the server works; the reply's
  // parameters. Raises the server's errors; a request is sent again only when none of it left.
  TCursorReply remoteExchange(uint16_t code, const std::function<void(TDataSession&)>& params);
  void remoteCreate();
  void remoteFree();
  void remotePrepare(std::string_view sql);
  TDataCursor* remoteExecute();
  // Opens the cursor over the server's result from its description at reply parameter `at`.
  void openRemoteResult(const TCursorReply& reply, size_t& at);
  void closeRemoteResult();
  bool remote_ = false;
};

// ---- Clause parsers and tree walkers (veldorsq_clause.cpp) ----

// Raises engine error 11949 with `message` as its text.
[[noreturn]] void SqlError(std::string_view message);

// The expression-bearing pieces of a statement, each parsed with its own context name, flags
// and empty-clause message; the parser's context is "SQL statement" again afterwards.
class TClauseParser {
 public:
  explicit TClauseParser(TDataQuery& query);
  ~TClauseParser();
  void ParseResultColumn(TResultField& field);
  // `primaryOnly`: an UPDATE SET target, where "=" follows the column.
  void ParseTableColumn(TUpdateField& field, bool primaryOnly);
  void ParseValue(TUpdateValue& value);
  // A column name and its data type; `typeOptional` for the existing-column form of DROP and
  // REDEFINE. `previous` (REDEFINE) receives the new definition as its left child.
  void ParseColumnDefinition(TCreateField& field, bool typeOptional, TExpToken* previous);
  void ParseIndexColumn(TCreateIndex& index);
  int32_t ParseAutoIncValue();
  std::bitset<256> ParseCharSet();
  // table.index of DROP INDEX.
  void ParseIndexName(std::string& table, std::string& index);
  // WHERE, or the ON of a join of `joinKind` to the table numbered `joinTable` (every node is
  // marked with both), ANDed to Conditions[0].
  void ParseCondition(uint8_t joinKind, uint16_t joinTable, bool subSelects);
  void ParseHaving();

 private:
  void begin(std::string_view context, std::string_view emptyMessage);
  std::string markedText() const;
  TDataQuery& query_;
  TExpressionParser& parser_;
};

// The correlation name of the one source table that `tree` refers to, binding each column node
// to its table on the way (table name, source table, field number); `multiple` when it refers to
// more than one. Empty when it refers to none.
std::string TableReference(TDataQuery& query, TExpToken* tree, bool& multiple);
// A comparison across two source tables with columns on both sides, or an AND or OR with such a
// side; `outerOnly` also asks that the comparison be marked as part of a LEFT or RIGHT join.
bool IsJoinCondition(TDataQuery& query, TExpToken* tree, bool outerOnly);

}  // namespace engine::sql
