// The engine session, root of the table engine for one user of it, and the engine unit's
// process-wide state: the started flag and the default session.
//
// A session holds the settings that tables and cursors below it read (progress steps, buffer
// flushing, change detection, record-lock retry, lock protocol), the table passwords that open
// encrypted tables, and the private directory for temporary tables. It is local (operations
// work on this machine's files) or remote (operations are requests to an engine server); a
// remote session keeps its connection settings here.
//
// Threads: a session has no lock and is used by one thread at a time. StartUpEngine and
// ShutDownEngine run on the thread that opens and closes the engine's components; the other
// engine-unit functions may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/veldorlocale.h"
#include "engine/tables/veldorprotocol.h"

namespace platform {
class TcpConnection;
}

namespace engine {

class TQueryStatement;  // the SQL layer's statement driver
class TDataDirectory;

// Frees a directory (veldordirectory.cpp), so that the session can own directories without
// seeing their definition.
struct TDataDirectoryDeleter {
  void operator()(TDataDirectory* directory) const;
};

enum TLockProtocol : uint8_t { lpPessimistic = 0, lpOptimistic = 1 };
enum TSessionType : uint8_t { stLocal = 0, stRemote = 1 };

inline constexpr uint16_t kDefaultProgressSteps = 20;
inline constexpr uint8_t kDefaultLockRetryCount = 15;
inline constexpr uint16_t kDefaultLockWaitTime = 100;  // milliseconds
inline constexpr int64_t kDefaultServerVersion = 30300;
inline constexpr int64_t kLockProtocolServerVersion = 30400;  // first server that takes a lock protocol
inline constexpr uint32_t kDefaultRemotePort = 12001;
inline constexpr std::string_view kDefaultRemoteAddress = "127.0.0.1";
inline constexpr uint32_t kDefaultRemoteTimeOut = 300;  // seconds
inline constexpr int64_t kClientVersion = 31000;
// The largest message accepted from a server, on the wire and inflated.
inline constexpr size_t kMaxRemoteMessage = size_t(256) << 20;

class TDataSession {
 public:
  // Asked for the credentials of a remote login: fills user name and password (each at most 255
  // bytes) and answers whether it did.
  using TRemoteLoginEvent = std::function<bool(std::string& userName, std::string& password)>;
  using TRemoteTraceEvent = std::function<void(const std::string& line)>;
  // Hooks through which a host may steer the SQL layer; see the Call* operations.
  using TDatabaseNameHook = std::function<void(std::string& name)>;
  using TDatabaseDirectoryHook = std::function<void(const std::string& name, std::string& directory)>;
  using TDatabaseOpenedHook = std::function<void(const std::string& name, uint8_t& flag)>;
  using TStatementHook = std::function<void(TQueryStatement* statement, int kind)>;

  // trackObjects 1: each directory keeps lists of its cursors and statements and frees them
  // with itself. Every setting takes its default; the working directory is the process's
  // current one and the private directory the system's folder for temporary files.
  explicit TDataSession(uint8_t trackObjects = 0);
  // A local session forgets its passwords (their bytes are overwritten first).
  ~TDataSession();
  TDataSession(const TDataSession&) = delete;
  TDataSession& operator=(const TDataSession&) = delete;

  uint8_t TrackObjects() const { return trackObjects_; }

  // ---- Directories ----
  // The process's current directory at creation, with a path delimiter at its end.
  const std::string& WorkingDirectory() const { return workingDirectory_; }
  // The private directory when it is set, else the working directory. Temporary tables go here.
  std::string GetPrivateDirectory() const;
  // Ignores an empty (or blank) text; else stores it trimmed, with a path delimiter at its end.
  void SetPrivateDirectory(std::string_view directory);

  // ---- Database directories (veldordirectory.cpp) ----
  // The directory of this folder (or, for "Memory" without a folder, the in-memory database),
  // with its open count raised; a new one when none is open. An empty folder means the working
  // directory. A remote session raises VELDOR_REMOTECONNECT unless `noRemoteRequest`, which
  // finds or makes a directory by name alone.
  TDataDirectory* OpenDataDirectory(std::string_view name, std::string_view directory,
                                    bool noRemoteRequest = false);
  // Lowers the open count; at 0 the directory is freed (an open transaction rolled back).
  // Nothing for a directory that is not this session's or already closed.
  void CloseDataDirectory(TDataDirectory* directory, bool noRemoteRequest = false);
  size_t DirectoryCount() const { return directories_.size(); }

  // ---- Settings (a remote session sends the changed set to its server) ----
  uint16_t ProgressSteps() const { return progressSteps_; }
  void SetProgressSteps(uint16_t steps);
  // 100 div ProgressSteps; 100 when ProgressSteps is 0.
  uint32_t GetProgressStepPercent() const;
  uint8_t ForceBufferFlush() const { return forceBufferFlush_; }
  void SetForceBufferFlush(uint8_t value);
  uint8_t StrictChangeDetection() const { return strictChangeDetection_; }
  void SetStrictChangeDetection(uint8_t value);
  uint8_t LockRetryCount() const { return lockRetryCount_; }
  void SetLockRetryCount(uint8_t value);
  uint16_t LockWaitTime() const { return lockWaitTime_; }
  void SetLockWaitTime(uint16_t milliseconds);
  TLockProtocol LockProtocol() const { return lockProtocol_; }
  // A remote session whose server predates lock protocols ignores the change.
  void SetLockProtocol(TLockProtocol protocol);

  // ---- Local or remote ----
  TSessionType SessionType() const { return sessionType_; }
  bool IsRemote() const { return sessionType_ == stRemote; }
  // Both are ignored while the session is connected.
  void SetSessionType(TSessionType type);
  bool RemoteType() const { return lan_; }  // true: the server is on the local network
  void SetRemoteType(bool lan);

  // Remote settings, copied in by the session component.
  uint32_t SessionId() const { return sessionId_; }
  int64_t ServerVersion() const { return serverVersion_; }
  bool Connected() const { return connected_; }
  const std::string& RemoteHost() const { return remoteHost_; }
  void SetRemoteHost(std::string_view host);
  const std::string& RemoteAddress() const { return remoteAddress_; }
  void SetRemoteAddress(std::string_view address);
  uint32_t RemotePort() const { return remotePort_; }
  void SetRemotePort(uint32_t port) { remotePort_ = port; }
  const std::string& RemoteService() const { return remoteService_; }
  void SetRemoteService(std::string_view service);
  const std::string& RemoteUser() const { return remoteUser_; }
  void SetRemoteUser(std::string_view user);
  const std::string& RemotePassword() const { return remotePassword_; }
  void SetRemotePassword(std::string_view password);
  bool RemoteTrace() const { return remoteTrace_; }
  void SetRemoteTrace(bool trace) { remoteTrace_ = trace; }
  uint32_t TimeOut() const { return timeOut_; }  // seconds
  void SetTimeOut(uint32_t seconds) { timeOut_ = seconds; }

  // ---- Table passwords ----
  // Passwords are compared byte for byte and kept as engine strings (at most 255 bytes).
  // On a remote session each operation is a request to the server (connecting first) and raises
  // what the request raises.
  // Adds a copy at the end unless the text is empty or already present.
  void AddPassword(std::string_view password);
  // Removes the first equal entry; nothing when there is none.
  void RemovePassword(std::string_view password);
  void RemoveAllPasswords();
  bool PasswordExists(std::string_view password) const;
  size_t PasswordCount() const { return passwords_.size(); }

  // ---- Events and hooks ----
  void SetRemoteLoginEvent(TRemoteLoginEvent event) { remoteLoginEvent_ = std::move(event); }
  void SetRemoteTraceEvent(TRemoteTraceEvent event) { remoteTraceEvent_ = std::move(event); }
  const TRemoteLoginEvent& RemoteLoginEvent() const { return remoteLoginEvent_; }
  const TRemoteTraceEvent& RemoteTraceEvent() const { return remoteTraceEvent_; }

  // Each calls its hook when one is set, else does nothing. Before the SQL layer opens a
  // database directory the first two may rewrite the name and the directory (cut to 255
  // bytes afterwards); after it, the third may set a flag that the SQL layer reads. The
  // statement hook gets the statement and its kind (1 to 6). The session offers no way to set
  // them; they exist for a host that builds sessions itself.
  void CallDatabaseNameHook(std::string& name) const;
  void CallDatabaseDirectoryHook(const std::string& name, std::string& directory) const;
  void CallDatabaseOpenedHook(const std::string& name, uint8_t& flag) const;
  void CallStatementHook(TQueryStatement* statement, int kind) const;

  // ---- Remote request protocol (veldorsession_remote.cpp) ----
  // A request is built with SetRequestCode, BeginRequest, WriteRequestParam (each parameter a
  // u32 length and its bytes) and EndRequest, then exchanged; the reply's parameters are read in
  // order with the ReadReply* operations. Unless the session is on the local network, payloads
  // travel as one zlib stream. Traffic is not encrypted.
  //
  // Connects and runs the handshake; nothing when connected. Raises VELDOR_REMOTECONNECT with
  // the server's name, or the server's refusal.
  void Connect();
  // A new connection that resumes the session id; the request being built is kept.
  void Reconnect();
  // Closes the connection; sends nothing.
  void Disconnect();
  // Takes a connection made elsewhere as this session's, already past its handshake.
  void AttachConnection(std::unique_ptr<platform::TcpConnection> connection);
  // Logs in with RemoteUser and RemotePassword when both are set, else with what the login
  // event gives. Every invalid login asks the event again (cleared fields); the fourth one, or
  // an event that gives nothing, disconnects and raises.
  void Login();
  // Tells the server the session ends (failures ignored) and disconnects.
  void Logout();
  void EnsureConnected();
  void SetRequestCode(uint16_t code) { requestCode_ = code; }
  void BeginRequest();
  void WriteRequestParam(const void* bytes, uint32_t length);
  void WriteRequestU8(uint8_t v) { WriteRequestParam(&v, 1); }
  void WriteRequestU16(uint16_t v);
  void WriteRequestU32(uint32_t v);
  void WriteRequestI64(int64_t v);
  void WriteRequestText(std::string_view text);
  // Writes the header; compresses the payload off the local network (VELDOR_COMPRESS).
  void EndRequest();
  // The built request as it goes on the wire (header and payload).
  std::span<const uint8_t> RequestBytes() const { return {request_.data(), requestLength_}; }
  // Sends the built request. A failure is a plain exception; BytesLeftOnLastSend tells whether
  // any byte of it reached the connection.
  void SendRequest();
  bool BytesLeftOnLastSend() const { return bytesLeft_; }
  // Reads one whole reply and decodes it. A reply larger than kMaxRemoteMessage on the wire or
  // inflated, a connection that drops, and a server silent for the time-out raise plain
  // exceptions; a payload that does not inflate raises VELDOR_UNCOMPRESS.
  void ReceiveReply();
  // Sends the request and reads its reply. The request goes again (after a reconnect) only when
  // not one byte of it had left, so that the server never runs it twice; any later failure
  // disconnects and raises VELDOR_REMOTECOMMLOST with the server's name.
  void Exchange();
  // `exchange` runs the send and the receive; Exchange above and the cursor's callback loop
  // share this rule of one resend.
  void ExchangeWith(const std::function<void()>& exchange);
  uint16_t GetReplyCode() const { return replyCode_; }
  // The next reply parameter; VELDOR_UNCOMPRESS when it would pass the reply's end or is longer
  // than `maxLength`.
  std::span<const uint8_t> ReadReplyParam(uint32_t maxLength = UINT32_MAX);
  bool ReplyParamsLeft() const { return replyPos_ < replyTotal_; }
  uint8_t ReadReplyU8();
  uint16_t ReadReplyU16();
  uint32_t ReadReplyU32();
  int64_t ReadReplyI64();
  std::string ReadReplyText();
  // Raises a non-zero reply code as that engine error with the server's name and the reply's six
  // texts.
  void CheckReplyError();
  // Raises `code` naming the server (and `user`).
  [[noreturn]] void RaiseRemote(uint16_t code, std::string_view user = {}) const;
  std::string ServerName() const;
  void SendSessionParams();
  void Trace(const std::string& line) const;

 private:
  // A remote session tells its server every change of the settings.
  void SettingsChanged();
  void remotePasswordRequest(uint16_t code, std::string_view password);

  uint8_t trackObjects_;
  std::string workingDirectory_;
  std::string privateDirectory_;
  uint16_t progressSteps_ = kDefaultProgressSteps;
  std::vector<std::string> passwords_;
  uint8_t forceBufferFlush_ = 0;
  uint8_t strictChangeDetection_ = 0;
  uint8_t lockRetryCount_ = kDefaultLockRetryCount;
  uint16_t lockWaitTime_ = kDefaultLockWaitTime;
  TLockProtocol lockProtocol_ = lpPessimistic;
  TSessionType sessionType_ = stLocal;

  uint32_t sessionId_ = 0;
  int64_t serverVersion_ = kDefaultServerVersion;
  bool lan_ = true;
  bool connected_ = false;
  std::string remoteHost_;
  std::string remoteAddress_{kDefaultRemoteAddress};
  uint32_t remotePort_ = kDefaultRemotePort;
  std::string remoteService_;
  std::string remoteUser_;
  std::string remotePassword_;
  bool remoteTrace_ = false;
  uint32_t timeOut_ = kDefaultRemoteTimeOut;

  TRemoteLoginEvent remoteLoginEvent_;
  TRemoteTraceEvent remoteTraceEvent_;
  TDatabaseNameHook databaseNameHook_;
  TDatabaseDirectoryHook databaseDirectoryHook_;
  TDatabaseOpenedHook databaseOpenedHook_;
  TStatementHook statementHook_;

  // Remote request protocol
  // Opens a connection and shakes hands on it: a new session, or (`reconnect`) the session of
  // sessionId_ again. The server's reply stays to be read. Raises the server's error, or
  // VELDOR_REMOTECONNECT, with the connection closed.
  void openConnection(bool reconnect);
  std::unique_ptr<platform::TcpConnection> socket_;
  bool inHandshake_ = false;
  bool bytesLeft_ = false;
  uint16_t requestCode_ = 0;
  std::vector<uint8_t> request_;
  size_t requestLength_ = 0;
  std::vector<uint8_t> reply_;
  uint16_t replyCode_ = 0;
  size_t replyPos_ = 0;
  size_t replyTotal_ = 0;

  // Last, so that directories (which roll back their transactions) go before the settings.
  std::vector<std::unique_ptr<TDataDirectory, TDataDirectoryDeleter>> directories_;
};

// ---- Engine unit ----

// Starts the engine once: sets the started flag and creates the default session (TrackObjects
// 0). Later calls do nothing.
void StartUpEngine();
// When started: frees the default session that StartUpEngine made, frees every file object of
// the process's file list (in-memory files lose their contents; no table may still be open),
// empties the collation-map cache and the record-bitmap pool, and clears the started flag.
// Otherwise nothing.
void ShutDownEngine();
bool EngineStarted();
// The default session. Raises VELDOR_NOTINITIALIZED (0x2A06) when the engine is not started.
TDataSession& GetDefaultSession();
// Makes `session` the default session. The engine does not take ownership: the session that
// StartUpEngine made stays the engine's and is freed at shut-down; a session set here belongs
// to whoever created it and must outlive its use as the default.
void SetDefaultSession(TDataSession* session);
// SetDefaultSession and the look at the default it replaces in one step, for the components
// that make their session the default around every call: returns the previous default while the
// engine is started (raising VELDOR_NOTINITIALIZED, with nothing changed, when it has none), else
// nullptr. RestoreDefaultSession makes `previous` the default again while the engine is started.
TDataSession* ExchangeDefaultSession(TDataSession* session);
void RestoreDefaultSession(TDataSession* previous);
// A further session, owned by the caller.
std::unique_ptr<TDataSession> CreateDataSession(uint8_t trackObjects);
// Frees the session; nothing for none.
void FreeDataSession(std::unique_ptr<TDataSession>& session);

}  // namespace engine
