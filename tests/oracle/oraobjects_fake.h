// An in-process fake of the client library's object layer: a catalog of types, object instances
// laid out as the client lays them out, collections, nested tables with holes, strings, NUMBERs
// (through the client's own NUMBER codec) and REFs. Installed as the object-call table for the
// length of one test; everything it hands out lives in its arena until then.
#pragma once

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "oracle/oraclasses_values.h"
#include "oracle/oraobjects.h"

namespace oracle::testing {

struct FakeAttr {
  FakeAttr(std::string n = "", ub2 type = 1, ub2 size = 0)
      : name(std::move(n)), ociType(type), dataSize(size) {}
  std::string name;
  ub2 ociType = 1;
  ub2 dataSize = 0;
  ub1 precision = 0;
  sb1 scale = 0;
  std::string typeName;  // of a named type or REF
  std::string schema = "SCOTT";
};

struct FakeType {
  FakeType(std::string s, std::string n, ub2 code, ub2 coll = 0, bool isFinal = true,
           std::vector<FakeAttr> a = {})
      : schema(std::move(s)),
        name(std::move(n)),
        typeCode(code),
        collCode(coll),
        final(isFinal),
        attrs(std::move(a)) {}
  std::string schema = "SCOTT";
  std::string name;
  ub2 typeCode = OCI_TYPECODE_OBJECT;
  ub2 collCode = 0;
  bool final = true;
  std::vector<FakeAttr> attrs;
  FakeAttr element;
  ub4 numElems = 0;
};

class FakeObjectLayer {
 public:
  FakeObjectLayer() {
    current() = this;
    calls_ = makeCalls();
    SetObjectCalls(&calls_);
    savedErrorGet_ = OCIErrorGet;
    OCIErrorGet = errorGet;
    savedStyles_ = PossibleOCICallStyles;
    PossibleOCICallStyles |= osOCI8;
    savedStyle_ = OCICallStyle;
    OCICallStyle = OCI80;
  }
  ~FakeObjectLayer() {
    TObjectTypes::ClearTypes(svc());
    TObjectTypes::ClearTypes(svc2());
    SetObjectCalls(nullptr);
    OCIErrorGet = savedErrorGet_;
    PossibleOCICallStyles = savedStyles_;
    OCICallStyle = savedStyle_;
    current() = nullptr;
  }

  void* svc() { return &svc_; }
  void* svc2() { return &svc2_; }
  void addType(FakeType t) {
    const std::string key = t.schema + "." + t.name;
    types_[key] = std::make_unique<FakeType>(std::move(t));
  }

  // A REF to `instance` (an object made by ObjectNew).
  void* refTo(void* instance) {
    refs_.push_back(std::make_unique<Ref>(Ref{instance}));
    return refs_.back().get();
  }
  int flushes = 0;
  // Types may be described on several threads at once; nothing else of the fake may.
  std::atomic<int> describes = 0;
  int pins = 0;
  int unpins = 0;

  static FakeObjectLayer*& current() {
    static FakeObjectLayer* c = nullptr;
    return c;
  }

 private:
  struct Param {
    int kind;  // 0 type, 1 attribute list, 2 attribute
    FakeType* type;
    const FakeAttr* attr;
  };
  struct Object {
    TOraType* type;
    std::vector<uint8_t> data;
    std::vector<int16_t> ind;
  };
  struct Elem {
    bool exists = true;
    alignas(8) uint8_t storage[24] = {};
    int16_t ind = -1;
    void* object = nullptr;
  };
  struct Coll {
    TOraType* type;
    std::vector<std::unique_ptr<Elem>> elems;
  };
  struct Str {
    std::string text;
  };
  struct Ref {
    void* target;
  };

  static FakeObjectLayer& me() { return *current(); }

  Param* param(int kind, FakeType* t, const FakeAttr* a) {
    std::lock_guard guard(paramsLock_);
    params_.push_back(std::make_unique<Param>(Param{kind, t, a}));
    return params_.back().get();
  }

  template <class T>
  static void put(void* to, T value) {
    std::memcpy(to, &value, sizeof value);
  }
  static void putText(void* to, ub4* size, const std::string& text) {
    put(to, reinterpret_cast<const OraText*>(text.c_str()));
    if (size) *size = ub4(text.size());
  }

  static sword attrGet(const void* handle, ub4 type, void* attribute, ub4* size, ub4 attr, void*) {
    FakeObjectLayer& f = me();
    if (type == OCI_HTYPE_SVCCTX && attr == OCI_ATTR_ENV) {
      put<void*>(attribute, &f.env_);
      return OCI_SUCCESS;
    }
    if (type == OCI_HTYPE_DESCRIBE && attr == OCI_ATTR_PARAM) {
      put<void*>(attribute, f.param(0, static_cast<FakeType*>(*static_cast<void* const*>(handle)), nullptr));
      return OCI_SUCCESS;
    }
    const Param* p = static_cast<const Param*>(handle);
    if (p->kind == 0) {
      const FakeType& t = *p->type;
      switch (attr) {
        case OCI_ATTR_TYPECODE:
          put<ub2>(attribute, t.typeCode);
          return OCI_SUCCESS;
        case OCI_ATTR_IS_FINAL_TYPE:
          put<ub1>(attribute, t.final);
          return OCI_SUCCESS;
        case OCI_ATTR_NUM_TYPE_ATTRS:
          put<ub2>(attribute, ub2(t.attrs.size()));
          return OCI_SUCCESS;
        case OCI_ATTR_LIST_TYPE_ATTRS:
          put<void*>(attribute, f.param(1, p->type, nullptr));
          return OCI_SUCCESS;
        case OCI_ATTR_COLLECTION_TYPECODE:
          put<ub2>(attribute, t.collCode);
          return OCI_SUCCESS;
        case OCI_ATTR_COLLECTION_ELEMENT:
          put<void*>(attribute, f.param(2, p->type, &t.element));
          return OCI_SUCCESS;
        case OCI_ATTR_NUM_ELEMS:
          put<ub4>(attribute, t.numElems);
          return OCI_SUCCESS;
      }
      return OCI_ERROR;
    }
    const FakeAttr& a = *p->attr;
    switch (attr) {
      case OCI_ATTR_NAME:
        putText(attribute, size, a.name);
        return OCI_SUCCESS;
      case OCI_ATTR_DATA_TYPE:
        put<ub2>(attribute, a.ociType);
        return OCI_SUCCESS;
      case OCI_ATTR_DATA_SIZE:
        put<ub2>(attribute, a.dataSize);
        return OCI_SUCCESS;
      case OCI_ATTR_PRECISION:
        put<ub1>(attribute, a.precision);
        return OCI_SUCCESS;
      case OCI_ATTR_SCALE:
        put<sb1>(attribute, a.scale);
        return OCI_SUCCESS;
      case OCI_ATTR_TYPE_NAME:
        putText(attribute, size, a.typeName);
        return OCI_SUCCESS;
      case OCI_ATTR_SCHEMA_NAME:
        putText(attribute, size, a.schema);
        return OCI_SUCCESS;
    }
    return OCI_ERROR;
  }

  static sword paramGet(const void* handle, ub4, void*, void** out, ub4 position) {
    const Param* p = static_cast<const Param*>(handle);
    if (p->kind != 1 || position < 1 || position > p->type->attrs.size()) return OCI_ERROR;
    *out = me().param(2, p->type, &p->type->attrs[position - 1]);
    return OCI_SUCCESS;
  }

  static sword handleAlloc(const void*, void** handle, ub4, size_t, void**) {
    *handle = new void*(nullptr);
    return OCI_SUCCESS;
  }
  static sword handleFree(void* handle, ub4) {
    delete static_cast<void**>(handle);
    return OCI_SUCCESS;
  }

  FakeType* findType(const std::string& schema, const std::string& name) {
    const auto it = types_.find((schema.empty() ? std::string("SCOTT") : schema) + "." + name);
    return it == types_.end() ? nullptr : it->second.get();
  }

  static sword typeByName(void*, void*, void*, const OraText* schema, ub4 schemaLength, const OraText* name,
                          ub4 nameLength, const OraText*, ub4, ub2, int, void** tdo) {
    FakeObjectLayer& f = me();
    const std::string s = schema ? std::string(reinterpret_cast<const char*>(schema), schemaLength) : "";
    const std::string n(reinterpret_cast<const char*>(name), nameLength);
    FakeType* t = f.findType(s, n);
    if (!t) {
      f.error_ = "ORA-04043: object " + n + " does not exist";
      return OCI_ERROR;
    }
    *tdo = t;
    return OCI_SUCCESS;
  }

  static sword describeAny(void*, void*, void* object, ub4 length, ub1, ub1, ub1, void* handle) {
    FakeObjectLayer& f = me();
    ++f.describes;
    std::string n(static_cast<const char*>(object), length), schema;
    std::erase(n, '"');
    if (const size_t dot = n.find('.'); dot != std::string::npos) {
      schema = n.substr(0, dot);
      n = n.substr(dot + 1);
    }
    FakeType* t = f.findType(schema, n);
    if (!t) return OCI_ERROR;
    *static_cast<void**>(handle) = t;
    return OCI_SUCCESS;
  }

  static sword errorGet(void*, ub4, OraText*, sb4* code, OraText* buffer, ub4 size, ub4) {
    FakeObjectLayer& f = me();
    std::lock_guard guard(f.arenaLock_);
    if (f.error_.empty()) f.error_ = "ORA-22303: the fake object layer refused the call";
    const std::string e = f.error_;
    f.error_.clear();
    std::snprintf(reinterpret_cast<char*>(buffer), size, "%s", e.c_str());
    *code = 4043;
    return OCI_SUCCESS;
  }

  // A new instance of `type`, its collections made empty and its attributes null.
  void* newObject(TOraType* type) {
    if (type->IsCollection()) {
      colls_.push_back(std::make_unique<Coll>(Coll{type, {}}));
      return colls_.back().get();
    }
    auto o = std::make_unique<Object>(Object{type, std::vector<uint8_t>(size_t(type->DataSize())),
                                             std::vector<int16_t>(size_t(type->IndicatorSize() / 2), -1)});
    o->ind[0] = 0;
    fillCollections(type, o->data.data());
    void* instance = o->data.data();
    objects_[instance] = std::move(o);
    return instance;
  }
  void fillCollections(TOraType* type, uint8_t* data) {
    for (int i = 0; i < type->AttributeCount(); ++i) {
      TOraType* at = type->AttrType(i);
      const TOraAttributeLayout& l = type->Layout(i);
      if (!at || l.OCIType != 108) continue;
      if (at->IsCollection())
        put<void*>(data + l.Offset, newObject(at));
      else if (l.Embedded)
        fillCollections(at, data + l.Offset);
    }
  }

  static sword objectNew(void*, void*, void*, ub2, void* tdo, void*, ub2, int, void** instance) {
    FakeObjectLayer& f = me();
    const FakeType* t = static_cast<const FakeType*>(tdo);
    TOraType* type = TObjectTypes::FindType(f.svc(), t->schema + "." + t->name);
    if (!type) type = TObjectTypes::FindType(f.svc(), t->name);
    if (!type) return OCI_ERROR;
    std::lock_guard guard(f.arenaLock_);
    *instance = f.newObject(type);
    return OCI_SUCCESS;
  }
  static sword objectFree(void*, void*, void*, ub2) { return OCI_SUCCESS; }
  static sword objectGetInd(void*, void*, void* instance, void** ind) {
    FakeObjectLayer& f = me();
    std::lock_guard guard(f.arenaLock_);
    const auto it = f.objects_.find(instance);
    if (it != f.objects_.end()) {
      *ind = it->second->ind.data();
      return OCI_SUCCESS;
    }
    f.collInd_ = 0;
    *ind = &f.collInd_;
    return OCI_SUCCESS;
  }
  static sword objectCopy(void*, void*, void*, void* source, void* sourceInd, void* target, void* targetInd,
                          void*, ub2, ub1) {
    FakeObjectLayer& f = me();
    const auto it = f.objects_.find(source);
    if (it == f.objects_.end()) return OCI_ERROR;
    std::memcpy(target, source, it->second->data.size());
    std::memcpy(targetInd, sourceInd, it->second->ind.size() * 2);
    return OCI_SUCCESS;
  }
  static sword objectPin(void*, void*, void* ref, void*, int, ub2, int, void** object) {
    ++me().pins;
    *object = static_cast<Ref*>(ref)->target;
    return *object ? OCI_SUCCESS : OCI_ERROR;
  }
  static sword objectUnpin(void*, void*, void*) {
    ++me().unpins;
    return OCI_SUCCESS;
  }
  static sword objectFlush(void*, void*, void*) {
    ++me().flushes;
    return OCI_SUCCESS;
  }
  static sword objectMarkDelete(void*, void*, void*) { return OCI_SUCCESS; }
  static sword objectGetObjectRef(void*, void*, void*, void*) { return OCI_ERROR; }

  static Coll& coll(const void* c) { return *static_cast<Coll*>(const_cast<void*>(c)); }
  static sword collSize(void*, void*, const void* c, sb4* size) {
    *size = sb4(coll(c).elems.size());
    return OCI_SUCCESS;
  }
  static sword collGetElem(void*, void*, const void* c, sb4 index, int* exists, void** elem, void** elemInd) {
    Coll& cl = coll(c);
    *exists = 0;
    if (index < 0 || size_t(index) >= cl.elems.size() || !cl.elems[size_t(index)]->exists) return OCI_SUCCESS;
    Elem& e = *cl.elems[size_t(index)];
    *exists = 1;
    if (e.object) {
      *elem = e.object;
      *elemInd = me().objects_.at(e.object)->ind.data();
    } else {
      *elem = e.storage;
      *elemInd = &e.ind;
    }
    return OCI_SUCCESS;
  }
  static sword collAssignElem(void*, void*, sb4, const void*, const void*, void*) { return OCI_ERROR; }
  static sword collAppend(void*, void*, const void* elem, const void* elemInd, void* c) {
    FakeObjectLayer& f = me();
    Coll& cl = coll(c);
    if (cl.type->Layout(0).OCIType == 108 && cl.type->AttrType(0)) {
      Object& source = *f.objects_.at(const_cast<void*>(elem));
      void* copy = f.newObject(source.type);
      Object& target = *f.objects_.at(copy);
      target.data = source.data;
      target.ind = source.ind;
      f.fillCollections(source.type, target.data.data());
      auto e = std::make_unique<Elem>();
      e->object = target.data.data();
      cl.elems.push_back(std::move(e));
      return OCI_SUCCESS;
    }
    auto e = std::make_unique<Elem>();
    e->ind = *static_cast<const int16_t*>(elemInd);
    switch (cl.type->Layout(0).OCIType) {
      case 2:
        std::memcpy(e->storage, elem, 22);
        break;
      case 12:
        std::memcpy(e->storage, elem, 8);
        break;
      default: {
        void* copy = nullptr;
        const Str* s = static_cast<const Str*>(elem);
        stringAssignText(nullptr, nullptr, reinterpret_cast<const OraText*>(s->text.data()),
                         ub4(s->text.size()), &copy);
        put<void*>(e->storage, copy);
      }
    }
    cl.elems.push_back(std::move(e));
    return OCI_SUCCESS;
  }
  static sword collAssign(void*, void*, const void* from, void* to) {
    coll(to).elems.clear();
    for (const auto& e : coll(from).elems) coll(to).elems.push_back(std::make_unique<Elem>(*e));
    return OCI_SUCCESS;
  }
  static sword tableSize(void*, void*, const void* c, sb4* size) {
    sb4 n = 0;
    for (const auto& e : coll(c).elems) n += e->exists;
    *size = n;
    return OCI_SUCCESS;
  }
  static sword tableDelete(void*, void*, sb4 index, void* c) {
    Coll& cl = coll(c);
    if (index < 0 || size_t(index) >= cl.elems.size() || !cl.elems[size_t(index)]->exists) return OCI_ERROR;
    cl.elems[size_t(index)]->exists = false;
    return OCI_SUCCESS;
  }
  static sword tableNext(void*, void*, sb4 index, const void* c, sb4* next, int* exists) {
    const Coll& cl = coll(c);
    *exists = 0;
    for (size_t i = size_t(index + 1); i < cl.elems.size(); ++i)
      if (cl.elems[i]->exists) {
        *next = sb4(i);
        *exists = 1;
        break;
      }
    return OCI_SUCCESS;
  }
  static OraText* stringPtr(void*, const void* s) {
    return reinterpret_cast<OraText*>(const_cast<char*>(static_cast<const Str*>(s)->text.data()));
  }
  static ub4 stringSize(void*, const void* s) { return ub4(static_cast<const Str*>(s)->text.size()); }
  static sword stringAssignText(void*, void*, const OraText* text, ub4 length, void** str) {
    if (!*str) {
      me().strings_.push_back(std::make_unique<Str>());
      *str = me().strings_.back().get();
    }
    static_cast<Str*>(*str)->text.assign(reinterpret_cast<const char*>(text), length);
    return OCI_SUCCESS;
  }
  static sword stringResize(void*, void*, ub4, void**) { return OCI_SUCCESS; }

  struct Number {
    TOraNumber* n = new TOraNumber();
    ~Number() { n->Release(); }
  };
  static sword numberToInt(void*, const void* number, unsigned, unsigned, void* result) {
    Number n;
    std::memcpy(n.n->OCINumberPtr(), number, 22);
    n.n->SetIsNull(false);
    put<int32_t>(result, n.n->AsInteger());
    return OCI_SUCCESS;
  }
  static sword numberFromInt(void*, const void* value, unsigned, unsigned, void* number) {
    Number n;
    int32_t v;
    std::memcpy(&v, value, 4);
    n.n->SetAsInteger(v);
    std::memcpy(number, n.n->OCINumberPtr(), 22);
    return OCI_SUCCESS;
  }
  static sword numberToReal(void*, const void* number, unsigned, void* result) {
    Number n;
    std::memcpy(n.n->OCINumberPtr(), number, 22);
    n.n->SetIsNull(false);
    put<double>(result, n.n->AsFloat());
    return OCI_SUCCESS;
  }
  static sword numberFromReal(void*, const void* value, unsigned, void* number) {
    Number n;
    double v;
    std::memcpy(&v, value, 8);
    n.n->SetAsFloat(v);
    std::memcpy(number, n.n->OCINumberPtr(), 22);
    return OCI_SUCCESS;
  }
  static int refIsNull(void*, const void* ref) { return static_cast<const Ref*>(ref)->target == nullptr; }
  static sword refAssign(void*, void*, const void* source, void** target) {
    *target = me().refTo(static_cast<const Ref*>(source)->target);
    return OCI_SUCCESS;
  }
  static void refClear(void*, void* ref) { static_cast<Ref*>(ref)->target = nullptr; }
  static sword refToHex(void*, void*, const void* ref, OraText* hex, ub4* length) {
    const int n = std::snprintf(reinterpret_cast<char*>(hex), *length, "%016llX",
                                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(ref)));
    *length = ub4(n);
    return OCI_SUCCESS;
  }

  static TOraObjectCalls makeCalls() {
    TOraObjectCalls c{};
    c.AttrGet = attrGet;
    c.ParamGet = paramGet;
    c.HandleAlloc = handleAlloc;
    c.HandleFree = handleFree;
    c.TypeByName = typeByName;
    c.DescribeAny = describeAny;
    c.ObjectNew = objectNew;
    c.ObjectFree = objectFree;
    c.ObjectGetInd = objectGetInd;
    c.ObjectCopy = objectCopy;
    c.ObjectPin = objectPin;
    c.ObjectUnpin = objectUnpin;
    c.ObjectFlush = objectFlush;
    c.ObjectMarkDelete = objectMarkDelete;
    c.ObjectGetObjectRef = objectGetObjectRef;
    c.CollSize = collSize;
    c.CollGetElem = collGetElem;
    c.CollAssignElem = collAssignElem;
    c.CollAppend = collAppend;
    c.CollAssign = collAssign;
    c.TableSize = tableSize;
    c.TableDelete = tableDelete;
    c.TableNext = tableNext;
    c.StringPtr = stringPtr;
    c.StringSize = stringSize;
    c.StringAssignText = stringAssignText;
    c.StringResize = stringResize;
    c.NumberToInt = numberToInt;
    c.NumberFromInt = numberFromInt;
    c.NumberToReal = numberToReal;
    c.NumberFromReal = numberFromReal;
    c.RefIsNull = refIsNull;
    c.RefAssign = refAssign;
    c.RefClear = refClear;
    c.RefToHex = refToHex;
    return c;
  }

  TOraObjectCalls calls_;
  OCIErrorGet_t savedErrorGet_;
  uint8_t savedStyles_;
  uint8_t savedStyle_;
  int svc_ = 0, svc2_ = 0, env_ = 0;
  int16_t collInd_ = 0;
  std::string error_;
  std::map<std::string, std::unique_ptr<FakeType>> types_;
  std::mutex paramsLock_;
  // Objects are made, and refusals read, on several threads at once.
  std::mutex arenaLock_;
  std::vector<std::unique_ptr<Param>> params_;
  std::map<void*, std::unique_ptr<Object>> objects_;
  std::vector<std::unique_ptr<Coll>> colls_;
  std::vector<std::unique_ptr<Str>> strings_;
  std::vector<std::unique_ptr<Ref>> refs_;
};

}  // namespace oracle::testing
