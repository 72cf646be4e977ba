// The stop signals of the server process, taken by sigwait on a thread of
// their own (the set must already be blocked in every thread).
//
// The first SIGINT, SIGTERM or SIGHUP calls `onStop` with the signal;
// a later SIGINT or SIGTERM, while the server stops, ends the stop grace of
// `server` (SIGHUP never does). MarkStopping() records a stop that began
// otherwise ("Выход", no client left), so that a signal after it only
// shortens the grace. The destructor ends the thread.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace vexon {

class TServerApp;

class TStopSignals {
 public:
  TStopSignals(const sigset_t& stopSet, TServerApp& server, std::function<void(int sig)> onStop);
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  // True when this call began the stop (no signal had).
  bool MarkStopping() { return !stopping_.exchange(true); }

 private:
  std::atomic<bool> stopping_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace vexon
