// Registration journal and its durable storage:
// page decoding, the event list's order and limits, "buffer.bin" and its
// log on disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "journals/crc32.h"
#include "journals/reg_decode.h"
#include "journals/reg_journal.h"
#include "journals/reg_log.h"
#include "model/card_segments.h"
#include "test_support.h"
#include "util/result_codes.h"

using namespace vexon;
namespace fs = std::filesystem;

namespace {

using TRec = std::array<uint8_t, 4>;

// Date record (kind 0) for a full year 1997..2096.
TRec DateRec(int year, int month, int day, int hour, int minute) {
  const int y = year >= 2000 ? year - 2000 : year - 1900;
  return {static_cast<uint8_t>((minute >> 3) & 7), static_cast<uint8_t>(((minute & 7) << 5) | (hour & 0x1F)),
          static_cast<uint8_t>((day << 3) | ((month >> 1) & 7)), static_cast<uint8_t>(((month & 1) << 7) | y)};
}
TRec Rec(int kind, int b0low, int b1, int b2, int b3) {
  return {static_cast<uint8_t>((kind << 5) | (b0low & 0x1F)), static_cast<uint8_t>(b1), static_cast<uint8_t>(b2),
          static_cast<uint8_t>(b3)};
}

TEvList Parse(const std::vector<TRec>& recs, uint16_t makeAdr = 0x1234, const TCardSegments* segs = nullptr) {
  std::vector<uint8_t> page;
  for (const auto& r : recs) page.insert(page.end(), r.begin(), r.end());
  TJournalDecodeState state;
  return ParseJournalPage(state, makeAdr, page.data(), recs.size(), segs);
}

TEvItem Event(int year, int month, int day, int seconds, uint16_t makeAdr = 1, uint8_t event = 0) {
  TEvItem ev;
  ev.Year = static_cast<uint16_t>(year);
  ev.Month = static_cast<uint8_t>(month);
  ev.Day = static_cast<uint8_t>(day);
  ev.Seconds = seconds;
  ev.MakeAdr = makeAdr;
  ev.EventType = 2;
  ev.Event = event;
  ev.AdrAdd = 1;
  return ev;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<TEvItem> Drain(TRegJournal& j) {
  std::vector<TEvItem> out;
  TEvItem ev;
  while (j.TakeOldestEvent(ev) == rcOk) out.push_back(ev);
  return out;
}

// Compares the producible fields that survive the list (H/M/S are derived).
bool SameEvent(const TEvItem& a, const TEvItem& b) {
  TEvItem x = a, y = b;
  x.Hour = x.Minute = x.Second = y.Hour = y.Minute = y.Second = 0;
  return x == y;
}

}  // namespace

// ---------------------------------------------------------------------------
// Decoding

TEST(RegDecode, FirstRecordNotADateGivesOneUndecodableEventThenTheDateHolds) {
  const auto evs = Parse({Rec(2, 3, 0x05, 0x10, 0x00), DateRec(2004, 3, 15, 14, 30), Rec(2, 3, 0x40 | 45, 0x10, 0x00)});
  ASSERT_EQ(evs.size(), 2u);
  EXPECT_EQ(evs[0], UndecodableEvent());
  const TEvItem& e = evs[1];
  EXPECT_EQ(e.EventType, 2);
  EXPECT_EQ(e.Event, 3);
  EXPECT_EQ(e.Year, 2004);
  EXPECT_EQ(e.Month, 3);
  EXPECT_EQ(e.Day, 15);
  EXPECT_EQ(e.Seconds, 14 * 3600 + 30 * 60 + 45);
  EXPECT_EQ(e.Hour, 0);  // filled only when entering the list
  EXPECT_EQ(e.MakeAdr, 0x1234);
  EXPECT_EQ(e.AdrAdd, 2);  // bit 6 of b1
  EXPECT_EQ(e.CardID, 0x10);
  EXPECT_EQ(e.FacilityCode, 0);
  EXPECT_EQ(e.Alarm, 0);
}

TEST(RegDecode, FirstRecordOfKind5To7BeforeAnyDateIsDropped) {
  const auto evs = Parse({Rec(5, 2, 0, 0, 0), Rec(6, 0, 0, 0, 0), Rec(7, 0, 0, 0, 0), Rec(1, 0, 0, 0, 0)});
  ASSERT_EQ(evs.size(), 1u);
  EXPECT_EQ(evs[0], UndecodableEvent());
}

TEST(RegDecode, LeapDayOf2004IsValidAndOf2003IsNot) {
  auto ok = Parse({DateRec(2004, 2, 29, 10, 0), Rec(1, 0, 0, 0, 7)});
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_EQ(ok[0].EventType, 1);
  EXPECT_EQ(ok[0].Day, 29);
  EXPECT_EQ(ok[0].Month, 2);

  const auto bad = Parse({DateRec(2004, 3, 1, 9, 0), Rec(1, 1, 0, 0, 0), DateRec(2003, 2, 29, 10, 0),
                          Rec(1, 1, 0, 0, 0), Rec(1, 2, 0, 0, 0), Rec(5, 2, 0, 0, 0), Rec(6, 0, 0, 0, 0),
                          DateRec(2003, 3, 1, 10, 0), Rec(1, 3, 5, 0, 0), Rec(6, 0, 0, 0, 0)});
  ASSERT_EQ(bad.size(), 5u);
  EXPECT_EQ(bad[0].EventType, 1);
  EXPECT_EQ(bad[1], UndecodableEvent());
  EXPECT_EQ(bad[2], UndecodableEvent());  // kinds 5 and 6 after it: nothing
  EXPECT_EQ(bad[3].EventType, 1);
  EXPECT_EQ(bad[3].Event, 3);
  EXPECT_EQ(bad[3].Year, 2003);
  EXPECT_EQ(bad[3].Seconds, 10 * 3600 + 5);
  EXPECT_EQ(bad[4], UndecodableEvent());  // kind 6 with a valid date
}

TEST(RegDecode, DateCheck) {
  TJournalDecodeState s{0, 0, 31, 4, 2004, 0};
  EXPECT_FALSE(IsValidJournalDate(s));  // 31 April
  s.Month = 5;
  EXPECT_TRUE(IsValidJournalDate(s));
  s.Hour = 24;
  EXPECT_FALSE(IsValidJournalDate(s));
  s.Hour = 23;
  s.Minute = 60;
  EXPECT_FALSE(IsValidJournalDate(s));
  s.Minute = 59;
  s.Month = 13;
  EXPECT_FALSE(IsValidJournalDate(s));
  s.Month = 1;
  s.Day = 0;
  EXPECT_FALSE(IsValidJournalDate(s));
  s = {0, 0, 29, 2, 2000, 0};
  EXPECT_TRUE(IsValidJournalDate(s));
}

TEST(RegDecode, YearBits96Are2096And97Are1997) {
  // Year bits are b3 & 0x7F; January (month bit 0 in b3 bit 7 = 1).
  auto e96 = Parse({{0x00, 0x00, (1 << 3) | 0, 0x80 | 96}, Rec(1, 0, 0, 0, 0)});
  ASSERT_EQ(e96.size(), 1u);
  EXPECT_EQ(e96[0].Year, 2096);
  EXPECT_EQ(e96[0].Month, 1);
  auto e97 = Parse({{0x00, 0x00, (1 << 3) | 0, 0x80 | 97}, Rec(1, 0, 0, 0, 0)});
  ASSERT_EQ(e97.size(), 1u);
  EXPECT_EQ(e97[0].Year, 1997);
  auto e0 = Parse({{0x00, 0x00, (1 << 3) | 0, 0x80 | 0}, Rec(1, 0, 0, 0, 0)});
  EXPECT_EQ(e0[0].Year, 2000);
  auto e127 = Parse({{0x00, 0x00, (1 << 3) | 0, 0x80 | 127}, Rec(1, 0, 0, 0, 0)});
  EXPECT_EQ(e127[0].Year, 2027);
}

TEST(RegDecode, DateFieldsComeFromTheirBits) {
  // minute 45 = 0b101101: bits 3-5 (101) in b0 bits 0-2, bits 0-2 (101) in b1 bits 5-7.
  const auto evs = Parse({DateRec(2011, 12, 31, 23, 45), Rec(1, 0, 59, 0, 0)});
  ASSERT_EQ(evs.size(), 1u);
  EXPECT_EQ(evs[0].Year, 2011);
  EXPECT_EQ(evs[0].Month, 12);
  EXPECT_EQ(evs[0].Day, 31);
  EXPECT_EQ(evs[0].Seconds, 23 * 3600 + 45 * 60 + 59);
}

TEST(RegDecode, Kind1WithAndWithoutCard) {
  const auto evs = Parse({DateRec(2004, 3, 15, 8, 0), Rec(1, 0x10 | 9, 0x80 | 0x40 | 5, 0x34, 0x12),
                          Rec(1, 2, 0x80 | 6, 0x01, 0x00), Rec(1, 4, 7, 0xAA, 0xBB)});
  ASSERT_EQ(evs.size(), 3u);
  EXPECT_EQ(evs[0].EventType, 1);
  EXPECT_EQ(evs[0].Event, 9);
  EXPECT_EQ(evs[0].Alarm, 1);
  EXPECT_EQ(evs[0].CardID, 0x1234);
  EXPECT_EQ(evs[0].AdrAdd, 2);
  EXPECT_EQ(evs[0].Seconds, 8 * 3600 + 5);
  EXPECT_EQ(evs[1].AdrAdd, 1);
  EXPECT_EQ(evs[1].CardID, 1);
  EXPECT_EQ(evs[1].Alarm, 0);
  EXPECT_EQ(evs[2].CardID, 0);
  EXPECT_EQ(evs[2].AdrAdd, 0xBB);
  EXPECT_EQ(evs[2].Event, 4);
}

TEST(RegDecode, Kind3GivesOneAlarmPerInputBit) {
  const auto evs = Parse({DateRec(2004, 3, 15, 8, 0), Rec(3, 0x1D, 1, 0xFF, 0x0A)});
  ASSERT_EQ(evs.size(), 2u);
  for (const auto& e : evs) {
    EXPECT_EQ(e.EventType, 3);
    EXPECT_EQ(e.Event, 1);
    EXPECT_EQ(e.Alarm, 1);
    EXPECT_EQ(e.AdrAdd, 5);  // b0 & 7
  }
  EXPECT_EQ(evs[0].CardID, 2);
  EXPECT_EQ(evs[1].CardID, 4);
}

TEST(RegDecode, Kind4Expansion) {
  const auto evs = Parse({DateRec(2004, 3, 15, 8, 0), Rec(4, 3, 0, 0x11, 0x01)});
  ASSERT_EQ(evs.size(), 2u);
  EXPECT_EQ(evs[0].EventType, 3);
  EXPECT_EQ(evs[0].Event, 1);
  EXPECT_EQ(evs[0].CardID, 1);
  EXPECT_EQ(evs[0].AdrAdd, 3);
  EXPECT_EQ(evs[0].Alarm, 0);
  EXPECT_EQ(evs[1].Event, 4);
  EXPECT_EQ(evs[1].CardID, 1);
  const auto all = Parse({DateRec(2004, 3, 15, 8, 0), Rec(4, 0, 0, 0xFF, 0xA5)});
  std::vector<int> got;
  for (const auto& e : all) got.push_back(e.Event * 10 + e.CardID);
  EXPECT_EQ(got, (std::vector<int>{11, 32, 13, 34, 41, 22, 43, 24}));
}

TEST(RegDecode, Kind5Expansion) {
  const auto one = Parse({DateRec(2004, 3, 15, 8, 0), Rec(5, 2, 0, 0, 0xFF)});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].EventType, 5);
  EXPECT_EQ(one[0].Event, 1);
  EXPECT_EQ(one[0].AdrAdd, 0);
  const auto m1 = Parse({DateRec(2004, 3, 15, 8, 0), Rec(5, 1, 0, 0xFF, 0xFF)});
  ASSERT_EQ(m1.size(), 1u);  // the k events only when m = 0
  EXPECT_EQ(m1[0].Event, 2);
  EXPECT_TRUE(Parse({DateRec(2004, 3, 15, 8, 0), Rec(5, 3, 0, 0xFF, 0xFF)}).empty());
  const auto all = Parse({DateRec(2004, 3, 15, 8, 0), Rec(5, 0, 0, 0xFF, 0x5A)});
  std::vector<std::pair<int, int>> got;
  for (const auto& e : all) got.emplace_back(e.Event, e.AdrAdd);
  EXPECT_EQ(got,
            (std::vector<std::pair<int, int>>{{4, 0}, {5, 0}, {8, 0}, {9, 0}, {11, 1}, {12, 2}, {11, 3}, {12, 4}}));
}

TEST(RegDecode, NoRecordGivesMoreThanEightEvents) {
  for (int kind = 3; kind <= 5; ++kind)
    for (int low = 0; low < 4; ++low)
      for (int b2 = 0; b2 < 256; b2 += 5)
        for (int b3 = 0; b3 < 256; b3 += 3) {
          const auto evs = Parse({DateRec(2004, 3, 15, 8, 0), Rec(kind, low, 0, b2, b3)});
          ASSERT_LE(evs.size(), kMaxEventsPerRecord);
        }
}

// Whatever a controller sends, decoding yields only events the list takes,
// at most eight per record.
TEST(RegDecode, RandomPagesGiveOnlyProducibleEvents) {
  std::mt19937 rng(3);
  TJournalDecodeState state;
  for (int p = 0; p < 20000; ++p) {
    std::vector<uint8_t> page(4 * (rng() % 33));
    for (auto& b : page) b = static_cast<uint8_t>(rng());
    if (!page.empty() && rng() % 2) {
      const TRec d =
          DateRec(1997 + static_cast<int>(rng() % 100), 1 + static_cast<int>(rng() % 12),
                  1 + static_cast<int>(rng() % 28), static_cast<int>(rng() % 24), static_cast<int>(rng() % 60));
      std::copy(d.begin(), d.end(), page.begin());
    }
    const auto evs = ParseJournalPage(state, static_cast<uint16_t>(rng()), page.data(), page.size() / 4, nullptr);
    ASSERT_LE(evs.size(), kMaxEventsPerRecord * (page.size() / 4));
    for (const auto& e : evs) ASSERT_TRUE(IsProducibleEvent(e));
  }
}

TEST(RegDecode, CardsResolvedThroughTheActiveSegments) {
  TCardSegments segs;
  TCardList l;
  l.AddIt({0, 7, 1000, 1099, 1, 1});  // facility 7, cards 1000.. = indexes 1..100
  segs.CopyListToActive(l);
  const auto evs = Parse({DateRec(2004, 3, 15, 8, 0), Rec(2, 0, 0, 5, 0), Rec(2, 0, 0, 200, 0),
                          Rec(2, 0, 0, 0xFF, 0xFF), Rec(2, 0, 0, 0, 0), Rec(1, 0, 0x80, 1, 0), Rec(1, 0, 0, 0, 9)},
                         1, &segs);
  ASSERT_EQ(evs.size(), 6u);
  EXPECT_EQ(evs[0].FacilityCode, 7);
  EXPECT_EQ(evs[0].CardID, 1004);
  EXPECT_EQ(evs[1].FacilityCode, 0);  // not found: as decoded
  EXPECT_EQ(evs[1].CardID, 200);
  EXPECT_EQ(evs[2].CardID, 0xFFFF);
  EXPECT_EQ(evs[2].FacilityCode, 0);
  EXPECT_EQ(evs[3].CardID, 0);
  EXPECT_EQ(evs[4].FacilityCode, 7);
  EXPECT_EQ(evs[4].CardID, 1000);
  EXPECT_EQ(evs[5].CardID, 0);
  EXPECT_EQ(evs[5].AdrAdd, 9);
  // Without an active list nothing is resolved.
  TCardSegments none;
  EXPECT_EQ(Parse({DateRec(2004, 3, 15, 8, 0), Rec(2, 0, 0, 5, 0)}, 1, &none)[0].CardID, 5);
}

TEST(RegDecode, PageLimitedTo32RecordsAndStateKept) {
  std::vector<uint8_t> page;
  const TRec d = DateRec(2010, 6, 1, 12, 0);
  page.insert(page.end(), d.begin(), d.end());
  for (int i = 0; i < 40; ++i) {
    const TRec r = Rec(2, 0, i % 60, i, 0);
    page.insert(page.end(), r.begin(), r.end());
  }
  TJournalDecodeState state;
  const auto evs = ParseJournalPage(state, 77, page.data(), 41, nullptr);
  EXPECT_EQ(evs.size(), 31u);
  EXPECT_EQ(state.MakeAdr, 77);
  EXPECT_EQ(state.Year, 2010);
  EXPECT_EQ(state.Month, 6);
  EXPECT_EQ(state.Hour, 12);
  // The next page starts a fresh date-valid flag.
  const TRec r = Rec(2, 0, 0, 0, 0);
  const auto next = ParseJournalPage(state, 77, r.data(), 1, nullptr);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0], UndecodableEvent());
  EXPECT_TRUE(ParseJournalPage(state, 77, nullptr, 0, nullptr).empty());
}

TEST(RegDecode, RecordLayoutIsFieldByFieldLittleEndian) {
  TEvItem e;
  e.Day = 15;
  e.Month = 3;
  e.Year = 2004;
  e.Seconds = 52245;  // 14:30:45
  e.Hour = 14;
  e.Minute = 30;
  e.Second = 45;
  e.MakeAdr = 0x1234;
  e.AdrAdd = 2;
  e.EventType = 1;
  e.Event = 5;
  e.Alarm = 1;
  e.CardID = 0xBEEF;
  e.FacilityCode = 7;
  uint8_t out[21];
  EncodeEvItem(e, out);
  const std::vector<uint8_t> want = {0x0F, 0x03, 0xD4, 0x07, 0x15, 0xCC, 0x00, 0x00, 0x0E, 0x1E, 0x2D,
                                     0x34, 0x12, 0x02, 0x00, 0x01, 0x05, 0x01, 0xEF, 0xBE, 0x07};
  EXPECT_EQ(std::vector<uint8_t>(out, out + 21), want);
  EXPECT_EQ(DecodeEvItem(want.data()), e);
}

TEST(RegDecode, ProducibleEvents) {
  EXPECT_TRUE(IsProducibleEvent(UndecodableEvent()));
  TEvItem u = UndecodableEvent();
  u.MakeAdr = 1;
  EXPECT_FALSE(IsProducibleEvent(u));
  TEvItem e = Event(2004, 3, 15, 100);
  EXPECT_TRUE(IsProducibleEvent(e));
  const std::vector<std::function<void(TEvItem&)>> damages = {
      [](TEvItem& x) { x.AdrAdd = 256; }, [](TEvItem& x) { x.EventType = 4; },
                   [](TEvItem& x) { x.EventType = 0; }, [](TEvItem& x) { x.Month = 13; },
                   [](TEvItem& x) { x.Month = 0; }, [](TEvItem& x) { x.Day = 0; }, [](TEvItem& x) { x.Day = 32; },
                   [](TEvItem& x) { x.Year = 1996; }, [](TEvItem& x) { x.Year = 2097; },
                   [](TEvItem& x) { x.Seconds = -1; }, [](TEvItem& x) { x.Seconds = 86404; }};
  for (const auto& bad : damages) {
    TEvItem x = e;
    bad(x);
    EXPECT_FALSE(IsProducibleEvent(x));
  }
  e.Seconds = 86403;  // 23:59 and a second field of 63
  EXPECT_TRUE(IsProducibleEvent(e));
}

TEST(RegDecode, Crc32MatchesZlib) {
  const char* s = "123456789";
  EXPECT_EQ(Crc32(0, reinterpret_cast<const uint8_t*>(s), 9), 0xCBF43926u);
  EXPECT_EQ(Crc32(Crc32(0, reinterpret_cast<const uint8_t*>(s), 4), reinterpret_cast<const uint8_t*>(s) + 4, 5),
            0xCBF43926u);
  EXPECT_EQ(Crc32(0, nullptr, 0), 0u);
}

// ---------------------------------------------------------------------------
// The list

TEST(RegEvList, KeyAndHourMinuteSecondFilledOnEntry) {
  TRegEvList l;
  ASSERT_TRUE(l.AddEvent(Event(2004, 3, 5, 14 * 3600 + 3 * 60 + 9)));
  EXPECT_EQ(l.FirstKey(), "200403051403090000000001");
  EXPECT_EQ(l.FirstKey().size(), 24u);
  TEvItem out;
  ASSERT_TRUE(l.TakeFirst(out));
  EXPECT_EQ(out.Hour, 14);
  EXPECT_EQ(out.Minute, 3);
  EXPECT_EQ(out.Second, 9);
  EXPECT_EQ(RegEventKey(Event(2004, 3, 5, 86403), 7), "200403052400030000000007");
}

TEST(RegEvList, SameSecondIsTakenInArrivalOrderAndTimeOrderOtherwise) {
  TRegEvList l;
  l.AddEvent(Event(2004, 3, 5, 100, 1, 1));
  l.AddEvent(Event(2004, 3, 5, 100, 1, 2));
  l.AddEvent(Event(2004, 3, 5, 99, 1, 3));
  l.AddEvent(Event(2003, 12, 31, 86399, 1, 4));
  l.AddEvent(Event(2004, 3, 5, 100, 1, 5));
  l.AddEvent(UndecodableEvent());
  std::vector<int> order;
  TEvItem out;
  while (l.TakeFirst(out)) order.push_back(out.Event);
  EXPECT_EQ(order, (std::vector<int>{0, 4, 3, 1, 2, 5}));
}

TEST(RegEvList, RefusesWhatDecodingCannotProduce) {
  TRegEvList l;
  TEvItem e = Event(2004, 3, 5, 1);
  e.AdrAdd = 300;
  EXPECT_FALSE(l.AddEvent(e));
  EXPECT_EQ(l.Count(), 0u);
  EXPECT_EQ(l.ArrivalCounter(), 0);
}

TEST(RegEvList, ArrivalCounterWrapsAndClearKeepsIt) {
  TRegEvList l;
  l.SetArrivalCounter(INT32_MAX - 1);
  l.AddEvent(Event(2004, 3, 5, 100, 1, 1));  // INT32_MAX
  EXPECT_EQ(l.FirstKey(), "200403050001402147483647");
  l.AddEvent(Event(2004, 3, 5, 100, 1, 2));  // wraps: 1
  EXPECT_EQ(l.ArrivalCounter(), 1);
  EXPECT_EQ(l.FirstKey(), "200403050001400000000001");  // the text order of the keys
  l.Clear();
  EXPECT_EQ(l.Count(), 0u);
  EXPECT_EQ(l.ArrivalCounter(), 1);
  l.AddEvent(Event(2004, 3, 5, 100));
  EXPECT_EQ(l.FirstKey(), "200403050001400000000002");
}

// The list's order is the text-key order, against a reference kept as
// a sorted multimap of the 24-character keys, through random arrivals,
// takes, block splits and a wrap of the arrival counter.
TEST(RegEvList, OrderIsTheTextKeyOrder) {
  std::mt19937 rng(12);
  TRegEvList l;
  l.SetArrivalCounter(INT32_MAX - 3000);
  std::multimap<std::string, TEvItem> ref;
  int32_t counter = INT32_MAX - 3000;
  auto randomEvent = [&] {
    if (rng() % 50 == 0) return UndecodableEvent();
    // Few distinct seconds, so that many events share one; some past 23:59:59.
    const int32_t seconds =
        rng() % 5 == 0 ? 86400 + static_cast<int32_t>(rng() % 4) : static_cast<int32_t>(rng() % 40) * 2200;
    return Event(2000 + static_cast<int>(rng() % 3), 1 + static_cast<int>(rng() % 2), 1 + static_cast<int>(rng() % 3),
                 seconds, static_cast<uint16_t>(rng() % 1000), static_cast<uint8_t>(rng() % 16));
  };
  for (int step = 0; step < 20000; ++step) {
    if (rng() % 3 != 0) {
      const TEvItem e = randomEvent();
      ASSERT_TRUE(l.AddEvent(e));
      if (counter == INT32_MAX) counter = 0;
      ++counter;
      ref.emplace(RegEventKey(e, counter), e);
    } else {
      TEvItem got;
      const bool any = l.TakeFirst(got);
      ASSERT_EQ(any, !ref.empty());
      if (!any) continue;
      ASSERT_TRUE(SameEvent(got, ref.begin()->second)) << step;
      ref.erase(ref.begin());
    }
    ASSERT_EQ(l.Count(), ref.size());
  }
  TEvItem got;
  while (l.TakeFirst(got)) {
    ASSERT_TRUE(SameEvent(got, ref.begin()->second));
    ref.erase(ref.begin());
  }
  EXPECT_TRUE(ref.empty());
}

TEST(RegEvList, SizeLimitDropsTheOldest) {
  TRegEvList l;
  for (size_t i = 0; i < TRegEvList::kSizeLimit; ++i)
    l.AddEvent(Event(2004, 3, 5, static_cast<int32_t>(i / 49), static_cast<uint16_t>(i >> 16)));  // in time order
  EXPECT_EQ(l.Count(), TRegEvList::kSizeLimit);
  l.AddEvent(Event(2004, 3, 6, 0, 999));
  EXPECT_EQ(l.Count(), TRegEvList::kSizeLimit);
  // The first entry (arrival 1, second 0 of 5 March) is gone.
  EXPECT_EQ(l.FirstKey(), "200403050000000000000002");
  // An event older than all: the oldest is dropped first, then it is inserted.
  l.AddEvent(Event(2004, 3, 4, 0, 1000));
  EXPECT_EQ(l.Count(), TRegEvList::kSizeLimit);
  TEvItem out;
  ASSERT_TRUE(l.TakeFirst(out));
  EXPECT_EQ(out.MakeAdr, 1000);
  l.Clear();
  EXPECT_EQ(l.Count(), 0u);
}

// ---------------------------------------------------------------------------
// The journal and its files

namespace {

class RegJournalTest : public ::testing::Test {
 protected:
  void Open(TRegJournal& j, int64_t freeBytes = int64_t{1} << 40) {
    j.SetBufferFilePath(Buffer());
    j.SetFreeSpaceSource([freeBytes](const std::string&) { return freeBytes; });
    j.Create();
    j.LoadBufferFile();
  }
  std::string Buffer() const { return dir_.File("buffer.bin"); }
  std::string Log() const { return dir_.File("buffer.log"); }
  TEvList Page(int first, int n, int seconds = 1000) {
    TEvList p;
    for (int i = 0; i < n; ++i) p.push_back(Event(2004, 3, 5, seconds + i, static_cast<uint16_t>(first + i)));
    return p;
  }
  static std::vector<int> Makes(const std::vector<TEvItem>& evs) {
    std::vector<int> m;
    for (const auto& e : evs) m.push_back(e.MakeAdr);
    return m;
  }
  static std::vector<int> Range(int first, int n) {
    std::vector<int> m;
    for (int i = 0; i < n; ++i) m.push_back(first + i);
    return m;
  }

  vexon::testing::TTempDir dir_{"regj"};
};

}  // namespace

TEST_F(RegJournalTest, TakeOnEmptyOrMissingListIs67AndChangesNothing) {
  TRegJournal j;
  TEvItem out = Event(2004, 1, 1, 1);
  const TEvItem before = out;
  EXPECT_EQ(j.TakeOldestEvent(out), rcNoRegEvents);  // no list
  EXPECT_FALSE(j.AddEvents(Page(1, 1)));
  Open(j);
  EXPECT_EQ(j.TakeOldestEvent(out), rcNoRegEvents);
  EXPECT_EQ(out, before);
  EXPECT_EQ(j.Count(), 0u);
}

TEST_F(RegJournalTest, CapacityFromFreeSpaceWithTenEventsInTheFile) {
  {
    TRegJournal j;
    Open(j);
    ASSERT_TRUE(j.AddEventsDurable(Page(1, 10)));
    ASSERT_TRUE(j.SaveBufferFile());
  }
  ASSERT_EQ(fs::file_size(Buffer()), 210u);
  TRegJournal j;
  j.SetBufferFilePath(Buffer());
  j.SetFreeSpaceSource([](const std::string&) { return int64_t{2097152 + 2100}; });
  j.Create();
  EXPECT_TRUE(j.LoadBufferFile());
  EXPECT_EQ(j.Count(), 10u);
  EXPECT_EQ(j.Capacity(), 110);
}

TEST_F(RegJournalTest, MissingFileLeavesTheListEmptyAndStillComputesCapacity) {
  TRegJournal j;
  j.SetBufferFilePath(Buffer());
  std::string asked;
  j.SetFreeSpaceSource([&](const std::string& d) {
    asked = d;
    return int64_t{2097152 + 2100};
  });
  j.Create();
  EXPECT_FALSE(j.LoadBufferFile());
  EXPECT_EQ(j.Count(), 0u);
  EXPECT_EQ(j.Capacity(), 100);
  EXPECT_EQ(asked, dir_.Path());
  EXPECT_FALSE(fs::exists(Buffer()));
  // The real statvfs answers for an existing directory.
  EXPECT_GT(StatvfsFreeSpace(dir_.Path()), 0);
}

TEST_F(RegJournalTest, RoomForAPageFollowsCapacityAndSizeLimit) {
  TRegJournal j;
  Open(j, 2097152 + 21 * 3);  // capacity 3
  EXPECT_TRUE(j.HasRoomForPage());
  ASSERT_TRUE(j.AddEventsDurable(Page(1, 3)));
  EXPECT_FALSE(j.HasRoomForPage());
  TEvItem out;
  j.TakeOldestEvent(out);
  EXPECT_TRUE(j.HasRoomForPage());
  TRegJournal none;
  EXPECT_FALSE(none.HasRoomForPage());
}

TEST_F(RegJournalTest, NoPageIsReadThatCouldPushTheListPastItsSizeLimit) {
  TRegJournal j;
  Open(j);  // capacity far above the size limit
  j.With([](TRegEvList& l) {
    for (size_t i = 0; i + kMaxEventsPerPage < TRegEvList::kSizeLimit; ++i)
      l.AddEvent(Event(2004, 3, 5, static_cast<int32_t>(i / 49)));
  });
  EXPECT_EQ(j.Count(), TRegEvList::kSizeLimit - kMaxEventsPerPage);
  EXPECT_TRUE(j.HasRoomForPage());
  ASSERT_TRUE(j.AddEvents({Event(2004, 3, 6, 0)}));
  EXPECT_FALSE(j.HasRoomForPage());
}

TEST_F(RegJournalTest, SaveWritesLiteralRecordsAndLoadRestoresOrder) {
  TEvItem e;
  e.Day = 15;
  e.Month = 3;
  e.Year = 2004;
  e.Seconds = 52245;
  e.MakeAdr = 0x1234;
  e.AdrAdd = 2;
  e.EventType = 1;
  e.Event = 5;
  e.Alarm = 1;
  e.CardID = 0xBEEF;
  e.FacilityCode = 7;
  {
    TRegJournal j;
    Open(j);
    ASSERT_TRUE(j.AddEvents({e}));
    ASSERT_TRUE(j.SaveBufferFile());
  }
  const std::vector<uint8_t> want = {0x0F, 0x03, 0xD4, 0x07, 0x15, 0xCC, 0x00, 0x00, 0x0E, 0x1E, 0x2D,
                                     0x34, 0x12, 0x02, 0x00, 0x01, 0x05, 0x01, 0xEF, 0xBE, 0x07};
  EXPECT_EQ(FileBytes(Buffer()), want);

  // A file written by someone else, with two same-second events and an older
  // one after them: loaded in order, taken by time then file order.
  std::vector<uint8_t> file = want;
  std::vector<uint8_t> second = want;
  second[11] = 0x35;  // MakeAdr 0x1235
  std::vector<uint8_t> older = want;
  older[0] = 14;  // 14 March
  older[11] = 0x01;
  older[12] = 0x00;
  file.insert(file.end(), second.begin(), second.end());
  file.insert(file.end(), older.begin(), older.end());
  fs::remove(Log());
  WriteBytes(Buffer(), file);
  TRegJournal j;
  Open(j);
  EXPECT_EQ(j.Count(), 3u);
  const auto evs = Drain(j);
  EXPECT_EQ(Makes(evs), (std::vector<int>{1, 0x1234, 0x1235}));
  EXPECT_EQ(evs[1].Hour, 14);
  EXPECT_EQ(evs[1].Minute, 30);
  EXPECT_EQ(evs[1].Second, 45);
  EXPECT_TRUE(SameEvent(evs[1], e));
  // Taken events stay taken after an orderly restart.
  ASSERT_TRUE(j.SaveBufferFile());
  EXPECT_EQ(fs::file_size(Buffer()), 0u);
}

TEST_F(RegJournalTest, SameSecondOrderSurvivesSaveLoadAndReplay) {
  {
    TRegJournal j;
    Open(j);
    ASSERT_TRUE(j.AddEventsDurable(Page(10, 3, 500)));
    ASSERT_TRUE(j.AddEventsDurable({Event(2004, 3, 5, 500, 20), Event(2004, 3, 5, 500, 21)}));
    ASSERT_TRUE(j.SaveBufferFile());
    ASSERT_TRUE(j.AddEventsDurable({Event(2004, 3, 5, 500, 30), Event(2004, 3, 5, 499, 31)}));
    // No save: the last page lives only in the log.
  }
  TRegJournal j;
  Open(j);
  EXPECT_EQ(Makes(Drain(j)), (std::vector<int>{31, 10, 20, 21, 30, 11, 12}));
}

TEST_F(RegJournalTest, DurableAddsAndTakesSurviveAStopWithoutSave) {
  {
    TRegJournal j;
    Open(j);
    for (int p = 0; p < 5; ++p) ASSERT_TRUE(j.AddEventsDurable(Page(p * 32, 32, 1000 + p * 32)));
    std::vector<TEvItem> got;
    EXPECT_EQ(j.TakeOldestEvents(40, got), rcOk);
    TEvItem one;
    EXPECT_EQ(j.TakeOldestEvent(one), rcOk);
    EXPECT_EQ(one.MakeAdr, 40);
    j.Free();  // as after a crash: nothing saved
  }
  EXPECT_FALSE(fs::exists(Buffer()));
  TRegJournal j;
  Open(j);
  EXPECT_EQ(j.Count(), 160u - 41u);
  // The load folded the log into "buffer.bin".
  EXPECT_EQ(fs::file_size(Buffer()), (160u - 41u) * 21u);
  EXPECT_EQ(fs::file_size(Log()), kRegLogHeaderSize);
  std::vector<TEvItem> rest;
  EXPECT_EQ(j.TakeOldestEvents(1024, rest), rcNoRegEvents);  // ran out before 1024
  EXPECT_EQ(Makes(rest), Range(41, 119));
}

TEST_F(RegJournalTest, ClearIsLoggedAndKeepsTheCounter) {
  {
    TRegJournal j;
    Open(j);
    ASSERT_TRUE(j.AddEventsDurable(Page(1, 5)));
    j.ClearEvents();
    ASSERT_TRUE(j.AddEventsDurable(Page(100, 2)));
    j.With([](TRegEvList& l) { EXPECT_EQ(l.ArrivalCounter(), 7); });
  }
  TRegJournal j;
  Open(j);
  EXPECT_EQ(Makes(Drain(j)), (std::vector<int>{100, 101}));
}

TEST_F(RegJournalTest, TornTailOfTheLogIsDroppedNotDecoded) {
  {
    TRegJournal j;
    Open(j);
    ASSERT_TRUE(j.AddEventsDurable(Page(1, 4)));
    ASSERT_TRUE(j.AddEventsDurable(Page(10, 4)));
  }
  // Cut the last entry short, as a crash in the middle of its write would.
  const auto full = fs::file_size(Log());
  fs::resize_file(Log(), full - 5);
  {
    TRegJournal j;
    Open(j);
    EXPECT_EQ(Makes(Drain(j)), Range(1, 4));
  }
  // The last entry failing its CRC is a torn tail too.
  {
    TRegJournal j;
    Open(j);
    ASSERT_TRUE(j.AddEventsDurable(Page(20, 2)));
    ASSERT_TRUE(j.AddEventsDurable(Page(30, 2)));
  }
  auto bytes = FileBytes(Log());
  bytes[bytes.size() - 2 * 21] ^= 0x40;  // a byte of the last entry's first record
  WriteBytes(Log(), bytes);
  {
    TRegJournal j;
    Open(j);
    EXPECT_FALSE(j.LogUnreadable());
    EXPECT_EQ(Makes(Drain(j)), Range(20, 2));
    // Appending after the dropped tail is read back.
    ASSERT_TRUE(j.AddEventsDurable(Page(40, 1)));
  }
  // Garbage (zeros) after good entries, as delayed allocation can leave.
  bytes = FileBytes(Log());
  bytes.resize(bytes.size() + 64, 0);
  WriteBytes(Log(), bytes);
  TRegJournal j;
  Open(j);
  EXPECT_EQ(Makes(Drain(j)), (std::vector<int>{40}));
}

TEST_F(RegJournalTest, BadRecordsOfBufferBinAreSkippedAtLoad) {
  std::vector<TEvItem> recs;
  recs.push_back(Event(2004, 3, 5, 10, 1));
  TEvItem e = Event(2004, 3, 5, 11, 2);
  e.AdrAdd = 300;
  recs.push_back(e);
  e = Event(2004, 3, 5, 12, 3);
  e.EventType = 4;
  recs.push_back(e);
  e = Event(2004, 13, 5, 13, 4);
  recs.push_back(e);
  e = Event(2004, 3, 0, 14, 5);
  recs.push_back(e);
  recs.push_back(UndecodableEvent());  // kept
  e = UndecodableEvent();
  e.MakeAdr = 6;
  recs.push_back(e);
  recs.push_back(Event(2004, 3, 5, 15, 7));
  std::vector<uint8_t> file(recs.size() * 21);
  for (size_t i = 0; i < recs.size(); ++i) EncodeEvItem(recs[i], file.data() + 21 * i);
  file.push_back(0xAB);  // a trailing byte that fills no record
  WriteBytes(Buffer(), file);
  TRegJournal j;
  Open(j);
  EXPECT_EQ(Makes(Drain(j)), (std::vector<int>{0, 1, 7}));
}

TEST_F(RegJournalTest, UnreadableBufferBinIsNeverOverwrittenAndEventsStayInTheLog) {
  // A symbolic link to itself: exists, cannot be opened (also as root), and
  // a rename over it would silently replace it.
  fs::create_symlink("buffer.bin", Buffer());
  {
    TRegJournal j;
    Open(j);
    EXPECT_TRUE(j.BufferFileUnreadable());
    ASSERT_TRUE(j.AddEventsDurable(Page(1, 3)));
    TEvItem out;
    ASSERT_EQ(j.TakeOldestEvent(out), rcOk);
    EXPECT_FALSE(j.SaveBufferFile());
  }
  EXPECT_TRUE(fs::is_symlink(Buffer()));
  {
    TRegJournal j;
    Open(j);
    EXPECT_TRUE(j.BufferFileUnreadable());
    EXPECT_EQ(j.Count(), 2u);
    ASSERT_TRUE(j.AddEventsDurable(Page(10, 1, 2000)));
    // Stop without save.
  }
  EXPECT_TRUE(fs::is_symlink(Buffer()));
  {
    TRegJournal j;
    Open(j);
    EXPECT_EQ(Makes(Drain(j)), (std::vector<int>{2, 3, 10}));
    j.SaveBufferFile();
  }
  EXPECT_TRUE(fs::is_symlink(Buffer()));
  // Once it can be read again, its events join the list and the files fold.
  fs::remove(Buffer());
  std::vector<uint8_t> file(21);
  EncodeEvItem(Event(2004, 3, 5, 1, 77), file.data());
  WriteBytes(Buffer(), file);
  {
    TRegJournal j;
    Open(j);
    EXPECT_FALSE(j.BufferFileUnreadable());
    ASSERT_TRUE(j.AddEventsDurable(Page(50, 1)));
  }
  TRegJournal j;
  Open(j);
  EXPECT_EQ(Makes(Drain(j)), (std::vector<int>{77, 50}));
}

TEST_F(RegJournalTest, LogThatDoesNotBelongToBufferBinGivesOnlyItsAdds) {
  {
    TRegJournal j;
    Open(j);
    ASSERT_TRUE(j.AddEventsDurable(Page(1, 3)));
    ASSERT_TRUE(j.SaveBufferFile());
    ASSERT_TRUE(j.AddEventsDurable(Page(10, 2)));
    TEvItem out;
    j.TakeOldestEvent(out);
  }
  // Someone replaces "buffer.bin".
  std::vector<uint8_t> file(21);
  EncodeEvItem(Event(2004, 3, 5, 1, 99), file.data());
  WriteBytes(Buffer(), file);
  TRegJournal j;
  Open(j);
  // The take is not applied to a list it was not made on: nothing is lost.
  EXPECT_EQ(Makes(Drain(j)), (std::vector<int>{99, 10, 11}));
}

TEST_F(RegJournalTest, InterruptedFoldIsRecognisedAtEitherStep) {
  // Files after durable adds and a take, stopped without save.
  {
    TRegJournal j;
    Open(j);
    ASSERT_TRUE(j.AddEventsDurable(Page(1, 4)));
    ASSERT_TRUE(j.SaveBufferFile());
    ASSERT_TRUE(j.AddEventsDurable(Page(10, 3, 2000)));
    TEvItem out;
    j.TakeOldestEvent(out);
  }
  const auto oldBuffer = FileBytes(Buffer());
  const auto oldLog = FileBytes(Log());
  // What the fold writes, made in a second directory.
  vexon::testing::TTempDir other("regj2");
  WriteBytes(other.File("buffer.bin"), oldBuffer);
  WriteBytes(other.File("buffer.log"), oldLog);
  {
    TRegJournal j;
    j.SetBufferFilePath(other.File("buffer.bin"));
    j.Create();
    j.LoadBufferFile();
  }
  const auto newBuffer = FileBytes(other.File("buffer.bin"));
  const auto newLog = FileBytes(other.File("buffer.log"));
  const std::vector<int> expected = {2, 3, 4, 10, 11, 12};

  // Crash after step 1: ".new" written, "buffer.bin" and the log still old.
  WriteBytes(Log() + ".new", newLog);
  {
    TRegJournal j;
    Open(j);
    EXPECT_EQ(j.Count(), expected.size());
  }
  EXPECT_FALSE(fs::exists(Log() + ".new"));

  // Crash after step 2: the new "buffer.bin", its log still named ".new".
  WriteBytes(Buffer(), newBuffer);
  WriteBytes(Log(), oldLog);
  WriteBytes(Log() + ".new", newLog);
  {
    TRegJournal j;
    Open(j);
    EXPECT_EQ(j.Count(), expected.size());  // the old log is not replayed again
    ASSERT_TRUE(j.AddEventsDurable(Page(20, 1, 3000)));
  }
  EXPECT_FALSE(fs::exists(Log() + ".new"));
  TRegJournal j;
  Open(j);
  auto want = expected;
  want.push_back(20);
  EXPECT_EQ(Makes(Drain(j)), want);
}

TEST_F(RegJournalTest, LogWithoutHeaderIsSetAsideAndBufferBinStillLoads) {
  {
    TRegJournal j;
    Open(j);
    ASSERT_TRUE(j.AddEventsDurable(Page(1, 2)));
    ASSERT_TRUE(j.SaveBufferFile());
  }
  WriteBytes(Log(), {1, 2, 3});
  TRegJournal j;
  Open(j);
  EXPECT_EQ(j.Count(), 2u);
  EXPECT_EQ(FileBytes(Log() + ".damaged"), (std::vector<uint8_t>{1, 2, 3}));
  ASSERT_TRUE(j.AddEventsDurable(Page(5, 1)));
  j.Free();
  // A second one is set aside under a name of its own.
  WriteBytes(Log(), {4, 5, 6});
  Open(j);
  EXPECT_EQ(FileBytes(Log() + ".damaged"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(FileBytes(Log() + ".damaged-2"), (std::vector<uint8_t>{4, 5, 6}));
}

namespace {
// Puts the journal's own file calls back when a test ends.
struct TRegLogCallsGuard {
  TRegLogCalls saved = RegLogCalls();
  ~TRegLogCallsGuard() { RegLogCalls() = saved; }
};
// Every file of the folder with its bytes.
std::map<std::string, std::vector<uint8_t>> Folder(const std::string& dir) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename().string()] = FileBytes(e.path().string());
  return files;
}
}  // namespace

TEST_F(RegJournalTest, LogThatCannotBeReadWholeIsLeftAsItIsAndStoresNothingUntilItReads) {
  {
    TRegJournal j;
    Open(j);
    ASSERT_TRUE(j.AddEventsDurable(Page(1, 3)));
    ASSERT_TRUE(j.SaveBufferFile());  // 1..3 in "buffer.bin"
    ASSERT_TRUE(j.AddEventsDurable(Page(10, 4, 2000)));
    ASSERT_TRUE(j.AddEventsDurable(Page(20, 4, 3000)));  // 10..13, 20..23 only in the log
  }
  const auto before = Folder(dir_.Path());
  auto brokenLog = [&](const std::string& why) {
    SCOPED_TRACE(why);
    const auto found = Folder(dir_.Path());
    TRegJournal j;
    Open(j);
    EXPECT_TRUE(j.LogUnreadable());
    EXPECT_FALSE(j.AddEventsDurable(Page(40, 1))) << "nothing can be stored";
    TEvItem out;
    EXPECT_EQ(j.TakeOldestEvent(out), 36) << "nor taken";
    EXPECT_FALSE(j.ClearEvents());
    EXPECT_FALSE(j.SaveBufferFile());
    j.Free();
    EXPECT_EQ(Folder(dir_.Path()), found) << "not renamed, cut or folded";
  };
  {
    // A read error in the middle of the log, two starts in a row.
    TRegLogCallsGuard guard;
    RegLogCalls().Read = [read = guard.saved.Read](int fd, void* buf, size_t n) -> long {
      char link[64], target[4096] = {};
      std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
      const ssize_t len = ::readlink(link, target, sizeof target - 1);
      const std::string path(target, len > 0 ? static_cast<size_t>(len) : 0);
      if (path.size() >= 11 && path.compare(path.size() - 11, 11, "/buffer.log") == 0) {
        errno = EIO;
        return -1;
      }
      return read(fd, buf, n);
    };
    for (int start = 1; start <= 2; ++start) brokenLog("read error, start " + std::to_string(start));
  }
  // Damage before the last entry is no torn tail: the same, whether it hits
  // a record, the high byte of a count (the entry would then seem to run
  // past the end of the file) or the header behind the magic.
  for (const size_t at : {kRegLogHeaderSize + 5 + 3, kRegLogHeaderSize + 4, size_t{9}}) {
    auto damaged = before.at("buffer.log");
    damaged[at] ^= 0x40;
    WriteBytes(Log(), damaged);
    brokenLog("damaged at byte " + std::to_string(at));
  }
  WriteBytes(Log(), before.at("buffer.log"));
  // Read whole again: every event once, and the journal works.
  TRegJournal j;
  Open(j);
  EXPECT_FALSE(j.LogUnreadable());
  EXPECT_EQ(Makes(Drain(j)), (std::vector<int>{1, 2, 3, 10, 11, 12, 13, 20, 21, 22, 23}));
  EXPECT_TRUE(j.AddEventsDurable(Page(40, 1)));
}

TEST_F(RegJournalTest, TakesAndClearsThatCannotBeWrittenHandOutNothingAndNothingComesTwice) {
  {
    TRegJournal j;
    Open(j);
    ASSERT_TRUE(j.AddEventsDurable(Page(1, 10)));
    std::vector<TEvItem> three;
    ASSERT_EQ(j.TakeOldestEvents(3, three), 0);
    TRegLogCallsGuard guard;
    RegLogCalls().Write = [](int, const void*, size_t) -> long {
      errno = ENOSPC;
      return -1;
    };
    TEvItem out;
    EXPECT_EQ(j.TakeOldestEvent(out), 36);
    std::vector<TEvItem> more;
    EXPECT_EQ(j.TakeOldestEvents(1024, more), 36);
    EXPECT_TRUE(more.empty());
    EXPECT_FALSE(j.ClearEvents());
    EXPECT_EQ(j.Count(), 7u) << "the events stay in the list";
    // A failed sync leaves the log unusable; the next take writes the
    // journal anew and goes on.
    RegLogCalls() = guard.saved;
    RegLogCalls().Sync = [](int) {
      errno = EIO;
      return -1;
    };
    EXPECT_FALSE(j.AddEventsDurable(Page(50, 1, 5000)));
    RegLogCalls() = guard.saved;
    ASSERT_EQ(j.TakeOldestEvent(out), 0) << "takes work again without a page added";
    EXPECT_EQ(out.MakeAdr, 4);
    j.With([](TRegEvList& l) { EXPECT_EQ(l.Count(), 6u); });
    RegLogCalls().Write = [](int, const void*, size_t) -> long {
      errno = ENOSPC;
      return -1;
    };
    // The orderly stop cannot fold either: "buffer.log.new" cannot be made.
    fs::create_directories(Log() + ".new/x");
    EXPECT_FALSE(j.SaveBufferFile());
  }
  fs::remove_all(Log() + ".new");
  TRegJournal j;
  Open(j);
  EXPECT_EQ(Makes(Drain(j)), Range(5, 6)) << "the four taken stay taken; none of the rest is lost";
}

TEST_F(RegJournalTest, LoadKeepsEventsAlreadyInTheList) {
  {
    TRegJournal j;
    Open(j);
    ASSERT_TRUE(j.AddEventsDurable(Page(1, 2, 100)));
    TEvItem out;
    j.TakeOldestEvent(out);
  }
  TRegJournal j;
  j.SetBufferFilePath(Buffer());
  j.Create();
  EXPECT_FALSE(j.AddEvents(Page(50, 1, 50)));  // persisted, but no log open before the load
  EXPECT_EQ(j.Count(), 0u);
  j.With([&](TRegEvList& l) { l.AddEvent(Event(2004, 3, 5, 50, 50)); });
  j.LoadBufferFile();
  EXPECT_EQ(j.Count(), 2u);
  j.Free();
  j.Create();
  j.LoadBufferFile();
  EXPECT_EQ(Makes(Drain(j)), (std::vector<int>{50, 2}));
}

TEST_F(RegJournalTest, FailedSaveGoesBackToTheLogItHad) {
  TRegJournal j;
  Open(j);
  ASSERT_TRUE(j.AddEventsDurable(Page(1, 2)));
  fs::create_directory(Log() + ".new");  // the fold cannot write its new log
  EXPECT_FALSE(j.SaveBufferFile());
  EXPECT_FALSE(fs::exists(Buffer()));
  ASSERT_TRUE(j.AddEventsDurable(Page(10, 1, 2000)));
  TEvItem out;
  ASSERT_EQ(j.TakeOldestEvent(out), rcOk);
  fs::remove(Log() + ".new");
  j.Free();
  j.Create();
  j.LoadBufferFile();
  EXPECT_EQ(Makes(Drain(j)), (std::vector<int>{2, 10}));
}

TEST_F(RegJournalTest, TakeArrayStopsAtItsSizeWithZero) {
  TRegJournal j;
  Open(j);
  TEvList many;
  for (int i = 0; i < 1500; ++i) many.push_back(Event(2004, 3, 5, i, static_cast<uint16_t>(i)));
  ASSERT_TRUE(j.AddEventsDurable(many));
  std::vector<TEvItem> got;
  EXPECT_EQ(j.TakeOldestEvents(1024, got), rcOk);
  EXPECT_EQ(got.size(), 1024u);
  EXPECT_EQ(j.TakeOldestEvents(1024, got), rcNoRegEvents);
  EXPECT_EQ(got.size(), 1500u);
  EXPECT_EQ(got[1024].MakeAdr, 1024);
  EXPECT_EQ(j.TakeOldestEvents(0, got), rcOk);
}

TEST_F(RegJournalTest, WithoutAPathNothingIsPersisted) {
  TRegJournal j;
  j.Create();
  EXPECT_FALSE(j.LoadBufferFile());
  EXPECT_EQ(j.Capacity(), static_cast<int64_t>(TRegEvList::kSizeLimit));
  EXPECT_TRUE(j.AddEventsDurable(Page(1, 2)));
  EXPECT_FALSE(j.SaveBufferFile());
  EXPECT_EQ(j.Count(), 2u);
  j.Free();
  EXPECT_FALSE(j.Exists());
  EXPECT_FALSE(j.AddEventsDurable(Page(1, 2)));
}

TEST_F(RegJournalTest, AddsWithoutAnOpenLogFail) {
  TRegJournal j;
  j.SetBufferFilePath(Buffer());
  j.Create();  // no LoadBufferFile: no log to make the page durable
  EXPECT_FALSE(j.AddEventsDurable(Page(1, 1)));
  EXPECT_EQ(j.Count(), 0u);
}

// Random adds, takes, clears and restarts (with or without save) against a
// reference of the text keys: what comes back after each restart is
// exactly what was left.
TEST_F(RegJournalTest, RandomOperationsAndRestartsMatchTheReference) {
  std::mt19937 rng(7);
  std::multimap<std::string, TEvItem> ref;
  int32_t counter = 0;
  uint16_t serial = 0;
  auto j = std::make_unique<TRegJournal>();
  Open(*j);
  for (int step = 0; step < 600; ++step) {
    const auto op = rng() % 20;
    if (op < 10) {
      TEvList page;
      const int n = 1 + static_cast<int>(rng() % 40);
      for (int i = 0; i < n; ++i) {
        TEvItem e = rng() % 30 == 0 ? UndecodableEvent()
                                    : Event(2004, 3, 1 + static_cast<int>(rng() % 2), static_cast<int32_t>(rng() % 30),
                                            0, static_cast<uint8_t>(rng() % 3));
        if (e.EventType != kUndecodableEventType) e.MakeAdr = ++serial;
        page.push_back(e);
      }
      ASSERT_TRUE(j->AddEventsDurable(page));
      for (const auto& e : page) {
        ++counter;
        ref.emplace(RegEventKey(e, counter), e);
      }
    } else if (op < 16) {
      std::vector<TEvItem> got;
      const size_t max = rng() % 50;
      j->TakeOldestEvents(max, got);
      for (const auto& g : got) {
        ASSERT_FALSE(ref.empty());
        ASSERT_TRUE(SameEvent(g, ref.begin()->second)) << step;
        ref.erase(ref.begin());
      }
    } else if (op == 16) {
      j->ClearEvents();
      ref.clear();
    } else {
      if (op == 17) {
        ASSERT_TRUE(j->SaveBufferFile());
      }
      j = std::make_unique<TRegJournal>();
      Open(*j);
      // Renumber the reference as a load does: arrival order = list order.
      std::multimap<std::string, TEvItem> re;
      counter = 0;
      for (const auto& [k, e] : ref) re.emplace(RegEventKey(e, ++counter), e);
      ref.swap(re);
    }
    ASSERT_EQ(j->Count(), ref.size()) << step;
  }
  const auto rest = Drain(*j);
  ASSERT_EQ(rest.size(), ref.size());
  size_t i = 0;
  for (const auto& [k, e] : ref) {
    EXPECT_TRUE(SameEvent(rest[i++], e));
  }
}

// The registration-list lock: a reading thread adds pages while clients take
// and clear; nothing is taken twice and every page is accounted for.
TEST_F(RegJournalTest, ConcurrentAddsAndTakes) {
  TRegJournal j;
  Open(j);
  constexpr int kPages = 200;
  std::thread reader([&] {
    for (int p = 0; p < kPages; ++p) ASSERT_TRUE(j.AddEvents(Page(p * 32, 32, p * 32)));
  });
  std::vector<int> taken;
  std::thread client([&] {
    for (int i = 0; i < 4000; ++i) {
      TEvItem ev;
      if (j.TakeOldestEvent(ev) == rcOk) taken.push_back(ev.MakeAdr);
      std::vector<TEvItem> some;
      j.TakeOldestEvents(3, some);
      for (const auto& e : some) taken.push_back(e.MakeAdr);
    }
  });
  reader.join();
  client.join();
  for (const auto& e : Drain(j)) taken.push_back(e.MakeAdr);
  std::sort(taken.begin(), taken.end());
  EXPECT_EQ(taken, Range(0, kPages * 32));
}

// A writer process killed (SIGKILL) at random moments, during durable adds
// and during folds: after each restart every page it saw confirmed is there,
// once.
TEST_F(RegJournalTest, KilledWriterLosesNoConfirmedPage) {
  std::mt19937 rng(5);
  std::set<uint32_t> confirmed;
  uint32_t nextId = 0;
  for (int run = 0; run < 25; ++run) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const uint32_t firstId = nextId;
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      TRegJournal j;
      Open(j);
      for (uint32_t id = firstId;; id += 32) {
        TEvList page;
        for (uint32_t i = id; i < id + 32; ++i) {
          TEvItem e = Event(2004, 3, 5, static_cast<int32_t>(i % 86400), static_cast<uint16_t>(i >> 16));
          e.CardID = static_cast<uint16_t>(i);
          page.push_back(e);
        }
        if (!j.AddEventsDurable(page)) ::_exit(1);
        if (::write(fds[1], &id, sizeof id) != sizeof id) ::_exit(1);
        if ((id / 32) % 5 == 4) j.SaveBufferFile();
      }
    }
    ::close(fds[1]);
    ::usleep(static_cast<useconds_t>(1000 + rng() % 40000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended on its own, status " << status;
    uint32_t id = 0;
    while (::read(fds[0], &id, sizeof id) == sizeof id) {
      for (uint32_t i = id; i < id + 32; ++i) confirmed.insert(i);
      nextId = std::max(nextId, id + 32);
    }
    ::close(fds[0]);
    // Pages written but not yet reported may be there too; new ids go past them.
    nextId += 32 * 64;

    TRegJournal j;
    Open(j);
    std::vector<uint32_t> have;
    j.With([&](TRegEvList& l) {
      l.ForEach([&](const TEvItem& e, int32_t) { have.push_back(static_cast<uint32_t>(e.MakeAdr) << 16 | e.CardID); });
    });
    std::set<uint32_t> unique(have.begin(), have.end());
    ASSERT_EQ(unique.size(), have.size()) << "run " << run << ": an event came back twice";
    for (uint32_t c : confirmed) ASSERT_TRUE(unique.count(c)) << "run " << run << ": confirmed event " << c << " lost";
  }
  EXPECT_GT(confirmed.size(), 0u);
}

// The registration stream is told of events only once they are on disk:
// nothing of a page whose sync failed, the page when it is stored, and
// nothing of what a client takes.
TEST_F(RegJournalTest, TheDurableObserverHearsOnlyStoredEventsInOrder) {
  TRegJournal j;
  std::vector<int> heard;
  j.SetDurableObserver([&](const TEvItem& ev) { heard.push_back(ev.MakeAdr); });
  Open(j);
  {
    TRegLogCallsGuard guard;
    RegLogCalls().Sync = [](int) {
      errno = EIO;
      return -1;
    };
    EXPECT_FALSE(j.AddEventsDurable(Page(1, 3)));
  }
  EXPECT_TRUE(heard.empty()) << "a page that is not on disk is not told";
  ASSERT_TRUE(j.AddEventsDurable(Page(1, 3)));
  EXPECT_EQ(heard, Range(1, 3));
  TEvItem out;
  ASSERT_EQ(j.TakeOldestEvent(out), 0);
  EXPECT_TRUE(j.AddEvents(Page(9, 1)));
  EXPECT_EQ(heard, Range(1, 3)) << "takes and adds without the disk wait are not told";
}
