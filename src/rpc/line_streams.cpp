#include "rpc/line_streams.h"

#include "rpc/stream_methods.h"
#include "util/log.h"
#include "util/thread_priority.h"

namespace vexon {

TLineStreams::TLineStreams(TEventHub& hub, TWrite write, std::function<void()> hangUp)
    : hub_(hub), write_(std::move(write)), hangUp_(std::move(hangUp)) {}

TLineStreams::~TLineStreams() {
  std::map<uint64_t, TEntry> entries;
  {
    std::lock_guard<std::mutex> g(lock_);
    entries.swap(entries_);
  }
  // The connection is ending: a sender stuck in a write must not hold it up.
  if (!entries.empty()) hangUp_();
  for (auto& [id, entry] : entries) End(entry);
}

void TLineStreams::End(TEntry& entry) {
  entry.Sub->Cancel();
  {
    // A sender still waiting for its release must see the cancel.
    std::lock_guard<std::mutex> g(lock_);
    released_.notify_all();
  }
  if (entry.Sender.joinable()) entry.Sender.join();
}

nlohmann::json TLineStreams::Subscribe(const nlohmann::json& params) {
  TSubscribeRequest request;
  std::string why;
  if (!ReadSubscribeParams(params, request, why)) throw TStreamCallError{-32602, why};
  std::lock_guard<std::mutex> g(lock_);
  if (entries_.size() >= kMaxPerConnection)
    throw TStreamCallError{-32000, "at most " + std::to_string(kMaxPerConnection) + " subscriptions per connection"};
  TSubscribeResult result = hub_.Subscribe(request);
  const uint64_t id = result.Subscription->Id();
  TEntry& entry = entries_[id];
  entry.Sub = result.Subscription;
  try {
    entry.Sender = std::thread([this, sub = result.Subscription] { Send(*sub); });
  } catch (const std::exception& e) {
    entries_.erase(id);
    log::warn("cannot start a thread for a subscription: {}", e.what());
    throw TStreamCallError{-32000, "the server cannot take another subscription now"};
  }
  return {{"subscription", id}, {"run", result.Run}, {"next", NextObject(request, result)}};
}

nlohmann::json TLineStreams::Unsubscribe(const nlohmann::json& params) {
  const auto it = params.find("subscription");
  if (it == params.end() || !it->is_number_unsigned() || params.size() != 1)
    throw TStreamCallError{-32602, "expected {\"subscription\": S}"};
  const uint64_t id = it->get<uint64_t>();
  TEntry entry;
  {
    std::lock_guard<std::mutex> g(lock_);
    const auto e = entries_.find(id);
    if (e == entries_.end())
      throw TStreamCallError{-32602, "no subscription " + std::to_string(id) + " on this connection"};
    entry = std::move(e->second);
    entries_.erase(e);
  }
  End(entry);
  return {{"subscription", id}};
}

void TLineStreams::Release() {
  std::lock_guard<std::mutex> g(lock_);
  if (entries_.empty() || entries_.rbegin()->first <= releasedUpTo_) return;
  releasedUpTo_ = entries_.rbegin()->first;
  released_.notify_all();
}

void TLineStreams::Send(TSubscription& sub) {
  LowerThisThreadPriority();
  {
    std::unique_lock<std::mutex> g(lock_);
    released_.wait(g, [&] { return releasedUpTo_ >= sub.Id() || sub.Cancelled(); });
  }
  // Everything waiting goes out in one write: a busy stream costs one
  // wake-up and one system call per batch, not per event.
  std::string text;
  while (!sub.Cancelled()) {
    const auto batch = sub.PopSome(std::chrono::hours(1), kBatch);
    if (batch.empty()) continue;
    text.clear();
    for (const auto& d : batch) {
      AppendNotification(text, sub.Id(), d);
      text += '\n';
    }
    if (!write_(text)) {
      hangUp_();
      return;
    }
    for (const auto& d : batch) {
      if (d.Event)
        hub_.CountSent(d.Stream);
      else
        hub_.CountGap(d.Stream, d.Missed);
    }
  }
}

}  // namespace vexon
