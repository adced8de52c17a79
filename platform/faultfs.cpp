#include "platform/faultfs.h"

#include <unistd.h>

#include <cerrno>

#include "platform/oserror.h"

namespace platform {

namespace {

int errorOf(Fault fault) {
  return fault == Fault::IoError ? EIO : ENOSPC;
}

using Op = FaultyFileSystem::Operation;

// True, with the OS error set, when a fault struck a non-write operation.
bool fails(Fault fault) {
  if (fault == Fault::None) return false;
  if (fault == Fault::Exit) ::_exit(kFaultExitCode);
  setLastOsError(errorOf(fault));
  return true;
}

bool failWithNoLock() {
  setLastOsError(ENOLCK);
  return false;
}

class FaultyFile final : public OsFile {
 public:
  FaultyFile(FaultyFileSystem& fs, std::unique_ptr<OsFile> base) : fs_(fs), base_(std::move(base)) {}

  const std::string& path() const override { return base_->path(); }
  FileIdentity identity() const override { return base_->identity(); }
  bool writable() const override { return base_->writable(); }

  int64_t readAt(int64_t offset, void* buffer, int64_t count) override {
    return fails(fs_.strike(Op::Read)) ? -1 : base_->readAt(offset, buffer, count);
  }

  int64_t writeAt(int64_t offset, const void* buffer, int64_t count) override {
    fs_.noteEvent(FaultyFileSystem::EventKind::Write, base_->path());
    switch (fs_.strike(Op::Write)) {
      case Fault::None:
        return base_->writeAt(offset, buffer, count);
      case Fault::ShortWrite: {
        const int64_t part = count > 1 ? count / 2 : 0;
        const int64_t written = part > 0 ? base_->writeAt(offset, buffer, part) : 0;
        setLastOsError(ENOSPC);
        return written;
      }
      case Fault::NoSpace:
        setLastOsError(ENOSPC);
        return -1;
      case Fault::IoError:
        setLastOsError(EIO);
        return -1;
      case Fault::Exit:
        ::_exit(kFaultExitCode);
    }
    return -1;
  }

  bool truncate(int64_t size) override {
    fs_.noteEvent(FaultyFileSystem::EventKind::Write, base_->path());
    return !fails(fs_.strike(Op::Change)) && base_->truncate(size);
  }
  bool sync() override {
    fs_.noteEvent(FaultyFileSystem::EventKind::Sync, base_->path());
    return !fails(fs_.strike(Op::Change)) && base_->sync();
  }
  int64_t size() override { return base_->size(); }
  // A look through the view makes no system call to fail.
  bool peekHead(void* buffer, int64_t count) override { return base_->peekHead(buffer, count); }
  bool lockRange(int64_t offset, int64_t length) override { return base_->lockRange(offset, length); }
  bool unlockRange(int64_t offset, int64_t length) override {
    if (fs_.strikeUnlock()) return failWithNoLock();
    return base_->unlockRange(offset, length);
  }
  bool holdsRange(int64_t offset, int64_t length) const override { return base_->holdsRange(offset, length); }

 private:
  FaultyFileSystem& fs_;
  std::unique_ptr<OsFile> base_;
};

}  // namespace

void FaultyFileSystem::setPlan(const FaultPlan& plan) {
  fault_ = plan.fault;
  every_ = plan.every;
  writesOnly_ = plan.writesOnly;
  onward_ = plan.onward;
  count_ = 0;
  faults_ = 0;
}

void FaultyFileSystem::record(bool on) {
  std::lock_guard guard(eventsSection_);
  if (on) events_.clear();
  recording_ = on;
}

std::vector<FaultyFileSystem::Event> FaultyFileSystem::events() const {
  std::lock_guard guard(eventsSection_);
  return events_;
}

void FaultyFileSystem::noteEvent(EventKind kind, const std::string& path, const std::string& to) {
  if (!recording_) return;
  std::lock_guard guard(eventsSection_);
  events_.push_back(Event{kind, path, to});
}

bool FaultyFileSystem::strikeUnlock() {
  uint64_t left = unlockFailures_.load();
  while (left > 0 && !unlockFailures_.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

Fault FaultyFileSystem::strike(Operation op) {
  if (writesOnly_ && op != Operation::Write) return Fault::None;
  const uint64_t n = ++count_;
  const uint64_t every = every_;
  const Fault fault = fault_;
  if (every == 0 || (onward_ ? n < every : n % every != 0)) return Fault::None;
  const bool applies = fault == Fault::IoError ||
                       (fault == Fault::NoSpace && op != Operation::Read && op != Operation::Other) ||
                       (fault == Fault::ShortWrite && op == Operation::Write) ||
                       (fault == Fault::Exit && op != Operation::Read);
  if (!applies) return Fault::None;
  ++faults_;
  return fault;
}

std::unique_ptr<OsFile> FaultyFileSystem::openFile(const std::string& path, const OpenOptions& options) {
  if (fails(strike(Op::Other))) return nullptr;
  std::unique_ptr<OsFile> file = base_.openFile(path, options);
  return file ? std::make_unique<FaultyFile>(*this, std::move(file)) : nullptr;
}

std::unique_ptr<OsFile> FaultyFileSystem::createFile(const std::string& path, bool deleteOnClose) {
  if (fails(strike(Op::Change))) return nullptr;
  std::unique_ptr<OsFile> file = base_.createFile(path, deleteOnClose);
  return file ? std::make_unique<FaultyFile>(*this, std::move(file)) : nullptr;
}

std::unique_ptr<OsFile> FaultyFileSystem::createFileReplacing(const std::string& path, bool deleteOnClose,
                                                              void* head, int64_t count, bool& replaced) {
  replaced = false;
  if (fails(strike(Op::Change))) return nullptr;
  std::unique_ptr<OsFile> file = base_.createFileReplacing(path, deleteOnClose, head, count, replaced);
  return file ? std::make_unique<FaultyFile>(*this, std::move(file)) : nullptr;
}

CreateNewResult FaultyFileSystem::createNewFile(const std::string& path) {
  return fails(strike(Op::Change)) ? CreateNewResult::Failed : base_.createNewFile(path);
}

std::unique_ptr<OsFile> FaultyFileSystem::openAsSpelt(const std::string& path, ShareMode share, bool create) {
  if (fails(strike(create ? Op::Change : Op::Other))) return nullptr;
  std::unique_ptr<OsFile> file = base_.openAsSpelt(path, share, create);
  return file ? std::make_unique<FaultyFile>(*this, std::move(file)) : nullptr;
}

bool FaultyFileSystem::deleteFileAsSpelt(const std::string& path) {
  noteEvent(EventKind::Delete, path);
  return !fails(strike(Op::Other)) && base_.deleteFileAsSpelt(path);
}

bool FaultyFileSystem::syncFolder(const std::string& path) {
  noteEvent(EventKind::SyncFolder, path);
  return !fails(strike(Op::Change)) && base_.syncFolder(path);
}

bool FaultyFileSystem::deleteFile(const std::string& path) {
  noteEvent(EventKind::Delete, path);
  return !fails(strike(Op::Other)) && base_.deleteFile(path);
}

bool FaultyFileSystem::renameFile(const std::string& from, const std::string& to) {
  noteEvent(EventKind::Rename, from, to);
  return !fails(strike(Op::Other)) && base_.renameFile(from, to);
}

}  // namespace platform
