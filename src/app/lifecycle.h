// When the server process ends: on SIGINT, SIGTERM or SIGHUP, and, when it
// was started for a client, once no RPC connection has been open for the
// idle-exit grace and no work is in hand (a queued request, a card list or
// journal read part-way: the client that asked for it may have gone, but
// the controllers must not be left with half of it). Answers nobody
// collected keep nothing alive. Started by hand it ends only on a signal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

namespace vexon {

class TLifecycle {
 public:
  enum class TReason { Signal, Idle };

  // `idleGrace` set: end after that long without a connection (the time
  // before the first connection counts too).
  explicit TLifecycle(std::optional<std::chrono::milliseconds> idleGrace) : idleGrace_(idleGrace) {}

  // The number of open RPC connections, after every change.
  void ConnectionsChanged(int open);
  // A stop signal arrived.
  void Signal(int sig);
  // Says whether work is in hand; asked when the grace has passed (and
  // again every `recheck` while it says yes).
  void SetBusy(std::function<bool()> busy, std::chrono::milliseconds recheck = std::chrono::milliseconds(100));
  // Blocks until the process should end.
  TReason Wait();
  int LastSignal() const;

 private:
  const std::optional<std::chrono::milliseconds> idleGrace_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  int open_ = 0;
  int signal_ = 0;
  std::function<bool()> busy_;
  std::chrono::milliseconds recheck_{100};
  std::chrono::steady_clock::time_point idleSince_ = std::chrono::steady_clock::now();
};

}  // namespace vexon
