#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "core/device_thread.h"
#include "core_fixture.h"
#include "test_support.h"
#include "core/monitor.h"

using namespace vexon;
using namespace vexon::testing;
using sim::TSimFault;

using DeviceThreadTest = CoreTest;

TEST_F(DeviceThreadTest, CarriesOutRequestsByItselfAndHoldsTheMarkerFile) {
  TDeviceThread thread(*core_, *executor_);
  thread.StartDeviceThread();
  EXPECT_TRUE(std::filesystem::exists(core_->DataFile("test.txt")));
  OpenPort();
  const int32_t id = PutBuf({255, 255, 0});
  // Created suspended: each time the thread wakes (the new request, then two
  // more nudges) it goes back to waiting and leaves the queue alone.
  for (uint64_t wakes = 1; wakes <= 3; ++wakes) {
    if (wakes > 1) core_->Wakeup.Notify();
    const auto w0 = std::chrono::steady_clock::now();
    while (thread.SuspendedWakeups() < wakes && MsSince(w0) < 5000)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(thread.SuspendedWakeups(), wakes) << "the thread never woke while suspended";
  }
  EXPECT_EQ(core_->Answers.GetCommandState(id), -1) << "created suspended";
  EXPECT_EQ(core_->Requests.RequestCount(), 1u);
  EXPECT_EQ(sim_.FrameCount(), 0u) << "nothing reaches the line before Resume";
  thread.ResumeDeviceThread();
  const auto t0 = std::chrono::steady_clock::now();
  while (core_->Answers.GetCommandState(id) == -1 && MsSince(t0) < 5000)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(core_->Answers.GetCommandState(id), 0);
  const int32_t open = PutBuf({2, 0x21, 66});
  while (core_->Answers.GetCommandState(open) == -1 && MsSince(t0) < 5000)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(core_->Answers.GetCommandState(open), 0);
  thread.StopDeviceThread();
  EXPECT_FALSE(thread.Running());
}

TEST_F(DeviceThreadTest, IdleThreadSleepsInsteadOfSpinning) {
  TDeviceThread thread(*core_, *executor_);
  thread.StartDeviceThread();
  thread.ResumeDeviceThread();
  OpenPort();
  // With nothing to do the thread still cycles by itself (the server lock is
  // checked at least once a second), but two cycles take at least one whole
  // idle wait: a spinning thread is too fast, a hung one never gets there.
  // Of three cycles at most two come at once (the one after Resume and one
  // more for a wake-up it left pending).
  const uint64_t before = thread.Cycles();
  const auto w0 = std::chrono::steady_clock::now();
  while (thread.Cycles() < before + 3 && MsSince(w0) < 5000)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_GE(thread.Cycles(), before + 3) << "the idle thread stopped cycling";
  EXPECT_GE(MsSince(w0), TDeviceThread::kIdleWaitMs - 20) << "no request, no monitoring: no busy cycles";
  const int32_t id = PutBuf({2, 0x21, 66});
  const auto t0 = std::chrono::steady_clock::now();
  while (core_->Answers.GetCommandState(id) == -1 && MsSince(t0) < 2000)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(core_->Answers.GetCommandState(id), 0);
  EXPECT_LT(MsSince(t0), 500) << "a new request wakes the thread";
  thread.StopDeviceThread();
}

TEST_F(DeviceThreadTest, StopDoesNotWaitForALongRead) {
  core_->Port.SetReadTotalTimeout(60000);
  TDeviceThread thread(*core_, *executor_);
  thread.StartDeviceThread();
  thread.ResumeDeviceThread();
  OpenPort();
  core_->Port.SetReadTotalTimeout(60000);
  sim_.InjectFault({TSimFault::NoAnswer});
  const int32_t id = PutBuf({2, 0x21, 66});
  ASSERT_TRUE(sim_.WaitForFrames(1, 2000));
  const auto t0 = std::chrono::steady_clock::now();
  thread.StopDeviceThread();
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_EQ(core_->Answers.GetCommandState(id), 2) << "the cut read reads as a closed port";
  // The stop leaves the port usable at once, with no thread at all.
  core_->Port.SetReadTotalTimeout(400);
  const int32_t direct = PutBuf({2, 0x21, 66});
  executor_->ExecuteRequests(0);
  EXPECT_EQ(core_->Answers.GetCommandState(direct), 0) << "the port must not stay interrupted after a stop";
  // And for the next thread.
  TDeviceThread next(*core_, *executor_);
  next.StartDeviceThread();
  next.ResumeDeviceThread();
  core_->Port.SetReadTotalTimeout(400);
  const int32_t again = PutBuf({2, 0x21, 66});
  const auto t1 = std::chrono::steady_clock::now();
  while (core_->Answers.GetCommandState(again) == -1 && MsSince(t1) < 3000)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(core_->Answers.GetCommandState(again), 0);
  next.StopDeviceThread();
}

TEST_F(DeviceThreadTest, ServerLockEndsInTheCycleAfterTheHour) {
  TDeviceThread thread(*core_, *executor_);
  thread.StartDeviceThread();
  thread.ResumeDeviceThread();
  core_->ServerLock.SetServerLock();
  clock_.Advance(3600001);
  core_->Wakeup.Notify();
  const auto t0 = std::chrono::steady_clock::now();
  while (core_->ServerLock.IsServerLocked() && MsSince(t0) < 3000)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(core_->ServerLock.IsServerLocked());
  thread.StopDeviceThread();
}

TEST_F(DeviceThreadTest, MonitoringOnAClosedOrVanishedPortDoesNotSpin) {
  TMonJournal journal;
  journal.Create();
  TMonitor monitor(*core_, journal);
  TDeviceThread thread(*core_, *executor_, &monitor);
  thread.StartDeviceThread();
  thread.ResumeDeviceThread();
  monitor.StartMonitoring();
  // Four more cycles take at least two whole retry waits (two may come at
  // once: a wake-up, a cycle that exchanged something), and they do come: a
  // spinning thread is too fast, a hung one never gets there.
  const auto fourCycles = [&] {
    const uint64_t before = thread.Cycles();
    const auto t0 = std::chrono::steady_clock::now();
    while (thread.Cycles() < before + 4 && MsSince(t0) < 5000)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_GE(thread.Cycles(), before + 4) << "the thread stopped cycling";
    return MsSince(t0);
  };
  EXPECT_GE(fourCycles(), 2 * TDeviceThread::kClosedPortRetryMs - 20) << "closed port: a few retries a second";
  EXPECT_TRUE(core_->Health.LinkDown);

  OpenPort();
  sim_.InjectFault({TSimFault::Hangup});  // the device vanishes at the next frame
  core_->Wakeup.Notify();
  ASSERT_TRUE(sim_.WaitForFrames(1, 5000));
  fourCycles();  // the cycles that met the hang-up
  EXPECT_GE(fourCycles(), 2 * TDeviceThread::kClosedPortRetryMs - 20) << "vanished device: no busy loop";
  thread.StopDeviceThread();
}
