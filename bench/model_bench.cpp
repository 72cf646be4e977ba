// Card lookups on an active list of 32 segments, both directions.
#include <benchmark/benchmark.h>

#include "model/card_segments.h"

using namespace vexon;

namespace {
TCardSegments& Segments() {
  static TCardSegments x;
  static bool ready = [] {
    x.CreatePending();
    x.CreateActive();
    for (int i = 0; i < 32; ++i) x.AddPendingSegment(i, 1000, 2999);  // 2000 cards each
    x.NumberPendingSegments();
    TCardList sent = x.PendingCopy();
    for (size_t i = 0; i < sent.Count(); ++i) sent.At(i).Sent = 1;
    x.CopyListToActive(sent);
    return true;
  }();
  (void)ready;
  return x;
}
}  // namespace

static void BM_GetSystemIndexFromCard(benchmark::State& state) {
  TCardSegments& s = Segments();
  uint32_t n = 0;
  for (auto _ : state) {
    uint16_t idx = 0;
    // Spread over all segments, the last ones included.
    benchmark::DoNotOptimize(s.GetSystemIndexFromCard(static_cast<uint8_t>(n % 32), 1000 + n % 2000, idx));
    benchmark::DoNotOptimize(idx);
    n += 7;
  }
}
BENCHMARK(BM_GetSystemIndexFromCard)->Repetitions(5)->ReportAggregatesOnly(true);

static void BM_GetCardFromSystemIndex(benchmark::State& state) {
  TCardSegments& s = Segments();
  uint32_t n = 0;
  for (auto _ : state) {
    uint8_t fc;
    uint16_t card;
    benchmark::DoNotOptimize(s.GetCardFromSystemIndex(1 + n % 64000, fc, card));
    n += 7919;
  }
}
BENCHMARK(BM_GetCardFromSystemIndex)->Repetitions(5)->ReportAggregatesOnly(true);
