#include "util/clock.h"

#include <ctime>

#include "util/date_time.h"

namespace vexon {

uint32_t TSystemClock::TickMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

double TSystemClock::Now() { return LocalNow(); }

void TManualClock::Advance(uint32_t ms) {
  tick_.fetch_add(ms);
  double cur = now_.load();
  while (!now_.compare_exchange_weak(cur, cur + ms / 86400000.0)) {
  }
}

TClock& SystemClock() {
  static TSystemClock clock;
  return clock;
}

}  // namespace vexon
