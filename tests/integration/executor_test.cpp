#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core_fixture.h"
#include "link/frames.h"
#include "model/system_file.h"
#include "util/result_codes.h"

using namespace vexon;
using namespace vexon::testing;
using sim::TSimFault;

using ExecutorTest = CoreTest;

TEST_F(ExecutorTest, AutoconfigurationBuildsListsReadsStatusAndSaves) {
  OpenPort();
  const int32_t id = PutBuf({255, 255, 0});
  EXPECT_EQ(core_->Answers.GetCommandState(id), -1);
  Drain();
  EXPECT_EQ(Answer(id).Value, 0);
  TDeviceModel& m = core_->Model;
  ASSERT_EQ(m.Controllers.Count(), 3u);
  TTKDItem r;
  ASSERT_TRUE(m.Controllers.GetRecord(2, r));
  EXPECT_EQ(r.MakeAdr, 0x20 + 4096);
  EXPECT_EQ(r.Modem, 1);
  EXPECT_EQ(r.DrvCount, 1);
  EXPECT_EQ(r.Drv2Merged, 1);
  EXPECT_EQ(r.USCSValid, 0) << "the status read stores the bytes and their time only";
  EXPECT_EQ(r.USCSChanged, 0);
  EXPECT_EQ(r.Status[2], 0x3F);
  EXPECT_DOUBLE_EQ(r.StatusTime, clock_.Now());
  EXPECT_EQ(m.Addresses.FindSysAdr(0x20 + 4096), 2);
  TDescriptor d;
  ASSERT_EQ(m.GetControllerDesc(3, d), 0);
  EXPECT_EQ(d[5], 0);
  EXPECT_EQ(core_->Port.ReadTotalTimeout(), 2400u) << "3 controllers x 800 ms";
  EXPECT_EQ(FileBytes(core_->SystemFilePath()).size(), 180u);
  EXPECT_EQ(display_.Status(), "работа");
  EXPECT_EQ(display_.DataState(), "пропуска");
  // Frames: status query of 0, the autoconfiguration, then one status query
  // per controller.
  const auto frames = sim_.ReceivedFrames();
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[1], (std::vector<uint8_t>{0x01, 0x03, 0xFF, 0xFF, 0x00, 0x02}));
  EXPECT_EQ(frames[4][5], 2);
}

TEST_F(ExecutorTest, AutoconfigurationFailuresKeepThePreviousLists) {
  OpenPort();
  Autoconfigure();
  const auto before = FileBytes(core_->SystemFilePath());

  uint8_t block[32];
  const uint8_t twelve[12] = {0, 1, 0, 0x80, 0, 0, 0, 0, 1, 2, 0, 0};
  const size_t bl = BuildAnswerFrame(0x03, twelve, 12, block);
  uint8_t close[8];
  const size_t cl = BuildAnswerFrame(0x0F, nullptr, 0, close);
  sim_.WithNetwork([&](sim::TSimNetwork& n) {
    n.AutoconfigBursts = {std::vector<uint8_t>(block, block + bl), std::vector<uint8_t>(close, close + cl)};
  });
  int32_t id = PutBuf({255, 255, 0});
  Drain();
  EXPECT_EQ(Answer(id).Value, 21) << "a block of 12 bytes is not whole descriptors";
  EXPECT_EQ(core_->Model.Controllers.Count(), 3u);
  EXPECT_EQ(core_->Model.DeviceInfo.Count(), 0u) << "emptied at the start in any case";

  const uint8_t one[8] = {0, 1, 0, 0x80, 0, 0, 0, 0};
  const size_t gl = BuildAnswerFrame(0x03, one, 8, block);
  const size_t wl = BuildAnswerFrame(0x0E, nullptr, 0, close);
  sim_.WithNetwork([&](sim::TSimNetwork& n) {
    n.AutoconfigBursts = {std::vector<uint8_t>(block, block + gl), std::vector<uint8_t>(close, close + wl)};
  });
  id = PutBuf({255, 255, 0});
  Drain();
  EXPECT_EQ(Answer(id).Value, 20) << "closing frame 0x0E";
  EXPECT_EQ(core_->Model.Controllers.Count(), 3u);

  sim_.InjectFault({TSimFault::NoAnswer});
  id = PutBuf({255, 255, 0});
  Drain();
  EXPECT_EQ(Answer(id).Value, 26) << "the primary does not answer the first status query";
  EXPECT_EQ(FileBytes(core_->SystemFilePath()), before);
}

TEST_F(ExecutorTest, AutoconfigurationWhoseClosingFrameCameInTheSameReadEndsAtOnce) {
  // A server held off the processor while the network paused before its
  // closing frame reads the blocks and the closing frame in one go.
  OpenPort();
  uint8_t frames[64];
  const uint8_t one[8] = {0, 1, 0, 0x80, 0, 0, 0, 0};
  size_t n = BuildAnswerFrame(0x03, one, 8, frames);
  n += BuildAnswerFrame(0x0F, nullptr, 0, frames + n);
  sim_.WithNetwork([&](sim::TSimNetwork& net) { net.AutoconfigBursts = {std::vector<uint8_t>(frames, frames + n)}; });
  const int32_t id = PutBuf({255, 255, 0});
  Drain();
  EXPECT_EQ(Answer(id).Value, 0) << "not a wait for a second closing frame";
  EXPECT_EQ(core_->Model.Controllers.Count(), 1u);
  EXPECT_EQ(core_->Model.DeviceInfo.Count(), 1u);
}

TEST_F(ExecutorTest, ClockAndWeekTableFramesAreByteExact) {
  OpenPort();
  Autoconfigure();
  // 14:05:09 on Tuesday 2 March 2004.
  uint8_t clockData[7];
  EncodeClock(EncodeDateTime({2004, 3, 2, 14, 5, 9, 0}), clockData);
  std::vector<uint8_t> req = {255, 255, 5};
  req.insert(req.end(), clockData, clockData + 7);
  const int32_t id = PutBuf(req);
  Drain();
  EXPECT_EQ(Answer(id).Value, 0);
  ASSERT_EQ(sim_.FrameCount(), 1u);
  const std::vector<uint8_t> expect = {0x01, 0x0A, 0xFF, 0xFF, 0x05, 0x09, 0x05, 0x14, 0x03, 0x02, 0x03, 0x04};
  auto f = sim_.ReceivedFrames()[0];
  EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.end() - 1), expect);
  EXPECT_EQ(f.back(), FrameChecksum(f.data(), f.size()));

  sim_.ClearReceived();
  std::vector<uint8_t> table(1280);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(i);
  const int32_t wid = PutObj(rkSendWeekDiagram, std::make_unique<TLongBufItem>(table.data(), 1280), bkList);
  Drain();
  const TQAnswerItem a = Answer(wid);
  EXPECT_EQ(a.Value, 0);
  EXPECT_EQ(a.Int1, 2);
  EXPECT_EQ(a.Int2, 2);
  const auto frames = sim_.ReceivedFrames();
  ASSERT_EQ(frames.size(), 128u);
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(frames[i].size(), 17u);
    EXPECT_EQ(frames[i][4], 0x12);
    EXPECT_EQ(frames[i][5], i);
  }
  const auto diagrams = sim_.NetworkCopy().WeekDiagrams;
  ASSERT_EQ(diagrams.count(127), 1u) << "the last diagram reached the controller";
  EXPECT_EQ(diagrams.at(127), std::vector<uint8_t>(table.begin() + 1270, table.end()));
}

TEST_F(ExecutorTest, GateWithBrokenPrimaryConfiguration) {
  OpenPort();
  Autoconfigure();
  core_->Health.PrimaryConfigBroken = true;
  int32_t id = PutBuf({2, 0x21, 66});
  Drain();
  EXPECT_EQ(Answer(id).Value, 13);
  EXPECT_EQ(sim_.FrameCount(), 0u);

  id = PutBuf({255, 255, 0});
  Drain();
  EXPECT_EQ(Answer(id).Value, 0) << "autoconfiguration passes the gate";

  sim_.ClearReceived();
  core_->ServerLock.SetServerLock();
  id = PutBuf({2, 0x21, 66});
  Drain();
  const TQAnswerItem a = Answer(id);
  EXPECT_EQ(a.Value, 0);
  EXPECT_EQ(a.Int1, 1);
  EXPECT_EQ(a.Int2, 1);
  EXPECT_EQ(a.Int3, 0) << "no controller counts as ready before the monitoring poll's refresh";
  EXPECT_EQ(sim_.NetworkCopy().Find(2)->OpenIm.count(0x21), 1u);
}

TEST_F(ExecutorTest, CardZoneFlagAndZoneQuery) {
  OpenPort();
  Autoconfigure();
  ActiveSegments();
  const int32_t zid = PutObj(rkSetCardZone, std::make_unique<TCardZoneItem>(1, 120, 7));
  Drain();
  EXPECT_EQ(core_->Answers.GetCommandState(zid), 14) << "kind 72 leaves no answer";
  uint8_t zone = 0;
  ASSERT_TRUE(core_->CardZones.GetZone(1, 120, zone));
  EXPECT_EQ(zone, 7);
  // A command without answer: the simulator applies it on its own thread,
  // after the pseudo-terminal hands the frame over.
  ASSERT_TRUE(WaitUntil([&] { return sim_.NetworkCopy().CardZones.count(21) == 1; })) << "the zone reached the controller";
  EXPECT_EQ(sim_.NetworkCopy().CardZones.at(21), 7);

  const int32_t qid = PutObj(rkGetCardZone, std::make_unique<TCardCodeItem>(1, 120));
  Drain();
  EXPECT_EQ(Answer(qid).Value, 0);
  EXPECT_EQ(Answer(qid).Int1, 7);

  const int32_t did = PutObj(rkDisableCard, std::make_unique<TCardCodeItem>(1, 150));
  Drain();
  const TQAnswerItem d = Answer(did);
  EXPECT_EQ(d.Value, 0);
  EXPECT_EQ(d.Int1, 0);
  EXPECT_EQ(d.Int2, 0);
  EXPECT_TRUE(core_->Suppression.HasEntry(1, 150));
  EXPECT_TRUE(WaitUntil([&] { return sim_.NetworkCopy().DisabledCards.count(51) == 1; }));

  const int32_t eid = PutObj(rkEnableCard, std::make_unique<TCardCodeItem>(1, 150));
  Drain();
  EXPECT_EQ(Answer(eid).Value, 0);
  EXPECT_EQ(Answer(eid).Int2, 2) << "enable goes through the transaction";
  EXPECT_EQ(sim_.NetworkCopy().DisabledCards.count(51), 0u);

  const int32_t unknown = PutObj(rkGetCardZone, std::make_unique<TCardCodeItem>(9, 1));
  sim_.ClearReceived();
  Drain();
  EXPECT_EQ(Answer(unknown).Value, 57);
  EXPECT_EQ(Answer(unknown).Int1, 0);
  EXPECT_EQ(sim_.FrameCount(), 0u);
}

TEST_F(ExecutorTest, AutonomousShortcutAndUnknownController) {
  OpenPort();
  Autoconfigure();
  int32_t id = PutBuf({2, 255, 39});
  Drain();
  const TQAnswerItem a = Answer(id);
  EXPECT_EQ(a.Value, 0);
  EXPECT_EQ(a.Int1, 1);
  EXPECT_EQ(a.Int2, 1);
  EXPECT_EQ(a.Int3, 1);
  EXPECT_EQ(sim_.FrameCount(), 0u) << "no traffic for a merged-driver controller";
  id = PutBuf({0, 255, 40, 1, 0, 0});
  Drain();
  EXPECT_EQ(Answer(id).Value, 0);
  EXPECT_EQ(sim_.FrameCount(), 1u) << "the primary has no merged driver";

  sim_.ClearReceived();
  id = PutObj(rkClearSegments, std::make_unique<TMakeAdrItem>(0x777));
  Drain();
  EXPECT_EQ(Answer(id).Value, 32);
  EXPECT_EQ(sim_.FrameCount(), 0u);
}

TEST_F(ExecutorTest, WrongParameterObjects) {
  OpenPort();
  Autoconfigure();
  int32_t id = PutObj(rkOpenIm, std::make_unique<TMakeAdrItem>(1));
  int32_t zid = PutObj(rkSetCardZone, std::make_unique<TMakeAdrItem>(1));
  Drain();
  EXPECT_EQ(Answer(id).Value, 12);
  EXPECT_EQ(core_->Answers.GetCommandState(zid), 14) << "kind 72: the answer is dropped";
  EXPECT_EQ(sim_.FrameCount(), 0u);
}

TEST_F(ExecutorTest, ClosedPortAnswersEveryRequestWithItsCode) {
  const int32_t a = PutBuf({2, 0x21, 66});
  Drain();
  EXPECT_EQ(Answer(a).Value, 1) << "no port object yet";
  OpenPort();
  ASSERT_EQ(core_->Port.ClosePort(), 0);
  const int32_t b = PutBuf({2, 0x21, 66});
  const int32_t c = PutBuf({255, 255, 0});
  Drain();
  EXPECT_EQ(Answer(b).Value, 2);
  EXPECT_EQ(Answer(c).Value, 2);
}

TEST_F(ExecutorTest, ReaderZonePersistsAndZoneAddressingRecordsNothing) {
  OpenPort();
  Autoconfigure();
  int32_t id = PutBuf({2, 1, 4, 9});
  Drain();
  EXPECT_EQ(Answer(id).Value, 0);
  TDeviceModel reloaded;
  LoadConfiguration(reloaded, core_->SystemFilePath());
  TTKDItem r;
  ASSERT_TRUE(reloaded.Controllers.GetRecord(2, r));
  EXPECT_EQ(r.Zone2, 9);

  // Address1 0xFF addresses the controllers of a zone: the model claims
  // nothing for any controller.
  const auto before = FileBytes(core_->SystemFilePath());
  id = PutBuf({255, 0, 4, 5});
  Drain();
  EXPECT_NE(Answer(id).Value, -1);
  EXPECT_EQ(core_->Model.Controllers.CountInZone(5), 0);
  EXPECT_EQ(FileBytes(core_->SystemFilePath()), before);
}

TEST_F(ExecutorTest, SegmentTransferTakesOverAndClears) {
  OpenPort();
  Autoconfigure();
  core_->Segments.AddPendingSegment(1, 100, 199);
  core_->Segments.AddPendingSegment(2, 1, 10);
  ASSERT_EQ(core_->Segments.NumberPendingSegments(), 0);
  const int32_t id = PutObj(rkSendSegments, nullptr);
  Drain();
  EXPECT_EQ(Answer(id).Value, 0);
  EXPECT_EQ(core_->Segments.ActiveCount(), 2u);
  EXPECT_EQ(FileBytes(core_->CardFilePath()).size(), 18u);
  EXPECT_EQ(display_.DataState(), "Ok");
  const auto frames = sim_.ReceivedFrames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], (std::vector<uint8_t>{0x01, 0x03, 0xFF, 0xFF, 0x21, 0x23}));
  EXPECT_EQ(std::vector<uint8_t>(frames[2].begin() + 5, frames[2].end() - 1),
            (std::vector<uint8_t>{1, 2, 1, 0, 10, 0, 101, 0}));

  const int32_t cid = PutObj(rkClearSegments, std::make_unique<TMakeAdrItem>(0));
  Drain();
  EXPECT_EQ(Answer(cid).Value, 0);
  EXPECT_EQ(core_->Segments.ActiveCount(), 0u);
  EXPECT_EQ(FileBytes(core_->CardFilePath()).size(), 0u);
  EXPECT_EQ(display_.DataState(), "пропуска");
}

TEST_F(ExecutorTest, QualityMismatchKeepsTheNumbers) {
  OpenPort();
  Autoconfigure();
  for (int i = 0; i < 3; ++i) sim_.InjectFault({TSimFault::Quality, 0});
  const int32_t id = PutBuf({2, 0x21, 66});
  Drain();
  const TQAnswerItem a = Answer(id);
  EXPECT_EQ(a.Value, 27);
  EXPECT_EQ(a.Int1, 0);
  EXPECT_EQ(a.Int2, 1);
  EXPECT_EQ(a.Int3, 0) << "not ready until the monitoring poll's refresh";
}

TEST_F(ExecutorTest, IndicatorTextNamesCallerKindAndQueueLength) {
  OpenPort();
  PutBuf({2, 0x21, 66});
  PutBuf({2, 0x21, 67});
  PutBuf({2, 0x21, 67});
  executor_->ExecuteRequests(0);
  EXPECT_EQ(display_.Command(), "(0) 67->1");
}

// A tick that moves 120 ms with every frame the simulator has received:
// each exchange "takes" 120 ms however long the machine takes over it.
class TFrameTickClock final : public TClock {
 public:
  explicit TFrameTickClock(const sim::TSimulator& sim) : sim_(sim) {}
  uint32_t TickMs() override { return static_cast<uint32_t>(120 * sim_.FrameCount()); }
  double Now() override { return SystemClock().Now(); }

 private:
  const sim::TSimulator& sim_;
};

class SlowExecutorTest : public CoreTest {
 protected:
  SlowExecutorTest() : CoreTest(MixedNetwork(), sim::TSimOptions{false, 120.0, 60}) {}
  TFrameTickClock frameClock_{sim_};
};

TEST_F(SlowExecutorTest, BudgetOf300msPerCall) {
  // Steps go on while less than 300 ms have passed since the call began:
  // after 120 and 240 ms another one, after 360 ms no more.
  core_.reset();
  TServerConfig cfg;
  cfg.DataDir = dir_.Path();
  core_ = std::make_unique<TServerCore>(frameClock_, display_, cfg);
  core_->Ports.Set(1, sim_.SlavePath());
  core_->LoadAndCreate();
  executor_ = std::make_unique<TExecutor>(*core_);
  OpenPort();
  for (int i = 0; i < 8; ++i) PutBuf({0, 0, 0x4B});
  EXPECT_EQ(executor_->ExecuteRequests(0), 3);
  EXPECT_EQ(core_->Requests.RequestCount(), 5u);
  EXPECT_EQ(sim_.FrameCount(), 3u);
}

TEST_F(SlowExecutorTest, ClearWhileARequestRunsKeepsItsAnswer88) {
  OpenPort();
  const int32_t id = PutBuf({0, 0, 0x4B});
  std::thread clearer([&] {
    sim_.WaitForFrames(1, 2000);
    core_->Requests.ClearRequests();
  });
  executor_->ExecuteRequests(0);
  clearer.join();
  EXPECT_EQ(core_->Answers.GetCommandState(id), 88);
  EXPECT_EQ(core_->Requests.RequestCount(), 0u);
  EXPECT_EQ(sim_.NetworkCopy().Controllers[0].Permits, 1) << "the exchange itself happened";
}
