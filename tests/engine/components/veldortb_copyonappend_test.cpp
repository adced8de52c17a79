// A table with CopyOnAppend: a new record, appended or inserted, starts as a copy of the record that
// was current when it was begun (its memo included), whatever the position, filter or range; on a
// table with no record shown it starts empty. Nothing else in the table changes. Locally and over a
// remote session alike.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "engine/components/veldortb.h"
#include "tests/platform/temp_folder.h"
#include "tools/engineserver/engineserver.h"

namespace {

using namespace engine::components;
namespace ds = dataset;

// Long enough to take several blob blocks.
std::string memoOf(int id) {
  std::string s = "memo " + std::to_string(id) + ":";
  while (s.size() < 1500) s += char('a' + (s.size() * 5 + size_t(id)) % 26);
  return s;
}

// The memo as a failure shows it: its head, its size and a hash of the whole.
std::string tagOf(const std::string& memo) {
  return memo.substr(0, memo.find(':')) + "/" + std::to_string(memo.size()) + "/" +
         std::to_string(std::hash<std::string>()(memo) % 100000);
}

using Rows = std::map<int, std::pair<std::string, std::string>>;  // id -> name, memo tag

// The table in a local folder, or on a server over a remote session (the same table through the
// server's cursor requests).
class CopyOnAppendTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    Session().Close();
    if (GetParam()) {
      server = std::make_unique<engineserver::EngineServer>(
          dir.path(), std::map<std::string, std::string>{{"ann", "pw"}});
      remote = std::make_unique<TVELDORSession>("Remote");
      remote->SetSessionName("remote");
      remote->SetSessionType(engine::stRemote);
      remote->SetRemotePort(server->port());
      remote->OnRemoteLogin = [](TVELDORSession&, std::string& user, std::string& password, bool&) {
        user = "ann";
        password = "pw";
      };
      db = std::make_unique<TVELDORDatabase>(remote.get());
      db->SetRemoteDatabase("items");
    } else {
      db = std::make_unique<TVELDORDatabase>();
      db->SetDirectory(dir.path());
    }
    db->SetDatabaseName("db");
    prepare(t);
    t.GetFieldDefs().Add("id", ds::ftInteger, 0);
    t.GetFieldDefs().Add("name", ds::ftString, 40);
    t.GetFieldDefs().Add("note", ds::ftMemo, 0);
    t.IndexDefs() = {{"", "id", ixPrimary | ixUnique}};
    t.CreateTable();
    t.Open();
  }
  void TearDown() override {
    t.Close();
    db.reset();
    if (remote) remote->Close();
    Session().Close();
  }

  void prepare(TVELDORTable& table) {
    if (remote) table.SetSessionName("remote");
    table.SetDatabaseName("db");
    table.SetTableName("items");
  }

  void addRows(int count) {
    for (int id = 1; id <= count; ++id) {
      t.Append();
      t.FieldByName("id").SetAsInteger(id);
      t.FieldByName("name").SetAsString("row " + std::to_string(id));
      t.FieldByName("note").SetAsString(memoOf(id));
      t.Post();
    }
    t.CopyOnAppend = true;
  }

  // Every row as a fresh table on the same file reads it.
  Rows rows() {
    TVELDORTable r;
    prepare(r);
    r.Open();
    Rows out;
    for (r.First(); !r.Eof(); r.Next())
      out[r.FieldByName("id").AsInteger()] = {r.FieldByName("name").AsString(),
                                              tagOf(r.FieldByName("note").AsString())};
    return out;
  }

  // Begins a new record with no record shown: it holds no value.
  void emptyAndPost(bool append, int id) {
    SCOPED_TRACE(append ? "Append with no record" : "Insert with no record");
    ASSERT_TRUE(t.IsEmpty());
    ASSERT_NO_THROW(append ? t.Append() : t.Insert());
    EXPECT_TRUE(t.FieldByName("id").IsNull());
    EXPECT_TRUE(t.FieldByName("name").IsNull());
    EXPECT_TRUE(t.FieldByName("note").IsNull());
    t.FieldByName("id").SetAsInteger(id);
    t.Post();
  }

  // Begins a new record on `t`, standing on row `from`, checks it holds that row's values, and
  // posts it as `id`.
  void copyAndPost(bool append, int from, int id, const char* where) {
    SCOPED_TRACE(std::string(append ? "Append " : "Insert ") + where);
    ASSERT_EQ(t.FieldByName("id").AsInteger(), from);
    const std::string name = t.FieldByName("name").AsString(), memo = t.FieldByName("note").AsString();
    ASSERT_NO_THROW(append ? t.Append() : t.Insert());
    EXPECT_EQ(t.FieldByName("id").AsInteger(), from);
    EXPECT_EQ(t.FieldByName("name").AsString(), name);
    EXPECT_EQ(tagOf(t.FieldByName("note").AsString()), tagOf(memo));
    t.FieldByName("id").SetAsInteger(id);
    t.Post();
  }

  platform::testing::TempFolder dir;
  std::unique_ptr<engineserver::EngineServer> server;
  std::unique_ptr<TVELDORSession> remote;
  std::unique_ptr<TVELDORDatabase> db;
  TVELDORTable t;
};

TEST_P(CopyOnAppendTest, AppendAndInsertCopyTheCurrentRecordInTheMiddleAndAtTheLastRow) {
  t.CopyOnAppend = true;
  emptyAndPost(true, 100);
  t.Delete();
  emptyAndPost(false, 101);
  t.Delete();
  t.CopyOnAppend = false;
  addRows(4);
  Rows expected = rows();
  ASSERT_TRUE(t.Locate("id", int32_t(2), 0));
  copyAndPost(true, 2, 10, "in the middle");
  ASSERT_TRUE(t.Locate("id", int32_t(3), 0));
  copyAndPost(false, 3, 11, "in the middle");
  t.Last();
  copyAndPost(true, 11, 12, "at the last row");
  t.Last();
  copyAndPost(false, 12, 13, "at the last row");
  expected[10] = expected[2];
  expected[11] = expected[12] = expected[13] = expected[3];
  EXPECT_EQ(rows(), expected);

  // The copy's memo is its own: changing it leaves the original's alone.
  ASSERT_TRUE(t.Locate("id", int32_t(10), 0));
  t.Edit();
  t.FieldByName("note").SetAsString("changed");
  t.Post();
  expected[10].second = tagOf("changed");
  EXPECT_EQ(rows(), expected);

  // A cancelled copy adds nothing and the dataset is back on the record it copied.
  ASSERT_TRUE(t.Locate("id", int32_t(4), 0));
  t.Append();
  EXPECT_EQ(tagOf(t.FieldByName("note").AsString()), tagOf(memoOf(4)));
  t.Cancel();
  EXPECT_EQ(t.FieldByName("id").AsInteger(), 4);
  EXPECT_EQ(rows(), expected);
}

TEST_P(CopyOnAppendTest, UnderAFilterOrARangeTheCopyIsOfTheRecordShownAndWithNoneShownItStartsEmpty) {
  addRows(6);
  Rows expected = rows();
  t.SetOnFilterRecord([](ds::DataSet& d, bool& accept) {
    const int id = d.FieldByName("id").AsInteger();
    accept = id == 2 || id == 3;
  });
  t.SetFiltered(true);
  t.First();
  copyAndPost(true, 2, 20, "under a filter");
  t.First();
  copyAndPost(false, 2, 21, "under a filter");
  t.SetFiltered(false);

  t.SetRange({int32_t(4)}, {int32_t(5)});
  t.First();
  copyAndPost(true, 4, 45, "in a range");  // posted outside the range
  t.Last();
  copyAndPost(true, 5, 46, "at the last row of a range");
  t.Last();
  copyAndPost(false, 5, 47, "at the last row of a range");
  t.CancelRange();
  expected[20] = expected[21] = expected[2];
  expected[45] = expected[4];
  expected[46] = expected[47] = expected[5];
  EXPECT_EQ(rows(), expected);

  t.SetOnFilterRecord([](ds::DataSet&, bool& accept) { accept = false; });
  t.SetFiltered(true);
  emptyAndPost(true, 50);
  emptyAndPost(false, 51);
  t.SetFiltered(false);
  expected[50] = expected[51] = {"", tagOf("")};
  EXPECT_EQ(rows(), expected);
}

INSTANTIATE_TEST_SUITE_P(Sessions, CopyOnAppendTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Remote" : "Local"; });

}  // namespace
