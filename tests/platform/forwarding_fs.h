// A base for test file systems that wrap another and change a few of its answers: the calls no
// such wrapper has reason to change go to the wrapped one as they are. What a wrapper opens or
// looks at stays its own to forward or change.
#pragma once

#include <chrono>
#include <string>

#include "platform/osfile.h"

namespace platform::testing {

class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(FileSystem& base) : base_(base) {}

  bool deleteFile(const std::string& path) override { return base_.deleteFile(path); }
  bool deleteFileAsSpelt(const std::string& path) override { return base_.deleteFileAsSpelt(path); }
  bool renameFile(const std::string& from, const std::string& to) override {
    return base_.renameFile(from, to);
  }
  std::string resolvePath(const std::string& path) override { return base_.resolvePath(path); }
  bool takeAccessOf(const std::string& model, const std::string& path) override {
    return base_.takeAccessOf(model, path);
  }
  std::string canonicalPath(const std::string& path) override { return base_.canonicalPath(path); }
  std::string tempPath() override { return base_.tempPath(); }
  std::string computerName() override { return base_.computerName(); }
  void sleepFor(std::chrono::milliseconds duration) override { base_.sleepFor(duration); }
  bool existsAsSpelt(const std::string& path) override { return base_.existsAsSpelt(path); }
  bool openAnywhereAsSpelt(const std::string& path) override { return base_.openAnywhereAsSpelt(path); }
  bool replaceFile(const std::string& from, const std::string& to) override {
    return base_.replaceFile(from, to);
  }
  bool syncFolder(const std::string& path) override { return base_.syncFolder(path); }

 protected:
  FileSystem& base_;
};

}  // namespace platform::testing
