// The cursor's event hooks: the progress and log messages of its own long work and of a server's,
// and the progress steps by which a walk reports itself.
#include <algorithm>

#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldorsession.h"

namespace engine {
void TDataCursor::ServeEventCallback(uint16_t kind, TDataSession& session) {
  const auto step = [&](const TStepProgressHook& hook) {
    const std::string text = session.ReadReplyText();
    const uint32_t percent = session.ReadReplyU32();
    if (hook) hook(*this, text, percent);
  };
  const auto log = [&](const TLogHook& hook) {
    const std::string text = session.ReadReplyText();
    if (hook) hook(*this, text);
  };
  const auto progress = [&](const TProgressHook& hook) {
    const uint32_t percent = session.ReadReplyU32();
    if (hook) hook(*this, percent);
  };
  switch (kind) {
    case kCallbackStepProgress:
      return step(stepProgressHook_);
    case kCallbackLog:
      return log(logHook_);
    case kCallbackIndexProgress:
      return progress(indexProgressHook_);
    case kCallbackProgress5:
      return progress(progressHook5_);
    case kCallbackProgress6:
      return progress(progressHook6_);
    case kCallbackRestructureProgress:
      return progress(restructureProgressHook_);
    case kCallbackStepProgress2:
      return step(stepProgressHook2_);
    case kCallbackLog2:
      return log(logHook2_);
    case kCallbackProgress15:
      return progress(progressHook15_);
    case kCallbackProgress16:
      return progress(progressHook16_);
    default:
      return;
  }
}

void TDataCursor::clearEventHooks() {
  stepProgressHook_ = nullptr;
  logHook_ = nullptr;
  indexProgressHook_ = nullptr;
  progressHook5_ = nullptr;
  progressHook6_ = nullptr;
  restructureProgressHook_ = nullptr;
  dataLostHook_ = nullptr;
  progressHook15_ = nullptr;
  progressHook16_ = nullptr;
  spareHook1_ = nullptr;
  spareHook2_ = nullptr;
}

// A session set to more than 100 steps would give a step of 0: every record would report.
TDataCursor::TProgress::TProgress(TDataCursor& cursor, const TProgressHook& hook, uint64_t total)
    : cursor_(cursor),
      hook_(hook),
      total_(total),
      step_(std::max<uint32_t>(1, cursor.GetProgressStepPercent())) {}

void TDataCursor::TProgress::Done(uint64_t done) {
  if (!hook_ || total_ == 0 || reported_ >= 100) return;
  const uint32_t percent = uint32_t(std::min<uint64_t>(done, total_) * 100 / total_);
  // A finished walk says so even when the steps do not add up to 100.
  if (percent < reported_ + step_ && percent < 100) return;
  reported_ = percent;
  // A copy: the hook may set another one while it runs.
  const TProgressHook hook = hook_;
  hook(cursor_, percent);
}

}  // namespace engine
