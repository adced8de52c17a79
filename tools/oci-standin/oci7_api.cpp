// The old call level: logon and cursor data areas over the handle calls of oci_api.cpp.
//
// A logon data area (LDA) and a cursor data area (CDA) are 64 bytes of the caller's memory in the
// layout of OCI7CursorArea (oci_abi.h). The library keeps what stands behind each area (its
// handles, binds and defines) in tables keyed by the area's address, and writes the area's
// public fields (return codes, function code, rows processed, parse error offset, ROWID) after
// each call. Every call answers the old return code: 0, 4 at the end of a fetch, the negative
// ORA number of an error (-9 for ORA-00001, -303 for a position past the select list), and the
// negative piece codes -3129 (next input piece) and -3130 (next output piece).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/oci-standin/oci_abi.h"
#include "tools/oci-standin/standin_values.h"

#define OCI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Logon7 {
  void* env = nullptr;
  void* err = nullptr;
  void* server = nullptr;
  void* svc = nullptr;
  void* session = nullptr;
  bool owned = true;  // false for an area made from a service context (OCISvcCtxToLda): the
                      // context and its environment are not freed with the area
  bool autoCommit = false;
};

struct Cursor7 {
  OCI7CursorArea* area = nullptr;
  Logon7* logon = nullptr;
  void* stmt = nullptr;
  bool query = false;
  bool executed = false;
  // Piecewise transfers: the handle the library asked about last and the caller's contexts.
  void* pieceHandle = nullptr;
  ub4 pieceType = 0;
  bool ranAtParse = false;          // DDL, which the parse ran; executing it answers success
  std::map<void*, void*> contexts;  // bind or define handle -> caller's context pointer
};

std::mutex tablesMutex;
std::map<const void*, std::unique_ptr<Logon7>> logons;
std::map<const void*, std::unique_ptr<Cursor7>> cursors;
// The text of the last error of each number, for oerhms and oermsg.
std::map<int, std::string> messages;

Logon7* logonOf(const void* lda) {
  std::lock_guard lock(tablesMutex);
  const auto it = logons.find(lda);
  return it == logons.end() ? nullptr : it->second.get();
}

Cursor7* cursorOf(const void* cda) {
  std::lock_guard lock(tablesMutex);
  const auto it = cursors.find(cda);
  return it == cursors.end() ? nullptr : it->second.get();
}

OCI7CursorArea* areaOf(void* p) {
  return static_cast<OCI7CursorArea*>(p);
}

// The old return code of an ORA number.
sword oldCode(int ora) {
  switch (ora) {
    case 0:
      return 0;
    case 1:
      return -9;
    case 1403:
      return 4;
    case 1007:
      return -303;
    default:
      return -ora;
  }
}

int oraOfOld(int code) {
  switch (code) {
    case -9:
      return 1;
    case 4:
      return 1403;
    case -303:
      return 1007;
    default:
      return std::abs(code);
  }
}

// Records an outcome in the area: the ORA number and its old code, which is answered.
sword report(void* areaPointer, int ora) {
  OCI7CursorArea* a = areaOf(areaPointer);
  a->rc = static_cast<ub2>(ora);
  a->v2_rc = static_cast<sb2>(oldCode(ora));
  return oldCode(ora);
}

// The ORA number behind a status of a handle call, its text remembered.
int oraOf(sword status, void* err) {
  if (status == OCI_SUCCESS || status == OCI_SUCCESS_WITH_INFO) return 0;
  if (status == OCI_NO_DATA) return 1403;
  if (status == OCI_NEED_DATA) return 0;
  if (status == OCI_INVALID_HANDLE) return 1001;
  sb4 code = 0;
  OraText text[1024] = {};
  if (OCIErrorGet(err, 1, nullptr, &code, text, sizeof text, OCI_HTYPE_ERROR) != OCI_SUCCESS) return 1013;
  std::string message = reinterpret_cast<const char*>(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  std::lock_guard lock(tablesMutex);
  messages[code] = message;
  return code;
}

sword check(void* area, sword status, void* err) {
  return report(area, oraOf(status, err));
}

std::string textOf(const OraText* p, sb4 length) {
  if (!p) return {};
  return length < 0 ? std::string(reinterpret_cast<const char*>(p))
                    : std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(length));
}

// After an execution: function code, rows processed, parse error offset and the ROWID of the row
// a DML statement touched, in the area's own fields.
void fillArea(Cursor7& c) {
  OCI7CursorArea* a = c.area;
  void* err = c.logon->err;
  ub2 code = 0, offset = 0;
  ub4 rows = 0;
  OCIAttrGet(c.stmt, OCI_HTYPE_STMT, &code, nullptr, OCI_ATTR_SQLFNCODE, err);
  OCIAttrGet(c.stmt, OCI_HTYPE_STMT, &rows, nullptr, OCI_ATTR_ROW_COUNT, err);
  OCIAttrGet(c.stmt, OCI_HTYPE_STMT, &offset, nullptr, OCI_ATTR_PARSE_ERROR_OFFSET, err);
  a->ft = code;
  a->rpc = rows;
  a->peo = offset;
  void* rowid = nullptr;
  if (OCIDescriptorAlloc(c.logon->env, &rowid, OCI_DTYPE_ROWID, 0, nullptr) != OCI_SUCCESS) return;
  OraText text[32];
  ub2 length = sizeof text;
  int64_t row = 0;
  if (OCIAttrGet(c.stmt, OCI_HTYPE_STMT, rowid, nullptr, OCI_ATTR_ROWID, err) == OCI_SUCCESS &&
      OCIRowidToChar(rowid, text, &length, err) == OCI_SUCCESS &&
      ocistandin::rowidRow(std::string_view(reinterpret_cast<const char*>(text), length), row)) {
    const auto b = ocistandin::rowidBytes(row);
    a->rid.rd.rcs4 = uint32_t(b[1]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 8 | b[4];
    a->rid.rd.rcs5 = static_cast<ub2>(b[5] << 8 | b[6]);
    a->rid.rcs7 = uint32_t(b[7]) << 24 | uint32_t(b[8]) << 16 | uint32_t(b[9]) << 8 | b[10];
    a->rid.rcs8 = static_cast<ub2>(b[11] << 8 | b[12]);
  }
  OCIDescriptorFree(rowid, OCI_DTYPE_ROWID);
}

// Runs the statement of a cursor: `iters` rows of binds (0 for a query), the logon's
// auto-commit applied.
sword execute(Cursor7& c, ub4 iters, ub4 rowoff) {
  const ub4 mode = c.logon->autoCommit && !c.query ? OCI_COMMIT_ON_SUCCESS : OCI_DEFAULT;
  const sword status =
      OCIStmtExecute(c.logon->svc, c.stmt, c.logon->err, c.query ? 0 : iters, rowoff, nullptr, nullptr, mode);
  if (status == OCI_NEED_DATA) {
    // The code tells the caller which way the piece goes: -3129 a value wanted, -3130 one given.
    void* handle = nullptr;
    ub4 type = 0, iteration = 0, index = 0;
    ub1 direction = 1, piece = 0;  // 1 in, 2 out
    OCIStmtGetPieceInfo(c.stmt, c.logon->err, &handle, &type, &direction, &iteration, &index, &piece);
    const int code = direction == 2 ? 3130 : 3129;
    report(c.area, code);
    return -code;
  }
  const int ora = oraOf(status, c.logon->err);
  c.executed = ora == 0;
  if (status == OCI_SUCCESS_WITH_INFO) {
    sb4 code = 0;
    OCIErrorGet(c.logon->err, 1, nullptr, &code, nullptr, 0, OCI_HTYPE_ERROR);
    if (code == 24344) c.area->wrn = 0x21;  // compiled with errors
  }
  fillArea(c);
  return report(c.area, ora);
}

}  // namespace

// --- Logon ----------------------------------------------------------------------------------------

OCI_EXPORT sword opinit(ub4) {
  return 0;
}

// The user may carry "user/password@connect" when the password is not given apart.
OCI_EXPORT sword olog(void* lda, ub1*, const OraText* uid, sword uidl, const OraText* pswd, sword pswdl,
                      const OraText* conn, sword connl, ub4) {
  if (!lda) return -1001;
  std::memset(lda, 0, sizeof(OCI7CursorArea));
  std::string user = textOf(uid, uidl), password = textOf(pswd, pswdl), connect = textOf(conn, connl);
  if (password.empty()) {
    const size_t at = user.find('@');
    if (at != std::string::npos && connect.empty()) connect = user.substr(at + 1);
    if (at != std::string::npos) user.resize(at);
    const size_t slash = user.find('/');
    if (slash != std::string::npos) {
      password = user.substr(slash + 1);
      user.resize(slash);
    }
  }
  auto logon = std::make_unique<Logon7>();
  if (OCIEnvCreate(&logon->env, OCI_THREADED, nullptr, nullptr, nullptr, nullptr, 0, nullptr) != OCI_SUCCESS)
    return report(lda, 1019);
  OCIHandleAlloc(logon->env, &logon->err, OCI_HTYPE_ERROR, 0, nullptr);
  OCIHandleAlloc(logon->env, &logon->server, OCI_HTYPE_SERVER, 0, nullptr);
  OCIHandleAlloc(logon->env, &logon->svc, OCI_HTYPE_SVCCTX, 0, nullptr);
  OCIHandleAlloc(logon->env, &logon->session, OCI_HTYPE_SESSION, 0, nullptr);
  sword status = OCIServerAttach(logon->server, logon->err, reinterpret_cast<const OraText*>(connect.data()),
                                 static_cast<sb4>(connect.size()), 0);
  if (status == OCI_SUCCESS)
    status = OCIAttrSet(logon->svc, OCI_HTYPE_SVCCTX, logon->server, 0, OCI_ATTR_SERVER, logon->err);
  if (status == OCI_SUCCESS)
    status = OCIAttrSet(logon->session, OCI_HTYPE_SESSION, user.data(), static_cast<ub4>(user.size()),
                        OCI_ATTR_USERNAME, logon->err);
  if (status == OCI_SUCCESS)
    status = OCIAttrSet(logon->session, OCI_HTYPE_SESSION, password.data(), static_cast<ub4>(password.size()),
                        OCI_ATTR_PASSWORD, logon->err);
  if (status == OCI_SUCCESS)
    status = OCISessionBegin(logon->svc, logon->err, logon->session, OCI_CRED_RDBMS, OCI_DEFAULT);
  if (status != OCI_SUCCESS) {
    const int ora = oraOf(status, logon->err);
    OCIHandleFree(logon->env, OCI_HTYPE_ENV);
    return report(lda, ora);
  }
  {
    std::lock_guard lock(tablesMutex);
    logons[lda] = std::move(logon);
  }
  return report(lda, 0);
}

OCI_EXPORT sword ologof(void* lda) {
  std::unique_ptr<Logon7> logon;
  std::vector<void*> statements;
  {
    std::lock_guard lock(tablesMutex);
    const auto it = logons.find(lda);
    if (it == logons.end()) return -1012;
    logon = std::move(it->second);
    logons.erase(it);
    for (auto c = cursors.begin(); c != cursors.end();) {
      if (c->second->logon != logon.get()) {
        ++c;
        continue;
      }
      statements.push_back(c->second->stmt);
      c = cursors.erase(c);
    }
  }
  for (void* stmt : statements) OCIHandleFree(stmt, OCI_HTYPE_STMT);
  if (!logon->owned) {
    // The service context and its environment stay with their owner.
    OCIHandleFree(logon->err, OCI_HTYPE_ERROR);
    return report(lda, 0);
  }
  const sword status = OCISessionEnd(logon->svc, logon->err, logon->session, OCI_DEFAULT);
  const int ora = oraOf(status, logon->err);
  OCIServerDetach(logon->server, logon->err, OCI_DEFAULT);
  OCIHandleFree(logon->env, OCI_HTYPE_ENV);
  return report(lda, ora);
}

OCI_EXPORT sword ocom(void* lda) {
  Logon7* l = logonOf(lda);
  if (!l) return report(lda, 1012);
  return check(lda, OCITransCommit(l->svc, l->err, 0), l->err);
}

OCI_EXPORT sword orol(void* lda) {
  Logon7* l = logonOf(lda);
  if (!l) return report(lda, 1012);
  return check(lda, OCITransRollback(l->svc, l->err, 0), l->err);
}

OCI_EXPORT sword ocon(void* lda) {
  Logon7* l = logonOf(lda);
  if (!l) return report(lda, 1012);
  l->autoCommit = true;
  return report(lda, 0);
}

OCI_EXPORT sword ocof(void* lda) {
  Logon7* l = logonOf(lda);
  if (!l) return report(lda, 1012);
  l->autoCommit = false;
  return report(lda, 0);
}

// A break does not touch the area: the call it ends reports ORA-01013 there.
OCI_EXPORT sword obreak(void* lda) {
  Logon7* l = logonOf(lda);
  if (!l) return -1012;
  return OCIBreak(l->svc, l->err) == OCI_SUCCESS ? 0 : -1012;
}

// Calls are always blocking here: non-blocking mode is not offered (ORA-03115), and the test
// answers ORA-03128 (blocking).
OCI_EXPORT sword onbset(void* lda) {
  return logonOf(lda) ? report(lda, 3115) : -1012;
}

OCI_EXPORT sword onbclr(void* lda) {
  return logonOf(lda) ? report(lda, 0) : -1012;
}

OCI_EXPORT sword onbtst(void* lda) {
  return logonOf(lda) ? report(lda, 3128) : -1012;
}

// The message of an old return code or ORA number: the text last seen for it.
OCI_EXPORT sword oerhms(void*, sb2 code, OraText* buf, sword bufsiz) {
  if (!buf || bufsiz <= 0) return 0;
  const int ora = oraOfOld(code);
  std::string text;
  {
    std::lock_guard lock(tablesMutex);
    const auto it = messages.find(ora);
    if (it != messages.end()) text = it->second;
  }
  if (text.empty()) {
    char head[32];
    std::snprintf(head, sizeof head, "ORA-%05d: ", ora);
    text = std::string(head) + (ora == 1403 ? "no data found" : "message not found");
  }
  const size_t n = std::min<size_t>(text.size(), static_cast<size_t>(bufsiz) - 1);
  std::memcpy(buf, text.data(), n);
  buf[n] = 0;
  return static_cast<sword>(n);
}

OCI_EXPORT sword oermsg(sb2 code, OraText* buf) {
  return oerhms(nullptr, code, buf, 512);
}

// An area standing for a service context of the handle calls; the context stays its owner's.
OCI_EXPORT sword OCISvcCtxToLda(void* svchp, void* errhp, void* lda) {
  if (!svchp || !lda) return OCI_INVALID_HANDLE;
  void* session = nullptr;
  if (OCIAttrGet(svchp, OCI_HTYPE_SVCCTX, &session, nullptr, OCI_ATTR_SESSION, errhp) != OCI_SUCCESS)
    return OCI_INVALID_HANDLE;
  auto logon = std::make_unique<Logon7>();
  if (OCIAttrGet(svchp, OCI_HTYPE_SVCCTX, &logon->env, nullptr, OCI_ATTR_ENV, errhp) != OCI_SUCCESS)
    return OCI_INVALID_HANDLE;
  OCIHandleAlloc(logon->env, &logon->err, OCI_HTYPE_ERROR, 0, nullptr);
  logon->svc = svchp;
  logon->session = session;
  logon->owned = false;
  std::memset(lda, 0, sizeof(OCI7CursorArea));
  std::lock_guard lock(tablesMutex);
  logons[lda] = std::move(logon);
  return OCI_SUCCESS;
}

OCI_EXPORT sword OCILdaToSvcCtx(void** svchpp, void*, void* lda) {
  Logon7* l = logonOf(lda);
  if (!l || !svchpp) return OCI_INVALID_HANDLE;
  *svchpp = l->svc;
  return OCI_SUCCESS;
}

// --- Cursors --------------------------------------------------------------------------------------

OCI_EXPORT sword oopen(void* cda, void* lda, const OraText*, sword, sword, const OraText*, sword) {
  Logon7* l = logonOf(lda);
  if (!cda) return -1001;
  std::memset(cda, 0, sizeof(OCI7CursorArea));
  if (!l) return report(cda, 1012);
  auto c = std::make_unique<Cursor7>();
  c->area = areaOf(cda);
  c->logon = l;
  // Statements hang off the logon's own environment, which frees them with it.
  if (OCIHandleAlloc(l->env, &c->stmt, OCI_HTYPE_STMT, 0, nullptr) != OCI_SUCCESS) return report(cda, 1001);
  std::lock_guard lock(tablesMutex);
  cursors[cda] = std::move(c);
  return report(cda, 0);
}

OCI_EXPORT sword oclose(void* cda) {
  std::unique_ptr<Cursor7> c;
  {
    std::lock_guard lock(tablesMutex);
    const auto it = cursors.find(cda);
    if (it == cursors.end()) return -1001;
    c = std::move(it->second);
    cursors.erase(it);
  }
  OCIHandleFree(c->stmt, OCI_HTYPE_STMT);
  return report(cda, 0);
}

// Parses at once, as the old calls do without deferral: a query is described, and DDL runs.
OCI_EXPORT sword oparse(void* cda, const OraText* sqlstm, sb4 sqllen, sword, ub4) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  std::string text = textOf(sqlstm, sqllen);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  void* err = c->logon->err;
  sword status = OCIStmtPrepare(c->stmt, err, reinterpret_cast<const OraText*>(text.data()),
                                static_cast<ub4>(text.size()), OCI_NTV_SYNTAX, OCI_DEFAULT);
  if (status != OCI_SUCCESS) return check(cda, status, err);
  ub2 type = 0;
  OCIAttrGet(c->stmt, OCI_HTYPE_STMT, &type, nullptr, OCI_ATTR_STMT_TYPE, err);
  c->query = type == OCI_STMT_SELECT;
  c->executed = false;
  c->area->wrn = 0;
  c->ranAtParse = type == OCI_STMT_CREATE || type == OCI_STMT_DROP || type == OCI_STMT_ALTER;
  if (c->ranAtParse) return execute(*c, 1, 0);
  status = OCIStmtExecute(c->logon->svc, c->stmt, err, 0, 0, nullptr, nullptr, OCI_DESCRIBE_ONLY);
  const sword result = check(cda, status, err);
  ub2 code = 0, offset = 0;
  OCIAttrGet(c->stmt, OCI_HTYPE_STMT, &code, nullptr, OCI_ATTR_SQLFNCODE, err);
  OCIAttrGet(c->stmt, OCI_HTYPE_STMT, &offset, nullptr, OCI_ATTR_PARSE_ERROR_OFFSET, err);
  c->area->ft = code;
  c->area->peo = offset;
  return result;
}

static sword bindName(void* cda, const std::string& name, ub1* progv, sb4 progvl, sword ftype, sb2* indp,
                      ub2* alen, ub2* arcode, ub4 maxsiz, ub4* cursiz, ub4 mode, void** bindOut = nullptr) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  void* bind = nullptr;
  const sword status =
      OCIBindByName(c->stmt, &bind, c->logon->err, reinterpret_cast<const OraText*>(name.data()),
                    static_cast<sb4>(name.size()), progv, progvl, static_cast<ub2>(ftype), indp, alen, arcode,
                    maxsiz, cursiz, mode);
  if (bindOut) *bindOut = bind;
  return check(cda, status, c->logon->err);
}

// A cursor bind (type 102): the block opens its query into the cursor data area given as the
// value, which becomes a cursor of the same logon over a statement of its own.
static sword bindCursor(void* cda, const std::string& name, void* refArea, sb2* indp) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  if (!refArea) return report(cda, 1001);
  auto ref = std::make_unique<Cursor7>();
  ref->area = areaOf(refArea);
  ref->logon = c->logon;
  ref->query = true;
  if (OCIHandleAlloc(c->logon->env, &ref->stmt, OCI_HTYPE_STMT, 0, nullptr) != OCI_SUCCESS)
    return report(cda, 1001);
  void* statement = &ref->stmt;  // stays where it is: the cursor is held by its pointer
  std::unique_ptr<Cursor7> old;
  {
    std::lock_guard lock(tablesMutex);
    auto& slot = cursors[refArea];
    old = std::move(slot);
    slot = std::move(ref);
  }
  if (old) OCIHandleFree(old->stmt, OCI_HTYPE_STMT);
  return bindName(cda, name, static_cast<ub1*>(statement), sizeof(void*), SQLT_RSET, indp, nullptr, nullptr,
                  0, nullptr, OCI_DEFAULT);
}

OCI_EXPORT sword obndrv(void* cda, const OraText* sqlvar, sword sqlvl, ub1* progv, sword progvl, sword ftype,
                        sword, sb2* indp, const OraText*, sword, sword) {
  if (ftype == SQLT_CUR) return bindCursor(cda, textOf(sqlvar, sqlvl), progv, indp);
  return bindName(cda, textOf(sqlvar, sqlvl), progv, progvl, ftype, indp, nullptr, nullptr, 0, nullptr,
                  OCI_DEFAULT);
}

// Binds the placeholder written :n.
OCI_EXPORT sword obndrn(void* cda, sword sqlvn, ub1* progv, sword progvl, sword ftype, sword, sb2* indp,
                        const OraText*, sword, sword) {
  return bindName(cda, ":" + std::to_string(sqlvn), progv, progvl, ftype, indp, nullptr, nullptr, 0, nullptr,
                  OCI_DEFAULT);
}

OCI_EXPORT sword obndra(void* cda, const OraText* sqlvar, sword sqlvl, ub1* progv, sword progvl, sword ftype,
                        sword, sb2* indp, ub2* alen, ub2* arcode, ub4 maxsiz, ub4* cursiz, const OraText*,
                        sword, sword) {
  return bindName(cda, textOf(sqlvar, sqlvl), progv, progvl, ftype, indp, alen, arcode, maxsiz, cursiz,
                  OCI_DEFAULT);
}

// opcode 0: a value given piece by piece (`pvctx` comes back from ogetpi); 1: an array.
OCI_EXPORT sword obindps(void* cda, ub1 opcode, const OraText* sqlvar, sb4 sqlvl, ub1* pvctx, sb4 progvl,
                         sword ftype, sword, sb2* indp, ub2* alen, ub2* arcode, sb4 pvSkip, sb4 indSkip,
                         sb4 alenSkip, sb4 rcSkip, ub4 maxsiz, ub4* cursiz, const OraText*, sb4, sword) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  void* bind = nullptr;
  const std::string name = textOf(sqlvar, sqlvl);
  if (opcode == 0) {
    const sword result = bindName(cda, name, nullptr, progvl, ftype, indp, nullptr, nullptr, 0, nullptr,
                                  OCI_DATA_AT_EXEC, &bind);
    if (result == 0) c->contexts[bind] = pvctx;
    return result;
  }
  const sword result =
      bindName(cda, name, pvctx, progvl, ftype, indp, alen, arcode, maxsiz, cursiz, OCI_DEFAULT, &bind);
  if (result != 0) return result;
  return check(cda,
               OCIBindArrayOfStruct(bind, c->logon->err, static_cast<ub4>(pvSkip), static_cast<ub4>(indSkip),
                                    static_cast<ub4>(alenSkip), static_cast<ub4>(rcSkip)),
               c->logon->err);
}

// Describes select-list item `pos`; past the last one the old code -303.
OCI_EXPORT sword odescr(void* cda, sword pos, sb4* dbsize, sb2* dbtype, sb1* cbuf, sb4* cbufl, sb4* dsize,
                        sb2* prec, sb2* scale, sb2* nullok) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  void* err = c->logon->err;
  ub4 count = 0;
  if (OCIAttrGet(c->stmt, OCI_HTYPE_STMT, &count, nullptr, OCI_ATTR_PARAM_COUNT, err) != OCI_SUCCESS ||
      pos < 1 || static_cast<ub4>(pos) > count)
    return report(cda, 1007);
  void* param = nullptr;
  if (OCIParamGet(c->stmt, OCI_HTYPE_STMT, err, &param, static_cast<ub4>(pos)) != OCI_SUCCESS)
    return report(cda, 1007);
  ub2 size = 0, type = 0;
  sb2 precision = 0;
  sb1 sc = 0;
  ub1 nullable = 0;
  OraText* name = nullptr;
  ub4 nameLength = 0;
  OCIAttrGet(param, OCI_DTYPE_PARAM, &size, nullptr, OCI_ATTR_DATA_SIZE, err);
  OCIAttrGet(param, OCI_DTYPE_PARAM, &type, nullptr, OCI_ATTR_DATA_TYPE, err);
  OCIAttrGet(param, OCI_DTYPE_PARAM, &precision, nullptr, OCI_ATTR_PRECISION, err);
  OCIAttrGet(param, OCI_DTYPE_PARAM, &sc, nullptr, OCI_ATTR_SCALE, err);
  OCIAttrGet(param, OCI_DTYPE_PARAM, &nullable, nullptr, OCI_ATTR_IS_NULL, err);
  OCIAttrGet(param, OCI_DTYPE_PARAM, &name, &nameLength, OCI_ATTR_NAME, err);
  // The old level knows a ROWID column as type 11.
  if (type == SQLT_RDD) type = SQLT_RID, size = 18;
  if (dbsize) *dbsize = size;
  if (dbtype) *dbtype = static_cast<sb2>(type);
  if (cbuf && cbufl) {
    const ub4 n = std::min<ub4>(nameLength, *cbufl > 0 ? static_cast<ub4>(*cbufl) : 0);
    std::memcpy(cbuf, name, n);
    *cbufl = static_cast<sb4>(n);
  }
  if (dsize) *dsize = type == SQLT_NUM ? 40 : type == SQLT_DAT ? 9 : size;
  if (prec) *prec = precision;
  if (scale) *scale = sc;
  if (nullok) *nullok = nullable;
  return report(cda, 0);
}

OCI_EXPORT sword odefin(void* cda, sword pos, ub1* buf, sword bufl, sword ftype, sword, sb2* indp,
                        const OraText*, sword, sword, ub2* rlen, ub2* rcode) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  void* def = nullptr;
  return check(cda,
               OCIDefineByPos(c->stmt, &def, c->logon->err, static_cast<ub4>(pos), buf, bufl,
                              static_cast<ub2>(ftype), indp, rlen, rcode, OCI_DEFAULT),
               c->logon->err);
}

// opcode 0: a column read piece by piece (`bufctx` comes back from ogetpi); 1: an array.
OCI_EXPORT sword odefinps(void* cda, ub1 opcode, sword pos, ub1* bufctx, sb4 bufl, sword ftype, sword,
                          sb2* indp, const OraText*, sb4, sword, ub2* rlen, ub2* rcode, sb4 pvSkip,
                          sb4 indSkip, sb4 alenSkip, sb4 rcSkip) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  void* err = c->logon->err;
  void* def = nullptr;
  if (opcode == 0) {
    const sword status = OCIDefineByPos(c->stmt, &def, err, static_cast<ub4>(pos), nullptr, bufl,
                                        static_cast<ub2>(ftype), indp, nullptr, nullptr, OCI_DYNAMIC_FETCH);
    if (status == OCI_SUCCESS) c->contexts[def] = bufctx;
    return check(cda, status, err);
  }
  sword status = OCIDefineByPos(c->stmt, &def, err, static_cast<ub4>(pos), bufctx, bufl,
                                static_cast<ub2>(ftype), indp, rlen, rcode, OCI_DEFAULT);
  if (status == OCI_SUCCESS)
    status = OCIDefineArrayOfStruct(def, err, static_cast<ub4>(pvSkip), static_cast<ub4>(indSkip),
                                    static_cast<ub4>(alenSkip), static_cast<ub4>(rcSkip));
  return check(cda, status, err);
}

OCI_EXPORT sword oexn(void* cda, sword iters, sword rowoff) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  if (c->ranAtParse) return report(cda, 0);
  return execute(*c, static_cast<ub4>(std::max(iters, 1)), static_cast<ub4>(std::max(rowoff, 0)));
}

OCI_EXPORT sword oexec(void* cda) {
  return oexn(cda, 1, 0);
}

// Fetches up to `nrows` rows; rows processed counts all rows so far. The end answers 4.
OCI_EXPORT sword ofen(void* cda, sword nrows) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  void* err = c->logon->err;
  const sword status =
      OCIStmtFetch(c->stmt, err, static_cast<ub4>(std::max(nrows, 1)), OCI_FETCH_NEXT, OCI_DEFAULT);
  ub4 rows = 0;
  OCIAttrGet(c->stmt, OCI_HTYPE_STMT, &rows, nullptr, OCI_ATTR_ROW_COUNT, err);
  c->area->rpc = rows;
  if (status == OCI_NEED_DATA) {
    report(cda, 3130);
    return -3130;
  }
  return check(cda, status, err);
}

OCI_EXPORT sword ofetch(void* cda) {
  return ofen(cda, 1);
}

OCI_EXPORT sword oexfet(void* cda, ub4 nrows, sword cancel, sword) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  const sword executed = execute(*c, 1, 0);
  if (executed != 0) return executed;
  const sword fetched = ofen(cda, static_cast<sword>(nrows));
  if (cancel) OCIStmtFetch(c->stmt, c->logon->err, 0, OCI_FETCH_NEXT, OCI_DEFAULT);
  return fetched;
}

// Cancels the query: its remaining rows are dropped.
OCI_EXPORT sword ocan(void* cda) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  OCIStmtFetch(c->stmt, c->logon->err, 0, OCI_FETCH_NEXT, OCI_DEFAULT);
  return report(cda, 0);
}

// The piece the library waits for: 1 first, 2 next; `ctxpp` gets the caller's context of the
// value (obindps or odefinps).
OCI_EXPORT sword ogetpi(void* cda, ub1* piecep, void** ctxpp, ub4* iterp, ub4* indexp) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  ub1 direction = 0;
  const sword status = OCIStmtGetPieceInfo(c->stmt, c->logon->err, &c->pieceHandle, &c->pieceType, &direction,
                                           iterp, indexp, piecep);
  if (status != OCI_SUCCESS) return check(cda, status, c->logon->err);
  const auto it = c->contexts.find(c->pieceHandle);
  if (ctxpp) *ctxpp = it == c->contexts.end() ? nullptr : it->second;
  return report(cda, 0);
}

OCI_EXPORT sword osetpi(void* cda, ub1 piece, void* bufp, ub4* lenp) {
  Cursor7* c = cursorOf(cda);
  if (!c) return -1001;
  if (!c->pieceHandle) return report(cda, 24302);
  return check(
      cda,
      OCIStmtSetPieceInfo(c->pieceHandle, c->pieceType, c->logon->err, bufp, lenp, piece, nullptr, nullptr),
      c->logon->err);
}

// Options and calls of the old level this server does not offer answer ORA-03115 in the area.
OCI_EXPORT sword oopt(void* cda, sword, sword) {
  return cursorOf(cda) ? report(cda, 0) : -1001;
}

OCI_EXPORT sword oflng(void* cda, sword, ub1*, sb4, sword, ub4*, sb4) {
  return cursorOf(cda) ? report(cda, 3115) : -1001;
}

OCI_EXPORT sword ognfd(void* lda, void*) {
  return logonOf(lda) ? report(lda, 3115) : -1012;
}

OCI_EXPORT sword odessp(void* lda, const OraText*, size_t, ub1*, size_t, ub1*, size_t, ub2*, ub2*, ub2*, ub2*,
                        ub2*, ub1*, ub1*, ub1*, ub4*, sb2*, sb2*, sb2*, ub4*) {
  return logonOf(lda) ? report(lda, 3115) : -1012;
}

OCI_EXPORT sword sqllda(void* lda) {
  return lda ? report(lda, 3115) : -1012;
}

OCI_EXPORT sword sqlld2(void* lda, const OraText*, sb4*) {
  return lda ? report(lda, 3115) : -1012;
}
