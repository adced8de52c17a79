// The Oracle driver: the connection, cursors, parameter descriptors and commands over the client
// library of oracall.h, and the value forms they share (ROWID texts, the 7-byte DATE).
//
// Threads: a connection and its commands are used by one thread at a time. With ThreadSafety on,
// commits and command steps hold the connection's lock, so a worker running a non-blocking
// execution and the owner do not overlap; BreakExec takes no lock and may be called from any
// thread while a call runs (through an error handle of its own). The end of a worker is posted
// to the window thread through the connection's event poster, or, without one, as a task of the
// window-thread runner; DispatchThreadEvent runs its end procedure there. A connection that goes
// away first stops its commands' workers and detaches the commands.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dataaccess/memdata_data.h"
#include "dataaccess/memdata_shared.h"
#include "dataaccess/qvaccess.h"
#include "oracle/oracall.h"
#include "oracle/oraclasses_values.h"
#include "oracle/oraerror.h"
#include "platform/eventqueue.h"

namespace oracle {

using dataaccess::Variant;
using dataset::DateTime;

// Driver property numbers.
inline constexpr int prNonBlocking = 50;
inline constexpr int prThreadSafety = 51;
inline constexpr int prSQLType = 12;
inline constexpr int prErrorOffset = 57;
inline constexpr int prMaxStringSize = 58;
inline constexpr int prFieldsAsString = 59;
inline constexpr int prDateFormat = 60;
inline constexpr int prConnectMode = 62;
inline constexpr int prCharLength = 63;
inline constexpr int prCacheLobs = 64;
inline constexpr int prEnableIntegers = 65;
inline constexpr int prInternalName = 66;
inline constexpr int prScrollable = 67;
inline constexpr int prStoreRowId = 68;
inline constexpr int prCharset = 69;
inline constexpr int prDateLanguage = 70;
inline constexpr int prTimeStampFormat = 71;
inline constexpr int prTimeStampTZFormat = 72;
inline constexpr int prRawAsString = 73;
inline constexpr int prNumberAsString = 74;
inline constexpr int prNumericCharacters = 75;
inline constexpr int prEnableNumbers = 76;
inline constexpr int prUseUnicode = 77;
inline constexpr int prAutoClose = 55;
inline constexpr int prDeferredLobRead = 61;
inline constexpr int evFailover = 150;

// Driver data types beyond the record store's.
inline constexpr uint16_t dtRowId = 100;
inline constexpr uint16_t dtCursor = 101;
inline constexpr uint16_t dtOraBlob = 102;
inline constexpr uint16_t dtOraClob = 103;
inline constexpr uint16_t dtBFile = 104;
inline constexpr uint16_t dtCFile = 105;
inline constexpr uint16_t dtLabel = 106;
inline constexpr uint16_t dtFixedChar = 107;
inline constexpr uint16_t dtRawChar = 108;
inline constexpr uint16_t dtNumber = 115;
inline constexpr uint16_t dtXML = 116;
inline constexpr uint16_t dtFixedWideChar = 117;

// The data types whose value is an object of this driver: a LOB or file locator, a TIMESTAMP,
// INTERVAL or NUMBER descriptor, an object, REF, collection or XML instance. A cursor's
// statement handle is not among them.
bool IsValueObjectType(uint16_t dataType);

// The posted message that ends a worker of RunThread; `first` is its number.
inline constexpr uint32_t kThreadDoneMessage = 0x0400 + 20;

enum TConnectMode : uint8_t { cmNormal = 0, cmSysOper = 1, cmSysDBA = 2 };

uint16_t Swap16(uint16_t value);
uint32_t Swap32(uint32_t value);
// ROWID texts of the three layouts, read from their bytes: an OCI7 cursor data area's ROWID
// field (machine order), an 8.0 descriptor (machine order) and an 8.1 descriptor (big-endian).
std::string RowidToString7(const uint8_t* data);
std::string RowidToString80(const uint8_t* data);
std::string RowidToString81(const uint8_t* data);
std::string URowidToString(const uint8_t* data, size_t length);

// The fields of an old-style cursor data area that this client reads (machine order).
namespace cursorarea {
inline constexpr size_t kSize = 64;
inline constexpr size_t kFunctionType = 2;      // 16-bit: the statement's SQL function
inline constexpr size_t kRowsProcessed = 4;     // 32-bit
inline constexpr size_t kParseErrorOffset = 8;  // 16-bit
inline constexpr size_t kWarning = 14;          // 8-bit flags: bit 0 any warning, bit 5 compiled with errors
inline constexpr size_t kRowid = 20;            // read by RowidToString7
}  // namespace cursorarea
// The 7-byte DATE. Years before 1 AD are refused (EOraError-free plain failure), as are dates
// the value cannot hold.
DateTime OraDateToDateTime(const uint8_t* date);
double OraDateToMs(const uint8_t* date);
void DateTimeToOraDate(DateTime value, uint8_t* date);
void MsToOraDate(double ms, uint8_t* date);

class TOCICommand;

struct TNlsSessionParam {
  std::string Name;
  std::string Value;
  bool IsUserDefined = false;
};

// Runs a task on the window thread later (the program installs a queued call of its event loop).
// The task may throw; the runner reports what it throws, and swallows dataset::EAbort.
using WindowThreadRunner = std::function<void(std::function<void()> task)>;
// Every connection without a poster of its own delivers the end of its workers through this
// runner. Safe to call from any thread; an empty runner removes it.
void SetWindowThreadRunner(WindowThreadRunner runner);

// Told when the pieces of LONG values did not match the parameters of an old-style statement;
// `message` is one of the four piece-count texts ("Too many Input params", "Not enough Input
// params", "Too many Output params", "Not enough Output params"). The statement has gone on: a
// value the library wanted beyond the parameters was given empty, one it gave beyond them was
// dropped, a parameter it never asked for was not stored, and an output parameter it gave nothing
// for is null. Called on the thread that runs the statement, once per text and execution, while
// the statement holds its connection: the handler must not use the connection.
// Without a handler, a mismatch that cuts or drops a value breaks the statement off and raises
// the text instead, so no value is lost unnoticed; an output parameter given nothing is null
// either way. Safe to call from any thread; an empty handler removes it.
using PieceWarningHandler = std::function<void(const std::string& message)>;
void SetPieceWarningHandler(PieceWarningHandler handler);

// Called with the failover event and type; Retry asks the library to try again.
using TFailoverEvent = std::function<void(int state, int type, bool& retry)>;

// How the bytes of text in a client character set form characters.
enum class TClientTextEncoding { Utf8, SingleByte, MultiByte };
// The encoding of the character set `name` (UTF8 and AL32UTF8 are UTF-8; a name whose first
// number is 7 or 8, such as US7ASCII or WE8ISO8859P1, is a single-byte set; any other a multi-byte
// one). An empty name stands for the client's own set, the part of NLS_LANG after its ".", and
// UTF-8 when NLS_LANG names none.
TClientTextEncoding ClientTextEncoding(std::string_view name);
// How the text of the character set `name` (empty: the client's own, as above) forms characters,
// where a text longer than its field is cut: UTF-8, a single-byte set, or the lead-byte scheme of
// a known double-byte set (JA16SJIS, JA16EUC, ZHS16GBK, ZHT16BIG5, KO16KSC5601, ...). Any other
// multi-byte set is taken for UTF-8.
dataset::NarrowText NarrowTextOfCharset(std::string_view name);

class TOCIConnection : public dataaccess::TQvConnection {
 public:
  TOCIConnection();
  ~TOCIConnection() override;

  // Opens the session. A failure leaves nothing attached: handles allocated so far are freed.
  void Connect(const std::string& connectString) override;
  // Ends and detaches on a best-effort basis, then always frees the handles and leaves the
  // connection disconnected; the first failure of ending is raised afterwards.
  void Disconnect() override;
  void StartTransaction() override { Commit(); }
  void Commit() override;
  void Rollback() override;
  bool SetProp(int prop, const Variant& value) override;
  bool GetProp(int prop, Variant& value) override;
  bool SetEventProp(int prop, const dataaccess::TQvEvent& event) override;
  std::unique_ptr<dataaccess::TQvCommand> CreateCommand() override;
  // A TOCIRecordSet on this connection.
  std::unique_ptr<dataaccess::TQvRecordSet> CreateRecordSet() override;

  void BreakExec();
  void* GetSvcCtx() const;
  // The logon data area (64 bytes): the old-style session's own, or, with the handle calls, one
  // made from the service context on first use.
  uint8_t* GetLDA();
  void* GetErrorHandle() const { return hError_; }
  void* GetEnvironment() const { return hEnv_; }
  void SetOCICallStyle(uint8_t value);
  uint8_t GetOCICallStyle() const { return ociCallStyle_; }
  uint8_t GetOCICallStyleCommand() const { return ociCallStyleCommand_; }
  // The server's version number ("10.2.0.1.0 "), cached while connected.
  std::string GetServerVersion();
  void GetSessionParameters();
  // Only the five NLS names this connection keeps are accepted; quotes in the value are doubled.
  void SetNlsParameter(const std::string& name, const std::string& value);
  uint16_t MaxStringSize();
  uint16_t GetCharLength() const { return charLength_; }
  uint16_t GetCharsetId() const { return charsetId_; }
  // The `Charset` option's name; empty when text travels in the client's own character set.
  const std::string& GetCharset() const { return charset_; }
  // How the text of the connection's VARCHAR2 values and CLOBs is encoded: by the `Charset`
  // option's set when the client knows it, else by the client's own.
  TClientTextEncoding TextEncoding() const;
  // By NarrowTextOfCharset of the `Charset` option's set when the client knows it, else of the
  // client's own: a single-byte set's text is cut at a field's byte width exactly, a double-byte
  // set's after its last whole character, UTF-8 and other sets at a UTF-8 character's start.
  dataset::NarrowText NarrowTextEncoding() const override;
  bool GetEnableIntegers() const { return enableIntegers_; }
  bool GetEnableNumbers() const { return enableNumbers_; }
  bool GetUseUnicode() const { return useUnicode_; }
  bool GetThreadSafety() const { return threadSafety_; }
  int32_t LastError() const { return lastError_; }
  const std::string& NlsValue(int index) const { return nls_[size_t(index)].Value; }

  void BusyWait();
  void Release();
  void CheckOCI() const;
  void CheckOCI80() const;
  // Raises an OCI status through the error handler (status 0 passes).
  void Check(sword status, uint8_t style = 0, bool useHandler = true);
  void OraError(uint8_t style, sword status, bool useHandler);

  // Runs `proc` on a worker; its end is posted to the poster and `endProc` (given the failure,
  // if any) runs when the window thread dispatches that event. Without a poster set here, the end
  // goes through the window-thread runner (SetWindowThreadRunner); with neither, the worker
  // refuses to start. Returns the worker's number.
  using EndProc = std::function<void(std::exception_ptr)>;
  int64_t RunThread(std::function<void()> proc, EndProc endProc);
  // Breaks the worker's client call, then joins it. With `freeContext` its end procedure is
  // dropped. True when the worker was running.
  bool StopThread(int64_t thread, bool freeContext);
  // On the window thread: runs the end procedure of a finished worker with its failure; without
  // an end procedure the failure is raised here.
  void DispatchThreadEvent(const platform::PostedEvent& event);
  void SetEventPoster(platform::EventPoster* poster) { poster_ = poster; }
  // Commands register themselves while they run on this connection: a connection that goes away
  // first stops their workers and detaches them, so no command reaches a destroyed connection.
  void AttachCommand(TOCICommand* command);
  void DetachCommand(TOCICommand* command);
  // The session's failover handler (the driver's event 150); empty clears it.
  void SetOnFailover(TFailoverEvent handler) { onFailover_ = std::move(handler); }

 private:
  friend class TOCICommand;
  void connect8();
  void freeHandles8();
  TOCICommand& internalCommand();
  void setNlsEntry(int index, const std::string& value);
  static sb4 failoverCallback(void* svc, void* env, void* context, ub4 type, ub4 event);

  bool threadSafety_ = true;
  uint16_t maxStringSize_ = 0;
  uint8_t ociCallStyle_ = 0;
  uint8_t ociCallStyleCommand_ = 0;
  bool ownsSession_ = true;
  int32_t lastError_ = 0;
  uint8_t connectMode_ = cmNormal;
  bool enableIntegers_ = true;
  bool enableNumbers_ = false;
  std::string internalName_;
  dataaccess::TQvErrorEvent onError_;
  std::unique_ptr<TOCICommand> command_;
  std::string serverVersion_;
  std::string charset_;
  uint16_t charsetId_ = 0;
  uint16_t charLength_ = 1;
  bool detectCharLength_ = false;
  bool useUnicode_ = false;
  std::array<TNlsSessionParam, 5> nls_;
  std::vector<uint8_t> lda_, hda_;
  void* hSvcCtx_ = nullptr;
  void* hServer_ = nullptr;
  void* hSession_ = nullptr;
  void* hError_ = nullptr;
  void* hEnv_ = nullptr;
  void* hBreakError_ = nullptr;
  std::recursive_mutex mutex_;
  TFailoverEvent onFailover_;
  struct FailoverContext {
    void* callback;
    void* context;
  } failover_{};

  struct Worker {
    std::jthread thread;
    EndProc endProc;
    std::exception_ptr error;
  };
  platform::EventPoster* poster_ = nullptr;
  // The poster through the window-thread runner, made on first non-blocking use.
  std::unique_ptr<platform::EventPoster> windowPoster_;
  uint64_t serial_;
  std::vector<TOCICommand*> commands_;
  std::mutex workersLock_;
  std::map<int64_t, std::unique_ptr<Worker>> workers_;
  int64_t nextWorker_ = 1;
};

// One statement handle, shared by reference.
class TOraCursor : public dataaccess::TSharedObject {
 public:
  TOraCursor();
  // Statuses of the calls that make the statement handle go to `check` when given (a command
  // passes its connection's, so that a link lost there reaches the connection's handler), else
  // to the shared Check.
  void AllocCursor(const std::function<void(sword)>& check = nullptr);
  void FreeCursor();
  void* GetStatement(const std::function<void(sword)>& check = nullptr);
  // The statement handle went with a client environment freed since it was made.
  bool StatementLost() const;
  void SetOCICallStyle(uint8_t value);
  // The cursor data area of the old call style (64 bytes), made on first use.
  uint8_t* CursorArea();
  // Read by BreakExec and the owner while a worker runs or fetches on the cursor.
  std::atomic<uint8_t> State = 0;
  uint8_t OCICallStyle = 0;
  bool Scrollable = false;
  void* hEnv = nullptr;
  void* hError = nullptr;

 protected:
  ~TOraCursor() override;

 private:
  // A statement handle the freeing of its environment took with it: forgotten, never freed.
  void forgetStaleStatement();

  void* statement_ = nullptr;
  uint32_t statementGeneration_ = 0;
  std::vector<uint8_t> area_;
};

class TOraLob;
class TOraFile;
class TOraXML;

// A parameter whose value lives in a buffer the library reads and writes: `Length` elements of
// the element size, with one 16-bit indicator per element (-1 null). LOB, BFILE, TIMESTAMP,
// INTERVAL, NUMBER and XMLTYPE parameters hold a value object instead (one reference), given by
// SetObject or made on first use; TIMESTAMP, INTERVAL, NUMBER and XMLTYPE keep their null state in
// that object, and an XMLTYPE value is its document's text.
class TOraParamDesc : public dataaccess::TParamDesc {
 public:
  TOraParamDesc();
  ~TOraParamDesc() override;

  // The held value object (a TSharedObject of the parameter's type), or nullptr.
  void* GetObject() const override { return object_; }
  // Holds `object` (a reference is taken; the previous one is released).
  void SetObject(void* object) override;
  // The value objects by type, made when missing; another data type raises.
  TOraLob& GetAsLob();
  TOraFile& GetAsFile();
  TOraTimeStamp& GetAsTimeStamp();
  TOraInterval& GetAsInterval();
  TOraNumber& GetAsNumber();
  TOraXML& GetAsXML();
  // Brings element 1's indicator in line with the held value before a bind: a LOB or cursor is
  // not null, a BFILE is not null when it names a file or is open, a LONG is null when empty.
  void SyncIndicator();
  // The indicator the library reads and writes for element 1.
  int16_t* BindIndicator();
  // Wide text (dtWideString, 117) as UTF-16 of at most (Size - 2) / 2 characters; an empty text
  // makes the element null. Text types are converted.
  std::u16string GetItemAsWideString(int index) const;
  void SetItemAsWideString(int index, const std::u16string& value);
  int64_t GetItemAsInt64(int index) const;
  void SetItemAsInt64(int index, int64_t value);

  void SetDataType(uint16_t value) override;
  void SetSize(int32_t value) override;
  Variant GetValue() const override;
  void SetValue(const Variant& value) override;
  bool GetNull() const override;
  void SetNull(bool value) override;

  void SetLength(int32_t value);
  int32_t GetLength() const { return length_; }
  void SetTable(bool value) { table_ = value; }
  bool GetTable() const { return table_; }
  bool Quoted = false;
  int32_t ElementSize() const;

  int16_t GetIndicator(int index) const;
  void SetIndicator(int index, int16_t value);
  bool GetItemNull(int index) const { return GetIndicator(index) < 0; }
  void SetItemNull(int index, bool value);
  // Texts longer than Size - 1 bytes are refused ("Value of parameter ... is too long").
  std::string GetItemAsString(int index) const;
  void SetItemAsString(int index, const std::string& value);
  int32_t GetItemAsInteger(int index) const;
  void SetItemAsInteger(int index, int32_t value);
  double GetItemAsFloat(int index) const;
  void SetItemAsFloat(int index, double value);
  DateTime GetItemAsDateTime(int index) const;
  void SetItemAsDateTime(int index, DateTime value);
  std::vector<uint8_t> GetItemAsBytes(int index) const;
  void SetItemAsBytes(int index, const std::vector<uint8_t>& value);
  Variant GetItemAsVariant(int index) const;
  void SetItemAsVariant(int index, const Variant& value);
  // The real byte length of element `index` (text without its terminator, bytes without the
  // length word).
  int32_t ItemLength(int index) const;

  // The REF CURSOR of a dtCursor parameter, which the parameter holds; raises for other types.
  TOraCursor& GetAsCursor();

  // The whole value of a LONG (dtMemo) or LONG RAW (dtBlob) parameter, sent piece by piece.
  std::string LongValue;
  void* BindHandle = nullptr;
  // The elements an array parameter of the old call style holds; the library reads it at execution.
  ub4 BoundElements = 0;
  uint8_t* Buffer() { return buffer_.data(); }
  int16_t* Indicators() { return indicators_.data(); }
  uint16_t* Lengths() { return lengths_.data(); }

 private:
  void allocate();
  uint8_t* element(int index);
  const uint8_t* element(int index) const;
  void checkIndex(int index) const;

  std::vector<uint8_t> buffer_;
  std::vector<int16_t> indicators_;
  std::vector<uint16_t> lengths_;
  TOraCursor* cursor_ = nullptr;
  dataaccess::TSharedObject* object_ = nullptr;
  void releaseObject();
  template <class T>
  T& heldObject(const std::function<T*()>& make);
  int32_t length_ = 1;
  bool table_ = false;
};

class TOCICommand : public dataaccess::TQvCommand {
 public:
  TOCICommand();
  ~TOCICommand() override;

  void Prepare() override;
  void Unprepare() override;
  bool GetPrepared() const override { return GetCursorState() >= 3; }
  void Execute(int iters) override;
  void SetConnection(dataaccess::TQvConnection* value) override;
  void SetSQL(const std::string& value) override;
  int GetCursorState() const override { return cursor_->State; }
  void SetCursorState(int value) override;
  bool SetProp(int prop, const Variant& value) override;
  bool GetProp(int prop, Variant& value) override;

  TOraParamDesc& Param(int index) const { return static_cast<TOraParamDesc&>(GetParam(index)); }
  void BreakExec();
  // The ROWID of the row the last execution touched (empty when none), or the stored one when the
  // cursor is inactive. Texts by the library's level: 8.0 and 8.1 descriptors are read here (a
  // universal ROWID at 8.1 too), from 9 on the library gives the text.
  std::string GetRowId();
  uint16_t SQLType() const { return sqlType_; }
  int32_t RowsProcessed() const { return rowsProcessed_; }
  // The OCI type that a data type binds or defines as.
  uint16_t GetOraType(uint16_t dataType, uint16_t subType) const;

  // The select list: the item at `position` (from 1) into `field`; false past the last item.
  bool DescribeField(int position, dataaccess::TFieldDesc& field, bool longStrings, bool flatBuffers);
  // Bytes of a field's buffer for one row.
  static int32_t FieldBufferLength(const dataaccess::TFieldDesc& field);
  void DefineField(dataaccess::TFieldDesc& field, uint8_t* buffer, int16_t* indicator, uint16_t* length);
  void DefineArrayField(dataaccess::TFieldDesc& field, uint8_t* buffer, int16_t* indicator, uint16_t* length,
                        uint32_t valueStride);
  void DefinePiecewise(dataaccess::TFieldDesc& field, uint8_t* buffer, int16_t* indicator);
  // An object, collection or REF column of type `tdo`: for each row of a block the library puts
  // the row's instance (or REF) into `instances` and its indicator structure into `indicators`,
  // both arrays of pointers; a null pointer in `instances` makes it allocate one.
  void DefineObjectField(dataaccess::TFieldDesc& field, void* tdo, void** instances, void** indicators);
  // A column whose pieces the library asks for through `callback` (with `context`) while it
  // fetches; the character-set id is set when not 0.
  void DefineDynamic(dataaccess::TFieldDesc& field, void* context, void* callback, uint16_t charsetId);
  // Rows received, at most `rows`; after the last row the cursor is closed (state 9). A value
  // the buffers cut (indicator above 0) raises "The value of column ... was truncated"; the rows
  // of that block are in the buffers all the same (FetchedRows counts them) and the next fetch
  // goes on after them.
  int Fetch(uint32_t rows);
  // A scrollable cursor's fetch from a place (OCI_FETCH_ABSOLUTE at row `offset`, from 1, or
  // OCI_FETCH_LAST); the fetched-rows counter becomes the highest row number fetched. A cursor
  // that is not scrollable fetches only forward. With `truncatedColumn`, a cut value is not
  // raised: the name of its column is stored there (empty when nothing was cut).
  int FetchAt(uint32_t rows, uint16_t orientation, int32_t offset, std::string* truncatedColumn = nullptr);
  int32_t FetchedRows() const { return fetchedRows_; }
  // One row of a piecewise fetch: the raw status (0, 99 while pieces are wanted, 100 after the
  // last row, which closes a forward cursor); other failures raise. OCI_FETCH_NEXT or a place of a
  // scrollable cursor.
  sword FetchPiece(uint16_t orientation, int32_t offset);
  // Ends the query's fetch (state 9, all fetched); an old-style cursor cancels the rows the
  // server still holds for it.
  void Close();
  // Describes the select list of a prepared query without running it.
  void DescribeOnly();
  // Later describes and fetches work on `value` (a REF CURSOR the command's parameter holds);
  // nullptr goes back to the command's own statement.
  void SetCursor(TOraCursor* value);
  TOraCursor* GetCursor() const { return cursor_; }
  bool OwnCursor() const { return cursor_ == ownCursor_; }
  uint8_t GetOCICallStyle() const { return ociCallStyle_; }
  bool GetNonBlocking() const { return nonBlocking_; }

 protected:
  std::unique_ptr<dataaccess::TParamDesc> CreateParamDesc() override;

 private:
  friend class TOCIConnection;
  friend class TOCIRecordSet;
  TOCIConnection& conn() const;
  void checkSession() const;
  void checkActive() const;
  void check(sword status);
  // The statement handle of `cursor` (this command's own or a REF CURSOR's), made when missing
  // with every status going through check.
  void* statementOf(TOraCursor& cursor);
  void scanParams();
  void bindParams();
  void bindParam(TOraParamDesc& param);
  // An object, collection or REF parameter: bound to its value object's instance (OCIBindObject).
  void bindObjectParam(TOraParamDesc& param);
  void bindParam7(TOraParamDesc& param, uint16_t type, uint8_t* buffer, int32_t size, uint16_t* lengths);
  void doExecute();
  void endExecute(std::exception_ptr error);
  sword internalExecute();
  sword internalExecute7();
  // After an execution that touched rows: input LOB values go to the server, output ones come back.
  void exchangeLobs();
  // Raises when the library cut an output text or bytes value to its parameter's size.
  void checkOutputTruncation();
  void setDefineCharset(void* define, const dataaccess::TFieldDesc& field);
  // Answers the library's requests for the pieces of LONG values while it needs data.
  void sendLongPieces(sword& status, ub4 mode);
  void sendLongPieces7(sword& status);
  // Raises for a cut value among the rows received, or names its column in `truncatedColumn`.
  int checkTruncation(int received, std::string* truncatedColumn);

  TOraCursor* cursor_;
  TOraCursor* ownCursor_;
  uint8_t ociCallStyle_ = 0;
  bool autoParse_ = true;
  bool nonBlocking_ = false;
  uint16_t sqlType_ = 0;
  int32_t rowsProcessed_ = 0;
  std::atomic<int32_t> fetchedRows_ = 0;
  uint16_t errorOffset_ = 0;
  int iters_ = 1;
  bool fieldsAsString_ = false;
  bool cacheLobs_ = true;
  bool storeRowId_ = false;
  std::string rowId_;
  bool rawAsString_ = false;
  bool numberAsString_ = false;
  struct DefinedColumn {
    std::string name;
    const int16_t* indicator;
    uint32_t stride;  // bytes between rows' indicators; 0 for a one-row define
  };
  std::vector<DefinedColumn> defined_;
  std::vector<size_t> positionMap_;
  std::string cleanSQL_;
  int64_t worker_ = 0;
  // Run when the connection goes away under the command (the record set stops its fetch).
  std::function<void()> beforeConnectionGone_;
  void connectionGone();
};

// One BLOB or CLOB value: a LOB locator and, when Cached, the value's bytes as blob pieces. A
// Unicode blob makes a CLOB travel as UTF-16. Until ReadLob the pieces may not hold the server's
// value (NeedsReading); reads then go to the server.
//
// Uncached, the value is the server's, read through the locator: GetSize answers its bytes (as
// the client receives them) and AsString/AsWideString give its text; a NULL LOB is empty.
//
// Units: LengthLob counts characters of a CLOB and bytes otherwise. The position of an uncached
// Read counts characters for a Unicode CLOB and bytes otherwise (of the text in the client's
// character set for a CLOB); Read's count and result are bytes of the destination, and count 0
// reads to the end.
//
// A CLOB's text that is not Unicode travels in the character set VARCHAR2 text of the same
// connection travels in (SetTextCharset): the `Charset` option's, else the client's own, which
// the client library takes from NLS_LANG (UTF-8 when NLS_LANG names none). Its bytes are split
// and counted by that set: UTF-8 by its lead bytes, a single-byte set a character a byte; in
// another multi-byte set the text is written in one call and read as one stream, so that no
// character is cut and no position miscounted.
// Not thread-safe.
class TOraLob : public dataaccess::TBlob {
 public:
  explicit TOraLob(void* svcCtx, bool isUnicode = false);

  void AllocLob();
  void FreeLob();
  // A temporary LOB of the session: lobType 1 is a BLOB, 2 a CLOB.
  void CreateTemporary(uint8_t lobType);
  // 0 for a locator that is not initialised.
  uint32_t LengthLob() const;
  // The whole server value into the pieces (nothing for an empty value).
  void ReadLob();
  // The pieces become the server value: trimmed to nothing, then written piece by piece.
  void WriteLob();

  void CheckValue() override;
  uint64_t GetSize() const override;
  uint64_t Read(uint64_t position, uint64_t count, void* dest) override;
  void Write(uint64_t position, uint64_t count, const void* source) override;
  void LoadFromStream(std::istream& stream) override;
  // Uncached: the server value in chunks of the piece size.
  void SaveToStream(std::ostream& stream) override;

  bool GetCached() const { return cachedLob_; }
  // Raises "Cannot disable lob caching. Lob is not empty." when turned off while pieces hold data.
  void SetCached(bool value);
  bool NeedsReading = false;
  // nullptr also for a locator that went with the shared environment when that was freed (another
  // Oracle home unloaded the client): such a locator is never used or freed, and the next
  // allocation replaces it. The pieces read keep their data; reading the server value behind it
  // (uncached, or not yet read) raises.
  void* Locator() const { return staleLocator() ? nullptr : locator_; }
  // Where binds and defines write a locator (allocated first when missing).
  void** LocatorPtr() {
    AllocLob();
    return &locator_;
  }
  void SetSvcCtx(void* value) { svcCtx_ = value; }
  // The character set the connection's text travels in (see above); a lob made without it takes
  // the client's own.
  void SetTextCharset(const TOCIConnection& connection);

 protected:
  ~TOraLob() override;
  virtual ub4 DescriptorType() const { return OCI_DTYPE_LOB; }
  // Raises unless the locator exists, the service context is known and the locator is initialised.
  void CheckLob() const;
  // Raises when the locator went with the client of another Oracle home: the server value it
  // stood for can no longer be read.
  void refuseLost() const;
  ub1 CharsetForm() const;
  bool IsInit() const;
  ub2 CharsetId() const { return IsUnicode() ? 1000 : textCharsetId_; }
  void* svcCtx() const { return svcCtx_; }

 private:
  bool staleLocator() const { return allocated_ && locatorGeneration_ != OCIEnvironmentGeneration; }

  void* locator_ = nullptr;
  uint32_t locatorGeneration_ = 0;   // of the environment the locator was allocated under
  ub4 locatorType_ = OCI_DTYPE_LOB;  // kept: the destructor cannot ask the derived class
  void* svcCtx_;
  bool allocated_ = false;
  bool cachedLob_ = true;
  mutable ub1 form_ = 0;
  ub2 textCharsetId_ = 0;  // 0: the client's own
  TClientTextEncoding textEncoding_ = ClientTextEncoding("");

  // The size in bytes of the server value as Read delivers it.
  uint64_t serverBytes() const;
  // The bytes of a CLOB's text in the client's multi-byte character set from byte `position`:
  // up to `count` of them into dest, or only counted when dest is nullptr.
  uint64_t clobBytes(uint64_t position, uint64_t count, char* dest) const;
  // The same through one streamed read, for a set whose characters the client cannot split.
  uint64_t streamedClobBytes(uint64_t position, uint64_t count, char* dest) const;
};

// One BFILE: a file locator naming a directory alias and a file name; the value is read like a
// LOB's while the file is open. The name went with a locator of another Oracle home's client:
// reading it (FileDir, FileName, IsNull, Exists) raises, as reading a LOB's value does, until
// AllocLob gives a new locator to name.
class TOraFile : public TOraLob {
 public:
  explicit TOraFile(void* svcCtx) : TOraLob(svcCtx) {}

  void Open();
  void Close();
  bool IsOpen() const { return opened_; }
  // False also when the directory does not exist.
  bool Exists();
  std::string FileDir();
  std::string FileName();
  void SetFileDir(const std::string& value);
  void SetFileName(const std::string& value);
  // Applies a pending name change; opens the file when it was not opened here and exists.
  void Refresh();
  bool IsNull();

 protected:
  ~TOraFile() override;
  ub4 DescriptorType() const override { return OCI_DTYPE_FILE; }

 private:
  void readName();
  void setName(const std::string& dir, const std::string& name);
  std::string dir_, name_;
  std::string newDir_, newName_;
  bool nameChanged_ = false;
  bool opened_ = false;
};

// The rows of one query on an OCI8 session, fetched block by block into the record list.
//
// Each block of FetchRows rows is fetched into the flat fetch buffer (values and 2-byte
// indicators, one area per column) and becomes records only when the whole block has arrived, so
// a fetch that fails part way leaves the rows held, the current row and the count as they were,
// and raises. A value cut by the buffers keeps its block: the rows arrive, then "The value of
// column ... was truncated" is raised, and the next fetch goes on after them. A PL/SQL block with
// a dtCursor parameter opens as the rows of that REF CURSOR. With the command's prScrollable on,
// the record set holds one block at a time, fetched from its place in the result, and rows are
// numbered by that place. BLOB and CLOB columns give a TOraLob per row, BFILE columns a TOraFile,
// both read whole at the fetch unless DeferredLobRead is on or CacheLobs off; TIMESTAMP, INTERVAL
// and (with EnableNumbers) wide NUMBER columns give their value objects, REF CURSOR columns a
// TOraCursor, LONG and LONG RAW columns a blob filled piece by piece (the Lite client fetches one
// row at a time for that). Object, collection and REF columns give a TOraObject, TOraArray,
// TOraNestTable or TOraRef per row over the instance the library made (OCIDefineObject); the
// old call style refuses them ("Data type is not supported.").
//
// Threads: used by one thread. With FetchAll on a non-blocking command, Open returns after the
// first block and a worker fetches the rest: navigation past the rows held waits for the worker's
// next block, SetToEnd waits for its end, and a failure of the worker is raised in the caller
// that next asks for rows (the record set is then back to "fetch stopped", never left fetching).
// Close stops the worker between blocks and breaks its current call. The after-fetch-all event
// arrives on the worker thread.
class TOCIRecordSet : public dataaccess::TQvRecordSet {
 public:
  TOCIRecordSet();
  ~TOCIRecordSet() override;

  void CreateCommand() override;
  void SetConnection(dataaccess::TQvConnection* value) override;
  void InternalPrepare() override;
  void InternalUnprepare() override;
  void InternalOpen() override;
  // Runs the statement again and reads its rows afresh (the fields stay); a statement given from
  // outside is closed and opened again, or refused ("Reopen is not allowed") when it has no kind.
  void Reopen() override;
  void InternalClose() override;
  void InternalInitFields() override;
  void ExecCommand() override;
  void ExecFetch() override;
  void FetchAll() override;
  // Waits for a background fetch to end (raising its failure) instead of polling its state.
  void SetToEnd() override;
  // A scrollable cursor drops the rows it holds, so that the next row read is the first.
  void SetToBegin() override;
  // A scrollable cursor whose bookmarked row is no longer held fetches it again: one block
  // backward or forward when it lies within FetchRows rows of the rows held, else the block that
  // starts at it.
  void SetToBookmark(const dataaccess::TRecBookmark& bookmark) override;
  bool CanFetchBack() const override;
  bool Fetch(bool fetchBack = false) override;
  bool SetProp(int prop, const Variant& value) override;
  bool GetProp(int prop, Variant& value) override;

  void InitFields() override;
  // Cursor, LOB, BFILE, TIMESTAMP, INTERVAL and NUMBER fields hold a value object each,
  // released with the record.
  // With blobs: empty value objects for a record made here (an insert).
  void CreateComplexFields(uint8_t* recBuf, bool withBlobs) override;
  // The value objects are complex and shared (GetObjectTypes): the dataset layer references and
  // releases them. An edit gets copies of TIMESTAMP, INTERVAL and NUMBER objects and shares the
  // others.
  dataaccess::TDataTypeSet GetComplexTypes() const override;
  dataaccess::TDataTypeSet GetObjectTypes() const override;
  void CopyComplexFields(const uint8_t* source, uint8_t* dest, bool withBlobs) override;
  // A CLOB gives its whole text, a BLOB or BFILE its bytes, a TIMESTAMP its date-time, an
  // INTERVAL and a NUMBER their text.
  Variant GetFieldAsVariant(int fieldNo, const uint8_t* recBuf) override;
  // A BFILE field's stream goes over the row's file object (nullptr when the record has none).
  dataaccess::TBlob* GetStreamBlob(int fieldNo, const uint8_t* recBuf) const override;
  // Fixed-length text (107, 117) goes over whole, with CR LF line ends when they are asked for.
  void GetFieldData(const dataaccess::TFieldDesc& field, const uint8_t* recBuf, void* dest,
                    size_t destSize) override;

  TOCICommand& Command() const { return static_cast<TOCICommand&>(GetCommand()); }
  bool FetchingInBackground() const { return fetchThread_.joinable(); }
  // Bytes of the flat fetch buffer (0 before the first block and after FetchRows changes).
  size_t FlatBufferSize() const { return flat_.size(); }

 private:
  // How a column's value reaches the record: copied from the flat buffer, or held by an object
  // made for each row before the fetch (its handle in the flat buffer, or, for LONG and LONG RAW,
  // its pieces handed to the library by the define callback).
  enum class ColumnKind : uint8_t { Plain, Lob, File, TimeStamp, Interval, Number, Cursor, Long, Object };
  struct Column {
    uint16_t dataType = 0, subType = 0, length = 0, size = 0, fieldNo = 0;  // as described
    int fieldIndex = 0;  // in Fields, after the child fields of the object columns before it
    bool fixed = false;
    std::string name;
    uint32_t bufferLength = 0;                    // one row's value
    size_t valueOffset = 0, indicatorOffset = 0;  // of its areas in the flat buffer
    ColumnKind kind = ColumnKind::Plain;
    bool unicode = false;    // a CLOB or LONG travelling as UTF-16
    void* define = nullptr;  // the define handle of a LONG column
    // An object, collection or REF column: its type (held by its field) and, per row of a block,
    // the indicator structure the library hands back with the row's instance.
    dataaccess::TObjectType* objectType = nullptr;
    std::vector<void*> objectIndicators;
  };
  // The library's define callback of LONG and LONG RAW columns: a fresh piece of the row's blob.
  static sb4 defineCallback(void* context, void* define, ub4 iteration, void** buffer, ub4** length,
                            ub1* piece, void** indicator, ub2** code);
  // The objects of the block being fetched, for the define callback.
  std::vector<dataaccess::TSharedObject*>* callbackObjects_ = nullptr;
  // One row at a time (the Lite client): LONG values arrive piece by piece at the fetch.
  bool oneRow_ = false;
  int blockRows() const { return oneRow_ ? 1 : FetchRows(); }
  bool fetchOneRow();
  void findCommandType();
  TOraParamDesc* refCursorParam() const;
  void attachRefCursor();
  void detachRefCursor();
  void allocFetchBuffer();
  void defineColumns();
  // One block into the flat buffer from the place given, with the value objects of its rows.
  // A value cut by the buffers is not raised here: its column's name goes to `truncatedColumn`.
  int fetchBlock(uint16_t orientation, int32_t offset, int rows,
                 std::vector<dataaccess::TSharedObject*>& objects, std::string& truncatedColumn);
  // A value object per row of the block for each column that needs one, its handle in the flat
  // buffer.
  std::vector<dataaccess::TSharedObject*> prepareObjects();
  // The received rows' objects take their values (LOBs are read or marked to be read) and the
  // rest are released.
  void finishObjects(std::vector<dataaccess::TSharedObject*>& objects, int received);
  void releaseObjects(std::vector<dataaccess::TSharedObject*>& objects);
  // Appends the block's rows, which take over `objects`; on a scrollable cursor they replace the
  // rows held and are numbered by their place in the result from `firstRow`.
  void addRows(const std::vector<uint8_t>& buffer, int rows, int firstRow = 0,
               const std::vector<dataaccess::TSharedObject*>& objects = {});
  int rowsBeforeHeld() const { return FirstItem != nullptr ? FirstItem->Order - 1 : 0; }
  int lastRowHeld() const { return LastItem != nullptr ? LastItem->Order : 0; }
  // One block of a scrollable cursor from row `firstRow`.
  bool fetchFrom(int firstRow, int rows);
  // One block with the fetch events around it; the rows are numbered from `firstRow` (0: as
  // they come). Unprepares a statement read to its end when AutoClose is on.
  bool fetchBlockAt(uint16_t orientation, int32_t offset, int rows, int firstRow);
  void backgroundFetch();
  // Takes the worker's next block (waiting for it); false when the worker has ended and every
  // block is taken. Joins the worker at its end and raises its failure.
  bool takeBackgroundBlock();
  void stopBackgroundFetch();

  std::vector<Column> columns_;
  std::vector<uint8_t> flat_;
  bool defined_ = false;
  bool autoClose_ = false;
  bool deferredLobRead_ = false;

  std::mutex pendingLock_;
  std::condition_variable pendingChanged_;
  struct PendingBlock {
    std::vector<uint8_t> buffer;
    int rows;
    std::vector<dataaccess::TSharedObject*> objects;
  };
  std::deque<PendingBlock> pending_;
  bool backgroundDone_ = false;
  std::exception_ptr backgroundError_;
  std::atomic<bool> stopRequested_{false};
  std::jthread fetchThread_;
};

// The longest text a DATE or TIMESTAMP of NLS format `format` can give.
uint16_t formatTextLength(const std::string& format);
// The statement text as it is sent: trimmed, CR LF and lone CR made LF outside string
// literals. `positions[i]` is the offset in `text` of the cleaned text's byte i.
std::string CleanSQL(const std::string& text, std::vector<size_t>& positions);
// The parameter names of a text, each once (ignoring case), in order of first appearance;
// `quoted` tells which were written in double quotes. The scan ends at the keyword TRIGGER.
std::vector<std::string> ScanParamNames(const std::string& text, std::vector<bool>& quoted);

}  // namespace oracle
