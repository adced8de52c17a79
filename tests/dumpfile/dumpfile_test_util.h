// Shared by the reader, analysis-file and definition-writer tests: temporary folders, a progress
// recorder, readers that misbehave, seeds for the property tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "dumpfile/u_parsedumpfile.h"
#include "platform/plainfile.h"
#include "tests/platform/temp_folder.h"
#include "tests/platform/test_seed.h"
#include "tools/dumpbuilder/dumpbuilder.h"
#include "tools/dumpbuilder/treelines.h"

namespace dumpfile::testing {

namespace fs = std::filesystem;

using platform::testing::TempFolderTest;

// A node or owner with its byte range, for trees built by hand.
inline std::unique_ptr<TExpFileNode> node(std::string name, uint8_t kind, int64_t start = -1,
                                          int64_t length = 0) {
  auto n = std::make_unique<TExpFileNode>();
  n->SetName(std::move(name));
  n->SetKind(kind);
  n->SetStartOffset(start);
  n->SetLength(length);
  return n;
}
inline std::unique_ptr<TExpFileUser> owner(std::string name, int64_t start = -1, int64_t length = 0) {
  auto o = std::make_unique<TExpFileUser>();
  o->SetName(std::move(name));
  o->SetStartOffset(start);
  o->SetLength(length);
  return o;
}

// A root as a reading starts it: the export's mode and user, with that user as current owner.
inline void startReading(TExpFileRoot& root, int exportMode, const std::string& exportUser) {
  root.SetExportMode(exportMode);
  root.SetExportUser(exportUser);
  root.SetCurrentOwner(root.AddUser(owner(exportUser)));
}

using platform::testing::testSeed;

// Records the calls a worker makes, from whatever thread.
class RecordingProgress : public ProgressSink {
 public:
  void setMin(int v) override { add("min " + std::to_string(v)); }
  void setMax(int v) override { add("max " + std::to_string(v)); }
  void setStep(int v) override { add("step " + std::to_string(v)); }
  void setPosition(int v) override { add("position " + std::to_string(v)); }
  void stepIt() override {
    std::lock_guard lock(mutex_);
    ++steps_;
  }
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  int steps() const {
    std::lock_guard lock(mutex_);
    return steps_;
  }

 private:
  void add(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  int steps_ = 0;
};

// Cancels the worker at its first progress step, as the progress window's button does.
class CancellingProgress : public RecordingProgress {
 public:
  void cancel(TExpFileRoot& root, DumpWorker& worker) {
    root_ = &root;
    worker_ = &worker;
  }
  void stepIt() override {
    if (worker_ != nullptr) CancelDumpJob(*root_, *worker_);
  }

 private:
  TExpFileRoot* root_ = nullptr;
  DumpWorker* worker_ = nullptr;
};

// A reader over a real file that delivers at most `maxRead` bytes per call and, when
// `failAt` >= 0, fails every read that reaches that offset.
class UnreliableReader : public platform::RandomReader {
 public:
  UnreliableReader(const std::string& path, size_t maxRead, int64_t failAt = -1)
      : maxRead_(maxRead), failAt_(failAt) {
    file_.open(path);
  }
  bool ok() const { return file_.isOpen(); }
  int64_t size() override { return file_.size(); }
  int64_t readAt(int64_t offset, void* buffer, size_t n) override {
    n = std::min(n, maxRead_);
    if (failAt_ >= 0 && offset + int64_t(n) > failAt_) {
      error_ = EIO;
      return -1;
    }
    return file_.readAt(offset, buffer, n);
  }
  int error() const override { return error_ != 0 ? error_ : file_.error(); }

 private:
  platform::InputFile file_;
  size_t maxRead_;
  int64_t failAt_;
  int error_ = 0;
};

inline DumpWorker::Opener unreliableOpener(size_t maxRead, int64_t failAt = -1) {
  return [=](const std::string& p, int& error) -> std::unique_ptr<platform::RandomReader> {
    auto r = std::make_unique<UnreliableReader>(p, maxRead, failAt);
    if (!r->ok()) {
      error = ENOENT;
      return nullptr;
    }
    return r;
  };
}

// Reads `dump` into `root` with the reader on the calling thread, prepared as the main window
// prepares it.
inline void readDump(TExpFileRoot& root, const std::string& dump,
                     int64_t chunkSize = TParseDumpfile::kDefaultChunkSize, int helpers = 0,
                     size_t minSegment = 1 << 20, DumpWorker::Opener opener = nullptr,
                     ProgressSink* progress = nullptr) {
  dumpbuilder::HeaderFacts facts;
  dumpbuilder::readHeaderFacts(dump, facts);
  dumpbuilder::prepareRoot(root, dump, facts);
  TParseDumpfile reader(root, progress, nullptr, chunkSize);
  reader.SetParallelism(helpers, minSegment);
  if (opener) reader.SetOpener(std::move(opener));
  reader.Execute();
}

}  // namespace dumpfile::testing
