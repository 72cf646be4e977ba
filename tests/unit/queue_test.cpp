#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "queue/answer_queue.h"
#include "queue/request_queue.h"
#include "util/result_codes.h"

using namespace vexon;

namespace {

struct Queues {
  explicit Queues(bool arrival = false) : requests(answers) {
    answers.CreateAnswerQueue();
    requests.CreateRequestQueue(arrival);
  }
  int32_t Put(uint8_t kind) {
    uint8_t bytes[4096] = {255, 255, kind};
    int32_t id = -7;
    EXPECT_TRUE(requests.PutBufRequest(kind, 3, bytes, id));
    return id;
  }
  TAnswers answers;
  TRequests requests;
};

std::vector<int32_t> DrainOrder(TRequests& q) {
  std::vector<int32_t> ids;
  TRequestPtr item;
  std::string key;
  while (q.GetFirstRequest(item, key)) {
    ids.push_back(item->EventID);
    q.RemoveRequest(key);
  }
  return ids;
}

}  // namespace

TEST(AnswerQueue, PendingThenFinishedThenDeleted) {
  Queues q;
  const int32_t id = q.Put(rkOpenIm);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(q.answers.GetCommandState(id), -1);
  EXPECT_TRUE(q.answers.StoreAnswer({id, 0, 3, 4, 5}));
  int32_t a = 0, b = 0, c = 0;
  EXPECT_EQ(q.answers.GetExtendedCommandState(id, a, b, c), 0);
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 4);
  EXPECT_EQ(c, 5);
  q.answers.DiscardAnswer(id);
  EXPECT_EQ(q.answers.GetCommandState(id), rcCommandFailed);
}

TEST(AnswerQueue, UnknownNumberGives14AndLeavesOutputs) {
  Queues q;
  EXPECT_EQ(q.answers.GetCommandState(99), 14);
  int32_t a = 11, b = 12, c = 13;
  EXPECT_EQ(q.answers.GetExtendedCommandState(99, a, b, c), 14);
  EXPECT_EQ(a, 11);
  EXPECT_EQ(b, 12);
  EXPECT_EQ(c, 13);
  EXPECT_FALSE(q.answers.StoreAnswer({99, 0, 0, 0, 0}));
  q.answers.DiscardAnswer(99);  // harmless
}

TEST(AnswerQueue, FullQueueDropsFirstInTextOrder) {
  TAnswerQueue a;
  for (int32_t id = 1000; id <= 1751; ++id) a.AddAnswer(id, -1, 0, 0, 0);
  EXPECT_EQ(a.Count(), 752u);
  a.AddAnswer(1752, -1, 0, 0, 0);
  EXPECT_EQ(a.Count(), 752u);
  EXPECT_FALSE(a.FindAnswer(1000));
  EXPECT_TRUE(a.FindAnswer(1001));
  EXPECT_TRUE(a.FindAnswer(1752));

  TAnswerQueue b;
  for (int32_t id = 9990; id <= 10741; ++id) b.AddAnswer(id, -1, 0, 0, 0);
  b.AddAnswer(10742, -1, 0, 0, 0);
  EXPECT_FALSE(b.FindAnswer(10000));
  EXPECT_TRUE(b.FindAnswer(9990));
}

TEST(AnswerQueue, DuplicateKeyNotAddedAndAbortOnlyPending) {
  TAnswerQueue a;
  a.AddAnswer(5, 0, 1, 2, 3);
  a.AddAnswer(5, -1, 0, 0, 0);
  TQAnswerItem e;
  ASSERT_TRUE(a.GetAnswer(5, e));
  EXPECT_EQ(e.Value, 0);
  a.AddAnswer(6, -1, 7, 8, 9);
  a.AddAnswer(7, -1, 0, 0, 0);
  a.AbortPendingOf(6);
  a.AbortPendingOf(5);
  ASSERT_TRUE(a.GetAnswer(6, e));
  EXPECT_EQ(e.Value, 88);
  EXPECT_EQ(e.Int1, 7);
  ASSERT_TRUE(a.GetAnswer(5, e));
  EXPECT_EQ(e.Value, 0) << "only a pending answer is aborted";
  ASSERT_TRUE(a.GetAnswer(7, e));
  EXPECT_EQ(e.Value, -1) << "only the answers named";
}

TEST(AnswerQueue, NoQueueBeforeStartAndAfterFree) {
  TAnswers answers;
  EXPECT_EQ(answers.GetCommandState(1), 14);
  EXPECT_FALSE(answers.AddPending(1));
  answers.CreateAnswerQueue();
  EXPECT_TRUE(answers.AddPending(1));
  answers.FreeAnswerQueue();
  EXPECT_EQ(answers.GetCommandState(1), 14);
  answers.DiscardAnswer(1);
}

TEST(RequestQueue, PriorityClassesOfKinds) {
  EXPECT_STREQ(PriorityClass(0), "00");
  EXPECT_STREQ(PriorityClass(12), "00");
  EXPECT_STREQ(PriorityClass(68), "01");
  EXPECT_STREQ(PriorityClass(69), "01");
  EXPECT_STREQ(PriorityClass(64), "02");
  EXPECT_STREQ(PriorityClass(72), "02");
  EXPECT_STREQ(PriorityClass(76), "02");
  EXPECT_STREQ(PriorityClass(48), "03");
  EXPECT_STREQ(PriorityClass(144), "03");
  EXPECT_STREQ(PriorityClass(16), "05");
  EXPECT_STREQ(PriorityClass(36), "05");
  EXPECT_STREQ(PriorityClass(37), "99");
  EXPECT_STREQ(PriorityClass(40), "99");
  EXPECT_STREQ(PriorityClass(13), "99");
  EXPECT_EQ(TEventQueue::MakeKey(35, 517), "05517");
}

TEST(RequestQueue, SortedModeTakesByClassThenTextOfNumber) {
  Queues q;
  const int32_t a = q.Put(rkSendCard);  // class 05
  const int32_t b = q.Put(rkSetReaderZone);  // class 00
  EXPECT_EQ(DrainOrder(q.requests), (std::vector<int32_t>{b, a}));

  Queues t;
  for (int i = 1; i <= 10; ++i) t.Put(rkSendCard);
  // Keys 051..0510 in text order: 051, 0510, 052, ... 059.
  EXPECT_EQ(DrainOrder(t.requests), (std::vector<int32_t>{1, 10, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(RequestQueue, ArrivalModeIgnoresClasses) {
  Queues q(true);
  const int32_t a = q.Put(rkSendCard);
  const int32_t b = q.Put(rkSetReaderZone);
  EXPECT_EQ(DrainOrder(q.requests), (std::vector<int32_t>{a, b}));
}

TEST(RequestQueue, NumberingStartsAtOneAndWrapsToZero) {
  TEventQueue eq(false);
  EXPECT_EQ(eq.NextEventID(), 1);
  EXPECT_EQ(eq.NextEventID(), 2);
  eq.SetLastEventID(INT32_MAX - 1);
  EXPECT_EQ(eq.NextEventID(), INT32_MAX);
  EXPECT_EQ(eq.NextEventID(), 0);
  EXPECT_EQ(eq.NextEventID(), 1);
}

TEST(RequestQueue, InternalRequestHasNoAnswer) {
  Queues q;
  int32_t id = 0;
  ASSERT_TRUE(q.requests.PutInternalRequest(rkReadRegJournal, bkObject, std::make_unique<TCardRegistrationItem>(5, 0),
                                            &id));
  EXPECT_EQ(id, 1);
  EXPECT_EQ(q.answers.Count(), 0u);
  EXPECT_EQ(q.answers.GetCommandState(id), 14);
  EXPECT_EQ(q.Put(rkOpenIm), 2);
}

TEST(RequestQueue, ClearAbortsPendingAndKeepsFinished) {
  Queues q;
  const int32_t done = q.Put(rkOpenIm);
  const int32_t pending = q.Put(rkCloseIm);
  q.answers.StoreAnswer({done, 0, 1, 1, 1});
  q.requests.ClearRequests();
  EXPECT_EQ(q.requests.RequestCount(), 0u);
  EXPECT_EQ(q.answers.GetCommandState(done), 0);
  EXPECT_EQ(q.answers.GetCommandState(pending), 88);
}

TEST(RequestQueue, RecordInUseSurvivesClearAndStaleRemoveIsHarmless) {
  Queues q;
  q.Put(rkOpenIm);
  TRequestPtr inUse;
  std::string key;
  ASSERT_TRUE(q.requests.GetFirstRequest(inUse, key));
  q.requests.ClearRequests();
  EXPECT_TRUE(inUse->Cancelled);
  ASSERT_NE(inUse->Buf, nullptr);  // still alive for the executor
  const int32_t next = q.Put(rkAutoconfig);
  q.requests.RemoveRequest(key);  // the old key: must not take the new request
  TRequestPtr first;
  ASSERT_TRUE(q.requests.GetFirstRequest(first, key));
  EXPECT_EQ(first->EventID, next);
}

TEST(RequestQueue, PutFailsWithoutQueuesAndCallerKeepsObject) {
  TAnswers answers;
  TRequests requests(answers);
  int32_t id = 42;
  std::unique_ptr<TParamObject> obj = std::make_unique<TMakeAdrItem>(7);
  EXPECT_FALSE(requests.PutObjRequest(rkClearSegments, obj, id));
  EXPECT_NE(obj, nullptr);
  EXPECT_EQ(id, 42);
  answers.CreateAnswerQueue();
  EXPECT_FALSE(requests.PutObjRequest(rkClearSegments, obj, id));
  EXPECT_EQ(requests.PutCardZoneRequest(id, 1, 2, 3), rcQueueFailed);
  requests.CreateRequestQueue(false);
  EXPECT_TRUE(requests.PutObjRequest(rkClearSegments, obj, id));
  EXPECT_EQ(obj, nullptr);
  EXPECT_EQ(id, 1);
  requests.FreeRequestQueue();
  answers.FreeAnswerQueue();
  EXPECT_EQ(requests.PutEnableCardRequest(id, 1, 1, 2), rcQueueFailed);
}

TEST(RequestQueue, CardRequestsCarryTheirKinds) {
  Queues q;
  int32_t id = 0;
  EXPECT_EQ(q.requests.PutEnableCardRequest(id, 0, 1, 2), 0);
  EXPECT_EQ(q.requests.PutEnableCardRequest(id, -5, 1, 2), 0);
  EXPECT_EQ(q.requests.PutGetCardZoneRequest(id, 1, 2), 0);
  EXPECT_EQ(q.requests.PutCardZoneRequest(id, 1, 2, 9), 0);
  std::vector<uint8_t> kinds;
  TRequestPtr item;
  std::string key;
  while (q.requests.GetFirstRequest(item, key)) {
    kinds.push_back(item->Kind);
    q.requests.RemoveRequest(key);
  }
  // Class 02 (73, 74, 72 in number order) before class 03 (144).
  EXPECT_EQ(kinds, (std::vector<uint8_t>{73, 74, 72, 144}));
}

// Several clients put requests while one thread plays the executor and
// another clears the queue now and then.
TEST(RequestQueueConcurrency, PutTakeClearKeepNumbersUniqueAndAnswersFinal) {
  Queues q;
  constexpr int kClients = 4;
  constexpr int kPerClient = 2000;
  std::vector<std::vector<int32_t>> issued(kClients);
  std::atomic<bool> stop{false};
  std::atomic<int> executedAfterCancel{0};
  std::atomic<int> answered88ThenCarriedOut{0};
  std::atomic<int> executed{0};

  std::thread executor([&] {
    TRequestPtr item;
    std::string key;
    while (!stop || q.requests.RequestCount() > 0) {
      if (!q.requests.GetFirstRequest(item, key)) {
        std::this_thread::yield();
        continue;
      }
      // A clear cancels its records before it turns their answers into 88:
      // an answer of 88 on a record that is not cancelled is a request that
      // a clear answered but the queue still hands out.
      const int32_t state = q.answers.GetCommandState(item->EventID);
      if (!item->Cancelled) {
        if (state == rcAbortedByAutoconfig) ++answered88ThenCarriedOut;
        ++executed;
        q.answers.StoreAnswer({item->EventID, 0, 1, 2, 3});
      } else {
        ++executedAfterCancel;  // observed cancelled: not carried out
      }
      q.requests.RemoveRequest(key);
    }
  });
  std::thread clearer([&] {
    while (!stop) {
      q.requests.ClearRequests();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      uint8_t bytes[4096] = {0, 255, 66};
      for (int i = 0; i < kPerClient; ++i) {
        int32_t id = 0;
        ASSERT_TRUE(q.requests.PutBufRequest(static_cast<uint8_t>(c % 2 ? 66 : 35), 3, bytes, id));
        issued[c].push_back(id);
      }
    });
  for (auto& t : clients) t.join();
  stop = true;
  clearer.join();
  executor.join();

  std::set<int32_t> all;
  for (auto& v : issued) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kClients * kPerClient));
  EXPECT_EQ(*all.begin(), 1);
  EXPECT_EQ(*all.rbegin(), kClients * kPerClient);
  // The answer queue holds the latest 752 entries; each is finished or 88.
  int pendingLeft = 0;
  for (int32_t id : all) {
    const int32_t v = q.answers.GetCommandState(id);
    if (v == -1) ++pendingLeft;
    EXPECT_TRUE(v == 0 || v == 88 || v == 14) << id << " " << v;
  }
  EXPECT_EQ(pendingLeft, 0);
  EXPECT_GT(executed.load(), 0);
  EXPECT_EQ(answered88ThenCarriedOut.load(), 0) << "a request answered 88 was carried out";
}

TEST(RequestQueue, ArrivalModeRemovesByKeyAndIgnoresStaleKeys) {
  TEventQueue q(true);
  auto make = [](uint8_t kind) { return std::make_shared<TEventQueueItem>(kind, bkBuffer, nullptr); };
  q.AddRequest(make(35));
  q.AddRequest(make(4));
  q.AddRequest(make(66));
  EXPECT_TRUE(q.Remove("002")) << "a middle entry by its key";
  EXPECT_FALSE(q.Remove("002"));
  EXPECT_FALSE(q.Remove("052")) << "a key of another class is not the entry";
  EXPECT_FALSE(q.Remove("x"));
  TRequestPtr first;
  std::string key;
  ASSERT_TRUE(q.First(first, key));
  EXPECT_EQ(key, "051");
  q.Clear();
  q.AddRequest(make(66));
  EXPECT_FALSE(q.Remove("051")) << "a stale key does not take the new request";
  EXPECT_EQ(q.Count(), 1u);
  EXPECT_EQ(TEventQueue::EventIDOfKey("0212345"), 12345);
  EXPECT_EQ(TEventQueue::EventIDOfKey("02"), -1);
}

TEST(RequestQueue, TextOrderNeverOvertakesARequestMoreThan100Times) {
  // A steady stream of one class across EventID 100 and 1000: one taken,
  // one put in, with about 20 waiting. Each request counts the later
  // requests carried out before it.
  TEventQueue q(false);
  std::map<int32_t, int> overtakenBy;  // waiting request -> later ones taken
  const auto put = [&] {
    auto item = std::make_shared<TEventQueueItem>(rkOpenIm, bkBuffer, nullptr);
    q.AddRequest(item);
    overtakenBy[item->EventID] = 0;
  };
  for (int i = 0; i < 20; ++i) put();
  int worst = 0;
  for (int step = 0; step < 3000; ++step) {
    TRequestPtr r;
    std::string key;
    ASSERT_TRUE(q.First(r, key));
    ASSERT_TRUE(q.Remove(key));
    overtakenBy.erase(r->EventID);
    for (auto& [id, n] : overtakenBy)
      if (id < r->EventID) worst = std::max(worst, ++n);
    put();
  }
  EXPECT_LE(worst, 100);
  EXPECT_GE(worst, 50) << "text order still applies below the bound";
  EXPECT_LT(overtakenBy.begin()->first, 3020) << "nothing left behind";
  EXPECT_GT(overtakenBy.begin()->first, 2900);
}

TEST(RequestQueue, ArrivalOrderIsNumberingOrder) {
  // Two clients number their requests, then insert them the other way
  // round (each under its own hold of the lock).
  TEventQueue q(true);
  uint64_t s1 = 0, s2 = 0;
  auto a = std::make_shared<TEventQueueItem>(rkOpenIm, bkBuffer, nullptr);
  auto b = std::make_shared<TEventQueueItem>(rkOpenIm, bkBuffer, nullptr);
  a->EventID = q.NextEventID(&s1);
  b->EventID = q.NextEventID(&s2);
  q.Insert(b, s2);
  q.Insert(a, s1);
  TRequestPtr first;
  std::string key;
  ASSERT_TRUE(q.First(first, key));
  EXPECT_EQ(first->EventID, a->EventID);
  ASSERT_TRUE(q.Remove(key));
  ASSERT_TRUE(q.First(first, key));
  EXPECT_EQ(first->EventID, b->EventID);
}

// The metrics page reads these two: waiting requests by class in both
// orders, and stored results by code (a result stored with no queue, after
// shut-down, is not counted).
TEST(RequestQueue, CountsByClassAndResultsByCode) {
  for (const bool arrival : {false, true}) {
    Queues q(arrival);
    q.Put(rkAutoconfig);
    q.Put(rkSetAlarm);
    q.Put(rkOpenIm);
    const int32_t close = q.Put(rkCloseIm);
    q.Put(rkReadRegJournal);
    EXPECT_EQ(q.requests.CountByClass(),
              (std::map<std::string, size_t>{{"00", 1}, {"01", 1}, {"02", 2}, {"03", 1}}))
        << "arrival " << arrival;
    q.answers.StoreAnswer({close, 0, 0, 0, 0});
    q.answers.StoreAnswer({close + 100, 14, 0, 0, 0});
    q.requests.ClearRequests();  // 88 for the four still pending
    EXPECT_TRUE(q.requests.CountByClass().empty());
    EXPECT_EQ(q.answers.ResultCounts(), (std::map<int32_t, uint64_t>{{0, 1}, {14, 1}, {88, 4}}));
    q.answers.FreeAnswerQueue();
    q.answers.StoreAnswer({close, 5, 0, 0, 0});
    EXPECT_EQ(q.answers.ResultCounts().count(5), 0u);
  }
}
