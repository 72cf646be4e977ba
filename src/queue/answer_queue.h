// The answer queue: one entry per request, by EventID, holding the command
// state (-1 while pending, then the result code) and three extended results.
//
// Entries are ordered by the decimal text of their EventID, compared as text;
// when the queue holds 752 entries the first in that order is dropped to make
// room (so 10000 goes before 9990). TAnswerQueue itself is not thread-safe;
// TAnswers is the process-level holder that takes the answer lock around
// every operation, and may hold no queue at all (before start-up, after
// shut-down).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vexon {

struct TQAnswerItem {
  int32_t EventID = 0;
  int32_t Value = -1;
  int32_t Int1 = 0;
  int32_t Int2 = 0;
  int32_t Int3 = 0;
};

class TAnswerQueue {
 public:
  static constexpr size_t kCapacity = 752;

  void AddAnswer(int32_t eventId, int32_t value, int32_t int1, int32_t int2, int32_t int3);
  void DropFirstAnswer();
  bool FindAnswer(int32_t eventId) const;
  bool GetAnswerState(int32_t eventId, int32_t& value) const;
  bool GetAnswer(int32_t eventId, TQAnswerItem& entry) const;
  bool SetAnswer(const TQAnswerItem& entry);
  void RemoveAnswer(int32_t eventId);
  // 88 for the entry of `eventId` when it is still pending; false when it
  // was not (unknown or already answered).
  bool AbortPendingOf(int32_t eventId);
  size_t Count() const { return items_.size(); }

 private:
  // Decimal digits only, so byte order equals case-insensitive text order.
  std::map<std::string, TQAnswerItem> items_;
};

class TAnswers {
 public:
  void CreateAnswerQueue();
  void FreeAnswerQueue();
  bool Exists() const;
  // PutRequest's addition of a pending entry; false when there is no queue.
  bool AddPending(int32_t eventId);
  bool StoreAnswer(const TQAnswerItem& entry);
  void DiscardAnswer(int32_t eventId);
  // 88 for the pending answers of these requests only.
  void AbortAnswers(const std::vector<int32_t>& eventIds);

  // What the state operations report: 14 unless the entry is found.
  int32_t GetCommandState(int32_t eventId) const;
  // Value 14 when not found (int1..int3 untouched), else all four fields.
  int32_t GetExtendedCommandState(int32_t eventId, int32_t& int1, int32_t& int2, int32_t& int3) const;
  size_t Count() const;
  // How many results of each code have been stored since start (for the
  // metrics page); a result stored when the queue is gone is not counted.
  std::map<int32_t, uint64_t> ResultCounts() const;

 private:
  mutable std::mutex lock_;
  std::unique_ptr<TAnswerQueue> queue_;
  std::map<int32_t, uint64_t> results_;  // under lock_
};

}  // namespace vexon
