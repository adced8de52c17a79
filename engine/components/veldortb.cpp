// Sessions, the session list and databases.
#include "engine/components/veldortb.h"

#include <algorithm>

#include "dataset/dberror.h"
#include "engine/tables/veldordirectory.h"
#include "platform/scopeguard.h"

namespace engine::components {

using dataset::DatabaseError;
using dataset::DatabaseErrorFmt;
using dataset::SameName;
using platform::UndoOnFailure;

namespace {

constexpr size_t kEngineText = 255;

std::string cut(const std::string& text) {
  return text.substr(0, std::min(text.size(), kEngineText));
}

std::mutex handlerLock;
TPasswordDialogHandler& passwordDialog() {
  static TPasswordDialogHandler handler;
  return handler;
}

}  // namespace

void SetPasswordDialogHandler(TPasswordDialogHandler handler) {
  std::lock_guard lock(handlerLock);
  passwordDialog() = std::move(handler);
}

// ---- Session list ----

TVELDORSessionList& TVELDORSessionList::Instance() {
  static TVELDORSessionList list;
  return list;
}

namespace {
// Set while the list makes the default session, which the list registers itself.
bool makingDefault = false;
}  // namespace

TVELDORSessionList::TVELDORSessionList() {
  makingDefault = true;
  default_ = new TVELDORSession("Session");
  makingDefault = false;
  default_->sessionName_ = std::string(kDefaultSessionName);
  sessions_.push_back(default_);
}

// The list and the default session stay until the process ends: static objects of the engine
// below (its state, its file list) may already be gone when this one would be destroyed, so no
// engine call may run here. The engine's own state releases what it still holds.
TVELDORSessionList::~TVELDORSessionList() = default;

void TVELDORSessionList::Add(TVELDORSession* session) {
  std::lock_guard lock(listLock_);
  sessions_.push_back(session);
}

void TVELDORSessionList::Remove(TVELDORSession* session) {
  std::lock_guard lock(listLock_);
  std::erase(sessions_, session);
}

std::vector<TVELDORSession*> TVELDORSessionList::Sessions() const {
  std::lock_guard lock(listLock_);
  return sessions_;
}

TVELDORSession* TVELDORSessionList::FindSession(std::string_view name) const {
  if (name.empty()) return default_;
  std::lock_guard lock(listLock_);
  for (TVELDORSession* s : sessions_)
    if (SameName(s->SessionName(), name)) return s;
  return nullptr;
}

TVELDORSession& TVELDORSessionList::GetSession(std::string_view name) const {
  TVELDORSession* s = FindSession(name);
  if (!s) DatabaseErrorFmt(SInvalidSessionName, name);
  return *s;
}

int TVELDORSessionList::TakeSessionNumber() {
  std::lock_guard lock(listLock_);
  auto free = std::find(usedNumbers_.begin(), usedNumbers_.end(), false);
  const int number = int(free - usedNumbers_.begin());
  if (free == usedNumbers_.end())
    usedNumbers_.push_back(true);
  else
    *free = true;
  return number;
}

void TVELDORSessionList::ReleaseSessionNumber(int number) {
  std::lock_guard lock(listLock_);
  if (number >= 0 && size_t(number) < usedNumbers_.size()) usedNumbers_[size_t(number)] = false;
}

TVELDORSession& Session() {
  return TVELDORSessionList::Instance().DefaultSession();
}

TSessionLock::TSessionLock(TVELDORSession& session) : lock_(TVELDORSessionList::Instance().SessionLock()) {
  if (!session.Active()) session.Open();
  previous_ = ExchangeDefaultSession(session.EngineSession());
}

TSessionLock::~TSessionLock() {
  if (previous_) RestoreDefaultSession(previous_);
}

// ---- Session ----

TVELDORSession::TVELDORSession(std::string componentName) : componentName_(std::move(componentName)) {
  if (!makingDefault) TVELDORSessionList::Instance().Add(this);
}

TVELDORSession::~TVELDORSession() {
  deactivate();
  if (autoNumber_ >= 0) TVELDORSessionList::Instance().ReleaseSessionNumber(autoNumber_);
  TVELDORSessionList::Instance().Remove(this);
}

bool TVELDORSession::IsDefault() const {
  return TVELDORSessionList::Instance().FindSession({}) == this;
}

void TVELDORSession::SetName(std::string name) {
  componentName_ = std::move(name);
  if (autoNumber_ >= 0) makeAutoName();
}

void TVELDORSession::checkInactive() const {
  if (Active()) DatabaseError(SSessionActive);
}

void TVELDORSession::SetSessionName(const std::string& name) {
  checkInactive();
  if (autoNumber_ >= 0) DatabaseError(SAutoSessionActive);
  TVELDORSession* other = TVELDORSessionList::Instance().FindSession(name);
  if (!name.empty() && other && other != this) DatabaseErrorFmt(SDuplicateSessionName, name);
  sessionName_ = name;
}

void TVELDORSession::makeAutoName() {
  sessionName_ = componentName_ + "_" + std::to_string(autoNumber_ + 1);
}

void TVELDORSession::SetAutoSessionName(bool value) {
  if (value == AutoSessionName()) return;
  checkInactive();
  if (value) {
    autoNumber_ = TVELDORSessionList::Instance().TakeSessionNumber();
    makeAutoName();
  } else {
    TVELDORSessionList::Instance().ReleaseSessionNumber(autoNumber_);
    autoNumber_ = -1;
  }
}

void TVELDORSession::SetActive(bool value) {
  if (value == Active()) return;
  value ? activate() : deactivate();
}

void TVELDORSession::activate() {
  std::lock_guard lock(TVELDORSessionList::Instance().SessionLock());
  if (OnStartup) OnStartup(*this);
  if (sessionName_.empty()) DatabaseError(SSessionNameMissing);
  if (!IsDefault()) Session().Open();
  std::unique_ptr<TDataSession> own;
  TDataSession* engineSession = nullptr;
  bool startsEngine = false;
  if (IsDefault()) {
    startsEngine = !EngineStarted();
    StartUpEngine();
    engineSession = &GetDefaultSession();
  } else {
    own = CreateDataSession(0);
    engineSession = own.get();
  }
  UndoOnFailure undo([&] {
    engineSession_ = nullptr;
    if (startsEngine) ShutDownEngine();
  });
  {
    if (sessionType_ == stRemote) {
      engineSession->SetRemoteType(remoteType_ == rtLAN);
      engineSession->SetRemoteHost(cut(remoteHost_));
      engineSession->SetRemoteAddress(cut(remoteAddress_));
      engineSession->SetRemotePort(remotePort_);
      engineSession->SetRemoteService(cut(remoteService_));
      engineSession->SetRemoteTrace(remoteTrace_);
      engineSession->SetRemoteUser(cut(remoteUser_));
      engineSession->SetRemotePassword(cut(remotePassword_));
      engineSession->SetSessionType(stRemote);
      engineSession->Connect();
      engineSession->SetRemoteTraceEvent([this](const std::string& line) {
        if (OnRemoteTrace) OnRemoteTrace(*this, line);
      });
      engineSession->SetRemoteLoginEvent([this](std::string& user, std::string& password) {
        bool doContinue = true;
        if (OnRemoteLogin) OnRemoteLogin(*this, user, password, doContinue);
        user = cut(user);
        password = cut(password);
        return OnRemoteLogin && doContinue;
      });
      engineSession->Login();
      engineSession->SetRemoteLoginEvent(nullptr);
    } else {
      engineSession->SetSessionType(stLocal);
    }
    engineSession_ = engineSession;
    applySettings();
  }
  ownSession_ = std::move(own);
  ownsEngine_ = startsEngine;
}

void TVELDORSession::applySettings() {
  if (!privateDir_.empty()) engineSession_->SetPrivateDirectory(cut(privateDir_));
  engineSession_->SetStrictChangeDetection(strictChangeDetection_);
  engineSession_->SetForceBufferFlush(forceBufferFlush_);
  engineSession_->SetLockRetryCount(lockRetryCount_);
  engineSession_->SetLockWaitTime(lockWaitTime_);
  engineSession_->SetLockProtocol(lockProtocol_);
  engineSession_->SetProgressSteps(progressSteps_);
}

void TVELDORSession::deactivate() {
  if (!Active()) return;
  std::lock_guard lock(TVELDORSessionList::Instance().SessionLock());
  if (IsDefault())
    for (TVELDORSession* s : TVELDORSessionList::Instance().Sessions())
      if (s != this) s->deactivate();
  for (size_t i = databases_.size(); i-- > 0;) {
    if (i >= databases_.size()) continue;
    TVELDORDatabase* d = databases_[i];
    if (d->temporary_)
      std::erase_if(temporaries_, [d](const auto& p) { return p.get() == d; });
    else
      d->Close();
  }
  if (engineSession_->IsRemote()) {
    engineSession_->Logout();
    engineSession_->SetRemoteTraceEvent(nullptr);
  }
  engineSession_ = nullptr;
  ownSession_.reset();
  if (ownsEngine_) ShutDownEngine();
  ownsEngine_ = false;
  if (!IsDefault() && Session().Active()) SetDefaultSession(Session().EngineSession());
}

// A changed setting reaches an active engine session at once.
#define VELDOR_SETTING(Setter, member, engineCall)                      \
  void TVELDORSession::Setter(decltype(member) value) {                 \
    if (member == value) return;                                        \
    member = value;                                                     \
    if (!Active()) return;                                              \
    std::lock_guard lock(TVELDORSessionList::Instance().SessionLock()); \
    engineSession_->engineCall;                                         \
  }
VELDOR_SETTING(SetLockRetryCount, lockRetryCount_, SetLockRetryCount(value))
VELDOR_SETTING(SetLockWaitTime, lockWaitTime_, SetLockWaitTime(value))
VELDOR_SETTING(SetLockProtocol, lockProtocol_, SetLockProtocol(value))
VELDOR_SETTING(SetForceBufferFlush, forceBufferFlush_, SetForceBufferFlush(value))
VELDOR_SETTING(SetStrictChangeDetection, strictChangeDetection_, SetStrictChangeDetection(value))
VELDOR_SETTING(SetRemoteTrace, remoteTrace_, SetRemoteTrace(value))
#undef VELDOR_SETTING

void TVELDORSession::SetProgressSteps(uint16_t value) {
  if (value > 100 || value == progressSteps_) return;
  progressSteps_ = value;
  if (!Active()) return;
  std::lock_guard lock(TVELDORSessionList::Instance().SessionLock());
  engineSession_->SetProgressSteps(value);
}

void TVELDORSession::SetPrivateDir(const std::string& value) {
  privateDir_ = value;
  if (!Active()) return;
  std::lock_guard lock(TVELDORSessionList::Instance().SessionLock());
  engineSession_->SetPrivateDirectory(cut(value));
}

void TVELDORSession::SetSessionType(TSessionType value) {
  checkInactive();
  sessionType_ = value;
}
void TVELDORSession::SetRemoteType(TRemoteType value) {
  checkInactive();
  remoteType_ = value;
}
void TVELDORSession::SetRemoteHost(const std::string& value) {
  checkInactive();
  remoteHost_ = value;
}
void TVELDORSession::SetRemoteAddress(const std::string& value) {
  checkInactive();
  remoteAddress_ = value;
}
void TVELDORSession::SetRemotePort(uint32_t value) {
  checkInactive();
  remotePort_ = value;
}
void TVELDORSession::SetRemoteService(const std::string& value) {
  checkInactive();
  remoteService_ = value;
}
void TVELDORSession::SetRemoteUser(const std::string& value) {
  checkInactive();
  remoteUser_ = value;
}
void TVELDORSession::SetRemotePassword(const std::string& value) {
  checkInactive();
  remotePassword_ = value;
}

void TVELDORSession::AddPassword(const std::string& password) {
  TSessionLock lock(*this);
  engineSession_->AddPassword(cut(password));
}

void TVELDORSession::RemovePassword(const std::string& password) {
  TSessionLock lock(*this);
  engineSession_->RemovePassword(cut(password));
}

void TVELDORSession::RemoveAllPasswords() {
  TSessionLock lock(*this);
  engineSession_->RemoveAllPasswords();
}

bool TVELDORSession::PasswordRequest() {
  if (OnPassword) {
    bool doContinue = false;
    OnPassword(*this, doContinue);
    return doContinue;
  }
  TPasswordDialogHandler handler;
  {
    std::lock_guard lock(handlerLock);
    handler = passwordDialog();
  }
  return handler && handler(*this);
}

TVELDORDatabase* TVELDORSession::FindDatabase(std::string_view name) const {
  for (TVELDORDatabase* d : databases_)
    if (d->Named(name)) return d;
  return nullptr;
}

TVELDORDatabase& TVELDORSession::OpenDatabase(const std::string& name) {
  TSessionLock lock(*this);
  TVELDORDatabase* database = FindDatabase(name);
  for (TVELDORDatabase* d : databases_)
    if (d->Named(name) && d->HandleShared) database = d;
  if (!database) {
    auto temporary = std::make_unique<TVELDORDatabase>(this);
    temporary->temporary_ = true;
    temporary->databaseName_ = name;
    temporary->keepConnection_ = KeepConnections;
    if (sessionType_ == stRemote)
      temporary->remoteDatabase_ = name;
    else if (!SameName(name, kMemoryDatabaseName))
      temporary->directory__ = name;
    database = temporary.get();
    temporaries_.push_back(std::move(temporary));
  }
  {
    UndoOnFailure drop([&] {
      if (database->temporary_)
        std::erase_if(temporaries_, [database](const auto& p) { return p.get() == database; });
    });
    database->Open();
  }
  ++database->useCount_;
  return *database;
}

void TVELDORSession::CloseDatabase(TVELDORDatabase& database) {
  if (database.useCount_ > 0) --database.useCount_;
  if (database.useCount_ > 0 || database.keepConnection_ || database.destroying_) return;
  if (database.temporary_) {
    TVELDORDatabase* d = &database;
    std::erase_if(temporaries_, [d](const auto& p) { return p.get() == d; });
  } else {
    database.Close();
  }
}

void TVELDORSession::addDatabase(TVELDORDatabase* database) {
  databases_.push_back(database);
}

void TVELDORSession::removeDatabase(TVELDORDatabase* database) {
  std::erase(databases_, database);
}

// ---- Database ----

TVELDORDatabase::TVELDORDatabase(TVELDORSession* session)
    : session_(session ? session : &components::Session()) {
  sessionName_ = session_->SessionName();
  session_->addDatabase(this);
}

TVELDORDatabase::~TVELDORDatabase() {
  destroying_ = true;
  try {
    Close();
  } catch (...) {
    // Closing an engine directory raises only for a remote session whose server has gone; the
    // component goes either way.
  }
  session_->removeDatabase(this);
}

bool TVELDORDatabase::Named(std::string_view name) const {
  return SameName(databaseName_, name);
}

void TVELDORDatabase::SetConnected(bool value) {
  if (value == Connected()) return;
  value ? connect() : disconnect();
}

void TVELDORDatabase::connect() {
  if (BeforeConnect) BeforeConnect(*this);
  if (databaseName_.empty() && !temporary_) DatabaseError(SDatabaseNameMissing);
  TVELDORSession& target = TVELDORSessionList::Instance().GetSession(sessionName_);
  if (&target != session_) {
    session_->removeDatabase(this);
    session_ = &target;
    session_->addDatabase(this);
  }
  for (TVELDORDatabase* other : session_->databases_) {
    if (other == this || !other->Named(databaseName_)) continue;
    if (other->HandleShared && HandleShared) continue;
    DatabaseErrorFmt(SDuplicateDatabaseName, databaseName_);
  }
  TSessionLock lock(*session_);
  if (HandleShared) {
    for (TVELDORDatabase* other : session_->databases_) {
      if (other != this && other->HandleShared && other->Connected() && other->Named(databaseName_)) {
        directory_ = other->directory_;
        borrowed_ = true;
        return;
      }
    }
  }
  TDataSession& engineSession = *session_->EngineSession();
  if (engineSession.IsRemote()) {
    std::string name = remoteDatabase_;
    const auto first = name.find_first_not_of(' ');
    name = first == std::string::npos ? std::string()
                                      : name.substr(first, name.find_last_not_of(' ') - first + 1);
    if (!name.empty() && name.front() == '\\') name.erase(0, 1);
    if (!name.empty() && name.back() == '\\') name.pop_back();
    directory_ = engineSession.OpenDataDirectory(name, {});
  } else {
    const bool pathLike = databaseName_.find_first_of(":\\/") != std::string::npos;
    directory_ = engineSession.OpenDataDirectory(pathLike ? std::string() : databaseName_, directory__);
  }
  borrowed_ = false;
}

void TVELDORDatabase::disconnect() {
  for (size_t i = dataSets_.size(); i-- > 0;)
    if (i < dataSets_.size()) dataSets_[i]->Disconnect();
  if (!borrowed_ && directory_) {
    TSessionLock lock(*session_);
    session_->EngineSession()->CloseDataDirectory(directory_);
  }
  directory_ = nullptr;
  borrowed_ = false;
  useCount_ = 0;
}

void TVELDORDatabase::SetDatabaseName(const std::string& name) {
  if (Connected()) DatabaseError(SDatabaseOpen);
  if (!temporary_ && name.find_first_of(":\\/") != std::string::npos)
    DatabaseErrorFmt(SInvalidDatabaseName, name);
  for (TVELDORDatabase* other : session_->databases_)
    if (other != this && other->Named(name) && !(other->HandleShared && HandleShared))
      DatabaseErrorFmt(SDuplicateDatabaseName, name);
  databaseName_ = name;
}

void TVELDORDatabase::SetDirectory(const std::string& directory) {
  if (Connected()) DatabaseError(SDatabaseOpen);
  directory__ = directory;
}

void TVELDORDatabase::SetRemoteDatabase(const std::string& name) {
  if (Connected()) DatabaseError(SDatabaseOpen);
  remoteDatabase_ = name;
}

void TVELDORDatabase::SetSessionName(const std::string& name) {
  if (Connected()) DatabaseError(SDatabaseOpen);
  sessionName_ = name;
}

void TVELDORDatabase::StartTransaction() {
  if (!directory_) DatabaseError(SDatabaseClosed);
  TSessionLock lock(*session_);
  directory_->StartTransaction();
}

void TVELDORDatabase::Commit(bool forceFlush) {
  if (!directory_) DatabaseError(SDatabaseClosed);
  TSessionLock lock(*session_);
  if (directory_->InTransaction()) directory_->Commit(true, forceFlush);
}

void TVELDORDatabase::Rollback() {
  if (!directory_) DatabaseError(SDatabaseClosed);
  TSessionLock lock(*session_);
  if (directory_->InTransaction()) directory_->Rollback();
}

bool TVELDORDatabase::InTransaction() const {
  return directory_ != nullptr && directory_->InTransaction();
}

void TVELDORDatabase::SetKeepConnection(bool value) {
  keepConnection_ = value;
  if (!value && dataSets_.empty()) Close();
}

}  // namespace engine::components
