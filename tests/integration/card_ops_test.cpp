// The card and schedule operations in process, against the simulator: the
// order of their checks, what they queue byte for byte, and what a
// malformed array does (fails the call, queues nothing).
#include <gtest/gtest.h>

#include <climits>

#include "automation_fixture.h"
#include "util/result_codes.h"

using namespace vexon;
using namespace vexon::testing;

namespace {

TVariant Int(int64_t v) {
  TVariant e;
  e.What = TVariant::Kind::Int;
  e.Int = v;
  return e;
}

// A two-dimensional array with explicit lower bounds (or none: plain form).
TVariant Array(const std::vector<std::vector<int64_t>>& rows, std::vector<int32_t> lbound = {1, 1}) {
  TVariant a;
  a.What = TVariant::Kind::Array;
  a.LBound = lbound.empty() ? std::vector<int32_t>{0, 0} : lbound;
  a.PlainBounds = lbound.empty();
  for (const auto& r : rows) {
    TVariant row;
    row.What = TVariant::Kind::Array;
    row.LBound = {a.LBound[1]};
    for (int64_t v : r) row.Items.push_back(Int(v));
    a.Items.push_back(row);
  }
  return a;
}

class CardOpsTest : public AutomationTest {
 protected:
  // Configured, with facility 1 cards 100..199 as system indexes 1..100.
  void Ready() {
    Configure();
    ActiveSegments();
  }
  size_t Queued() const { return core_->Requests.RequestCount(); }
  std::vector<std::vector<uint8_t>> SentCommands() {
    sim_.ClearReceived();
    Drain();
    std::vector<std::vector<uint8_t>> out;
    for (const auto& f : sim_.ReceivedFrames()) out.emplace_back(f.begin() + 2, f.end() - 1);
    return out;
  }
  // A checked card-list row for card (1, card).
  static std::vector<int64_t> CardRow(int64_t card, int64_t props = 0, int64_t sched = 0) {
    return {1, card & 0xFF, card >> 8, props, sched, 0, 0, 0};
  }
};

}  // namespace

TEST_F(CardOpsTest, SegmentChecksAndLimits) {
  EXPECT_EQ(Value(Invoke("SetCardSegment", {{"FacilityCode", int64_t{1}}, {"FirstCard", int64_t{200}}, {"LastCard", int64_t{100}}})), 38);
  for (int i = 0; i < 32; ++i)
    ASSERT_EQ(Value(Invoke("SetCardSegment", {{"FacilityCode", int64_t{1}}, {"FirstCard", int64_t{i * 10}}, {"LastCard", int64_t{i * 10 + 9}}})), 0);
  EXPECT_EQ(Value(Invoke("SetCardSegment", {{"FirstCard", int64_t{5}}, {"LastCard", int64_t{6}}})), 37);
  EXPECT_EQ(Value(Invoke("SetCardSegment", {{"FirstCard", int64_t{6}}, {"LastCard", int64_t{5}}})), 38)
      << "38 comes before the length check";
  Invoke("ClearCardSegments");
  EXPECT_EQ(Value(Invoke("SetCardSegment", {{"FirstCard", int64_t{5}}, {"LastCard", int64_t{6}}})), 0);
  EXPECT_THROW(Invoke("SetCardSegment", {{"FirstCard", int64_t{5}}, {"LastCard", int64_t{65536}}}), TAutomationError);
  Invoke("ClearCardSegments");
  // Works without a configuration; an empty list is 39.
  EXPECT_EQ(Value(Invoke("SendCardSegments", {{"EventID", int64_t{5}}})), 39);
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(CardOpsTest, SegmentsQueuedAsNumberedReachTheControllersAndTheActiveList) {
  Configure();
  Invoke("SetCardSegment", {{"FacilityCode", int64_t{1}}, {"FirstCard", int64_t{100}}, {"LastCard", int64_t{199}}});
  Invoke("SetCardSegment", {{"FacilityCode", int64_t{1}}, {"FirstCard", int64_t{500}}, {"LastCard", int64_t{549}}});
  const TCall c = Invoke("SendCardSegments");
  ASSERT_EQ(Value(c), 0);
  EXPECT_GT(Out(c, "EventID"), 0);
  Invoke("ClearCardSegments");  // the queued transfer keeps its copy
  const auto sent = SentCommands();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2], (std::vector<uint8_t>{255, 255, 0x20, 1, 1, 0xF4, 0x01, 0x25, 0x02, 101, 0}));
  EXPECT_EQ(Answer(static_cast<int32_t>(Out(c, "EventID"))).Value, 0);
  EXPECT_EQ(core_->Segments.ActiveCount(), 2u);
  EXPECT_EQ(Value(Invoke("GetServerState")), 0) << "configured with cards";
}

TEST_F(CardOpsTest, SegmentArrayAndClearSegments) {
  EXPECT_EQ(Value(Invoke("SendCardSegmentsBS", {{"SegmentsCount", int64_t{1}}})), 31);
  Configure();
  // Row: number, facility, first (low, high), last (low, high), first index
  // (low, high), sent flag element (1 gives flag 0).
  const TVariant segs = Array({{0, 7, 0, 1, 255, 1, 1, 0, 1}, {1, 8, 1, 0, 2, 0, 0, 1, 0}});
  const TCall c = Invoke("SendCardSegmentsBS", {{"Segmrnts", segs}, {"SegmentsCount", int64_t{2}}});
  ASSERT_EQ(Value(c), 0);
  const auto sent = SentCommands();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1], (std::vector<uint8_t>{255, 255, 0x20, 0, 7, 0x00, 0x01, 0xFF, 0x01, 1, 0}));
  EXPECT_EQ(sent[2], (std::vector<uint8_t>{255, 255, 0x20, 1, 8, 1, 0, 2, 0, 0, 1}));
  EXPECT_EQ(core_->Segments.ActiveCount(), 2u);
  // 255 + 256 x 256 passes 65535; a short row fails the call.
  EXPECT_THROW(Invoke("SendCardSegmentsBS", {{"Segmrnts", Array({{0, 7, 255, 256, 0, 0, 0, 0, 0}})}, {"SegmentsCount", int64_t{1}}}),
               TAutomationError);
  EXPECT_THROW(Invoke("SendCardSegmentsBS", {{"Segmrnts", Array({{0, 7, 1}})}, {"SegmentsCount", int64_t{1}}}),
               TAutomationError);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(Value(Invoke("SendCardSegmentsBS", {{"SegmentsCount", int64_t{0}}})), 0) << "an empty list is queued";
  Drain();
  // Clear segments: 0 is every controller and is not looked up.
  EXPECT_EQ(Value(Invoke("SendClearCardSegments", {{"MakeAdr", int64_t{0x7777}}})), 32);
  ASSERT_EQ(Value(Invoke("SendClearCardSegments", {{"MakeAdr", int64_t{kModem}}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{2, 255, 0x21}));
  EXPECT_EQ(core_->Segments.ActiveCount(), 0u);
}

TEST_F(CardOpsTest, ZoneAndBlockingChecks) {
  const std::map<std::string, TArgValue> card = {{"FacilityCode", int64_t{1}}, {"CardID", int64_t{150}}, {"Enable", int64_t{1}}};
  for (const char* op : {"SetCardZone", "GetCardZone", "SetEnableCard"}) EXPECT_EQ(Value(Invoke(op, card)), 31) << op;
  Configure();
  for (const char* op : {"SetCardZone", "GetCardZone", "SetEnableCard"}) EXPECT_EQ(Value(Invoke(op, card)), 68) << op;
  ActiveSegments();
  auto other = card;
  other["CardID"] = int64_t{200};
  for (const char* op : {"SetCardZone", "GetCardZone", "SetEnableCard"}) EXPECT_EQ(Value(Invoke(op, other)), 57) << op;
  auto zone = card;
  zone["ZoneNumber"] = int64_t{128};
  EXPECT_EQ(Value(Invoke("SetCardZone", zone)), 42);
  EXPECT_EQ(Queued(), 0u);
  other["CardID"] = int64_t{70000};
  EXPECT_THROW(Invoke("GetCardZone", other), TAutomationError);
  const TCall enable = Invoke("SetEnableCard", card);
  ASSERT_EQ(Value(enable), 0);
  const int32_t id = static_cast<int32_t>(Out(enable, "EventID"));
  EXPECT_GT(id, 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{255, 255, 0x4A, 51, 0}));
  EXPECT_EQ(Answer(id).Value, 0) << "the EventID given names the request";
  const TCall zoneQuery = Invoke("GetCardZone", card);
  EXPECT_EQ(Out(zoneQuery, "EventID"), id + 1);
  EXPECT_EQ(Out(Invoke("SetCardZone", card), "EventID"), id + 2);
  const size_t before = sim_.FrameCount();
  Drain();
  // Both frames in, the zone's (no answer) too, before the next command's.
  ASSERT_TRUE(sim_.WaitForFrames(before + 2, 10000));
  // The two card commands without an answer, byte for byte.
  auto zoned = card;
  zoned["ZoneNumber"] = int64_t{9};
  ASSERT_EQ(Value(Invoke("SetCardZone", zoned)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{255, 255, 0x48, 51, 0, 9}));
  auto disable = card;
  disable["Enable"] = int64_t{0};
  ASSERT_EQ(Value(Invoke("SetEnableCard", disable)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{255, 255, 0x49, 51, 0}));
}

TEST_F(CardOpsTest, SingleCardChecksInOrder) {
  std::map<std::string, TArgValue> a = {{"MakeAdr", int64_t{kModem}}, {"FacilityCode", int64_t{1}}, {"CardID", int64_t{150}}};
  EXPECT_EQ(Value(Invoke("SendNormalCard", a)), 31);
  Configure();
  auto unknown = a;
  unknown["MakeAdr"] = int64_t{0x7777};
  EXPECT_EQ(Value(Invoke("SendNormalCard", unknown)), 32);
  EXPECT_EQ(Value(Invoke("SendNormalCard", a)), 68);
  ActiveSegments();
  auto other = a;
  other["CardID"] = int64_t{99};
  EXPECT_EQ(Value(Invoke("SendStopListCard", other)), 57);
  auto n = a;
  n["Properties"] = int64_t{0x03};
  n["CCardID"] = int64_t{99999};
  EXPECT_EQ(Value(Invoke("SendNormalCard", n)), 63) << "before any commission check";
  n["Properties"] = int64_t{0x01};
  n["Times"] = int64_t{128};
  EXPECT_EQ(Value(Invoke("SendNormalCard", n)), 59);
  n["Properties"] = int64_t{0x02};
  n["Times"] = int64_t{32};
  EXPECT_EQ(Value(Invoke("SendNormalCard", n)), 60);
  n["Times"] = int64_t{31};
  n["Properties"] = int64_t{0x32};
  n["CFacilityCode"] = int64_t{2};
  n["CCardID"] = int64_t{150};
  EXPECT_EQ(Value(Invoke("SendNormalCard", n)), 65) << "card 150 of facility 2 is not a system card";
  n["Properties"] = int64_t{0x22};
  n["CCardID"] = int64_t{10000};
  EXPECT_EQ(Value(Invoke("SendNormalCard", n)), 66);
  auto t = a;
  t["R1Num"] = int64_t{16};
  EXPECT_EQ(Value(Invoke("SendOneTimeCard", t)), 64);
  auto g = a;
  g["ShiftDiagram"] = int64_t{32};
  EXPECT_EQ(Value(Invoke("SendGuardCard", g)), 60);
  g["ShiftDiagram"] = int64_t{-1};
  EXPECT_THROW(Invoke("SendGuardCard", g), TAutomationError);
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(CardOpsTest, SingleCardBuffersByteForByte) {
  Ready();
  const std::map<std::string, TArgValue> a = {{"MakeAdr", int64_t{kModem}}, {"FacilityCode", int64_t{1}}, {"CardID", int64_t{150}}};
  auto n = a;
  n["Properties"] = int64_t{0x31};
  n["Times"] = int64_t{127};
  n["CFacilityCode"] = int64_t{1};
  n["CCardID"] = int64_t{199};
  ASSERT_EQ(Value(Invoke("SendNormalCard", n)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{2, 255, 0x23, 51, 0, 0x31, 127, 100, 0}));
  n["Properties"] = int64_t{0x20};
  n["CCardID"] = int64_t{4701};
  ASSERT_EQ(Value(Invoke("SendNormalCard", n)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{2, 255, 0x23, 51, 0, 0x20, 127, 0x01, 0x47}));
  auto t = a;
  t["Enable"] = int64_t{1};
  t["APB"] = int64_t{1};
  t["TimeDiagram"] = int64_t{9};
  t["R1Num"] = int64_t{3};
  t["R2Num"] = int64_t{15};
  ASSERT_EQ(Value(Invoke("SendOneTimeCard", t)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{2, 255, 0x23, 51, 0, 0xC3, 9, 1, 0xF3}));
  ASSERT_EQ(Value(Invoke("SendStopListCard", a)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{2, 255, 0x23, 51, 0, 131, 0, 0, 0}));
  ASSERT_EQ(Value(Invoke("SendGeneralCard", a)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{2, 255, 0x23, 51, 0, 3, 0}));
  auto g = a;
  g["Enable"] = int64_t{1};
  g["ShiftDiagram"] = int64_t{31};
  ASSERT_EQ(Value(Invoke("SendGuardCard", g)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{2, 255, 0x23, 51, 0, 131, 31}));
  auto all = a;
  all["MakeAdr"] = int64_t{0};
  ASSERT_EQ(Value(Invoke("SendGeneralCard", all)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{255, 255, 0x23, 51, 0, 3, 0}));
}

TEST_F(CardOpsTest, CheckedCardListOrderAndFailures) {
  const TVariant one = Array({CardRow(150)});
  TVariant null;
  EXPECT_EQ(Value(Invoke("SendDeviceCardList", {{"ACards", null}})), 90) << "before the configuration check";
  EXPECT_EQ(Value(Invoke("SendDeviceCardList", {{"ACards", Int(5)}})), 90);
  EXPECT_EQ(Value(Invoke("SendDeviceCardList", {{"ACards", one}})), 31);
  Configure();
  EXPECT_EQ(Value(Invoke("SendDeviceCardList", {{"ACards", one}, {"AMakeAdr", int64_t{kModem}}})), 68);
  ActiveSegments();
  EXPECT_EQ(Value(Invoke("SendDeviceCardList", {{"ACards", one}, {"AMakeAdr", int64_t{0x7777}}})), 32);
  // Row 7 is not a system card: 91 naming it, nothing queued.
  std::vector<std::vector<int64_t>> rows;
  for (int i = 0; i < 10; ++i) rows.push_back(CardRow(100 + i));
  rows[6] = CardRow(250);
  const TCall c = Invoke("SendDeviceCardList", {{"ACards", Array(rows)}, {"AMakeAdr", int64_t{kModem}}, {"AEventID", int64_t{9}}});
  EXPECT_EQ(Value(c), 91);
  EXPECT_EQ(Out(c, "AEventID"), 9);
  EXPECT_EQ(std::get<std::string>(Invoke("GetErrorDescription", {{"Code", int64_t{91}}}).Args().back()),
            "Обнаружена несистемная карта 1 / 250. Передача невозможна");
  // Malformed arrays fail the call: one dimension, too few columns, an
  // element that is not a number.
  TVariant flat;
  flat.What = TVariant::Kind::Array;
  flat.LBound = {1};
  flat.Items = {Int(1), Int(2)};
  EXPECT_THROW(Invoke("SendDeviceCardList", {{"ACards", flat}, {"AMakeAdr", int64_t{kModem}}}), TAutomationError);
  EXPECT_THROW(Invoke("SendDeviceCardList", {{"ACards", Array({{1, 150, 0}})}, {"AMakeAdr", int64_t{kModem}}}),
               TAutomationError);
  TVariant text = Array({CardRow(150)});
  text.Items[0].Items[4].What = TVariant::Kind::String;
  text.Items[0].Items[4].Text = "five";
  EXPECT_THROW(Invoke("SendDeviceCardList", {{"ACards", text}, {"AMakeAdr", int64_t{kModem}}}), TAutomationError);
  // Empty dimensions whose last index would fall below the smallest integer.
  EXPECT_THROW(Invoke("SendDeviceCardList", {{"ACards", Array({}, {INT32_MIN, 0})}, {"AMakeAdr", int64_t{kModem}}}),
               TAutomationError);
  EXPECT_THROW(Invoke("SendDeviceCardList", {{"ACards", Array({{}}, {1, INT32_MIN})}, {"AMakeAdr", int64_t{kModem}}}),
               TAutomationError);
  // The last row at the highest index: rows 1..2147483647 are not all
  // there, which is said without overflowing on the way.
  EXPECT_THROW(Invoke("SendDeviceCardList", {{"ACards", Array({CardRow(150)}, {INT32_MAX, 1})}, {"AMakeAdr", int64_t{kModem}}}),
               TAutomationError);
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(CardOpsTest, CheckedCardListIsSentInBlocks) {
  Ready();
  std::vector<std::vector<int64_t>> rows;
  for (int i = 0; i < 25; ++i) rows.push_back(CardRow(100 + i, 0x01, 3));
  // Plain form: the first row is row 1.
  const TCall c = Invoke("SendDeviceCardList", {{"ACards", Array(rows, {})}, {"AMakeAdr", int64_t{kModem}}});
  ASSERT_EQ(Value(c), 0);
  const auto sent = SentCommands();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].size(), 3u + 120);
  EXPECT_EQ(std::vector<uint8_t>(sent[1].begin(), sent[1].begin() + 9), (std::vector<uint8_t>{2, 255, 0x23, 21, 0, 1, 3, 0, 0}));
  EXPECT_EQ(sent[1].size(), 3u + 30);
  EXPECT_EQ(Answer(static_cast<int32_t>(Out(c, "AEventID"))).Value, 0);
}

TEST_F(CardOpsTest, RawAndAutonomousListsAndTheirClears) {
  const TVariant rows = Array({{1, 0, 1, 0, 0, 0}, {2, 0, 1, 0, 0, 0}});
  EXPECT_EQ(Value(Invoke("SendDeviceCardListBS", {{"Cl", rows}, {"ClSize", int64_t{2}}})), 31);
  Configure();
  EXPECT_EQ(Value(Invoke("SendAutDeviceCardListBS", {{"Cl", rows}, {"ClSize", int64_t{2}}})), 68);
  ActiveSegments();
  EXPECT_THROW(Invoke("SendDeviceCardListBS", {{"Cl", rows}, {"ClSize", int64_t{3}}}), TAutomationError)
      << "ClSize beyond the array";
  EXPECT_THROW(Invoke("SendAutDeviceCardListBS", {{"Cl", rows}, {"ClSize", int64_t{1}}, {"MakeAdr", int64_t{-1}}}),
               TAutomationError);
  ASSERT_EQ(Value(Invoke("SendDeviceCardListBS", {{"Cl", rows}, {"ClSize", int64_t{2}}, {"MakeAdr", int64_t{kModem}}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{2, 255, 0x23, 1, 0, 1, 0, 0, 0, 2, 0, 1, 0, 0, 0}));
  ASSERT_EQ(Value(Invoke("SendAutDeviceCardListBS", {{"Cl", Array({{7, 8, 9}})}, {"ClSize", int64_t{1}}, {"MakeAdr", int64_t{kPrimary}}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 255, 0x26, 7, 8, 9}));
  EXPECT_EQ(Value(Invoke("ClearAutCardListBS", {{"MakeAdr", int64_t{0x7777}}})), 32);
  ASSERT_EQ(Value(Invoke("ClearAutCardListBS", {{"MakeAdr", int64_t{kPrimary}}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 255, 0x27}));
  ASSERT_EQ(Value(Invoke("SendClearCardList", {{"MakeAdr", int64_t{kModem}}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{2, 255, 0x24}));
  // A negative size (a multiple of the block size too) makes one empty
  // block, which puts nothing on the line and completes with 0.
  for (const int64_t size : {int64_t{-40}, int64_t{-1}, int64_t{INT32_MIN}}) {
    for (const char* op : {"SendDeviceCardListBS", "SendAutDeviceCardListBS"}) {
      const TCall c = Invoke(op, {{"Cl", rows}, {"ClSize", size}, {"MakeAdr", int64_t{kModem}}});
      ASSERT_EQ(Value(c), 0) << op << " " << size;
      EXPECT_EQ(SentCommands().size(), 0u) << op << " " << size;
      EXPECT_EQ(Answer(static_cast<int32_t>(Out(c, "EventID"))).Value, 0) << op << " " << size;
    }
  }
}

TEST_F(CardOpsTest, CalendarBufferRoundTrip) {
  EXPECT_EQ(Value(Invoke("PrepareCalendarBuf", {{"Month", int64_t{0}}, {"b1", int64_t{9}}})), 58);
  EXPECT_EQ(Value(Invoke("PrepareCalendarBuf", {{"Month", int64_t{13}}, {"b1", int64_t{9}}})), 58);
  EXPECT_EQ(calendar_.Copy(), (std::array<uint8_t, 96>{})) << "left unchanged";
  std::map<std::string, TArgValue> m = {{"Month", int64_t{1}}};
  for (int i = 1; i <= 8; ++i) m["b" + std::to_string(i)] = int64_t{i};
  ASSERT_EQ(Value(Invoke("PrepareCalendarBuf", m)), 0);
  m["Month"] = int64_t{12};
  m["b8"] = int64_t{0xAA};
  ASSERT_EQ(Value(Invoke("PrepareCalendarBuf", m)), 0);
  EXPECT_EQ(Value(Invoke("SendCalendar")), 31);
  Configure();
  ASSERT_EQ(Value(Invoke("SendCalendar")), 0);
  std::vector<uint8_t> expected = {255, 255, 0x10, 1, 2, 3, 4, 5, 6, 7, 8};
  expected.resize(3 + 88, 0);
  for (int i = 1; i <= 7; ++i) expected.push_back(static_cast<uint8_t>(i));
  expected.push_back(0xAA);
  EXPECT_EQ(SentCommand(), expected);
  Invoke("ClearCalendarBuf");
  ASSERT_EQ(Value(Invoke("SendCalendar")), 0);
  expected.assign(3 + 96, 0);
  expected[0] = expected[1] = 255;
  expected[2] = 0x10;
  EXPECT_EQ(SentCommand(), expected);
}

TEST_F(CardOpsTest, ScheduleRecords) {
  Configure();
  std::map<std::string, TArgValue> tz = {{"ZoneNumber", int64_t{4}}, {"H1Start", int64_t{8}}, {"M1Start", int64_t{0}},
                                         {"H1End", int64_t{17}}, {"M1End", int64_t{30}}};
  ASSERT_EQ(Value(Invoke("SendTimeZone", tz)), 0);
  std::vector<uint8_t> expected = {255, 255, 0x11, 4, 0xE0, 0x14, 0x1A};
  expected.resize(3 + 25, 0);
  EXPECT_EQ(SentCommand(), expected);
  tz["H2End"] = int64_t{1093};  // 65580 minutes
  EXPECT_THROW(Invoke("SendTimeZone", tz), TAutomationError);
  tz["H2End"] = int64_t{-1};
  EXPECT_THROW(Invoke("SendTimeZone", tz), TAutomationError);

  EXPECT_EQ(Value(Invoke("SendWeekDiagram", {{"DiagramNumber", int64_t{128}}})), 59);
  ASSERT_EQ(Value(Invoke("SendWeekDiagram", {{"DiagramNumber", int64_t{127}}, {"Zone1", int64_t{3}}, {"Zone10", int64_t{9}}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{255, 255, 0x12, 127, 3, 0, 0, 0, 0, 0, 0, 0, 0, 9}));

  std::map<std::string, TArgValue> sh = {{"DiagramNumber", int64_t{32}}, {"DayCount", int64_t{7}}, {"CurDay", int64_t{8}}};
  EXPECT_EQ(Value(Invoke("SendShiftDiagram", sh)), 60);
  sh["DiagramNumber"] = int64_t{31};
  EXPECT_EQ(Value(Invoke("SendShiftDiagram", sh)), 62);
  sh["DayCount"] = int64_t{31};
  EXPECT_EQ(Value(Invoke("SendShiftDiagram", sh)), 61);
  sh["DayCount"] = int64_t{7};
  sh["CurDay"] = int64_t{7};
  sh["Days1_3"] = int64_t{0x030201};
  sh["Days28_30"] = int64_t{0x7F0A0B0C};  // the fourth byte is not sent
  ASSERT_EQ(Value(Invoke("SendShiftDiagram", sh)), 0);
  expected = {255, 255, 0x13, 31, 7, 7, 1, 2, 3};
  expected.resize(3 + 30, 0);
  expected.insert(expected.end(), {0x0C, 0x0B, 0x0A});
  EXPECT_EQ(SentCommand(), expected);
  sh["Days4_6"] = int64_t{-1};
  EXPECT_THROW(Invoke("SendShiftDiagram", sh), TAutomationError);
}

TEST_F(CardOpsTest, WholeTablesNeedTheirFullBounds) {
  EXPECT_EQ(Value(Invoke("SendShiftListBS")), 31);
  Configure();
  std::vector<std::vector<int64_t>> rows(32, std::vector<int64_t>(32, 0));
  rows[0][0] = 0x1FF;
  rows[31][31] = 7;
  ASSERT_EQ(Value(Invoke("SendShiftListBS", {{"ShiftList", Array(rows, {})}})), 0);
  const auto sent = SentCommands();
  ASSERT_EQ(sent.size(), 32u);
  EXPECT_EQ(std::vector<uint8_t>(sent[0].begin(), sent[0].begin() + 5), (std::vector<uint8_t>{255, 255, 0x13, 0, 0xFF}));
  EXPECT_EQ(sent[31].back(), 7);
  rows.pop_back();
  EXPECT_THROW(Invoke("SendShiftListBS", {{"ShiftList", Array(rows, {})}}), TAutomationError);
  // Explicit bounds that start at 1 miss row 0.
  rows.assign(32, std::vector<int64_t>(32, 0));
  EXPECT_THROW(Invoke("SendShiftListBS", {{"ShiftList", Array(rows, {1, 1})}}), TAutomationError);
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(CardOpsTest, ArrayElementsOutsideTheSigned32BitRangeFailTheCallAndSendNothing) {
  Ready();
  const int64_t k2p32 = int64_t{1} << 32;
  // 2^56 in the card number's high column once wrapped to card 150.
  auto rows = std::vector<std::vector<int64_t>>{CardRow(150)};
  rows[0][2] = int64_t{1} << 56;
  EXPECT_THROW(Invoke("SendDeviceCardList", {{"ACards", Array(rows)}, {"AMakeAdr", int64_t{kModem}}}), TAutomationError);
  // The largest high column is only a card number beyond 16 bits.
  rows[0][2] = INT32_MAX;
  EXPECT_EQ(Value(Invoke("SendDeviceCardList", {{"ACards", Array(rows)}, {"AMakeAdr", int64_t{kModem}}})), 91);
  std::vector<std::vector<int64_t>> shifts(32, std::vector<int64_t>(32, 0));
  shifts[0][0] = k2p32 + 7;
  EXPECT_THROW(Invoke("SendShiftListBS", {{"ShiftList", Array(shifts, {})}}), TAutomationError);
  shifts[0][0] = INT32_MIN - int64_t{1};
  EXPECT_THROW(Invoke("SendShiftListBS", {{"ShiftList", Array(shifts, {})}}), TAutomationError);
  EXPECT_THROW(Invoke("SendCardSegmentsBS", {{"Segmrnts", Array({{0, 7, k2p32, 0, 5, 0, 1, 0, 0}})}, {"SegmentsCount", int64_t{1}}}),
               TAutomationError);
  EXPECT_THROW(Invoke("SendDeviceCardListBS", {{"Cl", Array({{1, 0, k2p32 + 3, 0, 0, 0}})}, {"ClSize", int64_t{1}}}),
               TAutomationError);
  // A decimal string or a float is held to the same range.
  TVariant aut = Array({{7, 8, 9}});
  aut.Items[0].Items[1].What = TVariant::Kind::String;
  aut.Items[0].Items[1].Text = "4294967304";
  EXPECT_THROW(Invoke("SendAutDeviceCardListBS", {{"Cl", aut}, {"ClSize", int64_t{1}}, {"MakeAdr", int64_t{kPrimary}}}),
               TAutomationError);
  aut.Items[0].Items[1].What = TVariant::Kind::Float;
  aut.Items[0].Items[1].Float = 4294967304.0;
  EXPECT_THROW(Invoke("SendAutDeviceCardListBS", {{"Cl", aut}, {"ClSize", int64_t{1}}, {"MakeAdr", int64_t{kPrimary}}}),
               TAutomationError);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_TRUE(SentCommands().empty()) << "nothing reached the line";
  // Both ends of the range go through, as their low bytes.
  shifts[0][0] = INT32_MAX;
  shifts[0][1] = INT32_MIN;
  ASSERT_EQ(Value(Invoke("SendShiftListBS", {{"ShiftList", Array(shifts, {})}})), 0);
  const auto sent = SentCommands();
  ASSERT_EQ(sent.size(), 32u);
  EXPECT_EQ(std::vector<uint8_t>(sent[0].begin(), sent[0].begin() + 6), (std::vector<uint8_t>{255, 255, 0x13, 0, 0xFF, 0x00}));
}

TEST_F(CardOpsTest, SegmentArrayRowsThatHoldNoIndexAreRefusedBeforeAnythingIsQueued) {
  Configure();
  // Row: number, facility, first (low, high), last (low, high), first index
  // (low, high), sent flag element.
  const std::vector<int64_t> good = {0, 12, 0xE8, 0x03, 0x19, 0x04, 1, 0, 0};  // 12/1000..1049 at 1
  const std::vector<int64_t> reversed = {1, 7, 0x2C, 0x01, 0xC8, 0x00, 51, 0, 0};  // 7/300..200
  const std::vector<int64_t> pastTheLine = {1, 7, 0, 0, 100, 0, 0xDD, 0xFF, 0};  // 65501..65601
  for (const auto& bad : {reversed, pastTheLine}) {
    const TCall c = Invoke("SendCardSegmentsBS", {{"EventID", int64_t{4}}, {"Segmrnts", Array({good, bad})},
                                                  {"SegmentsCount", int64_t{2}}});
    EXPECT_EQ(Value(c), 38);
    EXPECT_EQ(Out(c, "EventID"), 4);
  }
  EXPECT_EQ(Queued(), 0u);
  EXPECT_TRUE(SentCommands().empty());
  EXPECT_EQ(core_->Segments.ActiveCount(), 0u);
  // A single card, and a segment that ends on index 65535, hold indexes.
  const std::vector<int64_t> single = {1, 7, 0x2C, 0x01, 0x2C, 0x01, 51, 0, 0};
  const std::vector<int64_t> toTheEnd = {2, 8, 0, 0, 100, 0, 0x9B, 0xFF, 0};  // 65435..65535
  ASSERT_EQ(Value(Invoke("SendCardSegmentsBS", {{"Segmrnts", Array({good, single, toTheEnd})}, {"SegmentsCount", int64_t{3}}})), 0);
  EXPECT_EQ(SentCommands().size(), 4u);
  EXPECT_EQ(core_->Segments.ActiveCount(), 3u);
}
