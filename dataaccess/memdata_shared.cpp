#include "dataaccess/memdata_shared.h"

#include <climits>

#include "dataaccess/daconsts.h"
#include "platform/collation.h"

namespace dataaccess {
namespace {

std::function<void()> startWaitHook;
std::function<void()> stopWaitHook;
std::function<std::string()> appNameHook;

std::string upper(std::string_view s) {
  std::string u(s);
  platform::upperCaseText(platform::kUsEnglishLanguageId, u, SIZE_MAX);
  return u;
}

template <class Char>
void trimTrailing(Char* buf, int64_t length) {
  if (!buf) return;
  size_t n = 0;
  if (length < 0)
    while (buf[n]) ++n;
  else
    n = size_t(length);
  while (n > 0 && (buf[n - 1] == Char(' ') || buf[n - 1] == Char(0))) buf[--n] = Char(0);
}

}  // namespace

void TSharedObject::AddRef() {
  int32_t n = refCount_.load(std::memory_order_relaxed);
  do DA_ASSERT(n >= 1 && n < INT32_MAX, "Reference count out of range");
  while (!refCount_.compare_exchange_weak(n, n + 1, std::memory_order_relaxed));
}

bool TSharedObject::TryAddRef() {
  int32_t n = refCount_.load(std::memory_order_relaxed);
  do {
    if (n == 0) return false;
    DA_ASSERT(n >= 1 && n < INT32_MAX, "Reference count out of range");
  } while (!refCount_.compare_exchange_weak(n, n + 1, std::memory_order_relaxed));
  return true;
}

void TSharedObject::Release() {
  int32_t n = refCount_.load(std::memory_order_relaxed);
  do DA_ASSERT(n >= 1, "Release of an object with no reference");
  while (!refCount_.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel));
  if (n == 1) delete this;
}

TAttribute::~TAttribute() {
  if (holdsReference(objectType_)) objectType_->Release();
}

bool TAttribute::holdsReference(const TObjectType* type) const {
  return type && !(Owner && Owner->Name == type->Name);
}

void TAttribute::SetObjectType(TObjectType* type) {
  if (type == objectType_) return;
  if (holdsReference(type)) type->AddRef();
  if (holdsReference(objectType_)) objectType_->Release();
  objectType_ = type;
}

TAttribute& TObjectType::AddAttribute() {
  attributes_.push_back(std::make_unique<TAttribute>(this));
  return *attributes_.back();
}

TAttribute* TObjectType::FindAttribute(std::string_view path) const {
  const std::string full = upper(path);
  std::string_view rest = full;
  const TObjectType* type = this;
  for (;;) {
    std::string_view name;
    if (rest.starts_with('[')) {
      const size_t close = rest.find(']');
      if (close == std::string_view::npos) return nullptr;
      name = "ELEMENT";
      rest.remove_prefix(close + 1);
    } else {
      const size_t end = std::min(rest.find_first_of(".["), rest.size());
      name = rest.substr(0, end);
      rest.remove_prefix(end);
    }
    TAttribute* found = nullptr;
    for (const auto& a : type->attributes_)
      if (a->Name == name) {
        found = a.get();
        break;
      }
    if (!found || rest.empty()) return found;
    if (rest.starts_with('.')) rest.remove_prefix(1);
    if (found->DataType < dtObject || found->DataType > dtTable || !found->ObjectType()) return nullptr;
    type = found->ObjectType();
  }
}

TAttribute* TObjectType::AttributeByName(std::string_view path) const {
  TAttribute* a = FindAttribute(path);
  if (!a) RaiseMemDataError(DAMessage(SAttributeNotFound, path));
  return a;
}

TDBObject::TDBObject(TObjectType* type) {
  SetObjectType(type);
}

TDBObject::~TDBObject() {
  ReleaseObject(objectType_);
}

void TDBObject::SetObjectType(TObjectType* type) {
  if (type) type->AddRef();
  ReleaseObject(objectType_);
  objectType_ = type;
}

void TDBObject::GetAttributeValue(std::string_view, Variant& dest, bool& isBlank) {
  dest = Variant::null();
  isBlank = true;
}

void TDBObject::SetAttributeValue(std::string_view, const Variant&) {}

size_t WideStrLen(const char16_t* s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

char16_t* WideStrCopy(char16_t* dest, const char16_t* source) {
  size_t i = 0;
  do dest[i] = source[i];
  while (source[i++]);
  return dest;
}

char16_t* WideStrLCopy(char16_t* dest, const char16_t* source, size_t count) {
  size_t i = 0;
  for (; i < count && source[i]; ++i) dest[i] = source[i];
  dest[i] = 0;
  return dest;
}

void TrimTrailingBlanks(char* buf, int64_t length) {
  trimTrailing(buf, length);
}
void TrimTrailingBlanks(char16_t* buf, int64_t length) {
  trimTrailing(buf, length);
}

std::string TrimRightText(std::string_view s) {
  const size_t end = s.find_last_not_of(" \t\r\n");
  return std::string(end == std::string_view::npos ? std::string_view() : s.substr(0, end + 1));
}

std::string TrimText(std::string_view s) {
  const size_t begin = s.find_first_not_of(" \t\r\n");
  return begin == std::string_view::npos ? std::string() : TrimRightText(s.substr(begin));
}

std::string AsciiUpper(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return u;
}

void SetWaitHooks(std::function<void()> startWait, std::function<void()> stopWait) {
  startWaitHook = std::move(startWait);
  stopWaitHook = std::move(stopWait);
}

void SetAppNameHook(std::function<std::string()> appName) {
  appNameHook = std::move(appName);
}

void StartWait() {
  if (startWaitHook) startWaitHook();
}

void StopWait() {
  if (stopWaitHook) stopWaitHook();
}

std::string GetAppName() {
  return appNameHook ? appNameHook() : std::string();
}

}  // namespace dataaccess
