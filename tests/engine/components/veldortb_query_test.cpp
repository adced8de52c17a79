// The query component on the program's own road: its statements with named parameters on a real
// database folder, run without a result and opened as a dataset; and the dataset layer's list
// model over a live result.
#include <gtest/gtest.h>

#include "dataset/dberror.h"
#include "engine/components/veldortb.h"
#include "tests/dataaccess/listmodel.h"
#include "tests/engine/storage/storage_test_util.h"

namespace {

using namespace engine::components;
namespace ds = dataset;
using TempDir = platform::testing::TempFolder;

class QueryRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Session().Close();
    db.SetDatabaseName("dbmain");
    db.SetDirectory(dir.path());
  }
  void TearDown() override {
    db.Close();
    Session().Close();
  }
  void exec(TVELDORQuery& q, const std::string& text) {
    q.SetSQL(text);
    q.ExecSQL();
  }
  void expectFails(const std::function<void()>& step, const std::string& message) {
    try {
      step();
      FAIL() << "no failure, expected " << message;
    } catch (const ds::EDatabaseError& e) {
      EXPECT_EQ(e.what(), message);
    }
  }
  TempDir dir;
  TVELDORDatabase db;
};

TEST_F(QueryRoadTest, TaskStatementsWithNamedParametersRunAndReadBack) {
  TVELDORQuery q;
  q.SetDatabaseName("dbmain");
  exec(q, "CREATE TABLE task (id INTEGER, name CHAR(250), createtime TIMESTAMP, PRIMARY KEY (id))");
  exec(q, "CREATE TABLE tasklogc (taskid INTEGER, content BLOB(1,1))");
  exec(q, "INSERT INTO task (id, name, createtime) VALUES (1, 'first', '2026-12-01 10:30:00')");
  EXPECT_EQ(q.RowsAffected(), 1);

  q.SetSQL("INSERT INTO task (id, name, createtime)\nVALUES (:id, :name, :createtime)");
  EXPECT_EQ(q.Text(), "INSERT INTO task (id, name, createtime)\nVALUES (?, ?, ?)");
  ASSERT_EQ(q.Params().Count(), 3);
  q.ParamByName("id").SetAsInteger(2);
  expectFails([&] { q.ExecSQL(); }, "No value for parameter 'name'");
  for (int id : {2, 3}) {
    q.ParamByName("id").SetAsInteger(id);
    q.ParamByName("name").SetAsString(id == 2 ? std::string(251, 'n') : "third");
    q.ParamByName("createtime")
        .SetAsDateTime(ds::textToDateTime("2026-12-0" + std::to_string(id) + " 10:30:00"));
    q.ExecSQL();
    EXPECT_EQ(q.RowsAffected(), 1);
  }

  exec(q, "UPDATE task SET name = :name WHERE id = :id");
  EXPECT_EQ(q.Params()[0].Name, "name");
  q.ParamByName("name").SetAsString("first, renamed");
  q.ParamByName("id").SetAsInteger(1);
  q.ExecSQL();
  EXPECT_EQ(q.RowsAffected(), 1);

  // A run's output longer than any 16-bit length, as a memo parameter.
  std::string output;
  for (int i = 0; output.size() < 70000; ++i) output += "line " + std::to_string(i) + "\r\n";
  q.SetSQL("INSERT INTO tasklogc (taskid, content) VALUES (:taskid, :content)");
  q.ParamByName("taskid").SetAsInteger(3);
  q.ParamByName("content").SetValue(ds::Variant(output));
  q.ParamByName("content").DataType = ds::ftMemo;
  q.ExecSQL();

  q.SetSQL("SELECT id, name, createtime FROM task ORDER BY createtime DESC");
  q.Open();
  EXPECT_THROW(q.ExecSQL(), ds::EDatabaseError);
  EXPECT_TRUE(q.Active());
  std::string seen;
  for (; !q.Eof(); q.Next())
    seen += std::to_string(q.FieldByName("id").AsInteger()) + ":" +
            q.FieldByName("name").AsString().substr(0, 6) + ";";
  EXPECT_EQ(seen, "3:third;2:nnnnnn;1:first,;");
  q.Close();

  q.SetSQL("SELECT content FROM tasklogc WHERE taskid = :taskid");
  q.ParamByName("taskid").SetAsInteger(3);
  q.Open();
  EXPECT_EQ(q.FieldByName("content").DataType(), ds::ftMemo);
  EXPECT_TRUE(q.FieldByName("content").AsString() == output);  // whole, without a terminator
  q.Close();

  q.SetSQL("DELETE FROM task WHERE id = :id");
  q.ParamByName("id").SetAsInteger(2);
  q.ExecSQL();
  EXPECT_EQ(q.RowsAffected(), 1);
  q.SetSQL("SELECT COUNT(*) AS n FROM task");
  q.Open();
  EXPECT_EQ(q.Fields(0).AsInteger(), 2);
  q.Close();

  // Misuse, with the component's own texts.
  q.SetSQL("x");
  expectFails([&] { q.Prepare(); }, SNoSQLStatement);
  q.SetSQL("DELETE FROM task WHERE id = 99");
  expectFails([&] { q.Open(); }, SHandleError);
  q.ParamCheck = false;
  q.SetSQL("SELECT * FROM task WHERE name = 'a:b'");
  EXPECT_EQ(q.Text(), "SELECT * FROM task WHERE name = 'a:b'");
  EXPECT_EQ(q.Params().Count(), 0);
}

TEST_F(QueryRoadTest, DatasetModelOverALiveResult) {
  TVELDORQuery q;
  q.SetDatabaseName("dbmain");
  exec(q, "CREATE TABLE plain (ID INTEGER, NAME CHAR(20))");
  q.SetSQL("SELECT * FROM plain");
  q.SetRequestLive(true);
  q.Open();
  ASSERT_TRUE(q.CanModify());
  std::vector<std::pair<int, std::string>> model;
  dataaccess::testing::RunListModel(q, storage_test::testSeed(), 600, model, true);
  q.Close();
  q.SetReadOnly(true);
  q.Open();
  EXPECT_FALSE(q.CanModify());
  EXPECT_EQ(q.RecordCount(), int(model.size()));
}

}  // namespace
