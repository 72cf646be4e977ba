// Two figures of the card lists:
//  1. a card list of 10,000 cards (500 full blocks and the empty last one)
//     sent to a controller through the executor at 9600-baud pacing, wall
//     time over the protocol's floor (line time of both frames per block:
//     the 126-byte request and the 5-byte quality answer;
//     the 30 ms idle cut per read, the simulator's turnaround);
//  2. sysvexon_SendDeviceCardList with 65,000 checked rows: time on the
//     calling thread from the variant array to the queued request, and the
//     memory the queued blocks take.
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "automation/server_object.h"
#include "core/card_blocks.h"
#include "core/executor.h"
#include "core/server_core.h"
#include "journals/mon_journal.h"
#include "core/monitor.h"
#include "link/protocol.h"
#include "paced_core.h"
#include "sim/simulator.h"

using namespace vexon;

namespace {

double MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

TVariant IntCell(int64_t v) {
  TVariant e;
  e.What = TVariant::Kind::Int;
  e.Int = v;
  return e;
}

}  // namespace

int main() {
  bench::TPacedCore paced("vexon-card-bench");
  if (!paced.Start()) return 1;
  TServerCore& core = *paced.Core;
  sim::TSimulator& simulator = *paced.Sim;
  const sim::TSimOptions& opt = paced.Options;
  const TServerConfig& cfg = paced.Config;
  int32_t id = 0;
  const TTKDItem target = core.Model.Controllers.Snapshot().back();

  // 1. The paced transfer.
  TCardBufList blocks;
  const TCellReader cell = [](int32_t row, int32_t col, int32_t& v, std::string&) {
    v = col == 1 ? (row & 0xFF) : col == 2 ? (row >> 8) : col == 3 ? 1 : 0;
    return true;
  };
  BuildCardBlocks(cell, 10000, blocks);
  const size_t blockCount = blocks.size();
  std::unique_ptr<TParamObject> item = std::make_unique<TSendCardListItem>(target.MakeAdr, std::move(blocks));
  simulator.ClearReceived();
  const auto t0 = std::chrono::steady_clock::now();
  core.Requests.PutRequest(rkSendCard, bkList, item, id);
  paced.Drain();
  const double wallMs = MsSince(t0);
  TQAnswerItem a{};
  a.Value = core.Answers.GetExtendedCommandState(id, a.Int1, a.Int2, a.Int3);
  const double perBlock = (120.0 + 6.0 + 5.0) * proto::kByteTimeMs + cfg.Timings.IntervalMs + opt.TurnaroundMs;
  const double floorMs = 500 * perBlock;
  std::printf("card list of 10000 cards: %zu blocks, answer %d, %zu frames\n", blockCount, a.Value,
              simulator.FrameCount());
  std::printf("  wall   %.1f ms\n  floor  %.1f ms\n  ratio  %.4f\n", wallMs, floorMs, wallMs / floorMs);

  // 2. The checked list of 65,000 rows on the calling thread.
  TCardList seg;
  seg.AddIt({0, 1, 0, 64999, 1, 1});
  core.Segments.CopyListToActive(seg);
  TVariant cards;
  cards.What = TVariant::Kind::Array;
  cards.LBound = {1, 1};
  cards.Items.reserve(65000);
  for (int i = 0; i < 65000; ++i) {
    TVariant row;
    row.What = TVariant::Kind::Array;
    row.LBound = {1};
    for (int64_t v : {int64_t{1}, int64_t{i & 0xFF}, int64_t{i >> 8}, int64_t{0x21}, int64_t{5}, int64_t{0},
                      int64_t{i % 10000 & 0xFF}, int64_t{(i % 10000) >> 8}})
      row.Items.push_back(IntCell(v));
    cards.Items.push_back(std::move(row));
  }
  TMonJournal journal;
  TMonitor monitor(core, journal);
  TCalendarBuffer calendar;
  TServices services{core, monitor, journal, calendar};
  TSysVexonComServer object(services);
  const TOpDesc* op = FindOperation("sysvexon_SendDeviceCardList");
  double best = 1e9;
  for (int run = 0; run < 5; ++run) {
    TCall call(*op, {int64_t{0}, int64_t{target.MakeAdr}, cards, int64_t{0}});
    const auto t1 = std::chrono::steady_clock::now();
    object.Invoke(call);
    best = std::min(best, MsSince(t1));
    if (std::get<int64_t>(call.Args().back()) != 0) {
      std::printf("SendDeviceCardList failed: %lld\n", static_cast<long long>(std::get<int64_t>(call.Args().back())));
      return 1;
    }
    core.Requests.ClearRequests();
  }
  const size_t queuedBlocks = 65000 / 20 + 1;
  std::printf("SendDeviceCardList of 65000 checked rows: best of 5 %.2f ms on the calling thread\n", best);
  std::printf("  queued request: %zu blocks x %zu bytes = %.1f KiB (%.1f bytes per card)\n", queuedBlocks,
              sizeof(TCardBufItem), queuedBlocks * sizeof(TCardBufItem) / 1024.0,
              static_cast<double>(queuedBlocks * sizeof(TCardBufItem)) / 65000.0);

  return a.Value == 0 ? 0 : 1;
}
