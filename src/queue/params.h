// Parameter objects carried by requests. Each copies its arguments at
// construction and has no behaviour of its own; a request owns its object.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "util/param_object.h"

namespace vexon {

// One ready controller command: byte 0 system address (255 = none), byte 1
// second address byte (255 = none), byte 2 command code, then parameters.
class TBufItem final : public TParamObject {
 public:
  static constexpr size_t kCapacity = 4096;
  TBufItem(uint8_t length, const uint8_t* data) : Length(length) {
    Data.fill(0);
    if (data) std::memcpy(Data.data(), data, length);
  }
  uint8_t Length;
  std::array<uint8_t, kCapacity> Data;
};

// A whole table (time zones, week or shift schedules).
class TLongBufItem final : public TParamObject {
 public:
  TLongBufItem(const uint8_t* data, int32_t size) : Size(size), Data(data, data + size) {}
  int32_t Size;
  std::vector<uint8_t> Data;
};

class TMakeAdrItem final : public TParamObject {
 public:
  explicit TMakeAdrItem(uint16_t makeAdr) : MakeAdr(makeAdr) {}
  uint16_t MakeAdr;
};

class TCardCodeItem final : public TParamObject {
 public:
  TCardCodeItem(uint8_t facilityCode, uint32_t cardId) : FacilityCode(facilityCode), CardID(cardId) {}
  uint8_t FacilityCode;
  uint32_t CardID;  // 0..65535, checked by the callers
};

class TCardZoneItem final : public TParamObject {
 public:
  TCardZoneItem(uint8_t facilityCode, uint16_t cardId, uint8_t zoneNumber)
      : FacilityCode(facilityCode), CardID(cardId), ZoneNumber(zoneNumber) {}
  uint8_t FacilityCode;
  uint16_t CardID;
  uint8_t ZoneNumber;
};

// State of one registration-journal read. ControllerIndex is the system
// address found for MakeAdr (255 for all controllers, -1 when unknown).
class TCardRegistrationItem final : public TParamObject {
 public:
  TCardRegistrationItem(uint16_t makeAdr, int32_t controllerIndex)
      : MakeAdr(makeAdr), ControllerIndex(controllerIndex) {}
  uint16_t MakeAdr;
  uint8_t Continue = 0;
  int32_t ControllerIndex;
  uint8_t Failures = 0;
};

}  // namespace vexon
