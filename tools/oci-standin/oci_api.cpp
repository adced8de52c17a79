// The exported entry points: handles, attributes, errors, and the buffer conversions between
// the caller's bind and define areas and the server's values.
//
// Every handle is registered while it lives, so a freed or foreign pointer answers
// OCI_INVALID_HANDLE instead of being read. No exception crosses the C boundary.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tools/oci-standin/oci_abi.h"
#include "tools/oci-standin/standin_server.h"
#include "tools/oci-standin/standin_values.h"

#define OCI_EXPORT extern "C" __attribute__((visibility("default")))

namespace ocistandin {
namespace {

struct Handle;
struct EnvHandle;

std::mutex registryMutex;
std::set<const Handle*> registry;

std::atomic<uint64_t> callCount{0};
std::atomic<uint64_t> failAtCall{0};  // 0: off
std::atomic<bool> failurePending{false};
std::atomic<uint64_t> failAfterRows{0};
std::atomic<bool> failAfterRowsOn{false};
std::atomic<uint64_t> delayMicros{0};

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
};

struct EnvHandle : Handle {
  EnvHandle() : Handle(OCI_HTYPE_ENV, nullptr) { env = this; }
  ~EnvHandle() override {
    // Children first: statements free their binds and defines themselves.
    while (!children.empty()) {
      Handle* h = children.back();
      children.pop_back();
      delete h;
    }
  }
  std::vector<Handle*> children;
};

struct ErrorHandle : Handle {
  using Handle::Handle;
  int code = 0;
  std::string text;
  void clear() {
    code = 0;
    text.clear();
  }
};

struct SessionHandle;

struct ServerHandle : Handle {
  using Handle::Handle;
  std::string folder;
  std::string banner;
  bool attached = false;
  std::set<SessionHandle*> sessions;
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
};

SessionHandle::~SessionHandle() {
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
};

struct DefineHandle : Handle {
  DefineHandle(EnvHandle* env, StmtHandle* stmt) : Handle(OCI_HTYPE_DEFINE, env), stmt(stmt) {}
  StmtHandle* stmt;
  ub4 position = 0;
  Area area;
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
  size_t position = 0;
  ub4 lastFetched = 0;
  bool executed = false;
  bool open = false;
  ub2 errorOffset = 0;
  BindHandle* pieceBind = nullptr;  // the value whose next piece an execution waits for
};

template <class T>
T* lookup(const void* p, ub4 type) {
  if (!p) return nullptr;
  std::lock_guard lock(registryMutex);
  const auto* h = static_cast<const Handle*>(p);
  if (!registry.count(h) || h->type != type) return nullptr;
  return static_cast<T*>(const_cast<Handle*>(h));
}

struct InvalidHandle {};

template <class T>
T& need(const void* p, ub4 type) {
  T* h = lookup<T>(p, type);
  if (!h) throw InvalidHandle{};
  return *h;
}

sword setError(ErrorHandle* err, int code, const std::string& text) {
  if (err) {
    err->code = code;
    err->text = text;
  }
  return OCI_ERROR;
}

uint64_t envNumber(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 10) : 0;
}

void readHooks() {
  failAtCall = envNumber("OCI_STANDIN_FAIL_CALL") ? callCount + envNumber("OCI_STANDIN_FAIL_CALL") : 0;
  failurePending = false;
  failAfterRowsOn = std::getenv("OCI_STANDIN_FAIL_AFTER_ROWS") != nullptr;
  failAfterRows = envNumber("OCI_STANDIN_FAIL_AFTER_ROWS");
  delayMicros = envNumber("OCI_STANDIN_DELAY_US");
}

// Marks every live session lost, as a dropped connection would.
void loseAllSessions() {
  std::lock_guard lock(registryMutex);
  for (const Handle* h : registry)
    if (h->type == OCI_HTYPE_SESSION)
      const_cast<SessionHandle*>(static_cast<const SessionHandle*>(h))->dead = true;
}

// Counts the call, sleeps the configured delay, and fires a pending ORA-03113 on the first call
// that can report it.
bool countedCall(ErrorHandle* err) {
  const uint64_t n = ++callCount;
  if (const uint64_t us = delayMicros.load()) ::usleep(static_cast<useconds_t>(us));
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
template <class F>
sword entry(void* errhp, F&& body) {
  ErrorHandle* err = nullptr;
  if (errhp) {
    err = lookup<ErrorHandle>(errhp, OCI_HTYPE_ERROR);
    if (!err) return OCI_INVALID_HANDLE;
    err->clear();
  }
  if (!countedCall(err)) return OCI_ERROR;
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

Session& liveSession(SessionHandle* s) {
  if (!s || !s->core) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
  if (s->dead) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
  return *s->core;
}

// The session a statement's cursor was opened on, while it still lives.
Session& cursorSession(const StmtHandle& stmt) {
  auto* s = lookup<SessionHandle>(stmt.session, OCI_HTYPE_SESSION);
  if (!s || s->generation != stmt.generation) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
  return liveSession(s);
}

// The server a service context was given, while it still lives and is attached.
ServerHandle& attachedServer(const SvcHandle& svc) {
  auto* server = lookup<ServerHandle>(svc.server, OCI_HTYPE_SERVER);
  if (!server || !server->attached) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
  return *server;
}

SessionHandle* sessionOfSvc(SvcHandle& svc) {
  return svc.session && lookup<SessionHandle>(svc.session, OCI_HTYPE_SESSION) ? svc.session : nullptr;
}

// --- Buffers to values and back -----------------------------------------------------------------

[[noreturn]] void unsupportedType(ub2 type) {
  throw OraError(3115, "unsupported network datatype or representation (" + std::to_string(type) + ")");
}

Value readArea(const Area& a, ub4 row) {
  const sb2* ind = a.indicatorAt(row);
  if (ind && *ind < 0) return {};
  const char* p = a.valueAt(row);
  if (!p) return {};
  const ub2* alen = a.lengthAt(row);
  const size_t size = a.size < 0 ? 0 : static_cast<size_t>(a.size);
  const size_t given = alen ? std::min<size_t>(*alen, size) : size;
  auto text = [](std::string s) { return s.empty() ? Value{} : Value::text(std::move(s)); };
  switch (a.type) {
    case SQLT_STR:
      return text(std::string(p, strnlen(p, size)));
    case SQLT_CHR:
    case SQLT_AFC:
    case SQLT_AVC:
    case SQLT_LNG:
      return text(std::string(p, given));
    case SQLT_INT:
      switch (size) {
        case 1:
          return Value::number(*reinterpret_cast<const int8_t*>(p));
        case 2: {
          int16_t v;
          std::memcpy(&v, p, 2);
          return Value::number(v);
        }
        case 4: {
          int32_t v;
          std::memcpy(&v, p, 4);
          return Value::number(v);
        }
        case 8: {
          int64_t v;
          std::memcpy(&v, p, 8);
          return Value::number(v);
        }
        default:
          unsupportedType(a.type);
      }
    case SQLT_FLT:
      if (size == 4) {
        float v;
        std::memcpy(&v, p, 4);
        return Value::floating(v);
      }
      if (size == 8) {
        double v;
        std::memcpy(&v, p, 8);
        return Value::floating(v);
      }
      unsupportedType(a.type);
    case SQLT_DAT: {
      DateTime d;
      if (size < 7 || !fromOraDate(reinterpret_cast<const uint8_t*>(p), d))
        throw OraError(1841, "(full) year must be between -4713 and +9999, and not be 0");
      return Value::text(canonicalDate(d));
    }
    case SQLT_BIN:
    case SQLT_LBI:
      if (given == 0) return {};
      return {Value::Kind::Bytes, 0, 0, std::string(p, given)};
    case SQLT_RSET:
      return {};
    default:
      unsupportedType(a.type);
  }
}

double numberOf(const Value& v) {
  switch (v.kind) {
    case Value::Kind::Integer:
      return static_cast<double>(v.integer);
    case Value::Kind::Real:
      return v.real;
    default: {
      const char* s = v.bytes.c_str();
      char* end = nullptr;
      const double d = std::strtod(s, &end);
      while (end && *end == ' ') ++end;
      if (end == s || !end || *end) throw OraError(ORA_INVALID_NUMBER, "invalid number");
      return d;
    }
  }
}

// Writes one value into a row of a define or output bind. A NULL without an indicator, or a
// truncated value without one, raises ORA-01405 or ORA-01406.
std::u16string utf16Of(const std::string& text) {
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

void writeArea(const Session& session, const Area& a, ub4 row, const Value& value, bool isDate) {
  sb2* ind = a.indicatorAt(row);
  ub2* rlen = a.lengthAt(row);
  ub2* rcode = a.codeAt(row);
  char* p = a.valueAt(row);
  const size_t size = a.size < 0 ? 0 : static_cast<size_t>(a.size);
  const bool null = value.isNull() || (value.kind == Value::Kind::Text && value.bytes.empty());
  if (null) {
    if (!ind) throw OraError(1405, "fetched column value is NULL");
    *ind = -1;
    if (rlen) *rlen = 0;
    if (rcode) *rcode = 1405;
    return;
  }
  if (ind) *ind = 0;
  if (rcode) *rcode = 0;
  if (!p) throw OraError(24334, "no descriptor for this position");
  auto putText = [&](const std::string& s, bool terminate, bool pad) {
    const size_t room = terminate ? (size == 0 ? 0 : size - 1) : size;
    const size_t n = std::min(s.size(), room);
    std::memcpy(p, s.data(), n);
    size_t written = n;
    if (pad && n < size) {
      std::memset(p + n, ' ', size - n);
      written = size;
    }
    if (terminate && size > 0) p[n] = '\0';
    if (rlen) *rlen = static_cast<ub2>(std::min<size_t>(written, 65535));
    if (n < s.size()) {
      if (!ind) throw OraError(1406, "fetched column value was truncated");
      *ind = static_cast<sb2>(std::min<size_t>(s.size(), 32767));
      if (rcode) *rcode = 1406;
    }
  };
  switch (a.type) {
    case SQLT_STR:
      return putText(valueText(session, value, isDate), true, false);
    case SQLT_CHR:
    case SQLT_AVC:
    case SQLT_LNG:
      return putText(valueText(session, value, isDate), false, false);
    case SQLT_AFC:
      return putText(valueText(session, value, isDate), false, true);
    case SQLT_BIN:
    case SQLT_LBI:
      return putText(value.kind == Value::Kind::Bytes ? value.bytes : valueText(session, value, false), false,
                     false);
    case SQLT_CLOB:
    case SQLT_BLOB: {
      // The locator receives a copy of the value: reads see the row as fetched.
      void* locator = nullptr;
      std::memcpy(&locator, p, sizeof locator);
      auto& l = need<LobHandle>(locator, OCI_DTYPE_LOB);
      l.initialized = true;
      l.clob = a.type == SQLT_CLOB;
      l.streaming = false;
      if (l.clob)
        l.text = utf16Of(valueText(session, value, false));
      else
        l.bytes = value.kind == Value::Kind::Bytes ? value.bytes : valueText(session, value, false);
      return;
    }
    case SQLT_INT: {
      const double d = std::round(numberOf(value));
      const double limit = size >= 8 ? 9.2e18 : std::ldexp(1.0, static_cast<int>(size * 8 - 1));
      if (!(std::fabs(d) < limit)) throw OraError(1455, "converting column overflows integer datatype");
      const auto v = static_cast<int64_t>(d);
      switch (size) {
        case 1: {
          const auto x = static_cast<int8_t>(v);
          std::memcpy(p, &x, 1);
          break;
        }
        case 2: {
          const auto x = static_cast<int16_t>(v);
          std::memcpy(p, &x, 2);
          break;
        }
        case 4: {
          const auto x = static_cast<int32_t>(v);
          std::memcpy(p, &x, 4);
          break;
        }
        case 8:
          std::memcpy(p, &v, 8);
          break;
        default:
          unsupportedType(a.type);
      }
      if (rlen) *rlen = static_cast<ub2>(size);
      return;
    }
    case SQLT_FLT: {
      const double d = numberOf(value);
      if (size == 4) {
        const auto f = static_cast<float>(d);
        std::memcpy(p, &f, 4);
      } else if (size == 8) {
        std::memcpy(p, &d, 8);
      } else {
        unsupportedType(a.type);
      }
      if (rlen) *rlen = static_cast<ub2>(size);
      return;
    }
    case SQLT_DAT: {
      DateTime d;
      if (value.kind != Value::Kind::Text || !parseCanonicalDate(value.bytes, d))
        throw OraError(1861, "literal does not match format string");
      if (size < 7) unsupportedType(a.type);
      const auto bytes = toOraDate(d);
      std::memcpy(p, bytes.data(), 7);
      if (rlen) *rlen = 7;
      return;
    }
    default:
      unsupportedType(a.type);
  }
}

// The bind values of one iteration, read from and written to the caller's bind areas.
class AreaBinds : public BindAccess {
 public:
  AreaBinds(StmtHandle& stmt, Session& session, ub4 row) : stmt_(stmt), session_(session), row_(row) {}
  Value input(size_t position, const std::string& name) override {
    const BindHandle& b = find(position, name);
    if (!b.atExec) return readArea(b.area, row_);
    if (b.pieces.empty()) return {};
    if (b.area.type == SQLT_LBI) return {Value::Kind::Bytes, 0, 0, b.pieces};
    return Value::text(b.pieces);
  }
  void output(size_t position, const std::string& name, const Value& value) override {
    writeArea(session_, find(position, name).area, 0, value, false);
  }
  void openCursor(size_t position, const std::string& name, const std::string& sql,
                  BindAccess& values) override {
    const Area& area = find(position, name).area;
    StmtHandle* target = area.type == SQLT_RSET && area.value
                             ? lookup<StmtHandle>(*reinterpret_cast<void* const*>(area.value), OCI_HTYPE_STMT)
                             : nullptr;
    if (!target || target == &stmt_) throw OraError(1001, "invalid cursor");
    target->text = sql;
    target->shape = rewriteSql(sql);
    target->prepared = true;
    target->binds.clear();
    target->defines.clear();
    target->params.clear();
    target->session = stmt_.session;
    target->generation = stmt_.generation;
    target->cursor = std::make_unique<Cursor>(session_, sql);
    target->cursor->execute(values, false);
    target->rowCount = 0;
    target->rowsDelivered = 0;
    target->executed = target->open = true;
  }

 private:
  BindHandle& find(size_t position, const std::string& name) {
    for (auto& b : stmt_.binds)
      if (!b->name.empty() && b->name == name) return *b;
    for (auto& b : stmt_.binds)
      if (b->name.empty() && b->position == position) return *b;
    throw OraError(1008, "not all variables bound");
  }
  StmtHandle& stmt_;
  Session& session_;
  ub4 row_;
};

DefineHandle* defineAt(StmtHandle& stmt, ub4 position) {
  for (auto& d : stmt.defines)
    if (d->position == position) return d.get();
  return nullptr;
}

// Fetches up to `rows` rows into the defines; answers the rows written.
ub4 fetchRows(StmtHandle& stmt, ub4 rows) {
  Session& session = cursorSession(stmt);
  ub4 got = 0;
  std::vector<Value> row;
  const auto& columns = stmt.cursor->columns();
  while (got < rows && stmt.open) {
    if (failAfterRowsOn && stmt.rowsDelivered >= failAfterRows) {
      stmt.open = false;
      stmt.rowCount += got;
      throw OraError(ORA_INVALID_NUMBER, "invalid number");
    }
    if (!stmt.cursor->fetch(row)) {
      stmt.open = false;
      break;
    }
    for (size_t c = 0; c < row.size(); ++c) {
      if (const DefineHandle* d = defineAt(stmt, static_cast<ub4>(c + 1)))
        writeArea(session, d->area, got, row[c], columns[c].type.code == SQLT_DAT);
    }
    ++got;
    ++stmt.rowsDelivered;
  }
  stmt.rowCount += got;
  return got;
}

void copyText(const std::string& s, OraText* buffer, ub4 size) {
  if (!buffer || size == 0) return;
  const size_t n = std::min<size_t>(s.size(), size - 1);
  std::memcpy(buffer, s.data(), n);
  buffer[n] = 0;
}

}  // namespace
}  // namespace ocistandin

using namespace ocistandin;

// --- Environment and handles --------------------------------------------------------------------

OCI_EXPORT sword OCIInitialize(ub4, void*, void*, void*, void*) {
  ++callCount;
  return OCI_SUCCESS;
}

static sword makeEnv(void** envp, size_t extra, void** userMemory) {
  if (!envp) return OCI_INVALID_HANDLE;
  ++callCount;
  try {
    auto* env = new EnvHandle();
    if (extra && userMemory) {
      env->userMemory = std::make_unique<char[]>(extra);
      *userMemory = env->userMemory.get();
    }
    readHooks();
    *envp = env;
    return OCI_SUCCESS;
  } catch (const std::bad_alloc&) {
    return OCI_ERROR;
  }
}

OCI_EXPORT sword OCIEnvInit(void** envp, ub4, size_t xtramemsz, void** usrmempp) {
  return makeEnv(envp, xtramemsz, usrmempp);
}

OCI_EXPORT sword OCIEnvCreate(void** envp, ub4, void*, void*, void*, void*, size_t xtramemsz,
                              void** usrmempp) {
  return makeEnv(envp, xtramemsz, usrmempp);
}

OCI_EXPORT sword OCIHandleAlloc(const void* parenth, void** hndlpp, ub4 type, size_t xtramem_sz,
                                void** usrmempp) {
  return entry(nullptr, [&](ErrorHandle*) -> sword {
    auto& env = need<EnvHandle>(parenth, OCI_HTYPE_ENV);
    if (!hndlpp) return OCI_INVALID_HANDLE;
    Handle* h = nullptr;
    switch (type) {
      case OCI_HTYPE_ERROR:
        h = new ErrorHandle(type, &env);
        break;
      case OCI_HTYPE_SVCCTX:
        h = new SvcHandle(type, &env);
        break;
      case OCI_HTYPE_STMT:
        h = new StmtHandle(type, &env);
        break;
      case OCI_HTYPE_SERVER:
        h = new ServerHandle(type, &env);
        break;
      case OCI_HTYPE_SESSION:
        h = new SessionHandle(type, &env);
        break;
      case OCI_HTYPE_DESCRIBE:
        h = new RowidHandle(type, &env);
        break;
      default:
        return OCI_INVALID_HANDLE;
    }
    if (xtramem_sz && usrmempp) {
      h->userMemory = std::make_unique<char[]>(xtramem_sz);
      *usrmempp = h->userMemory.get();
    }
    {
      std::lock_guard lock(registryMutex);
      env.children.push_back(h);
    }
    *hndlpp = h;
    return OCI_SUCCESS;
  });
}

static void releaseChild(Handle* h) {
  {
    std::lock_guard lock(registryMutex);
    auto& c = h->env->children;
    c.erase(std::remove(c.begin(), c.end(), h), c.end());
  }
  delete h;
}

OCI_EXPORT sword OCIHandleFree(void* hndlp, ub4 type) {
  return entry(nullptr, [&](ErrorHandle*) -> sword {
    if (type == OCI_HTYPE_BIND || type == OCI_HTYPE_DEFINE) {
      // Binds and defines belong to their statement and go with it.
      need<Handle>(hndlp, type);
      return OCI_SUCCESS;
    }
    auto& h = need<Handle>(hndlp, type);
    if (type == OCI_HTYPE_ENV) {
      if (const char* path = std::getenv("OCI_STANDIN_COUNT_FILE")) {
        std::ofstream out(path, std::ios::trunc);
        out << callCount.load() << "\n";
      }
      delete &h;
      return OCI_SUCCESS;
    }
    releaseChild(&h);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDescriptorAlloc(const void* parenth, void** descpp, ub4 type, size_t, void**) {
  return entry(nullptr, [&](ErrorHandle*) -> sword {
    auto& env = need<EnvHandle>(parenth, OCI_HTYPE_ENV);
    if (!descpp || (type != OCI_DTYPE_ROWID && type != OCI_DTYPE_LOB && type != OCI_DTYPE_FILE))
      return OCI_INVALID_HANDLE;
    Handle* h = type == OCI_DTYPE_ROWID ? static_cast<Handle*>(new RowidHandle(type, &env))
                                        : new LobHandle(type, &env);
    {
      std::lock_guard lock(registryMutex);
      env.children.push_back(h);
    }
    *descpp = h;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDescriptorFree(void* descp, ub4 type) {
  return entry(nullptr, [&](ErrorHandle*) -> sword {
    if (type == OCI_DTYPE_PARAM) {
      need<Handle>(descp, type);  // freed with its statement
      return OCI_SUCCESS;
    }
    releaseChild(&need<Handle>(descp, type));
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIErrorGet(void* hndlp, ub4 recordno, OraText* sqlstate, sb4* errcodep, OraText* bufp,
                             ub4 bufsiz, ub4 type) {
  if (type != OCI_HTYPE_ERROR && type != OCI_HTYPE_ENV) return OCI_INVALID_HANDLE;
  auto* err = lookup<ErrorHandle>(hndlp, OCI_HTYPE_ERROR);
  if (!err) return OCI_INVALID_HANDLE;
  if (sqlstate) sqlstate[0] = 0;
  if (err->code == 0 || recordno != 1) return OCI_NO_DATA;
  if (errcodep) *errcodep = err->code;
  char head[16];
  std::snprintf(head, sizeof head, "ORA-%05d: ", err->code);
  copyText(head + err->text + "\n", bufp, bufsiz);
  return OCI_SUCCESS;
}

// --- Attributes ---------------------------------------------------------------------------------

template <class T>
static void put(void* attributep, ub4* sizep, T value) {
  if (attributep) std::memcpy(attributep, &value, sizeof value);
  if (sizep) *sizep = sizeof value;
}

OCI_EXPORT sword OCIAttrGet(const void* trgthndlp, ub4 trghndltyp, void* attributep, ub4* sizep, ub4 attrtype,
                            void* errhp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    switch (trghndltyp) {
      case OCI_HTYPE_STMT: {
        auto& s = need<StmtHandle>(trgthndlp, trghndltyp);
        switch (attrtype) {
          case OCI_ATTR_ROW_COUNT:
            put<ub4>(attributep, sizep, s.rowCount);
            return OCI_SUCCESS;
          case OCI_ATTR_ROWS_FETCHED:
            put<ub4>(attributep, sizep, s.lastFetched);
            return OCI_SUCCESS;
          case OCI_ATTR_STMT_TYPE: {
            static const ub2 types[] = {0,
                                        OCI_STMT_SELECT,
                                        OCI_STMT_INSERT,
                                        OCI_STMT_UPDATE,
                                        OCI_STMT_DELETE,
                                        OCI_STMT_CREATE,
                                        OCI_STMT_DROP,
                                        OCI_STMT_ALTER,
                                        OCI_STMT_BEGIN,
                                        OCI_STMT_DECLARE,
                                        0,
                                        0};
            put<ub2>(attributep, sizep, types[static_cast<int>(s.shape.kind)]);
            return OCI_SUCCESS;
          }
          case OCI_ATTR_SQLFNCODE: {
            static const ub2 codes[] = {0, 4, 3, 5, 9, 0, 0, 0, 34, 34, 0, 0};
            put<ub2>(attributep, sizep, codes[static_cast<int>(s.shape.kind)]);
            return OCI_SUCCESS;
          }
          case OCI_ATTR_PARAM_COUNT:
            if (!s.cursor) throw OraError(24338, "statement handle not executed");
            cursorSession(s);
            put<ub4>(attributep, sizep, static_cast<ub4>(s.cursor->columns().size()));
            return OCI_SUCCESS;
          case OCI_ATTR_PARSE_ERROR_OFFSET:
            put<ub2>(attributep, sizep, s.errorOffset);
            return OCI_SUCCESS;
          case OCI_ATTR_PREFETCH_ROWS:
          case OCI_ATTR_PREFETCH_MEMORY:
            put<ub4>(attributep, sizep, 0);
            return OCI_SUCCESS;
          case OCI_ATTR_ROWID:
            return OCI_NO_DATA;
          default:
            break;
        }
        break;
      }
      case OCI_DTYPE_PARAM: {
        auto& p = need<ParamHandle>(trgthndlp, trghndltyp);
        switch (attrtype) {
          case OCI_ATTR_DATA_SIZE:
            put<ub2>(attributep, sizep, p.info.type.size);
            return OCI_SUCCESS;
          case OCI_ATTR_DATA_TYPE:
            put<ub2>(attributep, sizep, p.info.type.code);
            return OCI_SUCCESS;
          case OCI_ATTR_PRECISION:
            put<sb2>(attributep, sizep, p.info.type.precision);
            return OCI_SUCCESS;
          case OCI_ATTR_SCALE:
            put<sb1>(attributep, sizep, p.info.type.scale);
            return OCI_SUCCESS;
          case OCI_ATTR_IS_NULL:
            put<ub1>(attributep, sizep, p.info.nullable ? 1 : 0);
            return OCI_SUCCESS;
          case OCI_ATTR_FSPRECISION:
            put<ub1>(attributep, sizep, 0);
            return OCI_SUCCESS;
          case OCI_ATTR_NAME:
            if (attributep)
              *static_cast<const OraText**>(attributep) =
                  reinterpret_cast<const OraText*>(p.info.name.c_str());
            if (sizep) *sizep = static_cast<ub4>(p.info.name.size());
            return OCI_SUCCESS;
          default:
            break;
        }
        break;
      }
      case OCI_HTYPE_SVCCTX: {
        auto& s = need<SvcHandle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_SERVER) {
          put<void*>(attributep, sizep, s.server);
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_SESSION) {
          put<void*>(attributep, sizep, s.session);
          return OCI_SUCCESS;
        }
        break;
      }
      case OCI_HTYPE_SESSION: {
        auto& s = need<SessionHandle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_USERNAME) {
          if (attributep)
            *static_cast<const OraText**>(attributep) = reinterpret_cast<const OraText*>(s.user.c_str());
          if (sizep) *sizep = static_cast<ub4>(s.user.size());
          return OCI_SUCCESS;
        }
        break;
      }
      default:
        need<Handle>(trgthndlp, trghndltyp);
        break;
    }
    throw OraError(24315, "illegal attribute type");
  });
}

OCI_EXPORT sword OCIAttrSet(void* trgthndlp, ub4 trghndltyp, void* attributep, ub4 size, ub4 attrtype,
                            void* errhp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto text = [&] {
      const char* p = static_cast<const char*>(attributep);
      return p ? std::string(p, size) : std::string();
    };
    switch (trghndltyp) {
      case OCI_DTYPE_LOB:
      case OCI_DTYPE_FILE:
        need<LobHandle>(trgthndlp, trghndltyp);  // the locator kind: only plain locators are made here
        return OCI_SUCCESS;
      case OCI_HTYPE_SVCCTX: {
        auto& s = need<SvcHandle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_SERVER) {
          s.server = attributep ? &need<ServerHandle>(attributep, OCI_HTYPE_SERVER) : nullptr;
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_SESSION) {
          s.session = attributep ? &need<SessionHandle>(attributep, OCI_HTYPE_SESSION) : nullptr;
          return OCI_SUCCESS;
        }
        break;
      }
      case OCI_HTYPE_SESSION: {
        auto& s = need<SessionHandle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_USERNAME) {
          s.user = text();
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_PASSWORD) {
          s.password = text();
          return OCI_SUCCESS;
        }
        break;
      }
      case OCI_HTYPE_SERVER:
        need<ServerHandle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_INTERNAL_NAME || attrtype == OCI_ATTR_FOCBK) return OCI_SUCCESS;
        break;
      case OCI_HTYPE_STMT:
        need<StmtHandle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_PREFETCH_ROWS || attrtype == OCI_ATTR_PREFETCH_MEMORY) return OCI_SUCCESS;
        break;
      case OCI_HTYPE_BIND:
      case OCI_HTYPE_DEFINE:
        need<Handle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_CHARSET_ID) return OCI_SUCCESS;
        break;
      default:
        need<Handle>(trgthndlp, trghndltyp);
        break;
    }
    throw OraError(24315, "illegal attribute type");
  });
}

// --- Connection ---------------------------------------------------------------------------------

OCI_EXPORT sword OCIServerAttach(void* srvhp, void* errhp, const OraText* dblink, sb4 dblink_len, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& server = need<ServerHandle>(srvhp, OCI_HTYPE_SERVER);
    if (server.attached) throw OraError(24309, "already connected to a server");
    const auto* p = reinterpret_cast<const char*>(dblink);
    const std::string connect = !p               ? std::string()
                                : dblink_len < 0 ? std::string(p)
                                                 : std::string(p, static_cast<size_t>(dblink_len));
    server.folder = resolveServer(connect);
    server.banner = serverBanner(server.folder);
    server.attached = true;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIServerDetach(void* srvhp, void* errhp, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& server = need<ServerHandle>(srvhp, OCI_HTYPE_SERVER);
    if (!server.attached) throw OraError(24324, "service handle not initialized");
    for (SessionHandle* s : server.sessions) s->core.reset();
    server.attached = false;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIServerVersion(void* hndlp, void* errhp, OraText* bufp, ub4 bufsz, ub1 hndltype) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    if (hndltype == OCI_HTYPE_SVCCTX) {
      copyText(attachedServer(need<SvcHandle>(hndlp, hndltype)).banner, bufp, bufsz);
      return OCI_SUCCESS;
    }
    auto& server = need<ServerHandle>(hndlp, OCI_HTYPE_SERVER);
    if (!server.attached) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
    copyText(server.banner, bufp, bufsz);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCISessionBegin(void* svchp, void* errhp, void* usrhp, ub4 credt, ub4 mode) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    auto& session = need<SessionHandle>(usrhp, OCI_HTYPE_SESSION);
    ServerHandle& server = attachedServer(svc);
    if (credt != OCI_CRED_RDBMS) throw OraError(ORA_LOGON_DENIED, "invalid username/password; logon denied");
    session.core = std::make_unique<Session>(server.folder, session.user, session.password, (mode & 6) != 0);
    session.dead = false;
    ++session.generation;
    session.server = &server;
    server.sessions.insert(&session);
    svc.session = &session;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCISessionEnd(void* svchp, void* errhp, void* usrhp, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    SessionHandle* session = usrhp ? &need<SessionHandle>(usrhp, OCI_HTYPE_SESSION) : sessionOfSvc(svc);
    if (!session || !session->core) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
    const bool dead = session->dead;
    session->core.reset();
    if (dead) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIPasswordChange(void* svchp, void* errhp, const OraText* user_name, ub4 usernm_len,
                                   const OraText* opasswd, ub4 opasswd_len, const OraText* npasswd,
                                   ub4 npasswd_len, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    const ServerHandle& server = attachedServer(svc);
    auto str = [](const OraText* p, ub4 n) {
      return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
    };
    changePassword(server.folder, upperAscii(str(user_name, usernm_len)), str(opasswd, opasswd_len),
                   str(npasswd, npasswd_len));
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCITransCommit(void* svchp, void* errhp, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    liveSession(sessionOfSvc(need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX))).commit();
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCITransRollback(void* svchp, void* errhp, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    liveSession(sessionOfSvc(need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX))).rollback();
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIBreak(void* hndlp, void* errhp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    std::set<SessionHandle*> targets;
    if (auto* svc = lookup<SvcHandle>(hndlp, OCI_HTYPE_SVCCTX)) {
      if (SessionHandle* s = sessionOfSvc(*svc)) targets.insert(s);
    } else {
      targets = need<ServerHandle>(hndlp, OCI_HTYPE_SERVER).sessions;
    }
    for (SessionHandle* s : targets)
      if (s->core) s->core->interrupt();
    return OCI_SUCCESS;
  });
}

// --- Statements ---------------------------------------------------------------------------------

OCI_EXPORT sword OCIStmtPrepare(void* stmtp, void* errhp, const OraText* stmt, ub4 stmt_len, ub4, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& s = need<StmtHandle>(stmtp, OCI_HTYPE_STMT);
    if (!stmt) throw OraError(ORA_INVALID_STATEMENT, "invalid SQL statement");
    std::string text(reinterpret_cast<const char*>(stmt), stmt_len);
    // Callers pass the length with or without the terminating NUL.
    while (!text.empty() && text.back() == '\0') text.pop_back();
    s.text = std::move(text);
    s.shape = rewriteSql(s.text);
    s.prepared = true;
    s.cursor.reset();
    s.binds.clear();
    s.defines.clear();
    s.params.clear();
    s.executed = s.open = false;
    s.rowCount = 0;
    s.errorOffset = 0;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIStmtExecute(void* svchp, void* stmtp, void* errhp, ub4 iters, ub4 rowoff, const void*,
                                void*, ub4 mode) {
  return entry(errhp, [&](ErrorHandle* err) -> sword {
    auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    auto& s = need<StmtHandle>(stmtp, OCI_HTYPE_STMT);
    SessionHandle* sessionHandle = sessionOfSvc(svc);
    Session& session = liveSession(sessionHandle);
    if (!s.prepared) throw OraError(24337, "statement handle not prepared");
    if (!s.cursor || s.session != sessionHandle || s.generation != sessionHandle->generation) {
      s.cursor.reset();
      s.params.clear();
      s.session = sessionHandle;
      s.generation = sessionHandle->generation;
      s.cursor = std::make_unique<Cursor>(session, s.text);
    }
    // A value given at execution is asked for piece by piece before the statement runs.
    for (auto& b : s.binds)
      if (b->atExec && !b->complete) {
        s.pieceBind = b.get();
        return OCI_NEED_DATA;
      }
    s.pieceBind = nullptr;
    struct PiecesDone {
      StmtHandle& s;
      ~PiecesDone() {
        for (auto& b : s.binds) {
          b->begun = b->complete = false;
          b->pieces.clear();
        }
      }
    } piecesDone{s};
    s.rowCount = 0;
    s.rowsDelivered = 0;
    s.open = false;
    const bool describeOnly = (mode & OCI_DESCRIBE_ONLY) != 0;
    sword status = OCI_SUCCESS;
    if (s.cursor->isQuery()) {
      AreaBinds binds(s, session, 0);
      s.cursor->execute(binds, describeOnly);
      s.open = !describeOnly;
      s.scrollable = !describeOnly && (mode & OCI_STMT_SCROLLABLE_READONLY) != 0;
      s.result.clear();
      s.position = 0;
      for (std::vector<Value> row; s.scrollable && s.cursor->fetch(row);) s.result.push_back(row);
      if (iters > 0 && !describeOnly && fetchRows(s, iters) < iters) {
        setError(err, ORA_NO_DATA_FOUND, "no data found");
        status = OCI_NO_DATA;
      }
    } else if (describeOnly) {
      return OCI_SUCCESS;
    } else {
      if (iters == 0) throw OraError(24333, "zero iteration count");
      for (ub4 k = 0; k < iters; ++k) {
        AreaBinds binds(s, session, rowoff + k);
        s.cursor->execute(binds, false);
        s.rowCount += static_cast<ub4>(s.cursor->rowsProcessed());
      }
    }
    s.executed = true;
    if (mode & OCI_COMMIT_ON_SUCCESS) session.commit();
    return status;
  });
}

OCI_EXPORT sword OCIStmtGetPieceInfo(void* stmtp, void* errhp, void** hndlpp, ub4* typep, ub1* in_outp,
                                     ub4* iterp, ub4* idxp, ub1* piecep) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& s = need<StmtHandle>(stmtp, OCI_HTYPE_STMT);
    if (!s.pieceBind) throw OraError(24302, "no piece information available");
    if (hndlpp) *hndlpp = s.pieceBind;
    if (typep) *typep = OCI_HTYPE_BIND;
    if (in_outp) *in_outp = 1;
    if (iterp) *iterp = 0;
    if (idxp) *idxp = 0;
    if (piecep) *piecep = s.pieceBind->begun ? 2 : 1;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIStmtSetPieceInfo(void* hndlp, ub4 type, void* errhp, const void* bufp, ub4* alenp,
                                     ub1 piece, const void* indp, ub2*) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& b = need<BindHandle>(hndlp, type);
    if (!b.atExec) throw OraError(24302, "no piece information available");
    const sb2* ind = static_cast<const sb2*>(indp);
    if (bufp && alenp && !(ind && *ind < 0)) b.pieces.append(static_cast<const char*>(bufp), *alenp);
    b.begun = true;
    if (piece == 0 || piece == 3) b.complete = true;
    return OCI_SUCCESS;
  });
}

// Rows of a scrollable result from row `first` (from 1) on; answers the rows written.
ub4 fetchScrolled(StmtHandle& s, ub4 nrows, long long first) {
  Session& session = cursorSession(s);
  const auto& columns = s.cursor->columns();
  ub4 got = 0;
  for (long long row = first; got < nrows && row >= 1 && row <= static_cast<long long>(s.result.size());
       ++row) {
    if (failAfterRowsOn && s.rowsDelivered >= failAfterRows)
      throw OraError(ORA_INVALID_NUMBER, "invalid number");
    const std::vector<Value>& values = s.result[static_cast<size_t>(row - 1)];
    for (size_t c = 0; c < values.size(); ++c)
      if (const DefineHandle* d = defineAt(s, static_cast<ub4>(c + 1)))
        writeArea(session, d->area, got, values[c], columns[c].type.code == SQLT_DAT);
    ++got;
    ++s.rowsDelivered;
    s.position = static_cast<size_t>(row);
  }
  s.rowCount = std::max<ub4>(s.rowCount, static_cast<ub4>(s.position));
  return got;
}

static sword fetch(void* stmtp, void* errhp, ub4 nrows, ub2 orientation, sb4 offset) {
  return entry(errhp, [&](ErrorHandle* err) -> sword {
    auto& s = need<StmtHandle>(stmtp, OCI_HTYPE_STMT);
    if (!s.executed || !s.cursor || !s.cursor->isQuery())
      throw OraError(24338, "statement handle not executed");
    cursorSession(s);
    s.lastFetched = 0;
    if (s.scrollable && nrows > 0) {
      const long long position = static_cast<long long>(s.position);
      long long first;
      switch (orientation) {
        case OCI_DEFAULT:
        case OCI_FETCH_NEXT:
          first = position + 1;
          break;
        case OCI_FETCH_FIRST:
          first = 1;
          break;
        case OCI_FETCH_LAST:
          first = static_cast<long long>(s.result.size());
          nrows = 1;
          break;
        case OCI_FETCH_PRIOR:
          first = position - 1;
          break;
        case OCI_FETCH_ABSOLUTE:
          first = offset;
          break;
        case OCI_FETCH_RELATIVE:
          first = position + offset;
          break;
        default:
          throw OraError(24391, "invalid fetch operation");
      }
      s.lastFetched = fetchScrolled(s, nrows, first);
      if (s.lastFetched < nrows) {
        setError(err, ORA_NO_DATA_FOUND, "no data found");
        return OCI_NO_DATA;
      }
      return OCI_SUCCESS;
    }
    if (orientation != OCI_FETCH_NEXT && orientation != OCI_DEFAULT)
      throw OraError(24391, "invalid fetch operation");
    if (nrows == 0) {
      s.open = false;  // a fetch of no rows cancels the cursor
      return OCI_SUCCESS;
    }
    s.lastFetched = fetchRows(s, nrows);
    if (s.lastFetched < nrows) {
      setError(err, ORA_NO_DATA_FOUND, "no data found");
      return OCI_NO_DATA;
    }
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIStmtFetch(void* stmtp, void* errhp, ub4 nrows, ub2 orientation, ub4) {
  return fetch(stmtp, errhp, nrows, orientation, 0);
}

OCI_EXPORT sword OCIStmtFetch2(void* stmtp, void* errhp, ub4 nrows, ub2 orientation, sb4 offset, ub4) {
  return fetch(stmtp, errhp, nrows, orientation, offset);
}

OCI_EXPORT sword OCIParamGet(const void* hndlp, ub4 htype, void* errhp, void** parmdpp, ub4 pos) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& s = need<StmtHandle>(hndlp, htype);
    if (!s.cursor) throw OraError(24338, "statement handle not executed");
    cursorSession(s);
    const auto& columns = s.cursor->columns();
    if (pos < 1 || pos > columns.size() || !parmdpp) throw OraError(24334, "no descriptor for this position");
    s.params.push_back(std::make_unique<ParamHandle>(s.env, columns[pos - 1]));
    *parmdpp = s.params.back().get();
    return OCI_SUCCESS;
  });
}

static Area makeArea(void* valuep, sb4 size, ub2 type, void* indp, ub2* lengthp, ub2* codep) {
  switch (type) {
    case SQLT_STR:
    case SQLT_CHR:
    case SQLT_AFC:
    case SQLT_AVC:
    case SQLT_LNG:
    case SQLT_INT:
    case SQLT_FLT:
    case SQLT_DAT:
    case SQLT_BIN:
    case SQLT_LBI:
    case SQLT_RSET:
    case SQLT_CLOB:
    case SQLT_BLOB:
      break;
    default:
      unsupportedType(type);
  }
  if (size < 0) throw OraError(3115, "unsupported network datatype or representation");
  Area a;
  a.value = static_cast<char*>(valuep);
  a.size = size;
  a.type = type;
  a.indicator = static_cast<char*>(indp);
  a.length = reinterpret_cast<char*>(lengthp);
  a.returnCode = reinterpret_cast<char*>(codep);
  return a;
}

static sword bind(void* stmtp, void** bindpp, void* errhp, const std::string& name, ub4 position,
                  void* valuep, sb4 value_sz, ub2 dty, void* indp, ub2* alenp, ub2* rcodep, ub4 mode) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& s = need<StmtHandle>(stmtp, OCI_HTYPE_STMT);
    if (!s.prepared) throw OraError(24337, "statement handle not prepared");
    if (!bindpp) return OCI_INVALID_HANDLE;
    const bool atExec = (mode & OCI_DATA_AT_EXEC) != 0;
    if (atExec && dty != SQLT_LNG && dty != SQLT_LBI && dty != SQLT_CHR) unsupportedType(dty);
    const auto& names = s.shape.binds;
    if (name.empty() ? (position < 1 || position > names.size())
                     : std::find(names.begin(), names.end(), name) == names.end())
      throw OraError(1036, "illegal variable name/number");
    BindHandle* b = nullptr;
    for (auto& existing : s.binds)
      if (existing->name == name && existing->position == position) b = existing.get();
    if (!b) {
      s.binds.push_back(std::make_unique<BindHandle>(s.env, &s));
      b = s.binds.back().get();
    }
    b->name = name;
    b->position = position;
    b->area = makeArea(valuep, value_sz, dty, indp, alenp, rcodep);
    b->atExec = atExec;
    b->begun = b->complete = false;
    b->pieces.clear();
    *bindpp = b;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIBindByName(void* stmtp, void** bindpp, void* errhp, const OraText* placeholder,
                               sb4 placeh_len, void* valuep, sb4 value_sz, ub2 dty, void* indp, ub2* alenp,
                               ub2* rcodep, ub4, ub4*, ub4 mode) {
  const auto* p = reinterpret_cast<const char*>(placeholder);
  const std::string name = !p               ? std::string()
                           : placeh_len < 0 ? std::string(p)
                                            : std::string(p, static_cast<size_t>(placeh_len));
  return bind(stmtp, bindpp, errhp, normaliseBindName(name), 0, valuep, value_sz, dty, indp, alenp, rcodep,
              mode);
}

OCI_EXPORT sword OCIBindByPos(void* stmtp, void** bindpp, void* errhp, ub4 position, void* valuep,
                              sb4 value_sz, ub2 dty, void* indp, ub2* alenp, ub2* rcodep, ub4, ub4*,
                              ub4 mode) {
  return bind(stmtp, bindpp, errhp, std::string(), position, valuep, value_sz, dty, indp, alenp, rcodep,
              mode);
}

OCI_EXPORT sword OCIBindArrayOfStruct(void* bindp, void* errhp, ub4 pvskip, ub4 indskip, ub4 alskip,
                                      ub4 rcskip) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& b = need<BindHandle>(bindp, OCI_HTYPE_BIND);
    b.area.valueSkip = pvskip;
    b.area.indicatorSkip = indskip;
    b.area.lengthSkip = alskip;
    b.area.codeSkip = rcskip;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDefineByPos(void* stmtp, void** defnpp, void* errhp, ub4 position, void* valuep,
                                sb4 value_sz, ub2 dty, void* indp, ub2* rlenp, ub2* rcodep, ub4 mode) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& s = need<StmtHandle>(stmtp, OCI_HTYPE_STMT);
    if (!defnpp || position < 1) throw OraError(24334, "no descriptor for this position");
    if (mode & OCI_DYNAMIC_FETCH) unsupportedType(dty);
    DefineHandle* d = defineAt(s, position);
    if (!d) {
      s.defines.push_back(std::make_unique<DefineHandle>(s.env, &s));
      d = s.defines.back().get();
    }
    d->position = position;
    d->area = makeArea(valuep, value_sz, dty, indp, rlenp, rcodep);
    *defnpp = d;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDefineArrayOfStruct(void* defnp, void* errhp, ub4 pvskip, ub4 indskip, ub4 rlskip,
                                        ub4 rcskip) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& d = need<DefineHandle>(defnp, OCI_HTYPE_DEFINE);
    d.area.valueSkip = pvskip;
    d.area.indicatorSkip = indskip;
    d.area.lengthSkip = rlskip;
    d.area.codeSkip = rcskip;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT uint64_t OCIStandinCallCount(void) {
  return callCount.load();
}

// --- LOBs ------------------------------------------------------------------------------------------

namespace ocistandin {
namespace {

constexpr ub2 kUtf16CharsetId = 1000;

LobHandle& anyLob(const void* locp) {
  if (auto* file = lookup<LobHandle>(locp, OCI_DTYPE_FILE)) return *file;
  return need<LobHandle>(locp, OCI_DTYPE_LOB);
}

LobHandle& initedLob(void* locp) {
  LobHandle& l = anyLob(locp);
  if (!l.initialized) throw OraError(22275, "invalid LOB locator specified");
  if (l.type == OCI_DTYPE_FILE && !l.opened)
    throw OraError(22289, "cannot perform operation on an unopened file or LOB");
  return l;
}

LobHandle& fileLob(const void* filep) {
  auto& l = need<LobHandle>(filep, OCI_DTYPE_FILE);
  if (!l.initialized) throw OraError(22275, "invalid LOB locator specified");
  return l;
}

std::filesystem::path filePath(SvcHandle& svc, const LobHandle& l) {
  return std::filesystem::path(liveSession(sessionOfSvc(svc)).folder()) / "directories" / l.directory /
         l.fileName;
}

}  // namespace
}  // namespace ocistandin

OCI_EXPORT sword OCILobCreateTemporary(void* svchp, void* errhp, void* locp, ub2, ub1, ub1 lobtype, int,
                                       ub2) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    liveSession(sessionOfSvc(need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX)));
    auto& l = need<LobHandle>(locp, OCI_DTYPE_LOB);
    if (lobtype != 1 && lobtype != 2) throw OraError(22275, "invalid LOB locator specified");
    l.initialized = true;
    l.clob = lobtype == 2;
    l.text.clear();
    l.bytes.clear();
    l.streaming = false;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobLocatorIsInit(void*, void* errhp, const void* locp, int* isInit) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    *isInit = anyLob(locp).initialized ? 1 : 0;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobGetLength(void* svchp, void* errhp, void* locp, ub4* lenp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    *lenp = static_cast<ub4>(initedLob(locp).length());
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobCharSetForm(void*, void* errhp, const void* locp, ub1* csfrm) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    *csfrm = initedLob(const_cast<void*>(locp)).clob ? 1 : 0;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobTrim(void* svchp, void* errhp, void* locp, ub4 newlen) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& l = initedLob(locp);
    if (newlen > l.length())
      throw OraError(22926, "specified trim length is greater than current LOB value's length");
    if (l.clob)
      l.text.resize(newlen);
    else
      l.bytes.resize(newlen);
    return OCI_SUCCESS;
  });
}

// Reads from unit `offset` (from 1). An amount of 0 streams: each call fills the buffer and
// answers OCI_NEED_DATA while units remain.
OCI_EXPORT sword OCILobRead(void* svchp, void* errhp, void* locp, ub4* amtp, ub4 offset, void* bufp, ub4 bufl,
                            void*, void*, ub2 csid, ub1) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& l = initedLob(locp);
    if (offset < 1) throw OraError(24801, "illegal parameter value in OCI lob function");
    const bool wide = l.clob && csid == kUtf16CharsetId;
    const size_t unitBytes = wide ? 2 : 1;
    const bool stream = *amtp == 0;
    if (stream && !l.streaming) {
      l.streaming = true;
      l.streamAt = offset - 1;
    }
    const size_t from = stream ? l.streamAt : offset - 1;
    const size_t available = from < l.length() ? l.length() - from : 0;
    size_t units = std::min<size_t>(available, bufl / unitBytes);
    if (!stream) units = std::min<size_t>(units, *amtp);
    char* out = static_cast<char*>(bufp);
    for (size_t i = 0; i < units; ++i) {
      if (!l.clob)
        out[i] = l.bytes[from + i];
      else if (wide)
        std::memcpy(out + 2 * i, &l.text[from + i], 2);
      else
        out[i] = static_cast<char>(l.text[from + i]);
    }
    *amtp = static_cast<ub4>(units);
    if (!stream) return OCI_SUCCESS;
    l.streamAt = from + units;
    if (l.streamAt < l.length() && units > 0) return OCI_NEED_DATA;
    l.streaming = false;
    return OCI_SUCCESS;
  });
}

// Writes `*amtp` units at unit `offset` (from 1) in one piece; a gap before it is filled with
// zeros (BLOB) or blanks (CLOB).
OCI_EXPORT sword OCILobWrite(void* svchp, void* errhp, void* locp, ub4* amtp, ub4 offset, void* bufp,
                             ub4 buflen, ub1 piece, void*, void*, ub2 csid, ub1) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& l = initedLob(locp);
    if (offset < 1 || piece != 0) throw OraError(24801, "illegal parameter value in OCI lob function");
    const bool wide = l.clob && csid == kUtf16CharsetId;
    const size_t units = *amtp;
    if (units * (wide ? 2 : 1) > buflen) throw OraError(24801, "illegal parameter value in OCI lob function");
    const size_t at = offset - 1;
    const char* in = static_cast<const char*>(bufp);
    if (!l.clob) {
      if (l.bytes.size() < at + units) l.bytes.resize(at + units, '\0');
      std::memcpy(&l.bytes[at], in, units);
    } else {
      if (l.text.size() < at + units) l.text.resize(at + units, u' ');
      for (size_t i = 0; i < units; ++i) {
        char16_t unit;
        if (wide)
          std::memcpy(&unit, in + 2 * i, 2);
        else
          unit = static_cast<unsigned char>(in[i]);
        l.text[at + i] = unit;
      }
    }
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobFileSetName(void*, void* errhp, void** filepp, const OraText* dir, ub2 dirLength,
                                   const OraText* name, ub2 nameLength) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& l = need<LobHandle>(filepp ? *filepp : nullptr, OCI_DTYPE_FILE);
    l.directory.assign(reinterpret_cast<const char*>(dir), dirLength);
    l.fileName.assign(reinterpret_cast<const char*>(name), nameLength);
    l.initialized = true;
    l.opened = false;
    l.bytes.clear();
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobFileGetName(void*, void* errhp, const void* filep, OraText* dir, ub2* dirLength,
                                   OraText* name, ub2* nameLength) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const LobHandle& l = fileLob(filep);
    if (l.directory.size() > *dirLength || l.fileName.size() > *nameLength)
      throw OraError(22287, "invalid or modified directory occurred during FILEGETNAME operation");
    std::memcpy(dir, l.directory.data(), l.directory.size());
    std::memcpy(name, l.fileName.data(), l.fileName.size());
    *dirLength = static_cast<ub2>(l.directory.size());
    *nameLength = static_cast<ub2>(l.fileName.size());
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobFileExists(void* svchp, void* errhp, void* filep, int* flag) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    const LobHandle& l = fileLob(filep);
    const std::filesystem::path path = filePath(svc, l);
    std::error_code ec;
    if (!std::filesystem::is_directory(path.parent_path(), ec))
      throw OraError(22285, "non-existent directory or file for FILEEXISTS operation");
    *flag = std::filesystem::is_regular_file(path, ec) ? 1 : 0;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobFileOpen(void* svchp, void* errhp, void* filep, ub1 mode) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& l = fileLob(filep);
    if (mode != 1) throw OraError(22288, "file or LOB operation FILEOPEN failed");
    std::ifstream in(filePath(svc, l), std::ios::binary);
    if (!in) throw OraError(22288, "file or LOB operation FILEOPEN failed");
    l.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    l.opened = true;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobFileClose(void* svchp, void* errhp, void* filep) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& l = fileLob(filep);
    l.opened = false;
    l.bytes.clear();
    return OCI_SUCCESS;
  });
}
