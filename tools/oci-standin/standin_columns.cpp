// Column rules: the ora_fit function and the triggers that apply it after inserts and updates.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tools/oci-standin/standin_number.h"
#include "tools/oci-standin/standin_objects.h"
#include "tools/oci-standin/standin_server.h"
#include "tools/oci-standin/standin_values.h"

namespace ocistandin {
namespace {

std::string valueBytes(sqlite3_value* v) {
  const auto* p = static_cast<const char*>(sqlite3_value_blob(v));
  return p ? std::string(p, static_cast<size_t>(sqlite3_value_bytes(v))) : std::string();
}

void fail(sqlite3_context* ctx, int code, const std::string& text) {
  char head[16];
  std::snprintf(head, sizeof head, "ORA-%05d: ", code);
  const std::string message = head + text;
  sqlite3_result_error(ctx, message.c_str(), -1);
}

void tooLarge(sqlite3_context* ctx, const std::string& column, size_t actual, size_t maximum) {
  fail(ctx, 12899,
       "value too large for column " + column + " (actual: " + std::to_string(actual) +
           ", maximum: " + std::to_string(maximum) + ")");
}

// UTF-16 code units of a UTF-8 text, as the national character set counts characters.
size_t utf16Units(const std::string& s) {
  size_t units = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void fitNumberValue(sqlite3_context* ctx, sqlite3_value* v, const DeclaredType& t, const Session* session) {
  std::optional<ExactNumber> n;
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
      n = numberFromInteger(sqlite3_value_int64(v));
      break;
    case SQLITE_FLOAT:
      n = numberFromDouble(sqlite3_value_double(v));
      break;
    case SQLITE_TEXT: {
      std::string text = valueBytes(v);
      // Text takes the session's decimal character, as the server converts it.
      const std::string characters = session ? session->nls("NLS_NUMERIC_CHARACTERS") : std::string();
      if (characters.size() == 2 && characters[0] != '.' && text.find('.') == std::string::npos)
        std::replace(text.begin(), text.end(), characters[0], '.');
      n = numberFromStoredText(text);
      if (!n) return fail(ctx, 1722, "invalid number");
      break;
    }
    default:
      return fail(ctx, 932, "inconsistent datatypes: expected NUMBER got BINARY");
  }
  const bool floating = t.scale == -127;
  const auto fitted = fitNumber(*n, t.hasPrecision ? t.precision : 0, floating ? 0 : t.scale, floating);
  if (!fitted) return fail(ctx, 1438, "value larger than specified precision allowed for this column");
  const StoredNumber s = storedNumber(*fitted);
  switch (s.kind) {
    case StoredNumber::Kind::Integer:
      return sqlite3_result_int64(ctx, s.integer);
    case StoredNumber::Kind::Real:
      return sqlite3_result_double(ctx, s.real);
    case StoredNumber::Kind::Text:
      return sqlite3_result_text(ctx, s.text.data(), static_cast<int>(s.text.size()), SQLITE_TRANSIENT);
  }
}

uint32_t roundedNanos(uint32_t nanos, int digits, bool& carry) {
  uint32_t unit = 1;
  for (int k = digits; k < 9; ++k) unit *= 10;
  uint64_t r = (uint64_t(nanos) + unit / 2) / unit * unit;
  carry = r >= 1000000000;
  return carry ? 0 : static_cast<uint32_t>(r);
}

// Text a DATE or TIMESTAMP column takes: its stored form, or text in the session's format.
int readDateText(const Session* session, const std::string& text, const char* format, TimeStamp& stamp) {
  if (parseStoredTimestamp(text, stamp)) return 0;
  if (!session) return 1861;
  return parseTimestamp(text, session->nls(format), stamp);
}

void fitDate(sqlite3_context* ctx, sqlite3_value* v, const Session* session) {
  if (sqlite3_value_type(v) != SQLITE_TEXT)
    return fail(ctx, 932, "inconsistent datatypes: expected DATE got NUMBER");
  TimeStamp stamp;
  if (const int code = readDateText(session, valueBytes(v), "NLS_DATE_FORMAT", stamp))
    return fail(ctx, code, "literal does not match format string");
  const std::string out = canonicalDate(stamp.date);
  sqlite3_result_text(ctx, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void fitTimestamp(sqlite3_context* ctx, sqlite3_value* v, const DeclaredType& t, const Session* session) {
  TimeStamp stamp;
  if (sqlite3_value_type(v) != SQLITE_TEXT)
    return fail(ctx, 932, "inconsistent datatypes: expected TIMESTAMP got NUMBER");
  if (const int code = readDateText(
          session, valueBytes(v), t.code == 188 ? "NLS_TIMESTAMP_TZ_FORMAT" : "NLS_TIMESTAMP_FORMAT", stamp))
    return fail(ctx, code, "literal does not match format string");
  bool carry = false;
  stamp.nanos = roundedNanos(stamp.nanos, t.fsPrecision, carry);
  if (carry) {
    // One second more, across minutes, hours and days.
    using namespace std::chrono;
    DateTime& d = stamp.date;
    const auto day = sys_days{year{d.year} / d.month / d.day};
    const auto next = day + seconds{d.hour * 3600 + d.minute * 60 + d.second + 1};
    const auto whole = floor<days>(next);
    const year_month_day ymd{whole};
    const auto rest = duration_cast<seconds>(next - whole).count();
    d = {static_cast<int>(ymd.year()),
         static_cast<int>(static_cast<unsigned>(ymd.month())),
         static_cast<int>(static_cast<unsigned>(ymd.day())),
         static_cast<int>(rest / 3600),
         static_cast<int>(rest / 60 % 60),
         static_cast<int>(rest % 60)};
    if (!isValidDate(d)) return fail(ctx, 1841, "(full) year must be between -4713 and +9999, and not be 0");
  }
  if (t.code == 188) {
    stamp.hasZone = true;
  } else {
    stamp.hasZone = false;
    stamp.zoneMinutes = 0;
  }
  const std::string out = storedTimestamp(stamp);
  sqlite3_result_text(ctx, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void fitInterval(sqlite3_context* ctx, sqlite3_value* v, const DeclaredType& t) {
  Interval value;
  if (!parseInterval(valueBytes(v), t.code == 189, value)) return fail(ctx, 1867, "the interval is invalid");
  int64_t lead = t.code == 189 ? value.months / 12 : value.days;
  if (lead < 0) lead = -lead;
  int64_t limit = 1;
  for (int k = 0; k < t.precision; ++k) limit *= 10;
  if (lead >= limit) return fail(ctx, 1873, "the leading precision of the interval is too small");
  if (t.code == 190) {
    const bool negative = value.nanos < 0 || value.days < 0;
    bool carry = false;
    const int64_t magnitude = value.nanos < 0 ? -value.nanos : value.nanos;
    const int64_t whole = magnitude / 1000000000 * 1000000000;
    int64_t nanos = whole + roundedNanos(static_cast<uint32_t>(magnitude - whole), t.fsPrecision, carry);
    if (carry) nanos += 1000000000;
    value.nanos = negative ? -nanos : nanos;
  }
  const std::string out = intervalText(value, 9, t.code == 190 ? 9 : 0);
  sqlite3_result_text(ctx, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// ora_fit(value, declared type, "OWNER"."TABLE"."COLUMN"): the value as the column keeps it.
void fnFit(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const Session* session = static_cast<const Session*>(sqlite3_user_data(ctx));
  const bool checkLengths = session != nullptr;
  sqlite3_value* v = argv[0];
  if (sqlite3_value_type(v) == SQLITE_NULL) return sqlite3_result_null(ctx);
  const DeclaredType t = parseDeclaredType(valueBytes(argv[1]));
  const std::string column = valueBytes(argv[2]);
  // A column of an object, collection, REF or XMLTYPE type: its value must be one of that type.
  if (!t.known)
    return session ? fitNamedValue(ctx, v, valueBytes(argv[1]), *session) : sqlite3_result_value(ctx, v);
  switch (t.code) {
    case 2:
      return fitNumberValue(ctx, v, t, session);
    case 1:
    case 96: {
      if (sqlite3_value_type(v) == SQLITE_BLOB) return sqlite3_result_value(ctx, v);
      std::string text = valueBytes(v);
      // An exact number bound to a text column arrives in its stored form.
      if (text.size() > 16 && text[0] == '#' && parseNumberText(std::string_view(text).substr(1)))
        text.erase(0, 1);
      if (text.empty()) return sqlite3_result_null(ctx);
      const size_t actual = t.national() ? utf16Units(text) : text.size();
      const size_t maximum = t.national() ? t.characters : t.size;
      if (actual > maximum && checkLengths) return tooLarge(ctx, column, actual, maximum);
      if (t.code == 96 && actual < maximum) text.append(maximum - actual, ' ');
      return sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    case 23: {
      std::string bytes = valueBytes(v);
      if (sqlite3_value_type(v) != SQLITE_BLOB) {
        // Text reaches a RAW column as hexadecimal digits.
        if (bytes.size() % 2 != 0) return fail(ctx, 1465, "invalid hex number");
        std::string decoded;
        for (size_t i = 0; i < bytes.size(); i += 2) {
          const int hi = hexValue(bytes[i]), lo = hexValue(bytes[i + 1]);
          if (hi < 0 || lo < 0) return fail(ctx, 1465, "invalid hex number");
          decoded += static_cast<char>(hi * 16 + lo);
        }
        bytes = decoded;
      }
      if (bytes.empty()) return sqlite3_result_null(ctx);
      if (bytes.size() > t.size && checkLengths) return tooLarge(ctx, column, bytes.size(), t.size);
      return sqlite3_result_blob(ctx, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
    case 12:
      return fitDate(ctx, v, session);
    case 187:
    case 188:
    case 232:
      return fitTimestamp(ctx, v, t, session);
    case 189:
    case 190:
      return fitInterval(ctx, v, t);
    default:
      return sqlite3_result_value(ctx, v);
  }
}

// Columns of types the server does not know (a table made by CREATE TABLE AS SELECT carries
// SQLite's names) keep their values as they come.
bool hasRule(const DeclaredType& t) {
  if (!t.known) return false;
  switch (t.code) {
    case 1:
    case 96:
    case 2:
    case 23:
    case 12:
    case 187:
    case 188:
    case 232:
    case 189:
    case 190:
      return true;
    default:
      return false;
  }
}

struct Query {
  Query(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      const std::string message = sqlite3_errmsg(db);
      sqlite3_finalize(stmt);
      throw OraError(600, "internal error code, arguments: [rules], [" + message + "]");
    }
  }
  ~Query() { sqlite3_finalize(stmt); }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  bool step() { return sqlite3_step(stmt) == SQLITE_ROW; }
  std::string text(int i) const {
    const auto* p = sqlite3_column_text(stmt, i);
    return p ? reinterpret_cast<const char*>(p) : "";
  }
  sqlite3_stmt* stmt = nullptr;
};

void run(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "unknown";
    sqlite3_free(error);
    throw OraError(600, "internal error code, arguments: [rules], [" + message + "]");
  }
}

}  // namespace

void registerColumnRules(sqlite3* db, const Session* session) {
  if (sqlite3_create_function(db, "ora_fit", 3, SQLITE_UTF8, const_cast<Session*>(session), fnFit, nullptr,
                              nullptr) != SQLITE_OK)
    throw OraError(600, "internal error code, arguments: [rules], [ora_fit]");
}

void installColumnRules(sqlite3* db, const std::string& database, const std::string& owner) {
  const std::string schema = quoteName(database);
  std::vector<std::pair<std::string, std::string>> tables;  // name, CREATE text
  {
    Query q(db, "SELECT name, sql FROM " + schema +
                    ".sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%'");
    while (q.step()) tables.emplace_back(q.text(0), q.text(1));
  }
  std::vector<std::pair<std::string, std::string>> existing;  // trigger name, its text
  {
    Query q(db, "SELECT name, sql FROM " + schema +
                    ".sqlite_master WHERE type = 'trigger' AND name LIKE 'ora$fit$%'");
    while (q.step()) existing.emplace_back(q.text(0), q.text(1));
  }
  auto current = [&](const std::string& name) {
    for (const auto& [n, sql] : existing)
      if (n == name) return sql;
    return std::string();
  };
  for (const auto& [table, createText] : tables) {
    if (upperAscii(createText).find("WITHOUT ROWID") != std::string::npos) continue;
    std::string sets, columns;
    {
      Query q(db, "SELECT name, type FROM pragma_table_info(" + quoteLiteral(table) + ", " +
                      quoteLiteral(database) + ")");
      while (q.step()) {
        const std::string column = q.text(0);
        const std::string declared = q.text(1);
        if (!hasRule(parseDeclaredType(declared)) && !mayNameType(declared)) continue;
        const std::string label =
            quoteName(owner) + "." + quoteName(upperAscii(table)) + "." + quoteName(upperAscii(column));
        if (!sets.empty()) {
          sets += ", ";
          columns += ", ";
        }
        sets += quoteName(column) + " = ora_fit(" + quoteName(column) + ", " + quoteLiteral(declared) + ", " +
                quoteLiteral(label) + ")";
        columns += quoteName(column);
      }
    }
    const std::string base = "ora$fit$" + table;
    const std::string update =
        "UPDATE " + quoteName(table) + " SET " + sets + " WHERE _rowid_ = NEW._rowid_; END";
    const std::string onInsert = "CREATE TRIGGER " + quoteName(base + "$i") + " AFTER INSERT ON " +
                                 quoteName(table) + " BEGIN " + update;
    const std::string onUpdate = "CREATE TRIGGER " + quoteName(base + "$u") + " AFTER UPDATE OF " + columns +
                                 " ON " + quoteName(table) + " BEGIN " + update;
    const bool wanted = !sets.empty();
    const std::pair<std::string, std::string> triggers[] = {{base + "$i", onInsert}, {base + "$u", onUpdate}};
    for (const auto& [name, text] : triggers) {
      const std::string have = current(name);
      if (wanted && have == text) continue;
      if (!have.empty()) run(db, "DROP TRIGGER " + schema + "." + quoteName(name));
      if (wanted) {
        // A trigger is created in the database its name is qualified with.
        std::string qualified = text;
        qualified.replace(std::string("CREATE TRIGGER ").size(), quoteName(name).size(),
                          schema + "." + quoteName(name));
        run(db, qualified);
      }
    }
  }
}

}  // namespace ocistandin
