#include "model/card_zones.h"

#include "model/card_key.h"

namespace vexon {

int TCardZoneList::FindCard(uint8_t facilityCode, uint32_t cardId) const {
  return zones_.count(GetCardStr(facilityCode, cardId)) ? 0 : -1;
}

void TCardZoneList::AddIt(uint8_t facilityCode, uint32_t cardId, uint8_t zone) {
  zones_.emplace(GetCardStr(facilityCode, cardId), zone);
}

bool TCardZoneList::UpdateCardZone(uint8_t facilityCode, uint32_t cardId, uint8_t zone) {
  auto [it, added] = zones_.emplace(GetCardStr(facilityCode, cardId), zone);
  if (added) return true;
  if (it->second == zone) return false;
  it->second = zone;
  return true;
}

bool TCardZoneList::GetZone(uint8_t facilityCode, uint32_t cardId, uint8_t& zone) const {
  auto it = zones_.find(GetCardStr(facilityCode, cardId));
  if (it == zones_.end()) return false;
  zone = it->second;
  return true;
}

bool CheckCardZone(TCardZoneList* list, const TServerLock& lock, uint8_t facilityCode, uint32_t cardId,
                   uint32_t zone) {
  if (zone >= 128 || lock.IsServerLocked() || !list) return false;
  return list->UpdateCardZone(facilityCode, cardId, static_cast<uint8_t>(zone));
}

}  // namespace vexon
