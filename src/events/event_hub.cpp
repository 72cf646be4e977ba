#include "events/event_hub.h"

#include <algorithm>
#include <exception>

namespace vexon {

namespace {
constexpr const char* kNames[kStreamCount] = {"monitoring", "registration", "state", "line"};

uint64_t NowMicros() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}
}  // namespace

const char* StreamName(TStream s) { return kNames[static_cast<size_t>(s)]; }

std::optional<TStream> StreamByName(const std::string& name) {
  for (size_t i = 0; i < kStreamCount; ++i)
    if (name == kNames[i]) return static_cast<TStream>(i);
  return std::nullopt;
}

TSubscription::TSubscription(TEventHub& hub, uint64_t id, std::array<bool, kStreamCount> streams, size_t limit)
    : hub_(hub), id_(id), streams_(streams), limit_(std::max<size_t>(limit, 1)) {}

// A subscription that never made it into the hub's list (a failed
// Subscribe, destroyed under the hub's lock) has nothing to undo.
TSubscription::~TSubscription() {
  if (registered_.load()) hub_.Forget(this);
}

bool TSubscription::Push(const TStreamEventPtr& ev) { return PushAll(&ev, 1); }

bool TSubscription::PushAll(const TStreamEventPtr* events, size_t count) {
  std::lock_guard<std::mutex> g(lock_);
  if (cancelled_) return false;
  // Only an empty queue can have its reader waiting; anything more goes
  // out with what the reader takes next.
  const bool wasEmpty = queue_.empty();
  for (size_t k = 0; k < count; ++k) try {
    if (events_ >= limit_) {
      // Full: what it holds becomes one gap per stream, and it goes on from
      // the newest event. Earlier gaps still queued are folded in.
      std::array<uint64_t, kStreamCount> missed{};
      for (const auto& d : queue_) missed[static_cast<size_t>(d.Stream)] += d.Event ? 1 : d.Missed;
      queue_.clear();
      events_ = 0;
      for (size_t i = 0; i < kStreamCount; ++i)
        if (missed[i] > 0) queue_.push_back(TDelivery{nullptr, static_cast<TStream>(i), missed[i]});
    }
    queue_.push_back(TDelivery{events[k], events[k]->Stream, 0});
    ++events_;
  } catch (...) {
    // The caller learns nothing of what was queued: a waiting reader is
    // woken here.
    if (wasEmpty && !queue_.empty()) ready_.notify_one();
    throw;
  }
  return wasEmpty && count > 0;
}

void TSubscription::PushGap(TStream s, uint64_t missed) {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (cancelled_) return;
    queue_.push_back(TDelivery{nullptr, s, missed});
  }
  ready_.notify_one();
}

std::optional<TDelivery> TSubscription::Pop(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(lock_);
  if (!ready_.wait_for(g, timeout, [this] { return cancelled_ || !queue_.empty(); }) || cancelled_) return std::nullopt;
  TDelivery d = std::move(queue_.front());
  queue_.pop_front();
  if (d.Event) --events_;
  return d;
}

std::vector<TDelivery> TSubscription::PopSome(std::chrono::milliseconds timeout, size_t most) {
  std::vector<TDelivery> out;
  std::unique_lock<std::mutex> g(lock_);
  if (!ready_.wait_for(g, timeout, [this] { return cancelled_ || !queue_.empty(); }) || cancelled_) return out;
  while (!queue_.empty() && out.size() < most) {
    if (queue_.front().Event) --events_;
    out.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  return out;
}

void TSubscription::Cancel() {
  hub_.Forget(this);
  {
    std::lock_guard<std::mutex> g(lock_);
    cancelled_ = true;
    queue_.clear();
    events_ = 0;
  }
  ready_.notify_all();
}

bool TSubscription::Cancelled() const {
  std::lock_guard<std::mutex> g(lock_);
  return cancelled_;
}

TEventHub::TEventHub(size_t keep, size_t queueLimit, uint64_t run)
    : keep_(keep), queueLimit_(queueLimit), run_(run != 0 ? run : NowMicros()) {}

uint64_t TEventHub::Publish(TStream s, std::string text) {
  std::vector<std::string> one;
  one.push_back(std::move(text));
  return PublishAll(s, std::move(one));
}

uint64_t TEventHub::PublishAll(TStream s, std::vector<std::string> texts) {
  const size_t i = static_cast<size_t>(s);
  std::lock_guard<std::mutex> g(lock_);
  TRing& ring = rings_[i];
  // The events are made first: if that fails for want of memory, no number
  // is used and nothing is queued.
  std::vector<TStreamEventPtr> events;
  events.reserve(texts.size());
  for (size_t k = 0; k < texts.size(); ++k)
    events.push_back(std::make_shared<const TStreamEvent>(TStreamEvent{s, ring.Next + k, std::move(texts[k])}));
  wake_.assign(subs_.size(), false);
  // A ring or queue that cannot grow keeps fewer events (a subscriber sees
  // the hole in the numbers), never the others: each subscription gets the
  // whole batch, and every reader marked for waking is woken before the
  // failure goes on.
  std::exception_ptr failure;
  ring.Next += events.size();
  try {
    for (const auto& ev : events) {
      if (keep_ > 0) {
        if (ring.Events.size() >= keep_) ring.Events.pop_front();
        ring.Events.push_back(ev);
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  // Each subscription's lock is taken once for the whole batch.
  for (size_t k = 0; k < subs_.size(); ++k) try {
      if (subs_[k]->Follows(s) && subs_[k]->PushAll(events.data(), events.size())) wake_[k] = true;
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  for (size_t k = 0; k < subs_.size(); ++k)
    if (wake_[k]) subs_[k]->Wake();
  if (failure) std::rethrow_exception(failure);
  return events.empty() ? 0 : events.back()->Seq;
}

TSubscribeResult TEventHub::Subscribe(const TSubscribeRequest& request) {
  TSubscribeResult result;
  result.Run = run_;
  std::lock_guard<std::mutex> g(lock_);
  auto sub = std::make_shared<TSubscription>(*this, nextId_++, request.Streams, queueLimit_);
  for (size_t i = 0; i < kStreamCount; ++i) {
    if (!request.Streams[i]) continue;
    const TRing& ring = rings_[i];
    result.Next[i] = ring.Next;
    if (!request.From[i]) continue;
    // Numbers of another run: everything kept of this one.
    uint64_t from = request.Run != 0 && request.Run != run_ ? 1 : std::max<uint64_t>(*request.From[i], 1);
    if (from >= ring.Next) continue;
    const uint64_t oldest = ring.Events.empty() ? ring.Next : ring.Events.front()->Seq;
    if (from < oldest) {
      sub->PushGap(static_cast<TStream>(i), oldest - from);
      from = oldest;
    }
    for (auto it = ring.Events.begin() + static_cast<std::ptrdiff_t>(from - oldest); it != ring.Events.end(); ++it)
      sub->Push(*it);
  }
  subs_.push_back(sub.get());
  sub->registered_ = true;
  for (size_t i = 0; i < kStreamCount; ++i)
    if (request.Streams[i]) subscribers_[i].fetch_add(1);
  result.Subscription = std::move(sub);
  return result;
}

void TEventHub::Forget(TSubscription* sub) {
  std::lock_guard<std::mutex> g(lock_);
  if (!sub->registered_) return;
  sub->registered_ = false;
  subs_.erase(std::find(subs_.begin(), subs_.end(), sub));
  for (size_t i = 0; i < kStreamCount; ++i)
    if (sub->Follows(static_cast<TStream>(i))) subscribers_[i].fetch_sub(1);
}

void TEventHub::CountGap(TStream s, uint64_t missed) {
  gaps_[static_cast<size_t>(s)].fetch_add(1, std::memory_order_relaxed);
  missed_[static_cast<size_t>(s)].fetch_add(missed, std::memory_order_relaxed);
}

std::array<TStreamCounters, kStreamCount> TEventHub::Counters() const {
  std::array<TStreamCounters, kStreamCount> out{};
  for (size_t i = 0; i < kStreamCount; ++i)
    out[i] = {subscribers_[i].load(), sent_[i].load(), gaps_[i].load(), missed_[i].load()};
  return out;
}

size_t TEventHub::Kept(TStream s) const {
  std::lock_guard<std::mutex> g(lock_);
  return rings_[static_cast<size_t>(s)].Events.size();
}

}  // namespace vexon
