// Edits and reads of a SELECT text's clauses, by the Oracle tokenizer: only what lies at
// parenthesis depth 0 after the first SELECT counts, so subqueries, strings and comments are
// never taken for clauses. Pure functions of their arguments; safe on any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace oracle {

// Adds `condition` to the WHERE clause of the outer SELECT (before a CONNECT, FOR, GROUP, ORDER,
// START or UNION at depth 0, else at the end). An existing condition becomes "(old) AND (new)" so
// that an OR in either keeps its meaning. A blank condition leaves the text as it is.
std::string AddWhere(std::string_view sql, std::string_view condition);

// Replaces the outer WHERE condition with `condition`; an empty one removes the clause.
std::string SetWhere(std::string_view sql, std::string_view condition);
std::string DeleteWhere(std::string_view sql);

// Replaces the ORDER BY list (";" in `fields` separates names as "," does); an empty list removes
// the clause. A FOR clause stays last.
std::string SetOrderBy(std::string_view sql, std::string_view fields);
// The list after ORDER BY, trimmed; empty without one.
std::string GetOrderBy(std::string_view sql);

struct TTableInfo {
  std::string TableName;  // as written, with schema and "@link" when given
  std::string Alias;      // empty without one
};
inline constexpr size_t MaxTablesInfo = 50;

// The tables of the outer FROM list, in order; subqueries give no entry. Returns the count.
// More than MaxTablesInfo tables break the caller's invariant (checked in the Debug build) and
// are not listed.
int GetTablesInfo(std::string_view sql, std::vector<TTableInfo>& tables);

// One item of a select list. A star has Column "*" (and Table its prefix, if any); an expression
// has Expression and no Column.
struct TSelectItem {
  std::string Column;
  std::string Table;
  std::string Expression;
  std::string Alias;
};
inline constexpr size_t MaxSelectItems = 301;

// The items between the outer SELECT (after ALL, DISTINCT or UNIQUE) and FROM. Items beyond
// MaxSelectItems are dropped. In owner.table.column the owner is dropped; NULL, SYSDATE, USER and
// UID are expressions.
std::vector<TSelectItem> ScanSelectList(std::string_view sql);

}  // namespace oracle
