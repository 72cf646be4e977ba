// The event streams: what happens in the server, numbered and handed to
// whoever follows it, without taking anything from the journals.
//
// Four streams (monitoring, registration, state, line), each numbered from 1
// in each run; the run is told apart by its identifier (the start time in
// microseconds). The hub keeps the last `Keep` events of each stream, so a
// subscriber that reconnects can ask for everything after the last event it
// saw. Payloads are opaque texts (the transports' JSON), shared, never copied
// per subscriber.
//
// Publishing never waits for a subscriber: each subscription has a bounded
// queue (`QueueLimit` events). A push into a full queue empties it and turns
// everything it held, with the new event's predecessors it could not keep,
// into one gap per stream; the subscriber then goes on from the newest
// event. So for every subscription and stream, the events delivered plus the
// events counted in gaps are exactly the events published since it began,
// in sequence order.
//
// Thread safety: every member may be called from any thread. Publish takes
// the hub's lock and each matching subscription's lock briefly; a
// subscription's Pop waits on its own lock only. Lock order: hub, then
// subscription; nothing here calls out while holding either.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vexon {

enum class TStream : uint8_t { Monitoring = 0, Registration = 1, State = 2, Line = 3 };
constexpr size_t kStreamCount = 4;
const char* StreamName(TStream s);
// "monitoring" -> Monitoring; empty for an unknown name.
std::optional<TStream> StreamByName(const std::string& name);

struct TStreamEvent {
  TStream Stream;
  uint64_t Seq;
  std::string Text;  // the event as its transports send it
};
using TStreamEventPtr = std::shared_ptr<const TStreamEvent>;

// One item handed to a subscriber: an event, or a gap (Missed events of
// Stream that it will never get).
struct TDelivery {
  TStreamEventPtr Event;  // null for a gap
  TStream Stream = TStream::Monitoring;
  uint64_t Missed = 0;
};

struct TStreamCounters {
  uint64_t Subscribers = 0;  // subscriptions that follow the stream now
  uint64_t Sent = 0;         // events handed to subscribers
  uint64_t Gaps = 0;         // gap notices handed to subscribers
  uint64_t Missed = 0;       // events those gaps stood for
};

class TEventHub;

// A subscription has one reader: one thread at a time calls Pop or PopSome
// (a publisher wakes it only when its queue was empty).
class TSubscription {
 public:
  // Waits up to `timeout` for the next item; empty on time-out or once
  // cancelled.
  std::optional<TDelivery> Pop(std::chrono::milliseconds timeout);
  // The same for everything waiting, up to `most` items (at least one unless
  // the wait ends empty): a sender writes them at once.
  std::vector<TDelivery> PopSome(std::chrono::milliseconds timeout, size_t most);
  // Ends the subscription: it gets nothing more, and a Pop in progress
  // returns at once.
  void Cancel();
  bool Cancelled() const;
  uint64_t Id() const { return id_; }
  bool Follows(TStream s) const { return streams_[static_cast<size_t>(s)]; }

  TSubscription(TEventHub& hub, uint64_t id, std::array<bool, kStreamCount> streams, size_t limit);
  ~TSubscription();

 private:
  friend class TEventHub;
  // Under the hub's lock. Push queues without waking the reader and says
  // whether it must be woken (Wake), which Publish does once per batch.
  bool Push(const TStreamEventPtr& ev);
  bool PushAll(const TStreamEventPtr* events, size_t count);
  void Wake() { ready_.notify_one(); }
  void PushGap(TStream s, uint64_t missed);

  TEventHub& hub_;
  const uint64_t id_;
  const std::array<bool, kStreamCount> streams_;
  const size_t limit_;
  mutable std::mutex lock_;
  std::condition_variable ready_;
  std::deque<TDelivery> queue_;
  size_t events_ = 0;  // event items in queue_ (gaps do not count)
  bool cancelled_ = false;
  std::atomic<bool> registered_{false};  // in the hub's list; changed under the hub's lock
};

struct TSubscribeRequest {
  std::array<bool, kStreamCount> Streams{};
  // Per stream: the first sequence number wanted (absent: only what comes
  // next). 0 counts as 1.
  std::array<std::optional<uint64_t>, kStreamCount> From{};
  // The run the numbers of From belong to (0: this one). From an earlier run
  // they mean nothing here, so the subscriber gets everything kept.
  uint64_t Run = 0;
};

struct TSubscribeResult {
  std::shared_ptr<TSubscription> Subscription;
  uint64_t Run = 0;
  std::array<uint64_t, kStreamCount> Next{};  // the number the next new event gets
};

class TEventHub {
 public:
  static constexpr size_t kDefaultKeep = 10000;
  static constexpr size_t kDefaultQueue = 10000;

  // `run` 0: the current time in microseconds.
  explicit TEventHub(size_t keep = kDefaultKeep, size_t queueLimit = kDefaultQueue, uint64_t run = 0);
  TEventHub(const TEventHub&) = delete;
  TEventHub& operator=(const TEventHub&) = delete;

  uint64_t Run() const { return run_; }
  // Numbers the event, keeps it and hands it to the stream's subscribers.
  // Returns its number.
  uint64_t Publish(TStream s, std::string text);
  // The same for several events of one stream, in order, under one lock: a
  // waiting subscriber is woken once for all of them, not once each. Returns
  // the number of the last (0 when `texts` is empty).
  uint64_t PublishAll(TStream s, std::vector<std::string> texts);
  // Whether a publisher should describe events of the stream: always, but
  // for the line stream (every frame on the line), which is off while
  // nobody follows it.
  bool Wanted(TStream s) const { return s != TStream::Line || subscribers_[static_cast<size_t>(s)].load() > 0; }

  TSubscribeResult Subscribe(const TSubscribeRequest& request);

  // Counted by whoever hands items on to the client (the transports).
  void CountSent(TStream s) { sent_[static_cast<size_t>(s)].fetch_add(1, std::memory_order_relaxed); }
  void CountGap(TStream s, uint64_t missed);
  std::array<TStreamCounters, kStreamCount> Counters() const;
  size_t Kept(TStream s) const;

 private:
  friend class TSubscription;
  void Forget(TSubscription* sub);

  struct TRing {
    std::deque<TStreamEventPtr> Events;
    uint64_t Next = 1;
  };

  const size_t keep_;
  const size_t queueLimit_;
  const uint64_t run_;
  mutable std::mutex lock_;
  std::array<TRing, kStreamCount> rings_;
  std::vector<TSubscription*> subs_;
  std::vector<bool> wake_;  // PublishAll's scratch: which subscriptions to wake
  uint64_t nextId_ = 1;
  std::array<std::atomic<uint64_t>, kStreamCount> subscribers_{};
  std::array<std::atomic<uint64_t>, kStreamCount> sent_{}, gaps_{}, missed_{};
};

}  // namespace vexon
