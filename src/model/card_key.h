// The text key of a card: facility code as 3 decimal digits and card number
// as 5, both zero-padded (facility 7, card 1234 -> "00701234").
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vexon {

inline std::string GetCardStr(uint32_t facilityCode, uint32_t cardId) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%03u%05u", facilityCode, cardId);
  return buf;
}

}  // namespace vexon
