// A scripted driver for the tests and benchmarks of the driver interface and the components: rows
// from vectors, block size and fetch-back per script, injected errors (fatal ones lose the
// session), output parameter values, executions on a background thread, and a log of calls.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dataaccess/dbaccess.h"
#include "dataaccess/qvaccess.h"

namespace fakedriver {

using namespace dataaccess;

struct Column {
  std::string name;
  uint16_t dataType;
  uint16_t size;
};

struct Script {
  std::vector<Column> columns;
  std::vector<std::vector<Variant>> rows;
  bool canFetchBack = false;
  bool background = false;                  // Execute ends on a worker thread
  std::map<std::string, int32_t> failures;  // step -> error code, used once; 3113 loses the session
  std::map<std::string, Variant> outputs;   // output parameter values by name
  // By the driver's SQL text: the rows a query gives (else `rows`), the rows a statement touches
  // (else 1).
  std::map<std::string, std::vector<std::vector<Variant>>> results;
  std::map<std::string, int32_t> affected;
  bool log = true;
  std::vector<std::string> calls;
  std::mutex mutex;

  void record(const std::string& call) {
    std::lock_guard lock(mutex);
    if (log) calls.push_back(call);
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex);
    return std::exchange(calls, {});
  }
};

inline constexpr int32_t kLostSession = 3113;

class FakeConnection : public TQvConnection {
 public:
  explicit FakeConnection(Script& s) : script(s) {}
  void Connect(const std::string&) override {
    lost = false;
    step("Connect " + GetUsername() + "/" + GetPassword() + "@" + GetServer());
    SetConnectedState(true);
  }
  void Disconnect() override {
    script.record("Disconnect");
    SetConnectedState(false);
  }
  void StartTransaction() override { step("StartTransaction"); }
  void Commit() override { step("Commit"); }
  void Rollback() override { step("Rollback"); }
  bool SetEventProp(int prop, const TQvEvent& event) override {
    if (prop != evOnError) return TQvConnection::SetEventProp(prop, event);
    onError = std::get<TQvErrorEvent>(event);
    return true;
  }
  std::unique_ptr<TQvCommand> CreateCommand() override;
  std::unique_ptr<TQvRecordSet> CreateRecordSet() override;

  // Logs the call; raises a scripted failure (through event 101 first), or 3114 after a loss.
  void step(const std::string& call) {
    script.record(call);
    const std::string name = call.substr(0, call.find(' '));
    int32_t code = 0;
    if (lost) code = 3114;
    if (auto it = script.failures.find(name); it != script.failures.end()) {
      code = it->second;
      script.failures.erase(it);
    }
    if (!code) return;
    lost = lost || code == kLostSession;
    EDAError e("ORA-" + std::to_string(code) + " in " + name, code);
    bool fail = true;
    if (onError) onError(e, fail);
    if (fail) throw e;
    dataset::Abort();
  }

  Script& script;
  TQvErrorEvent onError;
  bool lost = false;
};

class FakeCommand : public TQvCommand {
 public:
  explicit FakeCommand(Script& s) : script(s) {}
  ~FakeCommand() override { worker = {}; }
  void Prepare() override {
    fake().step("Prepare");
    prepared = true;
  }
  void Unprepare() override {
    script.record("Unprepare");
    prepared = false;
  }
  bool GetPrepared() const override { return prepared; }
  void Execute(int) override {
    std::string call = "Execute " + GetSQL();
    for (int i = 0; i < GetParamCount(); ++i)
      call += " " + GetParam(i).GetName() + "=" +
              (GetParam(i).GetNull() ? "NULL" : GetParam(i).GetValue().asString());
    fake().step(call);
    for (int i = 0; i < GetParamCount(); ++i)
      if (auto it = script.outputs.find(GetParam(i).GetName());
          it != script.outputs.end() && GetParam(i).GetParamType() >= 2)
        GetParam(i).SetValue(it->second);
    if (!script.background) return DoAfterExecute(true);
    SetExecuting(true);
    worker = std::jthread([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      SetExecuting(false);
      DoAfterExecute(true);
    });
  }
  // Rows processed: those fetched so far for a query, else the rows the statement touched.
  bool GetProp(int prop, Variant& value) override {
    if (prop != prRowsProcessed) return TQvCommand::GetProp(prop, value);
    if (GetSQL().starts_with("SELECT"))
      value = fetched;
    else
      value = script.affected.count(GetSQL()) ? script.affected[GetSQL()] : int32_t(1);
    return true;
  }
  int GetCursorState() const override { return state; }
  void SetCursorState(int value) override { state = value; }
  bool SetProp(int prop, const Variant& value) override {
    return prop == prScanParams || TQvCommand::SetProp(prop, value);
  }
  FakeConnection& fake() { return *static_cast<FakeConnection*>(GetConnection()); }

  Script& script;
  bool prepared = false;
  int state = 0;
  int32_t fetched = 0;
  std::jthread worker;
};

class FakeRecordSet : public TQvRecordSet {
 public:
  explicit FakeRecordSet(Script& s) : script(s) { CreateCommand(); }
  ~FakeRecordSet() override { Close(); }
  void CreateCommand() override { SetCommand(std::make_unique<FakeCommand>(script)); }
  bool CanFetchBack() const override { return script.canFetchBack; }
  void InternalInitFields() override {
    for (const Column& c : script.columns) {
      auto f = std::make_unique<TFieldDesc>();
      f->Name = f->ActualName = c.name;
      f->DataType = c.dataType;
      f->Size = c.size;
      f->Length = c.dataType == dtString ? uint16_t(c.size - 1) : c.size;
      f->FieldNo = uint16_t(Fields.Count() + 1);
      Fields.Add(std::move(f));
    }
  }
  void ExecCommand() override {
    TQvRecordSet::ExecCommand();
    const bool query = GetCommand().GetSQL().starts_with("SELECT");
    SetCommandType(query ? ctCursor : ctStatement);
    first = end = 0;
    command().fetched = 0;
    command().state = query ? 7 : 6;  // fetching, or executed
  }
  FakeCommand& command() { return static_cast<FakeCommand&>(GetCommand()); }
  bool Fetch(bool fetchBack) override {
    bool cancel = false;
    FetchBlockEvent(true, cancel);
    if (cancel) return false;
    const size_t from = fetchBack ? (first > size_t(FetchRows()) ? first - size_t(FetchRows()) : 0) : end;
    const auto found = script.results.find(GetCommand().GetSQL());
    const auto& rows = found == script.results.end() ? script.rows : found->second;
    const size_t to = fetchBack ? first : std::min(rows.size(), end + size_t(FetchRows()));
    script.record((fetchBack ? "FetchBack " : "Fetch ") + std::to_string(to - from));
    if (to <= from) {
      if (!fetchBack) command().state = 9;
      return false;
    }
    StartBlock(fetchBack, int(to - from));
    std::unique_ptr<uint8_t[]> buf(AllocRecBuf());
    for (size_t r = from; r < to; ++r) {
      InitRecord(buf.get());
      CreateComplexFields(buf.get(), true);
      for (size_t c = 0; c < script.columns.size(); ++c) PutFieldAsVariant(int(c + 1), buf.get(), rows[r][c]);
      AddFetchedRecord(buf.get());
    }
    if (ReplacesBlocks()) first = from;
    end = to;
    command().fetched = int32_t(end);
    if (end == rows.size()) command().state = 9;  // fetched
    FetchBlockEvent(false, cancel);
    return true;
  }
  using TQvRecordSet::ReplacesBlocks;

  Script& script;
  size_t first = 0, end = 0;  // the held rows' place in the result
};

inline std::unique_ptr<TQvCommand> FakeConnection::CreateCommand() {
  auto c = std::make_unique<FakeCommand>(script);
  c->SetConnection(this);
  return c;
}

inline std::unique_ptr<TQvRecordSet> FakeConnection::CreateRecordSet() {
  auto r = std::make_unique<FakeRecordSet>(script);
  r->SetConnection(this);
  return r;
}

// The session component over the fake driver; 3113 and 3114 mean the session is lost.
class FakeSession : public TCustomDAConnection {
 public:
  explicit FakeSession(Script& s) { SetIConnection(std::make_unique<FakeConnection>(s)); }
  bool IsFatalError(const EDAError& e) const override {
    return e.ErrorCode == kLostSession || e.ErrorCode == 3114;
  }
  FakeConnection& driver() const { return *static_cast<FakeConnection*>(IConnection()); }
};

}  // namespace fakedriver
