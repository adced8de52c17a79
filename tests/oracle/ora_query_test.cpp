// The Oracle query through the stand-in: the program's own dictionary road (a DBA lists users
// and a user's tables, reads the database character set), parameters, navigation and the
// server's refusals.
#include "oracle/ora_query.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oracle/oraerror.h"
#include "tests/oracle/oracle_testing.h"

namespace oracle {
namespace {

class OraQueryRoadTest : public testing::StandInTest {
 protected:
  void SetUp() override {
    session_.LoginPrompt = false;
    session_.SetUsername("system");
    session_.SetPassword("manager");
    session_.SetServer("ORCL");
    session_.SetConnectMode(cmSysDBA);
    query_.SetSession(&session_);
  }
  // Opens `sql` and gives column `field` of every row, walking forward.
  std::vector<std::string> column(const std::string& sql, const std::string& field) {
    query_.Close();
    query_.SetSQL(sql);
    query_.Open();
    std::vector<std::string> out;
    for (; !query_.Eof(); query_.Next()) out.push_back(query_.FieldByName(field).AsString());
    query_.Close();
    return out;
  }
  static int oraCode(const std::function<void()>& f) {
    try {
      f();
    } catch (const EOraError& e) {
      return e.ErrorCode;
    }
    return 0;
  }

  TOraSession session_;
  TOraQuery query_;
};

TEST_F(OraQueryRoadTest, ADbaListsUsersWithAndWithoutSys) {
  session_.Connect();
  EXPECT_EQ(column("select username from dba_users order by username", "username"),
            (std::vector<std::string>{"HR", "SCOTT", "SYS", "SYSTEM"}));
  EXPECT_EQ(column("select username from dba_users  where username<>'SYS' order by username", "USERNAME"),
            (std::vector<std::string>{"HR", "SCOTT", "SYSTEM"}));
}

TEST_F(OraQueryRoadTest, AUsersTablesComeWithTheOwnerBoundNotPasted) {
  query_.SetSQL("select table_name from dba_tables where owner=upper(:owner) order by table_name");
  query_.ParamByName("owner").SetAsString("scott");
  query_.Open();
  std::vector<std::string> tables;
  for (; !query_.Eof(); query_.Next()) tables.push_back(query_.FieldByName("table_name").AsString());
  EXPECT_EQ(tables, (std::vector<std::string>{"DEFS", "DOCS", "LOBS", "R", "T", "WIDE"}));
  query_.Close();
  // A name that would rewrite a pasted statement is only a name that no user has.
  query_.ParamByName("owner").SetAsString("x') or ('1'='1");
  query_.Open();
  EXPECT_TRUE(query_.IsEmpty());
  query_.Close();
  query_.ParamByName("owner").SetAsString("hr");
  query_.Open();
  EXPECT_TRUE(query_.IsEmpty());
}

TEST_F(OraQueryRoadTest, TheDatabaseCharacterSetIsReadByFieldName) {
  session_.Options().SetCharset("WE8MSWIN1252");
  EXPECT_EQ(column("select value from v$nls_parameters where parameter='NLS_CHARACTERSET'", "value"),
            std::vector<std::string>{"WE8MSWIN1252"});
  EXPECT_TRUE(session_.GetConnected());
  EXPECT_TRUE(column("select value from v$nls_parameters where parameter='NO_SUCH'", "value").empty());
}

TEST_F(OraQueryRoadTest, LogonFailuresPassThroughTheQueryAndLeaveItClosed) {
  session_.SetPassword("wrong");
  query_.SetSQL("select username from dba_users");
  EXPECT_EQ(oraCode([&] { query_.Open(); }), 1017);
  EXPECT_FALSE(query_.Active());
  EXPECT_FALSE(session_.GetConnected());

  session_.SetPassword("manager");
  ::setenv("NLS_LANG", "AMERICAN_AMERICA.NOSUCHSET", 1);
  const int code = oraCode([&] { query_.Open(); });
  ::unsetenv("NLS_LANG");
  EXPECT_EQ(code, 12705);
  EXPECT_FALSE(query_.Active());
  EXPECT_FALSE(session_.GetConnected());
  query_.Open();
  EXPECT_FALSE(query_.IsEmpty());
}

TEST_F(OraQueryRoadTest, AnOrdinaryUserIsRefusedTheDbaMode) {
  session_.SetUsername("scott");
  session_.SetPassword("tiger");
  query_.SetSQL("select username from dba_users");
  EXPECT_EQ(oraCode([&] { query_.Open(); }), 1031);
  session_.SetConnectMode(cmNormal);
  query_.Open();
  EXPECT_TRUE(query_.Active());
}

TEST_F(OraQueryRoadTest, RowsAreWalkedBothWaysAndReopenedFresh) {
  session_.SetUsername("scott");
  session_.SetPassword("tiger");
  session_.SetConnectMode(cmNormal);
  query_.SetFetchRows(7);  // blocks that end inside the rows
  query_.SetSQL("SELECT N, NAME, D FROM R WHERE N <= :last ORDER BY N");
  query_.ParamByName("last").SetAsInteger(20);
  query_.Open();
  EXPECT_EQ(query_.FieldByName("N").AsInteger(), 1);
  EXPECT_EQ(query_.MoveBy(9), 9);
  EXPECT_EQ(query_.FieldByName("NAME").AsString(), "name 10");
  query_.Last();
  EXPECT_EQ(query_.FieldByName("N").AsInteger(), 20);
  EXPECT_EQ(query_.RecordCount(), 20);
  query_.Prior();
  EXPECT_EQ(query_.FieldByName("N").AsInteger(), 19);
  EXPECT_TRUE(query_.Locate("NAME", Variant("name 7"), 0));
  EXPECT_TRUE(query_.FieldByName("D").IsNull());
  query_.First();
  EXPECT_TRUE(query_.Bof());
  query_.Close();
  query_.ParamByName("last").SetAsInteger(3);
  query_.Open();
  EXPECT_EQ(query_.RecordCount(), 3);
  EXPECT_EQ(query_.FieldByName("D").AsDateTime().days, Variant("2020-01-01").asDateTime().days);
}

TEST_F(OraQueryRoadTest, ADisconnectedSessionClosesItsQueries) {
  session_.Connect();
  query_.SetSQL("select username from dba_users");
  query_.Open();
  session_.Disconnect();
  EXPECT_FALSE(query_.Active());
  query_.Open();  // connects again
  EXPECT_TRUE(session_.GetConnected());
}

TEST_F(OraQueryRoadTest, AServerErrorInTheTextIsRaisedWithItsCode) {
  query_.SetSQL("select no_such_column from dba_users");
  EXPECT_NE(oraCode([&] { query_.Open(); }), 0);
  EXPECT_FALSE(query_.Active());
}

}  // namespace
}  // namespace oracle
