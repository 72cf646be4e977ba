// The server lock: a flag that a client sets and clears, and that ends by
// itself more than one hour after it was last set. While it is set the
// executor works even when the primary controller's configuration is broken,
// and passage events do not update the card-zone model.
#pragma once

#include <cstdint>
#include <mutex>

#include "util/clock.h"

namespace vexon {

class TServerLock {
 public:
  static constexpr uint32_t kLockLifetimeMs = 3600000;

  explicit TServerLock(TClock& clock) : clock_(clock) {}

  // Sets the lock and restarts its hour.
  void SetServerLock();
  // Clears the flag; the tick of the last lock is kept.
  void ClearServerLock();
  bool IsServerLocked() const;
  // Ends the lock when more than one hour has passed since it was set
  // (elapsed time modulo 2^32). Called at the start of every cycle of the
  // communication thread.
  void CheckServerLockTimeout();

 private:
  TClock& clock_;
  mutable std::mutex guard_;
  bool locked_ = false;
  uint32_t lockTick_ = 0;
};

}  // namespace vexon
