// The statement model beyond parsing: correlation names bound in one case, join conditions
// combined as conjuncts, nested-loop stepping over inner and outer joins, and statements cut off
// at every token.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/values/veldorexpcheck.h"
#include "sql_test_util.h"

namespace {

using namespace sql_test;

class ModelTest : public ::testing::Test {
 protected:
  ModelTest() : directory(session.OpenDataDirectory("Memory", "")), statement(*directory) {}
  ~ModelTest() override { session.CloseDataDirectory(directory); }

  void table(const std::string& name, const std::vector<int32_t>& ids) {
    std::vector<std::vector<int32_t>> rows;
    for (int32_t id : ids) rows.push_back({id});
    createTable(*directory, name, {"ID"}, rows);
  }
  TExpToken* condition(const std::string& where) {
    statement.ParseStatement("SELECT * FROM a, b WHERE " + where);
    return statement.MasterQuery()->Conditions[csWhere].release();
  }

  TDataSession session;
  TDataDirectory* directory;
  TQueryStatement statement;
};

TEST_F(ModelTest, CorrelationNamesAreBoundInOneCase) {
  statement.ParseStatement("SELECT a FROM t x, u WHERE X.a = x.b AND x.c = U.d");
  TDataQuery& q = *statement.MasterQuery();
  TExpToken* both = q.Conditions[csWhere].get();
  bool multiple = true;
  EXPECT_EQ(TableReference(q, both->left, multiple), "X");
  EXPECT_FALSE(multiple);
  EXPECT_EQ(tree(both->left), "(X.a = X.b)");
  EXPECT_FALSE(IsJoinCondition(q, both->left, false));
  EXPECT_TRUE(IsJoinCondition(q, both, false));
  EXPECT_FALSE(IsJoinCondition(q, both, true));
  EXPECT_EQ(q.FindCorrelation("x"), q.FindCorrelation("X"));
}

TEST_F(ModelTest, JoinConditionsAreConjunctsAndADisjunctionStaysWhole) {
  engine::TExpTreePtr on(condition("a.x = b.x AND (a.y = b.y OR a.z = b.z)"));
  TDataQuery& q = *statement.MasterQuery();
  TSourceTable& outer = *q.SourceTables[0];
  TSourceTable& inner = *q.SourceTables[1];
  TExpToken* disjunction = on->right;
  outer.AddJoin(jkInner, engine::CopyExpTree(on->left), inner);
  outer.AddJoin(jkInner, engine::CopyExpTree(disjunction->left), inner);  // a conjunct found below an OR
  outer.AddJoin(jkInner, engine::CopyExpTree(disjunction), inner);
  ASSERT_EQ(outer.Joins.size(), 1u);
  EXPECT_EQ(tree(outer.Joins[0]->Condition.get()),
            "(((a.x = b.x) AND (a.y = b.y)) AND ((a.y = b.y) OR (a.z = b.z)))");
  EXPECT_TRUE(outer.HasJoinTo(inner));
  outer.AddJoin(jkLeftOuter, engine::CopyExpTree(on->left), inner);  // another kind: a join of its own
  EXPECT_EQ(outer.Joins.size(), 2u);
  outer.Joins[0]->MirrorCondition();
  EXPECT_EQ(tree(outer.Joins[0]->Condition.get()),
            "(((b.x = a.x) AND (b.y = a.y)) AND ((b.y = a.y) OR (b.z = a.z)))");
}

// The rows of a join of `kind` from a to `inner` on `on`, as "a:inner" pairs ("-" past its end).
std::string joinedRows(TQueryStatement& statement, uint8_t kind, const std::string& inner,
                       const std::string& on) {
  statement.ParseStatement("SELECT * FROM MEMORY a, MEMORY " + inner + " WHERE " + on);
  TDataQuery& q = *statement.MasterQuery();
  for (auto& t : q.SourceTables) {
    t->Open(nullptr, false);
    t->AllocRecordBuffer();
  }
  TExpToken* condition = q.Conditions[csWhere].release();
  auto resolve = [](void* data, TExpToken& node) {
    return static_cast<TDataQuery*>(data)->BindColumnRef(node);
  };
  engine::TypeCheckExpTree(engine::VELDOR_SQLPARSE, "", "", false, true, resolve, &q, nullptr, *condition,
                           "");
  TSourceTable& a = *q.SourceTables[0];
  TSourceTable& b = *q.SourceTables[1];
  a.AddJoin(kind, condition, b);
  std::ostringstream rows;
  auto id = [](TSourceTable& t) {
    if (t.AtEnd) return std::string("-");
    bool isNull = false;
    uint8_t value[8] = {};
    t.Cursor->GetField(1, t.RecordBuffer.data(), isNull, value);
    return isNull ? std::string("null") : std::to_string(engine::GetIntegerValue(value));
  };
  for (bool more = a.FirstMatch(jkNone); more; more = a.NextMatch()) rows << id(a) << ":" << id(b) << " ";
  return rows.str();
}

// The rows of a prepared statement's source tables as its nested loops step them.
std::string plannedRows(TQueryStatement& statement, const std::string& sql) {
  statement.ParseStatement(sql);
  TDataQuery& q = *statement.MasterQuery();
  prepare(q);
  std::ostringstream rows;
  for (bool more = q.DrivingTable->FirstMatch(jkNone); more; more = q.DrivingTable->NextMatch()) {
    for (auto& t : q.SourceTables) {
      bool isNull = false;
      uint8_t value[8] = {};
      if (!t->AtEnd) t->Cursor->GetField(1, t->RecordBuffer.data(), isNull, value);
      rows << (t.get() == q.DrivingTable ? "" : ":")
           << (t->AtEnd ? "-" : std::to_string(engine::GetIntegerValue(value)));
    }
    rows << " ";
  }
  return rows.str();
}

TEST_F(ModelTest, AnOuterJoinsConditionOnThePreservedTableKeepsItsRows) {
  table("a", {1, 2, 3});
  table("b", {1, 2, 3});
  EXPECT_EQ(plannedRows(statement, "SELECT * FROM a LEFT OUTER JOIN b ON a.ID = b.ID AND a.ID = 2"),
            "1:- 2:2 3:- ");
  EXPECT_EQ(plannedRows(statement, "SELECT * FROM a LEFT OUTER JOIN b ON a.ID = b.ID AND b.ID > 1"),
            "1:- 2:2 3:3 ");
  EXPECT_EQ(plannedRows(statement, "SELECT * FROM b RIGHT OUTER JOIN a ON a.ID = b.ID AND a.ID <> 2"),
            "1:1 2:- 3:3 ");
}

TEST_F(ModelTest, NestedLoopsStepInnerAndOuterJoins) {
  table("a", {1, 2, 3});
  table("b", {2, 3, 3, 4});
  table("e", {});
  EXPECT_EQ(joinedRows(statement, jkInner, "b", "a.ID = b.ID"), "2:2 3:3 3:3 ");
  EXPECT_EQ(joinedRows(statement, jkLeftOuter, "b", "a.ID = b.ID"), "1:- 2:2 3:3 3:3 ");
  EXPECT_EQ(joinedRows(statement, jkInner, "b", "a.ID < b.ID"), "1:2 1:3 1:3 1:4 2:3 2:3 2:4 3:4 ");
  // An empty inner table: each outer row once.
  EXPECT_EQ(joinedRows(statement, jkLeftOuter, "e", "a.ID = e.ID"), "1:- 2:- 3:- ");
  EXPECT_EQ(joinedRows(statement, jkInner, "e", "a.ID = e.ID"), "");
}

// Every prefix of these statements, cut at a token, either parses or raises the SQL error; none
// leaves a node of the pool behind. A prefix ending in a word that needs more must fail.
TEST_F(ModelTest, StatementsCutOffAtAnyTokenFailWithASyntaxError) {
  const char* const kStatements[] = {
      "SELECT DISTINCT a.x AS y, SUM(b.z) INTO MEMORY r FROM t a LEFT OUTER JOIN u b ON a.id = b.id AND (a.k "
      "= "
      "b.k OR a.j > 2) WHERE a.q IN (SELECT w FROM v) GROUP BY a.x HAVING SUM(b.z) > 1 ORDER BY 1 DESC "
      "NOCASE TOP 5 "
      "WITH LOCKS LANGUAGE 'English (UK)' SORT 'Default Order' ENCRYPTED WITH 'p' NOJOINOPTIMIZE ;",
      "INSERT INTO MEMORY t x ( a , b ) VALUES ( ? , 'v' || 'w' ) NOAUTOINC COMMIT INTERVAL 10 FLUSH ;",
      "UPDATE t AS x SET a = 1 , b = c FROM t x JOIN u ON x.id = u.id WHERE u.k = 2 COMMIT FLUSH "
      "NOJOINOPTIMIZE",
      "CREATE TABLE IF NOT EXISTS t ( a INTEGER NOT NULL DEFAULT '1' , b CHAR ( 10 ) CHARCASE UPPER , "
      "CONSTRAINT "
      "pk UNIQUE PRIMARY KEY ( a ) COMPRESS FULL TEXT INDEX ( b ) STOP WORDS 'a b' SPACE CHARS ' ' "
      "DESCRIPTION 'd' "
      "BLOB BLOCK SIZE 1024 USER MAJOR VERSION 2 USER MINOR VERSION 1 LAST AUTOINC 5 )",
      "ALTER TABLE t ADD c INTEGER AT 1 , DROP d , REDEFINE e f CHAR ( 20 ) NOT NULL NOBACKUP",
      "CREATE UNIQUE INDEX ix ON t ( a , b ) COMPRESS DUPBYTE",
      "DROP INDEX IF EXISTS t.ix"};
  const std::set<std::string> kNeedMore = {
      "SELECT",     "DISTINCT", "AS",          "INTO",     "FROM",  "LEFT",   "OUTER",     "JOIN",
      "ON",         "AND",      "OR",          "(",        "=",     ">",      "IN",        "WHERE",
      "GROUP",      "BY",       "HAVING",      "ORDER",    "TOP",   "WITH",   "ENCRYPTED", "LANGUAGE",
      "SORT",       ",",        "INSERT",      "VALUES",   "||",    "COMMIT", "INTERVAL",  "UPDATE",
      "SET",        "CREATE",   "TABLE",       "IF",       "NOT",   "EXISTS", "DEFAULT",   "CHARCASE",
      "CONSTRAINT", "PRIMARY",  "KEY",         "COMPRESS", "TEXT",  "INDEX",  "STOP",      "WORDS",
      "SPACE",      "CHARS",    "DESCRIPTION", "BLOB",     "BLOCK", "SIZE",   "USER",      "MAJOR",
      "MINOR",      "VERSION",  "LAST",        "AUTOINC",  "ALTER", "ADD",    "AT",        "DROP",
      "REDEFINE",   "DROP"};
  const int64_t before = engine::ExpTokensInUse();
  for (const char* text : kStatements) {
    std::istringstream words(text);
    std::string prefix, word;
    while (words >> word) {
      prefix += (prefix.empty() ? "" : " ") + word;
      bool failed = false;
      try {
        statement.ParseStatement(prefix);
      } catch (const EVELDOREngineError& e) {
        EXPECT_EQ(e.ErrorCode(), engine::VELDOR_SQLPARSE) << prefix;
        EXPECT_TRUE(statement.Queries().empty() && !statement.MasterQuery()) << prefix;
        failed = true;
      }
      if (kNeedMore.count(word)) {
        EXPECT_TRUE(failed) << prefix;
      }
      statement.FreeQueries();
      EXPECT_EQ(engine::ExpTokensInUse(), before) << prefix;
    }
  }
}

}  // namespace
