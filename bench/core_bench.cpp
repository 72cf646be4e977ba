// Two figures of the server core against the simulator:
//  1. a whole time-zone table (256 records) at 9600-baud pacing, wall time
//     over the protocol's floor: the bytes that crossed the line both ways
//     (as the simulator counted them) at 11 bits a byte, one 30 ms idle cut
//     per answered request, and the simulator's turnaround as it really
//     happened, so the ratio cannot fall below 1; the nominal floor (frame
//     sizes, configured turnaround) is printed beside it;
//  2. the CPU used by an idle server (port open, nothing queued, monitoring
//     off) over 10 seconds, as a share of one core: the threads the server
//     started, read from /proc/self/task/<tid>/schedstat, apart from the
//     simulator's threads and the benchmark's own main thread.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "core/device_thread.h"
#include "core/executor.h"
#include "core/server_core.h"
#include "sim/simulator.h"

using namespace vexon;

namespace {

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::set<int> Threads() {
  std::set<int> out;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) out.insert(std::stoi(e.path().filename()));
  return out;
}

// CPU time of one thread in seconds (the first field of schedstat is in
// nanoseconds); 0 when the thread has gone.
double ThreadCpuSeconds(int tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  unsigned long long ns = 0;
  if (!(f >> ns)) return 0;
  return static_cast<double>(ns) / 1e9;
}

double CpuOf(const std::set<int>& tids) {
  double s = 0;
  for (int t : tids) s += ThreadCpuSeconds(t);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 10;
  const std::set<int> mainOnly = Threads();
  sim::TSimOptions opt;
  opt.Pacing = true;
  opt.TurnaroundMs = 2.0;
  sim::TSimulator simulator(sim::TSimNetwork::Default(), opt);
  if (!simulator.Start()) return 1;
  std::set<int> simThreads;
  for (int t : Threads())
    if (!mainOnly.count(t)) simThreads.insert(t);
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
  simulator.ResetLineStats();
  const auto t0 = std::chrono::steady_clock::now();
  const bool ok = core.Commands.SendTable(0x11, table.data(), table.size(), r);
  const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  const sim::TSimLineStats line = simulator.LineStats();
  const double floorMs = static_cast<double>(line.BytesIn + line.BytesOut) * proto::kByteTimeMs +
                         static_cast<double>(line.Requests) * cfg.Timings.IntervalMs + line.TurnaroundMs;
  const double nominalMs = 256 * ((31.0 + 5.0) * proto::kByteTimeMs + cfg.Timings.IntervalMs + opt.TurnaroundMs);
  std::printf("time-zone table: %s, status %u\n", ok ? "sent" : "FAILED", core.Link.Status());
  std::printf("  line     %zu exchanges, %zu+%zu bytes, turnaround %.3f ms each, server gap %.3f ms each\n",
              line.Requests, line.BytesIn, line.BytesOut,
              line.Requests ? line.TurnaroundMs / static_cast<double>(line.Requests) : 0.0,
              line.Requests > 1 ? line.ReplyGapMs / static_cast<double>(line.Requests - 1) : 0.0);
  std::printf("  wall     %.1f ms\n  floor    %.1f ms (measured line)  ratio %.4f\n", wallMs, floorMs,
              wallMs / floorMs);
  std::printf("  nominal  %.1f ms                  ratio %.4f\n", nominalMs, wallMs / nominalMs);

  const std::set<int> before = Threads();
  TDeviceThread thread(core, executor);
  thread.StartDeviceThread();
  thread.ResumeDeviceThread();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // The server's threads: every thread but the simulator's and main's.
  std::set<int> server;
  for (int t : Threads())
    if (!simThreads.count(t) && !mainOnly.count(t)) server.insert(t);
  const double s0 = CpuOf(server), m0 = CpuOf(simThreads), p0 = ProcessCpuSeconds();
  const auto w0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double serverCpu = CpuOf(server) - s0, simCpu = CpuOf(simThreads) - m0, processCpu = ProcessCpuSeconds() - p0;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
  thread.StopDeviceThread();
  std::printf("idle server over %.1f s, %zu server thread(s) (%zu started by the communication thread's start):\n",
              wall, server.size(), server.size() - (before.size() - mainOnly.size() - simThreads.size()));
  std::printf("  server threads    %.4f s CPU = %.3f%% of one core\n", serverCpu, 100.0 * serverCpu / wall);
  std::printf("  simulator threads %.4f s CPU = %.3f%% of one core\n", simCpu, 100.0 * simCpu / wall);
  std::printf("  whole process     %.4f s CPU = %.3f%% of one core\n", processCpu, 100.0 * processCpu / wall);
  simulator.Stop();
  core.SaveAndFree();
  std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}
