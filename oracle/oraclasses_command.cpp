// The command of the Oracle driver: statement text, parameters, execution, describe and fetch.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <set>

#include "dataset/dberror.h"
#include "oracle/oraclasses.h"
#include "oracle/oraobjects.h"
#include "oracle/oraparser.h"
#include "platform/bytes.h"
#include "platform/collation.h"
#include "platform/scopeguard.h"

namespace oracle {

using namespace dataaccess;

namespace {

// OCI external types.
constexpr uint16_t SQLT_CHR = 1, SQLT_NUM = 2, SQLT_INT = 3, SQLT_FLT = 4, SQLT_STR = 5, SQLT_VNU = 6,
                   SQLT_LNG = 8, SQLT_RID = 11, SQLT_DAT = 12, SQLT_BIN = 23, SQLT_LBI = 24, SQLT_AFC = 96,
                   SQLT_AVC = 97, SQLT_RDD = 104, SQLT_LAB = 106, SQLT_CLOB = 112, SQLT_BLOB = 113,
                   SQLT_BFILEE = 114, SQLT_CFILEE = 115, SQLT_RSET = 116, SQLT_TIMESTAMP = 187,
                   SQLT_TIMESTAMP_TZ = 188, SQLT_INTERVAL_YM = 189, SQLT_INTERVAL_DS = 190,
                   SQLT_TIMESTAMP_LTZ = 232, SQLT_CUR = 102;
// Old-style return codes: the library wants the next input or output piece of a LONG value.
constexpr sword kNextInputPiece = -3129, kNextOutputPiece = -3130, kWouldBlock = -3123;
// The character-set id of UTF-16 text.
constexpr ub2 kUtf16CharsetId = 1000;

bool isLobType(uint16_t dataType) {
  return dataType == dtOraBlob || dataType == dtOraClob;
}

// The bytes of an 8.0 or 8.1 ROWID descriptor's data.
constexpr size_t kRowidDescriptorSize = 13;

std::string upperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return text;
}

struct PieceWarnings {
  std::mutex lock;
  PieceWarningHandler handler;
};

PieceWarnings& pieceWarnings() {
  static PieceWarnings warnings;
  return warnings;
}

PieceWarningHandler pieceWarningHandler() {
  std::lock_guard<std::mutex> guard(pieceWarnings().lock);
  return pieceWarnings().handler;
}

bool isLongType(uint16_t dataType) {
  return dataType == dtMemo || dataType == dtBlob;
}

}  // namespace

void SetPieceWarningHandler(PieceWarningHandler handler) {
  std::lock_guard<std::mutex> guard(pieceWarnings().lock);
  pieceWarnings().handler = std::move(handler);
}

std::string CleanSQL(const std::string& text, std::vector<size_t>& positions) {
  size_t begin = 0, end = text.size();
  while (begin < end && uint8_t(text[begin]) <= ' ') ++begin;
  while (end > begin && uint8_t(text[end - 1]) <= ' ') --end;
  std::string clean;
  positions.clear();
  bool inString = false, lineComment = false, blockComment = false;
  for (size_t i = begin; i < end; ++i) {
    const char c = text[i];
    const char next = i + 1 < end ? text[i + 1] : '\0';
    if (!inString && c == '\r') {
      if (next != '\n') {
        clean += '\n';
        positions.push_back(i);
        lineComment = false;
      }
      continue;
    }
    if (lineComment) {
      if (c == '\n') lineComment = false;
    } else if (blockComment) {
      if (c == '*' && next == '/') {
        clean += "*/";
        positions.push_back(i);
        positions.push_back(i + 1);
        ++i;
        blockComment = false;
        continue;
      }
    } else if (c == '\'') {
      inString = !inString;
    } else if (!inString && c == '-' && next == '-') {
      lineComment = true;
    } else if (!inString && c == '/' && next == '*') {
      blockComment = true;
      clean += "/*";
      positions.push_back(i);
      positions.push_back(i + 1);
      ++i;
      continue;
    }
    clean += c;
    positions.push_back(i);
  }
  positions.push_back(end);
  return clean;
}

std::vector<std::string> ScanParamNames(const std::string& text, std::vector<bool>& quoted) {
  std::vector<std::string> names;
  quoted.clear();
  std::set<std::string> seen;
  TOraParser parser(text);
  parser.OmitBlank = true;
  parser.OmitComment = true;
  std::string lexeme;
  int code = parser.GetNext(lexeme);
  while (code != lcEnd && code != lxTrigger) {
    if (code == lxColon) {
      std::string name;
      const int nextCode = parser.GetNext(name);
      if (nextCode == lcIdent || nextCode == lcNumber || nextCode > 7) {
        const bool isQuoted = name.size() >= 2 && name.front() == '"' && name.back() == '"';
        if (isQuoted) name = name.substr(1, name.size() - 2);
        if (seen.insert(upperAscii(name)).second) {
          names.push_back(name);
          quoted.push_back(isQuoted);
        }
        code = parser.GetNext(lexeme);
        continue;
      }
      code = nextCode;
      continue;
    }
    code = parser.GetNext(lexeme);
  }
  return names;
}

TOCICommand::TOCICommand() : cursor_(new TOraCursor()), ownCursor_(cursor_), ociCallStyle_(OCICallStyle) {
  ownCursor_->AddRef();
}

TOCICommand::~TOCICommand() {
  if (GetConnection() != nullptr) {
    if (worker_ != 0) conn().StopThread(worker_, true);
    conn().DetachCommand(this);
  }
  SetCursor(nullptr);
  if (cursor_->State != 0) {
    try {
      Unprepare();
    } catch (const std::exception&) {
      // Freeing the handle below is what matters; the destructor cannot report.
    }
  }
  cursor_->Release();
  ownCursor_->Release();
}

void TOCICommand::SetCursor(TOraCursor* value) {
  TOraCursor* next = value != nullptr ? value : ownCursor_;
  if (next == cursor_) return;
  next->AddRef();
  cursor_->Release();
  cursor_ = next;
  defined_.clear();
  fetchedRows_ = 0;
}

std::unique_ptr<TParamDesc> TOCICommand::CreateParamDesc() {
  return std::make_unique<TOraParamDesc>();
}

TOCIConnection& TOCICommand::conn() const {
  return *static_cast<TOCIConnection*>(GetConnection());
}

void TOCICommand::checkSession() const {
  if (GetConnection() == nullptr) RaiseError(SSessionNotDefined);
  if (!GetConnection()->GetConnected()) RaiseError(SSessionNotConnected);
}

void TOCICommand::checkActive() const {
  if (cursor_->State == 0) RaiseError(SCursorNotOpened);
}

void TOCICommand::check(sword status) {
  if (status != OCI_SUCCESS) conn().Check(status, ociCallStyle_, !(nonBlocking_ && GetExecuting()));
}

namespace {

// A value the user gave that went with another Oracle home's client reads as null; sent, it would
// put a null where the user had a value.
void refuseLost(TOraParamDesc& param, const DescriptorValue& value) {
  const uint8_t direction = param.GetParamType();
  if (direction == 2 || direction == 4 || !value.Lost()) return;
  RaiseError("The value of parameter " + param.GetName() +
             " was lost with the client of another Oracle home: set it again");
}

}  // namespace

void* TOCICommand::statementOf(TOraCursor& cursor) {
  return cursor.GetStatement([this](sword status) { check(status); });
}

void TOCICommand::SetConnection(TQvConnection* value) {
  if (value == GetConnection()) return;
  if (cursor_->State != 0) Unprepare();
  if (GetConnection() != nullptr) {
    if (worker_ != 0) conn().StopThread(worker_, true);
    worker_ = 0;
    conn().DetachCommand(this);
  }
  TQvCommand::SetConnection(value);
  if (value != nullptr) conn().AttachCommand(this);
}

void TOCICommand::connectionGone() {
  if (beforeConnectionGone_) beforeConnectionGone_();
  // The connection has stopped the worker already; its end will not be delivered.
  worker_ = 0;
  SetExecuting(false);
  if (cursor_->State != 0) Unprepare();
  conn().DetachCommand(this);
  TQvCommand::SetConnection(nullptr);
}

void TOCICommand::SetSQL(const std::string& value) {
  if (value == GetSQL()) return;
  if (cursor_->State != 0) Unprepare();
  TQvCommand::SetSQL(value);
  if (autoParse_) scanParams();
}

void TOCICommand::scanParams() {
  Params.Clear();
  std::vector<bool> quoted;
  const std::vector<std::string> names = ScanParamNames(GetSQL(), quoted);
  for (size_t i = 0; i < names.size(); ++i) {
    TOraParamDesc& param = static_cast<TOraParamDesc&>(AddParam());
    param.SetName(names[i]);
    param.Quoted = quoted[i];
  }
}

void TOCICommand::SetCursorState(int value) {
  cursor_->State = uint8_t(value);
}

void TOCICommand::Prepare() {
  checkSession();
  if (cursor_->State != 0) return;
  ociCallStyle_ = conn().GetOCICallStyleCommand();
  if (ociCallStyle_ != OCI80 && ociCallStyle_ != OCI73) RaiseError("OCI is not inizialized");
  cursor_->SetOCICallStyle(ociCallStyle_);
  cursor_->hEnv = conn().GetEnvironment();
  cursor_->hError = conn().GetErrorHandle();
  fetchedRows_ = 0;
  errorOffset_ = 0;
  cleanSQL_ = CleanSQL(GetSQL(), positionMap_);
  conn().BusyWait();
  platform::ScopeExit release([this] { conn().Release(); });
  defined_.clear();
  if (ociCallStyle_ == OCI73) {
    uint8_t* area = cursor_->CursorArea();
    check(oopen(area, conn().GetLDA(), nullptr, -1, -1, nullptr, -1));
    cursor_->State = 1;
    const sword status =
        oparse(area, reinterpret_cast<const OraText*>(cleanSQL_.c_str()), sb4(cleanSQL_.size() + 1), 0, 2);
    errorOffset_ = platform::getValue<uint16_t>(area + cursorarea::kParseErrorOffset);
    check(status);
    if ((area[cursorarea::kWarning] & 0x21) == 0x21) conn().lastError_ = 24344;
    sqlType_ = platform::getValue<uint16_t>(area + cursorarea::kFunctionType);
    cursor_->State = 3;
    return;
  }
  void* statement = statementOf(*cursor_);
  check(OCIStmtPrepare(statement, conn().GetErrorHandle(),
                       reinterpret_cast<const OraText*>(cleanSQL_.c_str()), ub4(cleanSQL_.size() + 1),
                       OCI_NTV_SYNTAX, 0));
  ub2 type = 0;
  check(OCIAttrGet(statement, OCI_HTYPE_STMT, &type, nullptr, OCI_ATTR_STMT_TYPE, conn().GetErrorHandle()));
  switch (type) {
    case 1:
      sqlType_ = 4;
      break;
    case 2:
      sqlType_ = 5;
      break;
    case 3:
      sqlType_ = 9;
      break;
    case 4:
      sqlType_ = 3;
      break;
    case 8:
    case 9:
      sqlType_ = 34;
      break;
    case 14:
    case 15:
      sqlType_ = 27;
      break;
    default:
      sqlType_ = 0;
  }
  cursor_->State = 3;
}

void TOCICommand::Unprepare() {
  platform::ScopeExit free([this] {
    cursor_->FreeCursor();
    cursor_->State = 0;
  });
  // A cursor another owner holds stays open for it.
  if (cursor_->OCICallStyle == OCI73 && cursor_->State != 0 && cursor_->RefCount() <= 2 &&
      GetConnection() != nullptr && GetConnection()->GetConnected())
    check(oclose(cursor_->CursorArea()));
}

uint16_t TOCICommand::GetOraType(uint16_t dataType, uint16_t subType) const {
  if (ociCallStyle_ == OCI73) {
    switch (dataType) {
      case dtString:
      case dtExtString:
        return SQLT_STR;
      case dtInteger:
      case dtBoolean:
      case dtInt64:
        return SQLT_INT;
      case dtFloat:
        return SQLT_FLT;
      case dtDateTime:
        return SQLT_DAT;
      case dtBlob:
        return SQLT_LBI;
      case dtMemo:
        return subType == 1 ? SQLT_STR : SQLT_LNG;
      case dtVarBytes:
      case dtExtVarBytes:
        return SQLT_BIN;
      case dtRowId:
        return SQLT_RID;
      case dtCursor:
        return SQLT_CUR;
      case dtFixedChar:
        return SQLT_AVC;
      default:
        RaiseError("Data type is not supported.");
    }
  }
  const bool oci90 = (PossibleOCICallStyles & osOCI90) != 0;
  switch (dataType) {
    case dtString:
    case dtExtString:
    case dtWideString:
    case dtExtWideString:
      return SQLT_STR;
    case dtInteger:
    case dtBoolean:
    case dtInt64:
      return SQLT_INT;
    case dtBFile:
      return SQLT_BFILEE;
    case dtCFile:
      return SQLT_CFILEE;
    case dtLabel:
      return SQLT_LAB;
    case dtNumber:
      return SQLT_VNU;
    case dtFixedWideChar:
      return SQLT_AVC;
    case dtTimeStamp:
    case dtTimeStampTZ:
    case dtTimeStampLTZ:
    case dtIntervalYM:
    case dtIntervalDS: {
      if (!oci90) RaiseError("Data type is not supported.");
      static constexpr uint16_t types[] = {SQLT_TIMESTAMP, SQLT_TIMESTAMP_TZ, SQLT_TIMESTAMP_LTZ,
                                           SQLT_INTERVAL_YM, SQLT_INTERVAL_DS};
      return types[dataType - dtTimeStamp];
    }
    case dtFloat:
      return SQLT_FLT;
    case dtDateTime:
      return SQLT_DAT;
    case dtBlob:
      return SQLT_LBI;
    case dtOraClob:
      return SQLT_CLOB;
    case dtOraBlob:
      return SQLT_BLOB;
    case dtMemo:
      return subType == 1 || subType == 25 ? SQLT_STR : SQLT_LNG;
    case dtVarBytes:
    case dtExtVarBytes:
      return SQLT_BIN;
    case dtRowId:
      return SQLT_RDD;
    case dtCursor:
      return SQLT_RSET;
    case dtFixedChar:
      return SQLT_AVC;
    case dtRawChar:
      return SQLT_CHR;
    default:
      RaiseError("Data type is not supported.");
  }
}

void TOCICommand::bindParam(TOraParamDesc& param) {
  const uint16_t dataType = param.GetDataType();
  if ((dataType >= dataaccess::dtObject && dataType <= dataaccess::dtTable) || dataType == dtXML)
    return bindObjectParam(param);
  uint16_t type;
  if (dataType == dtUnknown) {
    if (!param.GetNull()) RaiseError("Unknown type of parameter " + param.GetName() + ".");
    type = SQLT_CHR;
  } else {
    type = GetOraType(dataType, 0);
  }
  param.SyncIndicator();
  const std::string name = param.Quoted ? "\":" + param.GetName() + "\"" : ":" + param.GetName();
  uint8_t* buffer = param.Buffer();
  int32_t size = param.ElementSize();
  void* indicator = param.Indicators();
  uint16_t* lengths = nullptr;
  const bool bytes = dataType == dtBytes || dataType == dtVarBytes;
  if (bytes) {
    // The value follows its length word, which tells the library each element's real length.
    buffer += 2;
    size -= 2;
    lengths = param.Lengths();
  }
  // A value that only goes in is bound no longer than it is; in a query an unknown direction
  // counts as in.
  const uint8_t direction = param.GetParamType();
  const bool passedIn = direction == 1 || (sqlType_ == 4 && (direction == 0 || direction == 3));
  const bool single = !param.GetTable() && iters_ == 1;
  if (!param.GetTable()) {
    const int32_t longest = conn().MaxStringSize();
    const bool text = dataType == dtString || dataType == dtFixedChar;
    const bool wideText = dataType == dtWideString || dataType == dtFixedWideChar;
    // The longest text in bytes that the bound elements hold.
    int32_t given = 0;
    if (text || wideText) {
      const int elements = single ? 1 : std::max(1, std::min(param.GetLength(), iters_));
      for (int i = 1; i <= elements; ++i) given = std::max(given, param.ItemLength(i));
    }
    if (text) {
      if (conn().GetCharLength() > 1 && longest > 0 && size > longest && given < longest) {
        // More bytes than the server takes in characters of this length would be refused. A value
        // that is longer goes whole, for the server to take or refuse: a cut here would lose its
        // end without a word.
        size = longest;
        buffer[size - 1] = 0;
      } else if (single && passedIn && param.Lengths()[0] > 0 && param.Lengths()[0] + 1 < size) {
        size = param.Lengths()[0] + 1;
        buffer[size - 1] = 0;
      }
    } else if (wideText) {
      if (single && passedIn && param.Lengths()[0] > 0 && 2 * param.Lengths()[0] + 2 < size) {
        size = 2 * param.Lengths()[0] + 2;
        buffer[size - 1] = buffer[size - 2] = 0;
      }
      if (longest > 0 && size > longest + 1 && given + 2 <= (longest + 1) / 2 * 2) {
        size = (longest + 1) / 2 * 2;
        buffer[size - 1] = buffer[size - 2] = 0;
      }
    }
  }
  if (ociCallStyle_ == OCI73) return bindParam7(param, type, buffer, size, lengths);
  switch (dataType) {
    case dtOraBlob:
    case dtOraClob: {
      TOraLob& lob = param.GetAsLob();
      lob.SetSvcCtx(conn().GetSvcCtx());
      lob.SetTextCharset(conn());
      buffer = reinterpret_cast<uint8_t*>(lob.LocatorPtr());
      size = sizeof(void*);
      break;
    }
    case dtBFile:
    case dtCFile: {
      TOraFile& file = param.GetAsFile();
      file.SetSvcCtx(conn().GetSvcCtx());
      buffer = reinterpret_cast<uint8_t*>(file.LocatorPtr());
      size = sizeof(void*);
      break;
    }
    case dtTimeStamp:
    case dtTimeStampTZ:
    case dtTimeStampLTZ: {
      TOraTimeStamp& value = param.GetAsTimeStamp();
      value.OCIDateTime();
      refuseLost(param, value);
      buffer = reinterpret_cast<uint8_t*>(value.OCIDateTimePtr());
      size = sizeof(void*);
      indicator = param.BindIndicator();
      break;
    }
    case dtIntervalYM:
    case dtIntervalDS: {
      TOraInterval& value = param.GetAsInterval();
      value.OCIInterval();
      refuseLost(param, value);
      buffer = reinterpret_cast<uint8_t*>(value.OCIIntervalPtr());
      size = sizeof(void*);
      indicator = param.BindIndicator();
      break;
    }
    case dtNumber:
      buffer = param.GetAsNumber().OCINumberPtr();
      size = 22;
      indicator = param.BindIndicator();
      break;
    default:
      break;
  }
  const bool holdsObject = param.GetObject() != nullptr;
  if (holdsObject && (param.GetTable() || iters_ != 1)) RaiseError(STypeNotInDMLArray);
  void* statement = statementOf(*cursor_);
  void* error = conn().GetErrorHandle();
  void* bind = nullptr;
  const std::string placeholder = param.Quoted ? ":\"" + param.GetName() + "\"" : name;
  const auto* nameText = reinterpret_cast<const OraText*>(placeholder.data());
  const sb4 nameLength = sb4(placeholder.size());
  const bool isLong = param.GetDataType() == dtMemo || param.GetDataType() == dtBlob;
  if (isLong && (param.GetTable() || iters_ != 1)) RaiseError(STypeNotInDMLArray);
  if (param.GetDataType() == dtCursor) {
    // The library opens the REF CURSOR on the statement handle it finds in the value.
    TOraCursor& refCursor = param.GetAsCursor();
    refCursor.SetOCICallStyle(ociCallStyle_);
    refCursor.hEnv = conn().GetEnvironment();
    refCursor.hError = error;
    void* handle = statementOf(refCursor);
    std::memcpy(param.Buffer(), &handle, sizeof handle);
    param.SetIndicator(1, 0);
    check(OCIBindByName(statement, &bind, error, nameText, nameLength, param.Buffer(), sizeof handle, type,
                        param.Indicators(), nullptr, nullptr, 0, nullptr, 0));
  } else if (isLong) {
    // The value goes piece by piece while the statement runs (sendLongPieces).
    // An output value may come back longer than anything sent: the bind allows the most.
    const bool output = param.GetParamType() == 2 || param.GetParamType() == 3;
    const sb4 longest = output ? sb4(2147483647) : sb4(std::max<size_t>(param.LongValue.size(), 1));
    check(OCIBindByName(statement, &bind, error, nameText, nameLength, nullptr, longest, type,
                        param.Indicators(), nullptr, nullptr, 0, nullptr, OCI_DATA_AT_EXEC));
    param.BindHandle = bind;
  } else if (!param.GetTable() && iters_ == 1) {
    check(OCIBindByName(statement, &bind, error, nameText, nameLength, buffer, size, type, indicator, lengths,
                        nullptr, 0, nullptr, 0));
  } else if (!param.GetTable()) {
    if (param.GetLength() < iters_) {
      char text[256];
      std::snprintf(text, sizeof text, SArrayParam, param.GetName().c_str(), iters_);
      RaiseError(text);
    }
    // Every element is bound with the full element size as its stride and its own length, so
    // no element is cut to another's length.
    check(OCIBindByName(statement, &bind, error, nameText, nameLength, buffer, size, type, param.Indicators(),
                        lengths, nullptr, 0, nullptr, 0));
    check(OCIBindArrayOfStruct(bind, error, ub4(param.ElementSize()), 2, lengths != nullptr ? 2 : 0, 0));
  } else {
    ub4 current = ub4(param.GetLength());
    check(OCIBindByName(statement, &bind, error, nameText, nameLength, buffer, size, type, param.Indicators(),
                        lengths, nullptr, ub4(param.GetLength()), &current, 0));
    check(OCIBindArrayOfStruct(bind, error, ub4(param.ElementSize()), 2, lengths != nullptr ? 2 : 0, 0));
  }
  ub2 charsetId = 0;
  if (dataType == dtString || dataType == dtFixedChar || dataType == dtMemo || dataType == dtBlob)
    charsetId = conn().GetCharsetId();
  else if (dataType == dtWideString || dataType == dtFixedWideChar)
    charsetId = kUtf16CharsetId;
  if (charsetId != 0) check(OCIAttrSet(bind, OCI_HTYPE_BIND, &charsetId, 0, 31, error));
}

void TOCICommand::bindObjectParam(TOraParamDesc& param) {
  if (ociCallStyle_ == OCI73 || !ObjectsEnabled) RaiseError("Data type is not supported.");
  if (param.GetTable() || iters_ != 1) RaiseError(STypeNotInDMLArray);
  const bool xmlType = param.GetDataType() == dtXML;
  if (xmlType && (PossibleOCICallStyles & osOCI90) == 0) RaiseError("Data type is not supported.");
  auto* object = xmlType
                     ? &param.GetAsXML()
                     : dynamic_cast<TOraObject*>(static_cast<dataaccess::TSharedObject*>(param.GetObject()));
  if (object == nullptr) RaiseError("Type of object must be defined");
  object->SetSvcCtx(conn().GetSvcCtx());
  // An output value that went with another Oracle home's client is not sent: the statement only
  // replaces it. An input one is refused below.
  const uint8_t direction = param.GetParamType();
  if ((direction == 2 || direction == 4) && object->Lost()) object->FreeObject();
  // An XMLTYPE value takes its type here, and its text becomes an instance.
  if (xmlType) object->AllocObject();
  object->CheckType();
  object->CheckNotLost();
  // A REF has no instance to allocate, which would describe a type kept across another Oracle
  // home again: the bind does it.
  object->OraType()->DescribeIfStale(object->SvcCtx());
  auto* ref = dynamic_cast<TOraRef*>(object);
  // The library reads the value from the instance and puts a result back into it.
  if (ref == nullptr && object->Instance() == nullptr) object->AllocObject();
  void* error = conn().GetErrorHandle();
  void* bind = nullptr;
  const std::string placeholder = param.Quoted ? ":\"" + param.GetName() + "\"" : ":" + param.GetName();
  check(OCIBindByName(statementOf(*cursor_), &bind, error,
                      reinterpret_cast<const OraText*>(placeholder.data()), sb4(placeholder.size()), nullptr,
                      0, ref != nullptr ? 110 : 108, nullptr, nullptr, nullptr, 0, nullptr, 0));
  using BindObject = sword (*)(void*, void*, const void*, void**, ub4*, void**, ub4*);
  const auto bindObject = reinterpret_cast<BindObject>(reinterpret_cast<void*>(OCIBindObject));
  check(bindObject(bind, error, object->OraType()->TDO(),
                   ref != nullptr ? ref->RefPtr() : object->InstancePtr(), nullptr,
                   ref != nullptr ? nullptr : object->IndicatorPtr(), nullptr));
  // A value the statement may set is read again from the instance when it is asked for.
  if (xmlType && param.GetParamType() != 1) static_cast<TOraXML*>(object)->MarkNeedsReading();
}

void TOCICommand::bindParam7(TOraParamDesc& param, uint16_t type, uint8_t* buffer, int32_t size,
                             uint16_t* lengths) {
  uint8_t* area = cursor_->CursorArea();
  const std::string placeholder = param.Quoted ? ":\"" + param.GetName() + "\"" : ":" + param.GetName();
  const auto* name = reinterpret_cast<const OraText*>(placeholder.c_str());
  auto* indicator = static_cast<sb2*>(param.Indicators());
  const uint16_t dataType = param.GetDataType();
  const bool isLong = dataType == dtMemo || dataType == dtBlob;
  if (isLong && (param.GetTable() || iters_ != 1)) RaiseError(STypeNotInDMLArray);
  if (dataType == dtCursor) {
    // The library opens the cursor into the parameter's own cursor data area.
    TOraCursor& refCursor = param.GetAsCursor();
    refCursor.SetOCICallStyle(OCI73);
    param.SetIndicator(1, 0);
    check(obndrv(area, name, -1, refCursor.CursorArea(), sword(cursorarea::kSize), type, -1, indicator,
                 nullptr, -1, -1));
  } else if (param.GetTable()) {
    param.BoundElements = ub4(param.GetLength());
    check(obindps(area, 1, name, -1, buffer, size, type, 0, indicator, lengths, nullptr, param.ElementSize(),
                  2, lengths != nullptr ? 2 : 0, 0, ub4(param.GetLength()), &param.BoundElements, nullptr, 0,
                  0));
  } else if (isLong) {
    // The value goes piece by piece while the statement runs (sendLongPieces7).
    // The parameter itself is the context the library names when it asks for a piece.
    check(obindps(area, 0, name, -1, reinterpret_cast<ub1*>(&param), 2147483647, type, 0, indicator, nullptr,
                  nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0));
  } else {
    if (iters_ != 1 && param.GetLength() < iters_) {
      char text[256];
      std::snprintf(text, sizeof text, SArrayParam, param.GetName().c_str(), iters_);
      RaiseError(text);
    }
    if (lengths != nullptr)
      check(obndra(area, name, -1, buffer, size, type, -1, indicator, lengths, nullptr, 0, nullptr, nullptr,
                   -1, -1));
    else
      check(obndrv(area, name, -1, buffer, size, type, -1, indicator, nullptr, -1, -1));
  }
}

void TOCICommand::bindParams() {
  conn().BusyWait();
  platform::ScopeExit release([this] { conn().Release(); });
  for (int i = 0; i < GetParamCount(); ++i) bindParam(Param(i));
  cursor_->State = 4;
}

void TOCICommand::Execute(int iters) {
  if (cursor_->State == 5) return;
  iters_ = iters;
  SetExecuting(true);
  if (!nonBlocking_) {
    try {
      doExecute();
    } catch (...) {
      endExecute(std::current_exception());
      throw;
    }
    endExecute(nullptr);
    return;
  }
  if (!conn().GetThreadSafety()) {
    std::exception_ptr error = std::make_exception_ptr(std::runtime_error(SNeedThreadSafety));
    SetExecuting(false);
    DoAfterExecute(false);
    std::rethrow_exception(error);
  }
  if (worker_ != 0) AssertionFailed("a worker runs", __FILE__, __LINE__);
  worker_ =
      conn().RunThread([this] { doExecute(); }, [this](std::exception_ptr error) { endExecute(error); });
}

void TOCICommand::doExecute() {
  // A statement prepared under a client unloaded since went with it: prepared again, it stays
  // prepared as its owner knows it.
  if (OwnCursor() && GetPrepared() && cursor_->StatementLost()) {
    Unprepare();
    Prepare();
  }
  const bool wasPrepared = GetPrepared();
  if (!wasPrepared) Prepare();
  if (sqlType_ != 27) bindParams();
  platform::ScopeExit done([this, wasPrepared] {
    if (!wasPrepared) Unprepare();
    iters_ = 1;
  });
  internalExecute();
}

void TOCICommand::endExecute(std::exception_ptr error) {
  worker_ = 0;
  SetExecuting(false);
  DoAfterExecute(error == nullptr);
  if (!error || !nonBlocking_) return;
  // A worker's failure reaches the error handler here, on the window thread.
  try {
    std::rethrow_exception(error);
  } catch (EOraError& oraError) {
    bool fail = true;
    if (conn().onError_) conn().onError_(oraError, fail);
    if (fail) throw;
  }
}

sword TOCICommand::internalExecute() {
  if (ociCallStyle_ == OCI73) return internalExecute7();
  bool hasLob = false;
  for (int i = 0; i < GetParamCount(); ++i) hasLob = hasLob || isLobType(Param(i).GetDataType());
  const bool autoCommit = sqlType_ != 4 && GetAutoCommit() && conn().GetAutoCommit();
  // LOB values are written or read after the statement: its commit waits for them.
  const bool commitOnSuccess = autoCommit && !hasLob;
  const ub4 mode = (commitOnSuccess ? OCI_COMMIT_ON_SUCCESS : 0) |
                   (cursor_->Scrollable && sqlType_ == 4 ? OCI_STMT_SCROLLABLE_READONLY : 0);
  const uint8_t previous = cursor_->State;
  cursor_->State = 5;
  // A run that raises leaves the statement as it was: still executing, it would ignore the next
  // Execute.
  platform::ScopeExit restore([this, previous] {
    if (cursor_->State == 5) cursor_->State = previous;
  });
  conn().BusyWait();
  platform::ScopeExit release([this] {
    conn().Release();
    fetchedRows_ = 0;
  });
  void* statement = statementOf(*cursor_);
  void* error = conn().GetErrorHandle();
  sword status = OCIStmtExecute(conn().GetSvcCtx(), statement, error, sqlType_ == 4 ? 0 : ub4(iters_), 0,
                                nullptr, nullptr, mode);
  if (status == OCI_NEED_DATA) sendLongPieces(status, mode);
  if (status != OCI_SUCCESS && status != OCI_NEED_DATA) {
    cursor_->State = previous;
    // Read after the error text is taken: the call would replace the handle's error record.
    platform::ScopeExit offset([this, statement, error] {
      if (conn().GetConnected() && (PossibleOCICallStyles & osOCI81) != 0)
        OCIAttrGet(statement, OCI_HTYPE_STMT, &errorOffset_, nullptr, 129, error);
    });
    check(status);
  }
  if (sqlType_ == 0) check(OCIAttrGet(statement, OCI_HTYPE_STMT, &sqlType_, nullptr, 10, error));
  ub4 rows = 0;
  check(OCIAttrGet(statement, OCI_HTYPE_STMT, &rows, nullptr, OCI_ATTR_ROW_COUNT, error));
  rowsProcessed_ = int32_t(rows);
  cursor_->State = 6;
  for (int i = 0; i < GetParamCount(); ++i)
    if (Param(i).GetDataType() == dtCursor) Param(i).GetAsCursor().State = 6;
  rowId_ = storeRowId_ ? GetRowId() : std::string();
  if (hasLob && rowsProcessed_ > 0) exchangeLobs();
  if (status == OCI_SUCCESS && autoCommit && !commitOnSuccess) conn().Commit();
  checkOutputTruncation();
  return status;
}

void TOCICommand::checkOutputTruncation() {
  for (int i = 0; i < GetParamCount(); ++i) {
    TOraParamDesc& param = Param(i);
    const uint16_t type = param.GetDataType();
    const uint8_t direction = param.GetParamType();
    if ((direction != 2 && direction != 3) ||
        (type != dtString && type != dtFixedChar && type != dtWideString && type != dtFixedWideChar &&
         type != dtBytes && type != dtVarBytes))
      continue;
    const int elements =
        param.GetTable() ? param.GetLength() : std::max(1, std::min(param.GetLength(), iters_));
    // The library gives a cut value's whole length as its indicator (-2 when even that is too long).
    for (int e = 1; e <= elements; ++e)
      if (param.GetIndicator(e) > 0 || param.GetIndicator(e) < -1)
        RaiseError("The value of parameter " + param.GetName() + " was truncated");
  }
}

sword TOCICommand::internalExecute7() {
  const bool autoCommit = sqlType_ != 4 && GetAutoCommit() && conn().GetAutoCommit();
  const uint8_t previous = cursor_->State;
  cursor_->State = 5;
  // A run that raises leaves the statement as it was: still executing, it would ignore the next
  // Execute.
  platform::ScopeExit restore([this, previous] {
    if (cursor_->State == 5) cursor_->State = previous;
  });
  conn().BusyWait();
  platform::ScopeExit release([this] {
    conn().Release();
    fetchedRows_ = 0;
  });
  uint8_t* area = cursor_->CursorArea();
  sword status = oexn(area, sword(iters_), 0);
  if (status == kNextInputPiece || status == kNextOutputPiece) sendLongPieces7(status);
  if (status != 0 && status != kWouldBlock) {
    cursor_->State = previous;
    errorOffset_ = platform::getValue<uint16_t>(area + cursorarea::kParseErrorOffset);
    check(status);
  }
  rowsProcessed_ = int32_t(platform::getValue<uint32_t>(area + cursorarea::kRowsProcessed));
  cursor_->State = 6;
  for (int i = 0; i < GetParamCount(); ++i)
    if (Param(i).GetDataType() == dtCursor) Param(i).GetAsCursor().State = 6;
  rowId_ = storeRowId_ ? GetRowId() : std::string();
  if (status == 0 && autoCommit) conn().Commit();
  return status;
}

void TOCICommand::sendLongPieces7(sword& status) {
  static constexpr size_t kPieceSize = 32768, kScratchSize = 100;
  uint8_t* area = cursor_->CursorArea();
  const PieceWarningHandler handler = pieceWarningHandler();
  std::set<const char*> warned;
  // `cuts`: the mismatch loses a value, so without a handler the statement is broken off.
  const auto warn = [&](const char* message, bool cuts) {
    if (!handler) {
      if (!cuts) return;
      obreak(conn().GetLDA());
      // The library may still hold part of a value: the next run starts on a fresh cursor.
      Unprepare();
      RaiseError(message);
    }
    if (warned.insert(message).second) handler(message);
  };
  // The parameter whose value the library asks for or gives: the context it was bound with names
  // it, so a value never goes to another parameter's place.
  struct Request {
    TOraParamDesc* param = nullptr;
    ub1 piece = 0;
  };
  const auto nextRequest = [this, area] {
    Request request;
    void* context = nullptr;
    ub4 iteration = 0, index = 0;
    check(ogetpi(area, &request.piece, &context, &iteration, &index));
    for (int i = 0; i < GetParamCount() && request.param == nullptr; ++i)
      if (&Param(i) == context && isLongType(Param(i).GetDataType())) request.param = &Param(i);
    return request;
  };
  const bool exchanged = status == kNextInputPiece || status == kNextOutputPiece;

  std::map<TOraParamDesc*, size_t> sent;
  std::set<TOraParamDesc*> finished;
  while (status == kNextInputPiece) {
    const Request request = nextRequest();
    const char* data = nullptr;
    size_t length = 0;
    ub1 piece = 3;
    if (request.param == nullptr || finished.count(request.param) != 0) {
      // A value beyond the parameters: the library stores an empty one.
      warn(SNotEnoughInputParams, true);
    } else if (request.param->GetParamType() == 2) {
      // The library asks every value of a block for its input; an output value has none.
      finished.insert(request.param);
    } else {
      const std::string& value = request.param->LongValue;
      const size_t offset = sent[request.param];
      length = std::min(kPieceSize, value.size() - offset);
      data = value.data() + offset;
      const bool last = offset + length >= value.size();
      if (!last) piece = request.piece;
      sent[request.param] = offset + length;
      if (last) finished.insert(request.param);
    }
    ub4 pieceLength = ub4(length);
    check(osetpi(area, piece, const_cast<char*>(data), &pieceLength));
    status = oexn(area, sword(iters_), 0);
  }
  const bool done = status == 0 || status == kNextOutputPiece;
  for (int i = 0; i < GetParamCount() && done; ++i) {
    TOraParamDesc& param = Param(i);
    if (isLongType(param.GetDataType()) && param.GetParamType() != 2 && !param.LongValue.empty() &&
        finished.count(&param) == 0)
      warn(STooManyInputParams, true);
  }

  std::set<TOraParamDesc*> received;
  std::vector<char> buffer;
  while (status == kNextOutputPiece) {
    const Request request = nextRequest();
    const uint8_t direction = request.param != nullptr ? request.param->GetParamType() : 0;
    const bool wanted = direction == 2 || direction == 3;
    // A value beyond the output parameters goes into a scratch buffer and is dropped.
    if (!wanted) warn(SNotEnoughOutputParams, true);
    if (wanted && received.insert(request.param).second) request.param->LongValue.clear();
    const size_t size = wanted ? kPieceSize : kScratchSize;
    buffer.assign(size, 0);
    ub4 length = ub4(size);
    check(osetpi(area, wanted ? request.piece : 3, buffer.data(), &length));
    status = oexn(area, sword(iters_), 0);
    if (wanted) request.param->LongValue.append(buffer.data(), std::min<size_t>(length, size));
  }
  for (TOraParamDesc* param : received) param->SetItemNull(1, param->LongValue.empty());
  for (int i = 0; i < GetParamCount() && status == 0; ++i) {
    TOraParamDesc& param = Param(i);
    const uint8_t direction = param.GetParamType();
    if (!isLongType(param.GetDataType()) || (direction != 2 && direction != 3) || received.count(&param) != 0)
      continue;
    // Nothing came back: an output value is none, rather than the one it held before; an
    // input/output one keeps its input, as the block left it.
    if (direction == 2) param.SetNull(true);
    warn(STooManyOutputParams, false);
  }
  if (exchanged && status == 0) {
    ub4 none = 0;
    osetpi(area, 3, nullptr, &none);  // ends the exchange; the statement's status stands
  }
}

void TOCICommand::exchangeLobs() {
  for (int i = 0; i < GetParamCount(); ++i) {
    TOraParamDesc& param = Param(i);
    if (!isLobType(param.GetDataType())) continue;
    TOraLob& lob = param.GetAsLob();
    const uint8_t direction = param.GetParamType();
    if (direction != 1 && direction != 2) RaiseError(SLobParamDirection);
    // An input value was written into the pieces before; an output value is read unless LOBs are
    // read when asked.
    if (cacheLobs_ || direction == 1) lob.SetCached(true);
    if (!lob.GetCached() || param.GetNull()) continue;
    if (direction == 1)
      lob.WriteLob();
    else
      lob.ReadLob();
  }
}

void TOCICommand::sendLongPieces(sword& status, ub4 mode) {
  static constexpr size_t kPieceSize = 32768;
  constexpr ub1 kParamOut = 2;
  void* statement = statementOf(*cursor_);
  void* error = conn().GetErrorHandle();
  // Input values go out piece by piece; an output value comes back into a fresh piece buffer at
  // each request, taken over once the library has filled it (at the next request or the end).
  std::map<TOraParamDesc*, size_t> sent;
  std::set<TOraParamDesc*> finished, receiving;
  TOraParamDesc* sending = nullptr;   // an input value sent in part
  TOraParamDesc* previous = nullptr;  // the input value of the previous request
  struct Incoming {
    TOraParamDesc* param = nullptr;
    std::vector<char> buffer;
    ub4 length = 0;
  } incoming;
  const auto takeIncoming = [&incoming] {
    if (incoming.param == nullptr) return;
    incoming.param->LongValue.append(incoming.buffer.data(), std::min<size_t>(incoming.length, kPieceSize));
    incoming.param = nullptr;
  };
  const auto cancel = [this, error](const char* message) {
    OCIBreak(conn().GetSvcCtx(), error);
    RaiseError(message);
  };
  while (status == OCI_NEED_DATA) {
    void* handle = nullptr;
    ub4 type = 0, iteration = 0, index = 0;
    ub1 direction = 0, piece = 0;
    check(OCIStmtGetPieceInfo(statement, error, &handle, &type, &direction, &iteration, &index, &piece));
    takeIncoming();
    TOraParamDesc* param = nullptr;
    for (int i = 0; i < GetParamCount() && param == nullptr; ++i)
      if (Param(i).BindHandle == handle) param = &Param(i);
    if (param == nullptr) cancel(SNotEnoughInputParams);
    if (direction == kParamOut) {
      if (receiving.insert(param).second) param->LongValue.clear();
      incoming.param = param;
      incoming.buffer.assign(kPieceSize, 0);
      incoming.length = ub4(kPieceSize);
      check(OCIStmtSetPieceInfo(handle, type, error, incoming.buffer.data(), &incoming.length, piece,
                                param->Indicators(), nullptr));
    } else {
      // A request this command cannot answer whole would store a cut value: the statement is
      // cancelled instead.
      if (sending != nullptr && sending != param) cancel(STooManyInputParams);
      if (finished.count(param) != 0) cancel(previous == param ? SNotEnoughInputParams : STooManyInputParams);
      const std::string& value = param->LongValue;
      const size_t offset = sent[param];
      const size_t length = std::min(kPieceSize, value.size() - offset);
      const bool last = offset + length >= value.size();
      ub4 pieceLength = ub4(length);
      check(OCIStmtSetPieceInfo(handle, OCI_HTYPE_BIND, error, value.data() + offset, &pieceLength,
                                last ? 3 : piece, param->Indicators(), nullptr));
      sent[param] = offset + length;
      sending = last ? nullptr : param;
      previous = param;
      if (last) finished.insert(param);
    }
    status = OCIStmtExecute(conn().GetSvcCtx(), statement, error, sqlType_ == 4 ? 0 : ub4(iters_), 0, nullptr,
                            nullptr, mode);
  }
  takeIncoming();
  for (TOraParamDesc* param : receiving) param->SetItemNull(1, param->LongValue.empty());
}

void TOCICommand::BreakExec() {
  if (cursor_->State != 0) conn().BreakExec();
}

std::string TOCICommand::GetRowId() {
  if (cursor_->State == 0) return rowId_;
  if (ociCallStyle_ == OCI73) return RowidToString7(cursor_->CursorArea() + cursorarea::kRowid);
  void* descriptor = nullptr;
  check(OCIDescriptorAlloc(conn().GetEnvironment(), &descriptor, OCI_DTYPE_ROWID, 0, nullptr));
  platform::ScopeExit freeDescriptor([descriptor] { OCIDescriptorFree(descriptor, OCI_DTYPE_ROWID); });
  const sword status = OCIAttrGet(statementOf(*cursor_), OCI_HTYPE_STMT, descriptor, nullptr, OCI_ATTR_ROWID,
                                  conn().GetErrorHandle());
  if (status == OCI_NO_DATA) return {};
  check(status);
  // The descriptor's data has the layout of the library's level; from 9 on the library writes
  // the text itself.
  if (OCIVersion >= 4) {
    OraText buffer[4000];
    ub2 length = sizeof buffer;
    check(OCIRowidToChar(descriptor, buffer, &length, conn().GetErrorHandle()));
    return std::string(reinterpret_cast<const char*>(buffer), std::min<size_t>(length, sizeof buffer));
  }
  const auto* data = static_cast<const uint8_t*>(descriptor);
  if (OCIVersion == 2) return RowidToString80(data);
  if (data[0] == 2) return URowidToString(data, kRowidDescriptorSize);
  return RowidToString81(data);
}

bool TOCICommand::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prScanParams:
      autoParse_ = value.asBool();
      if (autoParse_) scanParams();
      return true;
    case prNonBlocking:
      nonBlocking_ = value.asBool();
      return true;
    case prFieldsAsString:
      fieldsAsString_ = value.asBool();
      return true;
    case prCacheLobs:
      cacheLobs_ = value.asBool();
      return true;
    case prScrollable:
      cursor_->Scrollable = value.asBool();
      return true;
    case prStoreRowId:
      storeRowId_ = value.asBool();
      return true;
    case prRawAsString:
      rawAsString_ = value.asBool();
      return true;
    case prNumberAsString:
      numberAsString_ = value.asBool();
      return true;
    default:
      return TQvCommand::SetProp(prop, value);
  }
}

bool TOCICommand::GetProp(int prop, Variant& value) {
  switch (prop) {
    case prScanParams:
      value = autoParse_;
      return true;
    case prSQLType:
      value = int32_t(sqlType_);
      return true;
    case prRowsProcessed:
      value = fetchedRows_ >= 1 ? int32_t(fetchedRows_) : rowsProcessed_;
      return true;
    case prErrorOffset: {
      size_t offset = errorOffset_;
      value = int32_t(offset < positionMap_.size() ? positionMap_[offset] : offset);
      return true;
    }
    case prStoreRowId:
      value = storeRowId_;
      return true;
    default:
      return TQvCommand::GetProp(prop, value);
  }
}

// ---- describe, define, fetch ----

// The longest text a DATE or TIMESTAMP format gives: names of months and days in any
// language, Roman months, spelled-out numbers and ordinal suffixes take more room than their
// format elements.
uint16_t formatTextLength(const std::string& format) {
  const std::string upper = upperAscii(format);
  size_t length = upper.size();
  struct Growth {
    const char* element;
    size_t extra;
  };
  // Longest first, so that MONTH is not also counted as MON.
  static const Growth growth[] = {{"MONTH", 7}, {"DAY", 9}, {"MON", 5}, {"DY", 6},  {"RM", 2},
                                  {"SP", 60},   {"TH", 2},  {"FF", 7},  {"TZR", 29}};
  for (size_t i = 0; i < upper.size();) {
    bool matched = false;
    for (const Growth& g : growth)
      if (upper.compare(i, std::strlen(g.element), g.element) == 0) {
        length += g.extra;
        i += std::strlen(g.element);
        matched = true;
        break;
      }
    if (!matched) ++i;
  }
  return uint16_t(std::min<size_t>(length, 4000));
}

bool TOCICommand::DescribeField(int position, TFieldDesc& field, bool longStrings, bool flatBuffers) {
  checkActive();
  const bool old = ociCallStyle_ == OCI73;
  void* error = conn().GetErrorHandle();
  void* param = nullptr;
  platform::ScopeExit freeParam([&param] {
    if (param != nullptr) OCIDescriptorFree(param, OCI_DTYPE_PARAM);
  });
  ub2 oraType = 0, dataSize = 0;
  sb2 precision = 0;
  sb1 scale = 0;
  ub1 nullable = 1;
  if (old) {
    // The old call answers everything at once; -303 is the end of the select list.
    sb4 size = 0, displaySize = 0, nameLength = 50;
    sb2 type = 0, oldPrecision = 0, oldScale = 0, nullOk = 1;
    sb1 name[51] = {};
    const sword status = odescr(cursor_->CursorArea(), position, &size, &type, name, &nameLength,
                                &displaySize, &oldPrecision, &oldScale, &nullOk);
    if (status == -303) return false;
    check(status);
    field.Name.assign(reinterpret_cast<const char*>(name), size_t(std::clamp<sb4>(nameLength, 0, 50)));
    oraType = ub2(type);
    dataSize = ub2(size);
    precision = oldPrecision;
    scale = sb1(oldScale);
    nullable = nullOk != 0;
  } else {
    void* statement = statementOf(*cursor_);
    ub4 count = 0;
    check(OCIAttrGet(statement, OCI_HTYPE_STMT, &count, nullptr, OCI_ATTR_PARAM_COUNT, error));
    if (position < 1 || ub4(position) > count) return false;
    check(OCIParamGet(statement, OCI_HTYPE_STMT, error, &param, ub4(position)));
    OraText* name = nullptr;
    ub4 nameLength = 0;
    check(OCIAttrGet(param, OCI_DTYPE_PARAM, &name, &nameLength, OCI_ATTR_NAME, error));
    check(OCIAttrGet(param, OCI_DTYPE_PARAM, &oraType, nullptr, OCI_ATTR_DATA_TYPE, error));
    check(OCIAttrGet(param, OCI_DTYPE_PARAM, &dataSize, nullptr, OCI_ATTR_DATA_SIZE, error));
    field.Name.assign(reinterpret_cast<const char*>(name), nameLength);
  }
  field.FieldNo = uint16_t(position);
  field.Length = 0;
  field.Scale = 0;
  field.SubDataType = 0;
  field.Fixed = false;
  // The old call style has no wide text.
  const bool wide = conn().GetUseUnicode() && !old;
  // The old call style describes text, NUMBER, LONG, ROWID, DATE, RAW and LONG RAW only.
  if (old && oraType != SQLT_CHR && oraType != SQLT_AFC && oraType != SQLT_NUM && oraType != SQLT_LNG &&
      oraType != SQLT_RID && oraType != SQLT_DAT && oraType != SQLT_BIN && oraType != SQLT_LBI)
    RaiseError("Data type is not supported.");
  // A text field of `length` characters: in the record, wide with UseUnicode.
  const auto asText = [&field, wide](uint16_t length) {
    field.DataType = wide ? dtWideString : dtString;
    field.Length = length;
    field.Size = uint16_t(wide ? 2 * (length + 1) : length + 1);
  };
  const auto needOci90 = [] {
    if ((PossibleOCICallStyles & osOCI90) == 0) RaiseError("Data type is not supported.");
  };
  switch (oraType) {
    case SQLT_CHR:
    case SQLT_AFC:
      field.Fixed = oraType == SQLT_AFC;
      if (dataSize > 255 && !longStrings) {
        field.DataType = dtMemo;
        field.SubDataType = wide ? 25 : 1;
        field.Size = 4;
      } else if (dataSize >= 32 && !flatBuffers) {
        field.DataType = wide ? dtExtWideString : dtExtString;
        field.Size = 4;
      } else if (wide) {
        field.DataType = dtWideString;
        field.Size = uint16_t(2 * (dataSize + 1));
      } else {
        field.DataType = dtString;
        field.Size = uint16_t(dataSize + 1);
      }
      field.Length = dataSize;
      break;
    case SQLT_NUM: {
      if (!old) {
        check(OCIAttrGet(param, OCI_DTYPE_PARAM, &precision, nullptr, OCI_ATTR_PRECISION, error));
        check(OCIAttrGet(param, OCI_DTYPE_PARAM, &scale, nullptr, OCI_ATTR_SCALE, error));
      }
      field.Scale = uint16_t(std::abs(scale));
      const int digits = precision == 0 ? 38 : precision;
      // The old call style has no NUMBER values.
      const bool asNumber =
          !old && conn().GetEnableNumbers() && digits >= 16 && (PossibleOCICallStyles & osOCI7) != 0 &&
          !(conn().GetEnableIntegers() && digits <= 9 && scale == 0) && !fieldsAsString_ && !numberAsString_;
      // A double holds 15 significant digits: wider numbers, and numbers of no declared
      // precision, are kept exact as text unless they are held as NUMBER values.
      const bool exactAsText = precision == 0 || precision > 15;
      if (asNumber) {
        field.DataType = dtNumber;
        field.Length = uint16_t(digits);
        field.Size = 4;
      } else if (fieldsAsString_ || numberAsString_ ||
                 (exactAsText && !(precision > 0 && precision <= 18 && scale == 0))) {
        field.DataType = wide ? dtWideString : dtString;
        field.SubDataType = dtNumber;
        // A negative scale puts zeros after the precision's digits, one above the precision puts
        // zeros before them behind the point: the text has room for those too. A FLOAT's scale
        // (-127) only says that its point floats.
        int textDigits = precision;
        if (scale < 0 && scale != -127)
          textDigits = precision - scale;
        else if (scale > precision)
          textDigits = scale;
        field.Length = precision >= 1 ? uint16_t(textDigits) : 38;
        field.Size = uint16_t(field.Length + 3);
        // The point of a NUMBER without precision, or of a FLOAT, can sit anywhere: the library
        // writes its text fixed up to 64 characters and scientific beyond, up to 47 then.
        constexpr uint16_t kFloatingNumberTextSize = 64 + 1;
        if (!old && (precision == 0 || scale == -127))
          field.Size = std::max(field.Size, kFloatingNumberTextSize);
        if (wide) {
          // Wide text is read up to its length: that counts every character the buffer holds.
          field.Length = uint16_t(field.Size - 1);
          field.Size = uint16_t(2 * field.Size);
        }
      } else {
        field.Length = uint16_t(precision);
        if (conn().GetEnableIntegers() && precision <= 9 && scale == 0) {
          field.DataType = dtInteger;
          field.Size = 4;
        } else if (precision >= 10 && scale == 0) {
          field.DataType = dtInt64;
          field.Size = 8;
        } else {
          field.DataType = dtFloat;
          field.Size = 8;
        }
      }
      break;
    }
    case SQLT_LNG:
      field.DataType = dtMemo;
      field.Size = 4;
      break;
    case SQLT_RID:
      field.DataType = dtString;
      field.SubDataType = dtRowId;
      field.Length = 18;
      field.Size = 19;
      break;
    case SQLT_RDD:
      // A ROWID of up to four bytes is a plain one; longer ones are universal ROWIDs.
      asText(dataSize <= 4 ? 18 : uint16_t((dataSize * 134 + 99) / 100));
      field.SubDataType = dataSize <= 4 ? dtRowId : 114;
      break;
    case SQLT_DAT:
      if (fieldsAsString_) {
        if (conn().NlsValue(1).empty()) conn().GetSessionParameters();
        asText(formatTextLength(conn().NlsValue(1)));
      } else {
        field.DataType = dtDateTime;
        field.Size = 7;
      }
      break;
    case SQLT_BIN:
      if (fieldsAsString_ || rawAsString_) {
        asText(uint16_t(dataSize * 2));
      } else {
        // The old call style keeps every RAW in the record.
        field.DataType = dataSize < 32 || flatBuffers || old ? dtVarBytes : dtExtVarBytes;
        field.Size = field.DataType == dtVarBytes ? uint16_t(dataSize + 2) : 4;
        field.Length = dataSize;
      }
      break;
    case SQLT_LBI:
      field.DataType = dtBlob;
      field.Size = 4;
      break;
    case 25:
      field.DataType = dtRawChar;
      field.Size = dataSize;
      break;
    case SQLT_LAB:
      field.DataType = dtLabel;
      field.Size = dataSize;
      break;
    case SQLT_CLOB:
    case SQLT_BLOB:
    case SQLT_BFILEE:
    case SQLT_CFILEE:
    case SQLT_RSET: {
      // The record holds the row's object; the fetch, its handle.
      static constexpr uint16_t types[] = {dtOraClob, dtOraBlob, dtBFile, dtCFile, dtCursor};
      field.DataType = types[oraType - SQLT_CLOB];
      field.Size = sizeof(void*);
      break;
    }
    case SQLT_TIMESTAMP:
    case SQLT_TIMESTAMP_TZ:
    case SQLT_TIMESTAMP_LTZ:
    case SQLT_INTERVAL_YM:
    case SQLT_INTERVAL_DS: {
      needOci90();
      ub1 fraction = 0;
      check(OCIAttrGet(param, OCI_DTYPE_PARAM, &fraction, nullptr, 16, error));
      const bool interval = oraType == SQLT_INTERVAL_YM || oraType == SQLT_INTERVAL_DS;
      if (!fieldsAsString_) {
        field.DataType = oraType == SQLT_TIMESTAMP       ? dtTimeStamp
                         : oraType == SQLT_TIMESTAMP_TZ  ? dtTimeStampTZ
                         : oraType == SQLT_TIMESTAMP_LTZ ? dtTimeStampLTZ
                         : oraType == SQLT_INTERVAL_YM   ? dtIntervalYM
                                                         : dtIntervalDS;
        field.Size = sizeof(void*);
        field.Length = fraction;
        break;
      }
      if (interval) {
        check(OCIAttrGet(param, OCI_DTYPE_PARAM, &precision, nullptr, OCI_ATTR_PRECISION, error));
        check(OCIAttrGet(param, OCI_DTYPE_PARAM, &scale, nullptr, OCI_ATTR_SCALE, error));
        asText(uint16_t(oraType == SQLT_INTERVAL_YM ? precision + 4 : precision + scale + 11));
        break;
      }
      const int formatEntry = oraType == SQLT_TIMESTAMP_TZ ? 4 : 3;
      if (conn().NlsValue(formatEntry).empty()) conn().GetSessionParameters();
      asText(formatTextLength(conn().NlsValue(formatEntry)));
      break;
    }
    case 108:
    case 110: {
      // An object, collection or REF column: its type is described once per session.
      if (old || !ObjectsEnabled) RaiseError("Data type is not supported.");
      OraText* typeName = nullptr;
      OraText* schemaName = nullptr;
      ub4 typeLength = 0, schemaLength = 0;
      check(OCIAttrGet(param, OCI_DTYPE_PARAM, &typeName, &typeLength, OCI_ATTR_TYPE_NAME, error));
      check(OCIAttrGet(param, OCI_DTYPE_PARAM, &schemaName, &schemaLength, OCI_ATTR_SCHEMA_NAME, error));
      if (typeName == nullptr || typeLength == 0 || typeLength > 128 || schemaLength > 128 ||
          (schemaName == nullptr && schemaLength > 0))
        RaiseError("Type description is missing.");
      std::string full(reinterpret_cast<const char*>(typeName), typeLength);
      if (schemaLength > 0)
        full = std::string(reinterpret_cast<const char*>(schemaName), schemaLength) + "." + full;
      TOraType* type = TObjectTypes::GetType(conn().GetSvcCtx(), full);
      platform::ScopeExit release([type] { type->Release(); });
      if (type->DataType == dtXML && (PossibleOCICallStyles & osOCI90) == 0)
        RaiseError("Data type is not supported.");
      field.SetObjectType(type);
      field.DataType = oraType == 110 ? dataaccess::dtReference : type->DataType;
      field.Size = sizeof(void*);
      break;
    }
    default:
      RaiseError("Data type is not supported.");
  }
  if (!old) check(OCIAttrGet(param, OCI_DTYPE_PARAM, &nullable, nullptr, OCI_ATTR_IS_NULL, error));
  field.Required = nullable == 0;
  return true;
}

int32_t TOCICommand::FieldBufferLength(const TFieldDesc& field) {
  switch (field.DataType) {
    case dtExtString:
      return field.Length + 1;
    case dtExtWideString:
      return 2 * field.Length + 2;
    case dtMemo:
      return field.SubDataType == 1    ? field.Length + 1
             : field.SubDataType == 25 ? 2 * field.Length + 2
                                       : int32_t(sizeof(void*));
    case dtBlob:
      return int32_t(sizeof(void*));
    case dtExtVarBytes:
      return field.Length + 2;
    case dtNumber:
      return 22;
    case dtCursor:
    case dtOraBlob:
    case dtOraClob:
    case dtBFile:
    case dtCFile:
    case dtTimeStamp:
    case dtTimeStampTZ:
    case dtTimeStampLTZ:
    case dtIntervalYM:
    case dtIntervalDS:
      return int32_t(sizeof(void*));  // the handle of the row's object
    default:
      return field.Size;
  }
}

void TOCICommand::DefineField(TFieldDesc& field, uint8_t* buffer, int16_t* indicator, uint16_t* length) {
  DefineArrayField(field, buffer, indicator, length, 0);
}

void TOCICommand::DefineArrayField(TFieldDesc& field, uint8_t* buffer, int16_t* indicator, uint16_t* length,
                                   uint32_t valueStride) {
  checkActive();
  const uint16_t type =
      field.SubDataType == dtNumber ? SQLT_STR : GetOraType(field.DataType, field.SubDataType);
  const bool varBytes = field.DataType == dtVarBytes || field.DataType == dtExtVarBytes;
  void* define = nullptr;
  void* error = conn().GetErrorHandle();
  int32_t size = FieldBufferLength(field);
  uint8_t* value = buffer;
  if (varBytes) {
    value += 2;
    size -= 2;
  }
  // A raw value's length word is the first two bytes of its own slot.
  uint16_t* lengthWord = varBytes ? reinterpret_cast<uint16_t*>(buffer) : length;
  if (ociCallStyle_ == OCI73) {
    uint8_t* area = cursor_->CursorArea();
    if (valueStride == 0)
      check(odefin(area, field.FieldNo, value, size, type, -1, indicator, nullptr, -1, -1, lengthWord,
                   nullptr));
    else
      check(odefinps(area, 1, field.FieldNo, value, size, type, 0, indicator, nullptr, 0, 0, lengthWord,
                     nullptr, sb4(valueStride), 2,
                     varBytes            ? sb4(valueStride)
                     : length != nullptr ? 2
                                         : 0,
                     0));
    std::erase_if(defined_, [&field](const DefinedColumn& c) { return c.name == field.Name; });
    defined_.push_back({field.Name, indicator, valueStride != 0 ? 2u : 0u});
    return;
  }
  check(OCIDefineByPos(statementOf(*cursor_), &define, error, field.FieldNo, value, size, type, indicator,
                       lengthWord, nullptr, 0));
  field.Handle = define;
  setDefineCharset(define, field);
  if (valueStride != 0)
    check(OCIDefineArrayOfStruct(define, error, valueStride, 2,
                                 varBytes            ? valueStride
                                 : length != nullptr ? 2
                                                     : 0,
                                 0));
  std::erase_if(defined_, [&field](const DefinedColumn& c) { return c.name == field.Name; });
  defined_.push_back({field.Name, indicator, valueStride != 0 ? 2u : 0u});
}

void TOCICommand::DefineObjectField(TFieldDesc& field, void* tdo, void** instances, void** indicators) {
  checkActive();
  if (ociCallStyle_ == OCI73) RaiseError("Data type is not supported.");
  void* define = nullptr;
  void* error = conn().GetErrorHandle();
  const ub2 type = field.DataType == dataaccess::dtReference ? 110 : 108;
  check(OCIDefineByPos(statementOf(*cursor_), &define, error, field.FieldNo, nullptr, 0, type, nullptr,
                       nullptr, nullptr, 0));
  using DefineObject = sword (*)(void*, void*, const void*, void**, ub4*, void**, ub4*);
  const auto defineObject = reinterpret_cast<DefineObject>(reinterpret_cast<void*>(OCIDefineObject));
  check(defineObject(define, error, tdo, instances, nullptr, indicators, nullptr));
  field.Handle = define;
}

void TOCICommand::DefinePiecewise(TFieldDesc& field, uint8_t* buffer, int16_t* indicator) {
  checkActive();
  if (ociCallStyle_ == OCI73) {
    check(odefinps(cursor_->CursorArea(), 0, field.FieldNo, buffer, 2147483647,
                   GetOraType(field.DataType, field.SubDataType), 0, indicator, nullptr, 0, 0, nullptr,
                   nullptr, 0, 0, 0, 0));
    field.Handle = buffer;  // the context the library names the column by
    return;
  }
  void* define = nullptr;
  check(OCIDefineByPos(statementOf(*cursor_), &define, conn().GetErrorHandle(), field.FieldNo, buffer,
                       2147483647, GetOraType(field.DataType, field.SubDataType), indicator, nullptr, nullptr,
                       2));
  field.Handle = define;
}

void TOCICommand::setDefineCharset(void* define, const TFieldDesc& field) {
  ub2 id = 0;
  if (field.DataType == dtString || field.DataType == dtExtString ||
      (field.DataType == dtMemo && field.SubDataType == 1))
    id = conn().GetCharsetId();
  else if (field.DataType == dtWideString || field.DataType == dtExtWideString ||
           (field.DataType == dtMemo && field.SubDataType == 25))
    id = kUtf16CharsetId;
  if (id != 0) check(OCIAttrSet(define, OCI_HTYPE_DEFINE, &id, 0, 31, conn().GetErrorHandle()));
}

void TOCICommand::DefineDynamic(TFieldDesc& field, void* context, void* callback, uint16_t charsetId) {
  conn().CheckOCI80();
  checkActive();
  void* define = nullptr;
  void* error = conn().GetErrorHandle();
  check(OCIDefineByPos(statementOf(*cursor_), &define, error, field.FieldNo, nullptr, 2147483647,
                       GetOraType(field.DataType, field.SubDataType), nullptr, nullptr, nullptr, 2));
  field.Handle = define;
  if (charsetId != 0) {
    ub2 id = charsetId;
    check(OCIAttrSet(define, OCI_HTYPE_DEFINE, &id, 0, 31, error));
  }
  check(OCIDefineDynamic(define, error, context, callback));
}

int TOCICommand::Fetch(uint32_t rows) {
  return FetchAt(rows, OCI_FETCH_NEXT, 0);
}

int TOCICommand::FetchAt(uint32_t rows, uint16_t orientation, int32_t offset, std::string* truncatedColumn) {
  if (truncatedColumn != nullptr) truncatedColumn->clear();
  checkActive();
  conn().BusyWait();
  platform::ScopeExit release([this] { conn().Release(); });
  int received = int(rows);
  if (ociCallStyle_ == OCI73) {
    uint8_t* area = cursor_->CursorArea();
    const sword status = ofen(area, sword(rows));
    const int32_t total = int32_t(platform::getValue<uint32_t>(area + cursorarea::kRowsProcessed));
    received = total - fetchedRows_;
    fetchedRows_ = total;
    if (status == 4)
      Close();
    else if (status != 0)
      check(status);
    if (cursor_->State < 7) cursor_->State = 7;
    return checkTruncation(received, truncatedColumn);
  }
  void* statement = statementOf(*cursor_);
  void* error = conn().GetErrorHandle();
  if (cursor_->Scrollable) {
    const sword status = OCIStmtFetch2(statement, error, rows, orientation, offset, 0);
    if (status != OCI_SUCCESS && status != OCI_NO_DATA) check(status);
    ub4 got = 0, highest = 0;
    check(OCIAttrGet(statement, OCI_HTYPE_STMT, &got, nullptr, OCI_ATTR_ROWS_FETCHED, error));
    check(OCIAttrGet(statement, OCI_HTYPE_STMT, &highest, nullptr, OCI_ATTR_ROW_COUNT, error));
    received = int(got);
    fetchedRows_ = int32_t(highest);
  } else {
    if (orientation != OCI_FETCH_NEXT)
      AssertionFailed("a forward cursor fetches from a place", __FILE__, __LINE__);
    const sword status = OCIStmtFetch(statement, error, rows, OCI_FETCH_NEXT, 0);
    if (status == OCI_SUCCESS) {
      ub4 total = 0;
      check(OCIAttrGet(statement, OCI_HTYPE_STMT, &total, nullptr, OCI_ATTR_ROW_COUNT, error));
      fetchedRows_ = int32_t(total);
    } else {
      // The failure is read before the row count, whose call would leave the error record empty.
      std::exception_ptr failure;
      if (status != OCI_NO_DATA) {
        try {
          check(status);
        } catch (...) {
          failure = std::current_exception();
        }
      }
      ub4 total = 0;
      const sword counted = OCIAttrGet(statement, OCI_HTYPE_STMT, &total, nullptr, OCI_ATTR_ROW_COUNT, error);
      // Without the count the rows of a short last block are unknown: they must not go as none.
      if (counted != OCI_SUCCESS) {
        if (failure) std::rethrow_exception(failure);
        check(counted);
      }
      received = int(total) - fetchedRows_;
      fetchedRows_ = int32_t(total);
      if (failure) std::rethrow_exception(failure);
      if (status == OCI_NO_DATA) cursor_->State = 9;
    }
  }
  if (cursor_->State < 7) cursor_->State = 7;
  return checkTruncation(received, truncatedColumn);
}

int TOCICommand::checkTruncation(int received, std::string* truncatedColumn) {
  for (const DefinedColumn& column : defined_)
    for (int row = 0; row < received && column.indicator != nullptr; ++row) {
      const int16_t indicator = column.indicator[column.stride == 0 ? 0 : row];
      if (indicator > 0 || indicator < -1) {
        if (truncatedColumn == nullptr) RaiseError("The value of column " + column.name + " was truncated");
        if (truncatedColumn->empty()) *truncatedColumn = column.name;
      }
      if (column.stride == 0) break;
    }
  return received;
}

sword TOCICommand::FetchPiece(uint16_t orientation, int32_t offset) {
  checkActive();
  conn().BusyWait();
  platform::ScopeExit release([this] { conn().Release(); });
  if (ociCallStyle_ == OCI73) {
    const sword status = ofen(cursor_->CursorArea(), 1);
    if (status == 4)
      Close();
    else if (status != 0 && status != kNextOutputPiece)
      check(status);
    if (cursor_->State < 7) cursor_->State = 7;
    return status;
  }
  void* statement = statementOf(*cursor_);
  void* error = conn().GetErrorHandle();
  const sword status = orientation == OCI_FETCH_NEXT
                           ? OCIStmtFetch(statement, error, 1, OCI_FETCH_NEXT, 0)
                           : OCIStmtFetch2(statement, error, 1, orientation, offset, 0);
  if (status == OCI_NO_DATA) {
    if (!cursor_->Scrollable) cursor_->State = 9;
  } else if (status != OCI_SUCCESS && status != OCI_NEED_DATA) {
    check(status);
  }
  if (cursor_->State < 7) cursor_->State = 7;
  return status;
}

void TOCICommand::Close() {
  if (ociCallStyle_ == OCI73 && cursor_->State != 0 && cursor_->State != 9)
    check(ocan(cursor_->CursorArea()));
  cursor_->State = 9;
}

void TOCICommand::DescribeOnly() {
  checkActive();
  if (cursor_->State >= 6) return;
  conn().BusyWait();
  platform::ScopeExit release([this] { conn().Release(); });
  check(OCIStmtExecute(conn().GetSvcCtx(), statementOf(*cursor_), conn().GetErrorHandle(), 0, 0, nullptr,
                       nullptr, OCI_DESCRIBE_ONLY));
}

}  // namespace oracle
