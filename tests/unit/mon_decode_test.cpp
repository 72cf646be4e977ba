#include <gtest/gtest.h>

#include "journals/mon_decode.h"
#include "journals/mon_journal.h"
#include "util/date_time.h"
#include "util/result_codes.h"

using namespace vexon;

namespace {

double Date(int y, int m, int d, int h = 12, int mi = 0, int s = 0) { return EncodeDateTime({y, m, d, h, mi, s, 0}); }

class DecodeTest : public ::testing::Test {
 protected:
  DecodeTest() : requests_(answers_), lock_(clock_), suppression_(clock_) {
    answers_.CreateAnswerQueue();
    requests_.CreateRequestQueue(false);
    std::vector<TDescriptor> d = {{0, 0x34, 2, 0x80, 0x0B, 0, 0, 0}, {3, 0x50, 0, 0, 0x0B, 0x1A, 0, 0}};
    model_.BuildControllerList(&d);
    model_.BuildAddressList();
    TCardList l;
    l.AddIt({0, 7, 1000, 1099, 1, 1});  // facility 7, cards 1000.. = indexes 1..100
    segments_.CopyListToActive(l);
    suppression_.Create();
  }
  TDecodeContext Ctx() { return {model_, segments_, zones_, suppression_, lock_, requests_, health_}; }
  TMJList Decode(std::vector<TRawRecord> raw, double now) {
    TMJList out;
    auto ctx = Ctx();
    DecodeRecords(ctx, raw, now, out);
    return out;
  }
  uint8_t Status(uint8_t sys, int n) {
    uint8_t v = 0;
    model_.Controllers.GetStatusByte(sys, n, v);
    return v;
  }

  TManualClock clock_{1000, 45000};
  TAnswers answers_;
  TRequests requests_;
  TServerLock lock_;
  TDeviceModel model_;
  TCardSegments segments_;
  TCardZoneList zones_;
  TSuppression suppression_;
  TLinkHealth health_;
};

const TRawRecord kTime = {0xFF, 0x2D, 0x79, 0xCF};  // 14:30:45 on day 15

}  // namespace

TEST_F(DecodeTest, TimeRecordTakesYearAndMonthFromToday) {
  double t = 0;
  ASSERT_TRUE(DateOfTimeRecord(kTime, Date(2004, 3, 10), t));
  EXPECT_EQ(FormatDateTime(t), "15.02.2004 14:30:45");
  ASSERT_TRUE(DateOfTimeRecord(kTime, Date(2004, 1, 10), t));
  EXPECT_EQ(FormatDateTime(t), "15.12.2003 14:30:45");
  ASSERT_TRUE(DateOfTimeRecord(kTime, Date(2004, 3, 20), t));
  EXPECT_EQ(FormatDateTime(t), "15.03.2004 14:30:45");
  EXPECT_FALSE(DateOfTimeRecord({0xFF, 0x05, 0x1B, 0x6A}, Date(2004, 3, 20), t)) << "hour 27";
  // Day 31 read on 10 May: the previous month, April, has no day 31.
  EXPECT_FALSE(DateOfTimeRecord({0xFF, 0x00, 0x00, 0x1F}, Date(2004, 5, 10), t));
}

TEST_F(DecodeTest, InvalidTimeKeepsThePreviousAndRecordsBeforeTimeAreDropped) {
  const auto ev = Decode({{3, 0x08, 5, 0}, kTime, {0xFF, 0x05, 0x1B, 0x6A}, {3, 0x08, 5, 0}}, Date(2004, 3, 20));
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(FormatDateTime(ev[0].Time), "15.03.2004 14:30:45");
}

TEST_F(DecodeTest, PassRequestWithCard) {
  const auto ev = Decode({kTime, {3, 0x08, 0x05, 0x00}}, Date(2004, 3, 20));
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].EventCode, 1);
  EXPECT_EQ(ev[0].AdrAdd, 1);
  EXPECT_EQ(ev[0].EventAdd, 0);
  EXPECT_EQ(ev[0].MakeAdr, 0x50);
  EXPECT_EQ(ev[0].FacilityCode, 7);
  EXPECT_EQ(ev[0].CardID, 1004);
  // Unknown controller: nothing. Unknown card: an event without card.
  const auto other = Decode({kTime, {9, 0x08, 5, 0}, {3, 0x0F, 0xF0, 0x00}}, Date(2004, 3, 20));
  ASSERT_EQ(other.size(), 1u);
  EXPECT_EQ(other[0].AdrAdd, 2);
  EXPECT_EQ(other[0].EventAdd, 3);
  EXPECT_EQ(other[0].CardID, 0);
  EXPECT_EQ(other[0].FacilityCode, 0);
}

TEST_F(DecodeTest, AlarmAndModeRecords) {
  const auto ev = Decode({kTime, {3, (3 << 3) | 5, 1, 0}, {3, (5 << 3) | 2, 0, 0}, {3, (7 << 3) | 4, 0, 0},
                          {3, (8 << 3) | 2, 0, 0}, {3, (8 << 3) | 3, 0xFF, 0xFF}, {3, (14 << 3) | 1, 2, 0}},
                         Date(2004, 3, 20));
  ASSERT_EQ(ev.size(), 6u);
  EXPECT_EQ(ev[0].EventCode, 2);
  EXPECT_EQ(ev[0].AdrAdd, 2);
  EXPECT_EQ(ev[0].EventAdd, 5);
  EXPECT_EQ(ev[0].CardID, 1000);
  EXPECT_EQ(ev[1].EventCode, 3);
  EXPECT_EQ(ev[1].AdrAdd, 2);
  EXPECT_EQ(ev[2].EventCode, 4);
  EXPECT_EQ(ev[2].AdrAdd, 2);
  EXPECT_EQ(ev[2].EventAdd, 4);
  EXPECT_EQ(ev[3].EventCode, 6);
  EXPECT_EQ(ev[3].EventAdd, 0);
  EXPECT_EQ(ev[4].EventAdd, 1);
  EXPECT_EQ(ev[4].CardID, 0) << "index 0xFFFF is no card";
  EXPECT_EQ(ev[5].EventCode, 100);
  EXPECT_EQ(ev[5].AdrAdd, 2);
  EXPECT_EQ(ev[5].CardID, 1001);
}

TEST_F(DecodeTest, InputAlarmYieldsOneEventPerBit) {
  const auto ev = Decode({kTime, {3, (9 << 3) | 1, 0, 0x05}}, Date(2004, 3, 20));
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].EventCode, 8);
  EXPECT_EQ(ev[0].EventAdd, 1);
  EXPECT_EQ(ev[1].EventAdd, 3);
  EXPECT_EQ(ev[1].AdrAdd, 1);
}

TEST_F(DecodeTest, DriverStatusChangesOneBitAtATime) {
  model_.Controllers.SetStatusByte(3, 3, 0xF0);
  model_.Controllers.SetStatusByte(3, 4, 0x00);
  auto ev = Decode({kTime, {3, 11 << 3, 0xF3, 0x00}}, Date(2004, 3, 20));
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].EventCode, 7);
  EXPECT_EQ(ev[0].AdrAdd, 1);
  EXPECT_EQ(ev[0].EventAdd, 1);
  EXPECT_EQ(ev[1].AdrAdd, 2);
  EXPECT_EQ(Status(3, 3), 0xF3);

  ev = Decode({kTime, {3, 11 << 3, 0x73, 0x12}}, Date(2004, 3, 20));
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[0].EventCode, 13) << "driver 4 link lost";
  EXPECT_EQ(ev[0].AdrAdd, 4);
  EXPECT_EQ(ev[0].EventAdd, 0);
  EXPECT_EQ(ev[1].EventCode, 9) << "input 2 of driver 1 active";
  EXPECT_EQ(ev[1].AdrAdd, 1);
  EXPECT_EQ(ev[1].EventAdd, 2);
  EXPECT_EQ(ev[2].EventCode, 11) << "relay output 1 of driver 1 active";
  EXPECT_EQ(ev[2].EventAdd, 1);

  ev = Decode({kTime, {3, 12 << 3, 0x01, 0x80}, {3, 13 << 3, 0x20, 0}}, Date(2004, 3, 20));
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[0].AdrAdd, 2);
  EXPECT_EQ(ev[1].EventCode, 11);
  EXPECT_EQ(ev[1].AdrAdd, 3);
  EXPECT_EQ(ev[1].EventAdd, 4);
  EXPECT_EQ(ev[2].AdrAdd, 4);
  EXPECT_EQ(ev[2].EventCode, 11);
  EXPECT_EQ(ev[2].EventAdd, 2);
  EXPECT_TRUE(Decode({kTime, {3, 13 << 3, 0x20, 0}}, Date(2004, 3, 20)).empty()) << "nothing changed";
  health_.LinkDown = true;
  EXPECT_TRUE(Decode({kTime, {3, 13 << 3, 0x00, 0}}, Date(2004, 3, 20)).empty()) << "not reachable";
}

TEST_F(DecodeTest, ModesAndFlagsOfType10) {
  model_.Controllers.SetStatusByte(3, 1, 0x00);
  model_.Controllers.SetStatusByte(3, 2, 0x00);
  auto ev = Decode({kTime, {3, 10 << 3, 0x2B, 0x0D}}, Date(2004, 3, 20));  // bit 3 of r2 cleared
  ASSERT_EQ(ev.size(), 5u);
  EXPECT_EQ(ev[0].EventCode, 5);
  EXPECT_EQ(ev[0].AdrAdd, 1);
  EXPECT_EQ(ev[0].EventAdd, 3);
  EXPECT_EQ(ev[1].EventCode, 5);
  EXPECT_EQ(ev[1].AdrAdd, 2);
  EXPECT_EQ(ev[1].EventAdd, 2);
  EXPECT_EQ(ev[2].EventCode, 15);
  EXPECT_EQ(ev[2].EventAdd, 1);
  EXPECT_EQ(ev[3].EventCode, 17);
  EXPECT_EQ(ev[4].EventCode, 20);
  EXPECT_EQ(requests_.RequestCount(), 1u) << "the journal flag queues a read";
  TRequestPtr r;
  std::string key;
  ASSERT_TRUE(requests_.GetFirstRequest(r, key));
  EXPECT_EQ(r->Kind, rkReadRegJournal);
  EXPECT_EQ(dynamic_cast<TCardRegistrationItem*>(r->Buf.get())->ControllerIndex, 3);
  EXPECT_EQ(answers_.Count(), 0u);

  ev = Decode({kTime, {3, 10 << 3, 0x23, 0x05}}, Date(2004, 3, 20));
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].EventCode, 19) << "operator alarm reset";

  ev = Decode({kTime, {3, 10 << 3, 0x23, 0x35}}, Date(2004, 3, 20));
  EXPECT_TRUE(ev.empty()) << "bits 4 and 5 are never compared";
  EXPECT_EQ(Status(3, 2), 0x05);
}

TEST_F(DecodeTest, ZoneRecords) {
  auto ev = Decode({kTime, {5, 16 << 3, 3, 0}}, Date(2004, 3, 20));
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].EventCode, 21);
  EXPECT_EQ(ev[0].EventAdd, 5);
  EXPECT_EQ(ev[0].MakeAdr, 0);
  EXPECT_EQ(ev[0].CardID, 1002);
  EXPECT_TRUE(Decode({kTime, {5, 16 << 3, 3, 0}}, Date(2004, 3, 20)).empty()) << "same zone";
  EXPECT_TRUE(Decode({kTime, {200, 16 << 3, 3, 0}}, Date(2004, 3, 20)).empty()) << "zone 128 or more";
  lock_.SetServerLock();
  EXPECT_TRUE(Decode({kTime, {6, 16 << 3, 3, 0}}, Date(2004, 3, 20)).empty()) << "server locked";
  uint8_t z = 0;
  zones_.GetZone(7, 1002, z);
  EXPECT_EQ(z, 5);
  lock_.ClearServerLock();
  EXPECT_TRUE(Decode({kTime, {6, 16 << 3, 0xF0, 0}}, Date(2004, 3, 20)).empty()) << "unknown card";

  suppression_.StampDisabledCard(7, 1002);
  EXPECT_TRUE(Decode({kTime, {6, 24 << 3, 3, 0}}, Date(2004, 3, 20)).empty()) << "within 10 s of disabling";
  ev = Decode({kTime, {6, 24 << 3, 0xF0, 0}}, Date(2004, 3, 20));
  ASSERT_EQ(ev.size(), 1u) << "unknown cards are always reported";
  EXPECT_EQ(ev[0].EventCode, 22);
}

TEST_F(DecodeTest, SuppressDuplicatesThreePasses) {
  const double t = Date(2004, 3, 20);
  TMJList l = {
      {t, 5, 0, 20, 0, 0, 0, false}, {t, 5, 1, 2, 3, 0, 0, false},   // operator alarm beside a real one
      {t, 6, 0, 20, 0, 0, 0, false},                                  // alone: kept
      {t, 5, 1, 5, 2, 0, 0, false},  {t, 5, 1, 4, 2, 0, 0, false},   // system beside autonomous
      {t, 5, 2, 9, 3, 0, 0, false},  {t, 5, 2, 8, 3, 0, 0, false},   // input beside input alarm
      {t + 1, 5, 2, 9, 3, 0, 0, false},                               // another time: kept
  };
  SuppressDuplicates(l);
  EXPECT_TRUE(l[0].Suppressed);
  EXPECT_FALSE(l[1].Suppressed);
  EXPECT_FALSE(l[2].Suppressed);
  EXPECT_TRUE(l[3].Suppressed);
  EXPECT_FALSE(l[4].Suppressed);
  EXPECT_TRUE(l[5].Suppressed);
  EXPECT_FALSE(l[7].Suppressed);
  TMonJournal j;
  j.Create();
  j.Publish(l);
  EXPECT_EQ(j.Count(), 5u);
}

TEST(MonJournal, TimeOrderThenArrival) {
  TMonJournal j;
  TMonItem out;
  EXPECT_EQ(j.GetMonEvent(out), rcNoMonEvents) << "no journal";
  j.Create();
  EXPECT_EQ(j.GetMonEvent(out), rcNoMonEvents);
  const double t = EncodeDateTime({2004, 3, 20, 9, 5, 7, 0});
  j.Publish({{t, 1, 0, 1, 0, 0, 0, false}, {t, 2, 0, 1, 0, 0, 0, false}, {t - 1, 3, 0, 1, 0, 0, 0, false}});
  j.Publish({{t - 2, 4, 0, 1, 0, 0, 0, false}});  // a later poll with an older time
  std::vector<int32_t> order;
  while (j.GetMonEvent(out) == 0) order.push_back(out.MakeAdr);
  EXPECT_EQ(order, (std::vector<int32_t>{4, 3, 1, 2}));
  j.Publish({{t + 0.4 / 86400.0, 9, 1, 2, 3, 40000, 7, false}});
  ASSERT_EQ(j.GetMonEvent(out), 0);
  EXPECT_EQ(out.Year, 2004);
  EXPECT_EQ(out.Month, 3);
  EXPECT_EQ(out.Day, 20);
  EXPECT_EQ(out.Hour, 9);
  EXPECT_EQ(out.Minute, 5);
  EXPECT_EQ(out.Second, 7);
  EXPECT_EQ(out.CardID, 40000);
  EXPECT_EQ(out.FacilityCode, 7);
}

TEST(MonJournal, CapacityDropsTheOldestAndSequenceWraps) {
  TMonList l;
  const double t = EncodeDateTime({2004, 3, 20, 9, 0, 0, 0});
  for (size_t i = 0; i < TMonList::kCapacity; ++i) l.AddEvent({t + static_cast<double>(i) / 86400.0, 1, 0, 1});
  EXPECT_EQ(l.Count(), 65520u);
  l.AddEvent({t + 70000.0 / 86400.0, 2, 0, 1});
  EXPECT_EQ(l.Count(), 65520u);
  TMonItem first;
  ASSERT_TRUE(l.TakeFirst(first));
  EXPECT_EQ(first.Second, 1) << "the entry of second 0 was dropped";
  l.SetMonSequence(INT32_MAX);
  l.AddEvent({t, 3, 0, 1});
  EXPECT_EQ(l.MonSequence(), 1);
  EXPECT_FALSE(l.AddEvent({std::numeric_limits<double>::infinity(), 3, 0, 1}));
}
