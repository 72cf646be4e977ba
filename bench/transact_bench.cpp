// 200 Transact calls against the simulator with 9600-baud pacing, compared
// with the floor that the line and the protocol impose: the bytes that
// crossed the line both ways (as the simulator counted them) at 11 bits a
// byte, one 30 ms idle cut per answered request, and the simulator's
// turnaround as it really happened. The server cannot go below that floor,
// so the ratio is at least 1 and what lies above it is the server's own
// time. The nominal floor (frame sizes and the configured turnaround) is
// printed beside it.
#include <chrono>
#include <cstdio>

#include "link/link.h"
#include "link/uart.h"
#include "model/devices.h"
#include "sim/simulator.h"
#include "util/clock.h"

using namespace vexon;

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 200;
  sim::TSimOptions opt;
  opt.Pacing = true;
  opt.TurnaroundMs = 2.0;
  sim::TSimulator simulator(sim::TSimNetwork::Default(), opt);
  if (!simulator.Start()) return 1;
  TPortMap ports;
  ports.Set(1, simulator.SlavePath());
  TLinkTimings timings;
  TSerialPort port(ports, timings);
  TDeviceModel model;
  std::vector<TDescriptor> d;
  for (auto& c : simulator.NetworkCopy().Controllers) d.push_back(c.Descriptor);
  model.BuildControllerList(&d);
  for (auto& c : simulator.NetworkCopy().Controllers)
    for (int b = 1; b <= 7; ++b) model.Controllers.SetStatusByte(c.SysAdr(), b, c.Status[b - 1]);
  TLink link(port, model, SystemClock());
  if (port.OpenPort(1) != 0) return 1;

  // An "open lock mechanism" command to controller 2: 6-byte request frame,
  // 5-byte quality answer.
  const uint8_t request[3] = {2, 0x21, 0x42};
  const size_t requestBytes = 6, answerBytes = 5;
  int failures = 0;
  simulator.ResetLineStats();
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) {
    TTransactResult r;
    if (!link.Transact(request, 3, r) || link.Status() != 0) ++failures;
  }
  const double wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  const sim::TSimLineStats line = simulator.LineStats();
  const double floorMs = static_cast<double>(line.BytesIn + line.BytesOut) * proto::kByteTimeMs +
                         static_cast<double>(line.Requests) * timings.IntervalMs + line.TurnaroundMs;
  const double nominalPerCall =
      static_cast<double>(requestBytes + answerBytes) * proto::kByteTimeMs + timings.IntervalMs + opt.TurnaroundMs;
  const double nominalMs = nominalPerCall * calls;
  std::printf("transact_bench: %d calls, %d failed\n", calls, failures);
  std::printf("  wall      %.1f ms (%.3f ms per call)\n", wallMs, wallMs / calls);
  std::printf("  line      %zu exchanges, %zu+%zu bytes, turnaround %.3f ms each, server gap %.3f ms each\n",
              line.Requests, line.BytesIn, line.BytesOut,
              line.Requests ? line.TurnaroundMs / static_cast<double>(line.Requests) : 0.0,
              line.Requests > 1 ? line.ReplyGapMs / static_cast<double>(line.Requests - 1) : 0.0);
  std::printf("  floor     %.1f ms (measured line)   ratio %.4f\n", floorMs, wallMs / floorMs);
  std::printf("  nominal   %.1f ms (%.3f ms per call) ratio %.4f\n", nominalMs, nominalPerCall, wallMs / nominalMs);
  simulator.Stop();
  return failures == 0 ? 0 : 1;
}
