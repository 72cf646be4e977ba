#include "model/controller_record.h"

#include "util/bytes.h"

namespace vexon {

namespace {
struct TResources {
  uint8_t Inp, Out, WOut, Im;
};
// Resources of driver types 1 to 9.
constexpr TResources kResources[10] = {
    {0, 0, 0, 0}, {2, 2, 4, 2}, {4, 4, 4, 2}, {4, 4, 2, 0}, {2, 2, 4, 1},
    {2, 2, 4, 2}, {2, 2, 4, 2}, {2, 2, 4, 2}, {2, 2, 4, 1}, {4, 4, 4, 2},
};

// Offsets in the 60-byte record.
enum : size_t {
  kOffSysAdr = 0,
  kOffMakeAdr = 1,
  kOffHub = 3,
  kOffSecondLevel = 4,
  kOffPrimary = 5,
  kOffModem = 6,
  kOffDrvCount = 7,
  kOffDrivers = 8,  // 4 slots of 7 bytes
  kOffZone1 = 36,
  kOffZone2 = 37,
  kOffUSCSValid = 38,
  kOffUSCSChanged = 39,
  kOffStatus = 40,
  kOffStatusTime = 47,
  kOffDrv2Merged = 55,
  kOffJournalPending = 56,
  kOffReserved = 57,
};
constexpr size_t kSlotSize = 7;
}  // namespace

void EncodeRecord(const TTKDItem& r, uint8_t* o) {
  o[kOffSysAdr] = r.SysAdr;
  PutU16(o + kOffMakeAdr, r.MakeAdr);
  o[kOffHub] = r.Hub;
  o[kOffSecondLevel] = r.SecondLevelAdr;
  o[kOffPrimary] = r.Primary;
  o[kOffModem] = r.Modem;
  o[kOffDrvCount] = r.DrvCount;
  for (int i = 0; i < kDriverSlots; ++i) {
    uint8_t* s = o + kOffDrivers + i * kSlotSize;
    const TDriverSlot& d = r.Drivers[i];
    s[0] = d.DrvPresent;
    s[1] = d.DrvAdr;
    s[2] = d.DrvType;
    s[3] = d.DrvInp;
    s[4] = d.DrvOut;
    s[5] = d.DrvWOut;
    s[6] = d.DrvIm;
  }
  o[kOffZone1] = r.Zone1;
  o[kOffZone2] = r.Zone2;
  o[kOffUSCSValid] = r.USCSValid;
  o[kOffUSCSChanged] = r.USCSChanged;
  for (int i = 0; i < kStatusBytes; ++i) o[kOffStatus + i] = r.Status[i];
  PutF64(o + kOffStatusTime, r.StatusTime);
  o[kOffDrv2Merged] = r.Drv2Merged;
  o[kOffJournalPending] = r.JournalPending;
  o[kOffReserved] = o[kOffReserved + 1] = o[kOffReserved + 2] = 0;
}

TTKDItem DecodeRecord(const uint8_t* in) {
  TTKDItem r;
  r.SysAdr = in[kOffSysAdr];
  r.MakeAdr = GetU16(in + kOffMakeAdr);
  r.Hub = in[kOffHub];
  r.SecondLevelAdr = in[kOffSecondLevel];
  r.Primary = in[kOffPrimary];
  r.Modem = in[kOffModem];
  r.DrvCount = in[kOffDrvCount];
  for (int i = 0; i < kDriverSlots; ++i) {
    const uint8_t* s = in + kOffDrivers + i * kSlotSize;
    r.Drivers[i] = TDriverSlot{s[0], s[1], s[2], s[3], s[4], s[5], s[6]};
  }
  r.Zone1 = in[kOffZone1];
  r.Zone2 = in[kOffZone2];
  r.USCSValid = in[kOffUSCSValid];
  r.USCSChanged = in[kOffUSCSChanged];
  for (int i = 0; i < kStatusBytes; ++i) r.Status[i] = in[kOffStatus + i];
  r.StatusTime = GetF64(in + kOffStatusTime);
  r.Drv2Merged = in[kOffDrv2Merged];
  r.JournalPending = in[kOffJournalPending];
  return r;
}

void NormaliseDescriptor(TDescriptor& d) {
  const uint8_t second = (d[3] >> 2) & 0x0F;
  if (second == 1 && (d[3] & 0x03) == 0) d[3] = static_cast<uint8_t>(d[3] & ~0x04);
}

uint8_t DriverTypeOf(uint8_t x) {
  const uint8_t t = x >> 3;
  return (t >= 1 && t <= 9) ? t : 2;
}

uint8_t DriverAdrOf(uint8_t x) { return static_cast<uint8_t>(((x >> 1) & 3) + 1); }

TDriverSlot MakeDriverSlot(uint8_t x) {
  TDriverSlot s;
  s.DrvPresent = 1;
  s.DrvAdr = DriverAdrOf(x);
  s.DrvType = DriverTypeOf(x);
  const TResources& r = kResources[s.DrvType];
  s.DrvInp = r.Inp;
  s.DrvOut = r.Out;
  s.DrvWOut = r.WOut;
  s.DrvIm = r.Im;
  return s;
}

bool BuildRecord(TDescriptor& d, TTKDItem& r) {
  r = TTKDItem{};
  r.SysAdr = d[0];
  r.SecondLevelAdr = (d[3] >> 2) & 0x0F;
  // The second-level address takes bits 12-15 of the factory address, so
  // it only fits beside a d2 below 16.
  if (r.SecondLevelAdr != 0 && d[2] >= 16) return false;
  const uint32_t make = d[1] + 256u * d[2] + 4096u * r.SecondLevelAdr;
  r.MakeAdr = static_cast<uint16_t>(make);
  r.Hub = (d[3] & 0x40) ? 1 : 0;
  r.Primary = (d[3] & 0x80) ? 1 : 0;
  r.Modem = r.SecondLevelAdr != 0 ? 1 : 0;
  for (int slot = 0; slot < kDriverSlots; ++slot) {
    const uint8_t x = d[4 + slot];
    if (x == 0) continue;
    if (slot == 1 && r.Modem == 1 && d[5] == d[4]) {
      r.Drv2Merged = 1;
      d[5] = 0;
      continue;
    }
    r.Drivers[slot] = MakeDriverSlot(x);
    ++r.DrvCount;
  }
  return true;
}

}  // namespace vexon
