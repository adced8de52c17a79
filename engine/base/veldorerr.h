// Engine errors: the 16-bit codes with their names and message texts, the error context that
// carries the names a message needs, and the one raise operation of every engine routine.
//
// The context is kept per thread: a raise fills the raising thread's context and the exception
// is built from it on the same thread, so two threads that fail at once never see each other's
// texts. The context keeps the last error of its thread until the thread raises again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/dberror.h"

namespace engine {

// The high byte of a code is its category; code 0 means no error.
inline constexpr uint16_t VELDOR_NONE = 0x0000;
inline constexpr uint16_t VELDOR_BOF = 0x2201;
inline constexpr uint16_t VELDOR_EOF = 0x2202;
inline constexpr uint16_t VELDOR_KEYORRECDELETED = 0x2204;
inline constexpr uint16_t VELDOR_NOCURRREC = 0x2205;
inline constexpr uint16_t VELDOR_RECNOTFOUND = 0x2206;
inline constexpr uint16_t VELDOR_ENDOFBLOB = 0x2207;
inline constexpr uint16_t VELDOR_HEADERCORRUPT = 0x2301;
inline constexpr uint16_t VELDOR_FILECORRUPT = 0x2302;
inline constexpr uint16_t VELDOR_MEMOCORRUPT = 0x2303;
inline constexpr uint16_t VELDOR_INDEXCORRUPT = 0x2305;
inline constexpr uint16_t VELDOR_READERR = 0x2401;
inline constexpr uint16_t VELDOR_WRITEERR = 0x2402;
inline constexpr uint16_t VELDOR_FILEDELETEFAIL = 0x2404;
inline constexpr uint16_t VELDOR_FILENOACCESS = 0x2405;
inline constexpr uint16_t VELDOR_RECTOOBIG = 0x2505;
inline constexpr uint16_t VELDOR_TABLEFULL = 0x2507;
inline constexpr uint16_t VELDOR_INTERNALLIMIT = 0x250A;
inline constexpr uint16_t VELDOR_INDEXLIMIT = 0x250F;
inline constexpr uint16_t VELDOR_FLDLIMIT = 0x2514;
inline constexpr uint16_t VELDOR_OPENBLOBLIMIT = 0x2516;
inline constexpr uint16_t VELDOR_BLOBLIMIT = 0x251A;
inline constexpr uint16_t VELDOR_KEYVIOL = 0x2601;
inline constexpr uint16_t VELDOR_MINVALERR = 0x2602;
inline constexpr uint16_t VELDOR_MAXVALERR = 0x2603;
inline constexpr uint16_t VELDOR_REQDERR = 0x2604;
inline constexpr uint16_t VELDOR_OUTOFRANGE = 0x2701;
inline constexpr uint16_t VELDOR_PRIMARYKEYREDEFINE = 0x2709;
inline constexpr uint16_t VELDOR_INVALIDBLOBOFFSET = 0x270E;
inline constexpr uint16_t VELDOR_INVALIDFLDTYPE = 0x2710;
inline constexpr uint16_t VELDOR_INVALIDVCHKSTRUCT = 0x2716;
inline constexpr uint16_t VELDOR_INDEXNAMEREQUIRED = 0x271A;
inline constexpr uint16_t VELDOR_INVALIDPASSWORD = 0x271F;
inline constexpr uint16_t VELDOR_INVALIDINDEXNAME = 0x2726;
inline constexpr uint16_t VELDOR_INVALIDIDXDESC = 0x2727;
inline constexpr uint16_t VELDOR_INVALIDKEY = 0x272A;
inline constexpr uint16_t VELDOR_INDEXEXISTS = 0x272B;
inline constexpr uint16_t VELDOR_INVALIDBLOBLEN = 0x272D;
inline constexpr uint16_t VELDOR_INVALIDBLOBHANDLE = 0x272E;
inline constexpr uint16_t VELDOR_TABLEOPEN = 0x272F;
inline constexpr uint16_t VELDOR_INVALIDFIELDNAME = 0x2736;
// A table name too long for its three files to keep names of their own.
inline constexpr uint16_t VELDOR_TABLENAMETOOLONG = 0x2737;
inline constexpr uint16_t VELDOR_NOSUCHFILTER = 0x2742;
inline constexpr uint16_t VELDOR_INVALIDFILTER = 0x2743;
inline constexpr uint16_t VELDOR_INVALIDINDEXDELETE = 0x2747;
inline constexpr uint16_t VELDOR_LOCKED = 0x2801;
inline constexpr uint16_t VELDOR_UNLOCKFAILED = 0x2802;
inline constexpr uint16_t VELDOR_LOCKTIMEOUT = 0x2809;
inline constexpr uint16_t VELDOR_NEEDEXCLACCESS = 0x280D;
inline constexpr uint16_t VELDOR_RECLOCKFAILED = 0x2812;
inline constexpr uint16_t VELDOR_NOTSUFFTABLERIGHTS = 0x2902;
inline constexpr uint16_t VELDOR_NOTABLOB = 0x2A01;
inline constexpr uint16_t VELDOR_NOTINITIALIZED = 0x2A06;
inline constexpr uint16_t VELDOR_OSENOENT = 0x2B02;
inline constexpr uint16_t VELDOR_OSEMFILE = 0x2B04;
inline constexpr uint16_t VELDOR_OSEACCES = 0x2B05;
inline constexpr uint16_t VELDOR_OSEBADF = 0x2B06;
inline constexpr uint16_t VELDOR_OSENOMEM = 0x2B08;
inline constexpr uint16_t VELDOR_OSEINVMEM = 0x2B09;
inline constexpr uint16_t VELDOR_OSENODEV = 0x2B0F;
inline constexpr uint16_t VELDOR_OSENOTSAM = 0x2B11;
inline constexpr uint16_t VELDOR_OSUNKNOWN = 0x2B27;
inline constexpr uint16_t VELDOR_REMOTECOMMLOST = 0x2C0C;
inline constexpr uint16_t VELDOR_REMOTEUNKNOWN = 0x2C0F;
inline constexpr uint16_t VELDOR_REMOTECONNECT = 0x2C10;
inline constexpr uint16_t VELDOR_REMOTENOLOGIN = 0x2C11;
inline constexpr uint16_t VELDOR_REMOTEMAXCONNECT = 0x2C12;
inline constexpr uint16_t VELDOR_REMOTEADDRESSBLOCK = 0x2C13;
inline constexpr uint16_t VELDOR_REMOTECALLBACK = 0x2C14;
inline constexpr uint16_t VELDOR_REMOTECALLBACKERR = 0x2C15;
inline constexpr uint16_t VELDOR_REMOTEVERSION = 0x2C16;
inline constexpr uint16_t VELDOR_REMOTEINVLOGIN = 0x2C17;
inline constexpr uint16_t VELDOR_REMOTENOTAUTH = 0x2C18;
inline constexpr uint16_t VELDOR_REMOTENOTADMIN = 0x2C19;
inline constexpr uint16_t VELDOR_REMOTEINVUSER = 0x2C1A;
inline constexpr uint16_t VELDOR_REMOTENOUSER = 0x2C1B;
inline constexpr uint16_t VELDOR_REMOTEDUPUSER = 0x2C1C;
inline constexpr uint16_t VELDOR_REMOTEINVDB = 0x2C1D;
inline constexpr uint16_t VELDOR_REMOTENODB = 0x2C1E;
inline constexpr uint16_t VELDOR_REMOTEDUPDB = 0x2C1F;
inline constexpr uint16_t VELDOR_REMOTEINVDBUSER = 0x2C20;
inline constexpr uint16_t VELDOR_REMOTENODBUSER = 0x2C21;
inline constexpr uint16_t VELDOR_REMOTEDUPDBUSER = 0x2C22;
inline constexpr uint16_t VELDOR_REMOTEINVREQUEST = 0x2C23;
inline constexpr uint16_t VELDOR_IMPORTERROR = 0x2C24;
inline constexpr uint16_t VELDOR_EXPORTERROR = 0x2C25;
inline constexpr uint16_t VELDOR_SQLPARSE = 0x2EAD;
inline constexpr uint16_t VELDOR_OLDVERSION = 0x2F03;
inline constexpr uint16_t VELDOR_SEARCHCOLREQD = 0x3004;
inline constexpr uint16_t VELDOR_TABLEEXISTS = 0x3304;
inline constexpr uint16_t VELDOR_COMPRESS = 0x3A99;
inline constexpr uint16_t VELDOR_UNCOMPRESS = 0x3A9A;
inline constexpr uint16_t VELDOR_CANNOTLOADLDDRV = 0x3E06;

// Items of the error context, in their fixed order. Items 7 and 8 are read-only views of the
// two error numbers as decimal text.
enum EngineErrorItem : int {
  kItemServer = 0,
  kItemUser = 1,
  kItemDatabase = 2,
  kItemTable = 3,
  kItemField = 4,
  kItemIndex = 5,
  kItemText = 6,
  kItemOSError = 7,
  kItemSocketError = 8,
};

// Longest text of an engine string (context items are cut to it, at a character boundary).
inline constexpr size_t kEngineStringMax = 255;
// Longest message text that GetEngineErrorMessage hands out, not counting the terminating zero.
inline constexpr size_t kEngineMessageMax = 254;

inline constexpr std::string_view kUnknownEngineErrorText = "An unknown error occurred";

// One row of the code table.
struct EngineErrorInfo {
  uint16_t code;
  std::string_view name;  // the constant's name, e.g. "VELDOR_KEYVIOL"
  std::string_view text;  // message with "%s" placeholders; empty for the codes without a text
  int itemCount;          // number of placeholders
  int items[3];           // context items that fill them, in order
};

// The row of `code`, or nullptr for a code that the engine does not raise.
const EngineErrorInfo* FindEngineErrorInfo(uint16_t code);

// The name of a code ("VELDOR_NONE" for 0); empty for a code that has no name.
std::string_view GetEngineErrorName(uint16_t code);

// Replaces the calling thread's context: the code, both error numbers and the seven items
// (each cut to kEngineStringMax).
void SetEngineErrorContext(uint16_t code, uint32_t osError, uint32_t socketError, std::string_view server,
                           std::string_view user, std::string_view database, std::string_view table,
                           std::string_view field, std::string_view index, std::string_view text);
// Sets the calling thread's code, numbers and items to 0 and empty.
void ClearEngineErrorContext();
// The code of the calling thread's last raise (0 when none).
uint16_t GetEngineErrorCode();
// Items 0-6 as stored, 7 the OS error and 8 the socket error in decimal; "" for any other index.
std::string GetEngineErrorItem(int index);

// Forms the message of `code` from the calling thread's context: the code's text with the listed
// items at its "%s" placeholders, or "An unknown error occurred" for a code without a text. The
// text is cut to kEngineMessageMax characters.
std::string GetEngineErrorMessage(uint16_t code);
// The same into a caller's buffer of at least kEngineMessageMax + 1 bytes, zero-terminated.
void GetEngineErrorMessage(uint16_t code, char* buffer);

// Kept for callers that bracket several context reads. The context belongs to the calling
// thread, so there is nothing to exclude; the calls nest and cost nothing.
void EnterEngineErrorSection();
void LeaveEngineErrorSection();

// The exception of every engine error. Carries the code, both error numbers and the seven
// context items in item order; what() is "VELDOR Engine Error # <code> <text>".
// A database error, so that handlers of database errors see engine failures too.
class EVELDOREngineError : public platform::EDatabaseError {
 public:
  EVELDOREngineError(uint16_t code, uint32_t osError, uint32_t socketError, const std::string (&items)[7],
                     const std::string& message);

  uint16_t ErrorCode() const { return errorCode_; }
  uint32_t OSError() const { return osError_; }
  uint32_t SocketError() const { return socketError_; }
  // Items 0-6 in context order; "" for any other index.
  const std::string& Item(int index) const;
  // The message text alone, without the "VELDOR Engine Error # <code> " prefix.
  const std::string& ErrorText() const { return errorText_; }

 private:
  uint16_t errorCode_;
  uint32_t osError_;
  uint32_t socketError_;
  std::string items_[7];
  std::string errorText_;
};

// Builds an EVELDOREngineError from the calling thread's context and throws it.
[[noreturn]] void RaiseEngineError(uint16_t code);
// The same, only when `code` is not 0.
void RaiseEngineErrorIfSet(uint16_t code);

// Clears the context, records the thread's last OS and socket errors with `code` and the seven
// items, and raises. Callers pass "" for the items they do not fill. Never returns.
[[noreturn]] void SignalEngineError(uint16_t code, std::string_view server, std::string_view user,
                                    std::string_view database, std::string_view table, std::string_view field,
                                    std::string_view index, std::string_view text);
// Shorthands for the common forms: no items, or the table item (with the database item).
[[noreturn]] void SignalEngineError(uint16_t code);
[[noreturn]] void SignalTableError(uint16_t code, std::string_view table, std::string_view database = {});

}  // namespace engine
