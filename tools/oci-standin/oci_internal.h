// The handles of the call interface and what every entry point shares: the handle registry,
// the fault hooks, the error handle's record and the conversions of text. Internal to the
// library: oci_api.cpp, oci_lob_api.cpp and oci_value_api.cpp include it; callers never do.
//
// Every handle is registered while it lives, so a freed or foreign pointer answers
// OCI_INVALID_HANDLE instead of being read. No exception crosses the C boundary: entry() turns
// them into statuses.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tools/oci-standin/oci_abi.h"
#include "tools/oci-standin/standin_number.h"
#include "tools/oci-standin/standin_server.h"
#include "tools/oci-standin/standin_values.h"

#define OCI_EXPORT extern "C" __attribute__((visibility("default")))

namespace ocistandin {

struct Handle;
struct EnvHandle;

inline std::mutex registryMutex;
inline std::set<const Handle*> registry;

inline std::atomic<uint64_t> callCount{0};
inline std::atomic<uint64_t> failAtCall{0};  // 0: off
inline std::atomic<bool> failurePending{false};
inline std::atomic<uint64_t> failAfterRows{0};
inline std::atomic<bool> failAfterRowsOn{false};
inline std::atomic<uint64_t> delayMicros{0};
inline std::atomic<uint64_t> breakCount{0};       // OCIBreak calls so far: a delayed call watches it
inline std::atomic<bool> failoverOffered{false};  // the service fails over (OCI_STANDIN_FAILOVER)

struct Handle {
  explicit Handle(ub4 type, EnvHandle* env) : type(type), env(env) {
    std::lock_guard lock(registryMutex);
    registry.insert(this);
  }
  virtual ~Handle() {
    std::lock_guard lock(registryMutex);
    registry.erase(this);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ub4 type;
  EnvHandle* env;
  std::unique_ptr<char[]> userMemory;
  // Where this handle sits in its environment's list, so freeing it costs the same with one or
  // a hundred thousand live descriptors.
  std::list<Handle*>::iterator childAt;
  bool isChild = false;
};

// A ROWID descriptor: callers read its bytes where the descriptor points, so it is plain memory
// with the bytes first, registered apart from the handles.
struct RowidData {
  uint8_t bytes[16] = {};
  EnvHandle* env = nullptr;
};
inline std::set<const RowidData*> rowidRegistry;

inline RowidData* lookupRowid(const void* p) {
  std::lock_guard lock(registryMutex);
  const auto* d = static_cast<const RowidData*>(p);
  return rowidRegistry.count(d) ? const_cast<RowidData*>(d) : nullptr;
}

// The level the caller loaded this library as, from the file name it was opened by
// (libclntsh.so.8.0 and so on): a client of level 8.0 reads a ROWID descriptor in that level's
// layout. 0 for the newest level.
inline int loadedLevel() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&loadedLevel), &info) || !info.dli_fname) return 0;
  const std::string name = info.dli_fname;
  const size_t at = name.rfind(".so.");
  return at == std::string::npos ? 0
                                 : std::atoi(name.c_str() + at + 4) * 10 +
                                       (name.size() > at + 6 ? std::atoi(name.c_str() + at + 6) : 0);
}

// The descriptor's bytes: level 8.0 {object 32 bits, file 16, two unused bytes, block 32, row 16}
// in machine order; later levels the 13-byte form of standin_values.h.
inline void putRowid(RowidData& d, int64_t row) {
  std::memset(d.bytes, 0, sizeof d.bytes);
  const auto b = rowidBytes(row);
  if (loadedLevel() != 80) {
    std::memcpy(d.bytes, b.data(), b.size());
    return;
  }
  const uint32_t object = uint32_t(b[1]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 8 | b[4];
  const uint16_t file = static_cast<uint16_t>(b[5] << 8 | b[6]);
  const uint32_t block = uint32_t(b[7]) << 24 | uint32_t(b[8]) << 16 | uint32_t(b[9]) << 8 | b[10];
  const uint16_t number = static_cast<uint16_t>(b[11] << 8 | b[12]);
  std::memcpy(d.bytes, &object, 4);
  std::memcpy(d.bytes + 4, &file, 2);
  std::memcpy(d.bytes + 8, &block, 4);
  std::memcpy(d.bytes + 12, &number, 2);
}

inline bool rowidOf(const RowidData& d, int64_t& row) {
  if (loadedLevel() != 80) return rowidFromBytes(d.bytes, row);
  uint32_t object = 0, block = 0;
  uint16_t file = 0, number = 0;
  std::memcpy(&object, d.bytes, 4);
  std::memcpy(&file, d.bytes + 4, 2);
  std::memcpy(&block, d.bytes + 8, 4);
  std::memcpy(&number, d.bytes + 12, 2);
  const auto b = rowidBytes(object, file, block, number);
  return rowidFromBytes(b.data(), row);
}

struct EnvHandle : Handle {
  EnvHandle() : Handle(OCI_HTYPE_ENV, nullptr) { env = this; }
  ~EnvHandle() override {
    {
      std::lock_guard lock(registryMutex);
      for (auto it = rowidRegistry.begin(); it != rowidRegistry.end();) {
        if ((*it)->env == this) {
          delete *it;
          it = rowidRegistry.erase(it);
        } else {
          ++it;
        }
      }
    }
    // Children first: statements free their binds and defines themselves.
    while (!children.empty()) {
      Handle* h = children.back();
      children.pop_back();
      delete h;
    }
  }
  // Callers hold registryMutex.
  void adopt(Handle* h) {
    h->childAt = children.insert(children.end(), h);
    h->isChild = true;
  }
  void release(Handle* h) {
    if (!h->isChild) return;
    children.erase(h->childAt);
    h->isChild = false;
  }
  std::list<Handle*> children;  // in the order made: freed newest first
};

// An error handle may be shared by a thread running a statement and one breaking it, so its
// record is read and written under its own lock.
struct ErrorHandle : Handle {
  using Handle::Handle;
  void clear() { set(0, {}); }
  void set(int newCode, const std::string& newText) {
    std::lock_guard lock(mutex);
    code = newCode;
    text = newText;
  }
  std::pair<int, std::string> get() {
    std::lock_guard lock(mutex);
    return {code, text};
  }

 private:
  std::mutex mutex;
  int code = 0;
  std::string text;
};

struct SessionHandle;

using FailoverCallback = sb4 (*)(void* svc, void* env, void* context, ub4 type, ub4 event);

// Failover events and the type of failover this server offers (a new session, nothing else).
inline constexpr ub4 kFailoverEnd = 1, kFailoverAbort = 2, kFailoverBegin = 8, kFailoverSession = 2;

struct ServerHandle : Handle {
  using Handle::Handle;
  std::string folder;
  std::string banner;
  bool attached = false;
  std::set<SessionHandle*> sessions;
  FailoverCallback failover = nullptr;
  void* failoverContext = nullptr;
};

struct SessionHandle : Handle {
  using Handle::Handle;
  ~SessionHandle() override;
  std::string user;
  std::string password;
  std::unique_ptr<Session> core;
  ServerHandle* server = nullptr;
  uint64_t generation = 0;  // counts logons, so statements notice a session begun again
  bool dead = false;        // the connection was lost (ORA-03113); every later call gets ORA-03114
  bool privileged = false;
};

inline SessionHandle::~SessionHandle() {
  std::lock_guard lock(registryMutex);
  if (server && registry.count(server)) server->sessions.erase(this);
}

struct SvcHandle : Handle {
  using Handle::Handle;
  ServerHandle* server = nullptr;
  SessionHandle* session = nullptr;
};

struct StmtHandle;

// A bind or define: the caller's buffers and their strides.
struct Area {
  char* value = nullptr;
  sb4 size = 0;
  ub2 type = 0;
  char* indicator = nullptr;
  char* length = nullptr;
  char* returnCode = nullptr;
  ub4 valueSkip = 0, indicatorSkip = 0, lengthSkip = 0, codeSkip = 0;
  ub2 charsetId = 0;    // 1000: text travels as UTF-16
  ub1 charsetForm = 1;  // 2: national
  char* valueAt(ub4 row) const {
    return value + static_cast<size_t>(row) * (valueSkip ? valueSkip : static_cast<ub4>(size));
  }
  sb2* indicatorAt(ub4 row) const {
    return indicator ? reinterpret_cast<sb2*>(indicator + static_cast<size_t>(row) *
                                                              (indicatorSkip ? indicatorSkip : sizeof(sb2)))
                     : nullptr;
  }
  ub2* lengthAt(ub4 row) const {
    return length ? reinterpret_cast<ub2*>(length +
                                           static_cast<size_t>(row) * (lengthSkip ? lengthSkip : sizeof(ub2)))
                  : nullptr;
  }
  ub2* codeAt(ub4 row) const {
    return returnCode ? reinterpret_cast<ub2*>(returnCode +
                                               static_cast<size_t>(row) * (codeSkip ? codeSkip : sizeof(ub2)))
                      : nullptr;
  }
};

using InBindCallback = sb4 (*)(void* context, void* bind, ub4 iter, ub4 index, void** buffer, ub4* length,
                               ub1* piece, void** indicator);
using OutBindCallback = sb4 (*)(void* context, void* bind, ub4 iter, ub4 index, void** buffer, ub4** length,
                                ub1* piece, void** indicator, ub2** returnCode);
using DefineCallback = sb4 (*)(void* context, void* define, ub4 iter, void** buffer, ub4** length, ub1* piece,
                               void** indicator, ub2** returnCode);

// Piece codes of piecewise transfers.
inline constexpr ub1 kOnePiece = 0, kFirstPiece = 1, kNextPiece = 2, kLastPiece = 3;
inline constexpr ub1 kParamIn = 1, kParamOut = 2;

struct BindHandle : Handle {
  BindHandle(EnvHandle* env, StmtHandle* stmt) : Handle(OCI_HTYPE_BIND, env), stmt(stmt) {}
  StmtHandle* stmt;
  std::string name;  // empty for a positional bind
  ub4 position = 0;
  Area area;
  // A value given at execution (OCI_DATA_AT_EXEC): the pieces received so far.
  bool atExec = false;
  bool begun = false;
  bool complete = false;
  std::string pieces;
  // OCIBindDynamic: the callbacks that give input pieces and take output pieces.
  InBindCallback inCallback = nullptr;
  void* inContext = nullptr;
  OutBindCallback outCallback = nullptr;
  void* outContext = nullptr;
};

// Where the caller takes the next piece of a value: the buffer, its size in and length out, and
// the indicator (OCIStmtSetPieceInfo or a dynamic callback gives them).
struct PieceTarget {
  char* buffer = nullptr;
  ub4* length = nullptr;
  sb2* indicator = nullptr;
  bool given = false;
};

struct DefineHandle : Handle {
  DefineHandle(EnvHandle* env, StmtHandle* stmt) : Handle(OCI_HTYPE_DEFINE, env), stmt(stmt) {}
  StmtHandle* stmt;
  ub4 position = 0;
  Area area;
  bool dynamic = false;  // OCI_DYNAMIC_FETCH: pieces through OCIStmtSetPieceInfo or the callback
  DefineCallback callback = nullptr;
  void* context = nullptr;
  PieceTarget target;
};

struct ParamHandle : Handle {
  ParamHandle(EnvHandle* env, ColumnInfo info) : Handle(OCI_DTYPE_PARAM, env), info(std::move(info)) {}
  ColumnInfo info;
};

struct RowidHandle : Handle {
  using Handle::Handle;
};

// A LOB locator with its value: a BLOB's bytes, or a CLOB's text as UTF-16 code units (the
// amounts and offsets of a CLOB count characters; without character-set id 1000 the text travels
// as one byte per character, so non-Unicode CLOB reads suit single-byte text only).
struct LobHandle : Handle {
  using Handle::Handle;
  bool initialized = false;
  bool clob = false;
  std::u16string text;
  std::string bytes;
  bool streaming = false;
  size_t streamAt = 0;  // the next unit of a streaming read
  size_t length() const { return clob ? text.size() : bytes.size(); }
  // A BFILE: its directory alias and file name; `bytes` holds the file while it is open.
  std::string directory, fileName;
  bool opened = false;
  // A locator fetched from a table row: writes go to that row, in the session's transaction.
  SessionHandle* session = nullptr;
  uint64_t generation = 0;
  std::string database, table, column;
  int64_t row = 0;
  bool national = false;
};

// TIMESTAMP descriptors (68 plain, 69 WITH TIME ZONE, 70 WITH LOCAL TIME ZONE) and INTERVAL
// descriptors (62 YEAR TO MONTH, 63 DAY TO SECOND).
struct DateTimeHandle : Handle {
  using Handle::Handle;
  TimeStamp value;
  bool valid = false;
};

struct IntervalHandle : Handle {
  using Handle::Handle;
  Interval value;
  bool valid = false;
};

struct StmtHandle : Handle {
  using Handle::Handle;
  std::string text;
  RewrittenSql shape;  // kind and binds, known from the text alone
  bool prepared = false;
  std::unique_ptr<Cursor> cursor;
  SessionHandle* session = nullptr;
  uint64_t generation = 0;
  std::vector<std::unique_ptr<BindHandle>> binds;
  std::vector<std::unique_ptr<DefineHandle>> defines;
  std::vector<std::unique_ptr<ParamHandle>> params;
  ub4 rowCount = 0;
  uint64_t rowsDelivered = 0;
  // A scrollable execution reads the whole result at once; `position` is the last row fetched.
  bool scrollable = false;
  std::vector<std::vector<Value>> result;
  std::vector<std::vector<int64_t>> resultOrigins;  // per row and column: the LOB's row, or 0
  size_t position = 0;
  ub4 lastFetched = 0;
  bool executed = false;
  bool open = false;
  ub2 errorOffset = 0;
  int64_t changedRow = 0;           // the row the last DML execution touched last (OCI_ATTR_ROWID)
  bool truncated = false;           // a fetch cut a value short (reported as ORA-24345 with information)
  BindHandle* pieceBind = nullptr;  // the value whose next piece an execution waits for
  // Output pieces: the binds whose values an execution still hands out, the value under way and
  // how much of it is out.
  struct OutValue {
    BindHandle* bind;
    std::string data;
    bool null;
  };
  std::vector<OutValue> outQueue;
  size_t outAt = 0;
  PieceTarget outTarget;
  // A piecewise fetch: the row read, the dynamic column under way, its value and progress.
  bool rowPending = false;
  std::vector<Value> pendingRow;
  size_t pieceColumn = 0;
  DefineHandle* pieceDefine = nullptr;
  std::string pieceData;
  size_t pieceAt = 0;
  bool pieceNull = false;
};

template <class T>
inline T* lookup(const void* p, ub4 type) {
  if (!p) return nullptr;
  std::lock_guard lock(registryMutex);
  const auto* h = static_cast<const Handle*>(p);
  if (!registry.count(h) || h->type != type) return nullptr;
  return static_cast<T*>(const_cast<Handle*>(h));
}

struct InvalidHandle {};

template <class T>
inline T& need(const void* p, ub4 type) {
  T* h = lookup<T>(p, type);
  if (!h) throw InvalidHandle{};
  return *h;
}

inline sword setError(ErrorHandle* err, int code, const std::string& text) {
  if (err) err->set(code, text);
  return OCI_ERROR;
}

inline uint64_t envNumber(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 10) : 0;
}

inline void readHooks() {
  failAtCall = envNumber("OCI_STANDIN_FAIL_CALL") ? callCount + envNumber("OCI_STANDIN_FAIL_CALL") : 0;
  failurePending = false;
  failAfterRowsOn = std::getenv("OCI_STANDIN_FAIL_AFTER_ROWS") != nullptr;
  failAfterRows = envNumber("OCI_STANDIN_FAIL_AFTER_ROWS");
  delayMicros = envNumber("OCI_STANDIN_DELAY_US");
  failoverOffered = envNumber("OCI_STANDIN_FAILOVER") != 0;
}

// Marks every live session lost, as a dropped connection would. When the service offers
// failover, a session whose server has a failover callback is then logged on again between the
// callback's begin and end events; the call that met the loss still fails.
inline void loseAllSessions() {
  struct Failover {
    SessionHandle* session;
    ServerHandle* server;
    void* svc;
  };
  std::vector<Failover> failovers;
  {
    std::lock_guard lock(registryMutex);
    for (const Handle* h : registry) {
      if (h->type != OCI_HTYPE_SESSION) continue;
      auto* s = const_cast<SessionHandle*>(static_cast<const SessionHandle*>(h));
      s->dead = true;
      if (!failoverOffered || !s->core || !s->server || !registry.count(s->server) || !s->server->failover)
        continue;
      void* svc = nullptr;
      for (const Handle* other : registry)
        if (other->type == OCI_HTYPE_SVCCTX && static_cast<const SvcHandle*>(other)->session == s)
          svc = const_cast<Handle*>(other);
      failovers.push_back({s, s->server, svc});
    }
  }
  for (const Failover& f : failovers) {
    ServerHandle& server = *f.server;
    SessionHandle& s = *f.session;
    server.failover(f.svc, s.env, server.failoverContext, kFailoverSession, kFailoverBegin);
    try {
      s.core = std::make_unique<Session>(server.folder, s.user, s.password, s.privileged);
      s.dead = false;
      ++s.generation;
      server.failover(f.svc, s.env, server.failoverContext, kFailoverSession, kFailoverEnd);
    } catch (const std::exception&) {
      server.failover(f.svc, s.env, server.failoverContext, kFailoverSession, kFailoverAbort);
    }
  }
}

// Counts the call, sleeps the configured delay, and fires a pending ORA-03113 on the first call
// that can report it.
inline bool countedCall(ErrorHandle* err, bool delayed = true) {
  const uint64_t n = ++callCount;
  if (const uint64_t us = delayed ? delayMicros.load() : 0) {
    // The delay plays a slow server: a break ends it, as it ends a running statement.
    const uint64_t breaks = breakCount.load();
    for (uint64_t slept = 0; slept < us; slept += 2000) {
      ::usleep(static_cast<useconds_t>(std::min<uint64_t>(2000, us - slept)));
      if (breakCount.load() != breaks) {
        setError(err, ORA_CANCELLED, "user requested cancel of current operation");
        return false;
      }
    }
  }
  if (failAtCall != 0 && n >= failAtCall) {
    failAtCall = 0;
    failurePending = true;
  }
  if (failurePending && err) {
    failurePending = false;
    loseAllSessions();
    setError(err, ORA_END_OF_CHANNEL, "end-of-file on communication channel");
    return false;
  }
  return true;
}

// Runs an entry point's body with its error handle: validates it, counts the call, and turns
// every failure into a status.
// A `quiet` call (a break) leaves the error handle's record alone unless it fails itself, and
// is not delayed.
template <class F>
inline sword entry(void* errhp, F&& body, bool quiet = false) {
  ErrorHandle* err = nullptr;
  if (errhp) {
    err = lookup<ErrorHandle>(errhp, OCI_HTYPE_ERROR);
    if (!err) return OCI_INVALID_HANDLE;
    if (!quiet) err->clear();
  }
  if (!countedCall(err, !quiet)) return OCI_ERROR;
  try {
    return body(err);
  } catch (const InvalidHandle&) {
    return OCI_INVALID_HANDLE;
  } catch (const OraError& e) {
    return setError(err, e.code, e.what());
  } catch (const std::bad_alloc&) {
    return setError(err, 4030, "out of process memory");
  } catch (const std::exception& e) {
    return setError(err, 600, std::string("internal error code, arguments: [") + e.what() + "]");
  }
}

inline Session& liveSession(SessionHandle* s) {
  if (!s || !s->core) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
  if (s->dead) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
  return *s->core;
}

// The session a statement's cursor was opened on, while it still lives.
inline Session& cursorSession(const StmtHandle& stmt) {
  auto* s = lookup<SessionHandle>(stmt.session, OCI_HTYPE_SESSION);
  if (!s || s->generation != stmt.generation) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
  return liveSession(s);
}

// The server a service context was given, while it still lives and is attached.
inline ServerHandle& attachedServer(const SvcHandle& svc) {
  auto* server = lookup<ServerHandle>(svc.server, OCI_HTYPE_SERVER);
  if (!server || !server->attached) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
  return *server;
}

inline SessionHandle* sessionOfSvc(SvcHandle& svc) {
  return svc.session && lookup<SessionHandle>(svc.session, OCI_HTYPE_SESSION) ? svc.session : nullptr;
}

// --- Buffers to values and back -----------------------------------------------------------------

[[noreturn]] inline void unsupportedType(ub2 type) {
  throw OraError(3115, "unsupported network datatype or representation (" + std::to_string(type) + ")");
}

inline constexpr ub2 kUtf16CharsetId = 1000;

inline std::u16string utf16Of(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    char32_t code = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra && i + size_t(k) < text.size(); ++k)
      code = (code << 6) | (static_cast<unsigned char>(text[i + size_t(k)]) & 0x3F);
    i += size_t(extra) + 1;
    if (code >= 0x10000) {
      code -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (code >> 10));
      out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
  }
  return out;
}

inline std::string utf8Of(std::u16string_view units) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// UTF-16 text in memory order as bytes, and back.
inline std::string utf16Bytes(const std::string& text) {
  const std::u16string units = utf16Of(text);
  return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

inline std::string textOfUtf16Bytes(const char* p, size_t bytes) {
  std::u16string units(bytes / 2, u'\0');
  std::memcpy(units.data(), p, units.size() * 2);
  return utf8Of(units);
}

// Single-byte character sets a caller may ask for (OCI_ATTR_CHARSET_ID): their text is taken as
// Latin-1, and characters beyond it leave as '?'. Any other id but 1000 means UTF-8.
inline bool singleByteCharset(ub2 id) {
  return id == 1 || id == 31 || id == 46 || id == 178;
}

// The character set a LOB call with id 0 takes its text in: the client's own, which NLS_LANG
// names (LANGUAGE_TERRITORY.CHARSET); one of the single-byte sets above, else UTF-8. Binds and
// defines with id 0 keep to UTF-8.
inline ub2 lobCharsetId(ub2 csid) {
  if (csid != 0) return csid;
  const char* lang = std::getenv("NLS_LANG");
  const std::string text = lang != nullptr ? lang : "";
  const size_t dot = text.find('.');
  std::string name = dot == std::string::npos ? "" : text.substr(dot + 1);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name == "US7ASCII") return 1;
  if (name == "WE8ISO8859P1") return 31;
  if (name == "WE8ISO8859P15") return 46;
  if (name == "WE8MSWIN1252") return 178;
  return 0;
}

inline std::string latin1Of(const std::string& utf8) {
  std::string out;
  for (char16_t u : utf16Of(utf8)) {
    if (u >= 0xDC00 && u < 0xE000) continue;  // the second half of a pair: one '?' is enough
    out += u <= 0xFF ? static_cast<char>(u) : '?';
  }
  return out;
}

inline std::string textOfLatin1(const std::string& bytes) {
  std::u16string units;
  for (char c : bytes) units += static_cast<char16_t>(static_cast<unsigned char>(c));
  return utf8Of(units);
}

inline bool isTextType(ub2 type) {
  return type == SQLT_STR || type == SQLT_CHR || type == SQLT_AFC || type == SQLT_AVC || type == SQLT_LNG ||
         type == SQLT_VCS;
}

// A value as an exact number; ORA-01722 for text that is none.
inline ExactNumber exactOf(const Value& v) {
  switch (v.kind) {
    case Value::Kind::Integer:
      return numberFromInteger(v.integer);
    case Value::Kind::Real:
      return numberFromDouble(v.real);
    default:
      if (const auto n = numberFromStoredText(v.bytes)) return *n;
      throw OraError(ORA_INVALID_NUMBER, "invalid number");
  }
}

// The value a number takes in a statement: the stored form of standin_number.h.
inline Value valueOfNumber(const ExactNumber& n) {
  const StoredNumber s = storedNumber(n);
  switch (s.kind) {
    case StoredNumber::Kind::Integer:
      return Value::number(s.integer);
    case StoredNumber::Kind::Real:
      return Value::floating(s.real);
    case StoredNumber::Kind::Text:
      break;
  }
  return Value::text(s.text);
}

// The descriptor a define or bind buffer row points at.
inline void* pointerAt(const char* p) {
  void* d = nullptr;
  std::memcpy(&d, p, sizeof d);
  return d;
}

// Any datetime descriptor, whichever of the three kinds it was made as.
inline DateTimeHandle* lookupDateTime(const void* p) {
  for (ub4 type : {OCI_DTYPE_TIMESTAMP, OCI_DTYPE_TIMESTAMP_TZ, OCI_DTYPE_TIMESTAMP_LTZ})
    if (auto* h = lookup<DateTimeHandle>(p, type)) return h;
  return nullptr;
}

inline IntervalHandle* lookupInterval(const void* p) {
  if (auto* h = lookup<IntervalHandle>(p, OCI_DTYPE_INTERVAL_YM)) return h;
  return lookup<IntervalHandle>(p, OCI_DTYPE_INTERVAL_DS);
}

// What readArea and writeArea need of LOBs and descriptors (oci_lob_api.cpp, oci_api.cpp).
Value lobValue(const LobHandle& l);
void fillLob(LobHandle& l, const Value& value, bool clob, const Session& session);

}  // namespace ocistandin
