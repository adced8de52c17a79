// The query component on the program's own road, on a real database folder: its statements with
// named parameters, a detail query following its master; the list model over a live result.
#include <gtest/gtest.h>

#include "dataset/dberror.h"
#include "engine/components/veldortb.h"
#include "engine/storage/veldorfile.h"
#include "platform/scopeguard.h"
#include "tests/dataaccess/listmodel.h"
#include "tests/engine/storage/storage_test_util.h"

namespace {

using namespace engine::components;
namespace ds = dataset;
using storage_test::Helper;

class QueryRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db.SetDatabaseName("dbmain");
    db.SetDirectory(dir.path());
    q.SetDatabaseName("dbmain");
  }
  void exec(const std::string& text) {
    q.SetSQL(text);
    q.ExecSQL();
  }
  std::string failure(const std::function<void()>& step) try {
    step();
    return "no failure";
  } catch (const ds::EDatabaseError& e) {
    return e.what();
  }
  // `sql` opened again on `q`, live or as a copied result: every row's values as text, "-" for
  // NULL, in the result's order.
  std::vector<std::string> rowsOf(const std::string& sql, bool live) {
    q.Close();
    q.SetRequestLive(live);
    q.SetSQL(sql);
    q.Open();
    std::vector<std::string> rows;
    for (; !q.Eof(); q.Next()) {
      std::string row;
      for (int k = 0; k < q.FieldCount(); ++k)
        row += (q.Fields(k).IsNull() ? "-" : q.Fields(k).AsString()) + "|";
      rows.push_back(std::move(row));
    }
    return rows;
  }
  platform::testing::TempFolder dir;
  TVELDORDatabase db;
  TVELDORQuery q;
};

TEST_F(QueryRoadTest, TaskStatementsWithNamedParametersRunAndReadBack) {
  exec("CREATE TABLE task (id INTEGER, name CHAR(250), createtime TIMESTAMP, PRIMARY KEY (id))");
  exec("CREATE TABLE tasklogc (taskid INTEGER, content BLOB(1,1))");
  exec("INSERT INTO task (id, name, createtime) VALUES (1, 'first', '2026-12-01 10:30:00')");
  q.SetSQL("INSERT INTO task (id, name, createtime)\nVALUES (:id, :name, :createtime)");
  EXPECT_EQ(q.Text(), "INSERT INTO task (id, name, createtime)\nVALUES (?, ?, ?)");
  EXPECT_EQ(failure([&] { q.ExecSQL(); }), "No value for parameter 'id'");
  for (int id : {2, 3}) {
    q.ParamByName("id").SetAsInteger(id);
    q.ParamByName("name").SetAsString(id == 2 ? std::string(251, 'n') : "third");
    q.ParamByName("createtime")
        .SetAsDateTime(ds::textToDateTime("2026-12-0" + std::to_string(id) + " 10:30"));
    q.ExecSQL();
    EXPECT_EQ(q.RowsAffected(), 1);
  }
  // A text too long to go inline compares as text.
  q.SetSQL("SELECT id FROM task WHERE name < :name ORDER BY id");
  const std::pair<std::string, std::string> runs[] = {{std::string(300, 'g'), "1"},
                                                      {"third", "12"},
                                                      {std::string(260, 'a'), ""},
                                                      {std::string(251, 'o'), "12"}};
  for (const auto& [name, ids] : runs) {
    q.ParamByName("name").SetAsString(name);
    q.Open();
    std::string seen;
    for (; !q.Eof(); q.Next()) seen += q.FieldByName("id").AsString();
    EXPECT_EQ(seen, ids) << name.size();
    q.Close();
  }
  q.SetSQL("UPDATE task SET name = :name WHERE id = :id");
  q.ParamByName("name").SetAsString("first, renamed");
  q.ParamByName("id").SetAsInteger(1);
  q.ExecSQL();

  // A run's output longer than any 16-bit length, as a memo parameter.
  std::string output;
  for (int i = 0; output.size() < 70000; ++i) output += "line " + std::to_string(i) + "\r\n";
  q.SetSQL("INSERT INTO tasklogc (taskid, content) VALUES (:taskid, :content)");
  q.ParamByName("taskid").SetAsInteger(3);
  q.ParamByName("content").DataType = ds::ftMemo;
  q.ParamByName("content").SetValue(ds::Variant(output));
  q.ExecSQL();

  int progress = 0;  // calls, with a percentage of the rows copied
  q.OnQueryProgress = [&](TVELDORQuery&, uint16_t, bool&) { ++progress; };
  q.SetSQL("SELECT id, name, createtime FROM task ORDER BY createtime DESC");
  q.Open();
  EXPECT_GT(progress, 0);
  EXPECT_EQ(failure([&] { q.ExecSQL(); }), SDataSetOpen);
  std::string seen;
  for (; !q.Eof(); q.Next())
    seen += q.FieldByName("id").AsString() + q.FieldByName("name").AsString().substr(0, 3);
  EXPECT_EQ(seen, "3thi2nnn1fir");
  q.Close();

  q.SetSQL("SELECT content FROM tasklogc WHERE taskid = :taskid");
  q.ParamByName("taskid").SetAsInteger(3);
  q.Open();
  EXPECT_TRUE(q.FieldByName("content").AsString() == output);  // whole, without a terminator
  q.Close();

  q.SetSQL("DELETE FROM task WHERE id = :id");
  q.ParamByName("id").SetAsInteger(2);
  q.ExecSQL();
  // A detail query takes its unbound parameter from the master's current record.
  TVELDORQuery master;
  master.SetDatabaseName("dbmain");
  master.SetSQL("SELECT id FROM task ORDER BY id");
  master.Open();
  ds::DataSource tasks;
  tasks.SetDataSet(&master);
  q.Params().Clear();  // a value kept from the last text would be bound
  q.SetSQL("SELECT name FROM task WHERE id = :id");
  q.SetDataSource(&tasks);
  q.Open();
  EXPECT_EQ(q.FieldByName("name").AsString(), "first, renamed");
  master.Next();
  EXPECT_EQ(q.FieldByName("name").AsString(), "third");

  q.SetSQL("x");
  EXPECT_EQ(failure([&] { q.Prepare(); }), SNoSQLStatement);
  q.SetSQL("DELETE FROM task WHERE id = 99");
  EXPECT_EQ(failure([&] { q.Open(); }), SHandleError);
  q.ParamCheck = false;
  q.SetSQL("SELECT * FROM task WHERE name = 'a:b' OR name = :x");
  EXPECT_EQ(q.Text(), "SELECT * FROM task WHERE name = 'a:b' OR name = :x");
}

// A rollback takes back what the query and a table component wrote since the transaction
// began; a commit keeps it, and another process reads it.
TEST_F(QueryRoadTest, ADatabaseTransactionCoversQueriesAndTables) {
  Helper reader([&](Helper& h) {
    h.receive();
    TVELDORTable t;  // on a database the session makes for the folder
    t.SetTableName(dir.path() + "/tasklogc");
    t.Open();
    return t.RecordCount() == 1 && t.FieldByName("content").AsString() == "run 2" ? 0 : 1;
  });
  EXPECT_EQ(failure([&] { db.StartTransaction(); }), SDatabaseClosed);
  exec("CREATE TABLE tasklog (id INTEGER, taskid INTEGER, PRIMARY KEY (id))");
  exec(
      "CREATE TABLE tasklogc (taskid INTEGER, tasklogid INTEGER, content BLOB(1,1), PRIMARY KEY (taskid, "
      "tasklogid))");
  TVELDORTable contents;
  contents.SetDatabaseName("dbmain");
  contents.SetTableName("tasklogc");
  const auto saveRun = [&](int id) {
    q.SetSQL("INSERT INTO tasklog (id, taskid) VALUES (:id, 7)");
    q.ParamByName("id").SetAsInteger(id);
    q.ExecSQL();
    contents.Open();
    contents.Append();
    contents.FieldByName("taskid").SetAsInteger(7);
    contents.FieldByName("tasklogid").SetAsInteger(id);
    contents.FieldByName("content").SetAsString("run " + std::to_string(id));
    contents.Post();
    contents.Close();
  };
  const auto count = [&](const char* table) {
    TVELDORQuery c;
    c.SetDatabaseName("dbmain");
    c.SetSQL(std::string("SELECT COUNT(*) FROM ") + table);
    c.Open();
    return c.Fields(0).AsInteger();
  };
  ASSERT_TRUE(db.Connected());
  db.StartTransaction();
  db.StartTransaction();  // the same one
  EXPECT_TRUE(db.InTransaction());
  saveRun(1);
  EXPECT_EQ(count("tasklogc"), 1);  // seen inside the transaction
  db.Rollback();
  EXPECT_FALSE(db.InTransaction());
  EXPECT_EQ(count("tasklog"), 0);
  EXPECT_EQ(count("tasklogc"), 0);
  db.StartTransaction();
  saveRun(2);
  db.Commit();
  db.Commit();  // none runs: nothing
  db.Rollback();
  reader.send(1);
  EXPECT_EQ(reader.wait(), 0);
}

// A DECIMAL column holds its own places whether a table's field is given a value of more or a
// parameter (which carries four places) is written into it by INSERT or UPDATE; each value is
// then found by the value it shows, through an index too.
TEST_F(QueryRoadTest, ADecimalColumnTakesItsOwnPlacesFromFieldsAndParameters) {
  exec("CREATE TABLE money (id INTEGER, d DECIMAL(10,2))");
  exec("CREATE INDEX byd ON money (d)");
  {
    TVELDORTable t;
    t.SetDatabaseName("dbmain");
    t.SetTableName("money");
    t.Open();
    t.Append();
    t.Fields(0).SetAsInteger(1);
    t.Fields(1).SetAsFloat(1.2356);
    t.Post();
    t.Append();
    t.Fields(0).SetAsInteger(2);
    t.Fields(1).SetAsString("-1.2356");
    t.Post();
  }
  q.SetSQL("INSERT INTO money (id, d) VALUES (:id, :d)");
  q.ParamByName("id").SetAsInteger(3);
  q.ParamByName("d").DataType = ds::ftBCD;
  q.ParamByName("d").SetValue(ds::Variant(ds::Currency{12356}));
  q.ExecSQL();
  exec("INSERT INTO money (id) VALUES (4)");
  q.SetSQL("UPDATE money SET d = :d WHERE id = :id");
  q.ParamByName("d").DataType = ds::ftBCD;
  q.ParamByName("d").SetValue(ds::Variant(ds::Currency{-12356}));
  q.ParamByName("id").SetAsInteger(4);
  q.ExecSQL();
  const std::vector<std::string> rounded = {"1|1.24|", "2|-1.24|", "3|1.24|", "4|-1.24|"};
  EXPECT_EQ(rowsOf("SELECT id, d FROM money ORDER BY id", false), rounded);
  EXPECT_EQ(rowsOf("SELECT id FROM money WHERE d = 1.24 ORDER BY id", false),
            (std::vector<std::string>{"1|", "3|"}));
  EXPECT_EQ(rowsOf("SELECT id FROM money WHERE d = -1.24 ORDER BY id", true),
            (std::vector<std::string>{"2|", "4|"}));
  q.Close();
}

// Result columns of one name are told apart by a counter from 1.
TEST_F(QueryRoadTest, ResultColumnsOfOneNameGetNumberedSuffixes) {
  exec("CREATE TABLE task (id INTEGER, name CHAR(20))");
  exec("INSERT INTO task (id, name) VALUES (1, 'first')");
  q.SetSQL("SELECT name, id, name, name FROM task");
  q.Open();
  std::vector<std::string> names;
  for (int i = 0; i < q.FieldCount(); ++i) names.push_back(q.Fields(i).FieldName);
  EXPECT_EQ(names, (std::vector<std::string>{"name", "id", "name_1", "name_2"}));
  EXPECT_EQ(q.FieldByName("name_2").AsString(), "first");
}

TEST_F(QueryRoadTest, DatasetModelOverALiveResult) {
  exec("CREATE TABLE plain (ID INTEGER, NAME CHAR(20))");
  q.SetSQL("SELECT * FROM plain");
  q.SetRequestLive(true);
  q.Open();
  std::vector<std::pair<int, std::string>> model;
  dataaccess::testing::RunListModel(q, storage_test::testSeed(), 600, model, true);
}

// A live result with a column computed from a memo: the memo written through a blob stream and
// not yet posted is kept while another field's value recomputes the column, and is posted.
TEST_F(QueryRoadTest, ALiveColumnOverAMemoKeepsTheMemoBeingWritten) {
  exec("CREATE TABLE t (id INTEGER, note BLOB(1, 1))");
  exec("INSERT INTO t (id, note) VALUES (1, 'old')");
  q.SetSQL("SELECT id, note, LENGTH(note) AS size FROM t");
  q.SetRequestLive(true);
  q.Open();
  q.Edit();
  const std::string text(700, 'n');
  q.CreateBlobStream(q.FieldByName("note"), ds::bmWrite)->Write(text.data(), text.size());
  q.FieldByName("id").SetAsInteger(2);
  EXPECT_EQ(q.FieldByName("size").AsInteger(), 700);
  EXPECT_EQ(q.FieldByName("note").AsString(), text);
  q.Post();
  q.Close();
  q.SetRequestLive(false);
  q.SetSQL("SELECT id, note FROM t");
  q.Open();
  EXPECT_EQ(q.FieldByName("id").AsInteger(), 2);
  EXPECT_EQ(q.FieldByName("note").AsString(), text);
  q.Close();
}

// A query's result is searched by expression over its own columns: computed ones, and a name
// that two columns share under the dataset's suffixed name.
TEST_F(QueryRoadTest, LocateSearchesTheResultsColumns) {
  exec("CREATE TABLE t (id INTEGER, name CHAR(20))");
  exec("INSERT INTO t (id, name) VALUES (1, 'Ann')");
  exec("INSERT INTO t (id, name) VALUES (2, 'bob')");
  exec("INSERT INTO t (id, name) VALUES (3, 'Bobby')");
  q.SetSQL("SELECT a.id, a.name, UPPER(b.name) AS name, a.id * 2 AS twice FROM t a, t b WHERE a.id = b.id");
  q.Open();
  EXPECT_EQ(q.Fields(2).FieldName, "name_1");
  EXPECT_TRUE(q.Locate("twice", int32_t(4), 0));
  EXPECT_EQ(q.FieldByName("id").AsInteger(), 2);
  EXPECT_TRUE(q.Locate("name", "BOB", ds::loCaseInsensitive | ds::loPartialKey));
  EXPECT_EQ(q.FieldByName("id").AsInteger(), 2);
  EXPECT_TRUE(q.Locate("name_1", "BOBBY", 0));
  EXPECT_EQ(q.FieldByName("id").AsInteger(), 3);
  EXPECT_FALSE(q.Locate("name_1", "Ann", 0));
  q.Close();
}

// A live result of a select list: the dataset shows the listed columns (one twice, under its
// suffixed name, and an expression), searches them, and writes an edit through to the table;
// the expression's field is read-only.
TEST_F(QueryRoadTest, ALiveSelectListEditsItsTableButNotItsExpression) {
  exec("CREATE TABLE t (id INTEGER, name CHAR(20), qty INTEGER)");
  exec("CREATE INDEX iqty ON t (qty)");
  exec("INSERT INTO t (id, name, qty) VALUES (1, 'Ann', 2)");
  exec("INSERT INTO t (id, name, qty) VALUES (2, 'bob', 5)");
  exec("INSERT INTO t (id, name, qty) VALUES (3, 'cy', 1)");
  q.SetSQL("SELECT name, id, name, qty * 2 AS twice FROM t WHERE qty > 1");
  q.SetRequestLive(true);
  q.Open();
  std::vector<std::string> names;
  for (int i = 0; i < q.FieldCount(); ++i) names.push_back(q.Fields(i).FieldName);
  EXPECT_EQ(names, (std::vector<std::string>{"name", "id", "name_1", "twice"}));
  EXPECT_EQ(q.RecordCount(), 2);
  EXPECT_TRUE(q.FieldByName("twice").ReadOnly);
  EXPECT_FALSE(q.FieldByName("name_1").ReadOnly);
  ASSERT_TRUE(q.Locate("twice", int32_t(10), 0));
  EXPECT_EQ(q.FieldByName("id").AsInteger(), 2);
  q.Edit();
  EXPECT_EQ(failure([&] { q.FieldByName("twice").SetAsInteger(1); }), "Field twice cannot be modified.");
  q.FieldByName("name_1").SetAsString("Bo");
  q.Post();
  EXPECT_EQ(q.FieldByName("name").AsString(), "Bo");
  EXPECT_EQ(q.FieldByName("twice").AsInteger(), 10);
  q.Close();
  q.SetRequestLive(false);
  q.SetSQL("SELECT name FROM t WHERE id = 2");
  q.Open();
  EXPECT_EQ(q.FieldByName("name").AsString(), "Bo");
  q.Close();
}

// A copied result against the live query over the same rows: every column type, NULLs in each
// column on their own rows, a memo empty, NULL or several blocks long. The rows without the memo
// are over a megabyte, so that the result takes them in several runs at once; with the memo it
// takes them one by one. Afterwards the copied rows can be found by their record ids (a row
// deleted and the next one reached) as in any table.
TEST_F(QueryRoadTest, ACopiedResultHoldsTheLiveQuerysRowsOfEveryType) {
  exec(
      "CREATE TABLE every (id AUTOINC, s SMALLINT, w WORD, i INTEGER, l LARGEINT, d DECIMAL(12,3), "
      "f FLOAT, mo MONEY, c CHAR(240), dt DATE, tm TIME, ts TIMESTAMP, b BOOLEAN, m BLOB(1,1))");
  constexpr int kRows = 4500;
  {
    TVELDORTable t;
    t.SetDatabaseName("dbmain");
    t.SetTableName("every");
    t.Open();
    for (int r = 0; r < kRows; ++r) {
      t.Append();
      // Column k (1-based, the AUTOINC aside) is NULL on the rows where r % 16 == k.
      const auto set = [&](int k, const std::function<void(ds::Field&)>& put) {
        if (r % 16 != k) put(t.Fields(k));
      };
      set(1, [&](ds::Field& f) { f.SetAsInteger(r % 3000 - 1500); });
      set(2, [&](ds::Field& f) { f.SetAsInteger(r * 13 % 65000); });
      set(3, [&](ds::Field& f) { f.SetAsInteger(r * 7919 - 1000000); });
      set(4, [&](ds::Field& f) { f.SetValue(ds::Variant(int64_t(int64_t(r) * 10000000019LL - 7))); });
      set(5, [&](ds::Field& f) { f.SetAsString(std::to_string(r - 2000) + ".125"); });
      set(6, [&](ds::Field& f) { f.SetAsFloat(r * 0.75 - 3.5); });
      set(7, [&](ds::Field& f) { f.SetAsFloat(r * 1.25); });
      set(8, [&](ds::Field& f) {
        f.SetAsString(r % 5 == 0 ? std::string() : std::string(size_t(r % 240), char('a' + r % 26)));
      });
      set(9, [&](ds::Field& f) { f.SetAsDateTime({ds::textToDateTime("2026-01-01").days + r % 900}); });
      set(10, [&](ds::Field& f) { f.SetAsDateTime({(r % 1440) / 1440.0}); });
      set(11,
          [&](ds::Field& f) { f.SetAsDateTime({ds::textToDateTime("2026-03-04 05:06").days + r / 7.0}); });
      set(12, [&](ds::Field& f) { f.SetValue(ds::Variant(r % 3 == 0)); });
      if (r < 200)
        set(13, [&](ds::Field& f) {
          f.SetAsString(r % 7 == 0 ? std::string() : std::string(size_t(r % 1500), char('A' + r % 26)));
        });
      t.Post();
    }
  }
  const std::string plain = "SELECT id, s, w, i, l, d, f, mo, c, dt, tm, ts, b FROM every";
  const auto live = rowsOf(plain, true);
  ASSERT_EQ(live.size(), size_t(kRows));
  EXPECT_EQ(rowsOf(plain, false), live);
  const std::string memos = "SELECT * FROM every WHERE id <= 200";
  const auto liveMemos = rowsOf(memos, true);
  ASSERT_EQ(liveMemos.size(), 200u);
  EXPECT_EQ(rowsOf(memos, false), liveMemos);

  // The copied result's record ids: its rows are reached and deleted through them.
  rowsOf(plain, false);
  ASSERT_TRUE(q.Locate("id", int32_t(2000), 0));
  q.Delete();
  EXPECT_EQ(q.FieldByName("id").AsInteger(), 2001);
  EXPECT_EQ(q.RecordCount(), kRows - 1);
  q.Last();
  EXPECT_EQ(q.FieldByName("id").AsInteger(), kRows);
  q.Close();
}

// Copied results of one shape made again and again on the same query, larger and smaller than
// the last (the rows of one run must never show in another), each compared with the live query
// and then used in a way that needs the result's record ids first: a bookmark, RecNo, Locate
// with a delete, an edit, a walk backwards. Once more with the result's files on disk from
// their first byte.
TEST_F(QueryRoadTest, CopiedResultsAgreeWithTheLiveQueryAndFindTheirRowsByRecordId) {
  exec("CREATE TABLE rows (id INTEGER, name CHAR(30), n INTEGER)");
  constexpr int kRows = 3000;
  {
    TVELDORTable t;
    t.SetDatabaseName("dbmain");
    t.SetTableName("rows");
    t.Open();
    for (int r = 1; r <= kRows; ++r) {
      t.Append();
      t.Fields(0).SetAsInteger(r);
      if (r % 7 != 0) t.Fields(1).SetAsString("name " + std::to_string(r * 31 % 1000));
      if (r % 5 != 0) t.Fields(2).SetAsInteger(r % 50);
      t.Post();
    }
  }
  const auto idAt = [&] { return q.FieldByName("id").AsInteger(); };
  const auto run = [&](const std::string& where, int use) {
    SCOPED_TRACE(where);
    const std::string sql = "SELECT id, name, n FROM rows" + where;
    const auto live = rowsOf(sql, true);
    const auto copied = rowsOf(sql, false);
    ASSERT_EQ(copied, live);
    if (live.size() < 3) return;
    const int count = int(live.size());
    q.First();
    const int first = idAt();
    q.Last();
    const int last = idAt();
    switch (use) {
      case 0: {  // a bookmark of a row in the middle
        q.First();
        q.MoveBy(count / 2);
        const int middle = idAt();
        const ds::Bookmark b = q.GetBookmark();
        q.First();
        q.GotoBookmark(b);
        EXPECT_EQ(idAt(), middle);
        EXPECT_EQ(q.RecNo(), count / 2 + 1);
        break;
      }
      case 1: {  // found, deleted, and the next one reached
        q.First();
        q.Next();
        const int second = idAt();
        q.Next();
        const int third = idAt();
        ASSERT_TRUE(q.Locate("id", int32_t(second), 0));
        q.Delete();
        EXPECT_EQ(idAt(), third);
        EXPECT_EQ(q.RecordCount(), count - 1);
        EXPECT_FALSE(q.Locate("id", int32_t(second), 0));
        break;
      }
      case 2: {  // edited in place, then found by its new value
        q.First();
        q.Edit();
        q.FieldByName("name").SetAsString("changed");
        q.Post();
        ASSERT_TRUE(q.Locate("name", std::string("changed"), 0));
        EXPECT_EQ(idAt(), first);
        EXPECT_EQ(q.RecordCount(), count);
        break;
      }
      default: {  // walked from the end to the start
        q.Last();
        int seen = 0;
        for (; !q.Bof(); q.Prior()) ++seen;
        EXPECT_EQ(seen, count);
        q.Last();
        EXPECT_EQ(idAt(), last);
        break;
      }
    }
    q.Close();
  };
  const std::vector<std::string> wheres = {"",
                                           " WHERE n < 3",
                                           " WHERE id > 2990",
                                           " WHERE n = 99",
                                           " WHERE id <= 2500",
                                           " WHERE n IS NULL OR name IS NULL"};
  for (int round = 0; round < 2; ++round)
    for (size_t w = 0; w < wheres.size(); ++w) run(wheres[w], int(w + round) % 4);
  {
    const int64_t bound = engine::TSpillFile::SpillBound(), budget = engine::TSpillFile::SpillBudget();
    engine::TSpillFile::SetSpillBounds(0, budget);
    platform::ScopeExit restore([&] { engine::TSpillFile::SetSpillBounds(bound, budget); });
    for (int use = 0; use < 4; ++use) run(use % 2 ? " WHERE n > 10" : "", use);
  }
}

// The one row of an aggregate over the whole table, asked for live and copied: the dataset
// finds it, keeps its bookmark, walks to it from either end and takes an edit; opened again
// after the table grew, it shows the new count and none of the edit.
TEST_F(QueryRoadTest, AOneRowAggregateServesTheDatasetLiveOrCopied) {
  exec("CREATE TABLE t (id INTEGER, g INTEGER)");
  for (int r = 1; r <= 6; ++r)
    exec("INSERT INTO t (id, g) VALUES (" + std::to_string(r) + ", " + std::to_string(r % 2) + ")");
  const std::string sql = "SELECT COUNT(*) AS c, MAX(id) AS top FROM t";
  for (bool live : {true, false}) {
    SCOPED_TRACE(live);
    EXPECT_EQ(rowsOf(sql, live), std::vector<std::string>{"6|6|"});
    EXPECT_EQ(q.RecordCount(), 1);
    q.Last();
    q.First();
    EXPECT_EQ(q.RecNo(), 1);
    const ds::Bookmark b = q.GetBookmark();
    ASSERT_TRUE(q.Locate("c", int32_t(6), 0));
    q.GotoBookmark(b);
    EXPECT_EQ(q.FieldByName("top").AsInteger(), 6);
    q.Edit();
    q.FieldByName("c").SetAsInteger(60);
    q.Post();
    EXPECT_TRUE(q.Locate("c", int32_t(60), 0));
    EXPECT_FALSE(q.Locate("c", int32_t(6), 0));
    EXPECT_EQ(q.RecordCount(), 1);
    exec("INSERT INTO t (id, g) VALUES (7, 1)");
    EXPECT_EQ(rowsOf(sql, live), std::vector<std::string>{"7|7|"});
    exec("DELETE FROM t WHERE id = 7");
  }
  q.Close();
}

}  // namespace
