// A FileSystem for tests whose clock never moves: every file time it reports is the same, as on a
// file system whose times tick more coarsely than a test's writes follow each other (a few
// milliseconds on some, one or two seconds on others). Everything else is the wrapped one's, the
// files' locks and share modes included, so that tables on it are kept open between uses as on
// the real one.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "platform/osfile.h"
#include "tests/platform/forwarding_fs.h"

namespace platform::testing {

class CoarseClockFileSystem final : public ForwardingFileSystem {
 public:
  explicit CoarseClockFileSystem(FileSystem& base) : ForwardingFileSystem(base) {}

  std::unique_ptr<OsFile> openFile(const std::string& path, const OpenOptions& options) override {
    return wrap(base_.openFile(path, options));
  }
  std::unique_ptr<OsFile> createFile(const std::string& path, bool deleteOnClose) override {
    return wrap(base_.createFile(path, deleteOnClose));
  }
  std::unique_ptr<OsFile> createFileAsSpelt(const std::string& path) override {
    return wrap(base_.createFileAsSpelt(path));
  }
  std::unique_ptr<OsFile> openAsSpelt(const std::string& path, ShareMode share, bool create) override {
    return wrap(base_.openAsSpelt(path, share, create));
  }
  CreateNewResult createNewFile(const std::string& path) override { return base_.createNewFile(path); }
  bool fileInfo(const std::string& path, FileInfo& info) override {
    return base_.fileInfo(path, info) && stopped(info);
  }
  bool fileInfoAsSpelt(const std::string& path, FileInfo& info) override {
    return base_.fileInfoAsSpelt(path, info) && stopped(info);
  }

 private:
  static bool stopped(FileInfo& info) {
    info.modifiedNs = info.changedNs = 0;
    return true;
  }

  class File final : public OsFile {
   public:
    explicit File(std::unique_ptr<OsFile> base) : base_(std::move(base)) {}
    const std::string& path() const override { return base_->path(); }
    FileIdentity identity() const override { return base_->identity(); }
    bool writable() const override { return base_->writable(); }
    int64_t readAt(int64_t offset, void* buffer, int64_t count) override {
      return base_->readAt(offset, buffer, count);
    }
    int64_t writeAt(int64_t offset, const void* buffer, int64_t count) override {
      return base_->writeAt(offset, buffer, count);
    }
    bool truncate(int64_t size) override { return base_->truncate(size); }
    bool sync() override { return base_->sync(); }
    int64_t size() override { return base_->size(); }
    bool lockRange(int64_t offset, int64_t length) override { return base_->lockRange(offset, length); }
    bool unlockRange(int64_t offset, int64_t length) override { return base_->unlockRange(offset, length); }
    bool peekHead(void* buffer, int64_t count) override { return base_->peekHead(buffer, count); }
    bool releaseShareMode() override { return base_->releaseShareMode(); }
    bool retakeShareMode(ShareMode mode) override { return base_->retakeShareMode(mode); }
    bool facts(FileInfo& info) override { return base_->facts(info) && stopped(info); }

   private:
    std::unique_ptr<OsFile> base_;
  };

  static std::unique_ptr<OsFile> wrap(std::unique_ptr<OsFile> file) {
    return file ? std::make_unique<File>(std::move(file)) : nullptr;
  }
};

}  // namespace platform::testing
