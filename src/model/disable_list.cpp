#include "model/disable_list.h"

#include "model/card_key.h"

namespace vexon {

int TDisableList::FindCard(uint8_t facilityCode, uint32_t cardId) const {
  return stamps_.count(GetCardStr(facilityCode, cardId)) ? 0 : -1;
}

void TDisableList::AddIt(uint8_t facilityCode, uint32_t cardId) {
  stamps_.emplace(GetCardStr(facilityCode, cardId), clock_.TickMs());
}

void TDisableList::AddCard(uint8_t facilityCode, uint32_t cardId) {
  stamps_[GetCardStr(facilityCode, cardId)] = clock_.TickMs();
}

bool TDisableList::IsInsertToMon(uint8_t facilityCode, uint32_t cardId) {
  const uint32_t now = clock_.TickMs();
  auto [it, added] = stamps_.emplace(GetCardStr(facilityCode, cardId), now);
  if (added) return true;
  if (TickElapsed(now, it->second) <= kThresholdMs) {
    stamps_.erase(it);
    return false;
  }
  it->second = now;
  return true;
}

void TSuppression::Create() {
  std::lock_guard<std::mutex> g(lock_);
  list_ = std::make_unique<TDisableList>(clock_);
}

void TSuppression::Free() {
  std::lock_guard<std::mutex> g(lock_);
  list_.reset();
}

void TSuppression::StampDisabledCard(uint8_t facilityCode, uint32_t cardId) {
  std::lock_guard<std::mutex> g(lock_);
  if (list_) list_->AddCard(facilityCode, cardId);
}

bool TSuppression::IsReportWanted(uint8_t facilityCode, uint32_t cardId) {
  std::lock_guard<std::mutex> g(lock_);
  return list_ && list_->IsInsertToMon(facilityCode, cardId);
}

bool TSuppression::HasEntry(uint8_t facilityCode, uint32_t cardId) const {
  std::lock_guard<std::mutex> g(lock_);
  return list_ && list_->FindCard(facilityCode, cardId) == 0;
}

}  // namespace vexon
