// The short status queries (70 ms) of the monitoring poll and of the card
// commands that probe a silent primary: the read time-out in force before
// them is back once they are done, so the next exchange waits as long as it
// should.
#include <gtest/gtest.h>

#include "core/monitor.h"
#include "core_fixture.h"
#include "journals/mon_journal.h"

using namespace vexon;
using namespace vexon::testing;
using sim::TSimFault;

namespace {

// Answers come 100 ms after the request: beyond a 70 ms read, within the
// ordinary one.
class StatusQueryTimeoutTest : public CoreTest {
 protected:
  StatusQueryTimeoutTest() : CoreTest(MixedNetwork(), sim::TSimOptions{false, 100.0, 60}) {}
};

}  // namespace

TEST_F(StatusQueryTimeoutTest, MonitoringPollRestoresTheReadTimeout) {
  OpenPort();
  Autoconfigure();
  core_->Port.SetReadTotalTimeout(450);
  TMonJournal journal;
  journal.Create();
  TMonitor monitor(*core_, journal);
  monitor.StartMonitoring();
  // The primary stays silent to both tries of the poll's status query.
  sim_.InjectFault({TSimFault::NoAnswer});
  sim_.InjectFault({TSimFault::NoAnswer});
  monitor.Poll();
  EXPECT_EQ(sim_.FrameCount(), 2u) << "the poll queried the primary twice";
  EXPECT_EQ(core_->Port.Uart()->ReadTimeout(), 450u) << "the 70 ms of the status query stayed in force";
  // The next request's answer, 100 ms away, is still waited for.
  const int32_t id = PutBuf({0, 0, 0x4B});
  Drain();
  EXPECT_EQ(Answer(id).Value, 0);
}

TEST_F(StatusQueryTimeoutTest, ProbeOfASilentPrimaryRestoresTheReadTimeout) {
  OpenPort();
  Autoconfigure();
  ActiveSegments();
  core_->Port.SetReadTotalTimeout(450);
  // The link is down: the card-zone command first probes the primary with a
  // 70 ms status query, which stays unanswered.
  core_->Health.LinkDown = true;
  sim_.InjectFault({TSimFault::NoAnswer});
  PutObj(rkSetCardZone, std::make_unique<TCardZoneItem>(1, 150, 3));
  Drain();
  EXPECT_EQ(sim_.FrameCount(), 1u) << "only the probe went out";
  EXPECT_EQ(core_->Port.Uart()->ReadTimeout(), 450u) << "the 70 ms of the probe stayed in force";
  core_->Health.LinkDown = false;
  const int32_t id = PutBuf({0, 0, 0x4B});
  Drain();
  EXPECT_EQ(Answer(id).Value, 0);
}
