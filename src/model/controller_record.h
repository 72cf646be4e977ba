// The 60-byte controller record and the 8-byte descriptor it is built from.
//
// A descriptor comes from autoconfiguration: d0 system address, d1/d2 factory
// address, d3 flags (bit 7 primary, bit 6 hub, bits 2-5 second-level
// address), d4..d7 the driver bytes of slots 1 to 4. The record is kept in
// memory as TTKDItem and crosses the file byte for byte through
// EncodeRecord/DecodeRecord, field by field, little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vexon {

using TDescriptor = std::array<uint8_t, 8>;

constexpr size_t kControllerRecordSize = 60;
constexpr int kDriverSlots = 4;
constexpr int kStatusBytes = 7;

struct TDriverSlot {
  uint8_t DrvPresent = 0;
  uint8_t DrvAdr = 0;
  uint8_t DrvType = 0;
  uint8_t DrvInp = 0;
  uint8_t DrvOut = 0;
  uint8_t DrvWOut = 0;
  uint8_t DrvIm = 0;
};

struct TTKDItem {
  uint8_t SysAdr = 0;
  uint16_t MakeAdr = 0;
  uint8_t Hub = 0;
  uint8_t SecondLevelAdr = 0;
  uint8_t Primary = 0;
  uint8_t Modem = 0;
  uint8_t DrvCount = 0;
  std::array<TDriverSlot, kDriverSlots> Drivers{};
  uint8_t Zone1 = 0;
  uint8_t Zone2 = 0;
  uint8_t USCSValid = 0;
  uint8_t USCSChanged = 0;
  std::array<uint8_t, kStatusBytes> Status{};  // b1..b7
  double StatusTime = 0.0;
  uint8_t Drv2Merged = 0;
  uint8_t JournalPending = 0;

  // Ready: a fresh status block without the "no link" bit (b2 bit 7).
  bool IsReady() const { return USCSValid != 0 && (Status[1] & 0x80) == 0; }
};

void EncodeRecord(const TTKDItem& item, uint8_t* out60);
TTKDItem DecodeRecord(const uint8_t* in60);

// Second-level address field 1 with bits 0 and 1 clear is taken as 0.
void NormaliseDescriptor(TDescriptor& d);

// Driver type from a non-zero driver byte: bits 3.. when 1 to 9, else 2.
uint8_t DriverTypeOf(uint8_t driverByte);
// Driver address 1..4 from bits 1 and 2 of a driver byte.
uint8_t DriverAdrOf(uint8_t driverByte);
// Fills a present slot from a non-zero driver byte, with the type's resources.
TDriverSlot MakeDriverSlot(uint8_t driverByte);

// Builds a record from a normalised descriptor. A modem controller whose
// second driver byte repeats the first keeps one driver: slot 2 stays empty,
// Drv2Merged is set and d5 is cleared in `d`. Returns false when the factory
// address and the second-level address do not fit together in 16 bits
// (d2 of 16 or more beside a non-zero second-level address).
bool BuildRecord(TDescriptor& d, TTKDItem& out);

}  // namespace vexon
