// Round trip of sysvexon_GetCommandState over TCP on loopback: latency of
// one client (median, 99th percentile), then the throughput of 8 clients.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "automation/server_object.h"
#include "core/server_core.h"
#include "ctl/rpc_client.h"
#include "core/monitor.h"
#include "rpc/transports.h"
#include "util/log.h"

using namespace vexon;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
  spdlog::set_level(spdlog::level::warn);
  const auto dir = std::filesystem::temp_directory_path() / "vexon-rpc-bench";
  std::filesystem::create_directories(dir);
  THeadlessDisplay display;
  TServerConfig cfg;
  cfg.DataDir = dir.string();
  TServerCore core(SystemClock(), display, cfg);
  core.LoadAndCreate();
  TMonJournal journal;
  journal.Create();
  TMonitor monitor(core, journal);
  TCalendarBuffer calendar;
  TServices services{core, monitor, journal, calendar};
  TRpcServer rpc(services);
  std::string error;
  if (!rpc.ListenTcp("127.0.0.1:0", error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const std::string ep = rpc.Endpoints().front().substr(4);

  TRpcClient one;
  one.Connect(ep);
  const nlohmann::json params = {{"EventID", 1}};
  for (int i = 0; i < 1000; ++i) one.Call("sysvexon_GetCommandState", params);
  std::vector<double> us;
  us.reserve(static_cast<size_t>(calls));
  for (int i = 0; i < calls; ++i) {
    const auto t0 = Clock::now();
    one.Call("sysvexon_GetCommandState", params);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  std::printf("one client, %d calls: median %.1f us, p99 %.1f us\n", calls, us[us.size() / 2],
              us[us.size() * 99 / 100]);

  constexpr int kClients = 8;
  std::atomic<int64_t> done{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&] {
      TRpcClient cl;
      cl.Connect(ep);
      while (!stop) {
        cl.Call("sysvexon_GetCommandState", params);
        ++done;
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int64_t start = done;
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const int64_t count = done - start;
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  stop = true;
  for (auto& t : clients) t.join();
  std::printf("%d clients: %.0f calls per second in total\n", kClients, static_cast<double>(count) / secs);
  rpc.Stop();
  core.SaveAndFree();
  std::filesystem::remove_all(dir);
  return 0;
}
