// The subscriptions of one line connection (TCP or Unix socket):
// vexon.subscribe and vexon.unsubscribe, and one thread per subscription
// that sends its vexon.event notifications, in order, each one whole line
// through the connection's own write (which holds the connection's write
// lock, so a notification never splits an answer).
//
// A subscription sends nothing before Release(), which the connection calls
// once the answer to the call that made it is written: the client learns
// its subscription number before the first notification. Once
// vexon.unsubscribe has answered, nothing more of that subscription comes.
// A notification that cannot be written (the peer makes no progress for the
// write time-out, or is gone) ends the connection through `hangUp`; the
// subscriber resumes with `from` on a new one. At most kMaxPerConnection
// subscriptions per connection.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "events/event_hub.h"
#include "rpc/dispatcher.h"

namespace vexon {

class TLineStreams final : public TStreamCalls {
 public:
  static constexpr size_t kMaxPerConnection = 8;
  // Notifications written at once, at most.
  static constexpr size_t kBatch = 256;
  // Sends one whole line; false when the connection cannot take it.
  using TWrite = std::function<bool(const std::string& line)>;

  TLineStreams(TEventHub& hub, TWrite write, std::function<void()> hangUp);
  ~TLineStreams() override;

  nlohmann::json Subscribe(const nlohmann::json& params) override;
  nlohmann::json Unsubscribe(const nlohmann::json& params) override;
  void Release();

 private:
  struct TEntry {
    std::shared_ptr<TSubscription> Sub;
    std::thread Sender;
  };
  void Send(TSubscription& sub);
  void End(TEntry& entry);

  TEventHub& hub_;
  const TWrite write_;
  const std::function<void()> hangUp_;
  std::mutex lock_;
  std::condition_variable released_;
  uint64_t releasedUpTo_ = 0;  // subscriptions up to this number may send
  std::map<uint64_t, TEntry> entries_;
};

}  // namespace vexon
