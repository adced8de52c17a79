#include "engine/tables/veldorsession.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/storage/veldorbitmap.h"
#include "engine/storage/veldorfile.h"
#include "platform/processinfo.h"
#include "platform/scopeguard.h"
#include "platform/tcpsocket.h"

namespace engine {

using platform::ScopeExit;

namespace {

// Overwrites the bytes of a secret before the memory is given back.
void wipe(std::string& secret) {
  std::fill(secret.begin(), secret.end(), '\0');
  // Keep the compiler from dropping the stores to memory that is about to be freed.
  asm volatile("" : : "r"(secret.data()) : "memory");
  secret.clear();
}

}  // namespace

// ---- TDataSession ----

TDataSession::TDataSession(uint8_t trackObjects)
    : trackObjects_(trackObjects),
      workingDirectory_(IncludePathDelimiter(platform::currentDirectory())),
      privateDirectory_(EngineString(platform::systemTempDirectory())) {}

TDataSession::~TDataSession() {
  Disconnect();
  for (auto& p : passwords_) wipe(p);
  wipe(remotePassword_);
}

std::string TDataSession::GetPrivateDirectory() const {
  return privateDirectory_.empty() ? workingDirectory_ : privateDirectory_;
}

void TDataSession::SetPrivateDirectory(std::string_view directory) {
  // Blanks alone count as empty: they would otherwise turn into the root folder.
  directory = TrimBlanks(directory);
  if (directory.empty()) return;
  std::string value = IncludePathDelimiter(directory);
  if (value != privateDirectory_) privateDirectory_ = std::move(value);
}

void TDataSession::SettingsChanged() {
  if (IsRemote()) SendSessionParams();
}

void TDataSession::SetProgressSteps(uint16_t steps) {
  if (steps == progressSteps_) return;
  progressSteps_ = steps;
  SettingsChanged();
}

uint32_t TDataSession::GetProgressStepPercent() const {
  return progressSteps_ == 0 ? 100 : 100 / progressSteps_;
}

void TDataSession::SetForceBufferFlush(uint8_t value) {
  if (value == forceBufferFlush_) return;
  forceBufferFlush_ = value;
  SettingsChanged();
}

void TDataSession::SetStrictChangeDetection(uint8_t value) {
  if (value == strictChangeDetection_) return;
  strictChangeDetection_ = value;
  SettingsChanged();
}

void TDataSession::SetLockRetryCount(uint8_t value) {
  if (value == lockRetryCount_) return;
  lockRetryCount_ = value;
  SettingsChanged();
}

void TDataSession::SetLockWaitTime(uint16_t milliseconds) {
  if (milliseconds == lockWaitTime_) return;
  lockWaitTime_ = milliseconds;
  SettingsChanged();
}

void TDataSession::SetLockProtocol(TLockProtocol protocol) {
  if (protocol == lockProtocol_) return;
  if (IsRemote() && serverVersion_ < kLockProtocolServerVersion) return;
  lockProtocol_ = protocol;
  SettingsChanged();
}

void TDataSession::SetSessionType(TSessionType type) {
  if (!connected_) sessionType_ = type;
}

void TDataSession::SetRemoteType(bool lan) {
  if (!connected_) lan_ = lan;
}

void TDataSession::SetRemoteHost(std::string_view host) {
  remoteHost_ = EngineString(host);
}
void TDataSession::SetRemoteAddress(std::string_view address) {
  remoteAddress_ = EngineString(address);
}
void TDataSession::SetRemoteService(std::string_view service) {
  remoteService_ = EngineString(service);
}
void TDataSession::SetRemoteUser(std::string_view user) {
  remoteUser_ = EngineString(user);
}
void TDataSession::SetRemotePassword(std::string_view password) {
  wipe(remotePassword_);
  remotePassword_ = EngineString(password);
}

// ---- Passwords ----

void TDataSession::remotePasswordRequest(uint16_t code, std::string_view password) {
  EnsureConnected();
  SetRequestCode(code);
  BeginRequest();
  if (code != REQUEST_DELALLPASSWORDS) WriteRequestText(password);
  EndRequest();
  // The password leaves the request buffer however the exchange ends.
  ScopeExit wipeRequest([&] { std::fill(request_.begin(), request_.end(), 0); });
  Exchange();
  CheckReplyError();
}

void TDataSession::AddPassword(std::string_view password) {
  if (IsRemote()) return remotePasswordRequest(REQUEST_ADDPASSWORD, password);
  std::string value = EngineString(password);
  if (value.empty() || PasswordExists(value)) return;
  passwords_.push_back(std::move(value));
}

void TDataSession::RemovePassword(std::string_view password) {
  if (IsRemote()) return remotePasswordRequest(REQUEST_DELPASSWORD, password);
  std::string value = EngineString(password);
  auto found = std::find(passwords_.begin(), passwords_.end(), value);
  if (found == passwords_.end()) return;
  wipe(*found);
  passwords_.erase(found);
}

void TDataSession::RemoveAllPasswords() {
  if (IsRemote()) return remotePasswordRequest(REQUEST_DELALLPASSWORDS, {});
  while (!passwords_.empty()) {
    wipe(passwords_.back());
    passwords_.pop_back();
  }
}

bool TDataSession::PasswordExists(std::string_view password) const {
  std::string value = EngineString(password);
  return std::find(passwords_.begin(), passwords_.end(), value) != passwords_.end();
}

// ---- Hooks ----

void TDataSession::CallDatabaseNameHook(std::string& name) const {
  if (!databaseNameHook_) return;
  databaseNameHook_(name);
  name = EngineString(name);
}

void TDataSession::CallDatabaseDirectoryHook(const std::string& name, std::string& directory) const {
  if (!databaseDirectoryHook_) return;
  databaseDirectoryHook_(name, directory);
  directory = EngineString(directory);
}

void TDataSession::CallDatabaseOpenedHook(const std::string& name, uint8_t& flag) const {
  if (databaseOpenedHook_) databaseOpenedHook_(name, flag);
}

void TDataSession::CallStatementHook(TQueryStatement* statement, int kind) const {
  if (statementHook_) statementHook_(statement, kind);
}

// ---- Engine unit ----

namespace {

// Changed under the mutex only. `started` and `current` are also atomics so that the components,
// which make their session the default around every call, can see without the mutex that it
// already is.
struct EngineState {
  std::mutex mutex;
  std::atomic<bool> started = false;
  std::unique_ptr<TDataSession> ownDefault;      // the one StartUpEngine made
  std::atomic<TDataSession*> current = nullptr;  // the default session now
};

EngineState& engineState() {
  static EngineState state;
  return state;
}

}  // namespace

void StartUpEngine() {
  EngineState& s = engineState();
  std::lock_guard lock(s.mutex);
  if (s.started) return;
  s.ownDefault = std::make_unique<TDataSession>(0);
  s.current = s.ownDefault.get();
  s.started = true;
}

void ShutDownEngine() {
  EngineState& s = engineState();
  std::lock_guard lock(s.mutex);
  if (!s.started) return;
  s.current = nullptr;
  s.ownDefault.reset();
  // The storage layer's process-wide objects: every file object (in-memory files lose their
  // contents), the collation maps and the spare record bitmaps.
  EngineFileList().Clear();
  LanguageCharMaps().Clear();
  RecordsBitmapStack().Clear();
  s.started = false;
}

bool EngineStarted() {
  EngineState& s = engineState();
  std::lock_guard lock(s.mutex);
  return s.started;
}

TDataSession& GetDefaultSession() {
  EngineState& s = engineState();
  TDataSession* session = nullptr;
  {
    std::lock_guard lock(s.mutex);
    if (s.started) session = s.current;
  }
  if (session == nullptr) SignalEngineError(VELDOR_NOTINITIALIZED);
  return *session;
}

void SetDefaultSession(TDataSession* session) {
  EngineState& s = engineState();
  std::lock_guard lock(s.mutex);
  s.current = session;
}

TDataSession* ExchangeDefaultSession(TDataSession* session) {
  EngineState& s = engineState();
  // The default already: the exchange would change nothing and hand back `session`.
  if (session != nullptr && s.current.load(std::memory_order_acquire) == session &&
      s.started.load(std::memory_order_acquire))
    return session;
  TDataSession* previous = nullptr;
  {
    std::lock_guard lock(s.mutex);
    if (!s.started || s.current != nullptr) {
      if (s.started) previous = s.current;
      s.current = session;
      return previous;
    }
  }
  SignalEngineError(VELDOR_NOTINITIALIZED);
}

void RestoreDefaultSession(TDataSession* previous) {
  EngineState& s = engineState();
  if (s.current.load(std::memory_order_acquire) == previous) return;
  std::lock_guard lock(s.mutex);
  if (s.started) s.current = previous;
}

std::unique_ptr<TDataSession> CreateDataSession(uint8_t trackObjects) {
  return std::make_unique<TDataSession>(trackObjects);
}

void FreeDataSession(std::unique_ptr<TDataSession>& session) {
  session.reset();
}

}  // namespace engine
