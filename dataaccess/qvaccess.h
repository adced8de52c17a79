// The driver interface: what the generic data-access components (connection, dataset,
// statement) know of a database driver. A driver derives a connection, a command, a record set
// and a parameter descriptor from these classes; the components talk to them only through the
// virtual operations and through numbered properties and events.
//
// Property and event numbers not known to a class and its driver raise EDAAssertionFailed with
// the number as text, in every build: a number that is silently ignored would leave a setting
// the caller believes is in force.
//
// Threads: the components use these objects on one thread. A driver may run an execution or a
// fetch of all rows on a worker thread; it keeps Executing true meanwhile and reports the end
// through events 100 and 103, which then arrive on that worker thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "dataaccess/daconsts.h"
#include "dataaccess/memdata_list.h"

namespace dataaccess {

// Property numbers shared by the components and every driver (a driver's own start at 50).
inline constexpr int prAutoCommit = 5;
inline constexpr int prScanParams = 11;     // command: whether the driver finds the parameters itself
inline constexpr int prRowsProcessed = 13;  // command: rows of the last execution or fetch
inline constexpr int prUniDirectional = 20;
inline constexpr int prFetchRows = 21;
inline constexpr int prFetchAll = 22;
inline constexpr int prExecuting = 24;
inline constexpr int prLongStrings = 25;
inline constexpr int prEnableEmptyStrings = 26;
inline constexpr int prFlatBuffers = 27;
inline constexpr int prConvertEOL = 28;

// Event numbers.
inline constexpr int evAfterExecute = 100;    // command, TQvBoolEvent: the execution succeeded
inline constexpr int evOnError = 101;         // connection, TQvErrorEvent
inline constexpr int evAfterExecFetch = 102;  // record set, TQvBoolEvent
inline constexpr int evAfterFetchAll = 103;   // record set, TQvBoolEvent
inline constexpr int evOnFetchBlock = 104;    // record set, TQvFetchBlockEvent

using TQvBoolEvent = std::function<void(bool succeeded)>;
// A server error; the driver raises it afterwards unless the handler clears `fail`.
using TQvErrorEvent = std::function<void(EDAError& error, bool& fail)>;
// Before (true) and after (false) each block; `cancel` set before the block stops the fetch.
using TQvFetchBlockEvent = std::function<void(bool before, bool& cancel)>;
// An empty alternative clears the event.
using TQvEvent = std::variant<std::monostate, TQvBoolEvent, TQvErrorEvent, TQvFetchBlockEvent>;

// Command types a driver reports after preparing or executing.
inline constexpr uint8_t ctUnknown = 0;
inline constexpr uint8_t ctStatement = 1;  // returns no rows
inline constexpr uint8_t ctCursor = 2;     // returns rows

// Raises the failure for a property or event number the class does not know.
[[noreturn]] void UnknownPropNumber(int prop);

class TQvCommand;
class TQvRecordSet;

class TQvConnection {
 public:
  TQvConnection() = default;
  virtual ~TQvConnection() = default;
  TQvConnection(const TQvConnection&) = delete;
  TQvConnection& operator=(const TQvConnection&) = delete;

  // Opens the session with the user name, password and server; the components pass "".
  virtual void Connect(const std::string& connectString) = 0;
  // Closes the session. Leaves the connection disconnected even when it raises.
  virtual void Disconnect() = 0;
  virtual void StartTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  // prAutoCommit and prConvertEOL.
  virtual bool SetProp(int prop, const Variant& value);
  virtual bool GetProp(int prop, Variant& value);
  // The base knows no event; every driver accepts evOnError.
  virtual bool SetEventProp(int prop, const TQvEvent& event);
  virtual std::unique_ptr<TQvCommand> CreateCommand() = 0;
  virtual std::unique_ptr<TQvRecordSet> CreateRecordSet() = 0;

  bool GetConnected() const { return connected_; }
  void SetUsername(const std::string& value) { username_ = value; }
  void SetPassword(const std::string& value) { password_ = value; }
  void SetServer(const std::string& value) { server_ = value; }
  const std::string& GetUsername() const { return username_; }
  const std::string& GetPassword() const { return password_; }
  const std::string& GetServer() const { return server_; }
  bool GetAutoCommit() const { return autoCommit_; }
  bool GetConvertEOL() const { return convertEOL_; }
  // How the session's narrow text forms characters; a driver that knows its client's character
  // set says when it is a single-byte one.
  virtual dataset::NarrowText NarrowTextEncoding() const { return dataset::NarrowText::Utf8; }

 protected:
  void SetConnectedState(bool value) { connected_ = value; }

 private:
  bool connected_ = false;
  std::string username_, password_, server_;
  bool autoCommit_ = false;
  bool convertEOL_ = false;
};

// One parameter as the driver sees it. Directions use the dataset layer's numbering.
class TParamDesc {
 public:
  TParamDesc() = default;
  virtual ~TParamDesc() = default;
  TParamDesc(const TParamDesc&) = delete;
  TParamDesc& operator=(const TParamDesc&) = delete;

  virtual void SetDataType(uint16_t value) { dataType_ = value; }
  virtual void SetSize(int32_t value) { size_ = value; }
  virtual Variant GetValue() const { return value_; }
  // IsNull follows the value: true for an empty or null one.
  virtual void SetValue(const Variant& value);
  // The object the value refers to; nullptr for an empty or null value. A value of another kind
  // is EDAAssertionFailed.
  virtual void* GetObject() const;
  // The value becomes a reference to `object`, which stays its caller's.
  virtual void SetObject(void* object);
  virtual bool GetNull() const { return isNull_; }
  // Stores the flag and clears the value.
  virtual void SetNull(bool value);

  const std::string& GetName() const { return name_; }
  void SetName(const std::string& value) { name_ = value; }
  uint16_t GetDataType() const { return dataType_; }
  int32_t GetSize() const { return size_; }
  uint8_t GetParamType() const { return paramType_; }
  void SetParamType(uint8_t value) { paramType_ = value; }
  bool GetConvertEOL() const { return convertEOL_; }
  void SetConvertEOL(bool value) { convertEOL_ = value; }

 private:
  std::string name_;
  uint16_t dataType_ = dtUnknown;
  uint8_t paramType_ = 0;
  int32_t size_ = 0;
  Variant value_;
  bool isNull_ = false;
  bool convertEOL_ = false;
};

// A command's descriptors, which it owns.
class TParamDescs {
 public:
  int Count() const { return int(items_.size()); }
  // Throws std::out_of_range for an index outside the list.
  TParamDesc& Items(int index) const { return *items_.at(size_t(index)); }
  TParamDesc& Add(std::unique_ptr<TParamDesc> desc);
  void Delete(int index);
  void Clear() { items_.clear(); }

 private:
  std::vector<std::unique_ptr<TParamDesc>> items_;
};

// One SQL statement with its parameter descriptors.
class TQvCommand {
 public:
  TQvCommand() = default;
  virtual ~TQvCommand() = default;
  TQvCommand(const TQvCommand&) = delete;
  TQvCommand& operator=(const TQvCommand&) = delete;

  virtual void Prepare() = 0;
  virtual void Unprepare() = 0;
  virtual bool GetPrepared() const = 0;
  // Runs the statement `iters` times, Executing set meanwhile; calls evAfterExecute at the end.
  virtual void Execute(int iters) = 0;
  virtual void SetConnection(TQvConnection* value) { connection_ = value; }
  virtual void SetSQL(const std::string& value) { sql_ = value; }
  virtual int GetCursorState() const = 0;
  virtual void SetCursorState(int value) = 0;
  // A new descriptor of the driver's class, appended to Params.
  virtual TParamDesc& AddParam();
  // prAutoCommit; a driver accepts prScanParams too.
  virtual bool SetProp(int prop, const Variant& value);
  // prScanParams (false: the component finds the parameters) and prExecuting.
  virtual bool GetProp(int prop, Variant& value);
  // evAfterExecute.
  virtual bool SetEventProp(int prop, const TQvEvent& event);

  void DeleteParam(int index) { Params.Delete(index); }
  int GetParamCount() const { return Params.Count(); }
  TParamDesc& GetParam(int index) const { return Params.Items(index); }
  TQvConnection* GetConnection() const { return connection_; }
  const std::string& GetSQL() const { return sql_; }
  bool GetAutoCommit() const { return autoCommit_; }
  bool GetExecuting() const { return executing_; }

  TParamDescs Params;

 protected:
  virtual std::unique_ptr<TParamDesc> CreateParamDesc() { return std::make_unique<TParamDesc>(); }
  void SetExecuting(bool value) { executing_ = value; }
  // Calls the after-execute event when one is set.
  void DoAfterExecute(bool succeeded);

 private:
  TQvConnection* connection_ = nullptr;
  std::string sql_;
  bool autoCommit_ = false;
  TQvBoolEvent afterExecute_;
  std::atomic<bool> executing_{false};
};

// A statement that returns rows, held in the record list. Rows arrive block by block from the
// driver's Fetch: on Open the first block (every block with FetchAll), later blocks when
// navigation passes the held rows.
//
// Block replacement: a UniDirectional record set, or one whose open cursor fetches backwards
// (CanFetchBack), holds only the current block; each Fetch replaces the held rows. Its rows are
// numbered by their place in the result (hidden ones too), its record count is the highest
// number read, and a record-number move stays within the held block.
//
// What a driver's Fetch(fetchBack) does: call FetchBlockEvent(true, cancel) and stop on cancel;
// read at most FetchRows rows; with none, answer false; else StartBlock(fetchBack, rows), then
// AddFetchedRecord for each row in result order; then FetchBlockEvent(false, ...).
//
// A driver's constructor calls CreateCommand (a base constructor cannot reach the driver).
class TQvRecordSet : public TMemData {
 public:
  TQvRecordSet() = default;
  ~TQvRecordSet() override;

  void InternalPrepare() override { GetCommand().Prepare(); }
  void InternalUnprepare() override { GetCommand().Unprepare(); }
  // Executes and fetches the first block; a failure unprepares a record set that Prepare had not
  // prepared.
  void InternalOpen() override;
  bool NeedConvertEOL() const override;
  // The connection's.
  dataset::NarrowText NarrowTextEncoding() const override;
  // Nothing when prepared; a query's fields are known afterwards.
  void Prepare() override;
  void GetNextRecord(uint8_t* recBuf) override;
  void GetPriorRecord(uint8_t* recBuf) override;

  virtual void CreateCommand() = 0;
  void SetCommand(std::unique_ptr<TQvCommand> value) { command_ = std::move(value); }
  virtual bool CanFetchBack() const { return false; }
  virtual void ExecFetch();
  virtual void ExecCommand() { GetCommand().Execute(1); }
  // Fetches until the result is read.
  virtual void FetchAll();
  bool IsQuery() const { return commandType_ == ctCursor; }
  virtual void SetConnection(TQvConnection* value) { GetCommand().SetConnection(value); }
  virtual void SetSQL(const std::string& value) { GetCommand().SetSQL(value); }
  // prUniDirectional, prFetchRows (1..10000, else "FetchRows must be 1..10000."), prFetchAll,
  // prLongStrings, prEnableEmptyStrings, prFlatBuffers.
  virtual bool SetProp(int prop, const Variant& value);
  virtual bool GetProp(int prop, Variant& value);
  // evAfterExecFetch, evAfterFetchAll, evOnFetchBlock.
  virtual bool SetEventProp(int prop, const TQvEvent& event);

  TQvCommand& GetCommand() const;
  uint8_t CommandType() const { return commandType_; }
  // The statement text changed: its kind is unknown until it is prepared or run again.
  void ForgetCommandType() { commandType_ = ctUnknown; }
  bool UniDirectional() const { return uniDirectional_; }
  int32_t FetchRows() const { return fetchRows_; }
  bool GetFetchAll() const { return fetchAll_; }
  bool LongStrings() const { return longStrings_; }
  bool FlatBuffers() const { return flatBuffers_; }

 protected:
  bool FetchKeepsItems() const override { return !ReplacesBlocks(); }
  bool ReplacesBlocks() const { return uniDirectional_ || CanFetchBack(); }
  void SetCommandType(uint8_t value) { commandType_ = value; }
  // Opens a block of `rows` rows (before the held ones with `fetchBack`); a replacing record set
  // drops the held rows here.
  void StartBlock(bool fetchBack, int rows);
  // Appends one row of the current block.
  void AddFetchedRecord(const uint8_t* recBuf);
  void FetchBlockEvent(bool before, bool& cancel);
  void DoAfterExecFetch(bool succeeded);
  void DoAfterFetchAll(bool succeeded);

 private:
  // Moves to the next visible row in the direction, fetching blocks as the held rows run out.
  void fetchOnDemand(uint8_t* recBuf, bool forward);

  std::unique_ptr<TQvCommand> command_;
  uint8_t commandType_ = ctUnknown;
  bool uniDirectional_ = false;
  int32_t fetchRows_ = 25;
  bool fetchAll_ = false;
  bool longStrings_ = true;
  bool flatBuffers_ = true;
  int32_t nextNumber_ = 1;  // of the next row of a replacing block
  TQvBoolEvent afterExecFetch_, afterFetchAll_;
  TQvFetchBlockEvent onFetchBlock_;
};

}  // namespace dataaccess
