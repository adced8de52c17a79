// The engine server protocol, shared by the client (the session and its remote cursors) and the
// loopback server: the message frame, the request codes and their names, the callback kinds, the
// parameter lists of requests and replies, and the codec of the text-index parameters.
//
// A message is a 10-byte header (total length, code, payload length; little-endian 4, 2 and 4
// bytes) and its payload. A payload is a list of parameters, each a 4-byte length and its bytes;
// outside the handshake and off the local network it travels compressed. A reply's code is 0 or
// an engine error code; VELDOR_REMOTECALLBACK marks a callback the server makes while it works
// on a request, whose first parameters are its kind (2 bytes) and the server's cursor (4).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/veldorhelpers.h"

namespace engine {

inline constexpr size_t kMessageHeaderSize = 10;
inline constexpr size_t kMessageCodeOffset = 4;
inline constexpr size_t kMessagePayloadSizeOffset = 6;

// Request codes; a gap is a code the protocol leaves unused.
enum TRequestCode : uint16_t {
  REQUEST_RECONNECT = 0,
  REQUEST_LOGIN = 1,
  REQUEST_LOGOUT = 2,
  REQUEST_SESSIONPARAMS = 3,
  REQUEST_GETTABLENAMES = 4,
  REQUEST_OPENDATADIR = 5,
  REQUEST_CLOSEDATADIR = 6,
  REQUEST_ADDPASSWORD = 7,
  REQUEST_DELPASSWORD = 8,
  REQUEST_DELALLPASSWORDS = 9,
  REQUEST_GETDBNAMES = 10,
  REQUEST_STARTTXN = 11,
  REQUEST_COMMITTXN = 12,
  REQUEST_ROLLBACKTXN = 13,
  REQUEST_CREATECURSOR = 14,
  REQUEST_OPENCURSOR = 15,
  REQUEST_CLOSECURSOR = 16,
  REQUEST_CLONECURSOR = 17,
  REQUEST_FREECURSOR = 18,
  REQUEST_SETINDEXNAME = 19,
  REQUEST_SETTOBEGIN = 20,
  REQUEST_SETTOEND = 21,
  REQUEST_SETTORECNO = 22,
  REQUEST_SETTORECBUF = 23,
  REQUEST_GETCURRECORD = 24,
  REQUEST_CLONECURRECORD = 25,
  REQUEST_GETNEXTRECORD = 26,
  REQUEST_GETPRIORRECORD = 27,
  REQUEST_APPENDRECORD = 28,
  REQUEST_MODIFYRECORD = 29,
  REQUEST_DELETERECORD = 30,
  REQUEST_FLUSHBUFFERS = 31,
  REQUEST_FLUSHOSBUFFERS = 32,
  REQUEST_REFRESH = 33,
  REQUEST_SETTOBOOKMARK = 34,
  REQUEST_FIND = 35,
  REQUEST_SETRANGE = 36,
  REQUEST_RESETRANGE = 37,
  REQUEST_TABLEISLOCKED = 38,
  REQUEST_RECORDISLOCKED = 39,
  REQUEST_WRITELOCKTABLE = 40,
  REQUEST_WRITEUNLOCKTABLE = 41,
  REQUEST_WRITEUNLOCKRECORD = 42,
  REQUEST_LOCKSEMAPHORE = 43,
  REQUEST_UNLOCKSEMAPHORE = 44,
  REQUEST_GETDATAHEADER = 45,
  REQUEST_TABLEEXISTS = 46,
  REQUEST_PROGRESSCALLBACK = 47,
  REQUEST_CREATETABLE = 48,
  REQUEST_RESTRUCTURETABLE = 49,
  REQUEST_REPAIRTABLE = 50,
  REQUEST_UPGRADETABLE = 51,
  REQUEST_EMPTYTABLE = 52,
  REQUEST_DELETETABLE = 53,
  REQUEST_RENAMETABLE = 54,
  REQUEST_OPTIMIZETABLE = 55,
  REQUEST_COPYTABLE = 56,
  REQUEST_ADDPRIMARYINDEX = 57,
  REQUEST_ADDSECONDARYINDEX = 58,
  REQUEST_DELETEINDEX = 59,
  REQUEST_DELETEALLINDEXES = 60,
  REQUEST_SUPPRESSAUTOINC = 61,
  REQUEST_OPENBLOB = 62,
  REQUEST_FREEBLOB = 63,
  REQUEST_FREEALLBLOBS = 64,
  REQUEST_GETBLOB = 65,
  REQUEST_PUTBLOB = 66,
  REQUEST_TRUNCATEBLOB = 67,
  REQUEST_GETBLOBSIZE = 68,
  REQUEST_ADDEXPRFILTER = 69,
  REQUEST_ADDCALLBACKFILTER = 70,
  REQUEST_DROPFILTER = 71,
  REQUEST_ACTIVATEFILTER = 72,
  REQUEST_DEACTIVATEFILTER = 73,
  REQUEST_GETFILTEROPTIMIZELEVEL = 74,
  REQUEST_CALLBACKRESPONSE = 75,
  REQUEST_CREATESTMT = 76,
  REQUEST_PREPARESTMT = 77,
  REQUEST_SETSTMTPARAMS = 78,
  REQUEST_EXECUTESTMT = 79,
  REQUEST_FREESTMT = 80,
  REQUEST_SAVERESULT = 81,
  REQUEST_CONNECTPARAMS = 82,
  REQUEST_BEGINBUFFERLOAD = 83,
  REQUEST_ENDBUFFERLOAD = 84,
  REQUEST_BEGINBUFFERSAVE = 85,
  REQUEST_ENDBUFFERSAVE = 86,
  REQUEST_GETUSERNAMES = 87,
  REQUEST_ADDUSER = 88,
  REQUEST_MODIFYUSER = 89,
  REQUEST_DELETEUSER = 90,
  REQUEST_GETUSER = 91,
  REQUEST_ADDDB = 92,
  REQUEST_MODIFYDB = 93,
  REQUEST_DELETEDB = 94,
  REQUEST_GETDB = 95,
  REQUEST_GETDBUSERNAMES = 96,
  REQUEST_ADDDBUSER = 97,
  REQUEST_MODIFYDBUSER = 98,
  REQUEST_DELETEDBUSER = 99,
  REQUEST_GETDBUSER = 100,
  REQUEST_MODIFYCONFIG = 101,
  REQUEST_GETCONFIG = 102,
  REQUEST_GETLOG = 103,
  REQUEST_STARTSERVER = 104,
  REQUEST_STOPSERVER = 105,
  REQUEST_GETUPTIME = 106,
  REQUEST_GETMEMORYUSAGE = 107,
  REQUEST_GETMAINPORT = 108,
  REQUEST_GETADMINPORT = 109,
  REQUEST_GETSESSIONS = 110,
  REQUEST_GETCONNECTEDSESSIONS = 111,
  REQUEST_GETSESSIONINFO = 112,
  REQUEST_DISCONNECTSESSION = 113,
  REQUEST_REMOVESESSION = 114,
  REQUEST_IMPORTTABLE = 115,
  REQUEST_EXPORTTABLE = 116,
  REQUEST_TEXTINDEXPARAMS = 120,
  REQUEST_BACKUPTABLE = 121,
  REQUEST_RESTORETABLE = 122,
  REQUEST_READRECORDBLOCK = 123,
  REQUEST_CANCELRECORD = 124,
};

// The name of a request code for trace lines; empty for a code without one.
std::string_view GetRequestName(uint16_t code);

// What a server asks of the client, or tells it, while it works on a request.
enum TCallbackKind : uint16_t {
  kCallbackPassword = 0,
  kCallbackFilter = 1,
  kCallbackStepProgress = 2,
  kCallbackLog = 3,
  kCallbackIndexProgress = 4,
  kCallbackProgress5 = 5,
  kCallbackProgress6 = 6,
  kCallbackRestructureProgress = 7,
  kCallbackDataLost = 8,
  kCallbackStepProgress2 = 9,
  kCallbackLog2 = 10,
  kCallbackProgress15 = 15,
  kCallbackProgress16 = 16,
};

// The parameters of one request (or of a reply a server builds), each a run of little-endian
// bytes.
struct TCursorRequest {
  std::vector<std::vector<uint8_t>> params;

  TCursorRequest& U8(uint8_t v);
  TCursorRequest& U16(uint16_t v);
  TCursorRequest& U32(uint32_t v);
  TCursorRequest& Bytes(std::span<const uint8_t> bytes);
  TCursorRequest& Text(std::string_view text);
};
// The parameters of a reply.
using TCursorReply = std::vector<std::vector<uint8_t>>;

// Appends one parameter (its length, then its bytes) to a payload.
void AppendParam(std::vector<uint8_t>& payload, std::span<const uint8_t> param);
// Splits a payload into its parameters, which point into `payload`; false when a length runs past
// its end.
bool SplitParams(std::span<const uint8_t> payload, std::vector<std::span<const uint8_t>>& params);

// The text-index parameter block: the stop-word count (0xFFFFFFFF without a list) and the words,
// then the space and the include characters, each set as one text in ascending byte order.
void WriteTextIndexParams(TCursorRequest& request, const std::vector<std::string>* stopWords,
                          const TCharSet& spaceChars, const TCharSet& includeChars);
// Reads the block from reply parameter `at` on and moves `at` past it; false when it is
// incomplete. `hasList` tells whether a stop-word list was given.
bool ReadTextIndexParams(const TCursorReply& reply, size_t& at, bool& hasList,
                         std::vector<std::string>& stopWords, TCharSet& spaceChars, TCharSet& includeChars);

}  // namespace engine
