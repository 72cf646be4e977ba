#include "app/lifecycle.h"

namespace vexon {

void TLifecycle::ConnectionsChanged(int open) {
  std::lock_guard<std::mutex> g(lock_);
  if (open == 0 && open_ != 0) idleSince_ = std::chrono::steady_clock::now();
  open_ = open;
  changed_.notify_all();
}

void TLifecycle::Signal(int sig) {
  std::lock_guard<std::mutex> g(lock_);
  if (signal_ == 0) signal_ = sig;
  changed_.notify_all();
}

void TLifecycle::SetBusy(std::function<bool()> busy, std::chrono::milliseconds recheck) {
  std::lock_guard<std::mutex> g(lock_);
  busy_ = std::move(busy);
  recheck_ = recheck;
}

int TLifecycle::LastSignal() const {
  std::lock_guard<std::mutex> g(lock_);
  return signal_;
}

TLifecycle::TReason TLifecycle::Wait() {
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    if (signal_ != 0) return TReason::Signal;
    if (!idleGrace_) {
      changed_.wait(g);
      continue;
    }
    if (open_ == 0) {
      const auto deadline = idleSince_ + *idleGrace_;
      if (std::chrono::steady_clock::now() < deadline) {
        changed_.wait_until(g, deadline);
      } else if (busy_ && busy_()) {
        changed_.wait_for(g, recheck_);
      } else {
        return TReason::Idle;
      }
    } else {
      changed_.wait(g);
    }
  }
}

}  // namespace vexon
