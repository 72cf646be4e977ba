// Decoding and publishing one poll's worth of records (512), and adding and
// taking one event with a full journal of 65520 entries.
#include <benchmark/benchmark.h>

#include "journals/mon_decode.h"
#include "journals/mon_journal.h"
#include "util/date_time.h"

using namespace vexon;

static void BM_DecodeAndPublish512(benchmark::State& state) {
  TManualClock clock(0, EncodeDateTime({2004, 3, 20, 12, 0, 0, 0}));
  TAnswers answers;
  TRequests requests(answers);
  answers.CreateAnswerQueue();
  requests.CreateRequestQueue(false);
  TServerLock lock(clock);
  TDeviceModel model;
  std::vector<TDescriptor> d;
  for (int i = 0; i < 16; ++i) d.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>(i + 1), 0, 0, 0x0B, 0, 0, 0});
  model.BuildControllerList(&d);
  model.BuildAddressList();
  TCardSegments segments;
  TCardList l;
  for (int s = 0; s < 32; ++s) l.AddIt({static_cast<uint8_t>(s), static_cast<uint8_t>(s), 0, 1999,
                                        static_cast<uint16_t>(1 + s * 2000), 1});
  segments.CopyListToActive(l);
  TCardZoneList zones;
  TSuppression suppression(clock);
  suppression.Create();
  TLinkHealth health;
  TDecodeContext ctx{model, segments, zones, suppression, lock, requests, health};
  TMonJournal journal;
  journal.Create();
  std::vector<TRawRecord> raw;
  for (int i = 0; i < 512; ++i) {
    if (i % 16 == 0)
      raw.push_back({0xFF, static_cast<uint8_t>(i % 60), (30 << 2) | 1, (4 << 5) | 20});
    else
      raw.push_back({static_cast<uint8_t>(i % 16), static_cast<uint8_t>((1 << 3) | (i & 1)),
                     static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 4)});
  }
  for (auto _ : state) {
    std::vector<TRawRecord> copy = raw;
    TMJList events;
    DecodeRecords(ctx, copy, clock.Now(), events);
    SuppressDuplicates(events);
    journal.Publish(events);
    state.PauseTiming();
    journal.Clear();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_DecodeAndPublish512)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

// The journal at its capacity. Adding to a full journal drops the oldest
// entry, so "add" stays full by itself; "add and take" takes one entry out,
// and one is put back outside the timed part so that every iteration starts
// full again. The "entries" counter is the size each iteration started at.
static void BM_FullJournalAdd(benchmark::State& state) {
  TMonJournal journal;
  journal.Create();
  const double t = EncodeDateTime({2004, 3, 20, 0, 0, 0, 0});
  TMJList fill;
  for (size_t i = 0; i < TMonList::kCapacity; ++i) fill.push_back({t + static_cast<double>(i % 86400) / 86400.0, 1, 0, 1});
  journal.Publish(fill);
  TMJList one = {{t + 0.5, 2, 0, 1}};
  for (auto _ : state) journal.Publish(one);
  state.counters["entries"] = static_cast<double>(journal.Count());
}
BENCHMARK(BM_FullJournalAdd)->Repetitions(5)->ReportAggregatesOnly(true);

static void BM_FullJournalAddAndTake(benchmark::State& state) {
  TMonJournal journal;
  journal.Create();
  const double t = EncodeDateTime({2004, 3, 20, 0, 0, 0, 0});
  TMJList fill;
  for (size_t i = 0; i < TMonList::kCapacity; ++i) fill.push_back({t + static_cast<double>(i % 86400) / 86400.0, 1, 0, 1});
  journal.Publish(fill);
  TMJList one = {{t + 0.5, 2, 0, 1}};
  TMJList refill = {{t + 0.75, 3, 0, 1}};
  TMonItem out;
  size_t notFull = 0;
  for (auto _ : state) {
    if (journal.Count() != TMonList::kCapacity) ++notFull;
    journal.Publish(one);
    benchmark::DoNotOptimize(journal.GetMonEvent(out));
    state.PauseTiming();
    journal.Publish(refill);
    state.ResumeTiming();
  }
  state.counters["entries"] = static_cast<double>(journal.Count());
  state.counters["started not full"] = static_cast<double>(notFull);
}
BENCHMARK(BM_FullJournalAddAndTake)->Repetitions(5)->ReportAggregatesOnly(true);
