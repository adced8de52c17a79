#include "tasks/u_transfer.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ftp_server_test_util.h"
#include "platform/plainfile.h"
#include "tasks/u_task1.h"
#include "tests/platform/temp_folder.h"

namespace tasks {
namespace {

namespace fs = std::filesystem;
using platform::testing::readFile;
using Lines = std::vector<std::string>;

// Transfers of one dump through the worker, as a run makes them, against a real FTP server.
class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (size_t i = 0; i < 300000; ++i) bytes_ += char(i * 131 + i / 7);
    writeDump();
    task_.SetId(21);
    task_.SetDumpPath(dump_);
  }
  void writeDump() { std::ofstream(dump_, std::ios::binary) << bytes_; }

  // The lines, each posted as it came and then the end; never the password.
  Lines transfer(int32_t mode, bool passive = false) {
    task_.SetTransferMode(mode);
    platform::EventQueue events;
    std::unique_ptr<platform::FtpClient> ftp = platform::makeFtpClient();
    ftp->setPassive(passive);
    TDumpTransfer transfer(task_, std::move(ftp), &events);
    transfer.Join();
    Lines lines = transfer.TakeLines();
    transfer.ApplyTo(task_);
    std::vector<platform::PostedEvent> posted = events.drain();
    EXPECT_EQ(posted.size(), lines.size() + 1);
    for (size_t i = 0; i < posted.size(); ++i) {
      EXPECT_EQ(posted[i], (platform::PostedEvent{WM_TRANSFEREVENT, 21, i < lines.size() ? 1 : 2}));
    }
    for (const std::string& line : lines) EXPECT_EQ(line.find("Secret"), std::string::npos) << line;
    return lines;
  }
  void ftpTo(const std::string& server, int anonymous, const std::string& password, const char* dir) {
    task_.SetFtpServer(server);
    task_.SetFtpAnonymous(anonymous);
    task_.SetFtpUserName(FtpTestServer::kUser);
    task_.SetFtpPassword(password);
    task_.SetFtpRemoteDir(dir);
  }

  platform::testing::TempFolder local_;
  TExpTask task_{nullptr};
  std::string bytes_;
  std::string dump_ = local_.path("Full_0907.dmp");
};

TEST_F(TransferTest, UploadsReportEachStepAndDeleteOnlyAfterTheirOwnSuccess) {
  FtpTestServer& server = FtpTestServer::get();
  const std::string host = server.host();
  fs::create_directories(server.path("home/in/it's \"q\""));
  const auto done = [&](const std::string& dir) {
    return Lines{"Begin file transfer(ftp)", "Connected to " + host + "\r\nCurrent dir is:" + dir,
                 "End file transfer(ftp)", "Disconnect form server"};
  };
  task_.SetDeleteFileAfter(1);
  ftpTo(host, 0, FtpTestServer::kPassword, "in/it's \"q\"");
  EXPECT_EQ(transfer(kTransferFtp), done("/in/it's \"q\""));
  EXPECT_EQ(readFile(server.path("home/in/it's \"q\"/Full_0907.dmp")), bytes_);
  EXPECT_FALSE(fs::exists(dump_));

  writeDump();
  task_.SetDeleteFileAfter(0);
  ftpTo(host, 1, "guest", "");
  EXPECT_EQ(transfer(kTransferFtp, true), done("/"));
  EXPECT_EQ(readFile(server.path("anon/Full_0907.dmp")), bytes_);

  // Failures: the lines up to the failing step and its reason; the dump stays.
  task_.SetDeleteFileAfter(1);
  const struct {
    std::string server, password;
    const char* dir;
    size_t lineCount;
    std::string reason;
  } failures[] = {
      {"127.0.0.1:1", FtpTestServer::kPassword, "", 1, "127.0.0.1:1"},  // nothing listens
      {"dumps:Ftp#Secret9@" + host, FtpTestServer::kPassword, "", 1, "Invalid FTP server name"},
      {host, "Wrong#Secret", "", 1, "FTP " + host + ": Login denied (530 Authentication failed.)"},
      {"du*mps@" + host, "*", "", 1, "Invalid FTP server name"},  // the mask holds the password
      // A password with a line of its own (from a task file) never reaches the server as a command.
      {host, std::string(FtpTestServer::kPassword) + "\r\nMKD injected", "", 1, "Invalid FTP password"},
      {host, FtpTestServer::kPassword, "missing", 1,
       "FTP " + host + ": Access denied to remote resource (550 No such file or directory.)"},
      // A refusal is told by the failed step and the server's reply, in active mode too.
      {host, FtpTestServer::kPassword, "readonly", 3,
       "FTP " + host + ": Upload failed (at start/before it took off) (550 Not enough privileges.)"},
      {host, FtpTestServer::kPassword, "full", 3, "FTP " + host + ": "},
  };
  // The copy the server already holds survives every failed upload over it.
  const std::string earlier = "the upload of an earlier run";
  std::ofstream(server.path("home/full/Full_0907.dmp"), std::ios::binary) << earlier;
  for (const auto& f : failures) {
    ftpTo(f.server, 0, f.password, f.dir);
    Lines lines = transfer(kTransferFtp);
    ASSERT_EQ(lines.size(), f.lineCount) << f.dir << ": " << lines.back();
    EXPECT_NE(lines.back().find(f.reason), std::string::npos) << lines.back();
    // Nothing of what libcurl got past on the way (setting up the data connection).
    EXPECT_EQ(lines.back().find("errno"), std::string::npos) << lines.back();
    EXPECT_EQ(readFile(dump_), bytes_) << f.dir;
  }
  EXPECT_FALSE(fs::exists(server.path("home/readonly/Full_0907.dmp")));
  EXPECT_FALSE(fs::exists(server.path("home/injected")));
  EXPECT_EQ(readFile(server.path("home/full/Full_0907.dmp")), earlier);
  EXPECT_EQ(std::distance(fs::directory_iterator(server.path("home/full")), fs::directory_iterator()), 1)
      << "nothing of the broken upload is left";

  // A whole upload replaces the earlier copy, and only its own name is left.
  ftpTo(host, 0, FtpTestServer::kPassword, "in/it's \"q\"");
  std::ofstream(server.path("home/in/it's \"q\"/Full_0907.dmp"), std::ios::binary) << earlier;
  EXPECT_EQ(transfer(kTransferFtp), done("/in/it's \"q\""));
  EXPECT_EQ(readFile(server.path("home/in/it's \"q\"/Full_0907.dmp")), bytes_);
  EXPECT_EQ(
      std::distance(fs::directory_iterator(server.path("home/in/it's \"q\"")), fs::directory_iterator()), 1);
  EXPECT_FALSE(fs::exists(dump_));
  writeDump();
  // So does one to a server that renames onto no existing file.
  fs::create_directories(server.path("home/norename"));
  std::ofstream(server.path("home/norename/Full_0907.dmp"), std::ios::binary) << earlier;
  ftpTo(host, 0, FtpTestServer::kPassword, "norename");
  EXPECT_EQ(transfer(kTransferFtp), done("/norename"));
  EXPECT_EQ(readFile(server.path("home/norename/Full_0907.dmp")), bytes_);
  EXPECT_EQ(std::distance(fs::directory_iterator(server.path("home/norename")), fs::directory_iterator()), 1);
  writeDump();
  // One that neither renames nor deletes gets the file stored over the old one, as before; what
  // it kept of the temporary file takes no room.
  std::ofstream(server.path("home/droponly/Full_0907.dmp"), std::ios::binary) << earlier;
  ftpTo(host, 0, FtpTestServer::kPassword, "droponly");
  EXPECT_EQ(transfer(kTransferFtp), done("/droponly"));
  EXPECT_EQ(readFile(server.path("home/droponly/Full_0907.dmp")), bytes_);
  for (const auto& entry : fs::directory_iterator(server.path("home/droponly"))) {
    if (entry.path().filename() != "Full_0907.dmp") {
      EXPECT_EQ(entry.file_size(), 0u) << entry.path();
    }
  }
  writeDump();
  fs::remove(dump_);
  EXPECT_EQ(transfer(kTransferFtp), Lines{"File does not exists: " + dump_});
}

TEST_F(TransferTest, AnUploadThatBreaksOffLeavesNothingUnderTheDumpsNameOnTheServer) {
  FtpTestServer& server = FtpTestServer::get();
  task_.SetDeleteFileAfter(1);
  // A name the server does not hold yet: the line goes down part way, or its disk is full.
  for (const char* dir : {"fresh/cut", "fresh/full"}) {
    fs::create_directories(server.path("home/") + dir);
    ftpTo(server.host(), 0, FtpTestServer::kPassword, dir);
    Lines lines = transfer(kTransferFtp);
    ASSERT_EQ(lines.size(), 3u) << dir << ": " << lines.back();
    EXPECT_EQ(lines.back().rfind("FTP " + server.host() + ": ", 0), 0u) << lines.back();
    EXPECT_FALSE(fs::exists(server.path("home/") + dir + "/Full_0907.dmp")) << dir;
    EXPECT_EQ(readFile(dump_), bytes_) << dir;
  }
  // Into a folder where files are written but never renamed or deleted, a new name goes up once,
  // under its own name, and leaves nothing else behind.
  fs::create_directories(server.path("home/droponly/fresh"));
  ftpTo(server.host(), 0, FtpTestServer::kPassword, "droponly/fresh");
  EXPECT_EQ(transfer(kTransferFtp).back(), "Disconnect form server");
  EXPECT_EQ(readFile(server.path("home/droponly/fresh/Full_0907.dmp")), bytes_);
  EXPECT_EQ(
      std::distance(fs::directory_iterator(server.path("home/droponly/fresh")), fs::directory_iterator()), 1);
}

// The server takes the whole file and says the upload is complete, but keeps only its start (its
// disk lost the rest): the upload fails, the dump stays, and the server keeps no short copy under
// the dump's name, nor instead of the copy it held.
TEST_F(TransferTest, AnUploadTheServerKeptOnlyPartOfFailsAndLosesNothing) {
  FtpTestServer& server = FtpTestServer::get();
  task_.SetDeleteFileAfter(1);
  const std::string earlier = "the upload of an earlier run";
  for (const char* dir : {"fresh/short", "held/short"}) {
    const std::string folder = server.path("home/") + dir;
    fs::create_directories(folder);
    const bool held = std::string(dir).starts_with("held");
    if (held) std::ofstream(folder + "/Full_0907.dmp", std::ios::binary) << earlier;
    ftpTo(server.host(), 0, FtpTestServer::kPassword, dir);
    const Lines lines = transfer(kTransferFtp);
    ASSERT_EQ(lines.size(), 3u) << dir << ": " << ::testing::PrintToString(lines);
    EXPECT_TRUE(lines.back().starts_with("FTP " + server.host() + ": ")) << lines.back();
    EXPECT_NE(lines.back().find(std::to_string(bytes_.size())), std::string::npos) << lines.back();
    EXPECT_EQ(readFile(dump_), bytes_) << dir;
    if (held) {
      EXPECT_EQ(readFile(folder + "/Full_0907.dmp"), earlier);
      EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    } else {
      EXPECT_FALSE(fs::exists(folder + "/Full_0907.dmp"));
    }
  }
}

// The server says the upload is complete before it has written all of it: the size it tells
// grows to the dump's within a second, and the upload is done (the dump deleted after it, as
// asked). One that keeps more than came fails, and the dump stays.
TEST_F(TransferTest, AnUploadTheServerFinishesWritingAfterItsAnswerIsDoneAndOneItKeepsLongerFails) {
  FtpTestServer& server = FtpTestServer::get();
  task_.SetDeleteFileAfter(1);
  for (const char* dir : {"fresh/late", "held/late", "fresh/long"}) {
    const std::string folder = server.path("home/") + dir;
    fs::create_directories(folder);
    if (std::string(dir).starts_with("held")) std::ofstream(folder + "/Full_0907.dmp") << "an earlier run's";
    ftpTo(server.host(), 0, FtpTestServer::kPassword, dir);
    const Lines lines = transfer(kTransferFtp);
    if (std::string(dir).ends_with("late")) {
      EXPECT_EQ(lines.back(), "Disconnect form server") << dir << ": " << ::testing::PrintToString(lines);
      EXPECT_FALSE(fs::exists(dump_)) << dir;
      EXPECT_TRUE(readFile(folder + "/Full_0907.dmp") == bytes_) << dir;
      writeDump();
    } else {
      ASSERT_EQ(lines.size(), 3u) << dir << ": " << ::testing::PrintToString(lines);
      EXPECT_NE(lines.back().find("holds " + std::to_string(bytes_.size() + 1) + " of the"),
                std::string::npos)
          << lines.back();
      EXPECT_TRUE(readFile(dump_) == bytes_) << dir;
      EXPECT_FALSE(fs::exists(folder + "/Full_0907.dmp")) << dir;
    }
  }
}

// The server is asked the size of the very file uploaded whatever its name holds (blanks, letters
// beyond ASCII, a percent sign): a short copy under such a name fails the upload as any other does,
// and a whole one is done.
TEST_F(TransferTest, TheSizeOfAnUploadIsAskedUnderItsOwnNameWhateverItHolds) {
  FtpTestServer& server = FtpTestServer::get();
  task_.SetDeleteFileAfter(1);
  for (const char* name : {"Full 0907.dmp", "Voll_\xc3\xa4\xc3\x9f_0907.dmp", "Full%20%2e0907.dmp"}) {
    dump_ = local_.path(name);
    writeDump();
    task_.SetDumpPath(dump_);
    for (const char* dir : {"named/short", "named/whole"}) {
      const std::string folder = server.path("home/") + dir;
      fs::create_directories(folder);
      ftpTo(server.host(), 0, FtpTestServer::kPassword, dir);
      const Lines lines = transfer(kTransferFtp);
      if (std::string(dir).ends_with("short")) {
        ASSERT_EQ(lines.size(), 3u) << name << ": " << ::testing::PrintToString(lines);
        EXPECT_EQ(readFile(dump_), bytes_) << name;
        EXPECT_FALSE(fs::exists(folder + "/" + name)) << name;
      } else {
        EXPECT_EQ(lines.size(), 4u) << name << ": " << ::testing::PrintToString(lines);
        EXPECT_EQ(readFile(folder + "/" + name), bytes_) << name;
        EXPECT_FALSE(fs::exists(dump_)) << name;
        writeDump();
      }
    }
  }
}

// Runs of one process upload to one server at once: one logs in after the other's data connection
// has closed and before that one logs out. Each is answered at once and its dump arrives whole.
TEST_F(TransferTest, UploadsThatOverlapOnOneServerAreEachAnswered) {
  FtpTestServer& server = FtpTestServer::get();
  fs::create_directories(server.path("home/overlap"));
  const auto login = [&] {
    std::unique_ptr<platform::FtpClient> ftp = platform::makeFtpClient();
    ftp->setHost(server.host());
    ftp->setUser(FtpTestServer::kUser);
    ftp->setPassword(FtpTestServer::kPassword);
    ftp->connect();
    ftp->changeDir("overlap");
    return ftp;
  };
  std::unique_ptr<platform::FtpClient> first = login();
  first->upload(dump_, "first.dmp");
  std::unique_ptr<platform::FtpClient> second = login();
  first->disconnect();
  EXPECT_EQ(second->currentDir(), "/overlap");
  second->upload(dump_, "second.dmp");
  second->disconnect();
  EXPECT_EQ(readFile(server.path("home/overlap/first.dmp")), bytes_);
  EXPECT_EQ(readFile(server.path("home/overlap/second.dmp")), bytes_);
}

// The user cancels the run while the dump goes up: the server is left as a failed upload leaves
// it, with nothing under a name it did not hold and its old file where it held one.
TEST_F(TransferTest, AnUploadWhoseLineGoesDownBeforeTheServerSaysItIsCompleteKeepsTheDump) {
  // The server may well hold the whole file, but nothing told the client so: the dump is the
  // only copy known to be whole.
  FtpTestServer& server = FtpTestServer::get();
  fs::create_directories(server.path("home/cutend"));
  task_.SetDeleteFileAfter(1);
  ftpTo(server.host(), 0, FtpTestServer::kPassword, "cutend");
  const Lines lines = transfer(kTransferFtp);
  ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
  EXPECT_TRUE(lines.back().starts_with("FTP " + server.host() + ": ")) << lines.back();
  EXPECT_EQ(readFile(dump_), bytes_);
}

TEST_F(TransferTest, ACancelledUploadLeavesTheServerAsAFailedOneDoes) {
  FtpTestServer& server = FtpTestServer::get();
  const std::string dir = server.path("home/cancel/slow");
  fs::create_directories(dir);
  ftpTo(server.host(), 0, FtpTestServer::kPassword, "cancel/slow");
  task_.SetTransferMode(kTransferFtp);
  const std::string old = "the copy the server held";
  auto cancelPartWay = [&](const std::string& written) {
    TDumpTransfer transfer(task_, platform::makeFtpClient(), nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::error_code ec;
    while (std::chrono::steady_clock::now() < deadline &&
           !(fs::exists(written, ec) && fs::file_size(written, ec) > 0))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GT(fs::file_size(written, ec), 0u);
    ASSERT_LT(fs::file_size(written, ec), bytes_.size());
    transfer.Abort();
    transfer.Join();
    const Lines lines = transfer.TakeLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "FTP " + server.host() + ": transfer aborted");
  };
  // A name the server does not hold yet.
  cancelPartWay(dir + "/Full_0907.dmp");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 0);
  // Over a file it holds: the part goes up under a name of its own, and the old file stays.
  std::ofstream(dir + "/Full_0907.dmp", std::ios::binary) << old;
  cancelPartWay(dir + "/.Full_0907.dmp.part" + std::to_string(::getpid()));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  EXPECT_EQ(readFile(dir + "/Full_0907.dmp"), old);
  EXPECT_EQ(readFile(dump_), bytes_);
}

TEST_F(TransferTest, CopiesReplaceTheTargetOnlyWhenCompleteAndNeverLoseTheDump) {
  const std::string target = local_.path("copies");
  fs::create_directory(target);
  std::ofstream(target + "/Full_0907.dmp") << "an older copy";
  task_.SetCopyFileDir(target);
  EXPECT_EQ(transfer(kTransferCopy), Lines{"Copy file successfully: " + target + "/Full_0907.dmp"});
  EXPECT_EQ(task_.copyfiledir(), target + "/");
  EXPECT_EQ(readFile(target + "/Full_0907.dmp"), bytes_);

  // Into the dump's own folder, or onto a folder of the dump's name: refused, nothing lost.
  task_.SetDeleteFileAfter(1);
  fs::create_directories(local_.path("blocked/Full_0907.dmp"));
  const std::pair<std::string, std::string> refusals[] = {
      {local_.path() + "/", "the dump file itself"}, {local_.path("blocked/"), platform::errorText(EISDIR)}};
  for (const auto& [dir, reason] : refusals) {
    task_.SetCopyFileDir(dir);
    EXPECT_EQ(transfer(kTransferCopy),
              (Lines{"Copy file failed: " + dir + "Full_0907.dmp", dir + "Full_0907.dmp: " + reason}));
    EXPECT_EQ(readFile(dump_), bytes_);
    EXPECT_EQ(std::distance(fs::directory_iterator(local_.path("blocked")), fs::directory_iterator()), 1);
  }
  task_.SetCopyFileDir(local_.path("none"));
  EXPECT_EQ(transfer(kTransferCopy), Lines{"Dir does not exist: " + local_.path("none")});

  // An aborted copy (the run was stopped or the window closed) fails and keeps the dump.
  fs::remove(target + "/Full_0907.dmp");
  TransferOrder order = TransferOrderOf(task_);
  order.copyfiledir = target;
  const std::atomic<bool> aborted{true};
  Lines lines;
  CopyDumpFile(
      order, [&](std::string line) { lines.push_back(std::move(line)); }, &aborted);
  EXPECT_EQ(lines, Lines{"Copy file failed: " + target + "/Full_0907.dmp"});
  EXPECT_FALSE(fs::exists(target + "/Full_0907.dmp"));
  EXPECT_EQ(readFile(dump_), bytes_);
  task_.SetCopyFileDir(target);
  EXPECT_EQ(transfer(kTransferCopy), Lines{"Copy file successfully: " + target + "/Full_0907.dmp"});
  EXPECT_FALSE(fs::exists(dump_));
  EXPECT_EQ(transfer(kTransferCopy), Lines{"File does not exist: " + dump_});
}

TEST_F(TransferTest, ACopyWhoseTargetRefusesWritesPartWayFailsAndLosesNothing) {
  // The target's file system stops taking bytes a third of the way in, as a full disk does: the
  // copy runs in a child whose files may not grow beyond that.
  const std::string target = local_.path("copies");
  fs::create_directory(target);
  std::ofstream(target + "/Full_0907.dmp") << "an older copy";
  task_.SetCopyFileDir(target);
  task_.SetDeleteFileAfter(1);
  TransferOrder order = TransferOrderOf(task_);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{100000, 100000};
    ::signal(SIGXFSZ, SIG_IGN);
    Lines lines;
    if (::setrlimit(RLIMIT_FSIZE, &limit) == 0)
      CopyDumpFile(order, [&](std::string line) { lines.push_back(std::move(line)); });
    ::_exit(lines == Lines{"Copy file failed: " + target + "/Full_0907.dmp",
                           target + "/Full_0907.dmp: " + platform::errorText(EFBIG)}
                ? 0
                : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the copy did not fail as such: " << status;
  EXPECT_EQ(readFile(target + "/Full_0907.dmp"), "an older copy");
  EXPECT_EQ(readFile(dump_), bytes_);
  EXPECT_EQ(std::distance(fs::directory_iterator(target), fs::directory_iterator()), 1);
}

// The lines of a copy made in a child process that first runs `setup` (which returns false when
// it cannot do its part).
Lines copyInChild(TransferOrder order, const std::function<bool()>& setup) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {"no pipe"};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    std::string out;
    if (!setup()) {
      out = "setup failed";
    } else {
      CopyDumpFile(order, [&](std::string line) { out += line + '\n'; });
    }
    const bool written = ::write(pipeFds[1], out.data(), out.size()) == ssize_t(out.size());
    ::_exit(written ? 0 : 1);
  }
  ::close(pipeFds[1]);
  std::string got;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) got.append(buffer, size_t(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {"the child failed: " + std::to_string(status)};
  Lines lines;
  for (size_t at = 0, end; (end = got.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(got.substr(at, end - at));
  return lines;
}

// A copy into a folder the user may not write in fails with the system's reason on a line of its
// own after the failure line, and the dump stays.
TEST_F(TransferTest, AFailedCopySaysWhyOnALineOfItsOwnAndKeepsTheDump) {
  const std::string locked = local_.path("locked");
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  // An administrator writes anywhere: the copy then runs as a user without rights.
  fs::permissions(local_.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  task_.SetCopyFileDir(locked);
  task_.SetDeleteFileAfter(1);
  const Lines lines = copyInChild(TransferOrderOf(task_), [] {
    if (::geteuid() != 0) return true;
    return ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
           ::setresuid(65534, 65534, 65534) == 0;
  });
  EXPECT_EQ(lines, (Lines{"Copy file failed: " + locked + "/Full_0907.dmp",
                          locked + "/Full_0907.dmp: " + platform::errorText(EACCES)}));
  EXPECT_TRUE(readFile(dump_) == bytes_);
  EXPECT_TRUE(fs::is_empty(locked));
}

}  // namespace
}  // namespace tasks
