// The export and import tasks: every option of the export and import programs as a typed field
// with its default, the parameter list and command text built from them, and the appliers that
// take options back from parsed keyword and value pairs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tasks/paramtokens.h"
#include "tasks/u_unitask.h"

namespace tasks {

enum class TExpIncType : int32_t { Complete = 0, Cumulative = 1, Incremental = 2, None = 3 };
enum class TExpStatistics : int32_t { Compute = 0, Estimate = 1, None = 2 };
enum class TImpIncType : int32_t { System = 0, Restore = 1, None = 2 };

// The export options. A value-initialised record holds the defaults. Name lists are one text with
// the names joined by ","; of `files` only the first entry is passed to the program.
struct TExpOptions {
  int32_t buffer = 0;
  bool compress = true;
  bool consistent = false;
  bool constraints = true;
  bool direct = false;
  int32_t feedback = 0;
  std::vector<std::string> files;
  bool full = false;
  bool grants = true;
  bool help = false;
  TExpIncType inctype = TExpIncType::None;
  bool indexes = true;
  std::string log;
  std::string owner;
  bool record = true;
  int32_t recordlength = 0;
  bool rows = true;
  TExpStatistics statistics = TExpStatistics::Estimate;
  std::string tables;
  std::string userid;

  bool operator==(const TExpOptions&) const = default;
};

// The import options; a value-initialised record holds the defaults.
struct TImpOptions {
  bool analyze = true;
  int32_t buffer = 0;
  std::string charset;
  bool commit = false;
  bool destroy = false;
  int32_t feedback = 0;
  std::vector<std::string> files;
  std::string fromuser;
  bool full = false;
  bool grants = true;
  bool help = false;
  bool ignore = false;
  TImpIncType inctype = TImpIncType::None;
  bool indexes = true;
  std::string indexfile;
  std::string log;
  int32_t recordlength = 0;
  bool rows = true;
  bool show = false;
  bool skip_unusable_indexes = false;
  std::string tables;
  std::string touser;
  std::string userid;

  bool operator==(const TImpOptions&) const = default;
};

inline const TExpOptions kExpDefaults{};
inline const TImpOptions kImpDefaults{};

// Applies one parsed keyword and value to `options`. False when the keyword is not an export
// keyword or the value is refused: a flag other than one Y or N, a number that is not above 0, an
// unknown inctype or statistics word. Lists are appended to, never emptied. Does not build the
// command.
bool SetExpOption(TParamKeyword keyword, std::string_view value, TExpOptions& options);
// The same for import options.
bool SetImpOption(TParamKeyword keyword, std::string_view value, TImpOptions& options);

// The parameter list of `options`, in the order and spelling the export program is given them.
// Each text value is written so that the parameter parser reads it back as the same value: as it
// stands where that already holds, else in single quotes with a backslash before each quote inside
// it. A name list that is too long to quote whole has each of its names quoted where needed.
// Throws std::invalid_argument, with the reason of Exp/ImpParamsProblem, for options that no
// parameter text carries.
std::vector<std::string> BuildExpParams(const TExpOptions& options);
std::vector<std::string> BuildImpParams(const TImpOptions& options);

// Why `options` cannot be written as parameters that read back as the same options, naming the
// option; empty when they can. A written value cannot hold a line break (the parameter file has
// one parameter a line) or a zero byte, and one that needs quotes cannot end with a backslash,
// which would escape its closing quote, nor be longer than a quoted token may be. A count cannot
// be negative.
std::string ExpParamsProblem(const TExpOptions& options);
std::string ImpParamsProblem(const TImpOptions& options);

// What the export and import tasks share: their options, the command built from them and read back
// into them, and the setters of the options that both programs have. `Options` is TExpOptions or
// TImpOptions.
template <class Options>
class OptionTask : public TUniTask {
 public:
  // Also puts every option at its default.
  void ResetToDefaults() override;
  void BuildCommand() override;

  const Options& options() const { return options_; }

  // Option setters: each stores its value and rebuilds the command. The setters of text values and
  // counts throw std::invalid_argument, leaving the task as it was, for a value that no parameter
  // text carries (see ExpParamsProblem and ImpParamsProblem; a count must not be negative, and 0
  // leaves it out).
  void SetBuffer(int32_t v);
  void SetFeedback(int32_t v);
  // Replaces the dump-file list by `name`.
  void SetFile(std::string name);
  void SetGrants(bool v) { Store(options_.grants, v); }
  void SetHelp(bool v) { Store(options_.help, v); }
  void SetIndexes(bool v) { Store(options_.indexes, v); }
  void SetLog(std::string v);
  void SetRecordLength(int32_t v);
  void SetRows(bool v) { Store(options_.rows, v); }
  void SetUserId(std::string v) { Store(options_.userid, std::move(v)); }

 protected:
  // Every option at its default, `params` and `command` empty.
  explicit OptionTask(TaskHost* owner) : TUniTask(owner) {}

  // Parses into a fresh set of options and takes them only when the whole text is accepted.
  bool Parse(std::string_view command, ParseFailure& failure) override;

  template <class Field, class Value>
  void Store(Field& field, Value&& value) {
    field = std::forward<Value>(value);
    BuildCommand();
  }

  Options options_;
};

extern template class OptionTask<TExpOptions>;
extern template class OptionTask<TImpOptions>;

class TExpTask : public OptionTask<TExpOptions> {
 public:
  // `tasktype` 0, every option at its default, `params` and `command` empty.
  explicit TExpTask(TaskHost* owner);

  void SetProgramPath() override;

  void SetCompress(bool v) { Store(options_.compress, v); }
  void SetConsistent(bool v) { Store(options_.consistent, v); }
  void SetConstraints(bool v) { Store(options_.constraints, v); }
  void SetDirect(bool v) { Store(options_.direct, v); }
  // true also empties `owner` and `tables`.
  void SetFull(bool v);
  void SetIncType(TExpIncType v) { Store(options_.inctype, v); }
  // A non-empty list also clears `full` and empties `tables`.
  void SetOwner(std::string v);
  void SetRecord(bool v) { Store(options_.record, v); }
  void SetStatistics(TExpStatistics v) { Store(options_.statistics, v); }
  // A non-empty list also clears `full` and empties `owner`.
  void SetTables(std::string v);
};

class TImpTask : public OptionTask<TImpOptions> {
 public:
  // `tasktype` 1, every option at its default, `params` and `command` empty.
  explicit TImpTask(TaskHost* owner);

  void SetProgramPath() override;

  void SetAnalyze(bool v) { Store(options_.analyze, v); }
  void SetCharset(std::string v);
  void SetCommit(bool v) { Store(options_.commit, v); }
  void SetDestroy(bool v) { Store(options_.destroy, v); }
  // A non-empty list also clears `full`.
  void SetFromUser(std::string v);
  // Either value also empties `fromuser` and `tables`; `touser` stays.
  void SetFull(bool v);
  void SetIgnore(bool v) { Store(options_.ignore, v); }
  void SetIncType(TImpIncType v) { Store(options_.inctype, v); }
  void SetIndexFile(std::string v);
  void SetShow(bool v) { Store(options_.show, v); }
  void SetSkipUnusableIndexes(bool v) { Store(options_.skip_unusable_indexes, v); }
  // A non-empty list also clears `full`.
  void SetTables(std::string v);
  void SetToUser(std::string v);
};

}  // namespace tasks
