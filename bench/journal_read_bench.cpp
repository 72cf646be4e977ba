// A controller's registration journal of 10,000 records read through the
// executor at 9600-baud pacing, with each page's events written and synced
// to disk before the next command confirms the page. Wall time over the
// protocol's floor: per page, the 6-byte request and the answer of
// 4 + 4 x records bytes on the line, the 30 ms idle cut of the read and the
// simulator's turnaround.
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "core/executor.h"
#include "core/server_core.h"
#include "link/protocol.h"
#include "paced_core.h"
#include "sim/simulator.h"
#include "util/date_time.h"

using namespace vexon;

int main(int argc, char** argv) {
  const int records = argc > 1 ? std::atoi(argv[1]) : 10000;
  bench::TPacedCore paced("vexon-journal-bench");
  if (!paced.Start()) return 1;
  TServerCore& core = *paced.Core;
  sim::TSimulator& simulator = *paced.Sim;
  const sim::TSimOptions& opt = paced.Options;
  const TServerConfig& cfg = paced.Config;
  int32_t id = 0;
  const TTKDItem target = core.Model.Controllers.Snapshot().back();

  // The same journal, paged offline, gives the line's floor.
  const TDateFields when{2026, 6, 1, 12, 0, 0, 0};
  simulator.SetTime(EncodeDateTime(when));
  sim::TSimRegJournal shadow;
  for (int i = 0; i < records; ++i) {
    const sim::TJournalRecord r = {(1 << 5) | 1, 0x80, static_cast<uint8_t>(i & 0xFF), static_cast<uint8_t>(i >> 8)};
    simulator.AddRegRecord(target.SysAdr, r);
    shadow.Add(when, r);
  }
  double floorMs = 0;
  int pages = 0;
  for (bool confirm = false;; confirm = true) {
    bool last = false;
    const size_t bytes = shadow.Page(confirm, last).size();
    floorMs += (6.0 + 4.0 + static_cast<double>(bytes)) * proto::kByteTimeMs + cfg.Timings.IntervalMs + opt.TurnaroundMs;
    ++pages;
    if (last && bytes == 0) break;
  }

  std::unique_ptr<TParamObject> item = std::make_unique<TCardRegistrationItem>(target.MakeAdr, target.SysAdr);
  simulator.ClearReceived();
  const auto t0 = std::chrono::steady_clock::now();
  core.Requests.PutRequest(rkReadRegJournal, bkObject, item, id);
  paced.Drain();
  const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  const int32_t answer = core.Answers.GetCommandState(id);
  const size_t stored = core.RegJournal.Count();
  std::printf("registration journal of %d records: %d pages, answer %d, %zu frames, %zu events stored, %llu confirmed\n",
              records, pages, answer, simulator.FrameCount(), stored,
              static_cast<unsigned long long>(simulator.RegConfirmed(target.SysAdr)));
  std::printf("  wall   %.1f ms\n  floor  %.1f ms\n  ratio  %.4f\n", wallMs, floorMs, wallMs / floorMs);
  return answer == 0 && stored == static_cast<size_t>(records) ? 0 : 1;
}
