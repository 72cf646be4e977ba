#include "core/device_thread.h"

#include <chrono>

namespace vexon {

TDeviceThread::TDeviceThread(TServerCore& core, TExecutor& executor, TCyclePoll* poll)
    : core_(core), executor_(executor), poll_(poll) {}

TDeviceThread::~TDeviceThread() {
  try {
    StopDeviceThread();
  } catch (const std::exception&) {
  }
  if (executor_.StopFlag() == &stop_) executor_.SetStopFlag(nullptr);
}

void TDeviceThread::StartDeviceThread() {
  StopDeviceThread();
  const std::string path = core_.DataFile("test.txt");
  marker_ = std::fopen(path.c_str(), "w");
  if (!marker_) throw std::runtime_error("cannot create " + path);
  stop_ = false;
  resumed_ = false;
  executor_.SetStopFlag(&stop_);
  if (TUart* u = core_.Port.Uart()) u->ClearInterrupt();
  thread_ = std::thread([this] { Body(); });
}

void TDeviceThread::ResumeDeviceThread() {
  if (!thread_.joinable()) return;
  resumed_ = true;
  core_.Wakeup.Notify();
}

void TDeviceThread::RequestStop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  resumed_ = true;
  if (TUart* u = core_.Port.Uart()) u->Interrupt();
  core_.Wakeup.Notify();
}

void TDeviceThread::StopDeviceThread() {
  if (thread_.joinable()) {
    RequestStop();
    thread_.join();
    // The port and the executor serve whoever comes next.
    if (TUart* u = core_.Port.Uart()) u->ClearInterrupt();
    if (executor_.StopFlag() == &stop_) executor_.SetStopFlag(nullptr);
  }
  if (marker_) {
    const int rc = std::fclose(marker_);
    marker_ = nullptr;
    if (rc != 0) throw std::runtime_error("cannot close " + core_.DataFile("test.txt"));
  }
}

void TDeviceThread::Body() {
  // Created suspended: nothing runs until ResumeDeviceThread.
  while (!resumed_) {
    core_.Wakeup.WaitFor(std::chrono::milliseconds(kIdleWaitMs));
    if (!resumed_) ++suspendedWakeups_;
  }
  while (!stop_) {
    core_.ServerLock.CheckServerLockTimeout();
    const int steps = executor_.ExecuteRequests(0);
    if (stop_) break;
    const bool polled = poll_ && poll_->Active() && poll_->Poll();
    ++cycles_;
    if (stop_) break;
    if (steps > 0 || polled) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    // Nothing happened on the line: wait for a reason to go on (monitoring
    // on a closed or failing port retries a few times a second).
    const int waitMs = poll_ && poll_->Active() ? kClosedPortRetryMs : kIdleWaitMs;
    core_.Wakeup.WaitFor(std::chrono::milliseconds(waitMs));
  }
}

}  // namespace vexon
