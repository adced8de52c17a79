// What the statement driver promises beyond single statements: a text is checked whole before
// anything runs, every statement gets its own parameters, and a data change is all or nothing.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine;

class DriverTest : public ::testing::Test {
 protected:
  DriverTest() : directory(session.OpenDataDirectory("db", folder.path())) {
    run("CREATE TABLE t (a INTEGER, PRIMARY KEY (a))");
  }
  ~DriverTest() override { session.CloseDataDirectory(directory); }
  TDataCursor* run(const std::string& text, sql::TQueryStatement* s = nullptr) {
    sql::TQueryStatement own(*directory);
    sql::TQueryStatement& statement = s ? *s : own;
    statement.Prepare(text);
    return statement.Execute();
  }
  std::string rows(const std::string& query = "SELECT a FROM t ORDER BY a") {
    sql::TQueryStatement s(*directory);
    TDataCursor* c = run(query, &s);
    std::string out, text;
    std::vector<uint8_t> record(c->RecordSize());
    c->SetToBegin();
    while (c->GetNextRecord(record.data()) == 0)
      out += (sql::ColumnText(*c, 1, record.data(), text) ? text : "NULL") + " ";
    return out;
  }
  platform::testing::TempFolder folder;
  TDataSession session;
  TDataDirectory* directory;
};

TEST_F(DriverTest, ASyntaxErrorInALaterStatementStopsTheTextBeforeAnythingRuns) {
  EXPECT_THROW(run("INSERT INTO t VALUES (1); INSERT INTO t VALUES (2); SELEC a FROM t"), EVELDOREngineError);
  EXPECT_EQ(rows(), "");
  run("CREATE TABLE u (b INTEGER); INSERT INTO u VALUES (5)");
  EXPECT_EQ(rows("SELECT b FROM u"), "5 ");
}

TEST_F(DriverTest, EachStatementTakesItsOwnParametersAndAMissingOneRaises) {
  sql::TQueryStatement s(*directory);
  s.Prepare("INSERT INTO t VALUES (?); INSERT INTO t VALUES (?)");
  std::vector<TFieldDescriptor> d(2);
  std::vector<uint8_t> values(10, 0);
  for (uint16_t i = 0; i < 2; ++i) {
    d[i].SetType(uint8_t(TEngineFieldType::Integer));
    d[i].SetStoredSize(4);
    d[i].SetOffset(uint16_t(i * 5));
    values[i * 5] = 1;
    PutIntegerValue(&values[i * 5 + 1], 7 + i);
  }
  s.SetParams(1, d, values);
  EXPECT_THROW(s.Execute(), EVELDOREngineError);
  EXPECT_EQ(rows(), "7 ");
  run("DELETE FROM t");
  s.SetParams(2, d, values);
  s.Execute();
  EXPECT_EQ(rows(), "7 8 ");
  EXPECT_THROW(s.SetParams(2, d, std::span(values).first(6)), EVELDOREngineError);
}

TEST_F(DriverTest, AChangeThatFailsOrIsStoppedLeavesNoneOfItsRows) {
  run("CREATE TABLE src (a CHAR(5))");
  for (const char* v : {"1", "2", "3", "x", "4"}) run(std::string("INSERT INTO src VALUES ('") + v + "')");
  EXPECT_THROW(run("INSERT INTO t SELECT a FROM src"), EVELDOREngineError);
  EXPECT_EQ(rows(), "");
  // COMMIT INTERVAL keeps the rows of each finished interval.
  EXPECT_THROW(run("INSERT INTO t SELECT a FROM src COMMIT INTERVAL 2"), EVELDOREngineError);
  EXPECT_EQ(rows(), "1 2 ");
  // A run that the progress callback stops halfway is rolled back whole.
  for (int v = 10; v < 60; ++v) run("INSERT INTO t VALUES (" + std::to_string(v) + ")");
  for (const char* change : {"DELETE FROM t WHERE a >= 10", "UPDATE t SET a = a + 100 WHERE a >= 10",
                             "UPDATE t SET a = a + 100"}) {
    sql::TQueryStatement s(*directory);
    s.Prepare(change);
    int calls = 0;
    s.SetProgressCallback([&](int, bool& abort) { abort = ++calls == 2; });
    EXPECT_THROW(s.Execute(), EVELDOREngineError) << change;
    EXPECT_EQ(rows("SELECT COUNT(*), MIN(a), MAX(a) FROM t"), "52 ") << change;
    EXPECT_EQ(rows("SELECT MAX(a) FROM t"), "59 ") << change;
  }
}

TEST_F(DriverTest, AnUpdateOfTheWalkedIndexChangesEachRowOnce) {
  for (int v = 1; v <= 50; ++v) run("INSERT INTO t VALUES (" + std::to_string(v) + ")");
  run("UPDATE t SET a = a + 100 WHERE a > 0");
  EXPECT_EQ(rows("SELECT COUNT(*), MIN(a), MAX(a) FROM t"), "50 ");
  EXPECT_EQ(rows("SELECT MIN(a) FROM t"), "101 ");
  EXPECT_EQ(rows("SELECT MAX(a) FROM t"), "150 ");
}

}  // namespace

namespace {

TEST_F(DriverTest, DeepOrWideStatementsAreRefusedWithAMessage) {
  auto refused = [&](const std::string& text) {
    try {
      run(text);
    } catch (const EVELDOREngineError& e) {
      return e.ErrorText();
    }
    return std::string("ran");
  };
  std::string nested = "SELECT a FROM t WHERE ";
  for (int i = 0; i < 3000; ++i) nested += "a IN (SELECT a FROM t WHERE ";
  nested += "1 = 1" + std::string(3000, ')');
  EXPECT_EQ(refused(nested), "SQL error - Statement is nested too deeply");
  std::string unions = "SELECT a FROM t";
  for (int i = 0; i < 50000; ++i) unions += " UNION SELECT a FROM t";
  EXPECT_EQ(refused(unions), "SQL error - Statement is nested too deeply");
  std::string joins = "SELECT t0.a FROM t t0";
  for (int i = 1; i < 3000; ++i)
    joins += " INNER JOIN t t" + std::to_string(i) + " ON t" + std::to_string(i - 1) + ".a = t" +
             std::to_string(i) + ".a";
  EXPECT_EQ(refused(joins), "SQL error - Maximum number of tables (256) in FROM clause exceeded");
  // Within the bounds a statement runs.
  run("INSERT INTO t VALUES (1)");
  std::string union100 = "SELECT a FROM t";
  for (int i = 0; i < 100; ++i) union100 += " UNION ALL SELECT a FROM t";
  std::string ones;
  for (int i = 0; i <= 100; ++i) ones += "1 ";
  EXPECT_EQ(rows(union100), ones);
}

// A live result's cursor is the source table's cursor marked as a query result: it counts as a
// user of the table from then on, and its close gives back only what it took.
TEST_F(DriverTest, ALiveResultCountsAsAUserOfItsTableUntilItCloses) {
  run("INSERT INTO t VALUES (1)");
  TDataCursor own(*directory);
  own.SetTableName("t");
  own.Open();
  TDataTable& table = *own.Table();
  const uint16_t users = table.GetUserCount();
  {
    sql::TQueryStatement s(*directory);
    s.RequestLive = true;
    TDataCursor* c = run("SELECT * FROM t WHERE a > 0", &s);
    ASSERT_TRUE(s.Live);
    EXPECT_EQ(c->Table(), &table);
    EXPECT_EQ(table.GetUserCount(), users + 1);
  }
  EXPECT_EQ(table.GetUserCount(), users);
}

// A statement may outlive its database and even its session (a component freed late): it lets
// go of them without touching freed memory and refuses every later use.
TEST(StatementLifetimeTest, AStatementWhoseDatabaseWentRefusesEveryUse) {
  platform::testing::TempFolder folder;
  auto expectGone = [](const std::function<void()>& use) {
    try {
      use();
      ADD_FAILURE() << "the statement was used after its database went";
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ(e.ErrorCode(), VELDOR_NOTINITIALIZED);
    }
  };
  {
    TDataSession session;
    TDataDirectory* directory = session.OpenDataDirectory("db", folder.path());
    sql::TQueryStatement empty(*directory);
    sql::TQueryStatement{*directory}.Prepare("CREATE TABLE t (a INTEGER)");
    EXPECT_EQ(directory->Statements().size(), 1u);
    session.CloseDataDirectory(directory);
    expectGone([&] { empty.Prepare("SELECT a FROM t"); });
  }
  auto session = std::make_unique<TDataSession>();
  TDataDirectory* directory = session->OpenDataDirectory("db", folder.path());
  auto prepared = std::make_unique<sql::TQueryStatement>(*directory);
  prepared->Prepare("CREATE TABLE u (a INTEGER); INSERT INTO u VALUES (1)");
  prepared->Execute();
  prepared->Prepare("SELECT a FROM u WHERE a > 0 ORDER BY a");
  ASSERT_EQ(prepared->Execute()->GetRecordCount(), 1);
  session.reset();
  expectGone([&] { prepared->Execute(); });
  prepared.reset();
}

}  // namespace

namespace {

// The SELECT of an INSERT and a sub-select may end in UNION parts; the parts write into the
// table of the query that begins their chain, which each run empties first.
class UnionSourceTest : public DriverTest {
 protected:
  UnionSourceTest() {
    run("CREATE TABLE a (id INTEGER); CREATE TABLE b (id INTEGER)");
    for (int v = 1; v <= 5; ++v) run("INSERT INTO a VALUES (" + std::to_string(v) + ")");
  }
  std::string ofB() { return rows("SELECT id FROM b ORDER BY id"); }
};

TEST_F(UnionSourceTest, AnInsertTakesEveryRowOfTheUnionOnceAtEachRun) {
  run("INSERT INTO b SELECT id FROM a UNION ALL SELECT id + 1 FROM a");
  EXPECT_EQ(ofB(), "1 2 2 3 3 4 4 5 5 6 ");
  run("DELETE FROM b");
  sql::TQueryStatement s(*directory);
  s.Prepare("INSERT INTO b SELECT id FROM a UNION SELECT id + 1 FROM a UNION SELECT id * 2 FROM a");
  s.Execute();
  EXPECT_EQ(ofB(), "1 2 3 4 5 6 8 10 ");
  // A second run reads the union afresh, not on top of the rows of the first.
  s.Execute();
  EXPECT_EQ(rows("SELECT COUNT(*) FROM b"), "16 ");
  run("DELETE FROM b");
  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
           {"INSERT INTO b SELECT id FROM a UNION ALL SELECT id FROM a WHERE id > 3 ORDER BY 1 TOP 3",
            "1 2 3 "},
           // DISTINCT of the first part holds for its own rows, as in the SELECT alone.
           {"INSERT INTO b SELECT DISTINCT id FROM a WHERE id < 3 UNION ALL SELECT id FROM a WHERE id < 2",
            "1 1 2 "},
           {"INSERT INTO b SELECT MAX(id) FROM a UNION SELECT MIN(id) FROM a", "1 5 "},
           {"INSERT INTO b SELECT id FROM a WHERE id IN (SELECT id - 3 FROM a UNION SELECT id + 3 FROM a)",
            "1 2 4 5 "},
           {"INSERT INTO b SELECT id FROM a WHERE id NOT IN (SELECT id FROM a WHERE id > 1 UNION ALL "
            "SELECT id FROM a WHERE id < 5)",
            ""}}) {
    run(text);
    EXPECT_EQ(ofB(), expected) << text;
    run("DELETE FROM b");
  }
  EXPECT_EQ(
      rows(
          "SELECT id FROM a WHERE id IN (SELECT id FROM a WHERE id = 2 UNION SELECT id FROM a WHERE id = 4)"),
      "2 4 ");
  EXPECT_EQ(rows("SELECT DISTINCT id FROM a WHERE id < 3 UNION ALL SELECT id FROM a WHERE id < 2 ORDER BY 1"),
            "1 1 2 ");
}

TEST_F(UnionSourceTest, AnInsertOfAUnionIsAllOrNothingInsideTheCallersTransactionToo) {
  directory->StartTransaction();
  run("INSERT INTO b SELECT id FROM a UNION ALL SELECT id + 1 FROM a");
  directory->Rollback();
  EXPECT_EQ(ofB(), "");
  directory->StartTransaction();
  run("INSERT INTO b SELECT id FROM a WHERE id = 1 UNION SELECT id FROM a WHERE id = 5");
  directory->Commit(true, false);
  EXPECT_EQ(ofB(), "1 5 ");
  // A row of a later part that the target refuses (a text that is no number, a key met twice)
  // leaves none of the union's rows.
  run("CREATE TABLE src (v CHAR(5))");
  for (const char* v : {"7", "x"}) run(std::string("INSERT INTO src VALUES ('") + v + "')");
  EXPECT_THROW(run("INSERT INTO t SELECT id FROM a UNION ALL SELECT v FROM src"), EVELDOREngineError);
  EXPECT_EQ(rows(), "");
  EXPECT_THROW(run("INSERT INTO t SELECT id FROM a UNION ALL SELECT id FROM a WHERE id = 3"),
               EVELDOREngineError);
  EXPECT_EQ(rows(), "");
  // In the caller's transaction the failure is the caller's to roll back, as without a UNION.
  directory->StartTransaction();
  EXPECT_THROW(run("INSERT INTO t SELECT id FROM a UNION ALL SELECT id + 4 FROM a"), EVELDOREngineError);
  directory->Rollback();
  EXPECT_EQ(rows(), "");
}

}  // namespace
