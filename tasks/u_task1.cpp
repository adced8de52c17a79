#include "tasks/u_task1.h"

#include <cctype>
#include <charconv>
#include <utility>

#include "tasks/expparse.h"
#include "tasks/impparse.h"
#include "tasks/u_common.h"

namespace tasks {

namespace {

std::string upperCased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

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

// Adds "keyword=y"/"keyword=n" when `value` differs from its default.
void addFlag(std::vector<std::string>& params, std::string_view keyword, bool value, bool defaultValue) {
  if (value != defaultValue) params.push_back(flagParam(keyword, value));
}

void addNumber(std::vector<std::string>& params, std::string_view prefix, int32_t value) {
  if (value != 0) params.push_back(std::string(prefix) + std::to_string(value));
}

void addText(std::vector<std::string>& params, std::string_view prefix, const std::string& value) {
  if (!value.empty()) params.push_back(std::string(prefix) + value);
}

// The name lists always take their place; an empty list leaves an empty entry.
void addList(std::vector<std::string>& params, std::string_view prefix, const std::string& value) {
  params.push_back(value.empty() ? std::string() : std::string(prefix) + value);
}

}  // namespace

bool SetExpOption(TParamKeyword keyword, std::string_view value, TExpOptions& o) {
  using K = TParamKeyword;
  switch (keyword) {
    case K::Buffer:
      return applyCount(value, o.buffer);
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
    case K::File:
      o.files.emplace_back(value);
      return true;
    case K::Full:
      return applyFlag(value, o.full);
    case K::Grants:
      return applyFlag(value, o.grants);
    case K::Help:
      return applyFlag(value, o.help);
    case K::IncType: {
      std::string word = upperCased(value);
      if (word == "COMPLETE") {
        o.inctype = TExpIncType::Complete;
      } else if (word == "CUMULATIVE") {
        o.inctype = TExpIncType::Cumulative;
      } else if (word == "INCREMENTAL") {
        o.inctype = TExpIncType::Incremental;
      } else {
        return false;
      }
      o.full = true;
      return true;
    }
    case K::Indexes:
      return applyFlag(value, o.indexes);
    case K::Log:
      o.log = value;
      return true;
    case K::Owner:
      o.full = false;
      appendName(o.owner, value);
      return true;
    case K::ParFile:
    case K::PointInTimeRecover:
    case K::RecoveryTablespaces:
      return true;
    case K::Record:
      return applyFlag(value, o.record);
    case K::RecordLength:
      return applyCount(value, o.recordlength);
    case K::Rows:
      return applyFlag(value, o.rows);
    case K::Statistics: {
      std::string word = upperCased(value);
      if (word == "ESTIMATE") {
        o.statistics = TExpStatistics::Estimate;
      } else if (word == "COMPUTE") {
        o.statistics = TExpStatistics::Compute;
      } else if (word == "NONE") {
        o.statistics = TExpStatistics::None;
      } else {
        return false;
      }
      return true;
    }
    case K::Tables:
      o.full = false;
      appendName(o.tables, value);
      return true;
    case K::UserId:
      o.userid = value;
      return true;
    default:
      return false;
  }
}

bool SetImpOption(TParamKeyword keyword, std::string_view value, TImpOptions& o) {
  using K = TParamKeyword;
  switch (keyword) {
    case K::Analyze:
      return applyFlag(value, o.analyze);
    case K::Buffer:
      return applyCount(value, o.buffer);
    case K::Charset:
      o.charset = value;
      return true;
    case K::Commit:
      return applyFlag(value, o.commit);
    case K::Destroy:
      return applyFlag(value, o.destroy);
    case K::File:
      o.files.emplace_back(value);
      return true;
    case K::FromUser:
      o.full = false;
      appendName(o.fromuser, value);
      return true;
    case K::Full:
      return applyFlag(value, o.full);
    case K::Grants:
      return applyFlag(value, o.grants);
    case K::Help:
      return applyFlag(value, o.help);
    case K::Ignore:
      return applyFlag(value, o.ignore);
    case K::IncType: {
      std::string word = upperCased(value);
      if (word == "SYSTEM") {
        o.inctype = TImpIncType::System;
      } else if (word == "RESTORE") {
        o.inctype = TImpIncType::Restore;
      } else {
        return false;
      }
      o.full = true;
      return true;
    }
    case K::Indexes:
      return applyFlag(value, o.indexes);
    case K::IndexFile:
      o.indexfile = value;
      return true;
    case K::Log:
      o.log = value;
      return true;
    case K::ParFile:
    case K::PointInTimeRecover:
    case K::Feedback:
      return true;
    case K::RecordLength:
      return applyCount(value, o.recordlength);
    case K::Rows:
      return applyFlag(value, o.rows);
    case K::Show:
      return applyFlag(value, o.show);
    case K::SkipUnusableIndexes:
      return applyFlag(value, o.skip_unusable_indexes);
    case K::Tables:
      o.full = false;
      appendName(o.tables, value);
      return true;
    case K::ToUser:
      appendName(o.touser, value);
      return true;
    case K::UserId:
      o.userid = value;
      return true;
    default:
      return false;
  }
}

std::vector<std::string> BuildExpParams(const TExpOptions& o) {
  const TExpOptions& d = kExpDefaults;
  std::vector<std::string> p;
  if (o.full) {
    p.emplace_back("full=y");
    switch (o.inctype) {
      case TExpIncType::Complete:
        p.emplace_back("inctype=complete");
        break;
      case TExpIncType::Cumulative:
        p.emplace_back("inctype=cumulative");
        break;
      case TExpIncType::Incremental:
        p.emplace_back("inctype=Incremental");
        break;
      case TExpIncType::None:
        break;
    }
    if ((o.inctype == TExpIncType::Cumulative || o.inctype == TExpIncType::Incremental) && !o.record) {
      p.emplace_back("record=n");
    }
  }
  if (!o.files.empty()) p.push_back("file=" + o.files.front());
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
      p.emplace_back("statistics=compute");
      break;
    case TExpStatistics::None:
      p.emplace_back("statistics=None");
      break;
    case TExpStatistics::Estimate:
      break;
  }
  return p;
}

std::vector<std::string> BuildImpParams(const TImpOptions& o) {
  const TImpOptions& d = kImpDefaults;
  std::vector<std::string> p;
  if (o.full) {
    p.emplace_back("full=y");
    switch (o.inctype) {
      case TImpIncType::System:
        p.emplace_back("inctype=System");
        break;
      case TImpIncType::Restore:
        p.emplace_back("inctype=Restore");
        break;
      case TImpIncType::None:
        break;
    }
  }
  if (!o.files.empty()) p.push_back("file=" + o.files.front());
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

// ---- TExpTask ----

TExpTask::TExpTask(TaskHost* owner) : TUniTask(owner) {
  TExpTask::ResetToDefaults();
  SetTaskType(TTaskType::Export);
}

void TExpTask::ResetToDefaults() {
  TUniTask::ResetToDefaults();
  options_ = kExpDefaults;
}

void TExpTask::SetProgramPath() {
  TUniTask::SetProgramPath();
  if (owner() != nullptr) SetProgram(owner()->ExportProgram());
}

void TExpTask::BuildCommand() {
  mutableParams() = BuildExpParams(options_);
  CommandFromParams();
}

bool TExpTask::Parse(std::string_view command, ParseFailure& failure) {
  TExpOptions parsed = kExpDefaults;
  if (ExpParse(command, parsed, failure) != 0) return false;
  options_ = std::move(parsed);
  return true;
}

void TExpTask::SetBuffer(int32_t v) {
  options_.buffer = v;
  BuildCommand();
}
void TExpTask::SetCompress(bool v) {
  options_.compress = v;
  BuildCommand();
}
void TExpTask::SetConsistent(bool v) {
  options_.consistent = v;
  BuildCommand();
}
void TExpTask::SetConstraints(bool v) {
  options_.constraints = v;
  BuildCommand();
}
void TExpTask::SetDirect(bool v) {
  options_.direct = v;
  BuildCommand();
}
void TExpTask::SetFeedback(int32_t v) {
  options_.feedback = v;
  BuildCommand();
}
void TExpTask::SetGrants(bool v) {
  options_.grants = v;
  BuildCommand();
}
void TExpTask::SetHelp(bool v) {
  options_.help = v;
  BuildCommand();
}
void TExpTask::SetIncType(TExpIncType v) {
  options_.inctype = v;
  BuildCommand();
}
void TExpTask::SetIndexes(bool v) {
  options_.indexes = v;
  BuildCommand();
}
void TExpTask::SetLog(std::string v) {
  options_.log = std::move(v);
  BuildCommand();
}
void TExpTask::SetRecord(bool v) {
  options_.record = v;
  BuildCommand();
}
void TExpTask::SetRecordLength(int32_t v) {
  options_.recordlength = v;
  BuildCommand();
}
void TExpTask::SetRows(bool v) {
  options_.rows = v;
  BuildCommand();
}
void TExpTask::SetStatistics(TExpStatistics v) {
  options_.statistics = v;
  BuildCommand();
}
void TExpTask::SetUserId(std::string v) {
  options_.userid = std::move(v);
  BuildCommand();
}

void TExpTask::SetFile(std::string name) {
  options_.files.assign(1, std::move(name));
  BuildCommand();
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
  options_.owner = std::move(v);
  if (!options_.owner.empty()) {
    options_.full = false;
    options_.tables.clear();
  }
  BuildCommand();
}

void TExpTask::SetTables(std::string v) {
  options_.tables = std::move(v);
  if (!options_.tables.empty()) {
    options_.full = false;
    options_.owner.clear();
  }
  BuildCommand();
}

// ---- TImpTask ----

TImpTask::TImpTask(TaskHost* owner) : TUniTask(owner) {
  TImpTask::ResetToDefaults();
  SetTaskType(TTaskType::Import);
}

void TImpTask::ResetToDefaults() {
  TUniTask::ResetToDefaults();
  options_ = kImpDefaults;
}

void TImpTask::SetProgramPath() {
  TUniTask::SetProgramPath();
  if (owner() != nullptr) SetProgram(owner()->ImportProgram());
}

void TImpTask::BuildCommand() {
  mutableParams() = BuildImpParams(options_);
  CommandFromParams();
}

bool TImpTask::Parse(std::string_view command, ParseFailure& failure) {
  TImpOptions parsed = kImpDefaults;
  if (ImpParse(command, parsed, failure) != 0) return false;
  options_ = std::move(parsed);
  return true;
}

void TImpTask::SetAnalyze(bool v) {
  options_.analyze = v;
  BuildCommand();
}
void TImpTask::SetBuffer(int32_t v) {
  options_.buffer = v;
  BuildCommand();
}
void TImpTask::SetCharset(std::string v) {
  options_.charset = std::move(v);
  BuildCommand();
}
void TImpTask::SetCommit(bool v) {
  options_.commit = v;
  BuildCommand();
}
void TImpTask::SetDestroy(bool v) {
  options_.destroy = v;
  BuildCommand();
}
void TImpTask::SetFeedback(int32_t v) {
  options_.feedback = v;
  BuildCommand();
}
void TImpTask::SetGrants(bool v) {
  options_.grants = v;
  BuildCommand();
}
void TImpTask::SetHelp(bool v) {
  options_.help = v;
  BuildCommand();
}
void TImpTask::SetIgnore(bool v) {
  options_.ignore = v;
  BuildCommand();
}
void TImpTask::SetIncType(TImpIncType v) {
  options_.inctype = v;
  BuildCommand();
}
void TImpTask::SetIndexes(bool v) {
  options_.indexes = v;
  BuildCommand();
}
void TImpTask::SetIndexFile(std::string v) {
  options_.indexfile = std::move(v);
  BuildCommand();
}
void TImpTask::SetLog(std::string v) {
  options_.log = std::move(v);
  BuildCommand();
}
void TImpTask::SetRecordLength(int32_t v) {
  options_.recordlength = v;
  BuildCommand();
}
void TImpTask::SetRows(bool v) {
  options_.rows = v;
  BuildCommand();
}
void TImpTask::SetShow(bool v) {
  options_.show = v;
  BuildCommand();
}
void TImpTask::SetSkipUnusableIndexes(bool v) {
  options_.skip_unusable_indexes = v;
  BuildCommand();
}
void TImpTask::SetToUser(std::string v) {
  options_.touser = std::move(v);
  BuildCommand();
}
void TImpTask::SetUserId(std::string v) {
  options_.userid = std::move(v);
  BuildCommand();
}

void TImpTask::SetFile(std::string name) {
  options_.files.assign(1, std::move(name));
  BuildCommand();
}

void TImpTask::SetFull(bool v) {
  options_.full = v;
  options_.fromuser.clear();
  options_.tables.clear();
  BuildCommand();
}

void TImpTask::SetFromUser(std::string v) {
  options_.fromuser = std::move(v);
  if (!options_.fromuser.empty()) options_.full = false;
  BuildCommand();
}

void TImpTask::SetTables(std::string v) {
  options_.tables = std::move(v);
  if (!options_.tables.empty()) options_.full = false;
  BuildCommand();
}

}  // namespace tasks
