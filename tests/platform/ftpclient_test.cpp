#include "platform/ftpclient.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "ftp_server.h"
#include "temp_folder.h"

namespace platform {
namespace {

using testing::FtpTestServer;

std::unique_ptr<FtpClient> clientFor(const std::string& user, const std::string& password, bool passive) {
  std::unique_ptr<FtpClient> ftp = makeFtpClient();
  ftp->setHost(FtpTestServer::get().host());
  ftp->setUser(user);
  ftp->setPassword(password);
  ftp->setPassive(passive);
  return ftp;
}

// Active and passive uploads of random bytes into folders with awkward names land whole, under
// the given name, in the folder the server says is current.
TEST(FtpClientTest, UploadsLandWholeInTheFolderTheServerReports) {
  FtpTestServer& server = FtpTestServer::get();
  testing::TempFolder local;
  std::mt19937 rng(7);
  std::filesystem::create_directories(server.home("a b/it's \"q\""));
  for (bool passive : {false, true}) {
    std::string bytes(100000 + rng() % 100000, '\0');
    for (char& c : bytes) c = char(rng());
    std::ofstream(local.path("up.dmp"), std::ios::binary) << bytes;

    std::unique_ptr<FtpClient> ftp = clientFor(FtpTestServer::kUser, FtpTestServer::kPassword, passive);
    ftp->connect();
    ASSERT_TRUE(ftp->connected());
    EXPECT_EQ(ftp->currentDir(), "/");
    ftp->changeDir("a b");
    ftp->changeDir("it's \"q\"");
    EXPECT_EQ(ftp->currentDir(), "/a b/it's \"q\"");
    EXPECT_THROW(ftp->changeDir("missing"), FtpError);
    EXPECT_EQ(ftp->currentDir(), "/a b/it's \"q\"");
    ftp->setBinaryMode();
    bool confirmed = false;
    const std::string name = passive ? "P 1.dmp" : "A%1.dmp";
    ftp->upload(local.path("up.dmp"), name, [&] { confirmed = true; });
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(testing::readFile(server.home("a b/it's \"q\"/" + name)), bytes);
    ftp->changeDir("/");
    EXPECT_EQ(ftp->currentDir(), "/");
    ftp->disconnect();
    EXPECT_FALSE(ftp->connected());
  }
}

TEST(FtpClientTest, RefusalsAreErrorsThatNeverShowThePassword) {
  const struct {
    std::string host;
    std::string password;
  } cases[] = {
      {FtpTestServer::get().host(), "Wrong#Secret"},
      {"127.0.0.1:1", "Any#Secret"},                   // nothing listens: connection refused
      {"dumps:Any#Secret@127.0.0.1/x", "Any#Secret"},  // an account typed into the host
  };
  for (const auto& c : cases) {
    std::unique_ptr<FtpClient> ftp = clientFor(FtpTestServer::kUser, c.password, false);
    ftp->setHost(c.host);
    try {
      ftp->connect();
      ADD_FAILURE() << c.host << " accepted";
    } catch (const FtpError& e) {
      EXPECT_EQ(std::string(e.what()).find("Secret"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("127.0.0.1"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(ftp->connected());
  }
}

}  // namespace
}  // namespace platform
