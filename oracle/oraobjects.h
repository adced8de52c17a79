// User-defined server types: TOraType describes an object or collection type once and keeps it in
// the process-wide TObjectTypes cache; TOraObject holds one object instance and reads and writes
// its attributes by a path such as "ADDR.LINES[3].QTY"; TOraRef, TOraXML, TOraArray and
// TOraNestTable hold a REF, an XMLTYPE value, a VARRAY and a nested table.
//
// Every object call of the client library goes through TOraObjectCalls, a table of entry points.
// By default it is bound to the loaded library; tests and fuzz targets may install their own table
// (SetObjectCalls) that fakes the library's object cache.
//
// Instance layout: attributes lie in declaration order at offsets of the instance; text, RAW,
// REF, LOB, timestamp, interval, collection and non-final object attributes hold a pointer and
// are aligned to the pointer's size; NUMBER takes 22 bytes, DATE 8; an object attribute of a final
// type is embedded, its size rounded up to the pointer's alignment. The indicator structure is a
// run of 16-bit indicators: the object's own first, then one per attribute, an embedded object
// contributing its whole structure.
//
// Errors: the library's messages as std::runtime_error ("Invalid attribute name", "Object is not
// allocated", ...); a type description the client cannot take (unknown type codes, a nesting
// deeper than MaxTypeDepth, a size beyond what an instance may hold) is EDAAssertionFailed with the
// reason, never a crash. Objects are used by one thread at a time; types are shared: the type
// cache has its own lock, hands another thread a type only once it is described, and a kept type
// is described again by one thread while others needing it wait.
//
// Another Oracle home: the client library's environment is freed with it, and what an object or
// type took from that environment (instance, indicator, REF, service context, type descriptor)
// is forgotten, never used or freed. The cache no longer finds a type described before, and a
// kept type is described again when an object of it is allocated. A kept object's value is lost:
// using it raises "Object was lost with the client of another Oracle home" until a new value
// replaces it (FreeObject, SetInstance, TakeInstance, AllocObject(svc, type)).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dataaccess/memdata_shared.h"
#include "oracle/oracall.h"
#include "oracle/oraclasses.h"

namespace oracle {

// Type codes of the client's object layer.
inline constexpr uint16_t OCI_TYPECODE_OBJECT = 108;
inline constexpr uint16_t OCI_TYPECODE_NAMEDCOLLECTION = 122;
inline constexpr uint16_t OCI_TYPECODE_VARRAY = 247;
inline constexpr uint16_t OCI_TYPECODE_TABLE = 248;
inline constexpr uint16_t OCI_DURATION_SESSION = 10;
inline constexpr ub4 OCI_HTYPE_DESCRIBE = 7;
inline constexpr ub4 OCI_ATTR_ENV = 5;
inline constexpr ub4 OCI_ATTR_TYPE_NAME = 8;
inline constexpr ub4 OCI_ATTR_SCHEMA_NAME = 9;
inline constexpr ub4 OCI_ATTR_PARAM = 124;
inline constexpr ub4 OCI_ATTR_TYPECODE = 216;
inline constexpr ub4 OCI_ATTR_COLLECTION_TYPECODE = 217;
inline constexpr ub4 OCI_ATTR_COLLECTION_ELEMENT = 227;
inline constexpr ub4 OCI_ATTR_NUM_TYPE_ATTRS = 228;
inline constexpr ub4 OCI_ATTR_LIST_TYPE_ATTRS = 229;
inline constexpr ub4 OCI_ATTR_NUM_ELEMS = 234;
inline constexpr ub4 OCI_ATTR_IS_FINAL_TYPE = 279;
inline constexpr uint8_t OCI_OTYPE_NAME = 1;
inline constexpr uint8_t OCI_PTYPE_TYPE = 6;

// Nesting of object types beyond this is refused as a damaged description (a type that contains
// itself by value has no finite layout).
inline constexpr int MaxTypeDepth = 32;
// Largest instance or indicator structure an object type may describe.
inline constexpr int64_t MaxInstanceSize = int64_t(1) << 24;

struct TOraObjectCalls {
  sword (*AttrGet)(const void* handle, ub4 type, void* attribute, ub4* size, ub4 attr, void* err);
  sword (*ParamGet)(const void* handle, ub4 type, void* err, void** param, ub4 position);
  sword (*HandleAlloc)(const void* parent, void** handle, ub4 type, size_t xtramem, void** usrmem);
  sword (*HandleFree)(void* handle, ub4 type);
  sword (*TypeByName)(void* env, void* err, void* svc, const OraText* schema, ub4 schemaLength,
                      const OraText* name, ub4 nameLength, const OraText* version, ub4 versionLength,
                      ub2 duration, int option, void** tdo);
  sword (*DescribeAny)(void* svc, void* err, void* object, ub4 objectLength, ub1 objectType, ub1 level,
                       ub1 describeType, void* handle);
  sword (*ObjectNew)(void* env, void* err, void* svc, ub2 typecode, void* tdo, void* table, ub2 duration,
                     int value, void** instance);
  sword (*ObjectFree)(void* env, void* err, void* instance, ub2 flags);
  sword (*ObjectGetInd)(void* env, void* err, void* instance, void** indicator);
  sword (*ObjectCopy)(void* env, void* err, void* svc, void* source, void* sourceInd, void* target,
                      void* targetInd, void* tdo, ub2 duration, ub1 option);
  sword (*ObjectPin)(void* env, void* err, void* ref, void* corhdl, int pinOption, ub2 duration, int lock,
                     void** object);
  sword (*ObjectUnpin)(void* env, void* err, void* object);
  sword (*ObjectFlush)(void* env, void* err, void* object);
  sword (*ObjectMarkDelete)(void* env, void* err, void* object);
  sword (*ObjectGetObjectRef)(void* env, void* err, void* object, void* ref);
  sword (*CollSize)(void* env, void* err, const void* coll, sb4* size);
  sword (*CollGetElem)(void* env, void* err, const void* coll, sb4 index, int* exists, void** elem,
                       void** elemInd);
  sword (*CollAssignElem)(void* env, void* err, sb4 index, const void* elem, const void* elemInd, void* coll);
  sword (*CollAppend)(void* env, void* err, const void* elem, const void* elemInd, void* coll);
  sword (*CollAssign)(void* env, void* err, const void* from, void* to);
  sword (*TableSize)(void* env, void* err, const void* table, sb4* size);
  sword (*TableDelete)(void* env, void* err, sb4 index, void* table);
  sword (*TableNext)(void* env, void* err, sb4 index, const void* table, sb4* next, int* exists);
  OraText* (*StringPtr)(void* env, const void* str);
  ub4 (*StringSize)(void* env, const void* str);
  sword (*StringAssignText)(void* env, void* err, const OraText* text, ub4 length, void** str);
  sword (*StringResize)(void* env, void* err, ub4 newSize, void** str);
  sword (*NumberToInt)(void* err, const void* number, unsigned resultLength, unsigned flag, void* result);
  sword (*NumberFromInt)(void* err, const void* value, unsigned length, unsigned flag, void* number);
  sword (*NumberToReal)(void* err, const void* number, unsigned resultLength, void* result);
  sword (*NumberFromReal)(void* err, const void* value, unsigned length, void* number);
  int (*RefIsNull)(void* env, const void* ref);
  sword (*RefAssign)(void* env, void* err, const void* source, void** target);
  void (*RefClear)(void* env, void* ref);
  sword (*RefToHex)(void* env, void* err, const void* ref, OraText* hex, ub4* hexLength);
  // Optional in a table of fakes (nullptr: XMLTYPE values cannot be made from text).
  sword (*XMLTypeCreateFromSrc)(void* svc, void* err, ub2 duration, ub1 sourceType, void* source, sb4 ind,
                                void** instance);
};

// The table in use: the installed one, else one bound to the loaded library's entry points.
TOraObjectCalls ObjectCalls();
// Installs a table (nullptr: back to the library). Not thread-safe: no object call may be in flight.
void SetObjectCalls(const TOraObjectCalls* calls);

// Where an attribute lies in an instance and how wide it is.
struct TOraAttributeLayout {
  uint16_t OCIType = 0;  // the attribute's type in the client library
  int16_t Scale = 0;
  int32_t Size = 0;       // size of its value in a record
  int32_t DataSize = 0;   // bytes it takes in the instance
  int32_t Offset = 0;     // in the instance
  int32_t IndOffset = 0;  // in the indicator structure, in bytes
  bool Embedded = false;  // an object of a final type held in place, not through a pointer
};

class TOraType : public dataaccess::TObjectType {
 public:
  // Adds itself to the cache, then describes `name` on `svc`.
  static TOraType* Create(void* svc, const std::string& name);

  void Describe(void* svc, const std::string& name);

  void* SvcCtx() const { return svc_; }
  // The service context the type is described on, nullptr when it has none or is stale: both read
  // at once, under the cache's lock, so that another thread describing the type again or ending
  // its session is seen whole. Any thread; takes the cache's lock (never hold it when calling).
  void* LiveSvcCtx() const;
  void* TDO() const { return tdo_; }
  uint16_t TypeCode() const { return typeCode_; }
  bool Final() const { return final_; }
  int32_t DataSize() const { return dataSize_; }
  int32_t IndicatorSize() const { return indicatorSize_; }
  bool IsCollection() const { return DataType == dataaccess::dtArray || DataType == dataaccess::dtTable; }
  const TOraAttributeLayout& Layout(int index) const { return layout_.at(size_t(index)); }
  TOraType* AttrType(int index) const;
  // The index of the attribute named `name` (upper-cased compare); -1 when none.
  int IndexOf(std::string_view name) const;
  // Described under a client environment freed since (its descriptor went with that client), or
  // a description that failed: either way not to be used before it is described again.
  bool Stale() const { return generation_ != OCIEnvironmentGeneration; }
  // Describes a stale type again on `svc`, under the name it was made with, so that no descriptor
  // of a freed client environment reaches the library; a type described under the current one is
  // left as it is. Thread-safe: while one thread describes the type, others needing it wait for
  // that description.
  void DescribeIfStale(void* svc);

 protected:
  ~TOraType() override;

 private:
  friend class TObjectTypes;
  TOraType() = default;
  void describeAttribute(void* param, bool collection);

  void* svc_ = nullptr;
  // The name as it was given (trimmed, its case kept): Name is upper-cased for the cache, but a
  // type made under a quoted mixed-case name is found on the server only under that name.
  // Written under the cache's lock.
  std::string madeAs_;
  void* tdo_ = nullptr;
  uint16_t typeCode_ = 0;
  bool final_ = true;
  bool describing_ = false;
  // The thread describing the type, which alone finds it in the cache meanwhile (types that refer
  // to each other find one another so). Read and written under the cache's lock.
  std::thread::id describer_;
  uint32_t generation_ = 0;  // of the client environment the type was described under
  int32_t dataSize_ = 0;
  int32_t indicatorSize_ = 0;
  std::vector<TOraAttributeLayout> layout_;
};

// The cache of every live TOraType.
class TObjectTypes {
 public:
  // The first type of the trimmed, upper-cased name described on `svc`; nullptr when none.
  static TOraType* FindType(void* svc, std::string_view name);
  // A cached type (one reference added) or a newly described one.
  static TOraType* GetType(void* svc, const std::string& name);
  static int Count();
  // For the end of a session: every type described on `svc` leaves the cache's reach (FindType no
  // longer finds it, and it has no service context) and its attribute list is emptied, so that
  // types referring to each other by REF are freed with their last outside reference.
  static void ClearTypes(void* svc);

 private:
  friend class TOraType;
  // Whether `type` is the one to answer for `svc` and the upper-cased `key` on this thread.
  // Requires: the caller holds the cache's lock.
  static bool answers(const TOraType* type, void* svc, const std::string& key);
  static void add(TOraType* type);
  static void remove(TOraType* type);
};

class TOraArray;

class TOraObject : public dataaccess::TDBObject {
 public:
  explicit TOraObject(TOraType* type = nullptr);

  TOraType* OraType() const { return static_cast<TOraType*>(ObjectType()); }
  void* SvcCtx() const { return svc_; }
  void SetSvcCtx(void* svc);
  // How the text of the session the value belongs to forms characters: a dataset over the value's
  // elements cuts a text longer than its element by it. UTF-8 until a session says otherwise.
  dataset::NarrowText TextEncoding() const { return textEncoding_; }
  void SetTextEncoding(dataset::NarrowText encoding) { textEncoding_ = encoding; }
  void* Instance() const { return instance_; }
  void* Indicator() const { return indicator_; }
  // Hands the object an instance that someone else owns (a define or a collection element).
  void SetInstance(void* instance, void* indicator);
  // Takes over an instance the library made for it (a fetched row's value): freed with this
  // object. A null `indicator` is asked of the library.
  void TakeInstance(void* instance, void* indicator);
  // Where the instance and indicator pointers lie, for a bind the library reads and fills; the
  // instance must be allocated first (AllocObject).
  void** InstancePtr() { return &instance_; }
  void** IndicatorPtr() { return &indicator_; }
  bool AutoCreate = false;

  void GetAttributeValue(std::string_view path, dataaccess::Variant& dest, bool& isBlank) override;
  void SetAttributeValue(std::string_view path, const dataaccess::Variant& source) override;

  void CheckType() const;
  // Raises when the value went with the client of another Oracle home.
  void CheckNotLost();
  // The value went with the client of another Oracle home (known once the object was used or
  // given a service context since).
  bool Lost() const { return lost_; }
  bool GetIsNull() const;
  void SetIsNull(bool value);
  virtual void AllocObject();
  void AllocObject(void* svc, const std::string& typeName);
  void FreeObject();
  void Assign(TOraObject& source);
  void Flush();
  void MarkDelete();

  bool AttrIsNull(std::string_view path);
  void SetAttrIsNull(std::string_view path, bool value);
  dataaccess::Variant AttrValue(std::string_view path);
  std::string AttrAsString(std::string_view path);
  int32_t AttrAsInteger(std::string_view path);
  double AttrAsFloat(std::string_view path);
  dataset::DateTime AttrAsDateTime(std::string_view path);
  // The object or collection at `path` as an object of its own (one reference for the caller),
  // reading and writing this object's instance in place: valid while this object keeps its
  // instance. Another attribute type raises "Cannot convert type to Object".
  TOraObject* AttrAsObject(std::string_view path);
  TOraArray* AttrAsArray(std::string_view path);
  void SetAttrAsString(std::string_view path, std::string_view value);
  void SetAttrAsInteger(std::string_view path, int32_t value);
  void SetAttrAsFloat(std::string_view path, double value);
  void SetAttrAsDateTime(std::string_view path, dataset::DateTime value);

 protected:
  ~TOraObject() override;
  void* env() const { return env_; }
  // The element's storage is where an attribute of its type would be; used by the collections.
  friend class TOraArray;

  struct Position {
    TOraType* type = nullptr;  // type that owns the attribute
    int attr = -1;             // attribute in it; -1 for the object itself
    uint8_t* data = nullptr;   // the attribute's storage
    int16_t* ind = nullptr;    // its indicator
    void* coll = nullptr;      // the collection of an indexed element
    int32_t index = -1;        // that element's index
    bool isNull = false;
  };
  // What was taken under a freed client environment is dropped without a call; the value it held
  // counts as lost.
  virtual void forgetLost();
  // Raises the loss, if any (const callers: also a stale instance not yet forgotten).
  void refuseLost() const;
  // Raises the loss, else "Object is not allocated", without an instance.
  void requireInstance();
  bool stale() const { return generation_ != OCIEnvironmentGeneration && (svc_ || env_ || instance_); }

  // `missingIsNull`: an element past the end reads as null instead of raising (record stores).
  Position walk(std::string_view path, bool forWrite, bool missingIsNull = false);
  uint16_t dataTypeAt(const Position& p) const;
  // The instance and indicator of the object or collection at `p`.
  void objectAt(const Position& p, void*& instance, void*& indicator);
  dataaccess::Variant valueAt(const Position& p);

  void* svc_ = nullptr;
  void* env_ = nullptr;
  bool ownsInstance_ = false;
  void* instance_ = nullptr;
  void* indicator_ = nullptr;
  uint32_t generation_ = 0;  // of the client environment svc_, env_ and instance_ belong to
  bool lost_ = false;
  dataset::NarrowText textEncoding_ = dataset::NarrowText::Utf8;
};

class TOraRef : public TOraObject {
 public:
  explicit TOraRef(TOraType* type = nullptr) : TOraObject(type) {}
  // The REF's storage (an OCIRef*), as defines and binds fill it.
  void** RefPtr() { return &ref_; }
  bool RefIsNull() const;
  // Pins the referenced object: its attributes are then read through this object.
  void Pin();
  void Unpin();
  void Clear();
  std::string AsHex() const;

 protected:
  ~TOraRef() override;
  void forgetLost() override;

 private:
  void* ref_ = nullptr;
  bool pinned_ = false;
};

// The document of an XMLTYPE value is read from its instance through a pickle stream
// (OCIPStreamFromXMLType, OCIPStreamRead in chunks, OCIPStreamClose) the first time it is asked
// for after the value arrived (MarkNeedsReading); a text given here replaces the instance. An
// empty document is a null value.
class TOraXML : public TOraObject {
 public:
  explicit TOraXML(TOraType* type = nullptr);
  const std::string& AsString();
  void SetAsString(std::string text);
  bool IsNull();
  // The instance holds a value whose text is not read yet.
  void MarkNeedsReading() { needsReading_ = true; }
  // Gives the value an instance a bind can hand to the library, on the service context set with
  // SetSvcCtx: without a type it takes SYS.XMLTYPE from the type cache; a text given with
  // SetAsString becomes a new instance (OCIXMLTypeCreateFromSrc), a null value a null instance.
  // Raises the library's error for a text that is no document, and "Data type is not
  // supported." when the library cannot make XMLTYPE values; the text is never dropped.
  void AllocObject() override;

 protected:
  ~TOraXML() override = default;

 private:
  void readText();
  void makeFromText();
  std::string text_;
  bool needsReading_ = false;
};

class TOraArray : public TOraObject {
 public:
  explicit TOraArray(TOraType* type = nullptr) : TOraObject(type) {}
  void AllocObject() override;
  virtual int32_t Size();
  // Element `index` (from 0); an index outside the collection raises "Index of array is not range".
  dataaccess::Variant ItemValue(int32_t index);
  bool ItemIsNull(int32_t index);
  std::string ItemAsString(int32_t index);
  int32_t ItemAsInteger(int32_t index);
  double ItemAsFloat(int32_t index);
  dataset::DateTime ItemAsDateTime(int32_t index);
  // An object element (see AttrAsObject); another element type raises "Cannot convert type to Object".
  TOraObject* ItemAsObject(int32_t index);
  // An index one past the end appends.
  void SetItemValue(int32_t index, const dataaccess::Variant& value);
  // Appends one null element of the element type and answers its index.
  int32_t AppendItem();
  void AssignArray(TOraArray& source);

 protected:
  ~TOraArray() override = default;
  std::string itemPath(int32_t index) const { return "[" + std::to_string(index) + "]"; }
};

class TOraNestTable : public TOraArray {
 public:
  explicit TOraNestTable(TOraType* type = nullptr) : TOraArray(type) {}
  void AllocObject() override;
  int32_t Size() override;
  void DeleteItem(int32_t index);
  // The index of the first existing element after `index` (-1: the first); -1 when none.
  int32_t Next(int32_t index);

 protected:
  ~TOraNestTable() override = default;
};

}  // namespace oracle
