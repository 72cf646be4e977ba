#include "journals/mon_decode.h"

#include "util/date_time.h"

namespace vexon {

namespace {

constexpr uint8_t kTimeRecord = 0xFF;

uint16_t CardIndexOf(const TRawRecord& r) { return static_cast<uint16_t>(r[2] | (r[3] << 8)); }

// Card identity of an index; false (and 0, 0) when no sent segment has it.
bool LookupCard(TDecodeContext& ctx, uint16_t index, TMJItem& ev) {
  uint8_t fc = 0;
  uint16_t card = 0;
  if (!ctx.Segments.GetCardFromSystemIndex(index, fc, card)) return false;
  ev.FacilityCode = fc;
  ev.CardID = card;
  return true;
}

bool IsReachable(TDecodeContext& ctx, uint8_t sysAdr) {
  TTKDItem rec;
  return ctx.Model.Controllers.GetRecord(sysAdr, rec) && !ctx.Health.LinkDown;
}

uint8_t Stored(TDecodeContext& ctx, uint8_t sysAdr, int n) {
  uint8_t v = 0;
  ctx.Model.Controllers.GetStatusByte(sysAdr, n, v);
  return v;
}

// Readers' modes (b1) and the flags of b2.
bool DecodeType10(TDecodeContext& ctx, TRawRecord& r, TMJItem& ev, bool& more) {
  const uint8_t sys = r[0];
  r[2] = static_cast<uint8_t>(r[2] & ~0x88);
  uint8_t b1 = Stored(ctx, sys, 1);
  if ((r[2] & 0x07) != (b1 & 0x07)) {
    b1 = static_cast<uint8_t>((b1 & 0x78) | (r[2] & 0x07));
    ctx.Model.Controllers.SetStatusByte(sys, 1, b1);
    ev.EventCode = 5;
    ev.AdrAdd = 1;
    ev.EventAdd = b1 & 0x07;
    more = true;
    return true;
  }
  if ((r[2] & 0x70) != (b1 & 0x70)) {
    b1 = static_cast<uint8_t>((b1 & 0x8F) | (r[2] & 0x70));
    ctx.Model.Controllers.SetStatusByte(sys, 1, b1);
    ev.EventCode = 5;
    ev.AdrAdd = 2;
    ev.EventAdd = (b1 >> 4) & 0x07;
    more = true;
    return true;
  }
  uint8_t b2 = Stored(ctx, sys, 2);
  static const int kBits[] = {0, 1, 2, 3, 6, 7};
  for (int bit : kBits) {
    const uint8_t mask = static_cast<uint8_t>(1u << bit);
    if ((r[3] & mask) == (b2 & mask)) continue;
    const uint8_t value = (r[3] & mask) ? 1 : 0;
    b2 = value ? static_cast<uint8_t>(b2 | mask) : static_cast<uint8_t>(b2 & ~mask);
    ctx.Model.Controllers.SetStatusByte(sys, 2, b2);
    ev.AdrAdd = 0;
    switch (bit) {
      case 0:
        ev.EventCode = 15;
        ev.EventAdd = value;
        if (value) QueueJournalRead(ctx, ev.MakeAdr);
        break;
      case 1:
        ev.EventCode = 16;
        ev.EventAdd = value;
        break;
      case 2:
        ev.EventCode = 17;
        ev.EventAdd = value;
        break;
      case 3:
        ev.EventCode = value ? 20 : 19;
        ev.EventAdd = 0;
        break;
      case 6:
        ev.EventCode = 18;
        ev.EventAdd = value;
        break;
      default:
        ev.EventCode = 14;
        ev.EventAdd = value;
        break;
    }
    more = r[3] != b2;
    return true;
  }
  return false;
}

// First differing bit of `rec` against the stored byte, low half first.
// Updates the stored byte; k is 1..4 within the half, high tells the half.
bool FirstChange(TDecodeContext& ctx, uint8_t sys, int n, uint8_t rec, int& k, bool& high, uint8_t& value,
                 uint8_t& storedAfter) {
  uint8_t stored = Stored(ctx, sys, n);
  for (int bit = 0; bit < 8; ++bit) {
    const uint8_t mask = static_cast<uint8_t>(1u << bit);
    if ((rec & mask) == (stored & mask)) continue;
    value = (rec & mask) ? 1 : 0;
    stored = value ? static_cast<uint8_t>(stored | mask) : static_cast<uint8_t>(stored & ~mask);
    ctx.Model.Controllers.SetStatusByte(sys, n, stored);
    k = bit % 4 + 1;
    high = bit >= 4;
    storedAfter = stored;
    return true;
  }
  return false;
}

// Input (low half) and relay-output (high half) changes of one driver.
void DriverEvent(TMJItem& ev, uint8_t driver, int k, bool high, uint8_t value) {
  ev.AdrAdd = driver;
  ev.EventAdd = static_cast<uint8_t>(k);
  if (high)
    ev.EventCode = value ? 11 : 12;
  else
    ev.EventCode = value ? 9 : 10;
}

bool DecodeDrivers(TDecodeContext& ctx, uint8_t type, TRawRecord& r, TMJItem& ev, bool& more) {
  const uint8_t sys = r[0];
  int k = 0;
  bool high = false;
  uint8_t value = 0, after = 0;
  if (type == 11) {
    if (FirstChange(ctx, sys, 3, r[2], k, high, value, after)) {
      ev.EventCode = high ? 13 : 7;
      ev.AdrAdd = static_cast<uint8_t>(k);
      ev.EventAdd = value;
      more = true;
      return true;
    }
    if (FirstChange(ctx, sys, 4, r[3], k, high, value, after)) {
      DriverEvent(ev, 1, k, high, value);
      more = r[3] != after;
      return true;
    }
    return false;
  }
  if (type == 12) {
    if (FirstChange(ctx, sys, 5, r[2], k, high, value, after)) {
      DriverEvent(ev, 2, k, high, value);
      more = true;
      return true;
    }
    if (FirstChange(ctx, sys, 6, r[3], k, high, value, after)) {
      DriverEvent(ev, 3, k, high, value);
      more = r[3] != after;
      return true;
    }
    return false;
  }
  if (FirstChange(ctx, sys, 7, r[2], k, high, value, after)) {
    DriverEvent(ev, 4, k, high, value);
    more = r[2] != after;
    return true;
  }
  return false;
}

}  // namespace

bool DateOfTimeRecord(const TRawRecord& r, double now, double& out) {
  const int second = r[1] & 0x3F;
  const int minute = r[2] >> 2;
  const int hour = (r[2] & 3) * 8 + (r[3] >> 5);
  const int day = r[3] & 0x1F;
  const TDateFields today = DecodeDateTime(now);
  int year = today.Year, month = today.Month;
  if (day > today.Day) {
    if (--month == 0) {
      month = 12;
      --year;
    }
  }
  if (hour > 23 || minute > 59 || second > 59 || !IsValidDate(year, month, day)) return false;
  out = EncodeDateTime({year, month, day, hour, minute, second, 0});
  return true;
}

void QueueJournalRead(TDecodeContext& ctx, int32_t makeAdr) {
  const int32_t index = ctx.Model.Addresses.FindSysAdr(makeAdr);
  ctx.Requests.PutInternalRequest(rkReadRegJournal, bkObject,
                                  std::make_unique<TCardRegistrationItem>(static_cast<uint16_t>(makeAdr), index));
}

bool DecodeEvent(TDecodeContext& ctx, TRawRecord& r, double time, TMJItem& ev, bool& more) {
  more = false;
  ev = TMJItem{};
  ev.Time = time;
  const uint8_t type = r[1] >> 3;
  if (type == 16 || type == 24) {
    ev.MakeAdr = r[0];
  } else {
    const int32_t make = ctx.Model.Addresses.FindMakeAdr(r[0]);
    if (make < 0) return false;
    ev.MakeAdr = static_cast<uint16_t>(make);
  }
  const uint16_t index = CardIndexOf(r);
  switch (type) {
    case 1:
      ev.EventCode = 1;
      ev.AdrAdd = static_cast<uint8_t>((r[1] & 1) + 1);
      ev.EventAdd = static_cast<uint8_t>((r[1] & 6) >> 1);
      LookupCard(ctx, index, ev);
      return true;
    case 2: case 3: case 4: case 5: case 6: case 7:
      ev.EventCode = static_cast<uint8_t>(type <= 3 ? 2 : type <= 5 ? 3 : 4);
      ev.AdrAdd = static_cast<uint8_t>(type <= 3 ? type - 1 : type <= 5 ? type - 3 : type - 5);
      ev.EventAdd = r[1] & 7;
      LookupCard(ctx, index, ev);
      return true;
    case 8:
      ev.EventCode = 6;
      ev.AdrAdd = r[1] & 7;
      ev.EventAdd = (r[2] || r[3]) ? 1 : 0;
      if (ev.EventAdd == 1 && index != 0xFFFF) LookupCard(ctx, index, ev);
      return true;
    case 9: {
      ev.EventCode = 8;
      ev.AdrAdd = r[1] & 7;
      ev.EventAdd = 0;
      for (int bit = 0; bit < 4; ++bit) {
        if (r[3] & (1u << bit)) {
          ev.EventAdd = static_cast<uint8_t>(bit + 1);
          r[3] = static_cast<uint8_t>(r[3] & ~(1u << bit));
          break;
        }
      }
      more = (r[3] & 0x0F) != 0;
      return true;
    }
    case 10:
      if (!IsReachable(ctx, r[0])) return false;
      return DecodeType10(ctx, r, ev, more);
    case 11: case 12: case 13:
      if (!IsReachable(ctx, r[0])) return false;
      return DecodeDrivers(ctx, type, r, ev, more);
    case 14:
      ev.EventCode = 100;
      ev.AdrAdd = static_cast<uint8_t>((r[1] & 1) + 1);
      ev.EventAdd = 0;
      LookupCard(ctx, index, ev);
      return true;
    case 16: {
      ev.EventCode = 21;
      ev.AdrAdd = 0;
      ev.EventAdd = r[0];
      ev.MakeAdr = 0;
      if (!LookupCard(ctx, index, ev)) return false;
      return CheckCardZone(&ctx.Zones, ctx.ServerLock, ev.FacilityCode, ev.CardID, r[0]);
    }
    case 24: {
      ev.EventCode = 22;
      ev.AdrAdd = 0;
      ev.EventAdd = r[0];
      ev.MakeAdr = 0;
      if (!LookupCard(ctx, index, ev)) return true;
      return ctx.Suppression.IsReportWanted(ev.FacilityCode, ev.CardID);
    }
    default:
      return false;
  }
}

void DecodeRecords(TDecodeContext& ctx, std::vector<TRawRecord>& raw, double now, TMJList& events) {
  double t = 0;
  for (TRawRecord& r : raw) {
    if (r[0] == kTimeRecord) {
      double dated;
      if (DateOfTimeRecord(r, now, dated)) t = dated;
      continue;
    }
    if (t == 0) continue;
    // Every call yields the next change of the record; bounded by the bits
    // a record can carry.
    for (int guard = 0; guard < 64; ++guard) {
      TMJItem ev;
      bool more = false;
      if (DecodeEvent(ctx, r, t, ev, more)) events.push_back(ev);
      if (!more) break;
    }
  }
}

void SuppressDuplicates(TMJList& events) {
  auto any = [&](auto pred) {
    for (const auto& e : events)
      if (pred(e)) return true;
    return false;
  };
  for (auto& e : events) {
    if (e.EventCode != 20 || e.Suppressed) continue;
    e.Suppressed = any([&](const TMJItem& o) {
      return o.MakeAdr == e.MakeAdr && o.Time == e.Time && (o.EventCode == 2 || o.EventCode == 6 || o.EventCode == 8);
    });
  }
  for (auto& e : events) {
    if (e.EventCode != 5 || e.Suppressed) continue;
    e.Suppressed = any([&](const TMJItem& o) {
      return o.EventCode == 4 && o.MakeAdr == e.MakeAdr && o.AdrAdd == e.AdrAdd && o.EventAdd == e.EventAdd &&
             o.Time == e.Time;
    });
  }
  for (auto& e : events) {
    if (e.EventCode != 9 || e.Suppressed) continue;
    e.Suppressed = any([&](const TMJItem& o) {
      return o.EventCode == 8 && o.MakeAdr == e.MakeAdr && o.AdrAdd == e.AdrAdd && o.EventAdd == e.EventAdd &&
             o.Time == e.Time;
    });
  }
}

}  // namespace vexon
