// Two figures of the server core against the simulator:
//  1. a whole time-zone table (256 records) at 9600-baud pacing, wall time
//     over the protocol's floor (line time of the bytes both ways, the 30 ms
//     idle cut per read, the simulator's turnaround);
//  2. the CPU used by an idle server (port open, nothing queued, monitoring
//     off) over 10 seconds, as a share of one core.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "core/device_thread.h"
#include "core/executor.h"
#include "core/server_core.h"
#include "sim/simulator.h"

using namespace vexon;

namespace {
double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
  const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 10;
  sim::TSimOptions opt;
  opt.Pacing = true;
  opt.TurnaroundMs = 2.0;
  sim::TSimulator simulator(sim::TSimNetwork::Default(), opt);
  if (!simulator.Start()) return 1;
  const auto dir = std::filesystem::temp_directory_path() / "vexon-core-bench";
  std::filesystem::create_directories(dir);
  THeadlessDisplay display;
  TServerConfig cfg;
  cfg.DataDir = dir.string();
  TServerCore core(SystemClock(), display, cfg);
  core.Ports.Set(1, simulator.SlavePath());
  core.LoadAndCreate();
  TExecutor executor(core);
  if (core.Port.OpenPort(1) != 0) return 1;
  // Autoconfigure so the broadcast expects the right quality.
  int32_t id = 0;
  uint8_t buf[4096] = {255, 255, 0};
  core.Requests.PutBufRequest(0, 3, buf, id);
  while (core.Requests.RequestCount()) executor.ExecuteRequests(0);

  std::vector<uint8_t> table(256 * 24, 0x11);
  TTransactResult r;
  const auto t0 = std::chrono::steady_clock::now();
  const bool ok = core.Commands.SendTable(0x11, table.data(), table.size(), r);
  const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  const double perRecord = (31.0 + 5.0) * proto::kByteTimeMs + cfg.Timings.IntervalMs + opt.TurnaroundMs;
  const double floorMs = 256 * perRecord;
  std::printf("time-zone table: %s, status %u\n", ok ? "sent" : "FAILED", core.Link.Status());
  std::printf("  wall   %.1f ms\n  floor  %.1f ms\n  ratio  %.4f\n", wallMs, floorMs, wallMs / floorMs);

  TDeviceThread thread(core, executor);
  thread.StartDeviceThread();
  thread.ResumeDeviceThread();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double cpu0 = CpuSeconds();
  const auto w0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double cpu = CpuSeconds() - cpu0;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
  thread.StopDeviceThread();
  std::printf("idle server over %.1f s: %.4f s CPU = %.3f%% of one core (simulator thread included)\n", wall, cpu,
              100.0 * cpu / wall);
  simulator.Stop();
  core.SaveAndFree();
  std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}
