// Reference-counted values that record slots point at, object-type descriptions, and the small
// helpers the record store shares (wide strings, blank trimming, the long-operation hooks).
//
// A TSharedObject starts with one reference; AddRef adds one, Release drops one and the last
// release destroys the object. The count never wraps: adding past its maximum or releasing an
// object with no reference left is an EDAAssertionFailed. The count itself is atomic, so two
// threads may add and release references to one object; everything else about these objects is
// used by one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/variant.h"
#include "platform/scopeguard.h"

namespace dataaccess {

using dataset::Variant;

class TSharedObject {
 public:
  TSharedObject() = default;
  TSharedObject(const TSharedObject&) = delete;
  TSharedObject& operator=(const TSharedObject&) = delete;

  int32_t RefCount() const { return refCount_.load(std::memory_order_relaxed); }
  void AddRef();
  // Adds a reference unless the last one is already gone (the object is on its way to being
  // destroyed, still reachable from a registry it leaves in its destructor): false then.
  bool TryAddRef();
  // Drops one reference; the last one destroys the object.
  void Release();

 protected:
  // Only Release destroys a shared object.
  virtual ~TSharedObject() = default;

 private:
  std::atomic<int32_t> refCount_{1};
};

// Release that accepts nullptr.
inline void ReleaseObject(TSharedObject* object) {
  if (object) object->Release();
}

// One variant held by reference from a record.
class TVariantObject : public TSharedObject {
 public:
  Variant Value;
};

// The address of the object's value, or nullptr for no object.
inline Variant* ValuePtr(TVariantObject* object) {
  return object ? &object->Value : nullptr;
}

// Data type codes of object types and of the attributes that lead into another type.
inline constexpr uint16_t dtObject = 15;
inline constexpr uint16_t dtReference = 16;
inline constexpr uint16_t dtArray = 17;
inline constexpr uint16_t dtTable = 18;

class TObjectType;

class TAttribute {
 public:
  explicit TAttribute(TObjectType* owner) : Owner(owner) {}
  ~TAttribute();
  TAttribute(const TAttribute&) = delete;
  TAttribute& operator=(const TAttribute&) = delete;

  // The type of an object, reference, array or table attribute. A reference is held unless the
  // type is the attribute's own owner type (same name), so a type that refers to itself holds no
  // reference cycle.
  TObjectType* ObjectType() const { return objectType_; }
  void SetObjectType(TObjectType* type);

  std::string Name;
  uint16_t DataType = 0;
  uint16_t Length = 0;
  bool Fixed = false;
  TObjectType* const Owner;

 private:
  bool holdsReference(const TObjectType* type) const;
  TObjectType* objectType_ = nullptr;
};

// An object, reference, array or nested-table type with its attributes.
class TObjectType : public TSharedObject {
 public:
  // The attribute a path names: components separated by "." descend into object types, and "[n]"
  // stands for the element of a collection ("LINES[3].QTY"). Names compare upper-cased. nullptr
  // when any component is unknown or leads into a type that has no attributes.
  TAttribute* FindAttribute(std::string_view path) const;
  // As FindAttribute; an unknown path raises "Attribute %s not found.".
  TAttribute* AttributeByName(std::string_view path) const;

  TAttribute& AddAttribute();
  int AttributeCount() const { return int(attributes_.size()); }
  TAttribute& Attribute(int index) const { return *attributes_.at(size_t(index)); }
  void ClearAttributes() { attributes_.clear(); }

  std::string Name;
  uint16_t DataType = dtObject;
  int32_t Size = 0;  // declared element count of an array type

 protected:
  ~TObjectType() override { ClearAttributes(); }

 private:
  std::vector<std::unique_ptr<TAttribute>> attributes_;
};

// The base of object instances; drivers read and write attribute values through it.
class TDBObject : public TSharedObject {
 public:
  explicit TDBObject(TObjectType* type = nullptr);

  TObjectType* ObjectType() const { return objectType_; }
  void SetObjectType(TObjectType* type);

  // Here: every attribute is null and writes are ignored.
  virtual void GetAttributeValue(std::string_view path, Variant& dest, bool& isBlank);
  virtual void SetAttributeValue(std::string_view path, const Variant& source);

 protected:
  ~TDBObject() override;

 private:
  TObjectType* objectType_ = nullptr;
};

// Zero-terminated 16-bit strings.
size_t WideStrLen(const char16_t* s);
// Copies up to and including the terminator; returns dest.
char16_t* WideStrCopy(char16_t* dest, const char16_t* source);
// Copies at most `count` characters, then a terminator (dest holds count + 1); returns dest.
char16_t* WideStrLCopy(char16_t* dest, const char16_t* source, size_t count);

// Overwrites the trailing blanks and NULs of the first `length` units with NULs; -1 means up to
// the terminator.
void TrimTrailingBlanks(char* buf, int64_t length = -1);
void TrimTrailingBlanks(char16_t* buf, int64_t length = -1);

// The text without leading and trailing (or only trailing) blanks, tabs and line breaks.
std::string TrimText(std::string_view s);
std::string TrimRightText(std::string_view s);
// ASCII letters upper-cased; other bytes kept.
std::string AsciiUpper(std::string_view s);

// Runs its exit on every path out of a scope.
using platform::ScopeExit;

// Hooks around long operations and the application's name; empty until installed.
void SetWaitHooks(std::function<void()> startWait, std::function<void()> stopWait);
void SetAppNameHook(std::function<std::string()> appName);
void StartWait();
void StopWait();
std::string GetAppName();

}  // namespace dataaccess
