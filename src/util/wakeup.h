// Wakes the communication thread from an idle wait: a new request, the start
// of monitoring, a port opened, or stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vexon {

class TWakeup {
 public:
  void Notify() {
    {
      std::lock_guard<std::mutex> g(lock_);
      pending_ = true;
    }
    cv_.notify_all();
  }
  // Waits until notified or the time-out; consumes the notification.
  bool WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> g(lock_);
    const bool woken = cv_.wait_for(g, timeout, [&] { return pending_; });
    pending_ = false;
    return woken;
  }

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  bool pending_ = false;
};

}  // namespace vexon
