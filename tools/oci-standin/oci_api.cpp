// The exported entry points of environments, handles, attributes, errors, connections and
// statements, and the buffer conversions between the caller's bind and define areas and the
// server's values. LOBs are in oci_lob_api.cpp, datetime and number values in
// oci_value_api.cpp, the old call level in oci7_api.cpp.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "tools/oci-standin/oci_internal.h"
#include "tools/oci-standin/oci_object.h"

namespace ocistandin {
namespace {

Value descriptorValue(ub2 externalType, void* descriptor) {
  if (externalType == SQLT_INTERVAL_YM || externalType == SQLT_INTERVAL_DS) {
    IntervalHandle* h = lookupInterval(descriptor);
    if (!h) throw OraError(1867, "the interval is invalid");
    if (!h->valid) return {};
    return Value::text(intervalText(h->value, 9, h->value.yearMonth ? 0 : 9));
  }
  DateTimeHandle* h = lookupDateTime(descriptor);
  if (!h) throw OraError(1891, "Datetime/Interval internal error");
  if (!h->valid) return {};
  TimeStamp t = h->value;
  if (externalType == SQLT_TIMESTAMP_TZ) {
    t.hasZone = true;
  } else if (t.hasZone && t.zoneMinutes != 0 && externalType == SQLT_TIMESTAMP_LTZ) {
    // A local time zone value is kept in the session's zone, which is UTC here.
    TimeStamp utc = t;
    utc.zoneMinutes = 0;
    int64_t shift = -t.zoneMinutes;
    DateTime d = t.date;
    const auto days = std::chrono::sys_days{std::chrono::year{d.year} / d.month / d.day};
    int64_t minutes = d.hour * 60 + d.minute + shift;
    auto day = days + std::chrono::days{minutes >= 0 ? minutes / 1440 : -((-minutes + 1439) / 1440)};
    minutes = ((minutes % 1440) + 1440) % 1440;
    const std::chrono::year_month_day ymd{day};
    utc.date = {static_cast<int>(ymd.year()),
                static_cast<int>(static_cast<unsigned>(ymd.month())),
                static_cast<int>(static_cast<unsigned>(ymd.day())),
                static_cast<int>(minutes / 60),
                static_cast<int>(minutes % 60),
                d.second};
    t = utc;
    t.hasZone = false;
  } else {
    t.hasZone = false;
  }
  return Value::text(storedTimestamp(t));
}

void fillDescriptor(ub2 externalType, void* descriptor, const Value& value, const Session&) {
  if (externalType == SQLT_INTERVAL_YM || externalType == SQLT_INTERVAL_DS) {
    IntervalHandle* h = lookupInterval(descriptor);
    if (!h) throw OraError(1867, "the interval is invalid");
    Interval v;
    if (value.kind != Value::Kind::Text || !parseInterval(value.bytes, externalType == SQLT_INTERVAL_YM, v))
      throw OraError(1867, "the interval is invalid");
    h->value = v;
    h->valid = true;
    return;
  }
  DateTimeHandle* h = lookupDateTime(descriptor);
  if (!h) throw OraError(1891, "Datetime/Interval internal error");
  TimeStamp t;
  if (value.kind != Value::Kind::Text || !parseStoredTimestamp(value.bytes, t))
    throw OraError(1861, "literal does not match format string");
  if (h->type == OCI_DTYPE_TIMESTAMP_TZ) {
    t.hasZone = true;
  } else if (h->type == OCI_DTYPE_TIMESTAMP) {
    t.hasZone = false;
    t.zoneMinutes = 0;
  }
  h->value = t;
  h->valid = true;
}

Value readArea(const Area& a, ub4 row) {
  const sb2* ind = a.indicatorAt(row);
  if (ind && *ind < 0) return {};
  const char* p = a.valueAt(row);
  if (!p) return {};
  const ub2* alen = a.lengthAt(row);
  const size_t size = a.size < 0 ? 0 : static_cast<size_t>(a.size);
  const size_t given = alen ? std::min<size_t>(*alen, size) : size;
  const bool wide = a.charsetId == kUtf16CharsetId;
  auto text = [&](std::string s) {
    if (wide) s = textOfUtf16Bytes(s.data(), s.size());
    if (singleByteCharset(a.charsetId)) s = textOfLatin1(s);
    return s.empty() ? Value{} : Value::text(std::move(s));
  };
  switch (a.type) {
    case SQLT_STR:
      if (wide) {
        size_t n = 0;
        while (n + 1 < size && (p[n] != 0 || p[n + 1] != 0)) n += 2;
        return text(std::string(p, n));
      }
      return text(std::string(p, strnlen(p, size)));
    case SQLT_AVC: {
      // Fixed text with a terminator: what lies after the terminator is padding, not value.
      std::string s(p, given);
      if (wide) {
        for (size_t n = 0; n + 1 < s.size(); n += 2)
          if (s[n] == 0 && s[n + 1] == 0) {
            s.resize(n);
            break;
          }
      } else if (const size_t nul = s.find('\0'); nul != std::string::npos) {
        s.resize(nul);
      }
      return text(std::move(s));
    }
    case SQLT_CHR:
    case SQLT_AFC:
    case SQLT_LNG:
      return text(std::string(p, given));
    case SQLT_VCS: {
      if (size < 2) return {};
      ub2 n;
      std::memcpy(&n, p, 2);
      return text(std::string(p + 2, std::min<size_t>(n, size - 2)));
    }
    case SQLT_INT:
      switch (size) {
        case 1:
          return Value::number(*reinterpret_cast<const int8_t*>(p));
        case 2: {
          int16_t v;
          std::memcpy(&v, p, 2);
          return Value::number(v);
        }
        case 4: {
          int32_t v;
          std::memcpy(&v, p, 4);
          return Value::number(v);
        }
        case 8: {
          int64_t v;
          std::memcpy(&v, p, 8);
          return Value::number(v);
        }
        default:
          unsupportedType(a.type);
      }
    case SQLT_FLT:
      if (size == 4) {
        float v;
        std::memcpy(&v, p, 4);
        return Value::floating(v);
      }
      if (size == 8) {
        double v;
        std::memcpy(&v, p, 8);
        return Value::floating(v);
      }
      unsupportedType(a.type);
    case SQLT_VNU:
    case SQLT_NUM: {
      const auto* b = reinterpret_cast<const uint8_t*>(p);
      const size_t length = a.type == SQLT_VNU ? (size > 0 ? b[0] : 0) : given;
      if (a.type == SQLT_VNU && (size < 1 || length + 1 > size)) unsupportedType(a.type);
      if (a.type == SQLT_VNU && length == 0) return {};
      const auto n = fromNumberBytes(a.type == SQLT_VNU ? b + 1 : b, length);
      if (!n) throw OraError(ORA_INVALID_NUMBER, "invalid number");
      return valueOfNumber(*n);
    }
    case SQLT_DAT: {
      DateTime d;
      if (size < 7 || !fromOraDate(reinterpret_cast<const uint8_t*>(p), d))
        throw OraError(1841, "(full) year must be between -4713 and +9999, and not be 0");
      return Value::text(canonicalDate(d));
    }
    case SQLT_BIN:
    case SQLT_LBI:
      if (given == 0) return {};
      return {Value::Kind::Bytes, 0, 0, std::string(p, given)};
    case SQLT_RDD: {
      const auto* d = lookupRowid(pointerAt(p));
      if (!d) throw OraError(1410, "invalid ROWID");
      int64_t number = 0;
      if (!rowidOf(*d, number)) throw OraError(1410, "invalid ROWID");
      return Value::text(rowidText(number));
    }
    case SQLT_CLOB:
    case SQLT_BLOB:
    case SQLT_BFILE: {
      void* locator = pointerAt(p);
      LobHandle* l = lookup<LobHandle>(locator, a.type == SQLT_BFILE ? OCI_DTYPE_FILE : OCI_DTYPE_LOB);
      if (!l) throw OraError(22275, "invalid LOB locator specified");
      return lobValue(*l);
    }
    case SQLT_TIMESTAMP:
    case SQLT_TIMESTAMP_TZ:
    case SQLT_TIMESTAMP_LTZ:
    case SQLT_INTERVAL_YM:
    case SQLT_INTERVAL_DS:
      return descriptorValue(a.type, pointerAt(p));
    case SQLT_RSET:
      return {};
    default:
      unsupportedType(a.type);
  }
}

double numberOf(const Value& v) {
  switch (v.kind) {
    case Value::Kind::Integer:
      return static_cast<double>(v.integer);
    case Value::Kind::Real:
      return v.real;
    default:
      return toDouble(exactOf(v));
  }
}

// Writes one value into a row of a define or output bind. A NULL without an indicator, or a
// truncated value without one, raises ORA-01405 or ORA-01406; a truncation with an indicator
// answers true, so that the fetch reports it.
bool writeArea(const Session& session, const Area& a, ub4 row, const Value& value,
               const DeclaredType& column) {
  sb2* ind = a.indicatorAt(row);
  ub2* rlen = a.lengthAt(row);
  ub2* rcode = a.codeAt(row);
  char* p = a.valueAt(row);
  const size_t size = a.size < 0 ? 0 : static_cast<size_t>(a.size);
  const bool null = value.isNull() || (value.kind == Value::Kind::Text && value.bytes.empty());
  if (null) {
    if (!ind) throw OraError(1405, "fetched column value is NULL");
    *ind = -1;
    if (rlen) *rlen = 0;
    if (rcode) *rcode = 1405;
    return false;
  }
  if (ind) *ind = 0;
  if (rcode) *rcode = 0;
  if (!p) throw OraError(24334, "no descriptor for this position");
  const bool wide = a.charsetId == kUtf16CharsetId && isTextType(a.type);
  bool truncated = false;
  const bool narrow = singleByteCharset(a.charsetId) && isTextType(a.type);
  auto putBytes = [&](const std::string& raw, bool terminate, bool pad) {
    const std::string s = wide ? utf16Bytes(raw) : narrow ? latin1Of(raw) : raw;
    const size_t unit = wide ? 2 : 1;
    const size_t room = terminate ? (size < unit ? 0 : size - unit) : size;
    size_t n = std::min(s.size(), room);
    if (wide) n -= n % 2;
    std::memcpy(p, s.data(), n);
    size_t written = n;
    if (pad && n < room) {
      for (size_t k = n; k + unit <= room; k += unit) {
        p[k] = ' ';
        if (wide) p[k + 1] = 0;
      }
      written = room - (room - n) % unit;
    }
    if (terminate && size >= unit) std::memset(p + written, 0, unit);
    if (rlen) *rlen = static_cast<ub2>(std::min<size_t>(written, 65535));
    if (n < s.size()) {
      if (!ind) throw OraError(1406, "fetched column value was truncated");
      *ind = static_cast<sb2>(std::min<size_t>(s.size(), 32767));
      if (rcode) *rcode = 1406;
      truncated = true;
    }
  };
  switch (a.type) {
    case SQLT_STR:
      putBytes(valueText(session, value, column), true, false);
      return truncated;
    case SQLT_CHR:
    case SQLT_LNG:
      putBytes(valueText(session, value, column), false, false);
      return truncated;
    case SQLT_AVC:
      putBytes(valueText(session, value, column), true, true);
      return truncated;
    case SQLT_AFC:
      putBytes(valueText(session, value, column), false, true);
      return truncated;
    case SQLT_VCS: {
      if (size < 2) unsupportedType(a.type);
      const std::string s = valueText(session, value, column);
      const size_t n = std::min(s.size(), size - 2);
      const auto length = static_cast<ub2>(n);
      std::memcpy(p, &length, 2);
      std::memcpy(p + 2, s.data(), n);
      if (rlen) *rlen = static_cast<ub2>(n + 2);
      if (n < s.size()) {
        if (!ind) throw OraError(1406, "fetched column value was truncated");
        *ind = static_cast<sb2>(std::min<size_t>(s.size(), 32767));
        return true;
      }
      return false;
    }
    case SQLT_BIN:
    case SQLT_LBI:
      putBytes(value.kind == Value::Kind::Bytes ? value.bytes : valueText(session, value, 0), false, false);
      return truncated;
    case SQLT_CLOB:
    case SQLT_BLOB:
    case SQLT_BFILE: {
      LobHandle* l = lookup<LobHandle>(pointerAt(p), a.type == SQLT_BFILE ? OCI_DTYPE_FILE : OCI_DTYPE_LOB);
      if (!l) throw OraError(22275, "invalid LOB locator specified");
      fillLob(*l, value, a.type == SQLT_CLOB, session);
      return false;
    }
    case SQLT_RDD: {
      RowidData* d = lookupRowid(pointerAt(p));
      int64_t number = 0;
      if (!d || value.kind != Value::Kind::Text || !rowidRow(value.bytes, number))
        throw OraError(1410, "invalid ROWID");
      putRowid(*d, number);
      if (rlen) *rlen = sizeof(void*);
      return false;
    }
    case SQLT_TIMESTAMP:
    case SQLT_TIMESTAMP_TZ:
    case SQLT_TIMESTAMP_LTZ:
    case SQLT_INTERVAL_YM:
    case SQLT_INTERVAL_DS:
      fillDescriptor(a.type, pointerAt(p), value, session);
      if (rlen) *rlen = sizeof(void*);
      return false;
    case SQLT_INT: {
      const auto exact = toInteger(exactOf(value));
      const int64_t v = exact ? *exact : 0;
      const int bits = static_cast<int>(size) * 8;
      if (!exact || (bits < 64 && (v < -(int64_t{1} << (bits - 1)) || v >= (int64_t{1} << (bits - 1)))))
        throw OraError(1455, "converting column overflows integer datatype");
      switch (size) {
        case 1: {
          const auto x = static_cast<int8_t>(v);
          std::memcpy(p, &x, 1);
          break;
        }
        case 2: {
          const auto x = static_cast<int16_t>(v);
          std::memcpy(p, &x, 2);
          break;
        }
        case 4: {
          const auto x = static_cast<int32_t>(v);
          std::memcpy(p, &x, 4);
          break;
        }
        case 8:
          std::memcpy(p, &v, 8);
          break;
        default:
          unsupportedType(a.type);
      }
      if (rlen) *rlen = static_cast<ub2>(size);
      return false;
    }
    case SQLT_FLT: {
      const double d = numberOf(value);
      if (size == 4) {
        const auto f = static_cast<float>(d);
        std::memcpy(p, &f, 4);
      } else if (size == 8) {
        std::memcpy(p, &d, 8);
      } else {
        unsupportedType(a.type);
      }
      if (rlen) *rlen = static_cast<ub2>(size);
      return false;
    }
    case SQLT_VNU:
    case SQLT_NUM: {
      const NumberBytes b = toNumberBytes(exactOf(value));
      const size_t need = b.length + (a.type == SQLT_VNU ? 1u : 0u);
      if (size < need) unsupportedType(a.type);
      if (a.type == SQLT_VNU) {
        p[0] = static_cast<char>(b.length);
        std::memcpy(p + 1, b.bytes.data(), b.length);
      } else {
        std::memcpy(p, b.bytes.data(), b.length);
      }
      if (rlen) *rlen = static_cast<ub2>(need);
      return false;
    }
    case SQLT_DAT: {
      DateTime d;
      if (value.kind != Value::Kind::Text || !parseCanonicalDate(value.bytes.substr(0, 19), d))
        throw OraError(1861, "literal does not match format string");
      if (size < 7) unsupportedType(a.type);
      const auto bytes = toOraDate(d);
      std::memcpy(p, bytes.data(), 7);
      if (rlen) *rlen = 7;
      return false;
    }
    default:
      unsupportedType(a.type);
  }
}

// Opens `sql` on the statement handle `target`, as the server hands out a cursor that a block
// opened or a cursor expression made.
void openCursorOn(StmtHandle& target, const StmtHandle& owner, Session& session, const std::string& sql,
                  BindAccess& values) {
  target.text = sql;
  target.shape = rewriteSql(sql);
  target.prepared = true;
  target.binds.clear();
  target.defines.clear();
  target.params.clear();
  target.session = owner.session;
  target.generation = owner.generation;
  target.cursor = std::make_unique<Cursor>(session, sql);
  target.cursor->execute(values, false);
  target.rowCount = 0;
  target.rowsDelivered = 0;
  target.rowPending = false;
  target.outQueue.clear();
  target.executed = target.open = true;
}

// The values of a statement without binds.
class NoBinds : public BindAccess {
 public:
  Value input(size_t, const std::string&) override { throw OraError(1008, "not all variables bound"); }
  void output(size_t, const std::string&, const Value&) override {
    throw OraError(1008, "not all variables bound");
  }
  void openCursor(size_t, const std::string&, const std::string&, BindAccess&) override {
    throw OraError(1001, "invalid cursor");
  }
};

// The bind values of one iteration, read from and written to the caller's bind areas.
class AreaBinds : public BindAccess {
 public:
  AreaBinds(StmtHandle& stmt, Session& session, ub4 row) : stmt_(stmt), session_(session), row_(row) {}
  Value input(size_t position, const std::string& name) override {
    BindHandle& b = find(position, name);
    if (Value object; objectBindInput(b, object)) return object;
    if (!b.atExec) return readArea(b.area, row_);
    if (b.inCallback && !b.complete) gatherPieces(b);
    if (b.pieces.empty()) return {};
    if (b.area.type == SQLT_LBI) return {Value::Kind::Bytes, 0, 0, b.pieces};
    return Value::text(b.pieces);
  }
  void output(size_t position, const std::string& name, const Value& value) override {
    BindHandle& b = find(position, name);
    if (objectBindOutput(b, value)) return;
    if (!b.atExec) {
      writeArea(session_, b.area, 0, value, DeclaredType{"", 0});
      return;
    }
    // A value given at execution leaves in pieces once the statement has run.
    b.pieces = value.kind == Value::Kind::Bytes ? value.bytes : valueText(session_, value, 0);
    b.complete = true;
    std::string data = b.area.charsetId == kUtf16CharsetId ? utf16Bytes(b.pieces) : b.pieces;
    const bool null = value.isNull() || b.pieces.empty();
    for (auto& out : stmt_.outQueue)
      if (out.bind == &b) {
        out.data = std::move(data);
        out.null = null;
        return;
      }
    stmt_.outQueue.push_back({&b, std::move(data), null});
  }
  void openCursor(size_t position, const std::string& name, const std::string& sql,
                  BindAccess& values) override {
    const Area& area = find(position, name).area;
    StmtHandle* target = area.type == SQLT_RSET && area.value
                             ? lookup<StmtHandle>(*reinterpret_cast<void* const*>(area.value), OCI_HTYPE_STMT)
                             : nullptr;
    if (!target || target == &stmt_) throw OraError(1001, "invalid cursor");
    openCursorOn(*target, stmt_, session_, sql, values);
  }

 private:
  // Asks the in-bind callback for pieces until it gives the last one.
  void gatherPieces(BindHandle& b) {
    b.pieces.clear();
    ub1 piece = kFirstPiece;
    for (int guard = 0; guard < 1000000; ++guard) {
      void* buffer = nullptr;
      ub4 length = 0;
      void* indicator = nullptr;
      ub1 asked = guard == 0 ? kFirstPiece : kNextPiece;
      piece = asked;
      if (b.inCallback(b.inContext, &b, row_, 0, &buffer, &length, &piece, &indicator) != OCI_CONTINUE)
        throw OraError(1013, "user requested cancel of current operation");
      const bool null = indicator && *static_cast<const sb2*>(indicator) < 0;
      if (buffer && !null) b.pieces.append(static_cast<const char*>(buffer), length);
      if (piece == kOnePiece || piece == kLastPiece) {
        b.complete = true;
        return;
      }
    }
    throw OraError(3129, "the next piece to be inserted is required");
  }

  BindHandle& find(size_t position, const std::string& name) {
    for (auto& b : stmt_.binds)
      if (!b->name.empty() && b->name == name) return *b;
    for (auto& b : stmt_.binds)
      if (b->name.empty() && b->position == position) return *b;
    throw OraError(1008, "not all variables bound");
  }
  StmtHandle& stmt_;
  Session& session_;
  ub4 row_;
};

// A locator just filled from a row remembers the row, so that writes through it reach the table.
void bindLobToRow(const Area& a, ub4 row, const StmtHandle& stmt, const ColumnInfo& column, int64_t number) {
  LobHandle* l = lookup<LobHandle>(pointerAt(a.valueAt(row)), OCI_DTYPE_LOB);
  if (!l) return;
  l->session = stmt.session;
  l->generation = stmt.generation;
  l->database = column.database;
  l->table = column.table;
  l->column = column.origin;
  l->row = number;
  l->national = column.type.national();
}

DefineHandle* defineAt(StmtHandle& stmt, ub4 position) {
  for (auto& d : stmt.defines)
    if (d->position == position) return d.get();
  return nullptr;
}

// The bytes a dynamic define receives for a value, and whether it is NULL.
std::string pieceBytes(const Session& session, const DefineHandle& d, const Value& v, uint16_t code,
                       bool& null) {
  null = v.isNull() || (v.kind == Value::Kind::Text && v.bytes.empty());
  if (null) return {};
  if (v.kind == Value::Kind::Bytes) return v.bytes;
  const std::string text = valueText(session, v, code);
  return d.area.charsetId == kUtf16CharsetId ? utf16Bytes(text) : text;
}

// Hands a whole value to a define's callback, one piece per call, as large as it offers.
void deliverByCallback(DefineHandle& d, ub4 row, const std::string& data, bool null) {
  size_t at = 0;
  for (bool first = true;; first = false) {
    void* buffer = nullptr;
    ub4* length = nullptr;
    void* indicator = nullptr;
    ub2* code = nullptr;
    ub1 piece = first ? kFirstPiece : kNextPiece;
    if (d.callback(d.context, &d, row, &buffer, &length, &piece, &indicator, &code) != OCI_CONTINUE)
      throw OraError(1013, "user requested cancel of current operation");
    if (null) {
      if (indicator) *static_cast<sb2*>(indicator) = -1;
      if (length) *length = 0;
      return;
    }
    if (!length || (!buffer && *length > 0)) throw OraError(24302, "no piece information available");
    const size_t n = std::min<size_t>(*length, data.size() - at);
    if (n > 0) std::memcpy(buffer, data.data() + at, n);
    *length = static_cast<ub4>(n);
    if (indicator) *static_cast<sb2*>(indicator) = 0;
    if (code) *code = 0;
    at += n;
    if (at >= data.size()) return;
    if (n == 0) throw OraError(1406, "fetched column value was truncated");
  }
}

// Starts the piecewise transfer of the first dynamic column from `from` on that has no callback;
// false when the row has none left.
bool startPieces(StmtHandle& stmt, const Session& session, size_t from) {
  const auto& columns = stmt.cursor->columns();
  for (size_t c = from; c < stmt.pendingRow.size(); ++c) {
    DefineHandle* d = defineAt(stmt, static_cast<ub4>(c + 1));
    if (!d || !d->dynamic || d->callback) continue;
    stmt.pieceColumn = c;
    stmt.pieceDefine = d;
    stmt.pieceData = pieceBytes(session, *d, stmt.pendingRow[c], columns[c].type.code, stmt.pieceNull);
    stmt.pieceAt = 0;
    d->target.given = false;
    return true;
  }
  stmt.pieceDefine = nullptr;
  return false;
}

// Puts the next piece into the buffer the caller set; true when the row is complete.
bool continuePieces(StmtHandle& stmt, const Session& session) {
  DefineHandle* d = stmt.pieceDefine;
  if (!d->target.given || !d->target.length) throw OraError(24302, "no piece information available");
  PieceTarget& t = d->target;
  t.given = false;
  if (stmt.pieceNull) {
    if (t.indicator) *t.indicator = -1;
    *t.length = 0;
    stmt.pieceAt = stmt.pieceData.size();
  } else {
    const size_t n = std::min<size_t>(*t.length, stmt.pieceData.size() - stmt.pieceAt);
    if (n > 0) std::memcpy(t.buffer, stmt.pieceData.data() + stmt.pieceAt, n);
    *t.length = static_cast<ub4>(n);
    if (t.indicator) *t.indicator = 0;
    stmt.pieceAt += n;
    if (n == 0 && stmt.pieceAt < stmt.pieceData.size())
      throw OraError(1406, "fetched column value was truncated");
  }
  if (stmt.pieceAt < stmt.pieceData.size()) return false;
  return !startPieces(stmt, session, stmt.pieceColumn + 1);
}

// Writes one row into the defines at array row `got`: by callback for dynamic defines with one
// (those without wait for OCIStmtSetPieceInfo), cursor columns onto their statement handles,
// everything else into the buffers; a LOB locator remembers its row (`origins`, 0 for none).
void deliverRow(StmtHandle& stmt, Session& session, const std::vector<Value>& row,
                const std::vector<int64_t>& origins, ub4 got) {
  const auto& columns = stmt.cursor->columns();
  for (size_t c = 0; c < row.size(); ++c) {
    DefineHandle* d = defineAt(stmt, static_cast<ub4>(c + 1));
    if (!d) continue;
    if (d->dynamic) {
      if (d->callback) {
        bool null = false;
        const std::string data = pieceBytes(session, *d, row[c], columns[c].type.code, null);
        deliverByCallback(*d, got, data, null);
      }
      continue;
    }
    if (d->area.type == SQLT_RSET) {
      // A cursor column: the row's cursor opens on the statement handle the buffer names.
      std::string sql;
      if (!cursorExpression(row[c], sql)) throw OraError(932, "inconsistent datatypes: expected CURSOR");
      auto* target = lookup<StmtHandle>(pointerAt(d->area.valueAt(got)), OCI_HTYPE_STMT);
      if (!target || target == &stmt) throw OraError(1001, "invalid cursor");
      NoBinds none;
      openCursorOn(*target, stmt, session, sql, none);
      if (sb2* ind = d->area.indicatorAt(got)) *ind = 0;
      continue;
    }
    if (deliverObject(stmt, *d, got, row[c])) continue;
    stmt.truncated = writeArea(session, d->area, got, row[c], columns[c].type) || stmt.truncated;
    if ((d->area.type == SQLT_CLOB || d->area.type == SQLT_BLOB) && c < origins.size() && origins[c] != 0)
      bindLobToRow(d->area, got, stmt, columns[c], origins[c]);
  }
}

// Fetches up to `rows` rows into the defines; answers the rows written. A row with a column
// defined for pieces stops the fetch with `needData` set until its pieces are taken.
ub4 fetchRows(StmtHandle& stmt, ub4 rows, bool* needData = nullptr) {
  Session& session = cursorSession(stmt);
  ub4 got = 0;
  if (needData) *needData = false;
  if (stmt.rowPending) {
    if (!continuePieces(stmt, session)) {
      if (needData) *needData = true;
      return 0;
    }
    stmt.rowPending = false;
    ++got;
    ++stmt.rowsDelivered;
  }
  std::vector<Value>& row = stmt.pendingRow;
  while (got < rows && stmt.open) {
    if (failAfterRowsOn && stmt.rowsDelivered >= failAfterRows) {
      stmt.open = false;
      stmt.rowCount += got;
      throw OraError(ORA_INVALID_NUMBER, "invalid number");
    }
    if (!stmt.cursor->fetch(row)) {
      stmt.open = false;
      break;
    }
    std::vector<int64_t> origins(row.size());
    for (size_t c = 0; c < row.size(); ++c) origins[c] = stmt.cursor->originRow(c);
    if (const int64_t locked = stmt.cursor->lockedRow()) stmt.changedRow = locked;
    deliverRow(stmt, session, row, origins, got);
    if (startPieces(stmt, session, 0)) {
      stmt.rowPending = true;
      if (needData) *needData = true;
      break;
    }
    ++got;
    ++stmt.rowsDelivered;
  }
  stmt.rowCount += got;
  return got;
}

void copyText(const std::string& s, OraText* buffer, ub4 size) {
  if (!buffer || size == 0) return;
  const size_t n = std::min<size_t>(s.size(), size - 1);
  std::memcpy(buffer, s.data(), n);
  buffer[n] = 0;
}

}  // namespace
}  // namespace ocistandin

using namespace ocistandin;

// --- Environment and handles --------------------------------------------------------------------

OCI_EXPORT sword OCIInitialize(ub4, void*, void*, void*, void*) {
  ++callCount;
  return OCI_SUCCESS;
}

static sword makeEnv(void** envp, size_t extra, void** userMemory) {
  if (!envp) return OCI_INVALID_HANDLE;
  ++callCount;
  try {
    auto* env = new EnvHandle();
    if (extra && userMemory) {
      env->userMemory = std::make_unique<char[]>(extra);
      *userMemory = env->userMemory.get();
    }
    readHooks();
    *envp = env;
    return OCI_SUCCESS;
  } catch (const std::bad_alloc&) {
    return OCI_ERROR;
  }
}

OCI_EXPORT sword OCIEnvInit(void** envp, ub4, size_t xtramemsz, void** usrmempp) {
  return makeEnv(envp, xtramemsz, usrmempp);
}

OCI_EXPORT sword OCIEnvCreate(void** envp, ub4, void*, void*, void*, void*, size_t xtramemsz,
                              void** usrmempp) {
  return makeEnv(envp, xtramemsz, usrmempp);
}

OCI_EXPORT sword OCIHandleAlloc(const void* parenth, void** hndlpp, ub4 type, size_t xtramem_sz,
                                void** usrmempp) {
  return entry(nullptr, [&](ErrorHandle*) -> sword {
    auto& env = need<EnvHandle>(parenth, OCI_HTYPE_ENV);
    if (!hndlpp) return OCI_INVALID_HANDLE;
    Handle* h = nullptr;
    switch (type) {
      case OCI_HTYPE_ERROR:
        h = new ErrorHandle(type, &env);
        break;
      case OCI_HTYPE_SVCCTX:
        h = new SvcHandle(type, &env);
        break;
      case OCI_HTYPE_STMT:
        h = new StmtHandle(type, &env);
        break;
      case OCI_HTYPE_SERVER:
        h = new ServerHandle(type, &env);
        break;
      case OCI_HTYPE_SESSION:
        h = new SessionHandle(type, &env);
        break;
      case OCI_HTYPE_DESCRIBE:
        h = new RowidHandle(type, &env);
        break;
      default:
        return OCI_INVALID_HANDLE;
    }
    if (xtramem_sz && usrmempp) {
      h->userMemory = std::make_unique<char[]>(xtramem_sz);
      *usrmempp = h->userMemory.get();
    }
    {
      std::lock_guard lock(registryMutex);
      env.adopt(h);
    }
    *hndlpp = h;
    return OCI_SUCCESS;
  });
}

static void releaseChild(Handle* h) {
  {
    std::lock_guard lock(registryMutex);
    h->env->release(h);
  }
  delete h;
}

OCI_EXPORT sword OCIHandleFree(void* hndlp, ub4 type) {
  return entry(nullptr, [&](ErrorHandle*) -> sword {
    if (type == OCI_HTYPE_BIND || type == OCI_HTYPE_DEFINE) {
      // Binds and defines belong to their statement and go with it.
      need<Handle>(hndlp, type);
      return OCI_SUCCESS;
    }
    auto& h = need<Handle>(hndlp, type);
    if (type == OCI_HTYPE_ENV) {
      if (const char* path = std::getenv("OCI_STANDIN_COUNT_FILE")) {
        std::ofstream out(path, std::ios::trunc);
        out << callCount.load() << "\n";
      }
      delete &h;
      return OCI_SUCCESS;
    }
    releaseChild(&h);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDescriptorAlloc(const void* parenth, void** descpp, ub4 type, size_t, void**) {
  return entry(nullptr, [&](ErrorHandle*) -> sword {
    auto& env = need<EnvHandle>(parenth, OCI_HTYPE_ENV);
    if (!descpp) return OCI_INVALID_HANDLE;
    if (type == OCI_DTYPE_ROWID) {
      auto* d = new RowidData();
      d->env = &env;
      std::lock_guard lock(registryMutex);
      rowidRegistry.insert(d);
      *descpp = d;
      return OCI_SUCCESS;
    }
    Handle* h = nullptr;
    switch (type) {
      case OCI_DTYPE_LOB:
      case OCI_DTYPE_FILE:
        h = new LobHandle(type, &env);
        break;
      case OCI_DTYPE_TIMESTAMP:
      case OCI_DTYPE_TIMESTAMP_TZ:
      case OCI_DTYPE_TIMESTAMP_LTZ:
        h = new DateTimeHandle(type, &env);
        break;
      case OCI_DTYPE_INTERVAL_YM:
      case OCI_DTYPE_INTERVAL_DS: {
        auto* interval = new IntervalHandle(type, &env);
        interval->value.yearMonth = type == OCI_DTYPE_INTERVAL_YM;
        h = interval;
        break;
      }
      default:
        h = newObjectDescriptor(type, &env);
        if (!h) return OCI_INVALID_HANDLE;
    }
    {
      std::lock_guard lock(registryMutex);
      env.adopt(h);
    }
    *descpp = h;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDescriptorFree(void* descp, ub4 type) {
  return entry(nullptr, [&](ErrorHandle*) -> sword {
    if (type == OCI_DTYPE_ROWID) {
      RowidData* d = lookupRowid(descp);
      if (!d) return OCI_INVALID_HANDLE;
      std::lock_guard lock(registryMutex);
      rowidRegistry.erase(d);
      delete d;
      return OCI_SUCCESS;
    }
    if (type == OCI_DTYPE_PARAM) {
      need<Handle>(descp, type);  // freed with its statement
      return OCI_SUCCESS;
    }
    releaseChild(&need<Handle>(descp, type));
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIRowidToChar(void* rowidDesc, OraText* outbfp, ub2* outbflp, void* errhp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    RowidData* d = lookupRowid(rowidDesc);
    if (!d || !outbflp) return OCI_INVALID_HANDLE;
    int64_t row = 0;
    if (!rowidOf(*d, row)) throw OraError(1410, "invalid ROWID");
    const std::string text = rowidText(row);
    if (*outbflp < text.size() || !outbfp) {
      *outbflp = static_cast<ub2>(text.size());
      throw OraError(1406, "fetched column value was truncated");
    }
    std::memcpy(outbfp, text.data(), text.size());
    *outbflp = static_cast<ub2>(text.size());
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIErrorGet(void* hndlp, ub4 recordno, OraText* sqlstate, sb4* errcodep, OraText* bufp,
                             ub4 bufsiz, ub4 type) {
  if (type != OCI_HTYPE_ERROR && type != OCI_HTYPE_ENV) return OCI_INVALID_HANDLE;
  auto* err = lookup<ErrorHandle>(hndlp, OCI_HTYPE_ERROR);
  if (!err) return OCI_INVALID_HANDLE;
  if (sqlstate) sqlstate[0] = 0;
  const auto [code, text] = err->get();
  if (code == 0 || recordno != 1) return OCI_NO_DATA;
  if (errcodep) *errcodep = code;
  char head[16];
  std::snprintf(head, sizeof head, "ORA-%05d: ", code);
  copyText(head + text + "\n", bufp, bufsiz);
  return OCI_SUCCESS;
}

// --- Attributes ---------------------------------------------------------------------------------

template <class T>
static void put(void* attributep, ub4* sizep, T value) {
  if (attributep) std::memcpy(attributep, &value, sizeof value);
  if (sizep) *sizep = sizeof value;
}

OCI_EXPORT sword OCIAttrGet(const void* trgthndlp, ub4 trghndltyp, void* attributep, ub4* sizep, ub4 attrtype,
                            void* errhp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    if (objectAttrGet(trgthndlp, trghndltyp, attributep, sizep, attrtype)) return OCI_SUCCESS;
    switch (trghndltyp) {
      case OCI_HTYPE_STMT: {
        auto& s = need<StmtHandle>(trgthndlp, trghndltyp);
        switch (attrtype) {
          case OCI_ATTR_ROW_COUNT:
            put<ub4>(attributep, sizep, s.rowCount);
            return OCI_SUCCESS;
          case OCI_ATTR_ROWS_FETCHED:
            put<ub4>(attributep, sizep, s.lastFetched);
            return OCI_SUCCESS;
          case OCI_ATTR_STMT_TYPE: {
            static const ub2 types[] = {0,
                                        OCI_STMT_SELECT,
                                        OCI_STMT_INSERT,
                                        OCI_STMT_UPDATE,
                                        OCI_STMT_DELETE,
                                        OCI_STMT_CREATE,
                                        OCI_STMT_DROP,
                                        OCI_STMT_ALTER,
                                        OCI_STMT_BEGIN,
                                        OCI_STMT_DECLARE,
                                        0,
                                        0};
            put<ub2>(attributep, sizep, types[static_cast<int>(s.shape.kind)]);
            return OCI_SUCCESS;
          }
          case OCI_ATTR_SQLFNCODE: {
            static const ub2 codes[] = {0, 4, 3, 5, 9, 0, 0, 0, 34, 34, 0, 0};
            put<ub2>(attributep, sizep, codes[static_cast<int>(s.shape.kind)]);
            return OCI_SUCCESS;
          }
          case OCI_ATTR_PARAM_COUNT:
            if (!s.cursor) throw OraError(24338, "statement handle not executed");
            cursorSession(s);
            put<ub4>(attributep, sizep, static_cast<ub4>(s.cursor->columns().size()));
            return OCI_SUCCESS;
          case OCI_ATTR_PARSE_ERROR_OFFSET:
            put<ub2>(attributep, sizep, s.errorOffset);
            return OCI_SUCCESS;
          case OCI_ATTR_PREFETCH_ROWS:
          case OCI_ATTR_PREFETCH_MEMORY:
            put<ub4>(attributep, sizep, 0);
            return OCI_SUCCESS;
          case OCI_ATTR_ROWID: {
            // The caller passes its descriptor itself, which receives the ROWID's bytes.
            RowidData* d = lookupRowid(attributep);
            if (!d) throw OraError(24315, "illegal attribute type");
            if (s.changedRow == 0) return OCI_NO_DATA;
            putRowid(*d, s.changedRow);
            return OCI_SUCCESS;
          }
          default:
            break;
        }
        break;
      }
      case OCI_DTYPE_PARAM: {
        auto& p = need<ParamHandle>(trgthndlp, trghndltyp);
        switch (attrtype) {
          case OCI_ATTR_DATA_SIZE:
            put<ub2>(attributep, sizep, p.info.type.size);
            return OCI_SUCCESS;
          case OCI_ATTR_DATA_TYPE:
            put<ub2>(attributep, sizep, p.info.type.code);
            return OCI_SUCCESS;
          case OCI_ATTR_PRECISION:
            put<sb2>(attributep, sizep, p.info.type.precision);
            return OCI_SUCCESS;
          case OCI_ATTR_SCALE:
            put<sb1>(attributep, sizep, p.info.type.scale);
            return OCI_SUCCESS;
          case OCI_ATTR_IS_NULL:
            put<ub1>(attributep, sizep, p.info.nullable ? 1 : 0);
            return OCI_SUCCESS;
          case OCI_ATTR_FSPRECISION:
            put<ub1>(attributep, sizep, p.info.type.fsPrecision);
            return OCI_SUCCESS;
          case OCI_ATTR_LFPRECISION:
            put<ub1>(
                attributep, sizep,
                static_cast<ub1>(p.info.type.code == SQLT_INTERVAL_YM || p.info.type.code == SQLT_INTERVAL_DS
                                     ? p.info.type.precision
                                     : 0));
            return OCI_SUCCESS;
          case OCI_ATTR_CHARSET_FORM:
            put<ub1>(attributep, sizep, p.info.type.charsetForm);
            return OCI_SUCCESS;
          case OCI_ATTR_CHARSET_ID:
            put<ub2>(attributep, sizep,
                     p.info.type.charsetForm == 0 ? 0
                     : p.info.type.national()     ? 2000
                                                  : 873);
            return OCI_SUCCESS;
          case OCI_ATTR_CHAR_SIZE:
            put<ub2>(attributep, sizep, p.info.type.national() ? p.info.type.characters : p.info.type.size);
            return OCI_SUCCESS;
          case OCI_ATTR_NAME:
            if (attributep)
              *static_cast<const OraText**>(attributep) =
                  reinterpret_cast<const OraText*>(p.info.name.c_str());
            if (sizep) *sizep = static_cast<ub4>(p.info.name.size());
            return OCI_SUCCESS;
          default:
            break;
        }
        break;
      }
      case OCI_HTYPE_SVCCTX: {
        auto& s = need<SvcHandle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_ENV) {
          put<void*>(attributep, sizep, s.env);
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_SERVER) {
          put<void*>(attributep, sizep, s.server);
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_SESSION) {
          put<void*>(attributep, sizep, s.session);
          return OCI_SUCCESS;
        }
        break;
      }
      case OCI_HTYPE_SESSION: {
        auto& s = need<SessionHandle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_USERNAME) {
          if (attributep)
            *static_cast<const OraText**>(attributep) = reinterpret_cast<const OraText*>(s.user.c_str());
          if (sizep) *sizep = static_cast<ub4>(s.user.size());
          return OCI_SUCCESS;
        }
        break;
      }
      default:
        need<Handle>(trgthndlp, trghndltyp);
        break;
    }
    throw OraError(24315, "illegal attribute type");
  });
}

OCI_EXPORT sword OCIAttrSet(void* trgthndlp, ub4 trghndltyp, void* attributep, ub4 size, ub4 attrtype,
                            void* errhp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto text = [&] {
      const char* p = static_cast<const char*>(attributep);
      return p ? std::string(p, size) : std::string();
    };
    switch (trghndltyp) {
      case OCI_DTYPE_LOB:
      case OCI_DTYPE_FILE:
        need<LobHandle>(trgthndlp, trghndltyp);  // the locator kind: only plain locators are made here
        return OCI_SUCCESS;
      case OCI_HTYPE_SVCCTX: {
        auto& s = need<SvcHandle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_SERVER) {
          s.server = attributep ? &need<ServerHandle>(attributep, OCI_HTYPE_SERVER) : nullptr;
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_SESSION) {
          s.session = attributep ? &need<SessionHandle>(attributep, OCI_HTYPE_SESSION) : nullptr;
          return OCI_SUCCESS;
        }
        break;
      }
      case OCI_HTYPE_SESSION: {
        auto& s = need<SessionHandle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_USERNAME) {
          s.user = text();
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_PASSWORD) {
          s.password = text();
          return OCI_SUCCESS;
        }
        break;
      }
      case OCI_HTYPE_SERVER: {
        auto& server = need<ServerHandle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_INTERNAL_NAME) return OCI_SUCCESS;
        if (attrtype == OCI_ATTR_FOCBK) {
          // {callback, context}, two pointers.
          void* pair[2] = {nullptr, nullptr};
          if (attributep) std::memcpy(pair, attributep, sizeof pair);
          server.failover = reinterpret_cast<FailoverCallback>(pair[0]);
          server.failoverContext = pair[1];
          return OCI_SUCCESS;
        }
        break;
      }
      case OCI_HTYPE_STMT:
        need<StmtHandle>(trgthndlp, trghndltyp);
        if (attrtype == OCI_ATTR_PREFETCH_ROWS || attrtype == OCI_ATTR_PREFETCH_MEMORY) return OCI_SUCCESS;
        break;
      case OCI_HTYPE_BIND:
      case OCI_HTYPE_DEFINE: {
        Area& area = trghndltyp == OCI_HTYPE_BIND ? need<BindHandle>(trgthndlp, trghndltyp).area
                                                  : need<DefineHandle>(trgthndlp, trghndltyp).area;
        if (attrtype == OCI_ATTR_CHARSET_ID && attributep) {
          std::memcpy(&area.charsetId, attributep, sizeof area.charsetId);
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_CHARSET_FORM && attributep) {
          std::memcpy(&area.charsetForm, attributep, sizeof area.charsetForm);
          if (area.charsetForm != 1 && area.charsetForm != 2)
            throw OraError(1460, "unimplemented or unreasonable conversion requested");
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_MAXDATA_SIZE) return OCI_SUCCESS;
        break;
      }
      default:
        need<Handle>(trgthndlp, trghndltyp);
        break;
    }
    throw OraError(24315, "illegal attribute type");
  });
}

// --- Connection ---------------------------------------------------------------------------------

OCI_EXPORT sword OCIServerAttach(void* srvhp, void* errhp, const OraText* dblink, sb4 dblink_len, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& server = need<ServerHandle>(srvhp, OCI_HTYPE_SERVER);
    if (server.attached) throw OraError(24309, "already connected to a server");
    const auto* p = reinterpret_cast<const char*>(dblink);
    const std::string connect = !p               ? std::string()
                                : dblink_len < 0 ? std::string(p)
                                                 : std::string(p, static_cast<size_t>(dblink_len));
    server.folder = resolveServer(connect);
    server.banner = serverBanner(server.folder);
    server.attached = true;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIServerDetach(void* srvhp, void* errhp, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& server = need<ServerHandle>(srvhp, OCI_HTYPE_SERVER);
    if (!server.attached) throw OraError(24324, "service handle not initialized");
    for (SessionHandle* s : server.sessions) s->core.reset();
    server.attached = false;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIServerVersion(void* hndlp, void* errhp, OraText* bufp, ub4 bufsz, ub1 hndltype) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    if (hndltype == OCI_HTYPE_SVCCTX) {
      copyText(attachedServer(need<SvcHandle>(hndlp, hndltype)).banner, bufp, bufsz);
      return OCI_SUCCESS;
    }
    auto& server = need<ServerHandle>(hndlp, OCI_HTYPE_SERVER);
    if (!server.attached) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
    copyText(server.banner, bufp, bufsz);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCISessionBegin(void* svchp, void* errhp, void* usrhp, ub4 credt, ub4 mode) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    auto& session = need<SessionHandle>(usrhp, OCI_HTYPE_SESSION);
    ServerHandle& server = attachedServer(svc);
    if (credt != OCI_CRED_RDBMS) throw OraError(ORA_LOGON_DENIED, "invalid username/password; logon denied");
    session.privileged = (mode & 6) != 0;
    session.core =
        std::make_unique<Session>(server.folder, session.user, session.password, session.privileged);
    session.dead = false;
    ++session.generation;
    session.server = &server;
    server.sessions.insert(&session);
    svc.session = &session;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCISessionEnd(void* svchp, void* errhp, void* usrhp, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    SessionHandle* session = usrhp ? &need<SessionHandle>(usrhp, OCI_HTYPE_SESSION) : sessionOfSvc(svc);
    if (!session || !session->core) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
    const bool dead = session->dead;
    session->core.reset();
    if (dead) throw OraError(ORA_NOT_CONNECTED, "not connected to ORACLE");
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIPasswordChange(void* svchp, void* errhp, const OraText* user_name, ub4 usernm_len,
                                   const OraText* opasswd, ub4 opasswd_len, const OraText* npasswd,
                                   ub4 npasswd_len, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    const ServerHandle& server = attachedServer(svc);
    auto str = [](const OraText* p, ub4 n) {
      return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
    };
    changePassword(server.folder, upperAscii(str(user_name, usernm_len)), str(opasswd, opasswd_len),
                   str(npasswd, npasswd_len));
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCITransCommit(void* svchp, void* errhp, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    liveSession(sessionOfSvc(need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX))).commit();
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCITransRollback(void* svchp, void* errhp, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    liveSession(sessionOfSvc(need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX))).rollback();
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIBreak(void* hndlp, void* errhp) {
  return entry(
      errhp,
      [&](ErrorHandle*) -> sword {
        std::set<SessionHandle*> targets;
        if (auto* svc = lookup<SvcHandle>(hndlp, OCI_HTYPE_SVCCTX)) {
          if (SessionHandle* s = sessionOfSvc(*svc)) targets.insert(s);
        } else {
          targets = need<ServerHandle>(hndlp, OCI_HTYPE_SERVER).sessions;
        }
        ++breakCount;
        for (SessionHandle* s : targets)
          if (s->core) s->core->interrupt();
        return OCI_SUCCESS;
      },
      true);
}

// --- Statements ---------------------------------------------------------------------------------

OCI_EXPORT sword OCIStmtPrepare(void* stmtp, void* errhp, const OraText* stmt, ub4 stmt_len, ub4, ub4) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& s = need<StmtHandle>(stmtp, OCI_HTYPE_STMT);
    if (!stmt) throw OraError(ORA_INVALID_STATEMENT, "invalid SQL statement");
    std::string text(reinterpret_cast<const char*>(stmt), stmt_len);
    // Callers pass the length with or without the terminating NUL.
    while (!text.empty() && text.back() == '\0') text.pop_back();
    s.text = std::move(text);
    s.shape = rewriteSql(s.text);
    s.prepared = true;
    s.cursor.reset();
    s.binds.clear();
    s.defines.clear();
    s.params.clear();
    s.executed = s.open = false;
    s.rowCount = 0;
    s.errorOffset = 0;
    return OCI_SUCCESS;
  });
}

// Hands an output value to its bind's callback, one piece per call, as large as it offers.
static void deliverToOutCallback(const StmtHandle::OutValue& out) {
  BindHandle& b = *out.bind;
  size_t at = 0;
  for (bool first = true;; first = false) {
    void* buffer = nullptr;
    ub4* length = nullptr;
    void* indicator = nullptr;
    ub2* code = nullptr;
    ub1 piece = first ? kOnePiece : kNextPiece;
    if (b.outCallback(b.outContext, &b, 0, 0, &buffer, &length, &piece, &indicator, &code) != OCI_CONTINUE)
      throw OraError(1013, "user requested cancel of current operation");
    if (out.null) {
      if (indicator) *static_cast<sb2*>(indicator) = -1;
      if (length) *length = 0;
      return;
    }
    if (!length || (!buffer && *length > 0)) throw OraError(24302, "no piece information available");
    const size_t n = std::min<size_t>(*length, out.data.size() - at);
    if (n > 0) std::memcpy(buffer, out.data.data() + at, n);
    *length = static_cast<ub4>(n);
    if (indicator) *static_cast<sb2*>(indicator) = 0;
    if (code) *code = 0;
    at += n;
    if (at >= out.data.size()) return;
    if (n == 0) throw OraError(1406, "fetched column value was truncated");
  }
}

// The next output piece into the buffer OCIStmtSetPieceInfo gave: OCI_NEED_DATA while pieces
// remain, of this value or of the next one.
static sword deliverOutPieces(StmtHandle& s) {
  if (!s.outTarget.given || !s.outTarget.length) throw OraError(24302, "no piece information available");
  StmtHandle::OutValue& out = s.outQueue.front();
  PieceTarget& t = s.outTarget;
  t.given = false;
  if (out.null) {
    if (t.indicator) *t.indicator = -1;
    *t.length = 0;
    s.outAt = out.data.size();
  } else {
    const size_t n = std::min<size_t>(*t.length, out.data.size() - s.outAt);
    if (n > 0) std::memcpy(t.buffer, out.data.data() + s.outAt, n);
    *t.length = static_cast<ub4>(n);
    if (t.indicator) *t.indicator = 0;
    s.outAt += n;
    if (n == 0 && s.outAt < out.data.size()) throw OraError(1406, "fetched column value was truncated");
  }
  if (s.outAt < out.data.size()) return OCI_NEED_DATA;
  s.outQueue.erase(s.outQueue.begin());
  s.outAt = 0;
  return s.outQueue.empty() ? OCI_SUCCESS : OCI_NEED_DATA;
}

OCI_EXPORT sword OCIStmtExecute(void* svchp, void* stmtp, void* errhp, ub4 iters, ub4 rowoff, const void*,
                                void*, ub4 mode) {
  return entry(errhp, [&](ErrorHandle* err) -> sword {
    auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    auto& s = need<StmtHandle>(stmtp, OCI_HTYPE_STMT);
    SessionHandle* sessionHandle = sessionOfSvc(svc);
    Session& session = liveSession(sessionHandle);
    if (!s.prepared) throw OraError(24337, "statement handle not prepared");
    if (!s.cursor || s.session != sessionHandle || s.generation != sessionHandle->generation) {
      s.cursor.reset();
      s.params.clear();
      s.session = sessionHandle;
      s.generation = sessionHandle->generation;
      try {
        s.cursor = std::make_unique<Cursor>(session, s.text);
      } catch (const OraError& e) {
        s.errorOffset = static_cast<ub2>(e.offset);
        throw;
      }
    }
    // Output pieces of the last run go out first; the statement does not run again for them.
    if (!s.outQueue.empty()) return deliverOutPieces(s);
    // A value given at execution is asked for piece by piece before the statement runs.
    for (auto& b : s.binds)
      if (b->atExec && !b->complete && !b->inCallback) {
        s.pieceBind = b.get();
        return OCI_NEED_DATA;
      }
    s.pieceBind = nullptr;
    struct PiecesDone {
      StmtHandle& s;
      ~PiecesDone() {
        for (auto& b : s.binds) {
          b->begun = b->complete = false;
          b->pieces.clear();
        }
      }
    } piecesDone{s};
    s.rowCount = 0;
    s.rowsDelivered = 0;
    s.open = false;
    s.rowPending = false;
    s.outQueue.clear();
    s.outAt = 0;
    s.changedRow = 0;
    const bool describeOnly = (mode & OCI_DESCRIBE_ONLY) != 0;
    sword status = OCI_SUCCESS;
    if (s.cursor->isQuery()) {
      AreaBinds binds(s, session, 0);
      s.cursor->execute(binds, describeOnly);
      s.open = !describeOnly;
      s.scrollable = !describeOnly && (mode & OCI_STMT_SCROLLABLE_READONLY) != 0;
      s.result.clear();
      s.position = 0;
      s.resultOrigins.clear();
      for (std::vector<Value> row; s.scrollable && s.cursor->fetch(row);) {
        std::vector<int64_t> origins(row.size());
        for (size_t c = 0; c < row.size(); ++c) origins[c] = s.cursor->originRow(c);
        s.result.push_back(std::move(row));
        s.resultOrigins.push_back(std::move(origins));
      }
      bool needData = false;
      if (iters > 0 && !describeOnly && fetchRows(s, iters, &needData) < iters) {
        if (needData) {
          status = OCI_NEED_DATA;  // a column defined for pieces: OCIStmtFetch goes on with it
        } else {
          setError(err, ORA_NO_DATA_FOUND, "no data found");
          status = OCI_NO_DATA;
        }
      }
    } else if (describeOnly) {
      return OCI_SUCCESS;
    } else {
      if (iters == 0) throw OraError(24333, "zero iteration count");
      s.changedRow = 0;
      for (ub4 k = 0; k < iters; ++k) {
        AreaBinds binds(s, session, rowoff + k);
        s.cursor->execute(binds, false);
        s.rowCount += static_cast<ub4>(s.cursor->rowsProcessed());
        if (session.changedRow() != 0) s.changedRow = session.changedRow();
      }
    }
    s.executed = true;
    if (mode & OCI_COMMIT_ON_SUCCESS) session.commit();
    if (s.cursor->compiledWithErrors()) {
      setError(err, 24344, "success with compilation error");
      status = OCI_SUCCESS_WITH_INFO;
    }
    // Output values given at execution: through their callbacks now, or piece by piece.
    for (auto it = s.outQueue.begin(); it != s.outQueue.end();) {
      if (!it->bind->outCallback) {
        ++it;
        continue;
      }
      deliverToOutCallback(*it);
      it = s.outQueue.erase(it);
    }
    if (!s.outQueue.empty()) {
      s.outTarget.given = false;
      return OCI_NEED_DATA;
    }
    return status;
  });
}

OCI_EXPORT sword OCIStmtGetPieceInfo(void* stmtp, void* errhp, void** hndlpp, ub4* typep, ub1* in_outp,
                                     ub4* iterp, ub4* idxp, ub1* piecep) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& s = need<StmtHandle>(stmtp, OCI_HTYPE_STMT);
    if (iterp) *iterp = 0;
    if (idxp) *idxp = 0;
    if (s.rowPending && s.pieceDefine) {
      if (hndlpp) *hndlpp = s.pieceDefine;
      if (typep) *typep = OCI_HTYPE_DEFINE;
      if (in_outp) *in_outp = kParamOut;
      if (piecep) *piecep = s.pieceAt == 0 ? kFirstPiece : kNextPiece;
      return OCI_SUCCESS;
    }
    if (!s.outQueue.empty()) {
      if (hndlpp) *hndlpp = s.outQueue.front().bind;
      if (typep) *typep = OCI_HTYPE_BIND;
      if (in_outp) *in_outp = kParamOut;
      if (piecep) *piecep = s.outAt == 0 ? kFirstPiece : kNextPiece;
      return OCI_SUCCESS;
    }
    if (!s.pieceBind) throw OraError(24302, "no piece information available");
    if (hndlpp) *hndlpp = s.pieceBind;
    if (typep) *typep = OCI_HTYPE_BIND;
    if (in_outp) *in_outp = kParamIn;
    if (piecep) *piecep = s.pieceBind->begun ? kNextPiece : kFirstPiece;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIStmtSetPieceInfo(void* hndlp, ub4 type, void* errhp, const void* bufp, ub4* alenp,
                                     ub1 piece, const void* indp, ub2*) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    if (type == OCI_HTYPE_DEFINE) {
      auto& d = need<DefineHandle>(hndlp, type);
      if (!d.dynamic) throw OraError(24302, "no piece information available");
      d.target = {static_cast<char*>(const_cast<void*>(bufp)), alenp,
                  static_cast<sb2*>(const_cast<void*>(indp)), true};
      return OCI_SUCCESS;
    }
    auto& b = need<BindHandle>(hndlp, type);
    if (!b.atExec) throw OraError(24302, "no piece information available");
    if (!b.stmt->outQueue.empty() && b.stmt->outQueue.front().bind == &b) {
      b.stmt->outTarget = {static_cast<char*>(const_cast<void*>(bufp)), alenp,
                           static_cast<sb2*>(const_cast<void*>(indp)), true};
      return OCI_SUCCESS;
    }
    const sb2* ind = static_cast<const sb2*>(indp);
    if (bufp && alenp && !(ind && *ind < 0)) b.pieces.append(static_cast<const char*>(bufp), *alenp);
    b.begun = true;
    if (piece == 0 || piece == 3) b.complete = true;
    return OCI_SUCCESS;
  });
}

// A fetch that cut a value short (its indicator tells by how much) succeeds with information.
sword truncationInfo(const StmtHandle& s, ErrorHandle* err) {
  if (!s.truncated) return OCI_SUCCESS;
  setError(err, 24345, "A Truncation or null fetch error occurred");
  return OCI_SUCCESS_WITH_INFO;
}

// Rows of a scrollable result from row `first` (from 1) on; answers the rows written.
ub4 fetchScrolled(StmtHandle& s, ub4 nrows, long long first) {
  Session& session = cursorSession(s);
  ub4 got = 0;
  for (long long row = first; got < nrows && row >= 1 && row <= static_cast<long long>(s.result.size());
       ++row) {
    if (failAfterRowsOn && s.rowsDelivered >= failAfterRows)
      throw OraError(ORA_INVALID_NUMBER, "invalid number");
    const auto index = static_cast<size_t>(row - 1);
    deliverRow(s, session, s.result[index], s.resultOrigins[index], got);
    ++got;
    ++s.rowsDelivered;
    s.position = static_cast<size_t>(row);
  }
  s.rowCount = std::max<ub4>(s.rowCount, static_cast<ub4>(s.position));
  return got;
}

static sword fetch(void* stmtp, void* errhp, ub4 nrows, ub2 orientation, sb4 offset) {
  return entry(errhp, [&](ErrorHandle* err) -> sword {
    auto& s = need<StmtHandle>(stmtp, OCI_HTYPE_STMT);
    if (!s.executed || !s.cursor || !s.cursor->isQuery())
      throw OraError(24338, "statement handle not executed");
    cursorSession(s);
    s.lastFetched = 0;
    if (s.scrollable && nrows > 0) {
      const long long position = static_cast<long long>(s.position);
      long long first;
      switch (orientation) {
        case OCI_DEFAULT:
        case OCI_FETCH_NEXT:
          first = position + 1;
          break;
        case OCI_FETCH_FIRST:
          first = 1;
          break;
        case OCI_FETCH_LAST:
          first = static_cast<long long>(s.result.size());
          nrows = 1;
          break;
        case OCI_FETCH_PRIOR:
          first = position - 1;
          break;
        case OCI_FETCH_ABSOLUTE:
          first = offset;
          break;
        case OCI_FETCH_RELATIVE:
          first = position + offset;
          break;
        default:
          throw OraError(24391, "invalid fetch operation");
      }
      s.truncated = false;
      s.lastFetched = fetchScrolled(s, nrows, first);
      if (s.lastFetched < nrows) {
        setError(err, ORA_NO_DATA_FOUND, "no data found");
        return OCI_NO_DATA;
      }
      return truncationInfo(s, err);
    }
    if (orientation != OCI_FETCH_NEXT && orientation != OCI_DEFAULT)
      throw OraError(24391, "invalid fetch operation");
    if (nrows == 0) {
      s.open = false;  // a fetch of no rows cancels the cursor
      return OCI_SUCCESS;
    }
    s.truncated = false;
    bool needData = false;
    s.lastFetched = fetchRows(s, nrows, &needData);
    if (needData) return OCI_NEED_DATA;
    if (s.lastFetched < nrows) {
      setError(err, ORA_NO_DATA_FOUND, "no data found");
      return OCI_NO_DATA;
    }
    return truncationInfo(s, err);
  });
}

OCI_EXPORT sword OCIStmtFetch(void* stmtp, void* errhp, ub4 nrows, ub2 orientation, ub4) {
  return fetch(stmtp, errhp, nrows, orientation, 0);
}

OCI_EXPORT sword OCIStmtFetch2(void* stmtp, void* errhp, ub4 nrows, ub2 orientation, sb4 offset, ub4) {
  return fetch(stmtp, errhp, nrows, orientation, offset);
}

OCI_EXPORT sword OCIParamGet(const void* hndlp, ub4 htype, void* errhp, void** parmdpp, ub4 pos) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    if (objectParamGet(hndlp, parmdpp, pos)) return OCI_SUCCESS;
    auto& s = need<StmtHandle>(hndlp, htype);
    if (!s.cursor) throw OraError(24338, "statement handle not executed");
    cursorSession(s);
    const auto& columns = s.cursor->columns();
    if (pos < 1 || pos > columns.size() || !parmdpp) throw OraError(24334, "no descriptor for this position");
    s.params.push_back(std::make_unique<ParamHandle>(s.env, columns[pos - 1]));
    *parmdpp = s.params.back().get();
    return OCI_SUCCESS;
  });
}

static Area makeArea(void* valuep, sb4 size, ub2 type, void* indp, ub2* lengthp, ub2* codep) {
  switch (type) {
    case SQLT_STR:
    case SQLT_CHR:
    case SQLT_AFC:
    case SQLT_AVC:
    case SQLT_LNG:
    case SQLT_INT:
    case SQLT_FLT:
    case SQLT_DAT:
    case SQLT_BIN:
    case SQLT_LBI:
    case SQLT_RSET:
    case SQLT_CLOB:
    case SQLT_BLOB:
    case SQLT_BFILE:
    case SQLT_VNU:
    case SQLT_NUM:
    case SQLT_VCS:
    case SQLT_RDD:
    case SQLT_TIMESTAMP:
    case SQLT_TIMESTAMP_TZ:
    case SQLT_TIMESTAMP_LTZ:
    case SQLT_INTERVAL_YM:
    case SQLT_INTERVAL_DS:
    case SQLT_NTY:
    case SQLT_REF:
      break;
    default:
      unsupportedType(type);
  }
  if (size < 0) throw OraError(3115, "unsupported network datatype or representation");
  Area a;
  a.value = static_cast<char*>(valuep);
  a.size = size;
  a.type = type;
  a.indicator = static_cast<char*>(indp);
  a.length = reinterpret_cast<char*>(lengthp);
  a.returnCode = reinterpret_cast<char*>(codep);
  return a;
}

static sword bind(void* stmtp, void** bindpp, void* errhp, const std::string& name, ub4 position,
                  void* valuep, sb4 value_sz, ub2 dty, void* indp, ub2* alenp, ub2* rcodep, ub4 mode) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& s = need<StmtHandle>(stmtp, OCI_HTYPE_STMT);
    if (!s.prepared) throw OraError(24337, "statement handle not prepared");
    if (!bindpp) return OCI_INVALID_HANDLE;
    const bool atExec = (mode & OCI_DATA_AT_EXEC) != 0;
    if (atExec && dty != SQLT_LNG && dty != SQLT_LBI && dty != SQLT_CHR && dty != SQLT_STR && dty != SQLT_BIN)
      unsupportedType(dty);
    const auto& names = s.shape.binds;
    if (name.empty() ? (position < 1 || position > names.size())
                     : std::find(names.begin(), names.end(), name) == names.end())
      throw OraError(1036, "illegal variable name/number");
    BindHandle* b = nullptr;
    for (auto& existing : s.binds)
      if (existing->name == name && existing->position == position) b = existing.get();
    if (!b) {
      s.binds.push_back(std::make_unique<BindHandle>(s.env, &s));
      b = s.binds.back().get();
    }
    b->name = name;
    b->position = position;
    b->area = makeArea(valuep, value_sz, dty, indp, alenp, rcodep);
    b->atExec = atExec;
    b->begun = b->complete = false;
    b->pieces.clear();
    dropObjectSlots(b);
    *bindpp = b;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIBindByName(void* stmtp, void** bindpp, void* errhp, const OraText* placeholder,
                               sb4 placeh_len, void* valuep, sb4 value_sz, ub2 dty, void* indp, ub2* alenp,
                               ub2* rcodep, ub4, ub4*, ub4 mode) {
  const auto* p = reinterpret_cast<const char*>(placeholder);
  const std::string name = !p               ? std::string()
                           : placeh_len < 0 ? std::string(p)
                                            : std::string(p, static_cast<size_t>(placeh_len));
  return bind(stmtp, bindpp, errhp, normaliseBindName(name), 0, valuep, value_sz, dty, indp, alenp, rcodep,
              mode);
}

OCI_EXPORT sword OCIBindByPos(void* stmtp, void** bindpp, void* errhp, ub4 position, void* valuep,
                              sb4 value_sz, ub2 dty, void* indp, ub2* alenp, ub2* rcodep, ub4, ub4*,
                              ub4 mode) {
  return bind(stmtp, bindpp, errhp, std::string(), position, valuep, value_sz, dty, indp, alenp, rcodep,
              mode);
}

OCI_EXPORT sword OCIBindArrayOfStruct(void* bindp, void* errhp, ub4 pvskip, ub4 indskip, ub4 alskip,
                                      ub4 rcskip) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& b = need<BindHandle>(bindp, OCI_HTYPE_BIND);
    b.area.valueSkip = pvskip;
    b.area.indicatorSkip = indskip;
    b.area.lengthSkip = alskip;
    b.area.codeSkip = rcskip;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDefineByPos(void* stmtp, void** defnpp, void* errhp, ub4 position, void* valuep,
                                sb4 value_sz, ub2 dty, void* indp, ub2* rlenp, ub2* rcodep, ub4 mode) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& s = need<StmtHandle>(stmtp, OCI_HTYPE_STMT);
    if (!defnpp || position < 1) throw OraError(24334, "no descriptor for this position");
    const bool dynamic = (mode & OCI_DYNAMIC_FETCH) != 0;
    if (dynamic && dty != SQLT_LNG && dty != SQLT_LBI && dty != SQLT_CHR && dty != SQLT_STR &&
        dty != SQLT_BIN)
      unsupportedType(dty);
    DefineHandle* d = defineAt(s, position);
    if (!d) {
      s.defines.push_back(std::make_unique<DefineHandle>(s.env, &s));
      d = s.defines.back().get();
    }
    d->position = position;
    d->area = makeArea(valuep, value_sz, dty, indp, rlenp, rcodep);
    d->dynamic = dynamic;
    d->callback = nullptr;
    d->context = nullptr;
    d->target = {};
    dropObjectSlots(d);
    *defnpp = d;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDefineDynamic(void* defnp, void* errhp, void* octxp, void* ocbfp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& d = need<DefineHandle>(defnp, OCI_HTYPE_DEFINE);
    if (!d.dynamic) throw OraError(24304, "datatype not allowed for this call");
    d.callback = reinterpret_cast<DefineCallback>(ocbfp);
    d.context = octxp;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIBindDynamic(void* bindp, void* errhp, void* ictxp, void* icbfp, void* octxp,
                                void* ocbfp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& b = need<BindHandle>(bindp, OCI_HTYPE_BIND);
    if (!b.atExec) throw OraError(24304, "datatype not allowed for this call");
    b.inCallback = reinterpret_cast<InBindCallback>(icbfp);
    b.inContext = ictxp;
    b.outCallback = reinterpret_cast<OutBindCallback>(ocbfp);
    b.outContext = octxp;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDefineArrayOfStruct(void* defnp, void* errhp, ub4 pvskip, ub4 indskip, ub4 rlskip,
                                        ub4 rcskip) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& d = need<DefineHandle>(defnp, OCI_HTYPE_DEFINE);
    d.area.valueSkip = pvskip;
    d.area.indicatorSkip = indskip;
    d.area.lengthSkip = rlskip;
    d.area.codeSkip = rcskip;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT uint64_t OCIStandinCallCount(void) {
  return callCount.load();
}
