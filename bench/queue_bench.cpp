// One put, take, store-answer, remove cycle with N requests already queued,
// in sorted and arrival order. The cost should grow with log N.
//
// The request carries a small parameter object (a factory address, as most
// operations' requests do), not a fixed 4 KiB buffer whose allocation and
// clearing would dominate the figure. Every cycle stores into a pending
// answer entry: in arrival order the request taken is the oldest, whose
// entry the answer queue (752 entries) has long dropped, so the entry is
// put back outside the timed part; the "answer hits" counter shows that
// every store found its entry.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "queue/answer_queue.h"
#include "queue/params.h"
#include "queue/request_queue.h"

using namespace vexon;
using Clock = std::chrono::steady_clock;

namespace {

bool Put(TRequests& requests, uint8_t kind, int32_t& id) {
  std::unique_ptr<TParamObject> obj = std::make_unique<TMakeAdrItem>(static_cast<uint16_t>(id & 0xFFFF));
  return requests.PutObjRequest(kind, obj, id);
}

}  // namespace

static void BM_PutTakeAnswerRemove(benchmark::State& state) {
  const int64_t queued = state.range(0);
  const bool arrival = state.range(1) != 0;
  TAnswers answers;
  TRequests requests(answers);
  answers.CreateAnswerQueue();
  requests.CreateRequestQueue(arrival);
  int32_t id = 0;
  // Background load in class 05; each cycle puts a class-00 request, which
  // is taken first in sorted mode. In arrival mode the oldest is taken and a
  // fresh one of the background kind keeps the length constant.
  for (int64_t i = 0; i < queued; ++i) Put(requests, 35, id);
  TRequestPtr item;
  std::string key;
  int64_t hits = 0, cycles = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    Put(requests, arrival ? 35 : 4, id);
    requests.GetFirstRequest(item, key);
    const auto t1 = Clock::now();
    if (answers.GetCommandState(item->EventID) != -1) answers.AddPending(item->EventID);
    const auto t2 = Clock::now();
    hits += answers.StoreAnswer({item->EventID, 0, 1, 1, 1}) ? 1 : 0;
    requests.RemoveRequest(key);
    benchmark::DoNotOptimize(item);
    const auto t3 = Clock::now();
    ++cycles;
    state.SetIterationTime(std::chrono::duration<double>((t1 - t0) + (t3 - t2)).count());
  }
  state.counters["answer hits %"] = cycles ? 100.0 * static_cast<double>(hits) / static_cast<double>(cycles) : 0;
  state.counters["queued"] = static_cast<double>(requests.RequestCount());
  state.SetLabel(arrival ? "arrival" : "sorted");
}
BENCHMARK(BM_PutTakeAnswerRemove)
    ->ArgsProduct({{0, 1000, 100000}, {0, 1}})
    ->UseManualTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
