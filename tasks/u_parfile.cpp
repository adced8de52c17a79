#include "tasks/u_parfile.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <system_error>

#include "platform/plainfile.h"
#include "platform/privatefile.h"
#include "platform/textrules.h"
#include "tasks/paramlex.h"
#include "tasks/paramtokens.h"

namespace tasks {

namespace {

constexpr std::string_view kUnknownDump = "Unknown";

std::string twoDigits(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.2d", v);
  return buf;
}

// Characters that end an account part: a blank ends the value in a parameter line, and the script
// runner reads it as the end of the account ("x file=/elsewhere" as a password would add a
// parameter, "x as sysdba" a privilege); a single quote or a comma ends a value too, and a zero
// byte cuts the line. The first "/" ends the user and the first "@" the password.
constexpr std::string_view kPartEnds(" \t\v\f',\0@", 8);
// A user name or password also ends at a parenthesis or "=". A connect string may hold those (a
// full address description) and "/" (host:port/service).
constexpr std::string_view kValueEnds("()=");

// Refuses an account part that the login text would not give back as itself, naming the part but
// never its value.
void checkAccountPart(std::string_view part, const char* name, std::string_view alsoEnding) {
  if (part.find_first_of("\r\n") != std::string_view::npos) {
    throw std::invalid_argument(std::string("The ") + name + " of the task's account holds a line break");
  }
  if (part.find_first_of(kPartEnds) != std::string_view::npos ||
      part.find_first_of(alsoEnding) != std::string_view::npos) {
    std::string listed = "a blank, single quote, comma or \"@\"";
    if (!alsoEnding.empty()) listed = "a blank, single quote, comma, \"@\", parenthesis or \"=\"";
    if (alsoEnding.find('/') != std::string_view::npos) listed += ", or \"/\"";
    throw std::invalid_argument(
        std::string("The ") + name +
        " of the task's account holds a character that its login text cannot carry (" + listed + ")");
  }
}

// The login text user "/" password "@" connect string.
std::string accountText(const std::string& user, const std::string& password, const std::string& connect) {
  checkAccountPart(user, "user name", std::string(kValueEnds) + "/");
  checkAccountPart(password, "password", kValueEnds);
  checkAccountPart(connect, "connect string", {});
  return user + "/" + password + "@" + connect;
}

// One line of a parameter file. A line break inside a value would give the programs a line of
// their own making (a second "userid=", another "file="), so it is refused.
std::string parLine(std::string_view value) {
  if (value.find_first_of("\r\n") != std::string_view::npos) {
    throw std::invalid_argument("A parameter of the task holds a line break");
  }
  return std::string(value) + "\r\n";
}

// `path` as the programs, started in the work folder, read it.
std::string inWorkFolder(const std::string& path, const std::string& workFolder) {
  if (path.starts_with('/')) return path;
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::absolute(workFolder, ec);
  if (ec) folder = workFolder;
  return (folder / path).lexically_normal().string();
}

bool isRawCommand(TTaskType type) {
  return type == TTaskType::RawExport || type == TTaskType::RawImport;
}

// The folder a run of `task` resolves relative names in; none when it runs no export or import
// program. A run in progress keeps the folder it started in, whatever the setting has become since.
std::optional<std::string> programRunFolder(const TUniTask& task, const std::string& workFolder) {
  const TTaskType type = task.tasktype();
  if (type != TTaskType::Export && type != TTaskType::Import && !isRawCommand(type)) return std::nullopt;
  std::string runFolder = task.runfolder();
  return runFolder.empty() ? workFolder : runFolder;
}

// `path` with its links followed: those of its folders, and one in its own place even when its
// target does not exist yet, since the program writes through it and makes the target.
std::string fileItself(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path p = path;
  std::error_code ec;
  // As many links as the system follows in one path.
  for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(p, ec)); ++hops) {
    fs::path target = fs::read_symlink(p, ec);
    if (ec) break;
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  fs::path canonical = fs::weakly_canonical(p, ec);
  return ec ? p.lexically_normal().string() : canonical.string();
}

// The values of every keyword `keywords` names (upper-case) in a parameter text that the parser
// refused: a value, or each value of a list in parentheses, as the scanner reads it; a text in
// double quotes without them. A token too long for the scanner ends the search.
std::vector<std::string> typedValues(std::string_view text,
                                     std::initializer_list<std::string_view> keywords) {
  std::vector<std::string> values;
  enum class At { Other, Keyword, Equals, List } at = At::Other;
  const auto isValue = [](int32_t token) {
    return token == tokWord || token == tokString || token == tokNumber;
  };
  const auto add = [&values](std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (!value.empty()) values.emplace_back(value);
  };
  try {
    ParamLexer lexer(text);
    for (int32_t token = lexer.Lex(); token != tokEnd; token = lexer.Lex()) {
      if (at == At::List) {
        if (isValue(token)) {
          add(lexer.Value());
        } else if (token != tokComma) {
          at = At::Other;
        }
      } else if (at == At::Equals && isValue(token)) {
        add(lexer.Value());
        at = At::Other;
      } else if (at == At::Equals && token == tokLParen) {
        at = At::List;
      } else if (at == At::Keyword && token == tokEquals) {
        at = At::Equals;
      } else {
        const auto named = [&keywords](const std::string& word) {
          return std::find(keywords.begin(), keywords.end(), word) != keywords.end();
        };
        at = token == tokWord && named(platform::asciiUpperCased(lexer.Value())) ? At::Keyword : At::Other;
      }
    }
  } catch (const ParamLexer::Fatal&) {
    // What was found so far stands.
  }
  return values;
}

// The values of `keywords` in the typed command of a task that runs as typed, and in each
// parameter file the command names (PARFILE, a relative path in `folder`): the program takes its
// files from either. An unreadable parameter file adds nothing, as the program then ends at once.
std::vector<std::string> typedRunValues(const TUniTask& task,
                                        std::initializer_list<std::string_view> keywords,
                                        const std::string& folder) {
  std::vector<std::string> values = typedValues(task.command(), keywords);
  for (const std::string& parfile : typedValues(task.command(), {"PARFILE"})) {
    // Only a plain file: opening a pipe would hold the window until something wrote into it.
    const std::string path = inWorkFolder(parfile, folder);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) continue;
    std::ifstream in(path, std::ios::binary);
    // A parameter file is a few lines: a larger one is read no further than this.
    std::string text(64 * 1024, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    for (std::string& value : typedValues(text, keywords)) values.push_back(std::move(value));
  }
  return values;
}

// The folder `dir` of an upload as the wait compares it: without empty or "." steps
// ("a//b/./c/" is "a/b/c"), a ".." step taking away the step before it ("a/x/../b" is "a/b"; the
// root's parent is the root), "/" for the root, "" for the login folder ("." too). Where ".."
// climbs out of a link the server may take another folder: two runs then wait for each other
// needlessly, which is safe, while two uploads into one folder at once are not. The case is kept
// and the login folder stays apart from "/": those the server alone tells apart.
std::string remoteFolderKey(std::string_view dir) {
  const bool absolute = dir.starts_with('/');
  std::vector<std::string_view> steps;
  for (size_t start = 0; start <= dir.size();) {
    size_t slash = dir.find('/', start);
    if (slash == std::string_view::npos) slash = dir.size();
    const std::string_view step = dir.substr(start, slash - start);
    if (step == "..") {
      if (!steps.empty() && steps.back() != "..") {
        steps.pop_back();
      } else if (!absolute) {
        steps.push_back(step);  // above the login folder: only the server knows where
      }
    } else if (!step.empty() && step != ".") {
      steps.push_back(step);
    }
    start = slash + 1;
  }
  std::string key = absolute ? "/" : "";
  for (size_t i = 0; i < steps.size(); ++i) {
    if (i > 0) key += '/';
    key += steps[i];
  }
  return key;
}

// The server of an upload as its name is certainly taken: host names in any case, port 21 when
// none is given, and a port number read as a number (":021" is port 21).
std::string serverKey(std::string_view server) {
  std::string key = platform::asciiLowerCased(server);
  const size_t colon = key.rfind(':');
  if (colon == std::string::npos || colon + 1 == key.size()) return key;
  const std::string_view port = std::string_view(key).substr(colon + 1);
  if (port.find_first_not_of("0123456789") != std::string_view::npos) return key;
  const size_t digits = port.find_first_not_of('0');
  const std::string number = digits == std::string_view::npos ? "0" : std::string(port.substr(digits));
  key.resize(colon);
  if (number != "21") key += ":" + number;
  return key;
}

std::string joinArguments(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& a : arguments) {
    if (!text.empty()) text += ' ';
    text += a;
  }
  return text;
}

// Copies what the task keeps of a start record: it never holds a password.
void keepRecord(TaskStartRecord& kept, const TRunStartRecord& record) {
  kept.program = record.program;
  kept.arguments = joinArguments(record.arguments);
  kept.folder = record.folder;
  kept.window = record.window;
  kept.taskId = record.taskId;
}

// The parameter file's first line: the account of the export or import program.
std::string accountLine(const TUniTask& task) {
  return "userid=" + accountText(task.uname(), task.upassword(), task.connectstring()) + "\r\n";
}

// The value of a parameter entry named exactly `name`; nothing for any other entry.
std::optional<std::string_view> entryValue(std::string_view entry, std::string_view name) {
  size_t eq = entry.find('=');
  if (eq == std::string_view::npos || entry.substr(0, eq) != name) return std::nullopt;
  return entry.substr(eq + 1);
}

// The value of a parameter entry named exactly "file"; nothing for any other entry.
std::optional<std::string_view> fileValue(std::string_view entry) {
  return entryValue(entry, "file");
}

TRunStartRecord baseRecord(const TUniTask& task, const TaskRunSettings& settings) {
  TRunStartRecord record;
  record.folder = settings.workFolder;
  record.window = task.owner() != nullptr ? task.owner()->EventSink() : nullptr;
  record.taskId = task.id();
  return record;
}

TRunStartRecord scriptRecord(const TUniTask& task, const TaskRunSettings& settings,
                             const std::string& script) {
  TRunStartRecord record = baseRecord(task, settings);
  record.program = settings.sqlplusProgram;
  record.arguments = {"/nolog"};
  const bool exec = task.isexecuser();
  std::string account =
      accountText(exec ? task.execusername() : task.uname(), exec ? task.execpassword() : task.upassword(),
                  exec ? task.execconnectstring() : task.connectstring());
  if (script.find_first_of("\r\n") != std::string::npos) {
    throw std::invalid_argument("The script path of the task holds a line break");
  }
  // The runner reads a blank after "@" as the end of the path and the start of the script's
  // arguments; a path holding one goes in double quotes, which leaves no way to carry one of those.
  std::string path = script;
  if (script.find_first_of(" \t") != std::string::npos) {
    if (script.find('"') != std::string::npos) {
      throw std::invalid_argument("The script path of the task holds both a blank and a double quote");
    }
    path = "\"" + script + "\"";
  }
  record.input = "CONNECT " + account + "\n@" + path + "\n";
  return record;
}

}  // namespace

std::string ResolveDumpPath(std::string_view fileValue, const platform::LocalTimeFields& now) {
  size_t nameStart = fileValue.rfind('/');
  nameStart = nameStart == std::string_view::npos ? 0 : nameStart + 1;
  std::string resolved(fileValue.substr(0, nameStart));
  std::string name(fileValue.substr(nameStart));
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%' && i + 1 < name.size()) {
      char p = name[i + 1];
      if (p == 'd' || p == 'h' || p == 'm') {
        resolved += twoDigits(p == 'd' ? now.day : p == 'h' ? now.hour : now.minute);
        ++i;
        continue;
      }
    }
    resolved += name[i];
  }
  return resolved;
}

std::vector<std::string> TypedKeywordsLeftOut(const TUniTask& task) {
  if (!isRawCommand(task.tasktype())) return {};
  std::vector<std::string> left;
  for (std::string_view keyword : {"PARFILE", "POINT_IN_TIME_RECOVER", "RECOVERY_TABLESPACES"}) {
    if (!typedValues(task.command(), {keyword}).empty())
      left.push_back(platform::asciiLowerCased(keyword) + "=");
  }
  if (typedValues(task.command(), {"FILE"}).size() > 1) left.emplace_back("file= after the first");
  return left;
}

std::vector<std::string> TypedPasswords(const TUniTask& task) {
  if (!isRawCommand(task.tasktype())) return {};
  std::vector<std::string> accounts = typedValues(task.command(), {"USERID"});
  // An account may also stand first without its keyword.
  try {
    ParamLexer lexer(task.command());
    const int32_t first = lexer.Lex();
    std::string value(lexer.Value());
    if ((first == tokWord || first == tokString) && lexer.Lex() != tokEquals) accounts.push_back(value);
  } catch (const ParamLexer::Fatal&) {
    // A first token too long for the scanner is no account the programs read.
  }
  std::vector<std::string> passwords;
  for (const std::string& account : accounts) {
    const size_t slash = account.find('/');
    if (slash == std::string::npos) continue;
    const size_t at = account.find('@', slash + 1);
    std::string password =
        account.substr(slash + 1, at == std::string::npos ? std::string::npos : at - slash - 1);
    if (!password.empty()) passwords.push_back(std::move(password));
  }
  return passwords;
}

bool RunsAsTyped(const TUniTask& task) {
  if (!isRawCommand(task.tasktype())) return false;
  return !task.parsedok() || !TypedKeywordsLeftOut(task).empty();
}

std::vector<std::string> RunDumpPaths(const TUniTask& task, const std::string& workFolder,
                                      const platform::LocalTimeFields& now) {
  const std::optional<std::string> runFolder = programRunFolder(task, workFolder);
  if (!runFolder) return {};
  const std::string& folder = *runFolder;
  std::vector<std::string> paths;
  if (RunsAsTyped(task)) {
    for (const std::string& value : typedRunValues(task, {"FILE"}, folder))
      paths.push_back(inWorkFolder(value, folder));
  } else if (!task.dumppath().empty()) {
    paths.push_back(task.dumppath());
  } else {
    const platform::LocalTimeFields& clock = task.dumpclock() ? *task.dumpclock() : now;
    for (const std::string& entry : task.params()) {
      if (std::optional<std::string_view> file = fileValue(entry))
        paths.push_back(inWorkFolder(UnquoteParamValue(ResolveDumpPath(*file, clock)), folder));
    }
  }
  if (paths.empty()) paths.push_back(inWorkFolder(std::string(kDefaultDumpName), folder));
  for (std::string& path : paths) path = fileItself(path);
  return paths;
}

namespace {

// The log and index file that the program of `task` writes, relative ones in `folder`, not yet
// spelt as RunDumpPaths spells a path.
std::vector<std::string> programLogPaths(const TUniTask& task, const std::string& folder) {
  const TTaskType type = task.tasktype();
  const bool import = type == TTaskType::Import || type == TTaskType::RawImport;
  std::vector<std::string> paths;
  if (RunsAsTyped(task)) {
    const std::vector<std::string> typed =
        import ? typedRunValues(task, {"LOG", "INDEXFILE"}, folder) : typedRunValues(task, {"LOG"}, folder);
    for (const std::string& value : typed) paths.push_back(inWorkFolder(value, folder));
  } else {
    for (const std::string& entry : task.params()) {
      std::optional<std::string_view> value = entryValue(entry, "log");
      if (!value && import) value = entryValue(entry, "Indexfile");
      if (value && !value->empty()) paths.push_back(inWorkFolder(UnquoteParamValue(*value), folder));
    }
  }
  return paths;
}

}  // namespace

std::vector<std::string> RunLogPaths(const TUniTask& task, const std::string& workFolder) {
  const std::optional<std::string> runFolder = programRunFolder(task, workFolder);
  if (!runFolder) return {};
  const std::string& folder = *runFolder;
  std::vector<std::string> paths = programLogPaths(task, folder);
  paths.push_back(ParFilePath(task, folder));
  for (std::string& path : paths) path = fileItself(path);
  return paths;
}

std::vector<std::string> RunTransferTargets(const TUniTask& task, const std::vector<std::string>& dumps) {
  const TTaskType type = task.tasktype();
  if (type != TTaskType::Export && type != TTaskType::RawExport) return {};
  std::vector<std::string> targets;
  for (const std::string& dump : dumps) {
    const std::string name = std::filesystem::path(dump).filename().string();
    if (task.transfermode() == kTransferFtp) {
      const std::string user = task.ftpanonymous() == 1 ? "anonymous" : task.ftpusername();
      targets.push_back("ftp://" + user + "@" + serverKey(task.ftpserver()) + "/" +
                        remoteFolderKey(task.ftpremotedir()) + "/" + name);
    } else if (task.transfermode() == kTransferCopy && !task.copyfiledir().empty()) {
      targets.push_back(fileItself(task.copyfiledir() + "/" + name));
    }
  }
  return targets;
}

bool SameDumpFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

std::string ParFilePath(const TUniTask& task, const std::string& workFolder) {
  return workFolder + "/" + std::to_string(task.id()) + ".par";
}

std::string ParFileText(const TUniTask& task, const platform::LocalTimeFields& now) {
  std::string text = accountLine(task);
  for (const std::string& entry : task.params()) {
    std::optional<std::string_view> file = fileValue(entry);
    text += parLine(file ? "file=" + ResolveDumpPath(*file, now) : entry);
  }
  return text;
}

void WriteParFile(TUniTask& task, const TaskRunSettings& settings, const platform::LocalTimeFields& now) {
  task.SetParFile(ParFilePath(task, settings.workFolder));
  task.SetDumpFile(std::string(kUnknownDump));
  task.SetDumpPath("");
  std::string text = ParFileText(task, now);
  platform::writePrivateFile(settings.workFolder, std::to_string(task.id()) + ".par", text);
  for (const std::string& entry : task.params()) {
    if (std::optional<std::string_view> file = fileValue(entry)) {
      // The entry is written for the programs' parser (a name with blanks stands in quotes);
      // the transfer needs the name itself.
      // A name without a folder is the work folder's, where the programs run: every stage of
      // the run (measuring, transfer, deletion, the log) takes the same file.
      std::string resolved =
          inWorkFolder(UnquoteParamValue(ResolveDumpPath(*file, now)), settings.workFolder);
      task.SetDumpPath(resolved);
      task.SetDumpFile(resolved);
    }
  }
}

void WriteParFile(TUniTask& task, const TaskRunSettings& settings) {
  WriteParFile(task, settings, platform::localNow());
}

TRunStartRecord PreparePreStage(TUniTask& task, const TaskRunSettings& settings) {
  TRunStartRecord record = scriptRecord(task, settings, task.preexec());
  keepRecord(task.prerecord(), record);
  return record;
}

TRunStartRecord PreparePostStage(TUniTask& task, const TaskRunSettings& settings) {
  TRunStartRecord record = scriptRecord(task, settings, task.postexec());
  keepRecord(task.postrecord(), record);
  return record;
}

std::optional<TRunStartRecord> PrepareMainStage(TUniTask& task, const TaskRunSettings& settings,
                                                const platform::LocalTimeFields& now) {
  task.SetDumpPath("");
  const TTaskType type = task.tasktype();
  const bool raw = isRawCommand(type);
  if (type != TTaskType::Export && type != TTaskType::Import && !raw) return std::nullopt;

  // The options of an export or import task are its command's only when the command reads: a
  // stored one may not (cut at the end of its task-file field, or written by an earlier version),
  // and run from other options, an export of some tables would export a whole schema. Reading a
  // command that the options wrote gives those options again.
  if (!raw && !task.ParseCommand()) {
    throw std::invalid_argument("The command of the task could not be read (at " +
                                std::to_string(task.errorpos()) + ": " + task.errortext() +
                                "); change the task to run it");
  }
  // The run writes its parameter file anew and removes it when it ends: a log or dump of that
  // name would be lost, and a log made before the program has read the file would empty it.
  // A log made in the run's own dump empties the dump an import reads, and mixes the log into
  // the dump an export writes, which would then be transferred as a good one.
  const std::string parFile = fileItself(ParFilePath(task, settings.workFolder));
  const std::vector<std::string> dumps = RunDumpPaths(task, settings.workFolder, now);
  for (const std::string& typedLog : programLogPaths(task, settings.workFolder)) {
    const std::string log = fileItself(typedLog);
    if (SameDumpFile(log, parFile))
      throw std::invalid_argument("The log file of the task is its parameter file " + parFile);
    for (const std::string& dump : dumps) {
      if (SameDumpFile(log, dump))
        throw std::invalid_argument("The log file of the task is its dump file " + dump);
    }
  }
  for (const std::string& dump : dumps) {
    if (SameDumpFile(dump, parFile))
      throw std::invalid_argument("The dump file of the task is its parameter file " + parFile);
  }
  TRunStartRecord record = baseRecord(task, settings);
  record.program = task.program();
  if (!RunsAsTyped(task)) {
    WriteParFile(task, settings, now);
    record.arguments = {"parfile=" + task.parfile()};
  } else {
    // The typed text was not understood, so it is passed on as typed, one argument per line of
    // the parameter file (the programs read it with the command line's syntax): it may hold a
    // password of its own, which must never reach the command line.
    task.SetParFile(ParFilePath(task, settings.workFolder));
    task.SetDumpFile(std::string(kUnknownDump));
    std::string text = accountLine(task);
    for (const std::string& a : SplitCommandText(task.command())) text += parLine(a);
    platform::writePrivateFile(settings.workFolder, std::to_string(task.id()) + ".par", text);
    record.arguments = {"parfile=" + task.parfile()};
  }
  keepRecord(task.mainrecord(), record);
  // What the programs read as their command line, the account shown without its password.
  task.mainrecord().arguments = task.uname() + "@" + task.connectstring() + " " + task.mainrecord().arguments;
  return record;
}

std::optional<TRunStartRecord> PrepareMainStage(TUniTask& task, const TaskRunSettings& settings) {
  return PrepareMainStage(task, settings, platform::localNow());
}

int RemoveStaleParFiles(std::span<const TUniTask* const> tasks, const std::string& workFolder) {
  int removed = 0;
  for (const TUniTask* task : tasks) {
    if (task->state() == TTaskState::Running) continue;
    const std::string path = ParFilePath(*task, workFolder);
    int error = 0;
    if (platform::fileExists(path) && platform::removeFile(path, error)) ++removed;
  }
  return removed;
}

std::vector<std::string> SplitCommandText(std::string_view text) {
  std::vector<std::string> arguments;
  std::string current;
  bool inWord = false;
  char quote = 0;
  for (char c : text) {
    if (quote != 0) {
      current += c;
      if (c == quote) quote = 0;
    } else if (c == ' ' || c == '\t') {
      if (inWord) arguments.push_back(std::move(current));
      current.clear();
      inWord = false;
    } else {
      if (c == '\'' || c == '"') quote = c;
      current += c;
      inWord = true;
    }
  }
  if (inWord) arguments.push_back(std::move(current));
  return arguments;
}

}  // namespace tasks
