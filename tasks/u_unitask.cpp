#include "tasks/u_unitask.h"

#include "platform/scopeguard.h"
// Complete types of the run members, which the constructor must be able to destroy.
#include "tasks/u_TRunTask.h"
#include "tasks/u_taskrun.h"
#include "tasks/u_transfer.h"

namespace tasks {

void TUniTask::loadDetails() const {
  DetailsLoader loader = std::move(detailsLoader_);
  detailsLoader_ = nullptr;
  // The details are part of the task's value, only read late: filling them in is no change.
  TUniTask& self = const_cast<TUniTask&>(*this);
  platform::UndoOnFailure retry([&] { detailsLoader_ = std::move(loader); });
  loader(self);
}

TUniTask::TUniTask(TaskHost* owner) : owner_(owner), ftpserver_(kLoopbackAddress) {
  // Derived tasks reset their own options in their constructors: a base constructor cannot
  // reach them.
  TUniTask::ResetToDefaults();
}

void TUniTask::ResetToDefaults() {
  params_.clear();
}

bool TUniTask::Validate() {
  return true;
}

void TUniTask::SetProgramPath() {
  if (owner_ == nullptr) return;
  switch (tasktype_) {
    case TTaskType::Export:
    case TTaskType::RawExport:
      program_ = owner_->ExportProgram();
      break;
    case TTaskType::Import:
    case TTaskType::RawImport:
      program_ = owner_->ImportProgram();
      break;
  }
}

bool TUniTask::ParseCommand() {
  ParseFailure failure;
  if (!Parse(command_, failure)) {
    errorpos_ = failure.errorpos;
    errortext_ = std::move(failure.errortext);
    parsedok_ = false;
    return false;
  }
  // A raw command runs as typed; only its parameter list comes from the parse.
  const bool raw = tasktype_ == TTaskType::RawExport || tasktype_ == TTaskType::RawImport;
  std::string typed = raw ? command_ : std::string();
  BuildCommand();
  if (raw) command_ = std::move(typed);
  parsedok_ = true;
  return true;
}

void TUniTask::CommandFromParams() {
  command_.clear();
  for (const std::string& entry : params_) {
    command_ += ' ';
    command_ += entry;
  }
}

}  // namespace tasks
