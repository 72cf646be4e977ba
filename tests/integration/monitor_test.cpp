#include <gtest/gtest.h>

#include "core_fixture.h"
#include "core/monitor.h"
#include "util/date_time.h"

using namespace vexon;
using namespace vexon::testing;
using sim::TSimFault;

namespace {

class MonitorTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    now_ = EncodeDateTime({2004, 3, 20, 12, 0, 0, 0});
    clock_.SetNow(now_);
    sim_.SetTime(EncodeDateTime({2004, 3, 20, 11, 59, 30, 0}));
    journal_.Create();
    monitor_ = std::make_unique<TMonitor>(*core_, journal_);
    OpenPort();
    Autoconfigure();
    TCardList l;
    l.AddIt({0, 7, 1000, 1099, 1, 1});
    core_->Segments.CopyListToActive(l);
  }
  // Starts monitoring and runs the first (unpublished) pass.
  void Start() {
    monitor_->StartMonitoring();
    monitor_->MonitoringPoll();
    ASSERT_FALSE(monitor_->FirstPass());
  }
  std::vector<TMonItem> TakeAll() {
    std::vector<TMonItem> out;
    TMonItem m;
    while (journal_.GetMonEvent(m) == 0) out.push_back(m);
    return out;
  }
  static std::array<uint8_t, 4> Rec(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return {a, b, c, d}; }

  double now_ = 0;
  TMonJournal journal_;
  std::unique_ptr<TMonitor> monitor_;
};

}  // namespace

TEST_F(MonitorTest, OffMeansNoTraffic) {
  monitor_->MonitoringPoll();
  EXPECT_EQ(sim_.FrameCount(), 0u);
}

TEST_F(MonitorTest, RecordsWaitingBeforeStartNeverReachTheJournal) {
  sim_.PresentCard(2, 0, 3);
  sim_.PresentCard(0, 1, 4);
  Start();
  EXPECT_EQ(journal_.Count(), 0u);
  EXPECT_EQ(sim_.PendingRecords(), 0u) << "read and acknowledged all the same";
  sim_.PresentCard(2, 1, 5);
  monitor_->MonitoringPoll();
  const auto ev = TakeAll();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].EventCode, 1);
  EXPECT_EQ(ev[0].AdrAdd, 2);
  EXPECT_EQ(ev[0].MakeAdr, 0x20 + 4096);
  EXPECT_EQ(ev[0].FacilityCode, 7);
  EXPECT_EQ(ev[0].CardID, 1004);
  EXPECT_EQ(ev[0].Hour, 11);
  EXPECT_EQ(ev[0].Minute, 59);
  EXPECT_EQ(ev[0].Second, 30);
}

TEST_F(MonitorTest, FortyRecordsArePagedToTheEnd) {
  Start();
  sim_.ClearReceived();
  std::vector<std::array<uint8_t, 4>> recs = {Rec(0xFF, 30, (59 << 2) | 1, (3 << 5) | 20)};
  for (int i = 0; i < 39; ++i) recs.push_back(Rec(0, 0x08, static_cast<uint8_t>(i + 1), 0));
  sim_.AddRecords(recs);
  ASSERT_TRUE(monitor_->FetchPages());
  EXPECT_EQ(monitor_->RawRecords().size(), 40u);
  const auto frames = sim_.ReceivedFrames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0][4], 0x70);
  EXPECT_EQ(frames[1][4], 0x71);
  EXPECT_EQ(frames[2][4], 0x71);
}

TEST_F(MonitorTest, RepeatedPageWithinAFetchIsDropped) {
  Start();
  std::vector<std::array<uint8_t, 4>> recs;
  for (int i = 0; i < 32; ++i) recs.push_back(Rec(0, 0x08, static_cast<uint8_t>(i + 1), 0));
  sim_.AddRecords(recs);
  sim_.ClearReceived();
  sim_.InjectFault({TSimFault::Waits, 0});   // the 0x70 is answered normally
  sim_.InjectFault({TSimFault::RepeatPage});  // the 0x71 repeats that page
  ASSERT_TRUE(monitor_->FetchPages());
  EXPECT_EQ(sim_.FrameCount(), 2u);
  EXPECT_EQ(monitor_->RawRecords().size(), 32u) << "the repeated page counts as empty";
}

TEST_F(MonitorTest, FailedPageReadIsRetriedWith0x70) {
  Start();
  std::vector<std::array<uint8_t, 4>> recs;
  for (int i = 0; i < 40; ++i) recs.push_back(Rec(0, 0x08, static_cast<uint8_t>(i + 1), 0));
  sim_.AddRecords(recs);
  sim_.ClearReceived();
  // The first page (0x70) arrives; the read of the second (0x71) fails and
  // is asked for again with 0x70, not 0x71.
  sim_.InjectFault({TSimFault::Waits, 0});
  sim_.InjectFault({TSimFault::NoAnswer});
  ASSERT_TRUE(monitor_->FetchPages());
  const auto frames = sim_.ReceivedFrames();
  ASSERT_GE(frames.size(), 3u);
  EXPECT_EQ(frames[0][4], 0x70);
  EXPECT_EQ(frames[1][4], 0x71);
  EXPECT_EQ(frames[2][4], 0x70);
  EXPECT_GE(monitor_->RawRecords().size(), 32u);
  sim_.InjectFault({TSimFault::NoAnswer});
  sim_.InjectFault({TSimFault::NoAnswer});
  EXPECT_FALSE(monitor_->FetchPages()) << "a second failure ends the fetch";
}

TEST_F(MonitorTest, MoreThan512RecordsStopTheFetch) {
  Start();
  sim_.ClearReceived();
  std::vector<std::array<uint8_t, 4>> recs;
  for (int i = 0; i < 600; ++i) recs.push_back(Rec(0, 0x08, static_cast<uint8_t>(i), 0));
  sim_.AddRecords(recs);
  ASSERT_TRUE(monitor_->FetchPages());
  EXPECT_EQ(monitor_->RawRecords().size(), 513u + 31u) << "17 pages: 16 x 32 then one crossing 512";
  EXPECT_EQ(sim_.ReceivedFrames().back()[4], 0x71) << "one more 0x71 whose page is not appended";
  EXPECT_EQ(sim_.FrameCount(), 18u);
}

TEST_F(MonitorTest, EndlessPagesAreBounded) {
  Start();
  sim_.WithNetwork([](sim::TSimNetwork& n) { n.MonitorNeverEnds = true; });
  sim_.ClearReceived();
  ASSERT_TRUE(monitor_->FetchPages()) << "counts as successful with what was read";
  EXPECT_EQ(sim_.FrameCount(), static_cast<size_t>(TMonitor::kMaxPagesPerPoll));
}

TEST_F(MonitorTest, LinkLostAndRestoredExactlyOnce) {
  Start();
  sim_.SetLinkLost(true);
  monitor_->MonitoringPoll();
  EXPECT_EQ(journal_.Count(), 0u) << "the first failure is tolerated";
  EXPECT_FALSE(core_->Health.LinkDown);
  monitor_->MonitoringPoll();
  EXPECT_TRUE(core_->Health.LinkDown);
  monitor_->MonitoringPoll();
  monitor_->MonitoringPoll();
  auto ev = TakeAll();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].EventCode, 14);
  EXPECT_EQ(ev[0].EventAdd, 1);
  EXPECT_EQ(ev[0].MakeAdr, 564);
  uint8_t b2 = 0;
  core_->Model.Controllers.GetStatusByte(0, 2, b2);
  EXPECT_TRUE(b2 & 0x80);

  sim_.SetLinkLost(false);
  monitor_->MonitoringPoll();
  monitor_->MonitoringPoll();
  ev = TakeAll();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].EventCode, 14);
  EXPECT_EQ(ev[0].EventAdd, 0);
  EXPECT_FALSE(core_->Health.LinkDown);
  core_->Model.Controllers.GetStatusByte(0, 2, b2);
  EXPECT_FALSE(b2 & 0x80) << "the refresh read the primary's status again";
}

TEST_F(MonitorTest, ConfigurationViolationIsReportedOnceAndGatesRequests) {
  Start();
  sim_.SetConfigViolation(true);
  monitor_->MonitoringPoll();
  monitor_->MonitoringPoll();
  EXPECT_TRUE(core_->Health.PrimaryConfigBroken);
  auto ev = TakeAll();
  ASSERT_EQ(ev.size(), 3u) << "18 for the primary, 14 for each other controller";
  EXPECT_EQ(ev[0].EventCode, 18);
  EXPECT_EQ(ev[0].EventAdd, 1);
  EXPECT_EQ(ev[1].EventCode, 14);
  EXPECT_EQ(ev[2].EventCode, 14);
  const int32_t id = PutBuf({2, 0x21, 66});
  Drain();
  EXPECT_EQ(Answer(id).Value, 13);
  sim_.SetConfigViolation(false);
  monitor_->MonitoringPoll();
  EXPECT_FALSE(core_->Health.PrimaryConfigBroken);
}

TEST_F(MonitorTest, RoundTripOfSimulatorActions) {
  Start();
  sim_.SetInput(2, 1, 3, true);        // input 3 of driver 1
  sim_.CardInZone(9, 10);              // card (7, 1009) enters zone 9
  sim_.SetStatusFlag(2, 1, true);      // mains failure
  sim_.SetStatusFlag(0, 0, true);      // the primary flags new registrations
  monitor_->MonitoringPoll();
  const auto ev = TakeAll();
  ASSERT_EQ(ev.size(), 5u);
  EXPECT_EQ(ev[0].EventCode, 9);
  EXPECT_EQ(ev[0].AdrAdd, 1);
  EXPECT_EQ(ev[0].EventAdd, 3);
  // The input change went into controller 2's registration journal, which
  // raises its registration flag.
  EXPECT_EQ(ev[1].EventCode, 15);
  EXPECT_EQ(ev[1].MakeAdr, 0x20 + 4096);
  EXPECT_EQ(ev[2].EventCode, 21);
  EXPECT_EQ(ev[2].EventAdd, 9);
  EXPECT_EQ(ev[2].CardID, 1009);
  EXPECT_EQ(ev[3].EventCode, 16);
  EXPECT_EQ(ev[3].EventAdd, 1);
  EXPECT_EQ(ev[4].EventCode, 15);
  EXPECT_EQ(ev[4].MakeAdr, 564);
  EXPECT_EQ(core_->Requests.RequestCount(), 2u) << "a registration read was queued for each";
  uint8_t b4 = 0;
  core_->Model.Controllers.GetStatusByte(2, 4, b4);
  EXPECT_EQ(b4 & 0x04, 0x04);
}

TEST_F(MonitorTest, OperatorCommandsComeBackAsEvents) {
  Start();
  PutBuf({2, 0, 0x44});      // alarm on
  PutBuf({2, 0x12, 0x46, 0xFF});  // relay output 2 of driver 1
  Drain();
  monitor_->MonitoringPoll();
  const auto ev = TakeAll();
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].EventCode, 20);
  EXPECT_EQ(ev[1].EventCode, 11);
  EXPECT_EQ(ev[1].AdrAdd, 1);
  EXPECT_EQ(ev[1].EventAdd, 2);
}
