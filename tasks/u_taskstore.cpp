#include "tasks/u_taskstore.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "dataset/dberror.h"
#include "dataset/params.h"
#include "engine/base/veldorerr.h"
#include "engine/components/veldortb.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldortable.h"
#include "platform/bytes.h"
#include "platform/osfile.h"
#include "platform/privatefile.h"
#include "platform/scopeguard.h"
#include "tasks/u_task1.h"

namespace tasks {

namespace {

namespace ds = dataset;
using namespace engine;
using namespace engine::components;

enum class Kind : uint8_t { Int, Big, Time, Memo };
struct Column {
  const char* name;
  Kind kind;
};

// The columns in field order; a column's field number is its position plus one.
constexpr Column kTaskColumns[] = {{"id", Kind::Int},
                                   {"name", Kind::Memo},
                                   {"description", Kind::Memo},
                                   {"createtime", Kind::Time},
                                   {"connecttodb", Kind::Int},
                                   {"uname", Kind::Memo},
                                   {"upassword", Kind::Memo},
                                   {"connectstring", Kind::Memo},
                                   {"scheduletable", Kind::Memo},
                                   {"tasktype", Kind::Int},
                                   {"command", Kind::Memo},
                                   {"preexec", Kind::Memo},
                                   {"postexec", Kind::Memo},
                                   {"ispreexec", Kind::Int},
                                   {"ispostexec", Kind::Int},
                                   {"ftpanonymous", Kind::Int},
                                   {"transfermode", Kind::Int},
                                   {"deletefileafter", Kind::Int},
                                   {"ftpremotedir", Kind::Memo},
                                   {"copyfiledir", Kind::Memo},
                                   {"ftppassword", Kind::Memo},
                                   {"ftpusername", Kind::Memo},
                                   {"ftpserver", Kind::Memo},
                                   {"isexecuser", Kind::Int},
                                   {"execusername", Kind::Memo},
                                   {"execpassword", Kind::Memo},
                                   {"execconnectstring", Kind::Memo}};
enum : uint16_t {
  fId = 1,
  fName,
  fDescription,
  fCreateTime,
  fConnectToDb,
  fUName,
  fUPassword,
  fConnectString,
  fScheduleTable,
  fTaskType,
  fCommand,
  fPreExec,
  fPostExec,
  fIsPreExec,
  fIsPostExec,
  fFtpAnonymous,
  fTransferMode,
  fDeleteFileAfter,
  fFtpRemoteDir,
  fCopyFileDir,
  fFtpPassword,
  fFtpUserName,
  fFtpServer,
  fIsExecUser,
  fExecUserName,
  fExecPassword,
  fExecConnectString
};
static_assert(std::size(kTaskColumns) == 27 && fExecConnectString == 27);

constexpr Column kLogColumns[] = {{"id", Kind::Int},       {"taskid", Kind::Int},   {"begintime", Kind::Time},
                                  {"endtime", Kind::Time}, {"filesize", Kind::Big}, {"dumpfile", Kind::Memo}};
enum : uint16_t { lId = 1, lTaskId, lBeginTime, lEndTime, lFileSize, lDumpFile };

constexpr Column kContentColumns[] = {
    {"taskid", Kind::Int}, {"tasklogid", Kind::Int}, {"content", Kind::Memo}};
enum : uint16_t { cTaskId = 1, cTaskLogId, cContent };

// Index slots: 0 the primary key, 1 the secondary one where a table has it.
struct IndexDef {
  const char* name;
  std::vector<uint16_t> fields;
  bool unique;
  bool descending = false;
};

// The order the window lists tasks in: with it the load's ORDER BY reads the table itself
// instead of a sorted copy of every row and blob.
const IndexDef kTasksByCreateTime{"BYCREATETIME", {fCreateTime}, false, true};

TIndexDescriptor descriptorOf(const IndexDef& def) {
  TIndexDescriptor index;
  index.name = def.name;
  index.unique = def.unique ? 1 : 0;
  index.descending = def.descending ? 1 : 0;
  for (size_t i = 0; i < def.fields.size(); ++i) index.fields[i] = def.fields[i];
  return index;
}

TFieldDescriptor fieldOf(uint16_t number, const Column& c) {
  TFieldDescriptor d;
  d.SetFieldNumber(number);
  d.SetName(c.name);
  switch (c.kind) {
    case Kind::Int:
      d.SetType(TypeCode(TEngineFieldType::Integer));
      break;
    case Kind::Big:
      d.SetType(TypeCode(TEngineFieldType::LargeInt));
      break;
    case Kind::Time:
      d.SetType(TypeCode(TEngineFieldType::Timestamp));
      break;
    case Kind::Memo:
      d.SetType(TypeCode(TEngineFieldType::Blob));
      d.SetSubType(uint8_t(TEngineFieldSubType::Memo));
      break;
  }
  return d;
}

// A dataset date-time counts days from 1899-12-30; 1970-01-01 is day 25569.
constexpr int64_t kUnixEpochDays = 25569;
constexpr int64_t kMsPerDay64 = 86'400'000;

ds::DateTime toDataset(DateTime t) {
  const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  // Whole days and the day's milliseconds apart, so that the double holds the time to the
  // millisecond and reads back to the same one.
  const int64_t days = ms >= 0 ? ms / kMsPerDay64 : -((-ms + kMsPerDay64 - 1) / kMsPerDay64);
  return ds::DateTime{double(days + kUnixEpochDays) + double(ms - days * kMsPerDay64) / double(kMsPerDay64)};
}

DateTime fromDataset(ds::DateTime t) {
  const auto ms = int64_t(std::llround((t.days - double(kUnixEpochDays)) * double(kMsPerDay64)));
  return DateTime(std::chrono::duration_cast<DateTime::duration>(std::chrono::milliseconds(ms)));
}

// Blob block sizes of new tables, fitted to what their memos hold: the texts of a task and the
// dump path of a run are mostly a few dozen bytes, and every value takes at least a block, which
// a read of the table reads whole; a run's output is kilobytes to megabytes, and each block costs
// a cache slot and a copy of its own.
constexpr uint16_t kShortTextBlockSize = 128;
constexpr uint16_t kOutputBlockSize = 4096;

// True when the file at `path` holds no more than its header of `headerSize` bytes (no index
// page, no blob block: nothing of any row) and no one else has it open. Its header's contents do
// not matter: a create ended part way may have written any part of it.
bool holdsNothing(platform::FileSystem& fs, const std::string& path, uint32_t headerSize) {
  // A process making the table right now has its files open, and they are not left over. The look
  // takes no hold of its own: one would refuse that process's create or open of the file, or
  // another start's look, at that very moment.
  const std::string spelt = fs.resolvePath(path);
  if (fs.openAnywhereAsSpelt(spelt)) return false;
  platform::FileInfo info;
  return fs.fileInfoAsSpelt(spelt, info) && !info.isDirectory && info.size <= int64_t(headerSize);
}

// Waits, under the file lock retry rules, while another process holds its create's hold on the
// table `name`: the empty marker beside the name, spelt as the store spells its tables, which a
// create keeps open from before it makes the index until its data file is in place. Takes no hold
// and touches no file: a marker a cut start left, open nowhere, is not waited for and stays.
void waitForCreateElsewhere(TDataDirectory& directory, const char* name) {
  platform::FileSystem& fs = directory.FileList().FileSystem();
  const std::string marker =
      fs.resolvePath(TDataTable::FileNameFor(directory.Path(), name, false, TDataTable::kSwapMarkerExt));
  RetryLock([&](uint32_t) { return !fs.openAnywhereAsSpelt(marker); }, kFileLockRetryRules, fs);
}

// Makes a missing table, encrypted with the local tables' password: the table component creates
// plain tables only.
void createTable(TDataDirectory& directory, const char* name, std::span<const Column> columns,
                 const std::vector<IndexDef>& indexes, uint16_t blobBlockSize) {
  if (directory.TableExists(name, false)) return;
  // A table whose data file is gone while its index or memo file is left is damaged, not
  // missing: a new table would write over what those files still hold of the rows. Unless the
  // data file is there now (another process starting on the same fresh folder made the table
  // between the two looks), or those files hold nothing: the data file is made last, so a first
  // creation ended part way leaves an index without keys and a memo file without blocks.
  for (const auto& [ext, headerSize] :
       {std::pair{kIndexFileExt, kIndexHeaderSize}, {kBlobFileExt, kBlobHeaderSize}}) {
    const std::string path = TDataTable::FileNameFor(directory.Path(), name, false, ext);
    if (!directory.FileList().FileExists(path, false)) continue;
    if (directory.TableExists(name, false)) return;
    bool leftOver = holdsNothing(directory.FileList().FileSystem(), path, headerSize);
    // Another process may have made the table over those files while this one looked into them.
    if (directory.TableExists(name, false)) return;
    if (!leftOver) {
      // Or be making it now: a create has the files open until its data file is in place, all
      // under its hold on the name. Looked at again once the create lets it go; the wait takes
      // no hold, which would refuse others and remove a marker a cut start left.
      waitForCreateElsewhere(directory, name);
      if (directory.TableExists(name, false)) return;
      leftOver = holdsNothing(directory.FileList().FileSystem(), path, headerSize);
      if (directory.TableExists(name, false)) return;
    }
    if (leftOver) continue;
    SignalTableError(VELDOR_OSENOENT, TDataTable::FileNameFor(directory.Path(), name, false, kDataFileExt));
  }
  TDataCursor cursor(directory);
  cursor.SetTableName(name);
  cursor.SetExclusive(true);
  TCreateTableArgs args;
  args.Encrypted = true;
  args.Password = kLocalTablePassword;
  args.BlobBlockSize = blobBlockSize;
  for (size_t i = 0; i < columns.size(); ++i) args.Fields.push_back(fieldOf(uint16_t(i + 1), columns[i]));
  for (const IndexDef& def : indexes) args.Indexes.push_back(descriptorOf(def));
  try {
    cursor.CreateTable(args);
  } catch (const EVELDOREngineError& e) {
    // Made by another process since the looks above: its table is the one to use.
    if (e.ErrorCode() != VELDOR_TABLEEXISTS) throw;
  }
}

// Adds `def` to a table made without it (by an earlier version). Needs the table to itself for
// a moment: while another process has it open the index waits for a later start.
void addIndex(const std::string& sessionName, const char* table, const IndexDef& def) {
  TVELDORTable t;
  t.SetSessionName(sessionName);
  t.SetDatabaseName("dbmain");
  t.SetTableName(table);
  t.UpdateIndexDefs();
  for (const TVELDORIndexDef& index : t.IndexDefs())
    if (ds::SameName(index.Name, def.name)) return;
  t.SetExclusive(true);
  try {
    t.Open();
  } catch (const EVELDOREngineError&) {
    return;
  }
  TIndexDescriptor index = descriptorOf(def);
  TSessionLock lock(t.Database()->Session());
  t.Handle()->AddSecondaryIndex(index);
}

// Statement parameters: texts as memos, so that each goes to its memo column as it is (an engine
// string would drop trailing blanks and stop at a NUL).
void setText(TVELDORQuery& q, const char* name, const std::string& v) {
  ds::Param& p = q.ParamByName(name);
  p.DataType = ds::ftMemo;
  p.SetValue(ds::Variant(v));
}
void setInt(TVELDORQuery& q, const char* name, int32_t v) {
  q.ParamByName(name).SetAsInteger(v);
}
void setBig(TVELDORQuery& q, const char* name, int64_t v) {
  ds::Param& p = q.ParamByName(name);
  p.DataType = ds::ftLargeint;
  p.SetValue(ds::Variant(v));
}
void setTime(TVELDORQuery& q, const char* name, DateTime v) {
  q.ParamByName(name).SetAsDateTime(toDataset(v));
}

// Runs `sql` without a result, its parameters set by `bind`; the rows it changed.
int32_t exec(TVELDORQuery& q, const std::string& sql, const std::function<void(TVELDORQuery&)>& bind) {
  q.Close();
  q.SetSQL(sql);
  bind(q);
  q.ExecSQL();
  q.Close();
  return q.RowsAffected();
}

// Opens the result of `sql`, its parameters set by `bind`; the query closes when `each` has
// seen every row.
void select(TVELDORQuery& q, const std::string& sql, const std::function<void(TVELDORQuery&)>& bind,
            const std::function<void(TVELDORQuery&)>& each) {
  q.Close();
  q.SetSQL(sql);
  bind(q);
  q.Open();
  platform::ScopeExit close([&] { q.Close(); });
  for (; !q.Eof(); q.Next()) each(q);
}

// The fields of one open result by column name, each looked up once instead of once per row.
class Columns {
 public:
  explicit Columns(ds::DataSet& q) : q_(q) {}
  ds::Field& operator[](const char* name) {
    auto [at, added] = fields_.try_emplace(name, nullptr);
    if (added) at->second = &q_.FieldByName(name);
    return *at->second;
  }

 private:
  ds::DataSet& q_;
  // By the name's address: the names are literals, and a name met at two addresses is only
  // looked up twice.
  std::unordered_map<const char*, ds::Field*> fields_;
};

int32_t intOf(Columns& c, const char* name) {
  return c[name].AsInteger();
}
std::string textOf(Columns& c, const char* name) {
  return c[name].AsString();
}
DateTime timeOf(Columns& c, const char* name) {
  ds::Field& f = c[name];
  return f.IsNull() ? DateTime{} : fromDataset(f.AsDateTime());
}

// The current record of an engine cursor by column name, each value as the fields of a result
// over the same cursor give it (Columns): numbers and times converted alike, texts from their
// blobs. Reads without a result's per-field steps, for whole tables.
class RecordColumns {
 public:
  explicit RecordColumns(TDataCursor& cursor) : cursor_(cursor), record_(cursor.RecordSize()) {}
  uint8_t* Record() { return record_.data(); }
  ds::Variant Value(const char* name) {
    const Place& at = place(name);
    if (at.desc->IsBlob()) {
      std::string bytes = blobText(at);
      if (bytes.empty()) return ds::Variant::null();
      return at.desc->SubType() == uint8_t(TEngineFieldSubType::Memo)
                 ? ds::Variant(std::move(bytes))
                 : ds::Variant::bytes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    bool isNull = true;
    std::array<uint8_t, 256> bytes;
    std::memset(bytes.data(), 0, 8);
    cursor_.GetField(at.position, record_.data(), isNull, bytes.data());
    return isNull ? ds::Variant::null() : EngineValueToVariant(*at.desc, bytes.data());
  }
  // Value(name) as a 32-bit integer, 0 for NULL; an integer field's bytes without a value between.
  int32_t Int(const char* name) {
    const Place& at = place(name);
    if (at.desc->Type() != uint8_t(TEngineFieldType::Integer)) {
      const ds::Variant v = Value(name);
      return v.isNull() ? 0 : v.asInt32();
    }
    bool isNull = true;
    std::array<uint8_t, 256> bytes;
    std::memset(bytes.data(), 0, 8);
    cursor_.GetField(at.position, record_.data(), isNull, bytes.data());
    return isNull ? 0 : platform::get4s(bytes.data());
  }
  // Value(name) as text, as Field::AsString gives it; a blob's bytes without a value between.
  std::string Text(const char* name) {
    const Place& at = place(name);
    if (at.desc->IsBlob()) return blobText(at);
    return Value(name).asString();
  }
  // Text(name) of each of `names` into `out`, the blobs among them read together: their stored
  // chains are checked against the stored record once for the row, not once each.
  void Texts(std::span<const char* const> names, std::span<std::string> out) {
    constexpr size_t kHeld = 32;
    std::array<uint16_t, kHeld> blobs;
    std::array<size_t, kHeld> at;
    size_t count = 0;
    for (size_t i = 0; i < names.size(); ++i) {
      const Place& p = place(names[i]);
      if (p.desc->IsBlob() && count < kHeld) {
        blobs[count] = p.position;
        at[count++] = i;
      } else {
        out[i] = Text(names[i]);
      }
    }
    texts_.resize(std::max(texts_.size(), count));
    cursor_.ReadBlobTexts(std::span(blobs.data(), count), false, record_.data(),
                          std::span(texts_.data(), count));
    for (size_t k = 0; k < count; ++k) out[at[k]] = std::move(texts_[k]);
  }

 private:
  struct Place {
    const char* name;  // a literal, compared by address
    uint16_t position;
    const TFieldDescriptor* desc;
  };
  // A row's columns are asked for in the same order row after row: the one after the last asked
  // for is looked at first.
  const Place& place(const char* name) {
    if (next_ < places_.size() && places_[next_].name == name) return places_[next_++];
    for (size_t i = 0; i < places_.size(); ++i)
      if (places_[i].name == name) {
        next_ = i + 1;
        return places_[i];
      }
    const uint16_t position = cursor_.GetFieldNumber(name);
    if (position == 0) ds::DatabaseErrorFmt(ds::SFieldNotFound, name);
    places_.push_back({name, position, &cursor_.GetFieldDesc(position)});
    next_ = places_.size();
    return places_.back();
  }
  std::string blobText(const Place& at) {
    if (!cursor_.ReadBlobValue(at.position, false, record_.data(), blob_)) return {};
    return std::string(blob_.begin(), blob_.end());
  }

  TDataCursor& cursor_;
  std::vector<uint8_t> record_;
  std::vector<uint8_t> blob_;
  std::vector<std::string> texts_;
  std::vector<Place> places_;
  size_t next_ = 0;
};

void textsOf(Columns& c, std::span<const char* const> names, std::span<std::string> out) {
  for (size_t i = 0; i < names.size(); ++i) out[i] = textOf(c, names[i]);
}

int32_t intOf(RecordColumns& c, const char* name) {
  return c.Int(name);
}
DateTime timeOf(RecordColumns& c, const char* name) {
  const ds::Variant v = c.Value(name);
  return v.isNull() ? DateTime{} : fromDataset(v.asDateTime());
}
void textsOf(RecordColumns& c, std::span<const char* const> names, std::span<std::string> out) {
  c.Texts(names, out);
}

std::string envText(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

}  // namespace

std::string TTaskStore::DefaultFolder() {
  std::string base = envText("XDG_DATA_HOME");
  if (base.empty() || base[0] != '/') base = envText("HOME") + "/.local/share";
  return base + "/velmaron/db";
}

TTaskStore::TTaskStore(const std::string& folder, engine::TFileList* files) {
  std::filesystem::create_directories(std::filesystem::path(folder).parent_path());
  platform::makePrivateFolder(folder);
  // A session of the store's own, so that stores on several folders live side by side under the
  // one database name the program uses.
  session_ = std::make_unique<TVELDORSession>("taskstore");
  session_->SetAutoSessionName(true);
  session_->AddPassword(kLocalTablePassword);
  // A statement's sorted result is a table of its own, made in the session's private folder:
  // not the working folder, which may be anywhere or not writable, and not the tables' folder,
  // whose transaction the result table would join.
  const std::string work = folder + "/work";
  platform::makePrivateFolder(work);
  session_->SetPrivateDir(work);
  session_->Open();
  dbmain_ = std::make_unique<TVELDORDatabase>(session_.get());
  dbmain_->SetSessionName(session_->SessionName());
  dbmain_->SetDatabaseName("dbmain");
  dbmain_->SetDirectory(folder);
  dbmain_->Open();
  if (files) dbmain_->Handle()->SetFileList(*files);
  {
    TSessionLock lock(*session_);
    TDataDirectory& directory = *dbmain_->Handle();
    createTable(directory, "task", kTaskColumns, {{"", {fId}, true}, kTasksByCreateTime},
                kShortTextBlockSize);
    createTable(directory, "tasklog", kLogColumns, {{"", {lId}, true}, {"BYTASK", {lTaskId}, false}},
                kShortTextBlockSize);
    createTable(directory, "tasklogc", kContentColumns, {{"", {cTaskId, cTaskLogId}, true}},
                kOutputBlockSize);
  }
  addIndex(session_->SessionName(), "task", kTasksByCreateTime);
  uniquery_ = std::make_unique<TVELDORQuery>();
  uniquery_->SetSessionName(session_->SessionName());
  uniquery_->SetDatabaseName("dbmain");
  unitable_ = std::make_unique<TVELDORTable>();
  unitable_->SetSessionName(session_->SessionName());
  unitable_->SetDatabaseName("dbmain");
  unitable_->SetTableName("tasklogc");
  for (auto* ids : {&taskIds_, &logIds_}) {
    *ids = std::make_unique<TVELDORTable>();
    (*ids)->SetSessionName(session_->SessionName());
    (*ids)->SetDatabaseName("dbmain");
    (*ids)->SetReadOnly(true);
  }
}

TTaskStore::~TTaskStore() {
  logIds_.reset();
  taskIds_.reset();
  unitable_.reset();
  uniquery_.reset();
  dbmain_.reset();
  session_.reset();
}

namespace {

// The text columns of `task`, in field order, and their values in a task.
struct TextColumn {
  const char* name;
  const std::string& (TUniTask::*get)() const;
  void (TUniTask::*set)(std::string);
};
// The details: every text column but `name`, `scheduletable` and `command`.
const TextColumn kTaskDetails[] = {
    {"description", &TUniTask::description, &TUniTask::SetDescription},
    {"uname", &TUniTask::uname, &TUniTask::SetUName},
    {"upassword", &TUniTask::upassword, &TUniTask::SetUPassword},
    {"connectstring", &TUniTask::connectstring, &TUniTask::SetConnectString},
    {"preexec", &TUniTask::preexec, &TUniTask::SetPreExec},
    {"postexec", &TUniTask::postexec, &TUniTask::SetPostExec},
    {"ftpremotedir", &TUniTask::ftpremotedir, &TUniTask::SetFtpRemoteDir},
    {"copyfiledir", &TUniTask::copyfiledir, &TUniTask::SetCopyFileDir},
    {"ftppassword", &TUniTask::ftppassword, &TUniTask::SetFtpPassword},
    {"ftpusername", &TUniTask::ftpusername, &TUniTask::SetFtpUserName},
    {"ftpserver", &TUniTask::ftpserver, &TUniTask::SetFtpServer},
    {"execusername", &TUniTask::execusername, &TUniTask::SetExecUserName},
    {"execpassword", &TUniTask::execpassword, &TUniTask::SetExecPassword},
    {"execconnectstring", &TUniTask::execconnectstring, &TUniTask::SetExecConnectString}};

// The text columns a listed task reads, and every text column, the same three first.
constexpr std::array<const char*, 3> kListTexts{"name", "command", "scheduletable"};
const std::array<const char*, 3 + std::size(kTaskDetails)> kTaskTexts = [] {
  std::array<const char*, 3 + std::size(kTaskDetails)> names{};
  std::copy(kListTexts.begin(), kListTexts.end(), names.begin());
  for (size_t i = 0; i < std::size(kTaskDetails); ++i) names[3 + i] = kTaskDetails[i].name;
  return names;
}();

// Every column of `task` but `id` and `createtime`, as ":column" parameters.
void bindTaskColumns(TVELDORQuery& q, const TUniTask& task, const std::string& schedule) {
  setText(q, "name", task.name());
  setText(q, "command", task.command());
  for (const TextColumn& c : kTaskDetails) setText(q, c.name, (task.*c.get)());
  setInt(q, "connecttodb", 0);
  setText(q, "scheduletable", schedule);
  setInt(q, "tasktype", int32_t(task.tasktype()));
  setInt(q, "ispreexec", task.ispreexec() ? 1 : 0);
  setInt(q, "ispostexec", task.ispostexec() ? 1 : 0);
  setInt(q, "ftpanonymous", task.ftpanonymous());
  setInt(q, "transfermode", task.transfermode());
  setInt(q, "deletefileafter", task.deletefileafter());
  setInt(q, "isexecuser", task.isexecuser() ? 1 : 0);
}

const char* const kInsertTask =
    "insert into task(id,name,description,createtime,connecttodb,uname,upassword,connectstring,"
    "scheduletable,tasktype,command,preexec,postexec,ispreexec,ispostexec,ftpanonymous,transfermode,"
    "deletefileafter,ftpremotedir,copyfiledir,ftppassword,ftpusername,ftpserver,isexecuser,execusername,"
    "execpassword,execconnectstring) values(:id,:name,:description,:createtime,:connecttodb,:uname,"
    ":upassword,:connectstring,:scheduletable,:tasktype,:command,:preexec,:postexec,:ispreexec,"
    ":ispostexec,:ftpanonymous,:transfermode,:deletefileafter,:ftpremotedir,:copyfiledir,:ftppassword,"
    ":ftpusername,:ftpserver,:isexecuser,:execusername,:execpassword,:execconnectstring)";

const char* const kUpdateTask =
    "update task set name=:name,description=:description,connecttodb=:connecttodb,uname=:uname,"
    "upassword=:upassword,connectstring=:connectstring,preexec=:preexec,postexec=:postexec,"
    "scheduletable=:scheduletable,tasktype=:tasktype,command=:command,ispreexec=:ispreexec,"
    "ispostexec=:ispostexec,isexecuser=:isexecuser,execusername=:execusername,execpassword=:execpassword,"
    "execconnectstring=:execconnectstring,ftpanonymous=:ftpanonymous,transfermode=:transfermode,"
    "deletefileafter=:deletefileafter,ftpremotedir=:ftpremotedir,copyfiledir=:copyfiledir,"
    "ftppassword=:ftppassword,ftpusername=:ftpusername,ftpserver=:ftpserver  where id=:id";

}  // namespace

int32_t TTaskStore::nextId(const char* table) {
  // The last row of the primary index, read through a table component: an aggregate over the
  // table would read every row.
  TVELDORTable& ids = std::string_view(table) == "task" ? *taskIds_ : *logIds_;
  if (!ids.Active()) {
    ids.SetTableName(table);
    ids.Open();
  }
  ids.Last();
  if (ids.IsEmpty()) return 1;
  const int32_t last = ids.FieldByName("id").AsInteger();
  if (last == INT32_MAX) throw std::overflow_error(std::string("No unused id is left in table ") + table);
  return last < 1 ? 1 : last + 1;
}

void TTaskStore::SaveTask(TUniTask& task) {
  int32_t id = 0;
  write(kSaveTaskError, [&] {
    id = nextId("task");
    exec(*uniquery_, kInsertTask, [&](TVELDORQuery& q) {
      setInt(q, "id", id);
      setTime(q, "createtime", task.createtime());
      bindTaskColumns(q, task, "0000");
    });
  });
  task.SetId(id);
}

void TTaskStore::UpdateTask(const TUniTask& task) {
  write(nullptr, [&] {
    const int32_t changed = exec(*uniquery_, kUpdateTask, [&](TVELDORQuery& q) {
      bindTaskColumns(q, task, task.scheduletable());
      setInt(q, "id", task.id());
    });
    if (changed == 0) RaiseEngineError(VELDOR_RECNOTFOUND);
  });
}

void TTaskStore::DeleteTaskLogs(int32_t taskId) {
  write(kDeleteTaskLogError, [&] {
    const auto bind = [&](TVELDORQuery& q) { setInt(q, "taskid", taskId); };
    exec(*uniquery_, "delete from tasklog where taskid=:taskid", bind);
    exec(*uniquery_, "delete from tasklogc where taskid=:taskid", bind);
  });
}

void TTaskStore::DeleteTask(int32_t taskId) {
  platform::FirstFailure logs;
  logs.run([&] { DeleteTaskLogs(taskId); });
  write(kDeleteTaskError, [&] {
    exec(*uniquery_, "delete from task where id=:id", [&](TVELDORQuery& q) { setInt(q, "id", taskId); });
  });
  logs.raise();
}

void TTaskStore::DeleteTaskLog(int32_t taskId, int32_t logId) {
  write(kDeleteTaskLogError, [&] {
    const auto bind = [&](TVELDORQuery& q) {
      setInt(q, "taskid", taskId);
      setInt(q, "logid", logId);
    };
    exec(*uniquery_, "delete from tasklog where id=:logid and taskid=:taskid", bind);
    exec(*uniquery_, "delete from tasklogc where taskid=:taskid and tasklogid=:logid", bind);
  });
}

int32_t TTaskStore::SaveTaskLog(const TaskLogEntry& entry, const std::string& content) {
  int32_t id = 0;
  write(kSaveTaskLogError, [&] { id = saveTaskLog(entry, content); });
  return id;
}

void TTaskStore::write(const char* box, const std::function<void()>& work) {
  try {
    // One transaction, or a part of the one already open: the writes reach the files through
    // the rollback journal, all or none, before the outermost write returns.
    if (dbmain_->InTransaction()) {
      work();
      return;
    }
    dbmain_->StartTransaction();
    platform::UndoOnFailure rollback([&] {
      uniquery_->Close();
      unitable_->Close();
      taskIds_->Close();
      logIds_->Close();
      dbmain_->Rollback();
    });
    work();
    dbmain_->Commit();
  } catch (const ETaskStoreError&) {
    throw;
  } catch (const std::exception& e) {
    throw ETaskStoreError(box != nullptr ? box : e.what(), e.what());
  }
}

int32_t TTaskStore::saveTaskLog(const TaskLogEntry& entry, const std::string& content) {
  const int32_t id = nextId("tasklog");
  exec(*uniquery_,
       "insert into tasklog(id,taskid,begintime,endtime,filesize,dumpfile) "
       "values(:id,:taskid,:begintime,:endtime,:filesize,:dumpfile)",
       [&](TVELDORQuery& q) {
         setInt(q, "id", id);
         setInt(q, "taskid", entry.taskid);
         setTime(q, "begintime", entry.begintime);
         setTime(q, "endtime", entry.endtime);
         setBig(q, "filesize", entry.filesize);
         setText(q, "dumpfile", entry.dumpfile);
       });
  // The table stays open between runs: closing it would drop its files' caches each time.
  TVELDORTable& t = *unitable_;
  t.Open();
  t.Append();
  t.FieldByName("taskid").SetAsInteger(entry.taskid);
  t.FieldByName("tasklogid").SetAsInteger(id);
  if (!content.empty()) {
    auto stream = t.CreateBlobStream(t.FieldByName("content"), ds::bmWrite);
    stream->Write(content.data(), content.size());
  }
  t.Post();
  return id;
}

std::vector<std::unique_ptr<TUniTask>> TTaskStore::LoadTasks(TaskHost* owner) {
  return loadTasks(owner, true);
}

std::vector<std::unique_ptr<TUniTask>> TTaskStore::LoadTaskList(TaskHost* owner) {
  return OpenTaskList(owner)->Next(SIZE_MAX);
}

namespace {

// The list's order: newest first; of tasks made at the same moment (a task file's) the one added
// last, with the higher id, first, as the window shows them when they are added.
bool listedBefore(const std::unique_ptr<TUniTask>& a, const std::unique_ptr<TUniTask>& b) {
  return a->createtime() != b->createtime() ? a->createtime() > b->createtime() : a->id() > b->id();
}

// The task of the current row, with every column (`details` null) or with what the task list
// needs and `details` to read the rest; null for a row of a type this program does not know (a
// later version's, or a damaged row): no task it could run, so the row stays as it is, unshown.
template <class Row>
std::unique_ptr<TUniTask> taskOfRow(Row& q, TaskHost* owner, const std::function<void(TUniTask&)>* details) {
  const int32_t storedType = intOf(q, "tasktype");
  if (storedType < int32_t(TTaskType::Export) || storedType > int32_t(TTaskType::RawImport)) return nullptr;
  const auto type = TTaskType(storedType);
  std::unique_ptr<TUniTask> task;
  if (type == TTaskType::Export || type == TTaskType::RawExport) {
    task = std::make_unique<TExpTask>(owner);
  } else {
    task = std::make_unique<TImpTask>(owner);
  }
  task->SetId(intOf(q, "id"));
  // Each text column is a blob of its own: the list reads the three it shows, the rest waits for
  // a use.
  // As many strings as the row's texts, made and dropped row after row.
  const auto readTexts = [&](const auto& names) {
    std::array<std::string, std::tuple_size_v<std::decay_t<decltype(names)>>> texts;
    textsOf(q, names, texts);
    task->SetName(std::move(texts[0]));
    task->SetCommand(std::move(texts[1]));
    task->SetScheduleTable(std::move(texts[2]));
    for (size_t i = 3; i < texts.size(); ++i) ((*task).*kTaskDetails[i - 3].set)(std::move(texts[i]));
  };
  if (details == nullptr) {
    readTexts(kTaskTexts);
  } else {
    readTexts(kListTexts);
    task->SetDetailsLoader(*details);
  }
  task->SetCreateTime(timeOf(q, "createtime"));
  task->SetConnectToDb(intOf(q, "connecttodb") == 1);
  task->SetTaskType(type);
  task->SetIsPreExec(intOf(q, "ispreexec") != 0);
  task->SetIsPostExec(intOf(q, "ispostexec") != 0);
  task->SetFtpAnonymous(intOf(q, "ftpanonymous"));
  task->SetTransferMode(intOf(q, "transfermode"));
  task->SetDeleteFileAfter(intOf(q, "deletefileafter"));
  task->SetIsExecUser(intOf(q, "isexecuser") != 0);
  return task;
}

}  // namespace

std::function<void(TUniTask&)> TTaskStore::detailsLoader() const {
  std::weak_ptr<TTaskStore*> store = alive_;
  return [store](TUniTask& t) {
    const std::shared_ptr<TTaskStore*> live = store.lock();
    if (!live) throw std::logic_error("The task store is closed");
    (*live)->readDetails(t);
  };
}

std::vector<std::unique_ptr<TUniTask>> TTaskStore::loadTasks(TaskHost* owner, bool whole) {
  std::vector<std::unique_ptr<TUniTask>> loaded;
  const std::function<void(TUniTask&)> details = detailsLoader();
  read([&] {
    // Straight from an engine cursor in record order, the order in which rows and their blobs
    // were written: the reads run along the files. The list's order is the sort's.
    TSessionLock lock(*session_);
    TDataCursor rows(*dbmain_->Handle());
    rows.SetTableName("task");
    rows.SetReadOnly(true);
    rows.Open();
    rows.SwitchToIndex(kNoCurrentIndex);
    RecordColumns q(rows);
    for (uint16_t code; (code = rows.GetNextRecord(q.Record())) != VELDOR_EOF;) {
      RaiseEngineErrorIfSet(code);
      if (auto task = taskOfRow(q, owner, whole ? nullptr : &details)) loaded.push_back(std::move(task));
    }
  });
  // Tasks are stored as they were made, oldest first, so the rows mostly come in the reverse of
  // the list's order; no two tasks are listed alike (the ids differ), so reversing them is the sort.
  if (std::is_sorted(loaded.rbegin(), loaded.rend(), listedBefore)) {
    std::reverse(loaded.begin(), loaded.end());
  } else {
    std::stable_sort(loaded.begin(), loaded.end(), listedBefore);
  }
  return loaded;
}

std::unique_ptr<TTaskListReader> TTaskStore::OpenTaskList(TaskHost* owner) {
  return std::unique_ptr<TTaskListReader>(new TTaskListReader(*this, owner));
}

TTaskListReader::TTaskListReader(TTaskStore& store, TaskHost* owner)
    : store_(store), alive_(store.alive_), owner_(owner) {
  auto rows = std::make_unique<TVELDORTable>();
  rows->SetSessionName(store.session_->SessionName());
  rows->SetDatabaseName("dbmain");
  rows->SetTableName("task");
  rows->SetReadOnly(true);
  rows->UpdateIndexDefs();
  for (const TVELDORIndexDef& index : rows->IndexDefs()) {
    if (!ds::SameName(index.Name, kTasksByCreateTime.name)) continue;
    rows->SetIndexName(kTasksByCreateTime.name);
    rows_ = std::move(rows);
    break;
  }
}

TTaskListReader::~TTaskListReader() = default;

std::vector<std::unique_ptr<TUniTask>> TTaskListReader::Next(size_t count) {
  std::vector<std::unique_ptr<TUniTask>> part;
  if (atEnd_) return part;
  if (alive_.expired()) throw std::logic_error("The task store is closed");
  // Every task at once (a first part of any size) is read as LoadTasks reads them: along the files.
  if (!rows_ || (count == SIZE_MAX && !wholeRead_ && !rows_->Active())) {
    if (!wholeRead_) {
      whole_ = store_.loadTasks(owner_, false);
      wholeRead_ = true;
      if (count >= whole_.size()) {
        handedOut_ = whole_.size();
        atEnd_ = true;
        return std::exchange(whole_, {});
      }
    }
    for (; handedOut_ < whole_.size() && part.size() < count; ++handedOut_)
      part.push_back(std::move(whole_[handedOut_]));
    atEnd_ = handedOut_ == whole_.size();
    return part;
  }
  const std::function<void(TUniTask&)> details = store_.detailsLoader();
  store_.read([&] {
    TVELDORTable& t = *rows_;
    if (!t.Active()) {
      t.Open();
      t.First();
    }
    Columns q(t);
    DateTime moment{};
    for (; !t.Eof(); t.Next()) {
      const DateTime created = timeOf(q, "createtime");
      if (part.size() >= count && created != moment) break;
      moment = created;
      if (auto task = taskOfRow(q, owner_, &details)) part.push_back(std::move(task));
    }
    atEnd_ = t.Eof();
  });
  // The index keeps rows of one create time in an order of its own.
  std::stable_sort(part.begin(), part.end(), listedBefore);
  return part;
}

std::vector<TaskLogEntry> TTaskStore::LoadTaskLogs(int32_t taskId) {
  std::vector<TaskLogEntry> entries;
  Columns c(*uniquery_);
  read([&] {
    // Newest start first; runs that started at the same moment, the later written (higher id) first.
    select(
        *uniquery_,
        "select id,taskid,begintime,endtime,filesize,dumpfile from tasklog where taskid=:taskid "
        "order by begintime desc, id desc",
        [&](TVELDORQuery& q) { setInt(q, "taskid", taskId); },
        [&](TVELDORQuery&) {
          entries.push_back({intOf(c, "id"), intOf(c, "taskid"), timeOf(c, "begintime"), timeOf(c, "endtime"),
                             c["filesize"].AsLargeInt(), textOf(c, "dumpfile")});
        });
  });
  return entries;
}

std::string TTaskStore::LoadTaskLogContent(int32_t taskId, int32_t logId) {
  std::string content;
  read([&] {
    TVELDORTable& t = *unitable_;
    t.Open();
    if (t.FindKey({ds::Variant(taskId), ds::Variant(logId)})) content = t.FieldByName("content").AsString();
  });
  return content;
}

void TTaskStore::LoadTaskDetails(TUniTask& task) {
  if (!task.DetailsLoaded()) task.description();
}

void TTaskStore::readDetails(TUniTask& task) {
  read([&] {
    TVELDORTable& t = *taskIds_;
    if (!t.Active()) {
      t.SetTableName("task");
      t.Open();
    }
    if (!t.FindKey({ds::Variant(task.id())})) return;
    for (const TextColumn& c : kTaskDetails) (task.*c.set)(t.FieldByName(c.name).AsString());
  });
}

void TTaskStore::read(const std::function<void()>& work) {
  if (dbmain_->InTransaction()) return work();
  // Inside a transaction the tables are locked once for the whole read, not once per row and
  // blob; nothing is written, so it ends by rolling back.
  dbmain_->StartTransaction();
  platform::ScopeExit end([&] {
    uniquery_->Close();
    dbmain_->Rollback();
  });
  work();
}

}  // namespace tasks
