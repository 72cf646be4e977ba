// The real executables: vexon-sim on a pseudo-terminal and srvvexon with
// COM1 mapped to it, in a temporary data directory, reached over a Unix
// socket (and TCP and HTTP on free ports).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "ctl/rpc_client.h"
#include "process.h"

namespace vexon::testing {

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vexon-e2e-XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    StartSim();
    StartServer();
  }
  void TearDown() override {
    client_.Close();
    // A sanitizer that found something in the server makes it end with a
    // status of its own: the test fails with it.
    if (server_.Running()) {
      EXPECT_EQ(server_.Stop(), 0) << "srvvexon did not stop cleanly";
    }
    // The simulator keeps nothing worth a clean end; under ThreadSanitizer
    // it would not see a SIGTERM while it waits in pause().
    sim_.Stop(SIGKILL);
    std::filesystem::remove_all(dir_);
  }

  void StartSim(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {VEXON_SIM_PATH, "--link", dir_ + "/tty"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ASSERT_TRUE(sim_.Start(argv));
    ASSERT_FALSE(sim_.ReadLine().empty()) << "vexon-sim did not start";
  }

  void StartServer(std::vector<std::string> first = {}) {
    std::vector<std::string> argv = {VEXON_SERVER_PATH};
    argv.insert(argv.end(), first.begin(), first.end());
    const std::vector<std::string> common = {"--data-dir", dir_, "--config", dir_ + "/none.ini", "--port",
                                             "COM1=" + dir_ + "/tty", "--rpc-unix", dir_ + "/rpc.sock", "--rpc-tcp",
                                             "127.0.0.1:0", "--rpc-http", "127.0.0.1:0", "--check-dispatch-wait-ms",
                                             "1500",
                                             // A status answer handed over late by a pseudo-terminal on a busy
                                             // machine (up to 400 ms measured) must not count as a lost link.
                                             "--status-query-ms", "1000"};
    argv.insert(argv.end(), common.begin(), common.end());
    ASSERT_TRUE(server_.Start(argv));
    for (int i = 0; i < 3; ++i) {
      const std::string l = server_.ReadLine(10000);
      ASSERT_NE(l, "") << "srvvexon did not start";
      if (l.find("listening on tcp ") != std::string::npos) tcp_ = l.substr(l.find("tcp ") + 4);
      if (l.find("listening on http ") != std::string::npos) {
        http_ = l.substr(l.find("http ") + 5);
        http_ = http_.substr(0, http_.find('/'));
      }
    }
    client_.Connect(dir_ + "/rpc.sock");
  }
  void RestartServer(std::vector<std::string> first = {}) {
    client_.Close();
    ASSERT_EQ(server_.Stop(), 0);
    StartServer(std::move(first));
  }

  nlohmann::json Call(const std::string& m, const nlohmann::json& p = nlohmann::json::object()) {
    return client_.Call(m, p);
  }
  // Polls a request's answer until it is no longer pending.
  nlohmann::json WaitAnswer(int64_t id, int timeoutMs = 10000) {
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
      auto s = Call("sysvexon_GetExtendedCommandState", {{"EventID", id}});
      if (s["Value"] != -1) return s;
      if (std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(timeoutMs)) return s;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // The first pass of the monitoring poll publishes nothing; it ends with
  // the status refresh that marks every controller's status block valid,
  // the last controller's last. Events made after that are published.
  void WaitFirstMonitoringPass(int timeoutMs = 10000) {
    const int64_t count = Call("sysvexon_GetControllerCount")["Cnt"];
    ASSERT_GT(count, 0) << "not configured";
    const auto t0 = std::chrono::steady_clock::now();
    while (Call("sysvexon_GetControllerUSCS", {{"ControllerNum", count}})["USCSValid"] != 1) {
      ASSERT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(timeoutMs)) << "no first pass";
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  void OpenAndAutoconfigure() {
    ASSERT_EQ(Call("sysvexon_OpenSerialPort", {{"PortNumber", 1}})["Value"], 0);
    const auto r = Call("sysvexon_Autoconfig");
    ASSERT_EQ(r["Value"], 0);
    ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  }

  std::string dir_, tcp_, http_;
  TProcess sim_, server_;
  TRpcClient client_;
};

}  // namespace vexon::testing
