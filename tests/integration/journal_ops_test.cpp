// The registration-journal operations in process: the checks of the queued
// read, taking one event or up to 1024, arrays that are too small or
// malformed (nothing is taken), and clearing.
#include <gtest/gtest.h>

#include "automation_fixture.h"
#include "util/result_codes.h"

using namespace vexon;
using namespace vexon::testing;

namespace {

class JournalOpsTest : public AutomationTest {
 protected:
  // n events of one second each from 2026-05-01 10:00:00, card indexes
  // 1..n (kind-2 card events at reader 2 of the modem controller).
  void AddEvents(int n) {
    TEvList page;
    for (int i = 0; i < n; ++i) {
      TEvItem ev;
      ev.Day = 1;
      ev.Month = 5;
      ev.Year = 2026;
      ev.Seconds = 36000 + i % 3600;
      ev.MakeAdr = static_cast<uint16_t>(kModem);
      ev.AdrAdd = 2;
      ev.EventType = 2;
      ev.Event = 3;
      ev.CardID = static_cast<uint16_t>(i + 1);
      page.push_back(ev);
    }
    ASSERT_TRUE(core_->RegJournal.AddEvents(page));
  }
  static TVariant Matrix(int rows, int columns, int32_t low1 = 1, int32_t low2 = 1) {
    TVariant a;
    a.What = TVariant::Kind::Array;
    a.LBound = {low1, low2};
    TVariant row;
    row.What = TVariant::Kind::Array;
    row.LBound = {low2};
    row.Items.resize(static_cast<size_t>(columns));
    a.Items.assign(static_cast<size_t>(rows), row);
    return a;
  }
  static const TVariant& ArrayOut(const TCall& c) {
    for (size_t i = 0; i < c.Op().Args.size(); ++i)
      if (c.Op().Args[i].Name == "EventArray") return std::get<TVariant>(c.Args()[i]);
    throw std::runtime_error("no EventArray");
  }
};

}  // namespace

TEST_F(JournalOpsTest, QueuedReadChecks) {
  EXPECT_EQ(Value(Invoke("GetRegJournal", {{"MakeAdr", int64_t{kModem}}})), 31);
  Configure();
  EXPECT_EQ(Value(Invoke("GetRegJournal", {{"MakeAdr", int64_t{0x7777}}})), 32);
  EXPECT_THROW(Invoke("GetRegJournal", {{"MakeAdr", int64_t{65536}}}), TAutomationError);
  EXPECT_EQ(core_->Requests.RequestCount(), 0u);
  sim_.AddRegRecord(2, {(1 << 5) | 1, 0x80, 9, 0});
  const TCall c = Invoke("GetRegJournal", {{"MakeAdr", int64_t{kModem}}});
  ASSERT_EQ(Value(c), 0);
  Drain();
  EXPECT_EQ(Answer(static_cast<int32_t>(Out(c, "EventID"))).Value, 0);
  EXPECT_EQ(core_->RegJournal.Count(), 1u);
}

TEST_F(JournalOpsTest, TakeOneEventAtATime) {
  const TCall empty = Invoke("GetRegEvent", {{"Year", int64_t{7}}});
  EXPECT_EQ(Value(empty), 67);
  EXPECT_EQ(Out(empty, "Year"), 7) << "nothing written on 67";
  AddEvents(2);
  const TCall c = Invoke("GetRegEvent");
  ASSERT_EQ(Value(c), 0);
  EXPECT_EQ(Out(c, "Year"), 2026);
  EXPECT_EQ(Out(c, "Month"), 5);
  EXPECT_EQ(Out(c, "Day"), 1);
  EXPECT_EQ(Out(c, "Hour"), 10);
  EXPECT_EQ(Out(c, "Minute"), 0);
  EXPECT_EQ(Out(c, "Second"), 0);
  EXPECT_EQ(Out(c, "MakeAdr"), kModem);
  EXPECT_EQ(Out(c, "AdrAdd"), 2);
  EXPECT_EQ(Out(c, "EventType"), 2);
  EXPECT_EQ(Out(c, "Event"), 3);
  EXPECT_EQ(Out(c, "Alarm"), 0);
  EXPECT_EQ(Out(c, "CardID"), 1);
  EXPECT_EQ(Out(Invoke("GetRegEvent"), "CardID"), 2);
  EXPECT_EQ(Value(Invoke("GetRegEvent")), 67);
}

TEST_F(JournalOpsTest, ArrayTakesAtMost1024PerCall) {
  const TCall none = Invoke("GetRegEventArray", {{"EventArray", Matrix(1024, 13)}, {"Count", int64_t{5}}});
  EXPECT_EQ(Value(none), 67);
  EXPECT_EQ(Out(none, "Count"), 0);
  AddEvents(1500);
  const TCall first = Invoke("GetRegEventArray", {{"EventArray", Matrix(1100, 13)}});
  EXPECT_EQ(Value(first), 0) << "more may be waiting";
  EXPECT_EQ(Out(first, "Count"), 1024);
  const TVariant& a = ArrayOut(first);
  EXPECT_EQ(a.Items[0].Items[0].Int, 2026);
  EXPECT_EQ(a.Items[0].Items[12].Int, 1);
  EXPECT_EQ(a.Items[1023].Items[12].Int, 1024);
  EXPECT_EQ(a.Items[1024].Items[12].What, TVariant::Kind::Null) << "rows past Count untouched";
  // A null array gets a fresh one of 1024 rows.
  const TCall second = Invoke("GetRegEventArray");
  EXPECT_EQ(Value(second), 67) << "the journal has been emptied";
  EXPECT_EQ(Out(second, "Count"), 476);
  const TVariant& b = ArrayOut(second);
  EXPECT_EQ(b.Items.size(), 1024u);
  EXPECT_EQ(b.Items[475].Items[12].Int, 1500);
  EXPECT_EQ(b.Items[475].Items[7].Int, 2) << "AdrAdd";
}

TEST_F(JournalOpsTest, SmallOrMalformedArraysTakeNothing) {
  AddEvents(10);
  // Room for 3 rows: three are taken, Value 0 (more waiting).
  const TCall small = Invoke("GetRegEventArray", {{"EventArray", Matrix(3, 13)}});
  EXPECT_EQ(Value(small), 0);
  EXPECT_EQ(Out(small, "Count"), 3);
  EXPECT_EQ(core_->RegJournal.Count(), 7u);
  // Too few columns, a row 1 outside the array, one dimension: the call
  // fails and every event stays.
  EXPECT_THROW(Invoke("GetRegEventArray", {{"EventArray", Matrix(5, 12)}}), TAutomationError);
  EXPECT_THROW(Invoke("GetRegEventArray", {{"EventArray", Matrix(5, 13, 2, 1)}}), TAutomationError);
  TVariant flat;
  flat.What = TVariant::Kind::Array;
  flat.LBound = {1};
  flat.Items.resize(13);
  EXPECT_THROW(Invoke("GetRegEventArray", {{"EventArray", flat}}), TAutomationError);
  EXPECT_EQ(core_->RegJournal.Count(), 7u);
  // Lower bounds of 0 put event 1 in row 1, the second element.
  const TCall zero = Invoke("GetRegEventArray", {{"EventArray", Matrix(2, 14, 0, 0)}});
  EXPECT_EQ(Out(zero, "Count"), 1);
  EXPECT_EQ(ArrayOut(zero).Items[1].Items[13].Int, 4);
  EXPECT_EQ(ArrayOut(zero).Items[0].Items[0].What, TVariant::Kind::Null);
  Invoke("ClearRegJournal");
  EXPECT_EQ(Value(Invoke("GetRegEvent")), 67);
}
