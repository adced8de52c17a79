// The stand-in server's object types as text: the type declaration of CREATE TYPE, and the
// image of an object or collection value as a column keeps it.
//
// An image is the value's constructor as SQL would write it: OWNER.NAME(item, ...), each item
// NULL, a quoted text or another constructor. Scalars travel as text in their stored forms (a
// NUMBER's digits, a DATE as "YYYY-MM-DD HH:MM:SS", a REF as its hex); which attribute an item
// fills tells how to read it. A nested table keeps only its existing elements.
//
// Pure functions over text; safe on any thread. Damaged text gets false and a reason, never a
// crash; nesting deeper than kMaxImageDepth is refused.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ocistandin {

enum class TypeKind { Object, Varray, Table };

struct TypeSpec {
  std::string owner;  // empty: the schema of the session that creates it
  std::string name;
  TypeKind kind = TypeKind::Object;
  bool final = true;
  bool orReplace = false;
  // Object types: attribute names (upper case) and their declared types as written
  // ("VARCHAR2(30)", "NUMBER(5,2)", "REF SCOTT.PERSON_T", "ADDRESS_T").
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string element;  // collections: the element's declared type
  uint32_t limit = 0;   // VARRAY: the most elements
};

// Reads "CREATE [OR REPLACE] TYPE [owner.]name [FORCE] AS|IS OBJECT (attr type, ...) [[NOT] FINAL]",
// "... AS|IS VARRAY|VARYING ARRAY (n) OF type" or "... AS|IS TABLE OF type". False with a reason
// for anything else (a TYPE BODY, a forward declaration, methods, damaged text).
bool parseTypeSpec(std::string_view text, TypeSpec& spec, std::string& error);

inline constexpr int kMaxImageDepth = 32;

struct Image {
  enum class Kind { Null, Text, Constructor };
  Kind kind = Kind::Null;
  std::string text;  // Text: the value; Constructor: the type's name as written (upper case)
  std::vector<Image> items;
  static Image null() { return {}; }
  static Image value(std::string s) { return {Kind::Text, std::move(s), {}}; }
};

std::string writeImage(const Image& image);
bool readImage(std::string_view text, Image& image, std::string& error);

}  // namespace ocistandin
