// A simulator on a pseudo-terminal and the link stack talking to it:
// COM1 is mapped to the simulator's slave side; autoconfiguration's hour is
// cut to 3 s.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "link/link.h"
#include "link/uart.h"
#include "model/devices.h"
#include "sim/simulator.h"
#include "util/clock.h"

namespace vexon::testing {

// The line's own read time-out (1500 ms before a configuration) is kept: with
// two suites and a build beside them a pseudo-terminal was measured handing
// bytes over up to 400 ms late, and an answer that comes must not be taken
// for silence. Tests of a silent line set shorter time-outs of their own.
inline TLinkTimings FastTimings() {
  TLinkTimings t;
  t.AutoconfigMs = 3000;
  return t;
}

class SimLinkTest : public ::testing::Test {
 protected:
  explicit SimLinkTest(sim::TSimNetwork net = sim::TSimNetwork::Default(), sim::TSimOptions opt = {})
      : sim_(std::move(net), opt), clock_(1000, 46000.5) {}

  void SetUp() override {
    ASSERT_TRUE(sim_.Start());
    ports_.Set(1, sim_.SlavePath());
    port_ = std::make_unique<TSerialPort>(ports_, timings_);
    link_ = std::make_unique<TLink>(*port_, model_, clock_);
  }
  void TearDown() override {
    link_.reset();
    port_.reset();
    sim_.Stop();
  }
  // The model as an autoconfiguration and status queries would leave it.
  void ConfigureModelFromSim() {
    std::vector<TDescriptor> d;
    auto net = sim_.NetworkCopy();
    for (auto& c : net.Controllers) d.push_back(c.Descriptor);
    ASSERT_TRUE(model_.BuildControllerList(&d));
    model_.BuildAddressList();
    for (auto& c : net.Controllers)
      for (int b = 1; b <= 7; ++b) model_.Controllers.SetStatusByte(c.SysAdr(), b, c.Status[b - 1]);
  }
  void OpenPort() { ASSERT_EQ(port_->OpenPort(1), 0); }

  sim::TSimulator sim_;
  TManualClock clock_;
  TLinkTimings timings_ = FastTimings();
  TPortMap ports_;
  TDeviceModel model_;
  std::unique_ptr<TSerialPort> port_;
  std::unique_ptr<TLink> link_;
};

}  // namespace vexon::testing
