#include "tools/oci-standin/standin_objects.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include "tools/oci-standin/standin_number.h"
#include "tools/oci-standin/standin_rewrite.h"
#include "tools/oci-standin/standin_values.h"

namespace ocistandin {
namespace {

const char* kCatalogDdl =
    "CREATE TABLE IF NOT EXISTS sys.\"type$\"(owner TEXT, name TEXT, source TEXT NOT NULL,"
    " PRIMARY KEY(owner, name));"
    "CREATE TABLE IF NOT EXISTS sys.\"objtab$\"(owner TEXT, name TEXT, type_owner TEXT, type_name TEXT,"
    " PRIMARY KEY(owner, name));";

// A prepared statement finalized on every path; a statement SQLite refuses (the catalog tables
// do not exist yet) is left empty.
struct Stmt {
  Stmt(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      stmt = nullptr;
    }
  }
  ~Stmt() { sqlite3_finalize(stmt); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  void bind(int i, std::string_view text) {
    if (stmt) sqlite3_bind_text(stmt, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  bool step() { return stmt && sqlite3_step(stmt) == SQLITE_ROW; }
  std::string text(int i) const {
    const auto* p = sqlite3_column_text(stmt, i);
    return p ? reinterpret_cast<const char*>(p) : "";
  }
  sqlite3_stmt* stmt = nullptr;
};

void exec(Session& session, const std::string& sql) {
  const int rc = sqlite3_exec(session.db(), sql.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) throw session.mapError(rc);
}

bool isNameToken(const Token& t) {
  return t.kind == TokenKind::Word || t.kind == TokenKind::QuotedName;
}

// "[REF] [owner.]name" of a declared type.
bool namedType(std::string_view declared, bool& ref, std::string& owner, std::string& name) {
  const std::vector<Token> t = scanSql(declared);
  size_t i = 0;
  ref = !t.empty() && t[0].kind == TokenKind::Word && t[0].text == "REF";
  if (ref) ++i;
  owner.clear();
  if (i < t.size() && isNameToken(t[i]) && i + 2 < t.size() + 0 && t[i + 1].kind == TokenKind::Symbol &&
      t[i + 1].text == "." && isNameToken(t[i + 2])) {
    owner = t[i].text;
    name = t[i + 2].text;
    return i + 3 == t.size();
  }
  if (i < t.size() && isNameToken(t[i])) {
    name = t[i].text;
    return i + 1 == t.size();
  }
  return false;
}

// How an attribute or element declared as `declared` is held; raises ORA-00902 for what the
// server cannot hold. `self` is the type being created (it may hold REFs to itself).
AttrType classify(const Session& session, const std::string& declared, const std::string& defaultOwner,
                  const std::string& self, bool collectionElement) {
  AttrType a;
  const DeclaredType scalar = parseDeclaredType(declared);
  if (scalar.known) {
    if (scalar.code != 1 && scalar.code != 96 && scalar.code != 2 && scalar.code != 12)
      throw OraError(902, "invalid datatype (" + declared + " is not supported in object types)");
    if (scalar.national())
      throw OraError(902, "invalid datatype (" + declared + " is not supported in object types)");
    a.scalar = scalar;
    return a;
  }
  bool ref = false;
  std::string owner, name;
  if (!namedType(declared, ref, owner, name)) throw OraError(902, "invalid datatype");
  a.kind = ref ? AttrType::Kind::Ref : AttrType::Kind::Named;
  if (ref && (owner.empty() ? defaultOwner : owner) + "." + name == self) {
    a.owner = owner.empty() ? defaultOwner : owner;
    a.name = name;
    return a;
  }
  const auto target = findType(session, owner.empty() ? defaultOwner : owner, name);
  if (!target) throw OraError(902, "invalid datatype (" + declared + ")");
  if (ref && target->isCollection()) throw OraError(902, "invalid datatype (a REF names an object type)");
  if (isXmlType(*target)) throw OraError(902, "invalid datatype (XMLTYPE is not supported in object types)");
  if (!ref && collectionElement && target->isCollection())
    throw OraError(902, "invalid datatype (collections of collections are not supported)");
  a.owner = target->owner;
  a.name = target->name;
  return a;
}

std::shared_ptr<const CatalogType> typeOfSource(const Session& session, const std::string& owner,
                                                const std::string& source) {
  TypeSpec spec;
  std::string error;
  if (!parseTypeSpec(source, spec, error)) return nullptr;
  auto t = std::make_shared<CatalogType>();
  t->owner = owner;
  t->name = spec.name;
  t->kind = spec.kind;
  t->final = spec.final;
  t->limit = spec.limit;
  const std::string self = owner + "." + spec.name;
  try {
    if (spec.kind == TypeKind::Object) {
      for (const auto& [name, declared] : spec.attributes) {
        t->names.push_back(name);
        t->attrs.push_back(classify(session, declared, owner, self, false));
      }
    } else {
      t->names.push_back("ELEMENT");
      t->attrs.push_back(classify(session, spec.element, owner, self, true));
    }
  } catch (const OraError&) {
    return nullptr;  // a type whose parts were dropped since reads as missing
  }
  return t;
}

thread_local int lookupDepth = 0;

}  // namespace

std::shared_ptr<const CatalogType> findType(const Session& session, std::string_view owner,
                                            std::string_view name) {
  if ((owner.empty() || owner == "SYS") && name == "XMLTYPE") {
    // Built in: an opaque object type whose values are documents.
    static const auto xml = [] {
      auto t = std::make_shared<CatalogType>();
      t->owner = "SYS";
      t->name = "XMLTYPE";
      return t;
    }();
    return xml;
  }
  // Types naming each other by value cannot be created, but a damaged catalog could hold them.
  if (lookupDepth > 32) return nullptr;
  ++lookupDepth;
  struct Leave {
    ~Leave() { --lookupDepth; }
  } leave;
  Stmt s(session.db(),
         "SELECT owner, source FROM sys.\"type$\" WHERE name = ?2 AND (?1 = '' OR owner = ?1)"
         " ORDER BY owner <> ?3, owner LIMIT 1");
  s.bind(1, owner);
  s.bind(2, name);
  s.bind(3, session.user());
  if (!s.step()) return nullptr;
  return typeOfSource(session, s.text(0), s.text(1));
}

std::shared_ptr<const CatalogType> objectTableType(const Session& session, const std::string& owner,
                                                   const std::string& table) {
  Stmt s(session.db(), "SELECT type_owner, type_name FROM sys.\"objtab$\" WHERE owner = ?1 AND name = ?2");
  s.bind(1, owner);
  s.bind(2, table);
  if (!s.step()) return nullptr;
  return findType(session, s.text(0), s.text(1));
}

bool isTypeDdl(std::string_view text) {
  const std::vector<Token> t = scanSql(text);
  size_t i = 1;
  if (t.empty() || t[0].kind != TokenKind::Word) return false;
  if (t[0].text == "DROP") return t.size() > 1 && t[1].kind == TokenKind::Word && t[1].text == "TYPE";
  if (t[0].text != "CREATE") return false;
  if (i + 1 < t.size() && t[i].text == "OR" && t[i + 1].text == "REPLACE") i += 2;
  if (i + 1 >= t.size() || t[i].kind != TokenKind::Word || t[i].text != "TYPE") return false;
  if (t[i + 1].kind == TokenKind::Word && t[i + 1].text == "BODY") return false;
  // Only a declaration the server can hold; anything else stays a stored program.
  TypeSpec spec;
  std::string error;
  return parseTypeSpec(text, spec, error);
}

void runTypeDdl(Session& session, std::string_view text) {
  session.endWorkForDdl();
  exec(session, kCatalogDdl);
  const std::vector<Token> t = scanSql(text);
  if (!t.empty() && t[0].text == "DROP") {
    size_t i = 2;
    std::string owner = session.user(), name;
    if (i < t.size() && isNameToken(t[i])) name = t[i++].text;
    if (i + 1 < t.size() && t[i].text == "." && isNameToken(t[i + 1])) {
      owner = name;
      name = t[i + 1].text;
      i += 2;
    }
    if (i < t.size() && t[i].text == "FORCE") ++i;
    while (i < t.size() && (t[i].text == ";" || t[i].text == "/")) ++i;
    if (name.empty() || i != t.size()) throw OraError(900, "invalid SQL statement");
    Stmt s(session.db(), "DELETE FROM sys.\"type$\" WHERE owner = ?1 AND name = ?2");
    s.bind(1, owner);
    s.bind(2, name);
    s.step();
    if (sqlite3_changes(session.db()) == 0) throw OraError(4043, "object " + name + " does not exist");
    return;
  }
  TypeSpec spec;
  std::string error;
  if (!parseTypeSpec(text, spec, error)) throw OraError(900, "invalid SQL statement (" + error + ")");
  const std::string owner = spec.owner.empty() ? session.user() : spec.owner;
  if (owner != session.user() && session.user() != "SYS") throw OraError(1031, "insufficient privileges");
  {
    Stmt s(session.db(), "SELECT 1 FROM sys.\"type$\" WHERE owner = ?1 AND name = ?2");
    s.bind(1, owner);
    s.bind(2, spec.name);
    if (s.step() && !spec.orReplace) throw OraError(955, "name is already used by an existing object");
  }
  // Every part must be one the server holds before the type is kept.
  const std::string self = owner + "." + spec.name;
  if (spec.kind == TypeKind::Object) {
    for (const auto& a : spec.attributes) classify(session, a.second, owner, self, false);
  } else {
    classify(session, spec.element, owner, self, true);
  }
  Stmt s(session.db(), "INSERT OR REPLACE INTO sys.\"type$\"(owner, name, source) VALUES (?1, ?2, ?3)");
  s.bind(1, owner);
  s.bind(2, spec.name);
  s.bind(3, text);
  if (sqlite3_step(s.stmt) != SQLITE_DONE) throw session.mapError(sqlite3_errcode(session.db()));
  registerTypeConstructors(session);
}

std::string refHex(const std::string& owner, const std::string& table, int64_t row) {
  const std::string plain = owner + "." + table + "#" + std::to_string(row);
  static const char* digits = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char c : plain) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

bool refTarget(std::string_view hex, std::string& owner, std::string& table, int64_t& row) {
  if (hex.empty() || hex.size() % 2 != 0 || hex.size() > 1024) return false;
  std::string plain;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int v = 0;
    for (size_t k = i; k < i + 2; ++k) {
      const char c = hex[k];
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    plain += static_cast<char>(v);
  }
  const size_t dot = plain.find('.'), hash = plain.rfind('#');
  if (dot == std::string::npos || hash == std::string::npos || hash < dot || hash + 1 >= plain.size())
    return false;
  owner = plain.substr(0, dot);
  table = plain.substr(dot + 1, hash - dot - 1);
  const std::string number = plain.substr(hash + 1);
  if (number.size() > 18 || number.find_first_not_of("0123456789") != std::string::npos) return false;
  row = std::stoll(number);
  return !owner.empty() && !table.empty();
}

std::string objectSql(Session& session, std::string_view text, std::string& afterRun) {
  afterRun.clear();
  const std::vector<Token> t = scanSql(text);
  bool relevant = false;
  for (const Token& k : t)
    relevant =
        relevant || (k.kind == TokenKind::Word && (k.text == "OF" || k.text == "NESTED" || k.text == "REF"));
  if (!relevant) return std::string(text);
  auto word = [&](size_t i, std::string_view w) {
    return i < t.size() && t[i].kind == TokenKind::Word && t[i].text == w;
  };
  auto sym = [&](size_t i, std::string_view s) {
    return i < t.size() && t[i].kind == TokenKind::Symbol && t[i].text == s;
  };
  // CREATE TABLE [owner.]name OF [owner.]type
  if (word(0, "CREATE") && word(1, "TABLE") && t.size() > 3 && isNameToken(t[2])) {
    size_t i = 2;
    std::string owner = session.user(), table = t[i++].text;
    if (sym(i, ".") && i + 1 < t.size() && isNameToken(t[i + 1])) {
      owner = table;
      table = t[i + 1].text;
      i += 2;
    }
    if (word(i, "OF") && i + 1 < t.size() && isNameToken(t[i + 1])) {
      ++i;
      std::string typeOwner, typeName = t[i++].text;
      if (sym(i, ".") && i + 1 < t.size() && isNameToken(t[i + 1])) {
        typeOwner = typeName;
        typeName = t[i + 1].text;
        i += 2;
      }
      const auto type = findType(session, typeOwner, typeName);
      if (!type || type->isCollection()) throw OraError(902, "invalid datatype");
      std::string columns;
      TypeSpec spec;
      {
        Stmt s(session.db(), "SELECT source FROM sys.\"type$\" WHERE owner = ?1 AND name = ?2");
        s.bind(1, type->owner);
        s.bind(2, type->name);
        std::string error;
        if (!s.step() || !parseTypeSpec(s.text(0), spec, error)) throw OraError(902, "invalid datatype");
      }
      for (const auto& [name, declared] : spec.attributes) {
        if (!columns.empty()) columns += ", ";
        columns += quoteName(name) + " " + declared;
      }
      afterRun = std::string(kCatalogDdl) + "INSERT OR REPLACE INTO sys.\"objtab$\" VALUES (" +
                 quoteLiteral(owner) + ", " + quoteLiteral(table) + ", " + quoteLiteral(type->owner) + ", " +
                 quoteLiteral(type->name) + ");";
      const std::string head(text.substr(0, t[2].begin));
      const std::string tail = i < t.size() ? std::string(text.substr(t[i].begin)) : std::string();
      return head + (owner == session.user() ? quoteName(table) : quoteName(owner) + "." + quoteName(table)) +
             " (" + columns + ") " + tail;
    }
  }
  // Cut NESTED TABLE col STORE AS name; turn REF(alias) into the row's REF.
  std::string out;
  size_t copied = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    if (word(i, "NESTED") && word(i + 1, "TABLE") && i + 5 < t.size() && word(i + 3, "STORE") &&
        word(i + 4, "AS")) {
      size_t from = t[i].begin;
      // With a comma before it, the comma goes too.
      if (i > 0 && sym(i - 1, ",")) from = t[i - 1].begin;
      out += std::string(text.substr(copied, from - copied));
      copied = t[i + 5].end;
      i += 5;
      continue;
    }
    if (word(i, "REF") && sym(i + 1, "(") && i + 3 < t.size() && isNameToken(t[i + 2]) && sym(i + 3, ")")) {
      const std::string alias = t[i + 2].text;
      std::string owner = session.user(), table;
      for (size_t k = 0; k + 1 < t.size() && table.empty(); ++k) {
        const bool opens = word(k, "FROM") || word(k, "JOIN") || sym(k, ",");
        if (!opens || !isNameToken(t[k + 1])) continue;
        size_t n = k + 1;
        std::string o = session.user(), name = t[n].text;
        if (sym(n + 1, ".") && n + 2 < t.size() && isNameToken(t[n + 2])) {
          o = name;
          name = t[n + 2].text;
          n += 2;
        }
        const bool aliased = n + 1 < t.size() && isNameToken(t[n + 1]) && t[n + 1].text == alias;
        if (aliased || name == alias) {
          owner = o;
          table = name;
        }
      }
      if (table.empty()) throw OraError(904, "\"" + alias + "\": invalid identifier");
      out += std::string(text.substr(copied, t[i].begin - copied));
      out += "ora_ref(" + quoteLiteral(owner) + ", " + quoteLiteral(table) + ", " + quoteName(alias) +
             "._rowid_)";
      copied = t[i + 3].end;
      i += 3;
    }
  }
  out += std::string(text.substr(copied));
  return out;
}

bool resolveColumnType(Session& session, std::string_view declared, ColumnInfo& column) {
  bool ref = false;
  std::string owner, name;
  if (!namedType(declared, ref, owner, name)) return false;
  const auto target = findType(session, owner, name);
  if (!target) return false;
  DeclaredType& type = column.type;
  type = DeclaredType{};
  type.name = ref ? "REF" : target->fullName();
  type.code = ref ? 110 : 108;
  type.size = ref ? 36 : 2000;
  column.typeOwner = target->owner;
  column.typeName = target->name;
  return true;
}

namespace {

struct ConstructorData {
  Session* session;
  std::string owner, name;
};

[[noreturn]] void raise(sqlite3_context* ctx, int code, const std::string& text) {
  // The server's message in the form the session maps back to its ORA number.
  char head[16];
  std::snprintf(head, sizeof head, "ORA-%05d: ", code);
  sqlite3_result_error(ctx, (head + text).c_str(), -1);
  throw 0;
}

Image itemOf(sqlite3_context* ctx, const AttrType& a, sqlite3_value* v) {
  const int kind = sqlite3_value_type(v);
  if (kind == SQLITE_NULL) return Image::null();
  const auto* p = reinterpret_cast<const char*>(sqlite3_value_text(v));
  const std::string text = p ? p : "";
  switch (a.kind) {
    case AttrType::Kind::Named: {
      Image image;
      std::string error;
      const std::string want = a.owner + "." + a.name;
      if (kind != SQLITE_TEXT || !readImage(text, image, error) || image.kind != Image::Kind::Constructor ||
          (image.text != want && image.text != a.name))
        raise(ctx, 932, "inconsistent datatypes: expected " + want);
      image.text = want;
      return image;
    }
    case AttrType::Kind::Ref: {
      std::string owner, table;
      int64_t row = 0;
      if (!refTarget(text, owner, table, row)) raise(ctx, 932, "inconsistent datatypes: expected REF");
      return Image::value(text);
    }
    case AttrType::Kind::Scalar:
      break;
  }
  const DeclaredType& d = a.scalar;
  if (d.code == 2) {
    std::optional<ExactNumber> n;
    if (kind == SQLITE_INTEGER)
      n = numberFromInteger(sqlite3_value_int64(v));
    else if (kind == SQLITE_FLOAT)
      n = numberFromDouble(sqlite3_value_double(v));
    else
      n = numberFromStoredText(text);
    if (!n) raise(ctx, 1722, "invalid number");
    const auto fitted = fitNumber(*n, d.hasPrecision ? d.precision : 0, d.hasScale ? d.scale : 0,
                                  !d.hasPrecision && !d.hasScale);
    if (!fitted) raise(ctx, 1438, "value larger than specified precision allowed for this column");
    return Image::value(numberText(*fitted));
  }
  if (d.code == 12) {
    DateTime date;
    if (!parseCanonicalDate(text, date)) raise(ctx, 1861, "literal does not match format string");
    return Image::value(text);
  }
  std::string value = text;
  if (kind == SQLITE_FLOAT || (kind == SQLITE_TEXT && text.size() > 1 && text[0] == '#')) {
    if (const auto n = kind == SQLITE_FLOAT ? std::optional(numberFromDouble(sqlite3_value_double(v)))
                                            : numberFromStoredText(text))
      value = numberText(*n);
  }
  if (value.size() > d.size)
    raise(ctx, 12899,
          "value too large for column (actual: " + std::to_string(value.size()) +
              ", maximum: " + std::to_string(d.size) + ")");
  if (d.code == 96) value.resize(std::max<size_t>(value.size(), d.size), ' ');
  return value.empty() ? Image::null() : Image::value(value);
}

void fnConstructor(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  auto* data = static_cast<ConstructorData*>(sqlite3_user_data(ctx));
  try {
    const auto type = findType(*data->session, data->owner, data->name);
    if (!type) raise(ctx, 4043, "object " + data->name + " does not exist");
    Image image{Image::Kind::Constructor, type->fullName(), {}};
    if (type->isCollection()) {
      if (type->kind == TypeKind::Varray && static_cast<uint32_t>(argc) > type->limit)
        raise(ctx, 22909, "exceeded maximum VARRAY limit");
      for (int i = 0; i < argc; ++i) image.items.push_back(itemOf(ctx, type->attrs[0], argv[i]));
    } else {
      if (static_cast<size_t>(argc) != type->attrs.size())
        raise(ctx, 2315, "incorrect number of arguments for default constructor");
      for (int i = 0; i < argc; ++i)
        image.items.push_back(itemOf(ctx, type->attrs[static_cast<size_t>(i)], argv[i]));
    }
    const std::string out = writeImage(image);
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
  } catch (int) {
    // the error is set
  } catch (const OraError& e) {
    char head[16];
    std::snprintf(head, sizeof head, "ORA-%05d: ", e.code);
    sqlite3_result_error(ctx, (head + std::string(e.what())).c_str(), -1);
  }
}

// xmltype(text): the document as the column keeps it.
void fnXmlType(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  const auto* p = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  const std::string text = p ? p : "";
  if (!isXmlDocument(text)) return sqlite3_result_error(ctx, "ORA-31011: XML parsing failed", -1);
  sqlite3_result_text(ctx, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void fnRef(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[2]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  const auto* owner = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  const auto* table = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
  const std::string hex = refHex(owner ? owner : "", table ? table : "", sqlite3_value_int64(argv[2]));
  sqlite3_result_text(ctx, hex.c_str(), static_cast<int>(hex.size()), SQLITE_TRANSIENT);
}

}  // namespace

void registerTypeConstructors(Session& session) {
  sqlite3_create_function_v2(session.db(), "ora_ref", 3, SQLITE_UTF8, nullptr, fnRef, nullptr, nullptr,
                             nullptr);
  sqlite3_create_function_v2(session.db(), "xmltype", 1, SQLITE_UTF8, nullptr, fnXmlType, nullptr, nullptr,
                             nullptr);
  Stmt s(session.db(), "SELECT name FROM sys.\"type$\" WHERE owner = ?1");
  s.bind(1, session.user());
  while (s.step()) {
    auto* data = new ConstructorData{&session, session.user(), s.text(0)};
    sqlite3_create_function_v2(session.db(), data->name.c_str(), -1, SQLITE_UTF8, data, fnConstructor,
                               nullptr, nullptr, [](void* p) { delete static_cast<ConstructorData*>(p); });
  }
}

}  // namespace ocistandin

namespace ocistandin {

bool mayNameType(std::string_view declared) {
  bool ref = false;
  std::string owner, name;
  if (!namedType(declared, ref, owner, name)) return false;
  // SQLite's own names, which a table made from a query carries, name no type.
  static const char* const sqliteNames[] = {"TEXT", "INT",     "INTEGER", "REAL",
                                            "NUM",  "NUMERIC", "BLOB",    "ANY"};
  if (!ref && owner.empty())
    for (const char* n : sqliteNames)
      if (name == n) return false;
  return true;
}

void fitNamedValue(sqlite3_context* ctx, sqlite3_value* v, std::string_view declared,
                   const Session& session) {
  bool ref = false;
  std::string owner, name;
  const auto type = namedType(declared, ref, owner, name) ? findType(session, owner, name) : nullptr;
  if (!type || sqlite3_value_type(v) == SQLITE_NULL) return sqlite3_result_value(ctx, v);
  const auto* p = reinterpret_cast<const char*>(sqlite3_value_text(v));
  const std::string text = p && sqlite3_value_type(v) == SQLITE_TEXT ? p : "";
  const std::string want = (ref ? "REF " : "") + type->fullName();
  auto refuse = [&] {
    const std::string message = "ORA-00932: inconsistent datatypes: expected " + want;
    sqlite3_result_error(ctx, message.c_str(), -1);
  };
  if (ref) {
    std::string o, t;
    int64_t row = 0;
    if (!refTarget(text, o, t, row)) return refuse();
    const auto target = objectTableType(session, o, t);
    if (target && target->fullName() != type->fullName()) return refuse();
    return sqlite3_result_value(ctx, v);
  }
  if (isXmlType(*type)) {
    if (!isXmlDocument(text)) return sqlite3_result_error(ctx, "ORA-31011: XML parsing failed", -1);
    return sqlite3_result_value(ctx, v);
  }
  Image image;
  std::string error;
  if (!readImage(text, image, error) || image.kind != Image::Kind::Constructor ||
      (image.text != type->fullName() && image.text != type->name) ||
      (!type->isCollection() && image.items.size() != type->attrs.size()) ||
      (type->kind == TypeKind::Varray && image.items.size() > type->limit))
    return refuse();
  sqlite3_result_value(ctx, v);
}

}  // namespace ocistandin
