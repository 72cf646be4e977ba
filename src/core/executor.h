// The request executor: takes queued requests in order for up to 300 ms,
// checks the gate (primary configuration broken, unless the request is an
// autoconfiguration or the server is locked), the autonomous shortcut and
// the kind of parameter object, carries out one step, stores the answer and
// brings the local model in line with what the controllers now hold.
//
// A request that ClearRequests destroyed while its step ran keeps its
// answer 88 (the result is not stored); the model follow-ups of the exchange
// that did happen still apply. Multi-pass kinds are handed to a TMultiPass
// and stay in the queue until it says they are finished.
//
// Once the stop flag is raised the executor takes no further request and no
// further step: the call ends after the exchange in progress, and what is
// still queued stays in the queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/journal_read.h"
#include "core/multi_pass.h"
#include "core/server_core.h"

namespace vexon {

class TExecutor {
 public:
  static constexpr uint32_t kBudgetMs = 300;

  explicit TExecutor(TServerCore& core) : core_(core), journal_(core), steps_(core), multiPass_(&steps_) {
    steps_.SetJournalStep(&journal_);
  }
  // The multi-pass steps in use (the built-in card-list and journal steps
  // unless replaced).
  void SetMultiPass(TMultiPass* m) { multiPass_ = m ? m : &steps_; }
  TMultiPassSteps& Steps() { return steps_; }
  // The flag that asks the executor to stop taking work (the communication
  // thread's stop request); null: never asked.
  void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
  const std::atomic<bool>* StopFlag() const { return stop_; }
  bool StopAsked() const { return stop_ && stop_->load(); }

  // Returns the number of steps carried out.
  int ExecuteRequests(int32_t caller);

 private:
  void Finish(const TRequestPtr& r, const std::string& key, int32_t value, int32_t a, int32_t b, int32_t c);
  void FinishStandard(const TRequestPtr& r, const std::string& key, bool ok, const TTransactResult& t);
  bool BufKindFits(const TEventQueueItem& r) const;
  bool AutonomousShortcut(const TEventQueueItem& r) const;
  void Step(const TRequestPtr& r, const std::string& key);
  void StepAutoconfig(const TRequestPtr& r, const std::string& key);
  void StepReaderZone(const TRequestPtr& r, const std::string& key, const TBufItem& b);

  TServerCore& core_;
  TJournalReadStep journal_;
  TMultiPassSteps steps_;
  TMultiPass* multiPass_;
  const std::atomic<bool>* stop_ = nullptr;
};

}  // namespace vexon
