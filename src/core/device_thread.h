// The communication thread: the only user of the serial port. Each cycle ends
// an expired server lock, carries out queued requests for up to 300 ms and
// runs the monitoring poll once. When a cycle made no exchange it waits until
// something can change that (a new request, monitoring started, a port
// opened, the next lock expiry, stop) instead of waking every millisecond.
//
// A stop takes effect at once: the executor takes no further request or step,
// the port refuses further sends and a waiting read ends, so at most the
// exchange in progress reaches the line; the monitoring poll does not run
// again. Requests still queued stay where they are.
//
// While the thread exists it holds "test.txt" open in the data directory.
#pragma once

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/executor.h"
#include "core/server_core.h"

namespace vexon {

// The monitoring poll as the thread sees it.
class TCyclePoll {
 public:
  virtual ~TCyclePoll() = default;
  // Runs the poll once; true when it exchanged anything with the line.
  virtual bool Poll() = 0;
  // Whether the poll has work to do (monitoring on).
  virtual bool Active() const = 0;
};

class TDeviceThread {
 public:
  TDeviceThread(TServerCore& core, TExecutor& executor, TCyclePoll* poll = nullptr);
  ~TDeviceThread();

  // Stops any previous thread, creates a suspended one and "test.txt".
  // Throws std::runtime_error when the file cannot be created.
  void StartDeviceThread();
  void ResumeDeviceThread();
  // Asks the thread to end without waiting for it: from here on nothing new
  // goes onto the line. Shut-down calls it first, before the connections'
  // grace, so no queued request runs meanwhile.
  void RequestStop();
  // RequestStop, then waits for the thread to end and closes "test.txt"
  // (std::runtime_error on failure).
  void StopDeviceThread();
  bool StopRequested() const { return stop_.load(); }
  bool Running() const { return thread_.joinable(); }
  uint64_t Cycles() const { return cycles_.load(); }
  // How often the thread has woken while still suspended (each time it
  // looked and went back to waiting without touching the queue).
  uint64_t SuspendedWakeups() const { return suspendedWakeups_.load(); }

  // Idle wait while monitoring runs on a closed port.
  static constexpr int kClosedPortRetryMs = 250;
  // Longest idle wait: the server lock is checked at least this often.
  static constexpr int kIdleWaitMs = 1000;

 private:
  void Body();

  TServerCore& core_;
  TExecutor& executor_;
  TCyclePoll* poll_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> resumed_{false};
  std::atomic<uint64_t> cycles_{0};
  std::atomic<uint64_t> suspendedWakeups_{0};
  std::FILE* marker_ = nullptr;
};

}  // namespace vexon
