// When the server process ends: on SIGINT, SIGTERM or SIGHUP, and, when it
// was started for a client, once no RPC connection has been open for the
// idle-exit grace. Started by hand it ends only on a signal.
#pragma once

#include <chrono>
#include <condition_variable>
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
  // Blocks until the process should end.
  TReason Wait();
  int LastSignal() const;

 private:
  const std::optional<std::chrono::milliseconds> idleGrace_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  int open_ = 0;
  int signal_ = 0;
  std::chrono::steady_clock::time_point idleSince_ = std::chrono::steady_clock::now();
};

}  // namespace vexon
