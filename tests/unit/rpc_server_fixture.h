// An in-process server for the RPC suites: a core on a manual clock with its
// data in a scratch directory (removed at the end), the monitoring journal,
// the monitor and the services that the dispatcher and the transports call.
// There is no communication thread and no serial line, so whatever a call
// queues stays in the request queue for the test to look at.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "automation/server_object.h"
#include "core/monitor.h"
#include "core/server_core.h"
#include "test_support.h"
#include "util/clock.h"
#include "util/date_time.h"
#include "util/operator_display.h"

namespace vexon::testing {

class TRpcServerFixture : public ::testing::Test {
 protected:
  TRpcServerFixture()
      : core_(clock_, display_, Config()), monitor_(core_, journal_), services_{core_, monitor_, journal_, calendar_} {
    core_.LoadAndCreate();
    journal_.Create();
  }

  TTempDir tmp_{"vexon-rpc"};
  const std::string& dir_ = tmp_.Path();
  TManualClock clock_{0, EncodeDateTime({2004, 3, 2, 14, 5, 9, 0})};
  THeadlessDisplay display_;
  TServerCore core_;
  TMonJournal journal_;
  TMonitor monitor_;
  TCalendarBuffer calendar_;
  TServices services_;

 private:
  TServerConfig Config() const {
    TServerConfig c;
    c.DataDir = dir_;
    return c;
  }
};

}  // namespace vexon::testing
