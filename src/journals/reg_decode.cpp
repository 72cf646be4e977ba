#include "journals/reg_decode.h"

#include "model/card_segments.h"
#include "util/bytes.h"

namespace vexon {

namespace {

constexpr int32_t kMaxDecodedSeconds = 23 * 3600 + 59 * 60 + 63;

void DecodeDate(const uint8_t* r, TJournalDecodeState& s) {
  s.Minute = static_cast<uint8_t>(((r[0] & 0x07) << 3) | (r[1] >> 5));
  s.Hour = static_cast<uint8_t>(r[1] & 0x1F);
  s.Day = static_cast<uint8_t>(r[2] >> 3);
  s.Month = static_cast<uint8_t>(((r[2] & 0x07) << 1) | (r[3] >> 7));
  const int y = r[3] & 0x7F;
  s.Year = static_cast<uint16_t>(y <= 96 ? 2000 + y : 1900 + y);
}

// Fields every decoded event of a record shares.
TEvItem Dated(const TJournalDecodeState& s, const uint8_t* r, uint8_t type) {
  TEvItem ev;
  ev.Day = s.Day;
  ev.Month = s.Month;
  ev.Year = s.Year;
  ev.Seconds = s.Hour * 3600 + s.Minute * 60 + (r[1] & 0x3F);
  ev.MakeAdr = s.MakeAdr;
  ev.EventType = type;
  return ev;
}

bool Bit(uint8_t v, int bit) { return (v >> bit) & 1; }

void DecodeEvents(const TJournalDecodeState& s, const uint8_t* r, int kind, TEvList& out) {
  const uint8_t b0 = r[0], b1 = r[1], b2 = r[2], b3 = r[3];
  switch (kind) {
    case 1: {
      TEvItem ev = Dated(s, r, 1);
      ev.Event = b0 & 0x0F;
      ev.Alarm = Bit(b0, 4);
      if (Bit(b1, 7)) {
        ev.CardID = static_cast<uint16_t>(b2 + 256 * b3);
        ev.AdrAdd = Bit(b1, 6) ? 2 : 1;
      } else {
        ev.CardID = 0;
        ev.AdrAdd = b3;
      }
      out.push_back(ev);
      break;
    }
    case 2: {
      TEvItem ev = Dated(s, r, 2);
      ev.Event = b0 & 0x0F;
      ev.CardID = static_cast<uint16_t>(b2 + 256 * b3);
      ev.AdrAdd = Bit(b1, 6) ? 2 : 1;
      out.push_back(ev);
      break;
    }
    case 3:
      for (int j = 1; j <= 4; ++j) {
        if (!Bit(b3, j - 1)) continue;
        TEvItem ev = Dated(s, r, 3);
        ev.Event = 1;
        ev.Alarm = 1;
        ev.AdrAdd = b0 & 7;
        ev.CardID = static_cast<uint16_t>(j);
        out.push_back(ev);
      }
      break;
    case 4:
      for (int j = 1; j <= 4; ++j) {
        if (!Bit(b2, j - 1)) continue;
        TEvItem ev = Dated(s, r, 3);
        ev.Event = Bit(b3, j - 1) ? 1 : 3;
        ev.AdrAdd = b0 & 7;
        ev.CardID = static_cast<uint16_t>(j);
        out.push_back(ev);
      }
      for (int j = 1; j <= 4; ++j) {
        if (!Bit(b2, j + 3)) continue;
        TEvItem ev = Dated(s, r, 3);
        ev.Event = Bit(b3, j + 3) ? 2 : 4;
        ev.AdrAdd = b0 & 7;
        ev.CardID = static_cast<uint16_t>(j);
        out.push_back(ev);
      }
      break;
    case 5: {
      const int m = b0 & 3;
      if (m == 0) {
        for (int k = 0; k < 8; ++k) {
          if (!Bit(b2, k)) continue;
          TEvItem ev = Dated(s, r, 5);
          if (k < 4) {
            // k = 0..3: events 3/4, 5/6, 7/8, 9/10 by bit k of b3.
            ev.Event = static_cast<uint8_t>(3 + 2 * k + (Bit(b3, k) ? 0 : 1));
          } else {
            ev.Event = Bit(b3, k) ? 11 : 12;
            ev.AdrAdd = static_cast<uint16_t>(k - 3);
          }
          out.push_back(ev);
        }
      }
      if (m == 2 || m == 1) {
        TEvItem ev = Dated(s, r, 5);
        ev.Event = m == 2 ? 1 : 2;
        out.push_back(ev);
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace

TEvItem UndecodableEvent() {
  TEvItem ev;
  ev.EventType = kUndecodableEventType;
  return ev;
}

void EncodeEvItem(const TEvItem& ev, uint8_t* o) {
  o[0] = ev.Day;
  o[1] = ev.Month;
  PutU16(o + 2, ev.Year);
  PutI32(o + 4, ev.Seconds);
  o[8] = ev.Hour;
  o[9] = ev.Minute;
  o[10] = ev.Second;
  PutU16(o + 11, ev.MakeAdr);
  PutU16(o + 13, ev.AdrAdd);
  o[15] = ev.EventType;
  o[16] = ev.Event;
  o[17] = ev.Alarm;
  PutU16(o + 18, ev.CardID);
  o[20] = ev.FacilityCode;
}

TEvItem DecodeEvItem(const uint8_t* in) {
  TEvItem ev;
  ev.Day = in[0];
  ev.Month = in[1];
  ev.Year = GetU16(in + 2);
  ev.Seconds = GetI32(in + 4);
  ev.Hour = in[8];
  ev.Minute = in[9];
  ev.Second = in[10];
  ev.MakeAdr = GetU16(in + 11);
  ev.AdrAdd = GetU16(in + 13);
  ev.EventType = in[15];
  ev.Event = in[16];
  ev.Alarm = in[17];
  ev.CardID = GetU16(in + 18);
  ev.FacilityCode = in[20];
  return ev;
}

bool IsProducibleEvent(const TEvItem& ev) {
  if (ev.EventType == kUndecodableEventType) {
    TEvItem plain = ev;
    plain.Hour = plain.Minute = plain.Second = 0;
    return plain == UndecodableEvent();
  }
  if (ev.EventType != 1 && ev.EventType != 2 && ev.EventType != 3 && ev.EventType != 5) return false;
  return ev.Year >= 1997 && ev.Year <= 2096 && ev.Month >= 1 && ev.Month <= 12 && ev.Day >= 1 && ev.Day <= 31 &&
         ev.Seconds >= 0 && ev.Seconds <= kMaxDecodedSeconds && ev.AdrAdd <= 255;
}

bool IsValidJournalDate(const TJournalDecodeState& s) {
  if (s.Minute >= 60 || s.Hour > 23 || s.Month < 1 || s.Month > 12) return false;
  int days = 31;
  switch (s.Month) {
    case 4: case 6: case 9: case 11:
      days = 30;
      break;
    case 2:
      days = s.Year % 4 == 0 ? 29 : 28;
      break;
    default:
      break;
  }
  return s.Day >= 1 && s.Day <= days;
}

TEvList ParseJournalPage(TJournalDecodeState& state, uint16_t MakeAdr, const uint8_t* page, size_t n,
                         const TCardSegments* segments) {
  state.MakeAdr = MakeAdr;
  TEvList events;
  if (n > kMaxJournalRecords) n = kMaxJournalRecords;
  bool dateValid = true;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* r = page + i * kJournalRecordSize;
    const int kind = r[0] >> 5;
    if (i == 0 && kind != 0) dateValid = false;
    switch (kind) {
      case 0:
        DecodeDate(r, state);
        dateValid = IsValidJournalDate(state);
        break;
      case 1: case 2: case 3: case 4:
        if (dateValid)
          DecodeEvents(state, r, kind, events);
        else
          events.push_back(UndecodableEvent());
        break;
      case 5:
        if (dateValid) DecodeEvents(state, r, kind, events);
        break;
      default:  // 6, 7
        if (dateValid) events.push_back(UndecodableEvent());
        break;
    }
  }
  // Step 6, after decoding: the active-segment lock is taken by each lookup
  // and inside no other lock.
  for (TEvItem& ev : events) {
    if (ev.EventType != 1 && ev.EventType != 2) continue;
    if (ev.CardID == 0 || ev.CardID == 0xFFFF) {
      ev.FacilityCode = 0;
      continue;
    }
    uint8_t fc = 0;
    uint16_t card = 0;
    if (segments && segments->GetCardFromSystemIndex(ev.CardID, fc, card)) {
      ev.FacilityCode = fc;
      ev.CardID = card;
    }
  }
  return events;
}

}  // namespace vexon
