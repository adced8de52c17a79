#include "engine/tables/veldorsession.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/storage/veldorerr.h"
#include "engine/storage/veldorfile.h"
#include "engine/storage/veldorhelpers.h"

namespace engine {
namespace {

TEST(SessionDefaultsTest, FreshSessionHasTheDocumentedSettings) {
  TDataSession session;
  EXPECT_EQ(session.LockRetryCount(), 15);
  EXPECT_EQ(session.LockWaitTime(), 100);
  EXPECT_EQ(session.ForceBufferFlush(), 0);
  EXPECT_EQ(session.StrictChangeDetection(), 0);
  EXPECT_EQ(session.SessionType(), stLocal);
  EXPECT_TRUE(session.RemoteType()) << "LAN flag 1";
  EXPECT_EQ(session.RemotePort(), 12001u);
  EXPECT_EQ(session.RemoteAddress(), "127.0.0.1");
  EXPECT_EQ(session.RemoteHost(), "");
  EXPECT_EQ(session.TimeOut(), 300u);
  EXPECT_FALSE(session.Connected());
  EXPECT_EQ(session.PasswordCount(), 0u);
  EXPECT_EQ(session.TrackObjects(), 0);
  EXPECT_EQ(TDataSession(1).TrackObjects(), 1);
}

TEST(SessionDefaultsTest, ProgressStepPercent) {
  TDataSession session;
  EXPECT_EQ(session.GetProgressStepPercent(), 5u);
  session.SetProgressSteps(3);
  EXPECT_EQ(session.GetProgressStepPercent(), 33u);
  session.SetProgressSteps(0);
  EXPECT_EQ(session.GetProgressStepPercent(), 100u);
  session.SetProgressSteps(1);
  EXPECT_EQ(session.GetProgressStepPercent(), 100u);
}

TEST(SessionDefaultsTest, RemoteSessionAgainstAnOldServerKeepsItsLockProtocol) {
  TDataSession session;
  session.SetSessionType(stRemote);
  ASSERT_TRUE(session.IsRemote());
  EXPECT_EQ(session.ServerVersion(), 30300);
  session.SetLockProtocol(lpOptimistic);
  EXPECT_EQ(session.LockProtocol(), lpPessimistic);
  session.SetRemoteType(false);
  EXPECT_FALSE(session.RemoteType()) << "not connected: the LAN flag may change";
  session.SetSessionType(stLocal);
  EXPECT_FALSE(session.IsRemote());
}

TEST(SessionDirectoryTest, WorkingDirectoryIsTheCurrentOneWithADelimiter) {
  TDataSession session;
  std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(session.WorkingDirectory(), cwd == "/" ? "/" : cwd + "/");
}

TEST(SessionDirectoryTest, PrivateDirectoryIsTrimmedAndEndsInADelimiter) {
  TDataSession session;
  EXPECT_FALSE(session.GetPrivateDirectory().empty());
  EXPECT_EQ(session.GetPrivateDirectory().back(), '/');
  session.SetPrivateDirectory("  /var/tmp/engine  ");
  EXPECT_EQ(session.GetPrivateDirectory(), "/var/tmp/engine/");
  session.SetPrivateDirectory("");
  EXPECT_EQ(session.GetPrivateDirectory(), "/var/tmp/engine/") << "an empty text changes nothing";
  session.SetPrivateDirectory("/srv/db/");
  EXPECT_EQ(session.GetPrivateDirectory(), "/srv/db/");
}

TEST(SessionDirectoryTest, PrivateDirectoryStartsAsTheSystemTemporaryFolder) {
  const char* old = std::getenv("TMPDIR");
  std::string saved = old ? old : "";
  ::setenv("TMPDIR", "/nonexistent/tmp", 1);
  TDataSession session;
  EXPECT_EQ(session.GetPrivateDirectory(), "/nonexistent/tmp/");
  if (old)
    ::setenv("TMPDIR", saved.c_str(), 1);
  else
    ::unsetenv("TMPDIR");
  session.SetPrivateDirectory("   ");
  EXPECT_EQ(session.GetPrivateDirectory(), "/nonexistent/tmp/") << "blanks alone change nothing";
}

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
}

TEST_F(SessionPasswordTest, EmptyPasswordIsNeverAddedAndAbsentOnesAreNotRemoved) {
  session.AddPassword("");
  EXPECT_EQ(session.PasswordCount(), 0u);
  session.AddPassword("one");
  session.RemovePassword("two");
  EXPECT_EQ(session.PasswordCount(), 1u);
  session.RemovePassword("ONE");
  EXPECT_EQ(session.PasswordCount(), 1u);
  session.RemovePassword("one");
  EXPECT_EQ(session.PasswordCount(), 0u);
  for (const char* p : {"a", "b", "c"}) session.AddPassword(p);
  session.RemoveAllPasswords();
  EXPECT_EQ(session.PasswordCount(), 0u);
}

TEST_F(SessionPasswordTest, LongPasswordsAreKeptAsEngineStrings) {
  std::string longPassword(300, 'p');
  session.AddPassword(longPassword);
  EXPECT_TRUE(session.PasswordExists(std::string(255, 'p')));
  EXPECT_TRUE(session.PasswordExists(longPassword));
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
  EXPECT_THROW(session.RemovePassword("x"), EVELDOREngineError);
  EXPECT_THROW(session.RemoveAllPasswords(), EVELDOREngineError);
}

TEST(SessionHookTest, UnsetHooksLeaveEverythingAsItWas) {
  TDataSession session;
  std::string name = "db", directory = "/srv/db";
  uint8_t flag = 7;
  session.CallDatabaseNameHook(name);
  session.CallDatabaseDirectoryHook(name, directory);
  session.CallDatabaseOpenedHook(name, flag);
  session.CallStatementHook(nullptr, 1);
  EXPECT_EQ(name, "db");
  EXPECT_EQ(directory, "/srv/db");
  EXPECT_EQ(flag, 7);
}

class EngineUnitTest : public ::testing::Test {
 protected:
  void TearDown() override { ShutDownEngine(); }
};

TEST_F(EngineUnitTest, DefaultSessionBeforeStartUpIsNotInitialized) {
  ShutDownEngine();
  try {
    GetDefaultSession();
    FAIL() << "expected an engine error";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 0x2A06);
    EXPECT_STREQ(e.what(), "VELDOR Engine Error # 10758 The database engine is not initialized");
  }
}

TEST_F(EngineUnitTest, StartUpTwiceMakesOneDefaultSession) {
  ShutDownEngine();
  EXPECT_FALSE(EngineStarted());
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

}  // namespace
}  // namespace engine
