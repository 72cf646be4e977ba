// Time source of the server: a 32-bit millisecond tick and the local date-time.
//
// Everything that measures time (the server lock, the suppression window,
// record dating, the executor's budget) reads it through a TClock so that
// tests can move time by hand. Elapsed time is always computed modulo 2^32,
// so intervals stay right across the wrap of the tick after about 49.7 days.
#pragma once

#include <atomic>
#include <cstdint>

namespace vexon {

class TClock {
 public:
  virtual ~TClock() = default;
  // Milliseconds since an arbitrary origin, truncated to 32 bits.
  virtual uint32_t TickMs() = 0;
  // Local date-time as days since 1899-12-30 (fraction = time of day).
  virtual double Now() = 0;
};

// Elapsed milliseconds from `then` to `now`, modulo 2^32.
inline uint32_t TickElapsed(uint32_t now, uint32_t then) { return now - then; }

// CLOCK_MONOTONIC tick and the system's local time.
class TSystemClock final : public TClock {
 public:
  uint32_t TickMs() override;
  double Now() override;
};

// A clock that only moves when told to. Thread-safe.
class TManualClock final : public TClock {
 public:
  explicit TManualClock(uint32_t tick = 0, double now = 45000.0) : tick_(tick), now_(now) {}
  uint32_t TickMs() override { return tick_.load(); }
  double Now() override { return now_.load(); }
  void SetTick(uint32_t t) { tick_ = t; }
  // Moves the tick and the date-time together.
  void Advance(uint32_t ms);
  void SetNow(double dt) { now_ = dt; }

 private:
  std::atomic<uint32_t> tick_;
  std::atomic<double> now_;
};

// The process clock used by code that was not handed one explicitly.
TClock& SystemClock();

}  // namespace vexon
