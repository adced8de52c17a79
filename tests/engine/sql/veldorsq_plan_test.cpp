// Preparation of statements over in-memory tables, as plan dumps: the join order and links with
// their conditions, where each WHERE and ON conjunct went (a cursor filter, a join condition,
// the residual or the post-join condition), result names and stored types; and each binding
// error with its exact text. Aggregate accumulation against exact arithmetic.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorfilter.h"
#include "engine/tables/veldorsession.h"
#include "sql_test_util.h"

namespace {

using namespace sql_test;

std::vector<std::vector<int32_t>> rows(int n) {
  std::vector<std::vector<int32_t>> r;
  for (int i = 1; i <= n; ++i) r.push_back({i, i % 7});
  return r;
}

class PlanTest : public ::testing::Test {
 protected:
  PlanTest() : directory(session.OpenDataDirectory("Memory", "")), statement(*directory) {
    createTable(*directory, "a", {"ID", "X", "NAME$"}, rows(40), true);
    createTable(*directory, "b", {"ID", "Y"}, rows(3));
    createTable(*directory, "c", {"ID", "Z"}, rows(40));
  }
  ~PlanTest() override {
    statement.FreeQueries();
    session.CloseDataDirectory(directory);
  }

  // The plan of the statement's master query, or the engine error's text.
  std::string plan(const std::string& sql) {
    try {
      statement.ParseStatement(sql);
      TDataQuery& q = *statement.MasterQuery();
      for (size_t i = statement.Queries().size(); i-- > 1;) {
        TDataQuery& part = *statement.Queries()[i];
        prepare(part);
      }
      std::ostringstream o;
      prepare(q);
      if (q.Kind == qkSelect) {
        q.CheckUnion();
        for (auto& f : q.ResultFields)
          o << f->ResultName << ":" << int(f->StoredType) << "/" << f->StoredSize << " ";
      } else {
        for (auto& f : q.UpdateFields) o << f->ColumnName << "=" << f->FieldNo << " ";
        return o.str();
      }
      o << "|";
      for (auto& t : q.SourceTables) {
        o << " " << t->CorrelationName;
        for (auto& j : t->Joins)
          o << " ->" << j->Inner.CorrelationName << "#" << int(j->Kind) << tree(j->Condition.get());
        for (auto& f : t->Cursor->Filters()) o << " filter" << tree(f->Tree());
      }
      if (q.Conditions[csWhere]) o << " | where" << tree(q.Conditions[csWhere].get());
      if (q.Conditions[csResidual]) o << " | residual" << tree(q.Conditions[csResidual].get());
      if (q.Conditions[csPostJoin]) o << " | post" << tree(q.Conditions[csPostJoin].get());
      if (q.OrderByGiven && q.MatchOrderIndex()) o << " | ordered by index " << int(q.OrderIndex);
      if (q.Kind == qkSelect && (q.GroupByGiven || q.Distinct || (q.OrderByGiven && !q.OrderByOnIndex))) {
        q.CreateResultTable();
        o << " | result";
        engine::TDataCursor& r = *q.ResultCursor;
        for (uint16_t n = 1; n <= r.FieldCount(); ++n)
          o << " " << r.GetFieldDesc(n).Name() << (r.GetFieldDesc(n).Bytes()[252] ? "(hidden)" : "");
        for (uint8_t slot = 1; slot <= r.GetIndexCount(); ++slot) {
          engine::TIndexDescriptor index = r.GetIndexDesc(slot);
          o << " " << index.name << "(";
          for (uint8_t i = 0; i < index.fieldCount; ++i)
            o << (i ? "," : "") << index.fields[i] << (index.fieldDescending[i] ? " DESC" : "");
          o << ")";
        }
      }
      return o.str();
    } catch (const EVELDOREngineError& e) {
      return "error: " + e.ErrorText();
    }
  }

  TDataSession session;
  TDataDirectory* directory;
  TQueryStatement statement;
};

struct Row {
  const char* sql;
  const char* expected;
};

const Row kPlans[] = {
    {"SELECT * FROM a, b WHERE b.ID = a.X",
     "ID:6/4 X:6/4 NAME:1/11 ID_1:6/4 Y:6/4 | B ->A#1(B.ID =#1 A.X) A"},
    {"SELECT a.ID FROM a, b, c WHERE c.ID = a.X", "ID:6/4 | A ->B#0 ->C#1(A.X =#1 C.ID) B C"},
    {"SELECT a.ID FROM a, b WHERE a.X = b.ID NOJOINOPTIMIZE", "ID:6/4 | A ->B#1(A.X =#1 B.ID) B"},
    {"SELECT a.ID FROM a, c WHERE a.X = c.ID", "ID:6/4 | A ->C#1(A.X =#1 C.ID) C"},
    {"SELECT a.ID FROM a LEFT OUTER JOIN b ON a.ID = b.ID WHERE b.Y = 1 AND a.X = 2",
     "ID:6/4 | A ->B#2(A.ID =#2 B.ID) filter(A.X = 2) B | where((B.Y = 1) AND (A.X = 2)) | post(B.Y = 1)"},
    {"SELECT a.ID FROM a LEFT OUTER JOIN b ON a.ID = b.ID AND a.X = 1 AND b.Y > 0",
     "ID:6/4 | A ->B#2((A.ID =#2 B.ID) AND (A.X =#2 1)) B filter(B.Y >#2 0) | where(B.Y >#2 0)"},
    {"SELECT a.ID FROM b RIGHT OUTER JOIN a ON a.ID = b.ID AND a.X = 1",
     "ID:6/4 | A ->B#2((A.ID =#2 B.ID) AND (A.X =#3 1)) B"},
    {"SELECT a.ID FROM a LEFT OUTER JOIN b ON a.ID = b.ID WHERE a.X = b.Y",
     "ID:6/4 | A ->B#2(A.ID =#2 B.ID) B | residual(A.X = B.Y)"},
    {"SELECT a.ID FROM a, b WHERE a.X = 1 OR b.Y = 2",
     "ID:6/4 | A ->B#0 B | residual((A.X = 1) OR (B.Y = 2))"},
    {"SELECT a.ID FROM a WHERE 5 < a.X AND a.ID = 3 AND a.ID IN (1, 2)",
     "ID:6/4 | A filter(IN(A.ID,1,2) AND ((A.ID = 3) AND (A.X > 5))) | where(((A.X > 5) AND (A.ID = 3)) AND "
     "IN(A.ID,1,2))"},
    {"SELECT x.ID FROM a x, c y WHERE X.ID = y.ID AND (x.X = 1 OR X.X = 2)",
     "ID:6/4 | X ->Y#1(X.ID =#1 Y.ID) filter((X.X = 1) OR (X.X = 2)) Y | where((X.X = 1) OR (X.X = 2))"},
    {"SELECT ID, ID, SUM(X), AVG(X), COUNT(*), X AS n, X AS N, X + 1, MIN(NAME), COUNT(X) FROM a GROUP BY "
     "ID, X ORDER BY 2 DESC",
     "ID:6/4 ID_1:6/4 Sum Of X:18/8 Average Of X:7/8 Count Of *:6/4 n:6/4 N_1:6/4 Expression:6/4 Min Of "
     "NAME:1/11 Count Of X:6/4 | A | result ID ID_1 Sum Of X Average Of X Count Of * n N_1 Expression Min Of "
     "NAME Count Of X Sys__Avg__Count11(hidden) Sys__GroupBy(1,6) Sys__OrderBy(2 DESC)"},
    {"SELECT ID, X FROM a ORDER BY ID", "ID:6/4 X:6/4 | A | ordered by index 1"},
    {"SELECT ID, X FROM a ORDER BY X, 1 DESC NOCASE",
     "ID:6/4 X:6/4 | A | result ID X Sys__OrderBy(2,1 DESC)"},
    {"SELECT DISTINCT X FROM a ORDER BY X", "X:6/4 | A | result X Sys__Distinct(1)"},
    {"SELECT * FROM b, c", "ID:6/4 Y:6/4 ID_1:6/4 Z:6/4 | B ->C#0 C"},
    {"SELECT X, MIN(X), COUNT(*) FROM a GROUP BY X HAVING MIN(X) > 1 AND COUNT(*) > 0",
     "X:6/4 Min Of X:6/4 Count Of *:6/4 | A | result X Min Of X Count Of * Sys__GroupBy(1)"},
    {"SELECT X, MIN(X) FROM a GROUP BY X HAVING MAX(X) > 5",
     "error: SQL error - Expression in HAVING clause not found in source columns"},
    {"SELECT ID FROM a UNION SELECT ID, Y FROM b",
     "error: SQL error - The number of columns  in the UNION query must match the  number of columns in the "
     "master query"},
    {"SELECT ID FROM a UNION ALL SELECT NAME FROM a",
     "error: SQL error - Type mismatch between column expression 'NAME' in the UNION ALL query and column "
     "expression 'ID' in the master query"},
    {"SELECT a.ID FROM a WHERE 1", "error: SQL error - WHERE or JOIN clause must be a boolean expression"},
    {"SELECT a.ID FROM a WHERE z.ID = 1",
     "error: SQL error - Invalid column name 'ID' or table correlation name 'z' specified in WHERE or JOIN "
     "clause"},
    {"SELECT a.ID FROM a LEFT OUTER JOIN b ON a.ID = b.ID LEFT OUTER JOIN c ON b.ID = c.ID AND a.ID = c.ID",
     "error: SQL error - Internal join error - table correlation name \"C\" is target of multiple join "
     "conditions in WHERE or JOIN clause"},
    {"SELECT a.ID FROM a, b, c WHERE a.ID + b.ID = c.ID",
     "error: SQL error - The join condition cannot contain multiple table correlation names in either the "
     "left or right operand in WHERE or JOIN clause"},
    {"SELECT nosuch FROM a",
     "error: SQL error - Invalid column name 'nosuch' or table correlation name '' specified in source "
     "columns"},
    {"SELECT ID, SUM(X) FROM a",
     "error: SQL error - Invalid use of aggregate function(s), the necessary GROUP BY clause is missing"},
    {"SELECT a.ID FROM a ORDER BY 9",
     "error: SQL error - Invalid column number '9' specified in ORDER BY clause"},
    {"SELECT X FROM a GROUP BY nosuch",
     "error: SQL error - Invalid column name 'nosuch' or table correlation name '' specified in GROUP BY "
     "clause"},
    {"SELECT * AS s FROM a",
     "error: SQL error - Invalid use of column correlation name 's' for '*' specified in source columns"},
    {"INSERT INTO a VALUES (1, 2, 'n')", "ID=1 X=2 NAME=3 "},
    {"INSERT INTO a (ID, X) VALUES (1, 'x')",
     "error: SQL error - Type mismatch between column 'X' and constant ''x'' in update values"},
    {"INSERT INTO a VALUES (1)",
     "error: SQL error - The number of values (1) does not match the number of table columns (3)"},
    {"INSERT INTO a (ID) SELECT ID, Y FROM b",
     "error: SQL error - The number of values (2) does not match the number of table columns (1)"},
    {"INSERT INTO a (ID, X) SELECT ID, Y FROM b", "ID=1 X=2 "},
    {"INSERT INTO a (nosuch) VALUES (1)",
     "error: SQL error - Invalid column name 'nosuch' or table correlation name '' specified in table "
     "columns"},
    {"UPDATE a SET X = ID + 1 WHERE ID = 2", "X=2 "},
};

TEST_F(PlanTest, EachStatementGetsItsPlan) {
  for (const Row& row : kPlans) {
    EXPECT_EQ(plan(row.sql), row.expected) << row.sql;
  }
}

}  // namespace

namespace {

using engine::TEngineFieldType;
using T = TEngineFieldType;

// A value of `type` holding the whole number v (BCD with 2 places), and the number back.
void encode(T type, int64_t v, uint8_t* p) {
  switch (type) {
    case T::SmallInt:
    case T::Word:
      p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
      break;
    case T::Integer:
    case T::Date:
    case T::Time:
      engine::PutIntegerValue(p, int32_t(v));
      break;
    case T::Float:
    case T::Timestamp:
      engine::PutFloatValue(p, double(v));
      break;
    case T::BCD:
      engine::EncodeBcdValue(v * 10000, 2, p);
      break;
    default:
      engine::PutLargeIntValue(p, v);
  }
}

long double decode(T stored, const uint8_t* p) {
  switch (stored) {
    case T::SmallInt:
      return int16_t(p[0] | (p[1] << 8));
    case T::Word:
      return uint16_t(p[0] | (p[1] << 8));
    case T::Integer:
    case T::Date:
    case T::Time:
      return engine::GetIntegerValue(p);
    case T::Float:
    case T::Timestamp:
      return engine::GetFloatValue(p);
    case T::BCD: {
      int64_t scaled = 0;
      engine::DecodeBcdValue(p, scaled);
      return scaled / 10000;
    }
    default:
      return engine::GetLargeIntValue(p);
  }
}

// The accumulator's type: SUM widens the small integers, AVG sums integers as floats.
T storedType(uint8_t kind, T type) {
  bool integer = type == T::SmallInt || type == T::Word || type == T::Integer || type == T::LargeInt;
  if (kind == akCount) return T::Integer;
  if ((kind == akSum || kind == akRunSum) && (type == T::SmallInt || type == T::Word)) return T::Integer;
  if ((kind == akSum || kind == akRunSum) && type == T::Integer) return T::LargeInt;
  if (kind == akAvg && integer) return T::Float;
  return type;
}

TEST(AccumulateTest, EveryKindAndTypeAgreesWithExactArithmetic) {
  const char* given = std::getenv("SQL_ACCUMULATE_SEED");
  const unsigned seed = given ? unsigned(std::strtoul(given, nullptr, 10)) : std::random_device{}();
  SCOPED_TRACE("SQL_ACCUMULATE_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  const T kTypes[] = {T::SmallInt, T::Word, T::Integer, T::LargeInt, T::Float,
                      T::BCD,      T::Date, T::Time,    T::Timestamp};
  for (uint8_t kind : {akSum, akRunSum, akMin, akMax, akAvg, akCount})
    for (T type : kTypes)
      for (int round = 0; round < 20; ++round) {
        uint8_t acc[64] = {};
        bool isNull = true;
        long double sum = 0, low = 0, high = 0;
        int count = 0;
        const int n = int(random() % 12);
        for (int i = 0; i < n; ++i) {
          if (random() % 4 == 0) continue;  // a NULL: the caller does not accumulate it
          const int64_t v = type == T::Word ? int64_t(random() % 1000) : int64_t(random() % 2001) - 1000;
          uint8_t value[64] = {};
          encode(type, v, value);
          TDataQuery::AccumulateValue(kind, type, isNull, acc, value, 2);
          sum += v;
          low = count ? std::min<long double>(low, v) : v;
          high = count ? std::max<long double>(high, v) : v;
          ++count;
        }
        ASSERT_EQ(isNull, count == 0) << int(kind) << " " << int(type);
        if (!count) continue;
        const long double expected = kind == akCount ? count
                                     : kind == akMin ? low
                                     : kind == akMax ? high
                                                     : sum;
        ASSERT_EQ(decode(storedType(kind, type), acc), expected) << int(kind) << " " << int(type);
      }
}

}  // namespace
