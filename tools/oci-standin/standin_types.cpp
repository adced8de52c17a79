#include "tools/oci-standin/standin_types.h"

#include "tools/oci-standin/standin_rewrite.h"

namespace ocistandin {
namespace {

bool isName(const Token& t) {
  return t.kind == TokenKind::Word || t.kind == TokenKind::QuotedName;
}

bool isSym(const std::vector<Token>& t, size_t i, std::string_view s) {
  return i < t.size() && t[i].kind == TokenKind::Symbol && t[i].text == s;
}

bool isWord(const std::vector<Token>& t, size_t i, std::string_view s) {
  return i < t.size() && t[i].kind == TokenKind::Word && t[i].text == s;
}

// A declared type: tokens up to a comma or closing parenthesis at depth 0 (or the end), words
// apart by blanks, parentheses, commas within them and dots joined.
bool readDeclared(const std::vector<Token>& t, size_t& i, std::string& out) {
  out.clear();
  int depth = 0;
  for (; i < t.size(); ++i) {
    const Token& k = t[i];
    if (k.kind == TokenKind::Symbol && depth == 0 && (k.text == "," || k.text == ")" || k.text == ";")) break;
    if (k.kind == TokenKind::Symbol && k.text == "(") ++depth;
    if (k.kind == TokenKind::Symbol && k.text == ")") --depth;
    if (k.kind == TokenKind::Unterminated || k.kind == TokenKind::String || k.kind == TokenKind::Bind)
      return false;
    const bool joined = k.kind == TokenKind::Symbol || out.empty() || out.back() == '(' ||
                        out.back() == '.' || out.back() == ',';
    if (!joined) out += ' ';
    out += k.text;
  }
  return !out.empty() && depth == 0;
}

}  // namespace

bool parseTypeSpec(std::string_view text, TypeSpec& spec, std::string& error) {
  spec = TypeSpec{};
  const std::vector<Token> t = scanSql(text);
  size_t i = 0;
  auto fail = [&](const char* reason) {
    error = reason;
    return false;
  };
  if (!isWord(t, i, "CREATE")) return fail("not a CREATE TYPE statement");
  ++i;
  if (isWord(t, i, "OR") && isWord(t, i + 1, "REPLACE")) {
    spec.orReplace = true;
    i += 2;
  }
  if (!isWord(t, i, "TYPE")) return fail("not a CREATE TYPE statement");
  ++i;
  if (isWord(t, i, "BODY")) return fail("a type body");
  if (i >= t.size() || !isName(t[i])) return fail("type name expected");
  spec.name = t[i++].text;
  if (isSym(t, i, ".")) {
    if (i + 1 >= t.size() || !isName(t[i + 1])) return fail("type name expected");
    spec.owner = spec.name;
    spec.name = t[i + 1].text;
    i += 2;
  }
  if (isWord(t, i, "FORCE")) ++i;
  if (!isWord(t, i, "AS") && !isWord(t, i, "IS")) return fail("AS or IS expected");
  ++i;
  if (isWord(t, i, "OBJECT")) {
    spec.kind = TypeKind::Object;
    if (!isSym(t, ++i, "(")) return fail("attribute list expected");
    ++i;
    for (;;) {
      if (i >= t.size() || !isName(t[i])) return fail("attribute name expected");
      if (isWord(t, i, "MEMBER") || isWord(t, i, "STATIC") || isWord(t, i, "MAP") || isWord(t, i, "ORDER") ||
          isWord(t, i, "CONSTRUCTOR"))
        return fail("methods are not supported");
      std::string name = t[i++].text, declared;
      for (const auto& a : spec.attributes)
        if (a.first == name) return fail("duplicate attribute name");
      if (!readDeclared(t, i, declared)) return fail("attribute type expected");
      spec.attributes.emplace_back(std::move(name), std::move(declared));
      if (isSym(t, i, ",")) {
        ++i;
        continue;
      }
      if (!isSym(t, i, ")")) return fail("closing parenthesis expected");
      ++i;
      break;
    }
    if (spec.attributes.size() > 1000) return fail("too many attributes");
    if (isWord(t, i, "NOT") && isWord(t, i + 1, "FINAL")) {
      spec.final = false;
      i += 2;
    } else if (isWord(t, i, "FINAL")) {
      ++i;
    }
  } else if (isWord(t, i, "VARRAY") || (isWord(t, i, "VARYING") && isWord(t, i + 1, "ARRAY"))) {
    spec.kind = TypeKind::Varray;
    i += isWord(t, i, "VARRAY") ? 1 : 2;
    if (!isSym(t, i, "(") || i + 2 >= t.size() || t[i + 1].kind != TokenKind::Number || !isSym(t, i + 2, ")"))
      return fail("VARRAY limit expected");
    const std::string& n = t[i + 1].text;
    if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos)
      return fail("VARRAY limit expected");
    spec.limit = static_cast<uint32_t>(std::stoul(n));
    if (spec.limit == 0) return fail("VARRAY limit expected");
    i += 3;
    if (!isWord(t, i, "OF")) return fail("OF expected");
    ++i;
    if (!readDeclared(t, i, spec.element)) return fail("element type expected");
  } else if (isWord(t, i, "TABLE")) {
    spec.kind = TypeKind::Table;
    if (!isWord(t, ++i, "OF")) return fail("OF expected");
    ++i;
    if (!readDeclared(t, i, spec.element)) return fail("element type expected");
  } else {
    return fail("OBJECT, VARRAY or TABLE expected");
  }
  while (isSym(t, i, ";") || isSym(t, i, "/")) ++i;
  if (i != t.size()) return fail("unexpected text after the type");
  return true;
}

std::string writeImage(const Image& image) {
  switch (image.kind) {
    case Image::Kind::Null:
      return "NULL";
    case Image::Kind::Text:
      return quoteLiteral(image.text);
    case Image::Kind::Constructor:
      break;
  }
  // A name part that would not read back as the same word is written as a quoted name.
  std::string out;
  size_t from = 0;
  for (;;) {
    const size_t dot = image.text.find('.', from);
    const std::string_view part =
        std::string_view(image.text).substr(from, dot == std::string::npos ? std::string::npos : dot - from);
    bool plain = !part.empty() && part[0] >= 'A' && part[0] <= 'Z';
    for (const char c : part)
      plain = plain && ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' || c == '#');
    // NULL unquoted reads back as a null item, not as a constructor of that name.
    if (plain && part != "NULL")
      out += part;
    else
      out += "\"" + std::string(part) + "\"";
    if (dot == std::string::npos) break;
    out += '.';
    from = dot + 1;
  }
  out += "(";
  for (size_t i = 0; i < image.items.size(); ++i) {
    if (i) out += ", ";
    out += writeImage(image.items[i]);
  }
  return out + ")";
}

namespace {

bool readItem(const std::vector<Token>& t, size_t& i, Image& out, int depth, std::string& error) {
  if (depth > kMaxImageDepth) {
    error = "object value nested too deeply";
    return false;
  }
  if (i >= t.size()) {
    error = "object value ends early";
    return false;
  }
  if (t[i].kind == TokenKind::String) {
    out = Image::value(t[i++].text);
    return true;
  }
  if (isWord(t, i, "NULL")) {
    ++i;
    out = Image::null();
    return true;
  }
  if (!isName(t[i])) {
    error = "object value expected";
    return false;
  }
  // A part holding a dot or a quote could not be told apart when the value is written back.
  const auto writable = [](const std::string& part) {
    return !part.empty() && part.find_first_of(".\"") == std::string::npos;
  };
  if (!writable(t[i].text)) {
    error = "constructor name expected";
    return false;
  }
  out = Image{Image::Kind::Constructor, t[i++].text, {}};
  if (isSym(t, i, ".") && i + 1 < t.size() && isName(t[i + 1])) {
    if (!writable(t[i + 1].text)) {
      error = "constructor name expected";
      return false;
    }
    out.text += "." + t[i + 1].text;
    i += 2;
  }
  if (!isSym(t, i, "(")) {
    error = "constructor expected";
    return false;
  }
  ++i;
  if (isSym(t, i, ")")) {
    ++i;
    return true;
  }
  for (;;) {
    out.items.emplace_back();
    if (!readItem(t, i, out.items.back(), depth + 1, error)) return false;
    if (isSym(t, i, ",")) {
      ++i;
      continue;
    }
    if (isSym(t, i, ")")) {
      ++i;
      return true;
    }
    error = "comma or closing parenthesis expected";
    return false;
  }
}

}  // namespace

bool readImage(std::string_view text, Image& image, std::string& error) {
  const std::vector<Token> t = scanSql(text);
  size_t i = 0;
  if (!readItem(t, i, image, 0, error)) return false;
  if (i != t.size()) {
    error = "unexpected text after the object value";
    return false;
  }
  return true;
}

}  // namespace ocistandin
