// Feeds arbitrary type descriptions to the object-type reader, as a damaged or hostile server may
// describe them: every describe answer (type codes, attribute counts, names, sizes, nested type
// names that may lead back into the type being described) comes from the input, and what is left
// of it is an attribute path walked over a null object of the type. Describing gives a type whose
// layout holds together or a clean error, a path is null or refused, and every type is freed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "oracle/oraerror.h"
#include "oracle/oraobjects.h"

namespace {

using namespace oracle;

void check(bool ok) {
  if (!ok) std::abort();
}

struct Script {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t at = 0;
  std::vector<std::string> texts;  // names handed out stay put until the next input

  bool take(void* to, size_t n) {
    if (size - at < n) return false;
    std::memcpy(to, data + at, n);
    at += n;
    return true;
  }
  template <class T>
  bool value(T& v) {
    return take(&v, sizeof v);
  }
  // A short name over a small alphabet, so that nested types often meet the ones described before.
  bool name(const OraText*& text, ub4& length) {
    uint8_t n = 0;
    if (!value(n)) return false;
    std::string s;
    const size_t len = n & 7;
    for (size_t i = 0; i < len; ++i) {
      uint8_t c = 0;
      if (!value(c)) return false;
      s += (n & 0x80) ? char(c) : char('A' + c % 3);
    }
    texts.push_back(s);
    text = reinterpret_cast<const OraText*>(texts.back().data());
    length = ub4(texts.back().size());
    return true;
  }
};

Script script;
int token = 0, env = 0, svc = 0;

template <class T>
void put(void* to, T v) {
  std::memcpy(to, &v, sizeof v);
}

sword attrGet(const void*, ub4 type, void* attribute, ub4* size, ub4 attr, void*) {
  if (type == OCI_HTYPE_SVCCTX && attr == OCI_ATTR_ENV) {
    put<void*>(attribute, &env);
    return OCI_SUCCESS;
  }
  switch (attr) {
    case OCI_ATTR_PARAM:
    case OCI_ATTR_LIST_TYPE_ATTRS:
    case OCI_ATTR_COLLECTION_ELEMENT:
      put<void*>(attribute, &token);
      return OCI_SUCCESS;
    case OCI_ATTR_TYPECODE: {
      uint8_t pick = 0;
      ub2 raw = 0;
      if (!script.value(pick)) return OCI_ERROR;
      if (pick % 4 == 3 && !script.value(raw)) return OCI_ERROR;
      put<ub2>(attribute, pick % 4 == 0 ? 108 : pick % 4 == 1 || pick % 4 == 2 ? 122 : raw);
      return OCI_SUCCESS;
    }
    case OCI_ATTR_COLLECTION_TYPECODE: {
      uint8_t pick = 0;
      if (!script.value(pick)) return OCI_ERROR;
      put<ub2>(attribute, pick % 3 == 0 ? 247 : pick % 3 == 1 ? 248 : pick);
      return OCI_SUCCESS;
    }
    case OCI_ATTR_DATA_TYPE: {
      static const ub2 codes[] = {1, 96, 2, 12, 23, 108, 110, 113, 112, 187, 189, 190, 188, 232};
      uint8_t pick = 0;
      if (!script.value(pick)) return OCI_ERROR;
      put<ub2>(attribute, pick < 240 ? codes[pick % std::size(codes)] : ub2(pick));
      return OCI_SUCCESS;
    }
    case OCI_ATTR_NAME:
    case OCI_ATTR_TYPE_NAME:
    case OCI_ATTR_SCHEMA_NAME: {
      const OraText* text = nullptr;
      ub4 length = 0;
      if (!script.name(text, length)) return OCI_ERROR;
      put(attribute, text);
      if (size) *size = length;
      return OCI_SUCCESS;
    }
    case OCI_ATTR_NUM_TYPE_ATTRS: {
      uint8_t n = 0;
      if (!script.value(n)) return OCI_ERROR;
      put<ub2>(attribute, n);
      return OCI_SUCCESS;
    }
    case OCI_ATTR_NUM_ELEMS:
    case OCI_ATTR_DATA_SIZE:
    case OCI_ATTR_PRECISION:
    case OCI_ATTR_SCALE:
    case OCI_ATTR_IS_FINAL_TYPE: {
      const size_t n = attr == OCI_ATTR_NUM_ELEMS ? 4 : attr == OCI_ATTR_DATA_SIZE ? 2 : 1;
      return script.take(attribute, n) ? OCI_SUCCESS : OCI_ERROR;
    }
  }
  return OCI_ERROR;
}

sword paramGet(const void*, ub4, void*, void** param, ub4) {
  *param = &token;
  return script.at < script.size ? OCI_SUCCESS : OCI_ERROR;
}
sword handleAlloc(const void*, void** handle, ub4, size_t, void**) {
  *handle = &token;
  return OCI_SUCCESS;
}
sword handleFree(void*, ub4) {
  return OCI_SUCCESS;
}
sword typeByName(void*, void*, void*, const OraText*, ub4, const OraText*, ub4, const OraText*, ub4, ub2, int,
                 void** tdo) {
  *tdo = &token;
  return script.at < script.size ? OCI_SUCCESS : OCI_ERROR;
}
sword describeAny(void*, void*, void*, ub4, ub1, ub1, ub1, void*) {
  return OCI_SUCCESS;
}
sword errorGet(void*, ub4, OraText*, sb4* code, OraText* buffer, ub4 size, ub4) {
  std::snprintf(reinterpret_cast<char*>(buffer), size, "ORA-22303: type description ended");
  *code = 22303;
  return OCI_SUCCESS;
}

TOraObjectCalls calls() {
  TOraObjectCalls c{};
  c.AttrGet = attrGet;
  c.ParamGet = paramGet;
  c.HandleAlloc = handleAlloc;
  c.HandleFree = handleFree;
  c.TypeByName = typeByName;
  c.DescribeAny = describeAny;
  return c;
}

void checkLayout(const TOraType& t) {
  int32_t end = 0, indEnd = t.IsCollection() ? 0 : 2;
  for (int i = 0; i < t.AttributeCount(); ++i) {
    const TOraAttributeLayout& l = t.Layout(i);
    if (t.IsCollection()) {
      check(t.AttributeCount() == 1 && l.Offset == 0 && !l.Embedded);
      continue;
    }
    check(l.Offset >= end && l.IndOffset == indEnd && l.DataSize > 0);
    end = l.Offset + l.DataSize;
    if (l.Embedded) {
      check(t.AttrType(i) != nullptr && l.DataSize >= t.AttrType(i)->DataSize());
      indEnd += t.AttrType(i)->IndicatorSize();
      checkLayout(*t.AttrType(i));
    } else {
      indEnd += 2;
    }
  }
  if (!t.IsCollection()) check(t.DataSize() >= end && t.IndicatorSize() == indEnd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TOraObjectCalls table = calls();
  SetObjectCalls(&table);
  OCIErrorGet = errorGet;
  OCICallStyle = OCI80;
  script = Script{data, size, 0, {}};
  script.texts.reserve(size + 1);  // names must not move while types point at them
  PossibleOCICallStyles = (size > 0 && (data[0] & 1)) ? uint8_t(osOCI8 | osOCI90) : osOCI8;
  try {
    TOraType* type = TOraType::Create(&svc, "A");
    checkLayout(*type);
    // The rest of the input is an attribute path, walked over a null object of the type: the walk
    // checks every name and index against the types without reading the instance.
    const std::string path(reinterpret_cast<const char*>(data) + script.at, size - script.at);
    std::vector<uint8_t> instance(size_t(std::max(type->DataSize(), int32_t(sizeof(void*)))));
    int16_t nullIndicator = -1;
    auto* object = new TOraObject(type);
    type->Release();
    object->SetInstance(instance.data(), &nullIndicator);
    try {
      check(object->AttrIsNull(path));
    } catch (const std::exception&) {
      // an invalid path
    }
    object->Release();
  } catch (const std::exception&) {
    // a clean refusal
  }
  TObjectTypes::ClearTypes(&svc);
  check(TObjectTypes::Count() == 0);
  return 0;
}
