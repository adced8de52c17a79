#include "tasks/u_unitask.h"

// Complete types of the run members, which the constructor must be able to destroy.
#include "tasks/u_TRunTask.h"
#include "tasks/u_taskrun.h"
#include "tasks/u_transfer.h"

namespace tasks {

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
