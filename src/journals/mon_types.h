// A decoded monitoring event (16 bytes of meaning plus the suppression mark)
// and the journal entry that a client takes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace vexon {

struct TMJItem {
  double Time = 0;
  uint16_t MakeAdr = 0;
  uint8_t AdrAdd = 0;
  uint8_t EventCode = 0;
  uint8_t EventAdd = 0;
  uint16_t CardID = 0;
  uint8_t FacilityCode = 0;
  bool Suppressed = false;  // the "*" mark: not published
};

using TMJList = std::vector<TMJItem>;
using TRawRecord = std::array<uint8_t, 4>;

struct TMonItem {
  int32_t Year = 0;
  uint8_t Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  int32_t MakeAdr = 0;
  uint8_t AdrAdd = 0, EventCode = 0, EventAdd = 0;
  int32_t CardID = 0;
  uint8_t FacilityCode = 0;
};

}  // namespace vexon
