// Card-list transfers against the simulator: one block per executor step,
// overtaking between blocks, the end of a transfer on a failed block, the
// autonomous list's commands, and the segment transfer's copy.
#include <gtest/gtest.h>

#include <functional>

#include "core/card_blocks.h"
#include "core_fixture.h"
#include "util/result_codes.h"

using namespace vexon;
using namespace vexon::testing;
using sim::TSimFault;

namespace {

constexpr int32_t kModem = 0x20 + 4096;  // MakeAdr of SysAdr 2

// Calls `after(n)` after the n-th step of a multi-pass transfer.
class THookedSteps final : public TMultiPass {
 public:
  THookedSteps(TMultiPass& inner, std::function<void(int)> after) : inner_(inner), after_(std::move(after)) {}
  bool Step(const TRequestPtr& r, const std::string& key) override {
    const bool done = inner_.Step(r, key);
    after_(++steps_);
    return done;
  }

 private:
  TMultiPass& inner_;
  std::function<void(int)> after_;
  int steps_ = 0;
};

TCardBufList RawList(int n) {
  TCardBufList l;
  const TCellReader cell = [](int32_t row, int32_t col, int32_t& v, std::string&) {
    v = col == 1 ? row : (col == 3 ? 1 : 0);
    return true;
  };
  EXPECT_TRUE(BuildCardBlocks(cell, n, l).Ok());
  return l;
}

TAutCardBufList AutList(int n) {
  TAutCardBufList l;
  const TCellReader cell = [](int32_t row, int32_t col, int32_t& v, std::string&) {
    v = row * 3 + col;
    return true;
  };
  EXPECT_TRUE(BuildAutCardBlocks(cell, n, l).Ok());
  return l;
}

class CardTransferTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    OpenPort();
    Autoconfigure();
  }
  int32_t PutList(int32_t makeAdr, TCardBufList l) {
    return PutObj(rkSendCard, std::make_unique<TSendCardListItem>(makeAdr, std::move(l)), bkList);
  }
  int32_t PutAutList(int32_t makeAdr, TAutCardBufList l) {
    return PutObj(rkSendAutCardList,
                  std::make_unique<TSendAutCardListItem>(makeAdr, core_->Model.Addresses.FindSysAdr(makeAdr),
                                                         std::move(l)),
                  bkList);
  }
  std::vector<uint8_t> Commands() const {
    std::vector<uint8_t> out;
    for (const auto& f : sim_.ReceivedFrames()) out.push_back(f[4]);
    return out;
  }
  THookedSteps Hook(std::function<void(int)> after) { return THookedSteps(executor_->Steps(), std::move(after)); }
};

}  // namespace

TEST_F(CardTransferTest, BlocksGoOnePerStepAndHigherClassesOvertake) {
  // 45 cards: blocks of 20, 20 and 5 entries. After the first block an
  // alarm (class "01") is put in; it goes before the second block.
  int32_t alarm = 0;
  THookedSteps hook = Hook([&](int n) {
    if (n == 1) alarm = PutBuf({2, 0, 68});
  });
  executor_->SetMultiPass(&hook);
  const int32_t id = PutList(kModem, RawList(45));
  Drain();
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x23, 0x44, 0x23, 0x23}));
  const auto frames = sim_.ReceivedFrames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0][1], 3 + 120) << "a full block of 20 entries";
  EXPECT_EQ(frames[0][2], 2) << "addressed to the controller's SysAdr";
  EXPECT_EQ(std::vector<uint8_t>(frames[0].begin() + 5, frames[0].begin() + 11),
            (std::vector<uint8_t>{1, 0, 1, 0, 0, 0}));
  EXPECT_EQ(frames[2][5], 21) << "the second block starts with row 21";
  EXPECT_EQ(frames[3][1], 3 + 30);
  EXPECT_EQ(frames[3][5], 41);
  const TQAnswerItem a = Answer(id);
  EXPECT_EQ(a.Value, 0);
  EXPECT_EQ(a.Int1, 1) << "the outputs of the last block";
  EXPECT_EQ(a.Int2, 1);
  EXPECT_EQ(Answer(alarm).Value, 0);
}

TEST_F(CardTransferTest, AnswerStaysPendingBetweenBlocks) {
  std::vector<int32_t> states;
  int32_t id = 0;
  THookedSteps hook = Hook([&](int) { states.push_back(core_->Answers.GetCommandState(id)); });
  executor_->SetMultiPass(&hook);
  id = PutList(kModem, RawList(40));  // 20, 20 and an empty last block
  Drain();
  EXPECT_EQ(states, (std::vector<int32_t>{-1, -1, 0}));
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x23, 0x23})) << "the empty block is passed over";
  EXPECT_EQ(Answer(id).Int1, 0) << "an empty last block reports no numbers";
}

TEST_F(CardTransferTest, FailedBlockEndsTheTransferAndTheRestIsNeverSent) {
  THookedSteps hook = Hook([&](int n) {
    if (n == 1)
      for (int i = 0; i < 3; ++i) sim_.InjectFault({TSimFault::NoAnswer, 0});
  });
  executor_->SetMultiPass(&hook);
  const int32_t id = PutList(kModem, RawList(45));
  Drain();
  const TQAnswerItem a = Answer(id);
  EXPECT_EQ(a.Value, 26) << "no answer";
  EXPECT_EQ(a.Int1, 0);
  for (const auto& f : sim_.ReceivedFrames()) EXPECT_NE(f[5], 41) << "the third block went out";
  EXPECT_EQ(core_->Requests.RequestCount(), 0u);
}

TEST_F(CardTransferTest, WrongQualityOnABlockEndsTheTransfer) {
  THookedSteps hook = Hook([&](int n) {
    if (n == 1)
      for (int i = 0; i < 3; ++i) sim_.InjectFault({TSimFault::Quality, 0});
  });
  executor_->SetMultiPass(&hook);
  const int32_t id = PutList(kModem, RawList(45));
  Drain();
  EXPECT_EQ(Answer(id).Value, 27);
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x23, 0x23, 0x23, 0x23})) << "one block, then one repeated three times";
  EXPECT_EQ(sim_.ReceivedFrames().back()[5], 21);
}

TEST_F(CardTransferTest, ListsWithoutBlocksFinishWithoutTraffic) {
  // A failed request first leaves a link status behind.
  const int32_t bad = PutObj(rkClearCardList, std::make_unique<TMakeAdrItem>(0x7777));
  Drain();
  ASSERT_EQ(Answer(bad).Value, rcBadController);
  sim_.ClearReceived();
  const int32_t aut = PutAutList(564, AutList(0));
  Drain();
  const int32_t empty = PutList(kModem, RawList(0));
  Drain();
  EXPECT_EQ(sim_.FrameCount(), 0u);
  EXPECT_EQ(Answer(aut).Value, 0) << "not the failure of the request before";
  EXPECT_EQ(Answer(empty).Value, 0);
}

TEST_F(CardTransferTest, AutonomousListUsesIntermediateThenLastBlockCommand) {
  // The modem controller's second driver is merged: the shortcut would
  // answer without traffic, so take the primary controller.
  const int32_t id = PutAutList(564, AutList(81));
  Drain();
  ASSERT_EQ(Commands(), (std::vector<uint8_t>{0x25, 0x25, 0x26}));
  const auto frames = sim_.ReceivedFrames();
  ASSERT_EQ(frames.size(), 3u);
  ASSERT_GE(frames[2].size(), 8u);
  EXPECT_EQ(frames[2][1], 3 + 3);
  EXPECT_EQ(std::vector<uint8_t>(frames[2].begin() + 5, frames[2].begin() + 8),
            (std::vector<uint8_t>{244, 245, 246}))
      << "row 81's three bytes";
  EXPECT_EQ(Answer(id).Value, 0);
  sim_.ClearReceived();
  PutAutList(564, AutList(1));
  Drain();
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x26})) << "a single block is the last one";
}

TEST_F(CardTransferTest, AutonomousShortcutAndUnknownController) {
  const int32_t merged = PutAutList(kModem, AutList(81));
  const int32_t unknown = PutAutList(0x7777, AutList(5));
  Drain();
  const TQAnswerItem a = Answer(merged);
  EXPECT_EQ(std::vector<int32_t>({a.Value, a.Int1, a.Int2, a.Int3}), (std::vector<int32_t>{0, 1, 1, 1}));
  EXPECT_EQ(Answer(unknown).Value, rcBadController);
  EXPECT_EQ(sim_.FrameCount(), 0u);
}

TEST_F(CardTransferTest, OversizedBlockIsRefusedNotCut) {
  TTransactResult t;
  std::vector<uint8_t> data(253, 1);
  EXPECT_FALSE(core_->Commands.SendCardBlock(0x23, kModem, data.data(), data.size(), t));
  EXPECT_EQ(core_->Link.GetLinkResult(), rcBadCommand);
  EXPECT_EQ(sim_.FrameCount(), 0u);
  data.resize(252);
  EXPECT_TRUE(core_->Commands.SendCardBlock(0x23, kModem, data.data(), data.size(), t));
}

TEST_F(CardTransferTest, ClearRequestsEndsATransferWith88) {
  int32_t id = 0;
  THookedSteps hook = Hook([&](int n) {
    if (n == 1) core_->Requests.ClearRequests();
  });
  executor_->SetMultiPass(&hook);
  id = PutList(kModem, RawList(45));
  Drain();
  EXPECT_EQ(Answer(id).Value, rcAbortedByAutoconfig);
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x23}));
}

TEST_F(CardTransferTest, SegmentTransferSendsTheSegmentsAsQueued) {
  core_->Segments.AddPendingSegment(1, 100, 199);
  core_->Segments.AddPendingSegment(2, 1, 10);
  auto numbered = std::make_unique<TCardList>();
  ASSERT_EQ(core_->Segments.NumberPendingSegments(*numbered), 0);
  const int32_t id = PutObj(rkSendSegments, std::move(numbered));
  // Edited before the transfer runs: neither edit may reach the controllers
  // or the active list.
  core_->Segments.ClearPendingSegments();
  core_->Segments.AddPendingSegment(9, 1, 5);
  Drain();
  EXPECT_EQ(Answer(id).Value, 0);
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x21, 0x20, 0x20}));
  const TCardList active = core_->Segments.ActiveCopy();
  ASSERT_EQ(active.Count(), 2u);
  EXPECT_EQ(active.At(1).FacilityCode, 2);
  EXPECT_EQ(active.At(1).FirstIndex, 101);
  EXPECT_EQ(active.At(1).Sent, 1);
  uint16_t index = 0;
  EXPECT_EQ(core_->Segments.GetSystemIndexFromCard(1, 150, index), TLookup::Found);
  EXPECT_EQ(index, 51);
}

TEST_F(CardTransferTest, SegmentWithWrongQualityIsReportedAtTheEnd) {
  core_->Segments.AddPendingSegment(1, 100, 199);
  core_->Segments.AddPendingSegment(2, 1, 10);
  auto numbered = std::make_unique<TCardList>();
  ASSERT_EQ(core_->Segments.NumberPendingSegments(*numbered), 0);
  // 0x21 answered normally, the first segment three times with one
  // controller missing, the second segment normally.
  sim_.InjectFault({TSimFault::Waits, 0});
  for (int i = 0; i < 3; ++i) sim_.InjectFault({TSimFault::Quality, 1});
  const int32_t id = PutObj(rkSendSegments, std::move(numbered));
  Drain();
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x21, 0x20, 0x20, 0x20, 0x20}));
  const TQAnswerItem a = Answer(id);
  EXPECT_EQ(a.Value, 27) << "a controller lacks the first segment";
  EXPECT_EQ(a.Int1, 1) << "the smallest quality seen";
  EXPECT_EQ(core_->Segments.ActiveCount(), 2u);
}

TEST_F(CardTransferTest, ClearingThatReachedTooFewControllersIsNotASuccess) {
  // 0x21 answered three times with one controller missing: the pending
  // form sends its segments all the same and ends with 27; the form that
  // carries a client's list stops there.
  core_->Segments.AddPendingSegment(1, 100, 199);
  core_->Segments.AddPendingSegment(2, 1, 10);
  auto numbered = std::make_unique<TCardList>();
  ASSERT_EQ(core_->Segments.NumberPendingSegments(*numbered), 0);
  TCardList carried = *numbered;
  for (int i = 0; i < 3; ++i) sim_.InjectFault({TSimFault::Quality, 1});
  int32_t id = PutObj(rkSendSegments, std::move(numbered));
  Drain();
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x21, 0x21, 0x21, 0x20, 0x20}));
  TQAnswerItem a = Answer(id);
  EXPECT_EQ(a.Value, 27);
  EXPECT_EQ(a.Int1, 1) << "the smallest quality seen";
  EXPECT_EQ(core_->Segments.ActiveCopy().At(1).FacilityCode, 2) << "the segments sent are the active list";

  core_->Segments.ClearActive();
  sim_.ClearReceived();
  for (int i = 0; i < 3; ++i) sim_.InjectFault({TSimFault::Quality, 1});
  id = PutObj(rkSendSegments, std::make_unique<TCardList>(carried), bkList);
  Drain();
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x21, 0x21, 0x21}));
  a = Answer(id);
  EXPECT_EQ(a.Value, 27);
  EXPECT_EQ(core_->Segments.ActiveCount(), 0u) << "a stopped transfer leaves the active list";
}
