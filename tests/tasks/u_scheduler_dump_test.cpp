// Runs that share a dump file, started by the scheduler over the stand-in programs: the stand-in
// export writes slowly and holds its dump locked meanwhile, and every stand-in notes a dump that
// another one held while it wrote or read it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "ftp_server_test_util.h"
#include "standin_test_util.h"
#include "tasks/u_TRunTask.h"
#include "tasks/u_parfile.h"
#include "tasks/u_scheduler.h"
#include "tasks/u_task1.h"
#include "tasks/u_taskfile.h"
#include "tasks/u_taskstore.h"
#include "tasks/u_transfer.h"
#include "tools/dumpbuilder/dumpbuilder.h"

namespace tasks {
namespace {

class Window : public TaskHost, public TaskRunView, public TaskNode, public SchedulerHost {
 public:
  explicit Window(const std::string& folder) : workFolder(folder) {}

  TaskEventSink* EventSink() override { return &sink_; }
  std::string ExportProgram() const override { return standin::program("exp"); }
  std::string ImportProgram() const override { return standin::program("imp"); }
  void AddRunningMessage(const std::string&) override {}
  void ClearMainLogs() override {}
  void ShowError(const std::string& text) override { ADD_FAILURE() << text; }
  void RunLogged(const TaskLogEntry&) override {}
  bool IsSelected() const override { return false; }

  void StartTask(TUniTask& task) override {
    started.push_back(task.name());
    std::string others;
    for (const TUniTask* t : *tasks)
      if (t->state() == TTaskState::Running) others += (others.empty() ? "" : ",") + t->name();
    runningAtStart[task.name()] = others;
    task.StartTask(*context);
  }
  void ReportStartFailure(TUniTask& task) override { ADD_FAILURE() << "start of " << task.name(); }
  void RemoveTask(TUniTask&) override {}
  void SetNodeImage(TUniTask&, int) override {}
  int NodeImage(const TUniTask&) const override { return 0; }
  std::vector<std::string> DumpPathsOf(const TUniTask& task) const override {
    return RunDumpPaths(task, workFolder, platform::localNow());
  }
  std::vector<std::string> LogPathsOf(const TUniTask& task) const override {
    return RunLogPaths(task, workFolder);
  }

  // The work folder that a run started now would take (the setting may change meanwhile).
  std::string workFolder;
  const TaskRunContext* context = nullptr;
  const std::vector<TUniTask*>* tasks = nullptr;
  platform::EventQueue events;
  std::vector<std::string> started;
  // The tasks that were running when each task started, by name.
  std::map<std::string, std::string> runningAtStart;

 private:
  TaskEventPoster sink_{events};
};

class SharedDumpTest : public ::testing::Test {
 protected:
  SharedDumpTest() {
    ws_.set("VELMARON_STANDIN_WRITE_MS", "700");
    window_.tasks = &list_;
  }

  TUniTask& add(const std::string& name, int type, const std::string& command, bool parses = true) {
    tasks_.push_back(MakeTaskOfType(type, command, &window_));
    TUniTask& task = *tasks_.back();
    EXPECT_EQ(task.parsedok(), parses) << command;
    task.SetId(int32_t(100 + tasks_.size()));
    task.SetName(name);
    task.SetNode(&window_);
    task.SetUName("scott");
    task.SetConnectString("orcl");
    task.SetState(TTaskState::Queued);
    list_.push_back(&task);
    return task;
  }

  // Ticks the scheduler as the window does (at the local time `clock`, now when none) and hands
  // every event to its task, until no task is queued or running.
  void runAll(int maxTasks, std::optional<platform::LocalTimeFields> clock = std::nullopt) {
    const auto busy = [this] {
      for (const TUniTask* t : list_)
        if (t->state() != TTaskState::Idle) return true;
      return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (busy()) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the runs hang";
      if (clock)
        SchedulerTick(list_, maxTasks, window_, *clock);
      else
        SchedulerTick(list_, maxTasks, window_);
      std::optional<platform::PostedEvent> ev =
          window_.events.take(std::chrono::milliseconds(kSchedulerTickMs));
      if (!ev) continue;
      for (TUniTask* t : list_) {
        if (t->id() != ev->first) continue;
        if (ev->message == WM_TRANSFEREVENT)
          t->OnTransferEvent(int32_t(ev->second));
        else
          t->OnStageEvent(int32_t(ev->second));
      }
    }
  }

  // A dump for an import to read, written by the stand-in export before the runs.
  void exportDump(const std::string& path) {
    dumpbuilder::DumpWriter dump(path, dumpbuilder::Mode::Users, "SCOTT", dumpbuilder::Endings::Lf, 1);
    dump.header(31, "V08.01.07");
    dump.connect("SCOTT");
    dump.other("EXIT");
    dump.finish();
  }

  std::string standinLog() const { return platform::testing::readFile(ws_.folder() + "/standin.log"); }
  std::string storedLog(const TUniTask& task) {
    std::vector<TaskLogEntry> logs = store_.LoadTaskLogs(task.id());
    EXPECT_EQ(logs.size(), 1u) << task.name();
    return logs.empty() ? std::string() : store_.LoadTaskLogContent(task.id(), logs[0].id);
  }
  std::string loggedDump(const TUniTask& task) {
    std::vector<TaskLogEntry> logs = store_.LoadTaskLogs(task.id());
    return logs.size() == 1 ? logs[0].dumpfile : "(" + std::to_string(logs.size()) + " logs)";
  }
  // The parameter-file lines that the stand-in logged for the run of `task`.
  std::vector<std::string> parFileRead(const TUniTask& task) const {
    const std::string arg = "parfile=" + ParFilePath(task, ws_.work());
    for (const standin::Record& r : ws_.records())
      if (std::find(r.args.begin(), r.args.end(), arg) != r.args.end()) return r.parfile;
    return {};
  }

  standin::Workspace ws_;
  Window window_{ws_.work()};
  TTaskStore store_{ws_.folder() + "/db"};
  TaskRunContext context_{{ws_.work(), standin::program("sqlplus")}, &window_, &store_, &window_.events};
  std::vector<std::unique_ptr<TUniTask>> tasks_;
  std::vector<TUniTask*> list_;
};

TEST_F(SharedDumpTest, TwoExportsOfOneDumpRunOneAfterTheOtherAndTheSecondSaysWhy) {
  window_.context = &context_;
  const std::string dump = ws_.folder() + "/full.dmp", copies = ws_.folder() + "/copies";
  std::filesystem::create_directories(copies);
  // One file under two spellings: the name part is lower-cased, and "." goes.
  TUniTask& first = add("nightly", int(TTaskType::Export), "file=" + ws_.folder() + "/FULL.DMP owner=scott");
  TUniTask& copy =
      add("nightly copy", int(TTaskType::RawExport), "file=" + ws_.folder() + "/./full.dmp owner=scott");
  for (TUniTask* t : list_) {
    t->SetTransferMode(kTransferCopy);
    t->SetCopyFileDir(copies);
    t->SetDeleteFileAfter(1);
  }
  SchedulerTick(list_, 2, window_);
  EXPECT_EQ(first.state(), TTaskState::Running);
  EXPECT_EQ(copy.state(), TTaskState::Queued);
  runAll(2);

  EXPECT_EQ(window_.started, (std::vector<std::string>{"nightly", "nightly copy"}));
  const std::string log = standinLog();
  EXPECT_EQ(log.find("dump-shared: "), std::string::npos) << log;
  EXPECT_EQ(standin::readLog(ws_.folder() + "/standin.log").size(), 2u);
  EXPECT_EQ(storedLog(first).find(kWaitingForDump), std::string::npos);
  const std::string waited = storedLog(copy);
  EXPECT_NE(
      waited.find(std::string(": ") + kWaitingForDump + "nightly" + kWaitingForDumpUses + dump + "\r\n"),
      std::string::npos)
      << waited;
  EXPECT_TRUE(copy.waitnote().empty());
  // Each run copied its own complete dump and deleted it; none found the other's gone.
  EXPECT_TRUE(std::filesystem::exists(copies + "/full.dmp"));
  EXPECT_FALSE(std::filesystem::exists(dump));
  EXPECT_EQ(waited.find("File does not exist"), std::string::npos) << waited;
}

TEST_F(SharedDumpTest, AnImportWaitsForTheExportOfItsDumpWhileOtherDumpsRunAtOnce) {
  window_.context = &context_;
  const std::string dump = ws_.folder() + "/full.dmp";
  TUniTask& exp = add("export", int(TTaskType::Export), "file=" + dump + " owner=scott");
  TUniTask& imp = add("import", int(TTaskType::Import), "file=" + dump + " full=y");
  TUniTask& other = add("other", int(TTaskType::Export), "file=" + ws_.folder() + "/other.dmp owner=scott");
  // A dump named by the minute resolves as the run will name it.
  TUniTask& stamped = add("stamped", int(TTaskType::Export), "file=" + ws_.folder() + "/t%m.dmp owner=scott");
  SchedulerTick(list_, 4, window_);
  EXPECT_EQ(exp.state(), TTaskState::Running);
  EXPECT_EQ(imp.state(), TTaskState::Queued);
  EXPECT_EQ(other.state(), TTaskState::Running);
  EXPECT_EQ(stamped.state(), TTaskState::Running);
  EXPECT_NE(imp.waitnote().find(kWaitingForDump + std::string("export") + kWaitingForDumpUses + dump),
            std::string::npos)
      << imp.waitnote();
  runAll(4);

  EXPECT_EQ(window_.started, (std::vector<std::string>{"export", "other", "stamped", "import"}));
  const std::string log = standinLog();
  EXPECT_EQ(log.find("dump-shared: "), std::string::npos) << log;
  EXPECT_NE(log.find("dump-read: " + dump), std::string::npos) << log;
  EXPECT_NE(storedLog(imp).find(kWaitingForDump), std::string::npos);
  EXPECT_EQ(storedLog(other).find(kWaitingForDump), std::string::npos);
}

TEST_F(SharedDumpTest, ARunKeepsTheDumpNameItWasJudgedByThoughItsPreScriptOutlastsTheMinute) {
  window_.context = &context_;
  const std::string copies = ws_.folder() + "/copies", script = ws_.folder() + "/pre.sql";
  std::filesystem::create_directories(copies);
  platform::testing::writeFile(script, "select 1 from dual;\n");
  const std::string judged = ws_.folder() + "/n072359.dmp", later = ws_.folder() + "/n080000.dmp";
  // Named by the clock, with a pre-script: judged at 23:59 on the 7th, its main stage is
  // prepared after midnight.
  TUniTask& stamped =
      add("stamped", int(TTaskType::Export), "file=" + ws_.folder() + "/n%d%h%m.dmp owner=scott");
  stamped.SetIsPreExec(true);
  stamped.SetPreExec(script);
  stamped.SetTransferMode(kTransferCopy);
  stamped.SetCopyFileDir(copies);
  stamped.SetDeleteFileAfter(1);
  TUniTask& next = add("next minute", int(TTaskType::Export), "file=" + later + " owner=scott");
  TUniTask& same = add("same minute", int(TTaskType::Export), "file=" + judged + " owner=scott");
  SchedulerTick(list_, 3, window_, platform::LocalTimeFields{2026, 12, 7, 23, 59, 58});
  ASSERT_EQ(stamped.state(), TTaskState::Running);
  EXPECT_EQ(next.state(), TTaskState::Running);
  ASSERT_EQ(same.state(), TTaskState::Queued);
  EXPECT_NE(same.waitnote().find(kWaitingForDump + std::string("stamped") + kWaitingForDumpUses + judged),
            std::string::npos)
      << same.waitnote();
  runAll(3, platform::LocalTimeFields{2026, 12, 8, 0, 0, 1});

  // The export wrote, the log names and the transfer sent and deleted the dump named at 23:59;
  // the task that writes that name waited for it to end, the one of the next minute did not.
  EXPECT_EQ(window_.started, (std::vector<std::string>{"stamped", "next minute", "same minute"}));
  EXPECT_EQ(window_.runningAtStart["same minute"].find("stamped"), std::string::npos)
      << window_.runningAtStart["same minute"];
  const std::string log = standinLog();
  EXPECT_EQ(log.find("dump-shared: "), std::string::npos) << log;
  const std::vector<std::string> read = parFileRead(stamped);
  EXPECT_NE(std::find(read.begin(), read.end(), "file=" + judged + "\\r"), read.end()) << log;
  EXPECT_EQ(loggedDump(stamped), judged);
  EXPECT_TRUE(std::filesystem::exists(copies + "/n072359.dmp"));
  const std::string stampedLog = storedLog(stamped);
  EXPECT_NE(stampedLog.find("Copy file successfully: " + copies + "/n072359.dmp"), std::string::npos)
      << stampedLog;
  EXPECT_EQ(loggedDump(same), judged);
  EXPECT_EQ(loggedDump(next), later);
  EXPECT_FALSE(stamped.dumpclock());
}

TEST_F(SharedDumpTest, LinksToOneDumpDoNotRunAtOnce) {
  window_.context = &context_;
  const std::string dir = ws_.folder();
  // A hard link left from an earlier night, and a link to a dump not yet written.
  platform::testing::writeFile(dir + "/a.dmp", "old");
  std::filesystem::create_hard_link(dir + "/a.dmp", dir + "/b.dmp");
  std::filesystem::create_symlink("d.dmp", dir + "/c.dmp");
  TUniTask& a = add("a", int(TTaskType::Export), "file=" + dir + "/a.dmp owner=scott");
  TUniTask& b = add("b", int(TTaskType::Export), "file=" + dir + "/b.dmp owner=scott");
  TUniTask& c = add("c", int(TTaskType::Export), "file=" + dir + "/c.dmp owner=scott");
  TUniTask& d = add("d", int(TTaskType::Import), "file=" + dir + "/d.dmp full=y");
  SchedulerTick(list_, 4, window_);
  EXPECT_EQ(a.state(), TTaskState::Running);
  EXPECT_EQ(b.state(), TTaskState::Queued);
  EXPECT_EQ(c.state(), TTaskState::Running);
  EXPECT_EQ(d.state(), TTaskState::Queued);
  EXPECT_NE(b.waitnote().find(kWaitingForDump + std::string("a") + kWaitingForDumpUses + dir + "/b.dmp"),
            std::string::npos)
      << b.waitnote();
  EXPECT_NE(d.waitnote().find(kWaitingForDump + std::string("c")), std::string::npos) << d.waitnote();
  runAll(4);

  EXPECT_EQ(window_.runningAtStart["b"].find('a'), std::string::npos) << window_.runningAtStart["b"];
  EXPECT_EQ(window_.runningAtStart["d"].find('c'), std::string::npos) << window_.runningAtStart["d"];
  const std::string log = standinLog();
  EXPECT_EQ(log.find("dump-shared: "), std::string::npos) << log;
  // The import read the whole dump that the export wrote through the link.
  EXPECT_NE(log.find("dump-read: " + dir + "/d.dmp"), std::string::npos) << log;
}

TEST_F(SharedDumpTest, RunsWithoutAFileOrOfACommandNotReadWaitForTheDumpTheyShare) {
  window_.context = &context_;
  const std::string typed = ws_.folder() + "/typed.dmp";
  // Without a file the export writes its default one in the work folder, the import reads it.
  TUniTask& plain = add("plain", int(TTaskType::Export), "owner=scott");
  TUniTask& plainRaw = add("plain raw", int(TTaskType::RawExport), "owner=scott");
  // A keyword the parser does not know leaves the typed text as it is: the program reads the
  // file named there, in whatever case the keyword stands.
  TUniTask& raw =
      add("typed", int(TTaskType::RawExport), "owner=scott FILE=" + typed + " filesize=1m", false);
  TUniTask& imp = add("typed import", int(TTaskType::Import), "file=" + typed + " full=y");
  TUniTask& rawDefault = add("raw default", int(TTaskType::RawImport), "full=y filesize=1m", false);
  SchedulerTick(list_, 5, window_);
  EXPECT_EQ(plain.state(), TTaskState::Running);
  EXPECT_EQ(plainRaw.state(), TTaskState::Queued);
  EXPECT_EQ(raw.state(), TTaskState::Running);
  EXPECT_EQ(imp.state(), TTaskState::Queued);
  EXPECT_EQ(rawDefault.state(), TTaskState::Queued);
  const std::string work = std::filesystem::canonical(ws_.work()).string();
  EXPECT_NE(plainRaw.waitnote().find(std::string("plain") + kWaitingForDumpUses + work + "/expdat.dmp"),
            std::string::npos)
      << plainRaw.waitnote();
  EXPECT_NE(imp.waitnote().find(std::string("typed") + kWaitingForDumpUses + typed), std::string::npos)
      << imp.waitnote();
  runAll(5);

  EXPECT_EQ(window_.started.size(), 5u);
  EXPECT_EQ(window_.runningAtStart["plain raw"].find("plain"), std::string::npos);
  EXPECT_EQ(window_.runningAtStart["typed import"].find("typed"), std::string::npos);
  const std::string log = standinLog();
  EXPECT_EQ(log.find("dump-shared: "), std::string::npos) << log;
  EXPECT_NE(log.find("dump-read: " + typed), std::string::npos) << log;
  EXPECT_NE(log.find("dump-read: expdat.dmp"), std::string::npos) << log;
}

TEST_F(SharedDumpTest, ARunKeepsItsWorkFolderForItsDefaultDumpWhenTheSettingChanges) {
  window_.context = &context_;
  TUniTask& plain = add("plain", int(TTaskType::Export), "owner=scott");
  SchedulerTick(list_, 2, window_);
  ASSERT_EQ(plain.state(), TTaskState::Running);
  // The work folder is set elsewhere while the export writes the old folder's default dump.
  window_.workFolder = ws_.folder() + "/elsewhere";
  std::filesystem::create_directories(window_.workFolder);
  const std::string dump = std::filesystem::canonical(ws_.work()).string() + "/expdat.dmp";
  TUniTask& imp = add("import", int(TTaskType::Import), "file=" + dump + " full=y");
  runAll(2);

  EXPECT_EQ(window_.runningAtStart["import"].find("plain"), std::string::npos)
      << window_.runningAtStart["import"];
  const std::string log = standinLog();
  EXPECT_EQ(log.find("dump-shared: "), std::string::npos) << log;
  EXPECT_NE(log.find("dump-read: " + dump), std::string::npos) << log;
  EXPECT_NE(storedLog(imp).find(kWaitingForDump + std::string("plain")), std::string::npos);
}

TEST_F(SharedDumpTest, TwoDumpsOfOneNameDoNotGoToOneFolderAtOnce) {
  window_.context = &context_;
  FtpTestServer& ftp = FtpTestServer::get();
  const std::string remote = "samename";
  std::filesystem::create_directories(ftp.path("home/" + remote));
  const std::string copies = ws_.folder() + "/copies";
  for (const char* dir : {"/a", "/b", "/c", "/d", "/copies"})
    std::filesystem::create_directories(ws_.folder() + dir);
  // Two databases' nightly dumps of one name, both uploaded into one folder of the server and
  // deleted after; a third of another name goes there too.
  TUniTask& first = add("first", int(TTaskType::Export), "file=" + ws_.folder() + "/a/full.dmp owner=scott");
  TUniTask& second =
      add("second", int(TTaskType::Export), "file=" + ws_.folder() + "/b/full.dmp owner=adams");
  second.SetUName("adams");
  TUniTask& other = add("other", int(TTaskType::Export), "file=" + ws_.folder() + "/c/part.dmp owner=scott");
  for (TUniTask* t : {&first, &second, &other}) {
    t->SetTransferMode(kTransferFtp);
    t->SetFtpServer(ftp.host());
    t->SetFtpUserName(FtpTestServer::kUser);
    t->SetFtpPassword(FtpTestServer::kPassword);
    t->SetFtpRemoteDir(remote);
    t->SetDeleteFileAfter(1);
  }
  // A copy into the folder where another export writes its dump.
  TUniTask& copier =
      add("copier", int(TTaskType::Export), "file=" + ws_.folder() + "/d/next.dmp owner=scott");
  copier.SetTransferMode(kTransferCopy);
  copier.SetCopyFileDir(copies);
  TUniTask& writer = add("writer", int(TTaskType::Export), "file=" + copies + "/next.dmp owner=scott");
  SchedulerTick(list_, 5, window_);
  EXPECT_EQ(first.state(), TTaskState::Running);
  EXPECT_EQ(second.state(), TTaskState::Queued);
  EXPECT_EQ(other.state(), TTaskState::Running);
  EXPECT_EQ(copier.state(), TTaskState::Running);
  EXPECT_EQ(writer.state(), TTaskState::Queued);
  EXPECT_NE(second.waitnote().find(kWaitingForDump + std::string("first")), std::string::npos)
      << second.waitnote();
  runAll(5);

  EXPECT_EQ(window_.runningAtStart["second"].find("first"), std::string::npos)
      << window_.runningAtStart["second"];
  EXPECT_EQ(window_.runningAtStart["writer"].find("copier"), std::string::npos)
      << window_.runningAtStart["writer"];
  // The server holds the second dump whole, as the later upload of one name leaves it.
  const std::string held = platform::testing::readFile(ftp.path("home/" + remote + "/full.dmp"));
  EXPECT_NE(held.find("ADAMS"), std::string::npos);
  EXPECT_EQ(held.find("SCOTT"), std::string::npos);
  EXPECT_NE(storedLog(first).find("End file transfer(ftp)"), std::string::npos) << storedLog(first);
  EXPECT_NE(storedLog(second).find("End file transfer(ftp)"), std::string::npos) << storedLog(second);
  EXPECT_NE(storedLog(other).find("End file transfer(ftp)"), std::string::npos) << storedLog(other);
  EXPECT_TRUE(std::filesystem::exists(ftp.path("home/" + remote + "/part.dmp")));
}

TEST_F(SharedDumpTest, RunsThatWriteOneLogFileRunOneAfterTheOther) {
  window_.context = &context_;
  const std::string dir = ws_.folder(), work = std::filesystem::canonical(ws_.work()).string();
  // One log under three spellings: relative to the work folder, absolute with a ".", and a
  // hard link kept from an earlier night.
  platform::testing::writeFile(work + "/night.log", "");
  std::filesystem::create_hard_link(work + "/night.log", dir + "/linked.log");
  TUniTask& first = add("first", int(TTaskType::Export), "file=" + dir + "/a.dmp owner=scott log=night.log");
  TUniTask& second = add("second", int(TTaskType::RawExport),
                         "file=" + dir + "/b.dmp owner=hr log=" + work + "/./night.log");
  second.SetUName("hr");
  TUniTask& third =
      add("third", int(TTaskType::Import), "file=" + dir + "/c.dmp full=y log=" + dir + "/linked.log");
  // A log given the name of the dump that an import reads, and a log of its own beside it.
  TUniTask& misnamed = add("misnamed", int(TTaskType::RawExport),
                           "file=" + dir + "/d.dmp owner=scott filesize=1m LOG=" + dir + "/e.dmp", false);
  TUniTask& reader = add("reader", int(TTaskType::Import), "file=" + dir + "/e.dmp full=y");
  TUniTask& apart = add("apart", int(TTaskType::Export), "file=" + dir + "/f.dmp owner=scott log=apart.log");
  exportDump(dir + "/c.dmp");
  SchedulerTick(list_, 6, window_);
  EXPECT_EQ(first.state(), TTaskState::Running);
  EXPECT_EQ(second.state(), TTaskState::Queued);
  EXPECT_EQ(third.state(), TTaskState::Queued);
  EXPECT_EQ(misnamed.state(), TTaskState::Running);
  EXPECT_EQ(reader.state(), TTaskState::Queued);
  EXPECT_EQ(apart.state(), TTaskState::Running);
  EXPECT_NE(second.waitnote().find(kWaitingForDump + std::string("first") + kWaitingForFileUses + work +
                                   "/night.log"),
            std::string::npos)
      << second.waitnote();
  EXPECT_NE(reader.waitnote().find(kWaitingForDump + std::string("misnamed") + kWaitingForDumpUses),
            std::string::npos)
      << reader.waitnote();
  runAll(6);

  for (const char* name : {"first", "second", "third"}) {
    for (const char* other : {"first", "second", "third"})
      EXPECT_TRUE(name == std::string(other) || window_.runningAtStart[name].find(other) == std::string::npos)
          << name << " ran beside " << window_.runningAtStart[name];
  }
  const std::string log = standinLog();
  EXPECT_EQ(log.find("log-shared: "), std::string::npos) << log;
  EXPECT_EQ(log.find("dump-shared: "), std::string::npos) << log;
  // The log file holds the whole log of the run that wrote it last; each stored log its own run's.
  const std::string written = platform::testing::readFile(work + "/night.log");
  EXPECT_EQ(written.find("Release"), written.rfind("Release")) << written;
  EXPECT_TRUE(written.ends_with("terminated successfully without warnings.\n")) << written;
  EXPECT_NE(storedLog(first).find(". exporting user SCOTT"), std::string::npos) << storedLog(first);
  EXPECT_NE(storedLog(second).find(". exporting user HR"), std::string::npos) << storedLog(second);
  EXPECT_EQ(storedLog(second).find("SCOTT"), std::string::npos) << storedLog(second);
}

TEST_F(SharedDumpTest, ALogNamedLikeAnotherRunsParameterFileWaitsForThatRun) {
  window_.context = &context_;
  const std::string dir = ws_.folder(), work = std::filesystem::canonical(ws_.work()).string();
  // The second run's log takes the name of the first one's parameter file (ids 101 and 102), and
  // the third's that of the fourth, spelt with a "." step: in either order, a program making its
  // log would empty a parameter file before the other program had read it, and the end of the
  // other run would remove the log.
  TUniTask& first = add("first", int(TTaskType::Export), "file=" + dir + "/a.dmp owner=scott");
  TUniTask& second = add("second", int(TTaskType::Export), "file=" + dir + "/b.dmp owner=hr log=101.par");
  TUniTask& third = add("third", int(TTaskType::RawImport), "file=" + dir + "/c.dmp full=y log=./104.par");
  TUniTask& fourth = add("fourth", int(TTaskType::Export), "file=" + dir + "/d.dmp owner=scott");
  second.SetUName("hr");
  exportDump(dir + "/c.dmp");
  SchedulerTick(list_, 4, window_);
  EXPECT_EQ(first.state(), TTaskState::Running);
  EXPECT_EQ(second.state(), TTaskState::Queued);
  EXPECT_NE(second.waitnote().find(kWaitingForDump + std::string("first") + kWaitingForFileUses + work +
                                   "/101.par"),
            std::string::npos)
      << second.waitnote();
  EXPECT_EQ(third.state(), TTaskState::Running);
  EXPECT_EQ(fourth.state(), TTaskState::Queued);
  runAll(4);

  EXPECT_EQ(window_.runningAtStart["second"].find("first"), std::string::npos)
      << window_.runningAtStart["second"];
  EXPECT_EQ(window_.runningAtStart["fourth"].find("third"), std::string::npos)
      << window_.runningAtStart["fourth"];
  // Each program read its whole parameter file: its own account, its own dump.
  EXPECT_NE(storedLog(first).find(". exporting user SCOTT"), std::string::npos) << storedLog(first);
  EXPECT_NE(storedLog(fourth).find(". exporting user SCOTT"), std::string::npos) << storedLog(fourth);
  EXPECT_TRUE(std::filesystem::exists(dir + "/d.dmp"));
}

TEST_F(SharedDumpTest, ACommandRunAsTypedUsesTheFilesItsOwnParameterFileNames) {
  window_.context = &context_;
  const std::string dir = ws_.folder(), work = std::filesystem::canonical(ws_.work()).string();
  // Two parameter files of the user's name one dump, and one of them a log beside it; the second
  // lies in the work folder, where a relative name is read. A third names no file.
  platform::testing::writeFile(dir + "/nightly.par",
                               "owner=scott\nFILE = '" + dir + "/full.dmp'\nlog=n.log\n");
  platform::testing::writeFile(work + "/weekly.par", "owner=hr\r\nfile=(" + dir + "/full.dmp)\r\n");
  platform::testing::writeFile(dir + "/bare.par", "owner=scott\n");
  TUniTask& nightly = add("nightly", int(TTaskType::RawExport), "parfile=" + dir + "/nightly.par");
  TUniTask& weekly = add("weekly", int(TTaskType::RawExport), "parfile=weekly.par");
  TUniTask& logger = add("logger", int(TTaskType::RawExport), "file=" + dir + "/l.dmp log=n.log owner=x");
  TUniTask& bare = add("bare", int(TTaskType::RawExport), "parfile=" + dir + "/bare.par");
  TUniTask& missing = add("missing", int(TTaskType::RawExport), "parfile=" + dir + "/none.par file=m.dmp");
  EXPECT_EQ(RunDumpPaths(nightly, work, platform::localNow()), std::vector<std::string>{dir + "/full.dmp"});
  EXPECT_EQ(RunDumpPaths(bare, work, platform::localNow()), std::vector<std::string>{work + "/expdat.dmp"});
  EXPECT_EQ(RunDumpPaths(missing, work, platform::localNow()), std::vector<std::string>{work + "/m.dmp"});
  // A pipe is not read: nothing would ever be written into it.
  ASSERT_EQ(::mkfifo((dir + "/pipe.par").c_str(), 0600), 0);
  std::unique_ptr<TUniTask> piped =
      MakeTaskOfType(int(TTaskType::RawExport), "parfile=" + dir + "/pipe.par file=p.dmp", nullptr);
  EXPECT_EQ(RunDumpPaths(*piped, work, platform::localNow()), std::vector<std::string>{work + "/p.dmp"});
  SchedulerTick(list_, 5, window_);
  EXPECT_EQ(nightly.state(), TTaskState::Running);
  EXPECT_EQ(weekly.state(), TTaskState::Queued);
  EXPECT_NE(weekly.waitnote().find(kWaitingForDump + std::string("nightly") + kWaitingForDumpUses + dir +
                                   "/full.dmp"),
            std::string::npos)
      << weekly.waitnote();
  EXPECT_EQ(logger.state(), TTaskState::Queued);
  EXPECT_NE(logger.waitnote().find(kWaitingForFileUses + work + "/n.log"), std::string::npos)
      << logger.waitnote();
  EXPECT_EQ(bare.state(), TTaskState::Running);
  EXPECT_EQ(missing.state(), TTaskState::Running);
  runAll(5);
}

TEST_F(SharedDumpTest, UploadsIntoOneServerFolderSpeltOtherwiseRunOneAfterTheOther) {
  window_.context = &context_;
  FtpTestServer& ftp = FtpTestServer::get();
  std::filesystem::create_directories(ftp.path("home/spelt"));
  std::filesystem::create_directories(ftp.path("home/Spelt"));
  // One folder of the server under three spellings, and one whose name differs in case only:
  // the server tells those apart.
  const std::vector<std::pair<std::string, std::string>> uploads = {{"plain", "spelt"},
                                                                    {"slash", "spelt/"},
                                                                    {"dotted", "./spelt//"},
                                                                    {"cased", "Spelt"},
                                                                    {"climbed", "Spelt/../spelt"}};
  for (const auto& [name, remote] : uploads) {
    std::filesystem::create_directories(ws_.folder() + "/" + name);
    TUniTask& t =
        add(name, int(TTaskType::Export), "file=" + ws_.folder() + "/" + name + "/full.dmp owner=" + name);
    t.SetUName(name);
    t.SetTransferMode(kTransferFtp);
    t.SetFtpServer(ftp.host());
    t.SetFtpUserName(FtpTestServer::kUser);
    t.SetFtpPassword(FtpTestServer::kPassword);
    t.SetFtpRemoteDir(remote);
  }
  SchedulerTick(list_, 5, window_);
  EXPECT_EQ(list_[0]->state(), TTaskState::Running);
  EXPECT_EQ(list_[1]->state(), TTaskState::Queued);
  EXPECT_EQ(list_[2]->state(), TTaskState::Queued);
  EXPECT_EQ(list_[3]->state(), TTaskState::Running);
  EXPECT_EQ(list_[4]->state(), TTaskState::Queued);
  EXPECT_NE(list_[1]->waitnote().find(kWaitingForDump + std::string("plain")), std::string::npos)
      << list_[1]->waitnote();
  runAll(5);

  for (const char* name : {"plain", "slash", "dotted", "climbed"}) {
    for (const char* other : {"plain", "slash", "dotted", "climbed"})
      EXPECT_TRUE(name == std::string(other) || window_.runningAtStart[name].find(other) == std::string::npos)
          << name << " ran beside " << window_.runningAtStart[name];
  }
  // The folder holds the dump of the last upload whole; the other folder its own.
  const std::string held = platform::testing::readFile(ftp.path("home/spelt/full.dmp"));
  EXPECT_NE(held.find("CLIMBED"), std::string::npos);
  EXPECT_EQ(held.find("PLAIN"), std::string::npos);
  EXPECT_NE(platform::testing::readFile(ftp.path("home/Spelt/full.dmp")).find("CASED"), std::string::npos);
  for (const TUniTask* t : list_)
    EXPECT_NE(storedLog(*t).find("End file transfer(ftp)"), std::string::npos) << storedLog(*t);
}

TEST(RunDumpPathsTest, AreTheDumpsTheRunWillUseEachUnderOneSpelling) {
  platform::testing::TempFolder temp;
  const std::string work = temp.path() + "/work";
  std::filesystem::create_directories(work);
  std::filesystem::create_directory_symlink(work, temp.path() + "/link");
  const std::string canonicalWork = std::filesystem::canonical(work).string();
  using Paths = std::vector<std::string>;
  const platform::LocalTimeFields at{2026, 12, 7, 21, 5, 0};
  // A bare name lies in the work folder, where the programs run; a link to it is followed.
  std::unique_ptr<TUniTask> task =
      MakeTaskOfType(int(TTaskType::Export), "file=Day%d.dmp owner=scott", nullptr);
  EXPECT_EQ(RunDumpPaths(*task, temp.path() + "/link", at), Paths{canonicalWork + "/day07.dmp"});
  // A run's own clock names its dump, whenever it is asked.
  task->SetDumpClock(platform::LocalTimeFields{2026, 12, 8, 0, 0, 0});
  EXPECT_EQ(RunDumpPaths(*task, work, at), Paths{canonicalWork + "/day08.dmp"});
  // Once the main stage has named it, that name holds.
  task->SetDumpPath(work + "/../work/other.dmp");
  EXPECT_EQ(RunDumpPaths(*task, work, at), Paths{canonicalWork + "/other.dmp"});
  // A link in the dump's place is written through, though its target is not there yet.
  std::filesystem::create_symlink("../work/target.dmp", work + "/alias.dmp");
  std::unique_ptr<TUniTask> alias = MakeTaskOfType(int(TTaskType::Import), "file=alias.dmp", nullptr);
  EXPECT_EQ(RunDumpPaths(*alias, work, at), Paths{canonicalWork + "/target.dmp"});
  // Without a file, the default one.
  std::unique_ptr<TUniTask> none = MakeTaskOfType(int(TTaskType::Export), "owner=scott", nullptr);
  EXPECT_EQ(RunDumpPaths(*none, work, at), Paths{canonicalWork + "/expdat.dmp"});
  // A raw command that did not parse: every file it names, as typed, else the default.
  std::unique_ptr<TUniTask> raw =
      MakeTaskOfType(int(TTaskType::RawExport),
                     "File = (One%m.dmp,'" + temp.path() + "/a b.dmp') owner=( file=\"two.dmp\"", nullptr);
  ASSERT_FALSE(raw->parsedok());
  EXPECT_EQ(RunDumpPaths(*raw, work, at),
            (Paths{canonicalWork + "/One%m.dmp", temp.path() + "/a b.dmp", canonicalWork + "/two.dmp"}));
  // One that parsed but runs as typed, since its list would leave its parameter file out.
  std::unique_ptr<TUniTask> rawPar =
      MakeTaskOfType(int(TTaskType::RawExport), "file=One%m.dmp parfile=tables.par", nullptr);
  ASSERT_TRUE(rawPar->parsedok());
  EXPECT_EQ(RunDumpPaths(*rawPar, work, at), Paths{canonicalWork + "/One%m.dmp"});
  std::unique_ptr<TUniTask> rawNone =
      MakeTaskOfType(int(TTaskType::RawImport), "full=y filesize=1m", nullptr);
  ASSERT_FALSE(rawNone->parsedok());
  EXPECT_EQ(RunDumpPaths(*rawNone, work, at), Paths{canonicalWork + "/expdat.dmp"});
  // A task type that runs no program uses no dump.
  none->SetTaskType(TTaskType(7));
  EXPECT_EQ(RunDumpPaths(*none, work, at), Paths{});
}

TEST(RunDumpPathsTest, RunLogPathsAreTheFilesTheProgramWritesBesideItsDumps) {
  platform::testing::TempFolder temp;
  const std::string work = std::filesystem::canonical(temp.path()).string();
  using Paths = std::vector<std::string>;
  // An import's index file is written as its log is; neither name is lower-cased nor stamped.
  std::unique_ptr<TUniTask> imp =
      MakeTaskOfType(int(TTaskType::Import), "file=x.dmp full=y log='My %d.log' indexfile=Idx.sql", nullptr);
  // Last, the parameter file that the run writes for its program.
  EXPECT_EQ(RunLogPaths(*imp, work),
            (Paths{work + "/Idx.sql", work + "/My %d.log", ParFilePath(*imp, work)}));
  // An export has no index file; a raw command that did not parse, each log typed.
  std::unique_ptr<TUniTask> raw =
      MakeTaskOfType(int(TTaskType::RawExport), "log=(a.log,/b.log) indexfile=c.sql filesize=1m", nullptr);
  ASSERT_FALSE(raw->parsedok());
  EXPECT_EQ(RunLogPaths(*raw, work), (Paths{work + "/a.log", "/b.log", ParFilePath(*raw, work)}));
  std::unique_ptr<TUniTask> none = MakeTaskOfType(int(TTaskType::Export), "owner=scott", nullptr);
  EXPECT_EQ(RunLogPaths(*none, work), Paths{ParFilePath(*none, work)});
  none->SetTaskType(TTaskType(7));
  EXPECT_EQ(RunLogPaths(*none, work), Paths{});
}

TEST(RunDumpPathsTest, UploadTargetsAreOneTextOnlyForSpellingsOfOnePlace) {
  std::unique_ptr<TUniTask> task = MakeTaskOfType(int(TTaskType::Export), "file=/d/full.dmp", nullptr);
  task->SetTransferMode(kTransferFtp);
  task->SetFtpUserName("u");
  const auto target = [&task](const std::string& server, const std::string& dir) {
    task->SetFtpServer(server);
    task->SetFtpRemoteDir(dir);
    return RunTransferTargets(*task, {"/d/full.dmp"}).at(0);
  };
  const std::string folder = target("host", "a/b");
  for (const char* dir : {"a/b/", "a//b", "./a/./b//", "a/b/.", "a/c/../b", "a/c/d/../../b/"})
    EXPECT_EQ(target("host", dir), folder) << dir;
  // A ".." above the login folder stays, one at the root is the root.
  EXPECT_EQ(target("host", "/../a/b"), target("host", "/a/b"));
  EXPECT_NE(target("host", "../a/b"), folder);
  EXPECT_EQ(target("host", "../x/../a/b"), target("host", "../a/b"));
  EXPECT_EQ(target("HOST:21", "a/b"), folder);
  EXPECT_EQ(target("host:0021", "a/b"), folder);  // the client reads the port as a number
  EXPECT_EQ(target("host:02121", "a/b"), target("host:2121", "a/b"));
  EXPECT_EQ(target("host", "."), target("host", ""));
  EXPECT_EQ(target("host", "//"), target("host", "/"));
  EXPECT_EQ(target("host", "/a/b/"), target("host", "/a//b"));
  // Other places, or places that only the server could tell the same.
  for (const char* dir : {"A/b", "/a/b", "a", "a/b/..", "a/../b"})
    EXPECT_NE(target("host", dir), folder) << dir;
  EXPECT_NE(target("host:2121", "a/b"), folder);
  EXPECT_NE(target("host:210", "a/b"), folder);
  EXPECT_NE(target("host", ""), target("host", "/"));
  task->SetFtpAnonymous(1);
  EXPECT_NE(target("host", "a/b"), folder);
}

TEST(RunDumpPathsTest, SameDumpFileFindsHardLinksAmongFilesThatExist) {
  platform::testing::TempFolder temp;
  const std::string a = temp.path() + "/a.dmp", b = temp.path() + "/b.dmp", c = temp.path() + "/c.dmp";
  platform::testing::writeFile(a, "x");
  platform::testing::writeFile(c, "x");
  std::filesystem::create_hard_link(a, b);
  EXPECT_TRUE(SameDumpFile(a, b));
  EXPECT_FALSE(SameDumpFile(a, c));
  EXPECT_TRUE(SameDumpFile(temp.path() + "/new.dmp", temp.path() + "/new.dmp"));
  EXPECT_FALSE(SameDumpFile(temp.path() + "/new.dmp", temp.path() + "/other.dmp"));
  EXPECT_FALSE(SameDumpFile(a, temp.path() + "/new.dmp"));
}

}  // namespace
}  // namespace tasks
