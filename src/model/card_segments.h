// Card segments: ranges of card numbers of one facility code laid end to end
// on the 16-bit system index line, starting at index 1. The controllers know
// cards only by system index; the segments translate both ways.
//
// TCardList keeps its segments in the text order of their keys (the decimal
// first index at the moment of adding), duplicates allowed, so a list of more
// than ten pending segments is ordered 0, 1, 10, 11, ..., 2, ... Lookups only
// see segments whose sent flag is 1.
//
// TCardSegments holds the pending list (filled by clients) and the active
// list (the system's mapping, persisted in "cards.bin"), each under its own
// lock; the pending lock is always taken before the active lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "util/param_object.h"

namespace vexon {

constexpr size_t kCardRecordSize = 9;
constexpr size_t kMaxPendingSegments = 32;

struct TCardItem {
  uint8_t SegmentNumber = 0;
  uint8_t FacilityCode = 0;
  uint16_t FirstCard = 0;
  uint16_t LastCard = 0;
  uint16_t FirstIndex = 0;
  uint8_t Sent = 0;
};

void EncodeCardItem(const TCardItem& item, uint8_t* out9);
TCardItem DecodeCardItem(const uint8_t* in9);

enum class TLookup { Found, NotFound, OutOfRange };

// A segment list; also the parameter object of a carried segment transfer.
class TCardList final : public TParamObject {
 public:
  void AddIt(const TCardItem& item);
  size_t Count() const { return items_.size(); }
  const TCardItem& At(size_t i) const { return items_[i]; }
  TCardItem& At(size_t i) { return items_[i]; }
  const std::string& KeyAt(size_t i) const { return keys_[i]; }
  void Clear();
  int FindSegmentFromSystemIndex(uint32_t index) const;
  int FindSegmentFromCard(uint8_t facilityCode, uint32_t cardId) const;
  bool GetCardFromSystemIndex(uint32_t index, uint8_t& facilityCode, uint16_t& cardId) const;
  // OutOfRange when the computed index would pass 65535.
  TLookup GetSystemIndexFromCard(uint8_t facilityCode, uint32_t cardId, uint16_t& index) const;

 private:
  std::vector<std::string> keys_;
  std::vector<TCardItem> items_;
};

// AddPendingSegment's result when a field is outside 0..65535 (after the
// checks that give 38, 36 and 37); the automation layer fails the call.
constexpr int32_t kSegmentFieldRange = -1000;

class TCardSegments {
 public:
  TCardSegments();

  // File that mirrors the active list; empty: not persisted.
  void SetCardFilePath(std::string path) { cardFile_ = std::move(path); }
  const std::string& CardFilePath() const { return cardFile_; }

  // Pending list (client side).
  void CreatePending();
  void FreePending();
  void ClearPendingSegments();
  int32_t AddPendingSegment(int32_t facilityCode, int32_t firstCard, int32_t lastCard);
  int32_t NumberPendingSegments();
  // Numbers the pending list and, on 0, copies it into `numbered` under the
  // same lock, so the copy is exactly the list that was numbered.
  int32_t NumberPendingSegments(TCardList& numbered);
  size_t PendingCount() const;
  TCardList PendingCopy() const;

  // Active list.
  void CreateActive();
  void FreeActive();
  bool ActiveExists() const;
  size_t ActiveCount() const;
  TCardList ActiveCopy() const;
  // Replacements, each followed by SaveCardFile; false when the save failed.
  bool CopyListToActive(const TCardList& list);
  bool ClearActive();
  // Lookups on the active list under its lock; NotFound when it is missing.
  TLookup GetSystemIndexFromCard(uint8_t facilityCode, uint32_t cardId, uint16_t& index) const;
  bool GetCardFromSystemIndex(uint32_t index, uint8_t& facilityCode, uint16_t& cardId) const;

  bool SaveCardFile() const;
  bool LoadCardFile();

 private:
  std::string cardFile_;
  mutable std::mutex pendingLock_;
  bool pendingExists_ = false;
  TCardList pending_;
  mutable std::mutex activeLock_;
  bool activeExists_ = false;
  TCardList active_;
};

}  // namespace vexon
