// TSysVexonComServer: the automation object. It holds no state of its own;
// every instance works on the process-wide state it is given. Invoke runs
// one operation of the table: argument checks in their order, the first
// failing one decides Value; [in,out] arguments are written only on success
// except where an operation says otherwise. An unexpected failure (a 16-bit
// quantity out of range, a conversion failure) is thrown as
// TAutomationError and nothing is queued.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "automation/call.h"
#include "core/server_core.h"
#include "journals/mon_journal.h"
#include "core/monitor.h"

namespace vexon {

// The calendar buffer: 12 months of 8 bytes under its own lock.
class TCalendarBuffer {
 public:
  void Clear();
  void SetMonth(int month, const uint8_t* bytes8);
  std::array<uint8_t, 96> Copy() const;

 private:
  mutable std::mutex lock_;
  std::array<uint8_t, 96> bytes_{};
};

// Set once when the server begins to shut down; long waits inside calls
// end early on it, so that no call holds the shut-down up.
class TShutdownNotice {
 public:
  void Begin() {
    std::lock_guard<std::mutex> g(lock_);
    begun_ = true;
    changed_.notify_all();
  }
  bool Begun() const {
    std::lock_guard<std::mutex> g(lock_);
    return begun_;
  }
  // Waits `ms`, or less once the shut-down has begun; true when the whole
  // time passed.
  bool WaitFor(std::chrono::milliseconds ms) {
    std::unique_lock<std::mutex> g(lock_);
    return !changed_.wait_for(g, ms, [this] { return begun_; });
  }

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool begun_ = false;
};

struct TServices {
  TServerCore& Core;
  TMonitor& Monitor;
  TMonJournal& MonJournal;
  TCalendarBuffer& Calendar;
  // The wait of the identifier check for 65567 (more than 10000 ms).
  uint32_t CheckDispatchWaitMs = 10001;
  TShutdownNotice* Shutdown = nullptr;  // null: waits run their full time
};

class TSysVexonComServer {
 public:
  explicit TSysVexonComServer(TServices& services) : s_(services) {}

  // Runs the operation named in `call`. Throws TAutomationError.
  void Invoke(TCall& call);
  // Whether an operation is carried out by this build.
  static bool Available(const std::string& name);

  // Shared conventions, public for the operation files.
  TServices& S() { return s_; }
  // Configured and an address list that is not empty.
  bool ConfiguredWithAddresses() const;
  // A 16-bit quantity; outside 0..65535 the call fails.
  static uint16_t Check16(const char* name, int64_t value);
  // The system address of a factory address (0: 255), or -1.
  int32_t FindSysAdr(int32_t makeAdr) const;
  // Controller addressing: configured with addresses (31), the argument
  // `name` 16-bit, known (32; 0 is every controller, 255). Empty when Value
  // is set.
  std::optional<uint8_t> ConfiguredController(TCall& call, const char* name);
  // Queues a ready command buffer: EventID and Value 0, or Value 11.
  void QueueBuffer(TCall& call, uint8_t kind, const uint8_t* bytes, uint8_t length);
  void QueueObject(TCall& call, uint8_t kind, uint8_t bufKind, std::unique_ptr<TParamObject> obj);

 private:
  TServices& s_;
};

using TOperationHandler = std::function<void(TSysVexonComServer&, TCall&)>;
using TOperationMap = std::map<std::string, TOperationHandler>;
// Each operation file adds its handlers.
void AddServerOperations(TOperationMap& ops);
void AddCommandOperations(TOperationMap& ops);
void AddMonitoringOperations(TOperationMap& ops);
void AddCardOperations(TOperationMap& ops);
void AddJournalOperations(TOperationMap& ops);

}  // namespace vexon
