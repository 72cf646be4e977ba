#include "util/server_lock.h"

namespace vexon {

void TServerLock::SetServerLock() {
  const uint32_t now = clock_.TickMs();
  std::lock_guard<std::mutex> g(guard_);
  locked_ = true;
  lockTick_ = now;
}

void TServerLock::ClearServerLock() {
  std::lock_guard<std::mutex> g(guard_);
  locked_ = false;
}

bool TServerLock::IsServerLocked() const {
  std::lock_guard<std::mutex> g(guard_);
  return locked_;
}

void TServerLock::CheckServerLockTimeout() {
  const uint32_t now = clock_.TickMs();
  std::lock_guard<std::mutex> g(guard_);
  if (locked_ && TickElapsed(now, lockTick_) > kLockLifetimeMs) locked_ = false;
}

}  // namespace vexon
