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
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(core_->Answers.GetCommandState(id), -1) << "created suspended";
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
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const uint64_t before = thread.Cycles();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LE(thread.Cycles() - before, 2u) << "no request, no monitoring: no busy cycles";
  const int32_t id = PutBuf({2, 0x21, 66});
  const auto t0 = std::chrono::steady_clock::now();
  while (core_->Answers.GetCommandState(id) == -1 && MsSince(t0) < 2000)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
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
  (void)id;
  // The port still works for the next thread.
  TDeviceThread next(*core_, *executor_);
  next.StartDeviceThread();
  next.ResumeDeviceThread();
  core_->Port.SetReadTotalTimeout(400);
  const int32_t again = PutBuf({2, 0x21, 66});
  const auto t1 = std::chrono::steady_clock::now();
  while (core_->Answers.GetCommandState(again) == -1 && MsSince(t1) < 3000)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_NE(core_->Answers.GetCommandState(again), -1);
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
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  uint64_t before = thread.Cycles();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_LE(thread.Cycles() - before, 4u) << "closed port: a few retries a second";
  EXPECT_TRUE(core_->Health.LinkDown);

  OpenPort();
  sim_.InjectFault({TSimFault::Hangup});  // the device vanishes at the next frame
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  before = thread.Cycles();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_LE(thread.Cycles() - before, 4u) << "vanished device: no busy loop";
  thread.StopDeviceThread();
}
