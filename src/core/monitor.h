// The monitoring poll: while monitoring is on, once per cycle of the
// communication thread it checks that the primary controller answers, reads
// its monitoring pages, decodes them, keeps the status blocks current,
// raises link-lost / link-restored events exactly once each and reports a
// configuration violation, then publishes the events into the journal.
//
// The first complete poll after StartMonitoring reads and decodes but does
// not publish, so records that piled up before never reach the journal.
// A fetch is bounded in pages as well as records, so a primary controller
// that never sets the end flag cannot hold the communication thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "core/device_thread.h"
#include "core/server_core.h"
#include "journals/mon_decode.h"
#include "journals/mon_journal.h"

namespace vexon {

class TMonitor final : public TCyclePoll {
 public:
  static constexpr size_t kMaxRecordsPerPoll = 512;
  // Pages read by one fetch at most; the fetch then counts as successful
  // with what it read.
  static constexpr int kMaxPagesPerPoll = 64;
  static constexpr int kMaxFailCount = 100;

  TMonitor(TServerCore& core, TMonJournal& journal);

  // Client side.
  void StartMonitoring();
  void StopMonitoring();
  bool MonitoringOn() const { return monitoringOn_.load(); }
  bool FirstPass() const { return firstPass_.load(); }
  void SetRefreshAll() { refreshAll_ = true; }

  // TCyclePoll: true when the poll used the line (answers or time-outs).
  bool Poll() override;
  bool Active() const override { return monitoringOn_.load(); }

  void MonitoringPoll();
  bool FetchPages();
  int32_t FailCount() const { return failCount_; }
  const std::vector<TRawRecord>& RawRecords() const { return raw_; }
  const TMJList& DecodedEvents() const { return events_; }

 private:
  bool QueryPrimaryStatus(std::array<uint8_t, 7>& status);
  void AddLinkEvent(bool lost);
  void ReportConfigurationViolation();
  void PublishEvents();
  void StatusRefresh();
  void CountFailure() {
    if (failCount_ < kMaxFailCount) ++failCount_;
  }

  TServerCore& core_;
  TMonJournal& journal_;
  TDecodeContext ctx_;
  std::atomic<bool> monitoringOn_{false};
  std::atomic<bool> firstPass_{true};
  std::atomic<bool> refreshAll_{false};
  int32_t failCount_ = 0;
  bool useNextCommand_ = false;
  int32_t lastPageCount_ = 0;
  std::vector<uint8_t> lastPage_;
  std::vector<TRawRecord> raw_;
  TMJList events_;
};

}  // namespace vexon
