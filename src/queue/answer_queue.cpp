#include "queue/answer_queue.h"

#include "util/result_codes.h"

namespace vexon {

void TAnswerQueue::AddAnswer(int32_t eventId, int32_t value, int32_t int1, int32_t int2, int32_t int3) {
  if (items_.size() >= kCapacity) DropFirstAnswer();
  items_.emplace(std::to_string(eventId), TQAnswerItem{eventId, value, int1, int2, int3});
}

void TAnswerQueue::DropFirstAnswer() {
  if (!items_.empty()) items_.erase(items_.begin());
}

bool TAnswerQueue::FindAnswer(int32_t eventId) const { return items_.count(std::to_string(eventId)) != 0; }

bool TAnswerQueue::GetAnswerState(int32_t eventId, int32_t& value) const {
  auto it = items_.find(std::to_string(eventId));
  if (it == items_.end()) return false;
  value = it->second.Value;
  return true;
}

bool TAnswerQueue::GetAnswer(int32_t eventId, TQAnswerItem& entry) const {
  auto it = items_.find(std::to_string(eventId));
  if (it == items_.end()) return false;
  entry = it->second;
  return true;
}

bool TAnswerQueue::SetAnswer(const TQAnswerItem& entry) {
  auto it = items_.find(std::to_string(entry.EventID));
  if (it == items_.end()) return false;
  it->second = entry;
  return true;
}

void TAnswerQueue::RemoveAnswer(int32_t eventId) { items_.erase(std::to_string(eventId)); }

bool TAnswerQueue::AbortPendingOf(int32_t eventId) {
  TQAnswerItem item;
  if (!GetAnswer(eventId, item) || item.Value != -1) return false;
  item.Value = rcAbortedByAutoconfig;
  SetAnswer(item);
  return true;
}

void TAnswers::AbortAnswers(const std::vector<int32_t>& eventIds) {
  std::lock_guard<std::mutex> g(lock_);
  if (!queue_) return;
  for (int32_t id : eventIds)
    if (queue_->AbortPendingOf(id)) ++results_[rcAbortedByAutoconfig];
}

void TAnswers::CreateAnswerQueue() {
  std::lock_guard<std::mutex> g(lock_);
  queue_ = std::make_unique<TAnswerQueue>();
}

void TAnswers::FreeAnswerQueue() {
  std::lock_guard<std::mutex> g(lock_);
  queue_.reset();
}

bool TAnswers::Exists() const {
  std::lock_guard<std::mutex> g(lock_);
  return queue_ != nullptr;
}

bool TAnswers::AddPending(int32_t eventId) {
  std::lock_guard<std::mutex> g(lock_);
  if (!queue_) return false;
  queue_->AddAnswer(eventId, -1, 0, 0, 0);
  return true;
}

bool TAnswers::StoreAnswer(const TQAnswerItem& entry) {
  std::lock_guard<std::mutex> g(lock_);
  if (!queue_) return false;
  ++results_[entry.Value];
  return queue_->SetAnswer(entry);
}

std::map<int32_t, uint64_t> TAnswers::ResultCounts() const {
  std::lock_guard<std::mutex> g(lock_);
  return results_;
}

void TAnswers::DiscardAnswer(int32_t eventId) {
  std::lock_guard<std::mutex> g(lock_);
  if (queue_) queue_->RemoveAnswer(eventId);
}

int32_t TAnswers::GetCommandState(int32_t eventId) const {
  int32_t value = rcCommandFailed;
  std::lock_guard<std::mutex> g(lock_);
  if (queue_) queue_->GetAnswerState(eventId, value);
  return value;
}

int32_t TAnswers::GetExtendedCommandState(int32_t eventId, int32_t& int1, int32_t& int2, int32_t& int3) const {
  std::lock_guard<std::mutex> g(lock_);
  TQAnswerItem item;
  if (!queue_ || !queue_->GetAnswer(eventId, item)) return rcCommandFailed;
  int1 = item.Int1;
  int2 = item.Int2;
  int3 = item.Int3;
  return item.Value;
}

size_t TAnswers::Count() const {
  std::lock_guard<std::mutex> g(lock_);
  return queue_ ? queue_->Count() : 0;
}

}  // namespace vexon
