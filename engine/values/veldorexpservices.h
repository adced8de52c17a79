// What the expression parser, type check and evaluation need of the engine's SQL layer, declared
// here so that the SQL layer, which sits above, implements it: the statement that owns
// sub-selects and parameters, the parsed query of a sub-select, the column resolver and reader
// that an SQL clause hands over, and the steps that a grouping sort calls back.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace engine {

class TExpToken;
class TExpressionParser;

// Full-text search over one column of a table (its cursor's text index).
class TTextSearchTarget {
 public:
  virtual ~TTextSearchTarget() = default;
  virtual bool TextSearch(uint16_t fieldNo, std::string_view text) = 0;
  virtual uint32_t TextOccurs(uint16_t fieldNo, std::string_view text) = 0;
};

// One source table of an SQL statement, or the table of a filter's cursor; TEXTSEARCH and
// TEXTOCCURS reach its text index. nullptr when the table has none.
class TSourceTable {
 public:
  virtual ~TSourceTable() = default;
  virtual TTextSearchTarget* TextSearchTarget() = 0;
};

// A parsed statement (the master statement, a UNION part or a sub-select).
class TDataQuery {
 public:
  virtual ~TDataQuery() = default;
  // Result columns of the query (a sub-select must have one).
  virtual int ResultColumnCount() = 0;
  // Marks the query as a sub-select; the parser calls it before Parse.
  virtual void MarkSubSelect() = 0;
  // Parses one statement from the parser's current token, by its first keyword. A sub-select
  // ends before its closing parenthesis, which is left as the parser's current token. Raises
  // the SQL layer's syntax errors as engine errors.
  virtual void Parse(TExpressionParser& parser) = 0;
  // Binds a column or sub-select node to a result column: by the node's table (correlation) and
  // column name among the query's source tables, or, without source tables, to the first result
  // column. Stores field number, source table, table name, type, subtype, size and scale in the
  // node. False when no column matches.
  virtual bool BindColumnRef(TExpToken& node) = 0;
  // For IN (sub-select): `node` is an "=" whose left operand holds the outer value and whose
  // right operand is the sub-select's column; the query's result cursor then shows only the
  // records whose column equals the value. Filter errors pass through.
  virtual void ApplySubSelectFilter(TExpToken& node) = 0;
  // Records that the result cursor shows under the filter that ApplySubSelectFilter set.
  virtual int64_t ResultRecordCount() = 0;
};

// The statement driver: owns its queries and knows its parameters.
class TQueryStatement {
 public:
  virtual ~TQueryStatement() = default;
  // An empty query belonging to this statement.
  virtual std::unique_ptr<TDataQuery> CreateQuery() = 0;
  // Takes the query into the statement's list; it lives as long as the statement.
  virtual TDataQuery* AddQuery(std::unique_ptr<TDataQuery> query) = 0;
  // Notes a parameter node ("?") in the order met; the node stays the tree's.
  virtual void AddParameter(TExpToken* node) = 0;
  // The database the statement was made on is being freed (its session may be going too): the
  // statement lets go of it without a call into it or its session, and refuses any later use.
  virtual void DirectoryGone() = 0;
};

// Binds a column node by its column and table name to a column of the statement's sources
// (field number, source table, table name, type, subtype, size, scale); false when none matches.
using TColumnResolver = bool (*)(void* resolverData, TExpToken& node);

// Writes the current row's value of the column that `result` names (field number, source table)
// into its value buffer and sets its NULL flag.
using TColumnReader = void (*)(void* readerData2, void* readerData1, TExpToken& result);

}  // namespace engine
