#include "oracle/oraclasses.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dataset/dberror.h"
#include "oracle/oraobjects.h"
#include "platform/bytes.h"
#include "platform/scopeguard.h"

namespace oracle {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Digits(uint32_t value, int digits) {
  std::string text(size_t(digits), 'A');
  for (int i = digits - 1; i >= 0; --i) {
    text[size_t(i)] = kBase64[value & 63];
    value >>= 6;
  }
  return text;
}

std::string hexDigits(uint32_t value, int digits) {
  static const char hex[] = "0123456789ABCDEF";
  std::string text(size_t(digits), '0');
  for (int i = digits - 1; i >= 0; --i) {
    text[size_t(i)] = hex[value & 15];
    value >>= 4;
  }
  return text;
}

std::string rowidText(uint32_t object, uint16_t file, uint32_t block, uint16_t row) {
  if (object != 0)
    return base64Digits(object, 6) + base64Digits(file, 3) + base64Digits(block, 6) + base64Digits(row, 3);
  return hexDigits(block, 8) + "." + hexDigits(row, 4) + "." + hexDigits(file, 4);
}

using dataset::civilFromDays;
using dataset::daysFromCivil;

constexpr double kMsPerDay = 86400000.0;
// Milliseconds of the record store's time stamp at 1899-12-30.
constexpr double kMsAtDateZero = 693594.0 * kMsPerDay;

const char* const kNlsNames[5] = {"NLS_DATE_LANGUAGE", "NLS_DATE_FORMAT", "NLS_NUMERIC_CHARACTERS",
                                  "NLS_TIMESTAMP_FORMAT", "NLS_TIMESTAMP_TZ_FORMAT"};

int nlsIndexOfProp(int prop) {
  switch (prop) {
    case prDateLanguage:
      return 0;
    case prDateFormat:
      return 1;
    case prNumericCharacters:
      return 2;
    case prTimeStampFormat:
      return 3;
    case prTimeStampTZFormat:
      return 4;
    default:
      return -1;
  }
}

// The connections alive now, by serial: the end of a worker delivered through the runner
// finds its connection here, or nothing when it has gone meanwhile.
struct LiveConnections {
  std::mutex lock;
  std::map<uint64_t, TOCIConnection*> bySerial;
  uint64_t next = 1;
  WindowThreadRunner runner;
};

LiveConnections& live() {
  static LiveConnections connections;
  return connections;
}

// Posts a worker's end as a task of the window-thread runner.
class RunnerPoster final : public platform::EventPoster {
 public:
  explicit RunnerPoster(uint64_t serial) : serial_(serial) {}
  void post(const platform::PostedEvent& event) override {
    WindowThreadRunner runner;
    {
      std::lock_guard<std::mutex> guard(live().lock);
      runner = live().runner;
    }
    if (!runner) return;
    const uint64_t serial = serial_;
    runner([serial, event] {
      TOCIConnection* connection = nullptr;
      {
        std::lock_guard<std::mutex> guard(live().lock);
        auto found = live().bySerial.find(serial);
        if (found != live().bySerial.end()) connection = found->second;
      }
      if (connection != nullptr) connection->DispatchThreadEvent(event);
    });
  }

 private:
  uint64_t serial_;
};

}  // namespace

bool IsValueObjectType(uint16_t dataType) {
  switch (dataType) {
    case dtOraBlob:
    case dtOraClob:
    case dtBFile:
    case dtCFile:
    case dtTimeStamp:
    case dtTimeStampTZ:
    case dtTimeStampLTZ:
    case dtIntervalYM:
    case dtIntervalDS:
    case dtNumber:
    case dataaccess::dtObject:
    case dataaccess::dtReference:
    case dataaccess::dtArray:
    case dataaccess::dtTable:
    case dtXML:
      return true;
    default:
      return false;
  }
}

void SetWindowThreadRunner(WindowThreadRunner runner) {
  std::lock_guard<std::mutex> guard(live().lock);
  live().runner = std::move(runner);
}

uint16_t Swap16(uint16_t value) {
  return uint16_t(value << 8 | value >> 8);
}
uint32_t Swap32(uint32_t value) {
  return value << 24 | (value & 0xFF00) << 8 | (value >> 8 & 0xFF00) | value >> 24;
}

std::string RowidToString7(const uint8_t* data) {
  uint32_t block = platform::getValue<uint32_t>(data + 7);
  uint32_t row = uint32_t(data[11]) | uint32_t(data[12]) << 8 | uint32_t(data[13]) << 16;
  if (block != 0 && (block & 0xFF) == 0) block >>= 8;
  if (row != 0 && (row & 0xFF) == 0) row >>= 8;
  return rowidText(platform::getValue<uint32_t>(data), platform::getValue<uint16_t>(data + 4), block,
                   uint16_t(row));
}

std::string RowidToString80(const uint8_t* data) {
  return rowidText(platform::getValue<uint32_t>(data), platform::getValue<uint16_t>(data + 4),
                   platform::getValue<uint32_t>(data + 8), platform::getValue<uint16_t>(data + 12));
}

std::string RowidToString81(const uint8_t* data) {
  return rowidText(platform::getBig4(data + 1), platform::getBig2(data + 5), platform::getBig4(data + 7),
                   platform::getBig2(data + 11));
}

std::string URowidToString(const uint8_t* data, size_t length) {
  std::string text = "*";
  size_t i = 1;
  for (; i + 3 <= length; i += 3) {
    const uint32_t v = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
    text += base64Digits(v, 4);
  }
  if (i + 2 == length) {
    text += base64Digits(uint32_t(data[i]) << 10 | uint32_t(data[i + 1]) << 2, 3);
  } else if (i + 1 == length) {
    text += base64Digits(uint32_t(data[i]) << 4, 2);
  }
  return text;
}

DateTime OraDateToDateTime(const uint8_t* date) {
  const int year = (int(date[0]) - 100) * 100 + int(date[1]) - 100;
  if (year < 1) RaiseError("Dates before 1 AD are not supported: year " + std::to_string(year));
  // A century byte pair beyond the DATE range is damage, not a date.
  if (date[1] < 100 || date[1] > 199 || year > 9999) RaiseError("Invalid Oracle DATE value");
  if (date[2] < 1 || date[2] > 12 || date[3] < 1 || date[3] > 31 || date[4] < 1 || date[4] > 24 ||
      date[5] < 1 || date[5] > 60 || date[6] < 1 || date[6] > 60)
    RaiseError("Invalid Oracle DATE value");
  const double days = double(daysFromCivil(year, date[2], date[3]));
  const double time = ((date[4] - 1) * 3600.0 + (date[5] - 1) * 60.0 + (date[6] - 1)) / 86400.0;
  return DateTime{days < 0 ? days - time : days + time};
}

double OraDateToMs(const uint8_t* date) {
  const DateTime value = OraDateToDateTime(date);
  const double whole = std::trunc(value.days), fraction = std::fabs(value.days - whole);
  return kMsAtDateZero + whole * kMsPerDay + std::round(fraction * kMsPerDay);
}

void DateTimeToOraDate(DateTime value, uint8_t* date) {
  const double whole = std::trunc(value.days);
  double fraction = std::fabs(value.days - whole);
  int64_t seconds = int64_t(std::floor(fraction * 86400.0 + 0.5 / 1000.0));
  int64_t dayNumber = int64_t(whole);
  if (seconds >= 86400) {
    seconds -= 86400;
    ++dayNumber;
  }
  int64_t year;
  unsigned month, day;
  civilFromDays(dayNumber, year, month, day);
  if (year < 1) RaiseError("Dates before 1 AD are not supported: year " + std::to_string(year));
  if (year > 9999) RaiseError("Dates after 9999 are not supported: year " + std::to_string(year));
  date[0] = uint8_t(year / 100 + 100);
  date[1] = uint8_t(year % 100 + 100);
  date[2] = uint8_t(month);
  date[3] = uint8_t(day);
  date[4] = uint8_t(seconds / 3600 + 1);
  date[5] = uint8_t(seconds / 60 % 60 + 1);
  date[6] = uint8_t(seconds % 60 + 1);
}

void MsToOraDate(double ms, uint8_t* date) {
  const double rounded = std::round(ms) - kMsAtDateZero;
  double days = std::floor(rounded / kMsPerDay);
  const double time = (rounded - days * kMsPerDay) / kMsPerDay;
  DateTimeToOraDate(DateTime{days < 0 ? days - time : days + time}, date);
}

// ---- TOCIConnection ----

TOCIConnection::TOCIConnection() {
  for (size_t i = 0; i < nls_.size(); ++i) nls_[i].Name = kNlsNames[i];
  std::lock_guard<std::mutex> guard(live().lock);
  serial_ = live().next++;
  live().bySerial[serial_] = this;
}

TOCIConnection::~TOCIConnection() {
  {
    std::lock_guard<std::mutex> guard(live().lock);
    live().bySerial.erase(serial_);
  }
  {
    std::lock_guard<std::mutex> guard(workersLock_);
    for (auto& [id, worker] : workers_) worker->endProc = nullptr;
  }
  std::vector<int64_t> ids;
  {
    std::lock_guard<std::mutex> guard(workersLock_);
    for (auto& [id, worker] : workers_) ids.push_back(id);
  }
  for (int64_t id : ids) StopThread(id, true);
  // The commands still on this connection (the internal one among them) lose it now.
  while (!commands_.empty()) commands_.back()->connectionGone();
  command_.reset();
  try {
    Disconnect();
  } catch (const std::exception&) {
    // The handles are freed whatever ending the session said; a destructor cannot report it.
  }
}

void TOCIConnection::CheckOCI() const {
  if (ociCallStyleCommand_ != OCI73 && ociCallStyleCommand_ != OCI80) RaiseError("OCI is not inizialized");
}

void TOCIConnection::CheckOCI80() const {
  if (ociCallStyleCommand_ != OCI80) RaiseError("Need Oracle 8 Call Interface");
}

void TOCIConnection::OraError(uint8_t style, sword status, bool useHandler) {
  std::string msg;
  int32_t number = 0;
  if (style == OCI73) {
    if (status == -9) status = -1;
    // The old level answers a query's end with 4; its error is the one of no data found.
    if (status == 4) status = -1403;
    OraText buffer[513] = {};
    oerhms(lda_.data(), sb2(status), buffer, 512);
    msg = reinterpret_cast<const char*>(buffer);
    number = std::abs(status);
  } else if (style == OCI80) {
    number = GetOraError(status, msg, hError_ != nullptr ? hError_ : hOCIError);
    lastError_ = number;
    if (status == OCI_SUCCESS_WITH_INFO && number != 24344) return;
  } else {
    CheckOCI();
  }
  lastError_ = number;
  EOraError error(number, msg);
  bool fail = true;
  if (useHandler && onError_) onError_(error, fail);
  if (fail) throw error;
  throw dataset::EAbort();
}

void TOCIConnection::Check(sword status, uint8_t style, bool useHandler) {
  if (status != OCI_SUCCESS) OraError(style != 0 ? style : ociCallStyleCommand_, status, useHandler);
}

void TOCIConnection::BusyWait() {
  if (threadSafety_) mutex_.lock();
}

void TOCIConnection::Release() {
  if (threadSafety_) mutex_.unlock();
}

void TOCIConnection::connect8() {
  hEnv_ = hOCIEnv;
  hError_ = hOCIError;
  if (hSvcCtx_ == nullptr) Check(OCIHandleAlloc(hEnv_, &hSvcCtx_, OCI_HTYPE_SVCCTX, 0, nullptr), OCI80);
  if (hServer_ == nullptr) Check(OCIHandleAlloc(hEnv_, &hServer_, OCI_HTYPE_SERVER, 0, nullptr), OCI80);
  if (hSession_ == nullptr) Check(OCIHandleAlloc(hEnv_, &hSession_, OCI_HTYPE_SESSION, 0, nullptr), OCI80);
  if (hBreakError_ == nullptr)
    Check(OCIHandleAlloc(hEnv_, &hBreakError_, OCI_HTYPE_ERROR, 0, nullptr), OCI80);
  const std::string& server = GetServer();
  Check(OCIServerAttach(hServer_, hError_, reinterpret_cast<const OraText*>(server.data()),
                        sb4(server.size()), 0),
        OCI80);
  // From here on a failure must leave nothing attached, so the next attempt starts clean.
  bool begun = false;
  platform::UndoOnFailure detach([this, &begun] {
    if (begun) OCISessionEnd(hSvcCtx_, hError_, hSession_, 0);
    OCIServerDetach(hServer_, hError_, 0);
    freeHandles8();
  });
  Check(OCIAttrSet(hServer_, OCI_HTYPE_SERVER, internalName_.data(), ub4(internalName_.size()),
                   OCI_ATTR_INTERNAL_NAME, hError_),
        OCI80);
  Check(OCIAttrSet(hSvcCtx_, OCI_HTYPE_SVCCTX, hServer_, 0, OCI_ATTR_SERVER, hError_), OCI80);
  ub4 credentials = OCI_CRED_EXT;
  if (!GetUsername().empty()) {
    std::string user = GetUsername(), password = GetPassword();
    Check(OCIAttrSet(hSession_, OCI_HTYPE_SESSION, user.data(), ub4(user.size()), OCI_ATTR_USERNAME, hError_),
          OCI80);
    Check(OCIAttrSet(hSession_, OCI_HTYPE_SESSION, password.data(), ub4(password.size()), OCI_ATTR_PASSWORD,
                     hError_),
          OCI80);
    credentials = OCI_CRED_RDBMS;
  }
  const ub4 mode = connectMode_ == cmSysOper ? OCI_SYSOPER : connectMode_ == cmSysDBA ? OCI_SYSDBA : 0;
  Check(OCISessionBegin(hSvcCtx_, hError_, hSession_, credentials, mode), OCI80);
  begun = true;
  Check(OCIAttrSet(hSvcCtx_, OCI_HTYPE_SVCCTX, hSession_, 0, OCI_ATTR_SESSION, hError_), OCI80);
  if (CompareVersions(GetServerVersion(), "8") < 0) ociCallStyleCommand_ = OCI73;
  detach.Dismiss();
}

void TOCIConnection::freeHandles8() {
  if (hSession_ != nullptr) OCIHandleFree(hSession_, OCI_HTYPE_SESSION);
  if (hServer_ != nullptr) OCIHandleFree(hServer_, OCI_HTYPE_SERVER);
  if (hSvcCtx_ != nullptr && ownsSession_) {
    TObjectTypes::ClearTypes(hSvcCtx_);  // their descriptions die with the session
    OCIHandleFree(hSvcCtx_, OCI_HTYPE_SVCCTX);
  }
  if (hBreakError_ != nullptr) OCIHandleFree(hBreakError_, OCI_HTYPE_ERROR);
  hBreakError_ = nullptr;
  hSession_ = hServer_ = hSvcCtx_ = nullptr;
  hError_ = hEnv_ = nullptr;
}

void TOCIConnection::Connect(const std::string&) {
  if (GetConnected()) return;
  serverVersion_.clear();
  if (!OCIInited) OCIInit();
  if (ociCallStyle_ == 0 || (PossibleOCICallStyles & (ociCallStyle_ == OCI73 ? osOCI7 : osOCI8)) == 0)
    ociCallStyle_ = oracle::OCICallStyle;
  ociCallStyleCommand_ = ociCallStyle_;
  if (ociCallStyle_ == OCI73) {
    if (lda_.empty()) lda_.assign(64, 0);
    hda_.assign(256, 0);
    const std::string &user = GetUsername(), &password = GetPassword(), &server = GetServer();
    Check(olog(lda_.data(), hda_.data(), reinterpret_cast<const OraText*>(user.c_str()), -1,
               reinterpret_cast<const OraText*>(password.c_str()), -1,
               reinterpret_cast<const OraText*>(server.c_str()), -1, 0),
          OCI73);
    // The old calls need their thread set-up once before sessions are shared between threads.
    if (threadSafety_ && !OCI7Threaded) InitOCI7(true);
  } else {
    connect8();
  }
  SetConnectedState(true);
  platform::UndoOnFailure undo([this] {
    try {
      Disconnect();
    } catch (const std::exception&) {
      // The set-up failure is the one reported.
    }
  });
  if (ociCallStyle_ == OCI80 && CompareVersions(GetServerVersion(), "8") >= 0) {
    failover_ = {reinterpret_cast<void*>(&TOCIConnection::failoverCallback), this};
    Check(OCIAttrSet(hServer_, OCI_HTYPE_SERVER, &failover_, 0, OCI_ATTR_FOCBK, hError_), OCI80);
  }
  for (const TNlsSessionParam& entry : nls_)
    if (entry.IsUserDefined) SetNlsParameter(entry.Name, entry.Value);
  if (!charset_.empty() || detectCharLength_) GetSessionParameters();
  undo.Dismiss();
}

void TOCIConnection::Disconnect() {
  if (!GetConnected()) return;
  std::exception_ptr first;
  const auto attempt = [&first, this](sword status, uint8_t style) {
    if (status == OCI_SUCCESS || first) return;
    try {
      Check(status, style, false);
    } catch (...) {
      first = std::current_exception();
    }
  };
  if (command_) command_->Unprepare();
  if (ociCallStyle_ == OCI73) {
    if (ownsSession_) {
      try {
        attempt(ologof(lda_.data()), OCI73);
      } catch (...) {
        if (!first) first = std::current_exception();
      }
    }
    hda_.clear();
    if (ownsSession_) lda_.clear();
  } else {
    if (ownsSession_) {
      attempt(OCISessionEnd(hSvcCtx_, hError_, hSession_, 0), OCI80);
      attempt(OCIServerDetach(hServer_, hError_, 0), OCI80);
    }
    freeHandles8();
    if (ownsSession_) lda_.clear();
  }
  SetConnectedState(false);
  serverVersion_.clear();
  maxStringSize_ = 0;
  charsetId_ = 0;
  if (detectCharLength_) charLength_ = 0;
  for (TNlsSessionParam& entry : nls_)
    if (!entry.IsUserDefined) entry.Value.clear();
  if (first) std::rethrow_exception(first);
}

void TOCIConnection::Commit() {
  if (!GetConnected()) return;
  BusyWait();
  platform::ScopeExit release([this] { Release(); });
  if (ociCallStyle_ == OCI73)
    Check(ocom(lda_.data()), OCI73);
  else
    Check(OCITransCommit(hSvcCtx_, hError_, 0), OCI80);
}

void TOCIConnection::Rollback() {
  if (!GetConnected()) return;
  if (ociCallStyle_ == OCI73)
    Check(orol(lda_.data()), OCI73);
  else
    Check(OCITransRollback(hSvcCtx_, hError_, 0), OCI80);
}

void TOCIConnection::BreakExec() {
  if (!GetConnected()) return;
  if (ociCallStyle_ == OCI73) {
    Check(obreak(lda_.data()), OCI73);
    return;
  }
  // The call being broken may be writing its error into the session's error handle right now:
  // the break reports through an error handle of its own.
  const sword status = OCIBreak(hSvcCtx_, hBreakError_);
  if (status == OCI_SUCCESS) return;
  std::string msg;
  const int32_t number = GetOraError(status, msg, hBreakError_);
  throw EOraError(number, msg);
}

void* TOCIConnection::GetSvcCtx() const {
  if (ociCallStyle_ != OCI80) RaiseError("Need Oracle 8 Call Interface");
  return hSvcCtx_;
}

uint8_t* TOCIConnection::GetLDA() {
  if (ociCallStyle_ == OCI80 && lda_.empty()) {
    lda_.assign(64, 0);
    platform::UndoOnFailure drop([this] { lda_.clear(); });
    Check(OCISvcCtxToLda(hSvcCtx_, hError_, lda_.data()), OCI80);
    drop.Dismiss();
  }
  return lda_.data();
}

void TOCIConnection::SetOCICallStyle(uint8_t value) {
  if (value == ociCallStyle_) return;
  Disconnect();
  ociCallStyle_ = value;
}

std::unique_ptr<dataaccess::TQvCommand> TOCIConnection::CreateCommand() {
  auto command = std::make_unique<TOCICommand>();
  command->SetConnection(this);
  return command;
}

std::unique_ptr<dataaccess::TQvRecordSet> TOCIConnection::CreateRecordSet() {
  auto recordSet = std::make_unique<TOCIRecordSet>();
  recordSet->SetConnection(this);
  return recordSet;
}

TOCICommand& TOCIConnection::internalCommand() {
  if (!command_) {
    command_ = std::make_unique<TOCICommand>();
    command_->SetConnection(this);
  }
  return *command_;
}

std::string TOCIConnection::GetServerVersion() {
  if (OCILite) return OCIVersionSt + " Lite";
  if (!serverVersion_.empty()) return serverVersion_;
  if (ociCallStyle_ == OCI80) {
    OraText buffer[256] = {};
    Check(OCIServerVersion(hSvcCtx_, hError_, buffer, 255, OCI_HTYPE_SVCCTX), OCI80);
    const std::string banner(reinterpret_cast<const char*>(buffer));
    const size_t dot = banner.find('.');
    // The whole major number before the first dot, so that "10.2" is not read as "0.2".
    if (dot != std::string::npos && dot > 0 && std::isdigit(static_cast<unsigned char>(banner[dot - 1]))) {
      size_t start = dot - 1;
      while (start > 0 && std::isdigit(static_cast<unsigned char>(banner[start - 1]))) --start;
      const size_t blank = banner.find(' ', dot);
      serverVersion_ = blank == std::string::npos ? std::string() : banner.substr(start, blank - start + 1);
    }
  } else {
    TOCICommand& command = internalCommand();
    command.SetSQL(
        "begin SELECT Version INTO :Result FROM SYS.PRODUCT_COMPONENT_VERSION WHERE Upper(Product) LIKE "
        "'%ORACLE%'; end;");
    command.Param(0).SetDataType(dataaccess::dtString);
    command.Param(0).SetParamType(2);
    command.Param(0).SetSize(65);
    command.Execute(1);
    serverVersion_ = command.Param(0).GetItemAsString(1);
  }
  return serverVersion_;
}

void TOCIConnection::SetNlsParameter(const std::string& name, const std::string& value) {
  bool known = false;
  for (const char* nlsName : kNlsNames) known = known || name == nlsName;
  if (!known) RaiseError("Unknown NLS parameter: " + name);
  if (!GetConnected()) return;
  std::string quoted;
  for (char c : value) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  TOCICommand& command = internalCommand();
  command.SetSQL("ALTER SESSION SET " + name + "='" + quoted + "'");
  command.Execute(1);
}

void TOCIConnection::GetSessionParameters() {
  if (!GetConnected() || OCILite) return;
  charsetId_ = 0;
  const bool above8 = CompareVersions(GetServerVersion(), "8") > 0;
  const bool useCharsetId = !charset_.empty() && above8;
  std::string sql =
      "declare  cursor NlsParamsCursor is    SELECT * FROM nls_session_parameters;begin  SELECT "
      "Nvl(Lengthb(Chr(65536)), Nvl(Lengthb(Chr(65536)), 1))    INTO :CharLength FROM dual;  for NlsRecord "
      "in "
      "NlsParamsCursor loop    if NlsRecord.parameter = 'NLS_DATE_LANGUAGE' then      :NlsDateLanguage := "
      "NlsRecord.value;    elsif NlsRecord.parameter = 'NLS_DATE_FORMAT' then      :NlsDateFormat := "
      "NlsRecord.value;    elsif NlsRecord.parameter = 'NLS_NUMERIC_CHARACTERS' then      "
      ":NlsNumericCharacters "
      ":= NlsRecord.value;";
  if (above8)
    sql +=
        "    elsif NlsRecord.parameter = 'NLS_TIMESTAMP_FORMAT' then      :NlsTimeStampFormat := "
        "NlsRecord.value;    elsif NlsRecord.parameter = 'NLS_TIMESTAMP_TZ_FORMAT' then      "
        ":NlsTimeStampTZFormat := NlsRecord.value;";
  sql += "    end if;  end loop;";
  if (useCharsetId) sql += "  SELECT NLS_CHARSET_ID(:Charset) INTO :CharsetId FROM dual;";
  sql += "end;";
  TOCICommand& command = internalCommand();
  command.SetSQL(sql);
  for (int i = 0; i < command.GetParamCount(); ++i) {
    command.Param(i).SetDataType(dataaccess::dtString);
    command.Param(i).SetParamType(2);
    command.Param(i).SetSize(41);
  }
  command.Param(0).SetDataType(dataaccess::dtInteger);
  if (useCharsetId) {
    command.Param(6).SetParamType(1);
    command.Param(6).SetItemAsString(1, charset_);
    command.Param(7).SetDataType(dataaccess::dtInteger);
  }
  command.Execute(1);
  if (detectCharLength_)
    charLength_ = command.Param(0).GetNull() ? 1 : uint16_t(command.Param(0).GetItemAsInteger(1));
  for (int i = 0; i < 3; ++i) nls_[size_t(i)].Value = command.Param(i + 1).GetItemAsString(1);
  if (above8)
    for (int i = 3; i < 5; ++i) nls_[size_t(i)].Value = command.Param(i + 1).GetItemAsString(1);
  if (useCharsetId) {
    if (command.Param(7).GetNull()) RaiseError("Cannot find charset " + charset_);
    charsetId_ = uint16_t(command.Param(7).GetItemAsInteger(1));
  }
}

uint16_t TOCIConnection::MaxStringSize() {
  if (maxStringSize_ == 0 && GetConnected()) {
    uint16_t size = 2000;
    if (ociCallStyle_ == OCI80 && GetServerVersion().substr(0, 1) != "7") size = 4000;
    if (charLength_ != 0) size = uint16_t(size / charLength_);
    maxStringSize_ = size;
  }
  return maxStringSize_;
}

void TOCIConnection::setNlsEntry(int index, const std::string& value) {
  TNlsSessionParam& entry = nls_[size_t(index)];
  if (value == entry.Value) return;
  entry.Value = value;
  entry.IsUserDefined = !value.empty();
  if (entry.IsUserDefined) SetNlsParameter(entry.Name, value);
}

bool TOCIConnection::SetProp(int prop, const Variant& value) {
  const int nls = nlsIndexOfProp(prop);
  if (nls >= 0) {
    setNlsEntry(nls, value.asString());
    return true;
  }
  switch (prop) {
    case prThreadSafety:
      threadSafety_ = value.asBool();
      return true;
    case prConnectMode:
      connectMode_ = uint8_t(value.asInt32());
      return true;
    case prCharLength: {
      const uint16_t length = uint16_t(value.asInt32());
      if ((detectCharLength_ && length != 0) || length != charLength_) {
        charLength_ = length;
        maxStringSize_ = 0;
        detectCharLength_ = length == 0;
        if (detectCharLength_) GetSessionParameters();
      }
      return true;
    }
    case prEnableIntegers:
      enableIntegers_ = value.asBool();
      return true;
    case prEnableNumbers:
      enableNumbers_ = value.asBool();
      return true;
    case prUseUnicode:
      useUnicode_ = value.asBool();
      return true;
    case prInternalName:
      internalName_ = value.asString();
      return true;
    case prCharset:
      if (value.asString() != charset_) {
        charset_ = value.asString();
        GetSessionParameters();
      }
      return true;
    default:
      return TQvConnection::SetProp(prop, value);
  }
}

bool TOCIConnection::GetProp(int prop, Variant& value) {
  const int nls = nlsIndexOfProp(prop);
  if (nls >= 0) {
    if (nls_[size_t(nls)].Value.empty()) GetSessionParameters();
    value = nls_[size_t(nls)].Value;
    return true;
  }
  switch (prop) {
    case prMaxStringSize:
      value = int32_t(MaxStringSize());
      return true;
    case prCharLength:
      value = int32_t(detectCharLength_ ? 0 : charLength_);
      return true;
    case prUseUnicode:
      value = useUnicode_;
      return true;
    case prCharset:
      value = charset_;
      return true;
    case prThreadSafety:
      value = threadSafety_;
      return true;
    default:
      return TQvConnection::GetProp(prop, value);
  }
}

bool TOCIConnection::SetEventProp(int prop, const dataaccess::TQvEvent& event) {
  if (prop == dataaccess::evOnError) {
    if (std::holds_alternative<std::monostate>(event)) {
      onError_ = nullptr;
      return true;
    }
    if (!std::holds_alternative<dataaccess::TQvErrorEvent>(event)) dataaccess::UnknownPropNumber(prop);
    onError_ = std::get<dataaccess::TQvErrorEvent>(event);
    return true;
  }
  return TQvConnection::SetEventProp(prop, event);
}

sb4 TOCIConnection::failoverCallback(void*, void*, void* context, ub4 type, ub4 event) {
  auto* connection = static_cast<TOCIConnection*>(context);
  if (connection == nullptr) dataaccess::AssertionFailed("failover context", __FILE__, __LINE__);
  if (event == 1)
    for (const TNlsSessionParam& entry : connection->nls_)
      if (entry.IsUserDefined) connection->SetNlsParameter(entry.Name, entry.Value);
  bool retry = false;
  if (connection->onFailover_) connection->onFailover_(int(event), int(type), retry);
  return retry ? 25410 : 0;
}

void TOCIConnection::AttachCommand(TOCICommand* command) {
  if (std::find(commands_.begin(), commands_.end(), command) == commands_.end()) commands_.push_back(command);
}

void TOCIConnection::DetachCommand(TOCICommand* command) {
  std::erase(commands_, command);
}

int64_t TOCIConnection::RunThread(std::function<void()> proc, EndProc endProc) {
  if (poster_ == nullptr) {
    {
      std::lock_guard<std::mutex> guard(live().lock);
      if (!live().runner) RaiseError("Non-blocking execution needs the window thread");
    }
    // The connection's utility window: its workers' ends arrive on the window thread.
    if (!windowPoster_) windowPoster_ = std::make_unique<RunnerPoster>(serial_);
  }
  platform::EventPoster* poster = poster_ != nullptr ? poster_ : windowPoster_.get();
  std::lock_guard<std::mutex> guard(workersLock_);
  const int64_t id = nextWorker_++;
  auto worker = std::make_unique<Worker>();
  worker->endProc = std::move(endProc);
  Worker* raw = worker.get();
  workers_[id] = std::move(worker);
  raw->thread = std::jthread([raw, id, poster, proc = std::move(proc)] {
    try {
      proc();
    } catch (...) {
      raw->error = std::current_exception();
    }
    poster->post({kThreadDoneMessage, id, 0});
  });
  return id;
}

bool TOCIConnection::StopThread(int64_t thread, bool freeContext) {
  std::unique_ptr<Worker> worker;
  {
    std::lock_guard<std::mutex> guard(workersLock_);
    auto found = workers_.find(thread);
    if (found == workers_.end()) return false;
    if (freeContext) {
      worker = std::move(found->second);
      workers_.erase(found);
    } else if (found->second->thread.joinable()) {
      // Joined below without taking the entry away: the posted end still finds it.
      Worker* raw = found->second.get();
      try {
        BreakExec();
      } catch (const std::exception&) {
        // A session that cannot be interrupted still ends its call; the join waits for it.
      }
      raw->thread.join();
      return true;
    }
  }
  if (!worker->thread.joinable()) return false;
  try {
    BreakExec();
  } catch (const std::exception&) {
    // As above: the call ends by itself, then the join returns.
  }
  worker->thread.join();
  return true;
}

void TOCIConnection::DispatchThreadEvent(const platform::PostedEvent& event) {
  if (event.message != kThreadDoneMessage) return;
  std::unique_ptr<Worker> worker;
  {
    std::lock_guard<std::mutex> guard(workersLock_);
    auto found = workers_.find(event.first);
    if (found == workers_.end()) return;
    worker = std::move(found->second);
    workers_.erase(found);
  }
  if (worker->thread.joinable()) worker->thread.join();
  // The end procedure decides what becomes of a failure; without one it is raised here.
  if (worker->endProc)
    worker->endProc(worker->error);
  else if (worker->error)
    std::rethrow_exception(worker->error);
}

}  // namespace oracle
