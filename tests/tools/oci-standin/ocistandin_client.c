/* Loads the client-library stand-in with dlopen, as the Oracle client does, and drives it over
   a seeded server: a refused logon, a logon, a query with a bind fetched in arrays, and a
   missing table, and every kind of value the server keeps. Usage: ocistandin_client LIBRARY
   [rowid80] (OCI_STANDIN_ROOT names the servers; rowid80 checks only the ROWID layout of the
   library opened as level 8.0). */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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
API(OCIBreak);
API(OCITransCommit);
API(OCIDescriptorAlloc);
API(OCIDescriptorFree);
API(OCIRowidToChar);
API(OCILobCreateTemporary);
API(OCILobGetLength);
API(OCILobRead);
API(OCILobWrite);
API(OCILobTrim);
API(OCIDateTimeConstruct);
API(OCIDateTimeGetDate);
API(OCIDateTimeGetTime);
API(OCIDateTimeToText);
API(OCIDateTimeCompare);
API(OCIIntervalFromText);
API(OCIIntervalGetDaySecond);
API(OCIIntervalToText);
API(OCIStmtGetPieceInfo);
API(OCIStmtSetPieceInfo);
API(OCIDefineDynamic);
API(OCIBindDynamic);
API(OCILobFileExists);
API(OCILobFileOpen);
API(OCILobFileClose);
API(OCILobFileGetName);
API(olog);
API(ologof);
API(ocom);
API(orol);
API(obreak);
API(oerhms);
API(oopen);
API(oclose);
API(oparse);
API(obndrv);
API(obndrn);
API(odescr);
API(odefin);
API(odefinps);
API(obindps);
API(oexec);
API(ofen);
API(ocan);
API(ogetpi);
API(osetpi);
API(OCISvcCtxToLda);
API(OCIStmtFetch2);
API(OCINumberFromInt);
API(OCINumberToText);
API(OCINumberFromText);
API(OCINumberToReal);
API(OCINumberCmp);
API(OCIDateFromText);
API(OCIDateToText);

/* The object calls, declared here as the client binds them. */
typedef sword (*TypeByNameFn)(void*, void*, void*, const OraText*, ub4, const OraText*, ub4, const OraText*,
                              ub4, ub2, int, void**);
typedef sword (*DescribeAnyFn)(void*, void*, void*, ub4, ub1, ub1, ub1, void*);
typedef sword (*DefineObjectFn)(void*, void*, const void*, void**, ub4*, void**, ub4*);
typedef sword (*CollSizeFn)(void*, void*, const void*, sb4*);
typedef sword (*CollGetElemFn)(void*, void*, const void*, sb4, int*, void**, void**);
typedef sword (*TableDeleteFn)(void*, void*, sb4, void*);
typedef sword (*ObjectPinFn)(void*, void*, void*, void*, int, ub2, int, void**);
typedef sword (*ObjectFlushFn)(void*, void*, void*);
typedef OraText* (*StringPtrFn)(void*, const void*);
typedef sword (*StringAssignTextFn)(void*, void*, const OraText*, ub4, void**);
typedef sword (*ParamGetFn)(const void*, ub4, void*, void**, ub4);
static TypeByNameFn pOCITypeByName;
static DescribeAnyFn pOCIDescribeAny;
static DefineObjectFn pOCIDefineObject;
static CollSizeFn pOCICollSize;
static CollGetElemFn pOCICollGetElem;
static TableDeleteFn pOCITableDelete;
static CollSizeFn pOCITableSize;
static ObjectPinFn pOCIObjectPin;
static ObjectFlushFn pOCIObjectFlush;
static StringPtrFn pOCIStringPtr;
static StringAssignTextFn pOCIStringAssignText;

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

/* The binds a script step may use: inputs hold their text, outputs start empty. */
struct NamedBind {
  const char* name;
  const char* input;
  char buffer[200];
  sb2 indicator;
};

struct Step {
  const char* sql;
  int ora;            /* the ORA number expected, 0 for success */
  const char* out;    /* the bind that holds the result, or NULL for the first column */
  const char* expect; /* the result's text, or NULL when not checked */
};

static const char nlsBlock[] =
    "declare  cursor NlsParamsCursor is    SELECT * FROM nls_session_parameters;begin  SELECT "
    "Nvl(Lengthb(Chr(65536)), Nvl(Lengthb(Chr(65536)), 1))    INTO :CharLength FROM dual;  for "
    "NlsRecord in NlsParamsCursor loop    if NlsRecord.parameter = 'NLS_DATE_LANGUAGE' then      "
    ":NlsDateLanguage := NlsRecord.value;    elsif NlsRecord.parameter = 'NLS_DATE_FORMAT' then     "
    " :NlsDateFormat := NlsRecord.value;    elsif NlsRecord.parameter = 'NLS_NUMERIC_CHARACTERS' "
    "then      :NlsNumericCharacters := NlsRecord.value;    end if;  end loop;  SELECT "
    "NLS_CHARSET_ID(:Charset) INTO :CharsetId FROM dual;end;";

static const char errorsBlock[] =
    "declare\rCURSOR Cur IS\rSELECT Line,Position,Text\rFROM User_Errors\rWHERE Name = :Name and "
    "Type = :Type\rORDER BY Sequence;\rRec User_Errors%ROWTYPE;\rStartPos INTEGER;\rEndPos "
    "INTEGER;\rbegin\r:Res := '';\rfor Rec in Cur loop\r:Res := :Res || RPad(Rec.Line || '/' || "
    "Rec.Position, 8);\rStartPos := 1;\rEndPos := 1;\rwhile EndPos > 0 and StartPos <= "
    "Length(Rec.Text) loop\rEndPos := InStr(Rec.Text, Chr(10), StartPos);\rif EndPos > 0 then\rif "
    "EndPos <> StartPos then\rif StartPos > 1 then\r:Res := :Res || RPad(' ', 10);\rend if;\r:Res "
    ":= :Res || LTrim(SubStr(Rec.Text, StartPos, EndPos - StartPos)) || Chr(13);\rend "
    "if;\relse\rif StartPos > 1 then\r:Res := :Res || RPad(' ', 10);\rend if;\r:Res := :Res || "
    "LTrim(SubStr(Rec.Text, StartPos)) || Chr(13);\rend if;\rStartPos := EndPos + 1;\rend loop;\rend "
    "loop;\rend;";

static const struct Step script[] = {
    {"select * from no_such_table", ORA_NO_TABLE, NULL, NULL},
    {"select * from emp where", ORA_INVALID_STATEMENT, NULL, NULL},
    {"ALTER SESSION SET NLS_DATE_FORMAT = 'YYYY-MM-DD'", 0, NULL, NULL},
    {"ALTER SESSION SET NLS_DATE_FORMAT = 'YYYY-QQ'", 1821, NULL, NULL},
    {"select hiredate from emp where empno = 7369", 0, NULL, "1980-12-17"},
    {"select to_char(hiredate, 'FMMonth DD, YYYY') from emp where empno = :I", 0, NULL, "April 19, 1987"},
    {"select count(*) from dba_users", 0, NULL, "1"},
    {"select table_name from dba_tables where owner = 'SCOTT'", 0, NULL, "EMP"},
    {"select data_type || '(' || data_length || ',' || nullable || ')' from all_tab_columns where "
     "table_name = 'EMP' and column_name = 'ENAME'",
     0, NULL, "VARCHAR2(10,Y)"},
    {"select value from nls_session_parameters where parameter = 'NLS_DATE_FORMAT'", 0, NULL, "YYYY-MM-DD"},
    {"select value from v$nls_parameters where parameter = 'NLS_CHARACTERSET'", 0, NULL, "AL32UTF8"},
    {"select version from SYS.PRODUCT_COMPONENT_VERSION where upper(product) like '%ORACLE%'", 0, NULL,
     "10.2.0.1.0"},
    {"select sys_context('USERENV', 'SESSION_USER') from dual", 0, NULL, "SCOTT"},
    {"(select ename from emp where empno = 7369) union (select ename from emp where empno = 7499)", 0, NULL,
     "ALLEN"},
    {"select ename from scott.emp where empno = 7369 for update nowait", 0, NULL, "SMITH"},
    {"insert into emp (empno, ename) values (7369, 'X')", 1, NULL, NULL},
    {"insert into emp (empno) values (NULL)", 1400, NULL, NULL},
    {"insert into emp (empno, ename, deptno) values (emp_seq.nextval, 'NEW', 40)", 0, NULL, NULL},
    {"select empno from emp where deptno = 40", 0, NULL, "9000"},
    {"rollback", 0, NULL, NULL},
    {"select count(*) from emp where deptno = 40", 0, NULL, "0"},
    {"select emp_seq.nextval from dual", 0, NULL, "9001"},
    {"begin select ename into :R from emp where empno = :I; end;", 0, "R", "SCOTT"},
    {"begin select ename into :R from emp where empno = 1; end;", ORA_NO_DATA_FOUND, NULL, NULL},
    {"begin :R := rpad('ab', 4, '.') || instr('a-b-c', '-', 1, 2) || nvl(null, 'n') || "
     "lengthb(chr(65536)); end;",
     0, "R", "ab..4n3"},
    {"begin :R := to_char(to_date('09-04-1987', 'DD-MM-YYYY'), 'DY fmDD Mon'); end;", 0, "R", "THU 9 Apr"},
    {"begin execute immediate 'x'; end;", ORA_PLSQL, NULL, NULL},
    /* Numbers keep their digits and follow their column's precision and scale. */
    {"insert into nums (id, big) values (1, 12345678901234567890123456789012345678)", 0, NULL, NULL},
    {"select big from nums where id = 1", 0, NULL, "12345678901234567890123456789012345678"},
    {"insert into nums (id, big) values (2, -.000000000000000000001234567890123456789)", 0, NULL, NULL},
    {"select big from nums where id = 2", 0, NULL, "-.000000000000000000001234567890123456789"},
    {"insert into nums (id, n38, amt) values (3, 0.1, 12.345)", 0, NULL, NULL},
    {"select n38 || '/' || amt from nums where id = 3", 0, NULL, "0/12.35"},
    {"insert into nums (id, n4) values (4, 12345)", 1438, NULL, NULL},
    {"insert into nums (id, amt) values (4, 99999.995)", 1438, NULL, NULL},
    {"insert into nums (id, n4) values (4, 'abc')", ORA_INVALID_NUMBER, NULL, NULL},
    {"update nums set n4 = 99999 where id = 3", 1438, NULL, NULL},
    {"select count(*) from nums where id = 4", 0, NULL, "0"},
    {"ALTER SESSION SET NLS_NUMERIC_CHARACTERS = ',.'", 0, NULL, NULL},
    {"insert into nums (id, amt) values (20, '12,5')", 0, NULL, NULL},
    {"select amt from nums where id = 20", 0, NULL, "12,5"},
    {"ALTER SESSION SET NLS_NUMERIC_CHARACTERS = '..'", 12705, NULL, NULL},
    {"ALTER SESSION SET NLS_NUMERIC_CHARACTERS = '.,'", 0, NULL, NULL},
    {"select amt from nums where id = 20", 0, NULL, "12.5"},
    /* Text lengths, CHAR padding, national text. */
    {"insert into texts (id, name) values (1, 'abcdef')", 12899, NULL, NULL},
    {"insert into texts (id, nname) values (1, 'ábcd')", 12899, NULL, NULL},
    {"insert into texts (id, bytes) values (1, 'ABCDEF')", 12899, NULL, NULL},
    {"insert into texts (id, name, code, nname, ncode, bytes) values (1, 'ab', 'ab', 'ábc', 'x', '0A0B')", 0,
     NULL, NULL},
    {"select code || '|' || ncode || '|' || nname from texts where id = 1", 0, NULL, "ab  |x |ábc"},
    {"select bytes from texts where id = 1", 0, NULL, "0A0B"},
    {"select count(*) from texts where code = 'ab' and ncode = 'x'", 0, NULL, "1"},
    {"select 'a' || null || ename || to_char(null) from emp where empno = 7369", 0, NULL, "aSMITH"},
    /* The ROWID pseudo-column in the select list and in a condition. */
    {"select rowid from emp where empno = 7369", 0, NULL, "AAAR0pAAEAAAAAAAAB"},
    {"select ename from emp where rowid = 'AAAR0pAAEAAAAAAAAE'", 0, NULL, "SCOTT"},
    {"select e.ename from emp e where e.rowid = :ROWID", 0, NULL, "SMITH"},
    {"select ename from emp where rowid = 'AAAAAAAAAAAAAAAAAA'", 1410, NULL, NULL},
    /* TIMESTAMP and INTERVAL columns in text. */
    {"ALTER SESSION SET NLS_TIMESTAMP_FORMAT = 'YYYY-MM-DD HH24:MI:SS.FF3'", 0, NULL, NULL},
    {"insert into times (id, ts, iym, ids) values (1, '2020-01-02 03:04:05.123', '+001-02', '-1 02:03:04.5')",
     0, NULL, NULL},
    {"select ts from times where id = 1", 0, NULL, "2020-01-02 03:04:05.123"},
    {"select iym from times where id = 1", 0, NULL, "+001-02"},
    {"insert into times (id, ts) values (2, '2020-12-31 23:59:59.9996')", 0, NULL, NULL},
    {"select ts from times where id = 2", 0, NULL, "2021-01-01 00:00:00.000"},
    {"insert into times (id, iym) values (3, '1000-00')", 1873, NULL, NULL},
    {"select ids from times where id = 1", 0, NULL, "-01 02:03:04.500"},
    /* Text for a DATE column is read by the session's date format. */
    {"insert into emp (empno, hiredate) values (8001, '1999-2-3')", 0, NULL, NULL},
    {"select to_char(hiredate, 'DD.MM.YYYY HH24:MI') from emp where empno = 8001", 0, NULL,
     "03.02.1999 00:00"},
    {"insert into emp (empno, hiredate) values (8002, '1999-02-30')", 1847, NULL, NULL},
    {"insert into emp (empno, hiredate) values (8002, 19990203)", 932, NULL, NULL},
    {"delete from emp where empno = 8001", 0, NULL, NULL},
    /* A table made from a query keeps its values as they come. */
    {"create table ctas as select empno, ename, sal from emp where empno = 7369", 0, NULL, NULL},
    {"insert into ctas values (1, 'a name longer than the source column', 1.5)", 0, NULL, NULL},
    {"select sal from ctas where empno = 1", 0, NULL, "1.5"},
    /* Conversions and the clock. */
    {"select to_char(to_timestamp('2021-05-06 07:08:09.5'), 'DD.MM.YYYY HH24:MI:SS.FF2') from dual", 0, NULL,
     "06.05.2021 07:08:09.50"},
    {"select to_number('1,234.5', '9G999D9') + 1 from dual", 0, NULL, "1235.5"},
    {"select to_char(9007199254740993) from dual", 0, NULL, "9007199254740993"},
    {"select count(*) from dual where sysdate > to_date('2000-01-01', 'YYYY-MM-DD')", 0, NULL, "1"},
    {"select count(*) from dual where sysdate - 1 < sysdate and sysdate + 0.5 > sysdate", 0, NULL, "1"},
    /* Stored programs are kept even when they do not compile; the call succeeds with info. */
    {"create or replace procedure p2 is begin null; end;", 0, NULL, NULL},
    {"create procedure p3 is begin null;", 24344, NULL, NULL},
    {"select count(*) from user_errors where name = 'P3'", 0, NULL, "1"},
    {"create or replace procedure p3 is begin null; end p3;", 0, NULL, NULL},
    {"select count(*) from user_errors where name = 'P3'", 0, NULL, "0"},
    {nlsBlock, 0, "NLSDATEFORMAT", "YYYY-MM-DD"},
    {nlsBlock, 0, "CHARLENGTH", "3"},
    {nlsBlock, 0, "CHARSETID", "873"},
    {errorsBlock, 0, "RES",
     "3/7     PLS-00201: identifier 'X' must be declared\r          PL/SQL: Statement ignored\r"},
};

/* Runs each step with every named bind it uses and checks its ORA number and result. */
static void runScript(void* svc) {
  size_t k, b;
  for (k = 0; k < sizeof script / sizeof script[0]; ++k) {
    const struct Step* step = &script[k];
    struct NamedBind binds[] = {{"I", "7788", "", 0},
                                {"ROWID", "AAAR0pAAEAAAAAAAAB", "", 0},
                                {"R", NULL, "", 0},
                                {"NAME", "PROC1", "", 0},
                                {"TYPE", "PROCEDURE", "", 0},
                                {"CHARSET", "AL32UTF8", "", 0},
                                {"CHARLENGTH", NULL, "", 0},
                                {"NLSDATELANGUAGE", NULL, "", 0},
                                {"NLSDATEFORMAT", NULL, "", 0},
                                {"NLSNUMERICCHARACTERS", NULL, "", 0},
                                {"CHARSETID", NULL, "", 0},
                                {"RES", NULL, "", 0}};
    const size_t bindCount = sizeof binds / sizeof binds[0];
    char column[200] = "";
    const char* result = column;
    sb2 columnIndicator = 0;
    void *stmt = NULL, *handle = NULL;
    ub2 type = 0;
    sword status;
    char what[300];
    pOCIHandleAlloc(env, &stmt, OCI_HTYPE_STMT, 0, NULL);
    pOCIStmtPrepare(stmt, err, (const OraText*)step->sql, (ub4)strlen(step->sql), OCI_NTV_SYNTAX,
                    OCI_DEFAULT);
    for (b = 0; b < bindCount; ++b) {
      if (binds[b].input) strcpy(binds[b].buffer, binds[b].input);
      pOCIBindByName(stmt, &handle, err, (const OraText*)binds[b].name, -1, binds[b].buffer,
                     sizeof binds[b].buffer, SQLT_STR, &binds[b].indicator, NULL, NULL, 0, NULL, OCI_DEFAULT);
      if (step->out && strcmp(step->out, binds[b].name) == 0) result = binds[b].buffer;
    }
    pOCIAttrGet(stmt, OCI_HTYPE_STMT, &type, NULL, OCI_ATTR_STMT_TYPE, err);
    status = pOCIStmtExecute(svc, stmt, err, type == OCI_STMT_SELECT ? 0 : 1, 0, NULL, NULL, OCI_DEFAULT);
    if (status == OCI_SUCCESS && type == OCI_STMT_SELECT) {
      pOCIDefineByPos(stmt, &handle, err, 1, column, sizeof column, SQLT_STR, &columnIndicator, NULL, NULL,
                      OCI_DEFAULT);
      status = pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT);
    }
    snprintf(what, sizeof what, "step %u gives ORA-%05d: %.200s", (unsigned)k, step->ora, step->sql);
    check(oraCode(status) == step->ora, what);
    if (status == OCI_SUCCESS && (type == OCI_STMT_BEGIN || type == OCI_STMT_DECLARE)) {
      ub4 rows = 0;
      pOCIAttrGet(stmt, OCI_HTYPE_STMT, &rows, NULL, OCI_ATTR_ROW_COUNT, err);
      snprintf(what, sizeof what, "step %u counts one row for the block, not %u", (unsigned)k,
               (unsigned)rows);
      check(rows == 1, what);
    }
    if (step->expect) {
      snprintf(what, sizeof what, "step %u gives \"%s\", not \"%s\"", (unsigned)k, result, step->expect);
      check(strcmp(result, step->expect) == 0, what);
    }
    pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  }
}

/* Three rows inserted from bind arrays in one execution, then rolled back. */
static void arrayInsert(void* svc) {
  static const char sql[] = "insert into emp (empno, ename) values (:n, :e)";
  int numbers[3] = {1, 2, 3};
  char names[3][4] = {"a", "b", "c"};
  void *stmt = NULL, *bind = NULL;
  ub4 rows = 0;
  pOCIHandleAlloc(env, &stmt, OCI_HTYPE_STMT, 0, NULL);
  pOCIStmtPrepare(stmt, err, (const OraText*)sql, sizeof sql - 1, OCI_NTV_SYNTAX, OCI_DEFAULT);
  pOCIBindByName(stmt, &bind, err, (const OraText*)":n", -1, numbers, sizeof numbers[0], SQLT_INT, NULL, NULL,
                 NULL, 0, NULL, OCI_DEFAULT);
  pOCIBindByName(stmt, &bind, err, (const OraText*)":E", -1, names, sizeof names[0], SQLT_STR, NULL, NULL,
                 NULL, 0, NULL, OCI_DEFAULT);
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 3, 0, NULL, NULL, OCI_DEFAULT)) == 0, "array insert");
  check(pOCIAttrGet(stmt, OCI_HTYPE_STMT, &rows, NULL, OCI_ATTR_ROW_COUNT, err) == OCI_SUCCESS && rows == 3,
        "array insert touches three rows");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
}

/* A block opens a cursor on a statement handle the caller bound; the caller fetches from it. */
static void cursorFromBlock(void* svc) {
  static const char sql[] = "begin open :c for select ename from emp where empno = :i; end;";
  void *block = NULL, *cursor = NULL, *bind = NULL, *def = NULL;
  int empno = 7788;
  char name[11] = "";
  pOCIHandleAlloc(env, &block, OCI_HTYPE_STMT, 0, NULL);
  pOCIHandleAlloc(env, &cursor, OCI_HTYPE_STMT, 0, NULL);
  pOCIStmtPrepare(block, err, (const OraText*)sql, sizeof sql - 1, OCI_NTV_SYNTAX, OCI_DEFAULT);
  pOCIBindByName(block, &bind, err, (const OraText*)":c", -1, &cursor, 0, SQLT_RSET, NULL, NULL, NULL, 0,
                 NULL, OCI_DEFAULT);
  pOCIBindByName(block, &bind, err, (const OraText*)":i", -1, &empno, sizeof empno, SQLT_INT, NULL, NULL,
                 NULL, 0, NULL, OCI_DEFAULT);
  check(oraCode(pOCIStmtExecute(svc, block, err, 1, 0, NULL, NULL, OCI_DEFAULT)) == 0,
        "OPEN :c FOR in a block");
  pOCIDefineByPos(cursor, &def, err, 1, name, sizeof name, SQLT_STR, NULL, NULL, NULL, OCI_DEFAULT);
  check(
      pOCIStmtFetch(cursor, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS && strcmp(name, "SCOTT") == 0,
      "the opened cursor's row");
  pOCIHandleFree(cursor, OCI_HTYPE_STMT);
  pOCIHandleFree(block, OCI_HTYPE_STMT);
}

/* A statement prepared on a new handle; the caller frees it. */
static void* prepared(const char* sql) {
  void* stmt = NULL;
  pOCIHandleAlloc(env, &stmt, OCI_HTYPE_STMT, 0, NULL);
  pOCIStmtPrepare(stmt, err, (const OraText*)sql, (ub4)strlen(sql), OCI_NTV_SYNTAX, OCI_DEFAULT);
  return stmt;
}

/* The first column of a one-row query as text ("" for none). */
static void queryText(void* svc, const char* sql, char* out, size_t size) {
  void *stmt = prepared(sql), *def = NULL;
  sb2 ind = 0;
  out[0] = 0;
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &def, err, 1, out, (sb4)size, SQLT_STR, &ind, NULL, NULL, OCI_DEFAULT);
  if (pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) != OCI_SUCCESS) out[0] = 0;
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
}

static sword run(void* svc, const char* sql) {
  void* stmt = prepared(sql);
  const sword status = pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT);
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  return status;
}

/* A type descriptor is taken only under the environment it was made in, and not at all once that
   environment is freed: by a define of a named type, and by a REF's define, which may go without. */
static void typeOfAnotherEnvironment(void* svc) {
  void *other = NULL, *tdo = NULL, *stmt = prepared("select buyer, lines from orders"), *ref = NULL,
       *lines = NULL, *slot = NULL;
  check(pOCIEnvCreate(&other, OCI_THREADED | OCI_OBJECT, NULL, NULL, NULL, NULL, 0, NULL) == OCI_SUCCESS,
        "a second environment");
  check(oraCode(pOCITypeByName(other, err, svc, NULL, 0, (const OraText*)"LINES_T", 7, NULL, 0, 10, 0,
                               &tdo)) == 0,
        "a type by name under the second environment");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &ref, err, 1, NULL, 0, 110, NULL, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &lines, err, 2, NULL, 0, 108, NULL, NULL, NULL, OCI_DEFAULT);
  check(oraCode(pOCIDefineObject(lines, err, tdo, &slot, NULL, NULL, NULL)) == 21560,
        "a type of another environment gives ORA-21560");
  check(oraCode(pOCIDefineObject(ref, err, tdo, &slot, NULL, NULL, NULL)) == 21560,
        "a REF's type of another environment gives ORA-21560");
  pOCIHandleFree(other, OCI_HTYPE_ENV);
  check(oraCode(pOCIDefineObject(lines, err, tdo, &slot, NULL, NULL, NULL)) == 21710,
        "a type freed with its environment gives ORA-21710");
  check(oraCode(pOCIDefineObject(ref, err, tdo, &slot, NULL, NULL, NULL)) == 21710,
        "a REF's type freed with its environment gives ORA-21710");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
}

/* Types in the catalog: created, described, refused when the server cannot hold them; an object
   table row reached through a fetched REF, changed and flushed; a nested table fetched into a
   collection. */
static void objectTypes(void* svc) {
  void *describe = NULL, *param = NULL, *list = NULL, *attr = NULL, *tdo = NULL, *stmt, *def = NULL;
  void *refs[2] = {NULL, NULL}, *lines[2] = {NULL, NULL}, *lineInd[2] = {NULL, NULL}, *person = NULL;
  ub2 code = 0, count = 0;
  ub4 length = 0;
  OraText* name = NULL;
  sb4 size = 0;
  char text[64];
  check(oraCode(run(svc, "create type address_t as object (street varchar2(30), zip number(5))")) == 0,
        "create an object type");
  check(oraCode(run(svc, "create type phones_t as varray(3) of varchar2(20)")) == 0, "create a VARRAY type");
  check(oraCode(run(
            svc, "create type person_t as object (name varchar2(20), addr address_t, phones phones_t)")) == 0,
        "create a type of object and collection attributes");
  check(oraCode(run(svc, "create type lines_t as table of number")) == 0, "create a nested table type");
  check(oraCode(run(svc, "create type bad_t as object (b blob)")) == 902, "a BLOB attribute gives ORA-00902");
  check(oraCode(run(svc, "create type bad_t as object (x no_such_t)")) == 902,
        "an unknown type gives ORA-00902");
  check(oraCode(run(svc, "create type address_t as object (x number)")) == 955,
        "a type name in use: ORA-00955");
  check(oraCode(run(svc, "create table people of person_t")) == 0, "create an object table");
  check(oraCode(run(svc,
                    "create table orders (id number, buyer ref person_t, lines lines_t)"
                    " nested table lines store as order_lines")) == 0,
        "create a table with REF and nested table columns");
  check(oraCode(run(
            svc, "insert into people values ('Ann', address_t('Main St', 12345), phones_t('1', '2'))")) == 0,
        "insert into an object table through constructors");
  check(oraCode(run(svc, "insert into people values ('Bob', address_t('Side St'), NULL)")) == 2315,
        "a constructor with too few values gives ORA-02315");
  check(oraCode(run(svc, "insert into people values ('Bob', NULL, phones_t('1', '2', '3', '4'))")) == 22909,
        "a VARRAY past its limit gives ORA-22909");
  check(oraCode(run(svc, "insert into orders select 1, ref(p), lines_t(10, 20, 30) from people p")) == 0,
        "insert a REF and a nested table");
  queryText(svc, "select lines from orders", text, sizeof text);
  check(strcmp(text, "SCOTT.LINES_T('10', '20', '30')") == 0, "a nested table column keeps its image");

  pOCIHandleAlloc(env, &describe, OCI_HTYPE_DESCRIBE, 0, NULL);
  check(oraCode(pOCIDescribeAny(svc, err, "PERSON_T", 8, 1, 0, 6, describe)) == 0, "describe a type");
  pOCIAttrGet(describe, OCI_HTYPE_DESCRIBE, &param, NULL, 124, err);
  pOCIAttrGet(param, OCI_DTYPE_PARAM, &code, NULL, 216, err);
  pOCIAttrGet(param, OCI_DTYPE_PARAM, &count, NULL, 228, err);
  pOCIAttrGet(param, OCI_DTYPE_PARAM, &list, NULL, 229, err);
  check(code == 108 && count == 3, "an object type with three attributes");
  check(pOCIParamGet(list, OCI_DTYPE_PARAM, err, &attr, 2) == OCI_SUCCESS &&
            pOCIAttrGet(attr, OCI_DTYPE_PARAM, &name, &length, 8, err) == OCI_SUCCESS && length == 9 &&
            memcmp(name, "ADDRESS_T", 9) == 0,
        "the second attribute is of ADDRESS_T");
  check(oraCode(pOCIParamGet(list, OCI_DTYPE_PARAM, err, &attr, 4)) == 24334, "no fourth attribute");
  check(oraCode(pOCIDescribeAny(svc, err, "NO_SUCH_T", 9, 1, 0, 6, describe)) == 4043,
        "describing an unknown type gives ORA-04043");
  pOCIHandleFree(describe, OCI_HTYPE_DESCRIBE);
  check(oraCode(pOCITypeByName(env, err, svc, NULL, 0, (const OraText*)"LINES_T", 7, NULL, 0, 10, 0, &tdo)) ==
            0,
        "a type by name");
  typeOfAnotherEnvironment(svc);

  stmt = prepared("select buyer, lines from orders");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &def, err, 1, NULL, 0, 110, NULL, NULL, NULL, OCI_DEFAULT);
  pOCIDefineObject(def, err, NULL, refs, NULL, NULL, NULL);
  pOCIDefineByPos(stmt, &def, err, 2, NULL, 0, 108, NULL, NULL, NULL, OCI_DEFAULT);
  pOCIDefineObject(def, err, tdo, lines, NULL, lineInd, NULL);
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS && refs[0] && lines[0],
        "fetch a REF and a nested table");
  check(pOCICollSize(env, err, lines[0], &size) == OCI_SUCCESS && size == 3,
        "the nested table has three rows");
  check(pOCITableDelete(env, err, 1, lines[0]) == OCI_SUCCESS &&
            pOCITableSize(env, err, lines[0], &size) == OCI_SUCCESS && size == 2,
        "a deleted element leaves two");
  check(oraCode(pOCITableDelete(env, err, 7, lines[0])) == 22160,
        "deleting a missing element gives ORA-22160");
  check(oraCode(pOCIObjectPin(env, err, refs[0], NULL, 3, 10, 1, &person)) == 0 && person != NULL,
        "pin the REF's object");
  if (person) {
    void** nameSlot = (void**)person;
    check(strncmp((const char*)pOCIStringPtr(env, *nameSlot), "Ann", 3) == 0, "the pinned object's name");
    pOCIStringAssignText(env, err, (const OraText*)"Anne", 4, nameSlot);
    check(pOCIObjectFlush(env, err, person) == OCI_SUCCESS, "flush the changed object");
    queryText(svc, "select name from people", text, sizeof text);
    check(strcmp(text, "Anne") == 0, "the flush wrote the object-table row");
  }
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  check(oraCode(run(svc, "drop type no_such_t")) == 4043, "dropping an unknown type gives ORA-04043");
}

/* Numbers through the 22-byte form and 8-byte integers keep every digit. */
static void exactNumbers(void* svc) {
  unsigned char number[22];
  long long big = 9007199254740993LL, back = 0;
  char text[64];
  void *stmt = prepared("select big from nums where id = 1"), *handle = NULL;
  memset(number, 0, sizeof number);
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &handle, err, 1, number, sizeof number, SQLT_VNU, NULL, NULL, NULL, OCI_DEFAULT);
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS && number[0] == 20 &&
            number[1] == 0xD3 && number[2] == 13 && number[20] == 79,
        "a 38-digit NUMBER in its 22-byte form");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  stmt = prepared("insert into nums (id, big, n38) values (10, :n, :i)");
  pOCIBindByName(stmt, &handle, err, (const OraText*)":n", -1, number, sizeof number, SQLT_VNU, NULL, NULL,
                 NULL, 0, NULL, OCI_DEFAULT);
  pOCIBindByName(stmt, &handle, err, (const OraText*)":i", -1, &big, sizeof big, SQLT_INT, NULL, NULL, NULL,
                 0, NULL, OCI_DEFAULT);
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT)) == 0,
        "insert from a 22-byte bind");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  queryText(svc, "select big from nums where id = 10", text, sizeof text);
  check(strcmp(text, "12345678901234567890123456789012345678") == 0, "a 22-byte bind stores every digit");
  stmt = prepared("select n38 from nums where id = 10");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &handle, err, 1, &back, sizeof back, SQLT_INT, NULL, NULL, NULL, OCI_DEFAULT);
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS && back == big,
        "an 8-byte integer above 2^53 comes back exactly");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
}

/* Fixed text binds, UTF-16 defines, the national form, and a truncation reported with info. */
static void textForms(void* svc) {
  char fixed[6] = {'x', 'y', 0, 0, 0, 0};
  unsigned char wide[16];
  char shortName[4];
  static const unsigned char expected[] = {0xE1, 0, 'b', 0, 'c', 0, 0, 0};
  ub2 charset = 1000, id = 0;
  ub1 form = 0;
  sb2 ind = 0;
  char text[64];
  void *stmt = prepared("insert into texts (id, name) values (2, :s)"), *handle = NULL, *param = NULL;
  pOCIBindByName(stmt, &handle, err, (const OraText*)":s", -1, fixed, sizeof fixed, SQLT_AVC, NULL, NULL,
                 NULL, 0, NULL, OCI_DEFAULT);
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT)) == 0,
        "insert a fixed text bind");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  queryText(svc, "select length(name) from texts where id = 2", text, sizeof text);
  check(strcmp(text, "2") == 0, "a fixed text bind is stored without its NUL padding");

  stmt = prepared("select nname from texts where id = 1");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  check(pOCIParamGet(stmt, OCI_HTYPE_STMT, err, &param, 1) == OCI_SUCCESS &&
            pOCIAttrGet(param, OCI_DTYPE_PARAM, &form, NULL, OCI_ATTR_CHARSET_FORM, err) == OCI_SUCCESS &&
            pOCIAttrGet(param, OCI_DTYPE_PARAM, &id, NULL, OCI_ATTR_CHARSET_ID, err) == OCI_SUCCESS &&
            form == 2 && id == 2000,
        "an NVARCHAR2 column is described as national text");
  pOCIDefineByPos(stmt, &handle, err, 1, wide, sizeof wide, SQLT_STR, &ind, NULL, NULL, OCI_DEFAULT);
  pOCIAttrSet(handle, OCI_HTYPE_DEFINE, &charset, 0, OCI_ATTR_CHARSET_ID, err);
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS &&
            memcmp(wide, expected, sizeof expected) == 0,
        "a define with character set 1000 receives UTF-16");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);

  {
    /* A single-byte character set on a bind and a define: Latin-1 both ways. */
    char latin[8] = {(char)0xE9, 't', (char)0xE9, 0};
    char back[8];
    ub2 latinId = 31;
    stmt = prepared("insert into texts (id, name) values (4, :s)");
    pOCIBindByName(stmt, &handle, err, (const OraText*)":s", -1, latin, sizeof latin, SQLT_STR, NULL, NULL,
                   NULL, 0, NULL, OCI_DEFAULT);
    pOCIAttrSet(handle, OCI_HTYPE_BIND, &latinId, 0, OCI_ATTR_CHARSET_ID, err);
    check(oraCode(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT)) == 0, "a Latin-1 bind");
    pOCIHandleFree(stmt, OCI_HTYPE_STMT);
    queryText(svc, "select name || length(name) from texts where id = 4", text, sizeof text);
    check(strcmp(text,
                 "\xC3\xA9t\xC3\xA9"
                 "3") == 0,
          "a Latin-1 bind is stored as its characters");
    stmt = prepared("select nname from texts where id = 1");
    pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
    pOCIDefineByPos(stmt, &handle, err, 1, back, sizeof back, SQLT_STR, &ind, NULL, NULL, OCI_DEFAULT);
    pOCIAttrSet(handle, OCI_HTYPE_DEFINE, &latinId, 0, OCI_ATTR_CHARSET_ID, err);
    check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS && strcmp(back,
                                                                                            "\xE1"
                                                                                            "bc") == 0,
          "a Latin-1 define");
    pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  }

  stmt = prepared("select ename from emp where empno = 7499");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &handle, err, 1, shortName, sizeof shortName, SQLT_STR, &ind, NULL, NULL,
                  OCI_DEFAULT);
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS_WITH_INFO &&
            oraCode(OCI_ERROR) == 24345 && ind == 5 && strcmp(shortName, "ALL") == 0,
        "a truncated fetch succeeds with information 24345");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
}

/* The ROWID of the row an insert made, read through a descriptor, finds that row again. */
static void rowids(void* svc) {
  void *stmt = prepared("insert into texts (id) values (3)"), *rowid = NULL, *handle = NULL;
  OraText text[40];
  ub2 length = sizeof text;
  char found[64], sql[120];
  pOCIDescriptorAlloc(env, &rowid, OCI_DTYPE_ROWID, 0, NULL);
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT)) == 0 &&
            pOCIAttrGet(stmt, OCI_HTYPE_STMT, rowid, NULL, OCI_ATTR_ROWID, err) == OCI_SUCCESS &&
            ((unsigned char*)rowid)[0] == 1 && pOCIRowidToChar(rowid, text, &length, err) == OCI_SUCCESS &&
            length == 18,
        "an insert's ROWID in its descriptor");
  text[length] = 0;
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  snprintf(sql, sizeof sql, "select id from texts where rowid = '%s'", (const char*)text);
  queryText(svc, sql, found, sizeof found);
  check(strcmp(found, "3") == 0, "the ROWID finds the inserted row");

  stmt = prepared("select rowid from emp where empno = 7369");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &handle, err, 1, &rowid, sizeof rowid, SQLT_RDD, NULL, NULL, NULL, OCI_DEFAULT);
  length = sizeof text;
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS &&
            pOCIRowidToChar(rowid, text, &length, err) == OCI_SUCCESS &&
            memcmp(text, "AAAR0pAAEAAAAAAAAB", 18) == 0,
        "a ROWID column defined as a descriptor");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);

  stmt = prepared("select ename from emp where empno = 7788 for update");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &handle, err, 1, found, sizeof found, SQLT_STR, NULL, NULL, NULL, OCI_DEFAULT);
  length = sizeof text;
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS &&
            pOCIAttrGet(stmt, OCI_HTYPE_STMT, rowid, NULL, OCI_ATTR_ROWID, err) == OCI_SUCCESS &&
            pOCIRowidToChar(rowid, text, &length, err) == OCI_SUCCESS &&
            memcmp(text, "AAAR0pAAEAAAAAAAAE", 18) == 0,
        "a locking query's ROWID is the fetched row's");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  pOCIDescriptorFree(rowid, OCI_DTYPE_ROWID);
}

/* A CLOB written through the locator a query fetched keeps the change after commit; a temporary
   LOB binds as a parameter; multi-byte text reads back whole. */
static void lobs(void* svc) {
  static const char original[] = "h\xC3\xA9llo w\xC3\xB6rld \xE2\x9C\x93";
  static const char added[] = " \xE6\x97\xA5\xE6\x9C\xAC";
  void *stmt = prepared("select doc from docs where id = 1 for update"), *locator = NULL, *temp = NULL;
  void* handle = NULL;
  char buffer[64], text[64];
  ub4 amount = 0, length = 0;
  pOCIDescriptorAlloc(env, &locator, OCI_DTYPE_LOB, 0, NULL);
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &handle, err, 1, &locator, sizeof locator, SQLT_CLOB, NULL, NULL, NULL, OCI_DEFAULT);
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS &&
            pOCILobGetLength(svc, err, locator, &length) == OCI_SUCCESS && length == 13,
        "a CLOB's length counts characters");
  memset(buffer, 0, sizeof buffer);
  check(pOCILobRead(svc, err, locator, &amount, 1, buffer, sizeof buffer, NULL, NULL, 0, 1) == OCI_SUCCESS &&
            amount == strlen(original) && strcmp(buffer, original) == 0,
        "a multi-byte CLOB reads back whole");
  amount = (ub4)strlen(added);
  check(pOCILobTrim(svc, err, locator, 5) == OCI_SUCCESS &&
            pOCILobWrite(svc, err, locator, &amount, 6, (void*)added, (ub4)strlen(added), 0, NULL, NULL, 0,
                         1) == OCI_SUCCESS &&
            amount == 3 && pOCITransCommit(svc, err, 0) == OCI_SUCCESS,
        "trim and write through a fetched locator");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  queryText(svc, "select doc from docs where id = 1", text, sizeof text);
  check(strcmp(text, "h\xC3\xA9llo \xE6\x97\xA5\xE6\x9C\xAC") == 0, "the written CLOB is kept in its row");

  /* An empty CLOB is no NULL: its locator takes writes. */
  stmt = prepared("insert into docs (id, doc) values (5, empty_clob())");
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT)) == 0, "insert an empty CLOB");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  stmt = prepared("select doc from docs where id = 5 for update");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &handle, err, 1, &locator, sizeof locator, SQLT_CLOB, NULL, NULL, NULL, OCI_DEFAULT);
  amount = 3;
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS &&
            pOCILobGetLength(svc, err, locator, &length) == OCI_SUCCESS && length == 0 &&
            pOCILobWrite(svc, err, locator, &amount, 1, (void*)"abc", 3, 0, NULL, NULL, 0, 1) == OCI_SUCCESS,
        "write into an empty CLOB");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  queryText(svc, "select doc from docs where id = 5", text, sizeof text);
  check(strcmp(text, "abc") == 0, "the empty CLOB holds what was written");

  pOCIDescriptorAlloc(env, &temp, OCI_DTYPE_LOB, 0, NULL);
  amount = 6;
  pOCILobCreateTemporary(svc, err, temp, 0, 1, 2, 0, 10);
  pOCILobWrite(svc, err, temp, &amount, 1, (void*)"temp \xC3\xBC", 7, 0, NULL, NULL, 0, 1);
  stmt = prepared("insert into docs (id, doc) values (2, :d)");
  pOCIBindByName(stmt, &handle, err, (const OraText*)":d", -1, &temp, sizeof temp, SQLT_CLOB, NULL, NULL,
                 NULL, 0, NULL, OCI_DEFAULT);
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT)) == 0, "a LOB locator bound");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  queryText(svc, "select doc from docs where id = 2", text, sizeof text);
  check(strcmp(text, "temp \xC3\xBC") == 0, "a bound LOB's value is stored");
  /* A scrollable query's locator writes back to its row too. */
  stmt = prepared("select doc from docs where id = 2");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_STMT_SCROLLABLE_READONLY);
  pOCIDefineByPos(stmt, &handle, err, 1, &locator, sizeof locator, SQLT_CLOB, NULL, NULL, NULL, OCI_DEFAULT);
  amount = 1;
  check(pOCIStmtFetch2(stmt, err, 1, OCI_FETCH_LAST, 0, OCI_DEFAULT) == OCI_SUCCESS &&
            pOCILobWrite(svc, err, locator, &amount, 1, (void*)"T", 1, 0, NULL, NULL, 0, 1) == OCI_SUCCESS,
        "write through a scrollable query's locator");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  queryText(svc, "select doc from docs where id = 2", text, sizeof text);
  check(strcmp(text, "Temp \xC3\xBC") == 0, "the scrollable query's row holds the write");
  pOCIDescriptorFree(temp, OCI_DTYPE_LOB);
  pOCIDescriptorFree(locator, OCI_DTYPE_LOB);
}

/* TIMESTAMP and INTERVAL values through their descriptors, both ways. */
static void datetimes(void* svc) {
  void *stamp = NULL, *back = NULL, *interval = NULL, *intervalBack = NULL, *stmt, *handle = NULL;
  sb2 year = 0;
  ub1 month = 0, day = 0, hour = 0, minute = 0, second = 0;
  ub4 fsec = 0, size = 64;
  sb4 days = 0, hours = 0, minutes = 0, seconds = 0, nanos = 0;
  sword order = 1;
  OraText text[64];
  size_t textLength = 0;
  static const char format[] = "YYYY-MM-DD HH24:MI:SS.FF3";
  pOCIDescriptorAlloc(env, &stamp, OCI_DTYPE_TIMESTAMP, 0, NULL);
  pOCIDescriptorAlloc(env, &back, OCI_DTYPE_TIMESTAMP, 0, NULL);
  pOCIDescriptorAlloc(env, &interval, OCI_DTYPE_INTERVAL_DS, 0, NULL);
  pOCIDescriptorAlloc(env, &intervalBack, OCI_DTYPE_INTERVAL_DS, 0, NULL);
  pOCIDateTimeConstruct(env, err, stamp, 2021, 3, 4, 5, 6, 7, 890000000, NULL, 0);
  pOCIIntervalFromText(env, err, (const OraText*)"+3 04:05:06.7", 13, interval);
  stmt = prepared("insert into times (id, ts, ids) values (4, :t, :i)");
  pOCIBindByName(stmt, &handle, err, (const OraText*)":t", -1, &stamp, sizeof stamp, SQLT_TIMESTAMP, NULL,
                 NULL, NULL, 0, NULL, OCI_DEFAULT);
  pOCIBindByName(stmt, &handle, err, (const OraText*)":i", -1, &interval, sizeof interval, SQLT_INTERVAL_DS,
                 NULL, NULL, NULL, 0, NULL, OCI_DEFAULT);
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT)) == 0,
        "insert from TIMESTAMP and INTERVAL descriptors");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  stmt = prepared("select ts, ids from times where id = 4");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &handle, err, 1, &back, sizeof back, SQLT_TIMESTAMP, NULL, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &handle, err, 2, &intervalBack, sizeof intervalBack, SQLT_INTERVAL_DS, NULL, NULL,
                  NULL, OCI_DEFAULT);
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS &&
            pOCIDateTimeGetDate(env, err, back, &year, &month, &day) == OCI_SUCCESS &&
            pOCIDateTimeGetTime(env, err, back, &hour, &minute, &second, &fsec) == OCI_SUCCESS &&
            year == 2021 && month == 3 && day == 4 && hour == 5 && minute == 6 && second == 7 &&
            fsec == 890000000 && pOCIDateTimeCompare(env, err, stamp, back, &order) == OCI_SUCCESS &&
            order == 0,
        "a TIMESTAMP comes back into its descriptor");
  check(pOCIDateTimeToText(env, err, back, (const OraText*)format, sizeof format - 1, 3, NULL, 0, &size,
                           text) == OCI_SUCCESS &&
            size == 23 && memcmp(text, "2021-03-04 05:06:07.890", 23) == 0,
        "a TIMESTAMP as text");
  check(pOCIIntervalGetDaySecond(env, err, &days, &hours, &minutes, &seconds, &nanos, intervalBack) ==
                OCI_SUCCESS &&
            days == 3 && hours == 4 && minutes == 5 && seconds == 6 && nanos == 700000000 &&
            pOCIIntervalToText(env, err, intervalBack, 2, 3, text, sizeof text, &textLength) == OCI_SUCCESS &&
            textLength == 16 && memcmp(text, "+03 04:05:06.700", 16) == 0,
        "an INTERVAL DAY TO SECOND comes back into its descriptor");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  pOCIDescriptorFree(stamp, OCI_DTYPE_TIMESTAMP);
  pOCIDescriptorFree(back, OCI_DTYPE_TIMESTAMP);
  pOCIDescriptorFree(interval, OCI_DTYPE_INTERVAL_DS);
  pOCIDescriptorFree(intervalBack, OCI_DTYPE_INTERVAL_DS);
}

/* Pieces handed to and taken from the dynamic callbacks. */
struct Pieces {
  const char* parts[4];
  int next;
  char collected[128];
  ub4 length;
  char piece[8];
  ub4 pieceLength;
  sb2 indicator;
};

static sb4 givePiece(void* context, void* bind, ub4 iter, ub4 index, void** buffer, ub4* length, ub1* piece,
                     void** indicator) {
  struct Pieces* p = (struct Pieces*)context;
  (void)bind, (void)iter, (void)index;
  *buffer = (void*)p->parts[p->next];
  *length = (ub4)strlen(p->parts[p->next]);
  *indicator = NULL;
  ++p->next;
  *piece = p->parts[p->next] ? 2 : 3;
  return OCI_CONTINUE;
}

/* Appends the previous piece, then offers the 5-byte buffer again. */
static void collect(struct Pieces* p) {
  memcpy(p->collected + p->length, p->piece, p->pieceLength);
  p->length += p->pieceLength;
  p->collected[p->length] = 0;
}

static sb4 takeDefinePiece(void* context, void* define, ub4 iter, void** buffer, ub4** length, ub1* piece,
                           void** indicator, ub2** code) {
  struct Pieces* p = (struct Pieces*)context;
  (void)define, (void)iter, (void)piece;
  if (p->next++ > 0) collect(p);
  p->pieceLength = 5;
  *buffer = p->piece;
  *length = &p->pieceLength;
  *indicator = &p->indicator;
  *code = NULL;
  return OCI_CONTINUE;
}

static sb4 takeBindPiece(void* context, void* bind, ub4 iter, ub4 index, void** buffer, ub4** length,
                         ub1* piece, void** indicator, ub2** code) {
  (void)bind, (void)index;
  return takeDefinePiece(context, NULL, iter, buffer, length, piece, indicator, code);
}

/* Reads the pieces of a value that OCI_NEED_DATA announces, 4 bytes at a time, by fetch or by
   execution; answers the final status. */
static sword drainPieces(void* svc, void* stmt, int byFetch, char* out, ub1 expectedDirection) {
  sword status = byFetch ? pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT)
                         : pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT);
  size_t total = 0;
  char piece[4];
  ub4 length = 0;
  while (status == OCI_NEED_DATA) {
    void* handle = NULL;
    ub4 type = 0, iter = 0, index = 0;
    ub1 direction = 0, code = 0;
    sb2 ind = 0;
    if (total > 0 || length > 0) {
      memcpy(out + total, piece, length);
      total += length;
    }
    pOCIStmtGetPieceInfo(stmt, err, &handle, &type, &direction, &iter, &index, &code);
    if (direction != expectedDirection) {
      /* An output value is first asked for as input: it has none. */
      pOCIStmtSetPieceInfo(handle, type, err, NULL, &length, 3, NULL, NULL);
      length = 0;
    } else {
      length = sizeof piece;
      pOCIStmtSetPieceInfo(handle, type, err, piece, &length, code, &ind, NULL);
    }
    status = byFetch ? pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT)
                     : pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT);
  }
  memcpy(out + total, piece, length);
  out[total + length] = 0;
  return status;
}

/* LONG values in pieces: input by OCI_NEED_DATA and by callback, output of a fetch and of a
   PL/SQL block by OCI_NEED_DATA and by callback. */
static void longData(void* svc) {
  static const char block[] = "begin :o := 'x' || rpad('y', 12, 'z'); end;";
  struct Pieces in = {{"one-", "two-", "three", NULL}, 0, "", 0, "", 0, 0};
  struct Pieces out = {{NULL}, 0, "", 0, "", 0, 0};
  void *stmt = prepared("insert into longs (id, txt) values (1, :t)"), *bind = NULL, *def = NULL,
       *handle = NULL;
  ub4 type = 0, iter = 0, index = 0, length = 0;
  ub1 direction = 0, piece = 0;
  char text[128];
  pOCIBindByName(stmt, &bind, err, (const OraText*)":t", -1, NULL, 2147483647, SQLT_LNG, NULL, NULL, NULL, 0,
                 NULL, OCI_DATA_AT_EXEC);
  check(
      pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT) == OCI_NEED_DATA &&
          pOCIStmtGetPieceInfo(stmt, err, &handle, &type, &direction, &iter, &index, &piece) == OCI_SUCCESS &&
          handle == bind && direction == 1 && piece == 1,
      "an input piece is asked for");
  length = 10;
  pOCIStmtSetPieceInfo(bind, OCI_HTYPE_BIND, err, "abcdefghij", &length, 1, NULL, NULL);
  check(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT) == OCI_NEED_DATA, "the next piece");
  length = 6;
  pOCIStmtSetPieceInfo(bind, OCI_HTYPE_BIND, err, "KLMNOP", &length, 3, NULL, NULL);
  check(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT) == OCI_SUCCESS,
        "the last piece runs it");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);

  stmt = prepared("insert into longs (id, txt) values (2, :t)");
  pOCIBindByName(stmt, &bind, err, (const OraText*)":t", -1, NULL, 2147483647, SQLT_LNG, NULL, NULL, NULL, 0,
                 NULL, OCI_DATA_AT_EXEC);
  pOCIBindDynamic(bind, err, &in, (void*)givePiece, NULL, NULL);
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT)) == 0,
        "input pieces from a callback");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);

  stmt = prepared("select txt from longs where id = 1");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &def, err, 1, NULL, 2147483647, SQLT_LNG, NULL, NULL, NULL, OCI_DYNAMIC_FETCH);
  check(drainPieces(svc, stmt, 1, text, 2) == OCI_SUCCESS && strcmp(text, "abcdefghijKLMNOP") == 0,
        "a LONG fetched in pieces");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);

  stmt = prepared("select txt from longs where id = 2");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &def, err, 1, NULL, 2147483647, SQLT_LNG, NULL, NULL, NULL, OCI_DYNAMIC_FETCH);
  pOCIDefineDynamic(def, err, &out, (void*)takeDefinePiece);
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS,
        "a fetch through the callback");
  collect(&out);
  check(strcmp(out.collected, "one-two-three") == 0, "a LONG fetched through the define callback");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);

  stmt = prepared(block);
  pOCIBindByName(stmt, &bind, err, (const OraText*)":o", -1, NULL, 2147483647, SQLT_LNG, NULL, NULL, NULL, 0,
                 NULL, OCI_DATA_AT_EXEC);
  check(drainPieces(svc, stmt, 0, text, 2) == OCI_SUCCESS && strcmp(text, "xyzzzzzzzzzzz") == 0,
        "a LONG output parameter in pieces");
  memset(&out, 0, sizeof out);
  pOCIBindDynamic(bind, err, NULL, NULL, &out, (void*)takeBindPiece);
  length = 0;
  check(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT) == OCI_NEED_DATA &&
            pOCIStmtSetPieceInfo(bind, OCI_HTYPE_BIND, err, NULL, &length, 3, NULL, NULL) == OCI_SUCCESS &&
            pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT) == OCI_SUCCESS,
        "an output parameter through the bind callback");
  collect(&out);
  check(strcmp(out.collected, "xyzzzzzzzzzzz") == 0, "a LONG output parameter through the callback");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
}

/* The data type a query's select-list item is described with. */
static ub2 describedType(void* stmt, ub4 position) {
  void* param = NULL;
  ub2 type = 0;
  if (pOCIParamGet(stmt, OCI_HTYPE_STMT, err, &param, position) != OCI_SUCCESS) return 0;
  pOCIAttrGet(param, OCI_DTYPE_PARAM, &type, NULL, OCI_ATTR_DATA_TYPE, err);
  return type;
}

/* A refused statement tells where its fault lies. */
static void parseErrorOffsets(void* svc) {
  void* stmt = prepared("select * from  no_such_table");
  ub2 offset = 0;
  check(
      oraCode(pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT)) == ORA_NO_TABLE &&
          pOCIAttrGet(stmt, OCI_HTYPE_STMT, &offset, NULL, OCI_ATTR_PARSE_ERROR_OFFSET, err) == OCI_SUCCESS &&
          offset == 15,
      "the parse error offset points at the missing table");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
}

/* Expressions are described by their first value: a timestamp with its zone. */
static void expressionTypes(void* svc) {
  void* stmt = prepared("select systimestamp, sysdate from dual");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  check(describedType(stmt, 1) == SQLT_TIMESTAMP_TZ && describedType(stmt, 2) == SQLT_DAT,
        "SYSTIMESTAMP and SYSDATE are described as a timestamp with zone and a date");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
}

/* A cursor expression in a select list opens on the statement handle its define names. */
static void cursorColumns(void* svc) {
  void* stmt =
      prepared("select ename, cursor(select empno from emp where deptno = 10) from emp where empno = 7369");
  void *inner = NULL, *handle = NULL;
  int empno = 0;
  pOCIHandleAlloc(env, &inner, OCI_HTYPE_STMT, 0, NULL);
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  check(describedType(stmt, 2) == SQLT_RSET, "a cursor expression is described as a cursor");
  pOCIDefineByPos(stmt, &handle, err, 2, &inner, sizeof inner, SQLT_RSET, NULL, NULL, NULL, OCI_DEFAULT);
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS, "fetch a row with a cursor");
  pOCIDefineByPos(inner, &handle, err, 1, &empno, sizeof empno, SQLT_INT, NULL, NULL, NULL, OCI_DEFAULT);
  check(pOCIStmtFetch(inner, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS && empno == 7934,
        "the cursor's rows");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  /* A cursor that refers to the outer row. */
  stmt = prepared(
      "select e.ename, cursor(select count(*) from emp x where x.deptno = e.deptno) from emp e "
      "where e.empno in (7369, 7499) order by e.empno");
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &handle, err, 2, &inner, sizeof inner, SQLT_RSET, NULL, NULL, NULL, OCI_DEFAULT);
  pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT);
  pOCIDefineByPos(inner, &handle, err, 1, &empno, sizeof empno, SQLT_INT, NULL, NULL, NULL, OCI_DEFAULT);
  check(pOCIStmtFetch(inner, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS && empno == 5,
        "a cursor over the first outer row");
  pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT);
  pOCIDefineByPos(inner, &handle, err, 1, &empno, sizeof empno, SQLT_INT, NULL, NULL, NULL, OCI_DEFAULT);
  check(pOCIStmtFetch(inner, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS && empno == 1,
        "a cursor over the second outer row");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  /* A cursor whose query has a bind of its own. */
  {
    int dept = 10;
    void* bind = NULL;
    stmt = prepared("select cursor(select count(*) from emp where deptno = :d) from dual");
    pOCIBindByName(stmt, &bind, err, (const OraText*)":d", -1, &dept, sizeof dept, SQLT_INT, NULL, NULL, NULL,
                   0, NULL, OCI_DEFAULT);
    pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
    pOCIDefineByPos(stmt, &handle, err, 1, &inner, sizeof inner, SQLT_RSET, NULL, NULL, NULL, OCI_DEFAULT);
    pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT);
    pOCIDefineByPos(inner, &handle, err, 1, &empno, sizeof empno, SQLT_INT, NULL, NULL, NULL, OCI_DEFAULT);
    check(pOCIStmtFetch(inner, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS && empno == 1,
          "a cursor's own bind");
    pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  }
  pOCIHandleFree(inner, OCI_HTYPE_STMT);
}

/* A BFILE column over a directory object of the server folder. */
static void bfiles(void* svc) {
  char path[512];
  const char* root = getenv("OCI_STANDIN_ROOT");
  void *stmt, *file = NULL, *handle = NULL;
  FILE* f;
  int exists = 0;
  char buffer[32];
  OraText dir[32], name[32];
  ub2 dirLength = sizeof dir, nameLength = sizeof name;
  ub4 amount = 0;
  snprintf(path, sizeof path, "%s/ORCL/directories", root);
  mkdir(path, 0777);
  snprintf(path, sizeof path, "%s/ORCL/directories/DATA_DIR", root);
  mkdir(path, 0777);
  snprintf(path, sizeof path, "%s/ORCL/directories/DATA_DIR/a.txt", root);
  f = fopen(path, "wb");
  fputs("file text", f);
  fclose(f);
  stmt = prepared("insert into docs (id, file) values (3, bfilename('DATA_DIR', 'a.txt'))");
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT)) == 0, "insert a BFILE");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  stmt = prepared("select file from docs where id = 3");
  pOCIDescriptorAlloc(env, &file, OCI_DTYPE_FILE, 0, NULL);
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  check(describedType(stmt, 1) == SQLT_BFILE, "a BFILE column is described as one");
  pOCIDefineByPos(stmt, &handle, err, 1, &file, sizeof file, SQLT_BFILE, NULL, NULL, NULL, OCI_DEFAULT);
  memset(buffer, 0, sizeof buffer);
  check(pOCIStmtFetch(stmt, err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS &&
            pOCILobFileGetName(env, err, file, dir, &dirLength, name, &nameLength) == OCI_SUCCESS &&
            dirLength == 8 && nameLength == 5 && memcmp(dir, "DATA_DIR", 8) == 0 &&
            pOCILobFileExists(svc, err, file, &exists) == OCI_SUCCESS && exists == 1 &&
            pOCILobFileOpen(svc, err, file, 1) == OCI_SUCCESS &&
            pOCILobRead(svc, err, file, &amount, 1, buffer, sizeof buffer, NULL, NULL, 0, 0) == OCI_SUCCESS &&
            strcmp(buffer, "file text") == 0 && pOCILobFileClose(svc, err, file) == OCI_SUCCESS,
        "a fetched BFILE reads its file");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
  pOCIDescriptorFree(file, OCI_DTYPE_FILE);
}

/* The old call level over the same server: logon, parse, binds by name and number, describe,
   define, execute, fetch, pieces, errors, ROWID, commit and rollback. */
static void oldCalls(void* svc) {
  OCI7CursorArea lda, cda, mine;
  ub1 hda[256];
  OraText message[512];
  int dept = 20, empno[5], one = 7788, id = 90;
  char names[5][11], name[11];
  sb4 size = 0, nameLength = 0;
  sb2 type = 0, ind[5];
  sb1 column[32];
  static char context[] = "piece context";
  void *piece = NULL, *myStmt = NULL;
  ub1 code = 0;
  ub4 iter = 0, index = 0, length = 0;
  char text[64];
  memset(hda, 0, sizeof hda);
  /* The server locks whole schemas while a transaction writes: the other session commits first. */
  pOCITransCommit(svc, err, 0);
  check(polog(&lda, hda, (const OraText*)"scott", -1, (const OraText*)"wrong", -1, (const OraText*)"ORCL", -1,
              0) == -1017 &&
            lda.rc == 1017 && poerhms(&lda, -1017, message, sizeof message) > 0 &&
            strncmp((const char*)message, "ORA-01017", 9) == 0,
        "an old logon with a wrong password");
  check(polog(&lda, hda, (const OraText*)"scott/tiger@ORCL", -1, NULL, -1, NULL, -1, 0) == 0, "an old logon");
  check(poopen(&cda, &lda, NULL, -1, -1, NULL, -1) == 0, "open a cursor");
  check(
      poparse(&cda, (const OraText*)"select empno, ename, hiredate from emp where deptno = :d order by empno",
              -1, 0, 2) == 0 &&
          cda.ft == 4,
      "parse a query");
  pobndrv(&cda, (const OraText*)":d", -1, (ub1*)&dept, sizeof dept, SQLT_INT, -1, NULL, NULL, -1, -1);
  nameLength = sizeof column;
  check(podescr(&cda, 2, &size, &type, column, &nameLength, NULL, NULL, NULL, NULL) == 0 &&
            type == SQLT_CHR && size == 10 && nameLength == 5 && memcmp(column, "ENAME", 5) == 0,
        "describe a column");
  check(podescr(&cda, 4, &size, &type, NULL, NULL, NULL, NULL, NULL, NULL) == -303,
        "describe past the select list");
  check(poparse(&mine, (const OraText*)"x", -1, 0, 2) == -1001, "a cursor area never opened");
  podefinps(&cda, 1, 1, (ub1*)empno, sizeof empno[0], SQLT_INT, -1, ind, NULL, 0, 0, NULL, NULL,
            sizeof empno[0], sizeof ind[0], 0, 0);
  podefinps(&cda, 1, 2, (ub1*)names, sizeof names[0], SQLT_STR, -1, ind, NULL, 0, 0, NULL, NULL,
            sizeof names[0], sizeof ind[0], 0, 0);
  check(poexec(&cda) == 0 && pofen(&cda, 2) == 0 && cda.rpc == 2 && empno[1] == 7566 &&
            strcmp(names[0], "SMITH") == 0,
        "execute and fetch two rows");
  check(pofen(&cda, 5) == 4 && cda.rpc == 5 && cda.rc == 1403 && empno[2] == 7902, "fetch to the end");
  check(poparse(&cda, (const OraText*)"select nosuch from emp", -1, 0, 2) == -904 && cda.peo == 7,
        "an old parse error with its offset");
  check(poparse(&cda, (const OraText*)"select ename from emp where empno = :1", -1, 0, 2) == 0 &&
            pobndrn(&cda, 1, (ub1*)&one, sizeof one, SQLT_INT, -1, NULL, NULL, -1, -1) == 0 &&
            podefin(&cda, 1, (ub1*)name, sizeof name, SQLT_STR, -1, NULL, NULL, -1, -1, NULL, NULL) == 0 &&
            poexec(&cda) == 0 && pofen(&cda, 1) == 0 && strcmp(name, "SCOTT") == 0,
        "bind by number");
  check(poparse(&cda, (const OraText*)"insert into texts (id, name) values (:1, 'old')", -1, 0, 2) == 0 &&
            pobndrn(&cda, 1, (ub1*)&id, sizeof id, SQLT_INT, -1, NULL, NULL, -1, -1) == 0 &&
            poexec(&cda) == 0 && cda.ft == 3 && cda.rpc == 1 && cda.rid.rd.rcs4 == 73001 &&
            cda.rid.rd.rcs5 == 4 && cda.rid.rcs8 != 0,
        "an insert fills rows processed and the ROWID");
  check(poexec(&cda) == -9 && cda.rc == 1 && poerhms(&lda, -1, message, sizeof message) > 0 &&
            strncmp((const char*)message, "ORA-00001", 9) == 0,
        "a unique violation answers -9");
  check(porol(&lda) == 0, "rollback");
  check(poparse(&cda, (const OraText*)"select count(*) from texts where id = 90", -1, 0, 2) == 0 &&
            podefin(&cda, 1, (ub1*)&id, sizeof id, SQLT_INT, -1, NULL, NULL, -1, -1, NULL, NULL) == 0 &&
            poexec(&cda) == 0 && pofen(&cda, 1) == 0 && id == 0,
        "the rolled back row is gone");
  check(poparse(&cda, (const OraText*)"create procedure p4 is begin null;", -1, 0, 2) == 0 && cda.wrn == 0x21,
        "a stored program with errors sets the warning flags");
  /* A LONG in pieces, in and out. */
  check(poparse(&cda, (const OraText*)"insert into longs (id, txt) values (3, :t)", -1, 0, 2) == 0 &&
            pobindps(&cda, 0, (const OraText*)":t", -1, (ub1*)context, 2147483647, SQLT_LNG, 0, NULL, NULL,
                     NULL, 0, 0, 0, 0, 0, NULL, NULL, 0, 0) == 0 &&
            poexec(&cda) == -3129 && pogetpi(&cda, &code, &piece, &iter, &index) == 0 && piece == context &&
            code == 1,
        "an old input piece is asked for with its context");
  length = 9;
  check(posetpi(&cda, 3, "long text", &length) == 0 && poexec(&cda) == 0, "the old input piece is stored");
  check(poparse(&cda, (const OraText*)"select txt from longs where id = 3", -1, 0, 2) == 0 &&
            podefinps(&cda, 0, 1, (ub1*)context, 2147483647, SQLT_LNG, 0, NULL, NULL, 0, 0, NULL, NULL, 0, 0,
                      0, 0) == 0 &&
            poexec(&cda) == 0 && pofen(&cda, 1) == -3130 &&
            pogetpi(&cda, &code, &piece, &iter, &index) == 0 && piece == context,
        "an old output piece is offered");
  length = sizeof text;
  memset(text, 0, sizeof text);
  check(posetpi(&cda, code, text, &length) == 0 && pofen(&cda, 1) == 0 && length == 9 &&
            strcmp(text, "long text") == 0,
        "the old output piece is read");
  check(pobreak(&lda) == 0 && pocom(&lda) == 0, "break and commit on an idle logon");
  check(poclose(&cda) == 0 && pologof(&lda) == 0, "close and log off");
  /* An area over a service context of the handle calls. */
  check(pOCISvcCtxToLda(svc, err, &mine) == OCI_SUCCESS && poopen(&cda, &mine, NULL, -1, -1, NULL, -1) == 0 &&
            poparse(&cda, (const OraText*)"select count(*) from emp", -1, 0, 2) == 0 &&
            podefin(&cda, 1, (ub1*)&id, sizeof id, SQLT_INT, -1, NULL, NULL, -1, -1, NULL, NULL) == 0 &&
            poexec(&cda) == 0 && pofen(&cda, 1) == 0 && id == 7 && pologof(&mine) == 0,
        "an old cursor over a handle-call session");
  (void)myStmt;
}

/* NUMBER values of the object calls, through integers, reals and text. */
static void numberCalls(void) {
  static const char nls[] = "NLS_NUMERIC_CHARACTERS=',.'";
  unsigned char a[22], b[22];
  long long big = 123456789012LL;
  double real = 0;
  OraText text[64];
  ub4 size = sizeof text;
  sword order = 0;
  check(pOCINumberFromInt(err, &big, sizeof big, 2, a) == OCI_SUCCESS &&
            pOCINumberToText(err, a, (const OraText*)"TM9", 3, (const OraText*)nls, sizeof nls - 1, &size,
                             text) == OCI_SUCCESS &&
            size == 12 && memcmp(text, "123456789012", 12) == 0,
        "an integer NUMBER as text");
  check(pOCINumberFromText(err, (const OraText*)"-1.234,5", 8, (const OraText*)"S9G999D9", 8,
                           (const OraText*)nls, sizeof nls - 1, b) == OCI_SUCCESS &&
            pOCINumberToReal(err, b, sizeof real, &real) == OCI_SUCCESS && real == -1234.5 &&
            pOCINumberCmp(err, b, a, &order) == OCI_SUCCESS && order < 0,
        "a NUMBER from text with NLS characters");
  {
    unsigned char date[8];
    static const char model[] = "YYYY-MM-DD HH24:MI";
    size = sizeof text;
    check(pOCIDateFromText(err, (const OraText*)"09-APR-87", 9, NULL, 0, NULL, 0, date) == OCI_SUCCESS &&
              date[2] == 4 && date[3] == 9 &&
              pOCIDateToText(err, date, (const OraText*)model, sizeof model - 1, NULL, 0, &size, text) ==
                  OCI_SUCCESS &&
              size == 16 && memcmp(text, "2087-04-09 00:00", 16) == 0,
          "a DATE of the object calls from and to text");
  }
}

struct Breaker {
  void* svc;
  void* err;
  volatile int done;
};

/* Breaks until the query has ended: the query never ends by itself, so only a break ends it. */
static void* breakLoop(void* arg) {
  struct Breaker* b = (struct Breaker*)arg;
  while (!b->done) {
    pOCIBreak(b->svc, b->err);
    usleep(10000);
  }
  return NULL;
}

static void breakQuery(void* svc) {
  static const char sql[] =
      "with recursive c(x) as (select 1 union all select x + 1 from c) select count(*) from c";
  static const char after[] = "select 1 from dual";
  struct Breaker breaker = {NULL, NULL, 0};
  void* stmt = NULL;
  pthread_t thread;
  breaker.svc = svc;
  pOCIHandleAlloc(env, &breaker.err, OCI_HTYPE_ERROR, 0, NULL);
  pOCIHandleAlloc(env, &stmt, OCI_HTYPE_STMT, 0, NULL);
  pOCIStmtPrepare(stmt, err, (const OraText*)sql, sizeof sql - 1, OCI_NTV_SYNTAX, OCI_DEFAULT);
  pthread_create(&thread, NULL, breakLoop, &breaker);
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT)) == ORA_CANCELLED,
        "a break ends a running query with ORA-01013");
  breaker.done = 1;
  pthread_join(thread, NULL);
  pOCIStmtPrepare(stmt, err, (const OraText*)after, sizeof after - 1, OCI_NTV_SYNTAX, OCI_DEFAULT);
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT)) == 0,
        "the session works after a break");
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
}

static void openEnvironment(void** server, void** svc, void** session) {
  check(pOCIEnvCreate(&env, OCI_THREADED | OCI_OBJECT, NULL, NULL, NULL, NULL, 0, NULL) == OCI_SUCCESS,
        "environment");
  pOCIHandleAlloc(env, &err, OCI_HTYPE_ERROR, 0, NULL);
  pOCIHandleAlloc(env, server, OCI_HTYPE_SERVER, 0, NULL);
  pOCIHandleAlloc(env, svc, OCI_HTYPE_SVCCTX, 0, NULL);
  pOCIHandleAlloc(env, session, OCI_HTYPE_SESSION, 0, NULL);
}

/* A slow call (the delay hook) ends at a break from another thread that shares its error
   handle, and the statement's error is the break's. */
static void breakDelay(void* svc) {
  static const char sql[] = "select 1 from dual";
  struct Breaker breaker = {NULL, NULL, 0};
  void *stmt = NULL, *slow = NULL, *normal = NULL;
  pthread_t thread;
  breaker.svc = svc;
  breaker.err = err;
  pOCIHandleAlloc(env, &stmt, OCI_HTYPE_STMT, 0, NULL);
  pOCIStmtPrepare(stmt, err, (const OraText*)sql, sizeof sql - 1, OCI_NTV_SYNTAX, OCI_DEFAULT);
  setenv("OCI_STANDIN_DELAY_US", "30000000", 1);
  pOCIEnvCreate(&slow, OCI_DEFAULT, NULL, NULL, NULL, NULL, 0, NULL);
  unsetenv("OCI_STANDIN_DELAY_US");
  pthread_create(&thread, NULL, breakLoop, &breaker);
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT)) == ORA_CANCELLED,
        "a break ends a delayed call with ORA-01013 on the shared error handle");
  breaker.done = 1;
  pthread_join(thread, NULL);
  pOCIEnvCreate(&normal, OCI_DEFAULT, NULL, NULL, NULL, NULL, 0, NULL);
  pOCIHandleFree(slow, OCI_HTYPE_ENV);
  pOCIHandleFree(normal, OCI_HTYPE_ENV);
  pOCIHandleFree(stmt, OCI_HTYPE_STMT);
}

static ub4 failoverEvents[4];
static int failoverCount;

static sb4 onFailover(void* svc, void* environment, void* context, ub4 type, ub4 event) {
  (void)svc, (void)environment, (void)context, (void)type;
  if (failoverCount < 4) failoverEvents[failoverCount++] = event;
  return 0;
}

/* A lost connection with a failover callback: begin and end are reported and the session is
   usable again once its statement is executed anew. */
static void failover(void) {
  static const char sql[] = "select count(*) from emp";
  void *server = NULL, *svc = NULL, *session = NULL, *stmt = NULL, *lost = NULL;
  void* callback[2];
  callback[0] = (void*)onFailover;
  callback[1] = NULL;
  openEnvironment(&server, &svc, &session);
  pOCIServerAttach(server, err, (const OraText*)"ORCL", 4, 0);
  check(pOCIAttrSet(server, OCI_HTYPE_SERVER, callback, 0, OCI_ATTR_FOCBK, err) == OCI_SUCCESS,
        "a failover callback is accepted");
  check(oraCode(logon(svc, server, session, "SCOTT", "tiger")) == 0, "logon with failover");
  pOCIHandleAlloc(env, &stmt, OCI_HTYPE_STMT, 0, NULL);
  pOCIStmtPrepare(stmt, err, (const OraText*)sql, sizeof sql - 1, OCI_NTV_SYNTAX, OCI_DEFAULT);
  setenv("OCI_STANDIN_FAIL_CALL", "1", 1);
  setenv("OCI_STANDIN_FAILOVER", "1", 1);
  pOCIEnvCreate(&lost, OCI_DEFAULT, NULL, NULL, NULL, NULL, 0, NULL);
  unsetenv("OCI_STANDIN_FAIL_CALL");
  unsetenv("OCI_STANDIN_FAILOVER");
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT)) == ORA_END_OF_CHANNEL,
        "the call that meets the loss fails");
  check(failoverCount == 2 && failoverEvents[0] == 8 && failoverEvents[1] == 1,
        "the failover callback sees begin, then end");
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT)) == 0,
        "the session works again after failover");
  pOCIHandleFree(lost, OCI_HTYPE_ENV);
  pOCIHandleFree(env, OCI_HTYPE_ENV);
}

/* The environment's hooks: a fetch that fails after two rows, and a lost connection. */
static void faultHooks(void) {
  static const char sql[] = "select empno from emp order by empno";
  void *server = NULL, *svc = NULL, *session = NULL, *stmt = NULL, *def = NULL, *lost = NULL;
  int empno[5] = {0, 0, 0, 0, 0};
  ub4 rows = 0;
  setenv("OCI_STANDIN_FAIL_AFTER_ROWS", "2", 1);
  openEnvironment(&server, &svc, &session);
  pOCIServerAttach(server, err, (const OraText*)"ORCL", 4, 0);
  check(oraCode(logon(svc, server, session, "SCOTT", "tiger")) == 0, "logon with hooks");
  pOCIHandleAlloc(env, &stmt, OCI_HTYPE_STMT, 0, NULL);
  pOCIStmtPrepare(stmt, err, (const OraText*)sql, sizeof sql - 1, OCI_NTV_SYNTAX, OCI_DEFAULT);
  pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT);
  pOCIDefineByPos(stmt, &def, err, 1, empno, sizeof empno[0], SQLT_INT, NULL, NULL, NULL, OCI_DEFAULT);
  check(oraCode(pOCIStmtFetch(stmt, err, 5, OCI_FETCH_NEXT, OCI_DEFAULT)) == ORA_INVALID_NUMBER,
        "a fetch past the failing row gives ORA-01722");
  check(pOCIAttrGet(stmt, OCI_HTYPE_STMT, &rows, NULL, OCI_ATTR_ROW_COUNT, err) == OCI_SUCCESS && rows == 2 &&
            empno[0] == 7369 && empno[1] == 7499,
        "the rows before the failure are in the buffers");
  unsetenv("OCI_STANDIN_FAIL_AFTER_ROWS");
  /* A second environment reads the hooks again: its first call that can report fails. */
  setenv("OCI_STANDIN_FAIL_CALL", "1", 1);
  pOCIEnvCreate(&lost, OCI_DEFAULT, NULL, NULL, NULL, NULL, 0, NULL);
  unsetenv("OCI_STANDIN_FAIL_CALL");
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT)) == ORA_END_OF_CHANNEL,
        "an injected failure gives ORA-03113");
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 0, 0, NULL, NULL, OCI_DEFAULT)) == ORA_NOT_CONNECTED,
        "the lost session then gives ORA-03114");
  pOCIHandleFree(lost, OCI_HTYPE_ENV);
  pOCIHandleFree(env, OCI_HTYPE_ENV);
}

/* Opened as the 8.0 level, the library gives ROWID descriptors in that level's layout. */
static int rowidLayout80(void) {
  void *server = NULL, *svc = NULL, *session = NULL, *stmt, *rowid = NULL;
  const unsigned char* b;
  unsigned object = 0, block = 0;
  unsigned short file = 0, row = 0;
  OraText text[32];
  ub2 length = sizeof text;
  openEnvironment(&server, &svc, &session);
  pOCIServerAttach(server, err, (const OraText*)"ORCL", 4, 0);
  check(oraCode(logon(svc, server, session, "SCOTT", "tiger")) == 0, "logon at level 8.0");
  stmt = prepared("insert into texts (id) values (80)");
  pOCIDescriptorAlloc(env, &rowid, OCI_DTYPE_ROWID, 0, NULL);
  check(oraCode(pOCIStmtExecute(svc, stmt, err, 1, 0, NULL, NULL, OCI_DEFAULT)) == 0 &&
            pOCIAttrGet(stmt, OCI_HTYPE_STMT, rowid, NULL, OCI_ATTR_ROWID, err) == OCI_SUCCESS,
        "a ROWID at level 8.0");
  b = (const unsigned char*)rowid;
  memcpy(&object, b, 4);
  memcpy(&file, b + 4, 2);
  memcpy(&block, b + 8, 4);
  memcpy(&row, b + 12, 2);
  check(object == 73001 && file == 4 && block == 0 && row != 0 &&
            pOCIRowidToChar(rowid, text, &length, err) == OCI_SUCCESS && length == 18,
        "the 8.0 layout: object, file, two unused bytes, block, row in machine order");
  pOCIDescriptorFree(rowid, OCI_DTYPE_ROWID);
  pOCIHandleFree(env, OCI_HTYPE_ENV);
  if (failures) return 1;
  puts("stand-in client at level 8.0: all checks passed");
  return 0;
}

int main(int argc, char** argv) {
  void *lib, *server = NULL, *svc = NULL, *session = NULL;
  if (argc != 2 && !(argc == 3 && strcmp(argv[2], "rowid80") == 0)) {
    fprintf(stderr, "usage: ocistandin_client LIBRARY [rowid80]\n");
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
  LOAD(OCIBreak);
  LOAD(OCITransCommit);
  LOAD(OCIDescriptorAlloc);
  LOAD(OCIDescriptorFree);
  LOAD(OCIRowidToChar);
  LOAD(OCILobCreateTemporary);
  LOAD(OCILobGetLength);
  LOAD(OCILobRead);
  LOAD(OCILobWrite);
  LOAD(OCILobTrim);
  LOAD(OCIDateTimeConstruct);
  LOAD(OCIDateTimeGetDate);
  LOAD(OCIDateTimeGetTime);
  LOAD(OCIDateTimeToText);
  LOAD(OCIDateTimeCompare);
  LOAD(OCIIntervalFromText);
  LOAD(OCIIntervalGetDaySecond);
  LOAD(OCIIntervalToText);
  LOAD(OCIStmtGetPieceInfo);
  LOAD(OCIStmtSetPieceInfo);
  LOAD(OCIDefineDynamic);
  LOAD(OCIBindDynamic);
  LOAD(OCILobFileExists);
  LOAD(OCILobFileOpen);
  LOAD(OCILobFileClose);
  LOAD(OCILobFileGetName);
  LOAD(olog);
  LOAD(ologof);
  LOAD(ocom);
  LOAD(orol);
  LOAD(obreak);
  LOAD(oerhms);
  LOAD(oopen);
  LOAD(oclose);
  LOAD(oparse);
  LOAD(obndrv);
  LOAD(obndrn);
  LOAD(odescr);
  LOAD(odefin);
  LOAD(odefinps);
  LOAD(obindps);
  LOAD(oexec);
  LOAD(ofen);
  LOAD(ocan);
  LOAD(ogetpi);
  LOAD(osetpi);
  LOAD(OCISvcCtxToLda);
  LOAD(OCIStmtFetch2);
  LOAD(OCINumberFromInt);
  LOAD(OCINumberToText);
  LOAD(OCINumberFromText);
  LOAD(OCINumberToReal);
  LOAD(OCINumberCmp);
  LOAD(OCIDateFromText);
  LOAD(OCIDateToText);

  *(void**)&pOCITypeByName = dlsym(lib, "OCITypeByName");
  *(void**)&pOCIDescribeAny = dlsym(lib, "OCIDescribeAny");
  *(void**)&pOCIDefineObject = dlsym(lib, "OCIDefineObject");
  *(void**)&pOCICollSize = dlsym(lib, "OCICollSize");
  *(void**)&pOCICollGetElem = dlsym(lib, "OCICollGetElem");
  *(void**)&pOCITableDelete = dlsym(lib, "OCITableDelete");
  *(void**)&pOCITableSize = dlsym(lib, "OCITableSize");
  *(void**)&pOCIObjectPin = dlsym(lib, "OCIObjectPin");
  *(void**)&pOCIObjectFlush = dlsym(lib, "OCIObjectFlush");
  *(void**)&pOCIStringPtr = dlsym(lib, "OCIStringPtr");
  *(void**)&pOCIStringAssignText = dlsym(lib, "OCIStringAssignText");
  if (!pOCITypeByName || !pOCIDescribeAny || !pOCIDefineObject || !pOCICollSize || !pOCICollGetElem ||
      !pOCITableDelete || !pOCITableSize || !pOCIObjectPin || !pOCIObjectFlush || !pOCIStringPtr ||
      !pOCIStringAssignText) {
    fprintf(stderr, "missing an object export\n");
    return 1;
  }
  if (argc == 3) return rowidLayout80();
  openEnvironment(&server, &svc, &session);
  check(oraCode(pOCIServerAttach(server, err, (const OraText*)"NOWHERE", 7, 0)) == ORA_UNRESOLVED_NAME,
        "an unknown connect string gives ORA-12154");
  check(oraCode(pOCIServerAttach(server, err, (const OraText*)"ORCL", 4, 0)) == 0, "attach");
  check(oraCode(logon(svc, server, session, "scott", "wrong")) == ORA_LOGON_DENIED,
        "a wrong password gives ORA-01017");
  check(oraCode(logon(svc, server, session, "scott", "tiger")) == 0, "logon");
  queryInArrays(svc);
  arrayInsert(svc);
  runScript(svc);
  exactNumbers(svc);
  textForms(svc);
  rowids(svc);
  lobs(svc);
  datetimes(svc);
  longData(svc);
  cursorColumns(svc);
  expressionTypes(svc);
  parseErrorOffsets(svc);
  bfiles(svc);
  oldCalls(svc);
  numberCalls();
  cursorFromBlock(svc);
  breakQuery(svc);
  breakDelay(svc);
  objectTypes(svc);
  check(pOCISessionEnd(svc, err, session, OCI_DEFAULT) == OCI_SUCCESS, "session end");
  check(pOCIServerDetach(server, err, OCI_DEFAULT) == OCI_SUCCESS, "detach");
  check(pOCIHandleFree(env, OCI_HTYPE_ENV) == OCI_SUCCESS, "free the environment");
  faultHooks();
  failover();
  if (failures) return 1;
  puts("stand-in client: all checks passed");
  return 0;
}
