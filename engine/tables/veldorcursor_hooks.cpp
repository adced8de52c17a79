// The cursor's event hooks: the progress and log messages of its own long work and of a server's,
// and the progress steps by which a walk reports itself.
#include <algorithm>

#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldorsession.h"

namespace engine {
namespace {

// Server callback kinds that go to the event hooks.
enum : uint16_t {
  kStepProgress = 2,
  kLog = 3,
  kIndexProgress = 4,
  kProgress5 = 5,
  kProgress6 = 6,
  kRestructureProgress = 7,
  kStepProgress2 = 9,
  kLog2 = 10,
  kProgress15 = 15,
  kProgress16 = 16,
};

}  // namespace

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
    case kStepProgress:
      return step(stepProgressHook_);
    case kLog:
      return log(logHook_);
    case kIndexProgress:
      return progress(indexProgressHook_);
    case kProgress5:
      return progress(progressHook5_);
    case kProgress6:
      return progress(progressHook6_);
    case kRestructureProgress:
      return progress(restructureProgressHook_);
    case kStepProgress2:
      return step(stepProgressHook2_);
    case kLog2:
      return log(logHook2_);
    case kProgress15:
      return progress(progressHook15_);
    case kProgress16:
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
