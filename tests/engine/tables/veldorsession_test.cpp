#include "engine/tables/veldorsession.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/storage/veldorfile.h"
#include "engine/storage/veldorhelpers_file.h"

namespace engine {
namespace {

class SessionPasswordTest : public ::testing::Test {
 protected:
  TDataSession session;
};

TEST_F(SessionPasswordTest, PasswordsCompareAsBytes) {
  session.AddPassword("abc");
  session.AddPassword("abc");
  EXPECT_EQ(session.PasswordCount(), 1u);
  session.AddPassword("ABC");
  EXPECT_EQ(session.PasswordCount(), 2u);
  // Texts that a locale compare would find equal are different passwords.
  session.AddPassword("resume");
  EXPECT_FALSE(session.PasswordExists("résumé"));
  session.AddPassword("résumé");
  EXPECT_EQ(session.PasswordCount(), 4u);
  EXPECT_FALSE(session.PasswordExists("e\xcc\x81"));
  session.AddPassword("\xc3\xa9");
  EXPECT_FALSE(session.PasswordExists("e\xcc\x81")) << "composed and decomposed forms are different bytes";
  session.RemovePassword("ABC");
  session.RemovePassword("Abc");
  EXPECT_EQ(session.PasswordCount(), 4u);
  session.AddPassword("");
  EXPECT_EQ(session.PasswordCount(), 4u) << "an empty password is never added";
  std::string longPassword(300, 'p');
  session.AddPassword(longPassword);
  EXPECT_TRUE(session.PasswordExists(std::string(255, 'p'))) << "kept as an engine string";
}

TEST_F(SessionPasswordTest, RemoteSessionWithoutAConnectionRefusesWithTheServerName) {
  session.SetSessionType(stRemote);
  session.SetRemoteHost("dbhost");
  try {
    session.AddPassword("x");
    FAIL() << "a remote password needs the server";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode(), VELDOR_REMOTECONNECT);
    EXPECT_EQ(e.Item(0), "dbhost");
  }
}

class EngineUnitTest : public ::testing::Test {
 protected:
  void TearDown() override { ShutDownEngine(); }
};

TEST_F(EngineUnitTest, StartUpTwiceMakesOneDefaultSessionAndNoneBeforeIt) {
  ShutDownEngine();
  EXPECT_FALSE(EngineStarted());
  EXPECT_THROW(GetDefaultSession(), EVELDOREngineError);
  StartUpEngine();
  TDataSession* first = &GetDefaultSession();
  StartUpEngine();
  EXPECT_EQ(&GetDefaultSession(), first);
  EXPECT_TRUE(EngineStarted());
  EXPECT_EQ(first->TrackObjects(), 0);
  ShutDownEngine();
  ShutDownEngine();
  EXPECT_FALSE(EngineStarted());
}

TEST_F(EngineUnitTest, ShutDownDropsInMemoryFiles) {
  StartUpEngine();
  TCharMap map;
  GetLanguageCharMap(0x0407, 0, map);
  EXPECT_GE(LanguageCharMaps().Count(), 1u);
  TAbstractFile* file = nullptr;
  int32_t handle = EngineFileList().CreateFile("shutdown-test.mem", true, false, file);
  ASSERT_GT(handle, 0);
  ASSERT_EQ(EngineFileList().CloseFile(file, true, handle), 0);
  EXPECT_TRUE(EngineFileExists("shutdown-test.mem", true)) << "an in-memory file outlives its last close";
  ShutDownEngine();
  EXPECT_EQ(LanguageCharMaps().Count(), 0u);
  EXPECT_FALSE(EngineFileExists("shutdown-test.mem", true));
}

TEST_F(EngineUnitTest, ASetDefaultSessionStaysItsCreators) {
  StartUpEngine();
  std::unique_ptr<TDataSession> mine = CreateDataSession(1);
  SetDefaultSession(mine.get());
  EXPECT_EQ(&GetDefaultSession(), mine.get());
  ShutDownEngine();  // frees only the engine's own session
  EXPECT_EQ(mine->TrackObjects(), 1);
  FreeDataSession(mine);
  EXPECT_EQ(mine, nullptr);
  FreeDataSession(mine);  // nothing for none
}

// The components exchange around every call, most often for the session that already is the
// default: nested exchanges, of the same session or another, each give back what was current.
TEST_F(EngineUnitTest, ExchangesOfTheDefaultNestAndRestoreWhatWasCurrent) {
  StartUpEngine();
  TDataSession* own = &GetDefaultSession();
  std::unique_ptr<TDataSession> a = CreateDataSession(0);
  std::unique_ptr<TDataSession> b = CreateDataSession(0);
  TDataSession* outer = ExchangeDefaultSession(a.get());
  EXPECT_EQ(outer, own);
  TDataSession* same = ExchangeDefaultSession(a.get());
  EXPECT_EQ(same, a.get());
  TDataSession* inner = ExchangeDefaultSession(b.get());
  EXPECT_EQ(inner, a.get());
  EXPECT_EQ(&GetDefaultSession(), b.get());
  RestoreDefaultSession(inner);
  EXPECT_EQ(&GetDefaultSession(), a.get());
  // Made current by another while the same-session exchange was open: its restore puts `a` back.
  SetDefaultSession(b.get());
  RestoreDefaultSession(same);
  EXPECT_EQ(&GetDefaultSession(), a.get());
  RestoreDefaultSession(outer);
  EXPECT_EQ(&GetDefaultSession(), own);

  SetDefaultSession(nullptr);
  EXPECT_THROW(ExchangeDefaultSession(a.get()), EVELDOREngineError);
  EXPECT_THROW(GetDefaultSession(), EVELDOREngineError);
  SetDefaultSession(own);
  ShutDownEngine();
  // Stopped: nothing is current and nothing is handed back, even for the session set last.
  SetDefaultSession(a.get());
  EXPECT_EQ(ExchangeDefaultSession(a.get()), nullptr);
  RestoreDefaultSession(b.get());
  SetDefaultSession(nullptr);
}

}  // namespace
}  // namespace engine
