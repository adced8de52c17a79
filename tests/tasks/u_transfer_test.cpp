#include "tasks/u_transfer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tasks/u_task1.h"
#include "tests/platform/ftp_server.h"
#include "tests/platform/temp_folder.h"

namespace tasks {
namespace {

namespace fs = std::filesystem;
using platform::testing::FtpTestServer;
using platform::testing::readFile;
using Lines = std::vector<std::string>;

// One transfer of a dump through the worker, as a run makes it: the lines it posted and what it
// left on both sides.
class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dump_ = local_.path("Full_0907.dmp");
    bytes_ = std::string(300000, '\0');
    for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] = char(i * 131 + i / 7);
    std::ofstream(dump_, std::ios::binary) << bytes_;
    task_.SetId(21);
    task_.SetDumpPath(dump_);
    task_.SetFtpPassword(FtpTestServer::kPassword);
  }

  Lines transfer(int32_t mode) {
    task_.SetTransferMode(mode);
    platform::EventQueue events;
    Lines lines;
    {
      std::unique_ptr<platform::FtpClient> ftp = platform::makeFtpClient();
      ftp->setPassive(passive_);
      TDumpTransfer transfer(task_, std::move(ftp), &events);
      transfer.Join();
      EXPECT_TRUE(transfer.Ended());
      lines = transfer.TakeLines();
      transfer.ApplyTo(task_);
    }
    // One event per line, then the end; nothing of the password anywhere.
    std::vector<platform::PostedEvent> posted = events.drain();
    EXPECT_EQ(posted.size(), lines.size() + 1);
    for (size_t i = 0; i < posted.size(); ++i) {
      EXPECT_EQ(posted[i], (platform::PostedEvent{WM_TRANSFEREVENT, 21, i < lines.size() ? 1 : 2}));
    }
    for (const std::string& line : lines) EXPECT_EQ(line.find("Secret"), std::string::npos) << line;
    return lines;
  }

  void uploadAs(const char* server, bool anonymous, const char* user, const char* dir, bool deleteAfter) {
    task_.SetFtpServer(server);
    task_.SetFtpAnonymous(anonymous ? 1 : 0);
    task_.SetFtpUserName(user);
    task_.SetFtpRemoteDir(dir);
    task_.SetDeleteFileAfter(deleteAfter ? 1 : 0);
  }

  platform::testing::TempFolder local_;
  TExpTask task_{nullptr};
  std::string dump_;
  std::string bytes_;
  bool passive_ = false;
};

TEST_F(TransferTest, UploadsReportEachStepAndDeleteOnlyAfterTheirOwnSuccess) {
  FtpTestServer& server = FtpTestServer::get();
  const std::string host = server.host();
  fs::create_directories(server.home("in/deep"));
  const Lines done = {"Begin file transfer(ftp)", "", "End file transfer(ftp)", "Disconnect form server"};
  const auto connected = [&](const std::string& dir) {
    return "Connected to " + host + "\r\nCurrent dir is:" + dir;
  };

  // The user's own folder, active mode, the dump deleted after.
  uploadAs(host.c_str(), false, FtpTestServer::kUser, "in/deep", true);
  Lines expected = done;
  expected[1] = connected("/in/deep");
  EXPECT_EQ(transfer(kTransferFtp), expected);
  EXPECT_EQ(readFile(server.home("in/deep/Full_0907.dmp")), bytes_);
  EXPECT_FALSE(fs::exists(dump_));

  // Anonymous into the login folder, passive, the dump kept.
  std::ofstream(dump_, std::ios::binary) << bytes_;
  passive_ = true;
  uploadAs(host.c_str(), true, "ignored", "", false);
  expected[1] = connected("/");
  EXPECT_EQ(transfer(kTransferFtp), expected);
  EXPECT_EQ(readFile(server.anon("Full_0907.dmp")), bytes_);
  EXPECT_TRUE(fs::exists(dump_));

  // Failures: one line with the reason each, and the dump stays although it was to be deleted.
  const struct {
    std::string server;
    const char* password;
    const char* dir;
    size_t lineCount;
    std::string lastLineHolds;
  } failures[] = {
      {"127.0.0.1:1", FtpTestServer::kPassword, "", 1, "127.0.0.1:1"},  // nothing listens
      {host, "Wrong#Secret", "", 1, "530"},
      {host, FtpTestServer::kPassword, "missing", 1, "550"},
      {host, FtpTestServer::kPassword, "readonly", 3, "550"},
      {host, FtpTestServer::kPassword, "full", 3, "FTP " + host},
  };
  for (const auto& f : failures) {
    uploadAs(f.server.c_str(), false, FtpTestServer::kUser, f.dir, true);
    task_.SetFtpPassword(f.password);
    Lines lines = transfer(kTransferFtp);
    ASSERT_EQ(lines.size(), f.lineCount) << f.dir << ": " << lines.back();
    EXPECT_NE(lines.back().find(f.lastLineHolds), std::string::npos) << lines.back();
    EXPECT_EQ(readFile(dump_), bytes_) << f.dir;
  }
  EXPECT_FALSE(fs::exists(server.home("readonly/Full_0907.dmp")));

  fs::remove(dump_);
  EXPECT_EQ(transfer(kTransferFtp), Lines{"File does not exists: " + dump_});
}

TEST_F(TransferTest, CopiesReplaceTheTargetOnlyWhenCompleteAndNeverLoseTheDump) {
  const std::string target = local_.path("copies");
  fs::create_directory(target);
  task_.SetCopyFileDir(target);
  task_.SetDeleteFileAfter(0);
  std::ofstream(target + "/Full_0907.dmp") << "an older copy";
  EXPECT_EQ(transfer(kTransferCopy), Lines{"Copy file successfully: " + target + "/Full_0907.dmp"});
  EXPECT_EQ(task_.copyfiledir(), target + "/");
  EXPECT_EQ(readFile(target + "/Full_0907.dmp"), bytes_);

  // Into the dump's own folder, or onto a folder of the dump's name: refused, nothing lost.
  task_.SetDeleteFileAfter(1);
  fs::create_directory(local_.path("blocked"));
  fs::create_directory(local_.path("blocked/Full_0907.dmp"));
  for (const std::string& dir : {local_.path(), local_.path("blocked/")}) {
    task_.SetCopyFileDir(dir);
    const std::string into = dir.ends_with('/') ? dir : dir + "/";
    EXPECT_EQ(transfer(kTransferCopy), Lines{"Copy file failed: " + into + "Full_0907.dmp"});
    EXPECT_EQ(readFile(dump_), bytes_);
    EXPECT_EQ(std::distance(fs::directory_iterator(local_.path("blocked")), fs::directory_iterator()), 1);
  }

  task_.SetCopyFileDir(local_.path("none"));
  EXPECT_EQ(transfer(kTransferCopy), Lines{"Dir does not exist: " + local_.path("none")});
  task_.SetCopyFileDir(target);
  EXPECT_EQ(transfer(kTransferCopy), Lines{"Copy file successfully: " + target + "/Full_0907.dmp"});
  EXPECT_FALSE(fs::exists(dump_));
  EXPECT_EQ(transfer(kTransferCopy), Lines{"File does not exist: " + dump_});
  EXPECT_EQ(transfer(kTransferNone), Lines{});
}

}  // namespace
}  // namespace tasks
