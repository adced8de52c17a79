#include "tasks/u_task1.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <stdexcept>
#include <utility>

#include "platform/textrules.h"
#include "tasks/expparse.h"
#include "tasks/impparse.h"
#include "tasks/paramlex.h"
#include "tasks/u_common.h"

namespace tasks {

namespace {

// A flag value goes through ParseYesNo; anything else leaves the flag and refuses.
bool applyFlag(std::string_view value, bool& flag) {
  return ParseYesNo(value, flag);
}

// A count must be a decimal number above 0; text that is no number counts as 0 and is refused,
// and so is a negative count, which no program accepts either.
bool applyCount(std::string_view value, int32_t& field) {
  std::string_view digits = value;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int32_t n = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) n = 0;
  if (n <= 0) return false;
  field = n;
  return true;
}

void appendName(std::string& list, std::string_view name) {
  if (!list.empty()) list += ',';
  list += name;
}

std::string flagParam(std::string_view keyword, bool value) {
  std::string out(keyword);
  out += value ? "=y" : "=n";
  return out;
}

// The parameters being built, and the first value that no parameter text carries.
struct ParamList {
  std::vector<std::string> entries;
  std::string problem;
};

// Adds "keyword=y"/"keyword=n" when `value` differs from its default.
void addFlag(ParamList& params, std::string_view keyword, bool value, bool defaultValue) {
  if (value != defaultValue) params.entries.push_back(flagParam(keyword, value));
}

// The option that an entry `prefix` ("Recordlength=") writes, as messages name it.
std::string optionName(std::string_view prefix) {
  return platform::asciiLowerCased(prefix.substr(0, prefix.size() - 1));
}

// Why a count has no parameter text: the programs and the parser take only counts above 0, and
// 0 is the default, which leaves the parameter out.
std::string countProblem(std::string_view prefix, int32_t value) {
  return value < 0 ? "The value of " + optionName(prefix) + " is negative" : std::string();
}

void addNumber(ParamList& params, std::string_view prefix, int32_t value) {
  if (std::string why = countProblem(prefix, value); !why.empty()) {
    if (params.problem.empty()) params.problem = std::move(why);
  } else if (value != 0) {
    params.entries.push_back(std::string(prefix) + std::to_string(value));
  }
}

// The text that reads back as `value`, or false with the reason in `why`.
bool valueText(std::string_view value, std::string& text, std::string& why) {
  if (IsBareParamValue(value)) {
    text = value;
    return true;
  }
  std::string_view problem = ParamValueQuoteProblem(value);
  if (!problem.empty()) {
    why = problem;
    return false;
  }
  text = QuoteParamValue(value);
  return true;
}

// A name list reads back as its values joined by ",", so it may be written whole or name by name.
bool listText(std::string_view list, std::string& text, std::string& why) {
  std::vector<std::string_view> names;
  for (size_t start = 0;;) {
    size_t comma = list.find(',', start);
    names.push_back(
        list.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  // Names that read back as they stand are written as they always were.
  if (std::all_of(names.begin(), names.end(), IsBareParamValue)) {
    text = list;
    return true;
  }
  if (valueText(list, text, why)) return true;
  // Too long to quote whole, or ending with a backslash: in runs of names, each read back as one
  // value. A run is closed as soon as it can be written, since a longer one only grows; one that
  // cannot (it needs quotes and ends with a backslash) takes the next name too. The first run must
  // not be empty: a value is appended with a "," only to a list that is not empty.
  std::string joined;
  std::string runText;
  std::string runWhy;
  size_t runStart = 0;
  for (std::string_view name : names) {
    const size_t runEnd = static_cast<size_t>(name.data() + name.size() - list.data());
    std::string_view run = list.substr(runStart, runEnd - runStart);
    if (runStart == 0 && run.empty()) continue;
    if (!valueText(run, runText, runWhy)) continue;
    if (runStart != 0) joined += ',';
    joined += runText;
    runStart = runEnd + 1;
  }
  if (runStart <= list.size()) {  // the last run stayed open
    if (runStart != 0) why = "has a name that " + runWhy;
    return false;
  }
  text = std::move(joined);
  return true;
}

enum class ValueKind { Text, NameList };

// The entry `prefix` and the text of `value`; false with the reason, naming the option, when no
// text reads back as `value`.
bool valueEntry(std::string_view prefix, std::string_view value, ValueKind kind, std::string& entry,
                std::string& why) {
  std::string text;
  std::string reason;
  bool ok = false;
  if (value.find('\0') != std::string_view::npos) {
    reason = "holds a zero byte";
  } else if (value.find_first_of("\r\n") != std::string_view::npos) {
    reason = "holds a line break, which would split its line of the parameter file";
  } else {
    ok = kind == ValueKind::NameList ? listText(value, text, reason) : valueText(value, text, reason);
  }
  if (!ok) {
    why = "The value of " + optionName(prefix) + " " + reason;
    return false;
  }
  entry = std::string(prefix) + text;
  return true;
}

// Adds the entry of a value that is always written, even when empty.
void addValue(ParamList& params, std::string_view prefix, std::string_view value, ValueKind kind) {
  std::string entry;
  std::string why;
  if (valueEntry(prefix, value, kind, entry, why)) {
    params.entries.push_back(std::move(entry));
  } else if (params.problem.empty()) {
    params.problem = std::move(why);
  }
}

void addText(ParamList& params, std::string_view prefix, const std::string& value) {
  if (!value.empty()) addValue(params, prefix, value, ValueKind::Text);
}

// The name lists always take their place; an empty list leaves an empty entry.
void addList(ParamList& params, std::string_view prefix, const std::string& value) {
  if (value.empty()) {
    params.entries.emplace_back();
  } else {
    addValue(params, prefix, value, ValueKind::NameList);
  }
}

// Throws std::invalid_argument when a setter's count has no parameter text.
void requireCount(std::string_view prefix, int32_t value) {
  if (std::string why = countProblem(prefix, value); !why.empty()) throw std::invalid_argument(why);
}

// Throws std::invalid_argument when a setter's value has no parameter text.
void requireWritable(std::string_view prefix, std::string_view value, ValueKind kind) {
  if (value.empty()) return;
  std::string entry;
  std::string why;
  if (!valueEntry(prefix, value, kind, entry, why)) throw std::invalid_argument(why);
}

// The value of `word`, upper-cased, in `words`; false when it is not there.
template <class Value, size_t N>
bool applyWord(std::string_view word, const std::pair<std::string_view, Value> (&words)[N], Value& field) {
  const std::string upper = platform::asciiUpperCased(word);
  for (const auto& [name, value] : words) {
    if (upper == name) {
      field = value;
      return true;
    }
  }
  return false;
}

// Applies the keywords that both programs take the same way; nothing when `keyword` is not one.
template <class Options>
std::optional<bool> applySharedOption(TParamKeyword keyword, std::string_view value, Options& o) {
  using K = TParamKeyword;
  switch (keyword) {
    case K::Buffer:
      return applyCount(value, o.buffer);
    case K::File:
      o.files.emplace_back(value);
      return true;
    case K::Full:
      return applyFlag(value, o.full);
    case K::Grants:
      return applyFlag(value, o.grants);
    case K::Help:
      return applyFlag(value, o.help);
    case K::Indexes:
      return applyFlag(value, o.indexes);
    case K::Log:
      o.log = value;
      return true;
    case K::ParFile:
    case K::PointInTimeRecover:
      return true;
    case K::RecordLength:
      return applyCount(value, o.recordlength);
    case K::Rows:
      return applyFlag(value, o.rows);
    case K::Tables:
      o.full = false;
      appendName(o.tables, value);
      return true;
    case K::UserId:
      o.userid = value;
      return true;
    default:
      return std::nullopt;
  }
}

}  // namespace

bool SetExpOption(TParamKeyword keyword, std::string_view value, TExpOptions& o) {
  static constexpr std::pair<std::string_view, TExpIncType> kIncTypes[] = {
      {"COMPLETE", TExpIncType::Complete},
      {"CUMULATIVE", TExpIncType::Cumulative},
      {"INCREMENTAL", TExpIncType::Incremental}};
  static constexpr std::pair<std::string_view, TExpStatistics> kStatistics[] = {
      {"ESTIMATE", TExpStatistics::Estimate},
      {"COMPUTE", TExpStatistics::Compute},
      {"NONE", TExpStatistics::None}};
  if (std::optional<bool> shared = applySharedOption(keyword, value, o)) return *shared;
  using K = TParamKeyword;
  switch (keyword) {
    case K::Compress:
      return applyFlag(value, o.compress);
    case K::Consistent:
      return applyFlag(value, o.consistent);
    case K::Constraints:
      return applyFlag(value, o.constraints);
    case K::Direct:
      return applyFlag(value, o.direct);
    case K::Feedback:
      return applyCount(value, o.feedback);
    case K::IncType:
      if (!applyWord(value, kIncTypes, o.inctype)) return false;
      o.full = true;
      return true;
    case K::Owner:
      o.full = false;
      appendName(o.owner, value);
      return true;
    case K::RecoveryTablespaces:
      return true;
    case K::Record:
      return applyFlag(value, o.record);
    case K::Statistics:
      return applyWord(value, kStatistics, o.statistics);
    default:
      return false;
  }
}

bool SetImpOption(TParamKeyword keyword, std::string_view value, TImpOptions& o) {
  static constexpr std::pair<std::string_view, TImpIncType> kIncTypes[] = {{"SYSTEM", TImpIncType::System},
                                                                           {"RESTORE", TImpIncType::Restore}};
  if (std::optional<bool> shared = applySharedOption(keyword, value, o)) return *shared;
  using K = TParamKeyword;
  switch (keyword) {
    case K::Analyze:
      return applyFlag(value, o.analyze);
    case K::Charset:
      o.charset = value;
      return true;
    case K::Commit:
      return applyFlag(value, o.commit);
    case K::Destroy:
      return applyFlag(value, o.destroy);
    case K::FromUser:
      o.full = false;
      appendName(o.fromuser, value);
      return true;
    case K::Ignore:
      return applyFlag(value, o.ignore);
    case K::IncType:
      if (!applyWord(value, kIncTypes, o.inctype)) return false;
      o.full = true;
      return true;
    case K::IndexFile:
      o.indexfile = value;
      return true;
    case K::Feedback:
      return true;
    case K::Show:
      return applyFlag(value, o.show);
    case K::SkipUnusableIndexes:
      return applyFlag(value, o.skip_unusable_indexes);
    case K::ToUser:
      appendName(o.touser, value);
      return true;
    default:
      return false;
  }
}

namespace {

ParamList expParams(const TExpOptions& o) {
  const TExpOptions& d = kExpDefaults;
  ParamList p;
  if (o.full) {
    p.entries.emplace_back("full=y");
    switch (o.inctype) {
      case TExpIncType::Complete:
        p.entries.emplace_back("inctype=complete");
        break;
      case TExpIncType::Cumulative:
        p.entries.emplace_back("inctype=cumulative");
        break;
      case TExpIncType::Incremental:
        p.entries.emplace_back("inctype=Incremental");
        break;
      case TExpIncType::None:
        break;
    }
    if ((o.inctype == TExpIncType::Cumulative || o.inctype == TExpIncType::Incremental) && !o.record) {
      p.entries.emplace_back("record=n");
    }
  }
  if (!o.files.empty()) addValue(p, "file=", o.files.front(), ValueKind::Text);
  addList(p, "owner=", o.owner);
  addList(p, "tables=", o.tables);
  addNumber(p, "buffer=", o.buffer);
  addFlag(p, "compress", o.compress, d.compress);
  addFlag(p, "consistent", o.consistent, d.consistent);
  addFlag(p, "constraints", o.constraints, d.constraints);
  addFlag(p, "direct", o.direct, d.direct);
  addFlag(p, "grants", o.grants, d.grants);
  addFlag(p, "help", o.help, d.help);
  addFlag(p, "indexes", o.indexes, d.indexes);
  addText(p, "log=", o.log);
  addNumber(p, "Recordlength=", o.recordlength);
  addFlag(p, "rows", o.rows, d.rows);
  switch (o.statistics) {
    case TExpStatistics::Compute:
      p.entries.emplace_back("statistics=compute");
      break;
    case TExpStatistics::None:
      p.entries.emplace_back("statistics=None");
      break;
    case TExpStatistics::Estimate:
      break;
  }
  return p;
}

ParamList impParams(const TImpOptions& o) {
  const TImpOptions& d = kImpDefaults;
  ParamList p;
  if (o.full) {
    p.entries.emplace_back("full=y");
    switch (o.inctype) {
      case TImpIncType::System:
        p.entries.emplace_back("inctype=System");
        break;
      case TImpIncType::Restore:
        p.entries.emplace_back("inctype=Restore");
        break;
      case TImpIncType::None:
        break;
    }
  }
  if (!o.files.empty()) addValue(p, "file=", o.files.front(), ValueKind::Text);
  addList(p, "fromuser=", o.fromuser);
  addList(p, "touser=", o.touser);
  addList(p, "tables=", o.tables);
  addFlag(p, "analyze", o.analyze, d.analyze);
  addNumber(p, "buffer=", o.buffer);
  addText(p, "Charset=", o.charset);
  addFlag(p, "commit", o.commit, d.commit);
  addFlag(p, "Destroy", o.destroy, d.destroy);
  addFlag(p, "grants", o.grants, d.grants);
  addFlag(p, "help", o.help, d.help);
  addFlag(p, "ignore", o.ignore, d.ignore);
  addFlag(p, "indexes", o.indexes, d.indexes);
  addText(p, "Indexfile=", o.indexfile);
  addText(p, "log=", o.log);
  addNumber(p, "Recordlength=", o.recordlength);
  addFlag(p, "rows", o.rows, d.rows);
  addFlag(p, "show", o.show, d.show);
  addFlag(p, "skip_unusable_indexes", o.skip_unusable_indexes, d.skip_unusable_indexes);
  return p;
}

}  // namespace

std::vector<std::string> BuildExpParams(const TExpOptions& options) {
  ParamList p = expParams(options);
  if (!p.problem.empty()) throw std::invalid_argument(p.problem);
  return std::move(p.entries);
}

std::vector<std::string> BuildImpParams(const TImpOptions& options) {
  ParamList p = impParams(options);
  if (!p.problem.empty()) throw std::invalid_argument(p.problem);
  return std::move(p.entries);
}

std::string ExpParamsProblem(const TExpOptions& options) {
  return expParams(options).problem;
}

std::string ImpParamsProblem(const TImpOptions& options) {
  return impParams(options).problem;
}

// ---- The tasks ----

namespace {

std::vector<std::string> buildParams(const TExpOptions& o) {
  return BuildExpParams(o);
}
std::vector<std::string> buildParams(const TImpOptions& o) {
  return BuildImpParams(o);
}
int parseOptions(std::string_view text, TExpOptions& o, ParseFailure& f) {
  return ExpParse(text, o, f);
}
int parseOptions(std::string_view text, TImpOptions& o, ParseFailure& f) {
  return ImpParse(text, o, f);
}

}  // namespace

template <class Options>
void OptionTask<Options>::ResetToDefaults() {
  TUniTask::ResetToDefaults();
  options_ = Options{};
}

template <class Options>
void OptionTask<Options>::BuildCommand() {
  mutableParams() = buildParams(options_);
  CommandFromParams();
}

template <class Options>
bool OptionTask<Options>::Parse(std::string_view command, ParseFailure& failure) {
  Options parsed{};
  if (parseOptions(command, parsed, failure) != 0) return false;
  options_ = std::move(parsed);
  return true;
}

template <class Options>
void OptionTask<Options>::SetBuffer(int32_t v) {
  requireCount("buffer=", v);
  Store(options_.buffer, v);
}

template <class Options>
void OptionTask<Options>::SetFeedback(int32_t v) {
  requireCount("feedback=", v);
  Store(options_.feedback, v);
}

template <class Options>
void OptionTask<Options>::SetRecordLength(int32_t v) {
  requireCount("Recordlength=", v);
  Store(options_.recordlength, v);
}

template <class Options>
void OptionTask<Options>::SetFile(std::string name) {
  requireWritable("file=", name, ValueKind::Text);
  Store(options_.files, std::vector<std::string>{std::move(name)});
}

template <class Options>
void OptionTask<Options>::SetLog(std::string v) {
  requireWritable("log=", v, ValueKind::Text);
  Store(options_.log, std::move(v));
}

template class OptionTask<TExpOptions>;
template class OptionTask<TImpOptions>;

TExpTask::TExpTask(TaskHost* owner) : OptionTask(owner) {
  SetTaskType(TTaskType::Export);
}

void TExpTask::SetProgramPath() {
  TUniTask::SetProgramPath();
  if (owner() != nullptr) SetProgram(owner()->ExportProgram());
}

void TExpTask::SetFull(bool v) {
  options_.full = v;
  if (v) {
    options_.owner.clear();
    options_.tables.clear();
  }
  BuildCommand();
}

void TExpTask::SetOwner(std::string v) {
  requireWritable("owner=", v, ValueKind::NameList);
  options_.owner = std::move(v);
  if (!options_.owner.empty()) {
    options_.full = false;
    options_.tables.clear();
  }
  BuildCommand();
}

void TExpTask::SetTables(std::string v) {
  requireWritable("tables=", v, ValueKind::NameList);
  options_.tables = std::move(v);
  if (!options_.tables.empty()) {
    options_.full = false;
    options_.owner.clear();
  }
  BuildCommand();
}

TImpTask::TImpTask(TaskHost* owner) : OptionTask(owner) {
  SetTaskType(TTaskType::Import);
}

void TImpTask::SetProgramPath() {
  TUniTask::SetProgramPath();
  if (owner() != nullptr) SetProgram(owner()->ImportProgram());
}

void TImpTask::SetCharset(std::string v) {
  requireWritable("Charset=", v, ValueKind::Text);
  Store(options_.charset, std::move(v));
}

void TImpTask::SetIndexFile(std::string v) {
  requireWritable("Indexfile=", v, ValueKind::Text);
  Store(options_.indexfile, std::move(v));
}

void TImpTask::SetToUser(std::string v) {
  requireWritable("touser=", v, ValueKind::NameList);
  Store(options_.touser, std::move(v));
}

void TImpTask::SetFull(bool v) {
  options_.full = v;
  options_.fromuser.clear();
  options_.tables.clear();
  BuildCommand();
}

void TImpTask::SetFromUser(std::string v) {
  requireWritable("fromuser=", v, ValueKind::NameList);
  options_.fromuser = std::move(v);
  if (!options_.fromuser.empty()) options_.full = false;
  BuildCommand();
}

void TImpTask::SetTables(std::string v) {
  requireWritable("tables=", v, ValueKind::NameList);
  options_.tables = std::move(v);
  if (!options_.tables.empty()) options_.full = false;
  BuildCommand();
}

}  // namespace tasks
