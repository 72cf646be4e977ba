// Stopping the communication thread while requests are queued: only the
// exchange in progress may reach the line, the rest stays queued unanswered,
// and what the stop cut short leaves no trace in the model.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/device_thread.h"
#include "core_fixture.h"
#include "link/frames.h"
#include "link/protocol.h"

using namespace vexon;
using namespace vexon::testing;

namespace {

// Frames the server has written: a send asks for the output queue once the
// frame is written. Counted on the server's side because a pseudo-terminal
// may drop a frame the simulator has not read yet when the next send purges
// the line, which would hide frames that a real line carries.
std::atomic<size_t> gWrites{0};
int CountWrite(int) {
  ++gWrites;
  return 0;
}

// Every answer comes 150 ms after its request, so a stop can be asked while
// an exchange is on the line.
class StopTest : public CoreTest {
 protected:
  explicit StopTest(sim::TSimOptions opt = sim::TSimOptions{false, 150.0, 60}) : CoreTest(MixedNetwork(), opt) {}
  void SetUp() override {
    CoreTest::SetUp();
    gWrites = 0;
    TUart::OutputQueued = &CountWrite;
  }
  void TearDown() override {
    TUart::OutputQueued = &TUart::OutputQueuedOfDevice;
    CoreTest::TearDown();
  }

  // Frames the simulator received from `from` on, once every frame written
  // so far has been taken off the line: a marker frame is written after
  // them and waited for (the line keeps its order).
  size_t FramesSince(size_t from) {
    uint8_t marker[16];
    const uint8_t data = 0x5A;
    BuildFrame(0, 0x77, 0x77, proto::cmdStatus, &data, 1, marker);
    const std::vector<uint8_t> m(marker, marker + marker[1] + proto::kLengthOverhead);
    EXPECT_TRUE(core_->Port.Uart()->Send(m.data(), m.size())) << "the port works again after the stop";
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
      const auto frames = sim_.ReceivedFrames();
      if (!frames.empty() && frames.back() == m) return frames.size() - 1 - from;
      if (MsSince(t0) > 30000) {
        ADD_FAILURE() << "the marker frame never arrived";
        return frames.size() - from;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
};

class FastStopTest : public StopTest {
 protected:
  FastStopTest() : StopTest(sim::TSimOptions{}) {}
};

}  // namespace

TEST_F(StopTest, StopLetsOnlyTheExchangeInProgressReachTheLine) {
  OpenPort();
  TDeviceThread thread(*core_, *executor_);
  thread.StartDeviceThread();
  std::vector<int32_t> ids;
  for (int i = 0; i < 20; ++i) ids.push_back(PutBuf({0, 0, 0x4B}));
  thread.ResumeDeviceThread();
  ASSERT_TRUE(sim_.WaitForFrames(1, 5000));
  const size_t atStop = sim_.FrameCount();
  const size_t writesAtStop = gWrites;
  thread.StopDeviceThread();
  const size_t writesAfter = gWrites - writesAtStop;
  EXPECT_LE(writesAfter, 1u) << "frames written after the stop";
  const size_t after = FramesSince(atStop);
  EXPECT_LE(after, 1u) << "at most the exchange in progress";
  EXPECT_GE(core_->Requests.RequestCount(), 19u) << "the rest stays queued";
  EXPECT_EQ(core_->Answers.GetCommandState(ids[0]), 2) << "the cut exchange ends as on a closed port";
  for (size_t i = 1; i < ids.size(); ++i) EXPECT_EQ(core_->Answers.GetCommandState(ids[i]), -1) << i;
}

TEST_F(FastStopTest, StopLetsOnlyTheExchangeInProgressReachTheLine) {
  // The simulator reads every frame at once here: the first one stays
  // unanswered and the server waits for it when the stop comes.
  core_->Port.SetReadTotalTimeout(10000);
  OpenPort();
  sim_.InjectFault({sim::TSimFault::NoAnswer});
  TDeviceThread thread(*core_, *executor_);
  thread.StartDeviceThread();
  for (int i = 0; i < 20; ++i) PutBuf({0, 0, 0x4B});
  thread.ResumeDeviceThread();
  ASSERT_TRUE(sim_.WaitForFrames(1, 5000));
  const size_t atStop = sim_.FrameCount();
  const size_t writesAtStop = gWrites;
  thread.StopDeviceThread();
  const size_t writesAfter = gWrites - writesAtStop;
  EXPECT_LE(writesAfter, 1u) << "frames written after the stop";
  const size_t after = FramesSince(atStop);
  EXPECT_LE(after, 1u) << "at most the exchange in progress";
  EXPECT_GE(core_->Requests.RequestCount(), 19u) << "the rest stays queued";
}

TEST_F(StopTest, StopDuringATransferSendsNoRepeatOfTheBlockInProgress) {
  OpenPort();
  Autoconfigure();
  TDeviceThread thread(*core_, *executor_);
  thread.StartDeviceThread();
  // A week-diagram table goes out record by record; the stop comes while
  // the first record waits for its reception quality.
  std::vector<uint8_t> table(80, 1);
  const int32_t id = PutObj(rkSendWeekDiagram, std::make_unique<TLongBufItem>(table.data(), 80), bkList);
  thread.ResumeDeviceThread();
  ASSERT_TRUE(sim_.WaitForFrames(1, 5000));
  // Queued while the first record is on the line (it would go next).
  const int32_t after = PutBuf({0, 0, 0x4B});
  const size_t atStop = sim_.FrameCount();
  const size_t writesAtStop = gWrites;
  thread.StopDeviceThread();
  const size_t writesAfter = gWrites - writesAtStop;
  EXPECT_LE(writesAfter, 1u) << "frames written after the stop";
  EXPECT_LE(FramesSince(atStop), 1u) << "neither the next record nor a repeat of this one";
  EXPECT_EQ(core_->Answers.GetCommandState(id), 2) << "the cut transfer ends as on a closed port";
  EXPECT_EQ(core_->Answers.GetCommandState(after), -1) << "the next request stays queued";
  EXPECT_EQ(core_->Requests.RequestCount(), 1u);
}

TEST_F(StopTest, StatusReadCutByAStopDoesNotMarkThePrimaryNotReady) {
  OpenPort();
  TDeviceThread thread(*core_, *executor_);
  thread.StartDeviceThread();
  const int32_t id = PutBuf({255, 255, 0});
  thread.ResumeDeviceThread();
  // Frames: status of 0, the autoconfiguration, then the status reads of
  // the controllers; the stop cuts the first of these.
  ASSERT_TRUE(sim_.WaitForFrames(3, 10000));
  const size_t writesAtStop = gWrites;
  thread.StopDeviceThread();
  EXPECT_LE(gWrites - writesAtStop, 1u) << "frames written after the stop";
  EXPECT_NE(core_->Answers.GetCommandState(id), -1);
  TTKDItem primary;
  ASSERT_TRUE(core_->Model.Controllers.GetRecord(0, primary));
  EXPECT_EQ(primary.Status[1] & 0x80, 0) << "an interrupted read says nothing about the controller";
  EXPECT_LE(FramesSince(3), 1u);
}
