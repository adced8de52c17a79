// Bulk statements of two remote sessions on one engine server: an UPDATE that fails on a unique
// key after hundreds of rows leaves none changed and no record lock, so the other session writes
// every row at once, and the first then again.
#include <gtest/gtest.h>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "sql_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tools/engineserver/engineserver.h"

namespace {

using namespace sql_test;
using engine::TDataCursor;

class RemoteClient {
 public:
  explicit RemoteClient(uint16_t port) {
    session_.SetSessionType(engine::stRemote);
    session_.SetRemoteType(true);
    session_.SetRemotePort(port);
    session_.SetTimeOut(5);
    session_.SetRemoteUser("ann");
    session_.SetRemotePassword("pw");
    session_.Connect();
    session_.Login();
    directory_ = session_.OpenDataDirectory("db", "");
  }
  ~RemoteClient() { session_.CloseDataDirectory(directory_); }
  RemoteClient(const RemoteClient&) = delete;
  RemoteClient& operator=(const RemoteClient&) = delete;

  // The rows of the text's result, or "error: " and the message; `affected` its row count.
  std::string run(const std::string& sql) {
    try {
      TQueryStatement s(*directory_);
      s.Prepare(sql);
      TDataCursor* c = s.Execute();
      affected = s.RowsAffected;
      return c ? SqlDatabase::text(*c) : "";
    } catch (const EVELDOREngineError& e) {
      return "error: " + e.ErrorText();
    }
  }
  TDataDirectory& directory() { return *directory_; }

  int32_t affected = 0;

 private:
  TDataSession session_;
  TDataDirectory* directory_ = nullptr;
};

TEST(RemoteBulkStatements, AFailedBulkUpdateChangesNothingAndHoldsNoLock) {
  platform::testing::TempFolder root;
  engineserver::EngineServer server(root.path(), {{"ann", "pw"}});
  RemoteClient a(server.port()), b(server.port());
  ASSERT_EQ(a.run("CREATE TABLE t (id INTEGER, u INTEGER, v INTEGER, PRIMARY KEY (id))"), "");
  ASSERT_EQ(a.run("CREATE UNIQUE INDEX tu ON t (u)"), "");
  ASSERT_EQ(a.run("CREATE TABLE src (n INTEGER)"), "");
  for (int n = 0; n < 20; ++n) a.run("INSERT INTO src VALUES (" + std::to_string(n) + ")");
  ASSERT_EQ(
      a.run("INSERT INTO t (id, u, v) SELECT x.n * 20 + y.n + 1, (x.n * 20 + y.n + 1) * 2, 0 FROM src x, "
            "src y"),
      "");
  ASSERT_EQ(a.affected, 400);
  // Row 300's new u is taken.
  a.run("INSERT INTO t (id, u, v) VALUES (1000, 601, 0)");
  EXPECT_EQ(a.run("UPDATE t SET u = u + 1, v = 5 WHERE id < 1000").substr(0, 7), "error: ");
  EXPECT_EQ(a.run("SELECT COUNT(*) FROM t WHERE v <> 0"), "0\n");
  EXPECT_EQ(b.run("UPDATE t SET v = 1"), "");
  EXPECT_EQ(b.affected, 401);
  EXPECT_EQ(a.run("UPDATE t SET v = 2 WHERE id < 1000"), "");
  EXPECT_EQ(a.affected, 400);
  EXPECT_EQ(b.run("SELECT COUNT(*) FROM t WHERE v = 2"), "400\n");
}

}  // namespace
