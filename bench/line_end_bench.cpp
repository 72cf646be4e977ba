// How a read ends, side by side in one run at 9600-baud pacing: the idle cut
// (a read ends after 30 ms of silence) and the early frame end (a read that
// expects one answer ends at the whole frame). Two workloads, each through
// the request executor against the simulator: 200 SetTimer commands and a
// 256-record time-zone table.
//
// Both are measured against one floor: the line time of the bytes that
// actually crossed the line both ways (requests: data + 6 bytes, answers:
// data + 4 bytes, 11 bits a byte), one 30 ms idle cut per answered request,
// and the simulator's turnaround as it really happened (the time from the
// end of each request on the line to its answer's first byte). A server
// that waits for the idle cut cannot go below that floor, so its ratio is at
// least 1; the early frame end saves the 30 ms of each exchange.
//
//   line_end_bench [SETTIMER_CALLS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <string>
#include <vector>

#include "core/executor.h"
#include "core/server_core.h"
#include "link/commands.h"
#include "sim/simulator.h"
#include "util/date_time.h"

using namespace vexon;

namespace {

struct TFigure {
  double WallMs = 0;
  double FloorMs = 0;
  sim::TSimLineStats Line;
  int Failed = 0;
};

double FloorOf(const sim::TSimLineStats& s, uint32_t intervalMs) {
  return static_cast<double>(s.BytesIn + s.BytesOut) * proto::kByteTimeMs +
         static_cast<double>(s.Requests) * intervalMs + s.TurnaroundMs;
}

// Runs the queued requests to the end and counts those not answered 0.
int RunQueued(TServerCore& core, TExecutor& executor, const std::vector<int32_t>& ids) {
  while (core.Requests.RequestCount()) executor.ExecuteRequests(0);
  int failed = 0;
  for (int32_t id : ids)
    if (core.Answers.GetCommandState(id) != 0) ++failed;
  return failed;
}

struct TModeResult {
  TFigure SetTimer;
  TFigure Table;
  bool Ready = false;
};

TModeResult RunMode(bool earlyFrameEnd, int setTimerCalls) {
  TModeResult out;
  sim::TSimOptions opt;
  opt.Pacing = true;
  opt.TurnaroundMs = 2.0;
  sim::TSimulator simulator(sim::TSimNetwork::Default(), opt);
  if (!simulator.Start()) return out;
  const auto dir = std::filesystem::temp_directory_path() /
                   ("vexon-line-end-bench-" + std::to_string(::getpid()) + (earlyFrameEnd ? "-early" : "-idle"));
  std::filesystem::create_directories(dir);
  THeadlessDisplay display;
  TServerConfig cfg;
  cfg.DataDir = dir.string();
  cfg.Timings.EarlyFrameEnd = earlyFrameEnd;
  TServerCore core(SystemClock(), display, cfg);
  core.Ports.Set(1, simulator.SlavePath());
  core.LoadAndCreate();
  TExecutor executor(core);
  if (core.Port.OpenPort(1) != 0) return out;
  // Autoconfigure so broadcasts expect the right quality.
  int32_t id = 0;
  uint8_t buf[4096] = {255, 255, 0};
  core.Requests.PutBufRequest(0, 3, buf, id);
  if (RunQueued(core, executor, {id}) != 0) return out;
  out.Ready = true;

  // SetTimer: the clock to all controllers, 7 data bytes (13-byte request,
  // 5-byte quality answer).
  std::vector<int32_t> ids;
  uint8_t clock[10] = {255, 255, proto::cmdClock};
  EncodeClock(46000.5, clock + 3);
  for (int i = 0; i < setTimerCalls; ++i) {
    if (!core.Requests.PutBufRequest(5, 10, clock, id)) return out;
    ids.push_back(id);
  }
  simulator.ResetLineStats();
  auto t0 = std::chrono::steady_clock::now();
  out.SetTimer.Failed = RunQueued(core, executor, ids);
  out.SetTimer.WallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  out.SetTimer.Line = simulator.LineStats();
  out.SetTimer.FloorMs = FloorOf(out.SetTimer.Line, cfg.Timings.IntervalMs);

  // The time-zone table: 256 records of 24 bytes, one exchange each
  // (31-byte request, 5-byte quality answer).
  std::vector<uint8_t> table(256 * 24, 0x11);
  TTransactResult r;
  simulator.ResetLineStats();
  t0 = std::chrono::steady_clock::now();
  const bool ok = core.Commands.SendTable(proto::cmdTimeZone, table.data(), table.size(), r);
  out.Table.WallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  out.Table.Failed = ok && core.Link.Status() == 0 ? 0 : 1;
  out.Table.Line = simulator.LineStats();
  out.Table.FloorMs = FloorOf(out.Table.Line, cfg.Timings.IntervalMs);

  simulator.Stop();
  core.SaveAndFree();
  std::filesystem::remove_all(dir);
  return out;
}

void Print(const char* workload, const char* mode, const TFigure& f, double target) {
  const double ratio = f.WallMs / f.FloorMs;
  std::printf("%-16s %-10s %9.1f %9.1f %7.4f  %s %.2f  %zu exchanges, %zu+%zu bytes, turnaround %.3f ms, server gap %.3f ms each%s\n",
              workload, mode, f.WallMs, f.FloorMs, ratio, ratio <= target ? "<=" : "ABOVE", target, f.Line.Requests,
              f.Line.BytesIn, f.Line.BytesOut,
              f.Line.Requests ? f.Line.TurnaroundMs / static_cast<double>(f.Line.Requests) : 0.0,
              f.Line.Requests > 1 ? f.Line.ReplyGapMs / static_cast<double>(f.Line.Requests - 1) : 0.0,
              f.Failed ? "  FAILED" : "");
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 200;
  const TModeResult idle = RunMode(false, calls);
  const TModeResult early = RunMode(true, calls);
  if (!idle.Ready || !early.Ready) {
    std::printf("line_end_bench: the simulator or the port could not be set up\n");
    return 1;
  }
  std::printf("%-16s %-10s %9s %9s %7s\n", "workload", "read end", "wall ms", "floor ms", "ratio");
  Print("SetTimer", "idle cut", idle.SetTimer, 1.05);
  Print("SetTimer", "early end", early.SetTimer, 0.60);
  Print("time-zone table", "idle cut", idle.Table, 1.05);
  Print("time-zone table", "early end", early.Table, 0.60);
  const bool failed = idle.SetTimer.Failed || early.SetTimer.Failed || idle.Table.Failed || early.Table.Failed;
  return failed ? 1 : 0;
}
