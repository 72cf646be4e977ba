// The zone in which each card was last seen, learned from zone events and
// from the card-zone command. Used only by the communication thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "util/server_lock.h"

namespace vexon {

class TCardZoneList {
 public:
  // -1 when the card has no entry, else 0.
  int FindCard(uint8_t facilityCode, uint32_t cardId) const;
  void AddIt(uint8_t facilityCode, uint32_t cardId, uint8_t zone);
  // True when the card is new or its zone changed.
  bool UpdateCardZone(uint8_t facilityCode, uint32_t cardId, uint8_t zone);
  bool GetZone(uint8_t facilityCode, uint32_t cardId, uint8_t& zone) const;
  size_t Count() const { return zones_.size(); }

 private:
  std::map<std::string, uint8_t> zones_;
};

// The monitoring poll's update: refused at zone 128 or more and while the
// server lock is set.
bool CheckCardZone(TCardZoneList* list, const TServerLock& lock, uint8_t facilityCode, uint32_t cardId,
                   uint32_t zone);

}  // namespace vexon
