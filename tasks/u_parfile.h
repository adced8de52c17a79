// Parameter files and the command lines of a run's three stages.
//
// No password ever stands in a command line, where any local user could read it. The export and
// import programs find the account in the first line of the parameter file, "userid=" user "/"
// password "@" connect string; their command line carries only "parfile=" and the file's path (a
// raw command that the parser refused follows the account in the file, as typed). The script runner starts
// with
// "/nolog" and receives "CONNECT" with the account, then "@" and the script, on its standard input.
// The parameter file is created with mode 0600 in a work folder that only its user can write.
//
// Threads: window thread only, like the task.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/localclock.h"
#include "tasks/u_unitask.h"

namespace tasks {

// The program settings that a run needs besides the task.
struct TaskRunSettings {
  // Setting `tmpdir`: the work folder of parameter files and the programs' current folder. It
  // must belong to the user and be writable by no one else.
  std::string workFolder;
  // Setting `sqlpluscmd`: the script runner of the pre- and post-script stages.
  std::string sqlplusProgram;
};

// What a runner starts for one stage. Unlike TaskStartRecord it keeps the arguments apart and
// carries the text for the program's standard input.
struct TRunStartRecord {
  std::string program;
  std::vector<std::string> arguments;
  std::string folder;
  // Written to the program's standard input by the script runner; empty for the main stage.
  std::string input;
  TaskEventSink* window = nullptr;
  int32_t taskId = 0;
};

// The dump path of a "file" value as the program will write it at the clock `now`: the folder
// part (up to and with the last "/") as it is, the name part with A-Z lower-cased and then every
// "%d", "%h" and "%m" replaced by the two-digit day of the month, hour (0-23) and minute.
std::string ResolveDumpPath(std::string_view fileValue, const platform::LocalTimeFields& now);

// What the typed text of a RawExport or RawImport task says that its parsed parameter list does
// not carry, by keyword ("parfile=", "point_in_time_recover=", "recovery_tablespaces=", and
// "file= after the first" for a second dump): the parser accepts these and the list leaves them
// out, so a run of the list would do something else than the command typed (export other
// objects than a typed parameter file names). Empty for other task types.
std::vector<std::string> TypedKeywordsLeftOut(const TUniTask& task);

// The passwords of the accounts typed in the command of a RawExport or RawImport task (the value
// of each USERID keyword, and an account standing first without one): the part after the first
// "/" up to the next "@". They are never shown in a run's log. Empty for other task types.
std::vector<std::string> TypedPasswords(const TUniTask& task);

// True when a run of the RawExport or RawImport `task` passes its typed text to the program
// instead of its parameter list: the text did not parse, or TypedKeywordsLeftOut is not empty.
bool RunsAsTyped(const TUniTask& task);

// The name that the export program gives its dump when its parameters name none, in its current
// folder (the work folder); the import program then reads the same file.
inline constexpr std::string_view kDefaultDumpName = "expdat.dmp";

// The dump files that a run of `task` writes (an export) or reads (an import):
// - the run's `dumppath` once its main stage is prepared;
// - else the "file" entry of `params` resolved at the task's `dumpclock` (at `now` when it has
//   none), as WriteParFile will resolve it;
// - for a raw command that runs as typed (RunsAsTyped), every value of each "file" keyword of its
//   text (in any case; each of a list in parentheses), as typed, since the program reads them so,
//   and of the text of each parameter file that it names (parfile=, in the work folder when
//   relative; one that cannot be read names none);
// - kDefaultDumpName when the parameters name none.
// A relative path lies in the work folder, where the programs run: that of the task's run in
// progress (`runfolder`), else `workFolder`. Each path is absolute, without "."
// or "..", with the links of its folders followed and a link in its place followed to its target
// (existing or not, as the program writes through it), so that two spellings of one file compare
// equal; SameDumpFile also finds hard links. Empty for a task type that runs no program.
std::vector<std::string> RunDumpPaths(const TUniTask& task, const std::string& workFolder,
                                      const platform::LocalTimeFields& now);

// The files other than its dumps that a run writes: the log of its program's messages ("log=")
// and, for an import, the file of its index statements ("Indexfile="), taken from `params`, or
// from every LOG (and INDEXFILE) value typed in a raw command that runs as typed (RunsAsTyped) or
// in a parameter file it names, as RunDumpPaths reads them;
// last, the parameter file that the run writes for its program (ParFilePath), which a log of
// another run must not empty before the program has read it. Spelt as RunDumpPaths spells a
// path, in the same work folder; empty for a task type that runs no program.
std::vector<std::string> RunLogPaths(const TUniTask& task, const std::string& workFolder);

// Where the transfer of a run whose dumps are `dumps` (RunDumpPaths) puts them: for an export
// with an upload, "ftp://", the login (user "@" server), "/", `ftpremotedir` and "/" with each
// dump's name; with a copy, each dump's name in `copyfiledir`, spelt as RunDumpPaths spells a
// path. Empty otherwise (an import's dump is never transferred). Spellings of one upload target
// give one text: the server's name in lower case and without port 21, the folder without empty or
// "." steps ("a//b/" is "a/b", "." the login folder ""), each ".." taking away the step before
// it ("a/x/../b" is "a/b"). The folder's case, and the login folder against "/", stay apart, since
// only the server knows whether they are one place.
std::vector<std::string> RunTransferTargets(const TUniTask& task, const std::vector<std::string>& dumps);

// True when the paths `a` and `b` (of RunDumpPaths) name one file: the same text, or where both
// exist, one device and inode.
bool SameDumpFile(const std::string& a, const std::string& b);

// The path of the task's parameter file: the work folder, "/", the task id in decimal, ".par".
std::string ParFilePath(const TUniTask& task, const std::string& workFolder);

// The parameter file's content: "userid=" and the task's account, then each entry of `params` in
// order, the "file" entry with its resolved dump path; every line ended by CR LF. Throws
// std::invalid_argument when any entry holds a line break, which would add parameter lines, or
// when a part of the account would not read back as itself: a line break, blank, single quote,
// comma, "@" or zero byte in any part, a parenthesis or "=" in the user name or password, "/" in
// the user name. The script stages refuse the same accounts.
std::string ParFileText(const TUniTask& task, const platform::LocalTimeFields& now);

// Sets `parfile`, sets `dumpfile` to "Unknown" and clears `dumppath`, then writes the parameter
// file; when `params` has a "file" entry, `dumpfile` and `dumppath` become its resolved path, a
// relative one taken in the work folder (where the programs run) and made absolute.
// Throws (see platform::writePrivateFile) when the file cannot be written.
void WriteParFile(TUniTask& task, const TaskRunSettings& settings, const platform::LocalTimeFields& now);
void WriteParFile(TUniTask& task, const TaskRunSettings& settings);

// The pre- and post-script stages: the script runner with "/nolog", the account of `isexecuser`
// and the script on its standard input, its path in double quotes when it holds a blank or a tab
// (std::invalid_argument when it also holds a double quote, or holds a line break). Also fills the task's
// prerecord or postrecord.
TRunStartRecord PreparePreStage(TUniTask& task, const TaskRunSettings& settings);
TRunStartRecord PreparePostStage(TUniTask& task, const TaskRunSettings& settings);

// The main stage: `program` with "parfile=" and the parameter file. Clears `dumppath` first, so
// that no earlier run's dump is ever transferred. Export and Import tasks read their command again
// (throwing std::invalid_argument, with where the parser stopped, when it does not read, since their
// options would not be its own), and they and RawExport and RawImport tasks that do not run as typed
// write the task's parameter list (WriteParFile); RawExport and RawImport that run as typed
// (RunsAsTyped) write the account and then the typed command text, split at blanks outside quotes,
// one argument per line, with `dumpfile` "Unknown" (a line break in the text is refused with
// std::invalid_argument). A log, index file or dump that is the run's own parameter file, which
// the run replaces and then removes, and a log or index file that is one of the run's dumps
// (RunDumpPaths), are refused with std::invalid_argument. Any other type
// prepares nothing. Also fills the task's mainrecord, whose arguments read uname "@" connect string "
// parfile=" and the file: never a password.
std::optional<TRunStartRecord> PrepareMainStage(TUniTask& task, const TaskRunSettings& settings,
                                                const platform::LocalTimeFields& now);
std::optional<TRunStartRecord> PrepareMainStage(TUniTask& task, const TaskRunSettings& settings);

// Removes the parameter file of each task that is not running: one left behind by a program that
// ended without finishing its runs (it holds the account). Returns how many were removed.
int RemoveStaleParFiles(std::span<const TUniTask* const> tasks, const std::string& workFolder);

// Splits a typed command text into arguments at blanks and tabs outside single or double quotes.
// The quotes stay in the arguments: the programs read their own quoting.
std::vector<std::string> SplitCommandText(std::string_view text);

}  // namespace tasks
