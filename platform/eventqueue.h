// Events that worker threads post to the window thread.
//
// A worker posts and goes on: post() never waits for the receiver to handle anything. The program
// hands posted events to the window thread's event loop; tests use EventQueue and drain it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

struct PostedEvent {
  uint32_t message = 0;
  int64_t first = 0;
  int64_t second = 0;
  bool operator==(const PostedEvent&) const = default;
};

// Where workers post. Implementations are safe to call from any thread and never block on the
// receiver.
class EventPoster {
 public:
  virtual ~EventPoster() = default;
  virtual void post(const PostedEvent& event) = 0;
};

// A first-in first-out queue of posted events, for a thread that drains them itself.
class EventQueue : public EventPoster {
 public:
  void post(const PostedEvent& event) override;
  // Removes and returns every event queued now, oldest first.
  std::vector<PostedEvent> drain();
  // Removes and returns the oldest event, waiting for one up to `limit`; nothing when none came.
  std::optional<PostedEvent> take(std::chrono::milliseconds limit);

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<PostedEvent> events_;
};

}  // namespace platform
