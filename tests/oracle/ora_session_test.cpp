// The Oracle session through the stand-in: logging on, transactions by the server's id,
// savepoints, compile-error listings, fatal errors and the session list.
#include "oracle/ora_session.h"

#include <gtest/gtest.h>

#include "oracle/ora_query.h"
#include "oracle/ora_sql.h"
#include "oracle/oraerror.h"
#include "platform/scopeguard.h"
#include "tests/oracle/oracle_testing.h"

namespace oracle {
namespace {

class OraSessionTest : public testing::StandInTest {
 protected:
  void SetUp() override {
    session_.LoginPrompt = false;
    session_.SetConnectString("scott/tiger@ORCL");
  }
  int64_t count() {
    return session_.ExecSQL("begin SELECT count(*) INTO :Result FROM T WHERE ID >= 900; end;").asInt64();
  }
  TOraSession session_;
};

TEST_F(OraSessionTest, ConnectStringSplitsIntoUserPasswordAndServer) {
  EXPECT_EQ(session_.Username(), "scott");
  EXPECT_EQ(session_.Password(), "tiger");
  EXPECT_EQ(session_.Server(), "ORCL");
  EXPECT_EQ(session_.GetConnectString(), "scott/tiger@ORCL");
  session_.SetConnectString("hr@ORCL");
  EXPECT_EQ(session_.Password(), "");
  session_.SetConnectString("hr");
  EXPECT_EQ(session_.Server(), "");
}

TEST_F(OraSessionTest, AWrongPasswordIsOra01017AndFatalErrorsAreKnown) {
  session_.SetPassword("wrong");
  try {
    session_.Connect();
    FAIL();
  } catch (const EOraError& e) {
    EXPECT_EQ(e.ErrorCode, 1017);
  }
  EXPECT_FALSE(session_.GetConnected());
  EXPECT_TRUE(session_.IsFatalError(EOraError(3113, "end-of-file on communication channel")));
  for (const int code : {28, 1012, 3114, 12203, 12571})
    EXPECT_TRUE(session_.IsFatalError(EOraError(code, "")));
  EXPECT_FALSE(session_.IsFatalError(EOraError(1, "unique constraint violated")));
}

TEST_F(OraSessionTest, AnUnknownClientCharacterSetIsOra12705AndLeavesTheSessionClosed) {
  ::setenv("NLS_LANG", "AMERICAN_AMERICA.NOSUCHSET", 1);
  try {
    session_.Connect();
    ::unsetenv("NLS_LANG");
    FAIL();
  } catch (const EOraError& e) {
    ::unsetenv("NLS_LANG");
    EXPECT_EQ(e.ErrorCode, 12705);
  }
  EXPECT_FALSE(session_.GetConnected());
  session_.Connect();
  EXPECT_TRUE(session_.GetConnected());
}

TEST_F(OraSessionTest, SessionsWhoseLinkDiedUnnoticedAreDestroyedWithoutRaising) {
  // The hook is read when the library makes its environment: a fresh load counts from zero.
  FreeOCI();
  ::setenv("OCI_STANDIN_FAIL_CALL", "60", 1);
  platform::ScopeExit unset([] { ::unsetenv("OCI_STANDIN_FAIL_CALL"); });
  auto idle = std::make_unique<TOraSession>();
  auto inTransaction = std::make_unique<TOraSession>();
  for (TOraSession* s : {idle.get(), inTransaction.get()}) {
    s->LoginPrompt = false;
    s->SetConnectString("scott/tiger@ORCL");
    s->Connect();
  }
  inTransaction->StartTransaction();
  session_.Connect();
  try {
    for (int i = 0; i < 60; ++i) count();
    FAIL() << "the link never failed";
  } catch (const EOraError& e) {
    EXPECT_EQ(e.ErrorCode, 3113);
  }
  EXPECT_FALSE(session_.GetConnected());
  // The other two have made no call since: they still think themselves connected, and ending
  // their sessions fails on the dead link.
  ASSERT_TRUE(idle->GetConnected());
  ASSERT_TRUE(inTransaction->GetConnected());
  idle.reset();
  inTransaction.reset();
  session_.Connect();
  EXPECT_EQ(count(), 0);
}

TEST_F(OraSessionTest, ALinkLostOnAnyCallOfAnOpeningQueryReachesTheSessionsErrorHandler) {
  // The n-th call of the client fails, for every call a fresh session and query make.
  platform::ScopeExit unset([] { ::unsetenv("OCI_STANDIN_FAIL_CALL"); });
  int opened = 0;
  for (int n = 1; opened == 0 && n < 500; ++n) {
    SCOPED_TRACE("call " + std::to_string(n));
    FreeOCI();
    ::setenv("OCI_STANDIN_FAIL_CALL", std::to_string(n).c_str(), 1);
    TOraSession s;
    s.LoginPrompt = false;
    s.SetConnectString("scott/tiger@ORCL");
    int handled = 0;
    s.OnError = [&handled](dataaccess::TCustomDAConnection&, dataaccess::EDAError&, bool&) { ++handled; };
    try {
      s.Connect();
    } catch (const EOraError&) {
      continue;  // lost while logging on
    }
    handled = 0;
    TOraQuery q;
    q.SetSession(&s);
    q.SetSQL("SELECT ID FROM T WHERE ID < 0");
    try {
      q.Open();
      ++opened;
    } catch (const EOraError& e) {
      EXPECT_EQ(e.ErrorCode, 3113);
      EXPECT_EQ(handled, 1);
      EXPECT_FALSE(s.GetConnected());
    }
  }
  EXPECT_EQ(opened, 1);
  FreeOCI();
}

TEST_F(OraSessionTest, DestroyingASessionRollsItsOpenTransactionBack) {
  // Work never committed by its owner must not be committed by the session's going away,
  // whether its link is sound or died unnoticed.
  for (const bool linkDied : {false, true}) {
    SCOPED_TRACE(linkDied ? "dead link" : "sound link");
    FreeOCI();
    if (linkDied) ::setenv("OCI_STANDIN_FAIL_CALL", "60", 1);
    platform::ScopeExit unset([] { ::unsetenv("OCI_STANDIN_FAIL_CALL"); });
    auto owner = std::make_unique<TOraSession>();
    owner->LoginPrompt = false;
    owner->SetConnectString("scott/tiger@ORCL");
    owner->Connect();
    owner->StartTransaction();
    owner->ExecSQL("INSERT INTO T (ID) VALUES (903)");
    if (linkDied) {
      session_.Connect();
      try {
        for (int i = 0; i < 60; ++i) count();
      } catch (const EOraError&) {
      }
      ASSERT_TRUE(owner->GetConnected());
    }
    owner.reset();
    ::unsetenv("OCI_STANDIN_FAIL_CALL");
    FreeOCI();
    session_.Connect();
    EXPECT_EQ(count(), 0);
    session_.Disconnect();
  }
}

TEST_F(OraSessionTest, AnotherHomeUnloadsTheClientAndDisconnectsEverySession) {
  TOraSession other;
  other.LoginPrompt = false;
  other.SetConnectString("scott/tiger@ORCL");
  other.Connect();
  session_.SetHome(ohHome5);  // the test machine lists one home only
  EXPECT_FALSE(other.GetConnected());
  EXPECT_EQ(other.GetHome(), ohHome5);
  EXPECT_FALSE(OCILoaded());
  EXPECT_THROW(session_.Connect(), std::runtime_error);
  session_.SetHome(ohDefault);
  session_.Connect();
  EXPECT_TRUE(session_.GetConnected());
}

TEST_F(OraSessionTest, StatementsMadeBeforeAnotherHomeRunAgainOrGoWithoutTheUnloadedClient) {
  session_.Connect();
  EXPECT_EQ(count(), 0);
  TOraQuery kept;
  auto dropped = std::make_unique<TOraQuery>();
  for (TOraQuery* q : {&kept, dropped.get()}) {
    q->SetSession(&session_);
    q->SetSQL("SELECT ID FROM T WHERE ID < 0");
    q->Open();
    q->Close();
  }
  // Their statement handles went with the client's environment.
  session_.SetHome(ohHome5);
  ASSERT_FALSE(OCILoaded());
  dropped.reset();
  session_.SetHome(ohDefault);
  session_.Connect();
  EXPECT_EQ(count(), 0);
  kept.Open();
  EXPECT_TRUE(kept.Eof());
}

TEST_F(OraSessionTest, AStatementPreparedBeforeAnotherHomeRunsAfterIt) {
  session_.Connect();
  TOraSQL insert;
  insert.SetSession(&session_);
  insert.SetSQL("INSERT INTO T (ID) VALUES (904)");
  insert.Prepare();
  // Its statement handle went with the client's environment; it stays prepared to its owner.
  session_.SetHome(ohHome5);
  ASSERT_FALSE(OCILoaded());
  session_.SetHome(ohDefault);
  session_.Connect();
  insert.Execute();
  EXPECT_EQ(count(), 1);
  session_.ExecSQL("DELETE FROM T WHERE ID = 904");
  EXPECT_EQ(count(), 0);
}

TEST_F(OraSessionTest, SavepointUndoesOnlyWhatFollowsIt) {
  session_.Connect();
  session_.StartTransaction();
  EXPECT_TRUE(session_.InTransaction());
  session_.ExecSQL("INSERT INTO T (ID) VALUES (901)");
  session_.Savepoint("S1");
  session_.ExecSQL("INSERT INTO T (ID) VALUES (902)");
  session_.RollbackToSavepoint("S1");
  EXPECT_EQ(count(), 1);
  session_.Rollback();
  EXPECT_EQ(count(), 0);
}

TEST_F(OraSessionTest, ACommitInSqlTextEndsTheTrackedTransaction) {
  session_.Connect();
  session_.StartTransaction();
  session_.ExecSQL("COMMIT");
  EXPECT_FALSE(session_.InTransaction());
  EXPECT_NO_THROW(session_.StartTransaction());
  EXPECT_TRUE(session_.InTransaction());
}

TEST_F(OraSessionTest, CompileErrorsKeepQuotedNamesAndReadOtherSchemas) {
  session_.Connect();
  EXPECT_EQ(session_.GetCompileErrors("SELECT 1 FROM dual"), "");
  EXPECT_EQ(session_.GetCompileErrors("create or replace procedure Fine is begin null; end;"), "No errors");
  EXPECT_EQ(session_.GetCompileErrors("CREATE PROCEDURE \"MixedCase\" IS BEGIN x; END;"),
            "2/5     PLS-00201: identifier 'X' must be declared\r");
  EXPECT_EQ(session_.GetCompileErrors("CREATE PROCEDURE hr.p AS BEGIN"),
            "3/1     PLS-00103: Encountered the symbol \"END\"\r          when expecting one of: begin\r");
}

TEST_F(OraSessionTest, FreeingTheDefaultSessionMakesTheNextOneDefault) {
  ASSERT_EQ(TOraSession::DefaultSession(), &session_);
  {
    auto second = std::make_unique<TOraSession>();
    auto third = std::make_unique<TOraSession>();
    EXPECT_EQ(TOraSession::SessionCount(), 3);
    EXPECT_EQ(TOraSession::DefaultSession(), &session_);
    second.reset();
    EXPECT_EQ(TOraSession::Sessions(1), third.get());
  }
  EXPECT_EQ(TOraSession::SessionCount(), 1);
}

}  // namespace
}  // namespace oracle
