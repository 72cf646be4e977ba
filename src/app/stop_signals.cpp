#include "app/stop_signals.h"

#include <pthread.h>

#include "app/server_app.h"
#include "util/log.h"

namespace vexon {

TStopSignals::TStopSignals(const sigset_t& stopSet, TServerApp& server, std::function<void(int)> onStop) {
  thread_ = std::thread([this, stopSet, &server, onStop = std::move(onStop)] {
    for (;;) {
      int sig = 0;
      if (sigwait(&stopSet, &sig) != 0) continue;
      if (finished_.load()) return;
      const char* name = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP";
      if (!stopping_.exchange(true)) {
        log::info("stopping ({})", name);
        onStop(sig);
      } else if (sig != SIGHUP) {
        log::info("{} while stopping: calls in progress get no more time", name);
        server.SkipGrace();
      }
    }
  });
}

TStopSignals::~TStopSignals() {
  // Woken with a signal of its own from the set.
  finished_.store(true);
  pthread_kill(thread_.native_handle(), SIGTERM);
  thread_.join();
}

}  // namespace vexon
