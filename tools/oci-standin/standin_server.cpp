#include "tools/oci-standin/standin_server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "tools/oci-standin/standin_number.h"
#include "tools/oci-standin/standin_objects.h"
#include "tools/oci-standin/standin_values.h"

namespace ocistandin {
namespace {

// The value of a cursor expression starts with this, then its query.
constexpr std::string_view kCursorMark =
    "\x01"
    "cursor"
    "\x01";

// A statement on a connection, finalized on every path.
struct Statement {
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      const std::string message = sqlite3_errmsg(db);
      sqlite3_finalize(stmt);
      throw OraError(600, "internal error code, arguments: [catalog], [" + message + "]");
    }
  }
  ~Statement() { sqlite3_finalize(stmt); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  void bind(int i, std::string_view text) {
    sqlite3_bind_text(stmt, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  bool step() { return sqlite3_step(stmt) == SQLITE_ROW; }
  std::string text(int i) const {
    const auto* p = sqlite3_column_text(stmt, i);
    return p ? reinterpret_cast<const char*>(p) : "";
  }
  sqlite3_stmt* stmt = nullptr;
};

// A connection closed on every path.
struct Connection {
  explicit Connection(const std::string& path, int flags = SQLITE_OPEN_READWRITE) {
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
      const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close(db);
      throw OraError(12154, "TNS:could not resolve the connect identifier specified (" + message + ")");
    }
    sqlite3_busy_timeout(db, 5000);
  }
  ~Connection() { sqlite3_close(db); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  sqlite3* db = nullptr;
};

const std::map<std::string, std::string>& defaultNls() {
  static const std::map<std::string, std::string> values = {
      {"NLS_LANGUAGE", "AMERICAN"},
      {"NLS_TERRITORY", "AMERICA"},
      {"NLS_CURRENCY", "$"},
      {"NLS_ISO_CURRENCY", "AMERICA"},
      {"NLS_NUMERIC_CHARACTERS", ".,"},
      {"NLS_CALENDAR", "GREGORIAN"},
      {"NLS_DATE_FORMAT", "DD-MON-RR"},
      {"NLS_DATE_LANGUAGE", "AMERICAN"},
      {"NLS_SORT", "BINARY"},
      {"NLS_TIME_FORMAT", "HH.MI.SSXFF AM"},
      {"NLS_TIMESTAMP_FORMAT", "DD-MON-RR HH.MI.SSXFF AM"},
      {"NLS_TIME_TZ_FORMAT", "HH.MI.SSXFF AM TZR"},
      {"NLS_TIMESTAMP_TZ_FORMAT", "DD-MON-RR HH.MI.SSXFF AM TZR"},
      {"NLS_DUAL_CURRENCY", "$"},
      {"NLS_COMP", "BINARY"},
      {"NLS_LENGTH_SEMANTICS", "BYTE"},
      {"NLS_NCHAR_CONV_EXCP", "FALSE"}};
  return values;
}

int charsetId(std::string_view name) {
  static const std::pair<const char*, int> ids[] = {
      {"US7ASCII", 1},       {"WE8ISO8859P1", 31},  {"EE8ISO8859P2", 32},  {"WE8ISO8859P15", 46},
      {"CL8MSWIN1251", 171}, {"EE8MSWIN1250", 170}, {"WE8MSWIN1252", 178}, {"JA16SJIS", 832},
      {"ZHS16GBK", 852},     {"UTF8", 871},         {"AL32UTF8", 873},     {"AL16UTF16", 2000},
      {"JA16EUC", 830},      {"KO16KSC5601", 840},  {"KO16MSWIN949", 846}, {"ZHS16CGB231280", 850},
      {"ZHS32GB18030", 854}, {"ZHT32EUC", 860},     {"ZHT16BIG5", 865},    {"ZHT16MSWIN950", 867}};
  const std::string u = upperAscii(name);
  for (const auto& [n, id] : ids)
    if (u == n) return id;
  return 0;
}

Session* sessionOf(sqlite3_context* ctx) {
  return static_cast<Session*>(sqlite3_user_data(ctx));
}

std::string argText(sqlite3_value* v) {
  const auto* p = sqlite3_value_text(v);
  return p ? std::string(reinterpret_cast<const char*>(p), sqlite3_value_bytes(v)) : std::string();
}

void resultText(sqlite3_context* ctx, const std::string& s) {
  sqlite3_result_text(ctx, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

void resultOraError(sqlite3_context* ctx, int code, const std::string& text) {
  char head[16];
  std::snprintf(head, sizeof head, "ORA-%05d: ", code);
  resultText(ctx, std::string());
  const std::string message = head + text;
  sqlite3_result_error(ctx, message.c_str(), -1);
}

const char* dateErrorText(int code) {
  switch (code) {
    case 1821:
      return "date format not recognized";
    case 1830:
      return "date format picture ends before converting entire input string";
    case 1841:
      return "(full) year must be between -4713 and +9999, and not be 0";
    case 1843:
      return "not a valid month";
    case 1847:
      return "day of month must be between 1 and last day of month";
    case 1849:
      return "hour must be between 1 and 12";
    case 1850:
      return "hour must be between 0 and 23";
    case 1851:
      return "minutes must be between 0 and 59";
    case 1852:
      return "seconds must be between 0 and 59";
    case 1855:
      return "AM/A.M. or PM/P.M. required";
    default:
      return "literal does not match format string";
  }
}

// Byte offsets of the characters of a UTF-8 text, and its length as the last entry.
std::vector<size_t> characterStarts(const std::string& s) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < s.size(); ++i)
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) starts.push_back(i);
  starts.push_back(s.size());
  return starts;
}

void fnNvl(sqlite3_context* ctx, int, sqlite3_value** argv) {
  sqlite3_result_value(ctx, sqlite3_value_type(argv[0]) == SQLITE_NULL ? argv[1] : argv[0]);
}

void fnLengthb(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  if (sqlite3_value_type(argv[0]) == SQLITE_BLOB)
    return sqlite3_result_int(ctx, sqlite3_value_bytes(argv[0]));
  sqlite3_result_int(ctx, static_cast<int>(argText(argv[0]).size()));
}

// chr(n): the bytes of n in the database character set; big-endian bytes under a multi-byte
// set, one byte otherwise.
void fnChr(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  uint64_t n = static_cast<uint64_t>(sqlite3_value_int64(argv[0])) & 0xFFFFFFFFu;
  std::string out;
  if (sessionOf(ctx)->multiByteCharset()) {
    do {
      out.insert(out.begin(), static_cast<char>(n & 0xFF));
      n >>= 8;
    } while (n != 0);
  } else {
    out.push_back(static_cast<char>(n & 0xFF));
  }
  resultText(ctx, out);
}

// instr(text, sought, start[, occurrence]) in characters; a negative start searches backwards
// from that many characters before the end.
void fnInstr(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  for (int i = 0; i < argc; ++i)
    if (sqlite3_value_type(argv[i]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  const std::string text = argText(argv[0]);
  const std::string sought = argText(argv[1]);
  const int64_t start = sqlite3_value_int64(argv[2]);
  const int64_t occurrence = argc > 3 ? sqlite3_value_int64(argv[3]) : 1;
  if (start == 0 || occurrence <= 0 || sought.empty()) return sqlite3_result_int(ctx, 0);
  const std::vector<size_t> starts = characterStarts(text);
  const auto chars = static_cast<int64_t>(starts.size() - 1);
  int64_t found = 0;
  if (start > 0) {
    for (int64_t c = start - 1; c < chars; ++c) {
      if (text.compare(starts[c], sought.size(), sought) == 0 && ++found == occurrence)
        return sqlite3_result_int64(ctx, c + 1);
    }
  } else {
    for (int64_t c = chars + start; c >= 0; --c) {
      if (text.compare(starts[c], sought.size(), sought) == 0 && ++found == occurrence)
        return sqlite3_result_int64(ctx, c + 1);
    }
  }
  sqlite3_result_int(ctx, 0);
}

// rpad(text, n[, pad]): cut or padded to n characters.
void fnRpad(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  for (int i = 0; i < argc; ++i)
    if (sqlite3_value_type(argv[i]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  const std::string text = argText(argv[0]);
  const int64_t n = sqlite3_value_int64(argv[1]);
  const std::string pad = argc > 2 ? argText(argv[2]) : std::string(" ");
  if (n <= 0 || pad.empty()) return sqlite3_result_null(ctx);
  if (n > 32767) return resultOraError(ctx, 6502, "PL/SQL: numeric or value error");
  const std::vector<size_t> starts = characterStarts(text);
  const auto chars = static_cast<int64_t>(starts.size() - 1);
  if (chars >= n) return resultText(ctx, text.substr(0, starts[static_cast<size_t>(n)]));
  std::string out = text;
  const std::vector<size_t> padStarts = characterStarts(pad);
  const auto padChars = static_cast<int64_t>(padStarts.size() - 1);
  for (int64_t c = chars, k = 0; c < n; ++c, k = (k + 1) % padChars)
    out.append(pad, padStarts[k], padStarts[k + 1] - padStarts[k]);
  resultText(ctx, out);
}

void fnToChar(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  const int type = sqlite3_value_type(argv[0]);
  if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
    if (argc > 1) return resultOraError(ctx, 1481, "invalid number format model");
    if (type == SQLITE_INTEGER) return resultText(ctx, std::to_string(sqlite3_value_int64(argv[0])));
    return resultText(ctx, withDecimal(*sessionOf(ctx), numberText(sqlite3_value_double(argv[0]))));
  }
  const std::string text = argText(argv[0]);
  if (!text.empty() && text[0] == '#' && argc == 1) {
    if (const auto n = numberFromStoredText(text))
      return resultText(ctx, withDecimal(*sessionOf(ctx), numberText(*n)));
  }
  DateTime d;
  TimeStamp t;
  if (text.size() > 19 && parseStoredTimestamp(text, t)) {
    const std::string model =
        argc > 1 ? argText(argv[1])
                 : sessionOf(ctx)->nls(t.hasZone ? "NLS_TIMESTAMP_TZ_FORMAT" : "NLS_TIMESTAMP_FORMAT");
    std::string out;
    if (const int code = formatTimestamp(t, model, 6, out))
      return resultOraError(ctx, code, dateErrorText(code));
    return resultText(ctx, out);
  }
  if (!parseCanonicalDate(text, d)) {
    if (argc > 1) return resultOraError(ctx, 1722, "invalid number");
    return resultText(ctx, text);
  }
  const std::string model = argc > 1 ? argText(argv[1]) : sessionOf(ctx)->nls("NLS_DATE_FORMAT");
  std::string out;
  if (const int code = formatDate(d, model, out)) return resultOraError(ctx, code, dateErrorText(code));
  resultText(ctx, out);
}

// to_timestamp(text[, model]): the stored form of a TIMESTAMP.
void fnToTimestamp(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  const std::string text = argText(argv[0]);
  TimeStamp t;
  if (argc == 1 && parseStoredTimestamp(text, t)) return resultText(ctx, storedTimestamp(t));
  const std::string model = argc > 1 ? argText(argv[1]) : sessionOf(ctx)->nls("NLS_TIMESTAMP_FORMAT");
  if (const int code = parseTimestamp(text, model, t)) return resultOraError(ctx, code, dateErrorText(code));
  t.hasZone = false;
  resultText(ctx, storedTimestamp(t));
}

// to_number(text[, model]): the number in its stored form. A model's group separators (G or ,)
// are skipped in the text; other model elements are not checked.
void fnToNumber(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  const int type = sqlite3_value_type(argv[0]);
  if (type == SQLITE_NULL) return sqlite3_result_null(ctx);
  if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) return sqlite3_result_value(ctx, argv[0]);
  std::string text = argText(argv[0]);
  if (argc > 1) {
    const std::string model = upperAscii(argText(argv[1]));
    if (model.find('G') != std::string::npos || model.find(',') != std::string::npos)
      text.erase(std::remove(text.begin(), text.end(), ','), text.end());
  }
  const auto n = numberFromStoredText(text);
  if (!n) return resultOraError(ctx, 1722, "invalid number");
  const StoredNumber stored = storedNumber(*n);
  switch (stored.kind) {
    case StoredNumber::Kind::Integer:
      return sqlite3_result_int64(ctx, stored.integer);
    case StoredNumber::Kind::Real:
      return sqlite3_result_double(ctx, stored.real);
    case StoredNumber::Kind::Text:
      return resultText(ctx, stored.text);
  }
}

// ora_sysdate() and ora_systimestamp(): the current time (UTC, the server's zone here).
void fnSysdate(sqlite3_context* ctx, int, sqlite3_value**) {
  const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  const auto day = std::chrono::floor<std::chrono::days>(now);
  const std::chrono::year_month_day ymd{day};
  const std::chrono::hh_mm_ss hms{now - day};
  const DateTime d{static_cast<int>(ymd.year()),
                   static_cast<int>(static_cast<unsigned>(ymd.month())),
                   static_cast<int>(static_cast<unsigned>(ymd.day())),
                   static_cast<int>(hms.hours().count()),
                   static_cast<int>(hms.minutes().count()),
                   static_cast<int>(hms.seconds().count())};
  resultText(ctx, canonicalDate(d));
}

// ora_date_add(date, days): the date moved by a number of days (fractions move the time).
void fnDateAdd(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
    return sqlite3_result_null(ctx);
  DateTime d;
  if (!parseCanonicalDate(argText(argv[0]), d)) return resultOraError(ctx, 1841, dateErrorText(1841));
  const double days = sqlite3_value_double(argv[1]);
  const auto base = std::chrono::sys_days{std::chrono::year{d.year} / d.month / d.day};
  const auto moved = std::chrono::sys_seconds{base} +
                     std::chrono::seconds{d.hour * 3600 + d.minute * 60 + d.second} +
                     std::chrono::seconds{static_cast<int64_t>(std::llround(days * 86400))};
  const auto day = std::chrono::floor<std::chrono::days>(moved);
  const std::chrono::year_month_day ymd{day};
  const std::chrono::hh_mm_ss hms{moved - day};
  const DateTime r{static_cast<int>(ymd.year()),
                   static_cast<int>(static_cast<unsigned>(ymd.month())),
                   static_cast<int>(static_cast<unsigned>(ymd.day())),
                   static_cast<int>(hms.hours().count()),
                   static_cast<int>(hms.minutes().count()),
                   static_cast<int>(hms.seconds().count())};
  if (!isValidDate(r)) return resultOraError(ctx, 1841, dateErrorText(1841));
  resultText(ctx, canonicalDate(r));
}

void fnSystimestamp(sqlite3_context* ctx, int, sqlite3_value**) {
  const auto now = std::chrono::floor<std::chrono::microseconds>(std::chrono::system_clock::now());
  const auto day = std::chrono::floor<std::chrono::days>(now);
  const std::chrono::year_month_day ymd{day};
  const std::chrono::hh_mm_ss hms{now - day};
  TimeStamp t;
  t.date = {static_cast<int>(ymd.year()),
            static_cast<int>(static_cast<unsigned>(ymd.month())),
            static_cast<int>(static_cast<unsigned>(ymd.day())),
            static_cast<int>(hms.hours().count()),
            static_cast<int>(hms.minutes().count()),
            static_cast<int>(hms.seconds().count())};
  t.nanos = static_cast<uint32_t>(hms.subseconds().count() * 1000);
  t.hasZone = true;
  resultText(ctx, storedTimestamp(t));
}

void fnToDate(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  const std::string text = argText(argv[0]);
  DateTime d;
  if (argc == 1 && parseCanonicalDate(text, d)) return resultText(ctx, canonicalDate(d));
  const std::string model = argc > 1 ? argText(argv[1]) : sessionOf(ctx)->nls("NLS_DATE_FORMAT");
  if (const int code = parseDate(text, model, d)) return resultOraError(ctx, code, dateErrorText(code));
  resultText(ctx, canonicalDate(d));
}

void fnLocalTransactionId(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  const std::string id = sessionOf(ctx)->localTransactionId(argc > 0 && sqlite3_value_int(argv[0]) != 0);
  if (id.empty()) return sqlite3_result_null(ctx);
  resultText(ctx, id);
}

void fnSysContext(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Session& s = *sessionOf(ctx);
  if (upperAscii(argText(argv[0])) != "USERENV") return sqlite3_result_null(ctx);
  const std::string p = upperAscii(argText(argv[1]));
  if (p == "SESSION_USER" || p == "CURRENT_USER" || p == "CURRENT_SCHEMA") return resultText(ctx, s.user());
  if (p == "DB_NAME" || p == "INSTANCE_NAME" || p == "SERVICE_NAME")
    return resultText(ctx, std::filesystem::path(s.folder()).filename().string());
  if (p == "LANGUAGE")
    return resultText(ctx,
                      s.nls("NLS_LANGUAGE") + "_" + s.nls("NLS_TERRITORY") + "." + s.nls("NLS_CHARACTERSET"));
  if (p == "NLS_DATE_FORMAT" || p == "NLS_DATE_LANGUAGE" || p == "NLS_TERRITORY")
    return resultText(ctx, s.nls(p));
  if (p == "HOST" || p == "TERMINAL" || p == "SERVER_HOST") return resultText(ctx, "localhost");
  resultOraError(ctx, 2003, "invalid USERENV parameter");
}

void fnNlsCharsetId(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const int id = charsetId(argText(argv[0]));
  if (id == 0) return sqlite3_result_null(ctx);
  sqlite3_result_int(ctx, id);
}

// ora_nextval([owner,] name) and ora_currval([owner,] name).
template <bool next>
void fnSequence(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  Session& s = *sessionOf(ctx);
  const std::string owner = argc > 1 ? argText(argv[0]) : s.user();
  const std::string name = argText(argv[argc - 1]);
  try {
    sqlite3_result_int64(ctx, next ? s.nextSequenceValue(owner, name) : s.currentSequenceValue(owner, name));
  } catch (const OraError& e) {
    resultOraError(ctx, e.code, e.what());
  }
}

// nls_session_parameters reads the session's settings through these, so that ALTER SESSION stays
// outside transactions as the server's does.
void fnNlsCount(sqlite3_context* ctx, int, sqlite3_value**) {
  sqlite3_result_int(ctx, static_cast<int>(sessionOf(ctx)->sessionNls().size()));
}

void fnNls(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const auto values = sessionOf(ctx)->sessionNls();
  const int64_t i = sqlite3_value_int64(argv[0]);
  if (i < 0 || i >= static_cast<int64_t>(values.size())) return sqlite3_result_null(ctx);
  const auto& entry = values[static_cast<size_t>(i)];
  resultText(ctx, sqlite3_value_int(argv[1]) == 0 ? entry.first : entry.second);
}

// bfilename(directory, file): a BFILE value, kept as "DIRECTORY/file".
void fnBfilename(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
    return sqlite3_result_null(ctx);
  resultText(ctx, argText(argv[0]) + "/" + argText(argv[1]));
}

// empty_clob() and empty_blob(): an empty LOB, which unlike NULL has a locator to write through;
// kept as a zero-length blob, which SQLite holds apart from NULL.
void fnEmptyLob(sqlite3_context* ctx, int, sqlite3_value**) {
  sqlite3_result_zeroblob(ctx, 0);
}

// ora_cursor(query text): the value of a cursor expression.
void fnCursor(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  // Marks \x02n\x02 stand for the outer row's values: each becomes a literal.
  const std::string query = argText(argv[0]);
  std::string out(kCursorMark);
  for (size_t i = 0; i < query.size(); ++i) {
    const size_t end = query[i] == '\x02' ? query.find('\x02', i + 1) : std::string::npos;
    if (end == std::string::npos) {
      out += query[i];
      continue;
    }
    const int n = std::atoi(query.c_str() + i + 1);
    if (n >= 1 && n < argc) {
      sqlite3_value* v = argv[n];
      switch (sqlite3_value_type(v)) {
        case SQLITE_NULL:
          out += "NULL";
          break;
        case SQLITE_INTEGER:
          out += std::to_string(sqlite3_value_int64(v));
          break;
        case SQLITE_FLOAT:
          out += numberText(sqlite3_value_double(v));
          break;
        default:
          out += quoteLiteral(argText(v));
          break;
      }
    }
    i = end;
  }
  resultText(ctx, out);
}

// ora_rowid(row number): the ROWID text; ora_rowid_row(text): back to the row number.
void fnRowid(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  resultText(ctx, rowidText(sqlite3_value_int64(argv[0])));
}

void fnRowidRow(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  int64_t row = 0;
  if (!rowidRow(argText(argv[0]), row)) return resultOraError(ctx, 1410, "invalid ROWID");
  sqlite3_result_int64(ctx, row);
}

void rowChanged(void* session, int, const char*, const char*, sqlite3_int64 row) {
  static_cast<Session*>(session)->noteChangedRow(row);
}

// ora_coltype(declared, part): part 0 type name, 1 length, 2 precision, 3 scale.
void fnColType(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const DeclaredType t = parseDeclaredType(argText(argv[0]));
  switch (sqlite3_value_int(argv[1])) {
    case 0:
      return resultText(ctx, t.name);
    case 1:
      return sqlite3_result_int(ctx, t.size);
    case 2:
      return t.hasPrecision ? sqlite3_result_int(ctx, t.precision) : sqlite3_result_null(ctx);
    default:
      return t.hasScale ? sqlite3_result_int(ctx, t.scale) : sqlite3_result_null(ctx);
  }
}

}  // namespace

DeclaredType parseDeclaredType(std::string_view declared) {
  std::string u = upperAscii(declared);
  // A quoted type name is read as its text.
  u.erase(std::remove(u.begin(), u.end(), '"'), u.end());
  const size_t paren = u.find('(');
  std::string name;
  for (char c : u.substr(0, paren)) {
    if (c == ' ' || c == '\t' || c == '_') {
      if (!name.empty() && name.back() != ' ') name += ' ';
    } else {
      name += c;
    }
  }
  while (!name.empty() && name.back() == ' ') name.pop_back();
  std::vector<long> args;
  if (paren != std::string::npos) {
    const char* p = u.c_str() + paren + 1;
    while (*p) {
      char* end = nullptr;
      const long v = std::strtol(p, &end, 10);
      if (end == p) break;
      args.push_back(v);
      p = end;
      while (*p == ' ' || *p == ',' || (*p >= 'A' && *p <= 'Z')) ++p;
    }
  }
  auto arg = [&](size_t i, long fallback) {
    return i < args.size() ? std::clamp(args[i], -127L, 32767L) : fallback;
  };
  DeclaredType t;
  if (name == "VARCHAR2" || name == "VARCHAR" || name == "TEXT") {
    t = {"VARCHAR2", 1, static_cast<uint16_t>(arg(0, 4000))};
    t.charsetForm = 1;
  } else if (name == "NVARCHAR2" || name == "NATIONAL CHARACTER VARYING") {
    t = {"NVARCHAR2", 1, 0};
    t.charsetForm = 2;
    t.characters = static_cast<uint16_t>(arg(0, 2000));
    t.size = static_cast<uint16_t>(2 * t.characters);
  } else if (name == "CHAR" || name == "CHARACTER") {
    t = {"CHAR", 96, static_cast<uint16_t>(arg(0, 1))};
    t.charsetForm = 1;
  } else if (name == "NCHAR" || name == "NATIONAL CHARACTER") {
    t = {"NCHAR", 96, 0};
    t.charsetForm = 2;
    t.characters = static_cast<uint16_t>(arg(0, 1));
    t.size = static_cast<uint16_t>(2 * t.characters);
  } else if (name == "NUMBER" || name == "NUMERIC" || name == "DECIMAL") {
    t = {"NUMBER", 2, 22};
    if (!args.empty()) {
      t.precision = static_cast<int16_t>(arg(0, 0));
      t.scale = static_cast<int8_t>(arg(1, 0));
      t.hasPrecision = t.hasScale = true;
    } else {
      t.scale = -127;
    }
  } else if (name == "INTEGER" || name == "INT" || name == "SMALLINT") {
    t = {"NUMBER", 2, 22, 38, 0, true, true};
  } else if (name == "FLOAT" || name == "REAL" || name == "DOUBLE" || name == "DOUBLE PRECISION") {
    t = {"FLOAT", 2, 22, static_cast<int16_t>(arg(0, 126)), -127, true, false};
  } else if (name == "DATE") {
    t = {"DATE", 12, 7};
  } else if (name == "RAW") {
    t = {"RAW", 23, static_cast<uint16_t>(arg(0, 2000))};
  } else if (name == "LONG RAW") {
    t = {"LONG RAW", 24, 0};
  } else if (name == "LONG") {
    t = {"LONG", 8, 0};
    t.charsetForm = 1;
  } else if (name == "CLOB") {
    t = {"CLOB", 112, 4000};
    t.charsetForm = 1;
  } else if (name == "NCLOB") {
    t = {"NCLOB", 112, 4000};
    t.charsetForm = 2;
  } else if (name == "BLOB") {
    t = {"BLOB", 113, 4000};
  } else if (name == "BFILE") {
    t = {"BFILE", 114, 530};
  } else if (name == "ROWID") {
    t = rowidType();
  } else if (name == "UROWID") {
    t = {"UROWID", 104, static_cast<uint16_t>(arg(0, 4000))};
  } else if (name == "TIMESTAMP") {
    t = {"TIMESTAMP", 187, 11};
    t.fsPrecision = static_cast<uint8_t>(arg(0, 6));
  } else if (name == "TIMESTAMP WITH TIME ZONE") {
    t = {"TIMESTAMP WITH TIME ZONE", 188, 13};
    t.fsPrecision = static_cast<uint8_t>(arg(0, 6));
  } else if (name == "TIMESTAMP WITH LOCAL TIME ZONE") {
    t = {"TIMESTAMP WITH LOCAL TIME ZONE", 232, 11};
    t.fsPrecision = static_cast<uint8_t>(arg(0, 6));
  } else if (name == "INTERVAL YEAR TO MONTH") {
    t = {"INTERVAL YEAR TO MONTH", 189, 5};
    t.precision = static_cast<int16_t>(arg(0, 2));
  } else if (name == "INTERVAL DAY TO SECOND") {
    t = {"INTERVAL DAY TO SECOND", 190, 11};
    t.precision = static_cast<int16_t>(arg(0, 2));
    t.fsPrecision = static_cast<uint8_t>(arg(1, 6));
  } else {
    t = {"VARCHAR2", 1, 4000};
    t.charsetForm = 1;
    t.known = false;
  }
  return t;
}

DeclaredType rowidType() {
  return {"ROWID", 104, 4};
}

DeclaredType cursorType() {
  return {"REF CURSOR", 116, 4};
}

bool cursorExpression(const Value& v, std::string& sql) {
  if (v.kind != Value::Kind::Text || v.bytes.compare(0, kCursorMark.size(), kCursorMark) != 0) return false;
  sql = v.bytes.substr(kCursorMark.size());
  return true;
}

namespace {

void createTables(sqlite3* db, const char* ddl) {
  char* error = nullptr;
  if (sqlite3_exec(db, ddl, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "unknown";
    sqlite3_free(error);
    throw OraError(600, "internal error code, arguments: [catalog], [" + message + "]");
  }
}

}  // namespace

void createCatalog(sqlite3* db) {
  static const char* ddl =
      "CREATE TABLE \"user$\"(username TEXT PRIMARY KEY COLLATE NOCASE, password TEXT NOT NULL,"
      " user_id INTEGER, account_status TEXT NOT NULL DEFAULT 'OPEN',"
      " default_tablespace TEXT NOT NULL DEFAULT 'USERS', created TEXT, sysdba INTEGER NOT NULL"
      " DEFAULT 0);"
      "CREATE TABLE \"v$nls_parameters\"(parameter TEXT PRIMARY KEY, value TEXT);"
      "CREATE TABLE product_component_version(product TEXT, version TEXT, status TEXT);"
      "CREATE TABLE \"error$\"(owner TEXT, name TEXT, type TEXT, sequence INTEGER, line INTEGER,"
      " position INTEGER, text TEXT);"
      "CREATE TABLE \"type$\"(owner TEXT, name TEXT, source TEXT NOT NULL, PRIMARY KEY(owner, name));"
      "CREATE TABLE \"objtab$\"(owner TEXT, name TEXT, type_owner TEXT, type_name TEXT,"
      " PRIMARY KEY(owner, name));";
  createTables(db, ddl);
}

void createSequenceStore(sqlite3* db) {
  static const char* ddl =
      "CREATE TABLE \"seq$\"(owner TEXT, name TEXT, last_number INTEGER NOT NULL,"
      " increment_by INTEGER NOT NULL DEFAULT 1, PRIMARY KEY(owner, name));";
  createTables(db, ddl);
}

std::string resolveServer(std::string_view connect) {
  std::string name(connect);
  if (name.empty()) {
    const char* sid = std::getenv("ORACLE_SID");
    name = sid ? sid : "";
  }
  const char* root = std::getenv("OCI_STANDIN_ROOT");
  const bool plain =
      !name.empty() && name != "." && name != ".." && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
      });
  if (!root || !*root || !plain)
    throw OraError(12154, "TNS:could not resolve the connect identifier specified");
  const std::string folder = std::string(root) + "/" + name;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(folder + "/catalog.db", ec))
    throw OraError(12154, "TNS:could not resolve the connect identifier specified");
  return folder;
}

std::string serverBanner(const std::string& folder) {
  Connection c(folder + "/catalog.db", SQLITE_OPEN_READONLY);
  Statement s(c.db,
              "SELECT product, version, status FROM product_component_version"
              " WHERE upper(product) LIKE '%ORACLE%' LIMIT 1");
  if (!s.step()) return "Oracle Database Release 10.2.0.1.0 - Production";
  return s.text(0) + " Release " + s.text(1) + " - " + s.text(2);
}

void changePassword(const std::string& folder, std::string_view user, std::string_view oldPassword,
                    std::string_view newPassword) {
  Connection c(folder + "/catalog.db");
  Statement s(c.db, "UPDATE \"user$\" SET password = ?3 WHERE username = ?1 AND password = ?2");
  s.bind(1, user);
  s.bind(2, oldPassword);
  s.bind(3, newPassword);
  s.step();
  if (sqlite3_changes(c.db) != 1) throw OraError(1017, "invalid username/password; logon denied");
}

// --- Session ----------------------------------------------------------------------------------

Session::Session(const std::string& folder, std::string_view user, std::string_view password, bool privileged)
    : folder_(folder), user_(upperAscii(user)) {
  // NLS_LANG's character set must be one the server knows, else the logon is refused.
  if (const char* lang = std::getenv("NLS_LANG"); lang && *lang) {
    const std::string text = lang;
    const size_t dot = text.find('.');
    if (dot != std::string::npos && charsetId(text.substr(dot + 1)) == 0)
      throw OraError(12705, "Cannot access NLS data files or invalid environment specified");
  }
  std::vector<std::string> others;
  {
    Connection catalog(folder + "/catalog.db", SQLITE_OPEN_READONLY);
    Statement s(catalog.db, "SELECT password, sysdba, account_status FROM \"user$\" WHERE username = ?1");
    s.bind(1, user_);
    if (!s.step() || s.text(0) != password) throw OraError(1017, "invalid username/password; logon denied");
    if (privileged && sqlite3_column_int(s.stmt, 1) == 0) throw OraError(1031, "insufficient privileges");
    if (upperAscii(s.text(2)).find("LOCKED") != std::string::npos)
      throw OraError(28000, "the account is locked");
    Statement u(catalog.db, "SELECT username FROM \"user$\" ORDER BY username");
    while (u.step())
      if (upperAscii(u.text(0)) != user_ && upperAscii(u.text(0)) != "SYS")
        others.push_back(upperAscii(u.text(0)));
    Statement n(catalog.db, "SELECT parameter, value FROM \"v$nls_parameters\"");
    nls_ = defaultNls();
    while (n.step()) {
      const std::string name = upperAscii(n.text(0));
      if (defaultNls().count(name) || name.find("CHARACTERSET") != std::string::npos) nls_[name] = n.text(1);
    }
    if (!nls_.count("NLS_CHARACTERSET")) nls_["NLS_CHARACTERSET"] = "AL32UTF8";
  }
  const std::string own = folder + "/" + user_ + ".db";
  if (sqlite3_open_v2(own.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw OraError(1034, "ORACLE not available (" + message + ")");
  }
  try {
    sqlite3_busy_timeout(db_, 5000);
    sqlite3_extended_result_codes(db_, 1);
    exec("PRAGMA main.journal_mode = WAL");
    exec("ATTACH DATABASE " + quoteLiteral(folder + "/catalog.db") + " AS sys");
    std::vector<std::string> schemas{user_};
    for (const std::string& other : others) {
      if (schemas.size() >= 9) break;
      const std::string path = folder + "/" + other + ".db";
      std::error_code ec;
      if (!std::filesystem::is_regular_file(path, ec)) continue;
      exec("ATTACH DATABASE " + quoteLiteral(path) + " AS " + quoteName(other));
      schemas.push_back(other);
    }
    registerFunctions();
    registerTypeConstructors(*this);
    createDictionary(schemas);
    schemas_ = schemas;
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

Session::~Session() {
  if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close_v2(db_);
  sqlite3_close_v2(sequenceDb_);
}

void Session::exec(const std::string& sql) {
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) throw mapError(rc);
}

void Session::registerFunctions() {
  struct Fn {
    const char* name;
    int args;
    void (*fn)(sqlite3_context*, int, sqlite3_value**);
  };
  static const Fn functions[] = {{"nvl", 2, fnNvl},
                                 {"lengthb", 1, fnLengthb},
                                 {"chr", 1, fnChr},
                                 {"instr", 3, fnInstr},
                                 {"instr", 4, fnInstr},
                                 {"rpad", 2, fnRpad},
                                 {"rpad", 3, fnRpad},
                                 {"to_char", 1, fnToChar},
                                 {"to_char", 2, fnToChar},
                                 {"to_date", 1, fnToDate},
                                 {"to_date", 2, fnToDate},
                                 {"sys_context", 2, fnSysContext},
                                 {"ora_local_transaction_id", 0, fnLocalTransactionId},
                                 {"ora_local_transaction_id", 1, fnLocalTransactionId},
                                 {"nls_charset_id", 1, fnNlsCharsetId},
                                 {"ora_nextval", 1, fnSequence<true>},
                                 {"ora_nextval", 2, fnSequence<true>},
                                 {"ora_currval", 1, fnSequence<false>},
                                 {"ora_currval", 2, fnSequence<false>},
                                 {"ora_coltype", 2, fnColType},
                                 {"ora_rowid", 1, fnRowid},
                                 {"to_timestamp", 1, fnToTimestamp},
                                 {"to_timestamp", 2, fnToTimestamp},
                                 {"to_number", 1, fnToNumber},
                                 {"to_number", 2, fnToNumber},
                                 {"ora_sysdate", 0, fnSysdate},
                                 {"ora_systimestamp", 0, fnSystimestamp},
                                 {"ora_date_add", 2, fnDateAdd},
                                 {"ora_cursor", -1, fnCursor},
                                 {"empty_clob", 0, fnEmptyLob},
                                 {"empty_blob", 0, fnEmptyLob},
                                 {"bfilename", 2, fnBfilename},
                                 {"ora_rowid_row", 1, fnRowidRow},
                                 {"ora_nls_count", 0, fnNlsCount},
                                 {"ora_nls", 2, fnNls}};
  registerColumnRules(db_, this);
  sqlite3_update_hook(db_, rowChanged, this);
  for (const Fn& f : functions) {
    const bool pure = f.fn == fnNvl || f.fn == fnLengthb || f.fn == fnInstr || f.fn == fnRpad ||
                      f.fn == fnColType || f.fn == fnRowid || f.fn == fnRowidRow;
    const int flags = SQLITE_UTF8 | (pure ? SQLITE_DETERMINISTIC : 0);
    if (sqlite3_create_function(db_, f.name, f.args, flags, this, f.fn, nullptr, nullptr) != SQLITE_OK)
      throw mapError(sqlite3_errcode(db_));
  }
}

void Session::createDictionary(const std::vector<std::string>& schemas) {
  std::string tables, columns;
  for (const std::string& s : schemas) {
    const std::string ref = s == user_ ? "main" : quoteName(s);
    if (!tables.empty()) {
      tables += " UNION ALL ";
      columns += " UNION ALL ";
    }
    tables += "SELECT " + quoteLiteral(s) +
              " AS owner, upper(name) AS table_name, 'USERS' AS "
              "tablespace_name FROM " +
              ref +
              ".sqlite_master WHERE type = 'table' AND name NOT "
              "LIKE 'sqlite%'";
    columns += "SELECT " + quoteLiteral(s) +
               " AS owner, upper(m.name) AS table_name, upper(c.name) AS "
               "column_name, ora_coltype(c.type, 0) AS data_type, ora_coltype(c.type, 1) AS "
               "data_length, ora_coltype(c.type, 2) AS data_precision, ora_coltype(c.type, 3) AS "
               "data_scale, CASE WHEN c.\"notnull\" THEN 'N' ELSE 'Y' END AS nullable, c.cid + 1 "
               "AS column_id, c.dflt_value AS data_default FROM " +
               ref +
               ".sqlite_master m, "
               "pragma_table_xinfo(m.name, " +
               quoteLiteral(s == user_ ? "main" : s) +
               ") c WHERE "
               "m.type IN ('table', 'view') AND m.name NOT LIKE 'sqlite%'";
  }
  exec(
      "CREATE TEMP TABLE dual(dummy VARCHAR2(1)); INSERT INTO temp.dual VALUES ('X');"
      "CREATE TEMP VIEW dba_users AS SELECT upper(username) AS username, user_id, account_status,"
      " default_tablespace, created FROM sys.\"user$\";"
      "CREATE TEMP VIEW all_users AS SELECT upper(username) AS username, user_id, created FROM"
      " sys.\"user$\";"
      "CREATE TEMP VIEW dba_tables AS " +
      tables +
      ";"
      "CREATE TEMP VIEW all_tables AS SELECT * FROM dba_tables;"
      "CREATE TEMP VIEW user_tables AS SELECT table_name, tablespace_name FROM dba_tables WHERE"
      " owner = " +
      quoteLiteral(user_) +
      ";"
      "CREATE TEMP VIEW all_tab_columns AS " +
      columns +
      ";"
      "CREATE TEMP VIEW dba_tab_columns AS SELECT * FROM all_tab_columns;"
      "CREATE TEMP VIEW user_tab_columns AS SELECT table_name, column_name, data_type,"
      " data_length, data_precision, data_scale, nullable, column_id, data_default FROM"
      " all_tab_columns WHERE owner = " +
      quoteLiteral(user_) +
      ";"
      "CREATE TEMP VIEW all_errors AS SELECT owner, name, type, sequence, line, position, text FROM"
      " sys.\"error$\";"
      "CREATE TEMP VIEW user_errors AS SELECT name, type, sequence, line, position, text FROM"
      " sys.\"error$\" WHERE owner = " +
      quoteLiteral(user_) +
      ";"
      "CREATE TEMP VIEW nls_session_parameters AS WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL"
      " SELECT i + 1 FROM n WHERE i + 1 < ora_nls_count()) SELECT ora_nls(i, 0) AS parameter,"
      " ora_nls(i, 1) AS value FROM n WHERE i < ora_nls_count();");
}

const std::string& Session::nls(const std::string& name) const {
  static const std::string empty;
  const auto it = nls_.find(name);
  return it == nls_.end() ? empty : it->second;
}

bool Session::multiByteCharset() const {
  const std::string& cs = nls("NLS_CHARACTERSET");
  return cs.find("UTF") != std::string::npos || cs.find("16") != std::string::npos;
}

void Session::setNls(const std::string& rawName, const std::string& value) {
  const std::string name = upperAscii(rawName);
  if (!defaultNls().count(name)) throw OraError(2248, "invalid option for ALTER SESSION");
  if (name == "NLS_DATE_FORMAT") {
    std::string probe;
    if (formatDate(DateTime{}, value, probe) != 0) throw OraError(1821, "date format not recognized");
  }
  if (name == "NLS_TIMESTAMP_FORMAT" || name == "NLS_TIMESTAMP_TZ_FORMAT") {
    std::string probe;
    if (formatTimestamp(TimeStamp{}, value, 6, probe) != 0)
      throw OraError(1821, "date format not recognized");
  }
  if (name == "NLS_NUMERIC_CHARACTERS" &&
      (value.size() != 2 || value[0] == value[1] || std::isdigit(static_cast<unsigned char>(value[0])) ||
       std::isdigit(static_cast<unsigned char>(value[1])) ||
       value.find_first_of("+-<>") != std::string::npos))
    throw OraError(12705, "Cannot access NLS data files or invalid environment specified");
  nls_[name] = value;
}

std::vector<std::pair<std::string, std::string>> Session::sessionNls() const {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& entry : nls_)
    if (entry.first.find("CHARACTERSET") == std::string::npos) out.push_back(entry);
  return out;
}

void Session::commit() {
  if (!sqlite3_get_autocommit(db_)) exec("COMMIT");
  endTransaction();
}

void Session::rollback() {
  if (!sqlite3_get_autocommit(db_)) exec("ROLLBACK");
  endTransaction();
}

void Session::endTransaction() {
  ++transactionSerial_;
  transactionStarted_ = false;
}

std::string Session::localTransactionId(bool start) {
  transactionStarted_ = transactionStarted_ || start;
  if (!transactionStarted_ && sqlite3_get_autocommit(db_)) return {};
  return "1." + std::to_string(transactionSerial_) + ".0";
}

void Session::beginWork() {
  if (sqlite3_get_autocommit(db_)) exec("BEGIN");
}

void Session::endWorkForDdl() {
  commit();
}

void Session::writeCell(const std::string& database, const std::string& table, const std::string& column,
                        int64_t row, const Value& value) {
  beginWork();
  sqlite3_stmt* stmt = nullptr;
  const std::string sql = "UPDATE " + quoteName(database) + "." + quoteName(table) + " SET " +
                          quoteName(column) + " = ?1 WHERE _rowid_ = ?2";
  int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr);
  if (rc == SQLITE_OK) {
    if (value.kind == Value::Kind::Bytes)
      sqlite3_bind_blob(stmt, 1, value.bytes.data(), static_cast<int>(value.bytes.size()), SQLITE_TRANSIENT);
    else if (value.isNull())
      sqlite3_bind_null(stmt, 1);
    else
      sqlite3_bind_text(stmt, 1, value.bytes.data(), static_cast<int>(value.bytes.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, 2, row);
    rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  const OraError error = mapError(rc);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_OK) throw error;
}

void Session::refreshColumnRules() {
  for (const std::string& schema : schemas_)
    installColumnRules(db_, schema == user_ ? "main" : schema, schema);
}

OraError Session::mapError(int rc) const {
  const std::string message = sqlite3_errmsg(db_);
  const int primary = rc & 0xFF;
  if (message.rfind("ORA-", 0) == 0 && message.size() > 11)
    return OraError(std::atoi(message.c_str() + 4), message.substr(11));
  if (primary == SQLITE_INTERRUPT) return OraError(1013, "user requested cancel of current operation");
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
    return OraError(54, "resource busy and acquire with NOWAIT specified or timeout expired");
  // "UNIQUE constraint failed: emp.empno" and its kin name the table and column.
  const size_t colon = message.find(": ");
  const std::string detail = colon == std::string::npos ? "" : upperAscii(message.substr(colon + 2));
  if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY)
    return OraError(1, "unique constraint (" + user_ + "." + detail + ") violated");
  if (rc == SQLITE_CONSTRAINT_NOTNULL) {
    std::string column = "\"" + user_ + "\".\"";
    for (char c : detail) column += c == '.' ? std::string("\".\"") : std::string(1, c);
    return OraError(1400, "cannot insert NULL into (" + column + "\")");
  }
  if (rc == SQLITE_CONSTRAINT_FOREIGNKEY)
    return OraError(2291, "integrity constraint violated - parent key not found");
  if (primary == SQLITE_CONSTRAINT) return OraError(2290, "check constraint violated");
  if (message.rfind("no such table", 0) == 0 || message.rfind("unknown database", 0) == 0)
    return OraError(942, "table or view does not exist");
  if (message.rfind("no such column", 0) == 0 || message.rfind("no such function", 0) == 0)
    return OraError(904, "\"" + detail + "\": invalid identifier");
  if (message.find("already exists") != std::string::npos)
    return OraError(955, "name is already used by an existing object");
  if (message.find("syntax error") != std::string::npos || message.rfind("near ", 0) == 0 ||
      message.find("incomplete input") != std::string::npos ||
      message.find("unrecognized token") != std::string::npos)
    return OraError(900, "invalid SQL statement");
  return OraError(600, "internal error code, arguments: [sqlite], [" + message + "]");
}

int64_t Session::nextSequenceValue(const std::string& rawOwner, const std::string& rawName) {
  const std::string owner = upperAscii(rawOwner), name = upperAscii(rawName);
  if (!sequenceDb_) {
    if (sqlite3_open_v2((folder_ + "/sequences.db").c_str(), &sequenceDb_, SQLITE_OPEN_READWRITE, nullptr) !=
        SQLITE_OK)
      throw OraError(2289, "sequence does not exist");
    sqlite3_busy_timeout(sequenceDb_, 5000);
  }
  // Each step commits at once in its own file, which no session holds open: a rollback never
  // hands out a number twice, and sessions in long transactions do not block it.
  if (sqlite3_exec(sequenceDb_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
    throw OraError(54, "resource busy and acquire with NOWAIT specified or timeout expired");
  struct Rollback {
    sqlite3* db;
    ~Rollback() {
      if (db) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  } guard{sequenceDb_};
  int64_t value = 0;
  {
    Statement s(sequenceDb_,
                "UPDATE \"seq$\" SET last_number = last_number + increment_by WHERE owner = ?1 AND"
                " name = ?2 RETURNING last_number");
    s.bind(1, owner);
    s.bind(2, name);
    if (!s.step()) throw OraError(2289, "sequence does not exist");
    value = sqlite3_column_int64(s.stmt, 0);
    while (s.step()) {
    }
  }
  if (sqlite3_exec(sequenceDb_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
    throw OraError(54, "resource busy and acquire with NOWAIT specified or timeout expired");
  guard.db = nullptr;
  currentValues_[owner + "." + name] = value;
  return value;
}

int64_t Session::currentSequenceValue(const std::string& owner, const std::string& name) const {
  const auto it = currentValues_.find(upperAscii(owner) + "." + upperAscii(name));
  if (it == currentValues_.end())
    throw OraError(8002, "sequence " + upperAscii(name) + ".CURRVAL is not yet defined in this session");
  return it->second;
}

// A number's text with the session's decimal character (NLS_NUMERIC_CHARACTERS).
std::string withDecimal(const Session& session, std::string text) {
  const std::string& characters = session.nls("NLS_NUMERIC_CHARACTERS");
  if (characters.size() == 2 && characters[0] != '.')
    std::replace(text.begin(), text.end(), '.', characters[0]);
  return text;
}

std::string valueText(const Session& session, const Value& v, uint16_t columnCode) {
  DeclaredType t;
  t.code = columnCode;
  t.precision = 2;
  t.fsPrecision = 6;
  return valueText(session, v, t);
}

std::string valueText(const Session& session, const Value& v, const DeclaredType& column) {
  const uint16_t columnCode = column.code;
  switch (v.kind) {
    case Value::Kind::Null:
      return {};
    case Value::Kind::Integer:
      return std::to_string(v.integer);
    case Value::Kind::Real:
      return withDecimal(session, numberText(v.real));
    case Value::Kind::Bytes: {
      static constexpr char hex[] = "0123456789ABCDEF";
      std::string out;
      for (unsigned char c : v.bytes) {
        out += hex[c >> 4];
        out += hex[c & 15];
      }
      return out;
    }
    case Value::Kind::Text:
      break;
  }
  DateTime d;
  if (columnCode == 12 && parseCanonicalDate(v.bytes, d)) {
    std::string out;
    if (formatDate(d, session.nls("NLS_DATE_FORMAT"), out) == 0) return out;
  }
  TimeStamp t;
  if ((columnCode == 187 || columnCode == 188 || columnCode == 232) && parseStoredTimestamp(v.bytes, t)) {
    std::string out;
    const std::string& model =
        session.nls(columnCode == 188 ? "NLS_TIMESTAMP_TZ_FORMAT" : "NLS_TIMESTAMP_FORMAT");
    if (formatTimestamp(t, model, column.fsPrecision, out) == 0) return out;
  }
  Interval interval;
  if ((columnCode == 189 || columnCode == 190) && parseInterval(v.bytes, columnCode == 189, interval))
    return intervalText(interval, std::clamp<int>(column.precision, 1, 9),
                        columnCode == 190 ? column.fsPrecision : 0);
  if (columnCode == 2 && !v.bytes.empty() && v.bytes[0] == '#') {
    if (const auto n = numberFromStoredText(v.bytes)) return withDecimal(session, numberText(*n));
  }
  return v.bytes;
}

// --- Cursor -----------------------------------------------------------------------------------

Cursor::Cursor(Session& session, std::string_view text)
    : session_(session),
      text_(text),
      rewritten_(
          rewriteSql(objectSql(session, text, afterRun_), session.user() == "SYS" ? "" : session.user())) {
  const StatementKind k = rewritten_.kind;
  if (isTypeDdl(text)) {
    typeDdl_ = true;
    return;
  }
  const bool native =
      k == StatementKind::Begin || k == StatementKind::Declare || (k == StatementKind::Commit) ||
      (k == StatementKind::Rollback && scanSql(text).size() <= 2) ||
      (k == StatementKind::Alter && scanSql(text).size() > 1 && scanSql(text)[1].text == "SESSION");
  if (native) return;
  if (k == StatementKind::Create && findStoredProgram()) return;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v2(session_.db(), rewritten_.sql.c_str(),
                                    static_cast<int>(rewritten_.sql.size()), &stmt_, &tail);
  if (rc != SQLITE_OK) {
    OraError e = session_.mapError(rc);
    e.offset = errorOffset(sqlite3_errmsg(session_.db()));
    throw e;
  }
  if (!stmt_) throw OraError(900, "invalid SQL statement");
  while (tail && *tail && (std::isspace(static_cast<unsigned char>(*tail)) || *tail == ';')) ++tail;
  if (tail && *tail) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    throw OraError(911, "invalid character");
  }
  trackLobRows();
}

// Where in the statement's own text the server would place a parse error: at the name SQLite
// names ("no such table: X", "no such column: X", near "X"), else 0.
int Cursor::errorOffset(const std::string& message) const {
  std::string name;
  for (const char* head : {"no such table: ", "no such column: ", "no such function: "}) {
    if (message.rfind(head, 0) == 0) name = message.substr(std::strlen(head));
  }
  if (name.empty() && message.rfind("near \"", 0) == 0) {
    const size_t end = message.find('"', 6);
    if (end != std::string::npos) name = message.substr(6, end - 6);
  }
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name = name.substr(dot + 1);
  if (name.empty()) return 0;
  const std::string wanted = upperAscii(name);
  for (const Token& t : scanSql(text_)) {
    if (t.kind == TokenKind::Unterminated) break;
    if (upperAscii(text_.substr(t.begin, t.end - t.begin)) == wanted || t.text == wanted)
      return static_cast<int>(t.begin);
  }
  return 0;
}

bool Cursor::findStoredProgram() {
  const std::vector<Token> t = scanSql(text_);
  size_t i = 1;
  if (i + 1 < t.size() && t[i].text == "OR" && t[i + 1].text == "REPLACE") i += 2;
  if (i >= t.size() || t[i].kind != TokenKind::Word) return false;
  const std::string& kind = t[i].text;
  if (kind != "PROCEDURE" && kind != "FUNCTION" && kind != "PACKAGE" && kind != "TRIGGER" && kind != "TYPE")
    return false;
  programType_ = kind;
  ++i;
  if ((kind == "PACKAGE" || kind == "TYPE") && i < t.size() && t[i].text == "BODY") {
    programType_ += " BODY";
    ++i;
  }
  if (i >= t.size() || (t[i].kind != TokenKind::Word && t[i].kind != TokenKind::QuotedName)) return false;
  programOwner_ = session_.user();
  programName_ = t[i].text;
  if (i + 2 < t.size() && t[i + 1].text == "." &&
      (t[i + 2].kind == TokenKind::Word || t[i + 2].kind == TokenKind::QuotedName)) {
    programOwner_ = t[i].text;
    programName_ = t[i + 2].text;
  }
  return true;
}

// The server keeps a stored program even when it does not compile; its errors go to
// user_errors. Here a program compiles when its text is complete: strings and names closed,
// parentheses balanced, and its last words END [name].
void Cursor::compileStoredProgram() {
  session_.endWorkForDdl();
  const std::vector<Token> t = scanSql(text_);
  int depth = 0;
  bool complete = !t.empty() && t.back().kind != TokenKind::Unterminated;
  for (const Token& token : t) {
    if (token.kind == TokenKind::Symbol && token.text == "(") ++depth;
    if (token.kind == TokenKind::Symbol && token.text == ")") --depth;
    complete = complete && depth >= 0;
  }
  size_t last = t.size();
  while (last > 0 && (t[last - 1].text == ";" || t[last - 1].text == "/")) --last;
  const bool endsWithEnd = (last >= 1 && t[last - 1].text == "END") ||
                           (last >= 2 && t[last - 2].text == "END" && t[last - 1].kind != TokenKind::Symbol);
  complete = complete && depth == 0 && endsWithEnd;
  const std::string key = " WHERE owner = " + quoteLiteral(programOwner_) +
                          " AND name = " + quoteLiteral(programName_) +
                          " AND type = " + quoteLiteral(programType_);
  sqlite3* db = session_.db();
  auto run = [&](const std::string& sql) {
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) throw session_.mapError(rc);
  };
  run("DELETE FROM sys.\"error$\"" + key);
  if (complete) return;
  // The error sits where the text ends.
  int line = 1, column = 1;
  for (char c : text_) {
    if (c == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  run("INSERT INTO sys.\"error$\" (owner, name, type, sequence, line, position, text) VALUES (" +
      quoteLiteral(programOwner_) + ", " + quoteLiteral(programName_) + ", " + quoteLiteral(programType_) +
      ", (SELECT count(*) + 1 FROM sys.\"error$\"), " + std::to_string(line) + ", " + std::to_string(column) +
      ", " +
      quoteLiteral(
          "PLS-00103: Encountered the symbol \"end-of-file\" when expecting one of the following:\n\n   "
          "begin end function pragma procedure") +
      ")");
  compiledWithErrors_ = true;
}

void Cursor::trackLobRows() {
  if (!isQuery() || rewritten_.kind != StatementKind::Select) return;
  const int count = sqlite3_column_count(stmt_);
  std::vector<std::pair<std::string, std::string>> tables;  // database, table of LOB columns
  std::vector<int> tableOf(static_cast<size_t>(count), -1);
  for (int i = 0; i < count; ++i) {
    const char* declared = sqlite3_column_decltype(stmt_, i);
    const char* table = sqlite3_column_table_name(stmt_, i);
    const char* database = sqlite3_column_database_name(stmt_, i);
    if (!declared || !table || !database) continue;
    const uint16_t code = parseDeclaredType(declared).code;
    // LOB columns, and for a locking query the first table read, whose row is the one locked.
    const bool locked = rewritten_.forUpdate && tables.empty();
    if (code != 112 && code != 113 && !locked) continue;
    const std::pair<std::string, std::string> key(database, table);
    auto it = std::find(tables.begin(), tables.end(), key);
    if (it == tables.end()) it = tables.insert(tables.end(), key);
    if (code == 112 || code == 113) tableOf[static_cast<size_t>(i)] = static_cast<int>(it - tables.begin());
  }
  if (tables.empty()) return;
  // The query's own FROM clause names each table; its alias (or its name) qualifies _rowid_.
  const std::string& sql = rewritten_.sql;
  const std::vector<Token> tokens = scanSql(sql);
  static const char* const notAliases[] = {"WHERE",  "JOIN",    "INNER", "LEFT",   "RIGHT",     "FULL",
                                           "OUTER",  "CROSS",   "ON",    "USING",  "GROUP",     "ORDER",
                                           "HAVING", "UNION",   "MINUS", "EXCEPT", "INTERSECT", "LIMIT",
                                           "FOR",    "CONNECT", "START", "NATURAL"};
  auto aliasWord = [&](const Token& t) {
    if (t.kind == TokenKind::QuotedName) return true;
    if (t.kind != TokenKind::Word) return false;
    for (const char* w : notAliases)
      if (t.text == w) return false;
    return true;
  };
  int depth = 0;
  size_t from = tokens.size();
  for (size_t k = 0; k < tokens.size(); ++k) {
    const Token& t = tokens[k];
    if (t.kind == TokenKind::Symbol && t.text == "(") ++depth;
    if (t.kind == TokenKind::Symbol && t.text == ")") --depth;
    if (depth == 0 && t.kind == TokenKind::Word && t.text == "FROM") {
      from = k;
      break;
    }
  }
  if (from == tokens.size()) return;
  std::vector<std::string> qualifiers(tables.size());
  depth = 0;
  for (size_t k = from + 1; k < tokens.size(); ++k) {
    const Token& t = tokens[k];
    if (t.kind == TokenKind::Symbol && t.text == "(") ++depth;
    if (t.kind == TokenKind::Symbol && t.text == ")") --depth;
    if (depth != 0 || (t.kind != TokenKind::Word && t.kind != TokenKind::QuotedName)) continue;
    if (k > from + 1 && tokens[k - 1].kind == TokenKind::Symbol && tokens[k - 1].text == ".") continue;
    // [schema .] table [AS] [alias]
    size_t name = k;
    if (k + 2 < tokens.size() && tokens[k + 1].text == "." && tokens[k + 1].kind == TokenKind::Symbol)
      name = k + 2;
    for (size_t i = 0; i < tables.size(); ++i) {
      if (upperAscii(tables[i].second) != upperAscii(tokens[name].text) || !qualifiers[i].empty()) continue;
      size_t next = name + 1;
      if (next < tokens.size() && tokens[next].kind == TokenKind::Word && tokens[next].text == "AS") ++next;
      if (next < tokens.size() && aliasWord(tokens[next]))
        qualifiers[i] = sql.substr(tokens[next].begin, tokens[next].end - tokens[next].begin);
      else
        qualifiers[i] = sql.substr(tokens[k].begin, tokens[name].end - tokens[k].begin);
    }
  }
  std::string extra;
  for (size_t i = 0; i < tables.size(); ++i) {
    if (qualifiers[i].empty()) return;
    extra += ", " + qualifiers[i] + "._rowid_";
  }
  const std::string augmented =
      sql.substr(0, tokens[from].begin) + extra + " " + sql.substr(tokens[from].begin);
  sqlite3_stmt* wider = nullptr;
  if (sqlite3_prepare_v2(session_.db(), augmented.c_str(), -1, &wider, nullptr) != SQLITE_OK || !wider ||
      sqlite3_column_count(wider) != count + static_cast<int>(tables.size())) {
    sqlite3_finalize(wider);
    return;
  }
  sqlite3_finalize(stmt_);
  stmt_ = wider;
  hidden_ = static_cast<int>(tables.size());
  rowColumn_.assign(static_cast<size_t>(count), -1);
  for (int i = 0; i < count; ++i)
    if (tableOf[static_cast<size_t>(i)] >= 0)
      rowColumn_[static_cast<size_t>(i)] = count + tableOf[static_cast<size_t>(i)];
}

int64_t Cursor::lockedRow() const {
  return rewritten_.forUpdate && hidden_ > 0 && !rowNumbers_.empty() ? rowNumbers_[0] : 0;
}

int64_t Cursor::originRow(size_t column) const {
  if (column >= rowColumn_.size() || rowColumn_[column] < 0) return 0;
  const size_t hidden = static_cast<size_t>(rowColumn_[column]) - rowColumn_.size();
  return hidden < rowNumbers_.size() ? rowNumbers_[hidden] : 0;
}

Cursor::~Cursor() {
  sqlite3_finalize(stmt_);
}

bool Cursor::isQuery() const {
  return stmt_ && sqlite3_column_count(stmt_) > 0;
}

Value Cursor::columnValue(int i) const {
  switch (sqlite3_column_type(stmt_, i)) {
    case SQLITE_INTEGER:
      return Value::number(sqlite3_column_int64(stmt_, i));
    case SQLITE_FLOAT:
      return Value::floating(sqlite3_column_double(stmt_, i));
    case SQLITE_BLOB: {
      const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, i));
      return {Value::Kind::Bytes, 0, 0,
              std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(stmt_, i)))};
    }
    case SQLITE_TEXT: {
      const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
      return Value::text(std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, i))));
    }
    default:
      return {};
  }
}

void Cursor::bindAll(BindAccess& binds) {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  const int count = sqlite3_bind_parameter_count(stmt_);
  for (int i = 1; i <= count; ++i) {
    const char* raw = sqlite3_bind_parameter_name(stmt_, i);
    const std::string name = raw ? std::string(raw + 1) : std::to_string(i);
    const Value v = binds.input(static_cast<size_t>(i), name);
    switch (v.kind) {
      case Value::Kind::Null:
        sqlite3_bind_null(stmt_, i);
        break;
      case Value::Kind::Integer:
        sqlite3_bind_int64(stmt_, i, v.integer);
        break;
      case Value::Kind::Real:
        sqlite3_bind_double(stmt_, i, v.real);
        break;
      case Value::Kind::Text:
        sqlite3_bind_text(stmt_, i, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_TRANSIENT);
        break;
      case Value::Kind::Bytes:
        sqlite3_bind_blob(stmt_, i, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_TRANSIENT);
        break;
    }
  }
}

void Cursor::runAlterSession() {
  // ALTER SESSION SET name = value [name = value ...]
  const std::vector<Token> t = scanSql(text_);
  if (t.size() < 6 || t[2].text != "SET") throw OraError(922, "missing or invalid option");
  for (size_t i = 3; i < t.size();) {
    if (i + 2 >= t.size() || t[i].kind != TokenKind::Word || t[i + 1].text != "=")
      throw OraError(922, "missing or invalid option");
    const Token& v = t[i + 2];
    session_.setNls(t[i].text, v.text);
    i += 3;
  }
}

void Cursor::execute(BindAccess& binds, bool describeOnly) {
  Session::Busy busy(session_);
  rows_ = 0;
  open_ = pending_ = false;
  switch (rewritten_.kind) {
    case StatementKind::Begin:
    case StatementKind::Declare:
      if (describeOnly) return;
      runBlock(session_, text_, binds);
      rows_ = 1;  // a block that ran counts as one row processed
      return;
    default:
      break;
  }
  compiledWithErrors_ = false;
  if (typeDdl_) {
    if (!describeOnly) runTypeDdl(session_, text_);
    return;
  }
  if (!stmt_) {
    if (describeOnly) return;
    if (!programName_.empty()) return compileStoredProgram();
    if (rewritten_.kind == StatementKind::Commit) return session_.commit();
    if (rewritten_.kind == StatementKind::Rollback) return session_.rollback();
    return runAlterSession();
  }
  // Describing needs no values: binds not given yet read as NULL.
  if (describeOnly) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return;
  }
  bindAll(binds);
  session_.clearChangedRow();
  const bool ddl = rewritten_.kind == StatementKind::Create || rewritten_.kind == StatementKind::Drop ||
                   rewritten_.kind == StatementKind::Alter;
  if (ddl) {
    session_.endWorkForDdl();
  } else if (!sqlite3_stmt_readonly(stmt_)) {
    session_.beginWork();
  }
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW && isQuery()) {
    open_ = pending_ = true;
    if (!described_) columns();
    return;
  }
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
    const OraError e = session_.mapError(rc);
    sqlite3_reset(stmt_);
    throw e;
  }
  open_ = isQuery();
  rows_ = isQuery() ? 0 : sqlite3_changes64(session_.db());
  if (!isQuery()) sqlite3_reset(stmt_);
  if (ddl && !afterRun_.empty()) {
    const int after = sqlite3_exec(session_.db(), afterRun_.c_str(), nullptr, nullptr, nullptr);
    if (after != SQLITE_OK) throw session_.mapError(after);
  }
  if (ddl) session_.refreshColumnRules();
}

const std::vector<ColumnInfo>& Cursor::columns() {
  if (described_ || !isQuery()) return columns_;
  described_ = true;
  const int count = sqlite3_column_count(stmt_) - hidden_;
  // Expressions have no declared type; their first row tells what they hold. A closed query is
  // stepped once for it and rewound.
  bool peeked = false;
  if (!pending_ && !open_) {
    bool untyped = false;
    for (int i = 0; i < count; ++i) untyped = untyped || !sqlite3_column_decltype(stmt_, i);
    peeked = untyped && sqlite3_step(stmt_) == SQLITE_ROW;
  }
  for (int i = 0; i < count; ++i) {
    ColumnInfo c;
    c.name = sqlite3_column_name(stmt_, i);
    for (char& ch : c.name)
      if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    const char* declared = sqlite3_column_decltype(stmt_, i);
    if (declared) {
      c.type = parseDeclaredType(declared);
      if (!c.type.known) resolveColumnType(session_, declared, c);
    } else if (c.name == "ROWID") {
      c.type = rowidType();
    } else if (pending_ || peeked) {
      DateTime d;
      switch (sqlite3_column_type(stmt_, i)) {
        case SQLITE_INTEGER:
          c.type = {"NUMBER", 2, 22};
          break;
        case SQLITE_FLOAT:
          c.type = {"NUMBER", 2, 22, 0, -127};
          break;
        case SQLITE_BLOB:
          c.type = {"RAW", 23, 2000};
          break;
        case SQLITE_TEXT: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
          TimeStamp stamp;
          if (parseCanonicalDate(text, d)) {
            c.type = {"DATE", 12, 7};
          } else if (std::strlen(text) > 19 && parseStoredTimestamp(text, stamp)) {
            // An expression's timestamp (SYSTIMESTAMP, to_timestamp) shows all its digits.
            c.type = stamp.hasZone ? DeclaredType{"TIMESTAMP WITH TIME ZONE", 188, 13}
                                   : DeclaredType{"TIMESTAMP", 187, 11};
            c.type.fsPrecision = 9;
          } else if (text[0] == '#' && numberFromStoredText(text)) {
            c.type = {"NUMBER", 2, 22, 0, -127};
          } else if (std::string_view(text).substr(0, kCursorMark.size()) == kCursorMark) {
            c.type = cursorType();
          }
          break;
        }
        default:
          break;
      }
    }
    const char* table = sqlite3_column_table_name(stmt_, i);
    const char* origin = sqlite3_column_origin_name(stmt_, i);
    const char* schema = sqlite3_column_database_name(stmt_, i);
    if (table && origin && schema) {
      c.database = schema;
      c.table = table;
      c.origin = origin;
    }
    int notNull = 0, primary = 0;
    if (table && origin &&
        sqlite3_table_column_metadata(session_.db(), schema, table, origin, nullptr, nullptr, &notNull,
                                      &primary, nullptr) == SQLITE_OK)
      c.nullable = !notNull && !primary;
    columns_.push_back(std::move(c));
  }
  if (peeked) sqlite3_reset(stmt_);
  return columns_;
}

bool Cursor::fetch(std::vector<Value>& row) {
  if (!open_) return false;
  Session::Busy busy(session_);
  if (!pending_) {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_DONE) {
      open_ = false;
      sqlite3_reset(stmt_);
      return false;
    }
    if (rc != SQLITE_ROW) {
      open_ = false;
      const OraError e = session_.mapError(rc);
      sqlite3_reset(stmt_);
      throw e;
    }
  }
  pending_ = false;
  const int count = sqlite3_column_count(stmt_) - hidden_;
  row.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) row[static_cast<size_t>(i)] = columnValue(i);
  rowNumbers_.resize(static_cast<size_t>(hidden_));
  for (int k = 0; k < hidden_; ++k)
    rowNumbers_[static_cast<size_t>(k)] = sqlite3_column_int64(stmt_, count + k);
  return true;
}

}  // namespace ocistandin
