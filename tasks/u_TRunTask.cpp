#include "tasks/u_TRunTask.h"

#include <stdexcept>

#include "platform/process.h"

namespace tasks {

void TaskEventPoster::PostTaskEvent(int32_t taskId, int32_t event) {
  poster_.post(platform::PostedEvent{WM_TASKEVENT, taskId, event});
}

TThreadRunTask::TThreadRunTask() = default;

TThreadRunTask::~TThreadRunTask() {
  Terminate();
  Join();
}

void TThreadRunTask::Start(TRunStartRecord record) {
  if (started_) throw std::logic_error("A runner starts once");
  started_ = true;
  record_ = std::move(record);
  feedsInput_ = FeedsInput();
  thread_ = std::jthread([this] { Execute(); });
}

void TThreadRunTask::Terminate() {
  std::lock_guard<std::mutex> lock(processMutex_);
  terminateRequested_ = true;
  if (process_) process_->terminate();
}

bool TThreadRunTask::HasProcess() const {
  std::lock_guard<std::mutex> lock(processMutex_);
  return process_ != nullptr;
}

void TThreadRunTask::Join() {
  if (thread_.joinable()) thread_.join();
}

void TThreadRunTask::Execute() {
  startTime_ = std::chrono::system_clock::now();
  RunConsoleProcess();
}

void TThreadRunTask::PostEvent(int32_t event) {
  // The owner reads the results once the last event has come, so the end time is set before it.
  if (event != kEventStarted) endTime_ = std::chrono::system_clock::now();
  if (record_.window != nullptr) record_.window->PostTaskEvent(record_.taskId, event);
}

void TThreadRunTask::AddOutputByte(char c) {
  if (c == '\n') {
    output_.push_back(std::move(line_));
    line_.clear();
  } else if (c != '\0') {
    line_ += c;
  }
}

void TThreadRunTask::RunConsoleProcess() {
  startResult_ = 0;
  platform::ChildProcess* child = nullptr;
  try {
    platform::ProcessSpec spec{record_.program, record_.arguments, record_.folder, feedsInput_};
    auto started = std::make_unique<platform::ChildProcess>(spec);
    std::lock_guard<std::mutex> lock(processMutex_);
    process_ = std::move(started);
    child = process_.get();
    if (terminateRequested_) child->terminate();
  } catch (const std::exception& e) {
    // The reason goes to the output, which the run keeps in its log.
    startResult_ = -1;
    output_.push_back(e.what());
    PostEvent(kEventCouldNotStart);
    return;
  }
  PostEvent(kEventStarted);

  try {
    if (feedsInput_) {
      // A program that ends without reading its input is not an error of the run; what it did
      // print tells why.
      child->writeInput(record_.input);
      child->closeInput();
    }
    char buffer[4096];
    while (size_t n = child->readOutput(buffer, sizeof buffer)) {
      for (size_t i = 0; i < n; ++i) AddOutputByte(buffer[i]);
    }
  } catch (const std::exception& e) {
    // The output could not be read further: keep what came, say why, and end the program.
    if (!line_.empty()) output_.push_back(std::move(line_));
    line_.clear();
    output_.push_back(e.what());
    child->terminate();
  }
  if (!line_.empty()) output_.push_back(std::move(line_));
  line_.clear();

  try {
    exitCode_ = child->wait().shellCode();
  } catch (const std::exception& e) {
    // How the program ended is not known: never as a success.
    exitCode_ = -1;
    output_.push_back(e.what());
  }
  {
    std::lock_guard<std::mutex> lock(processMutex_);
    process_.reset();
  }
  PostEvent(kEventFinished);
}

}  // namespace tasks
