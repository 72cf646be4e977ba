#include "queue/request_queue.h"


#include "util/result_codes.h"

namespace vexon {

int32_t TEventQueue::NextEventID(uint64_t* seq) {
  lastEventId_ = lastEventId_ == INT32_MAX ? 0 : lastEventId_ + 1;
  if (seq) *seq = ++arrivalSeq_;
  return lastEventId_;
}

int32_t TEventQueue::EventIDOfKey(const std::string& key) {
  int64_t v = 0;
  for (size_t i = 2; i < key.size(); ++i) {
    if (key[i] < '0' || key[i] > '9') return -1;
    v = v * 10 + (key[i] - '0');
    if (v > INT32_MAX) return -1;
  }
  return key.size() > 2 ? static_cast<int32_t>(v) : -1;
}

std::string TEventQueue::MakeKey(uint8_t kind, int32_t eventId) {
  return std::string(PriorityClass(kind)) + std::to_string(eventId);
}

void TEventQueue::Insert(TRequestPtr item, uint64_t seq) {
  std::string key = MakeKey(item->Kind, item->EventID);
  if (seq == 0) seq = ++arrivalSeq_;
  if (arrival_) {
    arrivalIndex_[item->EventID] = seq;
    byArrival_.emplace(seq, Entry{std::move(key), std::move(item), seq});
  } else {
    std::string k = key;
    byKey_.insert_or_assign(std::move(k), Entry{std::move(key), std::move(item), seq});
  }
}

void TEventQueue::AddRequest(TRequestPtr item) {
  item->EventID = NextEventID();
  Insert(std::move(item));
}

bool TEventQueue::First(TRequestPtr& item, std::string& key) const {
  const Entry* e = nullptr;
  if (arrival_) {
    if (!byArrival_.empty()) e = &byArrival_.begin()->second;
  } else if (!byKey_.empty()) {
    e = &byKey_.begin()->second;
    // The most overtaken request of that class goes first once it has
    // waited for kMaxOvertaken later ones.
    const std::string cls = e->key.substr(0, 2);
    for (auto it = byKey_.begin(); it != byKey_.end() && it->first.compare(0, 2, cls) == 0; ++it)
      if (it->second.overtaken >= kMaxOvertaken && it->second.overtaken > e->overtaken) e = &it->second;
  }
  if (!e) return false;
  item = e->item;
  key = e->key;
  return true;
}

bool TEventQueue::Remove(const std::string& key) {
  if (!arrival_) {
    auto x = byKey_.find(key);
    if (x == byKey_.end()) return false;
    // Every request of the class queued before this one was overtaken.
    const uint64_t seq = x->second.seq;
    for (auto it = byKey_.lower_bound(key.substr(0, 2)); it != byKey_.end() && it->first.compare(0, 2, key, 0, 2) == 0;
         ++it)
      if (it->second.seq < seq) ++it->second.overtaken;
    byKey_.erase(x);
    return true;
  }
  // Almost always the first entry is the one taken.
  if (!byArrival_.empty() && byArrival_.begin()->second.key == key) {
    arrivalIndex_.erase(byArrival_.begin()->second.item->EventID);
    byArrival_.erase(byArrival_.begin());
    return true;
  }
  auto it = arrivalIndex_.find(EventIDOfKey(key));
  if (it == arrivalIndex_.end()) return false;
  auto entry = byArrival_.find(it->second);
  if (entry == byArrival_.end() || entry->second.key != key) return false;
  byArrival_.erase(entry);
  arrivalIndex_.erase(it);
  return true;
}

std::vector<int32_t> TEventQueue::Clear() {
  std::vector<int32_t> ids;
  ids.reserve(Count());
  for (auto& [k, e] : byKey_) {
    e.item->Cancelled = true;
    ids.push_back(e.item->EventID);
  }
  for (auto& [k, e] : byArrival_) {
    e.item->Cancelled = true;
    ids.push_back(e.item->EventID);
  }
  byKey_.clear();
  byArrival_.clear();
  arrivalIndex_.clear();
  return ids;
}

std::map<std::string, size_t> TEventQueue::CountByClass() const {
  std::map<std::string, size_t> counts;
  for (const auto& [k, e] : byKey_) ++counts[e.key.substr(0, 2)];
  for (const auto& [k, e] : byArrival_) ++counts[e.key.substr(0, 2)];
  return counts;
}

void TRequests::CreateRequestQueue(bool arrivalOrder) {
  std::lock_guard<std::mutex> g(lock_);
  if (queue_) queue_->Clear();
  queue_ = std::make_unique<TEventQueue>(arrivalOrder);
  count_ = 0;
}

void TRequests::FreeRequestQueue() {
  std::lock_guard<std::mutex> g(lock_);
  if (queue_) queue_->Clear();
  queue_.reset();
  count_ = 0;
}

std::map<std::string, size_t> TRequests::CountByClass() const {
  std::lock_guard<std::mutex> g(lock_);
  return queue_ ? queue_->CountByClass() : std::map<std::string, size_t>{};
}

bool TRequests::Exists() const {
  std::lock_guard<std::mutex> g(lock_);
  return queue_ != nullptr;
}

bool TRequests::PutRequest(uint8_t kind, uint8_t bufKind, std::unique_ptr<TParamObject>& buf, int32_t& eventId) {
  if (!answers_.Exists()) return false;
  int32_t id;
  uint64_t generation, seq = 0;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!queue_) return false;
    // The number and the place in arrival order are drawn together, so
    // arrival order never differs from numbering order.
    id = queue_->NextEventID(&seq);
    generation = clearGeneration_;
  }
  // The answer entry comes first so the executor never finishes a request
  // whose entry does not exist yet.
  if (!answers_.AddPending(id)) return false;
  auto item = std::make_shared<TEventQueueItem>(kind, bufKind, std::move(buf));
  item->EventID = id;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (queue_ && generation != clearGeneration_) {
      // A clear ran while this request was being put in: it is cleared with
      // the others, whichever way the two interleaved.
      eventId = id;
      item->Cancelled = true;
    } else if (queue_) {
      queue_->Insert(std::move(item), seq);
      count_ = queue_->Count();
      eventId = id;
      if (wakeup_) wakeup_->Notify();
      return true;
    }
  }
  if (item && item->Cancelled) {
    answers_.StoreAnswer({id, rcAbortedByAutoconfig, 0, 0, 0});
    return true;
  }
  // The queue was freed meanwhile: the caller keeps its object.
  buf = std::move(item->Buf);
  answers_.DiscardAnswer(id);
  return false;
}

bool TRequests::PutBufRequest(uint8_t kind, uint8_t length, const uint8_t* bytes, int32_t& eventId) {
  std::unique_ptr<TParamObject> buf = std::make_unique<TBufItem>(length, bytes);
  return PutRequest(kind, bkBuffer, buf, eventId);
}

bool TRequests::PutObjRequest(uint8_t kind, std::unique_ptr<TParamObject>& obj, int32_t& eventId) {
  return PutRequest(kind, bkObject, obj, eventId);
}

bool TRequests::PutListRequest(uint8_t kind, std::unique_ptr<TParamObject>& obj, int32_t& eventId) {
  return PutRequest(kind, bkList, obj, eventId);
}

int32_t TRequests::PutCardZoneRequest(int32_t& eventId, uint8_t facilityCode, uint16_t cardId, uint8_t zoneNumber) {
  std::unique_ptr<TParamObject> obj = std::make_unique<TCardZoneItem>(facilityCode, cardId, zoneNumber);
  return PutObjRequest(rkSetCardZone, obj, eventId) ? rcOk : rcQueueFailed;
}

int32_t TRequests::PutGetCardZoneRequest(int32_t& eventId, uint8_t facilityCode, uint16_t cardId) {
  std::unique_ptr<TParamObject> obj = std::make_unique<TCardCodeItem>(facilityCode, cardId);
  return PutObjRequest(rkGetCardZone, obj, eventId) ? rcOk : rcQueueFailed;
}

int32_t TRequests::PutEnableCardRequest(int32_t& eventId, int32_t enable, uint8_t facilityCode, uint16_t cardId) {
  std::unique_ptr<TParamObject> obj = std::make_unique<TCardCodeItem>(facilityCode, cardId);
  return PutObjRequest(enable != 0 ? rkEnableCard : rkDisableCard, obj, eventId) ? rcOk : rcQueueFailed;
}

bool TRequests::PutInternalRequest(uint8_t kind, uint8_t bufKind, std::unique_ptr<TParamObject> buf, int32_t* eventId) {
  std::lock_guard<std::mutex> g(lock_);
  if (!queue_) return false;
  auto item = std::make_shared<TEventQueueItem>(kind, bufKind, std::move(buf));
  queue_->AddRequest(item);
  count_ = queue_->Count();
  if (eventId) *eventId = item->EventID;
  if (wakeup_) wakeup_->Notify();
  return true;
}

bool TRequests::GetFirstRequest(TRequestPtr& item, std::string& key) {
  std::lock_guard<std::mutex> g(lock_);
  return queue_ && queue_->First(item, key);
}

void TRequests::RemoveRequest(const std::string& key) {
  std::lock_guard<std::mutex> g(lock_);
  if (!queue_) return;
  queue_->Remove(key);
  count_ = queue_->Count();
}

void TRequests::ClearRequests() {
  std::vector<int32_t> cleared;
  {
    std::lock_guard<std::mutex> g(lock_);
    ++clearGeneration_;
    if (queue_) cleared = queue_->Clear();
    count_ = 0;
  }
  // Only the requests cleared here: a request put in between the two locks
  // is in the queue and will be carried out, so it must not read 88.
  answers_.AbortAnswers(cleared);
}

}  // namespace vexon
