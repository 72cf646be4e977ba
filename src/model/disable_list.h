// The suppression list: per card, the tick at which it was last disabled
// through the server or last reported by a type-24 record. A new report
// within 10000 ms of that stamp stays out of the monitoring journal (and
// forgets the card, so a third report is journaled again). Elapsed time is
// taken modulo 2^32, so the decision holds across the wrap of the tick.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "util/clock.h"

namespace vexon {

class TDisableList {
 public:
  static constexpr uint32_t kThresholdMs = 10000;
  explicit TDisableList(TClock& clock) : clock_(clock) {}
  int FindCard(uint8_t facilityCode, uint32_t cardId) const;
  void AddIt(uint8_t facilityCode, uint32_t cardId);
  void AddCard(uint8_t facilityCode, uint32_t cardId);
  bool IsInsertToMon(uint8_t facilityCode, uint32_t cardId);
  size_t Count() const { return stamps_.size(); }

 private:
  TClock& clock_;
  std::map<std::string, uint32_t> stamps_;
};

// The process-level list behind the suppression-list lock.
class TSuppression {
 public:
  explicit TSuppression(TClock& clock) : clock_(clock) {}
  void Create();
  void Free();
  // After the server disabled a card; nothing when the list does not exist.
  void StampDisabledCard(uint8_t facilityCode, uint32_t cardId);
  // Whether a type-24 report goes into the journal; false without a list.
  bool IsReportWanted(uint8_t facilityCode, uint32_t cardId);
  bool HasEntry(uint8_t facilityCode, uint32_t cardId) const;

 private:
  TClock& clock_;
  mutable std::mutex lock_;
  std::unique_ptr<TDisableList> list_;
};

}  // namespace vexon
