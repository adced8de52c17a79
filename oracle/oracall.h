// The Oracle client library: finding it, loading it at run time, its call levels, the entry
// points bound by name, and the environment and error handles every connection shares.
//
// Homes on Linux: ORACLE_HOME is home 0, then each usable oratab entry takes the next slot (at
// most six). The library is libclntsh.so in a home's lib folder, the highest versioned
// libclntsh.so.N.M there first; without any home it is loaded by name from the library path, as
// an instant client is installed. The version is read from the file name behind the library
// (its links resolved), since Linux libraries carry no version resource.
//
// Every function variable holds a stub raising "OCI function is not linked" until it is bound;
// an entry point the library does not export keeps the stub, so it fails only when called.
//
// Threads: OCIInit runs under a process-wide lock, so connections opened on several threads share
// one environment. LoadOCI and FreeOCI change the function variables: no call may be in flight.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace oracle {

using ub1 = uint8_t;
using sb1 = int8_t;
using ub2 = uint16_t;
using sb2 = int16_t;
using ub4 = uint32_t;
using sb4 = int32_t;
using sword = int;
using OraText = unsigned char;

// Status values.
inline constexpr sword OCI_SUCCESS = 0;
inline constexpr sword OCI_SUCCESS_WITH_INFO = 1;
inline constexpr sword OCI_NEED_DATA = 99;
inline constexpr sword OCI_NO_DATA = 100;
inline constexpr sword OCI_ERROR = -1;
inline constexpr sword OCI_INVALID_HANDLE = -2;
inline constexpr sword OCI_STILL_EXECUTING = -3123;

// Handle and descriptor types.
inline constexpr ub4 OCI_HTYPE_ENV = 1;
inline constexpr ub4 OCI_HTYPE_ERROR = 2;
inline constexpr ub4 OCI_HTYPE_SVCCTX = 3;
inline constexpr ub4 OCI_HTYPE_STMT = 4;
inline constexpr ub4 OCI_HTYPE_BIND = 5;
inline constexpr ub4 OCI_HTYPE_DEFINE = 6;
inline constexpr ub4 OCI_HTYPE_SERVER = 8;
inline constexpr ub4 OCI_HTYPE_SESSION = 9;
inline constexpr ub4 OCI_DTYPE_PARAM = 53;
inline constexpr ub4 OCI_DTYPE_ROWID = 54;
inline constexpr ub4 OCI_DTYPE_LOB = 50;
inline constexpr ub4 OCI_DTYPE_FILE = 56;

// Attributes.
inline constexpr ub4 OCI_ATTR_DATA_SIZE = 1;
inline constexpr ub4 OCI_ATTR_DATA_TYPE = 2;
inline constexpr ub4 OCI_ATTR_NAME = 4;
inline constexpr ub4 OCI_ATTR_PRECISION = 5;
inline constexpr ub4 OCI_ATTR_SCALE = 6;
inline constexpr ub4 OCI_ATTR_IS_NULL = 7;
inline constexpr ub4 OCI_ATTR_SERVER = 6;
inline constexpr ub4 OCI_ATTR_SESSION = 7;
inline constexpr ub4 OCI_ATTR_ROW_COUNT = 9;
inline constexpr ub4 OCI_ATTR_PREFETCH_ROWS = 11;
inline constexpr ub4 OCI_ATTR_PREFETCH_MEMORY = 13;
inline constexpr ub4 OCI_ATTR_PARAM_COUNT = 18;
inline constexpr ub4 OCI_ATTR_ROWID = 19;
inline constexpr ub4 OCI_ATTR_USERNAME = 22;
inline constexpr ub4 OCI_ATTR_PASSWORD = 23;
inline constexpr ub4 OCI_ATTR_STMT_TYPE = 24;
inline constexpr ub4 OCI_ATTR_INTERNAL_NAME = 25;
inline constexpr ub4 OCI_ATTR_FOCBK = 43;

// Modes and credentials.
inline constexpr ub4 OCI_DEFAULT = 0;
inline constexpr ub4 OCI_THREADED = 1;
inline constexpr ub4 OCI_OBJECT = 2;
inline constexpr ub4 OCI_EVENTS = 4;
inline constexpr ub4 OCI_NO_MUTEX = 128;
inline constexpr ub4 OCI_ENV_NO_MUTEX = 8;
inline constexpr ub4 OCI_SHARED = 16;
inline constexpr ub4 OCI_COMMIT_ON_SUCCESS = 32;
inline constexpr ub4 OCI_DESCRIBE_ONLY = 16;
inline constexpr ub4 OCI_DATA_AT_EXEC = 2;
inline constexpr ub4 OCI_NTV_SYNTAX = 1;
inline constexpr ub4 OCI_CRED_RDBMS = 1;
inline constexpr ub4 OCI_CRED_EXT = 2;
inline constexpr ub4 OCI_SYSDBA = 2;
inline constexpr ub4 OCI_SYSOPER = 4;
inline constexpr ub2 OCI_FETCH_NEXT = 2;
inline constexpr ub2 OCI_FETCH_LAST = 8;
inline constexpr ub2 OCI_FETCH_ABSOLUTE = 32;
inline constexpr ub4 OCI_STMT_SCROLLABLE_READONLY = 8;
inline constexpr ub4 OCI_ATTR_ROWS_FETCHED = 197;

// Levels offered by the library (PossibleOCICallStyles bits) and call styles.
inline constexpr uint8_t osOCI7 = 2;
inline constexpr uint8_t osOCI8 = 4;
inline constexpr uint8_t osOCI81 = 8;
inline constexpr uint8_t osOCI90 = 16;
inline constexpr uint8_t OCI73 = 1;
inline constexpr uint8_t OCI80 = 2;

// The entry points this client calls with their full argument lists.
#define VELMARON_OCI_TYPED(X)                                                                                \
  X(OCIInitialize, sword, (ub4 mode, void* ctx, void* malocfp, void* ralocfp, void* mfreefp))                \
  X(OCIEnvInit, sword, (void** envp, ub4 mode, size_t xtramemsz, void** usrmempp))                           \
  X(OCIEnvCreate, sword,                                                                                     \
    (void** envp, ub4 mode, void* ctxp, void* malocfp, void* ralocfp, void* mfreefp, size_t xtramemsz,       \
     void** usrmempp))                                                                                       \
  X(OCIHandleAlloc, sword, (const void* parent, void** handle, ub4 type, size_t xtramem, void** usrmem))     \
  X(OCIHandleFree, sword, (void* handle, ub4 type))                                                          \
  X(OCIDescriptorAlloc, sword,                                                                               \
    (const void* parent, void** descriptor, ub4 type, size_t xtramem, void** usrmem))                        \
  X(OCIDescriptorFree, sword, (void* descriptor, ub4 type))                                                  \
  X(OCIAttrGet, sword, (const void* handle, ub4 type, void* attribute, ub4* size, ub4 attr, void* err))      \
  X(OCIAttrSet, sword, (void* handle, ub4 type, void* attribute, ub4 size, ub4 attr, void* err))             \
  X(OCIErrorGet, sword,                                                                                      \
    (void* handle, ub4 recordNo, OraText* sqlState, sb4* code, OraText* buffer, ub4 size, ub4 type))         \
  X(OCIServerAttach, sword, (void* server, void* err, const OraText* link, sb4 linkLength, ub4 mode))        \
  X(OCIServerDetach, sword, (void* server, void* err, ub4 mode))                                             \
  X(OCIServerVersion, sword, (void* handle, void* err, OraText* buffer, ub4 size, ub1 type))                 \
  X(OCISessionBegin, sword, (void* svc, void* err, void* session, ub4 credentials, ub4 mode))                \
  X(OCISessionEnd, sword, (void* svc, void* err, void* session, ub4 mode))                                   \
  X(OCIStmtPrepare, sword, (void* stmt, void* err, const OraText* text, ub4 length, ub4 language, ub4 mode)) \
  X(OCIStmtExecute, sword,                                                                                   \
    (void* svc, void* stmt, void* err, ub4 iters, ub4 rowOffset, const void* snapIn, void* snapOut,          \
     ub4 mode))                                                                                              \
  X(OCIStmtFetch, sword, (void* stmt, void* err, ub4 rows, ub2 orientation, ub4 mode))                       \
  X(OCIStmtFetch2, sword, (void* stmt, void* err, ub4 rows, ub2 orientation, sb4 offset, ub4 mode))          \
  X(OCILobCreateTemporary, sword,                                                                            \
    (void* svc, void* err, void* locator, ub2 charsetId, ub1 charsetForm, ub1 lobType, int cache,            \
     ub2 duration))                                                                                          \
  X(OCILobLocatorIsInit, sword, (void* env, void* err, const void* locator, int* isInit))                    \
  X(OCILobGetLength, sword, (void* svc, void* err, void* locator, ub4* length))                              \
  X(OCILobCharSetForm, sword, (void* env, void* err, const void* locator, ub1* charsetForm))                 \
  X(OCILobTrim, sword, (void* svc, void* err, void* locator, ub4 newLength))                                 \
  X(OCILobFileSetName, sword,                                                                                \
    (void* env, void* err, void** file, const OraText* dir, ub2 dirLength, const OraText* name,              \
     ub2 nameLength))                                                                                        \
  X(OCILobFileGetName, sword,                                                                                \
    (void* env, void* err, const void* file, OraText* dir, ub2* dirLength, OraText* name, ub2* nameLength))  \
  X(OCILobFileExists, sword, (void* svc, void* err, void* file, int* flag))                                  \
  X(OCILobFileOpen, sword, (void* svc, void* err, void* file, ub1 mode))                                     \
  X(OCILobFileClose, sword, (void* svc, void* err, void* file))                                              \
  X(OCILobRead, sword,                                                                                       \
    (void* svc, void* err, void* locator, ub4* amount, ub4 offset, void* buffer, ub4 bufferLength,           \
     void* context, void* callback, ub2 charsetId, ub1 charsetForm))                                         \
  X(OCILobWrite, sword,                                                                                      \
    (void* svc, void* err, void* locator, ub4* amount, ub4 offset, void* buffer, ub4 bufferLength,           \
     ub1 piece, void* context, void* callback, ub2 charsetId, ub1 charsetForm))                              \
  X(OCIParamGet, sword, (const void* handle, ub4 type, void* err, void** param, ub4 position))               \
  X(OCIBindByName, sword,                                                                                    \
    (void* stmt, void** bind, void* err, const OraText* name, sb4 nameLength, void* value, sb4 valueSize,    \
     ub2 type, void* indicator, ub2* length, ub2* code, ub4 maxElements, ub4* elements, ub4 mode))           \
  X(OCIBindArrayOfStruct, sword,                                                                             \
    (void* bind, void* err, ub4 valueSkip, ub4 indSkip, ub4 lenSkip, ub4 codeSkip))                          \
  X(OCIDefineByPos, sword,                                                                                   \
    (void* stmt, void** define, void* err, ub4 position, void* value, sb4 valueSize, ub2 type,               \
     void* indicator, ub2* length, ub2* code, ub4 mode))                                                     \
  X(OCIDefineDynamic, sword, (void* define, void* err, void* context, void* callback))                       \
  X(OCIDefineArrayOfStruct, sword,                                                                           \
    (void* define, void* err, ub4 valueSkip, ub4 indSkip, ub4 lenSkip, ub4 codeSkip))                        \
  X(OCIStmtGetPieceInfo, sword,                                                                              \
    (void* stmt, void* err, void** handle, ub4* type, ub1* direction, ub4* iteration, ub4* index,            \
     ub1* piece))                                                                                            \
  X(OCIStmtSetPieceInfo, sword,                                                                              \
    (void* handle, ub4 type, void* err, const void* buffer, ub4* length, ub1 piece, const void* indicator,   \
     ub2* code))                                                                                             \
  X(OCITransCommit, sword, (void* svc, void* err, ub4 flags))                                                \
  X(OCITransRollback, sword, (void* svc, void* err, ub4 flags))                                              \
  X(OCIBreak, sword, (void* handle, void* err))                                                              \
  X(OCISvcCtxToLda, sword, (void* svc, void* err, void* lda))                                                \
  X(olog, sword,                                                                                             \
    (void* lda, ub1* hda, const OraText* user, sword userLength, const OraText* password,                    \
     sword passwordLength, const OraText* server, sword serverLength, ub4 mode))                             \
  X(ologof, sword, (void* lda))                                                                              \
  X(ocom, sword, (void* lda))                                                                                \
  X(orol, sword, (void* lda))                                                                                \
  X(obreak, sword, (void* lda))                                                                              \
  X(opinit, sword, (ub4 mode))                                                                               \
  X(oerhms, sword, (void* lda, sb2 code, OraText* buffer, sword size))                                       \
  X(oopen, sword,                                                                                            \
    (void* cda, void* lda, const OraText* database, sword databaseLength, sword areaSize,                    \
     const OraText* user, sword userLength))                                                                 \
  X(oclose, sword, (void* cda))                                                                              \
  X(oparse, sword, (void* cda, const OraText* text, sb4 length, sword deferred, ub4 behaviour))              \
  X(obndrv, sword,                                                                                           \
    (void* cda, const OraText* name, sword nameLength, ub1* value, sword size, sword type, sword scale,      \
     sb2* indicator, const OraText* format, sword formatLength, sword formatType))                           \
  X(obndra, sword,                                                                                           \
    (void* cda, const OraText* name, sword nameLength, ub1* value, sword size, sword type, sword scale,      \
     sb2* indicator, ub2* length, ub2* code, ub4 maxElements, ub4* elements, const OraText* format,          \
     sword formatLength, sword formatType))                                                                  \
  X(obindps, sword,                                                                                          \
    (void* cda, ub1 operation, const OraText* name, sb4 nameLength, ub1* value, sb4 size, sword type,        \
     sword scale, sb2* indicator, ub2* length, ub2* code, sb4 valueSkip, sb4 indicatorSkip, sb4 lengthSkip,  \
     sb4 codeSkip, ub4 maxElements, ub4* elements, const OraText* format, sb4 formatLength,                  \
     sword formatType))                                                                                      \
  X(oexn, sword, (void* cda, sword iters, sword rowOffset))                                                  \
  X(ocan, sword, (void* cda))                                                                                \
  X(ogetpi, sword, (void* cda, ub1* piece, void** context, ub4* iteration, ub4* index))                      \
  X(osetpi, sword, (void* cda, ub1 piece, void* buffer, ub4* length))                                        \
  X(odescr, sword,                                                                                           \
    (void* cda, sword position, sb4* dbSize, sb2* dbType, sb1* name, sb4* nameLength, sb4* displaySize,      \
     sb2* precision, sb2* scale, sb2* nullOk))                                                               \
  X(odefin, sword,                                                                                           \
    (void* cda, sword position, ub1* buffer, sword size, sword type, sword scale, sb2* indicator,            \
     const OraText* format, sword formatLength, sword formatType, ub2* length, ub2* code))                   \
  X(odefinps, sword,                                                                                         \
    (void* cda, ub1 operation, sword position, ub1* buffer, sb4 size, sword type, sword scale,               \
     sb2* indicator, const OraText* format, sb4 formatLength, sword formatType, ub2* length, ub2* code,      \
     sb4 valueSkip, sb4 indicatorSkip, sb4 lengthSkip, sb4 codeSkip))                                        \
  X(ofen, sword, (void* cda, sword rows))

// The 9-level entry points this client calls, bound only when the library offers that level.
#define VELMARON_OCI90_TYPED(X)                                                                             \
  X(OCIDateTimeConstruct, sword,                                                                            \
    (void* env, void* err, void* datetime, sb2 year, ub1 month, ub1 day, ub1 hour, ub1 minute, ub1 second,  \
     ub4 fsec, const OraText* timeZone, size_t timeZoneLength))                                             \
  X(OCIDateTimeGetDate, sword,                                                                              \
    (void* env, void* err, const void* datetime, sb2* year, ub1* month, ub1* day))                          \
  X(OCIDateTimeGetTime, sword,                                                                              \
    (void* env, void* err, void* datetime, ub1* hour, ub1* minute, ub1* second, ub4* fsec))                 \
  X(OCIDateTimeToText, sword,                                                                               \
    (void* env, void* err, const void* datetime, const OraText* format, ub1 formatLength, ub1 precision,    \
     const OraText* language, size_t languageLength, ub4* bufferSize, OraText* buffer))                     \
  X(OCIDateTimeFromText, sword,                                                                             \
    (void* env, void* err, const OraText* text, size_t textLength, const OraText* format, ub1 formatLength, \
     const OraText* language, size_t languageLength, void* datetime))                                       \
  X(OCIDateTimeAssign, sword, (void* env, void* err, const void* from, void* to))                           \
  X(OCIDateTimeCompare, sword, (void* env, void* err, const void* a, const void* b, sword* result))         \
  X(OCIIntervalToText, sword,                                                                               \
    (void* env, void* err, const void* interval, ub1 leadPrecision, ub1 fracPrecision, OraText* buffer,     \
     size_t bufferLength, size_t* resultLength))                                                            \
  X(OCIIntervalFromText, sword,                                                                             \
    (void* env, void* err, const OraText* text, size_t textLength, void* interval))                         \
  X(OCIIntervalCheck, sword, (void* env, void* err, const void* interval, ub4* valid))                      \
  X(OCIIntervalAssign, sword, (void* env, void* err, const void* from, void* to))                           \
  X(OCIIntervalCompare, sword, (void* env, void* err, void* a, void* b, sword* result))                     \
  X(OCIRowidToChar, sword, (void* rowid, OraText* buffer, ub2* bufferLength, void* err))

// The other entry points of each level, bound so that their presence is known.
// clang-format off
#define VELMARON_OCI7_OTHER(X) \
  X(obndrn)                    \
  X(ocof)                      \
  X(ocon)                      \
  X(odessp)                    \
  X(oermsg)                    \
  X(oexec)                     \
  X(oexfet)                    \
  X(ofetch)                    \
  X(oflng)                     \
  X(ognfd)                     \
  X(onbclr)                    \
  X(onbset)                    \
  X(onbtst)                    \
  X(oopt)                      \
  X(sqllda)                    \
  X(sqlld2)
// clang-format on
// clang-format off
#define VELMARON_OCI8_OTHER(X) \
  X(OCIBindByPos)              \
  X(OCIBindDynamic)            \
  X(OCIBindObject)             \
  X(OCIDefineObject)           \
  X(OCIDescribeAny)            \
  X(OCILdaToSvcCtx)            \
  X(OCIPasswordChange)         \
  X(OCILobAppend)              \
  X(OCILobAssign)              \
  X(OCILobCharSetId)           \
  X(OCILobCopy)                \
  X(OCILobDisableBuffering)    \
  X(OCILobEnableBuffering)     \
  X(OCILobErase)               \
  X(OCILobFileIsOpen)          \
  X(OCILobFlushBuffer)         \
  X(OCILobIsEqual)             \
  X(OCILobLoadFromFile)
// clang-format on

// clang-format off
#define VELMARON_OCI8_OBJECTS(X) \
  X(OCICacheFlush)               \
  X(OCICacheFree)                \
  X(OCICacheRefresh)             \
  X(OCICacheUnmark)              \
  X(OCICacheUnpin)               \
  X(OCIObjectCopy)               \
  X(OCIObjectExists)             \
  X(OCIObjectFlush)              \
  X(OCIObjectFree)               \
  X(OCIObjectGetAttr)            \
  X(OCIObjectGetInd)             \
  X(OCIObjectGetObjectRef)       \
  X(OCIObjectGetProperty)        \
  X(OCIObjectGetTypeRef)         \
  X(OCIObjectIsDirty)            \
  X(OCIObjectIsLocked)           \
  X(OCIObjectLock)               \
  X(OCIObjectMarkDelete)         \
  X(OCIObjectMarkDeleteByRef)    \
  X(OCIObjectMarkUpdate)         \
  X(OCIObjectNew)                \
  X(OCIObjectPin)                \
  X(OCIObjectPinCountReset)      \
  X(OCIObjectPinTable)           \
  X(OCIObjectRefresh)            \
  X(OCIObjectSetAttr)            \
  X(OCIObjectUnmark)             \
  X(OCIObjectUnmarkByRef)        \
  X(OCIObjectUnpin)              \
  X(OCITypeByName)               \
  X(OCITypeByRef)                \
  X(OCICollAppend)               \
  X(OCICollAssign)               \
  X(OCICollAssignElem)           \
  X(OCICollGetElem)              \
  X(OCICollMax)                  \
  X(OCICollSize)                 \
  X(OCICollTrim)                 \
  X(OCIDateAssign)               \
  X(OCIDateFromText)             \
  X(OCIDateGetDate)              \
  X(OCIDateGetTime)              \
  X(OCIDateSetDate)              \
  X(OCIDateSetTime)              \
  X(OCIDateToText)               \
  X(OCINumberAssign)             \
  X(OCINumberCmp)                \
  X(OCINumberFromInt)            \
  X(OCINumberFromReal)           \
  X(OCINumberFromText)           \
  X(OCINumberToInt)              \
  X(OCINumberToReal)             \
  X(OCINumberToText)             \
  X(OCIRefAssign)                \
  X(OCIRefClear)                 \
  X(OCIRefIsEqual)               \
  X(OCIRefIsNull)                \
  X(OCIRefToHex)                 \
  X(OCIStringAllocSize)          \
  X(OCIStringAssign)             \
  X(OCIStringAssignText)         \
  X(OCIStringPtr)                \
  X(OCIStringResize)             \
  X(OCIStringSize)               \
  X(OCITableDelete)              \
  X(OCITableExists)              \
  X(OCITableFirst)               \
  X(OCITableLast)                \
  X(OCITableNext)                \
  X(OCITablePrev)                \
  X(OCITableSize)
// clang-format on
// clang-format off
#define VELMARON_OCI81_OTHER(X) \
  X(OCIDirPathAbort)            \
  X(OCIDirPathColArrayEntryGet) \
  X(OCIDirPathColArrayEntrySet) \
  X(OCIDirPathColArrayRowGet)   \
  X(OCIDirPathColArrayReset)    \
  X(OCIDirPathColArrayToStream) \
  X(OCIDirPathFinish)           \
  X(OCIDirPathLoadStream)       \
  X(OCIDirPathPrepare)          \
  X(OCIDirPathStreamReset)
// clang-format on
// clang-format off
#define VELMARON_OCI90_OTHER(X)   \
  X(OCIDateTimeCheck)             \
  X(OCIDateTimeGetTimeZoneOffset) \
  X(OCIDateTimeGetTimeZoneName)   \
  X(OCIIntervalSetYearMonth)      \
  X(OCIIntervalGetYearMonth)      \
  X(OCIIntervalSetDaySecond)      \
  X(OCIIntervalGetDaySecond)      \
  X(OCIIntervalFromNumber)        \
  X(OCIXMLTypeNew)                \
  X(OCIXMLTypeCreateFromSrc)      \
  X(OCIXMLTypeExtract)            \
  X(OCIXMLTypeTransform)          \
  X(OCIXMLTypeExists)             \
  X(OCIXMLTypeIsSchemaBased)      \
  X(OCIXMLTypeGetSchema)          \
  X(OCIXMLTypeValidate)           \
  X(OCIXMLTypeGetDOM)             \
  X(OCIXMLTypeGetFromDOM)         \
  X(OCIDOMFree)                   \
  X(OCIPStreamFromXMLType)        \
  X(OCIPStreamRead)               \
  X(OCIPStreamClose)
// clang-format on

#define VELMARON_OCI_DECLARE_TYPED(name, result, args) \
  using name##_t = result(*) args;                     \
  extern name##_t name;
VELMARON_OCI_TYPED(VELMARON_OCI_DECLARE_TYPED)
VELMARON_OCI90_TYPED(VELMARON_OCI_DECLARE_TYPED)
#undef VELMARON_OCI_DECLARE_TYPED

// An entry point whose arguments this client does not use yet: only its presence matters.
using OCIUntypedFunction = sword (*)();
#define VELMARON_OCI_DECLARE_OTHER(name) extern OCIUntypedFunction name;
VELMARON_OCI7_OTHER(VELMARON_OCI_DECLARE_OTHER)
VELMARON_OCI8_OTHER(VELMARON_OCI_DECLARE_OTHER)
VELMARON_OCI8_OBJECTS(VELMARON_OCI_DECLARE_OTHER)
VELMARON_OCI81_OTHER(VELMARON_OCI_DECLARE_OTHER)
VELMARON_OCI90_OTHER(VELMARON_OCI_DECLARE_OTHER)
#undef VELMARON_OCI_DECLARE_OTHER

inline constexpr int MaxOracleHomes = 6;

// Process-wide state; written by the loader only.
extern std::string OCIDLL;  // may be set beforehand to force a file
extern std::string OCIClientDLL;
extern std::string OCIVersionSt;
extern uint8_t OCIVersion;
extern uint8_t OCICallStyle;
extern uint8_t PossibleOCICallStyles;
extern bool OCILite;
extern bool ObjectsEnabled;
extern bool OCIThreaded;
extern bool OCIMutexed;
extern bool OCIShared;
extern bool OCIEvents;
extern bool OCIInited;
extern void* hOCIEnv;
// Counts the shared environments freed. Every handle made under an environment goes with it, so
// a holder of one compares the count it saw at allocation before using or freeing it.
extern std::atomic<uint32_t> OCIEnvironmentGeneration;
extern void* hOCIError;
extern std::string OracleHomes[MaxOracleHomes];
extern std::string OracleHomeNames[MaxOracleHomes];
extern int OracleHomeCount;
extern int DefaultOracleHome;
extern uint8_t OracleHomeIndex;
extern std::string OracleHomePath;
extern bool OCI7Threaded;

// Where DetectOCI looks: replaced by tests.
struct OCIHomeSources {
  std::string oratabPath = "/etc/oratab";
};
extern OCIHomeSources HomeSources;

// Compares dotted version texts number by number ("10.2" > "9.2.0"; missing parts count as 0).
int CompareVersions(const std::string& a, const std::string& b);
// The levels of a version text: sets `version`, `style` (unless already set) and `possible`.
// Raises "OCI version ... is not supported" for a text no level fits; 10 and later get the
// highest level known.
void LevelsOfVersion(const std::string& versionText, uint8_t& version, uint8_t& style, uint8_t& possible);
// The version a client library file name carries ("libclntsh.so.9.2" gives "9.2"); empty if none.
std::string VersionOfLibraryName(const std::string& path);

void DetectOCI();
void LoadOCI();
void FreeOCI();
bool OCILoaded();
void OCIInit();
void OCIFinish();
void CheckOCI80();
void CheckOCI81();
void CheckOCI90();
void InitOCI7(bool threaded);

}  // namespace oracle
