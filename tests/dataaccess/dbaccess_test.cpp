// The connection component, the SQL monitor, parameters and the connect dialog over the scripted
// fake driver.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dataaccess/dbaccess_connectdialog.h"
#include "dataaccess/dbaccess_dataset.h"
#include "tests/dataaccess/fakedriver.h"

namespace {

using namespace fakedriver;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
using ::testing::StrEq;
using ::testing::ThrowsMessage;
namespace ds = dataset;

// A monitor class with a registered monitor that keeps every text.
struct TestMonitor : TCustomDASQLMonitor {
  static TDASQLMonitorClass& Class() {
    static TDASQLMonitorClass c;
    return c;
  }
  TestMonitor() {
    RegisterWith(Class());
    OnSQL = [this](TCustomDASQLMonitor&, const std::string& text, TSQLTraceFlag flag) {
      texts.push_back(std::to_string(flag) + " " + text);
    };
  }
  std::vector<std::string> texts;
};

struct MonitoredSession : FakeSession {
  using FakeSession::FakeSession;
  TDASQLMonitorClass& SQLMonitorClass() const override { return TestMonitor::Class(); }
};

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s.LoginPrompt = false;
    s.Name = "Session1";
    s.SetUsername("scott");
    s.SetServer("orcl");
  }
  Script script;
  TestMonitor monitor;
  MonitoredSession s{script};
};

TEST_F(ConnectionTest, UserTransactionsCheckTheStateAndRestoreAutoCommit) {
  const auto start = [&] { s.StartTransaction(); };
  EXPECT_THAT(start,
              ThrowsMessage<EDatabaseError>(StrEq("Operation is not allowed when the connection is closed")));
  std::vector<std::string> events;
  s.BeforeConnect = [&](ds::CustomConnection&) { events.push_back("before"); };
  s.AfterConnect = [&](ds::CustomConnection&) { events.push_back("after"); };
  s.Connect();
  EXPECT_THAT(events, ElementsAre("before", "after"));
  s.StartTransaction();
  EXPECT_FALSE(s.driver().GetAutoCommit());
  EXPECT_THAT(start, ThrowsMessage<EDatabaseError>(StrEq("User transaction is already in progress.")));
  s.Rollback();
  EXPECT_TRUE(s.driver().GetAutoCommit());
  s.Commit();  // none open: still through the driver
  s.StartTransaction();
  s.SetUsername("scott");  // the same name: stays connected
  EXPECT_TRUE(s.InTransaction());
  s.SetUsername("adams");  // disconnecting commits the open transaction
  EXPECT_FALSE(s.GetConnected() || s.InTransaction());
  EXPECT_THAT(script.take(), ElementsAre("Connect scott/@orcl", "StartTransaction", "Rollback", "Commit",
                                         "StartTransaction", "Commit", "Disconnect"));
  EXPECT_THAT(monitor.texts,
              ElementsAre("5 Connect: scott@orcl", "6 Rollback: scott@orcl", "6 Commit: scott@orcl",
                          "6 Commit: scott@orcl", "5 Disconnect: scott@orcl"));
}

TEST_F(ConnectionTest, AFatalErrorDropsTheLostSessionWithoutCommittingAndKeepsTheOriginalError) {
  s.Connect();
  s.StartTransaction();
  std::vector<int> seen;
  s.OnError = [&](TCustomDAConnection& sender, EDAError& e, bool&) {
    EXPECT_FALSE(sender.GetConnected());  // disconnected before the handler runs
    seen.push_back(e.ErrorCode);
  };
  auto cmd = s.IConnection()->CreateCommand();
  script.failures["Execute"] = kLostSession;
  EXPECT_THAT([&] { cmd->Execute(1); }, ThrowsMessage<EDAError>(StrEq("ORA-3113 in Execute")));
  EXPECT_FALSE(s.GetConnected() || s.InTransaction());
  EXPECT_THAT(seen, ElementsAre(kLostSession));
  EXPECT_THAT(script.take(), Not(Contains("Commit")));
  EXPECT_EQ(monitor.texts.back(), "5 Disconnect: scott@orcl");

  // A handler that clears `fail` makes the driver abort silently; a plain error keeps the session.
  s.Connect();
  s.OnError = [](TCustomDAConnection&, EDAError&, bool& fail) { fail = false; };
  script.failures["Execute"] = 942;
  EXPECT_THROW(cmd->Execute(1), ds::EAbort);
  EXPECT_TRUE(s.GetConnected());
  EXPECT_EQ(monitor.texts.back(), "3 Error: ORA-942 in Execute");

  monitor.Options |= moObjectNames;
  s.Disconnect();
  EXPECT_THAT(monitor.texts.back(),
              ::testing::MatchesRegex("5 Disconnect: scott@orcl \\[Session1\\$[0-9A-F]{8,}\\] "));
}

TEST_F(ConnectionTest, PreparingADataSetIsTracedOnce) {
  auto d = s.CreateDataSet();
  d->SetSQL("SELECT ID FROM T");
  d->Prepare();
  d->Prepare();  // prepared already
  EXPECT_THAT(monitor.texts, ElementsAre("5 Connect: scott@orcl", "0 SELECT ID FROM T"));
  EXPECT_TRUE(d->Prepared());
}

TEST(ConnectionLifeTest, DestroyingAConnectionRollsItsTransactionBack) {
  Script script;
  {
    FakeSession s(script);
    s.LoginPrompt = false;
    s.Connect();
    s.StartTransaction();
  }
  EXPECT_THAT(script.take(), ElementsAre("Connect /@", "StartTransaction", "Rollback", "Disconnect"));
}

TEST(MonitorTest, StatementTextsCarryTheParametersAndOnlyDebugObjectsReachTheHookWithoutAMonitor) {
  TDAParams params;
  params.CreateParam(ds::ftString, "P", ds::ptInput).SetAsString("abc");
  params.CreateParam(ds::ftInteger, "N", ds::ptOutput);
  params.CreateParam(ds::ftUnknown, "B", ds::ptUnknown).SetAsBlob("12345");
  params.CreateParam(ds::ftDate, "D", ds::ptInputOutput).SetValue(ds::DateTime{1.5});
  TDAComponent query;
  std::vector<std::string> hooked;
  SetDADebugHook([&](const TDASQLMonitorClass&, const TDAComponent&, const std::string& sql,
                     const std::string& caption,
                     const TDAParams*) { hooked.push_back(caption + " " + sql); });
  TestMonitor::Class().SQLPrepare(query, "select 1", &params, false);  // none registered: no trace
  query.Debug = true;
  TestMonitor::Class().SQLExecute(query, "select 2", nullptr, "", false);
  {
    TestMonitor monitor;
    TestMonitor::Class().SQLPrepare(query, "select :P  ", &params, false);
    TestMonitor::Class().SQLPrepare(query, "select 3", &params, true);  // after: not traced
    EXPECT_THAT(monitor.texts, ElementsAre("0 select :P\r\n"
                                           ":P(String[3],IN)='abc' \r\n"
                                           ":N(Integer,OUT)=<NULL> \r\n"
                                           ":B(Blob)=<BLOB:5> \r\n"
                                           ":D(Date,IN/OUT)='1899-12-31 12:00:00' \r\n"));
  }
  EXPECT_THAT(hooked, ElementsAre("Execute select 2", "Prepare select :P  "));
  SetDADebugHook(nullptr);
}

TEST(ParamTest, BlobValuesLiveInTheirObjectAndConversionsKeepTheirType) {
  TDAParams params;
  TDAParam& p = params.CreateParam(ds::ftString, "TEXT", ds::ptInput);
  p.SetDataType(ds::ftMemo);
  ASSERT_NE(p.ValueObject(), nullptr);
  EXPECT_TRUE(p.IsNull());
  p.AssignStrings({"one", "two"});
  EXPECT_EQ(p.GetAsString(), "one\ntwo\n");
  p.SetDataType(ds::ftString);
  EXPECT_EQ(p.ValueObject(), nullptr);
  p.SetDataType(ds::ftWideString);
  p.SetAsString("\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(p.Value().type(), ds::VariantType::WideString);

  TDAParams copy;
  copy.Assign(params);
  copy.Items(0).SetAsBlob("bytes");
  TDAParam other;
  other.Assign(copy.Items(0));
  EXPECT_EQ(other.GetValue().asString(), "bytes");
  EXPECT_NE(other.ValueObject(), copy.Items(0).ValueObject());
  EXPECT_EQ(params.FindParam("nothing"), nullptr);
  EXPECT_THROW(params.ParamByName("nothing"), EDatabaseError);
}

// The settings store of the prompt, in memory.
struct MemoryStore : TConnectDialogStore {
  std::optional<std::string> ReadValue(const std::string& g, const std::string& n) override {
    auto it = values.find(g + "|" + n);
    return it == values.end() ? std::nullopt : std::optional(it->second);
  }
  void WriteValue(const std::string& g, const std::string& n, const std::string& v) override {
    values[g + "|" + n] = v;
  }
  std::map<std::string, std::string> values;
};

struct ListingDialog : TCustomConnectDialog {
  void GetServerList(std::vector<std::string>& list) override { list = {"ORCL", "test", "prod"}; }
};

TEST(ConnectDialogTest, ThePromptLoadsAndStoresTheLoginAndWithoutAProcedureAborts) {
  Script script;
  FakeSession s(script);
  s.SetUsername("scott");
  s.SetPassword("tiger");
  EXPECT_THROW(s.Connect(), ds::EAbort);
  EXPECT_FALSE(s.GetConnected());
  EXPECT_EQ(s.Password(), "tiger");

  MemoryStore store;
  SetConnectDialogStore(&store);
  SetAppNameHook([] { return std::string("velmaron"); });
  store.values["Connect\\velmaron|Username"] = "SCOTT";
  store.values["Connect\\velmaron|Server"] = "orcl";
  ListingDialog dialog;
  dialog.SavePassword = true;
  s.SetConnectDialog(&dialog);
  SetConnectDialogProc([](TCustomConnectDialog& d) {
    EXPECT_EQ(d.Connection()->Password(), "tiger");  // the same user, any case: the password stays
    d.Connection()->SetServer("test");
    return true;
  });
  s.Connect();
  EXPECT_THAT(script.take(), ElementsAre("Connect SCOTT/tiger@test"));
  EXPECT_EQ(store.values["Connect|Server1"], "test");
  EXPECT_EQ(store.values["Connect|Server2"], "ORCL");
  EXPECT_EQ(store.values["Connect|Server3"], "prod");
  EXPECT_EQ(store.values.count("Connect|Server4"), 0u);
  SetConnectDialogProc(nullptr);
  SetConnectDialogStore(nullptr);
  SetAppNameHook(nullptr);

  for (auto [set, caption, user, server] :
       {std::tuple{2, "Ouverture de session", "Nom utilisateur", "Cha\u00eene centrale"},
        {5, "Rejestracja", "U\u017cytkownik", "Opis hosta"},
        {7, "\u0421\u043e\u0435\u0434\u0438\u043d\u0435\u043d\u0438\u0435",
         "\u0418\u043c\u044f \u043f\u043e\u043b\u044c\u0437\u043e\u0432\u0430\u0442\u0435\u043b\u044f",
         "\u0421\u0435\u0440\u0432\u0435\u0440"},
        {8, "Conectar", "Usuario", "Cadena Conexi\u00f3n"},
        {42, "Connect", "User Name", "Server"},
        {0, "Connect", "User Name", "Server"}}) {
    dialog.SetLabelSet(set);
    EXPECT_EQ(dialog.Caption + dialog.UsernameLabel + dialog.ServerLabel,
              std::string(caption) + user + server);
  }
  dialog.SetLabelSet(5);
  EXPECT_EQ(dialog.PasswordLabel, "Has\u0142o");
}

}  // namespace
