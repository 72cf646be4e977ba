#include "model/card_segments.h"

#include <algorithm>

#include "model/record_file.h"
#include "util/bytes.h"
#include "util/log.h"
#include "util/result_codes.h"

namespace vexon {

void EncodeCardItem(const TCardItem& c, uint8_t* o) {
  o[0] = c.SegmentNumber;
  o[1] = c.FacilityCode;
  PutU16(o + 2, c.FirstCard);
  PutU16(o + 4, c.LastCard);
  PutU16(o + 6, c.FirstIndex);
  o[8] = c.Sent;
}

TCardItem DecodeCardItem(const uint8_t* in) {
  TCardItem c;
  c.SegmentNumber = in[0];
  c.FacilityCode = in[1];
  c.FirstCard = GetU16(in + 2);
  c.LastCard = GetU16(in + 4);
  c.FirstIndex = GetU16(in + 6);
  c.Sent = in[8];
  return c;
}

void TCardList::AddIt(const TCardItem& item) {
  std::string key = std::to_string(item.FirstIndex);
  // After any equal keys, so duplicates keep their order of adding.
  const auto pos = std::upper_bound(keys_.begin(), keys_.end(), key);
  const auto i = pos - keys_.begin();
  keys_.insert(pos, std::move(key));
  items_.insert(items_.begin() + i, item);
}

void TCardList::Clear() {
  keys_.clear();
  items_.clear();
}

int TCardList::FindSegmentFromSystemIndex(uint32_t index) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    const TCardItem& s = items_[i];
    // Signed: a segment whose last card is below its first holds no index
    // (unsigned, its negative length claimed every index after its first).
    const int64_t last = int64_t{s.FirstIndex} + (int64_t{s.LastCard} - s.FirstCard);
    if (s.FirstIndex <= index && int64_t{index} <= last) return static_cast<int>(i);
  }
  return -1;
}

int TCardList::FindSegmentFromCard(uint8_t facilityCode, uint32_t cardId) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    const TCardItem& s = items_[i];
    if (s.FacilityCode == facilityCode && s.FirstCard <= cardId && cardId <= s.LastCard) return static_cast<int>(i);
  }
  return -1;
}

bool TCardList::GetCardFromSystemIndex(uint32_t index, uint8_t& facilityCode, uint16_t& cardId) const {
  const int i = FindSegmentFromSystemIndex(index);
  if (i < 0 || items_[i].Sent == 0) return false;
  const TCardItem& s = items_[i];
  facilityCode = s.FacilityCode;
  cardId = static_cast<uint16_t>(index + s.FirstCard - s.FirstIndex);
  return true;
}

TLookup TCardList::GetSystemIndexFromCard(uint8_t facilityCode, uint32_t cardId, uint16_t& index) const {
  const int i = FindSegmentFromCard(facilityCode, cardId);
  if (i < 0 || items_[i].Sent == 0) return TLookup::NotFound;
  const TCardItem& s = items_[i];
  const uint32_t v = cardId + s.FirstIndex - s.FirstCard;
  if (v > 0xFFFF) return TLookup::OutOfRange;
  index = static_cast<uint16_t>(v);
  return TLookup::Found;
}

TCardSegments::TCardSegments() = default;

void TCardSegments::CreatePending() {
  std::lock_guard<std::mutex> g(pendingLock_);
  pending_.Clear();
  pendingExists_ = true;
}

void TCardSegments::FreePending() {
  std::lock_guard<std::mutex> g(pendingLock_);
  pending_.Clear();
  pendingExists_ = false;
}

void TCardSegments::ClearPendingSegments() {
  std::lock_guard<std::mutex> g(pendingLock_);
  if (pendingExists_) pending_.Clear();
}

int32_t TCardSegments::AddPendingSegment(int32_t facilityCode, int32_t firstCard, int32_t lastCard) {
  if (lastCard < firstCard) return rcBadSegment;
  std::lock_guard<std::mutex> g(pendingLock_);
  if (!pendingExists_) return rcInternal;
  if (pending_.Count() > kMaxPendingSegments - 1) return rcSegmentListTooLong;
  if (facilityCode < 0 || facilityCode > 255 || firstCard < 0 || lastCard > 0xFFFF) return kSegmentFieldRange;
  TCardItem s;
  s.FacilityCode = static_cast<uint8_t>(facilityCode);
  s.FirstCard = static_cast<uint16_t>(firstCard);
  s.LastCard = static_cast<uint16_t>(lastCard);
  s.FirstIndex = static_cast<uint16_t>(pending_.Count());
  pending_.AddIt(s);
  return rcOk;
}

int32_t TCardSegments::NumberPendingSegments() {
  TCardList ignored;
  return NumberPendingSegments(ignored);
}

int32_t TCardSegments::NumberPendingSegments(TCardList& numbered) {
  std::lock_guard<std::mutex> g(pendingLock_);
  if (!pendingExists_) return rcInternal;
  if (pending_.Count() == 0) return rcSegmentListEmpty;
  // Work out every index first: numbering that would pass 65535 changes
  // nothing and is refused.
  std::vector<uint16_t> first(pending_.Count());
  uint32_t next = 1;
  for (size_t i = 0; i < pending_.Count(); ++i) {
    const TCardItem& s = pending_.At(i);
    const uint32_t last = next + (s.LastCard - s.FirstCard);
    if (last > 0xFFFF) return rcBadSegment;
    first[i] = static_cast<uint16_t>(next);
    next = last + 1;
  }
  for (size_t i = 0; i < pending_.Count(); ++i) {
    TCardItem& s = pending_.At(i);
    s.SegmentNumber = static_cast<uint8_t>(i);
    s.FirstIndex = first[i];
    s.Sent = 0;
  }
  numbered = pending_;
  return rcOk;
}

size_t TCardSegments::PendingCount() const {
  std::lock_guard<std::mutex> g(pendingLock_);
  return pending_.Count();
}

TCardList TCardSegments::PendingCopy() const {
  std::lock_guard<std::mutex> g(pendingLock_);
  return pending_;
}

void TCardSegments::CreateActive() {
  std::lock_guard<std::mutex> g(activeLock_);
  active_.Clear();
  activeExists_ = true;
}

void TCardSegments::FreeActive() {
  std::lock_guard<std::mutex> g(activeLock_);
  active_.Clear();
  activeExists_ = false;
}

bool TCardSegments::ActiveExists() const {
  std::lock_guard<std::mutex> g(activeLock_);
  return activeExists_;
}

size_t TCardSegments::ActiveCount() const {
  std::lock_guard<std::mutex> g(activeLock_);
  return active_.Count();
}

TCardList TCardSegments::ActiveCopy() const {
  std::lock_guard<std::mutex> g(activeLock_);
  return active_;
}

bool TCardSegments::CopyListToActive(const TCardList& list) {
  {
    std::lock_guard<std::mutex> a(activeLock_);
    active_.Clear();
    activeExists_ = true;
    for (size_t i = 0; i < list.Count(); ++i) active_.AddIt(list.At(i));
  }
  return SaveCardFile();
}

bool TCardSegments::ClearActive() {
  {
    std::lock_guard<std::mutex> a(activeLock_);
    active_.Clear();
    activeExists_ = true;
  }
  return SaveCardFile();
}

TLookup TCardSegments::GetSystemIndexFromCard(uint8_t facilityCode, uint32_t cardId, uint16_t& index) const {
  std::lock_guard<std::mutex> g(activeLock_);
  if (!activeExists_) return TLookup::NotFound;
  return active_.GetSystemIndexFromCard(facilityCode, cardId, index);
}

bool TCardSegments::GetCardFromSystemIndex(uint32_t index, uint8_t& facilityCode, uint16_t& cardId) const {
  std::lock_guard<std::mutex> g(activeLock_);
  return activeExists_ && active_.GetCardFromSystemIndex(index, facilityCode, cardId);
}

bool TCardSegments::SaveCardFile() const {
  if (cardFile_.empty()) return false;
  std::lock_guard<std::mutex> g(activeLock_);
  if (!activeExists_) return false;
  std::vector<uint8_t> bytes(active_.Count() * kCardRecordSize);
  for (size_t i = 0; i < active_.Count(); ++i) EncodeCardItem(active_.At(i), bytes.data() + i * kCardRecordSize);
  return AtomicWriteFile(cardFile_, bytes);
}

bool TCardSegments::LoadCardFile() {
  if (cardFile_.empty()) return false;
  std::lock_guard<std::mutex> g(activeLock_);
  if (!activeExists_) return false;
  return ReadRecordFile(cardFile_, kCardRecordSize, [&](const uint8_t* rec) {
    const TCardItem item = DecodeCardItem(rec);
    // A reversed range, or one that runs past index 65535, would claim
    // indexes no card has and invent card numbers for them.
    if (item.LastCard < item.FirstCard || item.FirstIndex + static_cast<uint32_t>(item.LastCard - item.FirstCard) > 0xFFFF) {
      log::warn("{}: segment {} (facility {}, cards {} to {}, first index {}) is not valid and is skipped", cardFile_,
                item.SegmentNumber, item.FacilityCode, item.FirstCard, item.LastCard, item.FirstIndex);
      return;
    }
    active_.AddIt(item);
  });
}

}  // namespace vexon
