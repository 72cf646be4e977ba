// The monitoring journal: entries in time order (key: the event's date and
// time, then a 10-digit arrival number, compared as text), at most 65520;
// a full journal loses its oldest entry for each new one. Clients take the
// first entry. All operations take the journal lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "journals/mon_types.h"

namespace vexon {

class TMonList {
 public:
  static constexpr size_t kCapacity = 65520;
  // False when the time cannot be split into a date (the event is dropped).
  // `added`, when given, receives the entry as a client will take it.
  bool AddEvent(const TMJItem& ev, TMonItem* added = nullptr);
  bool TakeFirst(TMonItem& out);
  void Clear() { items_.clear(); }
  size_t Count() const { return items_.size(); }
  int32_t MonSequence() const { return sequence_; }
  void SetMonSequence(int32_t s) { sequence_ = s; }

 private:
  std::multimap<std::string, TMonItem> items_;
  int32_t sequence_ = 0;
};

class TMonJournal {
 public:
  // Told of every entry added, in order, under the journal's lock (so it
  // must not call back into the journal or wait): the event streams follow
  // the journal this way without taking anything from it. `batchEnd`, when
  // given, is called under the same lock after each Publish that told of at
  // least one entry, so an observer can hand a batch on at once. Set before
  // the journal is used.
  using TObserver = std::function<void(const TMJItem& event, const TMonItem& entry)>;
  void SetObserver(TObserver observer, std::function<void()> batchEnd = {}) {
    observer_ = std::move(observer);
    batchEnd_ = std::move(batchEnd);
  }

  void Create();
  void Free();
  // Adds the unmarked events in order.
  void Publish(const TMJList& events);
  // 35 when the journal is absent or empty; else 0 and the oldest entry,
  // which is removed.
  int32_t GetMonEvent(TMonItem& out);
  void Clear();
  size_t Count() const;
  // For tests and benchmarks: direct access under the lock.
  template <class F>
  void With(F&& f) {
    std::lock_guard<std::mutex> g(lock_);
    if (list_) f(*list_);
  }

 private:
  mutable std::mutex lock_;
  std::unique_ptr<TMonList> list_;
  TObserver observer_;
  std::function<void()> batchEnd_;
};

}  // namespace vexon
