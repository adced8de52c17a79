// The stand-in server's object types: the type catalog in SYS, the DDL that fills it, the SQL
// constructors of each type, object tables and the values a column of a named type holds.
//
// Catalog: sys."type$" keeps each type's CREATE TYPE text by owner and name (read again with
// parseTypeSpec), sys."objtab$" the object tables (CREATE TABLE t OF type), whose rows are the
// objects a REF points at: one column per attribute, the row number as the object's identity.
// A column of an object or collection type keeps the value's image (standin_types.h); a REF
// column keeps the REF's hex, "OWNER.TABLE#row" in hexadecimal.
//
// Attributes and elements may be VARCHAR2, CHAR, NUMBER, DATE, another object type, a
// collection type (as an attribute) or a REF; other kinds are refused at CREATE TYPE with
// ORA-00902, as is a name no type has. SQL reaches a type through its constructor,
// NAME(values...), registered for the session's own types; REF(alias) reads the REF of an
// object-table row. Attribute access in SQL (t.col.attr), DEREF and type methods are not offered.
//
// Threads: as Session.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/oci-standin/standin_server.h"
#include "tools/oci-standin/standin_types.h"

namespace ocistandin {

struct AttrType {
  enum class Kind { Scalar, Named, Ref };
  Kind kind = Kind::Scalar;
  DeclaredType scalar;
  std::string owner, name;  // Named, Ref: the type
};

struct CatalogType {
  std::string owner, name;
  TypeKind kind = TypeKind::Object;
  bool final = true;
  uint32_t limit = 0;
  std::vector<std::string> names;  // attribute names; a collection's one element is "ELEMENT"
  std::vector<AttrType> attrs;
  bool isCollection() const { return kind != TypeKind::Object; }
  std::string fullName() const { return owner + "." + name; }
};

// SYS.XMLTYPE is built in: a column of it keeps the document's text, xmltype(text) makes one.
inline bool isXmlType(const CatalogType& t) {
  return t.owner == "SYS" && t.name == "XMLTYPE";
}
// What the server takes as a document (else ORA-31011): its first non-blank character is '<'.
inline bool isXmlDocument(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && text[first] == '<';
}

// The type `name` of `owner` (empty: the session's schema, then any other); nullptr when none.
std::shared_ptr<const CatalogType> findType(const Session& session, std::string_view owner,
                                            std::string_view name);
// The object type of an object table; nullptr when `table` is none.
std::shared_ptr<const CatalogType> objectTableType(const Session& session, const std::string& owner,
                                                   const std::string& table);

// CREATE [OR REPLACE] TYPE (not a body) and DROP TYPE.
bool isTypeDdl(std::string_view text);
// Runs one: ORA-00955 for a name in use, ORA-00902 for an attribute type the server cannot
// hold, ORA-04043 for dropping a type that does not exist.
void runTypeDdl(Session& session, std::string_view text);

// The statement with its object-type parts in SQLite's terms: CREATE TABLE t OF type becomes a
// table of the type's attributes (`afterRun` then records it as an object table), NESTED TABLE
// ... STORE AS clauses go, and REF(alias) becomes the row's REF.
std::string objectSql(Session& session, std::string_view text, std::string& afterRun);

// A column declared with a type name the catalog knows (or REF name): code 108 or 110 with the
// type's owner and name. False for other declarations.
bool resolveColumnType(Session& session, std::string_view declared, ColumnInfo& column);

// The column rule of a column declared with a type's name: a value that is no image of the type
// (or, for a REF, no REF to a row of that type) is refused with ORA-00932, as a server refuses
// it; NULL, and a declaration naming no type of the catalog, pass. mayNameType tells which
// declarations get the rule.
bool mayNameType(std::string_view declared);
void fitNamedValue(sqlite3_context* ctx, sqlite3_value* v, std::string_view declared, const Session& session);

// Registers the constructors of the session's own types, and ora_ref.
void registerTypeConstructors(Session& session);

// A REF's hex and what it names.
std::string refHex(const std::string& owner, const std::string& table, int64_t row);
bool refTarget(std::string_view hex, std::string& owner, std::string& table, int64_t& row);

}  // namespace ocistandin
