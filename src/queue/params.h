// Parameter objects carried by requests. Each copies its arguments at
// construction and has no behaviour of its own; a request owns its object.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
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

// One block of a controller's card list: up to 20 system card entries of 6
// bytes (system index low, high, properties, schedule, two commissioning
// bytes). BlockType 0 travels with command 0x22, any other with 0x23.
struct TCardBufItem {
  static constexpr size_t kDataSize = 122;
  static constexpr size_t kEntrySize = 6;
  static constexpr size_t kEntries = 20;
  uint8_t BlockType = 1;
  uint8_t Length = 0;  // bytes used in Data
  std::array<uint8_t, kDataSize> Data{};
};
using TCardBufList = std::vector<TCardBufItem>;

// One block of an autonomous card list: up to 40 entries of 3 bytes.
struct TAutCardBufItem {
  static constexpr size_t kDataSize = 120;
  static constexpr size_t kEntrySize = 3;
  static constexpr size_t kEntries = 40;
  uint8_t Length = 0;
  std::array<uint8_t, kDataSize> Data{};
};
using TAutCardBufList = std::vector<TAutCardBufItem>;

// A card-list transfer (kind 35): the blocks and the next one to send.
class TSendCardListItem final : public TParamObject {
 public:
  TSendCardListItem(int32_t makeAdr, TCardBufList cards) : MakeAdr(makeAdr), Cards(std::move(cards)) {}
  int32_t MakeAdr;
  TCardBufList Cards;
  size_t Index = 0;
};

// An autonomous card-list transfer (kind 37). ControllerIndex is the system
// address found for MakeAdr (-1 when unknown), used by the shortcut for
// controllers whose second driver is merged.
class TSendAutCardListItem final : public TParamObject {
 public:
  TSendAutCardListItem(int32_t makeAdr, int32_t controllerIndex, TAutCardBufList cards)
      : MakeAdr(makeAdr), ControllerIndex(controllerIndex), Cards(std::move(cards)) {}
  int32_t MakeAdr;
  int32_t ControllerIndex;
  TAutCardBufList Cards;
  size_t Index = 0;
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
