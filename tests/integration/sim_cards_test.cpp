// The simulated controllers judge a presented card from the card list the
// server sent them, and the monitoring poll decodes the record they leave
// into the event an operator reads.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "automation/descriptions.h"
#include "core/card_blocks.h"
#include "core_fixture.h"
#include "core/monitor.h"
#include "sim/demo_traffic.h"
#include "util/date_time.h"

using namespace vexon;
using namespace vexon::testing;
using sim::TCardVerdict;

namespace {

constexpr int32_t kPrimary = 0x0234;          // SysAdr 0
constexpr int32_t kModem = 0x20 + 4096;       // SysAdr 2
constexpr uint8_t kFacility = 12;             // cards 1000..1049 are indexes 1..50
constexpr uint8_t kOtherFacility = 7;         // cards 1..10 are indexes 51..60

std::vector<uint8_t> Entry(uint16_t index, uint8_t properties = 0, uint8_t schedule = 0, uint8_t c1 = 0,
                           uint8_t c2 = 0) {
  return {static_cast<uint8_t>(index & 0xFF), static_cast<uint8_t>(index >> 8), properties, schedule, c1, c2};
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class SimCardsTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    const double now = EncodeDateTime({2004, 3, 20, 12, 0, 0, 0});
    clock_.SetNow(now);
    sim_.SetTime(EncodeDateTime({2004, 3, 20, 11, 59, 30, 0}));
    journal_.Create();
    monitor_ = std::make_unique<TMonitor>(*core_, journal_);
    OpenPort();
    Autoconfigure();
    // The segments travel to the simulator as 0x21 and 0x20 frames; the
    // server's active list is the same numbering.
    TCardList segments;
    segments.AddIt({0, kFacility, 1000, 1049, 1, 0});
    segments.AddIt({1, kOtherFacility, 1, 10, 51, 0});
    TTransactResult r;
    ASSERT_TRUE(core_->Commands.SendSegmentList(segments, r));
    core_->Segments.CopyListToActive(segments);
    monitor_->StartMonitoring();
    // The first pass ends with a status refresh of every controller; a read
    // that a busy machine held back past its time-out leaves it for the
    // next poll.
    for (int poll = 0; poll < 20 && monitor_->FirstPass(); ++poll) monitor_->MonitoringPoll();
    ASSERT_FALSE(monitor_->FirstPass());
  }

  void Send(uint8_t command, int32_t makeAdr, const std::vector<uint8_t>& bytes) {
    TTransactResult r;
    ASSERT_TRUE(core_->Commands.SendCardBlock(command, makeAdr, bytes.data(), bytes.size(), r));
  }
  // Puts a card-list request of these rows (facility, card, properties,
  // schedule) through the server's preparation and multi-pass transfer.
  void SendCheckedList(int32_t makeAdr, const std::vector<std::array<int64_t, 4>>& rows) {
    const TCellReader cell = [&](int32_t row, int32_t col, int32_t& v, std::string&) {
      const auto& r = rows[static_cast<size_t>(row - 1)];
      switch (col) {
        case 1: v = static_cast<int32_t>(r[0]); break;
        case 2: v = static_cast<int32_t>(r[1] & 0xFF); break;
        case 3: v = static_cast<int32_t>(r[1] >> 8); break;
        case 4: v = static_cast<int32_t>(r[2]); break;
        case 5: v = static_cast<int32_t>(r[3]); break;
        default: v = 0; break;
      }
      return true;
    };
    TCardBufList blocks;
    ASSERT_TRUE(BuildCheckedCardBlocks(cell, static_cast<int32_t>(rows.size()), core_->Segments, blocks).Ok());
    std::unique_ptr<TParamObject> item = std::make_unique<TSendCardListItem>(makeAdr, std::move(blocks));
    int32_t id = 0;
    ASSERT_TRUE(core_->Requests.PutListRequest(rkSendCard, item, id));
    Drain();
    ASSERT_EQ(Answer(id).Value, 0);
  }
  // The events of one poll, without the registration-journal flag changes
  // (event 15) that card events may raise: those belong to the
  // registration journal, not to admission.
  std::vector<TMonItem> Poll() {
    monitor_->MonitoringPoll();
    std::vector<TMonItem> out;
    TMonItem m;
    while (journal_.GetMonEvent(m) == 0)
      if (m.EventCode != kRegJournalFlag) out.push_back(m);
    return out;
  }
  static constexpr uint8_t kRegJournalFlag = 15;
  static std::string Text(const TMonItem& e) { return GetMonEventDescription(e.EventCode, e.EventAdd); }
  sim::TSimController Controller(uint8_t sysAdr) { return *sim_.NetworkCopy().Find(sysAdr); }

  TMonJournal journal_;
  std::unique_ptr<TMonitor> monitor_;
};

TEST_F(SimCardsTest, BlockSentListGrantsListedCardAndRefusesOthers) {
  // 25 cards: a block of 20 entries and one of 5, both with 0x23.
  std::vector<std::array<int64_t, 4>> rows;
  for (int i = 0; i < 25; ++i) rows.push_back({kFacility, 1000 + 2 * i, 0, 0});  // index 1 + 2i
  rows[24] = {kOtherFacility, 4, 0, 0};
  SendCheckedList(kPrimary, rows);
  const auto primary = Controller(0);
  ASSERT_EQ(primary.CardRecordBlocks.size(), 2u);
  EXPECT_EQ(primary.CardRecordBlocks[0].size(), 120u);
  EXPECT_EQ(primary.CardRecordBlocks[1].size(), 30u);
  EXPECT_EQ(primary.Cards.size(), 25u);
  EXPECT_TRUE(Controller(2).Cards.empty()) << "the list went to one controller";

  auto d = sim_.PresentCardChecked(0, 1, kFacility, 1002);  // row 2, index 3
  ASSERT_TRUE(d);
  EXPECT_EQ(d->Verdict, TCardVerdict::Granted);
  EXPECT_EQ(d->Index, 3);
  d = sim_.PresentCardChecked(0, 1, kOtherFacility, 4);  // the last block
  EXPECT_EQ(d->Verdict, TCardVerdict::Granted);
  EXPECT_EQ(d->Index, 54);
  d = sim_.PresentCardChecked(0, 0, kFacility, 1001);  // index 2, never sent
  EXPECT_EQ(d->Verdict, TCardVerdict::NotInList);
  d = sim_.PresentCardChecked(2, 0, 3);  // the other controller has no list
  EXPECT_EQ(d->Verdict, TCardVerdict::NotInList);
  EXPECT_FALSE(sim_.PresentCardChecked(1, 0, 3)) << "a hub has no readers";
  EXPECT_FALSE(sim_.PresentCardChecked(9, 0, 3)) << "no such controller";

  const auto ev = Poll();
  ASSERT_EQ(ev.size(), 4u);
  EXPECT_EQ(ev[0].MakeAdr, kPrimary);
  EXPECT_EQ(ev[0].EventCode, 1);
  EXPECT_EQ(ev[0].AdrAdd, 2) << "reader 1 is AdrAdd 2";
  EXPECT_EQ(ev[0].EventAdd, 0);
  EXPECT_EQ(ev[0].FacilityCode, kFacility);
  EXPECT_EQ(ev[0].CardID, 1002);
  EXPECT_EQ(Text(ev[0]), "Запрос на проход");
  EXPECT_EQ(ev[1].FacilityCode, kOtherFacility);
  EXPECT_EQ(ev[1].CardID, 4);
  EXPECT_EQ(ev[2].EventCode, 3);
  EXPECT_EQ(ev[2].AdrAdd, 1);
  EXPECT_EQ(ev[2].EventAdd, 2);
  EXPECT_EQ(ev[2].CardID, 1001);
  EXPECT_EQ(Text(ev[2]), "Нарушение РКД - НЕ СИСТЕМНЫЙ пропуск");
  EXPECT_EQ(ev[3].MakeAdr, kModem);
  EXPECT_EQ(ev[3].EventCode, 3);
  EXPECT_EQ(ev[3].CardID, 1002);
  EXPECT_EQ(ev[3].Hour, 11);
  EXPECT_EQ(ev[3].Second, 30);
}

TEST_F(SimCardsTest, ClearingTheListRefusesAgainOnlyWhereAddressed) {
  Send(proto::cmdCardRecord, kPrimary, Concat({Entry(1), Entry(7)}));
  Send(proto::cmdCardRecord, kModem, Entry(7));
  EXPECT_TRUE(sim_.PresentCardChecked(0, 0, 7)->Granted());
  TTransactResult r;
  ASSERT_TRUE(core_->Commands.SendClearCards(kPrimary, r));
  EXPECT_TRUE(Controller(0).Cards.empty());
  EXPECT_TRUE(Controller(0).CardRecordBlocks.empty());
  EXPECT_EQ(sim_.PresentCardChecked(0, 0, 7)->Verdict, TCardVerdict::NotInList);
  EXPECT_TRUE(sim_.PresentCardChecked(2, 1, 7)->Granted()) << "the other controller keeps its list";

  const auto ev = Poll();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[0].EventCode, 1);
  EXPECT_EQ(ev[1].EventCode, 3);
  EXPECT_EQ(ev[1].EventAdd, 2);
  EXPECT_EQ(ev[1].CardID, 1006);
  EXPECT_EQ(ev[2].EventCode, 1);
  EXPECT_EQ(ev[2].MakeAdr, kModem);

  // A list sent again after the clearing grants again.
  Send(proto::cmdCardListBlock, kPrimary, Entry(7));
  EXPECT_TRUE(sim_.PresentCardChecked(0, 0, 7)->Granted()) << "0x22 blocks carry the same entries";
}

TEST_F(SimCardsTest, StopListBlockedAndSpecialCards) {
  // Single cards as the single-card operations send them: stop list
  // (0x83, 0, 0, 0), a general card without and with Enable (4-byte
  // entries), a temporary card (0x83, diagram 5, 1, limits).
  Send(proto::cmdCardRecord, kPrimary, Entry(1, 0x83, 0, 0, 0));
  Send(proto::cmdCardRecord, kPrimary, {2, 0, 0x03, 0});
  Send(proto::cmdCardRecord, kPrimary, {3, 0, 0x83, 0});
  Send(proto::cmdCardRecord, kPrimary, Entry(4, 0x83, 5, 1, 0x21));
  Send(proto::cmdCardRecord, kPrimary, Entry(5, 0x01, 7));
  EXPECT_EQ(sim_.PresentCardChecked(0, 0, 1)->Verdict, TCardVerdict::StopList);
  EXPECT_EQ(sim_.PresentCardChecked(0, 0, 2)->Verdict, TCardVerdict::Prohibited);
  EXPECT_EQ(sim_.PresentCardChecked(0, 0, 3)->Verdict, TCardVerdict::Granted);
  EXPECT_EQ(sim_.PresentCardChecked(0, 0, 4)->Verdict, TCardVerdict::Granted);
  EXPECT_EQ(sim_.PresentCardChecked(0, 0, 5)->Verdict, TCardVerdict::Granted);
  // Sending an index again replaces its entry: card 2 now enabled.
  Send(proto::cmdCardRecord, kPrimary, {2, 0, 0x83, 0});
  EXPECT_EQ(sim_.PresentCardChecked(0, 0, 2)->Verdict, TCardVerdict::Granted);

  // Blocking is network-wide (0x49, no answer) and 0x4A lifts it.
  TTransactResult r;
  ASSERT_TRUE(core_->Commands.SendCardFlag(kFacility, 1004, 0, r));  // index 5
  ASSERT_TRUE(WaitUntil([&] { return sim_.NetworkCopy().DisabledCards.count(5) == 1; }));
  EXPECT_EQ(sim_.PresentCardChecked(0, 1, kFacility, 1004)->Verdict, TCardVerdict::Disabled);
  ASSERT_TRUE(core_->Commands.SendCardFlag(kFacility, 1004, 1, r));
  EXPECT_EQ(sim_.PresentCardChecked(0, 1, kFacility, 1004)->Verdict, TCardVerdict::Granted);

  const auto ev = Poll();
  ASSERT_EQ(ev.size(), 8u);
  EXPECT_EQ(Text(ev[0]), "Нарушение РКД - СТОП-ЛИСТ");
  EXPECT_EQ(ev[0].CardID, 1000);
  EXPECT_EQ(Text(ev[1]), "Нарушение РКД - пропуск ЗАПРЕЩЕН");
  EXPECT_EQ(ev[2].EventCode, 1);
  EXPECT_EQ(Text(ev[6]), "Нарушение РКД - пропуск ЗАПРЕЩЕН");
  EXPECT_EQ(ev[6].AdrAdd, 2);
  EXPECT_EQ(ev[6].CardID, 1004);
  EXPECT_EQ(ev[7].EventCode, 1);
}

TEST_F(SimCardsTest, CardOutsideTheSegmentsIsNotASystemCard) {
  Send(proto::cmdCardRecord, kPrimary, Entry(1));
  EXPECT_TRUE(sim_.PresentCardChecked(0, 0, kFacility, 1000)->Granted());
  auto d = sim_.PresentCardChecked(0, 0, kFacility, 1050);  // past the segment's last card
  EXPECT_EQ(d->Verdict, TCardVerdict::NotSystem);
  EXPECT_EQ(d->Index, 0);
  EXPECT_EQ(sim_.PresentCardChecked(0, 0, 99, 1000)->Verdict, TCardVerdict::NotSystem);

  // Segments cleared for the whole network: the number no longer maps to
  // an index, but the index itself is still in the card list.
  TTransactResult r;
  ASSERT_TRUE(core_->Commands.SendClearSegments(0, r));
  EXPECT_EQ(sim_.PresentCardChecked(0, 0, kFacility, 1000)->Verdict, TCardVerdict::NotSystem);
  EXPECT_TRUE(sim_.PresentCardChecked(0, 0, 1)->Granted());

  const auto ev = Poll();
  ASSERT_EQ(ev.size(), 5u);
  EXPECT_EQ(ev[1].EventCode, 3);
  EXPECT_EQ(ev[1].EventAdd, 2);
  EXPECT_EQ(ev[1].CardID, 0) << "no card in the record";
  EXPECT_EQ(ev[1].FacilityCode, 0);
}

TEST_F(SimCardsTest, MalformedCardBlockIsKeptButNotRead) {
  Send(proto::cmdCardRecord, kPrimary, {1, 0, 0, 0, 0});  // 5 bytes: no whole entry
  const auto c = Controller(0);
  EXPECT_EQ(c.RejectedCardBlocks, 1);
  EXPECT_EQ(c.CardRecordBlocks.size(), 1u);
  EXPECT_TRUE(c.Cards.empty());
  EXPECT_EQ(sim_.PresentCardChecked(0, 0, 1)->Verdict, TCardVerdict::NotInList);
}

TEST_F(SimCardsTest, AutonomousListBlocksAreKeptInOrder) {
  // 81 rows through the server: blocks of 40, 40 and 1 entries, sent as
  // 0x25, 0x25 and 0x26 (the last).
  const TCellReader cell = [](int32_t row, int32_t col, int32_t& v, std::string&) {
    v = (row * 3 + col) & 0xFF;
    return true;
  };
  TAutCardBufList blocks;
  ASSERT_TRUE(BuildAutCardBlocks(cell, 81, blocks).Ok());
  std::unique_ptr<TParamObject> item = std::make_unique<TSendAutCardListItem>(kPrimary, 0, std::move(blocks));
  int32_t id = 0;
  ASSERT_TRUE(core_->Requests.PutListRequest(rkSendAutCardList, item, id));
  Drain();
  ASSERT_EQ(Answer(id).Value, 0);

  auto c = Controller(0);
  ASSERT_EQ(c.AutBlockFrames.size(), 3u);
  EXPECT_EQ(c.AutBlockFrames[0].Command, proto::cmdAutCardBlock);
  EXPECT_EQ(c.AutBlockFrames[1].Command, proto::cmdAutCardBlock);
  EXPECT_EQ(c.AutBlockFrames[2].Command, proto::cmdAutCardBlock2);
  EXPECT_EQ(c.AutBlockFrames[0].Bytes.size(), 120u);
  EXPECT_EQ(c.AutBlockFrames[2].Bytes.size(), 3u);
  ASSERT_EQ(c.AutCards.size(), 81u);
  for (size_t i = 0; i < 81; ++i) {
    const int row = static_cast<int>(i) + 1;
    ASSERT_EQ(c.AutCards[i], (std::array<uint8_t, 3>{static_cast<uint8_t>(row * 3 + 1), static_cast<uint8_t>(row * 3 + 2),
                                                      static_cast<uint8_t>(row * 3 + 3)}))
        << "entry " << i;
  }
  EXPECT_TRUE(c.AutListComplete);
  EXPECT_TRUE(Controller(2).AutCards.empty());

  // The next transfer replaces the list; 0x27 empties it.
  Send(proto::cmdAutCardBlock2, kPrimary, {9, 8, 7});
  c = Controller(0);
  ASSERT_EQ(c.AutCards.size(), 1u);
  EXPECT_EQ(c.AutCards[0], (std::array<uint8_t, 3>{9, 8, 7}));
  const int32_t clear = PutBuf({0, 255, proto::cmdClearAutCardList});
  Drain();
  ASSERT_EQ(Answer(clear).Value, 0);
  c = Controller(0);
  EXPECT_TRUE(c.AutCards.empty());
  EXPECT_TRUE(c.AutBlocks.empty());
  EXPECT_FALSE(c.AutListComplete);
}

// The demonstration traffic presents the controllers' own cards in turn,
// opens a door on every second granted card, and a stranger every fifth
// step.
TEST_F(SimCardsTest, DemoTrafficPresentsListedCardsAndOpensDoors) {
  Send(proto::cmdCardRecord, kPrimary, Concat({Entry(1), Entry(2, 0x83, 0, 0, 0)}));
  Send(proto::cmdCardRecord, kModem, Entry(3));
  sim::TDemoTraffic demo(sim_, 1000);
  EXPECT_EQ(demo.Step(), "controller 0 reader 0: card 12/1000 granted, door opened");
  EXPECT_EQ(demo.Step(), "controller 2 reader 0: card 12/1002 granted");
  EXPECT_EQ(demo.Step(), "controller 0 reader 1: card 12/1001 refused (stop-list card)");
  demo.CloseDoor();
  EXPECT_EQ(demo.Step(), "controller 2 reader 1: card 12/1002 granted, door opened");
  EXPECT_EQ(demo.Step(), "controller 0 reader 0: card 250/1004 refused (no segment covers it)");
  demo.CloseDoor();

  const auto ev = Poll();
  std::vector<std::pair<int32_t, std::string>> got;
  for (const auto& e : ev) got.emplace_back(e.MakeAdr, Text(e));
  // The primary's first driver is driver 2 (descriptor byte 0x0B), the
  // modem's too (0x1A): its door contact is input 1.
  const std::vector<std::pair<int32_t, std::string>> want = {
      {kPrimary, "Запрос на проход"},
      {kPrimary, "Активизация входа"},
      {kModem, "Запрос на проход"},
      {kPrimary, "Нарушение РКД - СТОП-ЛИСТ"},
      {kPrimary, "Сброс входа"},
      {kModem, "Запрос на проход"},
      {kModem, "Активизация входа"},
      {kPrimary, "Нарушение РКД - НЕ СИСТЕМНЫЙ пропуск"},
      {kModem, "Сброс входа"},
  };
  EXPECT_EQ(got, want);
  ASSERT_EQ(ev.size(), want.size());
  EXPECT_EQ(ev[1].AdrAdd, 2);
  EXPECT_EQ(ev[1].EventAdd, 1);

  // Nobody reads the monitoring journal: the backlog stops the traffic.
  while (sim_.PendingRecords() <= sim::TDemoTraffic::kMaxBacklog) sim_.PresentCard(0, 0, 1);
  EXPECT_EQ(demo.Step(), "");
}

TEST_F(SimCardsTest, SegmentWhoseLastCardIsBelowItsFirstHoldsNoIndex) {
  // Facility 9, cards 210 down to 200, laid on index 1 ahead of the real
  // segments: its range is empty, so index 50 stays card 12/1049 (it was
  // read as 9/259 when the reversed range claimed every later index).
  TCardList segments;
  segments.AddIt({0, 9, 210, 200, 1, 1});
  segments.AddIt({1, kFacility, 1000, 1049, 1, 1});
  segments.AddIt({2, kOtherFacility, 1, 10, 51, 1});
  ASSERT_EQ(segments.At(0).FacilityCode, 9) << "first in list order";
  core_->Segments.CopyListToActive(segments);
  Send(proto::cmdCardRecord, kPrimary, Entry(50));
  EXPECT_TRUE(sim_.PresentCardChecked(0, 0, 50)->Granted());
  EXPECT_EQ(sim_.PresentCardChecked(0, 1, 55)->Verdict, TCardVerdict::NotInList);
  const auto ev = Poll();
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].FacilityCode, kFacility);
  EXPECT_EQ(ev[0].CardID, 1049);
  EXPECT_EQ(ev[1].FacilityCode, kOtherFacility);
  EXPECT_EQ(ev[1].CardID, 5);
}

}  // namespace
