/*
 * The C interface of the client-library stand-in: the entry points it exports, the numbers
 * they take and the hooks tests drive it with. Test programs include this header; the Oracle
 * client keeps its own declarations and must never include it, so that the two meet only at
 * the exported names, argument orders and numbers written here.
 *
 * Integer widths: ub1/sb1 8 bits, ub2/sb2 16, ub4/sb4 32, sword is int. Handles are opaque
 * pointers. Every entry point returns an OCI status (below) unless stated otherwise.
 *
 * The stand-in's "server" is a folder of SQLite files (see standin_server.h). Environment:
 *   OCI_STANDIN_ROOT          folder holding one folder per connect string (required); an
 *                             empty connect string names the folder of ORACLE_SID
 *   OCI_STANDIN_FAIL_CALL     n: the n-th counted call after an environment is created (or the
 *                             first after it that takes an error handle) fails with ORA-03113
 *                             and leaves every live session of the process dead (later calls
 *                             on them give ORA-03114, ending them too)
 *   OCI_STANDIN_FAILOVER      1: the service fails over: on a lost connection a session whose
 *                             server has a failover callback (OCI_ATTR_FOCBK) is logged on again,
 *                             the callback seeing event 8 (begin), then 1 (end) or 2 (abort),
 *                             with type 2 (session), and its statements must be executed again
 *   OCI_STANDIN_FAIL_AFTER_ROWS  n: a fetch that would deliver row n+1 of a query fails with
 *                             ORA-01722 after the first n rows are in the buffers
 *   OCI_STANDIN_DELAY_US      each counted call sleeps this many microseconds first; an OCIBreak
 *                             meanwhile ends the sleep and the call with ORA-01013
 *   OCI_STANDIN_COUNT_FILE    when an environment handle is freed, the process's call count is
 *                             written to this file as decimal text
 * The hooks are read when an environment handle is created.
 *
 * The library is built as home/lib/libclntsh.so.10.2 with links for the older levels
 * (libclntsh.so.7.3, .8.0, .8.1, .9.2) and libclntsh.so, so that its folder's parent serves as
 * an ORACLE_HOME and the file name tells the client its level.
 */
#ifndef VELMARON_OCI_ABI_H
#define VELMARON_OCI_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t ub1;
typedef int8_t sb1;
typedef uint16_t ub2;
typedef int16_t sb2;
typedef uint32_t ub4;
typedef int32_t sb4;
typedef int sword;
typedef unsigned char OraText;

/* Status values. */
enum {
  OCI_SUCCESS = 0,
  OCI_SUCCESS_WITH_INFO = 1,
  OCI_NEED_DATA = 99,
  OCI_NO_DATA = 100,
  OCI_ERROR = -1,
  OCI_INVALID_HANDLE = -2,
  OCI_STILL_EXECUTING = -3123,
  OCI_CONTINUE = -24200
};

/* Handle types. */
enum {
  OCI_HTYPE_ENV = 1,
  OCI_HTYPE_ERROR = 2,
  OCI_HTYPE_SVCCTX = 3,
  OCI_HTYPE_STMT = 4,
  OCI_HTYPE_BIND = 5,
  OCI_HTYPE_DEFINE = 6,
  OCI_HTYPE_DESCRIBE = 7,
  OCI_HTYPE_SERVER = 8,
  OCI_HTYPE_SESSION = 9
};

/* Descriptor types. The parameter descriptor is handed out by OCIParamGet. */
enum {
  OCI_DTYPE_LOB = 50,
  OCI_DTYPE_PARAM = 53,
  OCI_DTYPE_ROWID = 54, /* its memory holds the 13 bytes of standin_values.h's ROWID form; opened
                           as libclntsh.so.8.0: {object 32 bits, file 16, 2 unused, block 32,
                           row 16} in machine order */
  OCI_DTYPE_FILE = 56,
  OCI_DTYPE_INTERVAL_YM = 62,
  OCI_DTYPE_INTERVAL_DS = 63,
  OCI_DTYPE_TIMESTAMP = 68,
  OCI_DTYPE_TIMESTAMP_TZ = 69,
  OCI_DTYPE_TIMESTAMP_LTZ = 70
};

/* Attributes. The numbers of a select-list parameter and of a handle overlap by design. */
enum {
  OCI_ATTR_DATA_SIZE = 1,      /* ub2, parameter: column size in bytes */
  OCI_ATTR_DATA_TYPE = 2,      /* ub2, parameter: Oracle type code */
  OCI_ATTR_NAME = 4,           /* OraText* and ub4 length, parameter */
  OCI_ATTR_PRECISION = 5,      /* sb2, parameter */
  OCI_ATTR_SCALE = 6,          /* sb1, parameter */
  OCI_ATTR_IS_NULL = 7,        /* ub1, parameter: nullable */
  OCI_ATTR_SERVER = 6,         /* service context: server handle */
  OCI_ATTR_SESSION = 7,        /* service context: session handle */
  OCI_ATTR_ROW_COUNT = 9,      /* ub4, statement; scrollable: the highest row number fetched */
  OCI_ATTR_SQLFNCODE = 10,     /* ub2, statement */
  OCI_ATTR_PREFETCH_ROWS = 11, /* ub4, statement: accepted, no effect */
  OCI_ATTR_PREFETCH_MEMORY = 13,
  OCI_ATTR_FSPRECISION = 16,        /* ub1, parameter: fractional digits of TIMESTAMP, INTERVAL */
  OCI_ATTR_LFPRECISION = 17,        /* ub1, parameter: leading field digits of an INTERVAL */
  OCI_ATTR_CHAR_SIZE = 286,         /* ub2, parameter: length in characters */
  OCI_ATTR_MAXDATA_SIZE = 133,      /* bind: accepted */
  OCI_ATTR_PARAM_COUNT = 18,        /* ub4, statement: select-list items */
  OCI_ATTR_ROWID = 19,              /* statement, into a ROWID descriptor: the last row a DML
                                       statement touched; OCI_NO_DATA when none */
  OCI_ATTR_USERNAME = 22,           /* session */
  OCI_ATTR_PASSWORD = 23,           /* session */
  OCI_ATTR_STMT_TYPE = 24,          /* ub2, statement */
  OCI_ATTR_INTERNAL_NAME = 25,      /* server */
  OCI_ATTR_ROWS_FETCHED = 197,      /* ub4, statement: rows of the last fetch */
  OCI_ATTR_ENV = 5,                 /* any handle: its environment */
  OCI_ATTR_CHARSET_ID = 31,         /* ub2, bind or define: 1000 makes its text UTF-16 in memory order;
                                       parameter: the column's character set (873, national 2000) */
  OCI_ATTR_CHARSET_FORM = 32,       /* ub1, bind, define or parameter: 1 database, 2 national */
  OCI_ATTR_FOCBK = 43,              /* server: {callback, context}, called on a lost connection */
  OCI_ATTR_LOBEMPTY = 45,           /* LOB locator: accepted */
  OCI_ATTR_PARSE_ERROR_OFFSET = 129 /* ub2, statement */
};

/* Statement types (OCI_ATTR_STMT_TYPE); any other statement answers 0. */
enum {
  OCI_STMT_SELECT = 1,
  OCI_STMT_UPDATE = 2,
  OCI_STMT_DELETE = 3,
  OCI_STMT_INSERT = 4,
  OCI_STMT_CREATE = 5,
  OCI_STMT_DROP = 6,
  OCI_STMT_ALTER = 7,
  OCI_STMT_BEGIN = 8,
  OCI_STMT_DECLARE = 9
};

/* SQL function codes (OCI_ATTR_SQLFNCODE): 3 INSERT, 4 SELECT, 5 UPDATE, 9 DELETE, 34 PL/SQL
   block; any other statement answers 0. */

/* Modes. */
enum {
  OCI_DEFAULT = 0,
  OCI_THREADED = 1,
  OCI_OBJECT = 2,
  OCI_DATA_AT_EXEC = 2, /* bind mode: LONG, LONG RAW or CHR input given piece by piece */
  OCI_DYNAMIC_FETCH = 2,
  OCI_STMT_SCROLLABLE_READONLY = 8,
  OCI_DESCRIBE_ONLY = 16,
  OCI_COMMIT_ON_SUCCESS = 32,
  OCI_NTV_SYNTAX = 1,
  OCI_CRED_RDBMS = 1,
  OCI_CRED_EXT = 2,
  OCI_FETCH_NEXT = 2,
  OCI_FETCH_FIRST = 4,
  OCI_FETCH_LAST = 8,
  OCI_FETCH_PRIOR = 16,
  OCI_FETCH_ABSOLUTE = 32,
  OCI_FETCH_RELATIVE = 64
};

/* External data types. Values travel as text (UTF-8; UTF-16 or Latin-1 by OCI_ATTR_CHARSET_ID),
   integers of 1 to 8 bytes (exact), floats, bytes, the 22-byte NUMBER, the 7-byte DATE
   (century+100, year+100, month, day, hour+1, minute+1, second+1), or a descriptor per row
   (LOB, file, ROWID, TIMESTAMP, INTERVAL) or statement handle (cursor). */
enum {
  SQLT_CHR = 1,    /* VARCHAR2 column type; as an external type, text without a terminator */
  SQLT_CLOB = 112, /* as an external type: a LOB locator (OCILobLocator*) per row */
  SQLT_BLOB = 113,
  SQLT_NUM = 2, /* NUMBER column type */
  SQLT_INT = 3, /* signed integer of 1, 2, 4 or 8 bytes */
  SQLT_FLT = 4, /* float or double */
  SQLT_STR = 5, /* NUL-terminated text */
  SQLT_LNG = 8,
  SQLT_RID = 11,
  SQLT_DAT = 12,
  SQLT_BIN = 23,
  SQLT_LBI = 24,
  SQLT_CUR = 102,       /* the old level's cursor bind */
  SQLT_AFC = 96,        /* CHAR column type; as an external type, blank-padded text */
  SQLT_AVC = 97,        /* as an external type: text with a terminator; input ends at the terminator */
  SQLT_VNU = 6,         /* the 22-byte NUMBER: length byte, then the bytes of standin_number.h */
  SQLT_VCS = 9,         /* text after a 2-byte length */
  SQLT_RDD = 104,       /* ROWID descriptor (OCIRowid*) per row; also the ROWID column type */
  SQLT_BFILE = 114,     /* a file locator (OCI_DTYPE_FILE) per row */
  SQLT_TIMESTAMP = 187, /* datetime and interval descriptors per row */
  SQLT_TIMESTAMP_TZ = 188,
  SQLT_INTERVAL_YM = 189,
  SQLT_INTERVAL_DS = 190,
  SQLT_TIMESTAMP_LTZ = 232,
  SQLT_RSET = 116 /* a cursor bind: the value is the address of a statement handle, which
                     OPEN :c FOR ... in a block opens */
};

/* Error numbers the stand-in gives (ORA-nnnnn). */
enum {
  ORA_UNIQUE = 1, /* unique constraint violated */
  ORA_INVALID_STATEMENT = 900,
  ORA_INVALID_IDENTIFIER = 904,
  ORA_NO_TABLE = 942, /* table or view does not exist */
  ORA_RESOURCE_BUSY = 54,
  ORA_CANCELLED = 1013, /* user requested cancel (OCIBreak) */
  ORA_LOGON_DENIED = 1017,
  ORA_NULL_INTO_NOT_NULL = 1400,
  ORA_NO_DATA_FOUND = 1403,
  ORA_INVALID_NUMBER = 1722,
  ORA_END_OF_CHANNEL = 3113,
  ORA_NOT_CONNECTED = 3114,
  ORA_PLSQL = 6550,
  ORA_UNRESOLVED_NAME = 12154
};

sword OCIInitialize(ub4 mode, void* ctxp, void* malocfp, void* ralocfp, void* mfreefp);
sword OCIEnvInit(void** envp, ub4 mode, size_t xtramemsz, void** usrmempp);
sword OCIEnvCreate(void** envp, ub4 mode, void* ctxp, void* malocfp, void* ralocfp, void* mfreefp,
                   size_t xtramemsz, void** usrmempp);
sword OCIHandleAlloc(const void* parenth, void** hndlpp, ub4 type, size_t xtramem_sz, void** usrmempp);
sword OCIHandleFree(void* hndlp, ub4 type);
sword OCIDescriptorAlloc(const void* parenth, void** descpp, ub4 type, size_t xtramem_sz, void** usrmempp);
sword OCIDescriptorFree(void* descp, ub4 type);
sword OCIAttrGet(const void* trgthndlp, ub4 trghndltyp, void* attributep, ub4* sizep, ub4 attrtype,
                 void* errhp);
sword OCIAttrSet(void* trgthndlp, ub4 trghndltyp, void* attributep, ub4 size, ub4 attrtype, void* errhp);
sword OCIErrorGet(void* hndlp, ub4 recordno, OraText* sqlstate, sb4* errcodep, OraText* bufp, ub4 bufsiz,
                  ub4 type);
sword OCIServerAttach(void* srvhp, void* errhp, const OraText* dblink, sb4 dblink_len, ub4 mode);
sword OCIServerDetach(void* srvhp, void* errhp, ub4 mode);
sword OCIServerVersion(void* hndlp, void* errhp, OraText* bufp, ub4 bufsz, ub1 hndltype);
sword OCISessionBegin(void* svchp, void* errhp, void* usrhp, ub4 credt, ub4 mode);
sword OCISessionEnd(void* svchp, void* errhp, void* usrhp, ub4 mode);
sword OCIPasswordChange(void* svchp, void* errhp, const OraText* user_name, ub4 usernm_len,
                        const OraText* opasswd, ub4 opasswd_len, const OraText* npasswd, ub4 npasswd_len,
                        ub4 mode);
sword OCIStmtPrepare(void* stmtp, void* errhp, const OraText* stmt, ub4 stmt_len, ub4 language, ub4 mode);
sword OCIStmtExecute(void* svchp, void* stmtp, void* errhp, ub4 iters, ub4 rowoff, const void* snap_in,
                     void* snap_out, ub4 mode);
sword OCIStmtFetch(void* stmtp, void* errhp, ub4 nrows, ub2 orientation, ub4 mode);
sword OCIStmtFetch2(void* stmtp, void* errhp, ub4 nrows, ub2 orientation, sb4 fetchOffset, ub4 mode);
sword OCIParamGet(const void* hndlp, ub4 htype, void* errhp, void** parmdpp, ub4 pos);
sword OCIBindByName(void* stmtp, void** bindpp, void* errhp, const OraText* placeholder, sb4 placeh_len,
                    void* valuep, sb4 value_sz, ub2 dty, void* indp, ub2* alenp, ub2* rcodep, ub4 maxarr_len,
                    ub4* curelep, ub4 mode);
sword OCIBindByPos(void* stmtp, void** bindpp, void* errhp, ub4 position, void* valuep, sb4 value_sz, ub2 dty,
                   void* indp, ub2* alenp, ub2* rcodep, ub4 maxarr_len, ub4* curelep, ub4 mode);
sword OCIBindArrayOfStruct(void* bindp, void* errhp, ub4 pvskip, ub4 indskip, ub4 alskip, ub4 rcskip);
sword OCIDefineByPos(void* stmtp, void** defnpp, void* errhp, ub4 position, void* valuep, sb4 value_sz,
                     ub2 dty, void* indp, ub2* rlenp, ub2* rcodep, ub4 mode);
sword OCIDefineArrayOfStruct(void* defnp, void* errhp, ub4 pvskip, ub4 indskip, ub4 rlskip, ub4 rcskip);
/* Piecewise input: OCIStmtExecute answers OCI_NEED_DATA while a value bound at execution is
   incomplete; GetPieceInfo names its bind handle and asks for piece 1 (first) or 2 (next);
   SetPieceInfo appends a piece, and piece 0 (one) or 3 (last) completes the value. */
sword OCIStmtGetPieceInfo(void* stmtp, void* errhp, void** hndlpp, ub4* typep, ub1* in_outp, ub4* iterp,
                          ub4* idxp, ub1* piecep);
sword OCIStmtSetPieceInfo(void* hndlp, ub4 type, void* errhp, const void* bufp, ub4* alenp, ub1 piece,
                          const void* indp, ub2* rcodep);
/* A define made with OCI_DYNAMIC_FETCH takes its value in pieces: without a callback,
   OCIStmtFetch answers OCI_NEED_DATA, OCIStmtGetPieceInfo names the define (direction 2, out), the
   caller gives a buffer (its size in *alenp) with OCIStmtSetPieceInfo and fetches again, until the
   fetch answers OCI_SUCCESS; with OCIDefineDynamic the callback is asked for each piece's buffer
   instead: sb4 cb(ctx, define, row, void** buffer, ub4** length (size in, length out),
   ub1* piece, void** indicator, ub2** returnCode), answering OCI_CONTINUE. */
sword OCIDefineDynamic(void* defnp, void* errhp, void* octxp, void* ocbfp);
/* A bind made with OCI_DATA_AT_EXEC: with OCIBindDynamic its input comes from
   sb4 in(ctx, bind, iter, index, void** buffer, ub4* length, ub1* piece, void** indicator) until it
   answers piece 0 (one) or 3 (last), and its output (a PL/SQL result) goes to
   sb4 out(ctx, bind, iter, index, void** buffer, ub4** length, ub1* piece, void** indicator,
   ub2** returnCode), asked first with piece 0, then 2. Without callbacks the input is asked for
   before the statement runs (direction 1) and the output handed out after it (direction 2), both
   through OCI_NEED_DATA and the piece calls. */
sword OCIBindDynamic(void* bindp, void* errhp, void* ictxp, void* icbfp, void* octxp, void* ocbfp);
sword OCITransCommit(void* svchp, void* errhp, ub4 flags);
sword OCITransRollback(void* svchp, void* errhp, ub4 flags);
sword OCIBreak(void* hndlp, void* errhp);

sword OCIRowidToChar(void* rowidDesc, OraText* outbfp, ub2* outbflp, void* errhp);

/* LOBs. Amounts and offsets of a CLOB count characters; a CLOB read or written with character-set
   id 1000 travels as UTF-16 (amounts in units), with ids 1, 31, 46 and 178 as Latin-1 (a byte per
   character, '?' for what Latin-1 lacks), otherwise as UTF-8 (a read answers bytes, a write
   takes bytes and answers characters). Binds and defines of text follow the same ids. A locator fetched from
   a table row writes every change back to that row in the session's transaction. */
sword OCILobCreateTemporary(void* svchp, void* errhp, void* locp, ub2 csid, ub1 csfrm, ub1 lobtype, int cache,
                            ub2 duration);
sword OCILobFreeTemporary(void* svchp, void* errhp, void* locp);
sword OCILobIsTemporary(void* envhp, void* errhp, void* locp, int* isTemporary);
sword OCILobLocatorIsInit(void* envhp, void* errhp, const void* locp, int* isInit);
sword OCILobGetLength(void* svchp, void* errhp, void* locp, ub4* lenp);
sword OCILobCharSetForm(void* envhp, void* errhp, const void* locp, ub1* csfrm);
sword OCILobCharSetId(void* envhp, void* errhp, const void* locp, ub2* csid);
sword OCILobTrim(void* svchp, void* errhp, void* locp, ub4 newlen);
sword OCILobErase(void* svchp, void* errhp, void* locp, ub4* amount, ub4 offset);
sword OCILobRead(void* svchp, void* errhp, void* locp, ub4* amtp, ub4 offset, void* bufp, ub4 bufl,
                 void* ctxp, void* cbfp, ub2 csid, ub1 csfrm);
sword OCILobWrite(void* svchp, void* errhp, void* locp, ub4* amtp, ub4 offset, void* bufp, ub4 buflen,
                  ub1 piece, void* ctxp, void* cbfp, ub2 csid, ub1 csfrm);
sword OCILobAppend(void* svchp, void* errhp, void* dstp, void* srcp);
sword OCILobCopy(void* svchp, void* errhp, void* dstp, void* srcp, ub4 amount, ub4 dstOffset, ub4 srcOffset);
sword OCILobLoadFromFile(void* svchp, void* errhp, void* dstp, void* filep, ub4 amount, ub4 dstOffset,
                         ub4 srcOffset);
sword OCILobAssign(void* envhp, void* errhp, const void* srcp, void** dstpp);
sword OCILobIsEqual(void* envhp, const void* xp, const void* yp, int* isEqual);
sword OCILobEnableBuffering(void* svchp, void* errhp, void* locp);
sword OCILobDisableBuffering(void* svchp, void* errhp, void* locp);
sword OCILobFlushBuffer(void* svchp, void* errhp, void* locp, ub4 flag);
sword OCILobFileSetName(void* envhp, void* errhp, void** filepp, const OraText* dir, ub2 dirLength,
                        const OraText* name, ub2 nameLength);
sword OCILobFileGetName(void* envhp, void* errhp, const void* filep, OraText* dir, ub2* dirLength,
                        OraText* name, ub2* nameLength);
sword OCILobFileExists(void* svchp, void* errhp, void* filep, int* flag);
sword OCILobFileOpen(void* svchp, void* errhp, void* filep, ub1 mode);
sword OCILobFileClose(void* svchp, void* errhp, void* filep);
sword OCILobFileIsOpen(void* svchp, void* errhp, void* filep, int* flag);

/* TIMESTAMP and INTERVAL descriptors. The first argument (an environment or session) is not
   read; texts without a format follow the default NLS formats. */
sword OCIDateTimeConstruct(void* hndl, void* errhp, void* datetime, sb2 year, ub1 month, ub1 day, ub1 hour,
                           ub1 minute, ub1 second, ub4 fsec, const OraText* timezone, size_t timezoneLength);
sword OCIDateTimeCheck(void* hndl, void* errhp, const void* date, ub4* valid);
sword OCIDateTimeFromText(void* hndl, void* errhp, const OraText* text, size_t textLength, const OraText* fmt,
                          ub1 fmtLength, const OraText* lang, size_t langLength, void* datetime);
sword OCIDateTimeToText(void* hndl, void* errhp, const void* date, const OraText* fmt, ub1 fmtLength,
                        ub1 fsprec, const OraText* lang, size_t langLength, ub4* bufSize, OraText* buf);
sword OCIDateTimeGetDate(void* hndl, void* errhp, const void* date, sb2* year, ub1* month, ub1* day);
sword OCIDateTimeGetTime(void* hndl, void* errhp, void* datetime, ub1* hour, ub1* minute, ub1* second,
                         ub4* fsec);
sword OCIDateTimeGetTimeZoneOffset(void* hndl, void* errhp, const void* datetime, sb1* hour, sb1* minute);
sword OCIDateTimeGetTimeZoneName(void* hndl, void* errhp, const void* datetime, ub1* buf, ub4* buflen);
sword OCIDateTimeAssign(void* hndl, void* errhp, const void* from, void* to);
sword OCIDateTimeCompare(void* hndl, void* errhp, const void* date1, const void* date2, sword* result);
sword OCIIntervalFromText(void* hndl, void* errhp, const OraText* text, size_t length, void* result);
sword OCIIntervalToText(void* hndl, void* errhp, const void* value, ub1 lfprec, ub1 fsprec, OraText* buffer,
                        size_t buflen, size_t* resultlen);
sword OCIIntervalCheck(void* hndl, void* errhp, const void* value, ub4* valid);
sword OCIIntervalAssign(void* hndl, void* errhp, const void* from, void* to);
sword OCIIntervalCompare(void* hndl, void* errhp, void* a, void* b, sword* result);
sword OCIIntervalSetYearMonth(void* hndl, void* errhp, sb4 years, sb4 months, void* result);
sword OCIIntervalGetYearMonth(void* hndl, void* errhp, sb4* years, sb4* months, const void* value);
sword OCIIntervalSetDaySecond(void* hndl, void* errhp, sb4 days, sb4 hours, sb4 minutes, sb4 seconds,
                              sb4 fsec, void* result);
sword OCIIntervalGetDaySecond(void* hndl, void* errhp, sb4* days, sb4* hours, sb4* minutes, sb4* seconds,
                              sb4* fsec, const void* value);
sword OCIIntervalFromNumber(void* hndl, void* errhp, void* result, const void* number);

/* The old call level. A logon data area (LDA) and a cursor data area (CDA) are 64 bytes of the
   caller's memory in this layout; the calls fill rc (the ORA number of the last call, 0 for
   success), v2_rc (the old code), ft (the SQL function code), rpc (rows processed, cumulative
   over fetches), peo (the parse error offset), wrn (0x21 after a stored program compiled with
   errors) and rid (the ROWID of the row a DML statement touched: data object, file, block, row,
   in machine order). Each call answers the old code: 0; 4 at the end of a fetch; the negative
   ORA number of an error, -9 standing for ORA-00001 and -303 for a position past the select
   list; -3129 and -3130 when the next input or output piece is wanted. olog reads the hooks as
   an environment does. */
typedef struct {
  sb2 v2_rc;
  ub2 ft;
  ub4 rpc;
  ub2 peo;
  ub1 fc;
  ub1 rcs1;
  ub2 rc;
  ub1 wrn;
  ub1 rcs2;
  sword rcs3;
  struct {
    struct {
      ub4 rcs4;
      ub2 rcs5;
      ub1 rcs6;
    } rd;
    ub4 rcs7;
    ub2 rcs8;
  } rid;
  sword ose;
  ub1 chk;
  void* rcsp;
  ub1 rcs9[64 - 48 - sizeof(void*)];
} OCI7CursorArea;

sword opinit(ub4 mode);
sword olog(void* lda, ub1* hda, const OraText* uid, sword uidl, const OraText* pswd, sword pswdl,
           const OraText* conn, sword connl, ub4 mode);
sword ologof(void* lda);
sword ocom(void* lda);
sword orol(void* lda);
sword ocon(void* lda);
sword ocof(void* lda);
sword obreak(void* lda);
sword onbset(void* lda);
sword onbclr(void* lda);
sword onbtst(void* lda);
sword oerhms(void* lda, sb2 rcode, OraText* buf, sword bufsiz);
sword oermsg(sb2 rcode, OraText* buf);
sword OCISvcCtxToLda(void* svchp, void* errhp, void* lda);
sword OCILdaToSvcCtx(void** svchpp, void* errhp, void* lda);
sword oopen(void* cda, void* lda, const OraText* dbn, sword dbnl, sword arsize, const OraText* uid,
            sword uidl);
sword oclose(void* cda);
sword oparse(void* cda, const OraText* sqlstm, sb4 sqllen, sword defflg, ub4 lngflg);
sword obndrv(void* cda, const OraText* sqlvar, sword sqlvl, ub1* progv, sword progvl, sword ftype,
             sword scale, sb2* indp, const OraText* fmt, sword fmtl, sword fmtt);
sword obndrn(void* cda, sword sqlvn, ub1* progv, sword progvl, sword ftype, sword scale, sb2* indp,
             const OraText* fmt, sword fmtl, sword fmtt);
sword obndra(void* cda, const OraText* sqlvar, sword sqlvl, ub1* progv, sword progvl, sword ftype,
             sword scale, sb2* indp, ub2* alen, ub2* arcode, ub4 maxsiz, ub4* cursiz, const OraText* fmt,
             sword fmtl, sword fmtt);
sword obindps(void* cda, ub1 opcode, const OraText* sqlvar, sb4 sqlvl, ub1* pvctx, sb4 progvl, sword ftype,
              sword scale, sb2* indp, ub2* alen, ub2* arcode, sb4 pvSkip, sb4 indSkip, sb4 alenSkip,
              sb4 rcSkip, ub4 maxsiz, ub4* cursiz, const OraText* fmt, sb4 fmtl, sword fmtt);
sword odescr(void* cda, sword pos, sb4* dbsize, sb2* dbtype, sb1* cbuf, sb4* cbufl, sb4* dsize, sb2* prec,
             sb2* scale, sb2* nullok);
sword odefin(void* cda, sword pos, ub1* buf, sword bufl, sword ftype, sword scale, sb2* indp,
             const OraText* fmt, sword fmtl, sword fmtt, ub2* rlen, ub2* rcode);
sword odefinps(void* cda, ub1 opcode, sword pos, ub1* bufctx, sb4 bufl, sword ftype, sword scale, sb2* indp,
               const OraText* fmt, sb4 fmtl, sword fmtt, ub2* rlen, ub2* rcode, sb4 pvSkip, sb4 indSkip,
               sb4 alenSkip, sb4 rcSkip);
sword oexec(void* cda);
sword oexn(void* cda, sword iters, sword rowoff);
sword oexfet(void* cda, ub4 nrows, sword cancel, sword exact);
sword ofen(void* cda, sword nrows);
sword ofetch(void* cda);
sword ocan(void* cda);
sword ogetpi(void* cda, ub1* piecep, void** ctxpp, ub4* iterp, ub4* indexp);
sword osetpi(void* cda, ub1 piece, void* bufp, ub4* lenp);

/* NUMBER values of the object calls: 22 bytes, a length byte and then the NUMBER bytes. Integers
   of 1, 2, 4 or 8 bytes (flag 2 signed, 0 unsigned), reals of 4 or 8. Text follows the decimal
   and group characters of an NLS text "NLS_NUMERIC_CHARACTERS='dg'"; a format model is read
   loosely (group characters skipped) and written as the shortest text. */
sword OCINumberAssign(void* errhp, const void* from, void* to);
sword OCINumberCmp(void* errhp, const void* a, const void* b, sword* result);
sword OCINumberFromInt(void* errhp, const void* value, unsigned length, unsigned flag, void* number);
sword OCINumberToInt(void* errhp, const void* number, unsigned length, unsigned flag, void* result);
sword OCINumberFromReal(void* errhp, const void* value, unsigned length, void* number);
sword OCINumberToReal(void* errhp, const void* number, unsigned length, void* result);
sword OCINumberFromText(void* errhp, const OraText* text, ub4 length, const OraText* fmt, ub4 fmtLength,
                        const OraText* nls, ub4 nlsLength, void* number);
sword OCINumberToText(void* errhp, const void* number, const OraText* fmt, ub4 fmtLength, const OraText* nls,
                      ub4 nlsLength, ub4* bufSize, OraText* buf);

/* DATE values of the object calls: 8 bytes, year (16 bits, machine order), month, day, hour,
   minute, second and one unused byte; text without a model is DD-MON-YY. */
sword OCIDateAssign(void* errhp, const void* from, void* to);
sword OCIDateFromText(void* errhp, const OraText* text, ub4 length, const OraText* fmt, ub1 fmtLength,
                      const OraText* lang, ub4 langLength, void* date);
sword OCIDateToText(void* errhp, const void* date, const OraText* fmt, ub1 fmtLength, const OraText* lang,
                    ub4 langLength, ub4* bufSize, OraText* buf);

/* Not an OCI call: the number of counted calls this process has made. */
uint64_t OCIStandinCallCount(void);

#ifdef __cplusplus
}
#endif

#endif
