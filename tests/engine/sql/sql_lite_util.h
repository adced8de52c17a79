// SQLite's rows written as the comparison tests write this engine's: each column's text ("NULL"
// for a null, a float as FloatToText writes it) followed by "|".
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "engine/values/veldorvaluetext.h"

namespace sql_test {

// The row `st` stands on.
inline std::string LiteRowLine(sqlite3_stmt* st) {
  std::string line;
  for (int i = 0; i < sqlite3_column_count(st); ++i) {
    const int type = sqlite3_column_type(st, i);
    line +=
        (type == SQLITE_NULL    ? "NULL"
         : type == SQLITE_FLOAT ? engine::FloatToText(sqlite3_column_double(st, i))
                                : std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i)))) +
        "|";
  }
  return line;
}

// The rows `sql` gives on `db`, in SQLite's order; a statement SQLite refuses gives the one row
// "ERR lite " and its message.
inline std::vector<std::string> LiteRows(sqlite3* db, const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
    return {"ERR lite " + std::string(sqlite3_errmsg(db))};
  while (sqlite3_step(st) == SQLITE_ROW) rows.push_back(LiteRowLine(st));
  sqlite3_finalize(st);
  return rows;
}

}  // namespace sql_test
