// The registration event list at its size limit:
// 4,177,920 events inserted, saved, loaded and all taken; resident bytes per
// event (target <= 64) and the median insert and take (target <= 2 us).
//
// Events arrive as journal pages do: 16 controllers read in turn, 32 events
// a page, each controller's events in time order but its pages overlapping
// the others' in time, so inserts land near, not always at, the end. A
// second run inserts in random order, the list's worst case.
//
// Usage: reg_journal_bench [events] [data directory]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "journals/reg_journal.h"
#include "util/result_codes.h"

using namespace vexon;
using Clock = std::chrono::steady_clock;

namespace {

int64_t ResidentBytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE);
}

double Ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

struct TStats {
  double Median = 0, P99 = 0, Max = 0;
};
TStats Stats(std::vector<uint32_t>& ns, size_t n) {
  TStats s;
  if (n == 0) return s;
  std::sort(ns.begin(), ns.begin() + static_cast<ptrdiff_t>(n));
  s.Median = ns[n / 2] / 1000.0;
  s.P99 = ns[n * 99 / 100] / 1000.0;
  s.Max = ns[n - 1] / 1000.0;
  return s;
}
void Print(const char* what, const TStats& s) {
  std::printf("  %-44s median %6.3f us   p99 %7.3f us   max %9.1f us\n", what, s.Median, s.P99, s.Max);
}

TEvItem MakeEvent(int64_t t, uint16_t controller, uint16_t serial) {
  // t: seconds since 1 January 2004, within 48 days so that day and month
  // stay simple.
  TEvItem ev;
  ev.Year = 2004;
  const int64_t day = t / 86400;
  ev.Month = static_cast<uint8_t>(1 + day / 28);
  ev.Day = static_cast<uint8_t>(1 + day % 28);
  ev.Seconds = static_cast<int32_t>(t % 86400);
  ev.MakeAdr = controller;
  ev.EventType = 2;
  ev.Event = static_cast<uint8_t>(serial & 7);
  ev.AdrAdd = 1 + (serial & 1);
  ev.CardID = serial;
  return ev;
}

// Pages in reading order: controller c's k-th page holds its events
// k*32..k*32+31; controller c's events are 2 s apart, offset by c * 7 s, so
// pages of different controllers interleave in time.
std::vector<TEvList> JournalPages(size_t events) {
  constexpr int kControllers = 16;
  std::vector<TEvList> pages;
  std::vector<int64_t> next(kControllers, 0);
  size_t made = 0;
  for (int round = 0; made < events; ++round) {
    for (uint16_t c = 0; c < kControllers && made < events; ++c) {
      TEvList page;
      for (int i = 0; i < 32 && made < events; ++i, ++made) {
        const int64_t k = next[c]++;
        page.push_back(MakeEvent(k * 2 + c * 7, c, static_cast<uint16_t>(made)));
      }
      pages.push_back(std::move(page));
    }
  }
  return pages;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : TRegEvList::kSizeLimit;
  const std::filesystem::path dir =
      argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path() / "vexon-reg-bench";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string buffer = (dir / "buffer.bin").string();

  std::printf("registration event list, %zu events, files in %s\n", n, dir.string().c_str());
  const std::vector<TEvList> pages = JournalPages(n);
  std::vector<uint32_t> ns(std::max<size_t>(n, pages.size()), 1);  // touched now: not part of the figures

  // 1. Insert through the journal (each page logged, as the journal-read
  //    step does; the fsync is measured apart below).
  int64_t rssBefore = 0, rssAfter = 0;
  {
    TRegJournal j;
    j.SetBufferFilePath(buffer);
    j.Create();
    j.LoadBufferFile();
    rssBefore = ResidentBytes();
    const auto t0 = Clock::now();
    for (size_t p = 0; p < pages.size(); ++p) {
      const auto a = Clock::now();
      j.AddEvents(pages[p]);
      ns[p] = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - a).count());
    }
    const auto t1 = Clock::now();
    rssAfter = ResidentBytes();
    std::printf("insert (journal, logged pages of 32): %zu events in %.0f ms, %.3f us per event\n", j.Count(),
                Ms(t0, t1), Ms(t0, t1) * 1000.0 / static_cast<double>(n));
    Print("per page of 32 events (log write, no fsync)", Stats(ns, pages.size()));
    std::printf("  resident memory: %.1f bytes per event (%.1f MB for the list)\n",
                static_cast<double>(rssAfter - rssBefore) / static_cast<double>(n),
                static_cast<double>(rssAfter - rssBefore) / 1e6);

    const auto s0 = Clock::now();
    const bool saved = j.SaveBufferFile();
    const auto s1 = Clock::now();
    std::printf("save: %s, %.0f ms, buffer.bin %ju bytes\n", saved ? "ok" : "FAILED", Ms(s0, s1),
                static_cast<uintmax_t>(std::filesystem::file_size(buffer)));
  }

  // 2. Load at start-up, then take every event.
  {
    TRegJournal j;
    j.SetBufferFilePath(buffer);
    j.Create();
    const auto l0 = Clock::now();
    const bool loaded = j.LoadBufferFile();
    const auto l1 = Clock::now();
    std::printf("load: %s, %zu events in %.0f ms, capacity %jd\n", loaded ? "ok" : "FAILED", j.Count(), Ms(l0, l1),
                static_cast<intmax_t>(j.Capacity()));
    size_t taken = 0;
    TEvItem ev;
    const auto t0 = Clock::now();
    for (;;) {
      const auto a = Clock::now();
      const int32_t rc = j.TakeOldestEvent(ev);
      const auto b = Clock::now();
      if (rc != rcOk) break;
      ns[taken++] = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count());
    }
    const auto t1 = Clock::now();
    std::printf("take all (journal, each take logged): %zu events in %.0f ms\n", taken, Ms(t0, t1));
    Print("TakeOldestEvent", Stats(ns, taken));
  }

  // 3. The list alone: insert in journal order and in random order, take.
  {
    std::vector<TEvItem> flat;
    flat.reserve(n);
    for (const auto& p : pages) flat.insert(flat.end(), p.begin(), p.end());
    for (int pass = 0; pass < 2; ++pass) {
      if (pass == 1) std::shuffle(flat.begin(), flat.end(), std::mt19937(1));
      const int64_t r0 = ResidentBytes();
      auto l = std::make_unique<TRegEvList>();
      for (size_t i = 0; i < n; ++i) {
        const auto a = Clock::now();
        l->AddEvent(flat[i]);
        ns[i] = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - a).count());
      }
      const int64_t r1 = ResidentBytes();
      std::printf("list alone, %s order: %.1f bytes per event resident\n", pass ? "random" : "journal",
                  static_cast<double>(r1 - r0) / static_cast<double>(n));
      Print("TRegEvList::AddEvent", Stats(ns, n));
      TEvItem ev;
      size_t i = 0;
      for (;;) {
        const auto a = Clock::now();
        const bool any = l->TakeFirst(ev);
        const auto b = Clock::now();
        if (!any) break;
        ns[i++] = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count());
      }
      Print("TRegEvList::TakeFirst", Stats(ns, i));
    }
  }

  // 4. Durable pages: what the journal-read step pays per page, fsync included.
  {
    std::filesystem::remove(buffer);
    std::filesystem::remove(dir / "buffer.log");
    TRegJournal j;
    j.SetBufferFilePath(buffer);
    j.Create();
    j.LoadBufferFile();
    const size_t durablePages = std::min<size_t>(300, pages.size());
    for (size_t p = 0; p < durablePages; ++p) {
      const auto a = Clock::now();
      j.AddEventsDurable(pages[p]);
      ns[p] = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - a).count());
    }
    Print("AddEventsDurable, page of 32 (fdatasync)", Stats(ns, durablePages));
  }
  std::filesystem::remove_all(dir);
  return 0;
}
