#include "platform/eventqueue.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using platform::EventQueue;
using platform::PostedEvent;

TEST(EventQueueOrder, DrainReturnsEventsOldestFirstAndEmptiesTheQueue) {
  EventQueue q;
  q.post({1034, 12, 1});
  q.post({1034, 12, 2});
  q.post({1034, 7, 3});
  EXPECT_EQ(q.drain(), (std::vector<PostedEvent>{{1034, 12, 1}, {1034, 12, 2}, {1034, 7, 3}}));
  EXPECT_TRUE(q.drain().empty());
}

TEST(EventQueueOrder, EachPosterKeepsItsOwnOrderAcrossThreads) {
  EventQueue q;
  constexpr int kPerThread = 500;
  {
    std::vector<std::jthread> posters;
    for (int t = 0; t < 4; ++t) {
      posters.emplace_back([&q, t] {
        for (int i = 0; i < kPerThread; ++i) q.post({1, t, i});
      });
    }
  }
  std::vector<PostedEvent> got = q.drain();
  ASSERT_EQ(got.size(), 4u * kPerThread);
  std::vector<int64_t> next(4, 0);
  for (const PostedEvent& e : got) {
    ASSERT_EQ(e.second, next[e.first]) << "poster " << e.first;
    ++next[e.first];
  }
}

TEST(EventQueueTake, GivesNothingWhenNothingCameAndWaitsForAnEventPostedLater) {
  EventQueue q;
  EXPECT_FALSE(q.take(std::chrono::milliseconds(1)).has_value());
  std::jthread poster([&q] { q.post({1034, 5, 2}); });
  std::optional<PostedEvent> e = q.take(std::chrono::seconds(30));
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(*e, (PostedEvent{1034, 5, 2}));
}

}  // namespace
