// The object entry points: types by name and by description, object instances, collections,
// nested tables, strings and REFs over the server's type catalog (standin_objects.h). An object
// pinned through a REF is read from its object-table row and written back by a flush.
#include <map>
#include <mutex>

#include "tools/oci-standin/oci_object.h"
#include "tools/oci-standin/standin_objects.h"

namespace ocistandin {
namespace {

constexpr ub4 kTdoType = 0x7A01, kTypeParamType = 0x7A02;
constexpr int32_t kPtr = static_cast<int32_t>(sizeof(void*));
constexpr ub4 OCI_ATTR_TYPE_NAME = 8, OCI_ATTR_SCHEMA_NAME = 9, OCI_ATTR_PARAM = 124, OCI_ATTR_TYPECODE = 216,
              OCI_ATTR_COLLECTION_TYPECODE = 217, OCI_ATTR_COLLECTION_ELEMENT = 227,
              OCI_ATTR_NUM_TYPE_ATTRS = 228, OCI_ATTR_LIST_TYPE_ATTRS = 229, OCI_ATTR_NUM_ELEMS = 234,
              OCI_ATTR_IS_FINAL_TYPE = 279;
constexpr int kMaxTypeDepth = 32;

struct ObjType;
using ObjTypePtr = std::shared_ptr<const ObjType>;

struct ObjAttr {
  AttrType type;
  ObjTypePtr named;  // a named attribute's type
  ub2 ociType = 1;
  int32_t offset = 0, indOffset = 0, storage = 0;
  bool embedded = false;
};

struct ObjType {
  std::shared_ptr<const CatalogType> cat;
  int32_t dataSize = 0, indSize = 0;
  std::vector<ObjAttr> attrs;  // a collection: its one element
  bool isCollection() const { return cat->isCollection(); }
};

int32_t alignUp(int32_t v, int32_t to) {
  return (v + to - 1) / to * to;
}

ObjTypePtr buildType(Session& session, const CatalogType& cat, int depth) {
  if (depth > kMaxTypeDepth) throw OraError(22303, "type \"" + cat.fullName() + "\" is nested too deeply");
  auto t = std::make_shared<ObjType>();
  t->cat = std::make_shared<CatalogType>(cat);
  const bool collection = cat.isCollection();
  t->indSize = collection ? 0 : 2;
  for (const AttrType& at : cat.attrs) {
    ObjAttr a;
    a.type = at;
    int32_t storage = kPtr, align = kPtr, indicator = 2;
    switch (at.kind) {
      case AttrType::Kind::Scalar:
        a.ociType = at.scalar.code;
        if (a.ociType == 2) {
          storage = 22;
          align = 1;
        } else if (a.ociType == 12) {
          storage = 8;
          align = 2;
        }
        break;
      case AttrType::Kind::Ref:
        a.ociType = SQLT_REF;
        break;
      case AttrType::Kind::Named: {
        a.ociType = SQLT_NTY;
        const auto nested = findType(session, at.owner, at.name);
        if (!nested) throw OraError(4043, "object " + at.owner + "." + at.name + " does not exist");
        a.named = buildType(session, *nested, depth + 1);
        if (!nested->isCollection() && nested->final && cat.final && !collection) {
          a.embedded = true;
          storage = std::max(alignUp(a.named->dataSize, kPtr), kPtr);
          indicator = a.named->indSize;
        }
        break;
      }
    }
    if (!collection) {
      t->dataSize = alignUp(t->dataSize, align);
      a.offset = t->dataSize;
      a.indOffset = t->indSize;
      t->dataSize += storage;
      t->indSize += indicator;
    }
    a.storage = storage;
    t->attrs.push_back(std::move(a));
  }
  t->dataSize = collection ? kPtr : alignUp(t->dataSize, kPtr);
  return t;
}

// --- Handles --------------------------------------------------------------------------------------

struct TdoHandle : Handle {
  TdoHandle(EnvHandle* env, ObjTypePtr t) : Handle(kTdoType, env), type(std::move(t)) {}
  ObjTypePtr type;
};

// A described type (kind 0), its attribute list (1), or one attribute or element (2).
struct TypeParam : Handle {
  TypeParam(EnvHandle* env, ObjTypePtr t, int kind, int attr)
      : Handle(kTypeParamType, env), type(std::move(t)), kind(kind), attr(attr) {}
  ObjTypePtr type;
  int kind;
  int attr;
  std::string name, schema, typeName;  // kept for the pointers handed out
};

template <class H, class... A>
H* adopt(EnvHandle* env, A&&... args) {
  auto* h = new H(env, std::forward<A>(args)...);
  std::lock_guard lock(registryMutex);
  env->adopt(h);
  return h;
}

// --- Instances ------------------------------------------------------------------------------------

struct ObjRec {
  ObjTypePtr type;
  std::unique_ptr<uint64_t[]> data;
  std::vector<int16_t> ind;
  // Pinned from an object-table row: where to write it back.
  SessionHandle* session = nullptr;
  std::string owner, table;
  int64_t row = 0;
  bool deleted = false;
  std::string xml;  // an XMLTYPE value's document
  uint8_t* bytes() const { return reinterpret_cast<uint8_t*>(data.get()); }
};

struct Elem {
  bool exists = true;
  alignas(8) uint8_t storage[24] = {};
  int16_t ind = -1;
  void* object = nullptr;  // an object element's instance
};

struct CollRec {
  ObjTypePtr type;
  std::vector<std::unique_ptr<Elem>> elems;
  int16_t ind = 0;
};

struct StrRec {
  std::string text;
};

struct RefRec {
  std::string hex;
  SessionHandle* session = nullptr;
};

std::recursive_mutex objMutex;
std::map<const void*, std::unique_ptr<ObjRec>> objects;  // by the instance's data
std::map<const void*, std::unique_ptr<CollRec>> colls;
std::map<const void*, std::unique_ptr<StrRec>> strings;
std::map<const void*, std::unique_ptr<RefRec>> refs;
std::map<const void*, TypeParam*> described;  // describe handle -> its type

struct ObjectSlots {
  ObjTypePtr type;
  void** instances = nullptr;
  void** indicators = nullptr;
};
std::map<const void*, ObjectSlots> defineSlots, bindSlots;

ObjRec* objectOf(const void* p) {
  const auto it = objects.find(p);
  return it == objects.end() ? nullptr : it->second.get();
}
CollRec* collOf(const void* p) {
  const auto it = colls.find(p);
  return it == colls.end() ? nullptr : it->second.get();
}
StrRec* stringOf(const void* p) {
  const auto it = strings.find(p);
  return it == strings.end() ? nullptr : it->second.get();
}
RefRec* refOf(const void* p) {
  const auto it = refs.find(p);
  return it == refs.end() ? nullptr : it->second.get();
}

ObjRec& needObject(const void* p) {
  if (ObjRec* o = objectOf(p)) return *o;
  throw OraError(21710, "argument is expecting a valid memory address of an object");
}
CollRec& needColl(const void* p) {
  if (CollRec* c = collOf(p)) return *c;
  throw OraError(21710, "argument is expecting a valid memory address of an object");
}
RefRec& needRef(const void* p) {
  if (RefRec* r = refOf(p)) return *r;
  throw OraError(21710, "argument is expecting a valid memory address of an object");
}

StrRec* newString(std::string text) {
  auto s = std::make_unique<StrRec>(StrRec{std::move(text)});
  StrRec* p = s.get();
  strings[p] = std::move(s);
  return p;
}

RefRec* newRef(std::string hex, SessionHandle* session) {
  auto r = std::make_unique<RefRec>(RefRec{std::move(hex), session});
  RefRec* p = r.get();
  refs[p] = std::move(r);
  return p;
}

CollRec* newColl(const ObjTypePtr& type) {
  auto c = std::make_unique<CollRec>();
  c->type = type;
  CollRec* p = c.get();
  colls[p] = std::move(c);
  return p;
}

void putPointer(uint8_t* slot, const void* p) {
  std::memcpy(slot, &p, sizeof p);
}
void* pointerIn(const uint8_t* slot) {
  void* p = nullptr;
  std::memcpy(&p, slot, sizeof p);
  return p;
}

// Collections inside a new object start empty, never missing.
void fillEmpty(const ObjType& t, uint8_t* data) {
  for (const ObjAttr& a : t.attrs) {
    if (!a.named) continue;
    if (a.named->isCollection())
      putPointer(data + a.offset, newColl(a.named));
    else if (a.embedded)
      fillEmpty(*a.named, data + a.offset);
  }
}

ObjRec* newObject(const ObjTypePtr& type) {
  auto o = std::make_unique<ObjRec>();
  o->type = type;
  const size_t words = static_cast<size_t>(std::max(type->dataSize, kPtr) + 7) / 8;
  o->data = std::make_unique<uint64_t[]>(words);
  std::memset(o->data.get(), 0, words * 8);
  o->ind.assign(static_cast<size_t>(std::max(type->indSize, 2)) / 2, -1);
  o->ind[0] = 0;
  fillEmpty(*type, o->bytes());
  ObjRec* p = o.get();
  objects[p->bytes()] = std::move(o);
  return p;
}

// --- Values in and out of instances -------------------------------------------------------------

[[noreturn]] void damaged(const std::string& what) {
  throw OraError(22337, "the stored value does not match its type (" + what + ")");
}

void fillColl(CollRec& c, const Image& image, SessionHandle* session);
void releaseElements(CollRec& c);
void fillObject(const ObjType& t, uint8_t* data, int16_t* ind, const Image& image, SessionHandle* session);

// A scalar, REF, collection or object value into its storage and indicator.
void fillValue(const ObjAttr& a, uint8_t* slot, int16_t* ind, const Image& item, SessionHandle* session) {
  const bool null = item.kind == Image::Kind::Null;
  if (a.embedded) return fillObject(*a.named, slot, ind, item, session);
  if (!a.named && item.kind == Image::Kind::Constructor) damaged("a value where an object is");
  if (a.named && item.kind == Image::Kind::Text) damaged("text where an object is");
  *ind = null ? -1 : 0;
  switch (a.ociType) {
    case 1:
    case 96:
      putPointer(slot, null ? nullptr : newString(item.text));
      return;
    case 2: {
      std::memset(slot, 0, 22);
      if (null) return;
      const auto n = numberFromStoredText(item.text);
      if (!n) damaged("a NUMBER");
      const NumberBytes b = toNumberBytes(*n);
      slot[0] = b.length;
      std::memcpy(slot + 1, b.bytes.data(), b.length);
      return;
    }
    case 12: {
      std::memset(slot, 0, 8);
      if (null) return;
      DateTime d;
      if (!parseCanonicalDate(item.text, d)) damaged("a DATE");
      const auto year = static_cast<int16_t>(d.year);
      std::memcpy(slot, &year, 2);
      slot[2] = static_cast<uint8_t>(d.month);
      slot[3] = static_cast<uint8_t>(d.day);
      slot[4] = static_cast<uint8_t>(d.hour);
      slot[5] = static_cast<uint8_t>(d.minute);
      slot[6] = static_cast<uint8_t>(d.second);
      return;
    }
    case SQLT_REF:
      putPointer(slot, newRef(null ? std::string() : item.text, session));
      return;
    default:
      break;
  }
  if (a.named->isCollection()) {
    CollRec* c = collOf(pointerIn(slot));
    if (!c) c = newColl(a.named);
    fillColl(*c, item, session);
    putPointer(slot, c);
    return;
  }
  if (null) {
    putPointer(slot, nullptr);
    return;
  }
  ObjRec* o = newObject(a.named);
  fillObject(*a.named, o->bytes(), o->ind.data(), item, session);
  putPointer(slot, o->bytes());
}

void fillObject(const ObjType& t, uint8_t* data, int16_t* ind, const Image& image, SessionHandle* session) {
  const size_t count = static_cast<size_t>(t.indSize / 2);
  if (image.kind == Image::Kind::Null) {
    for (size_t i = 0; i < count; ++i) ind[i] = -1;
    return;
  }
  if (image.kind != Image::Kind::Constructor || image.items.size() != t.attrs.size() ||
      (image.text != t.cat->fullName() && image.text != t.cat->name))
    damaged("an object of " + t.cat->fullName());
  ind[0] = 0;
  for (size_t i = 0; i < t.attrs.size(); ++i) {
    const ObjAttr& a = t.attrs[i];
    fillValue(a, data + a.offset, ind + a.indOffset / 2, image.items[i], session);
  }
}

void appendElement(CollRec& c, const Image& item, SessionHandle* session) {
  const ObjAttr& a = c.type->attrs[0];
  if (c.type->cat->kind == TypeKind::Varray && c.elems.size() >= c.type->cat->limit)
    throw OraError(22165, "given index [" + std::to_string(c.elems.size()) +
                              "] must be in the range of [0] to [" + std::to_string(c.type->cat->limit - 1) +
                              "]");
  auto e = std::make_unique<Elem>();
  if (a.named && !a.named->isCollection()) {
    ObjRec* o = newObject(a.named);
    fillObject(*a.named, o->bytes(), o->ind.data(), item, session);
    e->object = o->bytes();
  } else {
    fillValue(a, e->storage, &e->ind, item, session);
  }
  c.elems.push_back(std::move(e));
}

void fillColl(CollRec& c, const Image& image, SessionHandle* session) {
  releaseElements(c);
  if (image.kind == Image::Kind::Null) {
    c.ind = -1;
    return;
  }
  if (image.kind != Image::Kind::Constructor ||
      (image.text != c.type->cat->fullName() && image.text != c.type->cat->name))
    damaged("a collection of " + c.type->cat->fullName());
  c.ind = 0;
  for (const Image& item : image.items) appendElement(c, item, session);
}

Image imageOfObject(const ObjType& t, const uint8_t* data, const int16_t* ind);
Image imageOfColl(const CollRec& c);

Image imageOfValue(const ObjAttr& a, const uint8_t* slot, const int16_t* ind) {
  if (a.embedded) return imageOfObject(*a.named, slot, ind);
  if (*ind == -1) return Image::null();
  switch (a.ociType) {
    case 1:
    case 96: {
      const StrRec* s = stringOf(pointerIn(slot));
      return s && !s->text.empty() ? Image::value(s->text) : Image::null();
    }
    case 2: {
      if (slot[0] == 0 || slot[0] > 21) return Image::null();
      const auto n = fromNumberBytes(slot + 1, slot[0]);
      if (!n) throw OraError(1722, "invalid number");
      return Image::value(numberText(*n));
    }
    case 12: {
      int16_t year = 0;
      std::memcpy(&year, slot, 2);
      const DateTime d{year, slot[2], slot[3], slot[4], slot[5], slot[6]};
      if (!isValidDate(d))
        throw OraError(1858, "a non-numeric character was found where a numeric was expected");
      return Image::value(canonicalDate(d));
    }
    case SQLT_REF: {
      const RefRec* r = refOf(pointerIn(slot));
      return r && !r->hex.empty() ? Image::value(r->hex) : Image::null();
    }
    default:
      break;
  }
  void* target = pointerIn(slot);
  if (a.named->isCollection()) {
    const CollRec* c = collOf(target);
    return c ? imageOfColl(*c) : Image::null();
  }
  const ObjRec* o = objectOf(target);
  return o ? imageOfObject(*o->type, o->bytes(), o->ind.data()) : Image::null();
}

Image imageOfObject(const ObjType& t, const uint8_t* data, const int16_t* ind) {
  if (ind[0] == -1) return Image::null();
  Image image{Image::Kind::Constructor, t.cat->fullName(), {}};
  for (const ObjAttr& a : t.attrs)
    image.items.push_back(imageOfValue(a, data + a.offset, ind + a.indOffset / 2));
  return image;
}

Image imageOfColl(const CollRec& c) {
  if (c.ind == -1) return Image::null();
  Image image{Image::Kind::Constructor, c.type->cat->fullName(), {}};
  const ObjAttr& a = c.type->attrs[0];
  for (const auto& e : c.elems) {
    if (!e->exists) continue;
    if (e->object) {
      const ObjRec& o = needObject(e->object);
      image.items.push_back(imageOfObject(*o.type, o.bytes(), o.ind.data()));
    } else {
      image.items.push_back(imageOfValue(a, e->storage, &e->ind));
    }
  }
  return image;
}

// The image of an instance (object or collection) handed in by the caller.
Image imageOfInstance(const void* instance) {
  if (const CollRec* c = collOf(instance)) return imageOfColl(*c);
  const ObjRec& o = needObject(instance);
  return imageOfObject(*o.type, o.bytes(), o.ind.data());
}

void releaseParts(const ObjType& t, uint8_t* data);

// What a collection's elements hold goes with them.
void releaseElements(CollRec& c) {
  const ObjAttr& a = c.type->attrs[0];
  for (auto& e : c.elems) {
    if (e->object) {
      if (ObjRec* o = objectOf(e->object)) releaseParts(*o->type, o->bytes());
      objects.erase(e->object);
    } else if (a.ociType == 1 || a.ociType == 96) {
      strings.erase(pointerIn(e->storage));
    } else if (a.ociType == SQLT_REF) {
      refs.erase(pointerIn(e->storage));
    }
  }
  c.elems.clear();
}

// Frees the strings, REFs, collections and separate objects an instance points at, and clears
// the pointers.
void releaseParts(const ObjType& t, uint8_t* data) {
  for (const ObjAttr& a : t.attrs) {
    uint8_t* slot = data + a.offset;
    if (a.embedded) {
      releaseParts(*a.named, slot);
      continue;
    }
    if (a.ociType != 1 && a.ociType != 96 && a.ociType != SQLT_REF && a.ociType != SQLT_NTY) continue;
    void* p = pointerIn(slot);
    putPointer(slot, nullptr);
    if (!p) continue;
    if (a.ociType == SQLT_REF) {
      refs.erase(p);
    } else if (a.ociType != SQLT_NTY) {
      strings.erase(p);
    } else if (CollRec* c = collOf(p)) {
      releaseElements(*c);
      colls.erase(p);
    } else if (ObjRec* o = objectOf(p)) {
      releaseParts(*o->type, o->bytes());
      objects.erase(p);
    }
  }
}

// A value the client put into an instance replaces it: the same instance takes the new contents.
void assignImage(void* instance, const Image& image, SessionHandle* session) {
  if (CollRec* c = collOf(instance)) {
    releaseElements(*c);
    return fillColl(*c, image, session);
  }
  ObjRec& o = needObject(instance);
  releaseParts(*o.type, o.bytes());
  fillEmpty(*o.type, o.bytes());
  fillObject(*o.type, o.bytes(), o.ind.data(), image, session);
}

// --- Sessions and types ---------------------------------------------------------------------------

SessionHandle& sessionOf(void* svchp) {
  auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
  SessionHandle* s = sessionOfSvc(svc);
  liveSession(s);
  return *s;
}

ObjTypePtr typeNamed(Session& session, std::string owner, std::string name) {
  const auto cat = findType(session, owner, name);
  if (!cat) throw OraError(4043, "object " + (owner.empty() ? name : owner + "." + name) + " does not exist");
  return buildType(session, *cat, 0);
}

// The type behind a type descriptor given as argument `position` of a call under `env`: a
// descriptor freed with its environment, or made under another one, is refused.
ObjTypePtr tdoType(const void* tdo, const EnvHandle* env, int position) {
  auto* h = lookup<TdoHandle>(tdo, kTdoType);
  if (!h) throw OraError(21710, "argument is expecting a valid memory address of an object");
  if (h->env != env)
    throw OraError(21560, "argument " + std::to_string(position) +
                              " is null, invalid, or out of range (a type of another environment)");
  return h->type;
}

std::string textOf(const OraText* p, ub4 length) {
  return p ? std::string(reinterpret_cast<const char*>(p), length) : std::string();
}

// "NAME", "OWNER.NAME", each part maybe in double quotes (kept as written) or not (upper case).
void splitName(const std::string& text, std::string& owner, std::string& name) {
  const std::vector<Token> t = scanSql(text);
  owner.clear();
  name.clear();
  if (t.size() == 1 && (t[0].kind == TokenKind::Word || t[0].kind == TokenKind::QuotedName)) {
    name = t[0].text;
  } else if (t.size() == 3 && t[1].text == "." && t[0].kind != TokenKind::Symbol &&
             t[2].kind != TokenKind::Symbol) {
    owner = t[0].text;
    name = t[2].text;
  }
  if (name.empty()) throw OraError(4043, "object " + text + " does not exist");
}

template <class T>
void put(void* attribute, ub4* size, T value) {
  if (attribute) std::memcpy(attribute, &value, sizeof value);
  if (size) *size = sizeof value;
}

void putText(void* attribute, ub4* size, const std::string& text) {
  if (attribute) *static_cast<const OraText**>(attribute) = reinterpret_cast<const OraText*>(text.c_str());
  if (size) *size = static_cast<ub4>(text.size());
}

// --- Object tables --------------------------------------------------------------------------------

std::string tableRef(const Session& session, const std::string& owner, const std::string& table) {
  return (owner == session.user() ? std::string("main") : quoteName(owner)) + "." + quoteName(table);
}

Image rowImage(const ObjType& t, sqlite3_stmt* stmt) {
  Image image{Image::Kind::Constructor, t.cat->fullName(), {}};
  for (size_t i = 0; i < t.attrs.size(); ++i) {
    const int col = static_cast<int>(i);
    const int kind = sqlite3_column_type(stmt, col);
    if (kind == SQLITE_NULL) {
      image.items.push_back(Image::null());
      continue;
    }
    const ObjAttr& a = t.attrs[i];
    if (a.ociType == 2) {
      ExactNumber n;
      if (kind == SQLITE_INTEGER) {
        n = numberFromInteger(sqlite3_column_int64(stmt, col));
      } else if (kind == SQLITE_FLOAT) {
        n = numberFromDouble(sqlite3_column_double(stmt, col));
      } else {
        const auto read = numberFromStoredText(reinterpret_cast<const char*>(sqlite3_column_text(stmt, col)));
        if (!read) damaged("a NUMBER");
        n = *read;
      }
      image.items.push_back(Image::value(numberText(n)));
      continue;
    }
    const std::string text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
    if (a.named) {
      Image item;
      std::string error;
      if (!readImage(text, item, error)) damaged(error);
      image.items.push_back(std::move(item));
    } else {
      image.items.push_back(Image::value(text));
    }
  }
  return image;
}

struct SqlStmt {
  SqlStmt(Session& session, const std::string& sql) : session(session) {
    const int rc = sqlite3_prepare_v2(session.db(), sql.c_str(), -1, &stmt, nullptr);
    if (rc != SQLITE_OK) {
      const OraError e = session.mapError(rc);
      sqlite3_finalize(stmt);
      throw e;
    }
  }
  ~SqlStmt() { sqlite3_finalize(stmt); }
  SqlStmt(const SqlStmt&) = delete;
  SqlStmt& operator=(const SqlStmt&) = delete;
  int step() {
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw session.mapError(rc);
    return rc;
  }
  Session& session;
  sqlite3_stmt* stmt = nullptr;
};

void* pinRef(const RefRec& r) {
  std::string owner, table;
  int64_t row = 0;
  if (r.hex.empty()) throw OraError(22275, "invalid LOB locator specified (the REF is null)");
  if (!refTarget(r.hex, owner, table, row)) throw OraError(22881, "dangling REF");
  auto* sh = lookup<SessionHandle>(r.session, OCI_HTYPE_SESSION);
  Session& session = liveSession(sh);
  const auto cat = objectTableType(session, owner, table);
  if (!cat) throw OraError(22881, "dangling REF");
  const ObjTypePtr type = buildType(session, *cat, 0);
  std::string columns;
  for (const std::string& name : cat->names) columns += (columns.empty() ? "" : ", ") + quoteName(name);
  SqlStmt s(session,
            "SELECT " + columns + " FROM " + tableRef(session, owner, table) + " WHERE _rowid_ = ?1");
  sqlite3_bind_int64(s.stmt, 1, row);
  if (s.step() != SQLITE_ROW) throw OraError(22881, "dangling REF");
  ObjRec* o = newObject(type);
  fillObject(*type, o->bytes(), o->ind.data(), rowImage(*type, s.stmt), sh);
  o->session = sh;
  o->owner = owner;
  o->table = table;
  o->row = row;
  return o->bytes();
}

void flushObject(ObjRec& o) {
  if (!o.session || o.deleted) return;
  auto* sh = lookup<SessionHandle>(o.session, OCI_HTYPE_SESSION);
  Session& session = liveSession(sh);
  const Image image = imageOfObject(*o.type, o.bytes(), o.ind.data());
  if (image.kind == Image::Kind::Null) throw OraError(1400, "cannot insert NULL into an object-table row");
  std::string sets;
  for (size_t i = 0; i < o.type->cat->names.size(); ++i)
    sets += (sets.empty() ? "" : ", ") + quoteName(o.type->cat->names[i]) + " = ?" + std::to_string(i + 1);
  session.beginWork();
  SqlStmt s(session, "UPDATE " + tableRef(session, o.owner, o.table) + " SET " + sets + " WHERE _rowid_ = ?" +
                         std::to_string(o.type->cat->names.size() + 1));
  for (size_t i = 0; i < image.items.size(); ++i) {
    const Image& item = image.items[i];
    const int at = static_cast<int>(i + 1);
    if (item.kind == Image::Kind::Null) {
      sqlite3_bind_null(s.stmt, at);
    } else {
      const std::string text = item.kind == Image::Kind::Text ? item.text : writeImage(item);
      sqlite3_bind_text(s.stmt, at, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
  }
  sqlite3_bind_int64(s.stmt, static_cast<int>(image.items.size() + 1), o.row);
  s.step();
}

// Runs an object call under the object lock with the error handle's record.
template <class F>
sword objectCall(void* errhp, F&& body) {
  return entry(errhp, [&](ErrorHandle* err) -> sword {
    std::lock_guard lock(objMutex);
    return body(err);
  });
}

Image imageOfValueText(const Value& value) {
  if (value.isNull()) return Image::null();
  if (value.kind != Value::Kind::Text) throw OraError(932, "inconsistent datatypes: expected an object");
  Image image;
  std::string error;
  if (!readImage(value.bytes, image, error)) damaged(error);
  return image;
}

// A column or bind value into an instance: an XMLTYPE value takes the document, any other the
// image's contents.
void assignValue(void* instance, const Value& value, SessionHandle* session) {
  const bool null = value.isNull() || (value.kind == Value::Kind::Text && value.bytes.empty());
  if (ObjRec* o = objectOf(instance); o && isXmlType(*o->type->cat)) {
    if (!null && value.kind != Value::Kind::Text)
      throw OraError(932, "inconsistent datatypes: expected XMLTYPE");
    o->xml = null ? std::string() : value.bytes;
    o->ind[0] = null ? -1 : 0;
    return;
  }
  assignImage(instance, imageOfValueText(null ? Value{} : value), session);
}

Value valueOfInstance(const void* instance) {
  if (const ObjRec* o = objectOf(instance); o && isXmlType(*o->type->cat))
    return o->ind[0] == -1 ? Value{} : Value::text(o->xml);
  const Image image = imageOfInstance(instance);
  return image.kind == Image::Kind::Null ? Value{} : Value::text(writeImage(image));
}

struct PStreamHandle : Handle {
  using Handle::Handle;
  std::string data;
  size_t at = 0;
  bool open = false;
};
constexpr ub4 kPickleStreamType = 74;

}  // namespace

// --- Hooks of the statement calls ---------------------------------------------------------------

bool objectAttrGet(const void* handle, ub4 handleType, void* attribute, ub4* size, ub4 attr) {
  std::lock_guard lock(objMutex);
  if (handleType == OCI_HTYPE_DESCRIBE && attr == OCI_ATTR_PARAM) {
    const auto it = described.find(handle);
    if (it == described.end() || !lookup<TypeParam>(it->second, kTypeParamType)) return false;
    put<void*>(attribute, size, it->second);
    return true;
  }
  if (handleType != OCI_DTYPE_PARAM) return false;
  if (auto* column = lookup<ParamHandle>(handle, OCI_DTYPE_PARAM)) {
    if (attr == OCI_ATTR_TYPE_NAME) {
      putText(attribute, size, column->info.typeName);
      return true;
    }
    if (attr == OCI_ATTR_SCHEMA_NAME) {
      putText(attribute, size, column->info.typeOwner);
      return true;
    }
    return false;
  }
  auto* p = lookup<TypeParam>(handle, kTypeParamType);
  if (!p) return false;
  const ObjType& t = *p->type;
  if (p->kind == 0) {
    switch (attr) {
      case OCI_ATTR_TYPECODE:
        put<ub2>(attribute, size, t.isCollection() ? 122 : 108);
        return true;
      case OCI_ATTR_IS_FINAL_TYPE:
        put<ub1>(attribute, size, t.cat->final ? 1 : 0);
        return true;
      case OCI_ATTR_NUM_TYPE_ATTRS:
        put<ub2>(attribute, size, static_cast<ub2>(t.isCollection() ? 0 : t.attrs.size()));
        return true;
      case OCI_ATTR_LIST_TYPE_ATTRS:
        if (t.isCollection()) throw OraError(24315, "illegal attribute type");
        put<void*>(attribute, size, adopt<TypeParam>(p->env, p->type, 1, -1));
        return true;
      case OCI_ATTR_COLLECTION_TYPECODE:
        if (!t.isCollection()) throw OraError(24315, "illegal attribute type");
        put<ub2>(attribute, size, t.cat->kind == TypeKind::Varray ? 247 : 248);
        return true;
      case OCI_ATTR_COLLECTION_ELEMENT:
        if (!t.isCollection()) throw OraError(24315, "illegal attribute type");
        put<void*>(attribute, size, adopt<TypeParam>(p->env, p->type, 2, 0));
        return true;
      case OCI_ATTR_NUM_ELEMS:
        put<ub4>(attribute, size, t.cat->limit);
        return true;
      case OCI_ATTR_NAME:
        p->name = t.cat->name;
        putText(attribute, size, p->name);
        return true;
      case OCI_ATTR_SCHEMA_NAME:
        p->schema = t.cat->owner;
        putText(attribute, size, p->schema);
        return true;
      default:
        throw OraError(24315, "illegal attribute type");
    }
  }
  if (p->kind != 2) throw OraError(24315, "illegal attribute type");
  const ObjAttr& a = t.attrs.at(static_cast<size_t>(p->attr));
  switch (attr) {
    case OCI_ATTR_NAME:
      p->name = t.cat->names.at(static_cast<size_t>(p->attr));
      putText(attribute, size, p->name);
      return true;
    case OCI_ATTR_DATA_TYPE:
      put<ub2>(attribute, size, a.ociType);
      return true;
    case OCI_ATTR_DATA_SIZE:
      put<ub2>(attribute, size,
               a.type.kind == AttrType::Kind::Scalar ? a.type.scalar.size : static_cast<ub2>(a.storage));
      return true;
    case OCI_ATTR_PRECISION:
      put<ub1>(attribute, size, static_cast<ub1>(a.type.scalar.hasPrecision ? a.type.scalar.precision : 0));
      return true;
    case OCI_ATTR_SCALE:
      put<sb1>(attribute, size, static_cast<sb1>(a.type.scalar.hasScale ? a.type.scalar.scale : 0));
      return true;
    case OCI_ATTR_TYPE_NAME:
      p->typeName = a.type.kind == AttrType::Kind::Scalar ? a.type.scalar.name : a.type.name;
      putText(attribute, size, p->typeName);
      return true;
    case OCI_ATTR_SCHEMA_NAME:
      p->schema = a.type.kind == AttrType::Kind::Scalar ? std::string() : a.type.owner;
      putText(attribute, size, p->schema);
      return true;
    default:
      throw OraError(24315, "illegal attribute type");
  }
}

bool objectParamGet(const void* handle, void** param, ub4 position) {
  std::lock_guard lock(objMutex);
  auto* p = lookup<TypeParam>(handle, kTypeParamType);
  if (!p) return false;
  if (p->kind != 1 || position < 1 || position > p->type->attrs.size() || !param)
    throw OraError(24334, "no descriptor for this position");
  *param = adopt<TypeParam>(p->env, p->type, 2, static_cast<int>(position - 1));
  return true;
}

bool deliverObject(StmtHandle& stmt, DefineHandle& d, ub4 row, const Value& value) {
  if (d.area.type != SQLT_NTY && d.area.type != SQLT_REF) return false;
  std::lock_guard lock(objMutex);
  const auto it = defineSlots.find(&d);
  if (it == defineSlots.end() || !it->second.instances)
    throw OraError(22303, "no object type was given for this column (OCIDefineObject)");
  const ObjectSlots& slots = it->second;
  void*& instance = slots.instances[row];
  const bool null = value.isNull() || (value.kind == Value::Kind::Text && value.bytes.empty());
  if (sb2* ind = d.area.indicatorAt(row)) *ind = null ? -1 : 0;
  if (d.area.type == SQLT_REF) {
    RefRec* r = refOf(instance);
    if (!r) r = newRef({}, stmt.session);
    r->hex = null ? std::string() : value.bytes;
    r->session = stmt.session;
    instance = r;
    return true;
  }
  if (!slots.type) throw OraError(22303, "no object type was given for this column (OCIDefineObject)");
  void* target = instance;
  if (!target || (!objectOf(target) && !collOf(target)))
    target =
        slots.type->isCollection() ? static_cast<void*>(newColl(slots.type)) : newObject(slots.type)->bytes();
  assignValue(target, value, stmt.session);
  instance = target;
  if (slots.indicators) {
    if (CollRec* c = collOf(target))
      slots.indicators[row] = &c->ind;
    else
      slots.indicators[row] = needObject(target).ind.data();
  }
  return true;
}

void dropObjectSlots(const void* handle) {
  std::lock_guard lock(objMutex);
  defineSlots.erase(handle);
  bindSlots.erase(handle);
}

bool objectBindInput(BindHandle& b, Value& value) {
  if (b.area.type != SQLT_NTY && b.area.type != SQLT_REF) return false;
  std::lock_guard lock(objMutex);
  const auto it = bindSlots.find(&b);
  if (it == bindSlots.end() || !it->second.instances)
    throw OraError(22303, "no object type was given for this bind (OCIBindObject)");
  void* instance = *it->second.instances;
  value = {};
  if (!instance) return true;
  if (b.area.type == SQLT_REF) {
    const RefRec& r = needRef(instance);
    if (!r.hex.empty()) value = Value::text(r.hex);
    return true;
  }
  value = valueOfInstance(instance);
  return true;
}

bool objectBindOutput(BindHandle& b, const Value& value) {
  if (b.area.type != SQLT_NTY && b.area.type != SQLT_REF) return false;
  std::lock_guard lock(objMutex);
  const auto it = bindSlots.find(&b);
  if (it == bindSlots.end() || !it->second.instances)
    throw OraError(22303, "no object type was given for this bind (OCIBindObject)");
  const ObjectSlots& slots = it->second;
  void*& instance = *slots.instances;
  const bool null = value.isNull() || (value.kind == Value::Kind::Text && value.bytes.empty());
  if (b.area.type == SQLT_REF) {
    RefRec* r = refOf(instance);
    if (!r) r = newRef({}, b.stmt->session);
    r->hex = null ? std::string() : value.bytes;
    instance = r;
    return true;
  }
  void* target = instance;
  if (!target || (!objectOf(target) && !collOf(target)))
    target =
        slots.type->isCollection() ? static_cast<void*>(newColl(slots.type)) : newObject(slots.type)->bytes();
  assignValue(target, null ? Value{} : value, b.stmt->session);
  instance = target;
  if (slots.indicators) {
    if (CollRec* c = collOf(target))
      *slots.indicators = &c->ind;
    else
      *slots.indicators = needObject(target).ind.data();
  }
  return true;
}

}  // namespace ocistandin

using namespace ocistandin;

// --- Types --------------------------------------------------------------------------------------

OCI_EXPORT sword OCITypeByName(void* envhp, void* errhp, void* svchp, const OraText* schema, ub4 schemaLength,
                               const OraText* name, ub4 nameLength, const OraText*, ub4, ub2, int,
                               void** tdo) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    auto& env = need<EnvHandle>(envhp, OCI_HTYPE_ENV);
    SessionHandle& s = sessionOf(svchp);
    if (!name || nameLength == 0 || !tdo)
      throw OraError(21560, "argument 6 is null, invalid, or out of range");
    const ObjTypePtr type = typeNamed(*s.core, textOf(schema, schemaLength), textOf(name, nameLength));
    *tdo = adopt<TdoHandle>(&env, type);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIDescribeAny(void* svchp, void* errhp, void* objptr, ub4 objnmLength, ub1 objptrType, ub1,
                                ub1 objType, void* dschp) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    SessionHandle& s = sessionOf(svchp);
    auto* handle = lookup<Handle>(dschp, OCI_HTYPE_DESCRIBE);
    if (!handle) return OCI_INVALID_HANDLE;
    if (objptrType != 1 || !objptr) throw OraError(21560, "argument 3 is null, invalid, or out of range");
    const std::string text(static_cast<const char*>(objptr), objnmLength);
    std::string owner, name;
    splitName(text, owner, name);
    const ObjTypePtr type = typeNamed(*s.core, owner, name);
    if (objType != 0 && objType != 6) throw OraError(4043, "object " + text + " does not exist");
    described[dschp] = adopt<TypeParam>(handle->env, type, 0, -1);
    return OCI_SUCCESS;
  });
}

// --- Instances ------------------------------------------------------------------------------------

OCI_EXPORT sword OCIObjectNew(void* envhp, void* errhp, void*, ub2 typecode, void* tdo, void*, ub2, int,
                              void** instance) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    const ObjTypePtr type = tdoType(tdo, &need<EnvHandle>(envhp, OCI_HTYPE_ENV), 5);
    if (!instance) throw OraError(21560, "argument 9 is null, invalid, or out of range");
    if (typecode != 108 && typecode != 122 && typecode != 247 && typecode != 248)
      throw OraError(21560, "argument 4 is null, invalid, or out of range");
    *instance = type->isCollection() ? static_cast<void*>(newColl(type)) : newObject(type)->bytes();
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIObjectFree(void*, void* errhp, void* instance, ub2) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    if (CollRec* c = collOf(instance)) {
      releaseElements(*c);
      colls.erase(instance);
      return OCI_SUCCESS;
    }
    ObjRec& o = needObject(instance);
    releaseParts(*o.type, o.bytes());
    objects.erase(instance);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIObjectGetInd(void*, void* errhp, void* instance, void** ind) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    if (!ind) throw OraError(21560, "argument 4 is null, invalid, or out of range");
    if (CollRec* c = collOf(instance)) {
      *ind = &c->ind;
      return OCI_SUCCESS;
    }
    *ind = needObject(instance).ind.data();
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIObjectCopy(void*, void* errhp, void*, void* source, void* sourceInd, void* target,
                               void* targetInd, void*, ub2, ub1) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    (void)sourceInd;
    (void)targetInd;
    SessionHandle* session = nullptr;
    if (const ObjRec* o = objectOf(source)) session = o->session;
    assignValue(target, valueOfInstance(source), session);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIObjectPin(void*, void* errhp, void* ref, void*, int, ub2, int, void** object) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    if (!object) throw OraError(21560, "argument 8 is null, invalid, or out of range");
    *object = pinRef(needRef(ref));
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIObjectUnpin(void*, void* errhp, void* object) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    needObject(object);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIObjectFlush(void*, void* errhp, void* object) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    flushObject(needObject(object));
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIObjectMarkDelete(void*, void* errhp, void* object) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    ObjRec& o = needObject(object);
    if (!o.session) throw OraError(21710, "the object is not in an object table");
    if (o.deleted) return OCI_SUCCESS;
    Session& session = liveSession(lookup<SessionHandle>(o.session, OCI_HTYPE_SESSION));
    session.beginWork();
    SqlStmt s(session, "DELETE FROM " + tableRef(session, o.owner, o.table) + " WHERE _rowid_ = ?1");
    sqlite3_bind_int64(s.stmt, 1, o.row);
    s.step();
    o.deleted = true;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIObjectGetObjectRef(void*, void* errhp, void* object, void* ref) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    ObjRec& o = needObject(object);
    RefRec& r = needRef(ref);
    if (!o.session) throw OraError(21710, "the object is not in an object table");
    r.hex = refHex(o.owner, o.table, o.row);
    r.session = o.session;
    return OCI_SUCCESS;
  });
}

// --- Collections and nested tables ----------------------------------------------------------------

OCI_EXPORT sword OCICollSize(void*, void* errhp, const void* coll, sb4* size) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    *size = static_cast<sb4>(needColl(coll).elems.size());
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sb4 OCICollMax(void*, const void* coll) {
  std::lock_guard lock(objMutex);
  const CollRec* c = collOf(coll);
  return c && c->type->cat->kind == TypeKind::Varray ? static_cast<sb4>(c->type->cat->limit) : 0;
}

OCI_EXPORT sword OCICollGetElem(void*, void* errhp, const void* coll, sb4 index, int* exists, void** elem,
                                void** elemInd) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    CollRec& c = needColl(coll);
    *exists = 0;
    if (index < 0 || static_cast<size_t>(index) >= c.elems.size() ||
        !c.elems[static_cast<size_t>(index)]->exists)
      return OCI_SUCCESS;
    Elem& e = *c.elems[static_cast<size_t>(index)];
    *exists = 1;
    if (e.object) {
      *elem = e.object;
      if (elemInd) *elemInd = needObject(e.object).ind.data();
    } else {
      *elem = e.storage;
      if (elemInd) *elemInd = &e.ind;
    }
    return OCI_SUCCESS;
  });
}

namespace {

// The image of an element the caller hands in: an instance, or a scalar in its storage.
Image elementImage(const CollRec& c, const void* elem, const void* elemInd) {
  const ObjAttr& a = c.type->attrs[0];
  if (a.named && !a.named->isCollection()) return imageOfInstance(elem);
  int16_t ind = elemInd ? *static_cast<const int16_t*>(elemInd) : 0;
  if (a.ociType == 1 || a.ociType == 96 || a.ociType == SQLT_REF) {
    // The element is the string or REF itself, not a slot holding it.
    uint8_t slot[sizeof(void*)];
    putPointer(slot, elem);
    return imageOfValue(a, slot, &ind);
  }
  return imageOfValue(a, static_cast<const uint8_t*>(elem), &ind);
}

}  // namespace

OCI_EXPORT sword OCICollAppend(void*, void* errhp, const void* elem, const void* elemInd, void* coll) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    CollRec& c = needColl(coll);
    appendElement(c, elementImage(c, elem, elemInd), nullptr);
    c.ind = 0;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCICollAssignElem(void*, void* errhp, sb4 index, const void* elem, const void* elemInd,
                                   void* coll) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    CollRec& c = needColl(coll);
    if (index < 0 || static_cast<size_t>(index) >= c.elems.size())
      throw OraError(22165, "given index [" + std::to_string(index) + "] must be in the range of [0] to [" +
                                std::to_string(static_cast<long>(c.elems.size()) - 1) + "]");
    const Image image = elementImage(c, elem, elemInd);
    CollRec scratch;
    scratch.type = c.type;
    appendElement(scratch, image, nullptr);
    // The old element's strings and objects go with it.
    std::swap(c.elems[static_cast<size_t>(index)], scratch.elems[0]);
    releaseElements(scratch);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCICollAssign(void*, void* errhp, const void* from, void* to) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    const Image image = imageOfColl(needColl(from));
    CollRec& target = needColl(to);
    if (target.type->cat->fullName() != needColl(from).type->cat->fullName())
      throw OraError(22337, "the collections are of different types");
    fillColl(target, image, nullptr);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCICollTrim(void*, void* errhp, sb4 trim, void* coll) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    CollRec& c = needColl(coll);
    if (trim < 0 || static_cast<size_t>(trim) > c.elems.size())
      throw OraError(22167, "given trim size [" + std::to_string(trim) + "] must be less than or equal to [" +
                                std::to_string(c.elems.size()) + "]");
    c.elems.resize(c.elems.size() - static_cast<size_t>(trim));
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCITableSize(void*, void* errhp, const void* table, sb4* size) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    sb4 n = 0;
    for (const auto& e : needColl(table).elems) n += e->exists ? 1 : 0;
    *size = n;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCITableDelete(void*, void* errhp, sb4 index, void* table) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    CollRec& c = needColl(table);
    if (c.type->cat->kind != TypeKind::Table)
      throw OraError(
          22160, "element at index [" + std::to_string(index) + "] does not exist (a VARRAY has no holes)");
    if (index < 0 || static_cast<size_t>(index) >= c.elems.size() ||
        !c.elems[static_cast<size_t>(index)]->exists)
      throw OraError(22160, "element at index [" + std::to_string(index) + "] does not exist");
    c.elems[static_cast<size_t>(index)]->exists = false;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCITableExists(void*, void* errhp, const void* table, sb4 index, int* exists) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    const CollRec& c = needColl(table);
    *exists = index >= 0 && static_cast<size_t>(index) < c.elems.size() &&
              c.elems[static_cast<size_t>(index)]->exists;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCITableNext(void*, void* errhp, sb4 index, const void* table, sb4* next, int* exists) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    const CollRec& c = needColl(table);
    *exists = 0;
    for (size_t i = index < 0 ? 0 : static_cast<size_t>(index) + 1; i < c.elems.size(); ++i)
      if (c.elems[i]->exists) {
        *next = static_cast<sb4>(i);
        *exists = 1;
        break;
      }
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCITablePrev(void*, void* errhp, sb4 index, const void* table, sb4* prev, int* exists) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    const CollRec& c = needColl(table);
    *exists = 0;
    for (sb4 i = std::min<sb4>(index, static_cast<sb4>(c.elems.size())) - 1; i >= 0; --i)
      if (c.elems[static_cast<size_t>(i)]->exists) {
        *prev = i;
        *exists = 1;
        break;
      }
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCITableFirst(void*, void* errhp, const void* table, sb4* index) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    const CollRec& c = needColl(table);
    for (size_t i = 0; i < c.elems.size(); ++i)
      if (c.elems[i]->exists) {
        *index = static_cast<sb4>(i);
        return OCI_SUCCESS;
      }
    throw OraError(22166, "collection is empty");
  });
}

OCI_EXPORT sword OCITableLast(void*, void* errhp, const void* table, sb4* index) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    const CollRec& c = needColl(table);
    for (size_t i = c.elems.size(); i > 0; --i)
      if (c.elems[i - 1]->exists) {
        *index = static_cast<sb4>(i - 1);
        return OCI_SUCCESS;
      }
    throw OraError(22166, "collection is empty");
  });
}

// --- Strings --------------------------------------------------------------------------------------

OCI_EXPORT OraText* OCIStringPtr(void*, const void* str) {
  std::lock_guard lock(objMutex);
  StrRec* s = stringOf(str);
  return s ? reinterpret_cast<OraText*>(s->text.data()) : nullptr;
}

OCI_EXPORT ub4 OCIStringSize(void*, const void* str) {
  std::lock_guard lock(objMutex);
  const StrRec* s = stringOf(str);
  return s ? static_cast<ub4>(s->text.size()) : 0;
}

OCI_EXPORT sword OCIStringAssignText(void*, void* errhp, const OraText* text, ub4 length, void** str) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    if (!str) throw OraError(21560, "argument 5 is null, invalid, or out of range");
    StrRec* s = *str ? stringOf(*str) : nullptr;
    if (*str && !s) throw OraError(21710, "argument is expecting a valid memory address of an object");
    if (!s) s = newString({});
    s->text = textOf(text, length);
    *str = s;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIStringAssign(void*, void* errhp, const void* rhs, void** lhs) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    const StrRec* from = stringOf(rhs);
    if (!from || !lhs) throw OraError(21710, "argument is expecting a valid memory address of an object");
    StrRec* s = *lhs ? stringOf(*lhs) : newString({});
    if (!s) throw OraError(21710, "argument is expecting a valid memory address of an object");
    s->text = from->text;
    *lhs = s;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIStringResize(void*, void* errhp, ub4 newSize, void** str) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    if (!str) throw OraError(21560, "argument 4 is null, invalid, or out of range");
    StrRec* s = *str ? stringOf(*str) : newString({});
    if (!s) throw OraError(21710, "argument is expecting a valid memory address of an object");
    if (newSize == 0) {
      strings.erase(s);
      *str = nullptr;
      return OCI_SUCCESS;
    }
    s->text.reserve(newSize);
    *str = s;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIStringAllocSize(void*, void* errhp, const void* str, ub4* size) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    const StrRec* s = stringOf(str);
    if (!s) throw OraError(21710, "argument is expecting a valid memory address of an object");
    *size = static_cast<ub4>(s->text.capacity());
    return OCI_SUCCESS;
  });
}

// --- REFs -----------------------------------------------------------------------------------------

OCI_EXPORT int OCIRefIsNull(void*, const void* ref) {
  std::lock_guard lock(objMutex);
  const RefRec* r = refOf(ref);
  return !r || r->hex.empty();
}

OCI_EXPORT int OCIRefIsEqual(void*, const void* x, const void* y) {
  std::lock_guard lock(objMutex);
  const RefRec* a = refOf(x);
  const RefRec* b = refOf(y);
  return a && b && !a->hex.empty() && a->hex == b->hex;
}

OCI_EXPORT sword OCIRefAssign(void*, void* errhp, const void* source, void** target) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    const RefRec& from = needRef(source);
    if (!target) throw OraError(21560, "argument 4 is null, invalid, or out of range");
    RefRec* to = *target ? refOf(*target) : newRef({}, from.session);
    if (!to) throw OraError(21710, "argument is expecting a valid memory address of an object");
    to->hex = from.hex;
    to->session = from.session;
    *target = to;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT void OCIRefClear(void*, void* ref) {
  std::lock_guard lock(objMutex);
  if (RefRec* r = refOf(ref)) r->hex.clear();
}

OCI_EXPORT sword OCIRefToHex(void*, void* errhp, const void* ref, OraText* hex, ub4* hexLength) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    const RefRec& r = needRef(ref);
    if (!hexLength || !hex) throw OraError(21560, "argument 5 is null, invalid, or out of range");
    if (r.hex.size() > *hexLength) throw OraError(22279, "buffer too small for the REF's hex");
    std::memcpy(hex, r.hex.data(), r.hex.size());
    *hexLength = static_cast<ub4>(r.hex.size());
    return OCI_SUCCESS;
  });
}

// --- Defines and binds of named types ---------------------------------------------------------------

OCI_EXPORT sword OCIDefineObject(void* defnp, void* errhp, const void* tdo, void** pgvpp, ub4*, void** indpp,
                                 ub4*) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    auto& d = need<DefineHandle>(defnp, OCI_HTYPE_DEFINE);
    if (!pgvpp) throw OraError(21560, "argument 4 is null, invalid, or out of range");
    ObjectSlots slots;
    // A REF may go without the type it refers to; one given is checked all the same.
    if (d.area.type == SQLT_NTY || tdo) slots.type = tdoType(tdo, d.env, 3);
    slots.instances = pgvpp;
    slots.indicators = indpp;
    defineSlots[&d] = slots;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIBindObject(void* bindp, void* errhp, const void* tdo, void** pgvpp, ub4*, void** indpp,
                               ub4*) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    auto& b = need<BindHandle>(bindp, OCI_HTYPE_BIND);
    if (!pgvpp) throw OraError(21560, "argument 4 is null, invalid, or out of range");
    ObjectSlots slots;
    if (b.area.type == SQLT_NTY || tdo) slots.type = tdoType(tdo, b.env, 3);
    slots.instances = pgvpp;
    slots.indicators = indpp;
    bindSlots[&b] = slots;
    return OCI_SUCCESS;
  });
}

// --- XMLTYPE documents through pickle streams -------------------------------------------------------

namespace ocistandin {

Handle* newObjectDescriptor(ub4 type, EnvHandle* env) {
  return type == kPickleStreamType ? new PStreamHandle(type, env) : nullptr;
}

}  // namespace ocistandin

// Only an OCIString source (1) is taken; a LOB source is refused.
OCI_EXPORT sword OCIXMLTypeCreateFromSrc(void* svchp, void* errhp, ub2, ub1 sourceType, void* source, sb4 ind,
                                         void** instance) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    constexpr ub1 kFromString = 1;
    SessionHandle& s = sessionOf(svchp);
    if (!instance) throw OraError(21560, "argument 7 is null, invalid, or out of range");
    if (sourceType != kFromString) throw OraError(21560, "argument 4 is null, invalid, or out of range");
    const bool null = ind == -1;
    const StrRec* text = null ? nullptr : stringOf(source);
    if (!null && !text) throw OraError(21560, "argument 5 is null, invalid, or out of range");
    if (text && !isXmlDocument(text->text)) throw OraError(31011, "XML parsing failed");
    ObjRec* o = newObject(typeNamed(*s.core, "SYS", "XMLTYPE"));
    o->xml = text ? text->text : std::string();
    o->ind[0] = null ? -1 : 0;
    *instance = o->bytes();
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIPStreamFromXMLType(void* errhp, void* stream, void* instance, ub4) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    auto& s = need<PStreamHandle>(stream, kPickleStreamType);
    const ObjRec& o = needObject(instance);
    if (!isXmlType(*o.type->cat)) throw OraError(932, "inconsistent datatypes: expected XMLTYPE");
    s.data = o.ind[0] == -1 ? std::string() : o.xml;
    s.at = 0;
    s.open = true;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIPStreamRead(void* errhp, void* stream, void* buffer, uint64_t* length, ub4) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    auto& s = need<PStreamHandle>(stream, kPickleStreamType);
    if (!s.open)
      throw OraError(24801, "illegal parameter value in OCI lob function (the stream is not open)");
    if (!length || (!buffer && *length > 0))
      throw OraError(21560, "argument 4 is null, invalid, or out of range");
    const size_t n = static_cast<size_t>(std::min<uint64_t>(*length, s.data.size() - s.at));
    std::memcpy(buffer, s.data.data() + s.at, n);
    s.at += n;
    *length = n;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCIPStreamClose(void* errhp, void* stream) {
  return objectCall(errhp, [&](ErrorHandle*) -> sword {
    auto& s = need<PStreamHandle>(stream, kPickleStreamType);
    s.open = false;
    s.data.clear();
    return OCI_SUCCESS;
  });
}
