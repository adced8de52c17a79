/* Loads the client-library stand-in with dlopen, as the Oracle client does, and drives it over
   a seeded server: a refused logon, a logon, a query with a bind fetched in arrays, and a
   missing table. Usage: ocistandin_client LIBRARY (OCI_STANDIN_ROOT names the servers). */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tools/oci-standin/oci_abi.h"

#define API(name) static __typeof__(name)* p##name
API(OCIEnvCreate);
API(OCIHandleAlloc);
API(OCIHandleFree);
API(OCIErrorGet);
API(OCIAttrSet);
API(OCIAttrGet);
API(OCIServerAttach);
API(OCIServerDetach);
API(OCISessionBegin);
API(OCISessionEnd);
API(OCIStmtPrepare);
API(OCIStmtExecute);
API(OCIStmtFetch);
API(OCIBindByName);
API(OCIDefineByPos);
API(OCIDefineArrayOfStruct);
API(OCIParamGet);

static void* env;
static void* err;
static int failures;

static void check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

/* The ORA number behind a failed status, 0 when there is none. */
static sb4 oraCode(sword status) {
  sb4 code = 0;
  OraText text[512];
  if (status == OCI_SUCCESS) return 0;
  if (pOCIErrorGet(err, 1, NULL, &code, text, sizeof text, OCI_HTYPE_ERROR) != OCI_SUCCESS) return -1;
  return code;
}

static sword logon(void* svc, void* server, void* session, const char* user, const char* password) {
  sword s = pOCIAttrSet(svc, OCI_HTYPE_SVCCTX, server, 0, OCI_ATTR_SERVER, err);
  if (s == OCI_SUCCESS)
    s = pOCIAttrSet(session, OCI_HTYPE_SESSION, (void*)user, (ub4)strlen(user), OCI_ATTR_USERNAME, err);
  if (s == OCI_SUCCESS)
    s = pOCIAttrSet(session, OCI_HTYPE_SESSION, (void*)password, (ub4)strlen(password), OCI_ATTR_PASSWORD,
                    err);
  if (s == OCI_SUCCESS) s = pOCISessionBegin(svc, err, session, OCI_CRED_RDBMS, OCI_DEFAULT);
  if (s == OCI_SUCCESS) s = pOCIAttrSet(svc, OCI_HTYPE_SVCCTX, session, 0, OCI_ATTR_SESSION, err);
  return s;
}

/* SELECT of department 20 with a bind, fetched three rows at a time into arrays. */
static void queryInArrays(void* svc) {
  static const char sql[] = "SELECT empno, ename, hiredate, sal FROM emp WHERE deptno = :dept ORDER BY empno";
  static const int expectedNo[] = {7369, 7566, 7788, 7876, 7902};
  static const char* expectedName[] = {"SMITH", "JONES", "SCOTT", "ADAMS", "FORD"};
  void *stmt = NULL, *bind = NULL, *def[4] = {NULL, NULL, NULL, NULL}, *param = NULL;
  int dept = 20, empno[3];
  char ename[3][11];
  unsigned char hired[3][7];
  double sal[3];
  sb2 ind[4][3];
  ub4 count = 0, rows = 0, total = 0;
  ub2 type = 0, size = 0;
  sword s;
  int i;
  check(pOCIHandleAlloc(env, &stmt, OCI_HTYPE_STMT, 0, NULL) == OCI_SUCCESS, "statement handle");
  check(
      pOCIStmtPrepare(stmt, err, (const OraText*)sql, sizeof sql, OCI_NTV_SYNTAX, OCI_DEFAULT) == OCI_SUCCESS,
      "prepare");
  check(pOCIBindByName(stmt, &bind, err, (const OraText*)":DEPT", -1, &dept, sizeof dept, SQLT_INT, NULL,
                       NULL, NULL, 0, NULL, OCI_DEFAULT) == OCI_SUCCESS,
        "bind by name");
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT)) == 0, "execute query");
  check(
      pOCIAttrGet(stmt, OCI_HTYPE_STMT, &count, NULL, OCI_ATTR_PARAM_COUNT, err) == OCI_SUCCESS && count == 4,
      "four select-list items");
  check(pOCIParamGet(stmt, OCI_HTYPE_STMT, err, &param, 2) == OCI_SUCCESS &&
            pOCIAttrGet(param, OCI_DTYPE_PARAM, &type, NULL, OCI_ATTR_DATA_TYPE, err) == OCI_SUCCESS &&
            pOCIAttrGet(param, OCI_DTYPE_PARAM, &size, NULL, OCI_ATTR_DATA_SIZE, err) == OCI_SUCCESS &&
            type == SQLT_CHR && size == 10,
        "ENAME described as VARCHAR2(10)");
  pOCIDefineByPos(stmt, &def[0], err, 1, empno, sizeof empno[0], SQLT_INT, ind[0], NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &def[1], err, 2, ename, sizeof ename[0], SQLT_STR, ind[1], NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &def[2], err, 3, hired, sizeof hired[0], SQLT_DAT, ind[2], NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &def[3], err, 4, sal, sizeof sal[0], SQLT_FLT, ind[3], NULL, NULL, OCI_DEFAULT);
  for (i = 0; i < 4; ++i)
    check(pOCIDefineArrayOfStruct(def[i], err,
                                  i == 1   ? sizeof ename[0]
                                  : i == 2 ? 7
                                  : i == 0 ? sizeof(int)
                                           : sizeof(double),
                                  sizeof(sb2), 0, 0) == OCI_SUCCESS,
          "define array");
  do {
    s = pOCIStmtFetch(stmt, err, 3, OCI_FETCH_NEXT, OCI_DEFAULT);
    check(s == OCI_SUCCESS || (s == OCI_NO_DATA && oraCode(s) == ORA_NO_DATA_FOUND), "fetch status");
    pOCIAttrGet(stmt, OCI_HTYPE_STMT, &rows, NULL, OCI_ATTR_ROW_COUNT, err);
    for (i = 0; total + (ub4)i < rows && total + (ub4)i < 5; ++i) {
      check(empno[i] == expectedNo[total + i], "EMPNO in order");
      check(strcmp(ename[i], expectedName[total + i]) == 0, "ENAME text");
      check(ind[2][i] == 0 && hired[i][0] == 119 && hired[i][2] >= 1 && hired[i][2] <= 12,
            "HIREDATE as 7-byte DATE");
    }
    if (total == 0)
      check(sal[0] == 800.0 && hired[0][1] == 180 && hired[0][3] == 17, "first row's salary and date");
    total = rows;
  } while (s == OCI_SUCCESS);
  check(total == 5, "five rows in department 20");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
}

static void missingTable(void* svc) {
  static const char sql[] = "select * from no_such_table";
  void* stmt = NULL;
  pOCIHandleAlloc(env, &stmt, OCI_HTYPE_STMT, 0, NULL);
  pOCIStmtPrepare(stmt, err, (const OraText*)sql, sizeof sql - 1, OCI_NTV_SYNTAX, OCI_DEFAULT);
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT)) == ORA_NO_TABLE,
        "a missing table gives ORA-00942");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
}

int main(int argc, char** argv) {
  void *lib, *server = NULL, *svc = NULL, *session = NULL;
  if (argc != 2) {
    fprintf(stderr, "usage: ocistandin_client LIBRARY\n");
    return 2;
  }
  lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
    return 1;
  }
#define LOAD(name)                                   \
  do {                                               \
    *(void**)&p##name = dlsym(lib, #name);           \
    if (!p##name) {                                  \
      fprintf(stderr, "missing export %s\n", #name); \
      return 1;                                      \
    }                                                \
  } while (0)
  LOAD(OCIEnvCreate);
  LOAD(OCIHandleAlloc);
  LOAD(OCIHandleFree);
  LOAD(OCIErrorGet);
  LOAD(OCIAttrSet);
  LOAD(OCIAttrGet);
  LOAD(OCIServerAttach);
  LOAD(OCIServerDetach);
  LOAD(OCISessionBegin);
  LOAD(OCISessionEnd);
  LOAD(OCIStmtPrepare);
  LOAD(OCIStmtExecute);
  LOAD(OCIStmtFetch);
  LOAD(OCIBindByName);
  LOAD(OCIDefineByPos);
  LOAD(OCIDefineArrayOfStruct);
  LOAD(OCIParamGet);

  check(pOCIEnvCreate(&env, OCI_THREADED | OCI_OBJECT, NULL, NULL, NULL, NULL, 0, NULL) == OCI_SUCCESS,
        "environment");
  pOCIHandleAlloc(env, &err, OCI_HTYPE_ERROR, 0, NULL);
  pOCIHandleAlloc(env, &server, OCI_HTYPE_SERVER, 0, NULL);
  pOCIHandleAlloc(env, &svc, OCI_HTYPE_SVCCTX, 0, NULL);
  pOCIHandleAlloc(env, &session, OCI_HTYPE_SESSION, 0, NULL);

  check(oraCode(pOCIServerAttach(server, err, (const OraText*)"NOWHERE", 7, 0)) == ORA_UNRESOLVED_NAME,
        "an unknown connect string gives ORA-12154");
  check(oraCode(pOCIServerAttach(server, err, (const OraText*)"ORCL", 4, 0)) == 0, "attach");
  check(oraCode(logon(svc, server, session, "scott", "wrong")) == ORA_LOGON_DENIED,
        "a wrong password gives ORA-01017");
  check(oraCode(logon(svc, server, session, "scott", "tiger")) == 0, "logon");
  queryInArrays(svc);
  missingTable(svc);
  check(pOCISessionEnd(svc, err, session, OCI_DEFAULT) == OCI_SUCCESS, "session end");
  check(pOCIServerDetach(server, err, OCI_DEFAULT) == OCI_SUCCESS, "detach");
  check(pOCIHandleFree(env, OCI_HTYPE_ENV) == OCI_SUCCESS, "free the environment");
  if (failures) return 1;
  puts("stand-in client: all checks passed");
  return 0;
}
