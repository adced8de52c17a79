#include "oracle/oraobjects.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>

#include "dataaccess/daconsts.h"
#include "oracle/oraerror.h"
#include "platform/scopeguard.h"

namespace oracle {

using dataaccess::AsciiUpper;
using dataaccess::TrimText;
using dataaccess::Variant;

namespace {

constexpr uint16_t dtString = 1;
constexpr uint16_t dtInteger = 4;
constexpr uint16_t dtFloat = 5;
constexpr uint16_t dtDateTime = 8;
constexpr int32_t pointerSize = int32_t(sizeof(void*));
constexpr unsigned OCI_NUMBER_SIGNED = 2;
constexpr int16_t OCI_IND_NULL = -1;

const TOraObjectCalls* installed = nullptr;

// The untyped entry points were bound by name; their true signatures are the table's.
template <class F>
F bound(OCIUntypedFunction f) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(f));
}

int32_t alignUp(int32_t value, int32_t to) {
  return (value + to - 1) / to * to;
}

void check(sword status) {
  Check(status, hOCIError);
}

// The 8-byte client DATE: year (16-bit), month, day, hour, minute, second, one byte unused.
dataset::DateTime readOCIDate(const uint8_t* p) {
  int16_t year;
  std::memcpy(&year, p, 2);
  const unsigned month = std::clamp<unsigned>(p[2], 1, 12), day = std::clamp<unsigned>(p[3], 1, 31);
  const double days = double(dataset::daysFromCivil(year, month, day));
  const double time = (std::min<unsigned>(p[4], 23) * 3600.0 + std::min<unsigned>(p[5], 59) * 60.0 +
                       std::min<unsigned>(p[6], 59)) /
                      86400.0;
  return dataset::DateTime{days + time};
}

void writeOCIDate(uint8_t* p, dataset::DateTime value) {
  if (!std::isfinite(value.days) || std::fabs(value.days) > 3.0e6) RaiseError("Invalid date");
  const double whole = std::floor(value.days);
  int64_t seconds = std::llround((value.days - whole) * 86400.0);
  int64_t dayNo = int64_t(whole);
  if (seconds >= 86400) {
    seconds -= 86400;
    ++dayNo;
  }
  int64_t y;
  unsigned m, d;
  dataset::civilFromDays(dayNo, y, m, d);
  if (y < -4712 || y > 9999) RaiseError("Invalid date");
  const int16_t year = int16_t(y);
  std::memcpy(p, &year, 2);
  p[2] = uint8_t(m);
  p[3] = uint8_t(d);
  p[4] = uint8_t(seconds / 3600);
  p[5] = uint8_t(seconds / 60 % 60);
  p[6] = uint8_t(seconds % 60);
  p[7] = 0;
}

struct TypeCache {
  std::mutex lock;
  std::condition_variable described;  // a type's describer_ went back to none
  std::vector<TOraType*> types;
};

TypeCache& cache() {
  static TypeCache* c = new TypeCache();  // lives as long as any type may
  return *c;
}

thread_local int describeDepth = 0;
// Types described inside the description under way on this thread, each with a reference: they
// may refer back to a type still half done, so other threads find them only once it ends.
thread_local std::vector<TOraType*> describedInside;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Entry points

TOraObjectCalls ObjectCalls() {
  if (installed) return *installed;
  TOraObjectCalls c{};
  c.AttrGet = OCIAttrGet;
  c.ParamGet = OCIParamGet;
  c.HandleAlloc = OCIHandleAlloc;
  c.HandleFree = OCIHandleFree;
  c.TypeByName = bound<decltype(c.TypeByName)>(OCITypeByName);
  c.DescribeAny = bound<decltype(c.DescribeAny)>(OCIDescribeAny);
  c.ObjectNew = bound<decltype(c.ObjectNew)>(OCIObjectNew);
  c.ObjectFree = bound<decltype(c.ObjectFree)>(OCIObjectFree);
  c.ObjectGetInd = bound<decltype(c.ObjectGetInd)>(OCIObjectGetInd);
  c.ObjectCopy = bound<decltype(c.ObjectCopy)>(OCIObjectCopy);
  c.ObjectPin = bound<decltype(c.ObjectPin)>(OCIObjectPin);
  c.ObjectUnpin = bound<decltype(c.ObjectUnpin)>(OCIObjectUnpin);
  c.ObjectFlush = bound<decltype(c.ObjectFlush)>(OCIObjectFlush);
  c.ObjectMarkDelete = bound<decltype(c.ObjectMarkDelete)>(OCIObjectMarkDelete);
  c.ObjectGetObjectRef = bound<decltype(c.ObjectGetObjectRef)>(OCIObjectGetObjectRef);
  c.CollSize = bound<decltype(c.CollSize)>(OCICollSize);
  c.CollGetElem = bound<decltype(c.CollGetElem)>(OCICollGetElem);
  c.CollAssignElem = bound<decltype(c.CollAssignElem)>(OCICollAssignElem);
  c.CollAppend = bound<decltype(c.CollAppend)>(OCICollAppend);
  c.CollAssign = bound<decltype(c.CollAssign)>(OCICollAssign);
  c.TableSize = bound<decltype(c.TableSize)>(OCITableSize);
  c.TableDelete = bound<decltype(c.TableDelete)>(OCITableDelete);
  c.TableNext = bound<decltype(c.TableNext)>(OCITableNext);
  c.StringPtr = bound<decltype(c.StringPtr)>(OCIStringPtr);
  c.StringSize = bound<decltype(c.StringSize)>(OCIStringSize);
  c.StringAssignText = bound<decltype(c.StringAssignText)>(OCIStringAssignText);
  c.StringResize = bound<decltype(c.StringResize)>(OCIStringResize);
  c.NumberToInt = bound<decltype(c.NumberToInt)>(OCINumberToInt);
  c.NumberFromInt = bound<decltype(c.NumberFromInt)>(OCINumberFromInt);
  c.NumberToReal = bound<decltype(c.NumberToReal)>(OCINumberToReal);
  c.NumberFromReal = bound<decltype(c.NumberFromReal)>(OCINumberFromReal);
  c.RefIsNull = bound<decltype(c.RefIsNull)>(OCIRefIsNull);
  c.RefAssign = bound<decltype(c.RefAssign)>(OCIRefAssign);
  c.RefClear = bound<decltype(c.RefClear)>(OCIRefClear);
  c.RefToHex = bound<decltype(c.RefToHex)>(OCIRefToHex);
  c.XMLTypeCreateFromSrc = bound<decltype(c.XMLTypeCreateFromSrc)>(OCIXMLTypeCreateFromSrc);
  return c;
}

void SetObjectCalls(const TOraObjectCalls* calls) {
  installed = calls;
}

// ---------------------------------------------------------------------------------------------
// Type cache

TOraType* TObjectTypes::FindType(void* svc, std::string_view name) {
  const std::string key = AsciiUpper(TrimText(name));
  TypeCache& c = cache();
  std::lock_guard guard(c.lock);
  for (TOraType* t : c.types)
    if (answers(t, svc, key)) return t;
  return nullptr;
}

bool TObjectTypes::answers(const TOraType* type, void* svc, const std::string& key) {
  // A type of a freed client environment may name a service context at the same address. One that
  // another thread is still describing is never handed out half done: the finder describes one of
  // its own instead of waiting, which two threads describing types that refer to each other could
  // do for ever.
  const bool whole = type->describer_ == std::thread::id() || type->describer_ == std::this_thread::get_id();
  return type->svc_ == svc && !type->Stale() && whole && AsciiUpper(type->Name) == key;
}

TOraType* TObjectTypes::GetType(void* svc, const std::string& name) {
  {
    TypeCache& c = cache();
    std::lock_guard guard(c.lock);
    const std::string key = AsciiUpper(TrimText(name));
    // One whose last reference went on another thread is passed by: it leaves the cache as it goes.
    for (TOraType* t : c.types)
      if (answers(t, svc, key) && t->TryAddRef()) return t;
  }
  return TOraType::Create(svc, name);
}

int TObjectTypes::Count() {
  TypeCache& c = cache();
  std::lock_guard guard(c.lock);
  return int(c.types.size());
}

void TObjectTypes::ClearTypes(void* svc) {
  std::vector<TOraType*> types;
  {
    TypeCache& c = cache();
    std::lock_guard guard(c.lock);
    // A type of a freed client environment may name a service context at the same address: it is
    // not this session's, and another thread may be describing it again on its own.
    for (TOraType* t : c.types)
      if (t->SvcCtx() == svc && !t->Stale() && t->TryAddRef()) types.push_back(t);
  }
  for (TOraType* t : types) {
    {
      std::lock_guard guard(cache().lock);
      t->svc_ = nullptr;
    }
    t->ClearAttributes();
    t->layout_.clear();
  }
  for (TOraType* t : types) t->Release();
}

void TObjectTypes::add(TOraType* type) {
  TypeCache& c = cache();
  std::lock_guard guard(c.lock);
  c.types.push_back(type);
}

void TObjectTypes::remove(TOraType* type) {
  TypeCache& c = cache();
  std::lock_guard guard(c.lock);
  std::erase(c.types, type);
}

// ---------------------------------------------------------------------------------------------
// TOraType

TOraType* TOraType::Create(void* svc, const std::string& name) {
  auto* type = new TOraType();
  platform::UndoOnFailure undo([type] { type->Release(); });
  type->svc_ = svc;
  type->Name = AsciiUpper(TrimText(name));
  type->describer_ = std::this_thread::get_id();
  TObjectTypes::add(type);
  type->Describe(svc, name);
  undo.Dismiss();
  return type;
}

TOraType::~TOraType() {
  TObjectTypes::remove(this);
}

TOraType* TOraType::AttrType(int index) const {
  return static_cast<TOraType*>(Attribute(index).ObjectType());
}

void* TOraType::LiveSvcCtx() const {
  std::lock_guard guard(cache().lock);
  return Stale() ? nullptr : svc_;
}

int TOraType::IndexOf(std::string_view name) const {
  const std::string key = AsciiUpper(name);
  for (int i = 0; i < AttributeCount(); ++i)
    if (AsciiUpper(Attribute(i).Name) == key) return i;
  return -1;
}

void TOraType::Describe(void* svc, const std::string& name) {
  if (!svc) RaiseError(SSvcCtxNotDefined);
  DA_ASSERT(describeDepth < MaxTypeDepth, "Object types are nested too deeply.");
  ++describeDepth;
  platform::ScopeExit leave([] { --describeDepth; });
  ClearAttributes();
  layout_.clear();
  const std::string trimmed = TrimText(name);
  // The cache's key; attributes that name this type again are told apart from others by it.
  std::string key = AsciiUpper(trimmed);
  {
    // Other threads searching the cache read these under its lock.
    std::lock_guard guard(cache().lock);
    svc_ = svc;
    generation_ = OCIEnvironmentGeneration;
    if (Name != key) Name = std::move(key);
    if (madeAs_ != trimmed) madeAs_ = trimmed;
    describer_ = std::this_thread::get_id();
  }
  bool whole = false;
  platform::ScopeExit described([this, &whole] {
    if (whole && describeDepth > 1) {
      AddRef();
      describedInside.push_back(this);
      return;
    }
    std::vector<TOraType*> inside;
    if (describeDepth == 1) inside.swap(describedInside);
    {
      std::lock_guard guard(cache().lock);
      describer_ = std::thread::id();
      for (TOraType* t : inside) t->describer_ = std::thread::id();
    }
    cache().described.notify_all();
    for (TOraType* t : inside) t->Release();
  });
  // A description that fails part way is no description: the type counts as one of a freed client
  // (the cache passes it by, an object of it describes it again), never as the half it holds.
  platform::UndoOnFailure undescribed([this] {
    std::lock_guard guard(cache().lock);
    generation_ = OCIEnvironmentGeneration - 1;
    tdo_ = nullptr;
  });
  describing_ = true;
  platform::ScopeExit done([this] { describing_ = false; });

  const TOraObjectCalls c = ObjectCalls();
  void* env = nullptr;
  check(c.AttrGet(svc, OCI_HTYPE_SVCCTX, &env, nullptr, OCI_ATTR_ENV, hOCIError));

  std::string schema, typeName, quoted;
  if (const size_t dot = trimmed.find('.'); dot == std::string::npos) {
    typeName = AsciiUpper(trimmed);
    quoted = typeName;
  } else {
    schema = trimmed.substr(0, dot);
    typeName = trimmed.substr(dot + 1);
    quoted = "\"" + schema + "\".\"" + typeName + "\"";
  }
  auto text = [](const std::string& s) { return reinterpret_cast<const OraText*>(s.data()); };
  check(c.TypeByName(env, hOCIError, svc, schema.empty() ? nullptr : text(schema), ub4(schema.size()),
                     text(typeName), ub4(typeName.size()), nullptr, 0, OCI_DURATION_SESSION, 0, &tdo_));

  void* handle = nullptr;
  check(c.HandleAlloc(env, &handle, OCI_HTYPE_DESCRIBE, 0, nullptr));
  platform::ScopeExit freeHandle([&] { c.HandleFree(handle, OCI_HTYPE_DESCRIBE); });
  check(c.DescribeAny(svc, hOCIError, quoted.data(), ub4(quoted.size()), OCI_OTYPE_NAME, 0, OCI_PTYPE_TYPE,
                      handle));
  void* param = nullptr;
  check(c.AttrGet(handle, OCI_HTYPE_DESCRIBE, &param, nullptr, OCI_ATTR_PARAM, hOCIError));
  DA_ASSERT(param != nullptr, "Type description is missing.");
  ub2 typeCode = 0;
  check(c.AttrGet(param, OCI_DTYPE_PARAM, &typeCode, nullptr, OCI_ATTR_TYPECODE, hOCIError));
  typeCode_ = typeCode;

  if (typeCode == OCI_TYPECODE_OBJECT) {
    final_ = true;
    if (PossibleOCICallStyles & osOCI90) {
      ub1 isFinal = 1;
      check(c.AttrGet(param, OCI_DTYPE_PARAM, &isFinal, nullptr, OCI_ATTR_IS_FINAL_TYPE, hOCIError));
      final_ = isFinal != 0;
    }
    DataType = Name == "SYS.XMLTYPE" ? dtXML : dataaccess::dtObject;
    ub2 count = 0;
    void* list = nullptr;
    check(c.AttrGet(param, OCI_DTYPE_PARAM, &count, nullptr, OCI_ATTR_NUM_TYPE_ATTRS, hOCIError));
    check(c.AttrGet(param, OCI_DTYPE_PARAM, &list, nullptr, OCI_ATTR_LIST_TYPE_ATTRS, hOCIError));
    dataSize_ = 0;
    indicatorSize_ = 2;  // the object's own indicator comes first
    for (ub4 i = 1; i <= count; ++i) {
      void* attribute = nullptr;
      check(c.ParamGet(list, OCI_DTYPE_PARAM, hOCIError, &attribute, i));
      DA_ASSERT(attribute != nullptr, "Type description is missing.");
      describeAttribute(attribute, false);
    }
    dataSize_ = alignUp(dataSize_, pointerSize);
  } else if (typeCode == OCI_TYPECODE_NAMEDCOLLECTION) {
    ub2 collCode = 0;
    check(c.AttrGet(param, OCI_DTYPE_PARAM, &collCode, nullptr, OCI_ATTR_COLLECTION_TYPECODE, hOCIError));
    if (collCode == OCI_TYPECODE_VARRAY)
      DataType = dataaccess::dtArray;
    else if (collCode == OCI_TYPECODE_TABLE)
      DataType = dataaccess::dtTable;
    else
      DA_ASSERT(false, "Unknown collection type.");
    void* element = nullptr;
    ub4 count = 0;
    check(c.AttrGet(param, OCI_DTYPE_PARAM, &element, nullptr, OCI_ATTR_COLLECTION_ELEMENT, hOCIError));
    check(c.AttrGet(param, OCI_DTYPE_PARAM, &count, nullptr, OCI_ATTR_NUM_ELEMS, hOCIError));
    DA_ASSERT(element != nullptr, "Type description is missing.");
    Size = int32_t(std::min<ub4>(count, ub4(std::numeric_limits<int32_t>::max())));
    dataSize_ = 0;
    indicatorSize_ = 0;
    describeAttribute(element, true);
    dataSize_ = pointerSize;  // an instance of a collection is the collection's handle
  } else {
    DA_ASSERT(false, "Unknown object type.");
  }
  undescribed.Dismiss();
  whole = true;
}

void TOraType::DescribeIfStale(void* svc) {
  std::string name;
  {
    TypeCache& c = cache();
    std::unique_lock guard(c.lock);
    // A description under way on another thread may serve this one: it is awaited, never joined.
    // The describing thread waits for no other type in turn (nested types come from the cache).
    c.described.wait(guard, [this] {
      return describer_ == std::thread::id() || describer_ == std::this_thread::get_id();
    });
    if (!Stale()) return;
    describer_ = std::this_thread::get_id();
    name = madeAs_.empty() ? Name : madeAs_;
  }
  // Released however the description ends, even before it begins; but only while it is still
  // this thread's: the description itself lets go at its end, and another thread that found the
  // type stale again since may be describing it by now.
  platform::ScopeExit release([this] {
    {
      std::lock_guard guard(cache().lock);
      if (describer_ == std::this_thread::get_id()) describer_ = std::thread::id();
    }
    cache().described.notify_all();
  });
  // Under the name it was made with: a quoted mixed-case name upper-cased would be another type.
  Describe(svc, name);
}

void TOraType::describeAttribute(void* param, bool collection) {
  const TOraObjectCalls c = ObjectCalls();
  dataaccess::TAttribute& a = AddAttribute();
  TOraAttributeLayout l;
  if (collection) {
    a.Name = "ELEMENT";
  } else {
    OraText* name = nullptr;
    ub4 nameLength = 0;
    check(c.AttrGet(param, OCI_DTYPE_PARAM, &name, &nameLength, OCI_ATTR_NAME, hOCIError));
    DA_ASSERT(name != nullptr || nameLength == 0, "Type description is missing.");
    a.Name = std::string(reinterpret_cast<const char*>(name), std::min<ub4>(nameLength, 4096));
  }
  ub2 ociType = 0, dataSize = 0;
  check(c.AttrGet(param, OCI_DTYPE_PARAM, &ociType, nullptr, OCI_ATTR_DATA_TYPE, hOCIError));
  check(c.AttrGet(param, OCI_DTYPE_PARAM, &dataSize, nullptr, OCI_ATTR_DATA_SIZE, hOCIError));
  l.OCIType = ociType;

  int32_t storage = pointerSize, align = pointerSize, indicator = 2;
  switch (ociType) {
    case 1:
    case 96:
      a.DataType = dtString;
      a.Length = dataSize;
      a.Fixed = ociType == 96;
      l.Size = a.Length + 1;
      break;
    case 2: {
      ub1 precision = 0;
      sb1 scale = 0;
      check(c.AttrGet(param, OCI_DTYPE_PARAM, &precision, nullptr, OCI_ATTR_PRECISION, hOCIError));
      check(c.AttrGet(param, OCI_DTYPE_PARAM, &scale, nullptr, OCI_ATTR_SCALE, hOCIError));
      const bool integer = scale == 0 && precision >= 1 && precision <= 9;
      a.DataType = integer ? dtInteger : dtFloat;
      a.Length = precision;
      l.Scale = scale;
      l.Size = integer ? 4 : 8;
      storage = 22;
      align = 1;
      break;
    }
    case 12:
      a.DataType = dtDateTime;
      l.Size = 8;
      storage = 8;
      align = 2;
      break;
    case 23:
      a.DataType = dtString;
      DA_ASSERT(dataSize <= 32767, "Attribute size is out of range.");
      a.Length = uint16_t(dataSize * 2);
      l.Size = a.Length + 1;
      break;
    case 108:
    case 110: {
      OraText* typeName = nullptr;
      OraText* schemaName = nullptr;
      ub4 typeLength = 0, schemaLength = 0;
      check(c.AttrGet(param, OCI_DTYPE_PARAM, &typeName, &typeLength, OCI_ATTR_TYPE_NAME, hOCIError));
      check(c.AttrGet(param, OCI_DTYPE_PARAM, &schemaName, &schemaLength, OCI_ATTR_SCHEMA_NAME, hOCIError));
      DA_ASSERT(typeName != nullptr && typeLength > 0 && typeLength <= 256, "Type description is missing.");
      DA_ASSERT(schemaName != nullptr || schemaLength == 0, "Type description is missing.");
      std::string full(reinterpret_cast<const char*>(typeName), typeLength);
      if (schemaLength > 0)
        full = std::string(reinterpret_cast<const char*>(schemaName), std::min<ub4>(schemaLength, 256)) +
               "." + full;
      // A type naming itself is this very type, never another one of the same name in the cache.
      TOraType* nested = this;
      if (AsciiUpper(TrimText(full)) == Name)
        AddRef();
      else
        nested = TObjectTypes::GetType(svc_, full);
      platform::ScopeExit release([nested] { nested->Release(); });
      a.SetObjectType(nested);
      if (ociType == 110) {
        a.DataType = dataaccess::dtReference;
      } else {
        // A type holding itself (or a type still being described) by value has no layout.
        DA_ASSERT(!nested->describing_, "Object type contains itself.");
        a.DataType = nested->DataType;
        if (nested->DataType == dataaccess::dtObject && nested->final_ && final_ && !collection) {
          l.Embedded = true;
          storage = std::max(alignUp(nested->dataSize_, pointerSize), pointerSize);
          indicator = nested->indicatorSize_;
        }
      }
      l.Size = 4;
      break;
    }
    case 113:
      a.DataType = dtOraBlob;
      l.Size = 4;
      break;
    case 112:
      a.DataType = dtOraClob;
      l.Size = 4;
      break;
    case 187:
    case 188:
    case 232:
    case 189:
    case 190:
      if (!(PossibleOCICallStyles & osOCI90)) RaiseError("Data type is not supported.");
      a.DataType = ociType == 187   ? dtTimeStamp
                   : ociType == 188 ? dtTimeStamp + 1
                   : ociType == 232 ? dtTimeStamp + 2
                   : ociType == 189 ? dtTimeStamp + 3
                                    : dtTimeStamp + 4;
      l.Size = 4;
      break;
    default:
      DA_ASSERT(false, "Unknown data type.");
  }
  if (collection) {
    l.Offset = 0;
    l.IndOffset = 0;
  } else {
    dataSize_ = alignUp(dataSize_, align);
    l.Offset = dataSize_;
    l.IndOffset = indicatorSize_;
    DA_ASSERT(int64_t(dataSize_) + storage <= MaxInstanceSize &&
                  int64_t(indicatorSize_) + indicator <= MaxInstanceSize,
              "Object type is too large.");
    dataSize_ += storage;
    indicatorSize_ += indicator;
  }
  l.DataSize = storage;
  layout_.push_back(l);
}

// ---------------------------------------------------------------------------------------------
// TOraObject

TOraObject::TOraObject(TOraType* type) : TDBObject(type) {}

TOraObject::~TOraObject() {
  try {
    FreeObject();
  } catch (...) {
    // A failed free leaves the client's cache to reclaim the instance at the session's end.
  }
}

void TOraObject::SetSvcCtx(void* svc) {
  forgetLost();
  if (svc == svc_) return;
  svc_ = svc;
  env_ = nullptr;
  generation_ = OCIEnvironmentGeneration;
  if (svc) check(ObjectCalls().AttrGet(svc, OCI_HTYPE_SVCCTX, &env_, nullptr, OCI_ATTR_ENV, hOCIError));
}

void TOraObject::SetInstance(void* instance, void* indicator) {
  FreeObject();
  instance_ = instance;
  indicator_ = indicator;
  ownsInstance_ = false;
  generation_ = OCIEnvironmentGeneration;
}

void TOraObject::TakeInstance(void* instance, void* indicator) {
  FreeObject();
  instance_ = instance;
  ownsInstance_ = true;
  generation_ = OCIEnvironmentGeneration;
  if (!indicator) check(ObjectCalls().ObjectGetInd(env_, hOCIError, instance, &indicator));
  indicator_ = indicator;
}

void TOraObject::forgetLost() {
  if (!stale()) return;
  lost_ = lost_ || instance_ != nullptr;
  instance_ = nullptr;
  indicator_ = nullptr;
  ownsInstance_ = false;
  svc_ = nullptr;
  env_ = nullptr;
}

void TOraObject::refuseLost() const {
  if (lost_ || (stale() && instance_)) RaiseError("Object was lost with the client of another Oracle home");
}

void TOraObject::CheckNotLost() {
  forgetLost();
  refuseLost();
}

void TOraObject::requireInstance() {
  CheckNotLost();
  if (!instance_) RaiseError("Object is not allocated");
}

void TOraObject::CheckType() const {
  if (!ObjectType()) RaiseError("Type of object must be defined");
}

bool TOraObject::GetIsNull() const {
  refuseLost();
  return !indicator_ || *static_cast<const int16_t*>(indicator_) != 0;
}

void TOraObject::SetIsNull(bool value) {
  requireInstance();
  if (!indicator_) RaiseError("Object is not allocated");
  *static_cast<int16_t*>(indicator_) = value ? OCI_IND_NULL : 0;
}

void TOraObject::AllocObject() {
  CheckType();
  CheckNotLost();
  if (!svc_) {
    void* svc = OraType()->LiveSvcCtx();
    if (!svc) RaiseError(SSvcCtxNotDefined);
    SetSvcCtx(svc);
  }
  OraType()->DescribeIfStale(svc_);
  const TOraObjectCalls c = ObjectCalls();
  if (!instance_) {
    const ub2 typeCode = OraType()->IsCollection() ? OCI_TYPECODE_NAMEDCOLLECTION : OraType()->TypeCode();
    check(c.ObjectNew(env_, hOCIError, svc_, typeCode, OraType()->TDO(), nullptr, OCI_DURATION_SESSION, 1,
                      &instance_));
    DA_ASSERT(instance_ != nullptr, "Object is not allocated");
    ownsInstance_ = true;
    generation_ = OCIEnvironmentGeneration;
  }
  if (!indicator_) check(c.ObjectGetInd(env_, hOCIError, instance_, &indicator_));
}

void TOraObject::AllocObject(void* svc, const std::string& typeName) {
  TOraType* type = TObjectTypes::GetType(svc, typeName);
  platform::ScopeExit release([type] { type->Release(); });
  FreeObject();
  SetObjectType(type);
  SetSvcCtx(svc);
  AllocObject();
}

void TOraObject::FreeObject() {
  forgetLost();
  lost_ = false;
  if (instance_ && ownsInstance_) {
    void* instance = instance_;
    instance_ = nullptr;
    indicator_ = nullptr;
    ownsInstance_ = false;
    check(ObjectCalls().ObjectFree(env_, hOCIError, instance, 1));
  }
  instance_ = nullptr;
  indicator_ = nullptr;
  ownsInstance_ = false;
}

void TOraObject::Assign(TOraObject& source) {
  CheckType();
  source.requireInstance();
  if (source.OraType() != OraType()) RaiseError("Type of object must be defined");
  AllocObject();
  check(ObjectCalls().ObjectCopy(env_, hOCIError, svc_, source.instance_, source.indicator_, instance_,
                                 indicator_, OraType()->TDO(), OCI_DURATION_SESSION, 0));
}

void TOraObject::Flush() {
  requireInstance();
  check(ObjectCalls().ObjectFlush(env_, hOCIError, instance_));
}

void TOraObject::MarkDelete() {
  requireInstance();
  check(ObjectCalls().ObjectMarkDelete(env_, hOCIError, instance_));
}

namespace {

[[noreturn]] void invalidName() {
  RaiseError("Invalid attribute name");
}

// Appends a null element of the collection's element type.
void appendNullElement(const TOraObjectCalls& c, void* env, void* svc, TOraType* collType, void* coll) {
  const TOraAttributeLayout& l = collType->Layout(0);
  int16_t nullInd = OCI_IND_NULL;
  TOraType* elemType = collType->AttrType(0);
  if (elemType && l.OCIType == 108) {
    void* object = nullptr;
    const ub2 code = elemType->IsCollection() ? OCI_TYPECODE_NAMEDCOLLECTION : elemType->TypeCode();
    check(c.ObjectNew(env, hOCIError, svc, code, elemType->TDO(), nullptr, OCI_DURATION_SESSION, 1, &object));
    platform::ScopeExit free([&] { c.ObjectFree(env, hOCIError, object, 1); });
    void* ind = nullptr;
    check(c.ObjectGetInd(env, hOCIError, object, &ind));
    check(c.CollAppend(env, hOCIError, object, ind ? ind : &nullInd, coll));
    return;
  }
  switch (collType->Attribute(0).DataType) {
    case dtInteger:
    case dtFloat: {
      uint8_t number[22] = {1, 0x80};  // zero
      check(c.CollAppend(env, hOCIError, number, &nullInd, coll));
      break;
    }
    case dtDateTime: {
      uint8_t date[8] = {};
      writeOCIDate(date, dataset::DateTime{0});
      check(c.CollAppend(env, hOCIError, date, &nullInd, coll));
      break;
    }
    case dtString: {
      void* str = nullptr;
      check(c.StringAssignText(env, hOCIError, reinterpret_cast<const OraText*>(""), 0, &str));
      check(c.CollAppend(env, hOCIError, str, &nullInd, coll));
      break;
    }
    default:
      RaiseError("Data type is not supported.");
  }
}

}  // namespace

// Walks `path` from this object. A null met on the way ends a read with a null position; a write
// clears the null indicators of the objects it passes and appends the element one past the end of
// a collection.
TOraObject::Position TOraObject::walk(std::string_view path, bool forWrite, bool missingIsNull) {
  CheckType();
  CheckNotLost();
  if (!instance_) {
    if (AutoCreate)
      AllocObject();
    else
      RaiseError("Object is not allocated");
  }
  const TOraObjectCalls c = ObjectCalls();
  const std::string s = AsciiUpper(path);
  Position p;
  TOraType* type = OraType();
  auto* inst = static_cast<uint8_t*>(instance_);
  auto* ind = static_cast<int16_t*>(indicator_);
  void* coll = type->IsCollection() ? instance_ : nullptr;
  bool inCollection = type->IsCollection();
  p.type = type;
  p.data = inst;
  p.ind = ind;
  if (ind && *ind == OCI_IND_NULL) {
    if (forWrite && !coll)
      *ind = 0;
    else if (!forWrite)
      p.isNull = true;
  }
  if (s.empty()) invalidName();
  // Past a null, a read still checks the rest of the path against the types; it reads no data.
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] == '[') {
      const size_t close = s.find(']', i);
      if (close == std::string::npos || close == i + 1 || close - i > 11) invalidName();
      int64_t index = 0;
      for (size_t k = i + 1; k < close; ++k) {
        if (s[k] < '0' || s[k] > '9') invalidName();
        index = index * 10 + (s[k] - '0');
      }
      if (!inCollection) invalidName();
      if (index > std::numeric_limits<sb4>::max()) RaiseError(SInvalidIndex);
      i = close + 1;
      if (i < s.size() && s[i] == '.') ++i;
      TOraType* elemType = type->AttrType(0);
      const bool objectElement = elemType && type->Layout(0).OCIType == 108;
      if (!p.isNull && !coll && forWrite) RaiseError("Object is not allocated");
      if (p.isNull || !coll) {
        p = Position{type, 0, nullptr, nullptr, nullptr, sb4(index), true};
      } else {
        sb4 size = 0;
        check(c.CollSize(env_, hOCIError, coll, &size));
        if (forWrite && index == size) {
          appendNullElement(c, env_, svc_, type, coll);
          ++size;
        }
        int exists = 0;
        void* elem = nullptr;
        void* elemInd = nullptr;
        if (index < size) check(c.CollGetElem(env_, hOCIError, coll, sb4(index), &exists, &elem, &elemInd));
        if ((!exists || !elem) && !missingIsNull) RaiseError(SInvalidIndex);
        if (!exists || !elem)
          p = Position{type, 0, nullptr, nullptr, nullptr, sb4(index), true};
        else
          p = Position{type,       0,    static_cast<uint8_t*>(elem), static_cast<int16_t*>(elemInd), coll,
                       sb4(index), false};
        if (p.ind && *p.ind == OCI_IND_NULL) {
          if (forWrite && objectElement && i < s.size())
            *p.ind = 0;
          else if (!forWrite)
            p.isNull = true;
        }
      }
      if (i < s.size()) {
        if (!objectElement) invalidName();
        type = elemType;
        inCollection = elemType->IsCollection();
        // Elements are handed out as the instance (objects) or the collection itself.
        inst = p.data;
        ind = p.ind;
        coll = inCollection ? static_cast<void*>(p.data) : nullptr;
      }
      continue;
    }
    const size_t end = s.find_first_of(".[", i);
    const std::string name = s.substr(i, end == std::string::npos ? std::string::npos : end - i);
    if (inCollection) invalidName();
    const int k = type->IndexOf(name);
    if (k < 0) invalidName();
    const TOraAttributeLayout& l = type->Layout(k);
    TOraType* attrType = type->AttrType(k);
    const bool named = attrType && l.OCIType == 108;
    const bool embedded = l.Embedded;
    i = end == std::string::npos ? s.size() : end;
    if (i < s.size() && s[i] == '.') ++i;
    if (i < s.size() && !named) invalidName();
    if (p.isNull) {
      p = Position{type, k, nullptr, nullptr, nullptr, -1, true};
    } else {
      uint8_t* data = inst + l.Offset;
      int16_t* attrInd =
          ind ? reinterpret_cast<int16_t*>(reinterpret_cast<uint8_t*>(ind) + l.IndOffset) : nullptr;
      void* target = named && !embedded ? *reinterpret_cast<void**>(data) : nullptr;
      if (target && attrType->DataType == dataaccess::dtObject) {
        void* own = nullptr;
        check(c.ObjectGetInd(env_, hOCIError, target, &own));
        attrInd = static_cast<int16_t*>(own);
      }
      p = Position{type, k, data, attrInd, nullptr, -1, false};
      if (attrInd && *attrInd == OCI_IND_NULL) {
        if (forWrite && i < s.size() && named)
          *attrInd = 0;
        else if (!forWrite)
          p.isNull = true;
      }
      if (named && !embedded && !target) {
        if (forWrite && i < s.size()) RaiseError("Object is not allocated");
        p.isNull = !forWrite || p.isNull;
      }
      if (!p.isNull && i < s.size()) {
        if (embedded) {
          inst = data;
          ind = attrInd;
          coll = nullptr;
        } else if (attrType->IsCollection()) {
          inst = nullptr;
          ind = nullptr;
          coll = target;
        } else {
          inst = static_cast<uint8_t*>(target);
          ind = attrInd;
          coll = nullptr;
        }
      }
    }
    if (i < s.size()) {
      type = attrType;
      inCollection = attrType->IsCollection();
    }
  }
  return p;
}

void TOraObject::GetAttributeValue(std::string_view path, Variant& dest, bool& isBlank) {
  const Position p = walk(path, false, true);
  switch (dataTypeAt(p)) {
    case dtString:
    case dtInteger:
    case dtFloat:
    case dtDateTime:
      dest = valueAt(p);
      break;
    default:
      // Objects, collections, REFs and LOBs show only whether they are null.
      dest = Variant::null();
      isBlank = p.isNull;
      return;
  }
  isBlank = dest.isNull();
}

void TOraObject::SetAttributeValue(std::string_view path, const Variant& source) {
  if (source.isNull()) {
    SetAttrIsNull(path, true);
    return;
  }
  const Position p = walk(path, true);
  if (p.attr < 0) invalidName();
  const TOraObjectCalls c = ObjectCalls();
  switch (p.type->Attribute(p.attr).DataType) {
    case dtString: {
      const std::string text = source.asString();
      check(c.StringAssignText(env_, hOCIError, reinterpret_cast<const OraText*>(text.data()),
                               ub4(text.size()), reinterpret_cast<void**>(p.data)));
      break;
    }
    case dtInteger: {
      const int32_t v = source.asInt32();
      check(c.NumberFromInt(hOCIError, &v, sizeof v, OCI_NUMBER_SIGNED, p.data));
      break;
    }
    case dtFloat: {
      const double v = source.asDouble();
      check(c.NumberFromReal(hOCIError, &v, sizeof v, p.data));
      break;
    }
    case dtDateTime:
      writeOCIDate(p.data, source.asDateTime());
      break;
    default:
      RaiseError("Unknown data type.");
  }
  if (p.ind) *p.ind = 0;
}

Variant TOraObject::AttrValue(std::string_view path) {
  return valueAt(walk(path, false));
}

uint16_t TOraObject::dataTypeAt(const Position& p) const {
  return p.attr < 0 ? OraType()->DataType : p.type->Attribute(p.attr).DataType;
}

Variant TOraObject::valueAt(const Position& p) {
  if (p.attr < 0) return GetIsNull() ? Variant::null() : Variant::object(this);
  if (p.isNull) return Variant::null();
  const TOraObjectCalls c = ObjectCalls();
  switch (dataTypeAt(p)) {
    case dtString: {
      void* str = *reinterpret_cast<void**>(p.data);
      if (!str) return Variant(std::string());
      const OraText* text = c.StringPtr(env_, str);
      const ub4 size = c.StringSize(env_, str);
      return Variant(text ? std::string(reinterpret_cast<const char*>(text), size) : std::string());
    }
    case dtInteger: {
      int32_t v = 0;
      check(c.NumberToInt(hOCIError, p.data, sizeof v, OCI_NUMBER_SIGNED, &v));
      return Variant(v);
    }
    case dtFloat: {
      double v = 0;
      check(c.NumberToReal(hOCIError, p.data, sizeof v, &v));
      return Variant(v);
    }
    case dtDateTime:
      return Variant(readOCIDate(p.data));
    default:
      RaiseError("Cannot convert type to Object");
  }
}

void TOraObject::objectAt(const Position& p, void*& instance, void*& indicator) {
  instance = indicator = nullptr;
  if (p.attr < 0) {
    instance = instance_;
    indicator = indicator_;
    return;
  }
  if (!p.data) return;  // met a null on the way
  const TOraAttributeLayout& l = p.type->Layout(p.attr);
  if (p.coll || l.Embedded) {
    // Elements are handed out as the instance itself; embedded objects lie in place.
    instance = p.data;
    indicator = p.ind;
    return;
  }
  instance = *reinterpret_cast<void**>(p.data);
  indicator = p.ind;
}

TOraObject* TOraObject::AttrAsObject(std::string_view path) {
  const Position p = walk(path, false, true);
  TOraType* type = p.attr < 0 ? OraType() : p.type->AttrType(p.attr);
  const bool object = p.attr < 0 ? true : type && p.type->Layout(p.attr).OCIType == 108;
  if (!object || !type || type->DataType != dataaccess::dtObject) RaiseError("Cannot convert type to Object");
  void* instance = nullptr;
  void* indicator = nullptr;
  objectAt(p, instance, indicator);
  auto* result = new TOraObject(type);
  result->svc_ = svc_;
  result->env_ = env_;
  result->textEncoding_ = textEncoding_;
  result->generation_ = generation_;
  result->instance_ = instance;
  result->indicator_ = indicator;
  return result;
}

TOraArray* TOraObject::AttrAsArray(std::string_view path) {
  const Position p = walk(path, false, true);
  TOraType* type = p.attr < 0 ? OraType() : p.type->AttrType(p.attr);
  if (!type || !type->IsCollection() || (p.attr >= 0 && p.type->Layout(p.attr).OCIType != 108))
    RaiseError("Cannot convert type to Array");
  void* instance = nullptr;
  void* indicator = nullptr;
  objectAt(p, instance, indicator);
  TOraArray* result = type->DataType == dataaccess::dtTable ? new TOraNestTable(type) : new TOraArray(type);
  result->svc_ = svc_;
  result->env_ = env_;
  result->textEncoding_ = textEncoding_;
  result->generation_ = generation_;
  result->instance_ = instance;
  result->indicator_ = indicator;
  return result;
}

bool TOraObject::AttrIsNull(std::string_view path) {
  const Position p = walk(path, false);
  return p.isNull || (p.attr < 0 && GetIsNull());
}

void TOraObject::SetAttrIsNull(std::string_view path, bool value) {
  const Position p = walk(path, true);
  if (!p.ind) RaiseError("Object is not allocated");
  *p.ind = value ? OCI_IND_NULL : 0;
}

std::string TOraObject::AttrAsString(std::string_view path) {
  const Position p = walk(path, false);
  if (dataTypeAt(p) != dtString) RaiseError("Cannot convert type to OCIString");
  const Variant v = valueAt(p);
  return v.isNull() ? std::string() : v.asString();
}

int32_t TOraObject::AttrAsInteger(std::string_view path) {
  const Position p = walk(path, false);
  if (dataTypeAt(p) != dtInteger && dataTypeAt(p) != dtFloat) RaiseError("Cannot convert type to OCINumber");
  const Variant v = valueAt(p);
  return v.isNull() ? 0 : v.asInt32();
}

double TOraObject::AttrAsFloat(std::string_view path) {
  const Position p = walk(path, false);
  if (dataTypeAt(p) != dtInteger && dataTypeAt(p) != dtFloat) RaiseError("Cannot convert type to OCINumber");
  const Variant v = valueAt(p);
  return v.isNull() ? 0 : v.asDouble();
}

dataset::DateTime TOraObject::AttrAsDateTime(std::string_view path) {
  const Position p = walk(path, false);
  if (dataTypeAt(p) != dtDateTime) RaiseError("Cannot convert type to OCIDate");
  const Variant v = valueAt(p);
  return v.isNull() ? dataset::DateTime{} : v.asDateTime();
}

void TOraObject::SetAttrAsString(std::string_view path, std::string_view value) {
  SetAttributeValue(path, Variant(std::string(value)));
}
void TOraObject::SetAttrAsInteger(std::string_view path, int32_t value) {
  SetAttributeValue(path, Variant(value));
}
void TOraObject::SetAttrAsFloat(std::string_view path, double value) {
  SetAttributeValue(path, Variant(value));
}
void TOraObject::SetAttrAsDateTime(std::string_view path, dataset::DateTime value) {
  SetAttributeValue(path, Variant(value));
}

// ---------------------------------------------------------------------------------------------
// TOraRef

TOraRef::~TOraRef() {
  try {
    Unpin();
  } catch (...) {
    // The cache unpins what is left at the session's end.
  }
}

void TOraRef::forgetLost() {
  if (stale()) {
    lost_ = lost_ || ref_ != nullptr;
    ref_ = nullptr;
    pinned_ = false;
  }
  TOraObject::forgetLost();
}

bool TOraRef::RefIsNull() const {
  if (ref_ && stale()) RaiseError("Object was lost with the client of another Oracle home");
  return !ref_ || ObjectCalls().RefIsNull(env_, ref_) != 0;
}

void TOraRef::Pin() {
  CheckType();
  CheckNotLost();
  DA_ASSERT(ref_ != nullptr, "OCIRef is not assigned");
  if (!svc_) SetSvcCtx(OraType()->SvcCtx());
  Unpin();
  const TOraObjectCalls c = ObjectCalls();
  void* object = nullptr;
  check(c.ObjectPin(env_, hOCIError, ref_, nullptr, 3, OCI_DURATION_SESSION, 1, &object));
  void* ind = nullptr;
  check(c.ObjectGetInd(env_, hOCIError, object, &ind));
  SetInstance(object, ind);
  pinned_ = true;
}

void TOraRef::Unpin() {
  forgetLost();
  if (!pinned_) return;
  pinned_ = false;
  void* object = instance_;
  SetInstance(nullptr, nullptr);
  if (object) check(ObjectCalls().ObjectUnpin(env_, hOCIError, object));
}

void TOraRef::Clear() {
  Unpin();
  lost_ = false;
  if (ref_) ObjectCalls().RefClear(env_, ref_);
}

std::string TOraRef::AsHex() const {
  if (RefIsNull()) return {};
  OraText buffer[4000];
  ub4 length = sizeof buffer;
  check(ObjectCalls().RefToHex(env_, hOCIError, ref_, buffer, &length));
  return std::string(reinterpret_cast<const char*>(buffer), std::min<ub4>(length, sizeof buffer));
}

// ---------------------------------------------------------------------------------------------
// TOraXML

TOraXML::TOraXML(TOraType* type) : TOraObject(type) {
  if (type && type->DataType != dtXML) RaiseError("Type of object must be XML");
}

void TOraXML::SetAsString(std::string text) {
  FreeObject();
  text_ = std::move(text);
  needsReading_ = text_.empty();
}

const std::string& TOraXML::AsString() {
  forgetLost();
  if (needsReading_) refuseLost();
  if (needsReading_ && instance_) {
    if (GetIsNull()) {
      text_.clear();
      needsReading_ = false;
    } else {
      readText();
    }
  }
  return text_;
}

bool TOraXML::IsNull() {
  return AsString().empty();
}

void TOraXML::AllocObject() {
  forgetLost();
  // A document read or given is still here: only the instance went.
  if (!needsReading_) lost_ = false;
  if (!ObjectType()) {
    if (!svc_) RaiseError(SSvcCtxNotDefined);
    TOraType* type = TObjectTypes::GetType(svc_, "SYS.XMLTYPE");
    platform::ScopeExit release([type] { type->Release(); });
    SetObjectType(type);
  }
  if (OraType()->DataType != dtXML) RaiseError("Type of object must be XML");
  if (instance_ || !text_.empty()) {
    if (!instance_) makeFromText();
    TOraObject::AllocObject();
    return;
  }
  TOraObject::AllocObject();
  SetIsNull(true);
}

// The text goes to the library as an OCIString, freed again whatever the outcome.
void TOraXML::makeFromText() {
  constexpr ub1 OCI_XMLTYPE_CREATE_OCISTRING = 1;
  if (!svc_ && !OraType()->Stale()) SetSvcCtx(OraType()->SvcCtx());
  if (!svc_) RaiseError(SSvcCtxNotDefined);
  const TOraObjectCalls c = ObjectCalls();
  if (!(PossibleOCICallStyles & osOCI90) || !c.XMLTypeCreateFromSrc)
    RaiseError("Data type is not supported.");
  void* source = nullptr;
  platform::ScopeExit freeSource([&] {
    if (source) c.StringResize(env_, hOCIError, 0, &source);
  });
  check(c.StringAssignText(env_, hOCIError, reinterpret_cast<const OraText*>(text_.data()), ub4(text_.size()),
                           &source));
  void* instance = nullptr;
  check(c.XMLTypeCreateFromSrc(svc_, hOCIError, OCI_DURATION_SESSION, OCI_XMLTYPE_CREATE_OCISTRING, source, 0,
                               &instance));
  DA_ASSERT(instance != nullptr, "Object is not allocated");
  TakeInstance(instance, nullptr);
}

void TOraXML::readText() {
  constexpr ub4 OCI_DTYPE_PICKLE_STREAM = 74;
  using FromXMLType = sword (*)(void* err, void* stream, void* instance, ub4 flags);
  using StreamRead = sword (*)(void* err, void* stream, void* buffer, uint64_t* length, ub4 flags);
  using StreamClose = sword (*)(void* err, void* stream);
  std::string text;
  void* stream = nullptr;
  check(OCIDescriptorAlloc(env_, &stream, OCI_DTYPE_PICKLE_STREAM, 0, nullptr));
  platform::ScopeExit free([stream] { OCIDescriptorFree(stream, OCI_DTYPE_PICKLE_STREAM); });
  check(bound<FromXMLType>(OCIPStreamFromXMLType)(hOCIError, stream, instance_, 0));
  platform::ScopeExit close([stream] { bound<StreamClose>(OCIPStreamClose)(hOCIError, stream); });
  std::vector<char> chunk(65513);
  for (;;) {
    uint64_t length = chunk.size();
    check(bound<StreamRead>(OCIPStreamRead)(hOCIError, stream, chunk.data(), &length, 0));
    if (length == 0) break;
    text.append(chunk.data(), size_t(std::min<uint64_t>(length, chunk.size())));
  }
  text_ = std::move(text);
  needsReading_ = false;
}

// ---------------------------------------------------------------------------------------------
// TOraArray, TOraNestTable

void TOraArray::AllocObject() {
  CheckType();
  if (!OraType()->IsCollection()) RaiseError("Type of object must be Array");
  TOraObject::AllocObject();
}

int32_t TOraArray::Size() {
  CheckNotLost();
  if (!instance_) return 0;
  sb4 size = 0;
  check(ObjectCalls().CollSize(env_, hOCIError, instance_, &size));
  return size;
}

Variant TOraArray::ItemValue(int32_t index) {
  if (index < 0) RaiseError(SInvalidIndex);
  return AttrValue(itemPath(index));
}

bool TOraArray::ItemIsNull(int32_t index) {
  return ItemValue(index).isNull();
}

std::string TOraArray::ItemAsString(int32_t index) {
  if (index < 0) RaiseError(SInvalidIndex);
  const Position p = walk(itemPath(index), false);
  if (dataTypeAt(p) != dtString) RaiseError("Cannot convert type to String");
  const Variant v = valueAt(p);
  return v.isNull() ? std::string() : v.asString();
}

int32_t TOraArray::ItemAsInteger(int32_t index) {
  if (index < 0) RaiseError(SInvalidIndex);
  const Position p = walk(itemPath(index), false);
  if (dataTypeAt(p) != dtInteger && dataTypeAt(p) != dtFloat) RaiseError("Cannot convert type to Integer");
  const Variant v = valueAt(p);
  return v.isNull() ? 0 : v.asInt32();
}

double TOraArray::ItemAsFloat(int32_t index) {
  if (index < 0) RaiseError(SInvalidIndex);
  const Position p = walk(itemPath(index), false);
  if (dataTypeAt(p) != dtInteger && dataTypeAt(p) != dtFloat) RaiseError("Cannot convert type to Float");
  const Variant v = valueAt(p);
  return v.isNull() ? 0 : v.asDouble();
}

dataset::DateTime TOraArray::ItemAsDateTime(int32_t index) {
  if (index < 0) RaiseError(SInvalidIndex);
  const Position p = walk(itemPath(index), false);
  if (dataTypeAt(p) != dtDateTime) RaiseError("Cannot convert type to Date");
  const Variant v = valueAt(p);
  return v.isNull() ? dataset::DateTime{} : v.asDateTime();
}

TOraObject* TOraArray::ItemAsObject(int32_t index) {
  if (index < 0) RaiseError(SInvalidIndex);
  return AttrAsObject(itemPath(index));
}

void TOraArray::SetItemValue(int32_t index, const Variant& value) {
  if (index < 0) RaiseError(SInvalidIndex);
  SetAttributeValue(itemPath(index), value);
}

int32_t TOraArray::AppendItem() {
  CheckType();
  CheckNotLost();
  if (!instance_) AllocObject();
  // The new element's index counts the deleted elements of a nested table too.
  sb4 size = 0;
  check(ObjectCalls().CollSize(env_, hOCIError, instance_, &size));
  appendNullElement(ObjectCalls(), env_, svc_, OraType(), instance_);
  return size;
}

void TOraArray::AssignArray(TOraArray& source) {
  CheckType();
  source.requireInstance();
  CheckNotLost();
  if (!instance_) AllocObject();
  check(ObjectCalls().CollAssign(env_, hOCIError, source.instance_, instance_));
}

void TOraNestTable::AllocObject() {
  CheckType();
  if (OraType()->DataType != dataaccess::dtTable) RaiseError("Type of object must be Table");
  TOraObject::AllocObject();
}

int32_t TOraNestTable::Size() {
  CheckNotLost();
  if (!instance_) return 0;
  sb4 size = 0;
  check(ObjectCalls().TableSize(env_, hOCIError, instance_, &size));
  return size;
}

void TOraNestTable::DeleteItem(int32_t index) {
  requireInstance();
  if (index < 0) RaiseError(SInvalidIndex);
  check(ObjectCalls().TableDelete(env_, hOCIError, index, instance_));
}

int32_t TOraNestTable::Next(int32_t index) {
  CheckNotLost();
  if (!instance_) return -1;
  sb4 next = -1;
  int exists = 0;
  check(ObjectCalls().TableNext(env_, hOCIError, index, instance_, &next, &exists));
  return exists ? next : -1;
}

}  // namespace oracle
