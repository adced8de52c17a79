// The WIDE table both Oracle benchmarks read: 10 columns of numbers, texts and a date, filled
// through array binds of 1,000 rows on a stand-in server.
#pragma once

#include <string>

#include "oracle/oraclasses.h"

namespace oracle::bench {

// The seed-file line that declares SCOTT.WIDE.
inline constexpr const char* kWideTableSeed =
    "table SCOTT.WIDE (N NUMBER(9), C1 VARCHAR2(10), C2 VARCHAR2(10), C3 VARCHAR2(10), "
    "C4 NUMBER(9), C5 NUMBER(7,2), C6 DATE, C7 VARCHAR2(10), C8 NUMBER(9), C9 VARCHAR2(10))\n";

// Inserts rows 1..rows into WIDE on `c`, without committing.
inline void FillWideTable(TOCIConnection& c, int rows) {
  TOCICommand insert;
  insert.SetConnection(&c);
  insert.SetSQL("insert into wide values (:n, :c1, :c2, :c3, :c4, :c5, :c6, :c7, :c8, :c9)");
  constexpr int block = 1000;
  for (int i = 0; i < insert.GetParamCount(); ++i) {
    insert.Param(i).SetLength(block);
    if (i == 1 || i == 2 || i == 3 || i == 7 || i == 9) {
      insert.Param(i).SetDataType(dataaccess::dtString);
      insert.Param(i).SetSize(10);
    }
  }
  for (int start = 0; start < rows; start += block) {
    for (int r = 1; r <= block; ++r) {
      const int n = start + r;
      insert.Param(0).SetItemAsInteger(r, n);
      insert.Param(1).SetItemAsString(r, "a" + std::to_string(n % 1000));
      insert.Param(2).SetItemAsString(r, "bb" + std::to_string(n % 777));
      insert.Param(3).SetItemAsString(r, "ccc");
      insert.Param(4).SetItemAsInteger(r, n * 3);
      insert.Param(5).SetItemAsFloat(r, n / 100.0);
      insert.Param(6).SetItemAsDateTime(r, DateTime{30000.0 + n % 5000});
      insert.Param(7).SetItemAsString(r, "d");
      insert.Param(8).SetItemAsInteger(r, -n);
      insert.Param(9).SetItemAsString(r, "e" + std::to_string(n % 10));
    }
    insert.Execute(block);
  }
}

}  // namespace oracle::bench
