// Statements on an engine server (the loopback server of the tests): the same texts give the same
// rows and counts as on a local database, with parameters, blobs, repeated runs and errors.
#include <gtest/gtest.h>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorprotocol.h"
#include "sql_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tools/engineserver/engineserver.h"

namespace {

using namespace sql_test;
using engine::TDataCursor;

uint16_t errorOf(TQueryStatement& s) {
  try {
    s.Execute();
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

class RemoteStatementTest : public ::testing::Test {
 protected:
  RemoteStatementTest() : server(root.path(), {{"ann", "pw"}}), local(localRoot.path()) {
    session.SetSessionType(engine::stRemote);
    session.SetRemoteType(true);
    session.SetRemotePort(server.port());
    session.SetTimeOut(5);
    session.SetRemoteUser("ann");
    session.SetRemotePassword("pw");
    session.Connect();
    session.Login();
    directory = session.OpenDataDirectory("db", "");
  }
  ~RemoteStatementTest() override { session.CloseDataDirectory(directory); }

  // The rows of the text's result on the server, as SqlDatabase prints them.
  std::string remote(const std::string& sql) {
    try {
      TQueryStatement s(*directory);
      s.Prepare(sql);
      TDataCursor* c = s.Execute();
      affected = s.RowsAffected;
      return c ? SqlDatabase::text(*c) : "";
    } catch (const EVELDOREngineError& e) {
      return "error: " + e.ErrorText();
    }
  }
  std::string both(const std::string& sql) {
    std::string here = local.rows(sql), there = remote(sql);
    EXPECT_EQ(there, here) << sql;
    EXPECT_EQ(affected, local.affected) << sql;
    return there;
  }

  platform::testing::TempFolder root, localRoot;
  engineserver::EngineServer server;
  SqlDatabase local;
  TDataSession session;
  TDataDirectory* directory = nullptr;
  int32_t affected = 0;
};

TEST_F(RemoteStatementTest, TextsGiveTheRowsAndCountsTheyGiveLocally) {
  both("CREATE TABLE t (a INTEGER, s CHAR(10), m BLOB(1, 1), PRIMARY KEY (a))");
  for (int i = 1; i <= 30; ++i)
    both("INSERT INTO t VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i % 4) + "', 'memo " +
         std::to_string(i) + "')");
  both("UPDATE t SET s = 'big' WHERE a > 25");
  both("DELETE FROM t WHERE a = 3");
  EXPECT_EQ(both("SELECT COUNT(*) FROM t"), "29\n");
  both("SELECT a, s, m FROM t WHERE a < 6 ORDER BY a DESC");
  both("SELECT s, COUNT(*), SUM(a) FROM t GROUP BY s");
  both("SELECT * FROM t WHERE a IN (SELECT a FROM t WHERE s = 'n1')");
  both("INSERT INTO t VALUES (1, 'dup', NULL)");
  both("SELECT nosuch FROM t");
  // Every run went once; a text that fails to prepare never runs.
  EXPECT_EQ(server.handled(engine::REQUEST_EXECUTESTMT), 38);
  // The server's progress reaches the client, whose abort stops the run.
  TQueryStatement s(*directory);
  s.Prepare("DELETE FROM t WHERE a > 0");
  std::vector<int> seen;
  s.SetProgressCallback([&](int percent, bool& abort) {
    seen.push_back(percent);
    abort = true;
  });
  EXPECT_EQ(remote("SELECT COUNT(*) FROM t"), "29\n");
  EXPECT_NE(errorOf(s), 0);
  EXPECT_FALSE(seen.empty());
  EXPECT_EQ(remote("SELECT COUNT(*) FROM t"), "29\n");
}

TEST_F(RemoteStatementTest, AStatementRunsAgainWithNewParametersAndItsResultFollows) {
  remote("CREATE TABLE t (a INTEGER, m BLOB(1, 1))");
  TQueryStatement insert(*directory);
  insert.Prepare("INSERT INTO t VALUES (?, ?)");
  std::vector<engine::TFieldDescriptor> d(2);
  d[0].SetType(uint8_t(engine::TEngineFieldType::Integer));
  d[0].SetStoredSize(4);
  d[0].SetOffset(0);
  d[1].SetType(uint8_t(engine::TEngineFieldType::Blob));
  d[1].SetSubType(uint8_t(engine::TEngineFieldSubType::Memo));
  d[1].SetOffset(5);
  for (int i = 1; i <= 3; ++i) {
    std::string text = "text " + std::to_string(i);
    std::vector<uint8_t> values(10 + text.size() + 1, 0);
    values[0] = 1;
    engine::PutIntegerValue(&values[1], i);
    values[5] = 1;
    platform::put4(&values[6], uint32_t(text.size() + 1));
    std::memcpy(&values[10], text.c_str(), text.size() + 1);
    insert.SetParams(2, d, values);
    insert.Execute();
    EXPECT_EQ(insert.RowsAffected, 1);
  }
  TQueryStatement select(*directory);
  select.Prepare("SELECT a, m FROM t WHERE a >= ? ORDER BY a");
  std::vector<uint8_t> values(5, 1);
  for (int32_t low : {2, 1, 4}) {
    engine::PutIntegerValue(&values[1], low);
    select.SetParams(1, d, values);
    TDataCursor* c = select.Execute();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(SqlDatabase::text(*c), low == 2   ? "2|text 2\n3|text 3\n"
                                     : low == 1 ? "1|text 1\n2|text 2\n3|text 3\n"
                                                : "")
        << low;
  }
}

// The one row of an aggregate over the whole input, made on the server: as locally over an empty
// table, a filter that lets nothing through and rows; a prepared COUNT(*) run again counts what the
// table then holds.
TEST_F(RemoteStatementTest, AOneRowAggregateIsTheRowItIsLocally) {
  both("CREATE TABLE t (a INTEGER, g INTEGER, s CHAR(10))");
  const char* selects[] = {"SELECT COUNT(*) FROM t", "SELECT COUNT(*), SUM(a), AVG(g) FROM t WHERE a > 3",
                           "SELECT MIN(s), MAX(a), COUNT(s) FROM t WHERE g = 9"};
  for (int round = 0; round < 2; ++round) {
    for (const char* sql : selects) both(sql);
    for (int i = 1; i <= 12; ++i)
      both("INSERT INTO t VALUES (" + std::to_string(i) + ", " + std::to_string(i % 3) + ", 'n" +
           std::to_string(i % 5) + "')");
  }
  TQueryStatement count(*directory);
  count.Prepare("SELECT COUNT(*) FROM t");
  for (int i = 0; i < 3; ++i) {
    TDataCursor* c = count.Execute();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(SqlDatabase::text(*c), std::to_string(24 + i) + "\n");
    remote("INSERT INTO t VALUES (" + std::to_string(100 + i) + ", 0, 'x')");
  }
}

// The server's one-row result used through the client as a table (last then first, a bookmark,
// a row appended, changed and deleted), then made again from the server's pool: as locally.
TEST_F(RemoteStatementTest, AOneRowResultTakesTheClientsEditsAndComesBackClean) {
  both("CREATE TABLE t (a INTEGER, g INTEGER)");
  for (int i = 1; i <= 9; ++i)
    both("INSERT INTO t VALUES (" + std::to_string(i) + ", " + std::to_string(i % 2) + ")");
  auto use = [](TDataCursor& c) {
    std::string seen;
    std::vector<uint8_t> row(c.RecordSize());
    c.SetToEnd();
    seen += std::to_string(c.GetPriorRecord(row.data())) + "/" + std::to_string(c.GetSequenceNumber());
    std::vector<uint8_t> mark(c.GetKeySize() + 8);
    c.GetBookmark(mark.data());
    c.SetToBegin();
    seen += c.SetToBookmark(mark.data(), false) ? "/found" : "/lost";
    uint8_t number[8] = {};
    c.ClearRecordBuffer(row.data());
    engine::PutIntegerValue(number, 77);
    c.PutField(1, row.data(), number);
    c.AppendRecord(row.data());
    c.SetToRecNo(1);
    if (c.GetCurrentRecord(row.data(), true) == 0) {
      engine::PutIntegerValue(number, 6);
      c.PutField(1, row.data(), number);
      c.ModifyRecord(row.data());
    }
    seen += "/" + SqlDatabase::text(c);
    c.SetToRecNo(2);
    if (c.GetCurrentRecord(row.data(), false) == 0) c.DeleteRecord(row.data());
    return seen + "/" + SqlDatabase::text(c) + std::to_string(c.GetRecordCount());
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::string here, there;
    {
      TQueryStatement s(local.directory());
      s.Prepare("SELECT COUNT(*), MAX(a) FROM t WHERE g = 1");
      TDataCursor* c = s.Execute();
      ASSERT_NE(c, nullptr);
      here = use(*c);
    }
    {
      TQueryStatement s(*directory);
      s.Prepare("SELECT COUNT(*), MAX(a) FROM t WHERE g = 1");
      TDataCursor* c = s.Execute();
      ASSERT_NE(c, nullptr);
      there = use(*c);
    }
    EXPECT_EQ(there, here);
    EXPECT_EQ(both("SELECT COUNT(*), MAX(a) FROM t WHERE g = 1"), "5|9\n");
  }
}

// A live result is the statement's cursor on its source table, which the client opens as the
// session's first cursor on that table: the server must count it as the table's user too, or it
// leaves out the headers that the client waits for.
TEST_F(RemoteStatementTest, ALiveResultIsReadOnTheClientAsLocally) {
  both("CREATE TABLE t (a INTEGER, s CHAR(10), m BLOB(1, 1))");
  for (int i = 1; i <= 5; ++i)
    both("INSERT INTO t VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i) + "', 'memo')");
  for (const char* text : {"SELECT * FROM t", "SELECT * FROM t x WHERE x.a > 2",
                           "SELECT s, a, s, a * 2 AS twice, m FROM t WHERE a > 2"}) {
    TQueryStatement here(local.directory()), there(*directory);
    here.RequestLive = there.RequestLive = true;
    here.Prepare(text);
    there.Prepare(text);
    TDataCursor* c = there.Execute();
    EXPECT_TRUE(there.Live) << text;
    ASSERT_NE(c, nullptr) << text;
    EXPECT_EQ(SqlDatabase::text(*c), SqlDatabase::text(*here.Execute())) << text;
  }
  // A filter by name over a computed field and a column of the list: the server evaluates it on
  // its cursor, whose list is the same.
  {
    TQueryStatement listed(*directory);
    listed.RequestLive = true;
    listed.Prepare("SELECT s AS who, a * 2 AS twice FROM t");
    TDataCursor& c = *listed.Execute();
    const std::string text = "twice > 6 AND who <> 'x'";
    c.ActivateFilter(c.AddFilter(nullptr, &text, nullptr, false, nullptr, false, false, false, false));
    EXPECT_EQ(SqlDatabase::text(c), "n4|8\nn5|10\n");
  }
  // The client computes an expression column anew when it changes a column of it.
  TQueryStatement there(*directory);
  there.RequestLive = true;
  there.Prepare("SELECT a * 2 AS twice, a FROM t WHERE a = 5");
  TDataCursor& c = *there.Execute();
  ASSERT_TRUE(c.GetFieldDesc(1).Computed());
  std::vector<uint8_t> record(c.RecordSize());
  c.SetToBegin();
  ASSERT_EQ(c.GetNextRecord(record.data()), 0);
  uint8_t value[4];
  engine::PutIntegerValue(value, 6);
  c.PutField(2, record.data(), value);
  std::string shown;
  ASSERT_TRUE(ColumnText(c, 1, record.data(), shown));
  EXPECT_EQ(shown, "12");
  c.ModifyRecord(record.data());
  EXPECT_EQ(SqlDatabase::text(c), "");
  EXPECT_EQ(remote("SELECT a, s FROM t WHERE a = 6"), "6|n5\n");
}

// A statement's text goes whole, however long: it is no engine string.
TEST_F(RemoteStatementTest, ALongTextRunsWhole) {
  both("CREATE TABLE t (a INTEGER, s CHAR(10))");
  std::string insert = "INSERT INTO t VALUES (1, 'one')", select = "SELECT a, s FROM t WHERE a = 0";
  while (insert.size() < 300) insert += " ";
  for (int i = 1; select.size() < 1000; ++i) select += " OR a = " + std::to_string(i);
  both(insert);
  EXPECT_EQ(both(select), "1|one\n");
  EXPECT_EQ(server.handled(engine::REQUEST_EXECUTESTMT), 3);
}

// The server runs the SELECT of an INSERT with its UNION parts as a local database does.
TEST_F(RemoteStatementTest, AnInsertOfAUnionTakesTheRowsItTakesLocally) {
  both("CREATE TABLE a (id INTEGER); CREATE TABLE b (id INTEGER)");
  for (int i = 1; i <= 4; ++i) both("INSERT INTO a VALUES (" + std::to_string(i) + ")");
  both("INSERT INTO b SELECT id FROM a UNION ALL SELECT id + 1 FROM a");
  both(
      "INSERT INTO b SELECT id FROM a UNION SELECT id FROM b WHERE id IN (SELECT id FROM a UNION SELECT 9 "
      "FROM a)");
  EXPECT_EQ(both("SELECT COUNT(*), MAX(id) FROM b"), "12|5\n");
}

// A memo parameter ending in zero bytes of its own, with its terminator after them: the server
// stores and joins the same bytes as a local database does.
TEST_F(RemoteStatementTest, AMemoParameterKeepsItsLastZeroBytesOnTheServer) {
  both("CREATE TABLE t (a INTEGER, m BLOB(1, 1))");
  const std::string bytes("a\0b\0\0", 5);
  std::vector<engine::TFieldDescriptor> d(1);
  d[0].SetType(uint8_t(engine::TEngineFieldType::Blob));
  d[0].SetSubType(uint8_t(engine::TEngineFieldSubType::Memo));
  d[0].SetOffset(0);
  std::vector<uint8_t> values(5 + bytes.size() + 1, 0);
  values[0] = 1;
  platform::put4(&values[1], uint32_t(bytes.size() + 1));
  std::memcpy(&values[5], bytes.data(), bytes.size());
  for (TDataDirectory* where : {&local.directory(), directory}) {
    TQueryStatement insert(*where);
    insert.Prepare("INSERT INTO t VALUES (1, ?)");
    insert.SetParams(1, d, values);
    insert.Execute();
    TQueryStatement update(*where);
    update.Prepare("UPDATE t SET m = m || ? || 'z'");
    update.SetParams(1, d, values);
    update.Execute();
  }
  EXPECT_EQ(both("SELECT a, LENGTH(m), m FROM t"), "1|11|" + bytes + bytes + "z\n");
}

}  // namespace
