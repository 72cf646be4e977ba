// The whole server in this process (communication thread, monitoring poll,
// automation object, RPC transports) against the simulator, with clients on
// threads of their own: the races between RPC threads and the
// communication thread, so that ThreadSanitizer sees both sides.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "app/server_app.h"
#include "core_fixture.h"
#include "ctl/rpc_client.h"
#include "sim/simulator.h"
#include "test_support.h"
#include "util/clock.h"
#include "util/operator_display.h"

using namespace vexon;
using namespace vexon::testing;
using nlohmann::json;

namespace {

constexpr auto kDeadline = std::chrono::seconds(20);

class RaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.Start());
    TAppOptions o;
    o.DataDir = dir_.Path();
    o.SettingsPath = dir_.File("none.ini");
    o.PortAssignments = {"COM1=" + sim_.SlavePath()};
    o.Tcp = "off";
    o.Http = "off";
    o.Unix = dir_.File("rpc.sock");
    o.CheckDispatchWaitMs = 1500;
    o.StopGrace = std::chrono::milliseconds(200);
    o.Rpc.MaxConnections = 100;
    // These tests are about threads, not the line's timing: the 70 ms of a
    // status query is too short on two cores loaded by the test's own
    // clients and two busy loops, and a missed status answer would fail an
    // autoconfiguration that raced nothing.
    o.Timings.StatusQueryMs = 1000;
    // Likewise the status reads that end an autoconfiguration, which run on
    // the line's own read time-out (600 ms for three controllers): with two
    // suites and a build beside them, a pseudo-terminal was measured
    // handing bytes over up to 400 ms late.
    o.Timings.MinTotalMs = 3000;
    app_ = std::make_unique<TServerApp>(o, clock_, display_);
    std::string error;
    ASSERT_TRUE(app_->StartUp(error)) << error;
    client_.Connect(dir_.File("rpc.sock"));
  }
  void TearDown() override {
    client_.Close();
    app_.reset();
    sim_.Stop();
  }

  json Call(TRpcClient& c, const std::string& m, const json& p = json::object()) { return c.Call(m, p); }
  json Call(const std::string& m, const json& p = json::object()) { return client_.Call(m, p); }
  json WaitAnswer(int64_t id) {
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
      auto s = Call("sysvexon_GetExtendedCommandState", {{"EventID", id}});
      if (s["Value"] != -1 || std::chrono::steady_clock::now() - t0 > kDeadline) return s;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  void OpenAndAutoconfigure() {
    ASSERT_EQ(Call("sysvexon_OpenSerialPort", {{"PortNumber", 1}})["Value"], 0);
    const auto r = Call("sysvexon_Autoconfig");
    ASSERT_EQ(r["Value"], 0);
    ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  }
  std::unique_ptr<TRpcClient> NewClient() {
    auto c = std::make_unique<TRpcClient>();
    c->Connect(dir_.File("rpc.sock"));
    return c;
  }

  TTempDir dir_{"vexon-race"};
  sim::TSimulator sim_{MixedNetwork()};
  TSystemClock clock_;
  THeadlessDisplay display_;
  std::unique_ptr<TServerApp> app_;
  TRpcClient client_;
};

}  // namespace

// Readers of the configuration on three connections while autoconfigurations
// replace the controller list, the address list and the descriptors under
// them: every answer is one of a whole configuration or a clean refusal.
TEST_F(RaceTest, AutoconfigurationRebuildsTheModelWhileClientsReadIt) {
  OpenAndAutoconfigure();
  // What a whole configuration answers, read before the races begin.
  std::vector<json> infos, descs, drivers;
  for (int n = 1; n <= 3; ++n) {
    infos.push_back(Call("sysvexon_GetControllerInfo", {{"ControllerNum", n}}));
    descs.push_back(Call("sysvexon_GetControllerDesc", {{"ControllerNum", n}}));
  }
  const json driver = Call("sysvexon_GetDriverInfo", {{"ControllerNum", 1}, {"DriverNum", 1}});
  ASSERT_EQ(driver["Value"], 0);
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, whole{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      auto c = NewClient();
      for (int i = 0; !done || i < 20; ++i) {
        const int n = 1 + (i + t) % 3;
        const auto info = Call(*c, "sysvexon_GetControllerInfo", {{"ControllerNum", n}});
        if (info["Value"] == 0) {
          EXPECT_EQ(info, infos[static_cast<size_t>(n - 1)]);
          ++whole;
        } else {
          EXPECT_TRUE(info["Value"] == 31 || info["Value"] == 32) << info.dump();
        }
        const auto desc = c->Request("sysvexon_GetControllerDesc", {{"ControllerNum", n}});
        if (desc.contains("result") && desc["result"]["Value"] == 0) {
          EXPECT_EQ(desc["result"], descs[static_cast<size_t>(n - 1)]);
        }
        const auto drv = Call(*c, "sysvexon_GetDriverInfo", {{"ControllerNum", 1}, {"DriverNum", 1}});
        EXPECT_TRUE(drv["Value"] == 0 || drv["Value"] == 31 || drv["Value"] == 32) << drv.dump();
        if (drv["Value"] == 0) {
          EXPECT_EQ(drv, driver);
        }
        const auto uscs = Call(*c, "sysvexon_GetControllerUSCS", {{"ControllerNum", n}});
        EXPECT_TRUE(uscs["Value"] == 0 || uscs["Value"] == 31 || uscs["Value"] == 32) << uscs.dump();
        const auto state = Call(*c, "sysvexon_GetServerState")["Value"].get<int>();
        EXPECT_TRUE(state == 31 || state == 68 || state == 0) << state;
        ++reads;
        // A breath between rounds: three readers calling flat out, with their
        // three connection threads, would otherwise starve the line's kernel
        // work on two cores until the status query's 70 ms ran out, which is
        // no race of the server's. Each autoconfiguration still meets many
        // reads.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  for (int round = 0; round < 3; ++round) {
    const auto r = Call("sysvexon_Autoconfig");
    ASSERT_EQ(r["Value"], 0);
    EXPECT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_GT(whole.load(), 0);
  EXPECT_GE(reads.load(), 60);
  const auto cnt = Call("sysvexon_GetControllerCount");
  EXPECT_EQ(cnt["Value"], 0);
  EXPECT_EQ(cnt["Cnt"], 3);
  EXPECT_EQ(Call("sysvexon_GetControllerDesc", {{"ControllerNum", 3}})["b5"], 0x1A);
}

// Clients read the status blocks while the monitoring poll refreshes them:
// a flag raised on the line shows up in the block with its changed flag,
// and reading clears the changed flag for the next reader.
TEST_F(RaceTest, StatusBlocksReadWhileTheMonitoringPollRefreshesThem) {
  OpenAndAutoconfigure();
  Call("sysvexon_StartMonitoring");
  std::atomic<bool> done{false};
  std::atomic<int> changedSeen{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      auto c = NewClient();
      while (!done) {
        for (int n = 1; n <= 3; ++n) {
          const auto u = Call(*c, "sysvexon_GetControllerUSCS", {{"ControllerNum", n}});
          ASSERT_EQ(u["Value"], 0) << u.dump();
          if (u["USCSChanged"] == 1) ++changedSeen;
        }
      }
    });
  }
  // The last controller's b2 bit 2 goes on and off on the line; the readers
  // see each state arrive.
  for (int round = 0; round < 4; ++round) {
    const bool on = round % 2 == 0;
    sim_.SetStatusFlag(2, 2, on);
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
      const auto u = Call("sysvexon_GetControllerUSCS", {{"ControllerNum", 3}});
      ASSERT_EQ(u["Value"], 0);
      if (((u["b2"].get<int>() & 0x04) != 0) == on && u["USCSValid"] == 1) break;
      ASSERT_LT(std::chrono::steady_clock::now() - t0, kDeadline) << "round " << round << ": " << u.dump();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_GT(changedSeen.load(), 0);
}

// The port closed from an RPC thread while the communication thread waits
// for an answer: the waiting request ends with a failure instead of
// hanging, the port reads closed, and after a new open requests go through.
TEST_F(RaceTest, ClosingThePortDuringAnExchange) {
  OpenAndAutoconfigure();
  for (int i = 0; i < 2; ++i) sim_.InjectFault({sim::TSimFault::NoAnswer, 0});
  const size_t before = sim_.FrameCount();
  const int64_t id = Call("sysvexon_SetTimer")["EventID"];
  const auto t0 = std::chrono::steady_clock::now();
  while (sim_.FrameCount() == before) {
    ASSERT_LT(std::chrono::steady_clock::now() - t0, kDeadline) << "the request never reached the line";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // The frame is on the line and its answer will never come.
  EXPECT_EQ(Call("sysvexon_GetCommandState", {{"EventID", id}})["Value"], -1);
  EXPECT_EQ(Call("sysvexon_CloseSerialPort")["Value"], 0);
  const auto a = WaitAnswer(id);
  EXPECT_NE(a["Value"], -1) << "the request waiting for its answer was ended";
  EXPECT_NE(a["Value"], 0);
  EXPECT_EQ(Call("sysvexon_GetOpenSerialPortNumber")["Value"], 2) << "the port exists and is closed";
  ASSERT_EQ(Call("sysvexon_OpenSerialPort", {{"PortNumber", 1}})["Value"], 0);
  const int64_t next = Call("sysvexon_SetTimer")["EventID"];
  EXPECT_EQ(WaitAnswer(next)["Value"], 0);
}

// Shut-down with 64 connections open: idle ones, ones in the middle of a
// slow call, ones sending a request at that moment. The transports stop,
// every connection is closed and no thread is left behind.
TEST_F(RaceTest, TransportsStopWith64ConnectionsOpen) {
  OpenAndAutoconfigure();
  std::vector<std::unique_ptr<TRpcClient>> clients;
  for (int i = 0; i < 63; ++i) {  // the fixture holds one more
    clients.push_back(NewClient());
    ASSERT_EQ(Call(*clients.back(), "sysvexon_GetServerState")["Value"], 68) << i;
  }
  ASSERT_EQ(app_->Rpc().Connections(), 64);
  std::atomic<int> started{0}, ended{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 8; ++i) {
    callers.emplace_back([&, i] {
      ++started;
      try {
        if (i % 2 == 0)
          clients[static_cast<size_t>(i)]->Call(
              "sysvexon_CheckDispatch",
              {{"AIdentifier", "65567"}, {"ATimeOut", 0}, {"AReaderName", ""}, {"ATypeInquery", 0}});
        else
          for (;;) clients[static_cast<size_t>(i)]->Call("sysvexon_GetServerState");
      } catch (const std::runtime_error&) {
        // the server closed the connection
      }
      ++ended;
    });
  }
  while (started < 8) std::this_thread::yield();
  app_->ShutDown();
  EXPECT_EQ(app_->Rpc().Connections(), 0);
  for (auto& t : callers) t.join();
  EXPECT_EQ(ended.load(), 8);
  for (size_t i = 8; i < clients.size(); ++i)
    EXPECT_THROW(clients[i]->ReadLine(), std::runtime_error) << "connection " << i << " closed";
  EXPECT_TRUE(std::filesystem::exists(dir_.File("new_sys.bin")));
}
