#include "tasks/u_parfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/eventqueue.h"
#include "standin_test_util.h"
#include "tasks/u_TRunTask.h"
#include "tasks/u_task1.h"
#include "tasks/u_taskfile.h"

namespace {

using platform::LocalTimeFields;
using tasks::ParFileText;
using tasks::PrepareMainStage;
using tasks::PreparePostStage;
using tasks::PreparePreStage;
using tasks::ResolveDumpPath;
using tasks::SplitCommandText;
using tasks::TaskRunSettings;
using tasks::TExpTask;
using tasks::TImpTask;
using tasks::TRunStartRecord;
using tasks::TTaskType;
using tasks::WriteParFile;
using Lines = std::vector<std::string>;

// 07:05 on the 9th.
const LocalTimeFields kClock{2024, 3, 9, 7, 5, 41};

TEST(ResolveDumpPathTest, FolderKeepsItsCaseAndTheNameIsLowerCasedWithItsPlaceholdersFilled) {
  const struct {
    const char* file;
    const char* resolved;
  } cases[] = {
      {"/Data/Dumps/Full_%d%h.DMP", "/Data/Dumps/full_0907.dmp"},
      {"Nightly_%H%M.Dmp", "nightly_0705.dmp"},
      {"/X/%m-%m-%D", "/X/05-05-09"},
      {"/d/a%y%", "/d/a%y%"},  // other percent signs stay
      {"/d/%%d", "/d/%09"},
      {"/D%d/", "/D%d/"},            // placeholders in the folder stay
      {"/Ü/ÄBC.DMP", "/Ü/Äbc.dmp"},  // only ASCII letters are lower-cased
  };
  for (const auto& c : cases) EXPECT_EQ(ResolveDumpPath(c.file, kClock), c.resolved) << c.file;
}

TEST(SplitCommandTextTest, BlanksOutsideQuotesSeparateAndQuotesStay) {
  EXPECT_EQ(SplitCommandText("  file=x.dmp\towner=(a,b)   tables='a, b' log=\"l g\" "),
            (Lines{"file=x.dmp", "owner=(a,b)", "tables='a, b'", "log=\"l g\""}));
  EXPECT_TRUE(SplitCommandText("   ").empty());
  EXPECT_EQ(SplitCommandText("a='unclosed b"), (Lines{"a='unclosed b"}));
}

class ParFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.workFolder = ws_.work();
    settings_.sqlplusProgram = standin::program("sqlplus");
  }

  static void account(tasks::TUniTask& task, int id, const std::string& user, const std::string& password,
                      const std::string& db) {
    task.SetId(id);
    task.SetUName(user);
    task.SetUPassword(password);
    task.SetConnectString(db);
  }
  // An export of SCOTT's objects with a timed dump name.
  void fillExport(TExpTask& task) {
    account(task, 12, "scott", "Tiger#Secret", "orcl");
    task.SetFile("/Data/Dumps/Full_%d%h.DMP");
    task.SetOwner("SCOTT");
  }

  standin::Workspace ws_;
  TaskRunSettings settings_;
};

TEST_F(ParFileTest, FileHoldsTheAccountThenEachParameterWithTheResolvedDumpName) {
  TExpTask task(nullptr);
  fillExport(task);
  task.SetLog("/Logs/Exp_%d.LOG");  // only the entry named exactly "file" is resolved
  WriteParFile(task, settings_, kClock);
  EXPECT_EQ(task.parfile(), ws_.work() + "/12.par");
  EXPECT_EQ(standin::readFile(task.parfile()),
            "userid=scott/Tiger#Secret@orcl\r\n"
            "file=/Data/Dumps/full_0907.dmp\r\n"
            "owner=SCOTT\r\n"
            "\r\n"
            "log=/Logs/Exp_%d.LOG\r\n");
  EXPECT_EQ(task.dumppath(), "/Data/Dumps/full_0907.dmp");
  EXPECT_EQ(task.dumpfile(), "/Data/Dumps/full_0907.dmp");
}

TEST_F(ParFileTest, FileIsReadableAndWritableByItsOwnerOnly) {
  TExpTask task(nullptr);
  fillExport(task);
  mode_t old = ::umask(0);
  WriteParFile(task, settings_, kClock);
  ::umask(old);
  struct stat st;
  ASSERT_EQ(::stat(task.parfile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(ParFileTest, WithoutAFileEntryTheDumpIsUnknownAndNoEarlierDumpPathSurvives) {
  TImpTask task(nullptr);
  account(task, 7, "u", "p", "c");
  task.SetFromUser("A");
  task.SetDumpPath("/d/earlier_run.dmp");
  WriteParFile(task, settings_, kClock);
  EXPECT_EQ(task.dumpfile(), "Unknown");
  EXPECT_EQ(task.dumppath(), "");
  EXPECT_EQ(standin::readFile(task.parfile()), "userid=u/p@c\r\nfromuser=A\r\n\r\n\r\n");
}

TEST_F(ParFileTest, QuotedValuesReachTheFileAsTheCommandWritesThem) {
  TExpTask task(nullptr);
  fillExport(task);
  task.SetCommand(R"(file='/Data/My Dumps/Full_%d.DMP' tables='a, b' log='it\'s.log')");
  ASSERT_TRUE(task.ParseCommand()) << task.errortext();
  EXPECT_EQ(ParFileText(task, kClock),
            "userid=scott/Tiger#Secret@orcl\r\n"
            "file='/Data/My Dumps/full_09.dmp'\r\n"
            "\r\n"
            "tables='a, b'\r\n"
            "log='it\\'s.log'\r\n");
  WriteParFile(task, settings_, kClock);
  EXPECT_EQ(task.dumppath(), "/Data/My Dumps/full_09.dmp");
}

TEST_F(ParFileTest, AWorkFolderOthersMayWriteOrAnAccountWithALineBreakIsRefused) {
  TExpTask task(nullptr);
  fillExport(task);
  task.SetUPassword("x\nfile=/etc/elsewhere");
  EXPECT_THROW(WriteParFile(task, settings_, kClock), std::invalid_argument);
  task.SetUPassword("tiger");
  ::chmod(ws_.work().c_str(), 0777);
  EXPECT_THROW(WriteParFile(task, settings_, kClock), std::runtime_error);
  EXPECT_FALSE(std::filesystem::exists(ws_.work() + "/12.par"));
}

// The account goes out as one login text, user "/" password "@" connect string, in the parameter
// file and on the script runner's input. A part that the text would not give back as itself is
// refused, naming the part but not its value, before any file is written: a blank would add a
// parameter or a privilege, an "@" move the connect string.
TEST_F(ParFileTest, AnAccountPartItsLoginTextWouldNotGiveBackIsRefusedWithoutShowingIt) {
  TExpTask task(nullptr);
  fillExport(task);
  task.SetPreExec("/s/pre.sql");
  for (const char* password :
       {"x file=/elsewhere.dmp", "x as sysdba", "p@ss", "a,b", "it's", "a=b", "(x)", "a\tb", "a\rb"}) {
    task.SetUPassword(password);
    try {
      WriteParFile(task, settings_, kClock);
      ADD_FAILURE() << "taken: " << password;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("password"), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find(password), std::string::npos) << e.what();
    }
    EXPECT_THROW(PreparePreStage(task, settings_), std::invalid_argument) << password;
    EXPECT_FALSE(std::filesystem::exists(ws_.work() + "/12.par")) << password;
  }
  task.SetUPassword("Tiger#Secret");
  for (const char* user : {"sc/ott", "sc@ott", "sc ott"}) {
    task.SetUName(user);
    EXPECT_THROW(WriteParFile(task, settings_, kClock), std::invalid_argument) << user;
  }
  task.SetUName("scott");
  task.SetConnectString("db@elsewhere");
  EXPECT_THROW(WriteParFile(task, settings_, kClock), std::invalid_argument);

  // What the text does carry: signs, a "/" in the password and in an easy-connect string, and
  // the parentheses of an address description.
  task.SetUPassword("Ti/ger#$!_Secret");
  task.SetConnectString("dbhost:1521/orcl.example");
  WriteParFile(task, settings_, kClock);
  EXPECT_EQ(ParFileText(task, kClock).substr(0, ParFileText(task, kClock).find('\r')),
            "userid=scott/Ti/ger#$!_Secret@dbhost:1521/orcl.example");
  task.SetIsExecUser(true);
  task.SetExecUserName("ops");
  task.SetExecPassword("Ops#1");
  task.SetExecConnectString("(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=h)(PORT=1521)))");
  EXPECT_EQ(PreparePreStage(task, settings_).input,
            "CONNECT ops/Ops#1@(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=h)(PORT=1521)))\n@/s/pre.sql\n");
}

// A stored export or import command that does not read (cut at the end of its task-file field,
// or written by an earlier version) gives the task no options of its own: run from the defaults,
// an export of a table list would export a whole schema. Nothing runs, and the reason says where
// the command stopped; one that reads runs from its options.
TEST_F(ParFileTest, AStoredCommandThatDoesNotReadIsNotRunFromOtherOptions) {
  for (const auto& [type, command] :
       {std::pair{0, "file=/d/a.dmp tables=(emp,de"}, {1, "file=/d/a.dmp fromuser=scott bogus=1"}}) {
    std::unique_ptr<tasks::TUniTask> task = tasks::MakeTaskOfType(type, command, nullptr);
    account(*task, 12, "scott", "tiger", "orcl");
    try {
      PrepareMainStage(*task, settings_, kClock);
      ADD_FAILURE() << "prepared: " << command;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("could not be read (at "), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(ws_.work() + "/12.par")) << command;
    EXPECT_EQ(task->command(), command);
  }
  std::unique_ptr<tasks::TUniTask> good =
      tasks::MakeTaskOfType(0, "file=/d/a.dmp tables=(emp,dept)", nullptr);
  account(*good, 12, "scott", "tiger", "orcl");
  ASSERT_TRUE(PrepareMainStage(*good, settings_, kClock));
  EXPECT_EQ(standin::readFile(ws_.work() + "/12.par"),
            "userid=scott/tiger@orcl\r\nfile=/d/a.dmp\r\n\r\ntables=emp,dept\r\n");
}

TEST_F(ParFileTest, ALineBreakInAnyValueIsRefusedAndNoFileIsLeft) {
  TExpTask parsed(nullptr);
  fillExport(parsed);
  parsed.SetCommand("file=x.dmp log='a\nuserid=sys/x'");
  if (parsed.ParseCommand()) {  // when the parser takes it, the file still does not
    EXPECT_THROW(WriteParFile(parsed, settings_, kClock), std::invalid_argument);
  }
  TExpTask raw(nullptr);
  fillExport(raw);
  raw.SetTaskType(TTaskType::RawExport);
  raw.SetProgram(standin::program("exp"));
  for (const char* typed : {"bogus=1\nuserid=sys/x@orcl", "bogus=1\ruserid=sys/x@orcl"}) {
    raw.SetCommand(typed);
    ASSERT_FALSE(raw.ParseCommand());
    EXPECT_THROW(PrepareMainStage(raw, settings_, kClock), std::invalid_argument);
  }
  EXPECT_FALSE(std::filesystem::exists(ws_.work() + "/12.par"));
}

// A dump named without a folder is written by the program into the work folder, where it runs:
// the run measures, transfers and deletes that file, never one of the window's current folder.
TEST_F(ParFileTest, ADumpNamedWithoutAFolderIsTheWorkFoldersFile) {
  TExpTask task(nullptr);
  fillExport(task);
  task.SetFile("Rel_%d.DMP");
  WriteParFile(task, settings_, kClock);
  EXPECT_NE(standin::readFile(task.parfile()).find("\r\nfile=rel_09.dmp\r\n"), std::string::npos);
  EXPECT_EQ(task.dumppath(), ws_.work() + "/rel_09.dmp");
  EXPECT_EQ(task.dumpfile(), ws_.work() + "/rel_09.dmp");
  task.SetFile("sub/../x.dmp");
  WriteParFile(task, settings_, kClock);
  EXPECT_EQ(task.dumppath(), ws_.work() + "/x.dmp");
}

TEST_F(ParFileTest, StaleParameterFilesOfTasksNotRunningAreRemoved) {
  TExpTask idle(nullptr), running(nullptr), clean(nullptr);
  for (auto [task, id] : {std::pair{&idle, 31}, {&running, 32}, {&clean, 33}}) {
    account(*task, id, "u", "p", "c");
    if (id != 33) WriteParFile(*task, settings_, kClock);
  }
  running.SetState(tasks::TTaskState::Running);
  platform::testing::writeFile(ws_.work() + "/other.par", "not ours");
  const tasks::TUniTask* all[] = {&idle, &running, &clean};
  EXPECT_EQ(tasks::RemoveStaleParFiles(all, ws_.work()), 1);
  EXPECT_FALSE(std::filesystem::exists(ws_.work() + "/31.par"));
  EXPECT_TRUE(std::filesystem::exists(ws_.work() + "/32.par"));
  EXPECT_TRUE(std::filesystem::exists(ws_.work() + "/other.par"));
}

TEST_F(ParFileTest, MainStageCarriesOnlyTheParameterFile) {
  TExpTask task(nullptr);
  fillExport(task);
  task.SetProgram(standin::program("exp"));
  std::optional<TRunStartRecord> r = PrepareMainStage(task, settings_, kClock);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->program, standin::program("exp"));
  EXPECT_EQ(r->arguments, (Lines{"parfile=" + ws_.work() + "/12.par"}));
  EXPECT_EQ(r->folder, ws_.work());
  EXPECT_EQ(r->taskId, 12);
  EXPECT_TRUE(r->input.empty());
  EXPECT_EQ(task.mainrecord().arguments, "scott@orcl parfile=" + ws_.work() + "/12.par");
}

TEST_F(ParFileTest, RawCommandThatParsedRunsLikeAGeneratedOne) {
  TImpTask task(nullptr);
  account(task, 4, "u", "pw", "db");
  task.SetTaskType(TTaskType::RawImport);
  task.SetCommand("file=/In/A.DMP full=y");
  ASSERT_TRUE(task.ParseCommand());
  std::optional<TRunStartRecord> r = PrepareMainStage(task, settings_, kClock);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->arguments, (Lines{"parfile=" + ws_.work() + "/4.par"}));
  EXPECT_EQ(task.dumppath(), "/In/a.dmp");
  EXPECT_NE(standin::readFile(task.parfile()).find("file=/In/a.dmp\r\n"), std::string::npos);
}

// The parser reads a line break between values as a blank, so the program runs what the typed
// lines say; one the parser refuses is refused by the run too (above), never passed on as typed.
TEST_F(ParFileTest, ALineBreakBetweenTheValuesOfARawCommandSeparatesThemAsABlankDoes) {
  TExpTask task(nullptr);
  account(task, 5, "u", "pw", "db");
  task.SetTaskType(TTaskType::RawExport);
  task.SetCommand("owner=scott\r\nfile=/Out/B.DMP\nrows=n");
  ASSERT_TRUE(task.ParseCommand());
  ASSERT_TRUE(PrepareMainStage(task, settings_, kClock).has_value());
  const std::string text = standin::readFile(task.parfile());
  EXPECT_NE(text.find("\r\nfile=/Out/b.dmp\r\nowner=scott\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\nrows=n\r\n"), std::string::npos) << text;
  EXPECT_EQ(task.dumppath(), "/Out/b.dmp");
}

TEST_F(ParFileTest, TaskOfAnotherTypePreparesNoMainStage) {
  TExpTask task(nullptr);
  fillExport(task);
  task.SetTaskType(TTaskType(9));
  EXPECT_FALSE(PrepareMainStage(task, settings_, kClock).has_value());
  EXPECT_FALSE(std::filesystem::exists(ws_.work() + "/12.par"));
}

TEST_F(ParFileTest, ScriptStagesLogOnThroughStandardInput) {
  TExpTask task(nullptr);
  fillExport(task);
  task.SetPreExec("/s/pre.sql");
  task.SetPostExec("/s/post.sql");
  TRunStartRecord pre = PreparePreStage(task, settings_);
  EXPECT_EQ(pre.program, settings_.sqlplusProgram);
  EXPECT_EQ(pre.arguments, (Lines{"/nolog"}));
  EXPECT_EQ(pre.input, "CONNECT scott/Tiger#Secret@orcl\n@/s/pre.sql\n");
  EXPECT_EQ(pre.folder, ws_.work());
  EXPECT_EQ(task.prerecord().arguments, "/nolog");

  task.SetIsExecUser(true);
  task.SetExecUserName("ops");
  task.SetExecPassword("OpsPw");
  task.SetExecConnectString("admin");
  TRunStartRecord post = PreparePostStage(task, settings_);
  EXPECT_EQ(post.input, "CONNECT ops/OpsPw@admin\n@/s/post.sql\n");
  EXPECT_EQ(task.postrecord().program, settings_.sqlplusProgram);
}

// Every stage run for real through the stand-ins: the account reaches each program, and no
// password stands in the command line or the environment of any of them, read from /proc while
// the program runs, nor in what the task keeps of its start.
class NoPasswordOnCommandLinesTest : public ParFileTest {
 protected:
  void run(tasks::TThreadRunTask& runner, TRunStartRecord record) {
    record.window = &sink_;
    ws_.makeReadyFifo();
    ws_.set("VELMARON_STANDIN_DELAY_MS", "400");
    runner.Start(std::move(record));
    const std::string pid = ws_.awaitReady();
    for (const char* what : {"cmdline", "environ"}) {
      std::string seen = standin::readFile("/proc/" + pid.substr(0, pid.find(' ')) + "/" + what);
      ASSERT_FALSE(seen.empty()) << what;  // read while the program still runs
      EXPECT_EQ(seen.find("Secret"), std::string::npos) << what << ": " << seen;
    }
    EXPECT_EQ(events_.take(std::chrono::seconds(60)).value_or(platform::PostedEvent{}).second, 1);
    EXPECT_EQ(events_.take(std::chrono::seconds(60)).value_or(platform::PostedEvent{}).second, 2);
    runner.Join();
  }

  static bool holds(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }

  platform::EventQueue events_;
  tasks::TaskEventPoster sink_{events_};
};

TEST_F(NoPasswordOnCommandLinesTest, ExportRunWithBothScripts) {
  std::ofstream(ws_.folder() + "/pre.sql") << "select 1 from dual;\n";
  std::ofstream(ws_.folder() + "/post.sql") << "select 2 from dual;\n";
  TExpTask task(nullptr);
  fillExport(task);
  task.SetFile(ws_.folder() + "/Out_%m.DMP");
  task.SetProgram(standin::program("exp"));
  task.SetPreExec(ws_.folder() + "/pre.sql");
  task.SetPostExec(ws_.folder() + "/post.sql");
  task.SetIsExecUser(true);
  task.SetExecUserName("ops");
  task.SetExecPassword("Ops#Secret");
  task.SetExecConnectString("admin");

  tasks::TThreadRunSqlplus pre;
  run(pre, PreparePreStage(task, settings_));
  tasks::TThreadRunTask main;
  run(main, *PrepareMainStage(task, settings_, kClock));
  tasks::TThreadRunSqlplus post;
  run(post, PreparePostStage(task, settings_));

  std::vector<standin::Record> log = ws_.records();
  ASSERT_EQ(log.size(), 3u);
  for (const standin::Record& r : log) {
    EXPECT_FALSE(holds(r.args, "Tiger#Secret")) << r.program;
    EXPECT_FALSE(holds(r.args, "Ops#Secret")) << r.program;
  }
  EXPECT_EQ(log[0].program, "sqlplus");
  EXPECT_EQ(log[0].args, (Lines{"/nolog"}));
  EXPECT_EQ(log[0].stdinLines, (Lines{"CONNECT ops/Ops#Secret@admin", "@" + ws_.folder() + "/pre.sql"}));
  EXPECT_EQ(log[1].program, "exp");
  EXPECT_EQ(log[1].args, (Lines{"parfile=" + ws_.work() + "/12.par"}));
  ASSERT_FALSE(log[1].parfile.empty());
  EXPECT_EQ(log[1].parfile[0], "userid=scott/Tiger#Secret@orcl\\r");
  EXPECT_EQ(log[2].stdinLines[0], "CONNECT ops/Ops#Secret@admin");
  EXPECT_TRUE(holds(post.output(), "Running " + ws_.folder() + "/post.sql"));
  // The export wrote its dump where the task expects it.
  EXPECT_EQ(task.dumppath(), ws_.folder() + "/out_05.dmp");
  EXPECT_TRUE(std::filesystem::exists(task.dumppath()));
}

// A raw command that did not parse follows the parameter file as typed; its dump is unknown.
TEST_F(NoPasswordOnCommandLinesTest, ImportAndARawCommandThatDidNotParse) {
  TImpTask imp(nullptr);
  account(imp, 13, "system", "Manager#Secret", "orcl");
  imp.SetFile(ws_.folder() + "/full.dmp");
  imp.SetFromUser("SCOTT");
  imp.SetProgram(standin::program("imp"));
  tasks::TThreadRunTask impRunner;
  run(impRunner, *PrepareMainStage(imp, settings_, kClock));

  TImpTask raw(nullptr);
  account(raw, 14, "system", "Raw#Secret", "orcl");
  raw.SetTaskType(TTaskType::RawImport);
  raw.SetCommand("userid=system/Typed#Secret file=" + ws_.folder() + "/full.dmp fromuser=scott bogus=(");
  EXPECT_FALSE(raw.ParseCommand());
  raw.SetDumpPath("/d/earlier_run.dmp");
  raw.SetProgram(standin::program("imp80"));
  tasks::TThreadRunTask rawRunner;
  run(rawRunner, *PrepareMainStage(raw, settings_, kClock));

  std::vector<standin::Record> log = ws_.records();
  ASSERT_EQ(log.size(), 2u);
  for (const standin::Record& r : log) {
    EXPECT_FALSE(holds(r.args, "Secret")) << r.program;
    ASSERT_FALSE(r.parfile.empty());
    EXPECT_NE(r.parfile[0].find("#Secret@orcl"), std::string::npos) << r.program;
  }
  EXPECT_EQ(log[0].args, (Lines{"parfile=" + ws_.work() + "/13.par"}));
  EXPECT_EQ(log[1].program, "imp80");
  EXPECT_EQ(log[1].args, (Lines{"parfile=" + ws_.work() + "/14.par"}));
  EXPECT_EQ(log[1].parfile,
            (Lines{"userid=system/Raw#Secret@orcl\\r", "userid=system/Typed#Secret\\r",
                   "file=" + ws_.folder() + "/full.dmp\\r", "fromuser=scott\\r", "bogus=(\\r"}));
  for (tasks::TUniTask* task : {static_cast<tasks::TUniTask*>(&imp), static_cast<tasks::TUniTask*>(&raw)}) {
    EXPECT_EQ(task->mainrecord().arguments.find("Secret"), std::string::npos) << task->mainrecord().arguments;
  }
  EXPECT_EQ(raw.dumpfile(), "Unknown");
  EXPECT_EQ(raw.dumppath(), "");
}

// The script runner reads a blank after "@" as the end of the path and the start of the script's
// arguments: a script in a folder with a blank in its name still runs, and a path that no start
// line could carry is refused before the run.
using ScriptPathTest = NoPasswordOnCommandLinesTest;

TEST_F(ScriptPathTest, AScriptInAFolderWithABlankInItsNameRunsThatScript) {
  std::filesystem::create_directories(ws_.folder() + "/my scripts");
  const std::string script = ws_.folder() + "/my scripts/pre.sql";
  std::ofstream(script) << "select 1 from dual;\n";
  TExpTask task(nullptr);
  fillExport(task);
  task.SetPreExec(script);
  tasks::TThreadRunSqlplus pre;
  run(pre, PreparePreStage(task, settings_));
  EXPECT_TRUE(holds(pre.output(), "Running " + script));
  EXPECT_FALSE(holds(pre.output(), "unable to open"));
  task.SetPreExec(ws_.folder() + "/my \"x\".sql");
  EXPECT_THROW(PreparePreStage(task, settings_), std::invalid_argument);
}

}  // namespace
