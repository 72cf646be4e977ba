// Registration journal, data and decoding: the 21-byte
// registration event record (TEvItem, also the record of "buffer.bin"), the
// events of one page (TEvList), and ParseJournalPage, which decodes a page
// of 4-byte journal records read from one controller into events.
//
// No thread, no link, no lock of its own: the caller (core's journal-read
// step) owns one TJournalDecodeState per controller it reads and passes the
// active card segments, whose own lock ParseJournalPage takes per lookup,
// never inside another lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexon {

class TCardSegments;

constexpr size_t kEvRecordSize = 21;       // TEvItem on disk
constexpr size_t kJournalRecordSize = 4;   // one record of a page
constexpr size_t kMaxJournalRecords = 32;  // records a page can carry
// A record yields at most 8 events (kinds 4 and 5), so a page at most 256:
// the room core's read step must see in the list before it reads a page.
constexpr size_t kMaxEventsPerRecord = 8;
constexpr size_t kMaxEventsPerPage = kMaxJournalRecords * kMaxEventsPerRecord;

constexpr uint8_t kUndecodableEventType = 255;

// One registration event. Hour, Minute and Second are 0 as decoded and
// filled from Seconds when the event enters the registration event list.
struct TEvItem {
  uint8_t Day = 0;
  uint8_t Month = 0;
  uint16_t Year = 0;
  int32_t Seconds = 0;  // hour * 3600 + minute * 60 + second
  uint8_t Hour = 0;
  uint8_t Minute = 0;
  uint8_t Second = 0;
  uint16_t MakeAdr = 0;
  uint16_t AdrAdd = 0;
  uint8_t EventType = 0;  // 1, 2, 3, 5; 255 undecodable
  uint8_t Event = 0;
  uint8_t Alarm = 0;
  uint16_t CardID = 0;
  uint8_t FacilityCode = 0;

  friend bool operator==(const TEvItem&, const TEvItem&) = default;
};

// The undecodable event: every field 0 but EventType 255.
TEvItem UndecodableEvent();

// The 21-byte record, field by field, little-endian:
// 0 Day, 1 Month, 2-3 Year, 4-7 Seconds, 8 Hour, 9 Minute, 10 Second,
// 11-12 MakeAdr, 13-14 AdrAdd, 15 EventType, 16 Event, 17 Alarm,
// 18-19 CardID, 20 FacilityCode.
void EncodeEvItem(const TEvItem& ev, uint8_t* out21);
TEvItem DecodeEvItem(const uint8_t* in21);

// True for a record that ParseJournalPage can produce: the undecodable event
// exactly, or EventType 1, 2, 3 or 5 with Year 1997..2096, Month 1..12,
// Day 1..31, Seconds 0..86403 (23:59 plus a second field of up to 63) and
// AdrAdd at most 255. Hour, Minute and Second are not looked at (the list
// recomputes them). The registration event list holds nothing else: that
// keeps every event deliverable, and keeps the list's order the order of
// the list's 24-character text keys.
bool IsProducibleEvent(const TEvItem& ev);

// The events decoded from one page, in decoding order; owns its items.
using TEvList = std::vector<TEvItem>;

// What decoding remembers between pages and reads: the last date record of
// the controller being read and its MakeAdr. Every page starts a fresh
// date-valid flag, so events are dated only by a date record of their own
// page; the state is kept across pages and reads all the same.
struct TJournalDecodeState {
  uint8_t Minute = 0;
  uint8_t Hour = 0;
  uint8_t Day = 0;
  uint8_t Month = 0;
  uint16_t Year = 0;
  uint16_t MakeAdr = 0;
};

// Date check of step 5: minute below 60, hour at most 23, month 1..12 and a
// day of that month (February has 29 days in years divisible by 4).
bool IsValidJournalDate(const TJournalDecodeState& s);

// Decodes `n` records (limited to 32) of `page` (4 * n bytes, in page order)
// read from the controller `MakeAdr`, Algorithms steps 1 to 6. `segments`
// may be null (no card resolution; same as a missing active list). Always
// returns a list, possibly empty.
TEvList ParseJournalPage(TJournalDecodeState& state, uint16_t MakeAdr, const uint8_t* page, size_t n,
                         const TCardSegments* segments);

}  // namespace vexon
