#include "dumpfile/dumpworker.h"

#include <algorithm>
#include <stdexcept>

namespace dumpfile {

std::string WithCause(std::string_view message, const std::exception& cause) {
  return std::string(message) + " (" + cause.what() + ")";
}

// --- DumpWorker

DumpWorker::DumpWorker(TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone)
    : root_(root), progress_(progress), onDone_(std::move(onDone)) {}

DumpWorker::~DumpWorker() {
  StopAndJoin();
  SignalDone();
}

void DumpWorker::StopAndJoin() {
  Terminate();
  if (thread_.joinable()) thread_.join();
}

void DumpWorker::Start() {
  if (started_.exchange(true)) throw std::logic_error("dump worker started twice");
  thread_ = std::jthread([this] { RunOnce(); });
}

void DumpWorker::Execute() {
  if (started_.exchange(true)) throw std::logic_error("dump worker started twice");
  RunOnce();
}

void DumpWorker::RunOnce() noexcept {
  try {
    Run();
  } catch (const std::exception& e) {
    try {
      root_.SetMessage(WithCause(FailureMessage(), e));
    } catch (...) {
      // Not even the message could be made; the completion below still tells the window.
    }
  } catch (...) {
    try {
      root_.SetMessage(FailureMessage());
    } catch (...) {
      // Not even the message could be made; the completion below still tells the window.
    }
  }
  SignalDone();
}

void DumpWorker::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void DumpWorker::SignalDone() noexcept {
  if (doneSignalled_.exchange(true)) return;
  if (onDone_) onDone_();
}

std::unique_ptr<platform::RandomReader> DumpWorker::OpenInput(const std::string& path, int& error) const {
  if (opener_) return opener_(path, error);
  auto file = std::make_unique<platform::InputFile>();
  if (!file->open(path)) {
    error = file->error();
    return nullptr;
  }
  return file;
}

std::unique_ptr<platform::RandomReader> DumpWorker::OpenRootFile(int64_t* size) {
  int error = 0;
  std::unique_ptr<platform::RandomReader> file = OpenInput(root_.DumpFileName(), error);
  const int64_t measured = file ? file->size() : -1;
  if (size != nullptr) *size = measured;
  if (measured >= 0) return file;
  root_.SetMessage("open file: " + root_.DumpFileName() + " error");
  return nullptr;
}

bool DumpWorker::ReadNodeBytes(platform::RandomReader& file, const TExpFileNode& node, std::string& bytes) {
  int error = 0;
  if (ReadDumpBytes(file, node.StartOffset(), std::max<int64_t>(node.Length(), 0), bytes, error)) return true;
  root_.SetMessage("Read " + std::string(node.Name()) + " from " + root_.DumpFileName() + " error!" +
                   (error != 0 ? " (" + platform::errorText(error) + ")" : ""));
  return false;
}

void DumpWorker::BeginProgress(int64_t total) {
  progressStep_ = total / 100 + 1;
  progressCounter_ = 0;
  progressPosition_ = 1;
  if (progress_ == nullptr) return;
  progress_->setMin(1);
  progress_->setMax(100);
  progress_->setStep(1);
  progress_->setPosition(1);
}

void DumpWorker::CountProgress(int64_t units) {
  progressCounter_ += units;
  while (progressCounter_ >= progressStep_) {
    progressCounter_ -= progressStep_;
    if (progressPosition_ < 100) {
      ++progressPosition_;
      if (progress_ != nullptr) progress_->stepIt();
    }
  }
}

void CancelDumpJob(TExpFileRoot& root, DumpWorker& worker) {
  root.SetCancelled(true);
  root.SetMessage(std::string(kTerminatedByUser));
  worker.Terminate();
}

bool ReadDumpBytes(platform::RandomReader& file, int64_t startOffset, int64_t length, std::string& bytes,
                   int& error) {
  error = 0;
  if (startOffset < 0 || length < 0) return false;
  const int64_t size = file.size();
  if (size < 0) {
    error = file.error();
    return false;
  }
  if (startOffset > size || length > size - startOffset) return false;
  bytes.resize(size_t(length));
  int64_t got = 0;
  while (got < length) {
    const int64_t n = file.readAt(startOffset + got, bytes.data() + got, size_t(length - got));
    if (n < 0) {
      error = file.error();
      return false;
    }
    if (n == 0) return false;  // the file has become shorter
    got += n;
  }
  return true;
}

}  // namespace dumpfile
