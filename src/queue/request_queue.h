// The request queue: every piece of work for the controller network, ordered
// by priority class and request number.
//
// A request's key is its two-character priority class followed by its EventID
// in decimal; keys are compared as text, so within a class request 10 comes
// before request 9. So that text order cannot starve a request (98 behind
// 100 to 979 under steady load), a request overtaken by 100 requests of its
// own class queued after it is taken next. With the "/X" switch the queue
// keeps arrival order, which is numbering order.
//
// Promises:
// - EventIDs are 1, 2, ... across all clients; after 2147483647 comes 0.
// - A request's pending answer entry exists before the executor can see the
//   request (the id is drawn under the queue lock, the answer added under the
//   answer lock, then the request inserted; the two locks are never held
//   together). A request whose putting-in overlaps a ClearRequests is
//   cleared with the others: its answer is 88.
// - Records are shared: the executor keeps the record it works on alive even
//   when ClearRequests empties the queue. Such a record is marked cancelled,
//   and removing it later by its key does nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "queue/answer_queue.h"
#include "queue/params.h"
#include "queue/request_kinds.h"
#include "util/wakeup.h"

namespace vexon {

struct TEventQueueItem {
  TEventQueueItem(uint8_t kind, uint8_t bufKind, std::unique_ptr<TParamObject> buf)
      : Kind(kind), BufKind(bufKind), Buf(std::move(buf)) {}
  int32_t EventID = 0;
  uint8_t Kind;
  uint8_t BufKind;
  std::unique_ptr<TParamObject> Buf;
  // Set when ClearRequests dropped the record; the executor stops working on it.
  std::atomic<bool> Cancelled{false};
};

using TRequestPtr = std::shared_ptr<TEventQueueItem>;

// The ordered list itself; not thread-safe.
class TEventQueue {
 public:
  explicit TEventQueue(bool arrivalOrder) : arrival_(arrivalOrder) {}
  static constexpr uint32_t kMaxOvertaken = 100;

  // Draws the next EventID (wrapping after 2147483647 to 0) and, when
  // `seq` is given, the request's place in arrival order.
  int32_t NextEventID(uint64_t* seq = nullptr);
  // Builds the key of a kind and a number: class text + decimal number.
  static std::string MakeKey(uint8_t kind, int32_t eventId);
  // The number of a key (after its two-character class), or -1.
  static int32_t EventIDOfKey(const std::string& key);
  // Inserts a numbered record at its place; `seq` from NextEventID keeps
  // arrival order equal to numbering order (0: the next place).
  void Insert(TRequestPtr item, uint64_t seq = 0);
  // AddRequest: numbers the record and inserts it.
  void AddRequest(TRequestPtr item);
  bool First(TRequestPtr& item, std::string& key) const;
  // Removes the entry with this key; false when no entry has it.
  bool Remove(const std::string& key);
  // Marks every record cancelled and empties the list; the EventIDs of the
  // records it held.
  std::vector<int32_t> Clear();
  size_t Count() const { return arrival_ ? byArrival_.size() : byKey_.size(); }
  // Entries by their two-character priority class ("00", "01", ...).
  std::map<std::string, size_t> CountByClass() const;
  int32_t LastEventID() const { return lastEventId_; }
  void SetLastEventID(int32_t id) { lastEventId_ = id; }
  bool ArrivalOrder() const { return arrival_; }

 private:
  struct Entry {
    std::string key;
    TRequestPtr item;
    uint64_t seq = 0;         // arrival order
    uint32_t overtaken = 0;   // later requests of its class carried out first
  };

  bool arrival_;
  int32_t lastEventId_ = 0;
  uint64_t arrivalSeq_ = 0;
  // Sorted mode: entries by key text.
  std::map<std::string, Entry> byKey_;
  // Arrival mode: entries by arrival number, with an index from key text.
  std::map<uint64_t, Entry> byArrival_;
  std::unordered_map<int32_t, uint64_t> arrivalIndex_;  // EventID -> arrival number
};

class TRequests {
 public:
  explicit TRequests(TAnswers& answers) : answers_(answers) {}
  // Notified after every insertion, so an idle executor wakes up.
  void SetWakeup(TWakeup* wakeup) { wakeup_ = wakeup; }

  void CreateRequestQueue(bool arrivalOrder);
  void FreeRequestQueue();

  // Puts a request in. On false nothing was created and `buf` is untouched.
  bool PutRequest(uint8_t kind, uint8_t bufKind, std::unique_ptr<TParamObject>& buf, int32_t& eventId);
  bool PutBufRequest(uint8_t kind, uint8_t length, const uint8_t* bytes, int32_t& eventId);
  bool PutObjRequest(uint8_t kind, std::unique_ptr<TParamObject>& obj, int32_t& eventId);
  bool PutListRequest(uint8_t kind, std::unique_ptr<TParamObject>& obj, int32_t& eventId);
  int32_t PutCardZoneRequest(int32_t& eventId, uint8_t facilityCode, uint16_t cardId, uint8_t zoneNumber);
  int32_t PutGetCardZoneRequest(int32_t& eventId, uint8_t facilityCode, uint16_t cardId);
  int32_t PutEnableCardRequest(int32_t& eventId, int32_t enable, uint8_t facilityCode, uint16_t cardId);
  // A request of the server's own (the monitoring poll's journal reads): it
  // gets an EventID but no answer entry.
  bool PutInternalRequest(uint8_t kind, uint8_t bufKind, std::unique_ptr<TParamObject> buf, int32_t* eventId = nullptr);

  bool GetFirstRequest(TRequestPtr& item, std::string& key);
  // Removes the entry with this key; a key no longer in the queue does nothing.
  void RemoveRequest(const std::string& key);
  // Empties the queue, then turns the pending answers of the requests it
  // held into 88. A request put in after the queue was emptied keeps its
  // answer and is carried out; one whose putting-in overlapped the clear is
  // cleared with the others.
  void ClearRequests();
  size_t RequestCount() const { return count_.load(); }
  // Waiting requests by priority class; empty when there is no queue.
  std::map<std::string, size_t> CountByClass() const;
  bool Exists() const;

 private:
  TAnswers& answers_;
  TWakeup* wakeup_ = nullptr;
  mutable std::mutex lock_;
  std::unique_ptr<TEventQueue> queue_;
  uint64_t clearGeneration_ = 0;  // counts ClearRequests, under lock_
  std::atomic<size_t> count_{0};
};

}  // namespace vexon
