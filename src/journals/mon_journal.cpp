#include "journals/mon_journal.h"

#include <cmath>
#include <cstdio>

#include "util/date_time.h"
#include "util/result_codes.h"

namespace vexon {

bool TMonList::AddEvent(const TMJItem& ev, TMonItem* added) {
  sequence_ = sequence_ == INT32_MAX ? 1 : sequence_ + 1;
  if (items_.size() >= kCapacity) items_.erase(items_.begin());
  // Within the years a date-time can name.
  if (!std::isfinite(ev.Time) || ev.Time < -693593.0 || ev.Time > 2958466.0) return false;
  const TDateFields f = DecodeDateTime(ev.Time);  // milliseconds dropped
  char key[48];
  std::snprintf(key, sizeof key, "%d%02d%02d%02d%02d%02d%010d", f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second,
                sequence_);
  TMonItem m;
  m.Year = f.Year;
  m.Month = static_cast<uint8_t>(f.Month);
  m.Day = static_cast<uint8_t>(f.Day);
  m.Hour = static_cast<uint8_t>(f.Hour);
  m.Minute = static_cast<uint8_t>(f.Minute);
  m.Second = static_cast<uint8_t>(f.Second);
  m.MakeAdr = ev.MakeAdr;
  m.AdrAdd = ev.AdrAdd;
  m.EventCode = ev.EventCode;
  m.EventAdd = ev.EventAdd;
  m.CardID = ev.CardID;
  m.FacilityCode = ev.FacilityCode;
  items_.emplace(key, m);
  if (added) *added = m;
  return true;
}

bool TMonList::TakeFirst(TMonItem& out) {
  if (items_.empty()) return false;
  out = items_.begin()->second;
  items_.erase(items_.begin());
  return true;
}

void TMonJournal::Create() {
  std::lock_guard<std::mutex> g(lock_);
  list_ = std::make_unique<TMonList>();
}

void TMonJournal::Free() {
  std::lock_guard<std::mutex> g(lock_);
  list_.reset();
}

void TMonJournal::Publish(const TMJList& events) {
  std::lock_guard<std::mutex> g(lock_);
  if (!list_) return;
  TMonItem added;
  bool told = false;
  try {
    for (const auto& e : events)
      if (!e.Suppressed && list_->AddEvent(e, &added) && observer_) {
        told = true;
        observer_(e, added);
      }
  } catch (...) {
    // What the observer was told of still goes on now, not with a later batch.
    if (told && batchEnd_) batchEnd_();
    throw;
  }
  if (told && batchEnd_) batchEnd_();
}

int32_t TMonJournal::GetMonEvent(TMonItem& out) {
  std::lock_guard<std::mutex> g(lock_);
  if (!list_ || !list_->TakeFirst(out)) return rcNoMonEvents;
  return rcOk;
}

void TMonJournal::Clear() {
  std::lock_guard<std::mutex> g(lock_);
  if (list_) list_->Clear();
}

size_t TMonJournal::Count() const {
  std::lock_guard<std::mutex> g(lock_);
  return list_ ? list_->Count() : 0;
}

}  // namespace vexon
