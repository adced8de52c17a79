#include "dumpfile/u_saveobjddl.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <regex>
#include <sstream>

#include "dumpfile/u_analysisfile.h"
#include "platform/textfile.h"
#include "tests/dumpfile/dumpfile_test_util.h"

namespace dumpfile {
namespace {

using testing::TempFolderTest;
namespace fs = std::filesystem;

class DefinitionWriterTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    fs::create_directories(dir_ / "out");
    out_ = (dir_ / "out").string();
  }

  // A dump of named texts laid one after another; returns each text's (start, length).
  std::pair<int64_t, int64_t> text(const std::string& t) {
    const std::pair<int64_t, int64_t> range{int64_t(dump_.size()), int64_t(t.size())};
    dump_ += t;
    return range;
  }
  TExpFileNode* add(TExpFileUser* owner, const std::string& name, uint8_t kind, const std::string& body) {
    const auto [start, length] = text(body);
    auto n = testing::node(name, kind, start, length);
    return owner != nullptr ? owner->AddNode(std::move(n)) : root_.AddPublicObject(std::move(n));
  }
  TExpFileUser* user(const std::string& name, const std::string& body = {}) {
    if (body.empty()) return root_.AddUser(testing::owner(name));
    const auto [start, length] = text(body);
    return root_.AddUser(testing::owner(name, start, length));
  }
  // Writes the dump and runs the writer over it, cancelled at its first step when `cancel` is given.
  std::string run(testing::CancellingProgress* cancel = nullptr) {
    writeFile(path("d.dmp"), dump_);
    root_.SetDumpFileName(path("d.dmp"));
    root_.SetOutputDir(out_);
    TSaveObjDDl writer(root_, cancel, nullptr);
    if (cancel != nullptr) cancel->cancel(root_, writer);
    writer.Execute();
    return root_.Message();
  }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(out_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string out(const std::string& name) const { return readFile((fs::path(out_) / name).string()); }
  bool exists(const std::string& name) const { return fs::exists(fs::path(out_) / name); }

  // Runs the writer as run() does, but in a child process of its own whose file-size limit is
  // `sizeLimit` bytes (0: none) and which kills itself with SIGKILL at progress step `killAt`
  // (0: never). The run's message, or "killed".
  std::string runInChild(rlim_t sizeLimit, int killAt = 0) {
    writeFile(path("d.dmp"), dump_);
    root_.SetDumpFileName(path("d.dmp"));
    root_.SetOutputDir(out_);
    int message[2];
    if (::pipe(message) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(message[0]);
      ::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{};
      ::getrlimit(RLIMIT_FSIZE, &limit);
      if (sizeLimit > 0) limit.rlim_cur = sizeLimit;
      ::setrlimit(RLIMIT_FSIZE, &limit);
      struct Killer : testing::RecordingProgress {
        int at = 0;
        void stepIt() override {
          RecordingProgress::stepIt();
          if (steps() == at) ::kill(::getpid(), SIGKILL);
        }
      } killer;
      killer.at = killAt;
      TSaveObjDDl writer(root_, &killer, nullptr);
      writer.Execute();
      const std::string& text = root_.Message();
      const bool sent = ::write(message[1], text.data(), text.size()) == ssize_t(text.size());
      ::_exit(sent ? 0 : 1);
    }
    ::close(message[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(message[0], buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    ::close(message[0]);
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return "killed";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return text;
  }
  // The files of the output folder, each with its bytes, temporaries aside.
  std::map<std::string, std::string> contents() const {
    std::map<std::string, std::string> all;
    for (const std::string& name : files())
      if (name.find(".tmp") == std::string::npos) all[name] = out(name);
    return all;
  }
  // Names that a writer's temporary files have.
  std::vector<std::string> temporaries() const {
    std::vector<std::string> names;
    for (const std::string& name : files())
      if (name.find(".tmp") != std::string::npos) names.push_back(name);
    return names;
  }
  // Each file "-- earlier " + its name, as a run before this one might have left it.
  void writeEarlier(const std::vector<std::string>& names) {
    for (const std::string& name : names) writeFile((fs::path(out_) / name).string(), earlier(name));
  }
  static std::string earlier(const std::string& name) { return "-- earlier " + name + "\r\n"; }

  TExpFileRoot root_;
  std::string dump_ = "header\n";
  std::string out_;
};

// What a file holds, in tree order, is the real reading's test. A second run replaces the files,
// stale or its own, instead of adding to them, and leaves other files alone.
TEST_F(DefinitionWriterTest, EachRunReplacesItsFilesAndLeavesOthersAlone) {
  TExpFileUser* scott = user("SCOTT");
  add(scott, "EMP", kKindTables, "CREATE TABLE \"EMP\" (A NUMBER)\n");
  scott->KindSelected[kKindTables] = true;
  writeFile((fs::path(out_) / "SCOTT_Tables.sql").string(), "stale text from before\r\n");
  writeFile((fs::path(out_) / "Other.sql").string(), "not ours");
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(run(), "Successfully save object DDL!");
    EXPECT_EQ(files(), (std::vector<std::string>{"Other.sql", "SCOTT_Tables.sql"}));
    EXPECT_EQ(out("SCOTT_Tables.sql"), "CREATE TABLE \"EMP\" (A NUMBER);\r\n");
  }
  EXPECT_EQ(out("Other.sql"), "not ours");
}

TEST_F(DefinitionWriterTest, FlagsChooseRootKindsOwnersOwnTextsAndEachOwnersKinds) {
  add(nullptr, "TS", kKindTablespaces, "CREATE TABLESPACE TS");
  add(nullptr, "R", kKindRoles, "CREATE ROLE R");
  add(nullptr, "PUB", kKindSynonyms, "CREATE PUBLIC SYNONYM PUB");
  TExpFileUser* scott = user("SCOTT", "CREATE USER SCOTT");
  TExpFileUser* connected = user("HR");  // introduced only by CONNECT: no text of its own
  add(scott, "EMP", kKindTables, "CREATE TABLE EMP");
  add(scott, "SEQ", kKindSequences, "CREATE SEQUENCE SEQ");
  add(connected, "JOBS", kKindTables, "CREATE TABLE JOBS");
  add(connected, "SEQ2", kKindSequences, "CREATE SEQUENCE SEQ2");
  root_.KindSelected[kKindTablespaces] = true;
  root_.KindSelected[kKindSynonyms] = true;
  root_.KindSelected[kKindUsers] = true;
  scott->KindSelected[kKindSequences] = true;
  connected->KindSelected[kKindTables] = true;
  EXPECT_EQ(run(), "Successfully save object DDL!");
  EXPECT_EQ(files(), (std::vector<std::string>{"HR_Tables.sql", "SCOTT_Sequences.sql", "Synonyms.sql",
                                               "Tablespaces.sql", "Users.sql"}));
  EXPECT_EQ(out("Tablespaces.sql"), "CREATE TABLESPACE TS;\r\n");
  EXPECT_EQ(out("Synonyms.sql"), "CREATE PUBLIC SYNONYM PUB;\r\n");
  EXPECT_EQ(out("Users.sql"), "CREATE USER SCOTT;\r\n");
  EXPECT_EQ(out("SCOTT_Sequences.sql"), "CREATE SEQUENCE SEQ;\r\n");
  EXPECT_EQ(out("HR_Tables.sql"), "CREATE TABLE JOBS;\r\n");
}

TEST_F(DefinitionWriterTest, RollbackSegmentsOfKind22GoToAFileWhoseNameEndsWithABlank) {
  add(nullptr, "RBS1", kKindRollbackSegments, "CREATE ROLLBACK SEGMENT RBS1");
  add(nullptr, "RBS0", kKindRollbackSegmentsOld, "CREATE ROLLBACK SEGMENT RBS0");
  root_.KindSelected[kKindRollbackSegments] = true;
  EXPECT_EQ(run(), "Successfully save object DDL!");
  EXPECT_EQ(files(), std::vector<std::string>{"Rollback Segments .sql"});
}

TEST_F(DefinitionWriterTest, HostileOwnerNamesNeverLeaveTheOutputFolder) {
  const std::vector<std::string> owners = {
      "../../evil", "..", "a/b", std::string("x\x01y\nz", 5), "\\..\\w", std::string(300, 'L')};
  for (const auto& name : owners) {
    TExpFileUser* o = user(name);
    add(o, "T", kKindTables, "CREATE TABLE T");
    o->KindSelected[kKindTables] = true;
  }
  EXPECT_EQ(run(), "Successfully save object DDL!");
  const auto names = files();
  EXPECT_EQ(names.size(), owners.size());
  for (const auto& n : names) {
    EXPECT_EQ(n.find('/'), std::string::npos);
    EXPECT_NE(n[0], '.');
    EXPECT_LE(n.size(), 255u);
    for (char c : n) EXPECT_GE(uint8_t(c), 0x20) << n;
    EXPECT_EQ(out(n), "CREATE TABLE T;\r\n");
  }
  // Nothing beside the output folder or above it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2);  // the dump and the output folder
  EXPECT_FALSE(fs::exists(dir_.parent_path() / "evil_Tables.sql"));
}

TEST_F(DefinitionWriterTest, DefinitionsLongerThanTheDisplayLimitAreWrittenWholeWithTheirOwnBytes) {
  std::string body = "CREATE PACKAGE BODY P IS\n";
  for (int i = 0; body.size() < 30000; ++i)
    body += "  x := '" + std::string(1, char(0x80 + i % 100)) + "~';\n";
  const std::string unit = body.substr(0, body.size() - 1);
  body += std::string("\x01\x02 tail", 7);  // row data after the unit
  TExpFileUser* o = user("U");
  add(o, "P", kKindPackageBodies, body);
  o->KindSelected[kKindPackageBodies] = true;
  EXPECT_EQ(run(), "Successfully save object DDL!");
  EXPECT_EQ(out("U_Package bodies.sql"), platform::NormalizeLineBreaks(unit) + "\r\n/\r\n");
}

TEST_F(DefinitionWriterTest, RangeThatCannotBeReadEndsTheRunWithAMessage) {
  TExpFileUser* o = user("U");
  add(o, "OK", kKindTables, "CREATE TABLE OK");
  TExpFileNode* bad = add(o, "BAD", kKindTables, "x");
  bad->SetLength(5000);
  o->KindSelected[kKindTables] = true;
  EXPECT_EQ(run(), "Read BAD from " + path("d.dmp") + " error!");
}

TEST_F(DefinitionWriterTest, MissingDumpAndUnwritableFolderAreReported) {
  TExpFileUser* o = user("U");
  add(o, "T", kKindTables, "CREATE TABLE T");
  o->KindSelected[kKindTables] = true;
  root_.SetDumpFileName(path("gone.dmp"));
  root_.SetOutputDir(out_);
  {
    TSaveObjDDl writer(root_, nullptr, nullptr);
    writer.Execute();
  }
  EXPECT_EQ(root_.Message(), "open file: " + path("gone.dmp") + " error");
  out_ = path("no-such-folder");
  EXPECT_EQ(run().rfind("Save Object DDL error! (Cannot open " + out_ + "/U_Tables.sql", 0), 0u);
}

// A file that can be written only in part (the file-size limit of the process here, a full disk
// alike) ends the run with an error, never with the success message, and no part of it is left.
TEST_F(DefinitionWriterTest, WriteCutShortByTheFileSizeLimitIsReportedAsAFailure) {
  TExpFileUser* o = user("U");
  for (int i = 0; i < 40; ++i)
    add(o, "T" + std::to_string(i), kKindTables,
        "CREATE TABLE T" + std::to_string(i) + " (" + std::string(200, 'A') + " NUMBER)\n");
  o->KindSelected[kKindTables] = true;
  writeFile(path("d.dmp"), dump_);  // before the limit
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit full = limit;
  limit.rlim_cur = 4096;
  ::setrlimit(RLIMIT_FSIZE, &limit);
  root_.SetDumpFileName(path("d.dmp"));
  root_.SetOutputDir(out_);
  {
    TSaveObjDDl writer(root_, nullptr, nullptr);
    writer.Execute();
  }
  ::setrlimit(RLIMIT_FSIZE, &full);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(
      root_.Message().rfind(std::string(kSaveObjDdlError) + " (Cannot write to " + out_ + "/U_Tables.sql", 0),
      0u)
      << root_.Message();
  EXPECT_EQ(files(), std::vector<std::string>{});
}

// A run that fails part way leaves no file that lacks some of its definitions, though it may end
// in a whole statement: a file that had more to come is as it was before the run, whether the
// failure was its own or another's, and so is every file the run had not reached; a file that
// had all of its definitions before the failure is the new one. No temporary file is left.
TEST_F(DefinitionWriterTest, RunThatFailsPartWayLeavesEachFileAsItWasOrWhole) {
  add(nullptr, "T1", kKindTables, "CREATE TABLE T1\n");
  add(nullptr, "V1", kKindViews, "CREATE VIEW V1 AS SELECT " + std::string(6000, 'A') + " FROM DUAL\n");
  add(nullptr, "T2", kKindTables, "CREATE TABLE T2\n");
  TExpFileUser* o = user("U");
  add(o, "S1", kKindSequences, "CREATE SEQUENCE S1\n");
  add(o, "T3", kKindTables, "CREATE TABLE T3\n");
  TExpFileNode* bad = add(o, "T4", kKindTables, "CREATE TABLE T4\n");
  add(o, "T5", kKindTables, "CREATE TABLE T5\n");
  add(o, "Q1", kKindSequences, "CREATE SEQUENCE Q1\n");
  bad->SetLength(50000);  // beyond the end of the dump
  o->KindSelected[kKindSequences] = o->KindSelected[kKindTables] = true;
  const std::vector<std::string> all{"Tables.sql", "Views.sql", "U_Sequences.sql", "U_Tables.sql"};

  // An object that cannot be read: the owner's sequences are whole, its tables are as they were.
  writeEarlier(all);
  EXPECT_EQ(run(), "Read T4 from " + path("d.dmp") + " error!");
  EXPECT_EQ(contents(), (std::map<std::string, std::string>{
                            {"Tables.sql", earlier("Tables.sql")},
                            {"Views.sql", earlier("Views.sql")},
                            {"U_Sequences.sql", "CREATE SEQUENCE S1;\r\nCREATE SEQUENCE Q1;\r\n"},
                            {"U_Tables.sql", earlier("U_Tables.sql")}}));
  EXPECT_EQ(temporaries(), std::vector<std::string>{});

  // A write cut short by the file-size limit of the writer's process: the root's tables are whole,
  // the views' file could not be, and the owner's files were not reached.
  bad->SetLength(16);
  root_.KindSelected[kKindTables] = root_.KindSelected[kKindViews] = true;
  writeEarlier(all);
  const std::string message = runInChild(4096);
  EXPECT_EQ(message.rfind(std::string(kSaveObjDdlError) + " (Cannot write to " + out_ + "/Views.sql", 0), 0u)
      << message;
  EXPECT_EQ(contents(),
            (std::map<std::string, std::string>{{"Tables.sql", "CREATE TABLE T1;\r\nCREATE TABLE T2;\r\n"},
                                                {"Views.sql", earlier("Views.sql")},
                                                {"U_Sequences.sql", earlier("U_Sequences.sql")},
                                                {"U_Tables.sql", earlier("U_Tables.sql")}}));
  EXPECT_EQ(temporaries(), std::vector<std::string>{});

  // Without the limit the same run replaces them all.
  EXPECT_EQ(runInChild(0), kSaveObjDdlDone);
  EXPECT_EQ(out("U_Tables.sql"), "CREATE TABLE T3;\r\nCREATE TABLE T4;\r\nCREATE TABLE T5;\r\n");
  EXPECT_EQ(out("Views.sql"), "CREATE VIEW V1 AS SELECT " + std::string(6000, 'A') + " FROM DUAL;\r\n");
}

// A file that the run finds nothing for goes, as the run would leave no such file; one that cannot
// go (a folder of its name here) ends the run with a message naming it, after the files before it.
TEST_F(DefinitionWriterTest, FileWithNothingToWriteIsRemovedOrNamedWhenItCannotBe) {
  TExpFileUser* o = user("U");
  add(o, "T1", kKindTables, "CREATE TABLE T1\n");
  o->AddNode(testing::node("P1", kKindProcedures));  // no range
  add(o, "S1", kKindSequences, "CREATE SEQUENCE S1\n");
  o->KindSelected[kKindTables] = o->KindSelected[kKindProcedures] = o->KindSelected[kKindSequences] = true;
  writeEarlier({"U_Tables.sql", "U_Procedures.sql", "U_Sequences.sql"});
  EXPECT_EQ(run(), kSaveObjDdlDone);
  EXPECT_EQ(files(), (std::vector<std::string>{"U_Sequences.sql", "U_Tables.sql"}));

  writeEarlier({"U_Tables.sql", "U_Sequences.sql"});
  fs::create_directories(fs::path(out_) / "U_Procedures.sql" / "inside");
  EXPECT_EQ(run(), "Delete " + out_ + "/U_Procedures.sql error!");
  EXPECT_EQ(out("U_Tables.sql"), "CREATE TABLE T1;\r\n");
  EXPECT_EQ(out("U_Sequences.sql"), earlier("U_Sequences.sql"));
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// A failed run leaves alone what it did not finish. Once it has started, another run (a process
// of its own here) may write one of its files before this run reaches it; the user's files of
// names that differ only in case and those of kinds not chosen are no files of this run either.
TEST_F(DefinitionWriterTest, FailedRunLeavesEveryFileItDidNotFinishAsItFoundIt) {
  add(nullptr, "T1", kKindTables, "CREATE TABLE T1\n");
  TExpFileNode* bad = add(nullptr, "T2", kKindTables, "CREATE TABLE T2\n");
  add(nullptr, "V1", kKindViews, "CREATE VIEW V1 AS SELECT 1 FROM DUAL\n");
  bad->SetLength(50000);  // beyond the end of the dump
  root_.KindSelected[kKindTables] = root_.KindSelected[kKindViews] = true;
  writeFile((fs::path(out_) / "tables.sql").string(), "the user's own\r\n");
  writeEarlier({"Tables.sql"});
  writeFile((fs::path(out_) / "Procedures.sql").string(), "CREATE PROCEDURE P;\r\n");

  // Writes the views' file from another process once this run has written its first table.
  const std::string views = (fs::path(out_) / "Views.sql").string();
  const std::string othersViews = "CREATE VIEW OTHER AS SELECT 2 FROM DUAL;\r\n";
  struct OtherRun : testing::RecordingProgress {
    const std::string* file;
    const std::string* text;
    void stepIt() override {
      if (steps() == 0) {
        const pid_t child = ::fork();
        if (child == 0) {
          const int fd = ::open(file->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
          const bool ok = fd >= 0 && ::write(fd, text->data(), text->size()) == ssize_t(text->size());
          ::_exit(ok && ::close(fd) == 0 ? 0 : 1);
        }
        int status = 0;
        EXPECT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      }
      RecordingProgress::stepIt();
    }
  } other;
  other.file = &views;
  other.text = &othersViews;
  writeFile(path("d.dmp"), dump_);
  root_.SetDumpFileName(path("d.dmp"));
  root_.SetOutputDir(out_);
  {
    TSaveObjDDl writer(root_, &other, nullptr);
    writer.Execute();
  }
  EXPECT_GE(other.steps(), 1);
  EXPECT_EQ(root_.Message(), "Read T2 from " + path("d.dmp") + " error!");
  EXPECT_EQ(out("Tables.sql"), earlier("Tables.sql"));
  EXPECT_EQ(out("Views.sql"), othersViews);
  EXPECT_EQ(out("tables.sql"), "the user's own\r\n");
  EXPECT_EQ(out("Procedures.sql"), "CREATE PROCEDURE P;\r\n");
}

// A cancelled run keeps the files it finished and leaves the one it was writing as it was.
TEST_F(DefinitionWriterTest, CancelledRunKeepsTheFilesItFinishedAndClaimsNoSuccess) {
  add(nullptr, "T", kKindTables, "CREATE TABLE T");
  root_.KindSelected[kKindTables] = true;
  TExpFileUser* o = user("U");
  for (int i = 0; i < 300; ++i)
    add(o, "T" + std::to_string(i), kKindTables, "CREATE TABLE T" + std::to_string(i));
  o->KindSelected[kKindTables] = true;
  writeEarlier({"Tables.sql", "U_Tables.sql"});
  testing::CancellingProgress progress;
  EXPECT_EQ(run(&progress), "Terminated by user!");
  EXPECT_EQ(contents(), (std::map<std::string, std::string>{{"Tables.sql", "CREATE TABLE T;\r\n"},
                                                            {"U_Tables.sql", earlier("U_Tables.sql")}}));
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// A writer killed at any point of its run (a crash, the machine's power) leaves each file either
// as it was before the run or whole: the files finished so far are the new ones (the writer
// syncs them in groups), the others the earlier ones, and a file that the run finds nothing for
// is either the earlier one or gone.
TEST_F(DefinitionWriterTest, WriterKilledAtAnyStepLeavesEachFileAsItWasOrWhole) {
  add(nullptr, "T1", kKindTables, "CREATE TABLE T1\n");
  add(nullptr, "V1", kKindViews, "CREATE VIEW V1 AS SELECT 1 FROM DUAL\n");
  add(nullptr, "T2", kKindTables, "CREATE TABLE T2\n");
  TExpFileUser* u = user("U", "CREATE USER U IDENTIFIED BY X\n");
  add(u, "S1", kKindSequences, "CREATE SEQUENCE S1\n");
  add(u, "T3", kKindTables, "CREATE TABLE T3\n");
  u->AddNode(testing::node("P1", kKindProcedures));  // no range: nothing to write
  add(u, "T4", kKindTables, "CREATE TABLE T4\n");
  TExpFileUser* w = user("W", "CREATE USER W IDENTIFIED BY Y\n");
  add(w, "T5", kKindTables, "CREATE TABLE T5\n");
  for (int i = 0; i < 30; ++i) {
    const std::string n = std::to_string(i);
    add(user("O" + n, "CREATE USER O" + n + " IDENTIFIED BY Z\n"), "T" + n, kKindTables,
        "CREATE TABLE T" + n);
  }
  SelectAllKinds(root_);
  std::vector<std::string> names;
  for (const std::string& file : DefinitionFiles(root_)) names.push_back(fs::path(file).filename().string());
  ASSERT_EQ(names.size(), 37u);
  writeFile((fs::path(out_) / "notes.txt").string(), "the user's own");

  EXPECT_EQ(run(), kSaveObjDdlDone);
  const std::map<std::string, std::string> whole = contents();
  ASSERT_EQ(whole.size(), 37u);  // the user's notes and 36 files: none for the procedures
  int finishedBefore = 0;
  for (int step = 1; step <= 70; step += 3) {  // in every file of its own and between the groups
    SCOPED_TRACE("killed at step " + std::to_string(step));
    writeEarlier(names);
    ASSERT_EQ(runInChild(0, step), "killed");
    const std::map<std::string, std::string> found = contents();
    EXPECT_EQ(found.at("notes.txt"), "the user's own");
    int finished = 0;
    for (const std::string& file : names) {
      const auto now = found.find(file);
      const auto want = whole.find(file);
      const bool asItWas = now != found.end() && now->second == earlier(file);
      const bool isNew =
          want != whole.end() ? now != found.end() && now->second == want->second : now == found.end();
      EXPECT_TRUE(asItWas || isNew) << file << ": " << (now != found.end() ? now->second : "(gone)");
      finished += isNew ? 1 : 0;
    }
    EXPECT_GE(finished, finishedBefore);  // a finished file stays finished at later steps
    finishedBefore = finished;
  }
  EXPECT_GE(finishedBefore, 32);

  // The killed writers' temporary files go with the next run, once nothing has written to them for
  // a while.
  ASSERT_FALSE(temporaries().empty());
  for (const std::string& name : temporaries())
    fs::last_write_time(fs::path(out_) / name, fs::file_time_type::clock::now() - std::chrono::minutes(1));
  EXPECT_EQ(run(), kSaveObjDdlDone);
  EXPECT_EQ(contents(), whole);
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// A file that cannot take its name (a folder of that name stands in its way) is a failure of the
// run, never its success, whether it was among the files taken in the run's last group or in one
// before: the folder stays as it was, and so does every file the run had not reached. A run that
// was cancelled keeps its own message.
TEST_F(DefinitionWriterTest, FileThatCannotTakeItsNameFailsTheRunAndLeavesWhatStoodThere) {
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) {
    const std::string n = std::to_string(i);
    add(user("O" + n), "T" + n, kKindTables, "CREATE TABLE T" + n);
    names.push_back("O" + n + "_Tables.sql");
  }
  SelectAllKinds(root_);
  for (const std::string blocked : {"O17_Tables.sql", "O3_Tables.sql"}) {
    SCOPED_TRACE(blocked);
    fs::remove_all(out_);
    fs::create_directories(fs::path(out_) / blocked / "inside");
    writeFile((fs::path(out_) / blocked / "inside" / "kept").string(), "the user's own");
    std::vector<std::string> others;
    for (const std::string& name : names)
      if (name != blocked) others.push_back(name);
    writeEarlier(others);
    const std::string message = run();
    EXPECT_EQ(message.rfind(std::string(kSaveObjDdlError) + " (Cannot write to " + out_ + "/" + blocked, 0),
              0u)
        << message;
    EXPECT_EQ(readFile((fs::path(out_) / blocked / "inside" / "kept").string()), "the user's own");
    // The first sixteen files go together: those before a failing group's are the new ones.
    const bool lastGroup = blocked == "O17_Tables.sql";
    for (int i = 0; i < 20; ++i) {
      const std::string& name = names[size_t(i)];
      if (name == blocked) continue;
      EXPECT_EQ(out(name),
                lastGroup || i < 16 ? "CREATE TABLE T" + std::to_string(i) + ";\r\n" : earlier(name))
          << name;
    }
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
  }

  // Cancelled after its first file, which then cannot take its name.
  root_.KindSelected[kKindUsers] = false;
  fs::remove_all(out_);
  fs::create_directories(fs::path(out_) / "O0_Tables.sql");
  testing::CancellingProgress progress;
  EXPECT_EQ(run(&progress), "Terminated by user!");
  EXPECT_TRUE(fs::is_directory(fs::path(out_) / "O0_Tables.sql"));
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

TEST_F(DefinitionWriterTest, TablesOfARealReadingHoldExactlyTheirRanges) {
  dumpbuilder::Options o;
  o.targetSize = 40 << 10;
  o.mode = dumpbuilder::Mode::Users;
  const auto expected = dumpbuilder::buildDump(path("r.dmp"), o);
  TExpFileRoot root;
  testing::readDump(root, path("r.dmp"));
  root.SetOutputDir(out_);
  TExpFileUser* owner = nullptr;
  for (int i = 0; root.GetUser(i, owner); ++i) owner->KindSelected[kKindTables] = true;
  TSaveObjDDl writer(root, nullptr, nullptr);
  writer.Execute();
  ASSERT_EQ(root.Message(), "Successfully save object DDL!");

  const std::string bytes = readFile(path("r.dmp"));
  std::map<std::string, std::string> want;
  for (const auto& n : expected.nodes)
    if (n.kind == kKindTables && n.owner != "-" && n.length > 0)
      // Each table's range is its one statement line between line breaks.
      want[n.owner + "_Tables.sql"] +=
          std::regex_replace(bytes.substr(size_t(n.start), size_t(n.length)), std::regex("[\r\n]"), "") +
          ";\r\n";
  ASSERT_FALSE(want.empty());
  for (const auto& [file, content] : want) EXPECT_EQ(out(file), content) << file;
}

TEST_F(DefinitionWriterTest, OwnerWithAnEmptyNameNeverWritesIntoTheRootLevelFile) {
  add(nullptr, "P", kKindTables, "CREATE TABLE \"P\"\n");
  TExpFileUser* nameless = user("");
  add(nameless, "E", kKindTables, "CREATE TABLE \"E\"\n");
  root_.KindSelected[kKindTables] = true;
  nameless->KindSelected[kKindTables] = true;
  EXPECT_EQ(run(), "Successfully save object DDL!");
  EXPECT_EQ(files(), (std::vector<std::string>{"Tables.sql", "_Tables.sql"}));
  EXPECT_EQ(out("Tables.sql"), "CREATE TABLE \"P\";\r\n");
  EXPECT_EQ(out("_Tables.sql"), "CREATE TABLE \"E\";\r\n");
}

// The definitions of one object never replace the file of its kind, which holds its neighbours.
TEST_F(DefinitionWriterTest, OneObjectGoesToAFileOfItsOwnAndTheFilesToWriteAreKnownBeforehand) {
  TExpFileUser* scott = user("SCOTT");
  TExpFileNode* emp = add(scott, "EMP", kKindTables, "CREATE TABLE \"EMP\" (A NUMBER)\n");
  add(scott, "DEPT", kKindTables, "CREATE TABLE \"DEPT\" (B NUMBER)\n");
  TExpFileNode* pub = add(nullptr, "PUB", kKindSynonyms, "CREATE PUBLIC SYNONYM \"PUB\" FOR X\n");
  scott->KindSelected[kKindTables] = true;
  root_.SetOutputDir(out_);
  EXPECT_EQ(DefinitionFiles(root_), std::vector<std::string>{(fs::path(out_) / "SCOTT_Tables.sql").string()});
  EXPECT_EQ(run(), "Successfully save object DDL!");
  const std::string both = out("SCOTT_Tables.sql");

  for (const TExpFileNode* only :
       {static_cast<const TExpFileNode*>(emp), static_cast<const TExpFileNode*>(pub)}) {
    EXPECT_EQ(DefinitionFiles(root_, only).size(), 1u);
    writeFile(path("d.dmp"), dump_);
    root_.SetDumpFileName(path("d.dmp"));
    TSaveObjDDl writer(root_, nullptr, nullptr);
    writer.SetOnlyNode(only);
    writer.Execute();
    EXPECT_EQ(root_.Message(), "Successfully save object DDL!");
  }
  EXPECT_EQ(files(), (std::vector<std::string>{"PUB.sql", "SCOTT_EMP.sql", "SCOTT_Tables.sql"}));
  EXPECT_EQ(out("SCOTT_Tables.sql"), both);
  EXPECT_EQ(out("SCOTT_EMP.sql"), "CREATE TABLE \"EMP\" (A NUMBER);\r\n");
}

// An object named after a kind never takes the place of that kind's file, which holds its
// neighbours, for its own owner, for another owner or at the root, in any case of the letters.
TEST_F(DefinitionWriterTest, OneObjectNamedLikeAFileOfAKindGetsANumberAndLeavesThatFileAlone) {
  TExpFileUser* scott = user("SCOTT");
  TExpFileNode* tables = add(scott, "Tables", kKindTables, "CREATE TABLE \"Tables\" (A NUMBER)\n");
  TExpFileNode* upper = add(scott, "TABLES", kKindViews, "CREATE VIEW \"TABLES\" AS SELECT 1 FROM DUAL\n");
  TExpFileUser* a = user("A");
  TExpFileNode* bTables = add(a, "B_Tables", kKindTables, "CREATE TABLE \"B_Tables\" (B NUMBER)\n");
  TExpFileUser* ab = user("A_B");
  add(ab, "T", kKindTables, "CREATE TABLE \"T\" (C NUMBER)\n");
  TExpFileNode* synonyms =
      add(nullptr, "Synonyms", kKindSynonyms, "CREATE PUBLIC SYNONYM \"Synonyms\" FOR X\n");
  add(nullptr, "S", kKindSynonyms, "CREATE PUBLIC SYNONYM \"S\" FOR Y\n");
  SelectAllKinds(root_);
  EXPECT_EQ(run(), "Successfully save object DDL!");
  std::map<std::string, std::string> before;
  for (const auto& name : files()) before[name] = out(name);

  const std::vector<std::pair<const TExpFileNode*, std::string>> singles = {{tables, "SCOTT_Tables_2.sql"},
                                                                            {upper, "SCOTT_TABLES_2.sql"},
                                                                            {bTables, "A_B_Tables_2.sql"},
                                                                            {synonyms, "Synonyms_2.sql"}};
  for (const auto& [only, name] : singles) {
    EXPECT_EQ(DefinitionFiles(root_, only), std::vector<std::string>{(fs::path(out_) / name).string()});
    TSaveObjDDl writer(root_, nullptr, nullptr);
    writer.SetOnlyNode(only);
    writer.Execute();
    EXPECT_EQ(root_.Message(), "Successfully save object DDL!");
    EXPECT_EQ(out(name).rfind("CREATE", 0), 0u) << name;
  }
  for (const auto& [name, text] : before) EXPECT_EQ(out(name), text) << name;
  EXPECT_EQ(files().size(), before.size() + singles.size());
}

// Owners of different names whose files the file-name rule would make one never share a file:
// the owner whose name stands unchanged in its files keeps them, each other one gets the first
// "_" + number that no other owner's files have or would have, the same for every kind and run.
// Owners of one name are one user and share their files.
TEST_F(DefinitionWriterTest, OwnersWhoseNamesWouldShareAFileEachGetTheirOwn) {
  const std::string longName(300, 'L');
  const std::vector<std::string> names = {"A/B", "A_B", "A\\B", "A_B_2", "A_B", longName, longName + "M"};
  std::vector<TExpFileUser*> owners;
  for (size_t i = 0; i < names.size(); ++i) {
    owners.push_back(user(names[i]));
    add(owners.back(), "T", kKindTables, "CREATE TABLE T" + std::to_string(i) + "\n");
    owners.back()->KindSelected[kKindTables] = true;
  }
  add(owners[0], "I", kKindIndexes, "CREATE INDEX I0 ON T0 (A)\n");
  owners[0]->KindSelected[kKindIndexes] = true;
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(run(), "Successfully save object DDL!");
    const std::string cut = std::string(255 - 13, 'L');
    EXPECT_EQ(files(), (std::vector<std::string>{"A_B_2_Tables.sql", "A_B_3_Indexes.sql", "A_B_3_Tables.sql",
                                                 "A_B_4_Tables.sql", "A_B_Tables.sql", cut + "LL_Tables.sql",
                                                 cut + "_2_Tables.sql"}));
    EXPECT_EQ(out("A_B_3_Tables.sql"), "CREATE TABLE T0;\r\n");
    EXPECT_EQ(out("A_B_3_Indexes.sql"), "CREATE INDEX I0 ON T0 (A);\r\n");
    EXPECT_EQ(out("A_B_Tables.sql"), "CREATE TABLE T1;\r\nCREATE TABLE T4;\r\n");
    EXPECT_EQ(out("A_B_4_Tables.sql"), "CREATE TABLE T2;\r\n");
    EXPECT_EQ(out("A_B_2_Tables.sql"), "CREATE TABLE T3;\r\n");
    EXPECT_EQ(out(cut + "LL_Tables.sql"), "CREATE TABLE T5;\r\n");
    EXPECT_EQ(out(cut + "_2_Tables.sql"), "CREATE TABLE T6;\r\n");
    // A run that chooses only some owners names their files as a run of all does.
    for (TExpFileUser* o : owners) o->KindSelected[kKindTables] = false;
  }
  EXPECT_EQ(DefinitionFiles(root_),
            std::vector<std::string>{(fs::path(out_) / "A_B_3_Indexes.sql").string()});
}

// A folder on a file system that ignores case (a memory stick, a shared drive) takes "scott" and
// "SCOTT" as one name, so owners whose names differ only in case get files of their own there too.
TEST_F(DefinitionWriterTest, OwnersWhoseNamesDifferOnlyInCaseNeverShareAFileWhereCaseIsIgnored) {
  const std::vector<std::string> names = {"scott", "SCOTT", "Scott_2", "Scott"};
  for (size_t i = 0; i < names.size(); ++i) {
    TExpFileUser* o = user(names[i]);
    add(o, "T", kKindTables, "CREATE TABLE T" + std::to_string(i) + "\n");
    o->KindSelected[kKindTables] = true;
  }
  EXPECT_EQ(run(), "Successfully save object DDL!");
  EXPECT_EQ(files(), (std::vector<std::string>{"SCOTT_3_Tables.sql", "Scott_2_Tables.sql",
                                               "Scott_4_Tables.sql", "scott_Tables.sql"}));
  EXPECT_EQ(out("scott_Tables.sql"), "CREATE TABLE T0;\r\n");
  EXPECT_EQ(out("SCOTT_3_Tables.sql"), "CREATE TABLE T1;\r\n");
  EXPECT_EQ(out("Scott_2_Tables.sql"), "CREATE TABLE T2;\r\n");
  EXPECT_EQ(out("Scott_4_Tables.sql"), "CREATE TABLE T3;\r\n");
}

TEST(DefinitionFileNameTest, ALongNameIsCutBetweenCharacters) {
  EXPECT_EQ(SafeFileNamePart("\xC3\xA9\xC3\xA9", 3), "\xC3\xA9");
}

}  // namespace
}  // namespace dumpfile

namespace dumpfile {
namespace {

// Every real dump of the test data: each object that its independent reading gives a range gets
// exactly one statement in its owner's file of its kind, every statement ends as a script runs it
// (";" or "/" on a line of its own), and the tree saved to an analysis file and read back writes
// the same files.
TEST_F(DefinitionWriterTest, EveryObjectOfEveryRealDumpGivesOneWholeStatement) {
  const fs::path dumps = fs::path(VELMARON_TEST_DATA) / "dumps";
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(dumps)) {
    if (entry.path().extension() != ".tree") continue;
    const std::string dump = fs::path(entry.path()).replace_extension(".dmp").string();
    SCOPED_TRACE(dump);
    std::map<std::string, int> want;  // file -> objects
    std::istringstream reading(readFile(entry.path().string()));
    for (std::string line; std::getline(reading, line);) {
      std::vector<std::string> f;
      std::istringstream cells(line);
      for (std::string cell; std::getline(cells, cell, '\t');) f.push_back(cell);
      ASSERT_EQ(f.size(), 5u) << line;
      if (f[1] == "1" || std::stoll(f[4]) <= 0) continue;
      want[(f[0] == "-" ? "" : f[0] + "_") + std::string(KindName[std::stoi(f[1])]) + ".sql"]++;
    }

    auto write = [&](TExpFileRoot& root, const std::string& folder) {
      fs::create_directories(folder);
      root.SetOutputDir(folder);
      SelectAllKinds(root);
      TSaveObjDDl writer(root, nullptr, nullptr);
      writer.Execute();
      EXPECT_EQ(root.Message(), "Successfully save object DDL!");
      std::map<std::string, std::string> written;
      for (const auto& e : fs::directory_iterator(folder))
        written[e.path().filename().string()] = readFile(e.path().string());
      return written;
    };
    TExpFileRoot root;
    testing::readDump(root, dump);
    const std::string folder = path("ddl" + std::to_string(checked));
    const auto written = write(root, folder);
    for (const auto& [file, objects] : want) {
      const auto found = written.find(file);
      ASSERT_NE(found, written.end()) << file;
      const std::string& text = found->second;
      int heads = text.rfind("CREATE", 0) == 0 ? 1 : 0;
      for (size_t at = text.find("\r\nCREATE"); at != std::string::npos; at = text.find("\r\nCREATE", at + 1))
        ++heads;
      EXPECT_EQ(heads, objects) << file;
      EXPECT_TRUE(text.ends_with(";\r\n") || text.ends_with("\r\n/\r\n")) << file;
    }

    ++checked;
    if (want.empty()) continue;  // a dump without objects has nothing to save
    root.SetMessage("");
    TSavedfp saver(path("r.adf"), root, nullptr, nullptr);
    saver.Execute();
    ASSERT_EQ(root.Message(), "");
    TExpFileRoot back;
    back.SetDumpFileName(path("r.adf"));
    back.SetSourceKind(kSourceAnalysisFile);
    TReaddfp loader(back, nullptr, nullptr);
    loader.Execute();
    ASSERT_EQ(back.Message(), "");
    EXPECT_EQ(write(back, folder + "adf"), written);
  }
  EXPECT_GE(checked, 13);
}

}  // namespace
}  // namespace dumpfile
