// One put, take, store-answer, remove cycle with N requests already queued,
// in sorted and arrival order. The cost should grow with log N.
#include <benchmark/benchmark.h>

#include "queue/answer_queue.h"
#include "queue/request_queue.h"

using namespace vexon;

static void BM_PutTakeAnswerRemove(benchmark::State& state) {
  const int64_t queued = state.range(0);
  const bool arrival = state.range(1) != 0;
  TAnswers answers;
  TRequests requests(answers);
  answers.CreateAnswerQueue();
  requests.CreateRequestQueue(arrival);
  uint8_t bytes[4096] = {0, 255, 35};
  int32_t id = 0;
  // Background load in class 05; each cycle puts a class-00 request, which
  // is taken first in sorted mode. In arrival mode the oldest is taken and a
  // fresh one of the background kind keeps the length constant.
  for (int64_t i = 0; i < queued; ++i) requests.PutBufRequest(35, 3, bytes, id);
  TRequestPtr item;
  std::string key;
  for (auto _ : state) {
    requests.PutBufRequest(arrival ? 35 : 4, 3, bytes, id);
    requests.GetFirstRequest(item, key);
    answers.StoreAnswer({item->EventID, 0, 1, 1, 1});
    requests.RemoveRequest(key);
    benchmark::DoNotOptimize(item);
  }
  state.SetLabel(arrival ? "arrival" : "sorted");
}
BENCHMARK(BM_PutTakeAnswerRemove)
    ->ArgsProduct({{0, 1000, 100000}, {0, 1}})
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
