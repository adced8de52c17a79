#include "platform/eventqueue.h"

namespace platform {

void EventQueue::post(const PostedEvent& event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  arrived_.notify_all();
}

std::vector<PostedEvent> EventQueue::drain() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<PostedEvent> all(events_.begin(), events_.end());
  events_.clear();
  return all;
}

std::optional<PostedEvent> EventQueue::take(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!arrived_.wait_for(lock, limit, [this] { return !events_.empty(); })) return std::nullopt;
  PostedEvent event = events_.front();
  events_.pop_front();
  return event;
}

}  // namespace platform
