#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "events/event_hub.h"
#include "test_support.h"

using namespace vexon;
using namespace std::chrono_literals;

namespace {

TSubscribeRequest Follow(TStream s, std::optional<uint64_t> from = std::nullopt, uint64_t run = 0) {
  TSubscribeRequest r;
  r.Streams[static_cast<size_t>(s)] = true;
  r.From[static_cast<size_t>(s)] = from;
  r.Run = run;
  return r;
}

// "e5" for event 5, "g3" for a gap of 3: what a subscriber has waiting.
std::vector<std::string> Drain(TSubscription& sub) {
  std::vector<std::string> out;
  while (auto d = sub.Pop(0ms)) out.push_back(d->Event ? "e" + std::to_string(d->Event->Seq) : "g" + std::to_string(d->Missed));
  return out;
}

using V = std::vector<std::string>;

}  // namespace

TEST(EventHub, NumbersPerStreamAndResumesInsideTheWindowWithoutGapOrRepeat) {
  TEventHub hub(5, 100, 77);
  EXPECT_EQ(hub.Run(), 77u);
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(hub.Publish(TStream::Monitoring, "m"), static_cast<uint64_t>(i));
  EXPECT_EQ(hub.Publish(TStream::State, "s"), 1u);
  auto live = hub.Subscribe(Follow(TStream::Monitoring));
  auto resumed = hub.Subscribe(Follow(TStream::Monitoring, 3));
  EXPECT_EQ(resumed.Next[0], 5u);
  EXPECT_EQ(resumed.Run, 77u);
  hub.Publish(TStream::Monitoring, "m");
  hub.Publish(TStream::State, "s");  // not followed
  EXPECT_EQ(Drain(*live.Subscription), (V{"e5"}));
  EXPECT_EQ(Drain(*resumed.Subscription), (V{"e3", "e4", "e5"}));
  // Asking for the next number, or one of the future, gives only new events.
  auto next = hub.Subscribe(Follow(TStream::Monitoring, 6));
  auto future = hub.Subscribe(Follow(TStream::Monitoring, 60));
  EXPECT_EQ(Drain(*next.Subscription), V{});
  EXPECT_EQ(Drain(*future.Subscription), V{});
}

TEST(EventHub, FromBeforeTheWindowOrAnotherRunStartsWithAGap) {
  TEventHub hub(3, 100, 9);
  for (int i = 0; i < 10; ++i) hub.Publish(TStream::Registration, "r");
  EXPECT_EQ(hub.Kept(TStream::Registration), 3u);
  auto old = hub.Subscribe(Follow(TStream::Registration, 2));
  EXPECT_EQ(Drain(*old.Subscription), (V{"g6", "e8", "e9", "e10"}));
  // Numbers of an earlier run: everything this run kept, after the gap.
  auto other = hub.Subscribe(Follow(TStream::Registration, 9, 8));
  EXPECT_EQ(Drain(*other.Subscription), (V{"g7", "e8", "e9", "e10"}));
}

TEST(EventHub, AFullQueueBecomesAGapAndGoesOnFromTheNewest) {
  TEventHub hub(100, 4, 1);
  auto slow = hub.Subscribe(Follow(TStream::Monitoring));
  auto fast = hub.Subscribe(Follow(TStream::Monitoring));
  V fastSeen;
  for (int i = 1; i <= 10; ++i) {
    hub.Publish(TStream::Monitoring, "m");
    for (auto& s : Drain(*fast.Subscription)) fastSeen.push_back(s);
  }
  // 1..4 fill it; 5 turns them into a gap of 4; 9 turns that gap and 5..8
  // into one of 8.
  EXPECT_EQ(Drain(*slow.Subscription), (V{"g8", "e9", "e10"}));
  EXPECT_EQ(fastSeen, (V{"e1", "e2", "e3", "e4", "e5", "e6", "e7", "e8", "e9", "e10"}));
}

TEST(EventHub, CancelEndsAWaitingPopAndCountsFollowUp) {
  TEventHub hub(10, 10, 1);
  TSubscribeRequest both = Follow(TStream::State);
  both.Streams[static_cast<size_t>(TStream::Line)] = true;
  EXPECT_FALSE(hub.Wanted(TStream::Line));
  auto sub = hub.Subscribe(both);
  EXPECT_TRUE(hub.Wanted(TStream::Line));
  EXPECT_EQ(hub.Counters()[static_cast<size_t>(TStream::State)].Subscribers, 1u);
  std::thread waiter([&] { EXPECT_FALSE(sub.Subscription->Pop(std::chrono::hours(1))); });
  sub.Subscription->Cancel();
  waiter.join();
  EXPECT_EQ(hub.Counters()[static_cast<size_t>(TStream::State)].Subscribers, 0u);
  EXPECT_FALSE(hub.Wanted(TStream::Line));
  hub.Publish(TStream::State, "s");
  EXPECT_EQ(Drain(*sub.Subscription), V{});
  sub.Subscription.reset();
  EXPECT_EQ(hub.Counters()[static_cast<size_t>(TStream::State)].Subscribers, 0u);
}

// Publishers on two threads, a reader and a subscriber that never reads:
// for both, events delivered plus events in gaps are every event, in order.
TEST(EventHub, ConcurrentPublishersNeverWaitForASubscriber) {
  TEventHub hub(1000, 500, 1);
  auto idle = hub.Subscribe(Follow(TStream::Monitoring));
  auto reader = hub.Subscribe(Follow(TStream::Monitoring));
  constexpr uint64_t kEach = 20000;
  std::vector<std::thread> pubs;
  for (int t = 0; t < 2; ++t)
    pubs.emplace_back([&] {
      for (uint64_t i = 0; i < kEach; ++i) hub.Publish(TStream::Monitoring, "m");
    });
  const auto account = [](TSubscription& sub, uint64_t total, bool wait) {
    uint64_t last = 0, gaps = 0;
    while (last < total) {
      auto d = sub.Pop(wait ? 10s : 0ms);
      if (!d) break;
      if (d->Event) {
        EXPECT_EQ(d->Event->Seq, last + 1);
        last = d->Event->Seq;
      } else {
        last += d->Missed;
        ++gaps;
      }
    }
    return std::make_pair(last, gaps);
  };
  const auto [readerLast, readerGaps] = account(*reader.Subscription, 2 * kEach, true);
  for (auto& p : pubs) p.join();
  EXPECT_EQ(readerLast, 2 * kEach);
  const auto [idleLast, idleGaps] = account(*idle.Subscription, 2 * kEach, false);
  EXPECT_EQ(idleLast, 2 * kEach);
  EXPECT_GT(idleGaps, 0u);
  (void)readerGaps;
}

// A batch is numbered in order and queued whole before a reader waiting in
// its wait is woken (once), so the reader takes it in one piece.
TEST(EventHub, PublishAllWakesAWaitingReaderWithTheWholeBatchInOrder) {
  TEventHub hub(10, 100, 1);
  auto sub = hub.Subscribe(Follow(TStream::Monitoring));
  std::vector<TDelivery> first;
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    tid = static_cast<pid_t>(::syscall(SYS_gettid));
    first = sub.Subscription->PopSome(std::chrono::hours(1), 100);
    done = true;
  });
  // Publish only once the reader sleeps in its wait (state S in /proc).
  ASSERT_TRUE(vexon::testing::WaitUntil([&] {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid.load()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = text.rfind(')');
    return tid.load() != 0 && close != std::string::npos && text.compare(close + 2, 1, "S") == 0;
  }));
  EXPECT_EQ(hub.PublishAll(TStream::Monitoring, {"a", "b", "c"}), 3u);
  EXPECT_TRUE(vexon::testing::WaitUntil([&] { return done.load(); })) << "the waiting reader was not woken";
  if (!done) sub.Subscription->Cancel();
  reader.join();
  ASSERT_EQ(first.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(first[i].Event->Seq, i + 1);
    EXPECT_EQ(first[i].Event->Text, std::string(1, static_cast<char>('a' + i)));
  }
  EXPECT_EQ(hub.PublishAll(TStream::Monitoring, {}), 0u);
  EXPECT_EQ(hub.Publish(TStream::Monitoring, "d"), 4u);
  EXPECT_EQ(Drain(*sub.Subscription), (V{"e4"}));
}

// A batch larger than a subscriber's queue turns what overflows into gaps
// as single events do, and ends with the batch's newest event.
TEST(EventHub, ABatchLargerThanTheQueueEndsAsAGapThenItsNewest) {
  TEventHub hub(10, 2, 1);
  auto sub = hub.Subscribe(Follow(TStream::Monitoring));
  EXPECT_EQ(hub.PublishAll(TStream::Monitoring, {"1", "2", "3", "4", "5"}), 5u);
  EXPECT_EQ(Drain(*sub.Subscription), (V{"g4", "e5"}));
  EXPECT_EQ(hub.Kept(TStream::Monitoring), 5u);
}
